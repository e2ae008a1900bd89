#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "test_support.h"
#include "tools/backup_generator.h"

using namespace kestrel;
namespace fs = std::filesystem;

namespace {

const char* const kAddressBook = "31bb7ba8914766d4ba40d6dfb6113c8b614be442";
const char* const kMessages = "3d0d7e5fb2ce288813306e4d4636395e047a3d28";

// Read-only connection for checking what the generator wrote.
class Sql {
public:
    explicit Sql(const fs::path& file) { sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr); }
    ~Sql() { sqlite3_close(db_); }
    int64_t scalar(const std::string& query) const {
        sqlite3_stmt* st = nullptr;
        int64_t value = -1;
        if (sqlite3_prepare_v2(db_, query.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
            value = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
        return value;
    }
    std::string columns(const std::string& table) const {
        sqlite3_stmt* st = nullptr;
        std::string names;
        sqlite3_prepare_v2(db_, ("PRAGMA table_info(" + table + ")").c_str(), -1, &st, nullptr);
        while (sqlite3_step(st) == SQLITE_ROW) names += std::string(names.empty() ? "" : ",") +
                                                        reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
        sqlite3_finalize(st);
        return names;
    }

private:
    sqlite3* db_ = nullptr;
};

template <class T>
int64_t liveCount(const std::vector<T>& items) {
    return std::count_if(items.begin(), items.end(), [](const T& x) { return !x.deleted; });
}

std::string stringAt(plist_t dict, const char* key) {
    plist_t node = dict ? plist_dict_get_item(dict, key) : nullptr;
    char* value = nullptr;
    if (node) plist_get_string_val(node, &value);
    std::string out = value ? value : "";
    free(value);
    return out;
}

}  // namespace

TEST(BackupGenerator, DemoIos6DatabasesHaveTheDeviceTablesAndSqlDeletions) {
    test::TempDir dir;
    gen::BackupSpec plan = gen::demoSpec();
    ASSERT_EQ(gen::writeBackup(dir.path(), plan), "");

    std::set<std::string> entries;
    for (const auto& e : fs::directory_iterator(dir.path())) entries.insert(e.path().filename().string());
    EXPECT_EQ(entries, (std::set<std::string>{"Info.plist", "Manifest.plist", "Status.plist", kAddressBook, kMessages}));

    Sql msg(dir.path() / kMessages);
    EXPECT_EQ(msg.columns("message"),
              "ROWID,guid,text,replace,service_center,handle_id,subject,country,attributedBody,version,type,service,"
              "account,account_guid,error,date,date_read,date_delivered,is_delivered,is_finished,is_emote,is_from_me,"
              "is_empty,is_delayed,is_auto_reply,is_prepared,is_read,is_system_message,is_sent,has_dd_results,"
              "is_service_message,is_forward,was_downgraded,is_archive,cache_has_attachments,cache_roomnames,"
              "was_data_detected,was_deduplicated");
    EXPECT_EQ(msg.columns("handle"), "ROWID,id,country,service,uncanonicalized_id");
    EXPECT_EQ(msg.columns("chat"), "ROWID,guid,style,state,account_id,properties,chat_identifier,service_name,"
                                   "room_name,account_login,is_archived,last_addressed_handle");
    EXPECT_EQ(msg.columns("chat_message_join"), "chat_id,message_id");
    EXPECT_EQ(msg.scalar("PRAGMA page_size"), 4096);
    EXPECT_EQ(msg.scalar("SELECT count(*) FROM message"), liveCount(plan.messages));
    EXPECT_EQ(msg.scalar("SELECT count(*) FROM handle"), static_cast<int64_t>(plan.handles.size()));
    int64_t liveChats = liveCount(plan.handles);
    EXPECT_EQ(msg.scalar("SELECT count(*) FROM chat"), liveChats);
    EXPECT_EQ(msg.scalar("SELECT count(*) FROM chat c JOIN handle h ON c.ROWID = h.ROWID WHERE c.chat_identifier = h.id"
                         " AND c.guid = h.service || ';-;' || h.id AND c.service_name = h.service"),
              liveChats);
    EXPECT_EQ(msg.scalar("SELECT count(*) FROM chat_handle_join"), liveChats);
    EXPECT_EQ(msg.scalar("SELECT count(*) FROM chat_message_join j LEFT JOIN message m ON m.ROWID = j.message_id"
                         " WHERE m.ROWID IS NULL OR m.handle_id != j.chat_id"),
              0);
    EXPECT_EQ(msg.scalar("SELECT count(*) FROM message WHERE length(guid) != 36 OR attributedBody IS NULL"), 0);

    Sql book(dir.path() / kAddressBook);
    EXPECT_EQ(book.columns("ABPerson"),
              "ROWID,First,Last,Middle,FirstPhonetic,MiddlePhonetic,LastPhonetic,Organization,Department,Note,Kind,"
              "Birthday,JobTitle,Nickname,Prefix,Suffix,FirstSort,LastSort,CreationDate,ModificationDate,"
              "CompositeNameFallback,ExternalIdentifier,ExternalModificationTag,ExternalUUID,StoreID,DisplayName,"
              "ExternalRepresentation,FirstSortSection,LastSortSection,FirstSortLanguageIndex,LastSortLanguageIndex,"
              "PersonLink,ImageURI,IsPreferredName");
    EXPECT_EQ(book.columns("ABMultiValue"), "UID,record_id,property,identifier,label,value");
    EXPECT_EQ(book.scalar("SELECT count(*) FROM ABPerson"), liveCount(plan.persons));
    EXPECT_EQ(book.scalar("SELECT count(*) FROM ABMultiValue WHERE record_id NOT IN (SELECT ROWID FROM ABPerson)"), 0);

    // A deleted text that no live message repeats: gone for SQL, still in the file's bytes.
    std::set<std::string> liveTexts;
    for (const auto& m : plan.messages)
        if (!m.deleted && m.text) liveTexts.insert(*m.text);
    auto gone = std::find_if(plan.messages.begin(), plan.messages.end(),
                             [&](const gen::Message& m) { return m.deleted && m.text && !liveTexts.count(*m.text); });
    ASSERT_NE(gone, plan.messages.end());
    std::string literal = *gone->text;
    for (size_t at = literal.find('\''); at != std::string::npos; at = literal.find('\'', at + 2)) literal.insert(at, "'");
    EXPECT_EQ(msg.scalar("SELECT count(*) FROM message WHERE text = '" + literal + "'"), 0) << *gone->text;
    EXPECT_NE(test::readFile(dir.path() / kMessages).find(*gone->text), std::string::npos) << *gone->text;
    auto lost = std::find_if(plan.persons.begin(), plan.persons.end(), [](const gen::Person& p) { return p.deleted; });
    ASSERT_NE(lost, plan.persons.end());
    EXPECT_NE(test::readFile(dir.path() / kAddressBook).find(*lost->last), std::string::npos);

    // With secure deletion the same bytes are wiped.
    plan.secureDeleteOff = false;
    test::TempDir wiped;
    ASSERT_EQ(gen::writeBackup(wiped.path(), plan), "");
    EXPECT_EQ(test::readFile(wiped.path() / kMessages).find(*gone->text), std::string::npos);
}

TEST(BackupGenerator, OlderLayoutsGroupMessagesByAddress) {
    for (auto layout : {gen::MessageLayout::IOS5, gen::MessageLayout::IOS5Plain}) {
        SCOPED_TRACE(static_cast<int>(layout));
        test::TempDir dir;
        gen::BackupSpec plan = gen::syntheticSpec(300, 20, 12, 0.25, 9, layout);
        ASSERT_EQ(gen::writeBackup(dir.path(), plan), "");
        Sql msg(dir.path() / kMessages);
        std::string plain = "ROWID,address,date,text,flags,replace,svc_center,group_id,association_id,height,UIFlags,"
                            "version,subject,country,headers,recipients,read";
        std::string madrid = ",madrid_attributedBody,madrid_handle,madrid_version,madrid_guid,madrid_type,"
                             "madrid_roomname,madrid_service,madrid_account,madrid_flags,madrid_attachmentInfo,"
                             "madrid_url,madrid_error,is_madrid,madrid_date_read,madrid_date_delivered,"
                             "madrid_account_guid";
        bool withMadrid = layout == gen::MessageLayout::IOS5;
        EXPECT_EQ(msg.columns("message"), withMadrid ? plain + madrid : plain);
        EXPECT_EQ(msg.columns("group_member"), "ROWID,group_id,address,country");
        EXPECT_EQ(msg.columns("msg_group"), "ROWID,type,newest_message,unread_count,hash");
        EXPECT_EQ(msg.scalar("SELECT count(*) FROM message"), 300 - 75);
        std::set<std::string> addresses;
        for (const auto& m : plan.messages) addresses.insert(*m.address);
        EXPECT_EQ(msg.scalar("SELECT count(*) FROM group_member"), static_cast<int64_t>(addresses.size()));
        EXPECT_EQ(msg.scalar("SELECT count(DISTINCT group_id) FROM group_member"), static_cast<int64_t>(addresses.size()));
        EXPECT_EQ(msg.scalar("SELECT count(*) FROM message m JOIN group_member g ON m.group_id = g.group_id"
                             " WHERE g.address = m.address"),
                  225);
        if (withMadrid) {
            int64_t imessages = msg.scalar("SELECT count(*) FROM message WHERE is_madrid = 1");
            EXPECT_GT(imessages, 0);
            EXPECT_LT(imessages, 225);
            EXPECT_EQ(msg.scalar("SELECT count(*) FROM message WHERE is_madrid = 1 AND madrid_service = 'Madrid'"
                                 " AND madrid_handle = address AND madrid_flags IN (2, 16387)"),
                      imessages);
        }
    }
}

TEST(BackupGenerator, ExplicitRowNumbersAreKeptAndFreeOnesFollow) {
    test::TempDir dir;
    gen::BackupSpec plan;
    gen::Handle h;
    h.rowid = 7;
    h.id = "friend@example.com";
    h.service = "iMessage";
    plan.handles = {h};
    gen::Message first, second;
    first.rowid = 1000;
    first.handle_id = second.handle_id = 7;
    first.text = "explicit";
    second.text = "automatic";
    plan.messages = {first, second};
    gen::Person p;
    p.rowid = 40;
    p.first = "Forty";
    p.values = {gen::PersonValue{}};
    p.values[0].value = "+15550000040";
    plan.persons = {p, gen::Person{}};
    ASSERT_EQ(gen::writeBackup(dir.path(), plan), "");

    Sql msg(dir.path() / kMessages);
    EXPECT_EQ(msg.scalar("SELECT ROWID FROM chat WHERE chat_identifier = 'friend@example.com'"), 7);
    EXPECT_EQ(msg.scalar("SELECT ROWID FROM message WHERE text = 'automatic'"), 1001);
    EXPECT_EQ(msg.scalar("SELECT count(*) FROM chat_message_join WHERE chat_id = 7 AND message_id IN (1000, 1001)"), 2);
    Sql book(dir.path() / kAddressBook);
    EXPECT_EQ(book.scalar("SELECT record_id FROM ABMultiValue WHERE value = '+15550000040'"), 40);
    EXPECT_EQ(book.scalar("SELECT max(ROWID) FROM ABPerson"), 41);
    // Writing again over the same folder replaces the databases.
    ASSERT_EQ(gen::writeBackup(dir.path(), plan), "");
    EXPECT_EQ(Sql(dir.path() / kMessages).scalar("SELECT count(*) FROM message"), 2);
}

TEST(BackupGenerator, PropertyListsDescribeTheDevice) {
    test::TempDir dir;
    gen::BackupSpec plan = gen::demoSpec();
    ASSERT_EQ(gen::writeBackup(dir.path(), plan), "");
    std::string info = test::readFile(dir.path() / "Info.plist");
    std::string manifest = test::readFile(dir.path() / "Manifest.plist");
    ASSERT_EQ(info.rfind("<?xml", 0), 0u);
    ASSERT_EQ(manifest.rfind("bplist00", 0), 0u);

    plist_t infoRoot = nullptr, manifestRoot = nullptr;
    plist_from_xml(info.data(), static_cast<uint32_t>(info.size()), &infoRoot);
    plist_from_bin(manifest.data(), static_cast<uint32_t>(manifest.size()), &manifestRoot);
    EXPECT_EQ(stringAt(infoRoot, "Device Name"), "Emma's iPhone");
    EXPECT_EQ(stringAt(infoRoot, "Product Type"), "iPhone5,2");
    EXPECT_EQ(stringAt(infoRoot, "Product Version"), "6.1.3");
    EXPECT_EQ(stringAt(infoRoot, "Serial Number"), plan.device.serial);
    EXPECT_EQ(stringAt(infoRoot, "iTunes Version"), plan.device.itunesVersion);
    ASSERT_NE(plist_dict_get_item(infoRoot, "Last Backup Date"), nullptr);
    EXPECT_EQ(plist_get_node_type(plist_dict_get_item(infoRoot, "Last Backup Date")), PLIST_DATE);
    plist_t lockdown = manifestRoot ? plist_dict_get_item(manifestRoot, "Lockdown") : nullptr;
    EXPECT_EQ(stringAt(lockdown, "DeviceName"), "Emma's iPhone");
    EXPECT_EQ(stringAt(lockdown, "SerialNumber"), plan.device.serial);
    EXPECT_EQ(stringAt(lockdown, "BuildVersion"), "10B329");
    plist_free(infoRoot);
    plist_free(manifestRoot);

    std::string name = gen::backupFolderName(plan.device);
    EXPECT_EQ(name.size(), 40u);
    EXPECT_EQ(name.find_first_not_of("0123456789abcdef"), std::string::npos);
    gen::DeviceInfo other = plan.device;
    other.serial += "X";
    EXPECT_NE(gen::backupFolderName(other), name);
}

TEST(BackupGenerator, SubfoldersAndDamagedFiles) {
    gen::BackupSpec plan = gen::syntheticSpec(400, 30, 10, 0.1, 4);
    plan.subfolderLayout = true;
    plan.device.writeInfoPlist = false;
    plan.device.manifestHasLockdown = false;
    plan.addressBook = gen::Damage::Garbage;
    plan.messageDB = gen::Damage::Truncated;
    plan.pageSize = 1024;
    test::TempDir dir;
    ASSERT_EQ(gen::writeBackup(dir.path(), plan), "");
    EXPECT_FALSE(fs::exists(dir.path() / "Info.plist"));
    EXPECT_FALSE(fs::exists(dir.path() / kMessages));
    std::string manifest = test::readFile(dir.path() / "Manifest.plist");
    EXPECT_EQ(manifest.find("Lockdown"), std::string::npos);

    fs::path garbage = dir.path() / "31" / kAddressBook;
    fs::path truncated = dir.path() / "3d" / kMessages;
    EXPECT_EQ(fs::file_size(garbage), 65536u);
    EXPECT_NE(test::readFile(garbage).rfind("SQLite format 3", 0), 0u);
    EXPECT_EQ(Sql(garbage).scalar("SELECT count(*) FROM sqlite_master"), -1);
    EXPECT_EQ(fs::file_size(truncated), 2560u);
    EXPECT_EQ(test::readFile(truncated).rfind(std::string("SQLite format 3\0", 16), 0), 0u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path() / "3d"), fs::directory_iterator()), 1);  // no journal

    plan.addressBook = gen::Damage::Missing;
    test::TempDir missing;
    ASSERT_EQ(gen::writeBackup(missing.path(), plan), "");
    EXPECT_FALSE(fs::exists(missing.path() / "31"));
}

TEST(BackupGenerator, SyntheticSpecIsDeterministicWithExactDeletionCounts) {
    gen::BackupSpec a = gen::syntheticSpec(1000, 50, 20, 0.1, 3, gen::MessageLayout::IOS6, 0.2);
    gen::BackupSpec b = gen::syntheticSpec(1000, 50, 20, 0.1, 3, gen::MessageLayout::IOS6, 0.2);
    EXPECT_EQ(1000 - liveCount(a.messages), 100);
    EXPECT_EQ(50 - liveCount(a.persons), 10);
    ASSERT_EQ(a.handles.size(), 20u);
    for (size_t i = 0; i < a.messages.size(); ++i) {
        ASSERT_EQ(a.messages[i].text, b.messages[i].text);
        ASSERT_TRUE(a.messages[i].text->size() >= 10 && a.messages[i].text->size() <= 200);
        ASSERT_TRUE(a.messages[i].handle_id >= 1 && a.messages[i].handle_id <= 20);
        if (i > 0) {
            ASSERT_GT(a.messages[i].date, a.messages[i - 1].date);
        }
    }
    // Person i carries correspondent i's number in one of the written forms.
    for (size_t i = 0; i < 20; ++i) {
        std::string shown = *a.persons[i].values.at(0).value;
        std::erase_if(shown, [](char c) { return c == ' ' || c == '-' || c == '(' || c == ')'; });
        EXPECT_EQ(shown, a.handles[i].id);
    }
}

TEST(BackupGenerator, CommandWritesTheDemoAndRejectsBadArguments) {
    test::TempDir dir;
    std::string gen = test::shellQuote(KESTREL_GEN_PATH);
    test::CommandResult ok = test::runCommand(gen + " --demo " + test::shellQuote(dir.str()));
    ASSERT_EQ(ok.status, 0) << ok.err;
    fs::path folder = dir.path() / gen::backupFolderName(gen::demoSpec().device);
    EXPECT_EQ(ok.out, folder.string() + "\n");
    EXPECT_TRUE(fs::exists(folder / kMessages));
    for (const char* bad : {"", "--synthetic", "--synthetic x --deleted 2", "--synthetic x --layout ios7",
                            "--synthetic x --messages -5", "--demo x --bogus 1"}) {
        test::CommandResult r = test::runCommand(gen + " " + bad);
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_FALSE(r.err.empty()) << bad;
    }
    EXPECT_EQ(test::runCommand(gen + " --help").status, 0);
}
