// Where `kestrel` takes the password of an encrypted backup from. In order:
// --password-file FILE (its first line) or --password TEXT (never both), else
// the environment variable KESTREL_BACKUP_PASSWORD, else a prompt on the
// terminal without echo when standard input is a terminal.
#pragma once

#include <cstdlib>
#include <functional>
#include <optional>
#include <string>

namespace kestrel::cli {

inline constexpr const char* kPasswordEnvironmentVariable = "KESTREL_BACKUP_PASSWORD";

// Help texts for the options, shared by every sub-command that takes them.
inline constexpr const char* kPasswordFileHelp =
    "Read the password of an encrypted backup from the first line of FILE";
inline constexpr const char* kPasswordTextHelp =
    "The password of an encrypted backup. Warning: other users of this computer can see it in the "
    "process list; prefer --password-file or the environment variable KESTREL_BACKUP_PASSWORD";

struct PasswordRequest {
    std::optional<std::string> file;  // --password-file
    std::optional<std::string> text;  // --password
};

struct PasswordOutcome {
    bool ok = false;
    std::string password;  // wipe it after use
    std::string source;    // "file", "option", "environment" or "terminal"
    std::string error;     // when !ok: one line for the user
};

// Reads a password from the terminal without echo; nothing when standard
// input is not a terminal or the read fails.
std::optional<std::string> readPasswordFromTerminal(const std::string& prompt);

// Picks the password by the order above. `environment` and `terminal` stand
// for getenv and readPasswordFromTerminal (tests pass their own).
PasswordOutcome obtainPassword(
    const PasswordRequest& request,
    const std::function<const char*(const char*)>& environment = [](const char* name) { return std::getenv(name); },
    const std::function<std::optional<std::string>(const std::string&)>& terminal = readPasswordFromTerminal);

// The first line of a password file, without its line end.
std::optional<std::string> readPasswordFile(const std::string& path, std::string* error);

}  // namespace kestrel::cli
