#include "results/file_writing.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

namespace kestrel {
namespace {

void setError(std::string* error, const std::string& what, int err) {
    if (error != nullptr) *error = what + ": " + std::strerror(err);
}

std::string folderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// A fresh name for a temporary file in `folder`; independent of the final
// name, so a long final name cannot make the temporary one too long.
std::string temporaryName(const std::string& folder) {
    static std::atomic<unsigned> counter{0};
    static const unsigned seed = std::random_device{}();
    char name[64];
    std::snprintf(name, sizeof name, ".kestrel-%ld-%u-%u.tmp", static_cast<long>(getpid()), seed,
                  counter.fetch_add(1));
    return folder + "/" + name;
}

bool writeAll(int fd, std::string_view data) {
    const char* p = data.data();
    size_t left = data.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool writeFileAtomically(const std::string& path, std::string_view data, std::string* error) {
    const std::string folder = folderOf(path);
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        temp = temporaryName(folder);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        setError(error, "cannot create a file in " + folder, errno);
        return false;
    }
    if (!writeAll(fd, data)) {
        int err = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        setError(error, "cannot write " + path, err);
        return false;
    }
    if (::close(fd) != 0) {
        int err = errno;
        ::unlink(temp.c_str());
        setError(error, "cannot write " + path, err);
        return false;
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(temp.c_str());
        setError(error, "cannot write " + path, err);
        return false;
    }
    return true;
}

RenameOutcome renameWithoutReplacing(const std::string& from, const std::string& to, std::string* error) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return RenameOutcome::Renamed;
    }
    int err = errno;
    if (err == EEXIST) return RenameOutcome::TargetExists;
    if (err == EINVAL || err == ENOSYS || err == ENOTSUP) {
        // A file system without the no-replace rename: a hard link fails when
        // the target exists, which keeps the same guarantee.
        if (::link(from.c_str(), to.c_str()) == 0) {
            ::unlink(from.c_str());
            return RenameOutcome::Renamed;
        }
        err = errno;
        if (err == EEXIST) return RenameOutcome::TargetExists;
        if (err == EPERM || err == ENOTSUP || err == EOPNOTSUPP) {
            // No hard links either: test, then rename (a narrow race remains).
            struct stat st;
            if (::lstat(to.c_str(), &st) == 0) return RenameOutcome::TargetExists;
            if (::rename(from.c_str(), to.c_str()) == 0) return RenameOutcome::Renamed;
            err = errno;
        }
    }
    setError(error, "cannot rename " + from + " to " + to, err);
    return RenameOutcome::Failed;
}

std::string numberedFileName(const std::string& name, int n) {
    const size_t dot = name.rfind('.');
    const std::string suffix = " " + std::to_string(n);
    if (dot == std::string::npos || dot == 0) return name + suffix;
    return name.substr(0, dot) + suffix + name.substr(dot);
}

bool writeNewFile(const std::string& folder, const std::string& name, std::string_view data, std::string* finalName,
                  std::string* error) {
    if (!isPlainFileName(name)) {
        if (error != nullptr) *error = "\"" + name + "\" cannot be a file name";
        return false;
    }
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        temp = temporaryName(folder);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        setError(error, "cannot create a file in " + folder, errno);
        return false;
    }
    const bool written = writeAll(fd, data);
    int err = errno;
    if (::close(fd) != 0 && written) {
        err = errno;
        ::unlink(temp.c_str());
        setError(error, "cannot write " + folder + "/" + name, err);
        return false;
    }
    if (!written) {
        ::unlink(temp.c_str());
        setError(error, "cannot write " + folder + "/" + name, err);
        return false;
    }
    constexpr int kMostNumbers = 10000;
    for (int n = 1; n <= kMostNumbers; ++n) {
        const std::string candidate = n == 1 ? name : numberedFileName(name, n);
        std::string renameError;
        switch (renameWithoutReplacing(temp, folder + "/" + candidate, &renameError)) {
            case RenameOutcome::Renamed:
                if (finalName != nullptr) *finalName = candidate;
                return true;
            case RenameOutcome::TargetExists:
                continue;
            case RenameOutcome::Failed:
                ::unlink(temp.c_str());
                if (error != nullptr) *error = renameError;
                return false;
        }
    }
    ::unlink(temp.c_str());
    if (error != nullptr) *error = "every name from " + name + " to " + numberedFileName(name, kMostNumbers) + " is taken";
    return false;
}

bool isPlainFileName(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    return name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

}  // namespace kestrel
