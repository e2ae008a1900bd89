#include "extract/message_summary.h"

#include <plist/plist.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/plist_depth.h"

namespace kestrel {
namespace {

// ---- A bounded reader of binary property lists ----
//
// Just what the summary needs: dictionaries looked up by key, arrays, data,
// integers and reals, read in place. Every offset, length and reference is
// checked against the blob before it is used; nothing is parsed that the
// summary does not ask for, nothing is allocated, and nothing recurses.
class BinaryPlist {
public:
    // The type nibbles of the object markers.
    enum Type : uint8_t {
        kSimple = 0x0, kInt = 0x1, kReal = 0x2, kDate = 0x3, kData = 0x4, kAscii = 0x5, kUtf16 = 0x6,
        kUid = 0x8, kArray = 0xA, kSet = 0xC, kDict = 0xD,
    };

    struct Object {
        uint8_t type = 0;
        uint64_t count = 0;  // bytes of data/ASCII, code units of UTF-16, entries of array/dict
        size_t start = 0;    // where the content begins
        uint8_t info = 0;    // the marker's low nibble
    };

    bool open(const uint8_t* data, size_t size) {
        constexpr size_t kHeader = 8, kTrailer = 32;
        if (data == nullptr || size < kHeader + kTrailer + 1 || std::memcmp(data, "bplist00", 8) != 0) return false;
        data_ = data;
        size_ = size;
        const uint8_t* trailer = data + size - kTrailer;
        offsetSize_ = trailer[6];
        refSize_ = trailer[7];
        objects_ = bigEndian(trailer + 8, 8);
        root_ = bigEndian(trailer + 16, 8);
        const uint64_t table = bigEndian(trailer + 24, 8);
        end_ = size - kTrailer;
        if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) return false;
        if (objects_ == 0 || root_ >= objects_ || table < kHeader || table >= end_) return false;
        // The offset table lies between the objects and the trailer.
        if (objects_ > (end_ - table) / offsetSize_) return false;
        table_ = static_cast<size_t>(table);
        return true;
    }

    std::optional<Object> root() const { return object(root_); }

    // The object a reference names, its marker and length checked.
    std::optional<Object> object(uint64_t ref) const {
        if (ref >= objects_) return std::nullopt;
        const uint64_t offset = bigEndian(data_ + table_ + static_cast<size_t>(ref) * offsetSize_, offsetSize_);
        if (offset < 8 || offset >= table_) return std::nullopt;
        Object o;
        size_t at = static_cast<size_t>(offset);
        const uint8_t marker = data_[at++];
        o.type = static_cast<uint8_t>(marker >> 4);
        o.info = static_cast<uint8_t>(marker & 0x0F);
        switch (o.type) {
            case kInt:
            case kReal:
                if (o.info > 4) return std::nullopt;
                o.count = uint64_t{1} << o.info;
                break;
            case kDate:
                if (o.info != 3) return std::nullopt;
                o.count = 8;
                break;
            case kUid:
                o.count = uint64_t{o.info} + 1;
                break;
            case kData:
            case kAscii:
            case kUtf16:
            case kArray:
            case kSet:
            case kDict:
                if (o.info != 0x0F) {
                    o.count = o.info;
                } else {
                    // The length follows as an integer object.
                    if (at >= table_) return std::nullopt;
                    const uint8_t lengthMarker = data_[at++];
                    if ((lengthMarker >> 4) != kInt || (lengthMarker & 0x0F) > 3) return std::nullopt;
                    const size_t bytes = size_t{1} << (lengthMarker & 0x0F);
                    if (bytes > table_ - at) return std::nullopt;
                    o.count = bigEndian(data_ + at, bytes);
                    at += bytes;
                }
                break;
            default:
                o.count = 0;
                break;
        }
        o.start = at;
        // The content must lie before the offset table.
        if (contentBytes(o) > table_ - at) return std::nullopt;
        return o;
    }

    // The index-th reference of an array (or, for a dictionary, of its keys
    // and then its values).
    std::optional<uint64_t> reference(const Object& container, uint64_t index) const {
        const uint64_t slots = container.type == kDict ? container.count * 2 : container.count;
        if (index >= slots) return std::nullopt;
        return bigEndian(data_ + container.start + static_cast<size_t>(index) * refSize_, refSize_);
    }

    // The characters of a key object, compared as C strings are: up to the
    // first zero character. Calls `each` with every character; stops when it
    // returns false. False when the object is no string.
    template <typename F>
    bool keyCharacters(uint64_t ref, F&& each) const {
        std::optional<Object> o = object(ref);
        if (!o) return false;
        if (o->type == kAscii) {
            for (uint64_t i = 0; i < o->count; ++i) {
                const uint32_t c = data_[o->start + i];
                if (c == 0 || !each(c)) break;
            }
            return true;
        }
        if (o->type == kUtf16) {
            for (uint64_t i = 0; i < o->count; ++i) {
                const uint32_t c = (uint32_t{data_[o->start + 2 * i]} << 8) | data_[o->start + 2 * i + 1];
                if (c == 0 || !each(c)) break;
            }
            return true;
        }
        return false;
    }

    // Whether the key object reads as `key`.
    bool keyIs(uint64_t ref, std::string_view key) const {
        size_t matched = 0;
        bool same = true;
        const bool isString = keyCharacters(ref, [&](uint32_t c) {
            same = matched < key.size() && static_cast<uint8_t>(key[matched]) == c;
            ++matched;
            return same;
        });
        return isString && same && matched == key.size();
    }

    // The number a key names when it is written as a part number is ("0",
    // "1", ... without leading zeros), if below `limit`.
    std::optional<uint32_t> partNumber(uint64_t ref, uint32_t limit) const {
        uint64_t value = 0;
        size_t digits = 0;
        bool valid = true;
        const bool isString = keyCharacters(ref, [&](uint32_t c) {
            valid = c >= '0' && c <= '9' && !(digits == 1 && value == 0) && value < limit;
            value = value * 10 + (c - '0');
            ++digits;
            return valid;
        });
        if (!isString || !valid || digits == 0 || value >= limit) return std::nullopt;
        return static_cast<uint32_t>(value);
    }

    // Each key looked at costs one unit of a budget that no real summary
    // comes near, so that a blob whose containers share one huge dictionary
    // cannot make the reading take long. False once it is spent.
    bool spend() const {
        if (budget_ == 0) return false;
        --budget_;
        return true;
    }
    bool exhausted() const { return budget_ == 0; }

    // The value of the first entry whose key is `key`.
    std::optional<Object> value(const Object& dict, std::string_view key) const {
        if (dict.type != kDict) return std::nullopt;
        for (uint64_t i = 0; i < dict.count && spend(); ++i) {
            std::optional<uint64_t> keyRef = reference(dict, i);
            if (keyRef && keyIs(*keyRef, key)) {
                std::optional<uint64_t> valueRef = reference(dict, dict.count + i);
                return valueRef ? object(*valueRef) : std::nullopt;
            }
        }
        return std::nullopt;
    }

    std::string_view bytes(const Object& o) const {
        return std::string_view(reinterpret_cast<const char*>(data_ + o.start), static_cast<size_t>(o.count));
    }

    // An integer as an unsigned 64-bit value (the last eight bytes of a
    // 16-byte one), or a real; other objects give 0.
    double number(const Object& o) const {
        if (o.type == kInt) {
            const size_t n = static_cast<size_t>(o.count);
            return static_cast<double>(bigEndian(data_ + o.start + (n > 8 ? n - 8 : 0), n > 8 ? 8 : n));
        }
        if (o.type == kReal && o.count == 8) {
            const uint64_t bits = bigEndian(data_ + o.start, 8);
            double value;
            std::memcpy(&value, &bits, sizeof value);
            return value;
        }
        if (o.type == kReal && o.count == 4) {
            const auto bits = static_cast<uint32_t>(bigEndian(data_ + o.start, 4));
            float value;
            std::memcpy(&value, &bits, sizeof value);
            return static_cast<double>(value);
        }
        return 0;
    }

private:
    static uint64_t bigEndian(const uint8_t* p, size_t n) {
        uint64_t value = 0;
        for (size_t i = 0; i < n; ++i) value = (value << 8) | p[i];
        return value;
    }

    // Bytes of content after the marker (and its length), the references of
    // a container included; more than the blob can hold when it overflows.
    uint64_t contentBytes(const Object& o) const {
        const uint64_t tooMany = std::numeric_limits<uint64_t>::max();
        switch (o.type) {
            case kInt:
            case kReal:
            case kDate:
            case kUid:
            case kData:
            case kAscii:
                return o.count;
            case kUtf16:
                return o.count > tooMany / 2 ? tooMany : o.count * 2;
            case kArray:
            case kSet:
                return o.count > tooMany / refSize_ ? tooMany : o.count * refSize_;
            case kDict:
                return o.count > tooMany / (2u * refSize_) ? tooMany : o.count * 2u * refSize_;
            default:
                return 0;
        }
    }

    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t end_ = 0;
    size_t table_ = 0;
    uint8_t offsetSize_ = 0;
    uint8_t refSize_ = 0;
    uint64_t objects_ = 0;
    uint64_t root_ = 0;
    mutable uint64_t budget_ = uint64_t{1} << 22;
};

constexpr uint32_t kMaxParts = 4096;

}  // namespace

MessageSummary readMessageSummary(const uint8_t* data, size_t size) {
    MessageSummary summary;
    BinaryPlist plist;
    if (!plist.open(data, size)) return summary;
    std::optional<BinaryPlist::Object> root = plist.root();
    if (!root || root->type != BinaryPlist::kDict) return summary;

    std::optional<BinaryPlist::Object> retracted = plist.value(*root, "rp");
    if (retracted && retracted->type == BinaryPlist::kArray && retracted->count > 0) summary.hasRetractedParts = true;

    std::optional<BinaryPlist::Object> history = plist.value(*root, "ec");
    if (!history || history->type != BinaryPlist::kDict) return plist.exhausted() ? MessageSummary{} : summary;
    // Parts are numbered from 0 ("0", "1", ...), as many as the history has
    // entries; the first entry of each part counts.
    const auto parts = static_cast<uint32_t>(std::min<uint64_t>(history->count, kMaxParts));
    std::array<uint64_t, kMaxParts> partEntry;  // entry index + 1, 0 for none
    std::fill_n(partEntry.begin(), parts, 0);
    for (uint64_t i = 0; i < history->count && plist.spend(); ++i) {
        std::optional<uint64_t> keyRef = plist.reference(*history, i);
        std::optional<uint32_t> part = keyRef ? plist.partNumber(*keyRef, parts) : std::nullopt;
        if (part && partEntry[*part] == 0) partEntry[*part] = i + 1;
    }
    for (uint32_t part = 0; part < parts; ++part) {
        if (partEntry[part] == 0) continue;
        std::optional<uint64_t> ref = plist.reference(*history, history->count + partEntry[part] - 1);
        std::optional<BinaryPlist::Object> versions = ref ? plist.object(*ref) : std::nullopt;
        if (!versions || versions->type != BinaryPlist::kArray) continue;
        const uint64_t count = versions->count;
        if (count > 0) summary.hasEditHistory = true;
        // The last entry is the current text, kept in attributedBody too.
        for (uint64_t i = 0; i + 1 < count && !plist.exhausted(); ++i) {
            std::optional<uint64_t> entryRef = plist.reference(*versions, i);
            std::optional<BinaryPlist::Object> entry = entryRef ? plist.object(*entryRef) : std::nullopt;
            if (!entry || entry->type != BinaryPlist::kDict) continue;
            std::optional<BinaryPlist::Object> text = plist.value(*entry, "t");
            if (!text || text->type != BinaryPlist::kData) continue;
            MessageVersion version;
            version.part = static_cast<int>(part);
            version.body.assign(plist.bytes(*text));
            if (std::optional<BinaryPlist::Object> date = plist.value(*entry, "d")) {
                version.secondsSince2001 = plist.number(*date);
            }
            summary.earlierVersions.push_back(std::move(version));
        }
    }
    // A blob built to make the reading long gives nothing.
    if (plist.exhausted()) return MessageSummary{};
    return summary;
}

namespace {

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};

double realOf(plist_t node) {
    if (node == nullptr) return 0;
    if (plist_get_node_type(node) == PLIST_REAL) {
        double value = 0;
        plist_get_real_val(node, &value);
        return value;
    }
    if (plist_get_node_type(node) == PLIST_UINT) {
        uint64_t value = 0;
        plist_get_uint_val(node, &value);
        return static_cast<double>(value);
    }
    return 0;
}

}  // namespace

MessageSummary readMessageSummaryWithLibplist(const uint8_t* data, size_t size) {
    MessageSummary summary;
    if (data == nullptr || size < 8 || size > std::numeric_limits<uint32_t>::max()) return summary;
    // The library parses nested containers by recursion.
    if (!plistNestingWithin(std::string_view(reinterpret_cast<const char*>(data), size))) return summary;
    plist_t parsed = nullptr;
    plist_from_bin(reinterpret_cast<const char*>(data), static_cast<uint32_t>(size), &parsed);
    std::unique_ptr<void, PlistFree> root(parsed);
    if (!root || plist_get_node_type(parsed) != PLIST_DICT) return summary;

    plist_t retracted = plist_dict_get_item(parsed, "rp");
    if (retracted != nullptr && plist_get_node_type(retracted) == PLIST_ARRAY && plist_array_get_size(retracted) > 0) {
        summary.hasRetractedParts = true;
    }

    plist_t history = plist_dict_get_item(parsed, "ec");
    if (history == nullptr || plist_get_node_type(history) != PLIST_DICT) return summary;
    // Looked up by name rather than walked: libplist's walk aborts on a key
    // with a zero byte inside.
    const uint32_t parts = plist_dict_get_size(history);
    for (uint32_t part = 0; part < parts && part < 4096; ++part) {
        plist_t versions = plist_dict_get_item(history, std::to_string(part).c_str());
        if (versions == nullptr || plist_get_node_type(versions) != PLIST_ARRAY) continue;
        const uint32_t count = plist_array_get_size(versions);
        if (count > 0) summary.hasEditHistory = true;
        for (uint32_t i = 0; i + 1 < count; ++i) {
            plist_t entry = plist_array_get_item(versions, i);
            if (entry == nullptr || plist_get_node_type(entry) != PLIST_DICT) continue;
            plist_t text = plist_dict_get_item(entry, "t");
            if (text == nullptr || plist_get_node_type(text) != PLIST_DATA) continue;
            uint64_t length = 0;
            const char* bytes = plist_get_data_ptr(text, &length);
            MessageVersion version;
            version.part = static_cast<int>(part);
            if (bytes != nullptr) version.body.assign(bytes, static_cast<size_t>(length));
            version.secondsSince2001 = realOf(plist_dict_get_item(entry, "d"));
            summary.earlierVersions.push_back(std::move(version));
        }
    }
    return summary;
}

}  // namespace kestrel
