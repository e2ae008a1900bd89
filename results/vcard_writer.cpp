#include "results/vcard_writer.h"

#include "results/file_writing.h"

namespace kestrel {

std::string TovVCFController::cardText(const TovContactNode& node) {
    std::string card = "BEGIN:VCARD\r\nVERSION:3.0\r\n";
    card += "N:" + node.contactName() + "\r\n";
    card += "ORG:" + node.contactCompany() + "\r\n";
    card += "EMAIL;INTERNET;HOME;PREF:" + node.contactEmail() + "\r\n";
    card += "TEL;CELL;PREF:" + node.contactPhone() + "\r\n";
    card += "URL:" + node.contactHomepage() + "\r\n";
    card += "END:VCARD";
    return card;
}

bool TovVCFController::creatFile(const TovContactNode& node, const std::string& FilePath, std::string* error) {
    strContent = cardText(node);
    return writeFileAtomically(FilePath, strContent, error);
}

std::optional<std::string> vcardFileName(const TovContactNode& node) {
    std::string base = node.contactName();
    if (base.empty()) base = node.contactCompany();
    if (base.empty()) return "unknown " + std::to_string(node.rowid()) + ".vcf";
    if (!isPlainFileName(base)) return std::nullopt;
    return base + ".vcf";
}

}  // namespace kestrel
