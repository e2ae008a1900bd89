// End-to-end: generated backups scanned by the kestrel command, records
// checked field by field in its JSON output.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "app/backup_discovery.h"
#include "test_support.h"
#include "tools/backup_generator.h"

using namespace kestrel;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

gen::Person person(int64_t rowid, std::optional<std::string> first, std::optional<std::string> middle,
                   std::optional<std::string> last, std::vector<gen::PersonValue> values = {}) {
    gen::Person p;
    p.rowid = rowid;
    p.first = std::move(first);
    p.middle = std::move(middle);
    p.last = std::move(last);
    p.values = std::move(values);
    return p;
}

gen::PersonValue value(int property, std::optional<std::string> text) {
    gen::PersonValue v;
    v.property = property;
    v.value = std::move(text);
    return v;
}

gen::Message ios6Message(int64_t handle, std::string text, int64_t date, bool fromMe,
                         const std::string& service = "SMS") {
    gen::Message m;
    m.handle_id = handle;
    m.text = std::move(text);
    m.date = date;
    m.is_from_me = fromMe;
    m.service = service;
    return m;
}

gen::Message ios5Message(std::string address, std::string text, int64_t date, int flags) {
    gen::Message m;
    m.address = std::move(address);
    m.text = std::move(text);
    m.date = date;
    m.flags = flags;
    return m;
}

// The common address book of these tests.
std::vector<gen::Person> addressBook() {
    gen::Person ann = person(1, "Ann", "Marie", "Lee",
                             {value(3, "+1 (555) 123-4567"), value(3, "555-987-6543"), value(4, "ann@example.com"),
                              value(5, "1 Main St"), value(22, "ann.example.com"), value(1, "ignored"),
                              value(46, "ignored too"), value(3, std::nullopt), value(3, "")});
    ann.department = "Sales";
    ann.jobTitle = "Lead";
    ann.organization = "Acme";
    ann.note = "met at the fair";
    ann.birthday = "1980-02-03";
    gen::Person bob = person(2, "Bob", std::nullopt, std::nullopt, {value(3, "+1 (555) 222-3333")});
    gen::Person lastOnly = person(3, std::nullopt, std::nullopt, "Okafor", {value(4, "o@example.org")});
    lastOnly.organization = "Globex";
    return {ann, bob, lastOnly};
}

struct Scan {
    test::CommandResult run;
    json doc;
};

Scan scanJson(const fs::path& folder, const std::string& extra = "") {
    Scan s;
    s.run = test::runKestrel("scan --json " + extra + " " + test::shellQuote(folder.string()));
    // 1: the scan finished but says its lists may be incomplete.
    if (s.run.status == 0 || s.run.status == 1) s.doc = json::parse(s.run.out);
    return s;
}

// The records of a list that were read with SQL (not carved).
std::vector<json> existingRecords(const json& list) {
    std::vector<json> out;
    for (const json& r : list) {
        if (!r["bDeleted"].get<bool>()) out.push_back(r);
    }
    return out;
}
std::vector<json> existingMessages(const json& doc) { return existingRecords(doc["messages"]); }

std::vector<int> progressOf(const json& doc) { return doc["progress"].get<std::vector<int>>(); }

}  // namespace

TEST(ScanCommand, IOS6BackupGivesContactsAndNamedMessagesFieldByField) {
    test::TempDir dir;
    gen::BackupSpec plan;
    plan.device.productVersion = "6.1.3";
    plan.persons = addressBook();
    plan.handles = {{1, "+15551234567", "SMS"}, {2, "ann@example.com", "iMessage"}, {3, "+15550000000", "SMS"}};
    plan.messages = {ios6Message(1, "See you at 5?", 380000000, false),
                     ios6Message(2, "Caf\xC3\xA9 \xE2\x98\x95 later", 380000600, true, "iMessage"),
                     ios6Message(3, "Unknown number here", 390000000, false),
                     ios6Message(1, "bad \xFF\xFE bytes", 380001200, true),
                     ios6Message(0, "no handle at all", 380001800, true)};
    ASSERT_EQ(gen::writeBackup(dir.path(), plan), "");

    Scan s = scanJson(dir.path());
    ASSERT_EQ(s.run.status, 0) << s.run.err;
    const json& doc = s.doc;
    EXPECT_EQ(doc["backup"]["strIOSVersion"], "6.1.3");
    EXPECT_EQ(doc["backup"]["backUpFilePath"], dir.str());
    EXPECT_EQ(progressOf(doc), (std::vector<int>{40, 50, 75, 85}));
    EXPECT_NE(s.run.err.find("progress 40%"), std::string::npos);

    ASSERT_EQ(existingRecords(doc["contacts"]).size(), 3u);
    const json& ann = doc["contacts"][0];
    EXPECT_EQ(ann["rowid"], 1);
    EXPECT_EQ(ann["contactName"], "Ann Marie Lee");
    EXPECT_EQ(ann["contactPhone"], " +1 (555) 123-4567 555-987-6543");
    EXPECT_EQ(ann["contactEmail"], " ann@example.com");
    EXPECT_EQ(ann["contactAdress"], " 1 Main St");
    EXPECT_EQ(ann["contactHomepage"], " ann.example.com");
    EXPECT_EQ(ann["contactCompany"], "Sales Lead Acme");
    EXPECT_EQ(ann["contactNote"], "met at the fair");
    EXPECT_EQ(ann["contactBirthday"], "1980-02-03");
    EXPECT_EQ(ann["contactJobtitle"], "");
    EXPECT_EQ(ann["bDeleted"], false);
    EXPECT_EQ(doc["contacts"][1]["contactName"], "Bob");
    EXPECT_EQ(doc["contacts"][2]["contactName"], " Okafor");
    EXPECT_EQ(doc["contacts"][2]["contactCompany"], " Globex");

    std::vector<json> messages = existingMessages(doc);
    ASSERT_EQ(messages.size(), 5u);
    EXPECT_EQ(messages[0]["messageContent"], "See you at 5?");
    EXPECT_EQ(messages[0]["messagePhone"], "+15551234567");
    EXPECT_EQ(messages[0]["messageName"], "Ann Marie Lee");
    EXPECT_EQ(messages[0]["messageDate"], "01-16-2013 03:33");
    EXPECT_EQ(messages[0]["messageType"], "Received");
    EXPECT_EQ(messages[0]["bImessage"], false);
    EXPECT_EQ(messages[0]["handle_id"], -1);
    // Fields this reader does not fill yet keep their empty values.
    EXPECT_EQ(messages[0]["source"], "existing");
    EXPECT_EQ(messages[0]["deletedDate"], "");
    EXPECT_EQ(messages[0]["attachments"], json::array());
    EXPECT_TRUE(messages[0]["provenance"].is_null());
    EXPECT_TRUE(messages[0].contains("service"));
    EXPECT_TRUE(messages[0].contains("chat"));
    EXPECT_EQ(ann["source"], "existing");
    EXPECT_TRUE(ann["provenance"].is_null());
    // Carved records say so.
    for (const json& m : doc["messages"]) EXPECT_EQ(m["source"], m["bDeleted"].get<bool>() ? "carved" : "existing");
    for (const json& c : doc["contacts"]) EXPECT_EQ(c["source"], c["bDeleted"].get<bool>() ? "carved" : "existing");
    EXPECT_EQ(messages[1]["messageContent"], "Caf\xC3\xA9 \xE2\x98\x95 later");
    EXPECT_EQ(messages[1]["messageName"], "");  // names are found by phone only
    EXPECT_EQ(messages[1]["messageType"], "Send");
    EXPECT_EQ(messages[2]["messageName"], "");
    EXPECT_EQ(messages[2]["messageDate"], "05-11-2013 21:20");
    EXPECT_EQ(messages[3]["messageContent"], "");  // not UTF-8
    EXPECT_EQ(messages[4]["messagePhone"], "");
    EXPECT_EQ(messages[4]["messageName"], "");

    EXPECT_EQ(doc["counts"]["Contacts"]["existing"], 3);
    EXPECT_EQ(doc["counts"]["Messages"]["existing"], 5);
    EXPECT_EQ(doc["counts"]["Photo&Video"]["deleted"], 0);
    EXPECT_EQ(doc["counts"].size(), 5u);
}

TEST(ScanCommand, IOS5BackupReadsFlagsAndIMessageColumns) {
    test::TempDir dir;
    gen::BackupSpec plan;
    plan.device.productVersion = "5.1.1";
    plan.layout = gen::MessageLayout::IOS5;
    plan.persons = addressBook();
    gen::Message imessage = ios5Message("+15552223333", "plain text", 1300000000, 0);
    imessage.is_madrid = true;
    imessage.madrid_handle = "bob@example.com";
    imessage.madrid_flags = 16387;
    gen::Message attachment = ios5Message("+15552223333", "replaced", 1300000060, 2);
    attachment.is_madrid = true;
    attachment.madrid_handle = "+15552223333";
    attachment.madrid_flags = 2;
    attachment.madrid_attachmentInfo = std::string("pi\0c.j\0pg", 9);
    gen::Message badAttachment = attachment;
    badAttachment.madrid_attachmentInfo = std::string("\xFF\x00\xFE", 3);
    plan.messages = {ios5Message("555-222-3333", "sent one", 1300000000, 3),
                     ios5Message("555-222-3333", "got one", 1300000000, 2),
                     ios5Message("5552223333", "odd flags", 1300000000, 0),
                     ios5Message("+15552223333", "flag 22", 1300000000, 22),
                     imessage, attachment, badAttachment};
    ASSERT_EQ(gen::writeBackup(dir.path(), plan), "");

    Scan s = scanJson(dir.path());
    ASSERT_EQ(s.run.status, 0) << s.run.err;
    std::vector<json> m = existingMessages(s.doc);
    ASSERT_EQ(m.size(), 7u);
    EXPECT_EQ(m[0]["messageType"], "Send");
    EXPECT_EQ(m[0]["messageName"], "Bob");
    EXPECT_EQ(m[0]["messageDate"], "03-13-2011 07:06");
    EXPECT_EQ(m[1]["messageType"], "Received");
    EXPECT_EQ(m[2]["messageType"], "unknown");
    EXPECT_EQ(m[3]["messageType"], "Received");
    EXPECT_EQ(m[4]["bImessage"], true);
    EXPECT_EQ(m[4]["messagePhone"], "bob@example.com");
    EXPECT_EQ(m[4]["messageType"], "Send");
    EXPECT_EQ(m[4]["messageContent"], "plain text");
    EXPECT_EQ(m[5]["messageContent"], "pic.jpg");
    // Invalid bytes are kept as U+FFFD rather than emptying the text.
    EXPECT_EQ(m[6]["messageContent"], "\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(m[0]["bImessage"], false);
}

TEST(ScanCommand, OlderTablesWithoutIMessageColumnsAndNewerSystemsWithIOS6Tables) {
    test::TempDir plain;
    gen::BackupSpec plainSpec;
    plainSpec.device.productVersion = "4.3.5";
    plainSpec.layout = gen::MessageLayout::IOS5Plain;
    plainSpec.messages = {ios5Message("+15550001111", "old phone", 1200000000, 3)};
    ASSERT_EQ(gen::writeBackup(plain.path(), plainSpec), "");
    Scan a = scanJson(plain.path());
    ASSERT_EQ(a.run.status, 0) << a.run.err;
    std::vector<json> m = existingMessages(a.doc);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0]["messageContent"], "old phone");
    EXPECT_EQ(m[0]["messageType"], "Send");
    EXPECT_EQ(m[0]["bImessage"], false);

    // iOS 7 and later keep the iOS 6 tables, in the newer sub-folder layout,
    // and from iOS 11 on store nanoseconds.
    test::TempDir newer;
    gen::BackupSpec newerSpec;
    newerSpec.device.productVersion = "11.2";
    newerSpec.subfolderLayout = true;
    newerSpec.persons = addressBook();
    newerSpec.handles = {{1, "+15552223333", "SMS"}};
    newerSpec.messages = {ios6Message(1, "modern", 380000000LL * 1000000000LL, true)};
    ASSERT_EQ(gen::writeBackup(newer.path(), newerSpec), "");
    ASSERT_FALSE(fs::exists(newer.path() / kMessageDBName));
    Scan b = scanJson(newer.path());
    ASSERT_EQ(b.run.status, 0) << b.run.err;
    ASSERT_EQ(existingRecords(b.doc["contacts"]).size(), 3u);
    m = existingMessages(b.doc);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0]["messageContent"], "modern");
    EXPECT_EQ(m[0]["messageName"], "Bob");
    EXPECT_EQ(m[0]["messageDate"], "01-16-2013 03:33");
    EXPECT_EQ(m[0]["messageType"], "Send");
}

TEST(ScanCommand, MissingDamagedOrEmptyDatabasesStillFinishTheScan) {
    test::TempDir noBook;
    gen::BackupSpec plan;
    plan.addressBook = gen::Damage::Missing;
    plan.handles = {{1, "+15551234567", "SMS"}};
    plan.messages = {ios6Message(1, "nobody to name me", 380000000, false)};
    ASSERT_EQ(gen::writeBackup(noBook.path(), plan), "");
    Scan a = scanJson(noBook.path());
    ASSERT_EQ(a.run.status, 0) << a.run.err;
    EXPECT_NE(a.run.err.find("contactDB is not exist"), std::string::npos);
    std::vector<int> progress = progressOf(a.doc);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress[0], 50);  // neither contact step posts progress
    EXPECT_EQ(std::count(progress.begin(), progress.end(), 75), 0);
    EXPECT_EQ(a.doc["contacts"].size(), 0u);
    ASSERT_EQ(existingMessages(a.doc).size(), 1u);
    EXPECT_EQ(existingMessages(a.doc)[0]["messageName"], "");
    EXPECT_EQ(a.doc["counts"]["Contacts"]["existing"], 0);

    test::TempDir garbage;
    gen::BackupSpec damaged;
    damaged.addressBook = gen::Damage::Garbage;
    damaged.messageDB = gen::Damage::Garbage;
    ASSERT_EQ(gen::writeBackup(garbage.path(), damaged), "");
    Scan b = scanJson(garbage.path());
    // Databases that cannot be read: the scan ends, says so and lists no
    // carved record as deleted, since live ones cannot be told apart.
    ASSERT_EQ(b.run.status, 1) << b.run.err;
    EXPECT_NE(b.run.err.find("[CsmsModule] sqlite3_prepare smsdb failed!"), std::string::npos);
    EXPECT_EQ(b.doc["messages"].size(), 0u);
    EXPECT_EQ(b.doc["counts"]["Contacts"]["deleted"], 0);
    ASSERT_TRUE(b.doc["warnings"].is_array());
    EXPECT_GE(b.doc["warnings"].size(), 4u);  // two failed reads, two carving steps left out
    EXPECT_EQ(progressOf(b.doc)[0], 40);

    test::TempDir empty;
    ASSERT_EQ(gen::writeBackup(empty.path(), gen::BackupSpec{}), "");
    Scan c = scanJson(empty.path());
    ASSERT_EQ(c.run.status, 0) << c.run.err;
    EXPECT_EQ(c.doc["warnings"], json::array());
    EXPECT_EQ(c.doc["contacts"].size(), 0u);
    EXPECT_EQ(c.doc["messages"].size(), 0u);
    EXPECT_EQ(progressOf(c.doc)[0], 40);
    EXPECT_EQ(progressOf(c.doc)[1], 50);
}

TEST(ScanCommand, ReadOnlyScanLeavesTheBackupUntouchedAndFindsTheSame) {
    test::TempDir dir;
    gen::BackupSpec plan;
    plan.persons = addressBook();
    plan.handles = {{1, "+15551234567", "SMS"}};
    plan.messages = {ios6Message(1, "keep me", 380000000, false)};
    ASSERT_EQ(gen::writeBackup(dir.path(), plan), "");
    const fs::path book = dir.path() / kAddressBookDBName;
    const std::string before = test::readFile(book);
    ASSERT_GT(before.size(), 20u);
    EXPECT_EQ(before[18], 1);  // rollback journal as written

    Scan readOnly = scanJson(dir.path(), "--read-only");
    ASSERT_EQ(readOnly.run.status, 0) << readOnly.run.err;
    EXPECT_EQ(test::readFile(book), before);
    Scan byDefault = scanJson(dir.path());
    ASSERT_EQ(byDefault.run.status, 0) << byDefault.run.err;
    EXPECT_EQ(test::readFile(book), before);
    EXPECT_EQ(byDefault.run.err.find("--in-place"), std::string::npos);

    Scan inPlace = scanJson(dir.path(), "--in-place");
    ASSERT_EQ(inPlace.run.status, 0) << inPlace.run.err;
    EXPECT_NE(inPlace.run.err.find("warning: --in-place"), std::string::npos);
    EXPECT_EQ(readOnly.doc["contacts"], inPlace.doc["contacts"]);
    EXPECT_EQ(readOnly.doc["messages"], inPlace.doc["messages"]);
    EXPECT_EQ(byDefault.doc["messages"], inPlace.doc["messages"]);
    // A scan in place switches the address book to write-ahead logging.
    const std::string after = test::readFile(book);
    EXPECT_EQ(after[18], 2);
    EXPECT_EQ(after[19], 2);
    EXPECT_EQ(test::runKestrel("scan --in-place --read-only " + dir.str()).status, 2);
}

TEST(ScanCommand, TextReportAndErrors) {
    test::TempDir dir;
    gen::BackupSpec plan;
    plan.persons = addressBook();
    plan.handles = {{1, "+15551234567", "SMS"}};
    plan.messages = {ios6Message(1, "line one\nline two", 380000000, false)};
    ASSERT_EQ(gen::writeBackup(dir.path() / "backup", plan), "");

    auto text = test::runKestrel("scan " + test::shellQuote((dir.path() / "backup").string()));
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find("Contacts:  3"), std::string::npos);
    EXPECT_NE(text.out.find("Messages:  1"), std::string::npos);
    EXPECT_NE(text.out.find("Call History:  0"), std::string::npos);
    EXPECT_NE(text.out.find("line one\\nline two"), std::string::npos);

    auto list = test::runKestrel("list --json --backup-root " + dir.str());
    ASSERT_EQ(list.status, 0) << list.err;
    json backups = json::parse(list.out);
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_EQ(backups[0]["strDeviceSerial"], plan.device.serial);

    // A root that is one backup itself lists that backup.
    auto itself = test::runKestrel("list --json --backup-root " + (dir.path() / "backup").string());
    ASSERT_EQ(itself.status, 0) << itself.err;
    EXPECT_EQ(json::parse(itself.out).size(), 1u);
    fs::create_directories(dir.path() / "empty");
    auto none = test::runKestrel("list --backup-root " + (dir.path() / "empty").string());
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("No iTunes backup files found !"), std::string::npos);

    EXPECT_EQ(test::runKestrel("scan " + dir.str()).status, 2);  // the root, not a backup
    EXPECT_EQ(test::runKestrel("scan /nonexistent/folder").status, 2);
    EXPECT_EQ(test::runKestrel("scan --bogus x").status, 2);
    EXPECT_EQ(test::runKestrel("").status, 2);
    auto help = test::runKestrel("scan --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--read-only"), std::string::npos);
    EXPECT_EQ(test::runKestrel("--version").status, 0);
}

TEST(ScanCommand, ControlCharactersReachTheTerminalEscaped) {
    test::TempDir dir;
    gen::BackupSpec plan;
    plan.device.deviceName = std::string("P\x1b]0;x\x07\xC2\x9B" "2J");
    plan.persons = addressBook();
    plan.handles = {{1, "+15551234567", "SMS"}};
    plan.messages = {ios6Message(1, "clear\x1b[2J\rscreen\x7f", 380000000, false)};
    const fs::path folder = dir.path() / "esc\x1b[2J";
    ASSERT_EQ(gen::writeBackup(folder, plan), "");

    auto list = test::runKestrel("list --backup-root " + dir.str());
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(list.out.find('\x07'), std::string::npos);
    EXPECT_EQ(list.out.find("\xC2\x9B"), std::string::npos);
    EXPECT_NE(list.out.find("esc\\x1b[2J"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("P\\x1b]0;x\\x07\\u009b2J"), std::string::npos) << list.out;

    auto scan = test::runKestrel("scan " + test::shellQuote(folder.string()));
    ASSERT_EQ(scan.status, 0) << scan.err;
    for (char control : {'\x1b', '\x07', '\r', '\x7f'}) EXPECT_EQ(scan.out.find(control), std::string::npos);
    EXPECT_NE(scan.out.find("clear\\x1b[2J\\rscreen\\x7f"), std::string::npos) << scan.out;

    // JSON keeps its own escaping, the exact text inside.
    auto asJson = test::runKestrel("list --json --backup-root " + dir.str());
    ASSERT_EQ(asJson.status, 0) << asJson.err;
    EXPECT_EQ(json::parse(asJson.out)[0]["strDeviceName"], plan.device.deviceName);
}

TEST(ScanCommand, AHostileFolderIsReportedAndTheOtherBackupsAreListed) {
    test::TempDir dir;
    gen::BackupSpec plan;
    ASSERT_EQ(gen::writeBackup(dir.path() / "good", plan), "");
    fs::create_directories(dir.path() / "deep");
    std::string xml = "<plist>";
    for (int i = 0; i < 200000; ++i) xml += "<array>";
    std::ofstream(dir.path() / "deep" / "Info.plist") << xml;
    std::ofstream(dir.path() / "deep" / "Manifest.plist") << xml;
    auto list = test::runKestrel("list --backup-root " + dir.str());
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find((dir.path() / "good").string()), std::string::npos) << list.out;
    EXPECT_NE(list.err.find("cannot be read safely: " + (dir.path() / "deep").string()), std::string::npos)
        << list.err;
}
