// Test-backup generator: writes iTunes-style backup folders (Info.plist,
// Manifest.plist, the message database and the address book under their
// hashed names) with the tables as the devices have them. Used by the tests,
// the benchmarks and the demo.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kestrel::gen {

enum class MessageLayout {
    IOS6,       // message / handle / chat tables; dates count from 2001-01-01
    IOS5,       // message / group_member / msg_group with the madrid_* (iMessage) columns; Unix dates
    IOS5Plain,  // the older message table without is_madrid and the madrid_* columns
};

enum class Damage {
    None,
    Missing,    // the file is not written at all
    Garbage,    // the file holds random bytes, not a database
    Truncated,  // a valid database cut off in the middle of a page
};

// One value row of ABMultiValue (property 3 phone, 4 e-mail, 5 address, 22 web page).
struct PersonValue {
    int property = 3;
    // Stored as the device does: the row number of this text in ABMultiValueLabel
    // (the empty text writes NULL).
    std::string label = "_$!<Mobile>!$_";
    std::optional<std::string> value;  // nullopt writes NULL
};

struct Person {
    int64_t rowid = 0;  // 0: next free row number
    std::optional<std::string> first, last, middle;
    std::optional<std::string> organization, department, jobTitle;
    std::optional<std::string> note, nickname, prefix, suffix;
    std::optional<std::string> birthday;  // stored as given (text)
    std::vector<PersonValue> values;
    bool deleted = false;  // deleted by SQL (with its values) after every row is written
};

// iOS 6: one handle row and, for each, a chat with the same row number.
struct Handle {
    int64_t rowid = 0;  // 0: next free row number
    std::string id;     // phone number or e-mail address
    std::string service = "SMS";  // "SMS" or "iMessage"
    bool deleted = false;         // deletes the chat row (not the handle) by SQL
};

struct Message {
    int64_t rowid = 0;  // 0: next free row number
    std::optional<std::string> text;  // raw bytes; may be invalid UTF-8
    int64_t date = 0;                 // stored as is (seconds since 2001 for iOS 6, Unix for iOS 5)
    // iOS 6
    int64_t handle_id = 0;
    bool is_from_me = false;
    std::string service = "SMS";
    // iOS 5 (both older layouts)
    std::optional<std::string> address;  // group_member.address of the message's group
    int flags = 2;                       // 2 received, 3 sent
    // iOS 5 with iMessage columns
    bool is_madrid = false;
    std::optional<std::string> madrid_handle;
    int madrid_flags = 0;
    std::optional<std::string> madrid_attachmentInfo;  // blob bytes
    bool deleted = false;  // deleted by SQL after every row is written
};

struct DeviceInfo {
    std::string deviceName = "Test iPhone";
    std::string serial = "C39TESTSERIAL";
    std::string productType = "iPhone5,2";
    std::string productVersion = "6.1.3";
    std::string itunesVersion = "11.0.4";
    std::string buildVersion = "10B329";
    bool writeInfoPlist = true;
    bool writeManifestPlist = true;
    bool manifestHasLockdown = true;
    bool writeStatusPlist = true;  // a small "Status.plist" as iTunes leaves it
};

struct BackupSpec {
    DeviceInfo device;
    MessageLayout layout = MessageLayout::IOS6;
    std::vector<Person> persons;
    std::vector<Handle> handles;
    std::vector<Message> messages;
    Damage addressBook = Damage::None;
    Damage messageDB = Damage::None;
    bool subfolderLayout = false;  // files in XX/ sub-folders named after the first two characters
    int pageSize = 4096;
    bool secureDeleteOff = true;   // deleted rows keep their bytes in the file
    uint32_t seed = 1;             // for random bytes of damaged files
};

// Writes the backup into `folder` (created if needed). Returns the empty text
// on success, otherwise what went wrong.
std::string writeBackup(const std::filesystem::path& folder, const BackupSpec& plan);

// A demo backup: a few hundred messages between recognisable people, some deleted.
BackupSpec demoSpec();

// A large synthetic backup for benchmarks: `messages` messages over `handles`
// correspondents, `contacts` persons (each with a phone matching one handle
// where possible), `deletedFraction` of the messages deleted by SQL.
BackupSpec syntheticSpec(int messages, int contacts, int handles, double deletedFraction, uint32_t seed,
                         MessageLayout layout = MessageLayout::IOS6);
// The same, with `personDeletedFraction` of the persons deleted by SQL as well.
// Deleted items are spread evenly: exactly floor(n * fraction) of n are deleted.
BackupSpec syntheticSpec(int messages, int contacts, int handles, double deletedFraction, uint32_t seed,
                         MessageLayout layout, double personDeletedFraction);

// --- encrypted backups -------------------------------------------------------

// Deliberate faults of an encrypted backup, one at a time, for the failure
// tests of the reader.
enum class EncryptDamage {
    None,
    TruncatedKeybag,         // BackupKeyBag cut inside its last item
    NoManifestKey,           // Manifest.plist without ManifestKey
    ManifestKeyClassAbsent,  // ManifestKey names class 9 (a device-bound key)
    DamagedManifestDb,       // Manifest.db is random bytes
    MessageDBShort,          // sms.db's record says 100 bytes more than it holds
    MessageDBKeyClassAbsent, // sms.db's key names class 10 (a device-bound key)
    MessageDBKeyDamaged,     // sms.db's wrapped key has one byte changed
    PlainManifestDb,         // IsEncrypted and a keybag, but Manifest.db left plain
};

struct EncryptOptions {
    std::string password = "kestrel";
    // Key-derivation rounds: small by default (fast tests); the real counts
    // (10,000,000 PBKDF2-HMAC-SHA256 and 10,000 PBKDF2-HMAC-SHA1) with realIterations.
    bool realIterations = false;
    uint32_t sha256Rounds = 1000;
    uint32_t sha1Rounds = 10;
    // The iOS 5 to 9 layout: Manifest.mbdb (not encrypted), a keybag without
    // the SHA-256 stage, files flat in the folder, no ManifestKey.
    bool mbdbEra = false;
    uint32_t manifestKeyClass = 3;
    uint32_t fileClass = 4;
    EncryptDamage damage = EncryptDamage::None;
};

// Writes the encrypted twin of the unencrypted backup in `plainFolder` into
// `folder`: Info.plist and Status.plist copied (with their times), Manifest.plist
// with IsEncrypted, the keybag and ManifestKey, an encrypted Manifest.db (or a
// Manifest.mbdb) indexing the message database and the address book (with
// their -wal and -shm files when present), and each of them encrypted under
// its own random key in its two-character sub-folder. Returns the empty text
// on success, otherwise what went wrong.
std::string writeEncryptedTwin(const std::filesystem::path& plainFolder, const std::filesystem::path& folder,
                               const EncryptOptions& options);

// writeBackup into a temporary folder next to `folder`, then writeEncryptedTwin.
std::string writeEncryptedBackup(const std::filesystem::path& folder, const BackupSpec& plan,
                                 const EncryptOptions& options);

// The generator's own cryptographic steps, exposed so that tests can hold them
// to published expected bytes.
namespace encryption {
// PBKDF2-HMAC-SHA256 (when dpic > 0) then PBKDF2-HMAC-SHA1, 32 bytes.
std::string deriveKey(const std::string& password, const std::string& dpsl, uint32_t dpic, const std::string& salt,
                      uint32_t iter);
// RFC 3394 AES-256 key wrap of a 32-byte key: 40 bytes.
std::string wrapKey(const std::string& kek, const std::string& key);
// AES-256-CBC, zero IV, PKCS#7 padding.
std::string encrypt(const std::string& key, const std::string& plaintext);
// The NSKeyedArchiver MBFile record of one file.
std::string archiveFileRecord(const std::string& relativePath, uint64_t size, uint32_t protectionClass,
                              const std::string& encryptionKey, int64_t modified);
}  // namespace encryption

// The conventional backup folder name: 40 lowercase hex digits derived from the serial.
std::string backupFolderName(const DeviceInfo& device);

// ---- Modern backups (iOS 11 to 18) ----

// What happens to a generated modern message.
enum class ModernFate {
    Live,             // in its chat
    RecentlyDeleted,  // moved to Recently Deleted (iOS 16 and later)
    Orphaned,         // its row stays, but no chat_message_join row reaches it
    Edited,           // edited: earlier versions kept in message_summary_info (iOS 16 and later)
    Unsent,           // unsent: text and body emptied (iOS 16 and later)
    DeletedBySql,     // deleted through its chat join (the triggers remove the row)
};

struct ModernChat {
    std::vector<std::string> members;  // handle ids (phone numbers, addresses, short codes)
    std::string displayName;           // group name; empty for none
    std::string service = "iMessage";
};

struct ModernMessage {
    size_t chat = 0;                  // index into ModernSpec::chats
    size_t sender = 0;                // member index of the sender, for a received message
    bool fromMe = false;
    std::string text;                 // U+FFFC marks each attachment's place
    bool blobOnly = false;            // text NULL, the text only in attributedBody
    int64_t date = 0;                 // nanoseconds since 2001-01-01
    std::vector<std::string> attachments;  // file names, one per U+FFFC
    ModernFate fate = ModernFate::Live;
    int64_t deleteDate = 0;                // Recently Deleted: nanoseconds since 2001
    bool keepPart = false;                 // Recently Deleted: also a recoverable_message_part row
    // Edited: the earlier texts, oldest first, each with its date (seconds since 2001).
    std::vector<std::pair<std::string, double>> earlierVersions;
};

struct ModernSpec {
    int iosMajor = 17;  // 11, 12, 13, 14, 15, 16, 17 or 18
    DeviceInfo device;
    std::vector<ModernChat> chats;
    std::vector<ModernMessage> messages;
    std::vector<Person> persons;  // the modern address book (51-column ABPerson)
    // Later changes (Recently Deleted, deletes; deleted persons) left in
    // un-checkpointed -wal files beside both databases.
    bool wal = false;
    bool subfolderLayout = true;
    uint32_t seed = 1;
};

// One message as a reader should list it.
struct PlannedMessage {
    int64_t rowid = 0;
    std::string guid;
    std::string handle;   // the correspondent's id; empty for a sent group message
    std::string content;  // as shown: U+FFFC become "[attachment: NAME]"
    int64_t date = 0;     // nanoseconds since 2001 (earlier versions: their own date)
    bool fromMe = false;
    std::string service;
    std::string chat;     // group name, else the members joined with ", "
    std::string source;   // "existing", "recently deleted", "orphaned", "earlier version", "unsent"
    int64_t deleteDate = 0;  // nanoseconds since 2001, 0 when not deleted
    std::vector<std::string> attachments;
    bool recoverableBySql = true;  // false for messages deleted by SQL (only carving can find them)
};

// The backup file names of the two write-ahead logs.
inline constexpr const char* kMessageWalName = "cd47480f213dba9bc38ee792775d17e3f5a73a59";
inline constexpr const char* kAddressBookWalName = "a9aaf31e300bbb71f1602c65e27a29a6c85f98f8";

// Writes a modern backup; `planned`, when given, receives every message as a
// reader should list it (earlier versions as their own entries). Returns the
// empty text on success, otherwise what went wrong.
std::string writeModernBackup(const std::filesystem::path& folder, const ModernSpec& shape,
                              std::vector<PlannedMessage>* planned = nullptr);

// A varied modern backup of about `messages` messages: one-to-one and group
// chats over phone, e-mail and short-code handles, half the texts only in
// attributedBody, attachments, and (iOS 16+) Recently Deleted, edited and
// unsent messages; some messages deleted by SQL and some orphaned.
ModernSpec modernSpec(int iosMajor, int messages, uint32_t seed);

// The message columns of a version, in the file's order.
std::vector<std::string> modernMessageColumns(int iosMajor);

}  // namespace kestrel::gen
