// Times the deleted-contact step on a generated address book of 20,000
// persons with 40,000 values (phones, e-mail addresses, web pages), 20% of
// the persons deleted by SQL with their values: the whole step (MB of
// database per second), and the page walk alone next to it.
//
// Usage: bench_deleted_contacts [PERSONS] [RUNS]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "scan/app_controller.h"
#include "app/backup_discovery.h"
#include "app/log.h"
#include "carve/contact_carver.h"
#include "carve/sqlite_raw.h"
#include "bench/bench_support.h"
#include "tools/backup_generator.h"

using namespace kestrel;
namespace fs = std::filesystem;
using kestrel::bench::Clock;
using kestrel::bench::median;
using kestrel::bench::seconds;

int main(int argc, char** argv) {
    const int persons = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20000;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;

    gen::BackupSpec plan = gen::syntheticSpec(0, persons, 300, 0.0, 23, gen::MessageLayout::IOS6, 0.2);
    // Two values per person: the generated phone (and e-mail address for
    // every third person), topped up with a web page.
    size_t values = 0;
    for (size_t i = 0; i < plan.persons.size(); ++i) {
        auto& p = plan.persons[i];
        while (p.values.size() < 2) {
            gen::PersonValue web;
            web.property = 22;
            web.label = "_$!<HomePage>!$_";
            web.value = "www.example.com/~p" + std::to_string(i);
            p.values.push_back(web);
        }
        p.values.resize(2);
        values += p.values.size();
    }

    fs::path folder = fs::temp_directory_path() / ("kestrel-bench-contacts-" + std::to_string(getpid()));
    fs::remove_all(folder);
    auto genStart = Clock::now();
    std::string error = gen::writeBackup(folder, plan);
    if (!error.empty()) {
        std::fprintf(stderr, "generator failed: %s\n", error.c_str());
        return 1;
    }
    std::printf("generated %d persons with %zu values (20%% of persons deleted) in %.2f s\n", persons, values,
                seconds(Clock::now() - genStart));
    const std::string database = databasePathInBackup(folder.string(), kAddressBookDBName);
    // A scan's first step switches the file to write-ahead logging; do it
    // once up front so every timed run reads the same bytes.
    WrenfieldAppDelegate::commitDB(database);
    const double megabytes = static_cast<double>(fs::file_size(database)) / 1e6;
    std::printf("address book: %.2f MB\n", megabytes);

    setLogSink([](const std::string&) {});
    std::vector<double> step, walk;
    size_t posted = 0, carvedValues = 0;
    for (int i = 0; i < runs; ++i) {
        WrenfieldAppDelegate controller;
        size_t count = 0;
        auto token = controller.nc.addObserver(names::ScanDelContactInfo, [&](const Notification&) { ++count; });
        auto start = Clock::now();
        controller.scanDelContactThread(folder.string());
        step.push_back(seconds(Clock::now() - start));
        controller.nc.removeObserver(token);
        posted = count;
        carvedValues = controller.delContactValueArray.size();

        auto file = RawFile::open(database);
        std::vector<ContactPtr> carvedPersons;
        std::vector<DelContactValuePtr> carved;
        start = Clock::now();
        carveContactPages(file.get(), pageGeometry(file.get()), carvedPersons, carved);
        walk.push_back(seconds(Clock::now() - start));
    }
    setLogSink({});
    const double stepMedian = median(step);
    const double walkMedian = median(walk);
    std::printf("deleted-contact step: %.4f s (median of %d), %zu persons posted, %zu values carved\n", stepMedian,
                runs, posted, carvedValues);
    std::printf("page walk alone: %.4f s (median of %d)\n", walkMedian, runs);
    std::printf("throughput: %.0f MB/s of database (target >= 300)\n", megabytes / stepMedian);
    fs::remove_all(folder);
    return 0;
}
