// The direction of a message, one rule for the messages read with SQL and the
// carved ones: the older layouts keep it in a flags number, the iOS 6 layout
// in is_from_me.
#pragma once

#include <cstdint>

namespace kestrel {

// Direction word of a flags number: 2, 22 "Received"; 3, 16387 "Send"; else "unknown".
inline const char* flagsWord(int32_t flags) {
    if (flags == 2 || flags == 22) return "Received";
    if (flags == 3 || flags == 16387) return "Send";
    return "unknown";
}

// Direction word of an is_from_me value: 0 "Received", 1 "Send", anything
// else `otherwise` (the SQL reader says "unknown", the carver "Unknowed").
inline const char* fromMeWord(int64_t fromMe, const char* otherwise) {
    return fromMe == 0 ? "Received" : fromMe == 1 ? "Send" : otherwise;
}

}  // namespace kestrel
