// Deleted-contact carving: person records (abperson) and value records
// (abmultivalue) found in the raw pages of the address-book database, then
// joined by row number. The step, the walk and the join are plain functions of
// the mapped file, so that each can run on its own.
#pragma once

#include <cstdint>
#include <vector>

#include "app/record_sink.h"
#include "app/records.h"
#include "carve/sqlite_raw.h"

namespace kestrel {

// The deleted-contact step over the mapped address book: carves the pages,
// posts every value record (postDelContactValue), then joins the values to
// each person and posts it (postDelContact), in the order found.
void carveDeletedContacts(const RawFile* file, RecordSink& sink);

// Walks the table-leaf pages N down to 1; appends every carved person to
// `persons` and every carved value to `values`, in the order found. The
// rowid counter for unmarked persons starts at 0 for each call.
void carveContactPages(const RawFile* file, const PageGeometry& geometry, std::vector<ContactPtr>& persons,
                       std::vector<DelContactValuePtr>& values);

// The person's row number: the varint whose last byte is at `lastByte`. A
// byte below 0x80 there is preceded by at most three bytes with their high
// bit set, each giving the next 7 higher bits. A byte of 0x80 or more is
// decoded with the byte before it when that is 0x81 (getAlterInteger),
// otherwise taken by its own value.
int32_t personRowNumberEndingAt(const RawFile* file, int64_t lastByte);

// Values by owner row number, each list in the order of `values`: the join
// gives the same answers, in the same order, as a loop over all values.
class DelContactValueIndex {
public:
    explicit DelContactValueIndex(const std::vector<DelContactValuePtr>& values);
    // Appends every value of the person's row number to its phone (3),
    // e-mail (4) or web page (22) as "%@ %@"; other codes are ignored.
    void joinTo(TovContactNode& person) const;

private:
    const std::vector<DelContactValuePtr>& values_;
    // Indexes into values_ grouped by row number, each group in list order:
    // the group of row r is order_[start_[r - low_] .. start_[r - low_ + 1]).
    // When the row numbers spread too widely for such a table, sorted
    // (row, index) pairs are searched instead.
    int64_t low_ = 0;
    std::vector<uint32_t> start_;
    std::vector<uint32_t> order_;
    std::vector<std::pair<int32_t, uint32_t>> sorted_;
};

}  // namespace kestrel
