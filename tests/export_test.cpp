// The recovery export: folder layout, text and vCard files byte for byte,
// the vCard naming rule, repeated exports, media copies, progress, and the
// kestrel command's --export over a generated backup.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "app/notification_center.h"
#include "results/result_view_controller.h"
#include "results/text_writer.h"
#include "test_support.h"
#include "tools/backup_generator.h"

using namespace kestrel;
namespace fs = std::filesystem;

namespace {

// Every path under the folder, relative, folders ending in "/", sorted.
std::vector<std::string> layout(const fs::path& root) {
    std::vector<std::string> out;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        std::string rel = fs::relative(entry.path(), root).string();
        out.push_back(entry.is_directory() ? rel + "/" : rel);
    }
    std::sort(out.begin(), out.end());
    return out;
}

MessagePtr message(const std::string& name, const std::string& phone, const std::string& content) {
    auto m = std::make_shared<TovMessageNode>();
    m->setMessageName(name);
    m->setMessagePhone(phone);
    m->setMessageDate("05-02-2013 14:03");
    m->setMessageType("Received");
    m->setMessageContent(content);
    return m;
}

ContactPtr contact(int32_t rowid, const std::string& name, const std::string& company) {
    auto c = std::make_shared<TovContactNode>();
    c->setRowid(rowid);
    c->setContactName(name);
    c->setContactCompany(company);
    c->setContactPhone(" 555-1234");
    return c;
}

class Export : public ::testing::Test {
protected:
    NotificationCenter nc;
    TovResultViewController results{nc};
    test::TempDir dir;

    void SetUp() override {
        results.showView();
        sortDirections().name = false;
    }
    void finishScan() { results.ScanThreadFinish(); }
    // Ticks every row of a category's table.
    void tickAll(Category c) {
        results.switchToCategory(c);
        results.selectAll(c);
        results.tableView(c, 1, kCheckColumn, 0);
    }
    void exportTo(const fs::path& destination) {
        results.actRecovery();
        results.savePanelDidEnd(destination.string(), 1);
        results.waitForRecoveryThread();
    }
};

}  // namespace

TEST_F(Export, OnlyMessagesTickedGiveEveryFolderAndFileWithMessagesInArrivalOrder) {
    nc.postNotificationName(names::ScanContactInfo, contact(1, "Ann", ""));  // not ticked
    nc.postNotificationName(names::ScanMessageInfo, message("Zoe", "+1555", "first\nsecond line"));
    nc.postNotificationName(names::ScanMessageInfo, message("", "", ""));
    nc.postNotificationName(names::ScanDelMessageInfo, message("Abe", "+1666", "deleted one"));
    finishScan();
    tickAll(Category::Messages);
    results.actMessage();
    results.tableView(Category::Messages, "Name");  // listed Abe, "", Zoe ... exported in arrival order
    ASSERT_EQ(results.messageController.front()->messageName(), "");

    const fs::path out = dir.path() / "new" / "Kestrel 2013-05-02 - 14.03.22";
    exportTo(out);
    EXPECT_EQ(layout(out), (std::vector<std::string>{"CallHistory/", "CallHistory/Call History.txt", "Contact/",
                                                     "Contact/Contacts.txt", "Message/", "Message/Messages.txt",
                                                     "Note/", "Note/Notes.txt", "Photo&Video/", "manifest.json"}));
    EXPECT_EQ(test::readFile(out / "Message/Messages.txt"),
              "Name:Zoe  Phone:+1555  Date:05-02-2013 14:03  Type:Received  Content:first\nsecond line  \n\n"
              "Name:  Phone:  Date:05-02-2013 14:03  Type:Received  Content:  \n\n"
              "Name:Abe  Phone:+1666  Date:05-02-2013 14:03  Type:Received  Content:deleted one  \n\n");
    for (const char* empty : {"Contact/Contacts.txt", "Note/Notes.txt", "CallHistory/Call History.txt"}) {
        EXPECT_EQ(fs::file_size(out / empty), 0u) << empty;
    }
    EXPECT_TRUE(results.exportIssues().empty());
    EXPECT_EQ(results.savepercentlab(), "0%");
    EXPECT_TRUE(results.messageArray[0]->bSelected());  // ticks stay for another export
}

TEST_F(Export, VCardsAreNamedByNameCompanyOrRowIdAndUnsafeNamesAreNotWritten) {
    auto full = contact(1, "Ann Lee", "Acme");
    full->setContactEmail(" ann@example.com");
    full->setContactHomepage(" ann.example.com");
    full->setContactJobtitle("Lead");
    full->setContactBirthday("1980-02-03");
    full->setContactNote("line1\nline2");
    nc.postNotificationName(names::ScanContactInfo, ContactPtr(full));
    nc.postNotificationName(names::ScanContactInfo, contact(2, "", "Globex"));
    nc.postNotificationName(names::ScanContactInfo, contact(7, "", ""));
    nc.postNotificationName(names::ScanContactInfo, contact(-1, "", ""));
    nc.postNotificationName(names::ScanContactInfo, contact(3, "../../escape", "Safe Co"));
    nc.postNotificationName(names::ScanContactInfo, contact(4, "..", ""));
    nc.postNotificationName(names::ScanContactInfo, contact(5, "", std::string("nul\0byte", 8)));
    nc.postNotificationName(names::ScanContactInfo, contact(6, "a;b,c", ""));
    finishScan();
    tickAll(Category::Contacts);
    EXPECT_EQ(results.selectedFilesNum, 8);

    const fs::path out = dir.path() / "out";
    exportTo(out);
    std::vector<std::string> files = layout(out / "Contact");
    EXPECT_EQ(files, (std::vector<std::string>{"Ann Lee.vcf", "Contacts.txt", "Globex.vcf", "a;b,c.vcf",
                                               "unknown -1.vcf", "unknown 7.vcf"}));
    // Nothing was written beside the export folder ("../../escape" would land there).
    EXPECT_EQ(layout(dir.path()).size(), layout(out).size() + 1);
    EXPECT_EQ(test::readFile(out / "Contact/Ann Lee.vcf"),
              "BEGIN:VCARD\r\nVERSION:3.0\r\nN:Ann Lee\r\nORG:Acme\r\nEMAIL;INTERNET;HOME;PREF: ann@example.com\r\n"
              "TEL;CELL;PREF: 555-1234\r\nURL: ann.example.com\r\nEND:VCARD");
    EXPECT_EQ(test::readFile(out / "Contact/unknown 7.vcf"),
              "BEGIN:VCARD\r\nVERSION:3.0\r\nN:\r\nORG:\r\nEMAIL;INTERNET;HOME;PREF:\r\nTEL;CELL;PREF: 555-1234\r\n"
              "URL:\r\nEND:VCARD");
    const std::string text = test::readFile(out / "Contact/Contacts.txt");
    EXPECT_EQ(text.substr(0, text.find("\n\n", text.find("line2")) + 2),
              "Name:Ann Lee  Phone: 555-1234  Email: ann@example.com  Company:Acme  JobTitle:Lead  "
              "Home Page: ann.example.com  Birthday:1980-02-03  Note:line1\nline2  \n\n");
    // Every contact keeps its entry, the unsafe ones included.
    EXPECT_NE(text.find("Name:../../escape  "), std::string::npos);
    EXPECT_NE(text.find("Name:..  "), std::string::npos);
    EXPECT_NE(text.find(std::string("Company:nul\0byte  ", 18)), std::string::npos);
    size_t entries = 0;
    for (size_t at = text.find("\n\n"); at != std::string::npos; at = text.find("\n\n", at + 2)) ++entries;
    EXPECT_EQ(entries, 8u);
    size_t warnings = 0;
    for (const ExportIssue& issue : results.exportIssues()) {
        EXPECT_EQ(issue.kind, ExportIssue::Kind::Warning);
        ++warnings;
    }
    EXPECT_EQ(warnings, 3u);
}

TEST_F(Export, SecondExportLeavesNewTextInTxtAndSameNamedCardsReplaceEachOther) {
    nc.postNotificationName(names::ScanMessageInfo, message("A", "1", "old text"));
    nc.postNotificationName(names::ScanContactInfo, contact(1, "Twin", "First"));
    finishScan();
    tickAll(Category::Messages);
    tickAll(Category::Contacts);
    const fs::path out = dir.path() / "out";
    exportTo(out);
    const std::string first = test::readFile(out / "Message/Messages.txt");

    results.messageArray[0]->setMessageContent("new text");
    results.contactArray[0]->setContactCompany("Second");
    exportTo(out);
    EXPECT_EQ(test::readFile(out / "Message/Messages.txt"), first);
    EXPECT_EQ(test::readFile(out / "Message/TXT.txt"),
              "Name:A  Phone:1  Date:05-02-2013 14:03  Type:Received  Content:new text  \n\n");
    EXPECT_EQ(fs::file_size(out / "Note/TXT.txt"), 0u);
    EXPECT_NE(test::readFile(out / "Contact/Twin.vcf").find("ORG:Second\r\n"), std::string::npos);
    // A third and a fourth export keep the second's text: they number theirs.
    results.messageArray[0]->setMessageContent("3");
    exportTo(out);
    results.messageArray[0]->setMessageContent("4");
    exportTo(out);
    EXPECT_EQ(test::readFile(out / "Message/TXT.txt"),
              "Name:A  Phone:1  Date:05-02-2013 14:03  Type:Received  Content:new text  \n\n");
    EXPECT_EQ(test::readFile(out / "Message/TXT 2.txt"),
              "Name:A  Phone:1  Date:05-02-2013 14:03  Type:Received  Content:3  \n\n");
    EXPECT_EQ(test::readFile(out / "Message/TXT 3.txt"),
              "Name:A  Phone:1  Date:05-02-2013 14:03  Type:Received  Content:4  \n\n");
    EXPECT_EQ(layout(out / "Message"),
              (std::vector<std::string>{"Messages.txt", "TXT 2.txt", "TXT 3.txt", "TXT.txt"}));
    bool named = false;
    for (const ExportIssue& issue : results.exportIssues()) {
        if (issue.path == (out / "Message/TXT 3.txt").string()) {
            named = issue.what.find("the new text is in TXT 3.txt") != std::string::npos;
        }
    }
    EXPECT_TRUE(named);
}

TEST_F(Export, MediaIsCopiedWholeAndAFailedCopyOrFolderIsReportedNotFatal) {
    const fs::path source = dir.path() / "source.bin";
    std::string bytes(8 * 1024 * 1024 + 12345, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 131) >> 3);
    std::ofstream(source, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    auto media = [&](const std::string& name, const fs::path& path) {
        auto p = std::make_shared<TovPhotoAndVideoNode>();
        p->setFileNodeName(name);
        p->setFilePath(path.string());
        return p;
    };
    results.photoAndVideoArray = {media("00000001.jpg", source), media("00000002.jpg", dir.path() / "missing"),
                                  media("00000003.jpg", source)};
    finishScan();
    tickAll(Category::PhotoAndVideo);
    results.photoAndVideoArray[2]->setBSelected(false);  // not ticked: not copied

    const fs::path out = dir.path() / "out";
    exportTo(out);
    EXPECT_EQ(layout(out / "Photo&Video"), std::vector<std::string>{"00000001.jpg"});
    EXPECT_EQ(test::readFile(out / "Photo&Video/00000001.jpg"), bytes);
    auto issues = results.exportIssues();
    ASSERT_EQ(issues.size(), 1u);
    EXPECT_EQ(issues[0].kind, ExportIssue::Kind::Error);
    EXPECT_EQ(issues[0].path, (out / "Photo&Video/00000002.jpg").string());

    // A destination that is a file: every step fails, the export still ends.
    const fs::path blocker = dir.path() / "file";
    std::ofstream(blocker) << "x";
    exportTo(blocker);
    EXPECT_FALSE(results.isRecovering());
    EXPECT_GE(results.exportIssues().size(), 9u);  // five folders, four text files
    EXPECT_EQ(test::readFile(blocker), "x");
}

TEST(ExportProgress, PercentageRuleAndProposedName) {
    EXPECT_EQ(TovResultViewController::recoveryPercentage(0, 3), 0);
    EXPECT_EQ(TovResultViewController::recoveryPercentage(1, 3), 33);
    EXPECT_EQ(TovResultViewController::recoveryPercentage(2, 3), 66);
    EXPECT_EQ(TovResultViewController::recoveryPercentage(3, 3), 100);
    EXPECT_EQ(TovResultViewController::recoveryPercentage(199999, 200000), 99);
    EXPECT_EQ(TovResultViewController::recoveryPercentage(0, 0), 0);
    EXPECT_EQ(TovResultViewController::recoveryPercentage(5, 3), 100);
    std::tm local{};
    local.tm_year = 2013 - 1900;
    local.tm_mon = 4;
    local.tm_mday = 2;
    local.tm_hour = 14;
    local.tm_min = 3;
    local.tm_sec = 22;
    local.tm_isdst = -1;
    EXPECT_EQ(TovResultViewController::proposedExportName(std::mktime(&local)), "Kestrel 2013-05-02 - 14.03.22");
}

TEST_F(Export, FrontEndSeesSheetTimerAndFolderInOrderAndCancelWritesNothing) {
    struct Recorder : ResultViewDelegate {
        std::mutex mutex;
        std::vector<std::string> calls;
        void note(std::string s) {
            std::lock_guard<std::mutex> lock(mutex);
            calls.push_back(std::move(s));
        }
        void performOnMainThreadAndWait(const std::function<void()>& task) override { task(); }
        void showSaveWindow() override { note("sheet"); }
        void startRecoveryTimer() override { note("start"); }
        void stopRecoveryTimer() override { note("stop"); }
        void revealInFileViewer(const std::string& root) override { note("reveal " + root); }
        void saveWindowClosed() override { note("closed"); }
    } recorder;
    nc.postNotificationName(names::ScanMessageInfo, message("A", "1", "x"));
    finishScan();
    tickAll(Category::Messages);
    results.setDelegate(&recorder);
    const fs::path out = dir.path() / "out";
    results.actRecovery();
    results.savePanelDidEnd(out.string(), 0);  // cancelled
    results.waitForRecoveryThread();
    EXPECT_FALSE(fs::exists(out));
    EXPECT_TRUE(recorder.calls.empty());
    results.savePanelDidEnd(out.string(), 1);
    results.waitForRecoveryThread();
    results.setDelegate(nullptr);
    EXPECT_EQ(recorder.calls,
              (std::vector<std::string>{"sheet", "start", "reveal " + out.string(), "stop", "closed"}));
    EXPECT_EQ(results.recoverPath(), out.string());
    EXPECT_EQ(results.recoverFilePath(), (out / "CallHistory").string());
}

TEST(ExportCommand, ExportsTickedDeletedMessagesOfAGeneratedBackup) {
    test::TempDir dir;
    gen::BackupSpec plan;
    plan.handles = {{1, "+15551234567", "SMS"}, {2, "+15557654321", "SMS"}};
    for (int i = 0; i < 6; ++i) {
        gen::Message m;
        m.handle_id = 1 + i % 2;
        m.text = "message " + std::to_string(i) + (i == 3 ? "\nsecond line" : "");
        m.date = 380000000 + i * 60;
        m.deleted = i % 3 == 0;
        plan.messages.push_back(m);
    }
    ASSERT_EQ(gen::writeBackup(dir.path() / "backup", plan), "");
    const std::string backup = test::shellQuote((dir.path() / "backup").string());
    const fs::path out = dir.path() / "export";

    auto run = test::runKestrel("scan --read-only --json --tick deleted --export " + test::shellQuote(out.string()) +
                                " " + backup);
    ASSERT_EQ(run.status, 0) << run.err;
    nlohmann::json doc = nlohmann::json::parse(run.out);
    EXPECT_EQ(doc["exportFolder"], out.string());
    EXPECT_EQ(doc["exported"], true);
    std::string expected;
    int ticked = 0;
    for (const auto& m : doc["messages"]) {
        EXPECT_EQ(m["bSelected"], m["bDeleted"]);
        if (!m["bDeleted"].get<bool>()) continue;
        ++ticked;
        expected += "Name:" + m["messageName"].get<std::string>() + "  Phone:" + m["messagePhone"].get<std::string>() +
                    "  Date:" + m["messageDate"].get<std::string>() + "  Type:" + m["messageType"].get<std::string>() +
                    "  Content:" + m["messageContent"].get<std::string>() + "  \n\n";
    }
    EXPECT_GE(ticked, 1);
    EXPECT_EQ(doc["ticked"], ticked);
    EXPECT_EQ(test::readFile(out / "Message/Messages.txt"), expected);
    EXPECT_EQ(fs::file_size(out / "Contact/Contacts.txt"), 0u);

    // The text form lists only deleted messages, by name, and ends with the folder.
    auto text = test::runKestrel("scan --read-only --deleted-only --sort name --export " +
                                 test::shellQuote((dir.path() / "second").string()) + " " + backup);
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(text.out.substr(text.out.size() - (dir.path() / "second").string().size() - 1),
              (dir.path() / "second").string() + "\n");
    EXPECT_NE(text.out.find(std::to_string(ticked) + " messages listed"), std::string::npos);
    // The default tick is every message, shown or not.
    const std::string all = test::readFile(dir.path() / "second/Message/Messages.txt");
    size_t entries = 0;
    for (size_t at = all.find("  \n\n"); at != std::string::npos; at = all.find("  \n\n", at + 4)) ++entries;
    EXPECT_EQ(entries, doc["messages"].size());

    // Failures are not reported as success.
    std::ofstream(dir.path() / "a-file") << "x";
    auto failed = test::runKestrel("scan --read-only --export " + test::shellQuote((dir.path() / "a-file").string()) +
                                   " " + backup);
    EXPECT_EQ(failed.status, 1);
    EXPECT_NE(failed.err.find("export failed"), std::string::npos);
    EXPECT_EQ(failed.out.find((dir.path() / "a-file").string()), std::string::npos);
    EXPECT_EQ(test::runKestrel("scan --tick all " + backup).status, 2);
    EXPECT_EQ(test::runKestrel("scan --sort date " + backup).status, 2);
}

TEST_F(Export, ACategoryFolderThatIsALinkIsRefusedAndNothingGoesThroughIt) {
    nc.postNotificationName(names::ScanContactInfo, contact(1, "Ann", "Acme"));
    nc.postNotificationName(names::ScanMessageInfo, message("A", "1", "text"));
    finishScan();
    tickAll(Category::Contacts);
    tickAll(Category::Messages);
    const fs::path out = dir.path() / "out";
    const fs::path elsewhere = dir.path() / "elsewhere";
    fs::create_directories(out);
    fs::create_directories(elsewhere);
    fs::create_directory_symlink(elsewhere, out / "Contact");
    exportTo(out);
    EXPECT_TRUE(fs::is_empty(elsewhere));
    EXPECT_TRUE(fs::is_regular_file(out / "Message/Messages.txt"));
    bool refused = false;
    for (const ExportIssue& issue : results.exportIssues()) {
        if (issue.path == (out / "Contact").string() && issue.kind == ExportIssue::Kind::Error) {
            refused = issue.what.find("symbolic link") != std::string::npos;
        }
    }
    EXPECT_TRUE(refused);
}

TEST(TextFile, AFailedWriteNamesTheCategorysFile) {
    test::TempDir dir;
    TovRtfController writer;
    writer.addRtfContent("Name:A  ");
    std::string error;
    const std::string missing = (dir.path() / "missing").string();
    EXPECT_EQ(writer.writeRtfInPath(missing, "Contact", &error), TextFileOutcome::NotWritten);
    EXPECT_EQ(error, "cannot write " + missing + "/Contacts.txt: No such file or directory");
    EXPECT_EQ(keptTextName(1), "TXT.txt");
    EXPECT_EQ(keptTextName(12), "TXT 12.txt");
}
