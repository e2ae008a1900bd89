// Feeds arbitrary bytes to the deleted-contact carver: the step (page walk,
// join) runs over the bytes as given, then over what the commit leaves of
// them once they are the address book of a backup folder, since the commit
// may rewrite a file SQLite accepts. Every record goes to a collecting sink.
#include <cstdint>
#include <string>

#include "app/backup_discovery.h"
#include "app/collecting_sink.h"
#include "carve/contact_carver.h"
#include "carve/sqlite_raw.h"
#include "fuzz/fuzz_support.h"
#include "scan/app_controller.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrel;
    using fuzz::backupFolder;
    using fuzz::writeDatabase;

    auto file = RawFile::fromBytes(data, size);
    CollectingSink direct;
    carveDeletedContacts(file.get(), direct);

    const std::string& folder = backupFolder();
    writeDatabase(folder + "/" + kAddressBookDBName, data, size);
    static WrenfieldAppDelegate controller;  // finds the database as a scan of copies does
    if (auto committed = controller.openDatabaseToCarve(folder, kAddressBookDBName, "contactDB is not exist")) {
        CollectingSink sink;
        carveDeletedContacts(committed.get(), sink);
    }
    return 0;
}
