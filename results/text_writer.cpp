#include "results/text_writer.h"

#include <sys/stat.h>

#include <initializer_list>
#include <utility>

#include "results/file_writing.h"

namespace kestrel {
namespace {

// "Label:text  " for each pair, in order.
std::string entryLine(std::initializer_list<std::pair<std::string_view, std::string>> entries) {
    size_t size = 0;
    for (const auto& [label, text] : entries) size += label.size() + text.size() + 3;
    std::string line;
    line.reserve(size);
    for (const auto& [label, text] : entries) {
        line += label;
        line += ':';
        line += text;
        line += "  ";
    }
    return line;
}

}  // namespace

void TovRtfController::addRtfContent(std::string_view text) {
    strRtfContent.reserve(strRtfContent.size() + text.size() + 2);
    strRtfContent += text;
    strRtfContent += "\n\n";
}

std::string textFileNameForType(const std::string& FileType) {
    if (FileType == "Contact") return "Contacts.txt";
    if (FileType == "Message") return "Messages.txt";
    if (FileType == "CallHistory") return "Call History.txt";
    if (FileType == "Note") return "Notes.txt";
    return std::string();
}

TextFileOutcome TovRtfController::writeRtfInPath(const std::string& folder, const std::string& FileType,
                                                 std::string* error) {
    setRtfEnder();
    const std::string txt = folder + "/TXT.txt";
    const bool wrote = writeFileAtomically(txt, strRtfContent, error);
    // The rename follows whatever TXT.txt now holds, as the design has it;
    // the outcome reports whether this export's text reached it.
    struct stat st;
    if (::stat(txt.c_str(), &st) != 0) return TextFileOutcome::NotWritten;
    const std::string finalName = textFileNameForType(FileType);
    if (finalName.empty()) return wrote ? TextFileOutcome::KeptInTXT : TextFileOutcome::NotWritten;
    std::string renameError;
    RenameOutcome renamed = renameWithoutReplacing(txt, folder + "/" + finalName, &renameError);
    if (!wrote) return TextFileOutcome::NotWritten;
    if (renamed == RenameOutcome::Renamed) return TextFileOutcome::Written;
    if (renamed == RenameOutcome::Failed && error != nullptr) *error = renameError;
    return wrote ? TextFileOutcome::KeptInTXT : TextFileOutcome::NotWritten;
}

std::string contactEntry(const TovContactNode& c) {
    return entryLine({{"Name", c.contactName()},
                      {"Phone", c.contactPhone()},
                      {"Email", c.contactEmail()},
                      {"Company", c.contactCompany()},
                      {"JobTitle", c.contactJobtitle()},
                      {"Home Page", c.contactHomepage()},
                      {"Birthday", c.contactBirthday()},
                      {"Note", c.contactNote()}});
}

std::string messageEntry(const TovMessageNode& m) {
    return entryLine({{"Name", m.messageName()},
                      {"Phone", m.messagePhone()},
                      {"Date", m.messageDate()},
                      {"Type", m.messageType()},
                      {"Content", m.messageContent()}});
}

std::string noteEntry(const TovNoteNode& n) {
    return entryLine({{"Title", n.noteTitle()}, {"Note", n.noteContent()}, {"Date", n.noteDate()}});
}

std::string callHistoryEntry(const TovCallHistoryNode& c) {
    return entryLine({{"Name", c.callName()},
                      {"Phone", c.callPhone()},
                      {"Date", c.callDate()},
                      {"Type", c.callType()},
                      {"Duration", c.callDuration()}});
}

}  // namespace kestrel
