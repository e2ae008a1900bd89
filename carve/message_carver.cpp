// Deleted-message carving: the step's driver, the iOS 6 walk with its chat
// records and the attaching of phones, and the helpers the older-layout walks
// share (message_carver_older.cpp).
#include "carve/message_carver.h"

#include <any>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <unordered_map>

#include "app/app_controller.h"
#include "app/backup_discovery.h"
#include "app/log.h"
#include "carve/record_analysis.h"
#include "extract/conversions.h"

namespace kestrel {

namespace carve_detail {

bool patternAt(const RawFile* file, int64_t at, const uint8_t* pattern, size_t length) {
    if (file == nullptr) return false;
    if (at > 0 && at + static_cast<int64_t>(length) <= file->size())
        return std::memcmp(file->data() + at, pattern, length) == 0;
    for (size_t i = 0; i < length; ++i) {
        if (byteValueAt(file, at + static_cast<int64_t>(i)) != pattern[i]) return false;
    }
    return true;
}

int64_t findPattern(const RawFile* file, int64_t from, int64_t to, const uint8_t* pattern, size_t length) {
    // The patterns searched this way begin with a non-zero byte, so no match
    // starts beyond the end of the file (or at offset 0 and before).
    if (file == nullptr || length == 0 || length > 8) return -1;
    int64_t k = std::max<int64_t>(from, 1);
    const int64_t end = std::min(to, file->size());
    const uint8_t* data = file->data();
    // Candidates whose whole pattern lies inside the file are compared as
    // one word; the last few offsets go through patternAt.
    const int64_t wordEnd = std::min(end, file->size() - static_cast<int64_t>(length) + 1);
    uint64_t want = 0, mask = 0;
    std::memcpy(&want, pattern, length);
    std::memset(&mask, 0xFF, length);
#if defined(__SSE2__)
    // Sixteen offsets at a time: the first four pattern bytes compared at
    // once, the rest checked for the few offsets that pass.
    const size_t lead = std::min<size_t>(length, 4);
    __m128i firstBytes[4];
    for (size_t i = 0; i < lead; ++i) firstBytes[i] = _mm_set1_epi8(static_cast<char>(pattern[i]));
    while (k + 16 + 3 <= wordEnd) {
        __m128i hits = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + k)), firstBytes[0]);
        for (size_t i = 1; i < lead; ++i) {
            hits = _mm_and_si128(
                hits, _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + k + i)), firstBytes[i]));
        }
        auto bits = static_cast<unsigned>(_mm_movemask_epi8(hits));
        while (bits != 0) {
            const int64_t at = k + __builtin_ctz(bits);
            uint64_t have = 0;
            std::memcpy(&have, data + at, length);
            if ((have & mask) == want) return at;
            bits &= bits - 1;
        }
        k += 16;
    }
#endif
    for (; k < wordEnd; ++k) {
        const void* hit = std::memchr(data + k, pattern[0], static_cast<size_t>(wordEnd - k));
        if (hit == nullptr) {
            k = wordEnd;
            break;
        }
        k = static_cast<const uint8_t*>(hit) - data;
        uint64_t have = 0;
        std::memcpy(&have, data + k, length);
        if ((have & mask) == want) return k;
    }
    for (; k < end; ++k) {
        if (patternAt(file, k, pattern, length)) return k;
    }
    return -1;
}

}  // namespace carve_detail


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

const char* flagsWord(int32_t flags) {
    if (flags == 2 || flags == 22) return "Received";
    if (flags == 3 || flags == 16387) return "Send";
    return "unknown";
}

size_t textLength(std::string_view text) {
    size_t units = 0;
    for (unsigned char c : text) {
        if ((c & 0xC0) != 0x80) units += c >= 0xF0 ? 2 : 1;
    }
    return units;
}

namespace {

constexpr uint8_t kChatAnchor[] = {0x01, 0x01, 0x55};
constexpr uint8_t kMessageAnchor[] = {0x08, 0x00, 0x01, 0x00};

// One chat scan over the page at f.
void scanChatRecords(WrenfieldAppDelegate& app, const RawFile* file, int64_t f, int64_t pageSize) {
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
        app.chatMessageArray.push_back(std::move(chat));
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
    for (int32_t position = 1; position <= 23; ++position) {
        const Col what = kMessageColumns[v][position];
        switch (what) {
            case Col::Skip:
                break;
            case Col::Read:
                columns.skipOne(base, position);
                break;
            case Col::TwoRead:
                columns.skipTwo(base, position);
                break;
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
                message->setMessageDate(formatStoredDate(textToInt64(columns.one(base, length, position))));
                break;
            case Col::Direction: {
                // SQLite keeps the integers 0 and 1 as serial types 8 and 9,
                // without content: read those from the serial type itself.
                const uint8_t serialType = byteValueAt(file, base + position);
                const std::string_view text = columns.one(base, length, position);
                int32_t direction = textToInt32(text);
                if (serialType == 8) direction = 0;
                if (serialType == 9) direction = 1;
                message->setMessageType(direction == 0 ? "Received" : direction == 1 ? "Send" : "Unknowed");
                break;
            }
        }
    }
    return message;
}

// One message scan over the page at f.
void scanMessageRecords(WrenfieldAppDelegate& app, const RawFile* file, int64_t f, int64_t pageSize,
                        ColumnReader& columns) {
    for (int64_t k = f; (k = carve_detail::findPattern(file, k, f + pageSize, kMessageAnchor, 4)) >= 0; ++k)
        app.messageArray.push_back(decodeIOS6Message(file, k, columns));
}

bool messageProbe(const RawFile* file, int64_t at) {
    return bcheckMessageIOS6SubStringIsValidAt(file, at, 14, 10) == 1;
}

}  // namespace

void scanIOS6MessagePages(WrenfieldAppDelegate& app, const RawFile* file, const PageGeometry& geometry) {
    const int64_t pageSize = geometry.pageSize;
    ColumnReader columns(file);
    for (int64_t w = 0; w < geometry.pageCount; ++w) {
        const int64_t f = w * pageSize;
        const int32_t type = getPageType(file, f);
        if (type != 1 && type != 2) continue;
        const int64_t c1 = readU16(file, f + 8);
        const int64_t c2 = readU16(file, f + 10);
        const int64_t c3 = readU16(file, f + 12);
        const int64_t cs = readU16(file, f + 5);
        if (f == 0x7000) NSLog("dd");
        if (bcheckChatIOS6SubStringIsValidAt(file, f + c1 + 3, 14, 10) == 1)
            scanChatRecords(app, file, f, pageSize);
        if (f == 0x1E000) NSLog("m===%lld", static_cast<long long>(w));
        if (messageProbe(file, f + c2 + 4) || messageProbe(file, f + c1 + 4) || messageProbe(file, f + c3 + 4) ||
            messageProbe(file, f + 8 + cs) || type == 2)
            scanMessageRecords(app, file, f, pageSize, columns);
    }

    // The last chat record of each row number gives its phone.
    std::unordered_map<int32_t, const TovChatMessageNode*> chatByRow;
    chatByRow.reserve(app.chatMessageArray.size());
    for (const ChatMessagePtr& chat : app.chatMessageArray) chatByRow[chat->rowid()] = chat.get();
    for (const MessagePtr& message : app.messageArray) {
        if (auto it = chatByRow.find(message->handle_id()); it != chatByRow.end())
            message->setMessagePhone(it->second->phoneValue());
        const std::string phone = message->messagePhone();
        if (textLength(phone) >= 2) {
            if (auto name = app.getNameByPhoneNumber(phone)) message->setMessageName(*name);
        }
        app.nc.postNotificationName(names::ScanDelMessageInfo, std::any(message));
    }
}

void WrenfieldAppDelegate::scanDelMessageThread(const std::string& path) {
    if (path.empty()) return;
    const std::unique_ptr<RawFile> file = openDatabaseToCarve(path, kMessageDBName, "messageDB is not exist");
    if (!file) return;
    // A page size of 0 gives no pages.
    const PageGeometry geometry = pageGeometry(file.get());
    const bool walFormat = checkSQliteVersion(file.get(), 18) == 1;
    if (currentNodeIsiOS6Version) {
        scanIOS6MessagePages(*this, file.get(), geometry);
    } else if (walFormat) {
        scanWalFormatMessagePages(*this, file.get(), geometry);
    } else {
        scanRollbackFormatMessagePages(*this, file.get(), geometry);
    }
    nc.postNotificationName(names::ScanProgressInfo, std::any(int(85)));
}

}  // namespace kestrel
