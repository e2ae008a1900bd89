// Times the schema-aware carver over a message database made here with
// SQLite: a message-like table (guid, text, handle, dates, flags, a blob) of
// MESSAGES rows, every fifth deleted (and once every twentieth: as many
// deleted rows as a quarter of the size, four times the live rows), page
// size 4096. Prints MB of database
// per second on one core (median of RUNS runs) and the growth of the peak
// resident memory during the carving, next to the number of records kept,
// for the full database and for one of a quarter of the size.
//
// With --modern, times the scan's carving step instead (the message database
// of a generated modern backup, iOS 17, its deletes left in the log, carved
// with its log and turned into deleted records), reporting the same figures.
//
// Each size is also carved once in a fresh process of its own, whose peak
// anonymous memory (RssAnon: heap and stacks, sampled every 2 ms by a thread
// of its own) is the carver's own memory, without the pages of the mapped
// files. (The peak resident size a parent reads with wait4 is no measure: it
// keeps the parent's own peak across the child's exec.)
//
// Usage: bench_carver [MESSAGES] [RUNS] [DATABASE]  (DATABASE: carve that file instead)
//        bench_carver --modern [MESSAGES] [RUNS]
#include <sqlite3.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/backup_discovery.h"
#include "bench/bench_support.h"
#include "carve/backup_carver.h"
#include "carve/page_carver.h"
#include "tools/backup_generator.h"

using namespace kestrel;
namespace fs = std::filesystem;
using kestrel::bench::Clock;
using kestrel::bench::median;
using kestrel::bench::seconds;

namespace {

void exec(sqlite3* db, const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::fprintf(stderr, "%s: %s\n", sql, error ? error : "");
        std::exit(1);
    }
}

void makeDatabase(const fs::path& path, int messages, int deleteEvery) {
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) std::exit(1);
    exec(db, "PRAGMA page_size=4096");
    exec(db, "PRAGMA secure_delete=OFF");
    exec(db, "PRAGMA journal_mode=OFF");
    exec(db, "PRAGMA synchronous=OFF");
    exec(db,
         "CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, text TEXT, "
         "replace INTEGER DEFAULT 0, service_center TEXT, handle_id INTEGER DEFAULT 0, subject TEXT, country TEXT, "
         "attributedBody BLOB, version INTEGER DEFAULT 0, type INTEGER DEFAULT 0, service TEXT, account TEXT, "
         "error INTEGER DEFAULT 0, date INTEGER, date_read INTEGER, date_delivered INTEGER, is_delivered INTEGER "
         "DEFAULT 0, is_finished INTEGER DEFAULT 0, is_from_me INTEGER DEFAULT 0, is_read INTEGER DEFAULT 0)");
    exec(db, "CREATE INDEX message_idx_handle ON message(handle_id, date)");
    exec(db, "BEGIN");
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO message (guid, text, handle_id, attributedBody, service, account, date, "
                       "date_read, date_delivered, is_delivered, is_finished, is_from_me, is_read) VALUES "
                       "(?,?,?,?,'iMessage','e:someone@example.com',?,?,?,1,1,?,1)",
                       -1, &st, nullptr);
    std::mt19937 rng(1);
    for (int n = 1; n <= messages; ++n) {
        const std::string guid = "4C3B2A19-" + std::to_string(rng()) + "-" + std::to_string(n);
        std::string text = "Message " + std::to_string(n) + ": ";
        const size_t length = 20 + rng() % 160;
        while (text.size() < length) text += static_cast<char>('a' + rng() % 26);
        const std::string body(text.size() + 40, static_cast<char>(rng()));
        const int64_t date = 600000000000000000LL + int64_t{n} * 1000000007LL;
        sqlite3_bind_text(st, 1, guid.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 2, text.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(st, 3, static_cast<int>(rng() % 300));
        sqlite3_bind_blob(st, 4, body.data(), static_cast<int>(body.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(st, 5, date);
        sqlite3_bind_int64(st, 6, date + 5000);
        sqlite3_bind_int64(st, 7, date + 900);
        sqlite3_bind_int(st, 8, static_cast<int>(rng() % 2));
        sqlite3_step(st);
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    exec(db, "COMMIT");
    exec(db, ("DELETE FROM message WHERE ROWID % " + std::to_string(deleteEvery) + " = 0").c_str());
    sqlite3_close(db);
}

// CPU time of this thread: on a shared machine the wall clock also counts
// the time other processes had the core.
double threadSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void peakInChild(const std::vector<std::string>& args);

long peakKilobytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void run(const fs::path& path, int messages, int runs, bool make = true, int deleteEvery = 5) {
    if (make) makeDatabase(path, messages, deleteEvery);
    auto file = RawFile::open(path.string());
    if (!file) std::exit(1);
    const double megabytes = static_cast<double>(file->size()) / 1e6;
    std::vector<double> times, cpu;
    size_t kept = 0;
    long growth = 0;
    for (int r = 0; r < runs; ++r) {
        std::vector<carving::CarvedRecord> records;
        const long before = peakKilobytes();
        carving::CarveInputs inputs;
        inputs.database = file.get();
        const auto start = Clock::now();
        const double cpuStart = threadSeconds();
        carving::carveSqliteRecords(inputs, {}, [&](const carving::CarvedRecord& rec) { records.push_back(rec); });
        cpu.push_back(threadSeconds() - cpuStart);
        times.push_back(seconds(Clock::now() - start));
        growth = std::max(growth, peakKilobytes() - before);
        kept = records.size();
    }
    const double t = median(times);
    const double c = median(cpu);
    std::printf("%7d messages, every %d deleted, %7.1f MB: carved in %.3f s wall = %6.0f MB/s, %.3f s CPU = %6.0f MB/s per core; "
                "%zu deleted records kept; peak memory grew %ld KB over the mapped file\n",
                messages, deleteEvery, megabytes, t, megabytes / t, c, megabytes / c, kept, growth);
    peakInChild({"file", path.string()});
}

// The scan's carving step over a generated modern backup's message database.
void runModern(const fs::path& dir, int messages, int runs) {
    gen::ModernSpec shape = gen::modernSpec(17, messages, 3);
    shape.wal = true;
    const std::string error = gen::writeModernBackup(dir, shape);
    if (!error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::exit(1);
    }
    const BackupDatabaseFiles files = openBackupDatabase(dir.string(), kMessageDBName, kMessageWalName, kMessageJournalName);
    if (!files.database) std::exit(1);
    const double megabytes =
        static_cast<double>(files.database->size() + (files.wal ? files.wal->size() : 0)) / 1e6;
    std::vector<double> times, cpu;
    size_t kept = 0;
    long growth = 0;
    for (int r = 0; r < runs; ++r) {
        const long before = peakKilobytes();
        const auto start = Clock::now();
        const double cpuStart = threadSeconds();
        CarvedBackupRecords carved = carveMessageDatabase(files.database.get(), files.wal.get(), files.journal.get());
        cpu.push_back(threadSeconds() - cpuStart);
        times.push_back(seconds(Clock::now() - start));
        growth = std::max(growth, peakKilobytes() - before);
        kept = carved.messages.size();
    }
    const double t = median(times);
    const double c = median(cpu);
    std::printf("modern iOS 17, %7d messages, %7.1f MB (database and log): scan's carving step in %.3f s wall = "
                "%6.0f MB/s, %.3f s CPU = %6.0f MB/s per core; %zu deleted messages kept; peak memory grew %ld KB "
                "over the mapped files\n",
                messages, megabytes, t, megabytes / t, c, megabytes / c, kept, growth);
    peakInChild({"backup", dir.string()});
}

// Carves once in a fresh process (this program run with --child) and prints
// that process's peak resident memory.
char* selfPath = nullptr;

void peakInChild(const std::vector<std::string>& args) {
    std::vector<std::string> all = {selfPath, "--child"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::fflush(stdout);
    pid_t pid = 0;
    if (posix_spawn(&pid, selfPath, nullptr, nullptr, argv.data(), environ) != 0) return;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::printf("  (the carving process failed)\n");
        return;
    }
}

long anonKilobytes() {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) return 0;
    char line[256];
    long kb = 0;
    while (std::fgets(line, sizeof line, f) != nullptr)
        if (std::sscanf(line, "RssAnon: %ld", &kb) == 1) break;
    std::fclose(f);
    return kb;
}

// The child: carves and prints how many records it kept and its peak
// anonymous memory.
int child(int argc, char** argv) {
    const std::string mode = argv[2];
    size_t kept = 0;
    std::atomic<bool> done{false};
    std::atomic<long> peakAnon{anonKilobytes()};
    std::thread sampler([&] {
        while (!done.load()) {
            peakAnon = std::max(peakAnon.load(), anonKilobytes());
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    struct Join {
        std::atomic<bool>& done;
        std::thread& t;
        ~Join() {
            done = true;
            t.join();
        }
    } join{done, sampler};
    if (mode == "file" && argc > 3) {
        auto file = RawFile::open(argv[3]);
        if (!file) return 1;
        carving::CarveInputs inputs;
        inputs.database = file.get();
        std::vector<carving::CarvedRecord> records;
        carving::carveSqliteRecords(inputs, {}, [&](const carving::CarvedRecord& rec) { records.push_back(rec); });
        kept = records.size();
    } else if (mode == "backup" && argc > 3) {
        const BackupDatabaseFiles files = openBackupDatabase(argv[3], kMessageDBName, kMessageWalName, kMessageJournalName);
        if (!files.database) return 1;
        CarvedBackupRecords carved = carveMessageDatabase(files.database.get(), files.wal.get(), files.journal.get());
        kept = carved.messages.size();
    } else {
        return 1;
    }
    done = true;
    peakAnon = std::max(peakAnon.load(), anonKilobytes());
    std::printf("  one carve in its own process: %zu records kept, peak anonymous memory %.1f MB\n", kept,
                static_cast<double>(peakAnon.load()) / 1024.0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    selfPath = argv[0];
    if (argc > 2 && std::string(argv[1]) == "--child") return child(argc, argv);
    if (argc > 1 && std::string(argv[1]) == "--modern") {
        const int messages = argc > 2 ? std::atoi(argv[2]) : 200000;
        const int runs = argc > 3 ? std::atoi(argv[3]) : 3;
        const fs::path dir = fs::temp_directory_path() / ("kestrel-bench-modern-" + std::to_string(::getpid()));
        runModern(dir / "quarter", messages / 4, runs);
        runModern(dir / "full", messages, runs);
        fs::remove_all(dir);
        return 0;
    }
    const int messages = argc > 1 ? std::atoi(argv[1]) : 200000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
    if (argc > 3) {  // carve an existing database instead
        run(argv[3], 0, runs, false);
        return 0;
    }
    const fs::path dir = fs::temp_directory_path() / ("kestrel-bench-carver-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    run(dir / "quarter.db", messages / 4, runs);
    run(dir / "full.db", messages, runs);
    // As many deleted rows as the quarter's, four times the live rows: the
    // memory should be the quarter's.
    run(dir / "full-few-deleted.db", messages, runs, true, 20);
    fs::remove_all(dir);
    return 0;
}
