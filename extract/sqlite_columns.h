// Column readers shared by the existing-record extractors: a column that is
// NULL or the empty string is skipped (nullopt) and leaves its field as it was.
#pragma once

#include <sqlite3.h>

#include <optional>
#include <string>

#include "app/log.h"
#include "extract/conversions.h"

namespace kestrel {

// How long a reader waits for a database another connection holds locked.
inline constexpr int kBusyTimeoutMilliseconds = 3000;

// The column's bytes as SQLite renders them as text, if any.
inline const char* columnRawText(sqlite3_stmt* statement, int index) {
    const unsigned char* text = sqlite3_column_text(statement, index);
    if (text == nullptr || text[0] == 0) return nullptr;
    return reinterpret_cast<const char*>(text);
}

// A text column turned into text, all of its bytes (zero bytes included)
// kept as repairedText keeps them. `repaired` tells the caller a text was
// repaired; without it, the repair is logged (without the text).
inline std::optional<std::string> columnText(sqlite3_stmt* statement, int index, bool* repaired = nullptr) {
    const char* raw = columnRawText(statement, index);
    if (raw == nullptr) return std::nullopt;
    const int size = sqlite3_column_bytes(statement, index);
    bool wasRepaired = false;
    std::string text = repairedText(std::string_view(raw, size > 0 ? static_cast<size_t>(size) : 0), &wasRepaired);
    if (repaired != nullptr) {
        *repaired = wasRepaired;
    } else if (wasRepaired) {
        NSLog("A text held invalid UTF-8 or a zero byte: text repaired");
    }
    return text;
}

// A number column read as text and converted as atoi does.
inline std::optional<int32_t> columnNumber(sqlite3_stmt* statement, int index) {
    const char* raw = columnRawText(statement, index);
    if (raw == nullptr) return std::nullopt;
    return textToInt32(raw);
}

}  // namespace kestrel
