// Opening a password-protected backup: the keybag from Manifest.plist, the
// password-derived key, the class keys, and the file index (the encrypted
// Manifest.db of iOS 10.2+, a plain Manifest.db of iOS 10.0/10.1, or the
// Manifest.mbdb of iOS 5 to 9). Files are found by domain and relative path
// and decrypted one at a time to a destination the caller chooses; a file
// that cannot be decrypted fails alone.
//
// EncryptedBackup::open blocks for the key derivation: seconds with the real
// iteration counts (10,000,000 PBKDF2-HMAC-SHA256 rounds). Run it on a worker
// thread and pass a progress callback, which can also cancel.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crypto/key_material.h"
#include "crypto/manifest_records.h"

struct sqlite3;

namespace kestrel::crypto {

enum class OpenErrorKind {
    None,
    WrongPassword,       // the class keys' integrity check fails
    Unreadable,          // Manifest.plist missing or not a property list
    NotEncrypted,        // no keybag and a plain Manifest.db: nothing to decrypt
    DamagedKeybag,       // truncated or malformed keybag, missing SALT/ITER
    MissingClassKey,     // ManifestKey names a class the keybag cannot give
    MissingManifestKey,  // an encrypted Manifest.db without ManifestKey
    DamagedManifest,     // Manifest.db / Manifest.mbdb missing, undecryptable or unreadable
    Cancelled,           // the progress callback asked to stop
};

struct OpenError {
    OpenErrorKind kind = OpenErrorKind::None;
    std::string message;  // one line for the user
};

inline constexpr const char* kWrongPasswordMessage = "wrong password for this backup";

// The databases Kestrel reads, by domain and relative path.
inline constexpr const char* kHomeDomain = "HomeDomain";
inline constexpr const char* kMessageDBPath = "Library/SMS/sms.db";
inline constexpr const char* kAddressBookDBPath = "Library/AddressBook/AddressBook.sqlitedb";

enum class FileStatus { Found, NotPresent, Error };

struct FileOutcome {
    FileStatus status = FileStatus::NotPresent;
    std::string message;  // why, when status is Error
    std::string note;     // a remark on a file that was written (its size disagrees with its record, ...)
    uint64_t bytes = 0;   // plaintext bytes written
};

class EncryptedBackup {
public:
    // Opens the backup in `folder` with `password`. On failure returns
    // nullptr and fills `error`. Nothing is written anywhere.
    static std::unique_ptr<EncryptedBackup> open(const std::string& folder, const std::string& password,
                                                 OpenError& error, const DeriveProgress& progress = nullptr);
    ~EncryptedBackup();
    EncryptedBackup(const EncryptedBackup&) = delete;
    EncryptedBackup& operator=(const EncryptedBackup&) = delete;

    // True for the iOS 5 to 9 layout (Manifest.mbdb, files flat in the folder).
    bool usesMbdb() const { return usesMbdb_; }
    // True when the file index was itself encrypted (Manifest.db of iOS 10.2+).
    bool manifestWasEncrypted() const { return manifestEncrypted_; }

    // The record of one file, or nothing when the backup has none. Fails
    // (with `error`) on a damaged record.
    std::optional<FileRecord> findRecord(const std::string& domain, const std::string& relativePath,
                                         std::string* fileId, std::string* error) const;

    // Decrypts one file to `destinationPath` (created with mode 0600).
    // NotPresent when the backup has no such file; Error with a message when
    // it has one that cannot be decrypted (nothing is left at the destination).
    FileOutcome decryptFileTo(const std::string& domain, const std::string& relativePath,
                              const std::string& destinationPath) const;

private:
    EncryptedBackup() = default;

    std::string folder_;
    std::map<uint32_t, Key32> classKeys_;  // usable class keys by CLAS
    sqlite3* db_ = nullptr;                // the file index, decrypted in memory (or opened read-only)
    bool manifestEncrypted_ = false;
    bool usesMbdb_ = false;
    std::vector<FileRecord> mbdbRecords_;
};

// The first 16 bytes of an unencrypted SQLite database.
bool startsWithSqliteHeader(const uint8_t* data, size_t size);

}  // namespace kestrel::crypto
