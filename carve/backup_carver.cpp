#include "carve/backup_carver.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "app/backup_discovery.h"
#include "app/message_direction.h"
#include "carve/message_bytes.h"
#include "carve/key_set.h"
#include "carve/page_carver.h"
#include "extract/conversions.h"
#include "extract/typedstream.h"

namespace kestrel {

namespace fs = std::filesystem;
using carving::CarvedRecord;
using carving::Value;
using carving::ValueKind;

namespace {

bool isRegularFile(const std::string& path) {
    std::error_code ec;
    return !path.empty() && fs::is_regular_file(path, ec);
}

// The companion beside the database, else the one under its own hashed name.
std::string companionPath(const std::string& folder, const std::string& databasePath, const char* suffix,
                          const std::string& hashedName) {
    const std::string beside = databasePath + suffix;
    if (isRegularFile(beside)) return beside;
    const std::string hashed = databasePathInBackup(folder, hashedName);
    return isRegularFile(hashed) ? hashed : std::string();
}

// Column positions of a table, by name (case-insensitive), from the schema.
class Columns {
public:
    Columns() = default;
    Columns(const carving::CarveSummary& summary, const std::string& table) {
        for (size_t t = 0; t < summary.tableNames.size(); ++t) {
            if (!sameName(summary.tableNames[t], table)) continue;
            names_ = summary.columnNames[t];
            found_ = true;
        }
    }
    bool found() const { return found_; }
    size_t size() const { return names_.size(); }
    int operator[](const char* name) const {
        for (size_t i = 0; i < names_.size(); ++i)
            if (sameName(names_[i], name)) return static_cast<int>(i);
        return -1;
    }

    static bool sameName(const std::string& a, const std::string& b) {
        if (a.size() != b.size()) return false;
        for (size_t i = 0; i < a.size(); ++i) {
            const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
            if (lower(a[i]) != lower(b[i])) return false;
        }
        return true;
    }

private:
    std::vector<std::string> names_;
    bool found_ = false;
};

const Value* at(const CarvedRecord& r, int column) {
    if (column < 0 || static_cast<size_t>(column) >= r.values.size()) return nullptr;
    return &r.values[static_cast<size_t>(column)];
}

std::string textOf(const CarvedRecord& r, int column) {
    const Value* v = at(r, column);
    if (v == nullptr) return std::string();
    if (v->kind == ValueKind::Text) return v->bytes;
    if (v->kind == ValueKind::Integer) return std::to_string(v->integer);
    return std::string();
}

std::optional<int64_t> numberOf(const CarvedRecord& r, int column) {
    const Value* v = at(r, column);
    if (v == nullptr) return std::nullopt;
    if (v->kind == ValueKind::Integer) return v->integer;
    if (v->kind == ValueKind::Real) return static_cast<int64_t>(v->real);
    return std::nullopt;
}

// Bytes a record takes at most beyond its start: its values, a header byte
// or more per value, the payload and row-number varints.
int64_t spanOf(const CarvedRecord& r) {
    int64_t n = 24;
    for (const Value& v : r.values) n += static_cast<int64_t>(v.bytes.size()) + 9 + 1;
    return n;
}

Provenance provenanceOf(const CarvedRecord& r) {
    Provenance p;
    p.file = r.provenance.file;
    p.area = r.provenance.area;
    p.page = r.provenance.page;
    p.offset = r.provenance.offset;
    p.frame = r.provenance.frame;
    p.commit = r.provenance.commit;
    return p;
}

// Where a record's bytes lie in its database page.
template <typename Ptr>
void placeInPage(CarvedEntry<Ptr>& entry, const CarvedRecord& r, const std::string& databaseName, int64_t pageSize) {
    if (pageSize <= 0 || r.provenance.page <= 0) return;
    int64_t inPage = -1;
    if (r.provenance.file == databaseName) {
        inPage = r.provenance.offset - (r.provenance.page - 1) * pageSize;
    } else if (r.provenance.frame) {
        const int64_t imageStart = 32 + (*r.provenance.frame - 1) * (24 + pageSize) + 24;
        inPage = r.provenance.offset - imageStart;
    }
    if (inPage < 0 || inPage >= pageSize) return;
    entry.page = r.provenance.page;
    entry.pageBegin = inPage;
    entry.pageEnd = inPage + spanOf(r);
}

uint64_t mixHash(uint64_t h, std::string_view s) {
    h ^= std::hash<std::string_view>{}(s) + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
    return h;
}
uint64_t mixHash(uint64_t h, int64_t v) {
    h ^= static_cast<uint64_t>(v) * 0xC2B2AE3D27D4EB4Full + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
    return h;
}

// ---- Messages ----

struct MessageColumns {
    Columns m, handle;
    bool ios5 = false;  // the iOS 5 layout: the address is in the row
    int text = -1, attributedBody = -1, date = -1, handleId = -1, fromMe = -1, service = -1;
    int address = -1, flags = -1, isMadrid = -1, madridHandle = -1, madridFlags = -1;
    int handleIdText = -1;
    Columns attachment;
    int attachmentGuid = -1, transferName = -1, filename = -1;
    // The conversation a message belongs to, and when it went to Recently Deleted.
    Columns chat, chatJoin, recoverableJoin, chatHandle;
    int chatName = -1, joinChat = -1, joinMessage = -1, recoverableChat = -1, recoverableMessage = -1,
        deleteDate = -1, memberChat = -1, memberHandle = -1;

    void read(const carving::CarveSummary& summary) {
        m = Columns(summary, "message");
        handle = Columns(summary, "handle");
        text = m["text"];
        attributedBody = m["attributedBody"];
        date = m["date"];
        handleId = m["handle_id"];
        fromMe = m["is_from_me"];
        service = m["service"];
        address = m["address"];
        flags = m["flags"];
        isMadrid = m["is_madrid"];
        madridHandle = m["madrid_handle"];
        madridFlags = m["madrid_flags"];
        ios5 = handleId < 0 && address >= 0;
        handleIdText = handle["id"];
        attachment = Columns(summary, "attachment");
        attachmentGuid = attachment["guid"];
        transferName = attachment["transfer_name"];
        filename = attachment["filename"];
        chat = Columns(summary, "chat");
        chatName = chat["display_name"];
        chatJoin = Columns(summary, "chat_message_join");
        joinChat = chatJoin["chat_id"];
        joinMessage = chatJoin["message_id"];
        recoverableJoin = Columns(summary, "chat_recoverable_message_join");
        recoverableChat = recoverableJoin["chat_id"];
        recoverableMessage = recoverableJoin["message_id"];
        deleteDate = recoverableJoin["delete_date"];
        chatHandle = Columns(summary, "chat_handle_join");
        memberChat = chatHandle["chat_id"];
        memberHandle = chatHandle["handle_id"];
    }
};

// What a message shows: its text, date, correspondent and direction.
struct MessageView {
    std::string text;
    const std::string* body = nullptr;  // the attributedBody blob, when there is one
    // The blob decoded, for a view kept past its record: the decoded text is
    // a fraction of the archive, which is not kept.
    std::optional<AttributedText> decodedBody;
    bool earlierVersion = false;  // an older image of a row that still exists
    Provenance provenance;
    std::vector<std::string> attachments;
    int64_t date = 0;
    std::string phone;  // the iOS 5 layout's address, else empty
    int64_t handleId = -1;
    std::optional<int64_t> rowid;
    std::string direction;
    std::string service;
    bool iMessage = false;

    uint64_t key = 0;  // messageKey of the record
};

MessageView viewOf(const CarvedRecord& r, const MessageColumns& c) {
    MessageView v;
    v.text = textOf(r, c.text);
    if (const Value* body = at(r, c.attributedBody); body != nullptr && body->kind == ValueKind::Blob)
        v.body = &body->bytes;
    v.date = numberOf(r, c.date).value_or(0);
    if (c.ios5) {
        const bool madrid = numberOf(r, c.isMadrid).value_or(0) == 1;
        v.iMessage = madrid;
        v.phone = madrid ? textOf(r, c.madridHandle) : textOf(r, c.address);
        if (madrid && v.text.empty()) v.text = textOf(r, c.m["madrid_attachmentInfo"]);
        const std::optional<int64_t> flags = numberOf(r, madrid ? c.madridFlags : c.flags);
        v.direction = flagsWord(static_cast<int32_t>(flags.value_or(0)));
    } else {
        v.handleId = numberOf(r, c.handleId).value_or(-1);
        const std::optional<int64_t> fromMe = numberOf(r, c.fromMe);
        v.direction = fromMe ? fromMeWord(*fromMe, "unknown") : "unknown";
        v.service = textOf(r, c.service);
        v.iMessage = !v.service.empty() && v.service != "SMS";
    }
    return v;
}

std::string_view bytesOf(const CarvedRecord& r, int column) {
    const Value* v = at(r, column);
    return (v != nullptr && (v->kind == ValueKind::Text || v->kind == ValueKind::Blob)) ? std::string_view(v->bytes)
                                                                                        : std::string_view();
}

// What a message shows, as a hash of its stored values (text, body, date,
// correspondent, direction), read in place: images that differ only in
// flags or states compare equal, and live rows are keyed without copies.
uint64_t messageKey(const CarvedRecord& r, const MessageColumns& c) {
    uint64_t h = mixHash(0, bytesOf(r, c.text));
    h = mixHash(h, bytesOf(r, c.attributedBody));
    h = mixHash(h, numberOf(r, c.date).value_or(0));
    if (c.ios5) {
        const bool madrid = numberOf(r, c.isMadrid).value_or(0) == 1;
        h = mixHash(h, bytesOf(r, madrid ? c.madridHandle : c.address));
        return mixHash(h, numberOf(r, madrid ? c.madridFlags : c.flags).value_or(0));
    }
    h = mixHash(h, numberOf(r, c.handleId).value_or(-1));
    return mixHash(h, numberOf(r, c.fromMe).value_or(-1));
}

// The columns messageKey reads, marked by index: the only ones a live
// message row needs decoded.
std::vector<bool> messageKeyColumns(const MessageColumns& c) {
    std::vector<bool> wanted;
    for (const int i : {c.text, c.attributedBody, c.date, c.isMadrid, c.madridHandle, c.address, c.madridFlags, c.flags,
                        c.handleId, c.fromMe}) {
        if (i < 0) continue;
        if (wanted.size() <= static_cast<size_t>(i)) wanted.resize(static_cast<size_t>(i) + 1, false);
        wanted[static_cast<size_t>(i)] = true;
    }
    return wanted;
}

// The text as shown: the archived body's string when it decodes (each
// attachment's place named from the attachment rows by its GUID), else the
// text column, each attachment's place marked.
void showText(MessageView& v, const std::unordered_map<std::string, std::string>& attachmentNames) {
    std::optional<AttributedText> decoded = std::move(v.decodedBody);
    if (!decoded && v.body != nullptr)
        decoded = decodeAttributedBody(reinterpret_cast<const uint8_t*>(v.body->data()), v.body->size());
    if (decoded) {
        v.text = describeAttachments(*decoded, [&](const std::string& guid, size_t) {
            auto it = attachmentNames.find(guid);
            if (it == attachmentNames.end()) return std::string();
            v.attachments.push_back(it->second);
            return it->second;
        });
        return;
    }
    v.text = describeAttachments(v.text, std::vector<std::string>{});
}

// ---- Contacts ----

struct PersonColumns {
    Columns p, values;
    int first = -1, last = -1, middle = -1, organization = -1, department = -1, jobTitle = -1, note = -1,
        birthday = -1;
    int recordId = -1, property = -1, value = -1;
    // What names a person's row number when its freed cell lost it: the
    // change log (row number and guid of every person changed or deleted)
    // and the name index (row number and names).
    Columns changes, names;
    int guid = -1, changedRecord = -1, changedGuid = -1, nameFirst = -1, nameLast = -1, nameOrganization = -1;

    void read(const carving::CarveSummary& summary) {
        changes = Columns(summary, "ABPersonChanges");
        changedRecord = changes["record"];
        changedGuid = changes["guid"];
        names = Columns(summary, "ABPersonFullTextSearch_content");
        nameFirst = names["c0First"];
        nameLast = names["c1Last"];
        nameOrganization = names["c6Organization"];
        p = Columns(summary, "ABPerson");
        guid = p["guid"];
        values = Columns(summary, "ABMultiValue");
        first = p["First"];
        last = p["Last"];
        middle = p["Middle"];
        organization = p["Organization"];
        department = p["Department"];
        jobTitle = p["JobTitle"];
        note = p["Note"];
        birthday = p["Birthday"];
        recordId = values["record_id"];
        property = values["property"];
        value = values["value"];
    }
};

// "%@ %@": the current text, one space, the value, as the other readers append.
void append(std::string& to, const std::string& value) {
    to += ' ';
    to += value;
}

ContactPtr contactOf(const CarvedRecord& r, const PersonColumns& c) {
    auto contact = std::make_shared<TovContactNode>();
    if (r.rowid) contact->setRowid(static_cast<int32_t>(*r.rowid));
    std::string name = textOf(r, c.first);
    if (const std::string middle = textOf(r, c.middle); !middle.empty()) append(name, middle);
    if (const std::string last = textOf(r, c.last); !last.empty()) append(name, last);
    contact->setContactName(std::move(name));
    std::string company = textOf(r, c.department);
    if (const std::string title = textOf(r, c.jobTitle); !title.empty()) append(company, title);
    if (const std::string org = textOf(r, c.organization); !org.empty()) append(company, org);
    contact->setContactCompany(std::move(company));
    contact->setContactNote(textOf(r, c.note));
    contact->setContactBirthday(textOf(r, c.birthday));
    return contact;
}

uint64_t contactKey(const TovContactNode& c) {
    uint64_t h = mixHash(0, c.contactName());
    h = mixHash(h, c.contactCompany());
    return mixHash(h, c.contactNote());
}

bool hasContent(const TovContactNode& c) {
    return !c.contactName().empty() || !c.contactCompany().empty() || !c.contactNote().empty() ||
           !c.contactPhone().empty() || !c.contactEmail().empty();
}

carving::CarveInputs inputsOf(const RawFile* database, const RawFile* wal, const RawFile* journal,
                              const std::string& databaseName) {
    carving::CarveInputs inputs;
    inputs.database = database;
    inputs.wal = wal;
    inputs.journal = journal;
    inputs.databaseName = databaseName;
    inputs.walName = databaseName + "-wal";
    inputs.journalName = databaseName + "-journal";
    return inputs;
}

// Where the older walks found their records: offsets in each page.
using WalkedOffsets = std::unordered_map<int64_t, std::vector<int64_t>>;

template <typename Walked>
WalkedOffsets walkedOffsets(const std::vector<Walked>& listed, int64_t pageSize) {
    WalkedOffsets byPage;
    if (pageSize <= 0) return byPage;
    for (const Walked& w : listed)
        if (w.offset && *w.offset >= 0) byPage[*w.offset / pageSize + 1].push_back(*w.offset % pageSize);
    return byPage;
}

// Whether a walk found a record inside the carved record's bytes.
template <typename Ptr>
bool foundByWalk(const CarvedEntry<Ptr>& carved, const WalkedOffsets& walked) {
    if (carved.page <= 0) return false;
    auto it = walked.find(carved.page);
    if (it == walked.end()) return false;
    for (int64_t inPage : it->second)
        if (inPage >= carved.pageBegin && inPage < carved.pageEnd) return true;
    return false;
}

}  // namespace

BackupDatabaseFiles openBackupDatabase(const std::string& folder, const std::string& hashedName,
                                       const std::string& walHashedName, const std::string& journalHashedName) {
    BackupDatabaseFiles files;
    files.databasePath = databasePathInBackup(folder, hashedName);
    if (!isRegularFile(files.databasePath)) {
        files.databasePath.clear();
        return files;
    }
    files.database = RawFile::open(files.databasePath);
    files.walPath = companionPath(folder, files.databasePath, "-wal", walHashedName);
    files.journalPath = companionPath(folder, files.databasePath, "-journal", journalHashedName);
    if (!files.walPath.empty()) files.wal = RawFile::open(files.walPath);
    if (!files.journalPath.empty()) files.journal = RawFile::open(files.journalPath);
    return files;
}

LiveCellRanges::LiveCellRanges(std::vector<std::pair<int64_t, int64_t>> ranges) {
    std::sort(ranges.begin(), ranges.end());
    // Merged in place: the ranges kept never outrun the ones read.
    size_t kept = 0;
    for (const auto& r : ranges) {
        if (r.second <= r.first) continue;
        if (kept > 0 && r.first <= ranges[kept - 1].second)
            ranges[kept - 1].second = std::max(ranges[kept - 1].second, r.second);
        else
            ranges[kept++] = r;
    }
    ranges.resize(kept);
    ranges.shrink_to_fit();
    ranges_ = std::make_shared<const std::vector<std::pair<int64_t, int64_t>>>(std::move(ranges));
}

bool LiveCellRanges::contains(int64_t offset) const {
    if (empty()) return false;
    const auto& ranges = *ranges_;
    auto it = std::upper_bound(ranges.begin(), ranges.end(), offset,
                               [](int64_t o, const std::pair<int64_t, int64_t>& r) { return o < r.first; });
    if (it == ranges.begin()) return false;
    --it;
    return offset >= it->first && offset < it->second;
}

CarvedBackupRecords carveMessageDatabase(const RawFile* database, const RawFile* wal, const RawFile* journal,
                                         const std::string& databaseName,
                                         const std::function<void(LiveCellRanges)>& liveCellsKnown) {
    CarvedBackupRecords out;
    if (database == nullptr) return out;
    MessageColumns c;
    std::vector<std::pair<int64_t, int64_t>> live;
    std::unordered_map<int64_t, std::string> handles;        // live handle rows
    std::unordered_map<int64_t, std::string> carvedHandles;  // deleted or earlier handle rows
    carving::KeySet foundKeys;  // messageKey of every carved message
    carving::KeySet liveKeys;   // those of them a live message shows too
    // One allocation each: a vector of the entries themselves would copy
    // them all each time it grows, at the carve's peak.
    std::vector<std::unique_ptr<std::pair<CarvedEntry<MessagePtr>, MessageView>>> found;
    std::vector<std::unique_ptr<std::string>> bodies;
    std::unordered_map<std::string, std::string> attachmentNames;  // attachment GUID -> file name
    int64_t pageSize = 0;

    carving::CarveOptions options;
    options.includeLive = true;
    // The live rows of the small tables that name a conversation; the
    // message joins only as carved rows (a deleted message's join row goes
    // with it, and the live ones are as many as the messages). Live
    // messages come after the carved records, with only the columns of
    // their key: only the carved messages' keys are held to match them.
    options.liveTables = {"handle", "attachment", "chat", "chat_handle_join", "chat_recoverable_message_join"};
    options.liveAfterCarved = {"message"};
    options.liveColumns = [&c](const std::string&) { return messageKeyColumns(c); };
    // A live message can share a carved one's key only with its date: the
    // others are passed over unread.
    carving::KeySet foundDates;  // dates of the carved messages
    options.liveRowTest = [&](const std::string&) -> std::optional<carving::CarveOptions::LiveRowTest> {
        if (c.date < 0) return std::nullopt;
        carving::CarveOptions::LiveRowTest test;
        test.column = static_cast<size_t>(c.date);
        test.accept = [&foundDates](const Value& v) {
            const int64_t date = v.kind == ValueKind::Integer ? v.integer
                                 : v.kind == ValueKind::Real  ? static_cast<int64_t>(v.real)
                                                              : 0;
            return foundDates.contains(static_cast<uint64_t>(date));
        };
        return test;
    };
    options.liveCells = &live;
    // Made once, as soon as the carver has them all; the caller's copy
    // shares them.
    std::optional<LiveCellRanges> liveRanges;
    options.onLiveCells = [&] {
        liveRanges = LiveCellRanges(std::move(live));
        if (liveCellsKnown) liveCellsKnown(*liveRanges);
    };
    options.onSchema = [&](const carving::CarveSummary& summary) {
        c.read(summary);
        pageSize = summary.pageSize;
    };
    struct ChatName {
        std::string name;
        bool live = false;
    };
    std::unordered_map<int64_t, ChatName> chatNames;                        // chat row number -> display name
    std::unordered_map<int64_t, std::vector<int64_t>> chatMembers;          // chat row number -> handle row numbers
    std::unordered_map<int64_t, int64_t> carvedJoins;                       // message row number -> chat
    std::unordered_map<int64_t, std::pair<int64_t, int64_t>> recoverables;  // message -> (chat, delete date)
    const carving::CarveSummary summary = carving::carveSqliteRecords(
        inputsOf(database, wal, journal, databaseName), options, [&](const CarvedRecord& r) {
            if (Columns::sameName(r.table, "chat")) {
                // A live row's name wins over an older image's.
                if (!r.rowid) return;
                ChatName& known = chatNames[*r.rowid];
                if (known.live) return;
                if (r.status == "live" || known.name.empty()) known = {textOf(r, c.chatName), r.status == "live"};
                return;
            }
            if (Columns::sameName(r.table, "chat_handle_join")) {
                const auto chat = numberOf(r, c.memberChat);
                const auto handle = numberOf(r, c.memberHandle);
                if (!chat || !handle) return;
                auto& members = chatMembers[*chat];
                if (std::find(members.begin(), members.end(), *handle) == members.end()) members.push_back(*handle);
                return;
            }
            if (Columns::sameName(r.table, "chat_message_join")) {
                const auto chat = numberOf(r, c.joinChat);
                const auto message = numberOf(r, c.joinMessage);
                if (chat && message && r.status != "live") carvedJoins.emplace(*message, *chat);
                return;
            }
            if (Columns::sameName(r.table, "chat_recoverable_message_join")) {
                // A carved image with fewer values than the table has columns
                // may be a `chat_message_join` row of a page that table used
                // before (the same first columns, the message's own date
                // third): only whole rows say when a message was deleted.
                if (r.status != "live" && r.values.size() < c.recoverableJoin.size()) return;
                const auto chat = numberOf(r, c.recoverableChat);
                const auto message = numberOf(r, c.recoverableMessage);
                if (chat && message) recoverables.emplace(*message, std::make_pair(*chat, numberOf(r, c.deleteDate).value_or(0)));
                return;
            }
            if (Columns::sameName(r.table, "handle")) {
                if (!r.rowid) return;
                const std::string id = textOf(r, c.handleIdText);
                if (r.status == "live") handles[*r.rowid] = id;
                else if (!id.empty()) carvedHandles.emplace(*r.rowid, id);
                return;
            }
            if (Columns::sameName(r.table, "attachment")) {
                std::string guid = textOf(r, c.attachmentGuid);
                std::string name = textOf(r, c.transferName);
                if (name.empty()) {
                    name = textOf(r, c.filename);
                    if (const size_t slash = name.rfind('/'); slash != std::string::npos) name.erase(0, slash + 1);
                }
                if (!guid.empty() && !name.empty()) attachmentNames.emplace(std::move(guid), std::move(name));
                return;
            }
            if (!Columns::sameName(r.table, "message")) return;
            const uint64_t key = messageKey(r, c);
            if (r.status == "live") {
                if (foundKeys.contains(key)) liveKeys.insert(key);
                return;
            }
            foundKeys.insert(key);
            foundDates.insert(static_cast<uint64_t>(numberOf(r, c.date).value_or(0)));
            MessageView view = viewOf(r, c);
            view.key = key;
            view.rowid = r.rowid;
            // The values go with the record: the body is kept decoded, or
            // else as a copy.
            if (view.body != nullptr) {
                view.decodedBody = decodeAttributedBody(reinterpret_cast<const uint8_t*>(view.body->data()), view.body->size());
                if (view.decodedBody) {
                    view.body = nullptr;
                } else {
                    bodies.push_back(std::make_unique<std::string>(*view.body));
                    view.body = bodies.back().get();
                }
            }
            // The record itself is made once the message is known to be listed.
            view.earlierVersion = r.status == "earlier version";
            view.provenance = provenanceOf(r);
            CarvedEntry<MessagePtr> entry;
            placeInPage(entry, r, databaseName, pageSize);
            found.push_back(std::make_unique<std::pair<CarvedEntry<MessagePtr>, MessageView>>(std::move(entry), std::move(view)));
        });
    out.carved = summary.readable && c.m.found();
    out.pageSize = summary.pageSize;
    out.liveCells = liveRanges ? std::move(*liveRanges) : LiveCellRanges(std::move(live));
    if (!out.carved) return out;

    const MessageDateLayout layout = c.ios5 ? MessageDateLayout::Ios5 : MessageDateLayout::Ios6OrLater;
    carving::KeySet listedKeys;
    listedKeys.reserve(found.size());
    out.messages.reserve(found.size());
    for (auto& one : found) {
        // Each goes as soon as it is dealt with.
        const auto taken = std::move(one);
        auto& [entry, view] = *taken;
        const uint64_t key = view.key;
        // An old image of a message that still exists, or the same message
        // found twice with different flags: not listed again.
        if (liveKeys.contains(key) || !listedKeys.insert(key)) continue;
        entry.record = std::make_shared<TovMessageNode>();
        TovMessageNode& m = *entry.record;
        m.setSource(view.earlierVersion ? kSourceEarlierVersion : kSourceCarved);
        m.setProvenance(std::move(view.provenance));
        showText(view, attachmentNames);
        m.setMessageContent(view.text);
        if (!view.attachments.empty()) m.setAttachments(view.attachments);
        m.setMessageDate(formatMessageDate(view.date, layout));
        entry.walkDate = formatStoredDate(view.date);
        m.setMessageType(view.direction);
        m.setBImessage(view.iMessage);
        if (!view.service.empty()) m.setService(view.service);
        if (c.ios5) {
            m.setMessagePhone(view.phone);
        } else {
            m.setHandle_id(static_cast<int32_t>(view.handleId));
            auto h = handles.find(view.handleId);
            if (h != handles.end()) {
                m.setMessagePhone(h->second);
            } else if (auto d = carvedHandles.find(view.handleId); d != carvedHandles.end()) {
                m.setMessagePhone(d->second);
            }
        }
        // Its conversation: the Recently Deleted join (with the time of the
        // delete) or the carved join row, when one survives. Without them the
        // conversation and the time of the delete cannot be known.
        std::optional<int64_t> chat;
        if (view.rowid) {
            if (auto rec = recoverables.find(*view.rowid); rec != recoverables.end()) {
                chat = rec->second.first;
                if (rec->second.second != 0)
                    m.setDeletedDate(formatMessageDate(rec->second.second, MessageDateLayout::Ios6OrLater));
            } else if (auto join = carvedJoins.find(*view.rowid); join != carvedJoins.end()) {
                chat = join->second;
            }
        }
        if (chat) {
            if (auto name = chatNames.find(*chat); name != chatNames.end()) m.setChat(name->second.name);
            if (m.chat().empty()) {
                if (auto members = chatMembers.find(*chat); members != chatMembers.end()) {
                    for (int64_t handle : members->second) {
                        const std::string* id = nullptr;
                        if (auto h = handles.find(handle); h != handles.end()) id = &h->second;
                        else if (auto d = carvedHandles.find(handle); d != carvedHandles.end()) id = &d->second;
                        if (id != nullptr && !id->empty()) entry.chatMembers.push_back(*id);
                    }
                }
            }
        }
        out.messages.push_back(std::move(entry));
    }
    return out;
}

CarvedBackupRecords carveAddressBook(const RawFile* database, const RawFile* wal, const RawFile* journal,
                                     const std::string& databaseName) {
    CarvedBackupRecords out;
    if (database == nullptr) return out;
    PersonColumns c;
    std::vector<std::pair<int64_t, int64_t>> live;
    std::unordered_set<uint64_t> liveKeys;
    struct ValueRow {
        int64_t property = 0;
        std::string value;
    };
    std::unordered_map<int64_t, std::vector<ValueRow>> values;  // by person row number
    int64_t pageSize = 0;

    carving::CarveOptions options;
    options.includeLive = true;
    options.liveTables = {"ABPerson", "ABMultiValue", "ABPersonChanges", "ABPersonFullTextSearch_content"};
    options.liveCells = &live;
    options.onSchema = [&](const carving::CarveSummary& summary) {
        c.read(summary);
        pageSize = summary.pageSize;
    };
    std::unordered_set<uint64_t> valueSeen;
    std::unordered_set<int64_t> livePersons;
    std::unordered_map<std::string, int64_t> recordOfGuid;                // from the change log
    std::unordered_map<uint64_t, std::unordered_set<int64_t>> recordsOfName;  // from the name index
    struct Rowless {
        size_t entry;
        std::string guid;
        uint64_t nameKey;
    };
    std::vector<Rowless> rowless;
    const auto nameKey = [](const std::string& first, const std::string& last, const std::string& organization) {
        return mixHash(mixHash(mixHash(0, first), last), organization);
    };
    const carving::CarveSummary summary = carving::carveSqliteRecords(
        inputsOf(database, wal, journal, databaseName), options, [&](const CarvedRecord& r) {
            if (Columns::sameName(r.table, "ABPersonChanges")) {
                const std::optional<int64_t> record = numberOf(r, c.changedRecord);
                const std::string guid = textOf(r, c.changedGuid);
                if (record && *record > 0 && !guid.empty()) recordOfGuid.emplace(guid, *record);
                return;
            }
            if (Columns::sameName(r.table, "ABPersonFullTextSearch_content")) {
                const std::string first = textOf(r, c.nameFirst), last = textOf(r, c.nameLast),
                                  organization = textOf(r, c.nameOrganization);
                if (r.rowid && (!first.empty() || !last.empty() || !organization.empty()))
                    recordsOfName[nameKey(first, last, organization)].insert(*r.rowid);
                return;
            }
            if (Columns::sameName(r.table, "ABMultiValue")) {
                const std::optional<int64_t> owner = numberOf(r, c.recordId);
                const std::optional<int64_t> property = numberOf(r, c.property);
                const std::string value = textOf(r, c.value);
                if (!owner || !property || value.empty()) return;
                // A value's earlier images repeat it: each value once per person.
                const uint64_t k = mixHash(mixHash(mixHash(0, *owner), *property), value);
                if (!valueSeen.insert(k).second) return;
                values[*owner].push_back({*property, value});
                return;
            }
            if (!Columns::sameName(r.table, "ABPerson")) return;
            ContactPtr contact = contactOf(r, c);
            if (r.status == "live") {
                liveKeys.insert(contactKey(*contact));
                if (r.rowid) livePersons.insert(*r.rowid);
                return;
            }
            if (!r.rowid)
                rowless.push_back({out.contacts.size(), textOf(r, c.guid),
                                   nameKey(textOf(r, c.first), textOf(r, c.last), textOf(r, c.organization))});
            contact->setSource(r.status == "earlier version" ? kSourceEarlierVersion : kSourceCarved);
            contact->setProvenance(provenanceOf(r));
            CarvedEntry<ContactPtr> entry;
            entry.record = std::move(contact);
            placeInPage(entry, r, databaseName, pageSize);
            out.contacts.push_back(std::move(entry));
        });
    out.carved = summary.readable && c.p.found();
    out.pageSize = summary.pageSize;
    out.liveCells = LiveCellRanges(std::move(live));
    if (!out.carved) {
        out.contacts.clear();
        return out;
    }
    // A person whose row number the freed cell lost: named by its guid in
    // the change log, else by its names in the name index when they point
    // at one person no longer there. Otherwise its number, and so its
    // phones and addresses, cannot be known.
    for (const Rowless& person : rowless) {
        std::optional<int64_t> record;
        if (auto g = recordOfGuid.find(person.guid); !person.guid.empty() && g != recordOfGuid.end()) {
            record = g->second;
        } else if (auto n = recordsOfName.find(person.nameKey); n != recordsOfName.end()) {
            std::optional<int64_t> only;
            size_t candidates = 0;
            for (int64_t id : n->second)
                if (livePersons.count(id) == 0) {
                    only = id;
                    ++candidates;
                }
            if (candidates == 1) record = only;
        }
        if (record && livePersons.count(*record) == 0 && *record <= INT32_MAX)
            out.contacts[person.entry].record->setRowid(static_cast<int32_t>(*record));
    }
    std::unordered_set<uint64_t> listedKeys;
    std::vector<CarvedEntry<ContactPtr>> kept;
    for (CarvedEntry<ContactPtr>& entry : out.contacts) {
        TovContactNode& person = *entry.record;
        if (person.rowid() >= 0) {
            auto v = values.find(person.rowid());
            if (v != values.end()) {
                std::string phone, email, address, homepage;
                for (const ValueRow& row : v->second) {
                    if (row.property == 3) append(phone, row.value);
                    else if (row.property == 4) append(email, row.value);
                    else if (row.property == 5) append(address, row.value);
                    else if (row.property == 22) append(homepage, row.value);
                }
                person.setContactPhone(std::move(phone));
                person.setContactEmail(std::move(email));
                person.setContactAdress(std::move(address));
                person.setContactHomepage(std::move(homepage));
            }
        }
        const uint64_t key = mixHash(contactKey(person), person.contactPhone());
        if (!hasContent(person) || liveKeys.count(contactKey(person)) != 0 || !listedKeys.insert(key).second)
            continue;
        kept.push_back(std::move(entry));
    }
    out.contacts = std::move(kept);
    return out;
}

uint64_t walkedMessageKey(std::string_view text, std::string_view date) { return mixHash(mixHash(0, text), date); }

void postCarvedMessages(CarvedBackupRecords& carved, const std::vector<WalkedMessage>& listed, RecordSink& sink) {
    const WalkedOffsets walked = walkedOffsets(listed, carved.pageSize);
    carving::KeySet walkedKeys;
    for (const WalkedMessage& w : listed) walkedKeys.insert(w.key);
    for (CarvedEntry<MessagePtr>& entry : carved.messages) {
        TovMessageNode& m = *entry.record;
        const std::string text = m.messageContent();
        if (walkedKeys.contains(walkedMessageKey(text, entry.walkDate)) ||
            walkedKeys.contains(walkedMessageKey(text, m.messageDate())))
            continue;
        if (foundByWalk(entry, walked)) continue;
        const std::string phone = m.messagePhone();
        if (textLength(phone) >= 2) {
            if (auto name = sink.getNameByPhoneNumber(phone)) m.setMessageName(std::move(*name));
        }
        // A conversation without a name is called by its participants, each
        // by the contact's name when one is known.
        if (m.chat().empty() && !entry.chatMembers.empty()) {
            std::string list;
            for (const std::string& id : entry.chatMembers) {
                const std::optional<std::string> name = sink.getNameByHandle(id);
                if (!list.empty()) list += ", ";
                list += name && !name->empty() ? *name : id;
            }
            m.setChat(std::move(list));
        }
        sink.postDelMessage(std::move(entry.record));
    }
    carved.messages.clear();
}

void postCarvedContacts(CarvedBackupRecords& carved, const std::vector<WalkedRecord<ContactPtr>>& listed,
                        RecordSink& sink) {
    const WalkedOffsets walked = walkedOffsets(listed, carved.pageSize);
    std::unordered_set<std::string> walkedNames;
    for (const WalkedRecord<ContactPtr>& w : listed) {
        const std::string name = w.record->contactName();
        if (!name.empty()) walkedNames.insert(name);
    }
    for (CarvedEntry<ContactPtr>& entry : carved.contacts) {
        const std::string name = entry.record->contactName();
        if (!name.empty() && walkedNames.count(name) != 0) continue;
        if (foundByWalk(entry, walked)) continue;
        sink.postDelContact(std::move(entry.record));
    }
    carved.contacts.clear();
}

void LiveCellFilter::postDelMessage(MessagePtr message) {
    const std::optional<int64_t> offset = message->provenance().offset;
    if (offset && live_.contains(*offset)) {
        ++dropped_;
        return;
    }
    message->setProvenance(Provenance{});
    messages_.push_back({walkedMessageKey(message->messageContent(), message->messageDate()), offset});
    target_.postDelMessage(std::move(message));
}

void LiveCellFilter::postDelContact(ContactPtr contact) {
    const std::optional<int64_t> offset = contact->provenance().offset;
    if (offset && live_.contains(*offset)) {
        ++dropped_;
        return;
    }
    contact->setProvenance(Provenance{});
    contacts_.push_back({contact, offset});
    target_.postDelContact(std::move(contact));
}

}  // namespace kestrel
