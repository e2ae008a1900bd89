// Deleted-message carving for the message databases before iOS 6, where a
// record carries its correspondent's address itself: the walk for files in
// write-ahead-log format (SMS and iMessage records) and the walk for files
// in rollback format (SMS records of a fixed width).
#include <string>

#include "app/log.h"
#include "carve/message_carver.h"
#include "carve/record_analysis.h"
#include "extract/conversions.h"

namespace kestrel {


namespace {

constexpr uint8_t kSmsAnchor[] = {0x00, 0x11, 0x00, 0x00};
constexpr uint8_t kIMessageAnchorA[] = {0x08, 0x08, 0x00, 0x08, 0x08, 0x08, 0x08, 0x08};
constexpr uint8_t kIMessageAnchorB[] = {0x01, 0x08, 0x00, 0x01, 0x08, 0x08, 0x08, 0x08};


bool olderPageProbe(const RawFile* file, int64_t at, int32_t count) {
    return bcheckSubStringIsValidAt(file, at, count, kKindOlderMessage, 10) == 1;
}

// State of one page of the write-ahead-log walk.
struct WalPage {
    int32_t width = 0;        // table width W: 0, 17, 33 or 34
    int64_t lastSmsAnchor = 0;
};

void walSmsRecord(RecordSink& sink, const RawFile* file, NextZeroFinder& zeros, int64_t k, WalPage& page,
                  ColumnReader& columns) {
    NSLogDebug("m===%lld", static_cast<long long>(k));
    if (page.width == 0) {
        const int32_t probe = zeros.GetFildLength(k - 14);
        page.width = probe == 1 ? 17 : probe == 2 ? 33 : 0;
    }
    const int32_t r = bIsAlterbleDBFile(file, k - 10, 2);
    const int32_t length = page.width + r;
    // First layout: head readers at base k - 15 - r with head 3; second
    // layout: plain readers at base k + 20 - W - r. One data cursor.
    const int64_t firstBase = k - 15 - r;
    constexpr int32_t kHead = 3;
    const int64_t secondBase = k + 20 - page.width - r;
    bool fallback = false;
    columns.cursor = 0;
    auto message = std::make_shared<TovMessageNode>();
    noteWalkOffset(*message, k);

    const int32_t noted = columns.cursor;
    std::string address = columnText(columns.oneHead(firstBase, kHead, length, 1));
    if (address.empty()) {
        columns.cursor = noted;
        address = columnText(columns.one(secondBase, length, 1));
        fallback = true;
    }
    message->setMessagePhone(address);

    auto readOne = [&](int32_t position) {
        return fallback ? columns.one(secondBase, length, position)
                        : columns.oneHead(firstBase, kHead, length, position);
    };
    message->setMessageDate(formatStoredDate(textToInt64(readOne(2))));

    std::string_view text;
    if (r == 0) {
        text = columns.oneHead(firstBase, kHead, length, 3);
    } else {
        text = fallback ? columns.two(secondBase, length, 3) : columns.twoHead(firstBase, kHead, length, 3);
    }
    if (!text.empty()) message->setMessageContent(columnText(text));

    message->setMessageType(flagsWord(textToInt32(readOne(r == 0 ? 4 : 5))));
    nameWalkedMessage(sink, *message);
    NSLogDebug("[node messageName]==%s,[node messageContent]==%s,m=%lld", message->messageName().c_str(),
          message->messageContent().c_str(), static_cast<long long>(k));
    sink.postDelMessage(std::move(message));
    page.lastSmsAnchor = k;
}

// What a column position of the iMessage record does.
enum class Col : uint8_t { Skip, Read, TwoRead, Date, Text, TextTwo, Address, Flags };

// Positions 1..27 for a one-byte (u = 0) and a two-byte (u = 1) message-text serial type.
constexpr Col kIMessageColumns[2][28] = {
    {Col::Skip, Col::Read, Col::Date, Col::Text, Col::Read, Col::Skip, Col::Read, Col::Read, Col::Read, Col::Read,
     Col::Read, Col::Read, Col::Read, Col::Read, Col::Read, Col::Read, Col::Read, Col::TwoRead, Col::Skip,
     Col::Address, Col::Read, Col::Read, Col::Read, Col::Read, Col::Read, Col::Read, Col::Flags, Col::Skip},
    {Col::Skip, Col::Read, Col::Date, Col::TextTwo, Col::Skip, Col::Read, Col::Read, Col::Read, Col::Read,
     Col::Read, Col::Read, Col::Read, Col::Read, Col::Read, Col::Read, Col::Read, Col::Read, Col::Skip,
     Col::TwoRead, Col::Skip, Col::Address, Col::Read, Col::Read, Col::Read, Col::Read, Col::Read, Col::Skip,
     Col::Flags},
};

void walIMessageRecord(RecordSink& sink, const RawFile* file, NextZeroFinder& zeros, int64_t k,
                       WalPage& page, ColumnReader& columns) {
    if (page.width == 0) {
        const int32_t probe = zeros.GetFildLength(k - 14);
        page.width = probe == 1 ? 17 : probe == 2 ? 34 : 0;
    }
    const int32_t l2 = page.width == 17 ? 17 : 34;
    const int32_t u = IsAlterAboutContent(file, k - 2);
    const int64_t base = k - 4 - u;
    const int32_t length = l2 + u;
    columns.cursor = 0;
    auto message = std::make_shared<TovMessageNode>();
    noteWalkOffset(*message, k);
    walkColumns(columns, base, kIMessageColumns[u], [&](Col what, int32_t position) {
        switch (what) {
            case Col::Date:
                message->setMessageDate(formatStoredDate(textToInt64(columns.one(base, length, position))));
                break;
            case Col::Text:
            case Col::TextTwo: {
                const std::string_view text =
                    what == Col::Text ? columns.one(base, length, position) : columns.two(base, length, position);
                if (!text.empty()) message->setMessageContent(columnText(text));
                break;
            }
            case Col::Address:
                message->setMessagePhone(columnText(columns.one(base, length, position)));
                break;
            case Col::Flags:
                message->setMessageType(flagsWord(textToInt32(columns.one(base, length, position))));
                break;
            default:
                break;
        }
    });
    message->setBImessage(true);
    nameWalkedMessage(sink, *message);
    const bool keep = !message->messagePhone().empty() || message->messageType() != "unknown" ||
                      k - page.lastSmsAnchor > 399;
    if (!keep) return;
    NSLogDebug("imagge..[node messageName]==%s,[node messageContent]==%s,m=%lld", message->messageName().c_str(),
          message->messageContent().c_str(), static_cast<long long>(k));
    sink.postDelMessage(std::move(message));
}

void rollbackSmsRecord(RecordSink& sink, const RawFile* file, int64_t k, ColumnReader& columns) {
    const int32_t r = bIsAlterbleDBFile(file, k - 10, 2);
    const int64_t base = k - 12 - r;
    const int32_t length = 17 + r;
    columns.cursor = 0;
    auto message = std::make_shared<TovMessageNode>();
    noteWalkOffset(*message, k);
    if (std::string address = columnText(columns.one(base, length, 1)); !address.empty())
        message->setMessagePhone(address);
    message->setMessageDate(formatStoredDate(textToInt64(columns.one(base, length, 2))));
    message->setMessageContent(columnText(r == 1 ? columns.two(base, length, 3) : columns.one(base, length, 3)));
    message->setMessageType(flagsWord(textToInt32(columns.one(base, length, r == 0 ? 4 : 5))));
    if (auto name = sink.getNameByPhoneNumber(message->messagePhone())) message->setMessageName(*name);
    sink.postDelMessage(std::move(message));
}

}  // namespace

void scanWalFormatMessagePages(RecordSink& sink, const RawFile* file, const PageGeometry& geometry) {
    const int64_t pageSize = geometry.pageSize;
    NextZeroFinder zeros(file);
    ColumnReader columns(file);
    forEachMessagePage(file, geometry, false, [&](const MessagePageHead& head) {
        const int64_t f = head.offset;
        if (f == 0x1E000) NSLogDebug("m===%lld", static_cast<long long>(head.index));
        if (!olderPageProbe(file, f + head.cell2 + 10, 14) && !olderPageProbe(file, f + head.cell1 + 10, 14) &&
            !olderPageProbe(file, f + head.cell3 + 10, 14) && !olderPageProbe(file, f + head.contentStart + 15, 8))
            return;
        WalPage page;
        const int32_t probe = zeros.GetFildLength(f + head.cell1 + 3);
        page.width = probe == 1 ? 17 : probe == 2 ? 33 : 0;
        // Every anchor has 0x11 (SMS) or 0x08 (iMessage) as its second byte.
        const int64_t end = std::min(f + pageSize, file->size());
        const uint8_t* data = file->data();
        for (int64_t k = f; k < end; ++k) {
            const uint8_t second = k + 1 < file->size() ? data[k + 1] : uint8_t{0};
            if (second == 0x11) {
                if (carve_detail::patternAt(file, k, kSmsAnchor, 4))
                    walSmsRecord(sink, file, zeros, k, page, columns);
            } else if (second == 0x08) {
                if (carve_detail::patternAt(file, k, kIMessageAnchorA, 8) ||
                    carve_detail::patternAt(file, k, kIMessageAnchorB, 8))
                    walIMessageRecord(sink, file, zeros, k, page, columns);
            }
        }
    });
}

void scanRollbackFormatMessagePages(RecordSink& sink, const RawFile* file, const PageGeometry& geometry) {
    const int64_t pageSize = geometry.pageSize;
    ColumnReader columns(file);
    forEachMessagePage(file, geometry, false, [&](const MessagePageHead& head) {
        const int64_t f = head.offset;
        if (!olderPageProbe(file, f + head.cell2 + 10, 14) && !olderPageProbe(file, f + head.cell1 + 10, 14))
            return;
        const int64_t end = std::min(f + pageSize, file->size());
        const uint8_t* data = file->data();
        for (int64_t k = f; k < end; ++k) {
            if (k + 1 < file->size() && data[k + 1] == 0x11 && carve_detail::patternAt(file, k, kSmsAnchor, 4))
                rollbackSmsRecord(sink, file, k, columns);
        }
    });
}

}  // namespace kestrel
