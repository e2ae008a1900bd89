// The results model: one list per record category, the counters and count
// captions, the progress of a scan and the duplicate rules for carved
// records. Front ends (command line, desktop window) display what it holds;
// they learn about changes through a ResultViewDelegate.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "app/notification_center.h"
#include "app/records.h"
#include "results/duplicate_index.h"
#include "results/report_manifest.h"

namespace kestrel {

// The five categories, always in this order.
enum class Category { PhotoAndVideo = 0, Contacts = 1, Messages = 2, Notes = 3, CallHistory = 4 };
inline constexpr int kCategoryCount = 5;
// "Photo&Video", "Contacts", "Messages", "Notes", "Call History".
const char* categoryName(Category c);

class TovRtfController;

// Alert texts of the results view (each passes through the localisation
// table, with the text as its key, where a front end has one).
inline constexpr const char* kScanFinishedAlert =
    "If you have not found the deleted files, please use iTunes to back up your iOS device, after completing the "
    "backup, and reopen the software to start again.";
inline constexpr const char* kScanFinishedAlertButton = "Ok";
// The end of a scan the user stopped, and of one that could not read all of
// a database (its warnings follow as the informative text).
inline constexpr const char* kScanStoppedAlert = "The scan was stopped. What it found so far is listed.";
inline constexpr const char* kScanIncompleteAlert =
    "The scan could not read everything: the lists may be incomplete, and deleted records of a database that "
    "could not be read are not listed.";
inline constexpr const char* kGoHomeAlert =
    "Are you sure you want to go back to Home? If Back, the scanning results will not be saved.";
inline constexpr const char* kGoHomeAlertBack = " Back ";
inline constexpr const char* kGoHomeAlertCancel = "Cancel";
// The title of the deleted-only box.
inline constexpr const char* kCheckBoxTitle = "Only dispaly deleted files";
// The main window's size once the backup list is shown again.
inline constexpr int kHomeWindowWidth = 849;
inline constexpr int kHomeWindowHeight = 560;
// Identifier of the check column of every table.
inline constexpr const char* kCheckColumn = "bSelected";

// What a front end implements. Every hook but performOnMainThreadAndWait has
// a default that does nothing, so a front end overrides what it displays.
class ResultViewDelegate {
public:
    virtual ~ResultViewDelegate() = default;
    // Runs the task on the interface (main) thread and returns when it has run.
    virtual void performOnMainThreadAndWait(const std::function<void()>& task) = 0;
    // The progress bar and the ten count captions changed (called on the
    // thread that posted the progress, which is the scan worker).
    virtual void progressChanged(int /*value*/) {}
    // The finishing step has run on the main thread: show the closing alert
    // (kScanFinishedAlert with the one button kScanFinishedAlertButton).
    virtual void scanFinished() {}

    // Shows a modal alert; true when the default button was chosen.
    virtual bool runAlert(const std::string& /*message*/, const std::string& /*defaultButton*/,
                          const std::string& /*alternateButton*/) {
        return true;
    }
    // Going back: the backup list is shown again in a window of
    // kHomeWindowWidth x kHomeWindowHeight.
    virtual void showMainView() {}

    // A table's displayed content, its selection or its preview changed;
    // the ticked count, its caption or the save control changed.
    virtual void tableChanged(Category /*table*/) {}
    virtual void previewChanged(Category /*table*/) {}
    virtual void selectionStateChanged() {}

    // Export: show the progress sheet; start and stop the one-second timer
    // that calls IphonerecoveryTimer_hander (the stop is asked for by the
    // export worker, from its thread); show the destination folder; the
    // sheet was closed (runs on the main thread).
    virtual void showSaveWindow() {}
    virtual void startRecoveryTimer() {}
    virtual void stopRecoveryTimer() {}
    virtual void revealInFileViewer(const std::string& /*rootPath*/) {}
    virtual void saveWindowClosed() {}
};

// One text of a preview panel and whether it is shown.
struct PreviewLabel {
    std::string text;
    bool visible = true;
};

// What each panel shows for the selected record.
struct PhotoPreview {
    // The movie area shows the file at `filePath` when `bmov`; otherwise the
    // image area shows the image loaded from it. A movie that cannot be
    // loaded gives way to the image area holding the platform's icon for
    // "mov" at 256 x 256 points; that fallback belongs to the front end.
    bool bmov = false;
    std::string filePath;
    PreviewLabel imageFileNamelab, imageFileSizelab;
};
struct ContactPreview {
    PreviewLabel contactNamelab, contactPhonelab, contactEmaillab, contactHomePagelab, contactCompanylab,
        contactJobTitlelab, contactBirthdaylab;
    // Where a carved record was found; hidden for the others.
    PreviewLabel contactProvenancelab{std::string(), false};
    std::string contactNotelab;
    bool contactNoteScrollViewVisible = false;
};
struct MessagePreview {
    PreviewLabel messageNamelab, messagePhonelab, messageTypelab, messageDatelab;
    // Where the message came from and what it belongs to; the service, chat,
    // attachments and deletion date are shown only when known.
    PreviewLabel messageSourcelab, messageServicelab, messageChatlab, messageAttachmentslab, messageDeletedDatelab;
    // Where a carved record was found; hidden for the others.
    PreviewLabel messageProvenancelab{std::string(), false};
    std::string messageConteView;
    bool messageScrollViewVisible = false;
};
struct NotePreview {
    PreviewLabel noteTitlelab, noteDatelab;
    std::string noteContentView;
    bool noteScrollViewVisible = false;
};
struct CallHistoryPreview {
    PreviewLabel callNamelab, callPhonelab, callTypelab, callTimelab, callDatelab;
};

// The three sort directions, shared by every table of the process and kept
// across scans; true means ascending. `name` serves the photo "Name" column
// and the contact, message and call-history name sorts, `size` the photo
// "Size" column, `date` the call-history columns other than "Name".
struct SortDirectionFlags {
    std::atomic<bool> name{false};
    std::atomic<bool> size{false};
    std::atomic<bool> date{false};
};
SortDirectionFlags& sortDirections();

// A call-history date text as a number that orders dates (seconds of a
// proleptic Gregorian calendar, no time zone). Read forms, blanks around
// the text allowed, seconds optional wherever minutes are given:
//   MM-DD-YYYY HH:MM   (the form the lists are written in)
//   MM/DD/YYYY HH:MM, YYYY-MM-DD HH:MM, YYYY-MM-DDTHH:MM, YYYY/MM/DD HH:MM
//   and each of these without the time (midnight).
// Anything else, or a field out of range (month 13, 30 February, 24:00),
// has no date.
std::optional<int64_t> callDateValue(const std::string& text);

// A problem met by an export. The export itself goes on silently, as the
// desktop program does; a front end that can report them reads them here.
struct ExportIssue {
    enum class Kind {
        Error,    // something ticked did not reach the folder (folder, text file, report or media copy)
        Warning,  // a vCard not written or replaced, new text left in TXT.txt, a report under a numbered name
    };
    Kind kind = Kind::Error;
    std::string path;
    std::string what;
};

class SpoolFile;

// Takes each message as it takes its final place at the end of the message
// list, for a front end that shows the list once and keeps none of it (the
// command line's --json). Called on the thread that posted the record.
class ListedMessageSink {
public:
    virtual ~ListedMessageSink() = default;
    virtual void messageListed(const TovMessageNode& message) = 0;
};

class TovResultViewController {
public:
    explicit TovResultViewController(NotificationCenter& nc);
    ~TovResultViewController();
    TovResultViewController(const TovResultViewController&) = delete;
    TovResultViewController& operator=(const TovResultViewController&) = delete;

    void setDelegate(ResultViewDelegate* delegate) { delegate_ = delegate; }

    // Resets the model for a new scan (counters, progress 1%, bare captions).
    void showView();

    // From the next scan on, messages are handed to `sink` as they are
    // listed instead of being kept (messageArray stays empty); for the
    // duplicate rules only a hash and the compared texts of each listed
    // message are kept, the texts in a temporary file. Null keeps the
    // records again. False (nothing changed), with `error` set, when the
    // temporary file cannot be made.
    bool streamMessagesTo(ListedMessageSink* sink, std::string* error = nullptr);
    // False when the temporary file of the compared texts failed during
    // the last scan, so that the duplicate rules may have missed some.
    bool streamedKeysGood() const;

    // ---- Scan feedback (run on the posting thread) ----
    void ScanContactInfomationHandle(const Notification& n);
    void ScanMessageInfomationHandle(const Notification& n);
    void ScanNoteInfomationHandle(const Notification& n);
    void ScanCallHistoryInfomationHandle(const Notification& n);
    void ScanPhotoAndVideoInfomationHandle(const Notification& n);
    void ScanDelContactInfomationHandle(const Notification& n);
    void ScanDelMessageInfomationHandle(const Notification& n);
    void ScanDelNoteInfomationHandle(const Notification& n);
    void ScanDelCallHistoryInfomationHandle(const Notification& n);
    void ScanProgressInfomationHandle(const Notification& n);

    // Called by the scan worker at the end of a scan; runs the finishing step
    // on the main thread and returns when it has run.
    void ScanThreadFinish();
    void ScanFinishOnMainThread();

    // Empties the five lists and the displayed contents.
    void releaseUIMemory();

    // ---- Categories ----
    // Switch the shown category: untick the deleted-only box (hidden for
    // Photo&Video), list the whole category and select row 0. Ticks and the
    // ticked count are not touched.
    void actPhoto();
    void actContact();
    void actMessage();
    void actNote();
    void actCallHistory();
    void switchToCategory(Category category);
    // Image of a category button: "messageOn" when active, "messageNom" idle ...
    static std::string categoryButtonImage(Category category, bool active);

    // Back to the backup list: asks (kGoHomeAlert); on " Back " empties the
    // lists, shows the backup list and zeroes the four main counters.
    // Returns whether it went back.
    bool actHome();

    // ---- Record lists ----
    // The deleted-only box of the current table: lists the category's
    // deleted records (ticked) or all of them, then selects row 0.
    void actCheck(bool checkBtnTicked);

    // Rows of a table (its displayed content).
    size_t numberOfRowsInTableView(Category table) const;
    // Selection of a table, as the platform's table keeps it. Selecting
    // calls tableViewSelectionDidChange, as the platform does. Rows past the
    // end are ignored; the last row given becomes the selected row.
    void selectRowIndexes(Category table, const std::vector<size_t>& rows, bool byExtendingSelection);
    void selectAll(Category table);
    void deselectAll(Category table);
    std::vector<size_t> selectedRowIndexes(Category table) const;
    // The most recently selected row, -1 when none.
    long selectedRow(Category table) const;

    // The check box of `row` changed (column `forTableColumn`): the new
    // state (1 ticked, anything else unticked) goes to every selected row of
    // the current table, and to the clicked row too. The ticked count
    // follows every change, so it always equals the number of ticked records.
    void tableView(Category table, int setObjectValue, const std::string& forTableColumn, long row);
    // A click on a column heading: sorts the table's displayed content.
    void tableView(Category table, const std::string& didClickTableColumn);
    // The selection changed: fills the current table's preview from its
    // selected row (left as it is when no row is selected).
    void tableViewSelectionDidChange(Category table);
    // Every cell of every table is drawn in this font.
    static constexpr const char* kCellFontName = "Lucida Grande";
    static constexpr double kCellFontSize = 11.0;

    // Size text ("1.23M", "512.00B" ...) back to bytes.
    static uint64_t sizeFormString(const std::string& sizeText);

    // Controls that follow the ticked count.
    bool saveBtnEnabled = false;
    bool selecteFilelabVisible = false;
    std::string selecteFilelab;  // "You select %d files in the recovery results."
    // Buttons enabled after a scan (all disabled while one runs).
    bool homeBtnEnabled = false;
    bool linkBtnsEnabled = false;  // facebookBtn, twitterBtn, feedBackBtn
    std::array<bool, kCategoryCount> categoryBtnEnabled{};

    // Previews, one per panel.
    PhotoPreview photoPreview;
    ContactPreview contactPreview;
    MessagePreview messagePreview;
    NotePreview notePreview;
    CallHistoryPreview callHistoryPreview;

    // ---- Export ----
    // The save control: resets the export progress and returns the name
    // proposed for the destination folder.
    std::string actRecovery(std::time_t now);
    std::string actRecovery() { return actRecovery(std::time(nullptr)); }
    // "Kestrel %@ - %@" with the local day (2013-05-02) and time (14.03.22).
    static std::string proposedExportName(std::time_t now);
    // The save panel ended; with code 1 the export into `path` starts: the
    // sheet is shown, the timer started and the worker thread launched.
    void savePanelDidEnd(const std::string& path, int returnCode);
    // What the next export writes (the text files alone unless set) and the
    // facts its reports state. Set them before savePanelDidEnd.
    void setExportFormats(const ExportFormats& formats);
    ExportFormats exportFormats() const;
    void setReportFacts(ReportFacts facts);
    // The numbers of each category: found, deleted and ticked.
    std::vector<CategoryCount> categoryCounts() const;
    // The one-second progress tick: recovredFilesNum x 100 / selectedFilesNum
    // in single precision, truncated (0 when nothing is ticked, at most 100).
    // When the export writes reports too, every record counts once per
    // format written.
    int IphonerecoveryTimer_hander();
    static int recoveryPercentage(int32_t recovered, int32_t selected);
    int saveProgressorValue() const { return saveProgress_.load(); }
    std::string savepercentlab() const;

    // The export worker's body and its per-record steps.
    void recoverFilesThread();
    void recoverPhotoAndVideo(const TovPhotoAndVideoNode& node);
    void recoverContactNode(const TovContactNode& node, TovRtfController& withRTF);
    void recoverMessageNode(const TovMessageNode& node, TovRtfController& withRTF);
    void recoverNoteNode(const TovNoteNode& node, TovRtfController& withRTF);
    void recoverCallHistoryNode(const TovCallHistoryNode& node, TovRtfController& withRTF);
    void saveProgressorHanderToMainThread();
    void saveProgressorHanderToMainThreadHandle();
    // The HTML, CSV and JSON reports and manifest.json, into `root`.
    void writeReports(const std::string& root, const ExportFormats& formats);

    bool isRecovering() const { return recovering_.load(); }
    // Waits for the export worker to end (not from the worker itself).
    void waitForRecoveryThread();
    // Problems of the last export.
    std::vector<ExportIssue> exportIssues() const;

    std::string recoverPath() const;
    void setRecoverPath(std::string path);
    std::string recoverFilePath() const;
    void setRecoverFilePath(std::string path);

    // ---- Record lists, in arrival order ----
    std::vector<PhotoAndVideoPtr> photoAndVideoArray;
    std::vector<ContactPtr> contactArray;
    std::vector<MessagePtr> messageArray;
    std::vector<CallHistoryPtr> callHistoryArray;
    std::vector<NotePtr> noteArray;

    // Displayed content of each category's table (references into the lists).
    TovPhotoAndVideoController photoController;
    TovContactController contactController;
    TovMessageController messageController;
    TovCallHistoryController callHistoryController;
    TovNoteController noteController;

    // ---- Counters ----
    int32_t BackUpFilesNum = 0;
    int32_t deleteeFilesNum = 0;
    int32_t selectedFilesNum = 0;
    std::atomic<int32_t> recovredFilesNum{0};
    int32_t photovideoNum = 0, contactNum = 0, messageNum = 0, noteNum = 0, callNum = 0;
    int32_t delPhotovideoNum = 0, delContactNum = 0, delMessageNum = 0, delNoteNum = 0, delCallNum = 0;
    uint64_t imagecount = 0, movCount = 0;

    // ---- What the scan panel shows ----
    int progressValue() const;
    std::string progressText() const;
    // The count captions as shown: [category] for existing and deleted records.
    std::array<std::string, kCategoryCount> existingCountLabels() const;
    std::array<std::string, kCategoryCount> deletedCountLabels() const;
    // The numbers the captions showed at the last progress notification
    // (-1 while a caption shows no number).
    std::array<int32_t, kCategoryCount> shownExistingCounts() const;
    std::array<int32_t, kCategoryCount> shownDeletedCounts() const;

    // Whether the deleted-only box is shown and ticked; which category is open.
    bool checkBoxVisible = false;
    bool checkBoxTicked = false;
    Category currentCategory = Category::Messages;
    bool scanFinishedFlag = false;

private:
    void registerObservers();
    void refillTable(Category table, bool deletedOnly);
    void selectFirstRow(Category table);
    void updateSelectionState();
    void addExportIssue(ExportIssue::Kind kind, std::string path, std::string what);
    bool createFolder(const std::string& path);

    // Selection of one table: a flag per displayed row and the row selected last.
    struct TableSelection {
        std::vector<bool> rows;
        long last = -1;
    };
    std::array<TableSelection, kCategoryCount> selections_;

    DuplicateIndex contactIndex_, messageIndex_, noteIndex_, callIndex_;

    // Streamed messages: the sink, the compared texts of every listed
    // message (phone, content, date, each with its length) and where each
    // one's texts start in that file, indexed by their hash.
    void listStreamedMessage(const TovMessageNode& message, uint64_t hash, const std::string& key);
    bool streamedMessageListed(uint64_t hash, const std::string& key);
    ListedMessageSink* messageStream_ = nullptr;
    std::unique_ptr<SpoolFile> streamedKeys_;
    std::vector<uint64_t> streamedKeyStarts_;
    DuplicateIndex streamedIndex_;
    std::string keyScratch_, storedKeyScratch_;

    NotificationCenter& nc_;
    std::vector<NotificationCenter::Token> tokens_;
    ResultViewDelegate* delegate_ = nullptr;

    // Export state.
    std::thread recoverThread;
    std::atomic<bool> recovering_{false};
    std::atomic<int> saveProgress_{0};
    mutable std::mutex exportMutex_;  // guards the paths and the issues
    std::string recoverPath_;
    std::string recoverFilePath_;
    std::vector<ExportIssue> exportIssues_;
    std::unordered_set<std::string> vcardNamesWritten_;  // in the running export
    ExportFormats exportFormats_;
    ReportFacts reportFacts_;
    std::atomic<int32_t> reportProgress_{0};        // records written into reports
    std::vector<WrittenFile> filesWritten_;          // in the running export, for the manifest

    mutable std::mutex viewMutex_;  // guards the panel texts below
    int progress_ = 0;
    std::array<int32_t, kCategoryCount> shownExisting_{};
    std::array<int32_t, kCategoryCount> shownDeleted_{};
};

}  // namespace kestrel
