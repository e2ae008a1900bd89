// Conversions every extractor uses: bytes to text, stored times to the date
// text of the lists, correspondent names from phone numbers, and the small
// formatters for durations, sizes and numbered file names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "app/phone_numbers.h"
#include "app/records.h"

namespace kestrel {

// Decodes a NUL-terminated UTF-8 byte string into `uncode` (capacity `count`
// 32-bit characters, including the terminating zero). The buffer is cleared
// first. Returns the number of characters written; 0 when the bytes are not
// valid UTF-8 (nothing is decoded then) or when they do not fit.
int Char2Unicode(const char* bytes, char32_t* uncode, int count);

// Whether the bytes are valid UTF-8 (strict: no overlong forms, surrogates
// or values above U+10FFFF).
bool isValidUtf8(std::string_view bytes);

// Database bytes to record text, keeping everything: each byte that is not
// part of a valid UTF-8 sequence becomes U+FFFD and each zero byte U+2400
// (the visible symbol for NUL), so that neither empties nor cuts the text.
// `repaired` (when given) is set to whether anything was replaced, so that a
// caller can log that a text was repaired without logging the text.
std::string repairedText(std::string_view bytes, bool* repaired = nullptr);

// UTF-8 bytes (up to the first zero byte) to text, as repairedText: invalid
// bytes become U+FFFD. A null pointer gives the empty text.
std::string GetStringFormChar(const char* bytes, bool* repaired = nullptr);

// Stored seconds to the date text "%02d-%02d-%04d %02d:%02d" (month-day-year
// hour:minute, local time) as 32-bit characters. Values whose Unix reading
// falls before 1990 count from 2001-01-01 (the reference date of the newer
// message databases); values above 1e11 in magnitude are nanoseconds and are
// divided down first. No result when the time cannot be broken down.
std::optional<std::u32string> GetDateTime(int64_t seconds, bool fileType);

// 32-bit character string (up to its first zero) to UTF-8 text.
std::string GetNSStringDate(const char32_t* text);

// The date rule of the message extractors: GetDateTime with the flag false,
// then GetNSStringDate; empty text when no date results.
std::string formatStoredDate(int64_t seconds);

// Which date rule a message database follows: the iOS 5 layout (madrid
// columns) stores Unix seconds; from iOS 6 on, dates count from 2001-01-01.
enum class MessageDateLayout { Ios5, Ios6OrLater };

// Unix seconds of a stored message date. Each value is scaled on its own:
// a magnitude of at least 1e11 is nanoseconds and always counts from
// 2001-01-01; a smaller value is seconds, counted from 2001-01-01 in the
// iOS 6+ layout and from 1970-01-01 in the iOS 5 layout.
int64_t messageDateToUnixSeconds(int64_t stored, MessageDateLayout layout);

// The same, as the date text of the lists ("%02d-%02d-%04d %02d:%02d", local
// time); empty text when the time cannot be broken down.
std::string formatMessageDate(int64_t stored, MessageDateLayout layout);

// A date text held in place, for a caller that copies it on (a long list
// then makes no string per row).
struct DateText {
    char text[40];
    size_t size = 0;
    std::string_view view() const { return std::string_view(text, size); }
};
DateText formatMessageDateText(int64_t stored, MessageDateLayout layout);

// "%d hours", "%d hour", "%d minutes", "%d minute", "%d second(s)".
std::string getCallHistoryDuration(int32_t seconds);

// The decimal form of the number, left-padded with zeros to 8 digits.
std::string getFullName(uint64_t number);

// Size text with decimal units ("999.00B", "1.54K", "1.00M" ...), written into
// the caller's buffer of `bufferSize` characters, which is returned.
char* size_to_unit(uint64_t size, char* out_buffer, size_t bufferSize);

// atoi / atol as the extractors use them: optional blanks and sign, then
// leading digits; anything else gives 0.
int32_t textToInt32(std::string_view text);
int64_t textToInt64(std::string_view text);

// Removes "-", "(", ")" and " " from a phone text and folds ASCII letters to
// lower case, as the name lookup compares them.
std::string normalisePhoneForLookup(std::string_view phone);

// Name lookup over a list of existing contacts: the first contact whose
// normalised phone text contains the normalised query names it. Each
// contact's phones are normalised once and answers are cached per query, so
// a scan with many messages does not rescan every contact per message.
// The index follows the list it was built from: call `reset` when the list is
// replaced; a change in the list's length rebuilds it.
class NameLookup {
public:
    std::optional<std::string> lookup(const std::vector<ContactPtr>& contacts, const std::string& phone);
    // The lookup of the newer message databases' handles: the rule above
    // first, then each contact's phone numbers compared with a phone handle
    // in their normalised forms (national and international writing) and
    // its e-mail addresses with an e-mail handle, ignoring case. The first
    // contact in list order that matches names the handle.
    std::optional<std::string> lookupHandle(const std::vector<ContactPtr>& contacts, const std::string& handle);
    void reset();

private:
    void rebuild(const std::vector<ContactPtr>& contacts);
    void rebuildHandles();

    PhoneNumbers numbers_;
    bool handlesBuilt_ = false;
    std::unordered_map<std::string, std::string> handleNames_;        // handle key -> first contact's name
    std::vector<std::pair<std::string, std::string>> phoneValues_;  // each stored phone and its contact's name
    std::unordered_map<std::string, std::optional<std::string>> handleCache_;

    const std::vector<ContactPtr>* source_ = nullptr;
    size_t builtSize_ = static_cast<size_t>(-1);
    std::vector<std::pair<std::string, ContactPtr>> phones_;  // normalised phones, list order
    std::unordered_map<std::string, size_t> firstEqual_;      // normalised phone -> its first place in phones_
    std::unordered_map<std::string, std::optional<std::string>> cache_;
};

}  // namespace kestrel
