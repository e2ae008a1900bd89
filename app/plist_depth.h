// A guard run before a property list reaches the plist library: that library
// parses nested arrays and dictionaries by recursion, so a list nested a few
// hundred thousand levels deep overflows the stack. The guard measures the
// nesting without recursion and with every offset checked.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrel {

// Deepest nesting of arrays and dictionaries a backup's property list may have.
inline constexpr size_t kMaxPlistNesting = 64;

// True when the bytes (an XML or a binary property list) nest arrays and
// dictionaries no deeper than `limit` and, for a binary list, its object
// table is consistent enough to walk (offsets in range, no reference loop).
// On false, `reason` (when given) holds a short description without any of
// the list's contents.
bool plistNestingWithin(std::string_view data, size_t limit = kMaxPlistNesting, std::string* reason = nullptr);

}  // namespace kestrel
