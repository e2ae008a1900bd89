// kestrel: lists the iTunes backups of a computer and scans one for existing
// and deleted text messages and contacts.
#include <CLI/CLI.hpp>
#include <signal.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <string>

#include "scan/app_controller.h"
#include "app/large_pages.h"
#include "app/log.h"
#include "app/working_folder.h"
#include "cli/carve_command.h"
#include "cli/encrypted_scan.h"
#include "cli/front_end.h"
#include "cli/output.h"
#include "feedback/feedback_mail.h"
#include "results/result_view_controller.h"

namespace fs = std::filesystem;
using namespace kestrel;

namespace {

int runList(const std::string& backupRoot, bool asJson) {
    WrenfieldAppDelegate controller;
    controller.setBackupRoot(backupRoot.empty() ? defaultBackupRoot() : backupRoot);
    const bool found = controller.showIphoneDiskView();
    for (const std::string& folder : controller.deviceController.unreadableFolders()) {
        std::fprintf(stderr, "kestrel: not listed, its property lists cannot be read safely: %s\n",
                     cli::terminalSafe(folder).c_str());
    }
    if (!found) {
        std::fprintf(stderr, "%s\n%s\n", kNoBackupAlert, kNoBackupAlertInformative);
        return 1;
    }
    const auto& nodes = controller.deviceController.arrangedObjects();
    if (asJson) {
        nlohmann::json list = nlohmann::json::array();
        for (const DeviceNodePtr& node : nodes) list.push_back(cli::deviceToListJson(*node));
        std::printf("%s\n", cli::dumpJson(list).c_str());
    } else {
        cli::printBackupTable(nodes);
    }
    return 0;
}

struct ScanOptions {
    bool asJson = false;
    bool readOnly = false;  // accepted; scanning copies is the default
    bool inPlace = false;
    bool debugLog = false;
    bool deletedOnly = false;
    std::string sort;        // "" or "name"
    std::string exportDir;   // "" when no export
    std::string tick = "messages";
    std::string formats = "txt";
};

// Ticks every displayed record of the current table, as a user selecting
// every row and clicking one check box does.
void tickShownRows(TovResultViewController& results) {
    const Category table = results.currentCategory;
    if (results.numberOfRowsInTableView(table) == 0) return;
    results.selectAll(table);
    results.tableView(table, 1, kCheckColumn, 0);
}

void tickRecords(TovResultViewController& results, const std::string& what) {
    if (what == "all") {
        for (int i = 0; i < kCategoryCount; ++i) {
            results.switchToCategory(static_cast<Category>(i));
            tickShownRows(results);
        }
    } else if (what == "deleted") {
        results.actMessage();
        results.actCheck(true);
        tickShownRows(results);
    } else {
        results.actMessage();
        tickShownRows(results);
    }
    // Back to the message list as the scan left it.
    results.actMessage();
}

// Absolute form of a folder path, without a trailing "/".
std::string absoluteFolder(const std::string& path) {
    std::error_code ec;
    fs::path absolute = fs::absolute(path, ec);
    if (ec) absolute = path;
    std::string text = absolute.lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

// Runs the export worker into `destination`, printing its progress once a
// second on standard error. Returns false, after printing why, when
// something ticked did not reach the folder.
bool runExport(TovResultViewController& results, cli::CommandLineFrontEnd& frontEnd, const std::string& destination,
               const ExportFormats& formats) {
    results.actRecovery();
    results.setExportFormats(formats);
    if (results.selectedFilesNum < 1) {
        std::fprintf(stderr, "kestrel: no records ticked; the export holds empty category files\n");
    }
    results.savePanelDidEnd(destination, 1);
    frontEnd.runUntilExportFinished([&results] {
        int percent = results.IphonerecoveryTimer_hander();
        std::fprintf(stderr, "export %d%%\n", percent);
        std::fflush(stderr);
    });
    results.waitForRecoveryThread();

    bool ok = true;
    // Issues that say the same thing are shown three times, then counted.
    std::map<std::string, int> seen;
    for (const ExportIssue& issue : results.exportIssues()) {
        const bool error = issue.kind == ExportIssue::Kind::Error;
        if (error) ok = false;
        if (++seen[issue.what] > 3) continue;
        std::fprintf(stderr, "kestrel: %s: %s: %s\n", error ? "export failed" : "warning", issue.path.c_str(),
                     issue.what.c_str());
    }
    for (const auto& [what, count] : seen) {
        if (count > 3) std::fprintf(stderr, "kestrel: ... %d more: %s\n", count - 3, what.c_str());
    }
    // The core skips failed steps silently; check that every category file is there.
    const std::pair<const char*, const char*> files[] = {
        {"Contact", "Contacts.txt"}, {"Message", "Messages.txt"}, {"Note", "Notes.txt"},
        {"CallHistory", "Call History.txt"}};
    std::error_code ec;
    if (!formats.txt) return ok;
    if (!fs::is_directory(fs::path(destination) / "Photo&Video", ec)) ok = false;
    for (const auto& [folder, name] : files) {
        fs::path dir = fs::path(destination) / folder;
        if (!fs::is_regular_file(dir / name, ec) && !fs::is_regular_file(dir / "TXT.txt", ec)) {
            if (ok) std::fprintf(stderr, "kestrel: export failed: %s is missing\n", (dir / name).c_str());
            ok = false;
        }
    }
    return ok;
}

// The command line as typed, for the reports: each argument quoted when
// it holds anything but plain characters; a password given as an argument
// is never written into a report.
std::string commandLineText(int argc, char** argv) {
    std::string out;
    bool secretNext = false;
    for (int i = 0; i < argc; ++i) {
        std::string arg = i == 0 ? std::string("kestrel") : std::string(argv[i]);
        if (secretNext) arg = "(hidden)";
        secretNext = arg == "--password";
        if (arg.rfind("--password=", 0) == 0) arg = "--password=(hidden)";
        if (!out.empty()) out.push_back(' ');
        const bool plain = !arg.empty() && arg.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                                 "0123456789-_=.,/:+@%") == std::string::npos;
        if (plain) {
            out.append(arg);
            continue;
        }
        out.push_back('\'');
        for (char c : arg) {
            if (c == '\'') {
                out.append("'\\''");
            } else {
                out.push_back(c);
            }
        }
        out.push_back('\'');
    }
    return out;
}

// The facts the reports state: the database files are named as they are
// in the backup folder, also when the scan read copies of them.
ReportFacts reportFacts(const WrenfieldAppDelegate& controller, const TovIOSDeviceNode& node,
                        const std::string& backupFolder, const std::string& scanFolder, const std::string& command) {
    ReportFacts facts;
    facts.backup = node;
    facts.backup.backUpFilePath = absoluteFolder(backupFolder);
    facts.scanTime = controller.scanStartTime;
    facts.command = command;
    // The scan reads copies in a working folder (or the decrypted ones)
    // unless it ran in place; a copy is named as in the backup.
    for (const std::string& path : controller.databaseFilesInBackup(backupFolder, scanFolder))
        facts.databaseFiles.push_back(absoluteFolder(path));
    return facts;
}

int runScan(std::string folder, const ScanOptions& options, const std::string& command,
            const cli::PasswordOptions& password) {
    const bool asJson = options.asJson;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    WrenfieldAppDelegate controller;

    TovIOSDeviceController probe;
    probe.addDeviceNodeByPath(folder);
    if (probe.arrangedObjects().empty()) {
        std::fprintf(stderr,
                     "kestrel: %s is not an iTunes backup folder (it needs a readable Info.plist, or a "
                     "Manifest.plist with a Lockdown dictionary, and at least two entries)\n",
                     cli::terminalSafe(folder).c_str());
        return 2;
    }
    DeviceNodePtr node = probe.arrangedObjects().front();

    // An encrypted backup is scanned through its decrypted databases in a
    // private working folder; the backup itself is only ever read.
    cli::EncryptedScanSetup decrypted;
    if (node->encrypted) {
        decrypted = cli::prepareEncryptedScan(folder, password);
        if (decrypted.exitStatus != 0) return decrypted.exitStatus;
    }
    const std::string scanFolder = decrypted.folder ? decrypted.folder->path() : folder;

    // By default the scan reads private copies of the databases in a working
    // folder (made and removed by the controller); in place it commits and
    // reads the backup's own files.
    if (options.inPlace) {
        std::fprintf(stderr,
                     "kestrel: warning: --in-place scans the backup's own databases: the commit step switches "
                     "them to write-ahead logging and checkpoints them, which changes the backup and may "
                     "overwrite deleted records\n");
    }
    // The decrypted folder is already a private copy: it is scanned as it is.
    controller.setScanInPlace(options.inPlace || decrypted.folder != nullptr);

    cli::CommandLineFrontEnd frontEnd(/*printProgress=*/true);
    TovResultViewController& results = controller.showResultView();
    results.setDelegate(&frontEnd);
    // The JSON of a scan that does not export keeps no message: each is
    // written out as it is listed (with its name when the list is to be
    // sorted by name). Without a temporary file the records are kept instead.
    std::unique_ptr<cli::StreamedMessageList> streamed;
    if (asJson && options.exportDir.empty()) {
        std::string error;
        streamed = cli::StreamedMessageList::create(options.deletedOnly, options.sort == "name", &error);
        if (streamed && !results.streamMessagesTo(streamed.get(), &error)) streamed.reset();
        if (!streamed) NSLog("The messages are kept for the listing: %s", error.c_str());
    }
    // Written out as they are listed, the carved messages need not be kept
    // by the scan either.
    controller.setKeepDeletedMessages(!streamed);
    controller.scanDeviceNode(node, scanFolder);
    frontEnd.runUntilScanFinished();
    controller.waitForScanThread();
    // The scan has listed every message: the list is complete.
    const bool streamedKeysGood = results.streamedKeysGood();
    results.streamMessagesTo(nullptr);

    if (controller.scanStopped()) {
        results.setDelegate(nullptr);
        const int signal = stopSignal();
        std::fprintf(stderr, "kestrel: scan stopped%s\n", signal == SIGTERM ? " (SIGTERM)" : "");
        return signal == SIGTERM ? 128 + SIGTERM : 130;
    }
    const std::vector<std::string> warnings = controller.scanWarnings();

    // The scan has opened the message list. Tick, filter and sort it as a
    // user would, then export.
    if (!options.exportDir.empty()) tickRecords(results, options.tick);
    if (options.deletedOnly) results.actCheck(true);
    if (options.sort == "name") results.tableView(Category::Messages, "Name");
    bool exported = true;
    std::string destination;
    if (!options.exportDir.empty()) {
        std::string error;
        const std::optional<ExportFormats> formats = parseExportFormats(options.formats, &error);
        if (!formats) {  // checked when the options were read
            std::fprintf(stderr, "kestrel: %s\n", error.c_str());
            return 2;
        }
        destination = absoluteFolder(options.exportDir);
        results.setReportFacts(reportFacts(controller, *node, folder, scanFolder, command));
        exported = runExport(results, frontEnd, destination, *formats);
    }
    results.setDelegate(nullptr);

    if (asJson) {
        nlohmann::ordered_json head;
        head["backup"] = cli::deviceToJson(*node);
        head["progress"] = frontEnd.progress();
        nlohmann::ordered_json tail;
        tail["counts"] = cli::countsToJson(results);
        tail["warnings"] = warnings;
        if (!destination.empty()) {
            tail["exportFolder"] = destination;
            tail["exported"] = exported;
            tail["ticked"] = results.selectedFilesNum;
        }
        // Deleted-only lists the deleted records of every category.
        std::vector<ContactPtr> contacts;
        for (const ContactPtr& c : results.contactArray) {
            if (!options.deletedOnly || c->bDeleted()) contacts.push_back(c);
        }
        if (!streamed) {
            cli::printScanJson(head, contacts, results.messageController, tail);
        } else if (!cli::printScanJson(head, contacts, *streamed, sortDirections().name.load(), tail) ||
                   !streamedKeysGood) {
            std::fprintf(stderr, "kestrel: the message list could not be kept in a temporary file: it is incomplete\n");
            return 1;
        }
    } else {
        cli::printScanReport(*node, results, results.messageController);
        for (const std::string& warning : warnings) std::printf("Warning: %s\n", cli::terminalSafe(warning).c_str());
        if (!warnings.empty()) std::printf("The lists may be incomplete.\n");
        if (!destination.empty() && exported) std::printf("%s\n", destination.c_str());
    }
    for (const std::string& warning : warnings) {
        std::fprintf(stderr, "kestrel: warning: %s\n", cli::terminalSafe(warning).c_str());
    }
    return exported && warnings.empty() ? 0 : 1;
}

// Sends the feedback window's mail and waits for the result.
int runFeedback(const std::string& email, const std::string& text) {
    const FeedbackMailResult result = sendFeedBackEmailHandle(email, text);
    if (!result.sent()) {
        std::fprintf(stderr, "kestrel: feedback not sent: %s\n",
                     result.error.empty() ? "the mail server did not take the mail" : result.error.c_str());
        return 1;
    }
    std::printf("feedback sent\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    preferLargePagesForThisThread();  // before anything fills the heap
    CLI::App app{
        "kestrel - recovers the text messages (SMS and iMessage) and contacts of an iPhone, iPad or iPod touch,\n"
        "deleted ones included, from the backups that iTunes keeps on a computer."};
    app.set_version_flag("--version", std::string("kestrel ") + KESTREL_VERSION);
    app.require_subcommand(1);
    app.footer(
        "Ctrl-C (SIGINT) during a scan stops it at its next page or row, removes its working folder and ends\n"
        "with exit status 130 (143 for SIGTERM). Parse errors end with exit status 2.");
    bool debugLog = false;
    app.add_flag("--debug-log", debugLog,
                 "Write detailed log lines (\"log: ...\" on standard error), names, numbers and message texts\n"
                 "included. Without it the log says only what happened (a database missing, a statement that\n"
                 "failed, how many records each step found) and holds nothing of the backup's content");

    std::string backupRoot;
    bool listJson = false;
    CLI::App* list = app.add_subcommand("list", "List the backups under the backup root, in directory order.");
    list->add_option("--backup-root", backupRoot,
                     "Folder holding one sub-folder per backup, or one backup itself (default: $KESTREL_BACKUP_ROOT,\n"
                     "else ~/Library/Application Support/MobileSync/Backup when it exists, else\n"
                     "~/.local/share/kestrel/backups; now " +
                         defaultBackupRoot() + ")");
    list->add_flag("--json", listJson, "Print a JSON array of the backup records");

    std::string folder;
    ScanOptions options;
    CLI::App* scan = app.add_subcommand(
        "scan", "Scan one backup folder: existing contacts and messages, then deleted ones carved from the raw "
                "database pages.\nProgress goes to standard error, results to standard output.\n"
                "The backup is never written: the databases and their -wal, -shm and -journal files are copied\n"
                "into a private working folder (mode 0700 under $TMPDIR, removed at the end, on failure and on\n"
                "Ctrl-C) and only the copies are read and committed; an iOS 6 message database that came with\n"
                "no -wal, -shm or -journal file, and whose header covers the file exactly, is not copied but\n"
                "mapped read-only and read where it lies.");
    scan->footer(
        "Exit status: 0 when everything was read; 1 when the lists may be incomplete (a database could not\n"
        "be read, a statement failed or a read ended early: each is named in a \"Warning:\" line, and in the\n"
        "JSON field warnings) or an export failed; 2 for a bad command line or a folder that is not a backup;\n"
        "130 when stopped by Ctrl-C (SIGINT), 143 by SIGTERM: the scan ends at its next page or row and\n"
        "leaves no working folder; a second Ctrl-C ends the program at once.");
    scan->add_option("FOLDER", folder, "The backup folder")->required();
    scan->add_flag("--json", options.asJson,
                   "Print one JSON object: backup, progress, contacts, messages (in listed order), counts,\n"
                   "warnings (always present, empty when the scan read everything); with --export also\n"
                   "exportFolder, exported and ticked");
    scan->add_flag("--read-only", options.readOnly,
                   "Scan copies of the databases in a private working folder, or read them through a read-only\n"
                   "mapping (the default; kept for old scripts)");
    scan->add_flag("--in-place", options.inPlace,
                   "Scan the backup's own databases, as older versions did: the commit step switches them to\n"
                   "write-ahead logging and checkpoints them, WHICH WRITES INTO THE BACKUP (a warning says so)")
        ->excludes("--read-only");
    scan->add_flag("--debug-log", options.debugLog,
                   "Detailed log lines on standard error, names and message texts included (same as the global\n"
                   "--debug-log)");
    scan->add_flag("--deleted-only", options.deletedOnly,
                   "List only the deleted records of every category (\"Only dispaly deleted files\")");
    scan->add_option("--sort", options.sort,
                     "Order the listed messages by name, as one click on a column heading does (ascending)")
        ->check(CLI::IsMember({"name"}));
    CLI::Option* exportOption = scan->add_option(
        "--export", options.exportDir,
        "Export the ticked records into DIR (created if needed). The text files (--format txt): Photo&Video/,\n"
        "Contact/Contacts.txt and one vCard per contact, Message/Messages.txt, Note/Notes.txt,\n"
        "CallHistory/Call History.txt. Every export also writes manifest.json (version, times, command, SHA-256\n"
        "of each database file read and of each file written). Text files of an earlier export are kept: the\n"
        "new text is then left in TXT.txt (TXT 2.txt, TXT 3.txt ... on later exports) beside them; a report\n"
        "whose name is taken gets the first free numbered name (report 2.html, manifest 2.json ...). A category\n"
        "folder that is a symbolic link is refused. Progress goes to standard error once a second; the folder's\n"
        "path is printed last. Exit status 1 when a folder or file cannot be written");
    exportOption->type_name("DIR");
    scan->add_option("--tick", options.tick,
                     "Records to export: messages (every message, the default), deleted (every deleted message)\n"
                     "or all (every record of every category)")
        ->check(CLI::IsMember({"messages", "deleted", "all"}))
        ->needs(exportOption);
    scan->add_option("--format", options.formats,
                     "What the export writes, a comma list of: txt (the text files, vCards and media copies; the\n"
                     "default), html (report.html: the backup, counts, conversations, contacts, hashes), csv\n"
                     "(Contact/Contacts.csv, Message/Messages.csv, Note/Notes.csv, CallHistory/Call History.csv) and\n"
                     "json (records.json: the ticked records as --json prints them, with the backup and hashes)")
        ->type_name("LIST")
        ->check([](const std::string& value) {
            std::string error;
            return parseExportFormats(value, &error) ? std::string() : error;
        })
        ->needs(exportOption);
    cli::PasswordOptions passwordOptions;
    cli::addPasswordOptions(*scan, passwordOptions);

    std::string feedbackEmail;
    std::string feedbackText;
    const FeedbackMailSettings mailSettings = feedbackMailSettings();
    CLI::App* feedback = app.add_subcommand(
        "feedback", "Send a suggestion to the makers' feedback mailbox, as the Feedback window does, and wait.");
    feedback->footer(
        "The mail's subject is \"Kestrel\", its body \"RegEmail: ADDRESS\", a line break and \"Suggestion:TEXT\".\n"
        "It goes through the SMTP server " + mailSettings.host + ", port " + std::to_string(mailSettings.port) +
        "; the environment variables KESTREL_SMTP_HOST and\n"
        "KESTREL_SMTP_PORT replace that host and port. Exit status 0 when the server took the mail, 1 with\n"
        "the reason on standard error when it did not (login or recipient refused, no connection, or no\n"
        "answer in time: within about a minute).");
    feedback->add_option("--email", feedbackEmail, "Your e-mail address, sent in the body (may be left out)")
        ->type_name("ADDRESS");
    feedback->add_option("TEXT", feedbackText, "The suggestion, one argument (quote it)")->required();

    cli::CarveCommandOptions carveOptions;
    CLI::App* carve = cli::addCarveCommand(app, carveOptions);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }

    setDebugLogging(debugLog || options.debugLog);
    // The system log (lines such as "contactDB is not exist") goes to standard error.
    setLogSink([](const std::string& line) { std::fprintf(stderr, "log: %s\n", line.c_str()); });

    if (*list) return runList(backupRoot, listJson);
    if (*scan) return runScan(folder, options, commandLineText(argc, argv), passwordOptions);
    if (*feedback) return runFeedback(feedbackEmail, feedbackText);
    if (*carve) return cli::runCarveCommand(carveOptions);
    return 2;
}
