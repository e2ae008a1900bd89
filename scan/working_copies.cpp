#include "scan/working_copies.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/log.h"

namespace kestrel {
namespace {

// The hashed names are the SHA-1 of the domain path of each file
// ("HomeDomain-Library/SMS/sms.db-wal" ...); a test recomputes them.
const BackupDatabase kMessages{"the message database", "3d0d7e5fb2ce288813306e4d4636395e047a3d28",
                               "cd47480f213dba9bc38ee792775d17e3f5a73a59",
                               "36ce215df2239f14660f11541cb64a3f790c95cd",
                               "004549798fc2f73b2ea8928045e4e12b4fff4044"};
const BackupDatabase kAddressBook{"the address book", "31bb7ba8914766d4ba40d6dfb6113c8b614be442",
                                  "a9aaf31e300bbb71f1602c65e27a29a6c85f98f8",
                                  "30ab56805a72738be0da6fb6811e2dfc74a152da",
                                  "454d1500f82202fba06fe57a12f4ecf0cbff0947"};

bool entryExists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

std::string realPath(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (real == nullptr) return std::string();
    std::string result = real;
    std::free(real);
    return result;
}

bool inside(const std::string& path, const std::string& folder) {
    if (folder == "/") return true;
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

std::string kindText(mode_t mode) {
    if (S_ISDIR(mode)) return "is a directory";
    if (S_ISFIFO(mode)) return "is a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "is a device";
    if (S_ISSOCK(mode)) return "is a socket";
    return "is not a regular file";
}

}  // namespace

const std::vector<BackupDatabase>& backupDatabases() {
    static const std::vector<BackupDatabase> all{kMessages, kAddressBook};
    return all;
}

std::string backupEntryPath(const std::string& folder, const std::string& hashedName) {
    if (folder.empty() || hashedName.size() < 2) return std::string();
    const std::string flat = folder + "/" + hashedName;
    if (entryExists(flat)) return flat;
    const std::string nested = folder + "/" + hashedName.substr(0, 2) + "/" + hashedName;
    if (entryExists(nested)) return nested;
    return std::string();
}

bool copyDatabasesInto(const std::string& backupFolder, WorkingFolder& working, std::vector<std::string>& problems) {
    std::vector<CopyRequest> copied;
    return copyDatabasesInto(backupFolder, working, problems, copied);
}

bool copyDatabasesInto(const std::string& backupFolder, WorkingFolder& working, std::vector<std::string>& problems,
                       std::vector<CopyRequest>& copied) {
    return copyDatabasesInto(backupFolder, working, problems, copied, ReadWithoutCopy());
}

bool copyDatabasesInto(const std::string& backupFolder, WorkingFolder& working, std::vector<std::string>& problems,
                       std::vector<CopyRequest>& copied, const ReadWithoutCopy& readWithoutCopy) {
    bool anyThere = false;
    bool anyCopied = false;
    for (const BackupDatabase& database : backupDatabases()) {
        const std::string source = backupEntryPath(backupFolder, database.hashedName);
        if (source.empty()) continue;  // the step says it is missing
        anyThere = true;
        const std::string name = database.hashedName;
        // Beside the database as NAME-wal ..., else under its own hashed name.
        std::vector<CopyRequest> requests = databaseWithCompanions(source, name);
        const std::pair<const char*, const char*> companions[] = {
            {"-wal", database.walName}, {"-shm", database.shmName}, {"-journal", database.journalName}};
        for (const auto& [suffix, hashed] : companions) {
            bool have = false;
            for (const CopyRequest& request : requests) have = have || request.destinationName == name + suffix;
            if (have) continue;
            const std::string own = backupEntryPath(backupFolder, hashed);
            if (!own.empty()) requests.push_back({own, name + suffix});
        }
        if (readWithoutCopy && readWithoutCopy(name, requests)) {
            anyCopied = true;
            continue;
        }
        const std::vector<CopyOutcome> outcomes = working.copyAll(requests, backupFolder);
        for (const CopyOutcome& outcome : outcomes) {
            if (outcome.copied()) {
                if (outcome.destinationName == name) anyCopied = true;
                continue;
            }
            const std::string file = outcome.destinationName == name
                                         ? std::string(database.what)
                                         : std::string(database.what) + "'s " +
                                               outcome.destinationName.substr(name.size() + 1) + " file";
            const std::string text = file + " is skipped: it " + outcome.reason;
            NSLog("%s", text.c_str());
            problems.push_back(text);
            if (outcome.destinationName == name) break;
        }
        if (!outcomes.empty() && !outcomes.front().copied()) {
            // Without its database a companion is of no use; an orphan
            // -journal could even be taken for another database's.
            for (const CopyOutcome& outcome : outcomes) {
                if (outcome.copied()) ::unlink(working.pathOf(outcome.destinationName).c_str());
            }
            continue;
        }
        for (const CopyOutcome& outcome : outcomes) {
            if (!outcome.copied()) continue;
            for (const CopyRequest& request : requests) {
                if (request.destinationName == outcome.destinationName) copied.push_back(request);
            }
        }
    }
    return anyCopied || !anyThere;
}

std::string inPlaceRefusal(const std::string& path, const std::string& backupFolder) {
    struct stat link {};
    if (::lstat(path.c_str(), &link) != 0) return std::string("cannot be read: ") + std::strerror(errno);
    const std::string real = realPath(path);
    const std::string root = realPath(backupFolder);
    if (real.empty() || root.empty()) return std::string("cannot be read: ") + std::strerror(errno);
    if (!inside(real, root)) return "is a symbolic link leading out of the backup folder";
    // A link inside the backup would still be written through by the commit
    // step; the scan in place takes only the file itself.
    if (S_ISLNK(link.st_mode)) return "is a symbolic link";
    if (!S_ISREG(link.st_mode)) return kindText(link.st_mode);
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return std::string("cannot be opened: ") + std::strerror(errno);
    struct stat info {};
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    ::close(fd);
    if (!regular) return kindText(info.st_mode);
    return std::string();
}

}  // namespace kestrel
