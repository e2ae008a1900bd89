#include "app/provenance_text.h"

namespace kestrel {

std::string groupedNumber(int64_t value) {
    const bool negative = value < 0;
    std::string digits = std::to_string(value);
    if (negative) digits.erase(0, 1);
    std::string out;
    const size_t n = digits.size();
    for (size_t i = 0; i < n; ++i) {
        if (i > 0 && (n - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return negative ? "-" + out : out;
}

std::string provenanceText(const Provenance& p) {
    if (p.empty()) return std::string();
    const std::string page = p.page ? groupedNumber(*p.page) : std::string();
    std::string where;
    if (p.area == "free page" || p.area == "unreached page" || p.area == "journal page") {
        where = p.area + (page.empty() ? "" : " " + page);
    } else if (p.area == "freeblock") {
        where = "a freed cell of page " + page;
    } else if (p.area == "unallocated") {
        where = "unallocated space of page " + page;
    } else if (p.area == "live cell") {
        where = "a cell of page " + page;
    } else if (p.area == "WAL frame") {
        where = "WAL frame " + (p.frame ? groupedNumber(*p.frame) : std::string("?"));
        where += p.commit ? " (commit " + groupedNumber(*p.commit) + ")" : std::string(" (not committed)");
        if (!page.empty()) where += ", page " + page;
    } else {
        where = p.area.empty() ? std::string("page ") + page : p.area + (page.empty() ? "" : ", page " + page);
    }
    std::string text = "Recovered from " + where;
    if (p.offset) text += ", offset " + groupedNumber(*p.offset);
    const bool companion = p.area == "WAL frame" || p.area == "journal page";
    if (!p.file.empty() && companion) text += " of " + p.file;
    return text;
}

}  // namespace kestrel
