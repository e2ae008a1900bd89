#include "scan/hand_over_sink.h"

#include <utility>

namespace kestrel {
namespace {

// The batches answer no lookup (this sink does, through `names`).
const std::vector<ContactPtr> kNoContacts;

}  // namespace

HandOverSink::HandOverSink(RecordSink& names, size_t batchSize, size_t waitingBatches, Naming nameOnDrain)
    : names_(names),
      batchSize_(batchSize > 0 ? batchSize : 1),
      waitingBatches_(waitingBatches > 0 ? waitingBatches : 1),
      nameOnDrain_(std::move(nameOnDrain)),
      current_(std::make_unique<DeferredSink>(kNoContacts)) {}

HandOverSink::~HandOverSink() = default;

void HandOverSink::postContact(ContactPtr contact) {
    current_->postContact(std::move(contact));
    afterPost();
}
void HandOverSink::postMessage(MessagePtr message) {
    current_->postMessage(std::move(message));
    afterPost();
}
void HandOverSink::postDelContact(ContactPtr contact) {
    current_->postDelContact(std::move(contact));
    afterPost();
}
void HandOverSink::postDelContactValue(DelContactValuePtr value) {
    current_->postDelContactValue(std::move(value));
    afterPost();
}
void HandOverSink::postDelMessage(MessagePtr message) {
    current_->postDelMessage(std::move(message));
    afterPost();
}
void HandOverSink::postChatMessage(ChatMessagePtr chat) {
    current_->postChatMessage(std::move(chat));
    afterPost();
}
void HandOverSink::postProgress(int percent) {
    current_->postProgress(percent);
    afterPost();
}
void HandOverSink::postReadFailure(const std::string& what) {
    current_->postReadFailure(what);
    afterPost();
}

std::optional<std::string> HandOverSink::getNameByPhoneNumber(const std::string& phone) {
    if (nameOnDrain_) return std::nullopt;
    return names_.getNameByPhoneNumber(phone);
}
std::optional<std::string> HandOverSink::getNameByHandle(const std::string& handle) {
    if (nameOnDrain_) return std::nullopt;
    return names_.getNameByHandle(handle);
}

void HandOverSink::beginWalk() { capture_ = std::make_unique<LogCapture>(); }

void HandOverSink::afterPost() {
    if (current_->size() >= batchSize_) handOver(false);
}

void HandOverSink::close() { handOver(true); }

void HandOverSink::handOver(bool last) {
    Batch batch;
    if (capture_) batch.logLines = capture_->take();
    if (last) capture_.reset();  // on the walking thread, which made it
    batch.records = std::move(current_);
    current_ = std::make_unique<DeferredSink>(kNoContacts);
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return abandoned_ || last || waiting_.size() < waitingBatches_; });
        if (!abandoned_) waiting_.push_back(std::move(batch));
        if (last) closed_ = true;
    }
    changed_.notify_all();
}

void HandOverSink::abandon() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        abandoned_ = true;
        waiting_.clear();
    }
    changed_.notify_all();
}

bool HandOverSink::abandoned() {
    std::lock_guard<std::mutex> lock(mutex_);
    return abandoned_;
}

void HandOverSink::drainInto(RecordSink& target) {
    for (;;) {
        Batch batch;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return closed_ || !waiting_.empty(); });
            if (waiting_.empty()) return;  // closed, and everything handed over
            batch = std::move(waiting_.front());
            waiting_.pop_front();
        }
        changed_.notify_all();
        try {
            replayLogLines(batch.logLines);
            batch.records->replay(target, nameOnDrain_);
        } catch (...) {
            abandon();
            throw;
        }
    }
}

}  // namespace kestrel
