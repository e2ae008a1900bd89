// A record sink that carries what a walk posts on one thread over to the
// thread that posts it on, in the order posted, a batch at a time: the walk
// of a database reads its pages while the draining thread lists and writes
// out the records already found. At most a few batches wait, so what is
// handed over never piles up, however many records the walk finds.
//
// Names are looked up through `names` on the walking thread; the draining
// thread must look up none while it drains. Or, with a naming given, none is
// looked up on the walking thread (every lookup there answers no name) and
// each carved message is named by it on the draining thread, through the
// target, just before it is posted: the walk can then run before the names it
// would look up are all known. The walking thread's log lines
// are kept with its batches and given to the log on the draining thread,
// before the records of the batch they came with.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/log.h"
#include "app/record_sink.h"
#include "scan/deferred_sink.h"

namespace kestrel {

class HandOverSink final : public RecordSink {
public:
    // Names a carved message through the sink given, as the walk would have.
    using Naming = DeferredSink::Naming;

    explicit HandOverSink(RecordSink& names, size_t batchSize = 256, size_t waitingBatches = 4,
                          Naming nameOnDrain = nullptr);
    ~HandOverSink() override;
    HandOverSink(const HandOverSink&) = delete;
    HandOverSink& operator=(const HandOverSink&) = delete;

    // On the walking thread.
    void postContact(ContactPtr contact) override;
    void postMessage(MessagePtr message) override;
    void postDelContact(ContactPtr contact) override;
    void postDelContactValue(DelContactValuePtr value) override;
    void postDelMessage(MessagePtr message) override;
    void postChatMessage(ChatMessagePtr chat) override;
    void postProgress(int percent) override;
    void postReadFailure(const std::string& what) override;
    std::optional<std::string> getNameByPhoneNumber(const std::string& phone) override;
    std::optional<std::string> getNameByHandle(const std::string& handle) override;
    // Starts keeping the walking thread's log lines; called on that thread
    // before it posts or logs anything.
    void beginWalk();
    // The walking thread's last call, also after a failure: hands over what
    // is left and ends the drain.
    void close();

    // On the draining thread: posts every batch to `target` as it comes,
    // until the walking thread closes. Should `target` throw, the batches
    // still to come are dropped (the walking thread is not left waiting for
    // room) and the exception goes on.
    void drainInto(RecordSink& target);
    // On the draining thread, instead of draining: what was handed over and
    // what is still to come is dropped, log lines included, and the walking
    // thread never waits for room again.
    void abandon();
    // Whether the draining thread abandoned the records: the walking thread
    // may then stop early.
    bool abandoned();

private:
    struct Batch {
        std::vector<std::string> logLines;
        std::unique_ptr<DeferredSink> records;
    };
    void afterPost();
    void handOver(bool last);

    RecordSink& names_;
    const size_t batchSize_;
    const size_t waitingBatches_;
    const Naming nameOnDrain_;
    std::unique_ptr<DeferredSink> current_;
    std::unique_ptr<LogCapture> capture_;  // the walking thread's log lines

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Batch> waiting_;
    bool closed_ = false;
    bool abandoned_ = false;
};

}  // namespace kestrel
