// Feeds arbitrary bytes to the carver as a database with its write-ahead log
// or rollback journal: the first four bytes give the database's length, the
// next byte picks log or journal, the database follows, the rest is the log
// (or journal). Exercises the frame checks, the committed-state overlay,
// every frame's carving and the journal's record search.
#include <algorithm>
#include <cstdint>

#include "carve/page_carver.h"
#include "carve/wal_journal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrel;
    if (size < 5) return 0;
    const size_t declared = (size_t{data[0]} << 24) | (size_t{data[1]} << 16) | (size_t{data[2]} << 8) | data[3];
    const bool journal = (data[4] & 1) != 0;
    const size_t rest = size - 5;
    const size_t dbSize = std::min(declared, rest);
    auto database = RawFile::fromBytes(data + 5, dbSize);
    auto other = RawFile::fromBytes(data + 5 + dbSize, rest - dbSize);
    carving::CarveInputs inputs;
    inputs.database = database.get();
    (journal ? inputs.journal : inputs.wal) = other.get();
    carving::CarveOptions options;
    options.includeLive = (data[4] & 2) != 0;
    carving::carveSqliteRecords(inputs, options, [](const carving::CarvedRecord&) {});
    carving::WalReader reader(other.get(), 4096);
    int64_t frames = 0;
    reader.forEachFrame([&](const carving::WalFrame&, const uint8_t*) { ++frames; });
    if (frames != reader.frameCount()) __builtin_trap();
    return 0;
}
