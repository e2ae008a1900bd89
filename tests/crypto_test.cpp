// Encrypted backups: the published worked examples byte for byte (for both
// the reader and the generator, so that they cannot share one misreading),
// the parsers' bounds, and every failure mode of a generated backup.
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>

#include "crypto/encrypted_backup.h"
#include "crypto/keybag.h"
#include "crypto/key_material.h"
#include "crypto/manifest_records.h"
#include "test_support.h"
#include "tools/backup_generator.h"

namespace fs = std::filesystem;
using namespace kestrel::crypto;
using kestrel::test::TempDir;

namespace {

std::string hexToBytes(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

std::vector<uint8_t> bytesOf(const std::string& hex) {
    std::string b = hexToBytes(hex);
    return std::vector<uint8_t>(b.begin(), b.end());
}

std::string hexOf(const uint8_t* data, size_t size) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        out += kHex[data[i] >> 4];
        out += kHex[data[i] & 15];
    }
    return out;
}

std::string hexOf(const std::string& bytes) {
    return hexOf(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

void writeBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The small worked example of the encrypted-backup notes.
const std::string kDpsl = "000102030405060708090a0b0c0d0e0f10111213";
const std::string kSalt = "1415161718191a1b1c1d1e1f2021222324252627";
const std::string kStage1 = "58514f5d461284cb93678631eea14a8a0307a2c7dbede0ceef39f0f7bf747a46";
const std::string kKek = "a0fae0653be1e8d4a55e13b212903bbe293f915d7798b903f4bcfe1986c39af9";
const std::string kWpky = "3ed2bc8340a649090c5f351c01212c89e3f7f2955a2e73a0dc6c4745e78bbb3b89fc5574d6209d50";
const std::string kFileKeyBlob =
    "0300000087ca1088b05590d44c4f867da9ccf5f78ee09ffa6b0b193be942fcdeead5ec3558b9a2f43e1a683e";
const std::string kContent = "8cd9950015060d477936a965ad890682";

Key32 keyFromHex(const std::string& hex) {
    std::string b = hexToBytes(hex);
    return Key32(reinterpret_cast<const uint8_t*>(b.data()));
}

}  // namespace

TEST(CryptoWorkedExample, SmallExampleReaderReproducesEveryStep) {
    const std::string password = "secret";
    const auto dpsl = bytesOf(kDpsl), salt = bytesOf(kSalt);
    // Stage 1 through OpenSSL's PBKDF2 and through the rounds run here (with progress).
    Key32 stage1, stage1Stepped;
    ASSERT_TRUE(pbkdf2(Digest::Sha256, reinterpret_cast<const uint8_t*>(password.data()), password.size(), dpsl.data(),
                       dpsl.size(), 1000, stage1));
    EXPECT_EQ(hexOf(stage1.data(), 32), kStage1);
    ASSERT_TRUE(pbkdf2(Digest::Sha256, reinterpret_cast<const uint8_t*>(password.data()), password.size(), dpsl.data(),
                       dpsl.size(), 1000, stage1Stepped, [](double) { return true; }));
    EXPECT_EQ(hexOf(stage1Stepped.data(), 32), kStage1);

    for (bool withProgress : {false, true}) {
        Key32 kek;
        DeriveProgress progress = nullptr;
        if (withProgress) progress = [](double) { return true; };
        ASSERT_TRUE(deriveKeyEncryptionKey(password, salt, 10, dpsl, 1000u, kek, progress));
        EXPECT_EQ(hexOf(kek.data(), 32), kKek) << "progress path " << withProgress;
    }

    const auto wpky = bytesOf(kWpky);
    Key32 classKey;
    ASSERT_TRUE(unwrapKey(keyFromHex(kKek), wpky.data(), wpky.size(), classKey));
    EXPECT_EQ(hexOf(classKey.data(), 32), std::string(64, '1'));

    const auto blob = bytesOf(kFileKeyBlob);
    EXPECT_EQ(keyClass(blob), 3u);
    Key32 fileKey;
    ASSERT_TRUE(unwrapKey(classKey, blob.data() + 4, 40, fileKey));
    EXPECT_EQ(hexOf(fileKey.data(), 32), std::string(64, '2'));

    TempDir dir;
    writeBytes(dir.path() / "cipher", hexToBytes(kContent));
    DecryptResult r = decryptFile((dir.path() / "cipher").string(), (dir.path() / "plain").string(), fileKey, 12u);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(kestrel::test::readFile(dir.path() / "plain"), "hello, world");
    struct stat info {};
    ASSERT_EQ(::stat((dir.path() / "plain").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    // Without a size the padding (04 04 04 04) is what ends the file.
    r = decryptFile((dir.path() / "cipher").string(), (dir.path() / "plain2").string(), fileKey, std::nullopt);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(kestrel::test::readFile(dir.path() / "plain2"), "hello, world");
}

TEST(CryptoWorkedExample, SmallExampleGeneratorReproducesEveryStep) {
    namespace enc = kestrel::gen::encryption;
    const std::string kek = enc::deriveKey("secret", hexToBytes(kDpsl), 1000, hexToBytes(kSalt), 10);
    EXPECT_EQ(hexOf(kek), kKek);
    const std::string classKey(32, '\x11'), fileKey(32, '\x22');
    EXPECT_EQ(hexOf(enc::wrapKey(kek, classKey)), kWpky);
    EXPECT_EQ("03000000" + hexOf(enc::wrapKey(classKey, fileKey)), kFileKeyBlob);
    EXPECT_EQ(hexOf(enc::encrypt(fileKey, "hello, world")), kContent);
}

TEST(CryptoWorkedExample, WrongKeyFailsTheIntegrityCheck) {
    const auto wpky = bytesOf(kWpky);
    Key32 wrong = keyFromHex(kStage1), out;
    EXPECT_FALSE(unwrapKey(wrong, wpky.data(), wpky.size(), out));
    EXPECT_FALSE(unwrapKey(keyFromHex(kKek), wpky.data(), 39, out));
}

// The public vector with the real counts (password "0000", zero salts):
// 10,000,000 SHA-256 rounds, a few seconds.
TEST(CryptoWorkedExample, PublicVectorWithRealCounts) {
    const std::vector<uint8_t> zeros(20, 0);
    const std::string password = "0000";
    Key32 stage1;
    ASSERT_TRUE(pbkdf2(Digest::Sha256, reinterpret_cast<const uint8_t*>(password.data()), password.size(),
                       zeros.data(), zeros.size(), 10000000, stage1));
    EXPECT_EQ(hexOf(stage1.data(), 32), "1e8bf0bd2f08aca606dfcf6b3ab19a3307f12cfc15c787b10eb7f5ecb957b987");
    Key32 kek;
    ASSERT_TRUE(pbkdf2(Digest::Sha1, stage1.data(), 32, zeros.data(), zeros.size(), 10000, kek));
    EXPECT_EQ(hexOf(kek.data(), 32), "ec8edc160b5745ccae000bfb4787630f322821191fba7eea38feab2c6307cd9b");
    const auto wpky = bytesOf("528c9c5171bf8bef1ea397cf29d2a838c90529df02a6ad2f823a1c6f3a5b2040e2a309c520c6a2ab");
    Key32 classKey;
    ASSERT_TRUE(unwrapKey(kek, wpky.data(), wpky.size(), classKey));
    EXPECT_EQ(hexOf(classKey.data(), 32), std::string(64, '0'));
    const auto manifestKey =
        bytesOf("0200000097317494343807e690fd1e431413963dc0e3deb4907fb89fa36ce65126d0ea1301381fb3a2941e2f");
    EXPECT_EQ(keyClass(manifestKey), 2u);
    Key32 dbKey;
    EXPECT_TRUE(unwrapKey(classKey, manifestKey.data() + 4, 40, dbKey));
}

TEST(CryptoDerivation, ProgressReportsAndCancels) {
    const std::vector<uint8_t> salt(20, 7);
    Key32 kek;
    double last = -1;
    int calls = 0;
    ASSERT_TRUE(deriveKeyEncryptionKey("pw", salt, 10, salt, 100000u, kek, [&](double f) {
        EXPECT_GE(f, last);
        EXPECT_LE(f, 1.0);
        last = f;
        ++calls;
        return true;
    }));
    EXPECT_GT(calls, 2);
    Key32 reference;
    ASSERT_TRUE(deriveKeyEncryptionKey("pw", salt, 10, salt, 100000u, reference));
    EXPECT_EQ(kek, reference);
    EXPECT_FALSE(deriveKeyEncryptionKey("pw", salt, 10, salt, 100000u, kek, [](double) { return false; }));
}

// --- keybag -------------------------------------------------------------------

namespace {

std::string be32(uint32_t v) {
    return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                       static_cast<char>(v)};
}
std::string tlv(const char* tag, const std::string& value) {
    return std::string(tag, 4) + be32(static_cast<uint32_t>(value.size())) + value;
}

std::string sampleKeybag() {
    std::string bag = tlv("VERS", be32(5)) + tlv("TYPE", be32(1)) + tlv("UUID", std::string(16, 'u')) +
                      tlv("HMCK", std::string(40, 'h')) + tlv("WRAP", be32(0)) + tlv("SALT", std::string(20, 's')) +
                      tlv("ITER", be32(10000)) + tlv("DPWT", be32(1)) + tlv("DPIC", be32(10000000)) +
                      tlv("DPSL", std::string(20, 'd')) + tlv("SIGN", std::string(20, 'x'));
    for (uint32_t c = 11; c >= 1; --c) {
        bag += tlv("UUID", std::string(16, static_cast<char>('A' + c))) + tlv("CLAS", be32(c)) +
               tlv("WRAP", be32(c == 5 || c >= 9 ? 3 : 2)) + tlv("KTYP", be32(0)) +
               tlv("WPKY", std::string(40, static_cast<char>(c)));
    }
    return bag;
}

std::optional<Keybag> parse(const std::string& bytes, std::string* error = nullptr) {
    return parseKeybag(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), error);
}

}  // namespace

TEST(Keybag, ParsesHeaderAndClassesByNumber) {
    std::string error;
    auto bag = parse(sampleKeybag(), &error);
    ASSERT_TRUE(bag) << error;
    EXPECT_EQ(bag->version, 5u);
    EXPECT_EQ(bag->iterations, 10000u);
    EXPECT_EQ(bag->dpic, 10000000u);
    ASSERT_TRUE(bag->dpsl);
    EXPECT_EQ(bag->salt, std::vector<uint8_t>(20, 's'));
    EXPECT_EQ(bag->uuid, std::vector<uint8_t>(16, 'u'));
    ASSERT_EQ(bag->classes.size(), 11u);
    const KeybagClass* three = bag->classNumbered(3);
    ASSERT_NE(three, nullptr);
    EXPECT_EQ(three->wrap, 2u);
    EXPECT_EQ(three->wrappedKey, std::vector<uint8_t>(40, 3));
    EXPECT_EQ(bag->classNumbered(10)->wrap, 3u);
    EXPECT_EQ(bag->classNumbered(12), nullptr);
}

TEST(Keybag, EveryTruncationAndMalformationIsRefusedWithAReason) {
    const std::string bag = sampleKeybag();
    // Every cut that does not fall on an item boundary ends inside an item.
    for (size_t cut = 1; cut < bag.size(); ++cut) {
        std::string error;
        auto parsed = parse(bag.substr(0, cut), &error);
        if (!parsed) {
            EXPECT_FALSE(error.empty()) << cut;
        }
    }
    std::string error;
    EXPECT_FALSE(parse(bag.substr(0, bag.size() - 7), &error));
    EXPECT_NE(error.find("runs past the end"), std::string::npos) << error;

    std::string noSalt = tlv("VERS", be32(3)) + tlv("UUID", std::string(16, 'u')) + tlv("ITER", be32(10)) +
                         tlv("UUID", std::string(16, 'c')) + tlv("CLAS", be32(1)) + tlv("WPKY", std::string(40, 'k'));
    EXPECT_FALSE(parse(noSalt, &error));
    EXPECT_NE(error.find("SALT"), std::string::npos);
    std::string shortSalt = tlv("SALT", std::string(19, 's')) + noSalt;
    EXPECT_FALSE(parse(shortSalt, &error));
    std::string withSalt = tlv("SALT", std::string(20, 's')) + noSalt;
    EXPECT_TRUE(parse(withSalt, &error)) << error;  // no DPSL/DPIC: the older keybag
    EXPECT_FALSE(parse(tlv("DPSL", std::string(20, 'd')) + withSalt, &error));  // DPSL without DPIC
    EXPECT_FALSE(parse(tlv("DPIC", be32(5)) + withSalt, &error));
    // Tags after a class's UUID belong to that class, not to the header.
    EXPECT_TRUE(parse(withSalt + tlv("DPSL", std::string(20, 'd')), &error)) << error;
    std::string zeroIter = tlv("SALT", std::string(20, 's')) + tlv("ITER", be32(0)) + tlv("UUID", std::string(16, 'u')) +
                           tlv("UUID", std::string(16, 'c')) + tlv("CLAS", be32(1)) + tlv("WPKY", std::string(40, 'k'));
    EXPECT_FALSE(parse(zeroIter, &error));
    // A huge length near the 32-bit limit must not wrap around.
    EXPECT_FALSE(parse(std::string("VERS") + be32(0xFFFFFFF8u) + "abcd", &error));
    std::string noClas = withSalt + tlv("UUID", std::string(16, 'z')) + tlv("WPKY", std::string(40, 'k'));
    EXPECT_FALSE(parse(noClas, &error));
    EXPECT_FALSE(parse(withSalt + tlv("UUID", std::string(16, 'z')) + tlv("CLAS", be32(2)) +
                           tlv("WPKY", std::string(39, 'k')),
                       &error));
}

// --- file records -----------------------------------------------------------------

TEST(FileRecords, ArchivedRecordAndMbdbParse) {
    const std::string key = hexToBytes(kFileKeyBlob);
    const std::string archive =
        kestrel::gen::encryption::archiveFileRecord("Library/SMS/sms.db", 4096, 3, key, 1600000000);
    FileRecord record;
    std::string error;
    ASSERT_TRUE(parseMBFile(reinterpret_cast<const uint8_t*>(archive.data()), archive.size(), record, &error))
        << error;
    EXPECT_EQ(record.size, 4096u);
    EXPECT_EQ(record.protectionClass, 3u);
    EXPECT_EQ(record.mode, 0x81A4u);
    EXPECT_EQ(record.relativePath, "Library/SMS/sms.db");
    EXPECT_EQ(hexOf(reinterpret_cast<const uint8_t*>(record.encryptionKey.data()), record.encryptionKey.size()),
              kFileKeyBlob);
    // Cut archives are refused or parsed, never read past their end.
    for (size_t cut = 0; cut < archive.size(); cut += 7) {
        FileRecord r;
        parseMBFile(reinterpret_cast<const uint8_t*>(archive.data()), cut, r, &error);
    }

    // A UTF-16 path with a NUL character inside (libplist's copying getter
    // aborts on one): parsed, not a crash.
    std::string withNul = kestrel::gen::encryption::archiveFileRecord("Library/SMS/s\xC3\x84Xs.db", 1, 4, key, 0);
    const size_t x = withNul.find(std::string("\0X\0s", 4));
    ASSERT_NE(x, std::string::npos);
    withNul[x + 1] = '\0';
    FileRecord nulRecord;
    ASSERT_TRUE(parseMBFile(reinterpret_cast<const uint8_t*>(withNul.data()), withNul.size(), nulRecord, &error));
    EXPECT_EQ(nulRecord.relativePath.rfind("Library/SMS/s", 0), 0u);
    EXPECT_EQ(nulRecord.size, 1u);

    auto str = [](const std::string& s) { return std::string{static_cast<char>(s.size() >> 8), static_cast<char>(s.size())} + s; };
    const std::string none("\xFF\xFF", 2);
    std::string mbdb("mbdb\x05\x00", 6);
    mbdb += str("HomeDomain") + str("Library/SMS/sms.db") + none + none + str(key) + std::string("\x81\xA4", 2) +
            std::string(8, '\0') + std::string(8, '\0') + std::string(12, '\0') + std::string(6, '\0') +
            std::string("\x10\x00", 2) + std::string(1, '\x03') + std::string(1, '\x01') + str("n") + str("v");
    auto records = parseMbdb(reinterpret_cast<const uint8_t*>(mbdb.data()), mbdb.size(), &error);
    ASSERT_TRUE(records) << error;
    ASSERT_EQ(records->size(), 1u);
    EXPECT_EQ((*records)[0].domain, "HomeDomain");
    EXPECT_EQ((*records)[0].relativePath, "Library/SMS/sms.db");
    EXPECT_EQ((*records)[0].size, 0x1000u);
    EXPECT_EQ((*records)[0].protectionClass, 3u);
    EXPECT_EQ(keyClass((*records)[0].encryptionKey), 3u);
    for (size_t cut = 7; cut < mbdb.size(); ++cut) {
        EXPECT_FALSE(parseMbdb(reinterpret_cast<const uint8_t*>(mbdb.data()), cut, &error)) << cut;
    }
    EXPECT_FALSE(parseMbdb(reinterpret_cast<const uint8_t*>("mbdx\x05\x00"), 6, &error));

    EXPECT_EQ(fileIdFor("HomeDomain", "Library/SMS/sms.db"), "3d0d7e5fb2ce288813306e4d4636395e047a3d28");
    EXPECT_EQ(fileIdFor("HomeDomain", "Library/AddressBook/AddressBook.sqlitedb"),
              "31bb7ba8914766d4ba40d6dfb6113c8b614be442");
    EXPECT_TRUE(isSafeFileId("3d0d7e5fb2ce288813306e4d4636395e047a3d28"));
    EXPECT_FALSE(isSafeFileId("3D0D7E5FB2CE288813306E4D4636395E047A3D28"));
    EXPECT_FALSE(isSafeFileId("../../../../../../../../../../etc/passwd"));
}

TEST(FileDecryption, SizeAndLengthRules) {
    TempDir dir;
    const std::string key(32, '\x22');
    Key32 k(reinterpret_cast<const uint8_t*>(key.data()));
    const std::string plain(40, 'p');
    writeBytes(dir.path() / "c", kestrel::gen::encryption::encrypt(key, plain));  // 48 bytes
    const std::string c = (dir.path() / "c").string(), out = (dir.path() / "o").string();
    // Longer than its record: cut to the record's size, with a note.
    DecryptResult r = decryptFile(c, out, k, 30u);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(kestrel::test::readFile(out), plain.substr(0, 30));
    EXPECT_FALSE(r.note.empty());
    // Shorter than its record: an error, and nothing left behind.
    r = decryptFile(c, out, k, 41u);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("shorter than its record says"), std::string::npos) << r.error;
    EXPECT_FALSE(fs::exists(out));
    r = decryptFile(c, out, k, 1000u);
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(fs::exists(out));
    // A ciphertext cut inside a block.
    writeBytes(dir.path() / "cut", kestrel::gen::encryption::encrypt(key, plain).substr(0, 40));
    r = decryptFile((dir.path() / "cut").string(), out, k, 40u);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("16-byte blocks"), std::string::npos);
    EXPECT_FALSE(fs::exists(out));
    // A plaintext that fills its blocks and carries no padding (as one public fixture does).
    std::vector<uint8_t> noPad;
    const std::string exact(32, 'e');
    const std::string padded = kestrel::gen::encryption::encrypt(key, exact);
    writeBytes(dir.path() / "np", padded.substr(0, 32));
    r = decryptFile((dir.path() / "np").string(), out, k, 32u);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(kestrel::test::readFile(out), exact);
    // A file larger than one read chunk, without a size: padding ends it.
    std::string big(3u * 1024u * 1024u + 5u, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131u);
    writeBytes(dir.path() / "big", kestrel::gen::encryption::encrypt(key, big));
    r = decryptFile((dir.path() / "big").string(), out, k, std::nullopt);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(kestrel::test::readFile(out), big);
    r = decryptFile((dir.path() / "big").string(), out, k, big.size());
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(kestrel::test::readFile(out), big);
    EXPECT_TRUE(r.note.empty());
}

// --- whole backups ------------------------------------------------------------------

namespace {

using kestrel::gen::EncryptDamage;
using kestrel::gen::EncryptOptions;

struct Twin {
    TempDir dir;
    fs::path plain, encrypted;
};

std::unique_ptr<Twin> makeTwin(EncryptOptions options) {
    auto twin = std::make_unique<Twin>();
    twin->plain = twin->dir.path() / "plain";
    twin->encrypted = twin->dir.path() / "encrypted";
    kestrel::gen::BackupSpec shape = kestrel::gen::demoSpec();
    shape.subfolderLayout = true;
    EXPECT_EQ(kestrel::gen::writeBackup(twin->plain, shape), "");
    EXPECT_EQ(kestrel::gen::writeEncryptedTwin(twin->plain, twin->encrypted, options), "");
    return twin;
}

std::string plainDatabase(const Twin& twin, const char* fileId) {
    return kestrel::test::readFile(twin.plain / std::string(fileId).substr(0, 2) / fileId);
}

}  // namespace

TEST(EncryptedBackupOpen, DecryptsBothDatabasesOfBothEras) {
    for (bool mbdb : {false, true}) {
        EncryptOptions options;
        options.password = "correct horse";
        options.mbdbEra = mbdb;
        auto twin = makeTwin(options);
        EXPECT_EQ(fs::exists(twin->encrypted / "Manifest.mbdb"), mbdb);
        OpenError error;
        auto backup = EncryptedBackup::open(twin->encrypted.string(), "correct horse", error);
        ASSERT_TRUE(backup) << error.message;
        EXPECT_EQ(backup->usesMbdb(), mbdb);
        EXPECT_EQ(backup->manifestWasEncrypted(), !mbdb);
        TempDir out;
        FileOutcome sms = backup->decryptFileTo(kHomeDomain, kMessageDBPath, (out.path() / "sms.db").string());
        ASSERT_EQ(sms.status, FileStatus::Found) << sms.message;
        EXPECT_TRUE(sms.note.empty()) << sms.note;
        EXPECT_EQ(kestrel::test::readFile(out.path() / "sms.db"),
                  plainDatabase(*twin, "3d0d7e5fb2ce288813306e4d4636395e047a3d28"));
        FileOutcome ab = backup->decryptFileTo(kHomeDomain, kAddressBookDBPath, (out.path() / "ab.db").string());
        ASSERT_EQ(ab.status, FileStatus::Found) << ab.message;
        EXPECT_EQ(kestrel::test::readFile(out.path() / "ab.db"),
                  plainDatabase(*twin, "31bb7ba8914766d4ba40d6dfb6113c8b614be442"));
        FileOutcome wal = backup->decryptFileTo(kHomeDomain, std::string(kMessageDBPath) + "-wal",
                                                (out.path() / "sms.db-wal").string());
        EXPECT_EQ(wal.status, FileStatus::NotPresent);
        EXPECT_FALSE(fs::exists(out.path() / "sms.db-wal"));
        // A directory row is not a file.
        FileOutcome dir = backup->decryptFileTo(kHomeDomain, "Library/SMS", (out.path() / "d").string());
        EXPECT_EQ(dir.status, FileStatus::Error) << dir.message;
    }
}

TEST(EncryptedBackupOpen, WrongPasswordIsReportedAsSuch) {
    for (bool mbdb : {false, true}) {
        EncryptOptions options;
        options.mbdbEra = mbdb;
        auto twin = makeTwin(options);
        OpenError error;
        EXPECT_FALSE(EncryptedBackup::open(twin->encrypted.string(), "not the password", error));
        EXPECT_EQ(error.kind, OpenErrorKind::WrongPassword);
        EXPECT_EQ(error.message, "wrong password for this backup");
    }
}

TEST(EncryptedBackupOpen, EachDamageHasItsOwnMessage) {
    struct Case {
        EncryptDamage damage;
        OpenErrorKind kind;
        const char* text;
    };
    const Case cases[] = {
        {EncryptDamage::TruncatedKeybag, OpenErrorKind::DamagedKeybag, "keybag in Manifest.plist is truncated"},
        {EncryptDamage::NoManifestKey, OpenErrorKind::MissingManifestKey, "has no ManifestKey"},
        {EncryptDamage::ManifestKeyClassAbsent, OpenErrorKind::MissingClassKey, "protection class 9"},
        {EncryptDamage::DamagedManifestDb, OpenErrorKind::DamagedManifest, "Manifest.db does not decrypt"},
    };
    for (const Case& c : cases) {
        EncryptOptions options;
        options.damage = c.damage;
        auto twin = makeTwin(options);
        OpenError error;
        EXPECT_FALSE(EncryptedBackup::open(twin->encrypted.string(), options.password, error));
        EXPECT_EQ(error.kind, c.kind) << error.message;
        EXPECT_NE(error.message.find(c.text), std::string::npos) << error.message;
        EXPECT_EQ(error.message.rfind("damaged backup: ", 0), 0u) << error.message;
    }
    TempDir empty;
    OpenError error;
    EXPECT_FALSE(EncryptedBackup::open(empty.str(), "x", error));
    EXPECT_EQ(error.kind, OpenErrorKind::Unreadable);
}

TEST(EncryptedBackupOpen, OneDamagedFileFailsAloneAndLeavesNothing) {
    struct Case {
        EncryptDamage damage;
        const char* text;
    };
    const Case cases[] = {
        {EncryptDamage::MessageDBShort, "shorter than its record says"},
        {EncryptDamage::MessageDBKeyClassAbsent, "protection class 10"},
        {EncryptDamage::MessageDBKeyDamaged, "does not unwrap"},
    };
    for (const Case& c : cases) {
        EncryptOptions options;
        options.damage = c.damage;
        auto twin = makeTwin(options);
        OpenError error;
        auto backup = EncryptedBackup::open(twin->encrypted.string(), options.password, error);
        ASSERT_TRUE(backup) << error.message;
        TempDir out;
        FileOutcome sms = backup->decryptFileTo(kHomeDomain, kMessageDBPath, (out.path() / "sms.db").string());
        EXPECT_EQ(sms.status, FileStatus::Error);
        EXPECT_NE(sms.message.find(c.text), std::string::npos) << sms.message;
        EXPECT_NE(sms.message.find("Library/SMS/sms.db"), std::string::npos) << sms.message;
        EXPECT_FALSE(fs::exists(out.path() / "sms.db"));
        FileOutcome ab = backup->decryptFileTo(kHomeDomain, kAddressBookDBPath, (out.path() / "ab.db").string());
        EXPECT_EQ(ab.status, FileStatus::Found) << ab.message;
    }
}

TEST(EncryptedBackupOpen, PlainIndexAndMissingContent) {
    EncryptOptions options;
    options.damage = EncryptDamage::PlainManifestDb;
    auto twin = makeTwin(options);
    OpenError error;
    auto backup = EncryptedBackup::open(twin->encrypted.string(), options.password, error);
    ASSERT_TRUE(backup) << error.message;
    EXPECT_FALSE(backup->manifestWasEncrypted());
    TempDir out;
    FileOutcome sms = backup->decryptFileTo(kHomeDomain, kMessageDBPath, (out.path() / "sms.db").string());
    ASSERT_EQ(sms.status, FileStatus::Found) << sms.message;
    EXPECT_EQ(kestrel::test::readFile(out.path() / "sms.db"),
              plainDatabase(*twin, "3d0d7e5fb2ce288813306e4d4636395e047a3d28"));
    // The content file gone: that file fails, with its name in the message.
    fs::remove(twin->encrypted / "31" / "31bb7ba8914766d4ba40d6dfb6113c8b614be442");
    FileOutcome ab = backup->decryptFileTo(kHomeDomain, kAddressBookDBPath, (out.path() / "ab.db").string());
    EXPECT_EQ(ab.status, FileStatus::Error);
    EXPECT_NE(ab.message.find("missing"), std::string::npos) << ab.message;

    // A plain backup is not taken for an encrypted one.
    OpenError plainError;
    EXPECT_FALSE(EncryptedBackup::open(twin->plain.string(), "x", plainError));
}

TEST(EncryptedBackupOpen, GeneratorCommandWritesBothEras) {
    TempDir dir;
    const std::string gen = kestrel::test::shellQuote(KESTREL_GEN_PATH);
    for (const char* era : {"", " --mbdb"}) {
        const fs::path where = dir.path() / (*era ? "mbdb" : "db");
        auto r = kestrel::test::runCommand(gen + " --demo " + kestrel::test::shellQuote(where.string()) +
                                           " --encrypt 'pass word'" + era);
        ASSERT_EQ(r.status, 0) << r.err;
        std::string folder = r.out.substr(0, r.out.size() - 1);
        OpenError error;
        auto backup = EncryptedBackup::open(folder, "pass word", error);
        ASSERT_TRUE(backup) << error.message;
        EXPECT_EQ(backup->usesMbdb(), *era != 0);
        TempDir out;
        EXPECT_EQ(backup->decryptFileTo(kHomeDomain, kMessageDBPath, (out.path() / "m").string()).status,
                  FileStatus::Found);
    }
    EXPECT_EQ(kestrel::test::runCommand(gen + " --demo x --mbdb").status, 2);
    EXPECT_EQ(kestrel::test::runCommand(gen + " --demo x --encrypt").status, 2);
}

// As in one public fixture: NS.data is itself a reference, there is no
// ProtectionClass and no Size, and only Mode says it is a file.
TEST(FileRecords, ReferencesAreFollowedWhereverAValueMayBeOne) {
    const std::string key = hexToBytes(kFileKeyBlob);
    plist_t objects = plist_new_array();
    plist_array_append_item(objects, plist_new_string("$null"));
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "RelativePath", plist_new_uid(2));
    plist_dict_set_item(root, "EncryptionKey", plist_new_uid(3));
    plist_dict_set_item(root, "Mode", plist_new_uid(5));
    plist_array_append_item(objects, root);
    plist_array_append_item(objects, plist_new_string("Media/Test.txt"));
    plist_t wrapper = plist_new_dict();
    plist_dict_set_item(wrapper, "NS.data", plist_new_uid(4));
    plist_array_append_item(objects, wrapper);
    plist_array_append_item(objects, plist_new_data(key.data(), key.size()));
    plist_array_append_item(objects, plist_new_uint(0x81ED));
    plist_t archive = plist_new_dict();
    plist_t top = plist_new_dict();
    plist_dict_set_item(top, "root", plist_new_uid(1));
    plist_dict_set_item(archive, "$top", top);
    plist_dict_set_item(archive, "$objects", objects);
    char* bin = nullptr;
    uint32_t length = 0;
    plist_to_bin(archive, &bin, &length);
    std::string bytes(bin, length);
    plist_to_bin_free(bin);

    FileRecord record;
    std::string error;
    ASSERT_TRUE(parseMBFile(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), record, &error)) << error;
    EXPECT_EQ(record.relativePath, "Media/Test.txt");
    EXPECT_EQ(record.mode, 0x81EDu);
    EXPECT_FALSE(record.size.has_value());
    EXPECT_FALSE(record.protectionClass.has_value());
    EXPECT_EQ(keyClass(record.encryptionKey), 3u);

    plist_free(archive);
}

TEST(EncryptedBackupOpen, UnsafeFileNameInTheIndexIsRefused) {
    EncryptOptions options;
    options.damage = EncryptDamage::PlainManifestDb;  // an index the test can edit
    auto twin = makeTwin(options);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((twin->encrypted / "Manifest.db").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "UPDATE Files SET fileID = '../../../../../../etc/passwd' "
                           "WHERE relativePath = 'Library/SMS/sms.db'",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    OpenError error;
    auto backup = EncryptedBackup::open(twin->encrypted.string(), options.password, error);
    ASSERT_TRUE(backup) << error.message;
    TempDir out;
    FileOutcome sms = backup->decryptFileTo(kHomeDomain, kMessageDBPath, (out.path() / "sms.db").string());
    EXPECT_EQ(sms.status, FileStatus::Error);
    EXPECT_NE(sms.message.find("unsafe file name"), std::string::npos) << sms.message;
    EXPECT_FALSE(fs::exists(out.path() / "sms.db"));
}
