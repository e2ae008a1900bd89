// Times the export of ticked messages: the worker builds Messages.txt in
// memory once and writes it once (plus the other, empty, category files).
// Each run exports into a fresh folder; the median of the runs is reported.
//
// Usage: bench_export [MESSAGES] [RUNS] [FOLDER]
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/notification_center.h"
#include "results/result_view_controller.h"

using namespace kestrel;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
    const int messages = argc > 1 ? std::atoi(argv[1]) : 200000;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
    std::string base = argc > 3 ? argv[3] : (fs::temp_directory_path() / "kestrel-bench-export-XXXXXX").string();
    if (argc <= 3 && mkdtemp(base.data()) == nullptr) {
        std::fprintf(stderr, "cannot create a temporary folder\n");
        return 1;
    }

    NotificationCenter nc;
    TovResultViewController results(nc);
    results.showView();
    // Messages of typical length: names, numbers, dates, ~80 characters of
    // text (some with a line break); one in ten deleted.
    for (int i = 0; i < messages; ++i) {
        auto m = std::make_shared<TovMessageNode>();
        m->setMessageName("Correspondent " + std::to_string(i % 500));
        m->setMessagePhone("+1555" + std::to_string(1000000 + i % 500));
        char date[32];
        std::snprintf(date, sizeof date, "%02d-%02d-%04d %02d:%02d", 1 + i % 12, 1 + i % 28, 2010 + i % 4, i % 24,
                      i % 60);
        m->setMessageDate(date);
        m->setMessageType(i % 2 ? "Send" : "Received");
        m->setMessageContent("Message number " + std::to_string(i) +
                             (i % 7 == 0 ? "\nwith a second line" : "") +
                             ": see you at the usual place around six, bring the tickets");
        nc.postNotificationName(i % 10 == 0 ? names::ScanDelMessageInfo : names::ScanMessageInfo, MessagePtr(m));
    }
    results.ScanThreadFinish();
    results.selectAll(Category::Messages);
    results.tableView(Category::Messages, 1, kCheckColumn, 0);
    if (results.selectedFilesNum != messages) {
        std::fprintf(stderr, "ticked %d of %d messages\n", results.selectedFilesNum, messages);
        return 1;
    }

    std::vector<double> times;
    uintmax_t size = 0;
    for (int run = 0; run < runs; ++run) {
        const fs::path out = fs::path(base) / ("run" + std::to_string(run));
        results.actRecovery();
        auto start = Clock::now();
        results.savePanelDidEnd(out.string(), 1);
        results.waitForRecoveryThread();
        times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        std::error_code ec;
        size = fs::file_size(out / "Message/Messages.txt", ec);
        if (ec || !results.exportIssues().empty()) {
            std::fprintf(stderr, "export failed in %s\n", out.c_str());
            return 1;
        }
        fs::remove_all(out, ec);
    }
    std::vector<double> sorted = times;
    std::sort(sorted.begin(), sorted.end());
    std::printf("export of %d ticked messages, Messages.txt %.1f MB\n", messages, static_cast<double>(size) / 1e6);
    std::printf("runs:");
    for (double t : times) std::printf(" %.3f", t);
    std::printf(" s\nmedian %.3f s (min %.3f, max %.3f)\n", sorted[sorted.size() / 2], sorted.front(), sorted.back());
    if (argc <= 3) {
        std::error_code ec;
        fs::remove_all(base, ec);
    }
    return 0;
}
