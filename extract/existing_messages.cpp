// Existing messages: the rows of the message database read with SQL, in the
// iOS 6 layout (messages joined to handles) or the older one (messages joined
// to group members, with or without the iMessage columns).
#include "extract/existing_messages.h"

#include <sqlite3.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>
#include <thread>
#include <vector>

#include "app/log.h"
#include "app/working_folder.h"
#include "app/message_direction.h"
#include "extract/conversions.h"
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

enum class Layout { IOS6, IOS5, IOS4 };

// What a selected column is used for; the thread that steps the statement
// converts each column accordingly, so the scan worker only builds records.
enum class Role {
    Text,    // text: valid UTF-8 up to the first zero byte, else the empty text
    Number,  // read as text and converted as atol does (an integer value directly)
    Date,    // a number, turned into the date text by the worker
    Blob,    // attachment info: its bytes without the zero bytes, as text
};

struct ColumnUse {
    int column;
    Role role;
};

// The columns each statement's mapping reads.
constexpr ColumnUse kColumnsIOS6[] = {{1, Role::Text}, {2, Role::Date}, {4, Role::Text}, {5, Role::Number}};
constexpr ColumnUse kColumnsIOS5[] = {{3, Role::Text},    {4, Role::Date},    {5, Role::Text},
                                      {7, Role::Number},  {9, Role::Number},  {10, Role::Text},
                                      {12, Role::Number}, {13, Role::Blob}};
constexpr ColumnUse kColumnsIOS4[] = {{3, Role::Text}, {4, Role::Date}, {5, Role::Text}, {7, Role::Number}};

std::span<const ColumnUse> columnsOf(Layout layout) {
    switch (layout) {
        case Layout::IOS6:
            return kColumnsIOS6;
        case Layout::IOS5:
            return kColumnsIOS5;
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
    std::vector<int64_t> start;  // rows * columns: arena offset, kAbsent or kNumber
    std::vector<int64_t> value;  // rows * columns: text length, or the number

    void reset(int columnCount) {
        columns = columnCount;
        rows = 0;
        arena.clear();
        start.clear();
        value.clear();
    }
    size_t at(size_t row, int slot) const { return row * static_cast<size_t>(columns) + static_cast<size_t>(slot); }

    void addAbsent() {
        start.push_back(kAbsent);
        value.push_back(0);
    }
    void addNumber(int64_t number) {
        start.push_back(kNumber);
        value.push_back(number);
    }
    void addText(std::string_view text) {
        start.push_back(static_cast<int64_t>(arena.size()));
        value.push_back(static_cast<int64_t>(text.size()));
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
        }
    }
    ++batch.rows;
}

// One converted row of a batch, read by the column numbers of its statement.
class Row {
public:
    Row(const RowBatch& batch, size_t row, std::span<const ColumnUse> columns)
        : batch_(batch), row_(row), columns_(columns) {}

    std::optional<std::string> text(int column) const {
        const size_t at = batch_.at(row_, slot(column));
        const int64_t offset = batch_.start[at];
        if (offset < 0) return std::nullopt;
        return std::string(batch_.arena.data() + offset, static_cast<size_t>(batch_.value[at]));
    }
    std::optional<int64_t> number64(int column) const {
        const size_t at = batch_.at(row_, slot(column));
        if (batch_.start[at] != RowBatch::kNumber) return std::nullopt;
        return batch_.value[at];
    }
    std::optional<int32_t> number(int column) const {
        auto value = number64(column);
        return value ? std::optional<int32_t>(static_cast<int32_t>(*value)) : std::nullopt;
    }

private:
    int slot(int column) const {
        for (size_t i = 0; i < columns_.size(); ++i) {
            if (columns_[i].column == column) return static_cast<int>(i);
        }
        return -1;
    }
    const RowBatch& batch_;
    size_t row_;
    std::span<const ColumnUse> columns_;
};

void readDate(const Row& row, int column, TovMessageNode& message) {
    std::optional<int64_t> stored = row.number64(column);
    if (!stored) return;
    std::string date = formatStoredDate(*stored);
    if (!date.empty()) message.setMessageDate(std::move(date));
}

void fillFromIOS6Row(const Row& row, TovMessageNode& message) {
    if (auto text = row.text(1)) message.setMessageContent(std::move(*text));
    readDate(row, 2, message);
    if (auto phone = row.text(4)) message.setMessagePhone(std::move(*phone));
    if (auto fromMe = row.number(5)) {
        message.setMessageType(fromMeWord(*fromMe, "unknown"));
    }
}

void fillFromOlderRow(const Row& row, TovMessageNode& message, bool withIMessageColumns) {
    if (auto text = row.text(3)) message.setMessageContent(std::move(*text));
    readDate(row, 4, message);
    if (auto address = row.text(5)) message.setMessagePhone(std::move(*address));
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

sqlite3_stmt* prepare(sqlite3* db, const char* sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) {
        sqlite3_finalize(statement);
        return nullptr;
    }
    return statement;
}

// Logs a failure of the message database and tells the sink; the message
// names the SQLite error only.
void readFailed(RecordSink& sink, const char* what, int code, const char* detail) {
    std::string text = std::string("existing messages: ") + what + ": " + sqlite3_errstr(code);
    if (detail != nullptr && *detail != 0) text += std::string(" (") + detail + ")";
    NSLog("%s", text.c_str());
    sink.postReadFailure(text);
}

}  // namespace

void readExistingMessages(const std::string& dbPath, bool iOS6, RecordSink& sink) {
    sqlite3* db = nullptr;
    const int opened = sqlite3_open_v2(dbPath.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    if (opened != SQLITE_OK) {
        readFailed(sink, "the database cannot be opened", opened, nullptr);
    } else {
        // A database another program holds locked is waited for a while, not
        // taken for an empty one.
        sqlite3_busy_timeout(db, kBusyTimeoutMilliseconds);
        // The iOS 6 layout first for iOS 6 backups, the older one otherwise,
        // then the older one without iMessage columns. Backups of iOS 7 and
        // later keep the iOS 6 tables, so when both older statements fail the
        // iOS 6 one is tried last.
        Layout layout = iOS6 ? Layout::IOS6 : Layout::IOS5;
        sqlite3_stmt* statement = prepare(db, iOS6 ? kStatementIOS6 : kStatementIOS5);
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
            // Rows are stepped on a reader thread and handed over in batches;
            // the records are built, named and posted here on the scan
            // worker, in row order.
            std::span<const ColumnUse> columns = columnsOf(layout);
            BatchQueue queue;
            int lastStep = SQLITE_DONE;
            bool stopped = false;
            std::thread reader([&queue, statement, columns, &lastStep, &stopped] {
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
            while (auto batch = queue.pop()) {
                for (size_t r = 0; r < batch->rows; ++r) {
                    Row row(*batch, r, columns);
                    auto message = std::make_shared<TovMessageNode>();
                    if (layout == Layout::IOS6) {
                        fillFromIOS6Row(row, *message);
                    } else {
                        fillFromOlderRow(row, *message, layout == Layout::IOS5);
                    }
                    if (auto name = sink.getNameByPhoneNumber(message->messagePhone())) {
                        message->setMessageName(std::move(*name));
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
        }
    }
    sqlite3_close(db);
}

}  // namespace kestrel
