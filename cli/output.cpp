#include "cli/output.h"
#include "app/utf8.h"

#include <algorithm>
#include <cstdio>

#include "results/record_json.h"

namespace kestrel::cli {

using nlohmann::json;

json deviceToJson(const TovIOSDeviceNode& node) {
    return json{{"strDeviceName", node.strDeviceName},
                {"strDeviceSize", node.strDeviceSize},
                {"strDeviceBackUpTime", node.strDeviceBackUpTime},
                {"strDeviceSerial", node.strDeviceSerial},
                {"strDeviceType", node.strDeviceType},
                {"strIOSVersion", node.strIOSVersion},
                {"deviceImage", node.deviceImage},
                {"itunesVersion", node.itunesVersion},
                {"backUpFilePath", node.backUpFilePath}};
}

json deviceToListJson(const TovIOSDeviceNode& node) {
    json record = deviceToJson(node);
    record["encrypted"] = node.encrypted;
    return record;
}

namespace {

// The object's text up to the messages: the members of `head`, then the
// contacts, then the name of the message array.
void appendScanJsonHead(std::string& out, const nlohmann::ordered_json& head, const std::vector<ContactPtr>& contacts) {
    out.append("{\n");
    for (auto it = head.begin(); it != head.end(); ++it) {
        appendJsonString(out, it.key());
        out.append(": ");
        out.append(dumpJson(it.value()));
        out.append(",\n");
    }
    appendJsonString(out, "contacts");
    out.append(": [");
    bool first = true;
    for (const ContactPtr& contact : contacts) {
        out.append(first ? "\n  " : ",\n  ");
        first = false;
        appendContactJson(out, *contact);
    }
    out.append(first ? "]" : "\n]");
    out.append(",\n");
    appendJsonString(out, "messages");
    out.append(": [");
}

// The rest after the messages: the members of `tail` and the end.
void appendScanJsonTail(std::string& out, const nlohmann::ordered_json& tail) {
    for (auto it = tail.begin(); it != tail.end(); ++it) {
        out.append(",\n");
        appendJsonString(out, it.key());
        out.append(": ");
        out.append(dumpJson(it.value()));
    }
    out.append("\n}\n");
}

void writeOut(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

}  // namespace

void printScanJson(const nlohmann::ordered_json& head, const std::vector<ContactPtr>& contacts,
                   const std::vector<MessagePtr>& messages, const nlohmann::ordered_json& tail) {
    std::string out;
    out.reserve(1 << 20);
    appendScanJsonHead(out, head, contacts);
    bool first = true;
    for (const MessagePtr& message : messages) {
        out.append(first ? "\n  " : ",\n  ");
        first = false;
        appendMessageJson(out, *message);
        if (out.size() >= (1u << 20)) {
            writeOut(out);
            out.clear();
        }
    }
    out.append(first ? "]" : "\n]");
    appendScanJsonTail(out, tail);
    writeOut(out);
}

namespace {
// Each message in the file is preceded by the separator of a later element.
constexpr std::string_view kSeparator = ",\n  ";
}  // namespace

std::unique_ptr<StreamedMessageList> StreamedMessageList::create(bool deletedOnly, bool byName, std::string* error) {
    std::unique_ptr<SpoolFile> spool = SpoolFile::create(error);
    if (!spool) return nullptr;
    return std::unique_ptr<StreamedMessageList>(new StreamedMessageList(std::move(spool), deletedOnly, byName));
}

void StreamedMessageList::messageListed(const TovMessageNode& message) {
    if (deletedOnly_ && !message.bDeleted()) return;
    if (byName_) {
        starts_.push_back(spool_->size());
        message.messageNameVisit([this](std::string_view name) { names_.append(name); });
        nameEnds_.push_back(names_.size());
    }
    ++count_;
    std::string& out = spool_->buffer();
    out.append(kSeparator);
    appendMessageJson(out, message);
    spool_->commit();
}

std::string_view StreamedMessageList::name(size_t i) const {
    const size_t begin = i == 0 ? 0 : nameEnds_[i - 1];
    return std::string_view(names_).substr(begin, nameEnds_[i] - begin);
}

bool StreamedMessageList::print(bool ascending) {
    if (count_ == 0) return spool_->good();
    std::fputs("\n  ", stdout);
    std::fflush(stdout);
    if (!byName_) return spool_->copyTo(fileno(stdout), kSeparator.size(), spool_->size()) && spool_->good();
    std::vector<uint32_t> order(count_);
    for (size_t i = 0; i < count_; ++i) order[i] = static_cast<uint32_t>(i);
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        return ascending ? name(a) < name(b) : name(b) < name(a);
    });
    std::string out, element;
    for (size_t k = 0; k < order.size(); ++k) {
        const size_t i = order[k];
        const uint64_t begin = starts_[i] + kSeparator.size();
        const uint64_t end = i + 1 < starts_.size() ? starts_[i + 1] : spool_->size();
        if (!spool_->read(begin, static_cast<size_t>(end - begin), element)) return false;
        if (k > 0) out.append(kSeparator);
        out.append(element);
        if (out.size() >= (size_t{1} << 20)) {
            writeOut(out);
            out.clear();
        }
    }
    writeOut(out);
    return spool_->good();
}

bool printScanJson(const nlohmann::ordered_json& head, const std::vector<ContactPtr>& contacts,
                   StreamedMessageList& messages, bool ascending, const nlohmann::ordered_json& tail) {
    std::string out;
    appendScanJsonHead(out, head, contacts);
    writeOut(out);
    const bool printed = messages.print(ascending);
    out.assign(messages.count() == 0 ? "]" : "\n]");
    appendScanJsonTail(out, tail);
    writeOut(out);
    return printed;
}

json countsToJson(const TovResultViewController& results) {
    auto existing = results.shownExistingCounts();
    auto deleted = results.shownDeletedCounts();
    json counts = json::object();
    for (int i = 0; i < kCategoryCount; ++i) {
        auto at = static_cast<size_t>(i);
        counts[categoryName(static_cast<Category>(i))] = {{"existing", std::max(existing[at], 0)},
                                                          {"deleted", std::max(deleted[at], 0)}};
    }
    return counts;
}

std::string dumpJson(const json& value) { return value.dump(2, ' ', false, json::error_handler_t::replace); }
std::string dumpJson(const nlohmann::ordered_json& value) {
    return value.dump(2, ' ', false, json::error_handler_t::replace);
}

std::string terminalSafe(std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    auto hex = [&out](const char* prefix, unsigned value) {
        out.append(prefix);
        out.push_back(kHex[(value >> 4) & 0xF]);
        out.push_back(kHex[value & 0xF]);
    };
    size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            switch (c) {
                case '\n': out.append("\\n"); break;
                case '\r': out.append("\\r"); break;
                case '\t': out.append("\\t"); break;
                default: hex("\\x", c);
            }
            ++i;
            continue;
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            ++i;
            continue;
        }
        uint32_t value = 0;
        const size_t length = utf8SequenceAt(text, i, &value);
        if (length == 0) {
            hex("\\x", c);  // a stray byte some terminals read as a C1 control
            ++i;
        } else if (value >= 0x80 && value <= 0x9F) {
            hex("\\u00", value);  // a C1 control (U+009B is a CSI by itself)
            i += length;
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
    }
    return out;
}

namespace {

// Fits a text into one table cell: control characters shown escaped (see
// terminalSafe) and long texts cut (at a character boundary) with an
// ellipsis.
std::string cell(std::string_view raw, size_t width) {
    std::string text = terminalSafe(raw);
    size_t chars = 0;
    size_t i = 0;
    for (; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (chars == width) break;
            ++chars;
        }
    }
    if (i < text.size()) {
        // Back off one character to make room for the ellipsis.
        size_t cut = i;
        do {
            --cut;
        } while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80);
        text = text.substr(0, cut) + "…";
        chars = width;
    }
    return text + std::string(width - chars, ' ');
}

}  // namespace

void printBackupTable(const std::vector<DeviceNodePtr>& nodes) {
    std::printf("%s %s %s %s %s %s %s\n", cell("Name", 24).c_str(), cell("Serial", 14).c_str(),
                cell("Model", 12).c_str(), cell("iOS", 8).c_str(), cell("Backup time", 16).c_str(),
                cell("Encrypted", 9).c_str(), "Folder");
    for (const DeviceNodePtr& n : nodes) {
        std::printf("%s %s %s %s %s %s %s\n", cell(n->strDeviceName, 24).c_str(), cell(n->strDeviceSerial, 14).c_str(),
                    cell(n->strDeviceType, 12).c_str(), cell(n->strIOSVersion, 8).c_str(),
                    cell(n->strDeviceBackUpTime, 16).c_str(), cell(n->encrypted ? "yes" : "no", 9).c_str(),
                    terminalSafe(n->backUpFilePath).c_str());
    }
}

void printScanReport(const TovIOSDeviceNode& backup, const TovResultViewController& results,
                     const std::vector<MessagePtr>& messages) {
    std::printf("Backup: %s (%s), %s, iOS %s, backed up %s\n", terminalSafe(backup.strDeviceName).c_str(),
                terminalSafe(backup.strDeviceSerial).c_str(), terminalSafe(backup.strDeviceType).c_str(),
                terminalSafe(backup.strIOSVersion).c_str(), terminalSafe(backup.strDeviceBackUpTime).c_str());
    auto existing = results.existingCountLabels();
    auto deleted = results.deletedCountLabels();
    std::printf("\nExisting\n");
    for (const std::string& label : existing) std::printf("  %s\n", terminalSafe(label).c_str());
    std::printf("Deleted\n");
    for (const std::string& label : deleted) std::printf("  %s\n", terminalSafe(label).c_str());

    std::printf("\n%s %s %s %s %s %s %s %s %s\n", cell("", 1).c_str(), cell("Date", 16).c_str(),
                cell("Type", 8).c_str(), cell("Phone", 18).c_str(), cell("Name", 18).c_str(), cell("iMsg", 4).c_str(),
                cell("Service", 8).c_str(), cell("Source", 16).c_str(), "Content");
    for (const MessagePtr& m : messages) {
        std::printf("%s %s %s %s %s %s %s %s %s\n", m->bDeleted() ? "D" : " ", cell(m->messageDate(), 16).c_str(),
                    cell(m->messageType(), 8).c_str(), cell(m->messagePhone(), 18).c_str(),
                    cell(m->messageName(), 18).c_str(), m->bImessage() ? "yes " : "    ",
                    cell(m->service(), 8).c_str(), cell(m->source(), 16).c_str(), cell(m->messageContent(), 60).c_str());
    }
    std::printf("\n%zu messages listed (D: deleted)\n", messages.size());
}

}  // namespace kestrel::cli
