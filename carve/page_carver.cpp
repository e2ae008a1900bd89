#include "carve/page_carver.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <memory>
#include <span>
#include <unordered_map>
#include <unordered_set>

#include "app/working_folder.h"
#include "carve/key_set.h"
#include "carve/wal_journal.h"
#include "extract/conversions.h"

namespace kestrel::carving {

namespace {

int64_t be16(const uint8_t* p) { return (int64_t{p[0]} << 8) | p[1]; }

enum class FileKind : uint8_t { Database, Wal, Journal };
enum class Area : uint8_t { LiveCell, Freeblock, Unallocated, FreePage, UnreachedPage, WalFrame, JournalPage };

const char* areaName(Area a) {
    switch (a) {
        case Area::LiveCell: return "live cell";
        case Area::Freeblock: return "freeblock";
        case Area::Unallocated: return "unallocated";
        case Area::FreePage: return "free page";
        case Area::UnreachedPage: return "unreached page";
        case Area::WalFrame: return "WAL frame";
        case Area::JournalPage: return "journal page";
    }
    return "";
}

struct Candidate {
    int table = -1;
    std::optional<int64_t> rowid;
    std::vector<uint64_t> types;
    std::vector<Value> values;  // as stored (an INTEGER PRIMARY KEY column is null)
    // A kept candidate holds its record compactly until it is delivered:
    // its serial types as varints (`packedTypes`, `packedSize` bytes), then
    // its body, in the carver's byte store; decoded into `values` again when
    // listed.
    const uint8_t* packedTypes = nullptr;
    uint32_t packedSize = 0;
    uint32_t typeCount = 0;
    uint32_t storeBlock = 0;  // the block of the store its bytes lie in
    bool rowIsLive = false;  // its row number is a live row's (whose image it is not)
    std::optional<size_t> lostFrom;  // a partial record
    uint64_t hash = 0;
    FileKind file = FileKind::Database;
    Area area = Area::LiveCell;
    uint32_t page = 0;
    int64_t offset = 0;
    std::optional<int64_t> frame, commit;
};

// Whether a serial type can be stored in a column: numbers in numeric
// columns, text or blob in text columns, anything in an untyped column.
bool fits(uint64_t type, const Column& column) {
    if (column.integerPrimaryKey) return type == 0;
    switch (column.affinity) {
        case Affinity::Integer:
        case Affinity::Real:
        case Affinity::Numeric: return type <= 9;
        case Affinity::Text: return type == 0 || type >= 12;
        case Affinity::Blob: return true;
    }
    return false;
}

// The main file alone, ignoring the log.
class FileOnlyPages final : public PageSource {
public:
    explicit FileOnlyPages(const DatabasePages& pages) : pages_(pages) {
        pageSize = pages.pageSize;
        usableSize = pages.usableSize;
        pageCount = pages.filePageCount();
    }
    PageView page(uint32_t pgno) const override { return pages_.filePage(pgno); }

private:
    const DatabasePages& pages_;
};

// Page images as of one log frame: the newest frame at or before it for each
// page, else the main file. Used to follow overflow chains of older images.
class FramePages final : public PageSource {
public:
    FramePages(const DatabasePages& pages, const std::unordered_map<uint32_t, std::vector<std::pair<int64_t, const uint8_t*>>>& frames)
        : pages_(pages), frames_(frames) {
        pageSize = pages.pageSize;
        usableSize = pages.usableSize;
        pageCount = std::max<uint32_t>(pages.filePageCount(), pages.pageCount);
    }
    int64_t asOf = 0;
    PageView page(uint32_t pgno) const override {
        auto it = frames_.find(pgno);
        if (it != frames_.end()) {
            const uint8_t* best = nullptr;
            for (const auto& [index, data] : it->second)
                if (index <= asOf) best = data;
            if (best != nullptr) return {best, pageSize};
        }
        return pages_.filePage(pgno);
    }

private:
    const DatabasePages& pages_;
    const std::unordered_map<uint32_t, std::vector<std::pair<int64_t, const uint8_t*>>>& frames_;
};

// Journal page images first, then the main file.
class JournalPages final : public PageSource {
public:
    explicit JournalPages(const DatabasePages& pages) : pages_(pages) {
        pageSize = pages.pageSize;
        usableSize = pages.usableSize;
        pageCount = pages.filePageCount();
    }
    std::unordered_map<uint32_t, const uint8_t*> images;
    PageView page(uint32_t pgno) const override {
        auto it = images.find(pgno);
        if (it != images.end()) return {it->second, pageSize};
        return pages_.filePage(pgno);
    }

private:
    const DatabasePages& pages_;
};

// Where a page image came from, for the provenance of what is carved in it.
struct ImageContext {
    const PageSource* overflow = nullptr;
    FileKind file = FileKind::Database;
    Area pageArea = Area::LiveCell;  // the area for every record of a free, unreached, log or journal image
    bool perLocationArea = true;     // main-file b-tree pages: live cell / freeblock / unallocated
    int64_t fileOffset = 0;          // where the image starts in its file
    uint32_t pgno = 0;
    std::optional<int64_t> frame, commit;
    bool live = false;  // the image is a page of the newest state: its cells are live rows
    int hint = -1;      // the table the page belongs to, when known
};

// Whether each text value of a record (serial types `types`, body at
// `body`) is valid UTF-8.
bool textsAreUtf8(const std::vector<uint64_t>& types, const uint8_t* body) {
    size_t at = 0;
    for (uint64_t t : types) {
        const auto length = static_cast<size_t>(serialTypeLength(t));
        if (t >= 13 && t % 2 == 1 && !isValidUtf8(std::string_view(reinterpret_cast<const char*>(body + at), length)))
            return false;
        at += length;
    }
    return true;
}

// Bytes that the kept candidates hold until they are delivered, taken from
// large blocks: one allocation per block rather than one per candidate.
// Candidates are delivered in the order they were kept, so a block is given
// back once the candidates after it hold only later blocks.
class ByteStore {
public:
    struct Taken {
        uint8_t* at;
        uint32_t block;  // the block it lies in: blocks are numbered in the order they are made
    };
    Taken take(size_t n) {
        if (n > kBlock / 8) {
            // A large one is a block of its own, between the others.
            blocks_.push_back(std::make_unique_for_overwrite<uint8_t[]>(n));
            left_ = 0;
            return {blocks_.back().get(), static_cast<uint32_t>(blocks_.size() - 1)};
        }
        if (left_ < n) {
            blocks_.push_back(std::make_unique_for_overwrite<uint8_t[]>(kBlock));
            next_ = blocks_.back().get();
            left_ = kBlock;
        }
        uint8_t* at = next_;
        next_ += n;
        left_ -= n;
        return {at, static_cast<uint32_t>(blocks_.size() - 1)};
    }
    // Gives back every block before `block`.
    void releaseBefore(uint32_t block) {
        for (; released_ < block && released_ < blocks_.size(); ++released_) blocks_[released_].reset();
    }

private:
    static constexpr size_t kBlock = size_t{256} << 10;
    std::vector<std::unique_ptr<uint8_t[]>> blocks_;
    size_t released_ = 0;
    uint8_t* next_ = nullptr;
    size_t left_ = 0;
};

// Keeps a candidate's record as its serial types (varints) and body, in
// place of its decoded values: a tenth of the memory for a wide table. The
// bytes go into the store side by side with those of the candidates kept
// before, and are read back in the same order when listed (faster than
// reading them again from the file's pages, scattered by then).
void packImage(Candidate& c, const uint8_t* body, uint64_t bodySize, ByteStore& store) {
    uint8_t packed[10 * 64];
    std::unique_ptr<uint8_t[]> wide;
    uint8_t* out = packed;
    if (c.types.size() * 10 > sizeof packed) {
        wide = std::make_unique_for_overwrite<uint8_t[]>(c.types.size() * 10);
        out = wide.get();
    }
    size_t length = 0;
    for (uint64_t t : c.types) {
        uint8_t groups[10];
        int n = 0;
        do {
            groups[n++] = static_cast<uint8_t>(t & 0x7f);
            t >>= 7;
        } while (t != 0 && n < 9);
        for (int i = n - 1; i >= 0; --i) out[length++] = static_cast<uint8_t>(groups[i] | (i > 0 ? 0x80 : 0));
    }
    // The types and the body in one piece, so in one block.
    const ByteStore::Taken kept = store.take(length + static_cast<size_t>(bodySize));
    std::memcpy(kept.at, out, length);
    if (bodySize > 0) std::memcpy(kept.at + length, body, static_cast<size_t>(bodySize));
    c.packedTypes = kept.at;
    c.packedSize = static_cast<uint32_t>(length);
    c.storeBlock = kept.block;
    c.typeCount = static_cast<uint32_t>(c.types.size());
    std::vector<uint64_t>().swap(c.types);  // (assigning {} would keep the capacity)
    std::vector<Value>().swap(c.values);
}

// The values of a packed candidate.
void unpackImage(Candidate& c) {
    if (c.typeCount == 0) return;
    const uint8_t* p = c.packedTypes;
    const uint8_t* end = p + c.packedSize;
    std::vector<uint64_t> types;
    types.reserve(c.typeCount);
    for (uint32_t i = 0; i < c.typeCount; ++i) {
        uint64_t t = 0;
        const int n = readVarint(p, end, t);
        if (n == 0) return;
        p += n;
        types.push_back(t);
    }
    decodeValues(types, c.packedTypes + c.packedSize, c.values);
    c.packedTypes = nullptr;
    c.typeCount = 0;
}

// The trunk pages of a freelist, from the first trunk named in page 1.
void addTrunks(const PageSource& source, std::unordered_set<uint32_t>& out) {
    const PageView first = source.page(1);
    if (!first || first.size < 100) return;
    uint32_t trunk = (uint32_t{first.data[32]} << 24) | (uint32_t{first.data[33]} << 16) |
                     (uint32_t{first.data[34]} << 8) | first.data[35];
    for (uint32_t guard = 0; trunk != 0 && trunk <= source.pageCount && guard < source.pageCount; ++guard) {
        if (!out.insert(trunk).second) break;
        const PageView page = source.page(trunk);
        if (!page) break;
        trunk = (uint32_t{page.data[0]} << 24) | (uint32_t{page.data[1]} << 16) | (uint32_t{page.data[2]} << 8) |
                page.data[3];
    }
}

// A candidate's image (its table and stored record) and its row number:
// candidates with the same identity are listed once.
uint64_t imageKeyOf(int table, uint64_t hash) { return hash ^ (uint64_t(table + 1) * 0x9E3779B97F4A7C15ull); }
uint64_t imageKey(const Candidate& c) { return imageKeyOf(c.table, c.hash); }
uint64_t identityOf(const Candidate& c) {
    return imageKey(c) ^ (c.rowid ? static_cast<uint64_t>(*c.rowid) * 0xC2B2AE3D27D4EB4Full + 1 : 0);
}

// A record's serial types and the first and last bytes of its body, salted
// by its table: only live rows with the sample of a kept candidate can be
// its image, so only they are hashed whole.
uint64_t sampleKey(int table, const std::vector<uint64_t>& types, const uint8_t* body, uint64_t bodySize) {
    RecordHash h;
    h.addTypes(types);
    const size_t edge = static_cast<size_t>(std::min<uint64_t>(bodySize, 16));
    h.addBytes(body, edge);
    h.addBytes(body + bodySize - edge, edge);
    return h.value() ^ (uint64_t(table + 1) * 0xD6E8FEB86659FD93ull);
}

// The record header of a live cell, parsed from the leaf's own bytes when it
// lies there (it does for any table of fewer than some hundred columns),
// else from the assembled payload. `whole` is then the payload's start when
// it was assembled or needs no chain, else null. False when the record does
// not parse or its length does not add up.
bool liveRecordHeader(const PageSource& pages, const SchemaObject& table, const PageView& leaf, const LeafCell& cell,
                      bool assemble, std::string& scratch, RecordHeader& header, const uint8_t*& whole) {
    const uint8_t* p = leaf.data + cell.payloadOffset;
    whole = cell.overflowPage == 0 ? p : nullptr;
    const int64_t local = cell.overflowPage == 0 ? static_cast<int64_t>(cell.payloadSize) : cell.localSize;
    bool parsed = parseRecordHeader(p, p + local, table.columns.size() + 1, header, cell.payloadSize);
    if (cell.overflowPage != 0 && (assemble || !parsed)) {
        if (!assemblePayload(pages, p, cell.localSize, cell.payloadSize, cell.overflowPage, scratch)) return false;
        whole = reinterpret_cast<const uint8_t*>(scratch.data());
        parsed = parseRecordHeader(whole, whole + cell.payloadSize, table.columns.size() + 1, header);
    }
    return parsed && header.headerSize + header.bodySize == cell.payloadSize;
}

// The last eight bytes of a record, salted by its table.
uint64_t tailKey(int table, const uint8_t* lastEight) {
    uint64_t w = 0;
    std::memcpy(&w, lastEight, 8);
    return w ^ (uint64_t(table + 1) * 0xA24BAED4963EE407ull);
}

// The hash of a live cell's record, as hashStoredRecord gives it for a
// carved one; none when it does not parse or its chain is broken.
std::optional<uint64_t> liveRecordHash(const PageSource& pages, const SchemaObject& table, const PageView& leaf,
                                       const LeafCell& cell, std::string& scratch, RecordHeader& header) {
    const uint8_t* whole = nullptr;
    if (!liveRecordHeader(pages, table, leaf, cell, true, scratch, header, whole)) return std::nullopt;
    return hashStoredRecord(header.types, whole + header.headerSize, header.bodySize);
}

class Carver {
public:
    Carver(std::vector<SchemaObject> tables, int64_t usable) : tables_(std::move(tables)), usable_(usable) {
        for (size_t i = 0; i < tables_.size(); ++i)
            if (tables_[i].carvable()) carvable_.push_back(static_cast<int>(i));
    }

    // One allocation each: a vector of the candidates themselves would copy
    // them all each time it grows.
    std::vector<std::unique_ptr<Candidate>> candidates;
    bool partial = false;  // also take records whose overflow chain is lost
    const std::unordered_set<uint32_t>* trunkPages = nullptr;  // freelist trunk pages of the file and of its newest state
    // The newest committed state. A candidate that still holds its row
    // number is looked up in its table's b-tree there, and not kept when it
    // is that live row's image: memory holds only what can be listed,
    // without anything kept per live row.
    const PageSource* newest = nullptr;
    // sampleKey of every kept candidate without a row number, and the tables
    // they belong to: the end's search for images of live rows hashes only
    // live rows of these tables with these samples.
    KeySet rowlessSamples;
    std::vector<bool> tablesWithRowless;
    // The last eight bytes of each such candidate's body, salted by table,
    // and the tables with a candidate whose body is shorter: a live row
    // whose payload ends otherwise cannot be such an image, and is passed
    // over without its header being read.
    KeySet rowlessTails;
    std::vector<bool> tablesWithShortRowless;
    std::string onlyTable;
    bool utf8 = true;  // the database's text encoding is UTF-8

    const std::vector<SchemaObject>& tables() const { return tables_; }

    void carveImage(const PageView& page, const ImageContext& context) {
        ctx_ = &context;
        page_ = page.data;
        pageSize_ = page.size;
        const int64_t usable = std::min(usable_, page.size);
        const int64_t h = pageHeaderOffset(context.pgno);
        const bool sane = saneBtreeHeader(page, context.pgno, usable);
        const uint8_t type = page.data[std::min<int64_t>(h, page.size - 1)];
        if (sane && type == 0x0D) {
            const int64_t cells = be16(page.data + h + 3);
            int64_t content = be16(page.data + h + 5);
            if (content == 0) content = 65536;
            hint_ = context.hint;
            if (!context.live) {
                const int majority = majorityTable(h, cells, usable);
                if (majority >= 0) hint_ = majority;
            }
            if (context.live && hint_ < 0) return;  // a live page of no table this carver matches
            if (!context.live) {
                for (int64_t i = 0; i < cells; ++i)
                    intactCell(be16(page.data + h + 8 + 2 * i), usable, Area::LiveCell, hint_, nullptr);
            }
            // Freeblocks, in offset order; the chain is followed only forwards.
            int64_t fb = be16(page.data + h + 1);
            int64_t guard = 0;
            while (fb != 0 && fb + 4 <= usable && guard++ < usable / 4) {
                const int64_t next = be16(page.data + fb);
                const int64_t size = be16(page.data + fb + 2);
                if (size < 4 || fb + size > usable) break;
                area_ = Area::Freeblock;
                freeblock(fb, size);
                if (next != 0 && next <= fb + size - 1) break;
                fb = next;
            }
            const int64_t gapStart = h + 8 + 2 * cells;
            scanRegion(gapStart, std::min(content, usable), Area::Unallocated, hint_);
            return;
        }
        if (sane && type == 0x05) {
            // A leaf that split became an interior page: its old cells may
            // still lie between the child pointers and the content area.
            const int64_t cells = be16(page.data + h + 3);
            int64_t content = be16(page.data + h + 5);
            if (content == 0) content = 65536;
            if (context.hint >= 0) scanRegion(h + 12 + 2 * cells, std::min(content, usable), Area::Unallocated, context.hint);
            return;
        }
        if (context.live) return;
        if (sane) return;  // an index page: no table records
        hint_ = context.hint;
        scanRegion(context.pgno == 1 ? 100 : 0, usable, Area::UnreachedPage, -1);
    }

    // Rebuilds the record of a freed cell whose first four bytes the
    // freeblock header overwrote, then carves the intact cells that follow.
    void freeblock(int64_t off, int64_t size) {
        const int64_t resume = rebuildFreed(off, size);
        scanRegion(resume > 0 ? resume : off + 4, off + size, Area::Freeblock, hint_);
    }

    // The record of a freed cell at `off` whose head a freeblock header of
    // `size` bytes overwrote: where the record ends when one is taken, else 0.
    int64_t rebuildFreed(int64_t off, int64_t size, bool emit = true, int depth = 0) {
        const int64_t end = off + size;
        if (size < 6 || end > usable_) return 0;
        // This depth's buffers, kept from call to call: the readings tried
        // at every freeblock allocate nothing (a reading that fits its
        // neighbours, taken below, is rebuilt with the next depth's).
        RebuildScratch& scratch = rebuildScratch_[static_cast<size_t>(depth)];
        std::vector<RebuildOption>& options = scratch.options;
        options.clear();
        scratch.optionTypes.clear();
        std::vector<uint64_t>& types = scratch.types;
        const int* tables = carvable_.data();
        size_t tableCount = carvable_.size();
        const int hinted = hint_;
        if (hinted >= 0) {
            tables = &hinted;
            tableCount = 1;
        }
        for (const int t : std::span<const int>(tables, tableCount)) {
            const SchemaObject& table = tables_[static_cast<size_t>(t)];
            const size_t n = table.columns.size();
            for (int64_t h = 2; h <= 12; ++h) {
                if (off + h + 2 > end) break;
                if (h > 4) {
                    // The surviving tail of the row number's varint.
                    if (page_[off + h - 1] & 0x80) continue;
                    bool ok = true;
                    for (int64_t k = 4; k < h - 1; ++k) ok = ok && (page_[off + k] & 0x80) != 0;
                    if (!ok) continue;
                }
                auto consider = [&](const std::vector<uint64_t>& ts, uint64_t headerSize, uint64_t body) {
                    const uint64_t payload = headerSize + body;
                    if (payload > static_cast<uint64_t>(kMaxValueLength)) return;
                    const int lp = varintLength(payload);
                    const int64_t lr = h - lp;
                    if (lr < 1 || lr > 9) return;
                    if (!acceptableTypes(table, ts, hint_ >= 0)) return;
                    const int64_t local = tableLeafLocalSize(payload, usable_);
                    const bool spills = local < static_cast<int64_t>(payload);
                    const int64_t recordEnd = off + h + local + (spills ? 4 : 0);
                    if (recordEnd > end) return;
                    bool consistent = recordEnd == end || end - recordEnd < 4;
                    if (!consistent) consistent = peekIntactCell(recordEnd, end);
                    // Freed cells next to each other merge into one
                    // freeblock; the next one's head holds its own old
                    // freeblock header.
                    if (!consistent && depth < 3 && recordEnd + 4 <= end) {
                        const int64_t nextSize = be16(page_ + recordEnd + 2);
                        if (recordEnd + nextSize <= end)
                            consistent = rebuildFreed(recordEnd, nextSize, false, depth + 1) > 0;
                    }
                    // The next one may be cut short by a cell written later
                    // over its end: its old freeblock header still says where
                    // a freed cell began. A weaker sign, taken only on a page
                    // of a known table and only when no reading fits better.
                    bool weak = false;
                    if (!consistent && depth == 0 && hint_ >= 0 && recordEnd + 4 <= end) {
                        const int64_t nextNext = be16(page_ + recordEnd);
                        const int64_t nextSize = be16(page_ + recordEnd + 2);
                        weak = nextSize >= 4 && recordEnd + nextSize <= end &&
                               (nextNext == 0 || nextNext >= recordEnd + nextSize);
                    }
                    if (!consistent && !weak) return;
                    options.push_back({t, h, recordEnd, scratch.optionTypes.size(), ts.size(), headerSize, payload,
                                       recordEnd == end, weak});
                    scratch.optionTypes.insert(scratch.optionTypes.end(), ts.begin(), ts.end());
                };
                const int64_t lost = std::max<int64_t>(0, 4 - h);
                if (lost == 0) {
                    RecordHeader& header = scratch.header;
                    if (!parseRecordHeader(page_ + off + h, page_ + end, n, header)) continue;
                    if (header.types.size() != n && hint_ < 0) continue;
                    consider(header.types, header.headerSize, header.bodySize);
                } else if (lost == 1) {
                    types.clear();
                    uint64_t body = 0;
                    const size_t used = parseSerialTypes(page_ + off + 4, page_ + end, n, types, body);
                    if (used == 0 || used + 1 >= 128) continue;
                    consider(types, used + 1, body);
                } else {
                    if (n < 1) continue;
                    types.clear();
                    uint64_t body = 0;
                    const size_t used = n > 1 ? parseSerialTypes(page_ + off + 4, page_ + end, n - 1, types, body) : 0;
                    if (n > 1 && used == 0) continue;
                    const uint64_t headerSize = 2 + used;
                    if (headerSize >= 128) continue;
                    const Column& first = table.columns[0];
                    uint64_t firstTypes[12];
                    size_t firstCount = 0;
                    if (first.integerPrimaryKey) {
                        firstTypes[firstCount++] = 0;
                    } else {
                        for (uint64_t t0 = 0; t0 <= 9; ++t0)
                            if (fits(t0, first)) firstTypes[firstCount++] = t0;
                        // A text or blob sized so the record fills the freeblock.
                        const int64_t room = body > static_cast<uint64_t>(size)
                                                 ? -1
                                                 : size - h - static_cast<int64_t>(headerSize + body);
                        if (room >= 0) {
                            for (uint64_t t0 : {uint64_t(13 + 2 * room), uint64_t(12 + 2 * room)})
                                if (t0 < 128 && fits(t0, first)) firstTypes[firstCount++] = t0;
                        }
                    }
                    for (const uint64_t t0 : std::span<const uint64_t>(firstTypes, firstCount)) {
                        std::vector<uint64_t>& ts = scratch.withFirst;
                        ts.clear();
                        ts.push_back(t0);
                        ts.insert(ts.end(), types.begin(), types.end());
                        const uint64_t total = headerSize + body + static_cast<uint64_t>(serialTypeLength(t0));
                        if (total >= 128) continue;
                        consider(ts, headerSize, body + static_cast<uint64_t>(serialTypeLength(t0)));
                    }
                }
            }
        }
        // Readings borne out by what follows them come first.
        if (std::any_of(options.begin(), options.end(), [](const RebuildOption& o) { return !o.weak; }))
            options.erase(std::remove_if(options.begin(), options.end(), [](const RebuildOption& o) { return o.weak; }),
                          options.end());
        const RebuildOption* chosen = nullptr;
        if (options.size() == 1) {
            chosen = &options[0];
        } else if (options.size() > 1) {
            const RebuildOption* exact = nullptr;
            int exactCount = 0;
            for (const RebuildOption& o : options)
                if (o.exact) {
                    exact = &o;
                    ++exactCount;
                }
            if (exactCount == 1) chosen = exact;
        }
        if (chosen == nullptr) return 0;
        if (!emit) return chosen->recordEnd;
        const int64_t bodyStart = chosen->h + static_cast<int64_t>(chosen->headerSize);
        const std::span<const uint64_t> chosenTypes(scratch.optionTypes.data() + chosen->typesAt, chosen->typeCount);
        return emitRebuilt(*chosen, chosenTypes, off, bodyStart, area_) ? chosen->recordEnd : 0;
    }

    // Once every image is carved: the keys that kept repeats out are of no
    // more use.
    void forgetTakenKeys() { kept_ = KeySet(); }

    // Candidates are dealt with in the order they were kept: once the one
    // whose bytes lie in a block of the store is reached, the blocks before
    // that one are of no more use.
    void reached(const Candidate& c) {
        if (c.packedTypes != nullptr) store_.releaseBefore(c.storeBlock);
    }

private:
    template <typename Option>
    bool emitRebuilt(const Option& o, std::span<const uint64_t> types, int64_t off, int64_t bodyStartInCell, Area area) {
        const int64_t local = tableLeafLocalSize(o.payload, usable_);
        const uint8_t* payloadStart = page_ + off + o.h;
        const uint8_t* body = nullptr;
        if (local < static_cast<int64_t>(o.payload)) {
            const uint8_t* p = page_ + off + o.h + local;
            const uint32_t next = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
            if (ctx_->overflow == nullptr ||
                !assemblePayload(*ctx_->overflow, payloadStart, local, o.payload, next, scratch_, &chain_)) {
                if (!partial || static_cast<int64_t>(o.headerSize) > local) return false;
                Candidate c;
                c.table = o.table;
                c.types.assign(types.begin(), types.end());
                return addPartial(std::move(c), payloadStart + o.headerSize, local - static_cast<int64_t>(o.headerSize),
                                  off, area);
            }
            body = reinterpret_cast<const uint8_t*>(scratch_.data()) + o.headerSize;
            if (const int64_t whole = bytesBeforeTrunk(local); whole >= 0) {
                if (!partial || whole < static_cast<int64_t>(o.headerSize)) return false;
                Candidate c;
                c.table = o.table;
                c.types.assign(types.begin(), types.end());
                return addPartial(std::move(c), body, whole - static_cast<int64_t>(o.headerSize), off, area);
            }
        } else {
            body = page_ + off + bodyStartInCell;
        }
        Candidate c;
        c.table = o.table;
        c.types.assign(types.begin(), types.end());
        return add(std::move(c), body, off, area);
    }

    bool acceptableTypes(const SchemaObject& table, const std::vector<uint64_t>& types, bool ownerKnown) const {
        const size_t n = table.columns.size();
        if (types.empty() || types.size() > n || (!ownerKnown && types.size() != n)) return false;
        bool anyValue = false;
        for (size_t i = 0; i < types.size(); ++i) {
            if (!fits(types[i], table.columns[i])) return false;
            if (types[i] != 0) anyValue = true;
        }
        return anyValue;
    }

    // The table a page's cells fit, when one table takes most of them.
    int majorityTable(int64_t h, int64_t cells, int64_t usable) {
        std::unordered_map<int, int> votes;
        RecordHeader header;
        for (int64_t i = 0; i < cells && i < 64; ++i) {
            LeafCell cell;
            if (!parseTableLeafCell(page_, be16(page_ + h + 8 + 2 * i), usable, usable, cell)) continue;
            const uint8_t* p = page_ + cell.payloadOffset;
            if (!parseRecordHeader(p, p + cell.localSize, 4096, header)) continue;
            if (header.headerSize + header.bodySize != cell.payloadSize) continue;
            int only = -1, count = 0;
            for (int t : carvable_) {
                if (acceptableTypes(tables_[static_cast<size_t>(t)], header.types, false)) {
                    only = t;
                    ++count;
                }
            }
            if (count == 1) ++votes[only];
        }
        int best = -1, bestVotes = 0;
        for (const auto& [t, v] : votes)
            if (v > bestVotes) {
                best = t;
                bestVotes = v;
            }
        return best;
    }

    // Whether an intact cell that matches a table starts at the offset.
    bool peekIntactCell(int64_t offset, int64_t limit) {
        LeafCell cell;
        if (!parseTableLeafCell(page_, offset, limit, usable_, cell)) return false;
        const uint8_t* p = page_ + cell.payloadOffset;
        RecordHeader& header = peekHeader_;
        if (!parseRecordHeader(p, p + cell.localSize, 4096, header, cell.payloadSize)) return false;
        if (header.headerSize + header.bodySize != cell.payloadSize) return false;
        return matchTable(header.types, hint_) >= 0;
    }

    int matchTable(const std::vector<uint64_t>& types, int hint) const {
        if (hint >= 0) return acceptableTypes(tables_[static_cast<size_t>(hint)], types, true) ? hint : -1;
        int only = -1;
        for (int t : carvable_) {
            if (acceptableTypes(tables_[static_cast<size_t>(t)], types, false)) {
                if (only >= 0) return -1;  // fits more than one table: not taken
                only = t;
            }
        }
        return only;
    }

    // Carves the intact cell at the offset; its length when taken, else 0.
    int64_t intactCell(int64_t offset, int64_t limit, Area area, int hint, bool* tookAny) {
        LeafCell cell;
        if (!parseTableLeafCell(page_, offset, limit, usable_, cell)) return 0;
        const uint8_t* p = page_ + cell.payloadOffset;
        RecordHeader& header = cellHeader_;
        if (!parseRecordHeader(p, p + cell.localSize, 4096, header, cell.payloadSize)) return 0;
        if (header.headerSize + header.bodySize != cell.payloadSize) return 0;
        const int table = matchTable(header.types, hint);
        if (table < 0) return 0;
        const uint8_t* body = p + header.headerSize;
        if (cell.overflowPage != 0) {
            if (header.headerSize > static_cast<uint64_t>(cell.localSize)) return 0;
            const int64_t whole = ctx_->overflow == nullptr ||
                                          !assemblePayload(*ctx_->overflow, p, cell.localSize, cell.payloadSize,
                                                           cell.overflowPage, scratch_, &chain_)
                                      ? cell.localSize
                                      : bytesBeforeTrunk(cell.localSize);
            if (whole >= 0) {
                if (!partial || whole < static_cast<int64_t>(header.headerSize)) return 0;
                const uint8_t* kept = whole > cell.localSize ? reinterpret_cast<const uint8_t*>(scratch_.data()) : p;
                Candidate c;
                c.table = table;
                c.rowid = cell.rowid;
                c.types = std::move(header.types);
                if (!addPartial(std::move(c), kept + header.headerSize, whole - static_cast<int64_t>(header.headerSize),
                                offset, area))
                    return 0;
                if (tookAny != nullptr) *tookAny = true;
                return cell.cellSize;
            }
            body = reinterpret_cast<const uint8_t*>(scratch_.data()) + header.headerSize;
        }
        Candidate c;
        c.table = table;
        c.rowid = cell.rowid;
        c.types = std::move(header.types);
        if (!add(std::move(c), body, offset, area)) return 0;
        if (tookAny != nullptr) *tookAny = true;
        return cell.cellSize;
    }

    // Tries every offset of a region for an intact cell, and for a freed
    // cell whose head a freeblock header overwrote (SQLite writes one even
    // where it then moves the start of the content area past the cell).
    void scanRegion(int64_t from, int64_t to, Area area, int hint) {
        to = std::min(to, usable_);
        const int savedHint = hint_;
        const Area savedArea = area_;
        hint_ = hint;
        area_ = area;
        for (int64_t at = std::max<int64_t>(from, 0); at + 3 < to;) {
            const int64_t next = be16(page_ + at);
            const int64_t size = be16(page_ + at + 2);
            if (size >= 6 && at + size <= to && (next == 0 || next >= at + size)) {
                const int64_t end = rebuildFreed(at, size);
                if (end > 0) {
                    at = end;
                    continue;
                }
            }
            if (page_[at] == 0) {
                ++at;
                continue;
            }
            const int64_t taken = intactCell(at, to, area, hint, nullptr);
            at += taken > 0 ? taken : 1;
        }
        hint_ = savedHint;
        area_ = savedArea;
    }

    // Takes a record whose chain is lost: the values that lie wholly in the
    // `available` body bytes of its leaf page, nulls from the first one that
    // does not. False when not even one value survives, or a text is not text.
    bool addPartial(Candidate c, const uint8_t* body, int64_t available, int64_t offsetInPage, Area area) {
        std::vector<uint64_t> kept;
        int64_t used = 0;
        for (uint64_t t : c.types) {
            const int64_t n = serialTypeLength(t);
            if (used + n > available) break;
            used += n;
            kept.push_back(t);
        }
        const size_t lost = kept.size();
        if (lost == c.types.size()) return false;  // nothing lost: not a partial record
        if (std::none_of(kept.begin(), kept.end(), [](uint64_t t) { return t != 0; })) return false;
        decodeValues(kept, body, c.values);
        if (utf8) {
            for (const Value& v : c.values)
                if (v.kind == ValueKind::Text && !isValidUtf8(v.bytes)) return false;
        }
        if (!onlyTable.empty() && tables_[static_cast<size_t>(c.table)].name != onlyTable) return true;
        c.values.resize(c.types.size());
        c.hash = hashStoredRecord(kept, body, static_cast<size_t>(used)) ^ 0x5bd1e9955bd1e995ull;
        if (!kept_.insert(identityOf(c))) return true;
        std::vector<uint64_t>().swap(c.types);
        c.lostFrom = lost;
        keep(std::move(c), offsetInPage, area);
        return true;
    }

    // Keeps a candidate with where it was found: the file, area, page, byte
    // offset and, in a log, its frame and commit.
    void keep(Candidate&& c, int64_t offsetInPage, Area area) {
        c.file = ctx_->file;
        c.area = ctx_->perLocationArea ? area : ctx_->pageArea;
        c.page = ctx_->pgno;
        c.offset = ctx_->fileOffset + offsetInPage;
        c.frame = ctx_->frame;
        c.commit = ctx_->commit;
        candidates.push_back(std::make_unique<Candidate>(std::move(c)));
    }

    // Takes a candidate; false when its text is not text (bytes of a later
    // cell written over part of an old one).
    bool add(Candidate c, const uint8_t* body, int64_t offsetInPage, Area area) {
        uint64_t bodySize = 0;
        for (uint64_t t : c.types) bodySize += static_cast<uint64_t>(serialTypeLength(t));
        c.hash = hashStoredRecord(c.types, body, bodySize);
        // The image of the live row with its number: its text is the live
        // row's, so it is taken without being decoded or kept.
        if (c.rowid) {
            const std::optional<uint64_t> live = liveHashOfRow(c.table, *c.rowid);
            if (live && *live == c.hash) return true;
            c.rowIsLive = live.has_value();
        }
        // Its texts are checked where they lie; the record is kept packed,
        // and decoded only if it is listed.
        if (utf8 && !textsAreUtf8(c.types, body)) return false;
        if (!onlyTable.empty() && tables_[static_cast<size_t>(c.table)].name != onlyTable) return true;
        // The same image again (a page rewritten by commit after commit
        // keeps it in every log frame): only the first is kept, the one the
        // listing would keep.
        if (!kept_.insert(identityOf(c))) return true;
        if (!c.rowid) {
            rowlessSamples.insert(sampleKey(c.table, c.types, body, bodySize));
            if (tablesWithRowless.size() < tables_.size()) {
                tablesWithRowless.resize(tables_.size(), false);
                tablesWithShortRowless.resize(tables_.size(), false);
            }
            tablesWithRowless[static_cast<size_t>(c.table)] = true;
            if (bodySize >= 8) rowlessTails.insert(tailKey(c.table, body + bodySize - 8));
            else tablesWithShortRowless[static_cast<size_t>(c.table)] = true;
        }
        packImage(c, body, bodySize, store_);
        keep(std::move(c), offsetInPage, area);
        releaseLargeScratch();
        return true;
    }

    // The image hash of the live row numbered `rowid`: none when there is no
    // such row; 0 when its record does not parse.
    std::optional<uint64_t> liveHashOfRow(int table, int64_t rowid) {
        if (newest == nullptr) return std::nullopt;
        const SchemaObject& t = tables_[static_cast<size_t>(table)];
        LeafCell cell;
        PageView leaf;
        if (!findTableRow(*newest, t.rootPage, rowid, cell, leaf)) return std::nullopt;
        const std::optional<uint64_t> live = liveRecordHash(*newest, t, leaf, cell, liveScratch_, liveHeader_);
        if (liveScratch_.capacity() > (size_t{4} << 20)) std::string().swap(liveScratch_);
        return live.value_or(0);
    }

    // A payload assembled from a long chain leaves a large buffer behind:
    // given back rather than held for the rest of the carve.
    void releaseLargeScratch() {
        if (scratch_.capacity() > (size_t{4} << 20)) std::string().swap(scratch_);
    }

    // A page of the chain just assembled that is a freelist trunk page: its
    // first bytes (next trunk, count, leaf numbers) were written over the
    // chain pointer and the payload. The number of payload bytes before it
    // (from `local` bytes in the leaf on), or -1 when the chain has none.
    int64_t bytesBeforeTrunk(int64_t local) const {
        if (trunkPages == nullptr || trunkPages->empty()) return -1;
        for (size_t i = 0; i < chain_.size(); ++i)
            if (trunkPages->count(chain_[i]) != 0) return local + static_cast<int64_t>(i) * (usable_ - 4);
        return -1;
    }

    // A reading of a freed cell's record that rebuildFreed weighs.
    struct RebuildOption {
        int table;
        int64_t h;
        int64_t recordEnd;
        size_t typesAt;  // its serial types: optionTypes[typesAt, typesAt + typeCount)
        size_t typeCount;
        uint64_t headerSize;
        uint64_t payload;
        bool exact;
        bool weak;
    };
    struct RebuildScratch {
        std::vector<RebuildOption> options;
        std::vector<uint64_t> optionTypes;
        RecordHeader header;
        std::vector<uint64_t> types;
        std::vector<uint64_t> withFirst;
    };
    // One set per depth of rebuildFreed (a merged neighbour is read three
    // deep at most).
    std::array<RebuildScratch, 4> rebuildScratch_;

    std::vector<uint32_t> chain_;
    ByteStore store_;  // the kept candidates' serial types and bodies
    KeySet kept_;  // identityOf every candidate taken
    std::vector<SchemaObject> tables_;
    std::vector<int> carvable_;
    int64_t usable_;
    const ImageContext* ctx_ = nullptr;
    const uint8_t* page_ = nullptr;
    int64_t pageSize_ = 0;
    int hint_ = -1;
    Area area_ = Area::Freeblock;
    std::string scratch_;
    std::string liveScratch_;  // a live row's payload, apart from the candidate's in scratch_
    // intactCell's and peekIntactCell's, kept so that trying every offset
    // allocates nothing.
    RecordHeader cellHeader_, peekHeader_;
    RecordHeader liveHeader_;
};

// Sorts one page's cell ranges (offsets in the page), merges the ones that
// touch or overlap and appends them to `out` as file offsets.
void appendMergedRanges(std::vector<std::pair<int64_t, int64_t>>& cells, int64_t base,
                        std::vector<std::pair<int64_t, int64_t>>& out) {
    std::sort(cells.begin(), cells.end());
    bool open = false;
    std::pair<int64_t, int64_t> current;
    for (const auto& c : cells) {
        if (open && c.first <= current.second) {
            current.second = std::max(current.second, c.second);
            continue;
        }
        if (open) out.emplace_back(base + current.first, base + current.second);
        current = c;
        open = true;
    }
    if (open) out.emplace_back(base + current.first, base + current.second);
}

CarvedRecord toRecord(const SchemaObject& table, Candidate& c, const CarveInputs& inputs) {
    unpackImage(c);
    CarvedRecord r;
    r.table = table.name;
    r.rowid = c.rowid;
    r.values = std::move(c.values);
    // SQLite stores a whole number of a REAL column as an integer and reads it back as a real.
    for (size_t i = 0; i < r.values.size() && i < table.columns.size(); ++i) {
        Value& v = r.values[i];
        if (table.columns[i].affinity == Affinity::Real && v.kind == ValueKind::Integer) {
            v.kind = ValueKind::Real;
            v.real = static_cast<double>(v.integer);
        }
    }
    if (table.ipkColumn >= 0 && static_cast<size_t>(table.ipkColumn) < r.values.size()) {
        Value& v = r.values[static_cast<size_t>(table.ipkColumn)];
        if (c.rowid) {
            v.kind = ValueKind::Integer;
            v.integer = *c.rowid;
        } else {
            v = Value{};
        }
    }
    r.provenance.file = c.file == FileKind::Database ? inputs.databaseName
                        : c.file == FileKind::Wal    ? inputs.walName
                                                     : inputs.journalName;
    r.provenance.area = areaName(c.area);
    r.provenance.page = c.page;
    r.provenance.offset = c.offset;
    r.provenance.frame = c.frame;
    r.provenance.commit = c.commit;
    return r;
}

}  // namespace

CarveSummary carveSqliteRecords(const CarveInputs& inputs, const CarveOptions& options, const CarvedRecordSink& sink) {
    CarveSummary summary;
    if (inputs.database == nullptr) return summary;
    const PageGeometry geometry = pageGeometry(inputs.database);
    if (geometry.pageSize <= 0) return summary;
    const int64_t reserved = inputs.database->at(20);
    DatabasePages pages(inputs.database, geometry.pageSize, reserved);
    summary.pageSize = pages.pageSize;
    summary.bytesRead = static_cast<uint64_t>(inputs.database->size());

    // The newest committed state: the log's committed frames over the file.
    std::unique_ptr<WalReader> wal;
    std::unordered_map<uint32_t, std::pair<int64_t, int64_t>> liveFrame;  // pgno -> (frame, commit)
    std::unordered_map<uint32_t, std::vector<std::pair<int64_t, const uint8_t*>>> framesByPage;
    if (inputs.wal != nullptr) {
        wal = std::make_unique<WalReader>(inputs.wal, pages.pageSize);
        if (wal->present() && wal->pageSize() == pages.pageSize) {
            summary.bytesRead += static_cast<uint64_t>(inputs.wal->size());
            summary.walFrames = wal->frameCount();
            summary.walCommits = wal->commitCount();
            uint32_t highest = pages.filePageCount();
            wal->forEachFrame([&](const WalFrame& frame, const uint8_t* image) {
                framesByPage[frame.pgno].emplace_back(frame.index, image);
                if (frame.commit && frame.pgno != 0) {
                    pages.overlay(frame.pgno, image);
                    liveFrame[frame.pgno] = {frame.index, *frame.commit};
                    highest = std::max(highest, frame.pgno);
                }
            });
            // The size the last commit gives, but never more pages than the
            // file and the log hold (a damaged size would have every
            // per-page table sized to it).
            if (wal->committedPageCount() > 0)
                pages.pageCount = std::min({wal->committedPageCount(), highest,
                                            pages.filePageCount() + pages.overlaidBeyondFile()});
        } else {
            wal.reset();
        }
    }
    // A hot journal (its header intact) means the file is in the middle of a
    // transaction: the committed state is the one a rollback restores, so
    // the journal's first image of each page is laid over the file.
    if (inputs.journal != nullptr && !wal && inputs.journal->size() >= 28) {
        static constexpr uint8_t kMagic[8] = {0xd9, 0xd5, 0x05, 0xf9, 0x20, 0xa1, 0x63, 0xd7};
        const uint8_t* j = inputs.journal->data();
        if (std::equal(kMagic, kMagic + 8, j)) {
            const uint32_t original = (uint32_t{j[16]} << 24) | (uint32_t{j[17]} << 16) | (uint32_t{j[18]} << 8) | j[19];
            const auto maxPgno = static_cast<uint32_t>(
                std::min<uint64_t>(uint64_t{std::max<uint32_t>(pages.filePageCount(), original)} + 65536, UINT32_MAX));
            uint32_t highest = pages.filePageCount();
            forEachJournalPage(inputs.journal, pages.pageSize, maxPgno, [&](const JournalPage& jp, const uint8_t* image) {
                if (!pages.overlaid(jp.pgno) && jp.pgno <= std::max(original, pages.filePageCount())) {
                    pages.overlay(jp.pgno, image);
                    highest = std::max(highest, jp.pgno);
                }
            });
            // The size before the transaction, but never more pages than the
            // file and the journal hold.
            if (original > 0)
                pages.pageCount = std::min({original, highest, pages.filePageCount() + pages.overlaidBeyondFile()});
        }
    }
    summary.pages = pages.pageCount;

    Schema schema = readSchema(pages);
    // A scan being stopped ends the carving at its next page (asked every
    // 256 pages, so the poll costs nothing measurable).
    uint32_t polls = 0;
    bool stopping = false;
    const auto stopAsked = [&polls, &stopping] {
        if (!stopping && (++polls & 255U) == 0) stopping = stopRequested();
        return stopping;
    };
    for (const SchemaObject& o : schema.objects)
        if (o.carvable()) {
            ++summary.tables;
            summary.tableNames.push_back(o.name);
            summary.columnNames.emplace_back();
            for (const Column& c : o.columns) summary.columnNames.back().push_back(c.name);
        }
    summary.readable = !schema.objects.empty();
    if (options.onSchema) options.onSchema(summary);

    Carver carver(schema.objects, pages.usableSize);
    carver.onlyTable = options.table;
    carver.partial = options.partial;
    std::unordered_set<uint32_t> trunks;
    addTrunks(pages, trunks);               // the newest state's freelist
    addTrunks(FileOnlyPages(pages), trunks);  // and the file's own
    carver.trunkPages = &trunks;
    if (const PageView first = pages.page(1); first && first.size >= 60) {
        const uint32_t encoding = (uint32_t{first.data[56]} << 24) | (uint32_t{first.data[57]} << 16) |
                                  (uint32_t{first.data[58]} << 8) | first.data[59];
        carver.utf8 = encoding <= 1;
    }
    const auto& tables = carver.tables();

    // Whether a table's live rows are delivered, and when: before the
    // carved records, or after them (then with only the columns asked for).
    const auto named = [](const std::vector<std::string>& names, const std::string& table) {
        return std::any_of(names.begin(), names.end(), [&](const std::string& name) {
            return name.size() == table.size() &&
                   std::equal(name.begin(), name.end(), table.begin(), [](char a, char b) {
                       return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
                   });
        });
    };
    const auto delivered = [&](const SchemaObject& table) {
        if (!options.includeLive || (!options.table.empty() && options.table != table.name)) return false;
        return options.liveTables.empty() || named(options.liveTables, table.name) ||
               named(options.liveAfterCarved, table.name);
    };
    RecordHeader header;
    std::string payload;
    // Delivers one live row, with the values `wanted` marks (all when null).
    const auto deliverLive = [&](const SchemaObject& table, size_t t, uint32_t pgno, int64_t ptr, const LeafCell& cell,
                                 const uint8_t* body, const std::vector<bool>* wanted) {
        Candidate c;
        c.table = static_cast<int>(t);
        c.rowid = cell.rowid;
        if (wanted != nullptr) decodeSelectedValues(header.types, body, *wanted, c.values);
        else decodeValues(header.types, body, c.values);
        c.page = pgno;
        auto f = liveFrame.find(pgno);
        if (f != liveFrame.end()) {
            c.file = FileKind::Wal;
            c.area = Area::WalFrame;
            c.frame = f->second.first;
            c.commit = f->second.second;
            c.offset = 32 + (f->second.first - 1) * (24 + pages.pageSize) + 24 + ptr;
        } else {
            c.offset = int64_t{pgno - 1} * pages.pageSize + ptr;
        }
        CarvedRecord r = toRecord(table, c, inputs);
        r.status = "live";
        sink(r);
    };

    // The live rows, walked once before carving: the overflow pages their
    // chains hold, their cells' byte ranges when asked for, and the rows
    // themselves when asked for. Nothing is kept per row.
    std::vector<std::pair<int64_t, int64_t>> pageCells;
    std::vector<uint32_t> chain;
    for (size_t t = 0; t < tables.size(); ++t) {
        const SchemaObject& table = tables[t];
        if (!table.carvable()) continue;
        const bool later = delivered(table) && named(options.liveAfterCarved, table.name);
        const bool deliver = delivered(table) && !later;
        walkBtree(pages, table.rootPage, [&](uint32_t pgno, const PageView& page, uint8_t type) {
            if (type != 0x0D || stopAsked()) return;
            const int64_t h = pageHeaderOffset(pgno);
            const int64_t cells = be16(page.data + h + 3);
            // The page's cells as merged byte ranges: SQLite packs a leaf's
            // cells side by side, so a page gives one range or a few, and
            // the ranges kept grow with the pages rather than the rows.
            struct Flush {
                std::vector<std::pair<int64_t, int64_t>>& cellsOfPage;
                std::vector<std::pair<int64_t, int64_t>>* out;
                int64_t base;
                ~Flush() {
                    if (out != nullptr) appendMergedRanges(cellsOfPage, base, *out);
                    cellsOfPage.clear();
                }
            } flush{pageCells, options.liveCells, int64_t{pgno - 1} * pages.pageSize};
            for (int64_t i = 0; i < cells; ++i) {
                const int64_t ptr = be16(page.data + h + 8 + 2 * i);
                LeafCell cell;
                if (!parseTableLeafCell(page.data, ptr, pages.usableSize, pages.usableSize, cell)) continue;
                if (options.liveCells != nullptr) pageCells.emplace_back(ptr, ptr + cell.cellSize);
                if (cell.overflowPage != 0) {
                    if (!followOverflowChain(pages, cell.localSize, cell.payloadSize, cell.overflowPage, chain)) continue;
                    for (uint32_t o : chain)
                        if (o < schema.owner.size()) schema.owner[o] = Schema::kOverflow;
                }
                if (later) continue;  // read and counted after the carved records
                const uint8_t* whole = nullptr;
                if (!liveRecordHeader(pages, table, page, cell, deliver, payload, header, whole)) continue;
                ++summary.live;
                if (deliver) deliverLive(table, t, pgno, ptr, cell, whole + header.headerSize, nullptr);
            }
        });
    }
    if (options.liveCells != nullptr) {
        std::sort(options.liveCells->begin(), options.liveCells->end());
        options.liveCells->shrink_to_fit();
        if (options.onLiveCells) options.onLiveCells();
    }
    carver.newest = &pages;

    auto hintFor = [&](uint32_t pgno) {
        if (pgno >= schema.owner.size()) return -1;
        const int32_t o = schema.owner[pgno];
        return (o >= 0 && tables[static_cast<size_t>(o)].carvable()) ? o : -1;
    };

    // The main file's pages.
    const FileOnlyPages fileOnly(pages);
    for (uint32_t pgno = 1; pgno <= pages.filePageCount() && !stopAsked(); ++pgno) {
        ImageContext ctx;
        ctx.overflow = &fileOnly;
        ctx.pgno = pgno;
        ctx.fileOffset = int64_t{pgno - 1} * pages.pageSize;
        const int32_t owner = pgno < schema.owner.size() ? schema.owner[pgno] : Schema::kUnowned;
        if (pages.overlaid(pgno)) {
            ctx.hint = hintFor(pgno);  // an older image of a page the log replaced
        } else if (pgno > pages.pageCount || owner == Schema::kUnowned) {
            ctx.pageArea = Area::UnreachedPage;
            ctx.perLocationArea = false;
        } else if (owner == Schema::kFreelist) {
            ctx.pageArea = Area::FreePage;
            ctx.perLocationArea = false;
        } else if (owner >= 0) {
            ctx.live = true;
            ctx.hint = hintFor(pgno);
        } else {
            continue;  // overflow, pointer-map and schema pages
        }
        // The next page is fetched into the cache while this one is carved.
        if (pgno < pages.filePageCount()) {
            const PageView next = pages.filePage(pgno + 1);
            for (int64_t at = 0; at < next.size; at += 64) __builtin_prefetch(next.data + at);
        }
        carver.carveImage(pages.filePage(pgno), ctx);
    }

    // Every frame of the log, superseded and uncommitted ones included.
    if (wal) {
        FramePages asOfFrame(pages, framesByPage);
        wal->forEachFrame([&](const WalFrame& frame, const uint8_t* image) {
            if (frame.pgno == 0 || stopAsked()) return;
            ImageContext ctx;
            asOfFrame.asOf = frame.index;
            ctx.overflow = &asOfFrame;
            ctx.file = FileKind::Wal;
            ctx.pageArea = Area::WalFrame;
            ctx.perLocationArea = false;
            ctx.pgno = frame.pgno;
            ctx.fileOffset = frame.pageOffset;
            ctx.frame = frame.index;
            ctx.commit = frame.commit;
            auto f = liveFrame.find(frame.pgno);
            const bool newest = f != liveFrame.end() && f->second.first == frame.index && frame.pgno <= pages.pageCount;
            const int32_t owner = frame.pgno < schema.owner.size() ? schema.owner[frame.pgno] : Schema::kUnowned;
            if (newest && owner != Schema::kUnowned && owner != Schema::kFreelist && hintFor(frame.pgno) < 0)
                return;  // the live image of an overflow, pointer-map, schema or index page
            ctx.live = newest && hintFor(frame.pgno) >= 0;
            ctx.hint = hintFor(frame.pgno);
            carver.carveImage({image, pages.pageSize}, ctx);
        });
    }

    // The pages of a rollback journal.
    if (inputs.journal != nullptr) {
        JournalPages journalPages(pages);
        const uint32_t maxPgno = std::max<uint32_t>(pages.filePageCount(), pages.pageCount) + 65536;
        forEachJournalPage(inputs.journal, pages.pageSize, maxPgno, [&](const JournalPage& jp, const uint8_t* image) {
            journalPages.images.emplace(jp.pgno, image);
        });
        forEachJournalPage(inputs.journal, pages.pageSize, maxPgno, [&](const JournalPage& jp, const uint8_t* image) {
            ++summary.journalPages;
            ImageContext ctx;
            ctx.overflow = &journalPages;
            ctx.file = FileKind::Journal;
            ctx.pageArea = Area::JournalPage;
            ctx.perLocationArea = false;
            ctx.pgno = jp.pgno;
            ctx.fileOffset = jp.pageOffset;
            ctx.hint = hintFor(jp.pgno);
            carver.carveImage({image, pages.pageSize}, ctx);
        });
        summary.bytesRead += static_cast<uint64_t>(inputs.journal->size());
    }

    // Every live cell of a table in the newest state, with its page.
    const auto forEachLiveCell = [&](const SchemaObject& table, const auto& onCell) {
        walkBtree(pages, table.rootPage, [&](uint32_t pgno, const PageView& page, uint8_t type) {
            if (type != 0x0D || stopAsked()) return;
            const int64_t h = pageHeaderOffset(pgno);
            const int64_t cells = be16(page.data + h + 3);
            for (int64_t i = 0; i < cells; ++i) {
                const int64_t ptr = be16(page.data + h + 8 + 2 * i);
                LeafCell cell;
                if (parseTableLeafCell(page.data, ptr, pages.usableSize, pages.usableSize, cell))
                    onCell(pgno, page, ptr, cell);
            }
        });
    };

    // Images of live rows that no longer hold their row number: the live
    // rows of the tables with such candidates are walked again, those whose
    // serial types match one are hashed, and their hashes looked for among
    // the candidates'. What is held grows with the candidates, not with the
    // live rows. (A candidate that holds its number was judged by it.)
    carver.forgetTakenKeys();
    KeySet liveImages;  // imageKey of rowless candidates equal to a live row
    if (!carver.rowlessSamples.empty()) {
        KeySet rowlessKeys;
        for (const auto& c : carver.candidates)
            if (!c->rowid && !c->lostFrom) rowlessKeys.insert(imageKey(*c));
        for (size_t t = 0; t < tables.size() && t < carver.tablesWithRowless.size(); ++t) {
            if (!carver.tablesWithRowless[t]) continue;
            const SchemaObject& table = tables[t];
            const bool tails = !carver.tablesWithShortRowless[t];
            forEachLiveCell(table, [&](uint32_t, const PageView& page, int64_t, const LeafCell& cell) {
                if (tails && cell.overflowPage == 0 && cell.payloadSize >= 8 &&
                    !carver.rowlessTails.contains(tailKey(static_cast<int>(t), page.data + cell.payloadOffset + cell.payloadSize - 8)))
                    return;
                const uint8_t* whole = nullptr;
                if (!liveRecordHeader(pages, table, page, cell, false, payload, header, whole)) return;
                // A record whose payload spilled is assembled to be sampled.
                if (whole == nullptr && !liveRecordHeader(pages, table, page, cell, true, payload, header, whole)) return;
                const uint8_t* body = whole + header.headerSize;
                if (!carver.rowlessSamples.contains(sampleKey(static_cast<int>(t), header.types, body, header.bodySize))) return;
                const uint64_t k = imageKeyOf(static_cast<int>(t), hashStoredRecord(header.types, body, header.bodySize));
                if (rowlessKeys.contains(k)) liveImages.insert(k);
            });
        }
    }

    // Live rows are not listed; images found twice are listed once; a
    // rowless image of a record also found with its row number is dropped.
    KeySet withRowid;
    KeySet wholeRows;  // (table, row number) of every whole record found
    const size_t numbered = static_cast<size_t>(std::count_if(carver.candidates.begin(), carver.candidates.end(),
                                                              [](const auto& c) { return c->rowid.has_value(); }));
    withRowid.reserve(numbered);
    wholeRows.reserve(numbered);
    const auto rowKey = [](const Candidate& c) {
        return static_cast<uint64_t>(*c.rowid) * 0xC2B2AE3D27D4EB4Full ^ (uint64_t(c.table + 1) * 0x9E3779B97F4A7C15ull);
    };
    for (const auto& c : carver.candidates)
        if (c->rowid) {
            withRowid.insert(imageKey(*c));
            if (!c->lostFrom) wholeRows.insert(rowKey(*c));
        }
    KeySet listed;
    listed.reserve(carver.candidates.size());
    for (auto& taken : carver.candidates) {
        // Each goes as soon as it is dealt with.
        const std::unique_ptr<Candidate> owned = std::move(taken);
        Candidate& c = *owned;
        carver.reached(c);
        const SchemaObject& table = tables[static_cast<size_t>(c.table)];
        const uint64_t k = imageKey(c);
        std::string status = "deleted";
        if (c.lostFrom) {
            // Whether a partial image is the live row's or an older one cannot
            // be told: only images of rows no longer there are listed.
            LeafCell cell;
            PageView leaf;
            if (c.rowid && findTableRow(pages, table.rootPage, *c.rowid, cell, leaf)) continue;
            if (c.rowid && wholeRows.contains(rowKey(c))) continue;  // found whole elsewhere
            status = "partial";
        } else if (c.rowid) {
            // Looked up when it was taken: an image of its live row was not kept.
            if (c.rowIsLive) status = "earlier version";
        } else if (withRowid.contains(k) || liveImages.contains(k)) {
            continue;  // found with its number, or a live row's image
        }
        if (!listed.insert(identityOf(c))) continue;
        CarvedRecord r = toRecord(table, c, inputs);
        r.status = status;
        r.lostFrom = c.lostFrom;
        if (status == "deleted" || status == "partial") ++summary.deleted;
        else ++summary.earlierVersions;
        sink(r);
    }
    std::vector<std::unique_ptr<Candidate>>().swap(carver.candidates);

    // The live rows asked for after the carved records, with only the
    // columns asked for decoded.
    for (size_t t = 0; t < tables.size(); ++t) {
        const SchemaObject& table = tables[t];
        if (!table.carvable() || !delivered(table) || !named(options.liveAfterCarved, table.name)) continue;
        std::vector<bool> wanted;
        if (options.liveColumns) wanted = options.liveColumns(table.name);
        std::optional<CarveOptions::LiveRowTest> test;
        if (options.liveRowTest) test = options.liveRowTest(table.name);
        Value tested;
        forEachLiveCell(table, [&](uint32_t pgno, const PageView& page, int64_t ptr, const LeafCell& cell) {
            const uint8_t* whole = nullptr;
            if (!liveRecordHeader(pages, table, page, cell, true, payload, header, whole)) return;
            ++summary.live;
            if (test) {
                // The tested value, read in place (null when the record has
                // fewer columns).
                tested = Value{};
                if (test->column < header.types.size()) {
                    uint64_t at = 0;
                    for (size_t i = 0; i < test->column; ++i) at += static_cast<uint64_t>(serialTypeLength(header.types[i]));
                    const uint64_t type = header.types[test->column];
                    decodeValue(type, whole + header.headerSize + at, static_cast<size_t>(serialTypeLength(type)), tested);
                    // As the delivered record would hold it (see toRecord).
                    if (test->column < table.columns.size() && table.columns[test->column].affinity == Affinity::Real &&
                        tested.kind == ValueKind::Integer) {
                        tested.kind = ValueKind::Real;
                        tested.real = static_cast<double>(tested.integer);
                    }
                }
                if (!test->accept(tested)) return;
            }
            deliverLive(table, t, pgno, ptr, cell, whole + header.headerSize, options.liveColumns ? &wanted : nullptr);
        });
    }
    return summary;
}

std::vector<CarvedRecord> carvePageImage(const SchemaObject& table, const uint8_t* page, int64_t pageSize,
                                         uint32_t pgno) {
    std::vector<CarvedRecord> out;
    if (page == nullptr || pageSize < 512 || !table.carvable()) return out;
    Carver carver({table}, pageSize);
    ImageContext ctx;
    ctx.pgno = pgno;
    ctx.hint = 0;
    carver.carveImage({page, pageSize}, ctx);
    CarveInputs inputs;
    for (auto& c : carver.candidates) {
        CarvedRecord r = toRecord(carver.tables()[0], *c, inputs);
        r.status = "deleted";
        out.push_back(std::move(r));
    }
    return out;
}

}  // namespace kestrel::carving
