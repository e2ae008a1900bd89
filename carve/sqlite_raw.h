// Byte-level primitives for reading a SQLite database file as raw bytes,
// without SQLite: one reader over the whole file, hex text, big-endian reads,
// integer-to-text, the two-byte serial-type rule, serial-type content
// lengths, the page-type code, the version probe and the page geometry.
//
// Offsets are 64-bit everywhere. Bytes at or beyond the end of the file read
// as 0x00. As with the positioned reads these primitives are modelled on, a
// read that starts at offset 0 or at a negative offset yields nothing (zero
// bytes): the first byte of the file is never seen by the carving code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace kestrel {

// A database file mapped (or, failing that, read) whole into memory.
// "File absent" is a null pointer to a RawFile.
class RawFile {
public:
    // Opens the file read-only; null when it cannot be opened or read.
    static std::unique_ptr<RawFile> open(const std::string& path);
    // A reader over bytes held in memory (tests, fuzzing).
    static std::unique_ptr<RawFile> fromBytes(const void* bytes, size_t size);

    ~RawFile();
    RawFile(const RawFile&) = delete;
    RawFile& operator=(const RawFile&) = delete;

    int64_t size() const { return size_; }
    const uint8_t* data() const { return data_; }

    // The byte at an absolute offset; 0x00 outside [0, size).
    uint8_t at(int64_t offset) const {
        return (offset >= 0 && offset < size_) ? data_[offset] : uint8_t{0};
    }
    // Copies n bytes from the offset into dst; bytes outside [0, size) are 0x00.
    void copy(int64_t offset, uint8_t* dst, size_t n) const;

private:
    RawFile() = default;
    const uint8_t* data_ = nullptr;
    int64_t size_ = 0;
    void* map_ = nullptr;   // mmap'ed region, when mapped
    size_t mapLength_ = 0;
    std::unique_ptr<uint8_t[]> owned_;  // copy, when not mapped
};

// The byte value the carving sees at an offset: the file's byte for offsets
// of 1 and more inside the file, 0 at offset 0, before it, beyond its end, or
// when the file is absent.
inline uint8_t byteValueAt(const RawFile* file, int64_t offset) {
    return (file != nullptr && offset > 0) ? file->at(offset) : uint8_t{0};
}

// Hex text of `longth` bytes at the offset, two lowercase digits per byte,
// written into `theChar` (at least 2 * longth + 1 characters) and terminated.
// Null (nothing written) when the file is absent, the offset is 0 or the
// count is 0 or less. A negative offset leaves the buffer unchanged.
char* getHexString(const RawFile* file, int64_t offset, int32_t longth, char* theChar);

// Value of the first n hex digits of the text (lowercase only; any other
// character counts 0); 0 for no text or a text shorter than n.
int64_t DemaNumberFormHexChar(const char* text, int32_t longth);

// Copies `longth` raw bytes at the offset into `buffer`; null (nothing
// copied) when the file or buffer is absent, the offset is 0 or the count is
// 0 or less. A negative offset copies zero bytes.
uint8_t* readData(const RawFile* file, uint8_t* buffer, int64_t offset, int32_t longth);

// Big-endian value of `size` bytes starting at bytes[point]; 0 for size <= 0.
uint64_t readBigEndian(const uint8_t* bytes, int32_t point, int32_t size);

// The text of a 32-bit value in a radix of 2..36 (digits 0-9 then a-z);
// radix 10 gives a sign, every other radix the unsigned 32-bit pattern.
// No result for a radix outside 2..36.
std::optional<std::string> IntegerToText(int32_t value, int32_t radix);

// The carving's own decoding of a serial type or row number spread over two
// bytes (hi, lo): the base-2 digits of hi, then those of lo padded to 7 (lo
// of 128 and more contributes all 8), with a leading "10" removed.
int32_t getAlterInteger(int32_t hi, int32_t lo);

// Content length of a serial type.
int32_t getFieldDataLengthBy(int64_t t);

// 1 table leaf (0x0D), 2 table interior (0x05), 3 index interior (0x02),
// 4 index leaf (0x0A), -1 otherwise and for offset 0.
int32_t getPageType(const RawFile* file, int64_t offset);

// 1 when the byte at the offset is 0x02, else 0.
int32_t checkSQliteVersion(const RawFile* file, int64_t offset);

// Page geometry: page size P and page count N = file size / P (0 when P is
// 0). P is the 16-bit big-endian field at offset 16, where 1 stands for
// 65,536. A field that is not a power of two from 512 to 65,536 means a
// damaged header: P is then the valid size whose page starts look most like
// b-tree pages (the smallest such size, since its multiples line up with the
// same pages), the file's own size when it is one page of a valid size, and
// 0 (no pages) when nothing in the file looks like a page of any valid size.
struct PageGeometry {
    int64_t pageSize = 0;
    int64_t pageCount = 0;
};
PageGeometry pageGeometry(const RawFile* file);

// The page size a header field stands for: 1 is 65,536; a power of two from
// 512 to 32,768 is itself; anything else is 0 (not a valid size).
int64_t pageSizeFromField(int64_t field);

// 16-bit big-endian value at an offset, with the byte rules above.
inline int64_t readU16(const RawFile* file, int64_t offset) {
    return (int64_t{byteValueAt(file, offset)} << 8) | byteValueAt(file, offset + 1);
}

// The varint that ends at `lastByte`, a byte below 0x80: SQLite writes the
// most significant group first, every byte but the last with its high bit
// set, so the bytes before it with the high bit set (at most three) give the
// higher groups. With the byte rules above.
int32_t varintEndingAt(const RawFile* file, int64_t lastByte);

}  // namespace kestrel
