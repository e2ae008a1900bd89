// The application controller: the backup list, the scan run with its worker
// thread and notifications, the work lists the steps fill, and the database
// commit step. It is the record sink of every step of a scan: the readers and
// carvers deliver to it, and it posts what they find as notifications. Every
// other part reaches the one instance through GetAppControllor().
#pragma once

#include <atomic>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/backup_discovery.h"
#include "app/notification_center.h"
#include "app/record_sink.h"
#include "app/records.h"
#include "app/working_folder.h"
#include "carve/backup_carver.h"
#include "extract/conversions.h"

namespace kestrel {

class TovResultViewController;
class RawFile;
class ScanRunning;
class DeferredSink;
class StepGate;

// Alert texts of the backup list and of leaving (each passes through the
// localisation table, with the text as its key, where a front end has one).
inline constexpr const char* kNoBackupAlert = "No iTunes backup files found !";
inline constexpr const char* kNoBackupAlertButton = " Ok ";
inline constexpr const char* kNoBackupAlertInformative =
    "Please backup your iOS device with iTunes ,and run again after the backup operation has completed .";
inline constexpr const char* kExitAlert = "Are you sure you want to Exit ?";
inline constexpr const char* kExitAlertExit = " Exit ";
inline constexpr const char* kExitAlertCancel = "Cancel";
// The quit sheet's text area starts with this placeholder.
inline constexpr const char* kQuitSheetPlaceholder = "write something.";
// The main window's size while a scan runs and its results are shown.
inline constexpr int kScanWindowWidth = 850;
inline constexpr int kScanWindowHeight = 620;

class WrenfieldAppDelegate : public RecordSink {
public:
    // Registers this instance for GetAppControllor(); there is one at a time.
    WrenfieldAppDelegate();
    ~WrenfieldAppDelegate() override;
    WrenfieldAppDelegate(const WrenfieldAppDelegate&) = delete;
    WrenfieldAppDelegate& operator=(const WrenfieldAppDelegate&) = delete;

    static WrenfieldAppDelegate* GetAppControllor();

    // ---- Backup list ----
    // Empties the list and fills it from the backup root (default: the
    // login user's root). Returns true when at least one backup was found.
    bool showIphoneDiskView();
    void showIphoneDisk();
    void setBackupRoot(std::string root) { backupRoot_ = std::move(root); }
    const std::string& backupRoot() const { return backupRoot_; }

    // ---- Windows ----
    // Sheet placement: the vertical origin of a sheet proposed at
    // `proposedY` (coordinates growing upward) on a main window whose frame
    // is `windowHeight` high. Heights 559 and 537 move it 1 point down,
    // 620 moves it 78 points down; any other height leaves it.
    static double windowWillPositionSheetY(double proposedY, double windowHeight);

    // What closing the main window does; the window itself never closes.
    enum class LeaveAction {
        QuitSheet,  // no feedback sent yet: the quit sheet
        ExitAlert,  // feedback sent: ask kExitAlert (" Exit " / "Cancel")
    };
    LeaveAction windowShouldClose() const { return bFeedBack ? LeaveAction::ExitAlert : LeaveAction::QuitSheet; }

    // ---- Scan run ----
    static bool IOSVersionIOS6(const std::optional<std::string>& version);

    // Starts a scan of the backup at the given row of the list; does nothing
    // for a row < 0 or past the end.
    void actScanIOSBackupFile(int selectedRow);
    // Starts a scan of a device record that is not in the list (the command
    // line scans a folder given by the user).
    void scanDeviceNode(const DeviceNodePtr& node, const std::string& scanFolder);

    // Makes sure the results controller exists, so it observes the scan
    // notifications before any is posted.
    TovResultViewController& showResultView();

    // Creates the work lists and starts the worker thread.
    void ScanIOSBackFile(const std::string& path);
    // The worker thread's body: the four steps in order, then the finishing step.
    // By default the backup's databases are copied into a private working
    // folder first and only the copies are read, committed and carved
    // (see prepareWorkingFolder). The body then scans that folder.
    void ScanIOSBackUpFilehand(const std::string& path);
    void removeSomeArray();
    // Waits for the worker thread of the last scan to end.
    void waitForScanThread();
    bool isScanning() const { return scanning_.load(); }

    // The one place where a scan's working folder is made for a backup:
    // a new private folder holding the backup's databases and their
    // companions as a flat backup folder. Null (with a warning added) when
    // no folder can be made.
    std::unique_ptr<WorkingFolder> prepareWorkingFolder(const std::string& backupFolder);
    // The same, also listing each copy with the backup file it was made from.
    // With `messagesWithoutCopy`, a message database that came alone and
    // whose committed copy would hold its very bytes past the header is not
    // copied: it is mapped read-only into messageOriginal_, and its path
    // kept in messageSource_, for the steps to read and walk where it lies.
    std::unique_ptr<WorkingFolder> prepareWorkingFolder(const std::string& backupFolder,
                                                        std::vector<CopyRequest>& copied,
                                                        bool messagesWithoutCopy = false);

    // Scans in place: the backup's own databases are committed and read
    // (the commit step writes into the backup). Off by default.
    void setScanInPlace(bool inPlace) { scanInPlace_ = inPlace; }
    // Whether carved messages are kept in messageArray as they are posted
    // (the default), or only counted: for a front end that writes each one
    // out as it is listed and keeps none.
    void setKeepDeletedMessages(bool keep) { keepDeletedMessages_ = keep; }
    // Whether a scan of working copies carves on a second thread beside
    // the existing-record steps (the default) or runs every step in turn.
    // Both post the same records in the same order.
    void setCarveBesideSteps(bool beside) { carveBesideSteps_ = beside; }
    // Beside the steps, the worker walks the message database's copy once
    // its step is done. By default it first waits for the carving thread
    // to finish the address book, then posts the walk's records as it finds
    // them. Handing over, it walks at once and keeps the records for the
    // carving thread, whose filter needs the originals' carve: no waiting,
    // but every record of the walk held (measured: no faster on 200,000 or
    // 1,000,000 messages, and 25 MB more at 1,000,000). The records posted
    // are the same.
    void setWalkHandOver(bool handOver) { walkHandOver_ = handOver; }
    bool scanInPlace() const { return scanInPlace_; }

    // Asks the running scan to stop at its next page or row; its working
    // folder is removed and the controller is ready for another scan.
    void stopScan();
    // Whether the last scan ended because a stop was asked for.
    bool scanStopped() const { return stopped_.load(); }
    // What went wrong in the last scan in a way that may leave its lists
    // incomplete, one text per problem (no record content). Empty when the
    // scan read everything.
    std::vector<std::string> scanWarnings() const;
    // True when an existing-record step could not read its whole database.
    bool existingStepFailed() const;

    // Switches a database to write-ahead logging and checkpoints it, so
    // the main file carries every committed change before it is read.
    // Logs and returns false when the database cannot be opened or
    // committed. A private working copy (`durable` false) is not synced to
    // the disk on the way: it is removed at the end of the scan, and the
    // sync of a freshly copied database would wait for all of it to be
    // written out.
    static bool commitDB(const std::string& path, bool durable = true);
    // The carving steps' start: the database `name` of the scanned folder
    // (flat, then in its two-character sub-folder), committed, then opened
    // for raw reading. Logs `missingLog` when neither place has it; null
    // when it is missing or cannot be read.
    std::unique_ptr<RawFile> openDatabaseToCarve(const std::string& path, const std::string& name,
                                                 const char* missingLog);

    // Runs the schema-aware carver over the message database and the
    // address book (each with its log or journal) while they still hold
    // their original bytes, before any step commits them; the deleted steps
    // post what it found.
    void carveOriginalDatabases(const std::string& path);
    // The same, one database at a time, over the backup files the working
    // copies were made from (`copied`), which nothing writes: they may run
    // while the steps commit and read the copies. The message database's
    // carve hands its live cells to `liveCellsKnown` as soon as it knows
    // them, before it carves the pages; its mapping of the original file is
    // kept in messageOriginal_ from before then until the scan's steps end
    // (mapped earlier, when the existing-message step reads it too).
    void carveOriginalAddressBook(const std::vector<CopyRequest>& copied);
    void carveOriginalMessages(const std::vector<CopyRequest>& copied,
                               const std::function<void(LiveCellRanges)>& liveCellsKnown = {});

    // ---- The four steps ----
    // Each finds its database in the backup folder, runs its reader or
    // carver with this controller as the sink, then posts its progress.
    void scanContactThread(const std::string& path);
    void scanMessageThread(const std::string& path);
    void scanDelContactThread(const std::string& path);
    void scanDelMessageThread(const std::string& path);

    // ---- The record sink ----
    // Existing contacts go to contactArray (the name lookup's source) and
    // out as ScanContactInfo; carved persons and values to delContactArray
    // and delContactValueArray, carved chat records to chatMessageArray and
    // carved messages to messageArray, each list in the order posted.
    void postContact(ContactPtr contact) override;
    void postMessage(MessagePtr message) override;
    void postDelContact(ContactPtr contact) override;
    void postDelContactValue(DelContactValuePtr value) override;
    void postDelMessage(MessagePtr message) override;
    void postChatMessage(ChatMessagePtr chat) override;
    void postProgress(int percent) override;
    // Name of the existing contact whose phones contain the number.
    std::optional<std::string> getNameByPhoneNumber(const std::string& phone) override;
    // The same for a handle of the newer message databases: phone numbers in
    // their normalised forms, e-mail addresses without regard to case.
    std::optional<std::string> getNameByHandle(const std::string& handle) override;
    void postReadFailure(const std::string& what) override;

    // ---- State ----
    NotificationCenter& nc;
    TovIOSDeviceController deviceController;
    DeviceNodePtr currentNode;
    bool currentNodeIsiOS6Version = false;
    bool bFeedBack = false;

    std::vector<ContactPtr> contactArray;
    std::vector<MessagePtr> messageArray;
    std::vector<ChatMessagePtr> chatMessageArray;
    std::vector<ContactPtr> delContactArray;
    std::vector<DelContactValuePtr> delContactValueArray;

    std::unique_ptr<TovResultViewController> resultViewController;

    // ---- For the reports ----
    // The database files the last scan read, as paths in the folder it
    // scanned (or the backup's own file, for a database read without a
    // copy), in the order read (each once), and when that scan started.
    // Read them once the scan has finished.
    std::vector<std::string> scannedDatabaseFiles;
    // The same files named as they lie in `backupFolder`, the backup the
    // scan of `scanFolder` was of: a copy in a working folder, or a
    // decrypted one, by the backup's file of its name (with its -wal or
    // -shm suffix, if any), a file of the backup itself as it is. A copy
    // with no such file in the backup keeps its own path.
    std::vector<std::string> databaseFilesInBackup(const std::string& backupFolder,
                                                   const std::string& scanFolder) const;
    // The folder the last scan was started on.
    const std::string& scannedFolder() const { return scannedBackup_; }
    std::time_t scanStartTime = 0;

private:
    // The steps over a working folder whose copies were made from `copied`:
    // the existing-record steps run on the worker thread while a second
    // thread carves, first the original bytes (the backup's own files,
    // mapped read-only), then the address book's copy once its step has
    // committed and read it. The message database's copy is walked on a
    // third thread: for the iOS 6 layout's walk of a working copy, beside
    // the existing-message step (the walk commits the copy before the step
    // reads it, and starts once the carving thread has the live cells);
    // otherwise after the step. The walk's records pass the live-cell
    // filter as they are found and wait to be posted after the step's.
    // The carved records wait in deferred sinks and are posted in the
    // steps' usual order once both threads are done, so lists, counts,
    // progress values and log lines are those of the steps run one after
    // the other.
    void runStepsAlongsideCarving(const std::string& folder, const std::vector<CopyRequest>& copied);
    // The two halves of each deleted-record step: the carving, delivered to
    // `sink` (false when the database is missing: the step then ends
    // without a count or progress), and the count and progress.
    bool carveDelContacts(const std::string& path, RecordSink& sink);
    bool carveDelMessages(const std::string& path, RecordSink& sink);
    // carveDelMessages with the live cells of the message database given,
    // and the carved messages added once `carveDone` says the carve is
    // complete (false: they are left out, the carve having failed).
    bool walkThenPostCarvedMessages(const std::string& path, RecordSink& sink, const LiveCellRanges& live,
                                    const std::function<bool()>& carveDone);
    // A pattern walk of the message database's copy on a thread of its own.
    struct CopyWalk;
    // Starts the walk of the copy before the existing-message step, which
    // reads the copy once the walk has committed it: the walk waits for
    // the live cells `live` is set to once `carved` reaches LiveCellsKnown,
    // and hands its records over unnamed; postCopyWalk names and posts them.
    std::unique_ptr<CopyWalk> startCopyWalk(const std::string& path, const LiveCellRanges& live, StepGate& carved);
    // Posts what the walk found as it is handed over, then the carved
    // messages once `carveDone` says the carve is complete; false when the
    // database was missing or the carve failed.
    bool postCopyWalk(CopyWalk& walk, RecordSink& sink, const std::function<bool()>& carveDone);
    // carveDelMessages in two parts, for two threads: the pattern walk of
    // the committed copy, delivered to `walked` (false when the database is
    // missing), then, once the original files are carved, the walk's
    // records passed through the live-cell filter with the carver's records
    // added, to `sink`.
    bool walkDelMessages(const std::string& path, RecordSink& walked);
    void filterWalkedMessages(DeferredSink& walked, RecordSink& sink);
    void finishDelContacts();
    void finishDelMessages();
    // A deleted-record step whose existing records could not be read says
    // so and posts its progress instead of carving.
    void skipDelContacts();
    void skipDelMessages();

    // The database an existing-record step is reading, for postReadFailure.
    enum class Reading { None, Contacts, Messages };
    void addWarning(const std::string& text);
    // The path of database `name` in the scanned folder, checked for a scan
    // in place; empty (after a log line) when it is missing or refused.
    std::string databaseToScan(const std::string& path, const std::string& name, const char* missingLog);

    std::string backupRoot_;
    std::string scannedBackup_;  // the backup folder itself, for the checks of a scan in place
    std::thread scanBackFileThreader;
    std::atomic<bool> scanning_{false};
    std::atomic<bool> stopped_{false};
    bool scanInPlace_ = false;
    bool keepDeletedMessages_ = true;
    size_t deletedMessagesPosted_ = 0;  // carved messages posted by this scan
    bool carveBesideSteps_ = true;
    bool walkHandOver_ = false;
    std::unique_ptr<ScanRunning> running_;
    mutable std::mutex warningsMutex_;
    std::vector<std::string> warnings_;
    Reading reading_ = Reading::None;
    bool contactsReadFailed_ = false;
    bool messagesReadFailed_ = false;
    size_t existingMessageCount_ = 0;
    NameLookup nameLookup_;
    void noteDatabaseRead(const std::string& dbPath);
    CarvedBackupRecords carvedMessages_;
    CarvedBackupRecords carvedContacts_;
    // The carving thread's mapping of the original message database, for
    // the walk of a copy that holds the same bytes past its header.
    std::shared_ptr<const RawFile> messageOriginal_;
    // Set when the message database came without a log or journal: its
    // original is then mapped before the steps start, and the
    // existing-message step reads it through that mapping (the copy, once
    // committed, would hold the same rows).
    bool messagesFromOriginal_ = false;
    // The backup's own message database when it was not copied (see
    // prepareWorkingFolder): read through messageOriginal_ only, never
    // opened by SQLite nor committed. Empty otherwise.
    std::string messageSource_;
};

}  // namespace kestrel
