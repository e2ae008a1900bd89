// report.html: one self-contained page (inline style, no scripts, nothing
// fetched) that people can read and examiners can hand over: the backup's
// facts, the counts, the ticked messages drawn as conversations (sent on the
// right, received on the left, deleted ones marked with their source and,
// when carved, where they were found), the ticked contacts, notes and calls
// as tables, and at the end the facts for the record (version, times,
// command, SHA-256 of every database file read). Every text is escaped.
#pragma once

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "app/provenance_text.h"
#include "results/report_manifest.h"

namespace kestrel {

inline constexpr const char* kReportHtmlName = "report.html";

// Appends text escaped for HTML content and attribute values. Bytes that are
// not valid UTF-8, and characters HTML does not allow in a document
// (noncharacters, C1 controls), become U+FFFD; C0 controls other than tab,
// line feed and carriage return become their visible symbols (U+2400...).
void appendHtmlText(std::string& out, std::string_view text);

// The conversation a message belongs to: its chat, else its phone or
// handle, else its name; "Unknown" when it has none of them.
std::string conversationKey(const TovMessageNode& message);


// `progress`, when given, counts the records written.
std::string reportHtml(const ReportFacts& facts, const std::vector<HashedFile>& databases, std::time_t exportTime,
                       const ExportFormats& formats, const std::vector<CategoryCount>& counts,
                       const TickedRecords& records, std::atomic<int32_t>* progress = nullptr);

}  // namespace kestrel
