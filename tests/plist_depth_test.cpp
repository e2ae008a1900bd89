#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/backup_discovery.h"
#include "app/log.h"
#include "app/plist_depth.h"
#include "test_support.h"
#include "tools/backup_generator.h"

using namespace kestrel;
namespace fs = std::filesystem;

namespace {

std::string nestedXml(size_t depth) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n";
    for (size_t i = 0; i < depth; ++i) xml += "<array>";
    for (size_t i = 0; i < depth; ++i) xml += "</array>";
    return xml + "\n</plist>\n";
}

void putBigEndian(std::string& out, uint64_t value, size_t width) {
    for (size_t i = width; i-- > 0;) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

// A binary list of `depth` arrays, each holding the next; `refersBack`
// makes the innermost array hold the outermost instead of nothing.
std::string nestedBinary(size_t depth, bool refersBack = false) {
    std::string out = "bplist00";
    std::vector<uint64_t> offsets;
    for (size_t i = 0; i < depth; ++i) {
        offsets.push_back(out.size());
        const bool last = i + 1 == depth;
        if (last && !refersBack) {
            out += static_cast<char>(0xA0);
        } else {
            out += static_cast<char>(0xA1);
            putBigEndian(out, last ? 0 : i + 1, 4);
        }
    }
    const uint64_t table = out.size();
    for (uint64_t offset : offsets) putBigEndian(out, offset, 4);
    out += std::string(6, '\0');
    out += static_cast<char>(4);  // offset size
    out += static_cast<char>(4);  // reference size
    putBigEndian(out, depth, 8);
    putBigEndian(out, 0, 8);
    putBigEndian(out, table, 8);
    return out;
}

// A binary list written by the plist library itself: `depth` dictionaries,
// each holding a string and the next.
std::string libraryBinary(size_t depth) {
    plist_t root = plist_new_dict();
    plist_t at = root;
    for (size_t i = 1; i < depth; ++i) {
        plist_t inner = plist_new_dict();
        plist_dict_set_item(at, "name", plist_new_string("x"));
        plist_dict_set_item(at, "inner", inner);
        at = inner;
    }
    return kestrel::test::binaryPlist(root);
}

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace

TEST(PlistDepth, MeasuresXmlNestingOfArraysAndDictionariesOnly) {
    EXPECT_TRUE(plistNestingWithin(nestedXml(64)));
    std::string reason;
    EXPECT_FALSE(plistNestingWithin(nestedXml(65), 64, &reason));
    EXPECT_EQ(reason, "property list nested too deeply");
    // Empty elements, comments and CDATA do not open anything.
    std::string flat = "<plist><dict>";
    for (int i = 0; i < 100; ++i) flat += "<array/><dict/><!-- <array> --><string><![CDATA[<dict>]]></string>";
    flat += "</dict></plist>";
    EXPECT_TRUE(plistNestingWithin(flat, 2));
    // Truncated markup ends the walk without a read past the end.
    EXPECT_TRUE(plistNestingWithin("<plist><array><arr"));
    EXPECT_TRUE(plistNestingWithin("<!-- never closed <array><array>", 1));
}

TEST(PlistDepth, WalksBinaryListsOfThePlistLibraryAndRejectsBrokenTables) {
    EXPECT_TRUE(plistNestingWithin(libraryBinary(10)));
    EXPECT_TRUE(plistNestingWithin(libraryBinary(64)));
    EXPECT_FALSE(plistNestingWithin(libraryBinary(65)));
    EXPECT_TRUE(plistNestingWithin(nestedBinary(64)));
    std::string reason;
    EXPECT_FALSE(plistNestingWithin(nestedBinary(8, true), 64, &reason));
    EXPECT_EQ(reason, "binary property list refers to itself");
    // Every truncation of a good list is refused or walked, never read past.
    const std::string good = libraryBinary(5);
    for (size_t cut = 0; cut < good.size(); ++cut) plistNestingWithin(good.substr(0, cut));
    std::string badTable = good;
    badTable[badTable.size() - 1] = static_cast<char>(0xFF);  // offset table past the end
    EXPECT_FALSE(plistNestingWithin(badTable));
}

TEST(PlistDepth, SharedMembersAreNotWalkedOnceForEveryPath) {
    // 40 arrays, each holding the next one twice: 2^40 paths, 40 levels.
    const size_t depth = 40;
    std::string out = "bplist00";
    std::vector<uint64_t> offsets;
    for (size_t i = 0; i < depth; ++i) {
        offsets.push_back(out.size());
        if (i + 1 == depth) {
            out += static_cast<char>(0xA0);
        } else {
            out += static_cast<char>(0xA2);
            putBigEndian(out, i + 1, 1);
            putBigEndian(out, i + 1, 1);
        }
    }
    const uint64_t table = out.size();
    for (uint64_t offset : offsets) putBigEndian(out, offset, 2);
    out += std::string(6, '\0');
    out += static_cast<char>(2);
    out += static_cast<char>(1);
    putBigEndian(out, depth, 8);
    putBigEndian(out, 0, 8);
    putBigEndian(out, table, 8);
    EXPECT_TRUE(plistNestingWithin(out));
    EXPECT_FALSE(plistNestingWithin(out, 39));
}

TEST(PlistDepth, DeeplyNestedListsMakeTheirFolderUnreadableAndTheListingGoesOn) {
    test::TempDir root;
    gen::BackupSpec plan;
    plan.device.deviceName = "Good";
    ASSERT_EQ(gen::writeBackup(root.path() / "a-good", plan), "");
    for (const char* name : {"b-xml", "c-binary"}) {
        fs::create_directories(root.path() / name);
        writeFile(root.path() / name / "Manifest.plist", nestedXml(16));
    }
    writeFile(root.path() / "b-xml" / "Info.plist", nestedXml(200000));
    writeFile(root.path() / "c-binary" / "Info.plist", nestedBinary(120000));
    ASSERT_EQ(gen::writeBackup(root.path() / "d-good", plan), "");

    std::vector<std::string> lines;
    LogSink previous = setLogSink([&](const std::string& line) { lines.push_back(line); });
    TovIOSDeviceController list;
    enumerateBackupRoot(root.str(), list);
    setLogSink(previous);

    ASSERT_EQ(list.arrangedObjects().size(), 2u);
    EXPECT_EQ(list.arrangedObjects()[0]->strDeviceName, "Good");
    EXPECT_EQ(list.arrangedObjects()[1]->backUpFilePath, (root.path() / "d-good").string());
    ASSERT_EQ(list.unreadableFolders().size(), 2u);
    EXPECT_EQ(list.unreadableFolders()[0], (root.path() / "b-xml").string());
    EXPECT_EQ(list.unreadableFolders()[1], (root.path() / "c-binary").string());
    int unreadableLines = 0;
    for (const std::string& line : lines) {
        if (line.find("unreadable") != std::string::npos) {
            ++unreadableLines;
            EXPECT_EQ(line.find(root.str()), std::string::npos) << line;
        }
    }
    EXPECT_EQ(unreadableLines, 2);
}

TEST(PlistDepth, AZeroByteInsideAStringOfABinaryListDoesNotEndTheListing) {
    // The plist library checks its strings with an assertion; the device
    // name here holds a zero byte.
    plist_t info = plist_new_dict();
    plist_dict_set_item(info, "Device Name", plist_new_string("ab"));
    plist_dict_set_item(info, "Product Type", plist_new_string("iPhone4,1"));
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(info, &bytes, &length);
    std::string binary(bytes, length);
    std::free(bytes);
    plist_free(info);
    const size_t at = binary.find("ab");
    ASSERT_NE(at, std::string::npos);
    binary[at + 1] = '\0';

    test::TempDir root;
    fs::create_directories(root.path() / "zero");
    writeFile(root.path() / "zero" / "Info.plist", binary);
    writeFile(root.path() / "zero" / "Manifest.plist", nestedXml(1));
    TovIOSDeviceController list;
    list.addDeviceNodeByPath((root.path() / "zero").string());
    ASSERT_EQ(list.arrangedObjects().size(), 1u);
    // The library hands the string over up to its zero byte.
    EXPECT_EQ(list.arrangedObjects()[0]->strDeviceName.substr(0, 1), "a");
    EXPECT_EQ(list.arrangedObjects()[0]->strDeviceType, "Iphone 4S");
}
