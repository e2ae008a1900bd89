#include "results/spool_file.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace kestrel {
namespace {

constexpr size_t kFlushAt = size_t{1} << 20;

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::unique_ptr<SpoolFile> SpoolFile::create(std::string* error) {
    const char* env = std::getenv("TMPDIR");
    const std::string folder = env != nullptr && *env != '\0' ? env : "/tmp";
    int fd = -1;
#ifdef O_TMPFILE
    fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
    if (fd < 0) {
        std::string path = folder + "/kestrel-spool-XXXXXX";
        std::vector<char> name(path.begin(), path.end());
        name.push_back('\0');
        fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd >= 0) ::unlink(name.data());
    }
    if (fd < 0) {
        if (error != nullptr) *error = std::string("no temporary file can be made: ") + std::strerror(errno);
        return nullptr;
    }
    return std::unique_ptr<SpoolFile>(new SpoolFile(fd));
}

SpoolFile::SpoolFile(int fd) : fd_(fd) { buffer_.reserve(kFlushAt + (kFlushAt >> 2)); }

SpoolFile::~SpoolFile() {
    if (fd_ >= 0) ::close(fd_);
}

void SpoolFile::commit() {
    if (buffer_.size() >= kFlushAt) flush();
}

bool SpoolFile::flush() {
    if (buffer_.empty()) return good_;
    if (good_ && !writeAll(fd_, buffer_.data(), buffer_.size())) good_ = false;
    written_ += buffer_.size();
    buffer_.clear();
    return good_;
}

bool SpoolFile::read(uint64_t offset, size_t length, std::string& out) {
    out.clear();
    if (offset + length > size()) return false;
    if (offset >= written_) {
        out.assign(buffer_, static_cast<size_t>(offset - written_), length);
        return true;
    }
    if (!flush()) return false;
    out.resize(length);
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::pread(fd_, out.data() + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            good_ = false;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool SpoolFile::copyTo(int fd, uint64_t begin, uint64_t end) {
    if (!flush()) return false;
    // The kernel copies from file to file (or pipe) without this process
    // reading the bytes; where it cannot, they are read and written here.
    off_t at = static_cast<off_t>(begin);
    while (static_cast<uint64_t>(at) < end) {
        const size_t length = static_cast<size_t>(std::min<uint64_t>(end - static_cast<uint64_t>(at), size_t{1} << 30));
        const ssize_t n = ::sendfile(fd, fd_, &at, length);
        if (n > 0) continue;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EINVAL || errno == ENOSYS) && static_cast<uint64_t>(at) == begin) break;
        return false;
    }
    if (static_cast<uint64_t>(at) >= end) return true;
    std::string chunk;
    while (begin < end) {
        const size_t length = static_cast<size_t>(std::min<uint64_t>(end - begin, kFlushAt));
        if (!read(begin, length, chunk) || !writeAll(fd, chunk.data(), chunk.size())) return false;
        begin += length;
    }
    return true;
}

}  // namespace kestrel
