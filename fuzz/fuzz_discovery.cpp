// Feeds arbitrary bytes to backup discovery: the first two bytes choose where
// the rest is split, the two parts become Info.plist and Manifest.plist of a
// backup folder, and the folder is examined as the backup list would.
#include <cstdint>
#include <string>

#include "app/backup_discovery.h"
#include "app/plist_depth.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrel;
    const std::string& folder = fuzz::backupFolder();
    size_t split = 0;
    if (size >= 2) {
        split = (static_cast<size_t>(data[0]) | static_cast<size_t>(data[1]) << 8) % (size - 1);
        data += 2;
        size -= 2;
    }
    fuzz::writeDatabase(folder + "/Info.plist", data, split);
    fuzz::writeDatabase(folder + "/Manifest.plist", data + split, size - split);
    plistNestingWithin(std::string_view(reinterpret_cast<const char*>(data), size));

    TovIOSDeviceController list;
    list.addDeviceNodeByPath(folder);
    enumerateBackupRoot(folder, list);
    return 0;
}
