// Deleted-message carving of the iOS 6 layout: the walk with its chat
// records and the attaching of phones to the carved messages.
#include "carve/message_carver.h"

#include <unordered_map>

#include "app/log.h"
#include "carve/record_analysis.h"
#include "extract/conversions.h"

namespace kestrel {

int32_t chatRowNumberEndingAt(const RawFile* file, int64_t lastByte) {
    const uint8_t last = byteValueAt(file, lastByte);
    if (last >= 0x80) return last;
    return varintEndingAt(file, lastByte);
}

std::string stripChatPrefixes(std::string text) {
    for (std::string_view prefix : {std::string_view("SMS;-;"), std::string_view("iMessage;-;")}) {
        std::string out;
        out.reserve(text.size());
        size_t pos = 0;
        for (size_t hit; (hit = text.find(prefix, pos)) != std::string::npos; pos = hit + prefix.size())
            out.append(text, pos, hit - pos);
        out.append(text, pos, std::string::npos);
        text = std::move(out);
    }
    return text;
}

void nameWalkedMessage(RecordSink& sink, TovMessageNode& message) {
    const std::string phone = message.messagePhone();
    if (textLength(phone) >= 2) {
        if (auto name = sink.getNameByPhoneNumber(phone)) message.setMessageName(*name);
    }
}

namespace {

constexpr uint8_t kChatAnchor[] = {0x01, 0x01, 0x55};
constexpr uint8_t kMessageAnchor[] = {0x08, 0x00, 0x01, 0x00};

// One chat scan over the page at f.
void scanChatRecords(std::vector<ChatMessagePtr>& chats, const RawFile* file, int64_t f, int64_t pageSize) {
    int32_t prev = 0;
    ColumnReader columns(file);
    for (int64_t a = f; (a = carve_detail::findPattern(file, a, f + pageSize, kChatAnchor, 3)) >= 0; ++a) {
        const int32_t q = ISAlterPropertFiled(file, a + 3);
        auto chat = std::make_shared<TovChatMessageNode>();
        int32_t rowid;
        if (byteValueAt(file, a - 6) == 0x00 && byteValueAt(file, a - 5) == 0x00) {
            rowid = prev - 1;
        } else {
            rowid = chatRowNumberEndingAt(file, a - 4);
        }
        chat->setRowid(rowid);
        prev = rowid;
        columns.cursor = 0;
        const std::string_view identifier = columns.one(a - 2, 12 + q, 1);
        chat->setPhoneValue(stripChatPrefixes(columnText(identifier)));
        chats.push_back(std::move(chat));
    }
}

// What a column position of the message record does.
enum class Col : uint8_t { Skip, Read, TwoRead, Text, TextTwo, Handle, Service, Date, Direction, PropertyRead };

// Positions 1..23 for a one-byte (v = 0) and a two-byte (v = 1) message-text serial type.
constexpr Col kMessageColumns[2][24] = {
    {Col::Skip, Col::Read, Col::Text, Col::Read, Col::Read, Col::Handle, Col::Read, Col::Read, Col::PropertyRead,
     Col::Skip, Col::Read, Col::Read, Col::Service, Col::Read, Col::Read, Col::Read, Col::Date, Col::Read,
     Col::Read, Col::Read, Col::Read, Col::Read, Col::Direction, Col::Read},
    {Col::Skip, Col::Read, Col::TextTwo, Col::Skip, Col::Skip, Col::Skip, Col::Handle, Col::Read, Col::Read,
     Col::TwoRead, Col::Skip, Col::Read, Col::Read, Col::Service, Col::Read, Col::Read, Col::Read, Col::Date,
     Col::Read, Col::Read, Col::Read, Col::Read, Col::Read, Col::Direction},
};

MessagePtr decodeIOS6Message(const RawFile* file, int64_t k, ColumnReader& columns) {
    const int32_t q = ISAlterPropertFiled(file, k + 5);
    const int32_t v = ISAlterMessageContentFiled(file, k - 2);
    const int64_t base = k - 3 - v;
    const int32_t length = 38 + q + v;
    columns.cursor = 0;
    auto message = std::make_shared<TovMessageNode>();
    noteWalkOffset(*message, k);
    walkColumns(columns, base, kMessageColumns[v], [&](Col what, int32_t position) {
        switch (what) {
            case Col::PropertyRead:
                if (q == 1) columns.skipTwo(base, position);
                break;
            case Col::Text:
            case Col::TextTwo: {
                const std::string_view text =
                    what == Col::Text ? columns.one(base, length, position) : columns.two(base, length, position);
                message->setMessageContent(columnText(text));
                break;
            }
            case Col::Handle:
                message->setHandle_id(textToInt32(columns.one(base, length, position)));
                break;
            case Col::Service:
                message->setBImessage(columns.one(base, length, position) != "SMS");
                break;
            case Col::Date:
                message->setMessageDate(
                    formatMessageDate(textToInt64(columns.one(base, length, position)), MessageDateLayout::Ios6OrLater));
                break;
            case Col::Direction: {
                // SQLite keeps the integers 0 and 1 as serial types 8 and 9,
                // without content: read those from the serial type itself.
                const uint8_t serialType = byteValueAt(file, base + position);
                const std::string_view text = columns.one(base, length, position);
                int32_t direction = textToInt32(text);
                if (serialType == 8) direction = 0;
                if (serialType == 9) direction = 1;
                message->setMessageType(fromMeWord(direction, "Unknowed"));
                break;
            }
            default:
                break;
        }
    });
    return message;
}

bool messageProbe(const RawFile* file, int64_t at) {
    return bcheckMessageIOS6SubStringIsValidAt(file, at, 14, 10) == 1;
}

}  // namespace

void scanIOS6MessagePages(RecordSink& sink, const RawFile* file, const PageGeometry& geometry) {
    const int64_t pageSize = geometry.pageSize;
    // A message's phone is that of the last chat record of its row number,
    // wherever in the file that lies: the chat records are gathered in a
    // first pass, so that each message is posted as soon as it is read and
    // none is held (a large database's walk finds a hundred thousand).
    std::vector<ChatMessagePtr> chats;
    forEachMessagePage(file, geometry, true, [&](const MessagePageHead& page) {
        const int64_t f = page.offset;
        if (f == 0x7000) NSLogDebug("dd");
        if (bcheckChatIOS6SubStringIsValidAt(file, f + page.cell1 + 3, 14, 10) == 1)
            scanChatRecords(chats, file, f, pageSize);
    });
    std::unordered_map<int32_t, const TovChatMessageNode*> chatByRow;
    chatByRow.reserve(chats.size());
    for (const ChatMessagePtr& chat : chats) chatByRow[chat->rowid()] = chat.get();
    for (const ChatMessagePtr& chat : chats) sink.postChatMessage(chat);

    ColumnReader columns(file);
    const auto post = [&](MessagePtr message) {
        if (auto it = chatByRow.find(message->handle_id()); it != chatByRow.end())
            message->setMessagePhone(it->second->phoneValue());
        nameWalkedMessage(sink, *message);
        sink.postDelMessage(std::move(message));
    };
    forEachMessagePage(file, geometry, true, [&](const MessagePageHead& page) {
        const int64_t f = page.offset;
        if (f == 0x1E000) NSLogDebug("m===%lld", static_cast<long long>(page.index));
        if (messageProbe(file, f + page.cell2 + 4) || messageProbe(file, f + page.cell1 + 4) ||
            messageProbe(file, f + page.cell3 + 4) || messageProbe(file, f + 8 + page.contentStart) ||
            page.type == 2) {
            for (int64_t k = f; (k = carve_detail::findPattern(file, k, f + pageSize, kMessageAnchor, 4)) >= 0; ++k) {
                if (sink.wantsDelRecordAt(k)) post(decodeIOS6Message(file, k, columns));
            }
        }
    });
}

}  // namespace kestrel
