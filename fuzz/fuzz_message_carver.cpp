// Feeds arbitrary bytes to the deleted-message carver: the bytes become the
// message database of a backup folder, and the step runs over it in the
// iOS 6 mode and in the older mode (whose walk follows the file's write
// version); the rollback-format walk also runs directly over the bytes.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "app/app_controller.h"
#include "app/backup_discovery.h"
#include "carve/message_carver.h"
#include "carve/sqlite_raw.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrel;
    using fuzz::backupFolder;
    using fuzz::writeDatabase;
    const std::string& folder = backupFolder();
    const std::string dbPath = folder + "/" + kMessageDBName;
    static WrenfieldAppDelegate* app = new WrenfieldAppDelegate();

    for (bool ios6 : {true, false}) {
        writeDatabase(dbPath, data, size);
        app->currentNodeIsiOS6Version = ios6;
        app->scanDelMessageThread(folder);
        app->messageArray.clear();
        app->chatMessageArray.clear();
    }

    auto file = RawFile::fromBytes(data, size);
    scanRollbackFormatMessagePages(*app, file.get(), pageGeometry(file.get()));
    return 0;
}
