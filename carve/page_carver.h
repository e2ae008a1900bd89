// The schema-aware carver: finds every record image a SQLite database, its
// write-ahead log and its rollback journal still hold (live cells, freeblocks
// with their overwritten head rebuilt, unallocated space, free and unreached
// pages, overflow chains, every log frame, every journal page), matches each
// to one table of the file's own schema, and delivers the ones that are not
// live rows to a sink, each with where it came from.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "carve/record_format.h"
#include "carve/sqlite_raw.h"
#include "carve/sqlite_schema.h"

namespace kestrel::carving {

struct CarvedProvenance {
    std::string file;  // the database, its log or its journal, as named in the inputs
    // "live cell", "freeblock", "unallocated", "free page", "unreached page",
    // "WAL frame" or "journal page".
    std::string area;
    int64_t page = 0;    // database page number, 1-based
    int64_t offset = 0;  // byte offset of the record's start in `file`
    std::optional<int64_t> frame;   // 1-based log frame
    std::optional<int64_t> commit;  // 1-based commit of that frame
};

struct CarvedRecord {
    std::string table;
    std::optional<int64_t> rowid;
    // In the table's column order; an INTEGER PRIMARY KEY column holds the
    // row number (null when the bytes no longer hold it). A record written
    // before columns were added has fewer values.
    std::vector<Value> values;
    std::string status;  // "deleted", "earlier version", "live", or "partial" (see CarveOptions::partial)
    CarvedProvenance provenance;
    // A partial record: the index of the first value whose bytes are lost
    // (that value and every later one are null, not the row's values).
    std::optional<size_t> lostFrom;
};

struct CarveInputs {
    const RawFile* database = nullptr;
    const RawFile* wal = nullptr;      // optional
    const RawFile* journal = nullptr;  // optional
    std::string databaseName = "database";
    std::string walName = "wal";
    std::string journalName = "journal";
};

struct CarveSummary;

struct CarveOptions {
    std::string table;         // only this table's records; empty for every table
    bool includeLive = false;  // deliver the live rows too (status "live")
    // With includeLive: when not empty, only these tables' live rows are
    // delivered (names compared without regard to case).
    std::vector<std::string> liveTables;
    // With includeLive: tables whose live rows are delivered after every
    // carved record rather than before, so that a sink can match them
    // against the few records it keeps instead of keeping every live row.
    std::vector<std::string> liveAfterCarved;
    // When set, the columns decoded in those later live rows, by table (the
    // others are delivered as null, and those past the last one marked are
    // left out); called once per table.
    std::function<std::vector<bool>(const std::string& table)> liveColumns;
    // When set, a test of one value of those later live rows, by table:
    // a row is delivered only when `accept` takes the value of its column
    // `column`, which is read before any other, so rows no sink needs are
    // not decoded. Called once per table; none delivers every row.
    struct LiveRowTest {
        size_t column = 0;
        std::function<bool(const Value&)> accept;
    };
    std::function<std::optional<LiveRowTest>(const std::string& table)> liveRowTest;
    // When set, receives the byte range [begin, end) in the database file of
    // every cell the tables' b-trees reach in the newest committed state
    // (where the cell will lie once the log is checkpointed into the file),
    // sorted by offset.
    std::vector<std::pair<int64_t, int64_t>>* liveCells = nullptr;
    // When set with liveCells, called as soon as liveCells is complete,
    // before the pages are carved (the ranges do not change after it).
    std::function<void()> onLiveCells;
    // Also deliver deleted records whose overflow chain was reused (its
    // first page became a freelist trunk, or a later record took a page),
    // status "partial": the values wholly kept in the leaf page, then nulls
    // from the first value whose bytes are lost (`lostFrom`). Partial
    // images of a row that is still live are never delivered. Off by
    // default: such records are incomplete.
    bool partial = false;
    // When set, called once the schema is read, before any record is delivered.
    std::function<void(const CarveSummary&)> onSchema;
};

struct CarveSummary {
    bool readable = false;  // a page size and a schema were found
    int64_t pageSize = 0;
    uint32_t pages = 0;
    size_t tables = 0;
    std::vector<std::string> tableNames;  // the tables whose records can be carved
    std::vector<std::vector<std::string>> columnNames;  // their columns, in order
    int64_t walFrames = 0;
    int64_t walCommits = 0;
    int64_t journalPages = 0;
    size_t live = 0;
    size_t deleted = 0;
    size_t earlierVersions = 0;
    uint64_t bytesRead = 0;
};

using CarvedRecordSink = std::function<void(const CarvedRecord&)>;

// Carves the database. Live rows are those of the newest committed state:
// the main file with the log's committed frames laid over it. A carved record
// equal to a live row (same row number and values) is not delivered; one
// with a live row's number and other values is an "earlier version";
// identical images found more than once are delivered once. Memory holds the
// carved records until the end and a few words per page, nothing per live
// row: a carved row number is looked up in the live b-tree.
CarveSummary carveSqliteRecords(const CarveInputs& inputs, const CarveOptions& options, const CarvedRecordSink& sink);

// Carves one page image as a page no longer in use, against one table:
// its cells, its freeblocks (rebuilding their overwritten head) and its
// unallocated space. For tests and fuzzing of the page walk.
std::vector<CarvedRecord> carvePageImage(const SchemaObject& table, const uint8_t* page, int64_t pageSize,
                                         uint32_t pgno);

}  // namespace kestrel::carving
