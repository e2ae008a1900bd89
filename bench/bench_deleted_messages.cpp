// Times the deleted-message step on a generated iOS 6 backup of 200,000
// messages, 20% of them deleted by SQL: the step alone (MB of database per
// second), and the whole `kestrel scan --json` of the backup next to the
// sqlite3 shell printing `select * from message` of the same file to
// /dev/null, in the same run.
//
// Usage: bench_deleted_messages [MESSAGES] [RUNS] [KESTREL_BINARY]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "scan/app_controller.h"
#include "app/log.h"
#include "bench/bench_support.h"
#include "tools/backup_generator.h"

using namespace kestrel;
namespace fs = std::filesystem;
using kestrel::bench::Clock;
using kestrel::bench::median;
using kestrel::bench::seconds;

namespace {

double timeCommand(const std::string& command) {
    auto start = Clock::now();
    int rc = std::system(command.c_str());
    double elapsed = seconds(Clock::now() - start);
    return rc == 0 ? elapsed : -1;
}

// The kestrel command of the same build tree: <build>/bench/.. -> <build>/cli/kestrel.
std::string defaultKestrel() {
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return "kestrel";
    return (self.parent_path().parent_path() / "cli" / "kestrel").string();
}

}  // namespace

int main(int argc, char** argv) {
    const int messages = argc > 1 ? std::atoi(argv[1]) : 200000;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    const std::string kestrel = argc > 3 ? argv[3] : defaultKestrel();

    fs::path folder = fs::temp_directory_path() / ("kestrel-bench-deleted-" + std::to_string(getpid()));
    fs::remove_all(folder);
    auto genStart = Clock::now();
    std::string error = gen::writeBackup(folder, gen::syntheticSpec(messages, 300, 300, 0.2, 11));
    if (!error.empty()) {
        std::fprintf(stderr, "generator failed: %s\n", error.c_str());
        return 1;
    }
    std::printf("generated %d messages (20%% deleted) in %.2f s\n", messages, seconds(Clock::now() - genStart));
    const std::string database = (folder / kMessageDBName).string();
    // The first step of a scan switches the file to write-ahead logging; do it
    // once up front so every timed run reads the same bytes.
    WrenfieldAppDelegate::commitDB(database);
    const double megabytes = static_cast<double>(fs::file_size(database)) / 1e6;
    std::printf("message database: %.1f MB\n", megabytes);

    // The step alone, with the existing contacts loaded for the name lookups.
    setLogSink([](const std::string&) {});
    std::vector<double> step;
    size_t carved = 0;
    for (int i = 0; i < runs; ++i) {
        WrenfieldAppDelegate controller;
        controller.currentNodeIsiOS6Version = true;
        controller.scanContactThread(folder.string());
        size_t posted = 0;
        auto token = controller.nc.addObserver("ScanDelMessageInfo", [&](const Notification&) { ++posted; });
        auto start = Clock::now();
        controller.scanDelMessageThread(folder.string());
        step.push_back(seconds(Clock::now() - start));
        controller.nc.removeObserver(token);
        carved = posted;
    }
    setLogSink({});
    const double stepMedian = median(step);
    std::printf("deleted-message step:");
    for (double t : step) std::printf(" %.3f", t);
    std::printf(" s; median %.3f s, %zu records posted\n", stepMedian, carved);
    std::printf("throughput: %.0f MB/s of database (target >= 500)\n", megabytes / stepMedian);

    // The whole scan against the sqlite3 shell.
    std::vector<double> scan, shell;
    const std::string scanCommand = "'" + kestrel + "' scan '" + folder.string() + "' --json > /dev/null 2>&1";
    const std::string shellCommand = "sqlite3 '" + database + "' 'select * from message' > /dev/null";
    for (int i = 0; i < runs; ++i) {
        double s = timeCommand(scanCommand);
        if (s < 0) {
            std::fprintf(stderr, "kestrel scan failed (%s)\n", kestrel.c_str());
            return 1;
        }
        scan.push_back(s);
        double q = timeCommand(shellCommand);
        if (q < 0) {
            std::fprintf(stderr, "the sqlite3 shell failed (is it installed?)\n");
            return 1;
        }
        shell.push_back(q);
    }
    const double scanMedian = median(scan);
    const double shellMedian = median(shell);
    std::printf("kestrel scan --json: %.3f s (median of %d)\n", scanMedian, runs);
    std::printf("sqlite3 shell, select * from message to /dev/null: %.3f s (median of %d)\n", shellMedian, runs);
    std::printf("ratio scan/shell: %.2f (target <= 2.00)\n", scanMedian / shellMedian);
    fs::remove_all(folder);
    return 0;
}
