// Helpers shared by the tests: temporary folders and running the commands.
#pragma once

#include <stdlib.h>
#include <plist/plist.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace kestrel::test {

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kestrel-test-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

struct CommandResult {
    int status = -1;
    std::string out;
    std::string err;
};

// The binary form of a property list; frees the list.
inline std::string binaryPlist(plist_t root) {
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &bytes, &length);
    std::string out(bytes, length);
    std::free(bytes);
    plist_free(root);
    return out;
}

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline std::string shellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

// Runs a shell command line, capturing standard output and standard error.
inline CommandResult runCommand(const std::string& commandLine) {
    TempDir scratch;
    std::string outPath = (scratch.path() / "out").string();
    std::string errPath = (scratch.path() / "err").string();
    std::string full = commandLine + " >" + shellQuote(outPath) + " 2>" + shellQuote(errPath) + " </dev/null";
    int raw = std::system(full.c_str());
    CommandResult result;
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    return result;
}

inline CommandResult runKestrel(const std::string& arguments) {
    return runCommand(shellQuote(KESTREL_CLI_PATH) + " " + arguments);
}

}  // namespace kestrel::test
