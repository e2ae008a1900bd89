// The results model: one list per record category, the counters and count
// captions, the progress of a scan and the duplicate rules for carved
// records. Front ends (command line, desktop window) display what it holds;
// they learn about changes through a ResultViewDelegate.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/notification_center.h"
#include "app/records.h"

namespace kestrel {

// The five categories, always in this order.
enum class Category { PhotoAndVideo = 0, Contacts = 1, Messages = 2, Notes = 3, CallHistory = 4 };
inline constexpr int kCategoryCount = 5;
// "Photo&Video", "Contacts", "Messages", "Notes", "Call History".
const char* categoryName(Category c);

// What a front end implements.
class ResultViewDelegate {
public:
    virtual ~ResultViewDelegate() = default;
    // Runs the task on the interface (main) thread and returns when it has run.
    virtual void performOnMainThreadAndWait(const std::function<void()>& task) = 0;
    // The progress bar and the ten count captions changed (called on the
    // thread that posted the progress, which is the scan worker).
    virtual void progressChanged(int /*value*/) {}
    // The finishing step has run on the main thread: show the closing alert.
    virtual void scanFinished() {}
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

    // Duplicate index of one list: hash of the compared fields -> positions.
    // It is brought up to date only when a carved record has to be checked,
    // so existing records cost nothing extra while they stream in.
    struct DuplicateIndex {
        std::unordered_multimap<size_t, size_t> positions;
        size_t indexed = 0;  // list[0, indexed) are in `positions`
        void clear() {
            positions.clear();
            indexed = 0;
        }
        template <typename List, typename Hash>
        void catchUp(const List& list, Hash hash) {
            if (indexed > list.size()) clear();
            if (positions.empty()) positions.reserve(list.size() * 2);
            for (; indexed < list.size(); ++indexed) positions.emplace(hash(*list[indexed]), indexed);
        }
    };
    DuplicateIndex contactIndex_, messageIndex_, noteIndex_, callIndex_;

    NotificationCenter& nc_;
    std::vector<NotificationCenter::Token> tokens_;
    ResultViewDelegate* delegate_ = nullptr;

    mutable std::mutex viewMutex_;  // guards the panel texts below
    int progress_ = 0;
    std::array<int32_t, kCategoryCount> shownExisting_{};
    std::array<int32_t, kCategoryCount> shownDeleted_{};
};

}  // namespace kestrel
