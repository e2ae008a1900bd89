// The CSV files of an export (RFC 4180: fields separated by commas, records
// ended by CR LF, a field holding a comma, a quote, CR or LF quoted with its
// quotes doubled; UTF-8 without byte-order mark). One file per category: a
// header row naming the columns by the records' JSON field names, then one
// row per ticked record with every field. Flags are true/false, numbers
// decimal, attachments and provenance their JSON text.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/records.h"

namespace kestrel {

// Appends one field, quoted when it must be. Bytes that are not valid UTF-8
// become U+FFFD, so the file is always valid UTF-8.
void appendCsvField(std::string& out, std::string_view text);

// The whole file of a category. `progress`, when given, counts the rows written.
std::string contactsCsv(const std::vector<const TovContactNode*>& contacts, std::atomic<int32_t>* progress = nullptr);
std::string messagesCsv(const std::vector<const TovMessageNode*>& messages, std::atomic<int32_t>* progress = nullptr);
std::string notesCsv(const std::vector<const TovNoteNode*>& notes, std::atomic<int32_t>* progress = nullptr);
std::string callHistoryCsv(const std::vector<const TovCallHistoryNode*>& calls,
                           std::atomic<int32_t>* progress = nullptr);

// The file names, in the category's folder beside its text file.
inline constexpr const char* kContactsCsvName = "Contacts.csv";
inline constexpr const char* kMessagesCsvName = "Messages.csv";
inline constexpr const char* kNotesCsvName = "Notes.csv";
inline constexpr const char* kCallHistoryCsvName = "Call History.csv";

}  // namespace kestrel
