// Modern backups (iOS 11 to 18): the message database with the column sets
// of each version, chats and their joins, attachments, Recently Deleted,
// edited and unsent messages, and the 51-column address book. The
// attributedBody archives are written by a typedstream writer of the
// generator's own, kept apart from the program's reader.
#include <plist/plist.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

#include "tools/backup_generator.h"
#include "tools/backup_generator_internal.h"

namespace kestrel::gen {
namespace {

namespace fs = std::filesystem;
using detail::Db;
using detail::GenError;
using detail::Rng;
using detail::Stmt;

const char* const kMessageDb = "3d0d7e5fb2ce288813306e4d4636395e047a3d28";
const char* const kAddressBookDb = "31bb7ba8914766d4ba40d6dfb6113c8b614be442";
const char* const kObjectReplacement = "\xEF\xBF\xBC";

// ---- typedstream writer ----

// Writes an NSAttributedString archive. It keeps the two tables the format
// numbers its back-references by: shared strings, and objects (objects,
// classes and C strings in order of appearance).
class ArchiveWriter {
public:
    std::string attributedString(const std::string& text, const std::vector<std::string>& attachmentGuids) {
        out_.assign("\x04\x0bstreamtyped\x81\xe8\x03", 16);
        sharedString("@");
        out_ += '\x84';  // the attributed string object
        newObject();
        writeClass({{"NSAttributedString", 0}, {"NSObject", 0}});
        sharedString("@");
        out_ += '\x84';
        newObject();
        writeClass({{"NSString", 1}, {"NSObject", 0}});
        sharedString("+");
        integer(static_cast<int64_t>(text.size()));
        out_ += text;
        out_ += '\x86';

        // Runs: text between markers gets dictionary {part: 0}; each marker
        // a dictionary of its own naming its transfer GUID.
        struct Run {
            int64_t units;
            std::string guid;  // empty: the text run
        };
        std::vector<Run> runs;
        int64_t pending = 0;
        size_t marker = 0;
        for (size_t i = 0; i < text.size();) {
            if (text.compare(i, 3, kObjectReplacement) == 0) {
                if (pending > 0) runs.push_back({pending, ""});
                pending = 0;
                runs.push_back({1, marker < attachmentGuids.size() ? attachmentGuids[marker] : std::string()});
                ++marker;
                i += 3;
                continue;
            }
            auto c = static_cast<unsigned char>(text[i]);
            size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
            pending += n == 4 ? 2 : 1;
            i += n;
        }
        if (pending > 0) runs.push_back({pending, ""});
        std::map<std::string, int64_t> numbers;  // dictionary per GUID ("" for text runs)
        for (const Run& run : runs) {
            auto found = numbers.find(run.guid);
            const bool first = found == numbers.end();
            int64_t number = first ? static_cast<int64_t>(numbers.size()) + 1 : found->second;
            if (first) numbers[run.guid] = number;
            sharedString("iI");
            integer(number);
            integer(run.units);
            if (!first) continue;
            sharedString("@");
            out_ += '\x84';
            newObject();
            writeClass({{"NSDictionary", 0}, {"NSObject", 0}});
            sharedString("i");
            integer(run.guid.empty() ? 1 : 2);
            stringObject("__kIMMessagePartAttributeName");
            numberObject(0);
            if (!run.guid.empty()) {
                stringObject("__kIMFileTransferGUIDAttributeName");
                stringObject(run.guid);
            }
            out_ += '\x86';
        }
        out_ += '\x86';
        return out_;
    }

private:
    void integer(int64_t v) {
        if (v >= -110 && v <= 127) {
            out_ += static_cast<char>(static_cast<int8_t>(v));
        } else if (v >= INT16_MIN && v <= INT16_MAX) {
            out_ += '\x81';
            out_ += static_cast<char>(v & 0xFF);
            out_ += static_cast<char>((v >> 8) & 0xFF);
        } else {
            out_ += '\x82';
            for (int k = 0; k < 4; ++k) out_ += static_cast<char>((v >> (8 * k)) & 0xFF);
        }
    }
    void reference(size_t index) { integer(static_cast<int64_t>(index) - 110); }
    void sharedString(const std::string& s) {
        auto it = std::find(shared_.begin(), shared_.end(), s);
        if (it != shared_.end()) {
            reference(static_cast<size_t>(it - shared_.begin()));
            return;
        }
        out_ += '\x84';
        integer(static_cast<int64_t>(s.size()));
        out_ += s;
        shared_.push_back(s);
    }
    size_t newObject() { return objects_++; }
    // A class chain from the class itself up to the root; a class seen before
    // is a reference and ends the chain.
    void writeClass(const std::vector<std::pair<std::string, int>>& chain) {
        for (const auto& [name, version] : chain) {
            auto seen = classes_.find(name);
            if (seen != classes_.end()) {
                reference(seen->second);
                return;
            }
            out_ += '\x84';
            sharedString(name);
            integer(version);
            classes_[name] = newObject();
        }
        out_ += '\x85';
    }
    void stringObject(const std::string& s) {
        sharedString("@");
        out_ += '\x84';
        newObject();
        writeClass({{"NSString", 1}, {"NSObject", 0}});
        sharedString("+");
        integer(static_cast<int64_t>(s.size()));
        out_ += s;
        out_ += '\x86';
    }
    void numberObject(int64_t v) {
        sharedString("@");
        out_ += '\x84';
        newObject();
        writeClass({{"NSNumber", 0}, {"NSValue", 0}, {"NSObject", 0}});
        sharedString("*");
        auto seen = cStrings_.find("i");
        if (seen != cStrings_.end()) {
            reference(seen->second);
        } else {
            out_ += '\x84';
            sharedString("i");
            cStrings_["i"] = newObject();
        }
        sharedString("i");
        integer(v);
        out_ += '\x86';
    }

    std::string out_;
    std::vector<std::string> shared_;
    size_t objects_ = 0;
    std::map<std::string, size_t> classes_;
    std::map<std::string, size_t> cStrings_;
};

std::string archiveText(const std::string& text, const std::vector<std::string>& guids) {
    return ArchiveWriter().attributedString(text, guids);
}

// ---- schema ----

const char* const kIos13MessageColumns[] = {
    "ROWID", "guid", "text", "replace", "service_center", "handle_id", "subject", "country", "attributedBody",
    "version", "type", "service", "account", "account_guid", "error", "date", "date_read", "date_delivered",
    "is_delivered", "is_finished", "is_emote", "is_from_me", "is_empty", "is_delayed", "is_auto_reply",
    "is_prepared", "is_read", "is_system_message", "is_sent", "has_dd_results", "is_service_message", "is_forward",
    "was_downgraded", "is_archive", "cache_has_attachments", "cache_roomnames", "was_data_detected",
    "was_deduplicated", "is_audio_message", "is_played", "date_played", "item_type", "other_handle", "group_title",
    "group_action_type", "share_status", "share_direction", "is_expirable", "expire_state", "message_action_type",
    "message_source", "associated_message_guid", "associated_message_type", "balloon_bundle_id", "payload_data",
    "expressive_send_style_id", "associated_message_range_location", "associated_message_range_length",
    "time_expressive_send_played", "message_summary_info", "ck_sync_state", "ck_record_id", "ck_record_change_tag",
    "destination_caller_id", "sr_ck_sync_state", "sr_ck_record_id", "sr_ck_record_change_tag", "is_corrupt"};

std::string columnDeclaration(const std::string& c) {
    static const std::set<std::string> texts = {
        "guid", "text", "service_center", "subject", "country", "service", "account", "account_guid",
        "cache_roomnames", "group_title", "associated_message_guid", "balloon_bundle_id", "expressive_send_style_id",
        "ck_record_id", "ck_record_change_tag", "destination_caller_id", "sr_ck_record_id",
        "sr_ck_record_change_tag", "reply_to_guid", "thread_originator_guid", "thread_originator_part",
        "syndication_ranges", "synced_syndication_ranges", "bia_reference_id", "fallback_hash",
        "associated_message_emoji"};
    static const std::set<std::string> blobs = {"attributedBody", "payload_data", "message_summary_info"};
    if (c == "ROWID") return "ROWID INTEGER PRIMARY KEY AUTOINCREMENT";
    if (c == "guid") return "guid TEXT UNIQUE NOT NULL";
    if (c == "thread_originator_guid" || c == "thread_originator_part" || c == "syndication_ranges" ||
        c == "synced_syndication_ranges") {
        return c + " TEXT DEFAULT NULL";
    }
    if (texts.count(c)) return c + " TEXT";
    if (blobs.count(c)) return c + " BLOB";
    return c + " INTEGER DEFAULT 0";
}

const char* const kOtherTables[] = {
    "CREATE TABLE _SqliteDatabaseProperties (key TEXT, value TEXT, UNIQUE(key))",
    "CREATE TABLE handle (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, id TEXT NOT NULL, country TEXT, "
    "service TEXT NOT NULL, uncanonicalized_id TEXT, person_centric_id TEXT, UNIQUE (id, service))",
    "CREATE TABLE chat (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, style INTEGER, "
    "state INTEGER, account_id TEXT, properties BLOB, chat_identifier TEXT, service_name TEXT, room_name TEXT, "
    "account_login TEXT, is_archived INTEGER DEFAULT 0, last_addressed_handle TEXT, display_name TEXT, "
    "group_id TEXT, is_filtered INTEGER DEFAULT 0, successful_query INTEGER, engram_id TEXT, "
    "server_change_token TEXT, ck_sync_state INTEGER DEFAULT 0, original_group_id TEXT, "
    "last_read_message_timestamp INTEGER DEFAULT 0, sr_server_change_token TEXT, sr_ck_sync_state INTEGER DEFAULT 0, "
    "cloudkit_record_id TEXT, sr_cloudkit_record_id TEXT, last_addressed_sim_id TEXT)",
    "CREATE TABLE chat_handle_join (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE CASCADE, "
    "handle_id INTEGER REFERENCES handle (ROWID) ON DELETE CASCADE, UNIQUE(chat_id, handle_id))",
    "CREATE TABLE chat_message_join (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE CASCADE, "
    "message_id INTEGER REFERENCES message (ROWID) ON DELETE CASCADE, message_date INTEGER DEFAULT 0, "
    "PRIMARY KEY (chat_id, message_id))",
    "CREATE TABLE message_attachment_join (message_id INTEGER REFERENCES message (ROWID) ON DELETE CASCADE, "
    "attachment_id INTEGER REFERENCES attachment (ROWID) ON DELETE CASCADE, UNIQUE(message_id, attachment_id))",
    "CREATE TABLE attachment (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, "
    "created_date INTEGER DEFAULT 0, start_date INTEGER DEFAULT 0, filename TEXT, uti TEXT, mime_type TEXT, "
    "transfer_state INTEGER DEFAULT 0, is_outgoing INTEGER DEFAULT 0, user_info BLOB, transfer_name TEXT, "
    "total_bytes INTEGER DEFAULT 0, is_sticker INTEGER DEFAULT 0, sticker_user_info BLOB, attribution_info BLOB, "
    "hide_attachment INTEGER DEFAULT 0, ck_sync_state INTEGER DEFAULT 0, ck_server_change_token_blob BLOB, "
    "ck_record_id TEXT, original_guid TEXT UNIQUE NOT NULL, sr_ck_sync_state INTEGER DEFAULT 0, "
    "sr_ck_server_change_token_blob BLOB, sr_ck_record_id TEXT)",
    "CREATE TABLE deleted_messages (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, guid TEXT NOT NULL)",
    "CREATE TABLE sync_deleted_messages (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, guid TEXT NOT NULL, "
    "recordID TEXT )",
    "CREATE INDEX message_idx_date ON message(date)",
    "CREATE INDEX message_idx_handle ON message(handle_id, date)",
    "CREATE INDEX chat_message_join_idx_message_id_only ON chat_message_join(message_id)",
    "CREATE INDEX chat_message_join_idx_chat_id ON chat_message_join(chat_id)",
    "CREATE TRIGGER add_to_deleted_messages AFTER DELETE ON message BEGIN "
    "INSERT INTO deleted_messages (guid) VALUES (OLD.guid); END",
    "CREATE TRIGGER add_to_sync_deleted_messages AFTER DELETE ON message BEGIN "
    "INSERT INTO sync_deleted_messages (guid, recordID) VALUES (OLD.guid, OLD.ck_record_id); END",
    "CREATE TRIGGER after_insert_on_message_attachment_join AFTER INSERT ON message_attachment_join BEGIN "
    "UPDATE message SET cache_has_attachments = 1 WHERE message.ROWID = NEW.message_id; END",
};

const char* const kRecoverableTables[] = {
    "CREATE TABLE chat_recoverable_message_join (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE CASCADE, "
    "message_id INTEGER REFERENCES message (ROWID) ON DELETE CASCADE, delete_date INTEGER, "
    "ck_sync_state INTEGER DEFAULT 0, PRIMARY KEY (chat_id, message_id), CHECK (delete_date != 0))",
    "CREATE TABLE recoverable_message_part (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE CASCADE, "
    "message_id INTEGER REFERENCES message (ROWID) ON DELETE CASCADE, part_index INTEGER, delete_date INTEGER, "
    "part_text BLOB NOT NULL, ck_sync_state INTEGER DEFAULT 0, PRIMARY KEY (chat_id, message_id, part_index), "
    "CHECK (delete_date != 0))",
    "CREATE TABLE unsynced_removed_recoverable_messages (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, "
    "chat_guid TEXT NOT NULL, message_guid TEXT NOT NULL, part_index INTEGER)",
    "CREATE TRIGGER after_delete_on_chat_message_join AFTER DELETE ON chat_message_join BEGIN "
    "DELETE FROM message WHERE ROWID = OLD.message_id AND "
    "(SELECT 1 FROM chat_message_join WHERE message_id = OLD.message_id LIMIT 1) IS NULL AND "
    "(SELECT 1 FROM chat_recoverable_message_join WHERE message_id = OLD.message_id LIMIT 1) IS NULL; END",
    "CREATE TRIGGER after_delete_on_chat_recoverable_message_join AFTER DELETE ON chat_recoverable_message_join "
    "BEGIN DELETE FROM message WHERE ROWID = OLD.message_id AND "
    "(SELECT 1 FROM chat_message_join WHERE message_id = OLD.message_id LIMIT 1) IS NULL AND "
    "(SELECT 1 FROM chat_recoverable_message_join WHERE message_id = OLD.message_id LIMIT 1) IS NULL; END",
};

const char* const kOlderJoinTrigger =
    "CREATE TRIGGER after_delete_on_chat_message_join AFTER DELETE ON chat_message_join BEGIN "
    "DELETE FROM message WHERE ROWID = OLD.message_id AND "
    "(SELECT 1 FROM chat_message_join WHERE message_id = OLD.message_id LIMIT 1) IS NULL; END";

// ---- binary plists of message_summary_info ----

std::string binaryPlist(plist_t root) {
    char* data = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &data, &length);
    std::string out(data ? data : "", data ? length : 0);
    free(data);
    plist_free(root);
    return out;
}

std::string editHistory(const std::vector<std::pair<std::string, double>>& versions, const std::string& current,
                        double currentDate) {
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "amc", plist_new_uint(0));
    plist_dict_set_item(root, "ust", plist_new_bool(1));
    plist_t history = plist_new_array();
    auto entry = [&](const std::string& text, double d) {
        plist_t e = plist_new_dict();
        std::string blob = archiveText(text, {});
        plist_dict_set_item(e, "t", plist_new_data(blob.data(), blob.size()));
        plist_dict_set_item(e, "d", plist_new_real(d));
        plist_array_append_item(history, e);
    };
    for (const auto& [text, d] : versions) entry(text, d);
    entry(current, currentDate);
    plist_t ec = plist_new_dict();
    plist_dict_set_item(ec, "0", history);
    plist_dict_set_item(root, "ec", ec);
    return binaryPlist(root);
}

std::string unsendSummary(int64_t units) {
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "amc", plist_new_uint(0));
    plist_dict_set_item(root, "ust", plist_new_bool(1));
    plist_t range = plist_new_dict();
    plist_dict_set_item(range, "lo", plist_new_uint(0));
    plist_dict_set_item(range, "le", plist_new_uint(static_cast<uint64_t>(units)));
    plist_t otr = plist_new_dict();
    plist_dict_set_item(otr, "0", range);
    plist_dict_set_item(root, "otr", otr);
    plist_t rp = plist_new_array();
    plist_array_append_item(rp, plist_new_uint(0));
    plist_dict_set_item(root, "rp", rp);
    return binaryPlist(root);
}

std::string shownContent(const std::string& text, const std::vector<std::string>& names) {
    std::string out;
    size_t from = 0;
    size_t index = 0;
    for (size_t at = text.find(kObjectReplacement); at != std::string::npos;
         at = text.find(kObjectReplacement, from)) {
        out += text.substr(from, at - from);
        out += index < names.size() ? "[attachment: " + names[index] + "]" : std::string("[attachment]");
        ++index;
        from = at + 3;
    }
    return out + text.substr(from);
}

std::string chatText(const ModernChat& chat) {
    if (!chat.displayName.empty()) return chat.displayName;
    std::string out;
    for (const std::string& m : chat.members) out += (out.empty() ? "" : ", ") + m;
    return out;
}

const char* sourceOf(ModernFate fate) {
    switch (fate) {
        case ModernFate::RecentlyDeleted: return "recently deleted";
        case ModernFate::Orphaned: return "orphaned";
        case ModernFate::Unsent: return "unsent";
        default: return "existing";
    }
}

void copyFile(const fs::path& from, const fs::path& to) {
    fs::create_directories(to.parent_path());
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
}

fs::path placed(const fs::path& folder, const std::string& name, bool subfolder) {
    return subfolder ? folder / name.substr(0, 2) / name : folder / name;
}

void checkVersion(const ModernSpec& shape) {
    if (shape.iosMajor < 11 || shape.iosMajor > 18) throw GenError("modern backups are iOS 11 to 18");
    for (const ModernMessage& m : shape.messages) {
        if (m.chat >= shape.chats.size()) throw GenError("a message names a chat that does not exist");
        if (!m.fromMe && m.sender >= shape.chats[m.chat].members.size()) {
            throw GenError("a message names a sender that is not in its chat");
        }
        const bool needs16 = m.fate == ModernFate::RecentlyDeleted || m.fate == ModernFate::Edited ||
                             m.fate == ModernFate::Unsent;
        if (needs16 && shape.iosMajor < 16) throw GenError("Recently Deleted, edits and unsending need iOS 16 or later");
    }
}

// With `walCopy`, the later changes (Recently Deleted, deletes) go to a
// write-ahead log that is never checkpointed: the main file is copied to
// `mainCopy` as it stands when the log starts, and the log once it holds the
// changes.
void writeModernMessages(const fs::path& file, const ModernSpec& shape, std::vector<PlannedMessage>& planned,
                         const fs::path* mainCopy, const fs::path* walCopy) {
    Rng rng(uint64_t{shape.seed} * 0x9E3779B97F4A7C15ULL + 11);
    Db db(file);
    db.exec("PRAGMA page_size=4096");
    db.exec("PRAGMA auto_vacuum=0");
    db.exec("PRAGMA secure_delete=OFF");
    db.exec("PRAGMA synchronous=OFF");
    const std::vector<std::string> columns = modernMessageColumns(shape.iosMajor);
    std::string create = "CREATE TABLE message (";
    for (size_t i = 0; i < columns.size(); ++i) {
        create += (i ? ", " : "") + columnDeclaration(columns[i]);
    }
    db.exec(create + ")");
    db.exec("BEGIN");
    for (const char* sql : kOtherTables) db.exec(sql);
    if (shape.iosMajor >= 16) {
        for (const char* sql : kRecoverableTables) db.exec(sql);
    } else {
        db.exec(kOlderJoinTrigger);
    }
    {
        Stmt p(db, "INSERT INTO _SqliteDatabaseProperties (key, value) VALUES (?, ?)");
        p.text(1, "_ClientVersion").text(2, shape.iosMajor >= 14 ? "14006" : "12005").run();
        p.text(1, "counter_in_all").text(2, "0").run();
    }

    // Handles, one per (id, service); chats with their members.
    std::map<std::pair<std::string, std::string>, int64_t> handles;
    Stmt handle(db, "INSERT INTO handle (id, country, service, uncanonicalized_id, person_centric_id) "
                    "VALUES (?, 'us', ?, ?, NULL)");
    Stmt chat(db, "INSERT INTO chat (guid, style, state, account_id, chat_identifier, service_name, room_name, "
                  "account_login, display_name, group_id, last_addressed_handle) "
                  "VALUES (?, ?, 3, ?, ?, ?, ?, ?, ?, ?, '+15550100199')");
    Stmt chatHandle(db, "INSERT INTO chat_handle_join (chat_id, handle_id) VALUES (?, ?)");
    std::vector<int64_t> chatRowids;
    std::vector<std::vector<int64_t>> memberHandles;
    for (const ModernChat& c : shape.chats) {
        if (c.members.empty()) throw GenError("a chat needs at least one member");
        std::vector<int64_t> ids;
        for (const std::string& m : c.members) {
            auto key = std::make_pair(m, c.service);
            auto it = handles.find(key);
            if (it == handles.end()) {
                std::string typed = m.size() > 2 && m[0] == '+' && m[1] == '1' ? m.substr(2) : m;
                handle.text(1, m).text(2, c.service).text(3, typed).run();
                it = handles.emplace(key, db.lastRowid()).first;
            }
            ids.push_back(it->second);
        }
        const bool group = c.members.size() > 1;
        std::string identifier = group ? "chat" + std::to_string(100000000 + rng.below(900000000)) : c.members[0];
        chat.text(1, c.service + (group ? ";+;" : ";-;") + identifier)
            .integer(2, group ? 43 : 45)
            .text(3, detail::makeUuid(rng))
            .text(4, identifier)
            .text(5, c.service);
        if (group) {
            chat.text(6, identifier);
        } else {
            chat.null(6);
        }
        chat.text(7, "E:owner.kestrel@me.com");
        if (c.displayName.empty()) {
            chat.null(8);
        } else {
            chat.text(8, c.displayName);
        }
        chat.text(9, detail::makeUuid(rng)).run();
        int64_t chatId = db.lastRowid();
        for (int64_t h : ids) chatHandle.integer(1, chatId).integer(2, h).run();
        chatRowids.push_back(chatId);
        memberHandles.push_back(std::move(ids));
    }

    const bool has16 = shape.iosMajor >= 16;
    std::string insert = "INSERT INTO message (guid, text, handle_id, attributedBody, version, type, service, "
                         "account, account_guid, date, date_read, date_delivered, is_delivered, is_finished, "
                         "is_from_me, is_read, is_sent, message_summary_info, destination_caller_id";
    insert += has16 ? ", date_edited, date_retracted" : "";
    insert += ") VALUES (?, ?, ?, ?, 10, 0, ?, ?, ?, ?, ?, ?, 1, 1, ?, ?, ?, ?, ?";
    insert += has16 ? ", ?, ?)" : ")";
    Stmt message(db, insert);
    Stmt join(db, "INSERT INTO chat_message_join (chat_id, message_id, message_date) VALUES (?, ?, ?)");
    Stmt attachment(db, "INSERT INTO attachment (guid, created_date, start_date, filename, uti, mime_type, "
                        "transfer_state, is_outgoing, transfer_name, total_bytes, original_guid) "
                        "VALUES (?, ?, 0, ?, 'public.jpeg', 'image/jpeg', 5, ?, ?, ?, ?)");
    Stmt attachmentJoin(db, "INSERT INTO message_attachment_join (message_id, attachment_id) VALUES (?, ?)");
    Stmt recoverable(db, has16 ? "INSERT INTO chat_recoverable_message_join (chat_id, message_id, delete_date) "
                                 "VALUES (?, ?, ?)"
                               : "SELECT ?, ?, ?");
    Stmt recoverablePart(db, has16 ? "INSERT INTO recoverable_message_part (chat_id, message_id, part_index, "
                                     "delete_date, part_text) VALUES (?, ?, 0, ?, ?)"
                                   : "SELECT ?, ?, ?, ?");

    struct Later {
        int64_t rowid;
        int64_t chatId;
        const ModernMessage* m;
    };
    std::vector<Later> later;
    for (const ModernMessage& m : shape.messages) {
        const ModernChat& c = shape.chats[m.chat];
        std::vector<std::string> guids;
        for (size_t i = 0; i < m.attachments.size(); ++i) guids.push_back(detail::makeUuid(rng));
        const std::string guid = detail::makeUuid(rng);
        const bool group = c.members.size() > 1;
        int64_t handleId = m.fromMe ? (group ? 0 : memberHandles[m.chat][0]) : memberHandles[m.chat][m.sender];
        const bool edited = m.fate == ModernFate::Edited;
        const bool unsent = m.fate == ModernFate::Unsent;
        message.text(1, guid);
        if (m.blobOnly || edited || unsent) {
            message.null(2);
        } else {
            message.text(2, m.text);
        }
        message.integer(3, handleId);
        if (unsent) {
            message.null(4);
        } else {
            message.blob(4, archiveText(m.text, guids));
        }
        const bool sms = c.service == "SMS";
        message.text(5, c.service)
            .text(6, sms ? "p:+15550100199" : "e:owner.kestrel@me.com")
            .text(7, detail::makeUuid(rng))
            .integer(8, m.date)
            // date_read in seconds, as a real file keeps it: readers scale per value
            .integer(9, m.fromMe ? 0 : m.date / 1000000000 + 30)
            .integer(10, m.date + 2000000000)
            .integer(11, m.fromMe ? 1 : 0)
            .integer(12, m.fromMe ? 0 : 1)
            .integer(13, m.fromMe ? 1 : 0);
        const int64_t changed = m.date + 60LL * 1000000000;
        if (edited) {
            message.blob(14, editHistory(m.earlierVersions, m.text, static_cast<double>(changed) / 1e9));
        } else if (unsent) {
            int64_t units = 0;
            for (unsigned char ch : m.text) units += (ch & 0xC0) != 0x80 ? 1 : 0;
            message.blob(14, unsendSummary(units));
        } else {
            message.null(14);
        }
        message.text(15, sms ? "+15550100199" : "owner.kestrel@me.com");
        if (has16) message.integer(16, edited || unsent ? changed : 0).integer(17, unsent ? changed : 0);
        message.run();
        const int64_t rowid = db.lastRowid();
        const int64_t chatId = chatRowids[m.chat];
        if (m.fate != ModernFate::Orphaned) join.integer(1, chatId).integer(2, rowid).integer(3, m.date).run();
        for (size_t i = 0; i < m.attachments.size(); ++i) {
            const std::string& name = m.attachments[i];
            attachment.text(1, guids[i])
                .integer(2, m.date / 1000000000)
                .text(3, "~/Library/SMS/Attachments/" + detail::makeHex(rng, 2) + "/" + detail::makeHex(rng, 2) +
                             "/" + guids[i] + "/" + name)
                .integer(4, m.fromMe ? 1 : 0)
                .text(5, name)
                .integer(6, 1000 + rng.below(500000))
                .text(7, guids[i])
                .run();
            attachmentJoin.integer(1, rowid).integer(2, db.lastRowid()).run();
        }
        if (m.fate == ModernFate::RecentlyDeleted || m.fate == ModernFate::DeletedBySql) {
            later.push_back({rowid, chatId, &m});
        }

        PlannedMessage p;
        p.rowid = rowid;
        p.guid = guid;
        p.handle = m.fromMe && group ? std::string() : c.members[m.fromMe ? 0 : m.sender];
        p.content = unsent ? std::string() : shownContent(m.text, m.attachments);
        p.date = m.date;
        p.fromMe = m.fromMe;
        p.service = c.service;
        p.chat = chatText(c);
        p.source = sourceOf(m.fate);
        p.deleteDate = m.fate == ModernFate::RecentlyDeleted ? m.deleteDate : 0;
        p.attachments = m.attachments;
        p.recoverableBySql = m.fate != ModernFate::DeletedBySql;
        if (edited) {
            for (const auto& [text, d] : m.earlierVersions) {
                PlannedMessage e = p;
                e.content = shownContent(text, {});
                e.date = static_cast<int64_t>(d * 1e9);
                e.source = "earlier version";
                e.attachments.clear();
                planned.push_back(std::move(e));
            }
        }
        planned.push_back(std::move(p));
    }
    db.exec("COMMIT");

    // The later changes: in the main file, or (WAL) only in the log.
    if (walCopy) {
        db.exec("PRAGMA journal_mode=WAL");
        db.exec("PRAGMA wal_autocheckpoint=0");
        copyFile(file, *mainCopy);
    }
    db.exec("BEGIN");
    for (const Later& l : later) {
        if (l.m->fate == ModernFate::RecentlyDeleted) {
            if (l.m->deleteDate == 0) throw GenError("a Recently Deleted message needs its delete date");
            recoverable.integer(1, l.chatId).integer(2, l.rowid).integer(3, l.m->deleteDate).run();
            // Every other one also keeps its deleted part, the text as an archive.
            if (l.m->keepPart) {
                recoverablePart.integer(1, l.chatId)
                    .integer(2, l.rowid)
                    .integer(3, l.m->deleteDate)
                    .blob(4, archiveText(l.m->text, {}))
                    .run();
            }
        }
        Stmt drop(db, "DELETE FROM chat_message_join WHERE message_id = ?");
        drop.integer(1, l.rowid).run();
    }
    db.exec("COMMIT");
    if (walCopy) {
        // Copied while the connection is open: closing would checkpoint the log.
        copyFile(file.string() + "-wal", *walCopy);
    }
}

// With `walCopy`, the deletes of persons go to a write-ahead log that is
// never checkpointed (main file copied to `mainCopy` when the log starts).
void writeModernAddressBook(const fs::path& file, const ModernSpec& shape, const fs::path* mainCopy,
                            const fs::path* walCopy) {
    Rng rng(uint64_t{shape.seed} * 0x2545F4914F6CDD1DULL + 5);
    Db db(file);
    db.exec("PRAGMA page_size=4096");
    db.exec("PRAGMA secure_delete=OFF");
    db.exec("PRAGMA synchronous=OFF");
    db.exec("BEGIN");
    db.exec("CREATE TABLE _SqliteDatabaseProperties (key TEXT, value TEXT, UNIQUE(key))");
    db.exec("INSERT INTO _SqliteDatabaseProperties VALUES ('_ClientVersion', '83')");
    db.exec(
        "CREATE TABLE ABPerson (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, First TEXT, Last TEXT, Middle TEXT, "
        "FirstPhonetic TEXT, MiddlePhonetic TEXT, LastPhonetic TEXT, Organization TEXT, Department TEXT, Note TEXT, "
        "Kind INTEGER, Birthday TEXT, JobTitle TEXT, Nickname TEXT, Prefix TEXT, Suffix TEXT, FirstSort TEXT, "
        "LastSort TEXT, CreationDate INTEGER, ModificationDate INTEGER, CompositeNameFallback TEXT, "
        "ExternalIdentifier TEXT, ExternalModificationTag TEXT, ExternalUUID TEXT, StoreID INTEGER, "
        "DisplayName TEXT, ExternalRepresentation BLOB, FirstSortSection TEXT, LastSortSection TEXT, "
        "FirstSortLanguageIndex INTEGER DEFAULT 2147483647, LastSortLanguageIndex INTEGER DEFAULT 2147483647, "
        "PersonLink INTEGER DEFAULT -1, ImageURI TEXT, IsPreferredName INTEGER DEFAULT 1, "
        "guid TEXT NOT NULL DEFAULT (ab_generate_guid()), PhonemeData TEXT, AlternateBirthday TEXT, MapsData TEXT, "
        "FirstPronunciation TEXT, MiddlePronunciation TEXT, LastPronunciation TEXT, OrganizationPhonetic TEXT, "
        "OrganizationPronunciation TEXT, PreviousFamilyName TEXT, PreferredLikenessSource TEXT, "
        "PreferredPersonaIdentifier TEXT, PreferredChannel TEXT, DowntimeWhitelist TEXT, ImageType TEXT, "
        "ImageHash BLOB, MemojiMetadata BLOB, UNIQUE(guid))");
    db.exec("CREATE TABLE ABMultiValue (UID INTEGER PRIMARY KEY, record_id INTEGER, property INTEGER, "
            "identifier INTEGER, label INTEGER, value TEXT, guid TEXT NOT NULL DEFAULT (ab_generate_guid()), "
            "UNIQUE(guid))");
    db.exec("CREATE INDEX ABMultiValueRecordIDIndex ON ABMultiValue(record_id)");
    db.exec("CREATE TABLE ABMultiValueLabel (value TEXT, UNIQUE(value))");
    db.exec("CREATE TABLE ABMultiValueEntry (parent_id INTEGER, key INTEGER, value TEXT, UNIQUE(parent_id, key))");
    db.exec("CREATE TABLE ABMultiValueEntryKey (value TEXT, UNIQUE(value))");

    Stmt person(db, "INSERT INTO ABPerson (ROWID, First, Last, Middle, Organization, Department, Note, Kind, "
                    "Birthday, JobTitle, Nickname, Prefix, Suffix, CreationDate, ModificationDate, guid, StoreID) "
                    "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 0)");
    Stmt label(db, "INSERT OR IGNORE INTO ABMultiValueLabel (value) VALUES (?)");
    Stmt labelRow(db, "SELECT ROWID FROM ABMultiValueLabel WHERE value = ?");
    Stmt value(db, "INSERT INTO ABMultiValue (record_id, property, identifier, label, value, guid) "
                   "VALUES (?, ?, ?, ?, ?, ?)");
    std::vector<int64_t> deleted;
    for (const Person& p : shape.persons) {
        const bool organisation = !p.first && !p.last && p.organization;
        person.rowidOrNull(1, p.rowid)
            .optText(2, p.first)
            .optText(3, p.last)
            .optText(4, p.middle)
            .optText(5, p.organization)
            .optText(6, p.department)
            .optText(7, p.note)
            .integer(8, organisation ? 1 : 0)
            .optText(9, p.birthday)
            .optText(10, p.jobTitle)
            .optText(11, p.nickname)
            .optText(12, p.prefix)
            .optText(13, p.suffix)
            .integer(14, detail::kBackupMoment)
            .integer(15, detail::kBackupMoment)
            .text(16, detail::makeUuid(rng) + ":ABPerson")
            .run();
        int64_t id = db.lastRowid();
        if (p.deleted) deleted.push_back(id);
        int identifier = 0;
        for (const PersonValue& v : p.values) {
            std::optional<int64_t> labelId;
            if (!v.label.empty()) {
                label.text(1, v.label).run();
                labelRow.text(1, v.label);
                if (labelRow.step()) labelId = labelRow.columnInt(0);
                labelRow.reset();
            }
            value.integer(1, id).integer(2, v.property).integer(3, identifier++);
            if (labelId) {
                value.integer(4, *labelId);
            } else {
                value.null(4);
            }
            value.optText(5, v.value).text(6, detail::makeUuid(rng)).run();
        }
    }
    db.exec("COMMIT");
    if (walCopy) {
        db.exec("PRAGMA journal_mode=WAL");
        db.exec("PRAGMA wal_autocheckpoint=0");
        copyFile(file, *mainCopy);
    }
    for (int64_t id : deleted) {
        db.exec("DELETE FROM ABMultiValue WHERE record_id = " + std::to_string(id));
        db.exec("DELETE FROM ABPerson WHERE ROWID = " + std::to_string(id));
    }
    if (walCopy) copyFile(file.string() + "-wal", *walCopy);
}

}  // namespace

std::vector<std::string> modernMessageColumns(int iosMajor) {
    std::vector<std::string> out(std::begin(kIos13MessageColumns), std::end(kIos13MessageColumns));
    auto add = [&out](std::initializer_list<const char*> more) { out.insert(out.end(), more.begin(), more.end()); };
    if (iosMajor >= 14) {
        add({"reply_to_guid", "sort_id", "is_spam", "has_unseen_mention", "thread_originator_guid",
             "thread_originator_part"});
    }
    if (iosMajor >= 15) add({"syndication_ranges", "was_delivered_quietly", "did_notify_recipient"});
    if (iosMajor >= 16) {
        add({"synced_syndication_ranges", "date_retracted", "date_edited", "was_detonated", "part_count",
             "is_stewie"});
    }
    if (iosMajor >= 17) add({"is_kt_verified"});
    if (iosMajor >= 18) {
        add({"is_sos", "is_critical", "bia_reference_id", "fallback_hash", "associated_message_emoji",
             "is_pending_satellite_send", "needs_relay", "schedule_type", "schedule_state",
             "sent_or_received_off_grid", "date_recovered"});
    }
    return out;
}

ModernSpec modernSpec(int iosMajor, int messages, uint32_t seed) {
    ModernSpec shape;
    shape.iosMajor = iosMajor;
    shape.seed = seed;
    static const std::map<int, std::pair<const char*, const char*>> kDevices = {
        {11, {"iPhone10,3", "11.4.1"}}, {12, {"iPhone11,8", "12.5.7"}}, {13, {"iPhone12,1", "13.7"}},
        {14, {"iPhone13,2", "14.8.1"}}, {15, {"iPhone14,5", "15.8"}},   {16, {"iPhone15,2", "16.7.10"}},
        {17, {"iPhone16,1", "17.6.1"}}, {18, {"iPhone17,1", "18.3.1"}},
    };
    auto device = kDevices.find(iosMajor);
    if (device != kDevices.end()) {
        shape.device.productType = device->second.first;
        shape.device.productVersion = device->second.second;
    }
    shape.device.deviceName = "Modern iPhone";
    shape.device.serial = "F2LMODERN" + std::to_string(iosMajor);
    Rng rng(uint64_t{seed} * 0x9E3779B97F4A7C15ULL + 3);

    shape.chats = {
        {{"+15183808956"}, "", "iMessage"},
        {{"+15185550123"}, "", "SMS"},
        {{"ana.example@icloud.com"}, "", "iMessage"},
        {{"22000"}, "", "SMS"},
        {{"+15183808956", "+15185550123", "bo@example.org"}, "Weekend plans", "iMessage"},
        {{"+15185550177", "+15185550188"}, "", "iMessage"},
    };
    shape.persons = {
        {0, "Ana", "Example", std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
         std::nullopt, std::nullopt, std::nullopt,
         {{3, "_$!<Mobile>!$_", "(518) 380-8956"}, {4, "_$!<Home>!$_", "Ana.Example@iCloud.com"}}, false},
        {0, "Carl", "Okafor", std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
         std::nullopt, std::nullopt, std::nullopt, {{3, "_$!<Mobile>!$_", "518-555-0123"}}, false},
        {0, std::nullopt, std::nullopt, std::nullopt, "Acme Corp", std::nullopt, std::nullopt, std::nullopt,
         std::nullopt, std::nullopt, std::nullopt, std::nullopt, {{4, "_$!<Work>!$_", "bo@example.org"}}, false},
        {0, "Gone", "Person", std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
         std::nullopt, std::nullopt, std::nullopt, {{3, "_$!<Mobile>!$_", "+1 518 555 0199"}}, true},
    };

    static const char* const kWords[] = {"see", "you", "at", "the", "caf\xC3\xA9", "tomorrow", "ok", "\xF0\x9F\x98\x80",
                                          "running", "late", "call", "me", "when", "free", "thanks"};
    // From 2019-06-01 to about 2026-06-01, spread evenly with some jitter:
    // dates before and after 2020 whatever the count.
    int64_t date = 581126400LL * 1000000000LL;
    const int64_t step = 220898000LL / std::max(messages, 1);
    const bool modern16 = iosMajor >= 16;
    for (int i = 0; i < messages; ++i) {
        ModernMessage m;
        const int kind = i % 25;
        const bool edit = modern16 && kind == 13;
        const bool unsend = modern16 && kind == 17;
        // Edits and unsending exist for iMessage only; unsending for one's own messages.
        m.chat = edit || unsend ? 0 : rng.below(static_cast<uint32_t>(shape.chats.size()));
        const ModernChat& c = shape.chats[m.chat];
        m.fromMe = unsend || rng.chance(45);
        m.sender = rng.below(static_cast<uint32_t>(c.members.size()));
        date += (step / 2 + static_cast<int64_t>(rng.below(static_cast<uint32_t>(std::max<int64_t>(step, 1))))) *
                    1000000000LL +
                rng.below(1000000000);
        m.date = date;
        int words = 1 + static_cast<int>(rng.below(12));
        for (int w = 0; w < words; ++w) m.text += (w ? " " : "") + std::string(kWords[rng.below(15)]);
        if (i % 17 == 5) {
            m.text += " \xEF\xBF\xBC";
            m.attachments = {"IMG_" + std::to_string(1000 + i) + ".HEIC"};
        }
        m.text += " #" + std::to_string(i);
        m.blobOnly = i % 2 == 1;
        if (kind == 3) {
            m.fate = ModernFate::DeletedBySql;
        } else if (kind == 7) {
            m.fate = ModernFate::Orphaned;
        } else if (modern16 && (kind == 11 || kind == 19)) {
            m.fate = ModernFate::RecentlyDeleted;
            m.deleteDate = m.date + 86400LL * 1000000000LL;
            m.keepPart = kind == 19;
        } else if (edit) {
            m.fate = ModernFate::Edited;
            m.earlierVersions = {{"first try #" + std::to_string(i), static_cast<double>(m.date / 1000000000)}};
        } else if (unsend) {
            m.fate = ModernFate::Unsent;
        }
        shape.messages.push_back(std::move(m));
    }
    return shape;
}

std::string writeModernBackup(const fs::path& folder, const ModernSpec& shape, std::vector<PlannedMessage>* planned) {
    std::vector<PlannedMessage> ignored;
    std::vector<PlannedMessage>& out = planned ? *planned : ignored;
    out.clear();
    try {
        checkVersion(shape);
        BackupSpec frame;
        frame.device = shape.device;
        frame.seed = shape.seed;
        frame.subfolderLayout = shape.subfolderLayout;
        frame.messageDB = Damage::Missing;
        frame.addressBook = Damage::Missing;
        std::string error = writeBackup(folder, frame);
        if (!error.empty()) return error;

        // Each database is written in a scratch folder beside the backup and
        // then copied in under its hashed name.
        const fs::path scratch = folder / ".kestrel-gen-scratch";
        fs::remove_all(scratch);
        fs::create_directories(scratch);
        const fs::path messageFile = placed(folder, kMessageDb, shape.subfolderLayout);
        const fs::path walFile = placed(folder, kMessageWalName, shape.subfolderLayout);
        fs::remove(walFile);
        if (shape.wal) {
            writeModernMessages(scratch / "sms.db", shape, out, &messageFile, &walFile);
        } else {
            writeModernMessages(scratch / "sms.db", shape, out, nullptr, nullptr);
            copyFile(scratch / "sms.db", messageFile);
        }
        fs::remove_all(scratch);
        fs::create_directories(scratch);
        const fs::path bookFile = placed(folder, kAddressBookDb, shape.subfolderLayout);
        const fs::path bookWal = placed(folder, kAddressBookWalName, shape.subfolderLayout);
        fs::remove(bookWal);
        if (shape.wal) {
            writeModernAddressBook(scratch / "AddressBook.sqlitedb", shape, &bookFile, &bookWal);
        } else {
            writeModernAddressBook(scratch / "AddressBook.sqlitedb", shape, nullptr, nullptr);
            copyFile(scratch / "AddressBook.sqlitedb", bookFile);
        }
        fs::remove_all(scratch);
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

}  // namespace kestrel::gen
