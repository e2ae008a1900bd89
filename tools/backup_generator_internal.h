// Pieces shared by the generator's source files; not part of its interface.
#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

#include "tools/backup_generator.h"

struct sqlite3;
struct sqlite3_stmt;

namespace kestrel::gen::detail {

// Thrown inside the generator; writeBackup turns it into its error text.
struct GenError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// splitmix64: a tiny generator whose output is the same on every platform and
// standard library, so generated files are reproducible byte for byte.
class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    // Uniform enough for test data: 0 <= result < n (n > 0).
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
    bool chance(uint32_t percent) { return below(100) < percent; }

private:
    uint64_t state_;
};

// "8-4-4-4-12" upper-case hexadecimal, 36 characters.
std::string makeUuid(Rng& rng);
// n upper-case hexadecimal digits.
std::string makeHex(Rng& rng, int n);

// Owning connection with the few helpers the writers need.
class Db {
public:
    explicit Db(const std::filesystem::path& file);
    ~Db();
    Db(const Db&) = delete;
    Db& operator=(const Db&) = delete;
    void exec(const std::string& sql);
    sqlite3* handle() const { return db_; }
    int64_t lastRowid() const;
    // Closes now and reports a failure; every statement must be finalized first.
    void close();

private:
    sqlite3* db_ = nullptr;
};

// Prepared statement; bind() positions count from 1 as in SQLite.
class Stmt {
public:
    Stmt(Db& db, const std::string& sql);
    ~Stmt();
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;
    Stmt& null(int pos);
    Stmt& integer(int pos, int64_t v);
    Stmt& text(int pos, std::string_view v);
    Stmt& optText(int pos, const std::optional<std::string>& v);  // nullopt binds NULL
    Stmt& blob(int pos, std::string_view v);
    Stmt& optBlob(int pos, const std::optional<std::string>& v);
    Stmt& rowidOrNull(int pos, int64_t rowid);  // 0 binds NULL (next free row number)
    // Steps to completion and resets for the next row.
    void run();
    // Steps once; true while rows come back.
    bool step();
    int64_t columnInt(int col) const;  // of the current row, from 0
    void reset();

private:
    Db& db_;
    sqlite3_stmt* st_ = nullptr;
};

// Sets up a new, empty database: page size and delete mode as asked, fast writing.
void prepareNewDatabase(Db& db, const BackupSpec& plan);

void writeMessageDatabase(const std::filesystem::path& file, const BackupSpec& plan);
void writeAddressBook(const std::filesystem::path& file, const BackupSpec& plan);

// A typedstream archive of an attributed string holding `text`, the form the
// devices keep next to the plain text; always longer than 57 bytes.
std::string attributedBodyFor(std::string_view text);

// Reference-date (2001-01-01) seconds of a fixed moment used in the plists.
constexpr int64_t kBackupMoment = 410697000;  // 2014-01-06 10:30:00 UTC

}  // namespace kestrel::gen::detail
