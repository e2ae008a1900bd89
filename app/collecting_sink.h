// A record sink that keeps everything it is given, in order: for running one
// reader or carver on its own (tests, fuzz targets, benchmarks). Its name
// lookup searches the contacts given to `names`.
#pragma once

#include <vector>

#include "app/record_sink.h"

namespace kestrel {

class CollectingSink : public RecordSink {
public:
    std::vector<ContactPtr> contacts;
    std::vector<MessagePtr> messages;
    std::vector<ContactPtr> delContacts;
    std::vector<DelContactValuePtr> delContactValues;
    std::vector<MessagePtr> delMessages;
    std::vector<ChatMessagePtr> chatMessages;
    std::vector<int> progress;
    // Phone (as the lookup is asked) and name pairs the lookup answers from.
    std::vector<std::pair<std::string, std::string>> names;

    void postContact(ContactPtr contact) override { contacts.push_back(std::move(contact)); }
    void postMessage(MessagePtr message) override { messages.push_back(std::move(message)); }
    void postDelContact(ContactPtr contact) override { delContacts.push_back(std::move(contact)); }
    void postDelContactValue(DelContactValuePtr value) override { delContactValues.push_back(std::move(value)); }
    void postDelMessage(MessagePtr message) override { delMessages.push_back(std::move(message)); }
    void postChatMessage(ChatMessagePtr chat) override { chatMessages.push_back(std::move(chat)); }
    void postProgress(int percent) override { progress.push_back(percent); }
    std::optional<std::string> getNameByPhoneNumber(const std::string& phone) override {
        for (const auto& [number, name] : names) {
            if (number == phone) return name;
        }
        return std::nullopt;
    }
};

}  // namespace kestrel
