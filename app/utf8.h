// One step of UTF-8 decoding, shared by every writer that must tell a valid
// sequence from stray bytes (JSON, CSV and HTML output, the terminal tables).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kestrel {

// Length of the valid UTF-8 sequence starting at `text[i]` (1 to 4), or 0
// when none starts there: a stray continuation byte, a truncated or overlong
// sequence, a surrogate or a value past U+10FFFF. The code point goes to
// `value` when one is given.
inline size_t utf8SequenceAt(std::string_view text, size_t i, uint32_t* value = nullptr) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
        if (value != nullptr) *value = c;
        return 1;
    }
    const size_t length = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (length == 0 || i + length > text.size()) return 0;
    uint32_t v = length == 2 ? c & 0x1Fu : length == 3 ? c & 0x0Fu : c & 0x07u;
    for (size_t k = 1; k < length; ++k) {
        const auto cc = static_cast<unsigned char>(text[i + k]);
        if ((cc & 0xC0) != 0x80) return 0;
        v = (v << 6) | (cc & 0x3Fu);
    }
    const uint32_t minimum = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
    if (v < minimum || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
    if (value != nullptr) *value = v;
    return length;
}

}  // namespace kestrel
