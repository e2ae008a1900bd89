#include "cli/front_end.h"

#include <chrono>
#include <cstdio>

namespace kestrel::cli {

void CommandLineFrontEnd::performOnMainThreadAndWait(const std::function<void()>& work) {
    Task task{work};
    std::unique_lock<std::mutex> lock(mutex_);
    queue_.push_back(&task);
    changed_.notify_all();
    changed_.wait(lock, [&task] { return task.done; });
}

void CommandLineFrontEnd::progressChanged(int value) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        progress_.push_back(value);
    }
    if (printProgress_) {
        std::fprintf(stderr, "progress %d%%\n", value);
        std::fflush(stderr);
    }
}

void CommandLineFrontEnd::scanFinished() {
    // Runs on the main thread inside the finishing step.
    finished_ = true;
}

void CommandLineFrontEnd::startRecoveryTimer() {
    std::lock_guard<std::mutex> lock(mutex_);
    timerRunning_ = true;
    exportFinished_ = false;
}

void CommandLineFrontEnd::stopRecoveryTimer() {
    // Asked for by the export worker, from its thread.
    std::lock_guard<std::mutex> lock(mutex_);
    timerRunning_ = false;
    changed_.notify_all();
}

void CommandLineFrontEnd::saveWindowClosed() {
    // Runs on the main thread, inside a task of runTasksUntil.
    exportFinished_ = true;
}

void CommandLineFrontEnd::runUntilScanFinished() {
    runTasksUntil([this] { return finished_; }, nullptr);
}

void CommandLineFrontEnd::runUntilExportFinished(const std::function<void()>& tick) {
    runTasksUntil([this] { return exportFinished_; }, tick);
}

void CommandLineFrontEnd::runTasksUntil(const std::function<bool()>& done, const std::function<void()>& tick) {
    using Clock = std::chrono::steady_clock;
    auto nextTick = Clock::now() + std::chrono::seconds(1);
    std::unique_lock<std::mutex> lock(mutex_);
    while (!done()) {
        if (tick) {
            changed_.wait_until(lock, nextTick, [this] { return !queue_.empty(); });
            if (queue_.empty()) {
                // A second has passed.
                nextTick += std::chrono::seconds(1);
                if (timerRunning_) {
                    lock.unlock();
                    tick();
                    lock.lock();
                }
                continue;
            }
        } else {
            changed_.wait(lock, [this] { return !queue_.empty(); });
        }
        Task* task = queue_.front();
        queue_.pop_front();
        lock.unlock();
        task->work();
        lock.lock();
        task->done = true;
        changed_.notify_all();
    }
}

std::vector<int> CommandLineFrontEnd::progress() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return progress_;
}

}  // namespace kestrel::cli
