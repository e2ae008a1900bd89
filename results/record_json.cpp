#include "results/record_json.h"

#include <charconv>
#include <cstdint>
#include <cstring>

#include "app/utf8.h"

namespace kestrel {

void appendJsonStringContent(std::string& out, std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    // Bytes that stand for themselves (printable ASCII other than the quote
    // and the backslash, and whole valid UTF-8 sequences) are copied a run
    // at a time; the others are written escaped or replaced.
    size_t run = 0;
    size_t i = 0;
    while (i < text.size()) {
        // Eight bytes at a time while none needs a look of its own: none
        // below 0x20 or from 0x80 on, no quote, no backslash.
        while (i + 8 <= text.size()) {
            uint64_t w;
            std::memcpy(&w, text.data() + i, 8);
            constexpr uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
            const auto hasZeroByte = [](uint64_t v) { return (v - kOnes) & ~v & kHigh; };
            if (((w | ((w - 0x2020202020202020ull) & ~w)) & kHigh) != 0 || hasZeroByte(w ^ (kOnes * '"')) != 0 ||
                hasZeroByte(w ^ (kOnes * '\\')) != 0)
                break;
            i += 8;
        }
        if (i >= text.size()) break;
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
            ++i;
            continue;
        }
        size_t length = 0;
        if (c >= 0x80 && (length = utf8SequenceAt(text, i)) != 0) {
            i += length;
            continue;
        }
        out.append(text.data() + run, i - run);
        switch (c) {
            case '"': out.append("\\\""); break;
            case '\\': out.append("\\\\"); break;
            case '\n': out.append("\\n"); break;
            case '\r': out.append("\\r"); break;
            case '\t': out.append("\\t"); break;
            case '\b': out.append("\\b"); break;
            case '\f': out.append("\\f"); break;
            default:
                if (c >= 0x80) {
                    out.append("\xEF\xBF\xBD");  // not part of valid UTF-8
                } else {
                    out.append("\\u00");
                    out.push_back(kHex[c >> 4]);
                    out.push_back(kHex[c & 0xF]);
                }
        }
        ++i;
        run = i;
    }
    out.append(text.data() + run, text.size() - run);
}

void appendJsonString(std::string& out, std::string_view text) {
    out.push_back('"');
    appendJsonStringContent(out, text);
    out.push_back('"');
}

namespace {

void appendTextArrayJson(std::string& out, const std::vector<std::string>& texts) {
    out.push_back('[');
    for (size_t i = 0; i < texts.size(); ++i) {
        if (i > 0) out.append(", ");
        appendJsonString(out, texts[i]);
    }
    out.push_back(']');
}

}  // namespace

std::string textArrayJson(const std::vector<std::string>& texts) {
    std::string out;
    appendTextArrayJson(out, texts);
    return out;
}

// The provenance object, or null when there is nothing to say.
void appendProvenanceJson(std::string& out, const Provenance* p) {
    if (p == nullptr || p->empty()) {
        out.append("null");
        return;
    }
    JsonObjectWriter o(out);
    if (!p->file.empty()) o.text("file", p->file);
    if (!p->area.empty()) o.text("area", p->area);
    if (p->page) o.number("page", *p->page);
    if (p->offset) o.number("offset", *p->offset);
    if (p->frame) o.number("frame", *p->frame);
    if (p->commit) o.number("commit", *p->commit);
}

std::string provenanceJson(const Provenance& p) {
    std::string out;
    appendProvenanceJson(out, &p);
    return out;
}

void appendContactJson(std::string& out, const TovContactNode& c) {
    JsonObjectWriter(out)
        .number("rowid", c.rowid())
        .text("contactName", c.contactName())
        .text("contactPhone", c.contactPhone())
        .text("contactEmail", c.contactEmail())
        .text("contactHomepage", c.contactHomepage())
        .text("contactCompany", c.contactCompany())
        .text("contactBirthday", c.contactBirthday())
        .text("contactJobtitle", c.contactJobtitle())
        .text("contactNote", c.contactNote())
        .text("contactAdress", c.contactAdress())
        .flag("bDeleted", c.bDeleted())
        .flag("bSelected", c.bSelected())
        .text("source", c.source())
        .raw("provenance", provenanceJson(c.provenance()));
}

void appendMessageJson(std::string& out, const TovMessageNode& m) {
    // The object is written as JsonObjectWriter writes it, each key with the
    // quotes and separators around it as one piece; the texts are written
    // from the record under one hold of its lock, not copied.
    const auto piece = [&out](std::string_view text) { out.append(text); };
    const auto text = [&out](std::string_view value) { appendJsonStringContent(out, value); };
    const auto flag = [&out](bool value) { out.append(value ? std::string_view("true") : std::string_view("false")); };
    const bool iMessage = m.bImessage();
    const bool deleted = m.bDeleted();
    const int32_t handle = m.handle_id();
    const bool selected = m.bSelected();
    m.visitAll([&](const MessageTextsView& t) {
        piece("{\"messageName\": \"");
        text(t.messageName);
        piece("\", \"messagePhone\": \"");
        text(t.messagePhone);
        piece("\", \"messageDate\": \"");
        text(t.messageDate);
        piece("\", \"messageType\": \"");
        text(t.messageType);
        piece("\", \"messageContent\": \"");
        text(t.messageContent);
        piece("\", \"bImessage\": ");
        flag(iMessage);
        piece(", \"bDeleted\": ");
        flag(deleted);
        piece(", \"handle_id\": ");
        char digits[24];
        const auto written = std::to_chars(digits, digits + sizeof digits, static_cast<long long>(handle));
        out.append(digits, static_cast<size_t>(written.ptr - digits));
        piece(", \"bSelected\": ");
        flag(selected);
        piece(", \"service\": \"");
        text(t.service);
        piece("\", \"chat\": \"");
        text(t.chat);
        piece("\", \"attachments\": ");
        appendTextArrayJson(out, t.attachments);
        piece(", \"source\": ");
        appendJsonString(out, t.source);
        piece(", \"deletedDate\": \"");
        text(t.deletedDate);
        piece("\", \"provenance\": ");
        appendProvenanceJson(out, t.provenance);
        out.push_back('}');
    });
}

void appendNoteJson(std::string& out, const TovNoteNode& n) {
    JsonObjectWriter(out)
        .number("uid", n.uid())
        .text("noteTitle", n.noteTitle())
        .text("noteContent", n.noteContent())
        .text("noteDate", n.noteDate())
        .flag("bDeleted", n.bDeleted())
        .flag("bSelected", n.bSelected());
}

void appendCallHistoryJson(std::string& out, const TovCallHistoryNode& c) {
    JsonObjectWriter(out)
        .text("callName", c.callName())
        .text("callPhone", c.callPhone())
        .text("callDate", c.callDate())
        .text("callType", c.callType())
        .number("callTime", c.callTime())
        .text("callDuration", c.callDuration())
        .flag("bDeleted", c.bDeleted())
        .flag("bSelected", c.bSelected());
}

std::string backupFactsJson(const TovIOSDeviceNode& b) {
    std::string out;
    {
        JsonObjectWriter o(out);
        o.text("strDeviceName", b.strDeviceName)
            .text("strDeviceSize", b.strDeviceSize)
            .text("strDeviceBackUpTime", b.strDeviceBackUpTime)
            .text("strDeviceSerial", b.strDeviceSerial)
            .text("strDeviceType", b.strDeviceType)
            .text("strIOSVersion", b.strIOSVersion)
            .text("deviceImage", b.deviceImage)
            .text("itunesVersion", b.itunesVersion)
            .text("backUpFilePath", b.backUpFilePath)
            .flag("encrypted", b.encrypted);
    }
    return out;
}

}  // namespace kestrel
