#include "carve/sqlite_schema.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <unordered_set>

namespace kestrel::carving {

namespace {

uint32_t be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
int64_t be16(const uint8_t* p) { return (int64_t{p[0]} << 8) | p[1]; }

// Payloads larger than this are not believed: SQLite's own default limit on
// a row is 1,000,000,000 bytes.
constexpr uint64_t kMaxPayload = 1000000000ull;

}  // namespace

DatabasePages::DatabasePages(const RawFile* database, int64_t pageSizeBytes, int64_t reservedBytes)
    : file_(database) {
    pageSize = pageSizeBytes;
    usableSize = std::max<int64_t>(pageSizeBytes - reservedBytes, 0);
    if (file_ == nullptr || pageSize <= 0) return;
    const int64_t whole = file_->size() / pageSize;
    const int64_t rest = file_->size() % pageSize;
    filePages_ = static_cast<uint32_t>(std::min<int64_t>(whole + (rest > 0 ? 1 : 0), UINT32_MAX - 1));
    if (rest > 0) {
        tail_.assign(static_cast<size_t>(pageSize), 0);
        file_->copy(whole * pageSize, tail_.data(), static_cast<size_t>(rest));
    }
    pageCount = filePages_;
}

PageView DatabasePages::filePage(uint32_t pgno) const {
    if (pgno == 0 || pgno > filePages_ || file_ == nullptr) return {};
    const int64_t start = int64_t{pgno - 1} * pageSize;
    if (start + pageSize <= file_->size()) return {file_->data() + start, pageSize};
    return {tail_.data(), pageSize};
}

PageView DatabasePages::page(uint32_t pgno) const {
    if (pgno == 0 || pgno > pageCount) return {};
    if (!overlay_.empty()) {
        auto it = overlay_.find(pgno);
        if (it != overlay_.end()) return {it->second, pageSize};
    }
    return filePage(pgno);
}

bool saneBtreeHeader(const PageView& page, uint32_t pgno, int64_t usable) {
    const int64_t h = pageHeaderOffset(pgno);
    if (!page || h + 12 > page.size || usable > page.size || usable < 480) return false;
    const uint8_t type = page.data[h];
    if (type != 0x0D && type != 0x05 && type != 0x02 && type != 0x0A) return false;
    const int64_t headerSize = (type == 0x0D || type == 0x0A) ? 8 : 12;
    const int64_t cells = be16(page.data + h + 3);
    int64_t content = be16(page.data + h + 5);
    if (content == 0) content = 65536;
    const int64_t firstFreeblock = be16(page.data + h + 1);
    if (firstFreeblock != 0 && (firstFreeblock < h + headerSize || firstFreeblock + 4 > usable)) return false;
    return h + headerSize + 2 * cells <= content && content <= usable;
}

int64_t tableLeafLocalSize(uint64_t payloadSize, int64_t usable) {
    const int64_t maxLocal = usable - 35;
    if (payloadSize <= static_cast<uint64_t>(maxLocal)) return static_cast<int64_t>(payloadSize);
    const int64_t minLocal = ((usable - 12) * 32 / 255) - 23;
    const int64_t k = minLocal + static_cast<int64_t>((payloadSize - static_cast<uint64_t>(minLocal)) %
                                                      static_cast<uint64_t>(usable - 4));
    return k <= maxLocal ? k : minLocal;
}

bool parseTableLeafCell(const uint8_t* page, int64_t offset, int64_t limit, int64_t usable, LeafCell& cell) {
    if (offset < 0 || offset >= limit) return false;
    const uint8_t* end = page + limit;
    const uint8_t* p = page + offset;
    uint64_t size = 0;
    int n = readVarint(p, end, size);
    if (n == 0 || size == 0 || size > kMaxPayload) return false;
    uint64_t rowid = 0;
    const int m = readVarint(p + n, end, rowid);
    if (m == 0) return false;
    cell.payloadSize = size;
    cell.rowid = static_cast<int64_t>(rowid);
    cell.payloadOffset = offset + n + m;
    cell.localSize = tableLeafLocalSize(size, usable);
    const bool spills = cell.localSize < static_cast<int64_t>(size);
    cell.cellSize = n + m + cell.localSize + (spills ? 4 : 0);
    if (offset + cell.cellSize > limit) return false;
    cell.overflowPage = spills ? be32(page + cell.payloadOffset + cell.localSize) : 0;
    return !spills || cell.overflowPage != 0;  // a payload that spills names its first overflow page
}

bool assemblePayload(const PageSource& pages, const uint8_t* local, int64_t localSize, uint64_t payloadSize,
                     uint32_t firstOverflow, std::string& out, std::vector<uint32_t>* chain) {
    std::vector<uint32_t> own;
    std::vector<uint32_t>& pagesOfChain = chain != nullptr ? *chain : own;
    out.clear();
    // The chain is proved whole first: a damaged size never reserves much.
    if (!followOverflowChain(pages, localSize, payloadSize, firstOverflow, pagesOfChain)) return false;
    out.reserve(static_cast<size_t>(payloadSize));
    out.assign(reinterpret_cast<const char*>(local), static_cast<size_t>(localSize));
    uint64_t remaining = payloadSize - static_cast<uint64_t>(localSize);
    const auto perPage = static_cast<uint64_t>(pages.usableSize - 4);
    for (uint32_t pgno : pagesOfChain) {
        const auto take = static_cast<size_t>(std::min(remaining, perPage));
        out.append(reinterpret_cast<const char*>(pages.page(pgno).data + 4), take);
        remaining -= take;
    }
    return true;
}

bool followOverflowChain(const PageSource& pages, int64_t localSize, uint64_t payloadSize, uint32_t firstOverflow,
                         std::vector<uint32_t>& chain) {
    chain.clear();
    const int64_t perPage = pages.usableSize - 4;
    if (perPage <= 0 || localSize < 0 || payloadSize < static_cast<uint64_t>(localSize)) return false;
    uint64_t remaining = payloadSize - static_cast<uint64_t>(localSize);
    const uint64_t expected = (remaining + static_cast<uint64_t>(perPage) - 1) / static_cast<uint64_t>(perPage);
    if (expected > pages.pageCount) return false;
    uint32_t next = firstOverflow;
    while (remaining > 0) {
        if (next == 0 || next > pages.pageCount) return false;
        const PageView page = pages.page(next);
        if (!page) return false;
        chain.push_back(next);
        remaining -= std::min<uint64_t>(remaining, static_cast<uint64_t>(perPage));
        next = be32(page.data);
    }
    if (next != 0) return false;
    // A page met twice: the chain runs in a loop. (The walk above ends
    // anyway, as every page takes its share of the payload.)
    if (chain.size() <= 16) {
        for (size_t i = 1; i < chain.size(); ++i)
            if (std::find(chain.begin(), chain.begin() + static_cast<std::ptrdiff_t>(i), chain[i]) !=
                chain.begin() + static_cast<std::ptrdiff_t>(i))
                return false;
        return true;
    }
    std::vector<uint32_t> sorted(chain);
    std::sort(sorted.begin(), sorted.end());
    return std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end();
}

void walkBtree(const PageSource& pages, uint32_t root,
               const std::function<void(uint32_t, const PageView&, uint8_t)>& onPage) {
    if (root == 0 || root > pages.pageCount) return;
    std::vector<bool> seen(static_cast<size_t>(pages.pageCount) + 1, false);
    std::vector<uint32_t> stack{root};
    while (!stack.empty()) {
        const uint32_t pgno = stack.back();
        stack.pop_back();
        if (pgno == 0 || pgno > pages.pageCount || seen[pgno]) continue;
        seen[pgno] = true;
        const PageView page = pages.page(pgno);
        if (!saneBtreeHeader(page, pgno, pages.usableSize)) continue;
        // The page walked next is fetched into the cache while this one is
        // read: a walk over a large table's cells waits on memory otherwise.
        if (!stack.empty() && stack.back() != 0 && stack.back() <= pages.pageCount) {
            const PageView next = pages.page(stack.back());
            for (int64_t at = 0; next && at < next.size; at += 64) __builtin_prefetch(next.data + at);
        }
        const int64_t h = pageHeaderOffset(pgno);
        const uint8_t type = page.data[h];
        onPage(pgno, page, type);
        if (type != 0x05 && type != 0x02) continue;
        const int64_t cells = be16(page.data + h + 3);
        // Children pushed in reverse so the leftmost is walked first.
        stack.push_back(be32(page.data + h + 8));
        for (int64_t i = cells - 1; i >= 0; --i) {
            const int64_t ptr = be16(page.data + h + 12 + 2 * i);
            if (ptr + 4 > pages.usableSize) continue;
            stack.push_back(be32(page.data + ptr));
        }
    }
}

bool findTableRow(const PageSource& pages, uint32_t root, int64_t rowid, LeafCell& cell, PageView& leaf) {
    uint32_t pgno = root;
    for (int depth = 0; depth < 40; ++depth) {
        if (pgno == 0 || pgno > pages.pageCount) return false;
        const PageView page = pages.page(pgno);
        if (!saneBtreeHeader(page, pgno, pages.usableSize)) return false;
        const int64_t h = pageHeaderOffset(pgno);
        const uint8_t type = page.data[h];
        const int64_t cells = be16(page.data + h + 3);
        if (type == 0x0D) {
            int64_t lo = 0, hi = cells - 1;
            while (lo <= hi) {
                const int64_t mid = (lo + hi) / 2;
                const int64_t ptr = be16(page.data + h + 8 + 2 * mid);
                LeafCell c;
                if (!parseTableLeafCell(page.data, ptr, pages.usableSize, pages.usableSize, c)) return false;
                if (c.rowid == rowid) {
                    cell = c;
                    leaf = page;
                    return true;
                }
                if (c.rowid < rowid) lo = mid + 1;
                else hi = mid - 1;
            }
            return false;
        }
        if (type != 0x05) return false;
        // The first cell whose key is >= rowid leads to the subtree that holds it.
        int64_t lo = 0, hi = cells - 1, found = cells;
        while (lo <= hi) {
            const int64_t mid = (lo + hi) / 2;
            const int64_t ptr = be16(page.data + h + 12 + 2 * mid);
            if (ptr + 5 > pages.usableSize) return false;
            uint64_t key = 0;
            if (readVarint(page.data + ptr + 4, page.data + pages.usableSize, key) == 0) return false;
            if (static_cast<int64_t>(key) >= rowid) {
                found = mid;
                hi = mid - 1;
            } else {
                lo = mid + 1;
            }
        }
        if (found == cells) {
            pgno = be32(page.data + h + 8);
        } else {
            pgno = be32(page.data + be16(page.data + h + 12 + 2 * found));
        }
    }
    return false;
}

Affinity affinityOf(const std::string& declaredType) {
    std::string t;
    for (char c : declaredType) t.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    if (t.find("INT") != std::string::npos) return Affinity::Integer;
    if (t.find("CHAR") != std::string::npos || t.find("CLOB") != std::string::npos ||
        t.find("TEXT") != std::string::npos)
        return Affinity::Text;
    if (t.find("BLOB") != std::string::npos || t.empty()) return Affinity::Blob;
    if (t.find("REAL") != std::string::npos || t.find("FLOA") != std::string::npos ||
        t.find("DOUB") != std::string::npos)
        return Affinity::Real;
    return Affinity::Numeric;
}

namespace {

// Tokens of a CREATE statement: words, quoted names (unquoted), single
// characters for punctuation; string literals and comments dropped.
struct Token {
    std::string text;
    bool quoted = false;
    char punct = 0;
};

std::vector<Token> tokenize(const std::string& sql) {
    std::vector<Token> out;
    size_t i = 0;
    const size_t n = sql.size();
    while (i < n) {
        const char c = sql[i];
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
        } else if (c == '-' && i + 1 < n && sql[i + 1] == '-') {
            while (i < n && sql[i] != '\n') ++i;
        } else if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
            const size_t e = sql.find("*/", i + 2);
            i = e == std::string::npos ? n : e + 2;
        } else if (c == '"' || c == '`' || c == '[' || c == '\'') {
            const char close = c == '[' ? ']' : c;
            Token t;
            t.quoted = true;
            ++i;
            while (i < n) {
                if (sql[i] == close) {
                    if (close != ']' && i + 1 < n && sql[i + 1] == close) {
                        t.text.push_back(close);
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                t.text.push_back(sql[i++]);
            }
            if (c == '\'') t.punct = '\'';  // a string literal
            out.push_back(std::move(t));
        } else if (std::isalnum(static_cast<unsigned char>(c)) || c == '_' || static_cast<unsigned char>(c) >= 0x80) {
            Token t;
            while (i < n && (std::isalnum(static_cast<unsigned char>(sql[i])) || sql[i] == '_' || sql[i] == '$' ||
                             static_cast<unsigned char>(sql[i]) >= 0x80))
                t.text.push_back(sql[i++]);
            out.push_back(std::move(t));
        } else {
            Token t;
            t.punct = c;
            t.text = std::string(1, c);
            out.push_back(std::move(t));
            ++i;
        }
    }
    return out;
}

std::string upper(const std::string& s) {
    std::string u;
    for (char c : s) u.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    return u;
}

bool isWord(const Token& t, const char* word) { return !t.quoted && t.punct == 0 && upper(t.text) == word; }

bool startsConstraint(const Token& t) {
    static const char* kWords[] = {"CONSTRAINT", "PRIMARY", "NOT",  "NULL",       "UNIQUE",    "CHECK",
                                   "DEFAULT",    "COLLATE", "REFERENCES", "GENERATED", "AS"};
    if (t.quoted || t.punct != 0) return false;
    for (const char* w : kWords)
        if (upper(t.text) == w) return true;
    return false;
}

}  // namespace

std::vector<Column> parseCreateTable(const std::string& sql, bool& withoutRowid) {
    withoutRowid = false;
    const std::vector<Token> tokens = tokenize(sql);
    size_t i = 0;
    while (i < tokens.size() && tokens[i].punct != '(') {
        if (isWord(tokens[i], "AS")) return {};  // CREATE TABLE ... AS SELECT: no column list
        ++i;
    }
    if (i >= tokens.size() || i < 2 || !isWord(tokens[0], "CREATE")) return {};
    ++i;
    // Split the definitions at top-level commas.
    std::vector<std::vector<Token>> defs(1);
    int depth = 0;
    for (; i < tokens.size(); ++i) {
        const Token& t = tokens[i];
        if (t.punct == '(') ++depth;
        if (t.punct == ')') {
            if (depth == 0) break;
            --depth;
        }
        if (depth == 0 && t.punct == ',') {
            defs.emplace_back();
            continue;
        }
        defs.back().push_back(t);
    }
    if (i >= tokens.size()) return {};
    for (size_t k = i + 1; k + 1 < tokens.size(); ++k)
        if (isWord(tokens[k], "WITHOUT") && isWord(tokens[k + 1], "ROWID")) withoutRowid = true;

    std::vector<Column> columns;
    std::vector<std::string> tablePrimaryKey;
    for (const auto& def : defs) {
        if (def.empty()) continue;
        const Token& first = def[0];
        if (isWord(first, "CONSTRAINT") || isWord(first, "PRIMARY") || isWord(first, "UNIQUE") ||
            isWord(first, "CHECK") || isWord(first, "FOREIGN")) {
            size_t k = 0;
            while (k < def.size() && !isWord(def[k], "PRIMARY")) ++k;
            if (k + 2 < def.size() && isWord(def[k + 1], "KEY") && def[k + 2].punct == '(') {
                for (size_t j = k + 3; j < def.size() && def[j].punct != ')'; ++j) {
                    if (def[j].punct == 0 && !isWord(def[j], "ASC") && !isWord(def[j], "DESC") &&
                        !isWord(def[j], "COLLATE"))
                        tablePrimaryKey.push_back(def[j].text);
                }
            }
            continue;
        }
        if (first.punct != 0 && first.punct != '\'') return {};
        Column col;
        col.name = first.text;
        size_t k = 1;
        // The declared type: words (and a parenthesised size) up to a constraint.
        while (k < def.size() && !startsConstraint(def[k])) {
            if (def[k].punct == '(') {
                int d = 0;
                for (; k < def.size(); ++k) {
                    col.declaredType += def[k].text;
                    if (def[k].punct == '(') ++d;
                    if (def[k].punct == ')' && --d == 0) break;
                }
                ++k;
                continue;
            }
            if (!col.declaredType.empty()) col.declaredType += ' ';
            col.declaredType += def[k].text;
            ++k;
        }
        bool primaryKey = false;
        bool descending = false;
        for (size_t j = k; j + 1 < def.size(); ++j) {
            if (isWord(def[j], "PRIMARY") && isWord(def[j + 1], "KEY")) {
                primaryKey = true;
                if (j + 2 < def.size() && isWord(def[j + 2], "DESC")) descending = true;
            }
        }
        col.affinity = affinityOf(col.declaredType);
        col.integerPrimaryKey = primaryKey && !descending && upper(col.declaredType) == "INTEGER";
        columns.push_back(std::move(col));
    }
    if (tablePrimaryKey.size() == 1) {
        for (Column& col : columns)
            if (upper(col.name) == upper(tablePrimaryKey[0]) && upper(col.declaredType) == "INTEGER")
                col.integerPrimaryKey = true;
    }
    return columns;
}

namespace {

void markPointerMapPages(Schema& schema, const PageView& first, int64_t usable, uint32_t pageCount) {
    if (!first || first.size < 100) return;
    const uint32_t largestRoot = be32(first.data + 52);
    if (largestRoot == 0 || usable < 5) return;
    const uint32_t step = static_cast<uint32_t>(usable / 5) + 1;
    for (uint64_t p = 2; p <= pageCount; p += step) schema.owner[p] = Schema::kPointerMap;
}

void markFreelist(Schema& schema, const DatabasePages& pages, uint32_t firstTrunk) {
    uint32_t trunk = firstTrunk;
    std::vector<bool> seen(static_cast<size_t>(pages.pageCount) + 1, false);
    while (trunk != 0 && trunk <= pages.pageCount && !seen[trunk]) {
        seen[trunk] = true;
        schema.owner[trunk] = Schema::kFreelist;
        const PageView page = pages.page(trunk);
        if (!page) break;
        const uint32_t count = be32(page.data + 4);
        const int64_t fits = (pages.usableSize - 8) / 4;
        for (int64_t i = 0; i < std::min<int64_t>(count, fits); ++i) {
            const uint32_t leaf = be32(page.data + 8 + 4 * i);
            if (leaf != 0 && leaf <= pages.pageCount && schema.owner[leaf] == Schema::kUnowned)
                schema.owner[leaf] = Schema::kFreelist;
        }
        trunk = be32(page.data);
    }
}


// Reads the sqlite_master records of one table leaf page into the schema.
// With `strict`, a record is taken only when it looks like a schema row
// beyond doubt (a known object type, a root page inside the file, a
// statement that begins with CREATE), since the page is not known to belong
// to the schema table.
void readSchemaLeaf(const DatabasePages& pages, uint32_t pgno, const PageView& page, bool strict, Schema& schema,
                    std::string& payload) {
    RecordHeader record;
    std::vector<Value> values;
    const int64_t h = pageHeaderOffset(pgno);
    const int64_t cells = be16(page.data + h + 3);
    for (int64_t i = 0; i < cells; ++i) {
        const int64_t ptr = be16(page.data + h + 8 + 2 * i);
        LeafCell cell;
        if (!parseTableLeafCell(page.data, ptr, pages.usableSize, pages.usableSize, cell)) continue;
        std::vector<uint32_t> chain;
        if (!assemblePayload(pages, page.data + cell.payloadOffset, cell.localSize, cell.payloadSize,
                             cell.overflowPage, payload, &chain))
            continue;
        const auto* p = reinterpret_cast<const uint8_t*>(payload.data());
        if (!parseRecordHeader(p, p + payload.size(), 5, record) || record.types.size() != 5) continue;
        if (record.headerSize + record.bodySize != payload.size()) continue;
        decodeValues(record.types, p + record.headerSize, values);
        if (values[0].kind != ValueKind::Text || values[1].kind != ValueKind::Text) continue;
        SchemaObject object;
        object.type = values[0].bytes;
        object.name = values[1].bytes;
        if (values[2].kind == ValueKind::Text) object.tableName = values[2].bytes;
        if (values[3].kind == ValueKind::Integer && values[3].integer > 0 && values[3].integer <= UINT32_MAX)
            object.rootPage = static_cast<uint32_t>(values[3].integer);
        if (values[4].kind == ValueKind::Text) object.sql = values[4].bytes;
        if (strict) {
            const bool knownType = object.type == "table" || object.type == "index" || object.type == "view" ||
                                   object.type == "trigger";
            std::string head = object.sql.substr(0, 6);
            for (char& ch : head) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
            if (!knownType || head != "CREATE" || object.rootPage > pages.pageCount) continue;
            if (std::any_of(schema.objects.begin(), schema.objects.end(),
                            [&](const SchemaObject& o) { return o.name == object.name; }))
                continue;
        }
        for (uint32_t o : chain) schema.owner[o] = Schema::kSchemaTable;
        if (object.type == "table" && !object.sql.empty()) {
            object.columns = parseCreateTable(object.sql, object.withoutRowid);
            for (size_t c = 0; c < object.columns.size(); ++c)
                if (object.columns[c].integerPrimaryKey) object.ipkColumn = static_cast<int>(c);
        }
        schema.objects.push_back(std::move(object));
    }
}

}  // namespace

Schema readSchema(const DatabasePages& pages) {
    Schema schema;
    schema.owner.assign(static_cast<size_t>(pages.pageCount) + 1, Schema::kUnowned);
    if (pages.pageCount == 0) return schema;
    std::string payload;
    walkBtree(pages, 1, [&](uint32_t pgno, const PageView& page, uint8_t type) {
        schema.owner[pgno] = Schema::kSchemaTable;
        if (type == 0x0D) readSchemaLeaf(pages, pgno, page, false, schema, payload);
    });
    // Page 1 damaged: the schema table's other leaf pages (a schema of more
    // than one page keeps most of its rows there) still hold its records.
    if (schema.objects.empty()) {
        for (uint32_t pgno = 2; pgno <= pages.pageCount; ++pgno) {
            const PageView page = pages.page(pgno);
            if (!saneBtreeHeader(page, pgno, pages.usableSize) || page.data[0] != 0x0D) continue;
            const size_t before = schema.objects.size();
            readSchemaLeaf(pages, pgno, page, true, schema, payload);
            if (schema.objects.size() > before) schema.owner[pgno] = Schema::kSchemaTable;
        }
    }
    for (size_t k = 0; k < schema.objects.size(); ++k) {
        const SchemaObject& object = schema.objects[k];
        if (object.rootPage == 0) continue;
        walkBtree(pages, object.rootPage, [&](uint32_t pgno, const PageView&, uint8_t) {
            if (schema.owner[pgno] == Schema::kUnowned) schema.owner[pgno] = static_cast<int32_t>(k);
        });
    }
    const PageView first = pages.page(1);
    if (first && first.size >= 100) markFreelist(schema, pages, be32(first.data + 32));
    markPointerMapPages(schema, first, pages.usableSize, pages.pageCount);
    return schema;
}

}  // namespace kestrel::carving
