#include "results/report_json.h"

#include "results/record_json.h"

namespace kestrel {
namespace {

template <typename Record, typename AppendOne>
void appendArray(std::string& out, const char* name, const std::vector<const Record*>& records,
                 std::atomic<int32_t>* progress, AppendOne appendOne) {
    appendJsonString(out, name);
    out.append(": [");
    bool first = true;
    for (const Record* record : records) {
        out.append(first ? "\n  " : ",\n  ");
        first = false;
        appendOne(out, *record);
        if (progress) progress->fetch_add(1, std::memory_order_relaxed);
    }
    out.append(first ? "]" : "\n]");
}

}  // namespace

std::string recordsJson(const ReportFacts& facts, const std::vector<HashedFile>& databases, std::time_t exportTime,
                        const ExportFormats& formats, const std::vector<CategoryCount>& counts,
                        const TickedRecords& records, std::atomic<int32_t>* progress) {
    std::string out;
    out.reserve(4096 + records.messages.size() * 420 + records.contacts.size() * 300);
    out.append("{\n\"backup\": ").append(backupFactsJson(facts.backup)).append(",\n");
    out.append("\"report\": ").append(reportFactsJson(facts, databases, exportTime, formats)).append(",\n");
    out.append("\"counts\": ").append(countsJson(counts)).append(",\n");
    appendArray(out, "contacts", records.contacts, progress,
                [](std::string& o, const TovContactNode& r) { appendContactJson(o, r); });
    out.append(",\n");
    appendArray(out, "messages", records.messages, progress,
                [](std::string& o, const TovMessageNode& r) { appendMessageJson(o, r); });
    out.append(",\n");
    appendArray(out, "notes", records.notes, progress,
                [](std::string& o, const TovNoteNode& r) { appendNoteJson(o, r); });
    out.append(",\n");
    appendArray(out, "callHistory", records.calls, progress,
                [](std::string& o, const TovCallHistoryNode& r) { appendCallHistoryJson(o, r); });
    out.append("\n}\n");
    return out;
}

}  // namespace kestrel
