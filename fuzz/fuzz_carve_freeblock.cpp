// Feeds arbitrary bytes to the carving of one page image no longer in use:
// the first byte picks one of a few table shapes, the rest is the page
// (padded with zeros to 4,096 bytes), so the freeblock rebuild, the cell
// parse and the unallocated-space scan see every kind of damage.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "carve/page_carver.h"

namespace {

const char* const kTables[] = {
    ("CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT, text TEXT, handle_id INTEGER, "
     "date INTEGER, rate REAL, data BLOB)"),
    "CREATE TABLE t (a INTEGER PRIMARY KEY, b TEXT)",
    "CREATE TABLE u (a, b, c, d)",
    "CREATE TABLE v (x TEXT NOT NULL, y INTEGER DEFAULT 0, z BLOB, w REAL, PRIMARY KEY (x))",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrel::carving;
    if (size < 1) return 0;
    static std::vector<SchemaObject> tables = [] {
        std::vector<SchemaObject> out;
        for (const char* sql : kTables) {
            SchemaObject o;
            o.type = "table";
            o.name = "t";
            o.rootPage = 2;
            o.sql = sql;
            o.columns = parseCreateTable(sql, o.withoutRowid);
            for (size_t c = 0; c < o.columns.size(); ++c)
                if (o.columns[c].integerPrimaryKey) o.ipkColumn = static_cast<int>(c);
            out.push_back(o);
        }
        return out;
    }();
    const SchemaObject& table = tables[data[0] % tables.size()];
    std::vector<uint8_t> page(4096, 0);
    std::memcpy(page.data(), data + 1, std::min<size_t>(size - 1, page.size()));
    const uint32_t pgno = (data[0] & 0x80) ? 1 : 2;
    const auto records = carvePageImage(table, page.data(), static_cast<int64_t>(page.size()), pgno);
    for (const CarvedRecord& r : records)
        if (r.values.size() > table.columns.size()) __builtin_trap();
    return 0;
}
