// The SQLite record format: varints, serial types, record headers and the
// values they describe. Every read is bounded by an end pointer; nothing is
// read past it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrel::carving {

// Reads the varint at p, reading no byte at or beyond `end`. Returns its
// length (1 to 9) and sets `value`; 0 when the varint runs past `end`.
inline int readVarint(const uint8_t* p, const uint8_t* end, uint64_t& value) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) {
        if (p + i >= end) return 0;
        v = (v << 7) | (p[i] & 0x7Fu);
        if ((p[i] & 0x80u) == 0) {
            value = v;
            return i + 1;
        }
    }
    if (p + 8 >= end) return 0;
    value = (v << 8) | p[8];
    return 9;
}

// No value is believed longer than this (SQLite's own limit on a row is
// 1,000,000,000 bytes), so sums of lengths never overflow.
inline constexpr int64_t kMaxValueLength = 1000000000;

// How many bytes the varint of a value takes.
int varintLength(uint64_t value);

// Content length of a serial type; -1 for the reserved types 10 and 11.
inline int64_t serialTypeLength(uint64_t type) {
    static constexpr int8_t kSmall[12] = {0, 1, 2, 3, 4, 6, 8, 8, 0, 0, -1, -1};
    if (type < 12) return kSmall[type];
    return static_cast<int64_t>((type - 12) / 2);
}

enum class ValueKind : uint8_t { Null, Integer, Real, Text, Blob };

struct Value {
    ValueKind kind = ValueKind::Null;
    int64_t integer = 0;
    double real = 0;
    std::string bytes;  // text (database encoding) or blob
};
bool operator==(const Value& a, const Value& b);

// A parsed record header: the size it declares, the serial types and the
// total content length they describe.
struct RecordHeader {
    uint64_t headerSize = 0;
    std::vector<uint64_t> types;
    uint64_t bodySize = 0;
};

// Parses the record header at p. False when a varint runs past `end`, the
// declared size is smaller than its own varint or larger than `end` allows,
// the serial types do not end exactly at the declared size, a type is
// reserved (10, 11), or there are more than `maxColumns` types. With a
// `payloadSize`, also false as soon as the header and the values it
// describes come to more than that (bytes that are no record are let go
// after a type or two, not a header's worth).
bool parseRecordHeader(const uint8_t* p, const uint8_t* end, size_t maxColumns, RecordHeader& header,
                       uint64_t payloadSize = UINT64_MAX);

// Parses serial types from p until `count` types are read, reading no byte at
// or beyond `end`. Returns the bytes used, 0 on a varint past `end` or a
// reserved type or a length above kMaxValueLength. Adds the types to
// `types` and their lengths to `bodySize`.
size_t parseSerialTypes(const uint8_t* p, const uint8_t* end, size_t count, std::vector<uint64_t>& types,
                        uint64_t& bodySize);

// Decodes the values of the given serial types from a body of exactly
// `bodySize` bytes (the caller checked the lengths add up).
void decodeValues(const std::vector<uint64_t>& types, const uint8_t* body, std::vector<Value>& values);

// The value of serial type `type` whose `length` content bytes start at p.
void decodeValue(uint64_t type, const uint8_t* p, size_t length, Value& value);

// As decodeValues, but only the values whose index `wanted` marks are
// decoded; the others are null (texts and blobs not copied), and those past
// the end of `wanted` are left out.
void decodeSelectedValues(const std::vector<uint64_t>& types, const uint8_t* body, const std::vector<bool>& wanted,
                          std::vector<Value>& values);

// A 64-bit hash of a record's stored form (serial types and body bytes), so
// equal stored records have equal hashes. Feed it in pieces: types once, then
// the body in as many pieces as it comes in.
class RecordHash {
public:
    void addTypes(const std::vector<uint64_t>& types);
    void addBytes(const uint8_t* p, size_t n);
    uint64_t value() const;

private:
    void mix(uint64_t word);
    uint64_t state_ = 0x9E3779B97F4A7C15ull;
    uint64_t pending_ = 0;
    int pendingBytes_ = 0;
    uint64_t length_ = 0;
};

uint64_t hashStoredRecord(const std::vector<uint64_t>& types, const uint8_t* body, size_t bodySize);

}  // namespace kestrel::carving
