#include "ui/mail_thread.h"

#include <thread>

namespace kestrel::ui {
namespace {
std::atomic<int> g_running{0};  // trivially destructible: safe for a thread outliving main
}  // namespace

std::shared_ptr<MailThread> MailThread::start(std::function<void(MailThread&)> body) {
    std::shared_ptr<MailThread> self(new MailThread());
    ++g_running;
    std::thread([self, body = std::move(body)] {
        body(*self);
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->finished_ = true;
        }
        self->done_.notify_all();
        --g_running;
    }).detach();
    return self;
}

int MailThread::running() { return g_running; }

bool MailThread::waitFinished(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return done_.wait_for(lock, timeout, [this] { return finished_.load(); });
}

}  // namespace kestrel::ui
