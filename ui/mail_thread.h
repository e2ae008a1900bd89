// A mail thread of the desktop program: one feedback send on a thread of its
// own, so the interface stays responsive.
//
// The thread is detached: nothing ever waits for it. The program may end
// while a mail is still on its way (the quit sheet's timer cuts a slow send
// short); the thread only touches what it owns (its texts, this object) and
// the mail library, whose state is never destroyed. To keep a still-running
// thread from meeting the process's static state being torn down, the
// program's main() ends the process without static destruction when
// running() is not zero at the end (see ui/main.cpp).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace kestrel::ui {

class MailThread {
public:
    // Starts `body` on a new detached thread; the thread holds the returned
    // object until the body has returned.
    static std::shared_ptr<MailThread> start(std::function<void(MailThread&)> body);
    // How many mail threads of this process have not ended yet.
    static int running();

    bool isFinished() const { return finished_; }
    // The body marks its thread cancelled when it is done with it.
    bool isCancelled() const { return cancelled_; }
    void cancel() { cancelled_ = true; }
    // Waits up to `timeout` for the body to return; true when it has.
    bool waitFinished(std::chrono::milliseconds timeout) const;

private:
    MailThread() = default;

    std::atomic<bool> finished_{false};
    std::atomic<bool> cancelled_{false};
    mutable std::mutex mutex_;
    mutable std::condition_variable done_;
};

}  // namespace kestrel::ui
