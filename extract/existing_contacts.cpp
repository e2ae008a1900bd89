// Existing contacts: the persons of the address book read with SQL, each with
// its phone numbers, e-mail addresses, addresses and web pages.
#include "extract/existing_contacts.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "app/log.h"
#include "app/working_folder.h"
#include "extract/sqlite_columns.h"

namespace kestrel {
namespace {

constexpr const char* kPersonQuery =
    "select DISTINCT Rowid, first, Department,DisplayName,firstPhonetic,jobTitle,organization,middle,"
    "middlePhonetic,CreationDate,Last,Note,Nickname,prefix, suffix, Birthday from abperson ";
// The values of every person in one pass, grouped by person and, within a
// person, in row order: the order a statement on one person's record_id
// gives them. (A statement per person costs a search of the whole table
// each when record_id has no index.)
constexpr const char* kValueQuery =
    "select record_id,property,label,value, UID from abmultivalue order by record_id,ROWID";

// Appends a value as "%@ %@": the current text, one space, the value.
void appendValue(std::string& current, std::string_view value) {
    current += ' ';
    current += value;
}

ContactPtr contactFromPersonRow(sqlite3_stmt* row) {
    auto contact = std::make_shared<TovContactNode>();
    int rowid = sqlite3_column_int(row, 0);
    if (rowid != 0) contact->setRowid(rowid);
    std::string name;
    std::string company;
    if (auto first = columnText(row, 1)) name = std::move(*first);
    if (auto department = columnText(row, 2)) company = std::move(*department);
    if (auto jobTitle = columnText(row, 5)) appendValue(company, *jobTitle);
    if (auto organization = columnText(row, 6)) appendValue(company, *organization);
    if (auto middle = columnText(row, 7)) appendValue(name, *middle);
    if (auto last = columnText(row, 10)) appendValue(name, *last);
    if (!name.empty()) contact->setContactName(std::move(name));
    if (!company.empty()) contact->setContactCompany(std::move(company));
    if (auto note = columnText(row, 11)) contact->setContactNote(std::move(*note));
    if (auto birthday = columnText(row, 15)) contact->setContactBirthday(std::move(*birthday));
    return contact;
}

// Logs a failed statement of the address book and tells the sink; the
// message names the SQLite error only.
void readFailed(sqlite3* db, RecordSink& sink, const char* what, int code) {
    const std::string text = std::string("existing contacts: ") + what + ": " + sqlite3_errstr(code) +
                             (db != nullptr && sqlite3_errcode(db) == code ? std::string(" (") + sqlite3_errmsg(db) + ")"
                                                                          : std::string());
    NSLog("%s", text.c_str());
    sink.postReadFailure(text);
}

// The values of all persons: for each value row the person it belongs to,
// its property, and its text in one shared buffer.
struct ValueTable {
    struct Row {
        int64_t record;
        int32_t property;
        size_t offset;
        size_t length;
    };
    std::vector<Row> rows;  // ordered by record, then row order
    std::string texts;

    std::string_view text(const Row& row) const { return std::string_view(texts).substr(row.offset, row.length); }
};

// The record_id of a value row as an equality test on an integer sees it:
// an integer, or a real with an integral value. Anything else (NULL, text)
// belongs to no person.
std::optional<int64_t> recordOf(sqlite3_stmt* statement) {
    switch (sqlite3_column_type(statement, 0)) {
        case SQLITE_INTEGER:
            return sqlite3_column_int64(statement, 0);
        case SQLITE_FLOAT: {
            const double value = sqlite3_column_double(statement, 0);
            if (value >= -9.2e18 && value <= 9.2e18 && std::floor(value) == value) return static_cast<int64_t>(value);
            return std::nullopt;
        }
        default:
            return std::nullopt;
    }
}

// Reads the wanted values (phones, e-mail addresses, addresses and web
// pages with a value) of every person. Returns false when the statement
// could not be prepared; the values read before a step that failed are kept.
bool readValues(sqlite3* db, ValueTable& table, RecordSink& sink) {
    sqlite3_stmt* statement = nullptr;
    const int prepared = sqlite3_prepare_v2(db, kValueQuery, -1, &statement, nullptr);
    if (prepared != SQLITE_OK) {
        readFailed(db, sink, "the value statement failed", prepared);
        sqlite3_finalize(statement);
        return false;
    }
    int step = SQLITE_ROW;
    size_t rows = 0;
    while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
        if ((++rows & 4095u) == 0 && stopRequested()) break;
        const std::optional<int64_t> record = recordOf(statement);
        if (!record) continue;
        std::optional<int32_t> property = columnNumber(statement, 1);
        if (!property || (*property != 3 && *property != 4 && *property != 5 && *property != 22)) continue;
        const char* raw = columnRawText(statement, 3);
        if (raw == nullptr) continue;  // NULL or empty value column
        const int size = sqlite3_column_bytes(statement, 3);
        const std::string_view bytes(raw, size > 0 ? static_cast<size_t>(size) : 0);
        const size_t offset = table.texts.size();
        if (bytes.find('\0') == std::string_view::npos && isValidUtf8(bytes)) {
            table.texts.append(bytes);
        } else {
            table.texts += repairedText(bytes);
            NSLog("A text held invalid UTF-8 or a zero byte: text repaired");
        }
        table.rows.push_back({*record, *property, offset, table.texts.size() - offset});
    }
    if (step != SQLITE_ROW && step != SQLITE_DONE) readFailed(db, sink, "reading the values stopped early", step);
    sqlite3_finalize(statement);
    // The statement orders them already; a collation or a file that does not
    // keep to it must not break the lookup below.
    if (!std::is_sorted(table.rows.begin(), table.rows.end(),
                        [](const ValueTable::Row& a, const ValueTable::Row& b) { return a.record < b.record; })) {
        std::stable_sort(table.rows.begin(), table.rows.end(),
                         [](const ValueTable::Row& a, const ValueTable::Row& b) { return a.record < b.record; });
    }
    return true;
}

// Joins the person's values to it, each appended in row order.
void mergeValues(const ValueTable& table, TovContactNode& contact) {
    const int64_t record = contact.rowid();
    auto first = std::lower_bound(table.rows.begin(), table.rows.end(), record,
                                  [](const ValueTable::Row& row, int64_t wanted) { return row.record < wanted; });
    if (first == table.rows.end() || first->record != record) return;
    std::string phone, email, address, homepage;
    std::vector<std::string> phones;
    std::vector<std::string> emails;
    for (auto row = first; row != table.rows.end() && row->record == record; ++row) {
        const std::string_view value = table.text(*row);
        switch (row->property) {
            case 3:
                appendValue(phone, value);
                phones.emplace_back(value);
                break;
            case 4:
                appendValue(email, value);
                emails.emplace_back(value);
                break;
            case 5:
                appendValue(address, value);
                break;
            default:  // 22
                appendValue(homepage, value);
                break;
        }
    }
    if (!phone.empty()) contact.setContactPhone(std::move(phone));
    if (!email.empty()) contact.setContactEmail(std::move(email));
    if (!address.empty()) contact.setContactAdress(std::move(address));
    if (!homepage.empty()) contact.setContactHomepage(std::move(homepage));
    if (!phones.empty()) contact.setContactPhoneValues(std::move(phones));
    if (!emails.empty()) contact.setContactEmailValues(std::move(emails));
}

}  // namespace

void readExistingContacts(const std::string& dbPath, RecordSink& sink) {
    sqlite3* db = nullptr;
    const int opened = sqlite3_open_v2(dbPath.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    if (opened != SQLITE_OK) {
        readFailed(nullptr, sink, "the database cannot be opened", opened);
    } else {
        // A database another program holds locked is waited for a while, not
        // taken for an empty one.
        sqlite3_busy_timeout(db, kBusyTimeoutMilliseconds);
        std::vector<ContactPtr> contacts;
        sqlite3_stmt* statement = nullptr;
        const int prepared = sqlite3_prepare_v2(db, kPersonQuery, -1, &statement, nullptr);
        if (prepared != SQLITE_OK) {
            readFailed(db, sink, "the person statement failed", prepared);
        } else {
            int step = SQLITE_ROW;
            while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
                contacts.push_back(contactFromPersonRow(statement));
                if ((contacts.size() & 255u) == 0 && stopRequested()) break;
            }
            if (step != SQLITE_ROW && step != SQLITE_DONE) readFailed(db, sink, "reading the persons stopped early", step);
        }
        sqlite3_finalize(statement);
        // The values are read only for persons to join them to. When their
        // statement fails, the persons are still listed, without values.
        ValueTable values;
        if (!contacts.empty()) readValues(db, values, sink);
        size_t merged = 0;
        for (ContactPtr& contact : contacts) {
            if ((++merged & 255u) == 0 && stopRequested()) break;
            mergeValues(values, *contact);
            sink.postContact(std::move(contact));
        }
    }
    sqlite3_close(db);
}

}  // namespace kestrel
