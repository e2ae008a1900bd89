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
    // Inputs of odd length also ask for the message rows after the carved
    // records, with some columns and a test on one value.
    if (size % 2 == 1) {
        options.liveAfterCarved = {"message", "handle"};
        options.liveColumns = [](const std::string&) { return std::vector<bool>{true, false, true, true}; };
        options.liveRowTest = [](const std::string& table) -> std::optional<carving::CarveOptions::LiveRowTest> {
            if (table != "message") return std::nullopt;
            carving::CarveOptions::LiveRowTest test;
            test.column = 2;
            test.accept = [](const carving::Value& v) { return v.kind != carving::ValueKind::Integer || v.integer % 2 == 0; };
            return test;
        };
    }
    size_t count = 0;
    carving::carveSqliteRecords(inputs, options, [&](const carving::CarvedRecord& r) {
        if (r.table.empty()) __builtin_trap();
        ++count;
    });
    return 0;
}
