#include "results/result_view_controller.h"

#include <cstdio>
#include <functional>

#include "results/spool_file.h"

namespace kestrel {
namespace {

const char* const kCategoryNames[kCategoryCount] = {"Photo&Video", "Contacts", "Messages", "Notes",
                                                    "Call History"};

template <typename Record>
std::shared_ptr<Record> sharedFrom(const Notification& n) {
    const auto* ptr = std::any_cast<std::shared_ptr<Record>>(&n.object);
    return ptr != nullptr ? *ptr : nullptr;
}

}  // namespace

const char* categoryName(Category c) { return kCategoryNames[static_cast<int>(c)]; }

TovResultViewController::TovResultViewController(NotificationCenter& nc) : nc_(nc) { registerObservers(); }

bool TovResultViewController::streamMessagesTo(ListedMessageSink* sink, std::string* error) {
    if (sink == nullptr) {
        messageStream_ = nullptr;
        streamedKeys_.reset();
        return true;
    }
    std::unique_ptr<SpoolFile> keys = SpoolFile::create(error);
    if (!keys) return false;
    streamedKeys_ = std::move(keys);
    messageStream_ = sink;
    return true;
}

bool TovResultViewController::streamedKeysGood() const { return !streamedKeys_ || streamedKeys_->good(); }

TovResultViewController::~TovResultViewController() {
    waitForRecoveryThread();
    for (auto token : tokens_) nc_.removeObserver(token);
}

void TovResultViewController::registerObservers() {
    using Handler = void (TovResultViewController::*)(const Notification&);
    const std::pair<const char*, Handler> table[] = {
        {names::ScanPhotoAndVideoInfo, &TovResultViewController::ScanPhotoAndVideoInfomationHandle},
        {names::ScanContactInfo, &TovResultViewController::ScanContactInfomationHandle},
        {names::ScanMessageInfo, &TovResultViewController::ScanMessageInfomationHandle},
        {names::ScanCallHistoryInfo, &TovResultViewController::ScanCallHistoryInfomationHandle},
        {names::ScanNoteInfo, &TovResultViewController::ScanNoteInfomationHandle},
        {names::ScanDelContactInfo, &TovResultViewController::ScanDelContactInfomationHandle},
        {names::ScanDelMessageInfo, &TovResultViewController::ScanDelMessageInfomationHandle},
        {names::ScanDelNoteInfo, &TovResultViewController::ScanDelNoteInfomationHandle},
        {names::ScanDelCallHistoryInfo, &TovResultViewController::ScanDelCallHistoryInfomationHandle},
        {names::ScanProgressInfo, &TovResultViewController::ScanProgressInfomationHandle},
    };
    for (const auto& entry : table) {
        Handler handler = entry.second;
        tokens_.push_back(nc_.addObserver(entry.first, [this, handler](const Notification& n) { (this->*handler)(n); }));
    }
}

void TovResultViewController::showView() {
    {
        std::lock_guard<std::mutex> lock(viewMutex_);
        progress_ = 1;
        shownExisting_.fill(-1);
        shownDeleted_.fill(-1);
    }
    checkBoxTicked = false;
    checkBoxVisible = false;
    selecteFilelabVisible = false;
    scanFinishedFlag = false;
    saveBtnEnabled = false;
    homeBtnEnabled = false;
    linkBtnsEnabled = false;
    categoryBtnEnabled.fill(false);
    BackUpFilesNum = deleteeFilesNum = selectedFilesNum = 0;
    recovredFilesNum.store(0);
    photovideoNum = contactNum = messageNum = noteNum = callNum = 0;
    delPhotovideoNum = delContactNum = delMessageNum = delNoteNum = delCallNum = 0;
    imagecount = movCount = 0;
    // A new scan's list starts empty; the texts file goes on growing.
    streamedKeyStarts_.clear();
    streamedIndex_.clear();
}

namespace {

// The compared texts of a message (phone, content, date), each with its
// length before it, as the streamed list keeps them; returns their hash.
// Two messages have the same texts exactly when these bytes are equal.
void appendKeyText(std::string& key, std::string_view text) {
    const auto length = static_cast<uint32_t>(text.size());
    key.append(reinterpret_cast<const char*>(&length), sizeof length);
    key.append(text);
}
uint64_t messageKey(const TovMessageNode& m, std::string& key) {
    key.clear();
    TextHash h;
    m.visitAll([&](const MessageTextsView& t) {
        for (std::string_view text : {t.messagePhone, t.messageContent, t.messageDate}) {
            h.add(text);
            appendKeyText(key, text);
        }
    });
    return h.value();
}

}  // namespace

void TovResultViewController::listStreamedMessage(const TovMessageNode& message, uint64_t hash,
                                                  const std::string& key) {
    streamedKeyStarts_.push_back(streamedKeys_->size());
    streamedKeys_->append(key);
    streamedIndex_.add(hash);
    messageStream_->messageListed(message);
}

bool TovResultViewController::streamedMessageListed(uint64_t hash, const std::string& key) {
    return streamedIndex_.contains(hash, [&](size_t at) {
        const uint64_t begin = streamedKeyStarts_[at];
        const uint64_t end = at + 1 < streamedKeyStarts_.size() ? streamedKeyStarts_[at + 1] : streamedKeys_->size();
        if (end - begin != key.size()) return false;
        return streamedKeys_->read(begin, key.size(), storedKeyScratch_) && storedKeyScratch_ == key;
    });
}

// ---- Existing records: appended and counted, no check ----

void TovResultViewController::ScanContactInfomationHandle(const Notification& n) {
    ContactPtr contact = sharedFrom<TovContactNode>(n);
    if (!contact) return;
    // A record recovered by SQL from a deleted state is a deleted record,
    // whichever way it arrives: counted and checked as one.
    if (!contact->isExistingSource()) {
        ScanDelContactInfomationHandle(n);
        return;
    }
    contactArray.push_back(std::move(contact));
    ++BackUpFilesNum;
    ++contactNum;
}

void TovResultViewController::ScanMessageInfomationHandle(const Notification& n) {
    MessagePtr message = sharedFrom<TovMessageNode>(n);
    if (!message) return;
    if (!message->isExistingSource()) {
        ScanDelMessageInfomationHandle(n);
        return;
    }
    ++BackUpFilesNum;
    ++messageNum;
    if (messageStream_) {
        const uint64_t hash = messageKey(*message, keyScratch_);
        listStreamedMessage(*message, hash, keyScratch_);
        return;
    }
    messageArray.push_back(std::move(message));
}

void TovResultViewController::ScanNoteInfomationHandle(const Notification& n) {
    NotePtr note = sharedFrom<TovNoteNode>(n);
    if (!note) return;
    noteArray.push_back(std::move(note));
    ++BackUpFilesNum;
    ++noteNum;
}

void TovResultViewController::ScanCallHistoryInfomationHandle(const Notification& n) {
    CallHistoryPtr call = sharedFrom<TovCallHistoryNode>(n);
    if (!call) return;
    callHistoryArray.push_back(std::move(call));
    ++BackUpFilesNum;
    ++callNum;
}

void TovResultViewController::ScanPhotoAndVideoInfomationHandle(const Notification& n) {
    // Media records are built from a file path on the main thread; no part of
    // this system posts them, so the category stays empty. A record handed
    // over ready-made is listed as it is.
    PhotoAndVideoPtr media = sharedFrom<TovPhotoAndVideoNode>(n);
    if (!media) return;
    photoAndVideoArray.push_back(std::move(media));
    ++BackUpFilesNum;
    ++photovideoNum;
}

// ---- Deleted records: dropped when they duplicate a listed record ----

namespace {

// Adds a record's text to a hash without copying it.
struct AddTo {
    TextHash& hash;
    void operator()(std::string_view text) const { hash.add(text); }
};
// Compares a record's text with a value without copying it.
struct Equals {
    std::string_view value;
    bool operator()(std::string_view text) const { return text == value; }
};

uint64_t contactKey(const TovContactNode& c) {
    TextHash h;
    c.contactNameVisit(AddTo{h});
    c.contactPhoneVisit(AddTo{h});
    return h.value();
}
uint64_t messageKey(const TovMessageNode& m) {
    TextHash h;
    m.messagePhoneVisit(AddTo{h});
    m.messageContentVisit(AddTo{h});
    m.messageDateVisit(AddTo{h});
    return h.value();
}
uint64_t noteKey(const TovNoteNode& n) {
    TextHash h;
    n.noteContentVisit(AddTo{h});
    return h.value();
}
uint64_t callKey(const TovCallHistoryNode& c) {
    TextHash h;
    c.callPhoneVisit(AddTo{h});
    c.callDateVisit(AddTo{h});
    return h.value();
}

}  // namespace

void TovResultViewController::ScanDelContactInfomationHandle(const Notification& n) {
    ContactPtr contact = sharedFrom<TovContactNode>(n);
    if (!contact) return;
    const std::string name = contact->contactName();
    const std::string phone = contact->contactPhone();
    contactIndex_.catchUp(contactArray, contactKey);
    if (contactIndex_.contains(TextHash().add(name).add(phone).value(), [&](size_t at) {
            const TovContactNode& other = *contactArray[at];
            return other.contactNameVisit(Equals{name}) && other.contactPhoneVisit(Equals{phone});
        })) {
        return;
    }
    // Deleted records that name no source of their own were carved.
    if (contact->isExistingSource()) contact->setSource(kSourceCarved);
    contact->setBDeleted(true);
    contactArray.push_back(std::move(contact));
    ++deleteeFilesNum;
    ++delContactNum;
}

void TovResultViewController::ScanDelMessageInfomationHandle(const Notification& n) {
    MessagePtr message = sharedFrom<TovMessageNode>(n);
    if (!message) return;
    if (messageStream_) {
        // A carved record with neither phone nor text shows nothing (see below).
        const uint64_t hash = messageKey(*message, keyScratch_);
        const auto empty = [](std::string_view t) { return t.empty(); };
        if (message->messagePhoneVisit(empty) && message->messageContentVisit(empty) && message->isExistingSource()) {
            return;
        }
        if (streamedMessageListed(hash, keyScratch_)) return;
        if (message->isExistingSource()) message->setSource(kSourceCarved);
        message->setBDeleted(true);
        ++deleteeFilesNum;
        ++delMessageNum;
        listStreamedMessage(*message, hash, keyScratch_);
        return;
    }
    // A carved record with neither phone nor text shows nothing; a record read
    // by SQL (it names its source) is a real row and is kept, e.g. an unsent
    // group message whose text the database no longer holds.
    const auto empty = [](std::string_view t) { return t.empty(); };
    if (message->messagePhoneVisit(empty) && message->messageContentVisit(empty) && message->isExistingSource()) {
        return;
    }
    // The compared texts are gathered in a buffer kept from record to
    // record, so a check allocates nothing once the buffers have grown.
    const uint64_t hash = messageKey(*message, keyScratch_);
    messageIndex_.catchUp(messageArray, [](const TovMessageNode& m) { return messageKey(m); });
    if (messageIndex_.contains(hash, [&](size_t at) {
            messageKey(*messageArray[at], storedKeyScratch_);
            return storedKeyScratch_ == keyScratch_;
        })) {
        return;
    }
    if (message->isExistingSource()) message->setSource(kSourceCarved);
    message->setBDeleted(true);
    messageArray.push_back(std::move(message));
    ++deleteeFilesNum;
    ++delMessageNum;
}

void TovResultViewController::ScanDelNoteInfomationHandle(const Notification& n) {
    NotePtr note = sharedFrom<TovNoteNode>(n);
    if (!note) return;
    // Texts are never absent in these records, so only the content rule applies.
    const std::string content = note->noteContent();
    noteIndex_.catchUp(noteArray, noteKey);
    if (noteIndex_.contains(TextHash().add(content).value(),
                            [&](size_t at) { return noteArray[at]->noteContentVisit(Equals{content}); })) {
        return;
    }
    note->setBDeleted(true);
    noteArray.push_back(std::move(note));
    ++deleteeFilesNum;
    ++delNoteNum;
}

void TovResultViewController::ScanDelCallHistoryInfomationHandle(const Notification& n) {
    CallHistoryPtr call = sharedFrom<TovCallHistoryNode>(n);
    if (!call) return;
    const std::string phone = call->callPhone();
    const std::string date = call->callDate();
    if (call->callName().empty() && phone.empty()) return;
    callIndex_.catchUp(callHistoryArray, callKey);
    if (callIndex_.contains(TextHash().add(phone).add(date).value(), [&](size_t at) {
            const TovCallHistoryNode& other = *callHistoryArray[at];
            return other.callPhoneVisit(Equals{phone}) && other.callDateVisit(Equals{date});
        })) {
        return;
    }
    call->setBDeleted(true);
    callHistoryArray.push_back(std::move(call));
    ++deleteeFilesNum;
    ++delCallNum;
}

// ---- Progress and captions ----

void TovResultViewController::ScanProgressInfomationHandle(const Notification& n) {
    const int* value = std::any_cast<int>(&n.object);
    if (value == nullptr) return;
    {
        std::lock_guard<std::mutex> lock(viewMutex_);
        progress_ = *value;
        shownExisting_ = {photovideoNum, contactNum, messageNum, noteNum, callNum};
        // The deleted photo/video caption always reads 0.
        shownDeleted_ = {0, delContactNum, delMessageNum, delNoteNum, delCallNum};
    }
    if (delegate_) delegate_->progressChanged(*value);
}

int TovResultViewController::progressValue() const {
    std::lock_guard<std::mutex> lock(viewMutex_);
    return progress_;
}

std::string TovResultViewController::progressText() const {
    char text[32];
    std::snprintf(text, sizeof text, "%d%%", progressValue());
    return text;
}

namespace {
std::array<std::string, kCategoryCount> captionsFor(const std::array<int32_t, kCategoryCount>& shown) {
    std::array<std::string, kCategoryCount> labels;
    for (int i = 0; i < kCategoryCount; ++i) {
        labels[static_cast<size_t>(i)] = std::string(kCategoryNames[i]) + ":  ";
        if (shown[static_cast<size_t>(i)] >= 0) labels[static_cast<size_t>(i)] += std::to_string(shown[static_cast<size_t>(i)]);
    }
    return labels;
}
}  // namespace

std::array<std::string, kCategoryCount> TovResultViewController::existingCountLabels() const {
    return captionsFor(shownExistingCounts());
}

std::array<std::string, kCategoryCount> TovResultViewController::deletedCountLabels() const {
    return captionsFor(shownDeletedCounts());
}

std::array<int32_t, kCategoryCount> TovResultViewController::shownExistingCounts() const {
    std::lock_guard<std::mutex> lock(viewMutex_);
    return shownExisting_;
}

std::array<int32_t, kCategoryCount> TovResultViewController::shownDeletedCounts() const {
    std::lock_guard<std::mutex> lock(viewMutex_);
    return shownDeleted_;
}

// ---- End of scan ----

void TovResultViewController::ScanThreadFinish() {
    if (delegate_) {
        delegate_->performOnMainThreadAndWait([this] { ScanFinishOnMainThread(); });
    } else {
        ScanFinishOnMainThread();
    }
}

void TovResultViewController::ScanFinishOnMainThread() {
    {
        std::lock_guard<std::mutex> lock(viewMutex_);
        progress_ = 0;
    }
    checkBoxVisible = true;
    // Only the Messages category can be opened after a scan.
    homeBtnEnabled = true;
    categoryBtnEnabled[static_cast<size_t>(Category::Messages)] = true;
    linkBtnsEnabled = true;
    // The per-category counts start again; the captions keep what they show.
    photovideoNum = contactNum = messageNum = noteNum = callNum = 0;
    delPhotovideoNum = delContactNum = delMessageNum = delNoteNum = delCallNum = 0;
    // Open the Messages category with every record listed and row 0 selected.
    actMessage();
    scanFinishedFlag = true;
    if (delegate_) delegate_->scanFinished();
}

void TovResultViewController::releaseUIMemory() {
    photoAndVideoArray.clear();
    contactArray.clear();
    messageArray.clear();
    noteArray.clear();
    callHistoryArray.clear();
    contactIndex_.clear();
    messageIndex_.clear();
    noteIndex_.clear();
    callIndex_.clear();
    photoController.clear();
    contactController.clear();
    messageController.clear();
    callHistoryController.clear();
    noteController.clear();
    for (TableSelection& selection : selections_) selection = TableSelection{};
}

}  // namespace kestrel
