// Deleted-message carving end to end: backups written by SQLite through the
// generator, rows deleted by SQL, then the carving step run over them.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <any>
#include <filesystem>
#include <fstream>
#include <random>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "scan/app_controller.h"
#include "app/log.h"
#include "app/collecting_sink.h"
#include "carve/message_carver.h"
#include "extract/existing_messages.h"
#include "carve/sqlite_raw.h"
#include "results/result_view_controller.h"
#include "test_support.h"
#include "tools/backup_generator.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

const char* const kDbName = "3d0d7e5fb2ce288813306e4d4636395e047a3d28";

// What one run of the carving step posted and logged.
struct CarveRun {
    std::vector<MessagePtr> messages;
    std::vector<int> progress;
    std::vector<std::string> logs;
    size_t chats = 0;
    size_t postedAtProgress = 0;      // records posted when the progress came
    bool postedAsWorkList = false;    // iOS 6: posted in the work list's order

    std::vector<MessagePtr> withText(const std::string& text) const {
        std::vector<MessagePtr> out;
        for (const auto& m : messages) {
            if (m->messageContent() == text) out.push_back(m);
        }
        return out;
    }
    bool logged(const std::string& line) const { return std::find(logs.begin(), logs.end(), line) != logs.end(); }
};

// Observes the scan notifications and the log while it lives.
class Recorder {
public:
    explicit Recorder(CarveRun& run) : run_(run) {
        NotificationCenter& nc = NotificationCenter::defaultCenter();
        tokens_.push_back(nc.addObserver(names::ScanDelMessageInfo, [this](const Notification& n) {
            run_.messages.push_back(std::any_cast<MessagePtr>(n.object));
        }));
        tokens_.push_back(nc.addObserver(names::ScanProgressInfo, [this](const Notification& n) {
            run_.progress.push_back(std::any_cast<int>(n.object));
            run_.postedAtProgress = run_.messages.size();
        }));
        previous_ = setLogSink([this](const std::string& line) { run_.logs.push_back(line); });
    }
    ~Recorder() {
        for (auto t : tokens_) NotificationCenter::defaultCenter().removeObserver(t);
        setLogSink(previous_);
    }

private:
    CarveRun& run_;
    std::vector<NotificationCenter::Token> tokens_;
    LogSink previous_;
};

ContactPtr contact(const std::string& name, const std::string& phone) {
    auto c = std::make_shared<TovContactNode>();
    c->setContactName(name);
    c->setContactPhone(" " + phone);
    return c;
}

CarveRun carveFolder(const fs::path& folder, bool ios6, std::vector<ContactPtr> contacts = {}) {
    CarveRun run;
    WrenfieldAppDelegate app;
    app.currentNodeIsiOS6Version = ios6;
    app.contactArray = std::move(contacts);
    {
        Recorder recorder(run);
        app.scanDelMessageThread(folder.string());
    }
    run.chats = app.chatMessageArray.size();
    run.postedAsWorkList = app.messageArray == run.messages;
    return run;
}

// At least one carved copy of the text, and every copy carries these fields.
void expectCarved(const CarveRun& run, const std::string& text, const std::string& phone, const std::string& name,
                  const std::string& type, const std::string& date, bool imessage) {
    const auto carved = run.withText(text);
    ASSERT_FALSE(carved.empty()) << text;
    for (const auto& m : carved) {
        EXPECT_EQ(m->messagePhone(), phone) << text;
        EXPECT_EQ(m->messageName(), name) << text;
        EXPECT_EQ(m->messageType(), type) << text;
        EXPECT_EQ(m->messageDate(), date) << text;
        EXPECT_EQ(m->bImessage(), imessage) << text;
        EXPECT_FALSE(m->bDeleted()) << text;  // the results view decides that
    }
}

gen::Message iosSixMessage(const std::string& text, int64_t handle, bool fromMe, const std::string& service,
                           int64_t date, bool deleted) {
    gen::Message m;
    m.text = text;
    m.handle_id = handle;
    m.is_from_me = fromMe;
    m.service = service;
    m.date = date;
    m.deleted = deleted;
    return m;
}

gen::Handle handle(int64_t rowid, const std::string& id, const std::string& service) {
    gen::Handle h;
    h.rowid = rowid;
    h.id = id;
    h.service = service;
    return h;
}

std::string writeOrFail(const fs::path& folder, const gen::BackupSpec& plan) { return gen::writeBackup(folder, plan); }

// Whether the content of an iOS 6 message record with this text is still in
// the file: SQLite rebuilds pages when it rebalances the tree after deletes,
// and the record images on rebuilt pages are gone for good.
bool iosSixImageSurvives(const std::string& fileBytes, const std::string& text) {
    // The text, the one content byte of handle_id, then the attributed body.
    static const std::string body("\x04\x0bstreamtyped");
    for (size_t at = fileBytes.find(text); at != std::string::npos; at = fileBytes.find(text, at + 1)) {
        if (fileBytes.compare(at + text.size() + 1, body.size(), body) == 0) return true;
    }
    return false;
}

// ---- iOS 6 layout ----

TEST(CarveMessagesIOS6, DeletedMessagesCarryTextDateDirectionServiceAndPhone) {
    TempDir dir;
    gen::BackupSpec plan;
    plan.handles = {handle(2, "+15551230002", "SMS"), handle(3, "friend@me.com", "iMessage")};
    const std::string longText(140, 'L');  // two-byte serial type
    plan.messages = {
        iosSixMessage("still here", 2, false, "SMS", 380000000, false),
        iosSixMessage("gone received", 2, false, "SMS", 380000000, true),
        iosSixMessage("gone sent", 2, true, "SMS", 380000060, true),
        iosSixMessage(longText, 3, true, "iMessage", 68169600, true),
        iosSixMessage("gone imessage received", 3, false, "iMessage", 68169600, true),
        iosSixMessage("also still here", 3, true, "iMessage", 380000000, false),
    };
    ASSERT_EQ(writeOrFail(dir.path(), plan), "");
    CarveRun run = carveFolder(dir.path(), true, {contact("Ann Smith", "+1 (555) 123-0002")});

    ASSERT_EQ(run.progress, std::vector<int>{85});
    // Everything is posted after the walk, in the order found, before the progress.
    EXPECT_TRUE(run.postedAsWorkList);
    EXPECT_EQ(run.postedAtProgress, run.messages.size());
    // Directions from serial types 8 and 9 (the integers 0 and 1).
    expectCarved(run, "gone received", "+15551230002", "Ann Smith", "Received", "01-16-2013 03:33", false);
    expectCarved(run, "gone sent", "+15551230002", "Ann Smith", "Send", "01-16-2013 03:34", false);
    expectCarved(run, longText, "friend@me.com", "", "Send", "03-01-2003 00:00", true);
    expectCarved(run, "gone imessage received", "friend@me.com", "", "Received", "03-01-2003 00:00", true);
    EXPECT_EQ(run.withText("gone received")[0]->handle_id(), 2);
    // Live records are carved as well; the results view tells them apart.
    EXPECT_FALSE(run.withText("still here").empty());
    EXPECT_GE(run.chats, 2u);
}

// Seconds since 2001 after 2020 were once read as Unix time (31 years early):
// both the SQL rows and the carved records of the iOS 6 layout count them
// from 2001.
TEST(CarveMessagesIOS6, DatesBeforeAndAfter2020CountFrom2001) {
    TempDir dir;
    gen::BackupSpec plan;
    plan.handles = {handle(2, "+15551230002", "SMS")};
    const std::vector<std::pair<int64_t, std::string>> dates = {{581083200, "06-01-2019 12:00"},
                                                                {637489800, "03-15-2021 08:30"},
                                                                {730943940, "02-29-2024 23:59"},
                                                                {817754700, "11-30-2026 18:05"}};
    for (const auto& [stored, text] : dates) {
        plan.messages.push_back(iosSixMessage("kept " + text, 2, false, "SMS", stored, false));
        plan.messages.push_back(iosSixMessage("gone " + text, 2, true, "SMS", stored, true));
    }
    ASSERT_EQ(writeOrFail(dir.path(), plan), "");
    CarveRun run = carveFolder(dir.path(), true);
    CollectingSink sink;
    readExistingMessages(databasePathInBackup(dir.str(), kMessageDBName), true, sink);
    ASSERT_EQ(sink.messages.size(), dates.size());
    for (size_t i = 0; i < dates.size(); ++i) {
        EXPECT_EQ(sink.messages[i]->messageContent(), "kept " + dates[i].second);
        EXPECT_EQ(sink.messages[i]->messageDate(), dates[i].second);
        expectCarved(run, "gone " + dates[i].second, "+15551230002", "", "Send", dates[i].second, false);
    }
}


std::string phoneOf(int64_t h) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "+1555000%04lld", static_cast<long long>(h));
    return buf;
}

// Handle of the live message "live to h": always one that fits the anchor,
// so that the live cells of every page let the page probes find it.
int64_t liveHandleFor(int64_t h) { return 2 + h % 126; }

// 300 correspondents, chat row numbers of one and two bytes; a deleted
// message to each, and a live one to a handle from 2 to 127.
gen::BackupSpec manyChatsSpec() {
    gen::BackupSpec plan;
    for (int64_t h = 1; h <= 300; ++h) plan.handles.push_back(handle(h, phoneOf(h), h % 3 == 0 ? "iMessage" : "SMS"));
    for (int64_t h = 0; h <= 300; ++h) {
        const std::string service = h % 3 == 0 ? "iMessage" : "SMS";
        plan.messages.push_back(iosSixMessage("live to " + std::to_string(h), liveHandleFor(h), h % 2 == 0,
                                              liveHandleFor(h) % 3 == 0 ? "iMessage" : "SMS", 380000000 + h * 60,
                                              false));
        plan.messages.push_back(
            iosSixMessage("gone to " + std::to_string(h), h, h % 2 == 1, service, 380000030 + h * 60, true));
    }
    return plan;
}

TEST(CarveMessagesIOS6, MoreThan127ChatsEachMessageKeepsItsOwnPhone) {
    TempDir dir;
    const gen::BackupSpec plan = manyChatsSpec();
    ASSERT_EQ(writeOrFail(dir.path(), plan), "");
    CarveRun run = carveFolder(dir.path(), true);
    const std::string bytes = test::readFile(dir.path() / kDbName);
    EXPECT_GE(run.chats, 300u);
    int survivors = 0;
    for (int64_t h = 0; h <= 300; ++h) {
        const std::string text = "gone to " + std::to_string(h);
        const auto carved = run.withText(text);
        if (h >= 2 && h <= 127) {
            if (!iosSixImageSurvives(bytes, text)) continue;
            ++survivors;
            ASSERT_FALSE(carved.empty()) << h;
            for (const auto& m : carved) {
                EXPECT_EQ(m->messagePhone(), phoneOf(h)) << h;
                EXPECT_EQ(m->handle_id(), h);
                EXPECT_EQ(m->messageType(), h % 2 == 1 ? "Send" : "Received") << h;
                EXPECT_EQ(m->bImessage(), h % 3 == 0) << h;
            }
        } else {
            // handle_id 0 and 1 (serial types 8, 9) and 128 on (two bytes)
            // do not fit the one-byte integer of the anchor.
            EXPECT_TRUE(carved.empty()) << h;
        }
        for (const auto& m : run.withText("live to " + std::to_string(h)))
            EXPECT_EQ(m->messagePhone(), phoneOf(liveHandleFor(h))) << h;
    }
    EXPECT_GE(survivors, 100);
    // The page log names the page at 0x1E000, with debug logging only.
    EXPECT_FALSE(run.logged("m===30"));
    setDebugLogging(true);
    CarveRun debugRun = carveFolder(dir.path(), true);
    setDebugLogging(false);
    EXPECT_TRUE(debugRun.logged("m===30"));
}

// A message takes the phone of its chat record wherever in the file that
// lies, before or after the message: with the pages in reverse order each
// chat record that came before its messages comes after them, and every
// message keeps its phone.
TEST(CarveMessagesIOS6, PhonesComeFromChatRecordsBeforeOrAfterTheMessage) {
    TempDir dir;
    ASSERT_EQ(writeOrFail(dir.path(), manyChatsSpec()), "");
    const std::string bytes = test::readFile(dir.path() / kDbName);
    const auto file = RawFile::fromBytes(bytes.data(), bytes.size());
    const PageGeometry geometry = pageGeometry(file.get());
    ASSERT_GT(geometry.pageCount, 4);
    const auto pageSize = static_cast<size_t>(geometry.pageSize);
    std::string reversed = bytes.substr(0, pageSize);
    for (int64_t page = geometry.pageCount - 1; page >= 1; --page)
        reversed.append(bytes, static_cast<size_t>(page) * pageSize, pageSize);
    const auto reversedFile = RawFile::fromBytes(reversed.data(), reversed.size());

    const auto phones = [](const RawFile* f) {
        CollectingSink sink;
        scanIOS6MessagePages(sink, f, pageGeometry(f));
        std::multiset<std::pair<std::string, std::string>> out;
        for (const MessagePtr& m : sink.delMessages) out.emplace(m->messageContent(), m->messagePhone());
        return out;
    };
    const auto inOrder = phones(file.get());
    const auto inReverse = phones(reversedFile.get());
    EXPECT_EQ(inOrder, inReverse);
    size_t checked = 0;
    for (const auto& [text, phone] : inReverse) {
        if (text.rfind("gone to ", 0) != 0) continue;
        EXPECT_EQ(phone, phoneOf(std::stoll(text.substr(8)))) << text;
        ++checked;
    }
    EXPECT_GE(checked, 100u);
}

// A record at an offset the sink does not want is passed over unread; the
// others, and the chat records, are as in a walk that reads them all.
TEST(CarveMessagesIOS6, RecordsTheSinkDoesNotWantAreNotRead) {
    TempDir dir;
    ASSERT_EQ(writeOrFail(dir.path(), manyChatsSpec()), "");
    const auto file = RawFile::open((dir.path() / kDbName).string());
    ASSERT_TRUE(file);
    CollectingSink all;
    scanIOS6MessagePages(all, file.get(), pageGeometry(file.get()));
    ASSERT_GT(all.delMessages.size(), 100u);

    struct Choosy : CollectingSink {
        std::set<int64_t> unwanted;
        std::vector<int64_t> asked;
        bool wantsDelRecordAt(int64_t offset) override {
            asked.push_back(offset);
            return unwanted.count(offset) == 0;
        }
    } choosy;
    std::vector<std::string> expected;
    for (size_t i = 0; i < all.delMessages.size(); ++i) {
        const int64_t offset = *all.delMessages[i]->provenance().offset;
        if (i % 2 == 0) choosy.unwanted.insert(offset);
        else expected.push_back(std::to_string(offset) + " " + all.delMessages[i]->messageContent() + " " +
                                all.delMessages[i]->messagePhone());
    }
    scanIOS6MessagePages(choosy, file.get(), pageGeometry(file.get()));
    std::vector<std::string> got;
    for (const MessagePtr& m : choosy.delMessages)
        got.push_back(std::to_string(*m->provenance().offset) + " " + m->messageContent() + " " + m->messagePhone());
    EXPECT_EQ(got, expected);
    EXPECT_EQ(choosy.asked.size(), all.delMessages.size());
    EXPECT_EQ(choosy.chatMessages.size(), all.chatMessages.size());
}

// The whole results path: existing messages by SQL, then the carving; the
// duplicate rule must leave no live message among the deleted ones.
TEST(CarveMessagesIOS6, ResultsListNoLiveMessageAsDeleted) {
    TempDir dir;
    ASSERT_EQ(writeOrFail(dir.path(), manyChatsSpec()), "");
    WrenfieldAppDelegate app;
    app.currentNodeIsiOS6Version = true;
    TovResultViewController& results = app.showResultView();
    results.showView();
    app.scanMessageThread(dir.str());
    app.scanDelMessageThread(dir.str());
    const std::string bytes = test::readFile(dir.path() / kDbName);
    int expected = 0;
    for (int h = 2; h <= 127; ++h) expected += iosSixImageSurvives(bytes, "gone to " + std::to_string(h)) ? 1 : 0;
    EXPECT_GE(expected, 100);
    // Stale images whose content was partly overwritten may add records of
    // their own; what must not happen is a live message listed as deleted.
    int deletedGone = 0;
    for (const auto& m : results.messageArray) {
        if (!m->bDeleted()) continue;
        EXPECT_NE(m->messageContent().rfind("live to ", 0), 0u) << m->messageContent() << " " << m->messagePhone();
        if (m->messageContent().rfind("gone to ", 0) == 0) ++deletedGone;
    }
    EXPECT_EQ(deletedGone, expected);  // handles 2..127
}

// Rewrites bytes of the message database in place.
void patchDatabase(const fs::path& folder, int64_t offset, const std::vector<uint8_t>& bytes) {
    FILE* f = std::fopen((folder / kDbName).c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    std::fseek(f, static_cast<long>(offset), SEEK_SET);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

// Offsets of the table leaf pages whose probes find message records.
std::vector<int64_t> messageLeafPages(const fs::path& folder) {
    auto file = RawFile::open((folder / kDbName).string());
    const PageGeometry g = pageGeometry(file.get());
    std::vector<int64_t> pages;
    const uint8_t anchor[] = {0x08, 0x00, 0x01, 0x00};
    for (int64_t w = 1; w < g.pageCount; ++w) {
        const int64_t f = w * g.pageSize;
        if (file->at(f) == 0x0D && carve_detail::findPattern(file.get(), f, f + g.pageSize, anchor, 4) >= 0)
            pages.push_back(f);
    }
    return pages;
}

TEST(CarveMessagesIOS6, InteriorPagesAreAlwaysSearchedLeafPagesOnlyWhenAProbeMatches) {
    TempDir dir;
    gen::BackupSpec plan;
    plan.handles = {handle(9, "+15550009", "SMS")};
    for (int i = 0; i < 60; ++i)
        plan.messages.push_back(iosSixMessage("text number " + std::to_string(i), 9, false, "SMS", 380000000, true));
    plan.messages.push_back(iosSixMessage("keeps the page", 9, false, "SMS", 380000000, false));
    ASSERT_EQ(writeOrFail(dir.path(), plan), "");
    WrenfieldAppDelegate::commitDB((dir.path() / kDbName).string());
    const auto pages = messageLeafPages(dir.path());
    ASSERT_FALSE(pages.empty());
    const int64_t f = pages.back();
    // Cell pointers and content start that lead the probes nowhere.
    const std::vector<uint8_t> blindHeader = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    patchDatabase(dir.path(), f + 5, blindHeader);
    size_t asLeaf = carveFolder(dir.path(), true).messages.size();
    patchDatabase(dir.path(), f, {0x05});  // the same bytes as an interior page
    size_t asInterior = carveFolder(dir.path(), true).messages.size();
    EXPECT_GT(asInterior, asLeaf);
}

TEST(CarveMessagesIOS6, ChatRowNumbersAndPrefixes) {
    // Row numbers: the varint that ends at a - 4.
    auto rowAt = [](std::vector<uint8_t> bytes) {
        bytes.insert(bytes.begin(), 0x00);  // keep clear of offset 0
        auto f = RawFile::fromBytes(bytes.data(), bytes.size());
        return chatRowNumberEndingAt(f.get(), static_cast<int64_t>(bytes.size()) - 1);
    };
    EXPECT_EQ(rowAt({0x2A, 0x02}), 2);
    EXPECT_EQ(rowAt({0x2A, 0x81, 0x02}), 130);
    EXPECT_EQ(rowAt({0x2A, 0x81, 0x80, 0x00}), 16384);
    EXPECT_EQ(rowAt({0x2A, 0x81, 0x81, 0x81, 0x01}), (1 << 21) | (1 << 14) | (1 << 7) | 1);
    EXPECT_EQ(rowAt({0x81, 0x81, 0x81, 0x81, 0x01}), (1 << 21) | (1 << 14) | (1 << 7) | 1);  // at most three more
    EXPECT_EQ(rowAt({0x2A, 0x85}), 0x85);  // a high byte at a - 4 stays itself

    EXPECT_EQ(stripChatPrefixes("SMS;-;+15551234"), "+15551234");
    EXPECT_EQ(stripChatPrefixes("iMessage;-;me@x.com"), "me@x.com");
    EXPECT_EQ(stripChatPrefixes("chat1234"), "chat1234");
    EXPECT_EQ(stripChatPrefixes("SMS;-;iMessage;-;a SMS;-;b"), "a b");
    EXPECT_EQ(stripChatPrefixes("iMessSMS;-;age;-;x"), "x");  // the second pass sees the first one's result
    EXPECT_EQ(flagsWord(2), std::string("Received"));
    EXPECT_EQ(flagsWord(22), std::string("Received"));
    EXPECT_EQ(flagsWord(3), std::string("Send"));
    EXPECT_EQ(flagsWord(16387), std::string("Send"));
    for (int f : {0, 1, 16386}) EXPECT_EQ(flagsWord(f), std::string("unknown"));
}

// ---- Older layouts ----

gen::Message olderSms(const std::string& text, const std::string& address, int flags, int64_t date, bool deleted) {
    gen::Message m;
    m.text = text;
    m.address = address;
    m.flags = flags;
    m.date = date;
    m.deleted = deleted;
    return m;
}

gen::Message olderIMessage(const std::string& text, std::optional<std::string> handleId, int madridFlags,
                           int64_t date, bool deleted) {
    gen::Message m;
    m.text = text;
    m.flags = 0;
    m.is_madrid = true;
    m.madrid_handle = std::move(handleId);
    m.madrid_flags = madridFlags;
    m.date = date;
    m.deleted = deleted;
    return m;
}

gen::BackupSpec iosFiveSpec(gen::MessageLayout layout = gen::MessageLayout::IOS5) {
    gen::BackupSpec plan;
    plan.layout = layout;
    plan.device.productVersion = "5.1.1";
    const std::string longSms(600, 'x');
    // Cells fill a page from its end: later rows lie at lower offsets, so
    // the walk meets each SMS just before the iMessage written ahead of it.
    plan.messages = {
        olderSms("live one", "+15550001", 2, 1300000000, false),
        olderIMessage("far imessage", std::nullopt, 0, 1300000100, true),
        olderSms(longSms, "+15550002", 3, 1300000200, true),
        olderIMessage("near imessage", std::nullopt, 0, 1300000300, true),
        olderSms("short sms", "+15550003", 2, 1300000400, true),
        olderIMessage("near but addressed", std::string("pal@me.com"), 16387, 1300000500, true),
        olderSms("another short", "+15550004", 3, 1300000600, true),
        olderSms("live two", "+15550005", 22, 1300000700, false),
    };
    if (layout == gen::MessageLayout::IOS5Plain) {
        std::erase_if(plan.messages, [](const gen::Message& m) { return m.is_madrid; });
    }
    return plan;
}

bool loggedPrefix(const CarveRun& run, const std::string& prefix) {
    return std::any_of(run.logs.begin(), run.logs.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

TEST(CarveMessagesOlder, WalFormatWalkAfterCommit) {
    TempDir dir;
    ASSERT_EQ(writeOrFail(dir.path(), iosFiveSpec()), "");
    CarveRun run = carveFolder(dir.path(), false, {contact("Bob Jones", "+1 555-0003")});
    ASSERT_EQ(run.progress, std::vector<int>{85});
    EXPECT_EQ(checkSQliteVersion(RawFile::open((dir.path() / kDbName).string()).get(), 18), 1);  // committed
    expectCarved(run, "short sms", "+15550003", "Bob Jones", "Received", "03-13-2011 07:13", false);
    expectCarved(run, std::string(600, 'x'), "+15550002", "", "Send", "03-13-2011 07:10", false);  // two-byte type
    expectCarved(run, "live two", "+15550005", "", "Received", "03-13-2011 07:18", false);       // flags 22

    // iMessage records: kept when addressed, when their direction is known,
    // or when 400 bytes or more lie between them and the last SMS.
    EXPECT_TRUE(run.withText("near imessage").empty());
    expectCarved(run, "far imessage", "", "", "unknown", "03-13-2011 07:08", true);
    expectCarved(run, "near but addressed", "pal@me.com", "", "Send", "03-13-2011 07:15", true);
    // The record lines hold names and texts: with debug logging only.
    EXPECT_FALSE(loggedPrefix(run, "[node messageName]==Bob Jones,[node messageContent]==short sms,m="));
    for (const std::string& line : run.logs) EXPECT_EQ(line.find("short sms"), std::string::npos) << line;
    TempDir again;
    ASSERT_EQ(writeOrFail(again.path(), iosFiveSpec()), "");
    setDebugLogging(true);
    CarveRun debugRun = carveFolder(again.path(), false, {contact("Bob Jones", "+1 555-0003")});
    setDebugLogging(false);
    EXPECT_TRUE(loggedPrefix(debugRun, "[node messageName]==Bob Jones,[node messageContent]==short sms,m="));
    EXPECT_TRUE(loggedPrefix(debugRun, "imagge..[node messageName]==,[node messageContent]==far imessage,m="));
}

// The rollback-format walk knows the narrower table without iMessage columns.
TEST(CarveMessagesOlder, RollbackFormatWalkWhenTheCommitCannotChangeTheFile) {
    TempDir dir;
    ASSERT_EQ(writeOrFail(dir.path(), iosFiveSpec(gen::MessageLayout::IOS5Plain)), "");
    const std::string dbPath = (dir.path() / kDbName).string();
    // Another connection holds the database exclusively: the switch to
    // write-ahead logging fails and the file keeps its rollback format.
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(dbPath.c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE; UPDATE message SET read = 1 WHERE 0;", nullptr, nullptr, nullptr),
              SQLITE_OK);
    CarveRun run = carveFolder(dir.path(), false, {contact("Bob Jones", "+1 555-0003")});
    sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(holder);
    ASSERT_EQ(checkSQliteVersion(RawFile::open(dbPath).get(), 18), 0);
    ASSERT_EQ(run.progress, std::vector<int>{85});
    EXPECT_FALSE(loggedPrefix(run, "m==="));  // this walk logs nothing
    expectCarved(run, "short sms", "+15550003", "Bob Jones", "Received", "03-13-2011 07:13", false);
    expectCarved(run, std::string(600, 'x'), "+15550002", "", "Send", "03-13-2011 07:10", false);

    // The same walk run directly over the unconverted file.
    WrenfieldAppDelegate app;
    CarveRun direct;
    {
        Recorder recorder(direct);
        auto file = RawFile::open(dbPath);
        scanRollbackFormatMessagePages(app, file.get(), pageGeometry(file.get()));
    }
    EXPECT_EQ(direct.messages.size(), run.messages.size());

    // Once the commit succeeds, the write-ahead-log walk reads the same
    // table with its width taken from the page (17 columns).
    CarveRun wal = carveFolder(dir.path(), false, {contact("Bob Jones", "+1 555-0003")});
    expectCarved(wal, "short sms", "+15550003", "Bob Jones", "Received", "03-13-2011 07:13", false);
    expectCarved(wal, std::string(600, 'x'), "+15550002", "", "Send", "03-13-2011 07:10", false);
}

// ---- The step's edges ----

TEST(CarveMessagesDriver, MissingDatabaseEmptyPathAndSubFolderLayout) {
    TempDir dir;
    CarveRun none = carveFolder(dir.path(), true);
    EXPECT_TRUE(none.progress.empty());
    EXPECT_TRUE(none.logged("messageDB is not exist"));
    CarveRun empty = carveFolder("", true);
    EXPECT_TRUE(empty.progress.empty());
    EXPECT_TRUE(empty.logs.empty());

    gen::BackupSpec plan;
    plan.subfolderLayout = true;
    plan.handles = {handle(4, "+15550004", "SMS")};
    plan.messages = {iosSixMessage("in a sub-folder", 4, false, "SMS", 380000000, true)};
    ASSERT_EQ(writeOrFail(dir.path(), plan), "");
    CarveRun sub = carveFolder(dir.path(), true);
    EXPECT_EQ(sub.progress, std::vector<int>{85});
    ASSERT_FALSE(sub.withText("in a sub-folder").empty());
    EXPECT_EQ(sub.withText("in a sub-folder")[0]->messagePhone(), "+15550004");
}

// Files that are not what they claim: every walk must finish without fault.
TEST(CarveMessagesDriver, DamagedAndOddFilesAreCarvedWithoutFault) {
    TempDir dir;
    gen::BackupSpec plan = manyChatsSpec();
    ASSERT_EQ(writeOrFail(dir.path(), plan), "");
    WrenfieldAppDelegate::commitDB((dir.path() / kDbName).string());
    const std::string good = test::readFile(dir.path() / kDbName);
    ASSERT_GT(good.size(), 100000u);

    auto writeDb = [&](const std::string& bytes) {
        std::ofstream out(dir.path() / kDbName, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    };
    auto withPageSize = [&](uint8_t hi, uint8_t lo) {
        std::string bytes = good;
        bytes[16] = static_cast<char>(hi);
        bytes[17] = static_cast<char>(lo);
        return bytes;
    };
    std::mt19937 rng(11);
    std::string random(300000, '\0');
    for (auto& c : random) c = static_cast<char>(rng() % 7 == 0 ? 0x0D : rng());
    random[16] = 0x02;  // 512-byte pages of random bytes
    random[17] = 0x00;
    std::string pointersPastEnd = good.substr(0, 4096 * 3);
    for (size_t f = 4096; f < pointersPastEnd.size(); f += 4096) {
        pointersPastEnd[f] = 0x0D;
        for (size_t i = 5; i < 14; ++i) pointersPastEnd[f + i] = static_cast<char>(0xFF);
    }

    const std::vector<std::pair<std::string, std::string>> cases = {
        {"page size 0", withPageSize(0, 0)},
        {"page size 1", withPageSize(0, 1)},
        {"page size 65535", withPageSize(0xFF, 0xFF)},
        {"truncated mid-page", good.substr(0, good.size() / 2 + 1234)},
        {"shorter than a page", good.substr(0, 3000)},
        {"empty file", std::string()},
        {"random bytes", random},
        {"cell pointers past the end", pointersPastEnd},
    };
    std::vector<size_t> intact;
    for (bool ios6 : {true, false}) {
        writeDb(good);
        intact.push_back(carveFolder(dir.path(), ios6).messages.size());
    }
    for (const auto& [name, bytes] : cases) {
        for (bool ios6 : {true, false}) {
            writeDb(bytes);
            CarveRun run = carveFolder(dir.path(), ios6);
            EXPECT_EQ(run.progress, std::vector<int>{85}) << name << " ios6=" << ios6;
            if (name == "shorter than a page" || name == "empty file") {
                EXPECT_TRUE(run.messages.empty()) << name;
            }
            // A page-size field that is no valid size is a damaged header:
            // the walk falls back to the size the pages show and finds what
            // the intact file gives.
            if (name == "page size 0" || name == "page size 65535") {
                EXPECT_EQ(run.messages.size(), intact[ios6 ? 0 : 1]) << name << " ios6=" << ios6;
            }
        }
    }
}

}  // namespace
}  // namespace kestrel
