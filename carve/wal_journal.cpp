#include "carve/wal_journal.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace kestrel::carving {

namespace {

uint32_t be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

bool validPageSize(int64_t size) { return size >= 512 && size <= 65536 && (size & (size - 1)) == 0; }

// The log's checksum over n bytes (a multiple of 8), continuing s0 and s1.
void walChecksum(bool bigEndian, const uint8_t* p, size_t n, uint32_t& s0, uint32_t& s1) {
    for (size_t i = 0; i + 8 <= n; i += 8) {
        uint32_t x0, x1;
        if (bigEndian) {
            x0 = be32(p + i);
            x1 = be32(p + i + 4);
        } else {
            std::memcpy(&x0, p + i, 4);
            std::memcpy(&x1, p + i + 4, 4);
            if constexpr (std::endian::native == std::endian::big) {
                x0 = __builtin_bswap32(x0);
                x1 = __builtin_bswap32(x1);
            }
        }
        s0 += x0 + s1;
        s1 += x1 + s0;
    }
}

}  // namespace

WalReader::WalReader(const RawFile* wal, int64_t databasePageSize) : wal_(wal) {
    if (wal_ == nullptr || wal_->size() < 32) return;
    const uint8_t* d = wal_->data();
    const uint32_t magic = be32(d);
    if (magic != 0x377f0682 && magic != 0x377f0683) return;
    bigEndianChecksum_ = (magic & 1) != 0;
    int64_t size = be32(d + 8);
    if (size == 1) size = 65536;
    if (!validPageSize(size)) size = databasePageSize;
    if (!validPageSize(size)) return;
    pageSize_ = size;
    salt1_ = be32(d + 16);
    salt2_ = be32(d + 20);
    uint32_t s0 = 0, s1 = 0;
    walChecksum(bigEndianChecksum_, d, 24, s0, s1);
    bool chain = s0 == be32(d + 24) && s1 == be32(d + 28);
    const int64_t frameSize = 24 + pageSize_;
    frameCount_ = (wal_->size() - 32) / frameSize;
    for (int64_t i = 0; i < frameCount_ && chain; ++i) {
        const uint8_t* f = d + 32 + i * frameSize;
        if (be32(f + 8) != salt1_ || be32(f + 12) != salt2_) break;
        walChecksum(bigEndianChecksum_, f, 8, s0, s1);
        walChecksum(bigEndianChecksum_, f + 24, static_cast<size_t>(pageSize_), s0, s1);
        if (s0 != be32(f + 16) || s1 != be32(f + 20)) break;
        validFrames_ = i + 1;
        if (be32(f + 4) != 0) {
            lastCommitFrame_ = i + 1;
            committedPages_ = be32(f + 4);
            ++commitCount_;
        }
    }
}

void WalReader::forEachFrame(const std::function<void(const WalFrame&, const uint8_t*)>& visit) const {
    if (!present()) return;
    const uint8_t* d = wal_->data();
    const int64_t frameSize = 24 + pageSize_;
    int64_t commit = 1;
    for (int64_t i = 0; i < frameCount_; ++i) {
        const uint8_t* f = d + 32 + i * frameSize;
        WalFrame frame;
        frame.index = i + 1;
        frame.pgno = be32(f);
        frame.commitSize = be32(f + 4);
        frame.offset = 32 + i * frameSize;
        frame.pageOffset = frame.offset + 24;
        frame.valid = frame.index <= validFrames_;
        if (frame.valid && frame.index <= lastCommitFrame_) frame.commit = commit;
        if (frame.valid && frame.commitSize != 0) ++commit;
        visit(frame, f + 24);
    }
}

void forEachJournalPage(const RawFile* journal, int64_t databasePageSize, uint32_t maxPgno,
                        const std::function<void(const JournalPage&, const uint8_t*)>& visit) {
    if (journal == nullptr || journal->size() < 512) return;
    static constexpr uint8_t kMagic[8] = {0xd9, 0xd5, 0x05, 0xf9, 0x20, 0xa1, 0x63, 0xd7};
    const uint8_t* d = journal->data();
    const int64_t size = journal->size();
    int64_t pageSize = databasePageSize;
    int64_t sector = 0;
    const bool header = std::memcmp(d, kMagic, 8) == 0;
    if (header) {
        const int64_t headerSector = be32(d + 20);
        const int64_t headerPage = be32(d + 24);
        if (validPageSize(headerPage)) pageSize = headerPage;
        if (headerSector >= 32 && headerSector <= 65536 && (headerSector & (headerSector - 1)) == 0)
            sector = headerSector;
    }
    if (!validPageSize(pageSize)) return;
    const int64_t recordSize = pageSize + 8;
    auto plausible = [&](int64_t at) {
        if (at < 0 || at + recordSize > size) return false;
        const uint32_t pgno = be32(d + at);
        return pgno != 0 && pgno <= maxPgno;
    };
    int64_t start = sector;
    if (sector == 0) {
        // No intact header: the first record lies at a sector boundary.
        start = -1;
        for (int64_t s = 512; s <= 65536 && s < size; s *= 2) {
            if (plausible(s) && plausible(s + recordSize)) {
                start = s;
                break;
            }
        }
        if (start < 0) {
            for (int64_t s = 512; s <= 65536 && s < size; s *= 2) {
                if (plausible(s)) {
                    start = s;
                    break;
                }
            }
        }
        if (start < 0) return;
        sector = start;
    }
    int64_t at = start;
    while (at + recordSize <= size) {
        if (!plausible(at)) {
            // The end of a segment: another may follow at the next sector boundary.
            const int64_t next = (at + sector - 1) / sector * sector;
            if (next + 28 <= size && std::memcmp(d + next, kMagic, 8) == 0 && plausible(next + sector)) {
                at = next + sector;
                continue;
            }
            break;
        }
        JournalPage page;
        page.pgno = be32(d + at);
        page.pageOffset = at + 4;
        visit(page, d + at + 4);
        at += recordSize;
    }
}

}  // namespace kestrel::carving
