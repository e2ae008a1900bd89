#include "carve/record_analysis.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <string_view>

namespace kestrel {

namespace {

constexpr std::array<std::string_view, 4> kOlderMessagePatterns = {
    "001100", "0808080808", "0808000808080808", "0108000108080808"};
constexpr std::array<std::string_view, 15> kContactPatterns = {
    "01010809", "01010901", "09010809", "01010101", "01010801", "02010801", "02010901", "02010809",
    "02010101", "01090809", "0f0f080801", "0000040401", "0000040400", "0000040413", "ffd8ffe0"};
constexpr std::array<std::string_view, 1> kChatPatterns = {"010155"};
constexpr std::array<std::string_view, 1> kMessagePatterns = {"0800010000"};

std::span<const std::string_view> patternsOf(int32_t kind) {
    if (kind == kKindOlderMessage) return kOlderMessagePatterns;
    if (kind == kKindContact) return kContactPatterns;
    return {};
}

// The text begins with one of the patterns (a shorter text does not).
bool beginsWithAny(std::string_view text, std::span<const std::string_view> patterns) {
    for (std::string_view p : patterns) {
        if (text.size() >= p.size() && text.compare(0, p.size(), p) == 0) return true;
    }
    return false;
}

// Windows of w characters at every character p < len - w of the text.
int32_t windowSearchText(const char* text, int32_t w, std::span<const std::string_view> patterns) {
    if (text == nullptr) return 0;
    const auto len = static_cast<int64_t>(std::strlen(text));
    if (w < 0) return 0;
    for (int64_t p = 0; p < len - w; ++p) {
        std::string_view window(text + p, static_cast<size_t>(w));
        if (beginsWithAny(window, patterns)) return 1;
    }
    return 0;
}

int nibbleOfHexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    return c - 'a' + 10;
}

// Every pattern is whole bytes (an even number of hex digits, at most eight
// bytes): it is kept as one word and the mask of its bytes, compared with a
// load at each window position.
template <size_t N>
constexpr bool wholeBytes(const std::array<std::string_view, N>& patterns) {
    for (std::string_view p : patterns)
        if (p.size() % 2 != 0 || p.size() > 16) return false;
    return true;
}
static_assert(wholeBytes(kOlderMessagePatterns) && wholeBytes(kContactPatterns) && wholeBytes(kChatPatterns) &&
              wholeBytes(kMessagePatterns));

struct NibblePattern {
    int64_t length = 0;  // in half-bytes
    uint64_t word = 0;
    uint64_t mask = 0;
};

template <size_t N>
std::array<NibblePattern, N> toNibbles(const std::array<std::string_view, N>& patterns) {
    std::array<NibblePattern, N> out{};
    for (size_t i = 0; i < N; ++i) {
        const std::string_view p = patterns[i];
        out[i].length = static_cast<int64_t>(p.size());
        uint8_t bytes[8] = {};
        uint8_t maskBytes[8] = {};
        for (size_t j = 0; j < p.size() / 2; ++j) {
            bytes[j] = static_cast<uint8_t>(nibbleOfHexDigit(p[2 * j]) << 4 | nibbleOfHexDigit(p[2 * j + 1]));
            maskBytes[j] = 0xFF;
        }
        std::memcpy(&out[i].word, bytes, 8);
        std::memcpy(&out[i].mask, maskBytes, 8);
    }
    return out;
}

const auto kOlderMessageNibbles = toNibbles(kOlderMessagePatterns);
const auto kContactNibbles = toNibbles(kContactPatterns);
const auto kChatNibbles = toNibbles(kChatPatterns);
const auto kMessageNibbles = toNibbles(kMessagePatterns);

std::span<const NibblePattern> nibblePatternsOf(int32_t kind) {
    if (kind == kKindOlderMessage) return kOlderMessageNibbles;
    if (kind == kKindContact) return kContactNibbles;
    return {};
}

// The same search on the half-bytes of `count` bytes at the offset, without
// building any text. The bytes have no text at offset 0 (and none of the
// patterns is all zeros, so a zero-filled text never matches either).
//
// A window at an even half-byte position starts on a byte; one at an odd
// position starts on the second half of a byte, which is a byte of the
// bytes shifted by half a byte. A pattern is then compared as one masked
// word at each position instead of half-byte by half-byte.
int32_t windowSearchBytes(const RawFile* file, int64_t offset, int32_t count, int32_t w,
                          std::span<const NibblePattern> patterns) {
    if (file == nullptr || offset <= 0 || count <= 0 || w < 0) return 0;
    if (count > 64) count = 64;  // the carvers probe at most a few dozen bytes
    // Zeros past the bytes read: a word loaded near the end reads them, and
    // the window rule keeps every match inside the bytes.
    uint8_t bytes[64 + 9] = {};
    uint8_t shifted[64 + 8] = {};
    if (offset + count <= file->size()) {
        std::memcpy(bytes, file->data() + offset, static_cast<size_t>(count));
    } else {
        for (int32_t i = 0; i < count; ++i) bytes[i] = file->at(offset + i);
    }
    for (int32_t i = 0; i < count; ++i) shifted[i] = static_cast<uint8_t>(bytes[i] << 4 | bytes[i + 1] >> 4);
    const int64_t len = 2 * int64_t{count};
    for (const NibblePattern& pat : patterns) {
        if (pat.length > w) continue;
        for (int64_t p = 0; p < len - w; ++p) {
            uint64_t word;
            std::memcpy(&word, (p % 2 == 0 ? bytes : shifted) + p / 2, 8);
            if ((word & pat.mask) == pat.word) return 1;
        }
    }
    return 0;
}

// Reads the content bytes of a field; a read that starts at offset 0 yields
// nothing, which leaves zeros.
void readContent(const RawFile* file, int64_t at, char* data, size_t n) {
    std::memset(data, 0, n);
    if (n == 0) return;
    readData(file, reinterpret_cast<uint8_t*>(data), at, static_cast<int32_t>(n));
}

char* oneByteReader(const RawFile* file, int64_t typeAt, int64_t contentBase, int32_t& cursor, char* data,
                    size_t dataSize) {
    if (data == nullptr || dataSize == 0) return nullptr;
    const int32_t t = byteValueAt(file, typeAt);
    if (t <= 13 && !(t >= 1 && t <= 7)) return nullptr;
    const int32_t n = getFieldDataLengthBy(t);
    const int64_t at = contentBase + cursor;
    if (t <= 7) {
        uint8_t bytes[8] = {};
        readData(file, bytes, at, n);
        const auto low = static_cast<uint32_t>(readBigEndian(bytes, 0, n) & 0xFFFFFFFFu);
        const std::string text = *IntegerToText(static_cast<int32_t>(low), 10);
        std::memset(data, 0, std::min(dataSize, kNumberTextArea));
        const size_t copied = std::min(text.size(), dataSize - 1);
        std::memcpy(data, text.data(), copied);
    } else {
        readContent(file, at, data, std::min(static_cast<size_t>(n), dataSize - 1));
    }
    cursor += n;
    return data;
}

char* twoByteReader(const RawFile* file, int64_t typeAt, int64_t contentBase, int32_t& cursor, char* data,
                    size_t dataSize) {
    if (data == nullptr || dataSize == 0) return nullptr;
    const int32_t t = getAlterInteger(byteValueAt(file, typeAt), byteValueAt(file, typeAt + 1));
    if (t > 4095) return nullptr;
    const int32_t n = getFieldDataLengthBy(t);
    readContent(file, contentBase + cursor, data, std::min(static_cast<size_t>(n), dataSize - 1));
    cursor += n;
    return data;
}

}  // namespace

char* AnalyseDBDataFile(const RawFile* file, int32_t postion, int32_t& dataoff, int64_t offset, int32_t length,
                        char* data, size_t dataSize) {
    return oneByteReader(file, offset + postion, offset + length, dataoff, data, dataSize);
}

char* AnalyseTheDBDataFile(const RawFile* file, int32_t postion, int32_t& dataoff, int64_t offset, int32_t head,
                           int32_t length, char* data, size_t dataSize) {
    return oneByteReader(file, offset + head + postion, offset + head + length, dataoff, data, dataSize);
}

char* AnalyseAlterbleDB(const RawFile* file, int32_t postion, int32_t& dataOff, int64_t offset, int32_t length,
                        char* Data, size_t dataSize) {
    return twoByteReader(file, offset + postion, offset + length, dataOff, Data, dataSize);
}

char* AnalyseAlterbleDBFile(const RawFile* file, int32_t postion, int32_t& dataoff, int64_t offset, int32_t Head,
                            int32_t length, char* data, size_t dataSize) {
    return twoByteReader(file, offset + Head + postion, offset + Head + length, dataoff, data, dataSize);
}

int32_t bCheckDataIsValid(const char* text, int32_t type) {
    if (text == nullptr) return 0;
    return beginsWithAny(text, patternsOf(type)) ? 1 : -1;
}

int32_t bcheckSubStringIsValid(const char* text, int32_t type, int32_t longth) {
    return windowSearchText(text, longth, patternsOf(type));
}

int32_t bcheckSubStringIsValidAt(const RawFile* file, int64_t offset, int32_t count, int32_t type,
                                 int32_t longth) {
    return windowSearchBytes(file, offset, count, longth, nibblePatternsOf(type));
}

int32_t getDeletedMark(const RawFile* file, int64_t offset, int32_t longth, int32_t type) {
    (void)type;
    if (file == nullptr || offset == 0 || longth < 2) return 0;
    const uint8_t first = byteValueAt(file, offset);
    const uint8_t second = byteValueAt(file, offset + 1);
    return (first >= 0x23 && first <= 0x26 && second == 0x00) ? 1 : 0;
}

int32_t bNoteAlter(const RawFile* file, int64_t offset) {
    const uint8_t b = byteValueAt(file, offset);
    return (b >= 0x80 && b <= 0x89) ? 1 : 0;
}

int32_t bImageURLAlter(const RawFile* file, int64_t offset) {
    return byteValueAt(file, offset) != 0x09 ? 1 : 0;
}

int32_t bSortAlter(const RawFile* file, int64_t offset) {
    if (byteValueAt(file, offset) == 0x00) return 0;
    // Every offset of 0 and below reads as 0x00, so the walk ends there.
    const uint8_t* data = file->data();
    int64_t k = 1;
    while (offset - k > 0 && data[offset - k] != 0x00) ++k;
    return static_cast<int32_t>(std::min<int64_t>(k, INT32_MAX));
}

int32_t bIsAlterbleDBFile(const RawFile* file, int64_t offset, int32_t type) {
    (void)type;
    return byteValueAt(file, offset) >= 14 ? 1 : 0;
}

int32_t IsAlterAboutContent(const RawFile* file, int64_t offset) {
    return byteValueAt(file, offset) != 0x04 ? 1 : 0;
}

int32_t ISAlterPropertFiled(const RawFile* file, int64_t offset) {
    const uint8_t b = byteValueAt(file, offset);
    return (b >= 0x79 && b <= 0x88) ? 1 : 0;
}

int32_t ISAlterMessageContentFiled(const RawFile* file, int64_t offset) {
    return byteValueAt(file, offset) == 0x55 ? 0 : 1;
}

int32_t bcheckChatIOS6SubStringIsValid(const char* text, int32_t longth) {
    return windowSearchText(text, longth, kChatPatterns);
}

int32_t bcheckMessageIOS6SubStringIsValid(const char* text, int32_t longth) {
    return windowSearchText(text, longth, kMessagePatterns);
}

int32_t bcheckChatIOS6SubStringIsValidAt(const RawFile* file, int64_t offset, int32_t count, int32_t longth) {
    return windowSearchBytes(file, offset, count, longth, kChatNibbles);
}

int32_t bcheckMessageIOS6SubStringIsValidAt(const RawFile* file, int64_t offset, int32_t count,
                                            int32_t longth) {
    return windowSearchBytes(file, offset, count, longth, kMessageNibbles);
}

namespace {

int64_t firstZeroFrom(const RawFile* file, int64_t offset) {
    if (file == nullptr || offset <= 0 || offset >= file->size()) return offset;
    const void* hit = std::memchr(file->data() + offset, 0, static_cast<size_t>(file->size() - offset));
    return hit != nullptr ? static_cast<const uint8_t*>(hit) - file->data() : file->size();
}

int32_t lengthClassBefore(const RawFile* file, int64_t zero) {
    const uint8_t v = byteValueAt(file, zero - 1);
    if (v >= 34 && v <= 36) return 2;
    if (v >= 18 && v <= 20) return 1;
    return 0;
}

}  // namespace

int32_t GetFildLength(const RawFile* file, int64_t offset) {
    return lengthClassBefore(file, firstZeroFrom(file, offset));
}

int64_t NextZeroFinder::find(int64_t offset) {
    if (file_ == nullptr || offset <= 0 || offset >= file_->size()) return offset;
    const uint8_t* data = file_->data();
    const int64_t size = file_->size();
    const int64_t quick = std::min<int64_t>(size - offset, 4096);
    if (const void* hit = std::memchr(data + offset, 0, static_cast<size_t>(quick)))
        return static_cast<const uint8_t*>(hit) - data;
    if (offset + quick >= size) return size;
    const int64_t blocks = (size + kBlock - 1) / kBlock;
    if (nextZeroBlock_.empty()) {
        nextZeroBlock_.assign(static_cast<size_t>(blocks) + 1, blocks);
        for (int64_t b = blocks - 1; b >= 0; --b) {
            const int64_t from = b * kBlock;
            const int64_t n = std::min(kBlock, size - from);
            const bool hasZero = std::memchr(data + from, 0, static_cast<size_t>(n)) != nullptr;
            nextZeroBlock_[static_cast<size_t>(b)] = hasZero ? b : nextZeroBlock_[static_cast<size_t>(b) + 1];
        }
    }
    const int64_t from = offset + quick;
    const int64_t b = from / kBlock;
    const int64_t blockEnd = std::min((b + 1) * kBlock, size);
    if (const void* hit = std::memchr(data + from, 0, static_cast<size_t>(blockEnd - from)))
        return static_cast<const uint8_t*>(hit) - data;
    const int64_t nb = nextZeroBlock_[static_cast<size_t>(b) + 1];
    if (nb >= blocks) return size;
    const int64_t start = nb * kBlock;
    const void* hit = std::memchr(data + start, 0, static_cast<size_t>(std::min(kBlock, size - start)));
    return static_cast<const uint8_t*>(hit) - data;
}

int32_t NextZeroFinder::GetFildLength(int64_t offset) {
    return lengthClassBefore(file_, find(offset));
}

}  // namespace kestrel
