// The byte helpers both deleted-message walks use: pattern search over the
// mapped file, the head of each page the walks visit, the direction word and
// the text length rule.
#pragma once

#include <cstdint>
#include <string_view>

#include "app/message_direction.h"
#include "app/working_folder.h"
#include "carve/sqlite_raw.h"

namespace kestrel {

// Length of a text in UTF-16 units, as the platform's strings count it.
size_t textLength(std::string_view text);

// A page the message walks look into: its offset, its type (getPageType) and
// the header values their probes start from.
struct MessagePageHead {
    int64_t index = 0;   // page number w, 0-based
    int64_t offset = 0;  // f = w * page size
    int32_t type = 0;
    int64_t cell1 = 0;         // 16-bit value at f + 8
    int64_t cell2 = 0;         // at f + 10
    int64_t cell3 = 0;         // at f + 12
    int64_t contentStart = 0;  // at f + 5
};

// Calls visit(head) for every page 0 .. N-1 whose type is a table leaf (1),
// or also a table interior (2) when `withInterior` is set, in file order.
// Ends early, every 256 pages, once a stop of the scan was asked for.
template <typename Visit>
void forEachMessagePage(const RawFile* file, const PageGeometry& geometry, bool withInterior, Visit&& visit) {
    for (int64_t w = 0; w < geometry.pageCount; ++w) {
        if ((w & 255) == 255 && stopRequested()) return;
        MessagePageHead head;
        head.index = w;
        head.offset = w * geometry.pageSize;
        head.type = getPageType(file, head.offset);
        if (head.type != 1 && !(withInterior && head.type == 2)) continue;
        head.cell1 = readU16(file, head.offset + 8);
        head.cell2 = readU16(file, head.offset + 10);
        head.cell3 = readU16(file, head.offset + 12);
        head.contentStart = readU16(file, head.offset + 5);
        visit(head);
    }
}

namespace carve_detail {

// Offset of the first occurrence of `pattern` starting in [from, to), or -1;
// bytes beyond the end of the file are 0x00.
int64_t findPattern(const RawFile* file, int64_t from, int64_t to, const uint8_t* pattern, size_t length);
bool patternAt(const RawFile* file, int64_t at, const uint8_t* pattern, size_t length);

}  // namespace carve_detail

}  // namespace kestrel
