// Times the existing-message step on a generated backup of 200,000 messages
// and 2,000 contacts, next to the sqlite3 shell printing the same statement
// of the same file to /dev/null, and reports the step's peak memory.
//
// Usage: bench_existing_messages [MESSAGES] [CONTACTS] [RUNS]
#include <sys/resource.h>
#include <sys/wait.h>
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
#include "results/result_view_controller.h"
#include "bench/bench_support.h"
#include "tools/backup_generator.h"

using namespace kestrel;
namespace fs = std::filesystem;
using kestrel::bench::Clock;
using kestrel::bench::median;
using kestrel::bench::seconds;
using kestrel::bench::processCpu;
using kestrel::bench::timeShell;

namespace {

constexpr const char* kStatementIOS6 =
    "select message.ROWID,message.text,message.date,message.handle_id,handle.id,is_from_me from message left "
    "join handle on message.handle_id=handle.ROWID";

struct StepRun {
    double elapsed = -1;
    long peakKiB = -1;
    double cpu = 0;  // user and system time of the message step, all its threads
};

// Runs the contact step untimed, then the message step timed, in a child
// process so that its peak memory is its own.
StepRun timeMessageStep(const std::string& folder) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return {};
    pid_t child = fork();
    if (child == 0) {
        close(pipeFds[0]);
        setLogSink([](const std::string&) {});
        WrenfieldAppDelegate controller;
        controller.currentNodeIsiOS6Version = true;
        TovResultViewController& results = controller.showResultView();
        results.showView();
        controller.scanContactThread(folder);
        const double cpuBefore = processCpu();
        auto start = Clock::now();
        controller.scanMessageThread(folder);
        double out[2] = {seconds(Clock::now() - start), processCpu() - cpuBefore};
        if (results.messageArray.empty()) out[0] = -1;
        ssize_t written = write(pipeFds[1], out, sizeof out);
        _exit(written == sizeof out ? 0 : 1);
    }
    close(pipeFds[1]);
    double in[2] = {-1, 0};
    if (read(pipeFds[0], in, sizeof in) != sizeof in) in[0] = -1;
    close(pipeFds[0]);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    return {in[0], usage.ru_maxrss, in[1]};
}

}  // namespace

int main(int argc, char** argv) {
    int messages = argc > 1 ? std::atoi(argv[1]) : 200000;
    int contacts = argc > 2 ? std::atoi(argv[2]) : 2000;
    int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;

    fs::path folder = fs::temp_directory_path() / ("kestrel-bench-existing-" + std::to_string(getpid()));
    fs::remove_all(folder);
    auto genStart = Clock::now();
    // The backup is written by a child process, so that this process stays
    // small and the measured children do not pay for copying its pages.
    pid_t writer = fork();
    if (writer == 0) {
        std::string error = gen::writeBackup(folder, gen::syntheticSpec(messages, contacts, 600, 0.0, 7));
        if (!error.empty()) std::fprintf(stderr, "generator failed: %s\n", error.c_str());
        _exit(error.empty() ? 0 : 1);
    }
    int writerStatus = 0;
    waitpid(writer, &writerStatus, 0);
    if (!WIFEXITED(writerStatus) || WEXITSTATUS(writerStatus) != 0) return 1;
    std::printf("generated %d messages, %d contacts in %.2f s\n", messages, contacts,
                seconds(Clock::now() - genStart));
    std::string database = (folder / kMessageDBName).string();
    std::printf("message database: %.1f MB\n", static_cast<double>(fs::file_size(database)) / 1e6);

    std::vector<double> step, shell, stepCpu, shellCpu;
    long peakKiB = 0;
    for (int i = 0; i < runs; ++i) {
        const StepRun run = timeMessageStep(folder.string());
        if (run.elapsed < 0) {
            std::fprintf(stderr, "the message step read nothing\n");
            return 1;
        }
        step.push_back(run.elapsed);
        stepCpu.push_back(run.cpu);
        peakKiB = std::max(peakKiB, run.peakKiB);
        double cpu = 0;
        double s = timeShell(database, kStatementIOS6, cpu);
        shellCpu.push_back(cpu);
        if (s < 0) {
            std::fprintf(stderr, "the sqlite3 shell failed (is it installed?)\n");
            return 1;
        }
        shell.push_back(s);
    }
    double stepMedian = median(step);
    double shellMedian = median(shell);
    std::printf("existing-message step: %.3f s (median of %d)\n", stepMedian, runs);
    std::printf("sqlite3 shell, same statement to /dev/null: %.3f s (median of %d)\n", shellMedian, runs);
    std::printf("ratio step/shell: %.2f (target <= 1.00)\n", stepMedian / shellMedian);
    std::printf("processor time (user + system, all threads): step %.3f s, shell %.3f s (medians), ratio %.2f\n",
                median(stepCpu), median(shellCpu), median(stepCpu) / median(shellCpu));
    std::printf("peak memory of the contact and message steps: %.1f MB (target < 300 MB)\n",
                static_cast<double>(peakKiB) / 1024.0);
    fs::remove_all(folder);
    return 0;
}
