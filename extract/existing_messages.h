// Existing messages: the rows of the message database read with SQL.
#pragma once

#include <string>

#include "app/record_sink.h"

namespace kestrel {

// Reads the messages of the message database at `dbPath` in the iOS 6 layout
// (messages joined to handles) when `iOS6` is set, else in the older one
// (messages joined to group members, with the iMessage columns, then
// without); a database of neither older layout is tried as iOS 6 last. Each
// message is named through the sink's lookup and posted (postMessage) in row
// order. Logs when no statement fits.
void readExistingMessages(const std::string& dbPath, bool iOS6, RecordSink& sink);

}  // namespace kestrel
