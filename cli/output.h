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
class StreamedMessageList : public ListedMessageSink {
public:
    static std::unique_ptr<StreamedMessageList> create(bool deletedOnly, std::string* error);
    void messageListed(const TovMessageNode& message) override;
    size_t count() const { return count_; }
    SpoolFile& spool() { return *spool_; }

private:
    StreamedMessageList(std::unique_ptr<SpoolFile> spool, bool deletedOnly)
        : spool_(std::move(spool)), deletedOnly_(deletedOnly) {}
    std::unique_ptr<SpoolFile> spool_;
    bool deletedOnly_;
    size_t count_ = 0;
};
// The same object as printScanJson, its messages taken from the list.
// False when the list's temporary file failed, so that messages are missing.
bool printScanJson(const nlohmann::ordered_json& head, const std::vector<ContactPtr>& contacts,
                   StreamedMessageList& messages, const nlohmann::ordered_json& tail);
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
