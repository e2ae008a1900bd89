#include "results/text_writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>

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

std::string keptTextName(int number) {
    return number <= 1 ? std::string("TXT.txt") : "TXT " + std::to_string(number) + ".txt";
}

TextFileOutcome TovRtfController::writeRtfInPath(const std::string& folder, const std::string& FileType,
                                                 std::string* error, std::string* keptName) {
    setRtfEnder();
    const std::string finalName = textFileNameForType(FileType);
    const std::string shownName = finalName.empty() ? keptTextName(1) : finalName;
    // The text goes whole to a temporary file of its own first, then takes
    // the first free name: the final one, else TXT.txt, TXT 2.txt, ... No
    // existing file is ever replaced.
    static std::atomic<unsigned> counter{0};
    const std::string temporary =
        folder + "/.kestrel-text-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1)) + ".tmp";
    std::string writeError;
    if (!writeFileAtomically(temporary, strRtfContent, &writeError)) {
        if (error != nullptr) {
            // Name the file the user looks for, not the temporary one.
            const size_t reason = writeError.rfind(": ");
            *error = "cannot write " + folder + "/" + shownName +
                     (reason == std::string::npos ? std::string() : writeError.substr(reason));
        }
        return TextFileOutcome::NotWritten;
    }
    constexpr int kMostKept = 10000;
    for (int number = finalName.empty() ? 1 : 0; number <= kMostKept; ++number) {
        const std::string name = number == 0 ? finalName : keptTextName(number);
        std::string renameError;
        switch (renameWithoutReplacing(temporary, folder + "/" + name, &renameError)) {
            case RenameOutcome::Renamed:
                if (keptName != nullptr) *keptName = name;
                return number == 0 ? TextFileOutcome::Written : TextFileOutcome::KeptInTXT;
            case RenameOutcome::TargetExists:
                continue;
            case RenameOutcome::Failed: {
                ::unlink(temporary.c_str());
                if (error != nullptr) {
                    const size_t reason = renameError.rfind(": ");
                    *error = "cannot write " + folder + "/" + shownName +
                             (reason == std::string::npos ? std::string() : renameError.substr(reason));
                }
                return TextFileOutcome::NotWritten;
            }
        }
    }
    ::unlink(temporary.c_str());
    if (error != nullptr) *error = "cannot write " + folder + "/" + shownName + ": every kept-text name is taken";
    return TextFileOutcome::NotWritten;
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
