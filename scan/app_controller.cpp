#include "scan/app_controller.h"

#include <sqlite3.h>

#include <algorithm>
#include <any>
#include <cstring>
#include <condition_variable>
#include <exception>
#include <filesystem>

#include "app/large_pages.h"
#include "app/log.h"
#include "app/working_folder.h"
#include "carve/contact_carver.h"
#include "carve/deleted_message_step.h"
#include "carve/message_carver.h"
#include "carve/sqlite_raw.h"
#include "extract/existing_contacts.h"
#include "extract/existing_messages.h"
#include "results/result_view_controller.h"
#include "scan/deferred_sink.h"
#include "scan/hand_over_sink.h"
#include "scan/working_copies.h"

namespace kestrel {
namespace {
std::atomic<WrenfieldAppDelegate*> g_controller{nullptr};
}  // namespace

WrenfieldAppDelegate::WrenfieldAppDelegate() : nc(NotificationCenter::defaultCenter()) {
    backupRoot_ = defaultBackupRoot();
    g_controller.store(this);
}

WrenfieldAppDelegate::~WrenfieldAppDelegate() {
    stopScan();  // a scan still running is stopped, not waited for to its end
    waitForScanThread();
    resultViewController.reset();
    WrenfieldAppDelegate* expected = this;
    g_controller.compare_exchange_strong(expected, nullptr);
}

WrenfieldAppDelegate* WrenfieldAppDelegate::GetAppControllor() { return g_controller.load(); }

bool WrenfieldAppDelegate::showIphoneDiskView() {
    deviceController.removeAll();
    showIphoneDisk();
    return !deviceController.arrangedObjects().empty();
}

void WrenfieldAppDelegate::showIphoneDisk() { enumerateBackupRoot(backupRoot_, deviceController); }

double WrenfieldAppDelegate::windowWillPositionSheetY(double proposedY, double windowHeight) {
    if (windowHeight == 559 || windowHeight == 537) return proposedY - 1;
    if (windowHeight == 620) return proposedY - 78;
    return proposedY;
}

bool WrenfieldAppDelegate::IOSVersionIOS6(const std::optional<std::string>& version) {
    if (!version || version->empty()) return false;
    size_t dot = version->find('.');
    return version->substr(0, dot) == "6";
}

TovResultViewController& WrenfieldAppDelegate::showResultView() {
    if (!resultViewController) resultViewController = std::make_unique<TovResultViewController>(nc);
    return *resultViewController;
}

void WrenfieldAppDelegate::actScanIOSBackupFile(int selectedRow) {
    const auto& nodes = deviceController.arrangedObjects();
    if (selectedRow < 0 || static_cast<size_t>(selectedRow) >= nodes.size()) return;
    DeviceNodePtr node = nodes[static_cast<size_t>(selectedRow)];
    scanDeviceNode(node, node->backUpFilePath);
}

void WrenfieldAppDelegate::scanDeviceNode(const DeviceNodePtr& node, const std::string& scanFolder) {
    if (!node || isScanning()) return;
    currentNode = node;
    currentNodeIsiOS6Version = IOSVersionIOS6(node->strIOSVersion);
    // The results view is reset before the worker starts, so that no record
    // the worker posts can be counted before the reset and then lost.
    showResultView().showView();
    ScanIOSBackFile(scanFolder);
}

void WrenfieldAppDelegate::ScanIOSBackFile(const std::string& path) {
    waitForScanThread();
    messageArray.clear();
    deletedMessagesPosted_ = 0;
    chatMessageArray.clear();
    contactArray.clear();
    delContactValueArray.clear();
    delContactArray.clear();
    nameLookup_.reset();
    scannedDatabaseFiles.clear();
    scanStartTime = std::time(nullptr);
    {
        std::lock_guard<std::mutex> lock(warningsMutex_);
        warnings_.clear();
    }
    contactsReadFailed_ = false;
    messagesReadFailed_ = false;
    existingMessageCount_ = 0;
    reading_ = Reading::None;
    stopped_.store(false);
    scannedBackup_ = path;
    // From here until the worker ends, Ctrl-C (SIGINT) or SIGTERM stops the
    // scan instead of ending the process at once.
    running_ = std::make_unique<ScanRunning>();
    preferLargePagesForThisThread();  // the lists grow on this thread's heap too
    scanning_.store(true);
    scanBackFileThreader = std::thread([this, path] {
        preferLargePagesForThisThread();
        ScanIOSBackUpFilehand(path);
    });
}

namespace {

// Whether committing a copy of this database, with no log or journal beside
// it, would leave every byte past the header as it is: the file starts as a
// database does, and the header's page count is in force (its change counter
// matches its version-valid-for number) and covers the file exactly, so the
// commit neither cuts nor extends it.
bool wholePagesAsTheHeaderSays(const RawFile& file) {
    static constexpr char kMagic[] = "SQLite format 3";
    if (file.size() < 100 || std::memcmp(file.data(), kMagic, sizeof kMagic) != 0) return false;
    const uint8_t* header = file.data();
    uint64_t pageSize = readBigEndian(header, 16, 2);
    if (pageSize == 1) pageSize = 65536;
    if (pageSize < 512 || (pageSize & (pageSize - 1)) != 0) return false;
    const uint64_t pages = readBigEndian(header, 28, 4);
    return pages > 0 && readBigEndian(header, 24, 4) == readBigEndian(header, 92, 4) &&
           pages * pageSize == static_cast<uint64_t>(file.size());
}

}  // namespace

std::unique_ptr<WorkingFolder> WrenfieldAppDelegate::prepareWorkingFolder(const std::string& backupFolder) {
    std::vector<CopyRequest> copied;
    return prepareWorkingFolder(backupFolder, copied);
}

std::unique_ptr<WorkingFolder> WrenfieldAppDelegate::prepareWorkingFolder(const std::string& backupFolder,
                                                                          std::vector<CopyRequest>& copied,
                                                                          bool messagesWithoutCopy) {
    messageSource_.clear();
    messageOriginal_.reset();
    std::string error;
    std::unique_ptr<WorkingFolder> working = WorkingFolder::create(&error);
    if (!working) {
        NSLog("No working folder: %s", error.c_str());
        addWarning("no working folder could be made for the copies of the databases (" + error + ")");
        return nullptr;
    }
    std::vector<std::string> problems;
    // A message database that came alone (no log, journal or shared-memory
    // file) and whose header's page count covers the file exactly is not
    // copied: its copy, once committed, would hold the same bytes past the
    // header, so the steps read and walk the backup's own file through one
    // read-only mapping instead, which nothing can write. Anything else is
    // copied as before, and a file that is refused here is refused again,
    // with its reason, by the copy.
    const auto readWithoutCopy = [&](const std::string& name, const std::vector<CopyRequest>& requests) {
        if (!messagesWithoutCopy || name != kMessageDBName || requests.size() != 1) return false;
        std::string openPath;
        if (!sourceRefusal(requests.front().source, backupFolder, openPath).empty()) return false;
        std::shared_ptr<const RawFile> file = RawFile::open(openPath);
        if (!file || !wholePagesAsTheHeaderSays(*file)) return false;
        messageOriginal_ = std::move(file);
        messageSource_ = requests.front().source;
        return true;
    };
    copyDatabasesInto(backupFolder, *working, problems, copied, readWithoutCopy);
    for (const std::string& problem : problems) addWarning(problem);
    return working;
}

void WrenfieldAppDelegate::ScanIOSBackUpFilehand(const std::string& path) {
    std::unique_ptr<WorkingFolder> working;
    std::string folder = path;
    std::vector<CopyRequest> copied;
    if (!path.empty() && !scanInPlace_) {
        // Only the walk beside the existing-message step (the iOS 6 one)
        // reads a message database that was not copied.
        working = prepareWorkingFolder(path, copied, carveBesideSteps_ && !walkHandOver_ && currentNodeIsiOS6Version);
        folder = working ? working->path() : std::string();
    }
    if (working && carveBesideSteps_) {
        // The backup's own files keep the original bytes while the steps
        // commit the copies: the carving runs beside the steps.
        runStepsAlongsideCarving(folder, copied);
    } else {
        // The carver maps the databases and their logs before any step
        // commits them, so it sees the original bytes.
        if (!stopRequested()) carveOriginalDatabases(folder);
        // Each step is skipped once a stop was asked for; the steps
        // themselves poll between rows and pages.
        using Step = void (WrenfieldAppDelegate::*)(const std::string&);
        for (Step step : {&WrenfieldAppDelegate::scanContactThread, &WrenfieldAppDelegate::scanMessageThread,
                          &WrenfieldAppDelegate::scanDelContactThread, &WrenfieldAppDelegate::scanDelMessageThread}) {
            if (stopRequested()) break;
            (this->*step)(folder);
        }
    }
    // The copies go before the finishing step, so that nothing of them is
    // left once the front end sees the scan end.
    working.reset();
    messageSource_.clear();
    messageOriginal_.reset();
    if (stopRequested()) {
        stopped_.store(true);
        NSLog("The scan was stopped");
    }
    if (resultViewController) resultViewController->ScanThreadFinish();
    removeSomeArray();
    running_.reset();
    scanning_.store(false);
}

void WrenfieldAppDelegate::stopScan() {
    if (isScanning()) requestStop();
}

void WrenfieldAppDelegate::addWarning(const std::string& text) {
    std::lock_guard<std::mutex> lock(warningsMutex_);
    warnings_.push_back(text);
}

std::vector<std::string> WrenfieldAppDelegate::scanWarnings() const {
    std::lock_guard<std::mutex> lock(warningsMutex_);
    return warnings_;
}

bool WrenfieldAppDelegate::existingStepFailed() const {
    std::lock_guard<std::mutex> lock(warningsMutex_);
    return contactsReadFailed_ || messagesReadFailed_;
}

void WrenfieldAppDelegate::postReadFailure(const std::string& what) {
    {
        std::lock_guard<std::mutex> lock(warningsMutex_);
        if (reading_ == Reading::Contacts) contactsReadFailed_ = true;
        if (reading_ == Reading::Messages) messagesReadFailed_ = true;
    }
    addWarning(what + "; the list may be incomplete");
}

void WrenfieldAppDelegate::removeSomeArray() {
    messageArray.clear();
    messageArray.shrink_to_fit();
    chatMessageArray.clear();
    chatMessageArray.shrink_to_fit();
    contactArray.clear();
    contactArray.shrink_to_fit();
    delContactValueArray.clear();
    delContactValueArray.shrink_to_fit();
    delContactArray.clear();
    delContactArray.shrink_to_fit();
    nameLookup_.reset();
    carvedMessages_ = CarvedBackupRecords{};
    carvedContacts_ = CarvedBackupRecords{};
}

void WrenfieldAppDelegate::waitForScanThread() {
    if (scanBackFileThreader.joinable() && scanBackFileThreader.get_id() != std::this_thread::get_id()) {
        scanBackFileThreader.join();
    }
}

bool WrenfieldAppDelegate::commitDB(const std::string& path, bool durable) {
    sqlite3* db = nullptr;
    const int opened = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    if (opened != SQLITE_OK) {
        NSLog("Commit step: a database cannot be opened: %s", sqlite3_errstr(opened));
        sqlite3_close(db);
        return false;
    }
    sqlite3_busy_timeout(db, 3000);
    char* error = nullptr;
    if (!durable) sqlite3_exec(db, "PRAGMA synchronous=OFF;", nullptr, nullptr, nullptr);
    if (sqlite3_exec(db, "PRAGMA journal_mode=WAL;", nullptr, nullptr, &error) != SQLITE_OK) {
        NSLog("Commit step: the journal mode cannot be changed: %s", error != nullptr ? error : "unknown error");
        sqlite3_free(error);
        sqlite3_close(db);
        return false;
    }
    const int checkpoint = sqlite3_wal_checkpoint(db, nullptr);
    if (checkpoint != SQLITE_OK) {
        // Logged rather than printed on standard output, which carries the
        // command line's results.
        NSLog("Failed to commit: %s", sqlite3_errstr(checkpoint));
    }
    sqlite3_close(db);
    return checkpoint == SQLITE_OK;
}

std::string WrenfieldAppDelegate::databaseToScan(const std::string& path, const std::string& name,
                                                 const char* missingLog) {
    if (!scanInPlace_) {
        // The working folder holds regular files only, made by this scan.
        const std::string dbPath = databasePathInBackup(path, name);
        if (dbPath.empty()) NSLog("%s", missingLog);
        return dbPath;
    }
    const std::string dbPath = backupEntryPath(path, name);
    if (dbPath.empty()) {
        NSLog("%s", missingLog);
        return dbPath;
    }
    const std::string refusal = inPlaceRefusal(dbPath, scannedBackup_.empty() ? path : scannedBackup_);
    if (!refusal.empty()) {
        const std::string text = std::string(name == kAddressBookDBName ? "the address book" : "the message database") +
                                 " is skipped: it " + refusal;
        NSLog("%s", text.c_str());
        // Said once, by the existing-record step.
        if (reading_ != Reading::None) addWarning(text);
        return std::string();
    }
    return dbPath;
}

std::unique_ptr<RawFile> WrenfieldAppDelegate::openDatabaseToCarve(const std::string& path, const std::string& name,
                                                                  const char* missingLog) {
    const std::string dbPath = databaseToScan(path, name, missingLog);
    if (dbPath.empty()) return nullptr;
    commitDB(dbPath, scanInPlace_);
    return RawFile::open(dbPath);
}

std::vector<std::string> WrenfieldAppDelegate::databaseFilesInBackup(const std::string& backupFolder,
                                                                     const std::string& scanFolder) const {
    std::vector<std::string> files;
    for (const std::string& path : scannedDatabaseFiles) {
        if (scanFolder == backupFolder && path.rfind(backupFolder + "/", 0) == 0) {
            files.push_back(path);
            continue;
        }
        // A copy is named by the database's name, with the same suffix.
        std::string name = std::filesystem::path(path).filename().string();
        std::string suffix;
        for (const char* s : {"-wal", "-shm"}) {
            if (name.size() > 4 && name.compare(name.size() - 4, 4, s) == 0) {
                suffix = s;
                name.resize(name.size() - 4);
            }
        }
        const std::string original = databasePathInBackup(backupFolder, name);
        files.push_back(original.empty() ? path : original + suffix);
    }
    return files;
}

void WrenfieldAppDelegate::noteDatabaseRead(const std::string& dbPath) {
    // SQLite reads a database's write-ahead log with it.
    for (const std::string& path : {dbPath, dbPath + "-wal"}) {
        std::error_code ec;
        if (path != dbPath && !std::filesystem::is_regular_file(path, ec)) continue;
        if (std::find(scannedDatabaseFiles.begin(), scannedDatabaseFiles.end(), path) == scannedDatabaseFiles.end()) {
            scannedDatabaseFiles.push_back(path);
        }
    }
}

void WrenfieldAppDelegate::carveOriginalDatabases(const std::string& path) {
    carvedMessages_ = CarvedBackupRecords{};
    carvedContacts_ = CarvedBackupRecords{};
    if (path.empty()) return;
    {
        const BackupDatabaseFiles f = openBackupDatabase(path, kMessageDBName, kMessageWalName, kMessageJournalName);
        carvedMessages_ = carveMessageDatabase(f.database.get(), f.wal.get(), f.journal.get(), "sms.db");
    }
    const BackupDatabaseFiles f =
        openBackupDatabase(path, kAddressBookDBName, kAddressBookWalName, kAddressBookJournalName);
    carvedContacts_ = carveAddressBook(f.database.get(), f.wal.get(), f.journal.get(), "AddressBook.sqlitedb");
}

namespace {

// The file a copy named `name` was made from, mapped; null when there is no
// such copy.
std::unique_ptr<RawFile> originalOf(const std::vector<CopyRequest>& copied, const std::string& name) {
    for (const CopyRequest& request : copied) {
        if (request.destinationName == name) return RawFile::open(request.source);
    }
    return nullptr;
}

// The carve of one original database, as the copies are laid out: each
// database under its hashed name, its log and journal beside it.
// The mapping of the database is also given to `kept`, when one is given.
template <typename Carver>
CarvedBackupRecords carveOriginal(const std::vector<CopyRequest>& copied, const std::string& name, Carver&& carver,
                                  std::shared_ptr<const RawFile>* kept = nullptr) {
    // A mapping made before (and kept) is carved rather than made again.
    const std::shared_ptr<const RawFile> database =
        kept != nullptr && *kept ? *kept : std::shared_ptr<const RawFile>(originalOf(copied, name));
    if (!database) return CarvedBackupRecords{};
    if (kept != nullptr && !*kept) *kept = database;
    const std::unique_ptr<RawFile> wal = originalOf(copied, name + "-wal");
    const std::unique_ptr<RawFile> journal = originalOf(copied, name + "-journal");
    return carver(database.get(), wal.get(), journal.get());
}

}  // namespace

void WrenfieldAppDelegate::carveOriginalAddressBook(const std::vector<CopyRequest>& copied) {
    carvedContacts_ = carveOriginal(copied, kAddressBookDBName, [](const RawFile* d, const RawFile* w, const RawFile* j) {
        return carveAddressBook(d, w, j, "AddressBook.sqlitedb");
    });
}

void WrenfieldAppDelegate::carveOriginalMessages(const std::vector<CopyRequest>& copied,
                                                 const std::function<void(LiveCellRanges)>& liveCellsKnown) {
    carvedMessages_ = carveOriginal(
        copied, kMessageDBName,
        [&](const RawFile* d, const RawFile* w, const RawFile* j) {
            return carveMessageDatabase(d, w, j, "sms.db", liveCellsKnown);
        },
        &messageOriginal_);
    // The carve's working memory (every image it found, most of them dropped
    // by now) stays with the carving thread's heap for what it makes next:
    // handed back to the system, each page of it would cost a fault and a
    // zeroed page again (about 6% of a scan's processor time), for about
    // 2 MB less at the peak at 1,000,000 messages.
}

// How far the worker's existing-record steps have come, for the carving
// thread to wait on. The worker always moves it to the end before it waits
// for the carving thread, also when the scan is stopped.
class StepGate {
public:
    // The worker reaches ContactsRead, then MessagesWalked; the carving
    // thread, on a gate of its own, ContactsCarved, then LiveCellsKnown (of
    // the message database), then MessagesCarved; a walk of the message
    // copy beside the existing-message step, on a third, CopyCommitted,
    // then the worker MessagesRead once the step is done.
    enum Stage {
        Start = 0,
        ContactsRead = 1,
        MessagesWalked = 2,
        ContactsCarved = 3,
        LiveCellsKnown = 4,
        MessagesCarved = 5,
        CopyCommitted = 6,
        MessagesRead = 7,
        Last = MessagesRead
    };
    void reach(Stage stage) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stage > stage_) stage_ = stage;
        }
        changed_.notify_all();
    }
    void waitFor(Stage stage) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return stage_ >= stage; });
    }
    // A failure of the thread that moves the gate: kept, and every stage
    // reached, so that no one waits for it any longer.
    void fail(std::exception_ptr failure) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            failure_ = std::move(failure);
            stage_ = Last;
        }
        changed_.notify_all();
    }
    std::exception_ptr failure() {
        std::lock_guard<std::mutex> lock(mutex_);
        return failure_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    Stage stage_ = Start;
    std::exception_ptr failure_;
};

// The walk's thread, what it hands over and what it passed. Its thread is
// waited for on every way out; records no one drained are dropped.
struct WrenfieldAppDelegate::CopyWalk {
    CopyWalk(RecordSink& names, const LiveCellRanges& live, size_t waitingBatches, HandOverSink::Naming naming)
        : handOver(names, kBatch, waitingBatches, std::move(naming)), walked(handOver, live) {}
    ~CopyWalk() {
        gate.reach(StepGate::MessagesRead);
        if (walker.joinable()) {
            handOver.abandon();
            walker.join();
        }
    }
    CopyWalk(const CopyWalk&) = delete;
    CopyWalk& operator=(const CopyWalk&) = delete;

    static constexpr size_t kBatch = 256;
    // CopyCommitted by the walk's thread, MessagesRead by the worker.
    StepGate gate;
    HandOverSink handOver;
    LiveCellFilter walked;
    std::thread walker;
    bool opened = false;  // the copy was there to walk
    std::exception_ptr failure;
};

namespace {

// What the carving thread did for one deleted-record step.
struct DeferredStep {
    bool ran = false;     // the step started (no stop had been asked for)
    bool opened = false;  // its database was there to carve
    std::unique_ptr<DeferredSink> sink;
    std::vector<std::string> logLines;
};

}  // namespace

void WrenfieldAppDelegate::runStepsAlongsideCarving(const std::string& folder, const std::vector<CopyRequest>& copied) {
    StepGate gate;
    DeferredStep contacts, messages, walk;
    std::vector<std::string> originalLogLines, messageCarveLogLines;
    LiveCellRanges messageLiveCells;  // set before the carving thread reaches LiveCellsKnown
    // Reached by the carving thread as it goes (all at once when it fails):
    // ContactsCarved once the address book and its copy are carved, then
    // LiveCellsKnown and MessagesCarved for the message database. What it
    // made up to a stage is final from then on.
    StepGate carved;
    carvedMessages_ = CarvedBackupRecords{};
    carvedContacts_ = CarvedBackupRecords{};
    // A message database without a log or journal: its committed copy would
    // hold the rows the original holds, so the existing-message step reads
    // the original through the carving thread's mapping, made here for both
    // (or when the database was not copied at all). The file's pages are
    // then brought into memory once for both, not read again from a copy.
    messagesFromOriginal_ = !messageSource_.empty() && messageOriginal_ != nullptr;
    if (!messagesFromOriginal_) messageOriginal_.reset();
    if (!messagesFromOriginal_ && std::none_of(copied.begin(), copied.end(), [](const CopyRequest& request) {
            return request.destinationName == std::string(kMessageDBName) + "-wal" ||
                   request.destinationName == std::string(kMessageDBName) + "-journal";
        })) {
        messageOriginal_ = originalOf(copied, kMessageDBName);
        messagesFromOriginal_ = messageOriginal_ != nullptr;
    }
    std::thread carving([&] {
        preferLargePagesForThisThread();
        try {
            LogCapture capture;
            // The address book first: its deleted records are posted before
            // the message database's, and its carve is small.
            if (!stopRequested()) carveOriginalAddressBook(copied);
            originalLogLines = capture.take();
            // The address book's copy is committed by the existing-contact
            // step, which also fills the list the carved records are named
            // from.
            gate.waitFor(StepGate::ContactsRead);
            if (!stopRequested()) {
                contacts.ran = true;
                if (!contactsReadFailed_) {
                    contacts.sink = std::make_unique<DeferredSink>(contactArray);
                    contacts.opened = carveDelContacts(folder, *contacts.sink);
                }
            }
            contacts.logLines = capture.take();
            carved.reach(StepGate::ContactsCarved);
            // The message database: its live cells are handed over as soon
            // as they are known, so that the walk of the copy can go on
            // while the pages are carved.
            if (!stopRequested()) {
                carveOriginalMessages(copied, [&](LiveCellRanges live) {
                    messageLiveCells = std::move(live);
                    carved.reach(StepGate::LiveCellsKnown);
                });
            }
            messageCarveLogLines = capture.take();
            carved.reach(StepGate::MessagesCarved);
            // The worker walks the message database's copy once its step
            // has committed and read it; its records go through the filter
            // that needs the original files' carve, done by now.
            gate.waitFor(StepGate::MessagesWalked);
            if (!stopRequested() && walk.ran) {
                messages.ran = true;
                messages.sink = std::make_unique<DeferredSink>(contactArray);
                messages.opened = walk.opened;
                if (walk.opened) filterWalkedMessages(*walk.sink, *messages.sink);
            }
            messages.logLines = std::move(messageCarveLogLines);
            for (std::string& line : std::move(walk.logLines)) messages.logLines.push_back(std::move(line));
            for (std::string& line : capture.take()) messages.logLines.push_back(std::move(line));
        } catch (...) {
            carved.fail(std::current_exception());
        }
    });
    // The carving thread is waited for on every way out of here.
    struct Joiner {
        StepGate& gate;
        std::thread& thread;
        std::shared_ptr<const RawFile>& original;
        ~Joiner() {
            gate.reach(StepGate::MessagesWalked);
            if (thread.joinable()) thread.join();
            original.reset();  // the walk, if any, has ended before
        }
    } joiner{gate, carving, messageOriginal_};

    if (!stopRequested()) scanContactThread(folder);
    gate.reach(StepGate::ContactsRead);
    // The walk of the message database's copy (the iOS 6 layout's, of a
    // working copy) goes on beside the existing-message step, once the
    // carving thread has the live cells; its records wait to be posted
    // after the step's.
    std::unique_ptr<CopyWalk> earlyWalk;
    if (!walkHandOver_ && !scanInPlace_ && currentNodeIsiOS6Version && !stopRequested())
        earlyWalk = startCopyWalk(folder, messageLiveCells, carved);
    if (!stopRequested()) scanMessageThread(folder);
    if (earlyWalk) earlyWalk->gate.reach(StepGate::MessagesRead);

    // What the carving thread did up to the address book, in the steps'
    // order; false when the message step is to be left out.
    const auto postOriginalsAndContacts = [&] {
        replayLogLines(originalLogLines);
        // As with the steps run in turn, a deleted-record step is left out
        // once a stop was asked for (the carving thread then left it out as
        // well, or its records are dropped here).
        if (stopRequested() || !contacts.ran) return false;
        if (contactsReadFailed_) {
            skipDelContacts();
        } else {
            replayLogLines(contacts.logLines);
            contacts.sink->replay(*this);
            if (contacts.opened) finishDelContacts();
        }
        return !stopRequested();
    };

    // Post the address book's records once the carving thread is done with
    // it, then walk the message copy and post as the walk finds, while the
    // carving thread carves the message database; or walk now and hand the
    // records over.
    if (!walkHandOver_) carved.waitFor(StepGate::ContactsCarved);
    bool streamed = false;
    if (!walkHandOver_ && !carved.failure()) {
        // The step runs here as it would in turn, its records posted as the
        // walk finds them, none kept to be handed over.
        streamed = true;
        if (postOriginalsAndContacts()) {
            if (messagesReadFailed_) {
                skipDelMessages();
            } else {
                carved.waitFor(StepGate::LiveCellsKnown);
                if (!carved.failure()) {
                    const auto carveDone = [&] {
                        carved.waitFor(StepGate::MessagesCarved);
                        if (carved.failure()) return false;
                        replayLogLines(messageCarveLogLines);
                        return true;
                    };
                    const bool opened = earlyWalk ? postCopyWalk(*earlyWalk, *this, carveDone)
                                                  : walkThenPostCarvedMessages(folder, *this, messageLiveCells, carveDone);
                    if (opened && !carved.failure()) finishDelMessages();
                }
            }
        }
    } else if (walkHandOver_ && !stopRequested()) {
        // The pattern walk of the message database's copy, here while the
        // carving thread may still be at the original files: it reads only
        // the copy, which the step has just committed. Its records wait for
        // the carving thread's filter.
        LogCapture capture;
        walk.ran = true;
        walk.sink = std::make_unique<DeferredSink>(contactArray);
        walk.opened = walkDelMessages(folder, *walk.sink);
        walk.logLines = capture.take();
    }
    gate.reach(StepGate::MessagesWalked);
    carving.join();
    // A failure on the carving thread goes on from here, as it would have
    // from the steps run one after the other.
    if (const std::exception_ptr failure = carved.failure()) std::rethrow_exception(failure);
    if (streamed) return;

    if (!postOriginalsAndContacts()) return;
    if (!messages.ran) return;
    if (messagesReadFailed_) {
        // The carving went for nothing: its lines and records are dropped,
        // as the step would not have carved.
        skipDelMessages();
        return;
    }
    replayLogLines(messages.logLines);
    messages.sink->replay(*this);
    if (messages.opened) finishDelMessages();
}

void WrenfieldAppDelegate::scanContactThread(const std::string& path) {
    if (path.empty()) return;
    reading_ = Reading::Contacts;
    const std::string dbPath = databaseToScan(path, kAddressBookDBName, "contactDB is not exist");
    reading_ = Reading::None;
    if (dbPath.empty()) return;
    noteDatabaseRead(dbPath);
    commitDB(dbPath, scanInPlace_);
    reading_ = Reading::Contacts;
    readExistingContacts(dbPath, *this);
    reading_ = Reading::None;
    NSLog("Existing contacts: %zu found", contactArray.size());
    postProgress(40);
}

void WrenfieldAppDelegate::scanMessageThread(const std::string& path) {
    if (path.empty()) return;
    reading_ = Reading::Messages;
    // The backup's own file when it was not copied (read through the
    // mapping only, never opened by SQLite).
    const std::string dbPath =
        messageSource_.empty() ? databaseToScan(path, kMessageDBName, "messageDB is not exist") : messageSource_;
    if (!dbPath.empty()) noteDatabaseRead(dbPath);
    const std::shared_ptr<const RawFile> original = messagesFromOriginal_ ? messageOriginal_ : nullptr;
    if (!dbPath.empty() && original) {
        readExistingMessages(original->data(), original->size(), currentNodeIsiOS6Version, *this);
    } else if (!dbPath.empty() && messageSource_.empty()) {
        readExistingMessages(dbPath, currentNodeIsiOS6Version, *this);
    }
    reading_ = Reading::None;
    if (dbPath.empty()) return;
    NSLog("Existing messages: %zu found", existingMessageCount_);
    postProgress(50);
}

void WrenfieldAppDelegate::scanDelContactThread(const std::string& path) {
    if (path.empty()) return;
    if (contactsReadFailed_) {
        skipDelContacts();
        return;
    }
    if (carveDelContacts(path, *this)) finishDelContacts();
}

void WrenfieldAppDelegate::skipDelContacts() {
    // Without the live persons a carved record cannot be told live from
    // deleted: none is listed as deleted.
    const char* text = "deleted contacts are not listed: the existing contacts could not be read, so live "
                       "records cannot be told from deleted ones";
    NSLog("%s", text);
    addWarning(text);
    postProgress(75);
}

bool WrenfieldAppDelegate::carveDelContacts(const std::string& path, RecordSink& sink) {
    if (path.empty()) return false;
    const std::unique_ptr<RawFile> file = openDatabaseToCarve(path, kAddressBookDBName, "contactDB is not exist");
    if (!file) return false;
    LiveCellFilter walked(sink, carvedContacts_.liveCells);
    carveDeletedContacts(file.get(), walked);
    postCarvedContacts(carvedContacts_, walked.passedContacts(), sink);
    return true;
}

void WrenfieldAppDelegate::finishDelContacts() {
    NSLog("Deleted contacts: %zu carved", delContactArray.size());
    postProgress(75);
}

void WrenfieldAppDelegate::scanDelMessageThread(const std::string& path) {
    if (path.empty()) return;
    if (messagesReadFailed_) {
        skipDelMessages();
        return;
    }
    if (carveDelMessages(path, *this)) finishDelMessages();
}

void WrenfieldAppDelegate::skipDelMessages() {
    const char* text = "deleted messages are not listed: the existing messages could not be read, so live "
                       "records cannot be told from deleted ones";
    NSLog("%s", text);
    addWarning(text);
    postProgress(85);
}

bool WrenfieldAppDelegate::carveDelMessages(const std::string& path, RecordSink& sink) {
    return walkThenPostCarvedMessages(path, sink, carvedMessages_.liveCells, [] { return true; });
}

bool WrenfieldAppDelegate::walkThenPostCarvedMessages(const std::string& path, RecordSink& sink,
                                                      const LiveCellRanges& live,
                                                      const std::function<bool()>& carveDone) {
    // The walk reads the pages on a thread of its own and hands its records
    // over a batch at a time, so that finding them and listing them (the
    // results, the JSON) go on side by side.
    CopyWalk walk(sink, live, 4, nullptr);
    walk.walker = std::thread([&] {
        walk.handOver.beginWalk();
        try {
            walk.opened = walkDelMessages(path, walk.walked);
        } catch (...) {
            walk.failure = std::current_exception();
        }
        walk.handOver.close();
    });
    return postCopyWalk(walk, sink, carveDone);
}

std::unique_ptr<WrenfieldAppDelegate::CopyWalk> WrenfieldAppDelegate::startCopyWalk(const std::string& path,
                                                                                 const LiveCellRanges& live,
                                                                                 StepGate& carved) {
    // Up to 32 batches wait: the walk gets well ahead while the existing
    // messages are read, and what waits stays a few megabytes. Names are
    // looked up on the worker as the records are posted: the lookup is the
    // worker's, which names the existing messages meanwhile.
    auto walk = std::make_unique<CopyWalk>(*this, live, 32, [](RecordSink& names, TovMessageNode& message) {
        nameWalkedMessage(names, message);
    });
    CopyWalk* w = walk.get();
    w->walker = std::thread([this, w, path, &carved] {
        preferLargePagesForThisThread();
        w->handOver.beginWalk();
        try {
            if (!messageSource_.empty()) {
                // Not copied: the backup's own bytes, mapped read-only, are
                // what the committed copy would hold past its header.
                const std::shared_ptr<const RawFile> original = messageOriginal_;
                w->gate.reach(StepGate::CopyCommitted);
                w->opened = original != nullptr;
                carved.waitFor(StepGate::LiveCellsKnown);
                if (original && !carved.failure() && !stopRequested() && !w->handOver.abandoned())
                    carveDeletedMessages(original.get(), currentNodeIsiOS6Version, w->walked);
            } else {
                // Committed first, as the walk would commit it after the step:
                // the step then reads the same rows, and its connection has no
                // log left to write back into the file while it is mapped here.
                // Should the commit fail, the file is mapped after the step.
                const std::string dbPath = databaseToScan(path, kMessageDBName, "messageDB is not exist");
                const bool committed = !dbPath.empty() && commitDB(dbPath, scanInPlace_);
                w->gate.reach(StepGate::CopyCommitted);
                if (!dbPath.empty()) {
                    if (!committed) w->gate.waitFor(StepGate::MessagesRead);
                    const std::unique_ptr<RawFile> copy = RawFile::open(dbPath);
                    if (copy) {
                        w->opened = true;
                        carved.waitFor(StepGate::LiveCellsKnown);
                        if (!carved.failure() && !stopRequested() && !w->handOver.abandoned()) {
                            // A copy without a log or journal beside it is
                            // committed by a change of its header at most (or
                            // by cutting what lies past its last page, which
                            // its size shows): its pages are then the
                            // original's, which the carving thread has mapped
                            // and read already, and the walk reads no byte of
                            // the header but the page size. Reading those
                            // spares touching every page of a second mapping.
                            const RawFile* file = copy.get();
                            const std::shared_ptr<const RawFile> original = messageOriginal_;
                            // (messagesFromOriginal_: no log or journal was
                            // copied beside it, and the original is mapped.)
                            if (currentNodeIsiOS6Version && committed && messagesFromOriginal_ && original &&
                                original->size() == copy->size() &&
                                original->at(16) == copy->at(16) && original->at(17) == copy->at(17))
                                file = original.get();
                            carveDeletedMessages(file, currentNodeIsiOS6Version, w->walked);
                        }
                    }
                }
            }
        } catch (...) {
            w->failure = std::current_exception();
        }
        w->gate.reach(StepGate::CopyCommitted);
        w->handOver.close();
    });
    w->gate.waitFor(StepGate::CopyCommitted);
    return walk;
}

bool WrenfieldAppDelegate::postCopyWalk(CopyWalk& walk, RecordSink& sink, const std::function<bool()>& carveDone) {
    walk.gate.reach(StepGate::MessagesRead);
    try {
        walk.handOver.drainInto(sink);
    } catch (...) {
        walk.walker.join();
        throw;
    }
    walk.walker.join();
    if (walk.failure) std::rethrow_exception(walk.failure);
    if (!walk.opened) return false;
    if (!carveDone()) return false;
    postCarvedMessages(carvedMessages_, walk.walked.passedMessages(), sink);
    return true;
}

bool WrenfieldAppDelegate::walkDelMessages(const std::string& path, RecordSink& walked) {
    if (path.empty()) return false;
    if (!messageSource_.empty()) {
        // Not copied: walked where it lies, never committed.
        const std::shared_ptr<const RawFile> original = messageOriginal_;
        if (original) carveDeletedMessages(original.get(), currentNodeIsiOS6Version, walked);
        return original != nullptr;
    }
    const std::unique_ptr<RawFile> file = openDatabaseToCarve(path, kMessageDBName, "messageDB is not exist");
    if (!file) return false;
    carveDeletedMessages(file.get(), currentNodeIsiOS6Version, walked);
    return true;
}

void WrenfieldAppDelegate::filterWalkedMessages(DeferredSink& walked, RecordSink& sink) {
    LiveCellFilter filter(sink, carvedMessages_.liveCells);
    walked.replay(filter);
    postCarvedMessages(carvedMessages_, filter.passedMessages(), sink);
}

void WrenfieldAppDelegate::finishDelMessages() {
    NSLog("Deleted messages: %zu carved", deletedMessagesPosted_);
    postProgress(85);
}

// Each notification name is made a text once: the carving steps post one
// per record.
void WrenfieldAppDelegate::postContact(ContactPtr contact) {
    static const std::string name = names::ScanContactInfo;
    contactArray.push_back(contact);
    nc.postNotificationName(name, std::any(std::move(contact)));
}

void WrenfieldAppDelegate::postMessage(MessagePtr message) {
    static const std::string name = names::ScanMessageInfo;
    ++existingMessageCount_;
    nc.postNotificationName(name, std::any(std::move(message)));
}

void WrenfieldAppDelegate::postDelContact(ContactPtr contact) {
    static const std::string name = names::ScanDelContactInfo;
    delContactArray.push_back(contact);
    nc.postNotificationName(name, std::any(std::move(contact)));
}

void WrenfieldAppDelegate::postDelContactValue(DelContactValuePtr value) {
    delContactValueArray.push_back(std::move(value));
}

void WrenfieldAppDelegate::postDelMessage(MessagePtr message) {
    static const std::string name = names::ScanDelMessageInfo;
    ++deletedMessagesPosted_;
    if (keepDeletedMessages_) messageArray.push_back(message);
    nc.postNotificationName(name, std::any(std::move(message)));
}

void WrenfieldAppDelegate::postChatMessage(ChatMessagePtr chat) { chatMessageArray.push_back(std::move(chat)); }

void WrenfieldAppDelegate::postProgress(int percent) {
    static const std::string name = names::ScanProgressInfo;
    nc.postNotificationName(name, std::any(percent));
}

std::optional<std::string> WrenfieldAppDelegate::getNameByPhoneNumber(const std::string& phone) {
    return nameLookup_.lookup(contactArray, phone);
}

std::optional<std::string> WrenfieldAppDelegate::getNameByHandle(const std::string& handle) {
    return nameLookup_.lookupHandle(contactArray, handle);
}

}  // namespace kestrel
