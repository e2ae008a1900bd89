// Existing messages: the rows of the message database read with SQL.
#pragma once

#include <cstdint>
#include <string>

#include "app/record_sink.h"

namespace kestrel {

// Reads the messages of the message database at `dbPath`. The layout comes
// from the database's own columns: the older one (messages joined to group
// members, with the iMessage columns), the iOS 6-10 one (messages joined to
// handles) or the newer one of iOS 11 and later (text or archived body,
// service, conversation, attachments, and the rows that are not ordinary
// messages: Recently Deleted, orphaned, earlier versions of edited messages,
// unsent messages, each with its source). When the columns tell nothing, the
// version decides: the iOS 6 layout when `iOS6` is set, else the older one
// with, then without, the iMessage columns, then iOS 6 last. Each message is
// named through the sink's lookup and posted (postMessage) in row order.
// Logs when no statement fits.
void readExistingMessages(const std::string& dbPath, bool iOS6, RecordSink& sink);

// The same step over a database already mapped in memory (`size` bytes at
// `data`, which stay mapped until it returns), read through SQL without
// any file access: for a database with no log or journal beside it, whose
// committed copy would hold the same rows.
void readExistingMessages(const uint8_t* data, int64_t size, bool iOS6, RecordSink& sink);

// The message statement the step chooses by the database's columns (the
// iOS 5, iOS 6-10 or newer one); empty when the columns tell nothing.
std::string messageStatementFor(const std::string& dbPath);

}  // namespace kestrel
