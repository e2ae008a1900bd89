// The write-ahead log and the rollback journal of a database, read as raw
// bytes: every page image they hold, with the frame and commit it belongs to.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "carve/sqlite_raw.h"

namespace kestrel::carving {

struct WalFrame {
    int64_t index = 0;        // 1-based position in the log
    uint32_t pgno = 0;        // the database page the image is of
    uint32_t commitSize = 0;  // database size in pages after a commit frame, else 0
    int64_t offset = 0;       // offset of the frame header in the log
    int64_t pageOffset = 0;   // offset of the page image in the log
    // The frame carries the header's salts and continues the checksum chain.
    bool valid = false;
    // 1-based commit the frame belongs to; none for frames after the last
    // commit and for frames outside the valid chain (left from earlier logs).
    std::optional<int64_t> commit;
};

class WalReader {
public:
    // Reads the log's header and checks its frames; `databasePageSize` is
    // used when the header's own page size is not valid.
    WalReader(const RawFile* wal, int64_t databasePageSize);

    bool present() const { return wal_ != nullptr && pageSize_ > 0; }
    int64_t pageSize() const { return pageSize_; }
    int64_t frameCount() const { return frameCount_; }
    int64_t validFrames() const { return validFrames_; }
    int64_t lastCommitFrame() const { return lastCommitFrame_; }  // 0 when nothing committed
    int64_t commitCount() const { return commitCount_; }
    uint32_t committedPageCount() const { return committedPages_; }

    // Every whole frame in the log, in order, with its page image.
    void forEachFrame(const std::function<void(const WalFrame&, const uint8_t* page)>& visit) const;

private:
    const RawFile* wal_;
    int64_t pageSize_ = 0;
    bool bigEndianChecksum_ = false;
    uint32_t salt1_ = 0, salt2_ = 0;
    int64_t frameCount_ = 0;
    int64_t validFrames_ = 0;
    int64_t lastCommitFrame_ = 0;
    int64_t commitCount_ = 0;
    uint32_t committedPages_ = 0;
};

struct JournalPage {
    uint32_t pgno = 0;
    int64_t pageOffset = 0;  // offset of the page image in the journal
};

// Every page image of a rollback journal: from its header (page size and
// sector size) when the header is intact, else (a journal whose header was
// zeroed at commit) found by its page records at a sector boundary.
// `databasePageSize` is used when the header gives none; page numbers above
// `maxPgno` end a run of records.
void forEachJournalPage(const RawFile* journal, int64_t databasePageSize, uint32_t maxPgno,
                        const std::function<void(const JournalPage&, const uint8_t* page)>& visit);

}  // namespace kestrel::carving
