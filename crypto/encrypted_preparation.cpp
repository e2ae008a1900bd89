#include "crypto/encrypted_preparation.h"

#include "app/backup_discovery.h"
#include "app/log.h"

namespace kestrel::crypto {

const std::vector<ScannedDatabase>& scannedDatabases() {
    static const std::vector<ScannedDatabase> databases = {
        {kHomeDomain, kAddressBookDBPath, kAddressBookDBName},
        {kHomeDomain, kMessageDBPath, kMessageDBName},
    };
    return databases;
}

PreparationOutcome decryptDatabasesInto(const EncryptedBackup& backup, WorkingFolder& folder,
                                        const std::function<bool()>& stop) {
    PreparationOutcome outcome;
    auto stopping = [&] {
        if (stop && stop()) outcome.stopped = true;
        return outcome.stopped;
    };
    // Decrypts one file; false when it is not in the working folder afterwards.
    // A file the backup does not have is no remark: the scan says which
    // database it did not find, as it does for a plain backup.
    auto decryptOne = [&](const std::string& domain, const std::string& relativePath,
                          const std::string& destinationName) {
        const std::string file = domain + "/" + relativePath;
        const FileOutcome result = backup.decryptFileTo(domain, relativePath, folder.pathOf(destinationName));
        switch (result.status) {
            case FileStatus::Found:
                outcome.bytes += result.bytes;
                if (!result.note.empty()) outcome.notes.push_back({file, file + ": " + result.note, false});
                return true;
            case FileStatus::NotPresent:
                return false;
            case FileStatus::Error:
                outcome.notes.push_back({file, result.message, true});
                return false;
        }
        return false;
    };

    for (const ScannedDatabase& db : scannedDatabases()) {
        if (stopping()) break;
        if (!decryptOne(db.domain, db.relativePath, db.hashedName)) continue;
        outcome.databases.emplace_back(db.hashedName);
        for (const char* suffix : kCompanionSuffixes) {
            if (stopping()) break;
            decryptOne(db.domain, std::string(db.relativePath) + suffix, std::string(db.hashedName) + suffix);
        }
    }
    return outcome;
}

EncryptedPreparation prepareEncryptedBackup(const std::string& backupFolder, const std::string& password,
                                            WorkingFolder& folder, const DeriveProgress& progress,
                                            const std::function<bool()>& stop) {
    EncryptedPreparation preparation;
    std::unique_ptr<EncryptedBackup> backup = EncryptedBackup::open(backupFolder, password, preparation.error, progress);
    if (!backup) return preparation;
    preparation.outcome = decryptDatabasesInto(*backup, folder, stop);
    // The class keys are wiped as the backup object goes.
    backup.reset();
    for (const PreparationNote& note : preparation.outcome.notes) NSLog("%s", note.message.c_str());
    return preparation;
}

}  // namespace kestrel::crypto
