// Feeds arbitrary bytes to the carver as a whole database file: the live
// walk, every page's cells, freeblocks, unallocated space, free and
// unreached pages, overflow chains and the live-row checks.
#include <cstdint>

#include "carve/page_carver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrel;
    auto file = RawFile::fromBytes(data, size);
    carving::CarveInputs inputs;
    inputs.database = file.get();
    carving::CarveOptions options;
    options.includeLive = true;
    size_t count = 0;
    carving::carveSqliteRecords(inputs, options, [&](const carving::CarvedRecord& r) {
        if (r.table.empty()) __builtin_trap();
        ++count;
    });
    return 0;
}
