#include "cli/front_end.h"

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

void CommandLineFrontEnd::runUntilScanFinished() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!finished_) {
        changed_.wait(lock, [this] { return !queue_.empty(); });
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
