// The deleted-message step: picks the page walk for the message database.
#pragma once

#include "app/record_sink.h"
#include "carve/sqlite_raw.h"

namespace kestrel {

// Carves the mapped message database: the iOS 6 walk when `iOS6` is set,
// otherwise the write-ahead-log walk or the rollback walk by the file's write
// version (byte 18). A page size of 0 gives no pages.
void carveDeletedMessages(const RawFile* file, bool iOS6, RecordSink& sink);

}  // namespace kestrel
