// How a scan reaches a backup's databases. By default it never touches the
// backup's own files: the message database and the address book, with the
// files SQLite keeps beside them (-wal, -shm, -journal), are copied into a
// private working folder laid out as a flat backup folder (each database
// under its hashed name, its companions beside it as HASH-wal, HASH-shm,
// HASH-journal), and the scan reads that folder. A backup keeps a
// companion either beside its database (NAME-wal) or under the hashed name
// of its own domain path; both are taken.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "app/working_folder.h"

namespace kestrel {

// A database of a backup and the hashed names of its companions.
struct BackupDatabase {
    const char* what;         // "the message database", for log lines
    const char* hashedName;   // SHA-1 of "HomeDomain-Library/SMS/sms.db" ...
    const char* walName;      // ... of that path + "-wal"
    const char* shmName;      // ... + "-shm"
    const char* journalName;  // ... + "-journal"
};

// The message database, then the address book.
const std::vector<BackupDatabase>& backupDatabases();

// Where an entry named `hashedName` lies in the backup folder (flat, else
// in its two-character sub-folder), whatever its kind: a link, a FIFO or a
// folder is found too, so that it can be refused with its reason. Empty
// when there is none.
std::string backupEntryPath(const std::string& folder, const std::string& hashedName);

// Copies every database of `backupFolder` that exists, with its companions,
// into `working`, flat. Each file that is skipped (not a regular file, a
// link leading out of the backup, unreadable, larger than the free space)
// is logged with its reason and added to `problems` (texts without paths).
// Returns false when nothing could be copied while a database was there.
bool copyDatabasesInto(const std::string& backupFolder, WorkingFolder& working, std::vector<std::string>& problems);
// The same, also appending to `copied` each file that is in `working` once
// it returns: the backup file it was copied from and its name there.
bool copyDatabasesInto(const std::string& backupFolder, WorkingFolder& working, std::vector<std::string>& problems,
                       std::vector<CopyRequest>& copied);
// The same, asking `readWithoutCopy` first for each database that exists,
// with its name and what would be copied for it (the database first, then
// the companions found): when it answers true, the caller reads that
// database from the backup itself and nothing of it is copied.
using ReadWithoutCopy = std::function<bool(const std::string& name, const std::vector<CopyRequest>& requests)>;
bool copyDatabasesInto(const std::string& backupFolder, WorkingFolder& working, std::vector<std::string>& problems,
                       std::vector<CopyRequest>& copied, const ReadWithoutCopy& readWithoutCopy);

// For a scan in place: why the database at `path` must be neither opened
// nor written (it is not a regular file, or it or a folder on its way is a
// link leading out of `backupFolder`), or the empty text when it may be
// used. Only regular files are opened, without blocking.
std::string inPlaceRefusal(const std::string& path, const std::string& backupFolder);

}  // namespace kestrel
