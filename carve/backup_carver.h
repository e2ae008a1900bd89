// The schema-aware carver in a backup scan: carves the message database and
// the address book of a backup (each with its write-ahead log or rollback
// journal, wherever the backup keeps them) and turns the carved `message`
// rows and `ABPerson` rows (with their `ABMultiValue` rows) into deleted
// records that say where they were found.
//
// The carving runs on the original bytes, before any step commits a log into
// its database; the records are posted later, once the name lookup is filled
// and the older pattern walks have run, so that only what those walks did
// not find is added.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/record_sink.h"
#include "app/records.h"
#include "carve/sqlite_raw.h"

namespace kestrel {

// Hashed names of the companions of the two databases in a backup.
inline constexpr const char* kMessageWalName = "cd47480f213dba9bc38ee792775d17e3f5a73a59";
inline constexpr const char* kMessageJournalName = "004549798fc2f73b2ea8928045e4e12b4fff4044";
inline constexpr const char* kAddressBookWalName = "a9aaf31e300bbb71f1602c65e27a29a6c85f98f8";
inline constexpr const char* kAddressBookJournalName = "454d1500f82202fba06fe57a12f4ecf0cbff0947";

// A database of a backup folder and its companions, mapped. Each companion
// is the file beside the database under its name with "-wal" / "-journal"
// appended, else the file the backup keeps under the companion's own hashed
// name (flat or in its two-character sub-folder); null when there is none.
struct BackupDatabaseFiles {
    std::unique_ptr<RawFile> database, wal, journal;
    std::string databasePath, walPath, journalPath;
};
BackupDatabaseFiles openBackupDatabase(const std::string& folder, const std::string& hashedName,
                                       const std::string& walHashedName, const std::string& journalHashedName);

// Byte ranges [begin, end) of the database file that cells of its tables
// still reach, sorted: a record found inside one is a live row.
class LiveCellRanges {
public:
    LiveCellRanges() = default;
    explicit LiveCellRanges(std::vector<std::pair<int64_t, int64_t>> ranges);
    bool contains(int64_t offset) const;
    bool empty() const { return ranges_ == nullptr || ranges_->empty(); }
    bool operator==(const LiveCellRanges& other) const {
        return empty() ? other.empty() : !other.empty() && *ranges_ == *other.ranges_;
    }

private:
    // Sorted by begin, overlapping ones merged; shared by the copies (the
    // scan's worker and carving thread each hold the message database's).
    std::shared_ptr<const std::vector<std::pair<int64_t, int64_t>>> ranges_;
};

// One carved record with where its bytes lie in its database page, so the
// same bytes found by an older pattern walk are known as the same record.
template <typename Ptr>
struct CarvedEntry {
    Ptr record;
    int64_t page = 0;       // database page, 1-based; 0 when unknown
    int64_t pageBegin = 0;  // the record's bytes in that page: [pageBegin, pageEnd)
    int64_t pageEnd = 0;
    std::string walkDate;   // messages: the date as the older walks write it
    // Messages: the handles of the conversation's participants, for a
    // conversation without a name (named through the sink when posted).
    std::vector<std::string> chatMembers;
};

// What the carver found in one database, ready to be posted.
struct CarvedBackupRecords {
    bool carved = false;  // the database was found and its schema read
    int64_t pageSize = 0;
    LiveCellRanges liveCells;
    // Source "carved" or "earlier version", with provenance; not yet named.
    std::vector<CarvedEntry<MessagePtr>> messages;
    std::vector<CarvedEntry<ContactPtr>> contacts;  // with their values joined
};

// A record an older pattern walk listed, with the offset in the database
// file where the walk found it (none when the walk does not say).
template <typename Ptr>
struct WalkedRecord {
    Ptr record;
    std::optional<int64_t> offset;
};

// What the check of carved messages needs of a message an older walk
// listed: the key of its text and date (walkedMessageKey), and where it was
// found. The record itself is not held: the walk of a large database lists
// a hundred thousand of them.
struct WalkedMessage {
    uint64_t key = 0;
    std::optional<int64_t> offset;
};
uint64_t walkedMessageKey(std::string_view text, std::string_view date);

// Carves the message database (any iOS version's layout: the iOS 5 `address`
// columns or the `handle` table of later versions). Texts come from `text`,
// else from `attributedBody`; dates follow the database's layout; the
// direction follows `is_from_me`, or the flags of the iOS 5 layout. A carved
// row whose visible content (text, date, correspondent, direction) equals a
// live row's is not kept: it is an old image of a message that still exists.
// `liveCellsKnown`, when given, receives the live cells' ranges (those the
// result's liveCells will hold) as soon as they are known, before the pages
// are carved.
CarvedBackupRecords carveMessageDatabase(const RawFile* database, const RawFile* wal, const RawFile* journal,
                                         const std::string& databaseName = "sms.db",
                                         const std::function<void(LiveCellRanges)>& liveCellsKnown = {});
// Carves the address book: carved and earlier-version `ABPerson` rows, each
// with the `ABMultiValue` rows (live and carved) of its row number.
CarvedBackupRecords carveAddressBook(const RawFile* database, const RawFile* wal, const RawFile* journal,
                                     const std::string& databaseName = "AddressBook.sqlitedb");

// Posts the carved messages (postDelMessage), each named through the sink's
// lookup, except those the older pattern walks already listed (`listed`):
// the same text and date, or the walk's record lying inside the carved
// record's bytes.
void postCarvedMessages(CarvedBackupRecords& carved, const std::vector<WalkedMessage>& listed,
                        RecordSink& sink);
// The same for carved persons (postDelContact), against the walks' persons:
// the same name, or the walk's record inside the carved record's bytes.
void postCarvedContacts(CarvedBackupRecords& carved, const std::vector<WalkedRecord<ContactPtr>>& listed,
                        RecordSink& sink);

// The sink the older pattern walks deliver to when a schema carve ran first:
// drops every message or person found inside a live cell (a live row the
// walk took for a deleted one), keeps the ones it passes on for the carved
// records' comparison, and hands records on without the offset the walks
// note in their provenance, so they look exactly as before.
class LiveCellFilter final : public RecordSink {
public:
    LiveCellFilter(RecordSink& target, const LiveCellRanges& live) : target_(target), live_(live) {}

    void postContact(ContactPtr contact) override { target_.postContact(std::move(contact)); }
    void postMessage(MessagePtr message) override { target_.postMessage(std::move(message)); }
    void postDelContact(ContactPtr contact) override;
    void postDelContactValue(DelContactValuePtr value) override { target_.postDelContactValue(std::move(value)); }
    void postDelMessage(MessagePtr message) override;
    void postChatMessage(ChatMessagePtr chat) override { target_.postChatMessage(std::move(chat)); }
    void postProgress(int percent) override { target_.postProgress(percent); }
    std::optional<std::string> getNameByPhoneNumber(const std::string& phone) override {
        return target_.getNameByPhoneNumber(phone);
    }

    // A record in a live cell is an image of a live row: not read at all.
    bool wantsDelRecordAt(int64_t offset) override {
        if (!live_.contains(offset)) return true;
        ++dropped_;
        return false;
    }

    const std::vector<WalkedMessage>& passedMessages() const { return messages_; }
    const std::vector<WalkedRecord<ContactPtr>>& passedContacts() const { return contacts_; }
    size_t droppedAsLive() const { return dropped_; }

private:
    RecordSink& target_;
    const LiveCellRanges& live_;
    std::vector<WalkedMessage> messages_;
    std::vector<WalkedRecord<ContactPtr>> contacts_;
    size_t dropped_ = 0;
};

}  // namespace kestrel
