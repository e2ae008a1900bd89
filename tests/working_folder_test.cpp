#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "app/working_folder.h"
#include "test_support.h"

using namespace kestrel;
namespace fs = std::filesystem;

namespace {

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string randomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

// Runs the probe with `mode` under a fresh TMPDIR, reads the folder path
// it prints, then sends `signal` (0: none). Returns the wait status and
// the folder path; `keepReading` false closes the pipe after the path.
struct ProbeRun {
    int status = -1;
    std::string folder;
    std::string rest;
};

ProbeRun runProbe(const std::string& mode, const std::string& file, const std::string& tmpdir, int signal,
                  bool keepReading = true) {
    ProbeRun run;
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) return run;
    pid_t child = fork();
    if (child == 0) {
        dup2(pipeEnds[1], 1);
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) ::signal(s, SIG_DFL);
        setenv("TMPDIR", tmpdir.c_str(), 1);
        execl(KESTREL_PROBE_PATH, KESTREL_PROBE_PATH, mode.c_str(), file.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeEnds[1]);
    char c;
    while (read(pipeEnds[0], &c, 1) == 1 && c != '\n') run.folder += c;
    if (!keepReading) close(pipeEnds[0]);
    if (signal != 0) kill(child, signal);
    if (keepReading) {
        while (read(pipeEnds[0], &c, 1) == 1) run.rest += c;
        close(pipeEnds[0]);
    }
    waitpid(child, &run.status, 0);
    return run;
}

}  // namespace

TEST(WorkingFolder, IsPrivateHoldsExactCopiesAndGoesAtScopeEnd) {
    test::TempDir scratch;
    const std::string data = randomBytes(300000, 1);
    writeFile(scratch.path() / "db", data);
    writeFile(scratch.path() / "db-wal", "wal bytes");
    writeFile(scratch.path() / "db-journal", "");
    struct stat before {};
    ASSERT_EQ(stat((scratch.path() / "db").c_str(), &before), 0);

    setenv("TMPDIR", scratch.str().c_str(), 1);
    std::string folderPath;
    {
        std::string error;
        auto folder = WorkingFolder::create(&error);
        unsetenv("TMPDIR");
        ASSERT_TRUE(folder) << error;
        folderPath = folder->path();
        EXPECT_EQ(fs::path(folderPath).parent_path(), scratch.path());
        EXPECT_EQ(fs::path(folderPath).filename().string().rfind("kestrel-scan-", 0), 0u);
        struct stat info {};
        ASSERT_EQ(stat(folderPath.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0700u);

        auto requests = databaseWithCompanions((scratch.path() / "db").string(), "hashed");
        ASSERT_EQ(requests.size(), 3u);  // no -shm beside it
        for (const CopyOutcome& outcome : folder->copyAll(requests, scratch.str())) {
            EXPECT_TRUE(outcome.copied()) << outcome.destinationName << ": " << outcome.reason;
        }
        EXPECT_EQ(test::readFile(folder->pathOf("hashed")), data);
        EXPECT_EQ(test::readFile(folder->pathOf("hashed-wal")), "wal bytes");
        EXPECT_TRUE(fs::exists(folder->pathOf("hashed-journal")));
        EXPECT_FALSE(fs::exists(folder->pathOf("hashed-shm")));
        // A second copy under a taken name is refused, not merged.
        EXPECT_FALSE(folder->copyIn((scratch.path() / "db").string(), "hashed").copied());
        // Files SQLite would add beside the copies go with the folder too.
        writeFile(folder->pathOf("hashed-shm"), "made by a scan");
    }
    EXPECT_FALSE(fs::exists(folderPath));
    struct stat after {};
    ASSERT_EQ(stat((scratch.path() / "db").c_str(), &after), 0);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

TEST(WorkingFolder, SparseFilesStaySparseAndTooLargeOnesAreRefused) {
    test::TempDir scratch;
    const fs::path sparse = scratch.path() / "sparse";
    {
        int fd = open(sparse.c_str(), O_WRONLY | O_CREAT, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, "head", 4, 0), 4);
        ASSERT_EQ(pwrite(fd, "middle", 6, 1000000000), 6);
        ASSERT_EQ(ftruncate(fd, 2000000000), 0);
        close(fd);
    }
    auto folder = WorkingFolder::create();
    ASSERT_TRUE(folder);
    CopyOutcome outcome = folder->copyIn(sparse.string(), "copy");
    ASSERT_TRUE(outcome.copied()) << outcome.reason;
    struct stat info {};
    ASSERT_EQ(stat(folder->pathOf("copy").c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 2000000000);
    EXPECT_LT(info.st_blocks * 512, 16 * 1024 * 1024) << "the holes were filled";
    int fd = open(folder->pathOf("copy").c_str(), O_RDONLY);
    char text[7] = {};
    EXPECT_EQ(pread(fd, text, 6, 1000000000), 6);
    EXPECT_STREQ(text, "middle");
    EXPECT_EQ(pread(fd, text, 4, 0), 4);
    EXPECT_EQ(std::string(text, 4), "head");
    close(fd);

    writeFile(scratch.path() / "dense", randomBytes(200000, 2));
    folder->setSpaceLimit(100000);
    outcome = folder->copyIn((scratch.path() / "dense").string(), "dense");
    EXPECT_FALSE(outcome.copied());
    EXPECT_NE(outcome.reason.find("larger"), std::string::npos) << outcome.reason;
    EXPECT_NE(outcome.reason.find("free space"), std::string::npos) << outcome.reason;
    EXPECT_FALSE(fs::exists(folder->pathOf("dense")));
}

TEST(WorkingFolder, OnlyRegularFilesInsideTheBackupAreOpened) {
    test::TempDir backup;
    test::TempDir outside;
    writeFile(outside.path() / "secret", "not part of the backup");
    writeFile(backup.path() / "inside", "fine");
    ASSERT_EQ(mkfifo((backup.path() / "fifo").c_str(), 0600), 0);
    fs::create_directory(backup.path() / "folder");
    fs::create_symlink(outside.path() / "secret", backup.path() / "link-out");
    fs::create_symlink("inside", backup.path() / "link-in");
    fs::create_symlink("/dev/zero", backup.path() / "zero");

    auto folder = WorkingFolder::create();
    ASSERT_TRUE(folder);
    auto reasonFor = [&](const std::string& name) {
        return folder->copyIn((backup.path() / name).string(), name, backup.str()).reason;
    };
    // The FIFO has no writer: an open without O_NONBLOCK would wait forever.
    EXPECT_EQ(reasonFor("fifo"), "is a FIFO");
    EXPECT_EQ(reasonFor("folder"), "is a directory");
    EXPECT_EQ(reasonFor("link-out"), "is a symbolic link leading out of the backup folder");
    EXPECT_EQ(reasonFor("zero"), "is a symbolic link leading out of the backup folder");
    EXPECT_EQ(folder->copyIn("/dev/zero", "zero2").reason, "is a device");
    EXPECT_NE(reasonFor("missing").find("cannot be read"), std::string::npos);
    EXPECT_EQ(reasonFor("link-in"), "");
    EXPECT_EQ(test::readFile(folder->pathOf("link-in")), "fine");
    // Without a backup folder to stay in, no link is followed at all.
    EXPECT_EQ(folder->copyIn((backup.path() / "link-in").string(), "again").reason, "is a symbolic link");
}

TEST(WorkingFolder, AnUnreadableFileIsSkippedWithItsReason) {
    test::TempDir backup;
    writeFile(backup.path() / "locked", "private");
    ASSERT_EQ(chmod((backup.path() / "locked").c_str(), 0), 0);
    ASSERT_EQ(chmod(backup.str().c_str(), 0755), 0);
    // The superuser reads any file: try it as nobody in a child process.
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    pid_t child = fork();
    if (child == 0) {
        close(pipeEnds[0]);
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
        auto folder = WorkingFolder::create();
        if (!folder) _exit(3);
        std::string reason = folder->copyIn((backup.path() / "locked").string(), "locked", backup.str()).reason;
        // _exit skips destructors: remove the child's folder first.
        folder.reset();
        if (write(pipeEnds[1], reason.data(), reason.size()) < 0) _exit(4);
        _exit(0);
    }
    close(pipeEnds[1]);
    std::string reason;
    char c;
    while (read(pipeEnds[0], &c, 1) == 1) reason += c;
    close(pipeEnds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(reason, "cannot be opened: Permission denied");
}

TEST(WorkingFolder, GoesWhenItsProcessIsEndedBySignal) {
    test::TempDir tmp;
    test::TempDir scratch;
    writeFile(scratch.path() / "db", randomBytes(100000, 3));
    const std::string file = (scratch.path() / "db").string();
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        ProbeRun run = runProbe("hold", file, tmp.str(), signal);
        ASSERT_FALSE(run.folder.empty()) << strsignal(signal);
        EXPECT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == signal) << strsignal(signal);
        EXPECT_FALSE(fs::exists(run.folder)) << strsignal(signal);
    }
    // Output piped into a reader that stops reading.
    ProbeRun piped = runProbe("write", file, tmp.str(), 0, false);
    ASSERT_FALSE(piped.folder.empty());
    EXPECT_TRUE(WIFSIGNALED(piped.status) && WTERMSIG(piped.status) == SIGPIPE);
    EXPECT_FALSE(fs::exists(piped.folder));
    EXPECT_TRUE(fs::is_empty(tmp.path()));
}

TEST(WorkingFolder, DuringAScanTheFirstInterruptAsksForAStop) {
    test::TempDir tmp;
    test::TempDir scratch;
    writeFile(scratch.path() / "db", "bytes");
    for (int signal : {SIGINT, SIGTERM}) {
        ProbeRun run = runProbe("scan", (scratch.path() / "db").string(), tmp.str(), signal);
        ASSERT_TRUE(WIFEXITED(run.status)) << strsignal(signal);
        EXPECT_EQ(WEXITSTATUS(run.status), 0);
        EXPECT_EQ(run.rest, "stopped\n");
        EXPECT_FALSE(fs::exists(run.folder));
    }
    EXPECT_TRUE(fs::is_empty(tmp.path()));
}
