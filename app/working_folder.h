// The working folder of a scan: a private folder (mode 0700) under $TMPDIR
// that holds copies of a backup's databases, so that nothing a scan does
// (SQLite's recovery of a journal, a checkpoint, a change of journal mode)
// ever reaches the backup. The backup's files are only ever opened for
// reading, and only when they are regular files.
//
// The folder is removed when its object goes away and also when the process
// is ended by SIGINT, SIGTERM, SIGHUP or SIGPIPE: every live folder is
// listed in a process-wide table that the signal handler walks with
// async-signal-safe calls only (unlinkat, rmdir) before the signal is raised
// again with its default action.
//
// While a scan runs (a ScanRunning object exists), the first SIGINT or
// SIGTERM does not end the process: it sets the stop flag, which long steps
// poll through stopRequested() to end early and clean up on their own. A
// second one ends the process as above.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kestrel {

// One file to copy: where it lies and the name its copy takes.
struct CopyRequest {
    std::string source;
    std::string destinationName;
};

// What happened to one requested file. `reason` is empty when the copy was
// made; otherwise it says why the file was skipped, in words fit for a log
// line (it names no path: callers add what they may show).
struct CopyOutcome {
    std::string destinationName;
    std::string reason;
    bool copied() const { return reason.empty(); }
};

class WorkingFolder {
public:
    // Makes a new folder "kestrel-scan-XXXXXX" under $TMPDIR (else /tmp).
    // Gives nothing, with `error` set, when it cannot be made.
    static std::unique_ptr<WorkingFolder> create(std::string* error = nullptr);

    ~WorkingFolder();
    WorkingFolder(const WorkingFolder&) = delete;
    WorkingFolder& operator=(const WorkingFolder&) = delete;

    const std::string& path() const { return path_; }
    std::string pathOf(const std::string& destinationName) const { return path_ + "/" + destinationName; }

    // Copies one file into the folder. `backupFolder`, when given, is the
    // folder the source must lie in once symbolic links are resolved; a link
    // leading elsewhere is skipped. A source that is absent, not a regular
    // file, unreadable or larger than the space left is skipped with its
    // reason. Sparse files stay sparse; a reflink is used where the file
    // system offers one, else copy_file_range.
    CopyOutcome copyIn(const std::string& source, const std::string& destinationName,
                       const std::string& backupFolder = std::string());

    // copyIn for each request in order.
    std::vector<CopyOutcome> copyAll(const std::vector<CopyRequest>& requests,
                                     const std::string& backupFolder = std::string());

    // At most this many bytes of copies are accepted in all, whatever the
    // file system has free (which is always checked as well).
    void setSpaceLimit(uint64_t bytes) { spaceLimit_ = bytes; }

    // Removes the folder and everything in it now; the destructor does
    // nothing afterwards.
    void remove();

private:
    WorkingFolder(std::string path, int slot) : path_(std::move(path)), slot_(slot) {}

    std::string path_;
    int slot_;
    uint64_t spaceLimit_ = UINT64_MAX;
    uint64_t spaceUsed_ = 0;
    bool removed_ = false;
};

// Whether `source` may be read as one of a backup's files: a regular file
// whose links, when `backupFolder` is given, all stay inside that folder
// (without it, the file itself may not be a link). Gives the empty text,
// with the path to open in `openPath`, or why not, in words fit for a log
// line (no path).
std::string sourceRefusal(const std::string& source, const std::string& backupFolder, std::string& openPath);

// The database of a backup and the files SQLite keeps beside it, as copy
// requests: the database under `destinationName`, and each of "-wal",
// "-shm", "-journal" that exists beside `source` under the same name with
// that suffix.
std::vector<CopyRequest> databaseWithCompanions(const std::string& source, const std::string& destinationName);

// True once a stop was asked for (SIGINT or SIGTERM during a scan, or
// requestStop()). Cheap enough to poll between pages or rows.
bool stopRequested();
void requestStop();
// The signal (SIGINT or SIGTERM) that asked the running or last scan to
// stop; 0 when none did (requestStop(), or no stop at all).
int stopSignal();

// Marks a scan as running for as long as it exists: clears the stop flag at
// the start and makes the first SIGINT/SIGTERM set it instead of ending the
// process.
class ScanRunning {
public:
    ScanRunning();
    ~ScanRunning();
    ScanRunning(const ScanRunning&) = delete;
    ScanRunning& operator=(const ScanRunning&) = delete;
};

}  // namespace kestrel
