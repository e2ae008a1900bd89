#include "cli/encrypted_scan.h"

#include <CLI/CLI.hpp>

#include <cstdio>

#include "app/log.h"
#include "cli/output.h"
#include "cli/password.h"
#include "crypto/encrypted_preparation.h"

namespace kestrel::cli {

void addPasswordOptions(CLI::App& command, PasswordOptions& options) {
    options.fileOption = command.add_option("--password-file", options.file, kPasswordFileHelp);
    options.fileOption->type_name("FILE");
    options.textOption = command.add_option("--password", options.text, kPasswordTextHelp);
    options.textOption->type_name("TEXT");
    options.fileOption->excludes(options.textOption);
    // Appended to the command's own footer (its exit statuses).
    command.footer(command.get_footer() + "\n\n" +
        "Encrypted backups: the password is taken from --password-file FILE or --password TEXT, else from\n"
        "the environment variable KESTREL_BACKUP_PASSWORD, else asked for on the terminal without echo.\n"
        "The address book and the message database are decrypted into a private folder (mode 0700) under\n"
        "$TMPDIR, which is removed when the scan ends, fails or is interrupted; nothing is written into\n"
        "the backup (--read-only is implied). Exit status 3 for a wrong password, 2 when no password is\n"
        "available, 1 when the backup cannot be opened (its damage is named).");
}

namespace {

// Prints the key derivation's progress on standard error, one line per
// tenth, as the scan prints its own progress.
class DerivationProgress {
public:
    bool operator()(double fraction) {
        const int tenth = static_cast<int>(fraction * 10.0);
        if (tenth > shown_ && tenth < 10) {
            shown_ = tenth;
            std::fprintf(stderr, "deriving the backup key %d%%\n", tenth * 10);
            std::fflush(stderr);
        }
        return true;
    }

private:
    int shown_ = 0;
};

}  // namespace

EncryptedScanSetup prepareEncryptedScan(const std::string& backupFolder, const PasswordOptions& options) {
    EncryptedScanSetup setup;
    PasswordRequest request;
    if (options.fileOption != nullptr && options.fileOption->count() > 0) request.file = options.file;
    if (options.textOption != nullptr && options.textOption->count() > 0) request.text = options.text;
    PasswordOutcome password = obtainPassword(request);
    if (!password.ok) {
        std::fprintf(stderr, "kestrel: %s\n", terminalSafe(password.error).c_str());
        setup.exitStatus = 2;
        return setup;
    }

    std::string error;
    setup.folder = WorkingFolder::create(&error);
    if (!setup.folder) {
        crypto::wipe(password.password);
        std::fprintf(stderr, "kestrel: %s\n", error.c_str());
        setup.exitStatus = 1;
        return setup;
    }

    std::fprintf(stderr, "opening the encrypted backup: deriving its key from the password\n");
    std::fflush(stderr);
    DerivationProgress progress;
    crypto::EncryptedPreparation prepared = crypto::prepareEncryptedBackup(
        backupFolder, password.password, *setup.folder, [&progress](double f) { return progress(f); },
        [] { return stopRequested(); });
    crypto::wipe(password.password);

    switch (prepared.error.kind) {
        case crypto::OpenErrorKind::None:
            break;
        case crypto::OpenErrorKind::NotEncrypted:
            // The bytes looked encrypted but there is no keybag to open them
            // with: scan the backup as it is, as an unencrypted one.
            NSLog("%s: scanning it as it is", prepared.error.message.c_str());
            setup.folder.reset();
            return setup;
        case crypto::OpenErrorKind::WrongPassword:
            std::fprintf(stderr, "kestrel: %s\n", crypto::kWrongPasswordMessage);
            setup.folder.reset();
            setup.exitStatus = kWrongPasswordStatus;
            return setup;
        default:
            std::fprintf(stderr, "kestrel: cannot open the encrypted backup: %s\n",
                         terminalSafe(prepared.error.message).c_str());
            setup.folder.reset();
            setup.exitStatus = 1;
            return setup;
    }
    if (prepared.outcome.stopped) {
        std::fprintf(stderr, "kestrel: stopped while decrypting the backup\n");
        setup.folder.reset();
        setup.exitStatus = 1;
        return setup;
    }
    std::fprintf(stderr, "decrypted %zu database%s into a private working folder\n", prepared.outcome.databases.size(),
                 prepared.outcome.databases.size() == 1 ? "" : "s");
    std::fflush(stderr);
    return setup;
}

}  // namespace kestrel::cli
