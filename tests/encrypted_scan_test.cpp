// End-to-end: `kestrel scan` on encrypted backups. An encrypted backup scans
// to exactly the JSON of its unencrypted twin (the backup's folder path is
// the one field that differs, and is compared normalised); a wrong password,
// a missing password and each damage give their own message and status; the
// decrypted databases never outlive the command, even when it is killed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>

#include "app/backup_discovery.h"
#include "crypto/encrypted_preparation.h"
#include "test_support.h"
#include "tools/backup_generator.h"

extern char** environ;

using namespace kestrel;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

// A test's own $TMPDIR, so that what the command leaves there can be seen.
struct Fixture {
    test::TempDir dir;
    fs::path plain() const { return dir.path() / "plain"; }
    fs::path encrypted() const { return dir.path() / "encrypted"; }
    fs::path tmp() const { return dir.path() / "tmp"; }
    Fixture() { fs::create_directories(tmp()); }
};

std::vector<std::string> entriesOf(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(folder, ec)) {
        names.push_back(fs::relative(entry.path(), folder).string());
    }
    return names;
}

// Every file of a folder with its bytes: to see that the backup is untouched.
std::map<std::string, std::string> contentsOf(const fs::path& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) files[fs::relative(entry.path(), folder).string()] = test::readFile(entry.path());
    }
    return files;
}

test::CommandResult scan(const Fixture& f, const fs::path& folder, const std::string& environment,
                         const std::string& extra = "") {
    return test::runCommand("env TMPDIR=" + test::shellQuote(f.tmp().string()) + " " + environment + " " +
                            test::shellQuote(KESTREL_CLI_PATH) + " scan --json " + extra + " " +
                            test::shellQuote(folder.string()));
}

std::string passwordEnv(const std::string& password) {
    return "KESTREL_BACKUP_PASSWORD=" + test::shellQuote(password);
}

// The scan's JSON with the backup's folder path normalised.
json normalised(const std::string& out) {
    json doc = json::parse(out);
    doc["backup"]["backUpFilePath"] = "<backup folder>";
    return doc;
}

gen::BackupSpec smallSpec() {
    gen::BackupSpec shape = gen::syntheticSpec(300, 40, 25, 0.2, 7, gen::MessageLayout::IOS6, 0.2);
    shape.device.deviceName = "Locked iPhone";
    return shape;
}

// Writes the plain backup and its encrypted twin.
void makeTwin(const Fixture& f, const gen::BackupSpec& shape, const gen::EncryptOptions& options) {
    ASSERT_EQ(gen::writeBackup(f.plain(), shape), "");
    ASSERT_EQ(gen::writeEncryptedTwin(f.plain(), f.encrypted(), options), "");
}

// The plain scan of the twin, on copies (it must not switch the twin's files).
json plainScan(const Fixture& f) {
    auto run = scan(f, f.plain(), "", "--read-only");
    EXPECT_EQ(run.status, 0) << run.err;
    return run.status == 0 ? normalised(run.out) : json();
}

}  // namespace

TEST(EncryptedScan, ScansToTheJsonOfItsPlainTwinAndLeavesNothingBehind) {
    for (const bool mbdb : {false, true}) {
        SCOPED_TRACE(mbdb ? "Manifest.mbdb era" : "Manifest.db era");
        Fixture f;
        gen::EncryptOptions options;
        options.password = "correct horse";
        options.mbdbEra = mbdb;
        makeTwin(f, smallSpec(), options);
        const json expected = plainScan(f);
        ASSERT_FALSE(expected.is_null());
        ASSERT_GT(expected["messages"].size(), 100u);
        ASSERT_GT(expected["contacts"].size(), 10u);
        const auto before = contentsOf(f.encrypted());

        auto run = scan(f, f.encrypted(), passwordEnv(options.password));
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(normalised(run.out), expected);
        EXPECT_NE(run.err.find("opening the encrypted backup"), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("HomeDomain/"), std::string::npos) << run.err;  // no file left out
        EXPECT_EQ(json::parse(run.out)["backup"]["backUpFilePath"], f.encrypted().string());
        EXPECT_EQ(contentsOf(f.encrypted()), before);
        EXPECT_TRUE(entriesOf(f.tmp()).empty());
    }
}

TEST(EncryptedScan, EveryPasswordSourceWorksAndTheWrongOneExitsThree) {
    Fixture f;
    gen::EncryptOptions options;
    options.password = "p\xc3\xa4ss word";  // UTF-8 and a space
    makeTwin(f, smallSpec(), options);
    const json expected = plainScan(f);
    const fs::path file = f.dir.path() / "password.txt";
    std::ofstream(file) << options.password << "\nsecond line is not the password\n";
    const fs::path wrongFile = f.dir.path() / "wrong.txt";
    std::ofstream(wrongFile) << "nope\n";

    auto byFile = scan(f, f.encrypted(), "", "--password-file " + test::shellQuote(file.string()));
    ASSERT_EQ(byFile.status, 0) << byFile.err;
    EXPECT_EQ(normalised(byFile.out), expected);
    auto byOption = scan(f, f.encrypted(), passwordEnv("wrong"), "--password " + test::shellQuote(options.password));
    ASSERT_EQ(byOption.status, 0) << byOption.err;  // the option comes before the environment
    EXPECT_EQ(normalised(byOption.out), expected);

    for (const auto& [environment, extra] : std::vector<std::pair<std::string, std::string>>{
             {passwordEnv("wrong"), ""},
             {passwordEnv(options.password), "--password-file " + test::shellQuote(wrongFile.string())},
             {"", "--password " + test::shellQuote(options.password + " ")}}) {
        auto wrong = scan(f, f.encrypted(), environment, extra);
        EXPECT_EQ(wrong.status, 3) << wrong.err;
        EXPECT_NE(wrong.err.find("kestrel: wrong password for this backup"), std::string::npos) << wrong.err;
        EXPECT_EQ(wrong.out, "");
        EXPECT_TRUE(entriesOf(f.tmp()).empty());
    }

    // No password anywhere and no terminal to ask on.
    auto none = scan(f, f.encrypted(), "KESTREL_BACKUP_PASSWORD=");
    EXPECT_EQ(none.status, 2);
    EXPECT_NE(none.err.find("no password was given"), std::string::npos) << none.err;
    auto both = scan(f, f.encrypted(), "", "--password a --password-file " + test::shellQuote(file.string()));
    EXPECT_EQ(both.status, 2);
    auto missingFile = scan(f, f.encrypted(), "", "--password-file " + test::shellQuote((f.dir.path() / "no").string()));
    EXPECT_EQ(missingFile.status, 2);
    EXPECT_TRUE(entriesOf(f.tmp()).empty());

    // The password options are for encrypted backups; a plain one ignores them.
    auto plain = scan(f, f.plain(), passwordEnv("anything"), "--read-only --password x");
    EXPECT_EQ(plain.status, 0) << plain.err;

    auto help = test::runKestrel("scan --help");
    EXPECT_NE(help.out.find("process list"), std::string::npos);
    EXPECT_NE(help.out.find("Exit status 3 for a wrong password"), std::string::npos);
}

TEST(EncryptedScan, EachDamageHasItsMessageAndTheOtherDatabaseIsStillScanned) {
    struct Case {
        gen::EncryptDamage damage;
        int status;
        const char* text;
    };
    const Case cases[] = {
        {gen::EncryptDamage::TruncatedKeybag, 1, "keybag in Manifest.plist is truncated"},
        {gen::EncryptDamage::NoManifestKey, 1, "has no ManifestKey"},
        {gen::EncryptDamage::ManifestKeyClassAbsent, 1, "protection class 9"},
        {gen::EncryptDamage::DamagedManifestDb, 1, "Manifest.db does not decrypt"},
        {gen::EncryptDamage::MessageDBShort, 0, "shorter than its record says"},
        {gen::EncryptDamage::MessageDBKeyClassAbsent, 0, "protection class 10"},
        {gen::EncryptDamage::MessageDBKeyDamaged, 0, "does not unwrap"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Fixture f;
        gen::EncryptOptions options;
        options.damage = c.damage;
        makeTwin(f, smallSpec(), options);
        auto run = scan(f, f.encrypted(), passwordEnv(options.password));
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_NE(run.err.find(c.text), std::string::npos) << run.err;
        EXPECT_TRUE(entriesOf(f.tmp()).empty());
        if (c.status != 0) {
            EXPECT_NE(run.err.find("kestrel: cannot open the encrypted backup: damaged backup: "), std::string::npos)
                << run.err;
            EXPECT_EQ(run.err.find("wrong password"), std::string::npos);
            continue;
        }
        // The message database is left out, named in the log; the address
        // book is scanned as in the twin.
        EXPECT_NE(run.err.find("log: HomeDomain/Library/SMS/sms.db: "), std::string::npos) << run.err;
        const json expected = plainScan(f);
        const json doc = normalised(run.out);
        EXPECT_EQ(doc["contacts"], expected["contacts"]);
        EXPECT_TRUE(doc["messages"].empty());
    }

    // A plain index over encrypted files (iOS 10.0 and 10.1) scans as the twin.
    Fixture f;
    gen::EncryptOptions options;
    options.damage = gen::EncryptDamage::PlainManifestDb;
    makeTwin(f, smallSpec(), options);
    auto run = scan(f, f.encrypted(), passwordEnv(options.password));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(normalised(run.out), plainScan(f));
}

TEST(EncryptedScan, WriteAheadLogsAreDecryptedBesideTheirDatabases) {
    // A modern backup whose latest changes sit in un-checkpointed -wal files,
    // stored (as devices store them) under their own hashed names.
    Fixture f;
    gen::ModernSpec shape = gen::modernSpec(17, 120, 3);
    shape.wal = true;
    ASSERT_EQ(gen::writeModernBackup(f.plain(), shape), "");
    gen::EncryptOptions options;
    ASSERT_EQ(gen::writeEncryptedTwin(f.plain(), f.encrypted(), options), "");

    // The plain twin laid out flat, each log beside its database.
    const fs::path flat = f.dir.path() / "flat";
    fs::create_directories(flat);
    for (const char* name : {"Info.plist", "Manifest.plist"}) {
        fs::copy_file(f.plain() / name, flat / name);
        fs::last_write_time(flat / name, fs::last_write_time(f.plain() / name));
    }
    const std::pair<const char*, const char*> logs[] = {{kMessageDBName, gen::kMessageWalName},
                                                       {kAddressBookDBName, gen::kAddressBookWalName}};
    for (const auto& [db, wal] : logs) {
        fs::copy_file(databasePathInBackup(f.plain().string(), db), flat / db);
        const std::string walPath = databasePathInBackup(f.plain().string(), wal);
        ASSERT_FALSE(walPath.empty());
        fs::copy_file(walPath, flat / (std::string(db) + "-wal"));
    }
    auto twin = scan(f, flat, "");
    ASSERT_EQ(twin.status, 0) << twin.err;
    auto run = scan(f, f.encrypted(), passwordEnv(options.password));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(normalised(run.out), normalised(twin.out));
    EXPECT_TRUE(entriesOf(f.tmp()).empty());


    // The logs were decrypted beside their databases, byte for byte.
    const char* oldTmp = std::getenv("TMPDIR");
    const std::string savedTmp = oldTmp != nullptr ? oldTmp : "";
    setenv("TMPDIR", f.tmp().c_str(), 1);
    {
        std::unique_ptr<WorkingFolder> folder = WorkingFolder::create();
        ASSERT_TRUE(folder);
        crypto::EncryptedPreparation prepared =
            crypto::prepareEncryptedBackup(f.encrypted().string(), options.password, *folder);
        ASSERT_TRUE(prepared.opened()) << prepared.error.message;
        for (const auto& [db, wal] : logs) {
            const std::string copy = folder->pathOf(std::string(db) + "-wal");
            ASSERT_TRUE(fs::exists(copy)) << copy;
            EXPECT_EQ(test::readFile(copy), test::readFile(databasePathInBackup(f.plain().string(), wal)));
            EXPECT_GT(fs::file_size(copy), 0u);
        }
    }
    if (oldTmp != nullptr) {
        setenv("TMPDIR", savedTmp.c_str(), 1);
    } else {
        unsetenv("TMPDIR");
    }
    EXPECT_TRUE(entriesOf(f.tmp()).empty());
}

namespace {

// Starts `kestrel scan` with stderr to a file; returns its process id.
pid_t startScan(const Fixture& f, const fs::path& folder, const std::string& password, const fs::path& errFile) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        if (entry.rfind("TMPDIR=", 0) == 0 || entry.rfind("KESTREL_BACKUP_PASSWORD=", 0) == 0) continue;
        env.push_back(entry);
    }
    env.push_back("TMPDIR=" + f.tmp().string());
    env.push_back("KESTREL_BACKUP_PASSWORD=" + password);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string program = KESTREL_CLI_PATH, verb = "scan", json = "--json", target = folder.string();
    char* argv[] = {program.data(), verb.data(), json.data(), target.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Waits until standard error holds `text` or the process ends.
bool waitForText(pid_t pid, const fs::path& errFile, const std::string& text) {
    for (int i = 0; i < 3000; ++i) {
        if (test::readFile(errFile).find(text) != std::string::npos) return true;
        if (waitpid(pid, nullptr, WNOHANG) == pid) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

}  // namespace

TEST(EncryptedScan, ATerminatedScanLeavesNoPlaintextBehind) {
    // Killed while the key is derived (a count that takes a moment), and
    // killed once the databases are decrypted and the scan has begun.
    Fixture f;
    gen::EncryptOptions slow;
    slow.sha256Rounds = 3000000;
    gen::BackupSpec big = gen::syntheticSpec(20000, 300, 200, 0.3, 11);
    makeTwin(f, big, slow);
    const fs::path errFile = f.dir.path() / "err";
    struct Moment {
        const char* text;
        const char* why;
    };
    for (const Moment& m : {Moment{"deriving the backup key 10%", "during the key derivation"},
                            Moment{"decrypted 2 databases", "during the scan"}}) {
        SCOPED_TRACE(m.why);
        const pid_t pid = startScan(f, f.encrypted(), slow.password, errFile);
        ASSERT_GT(pid, 0);
        const bool reached = waitForText(pid, errFile, m.text);
        if (reached) {
            // The working folder holds what it should at that moment.
            const auto entries = entriesOf(f.tmp());
            ASSERT_EQ(entries.size() >= 1, true);
            kill(pid, SIGTERM);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(reached) << test::readFile(errFile);
        // Ended by the signal, or stopped on it: never a normal result.
        EXPECT_TRUE(WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) != 0));
        EXPECT_TRUE(entriesOf(f.tmp()).empty()) << test::readFile(errFile);
    }
}

TEST(EncryptedPreparation, LaysTheDatabasesOutFlatAndNeverWritesIntoTheBackup) {
    Fixture f;
    gen::EncryptOptions options;
    options.sha256Rounds = 40000;  // enough rounds for progress calls
    makeTwin(f, smallSpec(), options);
    const auto before = contentsOf(f.encrypted());
    const char* oldTmp = std::getenv("TMPDIR");
    const std::string savedTmp = oldTmp != nullptr ? oldTmp : "";
    setenv("TMPDIR", f.tmp().c_str(), 1);
    {
        std::unique_ptr<WorkingFolder> folder = WorkingFolder::create();
        ASSERT_TRUE(folder);
        double lastFraction = -1;
        crypto::EncryptedPreparation prepared = crypto::prepareEncryptedBackup(
            f.encrypted().string(), options.password, *folder, [&](double fraction) {
                EXPECT_GE(fraction, lastFraction);
                lastFraction = fraction;
                return true;
            });
        ASSERT_TRUE(prepared.opened()) << prepared.error.message;
        EXPECT_GT(lastFraction, 0.0);
        EXPECT_TRUE(prepared.outcome.notes.empty());
        EXPECT_EQ(prepared.outcome.databases, (std::vector<std::string>{kAddressBookDBName, kMessageDBName}));
        // The plaintext is byte for byte the plain twin's, under the same names.
        std::vector<std::string> names = entriesOf(folder->path());
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{kAddressBookDBName, kMessageDBName}));
        for (const char* name : {kAddressBookDBName, kMessageDBName}) {
            EXPECT_EQ(test::readFile(folder->pathOf(name)),
                      test::readFile(databasePathInBackup(f.plain().string(), name)));
            EXPECT_EQ(fs::status(folder->pathOf(name)).permissions() & fs::perms::all,
                      fs::perms::owner_read | fs::perms::owner_write);
        }
        EXPECT_EQ(fs::status(folder->path()).permissions() & fs::perms::all, fs::perms::owner_all);

        // A stop asked for before the first file: nothing more is written.
        std::unique_ptr<WorkingFolder> second = WorkingFolder::create();
        crypto::EncryptedPreparation stopped = crypto::prepareEncryptedBackup(
            f.encrypted().string(), options.password, *second, nullptr, [] { return true; });
        EXPECT_TRUE(stopped.outcome.stopped);
        EXPECT_TRUE(entriesOf(second->path()).empty());

        crypto::EncryptedPreparation wrong =
            crypto::prepareEncryptedBackup(f.encrypted().string(), "wrong", *second);
        EXPECT_EQ(wrong.error.kind, crypto::OpenErrorKind::WrongPassword);
        EXPECT_TRUE(entriesOf(second->path()).empty());
    }
    if (oldTmp != nullptr) {
        setenv("TMPDIR", savedTmp.c_str(), 1);
    } else {
        unsetenv("TMPDIR");
    }
    EXPECT_EQ(contentsOf(f.encrypted()), before);
    EXPECT_TRUE(entriesOf(f.tmp()).empty());
}

TEST(EncryptedScan, AsksOnTheTerminalWithoutEcho) {
    // `script` gives the command a terminal; what is typed is fed to it.
    if (test::runCommand("command -v script").status != 0) GTEST_SKIP() << "no script command to make a terminal";
    Fixture f;
    gen::EncryptOptions options;
    options.password = "typed secret";
    makeTwin(f, smallSpec(), options);
    const std::string command = "env TMPDIR=" + test::shellQuote(f.tmp().string()) +
                                " KESTREL_BACKUP_PASSWORD= " + test::shellQuote(KESTREL_CLI_PATH) + " scan " +
                                test::shellQuote(f.encrypted().string());
    for (const auto& [typed, status] : {std::pair<std::string, int>{options.password, 0}, {"not it", 3}}) {
        // Braces: the input of `script` is the pipe, not runCommand's /dev/null.
        auto run = test::runCommand("{ (sleep 1; printf '%s\\n' " + test::shellQuote(typed) + ") | timeout 60 script -qec " +
                                    test::shellQuote(command) + " /dev/null; }");
        EXPECT_EQ(run.status, status) << run.out;
        EXPECT_NE(run.out.find("Password for this encrypted backup: "), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find(typed), std::string::npos) << run.out;  // never echoed
        const char* expected = status == 0 ? "Backup: Locked iPhone" : "kestrel: wrong password for this backup";
        EXPECT_NE(run.out.find(expected), std::string::npos) << run.out;
        EXPECT_TRUE(entriesOf(f.tmp()).empty());
    }
}
