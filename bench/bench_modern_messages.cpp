// Times the existing-message step on a generated modern (iOS 17) backup of
// 200,000 messages, half of them with their text only in attributedBody,
// next to the sqlite3 shell printing the columns of the same statement (the
// archived bodies included) to /dev/null, in the same run.
//
// Usage: bench_modern_messages [MESSAGES] [RUNS] [FOLDER]
// With FOLDER, the backup is generated there unless it holds one already,
// and kept (for profiling the step over the same file).
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

#include "app/log.h"
#include "bench/bench_support.h"
#include "extract/existing_messages.h"
#include "results/result_view_controller.h"
#include "scan/app_controller.h"
#include "tools/backup_generator.h"

using namespace kestrel;
namespace fs = std::filesystem;
using kestrel::bench::Clock;
using kestrel::bench::median;
using kestrel::bench::seconds;
using kestrel::bench::processCpu;
using kestrel::bench::timeShell;

namespace {

// Runs the contact step untimed, then the message step timed, in a child
// process. Returns {seconds, messages listed, peak KiB, processor time}.
struct StepRun {
    double elapsed = -1;
    long listed = 0;
    long peakKiB = 0;
    double cpu = 0;  // user and system time of the message step, all its threads
};

StepRun timeMessageStep(const std::string& folder) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return {};
    pid_t child = fork();
    if (child == 0) {
        close(pipeFds[0]);
        setLogSink([](const std::string&) {});
        WrenfieldAppDelegate controller;
        TovResultViewController& results = controller.showResultView();
        results.showView();
        controller.scanContactThread(folder);
        const double cpuBefore = processCpu();
        auto start = Clock::now();
        controller.scanMessageThread(folder);
        double out[3] = {seconds(Clock::now() - start), static_cast<double>(results.messageArray.size()),
                         processCpu() - cpuBefore};
        ssize_t written = write(pipeFds[1], out, sizeof out);
        _exit(written == sizeof out ? 0 : 1);
    }
    close(pipeFds[1]);
    double in[3] = {-1, 0, 0};
    if (read(pipeFds[0], in, sizeof in) != sizeof in) in[0] = -1;
    close(pipeFds[0]);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    return {in[0], static_cast<long>(in[1]), usage.ru_maxrss, in[2]};
}

}  // namespace

int main(int argc, char** argv) {
    int messages = argc > 1 ? std::atoi(argv[1]) : 200000;
    int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;

    const bool keep = argc > 3;
    fs::path folder = keep ? fs::path(argv[3])
                           : fs::temp_directory_path() / ("kestrel-bench-modern-" + std::to_string(getpid()));
    const bool generate = !keep || !fs::exists(folder / kMessageDBName);
    if (generate) fs::remove_all(folder);
    auto genStart = Clock::now();
    pid_t writer = generate ? fork() : 0;
    if (!generate) {
        std::printf("reusing the backup in %s\n", folder.c_str());
    } else if (writer == 0) {
        gen::ModernSpec shape = gen::modernSpec(17, messages, 7);
        shape.subfolderLayout = false;
        std::string error = gen::writeModernBackup(folder, shape);
        if (!error.empty()) std::fprintf(stderr, "generator failed: %s\n", error.c_str());
        _exit(error.empty() ? 0 : 1);
    }
    if (generate) {
        int writerStatus = 0;
        waitpid(writer, &writerStatus, 0);
        if (!WIFEXITED(writerStatus) || WEXITSTATUS(writerStatus) != 0) return 1;
        std::printf("generated %d modern messages (iOS 17, half blob-only) in %.2f s\n", messages,
                    seconds(Clock::now() - genStart));
    }
    const std::string database = (folder / kMessageDBName).string();
    std::printf("message database: %.1f MB\n", static_cast<double>(fs::file_size(database)) / 1e6);
    const std::string statement = messageStatementFor(database);
    if (statement.empty() || statement.find('\'') != std::string::npos) {
        std::fprintf(stderr, "no statement for the generated database\n");
        return 1;
    }

    std::vector<double> step, shell, stepCpu, shellCpu;
    StepRun last;
    for (int i = 0; i < runs; ++i) {
        last = timeMessageStep(folder.string());
        if (last.elapsed < 0 || last.listed == 0) {
            std::fprintf(stderr, "the message step read nothing\n");
            return 1;
        }
        step.push_back(last.elapsed);
        stepCpu.push_back(last.cpu);
        double cpu = 0;
        double s = timeShell(database, statement, cpu);
        shellCpu.push_back(cpu);
        if (s < 0) {
            std::fprintf(stderr, "the sqlite3 shell failed (is it installed?)\n");
            return 1;
        }
        shell.push_back(s);
    }
    const double stepMedian = median(step);
    const double shellMedian = median(shell);
    std::printf("messages listed: %ld\n", last.listed);
    std::printf("existing-message step: %.3f s (median of %d)\n", stepMedian, runs);
    std::printf("sqlite3 shell, same statement with the bodies to /dev/null: %.3f s (median of %d)\n", shellMedian,
                runs);
    std::printf("ratio step/shell: %.2f (target <= 1.50)\n", stepMedian / shellMedian);
    std::printf("processor time (user + system, all threads): step %.3f s, shell %.3f s (medians), ratio %.2f\n",
                median(stepCpu), median(shellCpu), median(stepCpu) / median(shellCpu));
    std::printf("per run (wall step/shell, processor step/shell):");
    for (size_t i = 0; i < step.size(); ++i) {
        std::printf(" %.2f/%.2f", step[i] / shell[i], stepCpu[i] / shellCpu[i]);
    }
    std::printf("\n");
    std::printf("peak memory of the contact and message steps: %.1f MB\n", static_cast<double>(last.peakKiB) / 1024.0);
    if (!keep) fs::remove_all(folder);
    return stepMedian <= 1.5 * shellMedian ? 0 : 2;
}
