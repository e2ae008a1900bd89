// Preparing an encrypted backup for a scan: the message database and the
// address book, each with the files SQLite keeps beside it (-wal, -shm,
// -journal), are decrypted into a private working folder and laid out as a
// flat plain backup folder: each database under its usual hashed name, its
// companions beside it as HASH-wal, HASH-shm and HASH-journal. The scan then
// runs on that folder exactly as on an unencrypted backup, with the device
// record of the backup itself (its Info.plist is never encrypted).
//
// Nothing is ever written into the backup. A file that cannot be decrypted
// is reported and left out; the other database is still prepared.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/working_folder.h"
#include "crypto/encrypted_backup.h"

namespace kestrel::crypto {

// One file of the backup that was left out or kept with a remark.
struct PreparationNote {
    std::string file;     // "HomeDomain/Library/SMS/sms.db-wal"
    std::string message;  // one line for the log (names no path outside the backup's index)
    bool leftOut = false;  // true: the file is not in the working folder
};

struct PreparationOutcome {
    // Hashed names of the databases now in the working folder.
    std::vector<std::string> databases;
    // Files that could not be decrypted (leftOut) and files kept with a
    // remark (a size that disagrees with the record, ...).
    std::vector<PreparationNote> notes;
    // The preparation stopped early because a stop was asked for.
    bool stopped = false;
    uint64_t bytes = 0;  // plaintext bytes written
};

// The databases a scan reads: domain, relative path and hashed name.
struct ScannedDatabase {
    const char* domain;
    const char* relativePath;
    const char* hashedName;
};
const std::vector<ScannedDatabase>& scannedDatabases();

// The companions SQLite keeps beside a database, in the order decrypted.
inline constexpr const char* kCompanionSuffixes[] = {"-wal", "-shm", "-journal"};

// Decrypts the scanned databases of an opened backup into `folder`. A
// companion is decrypted only when its database was. `stop`, when given, is
// asked between files; returning true ends the preparation (the files
// written so far stay in `folder`, which the caller removes).
PreparationOutcome decryptDatabasesInto(const EncryptedBackup& backup, WorkingFolder& folder,
                                        const std::function<bool()>& stop = nullptr);

// Opens the backup in `backupFolder` with `password` and decrypts its
// scanned databases into `folder`. On failure to open, `error` says why and
// nothing is written. Every note is also logged (NSLog).
struct EncryptedPreparation {
    OpenError error;  // kind None when the backup opened
    PreparationOutcome outcome;
    bool opened() const { return error.kind == OpenErrorKind::None; }
};
EncryptedPreparation prepareEncryptedBackup(const std::string& backupFolder, const std::string& password,
                                            WorkingFolder& folder, const DeriveProgress& progress = nullptr,
                                            const std::function<bool()>& stop = nullptr);

}  // namespace kestrel::crypto
