// The modern backups the generator writes have the shape of the devices'
// files: column sets by version, chats and joins, attachments, Recently
// Deleted, edits, unsending and deletes, and what its plan says they hold.
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sqlite3.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "extract/typedstream.h"
#include "tests/test_support.h"
#include "tools/backup_generator.h"

using namespace kestrel;
namespace fs = std::filesystem;

namespace {

class Database {
public:
    explicit Database(const fs::path& file) {
        std::string uri = "file:" + file.string() + "?immutable=1";
        if (sqlite3_open_v2(uri.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << "cannot open " << file;
        }
    }
    // Opens a working copy (with its log, when given) that SQLite may write beside.
    Database(const fs::path& file, const fs::path& wal, const fs::path& scratch) {
        fs::copy_file(file, scratch / "sms.db", fs::copy_options::overwrite_existing);
        if (!wal.empty()) fs::copy_file(wal, scratch / "sms.db-wal", fs::copy_options::overwrite_existing);
        if (sqlite3_open_v2((scratch / "sms.db").c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << "cannot open the copy of " << file;
        }
    }
    ~Database() { sqlite3_close(db_); }

    int64_t number(const std::string& sql) {
        int64_t out = -1;
        each(sql, [&](sqlite3_stmt* s) { out = sqlite3_column_int64(s, 0); });
        return out;
    }
    std::vector<std::string> columns(const std::string& table) {
        std::vector<std::string> out;
        each("PRAGMA table_info(" + table + ")",
             [&](sqlite3_stmt* s) { out.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(s, 1))); });
        return out;
    }
    template <typename F>
    void each(const std::string& sql, F f) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db_);
            return;
        }
        while (sqlite3_step(s) == SQLITE_ROW) f(s);
        sqlite3_finalize(s);
    }

private:
    sqlite3* db_ = nullptr;
};

std::string textColumn(sqlite3_stmt* s, int i) {
    const auto* t = reinterpret_cast<const char*>(sqlite3_column_text(s, i));
    return t ? t : "";
}

struct Generated {
    test::TempDir dir;
    fs::path folder;
    std::vector<gen::PlannedMessage> plan;
    gen::ModernSpec shape;
};

void generate(Generated& g, int ios, bool wal, int messages = 200) {
    g.shape = gen::modernSpec(ios, messages, 7);
    g.shape.wal = wal;
    g.folder = g.dir.path() / "backup";
    ASSERT_EQ(gen::writeModernBackup(g.folder, g.shape, &g.plan), "");
}

fs::path smsFile(const Generated& g) { return g.folder / "3d" / "3d0d7e5fb2ce288813306e4d4636395e047a3d28"; }
fs::path walFile(const Generated& g) { return g.folder / "cd" / gen::kMessageWalName; }

}  // namespace

TEST(ModernGenerator, ColumnSetsFollowTheVersion) {
    const std::map<int, size_t> expected = {{11, 68}, {13, 68}, {14, 74}, {15, 77}, {16, 83}, {17, 84}, {18, 95}};
    for (const auto& [ios, count] : expected) EXPECT_EQ(gen::modernMessageColumns(ios).size(), count) << ios;
    const auto c17 = gen::modernMessageColumns(17);
    EXPECT_EQ(c17[8], "attributedBody");
    EXPECT_EQ(c17[37], "was_deduplicated");  // the last of the iOS 6 set
    EXPECT_EQ(c17.back(), "is_kt_verified");

    for (int ios : {11, 14, 16, 17, 18}) {
        Generated g;
        generate(g, ios, false, 60);
        Database db(smsFile(g));
        EXPECT_EQ(db.columns("message"), gen::modernMessageColumns(ios)) << ios;
        EXPECT_EQ(db.columns("chat").size(), 26u);
        EXPECT_EQ(db.columns("attachment").size(), 23u);
        const bool recoverable = db.number("SELECT count(*) FROM sqlite_master WHERE name = "
                                           "'chat_recoverable_message_join'") == 1;
        EXPECT_EQ(recoverable, ios >= 16) << ios;
        EXPECT_EQ(db.number("SELECT count(*) FROM sqlite_master WHERE name = 'recoverable_message_part'"),
                  ios >= 16 ? 1 : 0);
        // The device's header: 4096-byte pages, no auto-vacuum.
        EXPECT_EQ(db.number("PRAGMA page_size"), 4096);
        EXPECT_EQ(db.number("PRAGMA auto_vacuum"), 0);
        // Recently Deleted, edits and unsending only from iOS 16.
        std::set<std::string> sources;
        for (const auto& p : g.plan) sources.insert(p.source);
        EXPECT_EQ(sources.count("recently deleted") == 1, ios >= 16) << ios;
        EXPECT_EQ(sources.count("earlier version") == 1, ios >= 16) << ios;
        EXPECT_EQ(sources.count("unsent") == 1, ios >= 16) << ios;
        EXPECT_EQ(sources.count("orphaned"), 1u);
    }
}

TEST(ModernGenerator, RowsHoldWhatThePlanSays) {
    Generated g;
    generate(g, 17, false);
    Database db(smsFile(g));
    std::map<int64_t, const gen::PlannedMessage*> byRow;
    int blobOnly = 0, deletedBySql = 0, earlier = 0;
    for (const auto& p : g.plan) {
        if (p.source == "earlier version") {
            ++earlier;
        } else if (!p.recoverableBySql) {
            ++deletedBySql;
        } else {
            byRow[p.rowid] = &p;
        }
    }
    ASSERT_GT(deletedBySql, 0);
    ASSERT_GT(earlier, 0);
    // Deleted by SQL: the triggers removed the row and kept its GUID.
    EXPECT_EQ(db.number("SELECT count(*) FROM message"), static_cast<int64_t>(byRow.size()));
    EXPECT_EQ(db.number("SELECT count(*) FROM deleted_messages"), deletedBySql);

    std::map<std::string, std::string> attachmentNames;
    db.each("SELECT guid, transfer_name FROM attachment",
            [&](sqlite3_stmt* s) { attachmentNames[textColumn(s, 0)] = textColumn(s, 1); });
    ASSERT_FALSE(attachmentNames.empty());

    int checked = 0;
    db.each("SELECT m.ROWID, m.text, m.attributedBody, m.date, m.is_from_me, m.service, m.date_edited, "
            "m.date_retracted, m.message_summary_info, "
            "(SELECT count(*) FROM chat_message_join j WHERE j.message_id = m.ROWID), "
            "(SELECT delete_date FROM chat_recoverable_message_join r WHERE r.message_id = m.ROWID), "
            "(SELECT count(*) FROM message_attachment_join a WHERE a.message_id = m.ROWID), m.date_read "
            "FROM message m",
            [&](sqlite3_stmt* s) {
                const gen::PlannedMessage& p = *byRow.at(sqlite3_column_int64(s, 0));
                const bool hasText = sqlite3_column_type(s, 1) != SQLITE_NULL;
                if (hasText) {
                    ++checked;
                } else {
                    ++blobOnly;
                }
                EXPECT_EQ(sqlite3_column_int64(s, 3), p.date);
                EXPECT_EQ(sqlite3_column_int(s, 4) == 1, p.fromMe);
                EXPECT_EQ(textColumn(s, 5), p.service);
                const bool joined = sqlite3_column_int(s, 9) > 0;
                EXPECT_EQ(joined, p.source == "existing" || p.source == "unsent") << p.source;
                if (p.source == "recently deleted") {
                    EXPECT_EQ(sqlite3_column_int64(s, 10), p.deleteDate);
                } else {
                    EXPECT_EQ(sqlite3_column_type(s, 10), SQLITE_NULL);
                }
                EXPECT_EQ(static_cast<size_t>(sqlite3_column_int(s, 11)), p.attachments.size());
                // date_read is kept in seconds, as the real files do.
                if (!p.fromMe) {
                    EXPECT_LT(sqlite3_column_int64(s, 12), 100000000000LL);
                }
                if (p.source == "unsent") {
                    EXPECT_FALSE(hasText);
                    EXPECT_EQ(sqlite3_column_type(s, 2), SQLITE_NULL);
                    EXPECT_NE(sqlite3_column_int64(s, 7), 0);
                    return;
                }
                // The body decodes (with the program's reader) to the planned content.
                std::string reason;
                auto body = decodeAttributedBody(static_cast<const uint8_t*>(sqlite3_column_blob(s, 2)),
                                                 static_cast<size_t>(sqlite3_column_bytes(s, 2)), &reason);
                ASSERT_TRUE(body) << reason;
                EXPECT_EQ(describeAttachments(*body, [&](const std::string& guid, size_t) {
                              auto it = attachmentNames.find(guid);
                              return it == attachmentNames.end() ? std::string() : it->second;
                          }),
                          p.content);
                if (hasText) {
                    EXPECT_EQ(textColumn(s, 1), body->text);
                }
                if (sqlite3_column_int64(s, 6) != 0) {
                    // Edited: the history's first entry is the earlier text.
                    EXPECT_FALSE(hasText);
                    plist_t info = nullptr;
                    plist_from_bin(static_cast<const char*>(sqlite3_column_blob(s, 8)),
                                   static_cast<uint32_t>(sqlite3_column_bytes(s, 8)), &info);
                    ASSERT_NE(info, nullptr);
                    plist_t history = plist_dict_get_item(plist_dict_get_item(info, "ec"), "0");
                    ASSERT_NE(history, nullptr);
                    EXPECT_EQ(plist_array_get_size(history), 2u);
                    char* data = nullptr;
                    uint64_t length = 0;
                    plist_get_data_val(plist_dict_get_item(plist_array_get_item(history, 0), "t"), &data, &length);
                    auto first = decodeAttributedBody(reinterpret_cast<const uint8_t*>(data), length);
                    ASSERT_TRUE(first);
                    EXPECT_EQ(first->text.rfind("first try #", 0), 0u);
                    free(data);
                    plist_free(info);
                }
            });
    EXPECT_GT(checked, 20);
    EXPECT_GT(blobOnly, 20);
    // A group chat with its name and members.
    EXPECT_EQ(db.number("SELECT count(*) FROM chat WHERE style = 43 AND display_name = 'Weekend plans'"), 1);
    EXPECT_EQ(db.number("SELECT count(*) FROM chat_handle_join j JOIN chat c ON c.ROWID = j.chat_id "
                        "WHERE c.display_name = 'Weekend plans'"),
              3);
    // Dates from 2019 to past 2024 (nanoseconds since 2001).
    EXPECT_LT(db.number("SELECT min(date) FROM message"), 599616000LL * 1000000000LL);
    EXPECT_GT(db.number("SELECT max(date) FROM message"), 757382400LL * 1000000000LL);
}

TEST(ModernGenerator, WalModeLeavesTheChangesInTheLogOnly) {
    Generated g;
    generate(g, 18, true);
    ASSERT_TRUE(fs::exists(walFile(g)));
    size_t live = 0;
    size_t all = 0;
    for (const auto& p : g.plan) {
        if (p.source == "earlier version") continue;
        ++all;
        if (p.recoverableBySql) ++live;
    }
    {
        Database stale(smsFile(g));  // the main file alone: nothing deleted yet
        EXPECT_EQ(stale.number("SELECT count(*) FROM message"), static_cast<int64_t>(all));
        EXPECT_EQ(stale.number("SELECT count(*) FROM chat_recoverable_message_join"), 0);
    }
    test::TempDir scratch;
    Database current(smsFile(g), walFile(g), scratch.path());
    std::string mode;
    current.each("PRAGMA journal_mode", [&](sqlite3_stmt* s) { mode = textColumn(s, 0); });
    EXPECT_EQ(mode, "wal");
    EXPECT_EQ(current.number("SELECT count(*) FROM message"), static_cast<int64_t>(live));
    EXPECT_GT(current.number("SELECT count(*) FROM chat_recoverable_message_join"), 0);
    // Some Recently Deleted messages keep their part, whose archive holds the text.
    int parts = 0;
    current.each("SELECT p.part_text, m.attributedBody FROM recoverable_message_part p "
                 "JOIN message m ON m.ROWID = p.message_id",
                 [&](sqlite3_stmt* s) {
                     ++parts;
                     auto part = decodeAttributedBody(static_cast<const uint8_t*>(sqlite3_column_blob(s, 0)),
                                                      static_cast<size_t>(sqlite3_column_bytes(s, 0)));
                     auto body = decodeAttributedBody(static_cast<const uint8_t*>(sqlite3_column_blob(s, 1)),
                                                      static_cast<size_t>(sqlite3_column_bytes(s, 1)));
                     ASSERT_TRUE(part && body);
                     EXPECT_EQ(part->text, body->text);
                 });
    EXPECT_GT(parts, 0);

    // The address book's log holds the deleted person's removal.
    const fs::path book = g.folder / "31" / "31bb7ba8914766d4ba40d6dfb6113c8b614be442";
    const fs::path bookWal = g.folder / "a9" / gen::kAddressBookWalName;
    ASSERT_TRUE(fs::exists(bookWal));
    EXPECT_EQ(Database(book).number("SELECT count(*) FROM ABPerson"), 4);
    test::TempDir bookScratch;
    EXPECT_EQ(Database(book, bookWal, bookScratch.path()).number("SELECT count(*) FROM ABPerson"), 3);
}

TEST(ModernGenerator, CommandWritesAModernBackup) {
    test::TempDir dir;
    auto run = test::runCommand(std::string(KESTREL_GEN_PATH) + " --modern " + test::shellQuote(dir.str()) +
                                " --ios 16 --messages 30 --wal");
    ASSERT_EQ(run.status, 0) << run.err;
    fs::path folder = run.out.substr(0, run.out.find('\n'));
    EXPECT_TRUE(fs::exists(folder / "3d" / "3d0d7e5fb2ce288813306e4d4636395e047a3d28"));
    EXPECT_TRUE(fs::exists(folder / "cd" / gen::kMessageWalName));
    Database db(folder / "3d" / "3d0d7e5fb2ce288813306e4d4636395e047a3d28");
    EXPECT_EQ(db.columns("message"), gen::modernMessageColumns(16));
    EXPECT_EQ(test::runCommand(std::string(KESTREL_GEN_PATH) + " --modern x --ios 10").status, 2);
    EXPECT_EQ(test::runCommand(std::string(KESTREL_GEN_PATH) + " --demo x --wal").status, 2);
    auto help = test::runCommand(std::string(KESTREL_GEN_PATH) + " --help");
    EXPECT_NE(help.out.find("--modern DIR"), std::string::npos);
}

TEST(ModernGenerator, ModernAddressBookHasTheDevicesColumns) {
    Generated g;
    generate(g, 17, false, 10);
    Database book(g.folder / "31" / "31bb7ba8914766d4ba40d6dfb6113c8b614be442");
    const auto person = book.columns("ABPerson");
    EXPECT_EQ(person.size(), 51u);
    EXPECT_EQ(book.columns("ABMultiValue").size(), 7u);
    const fs::path real = fs::path(KESTREL_CORPUS_DIR) / "ios15-addressbook.sqlitedb";
    if (fs::exists(real)) {
        Database device(real);
        EXPECT_EQ(person, device.columns("ABPerson"));
        EXPECT_EQ(book.columns("ABMultiValue"), device.columns("ABMultiValue"));
    }
    // Four persons written, one deleted by SQL with its values.
    EXPECT_EQ(book.number("SELECT count(*) FROM ABPerson"), 3);
    EXPECT_EQ(book.number("SELECT count(*) FROM ABPerson WHERE Kind = 1 AND Organization = 'Acme Corp'"), 1);
    EXPECT_EQ(book.number("SELECT count(*) FROM ABMultiValue"), 4);
    EXPECT_EQ(book.number("SELECT count(*) FROM ABMultiValue v JOIN ABMultiValueLabel l ON l.ROWID = v.label "
                          "WHERE l.value = '_$!<Mobile>!$_'"),
              2);
}

TEST(ModernGenerator, RejectsWhatTheVersionCannotHold) {
    test::TempDir dir;
    gen::ModernSpec shape = gen::modernSpec(17, 30, 1);
    shape.iosMajor = 14;  // Recently Deleted and edits need iOS 16
    EXPECT_NE(gen::writeModernBackup(dir.path() / "a", shape), "");
    shape = gen::modernSpec(17, 5, 1);
    shape.messages[0].chat = 99;
    EXPECT_NE(gen::writeModernBackup(dir.path() / "b", shape), "");
    shape.iosMajor = 10;
    EXPECT_NE(gen::writeModernBackup(dir.path() / "c", shape), "");
}
