// Raw page primitives and record-header analysis: worked values, byte rules
// at the file's edges, and the half-byte window searches.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "carve/key_set.h"
#include "carve/record_analysis.h"
#include "carve/sqlite_raw.h"

namespace kestrel {
namespace {

std::unique_ptr<RawFile> fileOf(const std::vector<uint8_t>& bytes) {
    return RawFile::fromBytes(bytes.data(), bytes.size());
}

// A file whose byte at `at` starts the given bytes (zeros elsewhere).
std::unique_ptr<RawFile> fileWith(int64_t at, const std::vector<uint8_t>& bytes, size_t size = 0) {
    std::vector<uint8_t> all(std::max<size_t>(size, static_cast<size_t>(at) + bytes.size()), 0);
    std::copy(bytes.begin(), bytes.end(), all.begin() + at);
    return fileOf(all);
}

std::string hexOf(const RawFile* f, int64_t offset, int32_t n) {
    std::vector<char> buf(2 * static_cast<size_t>(n) + 1, 'X');
    const char* text = getHexString(f, offset, n, buf.data());
    return text ? std::string(text) : std::string("<none>");
}

TEST(CarveRaw, HexTextAndEdgesOfTheFile) {
    auto f = fileWith(1, {0x0D, 0x00, 0x7F, 0x80, 0xFF});
    EXPECT_EQ(hexOf(f.get(), 1, 5), "0d007f80ff");
    // Two real bytes and two beyond the end of the file.
    EXPECT_EQ(hexOf(f.get(), 4, 4), "80ff0000");
    EXPECT_EQ(hexOf(f.get(), 100, 2), "0000");
    // No text for offset 0, a count of 0, or no file.
    EXPECT_EQ(hexOf(f.get(), 0, 2), "<none>");
    EXPECT_EQ(hexOf(f.get(), 1, 0), "<none>");
    EXPECT_EQ(hexOf(nullptr, 1, 2), "<none>");
    // The byte rules shared by every probe.
    EXPECT_EQ(byteValueAt(f.get(), 0), 0);  // the first byte is never seen
    EXPECT_EQ(byteValueAt(f.get(), -3), 0);
    EXPECT_EQ(byteValueAt(f.get(), 5), 0xFF);
    EXPECT_EQ(byteValueAt(f.get(), 6), 0);
    EXPECT_EQ(byteValueAt(nullptr, 1), 0);

    uint8_t buf[4] = {9, 9, 9, 9};
    EXPECT_EQ(readData(f.get(), buf, 0, 4), nullptr);
    EXPECT_EQ(buf[0], 9);
    ASSERT_NE(readData(f.get(), buf, 4, 4), nullptr);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), (std::vector<uint8_t>{0x80, 0xFF, 0, 0}));
}

TEST(CarveRaw, NumbersFromHexTextBytesAndIntegerText) {
    EXPECT_EQ(DemaNumberFormHexChar("ff", 2), 255);
    EXPECT_EQ(DemaNumberFormHexChar("1000", 4), 4096);
    EXPECT_EQ(DemaNumberFormHexChar("0D", 2), 0);  // only lower case is hex
    EXPECT_EQ(DemaNumberFormHexChar("f", 2), 0);   // too short
    EXPECT_EQ(DemaNumberFormHexChar(nullptr, 2), 0);
    const uint8_t bytes[] = {0x01, 0x00, 0xFF};
    EXPECT_EQ(readBigEndian(bytes, 0, 2), 256u);
    EXPECT_EQ(readBigEndian(bytes, 2, 1), 255u);
    EXPECT_EQ(readBigEndian(bytes, 0, 0), 0u);

    EXPECT_EQ(IntegerToText(-5, 10), "-5");
    EXPECT_EQ(IntegerToText(-5, 2), std::string(29, '1') + "011");
    EXPECT_EQ(IntegerToText(0, 2), "0");
    EXPECT_EQ(IntegerToText(255, 16), "ff");
    EXPECT_EQ(IntegerToText(INT32_MIN, 10), "-2147483648");
    EXPECT_EQ(IntegerToText(35, 36), "z");
    EXPECT_FALSE(IntegerToText(5, 1).has_value());
    EXPECT_FALSE(IntegerToText(5, 37).has_value());
}

TEST(CarveRaw, TwoByteRuleWorkedValues) {
    EXPECT_EQ(getAlterInteger(0x81, 0x05), 133);
    EXPECT_EQ(getAlterInteger(0x9F, 0x7F), 4095);
    EXPECT_EQ(getAlterInteger(0xA0, 0x00), 4096);
    EXPECT_EQ(getAlterInteger(0x81, 0x80), 384);
    EXPECT_EQ(getAlterInteger(0xC1, 0x00), 24704);
    EXPECT_EQ(getAlterInteger(0x89, 0x7F), 1279);
    EXPECT_EQ(getAlterInteger(0x01, 0x05), 5);
    EXPECT_EQ(getAlterInteger(0x05, 0x10), 144);
    EXPECT_EQ(getAlterInteger(0x00, 0x33), 51);
}

// The rule is defined on base-2 digit text; the numeric form must agree on
// every pair of bytes.
TEST(CarveRaw, TwoByteRuleMatchesItsDigitTextDefinition) {
    for (int hi = 0; hi < 256; ++hi) {
        for (int lo = 0; lo < 256; ++lo) {
            std::string s = *IntegerToText(hi, 2);
            std::string b = *IntegerToText(lo, 2);
            if (b.size() < 7) b = std::string(7 - b.size(), '0') + b;
            s += b;
            if (s.rfind("10", 0) == 0) s = s.substr(2);
            const int32_t expected = s.empty() ? 0 : static_cast<int32_t>(std::stol(s, nullptr, 2));
            ASSERT_EQ(getAlterInteger(hi, lo), expected) << hi << "," << lo;
        }
    }
    // Against the SQLite varint where they are meant to agree.
    for (int hi = 0x80; hi <= 0xBF; ++hi) {
        for (int lo = 0; lo < 0x80; ++lo) ASSERT_EQ(getAlterInteger(hi, lo), ((hi & 0x3F) << 7) | lo);
    }
}

TEST(CarveRaw, SerialTypeLengthsPageTypesAndVersion) {
    const std::vector<std::pair<int, int>> lengths = {
        {0, 0}, {1, 1}, {4, 4}, {5, 6}, {6, 8}, {7, 8}, {8, 0}, {10, 0}, {12, 0},
        {13, 0}, {14, 1}, {15, 1}, {255, 121}, {4095, 2041}, {-1, 0}};
    for (auto [t, n] : lengths) EXPECT_EQ(getFieldDataLengthBy(t), n) << t;

    auto f = fileWith(0, {0x0D, 0x0D, 0x05, 0x02, 0x0A, 0x00, 0x0B});
    EXPECT_EQ(getPageType(f.get(), 0), -1);  // offset 0 is never read
    EXPECT_EQ(getPageType(f.get(), 1), 1);
    EXPECT_EQ(getPageType(f.get(), 2), 2);
    EXPECT_EQ(getPageType(f.get(), 3), 3);
    EXPECT_EQ(getPageType(f.get(), 4), 4);
    EXPECT_EQ(getPageType(f.get(), 5), -1);
    EXPECT_EQ(getPageType(f.get(), 6), -1);
    EXPECT_EQ(getPageType(f.get(), 99), -1);
    EXPECT_EQ(checkSQliteVersion(f.get(), 3), 1);
    EXPECT_EQ(checkSQliteVersion(f.get(), 4), 0);
}

TEST(CarveRaw, PageGeometry) {
    std::vector<uint8_t> bytes(40960, 0);
    bytes[16] = 0x10;
    auto f = fileOf(bytes);
    EXPECT_EQ(pageGeometry(f.get()).pageSize, 4096);
    EXPECT_EQ(pageGeometry(f.get()).pageCount, 10);
    bytes[16] = 0x00;
    bytes[17] = 0x01;  // 1 stands for 65,536
    f = fileOf(bytes);
    EXPECT_EQ(pageGeometry(f.get()).pageSize, 65536);
    EXPECT_EQ(pageGeometry(f.get()).pageCount, 0);
    bytes[17] = 0x00;
    f = fileOf(bytes);
    EXPECT_EQ(pageGeometry(f.get()).pageCount, 0);  // no valid size, nothing looks like a page: no pages
    bytes[16] = 0xFF;
    bytes[17] = 0xFF;
    f = fileOf(bytes);
    EXPECT_EQ(pageGeometry(f.get()).pageSize, 0);
    EXPECT_EQ(pageGeometry(f.get()).pageCount, 0);
    EXPECT_EQ(pageGeometry(nullptr).pageCount, 0);
    // A damaged field over b-tree pages of 1,024 bytes: the pages decide.
    for (int k = 1; k < 40; ++k) {
        bytes[static_cast<size_t>(k) * 1024] = 0x0D;
        bytes[static_cast<size_t>(k) * 1024 + 5] = 0x03;  // cell content from 768
    }
    for (int field : {0, 1000, 3, 65535}) {
        bytes[16] = static_cast<uint8_t>(field >> 8);
        bytes[17] = static_cast<uint8_t>(field & 0xFF);
        f = fileOf(bytes);
        EXPECT_EQ(pageGeometry(f.get()).pageSize, 1024) << field;
        EXPECT_EQ(pageGeometry(f.get()).pageCount, 40) << field;
    }
    EXPECT_EQ(pageSizeFromField(512), 512);
    EXPECT_EQ(pageSizeFromField(32768), 32768);
    EXPECT_EQ(pageSizeFromField(1), 65536);
    EXPECT_EQ(pageSizeFromField(256), 0);
    EXPECT_EQ(pageSizeFromField(4097), 0);
}

// ---- Field readers ----

struct ReadResult {
    bool answered;
    std::string text;
    int32_t cursor;
};

ReadResult readOne(const RawFile* f, int32_t pos, int32_t cursor, int64_t base, int32_t length) {
    char buf[4096] = {};
    const char* r = AnalyseDBDataFile(f, pos, cursor, base, length, buf, sizeof buf);
    return {r != nullptr, std::string(buf), cursor};
}

ReadResult readTwo(const RawFile* f, int32_t pos, int32_t cursor, int64_t base, int32_t length) {
    char buf[4096] = {};
    const char* r = AnalyseAlterbleDB(f, pos, cursor, base, length, buf, sizeof buf);
    return {r != nullptr, std::string(buf), cursor};
}

TEST(CarveFieldReaders, OneByteNumbersTextsAndNothing) {
    // Serial types at base 10 + position; content at base + 20 + cursor.
    auto make = [](uint8_t type, std::vector<uint8_t> content) {
        std::vector<uint8_t> bytes(64, 0);
        bytes[11] = type;
        std::copy(content.begin(), content.end(), bytes.begin() + 30);
        return fileOf(bytes);
    };
    auto r = readOne(make(0x11, {'h', 'i', 'x'}).get(), 1, 0, 10, 20);
    EXPECT_TRUE(r.answered);
    EXPECT_EQ(r.text, "hi");
    EXPECT_EQ(r.cursor, 2);
    EXPECT_EQ(readOne(make(0x01, {0xFF}).get(), 1, 0, 10, 20).text, "255");  // unsigned
    EXPECT_EQ(readOne(make(0x02, {0xFF, 0xFE}).get(), 1, 0, 10, 20).text, "65534");
    EXPECT_EQ(readOne(make(0x04, {0xFF, 0xFF, 0xFF, 0xFE}).get(), 1, 0, 10, 20).text, "-2");
    r = readOne(make(0x06, {0, 0, 0, 1, 0, 0, 0, 5}).get(), 1, 0, 10, 20);
    EXPECT_EQ(r.text, "5");  // low 32 bits only
    EXPECT_EQ(r.cursor, 8);
    EXPECT_EQ(readOne(make(0x05, {0, 1, 0, 0, 0, 7}).get(), 1, 0, 10, 20).text, "7");
    for (int t : {0x00, 0x08, 0x09, 0x0C, 0x0D}) {
        r = readOne(make(static_cast<uint8_t>(t), {'a'}).get(), 1, 5, 10, 20);
        EXPECT_FALSE(r.answered) << t;
        EXPECT_EQ(r.cursor, 5);
    }
    // A text stops at its first zero byte; the cursor passes the whole content.
    r = readOne(make(0x15, {'a', 0, 'b', 'c'}).get(), 1, 0, 10, 20);
    EXPECT_EQ(r.text, "a");
    EXPECT_EQ(r.cursor, 4);
    // 0x81 is a one-byte text of 58 bytes here.
    r = readOne(make(0x81, {'x'}).get(), 1, 0, 10, 20);
    EXPECT_EQ(r.text, "x");
    EXPECT_EQ(r.cursor, 58);
    // The cursor picks the content: a second field after a 2-byte one.
    r = readOne(make(0x11, {'h', 'i', 'y', 'o'}).get(), 1, 2, 10, 20);
    EXPECT_EQ(r.text, "yo");
}

TEST(CarveFieldReaders, HeadOffsetReadersAddTheHeadToBothPlaces) {
    std::vector<uint8_t> bytes(200, 0);
    bytes[13] = 0x13;  // base 10 + head 3 + position 0: a 3-byte text
    bytes[14] = 0x81;  // position 1: two-byte type 0x81 0x0B = 139, 63 bytes
    bytes[15] = 0x0B;
    for (int i = 0; i < 66; ++i) bytes[33 + i] = static_cast<uint8_t>('a' + i % 26);  // 10 + 3 + 20
    auto f = fileOf(bytes);
    char buf[512] = {};
    int32_t cursor = 0;
    ASSERT_NE(AnalyseTheDBDataFile(f.get(), 0, cursor, 10, 3, 20, buf, sizeof buf), nullptr);
    EXPECT_EQ(std::string(buf), "abc");
    std::memset(buf, 0, sizeof buf);
    ASSERT_NE(AnalyseAlterbleDBFile(f.get(), 1, cursor, 10, 3, 20, buf, sizeof buf), nullptr);
    EXPECT_EQ(std::string(buf), std::string(reinterpret_cast<const char*>(bytes.data()) + 36, 63));
    EXPECT_EQ(cursor, 66);
}

TEST(CarveFieldReaders, TwoByteReaderCopiesRawBytesAndRefusesLargeTypes) {
    std::vector<uint8_t> bytes(300, 0);
    bytes[11] = 0x81;
    bytes[12] = 0x0B;  // 139: 63 bytes
    for (int i = 0; i < 70; ++i) bytes[30 + i] = static_cast<uint8_t>('A' + i % 26);
    auto f = fileOf(bytes);
    auto r = readTwo(f.get(), 1, 0, 10, 20);
    EXPECT_TRUE(r.answered);
    EXPECT_EQ(r.text.size(), 63u);
    EXPECT_EQ(r.cursor, 63);

    bytes[11] = 0xA0;
    bytes[12] = 0x00;  // 4096: refused
    f = fileOf(bytes);
    r = readTwo(f.get(), 1, 7, 10, 20);
    EXPECT_FALSE(r.answered);
    EXPECT_EQ(r.cursor, 7);

    bytes[11] = 0x00;
    bytes[12] = 0x01;  // type 1: one raw byte, no number conversion
    bytes[30] = 'Q';
    f = fileOf(bytes);
    r = readTwo(f.get(), 1, 0, 10, 20);
    EXPECT_EQ(r.text, "Q");
    EXPECT_EQ(r.cursor, 1);

    bytes[12] = 0x08;  // type 8: answered, no content
    f = fileOf(bytes);
    r = readTwo(f.get(), 1, 0, 10, 20);
    EXPECT_TRUE(r.answered);
    EXPECT_EQ(r.text, "");
    EXPECT_EQ(r.cursor, 0);
}

TEST(CarveFieldReaders, NeverWriteBeyondTheCallersBuffer) {
    std::vector<uint8_t> bytes(3000, 'z');
    bytes[11] = 0x9F;
    bytes[12] = 0x7F;  // 4095: 2041 bytes
    auto f = fileOf(bytes);
    char buf[17];
    std::memset(buf, 0, sizeof buf);
    int32_t cursor = 0;
    ASSERT_NE(AnalyseAlterbleDB(f.get(), 1, cursor, 10, 20, buf, 16), nullptr);
    EXPECT_EQ(std::string(buf), std::string(15, 'z'));
    EXPECT_EQ(buf[16], 0);
    EXPECT_EQ(cursor, 2041);
    // Content beyond the end of the file reads as zeros.
    cursor = 0;
    char big[4096] = {};
    AnalyseAlterbleDB(f.get(), 1, cursor, 10, 2990, big, sizeof big);
    EXPECT_EQ(std::strlen(big), 0u);
}

// ---- Pattern checks ----

TEST(CarvePatterns, DataChecksAndWindows) {
    EXPECT_EQ(bCheckDataIsValid(nullptr, 4), 0);
    EXPECT_EQ(bCheckDataIsValid("01010809aa", 4), 1);
    EXPECT_EQ(bCheckDataIsValid("00000404", 4), -1);  // ten-character anchors need ten
    EXPECT_EQ(bCheckDataIsValid("0000040401", 4), 1);
    EXPECT_EQ(bCheckDataIsValid("ffd8ffe0", 4), 1);
    EXPECT_EQ(bCheckDataIsValid("001100", 2), 1);
    EXPECT_EQ(bCheckDataIsValid("001100", 4), -1);
    EXPECT_EQ(bCheckDataIsValid("0808000808080808", 2), 1);

    const std::string half = "0010108090" + std::string(10, '0');
    EXPECT_EQ(bcheckSubStringIsValid(half.c_str(), 4, 10), 1);  // at character 1
    // A pattern only at the last window (p = 10 of 20) is never found.
    const std::string last = std::string(10, '0') + "0101080900";
    EXPECT_EQ(bcheckSubStringIsValid(last.c_str(), 4, 10), 0);
    const std::string lastButOne = std::string(9, '0') + "01010809" + "000";
    EXPECT_EQ(bcheckSubStringIsValid(lastButOne.c_str(), 4, 10), 1);
    EXPECT_EQ(bcheckSubStringIsValid("0101080900", 4, 10), 0);  // w characters: no window
    EXPECT_EQ(bcheckSubStringIsValid(nullptr, 4, 10), 0);
    // A pattern longer than the window never matches.
    EXPECT_EQ(bcheckSubStringIsValid("01080001080808080000", 2, 16), 1);
    EXPECT_EQ(bcheckSubStringIsValid("01080001080808080000", 2, 10), 0);
}

TEST(CarvePatterns, MessageAndChatWindows) {
    const std::string atOdd = "0" + std::string("0800010000") + std::string(17, '0');
    EXPECT_EQ(bcheckMessageIOS6SubStringIsValid(atOdd.c_str(), 10), 1);
    const std::string atLast = std::string(18, '1') + "0800010000";  // p = 18: never tried
    EXPECT_EQ(bcheckMessageIOS6SubStringIsValid(atLast.c_str(), 10), 0);
    const std::string at17 = std::string(17, '1') + "0800010000" + "1";
    EXPECT_EQ(bcheckMessageIOS6SubStringIsValid(at17.c_str(), 10), 1);
    EXPECT_EQ(bcheckChatIOS6SubStringIsValid(("aa010155" + std::string(20, 'a')).c_str(), 10), 1);
    EXPECT_EQ(bcheckChatIOS6SubStringIsValid(nullptr, 10), 0);
    EXPECT_EQ(bcheckChatIOS6SubStringIsValid("010155", 10), 0);
}

// The byte-level window searches must give the answers of the text searches
// on the hex text of the same bytes, half-byte positions and the unexamined
// last window included.
TEST(CarvePatterns, ByteWindowsAgreeWithHexTextWindows) {
    std::mt19937 rng(7);
    // Bytes drawn from the values the patterns use, so matches are frequent.
    const uint8_t alphabet[] = {0x00, 0x01, 0x08, 0x10, 0x11, 0x80, 0x55, 0x15, 0x50, 0x0F, 0xF0, 0x04, 0x40};
    std::vector<uint8_t> bytes(20000);
    for (auto& b : bytes) b = alphabet[rng() % sizeof alphabet];
    // Plant patterns on and off the byte grid.
    const std::vector<std::vector<uint8_t>> planted = {
        {0x08, 0x00, 0x01, 0x00, 0x00}, {0x00, 0x80, 0x00, 0x10, 0x00, 0x00}, {0x01, 0x01, 0x55},
        {0x00, 0x10, 0x15, 0x50}, {0x00, 0x11, 0x00}, {0x01, 0x01, 0x08, 0x09}, {0x0f, 0x0f, 0x08, 0x08, 0x01}};
    for (size_t at = 50, i = 0; at + 8 < bytes.size(); at += 37 + rng() % 40, ++i) {
        const auto& p = planted[i % planted.size()];
        std::copy(p.begin(), p.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
    }
    auto f = fileOf(bytes);
    int matches = 0;
    for (int64_t off = 0; off < 19000; ++off) {
        for (int32_t count : {4, 8, 10, 14}) {
            char text[64] = {};
            const char* t = getHexString(f.get(), off, count, text);
            for (int32_t w : {6, 8, 10}) {
                ASSERT_EQ(bcheckSubStringIsValidAt(f.get(), off, count, 2, w), bcheckSubStringIsValid(t, 2, w));
                ASSERT_EQ(bcheckSubStringIsValidAt(f.get(), off, count, 4, w), bcheckSubStringIsValid(t, 4, w));
                const int32_t m = bcheckMessageIOS6SubStringIsValid(t, w);
                ASSERT_EQ(bcheckMessageIOS6SubStringIsValidAt(f.get(), off, count, w), m);
                const int32_t c = bcheckChatIOS6SubStringIsValid(t, w);
                ASSERT_EQ(bcheckChatIOS6SubStringIsValidAt(f.get(), off, count, w), c);
                matches += m * 1000000 + c;
            }
        }
    }
    EXPECT_GT(matches / 1000000, 0);
    EXPECT_GT(matches % 1000000, 0);
}

// ---- Marks and single-byte probes ----

TEST(CarveProbes, MarkAndSingleByteProbes) {
    EXPECT_EQ(getDeletedMark(fileWith(1, {0x23, 0x00}).get(), 1, 2, 4), 1);
    EXPECT_EQ(getDeletedMark(fileWith(1, {0x26, 0x00}).get(), 1, 2, 4), 1);
    EXPECT_EQ(getDeletedMark(fileWith(1, {0x23, 0x01}).get(), 1, 2, 4), 0);
    EXPECT_EQ(getDeletedMark(fileWith(1, {0x27, 0x00}).get(), 1, 2, 4), 0);
    EXPECT_EQ(getDeletedMark(fileWith(0, {0x23, 0x00}).get(), 0, 2, 4), 0);

    auto f = fileWith(1, {0x80, 0x89, 0x8A, 0x09, 0x79, 0x88, 0x78, 0x0E, 0x0D, 0x04, 0x55});
    EXPECT_EQ(bNoteAlter(f.get(), 1), 1);
    EXPECT_EQ(bNoteAlter(f.get(), 2), 1);
    EXPECT_EQ(bNoteAlter(f.get(), 3), 0);
    EXPECT_EQ(bImageURLAlter(f.get(), 4), 0);
    EXPECT_EQ(bImageURLAlter(f.get(), 5), 1);
    EXPECT_EQ(ISAlterPropertFiled(f.get(), 5), 1);
    EXPECT_EQ(ISAlterPropertFiled(f.get(), 6), 1);
    EXPECT_EQ(ISAlterPropertFiled(f.get(), 7), 0);
    EXPECT_EQ(ISAlterPropertFiled(f.get(), 3), 0);
    EXPECT_EQ(bIsAlterbleDBFile(f.get(), 8, 2), 1);
    EXPECT_EQ(bIsAlterbleDBFile(f.get(), 9, 2), 0);
    EXPECT_EQ(IsAlterAboutContent(f.get(), 10), 0);
    EXPECT_EQ(IsAlterAboutContent(f.get(), 11), 1);
    EXPECT_EQ(ISAlterMessageContentFiled(f.get(), 11), 0);
    EXPECT_EQ(ISAlterMessageContentFiled(f.get(), 10), 1);
}

TEST(CarveProbes, SortRunAndHeaderLengthProbe) {
    auto f = fileWith(1, {0x00, 0x05, 0x07, 0x0F, 0x00});
    EXPECT_EQ(bSortAlter(f.get(), 4), 3);
    EXPECT_EQ(bSortAlter(f.get(), 5), 0);
    // A run that reaches the start of the file stops there.
    auto g = fileWith(0, {0x33, 0x44, 0x55, 0x66});
    EXPECT_EQ(bSortAlter(g.get(), 3), 3);
    EXPECT_EQ(bSortAlter(nullptr, 3), 0);

    // z = first zero at or after the offset; the byte before it decides.
    auto h = fileWith(1, {0x22, 0x00, 0x13, 0x00, 0x30, 0x00, 0x24, 0x00, 0x15});
    EXPECT_EQ(GetFildLength(h.get(), 1), 2);  // 34
    EXPECT_EQ(GetFildLength(h.get(), 2), 2);  // own byte 0: looks just before
    EXPECT_EQ(GetFildLength(h.get(), 3), 1);  // 19
    EXPECT_EQ(GetFildLength(h.get(), 5), 0);  // 48
    EXPECT_EQ(GetFildLength(h.get(), 7), 2);  // 36
    EXPECT_EQ(GetFildLength(h.get(), 9), 0);  // runs into the end of the file: 0x15 is 21
    NextZeroFinder finder(h.get());
    for (int64_t off = -2; off < 14; ++off) EXPECT_EQ(finder.GetFildLength(off), GetFildLength(h.get(), off)) << off;
    for (int64_t off = 13; off > -2; --off) EXPECT_EQ(finder.GetFildLength(off), GetFildLength(h.get(), off)) << off;

    // Long runs without a zero byte, crossed through the block table.
    std::vector<uint8_t> run(30000, 0x13);
    run[9000] = 0;
    run[9001] = 0x22;
    run[15000] = 0;
    auto r = fileOf(run);
    NextZeroFinder longFinder(r.get());
    for (int64_t off : {1, 100, 5000, 8999, 9000, 9001, 9002, 14000, 15001, 20000, 29999, 4097, 1}) {
        const int64_t expected = off <= 9000 ? 9000 : off <= 15000 ? 15000 : 30000;
        EXPECT_EQ(longFinder.find(off), expected) << off;
        EXPECT_EQ(longFinder.GetFildLength(off), GetFildLength(r.get(), off)) << off;
    }
}

// The flat key set against std::set: keys that differ only in high or low
// bits, the key 0, keys inserted twice (the insert says whether the key was
// new), and lookups across its growth and room made ahead.
TEST(CarveKeySet, HoldsExactlyTheKeysInserted) {
    carving::KeySet set;
    std::set<uint64_t> reference;
    std::mt19937_64 rng(7);
    EXPECT_FALSE(set.contains(0));
    EXPECT_FALSE(set.contains(42));
    for (int i = 0; i < 20000; ++i) {
        uint64_t key = rng();
        if (i % 5 == 0) key = static_cast<uint64_t>(i);        // small keys, low bits only
        if (i % 7 == 0) key = static_cast<uint64_t>(i) << 40;  // high bits only
        if (i == 300) key = 0;
        const bool added = reference.insert(key).second;
        ASSERT_EQ(set.insert(key), added) << key;
        ASSERT_FALSE(set.insert(key)) << key;
        if (i % 1000 == 0) {
            for (uint64_t k : reference) ASSERT_TRUE(set.contains(k)) << k;
        }
        // Room made ahead, mid-way (the keys in it move) and smaller than
        // what it has (nothing changes).
        if (i == 5000) set.reserve(60000);
        if (i == 12000) set.reserve(10);
    }
    EXPECT_EQ(set.size(), reference.size());
    for (uint64_t k : reference) EXPECT_TRUE(set.contains(k)) << k;
    size_t wrong = 0;
    for (int i = 0; i < 20000; ++i) {
        const uint64_t k = rng();
        if (reference.count(k) == 0 && set.contains(k)) ++wrong;
    }
    EXPECT_EQ(wrong, 0u);
}

}  // namespace
}  // namespace kestrel
