// The existing-contact step reads the values of all persons in one pass. These
// tests hold it to the earlier reader, which asked for each person's values
// with a statement of its own (kept below as the reference): the same
// records, field by field, in the same order.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "app/collecting_sink.h"
#include "app/backup_discovery.h"
#include "extract/existing_contacts.h"
#include "extract/sqlite_columns.h"
#include "test_support.h"
#include "tools/backup_generator.h"

using namespace kestrel;
namespace fs = std::filesystem;

namespace {

// Every field of each contact, one line per contact.
std::vector<std::string> describe(const std::vector<ContactPtr>& contacts) {
    std::vector<std::string> out;
    for (const ContactPtr& c : contacts) {
        std::ostringstream line;
        line << c->rowid() << '|' << c->contactName() << '|' << c->contactCompany() << '|' << c->contactNote() << '|'
             << c->contactBirthday() << '|' << c->contactPhone() << '|' << c->contactEmail() << '|'
             << c->contactAdress() << '|' << c->contactHomepage();
        for (const std::string& v : c->contactPhoneValues()) line << "|p:" << v;
        for (const std::string& v : c->contactEmailValues()) line << "|e:" << v;
        out.push_back(line.str());
    }
    return out;
}

// ---- the earlier reader: one value statement per person ----

void appendTo(std::string current, const std::string& value, void (TovContactNode::*setter)(std::string),
              TovContactNode& contact) {
    current += ' ';
    current += value;
    (contact.*setter)(std::move(current));
}

std::vector<std::string> readPerPerson(const std::string& dbPath) {
    std::vector<ContactPtr> contacts;
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(dbPath.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    sqlite3_stmt* person = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db,
                                 "select DISTINCT Rowid, first, Department,DisplayName,firstPhonetic,jobTitle,"
                                 "organization,middle,middlePhonetic,CreationDate,Last,Note,Nickname,prefix, suffix, "
                                 "Birthday from abperson ",
                                 -1, &person, nullptr),
              SQLITE_OK);
    while (sqlite3_step(person) == SQLITE_ROW) {
        auto c = std::make_shared<TovContactNode>();
        if (int rowid = sqlite3_column_int(person, 0); rowid != 0) c->setRowid(rowid);
        if (auto v = columnText(person, 1)) c->setContactName(*v);
        if (auto v = columnText(person, 2)) c->setContactCompany(*v);
        if (auto v = columnText(person, 5)) appendTo(c->contactCompany(), *v, &TovContactNode::setContactCompany, *c);
        if (auto v = columnText(person, 6)) appendTo(c->contactCompany(), *v, &TovContactNode::setContactCompany, *c);
        if (auto v = columnText(person, 7)) appendTo(c->contactName(), *v, &TovContactNode::setContactName, *c);
        if (auto v = columnText(person, 10)) appendTo(c->contactName(), *v, &TovContactNode::setContactName, *c);
        if (auto v = columnText(person, 11)) c->setContactNote(*v);
        if (auto v = columnText(person, 15)) c->setContactBirthday(*v);
        contacts.push_back(c);
    }
    sqlite3_finalize(person);
    for (ContactPtr& c : contacts) {
        sqlite3_stmt* values = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db, "select property,label,value, UID from abmultivalue where record_id = ? ", -1,
                                     &values, nullptr),
                  SQLITE_OK);
        sqlite3_bind_int(values, 1, c->rowid());
        std::vector<std::string> phones, emails;
        while (sqlite3_step(values) == SQLITE_ROW) {
            auto property = columnNumber(values, 0);
            auto value = columnText(values, 2);
            if (!property || !value) continue;
            if (*property == 3) {
                appendTo(c->contactPhone(), *value, &TovContactNode::setContactPhone, *c);
                phones.push_back(*value);
            } else if (*property == 4) {
                appendTo(c->contactEmail(), *value, &TovContactNode::setContactEmail, *c);
                emails.push_back(*value);
            } else if (*property == 5) {
                appendTo(c->contactAdress(), *value, &TovContactNode::setContactAdress, *c);
            } else if (*property == 22) {
                appendTo(c->contactHomepage(), *value, &TovContactNode::setContactHomepage, *c);
            }
        }
        sqlite3_finalize(values);
        if (!phones.empty()) c->setContactPhoneValues(phones);
        if (!emails.empty()) c->setContactEmailValues(emails);
    }
    sqlite3_close(db);
    return describe(contacts);
}

std::vector<std::string> readInOnePass(const std::string& dbPath) {
    CollectingSink sink;
    readExistingContacts(dbPath, sink);
    return describe(sink.contacts);
}

void exec(const std::string& dbPath, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(dbPath.c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
    EXPECT_EQ(rc, SQLITE_OK) << (error != nullptr ? error : "") << " in " << sql;
    sqlite3_free(error);
    sqlite3_close(db);
}

// Persons the generator does not make on its own: one without any value,
// one with only a middle name, one whose values were added long after the
// others (their row numbers come after everyone's), one organisation.
std::vector<gen::Person> awkwardPersons(std::vector<gen::Person> persons) {
    gen::Person bare;
    bare.first = "Nobody";
    persons.insert(persons.begin() + 3, bare);
    gen::Person middle;
    middle.middle = "Mid";
    middle.values.push_back({5, "_$!<Home>!$_", std::string("1 Main St")});
    middle.values.push_back({22, "_$!<HomePage>!$_", std::string("example.org")});
    middle.values.push_back({3, "_$!<Mobile>!$_", std::nullopt});
    persons.push_back(middle);
    gen::Person company;
    company.organization = "Example Ltd";
    company.department = "Sales";
    company.jobTitle = "Clerk";
    company.values.push_back({4, "_$!<Work>!$_", std::string("sales@example.com")});
    company.values.push_back({4, "_$!<Work>!$_", std::string("orders@example.com")});
    persons.push_back(company);
    return persons;
}

// Values the generator never writes: late values of the first persons,
// values of no person, a NULL record_id, a property stored as text,
// properties the step does not show, a value with a byte that is not UTF-8.
const char* kOddValues =
    "INSERT INTO ABMultiValue (record_id, property, label, value{G}) VALUES (1, 3, NULL, '+1 555 0100 late'{G1});"
    "INSERT INTO ABMultiValue (record_id, property, label, value{G}) VALUES (2, 4, NULL, 'late@example.com'{G2});"
    "INSERT INTO ABMultiValue (record_id, property, label, value{G}) VALUES (99999, 3, NULL, '555 0199'{G3});"
    "INSERT INTO ABMultiValue (record_id, property, label, value{G}) VALUES (NULL, 3, NULL, '555 0198'{G4});"
    "INSERT INTO ABMultiValue (record_id, property, label, value{G}) VALUES (1, '4', NULL, 'text@example.com'{G5});"
    "INSERT INTO ABMultiValue (record_id, property, label, value{G}) VALUES (1, 46, NULL, 'Other'{G6});"
    "INSERT INTO ABMultiValue (record_id, property, label, value{G}) VALUES (2, 3, NULL, x'35353520ff30'{G7});"
    "INSERT INTO ABMultiValue (record_id, property, label, value{G}) VALUES (3, 5, NULL, ''{G8});";

std::string oddValues(bool withGuid) {
    std::string sql = kOddValues;
    for (int i = 1; i <= 8; ++i) {
        const std::string key = "{G" + std::to_string(i) + "}";
        for (size_t at; (at = sql.find(key)) != std::string::npos;) {
            sql.replace(at, key.size(), withGuid ? ",'odd-guid-" + std::to_string(i) + "'" : "");
        }
    }
    for (size_t at; (at = sql.find("{G}")) != std::string::npos;) sql.replace(at, 3, withGuid ? ",guid" : "");
    return sql;
}

}  // namespace

TEST(ExistingContacts, OnePassGivesThePerPersonRecordsOfOlderAddressBooks) {
    for (gen::MessageLayout layout : {gen::MessageLayout::IOS6, gen::MessageLayout::IOS5}) {
        SCOPED_TRACE(layout == gen::MessageLayout::IOS6 ? "iOS 6" : "iOS 5");
        test::TempDir dir;
        gen::BackupSpec plan = gen::syntheticSpec(0, 700, 500, 0.0, 17, layout, 0.1);
        plan.persons = awkwardPersons(std::move(plan.persons));
        ASSERT_EQ(gen::writeBackup(dir.path(), plan), "");
        const std::string book = databasePathInBackup(dir.str(), kAddressBookDBName);
        exec(book, oddValues(false));

        const std::vector<std::string> expected = readPerPerson(book);
        ASSERT_GT(expected.size(), 600u);
        EXPECT_EQ(readInOnePass(book), expected);
        // The first persons' late values come last among theirs, as before.
        EXPECT_NE(expected[0].find("+1 555 0100 late"), std::string::npos);

        // The same without the index on record_id (the per-person statement
        // then searched the whole table for each person).
        exec(book, "DROP INDEX ABMultiValueRecordIDIndex");
        EXPECT_EQ(readInOnePass(book), expected);
        EXPECT_EQ(readPerPerson(book), expected);
    }
}

TEST(ExistingContacts, OnePassGivesThePerPersonRecordsOfAModernAddressBookWithItsLog) {
    test::TempDir dir;
    gen::ModernSpec shape = gen::modernSpec(17, 40, 9);
    shape.persons = awkwardPersons(gen::syntheticSpec(0, 300, 200, 0.0, 5, gen::MessageLayout::IOS6, 0.2).persons);
    shape.wal = true;
    ASSERT_EQ(gen::writeModernBackup(dir.path(), shape), "");
    // The address book and its log side by side, as the scan's working copy
    // has them.
    const fs::path work = dir.path() / "work";
    fs::create_directories(work);
    const fs::path book = work / "AddressBook.sqlitedb";
    fs::copy_file(databasePathInBackup(dir.str(), kAddressBookDBName), book);
    fs::copy_file(databasePathInBackup(dir.str(), gen::kAddressBookWalName), work / "AddressBook.sqlitedb-wal");

    const std::vector<std::string> expected = readPerPerson(book.string());
    // The log removes the deleted persons (a fifth of them).
    ASSERT_EQ(expected.size(), 300u - 60u + 3u);
    EXPECT_EQ(readInOnePass(book.string()), expected);

    exec(book.string(), oddValues(true));
    const std::vector<std::string> withOddValues = readPerPerson(book.string());
    EXPECT_NE(withOddValues, expected);
    EXPECT_EQ(readInOnePass(book.string()), withOddValues);
}

TEST(ExistingContacts, PersonsAreListedWithoutValuesWhenTheValueTableCannotBeRead) {
    test::TempDir dir;
    const std::string book = (dir.path() / "AddressBook.sqlitedb").string();
    exec(book,
         "CREATE TABLE ABPerson (ROWID INTEGER PRIMARY KEY, First TEXT, Last TEXT, Middle TEXT, FirstPhonetic TEXT, "
         "MiddlePhonetic TEXT, Organization TEXT, Department TEXT, Note TEXT, Birthday TEXT, JobTitle TEXT, "
         "Nickname TEXT, Prefix TEXT, Suffix TEXT, CreationDate INTEGER, DisplayName TEXT);"
         "INSERT INTO ABPerson (First, Last) VALUES ('Ana', 'Example'), ('Carl', 'Okafor');");
    struct FailureSink : CollectingSink {
        std::vector<std::string> failures;
        void postReadFailure(const std::string& what) override { failures.push_back(what); }
    } sink;
    readExistingContacts(book, sink);
    ASSERT_EQ(sink.contacts.size(), 2u);
    EXPECT_EQ(sink.contacts[1]->contactName(), "Carl Okafor");
    EXPECT_TRUE(sink.contacts[1]->contactPhone().empty());
    ASSERT_EQ(sink.failures.size(), 1u);
    EXPECT_NE(sink.failures[0].find("the value statement failed"), std::string::npos);
}
