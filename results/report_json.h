// records.json: the ticked records, each written exactly as `kestrel scan
// --json` writes a record, with the backup's facts, the counts and the
// report facts (version, times, command, database hashes).
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "results/report_manifest.h"

namespace kestrel {

inline constexpr const char* kRecordsJsonName = "records.json";

// {"backup", "report", "counts", "contacts", "messages", "notes", "callHistory"}.
// `progress`, when given, counts the records written.
std::string recordsJson(const ReportFacts& facts, const std::vector<HashedFile>& databases, std::time_t exportTime,
                        const ExportFormats& formats, const std::vector<CategoryCount>& counts,
                        const TickedRecords& records, std::atomic<int32_t>* progress = nullptr);

}  // namespace kestrel
