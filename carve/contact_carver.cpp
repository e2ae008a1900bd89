// Deleted-contact carving: the step, the page walk with its person and value
// searches, and the join of values to persons by row number.
#include "carve/contact_carver.h"

#include <algorithm>
#include <array>
#include <optional>
#include <climits>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "app/log.h"
#include "app/working_folder.h"
#include "carve/column_reader.h"
#include "carve/record_analysis.h"
#include "extract/conversions.h"

namespace kestrel {

namespace {

// A text counts when its length up to the first zero byte is 1 to 259.
bool counts(std::string_view text) { return !text.empty() && text.size() <= 259; }

// "%@ %@": the current text, one space, the new text.
std::string appended(std::string current, const std::string& text) {
    current += ' ';
    current += text;
    return current;
}

// 32-bit counter arithmetic that wraps instead of overflowing.
int32_t wrapAdd(int32_t value, int32_t delta) {
    return static_cast<int32_t>(static_cast<uint32_t>(value) + static_cast<uint32_t>(delta));
}

// The person anchors: serial types of the sort-section, sort-language and
// person-link columns ("0f0f080801", "0000040401", "0000040400", "0000040413").
bool personAnchorAt(const RawFile* file, int64_t i) {
    std::array<uint8_t, 5> b{};
    for (int64_t j = 0; j < 5; ++j) b[static_cast<size_t>(j)] = byteValueAt(file, i + j);
    if (b[0] == 0x0F && b[1] == 0x0F && b[2] == 0x08 && b[3] == 0x08 && b[4] == 0x01) return true;
    return b[0] == 0x00 && b[1] == 0x00 && b[2] == 0x04 && b[3] == 0x04 &&
           (b[4] == 0x01 || b[4] == 0x00 || b[4] == 0x13);
}

// The eight-character contact patterns, the only ones a 4-byte text can begin with.
constexpr std::array<uint32_t, 11> kValuePatterns = {0x01010809, 0x01010901, 0x09010809, 0x01010101,
                                                     0x01010801, 0x02010801, 0x02010901, 0x02010809,
                                                     0x02010101, 0x01090809, 0xFFD8FFE0};

bool valueHeaderAt(const RawFile* file, int64_t v) {
    uint32_t w = 0;
    for (int64_t j = 0; j < 4; ++j) w = (w << 8) | byteValueAt(file, v + j);
    return std::find(kValuePatterns.begin(), kValuePatterns.end(), w) != kValuePatterns.end();
}

// One person record anchored at i.
ContactPtr carvePerson(const RawFile* file, int64_t i, ColumnReader& reader, int32_t& counter) {
    const int32_t u = bSortAlter(file, i - 12);
    const int32_t d = bNoteAlter(file, i - 19 - u);
    const int32_t g = bImageURLAlter(file, i + 6);
    const int64_t base = i - 27 - u - d;
    const auto length = static_cast<int32_t>(std::min<int64_t>(int64_t{34} + u + d + g, INT32_MAX));
    // The serial type of the JobTitle column lies at position 12; a two-byte
    // note moves it to 13.
    const int jobTitleField = 11 + d;

    auto person = std::make_shared<TovContactNode>();
    noteWalkOffset(*person, i);
    reader.cursor = 0;
    std::string first, last, middle;
    bool hasFirst = false, hasLast = false, hasMiddle = false;
    // Fields 0..33 are read in order; those after the job title would only
    // advance the data cursor, which nothing reads afterwards, so the walk
    // stops at the job title.
    for (int e = 0; e <= jobTitleField; ++e) {
        if (e == 9 && d == 1) continue;  // the note's second serial-type byte
        if (e > 2 && e != 6 && e != 7 && e != 8 && e != jobTitleField) {
            reader.skipOne(base, e + 1);
            continue;
        }
        const std::string_view text = (e == 8 && d == 1) ? reader.two(base, length, e + 1)
                                                         : reader.one(base, length, e + 1);
        if (e == 8) {
            if (!text.empty()) person->setContactNote(columnText(text));
            continue;
        }
        if (!counts(text)) continue;
        switch (e) {
            case 0:
                first = columnText(text);
                hasFirst = true;
                break;
            case 1:
                last = columnText(text);
                hasLast = true;
                break;
            case 2:
                middle = columnText(text);
                hasMiddle = true;
                break;
            case 6:
                person->setContactCompany(columnText(text));
                break;
            case 7:
                person->setContactCompany(appended(person->contactCompany(), columnText(text)));
                break;
            default:
                if (e == jobTitleField) person->setContactJobtitle(columnText(text));
                break;
        }
    }
    // The name in the order of an existing contact: first, middle, last.
    std::string name;
    if (hasFirst) name = std::move(first);
    if (hasMiddle) name = appended(std::move(name), middle);
    if (hasLast) name = appended(std::move(name), last);
    person->setContactName(std::move(name));

    if (getDeletedMark(file, base - 1, 2, kKindContact) == 1) {
        const int32_t r = personRowNumberEndingAt(file, base - 2);
        counter = r != 0 ? r : wrapAdd(counter, 1);
    } else {
        counter = wrapAdd(counter, -1);
    }
    person->setRowid(counter);
    return person;
}

// One value record whose serial types of its first four fields lie at v.
DelContactValuePtr carveValue(int64_t v, ColumnReader& reader) {
    auto value = std::make_shared<DelContactValue>();
    reader.cursor = 0;
    const int64_t base = v - 4;
    const int32_t owner = reader.numberHead(base, 3, 6, 1);
    value->setRowID(owner == 0 ? 1 : owner);
    value->setValueType(reader.numberHead(base, 3, 6, 2));
    reader.skipOne(base, 3, /*head=*/3);
    reader.skipOne(base, 4, /*head=*/3);
    const std::string_view text = reader.oneHead(base, 3, 6, 5);
    if (!text.empty() && text.size() <= 1023) value->setContactValue(columnText(text));
    return value;
}

// Big-endian 32-bit value of four bytes.
inline uint32_t load32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

void searchPersons(const RawFile* file, int64_t from, int64_t to, ColumnReader& reader, int32_t& counter,
                   std::vector<ContactPtr>& persons) {
    // Where all five anchor bytes lie inside the file (and past offset 0),
    // compare them in place; elsewhere read them with the byte rules.
    const int64_t fastFrom = std::max<int64_t>(from, 1);
    const int64_t fastTo = std::min<int64_t>(to, file->size() - 4);
    const uint8_t* data = file->data();
    int64_t i = from;
    for (; i < fastFrom && i < to; ++i) {
        if (personAnchorAt(file, i)) persons.push_back(carvePerson(file, i, reader, counter));
    }
#if defined(__SSE2__)
    // Sixteen offsets at a time: the first four anchor bytes of either anchor
    // compared at once; the few offsets that pass are checked in full, in
    // increasing order. The loads reach byte i + 18, inside the file.
    const __m128i x0F = _mm_set1_epi8(0x0F), x08 = _mm_set1_epi8(0x08), x04 = _mm_set1_epi8(0x04);
    const __m128i zero = _mm_setzero_si128();
    for (; i + 16 <= fastTo; i += 16) {
        const auto* p = reinterpret_cast<const __m128i*>(data + i);
        const __m128i b0 = _mm_loadu_si128(p);
        const __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + 1));
        const __m128i b2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + 2));
        const __m128i b3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + 3));
        const __m128i sort = _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(b0, x0F), _mm_cmpeq_epi8(b1, x0F)),
                                           _mm_and_si128(_mm_cmpeq_epi8(b2, x08), _mm_cmpeq_epi8(b3, x08)));
        const __m128i link = _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(b0, zero), _mm_cmpeq_epi8(b1, zero)),
                                           _mm_and_si128(_mm_cmpeq_epi8(b2, x04), _mm_cmpeq_epi8(b3, x04)));
        auto bits = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(sort, link)));
        while (bits != 0) {
            const int64_t at = i + __builtin_ctz(bits);
            if (personAnchorAt(file, at)) persons.push_back(carvePerson(file, at, reader, counter));
            bits &= bits - 1;
        }
    }
#endif
    for (; i < fastTo; ++i) {
        const uint32_t w = load32(data + i);
        if (w != 0x0F0F0808u && w != 0x00000404u) continue;
        if (!personAnchorAt(file, i)) continue;
        persons.push_back(carvePerson(file, i, reader, counter));
    }
    for (; i < to; ++i) {
        if (personAnchorAt(file, i)) persons.push_back(carvePerson(file, i, reader, counter));
    }
}

// The first two bytes of every value pattern: 01 01, 01 09, 02 01, 09 01, FF D8.
bool valuePrefix(uint32_t w) {
    const uint32_t top = w >> 16;
    return top == 0x0101u || top == 0x0109u || top == 0x0201u || top == 0x0901u || top == 0xFFD8u;
}

void searchValues(const RawFile* file, int64_t from, int64_t to, ColumnReader& reader,
                  std::vector<DelContactValuePtr>& values) {
    // Downwards from `from` to `to` + 1; in place where the four bytes lie
    // inside the file, with the byte rules elsewhere.
    const int64_t fastHigh = std::min<int64_t>(from, file->size() - 4);  // highest in-place offset
    const int64_t fastLow = std::max<int64_t>(to + 1, 1);
    const uint8_t* data = file->data();
    int64_t v = from;
    for (; v > to && v > fastHigh; --v) {
        if (valueHeaderAt(file, v)) values.push_back(carveValue(v, reader));
    }
#if defined(__SSE2__)
    // Sixteen offsets at a time, the block [v - 15, v]: the first two bytes of
    // every pattern compared at once; the few offsets that pass are checked
    // in full, in decreasing order. The loads reach byte v + 1, inside the file.
    const __m128i x01 = _mm_set1_epi8(0x01), x02 = _mm_set1_epi8(0x02), x09 = _mm_set1_epi8(0x09);
    const __m128i xFF = _mm_set1_epi8(static_cast<char>(0xFF)), xD8 = _mm_set1_epi8(static_cast<char>(0xD8));
    for (; v - 15 >= fastLow; v -= 16) {
        const int64_t low = v - 15;
        const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + low));
        const __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + low + 1));
        const __m128i secondIs01 = _mm_cmpeq_epi8(b1, x01);
        // 01 01, 01 09, 02 01, 09 01, FF D8
        const __m128i firstIs01 = _mm_and_si128(_mm_cmpeq_epi8(b0, x01),
                                                _mm_or_si128(secondIs01, _mm_cmpeq_epi8(b1, x09)));
        const __m128i before01 = _mm_and_si128(_mm_or_si128(_mm_cmpeq_epi8(b0, x02), _mm_cmpeq_epi8(b0, x09)),
                                               secondIs01);
        const __m128i jpeg = _mm_and_si128(_mm_cmpeq_epi8(b0, xFF), _mm_cmpeq_epi8(b1, xD8));
        auto bits = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(firstIs01, before01), jpeg)));
        while (bits != 0) {
            const int top = 31 - __builtin_clz(bits);
            const int64_t at = low + top;
            if (valueHeaderAt(file, at)) values.push_back(carveValue(at, reader));
            bits &= ~(1u << top);
        }
    }
#endif
    for (; v >= fastLow; --v) {
        const uint32_t w = load32(data + v);
        if (!valuePrefix(w)) continue;
        if (!valueHeaderAt(file, v)) continue;
        values.push_back(carveValue(v, reader));
    }
    for (; v > to; --v) {
        if (valueHeaderAt(file, v)) values.push_back(carveValue(v, reader));
    }
}

}  // namespace

int32_t personRowNumberEndingAt(const RawFile* file, int64_t lastByte) {
    const uint8_t last = byteValueAt(file, lastByte);
    if (last >= 0x80) {
        if (byteValueAt(file, lastByte - 1) == 0x81) return getAlterInteger(0x81, last);
        return last;
    }
    return varintEndingAt(file, lastByte);
}

void carveContactPages(const RawFile* file, const PageGeometry& geometry, std::vector<ContactPtr>& persons,
                       std::vector<DelContactValuePtr>& values) {
    const int64_t pageSize = geometry.pageSize;
    if (file == nullptr || pageSize <= 0) return;
    ColumnReader reader(file);
    int32_t counter = 0;
    // Page 0, the one holding the file header, is never visited.
    for (int64_t k = geometry.pageCount; k >= 1; --k) {
        if ((k & 255) == 0 && stopRequested()) return;  // the scan is being stopped
        const int64_t start = k * pageSize;
        const int64_t end = start + pageSize;
        if (getPageType(file, start) != 1) continue;
        const int64_t firstCell = readU16(file, start + 8);
        if (bcheckSubStringIsValidAt(file, start + firstCell + 30, 10, kKindContact, 10) == 1)
            searchPersons(file, start, end, reader, counter, persons);
        if (bcheckSubStringIsValidAt(file, start + firstCell + 4, 8, kKindContact, 8) == 1)
            searchValues(file, end, start, reader, values);
    }
}

DelContactValueIndex::DelContactValueIndex(const std::vector<DelContactValuePtr>& values) : values_(values) {
    if (values.empty()) return;
    std::vector<int32_t> rows(values.size());
    int64_t low = INT32_MAX, high = INT32_MIN;
    for (size_t n = 0; n < values.size(); ++n) {
        rows[n] = values[n]->rowID();
        low = std::min<int64_t>(low, rows[n]);
        high = std::max<int64_t>(high, rows[n]);
    }
    const int64_t span = high - low + 1;
    if (span <= 8 * static_cast<int64_t>(values.size()) + 4096) {
        // A counting sort by row number keeps list order within each row.
        low_ = low;
        start_.assign(static_cast<size_t>(span) + 1, 0);
        for (int32_t r : rows) ++start_[static_cast<size_t>(r - low) + 1];
        for (size_t k = 1; k < start_.size(); ++k) start_[k] += start_[k - 1];
        order_.resize(values.size());
        std::vector<uint32_t> next(start_.begin(), start_.end() - 1);
        for (size_t n = 0; n < values.size(); ++n)
            order_[next[static_cast<size_t>(rows[n] - low)]++] = static_cast<uint32_t>(n);
        return;
    }
    sorted_.reserve(values.size());
    for (size_t n = 0; n < values.size(); ++n) sorted_.emplace_back(rows[n], static_cast<uint32_t>(n));
    std::sort(sorted_.begin(), sorted_.end());
}

void DelContactValueIndex::joinTo(TovContactNode& person) const {
    const int32_t row = person.rowid();
    // The indexes of the row's values, in list order.
    const uint32_t* first = nullptr;
    size_t count = 0;
    std::vector<uint32_t> found;
    if (!start_.empty()) {
        const int64_t at = int64_t{row} - low_;
        if (at < 0 || at + 1 >= static_cast<int64_t>(start_.size())) return;
        first = order_.data() + start_[static_cast<size_t>(at)];
        count = start_[static_cast<size_t>(at) + 1] - start_[static_cast<size_t>(at)];
    } else {
        auto it = std::lower_bound(sorted_.begin(), sorted_.end(), std::make_pair(row, uint32_t{0}));
        for (; it != sorted_.end() && it->first == row; ++it) found.push_back(it->second);
        first = found.data();
        count = found.size();
    }
    if (count == 0) return;
    // Each property is read once, extended value by value ("%@ %@") and
    // written once.
    std::optional<std::string> phone, email, homepage;
    for (size_t k = 0; k < count; ++k) {
        const DelContactValue& value = *values_[first[k]];
        std::optional<std::string>* target = nullptr;
        switch (value.valueType()) {
            case 3:
                target = &phone;
                if (!phone) phone = person.contactPhone();
                break;
            case 4:
                target = &email;
                if (!email) email = person.contactEmail();
                break;
            case 22:
                target = &homepage;
                if (!homepage) homepage = person.contactHomepage();
                break;
            default:
                continue;
        }
        **target += ' ';
        value.contactValueVisit([target](const std::string& text) { **target += text; });
    }
    if (phone) person.setContactPhone(std::move(*phone));
    if (email) person.setContactEmail(std::move(*email));
    if (homepage) person.setContactHomepage(std::move(*homepage));
}

void carveDeletedContacts(const RawFile* file, RecordSink& sink) {
    // A page size of 0 gives no pages. The lists are sized for a record
    // every 256 bytes of the file, so they seldom grow while the walk runs.
    const PageGeometry geometry = pageGeometry(file);
    const auto expected = static_cast<size_t>(std::min<int64_t>(file->size() / 256, int64_t{1} << 20));
    std::vector<ContactPtr> persons;
    std::vector<DelContactValuePtr> values;
    persons.reserve(expected);
    values.reserve(expected);
    carveContactPages(file, geometry, persons, values);
    for (const DelContactValuePtr& value : values) sink.postDelContactValue(value);
    const DelContactValueIndex index(values);
    for (ContactPtr& person : persons) {
        index.joinTo(*person);
        sink.postDelContact(std::move(person));
    }
}

}  // namespace kestrel
