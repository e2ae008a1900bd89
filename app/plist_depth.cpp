#include "app/plist_depth.h"

#include <cstdint>
#include <vector>

namespace kestrel {
namespace {

bool fail(std::string* reason, const char* text) {
    if (reason != nullptr) *reason = text;
    return false;
}

bool startsWith(std::string_view data, size_t at, std::string_view prefix) {
    return data.size() - at >= prefix.size() && data.compare(at, prefix.size(), prefix) == 0;
}

bool isNameEnd(char c) {
    return c == '>' || c == '/' || c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Counts open <array> and <dict> elements while walking the tags once.
// Comments, CDATA sections, processing instructions and declarations are
// stepped over so that markup inside them does not count. An element that
// is never closed still counts: the guard may only over-estimate.
bool xmlNestingWithin(std::string_view data, size_t limit, std::string* reason) {
    size_t depth = 0;
    size_t at = 0;
    while ((at = data.find('<', at)) != std::string_view::npos) {
        if (startsWith(data, at, "<!--")) {
            size_t end = data.find("-->", at + 4);
            if (end == std::string_view::npos) return true;
            at = end + 3;
            continue;
        }
        if (startsWith(data, at, "<![CDATA[")) {
            size_t end = data.find("]]>", at + 9);
            if (end == std::string_view::npos) return true;
            at = end + 3;
            continue;
        }
        if (startsWith(data, at, "<?") || startsWith(data, at, "<!")) {
            size_t end = data.find('>', at + 2);
            if (end == std::string_view::npos) return true;
            at = end + 1;
            continue;
        }
        const bool closing = startsWith(data, at, "</");
        size_t nameStart = at + (closing ? 2 : 1);
        size_t nameEnd = nameStart;
        while (nameEnd < data.size() && !isNameEnd(data[nameEnd])) ++nameEnd;
        std::string_view name = data.substr(nameStart, nameEnd - nameStart);
        size_t tagEnd = data.find('>', nameEnd);
        if (tagEnd == std::string_view::npos) return true;
        const bool container = name == "array" || name == "dict";
        if (container) {
            if (closing) {
                if (depth > 0) --depth;
            } else if (data[tagEnd - 1] != '/') {
                if (++depth > limit) return fail(reason, "property list nested too deeply");
            }
        }
        at = tagEnd + 1;
    }
    return true;
}

// The binary form: "bplist00", the objects, a table of object offsets and a
// 32-byte trailer. Arrays, sets and dictionaries refer to their members by
// index into the offset table.
class BinaryPlist {
public:
    explicit BinaryPlist(std::string_view data) : data_(data) {}

    bool readTrailer(std::string* reason) {
        if (data_.size() < 8 + 32) return fail(reason, "binary property list too short");
        size_t trailer = data_.size() - 32;
        offsetSize_ = byteAt(trailer + 6);
        refSize_ = byteAt(trailer + 7);
        objectCount_ = bigEndian(trailer + 8, 8);
        topObject_ = bigEndian(trailer + 16, 8);
        tableOffset_ = bigEndian(trailer + 24, 8);
        if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) {
            return fail(reason, "binary property list with a bad trailer");
        }
        if (objectCount_ == 0 || topObject_ >= objectCount_ || tableOffset_ < 8 || tableOffset_ > trailer ||
            objectCount_ > (trailer - tableOffset_) / offsetSize_) {
            return fail(reason, "binary property list with a bad offset table");
        }
        return true;
    }

    uint64_t objectCount() const { return objectCount_; }
    uint64_t topObject() const { return topObject_; }

    // The members of a container object (keys and values of a dictionary
    // alike): the position of its first reference and how many there are.
    // A scalar object has none. False when the object lies out of range.
    bool members(uint64_t object, bool& container, size_t& first, uint64_t& count) const {
        count = 0;
        container = false;
        uint64_t offset = bigEndian(static_cast<size_t>(tableOffset_ + object * offsetSize_), offsetSize_);
        const size_t limit = static_cast<size_t>(tableOffset_);
        if (offset < 8 || offset >= limit) return false;
        size_t at = static_cast<size_t>(offset);
        const uint8_t marker = byteAt(at);
        const uint8_t type = marker >> 4;
        if (type != 0xA && type != 0xC && type != 0xD) return true;
        container = true;
        uint64_t length = marker & 0x0F;
        ++at;
        if (length == 0x0F) {
            if (at >= limit) return false;
            const uint8_t intMarker = byteAt(at);
            if ((intMarker >> 4) != 0x1) return false;
            const size_t width = size_t{1} << (intMarker & 0x0F);
            if (width > 8 || at + 1 + width > limit) return false;
            length = bigEndian(at + 1, width);
            at += 1 + width;
        }
        const uint64_t refs = type == 0xD ? length * 2 : length;
        if (length > limit || refs > (limit - at) / refSize_) return false;
        first = at;
        count = refs;
        return true;
    }

    uint64_t reference(size_t first, uint64_t i) const {
        return bigEndian(static_cast<size_t>(first + i * refSize_), refSize_);
    }

private:
    uint8_t byteAt(size_t at) const { return static_cast<uint8_t>(data_[at]); }
    uint64_t bigEndian(size_t at, size_t width) const {
        uint64_t value = 0;
        for (size_t i = 0; i < width; ++i) value = (value << 8) | byteAt(at + i);
        return value;
    }

    std::string_view data_;
    size_t offsetSize_ = 0;
    size_t refSize_ = 0;
    uint64_t objectCount_ = 0;
    uint64_t topObject_ = 0;
    uint64_t tableOffset_ = 0;
};

// Depth-first walk from the top object with an explicit stack no deeper
// than the limit. An object reached again at the same or a smaller depth
// than before needs no second look (its members fitted under the limit from
// a deeper place); reached deeper it is walked again, at most `limit` times
// in all. An object reached while it is still on the stack is a loop.
bool binaryNestingWithin(std::string_view data, size_t limit, std::string* reason) {
    BinaryPlist plist(data);
    if (!plist.readTrailer(reason)) return false;
    const uint64_t count = plist.objectCount();
    // Deepest depth at which each object was walked; 0 = never.
    std::vector<uint32_t> expandedAt(static_cast<size_t>(count), 0);
    std::vector<bool> onStack(static_cast<size_t>(count), false);
    struct Frame {
        uint64_t object;
        size_t first;
        uint64_t count;
        uint64_t next;
    };
    std::vector<Frame> stack;
    auto enter = [&](uint64_t object, std::string* why) -> int {
        // 1 = pushed, 0 = nothing to do, -1 = reject.
        if (object >= count) return fail(why, "binary property list with a bad reference"), -1;
        const uint32_t depth = static_cast<uint32_t>(stack.size() + 1);
        if (onStack[object]) return fail(why, "binary property list refers to itself"), -1;
        if (expandedAt[object] >= depth) return 0;
        Frame frame{object, 0, 0, 0};
        bool container = false;
        if (!plist.members(object, container, frame.first, frame.count)) {
            return fail(why, "binary property list with an object out of range"), -1;
        }
        expandedAt[object] = depth;
        if (container && depth > limit) return fail(why, "property list nested too deeply"), -1;
        if (frame.count == 0) return 0;
        onStack[object] = true;
        stack.push_back(frame);
        return 1;
    };
    if (enter(plist.topObject(), reason) < 0) return false;
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next == top.count) {
            onStack[top.object] = false;
            stack.pop_back();
            continue;
        }
        const uint64_t child = plist.reference(top.first, top.next++);
        if (enter(child, reason) < 0) return false;
    }
    return true;
}

}  // namespace

bool plistNestingWithin(std::string_view data, size_t limit, std::string* reason) {
    if (data.size() >= 8 && data.substr(0, 8) == "bplist00") return binaryNestingWithin(data, limit, reason);
    return xmlNestingWithin(data, limit, reason);
}

}  // namespace kestrel
