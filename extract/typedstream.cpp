#include "extract/typedstream.h"

#include <cstring>
#include <map>
#include <memory>
#include <set>

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

struct Failure {
    std::string reason;
};

struct Value {
    enum class Kind { Integer, Real, Bytes, Object, Nil, Text } kind = Kind::Nil;
    int64_t integer = 0;
    double real = 0;
    std::string bytes;  // byte strings, C strings, selectors
    size_t object = 0;  // index into the object table
};

struct Group {
    std::string type;
    std::vector<Value> values;
};

// The object table holds classes, objects and C strings, numbered in order
// of their first appearance.
struct Entry {
    enum class Kind { Class, Object, CString } kind = Kind::Object;
    std::string name;  // class name, or C string text
    int64_t version = 0;
    std::optional<size_t> superclass;  // for classes
    std::optional<size_t> cls;         // for objects
    std::vector<Group> groups;         // for objects
};

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {
        // A message body holds a dozen or two of each: one allocation each.
        shared_.reserve(16);
        entries_.reserve(32);
    }

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
        if (root.values.size() != 1 || root.values[0].kind != Value::Kind::Object) {
            fail("the archive does not start with an object");
        }
        return root.values[0].object;
    }

    const Entry& entry(size_t index) const { return entries_[index]; }

    // Whether the object's class chain contains a class of that name.
    bool isKindOf(size_t object, std::string_view name) const {
        const Entry& e = entries_[object];
        if (e.kind != Entry::Kind::Object || !e.cls) return false;
        std::optional<size_t> cls = e.cls;
        for (int steps = 0; cls && steps < kMaxDepth; ++steps) {
            const Entry& c = entries_[*cls];
            if (c.name == name) return true;
            cls = c.superclass;
        }
        return false;
    }

    [[noreturn]] static void fail(std::string reason) { throw Failure{std::move(reason)}; }

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
    std::string readSharedText(bool allowNil, bool* isNil = nullptr) {
        uint8_t head = byte();
        if (isNil) *isNil = false;
        if (head == kTagNil) {
            if (!allowNil) fail("nil where a string belongs");
            if (isNil) *isNil = true;
            return std::string();
        }
        if (head == kTagNew) {
            int64_t length = readInteger(byte());
            if (length < 0 || static_cast<uint64_t>(length) > size_ - pos_) fail("a string longer than the blob");
            std::string text(reinterpret_cast<const char*>(data_ + pos_), static_cast<size_t>(length));
            pos_ += static_cast<size_t>(length);
            shared_.push_back(text);
            return text;
        }
        return shared_[referenceIndex(head, shared_.size())];
    }

    std::optional<size_t> readClass(int depth) {
        if (depth > kMaxDepth) fail("class chain too deep");
        uint8_t head = byte();
        if (head == kTagNil) return std::nullopt;
        if (head == kTagNew) {
            Entry c;
            c.kind = Entry::Kind::Class;
            c.name = readSharedText(false);
            c.version = readInteger(byte());
            size_t index = entries_.size();
            entries_.push_back(std::move(c));
            std::optional<size_t> super = readClass(depth + 1);
            entries_[index].superclass = super;
            return index;
        }
        size_t index = referenceIndex(head, entries_.size());
        if (entries_[index].kind != Entry::Kind::Class) fail("a class reference to something else");
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
            size_t index = entries_.size();
            entries_.emplace_back();
            std::optional<size_t> cls = readClass(depth + 1);
            if (!cls) fail("an object without a class");
            entries_[index].cls = cls;
            std::vector<Group> groups;
            groups.reserve(4);
            while (peek() != kTagEnd) groups.push_back(readGroup(depth + 1));
            ++pos_;
            entries_[index].groups = std::move(groups);
            v.object = index;
            return v;
        }
        v.object = referenceIndex(head, entries_.size());
        if (entries_[v.object].kind != Entry::Kind::Object) fail("an object reference to something else");
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
            entries_.push_back(std::move(s));
            return v;
        }
        size_t index = referenceIndex(head, entries_.size());
        if (entries_[index].kind != Entry::Kind::CString) fail("a C-string reference to something else");
        v.bytes = entries_[index].name;
        return v;
    }

    // Reads the value of one element of a type encoding starting at `at`,
    // which is moved past the element.
    void readElement(const std::string& type, size_t& at, std::vector<Value>& out, int depth) {
        if (depth > kMaxDepth) fail("type nested too deep");
        if (at >= type.size()) fail("a type encoding ends early");
        if (out.size() > kMaxValuesPerGroup) fail("too many values in one group");
        char c = type[at++];
        Value v;
        switch (c) {
            case '@':
                out.push_back(readObject(depth + 1));
                return;
            case '#': {
                std::optional<size_t> cls = readClass(depth + 1);
                if (cls) {
                    v.kind = Value::Kind::Object;
                    v.object = *cls;
                }
                out.push_back(v);
                return;
            }
            case '*':
                out.push_back(readCString());
                return;
            case ':': {
                bool nil = false;
                v.bytes = readSharedText(true, &nil);
                v.kind = nil ? Value::Kind::Nil : Value::Kind::Text;
                out.push_back(std::move(v));
                return;
            }
            case '+': {
                int64_t length = readInteger(byte());
                if (length < 0 || static_cast<uint64_t>(length) > size_ - pos_) fail("a byte string longer than the blob");
                v.kind = Value::Kind::Bytes;
                v.bytes.assign(reinterpret_cast<const char*>(data_ + pos_), static_cast<size_t>(length));
                pos_ += static_cast<size_t>(length);
                out.push_back(std::move(v));
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
                    v.bytes.assign(reinterpret_cast<const char*>(data_ + pos_), static_cast<size_t>(count));
                    pos_ += static_cast<size_t>(count);
                    out.push_back(std::move(v));
                } else {
                    size_t element = at;
                    for (uint64_t i = 0; i < count; ++i) {
                        at = element;
                        readElement(type, at, out, depth + 1);
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
                while (at < type.size() && type[at] != '}') readElement(type, at, out, depth + 1);
                if (at >= type.size()) fail("a malformed structure type");
                ++at;
                return;
            }
            default:
                fail(std::string("an unsupported type code '") + c + "'");
        }
    }

    // Moves past one element of a type encoding without reading values.
    void skipElement(const std::string& type, size_t& at, int depth) {
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
        g.values.reserve(g.type.size());  // about one value per type character
        size_t at = 0;
        while (at < g.type.size()) readElement(g.type, at, g.values, depth);
        return g;
    }

    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    std::vector<std::string> shared_;
    std::vector<Entry> entries_;
};

// The UTF-8 bytes of an NSString object (its first byte-string value).
std::optional<std::string> stringOf(const Reader& r, const Value& v) {
    if (v.kind != Value::Kind::Object) return std::nullopt;
    if (!r.isKindOf(v.object, "NSString")) return std::nullopt;
    for (const Group& g : r.entry(v.object).groups) {
        for (const Value& x : g.values) {
            if (x.kind == Value::Kind::Bytes) return x.bytes;
        }
    }
    return std::nullopt;
}

std::optional<int64_t> numberOf(const Reader& r, const Value& v) {
    if (v.kind != Value::Kind::Object || !r.isKindOf(v.object, "NSNumber")) return std::nullopt;
    for (const Group& g : r.entry(v.object).groups) {
        for (const Value& x : g.values) {
            if (x.kind == Value::Kind::Integer) return x.integer;
            if (x.kind == Value::Kind::Real) return static_cast<int64_t>(x.real);
        }
    }
    return std::nullopt;
}

struct RunAttributes {
    std::string guid;
    int part = -1;
};

RunAttributes attributesOf(const Reader& r, const Value& dictionary) {
    RunAttributes out;
    if (dictionary.kind != Value::Kind::Object || !r.isKindOf(dictionary.object, "NSDictionary")) {
        Reader::fail("an attribute run without a dictionary");
    }
    // A count group, then one value per key and value, in pairs.
    std::vector<const Value*> items;
    bool counted = false;
    for (const Group& g : r.entry(dictionary.object).groups) {
        for (const Value& x : g.values) {
            if (!counted && x.kind == Value::Kind::Integer) {
                counted = true;
                continue;
            }
            items.push_back(&x);
        }
    }
    for (size_t i = 0; i + 1 < items.size(); i += 2) {
        std::optional<std::string> key = stringOf(r, *items[i]);
        if (!key) continue;
        if (*key == "__kIMFileTransferGUIDAttributeName") {
            if (auto guid = stringOf(r, *items[i + 1])) out.guid = attachmentGuidFromAttribute(*guid);
        } else if (*key == "__kIMMessagePartAttributeName") {
            if (auto part = numberOf(r, *items[i + 1]); part && *part >= 0 && *part <= 1000000) {
                out.part = static_cast<int>(*part);
            }
        }
    }
    return out;
}

// Length of the UTF-8 sequence at p (validated), 0 when invalid.
size_t utf8Sequence(const std::string& s, size_t i, char32_t* out) {
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

AttributedText interpret(const Reader& r, size_t root) {
    if (!r.isKindOf(root, "NSAttributedString")) Reader::fail("the archived object is not an attributed string");
    const std::vector<Group>& groups = r.entry(root).groups;
    if (groups.empty() || groups[0].values.size() != 1) Reader::fail("the attributed string has no string");
    std::optional<std::string> text = stringOf(r, groups[0].values[0]);
    if (!text) Reader::fail("the attributed string has no string");

    // Attribute runs: (dictionary number, length in UTF-16 units); the first
    // use of a number is followed by its dictionary.
    struct Run {
        int64_t number;
        int64_t length;
    };
    std::vector<Run> runs;
    std::map<int64_t, RunAttributes> dictionaries;
    for (size_t i = 1; i < groups.size(); ++i) {
        const Group& g = groups[i];
        if (g.values.size() != 2 || g.values[0].kind != Value::Kind::Integer ||
            g.values[1].kind != Value::Kind::Integer) {
            Reader::fail("a malformed attribute run");
        }
        Run run{g.values[0].integer, g.values[1].integer};
        if (run.length < 0) Reader::fail("an attribute run of negative length");
        if (!dictionaries.count(run.number)) {
            if (i + 1 >= groups.size() || groups[i + 1].values.size() != 1) {
                Reader::fail("an attribute run without its dictionary");
            }
            dictionaries[run.number] = attributesOf(r, groups[i + 1].values[0]);
            ++i;
        }
        runs.push_back(run);
    }

    AttributedText out;
    out.text = std::move(*text);
    size_t runIndex = 0;
    int64_t runEnd = runs.empty() ? 0 : runs[0].length;
    size_t utf16 = 0;
    for (size_t i = 0; i < out.text.size();) {
        char32_t c;
        size_t n = utf8Sequence(out.text, i, &c);
        if (n == 0) Reader::fail("the string is not valid UTF-8");
        while (runIndex < runs.size() && static_cast<int64_t>(utf16) >= runEnd) {
            ++runIndex;
            if (runIndex < runs.size()) runEnd += runs[runIndex].length;
        }
        if (c == 0xFFFC) {
            AttachmentMarker marker;
            marker.byteOffset = i;
            marker.utf16Offset = utf16;
            if (runIndex < runs.size()) {
                const RunAttributes& a = dictionaries[runs[runIndex].number];
                marker.guid = a.guid;
                marker.part = a.part;
            }
            out.attachments.push_back(std::move(marker));
        }
        utf16 += c >= 0x10000 ? 2 : 1;
        i += n;
    }
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

std::optional<AttributedText> decodeAttributedBody(const uint8_t* data, size_t size, std::string* reason) {
    if (reason) reason->clear();
    if (data == nullptr || size == 0) {
        if (reason) *reason = "empty blob";
        return std::nullopt;
    }
    try {
        Reader r(data, size);
        size_t root = r.readRoot();
        return interpret(r, root);
    } catch (const Failure& f) {
        if (reason) *reason = f.reason;
    } catch (const std::bad_alloc&) {
        if (reason) *reason = "out of memory";
    }
    return std::nullopt;
}

std::string attachmentGuidFromAttribute(std::string_view value) {
    // "at_<part>_<GUID>": digits between the two underscores.
    if (value.size() > 4 && value.substr(0, 3) == "at_") {
        size_t underscore = value.find('_', 3);
        if (underscore != std::string_view::npos && underscore > 3) {
            bool digits = true;
            for (size_t i = 3; i < underscore; ++i) digits = digits && value[i] >= '0' && value[i] <= '9';
            if (digits && underscore + 1 < value.size()) return std::string(value.substr(underscore + 1));
        }
    }
    return std::string(value);
}

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
