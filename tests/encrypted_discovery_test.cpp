// Discovery marks password-protected backups, checking Manifest.plist's claim
// against the bytes, and `kestrel list` shows the mark in both of its forms.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <plist/plist.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "app/backup_discovery.h"
#include "test_support.h"
#include "tools/backup_generator.h"

using namespace kestrel;
namespace fs = std::filesystem;

namespace {

// Rewrites Manifest.plist's IsEncrypted (a flag that lies).
void setEncryptedFlag(const fs::path& manifest, bool value) {
    std::string bytes = test::readFile(manifest);
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    ASSERT_NE(root, nullptr);
    plist_dict_set_item(root, "IsEncrypted", plist_new_bool(value ? 1 : 0));
    char* bin = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &bin, &length);
    std::ofstream(manifest, std::ios::binary | std::ios::trunc).write(bin, length);
    plist_to_bin_free(bin);
    plist_free(root);
}

}  // namespace

TEST(EncryptedDiscovery, ClaimIsCheckedAgainstTheBytes) {
    test::TempDir root;
    gen::BackupSpec shape = gen::demoSpec();
    shape.subfolderLayout = true;
    ASSERT_EQ(gen::writeBackup(root.path() / "a-plain", shape), "");
    gen::EncryptOptions options;
    ASSERT_EQ(gen::writeEncryptedTwin(root.path() / "a-plain", root.path() / "b-encrypted", options), "");
    options.mbdbEra = true;
    ASSERT_EQ(gen::writeEncryptedTwin(root.path() / "a-plain", root.path() / "c-mbdb", options), "");
    // Claims encryption, but every database is plain SQLite.
    ASSERT_EQ(gen::writeBackup(root.path() / "d-lying", shape), "");
    setEncryptedFlag(root.path() / "d-lying" / "Manifest.plist", true);
    // A plain Manifest.db (iOS 10.0/10.1) over encrypted files is still encrypted.
    options.mbdbEra = false;
    options.damage = gen::EncryptDamage::PlainManifestDb;
    ASSERT_EQ(gen::writeEncryptedTwin(root.path() / "a-plain", root.path() / "e-plain-index", options), "");
    // Claims nothing, but its Manifest.db is ciphertext and it has a keybag.
    options.damage = gen::EncryptDamage::None;
    ASSERT_EQ(gen::writeEncryptedTwin(root.path() / "a-plain", root.path() / "f-unclaimed", options), "");
    setEncryptedFlag(root.path() / "f-unclaimed" / "Manifest.plist", false);

    TovIOSDeviceController controller;
    enumerateBackupRoot(root.str(), controller);
    std::map<std::string, bool> marks;
    for (const DeviceNodePtr& n : controller.arrangedObjects()) {
        marks[fs::path(n->backUpFilePath).filename().string()] = n->encrypted;
    }
    const std::map<std::string, bool> expected = {{"a-plain", false},      {"b-encrypted", true},
                                                  {"c-mbdb", true},        {"d-lying", false},
                                                  {"e-plain-index", true}, {"f-unclaimed", true}};
    EXPECT_EQ(marks, expected);

    auto json = test::runKestrel("list --json --backup-root " + test::shellQuote(root.str()));
    ASSERT_EQ(json.status, 0) << json.err;
    auto doc = nlohmann::json::parse(json.out);
    ASSERT_EQ(doc.size(), expected.size());
    for (const auto& record : doc) {
        const std::string name = fs::path(record["backUpFilePath"].get<std::string>()).filename().string();
        EXPECT_EQ(record["encrypted"], expected.at(name)) << name;
    }
    auto text = test::runKestrel("list --backup-root " + test::shellQuote(root.str()));
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find("Encrypted"), std::string::npos);
    std::istringstream lines(text.out);
    std::string line;
    std::getline(lines, line);  // heading
    while (std::getline(lines, line)) {
        const std::string name = fs::path(line.substr(line.rfind(' ') + 1)).filename().string();
        const bool yes = line.find(" yes ") != std::string::npos;
        EXPECT_EQ(yes, expected.at(name)) << line;
    }
}

TEST(EncryptedDiscovery, NameWithANulByteDoesNotStopTheListing) {
    test::TempDir root;
    gen::BackupSpec shape;
    shape.device.deviceName = "A\xC3\x84XCD";  // non-ASCII: stored as UTF-16
    ASSERT_EQ(gen::writeBackup(root.path() / "b", shape), "");
    std::string bytes = test::readFile(root.path() / "b" / "Manifest.plist");
    const std::string utf16X("\0X\0C\0D", 6);
    size_t replaced = 0;
    for (size_t at = bytes.find(utf16X); at != std::string::npos; at = bytes.find(utf16X, at)) {
        bytes[at + 1] = '\0';
        ++replaced;
    }
    ASSERT_GT(replaced, 0u);
    std::ofstream(root.path() / "b" / "Manifest.plist", std::ios::binary | std::ios::trunc) << bytes;
    fs::remove(root.path() / "b" / "Info.plist");
    TovIOSDeviceController controller;
    controller.addDeviceNodeByPath((root.path() / "b").string());
    ASSERT_EQ(controller.arrangedObjects().size(), 1u);
    EXPECT_EQ(controller.arrangedObjects()[0]->strDeviceName.rfind("A\xC3\x84", 0), 0u);
}
