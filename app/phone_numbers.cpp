#include "app/phone_numbers.h"

#include <phonenumbers/phonenumber.pb.h>
#include <phonenumbers/phonenumberutil.h>

#include <cctype>

namespace kestrel {
namespace {

using i18n::phonenumbers::PhoneNumber;
using i18n::phonenumbers::PhoneNumberUtil;

std::string trimmed(std::string_view text) {
    size_t b = 0;
    size_t e = text.size();
    while (b < e && std::isspace(static_cast<unsigned char>(text[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1]))) --e;
    return std::string(text.substr(b, e - b));
}

std::string digitsOf(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c >= '0' && c <= '9') out.push_back(c);
    }
    return out;
}

bool parse(const std::string& text, const std::string& region, PhoneNumber& out) {
    return PhoneNumberUtil::GetInstance()->Parse(text, region, &out) == PhoneNumberUtil::NO_PARSING_ERROR;
}

}  // namespace

PhoneNumbers::PhoneNumbers(std::string defaultRegion) : region_(std::move(defaultRegion)) {
    for (char& c : region_) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

const std::string& PhoneNumbers::region() const {
    std::call_once(regionChecked_, [this] {
        if (region_.empty() || PhoneNumberUtil::GetInstance()->GetCountryCodeForRegion(region_) == 0) region_ = "US";
    });
    return region_;
}

bool PhoneNumbers::isEmail(std::string_view handle) { return handle.find('@') != std::string_view::npos; }

std::string PhoneNumbers::handleKey(std::string_view handle) const {
    std::string text = trimmed(handle);
    if (isEmail(text)) {
        for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return "e:" + text;
    }
    std::string digits = digitsOf(text);
    if (digits.empty()) return std::string();
    const PhoneNumberUtil* util = PhoneNumberUtil::GetInstance();
    PhoneNumber number;
    if (digits.size() > 6 && parse(text, region(), number) && util->IsPossibleNumber(number)) {
        std::string e164;
        util->Format(number, PhoneNumberUtil::E164, &e164);
        return e164;
    }
    return (!text.empty() && text[0] == '+' ? "+" : "") + digits;
}

bool PhoneNumbers::sameHandle(std::string_view a, std::string_view b) const {
    std::string ka = handleKey(a);
    std::string kb = handleKey(b);
    if (ka.empty() || kb.empty()) return false;
    if (ka == kb) return true;
    if (isEmail(a) || isEmail(b)) return false;
    // One side without a country code: compare national significant numbers.
    std::string ta = trimmed(a);
    std::string tb = trimmed(b);
    const PhoneNumberUtil* util = PhoneNumberUtil::GetInstance();
    PhoneNumber na;
    PhoneNumber nb;
    if (!parse(ta, region(), na) || !parse(tb, region(), nb)) return false;
    const bool aInternational = !ta.empty() && ta[0] == '+';
    const bool bInternational = !tb.empty() && tb[0] == '+';
    if (aInternational && bInternational) return false;
    std::string sa;
    std::string sb;
    util->GetNationalSignificantNumber(na, &sa);
    util->GetNationalSignificantNumber(nb, &sb);
    return sa.size() > 6 && sa == sb;
}

}  // namespace kestrel
