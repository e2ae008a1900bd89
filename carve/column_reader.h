// Reading the columns of one carved record: the field readers into one
// reused buffer, with the data cursor that every read advances.
#pragma once

#include <algorithm>
#include <array>
#include <cstring>
#include <cstdint>
#include <string>
#include <string_view>

#include "app/records.h"
#include "carve/record_analysis.h"
#include "carve/sqlite_raw.h"
#include "extract/conversions.h"

namespace kestrel {

// Notes in a walk's record the offset where the walk found it (its anchor,
// inside the record's bytes), so a scan can tell a live row the walk took
// for a deleted one. The scan hands the record on without it.
template <typename Record>
void noteWalkOffset(Record& record, int64_t offset) {
    Provenance p;
    p.offset = offset;
    record.setProvenance(std::move(p));
}

// How far a one-byte field reader advances the data cursor for each serial
// type: 0 for the types that read nothing (0, 8..13), else the content length.
inline constexpr std::array<int32_t, 256> kOneByteLength = [] {
    std::array<int32_t, 256> lengths{};
    for (int t = 0; t < 256; ++t) {
        if (t >= 1 && t <= 4) lengths[static_cast<size_t>(t)] = t;
        else if (t == 5) lengths[5] = 6;
        else if (t == 6 || t == 7) lengths[static_cast<size_t>(t)] = 8;
        else if (t >= 14) lengths[static_cast<size_t>(t)] = t % 2 == 0 ? (t - 12) / 2 : (t - 13) / 2;
    }
    return lengths;
}();

// Reads columns of one record with the field readers into one reused buffer
// that is zero wherever the previous read may have written, so each read sees
// a fresh zero-filled buffer; the buffer holds more than any reader copies
// (2041 bytes) and the 260-character number text, so nothing is cut. Each
// answer is the column text up to its first zero byte, empty with no data
// when the column yields nothing; it stays valid until the next read.
class ColumnReader {
public:
    explicit ColumnReader(const RawFile* file) : file_(file) {}

    int32_t cursor = 0;

    std::string_view one(int64_t base, int32_t length, int32_t position);
    std::string_view two(int64_t base, int32_t length, int32_t position);
    std::string_view oneHead(int64_t base, int32_t head, int32_t length, int32_t position);
    std::string_view twoHead(int64_t base, int32_t head, int32_t length, int32_t position);
    // A column read only to pass over its content: the data cursor moves
    // exactly as the one-byte or two-byte reader would move it.
    void skipOne(int64_t base, int32_t position, int32_t head = 0);
    void skipTwo(int64_t base, int32_t position);
    // The integer that textToInt32 reads from the one-byte reader's text,
    // without writing the decimal text of a number serial type (1..7).
    int32_t numberHead(int64_t base, int32_t head, int32_t length, int32_t position);

private:
    void clear();
    std::string_view finish(const char* answer, int32_t before);

    static constexpr size_t kBufferSize = 4096;
    const RawFile* file_;
    size_t dirty_ = 0;  // bytes of the buffer that may be non-zero
    char buffer_[kBufferSize] = {};
};

// The readers run for every column of every candidate record, so they are
// defined here to be inlined into the page walks.
inline void ColumnReader::clear() {
    if (dirty_ > 0) std::memset(buffer_, 0, dirty_);
    dirty_ = 0;
}

inline std::string_view ColumnReader::finish(const char* answer, int32_t before) {
    if (answer == nullptr) return {};
    // A text copies up to the content length; a number writes its digits and
    // zeros after them. Either way nothing non-zero lies beyond this extent.
    const size_t textLen = std::strlen(buffer_);
    const auto copied = static_cast<size_t>(std::max<int64_t>(int64_t{cursor} - before, 0));
    dirty_ = std::min(kBufferSize, std::max(textLen, copied) + 1);
    return {buffer_, textLen};
}

inline std::string_view ColumnReader::one(int64_t base, int32_t length, int32_t position) {
    clear();
    const int32_t before = cursor;
    return finish(AnalyseDBDataFile(file_, position, cursor, base, length, buffer_, kBufferSize), before);
}

inline std::string_view ColumnReader::two(int64_t base, int32_t length, int32_t position) {
    clear();
    const int32_t before = cursor;
    return finish(AnalyseAlterbleDB(file_, position, cursor, base, length, buffer_, kBufferSize), before);
}

inline std::string_view ColumnReader::oneHead(int64_t base, int32_t head, int32_t length, int32_t position) {
    clear();
    const int32_t before = cursor;
    return finish(AnalyseTheDBDataFile(file_, position, cursor, base, head, length, buffer_, kBufferSize), before);
}

inline std::string_view ColumnReader::twoHead(int64_t base, int32_t head, int32_t length, int32_t position) {
    clear();
    const int32_t before = cursor;
    return finish(AnalyseAlterbleDBFile(file_, position, cursor, base, head, length, buffer_, kBufferSize),
                  before);
}

inline void ColumnReader::skipOne(int64_t base, int32_t position, int32_t head) {
    cursor += kOneByteLength[byteValueAt(file_, base + head + position)];
}

inline void ColumnReader::skipTwo(int64_t base, int32_t position) {
    const int32_t t = getAlterInteger(byteValueAt(file_, base + position), byteValueAt(file_, base + position + 1));
    if (t > 4095) return;
    cursor += getFieldDataLengthBy(t);
}

inline int32_t ColumnReader::numberHead(int64_t base, int32_t head, int32_t length, int32_t position) {
    const int32_t t = byteValueAt(file_, base + head + position);
    if (t < 1 || t > 7) return textToInt32(oneHead(base, head, length, position));
    const int32_t n = getFieldDataLengthBy(t);
    uint8_t bytes[8] = {};
    readData(file_, bytes, base + head + length + cursor, n);
    cursor += n;
    return static_cast<int32_t>(static_cast<uint32_t>(readBigEndian(bytes, 0, n) & 0xFFFFFFFFu));
}

// The column walk of a carved record whose layout is a table of positions:
// `table[position]` for positions 1 .. count - 1 says what that column does.
// Skip leaves the data cursor; Read and TwoRead pass over the content as the
// one-byte and two-byte readers would; every other step is the caller's
// field(step, position). The step type is an enum with Skip, Read and TwoRead.
template <typename Step, size_t count, typename Field>
inline void walkColumns(ColumnReader& columns, int64_t base, const Step (&table)[count], Field&& field) {
    for (int32_t position = 1; position < static_cast<int32_t>(count); ++position) {
        const Step what = table[position];
        switch (what) {
            case Step::Skip:
                break;
            case Step::Read:
                columns.skipOne(base, position);
                break;
            case Step::TwoRead:
                columns.skipTwo(base, position);
                break;
            default:
                field(what, position);
                break;
        }
    }
}

// The text of a column answer as GetStringFormChar makes it: the bytes (which
// end at the first zero byte) when they are valid UTF-8, else the empty text.
inline std::string columnText(std::string_view column) {
    return isValidUtf8(column) ? std::string(column) : std::string();
}

}  // namespace kestrel
