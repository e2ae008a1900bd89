// Feeds arbitrary bytes to the schema reader: the bytes as a database file
// (sqlite_master walk, CREATE TABLE parsing, page ownership), and as the text
// of a CREATE statement.
#include <cstdint>
#include <string>

#include "carve/sqlite_raw.h"
#include "carve/sqlite_schema.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrel;
    auto file = RawFile::fromBytes(data, size);
    const PageGeometry geometry = pageGeometry(file.get());
    if (geometry.pageSize > 0) {
        carving::DatabasePages pages(file.get(), geometry.pageSize, file->at(20));
        const carving::Schema schema = carving::readSchema(pages);
        if (schema.owner.size() != static_cast<size_t>(pages.pageCount) + 1) __builtin_trap();
    }
    bool withoutRowid = false;
    const auto columns = carving::parseCreateTable(std::string(reinterpret_cast<const char*>(data), size), withoutRowid);
    (void)columns;
    return 0;
}
