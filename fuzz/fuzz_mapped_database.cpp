// Reads arbitrary bytes as a database twice: through SQLite's own file layer
// from a file holding them (opened immutable, read-only), and through the
// read-only layer over bytes in memory that the existing-message step uses.
// The layer over memory must never read outside the bytes (AddressSanitizer
// watches the input's buffer, which has no room after it), whatever they
// hold. Where SQLite finds the file sound (its quick check passes), every
// statement must give the same rows both ways. A damaged file is only run:
// what SQLite reads from a damaged record may depend on what its buffers
// held before (a run found the same file giving other values, or an error,
// from one read to the next in one process), so it cannot be compared.
#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "app/mapped_database.h"
#include "fuzz/fuzz_support.h"

namespace {

// Bounds the work of one statement on a hostile file; the count of virtual
// machine steps is the same both ways, so an interrupted statement is too.
int stopAfterSteps(void* steps) { return ++*static_cast<int*>(steps) > 200; }

std::string run(sqlite3* db, const std::string& sql) {
    int steps = 0;
    sqlite3_progress_handler(db, 1000, stopAfterSteps, &steps);
    sqlite3_stmt* statement = nullptr;
    int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr);
    std::string out;
    if (rc != SQLITE_OK) return "prepare " + std::to_string(rc) + "\n";
    int rows = 0;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW && ++rows < 2000) {
        for (int i = 0; i < sqlite3_column_count(statement); ++i) {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_blob(statement, i));
            out += std::to_string(sqlite3_column_type(statement, i)) + ":";
            if (text != nullptr) out.append(text, static_cast<size_t>(sqlite3_column_bytes(statement, i)));
            out += '|';
        }
        out += '\n';
    }
    out += "end " + std::to_string(rc) + "\n";
    sqlite3_finalize(statement);
    return out;
}

// The schema, then every table it names (the first few), whole.
std::string readAll(sqlite3* db) {
    std::string out = run(db, "SELECT type, name, tbl_name, rootpage, sql FROM sqlite_master");
    sqlite3_stmt* tables = nullptr;
    std::string names;
    if (sqlite3_prepare_v2(db, "SELECT name FROM sqlite_master WHERE type = 'table' LIMIT 4", -1, &tables,
                           nullptr) == SQLITE_OK) {
        while (sqlite3_step(tables) == SQLITE_ROW) {
            const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(tables, 0));
            if (name == nullptr) continue;
            char* quoted = sqlite3_mprintf("SELECT * FROM \"%w\"", name);
            names += std::string(quoted) + "\n";
            sqlite3_free(quoted);
        }
    }
    sqlite3_finalize(tables);
    size_t at = 0;
    while (at < names.size()) {
        const size_t line = names.find('\n', at);
        out += run(db, names.substr(at, line - at));
        at = line + 1;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrel;
    const std::string path = fuzz::backupFolder() + "/mapped.db";
    fuzz::writeDatabase(path, data, size);

    sqlite3* fromFile = nullptr;
    const std::string uri = "file:" + path + "?immutable=1";
    int opened = sqlite3_open_v2(uri.c_str(), &fromFile, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    const bool sound = opened == SQLITE_OK && run(fromFile, "PRAGMA quick_check") == "3:ok|\nend 101\n";
    const std::string expected = opened == SQLITE_OK ? readAll(fromFile) : "open " + std::to_string(opened);
    sqlite3_close(fromFile);

    sqlite3* fromBytes = nullptr;
    opened = openMappedDatabase(data, static_cast<int64_t>(size), &fromBytes);
    const std::string got = opened == SQLITE_OK ? readAll(fromBytes) : "open " + std::to_string(opened);
    sqlite3_close(fromBytes);
    if (sound && got != expected) {
        std::fprintf(stderr, "from the file:\n%s\nfrom the bytes:\n%s\n", expected.c_str(), got.c_str());
        __builtin_trap();
    }
    return 0;
}
