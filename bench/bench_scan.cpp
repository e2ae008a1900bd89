// Times a whole `kestrel scan --json --read-only` (the command, as a child
// process) on a generated backup of 200,000 messages, 2,160 contacts and
// 2,160 handles (10% of the messages deleted), against the sqlite3 shell
// printing `select * from message` and the iOS 6 message statement of the
// same database to /dev/null, in one run with the runs interleaved: processor
// time (user + system of the child and its threads) and wall time, medians.
// Then the peak anonymous memory (RssAnon, sampled every 2 ms) of the same
// scan of a backup of 1,000,000 messages.
//
// Usage: bench_scan [MESSAGES] [RUNS] [BIG_MESSAGES]   (BIG_MESSAGES 0 skips the memory run)
// KESTREL_BENCH_CLI=PATH measures another build of the command.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/backup_discovery.h"
#include "bench/bench_support.h"
#include "tools/backup_generator.h"

extern char** environ;

using namespace kestrel;
namespace fs = std::filesystem;
using kestrel::bench::Clock;
using kestrel::bench::median;
using kestrel::bench::seconds;

namespace {

constexpr const char* kStatementIOS6 =
    "select message.ROWID,message.text,message.date,message.handle_id,handle.id,is_from_me from message left "
    "join handle on message.handle_id=handle.ROWID";

struct RunFigures {
    double cpu = -1;   // user + system seconds of the child
    double wall = -1;  // seconds
    long peakAnonKiB = 0;
};

long rssAnonKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("RssAnon:", 0) == 0) return std::atol(line.c_str() + 8);
    }
    return 0;
}

// Runs the program with its standard output (and error) on /dev/null,
// sampling its anonymous memory while it runs.
RunFigures run(const std::vector<std::string>& args) {
    RunFigures figures;
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const auto start = Clock::now();
    pid_t child = 0;
    const int spawned = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return figures;
    int status = 0;
    rusage usage{};
    for (;;) {
        const pid_t done = wait4(child, &status, WNOHANG, &usage);
        if (done == child) break;
        if (done < 0) return figures;
        figures.peakAnonKiB = std::max(figures.peakAnonKiB, rssAnonKiB(child));
        usleep(2000);
    }
    figures.wall = seconds(Clock::now() - start);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return figures;
    figures.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                  static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return figures;
}

// Writes a synthetic backup in a child process, so that this process stays
// small. Returns its folder, or nothing on failure.
bool generate(const fs::path& folder, int messages) {
    fs::remove_all(folder);
    pid_t writer = fork();
    if (writer == 0) {
        const std::string error = gen::writeBackup(folder, gen::syntheticSpec(messages, 2160, 2160, 0.1, 1));
        if (!error.empty()) std::fprintf(stderr, "generator failed: %s\n", error.c_str());
        _exit(error.empty() ? 0 : 1);
    }
    int status = 0;
    waitpid(writer, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double loadAverage() {
    double load[1] = {0};
    return getloadavg(load, 1) == 1 ? load[0] : -1;
}

}  // namespace

int main(int argc, char** argv) {
    const int messages = argc > 1 ? std::atoi(argv[1]) : 200000;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    const int bigMessages = argc > 3 ? std::atoi(argv[3]) : 1000000;
    // KESTREL_BENCH_CLI names another build of the command to measure.
    const char* other = std::getenv("KESTREL_BENCH_CLI");
    const std::string kestrel = other != nullptr && *other != '\0' ? other : KESTREL_CLI_PATH;
    std::printf("command: %s\n", kestrel.c_str());

    std::printf("cores: %u, load average at start: %.2f\n", std::thread::hardware_concurrency(), loadAverage());
    const fs::path folder = fs::temp_directory_path() / ("kestrel-bench-scan-" + std::to_string(getpid()));
    if (!generate(folder, messages)) return 1;
    const std::string database = (folder / kMessageDBName).string();
    std::printf("generated %d messages, 2160 contacts, 2160 handles, 10%% deleted: message database %.1f MB\n",
                messages, static_cast<double>(fs::file_size(database)) / 1e6);

    std::vector<double> scanCpu, scanWall, allCpu, allWall, s6Cpu, s6Wall;
    for (int i = 0; i < runs; ++i) {
        const RunFigures scan = run({kestrel, "scan", "--json", "--read-only", folder.string()});
        const RunFigures all = run({"sqlite3", database, "select * from message"});
        const RunFigures s6 = run({"sqlite3", database, kStatementIOS6});
        if (scan.cpu < 0 || all.cpu < 0 || s6.cpu < 0) {
            std::fprintf(stderr, "a run failed (kestrel at %s, sqlite3 on the PATH?)\n", kestrel.c_str());
            fs::remove_all(folder);
            return 1;
        }
        scanCpu.push_back(scan.cpu), scanWall.push_back(scan.wall);
        allCpu.push_back(all.cpu), allWall.push_back(all.wall);
        s6Cpu.push_back(s6.cpu), s6Wall.push_back(s6.wall);
    }
    fs::remove_all(folder);
    const double scan = median(scanCpu), all = median(allCpu), s6 = median(s6Cpu);
    std::printf("medians of %d runs, interleaved (processor time = user + system, all threads):\n", runs);
    std::printf("  kestrel scan --json --read-only: %.3f s processor, %.3f s wall\n", scan, median(scanWall));
    std::printf("  sqlite3 'select * from message' > /dev/null: %.3f s processor, %.3f s wall\n", all,
                median(allWall));
    std::printf("  sqlite3 iOS 6 statement > /dev/null: %.3f s processor, %.3f s wall\n", s6, median(s6Wall));
    std::printf("  scan / select *: %.2f x processor (target <= 1.0), %.2f x wall\n", scan / all,
                median(scanWall) / median(allWall));
    std::printf("  scan / iOS 6 statement: %.2f x processor (target <= 3.0), %.2f x wall\n", scan / s6,
                median(scanWall) / median(s6Wall));

    if (bigMessages > 0) {
        const fs::path big = fs::temp_directory_path() / ("kestrel-bench-scan-big-" + std::to_string(getpid()));
        if (!generate(big, bigMessages)) return 1;
        std::vector<double> peaks;
        for (int i = 0; i < std::min(runs, 3); ++i) {
            const RunFigures scanBig = run({kestrel, "scan", "--json", "--read-only", big.string()});
            if (scanBig.cpu < 0) {
                std::fprintf(stderr, "the scan of %d messages failed\n", bigMessages);
                fs::remove_all(big);
                return 1;
            }
            peaks.push_back(static_cast<double>(scanBig.peakAnonKiB) / 1024.0);
        }
        fs::remove_all(big);
        std::printf("peak anonymous memory (RssAnon) of kestrel scan --json at %d messages: %.1f MB, median of %zu "
                    "(target < 150 MB)\n",
                    bigMessages, median(peaks), peaks.size());
    }
    std::printf("load average at end: %.2f\n", loadAverage());
    return 0;
}
