// Times an export in all four formats (text files, report.html, the CSV
// files, records.json, and manifest.json with the SHA-256 of a 64 MB
// database file) of ticked messages, then each report writer on its own.
// Each run exports into a fresh folder; the median of the runs is reported.
//
// Usage: bench_reports [MESSAGES] [RUNS]
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/notification_center.h"
#include "bench_support.h"
#include "results/report_csv.h"
#include "results/report_html.h"
#include "results/report_json.h"
#include "results/result_view_controller.h"

using namespace kestrel;
using namespace kestrel::bench;
namespace fs = std::filesystem;

int main(int argc, char** argv) {
    const int messages = argc > 1 ? std::atoi(argv[1]) : 200000;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    std::string base = (fs::temp_directory_path() / "kestrel-bench-reports-XXXXXX").string();
    if (mkdtemp(base.data()) == nullptr) {
        std::fprintf(stderr, "cannot create a temporary folder\n");
        return 1;
    }
    // A database file to hash, 64 MB.
    const fs::path database = fs::path(base) / "3d0d7e5fb2ce288813306e4d4636395e047a3d28";
    {
        std::ofstream out(database, std::ios::binary);
        std::string page(4096, '\0');
        for (int i = 0; i < 16384; ++i) {
            page[static_cast<size_t>(i % 4096)] = static_cast<char>(i);
            out.write(page.data(), static_cast<std::streamsize>(page.size()));
        }
    }

    NotificationCenter nc;
    TovResultViewController results(nc);
    results.showView();
    // Messages of typical length in 500 conversations, one in ten deleted
    // (carved, with where they were found).
    for (int i = 0; i < messages; ++i) {
        auto m = std::make_shared<TovMessageNode>();
        m->setMessageName("Correspondent " + std::to_string(i % 500));
        m->setMessagePhone("+1555" + std::to_string(1000000 + i % 500));
        if (i % 5 == 0) m->setChat("Group " + std::to_string(i % 40));
        char date[32];
        std::snprintf(date, sizeof date, "%02d-%02d-%04d %02d:%02d", 1 + i % 12, 1 + i % 28, 2010 + i % 4, i % 24,
                      i % 60);
        m->setMessageDate(date);
        m->setMessageType(i % 2 ? "Send" : "Received");
        m->setService(i % 3 ? "iMessage" : "SMS");
        m->setMessageContent("Message number " + std::to_string(i) + (i % 7 == 0 ? "\nwith a second line" : "") +
                             ": see you at the usual place around six, bring the \"tickets\" & <snacks>, ok?");
        if (i % 10 == 0) {
            m->setSource(kSourceCarved);
            m->setProvenance(Provenance{"sms.db", "freelist", i / 10, int64_t{4096} * (i / 10), std::nullopt,
                                        std::nullopt});
        }
        nc.postNotificationName(i % 10 == 0 ? names::ScanDelMessageInfo : names::ScanMessageInfo, MessagePtr(m));
    }
    results.ScanThreadFinish();
    results.selectAll(Category::Messages);
    results.tableView(Category::Messages, 1, kCheckColumn, 0);
    if (results.selectedFilesNum != messages) {
        std::fprintf(stderr, "ticked %d of %d messages\n", results.selectedFilesNum, messages);
        return 1;
    }
    ReportFacts facts;
    facts.backup.strDeviceName = "Bench iPhone";
    facts.databaseFiles = {database.string()};
    facts.scanTime = std::time(nullptr);
    facts.command = "bench_reports";
    results.setReportFacts(facts);
    const ExportFormats all{true, true, true, true};
    results.setExportFormats(all);

    std::vector<double> times;
    uintmax_t bytes = 0;
    for (int run = 0; run < runs; ++run) {
        const fs::path out = fs::path(base) / ("run" + std::to_string(run));
        results.actRecovery();
        auto start = Clock::now();
        results.savePanelDidEnd(out.string(), 1);
        results.waitForRecoveryThread();
        times.push_back(seconds(Clock::now() - start));
        if (!results.exportIssues().empty() || !fs::exists(out / "manifest.json")) {
            std::fprintf(stderr, "export failed in %s\n", out.c_str());
            return 1;
        }
        bytes = 0;
        for (const auto& entry : fs::recursive_directory_iterator(out)) {
            if (entry.is_regular_file()) bytes += entry.file_size();
        }
        std::error_code ec;
        fs::remove_all(out, ec);
    }

    // Each writer on its own, in memory.
    TickedRecords ticked;
    for (const MessagePtr& m : results.messageArray) ticked.messages.push_back(m.get());
    const std::vector<CategoryCount> counts = results.categoryCounts();
    std::vector<double> html, csv, json, hash;
    size_t htmlSize = 0, csvSize = 0, jsonSize = 0;
    for (int run = 0; run < runs; ++run) {
        auto t0 = Clock::now();
        std::vector<HashedFile> databases{hashFile(database.string())};
        auto t1 = Clock::now();
        htmlSize = reportHtml(facts, databases, std::time(nullptr), all, counts, ticked).size();
        auto t2 = Clock::now();
        csvSize = messagesCsv(ticked.messages).size();
        auto t3 = Clock::now();
        jsonSize = recordsJson(facts, databases, std::time(nullptr), all, counts, ticked).size();
        auto t4 = Clock::now();
        hash.push_back(seconds(t1 - t0));
        html.push_back(seconds(t2 - t1));
        csv.push_back(seconds(t3 - t2));
        json.push_back(seconds(t4 - t3));
    }
    std::printf("export of %d ticked messages in txt,html,csv,json (%.1f MB written)\n", messages,
                static_cast<double>(bytes) / 1e6);
    std::printf("runs:");
    for (double t : times) std::printf(" %.3f", t);
    std::printf(" s\nmedian %.3f s\n", median(times));
    std::printf("on their own (median): SHA-256 of 64 MB %.3f s, report.html %.3f s (%.1f MB), Messages.csv %.3f s "
                "(%.1f MB), records.json %.3f s (%.1f MB)\n",
                median(hash), median(html), static_cast<double>(htmlSize) / 1e6, median(csv),
                static_cast<double>(csvSize) / 1e6, median(json), static_cast<double>(jsonSize) / 1e6);
    std::error_code ec;
    fs::remove_all(base, ec);
    return 0;
}
