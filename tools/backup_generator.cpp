// Backup folder writer: property lists, the two databases under their hashed
// names, damaged variants, and the folder name.
#include "tools/backup_generator.h"

#include <plist/plist.h>
#include <sqlite3.h>

#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <system_error>

#include "tools/backup_generator_internal.h"

namespace kestrel::gen {
namespace fs = std::filesystem;

namespace detail {

std::string makeHex(Rng& rng, int n) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) out += kDigits[rng.below(16)];
    return out;
}

std::string makeUuid(Rng& rng) {
    return makeHex(rng, 8) + "-" + makeHex(rng, 4) + "-" + makeHex(rng, 4) + "-" + makeHex(rng, 4) + "-" +
           makeHex(rng, 12);
}

Db::Db(const fs::path& file) {
    if (sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        std::string msg = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw GenError("cannot create " + file.string() + ": " + msg);
    }
}

Db::~Db() { sqlite3_close_v2(db_); }

void Db::close() {
    if (db_ && sqlite3_close(db_) != SQLITE_OK) throw GenError(std::string("cannot close: ") + sqlite3_errmsg(db_));
    db_ = nullptr;
}

void Db::exec(const std::string& sql) {
    char* err = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
        std::string msg = err ? err : "unknown error";
        sqlite3_free(err);
        throw GenError("SQL failed (" + msg + "): " + sql.substr(0, 80));
    }
}

int64_t Db::lastRowid() const { return sqlite3_last_insert_rowid(db_); }

Stmt::Stmt(Db& db, const std::string& sql) : db_(db) {
    if (sqlite3_prepare_v2(db.handle(), sql.c_str(), -1, &st_, nullptr) != SQLITE_OK)
        throw GenError(std::string("cannot prepare (") + sqlite3_errmsg(db.handle()) + "): " + sql.substr(0, 80));
}

Stmt::~Stmt() { sqlite3_finalize(st_); }

Stmt& Stmt::null(int pos) {
    sqlite3_bind_null(st_, pos);
    return *this;
}
Stmt& Stmt::integer(int pos, int64_t v) {
    sqlite3_bind_int64(st_, pos, v);
    return *this;
}
Stmt& Stmt::text(int pos, std::string_view v) {
    // The bytes are kept as they are, even when they are not valid UTF-8.
    sqlite3_bind_text64(st_, pos, v.data(), v.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    return *this;
}
Stmt& Stmt::optText(int pos, const std::optional<std::string>& v) { return v ? text(pos, std::string_view(*v)) : null(pos); }
Stmt& Stmt::blob(int pos, std::string_view v) {
    sqlite3_bind_blob64(st_, pos, v.data(), v.size(), SQLITE_TRANSIENT);
    return *this;
}
Stmt& Stmt::optBlob(int pos, const std::optional<std::string>& v) { return v ? blob(pos, std::string_view(*v)) : null(pos); }
Stmt& Stmt::rowidOrNull(int pos, int64_t rowid) { return rowid == 0 ? null(pos) : integer(pos, rowid); }

bool Stmt::step() {
    int rc = sqlite3_step(st_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    std::string msg = sqlite3_errmsg(db_.handle());
    sqlite3_reset(st_);
    throw GenError("SQL step failed: " + msg + " in " + std::string(sqlite3_sql(st_)).substr(0, 80));
}

int64_t Stmt::columnInt(int col) const { return sqlite3_column_int64(st_, col); }

void Stmt::run() {
    while (step()) {
    }
    reset();
}

void Stmt::reset() {
    sqlite3_reset(st_);
    sqlite3_clear_bindings(st_);
}

void prepareNewDatabase(Db& db, const BackupSpec& plan) {
    // The page size only takes effect before the first table exists.
    db.exec("PRAGMA page_size=" + std::to_string(plan.pageSize));
    db.exec(plan.secureDeleteOff ? "PRAGMA secure_delete=OFF" : "PRAGMA secure_delete=ON");
    // Durability is pointless for a generated file and costs seconds on large ones.
    db.exec("PRAGMA synchronous=OFF");
    // Large backups are written in one transaction; keep their pages in memory.
    db.exec("PRAGMA cache_size=-65536");
}

std::string attributedBodyFor(std::string_view text) {
    using namespace std::string_view_literals;
    // Shape of an NSArchiver typedstream holding an NSAttributedString whose
    // single run carries the message-part attribute.
    auto lengthPrefix = [](size_t n) {
        std::string out;
        if (n < 0x80) {
            out += static_cast<char>(n);
        } else {
            out += '\x81';
            out += static_cast<char>(n & 0xFF);
            out += static_cast<char>((n >> 8) & 0xFF);
        }
        return out;
    };
    size_t units = 0;  // UTF-16 code units, counted from the lead bytes
    for (unsigned char c : text) {
        if ((c & 0xC0) != 0x80) units += c >= 0xF0 ? 2 : 1;
    }
    std::string out(
        "\x04\x0bstreamtyped\x81\xe8\x03\x84\x01\x40\x84\x84\x84\x12NSAttributedString\x00\x84\x84\x08NSObject"
        "\x00\x85\x92\x84\x84\x84\x08NSString\x01\x94\x84\x01\x2b"sv);
    out += lengthPrefix(text.size());
    out.append(text.data(), text.size());
    out += "\x86\x84\x02iI\x01"sv;
    out += lengthPrefix(units);
    out += "\x92\x84\x84\x84\x0cNSDictionary\x00\x94\x84\x01i\x01\x92\x84\x96\x96\x1d__kIMMessagePartAttributeName"
           "\x86\x92\x84\x84\x84\x08NSNumber\x00\x84\x84\x07NSValue\x00\x94\x84\x01*\x84\x99\x99\x00\x86\x86\x86"sv;
    return out;
}

}  // namespace detail

namespace {

using detail::GenError;
using detail::Rng;

const char* const kAddressBookName = "31bb7ba8914766d4ba40d6dfb6113c8b614be442";
const char* const kMessageDbName = "3d0d7e5fb2ce288813306e4d4636395e047a3d28";

// --- SHA-1, only for the folder name -------------------------------------
std::array<uint8_t, 20> sha1(std::string_view data) {
    uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    std::string msg(data);
    uint64_t bitLen = static_cast<uint64_t>(data.size()) * 8;
    msg += '\x80';
    while (msg.size() % 64 != 56) msg += '\0';
    for (int i = 7; i >= 0; --i) msg += static_cast<char>((bitLen >> (i * 8)) & 0xFF);
    auto rotl = [](uint32_t x, int n) { return (x << n) | (x >> (32 - n)); };
    for (size_t chunk = 0; chunk < msg.size(); chunk += 64) {
        uint32_t w[80];
        for (int i = 0; i < 16; ++i) {
            const auto* p = reinterpret_cast<const unsigned char*>(msg.data() + chunk + static_cast<size_t>(i) * 4);
            w[i] = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
        }
        for (int i = 16; i < 80; ++i) w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
        for (int i = 0; i < 80; ++i) {
            uint32_t f, k;
            if (i < 20) {
                f = (b & c) | (~b & d);
                k = 0x5A827999;
            } else if (i < 40) {
                f = b ^ c ^ d;
                k = 0x6ED9EBA1;
            } else if (i < 60) {
                f = (b & c) | (b & d) | (c & d);
                k = 0x8F1BBCDC;
            } else {
                f = b ^ c ^ d;
                k = 0xCA62C1D6;
            }
            uint32_t t = rotl(a, 5) + f + e + k + w[i];
            e = d;
            d = c;
            c = rotl(b, 30);
            b = a;
            a = t;
        }
        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
        h[4] += e;
    }
    std::array<uint8_t, 20> out{};
    for (size_t i = 0; i < 20; ++i) out[i] = static_cast<uint8_t>(h[i / 4] >> (24 - 8 * (i % 4)));
    return out;
}

// --- property lists ----------------------------------------------------------
struct PlistDeleter {
    void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

void setString(plist_t dict, const char* key, const std::string& value) {
    plist_dict_set_item(dict, key, plist_new_string(value.c_str()));
}

void writeBytes(const fs::path& file, const char* data, size_t size) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(data, static_cast<std::streamsize>(size));
    out.close();
    if (!out) throw GenError("cannot write " + file.string());
}

void writePlist(const fs::path& file, plist_t root, bool binary) {
    char* data = nullptr;
    uint32_t size = 0;
    if (binary) {
        plist_to_bin(root, &data, &size);
    } else {
        plist_to_xml(root, &data, &size);
    }
    if (!data) throw GenError("cannot encode " + file.filename().string());
    try {
        writeBytes(file, data, size);
    } catch (...) {
        binary ? plist_to_bin_free(data) : plist_to_xml_free(data);
        throw;
    }
    binary ? plist_to_bin_free(data) : plist_to_xml_free(data);
}

std::string phoneNumberOf(const DeviceInfo& d) {
    // A stable made-up number for the device's own line.
    auto digest = sha1("phone:" + d.serial);
    int n = (digest[0] << 8 | digest[1]) % 10000;
    char buf[32];
    std::snprintf(buf, sizeof buf, "+1 (555) 010-%04d", n);
    return buf;
}

void writeInfoPlist(const fs::path& folder, const BackupSpec& plan, Rng& rng) {
    const DeviceInfo& d = plan.device;
    PlistPtr root(plist_new_dict());
    std::string udid = backupFolderName(d);
    std::string udidUpper = udid;
    for (char& c : udidUpper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    setString(root.get(), "Build Version", d.buildVersion);
    setString(root.get(), "Device Name", d.deviceName);
    setString(root.get(), "Display Name", d.deviceName);
    setString(root.get(), "GUID", detail::makeHex(rng, 32));
    std::string imei = "01";
    for (int i = 0; i < 13; ++i) imei += static_cast<char>('0' + rng.below(10));
    setString(root.get(), "IMEI", imei);
    plist_dict_set_item(root.get(), "Last Backup Date", plist_new_date(static_cast<int32_t>(detail::kBackupMoment), 0));
    setString(root.get(), "Phone Number", phoneNumberOf(d));
    setString(root.get(), "Product Type", d.productType);
    setString(root.get(), "Product Version", d.productVersion);
    setString(root.get(), "Serial Number", d.serial);
    setString(root.get(), "Target Identifier", udid);
    setString(root.get(), "Target Type", "Device");
    setString(root.get(), "Unique Identifier", udidUpper);
    setString(root.get(), "iTunes Version", d.itunesVersion);
    writePlist(folder / "Info.plist", root.get(), false);
}

void writeManifestPlist(const fs::path& folder, const BackupSpec& plan) {
    const DeviceInfo& d = plan.device;
    PlistPtr root(plist_new_dict());
    plist_dict_set_item(root.get(), "Applications", plist_new_dict());
    plist_dict_set_item(root.get(), "Date", plist_new_date(static_cast<int32_t>(detail::kBackupMoment), 0));
    plist_dict_set_item(root.get(), "IsEncrypted", plist_new_bool(0));
    if (d.manifestHasLockdown) {
        plist_t lockdown = plist_new_dict();
        setString(lockdown, "BuildVersion", d.buildVersion);
        setString(lockdown, "DeviceName", d.deviceName);
        setString(lockdown, "ProductType", d.productType);
        setString(lockdown, "ProductVersion", d.productVersion);
        setString(lockdown, "SerialNumber", d.serial);
        setString(lockdown, "UniqueDeviceID", backupFolderName(d));
        plist_dict_set_item(root.get(), "Lockdown", lockdown);
    }
    setString(root.get(), "SystemDomainsVersion", "15.0");
    setString(root.get(), "Version", "9.1");
    plist_dict_set_item(root.get(), "WasPasscodeSet", plist_new_bool(0));
    writePlist(folder / "Manifest.plist", root.get(), true);
}

void writeStatusPlist(const fs::path& folder, Rng& rng) {
    PlistPtr root(plist_new_dict());
    setString(root.get(), "BackupState", "new");
    plist_dict_set_item(root.get(), "Date", plist_new_date(static_cast<int32_t>(detail::kBackupMoment), 0));
    plist_dict_set_item(root.get(), "IsFullBackup", plist_new_bool(0));
    setString(root.get(), "SnapshotState", "finished");
    setString(root.get(), "UUID", detail::makeUuid(rng));
    setString(root.get(), "Version", "2.4");
    writePlist(folder / "Status.plist", root.get(), true);
}

// --- databases and their damage ---------------------------------------------
void removeWithCompanions(const fs::path& file) {
    std::error_code ec;
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) fs::remove(fs::path(file.string() + suffix), ec);
}

void writeGarbage(const fs::path& file, uint32_t seed, uint64_t salt) {
    Rng rng((uint64_t{seed} << 32) ^ salt);
    std::string bytes(64 * 1024, '\0');
    for (size_t i = 0; i < bytes.size(); i += 8) {
        uint64_t v = rng.next();
        std::memcpy(&bytes[i], &v, 8);
    }
    writeBytes(file, bytes.data(), bytes.size());
}

void truncateMidPage(const fs::path& file, int pageSize) {
    auto size = fs::file_size(file);
    auto page = static_cast<uintmax_t>(pageSize);
    uintmax_t cut = page * 2 + page / 2;
    if (cut >= size) cut = size > page ? size - page / 2 : size / 2;
    fs::resize_file(file, cut);
}

void writeDatabase(const fs::path& file, Damage damage, const BackupSpec& plan, uint64_t salt,
                   void (*writer)(const fs::path&, const BackupSpec&)) {
    removeWithCompanions(file);
    if (damage == Damage::Missing) return;
    fs::create_directories(file.parent_path());
    if (damage == Damage::Garbage) {
        writeGarbage(file, plan.seed, salt);
        return;
    }
    writer(file, plan);
    if (damage == Damage::Truncated) truncateMidPage(file, plan.pageSize);
}

fs::path databasePath(const fs::path& folder, const std::string& name, bool subfolder) {
    return subfolder ? folder / name.substr(0, 2) / name : folder / name;
}

}  // namespace

std::string backupFolderName(const DeviceInfo& device) {
    static constexpr char kDigits[] = "0123456789abcdef";
    auto digest = sha1("kestrel-device:" + device.serial);
    std::string out;
    for (uint8_t b : digest) {
        out += kDigits[b >> 4];
        out += kDigits[b & 0xF];
    }
    return out;
}

std::string writeBackup(const fs::path& folder, const BackupSpec& plan) {
    try {
        if (plan.pageSize < 512 || plan.pageSize > 65536 || (plan.pageSize & (plan.pageSize - 1)) != 0)
            return "page size must be a power of two from 512 to 65536";
        fs::create_directories(folder);
        Rng rng(uint64_t{plan.seed} * 0x2545F4914F6CDD1DULL + 7);
        if (plan.device.writeInfoPlist) writeInfoPlist(folder, plan, rng);
        if (plan.device.writeManifestPlist) writeManifestPlist(folder, plan);
        if (plan.device.writeStatusPlist) writeStatusPlist(folder, rng);
        writeDatabase(databasePath(folder, kAddressBookName, plan.subfolderLayout), plan.addressBook, plan, 0xAB,
                      &detail::writeAddressBook);
        writeDatabase(databasePath(folder, kMessageDbName, plan.subfolderLayout), plan.messageDB, plan, 0x3D,
                      &detail::writeMessageDatabase);
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

}  // namespace kestrel::gen
