// The byte helpers both deleted-message walks use.
#include "carve/message_bytes.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kestrel {

size_t textLength(std::string_view text) {
    size_t units = 0;
    for (unsigned char c : text) {
        if ((c & 0xC0) != 0x80) units += c >= 0xF0 ? 2 : 1;
    }
    return units;
}

namespace carve_detail {

bool patternAt(const RawFile* file, int64_t at, const uint8_t* pattern, size_t length) {
    if (file == nullptr) return false;
    if (at > 0 && at + static_cast<int64_t>(length) <= file->size())
        return std::memcmp(file->data() + at, pattern, length) == 0;
    for (size_t i = 0; i < length; ++i) {
        if (byteValueAt(file, at + static_cast<int64_t>(i)) != pattern[i]) return false;
    }
    return true;
}

int64_t findPattern(const RawFile* file, int64_t from, int64_t to, const uint8_t* pattern, size_t length) {
    // The patterns searched this way begin with a non-zero byte, so no match
    // starts beyond the end of the file (or at offset 0 and before).
    if (file == nullptr || length == 0 || length > 8) return -1;
    int64_t k = std::max<int64_t>(from, 1);
    const int64_t end = std::min(to, file->size());
    const uint8_t* data = file->data();
    // Candidates whose whole pattern lies inside the file are compared as
    // one word; the last few offsets go through patternAt.
    const int64_t wordEnd = std::min(end, file->size() - static_cast<int64_t>(length) + 1);
    uint64_t want = 0, mask = 0;
    std::memcpy(&want, pattern, length);
    std::memset(&mask, 0xFF, length);
#if defined(__SSE2__)
    // Sixteen offsets at a time: the first four pattern bytes compared at
    // once, the rest checked for the few offsets that pass.
    const size_t lead = std::min<size_t>(length, 4);
    __m128i firstBytes[4];
    for (size_t i = 0; i < lead; ++i) firstBytes[i] = _mm_set1_epi8(static_cast<char>(pattern[i]));
    while (k + 16 + 3 <= wordEnd) {
        __m128i hits = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + k)), firstBytes[0]);
        for (size_t i = 1; i < lead; ++i) {
            hits = _mm_and_si128(
                hits, _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + k + i)), firstBytes[i]));
        }
        auto bits = static_cast<unsigned>(_mm_movemask_epi8(hits));
        while (bits != 0) {
            const int64_t at = k + __builtin_ctz(bits);
            uint64_t have = 0;
            std::memcpy(&have, data + at, length);
            if ((have & mask) == want) return at;
            bits &= bits - 1;
        }
        k += 16;
    }
#endif
    for (; k < wordEnd; ++k) {
        const void* hit = std::memchr(data + k, pattern[0], static_cast<size_t>(wordEnd - k));
        if (hit == nullptr) {
            k = wordEnd;
            break;
        }
        k = static_cast<const uint8_t*>(hit) - data;
        uint64_t have = 0;
        std::memcpy(&have, data + k, length);
        if ((have & mask) == want) return k;
    }
    for (; k < end; ++k) {
        if (patternAt(file, k, pattern, length)) return k;
    }
    return -1;
}

}  // namespace carve_detail

}  // namespace kestrel
