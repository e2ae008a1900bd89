// The per-file records of an encrypted backup: the MBFile archive stored in
// Manifest.db's `file` column (iOS 10+), and the records of Manifest.mbdb
// (iOS 5 to 9). Both are data from outside: every length is checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrel::crypto {

// What decryption needs from one file's record.
struct FileRecord {
    std::string domain;
    std::string relativePath;
    std::optional<uint64_t> size;              // plaintext length; absent when the record has none
    std::optional<uint32_t> protectionClass;   // the record's own ProtectionClass
    std::vector<uint8_t> encryptionKey;        // 44 bytes: class (4, LE) + wrapped key; empty when absent
    std::optional<uint32_t> mode;              // Unix mode
};

// The protection class of a 44-byte EncryptionKey (its first four bytes,
// little-endian), or nothing when the key is not 44 bytes.
std::optional<uint32_t> keyClass(const std::vector<uint8_t>& encryptionKey);

// Parses the NSKeyedArchiver binary property list of one Manifest.db row into
// `record` (domain and path are left as they are). Object references are
// resolved through `$objects` with their index checked. Fails with a reason
// when the blob is not such an archive or its root is not a dictionary.
bool parseMBFile(const uint8_t* data, size_t size, FileRecord& record, std::string* error);

// Parses a whole Manifest.mbdb ("mbdb" 05 00, then records). Fails with a
// reason when the header is wrong or a record runs past the end.
std::optional<std::vector<FileRecord>> parseMbdb(const uint8_t* data, size_t size, std::string* error);

// Lowercase hex SHA-1 of "domain-relativePath": the file's name in the backup.
std::string fileIdFor(const std::string& domain, const std::string& relativePath);

// True when `fileId` is exactly 40 lowercase hexadecimal digits, so that it
// can safely be joined to a folder path.
bool isSafeFileId(const std::string& fileId);

}  // namespace kestrel::crypto
