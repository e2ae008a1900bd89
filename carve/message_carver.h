// Deleted-message carving: the page walks that find message records in the
// raw pages of the message database. The driver is
// WrenfieldAppDelegate::scanDelMessageThread; the walks are free functions so
// that each can be run on its own over a file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "carve/sqlite_raw.h"
#include "extract/conversions.h"

namespace kestrel {

class WrenfieldAppDelegate;

// iOS 6 layout: carves chat records into app.chatMessageArray and messages
// into app.messageArray page by page, then gives each message the phone of
// the last chat record whose row number equals its handle_id, names it and
// posts it ("ScanDelMessageInfo").
void scanIOS6MessagePages(WrenfieldAppDelegate& app, const RawFile* file, const PageGeometry& geometry);

// Older layouts: the walk for a file in write-ahead-log format (SMS and
// iMessage records) and the one for a file in rollback format (SMS records).
// Each posts every record as it is found.
void scanWalFormatMessagePages(WrenfieldAppDelegate& app, const RawFile* file, const PageGeometry& geometry);
void scanRollbackFormatMessagePages(WrenfieldAppDelegate& app, const RawFile* file, const PageGeometry& geometry);

// The row number of a chat record anchored at `a`: the varint that ends at
// a - 4 (up to three more bytes with their high bit set before it). A byte of
// 0x80 or more at a - 4 is taken by its own value.
int32_t chatRowNumberEndingAt(const RawFile* file, int64_t lastByte);

// Removes every occurrence of "SMS;-;", then of "iMessage;-;".
std::string stripChatPrefixes(std::string text);

// Direction word of a flags number: 2, 22 "Received"; 3, 16387 "Send"; else "unknown".
const char* flagsWord(int32_t flags);

// Length of a text in UTF-16 units, as the platform's strings count it.
size_t textLength(std::string_view text);

namespace carve_detail {

// Reads columns of one record with the field readers into one reused buffer,
// with one data cursor shared by every layout of the record. Each answer is
// the column text up to its first zero byte (a zero byte follows it in the
// buffer), empty with no data when the column yields nothing; it stays valid
// until the next read.
class ColumnReader {
public:
    explicit ColumnReader(const RawFile* file) : file_(file) {}

    int32_t cursor = 0;

    std::string_view one(int64_t base, int32_t length, int32_t position);
    std::string_view two(int64_t base, int32_t length, int32_t position);
    std::string_view oneHead(int64_t base, int32_t head, int32_t length, int32_t position);
    std::string_view twoHead(int64_t base, int32_t head, int32_t length, int32_t position);
    // A column read only to pass over its content: the data cursor moves
    // exactly as the one-byte or two-byte reader would move it.
    void skipOne(int64_t base, int32_t position);
    void skipTwo(int64_t base, int32_t position);

private:
    void clear();
    std::string_view finish(const char* answer, int32_t before);

    static constexpr size_t kBufferSize = 4096;  // more than any reader copies
    const RawFile* file_;
    size_t dirty_ = 0;  // bytes of the buffer that may be non-zero
    char buffer_[kBufferSize] = {};
};

// The text of a column answer (UTF-8 checked), without copying it first.
inline std::string columnText(std::string_view column) { return GetStringFormChar(column.data()); }

// Offset of the first occurrence of `pattern` starting in [from, to), or -1;
// bytes beyond the end of the file are 0x00.
int64_t findPattern(const RawFile* file, int64_t from, int64_t to, const uint8_t* pattern, size_t length);
bool patternAt(const RawFile* file, int64_t at, const uint8_t* pattern, size_t length);

}  // namespace carve_detail

}  // namespace kestrel
