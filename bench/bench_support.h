// Timing helpers shared by the benchmarks.
#pragma once

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace kestrel::bench {

using Clock = std::chrono::steady_clock;

inline double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

inline double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// User and system seconds in a resource-usage record.
inline double cpuOf(const rusage& u) {
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// User and system seconds of this process, all its threads.
inline double processCpu() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return cpuOf(u);
}

// Wall time of the sqlite3 shell printing `statement` over `database` to
// /dev/null (-1 when the shell fails); `cpu` receives its user and system time.
inline double timeShell(const std::string& database, const std::string& statement, double& cpu) {
    const std::string command = "sqlite3 '" + database + "' '" + statement + "' > /dev/null";
    rusage before{};
    getrusage(RUSAGE_CHILDREN, &before);
    const auto start = Clock::now();
    const int rc = std::system(command.c_str());
    const double elapsed = seconds(Clock::now() - start);
    rusage after{};
    getrusage(RUSAGE_CHILDREN, &after);
    cpu = cpuOf(after) - cpuOf(before);
    return rc == 0 ? elapsed : -1;
}

}  // namespace kestrel::bench
