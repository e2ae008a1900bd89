// Feeds arbitrary bytes to the deleted-contact carver: the bytes become the
// address book of a backup folder and the step runs over it (commit, page
// walk, join, posts); the page walk and the join also run directly over the
// bytes as given, since the commit step may rewrite a file SQLite accepts.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/app_controller.h"
#include "app/backup_discovery.h"
#include "carve/contact_carver.h"
#include "carve/sqlite_raw.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrel;
    using fuzz::backupFolder;
    using fuzz::writeDatabase;
    const std::string& folder = backupFolder();
    static WrenfieldAppDelegate* app = new WrenfieldAppDelegate();

    writeDatabase(folder + "/" + kAddressBookDBName, data, size);
    app->scanDelContactThread(folder);
    app->delContactArray.clear();
    app->delContactValueArray.clear();

    auto file = RawFile::fromBytes(data, size);
    std::vector<ContactPtr> persons;
    std::vector<DelContactValuePtr> values;
    carveContactPages(file.get(), pageGeometry(file.get()), persons, values);
    const DelContactValueIndex index(values);
    for (const ContactPtr& person : persons) index.joinTo(*person);
    return 0;
}
