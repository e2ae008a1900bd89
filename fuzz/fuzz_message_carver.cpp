// Feeds arbitrary bytes to the deleted-message carver: the step runs over the
// bytes as given in the iOS 6 mode and in the older mode (whose walk follows
// the file's write version), and the rollback-format walk runs directly.
// Then the bytes become the message database of a backup folder and the step
// runs once more over what the commit leaves of them. Every record goes to a
// collecting sink.
#include <cstdint>
#include <string>

#include "app/backup_discovery.h"
#include "app/collecting_sink.h"
#include "carve/deleted_message_step.h"
#include "carve/message_carver.h"
#include "carve/sqlite_raw.h"
#include "fuzz/fuzz_support.h"
#include "scan/app_controller.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrel;
    using fuzz::backupFolder;
    using fuzz::writeDatabase;

    auto file = RawFile::fromBytes(data, size);
    for (bool ios6 : {true, false}) {
        CollectingSink sink;
        carveDeletedMessages(file.get(), ios6, sink);
    }
    CollectingSink rollback;
    scanRollbackFormatMessagePages(rollback, file.get(), pageGeometry(file.get()));

    const std::string& folder = backupFolder();
    writeDatabase(folder + "/" + kMessageDBName, data, size);
    static WrenfieldAppDelegate controller;  // finds the database as a scan of copies does
    if (auto committed = controller.openDatabaseToCarve(folder, kMessageDBName, "messageDB is not exist")) {
        for (bool ios6 : {true, false}) {
            CollectingSink sink;
            carveDeletedMessages(committed.get(), ios6, sink);
        }
    }
    return 0;
}
