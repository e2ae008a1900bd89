// The record text file of one export category (plain UTF-8, in spite of the
// class name): one entry line per record, each entry "Label:text  ", the line
// ended by "\n\n". The whole text is built in memory and written once.
#pragma once

#include <string>
#include <string_view>

#include "app/records.h"

namespace kestrel {

// How writing a category's text file ended.
enum class TextFileOutcome {
    Written,     // the file has its final name (Contacts.txt, Messages.txt ...)
    KeptInTXT,   // the final name was taken; the new text is in TXT.txt (or TXT 2.txt, ...)
    NotWritten,  // the text could not be written
};

class TovRtfController {
public:
    TovRtfController() { setRtfHeader(); }

    // Starts the content as the empty text.
    void setRtfHeader() { strRtfContent.clear(); }
    // Appends the text, then "\n\n".
    void addRtfContent(std::string_view text);
    // Adds nothing (the text has no closing part).
    void setRtfEnder() {}

    // Writes the content as a new file of FOLDER named by the type
    // ("Contact" -> Contacts.txt, "Message", "Note", "CallHistory"); when
    // that name is taken, under the first free one of TXT.txt, TXT 2.txt,
    // TXT 3.txt ... Nothing is ever replaced. Failures are silent for the
    // export; the outcome, `error` (naming the category's file) and
    // `keptName` (the name the text took) are there for callers that report
    // them.
    TextFileOutcome writeRtfInPath(const std::string& folder, const std::string& FileType,
                                   std::string* error = nullptr, std::string* keptName = nullptr);

    std::string strRtfContent;
};

// The name of the n-th kept text: "TXT.txt" for 1, "TXT n.txt" after.
std::string keptTextName(int number);

// The final file name of a category's text file by its type; empty for any
// other type.
std::string textFileNameForType(const std::string& FileType);

// The entry line of one record, without the closing "\n\n".
std::string contactEntry(const TovContactNode& c);
std::string messageEntry(const TovMessageNode& m);
std::string noteEntry(const TovNoteNode& n);
std::string callHistoryEntry(const TovCallHistoryNode& c);

}  // namespace kestrel
