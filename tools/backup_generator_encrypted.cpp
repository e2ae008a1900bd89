// Encrypted twins of generated backups: the keybag, the wrapped class keys,
// the encrypted file index and the encrypted files, as an iOS device writes
// them for a password-protected backup.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <plist/plist.h>
#include <sqlite3.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "tools/backup_generator.h"
#include "tools/backup_generator_internal.h"

namespace fs = std::filesystem;

namespace kestrel::gen {
namespace {

using detail::GenError;

struct PlistDeleter {
    void operator()(void* p) const { plist_free(static_cast<plist_t>(p)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

struct CipherCtxDeleter {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};

std::string randomBytes(size_t n) {
    std::string bytes(n, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(n)) != 1) {
        throw GenError("no random bytes from OpenSSL");
    }
    return bytes;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw GenError("cannot read " + path.string());
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeFile(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) throw GenError("cannot write " + path.string());
}

std::string be32(uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[static_cast<size_t>(i)] = static_cast<char>(v >> (24 - 8 * i));
    return s;
}

std::string le32(uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
    return s;
}

std::string item(const char* tag, const std::string& value) {
    return std::string(tag, 4) + be32(static_cast<uint32_t>(value.size())) + value;
}

std::string sha1Hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha1(), nullptr);
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}

struct Keys {
    std::string kek;
    std::vector<std::pair<uint32_t, std::string>> classKeys;  // class -> key, classes 11 down to 1
    ~Keys() {
        OPENSSL_cleanse(kek.data(), kek.size());
        for (auto& [c, k] : classKeys) OPENSSL_cleanse(k.data(), k.size());
    }
    const std::string& keyOf(uint32_t cls) const {
        for (const auto& [c, k] : classKeys)
            if (c == cls) return k;
        throw GenError("no class key " + std::to_string(cls));
    }
};

// Classes bound to the device's hardware key as well as the password.
bool deviceBound(uint32_t cls) { return cls == 5 || cls == 9 || cls == 10 || cls == 11; }

// The keybag: header, then one block per class from 11 down to 1.
std::string makeKeybag(const EncryptOptions& o, Keys& keys) {
    const uint32_t sha1Rounds = o.realIterations ? 10000u : o.sha1Rounds;
    const uint32_t sha256Rounds = o.realIterations ? 10000000u : o.sha256Rounds;
    const std::string salt = randomBytes(20), dpsl = randomBytes(20);
    keys.kek = o.mbdbEra ? encryption::deriveKey(o.password, "", 0, salt, sha1Rounds)
                         : encryption::deriveKey(o.password, dpsl, sha256Rounds, salt, sha1Rounds);
    std::string bag = item("VERS", be32(o.mbdbEra ? 3 : 5)) + item("TYPE", be32(1)) + item("UUID", randomBytes(16)) +
                      item("HMCK", randomBytes(40)) + item("WRAP", be32(0)) + item("SALT", salt) +
                      item("ITER", be32(sha1Rounds));
    if (!o.mbdbEra) bag += item("DPWT", be32(1)) + item("DPIC", be32(sha256Rounds)) + item("DPSL", dpsl);
    for (uint32_t cls = 11; cls >= 1; --cls) {
        std::string key = randomBytes(32);
        bag += item("UUID", randomBytes(16)) + item("CLAS", be32(cls)) + item("WRAP", be32(deviceBound(cls) ? 3 : 2)) +
               item("KTYP", be32(0)) + item("WPKY", encryption::wrapKey(keys.kek, key));
        keys.classKeys.emplace_back(cls, std::move(key));
    }
    return bag;
}

struct IndexedFile {
    std::string domain, relativePath, fileId;
    uint64_t size = 0;
    std::string encryptionKey;  // 44 bytes
};

// Finds the plain backup's copy of a file under its hashed name.
std::optional<fs::path> plainCopy(const fs::path& folder, const std::string& fileId) {
    std::error_code ec;
    for (const fs::path& p : {folder / fileId, folder / fileId.substr(0, 2) / fileId}) {
        if (fs::is_regular_file(p, ec)) return p;
    }
    return std::nullopt;
}

void copyKeepingTime(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    if (!fs::is_regular_file(from, ec)) return;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    fs::last_write_time(to, fs::last_write_time(from));
}

void writeManifestDb(const fs::path& file, const std::vector<IndexedFile>& files) {
    std::error_code ec;
    fs::remove(file, ec);
    detail::Db db(file);
    db.exec("CREATE TABLE Files (fileID TEXT PRIMARY KEY, domain TEXT, relativePath TEXT, flags INTEGER, file BLOB);"
            "CREATE INDEX FilesDomainIdx ON Files(domain);"
            "CREATE INDEX FilesRelativePathIdx ON Files(relativePath);"
            "CREATE INDEX FilesFlagsIdx ON Files(flags);"
            "CREATE TABLE Properties (key TEXT PRIMARY KEY, value BLOB);");
    {
        detail::Stmt insert(db, "INSERT INTO Files VALUES (?1, ?2, ?3, ?4, ?5)");
        for (const char* dir : {"Library", "Library/SMS", "Library/AddressBook"}) {
            insert.text(1, sha1Hex(std::string("HomeDomain-") + dir)).text(2, "HomeDomain").text(3, dir).integer(4, 2);
            insert.null(5).run();
        }
        for (const IndexedFile& f : files) {
            insert.text(1, f.fileId).text(2, f.domain).text(3, f.relativePath).integer(4, 1);
            insert.blob(5, encryption::archiveFileRecord(f.relativePath, f.size, 4, f.encryptionKey,
                                                          detail::kBackupMoment + 978307200));
            insert.run();
        }
    }
    db.close();
}

void writeMbdb(const fs::path& file, const std::vector<IndexedFile>& files) {
    auto str = [](const std::string& s) {
        std::string out;
        out += static_cast<char>(s.size() >> 8);
        out += static_cast<char>(s.size() & 0xFF);
        return out + s;
    };
    const std::string absent("\xFF\xFF", 2);
    auto be = [](uint64_t v, int bytes) {
        std::string out;
        for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>(v >> (8 * i));
        return out;
    };
    std::string out("mbdb\x05\x00", 6);
    for (const char* dir : {"Library", "Library/SMS"}) {
        out += str("HomeDomain") + str(dir) + absent + absent + absent + be(0x41ED, 2) + be(1000, 8) + be(501, 4) +
               be(501, 4) + be(1389004200, 4) + be(1389004200, 4) + be(1389004200, 4) + be(0, 8) + be(0, 1) +
               be(0, 1);
    }
    for (const IndexedFile& f : files) {
        uint32_t cls = static_cast<uint8_t>(f.encryptionKey[0]);
        out += str(f.domain) + str(f.relativePath) + absent + str(std::string(20, '\x5a')) + str(f.encryptionKey) +
               be(0x81A4, 2) + be(2000, 8) + be(501, 4) + be(501, 4) + be(1389004200, 4) + be(1389004200, 4) +
               be(1389004200, 4) + be(f.size, 8) + be(cls, 1) + be(1, 1) + str("com.apple.test") + str("1");
    }
    writeFile(file, out);
}

}  // namespace

namespace encryption {

std::string deriveKey(const std::string& password, const std::string& dpsl, uint32_t dpic, const std::string& salt,
                      uint32_t iter) {
    unsigned char stage[32], kek[32];
    const unsigned char* input = reinterpret_cast<const unsigned char*>(password.data());
    int inputSize = static_cast<int>(password.size());
    if (dpic > 0) {
        if (PKCS5_PBKDF2_HMAC(password.data(), inputSize, reinterpret_cast<const unsigned char*>(dpsl.data()),
                              static_cast<int>(dpsl.size()), static_cast<int>(dpic), EVP_sha256(), 32, stage) != 1) {
            throw GenError("PBKDF2-HMAC-SHA256 failed");
        }
        input = stage;
        inputSize = 32;
    }
    if (PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(input), inputSize,
                          reinterpret_cast<const unsigned char*>(salt.data()), static_cast<int>(salt.size()),
                          static_cast<int>(iter), EVP_sha1(), 32, kek) != 1) {
        throw GenError("PBKDF2-HMAC-SHA1 failed");
    }
    std::string out(reinterpret_cast<char*>(kek), 32);
    OPENSSL_cleanse(stage, sizeof stage);
    OPENSSL_cleanse(kek, sizeof kek);
    return out;
}

std::string wrapKey(const std::string& kek, const std::string& key) {
    if (kek.size() != 32 || key.size() != 32) throw GenError("key wrap needs 32-byte keys");
    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter> ctx(EVP_CIPHER_CTX_new());
    EVP_CIPHER_CTX_set_flags(ctx.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    unsigned char out[48];
    int len = 0;
    if (EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_wrap(), nullptr, reinterpret_cast<const unsigned char*>(kek.data()),
                           nullptr) != 1 ||
        EVP_EncryptUpdate(ctx.get(), out, &len, reinterpret_cast<const unsigned char*>(key.data()), 32) != 1 ||
        len != 40) {
        throw GenError("AES key wrap failed");
    }
    return std::string(reinterpret_cast<char*>(out), 40);
}

std::string encrypt(const std::string& key, const std::string& plaintext) {
    if (key.size() != 32) throw GenError("AES-256 needs a 32-byte key");
    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter> ctx(EVP_CIPHER_CTX_new());
    const unsigned char iv[16] = {};
    std::string out(plaintext.size() + 16, '\0');
    int len = 0, tail = 0;
    auto* o = reinterpret_cast<unsigned char*>(out.data());
    if (EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, reinterpret_cast<const unsigned char*>(key.data()),
                           iv) != 1 ||
        EVP_EncryptUpdate(ctx.get(), o, &len, reinterpret_cast<const unsigned char*>(plaintext.data()),
                          static_cast<int>(plaintext.size())) != 1 ||
        EVP_EncryptFinal_ex(ctx.get(), o + len, &tail) != 1) {
        throw GenError("AES-256-CBC encryption failed");
    }
    out.resize(static_cast<size_t>(len + tail));
    return out;
}

std::string archiveFileRecord(const std::string& relativePath, uint64_t size, uint32_t protectionClass,
                              const std::string& encryptionKey, int64_t modified) {
    PlistPtr archive(plist_new_dict());
    plist_t objects = plist_new_array();
    plist_array_append_item(objects, plist_new_string("$null"));
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "RelativePath", plist_new_uid(2));
    plist_dict_set_item(root, "Size", plist_new_uint(size));
    plist_dict_set_item(root, "ProtectionClass", plist_new_uint(protectionClass));
    plist_dict_set_item(root, "EncryptionKey", plist_new_uid(3));
    plist_dict_set_item(root, "Mode", plist_new_uint(0x81A4));
    plist_dict_set_item(root, "LastModified", plist_new_uint(static_cast<uint64_t>(modified)));
    plist_dict_set_item(root, "Birth", plist_new_uint(static_cast<uint64_t>(modified)));
    plist_dict_set_item(root, "LastStatusChange", plist_new_uint(static_cast<uint64_t>(modified)));
    plist_dict_set_item(root, "UserID", plist_new_uint(501));
    plist_dict_set_item(root, "GroupID", plist_new_uint(501));
    plist_dict_set_item(root, "InodeNumber", plist_new_uint(123456));
    plist_dict_set_item(root, "Flags", plist_new_uint(0));
    plist_dict_set_item(root, "$class", plist_new_uid(5));
    plist_array_append_item(objects, root);
    plist_array_append_item(objects, plist_new_string(relativePath.c_str()));
    plist_t key = plist_new_dict();
    plist_dict_set_item(key, "NS.data", plist_new_data(encryptionKey.data(), encryptionKey.size()));
    plist_dict_set_item(key, "$class", plist_new_uid(4));
    plist_array_append_item(objects, key);
    auto classInfo = [](const char* name, std::initializer_list<const char*> chain) {
        plist_t c = plist_new_dict();
        plist_dict_set_item(c, "$classname", plist_new_string(name));
        plist_t classes = plist_new_array();
        for (const char* n : chain) plist_array_append_item(classes, plist_new_string(n));
        plist_dict_set_item(c, "$classes", classes);
        return c;
    };
    plist_array_append_item(objects, classInfo("NSMutableData", {"NSMutableData", "NSData", "NSObject"}));
    plist_array_append_item(objects, classInfo("MBFile", {"MBFile", "NSObject"}));
    plist_dict_set_item(archive.get(), "$archiver", plist_new_string("NSKeyedArchiver"));
    plist_dict_set_item(archive.get(), "$version", plist_new_uint(100000));
    plist_t top = plist_new_dict();
    plist_dict_set_item(top, "root", plist_new_uid(1));
    plist_dict_set_item(archive.get(), "$top", top);
    plist_dict_set_item(archive.get(), "$objects", objects);
    char* bin = nullptr;
    uint32_t length = 0;
    plist_to_bin(archive.get(), &bin, &length);
    if (bin == nullptr) throw GenError("cannot archive a file record");
    std::string out(bin, length);
    plist_to_bin_free(bin);
    return out;
}

}  // namespace encryption

std::string writeEncryptedTwin(const fs::path& plainFolder, const fs::path& folder, const EncryptOptions& o) {
    try {
        fs::create_directories(folder);
        copyKeepingTime(plainFolder / "Info.plist", folder / "Info.plist");
        copyKeepingTime(plainFolder / "Status.plist", folder / "Status.plist");

        Keys keys;
        std::string keybag = makeKeybag(o, keys);

        // The databases, each under its own random file key.
        std::vector<IndexedFile> files;
        const std::pair<const char*, const char*> kFiles[] = {
            {"HomeDomain", "Library/SMS/sms.db"},
            {"HomeDomain", "Library/SMS/sms.db-wal"},
            {"HomeDomain", "Library/SMS/sms.db-shm"},
            {"HomeDomain", "Library/AddressBook/AddressBook.sqlitedb"},
            {"HomeDomain", "Library/AddressBook/AddressBook.sqlitedb-wal"},
            {"HomeDomain", "Library/AddressBook/AddressBook.sqlitedb-shm"},
        };
        for (const auto& [domain, path] : kFiles) {
            IndexedFile f;
            f.domain = domain;
            f.relativePath = path;
            f.fileId = sha1Hex(f.domain + "-" + f.relativePath);
            std::optional<fs::path> source = plainCopy(plainFolder, f.fileId);
            if (!source) continue;
            std::string plain = readFile(*source);
            std::string fileKey = randomBytes(32);
            const bool isMessages = f.relativePath == "Library/SMS/sms.db";
            uint32_t cls = o.fileClass;
            if (isMessages && o.damage == EncryptDamage::MessageDBKeyClassAbsent) cls = 10;
            std::string wrapped = encryption::wrapKey(keys.keyOf(cls), fileKey);
            if (isMessages && o.damage == EncryptDamage::MessageDBKeyDamaged) wrapped[17] ^= 0x01;
            f.encryptionKey = le32(cls) + wrapped;
            f.size = plain.size();
            if (isMessages && o.damage == EncryptDamage::MessageDBShort) f.size += 100;
            const fs::path target = o.mbdbEra ? folder / f.fileId : folder / f.fileId.substr(0, 2) / f.fileId;
            writeFile(target, encryption::encrypt(fileKey, plain));
            OPENSSL_cleanse(fileKey.data(), fileKey.size());
            files.push_back(std::move(f));
        }

        // Manifest.plist: the plain one's keys plus the encryption facts.
        PlistPtr manifest;
        std::error_code ec;
        if (fs::is_regular_file(plainFolder / "Manifest.plist", ec)) {
            std::string bytes = readFile(plainFolder / "Manifest.plist");
            plist_t parsed = nullptr;
            plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &parsed);
            manifest.reset(parsed);
        }
        if (!manifest || plist_get_node_type(manifest.get()) != PLIST_DICT) manifest.reset(plist_new_dict());
        plist_t m = manifest.get();
        plist_dict_set_item(m, "IsEncrypted", plist_new_bool(1));
        plist_dict_set_item(m, "Version", plist_new_string(o.mbdbEra ? "9.1" : "10.0"));
        if (o.damage == EncryptDamage::TruncatedKeybag) keybag.resize(keybag.size() - 7);
        plist_dict_set_item(m, "BackupKeyBag", plist_new_data(keybag.data(), keybag.size()));

        if (o.mbdbEra) {
            writeMbdb(folder / "Manifest.mbdb", files);
        } else {
            const fs::path plainDb = folder / "Manifest.db.plain";
            writeManifestDb(plainDb, files);
            std::string dbBytes = readFile(plainDb);
            fs::remove(plainDb);
            std::string dbKey = randomBytes(32);
            const uint32_t manifestClass =
                o.damage == EncryptDamage::ManifestKeyClassAbsent ? 9u : o.manifestKeyClass;
            if (o.damage != EncryptDamage::NoManifestKey) {
                std::string manifestKey = le32(manifestClass) + encryption::wrapKey(keys.keyOf(manifestClass), dbKey);
                plist_dict_set_item(m, "ManifestKey", plist_new_data(manifestKey.data(), manifestKey.size()));
            }
            std::string stored = dbBytes;
            if (o.damage == EncryptDamage::DamagedManifestDb) {
                stored = randomBytes(dbBytes.size());
            } else if (o.damage != EncryptDamage::PlainManifestDb) {
                stored = encryption::encrypt(dbKey, dbBytes);
            }
            OPENSSL_cleanse(dbKey.data(), dbKey.size());
            writeFile(folder / "Manifest.db", stored);
        }
        char* bin = nullptr;
        uint32_t length = 0;
        plist_to_bin(m, &bin, &length);
        if (bin == nullptr) throw GenError("cannot write Manifest.plist");
        std::string manifestBytes(bin, length);
        plist_to_bin_free(bin);
        writeFile(folder / "Manifest.plist", manifestBytes);
        if (fs::is_regular_file(plainFolder / "Manifest.plist", ec)) {
            fs::last_write_time(folder / "Manifest.plist", fs::last_write_time(plainFolder / "Manifest.plist"));
        }
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

std::string writeEncryptedBackup(const fs::path& folder, const BackupSpec& plan, const EncryptOptions& options) {
    fs::path plain = folder;
    plain += ".plain-tmp";
    std::string error = writeBackup(plain, plan);
    if (error.empty()) error = writeEncryptedTwin(plain, folder, options);
    std::error_code ec;
    fs::remove_all(plain, ec);
    return error;
}

}  // namespace kestrel::gen
