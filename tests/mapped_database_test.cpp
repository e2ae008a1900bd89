// SQL over a database held in memory: the rows are those a connection to the
// file reads, for a database in either journal mode and for one cut short,
// nothing can be written, and the existing-message step lists the same
// messages from the bytes as from the file.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "app/backup_discovery.h"
#include "app/collecting_sink.h"
#include "app/mapped_database.h"
#include "extract/existing_messages.h"
#include "results/record_json.h"
#include "test_support.h"
#include "tools/backup_generator.h"

using namespace kestrel;

namespace {

// A database of a few hundred pages: short rows, and every tenth row long
// enough to spill into overflow pages.
std::string writeDatabase(const std::string& path, bool writeAheadLog) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    const std::string mode = writeAheadLog ? "PRAGMA journal_mode=WAL;" : "";
    EXPECT_EQ(sqlite3_exec(db,
                           (mode + "CREATE TABLE m (x INTEGER, t TEXT);"
                                   "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000) "
                                   "INSERT INTO m SELECT (i * 7919) % 3001, "
                                   "CASE WHEN i % 10 = 0 THEN printf('%.*c', 9000 + i, 'x') ELSE 'row ' || i END "
                                   "FROM n;")
                               .c_str(),
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);  // the log, if any, is checkpointed and removed here
    return test::readFile(path);
}

// The answer to `sql` (its first row's columns joined by '|'), or the
// error code of its preparing or stepping as "error N".
std::string answer(sqlite3* db, const char* sql) {
    sqlite3_stmt* statement = nullptr;
    int rc = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
    if (rc != SQLITE_OK) return "error " + std::to_string(rc);
    std::string out;
    rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW) {
        for (int i = 0; i < sqlite3_column_count(statement); ++i) {
            const unsigned char* text = sqlite3_column_text(statement, i);
            out += (i > 0 ? "|" : "") + std::string(text != nullptr ? reinterpret_cast<const char*>(text) : "NULL");
        }
    } else if (rc != SQLITE_DONE) {
        out = "error " + std::to_string(rc);
    }
    sqlite3_finalize(statement);
    return out;
}

constexpr const char* kSummary = "SELECT count(*), sum(length(t)), sum(x), max(t) FROM m";
// Sorted on a column with no index: SQLite's sorter, which may spill into
// a temporary file.
constexpr const char* kSorted = "SELECT group_concat(x) FROM (SELECT x FROM m ORDER BY t DESC, x LIMIT 50)";

std::string fileAnswer(const std::string& path, const char* sql) {
    sqlite3* db = nullptr;
    const std::string uri = "file:" + path + "?immutable=1";
    const int opened = sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    const std::string out = opened == SQLITE_OK ? answer(db, sql) : "error " + std::to_string(opened);
    sqlite3_close(db);
    return out;
}

std::string mappedAnswer(const std::string& bytes, const char* sql) {
    sqlite3* db = nullptr;
    const int opened = openMappedDatabase(reinterpret_cast<const uint8_t*>(bytes.data()),
                                          static_cast<int64_t>(bytes.size()), &db);
    const std::string out = opened == SQLITE_OK ? answer(db, sql) : "error " + std::to_string(opened);
    sqlite3_close(db);
    return out;
}

}  // namespace

TEST(MappedDatabase, ReadsTheRowsOfEitherJournalModeAndWritesNothing) {
    test::TempDir dir;
    for (bool writeAheadLog : {false, true}) {
        SCOPED_TRACE(writeAheadLog ? "write-ahead log mode" : "rollback journal mode");
        const std::string path = (dir.path() / (writeAheadLog ? "wal.db" : "rollback.db")).string();
        const std::string bytes = writeDatabase(path, writeAheadLog);
        ASSERT_EQ(static_cast<uint8_t>(bytes[18]), writeAheadLog ? 2 : 1);
        ASSERT_GT(bytes.size(), 200u * 4096u);
        EXPECT_EQ(mappedAnswer(bytes, kSummary), fileAnswer(path, kSummary));
        EXPECT_EQ(mappedAnswer(bytes, kSorted), fileAnswer(path, kSorted));
        EXPECT_EQ(mappedAnswer(bytes, "SELECT count(*) FROM m").substr(0, 4), "3000");

        sqlite3* db = nullptr;
        ASSERT_EQ(openMappedDatabase(reinterpret_cast<const uint8_t*>(bytes.data()),
                                     static_cast<int64_t>(bytes.size()), &db),
                  SQLITE_OK);
        // A temporary table too large for its cache spills into the
        // default layer's temporary file: allowed.
        EXPECT_EQ(sqlite3_exec(db, "PRAGMA temp.cache_size=2; CREATE TEMP TABLE k AS SELECT x, t FROM m WHERE x < 2000",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        EXPECT_EQ(answer(db, "SELECT count(*), sum(length(t)) FROM k"),
                  fileAnswer(path, "SELECT count(*), sum(length(t)) FROM m WHERE x < 2000"));
        // The database itself cannot be changed.
        EXPECT_EQ(sqlite3_exec(db, "INSERT INTO m VALUES (1, 'new')", nullptr, nullptr, nullptr), SQLITE_READONLY);
        EXPECT_EQ(sqlite3_exec(db, "CREATE TABLE n (a)", nullptr, nullptr, nullptr), SQLITE_READONLY);
        EXPECT_EQ(sqlite3_exec(db, "PRAGMA user_version=5", nullptr, nullptr, nullptr), SQLITE_READONLY);
        sqlite3_close(db);
        EXPECT_EQ(test::readFile(path), bytes);
    }
    // Nothing was made beside the databases.
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) ++entries;
    EXPECT_EQ(entries, 2u);
}

TEST(MappedDatabase, BytesCutShortReadAsTheFileCutThereReads) {
    test::TempDir dir;
    const std::string path = (dir.path() / "whole.db").string();
    const std::string bytes = writeDatabase(path, false);
    const std::string cutPath = (dir.path() / "cut.db").string();
    // One byte (which SQLite takes for an empty file), in the header,
    // inside page 1, at a page boundary, inside an interior
    // run of pages, and one byte short of the end.
    for (size_t length :
         {size_t{1}, size_t{50}, size_t{3000}, size_t{4096} * 7, bytes.size() / 2 + 123, bytes.size() - 1}) {
        SCOPED_TRACE("cut at " + std::to_string(length));
        const std::string cut = bytes.substr(0, length);
        {
            std::ofstream out(cutPath, std::ios::binary | std::ios::trunc);
            out.write(cut.data(), static_cast<std::streamsize>(cut.size()));
        }
        EXPECT_EQ(mappedAnswer(cut, kSummary), fileAnswer(cutPath, kSummary));
    }
    std::ofstream(cutPath, std::ios::binary | std::ios::trunc).flush();
    EXPECT_EQ(mappedAnswer(std::string(), kSummary), fileAnswer(cutPath, kSummary));
}

TEST(MappedDatabase, TheExistingMessageStepListsTheSameFromTheBytesAsFromTheFile) {
    test::TempDir dir;
    ASSERT_EQ(gen::writeBackup(dir.path() / "ios6", gen::syntheticSpec(600, 40, 40, 0.2, 5)), "");
    ASSERT_EQ(gen::writeModernBackup(dir.path() / "modern", gen::modernSpec(17, 400, 6)), "");
    for (const char* layout : {"ios6", "modern"}) {
        SCOPED_TRACE(layout);
        const std::string database = databasePathInBackup((dir.path() / layout).string(), kMessageDBName);
        ASSERT_FALSE(database.empty());
        const std::string bytes = test::readFile(database);
        CollectingSink fromFile, fromBytes;
        fromFile.names = fromBytes.names = {{"+15550100", "Carl"}};
        readExistingMessages(database, true, fromFile);
        readExistingMessages(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int64_t>(bytes.size()), true,
                             fromBytes);
        ASSERT_GT(fromFile.messages.size(), 300u);
        ASSERT_EQ(fromBytes.messages.size(), fromFile.messages.size());
        for (size_t i = 0; i < fromFile.messages.size(); ++i) {
            std::string a, b;
            appendMessageJson(a, *fromFile.messages[i]);
            appendMessageJson(b, *fromBytes.messages[i]);
            ASSERT_EQ(b, a) << "message " << i;
        }
        EXPECT_EQ(fromBytes.delMessages.size(), fromFile.delMessages.size());
    }
}
