#include "cli/password.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace kestrel::cli {
namespace {

// A password line longer than this is not a password.
constexpr size_t kMaxPasswordBytes = 4096;

// The terminal settings to put back if the prompt is interrupted.
termios gSavedTerminal{};
volatile sig_atomic_t gHaveSavedTerminal = 0;
struct sigaction gPreviousInt {}, gPreviousTerm {};

// Puts echo back, then lets the signal do what it did before the prompt.
void restoreTerminalAndReraise(int signal) {
    if (gHaveSavedTerminal) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &gSavedTerminal);
    ::sigaction(signal, signal == SIGINT ? &gPreviousInt : &gPreviousTerm, nullptr);
    ::raise(signal);
}

void stripLineEnd(std::string& line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
}

}  // namespace

std::optional<std::string> readPasswordFile(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) *error = "cannot read the password file " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::string line;
    char c = 0;
    while (in.get(c) && c != '\n') {
        if (line.size() >= kMaxPasswordBytes) {
            if (error) *error = "the first line of the password file " + path + " is too long to be a password";
            return std::nullopt;
        }
        line.push_back(c);
    }
    stripLineEnd(line);
    if (line.empty()) {
        if (error) *error = "the password file " + path + " has an empty first line";
        return std::nullopt;
    }
    return line;
}

std::optional<std::string> readPasswordFromTerminal(const std::string& prompt) {
    if (!::isatty(STDIN_FILENO)) return std::nullopt;
    std::fprintf(stderr, "%s", prompt.c_str());
    std::fflush(stderr);
    termios saved{};
    const bool haveSettings = ::tcgetattr(STDIN_FILENO, &saved) == 0;
    struct sigaction onSignal {};
    if (haveSettings) {
        gSavedTerminal = saved;
        gHaveSavedTerminal = 1;
        onSignal.sa_handler = restoreTerminalAndReraise;
        sigemptyset(&onSignal.sa_mask);
        ::sigaction(SIGINT, &onSignal, &gPreviousInt);
        ::sigaction(SIGTERM, &onSignal, &gPreviousTerm);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    bool ended = false;
    char c = 0;
    while (true) {
        ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (c == '\n') {
            ended = true;
            break;
        }
        if (line.size() < kMaxPasswordBytes) line.push_back(c);
    }
    if (haveSettings) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        ::sigaction(SIGINT, &gPreviousInt, nullptr);
        ::sigaction(SIGTERM, &gPreviousTerm, nullptr);
        gHaveSavedTerminal = 0;
    }
    if (!ended && line.empty()) return std::nullopt;
    stripLineEnd(line);
    return line;
}

PasswordOutcome obtainPassword(const PasswordRequest& request,
                               const std::function<const char*(const char*)>& environment,
                               const std::function<std::optional<std::string>(const std::string&)>& terminal) {
    PasswordOutcome outcome;
    if (request.file && request.text) {
        outcome.error = "give only one of --password-file and --password";
        return outcome;
    }
    if (request.file) {
        std::optional<std::string> line = readPasswordFile(*request.file, &outcome.error);
        if (!line) return outcome;
        outcome.ok = true;
        outcome.password = std::move(*line);
        outcome.source = "file";
        return outcome;
    }
    if (request.text) {
        outcome.ok = true;
        outcome.password = *request.text;
        outcome.source = "option";
        return outcome;
    }
    // An empty variable counts as unset.
    if (const char* value = environment ? environment(kPasswordEnvironmentVariable) : nullptr;
        value != nullptr && *value != 0) {
        outcome.ok = true;
        outcome.password = value;
        outcome.source = "environment";
        return outcome;
    }
    if (terminal) {
        if (std::optional<std::string> typed = terminal("Password for this encrypted backup: ")) {
            outcome.ok = true;
            outcome.password = std::move(*typed);
            outcome.source = "terminal";
            return outcome;
        }
    }
    outcome.error = std::string("this backup is encrypted and no password was given: use --password-file FILE, ") +
                    "the environment variable " + kPasswordEnvironmentVariable +
                    ", or run from a terminal to be asked";
    return outcome;
}

}  // namespace kestrel::cli
