// Comparing correspondents' addresses the way the name lookup needs it: phone
// numbers in their normalised forms ("+1 555 …", "555-…", national and
// international writing), e-mail addresses without regard to letter case.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

namespace kestrel {

class PhoneNumbers {
public:
    // `defaultRegion` is the two-letter region numbers without a country code
    // are read in ("US" when empty or unknown). libphonenumber's metadata is
    // loaded (some 15 ms) when a number is first compared, not here: a scan
    // of an older message database never compares one this way.
    explicit PhoneNumbers(std::string defaultRegion = "US");

    const std::string& region() const;

    // Whether the handle is an e-mail address (it holds an "@").
    static bool isEmail(std::string_view handle);

    // A key under which equal handles meet in a hash map: an e-mail address
    // in lower case ("e:" prefix), a phone number in international E.164 form
    // ("+15551234567"), and a short code or text that is no possible phone
    // number as its bare digits (with a leading "+" kept). Empty for a handle
    // with neither an "@" nor a digit.
    std::string handleKey(std::string_view handle) const;

    // Whether two handles name the same address: equal keys, or two phone
    // numbers whose national significant numbers agree where one of them
    // lacks a country code (a number stored as typed against its
    // international form).
    bool sameHandle(std::string_view a, std::string_view b) const;

private:
    // The region as given, checked against the metadata on first use.
    mutable std::string region_;
    mutable std::once_flag regionChecked_;
};

}  // namespace kestrel
