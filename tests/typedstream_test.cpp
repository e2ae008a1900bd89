#include "extract/typedstream.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

using namespace kestrel;

namespace {

// Bytes written as hex pairs and "quoted text", the way archives are laid out
// in the format notes.
std::vector<uint8_t> bytesOf(const std::string& layout) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i < layout.size();) {
        char c = layout[i];
        if (c == '"') {
            size_t end = layout.find('"', i + 1);
            for (size_t k = i + 1; k < end; ++k) out.push_back(static_cast<uint8_t>(layout[k]));
            i = end + 1;
        } else if (std::isxdigit(static_cast<unsigned char>(c))) {
            out.push_back(static_cast<uint8_t>(std::stoi(layout.substr(i, 2), nullptr, 16)));
            i += 2;
        } else {
            ++i;
        }
    }
    return out;
}

// NSAttributedString "Hi Ana" with one run {__kIMMessagePartAttributeName: 0}.
const char* const kHiAna = R"(
    04 0b "streamtyped" 81 e8 03 84 01 40 84
    84 84 12 "NSAttributedString" 00
    84 84 08 "NSObject" 00 85 92
    84 84 84 08 "NSString" 01 94 84 01 2b 06 "Hi Ana" 86
    84 02 "iI" 01 06
    92 84 84 84 0c "NSDictionary" 00 94 84 01 69 01
    92 84 96 96 1d "__kIMMessagePartAttributeName" 86
    92 84 84 84 08 "NSNumber" 00 84 84 07 "NSValue" 00 94
    84 01 2a 84 99 99 00 86 86 86)";

// The same frame around any text, with at most one attribute run whose
// dictionary holds a file-transfer GUID.
struct RunSpec {
    int length;
    std::string guid;
};

std::string lengthBytes(size_t n) {
    char buffer[32];
    if (n < 128) {
        std::snprintf(buffer, sizeof buffer, "%02zx", n);
    } else {
        std::snprintf(buffer, sizeof buffer, "81 %02zx %02zx", n & 0xff, n >> 8);
    }
    return buffer;
}

std::vector<uint8_t> archive(const std::string& text, const std::optional<RunSpec>& run) {
    std::string layout = R"(04 0b "streamtyped" 81 e8 03 84 01 40 84
        84 84 12 "NSAttributedString" 00 84 84 08 "NSObject" 00 85 92
        84 84 84 08 "NSString" 01 94 84 01 2b )";
    layout += lengthBytes(text.size()) + " ";
    std::vector<uint8_t> out = bytesOf(layout);
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0x86);
    if (run) {
        // Objects so far: 0 the string, 1-2 classes, 3 NSString, 4 its class;
        // shared strings: @ NSAttributedString NSObject NSString + (0x96).
        const std::string key = "__kIMFileTransferGUIDAttributeName";
        std::string d = R"(84 02 "iI" 01 )" + lengthBytes(static_cast<size_t>(run->length));
        d += R"( 92 84 84 84 0c "NSDictionary" 00 94 84 01 69 01 )";
        d += "92 84 96 96 " + lengthBytes(key.size()) + " \"" + key + "\" 86 ";
        d += "92 84 96 96 " + lengthBytes(run->guid.size()) + " \"" + run->guid + "\" 86 86";
        std::vector<uint8_t> bytes = bytesOf(d);
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    out.push_back(0x86);
    return out;
}

std::optional<AttributedText> decode(const std::vector<uint8_t>& bytes, std::string* reason = nullptr) {
    return decodeAttributedBody(bytes.data(), bytes.size(), reason);
}

}  // namespace

TEST(Typedstream, WorkedExampleDecodesByteForByte) {
    std::vector<uint8_t> bytes = bytesOf(kHiAna);
    ASSERT_EQ(bytes.size(), 181u);
    std::string reason;
    auto body = decode(bytes, &reason);
    ASSERT_TRUE(body) << reason;
    EXPECT_EQ(body->text, "Hi Ana");
    EXPECT_TRUE(body->attachments.empty());

    // Every proper prefix is a damaged blob: no result, a reason, no crash.
    for (size_t n = 0; n < bytes.size(); ++n) {
        std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<long>(n));
        std::string why;
        EXPECT_FALSE(decode(cut, &why)) << "prefix of " << n << " bytes";
        EXPECT_FALSE(why.empty());
    }
}

TEST(Typedstream, MutatedBlobsNeverCrashAndLengthsAreChecked) {
    std::vector<uint8_t> bytes = bytesOf(kHiAna);
    // The string's length byte (0x06 before "Hi Ana") claims more than is there.
    std::vector<uint8_t> longer = bytes;
    size_t lengthAt = 0;
    for (size_t i = 0; i + 6 < longer.size(); ++i) {
        if (longer[i] == 0x06 && longer[i + 1] == 'H') lengthAt = i;
    }
    ASSERT_NE(lengthAt, 0u);
    longer[lengthAt] = 0x7f;
    std::string reason;
    EXPECT_FALSE(decode(longer, &reason));
    longer[lengthAt] = 0x82;  // a 32-bit length of far more than the blob
    EXPECT_FALSE(decode(longer, &reason));
    // A back-reference to a string that does not exist yet.
    std::vector<uint8_t> badReference = bytes;
    badReference[20] = 0xf0;  // where the first object's class name starts
    EXPECT_FALSE(decode(badReference, &reason));
    // Not a typedstream at all.
    EXPECT_FALSE(decode(std::vector<uint8_t>{'b', 'p', 'l', 'i', 's', 't'}, &reason));
    EXPECT_FALSE(decodeAttributedBody(nullptr, 0, &reason));
    // Every single-byte change of the example: either a result or a reason.
    for (size_t i = 0; i < bytes.size(); ++i) {
        for (int v : {0x00, 0x7f, 0x81, 0x82, 0x84, 0x85, 0x86, 0x92, 0xff}) {
            std::vector<uint8_t> m = bytes;
            m[i] = static_cast<uint8_t>(v);
            std::string why;
            if (!decode(m, &why)) {
                EXPECT_FALSE(why.empty());
            }
        }
    }
}

TEST(Typedstream, LongTextsUseTheSixteenBitLength) {
    std::string text(200, 'x');
    text += "\xC3\xA9";  // é: lengths count bytes, runs count UTF-16 units
    auto bytes = archive(text, std::nullopt);
    auto body = decode(bytes);
    ASSERT_TRUE(body);
    EXPECT_EQ(body->text, text);
    auto invalid = archive("\xC3\x28", std::nullopt);
    std::string reason;
    EXPECT_FALSE(decode(invalid, &reason));
    EXPECT_NE(reason.find("UTF-8"), std::string::npos);
}

TEST(Typedstream, AttachmentMarkersCarryTheirGuidAndBecomeNames) {
    // "a😀" then U+FFFC: the emoji is two UTF-16 units, so the run of the
    // marker starts at unit 3 while its bytes start at offset 5.
    std::string text = "a\xF0\x9F\x98\x80\xEF\xBF\xBC";
    auto bytes = archive(text, RunSpec{1, "at_0_6B2F-AAAA"});
    std::string reason;
    auto body = decode(bytes, &reason);
    ASSERT_TRUE(body) << reason;
    ASSERT_EQ(body->attachments.size(), 1u);
    EXPECT_EQ(body->attachments[0].byteOffset, 5u);
    EXPECT_EQ(body->attachments[0].utf16Offset, 3u);
    // Only the first run has a dictionary here, covering "a" alone; the
    // marker lies beyond the runs and so has no GUID.
    EXPECT_EQ(body->attachments[0].guid, "");

    auto covered = archive("\xEF\xBF\xBC", RunSpec{1, "at_0_6B2F-AAAA"});
    body = decode(covered, &reason);
    ASSERT_TRUE(body) << reason;
    ASSERT_EQ(body->attachments.size(), 1u);
    EXPECT_EQ(body->attachments[0].guid, "6B2F-AAAA");
    std::string shown = describeAttachments(*body, [](const std::string& guid, size_t) {
        return guid == "6B2F-AAAA" ? std::string("IMG_0066.HEIC") : std::string();
    });
    EXPECT_EQ(shown, "[attachment: IMG_0066.HEIC]");
    EXPECT_EQ(describeAttachments(*body, nullptr), "[attachment]");

    EXPECT_EQ(describeAttachments("see \xEF\xBF\xBC and \xEF\xBF\xBC", {"a.jpg"}),
              "see [attachment: a.jpg] and [attachment]");
    EXPECT_EQ(describeAttachments("plain", {}), "plain");
    EXPECT_EQ(attachmentGuidFromAttribute("at_12_ABC"), "ABC");
    EXPECT_EQ(attachmentGuidFromAttribute("ABC-DEF"), "ABC-DEF");
    EXPECT_EQ(attachmentGuidFromAttribute("at_x_ABC"), "at_x_ABC");
}

TEST(Typedstream, EveryBlobOfTheRealIos13DatabaseEqualsItsText) {
    const std::filesystem::path db = std::filesystem::path(KESTREL_CORPUS_DIR) / "ios13-sms.db";
    if (!std::filesystem::exists(db)) {
        GTEST_SKIP() << "real-device corpus not found at " << db << "; the real-bytes check is skipped";
    }
    sqlite3* handle = nullptr;
    std::string uri = "file:" + db.string() + "?immutable=1";
    ASSERT_EQ(sqlite3_open_v2(uri.c_str(), &handle, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(handle, "SELECT ROWID, text, attributedBody FROM message", -1, &statement, nullptr),
              SQLITE_OK);
    int rows = 0;
    int equal = 0;
    int attachmentsWithGuid = 0;
    while (sqlite3_step(statement) == SQLITE_ROW) {
        ++rows;
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 1));
        const auto* blob = static_cast<const uint8_t*>(sqlite3_column_blob(statement, 2));
        int size = sqlite3_column_bytes(statement, 2);
        std::string reason;
        auto body = decodeAttributedBody(blob, static_cast<size_t>(size), &reason);
        if (body && text && body->text == text) {
            ++equal;
        } else {
            ADD_FAILURE() << "row " << sqlite3_column_int64(statement, 0) << ": " << reason;
        }
        if (body) {
            for (const auto& m : body->attachments) attachmentsWithGuid += m.guid.empty() ? 0 : 1;
        }
    }
    sqlite3_finalize(statement);
    sqlite3_close(handle);
    EXPECT_EQ(rows, 105);
    EXPECT_EQ(equal, 105);
    // The file's attachment runs name their transfer GUID.
    EXPECT_GT(attachmentsWithGuid, 0);
}
