// SQL over bytes that are already mapped: a read-only SQLite connection that
// reads its pages from a mapping the caller holds (the carver's mapping
// of a backup's database), instead of from reads of a file.
//
// The connection can write nothing anywhere: its file layer has no write,
// no journal, no log and no lock, and the database is opened as immutable,
// so SQLite neither looks for nor makes any file beside it. Each page is
// copied out of the mapping as a read of the file would copy it (the part
// past the end read as zeros), so that SQLite answers exactly as it does
// over the file, damaged pages included.
#pragma once

#include <sqlite3.h>

#include <cstdint>

namespace kestrel {

// Opens a connection over `size` bytes at `data`, which must stay mapped
// until the connection is closed (sqlite3_close). Returns SQLite's result
// code; `*db` is set as sqlite3_open_v2 sets it (close it in every case).
// Safe to call from several threads.
int openMappedDatabase(const uint8_t* data, int64_t size, sqlite3** db);

}  // namespace kestrel
