#include "app/phone_numbers.h"

#include <gtest/gtest.h>

#include <string>
#include <unordered_map>

using namespace kestrel;

TEST(PhoneNumbers, NationalAndInternationalFormsShareOneKey) {
    PhoneNumbers us;
    const std::string key = us.handleKey("+15183808956");
    EXPECT_EQ(key, "+15183808956");
    for (const char* form : {"5183808956", "(518) 380-8956", "+1 518 380 8956", "1-518-380-8956", " 518.380.8956 "}) {
        EXPECT_EQ(us.handleKey(form), key) << form;
        EXPECT_TRUE(us.sameHandle(form, "+15183808956")) << form;
    }
    EXPECT_FALSE(us.sameHandle("5183808957", "+15183808956"));
    // The region decides how a number without a country code is read.
    PhoneNumbers uk("gb");
    EXPECT_EQ(uk.region(), "GB");
    EXPECT_EQ(uk.handleKey("020 7946 0958"), "+442079460958");
    EXPECT_TRUE(uk.sameHandle("020 7946 0958", "+44 20 7946 0958"));
    EXPECT_FALSE(us.sameHandle("+44 20 7946 0958", "+1 207 946 0958"));
    // Unknown regions fall back to the United States.
    EXPECT_EQ(PhoneNumbers("").region(), "US");
    EXPECT_EQ(PhoneNumbers("ZZ").region(), "US");
}

TEST(PhoneNumbers, ShortCodesEmailsAndEmptyHandles) {
    PhoneNumbers us;
    EXPECT_EQ(us.handleKey("22000"), "22000");
    EXPECT_TRUE(us.sameHandle("22000", " 22000"));
    EXPECT_FALSE(us.sameHandle("22000", "40404"));
    EXPECT_EQ(us.handleKey("Ana.Example@iCloud.com"), "e:ana.example@icloud.com");
    EXPECT_TRUE(us.sameHandle("ana.example@icloud.com", "ANA.EXAMPLE@ICLOUD.COM"));
    EXPECT_FALSE(us.sameHandle("ana@icloud.com", "ana@me.com"));
    // An address never matches a number, and text without digits matches nothing.
    EXPECT_FALSE(us.sameHandle("5551234567@example.com", "5551234567"));
    EXPECT_EQ(us.handleKey("   "), "");
    EXPECT_FALSE(us.sameHandle("", ""));
    EXPECT_FALSE(us.sameHandle("unknown", "unknown"));
}

TEST(PhoneNumbers, KeysFindContactsInAHashMap) {
    PhoneNumbers us;
    std::unordered_map<std::string, std::string> names;
    names[us.handleKey("(518) 380-8956")] = "Ana";
    names[us.handleKey("Bo@Example.org")] = "Bo";
    EXPECT_EQ(names.at(us.handleKey("+15183808956")), "Ana");
    EXPECT_EQ(names.at(us.handleKey("bo@example.org")), "Bo");
    EXPECT_EQ(names.count(us.handleKey("+15183808957")), 0u);
}
