// A scan as evidence handling needs it: the backup is never written, the log
// holds nothing of its content, failed reads say so, hostile entries in place
// of a database are skipped with their reason, and a scan can be stopped
// without leaving its working folder behind.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <openssl/sha.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "app/backup_discovery.h"
#include "carve/sqlite_raw.h"
#include "scan/working_copies.h"
#include "test_support.h"
#include "tools/backup_generator.h"

using namespace kestrel;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

// Every entry under `root` with its kind, size, modification time (to the
// nanosecond) and content hash.
std::map<std::string, std::string> treeState(const fs::path& root) {
    std::map<std::string, std::string> state;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        struct stat info {};
        if (::lstat(entry.path().c_str(), &info) != 0) continue;
        std::string facts = std::to_string(info.st_mode) + "/" + std::to_string(info.st_size) + "/" +
                            std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec);
        if (S_ISREG(info.st_mode)) facts += "/" + std::to_string(std::hash<std::string>{}(test::readFile(entry.path())));
        state[fs::relative(entry.path(), root).string()] = facts;
    }
    return state;
}

std::vector<std::string> workingFolders(const fs::path& tmp) {
    std::vector<std::string> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(tmp, ec)) {
        if (entry.path().filename().string().rfind("kestrel-scan-", 0) == 0) found.push_back(entry.path().string());
    }
    return found;
}

struct Scan {
    test::CommandResult run;
    json doc;
};

Scan scanJson(const fs::path& folder, const std::string& extra = "", const std::string& tmp = "") {
    Scan s;
    const std::string env = tmp.empty() ? std::string() : "TMPDIR=" + test::shellQuote(tmp) + " ";
    s.run = test::runCommand(env + "timeout 120 " + test::shellQuote(KESTREL_CLI_PATH) + " scan --json " + extra + " " +
                             test::shellQuote(folder.string()));
    if (s.run.status == 0 || s.run.status == 1) s.doc = json::parse(s.run.out);
    return s;
}

std::vector<std::string> logLines(const std::string& err) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < err.size()) {
        size_t end = err.find('\n', at);
        if (end == std::string::npos) end = err.size();
        std::string line = err.substr(at, end - at);
        if (line.rfind("log: ", 0) == 0) lines.push_back(line.substr(5));
        at = end + 1;
    }
    return lines;
}

gen::Person person(int64_t rowid, std::string first, std::string last, std::string phone) {
    gen::Person p;
    p.rowid = rowid;
    p.first = std::move(first);
    p.last = std::move(last);
    gen::PersonValue v;
    v.property = 3;
    v.value = std::move(phone);
    p.values.push_back(v);
    return p;
}

// Ten persons and a few messages, iOS 6 layout.
gen::BackupSpec tenPersons() {
    gen::BackupSpec plan;
    for (int i = 1; i <= 10; ++i) {
        plan.persons.push_back(person(i, "First" + std::to_string(i), "Family" + std::to_string(i),
                                      "+1 555 010 " + std::to_string(1000 + i)));
    }
    plan.handles = {{1, "+15550101001", "SMS"}};
    gen::Message m;
    m.handle_id = 1;
    m.text = "hello there";
    m.date = 380000000;
    plan.messages.push_back(m);
    return plan;
}

int pageSizeOf(const std::string& bytes) {
    const int size = (static_cast<unsigned char>(bytes[16]) << 8) | static_cast<unsigned char>(bytes[17]);
    return size == 1 ? 65536 : size;
}

}  // namespace

TEST(SafeScan, CompanionNamesAreTheHashesOfTheirDomainPaths) {
    auto sha1 = [](const std::string& text) {
        unsigned char digest[SHA_DIGEST_LENGTH];
        SHA1(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
        std::string hex;
        for (unsigned char byte : digest) {
            static const char* digits = "0123456789abcdef";
            hex += digits[byte >> 4];
            hex += digits[byte & 15];
        }
        return hex;
    };
    const auto& databases = backupDatabases();
    ASSERT_EQ(databases.size(), 2u);
    const std::string paths[] = {"HomeDomain-Library/SMS/sms.db", "HomeDomain-Library/AddressBook/AddressBook.sqlitedb"};
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(databases[i].hashedName, sha1(paths[i]));
        EXPECT_EQ(databases[i].walName, sha1(paths[i] + "-wal"));
        EXPECT_EQ(databases[i].shmName, sha1(paths[i] + "-shm"));
        EXPECT_EQ(databases[i].journalName, sha1(paths[i] + "-journal"));
    }
    EXPECT_EQ(std::string(databases[0].hashedName), kMessageDBName);
    EXPECT_EQ(std::string(databases[1].hashedName), kAddressBookDBName);
}

// Both folder layouts, rollback journals and un-checkpointed write-ahead
// logs kept under their own hashed names: a default scan changes no byte and
// no modification time of the backup, leaves no working folder, and lists
// what a scan in place lists.
TEST(SafeScan, DefaultScanLeavesEveryByteAndTimeOfTheBackup) {
    test::TempDir tmp;
    for (int variant = 0; variant < 3; ++variant) {
        test::TempDir dir;
        if (variant == 2) {
            gen::ModernSpec shape = gen::modernSpec(17, 120, 3);
            shape.wal = true;
            ASSERT_EQ(gen::writeModernBackup(dir.path(), shape), "");
            ASSERT_TRUE(fs::exists(dir.path() / std::string(gen::kMessageWalName).substr(0, 2) / gen::kMessageWalName));
        } else {
            gen::BackupSpec plan = gen::syntheticSpec(300, 20, 10, 0.2, 5);
            plan.subfolderLayout = variant == 1;
            ASSERT_EQ(gen::writeBackup(dir.path(), plan), "");
        }
        const auto before = treeState(dir.path());
        Scan byDefault = scanJson(dir.path(), "", tmp.str());
        ASSERT_EQ(byDefault.run.status, 0) << variant << byDefault.run.err;
        EXPECT_EQ(byDefault.doc["warnings"], json::array());
        EXPECT_EQ(treeState(dir.path()), before) << variant;
        EXPECT_TRUE(workingFolders(tmp.path()).empty());

        Scan inPlace = scanJson(dir.path(), "--in-place", tmp.str());
        ASSERT_EQ(inPlace.run.status, 0) << variant << inPlace.run.err;
        if (variant == 2) {
            // The write-ahead logs lie under their own hashed names, where
            // SQLite does not look for them in place; the copies take them,
            // so their deletes show.
            EXPECT_LT(byDefault.doc["counts"]["Contacts"]["existing"].get<int>(),
                      inPlace.doc["counts"]["Contacts"]["existing"].get<int>());
            EXPECT_LT(byDefault.doc["counts"]["Messages"]["existing"].get<int>(),
                      inPlace.doc["counts"]["Messages"]["existing"].get<int>());
            continue;
        }
        EXPECT_EQ(byDefault.doc["contacts"], inPlace.doc["contacts"]) << variant;
        EXPECT_EQ(byDefault.doc["messages"], inPlace.doc["messages"]) << variant;
        EXPECT_EQ(byDefault.doc["counts"], inPlace.doc["counts"]) << variant;
        EXPECT_NE(treeState(dir.path()), before) << variant;  // in place writes, as it always did
    }
}

// A backup captured during a write holds a hot rollback journal: the copy
// takes it, so SQLite rolls the copy back to the committed state.
TEST(SafeScan, AHotJournalIsCopiedAndRolledBack) {
    test::TempDir source;
    ASSERT_EQ(gen::writeBackup(source.path(), tenPersons()), "");
    const fs::path book = source.path() / kAddressBookDBName;
    test::TempDir captured;
    ASSERT_EQ(gen::writeBackup(captured.path(), tenPersons()), "");
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(book.c_str(), &db), SQLITE_OK);
        sqlite3_exec(db, "PRAGMA journal_mode=DELETE; PRAGMA cache_size=1; PRAGMA secure_delete=ON;", nullptr, nullptr,
                     nullptr);
        ASSERT_EQ(sqlite3_exec(db, "BEGIN; DELETE FROM ABMultiValue; DELETE FROM ABPerson;", nullptr, nullptr, nullptr),
                  SQLITE_OK);
        // Force the changed pages into the file while the transaction is open.
        ASSERT_EQ(sqlite3_db_cacheflush(db), SQLITE_OK);
        ASSERT_TRUE(fs::exists(book.string() + "-journal"));
        fs::copy_file(book, captured.path() / kAddressBookDBName, fs::copy_options::overwrite_existing);
        fs::copy_file(book.string() + "-journal", captured.path() / (std::string(kAddressBookDBName) + "-journal"));
        sqlite3_exec(db, "ROLLBACK;", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    const auto before = treeState(captured.path());
    Scan withJournal = scanJson(captured.path());
    ASSERT_EQ(withJournal.run.status, 0) << withJournal.run.err;
    EXPECT_EQ(withJournal.doc["counts"]["Contacts"]["existing"], 10);
    EXPECT_EQ(treeState(captured.path()), before);

    // Without the journal the file holds the half-written state: the test
    // shows something only because the journal is taken.
    fs::remove(captured.path() / (std::string(kAddressBookDBName) + "-journal"));
    Scan withoutJournal = scanJson(captured.path());
    EXPECT_NE(withoutJournal.doc["counts"]["Contacts"]["existing"], 10) << withoutJournal.run.err;
}

// Another program holds the address book locked: a scan of copies does not
// care; a scan in place waits, then says it could not read the persons and
// lists none of the carved ones as deleted (they are the live ones).
TEST(SafeScan, ALockedAddressBookIsNotTurnedIntoDeletedContacts) {
    test::TempDir dir;
    ASSERT_EQ(gen::writeBackup(dir.path(), tenPersons()), "");
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open((dir.path() / kAddressBookDBName).c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE; UPDATE ABPerson SET First = First;", nullptr, nullptr, nullptr),
              SQLITE_OK);

    Scan copies = scanJson(dir.path());
    ASSERT_EQ(copies.run.status, 0) << copies.run.err;
    EXPECT_EQ(copies.doc["counts"]["Contacts"]["existing"], 10);
    EXPECT_EQ(copies.doc["counts"]["Contacts"]["deleted"], 0);

    Scan inPlace = scanJson(dir.path(), "--in-place");
    ASSERT_EQ(inPlace.run.status, 1) << inPlace.run.err;
    EXPECT_EQ(inPlace.doc["counts"]["Contacts"]["existing"], 0);
    EXPECT_EQ(inPlace.doc["counts"]["Contacts"]["deleted"], 0);
    ASSERT_FALSE(inPlace.doc["warnings"].empty());
    EXPECT_NE(inPlace.doc["warnings"][0].get<std::string>().find("existing contacts"), std::string::npos);
    EXPECT_NE(inPlace.run.err.find("log: existing contacts"), std::string::npos);
    auto text = test::runKestrel("scan --in-place " + dir.str());
    EXPECT_EQ(text.status, 1);
    EXPECT_NE(text.out.find("Warning: "), std::string::npos);
    EXPECT_NE(text.out.find("The lists may be incomplete."), std::string::npos);
    sqlite3_exec(holder, "ROLLBACK;", nullptr, nullptr, nullptr);
    sqlite3_close(holder);
}

// A damaged page in the middle of the address book: the step ends with an
// error, which the scan reports, and no carved person is listed as deleted.
TEST(SafeScan, ADamagedPageMidTableIsReported) {
    test::TempDir dir;
    gen::BackupSpec plan = tenPersons();
    for (int i = 11; i <= 400; ++i) {
        gen::Person p = person(i, "Filler" + std::to_string(i), std::string(60, 'f'), "+1 555 020 " + std::to_string(i));
        plan.persons.push_back(p);
    }
    ASSERT_EQ(gen::writeBackup(dir.path(), plan), "");
    const fs::path book = dir.path() / kAddressBookDBName;
    std::string bytes = test::readFile(book);
    const int pageSize = pageSizeOf(bytes);
    const size_t pages = bytes.size() / static_cast<size_t>(pageSize);
    ASSERT_GT(pages, 8u);
    // Every page of the second quarter gets an impossible page type.
    for (size_t p = pages / 4; p < pages / 2; ++p) bytes[p * static_cast<size_t>(pageSize)] = 0x07;
    std::ofstream(book, std::ios::binary | std::ios::trunc) << bytes;

    Scan s = scanJson(dir.path());
    ASSERT_EQ(s.run.status, 1) << s.run.err;
    EXPECT_EQ(s.doc["counts"]["Contacts"]["deleted"], 0);
    ASSERT_FALSE(s.doc["warnings"].empty());
    bool saysDeletedLeftOut = false;
    for (const json& w : s.doc["warnings"])
        saysDeletedLeftOut = saysDeletedLeftOut || w.get<std::string>().find("deleted contacts are not listed") == 0;
    EXPECT_TRUE(saysDeletedLeftOut) << s.doc["warnings"].dump();
}

// No log line of a default scan holds a name, number or text the generator
// wrote; --debug-log brings the detailed lines (and texts) back.
TEST(SafeScan, TheDefaultLogHoldsNothingOfTheBackup) {
    std::vector<gen::BackupSpec> plans = {gen::demoSpec(),
                                          gen::syntheticSpec(400, 30, 20, 0.3, 9, gen::MessageLayout::IOS5, 0.3)};
    bool debugShowsText = false;
    for (const gen::BackupSpec& plan : plans) {
        std::set<std::string> texts = {plan.device.deviceName, plan.device.serial};
        auto add = [&](const std::optional<std::string>& t) {
            if (t && t->size() >= 4) texts.insert(*t);
        };
        for (const gen::Person& p : plan.persons) {
            for (const auto* field : {&p.first, &p.last, &p.middle, &p.organization, &p.department, &p.jobTitle,
                                      &p.note, &p.nickname, &p.prefix, &p.suffix, &p.birthday})
                add(*field);
            for (const gen::PersonValue& v : p.values) add(v.value);
        }
        for (const gen::Handle& h : plan.handles) add(h.id);
        for (const gen::Message& m : plan.messages) {
            add(m.text);
            add(m.address);
            add(m.madrid_handle);
        }
        ASSERT_GT(texts.size(), 20u);
        test::TempDir dir;
        ASSERT_EQ(gen::writeBackup(dir.path(), plan), "");
        Scan s = scanJson(dir.path());
        ASSERT_EQ(s.run.status, 0) << s.run.err;
        const std::vector<std::string> lines = logLines(s.run.err);
        EXPECT_FALSE(lines.empty());  // the counts of each step
        for (const std::string& line : lines) {
            for (const std::string& text : texts) EXPECT_EQ(line.find(text), std::string::npos) << line;
            EXPECT_NE(line, "dd");
            EXPECT_NE(line.rfind("m===", 0), 0u) << line;
        }
        Scan debug = scanJson(dir.path(), "--debug-log");
        for (const std::string& line : logLines(debug.run.err)) {
            for (const std::string& text : texts) debugShowsText = debugShowsText || line.find(text) != std::string::npos;
        }
    }
    EXPECT_TRUE(debugShowsText);
}

// A FIFO, a folder, a link out of the backup, a link to /dev/zero and an
// unreadable file in place of a database: each is skipped with its reason,
// in a scan of copies and in place; the link's target is never written.
TEST(SafeScan, HostileEntriesInPlaceOfADatabaseAreSkippedWithTheirReason) {
    test::TempDir outside;
    ASSERT_EQ(gen::writeBackup(outside.path(), tenPersons()), "");
    const fs::path target = outside.path() / kAddressBookDBName;
    const std::string targetBytes = test::readFile(target);

    struct Case {
        const char* what;
        const char* reason;
    };
    const Case cases[] = {{"fifo", "is a FIFO"},
                          {"folder", "is a directory"},
                          {"link out", "symbolic link leading out of the backup folder"},
                          {"dev zero", "symbolic link leading out of the backup folder"},
                          {"unreadable", "cannot be"}};
    for (const Case& c : cases) {
        if (std::string(c.what) == "unreadable" && ::geteuid() == 0) continue;  // root reads it anyway
        for (const char* mode : {"", "--in-place"}) {
            test::TempDir dir;
            ASSERT_EQ(gen::writeBackup(dir.path(), tenPersons()), "");
            const fs::path book = dir.path() / kAddressBookDBName;
            fs::remove(book);
            const std::string what = c.what;
            if (what == "fifo") {
                ASSERT_EQ(::mkfifo(book.c_str(), 0600), 0);
            }
            if (what == "folder") fs::create_directory(book);
            if (what == "link out") fs::create_symlink(target, book);
            if (what == "dev zero") fs::create_symlink("/dev/zero", book);
            if (what == "unreadable") {
                std::ofstream(book) << targetBytes;
                fs::permissions(book, fs::perms::none);
            }
            Scan s = scanJson(dir.path(), mode);
            ASSERT_NE(s.run.status, 124) << c.what << mode << ": the scan hung";
            ASSERT_EQ(s.run.status, 1) << c.what << mode << s.run.err;
            EXPECT_NE(s.run.err.find(c.reason), std::string::npos) << c.what << mode << s.run.err;
            EXPECT_EQ(s.doc["counts"]["Contacts"]["existing"], 0);
            EXPECT_EQ(s.doc["counts"]["Messages"]["existing"], 1);  // the other database is read
            EXPECT_EQ(test::readFile(target), targetBytes) << c.what << mode;
            EXPECT_FALSE(fs::exists(target.string() + "-wal"));
        }
    }
}

// A 2 GB sparse database costs no memory when mapped.
TEST(SafeScan, ASparseDatabaseIsMappedWithoutReadingItsHoles) {
    test::TempDir dir;
    const fs::path file = dir.path() / "sparse";
    {
        std::ofstream out(file, std::ios::binary);
        out << "SQLite format 3";
    }
    fs::resize_file(file, uint64_t{2} << 30);
    auto residentBytes = [] {
        std::ifstream statm("/proc/self/statm");
        long size = 0, resident = 0;
        statm >> size >> resident;
        return resident * ::sysconf(_SC_PAGESIZE);
    };
    const long before = residentBytes();
    std::unique_ptr<RawFile> raw = RawFile::open(file.string());
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(raw->size(), int64_t{2} << 30);
    EXPECT_EQ(raw->at(0), 'S');
    EXPECT_EQ(raw->at((int64_t{2} << 30) - 1), 0);
    EXPECT_LT(residentBytes() - before, 64L << 20);
}

namespace {

// The shared large backup of the interruption tests (made once).
const fs::path& largeBackup() {
    static test::TempDir* dir = nullptr;
    if (dir == nullptr) {
        dir = new test::TempDir();
        const std::string error = gen::writeBackup(dir->path(), gen::syntheticSpec(150000, 1000, 300, 0.1, 11));
        EXPECT_EQ(error, "");
    }
    return dir->path();
}

struct Stopped {
    int status = -1;
    double seconds = 0;
};

// Starts a scan with its working folder under `tmp`, sends `signal` once
// the folder exists, and times the end.
Stopped interruptScan(const fs::path& backup, const fs::path& tmp, int signal) {
    Stopped result;
    const pid_t child = ::fork();
    if (child == 0) {
        ::setenv("TMPDIR", tmp.c_str(), 1);
        const int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, 1);
        ::dup2(devnull, 2);
        ::execl(KESTREL_CLI_PATH, KESTREL_CLI_PATH, "scan", "--json", backup.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (workingFolders(tmp).empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto sent = std::chrono::steady_clock::now();
    ::kill(child, signal);
    int raw = 0;
    ::waitpid(child, &raw, 0);
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
    // Ended by the signal itself (not stopped and exited) shows as its negative.
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -WTERMSIG(raw);
    return result;
}

}  // namespace

TEST(SafeScan, InterruptedScansEndAtOnceAndLeaveNoWorkingFolder) {
    const fs::path& backup = largeBackup();
    ASSERT_TRUE(fs::exists(backup / kMessageDBName));
    for (int signal : {SIGINT, SIGTERM}) {
        test::TempDir tmp;
        const Stopped stopped = interruptScan(backup, tmp.path(), signal);
        EXPECT_EQ(stopped.status, signal == SIGINT ? 130 : 143) << signal;
        // Measured about a tenth of a second; the bound leaves room for a
        // loaded machine.
        EXPECT_LT(stopped.seconds, 5.0) << signal;
        RecordProperty(signal == SIGINT ? "sigint_seconds" : "sigterm_seconds", std::to_string(stopped.seconds));
        std::printf("stopped by signal %d after %.3f s\n", signal, stopped.seconds);
        EXPECT_TRUE(workingFolders(tmp.path()).empty()) << signal;
    }
    // Output piped into head: SIGPIPE ends the command, and nothing is left.
    test::TempDir tmp;
    auto piped = test::runCommand("bash -c " +
                                  test::shellQuote("TMPDIR=" + test::shellQuote(tmp.str()) + " " +
                                                   test::shellQuote(KESTREL_CLI_PATH) + " scan --json " +
                                                   test::shellQuote(backup.string()) +
                                                   " 2>/dev/null | head -c 100 >/dev/null; echo ${PIPESTATUS[0]}"));
    EXPECT_EQ(piped.out, "141\n");
    EXPECT_TRUE(workingFolders(tmp.path()).empty());
}

// Huge texts (a 4 MB message, a 1 MB name) are read whole and carved without harm.
TEST(SafeScan, HugeTextsAreReadWhole) {
    test::TempDir dir;
    gen::BackupSpec plan = tenPersons();
    plan.persons[0].first = std::string(1 << 20, 'n');
    plan.messages[0].text = std::string(4 << 20, 'm');
    gen::Message gone = plan.messages[0];
    gone.rowid = 0;
    gone.text = std::string(3 << 20, 'g');
    gone.deleted = true;
    plan.messages.push_back(gone);
    ASSERT_EQ(gen::writeBackup(dir.path(), plan), "");
    Scan s = scanJson(dir.path());
    ASSERT_EQ(s.run.status, 0) << s.run.err;
    bool found = false;
    for (const json& m : s.doc["messages"]) {
        if (!m["bDeleted"].get<bool>()) found = found || m["messageContent"].get<std::string>().size() == (4u << 20);
    }
    EXPECT_TRUE(found);
    EXPECT_EQ(s.doc["counts"]["Contacts"]["existing"], 10);
}

// Scans of one backup at the same time each read their own copies: every one
// gives the same counts, and none reports a failure.
TEST(SafeScan, ConcurrentScansOfOneBackupAgree) {
    test::TempDir dir;
    ASSERT_EQ(gen::writeBackup(dir.path(), gen::syntheticSpec(3000, 40, 20, 0.2, 8, gen::MessageLayout::IOS6, 0.2)),
              "");
    test::TempDir out;
    std::string line;
    for (int i = 0; i < 6; ++i) {
        line += test::shellQuote(KESTREL_CLI_PATH) + " scan --json " + test::shellQuote(dir.str()) + " >" +
                test::shellQuote((out.path() / std::to_string(i)).string()) + " 2>/dev/null & ";
    }
    ASSERT_EQ(test::runCommand(line + "wait").status, 0);
    json first;
    for (int i = 0; i < 6; ++i) {
        const json doc = json::parse(test::readFile(out.path() / std::to_string(i)));
        EXPECT_EQ(doc["warnings"], json::array()) << i;
        if (i == 0) first = doc["counts"];
        EXPECT_EQ(doc["counts"], first) << i;
    }
    EXPECT_EQ(first["Contacts"]["existing"], 32);  // 40 persons, a fifth deleted
}

TEST(SafeScan, HelpTellsTheExitStatusesAndTheNewOptions) {
    const auto top = test::runKestrel("--help");
    EXPECT_NE(top.out.find("130"), std::string::npos);
    EXPECT_NE(top.out.find("--debug-log"), std::string::npos);
    const auto scan = test::runKestrel("scan --help");
    for (const char* word : {"--in-place", "--read-only", "--debug-log", "warnings", "130", "143"})
        EXPECT_NE(scan.out.find(word), std::string::npos) << word;
}
