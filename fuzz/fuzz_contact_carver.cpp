// Feeds arbitrary bytes to the deleted-contact carver: the bytes become the
// address book of a backup folder and the step runs over it (commit, page
// walk, join, posts); the page walk and the join also run directly over the
// bytes as given, since the commit step may rewrite a file SQLite accepts.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/app_controller.h"
#include "app/backup_discovery.h"
#include "app/log.h"
#include "carve/contact_carver.h"
#include "carve/sqlite_raw.h"

namespace {

const std::string& backupFolder() {
    static const std::string folder = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "kestrel-fuzz-contacts-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) abort();
        kestrel::setLogSink([](const std::string&) {});
        return pattern;
    }();
    return folder;
}

void writeDatabase(const std::string& path, const uint8_t* data, size_t size) {
    for (const char* suffix : {"-wal", "-shm", "-journal"}) ::unlink((path + suffix).c_str());
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) abort();
    if (size > 0 && std::fwrite(data, 1, size, out) != size) abort();
    std::fclose(out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrel;
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
