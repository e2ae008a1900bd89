// Times the existing-contact step on generated address books of 1,600, 3,200
// and 6,400 persons (so that the growth with the number of persons shows):
// the scan's whole step (the controller's contact step, which also switches
// the file to write-ahead logging and posts every contact to the results
// lists) and the reader alone (into a collecting sink). Each size is
// measured twice: on the address book as generated (ABMultiValue indexed on
// record_id, as the devices write it) and with that index dropped, as some
// address books have it.
//
// Usage: bench_existing_contacts [RUNS] [PERSONS...]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/backup_discovery.h"
#include "app/collecting_sink.h"
#include "app/log.h"
#include "bench/bench_support.h"
#include "extract/existing_contacts.h"
#include "results/result_view_controller.h"
#include "scan/app_controller.h"
#include "tools/backup_generator.h"

using namespace kestrel;
namespace fs = std::filesystem;
using kestrel::bench::Clock;
using kestrel::bench::median;
using kestrel::bench::seconds;

namespace {

struct Figures {
    int persons = 0;
    bool indexed = true;
    size_t values = 0;
    size_t listed = 0;
    double step = 0;    // the controller's contact step, median
    double reader = 0;  // the reader alone, median
};

// Returns false when the generator or the reader failed.
bool measure(int persons, bool indexed, int runs, Figures& out) {
    gen::BackupSpec plan = gen::syntheticSpec(0, persons, persons, 0.0, 31);
    out.persons = persons;
    out.indexed = indexed;
    for (const gen::Person& p : plan.persons) out.values += p.values.size();
    fs::path folder = fs::temp_directory_path() /
                      ("kestrel-bench-existing-contacts-" + std::to_string(getpid()) + "-" + std::to_string(persons));
    fs::remove_all(folder);
    if (std::string error = gen::writeBackup(folder, plan); !error.empty()) {
        std::fprintf(stderr, "generator failed: %s\n", error.c_str());
        return false;
    }
    const std::string database = databasePathInBackup(folder.string(), kAddressBookDBName);
    // The step switches the file to write-ahead logging on its first run;
    // do it once up front so that every timed run reads the same bytes.
    WrenfieldAppDelegate::commitDB(database);
    if (!indexed) {
        const std::string drop = "sqlite3 '" + database + "' 'DROP INDEX ABMultiValueRecordIDIndex'";
        if (std::system(drop.c_str()) != 0) {
            std::fprintf(stderr, "the index could not be dropped (is the sqlite3 shell installed?)\n");
            return false;
        }
    }

    std::vector<double> step, reader;
    for (int i = 0; i < runs; ++i) {
        WrenfieldAppDelegate controller;
        controller.showResultView().showView();
        auto start = Clock::now();
        controller.scanContactThread(folder.string());
        step.push_back(seconds(Clock::now() - start));
        out.listed = controller.contactArray.size();

        CollectingSink sink;
        start = Clock::now();
        readExistingContacts(database, sink);
        reader.push_back(seconds(Clock::now() - start));
        if (sink.contacts.size() != out.listed) {
            std::fprintf(stderr, "the reader listed %zu contacts, the step %zu\n", sink.contacts.size(), out.listed);
            return false;
        }
    }
    fs::remove_all(folder);
    out.step = median(step);
    out.reader = median(reader);
    return out.listed == static_cast<size_t>(persons);
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    std::vector<int> sizes;
    for (int i = 2; i < argc; ++i) sizes.push_back(std::max(1, std::atoi(argv[i])));
    if (sizes.empty()) sizes = {1600, 3200, 6400};

    setLogSink([](const std::string&) {});
    std::vector<Figures> all;
    for (bool indexed : {true, false}) {
        for (int persons : sizes) {
            Figures f;
            if (!measure(persons, indexed, runs, f)) {
                std::fprintf(stderr, "the contact step did not list %d persons\n", persons);
                return 1;
            }
            all.push_back(f);
        }
    }
    setLogSink({});
    std::printf("%8s %8s %14s %12s %12s %14s\n", "persons", "values", "record_id", "step (s)", "reader (s)",
                "step per 1,000");
    double slowest = 0;
    for (const Figures& f : all) {
        std::printf("%8d %8zu %14s %12.4f %12.4f %14.4f\n", f.persons, f.values, f.indexed ? "indexed" : "not indexed",
                    f.step, f.reader, f.step * 1000.0 / f.persons);
        if (f.persons >= 6400) slowest = std::max(slowest, f.step);
    }
    std::printf("(medians of %d runs)\n", runs);
    if (slowest > 0) std::printf("existing-contact step on 6,400 persons: %.4f s at most (target < 0.1 s)\n", slowest);
    return slowest >= 0.1 ? 2 : 0;
}
