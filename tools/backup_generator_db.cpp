// The two databases of a backup: the message database in its iOS 6 and older
// layouts, and the address book. Rows are inserted in one transaction, then the
// rows marked deleted are removed by SQL in a second one, the way the phone
// deletes them, so that their bytes stay behind in the pages.
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tools/backup_generator_internal.h"

namespace kestrel::gen::detail {
namespace {

namespace fs = std::filesystem;

const char* const kPropertiesTable = "CREATE TABLE _SqliteDatabaseProperties (key TEXT, value TEXT, UNIQUE(key))";

const char* const kIos6Schema[] = {
    "CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, text TEXT, "
    "replace INTEGER DEFAULT 0, service_center TEXT, handle_id INTEGER DEFAULT 0, subject TEXT, country TEXT, "
    "attributedBody BLOB, version INTEGER DEFAULT 0, type INTEGER DEFAULT 0, service TEXT, account TEXT, "
    "account_guid TEXT, error INTEGER DEFAULT 0, date INTEGER, date_read INTEGER, date_delivered INTEGER, "
    "is_delivered INTEGER DEFAULT 0, is_finished INTEGER DEFAULT 0, is_emote INTEGER DEFAULT 0, "
    "is_from_me INTEGER DEFAULT 0, is_empty INTEGER DEFAULT 0, is_delayed INTEGER DEFAULT 0, "
    "is_auto_reply INTEGER DEFAULT 0, is_prepared INTEGER DEFAULT 0, is_read INTEGER DEFAULT 0, "
    "is_system_message INTEGER DEFAULT 0, is_sent INTEGER DEFAULT 0, has_dd_results INTEGER DEFAULT 0, "
    "is_service_message INTEGER DEFAULT 0, is_forward INTEGER DEFAULT 0, was_downgraded INTEGER DEFAULT 0, "
    "is_archive INTEGER DEFAULT 0, cache_has_attachments INTEGER DEFAULT 0, cache_roomnames TEXT, "
    "was_data_detected INTEGER DEFAULT 0, was_deduplicated INTEGER DEFAULT 0)",
    "CREATE TABLE handle (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, id TEXT NOT NULL, country TEXT, "
    "service TEXT NOT NULL, uncanonicalized_id TEXT, UNIQUE (id, service))",
    "CREATE TABLE chat (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, style INTEGER, "
    "state INTEGER, account_id TEXT, properties BLOB, chat_identifier TEXT, service_name TEXT, room_name TEXT, "
    "account_login TEXT, is_archived INTEGER DEFAULT 0, last_addressed_handle TEXT)",
    "CREATE TABLE attachment (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, "
    "created_date INTEGER DEFAULT 0, start_date INTEGER DEFAULT 0, filename TEXT, uti TEXT, mime_type TEXT, "
    "transfer_state INTEGER DEFAULT 0, is_outgoing INTEGER DEFAULT 0)",
    "CREATE TABLE chat_handle_join (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE CASCADE, "
    "handle_id INTEGER REFERENCES handle (ROWID) ON DELETE CASCADE, UNIQUE(chat_id, handle_id))",
    "CREATE TABLE message_attachment_join (message_id INTEGER REFERENCES message (ROWID) ON DELETE CASCADE, "
    "attachment_id INTEGER REFERENCES attachment (ROWID) ON DELETE CASCADE, UNIQUE(message_id, attachment_id))",
    "CREATE TABLE chat_message_join (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE CASCADE, "
    "message_id INTEGER REFERENCES message (ROWID) ON DELETE CASCADE, PRIMARY KEY (chat_id, message_id))",
};

const char* const kIos5MessageColumns =
    "ROWID INTEGER PRIMARY KEY AUTOINCREMENT, address TEXT, date INTEGER, text TEXT, flags INTEGER, "
    "replace INTEGER, svc_center TEXT, group_id INTEGER, association_id INTEGER, height INTEGER, UIFlags INTEGER, "
    "version INTEGER, subject TEXT, country TEXT, headers BLOB, recipients BLOB, read INTEGER";
const char* const kMadridColumns =
    ", madrid_attributedBody BLOB, madrid_handle TEXT, madrid_version INTEGER, madrid_guid TEXT, "
    "madrid_type INTEGER, madrid_roomname TEXT, madrid_service TEXT, madrid_account TEXT, madrid_flags INTEGER, "
    "madrid_attachmentInfo BLOB, madrid_url TEXT, madrid_error INTEGER, is_madrid INTEGER, "
    "madrid_date_read INTEGER, madrid_date_delivered INTEGER, madrid_account_guid TEXT";

const char* const kIos5Tables[] = {
    "CREATE TABLE msg_group (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, type INTEGER, newest_message INTEGER, "
    "unread_count INTEGER, hash INTEGER)",
    "CREATE TABLE group_member (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, group_id INTEGER, address TEXT, "
    "country TEXT)",
    "CREATE TABLE msg_pieces (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, message_id INTEGER, data BLOB, "
    "part_id INTEGER, preview_part INTEGER, content_type TEXT, height INTEGER, version INTEGER, flags INTEGER, "
    "content_id TEXT, content_loc TEXT, headers BLOB)",
};

const char* const kAddressBookSchema[] = {
    "CREATE TABLE ABPerson (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, First TEXT, Last TEXT, Middle TEXT, "
    "FirstPhonetic TEXT, MiddlePhonetic TEXT, LastPhonetic TEXT, Organization TEXT, Department TEXT, Note TEXT, "
    "Kind INTEGER, Birthday TEXT, JobTitle TEXT, Nickname TEXT, Prefix TEXT, Suffix TEXT, FirstSort TEXT, "
    "LastSort TEXT, CreationDate INTEGER, ModificationDate INTEGER, CompositeNameFallback TEXT, "
    "ExternalIdentifier TEXT, ExternalModificationTag TEXT, ExternalUUID TEXT, StoreID INTEGER, DisplayName TEXT, "
    "ExternalRepresentation BLOB, FirstSortSection TEXT, LastSortSection TEXT, "
    "FirstSortLanguageIndex INTEGER DEFAULT 2147483647, LastSortLanguageIndex INTEGER DEFAULT 2147483647, "
    "PersonLink INTEGER DEFAULT -1, ImageURI TEXT, IsPreferredName INTEGER DEFAULT 1)",
    "CREATE TABLE ABGroup (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, Name TEXT, ExternalIdentifier TEXT, "
    "StoreID INTEGER, ExternalModificationTag TEXT, ExternalRepresentation BLOB, ExternalUUID TEXT)",
    "CREATE TABLE ABGroupMembers (UID INTEGER PRIMARY KEY, group_id INTEGER, member_type INTEGER, "
    "member_id INTEGER, UNIQUE(group_id, member_id, member_type))",
    "CREATE TABLE ABMultiValue (UID INTEGER PRIMARY KEY, record_id INTEGER, property INTEGER, "
    "identifier INTEGER, label INTEGER, value TEXT)",
    "CREATE INDEX ABMultiValueRecordIDIndex ON ABMultiValue(record_id)",
    "CREATE TABLE ABMultiValueLabel (value TEXT, UNIQUE(value))",
    "CREATE TABLE ABMultiValueEntry (parent_id INTEGER, key INTEGER, value TEXT, UNIQUE(parent_id, key))",
    "CREATE TABLE ABMultiValueEntryKey (value TEXT, UNIQUE(value))",
};

// The owner's own accounts, as they appear in the account columns.
struct Accounts {
    std::string smsAccount = "p:+15550100199";
    std::string imessageAccount = "e:owner.kestrel@me.com";
    std::string smsGuid, imessageGuid;
    explicit Accounts(Rng& rng) : smsGuid(makeUuid(rng)), imessageGuid(makeUuid(rng)) {}
    bool isSms(const std::string& service) const { return service == "SMS"; }
};

void writeProperties(Db& db, Rng& rng, const char* clientVersion) {
    db.exec(kPropertiesTable);
    Stmt put(db, "INSERT INTO _SqliteDatabaseProperties (key, value) VALUES (?, ?)");
    put.text(1, "_ClientVersion").text(2, clientVersion).run();
    put.text(1, "_UniqueIdentifier").text(2, makeUuid(rng)).run();
}

void writeIos6(Db& db, const BackupSpec& plan, Rng& rng) {
    for (const char* sql : kIos6Schema) db.exec(sql);
    Accounts accounts(rng);

    Stmt handle(db, "INSERT INTO handle (ROWID, id, country, service, uncanonicalized_id) VALUES (?, ?, 'us', ?, NULL)");
    Stmt chat(db,
              "INSERT INTO chat (ROWID, guid, style, state, account_id, properties, chat_identifier, service_name, "
              "room_name, account_login, is_archived, last_addressed_handle) "
              "VALUES (?, ?, 45, 3, ?, NULL, ?, ?, NULL, ?, 0, ?)");
    Stmt chatHandle(db, "INSERT INTO chat_handle_join (chat_id, handle_id) VALUES (?, ?)");
    std::vector<int64_t> handleRowids;
    std::set<int64_t> knownChats;
    for (const Handle& h : plan.handles) {
        handle.rowidOrNull(1, h.rowid).text(2, h.id).text(3, h.service).run();
        int64_t id = db.lastRowid();
        handleRowids.push_back(id);
        knownChats.insert(id);
        bool sms = accounts.isSms(h.service);
        std::string login = sms ? "P:+15550100199" : "E:owner.kestrel@me.com";
        chat.integer(1, id)
            .text(2, h.service + ";-;" + h.id)
            .text(3, sms ? accounts.smsGuid : accounts.imessageGuid)
            .text(4, h.id)
            .text(5, h.service)
            .text(6, login)
            .text(7, sms ? "+15550100199" : "owner.kestrel@me.com")
            .run();
        chatHandle.integer(1, id).integer(2, id).run();
    }

    Stmt message(db,
                 "INSERT INTO message (ROWID, guid, text, replace, service_center, handle_id, subject, country, "
                 "attributedBody, version, type, service, account, account_guid, error, date, date_read, "
                 "date_delivered, is_delivered, is_finished, is_emote, is_from_me, is_empty, is_delayed, "
                 "is_auto_reply, is_prepared, is_read, is_system_message, is_sent, has_dd_results, "
                 "is_service_message, is_forward, was_downgraded, is_archive, cache_has_attachments, "
                 "cache_roomnames, was_data_detected, was_deduplicated) "
                 "VALUES (?1, ?2, ?3, 0, NULL, ?4, NULL, NULL, ?5, 10, 0, ?6, ?7, ?8, 0, ?9, ?10, ?11, ?12, 1, 0, "
                 "?13, ?14, 0, 0, 0, ?15, 0, ?16, 0, 0, 0, 0, 0, 0, NULL, 1, 0)");
    Stmt join(db, "INSERT INTO chat_message_join (chat_id, message_id) VALUES (?, ?)");
    std::vector<int64_t> messageRowids;
    messageRowids.reserve(plan.messages.size());
    for (const Message& m : plan.messages) {
        bool sms = accounts.isSms(m.service);
        bool read = !m.is_from_me && rng.chance(92);
        int64_t dateRead = read ? m.date + 20 + rng.below(900) : 0;
        int64_t dateDelivered = (m.is_from_me && !sms) ? m.date + 1 + rng.below(8) : 0;
        message.rowidOrNull(1, m.rowid).text(2, makeUuid(rng)).optText(3, m.text).integer(4, m.handle_id);
        if (m.text) {
            message.blob(5, attributedBodyFor(*m.text));
        } else {
            message.null(5);
        }
        message.text(6, m.service)
            .text(7, sms ? accounts.smsAccount : accounts.imessageAccount)
            .text(8, sms ? accounts.smsGuid : accounts.imessageGuid)
            .integer(9, m.date)
            .integer(10, dateRead)
            .integer(11, dateDelivered)
            .integer(12, 1)
            .integer(13, m.is_from_me ? 1 : 0)
            .integer(14, m.text ? 0 : 1)
            .integer(15, m.is_from_me ? 0 : (read ? 1 : 0))
            .integer(16, m.is_from_me ? 1 : 0)
            .run();
        int64_t id = db.lastRowid();
        messageRowids.push_back(id);
        if (knownChats.count(m.handle_id)) join.integer(1, m.handle_id).integer(2, id).run();
    }
    db.exec("COMMIT");

    db.exec("BEGIN");
    Stmt dropJoin(db, "DELETE FROM chat_message_join WHERE chat_id = ? AND message_id = ?");
    Stmt dropMessage(db, "DELETE FROM message WHERE ROWID = ?");
    for (size_t i = 0; i < plan.messages.size(); ++i) {
        if (!plan.messages[i].deleted) continue;
        dropJoin.integer(1, plan.messages[i].handle_id).integer(2, messageRowids[i]).run();
        dropMessage.integer(1, messageRowids[i]).run();
    }
    Stmt dropChatHandle(db, "DELETE FROM chat_handle_join WHERE chat_id = ?");
    Stmt dropChat(db, "DELETE FROM chat WHERE ROWID = ?");
    for (size_t i = 0; i < plan.handles.size(); ++i) {
        if (!plan.handles[i].deleted) continue;
        dropChatHandle.integer(1, handleRowids[i]).run();
        dropChat.integer(1, handleRowids[i]).run();
    }
}

int64_t addressHash(const std::string& address) {
    uint32_t h = 2166136261u;  // FNV-1a, kept in the signed 32-bit range like the device's values
    for (unsigned char c : address) h = (h ^ c) * 16777619u;
    return static_cast<int32_t>(h);
}

void writeIos5(Db& db, const BackupSpec& plan, Rng& rng) {
    const bool madrid = plan.layout == MessageLayout::IOS5;
    db.exec(std::string("CREATE TABLE message (") + kIos5MessageColumns + (madrid ? kMadridColumns : "") + ")");
    for (const char* sql : kIos5Tables) db.exec(sql);

    // One conversation group per distinct address, numbered in order of first use.
    std::map<std::string, int64_t> groupOf;
    std::vector<std::string> groupAddress;
    for (const Message& m : plan.messages) {
        if (m.address && groupOf.emplace(*m.address, static_cast<int64_t>(groupAddress.size()) + 1).second)
            groupAddress.push_back(*m.address);
    }
    std::vector<int64_t> newest(groupAddress.size(), 0);
    std::string accountGuid = makeUuid(rng);

    std::string sql =
        "INSERT INTO message (ROWID, address, date, text, flags, replace, svc_center, group_id, association_id, "
        "height, UIFlags, version, subject, country, headers, recipients, read";
    if (madrid) {
        sql += ", madrid_attributedBody, madrid_handle, madrid_version, madrid_guid, madrid_type, madrid_roomname, "
               "madrid_service, madrid_account, madrid_flags, madrid_attachmentInfo, madrid_url, madrid_error, "
               "is_madrid, madrid_date_read, madrid_date_delivered, madrid_account_guid";
    }
    sql += ") VALUES (?1, ?2, ?3, ?4, ?5, 0, NULL, ?6, 0, 0, 0, 0, NULL, ?7, NULL, NULL, ?8";
    if (madrid) sql += ", ?9, ?10, ?11, ?12, 0, NULL, ?13, ?14, ?15, ?16, NULL, ?17, ?18, ?19, ?20, ?21";
    sql += ")";
    Stmt message(db, sql);
    std::vector<int64_t> messageRowids;
    messageRowids.reserve(plan.messages.size());
    for (const Message& m : plan.messages) {
        int64_t group = m.address ? groupOf[*m.address] : 0;
        bool imessage = madrid && m.is_madrid;
        message.rowidOrNull(1, m.rowid)
            .optText(2, m.address)
            .integer(3, m.date)
            .optText(4, m.text)
            .integer(5, m.flags)
            .integer(6, group)
            .integer(8, 1);
        // The device records the country of SMS rows only.
        if (imessage) {
            message.null(7);
        } else {
            message.text(7, "us");
        }
        if (madrid) {
            if (imessage) {
                // iMessage rows keep their times from 2001-01-01 in the madrid columns.
                int64_t reference = m.date - 978307200;
                bool sent = m.flags == 3;
                if (m.text) {
                    message.blob(9, attributedBodyFor(*m.text));
                } else {
                    message.null(9);
                }
                message.optText(10, m.madrid_handle)
                    .integer(11, 10)
                    .text(12, makeUuid(rng))
                    .text(13, "Madrid")
                    .text(14, "owner.kestrel@me.com")
                    .integer(15, m.madrid_flags)
                    .optBlob(16, m.madrid_attachmentInfo)
                    .integer(17, 0)
                    .integer(18, 1)
                    .integer(19, sent ? 0 : reference + 30 + rng.below(600))
                    .integer(20, sent ? reference + 2 + rng.below(8) : 0)
                    .text(21, accountGuid);
            } else {
                for (int pos = 9; pos <= 21; ++pos) message.null(pos);
                message.integer(18, 0);
            }
        }
        message.run();
        int64_t id = db.lastRowid();
        messageRowids.push_back(id);
        if (group > 0) newest[static_cast<size_t>(group - 1)] = id;
    }

    Stmt msgGroup(db, "INSERT INTO msg_group (ROWID, type, newest_message, unread_count, hash) VALUES (?, 0, ?, 0, ?)");
    Stmt member(db, "INSERT INTO group_member (group_id, address, country) VALUES (?, ?, 'us')");
    for (size_t g = 0; g < groupAddress.size(); ++g) {
        auto id = static_cast<int64_t>(g) + 1;
        msgGroup.integer(1, id).integer(2, newest[g]).integer(3, addressHash(groupAddress[g])).run();
        member.integer(1, id).text(2, groupAddress[g]).run();
    }
    db.exec("COMMIT");

    db.exec("BEGIN");
    Stmt dropMessage(db, "DELETE FROM message WHERE ROWID = ?");
    for (size_t i = 0; i < plan.messages.size(); ++i) {
        if (plan.messages[i].deleted) dropMessage.integer(1, messageRowids[i]).run();
    }
}

// Sort key and its section letter, as the address book keeps them for its index.
std::optional<std::string> sortKey(const std::optional<std::string>& a, const std::optional<std::string>& b,
                                   const std::optional<std::string>& fallback) {
    std::string key;
    for (const auto* part : {&a, &b}) {
        if (*part && !(*part)->empty()) key += (key.empty() ? "" : " ") + **part;
    }
    if (key.empty() && fallback && !fallback->empty()) key = *fallback;
    if (key.empty()) return std::nullopt;
    return key;
}

std::string sectionOf(const std::string& key) {
    auto c = static_cast<unsigned char>(key[0]);
    if (c >= 'a' && c <= 'z') c = static_cast<unsigned char>(c - 'a' + 'A');
    return (c >= 'A' && c <= 'Z') ? std::string(1, static_cast<char>(c)) : std::string("#");
}

}  // namespace

void writeMessageDatabase(const fs::path& file, const BackupSpec& plan) {
    Db db(file);
    prepareNewDatabase(db, plan);
    Rng rng(uint64_t{plan.seed} * 31 + 0x3D0D);
    db.exec("BEGIN");
    writeProperties(db, rng, plan.layout == MessageLayout::IOS6 ? "7" : "6");
    if (plan.layout == MessageLayout::IOS6) {
        writeIos6(db, plan, rng);
    } else {
        writeIos5(db, plan, rng);
    }
    db.exec("COMMIT");
    db.close();
}

void writeAddressBook(const fs::path& file, const BackupSpec& plan) {
    Db db(file);
    prepareNewDatabase(db, plan);
    Rng rng(uint64_t{plan.seed} * 31 + 0x31BB);
    db.exec("BEGIN");
    writeProperties(db, rng, "2");
    for (const char* sql : kAddressBookSchema) db.exec(sql);

    Stmt person(db,
                "INSERT INTO ABPerson (ROWID, First, Last, Middle, FirstPhonetic, MiddlePhonetic, LastPhonetic, "
                "Organization, Department, Note, Kind, Birthday, JobTitle, Nickname, Prefix, Suffix, FirstSort, "
                "LastSort, CreationDate, ModificationDate, CompositeNameFallback, ExternalIdentifier, "
                "ExternalModificationTag, ExternalUUID, StoreID, DisplayName, ExternalRepresentation, "
                "FirstSortSection, LastSortSection, FirstSortLanguageIndex, LastSortLanguageIndex, PersonLink, "
                "ImageURI, IsPreferredName) "
                "VALUES (?1, ?2, ?3, ?4, NULL, NULL, NULL, ?5, ?6, ?7, 0, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, "
                "NULL, NULL, NULL, ?17, 0, NULL, NULL, ?18, ?19, ?20, ?21, -1, NULL, 1)");
    Stmt labelInsert(db, "INSERT OR IGNORE INTO ABMultiValueLabel (value) VALUES (?)");
    Stmt labelFind(db, "SELECT rowid FROM ABMultiValueLabel WHERE value = ?");
    Stmt value(db, "INSERT INTO ABMultiValue (UID, record_id, property, identifier, label, value) "
                   "VALUES (NULL, ?, ?, ?, ?, ?)");
    std::map<std::string, int64_t> labels;
    auto labelId = [&](const std::string& text) {
        auto it = labels.find(text);
        if (it != labels.end()) return it->second;
        labelInsert.text(1, text).run();
        labelFind.text(1, text);
        int64_t id = labelFind.step() ? labelFind.columnInt(0) : 0;
        labelFind.reset();
        labels.emplace(text, id);
        return id;
    };

    std::vector<int64_t> personRowids;
    for (const Person& p : plan.persons) {
        auto firstSort = sortKey(p.first, p.last, p.organization);
        auto lastSort = sortKey(p.last, p.first, p.organization);
        int64_t created = 340000000 + rng.below(30000000);
        person.rowidOrNull(1, p.rowid)
            .optText(2, p.first)
            .optText(3, p.last)
            .optText(4, p.middle)
            .optText(5, p.organization)
            .optText(6, p.department)
            .optText(7, p.note)
            .optText(8, p.birthday)
            .optText(9, p.jobTitle)
            .optText(10, p.nickname)
            .optText(11, p.prefix)
            .optText(12, p.suffix)
            .optText(13, firstSort)
            .optText(14, lastSort)
            .integer(15, created)
            .integer(16, created + rng.below(20000000))
            .text(17, makeUuid(rng));
        if (firstSort) {
            person.text(18, sectionOf(*firstSort)).text(19, sectionOf(*lastSort)).integer(20, 0).integer(21, 0);
        } else {
            person.null(18).null(19).integer(20, 2147483647).integer(21, 2147483647);
        }
        person.run();
        int64_t id = db.lastRowid();
        personRowids.push_back(id);
        std::map<int, int64_t> nextIdentifier;
        for (const PersonValue& v : p.values) {
            value.integer(1, id).integer(2, v.property).integer(3, nextIdentifier[v.property]++);
            if (v.label.empty()) {
                value.null(4);
            } else {
                value.integer(4, labelId(v.label));
            }
            value.optText(5, v.value).run();
        }
    }
    db.exec("COMMIT");

    db.exec("BEGIN");
    Stmt dropValues(db, "DELETE FROM ABMultiValue WHERE record_id = ?");
    Stmt dropPerson(db, "DELETE FROM ABPerson WHERE ROWID = ?");
    for (size_t i = 0; i < plan.persons.size(); ++i) {
        if (!plan.persons[i].deleted) continue;
        dropValues.integer(1, personRowids[i]).run();
        dropPerson.integer(1, personRowids[i]).run();
    }
    db.exec("COMMIT");
}

}  // namespace kestrel::gen::detail
