// The scan steps run on their own: each reader and carver, given its database
// and a collecting sink, delivers exactly the records the controller posts
// when it runs the same step in a scan.
#include <gtest/gtest.h>

#include <any>
#include <filesystem>
#include <string>
#include <vector>

#include "app/backup_discovery.h"
#include "app/collecting_sink.h"
#include "carve/contact_carver.h"
#include "carve/deleted_message_step.h"
#include "carve/sqlite_raw.h"
#include "extract/conversions.h"
#include "extract/existing_contacts.h"
#include "extract/existing_messages.h"
#include "scan/app_controller.h"
#include "test_support.h"
#include "tools/backup_generator.h"

namespace {

using namespace kestrel;
namespace fs = std::filesystem;

// Names messages from the contacts posted to it, as the controller does.
class NamingSink : public CollectingSink {
public:
    std::optional<std::string> getNameByPhoneNumber(const std::string& phone) override {
        return lookup_.lookup(contacts, phone);
    }

private:
    NameLookup lookup_;
};

struct Posted {
    std::vector<ContactPtr> contacts, delContacts;
    std::vector<MessagePtr> messages, delMessages;
    std::vector<int> progress;
};

Posted scanWithController(const std::string& folder, bool ios6) {
    Posted posted;
    WrenfieldAppDelegate app;
    app.currentNodeIsiOS6Version = ios6;
    auto& nc = NotificationCenter::defaultCenter();
    std::vector<NotificationCenter::Token> tokens = {
        nc.addObserver(names::ScanContactInfo,
                       [&](const Notification& n) { posted.contacts.push_back(std::any_cast<ContactPtr>(n.object)); }),
        nc.addObserver(names::ScanMessageInfo,
                       [&](const Notification& n) { posted.messages.push_back(std::any_cast<MessagePtr>(n.object)); }),
        nc.addObserver(names::ScanDelContactInfo,
                       [&](const Notification& n) { posted.delContacts.push_back(std::any_cast<ContactPtr>(n.object)); }),
        nc.addObserver(names::ScanDelMessageInfo,
                       [&](const Notification& n) { posted.delMessages.push_back(std::any_cast<MessagePtr>(n.object)); }),
        nc.addObserver(names::ScanProgressInfo,
                       [&](const Notification& n) { posted.progress.push_back(std::any_cast<int>(n.object)); }),
    };
    app.scanContactThread(folder);
    app.scanMessageThread(folder);
    app.scanDelContactThread(folder);
    app.scanDelMessageThread(folder);
    for (auto t : tokens) nc.removeObserver(t);
    return posted;
}

std::vector<std::string> describe(const std::vector<MessagePtr>& messages) {
    std::vector<std::string> out;
    for (const auto& m : messages)
        out.push_back(m->messageContent() + "|" + m->messagePhone() + "|" + m->messageName() + "|" +
                      m->messageType() + "|" + m->messageDate() + "|" + (m->bImessage() ? "i" : "s"));
    return out;
}

std::vector<std::string> describe(const std::vector<ContactPtr>& contacts) {
    std::vector<std::string> out;
    for (const auto& c : contacts)
        out.push_back(c->contactName() + "|" + c->contactPhone() + "|" + c->contactEmail() + "|" +
                      c->contactHomepage() + "|" + c->contactCompany());
    return out;
}

class StepsOnTheirOwn : public ::testing::TestWithParam<gen::MessageLayout> {};

TEST_P(StepsOnTheirOwn, DeliverWhatTheControllerPosts) {
    test::TempDir dir;
    const bool ios6 = GetParam() == gen::MessageLayout::IOS6;
    ASSERT_EQ(gen::writeBackup(dir.path(), gen::syntheticSpec(600, 40, 40, 0.3, 7, GetParam(), 0.3)), "");
    const std::string folder = dir.str();

    const Posted posted = scanWithController(folder, ios6);
    EXPECT_EQ(posted.progress, (std::vector<int>{40, 50, 75, 85}));
    ASSERT_FALSE(posted.messages.empty());
    ASSERT_FALSE(posted.delMessages.empty());

    // The databases are committed by now; the steps read them as they are.
    NamingSink sink;
    readExistingContacts(databasePathInBackup(folder, kAddressBookDBName), sink);
    readExistingMessages(databasePathInBackup(folder, kMessageDBName), ios6, sink);
    auto contacts = RawFile::open(databasePathInBackup(folder, kAddressBookDBName));
    auto messages = RawFile::open(databasePathInBackup(folder, kMessageDBName));
    ASSERT_TRUE(contacts && messages);
    carveDeletedContacts(contacts.get(), sink);
    carveDeletedMessages(messages.get(), ios6, sink);

    EXPECT_EQ(describe(sink.contacts), describe(posted.contacts));
    EXPECT_EQ(describe(sink.messages), describe(posted.messages));
    EXPECT_EQ(describe(sink.delContacts), describe(posted.delContacts));
    EXPECT_EQ(describe(sink.delMessages), describe(posted.delMessages));
    EXPECT_TRUE(sink.progress.empty());  // the controller owns the percentages
    EXPECT_EQ(sink.chatMessages.empty(), !ios6);
    // Some carved messages were named through the sink.
    size_t named = 0;
    for (const auto& m : sink.delMessages) named += m->messageName().empty() ? 0 : 1;
    EXPECT_GT(named, 0u);
}

INSTANTIATE_TEST_SUITE_P(Layouts, StepsOnTheirOwn,
                         ::testing::Values(gen::MessageLayout::IOS6, gen::MessageLayout::IOS5,
                                           gen::MessageLayout::IOS5Plain));

}  // namespace
