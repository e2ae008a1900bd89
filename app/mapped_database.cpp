#include "app/mapped_database.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

namespace kestrel {
namespace {

constexpr const char* kVfsName = "kestrel-mapped";
constexpr const char* kNamePrefix = "/kestrel-mapped-";

struct Region {
    const uint8_t* data = nullptr;
    int64_t size = 0;
};

// The regions waiting to be opened, by the name their connection opens.
// An entry lives only while sqlite3_open_v2 runs: the file object keeps
// its own copy of the region.
std::mutex gRegionsMutex;
std::unordered_map<std::string, Region> gRegions;
std::atomic<uint64_t> gNextName{0};

// The default file layer, for temporary files and for what is not about
// files (time, randomness, sleeping).
sqlite3_vfs* gDefault = nullptr;

// The file object of the main database. Temporary files (sorts, automatic
// indexes) are the default file layer's own, made in the same space.
struct MappedFile {
    sqlite3_file base;
    Region region;
};

Region& regionOf(sqlite3_file* file) { return reinterpret_cast<MappedFile*>(file)->region; }

int mappedClose(sqlite3_file*) { return SQLITE_OK; }

int mappedRead(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
    const Region& region = regionOf(file);
    auto* out = static_cast<uint8_t*>(buffer);
    int64_t available = 0;
    if (offset >= 0 && offset < region.size) available = std::min<int64_t>(amount, region.size - offset);
    if (available > 0) std::memcpy(out, region.data + offset, static_cast<size_t>(available));
    if (available == amount) return SQLITE_OK;
    // As a file read past its end: the rest is zeros, and SQLite is told.
    std::memset(out + available, 0, static_cast<size_t>(amount - available));
    return SQLITE_IOERR_SHORT_READ;
}

int mappedWrite(sqlite3_file*, const void*, int, sqlite3_int64) { return SQLITE_READONLY; }
int mappedTruncate(sqlite3_file*, sqlite3_int64) { return SQLITE_READONLY; }
int mappedSync(sqlite3_file*, int) { return SQLITE_OK; }

int mappedFileSize(sqlite3_file* file, sqlite3_int64* size) {
    // As SQLite's own file layer on Unix says it: a file of one byte is
    // taken for an empty one (a fuzzing run found this difference).
    *size = regionOf(file).size == 1 ? 0 : regionOf(file).size;
    return SQLITE_OK;
}

// Nothing can change the bytes: there is nothing to lock.
int mappedLock(sqlite3_file*, int) { return SQLITE_OK; }
int mappedCheckReservedLock(sqlite3_file*, int* reserved) {
    *reserved = 0;
    return SQLITE_OK;
}
int mappedFileControl(sqlite3_file*, int, void*) { return SQLITE_NOTFOUND; }
int mappedSectorSize(sqlite3_file*) { return 4096; }
int mappedDeviceCharacteristics(sqlite3_file*) { return SQLITE_IOCAP_IMMUTABLE; }

// Version 1: no shared memory (no write-ahead log can be used) and no pages
// handed out in place. SQLite reads a page in place differently from one it
// was given a copy of: past the end of a damaged page it meets the next
// page's bytes rather than its buffer's zeros, and so reports other rows or
// errors than a read of the file would (a fuzzing run found such a file).
// Copied, every page reads as it does from the file.
const sqlite3_io_methods kMappedMethods = {
    1,
    mappedClose,
    mappedRead,
    mappedWrite,
    mappedTruncate,
    mappedSync,
    mappedFileSize,
    mappedLock,
    mappedLock,
    mappedCheckReservedLock,
    mappedFileControl,
    mappedSectorSize,
    mappedDeviceCharacteristics,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

constexpr int kTemporaryFiles =
    SQLITE_OPEN_TEMP_DB | SQLITE_OPEN_TRANSIENT_DB | SQLITE_OPEN_TEMP_JOURNAL | SQLITE_OPEN_SUBJOURNAL;

int vfsOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
    file->pMethods = nullptr;
    if ((flags & SQLITE_OPEN_MAIN_DB) == 0) {
        // A sort or an index SQLite builds for a statement: the default
        // layer's temporary file, deleted on close. Nothing else (a
        // journal, a log) is ever opened.
        if ((flags & kTemporaryFiles) == 0 || (flags & SQLITE_OPEN_DELETEONCLOSE) == 0) return SQLITE_CANTOPEN;
        return gDefault->xOpen(gDefault, name, file, flags, outFlags);
    }
    if (name == nullptr || (flags & (SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)) != 0) return SQLITE_CANTOPEN;
    Region region;
    {
        std::lock_guard<std::mutex> lock(gRegionsMutex);
        auto it = gRegions.find(name);
        if (it == gRegions.end()) return SQLITE_CANTOPEN;
        region = it->second;
    }
    auto* mapped = reinterpret_cast<MappedFile*>(file);
    mapped->region = region;
    file->pMethods = &kMappedMethods;
    if (outFlags != nullptr) *outFlags = flags;
    return SQLITE_OK;
}

int vfsDelete(sqlite3_vfs*, const char*, int) { return SQLITE_IOERR_DELETE; }

// No journal, log or lock file exists beside a mapped database.
int vfsAccess(sqlite3_vfs*, const char*, int, int* result) {
    *result = 0;
    return SQLITE_OK;
}

int vfsFullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
    if (size <= 0) return SQLITE_CANTOPEN;
    const size_t length = std::strlen(name);
    if (length >= static_cast<size_t>(size)) return SQLITE_CANTOPEN;
    std::memcpy(out, name, length + 1);
    return SQLITE_OK;
}

void* vfsDlOpen(sqlite3_vfs*, const char*) { return nullptr; }
void vfsDlError(sqlite3_vfs*, int size, char* out) {
    if (size > 0) out[0] = 0;
}
void (*vfsDlSym(sqlite3_vfs*, void*, const char*))(void) { return nullptr; }
void vfsDlClose(sqlite3_vfs*, void*) {}
int vfsRandomness(sqlite3_vfs*, int size, char* out) { return gDefault->xRandomness(gDefault, size, out); }
int vfsSleep(sqlite3_vfs*, int microseconds) { return gDefault->xSleep(gDefault, microseconds); }
int vfsCurrentTime(sqlite3_vfs*, double* now) { return gDefault->xCurrentTime(gDefault, now); }
int vfsGetLastError(sqlite3_vfs*, int size, char* out) {
    return gDefault->xGetLastError != nullptr ? gDefault->xGetLastError(gDefault, size, out) : 0;
}
int vfsCurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* now) {
    if (gDefault->iVersion >= 2 && gDefault->xCurrentTimeInt64 != nullptr)
        return gDefault->xCurrentTimeInt64(gDefault, now);
    double days = 0;
    const int result = gDefault->xCurrentTime(gDefault, &days);
    *now = static_cast<sqlite3_int64>(days * 86400000.0);
    return result;
}

sqlite3_vfs gMappedVfs;
std::once_flag gRegistered;
int gRegisterResult = SQLITE_ERROR;

int registerVfs() {
    std::call_once(gRegistered, [] {
        if (sqlite3_initialize() != SQLITE_OK || (gDefault = sqlite3_vfs_find(nullptr)) == nullptr) return;
        gMappedVfs.iVersion = 2;
        gMappedVfs.szOsFile = std::max<int>(static_cast<int>(sizeof(MappedFile)), gDefault->szOsFile);
        gMappedVfs.mxPathname = std::max(gDefault->mxPathname, 64);
        gMappedVfs.zName = kVfsName;
        gMappedVfs.xOpen = vfsOpen;
        gMappedVfs.xDelete = vfsDelete;
        gMappedVfs.xAccess = vfsAccess;
        gMappedVfs.xFullPathname = vfsFullPathname;
        gMappedVfs.xDlOpen = vfsDlOpen;
        gMappedVfs.xDlError = vfsDlError;
        gMappedVfs.xDlSym = vfsDlSym;
        gMappedVfs.xDlClose = vfsDlClose;
        gMappedVfs.xRandomness = vfsRandomness;
        gMappedVfs.xSleep = vfsSleep;
        gMappedVfs.xCurrentTime = vfsCurrentTime;
        gMappedVfs.xGetLastError = vfsGetLastError;
        gMappedVfs.xCurrentTimeInt64 = vfsCurrentTimeInt64;
        gRegisterResult = sqlite3_vfs_register(&gMappedVfs, 0);
    });
    return gRegisterResult;
}

}  // namespace

int openMappedDatabase(const uint8_t* data, int64_t size, sqlite3** db) {
    *db = nullptr;
    const int registered = registerVfs();
    if (registered != SQLITE_OK) return registered;
    const std::string name = kNamePrefix + std::to_string(gNextName.fetch_add(1));
    {
        std::lock_guard<std::mutex> lock(gRegionsMutex);
        gRegions[name] = Region{data, std::max<int64_t>(size, 0)};
    }
    const std::string uri = "file:" + name + "?immutable=1";
    const int opened = sqlite3_open_v2(uri.c_str(), db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX,
                                       kVfsName);
    {
        std::lock_guard<std::mutex> lock(gRegionsMutex);
        gRegions.erase(name);
    }
    return opened;
}

}  // namespace kestrel
