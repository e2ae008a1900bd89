// A temporary file for what a scan writes before it can be shown: nameless
// from the start (unlinked, or made with O_TMPFILE), readable and writable
// by its owner only, under $TMPDIR (else /tmp), gone when it is closed or the
// process ends. Appends go through one buffer; reads see every byte appended.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace kestrel {

class SpoolFile {
public:
    // A new empty spool; null, with `error` set, when no file can be made.
    static std::unique_ptr<SpoolFile> create(std::string* error = nullptr);
    ~SpoolFile();
    SpoolFile(const SpoolFile&) = delete;
    SpoolFile& operator=(const SpoolFile&) = delete;

    // The buffer appends collect in; `commit` hands what was added to it
    // since the last call on to the file (written once it holds 1 MiB).
    std::string& buffer() { return buffer_; }
    void commit();
    void append(std::string_view bytes) {
        buffer_.append(bytes);
        commit();
    }
    // Bytes appended so far.
    uint64_t size() const { return written_ + buffer_.size(); }
    // Reads `length` bytes at `offset` (appended earlier) into `out`.
    bool read(uint64_t offset, size_t length, std::string& out);
    // Writes bytes [begin, end) of the spool to the descriptor.
    bool copyTo(int fd, uint64_t begin, uint64_t end);
    // False once a write or read failed (the disk is full ...): what the
    // spool holds is then incomplete.
    bool good() const { return good_; }

private:
    explicit SpoolFile(int fd);
    bool flush();

    int fd_ = -1;
    std::string buffer_;
    uint64_t written_ = 0;
    bool good_ = true;
};

}  // namespace kestrel
