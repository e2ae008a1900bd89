// kestrel: lists the iTunes backups of a computer and scans one for existing
// and deleted text messages and contacts.
#include <CLI/CLI.hpp>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>

#include "app/app_controller.h"
#include "app/log.h"
#include "cli/front_end.h"
#include "cli/output.h"
#include "results/result_view_controller.h"

namespace fs = std::filesystem;
using namespace kestrel;

namespace {

constexpr const char* kNoBackupMessage = "No iTunes backup files found !";
constexpr const char* kNoBackupInformative =
    "Please backup your iOS device with iTunes ,and run again after the backup operation has completed .";

int runList(const std::string& backupRoot, bool asJson) {
    WrenfieldAppDelegate controller;
    if (!backupRoot.empty()) controller.setBackupRoot(backupRoot);
    if (!controller.showIphoneDiskView()) {
        std::fprintf(stderr, "%s\n%s\n", kNoBackupMessage, kNoBackupInformative);
        return 1;
    }
    const auto& nodes = controller.deviceController.arrangedObjects();
    if (asJson) {
        nlohmann::json list = nlohmann::json::array();
        for (const DeviceNodePtr& node : nodes) list.push_back(cli::deviceToJson(*node));
        std::printf("%s\n", cli::dumpJson(list).c_str());
    } else {
        cli::printBackupTable(nodes);
    }
    return 0;
}

// A private copy of a backup's two databases (with their -wal and -shm
// files), so that a scan changes nothing in the backup itself.
class ReadOnlyCopy {
public:
    ~ReadOnlyCopy() {
        if (!folder_.empty()) {
            std::error_code ec;
            fs::remove_all(folder_, ec);
        }
    }

    // Returns the empty text and sets `error` when the copy cannot be made.
    std::string make(const std::string& backupFolder, std::string& error) {
        std::string pattern = (fs::temp_directory_path() / "kestrel-scan-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            error = "cannot create a temporary folder";
            return std::string();
        }
        folder_ = pattern;
        for (const char* name : {kAddressBookDBName, kMessageDBName}) {
            std::string source = databasePathInBackup(backupFolder, name);
            if (source.empty()) continue;
            for (const char* suffix : {"", "-wal", "-shm"}) {
                std::error_code ec;
                fs::path from = source + suffix;
                if (!fs::exists(from, ec)) continue;
                fs::copy_file(from, fs::path(folder_) / (std::string(name) + suffix),
                              fs::copy_options::overwrite_existing, ec);
                if (ec) {
                    error = "cannot copy " + from.string() + ": " + ec.message();
                    return std::string();
                }
            }
        }
        return folder_;
    }

private:
    std::string folder_;
};

int runScan(std::string folder, bool asJson, bool readOnly) {
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    WrenfieldAppDelegate controller;

    TovIOSDeviceController probe;
    probe.addDeviceNodeByPath(folder);
    if (probe.arrangedObjects().empty()) {
        std::fprintf(stderr,
                     "kestrel: %s is not an iTunes backup folder (it needs a readable Info.plist, or a "
                     "Manifest.plist with a Lockdown dictionary, and at least two entries)\n",
                     folder.c_str());
        return 2;
    }
    DeviceNodePtr node = probe.arrangedObjects().front();

    ReadOnlyCopy copy;
    std::string scanFolder = folder;
    if (readOnly) {
        std::string error;
        scanFolder = copy.make(folder, error);
        if (scanFolder.empty()) {
            std::fprintf(stderr, "kestrel: %s\n", error.c_str());
            return 1;
        }
    }

    cli::CommandLineFrontEnd frontEnd(/*printProgress=*/true);
    TovResultViewController& results = controller.showResultView();
    results.setDelegate(&frontEnd);
    controller.scanDeviceNode(node, scanFolder);
    frontEnd.runUntilScanFinished();
    controller.waitForScanThread();
    results.setDelegate(nullptr);

    if (asJson) {
        nlohmann::json out;
        out["backup"] = cli::deviceToJson(*node);
        out["progress"] = frontEnd.progress();
        out["contacts"] = nlohmann::json::array();
        for (const ContactPtr& c : results.contactArray) out["contacts"].push_back(cli::contactToJson(*c));
        out["messages"] = nlohmann::json::array();
        for (const MessagePtr& m : results.messageController) out["messages"].push_back(cli::messageToJson(*m));
        out["counts"] = cli::countsToJson(results);
        std::printf("%s\n", cli::dumpJson(out).c_str());
    } else {
        cli::printScanReport(*node, results, results.messageController);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "kestrel - recovers the text messages (SMS and iMessage) and contacts of an iPhone, iPad or iPod touch,\n"
        "deleted ones included, from the backups that iTunes keeps on a computer."};
    app.set_version_flag("--version", std::string("kestrel ") + KESTREL_VERSION);
    app.require_subcommand(1);

    std::string backupRoot;
    bool listJson = false;
    CLI::App* list = app.add_subcommand("list", "List the backups under the backup root, in directory order.");
    list->add_option("--backup-root", backupRoot,
                     "Folder holding one sub-folder per backup (default: " +
                         backupRootForUser(currentLoginName()) + ")");
    list->add_flag("--json", listJson, "Print a JSON array of the backup records");

    std::string folder;
    bool scanJson = false;
    bool readOnly = false;
    CLI::App* scan = app.add_subcommand(
        "scan", "Scan one backup folder: existing contacts and messages, then deleted ones carved from the raw "
                "database pages.\nProgress goes to standard error, results to standard output.\n"
                "Note: a scan switches the backup's two databases to write-ahead logging and checkpoints "
                "them,\nwhich writes into the backup; use --read-only to scan copies instead.");
    scan->add_option("FOLDER", folder, "The backup folder")->required();
    scan->add_flag("--json", scanJson, "Print one JSON object: backup, progress, contacts, messages, counts");
    scan->add_flag("--read-only", readOnly,
                   "Scan copies of the two databases in a temporary folder, so nothing in the backup changes");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }

    // The system log (lines such as "contactDB is not exist") goes to standard error.
    setLogSink([](const std::string& line) { std::fprintf(stderr, "log: %s\n", line.c_str()); });

    if (*list) return runList(backupRoot, listJson);
    if (*scan) return runScan(folder, scanJson, readOnly);
    return 2;
}
