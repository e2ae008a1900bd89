// What the kestrel command prints: records as JSON objects and the readable
// tables.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/backup_discovery.h"
#include "app/records.h"
#include "results/result_view_controller.h"

namespace kestrel::cli {

nlohmann::json deviceToJson(const TovIOSDeviceNode& node);
nlohmann::json contactToJson(const TovContactNode& contact);
nlohmann::json messageToJson(const TovMessageNode& message);
nlohmann::json countsToJson(const TovResultViewController& results);

// JSON text; any invalid UTF-8 is replaced rather than thrown on.
std::string dumpJson(const nlohmann::json& value);

void printBackupTable(const std::vector<DeviceNodePtr>& nodes);
void printScanReport(const TovIOSDeviceNode& backup, const TovResultViewController& results,
                     const std::vector<MessagePtr>& messages);

}  // namespace kestrel::cli
