// The schema-aware carver in a backup scan: companions found beside the
// database or under their hashed names, carved messages and persons turned
// into deleted records with provenance, records of the older pattern walks
// that lie inside live cells dropped, the walks' own finds not listed twice,
// and the provenance sentence of the preview.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <map>
#include <random>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "app/backup_discovery.h"
#include "app/collecting_sink.h"
#include "app/provenance_text.h"
#include "carve/backup_carver.h"
#include "carve/contact_carver.h"
#include "carve/deleted_message_step.h"
#include "extract/conversions.h"
#include "test_support.h"
#include "tools/backup_generator.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

void exec(sqlite3* db, const std::string& sql) {
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << sql << ": " << (error ? error : "");
    sqlite3_free(error);
}

// A database in WAL mode whose log is left un-checkpointed when closed.
sqlite3* openWalDatabase(const fs::path& path) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    int off = 0;
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, &off);
    exec(db, "PRAGMA journal_mode=WAL");
    exec(db, "PRAGMA wal_autocheckpoint=0");
    return db;
}

std::string longText(int i) { return "message number " + std::to_string(i) + " " + std::string(40 + i % 7, 'x'); }

// A message database of the iOS 6+ layout: 30 messages to two handles, then
// (in later commits of the log) the ten messages of the second handle and the
// handle itself deleted, and message 3's text changed.
void writeModernMessages(const fs::path& db) {
    sqlite3* d = openWalDatabase(db);
    exec(d, "CREATE TABLE handle (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, id TEXT NOT NULL, service TEXT)");
    exec(d, "CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, text TEXT, "
            "handle_id INTEGER DEFAULT 0, service TEXT, date INTEGER, is_from_me INTEGER DEFAULT 0, "
            "attributedBody BLOB)");
    exec(d, "INSERT INTO handle VALUES (1, '+15550001', 'SMS'), (2, '+15550002', 'iMessage')");
    exec(d, "BEGIN");
    for (int i = 1; i <= 30; ++i) {
        const int handle = i % 3 == 0 ? 2 : 1;
        exec(d, "INSERT INTO message VALUES (" + std::to_string(i) + ", 'guid-" + std::to_string(i) + "', '" +
                    longText(i) + "', " + std::to_string(handle) + ", '" + (handle == 2 ? "iMessage" : "SMS") +
                    "', " + std::to_string(600000000000000000LL + i * 1000000000LL) + ", " + std::to_string(i % 2) +
                    ", NULL)");
    }
    exec(d, "COMMIT");
    exec(d, "DELETE FROM message WHERE handle_id = 2");
    exec(d, "DELETE FROM handle WHERE ROWID = 2");
    exec(d, "UPDATE message SET text = 'changed text' WHERE ROWID = 1");
    sqlite3_close(d);
}

std::set<std::string> contents(const std::vector<MessagePtr>& messages) {
    std::set<std::string> out;
    for (const MessagePtr& m : messages) out.insert(m->messageContent());
    return out;
}

}  // namespace

// The live cells as merged ranges against a brute-force answer: unsorted,
// overlapping, touching, empty and inverted ranges; copies share them.
TEST(BackupCarver, LiveCellRangesAnswerAsTheCellsDo) {
    std::mt19937 rng(5);
    for (int round = 0; round < 50; ++round) {
        std::vector<std::pair<int64_t, int64_t>> cells;
        std::vector<bool> inside(400, false);
        const int n = static_cast<int>(rng() % 30);
        for (int i = 0; i < n; ++i) {
            const int64_t a = rng() % 380, b = a + static_cast<int64_t>(rng() % 25) - 3;
            cells.emplace_back(a, b);
            for (int64_t o = a; o < b; ++o) inside[static_cast<size_t>(o)] = true;
        }
        const LiveCellRanges ranges(cells);
        const LiveCellRanges copy = ranges;
        for (int64_t o = -2; o < 400; ++o) {
            const bool expected = o >= 0 && inside[static_cast<size_t>(o)];
            ASSERT_EQ(ranges.contains(o), expected) << round << " " << o;
            ASSERT_EQ(copy.contains(o), expected) << round << " " << o;
        }
        EXPECT_EQ(ranges.empty(), std::none_of(inside.begin(), inside.end(), [](bool b) { return b; }));
        EXPECT_TRUE(copy == ranges);
    }
    EXPECT_TRUE(LiveCellRanges() == LiveCellRanges(std::vector<std::pair<int64_t, int64_t>>{{5, 5}}));
    EXPECT_FALSE(LiveCellRanges().contains(0));
}

TEST(ProvenanceText, SaysWhereARecordWasFound) {
    EXPECT_EQ(groupedNumber(0), "0");
    EXPECT_EQ(groupedNumber(999), "999");
    EXPECT_EQ(groupedNumber(1234), "1,234");
    EXPECT_EQ(groupedNumber(1234567), "1,234,567");
    EXPECT_EQ(groupedNumber(-1234), "-1,234");

    Provenance p;
    EXPECT_EQ(provenanceText(p), "");  // read from a live table
    p.file = "sms.db";
    p.area = "free page";
    p.page = 1234;
    p.offset = 416;
    EXPECT_EQ(provenanceText(p), "Recovered from free page 1,234, offset 416");
    p.area = "freeblock";
    EXPECT_EQ(provenanceText(p), "Recovered from a freed cell of page 1,234, offset 416");
    p.area = "unallocated";
    EXPECT_EQ(provenanceText(p), "Recovered from unallocated space of page 1,234, offset 416");
    p.file = "sms.db-wal";
    p.area = "WAL frame";
    p.page = 7;
    p.offset = 4152;
    p.frame = 12;
    p.commit = 3;
    EXPECT_EQ(provenanceText(p), "Recovered from WAL frame 12 (commit 3), page 7, offset 4,152 of sms.db-wal");
    p.commit.reset();
    EXPECT_EQ(provenanceText(p), "Recovered from WAL frame 12 (not committed), page 7, offset 4,152 of sms.db-wal");
}

TEST(BackupCarver, CompanionsBesideTheDatabaseOrUnderTheirHashedNames) {
    TempDir dir;
    const fs::path work = dir.path() / "work.db";
    writeModernMessages(work);
    ASSERT_TRUE(fs::exists(work.string() + "-wal"));

    // The backup's way: the log under its own hashed name, in the sub-folder layout.
    const fs::path hashed = dir.path() / "hashed";
    fs::create_directories(hashed / "3d");
    fs::create_directories(hashed / "cd");
    fs::copy_file(work, hashed / "3d" / kMessageDBName);
    fs::copy_file(work.string() + "-wal", hashed / "cd" / kMessageWalName);
    BackupDatabaseFiles files = openBackupDatabase(hashed.string(), kMessageDBName, kMessageWalName, kMessageJournalName);
    ASSERT_TRUE(files.database);
    ASSERT_TRUE(files.wal);
    EXPECT_EQ(files.walPath, (hashed / "cd" / kMessageWalName).string());
    EXPECT_FALSE(files.journal);

    // A working copy's way: the log beside the database as NAME-wal.
    const fs::path beside = dir.path() / "beside";
    fs::create_directories(beside);
    fs::copy_file(work, beside / kMessageDBName);
    fs::copy_file(work.string() + "-wal", beside / (std::string(kMessageDBName) + "-wal"));
    files = openBackupDatabase(beside.string(), kMessageDBName, kMessageWalName, kMessageJournalName);
    ASSERT_TRUE(files.wal);
    EXPECT_EQ(files.walPath, (beside / (std::string(kMessageDBName) + "-wal")).string());

    // No database: nothing opened.
    files = openBackupDatabase((dir.path() / "none").string(), kMessageDBName, kMessageWalName, kMessageJournalName);
    EXPECT_FALSE(files.database);
    EXPECT_FALSE(files.wal);
}

TEST(BackupCarver, DeletedMessagesOfTheLogAreListedWithProvenanceAndNoLiveOne) {
    TempDir dir;
    const fs::path db = dir.path() / "sms.db";
    writeModernMessages(db);
    auto file = RawFile::open(db.string());
    auto wal = RawFile::open(db.string() + "-wal");
    ASSERT_TRUE(file && wal);

    // The live cells are handed over before the carve ends, the same as
    // the carve's own.
    std::optional<LiveCellRanges> early;
    CarvedBackupRecords carved = carveMessageDatabase(file.get(), wal.get(), nullptr, "sms.db",
                                                      [&](LiveCellRanges live) { early = std::move(live); });
    ASSERT_TRUE(carved.carved);
    EXPECT_FALSE(carved.liveCells.empty());
    ASSERT_TRUE(early.has_value());
    EXPECT_TRUE(*early == carved.liveCells);
    CollectingSink sink;
    sink.names = {{"+15550002", "Dora"}};
    postCarvedMessages(carved, {}, sink);

    std::set<std::string> deleted, live;
    for (int i = 1; i <= 30; ++i) (i % 3 == 0 ? deleted : live).insert(longText(i));
    live.erase(longText(1));
    live.insert("changed text");
    size_t found = 0, earlier = 0;
    for (const MessagePtr& m : sink.delMessages) {
        const std::string text = m->messageContent();
        EXPECT_EQ(live.count(text), 0u) << "live message listed as deleted: " << text;
        EXPECT_FALSE(m->provenance().empty());
        EXPECT_TRUE(m->bDeleted());
        if (m->source() == kSourceEarlierVersion) {
            ++earlier;
            EXPECT_EQ(text, longText(1));
            continue;
        }
        EXPECT_EQ(m->source(), kSourceCarved);
        ASSERT_EQ(deleted.count(text), 1u) << text;
        ++found;
        // The handle row was deleted too: its carved image still names the message.
        EXPECT_EQ(m->messagePhone(), "+15550002");
        EXPECT_EQ(m->messageName(), "Dora");
        EXPECT_EQ(m->handle_id(), 2);
        EXPECT_EQ(m->service(), "iMessage");
        EXPECT_TRUE(m->bImessage());
        EXPECT_FALSE(m->messageDate().empty());
        const int i = std::stoi(text.substr(15));
        EXPECT_EQ(m->messageType(), i % 2 ? "Send" : "Received");
    }
    EXPECT_EQ(found, deleted.size());  // every one, once
    EXPECT_EQ(earlier, 1u);
    EXPECT_EQ(contents(sink.delMessages).size(), sink.delMessages.size());
}

// Messages in two conversations, one named and one called by its members:
// 2 and 4 left their conversation (their join rows deleted with them), 6 went
// to Recently Deleted (its join row moved to the recoverable table), 8 and 10
// went there and then were purged (the recoverable row deleted too).
TEST(BackupCarver, CarvedMessagesKnowTheirConversationAndWhenTheyWereDeleted) {
    TempDir dir;
    const fs::path db = dir.path() / "sms.db";
    sqlite3* d = openWalDatabase(db);
    exec(d, "CREATE TABLE handle (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, id TEXT NOT NULL, service TEXT)");
    exec(d, "CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, text TEXT, "
            "handle_id INTEGER DEFAULT 0, service TEXT, date INTEGER, is_from_me INTEGER DEFAULT 0)");
    exec(d, "CREATE TABLE chat (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, "
            "chat_identifier TEXT, display_name TEXT)");
    exec(d, "CREATE TABLE chat_handle_join (chat_id INTEGER, handle_id INTEGER, UNIQUE(chat_id, handle_id))");
    exec(d, "CREATE TABLE chat_message_join (chat_id INTEGER, message_id INTEGER, message_date INTEGER DEFAULT 0, "
            "PRIMARY KEY (chat_id, message_id))");
    // Made with three columns and given its fourth later, so that the rows
    // written before hold three values, as a chat_message_join row does.
    exec(d, "CREATE TABLE chat_recoverable_message_join (chat_id INTEGER, message_id INTEGER, delete_date INTEGER, "
            "PRIMARY KEY (chat_id, message_id))");
    exec(d, "INSERT INTO handle VALUES (1, '+15550001', 'SMS'), (2, 'dora@example.com', 'iMessage')");
    exec(d, "INSERT INTO chat VALUES (1, 'chat-a', 'chat100', 'Weekend plans'), (2, 'chat-b', 'chat200', '')");
    exec(d, "INSERT INTO chat_handle_join VALUES (1, 1), (2, 1), (2, 2)");
    for (int i = 1; i <= 10; ++i) {
        const int chat = i <= 4 || i > 8 ? 1 : 2;
        exec(d, "INSERT INTO message VALUES (" + std::to_string(i) + ", 'guid-" + std::to_string(i) + "', '" +
                    longText(i) + "', 1, 'SMS', " + std::to_string(600000000000000000LL + i * 1000000000LL) + ", 0)");
        exec(d, "INSERT INTO chat_message_join VALUES (" + std::to_string(chat) + ", " + std::to_string(i) + ", 0)");
    }
    exec(d, "DELETE FROM chat_message_join WHERE message_id IN (2, 4, 6, 8, 10)");
    exec(d, "DELETE FROM message WHERE ROWID IN (2, 4)");
    // 10: its Recently Deleted row was written with three values (before the
    // table got its fourth column), the shape of a message join row: such an
    // image names the conversation but is not trusted with a time.
    exec(d, "INSERT INTO chat_recoverable_message_join VALUES (1, 10, 700000000000000000)");
    exec(d, "ALTER TABLE chat_recoverable_message_join ADD COLUMN ck_sync_state INTEGER DEFAULT 0");
    exec(d, "DELETE FROM chat_recoverable_message_join WHERE message_id = 10");
    exec(d, "DELETE FROM message WHERE ROWID = 10");
    exec(d, "INSERT INTO chat_recoverable_message_join VALUES (2, 6, 700000000000000000, 0), "
            "(2, 8, 700000000000000000, 0)");
    exec(d, "DELETE FROM chat_recoverable_message_join WHERE message_id = 8");
    exec(d, "DELETE FROM message WHERE ROWID IN (6, 8)");  // 6 as a later purge would leave it, its join kept
    sqlite3_close(d);

    auto file = RawFile::open(db.string());
    auto wal = RawFile::open(db.string() + "-wal");
    CarvedBackupRecords carved = carveMessageDatabase(file.get(), wal.get(), nullptr, "sms.db");
    ASSERT_TRUE(carved.carved);
    CollectingSink sink;
    sink.names = {{"+15550001", "Ann"}};
    postCarvedMessages(carved, {}, sink);
    std::map<std::string, MessagePtr> byText;
    for (const MessagePtr& m : sink.delMessages) byText[m->messageContent()] = m;
    for (int i : {2, 4, 6, 8}) ASSERT_EQ(byText.count(longText(i)), 1u) << i;
    EXPECT_EQ(byText[longText(2)]->chat(), "Weekend plans");
    EXPECT_EQ(byText[longText(4)]->chat(), "Weekend plans");
    EXPECT_TRUE(byText[longText(2)]->deletedDate().empty());  // no row says when
    EXPECT_EQ(byText[longText(6)]->chat(), "Ann, dora@example.com");
    EXPECT_EQ(byText[longText(6)]->deletedDate(), formatMessageDate(700000000000000000LL, MessageDateLayout::Ios6OrLater));
    EXPECT_EQ(byText[longText(8)]->chat(), "Ann, dora@example.com");
    EXPECT_FALSE(byText[longText(8)]->deletedDate().empty());
    ASSERT_EQ(byText.count(longText(10)), 1u);
    EXPECT_EQ(byText[longText(10)]->chat(), "Weekend plans");  // from its carved join row
    EXPECT_TRUE(byText[longText(10)]->deletedDate().empty());
}

// Persons whose freed cells lost their row number (a two-byte row number
// and payload size under the four bytes of the freeblock header): Bea is
// named through the change log's guid, Cyd through the name index; Dee has
// neither and keeps no values.
TEST(BackupCarver, PersonsWithoutRowNumberAreNamedThroughTheChangeLogOrTheNameIndex) {
    TempDir dir;
    const fs::path db = dir.path() / "AddressBook.sqlitedb";
    sqlite3* d = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &d), SQLITE_OK);
    exec(d, "PRAGMA secure_delete=OFF");
    exec(d, "CREATE TABLE ABPerson (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, First TEXT, Last TEXT, Organization TEXT, "
            "Note TEXT, guid TEXT NOT NULL, UNIQUE(guid))");
    exec(d, "CREATE TABLE ABMultiValue (UID INTEGER PRIMARY KEY, record_id INTEGER, property INTEGER, "
            "identifier INTEGER, label INTEGER, value TEXT)");
    exec(d, "CREATE TABLE ABPersonChanges (record INTEGER, type INTEGER, sequence_number INTEGER, guid TEXT)");
    exec(d, "CREATE TABLE ABPersonFullTextSearch_content (docid INTEGER PRIMARY KEY, c0First, c1Last, c2Middle, "
            "c3FirstPhonetic, c4MiddlePhonetic, c5LastPhonetic, c6Organization)");
    const std::string note(150, 'n');
    const std::vector<std::string> first = {"Ann", "Bea", "Cyd", "Dee", "Eve"};
    exec(d, "BEGIN");
    for (int i = 0; i < 5; ++i) {
        const std::string id = std::to_string(200 + i);
        exec(d, "INSERT INTO ABPerson VALUES (" + id + ", '" + first[static_cast<size_t>(i)] + "', 'Lund', 'Acme', '" +
                    note + "', 'GUID-" + id + "')");
        exec(d, "INSERT INTO ABMultiValue VALUES (" + std::to_string(300 + i) + ", " + id + ", 3, 0, 1, '+1555000" +
                    id + "')");
        if (i != 3)
            exec(d, "INSERT INTO ABPersonFullTextSearch_content VALUES (" + id + ", '" + first[static_cast<size_t>(i)] +
                        "', 'Lund', NULL, NULL, NULL, NULL, 'Acme')");
    }
    exec(d, "COMMIT");
    exec(d, "BEGIN");
    exec(d, "DELETE FROM ABPerson WHERE ROWID IN (201, 202, 203)");
    exec(d, "INSERT INTO ABPersonChanges VALUES (201, 2, 7, 'GUID-201')");
    exec(d, "COMMIT");
    sqlite3_close(d);

    auto file = RawFile::open(db.string());
    CarvedBackupRecords carved = carveAddressBook(file.get(), nullptr, nullptr);
    ASSERT_TRUE(carved.carved);
    CollectingSink sink;
    postCarvedContacts(carved, {}, sink);
    std::map<std::string, ContactPtr> byName;
    for (const ContactPtr& c : sink.delContacts) byName[c->contactName()] = c;
    ASSERT_EQ(byName.size(), 3u);
    EXPECT_EQ(byName["Bea Lund"]->rowid(), 201);
    EXPECT_EQ(byName["Bea Lund"]->contactPhone(), " +1555000201");
    EXPECT_EQ(byName["Cyd Lund"]->rowid(), 202);
    EXPECT_EQ(byName["Cyd Lund"]->contactPhone(), " +1555000202");
    EXPECT_EQ(byName["Dee Lund"]->rowid(), -1);
    EXPECT_TRUE(byName["Dee Lund"]->contactPhone().empty());
}

// An iOS 5 message database in WAL mode: messages 1-5 and 8 live, 6 and 7
// inserted and deleted again, so that they exist only in older commits of
// its log.
void writeIOS5LogDatabase(const fs::path& work) {
    sqlite3* d = openWalDatabase(work);
    exec(d, "CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, address TEXT, date INTEGER, text TEXT, "
            "flags INTEGER, replace INTEGER, svc_center TEXT, group_id INTEGER, association_id INTEGER, "
            "height INTEGER, UIFlags INTEGER, version INTEGER, subject TEXT, country TEXT, headers BLOB, "
            "recipients BLOB, read INTEGER, madrid_attributedBody BLOB, madrid_handle TEXT, madrid_version INTEGER, "
            "madrid_guid TEXT, madrid_type INTEGER, madrid_roomname TEXT, madrid_service TEXT, madrid_account TEXT, "
            "madrid_account_guid TEXT, madrid_flags INTEGER, madrid_attachmentInfo BLOB, madrid_url TEXT, "
            "madrid_error INTEGER, is_madrid INTEGER, madrid_date_read INTEGER, madrid_date_delivered INTEGER)");
    exec(d, "CREATE TABLE group_member (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, group_id INTEGER, address TEXT, "
            "country TEXT)");
    const auto insert = [&](int id, const std::string& text, bool madrid) {
        exec(d, "INSERT INTO message (ROWID, address, date, text, flags, is_madrid, madrid_handle, madrid_flags) "
                "VALUES (" + std::to_string(id) + ", '+4471234" + std::to_string(id) + "', " +
                    std::to_string(1330000000 + id) + ", '" + text + "', 3, " + (madrid ? "1" : "0") + ", " +
                    (madrid ? "'friend@example.com'" : "NULL") + ", " + (madrid ? "36869" : "0") + ")");
    };
    for (int i = 1; i <= 5; ++i) insert(i, "kept message " + std::to_string(i), false);
    insert(6, "only in an older commit", false);
    insert(7, "an iMessage only in an older commit", true);
    exec(d, "DELETE FROM message WHERE ROWID IN (6, 7)");
    insert(8, "kept message 8", false);
    sqlite3_close(d);
}

TEST(BackupCarver, IOS5MessagesThatExistOnlyInOlderCommitsOfAHashedLog) {
    TempDir dir;
    const fs::path work = dir.path() / "ios5.db";
    writeIOS5LogDatabase(work);

    const fs::path backup = dir.path() / "backup";
    fs::create_directories(backup);
    fs::copy_file(work, backup / kMessageDBName);
    fs::copy_file(work.string() + "-wal", backup / kMessageWalName);
    const BackupDatabaseFiles files = openBackupDatabase(backup.string(), kMessageDBName, kMessageWalName, kMessageJournalName);
    ASSERT_TRUE(files.wal);
    CarvedBackupRecords carved = carveMessageDatabase(files.database.get(), files.wal.get(), nullptr);
    CollectingSink sink;
    postCarvedMessages(carved, {}, sink);
    ASSERT_EQ(sink.delMessages.size(), 2u);
    for (const MessagePtr& m : sink.delMessages) {
        EXPECT_EQ(m->source(), kSourceCarved);
        const Provenance p = m->provenance();
        EXPECT_EQ(p.area, "WAL frame");
        EXPECT_TRUE(p.frame && p.commit);
        if (m->messageContent() == "only in an older commit") {
            EXPECT_EQ(m->messagePhone(), "+44712346");
            EXPECT_EQ(m->messageType(), "Send");
            EXPECT_FALSE(m->bImessage());
        } else {
            EXPECT_EQ(m->messageContent(), "an iMessage only in an older commit");
            EXPECT_EQ(m->messagePhone(), "friend@example.com");
            EXPECT_TRUE(m->bImessage());
        }
        // Unix seconds in the iOS 5 layout: 2012, not 2043.
        EXPECT_NE(m->messageDate().find("2012"), std::string::npos) << m->messageDate();
    }
}

// The older walks of an iOS 6 backup took two kinds of live rows for deleted
// ones: a contact whose name is 100 bytes or longer (the name cut), and a
// message to a handle that belongs to no chat. Inside a live cell they are
// now dropped; what the walks found stays, and the carver adds only the rest.
TEST(BackupCarver, WalkRecordsInsideLiveCellsAreDroppedAndWalkFindsAreNotListedTwice) {
    TempDir dir;
    gen::BackupSpec plan = gen::syntheticSpec(200, 30, 12, 0.2, 5, gen::MessageLayout::IOS6, 0.2);
    plan.device.productVersion = "6.1.3";
    ASSERT_FALSE(plan.persons[0].deleted);
    plan.persons[0].first = std::string(110, 'A') + "lexandra";
    std::set<std::string> deletedNames;
    for (const gen::Person& p : plan.persons)
        if (p.deleted) deletedNames.insert(p.first.value_or("") + " " + p.last.value_or(""));
    ASSERT_FALSE(deletedNames.empty());
    // A handle whose chat is gone, its messages still live.
    plan.handles[0].deleted = true;
    std::set<std::string> live, deleted;
    for (const gen::Message& m : plan.messages) (m.deleted ? deleted : live).insert(m.text.value_or(""));
    for (const std::string& t : deleted) live.erase(t);
    ASSERT_EQ(gen::writeBackup(dir.path(), plan), "");

    const BackupDatabaseFiles book = openBackupDatabase(dir.str(), kAddressBookDBName, kAddressBookWalName, kAddressBookJournalName);
    ASSERT_TRUE(book.database);
    CarvedBackupRecords contacts = carveAddressBook(book.database.get(), book.wal.get(), book.journal.get());
    ASSERT_TRUE(contacts.carved);

    // The walk alone lists the live long name, cut.
    CollectingSink plain;
    carveDeletedContacts(book.database.get(), plain);
    bool cutLive = false;
    for (const ContactPtr& c : plain.delContacts) {
        cutLive = cutLive || c->contactName().find("AAA") != std::string::npos || c->contactName().find("lexandra") != std::string::npos;
    }
    EXPECT_TRUE(cutLive) << "the walk no longer takes the live long name for a deleted contact";

    CollectingSink sink;
    LiveCellFilter filter(sink, contacts.liveCells);
    carveDeletedContacts(book.database.get(), filter);
    EXPECT_GE(filter.droppedAsLive(), 1u);
    for (const ContactPtr& c : sink.delContacts) {
        EXPECT_EQ(c->contactName().find("AAAAAAAAAA"), std::string::npos) << c->contactName();
        EXPECT_TRUE(c->provenance().empty());  // the walks' records look as before
    }
    const size_t walked = sink.delContacts.size();
    postCarvedContacts(contacts, filter.passedContacts(), sink);
    std::map<std::string, int> listedNames;
    for (const ContactPtr& c : sink.delContacts) {
        EXPECT_EQ(c->contactName().find("AAAAAAAAAA"), std::string::npos) << c->contactName();
        ++listedNames[c->contactName()];
    }
    for (const std::string& name : deletedNames) EXPECT_EQ(listedNames[name], 1) << name;
    for (size_t i = walked; i < sink.delContacts.size(); ++i) {
        EXPECT_EQ(sink.delContacts[i]->source(), kSourceCarved);
        EXPECT_FALSE(sink.delContacts[i]->provenance().empty());
    }

    const BackupDatabaseFiles sms = openBackupDatabase(dir.str(), kMessageDBName, kMessageWalName, kMessageJournalName);
    ASSERT_TRUE(sms.database);
    CarvedBackupRecords messages = carveMessageDatabase(sms.database.get(), sms.wal.get(), sms.journal.get());
    ASSERT_TRUE(messages.carved);
    CollectingSink walkOnly;
    carveDeletedMessages(sms.database.get(), true, walkOnly);
    size_t liveByWalk = 0;
    for (const MessagePtr& m : walkOnly.delMessages) liveByWalk += live.count(m->messageContent());
    EXPECT_GT(liveByWalk, 0u) << "the walk no longer takes live messages for deleted ones";

    // Live messages the walk takes from live cells are dropped (those it
    // takes from stale copies outside any cell are left to the results
    // model, which knows the live list); what the walk lists is not listed
    // again by the carver.
    CollectingSink messageSink;
    LiveCellFilter messageFilter(messageSink, messages.liveCells);
    carveDeletedMessages(sms.database.get(), true, messageFilter);
    EXPECT_GE(messageFilter.droppedAsLive(), 1u);
    const size_t walkedMessages = messageSink.delMessages.size();
    std::set<std::string> byWalk;
    size_t liveAfter = 0;
    for (const MessagePtr& m : messageSink.delMessages) {
        byWalk.insert(m->messageContent());
        liveAfter += live.count(m->messageContent());
    }
    EXPECT_LT(liveAfter, liveByWalk);
    postCarvedMessages(messages, messageFilter.passedMessages(), messageSink);
    for (size_t i = walkedMessages; i < messageSink.delMessages.size(); ++i) {
        const MessagePtr& m = messageSink.delMessages[i];
        EXPECT_EQ(live.count(m->messageContent()), 0u) << "live message added: " << m->messageContent();
        EXPECT_EQ(byWalk.count(m->messageContent()), 0u) << "listed twice: " << m->messageContent();
        EXPECT_EQ(m->source(), kSourceCarved);
    }
}

TEST(LiveCellRanges, MergesAndFindsOffsets) {
    const LiveCellRanges ranges({{100, 120}, {10, 20}, {115, 130}, {50, 50}});
    EXPECT_FALSE(ranges.contains(9));
    EXPECT_TRUE(ranges.contains(10));
    EXPECT_TRUE(ranges.contains(19));
    EXPECT_FALSE(ranges.contains(20));
    EXPECT_FALSE(ranges.contains(50));
    EXPECT_TRUE(ranges.contains(125));
    EXPECT_FALSE(ranges.contains(130));
    EXPECT_FALSE(LiveCellRanges().contains(0));
}

// The scan over generated modern backups (iOS 17 and 12, deletes left in
// logs kept under their hashed names): the messages deleted by SQL are listed
// as carved with their provenance, and no live message is listed as deleted.
TEST(BackupCarverScan, ModernBackupsListDeletedMessagesWithProvenanceAndNoLiveOne) {
    for (const auto& [ios, beside] : {std::pair{17, false}, std::pair{12, false}, std::pair{17, true}}) {
        SCOPED_TRACE("iOS " + std::to_string(ios) + (beside ? ", log beside the database" : ""));
        TempDir dir;
        gen::ModernSpec shape = gen::modernSpec(ios, 300, 7);
        shape.wal = true;
        std::vector<gen::PlannedMessage> plan;
        ASSERT_EQ(gen::writeModernBackup(dir.path(), shape, &plan), "");
        if (beside) {
            // As a working copy lays it out: NAME-wal beside the database.
            const fs::path db = databasePathInBackup(dir.str(), kMessageDBName);
            const fs::path wal = databasePathInBackup(dir.str(), kMessageWalName);
            ASSERT_FALSE(wal.empty());
            fs::rename(wal, db.string() + "-wal");
        }
        const auto run = test::runKestrel("scan --json " + test::shellQuote(dir.str()));
        ASSERT_EQ(run.status, 0) << run.err;
        const nlohmann::json doc = nlohmann::json::parse(run.out);

        std::multiset<std::string> deletedBySql, live;
        for (const gen::PlannedMessage& m : plan) {
            if (!m.recoverableBySql) deletedBySql.insert(m.content);
            else if (m.source == "existing") live.insert(m.content);
        }
        ASSERT_FALSE(deletedBySql.empty());
        // Without a working copy the log lies under its hashed name, where
        // SQLite does not see it: rows the log deletes are still read by SQL
        // from the main file. Every deleted row must be listed, and every
        // carved record must be a deleted row or an earlier version.
        size_t carved = 0, recovered = 0, bySql = 0;
        std::multiset<std::string> remaining = deletedBySql;
        for (const nlohmann::json& m : doc["messages"]) {
            const std::string content = m["messageContent"];
            if (!m["bDeleted"].get<bool>()) {
                if (auto it = remaining.find(content); it != remaining.end()) {
                    remaining.erase(it);
                    ++bySql;
                }
                continue;
            }
            const std::string source = m["source"];
            if (source != "carved" && source != "earlier version") continue;
            if (m["provenance"].is_null()) continue;  // the older walks' records
            ++carved;
            EXPECT_TRUE(m["provenance"].contains("area"));
            EXPECT_TRUE(m["provenance"].contains("offset"));
            auto it = remaining.find(content);
            if (it != remaining.end()) {
                remaining.erase(it);
                ++recovered;
            } else {
                EXPECT_EQ(live.count(content), 0u) << "live message listed as deleted: " << content;
            }
        }
        for (const std::string& missing : remaining) std::printf("not listed: %s\n", missing.c_str());
        std::printf("[ iOS %d ] deleted by SQL %zu: carved %zu, still read by SQL from the main file %zu; carved "
                    "records listed %zu\n",
                    ios, deletedBySql.size(), recovered, bySql, carved);
        EXPECT_GT(recovered, 0u);
        // With the log in sight, SQL reads none of them: the carver lists them all.
        if (beside) {
            EXPECT_EQ(recovered, deletedBySql.size());
        }
        EXPECT_TRUE(remaining.empty());
    }
}

// The scan over a generated iOS 6 backup with rows deleted by SQL: what the
// older walks list stays, and no live message is listed as deleted.
TEST(BackupCarverScan, IOS6BackupKeepsTheWalksFindsAndListsNoLiveMessage) {
    TempDir dir;
    gen::BackupSpec plan = gen::syntheticSpec(400, 40, 30, 0.2, 11);
    plan.device.productVersion = "6.1.3";
    plan.handles[0].deleted = true;  // its chat gone, its messages live
    ASSERT_EQ(gen::writeBackup(dir.path(), plan), "");
    const auto run = test::runKestrel("scan --json " + test::shellQuote(dir.str()));
    ASSERT_EQ(run.status, 0) << run.err;
    const nlohmann::json doc = nlohmann::json::parse(run.out);
    std::multiset<std::string> deleted, live;
    for (const gen::Message& m : plan.messages) (m.deleted ? deleted : live).insert(m.text.value_or(""));
    size_t walked = 0, carved = 0;
    for (const nlohmann::json& m : doc["messages"]) {
        if (!m["bDeleted"].get<bool>()) continue;
        const std::string content = m["messageContent"];
        (m["provenance"].is_null() ? walked : carved) += 1;
        if (deleted.count(content) == 0) {
            EXPECT_EQ(live.count(content), 0u) << "live message listed as deleted: " << content;
        }
    }
    std::printf("[ iOS 6 ] deleted by SQL %zu, listed by the walks %zu, added by the carver %zu\n", deleted.size(),
                walked, carved);
    EXPECT_GT(walked + carved, 0u);
}

// The scan in place of an iOS 5 backup whose log lies beside the database:
// the scan commits the log into the database before its older walks run,
// which leaves the older commits nowhere; the carver has read them first.
TEST(BackupCarverScan, IOS5LogIsCarvedBeforeTheScanCommitsIt) {
    TempDir dir;
    gen::BackupSpec plan;
    plan.device.productVersion = "5.1.1";
    plan.layout = gen::MessageLayout::IOS5;
    ASSERT_EQ(gen::writeBackup(dir.path(), plan), "");
    const fs::path db = databasePathInBackup(dir.str(), kMessageDBName);
    ASSERT_FALSE(db.empty());
    fs::remove(db);
    writeIOS5LogDatabase(db);
    ASSERT_TRUE(fs::exists(db.string() + "-wal"));
    const auto run = test::runKestrel("scan --json --in-place " + test::shellQuote(dir.str()));
    ASSERT_EQ(run.status, 0) << run.err;
    const nlohmann::json doc = nlohmann::json::parse(run.out);
    std::set<std::string> fromTheLog;
    for (const nlohmann::json& m : doc["messages"]) {
        if (!m["bDeleted"].get<bool>() || m["provenance"].is_null()) continue;
        if (m["provenance"]["area"] == "WAL frame") fromTheLog.insert(m["messageContent"].get<std::string>());
    }
    EXPECT_EQ(fromTheLog, (std::set<std::string>{"only in an older commit", "an iMessage only in an older commit"}));
    EXPECT_FALSE(fs::exists(db.string() + "-wal"));  // the scan did commit it, afterwards
}

}  // namespace kestrel
