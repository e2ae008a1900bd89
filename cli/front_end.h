// The command line as a front end of the scan run: the process's main thread
// plays the interface thread. The scan worker hands it the finishing step
// and waits, exactly as it does with the desktop window.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "results/result_view_controller.h"

namespace kestrel::cli {

class CommandLineFrontEnd : public ResultViewDelegate {
public:
    explicit CommandLineFrontEnd(bool printProgress) : printProgress_(printProgress) {}

    void performOnMainThreadAndWait(const std::function<void()>& task) override;
    void progressChanged(int value) override;
    void scanFinished() override;
    void startRecoveryTimer() override;
    void stopRecoveryTimer() override;
    void saveWindowClosed() override;

    // Runs the tasks handed to the main thread until the finishing step has run.
    void runUntilScanFinished();
    // Runs the tasks handed to the main thread until the export's progress
    // sheet has closed; while the export timer runs, calls `tick` once a
    // second, as the desktop program's timer does.
    void runUntilExportFinished(const std::function<void()>& tick);

    // Progress values in the order they were posted.
    std::vector<int> progress() const;

private:
    // Runs queued tasks until `done` holds (checked under the lock); with a
    // tick, calls it once a second while the timer runs.
    void runTasksUntil(const std::function<bool()>& done, const std::function<void()>& tick);

    struct Task {
        std::function<void()> work;
        bool done = false;
    };
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Task*> queue_;
    std::vector<int> progress_;
    bool finished_ = false;
    bool timerRunning_ = false;
    bool exportFinished_ = false;
    bool printProgress_;
};

}  // namespace kestrel::cli
