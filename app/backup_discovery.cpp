#include "app/backup_discovery.h"

#include <plist/plist.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "app/log.h"
#include "app/plist_depth.h"

namespace fs = std::filesystem;

namespace kestrel {
namespace {

// Property-list files of a backup are small; anything larger is not one.
constexpr uintmax_t kMaxPlistBytes = 64u * 1024u * 1024u;

struct PlistDeleter {
    void operator()(void* p) const { plist_free(static_cast<plist_t>(p)); }
};
using PlistHolder = std::unique_ptr<void, PlistDeleter>;

// Reads a property list (XML or binary) whose root is a dictionary. An
// absent, unreadable or unparsable file, or one of another root type, gives
// nothing. A list nested deeper than the plist library can parse safely is
// not handed to it: `hostile` is set and nothing is returned.
PlistHolder readPlistDictionary(const fs::path& path, bool* hostile = nullptr) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return nullptr;
    uintmax_t size = fs::file_size(path, ec);
    if (ec || size == 0 || size > kMaxPlistBytes) return nullptr;
    std::ifstream in(path, std::ios::binary);
    if (!in) return nullptr;
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.size() != size) return nullptr;
    std::string reason;
    if (!plistNestingWithin(data, kMaxPlistNesting, &reason)) {
        NSLog("A backup folder is unreadable: %s: %s", path.filename().c_str(), reason.c_str());
        if (hostile != nullptr) *hostile = true;
        return nullptr;
    }
    plist_t root = nullptr;
    plist_from_memory(data.data(), static_cast<uint32_t>(data.size()), &root);
    PlistHolder holder(root);
    if (root == nullptr || plist_get_node_type(root) != PLIST_DICT) return nullptr;
    return holder;
}

std::optional<std::string> stringForKey(plist_t dict, const char* key) {
    plist_t item = plist_dict_get_item(dict, key);
    if (item == nullptr || plist_get_node_type(item) != PLIST_STRING) return std::nullopt;
    // Read through the pointer and its length: plist_get_string_val asserts
    // (ends the program) on a string holding a zero byte, which a binary
    // list can. A zero byte within the length given is kept as U+2400, the
    // visible symbol for NUL.
    uint64_t length = 0;
    const char* value = plist_get_string_ptr(item, &length);
    if (value == nullptr) return std::nullopt;
    std::string result;
    result.reserve(static_cast<size_t>(length));
    for (uint64_t i = 0; i < length; ++i) {
        if (value[i] == '\0') {
            result += "\xE2\x90\x80";
        } else {
            result.push_back(value[i]);
        }
    }
    return result;
}

std::optional<long long> modificationTime(const fs::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return static_cast<long long>(info.st_mtime);
}

std::vector<std::string> splitAt(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (true) {
        size_t at = text.find(separator, start);
        pieces.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) break;
        start = at + 1;
    }
    return pieces;
}

// The time rule for the backup time: the file's date text, through the
// time-zone conversion, without its zone.
std::string backupTimeText(long long unixSeconds) {
    NSLogDebug("modificationDate===%s", platformDateText(unixSeconds).c_str());
    std::string converted = TovIOSDeviceController::convertCurrentTimeZone2(platformDateText(unixSeconds));
    std::vector<std::string> pieces = splitAt(converted, ' ');
    if (!converted.empty() && pieces.size() >= 3) return pieces[0] + " " + pieces[1];
    return converted;
}

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    }
    return true;
}

bool containsIgnoringCase(const std::string& haystack, const std::string& needle) {
    auto it = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    });
    return it != haystack.end();
}

bool allDigits(const std::string& s, size_t from, size_t count) {
    if (from + count > s.size()) return false;
    for (size_t i = from; i < from + count; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
    }
    return true;
}

}  // namespace

std::string platformDateText(long long unixSeconds) {
    time_t t = static_cast<time_t>(unixSeconds);
    std::tm parts{};
    if (localtime_r(&t, &parts) == nullptr) return std::string();
    char text[64];
    if (std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", &parts) == 0) return std::string();
    return text;
}

void TovIOSDeviceController::getSystemVersionMajor(int* major, int* minor, int* bugFix) {
    if (major) *major = 10;
    if (minor) *minor = 7;
    if (bugFix) *bugFix = 0;
}

std::string TovIOSDeviceController::convertCurrentTimeZone2(const std::string& date) {
    int minor = 0;
    getSystemVersionMajor(nullptr, &minor, nullptr);
    if (minor < 7) return date;
    // Parse "YYYY-MM-DD HH:MM..." and give back date, hours and minutes.
    if (!(allDigits(date, 0, 4) && date.size() >= 16 && date[4] == '-' && allDigits(date, 5, 2) &&
          date[7] == '-' && allDigits(date, 8, 2) && date[10] == ' ' && allDigits(date, 11, 2) &&
          date[13] == ':' && allDigits(date, 14, 2))) {
        return std::string();
    }
    return date.substr(0, 10) + " " + date.substr(11, 2) + ":" + date.substr(14, 2);
}

std::optional<std::string> TovIOSDeviceController::GetDevcieType(const std::optional<std::string>& productType) {
    if (!productType || productType->empty()) return std::string("Iphone");
    static const std::pair<const char*, const char*> kTable[] = {
        {"iPhone1,1", "Iphone"},      {"iPhone1,2", "Iphone3G"},    {"iPhone2,1", "Iphone3GS"},
        {"iPhone3,1", "Iphone 4"},    {"iPhone3,3", "Iphone 4"},    {"iPhone4,1", "Iphone 4S"},
        {"iPhone5", "Iphone 5"},      {"iPod1,1", "IpodTouch"},     {"iPod2,1", "IpodTouch2G"},
        {"iPod3,1", "IpodTouch3G"},   {"iPod4,1", "IpodTouch4G"},   {"iPad1,1", "Ipad 1"},
        {"iPad2,1", "Ipad 2"},        {"iPad3", "NewIpad"},
    };
    for (const auto& [key, name] : kTable) {
        if (containsIgnoringCase(*productType, key)) return std::string(name);
    }
    // Every later product type, matched whole (the keys above match parts of
    // a text, which would confuse "iPad1,1" with "iPad11,1" if they were not
    // all older than the two-digit numbers).
    static const std::pair<const char*, const char*> kModels[] = {
        {"iPhone3,2", "iPhone 4"},
        {"iPhone6,1", "iPhone 5s"}, {"iPhone6,2", "iPhone 5s"},
        {"iPhone7,1", "iPhone 6 Plus"}, {"iPhone7,2", "iPhone 6"},
        {"iPhone8,1", "iPhone 6s"}, {"iPhone8,2", "iPhone 6s Plus"}, {"iPhone8,4", "iPhone SE"},
        {"iPhone9,1", "iPhone 7"}, {"iPhone9,3", "iPhone 7"},
        {"iPhone9,2", "iPhone 7 Plus"}, {"iPhone9,4", "iPhone 7 Plus"},
        {"iPhone10,1", "iPhone 8"}, {"iPhone10,4", "iPhone 8"},
        {"iPhone10,2", "iPhone 8 Plus"}, {"iPhone10,5", "iPhone 8 Plus"},
        {"iPhone10,3", "iPhone X"}, {"iPhone10,6", "iPhone X"},
        {"iPhone11,2", "iPhone XS"}, {"iPhone11,4", "iPhone XS Max"}, {"iPhone11,6", "iPhone XS Max"},
        {"iPhone11,8", "iPhone XR"},
        {"iPhone12,1", "iPhone 11"}, {"iPhone12,3", "iPhone 11 Pro"}, {"iPhone12,5", "iPhone 11 Pro Max"},
        {"iPhone12,8", "iPhone SE (2nd generation)"},
        {"iPhone13,1", "iPhone 12 mini"}, {"iPhone13,2", "iPhone 12"}, {"iPhone13,3", "iPhone 12 Pro"},
        {"iPhone13,4", "iPhone 12 Pro Max"},
        {"iPhone14,4", "iPhone 13 mini"}, {"iPhone14,5", "iPhone 13"}, {"iPhone14,2", "iPhone 13 Pro"},
        {"iPhone14,3", "iPhone 13 Pro Max"}, {"iPhone14,6", "iPhone SE (3rd generation)"},
        {"iPhone14,7", "iPhone 14"}, {"iPhone14,8", "iPhone 14 Plus"},
        {"iPhone15,2", "iPhone 14 Pro"}, {"iPhone15,3", "iPhone 14 Pro Max"},
        {"iPhone15,4", "iPhone 15"}, {"iPhone15,5", "iPhone 15 Plus"},
        {"iPhone16,1", "iPhone 15 Pro"}, {"iPhone16,2", "iPhone 15 Pro Max"},
        {"iPhone17,3", "iPhone 16"}, {"iPhone17,4", "iPhone 16 Plus"},
        {"iPhone17,1", "iPhone 16 Pro"}, {"iPhone17,2", "iPhone 16 Pro Max"}, {"iPhone17,5", "iPhone 16e"},
        {"iPhone18,3", "iPhone 17"}, {"iPhone18,4", "iPhone Air"},
        {"iPhone18,1", "iPhone 17 Pro"}, {"iPhone18,2", "iPhone 17 Pro Max"},
        {"iPod5,1", "iPod touch (5th generation)"}, {"iPod7,1", "iPod touch (6th generation)"},
        {"iPod9,1", "iPod touch (7th generation)"},
        {"iPad2,2", "iPad 2"}, {"iPad2,3", "iPad 2"}, {"iPad2,4", "iPad 2"},
        {"iPad2,5", "iPad mini"}, {"iPad2,6", "iPad mini"}, {"iPad2,7", "iPad mini"},
        {"iPad4,1", "iPad Air"}, {"iPad4,2", "iPad Air"}, {"iPad4,3", "iPad Air"},
        {"iPad4,4", "iPad mini 2"}, {"iPad4,5", "iPad mini 2"}, {"iPad4,6", "iPad mini 2"},
        {"iPad4,7", "iPad mini 3"}, {"iPad4,8", "iPad mini 3"}, {"iPad4,9", "iPad mini 3"},
        {"iPad5,1", "iPad mini 4"}, {"iPad5,2", "iPad mini 4"},
        {"iPad5,3", "iPad Air 2"}, {"iPad5,4", "iPad Air 2"},
        {"iPad6,3", "iPad Pro (9.7-inch)"}, {"iPad6,4", "iPad Pro (9.7-inch)"},
        {"iPad6,7", "iPad Pro (12.9-inch)"}, {"iPad6,8", "iPad Pro (12.9-inch)"},
        {"iPad6,11", "iPad (5th generation)"}, {"iPad6,12", "iPad (5th generation)"},
        {"iPad7,1", "iPad Pro (12.9-inch) (2nd generation)"}, {"iPad7,2", "iPad Pro (12.9-inch) (2nd generation)"},
        {"iPad7,3", "iPad Pro (10.5-inch)"}, {"iPad7,4", "iPad Pro (10.5-inch)"},
        {"iPad7,5", "iPad (6th generation)"}, {"iPad7,6", "iPad (6th generation)"},
        {"iPad7,11", "iPad (7th generation)"}, {"iPad7,12", "iPad (7th generation)"},
        {"iPad8,1", "iPad Pro (11-inch)"}, {"iPad8,2", "iPad Pro (11-inch)"},
        {"iPad8,3", "iPad Pro (11-inch)"}, {"iPad8,4", "iPad Pro (11-inch)"},
        {"iPad8,5", "iPad Pro (12.9-inch) (3rd generation)"}, {"iPad8,6", "iPad Pro (12.9-inch) (3rd generation)"},
        {"iPad8,7", "iPad Pro (12.9-inch) (3rd generation)"}, {"iPad8,8", "iPad Pro (12.9-inch) (3rd generation)"},
        {"iPad8,9", "iPad Pro (11-inch) (2nd generation)"}, {"iPad8,10", "iPad Pro (11-inch) (2nd generation)"},
        {"iPad8,11", "iPad Pro (12.9-inch) (4th generation)"}, {"iPad8,12", "iPad Pro (12.9-inch) (4th generation)"},
        {"iPad11,1", "iPad mini (5th generation)"}, {"iPad11,2", "iPad mini (5th generation)"},
        {"iPad11,3", "iPad Air (3rd generation)"}, {"iPad11,4", "iPad Air (3rd generation)"},
        {"iPad11,6", "iPad (8th generation)"}, {"iPad11,7", "iPad (8th generation)"},
        {"iPad12,1", "iPad (9th generation)"}, {"iPad12,2", "iPad (9th generation)"},
        {"iPad13,1", "iPad Air (4th generation)"}, {"iPad13,2", "iPad Air (4th generation)"},
        {"iPad13,4", "iPad Pro (11-inch) (3rd generation)"}, {"iPad13,5", "iPad Pro (11-inch) (3rd generation)"},
        {"iPad13,6", "iPad Pro (11-inch) (3rd generation)"}, {"iPad13,7", "iPad Pro (11-inch) (3rd generation)"},
        {"iPad13,8", "iPad Pro (12.9-inch) (5th generation)"}, {"iPad13,9", "iPad Pro (12.9-inch) (5th generation)"},
        {"iPad13,10", "iPad Pro (12.9-inch) (5th generation)"}, {"iPad13,11", "iPad Pro (12.9-inch) (5th generation)"},
        {"iPad13,16", "iPad Air (5th generation)"}, {"iPad13,17", "iPad Air (5th generation)"},
        {"iPad13,18", "iPad (10th generation)"}, {"iPad13,19", "iPad (10th generation)"},
        {"iPad14,1", "iPad mini (6th generation)"}, {"iPad14,2", "iPad mini (6th generation)"},
        {"iPad14,3", "iPad Pro (11-inch) (4th generation)"}, {"iPad14,4", "iPad Pro (11-inch) (4th generation)"},
        {"iPad14,5", "iPad Pro (12.9-inch) (6th generation)"}, {"iPad14,6", "iPad Pro (12.9-inch) (6th generation)"},
        {"iPad14,8", "iPad Air 11-inch (M2)"}, {"iPad14,9", "iPad Air 11-inch (M2)"},
        {"iPad14,10", "iPad Air 13-inch (M2)"}, {"iPad14,11", "iPad Air 13-inch (M2)"},
        {"iPad15,3", "iPad Air 11-inch (M3)"}, {"iPad15,4", "iPad Air 11-inch (M3)"},
        {"iPad15,5", "iPad Air 13-inch (M3)"}, {"iPad15,6", "iPad Air 13-inch (M3)"},
        {"iPad15,7", "iPad (A16)"}, {"iPad15,8", "iPad (A16)"},
        {"iPad16,1", "iPad mini (A17 Pro)"}, {"iPad16,2", "iPad mini (A17 Pro)"},
        {"iPad16,3", "iPad Pro 11-inch (M4)"}, {"iPad16,4", "iPad Pro 11-inch (M4)"},
        {"iPad16,5", "iPad Pro 13-inch (M4)"}, {"iPad16,6", "iPad Pro 13-inch (M4)"},
        {"iPad17,1", "iPad Pro 11-inch (M5)"}, {"iPad17,2", "iPad Pro 11-inch (M5)"},
        {"iPad17,3", "iPad Pro 13-inch (M5)"}, {"iPad17,4", "iPad Pro 13-inch (M5)"},
    };
    for (const auto& [key, name] : kModels) {
        if (equalsIgnoringCase(*productType, key)) return std::string(name);
    }
    return std::nullopt;
}

void TovIOSDeviceController::addDeviceNodeByPath(const std::string& path) {
    std::error_code ec;
    fs::path folder(path);
    if (!fs::exists(folder, ec)) {
        NSLog("Filepath is not exist");
        return;
    }
    if (!fs::is_directory(folder, ec)) return;
    size_t entries = 0;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end && entries < 2; it.increment(ec)) ++entries;
    if (ec || entries < 2) return;

    bool hostile = false;
    PlistHolder info = readPlistDictionary(folder / "Info.plist", &hostile);
    PlistHolder manifest = readPlistDictionary(folder / "Manifest.plist", &hostile);
    if (hostile) {
        unreadable_.push_back(path);
        return;
    }

    auto node = std::make_shared<TovIOSDeviceNode>();
    std::optional<std::string> productType;
    auto assign = [](std::string& field, const std::optional<std::string>& value) {
        if (value) field = *value;
    };
    if (info) {
        plist_t dict = info.get();
        assign(node->strDeviceName, stringForKey(dict, "Device Name"));
        assign(node->strDeviceSerial, stringForKey(dict, "Serial Number"));
        productType = stringForKey(dict, "Product Type");
        assign(node->strIOSVersion, stringForKey(dict, "Product Version"));
        assign(node->itunesVersion, stringForKey(dict, "iTunes Version"));
        fs::path infoPath = folder / "Info.plist";
        if (auto mtime = modificationTime(infoPath)) node->strDeviceBackUpTime = backupTimeText(*mtime);
        uintmax_t size = fs::file_size(infoPath, ec);
        if (!ec) node->strDeviceSize = std::to_string(size);
    } else if (manifest) {
        plist_t lockdown = plist_dict_get_item(manifest.get(), "Lockdown");
        if (lockdown == nullptr || plist_get_node_type(lockdown) != PLIST_DICT) return;
        assign(node->strDeviceName, stringForKey(lockdown, "DeviceName"));
        assign(node->strDeviceSerial, stringForKey(lockdown, "SerialNumber"));
        productType = stringForKey(lockdown, "ProductType");
        assign(node->strIOSVersion, stringForKey(lockdown, "ProductVersion"));
        assign(node->itunesVersion, stringForKey(lockdown, "BuildVersion"));
        if (auto mtime = modificationTime(folder / "Manifest.plist")) {
            node->strDeviceBackUpTime = backupTimeText(*mtime);
        }
    } else {
        return;
    }

    if (manifest) {
        plist_t flag = plist_dict_get_item(manifest.get(), "IsEncrypted");
        uint8_t claimed = 0;
        if (flag != nullptr && plist_get_node_type(flag) == PLIST_BOOLEAN) plist_get_bool_val(flag, &claimed);
        plist_t keybag = plist_dict_get_item(manifest.get(), "BackupKeyBag");
        const bool hasKeybag = keybag != nullptr && plist_get_node_type(keybag) == PLIST_DATA;
        node->encrypted = backupLooksEncrypted(path, claimed != 0 || hasKeybag);
    }

    std::optional<std::string> type = GetDevcieType(productType);
    node->strDeviceType = type.value_or(std::string());
    const bool isPad = node->strDeviceType == "Ipad 1" || node->strDeviceType == "Ipad 2" ||
                       node->strDeviceType == "NewIpad" || node->strDeviceType.rfind("iPad", 0) == 0;
    node->deviceImage = isPad ? "ipad" : "iphone";
    node->backUpFilePath = path;
    nodes_.push_back(std::move(node));
}

std::string backupRootForUser(const std::string& loginName) {
    return "/Users/" + loginName + "/Library/Application Support/MobileSync/Backup";
}

std::string currentLoginName() {
    if (const char* name = getlogin(); name != nullptr && *name != 0) return name;
    if (const passwd* entry = getpwuid(geteuid()); entry != nullptr && entry->pw_name != nullptr) {
        return entry->pw_name;
    }
    if (const char* user = std::getenv("USER"); user != nullptr) return user;
    return std::string();
}

std::string defaultBackupRoot() {
    if (const char* root = std::getenv("KESTREL_BACKUP_ROOT"); root != nullptr && *root != 0) return root;
    std::string home;
    if (const char* value = std::getenv("HOME"); value != nullptr && *value != 0) {
        home = value;
    } else if (const passwd* entry = getpwuid(geteuid()); entry != nullptr && entry->pw_dir != nullptr) {
        home = entry->pw_dir;
    }
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    std::error_code ec;
    const std::string mac = home + "/Library/Application Support/MobileSync/Backup";
    if (!home.empty() && fs::is_directory(mac, ec)) return mac;
    return home + "/.local/share/kestrel/backups";
}

bool isBackupFolder(const std::string& folder) {
    std::error_code ec;
    for (const char* name : {"Info.plist", "Manifest.plist", "Manifest.db"}) {
        if (fs::is_regular_file(fs::path(folder) / name, ec)) return true;
    }
    return false;
}

void enumerateBackupRoot(const std::string& root, TovIOSDeviceController& controller) {
    if (isBackupFolder(root)) {
        controller.addDeviceNodeByPath(root);
        return;
    }
    std::error_code ec;
    std::vector<std::string> names;
    for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        names.push_back(it->path().filename().string());
    }
    for (const std::string& name : names) {
        if (name.empty() || name[0] == '.') continue;
        controller.addDeviceNodeByPath(root + "/" + name);
    }
}

namespace {

// 1 when the file starts with the SQLite header, 0 when it does not, -1 when
// it cannot be read.
int startsWithSqliteHeader(const std::string& path) {
    static const char kHeader[16] = {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f', 'o', 'r', 'm', 'a', 't', ' ', '3', '\0'};
    std::ifstream in(path, std::ios::binary);
    if (!in) return -1;
    char head[16] = {};
    in.read(head, sizeof head);
    return in.gcount() == 16 && std::memcmp(head, kHeader, 16) == 0 ? 1 : 0;
}

}  // namespace

bool backupLooksEncrypted(const std::string& folder, bool manifestClaimsEncryption) {
    if (!manifestClaimsEncryption) return false;
    // An encrypted Manifest.db is ciphertext. A plain one (iOS 10.0 and 10.1)
    // may still index encrypted files, so the databases themselves decide.
    if (startsWithSqliteHeader(folder + "/Manifest.db") == 0) return true;
    bool sawPlain = false;
    for (const char* name : {kMessageDBName, kAddressBookDBName}) {
        const std::string path = databasePathInBackup(folder, name);
        if (path.empty()) continue;
        const int plain = startsWithSqliteHeader(path);
        if (plain == 0) return true;
        if (plain == 1) sawPlain = true;
    }
    return !sawPlain;
}

std::string databasePathInBackup(const std::string& folder, const std::string& hashedName) {
    if (folder.empty() || hashedName.size() < 2) return std::string();
    std::error_code ec;
    std::string flat = folder + "/" + hashedName;
    if (fs::exists(flat, ec)) return flat;
    std::string nested = folder + "/" + hashedName.substr(0, 2) + "/" + hashedName;
    if (fs::exists(nested, ec)) return nested;
    return std::string();
}

}  // namespace kestrel
