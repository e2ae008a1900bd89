#include "app/working_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>

namespace kestrel {
namespace {

// ---- The table of live folders, read by the signal handler ----------------

constexpr int kSlots = 16;
constexpr size_t kPathBytes = PATH_MAX;

// state: 0 free, 1 being filled in, 2 live (the handler cleans it).
struct Slot {
    std::atomic<int> state{0};
    char path[kPathBytes];
};
Slot gSlots[kSlots];

std::atomic<bool> gStop{false};
std::atomic<int> gStopSignal{0};
std::atomic<int> gScansRunning{0};
std::atomic<bool> gCleaning{false};

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
struct sigaction gPrevious[sizeof kSignals / sizeof kSignals[0]];
std::once_flag gInstalled;

// Removes every entry of an open directory (files only; a working folder
// holds nothing else) and then the directory. Only raw system calls.
void sweepFolder(const char* path) {
    int dir = ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir >= 0) {
        alignas(8) char buffer[4096];
        for (int rounds = 0; rounds < 1000; ++rounds) {
            long got = ::syscall(SYS_getdents64, dir, buffer, sizeof buffer);
            if (got <= 0) break;
            bool removedAny = false;
            for (long at = 0; at < got;) {
                // struct linux_dirent64: ino (8), off (8), reclen (2), type (1), name.
                unsigned short length = 0;
                std::memcpy(&length, buffer + at + 16, sizeof length);
                const char* name = buffer + at + 19;
                const bool dot = name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
                if (!dot && ::unlinkat(dir, name, 0) == 0) removedAny = true;
                if (length == 0) break;
                at += length;
            }
            if (!removedAny) continue;  // the next part of the listing, if any
            // Entries removed while listing: start the listing again.
            ::lseek(dir, 0, SEEK_SET);
        }
        ::close(dir);
    }
    ::rmdir(path);
}

void cleanAllFolders() {
    bool expected = false;
    if (!gCleaning.compare_exchange_strong(expected, true)) return;
    for (Slot& slot : gSlots) {
        if (slot.state.load(std::memory_order_acquire) == 2) sweepFolder(slot.path);
    }
    gCleaning.store(false);
}

void onSignal(int signal) {
    const int savedErrno = errno;
    if ((signal == SIGINT || signal == SIGTERM) && gScansRunning.load() > 0 && !gStop.exchange(true)) {
        gStopSignal.store(signal);
        errno = savedErrno;
        return;  // the running scan stops at its next page or row
    }
    cleanAllFolders();
    for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i) {
        if (kSignals[i] != signal) continue;
        if (gPrevious[i].sa_handler != SIG_DFL && gPrevious[i].sa_handler != SIG_IGN &&
            (gPrevious[i].sa_flags & SA_SIGINFO) == 0) {
            gPrevious[i].sa_handler(signal);
            errno = savedErrno;
            return;
        }
    }
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(signal, &fallback, nullptr);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, signal);
    ::sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
    ::raise(signal);
    errno = savedErrno;
}

// Installs the handler once, for each signal the program does not ignore.
void installHandlers() {
    std::call_once(gInstalled, [] {
        for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i) {
            struct sigaction current {};
            if (::sigaction(kSignals[i], nullptr, &current) != 0) continue;
            gPrevious[i] = current;
            if (current.sa_handler == SIG_IGN) continue;
            struct sigaction ours {};
            ours.sa_handler = onSignal;
            sigemptyset(&ours.sa_mask);
            for (int other : kSignals) sigaddset(&ours.sa_mask, other);
            ours.sa_flags = SA_RESTART;
            ::sigaction(kSignals[i], &ours, nullptr);
        }
    });
}

int claimSlot(const std::string& path) {
    if (path.size() >= kPathBytes) return -1;
    for (int i = 0; i < kSlots; ++i) {
        int expected = 0;
        if (gSlots[i].state.compare_exchange_strong(expected, 1)) {
            std::memcpy(gSlots[i].path, path.c_str(), path.size() + 1);
            gSlots[i].state.store(2, std::memory_order_release);
            return i;
        }
    }
    return -1;
}

void releaseSlot(int slot) {
    if (slot >= 0) gSlots[slot].state.store(0, std::memory_order_release);
}

// ---- Copying --------------------------------------------------------------

std::string errnoText(const char* what, int error) { return std::string(what) + ": " + std::strerror(error); }

std::string kindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "is a directory";
    if (S_ISFIFO(mode)) return "is a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "is a device";
    if (S_ISSOCK(mode)) return "is a socket";
    if (S_ISLNK(mode)) return "is a symbolic link";
    return "is not a regular file";
}

bool insideFolder(const std::string& path, const std::string& folder) {
    if (folder == "/") return true;
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

std::string resolved(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (real == nullptr) return std::string();
    std::string result = real;
    std::free(real);
    return result;
}

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t wrote = ::write(fd, data, size);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;
        data += wrote;
        size -= static_cast<size_t>(wrote);
    }
    return true;
}

// Copies bytes [from, to) of `in` to the same place of `out`.
bool copyRange(int in, int out, off_t from, off_t to) {
    bool kernelCopy = true;
    while (from < to) {
        const size_t want = static_cast<size_t>(std::min<off_t>(to - from, off_t{1} << 30));
        if (kernelCopy) {
            loff_t inAt = from;
            loff_t outAt = from;
            ssize_t got = ::copy_file_range(in, &inAt, out, &outAt, want, 0);
            if (got > 0) {
                from += got;
                continue;
            }
            if (got == 0) return false;  // the source shrank under us
            if (errno == EINTR) continue;
            if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) return false;
            kernelCopy = false;
        }
        static thread_local char buffer[1 << 16];
        ssize_t got = ::pread(in, buffer, std::min(want, sizeof buffer), from);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        if (::lseek(out, from, SEEK_SET) < 0 || !writeAll(out, buffer, static_cast<size_t>(got))) return false;
        from += got;
    }
    return true;
}

// Copies the data regions of `in` only, so that holes stay holes.
bool copySparse(int in, int out, off_t size) {
    off_t at = 0;
    while (at < size) {
        off_t data = ::lseek(in, at, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO) break;  // only a hole is left
            return copyRange(in, out, at, size);  // no hole support here: copy it all
        }
        off_t hole = ::lseek(in, data, SEEK_HOLE);
        if (hole < 0 || hole > size) hole = size;
        if (!copyRange(in, out, data, hole)) return false;
        at = hole;
    }
    return ::ftruncate(out, size) == 0;
}

}  // namespace

std::string sourceRefusal(const std::string& source, const std::string& backupFolder, std::string& openPath) {
    struct stat link {};
    if (::lstat(source.c_str(), &link) != 0) return errnoText("cannot be read", errno);
    openPath = source;
    if (!backupFolder.empty()) {
        // Every link on the way, in the last name or in a folder, must stay
        // inside the backup folder.
        std::string real = resolved(source);
        std::string root = resolved(backupFolder);
        if (real.empty() || root.empty()) return errnoText("cannot be read", errno);
        if (!insideFolder(real, root)) return "is a symbolic link leading out of the backup folder";
        openPath = real;
    } else if (S_ISLNK(link.st_mode)) {
        return "is a symbolic link";
    }
    if (S_ISLNK(link.st_mode) && ::stat(openPath.c_str(), &link) != 0) return errnoText("cannot be read", errno);
    if (!S_ISREG(link.st_mode)) return kindOf(link.st_mode);
    return std::string();
}

std::unique_ptr<WorkingFolder> WorkingFolder::create(std::string* error) {
    installHandlers();
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/kestrel-scan-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        if (error != nullptr) *error = errnoText("cannot make a working folder", errno);
        return nullptr;
    }
    ::chmod(pattern.c_str(), 0700);  // mkdtemp makes it 0700; say so whatever the umask
    int slot = claimSlot(pattern);
    if (slot < 0) {
        ::rmdir(pattern.c_str());
        if (error != nullptr) *error = "too many working folders at once";
        return nullptr;
    }
    return std::unique_ptr<WorkingFolder>(new WorkingFolder(pattern, slot));
}

WorkingFolder::~WorkingFolder() { remove(); }

void WorkingFolder::remove() {
    if (removed_) return;
    removed_ = true;
    sweepFolder(path_.c_str());
    releaseSlot(slot_);
}

CopyOutcome WorkingFolder::copyIn(const std::string& source, const std::string& destinationName,
                                  const std::string& backupFolder) {
    CopyOutcome outcome{destinationName, std::string()};
    auto skip = [&](std::string reason) {
        outcome.reason = std::move(reason);
        return outcome;
    };
    if (removed_) return skip("the working folder is gone");
    if (destinationName.empty() || destinationName.find('/') != std::string::npos || destinationName[0] == '.') {
        return skip("bad name for a copy");
    }
    std::string openPath;
    std::string refusal = sourceRefusal(source, backupFolder, openPath);
    if (!refusal.empty()) return skip(std::move(refusal));

    // O_NONBLOCK: should a FIFO take the file's place after the check, the
    // open still returns at once and the fstat below refuses it.
    int in = ::open(openPath.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (in < 0) return skip(errnoText("cannot be opened", errno));
    struct stat info {};
    if (::fstat(in, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(in);
        return skip(kindOf(info.st_mode));
    }
    ::fcntl(in, F_SETFL, ::fcntl(in, F_GETFL) & ~O_NONBLOCK);

    const uint64_t allocated = std::min<uint64_t>(static_cast<uint64_t>(info.st_size),
                                                  static_cast<uint64_t>(info.st_blocks) * 512u);
    struct statvfs space {};
    uint64_t available = UINT64_MAX;
    if (::statvfs(path_.c_str(), &space) == 0) {
        available = static_cast<uint64_t>(space.f_bavail) * static_cast<uint64_t>(space.f_frsize);
    }
    if (spaceLimit_ != UINT64_MAX) available = std::min(available, spaceLimit_ > spaceUsed_ ? spaceLimit_ - spaceUsed_ : 0);
    if (allocated > available) {
        ::close(in);
        return skip("is larger (" + std::to_string(allocated) + " bytes) than the free space of the working folder (" +
                    std::to_string(available) + " bytes)");
    }

    const std::string target = pathOf(destinationName);
    int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0) {
        int error = errno;
        ::close(in);
        return skip(errnoText("cannot make its copy", error));
    }
    bool done = ::ioctl(out, FICLONE, in) == 0;
    if (!done) done = copySparse(in, out, info.st_size);
    const int error = errno;
    ::close(in);
    if (::close(out) != 0) done = false;
    if (!done) {
        ::unlink(target.c_str());
        return skip(errnoText("copy failed", error));
    }
    spaceUsed_ += allocated;
    return outcome;
}

std::vector<CopyOutcome> WorkingFolder::copyAll(const std::vector<CopyRequest>& requests,
                                                const std::string& backupFolder) {
    std::vector<CopyOutcome> outcomes;
    outcomes.reserve(requests.size());
    for (const CopyRequest& request : requests) {
        outcomes.push_back(copyIn(request.source, request.destinationName, backupFolder));
    }
    return outcomes;
}

std::vector<CopyRequest> databaseWithCompanions(const std::string& source, const std::string& destinationName) {
    std::vector<CopyRequest> requests{{source, destinationName}};
    for (const char* suffix : {"-wal", "-shm", "-journal"}) {
        struct stat info {};
        if (::lstat((source + suffix).c_str(), &info) == 0) {
            requests.push_back({source + suffix, destinationName + suffix});
        }
    }
    return requests;
}

bool stopRequested() { return gStop.load(std::memory_order_relaxed); }
int stopSignal() { return gStopSignal.load(); }
void requestStop() { gStop.store(true); }

ScanRunning::ScanRunning() {
    installHandlers();
    gStop.store(false);
    gStopSignal.store(0);
    gScansRunning.fetch_add(1);
}

ScanRunning::~ScanRunning() { gScansRunning.fetch_sub(1); }

}  // namespace kestrel
