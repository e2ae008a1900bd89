// What the kestrel command prints: records as JSON objects and the readable
// tables.
#pragma once

#include <nlohmann/json.hpp>
#include <memory>
#include <string>
#include <vector>

#include "app/backup_discovery.h"
#include "app/records.h"
#include "results/result_view_controller.h"
#include "results/spool_file.h"

namespace kestrel::cli {

nlohmann::json deviceToJson(const TovIOSDeviceNode& node);
// The record as `kestrel list --json` prints it: the same fields plus `encrypted`.
nlohmann::json deviceToListJson(const TovIOSDeviceNode& node);

// Prints the scan's JSON object to standard output: the members of `head`,
// then "contacts" and "messages" (written record by record, not built as one
// tree), then the members of `tail`.
void printScanJson(const nlohmann::ordered_json& head, const std::vector<ContactPtr>& contacts,
                   const std::vector<MessagePtr>& messages, const nlohmann::ordered_json& tail);

// The message list of `kestrel scan --json` written as the scan lists each
// message, into a temporary file, instead of kept as records: the messages
// come after the backup, the progress values and the contacts, which are
// known only at the end. With `deletedOnly` only deleted messages are kept.
// With `byName` the list is to be printed ordered by name: each message's
// place in the file and its name are kept for that.
class StreamedMessageList : public ListedMessageSink {
public:
    static std::unique_ptr<StreamedMessageList> create(bool deletedOnly, bool byName, std::string* error);
    void messageListed(const TovMessageNode& message) override;
    size_t count() const { return count_; }

    // Writes the list's JSON array elements to standard output, in listed
    // order, or ordered by name (equal names keep their order) when the
    // list was made `byName`. False when its temporary file failed.
    bool print(bool ascending);

private:
    StreamedMessageList(std::unique_ptr<SpoolFile> spool, bool deletedOnly, bool byName)
        : spool_(std::move(spool)), deletedOnly_(deletedOnly), byName_(byName) {}
    std::string_view name(size_t i) const;

    std::unique_ptr<SpoolFile> spool_;
    bool deletedOnly_;
    bool byName_;
    size_t count_ = 0;
    // For the order by name: where each message's text starts in the file,
    // and the names one after the other with where each ends.
    std::vector<uint64_t> starts_;
    std::string names_;
    std::vector<size_t> nameEnds_;
};
// The same object as printScanJson, its messages taken from the list.
// False when the list's temporary file failed, so that messages are missing.
bool printScanJson(const nlohmann::ordered_json& head, const std::vector<ContactPtr>& contacts,
                   StreamedMessageList& messages, bool ascending, const nlohmann::ordered_json& tail);
nlohmann::json countsToJson(const TovResultViewController& results);

// JSON text; any invalid UTF-8 is replaced rather than thrown on.
std::string dumpJson(const nlohmann::json& value);
std::string dumpJson(const nlohmann::ordered_json& value);

// Text fit for a terminal: control characters (C0, DEL and C1, ESC among
// them) shown escaped as \n, \r, \t, \x1b, \u009b; a byte that is not
// part of valid UTF-8 as \xHH. Everything else is kept.
std::string terminalSafe(std::string_view text);

// The readable tables; every text in them passes through terminalSafe.
void printBackupTable(const std::vector<DeviceNodePtr>& nodes);
void printScanReport(const TovIOSDeviceNode& backup, const TovResultViewController& results,
                     const std::vector<MessagePtr>& messages);

}  // namespace kestrel::cli
