#include <gtest/gtest.h>

#include "app/notification_center.h"
#include "results/result_view_controller.h"

using namespace kestrel;

namespace {

MessagePtr message(const std::string& phone, const std::string& content, const std::string& date) {
    auto m = std::make_shared<TovMessageNode>();
    m->setMessagePhone(phone);
    m->setMessageContent(content);
    m->setMessageDate(date);
    return m;
}

ContactPtr contact(const std::string& name, const std::string& phone) {
    auto c = std::make_shared<TovContactNode>();
    c->setContactName(name);
    c->setContactPhone(phone);
    return c;
}

class ResultsModel : public ::testing::Test {
protected:
    NotificationCenter nc;
    TovResultViewController results{nc};
    void SetUp() override { results.showView(); }
    void post(const char* name, std::any object) { nc.postNotificationName(name, std::move(object)); }
};

}  // namespace

TEST_F(ResultsModel, DeletedMessagesThatDuplicateAListedOneAreDropped) {
    post(names::ScanMessageInfo, message("+1555", "hello", "01-01-2013 10:00"));
    post(names::ScanDelMessageInfo, message("+1555", "hello", "01-01-2013 10:00"));  // equals the live one
    post(names::ScanDelMessageInfo, message("+1555", "hello", "01-01-2013 10:01"));  // other minute: kept
    post(names::ScanDelMessageInfo, message("+1555", "hello", "01-01-2013 10:01"));  // equals the kept one
    post(names::ScanDelMessageInfo, message("", "", "01-01-2013 10:02"));            // nothing to show
    post(names::ScanDelMessageInfo, message("", "only text", ""));
    // Texts that only collide when run together are still different records.
    post(names::ScanDelMessageInfo, message("+1555h", "ello", "01-01-2013 10:00"));

    ASSERT_EQ(results.messageArray.size(), 4u);
    EXPECT_FALSE(results.messageArray[0]->bDeleted());
    EXPECT_TRUE(results.messageArray[1]->bDeleted());
    EXPECT_EQ(results.messageArray[2]->messageContent(), "only text");
    EXPECT_EQ(results.messageArray[3]->messagePhone(), "+1555h");
    EXPECT_EQ(results.BackUpFilesNum, 1);
    EXPECT_EQ(results.deleteeFilesNum, 3);
    EXPECT_EQ(results.messageNum, 1);
    EXPECT_EQ(results.delMessageNum, 3);
}

TEST_F(ResultsModel, DeletedContactsNeedANewNameOrPhone) {
    post(names::ScanContactInfo, contact("Ann Lee", " 555-1234"));
    post(names::ScanDelContactInfo, contact("Ann Lee", " 555-1234"));
    post(names::ScanDelContactInfo, contact("Ann Lee", " 555-9999"));
    post(names::ScanDelContactInfo, contact("Ann Lee", " 555-9999"));
    post(names::ScanDelContactInfo, contact("", ""));  // contacts have no emptiness rule
    ASSERT_EQ(results.contactArray.size(), 3u);
    EXPECT_FALSE(results.contactArray[0]->bDeleted());
    EXPECT_TRUE(results.contactArray[1]->bDeleted());
    EXPECT_TRUE(results.contactArray[2]->bDeleted());
    EXPECT_EQ(results.delContactNum, 2);
}

TEST_F(ResultsModel, NotesAndCallsFollowTheirOwnDuplicateRules) {
    auto note = [](const std::string& title, const std::string& content) {
        auto n = std::make_shared<TovNoteNode>();
        n->setNoteTitle(title);
        n->setNoteContent(content);
        return n;
    };
    post(names::ScanNoteInfo, note("a", "body"));
    post(names::ScanDelNoteInfo, note("other title", "body"));
    post(names::ScanDelNoteInfo, note("b", "new body"));
    EXPECT_EQ(results.noteArray.size(), 2u);

    auto call = [](const std::string& name, const std::string& phone, const std::string& date) {
        auto c = std::make_shared<TovCallHistoryNode>();
        c->setCallName(name);
        c->setCallPhone(phone);
        c->setCallDate(date);
        return c;
    };
    post(names::ScanDelCallHistoryInfo, call("", "", "d"));
    post(names::ScanDelCallHistoryInfo, call("Bo", "", "d"));
    post(names::ScanDelCallHistoryInfo, call("Cy", "", "d"));  // same phone and date as Bo's
    EXPECT_EQ(results.callHistoryArray.size(), 1u);
    EXPECT_EQ(results.delCallNum, 1);
}

TEST_F(ResultsModel, CaptionsChangeOnlyWithProgressAndTheFinishOpensMessages) {
    EXPECT_EQ(results.progressText(), "1%");
    EXPECT_EQ(results.existingCountLabels()[1], "Contacts:  ");
    post(names::ScanContactInfo, contact("Ann", " 1"));
    EXPECT_EQ(results.existingCountLabels()[1], "Contacts:  ");
    post(names::ScanProgressInfo, 40);
    EXPECT_EQ(results.progressText(), "40%");
    auto existing = results.existingCountLabels();
    auto deleted = results.deletedCountLabels();
    EXPECT_EQ(existing[0], "Photo&Video:  0");
    EXPECT_EQ(existing[1], "Contacts:  1");
    EXPECT_EQ(existing[4], "Call History:  0");
    EXPECT_EQ(deleted[0], "Photo&Video:  0");
    EXPECT_EQ(deleted[1], "Contacts:  0");

    post(names::ScanMessageInfo, message("1", "a", "d"));
    post(names::ScanDelMessageInfo, message("1", "b", "d"));
    results.ScanThreadFinish();  // no front end: runs here
    EXPECT_EQ(results.progressText(), "0%");
    EXPECT_EQ(results.currentCategory, Category::Messages);
    EXPECT_EQ(results.messageController.size(), 2u);
    EXPECT_EQ(results.messageNum, 0);  // counts restart, captions keep what they showed
    EXPECT_EQ(results.existingCountLabels()[1], "Contacts:  1");

    results.releaseUIMemory();
    EXPECT_TRUE(results.messageArray.empty());
    EXPECT_TRUE(results.messageController.empty());
    // After the lists are emptied the same record is new again.
    post(names::ScanDelMessageInfo, message("1", "b", "d"));
    EXPECT_EQ(results.messageArray.size(), 1u);
}

TEST(NotificationCentre, PostRunsEveryObserverOfTheNameOnThePostingThread) {
    NotificationCenter nc;
    std::vector<std::string> seen;
    auto token = nc.addObserver("A", [&](const Notification& n) { seen.push_back("1:" + std::string(n.name)); });
    nc.addObserver("A", [&](const Notification& n) {
        seen.push_back("2:" + std::to_string(std::any_cast<int>(n.object)));
    });
    nc.addObserver("B", [&](const Notification&) { seen.push_back("B"); });
    nc.postNotificationName("A", 7);
    nc.removeObserver(token);
    nc.postNotificationName("A", 8);
    EXPECT_EQ(seen, (std::vector<std::string>{"1:A", "2:7", "2:8"}));
}

TEST_F(ResultsModel, EverySourceButExistingCountsAsDeletedWhicheverWayItArrives) {
    post(names::ScanMessageInfo, message("+1555", "live", "01-01-2024 10:00"));
    auto sourced = [](const char* source, const std::string& content, const std::string& date) {
        MessagePtr m = message("+1555", content, date);
        m->setSource(source);
        return m;
    };
    // SQL-recovered records may come through the existing-record channel.
    post(names::ScanMessageInfo, sourced(kSourceRecentlyDeleted, "binned", "01-02-2024 10:00"));
    post(names::ScanMessageInfo, sourced(kSourceOrphaned, "orphan", "01-03-2024 10:00"));
    post(names::ScanMessageInfo, sourced(kSourceEarlierVersion, "first draft", "01-04-2024 10:00"));
    post(names::ScanMessageInfo, sourced(kSourceUnsent, "", "01-05-2024 10:00"));
    // The same rules as any deleted record: a copy of a listed record is dropped.
    post(names::ScanMessageInfo, sourced(kSourceRecentlyDeleted, "live", "01-01-2024 10:00"));
    post(names::ScanDelMessageInfo, sourced(kSourceOrphaned, "orphan", "01-03-2024 10:00"));
    // A carved record names no source of its own.
    post(names::ScanDelMessageInfo, message("+1555", "carved text", "01-06-2024 10:00"));
    // An unsent group message keeps neither text nor phone, and is still listed.
    MessagePtr unsentInGroup = message("", "", "01-07-2024 10:00");
    unsentInGroup->setSource(kSourceUnsent);
    post(names::ScanMessageInfo, unsentInGroup);

    ASSERT_EQ(results.messageArray.size(), 7u);
    EXPECT_EQ(results.messageArray[0]->source(), "existing");
    EXPECT_FALSE(results.messageArray[0]->bDeleted());
    const char* expected[] = {"recently deleted", "orphaned", "earlier version", "unsent", "carved", "unsent"};
    for (size_t i = 1; i < 7; ++i) {
        EXPECT_EQ(results.messageArray[i]->source(), expected[i - 1]);
        EXPECT_TRUE(results.messageArray[i]->bDeleted()) << i;
    }
    EXPECT_EQ(results.messageNum, 1);
    EXPECT_EQ(results.delMessageNum, 6);
    EXPECT_EQ(results.deleteeFilesNum, 6);

    // Contacts follow the same rule.
    ContactPtr recovered = contact("Ann", " 555");
    recovered->setSource(kSourceRecentlyDeleted);
    post(names::ScanContactInfo, recovered);
    post(names::ScanDelContactInfo, contact("Bo", " 556"));
    ASSERT_EQ(results.contactArray.size(), 2u);
    EXPECT_TRUE(results.contactArray[0]->bDeleted());
    EXPECT_EQ(results.contactArray[1]->source(), "carved");
    EXPECT_EQ(results.contactNum, 0);
    EXPECT_EQ(results.delContactNum, 2);
}

TEST(Records, SourceAndProvenanceDefaults) {
    TovMessageNode m;
    EXPECT_EQ(m.source(), "existing");
    EXPECT_TRUE(m.provenance().empty());
    m.setSource("");  // empty means existing
    EXPECT_EQ(m.source(), "existing");
    EXPECT_FALSE(m.bDeleted());
    m.setAttachments({"IMG_0066.HEIC", "a.pdf"});
    EXPECT_EQ(m.attachments().size(), 2u);
    Provenance p;
    p.file = "sms.db-wal";
    p.frame = 12;
    m.setProvenance(p);
    EXPECT_EQ(m.provenance(), p);
    EXPECT_FALSE(m.provenance().empty());
}
