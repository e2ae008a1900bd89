#include "extract/conversions.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>

namespace kestrel {
namespace {

// Decodes one UTF-8 sequence starting at p (strict: no overlong forms, no
// surrogates, nothing above U+10FFFF). Returns the sequence length, or 0 when
// the bytes are not valid UTF-8.
int decodeUtf8(const unsigned char* p, char32_t* out) {
    unsigned char c = p[0];
    if (c < 0x80) {
        *out = c;
        return 1;
    }
    int length;
    char32_t value;
    char32_t minimum;
    if ((c & 0xE0) == 0xC0) {
        length = 2;
        value = c & 0x1F;
        minimum = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        length = 3;
        value = c & 0x0F;
        minimum = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        length = 4;
        value = c & 0x07;
        minimum = 0x10000;
    } else {
        return 0;
    }
    for (int i = 1; i < length; ++i) {
        unsigned char cc = p[i];  // a terminating zero fails this test, so we never read past it
        if ((cc & 0xC0) != 0x80) return 0;
        value = (value << 6) | (cc & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    *out = value;
    return length;
}

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

template <typename Int>
Int parseLeadingInteger(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Accumulate in unsigned 64-bit with saturation, then narrow as a
    // C cast would: the result of overflowing input is unspecified in C, so
    // any answer is acceptable, but it must not be undefined behaviour.
    uint64_t value = 0;
    const uint64_t limit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
        if (value > limit) value = limit;
        ++i;
    }
    int64_t signedValue = negative ? -static_cast<int64_t>(value) : static_cast<int64_t>(value);
    return static_cast<Int>(signedValue);
}

}  // namespace

bool isValidUtf8(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t n = bytes.size();
    size_t i = 0;
    while (i < n) {
        // Eight ASCII bytes at a time, the common case.
        uint64_t eight;
        while (i + 8 <= n && (std::memcpy(&eight, p + i, 8), (eight & 0x8080808080808080ULL) == 0)) i += 8;
        if (i >= n) break;
        if (p[i] < 0x80) {
            ++i;
            continue;
        }
        // decodeUtf8 stops at a byte that is not a continuation byte; copy a
        // sequence cut off by the end of the view so it never reads past it.
        unsigned char sequence[5] = {0, 0, 0, 0, 0};
        for (size_t k = 0; k < 4 && i + k < n; ++k) sequence[k] = p[i + k];
        char32_t ignored;
        int length = decodeUtf8(sequence, &ignored);
        if (length == 0) return false;
        i += static_cast<size_t>(length);
    }
    return true;
}

int Char2Unicode(const char* bytes, char32_t* uncode, int count) {
    if (uncode == nullptr || count <= 0) return 0;
    std::memset(uncode, 0, sizeof(char32_t) * static_cast<size_t>(count));
    if (bytes == nullptr) return 0;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    int written = 0;
    size_t i = 0;
    while (p[i] != 0) {
        char32_t c;
        int n = decodeUtf8(p + i, &c);
        if (n == 0 || written >= count - 1) {
            // Not valid UTF-8, or no room: nothing is decoded.
            std::memset(uncode, 0, sizeof(char32_t) * static_cast<size_t>(count));
            return 0;
        }
        uncode[written++] = c;
        i += static_cast<size_t>(n);
    }
    return written;
}

std::string repairedText(std::string_view bytes, bool* repaired) {
    if (repaired != nullptr) *repaired = false;
    // Valid UTF-8 without zero bytes decodes to the same characters it
    // encodes: the text is the bytes themselves.
    if (bytes.find('\0') == std::string_view::npos && isValidUtf8(bytes)) return std::string(bytes);
    if (repaired != nullptr) *repaired = true;
    std::string text;
    text.reserve(bytes.size() + 16);
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t n = bytes.size();
    size_t i = 0;
    while (i < n) {
        if (p[i] == 0) {
            appendUtf8(text, U'\u2400');
            ++i;
            continue;
        }
        if (p[i] < 0x80) {
            text.push_back(static_cast<char>(p[i++]));
            continue;
        }
        // A copy, so that a sequence cut off by the end is never read past it
        // (a zero byte inside a sequence ends it as invalid).
        unsigned char sequence[5] = {0, 0, 0, 0, 0};
        for (size_t k = 0; k < 4 && i + k < n; ++k) sequence[k] = p[i + k];
        char32_t c;
        int length = decodeUtf8(sequence, &c);
        if (length == 0) {
            appendUtf8(text, U'\uFFFD');
            ++i;
            continue;
        }
        text.append(bytes.substr(i, static_cast<size_t>(length)));
        i += static_cast<size_t>(length);
    }
    return text;
}

std::string GetStringFormChar(const char* bytes, bool* repaired) {
    if (repaired != nullptr) *repaired = false;
    if (bytes == nullptr) return std::string();
    return repairedText(std::string_view(bytes), repaired);
}

namespace {

// Calendar fields of a local time, as far as the date text needs them.
struct LocalFields {
    int64_t year;
    int month, day, hour, minute;
};

// Days since 1970-01-01 to a proleptic Gregorian date.
void civilFromDays(int64_t days, int64_t& year, int& month, int& day) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t mp = (5 * dayOfYear + 2) / 153;
    day = static_cast<int>(dayOfYear - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
}

int64_t floorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0); }

// The zone's offsets over one UTC day: `before` until `switchAt`, `after`
// from then on (the same offset all day when the zone does not change it).
struct DayOffsets {
    int64_t day = INT64_MIN;
    long before = 0;
    long after = 0;
    int64_t switchAt = INT64_MAX;
    bool perRow = false;  // a day the breakdown must leave to the C library row by row
};

// The offset the C library gives a time, if it can break the time down.
std::optional<long> offsetAt(int64_t seconds) {
    std::tm parts{};
    const auto t = static_cast<time_t>(seconds);
    if (localtime_r(&t, &parts) == nullptr) return std::nullopt;
    return parts.tm_gmtoff;
}

// Looks the day's offsets up: at its first and last second and, on a day
// the offset changes, at the second it changes (found by halving). A day
// whose offsets do not fit one change is left to the C library.
DayOffsets offsetsOfDay(int64_t day) {
    DayOffsets out;
    out.day = day;
    out.perRow = true;
    if (day > INT64_MAX / 86400 - 1 || day < INT64_MIN / 86400 + 1) return out;
    const int64_t start = day * 86400;
    const int64_t end = start + 86399;
    std::optional<long> first = offsetAt(start);
    std::optional<long> last = offsetAt(end);
    if (!first || !last) return out;
    out.before = *first;
    out.after = *last;
    if (*first == *last) {
        out.perRow = false;
        return out;
    }
    int64_t low = start;  // offset `before` here
    int64_t high = end;   // offset `after` here
    while (high - low > 1) {
        const int64_t middle = low + (high - low) / 2;
        std::optional<long> offset = offsetAt(middle);
        if (!offset) return out;
        if (*offset == *first) {
            low = middle;
        } else if (*offset == *last) {
            high = middle;
        } else {
            return out;  // a third offset within the day
        }
    }
    out.switchAt = high;
    out.perRow = false;
    return out;
}

// The local-time breakdown. The zone's offsets are looked up once per UTC
// day (a day the offset changes also finds the second it changes) and kept
// per thread for the last days seen, for as long as the zone settings stay
// the same; each time is then broken down by arithmetic alone.
bool localFields(int64_t seconds, LocalFields& out) {
    struct Cache {
        const char* name0 = nullptr;
        const char* name1 = nullptr;
        long zone = 0;
        int dst = 0;
        bool valid = false;
        std::array<DayOffsets, 64> days;
        // The calendar date of the last local day broken down.
        int64_t civilDay = INT64_MIN;
        int64_t year = 0;
        int month = 0, day = 0;
    };
    thread_local Cache cache;

    if (!cache.valid || cache.name0 != tzname[0] || cache.name1 != tzname[1] || cache.zone != timezone ||
        cache.dst != daylight) {
        cache = Cache{};
        cache.name0 = tzname[0];
        cache.name1 = tzname[1];
        cache.zone = timezone;
        cache.dst = daylight;
        cache.valid = true;
    }
    const int64_t day = floorDiv(seconds, 86400);
    DayOffsets& entry = cache.days[static_cast<size_t>(day) & (cache.days.size() - 1)];
    if (entry.day != day) entry = offsetsOfDay(day);
    if (entry.perRow) {
        std::tm parts{};
        const time_t t = static_cast<time_t>(seconds);
        if (localtime_r(&t, &parts) == nullptr) return false;
        out = {parts.tm_year + 1900LL, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min};
        return true;
    }
    const int64_t local = seconds + (seconds < entry.switchAt ? entry.before : entry.after);
    const int64_t days = floorDiv(local, 86400);
    const int64_t secondOfDay = local - days * 86400;
    if (days != cache.civilDay) {
        civilFromDays(days, cache.year, cache.month, cache.day);
        cache.civilDay = days;
    }
    out.year = cache.year;
    out.month = cache.month;
    out.day = cache.day;
    out.hour = static_cast<int>(secondOfDay / 3600);
    out.minute = static_cast<int>(secondOfDay % 3600 / 60);
    return true;
}

// The calendar fields a stored time stands for: nanoseconds (newer devices)
// are divided down first; a Unix reading before 1990 counts from 2001-01-01.
bool storedTimeFields(int64_t seconds, LocalFields& parts) {
    constexpr int64_t kNanosecondThreshold = 100000000000LL;
    if (seconds > kNanosecondThreshold || seconds < -kNanosecondThreshold) seconds /= 1000000000LL;
    if (!localFields(seconds, parts)) return false;
    if (parts.year < 1990) {
        constexpr int64_t kReferenceDateOffset = 978307200;  // 1970-01-01 to 2001-01-01
        if (!localFields(seconds + kReferenceDateOffset, parts)) return false;
    }
    return true;
}

// "%02d-%02d-%04d %02d:%02d": month-day-year hour:minute.
DateText dateTextInPlace(const LocalFields& parts) {
    DateText out;
    char* text = out.text;
    char* p = text;
    auto two = [&p](int v) {
        *p++ = static_cast<char>('0' + v / 10 % 10);
        *p++ = static_cast<char>('0' + v % 10);
    };
    two(parts.month);
    *p++ = '-';
    two(parts.day);
    *p++ = '-';
    if (parts.year >= 0 && parts.year <= 9999) {
        two(static_cast<int>(parts.year / 100));
        two(static_cast<int>(parts.year % 100));
    } else {
        // At most 20 characters for any 64-bit year, and 6 before it: the
        // 11 after it still fit the 40.
        p += std::snprintf(p, 22, "%04lld", static_cast<long long>(parts.year));
    }
    *p++ = ' ';
    two(parts.hour);
    *p++ = ':';
    two(parts.minute);
    out.size = static_cast<size_t>(p - text);
    return out;
}

std::string dateText(const LocalFields& parts) { return std::string(dateTextInPlace(parts).view()); }

}  // namespace

std::optional<std::u32string> GetDateTime(int64_t seconds, bool /*fileType*/) {
    LocalFields parts{};
    if (!storedTimeFields(seconds, parts)) return std::nullopt;
    std::string text = dateText(parts);
    return std::u32string(text.begin(), text.end());
}

std::string GetNSStringDate(const char32_t* text) {
    std::string out;
    if (text == nullptr) return out;
    for (const char32_t* p = text; *p != 0; ++p) appendUtf8(out, *p);
    return out;
}

std::string formatStoredDate(int64_t seconds) {
    // The same text as GetDateTime followed by GetNSStringDate, without the
    // detour through 32-bit characters.
    LocalFields parts{};
    if (!storedTimeFields(seconds, parts)) return std::string();
    return dateText(parts);
}

int64_t messageDateToUnixSeconds(int64_t stored, MessageDateLayout layout) {
    constexpr int64_t kNanosecondThreshold = 100000000000LL;
    constexpr int64_t kReferenceDateOffset = 978307200;  // 1970-01-01 to 2001-01-01
    if (stored >= kNanosecondThreshold || stored <= -kNanosecondThreshold) {
        return floorDiv(stored, 1000000000LL) + kReferenceDateOffset;
    }
    return layout == MessageDateLayout::Ios5 ? stored : stored + kReferenceDateOffset;
}

std::string formatMessageDate(int64_t stored, MessageDateLayout layout) {
    return std::string(formatMessageDateText(stored, layout).view());
}

DateText formatMessageDateText(int64_t stored, MessageDateLayout layout) {
    LocalFields parts{};
    if (!localFields(messageDateToUnixSeconds(stored, layout), parts)) return DateText{};
    return dateTextInPlace(parts);
}

std::string getCallHistoryDuration(int32_t seconds) {
    char text[64];
    if (seconds >= 7200) {
        std::snprintf(text, sizeof text, "%d hours", seconds / 3600);
    } else if (seconds >= 3600) {
        std::snprintf(text, sizeof text, "%d hour", 1);
    } else if (seconds >= 120) {
        std::snprintf(text, sizeof text, "%d minutes", seconds / 60);
    } else if (seconds >= 60) {
        std::snprintf(text, sizeof text, "%d minute", 1);
    } else if (seconds == 0 || seconds == 1) {
        std::snprintf(text, sizeof text, "%d second", seconds);
    } else {
        std::snprintf(text, sizeof text, "%d seconds", seconds);
    }
    return text;
}

std::string getFullName(uint64_t number) {
    char text[32];
    std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(number));
    std::string result = text;
    if (result.size() < 8) result.insert(0, 8 - result.size(), '0');
    return result;
}

char* size_to_unit(uint64_t size, char* out_buffer, size_t bufferSize) {
    if (out_buffer == nullptr || bufferSize == 0) return out_buffer;
    float n = static_cast<float>(size);
    if (size < 1000ULL) {
        std::snprintf(out_buffer, bufferSize, "%.2fB", static_cast<double>(n));
    } else if (size <= 999999ULL) {
        std::snprintf(out_buffer, bufferSize, "%.2fK", static_cast<double>(n / 1000));
    } else if (size <= 999999999ULL) {
        std::snprintf(out_buffer, bufferSize, "%.2fM", static_cast<double>(n / 1000 / 1000));
    } else if (size <= 999999999999ULL) {
        std::snprintf(out_buffer, bufferSize, "%.2fG", static_cast<double>(n / 1000 / 1000 / 1000));
    } else {
        std::snprintf(out_buffer, bufferSize, "%.2fT", static_cast<double>(n / 1000 / 1000 / 1000 / 1000));
    }
    return out_buffer;
}

int32_t textToInt32(std::string_view text) { return parseLeadingInteger<int32_t>(text); }
int64_t textToInt64(std::string_view text) { return parseLeadingInteger<int64_t>(text); }

std::string normalisePhoneForLookup(std::string_view phone) {
    std::string out;
    out.reserve(phone.size());
    for (char c : phone) {
        if (c == '-' || c == '(' || c == ')' || c == ' ') continue;
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        out.push_back(c);
    }
    return out;
}

void NameLookup::reset() {
    handlesBuilt_ = false;
    handleNames_.clear();
    phoneValues_.clear();
    handleCache_.clear();
    source_ = nullptr;
    builtSize_ = static_cast<size_t>(-1);
    phones_.clear();
    firstEqual_.clear();
    cache_.clear();
}

void NameLookup::rebuild(const std::vector<ContactPtr>& contacts) {
    phones_.clear();
    firstEqual_.clear();
    cache_.clear();
    phones_.reserve(contacts.size());
    for (const ContactPtr& contact : contacts) {
        if (!contact) continue;
        std::string phone = contact->contactPhone();
        if (phone.empty()) continue;
        phones_.emplace_back(normalisePhoneForLookup(phone), contact);
        firstEqual_.try_emplace(phones_.back().first, phones_.size() - 1);
    }
    source_ = &contacts;
    builtSize_ = contacts.size();
    handlesBuilt_ = false;
    handleNames_.clear();
    phoneValues_.clear();
    handleCache_.clear();
}

void NameLookup::rebuildHandles() {
    if (source_ != nullptr) {
        for (const ContactPtr& contact : *source_) {
            if (!contact) continue;
            const std::string name = contact->contactName();
            for (const std::string& phone : contact->contactPhoneValues()) {
                std::string key = numbers_.handleKey(phone);
                if (!key.empty()) handleNames_.emplace(std::move(key), name);
                phoneValues_.emplace_back(phone, name);
            }
            for (const std::string& email : contact->contactEmailValues()) {
                std::string key = numbers_.handleKey(email);
                if (!key.empty()) handleNames_.emplace(std::move(key), name);
            }
        }
    }
    handlesBuilt_ = true;
}

std::optional<std::string> NameLookup::lookupHandle(const std::vector<ContactPtr>& contacts,
                                                    const std::string& handle) {
    if (std::optional<std::string> byPhone = lookup(contacts, handle)) return byPhone;
    if (!handlesBuilt_) rebuildHandles();
    auto cached = handleCache_.find(handle);
    if (cached != handleCache_.end()) return cached->second;
    std::optional<std::string> answer;
    const std::string key = numbers_.handleKey(handle);
    if (!key.empty()) {
        auto found = handleNames_.find(key);
        if (found != handleNames_.end()) {
            answer = found->second;
        } else if (!PhoneNumbers::isEmail(handle)) {
            // A number stored without its country code against the
            // international form of the handle, or the other way round.
            for (const auto& [phone, name] : phoneValues_) {
                if (numbers_.sameHandle(phone, handle)) {
                    answer = name;
                    break;
                }
            }
        }
    }
    handleCache_.emplace(handle, answer);
    return answer;
}

std::optional<std::string> NameLookup::lookup(const std::vector<ContactPtr>& contacts, const std::string& phone) {
    if (source_ != &contacts || builtSize_ != contacts.size()) rebuild(contacts);
    // Answers are cached by the text asked for, before normalising it.
    auto cached = cache_.find(phone);
    if (cached != cache_.end()) return cached->second;
    std::optional<std::string> answer;
    std::string query = normalisePhoneForLookup(phone);
    if (!query.empty()) {
        // The first contact whose phones hold the query. Up to the first one
        // equal to it, only a longer text can hold it (one as long would be
        // equal): the texts before that place are passed over by their
        // length, not searched one by one.
        const auto equal = firstEqual_.find(query);
        const size_t limit = equal != firstEqual_.end() ? equal->second : phones_.size();
        for (size_t i = 0; i < limit; ++i) {
            const std::string& normalised = phones_[i].first;
            if (normalised.size() > query.size() && normalised.find(query) != std::string::npos) {
                answer = phones_[i].second->contactName();
                break;
            }
        }
        if (!answer && limit < phones_.size()) answer = phones_[limit].second->contactName();
    }
    cache_.emplace(phone, answer);
    return answer;
}

}  // namespace kestrel
