// Recovered-record model: one class per category of recovered data, plus the
// carving-side helper records. Records are shared between the extractor that
// builds one, the controller's work lists and the results lists, so they are
// always handled through std::shared_ptr.
//
// Text fields start as the empty text, flags as false and integer identifiers
// as -1. Each accessor is atomic on its own: a reader on another thread sees
// either the old or the new text, never a torn one.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrel {

// A one-byte lock for the records: accesses hold it only for a string copy
// or move, and records are hardly ever shared between threads at the same
// moment, so spinning (with a yield) is cheaper than a full mutex.
class RecordLock {
public:
    void lock() const {
        while (flag_.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
    }
    void unlock() const { flag_.clear(std::memory_order_release); }

private:
    mutable std::atomic_flag flag_ = ATOMIC_FLAG_INIT;
};

// Base of every record: one lock that makes each text access atomic.
class RecordBase {
protected:
    RecordBase() = default;
    RecordBase(const RecordBase&) = delete;
    RecordBase& operator=(const RecordBase&) = delete;

    std::string readText(const std::string& field) const {
        std::lock_guard<const RecordLock> lock(lock_);
        return field;
    }
    template <typename F>
    decltype(auto) visitText(const std::string& field, F&& f) const {
        std::lock_guard<const RecordLock> lock(lock_);
        return f(static_cast<const std::string&>(field));
    }
    template <typename T>
    T readValue(const T& field) const {
        std::lock_guard<const RecordLock> lock(lock_);
        return field;
    }
    template <typename T>
    void writeValue(T& field, T value) {
        T previous;
        {
            std::lock_guard<const RecordLock> lock(lock_);
            previous = std::move(field);
            field = std::move(value);
        }
    }
    // Runs f under the record's lock.
    template <typename F>
    decltype(auto) locked(F&& f) const {
        std::lock_guard<const RecordLock> lock(lock_);
        return f();
    }
    void writeText(std::string& field, std::string value) {
        std::string previous;
        {
            std::lock_guard<const RecordLock> lock(lock_);
            previous.swap(field);
            field = std::move(value);
        }
        // The old text is freed outside the lock.
    }

private:
    RecordLock lock_;
};

// The texts of a record in one buffer, one allocation for all of them (none
// while they fit in the buffer's own space): text i is the bytes from the
// end of text i - 1 to ends_[i]. A list of many records keeps one block per
// record instead of one per text.
template <size_t N>
class PackedTexts {
public:
    std::string_view get(size_t i) const {
        const size_t begin = i == 0 ? 0 : ends_[i - 1];
        return std::string_view(data_.data() + begin, ends_[i] - begin);
    }
    void set(size_t i, std::string_view value) {
        const size_t begin = i == 0 ? 0 : ends_[i - 1];
        const size_t old = ends_[i] - begin;
        if (data_.capacity() < data_.size() - old + value.size()) {
            // Room for the texts usually set after this one, so that a record
            // filled text by text is seldom moved.
            data_.reserve(std::max(2 * data_.capacity(), data_.size() - old + value.size() + 32));
        }
        data_.replace(begin, old, value);
        for (size_t k = i; k < N; ++k) ends_[k] = ends_[k] - old + value.size();
    }

    // Sets several texts at once ({index, text} pairs; a later pair for the
    // same index wins): the buffer is made once, at the size of the whole.
    void setMany(std::initializer_list<std::pair<size_t, std::string_view>> values) {
        std::array<std::string_view, N> next;
        for (size_t i = 0; i < N; ++i) next[i] = get(i);
        for (const auto& [i, value] : values) next[i] = value;
        size_t total = 0;
        for (std::string_view text : next) total += text.size();
        std::string data;
        data.reserve(total);
        std::array<size_t, N> ends{};
        for (size_t i = 0; i < N; ++i) {
            data.append(next[i]);
            ends[i] = data.size();
        }
        data_.swap(data);
        ends_ = ends;
    }

private:
    std::string data_;
    std::array<size_t, N> ends_{};
};

// A text of a record's PackedTexts (`texts_`, at `index`): getter, setter and
// `name##Visit(f)`, which calls f with a std::string_view of the text under
// the record's lock.
#define KESTREL_PACKED_FIELD(name, Setter, index)                                  \
public:                                                                          \
    std::string name() const {                                                   \
        return locked([this] { return std::string(texts_.get(index)); });        \
    }                                                                            \
    void Setter(std::string_view value) {                                        \
        locked([&] { texts_.set(index, value); });                               \
    }                                                                            \
    template <typename F>                                                        \
    decltype(auto) name##Visit(F&& f) const {                                    \
        return locked([&]() -> decltype(auto) { return f(texts_.get(index)); }); \
    }

// Getter `name()` and setter `setName(value)`, as the record tables name them,
// and `name##Visit(f)`, which calls f with the text under the record's lock
// instead of copying it (for hashing and comparing many records).
#define KESTREL_TEXT_FIELD(name, Setter)                                          \
public:                                                                          \
    std::string name() const { return readText(name##_); }                       \
    void Setter(std::string value) { writeText(name##_, std::move(value)); }     \
    template <typename F>                                                        \
    decltype(auto) name##Visit(F&& f) const {                                    \
        return visitText(name##_, std::forward<F>(f));                           \
    }                                                                            \
                                                                                 \
private:                                                                         \
    std::string name##_;

// A field of any copyable type read and written whole under the record's lock.
#define KESTREL_LOCKED_FIELD(type, name, Setter)                                   \
public:                                                                          \
    type name() const { return readValue(name##_); }                             \
    void Setter(type value) { writeValue(name##_, std::move(value)); }           \
                                                                                 \
private:                                                                         \
    type name##_{};

#define KESTREL_VALUE_FIELD(type, name, Setter, initial)                          \
public:                                                                          \
    type name() const { return name##_.load(std::memory_order_relaxed); }        \
    void Setter(type value) { name##_.store(value, std::memory_order_relaxed); } \
                                                                                 \
private:                                                                         \
    std::atomic<type> name##_{initial};

// Where a record was found. Every field is optional: a record read by SQL
// from a live table has none. `area` names the part of the file ("table",
// "freelist", "free block", "unallocated", "wal" ...), `page` the database
// page, `offset` the byte offset in the file, `frame` and `commit` the
// write-ahead-log frame and the commit it belongs to.
struct Provenance {
    std::string file;
    std::string area;
    std::optional<int64_t> page;
    std::optional<int64_t> offset;
    std::optional<int64_t> frame;
    std::optional<int64_t> commit;

    bool empty() const { return file.empty() && area.empty() && !page && !offset && !frame && !commit; }
    bool operator==(const Provenance&) const = default;
};

// The sources of a record: read from the live tables, or one of the ways a
// deleted record is recovered. Every source but the first marks the record
// deleted.
inline constexpr const char* kSourceExisting = "existing";
inline constexpr const char* kSourceRecentlyDeleted = "recently deleted";
inline constexpr const char* kSourceOrphaned = "orphaned";
inline constexpr const char* kSourceEarlierVersion = "earlier version";
inline constexpr const char* kSourceUnsent = "unsent";
inline constexpr const char* kSourceCarved = "carved";

// `source` with its rule: a source other than "existing" sets bDeleted (an
// empty source counts as "existing"). bDeleted can still be set on its own.
#define KESTREL_SOURCE_FIELD                                                      \
public:                                                                          \
    std::string source() const { return readText(source_); }                     \
    void setSource(std::string value) {                                          \
        if (value.empty()) value = kSourceExisting;                              \
        const bool deleted = value != kSourceExisting;                           \
        writeText(source_, std::move(value));                                    \
        if (deleted) setBDeleted(true);                                          \
    }                                                                            \
    bool isExistingSource() const {                                              \
        return visitText(source_, [](const std::string& s) { return s == kSourceExisting; }); \
    }                                                                            \
                                                                                 \
private:                                                                         \
    std::string source_ = kSourceExisting;

class TovContactNode : public RecordBase {
    KESTREL_VALUE_FIELD(int32_t, rowid, setRowid, -1)
    KESTREL_TEXT_FIELD(contactName, setContactName)
    KESTREL_TEXT_FIELD(contactPhone, setContactPhone)
    KESTREL_TEXT_FIELD(contactEmail, setContactEmail)
    KESTREL_TEXT_FIELD(contactHomepage, setContactHomepage)
    KESTREL_TEXT_FIELD(contactCompany, setContactCompany)
    KESTREL_TEXT_FIELD(contactBirthday, setContactBirthday)
    KESTREL_TEXT_FIELD(contactJobtitle, setContactJobtitle)
    KESTREL_TEXT_FIELD(contactNote, setContactNote)
    KESTREL_TEXT_FIELD(contactAdress, setContactAdress)
    // The phone numbers and e-mail addresses one by one, as stored (the
    // texts above join them with spaces); the handle lookup compares these.
    KESTREL_LOCKED_FIELD(std::vector<std::string>, contactPhoneValues, setContactPhoneValues)
    KESTREL_LOCKED_FIELD(std::vector<std::string>, contactEmailValues, setContactEmailValues)
    KESTREL_VALUE_FIELD(bool, bSelected, setBSelected, false)
    KESTREL_VALUE_FIELD(bool, bDeleted, setBDeleted, false)
    KESTREL_SOURCE_FIELD
    KESTREL_LOCKED_FIELD(Provenance, provenance, setProvenance)
};

// Every text of a message record at once, as views into the record (valid
// while its lock is held: see TovMessageNode::visitAll).
struct MessageTextsView {
    std::string_view messageName, messagePhone, messageDate, messageType, messageContent, service, chat, deletedDate;
    const std::vector<std::string>& attachments;
    const std::string& source;
    const Provenance* provenance;  // null when there is none
};

class TovMessageNode : public RecordBase {
public:
    // The texts of a message by their place, for setTexts.
    enum Text : size_t { kName = 0, kPhone, kDate, kType, kContent, kService, kChat, kDeletedDate };
    // Sets several texts under one hold of the lock, in one allocation for
    // all of the record's texts (a record filled field by field may grow its
    // buffer more than once).
    void setTexts(std::initializer_list<std::pair<size_t, std::string_view>> values) {
        locked([&] { texts_.setMany(values); });
    }

    KESTREL_PACKED_FIELD(messageName, setMessageName, kName)
    KESTREL_PACKED_FIELD(messagePhone, setMessagePhone, kPhone)
    KESTREL_PACKED_FIELD(messageDate, setMessageDate, kDate)
    KESTREL_PACKED_FIELD(messageType, setMessageType, kType)
    KESTREL_PACKED_FIELD(messageContent, setMessageContent, kContent)
    KESTREL_VALUE_FIELD(bool, bImessage, setBImessage, false)
    KESTREL_VALUE_FIELD(bool, bSelected, setBSelected, false)
    KESTREL_VALUE_FIELD(bool, bDeleted, setBDeleted, false)
    KESTREL_VALUE_FIELD(int32_t, handle_id, setHandle_id, -1)
    // "iMessage", "SMS", "RCS" as stored; empty when the database has no such column.
    KESTREL_PACKED_FIELD(service, setService, kService)
    // The conversation: the group's name, or its participants' names/numbers.
    KESTREL_PACKED_FIELD(chat, setChat, kChat)
    // File names of the message's attachments.
    KESTREL_LOCKED_FIELD(std::vector<std::string>, attachments, setAttachments)
    KESTREL_SOURCE_FIELD
    // When the message was deleted, in messageDate's format; empty when unknown.
    KESTREL_PACKED_FIELD(deletedDate, setDeletedDate, kDeletedDate)

public:
    // Where a carved record was found; kept only when there is something
    // to say, as most records are read from live tables.
    Provenance provenance() const {
        return locked([this] { return provenance_ ? *provenance_ : Provenance{}; });
    }
    void setProvenance(Provenance value) {
        std::unique_ptr<Provenance> next = value.empty() ? nullptr : std::make_unique<Provenance>(std::move(value));
        locked([&] { provenance_.swap(next); });
    }
    // Calls f with all the record's texts under one hold of its lock, for a
    // reader of every field (the output of a long list takes the lock once
    // per record rather than once per field).
    template <typename F>
    decltype(auto) visitAll(F&& f) const {
        return locked([&]() -> decltype(auto) {
            return f(MessageTextsView{texts_.get(kName), texts_.get(kPhone), texts_.get(kDate), texts_.get(kType),
                                      texts_.get(kContent), texts_.get(kService), texts_.get(kChat),
                                      texts_.get(kDeletedDate), attachments_, source_, provenance_.get()});
        });
    }

private:
    PackedTexts<8> texts_;
    std::unique_ptr<Provenance> provenance_;
};

class TovCallHistoryNode : public RecordBase {
    KESTREL_TEXT_FIELD(callName, setCallName)
    KESTREL_TEXT_FIELD(callPhone, setCallPhone)
    KESTREL_TEXT_FIELD(callDate, setCallDate)
    KESTREL_TEXT_FIELD(callType, setCallType)
    KESTREL_VALUE_FIELD(int32_t, callTime, setCallTime, -1)
    KESTREL_TEXT_FIELD(callDuration, setCallDuration)
    KESTREL_VALUE_FIELD(bool, bSelected, setBSelected, false)
    KESTREL_VALUE_FIELD(bool, bDeleted, setBDeleted, false)
};

class TovNoteNode : public RecordBase {
    KESTREL_TEXT_FIELD(noteTitle, setNoteTitle)
    KESTREL_TEXT_FIELD(noteContent, setNoteContent)
    KESTREL_TEXT_FIELD(noteDate, setNoteDate)
    KESTREL_VALUE_FIELD(int32_t, uid, setUid, -1)
    KESTREL_VALUE_FIELD(bool, bSelected, setBSelected, false)
    KESTREL_VALUE_FIELD(bool, bDeleted, setBDeleted, false)
};

// A photo or video file; this category has no deleted flag.
class TovPhotoAndVideoNode : public RecordBase {
    KESTREL_TEXT_FIELD(fileNodeName, setFileNodeName)
    KESTREL_TEXT_FIELD(fileNodeSize, setFileNodeSize)
    KESTREL_TEXT_FIELD(filePath, setFilePath)
    KESTREL_VALUE_FIELD(bool, bmov, setBmov, false)
    KESTREL_VALUE_FIELD(bool, bSelected, setBSelected, false)
};

// One carved chat record of the iOS 6 message database: its row number and
// the chat identifier without its service prefix.
class TovChatMessageNode : public RecordBase {
    KESTREL_VALUE_FIELD(int32_t, rowid, setRowid, -1)
    KESTREL_TEXT_FIELD(phoneValue, setPhoneValue)
};

// One carved address-book value (phone, e-mail, web page ...), tied to its
// person by rowID. Never shown.
class DelContactValue : public RecordBase {
    KESTREL_VALUE_FIELD(int32_t, rowID, setRowID, -1)
    KESTREL_VALUE_FIELD(int32_t, valueType, setValueType, -1)
    KESTREL_TEXT_FIELD(contactValue, setContactValue)
};

#undef KESTREL_TEXT_FIELD
#undef KESTREL_PACKED_FIELD
#undef KESTREL_LOCKED_FIELD
#undef KESTREL_SOURCE_FIELD
#undef KESTREL_VALUE_FIELD

using ContactPtr = std::shared_ptr<TovContactNode>;
using MessagePtr = std::shared_ptr<TovMessageNode>;
using CallHistoryPtr = std::shared_ptr<TovCallHistoryNode>;
using NotePtr = std::shared_ptr<TovNoteNode>;
using PhotoAndVideoPtr = std::shared_ptr<TovPhotoAndVideoNode>;
using ChatMessagePtr = std::shared_ptr<TovChatMessageNode>;
using DelContactValuePtr = std::shared_ptr<DelContactValue>;

// The per-category list classes: ordered lists of shared records with no
// behaviour of their own.
using TovContactController = std::vector<ContactPtr>;
using TovMessageController = std::vector<MessagePtr>;
using TovCallHistoryController = std::vector<CallHistoryPtr>;
using TovNoteController = std::vector<NotePtr>;
using TovPhotoAndVideoController = std::vector<PhotoAndVideoPtr>;

}  // namespace kestrel
