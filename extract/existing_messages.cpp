// Existing messages: the rows of the message database read with SQL, in the
// iOS 6 layout (messages joined to handles) or the older one (messages joined
// to group members, with or without the iMessage columns).
#include "extract/existing_messages.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "app/large_pages.h"
#include "app/log.h"
#include "app/mapped_database.h"
#include "app/working_folder.h"
#include "app/message_direction.h"
#include "extract/conversions.h"
#include "extract/message_summary.h"
#include "extract/typedstream.h"
#include "extract/sqlite_columns.h"

namespace kestrel {
namespace {

constexpr const char* kStatementIOS6 =
    "select message.ROWID,message.text,message.date,message.handle_id,handle.id,is_from_me from message left "
    "join handle on message.handle_id=handle.ROWID";
constexpr const char* kStatementIOS5 =
    "select message.ROWID,message.group_id,subject, text,date,group_member.address,svc_center,flags,"
    "association_id ,is_madrid,madrid_handle, madrid_account,madrid_flags,madrid_attachmentInfo from message "
    "left join  group_member on  message.group_id= group_member.group_id";
constexpr const char* kStatementIOS4 =
    "select message.ROWID,message.group_id,subject, text,date,group_member.address,svc_center,flags,"
    "association_id from message left join  group_member on  message.group_id= group_member.group_id";

enum class Layout { IOS6, IOS5, IOS4, Modern };

// What a selected column is used for; the thread that steps the statement
// converts each column accordingly, so the scan worker only builds records.
enum class Role {
    Text,    // text: valid UTF-8 up to the first zero byte, else the empty text
    Number,  // read as text and converted as atol does (an integer value directly)
    Date,    // a number, turned into the date text by the worker
    Blob,    // attachment info: its bytes without the zero bytes, as text
    Bytes,   // a blob kept as it is (archives, property lists)
    Body,    // the archived body, needed only when the text column is empty:
             // decoded here when it marks no attachment, else kept as it is
    BodyKind,  // written with Body: 0 decoded text, 1 the archive itself
};

struct ColumnUse {
    int column;
    Role role;
};

// The columns each statement's mapping reads.
constexpr ColumnUse kColumnsIOS6[] = {{1, Role::Text}, {2, Role::Date}, {3, Role::Number}, {4, Role::Text},
                                      {5, Role::Number}};
constexpr ColumnUse kColumnsIOS5[] = {{3, Role::Text},    {4, Role::Date},    {5, Role::Text},
                                      {7, Role::Number},  {9, Role::Number},  {10, Role::Text},
                                      {12, Role::Number}, {13, Role::Blob}};
constexpr ColumnUse kColumnsIOS4[] = {{3, Role::Text}, {4, Role::Date}, {5, Role::Text}, {7, Role::Number}};
// The newer layout's statement (built by modernStatement) selects, in order:
// ROWID, text, date, handle_id, handle.id, is_from_me, attributedBody,
// service, cache_has_attachments, the chat of the message, date_edited,
// date_retracted, message_summary_info.
enum ModernColumn {
    kRowid, kText, kDate, kHandleId, kHandle, kFromMe, kBody, kService, kHasAttachments, kChat,
    kDateEdited, kDateRetracted, kSummary, kModernColumnCount,
    kBodyKind = kModernColumnCount  // not a column of the statement: see Role::BodyKind
};
constexpr ColumnUse kColumnsModern[] = {
    {kRowid, Role::Number},      {kText, Role::Text},             {kDate, Role::Date},
    {kHandleId, Role::Number},   {kHandle, Role::Text},           {kFromMe, Role::Number},
    {kBody, Role::Body},         {kBodyKind, Role::BodyKind},     {kService, Role::Text},
    {kHasAttachments, Role::Number}, {kChat, Role::Number},       {kDateEdited, Role::Number},
    {kDateRetracted, Role::Number},  {kSummary, Role::Bytes}};

std::span<const ColumnUse> columnsOf(Layout layout) {
    switch (layout) {
        case Layout::IOS6:
            return kColumnsIOS6;
        case Layout::IOS5:
            return kColumnsIOS5;
        case Layout::Modern:
            return kColumnsModern;
        default:
            return kColumnsIOS4;
    }
}

// Result rows, converted, in batches: per row and column either nothing (a
// NULL or empty column, which leaves its field as it was), a text in the
// arena, or a number.
struct RowBatch {
    static constexpr size_t kRows = 512;
    static constexpr int64_t kAbsent = -1;
    static constexpr int64_t kNumber = -2;
    int columns = 0;
    size_t rows = 0;
    std::string arena;
    struct Cell {
        int64_t start;  // arena offset, kAbsent or kNumber
        int64_t value;  // text length, or the number
    };
    // kRows * columns cells, a row's side by side, written in order; sized
    // once, as a batch is used again and again.
    std::vector<Cell> cells;
    size_t filled = 0;

    void reset(int columnCount) {
        columns = columnCount;
        rows = 0;
        arena.clear();
        filled = 0;
        const size_t wanted = kRows * static_cast<size_t>(columnCount);
        if (cells.size() < wanted) cells.resize(wanted);
    }
    size_t at(size_t row, int slot) const { return row * static_cast<size_t>(columns) + static_cast<size_t>(slot); }

    void addAbsent() { cells[filled++] = {kAbsent, 0}; }
    void addNumber(int64_t number) { cells[filled++] = {kNumber, number}; }
    void addText(std::string_view text) {
        cells[filled++] = {static_cast<int64_t>(arena.size()), static_cast<int64_t>(text.size())};
        arena.append(text);
    }
};

std::optional<int64_t> columnNumber(sqlite3_stmt* statement, int column) {
    if (sqlite3_column_type(statement, column) == SQLITE_INTEGER) return sqlite3_column_int64(statement, column);
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    if (text == nullptr || text[0] == 0) return std::nullopt;
    return textToInt64(text);
}

// Converts the wanted columns of the current row into the batch.
void copyRow(sqlite3_stmt* statement, std::span<const ColumnUse> columns, RowBatch& batch) {
    std::string scratch;
    for (const ColumnUse& use : columns) {
        switch (use.role) {
            case Role::Number: {
                std::optional<int64_t> number = columnNumber(statement, use.column);
                number ? batch.addNumber(*number) : batch.addAbsent();
                break;
            }
            case Role::Date: {
                // Formatted by the worker, which has more time to spare.
                std::optional<int64_t> number = columnNumber(statement, use.column);
                number ? batch.addNumber(*number) : batch.addAbsent();
                break;
            }
            case Role::Text: {
                const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, use.column));
                if (text == nullptr || text[0] == 0) {
                    batch.addAbsent();
                    break;
                }
                std::string_view bytes(text);  // up to the first zero byte
                batch.addText(isValidUtf8(bytes) ? bytes : std::string_view());
                break;
            }
            case Role::Blob: {
                const auto* blob = static_cast<const char*>(sqlite3_column_blob(statement, use.column));
                const int size = sqlite3_column_bytes(statement, use.column);
                if (blob == nullptr || size < 1) {
                    batch.addAbsent();
                    break;
                }
                scratch.clear();
                for (int i = 0; i < size; ++i) {
                    if (blob[i] != 0) scratch.push_back(blob[i]);
                }
                batch.addText(GetStringFormChar(scratch.c_str()));
                break;
            }
            case Role::Body: {
                // The body is the content only when the text column is
                // empty. It is decoded on this thread, beside the stepping;
                // an archive that marks attachments (they need names) or
                // cannot be read goes to the worker as it is.
                const auto* text = sqlite3_column_text(statement, kText);
                const auto* blob = static_cast<const uint8_t*>(sqlite3_column_blob(statement, use.column));
                const int size = sqlite3_column_bytes(statement, use.column);
                if ((text != nullptr && text[0] != 0) || blob == nullptr || size < 1) {
                    batch.addAbsent();
                    batch.addNumber(0);
                    break;
                }
                std::optional<AttributedTextView> body = viewAttributedBody(blob, static_cast<size_t>(size));
                if (body && body->markers == 0) {
                    batch.addText(body->text);
                    batch.addNumber(0);
                } else {
                    batch.addText(std::string_view(reinterpret_cast<const char*>(blob), static_cast<size_t>(size)));
                    batch.addNumber(1);
                }
                break;
            }
            case Role::BodyKind:
                break;  // written with Body
            case Role::Bytes: {
                const auto* blob = static_cast<const char*>(sqlite3_column_blob(statement, use.column));
                const int size = sqlite3_column_bytes(statement, use.column);
                if (blob == nullptr || size < 1) {
                    batch.addAbsent();
                    break;
                }
                batch.addText(std::string_view(blob, static_cast<size_t>(size)));
                break;
            }
        }
    }
    ++batch.rows;
}

// One converted row of a batch, read by the column numbers of its statement.
// The slot of each statement column among a statement's column uses (-1
// when it is not used), looked up once rather than for every read.
struct SlotTable {
    static constexpr int kColumns = 32;
    int slot[kColumns];
    explicit SlotTable(std::span<const ColumnUse> columns) {
        for (int& s : slot) s = -1;
        for (size_t i = 0; i < columns.size(); ++i) {
            if (columns[i].column >= 0 && columns[i].column < kColumns && slot[columns[i].column] < 0) {
                slot[columns[i].column] = static_cast<int>(i);
            }
        }
    }
};

class Row {
public:
    Row(const RowBatch& batch, size_t row, const SlotTable& slots) : batch_(batch), row_(row), slots_(slots) {}

    std::optional<std::string> text(int column) const {
        const size_t at = batch_.at(row_, slot(column));
        const int64_t offset = batch_.cells[at].start;
        if (offset < 0) return std::nullopt;
        return std::string(batch_.arena.data() + offset, static_cast<size_t>(batch_.cells[at].value));
    }
    std::optional<std::string_view> view(int column) const {
        const size_t at = batch_.at(row_, slot(column));
        const int64_t offset = batch_.cells[at].start;
        if (offset < 0) return std::nullopt;
        return std::string_view(batch_.arena.data() + offset, static_cast<size_t>(batch_.cells[at].value));
    }
    std::optional<int64_t> number64(int column) const {
        const size_t at = batch_.at(row_, slot(column));
        if (batch_.cells[at].start != RowBatch::kNumber) return std::nullopt;
        return batch_.cells[at].value;
    }
    std::optional<int32_t> number(int column) const {
        auto value = number64(column);
        return value ? std::optional<int32_t>(static_cast<int32_t>(*value)) : std::nullopt;
    }

private:
    int slot(int column) const { return slots_.slot[column]; }
    const RowBatch& batch_;
    size_t row_;
    const SlotTable& slots_;
};

void readDate(const Row& row, int column, MessageDateLayout layout, TovMessageNode& message) {
    std::optional<int64_t> stored = row.number64(column);
    if (!stored) return;
    const DateText date = formatMessageDateText(*stored, layout);
    if (date.size > 0) message.setMessageDate(date.view());
}

// The record of an iOS 6 row, its correspondent's name `name` (empty when
// unknown): its texts set at once, in one allocation.
void fillFromIOS6Row(const Row& row, std::string_view name, TovMessageNode& message) {
    DateText date;
    if (std::optional<int64_t> stored = row.number64(2)) date = formatMessageDateText(*stored, MessageDateLayout::Ios6OrLater);
    const std::optional<int32_t> fromMe = row.number(5);
    message.setTexts({{TovMessageNode::kContent, row.view(1).value_or(std::string_view())},
                      {TovMessageNode::kDate, date.view()},
                      {TovMessageNode::kPhone, row.view(4).value_or(std::string_view())},
                      {TovMessageNode::kType, fromMe ? std::string_view(fromMeWord(*fromMe, "unknown")) : std::string_view()},
                      {TovMessageNode::kName, name}});
}

void fillFromOlderRow(const Row& row, TovMessageNode& message, bool withIMessageColumns) {
    if (auto text = row.view(3)) message.setMessageContent(*text);
    // This layout keeps Unix seconds, but its iMessage rows may count from
    // 2001-01-01: the stored-time rule reads a value as Unix time unless that
    // falls before 1990, which no message of these systems can, and so
    // dates both kinds right.
    if (std::optional<int64_t> stored = row.number64(4)) {
        std::string date = formatStoredDate(*stored);
        if (!date.empty()) message.setMessageDate(std::move(date));
    }
    if (auto address = row.view(5)) message.setMessagePhone(*address);
    if (auto flags = row.number(7)) message.setMessageType(flagsWord(*flags));
    if (!withIMessageColumns) return;
    std::optional<int32_t> isMadrid = row.number(9);
    if (!isMadrid || *isMadrid != 1) return;
    message.setBImessage(true);
    if (auto handle = row.text(10)) message.setMessagePhone(std::move(*handle));
    if (auto flags = row.number(12)) message.setMessageType(flagsWord(*flags));
    // The attachment info replaces the text: its bytes without the zero bytes.
    if (auto attachment = row.text(13)) message.setMessageContent(std::move(*attachment));
}

sqlite3_stmt* prepare(sqlite3* db, const char* sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) {
        sqlite3_finalize(statement);
        return nullptr;
    }
    return statement;
}

// ---- The newer layout (iOS 11 and later) ----

// The columns and tables of the open database, read from the file itself.
struct Schema {
    std::unordered_set<std::string> messageColumns;  // lower case
    std::unordered_set<std::string> tables;           // lower case

    bool column(const char* name) const { return messageColumns.count(name) > 0; }
    bool table(const char* name) const { return tables.count(name) > 0; }
};

std::string lowerCase(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

Schema readSchema(sqlite3* db) {
    Schema schema;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA table_info(message)", -1, &statement, nullptr) == SQLITE_OK) {
        while (sqlite3_step(statement) == SQLITE_ROW) {
            if (const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(statement, 1))) {
                schema.messageColumns.insert(lowerCase(name));
            }
        }
    }
    sqlite3_finalize(statement);
    if (sqlite3_prepare_v2(db, "select name from sqlite_master where type='table'", -1, &statement, nullptr) ==
        SQLITE_OK) {
        while (sqlite3_step(statement) == SQLITE_ROW) {
            if (const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0))) {
                schema.tables.insert(lowerCase(name));
            }
        }
    }
    sqlite3_finalize(statement);
    return schema;
}

// The layout a database's own columns call for: the madrid columns mark the
// iOS 5 one; the attributed body with the conversation joins and one of the
// columns of the iOS 11 and later databases (edit summary, CloudKit record,
// edit date) mark the newer one; anything else with a handle_id is iOS 6-10.
std::optional<Layout> layoutOfColumns(const Schema& schema) {
    if (schema.messageColumns.empty()) return std::nullopt;
    if (schema.column("is_madrid") && schema.column("madrid_handle")) return Layout::IOS5;
    const bool newer = schema.column("attributedbody") && schema.column("handle_id") && schema.table("chat_message_join") &&
                       (schema.column("message_summary_info") || schema.column("ck_record_id") ||
                        schema.column("date_edited"));
    if (newer) return Layout::Modern;
    if (schema.column("handle_id")) return Layout::IOS6;
    return std::nullopt;
}

std::string modernStatement(const Schema& schema) {
    auto pick = [&schema](const char* column, const char* absent) {
        return std::string(schema.column(column) ? std::string("message.") + column : absent);
    };
    std::string sql = "select message.ROWID,message.text,message.date,message.handle_id,handle.id,message.is_from_me,";
    sql += pick("attributedbody", "NULL") + "," + pick("service", "NULL") + "," + pick("cache_has_attachments", "1");
    sql += ",(select chat_id from chat_message_join where message_id=message.ROWID limit 1),";
    sql += pick("date_edited", "0") + "," + pick("date_retracted", "0") + "," + pick("message_summary_info", "NULL");
    sql += " from message left join handle on message.handle_id=handle.ROWID";
    return sql;
}

struct AttachmentName {
    std::string guid;
    std::string name;
};

struct Recoverable {
    int64_t chat = 0;
    int64_t deleteDate = 0;
};

struct DeletedPart {
    int64_t chat = 0;
    int64_t message = 0;
    int64_t deleteDate = 0;
    std::string body;
};

// What the rows of the newer layout are named and joined with: the
// conversations, the Recently Deleted entries and the attachments, read
// before the messages (they are small beside the message table).
struct ModernContext {
    std::unordered_map<int64_t, std::string> chatNames;
    std::unordered_map<int64_t, Recoverable> recoverable;
    std::vector<DeletedPart> deletedParts;
    std::unordered_map<int64_t, std::vector<AttachmentName>> attachments;
    bool hasChatJoin = false;
};

std::optional<std::string> stepText(sqlite3_stmt* statement, int column) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    if (text == nullptr || text[0] == 0) return std::nullopt;
    std::string value = GetStringFormChar(text);
    if (value.empty()) return std::nullopt;
    return value;
}

std::string lastPathComponent(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

ModernContext readModernContext(sqlite3* db, const Schema& schema, RecordSink& sink) {
    ModernContext context;
    context.hasChatJoin = schema.table("chat_message_join");
    if (schema.table("chat")) {
        if (sqlite3_stmt* statement = prepare(db, "select ROWID,display_name from chat")) {
            while (sqlite3_step(statement) == SQLITE_ROW) {
                context.chatNames[sqlite3_column_int64(statement, 0)] = stepText(statement, 1).value_or("");
            }
            sqlite3_finalize(statement);
        }
        // A conversation without a name is called by its participants, each
        // by the contact's name when one is known.
        if (schema.table("chat_handle_join") && schema.table("handle")) {
            if (sqlite3_stmt* statement = prepare(db,
                    "select chat_handle_join.chat_id,handle.id from chat_handle_join join handle on "
                    "chat_handle_join.handle_id=handle.ROWID order by chat_handle_join.ROWID")) {
                std::unordered_map<int64_t, std::string> members;
                while (sqlite3_step(statement) == SQLITE_ROW) {
                    const int64_t chat = sqlite3_column_int64(statement, 0);
                    std::optional<std::string> id = stepText(statement, 1);
                    if (!id) continue;
                    std::optional<std::string> name = sink.getNameByHandle(*id);
                    const std::string& shown = name && !name->empty() ? *name : *id;
                    std::string& list = members[chat];
                    if (!list.empty()) list += ", ";
                    list += shown;
                }
                sqlite3_finalize(statement);
                for (auto& [chat, name] : context.chatNames) {
                    if (!name.empty()) continue;
                    auto found = members.find(chat);
                    if (found != members.end()) name = found->second;
                }
            }
        }
    }
    if (schema.table("chat_recoverable_message_join")) {
        if (sqlite3_stmt* statement =
                prepare(db, "select message_id,chat_id,delete_date from chat_recoverable_message_join")) {
            while (sqlite3_step(statement) == SQLITE_ROW) {
                context.recoverable.emplace(sqlite3_column_int64(statement, 0),
                                            Recoverable{sqlite3_column_int64(statement, 1),
                                                        sqlite3_column_int64(statement, 2)});
            }
            sqlite3_finalize(statement);
        }
    }
    if (schema.table("recoverable_message_part")) {
        if (sqlite3_stmt* statement = prepare(db,
                "select chat_id,message_id,delete_date,part_text from recoverable_message_part "
                "order by message_id,part_index")) {
            while (sqlite3_step(statement) == SQLITE_ROW) {
                DeletedPart part{sqlite3_column_int64(statement, 0), sqlite3_column_int64(statement, 1),
                                 sqlite3_column_int64(statement, 2), {}};
                const auto* blob = static_cast<const char*>(sqlite3_column_blob(statement, 3));
                const int size = sqlite3_column_bytes(statement, 3);
                if (blob != nullptr && size > 0) part.body.assign(blob, static_cast<size_t>(size));
                context.deletedParts.push_back(std::move(part));
            }
            sqlite3_finalize(statement);
        }
    }
    if (schema.table("message_attachment_join") && schema.table("attachment")) {
        if (sqlite3_stmt* statement = prepare(db,
                "select message_attachment_join.message_id,attachment.guid,attachment.transfer_name,"
                "attachment.filename from message_attachment_join join attachment on "
                "message_attachment_join.attachment_id=attachment.ROWID order by message_attachment_join.ROWID")) {
            while (sqlite3_step(statement) == SQLITE_ROW) {
                AttachmentName attachment;
                attachment.guid = stepText(statement, 1).value_or("");
                if (auto name = stepText(statement, 2)) {
                    attachment.name = *name;
                } else if (auto file = stepText(statement, 3)) {
                    attachment.name = lastPathComponent(*file);
                }
                context.attachments[sqlite3_column_int64(statement, 0)].push_back(std::move(attachment));
            }
            sqlite3_finalize(statement);
        }
    }
    return context;
}

// The shown text of an archived body: the string with each U+FFFC as its
// attachment ("[attachment: NAME]"). A body that cannot be read gives the
// empty text and a log line that names the reason only.
std::string bodyText(std::string_view blob, const std::vector<AttachmentName>* attachments) {
    std::string reason;
    std::optional<AttributedText> body =
        decodeAttributedBody(reinterpret_cast<const uint8_t*>(blob.data()), blob.size(), &reason);
    if (!body) {
        NSLog("[CsmsModule] a message body could not be read: %s", reason.c_str());
        return std::string();
    }
    if (body->attachments.empty()) return std::move(body->text);
    return describeAttachments(*body, [attachments](const std::string& guid, size_t index) -> std::string {
        if (attachments == nullptr) return std::string();
        const std::string wanted = attachmentGuidFromAttribute(guid);
        if (!wanted.empty()) {
            for (const AttachmentName& a : *attachments) {
                if (a.guid == wanted) return a.name;
            }
        }
        return index < attachments->size() ? (*attachments)[index].name : std::string();
    });
}

// The names of the correspondents, asked of the sink once per handle rather
// than once per row. Kept by handle_id, whose handle text every row shares;
// a row whose text differs from the one kept (a handle_id that is no exact
// row number) is asked for on its own.
class HandleNames {
public:
    enum class Rule { Phone, Handle };
    explicit HandleNames(Rule rule) : rule_(rule) {}

    const std::optional<std::string>& nameOf(std::optional<int64_t> handleId, std::string_view handle,
                                             RecordSink& sink) {
        // Row numbers of handles are small: most are found by index.
        const int64_t id = handleId.value_or(kNoHandleId);
        Known** slot = nullptr;
        if (id >= 0 && id < kIndexed) {
            const auto index = static_cast<size_t>(id);
            if (index >= byId_.size()) byId_.resize(std::max(index + 1, byId_.size() * 2), nullptr);
            slot = &byId_[index];
        } else {
            slot = &others_.try_emplace(id, nullptr).first->second;
        }
        if (*slot != nullptr && (*slot)->handle == handle) return (*slot)->name;
        std::optional<std::string> name = ask(std::string(handle), sink);
        if (*slot != nullptr) {
            uncached_ = std::move(name);
            return uncached_;
        }
        known_.push_back(Known{std::string(handle), std::move(name)});
        *slot = &known_.back();
        return known_.back().name;
    }

    // Fetches the entry of a row some rows ahead into the cache while the
    // rows before it are built: rows come in handle_id order only by chance,
    // and an entry read cold costs more than building the rest of a row.
    void prefetch(std::optional<int64_t> handleId) const {
        if (!handleId || *handleId < 0 || static_cast<uint64_t>(*handleId) >= byId_.size()) return;
        if (const Known* known = byId_[static_cast<size_t>(*handleId)]; known != nullptr) __builtin_prefetch(known);
    }

private:
    struct Known {
        std::string handle;
        std::optional<std::string> name;
    };
    std::optional<std::string> ask(const std::string& handle, RecordSink& sink) const {
        return rule_ == Rule::Handle ? sink.getNameByHandle(handle) : sink.getNameByPhoneNumber(handle);
    }

    static constexpr int64_t kNoHandleId = INT64_MIN;
    static constexpr int64_t kIndexed = 1 << 20;
    Rule rule_;
    std::vector<Known*> byId_;                    // handle_id -> its entry of known_
    std::unordered_map<int64_t, Known*> others_;  // the same for other ids (and rows without one)
    std::deque<Known> known_;                     // entries stay where they are as more are added
    std::optional<std::string> uncached_;
};

std::string chatName(const ModernContext& context, int64_t chat) {
    auto found = context.chatNames.find(chat);
    return found == context.chatNames.end() ? std::string() : found->second;
}

// Builds the record of one row of the newer layout, with the records of its
// earlier versions, and posts them.
void postModernRow(const Row& row, const ModernContext& context, std::unordered_set<int64_t>& listedDeleted,
                   HandleNames& handleNames, RecordSink& sink) {
    const int64_t rowid = row.number64(kRowid).value_or(0);
    auto message = std::make_shared<TovMessageNode>();
    readDate(row, kDate, MessageDateLayout::Ios6OrLater, *message);
    const std::string_view phone = row.view(kHandle).value_or(std::string_view());
    if (!phone.empty()) message->setMessagePhone(phone);
    if (auto fromMe = row.number(kFromMe)) message->setMessageType(fromMeWord(*fromMe, "unknown"));
    if (auto service = row.text(kService)) {
        message->setBImessage(*service == "iMessage");
        message->setService(std::move(*service));
    }

    // The row says whether it has attachments (a trigger keeps the flag);
    // only those rows are looked up. A database without the flag has them
    // looked up for every row.
    const std::vector<AttachmentName>* attachments = nullptr;
    if (row.number64(kHasAttachments).value_or(1) != 0) {
        auto found = context.attachments.find(rowid);
        if (found != context.attachments.end()) attachments = &found->second;
    }
    std::vector<std::string> attachmentNames;
    if (attachments != nullptr) {
        attachmentNames.reserve(attachments->size());
        for (const AttachmentName& a : *attachments) attachmentNames.push_back(a.name);
    }

    std::string content;
    std::optional<std::string_view> body = row.view(kBody);
    const bool bodyDecoded = row.number64(kBodyKind).value_or(0) == 0;
    if (auto text = row.text(kText)) {
        if (text->find("\xEF\xBF\xBC") == std::string::npos) {
            content = std::move(*text);
        } else {
            content = describeAttachments(*text, attachmentNames);
        }
    } else if (body) {
        content = bodyDecoded ? std::string(*body) : bodyText(*body, attachments);
    }
    const bool noContent = content.empty();
    message->setMessageContent(std::move(content));
    if (attachments != nullptr) message->setAttachments(std::move(attachmentNames));

    MessageSummary summary;
    if (auto blob = row.view(kSummary)) {
        summary = readMessageSummary(reinterpret_cast<const uint8_t*>(blob->data()), blob->size());
    }

    // Where the row stands: in Recently Deleted, in no conversation at all,
    // unsent, or in its conversation. A message in Recently Deleted has left
    // its conversation's join table. An unsent message keeps its row with
    // the text emptied (a message that still has text had only some of its
    // parts unsent and stays an existing one).
    std::optional<int64_t> chat = row.number64(kChat);
    auto recoverable = chat || context.recoverable.empty() ? context.recoverable.end() : context.recoverable.find(rowid);
    const int64_t retracted = row.number64(kDateRetracted).value_or(0);
    const int64_t edited = row.number64(kDateEdited).value_or(0);
    const bool unsent = noContent && (retracted != 0 || summary.hasRetractedParts ||
                                      (edited != 0 && !summary.hasEditHistory && !body));
    if (recoverable != context.recoverable.end()) {
        message->setChat(chatName(context, recoverable->second.chat));
        message->setSource(kSourceRecentlyDeleted);
        if (recoverable->second.deleteDate != 0) {
            message->setDeletedDate(formatMessageDate(recoverable->second.deleteDate, MessageDateLayout::Ios6OrLater));
        }
        listedDeleted.insert(rowid);
    } else {
        if (chat) message->setChat(chatName(context, *chat));
        if (unsent) {
            message->setSource(kSourceUnsent);
        } else if (!chat && context.hasChatJoin) {
            message->setSource(kSourceOrphaned);
        }
    }

    if (const std::optional<std::string>& name = handleNames.nameOf(row.number64(kHandleId), phone, sink)) {
        message->setMessageName(*name);
    }

    // Each earlier version of an edited message is a record of its own, with
    // the date it was written; the message keeps its current text.
    for (const MessageVersion& version : summary.earlierVersions) {
        auto earlier = std::make_shared<TovMessageNode>();
        earlier->setMessageName(message->messageName());
        earlier->setMessagePhone(message->messagePhone());
        earlier->setMessageType(message->messageType());
        earlier->setService(message->service());
        earlier->setBImessage(message->bImessage());
        earlier->setChat(message->chat());
        earlier->setMessageContent(bodyText(version.body, nullptr));
        const double seconds = version.secondsSince2001;
        if (seconds > -1e11 && seconds < 1e11) {
            earlier->setMessageDate(formatMessageDate(static_cast<int64_t>(std::floor(seconds)),
                                                      MessageDateLayout::Ios6OrLater));
        }
        earlier->setSource(kSourceEarlierVersion);
        sink.postMessage(std::move(earlier));
    }
    sink.postMessage(std::move(message));
}

// Deleted parts of messages that Recently Deleted does not list whole.
void postDeletedParts(const ModernContext& context, const std::unordered_set<int64_t>& listedDeleted,
                      RecordSink& sink) {
    for (const DeletedPart& part : context.deletedParts) {
        if (listedDeleted.count(part.message) > 0) continue;
        auto message = std::make_shared<TovMessageNode>();
        message->setMessageContent(bodyText(part.body, nullptr));
        message->setChat(chatName(context, part.chat));
        if (part.deleteDate != 0) {
            message->setDeletedDate(formatMessageDate(part.deleteDate, MessageDateLayout::Ios6OrLater));
        }
        message->setSource(kSourceRecentlyDeleted);
        sink.postMessage(std::move(message));
    }
}

// Hands batches of rows from the thread that steps the statement to the
// scan worker, which builds and posts the records in row order. SQLite's
// stepping and the record building then run side by side.
class BatchQueue {
public:
    static constexpr size_t kDepth = 8;

    void push(std::unique_ptr<RowBatch> batch) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return full_.size() < kDepth; });
        full_.push_back(std::move(batch));
        changed_.notify_all();
    }
    void finish() {
        std::lock_guard<std::mutex> lock(mutex_);
        finished_ = true;
        changed_.notify_all();
    }
    // The next batch, or nullptr once the producer has finished.
    std::unique_ptr<RowBatch> pop() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return !full_.empty() || finished_; });
        if (full_.empty()) return nullptr;
        auto batch = std::move(full_.front());
        full_.pop_front();
        changed_.notify_all();
        return batch;
    }
    void recycle(std::unique_ptr<RowBatch> batch) {
        std::lock_guard<std::mutex> lock(mutex_);
        spare_.push_back(std::move(batch));
    }
    std::unique_ptr<RowBatch> spare() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (spare_.empty()) return std::make_unique<RowBatch>();
        auto batch = std::move(spare_.back());
        spare_.pop_back();
        return batch;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::unique_ptr<RowBatch>> full_;
    std::vector<std::unique_ptr<RowBatch>> spare_;
    bool finished_ = false;
};

// Logs a failure of the message database and tells the sink; the message
// names the SQLite error only.
void readFailed(RecordSink& sink, const char* what, int code, const char* detail) {
    std::string text = std::string("existing messages: ") + what + ": " + sqlite3_errstr(code);
    if (detail != nullptr && *detail != 0) text += std::string(" (") + detail + ")";
    NSLog("%s", text.c_str());
    sink.postReadFailure(text);
}

// The step on a connection just opened (`opened` its result); closes it.
void readMessagesOf(sqlite3* db, int opened, bool iOS6, RecordSink& sink) {
    if (opened != SQLITE_OK) {
        readFailed(sink, "the database cannot be opened", opened, nullptr);
    } else {
        // One thread at a time uses the connection (this one, then the reader
        // thread while it steps, then this one again), so SQLite need not lock
        // it on every call. A database another program holds locked is waited
        // for a while, not taken for an empty one.
        sqlite3_busy_timeout(db, kBusyTimeoutMilliseconds);
        // The reading follows the database's own columns. When they tell
        // nothing (or their statement fails), the version decides as before:
        // the iOS 6 layout first for iOS 6 backups, the older one otherwise,
        // then the older one without iMessage columns, and the iOS 6 one last.
        const Schema schema = readSchema(db);
        std::optional<Layout> byColumns = layoutOfColumns(schema);
        Layout layout = Layout::IOS6;
        sqlite3_stmt* statement = nullptr;
        if (byColumns == Layout::Modern) {
            layout = Layout::Modern;
            statement = prepare(db, modernStatement(schema).c_str());
        } else if (byColumns == Layout::IOS5) {
            layout = Layout::IOS5;
            statement = prepare(db, kStatementIOS5);
        } else if (byColumns == Layout::IOS6) {
            layout = Layout::IOS6;
            statement = prepare(db, kStatementIOS6);
        }
        if (statement == nullptr) {
            layout = iOS6 ? Layout::IOS6 : Layout::IOS5;
            statement = prepare(db, iOS6 ? kStatementIOS6 : kStatementIOS5);
        }
        if (statement == nullptr) {
            layout = Layout::IOS4;
            statement = prepare(db, kStatementIOS4);
        }
        if (statement == nullptr && !iOS6) {
            layout = Layout::IOS6;
            statement = prepare(db, kStatementIOS6);
        }
        if (statement == nullptr) {
            NSLog("[CsmsModule] sqlite3_prepare smsdb failed!");
            readFailed(sink, "no message statement could be prepared", sqlite3_errcode(db), sqlite3_errmsg(db));
        } else {
            ModernContext context;
            if (layout == Layout::Modern) context = readModernContext(db, schema, sink);
            std::unordered_set<int64_t> listedDeleted;
            listedDeleted.reserve(context.recoverable.size());
            HandleNames names(layout == Layout::Modern ? HandleNames::Rule::Handle : HandleNames::Rule::Phone);
            // Rows are stepped on a reader thread and handed over in batches;
            // the records are built, named and posted here on the scan
            // worker, in row order.
            std::span<const ColumnUse> columns = columnsOf(layout);
            const SlotTable slots(columns);
            BatchQueue queue;
            int lastStep = SQLITE_DONE;
            bool stopped = false;
            std::thread reader([&queue, statement, columns, &lastStep, &stopped] {
                preferLargePagesForThisThread();
                auto batch = queue.spare();
                batch->reset(static_cast<int>(columns.size()));
                int step = SQLITE_ROW;
                while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
                    copyRow(statement, columns, *batch);
                    if (batch->rows == RowBatch::kRows) {
                        queue.push(std::move(batch));
                        batch = queue.spare();
                        batch->reset(static_cast<int>(columns.size()));
                        if (stopRequested()) {
                            stopped = true;
                            break;
                        }
                    }
                }
                lastStep = step;
                if (batch->rows > 0) queue.push(std::move(batch));
                queue.finish();
            });
            // The column of the handle's row number, whose name entry is
            // fetched a few rows ahead.
            const int handleIdColumn = layout == Layout::Modern ? kHandleId : layout == Layout::IOS6 ? 3 : -1;
            constexpr size_t kAhead = 8;
            while (auto batch = queue.pop()) {
                for (size_t r = 0; r < batch->rows; ++r) {
                    if (handleIdColumn >= 0 && r + kAhead < batch->rows)
                        names.prefetch(Row(*batch, r + kAhead, slots).number64(handleIdColumn));
                    Row row(*batch, r, slots);
                    if (layout == Layout::Modern) {
                        postModernRow(row, context, listedDeleted, names, sink);
                        continue;
                    }
                    auto message = std::make_shared<TovMessageNode>();
                    if (layout == Layout::IOS6) {
                        // The handle's text follows from its handle_id.
                        const std::string_view phone = row.view(4).value_or(std::string_view());
                        const std::optional<std::string>& name = names.nameOf(row.number64(3), phone, sink);
                        fillFromIOS6Row(row, name ? std::string_view(*name) : std::string_view(), *message);
                    } else {
                        fillFromOlderRow(row, *message, layout == Layout::IOS5);
                        if (auto name = sink.getNameByPhoneNumber(message->messagePhone())) {
                            message->setMessageName(std::move(*name));
                        }
                    }
                    sink.postMessage(std::move(message));
                }
                queue.recycle(std::move(batch));
            }
            reader.join();
            if (!stopped && lastStep != SQLITE_DONE) {
                readFailed(sink, "reading the messages stopped early", lastStep, sqlite3_errmsg(db));
            }
            sqlite3_finalize(statement);
            if (layout == Layout::Modern) postDeletedParts(context, listedDeleted, sink);
        }
    }
    sqlite3_close(db);
}

}  // namespace

void readExistingMessages(const std::string& dbPath, bool iOS6, RecordSink& sink) {
    sqlite3* db = nullptr;
    const int opened =
        sqlite3_open_v2(dbPath.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    readMessagesOf(db, opened, iOS6, sink);
}

void readExistingMessages(const uint8_t* data, int64_t size, bool iOS6, RecordSink& sink) {
    sqlite3* db = nullptr;
    const int opened = openMappedDatabase(data, size, &db);
    readMessagesOf(db, opened, iOS6, sink);
}

std::string messageStatementFor(const std::string& dbPath) {
    std::string statement;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(dbPath.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        const Schema schema = readSchema(db);
        switch (layoutOfColumns(schema).value_or(Layout::IOS4)) {
            case Layout::Modern: statement = modernStatement(schema); break;
            case Layout::IOS5: statement = kStatementIOS5; break;
            case Layout::IOS6: statement = kStatementIOS6; break;
            default: break;
        }
    }
    sqlite3_close(db);
    return statement;
}

}  // namespace kestrel
