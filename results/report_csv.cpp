#include "results/report_csv.h"

#include "app/utf8.h"
#include "results/record_json.h"

namespace kestrel {
namespace {

// One row: the fields separated by commas, ended by CR LF.
class Row {
public:
    explicit Row(std::string& out) : out_(out) {}
    ~Row() { out_.append("\r\n"); }
    Row(const Row&) = delete;
    Row& operator=(const Row&) = delete;
    Row& text(std::string_view value) {
        separate();
        appendCsvField(out_, value);
        return *this;
    }
    Row& flag(bool value) {
        separate();
        out_.append(value ? "true" : "false");
        return *this;
    }
    Row& number(long long value) {
        separate();
        out_.append(std::to_string(value));
        return *this;
    }

private:
    void separate() {
        if (!first_) out_.push_back(',');
        first_ = false;
    }
    std::string& out_;
    bool first_ = true;
};

void header(std::string& out, std::initializer_list<const char*> names) {
    Row row(out);
    for (const char* name : names) row.text(name);
}

template <typename Record, typename WriteRow>
std::string csvFile(const std::vector<const Record*>& records, std::initializer_list<const char*> names,
                    std::atomic<int32_t>* progress, WriteRow writeRow) {
    std::string out;
    out.reserve(128 + records.size() * 160);
    header(out, names);
    for (const Record* record : records) {
        writeRow(out, *record);
        if (progress) progress->fetch_add(1, std::memory_order_relaxed);
    }
    return out;
}

}  // namespace

void appendCsvField(std::string& out, std::string_view text) {
    bool quote = false;
    for (char c : text) {
        if (c == ',' || c == '"' || c == '\r' || c == '\n') {
            quote = true;
            break;
        }
    }
    if (quote) out.push_back('"');
    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (static_cast<unsigned char>(c) >= 0x80) {
            size_t length = utf8SequenceAt(text, i);
            if (length == 0) {
                out.append("\xEF\xBF\xBD");
                ++i;
            } else {
                out.append(text.substr(i, length));
                i += length;
            }
            continue;
        }
        if (c == '"') out.push_back('"');
        out.push_back(c);
        ++i;
    }
    if (quote) out.push_back('"');
}

std::string contactsCsv(const std::vector<const TovContactNode*>& contacts, std::atomic<int32_t>* progress) {
    return csvFile(contacts,
                   {"rowid", "contactName", "contactPhone", "contactEmail", "contactHomepage", "contactCompany",
                    "contactBirthday", "contactJobtitle", "contactNote", "contactAdress", "bDeleted", "bSelected",
                    "source", "provenance"},
                   progress, [](std::string& out, const TovContactNode& c) {
                       Row(out)
                           .number(c.rowid())
                           .text(c.contactName())
                           .text(c.contactPhone())
                           .text(c.contactEmail())
                           .text(c.contactHomepage())
                           .text(c.contactCompany())
                           .text(c.contactBirthday())
                           .text(c.contactJobtitle())
                           .text(c.contactNote())
                           .text(c.contactAdress())
                           .flag(c.bDeleted())
                           .flag(c.bSelected())
                           .text(c.source())
                           .text(provenanceJson(c.provenance()));
                   });
}

std::string messagesCsv(const std::vector<const TovMessageNode*>& messages, std::atomic<int32_t>* progress) {
    return csvFile(messages,
                   {"messageName", "messagePhone", "messageDate", "messageType", "messageContent", "bImessage",
                    "bDeleted", "handle_id", "bSelected", "service", "chat", "attachments", "source", "deletedDate",
                    "provenance"},
                   progress, [](std::string& out, const TovMessageNode& m) {
                       Row(out)
                           .text(m.messageName())
                           .text(m.messagePhone())
                           .text(m.messageDate())
                           .text(m.messageType())
                           .text(m.messageContent())
                           .flag(m.bImessage())
                           .flag(m.bDeleted())
                           .number(m.handle_id())
                           .flag(m.bSelected())
                           .text(m.service())
                           .text(m.chat())
                           .text(textArrayJson(m.attachments()))
                           .text(m.source())
                           .text(m.deletedDate())
                           .text(provenanceJson(m.provenance()));
                   });
}

std::string notesCsv(const std::vector<const TovNoteNode*>& notes, std::atomic<int32_t>* progress) {
    return csvFile(notes, {"uid", "noteTitle", "noteContent", "noteDate", "bDeleted", "bSelected"}, progress,
                   [](std::string& out, const TovNoteNode& n) {
                       Row(out)
                           .number(n.uid())
                           .text(n.noteTitle())
                           .text(n.noteContent())
                           .text(n.noteDate())
                           .flag(n.bDeleted())
                           .flag(n.bSelected());
                   });
}

std::string callHistoryCsv(const std::vector<const TovCallHistoryNode*>& calls, std::atomic<int32_t>* progress) {
    return csvFile(calls,
                   {"callName", "callPhone", "callDate", "callType", "callTime", "callDuration", "bDeleted",
                    "bSelected"},
                   progress, [](std::string& out, const TovCallHistoryNode& c) {
                       Row(out)
                           .text(c.callName())
                           .text(c.callPhone())
                           .text(c.callDate())
                           .text(c.callType())
                           .number(c.callTime())
                           .text(c.callDuration())
                           .flag(c.bDeleted())
                           .flag(c.bSelected());
                   });
}

}  // namespace kestrel
