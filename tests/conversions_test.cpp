#include "extract/conversions.h"

#include <sqlite3.h>

#include <optional>
#include <random>
#include <vector>

#include "app/log.h"
#include "extract/sqlite_columns.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

using namespace kestrel;

namespace {

// Every date test runs in UTC whatever the environment says.
class UtcZone : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        saved_ = tz ? std::optional<std::string>(tz) : std::nullopt;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override {
        if (saved_) {
            setenv("TZ", saved_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    std::optional<std::string> saved_;
};

ContactPtr contactWithPhones(const std::string& name, const std::string& phones) {
    auto c = std::make_shared<TovContactNode>();
    c->setContactName(name);
    c->setContactPhone(phones);
    return c;
}

}  // namespace

TEST(Conversions, Utf8BytesBecomeTextAndInvalidBytesAreRepairedNotDropped) {
    EXPECT_EQ(GetStringFormChar("Caf\xC3\xA9 \xE2\x98\x95 \xF0\x9F\x98\x80"), "Caf\xC3\xA9 \xE2\x98\x95 \xF0\x9F\x98\x80");
    EXPECT_EQ(GetStringFormChar("stops\0here"), "stops");
    EXPECT_EQ(GetStringFormChar(nullptr), "");
    bool repaired = false;
    EXPECT_EQ(GetStringFormChar("bad \xFF byte", &repaired), "bad \xEF\xBF\xBD byte");
    EXPECT_TRUE(repaired);
    EXPECT_EQ(GetStringFormChar("overlong \xC0\xAF"), "overlong \xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(GetStringFormChar("surrogate \xED\xA0\x80"), "surrogate \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(GetStringFormChar("cut \xE2\x98"), "cut \xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(GetStringFormChar("fine \xC3\xA9", &repaired), "fine \xC3\xA9");
    EXPECT_FALSE(repaired);
    // With its length known, a zero byte neither cuts nor hides the rest.
    using namespace std::string_view_literals;
    EXPECT_EQ(repairedText("one\0two\xC3"sv, &repaired), "one\xE2\x90\x80two\xEF\xBF\xBD");
    EXPECT_TRUE(repaired);
    EXPECT_EQ(repairedText("\xE2\x98\0\x95"sv), "\xEF\xBF\xBD\xEF\xBF\xBD\xE2\x90\x80\xEF\xBF\xBD");
    EXPECT_TRUE(isValidUtf8(repairedText("\xF4\x90\x80\x80 \xFE\xFF"sv)));
    std::string longText(5000, 'x');
    longText += "\xC3\xA9";
    EXPECT_EQ(GetStringFormChar(longText.c_str()), longText);

    char32_t buffer[8];
    EXPECT_EQ(Char2Unicode("a\xC3\xA9", buffer, 8), 2);
    EXPECT_EQ(buffer[0], U'a');
    EXPECT_EQ(buffer[1], U'\u00E9');
    EXPECT_EQ(buffer[2], U'\0');
    EXPECT_EQ(Char2Unicode("\xFF", buffer, 8), 0);
    EXPECT_EQ(buffer[0], U'\0');
    EXPECT_EQ(Char2Unicode("too long for four", buffer, 4), 0);
}

TEST_F(UtcZone, StoredTimesBecomeMonthDayYearInBothEpochs) {
    EXPECT_EQ(formatStoredDate(380000000), "01-16-2013 03:33");     // seconds since 2001
    EXPECT_EQ(formatStoredDate(1300000000), "03-13-2011 07:06");    // Unix seconds
    EXPECT_EQ(formatStoredDate(68169600), "03-01-2003 00:00");
    EXPECT_EQ(formatStoredDate(0), "01-01-2001 00:00");
    // Nanoseconds since 2001 (newer devices) give the same minute as seconds.
    EXPECT_EQ(formatStoredDate(380000000LL * 1000000000LL), "01-16-2013 03:33");
    EXPECT_EQ(formatStoredDate(-5), "12-31-2000 23:59");
    auto raw = GetDateTime(380000000, false);
    ASSERT_TRUE(raw.has_value());
    EXPECT_EQ(raw->size(), 16u);
    EXPECT_EQ(GetNSStringDate(raw->c_str()), "01-16-2013 03:33");
}

TEST_F(UtcZone, StoredTimesFollowTheLocalZone) {
    setenv("TZ", "America/New_York", 1);
    tzset();
    EXPECT_EQ(formatStoredDate(1300000000), "03-13-2011 03:06");  // 07:06 UTC is 03:06 EDT
}

TEST(Conversions, NameLookupFindsTheFirstContactContainingTheNumber) {
    std::vector<ContactPtr> contacts = {
        contactWithPhones("Nobody", ""),
        contactWithPhones("Ann Lee", " 555-123-4567 555-987-6543"),
        contactWithPhones("Bob Kay", " (555) 123-4567"),
        contactWithPhones("Mail Only", " Someone@Example.com"),
    };
    NameLookup lookup;
    EXPECT_EQ(lookup.lookup(contacts, "(555) 123-4567"), "Ann Lee");
    EXPECT_EQ(lookup.lookup(contacts, "123"), "Ann Lee");
    EXPECT_EQ(lookup.lookup(contacts, "9876543"), "Ann Lee");
    EXPECT_EQ(lookup.lookup(contacts, "someone@example.COM"), "Mail Only");
    EXPECT_FALSE(lookup.lookup(contacts, "").has_value());
    EXPECT_FALSE(lookup.lookup(contacts, " - ( ) ").has_value());
    EXPECT_FALSE(lookup.lookup(contacts, "+44 20 7946 0958").has_value());
    // A query longer than every stored number matches nobody.
    EXPECT_FALSE(lookup.lookup(contacts, "5551234567555987654355500").has_value());

    // A new list is looked up afresh, not answered from the old cache.
    std::vector<ContactPtr> other = {contactWithPhones("Cy", " 555-123-4567")};
    EXPECT_EQ(lookup.lookup(other, "5551234567"), "Cy");
    other.insert(other.begin(), contactWithPhones("Di", " 5551234567"));
    EXPECT_EQ(lookup.lookup(other, "5551234567"), "Di");

    // Against the rule read plainly, over numbers of few digits (so that
    // numbers hold one another, equal ones recur and some hold the query
    // before the first equal one): the first contact whose text holds it.
    std::mt19937 rng(3);
    const auto digits = [&rng](size_t n) {
        std::string d;
        for (size_t i = 0; i < n; ++i) d.push_back(static_cast<char>('0' + rng() % 3));
        return d;
    };
    std::vector<ContactPtr> many;
    for (int i = 0; i < 300; ++i) {
        std::string phones = " " + digits(2 + rng() % 5);
        if (rng() % 4 == 0) phones += " " + digits(3);
        many.push_back(contactWithPhones("P" + std::to_string(i), phones));
    }
    NameLookup fresh;
    for (int q = 0; q < 400; ++q) {
        const std::string query = digits(1 + rng() % 7);
        std::optional<std::string> expected;
        for (const ContactPtr& c : many) {
            if (normalisePhoneForLookup(c->contactPhone()).find(query) != std::string::npos) {
                expected = c->contactName();
                break;
            }
        }
        ASSERT_EQ(fresh.lookup(many, query), expected) << query;
    }
}

TEST(Conversions, DurationsSizesAndNumberedNames) {
    EXPECT_EQ(getCallHistoryDuration(59), "59 seconds");
    EXPECT_EQ(getCallHistoryDuration(1), "1 second");
    EXPECT_EQ(getCallHistoryDuration(0), "0 second");
    EXPECT_EQ(getCallHistoryDuration(61), "1 minute");
    EXPECT_EQ(getCallHistoryDuration(3599), "59 minutes");
    EXPECT_EQ(getCallHistoryDuration(3600), "1 hour");
    EXPECT_EQ(getCallHistoryDuration(7320), "2 hours");

    char buffer[100];
    EXPECT_STREQ(size_to_unit(999, buffer, sizeof buffer), "999.00B");
    EXPECT_STREQ(size_to_unit(1536, buffer, sizeof buffer), "1.54K");
    EXPECT_STREQ(size_to_unit(1000000, buffer, sizeof buffer), "1.00M");
    EXPECT_STREQ(size_to_unit(2500000000ULL, buffer, sizeof buffer), "2.50G");
    EXPECT_STREQ(size_to_unit(3000000000000ULL, buffer, sizeof buffer), "3.00T");

    EXPECT_EQ(getFullName(42), "00000042");
    EXPECT_EQ(getFullName(123456789), "123456789");
}

TEST(Conversions, NumbersFromTextBehaveLikeAtoi) {
    EXPECT_EQ(textToInt32("42abc"), 42);
    EXPECT_EQ(textToInt32("  -7"), -7);
    EXPECT_EQ(textToInt32("+3"), 3);
    EXPECT_EQ(textToInt32("abc"), 0);
    EXPECT_EQ(textToInt32(""), 0);
    EXPECT_EQ(textToInt64("380000000123456789"), 380000000123456789LL);
    EXPECT_EQ(textToInt64("99999999999999999999999"), INT64_MAX);  // saturates, no overflow
}

// Dates of the newer databases: seconds or nanoseconds since 2001 from iOS 6
// on, Unix seconds in the iOS 5 layout, each value scaled on its own. The old
// rule read seconds since 2001 after 2020 as Unix time (31 years early).
TEST_F(UtcZone, MessageDatesFollowTheLayoutAndTheUnitOfEachValue) {
    const auto modern = MessageDateLayout::Ios6OrLater;
    const auto ios5 = MessageDateLayout::Ios5;
    struct Case {
        int64_t unixSeconds;
        const char* text;
    };
    const Case cases[] = {
        {1577386237, "12-26-2019 18:50"},
        {1609459200, "01-01-2021 00:00"},
        {1672132500, "12-27-2022 09:15"},
        {1709208000, "02-29-2024 12:00"},
        {1796744400, "12-08-2026 15:40"},
    };
    for (const Case& c : cases) {
        const int64_t since2001 = c.unixSeconds - 978307200;
        EXPECT_EQ(formatMessageDate(since2001, modern), c.text);
        EXPECT_EQ(formatMessageDate(since2001 * 1000000000LL, modern), c.text);
        EXPECT_EQ(formatMessageDate(since2001 * 1000000000LL + 999999999, modern), c.text);
        // Nanoseconds count from 2001 whatever the layout.
        EXPECT_EQ(formatMessageDate(since2001 * 1000000000LL, ios5), c.text);
        EXPECT_EQ(formatMessageDate(c.unixSeconds, ios5), c.text);
        EXPECT_EQ(messageDateToUnixSeconds(since2001, modern), c.unixSeconds);
    }
    // The real iOS 13 value of the format notes.
    EXPECT_EQ(messageDateToUnixSeconds(599079037641931008LL, modern), 1577386237);
    // The boundary between the units, and dates before 2001.
    EXPECT_EQ(messageDateToUnixSeconds(100000000000LL, modern), 978307200 + 100);
    EXPECT_EQ(messageDateToUnixSeconds(99999999999LL, ios5), 99999999999LL);
    EXPECT_EQ(formatMessageDate(-60, modern), "12-31-2000 23:59");
    EXPECT_EQ(formatMessageDate(0, modern), "01-01-2001 00:00");
    EXPECT_EQ(formatMessageDate(0, ios5), "01-01-1970 00:00");
}

TEST(Conversions, ATextColumnKeepsZeroAndInvalidBytesAndTheRepairIsLoggedWithoutTheText) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT CAST(x'6869006869ff21' AS TEXT), 'plain'", -1, &statement, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    std::vector<std::string> lines;
    LogSink previous = setLogSink([&](const std::string& line) { lines.push_back(line); });
    std::optional<std::string> repairedColumn = columnText(statement, 0);
    bool repaired = true;
    std::optional<std::string> plain = columnText(statement, 1, &repaired);
    setLogSink(previous);
    sqlite3_finalize(statement);
    sqlite3_close(db);
    EXPECT_EQ(repairedColumn, "hi\xE2\x90\x80hi\xEF\xBF\xBD!");
    EXPECT_EQ(plain, "plain");
    EXPECT_FALSE(repaired);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("text repaired"), std::string::npos);
    EXPECT_EQ(lines[0].find("hi"), std::string::npos);
}

namespace {

// The date text the C library gives a Unix time in the current zone.
std::string libraryDate(int64_t unixSeconds) {
    const auto t = static_cast<time_t>(unixSeconds);
    std::tm parts{};
    if (localtime_r(&t, &parts) == nullptr) return std::string();
    char text[64];
    std::snprintf(text, sizeof text, "%02d-%02d-%04d %02d:%02d", parts.tm_mon + 1, parts.tm_mday,
                  parts.tm_year + 1900, parts.tm_hour, parts.tm_min);
    return text;
}

}  // namespace

// Dates are broken down with one offset lookup per day; the day a zone
// switches to or from summer time must still give what the C library gives
// for every second of it, whether the times come in order or jump between
// days (which the per-day offsets are kept for), in several zones and years.
TEST_F(UtcZone, DatesAroundTheSwitchDaysGiveTheLibrarysLocalTime) {
    struct Zone {
        const char* name;
        std::vector<int64_t> switches;  // Unix seconds of a few switches (and older offsets)
    };
    const Zone zones[] = {
        {"Europe/Berlin", {1364691600, 1382835600, 1616893200, 1635642000, 1711846800, 1729990800, 1774746000,
                           1792890000, -2422054408 /* 1893: local mean time ends */}},
        {"America/New_York", {1362898800, 1383458400, 1615705200, 1636264800, 1710054000, 1730613600, 1772953200,
                              1793512800, -2717650800 /* 1883: railway time */}},
        {"Australia/Lord_Howe", {1617465600, 1633190400}},  // half-hour summer time
    };
    std::vector<int64_t> times;
    for (const Zone& zone : zones) {
        setenv("TZ", zone.name, 1);
        tzset();
        times.clear();
        for (int64_t at : zone.switches) {
            for (int64_t t = at - 2 * 86400; t <= at + 2 * 86400; t += 59) times.push_back(t);
            for (int64_t t = at - 5; t <= at + 5; ++t) times.push_back(t);
        }
        // In order, then in an order that jumps between days and zones' switches.
        for (int pass = 0; pass < 2; ++pass) {
            size_t mismatches = 0;
            for (int64_t t : times) {
                const std::string expected = libraryDate(t);
                if (formatMessageDate(t, MessageDateLayout::Ios5) != expected ||
                    formatMessageDate(t - 978307200, MessageDateLayout::Ios6OrLater) != expected) {
                    if (++mismatches <= 3) ADD_FAILURE() << zone.name << " at " << t << ": " << expected;
                }
            }
            EXPECT_EQ(mismatches, 0u) << zone.name << ", pass " << pass;
            for (size_t i = 0; i + 1 < times.size(); i += 2) std::swap(times[i], times[times.size() - 1 - i]);
        }
        // The stored-time rule too (seconds since 2001 when the Unix reading falls before 1990).
        for (int64_t at : zone.switches) {
            if (at < 631152000) continue;  // itself before 1990
            EXPECT_EQ(formatStoredDate(at), libraryDate(at));
            if (at - 978307200 < 631152000) {
                EXPECT_EQ(formatStoredDate(at - 978307200), libraryDate(at));
            }
        }
    }
}

// UTF-8 is checked eight ASCII bytes at a time: a bad or cut-off sequence
// must be caught wherever it falls against those eight-byte steps.
TEST(Conversions, Utf8CheckFindsBadBytesAtEveryPosition) {
    const std::string bad[] = {"\xFF", "\xC3", "\xED\xA0\x80", "\xE2\x82", "\xC0\xAF", "\x80"};
    const std::string good[] = {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
    for (size_t before = 0; before < 20; ++before) {
        for (size_t after : {size_t{0}, size_t{1}, size_t{9}}) {
            for (const std::string& b : bad) {
                EXPECT_FALSE(isValidUtf8(std::string(before, 'a') + b + std::string(after, 'b'))) << before << "+" << after;
            }
            for (const std::string& g : good) {
                EXPECT_TRUE(isValidUtf8(std::string(before, 'a') + g + std::string(after, 'b'))) << before << "+" << after;
            }
        }
    }
}
