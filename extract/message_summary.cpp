#include "extract/message_summary.h"

#include <plist/plist.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <limits>
#include <memory>

namespace kestrel {
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

MessageSummary readMessageSummary(const uint8_t* data, size_t size) {
    MessageSummary summary;
    if (data == nullptr || size < 8 || size > std::numeric_limits<uint32_t>::max()) return summary;
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
    // Parts are numbered from 0. They are looked up by name rather than
    // walked: libplist's walk aborts on a key with a zero byte inside.
    const uint32_t parts = plist_dict_get_size(history);
    for (uint32_t part = 0; part < parts && part < 4096; ++part) {
        plist_t versions = plist_dict_get_item(history, std::to_string(part).c_str());
        if (versions == nullptr || plist_get_node_type(versions) != PLIST_ARRAY) continue;
        const uint32_t count = plist_array_get_size(versions);
        if (count > 0) summary.hasEditHistory = true;
        // The last entry is the current text, kept in attributedBody too.
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
    std::stable_sort(summary.earlierVersions.begin(), summary.earlierVersions.end(),
                     [](const MessageVersion& a, const MessageVersion& b) { return a.part < b.part; });
    return summary;
}

}  // namespace kestrel
