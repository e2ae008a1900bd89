// A database's pages as the raw reader sees them, its b-trees, and its
// schema read from its own sqlite_master records: each table's columns with
// their declared types and INTEGER PRIMARY KEY, and which pages belong to
// which table or index. Nothing here uses SQLite; damaged files yield what
// survives.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "carve/record_format.h"
#include "carve/sqlite_raw.h"

namespace kestrel::carving {

// One page image: `size` bytes (the page size), or none.
struct PageView {
    const uint8_t* data = nullptr;
    int64_t size = 0;
    explicit operator bool() const { return data != nullptr; }
};

// Where page images come from, by page number (1-based).
class PageSource {
public:
    virtual ~PageSource() = default;
    virtual PageView page(uint32_t pgno) const = 0;
    int64_t pageSize = 0;
    int64_t usableSize = 0;  // page size less the reserved bytes at each page's end
    uint32_t pageCount = 0;
};

// The pages of a database file, with later page images (from a write-ahead
// log's committed frames) laid over them. A last page cut short by the end
// of the file reads as zeros beyond the end.
class DatabasePages final : public PageSource {
public:
    DatabasePages(const RawFile* database, int64_t pageSizeBytes, int64_t reservedBytes);
    void overlay(uint32_t pgno, const uint8_t* image) { overlay_[pgno] = image; }
    bool overlaid(uint32_t pgno) const { return overlay_.count(pgno) != 0; }
    PageView page(uint32_t pgno) const override;
    // The main file's own image of a page, ignoring the overlay.
    PageView filePage(uint32_t pgno) const;
    uint32_t filePageCount() const { return filePages_; }
    // How many overlaid pages lie beyond the end of the file: with the file's
    // pages, the most pages a state read from a log or journal can hold.
    uint32_t overlaidBeyondFile() const {
        uint32_t n = 0;
        for (const auto& entry : overlay_) n += entry.first > filePages_ ? 1U : 0U;
        return n;
    }

private:
    const RawFile* file_;
    uint32_t filePages_ = 0;
    std::vector<uint8_t> tail_;  // the last, partial page, padded with zeros
    std::unordered_map<uint32_t, const uint8_t*> overlay_;
};

// The offset of the b-tree page header in a page image: 100 on page 1.
inline int64_t pageHeaderOffset(uint32_t pgno) { return pgno == 1 ? 100 : 0; }

// Whether a page image holds a sane b-tree header of the given type byte:
// the cell pointer array fits before the content area, which lies inside
// the usable part of the page.
bool saneBtreeHeader(const PageView& page, uint32_t pgno, int64_t usable);

// A table b-tree leaf cell: payload size, row number, where the payload's
// local part lies in the page, the first overflow page (0 when none) and the
// cell's full length in the page.
struct LeafCell {
    uint64_t payloadSize = 0;
    int64_t rowid = 0;
    int64_t payloadOffset = 0;
    int64_t localSize = 0;
    uint32_t overflowPage = 0;
    int64_t cellSize = 0;
};

// How much of a table leaf payload of size P stays in the page.
int64_t tableLeafLocalSize(uint64_t payloadSize, int64_t usable);

// Parses the table leaf cell at `offset` of a page image, keeping every byte
// inside [offset, limit). False when it does not fit.
bool parseTableLeafCell(const uint8_t* page, int64_t offset, int64_t limit, int64_t usable, LeafCell& cell);

// Collects a payload: the local part, then the overflow chain from
// `firstOverflow` through `pages`. False when the chain breaks: a page
// number out of range, a page seen twice, a missing page, or a last page
// whose next-page pointer is not 0.
bool assemblePayload(const PageSource& pages, const uint8_t* local, int64_t localSize, uint64_t payloadSize,
                     uint32_t firstOverflow, std::string& out, std::vector<uint32_t>* chain = nullptr);

// The pages of the overflow chain assemblePayload would follow, without
// copying the payload: true exactly when assemblePayload would succeed.
bool followOverflowChain(const PageSource& pages, int64_t localSize, uint64_t payloadSize, uint32_t firstOverflow,
                         std::vector<uint32_t>& chain);

// Walks the b-tree rooted at `root` depth first, calling `onPage` for every
// page reached (each page at most once, so a damaged tree cannot loop).
void walkBtree(const PageSource& pages, uint32_t root,
               const std::function<void(uint32_t pgno, const PageView& page, uint8_t type)>& onPage);

// Finds the row of a table b-tree by its row number; false when absent.
bool findTableRow(const PageSource& pages, uint32_t root, int64_t rowid, LeafCell& cell, PageView& leaf);

enum class Affinity : uint8_t { Integer, Text, Blob, Real, Numeric };
Affinity affinityOf(const std::string& declaredType);

struct Column {
    std::string name;
    std::string declaredType;
    Affinity affinity = Affinity::Blob;
    bool integerPrimaryKey = false;
};

struct SchemaObject {
    std::string type;  // "table" or "index"
    std::string name;
    std::string tableName;
    uint32_t rootPage = 0;
    std::string sql;
    std::vector<Column> columns;  // tables only
    bool withoutRowid = false;
    int ipkColumn = -1;  // the INTEGER PRIMARY KEY column, -1 when none
    // A rowid table whose records this carver can match.
    bool carvable() const { return type == "table" && !withoutRowid && rootPage > 0 && !columns.empty(); }
};

// Columns of a CREATE TABLE statement; empty when it cannot be read.
std::vector<Column> parseCreateTable(const std::string& sql, bool& withoutRowid);

struct Schema {
    std::vector<SchemaObject> objects;
    // Index into `objects` of the b-tree each page belongs to, or one of the
    // codes below; one entry per page, index 0 unused.
    static constexpr int32_t kUnowned = -1;
    static constexpr int32_t kFreelist = -2;
    static constexpr int32_t kOverflow = -3;
    static constexpr int32_t kPointerMap = -4;
    static constexpr int32_t kSchemaTable = -5;
    std::vector<int32_t> owner;
};

// Reads the schema from the sqlite_master b-tree (page 1) and marks the pages
// of every b-tree, the freelist and the pointer-map pages. Overflow pages of
// table rows are marked by the caller's own walk of the tables.
Schema readSchema(const DatabasePages& pages);

}  // namespace kestrel::carving
