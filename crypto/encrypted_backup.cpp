#include "crypto/encrypted_backup.h"

#include "crypto/keybag.h"

#include <plist/plist.h>
#include <sqlite3.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace fs = std::filesystem;

namespace kestrel::crypto {
namespace {

constexpr uintmax_t kMaxPlistBytes = 64u * 1024u * 1024u;
// Manifest.db is decrypted in memory; real ones are a few megabytes.
constexpr uintmax_t kMaxManifestBytes = 1024u * 1024u * 1024u;

struct PlistDeleter {
    void operator()(void* p) const { plist_free(static_cast<plist_t>(p)); }
};
using PlistHolder = std::unique_ptr<void, PlistDeleter>;

bool readWholeFile(const fs::path& path, uintmax_t maxBytes, std::vector<uint8_t>& out) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return false;
    const uintmax_t size = fs::file_size(path, ec);
    if (ec || size > maxBytes) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.resize(static_cast<size_t>(size));
    if (size > 0 && !in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(size))) return false;
    return true;
}

std::optional<std::vector<uint8_t>> dataForKey(plist_t dict, const char* key) {
    plist_t item = plist_dict_get_item(dict, key);
    if (item == nullptr || plist_get_node_type(item) != PLIST_DATA) return std::nullopt;
    uint64_t length = 0;
    const char* p = plist_get_data_ptr(item, &length);
    if (p == nullptr && length > 0) return std::nullopt;
    return std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(p), reinterpret_cast<const uint8_t*>(p) + length);
}

bool boolForKey(plist_t dict, const char* key) {
    plist_t item = plist_dict_get_item(dict, key);
    if (item == nullptr || plist_get_node_type(item) != PLIST_BOOLEAN) return false;
    uint8_t value = 0;
    plist_get_bool_val(item, &value);
    return value != 0;
}

std::unique_ptr<EncryptedBackup> fail(OpenError& error, OpenErrorKind kind, std::string message) {
    error.kind = kind;
    error.message = std::move(message);
    return nullptr;
}

std::string damaged(const std::string& what) { return "damaged backup: " + what; }

// Writes `source` unchanged (at most `limit` bytes) to `destination`: the
// content of a file the backup stores without encryption.
bool copyPlain(const std::string& source, const std::string& destination, std::optional<uint64_t> limit,
               uint64_t& written, std::string& error) {
    std::ifstream in(source, std::ios::binary);
    if (!in) {
        error = "cannot open the file";
        return false;
    }
    std::error_code ec;
    fs::remove(destination, ec);
    std::ofstream out(destination, std::ios::binary | std::ios::trunc);
    if (!out) {
        error = "cannot create the destination file";
        return false;
    }
    fs::permissions(destination, fs::perms::owner_read | fs::perms::owner_write, ec);
    std::vector<char> buffer(1u << 20);
    written = 0;
    const uint64_t cap = limit.value_or(UINT64_MAX);
    while (in && written < cap) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        uint64_t got = static_cast<uint64_t>(in.gcount());
        if (got == 0) break;
        got = std::min(got, cap - written);
        out.write(buffer.data(), static_cast<std::streamsize>(got));
        written += got;
    }
    out.close();
    if (!out) {
        error = "cannot write the destination file";
        fs::remove(destination, ec);
        return false;
    }
    return true;
}

}  // namespace

bool startsWithSqliteHeader(const uint8_t* data, size_t size) {
    static const char kHeader[16] = {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f', 'o', 'r', 'm', 'a', 't', ' ', '3', '\0'};
    return data != nullptr && size >= 16 && std::memcmp(data, kHeader, 16) == 0;
}

EncryptedBackup::~EncryptedBackup() {
    if (db_ != nullptr) sqlite3_close(db_);
}

std::unique_ptr<EncryptedBackup> EncryptedBackup::open(const std::string& folder, const std::string& password,
                                                       OpenError& error, const DeriveProgress& progress) {
    error = OpenError{};
    const fs::path root(folder);
    std::vector<uint8_t> plistBytes;
    if (!readWholeFile(root / "Manifest.plist", kMaxPlistBytes, plistBytes) || plistBytes.empty()) {
        return fail(error, OpenErrorKind::Unreadable, damaged("Manifest.plist is missing or unreadable"));
    }
    plist_t manifestPlist = nullptr;
    plist_from_memory(reinterpret_cast<const char*>(plistBytes.data()), static_cast<uint32_t>(plistBytes.size()),
                      &manifestPlist);
    PlistHolder manifestHolder(manifestPlist);
    if (manifestPlist == nullptr || plist_get_node_type(manifestPlist) != PLIST_DICT) {
        return fail(error, OpenErrorKind::Unreadable, damaged("Manifest.plist is not a readable property list"));
    }

    // The file index, read before the slow derivation so that a plain backup
    // or a missing index is reported at once.
    std::vector<uint8_t> manifestDb;
    const bool haveManifestDb = readWholeFile(root / "Manifest.db", kMaxManifestBytes, manifestDb);
    std::vector<uint8_t> mbdb;
    const bool haveMbdb = !haveManifestDb && readWholeFile(root / "Manifest.mbdb", kMaxManifestBytes, mbdb);
    const bool plainIndex = haveManifestDb && startsWithSqliteHeader(manifestDb.data(), manifestDb.size());

    std::optional<std::vector<uint8_t>> keybagBytes = dataForKey(manifestPlist, "BackupKeyBag");
    if (!keybagBytes) {
        if (plainIndex || (haveMbdb && !boolForKey(manifestPlist, "IsEncrypted"))) {
            return fail(error, OpenErrorKind::NotEncrypted, "this backup is not encrypted");
        }
        return fail(error, OpenErrorKind::DamagedKeybag, damaged("Manifest.plist has no keybag (BackupKeyBag)"));
    }
    std::string why;
    std::optional<Keybag> bag = parseKeybag(keybagBytes->data(), keybagBytes->size(), &why);
    if (!bag) {
        return fail(error, OpenErrorKind::DamagedKeybag, damaged("the keybag in Manifest.plist is truncated or malformed (" + why + ")"));
    }
    if (!haveManifestDb && !haveMbdb) {
        return fail(error, OpenErrorKind::DamagedManifest, damaged("neither Manifest.db nor Manifest.mbdb can be read"));
    }
    std::optional<std::vector<uint8_t>> manifestKey = dataForKey(manifestPlist, "ManifestKey");
    if (haveManifestDb && !plainIndex && !manifestKey) {
        return fail(error, OpenErrorKind::MissingManifestKey,
                    damaged("Manifest.db is encrypted but Manifest.plist has no ManifestKey"));
    }
    if (manifestKey && manifestKey->size() != 44 && haveManifestDb && !plainIndex) {
        return fail(error, OpenErrorKind::MissingManifestKey,
                    damaged("the ManifestKey in Manifest.plist is " + std::to_string(manifestKey->size()) +
                            " bytes long, not 44"));
    }

    std::unique_ptr<EncryptedBackup> backup(new EncryptedBackup());
    backup->folder_ = folder;
    {
        Key32 kek;
        if (!deriveKeyEncryptionKey(password, bag->salt, bag->iterations, bag->dpsl, bag->dpic, kek, progress)) {
            if (progress) return fail(error, OpenErrorKind::Cancelled, "opening the backup was cancelled");
            return fail(error, OpenErrorKind::DamagedKeybag, damaged("the key derivation failed"));
        }
        // Classes wrapped with the password key alone (WRAP 2) give a usable
        // key. A wrong password fails the integrity check on every one of
        // them; when only some fail, those classes are damaged and left out.
        size_t tried = 0, unwrapped = 0;
        for (const KeybagClass& c : bag->classes) {
            if (!c.wrap || (*c.wrap & 2u) == 0 || c.wrappedKey.size() != 40 || c.keyType != 0) continue;
            ++tried;
            Key32 classKey;
            if (!unwrapKey(kek, c.wrappedKey.data(), c.wrappedKey.size(), classKey)) continue;
            ++unwrapped;
            if (*c.wrap == 2) backup->classKeys_[c.protectionClass] = classKey;
        }
        if (tried == 0) {
            return fail(error, OpenErrorKind::DamagedKeybag,
                        damaged("the keybag has no class key wrapped with the backup password"));
        }
        if (backup->classKeys_.empty()) {
            if (unwrapped == 0) return fail(error, OpenErrorKind::WrongPassword, kWrongPasswordMessage);
            return fail(error, OpenErrorKind::MissingClassKey,
                        damaged("the keybag has no class key usable off the device"));
        }
    }

    if (haveManifestDb) {
        std::vector<uint8_t> plain;
        if (plainIndex) {
            plain = std::move(manifestDb);
        } else {
            const std::optional<uint32_t> cls = keyClass(*manifestKey);
            auto found = backup->classKeys_.find(*cls);
            if (found == backup->classKeys_.end()) {
                return fail(error, OpenErrorKind::MissingClassKey,
                            damaged("the keybag has no usable key for protection class " + std::to_string(*cls) +
                                    ", which ManifestKey needs"));
            }
            Key32 dbKey;
            if (!unwrapKey(found->second, manifestKey->data() + 4, 40, dbKey)) {
                return fail(error, OpenErrorKind::DamagedManifest,
                            damaged("the ManifestKey does not unwrap with its class key"));
            }
            if (!decryptBuffer(dbKey, manifestDb.data(), manifestDb.size(), plain)) {
                return fail(error, OpenErrorKind::DamagedManifest,
                            damaged("Manifest.db is not a whole number of 16-byte blocks (" +
                                    std::to_string(manifestDb.size()) + " bytes)"));
            }
            if (!startsWithSqliteHeader(plain.data(), plain.size())) {
                return fail(error, OpenErrorKind::DamagedManifest,
                            damaged("Manifest.db does not decrypt to an SQLite database"));
            }
            plain.resize(lengthWithoutPadding(plain.data(), plain.size()));
            backup->manifestEncrypted_ = true;
        }
        // The index is loaded into an in-memory database: its plaintext never
        // touches the disk.
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
            sqlite3_close(db);
            return fail(error, OpenErrorKind::DamagedManifest, damaged("cannot open Manifest.db"));
        }
        backup->db_ = db;
        auto* image = static_cast<unsigned char*>(sqlite3_malloc64(plain.size() > 0 ? plain.size() : 1));
        if (image == nullptr) return fail(error, OpenErrorKind::DamagedManifest, damaged("cannot load Manifest.db"));
        if (!plain.empty()) std::memcpy(image, plain.data(), plain.size());
        if (sqlite3_deserialize(db, "main", image, static_cast<sqlite3_int64>(plain.size()),
                                static_cast<sqlite3_int64>(plain.size()),
                                SQLITE_DESERIALIZE_FREEONCLOSE | SQLITE_DESERIALIZE_READONLY) != SQLITE_OK) {
            return fail(error, OpenErrorKind::DamagedManifest, damaged("cannot load Manifest.db"));
        }
        sqlite3_stmt* check = nullptr;
        bool readable = sqlite3_prepare_v2(db, "SELECT fileID, domain, relativePath, flags, file FROM Files LIMIT 1",
                                           -1, &check, nullptr) == SQLITE_OK;
        if (readable) {
            const int rc = sqlite3_step(check);
            readable = rc == SQLITE_ROW || rc == SQLITE_DONE;
        }
        sqlite3_finalize(check);
        if (!readable) {
            return fail(error, OpenErrorKind::DamagedManifest,
                        damaged("Manifest.db has no readable Files table (" + std::string(sqlite3_errmsg(db)) + ")"));
        }
    } else {
        std::optional<std::vector<FileRecord>> records = parseMbdb(mbdb.data(), mbdb.size(), &why);
        if (!records) return fail(error, OpenErrorKind::DamagedManifest, damaged(why));
        backup->mbdbRecords_ = std::move(*records);
        backup->usesMbdb_ = true;
    }
    return backup;
}

std::optional<FileRecord> EncryptedBackup::findRecord(const std::string& domain, const std::string& relativePath,
                                                      std::string* fileId, std::string* error) const {
    if (usesMbdb_) {
        for (const FileRecord& r : mbdbRecords_) {
            if (r.domain == domain && r.relativePath == relativePath) {
                if (r.mode && (*r.mode & 0xF000u) != 0x8000u) {
                    if (error) *error = "it is not a regular file in this backup";
                    return std::nullopt;
                }
                if (fileId) *fileId = fileIdFor(domain, relativePath);
                return r;
            }
        }
        return std::nullopt;
    }
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, "SELECT fileID, flags, file FROM Files WHERE domain = ?1 AND relativePath = ?2", -1,
                           &stmt, nullptr) != SQLITE_OK) {
        if (error) *error = "Manifest.db cannot be queried";
        return std::nullopt;
    }
    sqlite3_bind_text(stmt, 1, domain.c_str(), static_cast<int>(domain.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(stmt, 2, relativePath.c_str(), static_cast<int>(relativePath.size()), SQLITE_TRANSIENT);
    std::optional<FileRecord> result;
    if (sqlite3_step(stmt) == SQLITE_ROW) {
        FileRecord record;
        record.domain = domain;
        record.relativePath = relativePath;
        const auto* id = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        const std::string idText = id != nullptr ? id : "";
        const int flags = sqlite3_column_int(stmt, 1);
        const auto* blob = static_cast<const uint8_t*>(sqlite3_column_blob(stmt, 2));
        const int blobSize = sqlite3_column_bytes(stmt, 2);
        std::string why;
        if (!isSafeFileId(idText)) {
            if (error) *error = "its row in Manifest.db has an unsafe file name";
        } else if (blob == nullptr || blobSize <= 0) {
            if (error) *error = "its row in Manifest.db has no file record";
        } else if (!parseMBFile(blob, static_cast<size_t>(blobSize), record, &why)) {
            if (error) *error = why;
        } else if (record.mode ? (*record.mode & 0xF000u) != 0x8000u : flags != 1) {
            if (error) *error = "it is not a regular file in this backup";
        } else {
            if (fileId) *fileId = idText;
            result = std::move(record);
        }
        if (!result && error && error->empty()) *error = "its record is damaged";
        if (!result) {
            sqlite3_finalize(stmt);
            return std::nullopt;
        }
    }
    sqlite3_finalize(stmt);
    return result;
}

FileOutcome EncryptedBackup::decryptFileTo(const std::string& domain, const std::string& relativePath,
                                           const std::string& destinationPath) const {
    FileOutcome outcome;
    const std::string name = domain + "/" + relativePath;
    std::string fileId, why;
    std::optional<FileRecord> record = findRecord(domain, relativePath, &fileId, &why);
    if (!record) {
        if (why.empty()) {
            outcome.status = FileStatus::NotPresent;
        } else {
            outcome.status = FileStatus::Error;
            outcome.message = name + ": " + why;
        }
        return outcome;
    }
    auto error = [&](const std::string& message) {
        outcome.status = FileStatus::Error;
        outcome.message = name + ": " + message;
        return outcome;
    };

    std::error_code ec;
    std::string content;
    for (const fs::path& candidate : {fs::path(folder_) / fileId.substr(0, 2) / fileId, fs::path(folder_) / fileId}) {
        if (fs::is_regular_file(candidate, ec)) {
            content = candidate.string();
            break;
        }
    }
    if (content.empty()) {
        if (record->size && *record->size == 0) {
            // An empty file may have no content file at all.
            std::ofstream(destinationPath, std::ios::binary | std::ios::trunc).close();
            fs::permissions(destinationPath, fs::perms::owner_read | fs::perms::owner_write, ec);
            outcome.status = FileStatus::Found;
            return outcome;
        }
        return error("its content file " + fileId + " is missing from the backup");
    }

    if (record->encryptionKey.empty()) {
        // A file the backup stores in the clear (an index that is itself plain).
        uint64_t written = 0;
        if (!copyPlain(content, destinationPath, record->size, written, why)) return error(why);
        outcome.status = FileStatus::Found;
        outcome.bytes = written;
        return outcome;
    }
    const std::optional<uint32_t> cls = keyClass(record->encryptionKey);
    if (!cls) {
        return error("its EncryptionKey is " + std::to_string(record->encryptionKey.size()) + " bytes long, not 44");
    }
    if (record->protectionClass && *record->protectionClass != *cls) {
        outcome.note = "its record names protection class " + std::to_string(*record->protectionClass) +
                       " but its key is of class " + std::to_string(*cls);
    }
    auto found = classKeys_.find(*cls);
    if (found == classKeys_.end()) {
        return error("the keybag has no usable key for protection class " + std::to_string(*cls));
    }
    Key32 fileKey;
    if (!unwrapKey(found->second, record->encryptionKey.data() + 4, 40, fileKey)) {
        return error("its file key does not unwrap with the class key (the file is damaged)");
    }
    DecryptResult result = decryptFile(content, destinationPath, fileKey, record->size);
    if (!result.ok) return error(result.error);
    outcome.status = FileStatus::Found;
    outcome.bytes = result.written;
    if (!result.note.empty()) outcome.note = outcome.note.empty() ? result.note : outcome.note + "; " + result.note;
    return outcome;
}

}  // namespace kestrel::crypto
