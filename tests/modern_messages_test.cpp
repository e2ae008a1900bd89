// Modern message databases (iOS 11 to 18): the existing-message step over
// generated backups, checked against the generator's plan of every message,
// and over the real device files of the corpus.
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sqlite3.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "app/collecting_sink.h"
#include "extract/conversions.h"
#include "extract/existing_contacts.h"
#include "extract/existing_messages.h"
#include "extract/message_summary.h"
#include "extract/typedstream.h"
#include "test_support.h"
#include "tools/backup_generator.h"

using namespace kestrel;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

const fs::path kCorpus = KESTREL_CORPUS_DIR;

// The date text of a stored count of nanoseconds since 2001, in local time.
std::string dateOf(int64_t nanosecondsSince2001) {
    const time_t unix = static_cast<time_t>(nanosecondsSince2001 / 1000000000 + 978307200);
    std::tm parts{};
    localtime_r(&unix, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%m-%d-%Y %H:%M", &parts);
    return text;
}

// The names the generated address book gives the generated handles: a phone
// number stored as typed nationally, an e-mail address in other letter case.
// The organisation (bo@example.org) has no person's name.
std::string expectedName(const std::string& handle) {
    static const std::map<std::string, std::string> names = {
        {"+15183808956", "Ana Example"}, {"ana.example@icloud.com", "Ana Example"}, {"+15185550123", "Carl Okafor"}};
    auto found = names.find(handle);
    return found == names.end() ? std::string() : found->second;
}

// A conversation without a name is called by its members' names or numbers.
std::string expectedChat(const gen::ModernChat& chat) {
    if (!chat.displayName.empty()) return chat.displayName;
    std::string out;
    for (const std::string& m : chat.members) {
        std::string name = expectedName(m);
        out += (out.empty() ? "" : ", ") + (name.empty() ? m : name);
    }
    return out;
}

// One listed message, from the command's JSON or from a collecting sink.
struct Listed {
    std::string name, phone, date, type, content, service, chat, source, deletedDate;
    std::vector<std::string> attachments;
};

Listed fromJson(const json& m) {
    return {m["messageName"], m["messagePhone"], m["messageDate"], m["messageType"], m["messageContent"],
            m["service"],     m["chat"],         m["source"],      m["deletedDate"], m["attachments"]};
}

Listed fromRecord(const TovMessageNode& m) {
    return {m.messageName(), m.messagePhone(), m.messageDate(), m.messageType(), m.messageContent(),
            m.service(),     m.chat(),         m.source(),      m.deletedDate(), m.attachments()};
}

bool readBySql(const std::string& source) { return source != "carved"; }

// Every message the plan says SQL can recover is listed once with its source
// and fields; no other record read by SQL exists.
void checkAgainstPlan(const std::vector<Listed>& listed, const std::vector<gen::PlannedMessage>& plan,
                      const gen::ModernSpec& shape, const std::string& what) {
    std::map<std::string, std::string> chatOfPlan;  // the generator's chat text -> the expected one
    for (const gen::ModernChat& c : shape.chats) {
        std::string raw = c.displayName;
        if (raw.empty()) {
            for (const std::string& m : c.members) raw += (raw.empty() ? "" : ", ") + m;
        }
        chatOfPlan[raw] = expectedChat(c);
    }
    size_t bySql = 0;
    for (const Listed& l : listed) bySql += readBySql(l.source) ? 1 : 0;
    size_t expected = 0;
    std::set<std::string> existingContents;
    for (const gen::PlannedMessage& p : plan) {
        if (p.source == "existing") existingContents.insert(p.content);
    }
    for (const gen::PlannedMessage& p : plan) {
        if (!p.recoverableBySql) {
            for (const Listed& l : listed) {
                if (readBySql(l.source) && !p.content.empty()) {
                    EXPECT_NE(l.content, p.content) << what;
                }
            }
            continue;
        }
        ++expected;
        const std::string date = dateOf(p.date);
        std::vector<const Listed*> matches;
        for (const Listed& l : listed) {
            if (l.source == p.source && l.content == p.content && l.date == date && l.phone == p.handle) {
                matches.push_back(&l);
            }
        }
        ASSERT_EQ(matches.size(), 1u) << what << ": " << p.source << " \"" << p.content << "\" " << date;
        const Listed& l = *matches.front();
        EXPECT_EQ(l.type, p.fromMe ? "Send" : "Received") << what << ": " << p.content;
        EXPECT_EQ(l.service, p.service) << what << ": " << p.content;
        EXPECT_EQ(l.name, expectedName(p.handle)) << what << ": " << p.content;
        // An orphaned message's conversation is gone with its join row.
        if (p.source != "orphaned") {
            EXPECT_EQ(l.chat, chatOfPlan[p.chat]) << what << ": " << p.content;
        }
        if (p.source != "earlier version") {
            EXPECT_EQ(l.attachments, p.attachments) << what << ": " << p.content;
        }
        EXPECT_EQ(l.deletedDate, p.deleteDate != 0 ? dateOf(p.deleteDate) : std::string()) << what;
        // No existing message is listed as deleted.
        if (p.source == "existing") {
            for (const Listed& other : listed) {
                if (readBySql(other.source) && other.source != "existing") {
                    EXPECT_NE(other.content, p.content) << what;
                }
            }
        }
    }
    EXPECT_EQ(bySql, expected) << what;
}

std::vector<Listed> scanMessages(const fs::path& folder, test::CommandResult& run) {
    run = test::runKestrel("scan --json " + test::shellQuote(folder.string()));
    std::vector<Listed> out;
    if (run.status != 0) return out;
    const json doc = json::parse(run.out);
    for (const json& m : doc["messages"]) out.push_back(fromJson(m));
    return out;
}

}  // namespace

TEST(ModernMessages, ScannedBackupsOfIOS11To18ListEveryMessageOfThePlan) {
    for (int ios : {11, 14, 16, 17, 18}) {
        test::TempDir dir;
        gen::ModernSpec shape = gen::modernSpec(ios, 150, 21);
        std::vector<gen::PlannedMessage> plan;
        ASSERT_EQ(gen::writeModernBackup(dir.path(), shape, &plan), "");
        test::CommandResult run;
        std::vector<Listed> listed = scanMessages(dir.path(), run);
        ASSERT_EQ(run.status, 0) << run.err;
        const std::string what = "iOS " + std::to_string(ios);
        checkAgainstPlan(listed, plan, shape, what);

        std::map<std::string, int> sources;
        for (const gen::PlannedMessage& p : plan) sources[p.source] += p.recoverableBySql ? 1 : 0;
        if (ios >= 16) {
            EXPECT_GT(sources["recently deleted"], 0) << what;
            EXPECT_GT(sources["earlier version"], 0) << what;
            EXPECT_GT(sources["unsent"], 0) << what;
        }
        EXPECT_GT(sources["orphaned"], 0) << what;
        // The whole document counts every source but "existing" as deleted.
        const json doc = json::parse(run.out);
        int existing = 0;
        for (const json& m : doc["messages"]) existing += m["source"] == "existing" ? 1 : 0;
        EXPECT_EQ(doc["counts"]["Messages"]["existing"], existing) << what;
        EXPECT_EQ(existing, sources["existing"]) << what;
    }
}

TEST(ModernMessages, DatabaseWithItsWriteAheadLogBesideIt) {
    test::TempDir dir;
    gen::ModernSpec shape = gen::modernSpec(17, 120, 5);
    shape.wal = true;
    std::vector<gen::PlannedMessage> plan;
    ASSERT_EQ(gen::writeModernBackup(dir.path(), shape, &plan), "");
    const fs::path work = dir.path() / "work";
    fs::create_directories(work);
    fs::copy_file(dir.path() / "3d" / "3d0d7e5fb2ce288813306e4d4636395e047a3d28", work / "sms.db");
    fs::copy_file(dir.path() / "cd" / gen::kMessageWalName, work / "sms.db-wal");
    const fs::path book = work / "AddressBook.sqlitedb";
    fs::copy_file(dir.path() / "31" / "31bb7ba8914766d4ba40d6dfb6113c8b614be442", book);
    fs::copy_file(dir.path() / "a9" / gen::kAddressBookWalName, work / "AddressBook.sqlitedb-wal");

    // The scan's own order: contacts first, they name the messages.
    struct NamingSink : CollectingSink {
        NameLookup lookup;
        std::optional<std::string> getNameByPhoneNumber(const std::string& phone) override {
            return lookup.lookup(contacts, phone);
        }
        std::optional<std::string> getNameByHandle(const std::string& handle) override {
            return lookup.lookupHandle(contacts, handle);
        }
    } sink;
    readExistingContacts(book.string(), sink);
    // The log removes the deleted person.
    ASSERT_EQ(sink.contacts.size(), 3u);
    readExistingMessages((work / "sms.db").string(), false, sink);
    std::vector<Listed> listed;
    for (const MessagePtr& m : sink.messages) listed.push_back(fromRecord(*m));
    checkAgainstPlan(listed, plan, shape, "WAL");
    size_t deleted = 0;
    for (const Listed& l : listed) deleted += l.source == "recently deleted" ? 1 : 0;
    EXPECT_GT(deleted, 0u);  // the moves to Recently Deleted are only in the log
}

TEST(ModernMessages, DamagedBodiesGiveEmptyContentAndAttachmentsWithoutNames) {
    test::TempDir dir;
    const fs::path db = dir.path() / "sms.db";
    gen::ModernSpec shape = gen::modernSpec(17, 30, 3);
    std::vector<gen::PlannedMessage> plan;
    ASSERT_EQ(gen::writeModernBackup(dir.path() / "b", shape, &plan), "");
    fs::copy_file(dir.path() / "b" / "3d" / "3d0d7e5fb2ce288813306e4d4636395e047a3d28", db);
    sqlite3* handle = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &handle), SQLITE_OK);
    // Every blob-only body cut short; attachment names gone from one row.
    ASSERT_EQ(sqlite3_exec(handle,
                           "UPDATE message SET attributedBody = substr(attributedBody, 1, 40) WHERE text IS NULL;"
                           "UPDATE message SET text = 'two ' || char(65532) || char(65532) WHERE ROWID = 1;"
                           "DELETE FROM attachment;"
                           "UPDATE message SET text = 'part kept' WHERE date_retracted != 0;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(handle);
    CollectingSink sink;
    readExistingMessages(db.string(), true, sink);
    ASSERT_FALSE(sink.messages.empty());
    size_t empty = 0;
    for (const MessagePtr& m : sink.messages) empty += m->messageContent().empty() ? 1 : 0;
    EXPECT_GE(empty, 10u);
    EXPECT_EQ(sink.messages[0]->messageContent(), "two [attachment][attachment]");
    // A message with some of its parts unsent still has text: it stays existing.
    size_t kept = 0;
    for (const MessagePtr& m : sink.messages) {
        if (m->messageContent() != "part kept") continue;
        ++kept;
        EXPECT_EQ(m->source(), "existing");
    }
    EXPECT_GT(kept, 0u);
}

TEST(ModernMessages, RealIOS13DatabaseGivesEveryMessageWithItsText) {
    const fs::path file = kCorpus / "ios13-sms.db";
    if (!fs::exists(file)) GTEST_SKIP() << "corpus folder absent: " << kCorpus;
    test::TempDir dir;
    const fs::path copy = dir.path() / "sms.db";
    fs::copy_file(file, copy);
    fs::permissions(copy, fs::perms::owner_read | fs::perms::owner_write);

    // What the database holds, read independently.
    std::vector<std::pair<std::string, std::string>> rows;  // text, body text
    sqlite3* db = nullptr;
    const std::string uri = "file:" + file.string() + "?immutable=1";
    ASSERT_EQ(sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "select text from message order by ROWID", -1, &s, nullptr), SQLITE_OK);
    std::vector<std::string> texts;
    while (sqlite3_step(s) == SQLITE_ROW) {
        const auto* t = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
        texts.emplace_back(t ? t : "");
    }
    sqlite3_finalize(s);
    sqlite3_close(db);
    ASSERT_EQ(texts.size(), 105u);

    CollectingSink sink;
    readExistingMessages(copy.string(), false, sink);
    ASSERT_EQ(sink.messages.size(), 105u);
    for (size_t i = 0; i < texts.size(); ++i) {
        const TovMessageNode& m = *sink.messages[i];
        EXPECT_EQ(m.source(), "existing") << i;
        EXPECT_FALSE(m.chat().empty()) << i;
        EXPECT_TRUE(m.service() == "SMS" || m.service() == "iMessage") << i;
        // Attachment places are shown as attachments, everything else as stored.
        if (texts[i].find("\xEF\xBF\xBC") == std::string::npos) {
            EXPECT_EQ(m.messageContent(), texts[i]) << i;
        } else {
            EXPECT_NE(m.messageContent().find("[attachment"), std::string::npos) << i;
        }
        const std::string year = m.messageDate().substr(6, 4);
        EXPECT_TRUE(year == "2019" || year == "2020") << m.messageDate();
    }
}

TEST(ModernMessages, RealIOS15AddressBookWithItsLog) {
    const fs::path file = kCorpus / "ios15-addressbook.sqlitedb";
    if (!fs::exists(file)) GTEST_SKIP() << "corpus folder absent: " << kCorpus;
    test::TempDir dir;
    const fs::path copy = dir.path() / "AddressBook.sqlitedb";
    fs::copy_file(file, copy);
    fs::copy_file(kCorpus / "ios15-addressbook.sqlitedb-wal", dir.path() / "AddressBook.sqlitedb-wal");
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        fs::permissions(entry.path(), fs::perms::owner_read | fs::perms::owner_write);
    }
    CollectingSink sink;
    readExistingContacts(copy.string(), sink);
    ASSERT_EQ(sink.contacts.size(), 9u);
    size_t organisations = 0;
    size_t values = 0;
    for (const ContactPtr& c : sink.contacts) {
        if (c->contactName().empty() && c->contactCompany() == " Apple Inc.") ++organisations;
        values += c->contactPhoneValues().size() + c->contactEmailValues().size();
        values += c->contactHomepage().empty() ? 0 : 1;
    }
    EXPECT_EQ(organisations, 1u);
    // 13 multi-values: 7 phones, 4 e-mail addresses, a web page and an empty address.
    EXPECT_EQ(values, 12u);
    EXPECT_EQ(sink.contacts[6]->contactName(), "Josh Hickman");
    EXPECT_EQ(sink.contacts[6]->contactPhoneValues(), (std::vector<std::string>{"(919) 579-0479", "(919) 391-2507"}));

    // Phone handles meet the stored numbers in their normalised forms, e-mail
    // handles the stored addresses whatever their case.
    NameLookup lookup;
    EXPECT_EQ(lookup.lookupHandle(sink.contacts, "+19195790479"), "Josh Hickman");
    EXPECT_EQ(lookup.lookupHandle(sink.contacts, "JoshuaHickman957@Gmail.com"), "Josh Hickman");
    EXPECT_EQ(lookup.lookupHandle(sink.contacts, "+19192084530"), "Liz");
    EXPECT_EQ(lookup.lookupHandle(sink.contacts, "+19195550000"), std::nullopt);
    // The older rule still answers first: a tail of a stored number.
    EXPECT_EQ(lookup.lookup(sink.contacts, "391-2507"), "Josh Hickman");
}

namespace {

// A binary property list of an edit history: part 0 with the given texts
// (oldest first, the last is the current one), and optionally retracted parts.
std::string summaryPlist(const std::vector<std::pair<std::string, double>>& versions, bool retracted) {
    plist_t root = plist_new_dict();
    plist_t history = plist_new_array();
    for (const auto& [text, date] : versions) {
        plist_t entry = plist_new_dict();
        plist_dict_set_item(entry, "t", plist_new_data(text.data(), text.size()));
        plist_dict_set_item(entry, "d", plist_new_real(date));
        plist_array_append_item(history, entry);
    }
    plist_t ec = plist_new_dict();
    plist_dict_set_item(ec, "0", history);
    plist_dict_set_item(root, "ec", ec);
    if (retracted) {
        plist_t rp = plist_new_array();
        plist_array_append_item(rp, plist_new_uint(0));
        plist_dict_set_item(root, "rp", rp);
    }
    return kestrel::test::binaryPlist(root);
}

}  // namespace

TEST(ModernMessages, SummaryGivesEarlierVersionsAndSurvivesAKeyWithAZeroByte) {
    const std::string plist = summaryPlist({{"first", 700000000.5}, {"second", 700000060}, {"current", 700000120}}, true);
    MessageSummary summary = readMessageSummary(reinterpret_cast<const uint8_t*>(plist.data()), plist.size());
    EXPECT_TRUE(summary.hasEditHistory);
    EXPECT_TRUE(summary.hasRetractedParts);
    ASSERT_EQ(summary.earlierVersions.size(), 2u);  // the current text is not an earlier version
    EXPECT_EQ(summary.earlierVersions[0].body, "first");
    EXPECT_EQ(summary.earlierVersions[1].body, "second");
    EXPECT_DOUBLE_EQ(summary.earlierVersions[0].secondsSince2001, 700000000.5);

    // The part key "0" turned into a zero byte: libplist's own walk of the
    // dictionary aborts on such a key; the reader finds no part and goes on.
    std::string damaged = plist;
    const size_t key = damaged.find("\x51\x30");  // one-character ASCII string "0"
    ASSERT_NE(key, std::string::npos);
    damaged[key + 1] = '\0';
    summary = readMessageSummary(reinterpret_cast<const uint8_t*>(damaged.data()), damaged.size());
    EXPECT_TRUE(summary.earlierVersions.empty());
    EXPECT_TRUE(summary.hasRetractedParts);

    // Not a property list at all.
    EXPECT_FALSE(readMessageSummary(reinterpret_cast<const uint8_t*>("not a plist"), 11).hasEditHistory);
    EXPECT_FALSE(readMessageSummary(nullptr, 0).hasEditHistory);
}
