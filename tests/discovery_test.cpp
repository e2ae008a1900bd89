#include <gtest/gtest.h>
#include <utime.h>

#include <filesystem>
#include <fstream>

#include "scan/app_controller.h"
#include "app/backup_discovery.h"
#include "test_support.h"
#include "tools/backup_generator.h"

using namespace kestrel;
namespace fs = std::filesystem;

namespace {

gen::BackupSpec emptyBackup(const std::string& productType, const std::string& version) {
    gen::BackupSpec plan;
    plan.device.productType = productType;
    plan.device.productVersion = version;
    return plan;
}

void setModificationTime(const fs::path& path, time_t when) {
    utimbuf times{when, when};
    ASSERT_EQ(utime(path.c_str(), &times), 0);
}

}  // namespace

TEST(Discovery, DeviceTypeTableMatchesSubstringsInOrderIgnoringCase) {
    auto type = [](const char* product) { return TovIOSDeviceController::GetDevcieType(std::string(product)); };
    EXPECT_EQ(TovIOSDeviceController::GetDevcieType(std::nullopt), "Iphone");
    EXPECT_EQ(type(""), "Iphone");
    EXPECT_EQ(type("iPhone3,3"), "Iphone 4");
    EXPECT_EQ(type("iPhone5,2"), "Iphone 5");
    EXPECT_EQ(type("iPhone5,3"), "Iphone 5");
    EXPECT_EQ(type("iphone4,1"), "Iphone 4S");
    EXPECT_EQ(type("iPad3,4"), "NewIpad");
    EXPECT_EQ(type("iPod4,1"), "IpodTouch4G");
    // Later models are matched whole.
    EXPECT_EQ(type("iPad2,5"), "iPad mini");
    EXPECT_EQ(type("iPhone6,1"), "iPhone 5s");
    EXPECT_EQ(type("iPhone17,1"), "iPhone 16 Pro");
    EXPECT_EQ(type("iPhone17,5"), "iPhone 16e");
    EXPECT_EQ(type("iphone17,3"), "iPhone 16");
    EXPECT_EQ(type("iPhone11,8"), "iPhone XR");
    EXPECT_EQ(type("iPad11,1"), "iPad mini (5th generation)");  // not "Ipad 1"
    EXPECT_EQ(type("iPad12,1"), "iPad (9th generation)");       // not "Ipad 2"
    EXPECT_EQ(type("iPad16,3"), "iPad Pro 11-inch (M4)");
    EXPECT_EQ(type("iPod9,1"), "iPod touch (7th generation)");
    EXPECT_FALSE(type("iPhone17,1x").has_value());
    EXPECT_FALSE(type("iPhone99,1").has_value());
    EXPECT_FALSE(type("Watch6,1").has_value());
}

TEST(Discovery, IOS6LayoutRuleLooksAtTheFirstVersionPieceOnly) {
    for (const char* yes : {"6", "6.0", "6.1.3", "6.0.1"}) EXPECT_TRUE(WrenfieldAppDelegate::IOSVersionIOS6(std::string(yes))) << yes;
    for (const char* no : {"5.1.1", "7.0", "7.0.4", "10.2", "06.0", ""}) {
        EXPECT_FALSE(WrenfieldAppDelegate::IOSVersionIOS6(std::string(no))) << no;
    }
    EXPECT_FALSE(WrenfieldAppDelegate::IOSVersionIOS6(std::nullopt));
}

TEST(Discovery, RecordsComeFromInfoPlistElseFromManifestLockdown) {
    test::TempDir root;
    // Both property lists: described from Info.plist only.
    gen::BackupSpec both = emptyBackup("iPad1,1", "5.1.1");
    both.device.deviceName = "Kitchen iPad";
    ASSERT_EQ(gen::writeBackup(root.path() / "both", both), "");
    // Manifest only.
    gen::BackupSpec manifestOnly = emptyBackup("iPod4,1", "6.1");
    manifestOnly.device.writeInfoPlist = false;
    manifestOnly.device.deviceName = "Pocket";
    ASSERT_EQ(gen::writeBackup(root.path() / "manifest", manifestOnly), "");
    setModificationTime(root.path() / "manifest" / "Manifest.plist", 1357041600);  // 2013-01-01 12:00 UTC

    TovIOSDeviceController list;
    list.addDeviceNodeByPath((root.path() / "both").string());
    list.addDeviceNodeByPath((root.path() / "manifest").string());
    ASSERT_EQ(list.arrangedObjects().size(), 2u);

    const TovIOSDeviceNode& a = *list.arrangedObjects()[0];
    EXPECT_EQ(a.strDeviceName, "Kitchen iPad");
    EXPECT_EQ(a.strDeviceSerial, both.device.serial);
    EXPECT_EQ(a.strIOSVersion, "5.1.1");
    EXPECT_EQ(a.strDeviceType, "Ipad 1");
    EXPECT_EQ(a.deviceImage, "ipad");
    EXPECT_EQ(a.itunesVersion, both.device.itunesVersion);
    EXPECT_EQ(a.strDeviceSize, std::to_string(fs::file_size(root.path() / "both" / "Info.plist")));
    EXPECT_EQ(a.backUpFilePath, (root.path() / "both").string());

    const TovIOSDeviceNode& b = *list.arrangedObjects()[1];
    EXPECT_EQ(b.strDeviceName, "Pocket");
    EXPECT_EQ(b.strDeviceType, "IpodTouch4G");
    EXPECT_EQ(b.deviceImage, "iphone");
    EXPECT_EQ(b.itunesVersion, manifestOnly.device.buildVersion);
    EXPECT_EQ(b.strDeviceSize, "");
    EXPECT_EQ(b.strDeviceBackUpTime, "2013-01-01 12:00");  // tests run in UTC
}

TEST(Discovery, FoldersThatAreNotBackupsAreSkipped) {
    test::TempDir root;
    gen::BackupSpec noLockdown = emptyBackup("iPhone5,1", "6.1");
    noLockdown.device.writeInfoPlist = false;
    noLockdown.device.manifestHasLockdown = false;
    ASSERT_EQ(gen::writeBackup(root.path() / "nolockdown", noLockdown), "");
    fs::create_directories(root.path() / "lonely");
    fs::copy_file(root.path() / "nolockdown" / "Manifest.plist", root.path() / "lonely" / "Info.plist");
    fs::create_directories(root.path() / "garbage");
    std::ofstream(root.path() / "garbage" / "Info.plist") << "not a property list";
    std::ofstream(root.path() / "garbage" / "other") << "x";
    std::ofstream(root.path() / "plainfile") << "x";

    TovIOSDeviceController list;
    for (const char* name : {"nolockdown", "lonely", "garbage", "plainfile", "absent"}) {
        list.addDeviceNodeByPath((root.path() / name).string());
    }
    EXPECT_TRUE(list.arrangedObjects().empty());
}

TEST(Discovery, RootEnumerationSkipsDotEntriesAndKeepsDirectoryOrder) {
    test::TempDir root;
    for (const char* name : {"b-second", "a-first", ".hidden", "c-third"}) {
        gen::BackupSpec plan = emptyBackup("iPhone4,1", "6.1.2");
        plan.device.deviceName = name;
        ASSERT_EQ(gen::writeBackup(root.path() / name, plan), "");
    }
    std::vector<std::string> expected;
    for (const auto& entry : fs::directory_iterator(root.path())) {
        std::string name = entry.path().filename().string();
        if (name[0] != '.') expected.push_back(name);
    }
    WrenfieldAppDelegate controller;
    controller.setBackupRoot(root.str());
    ASSERT_TRUE(controller.showIphoneDiskView());
    std::vector<std::string> names;
    for (const auto& node : controller.deviceController.arrangedObjects()) names.push_back(node->strDeviceName);
    EXPECT_EQ(names, expected);

    controller.setBackupRoot((root.path() / "absent").string());
    EXPECT_FALSE(controller.showIphoneDiskView());
    EXPECT_TRUE(controller.deviceController.arrangedObjects().empty());
}

TEST(Discovery, DatabasesAreFoundFlatOrInTheirTwoCharacterFolder) {
    test::TempDir dir;
    EXPECT_EQ(databasePathInBackup(dir.str(), kMessageDBName), "");
    fs::create_directories(dir.path() / "3d");
    std::ofstream(dir.path() / "3d" / kMessageDBName) << "x";
    EXPECT_EQ(databasePathInBackup(dir.str(), kMessageDBName), dir.str() + "/3d/" + kMessageDBName);
    std::ofstream(dir.path() / kMessageDBName) << "x";
    EXPECT_EQ(databasePathInBackup(dir.str(), kMessageDBName), dir.str() + "/" + kMessageDBName);
}

TEST(Discovery, BackupTimesShowDateHoursAndMinutes) {
    EXPECT_EQ(TovIOSDeviceController::convertCurrentTimeZone2("2013-05-06 07:08:09 +0000"), "2013-05-06 07:08");
    EXPECT_EQ(TovIOSDeviceController::convertCurrentTimeZone2("garbage"), "");
    int major = 0, minor = 0;
    TovIOSDeviceController::getSystemVersionMajor(&major, &minor, nullptr);
    EXPECT_EQ(major, 10);
    EXPECT_GE(minor, 7);
}

TEST(Discovery, CurrentDevicesShowTheirModelAndAnIpadGetsTheIpadImage) {
    test::TempDir root;
    ASSERT_EQ(gen::writeBackup(root.path() / "phone", emptyBackup("iPhone17,2", "18.1")), "");
    ASSERT_EQ(gen::writeBackup(root.path() / "pad", emptyBackup("iPad16,5", "18.1")), "");
    TovIOSDeviceController list;
    list.addDeviceNodeByPath((root.path() / "phone").string());
    list.addDeviceNodeByPath((root.path() / "pad").string());
    ASSERT_EQ(list.arrangedObjects().size(), 2u);
    EXPECT_EQ(list.arrangedObjects()[0]->strDeviceType, "iPhone 16 Pro Max");
    EXPECT_EQ(list.arrangedObjects()[0]->deviceImage, "iphone");
    EXPECT_EQ(list.arrangedObjects()[1]->strDeviceType, "iPad Pro 13-inch (M4)");
    EXPECT_EQ(list.arrangedObjects()[1]->deviceImage, "ipad");
}

TEST(Discovery, DefaultRootIsTheEnvironmentThenAMacHomeThenTheLinuxFolder) {
    test::TempDir home;
    const char* oldHome = std::getenv("HOME");
    const std::string savedHome = oldHome != nullptr ? oldHome : "";
    const char* oldRoot = std::getenv("KESTREL_BACKUP_ROOT");
    const std::string savedRoot = oldRoot != nullptr ? oldRoot : "";
    setenv("HOME", (home.str() + "/").c_str(), 1);
    unsetenv("KESTREL_BACKUP_ROOT");
    EXPECT_EQ(defaultBackupRoot(), home.str() + "/.local/share/kestrel/backups");
    fs::create_directories(home.path() / "Library/Application Support/MobileSync/Backup");
    EXPECT_EQ(defaultBackupRoot(), home.str() + "/Library/Application Support/MobileSync/Backup");
    setenv("KESTREL_BACKUP_ROOT", "/somewhere/else", 1);
    EXPECT_EQ(defaultBackupRoot(), "/somewhere/else");
    setenv("KESTREL_BACKUP_ROOT", "", 1);
    EXPECT_EQ(defaultBackupRoot(), home.str() + "/Library/Application Support/MobileSync/Backup");
    if (oldRoot == nullptr) {
        unsetenv("KESTREL_BACKUP_ROOT");
    } else {
        setenv("KESTREL_BACKUP_ROOT", savedRoot.c_str(), 1);
    }
    if (oldHome == nullptr) {
        unsetenv("HOME");
    } else {
        setenv("HOME", savedHome.c_str(), 1);
    }
    // The old per-user rule stays for whoever names a login.
    EXPECT_EQ(backupRootForUser("ann"), "/Users/ann/Library/Application Support/MobileSync/Backup");
}

TEST(Discovery, AChosenFolderThatIsABackupListsItself) {
    test::TempDir root;
    gen::BackupSpec plan = emptyBackup("iPhone4,1", "6.1");
    plan.device.deviceName = "Direct";
    ASSERT_EQ(gen::writeBackup(root.path() / "one", plan), "");
    TovIOSDeviceController list;
    enumerateBackupRoot((root.path() / "one").string(), list);
    ASSERT_EQ(list.arrangedObjects().size(), 1u);
    EXPECT_EQ(list.arrangedObjects()[0]->strDeviceName, "Direct");
    EXPECT_EQ(list.arrangedObjects()[0]->backUpFilePath, (root.path() / "one").string());
    // Its parent lists it as one of the backups under it.
    list.removeAll();
    enumerateBackupRoot(root.str(), list);
    ASSERT_EQ(list.arrangedObjects().size(), 1u);
    EXPECT_FALSE(isBackupFolder(root.str()));
    EXPECT_TRUE(isBackupFolder((root.path() / "one").string()));
}
