// `kestrel scan` on an encrypted backup: the password options, and the step
// that turns the backup into a private working folder of decrypted
// databases for the scan to read.
#pragma once

#include <memory>
#include <string>

#include "app/working_folder.h"

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace kestrel::cli {

// Exit status of a scan whose backup password is wrong.
inline constexpr int kWrongPasswordStatus = 3;

// The password options of a command, as given.
struct PasswordOptions {
    std::string file;
    std::string text;
    CLI::Option* fileOption = nullptr;
    CLI::Option* textOption = nullptr;
};

// Adds --password-file FILE and --password TEXT to `command`.
void addPasswordOptions(CLI::App& command, PasswordOptions& options);

struct EncryptedScanSetup {
    // Non-zero: the scan must not run; the reason has been printed.
    int exitStatus = 0;
    // The decrypted databases, laid out as a flat backup folder; removed
    // when this goes (and on SIGINT/SIGTERM). Null with exitStatus 0 when
    // the backup turned out not to be encrypted after all: scan it as it is.
    std::unique_ptr<WorkingFolder> folder;
};

// Obtains the password (options, environment, terminal), opens the backup
// with progress on standard error while its key is derived, and decrypts
// the message database and the address book into a new working folder.
// Exit status 2 when no password is available, 3 for a wrong password, 1
// for a backup that cannot be opened.
EncryptedScanSetup prepareEncryptedScan(const std::string& backupFolder, const PasswordOptions& options);

}  // namespace kestrel::cli
