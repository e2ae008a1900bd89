// What the fuzz targets share: a backup folder of their own for the run, and
// writing the input bytes as one of its database files.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "app/log.h"

namespace kestrel::fuzz {

// A temporary folder made once per run; the system log is silenced with it.
inline const std::string& backupFolder() {
    static const std::string folder = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "kestrel-fuzz-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) abort();
        kestrel::setLogSink([](const std::string&) {});
        return pattern;
    }();
    return folder;
}

// Writes the bytes as the database file, without any journal left beside it.
inline void writeDatabase(const std::string& path, const uint8_t* data, size_t size) {
    for (const char* suffix : {"-wal", "-shm", "-journal"}) ::unlink((path + suffix).c_str());
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) abort();
    if (size > 0 && std::fwrite(data, 1, size, out) != size) abort();
    std::fclose(out);
}

}  // namespace kestrel::fuzz
