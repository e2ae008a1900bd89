// Where the scan steps deliver what they find. Each reader and carver is a
// plain function of its inputs and a sink: it hands every record over in the
// order found, asks the sink for the name of a phone number, and never knows
// who listens. The scan controller is the sink of a real scan; tests and fuzz
// targets use a collecting one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "app/records.h"

namespace kestrel {

class RecordSink {
public:
    virtual ~RecordSink() = default;

    // An existing contact, complete with its values.
    virtual void postContact(ContactPtr contact) = 0;
    // An existing message, named.
    virtual void postMessage(MessagePtr message) = 0;
    // A carved person, with its values joined.
    virtual void postDelContact(ContactPtr contact) = 0;
    // A carved value record (phone, e-mail, web page of a carved person).
    virtual void postDelContactValue(DelContactValuePtr value) = 0;
    // A carved message, phone attached and named.
    virtual void postDelMessage(MessagePtr message) = 0;
    // A carved chat record (row number and correspondent) of the iOS 6 layout.
    virtual void postChatMessage(ChatMessagePtr chat) = 0;
    // The scan's progress in percent.
    virtual void postProgress(int percent) = 0;
    // Name of the existing contact whose phones contain the number.
    virtual std::optional<std::string> getNameByPhoneNumber(const std::string& phone) = 0;
    // Name of the existing contact a handle of the newer message databases
    // belongs to: a phone number compared in its normalised forms, an e-mail
    // address without regard to case. Falls back to the phone lookup.
    virtual std::optional<std::string> getNameByHandle(const std::string& handle) {
        return getNameByPhoneNumber(handle);
    }
    // A reader could not read its whole database (it could not be opened,
    // a statement failed, or a step ended with an error): what it delivered
    // may be incomplete. `what` names the step and the SQLite error, never
    // a record's content.
    virtual void postReadFailure(const std::string& what) { (void)what; }
    // Whether a deleted record a walk finds at this byte offset of its
    // database file would be kept: a walk may pass over one that would not
    // without reading it, where reading it has no bearing on the next.
    virtual bool wantsDelRecordAt(int64_t offset) {
        (void)offset;
        return true;
    }
};

}  // namespace kestrel
