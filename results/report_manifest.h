// What every report of an export states for the record: the backup's facts,
// the counts, the SHA-256 of each database file the scan read, the program's
// version, the time of the scan and the command or options used; and the
// export's manifest.json, which lists all of that and every file written.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/backup_discovery.h"
#include "app/records.h"

namespace kestrel {

// The formats an export writes. The text files (with the vCards and the
// media copies) are the default and what earlier exports hold.
struct ExportFormats {
    bool txt = true;
    bool html = false;
    bool csv = false;
    bool json = false;

    bool operator==(const ExportFormats&) const = default;
    // How many passes over the ticked records the export makes.
    int passes() const { return (txt ? 1 : 0) + (html ? 1 : 0) + (csv ? 1 : 0) + (json ? 1 : 0); }
};
// A comma list of "txt", "html", "csv", "json" (blanks around the names
// allowed, repeats harmless); nothing when a name is unknown or the list
// names none, with `error` saying why.
std::optional<ExportFormats> parseExportFormats(std::string_view list, std::string* error = nullptr);
// The formats as such a list, in the order txt, html, csv, json.
std::string exportFormatsText(const ExportFormats& formats);

// One category's numbers: found (existing and deleted) and ticked.
struct CategoryCount {
    std::string name;
    int32_t existing = 0;
    int32_t deleted = 0;
    int32_t ticked = 0;
};

// The ticked records of an export, each category in list (arrival) order.
struct TickedRecords {
    std::vector<const TovContactNode*> contacts;
    std::vector<const TovMessageNode*> messages;
    std::vector<const TovNoteNode*> notes;
    std::vector<const TovCallHistoryNode*> calls;
};

// The facts a front end hands to the export before it starts.
struct ReportFacts {
    TovIOSDeviceNode backup;
    // The database files the scan read, as paths in the backup.
    std::vector<std::string> databaseFiles;
    // When the scan started (0: unknown).
    std::time_t scanTime = 0;
    // The command line, or the desktop program's options, that made the scan and export.
    std::string command;
    std::string version = KESTREL_VERSION;
};

// A database file with its SHA-256 (64 lower-case hex digits), or why it
// could not be read.
struct HashedFile {
    std::string path;
    std::string sha256;
    int64_t bytes = -1;
    std::string error;
};

// SHA-256 of a file's bytes as they are now.
HashedFile hashFile(const std::string& path);
// SHA-256 of bytes in memory, as 64 lower-case hex digits.
std::string sha256Hex(std::string_view bytes);

// A file the export wrote: its path relative to the export folder, its
// size and SHA-256.
struct WrittenFile {
    std::string path;
    int64_t bytes = 0;
    std::string sha256;
};

// "2013-05-02T14:03:22Z"; the empty text for 0.
std::string isoUtcTime(std::time_t time);

// The "report" member shared by records.json and manifest.json: version,
// scan and export times, command, formats and the database files' hashes.
std::string reportFactsJson(const ReportFacts& facts, const std::vector<HashedFile>& databases,
                            std::time_t exportTime, const ExportFormats& formats);

// manifest.json: the backup, the report facts, the counts and every file written.
std::string manifestJson(const ReportFacts& facts, const std::vector<HashedFile>& databases, std::time_t exportTime,
                         const ExportFormats& formats, const std::vector<CategoryCount>& counts,
                         const std::vector<WrittenFile>& files);

// The counts as a JSON object: {"Messages": {"existing": n, "deleted": n, "ticked": n}, ...}.
std::string countsJson(const std::vector<CategoryCount>& counts);

}  // namespace kestrel
