#include "carve/sqlite_raw.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace kestrel {

namespace {

bool readWhole(int fd, uint8_t* dst, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t got = ::pread(fd, dst + done, n - done, static_cast<off_t>(done));
        if (got < 0) return false;
        if (got == 0) break;  // the file shrank: the rest stays zero
        done += static_cast<size_t>(got);
    }
    return true;
}

}  // namespace

std::unique_ptr<RawFile> RawFile::open(const std::string& path) {
    // O_NONBLOCK: a FIFO in the file's place must not hang the open; the
    // fstat below refuses anything but a regular file.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    std::unique_ptr<RawFile> file(new RawFile());
    const auto length = static_cast<size_t>(st.st_size);
    file->size_ = static_cast<int64_t>(st.st_size);
    if (length > 0) {
        // Not populated: a sparse file (a huge size with few blocks) must
        // cost no memory for its holes. A file without holes is read ahead
        // instead, since the walks visit every page.
        void* map = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0);
        if (map != MAP_FAILED) {
            const bool sparse = static_cast<uint64_t>(st.st_blocks) * 512u < static_cast<uint64_t>(st.st_size);
            ::madvise(map, length, sparse ? MADV_RANDOM : MADV_WILLNEED);
            file->map_ = map;
            file->mapLength_ = length;
            file->data_ = static_cast<const uint8_t*>(map);
        } else {
            file->owned_ = std::make_unique<uint8_t[]>(length);
            if (!readWhole(fd, file->owned_.get(), length)) {
                ::close(fd);
                return nullptr;
            }
            file->data_ = file->owned_.get();
        }
    }
    ::close(fd);
    return file;
}

std::unique_ptr<RawFile> RawFile::fromBytes(const void* bytes, size_t size) {
    std::unique_ptr<RawFile> file(new RawFile());
    file->owned_ = std::make_unique<uint8_t[]>(std::max<size_t>(size, 1));
    if (size > 0) std::memcpy(file->owned_.get(), bytes, size);
    file->data_ = file->owned_.get();
    file->size_ = static_cast<int64_t>(size);
    return file;
}

RawFile::~RawFile() {
    if (map_ != nullptr) ::munmap(map_, mapLength_);
}

void RawFile::copy(int64_t offset, uint8_t* dst, size_t n) const {
    std::memset(dst, 0, n);
    if (n == 0) return;
    const int64_t end = offset + static_cast<int64_t>(n);
    const int64_t from = std::max<int64_t>(offset, 0);
    const int64_t to = std::min<int64_t>(end, size_);
    if (from >= to) return;
    std::memcpy(dst + (from - offset), data_ + from, static_cast<size_t>(to - from));
}

char* getHexString(const RawFile* file, int64_t offset, int32_t longth, char* theChar) {
    if (file == nullptr || offset == 0 || longth <= 0 || theChar == nullptr) return nullptr;
    if (offset < 0) return theChar;  // the seek fails: the buffer stays as it was
    static constexpr char kDigits[] = "0123456789abcdef";
    for (int32_t i = 0; i < longth; ++i) {
        const uint8_t b = file->at(offset + i);
        theChar[2 * i] = kDigits[b >> 4];
        theChar[2 * i + 1] = kDigits[b & 0x0F];
    }
    theChar[2 * static_cast<int64_t>(longth)] = '\0';
    return theChar;
}

int64_t DemaNumberFormHexChar(const char* text, int32_t longth) {
    if (text == nullptr || longth <= 0) return 0;
    // The text must hold at least n characters.
    for (int32_t i = 0; i < longth; ++i) {
        if (text[i] == '\0') return 0;
    }
    int64_t value = 0;
    for (int32_t i = 0; i < longth; ++i) {
        const char c = text[i];
        int d = 0;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        value = value * 16 + d;
    }
    return value;
}

uint8_t* readData(const RawFile* file, uint8_t* buffer, int64_t offset, int32_t longth) {
    if (file == nullptr || buffer == nullptr || offset == 0 || longth <= 0) return nullptr;
    if (offset < 0) {
        std::memset(buffer, 0, static_cast<size_t>(longth));
        return buffer;
    }
    file->copy(offset, buffer, static_cast<size_t>(longth));
    return buffer;
}

uint64_t readBigEndian(const uint8_t* bytes, int32_t point, int32_t size) {
    if (bytes == nullptr || size <= 0) return 0;
    uint64_t value = 0;
    for (int32_t i = 0; i < size; ++i) value = (value << 8) | bytes[point + i];
    return value;
}

std::optional<std::string> IntegerToText(int32_t value, int32_t radix) {
    if (radix < 2 || radix > 36) return std::nullopt;
    static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    const bool negative = (radix == 10 && value < 0);
    uint32_t magnitude = static_cast<uint32_t>(value);
    if (negative) magnitude = 0u - magnitude;
    char tmp[40];
    int n = 0;
    do {
        tmp[n++] = kDigits[magnitude % static_cast<uint32_t>(radix)];
        magnitude /= static_cast<uint32_t>(radix);
    } while (magnitude != 0);
    std::string text;
    text.reserve(static_cast<size_t>(n) + 1);
    if (negative) text.push_back('-');
    while (n > 0) text.push_back(tmp[--n]);
    return text;
}

int32_t varintEndingAt(const RawFile* file, int64_t lastByte) {
    uint32_t value = byteValueAt(file, lastByte) & 0x7Fu;
    int shift = 7;
    for (int64_t k = 1; k <= 3; ++k) {
        const uint8_t b = byteValueAt(file, lastByte - k);
        if ((b & 0x80) == 0) break;
        value |= static_cast<uint32_t>(b & 0x7F) << shift;
        shift += 7;
    }
    return static_cast<int32_t>(value);
}

int32_t getAlterInteger(int32_t hi, int32_t lo) {
    hi &= 0xFF;
    lo &= 0xFF;
    const int lowBits = lo < 128 ? 7 : 8;
    int hiBits = 1;
    while ((hi >> hiBits) != 0) ++hiBits;
    const int total = hiBits + lowBits;
    const int32_t v = (hi << lowBits) | lo;
    const bool topOne = ((v >> (total - 1)) & 1) != 0;
    const bool nextZero = ((v >> (total - 2)) & 1) == 0;
    if (topOne && nextZero) return v - (int32_t{1} << (total - 1));
    return v;
}

int32_t getFieldDataLengthBy(int64_t t) {
    if (t < 0) return 0;
    if (t <= 4) return static_cast<int32_t>(t);
    if (t == 5) return 6;
    if (t == 6 || t == 7) return 8;
    if (t <= 13) return 0;
    if (t % 2 == 0) return static_cast<int32_t>((t - 12) / 2);
    return static_cast<int32_t>((t - 13) / 2);
}

int32_t getPageType(const RawFile* file, int64_t offset) {
    if (offset == 0) return -1;
    switch (byteValueAt(file, offset)) {
        case 0x0D: return 1;
        case 0x05: return 2;
        case 0x02: return 3;
        case 0x0A: return 4;
        default: return -1;
    }
}

int32_t checkSQliteVersion(const RawFile* file, int64_t offset) {
    return byteValueAt(file, offset) == 0x02 ? 1 : 0;
}

int64_t pageSizeFromField(int64_t field) {
    if (field == 1) return 65536;
    if (field < 512 || field > 32768 || (field & (field - 1)) != 0) return 0;
    return field;
}

namespace {

// Whether the bytes at `start` read as the header of a b-tree page of the
// given size: a page-type byte, a cell count whose pointer array fits, and a
// cell content start inside the page.
bool looksLikeBtreePage(const RawFile* file, int64_t start, int64_t pageSize) {
    const uint8_t type = file->at(start);
    if (type != 0x0D && type != 0x05 && type != 0x02 && type != 0x0A) return false;
    const int64_t headerSize = (type == 0x0D || type == 0x0A) ? 8 : 12;
    const int64_t cells = (int64_t{file->at(start + 3)} << 8) | file->at(start + 4);
    int64_t content = (int64_t{file->at(start + 5)} << 8) | file->at(start + 6);
    if (content == 0) content = 65536;
    const int64_t firstFreeblock = (int64_t{file->at(start + 1)} << 8) | file->at(start + 2);
    return headerSize + 2 * cells <= content && content <= pageSize && firstFreeblock < pageSize;
}

// The valid page size for a file whose header field is damaged (see
// pageGeometry); 0 when none fits.
int64_t guessPageSize(const RawFile* file) {
    constexpr int kSampledPages = 64;
    for (int64_t size = 512; size <= 65536; size *= 2) {
        int looks = 0;
        int other = 0;
        for (int64_t k = 1; k <= kSampledPages && (k + 1) * size <= file->size(); ++k) {
            if (file->at(k * size) == 0x00) continue;  // a free or unused page says nothing
            if (looksLikeBtreePage(file, k * size, size)) ++looks;
            else ++other;
        }
        if (looks > 0 && looks >= 3 * other) return size;
    }
    const int64_t whole = file->size();
    if (whole >= 512 && whole <= 65536 && (whole & (whole - 1)) == 0 && looksLikeBtreePage(file, 100, whole))
        return whole;
    return 0;
}

}  // namespace

PageGeometry pageGeometry(const RawFile* file) {
    PageGeometry g;
    if (file == nullptr) return g;
    g.pageSize = pageSizeFromField(readU16(file, 16));
    if (g.pageSize == 0) g.pageSize = guessPageSize(file);
    g.pageCount = g.pageSize > 0 ? file->size() / g.pageSize : 0;
    return g;
}

}  // namespace kestrel
