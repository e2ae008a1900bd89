// One contact as a vCard 3.0 file: CRLF line ends, values written unchanged,
// no line end after END:VCARD.
#pragma once

#include <optional>
#include <string>

#include "app/records.h"

namespace kestrel {

class TovVCFController {
public:
    // Builds the card in `strContent` and writes it to the path as a whole
    // (an existing file of that name is replaced). Returns whether it was
    // written; the export itself ignores a failure.
    bool creatFile(const TovContactNode& node, const std::string& FilePath, std::string* error = nullptr);

    // The card text of a contact.
    static std::string cardText(const TovContactNode& node);

    std::string strContent;
};

// The file name a contact's vCard gets: its name, else its company, else
// "unknown %d" with its row id, followed by ".vcf". No name results when the
// chosen text cannot be one file name inside the folder (it holds "/" or a
// NUL byte, or is "." or ".."): such a card is not written.
std::optional<std::string> vcardFileName(const TovContactNode& node);

}  // namespace kestrel
