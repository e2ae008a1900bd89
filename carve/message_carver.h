// Deleted-message carving: the page walks that find message records in the
// raw pages of the message database. The driver is
// WrenfieldAppDelegate::scanDelMessageThread; the walks are free functions so
// that each can be run on its own over a file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "carve/sqlite_raw.h"
#include "carve/column_reader.h"

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

// Offset of the first occurrence of `pattern` starting in [from, to), or -1;
// bytes beyond the end of the file are 0x00.
int64_t findPattern(const RawFile* file, int64_t from, int64_t to, const uint8_t* pattern, size_t length);
bool patternAt(const RawFile* file, int64_t at, const uint8_t* pattern, size_t length);

}  // namespace carve_detail

}  // namespace kestrel
