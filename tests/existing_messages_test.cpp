// The existing-message step asks the sink for a correspondent's name once per
// handle rather than once per row; the names must stay those a lookup per
// row gives, also where a row's handle_id is no exact row number of a handle.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "app/collecting_sink.h"
#include "extract/existing_messages.h"
#include "test_support.h"

using namespace kestrel;

TEST(ExistingMessages, NamesAskedOncePerHandleAreTheNamesOfEachRow) {
    test::TempDir dir;
    const std::string path = (dir.path() / "sms.db").string();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    // handle_id 1.5 (a real) joins no handle but reads as 1 when taken as a
    // number; NULL and 7 join none either.
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE handle (ROWID INTEGER PRIMARY KEY, id TEXT);"
                           "CREATE TABLE message (ROWID INTEGER PRIMARY KEY, text TEXT, date INTEGER, handle_id, "
                           "is_from_me INTEGER);"
                           "INSERT INTO handle VALUES (1, '+15550100'), (2, 'ana@example.com');"
                           "INSERT INTO message (text, date, handle_id, is_from_me) VALUES "
                           "('a', 1, 1, 0), ('b', 2, 1.5, 0), ('c', 3, NULL, 1), ('d', 4, 1, 1), ('e', 5, 7, 0), "
                           "('f', 6, 2, 0), ('g', 7, 1.5, 0), ('h', 8, 2, 1);",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);

    struct CountingSink : CollectingSink {
        std::vector<std::string> asked;
        std::optional<std::string> getNameByPhoneNumber(const std::string& phone) override {
            asked.push_back(phone);
            if (phone == "+15550100") return "Carl";
            if (phone == "ana@example.com") return "Ana";
            if (phone.empty()) return "(none)";
            return std::nullopt;
        }
    } sink;
    readExistingMessages(path, true, sink);
    ASSERT_EQ(sink.messages.size(), 8u);
    std::vector<std::string> names, phones;
    for (const MessagePtr& m : sink.messages) {
        names.push_back(m->messageName());
        phones.push_back(m->messagePhone());
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Carl", "(none)", "(none)", "Carl", "(none)", "Ana", "(none)", "Ana"}));
    EXPECT_EQ(phones[0], "+15550100");
    EXPECT_EQ(phones[1], "");
    // Asked once per handle_id, and again for each row whose text differs
    // from the one its handle_id gave first.
    EXPECT_LT(sink.asked.size(), 8u);
}
