// Deleted-contact carving: address books written by SQLite through the
// generator with persons and values deleted by SQL, hand-built pages for the
// row-number rules, and odd or damaged files.
#include <gtest/gtest.h>

#include <algorithm>
#include <any>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "scan/app_controller.h"
#include "app/backup_discovery.h"
#include "app/log.h"
#include "carve/contact_carver.h"
#include "carve/sqlite_raw.h"
#include "results/result_view_controller.h"
#include "test_support.h"
#include "tools/backup_generator.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

// What one run of the steps posted and logged.
struct ContactRun {
    std::vector<ContactPtr> posted;          // "ScanDelContactInfo", in order
    std::vector<int> progress;               // "ScanProgressInfo"
    size_t postedBeforeLastProgress = 0;
    std::vector<std::string> logs;
    std::vector<ContactPtr> results;         // the results view's contact list
    size_t values = 0;                       // carved values

    std::vector<ContactPtr> named(const std::string& name) const {
        std::vector<ContactPtr> out;
        for (const auto& c : posted)
            if (c->contactName() == name) out.push_back(c);
        return out;
    }
    size_t listed(const std::string& name, bool deleted) const {
        return std::count_if(results.begin(), results.end(), [&](const ContactPtr& c) {
            return c->contactName() == name && c->bDeleted() == deleted;
        });
    }
};

// Runs the existing-contact step (optionally) and the carving step on a new
// controller with its results view, recording the posts.
ContactRun runSteps(const std::string& folder, bool existingFirst = true) {
    ContactRun run;
    WrenfieldAppDelegate app;
    app.showResultView().showView();
    auto t1 = app.nc.addObserver(names::ScanDelContactInfo, [&](const Notification& n) {
        run.posted.push_back(std::any_cast<ContactPtr>(n.object));
    });
    auto t2 = app.nc.addObserver(names::ScanProgressInfo, [&](const Notification& n) {
        run.progress.push_back(std::any_cast<int>(n.object));
        run.postedBeforeLastProgress = run.posted.size();
    });
    LogSink previous = setLogSink([&](const std::string& line) { run.logs.push_back(line); });
    if (existingFirst) app.scanContactThread(folder);
    run.progress.clear();
    app.scanDelContactThread(folder);
    setLogSink(previous);
    app.nc.removeObserver(t1);
    app.nc.removeObserver(t2);
    run.results = app.resultViewController->contactArray;
    run.values = app.delContactValueArray.size();
    return run;
}

gen::PersonValue value(int property, const std::string& text, const std::string& label = "_$!<Mobile>!$_") {
    gen::PersonValue v;
    v.property = property;
    v.value = text;
    v.label = label;
    return v;
}

gen::Person person(int64_t rowid, const std::string& first, std::optional<std::string> middle, const std::string& last,
                   std::vector<gen::PersonValue> values, bool deleted) {
    gen::Person p;
    p.rowid = rowid;
    p.first = first;
    p.middle = std::move(middle);
    p.last = last;
    p.values = std::move(values);
    p.deleted = deleted;
    return p;
}

// Live persons that keep the tables beyond one page.
void addFillers(gen::BackupSpec& plan, int from, int to) {
    for (int r = from; r <= to; ++r)
        plan.persons.push_back(person(r, "Filler" + std::to_string(r), std::nullopt, "Person",
                                      {value(3, "555 7" + std::to_string(1000 + r))}, false));
}

TEST(CarveContacts, DeletedPersonKeepsNamesCompanyNoteJobTitleAndValues) {
    TempDir dir;
    gen::BackupSpec plan;
    gen::Person grace = person(2, "Grace", "Brewster", "Hopper",
                               {value(3, "+1 555 0101"), value(3, "+1 555 0102", "_$!<Work>!$_"),
                                value(4, "grace@example.com", "_$!<Home>!$_"), value(22, "grace.example.org", "_$!<Home>!$_")},
                               true);
    grace.organization = "Navy";
    grace.department = "Research";
    grace.jobTitle = "Rear Admiral";
    grace.nickname = "Amazing Grace";
    grace.note = "wrote the first compiler";
    // A note of more than 57 bytes has a two-byte serial type.
    gen::Person katherine = person(3, "Katherine", std::nullopt, "Johnson", {value(3, "+1 555 0303")}, true);
    katherine.jobTitle = "Mathematician";
    katherine.nickname = "Kate";
    katherine.note = std::string(90, 'n') + " orbits";
    plan.persons.push_back(person(1, "Ada", std::nullopt, "Lovelace", {value(3, "+1 555 0001")}, false));
    plan.persons.push_back(grace);
    plan.persons.push_back(katherine);
    addFillers(plan, 4, 40);
    ASSERT_EQ(gen::writeBackup(dir.path(), plan), "");

    const ContactRun run = runSteps(dir.str());
    const auto graces = run.named("Grace Brewster Hopper");
    ASSERT_EQ(graces.size(), 1u);
    const ContactPtr& g = graces[0];
    EXPECT_EQ(g->rowid(), 2);
    EXPECT_EQ(g->contactCompany(), "Navy Research");
    EXPECT_EQ(g->contactJobtitle(), "Rear Admiral");  // the JobTitle column, not Nickname
    EXPECT_EQ(g->contactNote(), "wrote the first compiler");
    EXPECT_EQ(g->contactPhone(), " +1 555 0101 +1 555 0102");
    EXPECT_EQ(g->contactEmail(), " grace@example.com");
    EXPECT_EQ(g->contactHomepage(), " grace.example.org");
    EXPECT_EQ(g->contactBirthday(), "");
    EXPECT_EQ(g->contactAdress(), "");

    const auto kates = run.named("Katherine Johnson");
    ASSERT_EQ(kates.size(), 1u);
    EXPECT_EQ(kates[0]->rowid(), 3);
    EXPECT_EQ(kates[0]->contactNote(), *katherine.note);
    EXPECT_EQ(kates[0]->contactJobtitle(), "Mathematician");
    EXPECT_EQ(kates[0]->contactPhone(), " +1 555 0303");

    // Both are listed as deleted; every post came before the progress 75.
    EXPECT_EQ(run.listed("Grace Brewster Hopper", true), 1u);
    EXPECT_EQ(run.listed("Katherine Johnson", true), 1u);
    EXPECT_EQ(run.progress, std::vector<int>{75});
    EXPECT_EQ(run.postedBeforeLastProgress, run.posted.size());
}

TEST(CarveContacts, MiddleNamePersonExistingAndDeletedThroughTheDuplicateRule) {
    TempDir dir;
    gen::BackupSpec plan;
    plan.persons.push_back(person(1, "Ann", "Marie", "Lee", {value(3, "555 0100")}, false));
    plan.persons.push_back(person(2, "Bob", "Quincy", "Smith", {value(3, "555 0200")}, true));
    addFillers(plan, 3, 30);
    ASSERT_EQ(gen::writeBackup(dir.path(), plan), "");

    const ContactRun run = runSteps(dir.str());
    // The live person is carved too, named in the existing order, and the
    // results view drops it as equal in name and phone.
    const auto carvedAnn = run.named("Ann Marie Lee");
    ASSERT_FALSE(carvedAnn.empty());
    EXPECT_EQ(carvedAnn[0]->contactPhone(), " 555 0100");
    EXPECT_EQ(run.listed("Ann Marie Lee", false), 1u);
    EXPECT_EQ(run.listed("Ann Marie Lee", true), 0u);
    EXPECT_EQ(run.named("Ann Lee Marie").size(), 0u);
    // The deleted one survives, marked deleted.
    EXPECT_EQ(run.listed("Bob Quincy Smith", true), 1u);

    // The whole scan through the command gives the same list.
    const test::CommandResult cli = test::runKestrel("scan --json " + test::shellQuote(dir.str()));
    ASSERT_EQ(cli.status, 0) << cli.err;
    const nlohmann::json doc = nlohmann::json::parse(cli.out);
    int ann = 0, bob = 0;
    for (const auto& c : doc["contacts"]) {
        if (c["contactName"] == "Ann Marie Lee") {
            ++ann;
            EXPECT_FALSE(c["bDeleted"].get<bool>());
        }
        if (c["contactName"] == "Bob Quincy Smith") {
            ++bob;
            EXPECT_TRUE(c["bDeleted"].get<bool>());
            EXPECT_EQ(c["contactPhone"], " 555 0200");
        }
    }
    EXPECT_EQ(ann, 1);
    EXPECT_EQ(bob, 1);
}

TEST(CarveContacts, RowNumbersOfSeveralHundredPersonsFromWholeVarints) {
    TempDir dir;
    gen::BackupSpec plan;
    const std::set<int> deleted = {5, 77, 127, 128, 130, 200, 255, 256, 300, 333, 420, 555, 590};
    for (int r = 1; r <= 600; ++r) {
        plan.persons.push_back(person(r, "P" + std::to_string(r), std::nullopt, "Row",
                                      {value(3, "555-" + std::to_string(r)),
                                       value(4, "p" + std::to_string(r) + "@example.com", "_$!<Home>!$_")},
                                      deleted.count(r) > 0));
    }
    ASSERT_EQ(gen::writeBackup(dir.path(), plan), "");

    const ContactRun run = runSteps(dir.str(), false);
    // Row numbers from one byte (5, 77, 127), the pair 0x81, b (128 .. 255)
    // and two-byte varints beyond (256 ..), each with its own values.
    for (int r : deleted) {
        const auto carved = run.named("P" + std::to_string(r) + " Row");
        ASSERT_FALSE(carved.empty()) << r;
        EXPECT_EQ(carved[0]->rowid(), r);
        EXPECT_EQ(carved[0]->contactPhone(), " 555-" + std::to_string(r));
        EXPECT_EQ(carved[0]->contactEmail(), " p" + std::to_string(r) + "@example.com");
    }
    // Across the whole book nearly every carved person carries its own row.
    size_t own = 0;
    for (const auto& c : run.posted)
        own += c->contactName() == "P" + std::to_string(c->rowid()) + " Row";
    EXPECT_GE(own * 100, run.posted.size() * 95) << own << " of " << run.posted.size();
}

TEST(CarveContacts, PersonRowNumberIsTheVarintEndingAtItsLastByte) {
    struct Case {
        std::vector<uint8_t> bytes;  // the last one is the byte at B - 2
        int32_t expected;
    };
    const std::vector<Case> cases = {
        {{0x10, 0x05}, 5},
        {{0x10, 0x81, 0x05}, 133},
        {{0x10, 0x82, 0x05}, 261},
        {{0x10, 0x81, 0x80, 0x05}, 16389},
        {{0x10, 0x81, 0x81, 0x81, 0x05}, (1 << 21) | (1 << 14) | (1 << 7) | 5},
        {{0x81, 0x81, 0x81, 0x81, 0x05}, (1 << 21) | (1 << 14) | (1 << 7) | 5},  // at most three more bytes
        {{0x10, 0x81, 0x80}, 384},  // 0x80 or more: the two-byte rule with 0x81
        {{0x10, 0x82, 0x90}, 0x90},  // else the byte itself
        {{0x10, 0x00}, 0},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> file(8, 0x00);
        file.insert(file.end(), c.bytes.begin(), c.bytes.end());
        auto raw = RawFile::fromBytes(file.data(), file.size());
        EXPECT_EQ(personRowNumberEndingAt(raw.get(), static_cast<int64_t>(file.size()) - 1), c.expected)
            << testing::PrintToString(c.bytes);
    }
}

// ---- Hand-built pages ----

struct Field {
    uint8_t type = 0;
    std::string content;
};
Field text(const std::string& s) { return {static_cast<uint8_t>(13 + 2 * s.size()), s}; }

// A person cell in the plainest layout: two bytes standing for the payload
// size, the row-number bytes, the header-size byte, the serial type 0x00 of
// the primary key, 33 serial types, then the contents.
std::string personCell(const std::string& rowidBytes, uint8_t headerSize, const std::string& first,
                       const std::string& middle, const std::string& last, const std::string& organization) {
    std::vector<Field> f(33);
    if (!first.empty()) f[0] = text(first);
    if (!last.empty()) f[1] = text(last);
    if (!middle.empty()) f[2] = text(middle);
    if (!organization.empty()) f[6] = text(organization);
    f[9] = {8, ""};
    f[11] = text("Chief");
    f[12] = text("Nick");
    f[26] = text("A");
    f[27] = text("A");
    f[28] = {8, ""};
    f[29] = {8, ""};
    f[30] = {1, "\xff"};
    f[32] = {9, ""};
    std::string out = "\x01\x10" + rowidBytes;
    out += static_cast<char>(headerSize);
    out += '\0';
    for (const Field& x : f) out += static_cast<char>(x.type);
    for (const Field& x : f) out += x.content;
    return out;
}

// A value cell: payload and key bytes, header size 7, the primary key's 0x00,
// then owner, property, identifier 0 (08) and label 1 (09), the value's type.
std::string valueCell(const Field& owner, uint8_t property, const std::string& valueText) {
    std::string out = "\x05\x07\x07";
    out += '\0';
    out += static_cast<char>(owner.type);
    out += "\x01\x08\x09";
    out += static_cast<char>(13 + 2 * valueText.size());
    out += owner.content;
    out += static_cast<char>(property);
    out += valueText;
    return out;
}

constexpr int64_t kPage = 1024;

// Page 0 with the page size, page 1 holding persons, page 2 holding values;
// each page's cells start at the given offset in the page.
std::string handBuiltBook(const std::vector<std::string>& persons, const std::vector<std::string>& values,
                          int64_t personsAt = 100, int64_t valuesAt = 100) {
    std::string file(3 * kPage, '\0');
    file[16] = 0x04;
    file[17] = 0x00;
    auto fill = [&](int64_t page, const std::vector<std::string>& cells) {
        const int64_t start = page * kPage;
        file[start] = 0x0D;
        int64_t at = page == 1 ? personsAt : valuesAt;
        file[start + 8] = static_cast<char>(at >> 8);
        file[start + 9] = static_cast<char>(at & 0xFF);
        for (const std::string& cell : cells) {
            file.replace(start + at, cell.size(), cell);
            at += static_cast<int64_t>(cell.size()) + 8;
        }
    };
    fill(1, persons);
    fill(2, values);
    return file;
}

void writeFile(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

TEST(CarveContacts, UnmarkedCounterZeroRowAndValuesWithoutOwner) {
    const std::string book = handBuiltBook(
        {
            personCell("\x07", 0x11, "Una", "", "", ""),                       // unmarked: -1
            personCell("\x07", 0x11, "Duo", "", "", ""),                       // unmarked: -2
            personCell("\x28", 0x23, "Forty", "", "", ""),                     // row 40
            personCell("\x07", 0x30, "Next", std::string("\0zz", 3), "Last", "Acme"),  // unmarked: 39
            personCell(std::string(1, '\0'), 0x26, "Zero", "", "", ""),        // row byte 0: counter + 1
            personCell("\x01", 0x24, "One", "Mid", "Last", ""),                // row 1
            personCell("\x82\x05", 0x25, "Big", "", "", ""),                   // row 261
        },
        {
            valueCell({9, ""}, 3, "111"),          // owner reads nothing: row 1
            valueCell({9, ""}, 4, "one@x"),
            valueCell({1, "\x28"}, 3, "4040a"),
            valueCell({1, "\x28"}, 3, "4040b"),
            valueCell({1, "\x28"}, 22, "forty.example"),
            valueCell({2, "\x01\x05"}, 3, "261"),
            valueCell({1, "\x28"}, 5, "an address"),  // code 5 is not joined
        });
    TempDir dir;
    // Newer backups keep the file in a sub-folder named after its first two characters.
    writeFile(dir.path() / "31" / kAddressBookDBName, book);
    const ContactRun run = runSteps(dir.str(), false);

    std::vector<std::string> names;
    std::vector<int32_t> rows;
    for (const auto& c : run.posted) {
        names.push_back(c->contactName());
        rows.push_back(c->rowid());
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Una", "Duo", "Forty", "Next Last", "Zero", "One Mid Last", "Big"}));
    EXPECT_EQ(rows, (std::vector<int32_t>{-1, -2, 40, 39, 40, 1, 261}));
    EXPECT_EQ(run.values, 7u);
    // The middle name starting with a zero byte counts as empty, yet the
    // cursor moved past it: the company after it is read in step.
    EXPECT_EQ(run.posted[3]->contactCompany(), "Acme");
    EXPECT_EQ(run.posted[3]->contactJobtitle(), "Chief");
    // Values are found downwards, and join every person of their row.
    for (size_t n : {size_t{2}, size_t{4}}) {
        EXPECT_EQ(run.posted[n]->contactPhone(), " 4040b 4040a");
        EXPECT_EQ(run.posted[n]->contactHomepage(), " forty.example");
        EXPECT_EQ(run.posted[n]->contactAdress(), "");
    }
    EXPECT_EQ(run.posted[5]->contactPhone(), " 111");
    EXPECT_EQ(run.posted[5]->contactEmail(), " one@x");
    EXPECT_EQ(run.posted[6]->contactPhone(), " 261");
    EXPECT_EQ(run.posted[0]->contactPhone(), "");
    EXPECT_EQ(run.progress, std::vector<int>{75});
    EXPECT_EQ(run.postedBeforeLastProgress, run.posted.size());

    // A page whose first cell fails both gates is not searched.
    std::string closed = book;
    closed[kPage + 8] = 0;
    closed[kPage + 9] = 0;
    closed[2 * kPage + 8] = 0;
    closed[2 * kPage + 9] = 0;
    auto raw = RawFile::fromBytes(closed.data(), closed.size());
    std::vector<ContactPtr> persons;
    std::vector<DelContactValuePtr> values;
    carveContactPages(raw.get(), pageGeometry(raw.get()), persons, values);
    EXPECT_TRUE(persons.empty());
    EXPECT_TRUE(values.empty());
}

TEST(CarveContacts, RecordsAreFoundAtEveryOffsetUpToTheEndOfTheFile) {
    // The searches compare many offsets at once; a record must be found
    // wherever it lies relative to those blocks, the value search down to
    // the last bytes of the file.
    const std::string valueBefore = valueCell({1, "\x05"}, 3, "555");
    const std::string valueAtEnd = valueCell({1, "\x05"}, 3, "7");
    for (int64_t shift = 0; shift < 48; ++shift) {
        const std::string name = "P" + std::to_string(shift);
        // The last value cell ends `shift` bytes before the end of the file.
        const auto valuesAt = kPage - shift - static_cast<int64_t>(valueAtEnd.size() + 8 + valueBefore.size());
        const std::string book = handBuiltBook({personCell("\x05", 0x24, name, "", "", "")},
                                               {valueBefore, valueAtEnd}, 100 + shift, valuesAt);
        ASSERT_EQ(book.size(), static_cast<size_t>(3 * kPage));
        auto raw = RawFile::fromBytes(book.data(), book.size());
        std::vector<ContactPtr> persons;
        std::vector<DelContactValuePtr> values;
        carveContactPages(raw.get(), pageGeometry(raw.get()), persons, values);
        ASSERT_EQ(persons.size(), 1u) << "shift " << shift;
        EXPECT_EQ(persons[0]->contactName(), name);
        EXPECT_EQ(persons[0]->rowid(), 5);
        ASSERT_EQ(values.size(), 2u) << "shift " << shift;
        // Downwards: the value nearest the end of the file first.
        EXPECT_EQ(values[0]->contactValue(), "7");
        EXPECT_EQ(values[1]->contactValue(), "555");
    }
}

TEST(CarveContacts, JoinByRowGivesTheNestedLoopsAnswers) {
    // Row numbers close together (a table over the rows) and spread wide (a search).
    for (int32_t far : {0, 2000000000}) {
        std::mt19937 rng(7);
        std::vector<ContactPtr> nodes;
        std::vector<DelContactValuePtr> values;
        for (int n = 0; n < 300; ++n) {
            auto c = std::make_shared<TovContactNode>();
            c->setRowid(static_cast<int32_t>(rng() % 40) - 5 + (n % 7 == 0 ? far : 0));
            nodes.push_back(c);
            auto v = std::make_shared<DelContactValue>();
            v->setRowID(static_cast<int32_t>(rng() % 50) - 5 + (n % 5 == 0 ? far : 0));
            v->setValueType(std::vector<int>{3, 4, 22, 5, 0}[rng() % 5]);
            v->setContactValue("v" + std::to_string(n));
            values.push_back(v);
        }
        const DelContactValueIndex index(values);
        for (const ContactPtr& node : nodes) {
            std::map<int, std::string> expected;
            for (const auto& v : values)
                if (v->rowID() == node->rowid()) expected[v->valueType()] += " " + v->contactValue();
            index.joinTo(*node);
            EXPECT_EQ(node->contactPhone(), expected[3]);
            EXPECT_EQ(node->contactEmail(), expected[4]);
            EXPECT_EQ(node->contactHomepage(), expected[22]);
        }
    }
}

TEST(CarveContacts, MissingEmptyOddAndDamagedFiles) {
    {
        TempDir dir;
        const ContactRun missing = runSteps(dir.str(), false);
        EXPECT_EQ(missing.logs, std::vector<std::string>{"contactDB is not exist"});
        EXPECT_TRUE(missing.progress.empty());
        const ContactRun empty = runSteps("", false);
        EXPECT_TRUE(empty.logs.empty());
        EXPECT_TRUE(empty.progress.empty());
    }
    // Page sizes 0, 1 and 65535; files shorter than a page, random bytes,
    // anchors and page types everywhere: no fault, progress 75 once.
    std::mt19937 rng(11);
    auto randomBytes = [&](size_t n) {
        std::string s(n, '\0');
        for (char& c : s) c = static_cast<char>(rng());
        return s;
    };
    auto withPageSize = [](std::string s, int pageSize) {
        s[16] = static_cast<char>(pageSize >> 8);
        s[17] = static_cast<char>(pageSize & 0xFF);
        return s;
    };
    std::string anchors;
    while (anchors.size() < 20000) anchors += std::string("\x0d\x0f\x0f\x08\x08\x01\x00\x00\x04\x04\x13\x23\x00\x01\x01\x08\x09\x81\x89", 19);
    std::string anchorsNoZero = anchors;
    std::replace(anchorsNoZero.begin(), anchorsNoZero.end(), '\0', '\x04');
    const std::vector<std::pair<std::string, std::string>> files = {
        {"page size 0", withPageSize(randomBytes(5000), 0)},
        {"page size 1", withPageSize(anchors.substr(0, 3000), 1)},
        {"page size 65535", withPageSize(randomBytes(3 * 65535 + 17), 65535)},
        {"shorter than a page", withPageSize(randomBytes(600), 1024)},
        {"anchors", withPageSize(anchors, 512)},
        {"anchors without zero bytes", withPageSize(anchorsNoZero, 512)},
        {"random", withPageSize(randomBytes(64 * 1024), 4096)},
        {"empty", ""},
    };
    for (const auto& [what, bytes] : files) {
        TempDir dir;
        writeFile(dir.path() / kAddressBookDBName, bytes);
        const ContactRun run = runSteps(dir.str(), false);
        EXPECT_EQ(run.progress, std::vector<int>{75}) << what;
        if (what == "page size 0" || what == "shorter than a page" || what == "empty") {
            EXPECT_TRUE(run.posted.empty()) << what;
        }
        if (what == "anchors") {
            EXPECT_FALSE(run.posted.empty()) << what;
        }
    }
    for (gen::Damage damage : {gen::Damage::Truncated, gen::Damage::Garbage}) {
        TempDir dir;
        gen::BackupSpec plan;
        addFillers(plan, 1, 200);
        for (int r = 1; r <= 200; r += 3) plan.persons[static_cast<size_t>(r - 1)].deleted = true;
        plan.addressBook = damage;
        ASSERT_EQ(gen::writeBackup(dir.path(), plan), "");
        const ContactRun run = runSteps(dir.str());
        EXPECT_EQ(run.progress, std::vector<int>{75});
    }
}

}  // namespace
}  // namespace kestrel
