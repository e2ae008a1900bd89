#include "app/notification_center.h"

#include <algorithm>

namespace kestrel {

NotificationCenter::Token NotificationCenter::addObserver(const std::string& name, Handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    Token token = next_++;
    auto& slot = observers_[name];
    auto updated = std::make_shared<EntryList>(slot ? *slot : EntryList{});
    updated->push_back(std::make_shared<const Entry>(Entry{token, std::move(handler)}));
    slot = std::move(updated);
    return token;
}

void NotificationCenter::removeObserver(Token token) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [name, list] : observers_) {
        if (!list) continue;
        auto updated = std::make_shared<EntryList>(*list);
        std::erase_if(*updated, [token](const auto& e) { return e->token == token; });
        if (updated->size() != list->size()) list = std::move(updated);
    }
}

void NotificationCenter::postNotificationName(const std::string& name, std::any object) {
    std::shared_ptr<const EntryList> handlers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = observers_.find(name);
        if (it == observers_.end()) return;
        handlers = it->second;
    }
    if (!handlers) return;
    Notification note{name, std::move(object)};
    for (const auto& entry : *handlers) entry->handler(note);
}

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter centre;
    return centre;
}

}  // namespace kestrel
