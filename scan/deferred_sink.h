// A record sink that keeps what a carver delivers, in the order delivered, so
// that another thread can hand it on later: the carving thread of a scan
// delivers here while the scan worker runs the SQL steps, and the worker
// replays everything to the controller once those steps are done. Names are
// looked up in the existing contacts, which are complete and no longer change
// by the time a carver runs; the lookup is this sink's own, so it shares no
// cache with the worker's.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "app/record_sink.h"
#include "app/records.h"
#include "extract/conversions.h"

namespace kestrel {

class DeferredSink final : public RecordSink {
public:
    explicit DeferredSink(const std::vector<ContactPtr>& contacts) : contacts_(contacts) {}

    void postContact(ContactPtr contact) override { keep(Kind::Contact, std::move(contact)); }
    void postMessage(MessagePtr message) override { keep(Kind::Message, std::move(message)); }
    void postDelContact(ContactPtr contact) override { keep(Kind::DelContact, std::move(contact)); }
    void postDelContactValue(DelContactValuePtr value) override { keep(Kind::DelContactValue, std::move(value)); }
    void postDelMessage(MessagePtr message) override { keep(Kind::DelMessage, std::move(message)); }
    void postChatMessage(ChatMessagePtr chat) override { keep(Kind::ChatMessage, std::move(chat)); }
    void postProgress(int percent) override { keep(Kind::Progress, percent); }
    void postReadFailure(const std::string& what) override {
        failures_.push_back(what);
        keep(Kind::ReadFailure, static_cast<int>(failures_.size() - 1));
    }
    std::optional<std::string> getNameByPhoneNumber(const std::string& phone) override {
        return lookup_.lookup(contacts_, phone);
    }
    std::optional<std::string> getNameByHandle(const std::string& handle) override {
        return lookup_.lookupHandle(contacts_, handle);
    }

    size_t size() const { return events_.size(); }

    // Names a carved message through the target just before it is posted.
    using Naming = std::function<void(RecordSink& names, TovMessageNode& message)>;

    // Delivers everything kept to `target`, in the order it came, and
    // forgets it; each carved message named first by `naming`, when given.
    void replay(RecordSink& target, const Naming& naming = nullptr) {
        std::vector<Event> events;
        events.swap(events_);
        for (Event& e : events) {
            switch (e.kind) {
                case Kind::Contact: target.postContact(std::get<ContactPtr>(std::move(e.item))); break;
                case Kind::Message: target.postMessage(std::get<MessagePtr>(std::move(e.item))); break;
                case Kind::DelContact: target.postDelContact(std::get<ContactPtr>(std::move(e.item))); break;
                case Kind::DelContactValue:
                    target.postDelContactValue(std::get<DelContactValuePtr>(std::move(e.item)));
                    break;
                case Kind::DelMessage: {
                    MessagePtr message = std::get<MessagePtr>(std::move(e.item));
                    if (naming && message) naming(target, *message);
                    target.postDelMessage(std::move(message));
                    break;
                }
                case Kind::ChatMessage: target.postChatMessage(std::get<ChatMessagePtr>(std::move(e.item))); break;
                case Kind::Progress: target.postProgress(std::get<int>(e.item)); break;
                case Kind::ReadFailure: target.postReadFailure(failures_[static_cast<size_t>(std::get<int>(e.item))]); break;
            }
        }
        failures_.clear();
    }

private:
    enum class Kind : unsigned char {
        Contact,
        Message,
        DelContact,
        DelContactValue,
        DelMessage,
        ChatMessage,
        Progress,
        ReadFailure
    };
    // A progress value, or the place of a failure's text in failures_.
    using Item = std::variant<ContactPtr, MessagePtr, DelContactValuePtr, ChatMessagePtr, int>;
    struct Event {
        Kind kind;
        Item item;
    };
    template <typename T>
    void keep(Kind kind, T&& item) {
        events_.push_back(Event{kind, Item(std::forward<T>(item))});
    }

    const std::vector<ContactPtr>& contacts_;
    NameLookup lookup_;
    std::vector<Event> events_;
    std::vector<std::string> failures_;
};

}  // namespace kestrel
