// Deleted-message carving: the page walks that find message records in the
// raw pages of the message database. Each walk is a plain function of the
// mapped file and its geometry that delivers what it finds to a record sink;
// carveDeletedMessages (deleted_message_step.h) picks the walk for a file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "app/record_sink.h"
#include "carve/column_reader.h"
#include "carve/message_bytes.h"
#include "carve/sqlite_raw.h"

namespace kestrel {

// iOS 6 layout: carves chat records and messages page by page, then gives
// each message the phone of the last chat record whose row number equals its
// handle_id and names it. Posts every chat record (postChatMessage), then
// every message (postDelMessage), in the order found.
void scanIOS6MessagePages(RecordSink& sink, const RawFile* file, const PageGeometry& geometry);

// Older layouts: the walk for a file in write-ahead-log format (SMS and
// iMessage records) and the one for a file in rollback format (SMS records).
// Each posts every record as it is found.
void scanWalFormatMessagePages(RecordSink& sink, const RawFile* file, const PageGeometry& geometry);
void scanRollbackFormatMessagePages(RecordSink& sink, const RawFile* file, const PageGeometry& geometry);

// The row number of a chat record anchored at `a`: the varint that ends at
// a - 4 (up to three more bytes with their high bit set before it). A byte of
// 0x80 or more at a - 4 is taken by its own value.
int32_t chatRowNumberEndingAt(const RawFile* file, int64_t lastByte);

// Names a message a walk found by its phone (one of two characters or more)
// through the sink's lookup, as the walks do before they post it.
void nameWalkedMessage(RecordSink& sink, TovMessageNode& message);

// Removes every occurrence of "SMS;-;", then of "iMessage;-;".
std::string stripChatPrefixes(std::string text);

}  // namespace kestrel
