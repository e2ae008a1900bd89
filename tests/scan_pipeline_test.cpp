// The scan's pipeline: the carving thread beside the existing-record steps
// posts exactly what the steps run one after the other post (checked against
// a scan in place, which runs them in turn), a stop ends both threads, and
// the streamed message list of the results model lists what the kept list
// holds.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <any>
#include <array>
#include <cstdio>
#include <thread>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/backup_discovery.h"
#include "app/collecting_sink.h"
#include "app/log.h"
#include "app/notification_center.h"
#include "app/provenance_text.h"
#include "app/working_folder.h"
#include "results/record_json.h"
#include "results/result_view_controller.h"
#include "results/spool_file.h"
#include "scan/app_controller.h"
#include "scan/hand_over_sink.h"
#include "test_support.h"
#include "tools/backup_generator.h"

namespace {

using namespace kestrel;
namespace fs = std::filesystem;

std::string describe(const TovMessageNode& m) {
    return m.messageContent() + "|" + m.messagePhone() + "|" + m.messageName() + "|" + m.messageDate() + "|" +
           m.messageType() + "|" + m.source() + "|" + (m.bDeleted() ? "D" : "-") + "|" +
           provenanceText(m.provenance());
}

std::string describe(const TovContactNode& c) {
    return c.contactName() + "|" + c.contactPhone() + "|" + c.contactEmail() + "|" + c.source() + "|" +
           (c.bDeleted() ? "D" : "-") + "|" + provenanceText(c.provenance());
}

// Everything a scan tells its observers and its log, in order.
struct ScanTrace {
    std::vector<std::string> posted;  // one line per notification
    std::vector<std::string> log;
    std::vector<std::string> warnings;
    std::vector<std::string> listedMessages, listedContacts;
    std::vector<std::string> databaseFiles;  // the files the scan read, as it names them
    std::vector<std::string> filesInBackup;  // the same, as the reports name them
};

ScanTrace traceScan(const std::string& folder, bool beside, bool handOver = false) {
    ScanTrace trace;
    // Debug lines too: the carvers write theirs on the carving thread.
    const bool debug = debugLogging();
    setDebugLogging(true);
    std::mutex logMutex;
    LogSink previous = setLogSink([&](const std::string& line) {
        std::lock_guard<std::mutex> lock(logMutex);
        trace.log.push_back(line);
    });
    {
        WrenfieldAppDelegate app;
        TovIOSDeviceController probe;
        probe.addDeviceNodeByPath(folder);
        EXPECT_FALSE(probe.arrangedObjects().empty());
        if (probe.arrangedObjects().empty()) return trace;
        auto& nc = NotificationCenter::defaultCenter();
        auto record = [&](const char* name) {
            return nc.addObserver(name, [&trace, name](const Notification& n) {
                std::string line = name;
                if (const auto* c = std::any_cast<ContactPtr>(&n.object)) line += " " + describe(**c);
                if (const auto* m = std::any_cast<MessagePtr>(&n.object)) line += " " + describe(**m);
                if (const auto* p = std::any_cast<int>(&n.object)) line += " " + std::to_string(*p);
                trace.posted.push_back(line);
            });
        };
        std::vector<NotificationCenter::Token> tokens;
        for (const char* name : {names::ScanContactInfo, names::ScanMessageInfo, names::ScanDelContactInfo,
                                 names::ScanDelMessageInfo, names::ScanProgressInfo}) {
            tokens.push_back(record(name));
        }
        app.setCarveBesideSteps(beside);
        app.setWalkHandOver(handOver);
        app.scanDeviceNode(probe.arrangedObjects().front(), folder);
        app.waitForScanThread();
        for (auto token : tokens) nc.removeObserver(token);
        trace.warnings = app.scanWarnings();
        trace.databaseFiles = app.scannedDatabaseFiles;
        trace.filesInBackup = app.databaseFilesInBackup(folder, app.scannedFolder());
        for (const auto& m : app.resultViewController->messageArray) trace.listedMessages.push_back(describe(*m));
        for (const auto& c : app.resultViewController->contactArray) trace.listedContacts.push_back(describe(*c));
    }
    setLogSink(previous);
    setDebugLogging(debug);
    return trace;
}

enum class Shape {
    Demo,
    IOS6Deleted,
    IOS5Deleted,
    Modern17,
    Modern18Wal,
    NoMessageDatabase,
    NoAddressBook,
    GarbageMessageDatabase,
    IOS6DeletedInLog
};

std::string writeShape(Shape shape, const fs::path& folder) {
    switch (shape) {
        case Shape::Demo: return gen::writeBackup(folder, gen::demoSpec());
        case Shape::IOS6Deleted:
            return gen::writeBackup(folder, gen::syntheticSpec(1500, 60, 60, 0.3, 5, gen::MessageLayout::IOS6, 0.3));
        case Shape::IOS5Deleted:
            return gen::writeBackup(folder, gen::syntheticSpec(1500, 60, 60, 0.3, 6, gen::MessageLayout::IOS5, 0.3));
        case Shape::Modern17: return gen::writeModernBackup(folder, gen::modernSpec(17, 1500, 3));
        case Shape::Modern18Wal: {
            gen::ModernSpec plan = gen::modernSpec(18, 1500, 4);
            plan.wal = true;
            return gen::writeModernBackup(folder, plan);
        }
        case Shape::NoMessageDatabase:
        case Shape::NoAddressBook: {
            // A step that finds no database logs it, the carving one too.
            const std::string error = gen::writeBackup(folder, gen::demoSpec());
            if (!error.empty()) return error;
            const char* name = shape == Shape::NoMessageDatabase ? kMessageDBName : kAddressBookDBName;
            return fs::remove(databasePathInBackup(folder.string(), name)) ? "" : "no database to remove";
        }
        case Shape::IOS6DeletedInLog: {
            // Messages deleted in a log the database keeps beside it, their
            // cells zeroed there: the committed copy no longer holds them,
            // while the database file itself still does.
            const std::string error =
                gen::writeBackup(folder, gen::syntheticSpec(1500, 60, 60, 0.3, 5, gen::MessageLayout::IOS6, 0.3));
            if (!error.empty()) return error;
            sqlite3* db = nullptr;
            const std::string path = databasePathInBackup(folder.string(), kMessageDBName);
            if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return "cannot open the message database";
            int persist = 1;
            sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
            sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
            const int done = sqlite3_exec(db,
                                          "PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0; PRAGMA secure_delete=ON;"
                                          "DELETE FROM message WHERE ROWID % 7 = 3;",
                                          nullptr, nullptr, nullptr);
            sqlite3_close(db);
            if (done != SQLITE_OK) return "cannot delete in a log";
            return fs::exists(path + "-wal") ? "" : "no log was kept";
        }
        case Shape::GarbageMessageDatabase: {
            // Its copy can be neither committed nor read: the walk of the
            // copy waits for the existing-message step, which fails.
            const std::string error = gen::writeBackup(folder, gen::demoSpec());
            if (!error.empty()) return error;
            std::FILE* f = std::fopen(databasePathInBackup(folder.string(), kMessageDBName).c_str(), "wb");
            if (f == nullptr) return "cannot write the message database";
            const std::string garbage(20000, '\x5a');
            std::fwrite(garbage.data(), 1, garbage.size(), f);
            std::fclose(f);
            return "";
        }
    }
    return "unknown shape";
}

class CarvingBesideTheSteps : public ::testing::TestWithParam<Shape> {};

// The default scan carves on its second thread, from the backup's own files,
// while the steps read and commit the copies; the other way runs every step
// in turn over the copies. Both must post the same records, in the same
// order, with the same progress values, log lines and warnings, whether the
// worker hands its walk of the message copy over to the carving thread or
// waits for it and posts the walk's records itself.
TEST_P(CarvingBesideTheSteps, PostsWhatTheStepsInTurnPost) {
    test::TempDir dir;
    ASSERT_EQ(writeShape(GetParam(), dir.path()), "");
    const ScanTrace inTurn = traceScan(dir.str(), /*beside=*/false);
    const ScanTrace beside = traceScan(dir.str(), /*beside=*/true, /*handOver=*/true);
    const ScanTrace waiting = traceScan(dir.str(), /*beside=*/true, /*handOver=*/false);
    for (const ScanTrace* way : {&beside, &waiting}) {
        ASSERT_FALSE(way->posted.empty());
        EXPECT_EQ(way->posted, inTurn.posted);
        EXPECT_EQ(way->log, inTurn.log);
        EXPECT_EQ(way->warnings, inTurn.warnings);
        EXPECT_EQ(way->listedMessages, inTurn.listedMessages);
        EXPECT_EQ(way->listedContacts, inTurn.listedContacts);
    }
    if (GetParam() == Shape::NoMessageDatabase || GetParam() == Shape::GarbageMessageDatabase) return;
    size_t deleted = 0, named = 0;
    for (const std::string& line : beside.posted) {
        if (line.rfind(names::ScanDelMessageInfo, 0) != 0) continue;
        ++deleted;
        // content|phone|name|...: the walk's names are looked up late on
        // one way, early on the other.
        const size_t first = line.find('|'), second = line.find('|', first + 1), third = line.find('|', second + 1);
        if (second != std::string::npos && third > second + 1) ++named;
    }
    EXPECT_GT(deleted, 0u) << "the backup should give carved messages";
    if (GetParam() == Shape::IOS6Deleted) {
        EXPECT_GT(named, 0u) << "some carved messages should be named";
    }
}

INSTANTIATE_TEST_SUITE_P(ScanPipeline, CarvingBesideTheSteps,
                         ::testing::Values(Shape::Demo, Shape::IOS6Deleted, Shape::IOS5Deleted, Shape::Modern17,
                                           Shape::Modern18Wal, Shape::NoMessageDatabase, Shape::NoAddressBook,
                                           Shape::GarbageMessageDatabase, Shape::IOS6DeletedInLog));

// A message database that came alone, whose header's page count covers the
// file, is read and walked where it lies instead of through a copy: the
// scan lists exactly what it lists for the same database copied (one whose
// header's page count is not in force, which is copied), and the backup's
// file keeps its bytes and time.
TEST(ScanPipeline, AMessageDatabaseThatCameAloneIsReadWhereItLiesAndListsWhatACopyLists) {
    test::TempDir dir;
    const fs::path alone = dir.path() / "alone", copied = dir.path() / "copied";
    ASSERT_EQ(writeShape(Shape::IOS6Deleted, alone), "");
    fs::copy(alone, copied, fs::copy_options::recursive);
    const std::string database = databasePathInBackup(alone.string(), kMessageDBName);
    const std::string copiedDatabase = databasePathInBackup(copied.string(), kMessageDBName);
    {
        // Its version-valid-for number no longer matches its change counter.
        std::fstream file(copiedDatabase, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(95);
        file.put('\x7f');
    }
    const std::string before = test::readFile(database);
    const auto modified = fs::last_write_time(database);

    const ScanTrace inPlace = traceScan(alone.string(), /*beside=*/true);
    const ScanTrace viaCopy = traceScan(copied.string(), /*beside=*/true);
    EXPECT_NE(std::find(inPlace.databaseFiles.begin(), inPlace.databaseFiles.end(), database),
              inPlace.databaseFiles.end());
    EXPECT_EQ(std::find(viaCopy.databaseFiles.begin(), viaCopy.databaseFiles.end(), copiedDatabase),
              viaCopy.databaseFiles.end());
    ASSERT_FALSE(inPlace.listedMessages.empty());
    EXPECT_EQ(inPlace.posted, viaCopy.posted);
    EXPECT_EQ(inPlace.warnings, viaCopy.warnings);
    EXPECT_EQ(inPlace.listedMessages, viaCopy.listedMessages);
    EXPECT_EQ(test::readFile(database), before);
    EXPECT_EQ(fs::last_write_time(database), modified);
    // Either way the reports name the backup's own files, which are there
    // to be hashed once the copies are gone.
    for (const auto& [trace, folder] : {std::pair(&inPlace, alone), std::pair(&viaCopy, copied)}) {
        ASSERT_EQ(trace->filesInBackup.size(), trace->databaseFiles.size());
        EXPECT_NE(std::find(trace->filesInBackup.begin(), trace->filesInBackup.end(),
                            databasePathInBackup(folder.string(), kMessageDBName)),
                  trace->filesInBackup.end());
        for (const std::string& file : trace->filesInBackup) {
            EXPECT_EQ(file.rfind(folder.string() + "/", 0), 0u) << file;
            EXPECT_TRUE(fs::is_regular_file(file)) << file;
        }
    }
    for (const auto& entry : fs::directory_iterator(fs::path(database).parent_path())) {
        EXPECT_EQ(entry.path().string().find(kMessageDBName + std::string("-")), std::string::npos) << entry.path();
    }
}

// A stop asked for while both threads work ends the scan; nothing is left
// waiting.
TEST(ScanPipeline, AStopEndsBothThreads) {
    test::TempDir dir;
    ASSERT_EQ(gen::writeBackup(dir.path(), gen::syntheticSpec(30000, 300, 300, 0.2, 9)), "");
    LogSink previous = setLogSink([](const std::string&) {});
    for (int delayMs : {0, 20, 80}) {
        WrenfieldAppDelegate app;
        TovIOSDeviceController probe;
        probe.addDeviceNodeByPath(dir.str());
        ASSERT_FALSE(probe.arrangedObjects().empty());
        app.scanDeviceNode(probe.arrangedObjects().front(), dir.str());
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        app.stopScan();
        auto ended = std::async(std::launch::async, [&app] { app.waitForScanThread(); });
        ASSERT_EQ(ended.wait_for(std::chrono::seconds(60)), std::future_status::ready) << "after " << delayMs << " ms";
        EXPECT_FALSE(app.isScanning());
    }
    setLogSink(previous);
}

// ---- The streamed message list ----

class CollectListed : public ListedMessageSink {
public:
    std::vector<std::string> listed;
    void messageListed(const TovMessageNode& message) override { listed.push_back(describe(message)); }
};

MessagePtr message(std::string phone, std::string content, std::string date, const char* source = kSourceExisting) {
    auto m = std::make_shared<TovMessageNode>();
    m->setMessagePhone(std::move(phone));
    m->setMessageContent(std::move(content));
    m->setMessageDate(std::move(date));
    m->setSource(source);
    return m;
}

// The posts of a scan whose compared texts fill the streamed list's
// temporary file past its buffer, with deleted records that repeat early
// and late existing ones (dropped), repeat each other (the second dropped),
// split the same bytes differently (kept), or show nothing (dropped).
std::vector<std::pair<const char*, MessagePtr>> postsOfAScan() {
    std::vector<std::pair<const char*, MessagePtr>> posts;
    const std::string filler(90, 'x');
    for (int i = 0; i < 15000; ++i) {
        posts.push_back({names::ScanMessageInfo,
                         message("+1555" + std::to_string(i), filler + std::to_string(i), "01-02-2013 10:00")});
    }
    // An existing message repeating another is listed all the same.
    posts.push_back({names::ScanMessageInfo, message("+15550", filler + "0", "01-02-2013 10:00")});
    // A message read by SQL from a deleted state goes through the deleted rules.
    posts.push_back({names::ScanMessageInfo, message("", "", "03-04-2013 11:00", kSourceRecentlyDeleted)});
    posts.push_back({names::ScanMessageInfo, message("+15557", filler + "7", "01-02-2013 10:00", kSourceRecentlyDeleted)});
    for (int i : {3, 14999, 20000}) {
        posts.push_back({names::ScanDelMessageInfo, message("+1555" + std::to_string(i), filler + std::to_string(i),
                                                            "01-02-2013 10:00")});
    }
    posts.push_back({names::ScanDelMessageInfo, message("+155520000", filler + "20000", "01-02-2013 10:00")});
    posts.push_back({names::ScanDelMessageInfo, message("+1555", "1" + filler + "3", "01-02-2013 10:00")});
    posts.push_back({names::ScanDelMessageInfo, message("+15553", filler + "3", "01-02-2013 10:01")});
    posts.push_back({names::ScanDelMessageInfo, message("", "", "05-06-2013 12:00")});
    return posts;
}

TEST(ScanPipeline, TheStreamedListHoldsWhatTheKeptListHolds) {
    std::vector<std::string> kept, streamed;
    std::array<int32_t, 4> keptCounts{}, streamedCounts{};
    for (bool stream : {false, true}) {
        NotificationCenter nc;
        TovResultViewController results(nc);
        CollectListed sink;
        if (stream) {
            ASSERT_TRUE(results.streamMessagesTo(&sink));
        }
        results.showView();
        for (auto& [name, m] : postsOfAScan()) nc.postNotificationName(name, std::any(m));
        const std::array<int32_t, 4> counts{results.BackUpFilesNum, results.deleteeFilesNum, results.messageNum,
                                            results.delMessageNum};
        if (stream) {
            EXPECT_TRUE(results.messageArray.empty());
            EXPECT_TRUE(results.streamedKeysGood());
            streamed = sink.listed;
            streamedCounts = counts;
        } else {
            for (const auto& m : results.messageArray) kept.push_back(describe(*m));
            keptCounts = counts;
        }
    }
    // The repeated existing one, the blank recently deleted one, and three
    // deleted ones that repeat nothing.
    ASSERT_EQ(kept.size(), 15000u + 5);
    EXPECT_EQ(streamed, kept);
    EXPECT_EQ(streamedCounts, keptCounts);
}

// The commit of a private working copy skips the syncs to the disk; it
// must still leave every row of the log in the main file, as the durable
// commit of a backup's own file does.
TEST(ScanPipeline, TheCommitOfAWorkingCopyCarriesTheLogsRowsWithoutSyncing) {
    for (const bool durable : {true, false}) {
        test::TempDir dir;
        const std::string path = (dir.path() / "copy.db").string();
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        // The rows stay in the log: no checkpoint when this connection closes.
        sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        ASSERT_EQ(sqlite3_exec(db,
                               "PRAGMA journal_mode=WAL; CREATE TABLE t(x TEXT); WITH RECURSIVE n(i) AS (SELECT 1 "
                               "UNION ALL SELECT i + 1 FROM n WHERE i < 3000) INSERT INTO t SELECT 'row ' || i FROM n;",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
        ASSERT_GT(fs::file_size(path + "-wal"), 0u);

        ASSERT_TRUE(WrenfieldAppDelegate::commitDB(path, durable)) << durable;
        // The main file alone, without its log, holds every row.
        const std::string alone = (dir.path() / "alone.db").string();
        fs::copy_file(path, alone);
        ASSERT_EQ(sqlite3_open_v2(alone.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
        sqlite3_stmt* count = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT count(*) FROM t", -1, &count, nullptr), SQLITE_OK);
        ASSERT_EQ(sqlite3_step(count), SQLITE_ROW);
        EXPECT_EQ(sqlite3_column_int(count, 0), 3000) << durable;
        sqlite3_finalize(count);
        sqlite3_close(db);
    }
}

// What a walk posts on its own thread reaches the draining thread in the
// order posted, its log lines before the records of their batch and on the
// draining thread; lookups are answered on the walking thread.
TEST(ScanPipeline, AHandOverKeepsTheWalksOrderAndItsLogLinesPlace) {
    std::vector<std::string> events;
    std::vector<std::thread::id> loggedOn;
    const LogSink previous = setLogSink([&](const std::string& line) {
        events.push_back("log " + line);
        loggedOn.push_back(std::this_thread::get_id());
    });
    struct Recording : CollectingSink {
        std::vector<std::string>* events = nullptr;
        void postDelMessage(MessagePtr m) override { events->push_back("message " + m->messageContent()); }
        void postChatMessage(ChatMessagePtr c) override { events->push_back("chat " + std::to_string(c->rowid())); }
    } target;
    target.events = &events;
    target.names = {{"+1555", "Ann"}};
    HandOverSink handOver(target, 100, 2);
    std::vector<std::optional<std::string>> looked;
    std::thread walker([&] {
        handOver.beginWalk();
        auto chat = std::make_shared<TovChatMessageNode>();
        chat->setRowid(7);
        handOver.postChatMessage(chat);
        for (int i = 0; i < 1000; ++i) {
            if (i % 150 == 0) NSLog("at %d", i);
            auto m = std::make_shared<TovMessageNode>();
            m->setMessageContent(std::to_string(i));
            handOver.postDelMessage(m);
            if (i % 400 == 0) looked.push_back(handOver.getNameByPhoneNumber("+1555"));
        }
        NSLog("walked");
        handOver.close();
    });
    handOver.drainInto(target);
    walker.join();
    setLogSink(previous);

    std::vector<std::string> expected{"chat 7"};
    for (int i = 0; i < 1000; ++i) {
        if (i % 150 == 0) expected.push_back("log at " + std::to_string(i));
        expected.push_back("message " + std::to_string(i));
    }
    expected.push_back("log walked");
    // A line comes before the records of its batch, never after one posted
    // later than it was logged.
    std::vector<std::string> records, lines;
    for (const std::string& e : events) (e.rfind("log ", 0) == 0 ? lines : records).push_back(e);
    std::vector<std::string> expectedRecords, expectedLines;
    for (const std::string& e : expected) (e.rfind("log ", 0) == 0 ? expectedLines : expectedRecords).push_back(e);
    EXPECT_EQ(records, expectedRecords);
    EXPECT_EQ(lines, expectedLines);
    for (size_t at = 0; at < events.size(); ++at) {
        if (events[at].rfind("log at ", 0) != 0) continue;
        const std::string first = "message " + events[at].substr(7);
        const auto posted = std::find(events.begin(), events.end(), first);
        EXPECT_GT(posted - events.begin(), static_cast<std::ptrdiff_t>(at)) << events[at];
    }
    for (const std::thread::id id : loggedOn) EXPECT_EQ(id, std::this_thread::get_id());
    EXPECT_EQ(looked, (std::vector<std::optional<std::string>>{"Ann", "Ann", "Ann"}));
}

// A draining side that fails does not leave the walk waiting for room: the
// walk runs to its end, and the failure reaches the drain's caller.
TEST(ScanPipeline, AFailedDrainDoesNotHoldTheWalk) {
    struct Failing : CollectingSink {
        int seen = 0;
        void postDelMessage(MessagePtr) override {
            if (++seen == 250) throw std::runtime_error("listing failed");
        }
    } target;
    HandOverSink handOver(target, 64, 2);
    int posted = 0;
    std::thread walker([&] {
        handOver.beginWalk();
        for (; posted < 5000; ++posted) handOver.postDelMessage(std::make_shared<TovMessageNode>());
        handOver.close();
    });
    EXPECT_THROW(handOver.drainInto(target), std::runtime_error);
    walker.join();
    EXPECT_EQ(posted, 5000);
    EXPECT_EQ(target.seen, 250);
}

// With a naming given, the walking thread looks up nothing (the names may
// not all be known yet, and the draining thread uses the same list): each
// carved message is named on the draining thread just before it is posted,
// through the target. Abandoned records are dropped with their log lines,
// and the walk never waits for room again.
TEST(ScanPipeline, AHandOverNamesOnTheDrainAndCanBeAbandoned) {
    struct Named : CollectingSink {
        std::vector<std::string> seen;
        std::vector<std::thread::id> lookedUpOn;
        std::optional<std::string> getNameByPhoneNumber(const std::string& phone) override {
            lookedUpOn.push_back(std::this_thread::get_id());
            return CollectingSink::getNameByPhoneNumber(phone);
        }
        void postDelMessage(MessagePtr m) override { seen.push_back(m->messagePhone() + "=" + m->messageName()); }
    } target;
    target.names = {{"+1555", "Ann"}};
    {
        HandOverSink handOver(target, 3, 1, [](RecordSink& names, TovMessageNode& m) {
            if (auto name = names.getNameByPhoneNumber(m.messagePhone())) m.setMessageName(*name);
        });
        std::vector<std::optional<std::string>> looked;
        std::thread walker([&] {
            handOver.beginWalk();
            for (const char* phone : {"+1555", "+1999", "+1555", "+1555"}) {
                auto m = std::make_shared<TovMessageNode>();
                m->setMessagePhone(phone);
                looked.push_back(handOver.getNameByPhoneNumber(phone));
                handOver.postDelMessage(m);
            }
            handOver.close();
        });
        handOver.drainInto(target);
        walker.join();
        EXPECT_EQ(looked, std::vector<std::optional<std::string>>(4));
        EXPECT_EQ(target.seen, (std::vector<std::string>{"+1555=Ann", "+1999=", "+1555=Ann", "+1555=Ann"}));
        for (const std::thread::id id : target.lookedUpOn) EXPECT_EQ(id, std::this_thread::get_id());
    }

    target.seen.clear();
    std::vector<std::string> logged;
    const LogSink previous = setLogSink([&](const std::string& line) { logged.push_back(line); });
    HandOverSink handOver(target, 2, 1, [](RecordSink&, TovMessageNode&) {});
    int posted = 0;
    std::promise<void> started;
    std::thread walker([&] {
        handOver.beginWalk();
        NSLog("walking");
        for (; posted < 10; ++posted) handOver.postDelMessage(std::make_shared<TovMessageNode>());
        started.set_value();
        // Batches of 2, one waiting: the walk is held here until the
        // records are abandoned.
        for (; posted < 3000; ++posted) handOver.postDelMessage(std::make_shared<TovMessageNode>());
        handOver.close();
    });
    EXPECT_EQ(started.get_future().wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    EXPECT_FALSE(handOver.abandoned());
    handOver.abandon();
    EXPECT_TRUE(handOver.abandoned());
    walker.join();
    setLogSink(previous);
    EXPECT_EQ(posted, 3000);
    EXPECT_TRUE(target.seen.empty());
    EXPECT_TRUE(logged.empty());
}

TEST(ScanPipeline, ASpoolReadsBackEveryByteAppended) {
    std::unique_ptr<SpoolFile> spool = SpoolFile::create();
    ASSERT_TRUE(spool);
    std::string all;
    for (int i = 0; i < 40000; ++i) {
        const std::string piece = std::to_string(i * 7919) + std::string(static_cast<size_t>(i % 97), static_cast<char>('a' + i % 26));
        if (i % 2 == 0) {
            spool->append(piece);
        } else {
            spool->buffer().append(piece);
            spool->commit();
        }
        all += piece;
    }
    ASSERT_EQ(spool->size(), all.size());
    ASSERT_GT(all.size(), 2u << 20);  // past the buffer: most of it was written out
    std::string out;
    for (uint64_t at : {uint64_t{0}, uint64_t{1} << 20, static_cast<uint64_t>(all.size() - 10)}) {
        ASSERT_TRUE(spool->read(at, 10, out));
        EXPECT_EQ(out, all.substr(static_cast<size_t>(at), 10));
    }
    EXPECT_FALSE(spool->read(all.size() - 5, 10, out));
    // Into a plain file (copied by the kernel) and a file opened for
    // appending (which the kernel's copy refuses: read and written here).
    test::TempDir dir;
    for (const char* mode : {"wb", "ab"}) {
        const fs::path path = dir.path() / (std::string("copy-") + mode);
        FILE* file = std::fopen(path.c_str(), mode);
        ASSERT_NE(file, nullptr);
        EXPECT_TRUE(spool->copyTo(fileno(file), 5, all.size())) << mode;
        std::fclose(file);
        EXPECT_EQ(test::readFile(path), all.substr(5)) << mode;
    }
    EXPECT_TRUE(spool->good());
}

}  // namespace

namespace {

// A message keeps its texts in one buffer: setting one text, in any order,
// longer or shorter or empty, leaves every other text as it was.
TEST(CompactRecords, EachTextOfAMessageStaysItsOwn) {
    TovMessageNode m;
    using Get = std::string (TovMessageNode::*)() const;
    using Set = void (TovMessageNode::*)(std::string_view);
    const std::vector<std::pair<Get, Set>> fields = {
        {&TovMessageNode::messageName, &TovMessageNode::setMessageName},
        {&TovMessageNode::messagePhone, &TovMessageNode::setMessagePhone},
        {&TovMessageNode::messageDate, &TovMessageNode::setMessageDate},
        {&TovMessageNode::messageType, &TovMessageNode::setMessageType},
        {&TovMessageNode::messageContent, &TovMessageNode::setMessageContent},
        {&TovMessageNode::service, &TovMessageNode::setService},
        {&TovMessageNode::chat, &TovMessageNode::setChat},
        {&TovMessageNode::deletedDate, &TovMessageNode::setDeletedDate},
    };
    std::vector<std::string> expected(fields.size());
    // Set in a scrambled order, then change each in turn to a longer text, a
    // shorter one, the empty text and one with a NUL byte.
    const size_t order[] = {4, 0, 7, 2, 5, 1, 6, 3};
    for (size_t i : order) {
        expected[i] = "text " + std::to_string(i) + std::string(i * 9, 'a' + static_cast<char>(i));
        (m.*fields[i].second)(expected[i]);
    }
    for (size_t i = 0; i < fields.size(); ++i) {
        for (std::string value : {expected[i] + std::string(200, 'z'), std::string("s"), std::string(),
                                  std::string("nul\0byte", 8)}) {
            (m.*fields[i].second)(value);
            expected[i] = value;
            for (size_t k = 0; k < fields.size(); ++k) ASSERT_EQ((m.*fields[k].first)(), expected[k]) << i << "," << k;
        }
    }
    EXPECT_EQ(m.messageContentVisit([](std::string_view t) { return t.size(); }), expected[4].size());
    // Several set at once: the others keep their texts, a later pair for
    // the same text wins, and the empty text and a NUL byte stay as given.
    m.setTexts({{TovMessageNode::kDate, "12-31-2012 23:59"},
                {TovMessageNode::kName, std::string_view("a\0b", 3)},
                {TovMessageNode::kChat, "first"},
                {TovMessageNode::kChat, ""},
                {TovMessageNode::kDate, "01-01-2013 00:00"}});
    expected[2] = "01-01-2013 00:00";
    expected[0] = std::string("a\0b", 3);
    expected[6] = "";
    for (size_t k = 0; k < fields.size(); ++k) ASSERT_EQ((m.*fields[k].first)(), expected[k]) << k;
    // All of them at once, each in its place.
    m.visitAll([&](const MessageTextsView& t) {
        const std::string_view all[] = {t.messageName, t.messagePhone, t.messageDate, t.messageType,
                                        t.messageContent, t.service, t.chat, t.deletedDate};
        for (size_t k = 0; k < fields.size(); ++k) EXPECT_EQ(all[k], expected[k]) << k;
        EXPECT_EQ(t.provenance, nullptr);
    });
    // No provenance is the empty one; a set one reads back whole.
    EXPECT_TRUE(m.provenance().empty());
    Provenance p{"sms.db", "freeblock", 21, 83245, std::nullopt, std::nullopt};
    m.setProvenance(p);
    EXPECT_EQ(m.provenance(), p);
    m.setProvenance(Provenance{});
    EXPECT_TRUE(m.provenance().empty());
}

}  // namespace

namespace {

// Plain bytes are copied in runs: escapes and replacements at the start, the
// end and between runs, and valid sequences beside invalid bytes.
TEST(CompactRecords, JsonStringsEscapeAtEveryPlaceOfARun) {
    using namespace std::string_view_literals;
    const std::pair<std::string_view, std::string> cases[] = {
        {""sv, "\"\""},
        {"plain text"sv, "\"plain text\""},
        {"\"q\"\\"sv, "\"\\\"q\\\"\\\\\""},
        {"\n\r\t\b\f\x01\x1f\x7f"sv, "\"\\n\\r\\t\\b\\f\\u0001\\u001f\x7f\""},
        {"a\0b"sv, "\"a\\u0000b\""},
        {"caf\xC3\xA9 \xF0\x9F\x98\x80!"sv, "\"caf\xC3\xA9 \xF0\x9F\x98\x80!\""},
        {"\xFF" "ab\xC3" "\xE2\x98"sv, "\"\xEF\xBF\xBD" "ab\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\xED\xA0\x80x"sv, "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDx\""},
    };
    for (const auto& [text, json] : cases) {
        std::string out = "prefix";
        appendJsonString(out, text);
        EXPECT_EQ(out, "prefix" + json);
    }

    // Longer texts are looked at eight bytes at a time: a byte that needs
    // escaping or replacing is found at every place of a text of up to 40
    // bytes, as it is on its own.
    const auto alone = [](char c) {
        std::string one;
        appendJsonString(one, std::string_view(&c, 1));
        return one.substr(1, one.size() - 2);
    };
    for (const char special : {'\x00', '\x1f', '"', '\\', '\x7f', '\x80', '\xc3', '\xff', ' ', '~'}) {
        for (size_t length = 1; length <= 40; ++length) {
            for (size_t at = 0; at < length; ++at) {
                std::string text(length, 'a');
                for (size_t k = 0; k < length; ++k) text[k] = static_cast<char>('!' + (k * 7) % 58 + (k % 2));
                for (char& c : text)
                    if (c == '"' || c == '\\') c = 'x';
                text[at] = special;
                std::string expected = "\"";
                for (char c : text) expected += alone(c);
                expected += "\"";
                std::string out;
                appendJsonString(out, text);
                ASSERT_EQ(out, expected) << "byte " << int(static_cast<unsigned char>(special)) << " at " << at << " of " << length;
            }
        }
    }
}

}  // namespace

namespace {

// The command streams its JSON list; ordered by name or cut to the deleted
// messages it must be the listed order sorted (equal names keep their
// order) or filtered.
TEST(ScanPipeline, SortedAndDeletedOnlyListsFollowTheListedOne) {
    test::TempDir dir;
    ASSERT_EQ(gen::writeBackup(dir.path(), gen::syntheticSpec(3000, 40, 40, 0.2, 12)), "");
    auto messagesOf = [&](const std::string& options) {
        const test::CommandResult run = test::runKestrel("scan --json " + options + " " + test::shellQuote(dir.str()));
        EXPECT_EQ(run.status, 0) << run.err;
        return nlohmann::json::parse(run.out)["messages"];
    };
    const nlohmann::json listed = messagesOf("");
    ASSERT_GT(listed.size(), 3000u / 2);
    std::vector<nlohmann::json> byName(listed.begin(), listed.end());
    std::stable_sort(byName.begin(), byName.end(), [](const nlohmann::json& a, const nlohmann::json& b) {
        return a["messageName"].get<std::string>() < b["messageName"].get<std::string>();
    });
    std::vector<nlohmann::json> deleted;
    for (const auto& m : listed) {
        if (m["bDeleted"].get<bool>()) deleted.push_back(m);
    }
    ASSERT_FALSE(deleted.empty());
    std::vector<nlohmann::json> deletedByName = deleted;
    std::stable_sort(deletedByName.begin(), deletedByName.end(), [](const nlohmann::json& a, const nlohmann::json& b) {
        return a["messageName"].get<std::string>() < b["messageName"].get<std::string>();
    });
    EXPECT_EQ(messagesOf("--sort name"), nlohmann::json(byName));
    EXPECT_EQ(messagesOf("--deleted-only"), nlohmann::json(deleted));
    EXPECT_EQ(messagesOf("--deleted-only --sort name"), nlohmann::json(deletedByName));
}

}  // namespace
