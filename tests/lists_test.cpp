// The record lists of the results view: deleted-only filter, ticking,
// preview, sorting, size texts and call dates, going back home.
#include <gtest/gtest.h>

#include "app/notification_center.h"
#include "extract/conversions.h"
#include "results/result_view_controller.h"

using namespace kestrel;

namespace {

MessagePtr message(const std::string& name, const std::string& content) {
    auto m = std::make_shared<TovMessageNode>();
    m->setMessageName(name);
    m->setMessagePhone("+1" + name);
    m->setMessageContent(content);
    m->setMessageDate("01-02-2013 10:00");
    m->setMessageType("Send");
    return m;
}

std::vector<std::string> contentsOf(const std::vector<MessagePtr>& shown) {
    std::vector<std::string> out;
    for (const auto& m : shown) out.push_back(m->messageContent());
    return out;
}

class Lists : public ::testing::Test {
protected:
    NotificationCenter nc;
    TovResultViewController results{nc};

    void SetUp() override {
        results.showView();
        sortDirections().name = false;
        sortDirections().size = false;
        sortDirections().date = false;
    }
    void existing(MessagePtr m) { nc.postNotificationName(names::ScanMessageInfo, std::move(m)); }
    void deleted(MessagePtr m) { nc.postNotificationName(names::ScanDelMessageInfo, std::move(m)); }
    // Five messages, arrival order b, D:d, a, D:c, e (D: deleted).
    void scanFiveMessages() {
        existing(message("Bob", "b"));
        deleted(message("Dan", "d"));
        existing(message("Ann", "a"));
        deleted(message("Cy", "c"));
        existing(message("Eve", "e"));
        results.ScanThreadFinish();
    }
    void tick(std::vector<size_t> rows, int value) {
        results.selectRowIndexes(Category::Messages, rows, false);
        results.tableView(Category::Messages, value, kCheckColumn, static_cast<long>(rows.front()));
    }
};

}  // namespace

TEST_F(Lists, FinishingStepOpensMessagesWithRowZeroPreviewedAndOnlyMessagesEnabled) {
    scanFiveMessages();
    EXPECT_EQ(results.currentCategory, Category::Messages);
    EXPECT_TRUE(results.checkBoxVisible);
    EXPECT_FALSE(results.checkBoxTicked);
    EXPECT_EQ(results.selectedRow(Category::Messages), 0);
    EXPECT_EQ(results.messagePreview.messageNamelab.text, "Name: Bob");
    EXPECT_EQ(results.messagePreview.messagePhonelab.text, "Phone: +1Bob");
    EXPECT_EQ(results.messagePreview.messageTypelab.text, "Type: Send");
    EXPECT_EQ(results.messagePreview.messageDatelab.text, "Date: 01-02-2013 10:00");
    EXPECT_EQ(results.messagePreview.messageConteView, "b");
    EXPECT_TRUE(results.homeBtnEnabled);
    EXPECT_TRUE(results.linkBtnsEnabled);
    EXPECT_EQ(results.categoryBtnEnabled, (std::array<bool, kCategoryCount>{false, false, true, false, false}));
    EXPECT_FALSE(results.saveBtnEnabled);
    EXPECT_EQ(TovResultViewController::categoryButtonImage(Category::PhotoAndVideo, true), "phone&videoOn");
    EXPECT_EQ(TovResultViewController::categoryButtonImage(Category::CallHistory, false), "callNom");

    results.showView();  // the next scan disables everything again
    EXPECT_FALSE(results.homeBtnEnabled);
    EXPECT_EQ(results.categoryBtnEnabled, (std::array<bool, kCategoryCount>{}));
}

TEST_F(Lists, DeletedOnlyFilterListsDeletedRecordsAndKeepsTicksOfHiddenOnes) {
    scanFiveMessages();
    tick({0}, 1);  // "b", an existing message
    results.actCheck(true);
    EXPECT_EQ(contentsOf(results.messageController), (std::vector<std::string>{"d", "c"}));
    EXPECT_EQ(results.messagePreview.messageConteView, "d");
    EXPECT_TRUE(results.messageArray[0]->bSelected());  // hidden, still ticked
    EXPECT_EQ(results.selectedFilesNum, 1);
    results.actCheck(false);
    EXPECT_EQ(contentsOf(results.messageController), (std::vector<std::string>{"b", "d", "a", "c", "e"}));
    EXPECT_EQ(results.messagePreview.messageConteView, "b");

    // A list without deleted records: empty table, no selection, preview kept.
    TovResultViewController other{nc};
    other.showView();
    existing(message("Zed", "z"));
    other.ScanThreadFinish();
    other.actCheck(true);
    EXPECT_EQ(other.numberOfRowsInTableView(Category::Messages), 0u);
    EXPECT_EQ(other.selectedRow(Category::Messages), -1);
    EXPECT_EQ(other.messagePreview.messageConteView, "z");
    // A category switch clears the box and lists everything again.
    other.actMessage();
    EXPECT_FALSE(other.checkBoxTicked);
    EXPECT_EQ(other.numberOfRowsInTableView(Category::Messages), 1u);
}

TEST_F(Lists, OneCheckBoxTicksEverySelectedRowAndTheCountFollowsTheTicks) {
    scanFiveMessages();
    tick({0, 2, 4}, 1);
    EXPECT_EQ(results.selectedFilesNum, 3);
    EXPECT_TRUE(results.selecteFilelabVisible);
    EXPECT_EQ(results.selecteFilelab, "You select 3 files in the recovery results.");
    EXPECT_TRUE(results.saveBtnEnabled);
    EXPECT_EQ(results.messagePreview.messageConteView, "e");  // the row selected last

    // Ticking rows of which two are ticked already counts only the new one.
    tick({2, 4, 1}, 1);
    EXPECT_EQ(results.selectedFilesNum, 4);
    // A click on the box of a row outside the selection ticks that row too.
    results.selectRowIndexes(Category::Messages, {0}, false);
    results.tableView(Category::Messages, 1, kCheckColumn, 3);
    EXPECT_EQ(results.selectedFilesNum, 5);
    // Any value but 1 unticks.
    tick({0, 1, 2, 3}, 2);
    EXPECT_EQ(results.selectedFilesNum, 1);
    EXPECT_EQ(results.selecteFilelab, "You select 1 files in the recovery results.");
    tick({4}, 0);
    EXPECT_EQ(results.selectedFilesNum, 0);
    EXPECT_FALSE(results.selecteFilelabVisible);
    EXPECT_FALSE(results.saveBtnEnabled);
    int ticked = 0;
    for (const auto& m : results.messageArray) ticked += m->bSelected();
    EXPECT_EQ(ticked, 0);
}

TEST_F(Lists, NameSortsFlipOneSharedDirectionAndSortOnlyWhatIsShown) {
    scanFiveMessages();
    results.tableView(Category::Messages, kCheckColumn);
    EXPECT_EQ(contentsOf(results.messageController), (std::vector<std::string>{"b", "d", "a", "c", "e"}));
    results.tableView(Category::Messages, "Content");
    EXPECT_EQ(contentsOf(results.messageController), (std::vector<std::string>{"a", "b", "c", "d", "e"}));
    EXPECT_EQ(results.messagePreview.messageConteView, "a");
    results.tableView(Category::Messages, "Name");
    EXPECT_EQ(contentsOf(results.messageController), (std::vector<std::string>{"e", "d", "c", "b", "a"}));
    EXPECT_TRUE(sortDirections().name == false);

    // The name flag is shared: a contact name sort flips it to ascending, so
    // the next message name sort is descending again.
    results.tableView(Category::Contacts, "Name");
    EXPECT_TRUE(sortDirections().name == true);
    results.tableView(Category::Messages, "Name");
    EXPECT_EQ(contentsOf(results.messageController), (std::vector<std::string>{"e", "d", "c", "b", "a"}));

    // With the box ticked only the deleted ones are sorted; unticking brings
    // back arrival order. The category list never changes order.
    results.actCheck(true);
    results.tableView(Category::Messages, "Name");
    EXPECT_EQ(contentsOf(results.messageController), (std::vector<std::string>{"c", "d"}));
    results.actCheck(false);
    EXPECT_EQ(contentsOf(results.messageController), (std::vector<std::string>{"b", "d", "a", "c", "e"}));
    EXPECT_EQ(contentsOf(results.messageArray), (std::vector<std::string>{"b", "d", "a", "c", "e"}));
    // Notes have no sort: the name flag is left alone.
    results.tableView(Category::Notes, "Title");
    EXPECT_TRUE(sortDirections().name == true);
}

TEST_F(Lists, PhotoSortsAreNumericAndCallDatesPutUnreadableLast) {
    auto photo = [](const std::string& name, const std::string& size) {
        auto p = std::make_shared<TovPhotoAndVideoNode>();
        p->setFileNodeName(name);
        p->setFileNodeSize(size);
        return p;
    };
    results.photoAndVideoArray = {photo("00000010.jpg", "2.00K"), photo("00000002.jpg", "999.00B"),
                                  photo("00000001.mov", "1.50M")};
    results.actPhoto();
    EXPECT_FALSE(results.checkBoxVisible);
    EXPECT_EQ(results.photoPreview.imageFileNamelab.text, "File Name: 00000010.jpg");
    EXPECT_EQ(results.photoPreview.imageFileSizelab.text, "File Size: 2.00K");
    auto names = [&] {
        std::vector<std::string> out;
        for (const auto& p : results.photoController) out.push_back(p->fileNodeName());
        return out;
    };
    results.tableView(Category::PhotoAndVideo, "Name");
    EXPECT_EQ(names(), (std::vector<std::string>{"00000001.mov", "00000002.jpg", "00000010.jpg"}));
    results.tableView(Category::PhotoAndVideo, "Size");
    EXPECT_EQ(names(), (std::vector<std::string>{"00000002.jpg", "00000010.jpg", "00000001.mov"}));
    results.tableView(Category::PhotoAndVideo, "Kind");  // no sort, no flag change
    EXPECT_TRUE(sortDirections().size == true);

    auto call = [](const std::string& name, const std::string& date) {
        auto c = std::make_shared<TovCallHistoryNode>();
        c->setCallName(name);
        c->setCallDate(date);
        return c;
    };
    results.callHistoryArray = {call("x", "yesterday"), call("b", "05-02-2013 14:03"), call("a", "2012-12-31 23:59"),
                                call("c", "05/02/2013 14:04:30"), call("y", "")};
    results.actCallHistory();
    auto order = [&] {
        std::string out;
        for (const auto& c : results.callHistoryController) out += c->callName();
        return out;
    };
    results.tableView(Category::CallHistory, "Date");
    EXPECT_EQ(order(), "abcxy");
    results.tableView(Category::CallHistory, "Duration");
    EXPECT_EQ(order(), "cbaxy");
    results.tableView(Category::CallHistory, "Name");  // the name flag was true from the photo sort
    EXPECT_EQ(order(), "yxcba");
}

TEST(CallDates, WrittenFormAndCommonFormsReadAndNonsenseDoesNot) {
    const auto base = callDateValue("05-02-2013 14:03");
    ASSERT_TRUE(base.has_value());
    EXPECT_EQ(callDateValue(" 2013-05-02 14:03:00 "), base);
    EXPECT_EQ(callDateValue("2013-05-02T14:03"), base);
    EXPECT_EQ(callDateValue("5/2/2013 14:03"), base);
    EXPECT_EQ(*callDateValue("05-02-2013 14:04") - *base, 60);
    EXPECT_EQ(*callDateValue("05-03-2013") - *callDateValue("05-02-2013"), 86400);
    EXPECT_LT(*callDateValue("12-31-1999 23:59"), *callDateValue("01-01-2000 00:00"));
    EXPECT_TRUE(callDateValue("02-29-2012 00:00").has_value());
    for (const char* bad : {"", "02-29-2013 00:00", "13-01-2013 10:00", "01-01-2013 24:00", "01-01-2013 10:60",
                            "01-01-13 10:00", "01-01-2013 10:00pm", "05-02-2013T14:03", "today", "2013-05"}) {
        EXPECT_FALSE(callDateValue(bad).has_value()) << bad;
    }
}

TEST(SizeTexts, ReadBackTheSizeUnitsAndRefuseNonsense) {
    EXPECT_EQ(TovResultViewController::sizeFormString(""), 0u);
    EXPECT_EQ(TovResultViewController::sizeFormString("1.23M"), 1230000u);
    EXPECT_EQ(TovResultViewController::sizeFormString("512.00B"), 512u);
    EXPECT_EQ(TovResultViewController::sizeFormString("2.00T"), 2000000000000u);
    EXPECT_EQ(TovResultViewController::sizeFormString("7.5X"), 7500000000000u);  // any other unit counts as T
    EXPECT_EQ(TovResultViewController::sizeFormString("  3K"), 3000u);
    EXPECT_EQ(TovResultViewController::sizeFormString("M"), 0u);
    EXPECT_EQ(TovResultViewController::sizeFormString("abcK"), 0u);
    EXPECT_EQ(TovResultViewController::sizeFormString("0x10K"), 0u);  // decimal only
    EXPECT_EQ(TovResultViewController::sizeFormString("-5K"), 0u);
    EXPECT_EQ(TovResultViewController::sizeFormString("1e30T"), UINT64_MAX);
    char buffer[100] = {};
    for (uint64_t size : {0ULL, 999ULL, 1540ULL, 1000000ULL, 987654321ULL}) {
        size_to_unit(size, buffer, sizeof buffer);
        const uint64_t back = TovResultViewController::sizeFormString(buffer);
        EXPECT_LE(back > size ? back - size : size - back, size / 100) << buffer;
    }
}

TEST_F(Lists, ContactPreviewHidesEmptyFieldsAndGoingHomeNeedsConfirmation) {
    auto full = std::make_shared<TovContactNode>();
    full->setContactName("Ann");
    full->setContactPhone(" 555");
    full->setContactNote("met at the fair");
    auto bare = std::make_shared<TovContactNode>();
    bare->setContactCompany("Acme");
    nc.postNotificationName(names::ScanContactInfo, ContactPtr(full));
    nc.postNotificationName(names::ScanContactInfo, ContactPtr(bare));
    scanFiveMessages();
    results.actContact();
    const ContactPreview& p = results.contactPreview;
    EXPECT_EQ(p.contactNamelab.text, "Name: Ann");
    EXPECT_TRUE(p.contactNamelab.visible);
    EXPECT_EQ(p.contactPhonelab.text, "Phone:  555");
    EXPECT_FALSE(p.contactEmaillab.visible);
    EXPECT_FALSE(p.contactCompanylab.visible);
    EXPECT_TRUE(p.contactNoteScrollViewVisible);
    EXPECT_EQ(p.contactNotelab, "met at the fair");
    results.selectRowIndexes(Category::Contacts, {1}, false);
    EXPECT_FALSE(p.contactNamelab.visible);
    EXPECT_TRUE(p.contactCompanylab.visible);
    EXPECT_EQ(p.contactCompanylab.text, "Company: Acme");
    EXPECT_FALSE(p.contactNoteScrollViewVisible);

    struct Answer : ResultViewDelegate {
        bool back = false;
        int shown = 0;
        std::string asked;
        void performOnMainThreadAndWait(const std::function<void()>& task) override { task(); }
        bool runAlert(const std::string& message, const std::string& defaultButton, const std::string&) override {
            asked = message + "|" + defaultButton;
            return back;
        }
        void showMainView() override { ++shown; }
    } answer;
    results.setDelegate(&answer);
    results.actMessage();
    tick({0}, 1);
    EXPECT_FALSE(results.actHome());
    EXPECT_EQ(answer.asked, std::string(kGoHomeAlert) + "| Back ");
    EXPECT_EQ(results.messageArray.size(), 5u);
    EXPECT_EQ(results.selectedFilesNum, 1);
    answer.back = true;
    EXPECT_TRUE(results.actHome());
    EXPECT_EQ(answer.shown, 1);
    EXPECT_TRUE(results.messageArray.empty());
    EXPECT_TRUE(results.contactController.empty());
    EXPECT_EQ(results.selectedFilesNum, 0);
    EXPECT_EQ(results.BackUpFilesNum, 0);
    EXPECT_FALSE(results.saveBtnEnabled);
    results.setDelegate(nullptr);
}

TEST_F(Lists, PreviewShowsSourceServiceChatAttachmentsAndDeletionDateWhenKnown) {
    auto recovered = message("Ann", "see you");
    recovered->setService("iMessage");
    recovered->setChat("Weekend plans");
    recovered->setAttachments({"IMG_1.HEIC", "IMG_2.HEIC"});
    recovered->setDeletedDate("03-04-2024 05:06");
    recovered->setSource(kSourceRecentlyDeleted);
    existing(recovered);  // read by SQL, but not an existing message
    existing(message("Bob", "plain"));
    results.ScanThreadFinish();
    ASSERT_EQ(results.messageController.size(), 2u);
    EXPECT_TRUE(results.messageController[0]->bDeleted());

    const MessagePreview& p = results.messagePreview;
    EXPECT_EQ(p.messageSourcelab.text, "Source: recently deleted");
    EXPECT_EQ(p.messageServicelab.text, "Service: iMessage");
    EXPECT_EQ(p.messageChatlab.text, "Chat: Weekend plans");
    EXPECT_EQ(p.messageAttachmentslab.text, "Attachments: IMG_1.HEIC, IMG_2.HEIC");
    EXPECT_EQ(p.messageDeletedDatelab.text, "Deleted: 03-04-2024 05:06");
    EXPECT_TRUE(p.messageDeletedDatelab.visible);

    // An older record knows none of these: only its source is shown.
    results.selectRowIndexes(Category::Messages, {1}, false);
    EXPECT_EQ(p.messageSourcelab.text, "Source: existing");
    EXPECT_FALSE(p.messageServicelab.visible);
    EXPECT_FALSE(p.messageChatlab.visible);
    EXPECT_FALSE(p.messageAttachmentslab.visible);
    EXPECT_FALSE(p.messageDeletedDatelab.visible);
}

TEST_F(Lists, PreviewOfACarvedRecordSaysWhereItWasFound) {
    auto carved = message("Dan", "d");
    carved->setSource(kSourceCarved);
    Provenance p;
    p.file = "sms.db";
    p.area = "free page";
    p.page = 1234;
    p.offset = 416;
    carved->setProvenance(p);
    existing(message("Bob", "b"));
    deleted(carved);
    results.ScanThreadFinish();
    EXPECT_FALSE(results.messagePreview.messageProvenancelab.visible);  // "b", read with SQL
    EXPECT_EQ(results.messagePreview.messageProvenancelab.text, "");
    results.selectRowIndexes(Category::Messages, {1}, false);
    EXPECT_EQ(results.messagePreview.messageConteView, "d");
    EXPECT_TRUE(results.messagePreview.messageProvenancelab.visible);
    EXPECT_EQ(results.messagePreview.messageProvenancelab.text, "Recovered from free page 1,234, offset 416");
}
