// Backup discovery: turns each iTunes backup folder into one device record
// (name, serial, model, iOS version, time of the backup, folder path).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrel {

class TovIOSDeviceNode {
public:
    std::string strDeviceName;
    std::string strDeviceSize;
    std::string strDeviceBackUpTime;
    std::string strDeviceSerial;
    std::string strDeviceType;
    std::string strIOSVersion;
    std::string deviceImage;  // resource name of the list icon: "ipad" or "iphone"; empty until set
    std::string itunesVersion;
    std::string backUpFilePath;
    // The backup is password-protected: Manifest.plist claims it (IsEncrypted
    // or a keybag) and the bytes agree (Manifest.db, or else the message
    // database or the address book, does not start with the SQLite header).
    bool encrypted = false;
};
using DeviceNodePtr = std::shared_ptr<TovIOSDeviceNode>;

// The ordered list of discovered backups.
class TovIOSDeviceController {
public:
    // Examines one folder and appends a record if it is a readable backup.
    void addDeviceNodeByPath(const std::string& path);

    // Model display name for a product type ("iPhone4,1" -> "Iphone 4S").
    static std::optional<std::string> GetDevcieType(const std::optional<std::string>& productType);

    // "YYYY-MM-DD HH:MM:SS +ZZZZ" -> "YYYY-MM-DD HH:MM" on systems of 10.7 or later.
    static std::string convertCurrentTimeZone2(const std::string& date);

    // The running system's version; this platform reports 10.7.0 so that
    // backup times show as YYYY-MM-DD HH:MM.
    static void getSystemVersionMajor(int* major, int* minor, int* bugFix);

    std::vector<DeviceNodePtr>& arrangedObjects() { return nodes_; }
    const std::vector<DeviceNodePtr>& arrangedObjects() const { return nodes_; }
    void removeAll() {
        nodes_.clear();
        unreadable_.clear();
    }

    // Folders skipped because a property list in them could not be read
    // safely (nested deeper than the parser can take).
    const std::vector<std::string>& unreadableFolders() const { return unreadable_; }

private:
    std::vector<DeviceNodePtr> nodes_;
    std::vector<std::string> unreadable_;
};

// The backup root of a user: "/Users/%s/Library/Application Support/MobileSync/Backup".
std::string backupRootForUser(const std::string& loginName);

// Where the backups of the user running the program are looked for by
// default, the first that applies: $KESTREL_BACKUP_ROOT when set and not
// empty; the macOS location under the user's home
// ("~/Library/Application Support/MobileSync/Backup", a copied or mounted
// Mac home) when it exists; else "~/.local/share/kestrel/backups". The home
// is $HOME, else the password entry's.
std::string defaultBackupRoot();

// Whether a folder is one backup itself (as idevicebackup2 writes them): it
// holds Info.plist, Manifest.plist or Manifest.db.
bool isBackupFolder(const std::string& folder);
// The login name of the user running the program (getlogin, else the
// password entry of the effective user, else $USER).
std::string currentLoginName();

// Lists the backup root in directory order and examines every entry whose
// name does not begin with ".". A root that is a backup itself (a folder
// the user chose) is examined as the one backup it holds.
void enumerateBackupRoot(const std::string& root, TovIOSDeviceController& controller);

// The file-system text of a modification time: "YYYY-MM-DD HH:MM:SS +ZZZZ" in local time.
std::string platformDateText(long long unixSeconds);

// Where a database with the given hashed name lies in a backup folder: the
// file directly in the folder, else in the sub-folder named after the first
// two characters of the name (newer backups). Empty when neither exists.
std::string databasePathInBackup(const std::string& folder, const std::string& hashedName);

// Whether the backup in `folder` is encrypted, given what its Manifest.plist
// claims: the claim is checked against the bytes of its files.
bool backupLooksEncrypted(const std::string& folder, bool manifestClaimsEncryption);

inline constexpr const char* kAddressBookDBName = "31bb7ba8914766d4ba40d6dfb6113c8b614be442";
inline constexpr const char* kMessageDBName = "3d0d7e5fb2ce288813306e4d4636395e047a3d28";

}  // namespace kestrel
