#include "results/report_html.h"
#include "app/utf8.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>

#include "results/result_view_controller.h"

namespace kestrel {
namespace {

void appendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

constexpr const char* kReplacement = "\xEF\xBF\xBD";

// The page's look: a plain report that prints well; conversations as
// bubbles, sent ones to the right.
constexpr const char* kStyle = R"(
:root { color-scheme: light; }
body { font: 15px/1.45 system-ui, -apple-system, "Segoe UI", Roboto, "Helvetica Neue", Arial, sans-serif;
       margin: 0 auto; max-width: 960px; padding: 24px; color: #1d1d1f; background: #fff; }
h1 { font-size: 26px; margin: 0 0 4px; }
h2 { font-size: 20px; margin: 32px 0 12px; padding-bottom: 4px; border-bottom: 2px solid #e3e3e8; }
h3 { font-size: 16px; margin: 0; padding: 10px 14px; background: #f2f2f7; border-bottom: 1px solid #e3e3e8; }
.sub { color: #6e6e73; margin: 0 0 16px; }
table { border-collapse: collapse; width: 100%; font-size: 14px; }
th, td { text-align: left; vertical-align: top; padding: 5px 8px; border-bottom: 1px solid #e3e3e8; }
th { background: #f7f7fa; font-weight: 600; }
table.facts th { width: 190px; }
td.num { text-align: right; font-variant-numeric: tabular-nums; }
.hash { font-family: ui-monospace, "DejaVu Sans Mono", Menlo, monospace; font-size: 12px; word-break: break-all; }
.conversation { border: 1px solid #e3e3e8; border-radius: 10px; margin: 0 0 20px; overflow: hidden; }
.conversation .count { color: #6e6e73; font-weight: normal; }
.thread { padding: 10px 14px; display: flex; flex-direction: column; gap: 8px; }
.msg { max-width: 72%; padding: 7px 11px; border-radius: 16px; white-space: pre-wrap; overflow-wrap: anywhere; }
.msg .meta { display: block; font-size: 11px; color: #6e6e73; white-space: normal; }
.received { align-self: flex-start; background: #e9e9eb; }
.sent { align-self: flex-end; background: #0a84ff; color: #fff; }
.sent .meta { color: #dbe9ff; }
.sent.imessage { background: #0a84ff; }
.sent.sms { background: #34c759; }
.sent.sms .meta { color: #e4f7e8; }
.unknown { align-self: center; background: #f2f2f7; }
.deleted { outline: 2px dashed #ff3b30; outline-offset: 2px; }
.flag { display: block; margin-top: 4px; font-size: 12px; font-weight: 600; color: #c4161c; background: #fff0f0;
        border-radius: 8px; padding: 3px 7px; white-space: normal; }
.attachments { display: block; font-size: 12px; font-style: italic; white-space: normal; }
.empty { font-style: italic; opacity: .7; }
.deletedrow td { background: #fff4f4; }
.wide { overflow-x: auto; }
footer { margin-top: 32px; color: #6e6e73; font-size: 12px; }
)";

struct Html {
    std::string out;
    Html& raw(std::string_view text) {
        out.append(text);
        return *this;
    }
    Html& text(std::string_view text) {
        appendHtmlText(out, text);
        return *this;
    }
    Html& number(long long value) {
        out.append(std::to_string(value));
        return *this;
    }
};

void factRow(Html& h, const char* label, std::string_view value) {
    h.raw("<tr><th>").raw(label).raw("</th><td>").text(value).raw("</td></tr>\n");
}

const char* directionClass(const std::string& type) {
    if (type == "Send" || type == "Sent") return "sent";
    if (type == "Received") return "received";
    return "unknown";
}

// One message of a conversation.
void appendMessage(Html& h, const TovMessageNode& m) {
    const std::string type = m.messageType();
    const std::string service = m.service();
    const bool deleted = m.bDeleted() || !m.isExistingSource();
    h.raw("<div class=\"msg ").raw(directionClass(type));
    if (service == "SMS") h.raw(" sms");
    if (service == "iMessage" || (service.empty() && m.bImessage())) h.raw(" imessage");
    if (deleted) h.raw(" deleted");
    h.raw("\" data-date=\"").text(m.messageDate()).raw("\"><span class=\"meta\">").text(m.messageDate());
    const std::string name = m.messageName();
    const std::string phone = m.messagePhone();
    if (!name.empty() || !phone.empty()) {
        h.raw(" · ").text(name.empty() ? phone : name);
        if (!name.empty() && !phone.empty()) h.raw(" (").text(phone).raw(")");
    }
    if (!service.empty()) h.raw(" · ").text(service);
    if (type != "Send" && type != "Sent" && type != "Received") h.raw(" · ").text(type.empty() ? "direction unknown" : type);
    h.raw("</span>");
    const std::string content = m.messageContent();
    if (content.empty()) {
        h.raw("<span class=\"empty\">(no text)</span>");
    } else {
        h.raw("<span class=\"text\">").text(content).raw("</span>");
    }
    const std::vector<std::string> attachments = m.attachments();
    if (!attachments.empty()) {
        h.raw("<span class=\"attachments\">Attachments: ");
        for (size_t i = 0; i < attachments.size(); ++i) {
            if (i > 0) h.raw(", ");
            h.text(attachments[i]);
        }
        h.raw("</span>");
    }
    if (deleted) {
        h.raw("<span class=\"flag\">Deleted · source: ").text(m.source());
        const std::string deletedDate = m.deletedDate();
        if (!deletedDate.empty()) h.raw(" · deleted ").text(deletedDate);
        const std::string where = provenanceText(m.provenance());
        if (!where.empty()) h.raw(" · found in ").text(where);
        h.raw("</span>");
    }
    h.raw("</div>\n");
}

struct Conversation {
    std::string key;
    std::vector<std::pair<std::optional<int64_t>, const TovMessageNode*>> messages;
    std::optional<int64_t> oldest;
};

// Dated before undated, oldest first.
bool earlier(const std::optional<int64_t>& a, const std::optional<int64_t>& b) {
    if (a && b) return *a < *b;
    return a.has_value() && !b.has_value();
}

std::vector<Conversation> conversations(const std::vector<const TovMessageNode*>& messages) {
    std::vector<Conversation> out;
    std::map<std::string, size_t> index;
    for (const TovMessageNode* m : messages) {
        std::string key = conversationKey(*m);
        auto [it, added] = index.try_emplace(key, out.size());
        if (added) out.push_back(Conversation{std::move(key), {}, std::nullopt});
        Conversation& c = out[it->second];
        std::optional<int64_t> date = callDateValue(m->messageDate());
        if (earlier(date, c.oldest) || (c.messages.empty() && !date)) c.oldest = date;
        c.messages.emplace_back(date, m);
    }
    for (Conversation& c : out) {
        std::stable_sort(c.messages.begin(), c.messages.end(),
                         [](const auto& a, const auto& b) { return earlier(a.first, b.first); });
    }
    std::stable_sort(out.begin(), out.end(), [](const Conversation& a, const Conversation& b) {
        if (earlier(a.oldest, b.oldest)) return true;
        if (earlier(b.oldest, a.oldest)) return false;
        return a.key < b.key;
    });
    return out;
}

}  // namespace

void appendHtmlText(std::string& out, std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            switch (c) {
                case '&': out.append("&amp;"); break;
                case '<': out.append("&lt;"); break;
                case '>': out.append("&gt;"); break;
                case '"': out.append("&quot;"); break;
                case '\'': out.append("&#39;"); break;
                case '\t':
                case '\n':
                case '\r': out.push_back(static_cast<char>(c)); break;
                case 0x7F: appendUtf8(out, 0x2421); break;
                default:
                    if (c < 0x20) {
                        appendUtf8(out, 0x2400 + c);
                    } else {
                        out.push_back(static_cast<char>(c));
                    }
            }
            ++i;
            continue;
        }
        uint32_t value = 0;
        const size_t length = utf8SequenceAt(text, i, &value);
        if (length == 0) {
            out.append(kReplacement);
            ++i;
            continue;
        }
        const bool allowed = !(value >= 0x80 && value <= 0x9F) && !(value >= 0xFDD0 && value <= 0xFDEF) &&
                             (value & 0xFFFE) != 0xFFFE;
        if (allowed) {
            out.append(text.substr(i, length));
        } else {
            out.append(kReplacement);
        }
        i += length;
    }
}

std::string conversationKey(const TovMessageNode& message) {
    std::string key = message.chat();
    if (key.empty()) key = message.messagePhone();
    if (key.empty() && message.handle_id() >= 0) key = "handle " + std::to_string(message.handle_id());
    if (key.empty()) key = message.messageName();
    if (key.empty()) key = "Unknown";
    return key;
}

std::string reportHtml(const ReportFacts& facts, const std::vector<HashedFile>& databases, std::time_t exportTime,
                       const ExportFormats& formats, const std::vector<CategoryCount>& counts,
                       const TickedRecords& records, std::atomic<int32_t>* progress) {
    Html h;
    h.out.reserve(16384 + records.messages.size() * 480 + records.contacts.size() * 400);
    const TovIOSDeviceNode& b = facts.backup;
    h.raw("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
          "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
          "<meta name=\"generator\" content=\"kestrel ")
        .text(facts.version)
        .raw("\">\n<title>Kestrel report");
    if (!b.strDeviceName.empty()) h.raw(" – ").text(b.strDeviceName);
    h.raw("</title>\n<style>").raw(kStyle).raw("</style>\n</head>\n<body>\n");

    h.raw("<header>\n<h1>Kestrel report</h1>\n<p class=\"sub\">Messages and contacts recovered from an iOS backup. "
          "Records marked <strong>Deleted</strong> were recovered from deleted data.</p>\n</header>\n");

    h.raw("<section id=\"backup\">\n<h2>Backup</h2>\n<table class=\"facts\">\n");
    factRow(h, "Device", b.strDeviceName);
    factRow(h, "Model", b.strDeviceType);
    factRow(h, "Serial number", b.strDeviceSerial);
    factRow(h, "iOS version", b.strIOSVersion);
    factRow(h, "Backup date", b.strDeviceBackUpTime);
    factRow(h, "Encrypted", b.encrypted ? "yes" : "no");
    factRow(h, "Backup size", b.strDeviceSize);
    factRow(h, "Backup folder", b.backUpFilePath);
    h.raw("</table>\n</section>\n");

    h.raw("<section id=\"counts\">\n<h2>Counts</h2>\n<table class=\"grid\">\n<thead><tr><th>Category</th>"
          "<th>Existing</th><th>Deleted</th><th>In this report</th></tr></thead>\n<tbody>\n");
    for (const CategoryCount& c : counts) {
        h.raw("<tr><td>").text(c.name).raw("</td><td class=\"num\">").number(c.existing);
        h.raw("</td><td class=\"num\">").number(c.deleted).raw("</td><td class=\"num\">").number(c.ticked);
        h.raw("</td></tr>\n");
    }
    h.raw("</tbody>\n</table>\n</section>\n");

    const std::vector<Conversation> threads = conversations(records.messages);
    h.raw("<section id=\"messages\">\n<h2>Messages</h2>\n<p class=\"sub\">")
        .number(static_cast<long long>(records.messages.size()))
        .raw(" messages in ")
        .number(static_cast<long long>(threads.size()))
        .raw(" conversations, oldest first; sent messages on the right, received ones on the left.</p>\n");
    for (const Conversation& c : threads) {
        h.raw("<article class=\"conversation\" data-key=\"").text(c.key).raw("\">\n<h3>").text(c.key);
        for (const auto& entry : c.messages) {
            const std::string name = entry.second->messageName();
            if (!name.empty() && name != c.key) {
                h.raw(" · ").text(name);
                break;
            }
        }
        h.raw(" <span class=\"count\">(").number(static_cast<long long>(c.messages.size())).raw(")</span></h3>\n");
        h.raw("<div class=\"thread\">\n");
        for (const auto& [date, message] : c.messages) {
            appendMessage(h, *message);
            if (progress) progress->fetch_add(1, std::memory_order_relaxed);
        }
        h.raw("</div>\n</article>\n");
    }
    h.raw("</section>\n");

    h.raw("<section id=\"contacts\">\n<h2>Contacts</h2>\n");
    if (records.contacts.empty()) {
        h.raw("<p class=\"sub\">No contacts in this report.</p>\n");
    } else {
        h.raw("<div class=\"wide\"><table class=\"grid\">\n<thead><tr><th>Name</th><th>Phone</th><th>E-mail</th><th>Company</th>"
              "<th>Job title</th><th>Home page</th><th>Birthday</th><th>Address</th><th>Note</th><th>Source</th>"
              "</tr></thead>\n<tbody>\n");
        for (const TovContactNode* c : records.contacts) {
            const bool deleted = c->bDeleted() || !c->isExistingSource();
            h.raw(deleted ? "<tr class=\"deletedrow\">" : "<tr>");
            for (const std::string& field : {c->contactName(), c->contactPhone(), c->contactEmail(),
                                             c->contactCompany(), c->contactJobtitle(), c->contactHomepage(),
                                             c->contactBirthday(), c->contactAdress(), c->contactNote()}) {
                h.raw("<td>").text(field).raw("</td>");
            }
            h.raw("<td>").text(c->source());
            if (deleted) {
                h.raw(" <strong>(deleted)</strong>");
                const std::string where = provenanceText(c->provenance());
                if (!where.empty()) h.raw("<br>found in ").text(where);
            }
            h.raw("</td></tr>\n");
            if (progress) progress->fetch_add(1, std::memory_order_relaxed);
        }
        h.raw("</tbody>\n</table></div>\n");
    }
    h.raw("</section>\n");

    if (!records.notes.empty()) {
        h.raw("<section id=\"notes\">\n<h2>Notes</h2>\n<table class=\"grid\">\n<thead><tr><th>Title</th>"
              "<th>Date</th><th>Note</th><th>Deleted</th></tr></thead>\n<tbody>\n");
        for (const TovNoteNode* n : records.notes) {
            h.raw("<tr><td>").text(n->noteTitle()).raw("</td><td>").text(n->noteDate()).raw("</td><td>");
            h.text(n->noteContent()).raw("</td><td>").raw(n->bDeleted() ? "yes" : "no").raw("</td></tr>\n");
            if (progress) progress->fetch_add(1, std::memory_order_relaxed);
        }
        h.raw("</tbody>\n</table>\n</section>\n");
    }
    if (!records.calls.empty()) {
        h.raw("<section id=\"calls\">\n<h2>Call history</h2>\n<table class=\"grid\">\n<thead><tr><th>Name</th>"
              "<th>Phone</th><th>Date</th><th>Type</th><th>Duration</th><th>Deleted</th></tr></thead>\n<tbody>\n");
        for (const TovCallHistoryNode* c : records.calls) {
            h.raw("<tr><td>").text(c->callName()).raw("</td><td>").text(c->callPhone()).raw("</td><td>");
            h.text(c->callDate()).raw("</td><td>").text(c->callType()).raw("</td><td>").text(c->callDuration());
            h.raw("</td><td>").raw(c->bDeleted() ? "yes" : "no").raw("</td></tr>\n");
            if (progress) progress->fetch_add(1, std::memory_order_relaxed);
        }
        h.raw("</tbody>\n</table>\n</section>\n");
    }

    h.raw("<section id=\"record\">\n<h2>For the record</h2>\n<table class=\"facts\">\n");
    factRow(h, "Program", "kestrel " + facts.version);
    factRow(h, "Scan started", facts.scanTime ? isoUtcTime(facts.scanTime) : "unknown");
    factRow(h, "Report written", isoUtcTime(exportTime));
    factRow(h, "Command or options", facts.command);
    factRow(h, "Export formats", exportFormatsText(formats));
    h.raw("</table>\n<h3>Database files read (SHA-256)</h3>\n<table class=\"grid\">\n<thead><tr><th>File in the "
          "backup</th><th>Bytes</th><th>SHA-256</th></tr></thead>\n<tbody>\n");
    if (databases.empty()) h.raw("<tr><td colspan=\"3\">The scan read no database file.</td></tr>\n");
    for (const HashedFile& d : databases) {
        h.raw("<tr><td class=\"hash\">").text(d.path).raw("</td>");
        if (d.error.empty()) {
            h.raw("<td class=\"num\">").number(d.bytes).raw("</td><td class=\"hash\">").text(d.sha256).raw("</td>");
        } else {
            h.raw("<td></td><td>").text(d.error).raw("</td>");
        }
        h.raw("</tr>\n");
    }
    h.raw("</tbody>\n</table>\n</section>\n<footer>Written by kestrel ")
        .text(facts.version)
        .raw(". The SHA-256 values are those of the database files as they were in the backup when this report was "
             "written.</footer>\n</body>\n</html>\n");
    return std::move(h.out);
}

}  // namespace kestrel
