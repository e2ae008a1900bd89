#include "extract/typedstream.h"

#include <cstring>
#include <unordered_map>

namespace kestrel {
namespace {

// Tag bytes of the stream (signed values -128 ... -111).
constexpr uint8_t kTagInt16 = 0x81;
constexpr uint8_t kTagInt32 = 0x82;
constexpr uint8_t kTagFloat = 0x83;
constexpr uint8_t kTagNew = 0x84;
constexpr uint8_t kTagNil = 0x85;
constexpr uint8_t kTagEnd = 0x86;
constexpr int64_t kFirstReference = -110;  // byte 0x92
constexpr int kMaxDepth = 48;
constexpr size_t kMaxValuesPerGroup = 1 << 16;
constexpr size_t kNone = static_cast<size_t>(-1);

// Thrown with a fixed text (and, for an unknown type code, the code), so a
// damaged blob costs no allocation until its reason is asked for.
struct Failure {
    const char* reason;
    bool withCode = false;
    char code = 0;
};

// Every text of a value (byte strings, C strings, selectors, class names,
// type encodings) is a view into the blob.
struct Value {
    enum class Kind { Integer, Real, Bytes, Object, Nil, Text } kind = Kind::Nil;
    int64_t integer = 0;
    double real = 0;
    std::string_view bytes;
    size_t object = 0;  // index into the object table
};

// A value group: its type encoding and its values, values[first, first + count).
struct Group {
    std::string_view type;
    size_t first = 0;
    size_t count = 0;
};

// The object table holds classes, objects and C strings, numbered in order
// of their first appearance. An object's groups are groups[firstGroup,
// firstGroup + groupCount).
struct Entry {
    enum class Kind { Class, Object, CString } kind = Kind::Object;
    std::string_view name;  // class name, or C string text
    int64_t version = 0;
    size_t superclass = kNone;  // for classes
    size_t cls = kNone;         // for objects
    size_t firstGroup = 0;
    size_t groupCount = 0;
};

struct RunAttributes {
    std::string_view guid;
    int part = -1;
};

struct Run {
    int64_t number;
    int64_t length;
};

// The tables of one decoding, kept per thread and cleared (not freed)
// between blobs, so reading body after body allocates nothing. The values of
// a group and the groups of an object are gathered on a stack while nested
// ones are read, then moved to the tables in one piece, so each lies
// contiguous.
struct Workspace {
    std::vector<std::string_view> shared;
    std::vector<Entry> entries;
    std::vector<Value> values;
    std::vector<Group> groups;
    std::vector<Value> valueStack;
    std::vector<Group> groupStack;
    std::vector<Run> runs;
    std::vector<std::pair<int64_t, RunAttributes>> dictionaries;
    std::unordered_map<int64_t, size_t> dictionaryIndex;  // only for many dictionaries

    void clear() {
        shared.clear();
        entries.clear();
        values.clear();
        groups.clear();
        valueStack.clear();
        groupStack.clear();
        runs.clear();
        dictionaries.clear();
        dictionaryIndex.clear();
    }
    // A blob far larger than a message body leaves no large tables behind.
    void trim() {
        constexpr size_t kKeep = 4096;
        if (values.capacity() > kKeep || entries.capacity() > kKeep || groups.capacity() > kKeep ||
            shared.capacity() > kKeep || runs.capacity() > kKeep || valueStack.capacity() > kKeep ||
            groupStack.capacity() > kKeep || dictionaries.capacity() > kKeep) {
            *this = Workspace();
        }
    }
};

class Reader {
public:
    Reader(const uint8_t* data, size_t size, Workspace& work) : data_(data), size_(size), w_(work) {}

    // Header, then the first top-level value group, which must hold one object.
    size_t readRoot() {
        if (byte() != 4) fail("not a typedstream (streamer version is not 4)");
        int64_t length = readInteger(byte());
        if (length != 11 || size_ - pos_ < 11 || std::memcmp(data_ + pos_, "streamtyped", 11) != 0) {
            fail("not a little-endian typedstream");
        }
        pos_ += 11;
        (void)readInteger(byte());  // system version
        Group root = readGroup(0);
        if (root.count != 1 || w_.values[root.first].kind != Value::Kind::Object) {
            fail("the archive does not start with an object");
        }
        return w_.values[root.first].object;
    }

    const Entry& entry(size_t index) const { return w_.entries[index]; }
    const Group& group(size_t index) const { return w_.groups[index]; }
    const Value& value(size_t index) const { return w_.values[index]; }

    // Whether the object's class chain contains a class of that name.
    bool isKindOf(size_t object, std::string_view name) const {
        const Entry& e = w_.entries[object];
        if (e.kind != Entry::Kind::Object || e.cls == kNone) return false;
        size_t cls = e.cls;
        for (int steps = 0; cls != kNone && steps < kMaxDepth; ++steps) {
            const Entry& c = w_.entries[cls];
            if (c.name == name) return true;
            cls = c.superclass;
        }
        return false;
    }

    [[noreturn]] static void fail(const char* reason) { throw Failure{reason}; }
    [[noreturn]] static void fail(const char* reason, char code) { throw Failure{reason, true, code}; }

private:
    uint8_t byte() {
        if (pos_ >= size_) fail("the blob ends early");
        return data_[pos_++];
    }
    uint8_t peek() const {
        if (pos_ >= size_) fail("the blob ends early");
        return data_[pos_];
    }
    uint64_t little(size_t count) {
        if (size_ - pos_ < count) fail("the blob ends early");
        uint64_t value = 0;
        for (size_t i = 0; i < count; ++i) value |= static_cast<uint64_t>(data_[pos_ + i]) << (8 * i);
        pos_ += count;
        return value;
    }
    std::string_view take(size_t count) {
        std::string_view bytes(reinterpret_cast<const char*>(data_ + pos_), count);
        pos_ += count;
        return bytes;
    }

    int64_t readInteger(uint8_t head) {
        if (head == kTagInt16) return static_cast<int16_t>(little(2));
        if (head == kTagInt32) return static_cast<int32_t>(little(4));
        if (head >= 0x80 && head <= 0x91) fail("a tag where an integer belongs");
        return static_cast<int8_t>(head);
    }

    size_t referenceIndex(uint8_t head, size_t tableSize) {
        int64_t number = readInteger(head);
        int64_t index = number - kFirstReference;
        if (index < 0 || static_cast<uint64_t>(index) >= tableSize) fail("a reference to an entry not yet seen");
        return static_cast<size_t>(index);
    }

    // A shared string: new (length and bytes), nil, or a reference.
    std::string_view readSharedText(bool allowNil, bool* isNil = nullptr) {
        uint8_t head = byte();
        if (isNil) *isNil = false;
        if (head == kTagNil) {
            if (!allowNil) fail("nil where a string belongs");
            if (isNil) *isNil = true;
            return std::string_view();
        }
        if (head == kTagNew) {
            int64_t length = readInteger(byte());
            if (length < 0 || static_cast<uint64_t>(length) > size_ - pos_) fail("a string longer than the blob");
            std::string_view text = take(static_cast<size_t>(length));
            w_.shared.push_back(text);
            return text;
        }
        return w_.shared[referenceIndex(head, w_.shared.size())];
    }

    // A class: nil (kNone), a reference, or a new class with its superclass chain.
    size_t readClass(int depth) {
        if (depth > kMaxDepth) fail("class chain too deep");
        uint8_t head = byte();
        if (head == kTagNil) return kNone;
        if (head == kTagNew) {
            Entry c;
            c.kind = Entry::Kind::Class;
            c.name = readSharedText(false);
            c.version = readInteger(byte());
            size_t index = w_.entries.size();
            w_.entries.push_back(c);
            size_t super = readClass(depth + 1);
            w_.entries[index].superclass = super;
            return index;
        }
        size_t index = referenceIndex(head, w_.entries.size());
        if (w_.entries[index].kind != Entry::Kind::Class) fail("a class reference to something else");
        return index;
    }

    // An object value: nil, a reference, or a new object with its groups.
    Value readObject(int depth) {
        if (depth > kMaxDepth) fail("objects nested too deep");
        Value v;
        uint8_t head = byte();
        if (head == kTagNil) return v;
        v.kind = Value::Kind::Object;
        if (head == kTagNew) {
            size_t index = w_.entries.size();
            w_.entries.emplace_back();
            size_t cls = readClass(depth + 1);
            if (cls == kNone) fail("an object without a class");
            w_.entries[index].cls = cls;
            const size_t base = w_.groupStack.size();
            while (peek() != kTagEnd) {
                Group g = readGroup(depth + 1);
                w_.groupStack.push_back(g);
            }
            ++pos_;
            Entry& e = w_.entries[index];
            e.firstGroup = w_.groups.size();
            e.groupCount = w_.groupStack.size() - base;
            w_.groups.insert(w_.groups.end(), w_.groupStack.begin() + static_cast<std::ptrdiff_t>(base),
                             w_.groupStack.end());
            w_.groupStack.resize(base);
            v.object = index;
            return v;
        }
        v.object = referenceIndex(head, w_.entries.size());
        if (w_.entries[v.object].kind != Entry::Kind::Object) fail("an object reference to something else");
        return v;
    }

    Value readCString() {
        Value v;
        uint8_t head = byte();
        if (head == kTagNil) return v;
        v.kind = Value::Kind::Text;
        if (head == kTagNew) {
            Entry s;
            s.kind = Entry::Kind::CString;
            s.name = readSharedText(false);
            v.bytes = s.name;
            w_.entries.push_back(s);
            return v;
        }
        size_t index = referenceIndex(head, w_.entries.size());
        if (w_.entries[index].kind != Entry::Kind::CString) fail("a C-string reference to something else");
        v.bytes = w_.entries[index].name;
        return v;
    }

    // Reads the value of one element of a type encoding starting at `at`,
    // which is moved past the element; the values go on the value stack
    // above `base`, where the current group's values begin.
    void readElement(std::string_view type, size_t& at, size_t base, int depth) {
        if (depth > kMaxDepth) fail("type nested too deep");
        if (at >= type.size()) fail("a type encoding ends early");
        std::vector<Value>& out = w_.valueStack;
        if (out.size() - base > kMaxValuesPerGroup) fail("too many values in one group");
        char c = type[at++];
        Value v;
        switch (c) {
            case '@': {
                Value object = readObject(depth + 1);
                w_.valueStack.push_back(object);
                return;
            }
            case '#': {
                size_t cls = readClass(depth + 1);
                if (cls != kNone) {
                    v.kind = Value::Kind::Object;
                    v.object = cls;
                }
                out.push_back(v);
                return;
            }
            case '*': {
                Value text = readCString();
                w_.valueStack.push_back(text);
                return;
            }
            case ':': {
                bool nil = false;
                v.bytes = readSharedText(true, &nil);
                v.kind = nil ? Value::Kind::Nil : Value::Kind::Text;
                out.push_back(v);
                return;
            }
            case '+': {
                int64_t length = readInteger(byte());
                if (length < 0 || static_cast<uint64_t>(length) > size_ - pos_) fail("a byte string longer than the blob");
                v.kind = Value::Kind::Bytes;
                v.bytes = take(static_cast<size_t>(length));
                out.push_back(v);
                return;
            }
            case 'c': case 'C': case 's': case 'S': case 'i': case 'I':
            case 'l': case 'L': case 'q': case 'Q': case 'B':
                v.kind = Value::Kind::Integer;
                v.integer = readInteger(byte());
                out.push_back(v);
                return;
            case 'f': case 'd': {
                uint8_t head = byte();
                v.kind = Value::Kind::Real;
                if (head == kTagFloat) {
                    if (c == 'f') {
                        auto bits = static_cast<uint32_t>(little(4));
                        float f;
                        std::memcpy(&f, &bits, sizeof f);
                        v.real = f;
                    } else {
                        uint64_t bits = little(8);
                        std::memcpy(&v.real, &bits, sizeof v.real);
                    }
                } else {
                    v.real = static_cast<double>(readInteger(head));
                }
                out.push_back(v);
                return;
            }
            case '[': {
                uint64_t count = 0;
                size_t digits = 0;
                while (at < type.size() && type[at] >= '0' && type[at] <= '9') {
                    count = count * 10 + static_cast<uint64_t>(type[at] - '0');
                    if (count > size_) fail("an array longer than the blob");
                    ++at;
                    ++digits;
                }
                if (digits == 0 || at >= type.size()) fail("a malformed array type");
                if (type[at] == 'c' || type[at] == 'C') {
                    ++at;
                    if (count > size_ - pos_) fail("an array longer than the blob");
                    v.kind = Value::Kind::Bytes;
                    v.bytes = take(static_cast<size_t>(count));
                    out.push_back(v);
                } else {
                    size_t element = at;
                    for (uint64_t i = 0; i < count; ++i) {
                        at = element;
                        readElement(type, at, base, depth + 1);
                    }
                    if (count == 0) skipElement(type, at, depth + 1);
                }
                if (at >= type.size() || type[at] != ']') fail("a malformed array type");
                ++at;
                return;
            }
            case '{': {
                while (at < type.size() && type[at] != '=' && type[at] != '}') ++at;
                if (at < type.size() && type[at] == '=') ++at;
                while (at < type.size() && type[at] != '}') readElement(type, at, base, depth + 1);
                if (at >= type.size()) fail("a malformed structure type");
                ++at;
                return;
            }
            default:
                fail("an unsupported type code", c);
        }
    }

    // Moves past one element of a type encoding without reading values.
    void skipElement(std::string_view type, size_t& at, int depth) {
        if (depth > kMaxDepth || at >= type.size()) fail("a malformed type encoding");
        char c = type[at++];
        if (c == '[') {
            while (at < type.size() && type[at] >= '0' && type[at] <= '9') ++at;
            skipElement(type, at, depth + 1);
            if (at >= type.size() || type[at] != ']') fail("a malformed array type");
            ++at;
        } else if (c == '{') {
            while (at < type.size() && type[at] != '=' && type[at] != '}') ++at;
            if (at < type.size() && type[at] == '=') ++at;
            while (at < type.size() && type[at] != '}') skipElement(type, at, depth + 1);
            if (at >= type.size()) fail("a malformed structure type");
            ++at;
        }
    }

    Group readGroup(int depth) {
        Group g;
        g.type = readSharedText(false);
        if (g.type.empty()) fail("an empty type encoding");
        const size_t base = w_.valueStack.size();
        size_t at = 0;
        while (at < g.type.size()) readElement(g.type, at, base, depth);
        g.first = w_.values.size();
        g.count = w_.valueStack.size() - base;
        w_.values.insert(w_.values.end(), w_.valueStack.begin() + static_cast<std::ptrdiff_t>(base),
                         w_.valueStack.end());
        w_.valueStack.resize(base);
        return g;
    }

    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    Workspace& w_;
};

// The UTF-8 bytes of an NSString object (its first byte-string value).
std::optional<std::string_view> stringOf(const Reader& r, const Value& v) {
    if (v.kind != Value::Kind::Object) return std::nullopt;
    if (!r.isKindOf(v.object, "NSString")) return std::nullopt;
    const Entry& e = r.entry(v.object);
    for (size_t g = e.firstGroup; g < e.firstGroup + e.groupCount; ++g) {
        const Group& group = r.group(g);
        for (size_t k = group.first; k < group.first + group.count; ++k) {
            const Value& x = r.value(k);
            if (x.kind == Value::Kind::Bytes) return x.bytes;
        }
    }
    return std::nullopt;
}

std::optional<int64_t> numberOf(const Reader& r, const Value& v) {
    if (v.kind != Value::Kind::Object || !r.isKindOf(v.object, "NSNumber")) return std::nullopt;
    const Entry& e = r.entry(v.object);
    for (size_t g = e.firstGroup; g < e.firstGroup + e.groupCount; ++g) {
        const Group& group = r.group(g);
        for (size_t k = group.first; k < group.first + group.count; ++k) {
            const Value& x = r.value(k);
            if (x.kind == Value::Kind::Integer) return x.integer;
            if (x.kind == Value::Kind::Real) return static_cast<int64_t>(x.real);
        }
    }
    return std::nullopt;
}

std::string_view attachmentGuidView(std::string_view value) {
    // "at_<part>_<GUID>": digits between the two underscores.
    if (value.size() > 4 && value.substr(0, 3) == "at_") {
        size_t underscore = value.find('_', 3);
        if (underscore != std::string_view::npos && underscore > 3) {
            bool digits = true;
            for (size_t i = 3; i < underscore; ++i) digits = digits && value[i] >= '0' && value[i] <= '9';
            if (digits && underscore + 1 < value.size()) return value.substr(underscore + 1);
        }
    }
    return value;
}

RunAttributes attributesOf(const Reader& r, const Value& dictionary) {
    RunAttributes out;
    if (dictionary.kind != Value::Kind::Object || !r.isKindOf(dictionary.object, "NSDictionary")) {
        Reader::fail("an attribute run without a dictionary");
    }
    // A count group, then one value per key and value, in pairs (a last
    // key without its value is left alone).
    bool counted = false;
    const Value* key = nullptr;
    const Entry& e = r.entry(dictionary.object);
    for (size_t g = e.firstGroup; g < e.firstGroup + e.groupCount; ++g) {
        const Group& group = r.group(g);
        for (size_t k = group.first; k < group.first + group.count; ++k) {
            const Value& x = r.value(k);
            if (!counted && x.kind == Value::Kind::Integer) {
                counted = true;
                continue;
            }
            if (key == nullptr) {
                key = &x;
                continue;
            }
            const Value& item = x;
            std::optional<std::string_view> name = stringOf(r, *key);
            key = nullptr;
            if (!name) continue;
            if (*name == "__kIMFileTransferGUIDAttributeName") {
                if (auto guid = stringOf(r, item)) out.guid = attachmentGuidView(*guid);
            } else if (*name == "__kIMMessagePartAttributeName") {
                if (auto part = numberOf(r, item); part && *part >= 0 && *part <= 1000000) {
                    out.part = static_cast<int>(*part);
                }
            }
        }
    }
    return out;
}

// Length of the UTF-8 sequence at i (validated), 0 when invalid.
size_t utf8Sequence(std::string_view s, size_t i, char32_t* out) {
    auto c = static_cast<unsigned char>(s[i]);
    size_t length;
    char32_t value;
    char32_t minimum;
    if (c < 0x80) {
        *out = c;
        return 1;
    } else if ((c & 0xE0) == 0xC0) {
        length = 2, value = c & 0x1F, minimum = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        length = 3, value = c & 0x0F, minimum = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        length = 4, value = c & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (s.size() - i < length) return 0;
    for (size_t k = 1; k < length; ++k) {
        auto cc = static_cast<unsigned char>(s[i + k]);
        if ((cc & 0xC0) != 0x80) return 0;
        value = (value << 6) | (cc & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    *out = value;
    return length;
}

// The attributes of a dictionary number already read, or nullptr.
const RunAttributes* findDictionary(Workspace& w, int64_t number) {
    constexpr size_t kScanned = 16;  // a message body has one or a few
    if (w.dictionaries.size() <= kScanned) {
        for (const auto& [n, attributes] : w.dictionaries) {
            if (n == number) return &attributes;
        }
        return nullptr;
    }
    auto found = w.dictionaryIndex.find(number);
    return found == w.dictionaryIndex.end() ? nullptr : &w.dictionaries[found->second].second;
}

void addDictionary(Workspace& w, int64_t number, const RunAttributes& attributes) {
    constexpr size_t kScanned = 16;
    w.dictionaries.emplace_back(number, attributes);
    if (w.dictionaries.size() == kScanned + 1) {
        for (size_t i = 0; i < w.dictionaries.size(); ++i) w.dictionaryIndex.emplace(w.dictionaries[i].first, i);
    } else if (w.dictionaries.size() > kScanned + 1) {
        w.dictionaryIndex.emplace(number, w.dictionaries.size() - 1);
    }
}

// Checks the attributed string around the root object and gives its text;
// with `markers`, also the attachment marker of each U+FFFC character.
AttributedTextView interpret(const Reader& r, Workspace& w, size_t root, std::vector<AttachmentMarker>* markers) {
    if (!r.isKindOf(root, "NSAttributedString")) Reader::fail("the archived object is not an attributed string");
    const Entry& rootEntry = r.entry(root);
    const size_t groupCount = rootEntry.groupCount;
    auto groupAt = [&r, &rootEntry](size_t i) -> const Group& { return r.group(rootEntry.firstGroup + i); };
    if (groupCount == 0 || groupAt(0).count != 1) Reader::fail("the attributed string has no string");
    std::optional<std::string_view> text = stringOf(r, r.value(groupAt(0).first));
    if (!text) Reader::fail("the attributed string has no string");

    // Attribute runs: (dictionary number, length in UTF-16 units); the first
    // use of a number is followed by its dictionary.
    for (size_t i = 1; i < groupCount; ++i) {
        const Group& g = groupAt(i);
        if (g.count != 2 || r.value(g.first).kind != Value::Kind::Integer ||
            r.value(g.first + 1).kind != Value::Kind::Integer) {
            Reader::fail("a malformed attribute run");
        }
        Run run{r.value(g.first).integer, r.value(g.first + 1).integer};
        if (run.length < 0) Reader::fail("an attribute run of negative length");
        if (findDictionary(w, run.number) == nullptr) {
            if (i + 1 >= groupCount || groupAt(i + 1).count != 1) {
                Reader::fail("an attribute run without its dictionary");
            }
            addDictionary(w, run.number, attributesOf(r, r.value(groupAt(i + 1).first)));
            ++i;
        }
        w.runs.push_back(run);
    }

    AttributedTextView out;
    out.text = *text;
    const std::string_view s = out.text;
    size_t runIndex = 0;
    int64_t runEnd = w.runs.empty() ? 0 : w.runs[0].length;
    size_t utf16 = 0;
    for (size_t i = 0; i < s.size();) {
        if (markers == nullptr && static_cast<unsigned char>(s[i]) < 0x80) {
            ++i;
            continue;
        }
        char32_t c;
        size_t n = utf8Sequence(s, i, &c);
        if (n == 0) Reader::fail("the string is not valid UTF-8");
        if (c == 0xFFFC) ++out.markers;
        if (markers != nullptr) {
            while (runIndex < w.runs.size() && static_cast<int64_t>(utf16) >= runEnd) {
                ++runIndex;
                if (runIndex < w.runs.size()) runEnd += w.runs[runIndex].length;
            }
            if (c == 0xFFFC) {
                AttachmentMarker marker;
                marker.byteOffset = i;
                marker.utf16Offset = utf16;
                if (runIndex < w.runs.size()) {
                    const RunAttributes* a = findDictionary(w, w.runs[runIndex].number);
                    marker.guid = std::string(a->guid);
                    marker.part = a->part;
                }
                markers->push_back(std::move(marker));
            }
            utf16 += c >= 0x10000 ? 2 : 1;
        }
        i += n;
    }
    return out;
}

// The two archives a plain text message of one part is stored as: the
// bytes before its text, between its text and its run length, and between
// the run length and the part number; the system version, the text's length,
// the run length and the part number are the only numbers that differ. The
// first is the archive of an NSMutableAttributedString (as devices write
// it), the second of an NSAttributedString. A blob that begins with one of
// them reads exactly as the general reader would read it: the string, one
// run, a dictionary of the part number, and the ends of the three objects.
struct PlainShape {
    std::string_view beforeText;
    std::string_view afterRun;
};
using namespace std::string_view_literals;
constexpr std::string_view kHeader = "\x04\x0bstreamtyped"sv;
constexpr std::string_view kBeforeRun = "\x86\x84\x02iI\x01"sv;
constexpr std::string_view kObjectEnds = "\x86\x86\x86"sv;
constexpr PlainShape kPlainShapes[] = {
    {"\x84\x01@\x84\x84\x84\x19NSMutableAttributedString\x00\x84\x84\x12NSAttributedString\x00\x84\x84\x08"
     "NSObject\x00\x85\x92\x84\x84\x84\x0fNSMutableString\x01\x84\x84\x08NSString\x01\x95\x84\x01+"sv,
     "\x92\x84\x84\x84\x0cNSDictionary\x00\x95\x84\x01i\x01\x92\x84\x98\x98\x1d__kIMMessagePartAttributeName"
     "\x86\x92\x84\x84\x84\x08NSNumber\x00\x84\x84\x07NSValue\x00\x95\x84\x01*\x84\x9b\x9b"sv},
    {"\x84\x01@\x84\x84\x84\x12NSAttributedString\x00\x84\x84\x08NSObject\x00\x85\x92\x84\x84\x84\x08"
     "NSString\x01\x94\x84\x01+"sv,
     "\x92\x84\x84\x84\x0cNSDictionary\x00\x94\x84\x01i\x01\x92\x84\x96\x96\x1d__kIMMessagePartAttributeName"
     "\x86\x92\x84\x84\x84\x08NSNumber\x00\x84\x84\x07NSValue\x00\x94\x84\x01*\x84\x99\x99"sv},
};

// Matches a blob against the plain shapes, reading numbers as the general
// reader does; any difference leaves the blob to the general reader.
class PlainMatcher {
public:
    PlainMatcher(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool literal(std::string_view bytes) {
        if (size_ - pos_ < bytes.size() || std::memcmp(data_ + pos_, bytes.data(), bytes.size()) != 0) return false;
        pos_ += bytes.size();
        return true;
    }
    bool integer(int64_t& value) {
        if (pos_ >= size_) return false;
        const uint8_t head = data_[pos_];
        if (head == kTagInt16 || head == kTagInt32) {
            const size_t count = head == kTagInt16 ? 2 : 4;
            if (size_ - pos_ - 1 < count) return false;
            uint32_t bits = 0;
            for (size_t i = 0; i < count; ++i) bits |= static_cast<uint32_t>(data_[pos_ + 1 + i]) << (8 * i);
            value = count == 2 ? static_cast<int16_t>(bits) : static_cast<int32_t>(bits);
            pos_ += 1 + count;
            return true;
        }
        if (head >= 0x80 && head <= 0x91) return false;
        value = static_cast<int8_t>(head);
        ++pos_;
        return true;
    }
    bool text(std::string_view& out) {
        int64_t length = 0;
        if (!integer(length) || length < 0 || static_cast<uint64_t>(length) > size_ - pos_) return false;
        out = std::string_view(reinterpret_cast<const char*>(data_ + pos_), static_cast<size_t>(length));
        pos_ += static_cast<size_t>(length);
        return true;
    }
    size_t position() const { return pos_; }
    void rewind(size_t position) { pos_ = position; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// The text of a blob of one of the plain shapes (not yet checked as UTF-8).
std::optional<std::string_view> plainText(const uint8_t* data, size_t size) {
    PlainMatcher m(data, size);
    int64_t number = 0;
    if (!m.literal(kHeader) || !m.integer(number)) return std::nullopt;
    const size_t afterHeader = m.position();
    for (const PlainShape& shape : kPlainShapes) {
        m.rewind(afterHeader);
        std::string_view text;
        int64_t runLength = 0;
        if (m.literal(shape.beforeText) && m.text(text) && m.literal(kBeforeRun) && m.integer(runLength) &&
            runLength >= 0 && m.literal(shape.afterRun) && m.integer(number) && m.literal(kObjectEnds)) {
            return text;
        }
    }
    return std::nullopt;
}

// Checks the text as UTF-8 and counts its U+FFFC characters.
std::optional<size_t> markersIn(std::string_view s) {
    size_t markers = 0;
    for (size_t i = 0; i < s.size();) {
        if (static_cast<unsigned char>(s[i]) < 0x80) {
            ++i;
            continue;
        }
        char32_t c;
        size_t n = utf8Sequence(s, i, &c);
        if (n == 0) return std::nullopt;
        if (c == 0xFFFC) ++markers;
        i += n;
    }
    return markers;
}

Workspace& workspace() {
    thread_local Workspace work;
    return work;
}

// Decodes into the calling thread's workspace; the view and markers are
// valid until its next use.
std::optional<AttributedTextView> decode(const uint8_t* data, size_t size, std::string* reason,
                                         std::vector<AttachmentMarker>* markers) {
    if (reason) reason->clear();
    if (data == nullptr || size == 0) {
        if (reason) *reason = "empty blob";
        return std::nullopt;
    }
    Workspace& w = workspace();
    w.clear();
    std::optional<AttributedTextView> out;
    try {
        Reader r(data, size, w);
        size_t root = r.readRoot();
        out = interpret(r, w, root, markers);
    } catch (const Failure& f) {
        if (reason) {
            *reason = f.reason;
            if (f.withCode) {
                *reason += " '";
                *reason += f.code;
                *reason += "'";
            }
        }
    } catch (const std::bad_alloc&) {
        if (reason) *reason = "out of memory";
    }
    w.trim();
    return out;
}

void appendMarkerText(std::string& out, const std::string& name) {
    if (name.empty()) {
        out += "[attachment]";
    } else {
        out += "[attachment: ";
        out += name;
        out += "]";
    }
}

}  // namespace

std::optional<AttributedTextView> viewAttributedBody(const uint8_t* data, size_t size, std::string* reason) {
    if (data != nullptr) {
        if (std::optional<std::string_view> text = plainText(data, size)) {
            if (std::optional<size_t> markers = markersIn(*text)) {
                if (reason) reason->clear();
                return AttributedTextView{*text, *markers};
            }
        }
    }
    return decode(data, size, reason, nullptr);
}

std::optional<AttributedText> decodeAttributedBody(const uint8_t* data, size_t size, std::string* reason) {
    try {
        std::vector<AttachmentMarker> markers;
        std::optional<AttributedTextView> view = decode(data, size, reason, &markers);
        if (!view) return std::nullopt;
        AttributedText out;
        out.text = std::string(view->text);
        out.attachments = std::move(markers);
        return out;
    } catch (const std::bad_alloc&) {
        if (reason) *reason = "out of memory";
    }
    return std::nullopt;
}

std::string attachmentGuidFromAttribute(std::string_view value) { return std::string(attachmentGuidView(value)); }

std::string describeAttachments(const AttributedText& body,
                                const std::function<std::string(const std::string& guid, size_t index)>& nameOf) {
    std::string out;
    size_t from = 0;
    for (size_t k = 0; k < body.attachments.size(); ++k) {
        const AttachmentMarker& m = body.attachments[k];
        if (m.byteOffset < from || m.byteOffset + 3 > body.text.size()) continue;
        out.append(body.text, from, m.byteOffset - from);
        appendMarkerText(out, nameOf ? nameOf(m.guid, k) : std::string());
        from = m.byteOffset + 3;
    }
    out.append(body.text, from, std::string::npos);
    return out;
}

std::string describeAttachments(std::string_view text, const std::vector<std::string>& names) {
    static constexpr std::string_view kMarker = "\xEF\xBF\xBC";
    std::string out;
    size_t from = 0;
    size_t index = 0;
    for (size_t at = text.find(kMarker); at != std::string_view::npos; at = text.find(kMarker, from)) {
        out.append(text.substr(from, at - from));
        appendMarkerText(out, index < names.size() ? names[index] : std::string());
        ++index;
        from = at + kMarker.size();
    }
    out.append(text.substr(from));
    return out;
}

}  // namespace kestrel
