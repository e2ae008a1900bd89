#include "carve/record_format.h"

#include <algorithm>

#include <bit>
#include <cstring>

namespace kestrel::carving {

int varintLength(uint64_t value) {
    if (value > 0x00FFFFFFFFFFFFFFull) return 9;
    int n = 1;
    while (value >= 0x80) {
        value >>= 7;
        ++n;
    }
    return n;
}

bool operator==(const Value& a, const Value& b) {
    if (a.kind != b.kind) return false;
    switch (a.kind) {
        case ValueKind::Null: return true;
        case ValueKind::Integer: return a.integer == b.integer;
        case ValueKind::Real: return std::memcmp(&a.real, &b.real, sizeof a.real) == 0;
        default: return a.bytes == b.bytes;
    }
}

size_t parseSerialTypes(const uint8_t* p, const uint8_t* end, size_t count, std::vector<uint64_t>& types,
                        uint64_t& bodySize) {
    const uint8_t* q = p;
    for (size_t i = 0; i < count; ++i) {
        uint64_t t = 0;
        const int n = readVarint(q, end, t);
        if (n == 0) return 0;
        const int64_t length = serialTypeLength(t);
        if (length < 0 || length > kMaxValueLength) return 0;
        types.push_back(t);
        bodySize += static_cast<uint64_t>(length);
        q += n;
    }
    return static_cast<size_t>(q - p);
}

bool parseRecordHeader(const uint8_t* p, const uint8_t* end, size_t maxColumns, RecordHeader& header,
                       uint64_t payloadSize) {
    header.types.clear();
    header.bodySize = 0;
    uint64_t size = 0;
    const int n = readVarint(p, end, size);
    if (n == 0 || size < static_cast<uint64_t>(n) || size > static_cast<uint64_t>(end - p)) return false;
    if (size > payloadSize) return false;
    header.headerSize = size;
    const uint8_t* q = p + n;
    const uint8_t* headerEnd = p + size;
    // Every type takes a byte at least: room for all of them is made at
    // once and cut to the number read (the same types, and on a failure the
    // same ones read so far, as pushing them one by one).
    header.types.resize(std::min<size_t>(maxColumns, static_cast<size_t>(headerEnd - q)));
    uint64_t* out = header.types.data();
    size_t count = 0;
    uint64_t bodySize = 0;
    const uint64_t bodyLimit = payloadSize - size;  // (size <= payloadSize is checked above)
    bool ok = true;
    while (q < headerEnd) {
        if (count >= maxColumns) {
            ok = false;
            break;
        }
        uint64_t t = *q;
        int k = 1;
        if (t >= 0x80 && (k = readVarint(q, headerEnd, t)) == 0) {
            ok = false;
            break;
        }
        const int64_t length = serialTypeLength(t);
        if (length < 0 || length > kMaxValueLength) {
            ok = false;
            break;
        }
        out[count++] = t;
        bodySize += static_cast<uint64_t>(length);
        if (bodySize > bodyLimit) {
            ok = false;
            break;
        }
        q += k;
    }
    header.types.resize(count);
    header.bodySize = bodySize;
    return ok && count > 0;
}

namespace {

int64_t bigEndianSigned(const uint8_t* p, int n) {
    uint64_t v = (p[0] & 0x80u) ? ~uint64_t{0} : 0;
    for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
    return static_cast<int64_t>(v);
}

}  // namespace

void decodeValue(uint64_t t, const uint8_t* p, size_t length, Value& v) {
    if (t >= 1 && t <= 6) {
        v.kind = ValueKind::Integer;
        v.integer = bigEndianSigned(p, static_cast<int>(length));
    } else if (t == 7) {
        v.kind = ValueKind::Real;
        uint64_t bits = 0;
        for (size_t i = 0; i < 8; ++i) bits = (bits << 8) | p[i];
        std::memcpy(&v.real, &bits, sizeof bits);
    } else if (t == 8 || t == 9) {
        v.kind = ValueKind::Integer;
        v.integer = t == 8 ? 0 : 1;
    } else if (t >= 12) {
        v.kind = (t % 2 == 0) ? ValueKind::Blob : ValueKind::Text;
        v.bytes.assign(reinterpret_cast<const char*>(p), length);
    }
}

void decodeValues(const std::vector<uint64_t>& types, const uint8_t* body, std::vector<Value>& values) {
    values.clear();
    values.reserve(types.size());
    size_t at = 0;
    for (uint64_t t : types) {
        Value v;
        const auto length = static_cast<size_t>(serialTypeLength(t));
        decodeValue(t, body + at, length, v);
        at += length;
        values.push_back(std::move(v));
    }
}

void decodeSelectedValues(const std::vector<uint64_t>& types, const uint8_t* body, const std::vector<bool>& wanted,
                          std::vector<Value>& values) {
    values.clear();
    const size_t count = std::min(types.size(), wanted.size());
    values.reserve(count);
    size_t at = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint64_t t = types[i];
        values.emplace_back();
        const auto length = static_cast<size_t>(serialTypeLength(t));
        if (wanted[i]) decodeValue(t, body + at, length, values.back());
        at += length;
    }
}

void RecordHash::mix(uint64_t word) {
    // One multiply per word: enough to tell records apart, cheap enough for
    // every live row.
    const __uint128_t product = static_cast<__uint128_t>(state_ ^ word) * 0x9E3779B97F4A7C15ull;
    state_ = static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
}

void RecordHash::addTypes(const std::vector<uint64_t>& types) {
    mix(types.size());
    for (uint64_t t : types) mix(t);
}

void RecordHash::addBytes(const uint8_t* p, size_t n) {
    length_ += n;
    size_t i = 0;
    while (pendingBytes_ != 0 && i < n) {
        pending_ = (pending_ << 8) | p[i++];
        if (++pendingBytes_ == 8) {
            mix(pending_);
            pending_ = 0;
            pendingBytes_ = 0;
        }
    }
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        // Big-endian, as the byte-at-a-time path reads it, so the hash does
        // not depend on how the body was cut into pieces.
        if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap64(w);
        mix(w);
    }
    for (; i < n; ++i) {
        pending_ = (pending_ << 8) | p[i];
        ++pendingBytes_;
    }
}

uint64_t RecordHash::value() const {
    RecordHash copy = *this;
    copy.mix(copy.pending_ ^ (uint64_t(copy.pendingBytes_) << 56));
    copy.mix(copy.length_);
    return copy.state_;
}

uint64_t hashStoredRecord(const std::vector<uint64_t>& types, const uint8_t* body, size_t bodySize) {
    RecordHash h;
    h.addTypes(types);
    h.addBytes(body, bodySize);
    return h.value();
}

}  // namespace kestrel::carving
