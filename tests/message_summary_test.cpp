// The summary column's own binary property-list reader, held to the reading
// through libplist: on generated summaries, on the corpus file's, and on
// damaged copies of them.
#include <gtest/gtest.h>

#include "test_support.h"
#include <plist/plist.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "extract/message_summary.h"

using namespace kestrel;
namespace fs = std::filesystem;

namespace {

std::string toBinary(plist_t root) {
    return kestrel::test::binaryPlist(root);
}

// A summary with `parts` parts of `versions` versions each, an "rp" list
// when asked, and keys the reader must pass over.
std::string summaryOf(int parts, int versions, bool retracted, uint32_t seed) {
    std::mt19937 random(seed);
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "amc", plist_new_uint(1));
    plist_t ec = plist_new_dict();
    for (int part = 0; part < parts; ++part) {
        plist_t history = plist_new_array();
        for (int v = 0; v < versions; ++v) {
            plist_t entry = plist_new_dict();
            std::string text = "part " + std::to_string(part) + " version " + std::to_string(v);
            text.append(random() % 300, 'x');  // lengths that need a length integer
            plist_dict_set_item(entry, "t", plist_new_data(text.data(), text.size()));
            if (v % 3 == 1) {
                plist_dict_set_item(entry, "d", plist_new_uint(700000000u + random() % 1000));
            } else {
                plist_dict_set_item(entry, "d", plist_new_real(700000000.25 + v));
            }
            plist_dict_set_item(entry, "bcg", plist_new_string("x"));
            plist_array_append_item(history, entry);
        }
        plist_dict_set_item(ec, std::to_string(part).c_str(), history);
    }
    plist_dict_set_item(root, "ec", ec);
    if (retracted) {
        plist_t rp = plist_new_array();
        plist_array_append_item(rp, plist_new_uint(0));
        plist_dict_set_item(root, "rp", rp);
    }
    return toBinary(root);
}

MessageSummary ours(const std::string& blob) {
    return readMessageSummary(reinterpret_cast<const uint8_t*>(blob.data()), blob.size());
}
MessageSummary library(const std::string& blob) {
    return readMessageSummaryWithLibplist(reinterpret_cast<const uint8_t*>(blob.data()), blob.size());
}

bool same(const MessageSummary& a, const MessageSummary& b) {
    if (a.hasEditHistory != b.hasEditHistory || a.hasRetractedParts != b.hasRetractedParts ||
        a.earlierVersions.size() != b.earlierVersions.size()) {
        return false;
    }
    for (size_t i = 0; i < a.earlierVersions.size(); ++i) {
        const MessageVersion& x = a.earlierVersions[i];
        const MessageVersion& y = b.earlierVersions[i];
        if (x.part != y.part || x.body != y.body || !(x.secondsSince2001 == y.secondsSince2001 ||
                                                      (x.secondsSince2001 != x.secondsSince2001 &&
                                                       y.secondsSince2001 != y.secondsSince2001))) {
            return false;
        }
    }
    return true;
}

bool empty(const MessageSummary& s) {
    return !s.hasEditHistory && !s.hasRetractedParts && s.earlierVersions.empty();
}

}  // namespace

TEST(MessageSummaryReader, GivesWhatLibplistGivesOnGeneratedSummaries) {
    for (int parts : {1, 2, 11, 20}) {
        for (int versions : {1, 2, 5}) {
            for (bool retracted : {false, true}) {
                const std::string blob =
                    summaryOf(parts, versions, retracted, static_cast<uint32_t>(parts * 7 + versions));
                const MessageSummary expected = library(blob);
                ASSERT_EQ(expected.earlierVersions.size(), static_cast<size_t>(parts * (versions - 1)));
                EXPECT_TRUE(same(ours(blob), expected)) << parts << " parts, " << versions << " versions";
            }
        }
    }
}

TEST(MessageSummaryReader, GivesWhatLibplistGivesOnTheCorpusFile) {
    const fs::path file = fs::path(KESTREL_CORPUS_DIR) / "ios13-sms.db";
    if (!fs::exists(file)) GTEST_SKIP() << "corpus folder absent: " << KESTREL_CORPUS_DIR;
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(("file:" + file.string() + "?immutable=1").c_str(), &db,
                              SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr),
              SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    // The file has no edited message; its conversations' property lists are
    // binary lists as the device writes them.
    ASSERT_EQ(sqlite3_prepare_v2(db,
                                 "select message_summary_info from message where message_summary_info is not null "
                                 "union all select properties from chat where properties is not null",
                                 -1, &statement, nullptr),
              SQLITE_OK);
    size_t summaries = 0;
    while (sqlite3_step(statement) == SQLITE_ROW) {
        const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement, 0));
        const std::string blob =
            bytes == nullptr ? std::string() : std::string(bytes, static_cast<size_t>(sqlite3_column_bytes(statement, 0)));
        EXPECT_TRUE(same(ours(blob), library(blob)));
        // Cut short, each must be read alike or not at all.
        for (size_t cut = 8; cut < blob.size(); cut += 7) {
            const std::string shorter = blob.substr(0, cut);
            EXPECT_TRUE(same(ours(shorter), library(shorter)));
        }
        ++summaries;
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    EXPECT_EQ(summaries, 7u);
}

// Damaged copies: bytes changed (markers, lengths, references, the offset
// table and the trailer) and the blob cut short. Wherever libplist reads
// something, the reader must read the same; where libplist rejects the whole
// list, the reader may still read the parts that are sound.
TEST(MessageSummaryReader, DamagedSummariesGiveWhatLibplistGivesOrLess) {
    std::mt19937 random(20);
    size_t agreed = 0, salvaged = 0;
    for (int round = 0; round < 4000; ++round) {
        std::string blob = summaryOf(1 + static_cast<int>(random() % 3), 1 + static_cast<int>(random() % 3),
                                     random() % 2 == 0, static_cast<uint32_t>(round));
        const int changes = 1 + static_cast<int>(random() % 3);
        for (int c = 0; c < changes; ++c) {
            const size_t at = random() % blob.size();
            switch (random() % 4) {
                case 0: blob[at] = static_cast<char>(random()); break;
                case 1: blob[at] = static_cast<char>(blob[at] ^ (1 << (random() % 8))); break;
                case 2:  // the trailer's sizes, counts and offsets
                    if (blob.size() > 40) blob[blob.size() - 1 - random() % 32] = static_cast<char>(random() % 4);
                    break;
                default: blob.resize(at > 8 ? at : blob.size()); break;
            }
        }
        const MessageSummary expected = library(blob);
        const MessageSummary found = ours(blob);
        if (same(found, expected)) {
            ++agreed;
        } else {
            ASSERT_TRUE(empty(expected)) << "round " << round << ": libplist read " << expected.earlierVersions.size()
                                         << " versions, the reader " << found.earlierVersions.size();
            ++salvaged;
        }
    }
    EXPECT_GT(agreed, 3000u);
    std::printf("damaged summaries: %zu read alike, %zu read only by the reader\n", agreed, salvaged);
}

// A list whose every version shares one dictionary of 60,000 keys: read
// naively that is 3.6 billion key comparisons. The reader's work is bounded;
// it gives up with nothing rather than take long.
TEST(MessageSummaryReader, AListBuiltToBeSlowIsGivenUpQuickly) {
    constexpr uint32_t kShared = 60000;
    std::string blob = "bplist00";
    std::vector<uint64_t> offsets;
    auto add = [&](const std::string& bytes) {
        offsets.push_back(blob.size());
        blob += bytes;
    };
    auto counted = [](uint8_t type, uint32_t count) {  // marker with a 4-byte length integer
        std::string out(1, static_cast<char>(type << 4 | 0x0F));
        out += '\x12';
        for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>(count >> shift & 0xFF);
        return out;
    };
    // Objects: 0 root {ec: 2}, 1 "ec", 2 {"0": 4}, 3 "0", 4 [5 x kShared], 5 the shared dict, 6 "k", 7 integer 1.
    add("\xD1\x01\x02");
    add("\x52" "ec");
    add("\xD1\x03\x04");
    add("\x51" "0");
    add(counted(0xA, kShared) + std::string(kShared, '\x05'));
    add(counted(0xD, kShared) + std::string(kShared, '\x06') + std::string(kShared, '\x07'));
    add("\x51k");
    add("\x10\x01");
    const uint64_t table = blob.size();
    for (uint64_t offset : offsets) {
        for (int shift = 24; shift >= 0; shift -= 8) blob += static_cast<char>(offset >> shift & 0xFF);
    }
    std::string trailer(32, '\0');
    trailer[6] = 4;  // offset size
    trailer[7] = 1;  // reference size
    trailer[15] = static_cast<char>(offsets.size());
    for (int i = 0; i < 8; ++i) trailer[24 + i] = static_cast<char>(table >> (56 - 8 * i) & 0xFF);
    blob += trailer;

    const MessageSummary summary = ours(blob);
    EXPECT_TRUE(summary.earlierVersions.empty());
    EXPECT_FALSE(summary.hasEditHistory);
}
