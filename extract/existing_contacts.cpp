// Existing contacts: the persons of the address book read with SQL, each with
// its phone numbers, e-mail addresses, addresses and web pages.
#include "extract/existing_contacts.h"

#include <sqlite3.h>

#include <vector>

#include "app/log.h"
#include "app/working_folder.h"
#include "extract/sqlite_columns.h"

namespace kestrel {
namespace {

constexpr const char* kPersonQuery =
    "select DISTINCT Rowid, first, Department,DisplayName,firstPhonetic,jobTitle,organization,middle,"
    "middlePhonetic,CreationDate,Last,Note,Nickname,prefix, suffix, Birthday from abperson ";
constexpr const char* kValueQuery = "select property,label,value, UID from abmultivalue where record_id = ? ";

// Appends a value as "%@ %@": the current text, one space, the value.
void appendTo(std::string current, const std::string& value, void (TovContactNode::*setter)(std::string),
              TovContactNode& contact) {
    current += ' ';
    current += value;
    (contact.*setter)(std::move(current));
}

ContactPtr contactFromPersonRow(sqlite3_stmt* row) {
    auto contact = std::make_shared<TovContactNode>();
    int rowid = sqlite3_column_int(row, 0);
    if (rowid != 0) contact->setRowid(rowid);
    if (auto first = columnText(row, 1)) contact->setContactName(*first);
    if (auto department = columnText(row, 2)) contact->setContactCompany(*department);
    if (auto jobTitle = columnText(row, 5)) {
        appendTo(contact->contactCompany(), *jobTitle, &TovContactNode::setContactCompany, *contact);
    }
    if (auto organization = columnText(row, 6)) {
        appendTo(contact->contactCompany(), *organization, &TovContactNode::setContactCompany, *contact);
    }
    if (auto middle = columnText(row, 7)) {
        appendTo(contact->contactName(), *middle, &TovContactNode::setContactName, *contact);
    }
    if (auto last = columnText(row, 10)) {
        appendTo(contact->contactName(), *last, &TovContactNode::setContactName, *contact);
    }
    if (auto note = columnText(row, 11)) contact->setContactNote(*note);
    if (auto birthday = columnText(row, 15)) contact->setContactBirthday(*birthday);
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

// Returns false when the statement could not be prepared or ended early.
bool mergeValues(sqlite3* db, TovContactNode& contact, RecordSink& sink) {
    sqlite3_stmt* statement = nullptr;
    const int prepared = sqlite3_prepare_v2(db, kValueQuery, -1, &statement, nullptr);
    if (prepared != SQLITE_OK) {
        readFailed(db, sink, "the value statement failed", prepared);
        sqlite3_finalize(statement);
        return false;
    }
    sqlite3_bind_int(statement, 1, contact.rowid());
    std::vector<std::string> phones;
    std::vector<std::string> emails;
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
        std::optional<int32_t> property = columnNumber(statement, 0);
        std::optional<std::string> value = columnText(statement, 2);
        if (!property || !value) continue;  // NULL or empty value column
        switch (*property) {
            case 3:
                appendTo(contact.contactPhone(), *value, &TovContactNode::setContactPhone, contact);
                phones.push_back(*value);
                break;
            case 4:
                appendTo(contact.contactEmail(), *value, &TovContactNode::setContactEmail, contact);
                emails.push_back(*value);
                break;
            case 5:
                appendTo(contact.contactAdress(), *value, &TovContactNode::setContactAdress, contact);
                break;
            case 22:
                appendTo(contact.contactHomepage(), *value, &TovContactNode::setContactHomepage, contact);
                break;
            default:
                break;
        }
    }
    if (step != SQLITE_DONE) readFailed(db, sink, "reading the values stopped early", step);
    sqlite3_finalize(statement);
    if (!phones.empty()) contact.setContactPhoneValues(std::move(phones));
    if (!emails.empty()) contact.setContactEmailValues(std::move(emails));
    return step == SQLITE_DONE;
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
        size_t merged = 0;
        bool valuesReadable = true;
        for (ContactPtr& contact : contacts) {
            if ((++merged & 255u) == 0 && stopRequested()) break;
            // After one failure the values of the rest are not tried again
            // (each would fail the same way); the persons are still listed.
            if (valuesReadable) valuesReadable = mergeValues(db, *contact, sink);
            sink.postContact(std::move(contact));
        }
    }
    sqlite3_close(db);
}

}  // namespace kestrel
