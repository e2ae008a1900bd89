// The export's reports: report.html parsed by a real HTML5 parser (every
// ticked message once, in conversation and date order, hostile texts shown
// as text), the CSV files read back field for field, records.json equal to
// the scan's records, manifest.json's hashes equal to sha256sum, the format
// list, numbered names for a second export, and failures reported.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "app/notification_center.h"
#include "results/file_writing.h"
#include "results/record_json.h"
#include "results/report_csv.h"
#include "results/report_html.h"
#include "results/report_manifest.h"
#include "results/result_view_controller.h"
#include "test_support.h"
#include "tools/backup_generator.h"

using namespace kestrel;
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// A small RFC 4180 reader: records end with CR LF, quoted fields may hold
// commas, quotes (doubled), CR and LF. Fails the test on a malformed file.
std::vector<std::vector<std::string>> readCsv(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> row;
    std::string field;
    size_t i = 0;
    bool fieldStarted = false;
    while (i < text.size()) {
        if (!fieldStarted && text[i] == '"') {
            ++i;
            for (;;) {
                if (i >= text.size()) {
                    ADD_FAILURE() << "unterminated quoted field";
                    return rows;
                }
                if (text[i] == '"') {
                    if (i + 1 < text.size() && text[i + 1] == '"') {
                        field.push_back('"');
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                field.push_back(text[i++]);
            }
            fieldStarted = true;
            if (i < text.size() && text[i] != ',' && text[i] != '\r') {
                ADD_FAILURE() << "text after a closing quote at byte " << i;
                return rows;
            }
            continue;
        }
        const char c = text[i];
        if (c == ',') {
            row.push_back(std::move(field));
            field.clear();
            fieldStarted = false;
            ++i;
        } else if (c == '\r') {
            if (i + 1 >= text.size() || text[i + 1] != '\n') {
                ADD_FAILURE() << "CR without LF at byte " << i;
                return rows;
            }
            row.push_back(std::move(field));
            field.clear();
            fieldStarted = false;
            rows.push_back(std::move(row));
            row.clear();
            i += 2;
        } else {
            if (c == '"' || c == '\n') {
                ADD_FAILURE() << "bare quote or line feed in an unquoted field at byte " << i;
                return rows;
            }
            field.push_back(c);
            fieldStarted = true;
            ++i;
        }
    }
    if (fieldStarted || !row.empty()) ADD_FAILURE() << "last record not ended by CR LF";
    return rows;
}

// A Python 3 that has html5lib, or the empty text.
std::string pythonWithHtml5lib() {
    for (const char* python : {"/usr/bin/python3", "python3"}) {
        if (test::runCommand(std::string(python) + " -c 'import html5lib'").status == 0) return python;
    }
    return std::string();
}

// Parses the page with html5lib's strict parser (any parse error fails) and
// returns what it found: {"scripts": n, "conversations": [{"key", "messages":
// [{"date", "text", "deleted", "side", "flag"}]}]}.
json parseReport(const std::string& python, const fs::path& page, std::string* error) {
    static const char* kScript = R"(
import json, sys, html5lib
doc = html5lib.HTMLParser(strict=True, namespaceHTMLElements=False).parse(open(sys.argv[1], 'rb').read())
def classes(e):
    return (e.get('class') or '').split()
out = {'scripts': len(doc.findall('.//script')), 'conversations': []}
for art in doc.iter('article'):
    conv = {'key': art.get('data-key'), 'messages': []}
    for div in art.iter('div'):
        if 'msg' not in classes(div):
            continue
        m = {'date': div.get('data-date'), 'text': None, 'deleted': 'deleted' in classes(div),
             'side': classes(div)[1], 'flag': ''}
        for span in div.iter('span'):
            if 'text' in classes(span):
                m['text'] = ''.join(span.itertext())
            elif 'empty' in classes(span):
                m['text'] = ''
            elif 'flag' in classes(span):
                m['flag'] = ''.join(span.itertext())
        conv['messages'].append(m)
    out['conversations'].append(conv)
print(json.dumps(out))
)";
    test::TempDir scratch;
    const fs::path script = scratch.path() / "parse.py";
    std::ofstream(script) << kScript;
    auto run = test::runCommand(python + " " + test::shellQuote(script.string()) + " " +
                                test::shellQuote(page.string()));
    if (run.status != 0) {
        *error = run.err;
        return json();
    }
    return json::parse(run.out);
}

std::string sha256sum(const fs::path& file) {
    auto run = test::runCommand("sha256sum " + test::shellQuote(file.string()));
    return run.out.substr(0, 64);
}

MessagePtr message(const std::string& chat, const std::string& phone, const std::string& date,
                   const std::string& type, const std::string& content) {
    auto m = std::make_shared<TovMessageNode>();
    m->setChat(chat);
    m->setMessagePhone(phone);
    m->setMessageName(phone.empty() ? "" : "Name of " + phone);
    m->setMessageDate(date);
    m->setMessageType(type);
    m->setMessageContent(content);
    return m;
}

class Reports : public ::testing::Test {
protected:
    NotificationCenter nc;
    TovResultViewController results{nc};
    test::TempDir dir;

    void SetUp() override { results.showView(); }
    void tickAll(Category c) {
        results.switchToCategory(c);
        results.selectAll(c);
        results.tableView(c, 1, kCheckColumn, 0);
    }
    void exportTo(const fs::path& destination, const std::string& formats) {
        results.actRecovery();
        results.setExportFormats(*parseExportFormats(formats));
        results.savePanelDidEnd(destination.string(), 1);
        results.waitForRecoveryThread();
    }
    // Hostile and ordinary messages in three conversations, some deleted.
    void postMessages() {
        auto carved = message("", "+1555", "03-01-2013 09:00", "Received", "found \"again\" <b>bold</b>");
        carved->setSource(kSourceCarved);
        carved->setProvenance(Provenance{"sms.db", "free page", 12, 49152, std::nullopt, std::nullopt});
        nc.postNotificationName(names::ScanMessageInfo,
                                message("Family", "+1666", "05-02-2013 14:03", "Send", "see you, \"Mum\" & Dad"));
        nc.postNotificationName(names::ScanMessageInfo,
                                message("", "+1555", "04-01-2013 10:00", "Received",
                                        "<script>alert('x')</script>\nline two, with comma"));
        nc.postNotificationName(names::ScanDelMessageInfo, MessagePtr(carved));
        nc.postNotificationName(names::ScanMessageInfo, message("Family", "+1777", "01-02-2013 08:00", "Received",
                                                                std::string("ctrl\x01 and bad \xff byte")));
        nc.postNotificationName(names::ScanMessageInfo, message("", "", "", "unknown", ""));
        nc.postNotificationName(names::ScanMessageInfo,
                                message("Family", "+1666", "05-02-2013 14:02", "Send", "\"quoted\",,\r\nCRLF"));
    }
};

}  // namespace

TEST(ReportFormats, FormatListsAreParsedAndNamed) {
    EXPECT_EQ(parseExportFormats("txt"), (ExportFormats{true, false, false, false}));
    EXPECT_EQ(parseExportFormats(" html, csv ,json"), (ExportFormats{false, true, true, true}));
    EXPECT_EQ(parseExportFormats("json,json,txt"), (ExportFormats{true, false, false, true}));
    std::string error;
    EXPECT_FALSE(parseExportFormats("txt,pdf", &error));
    EXPECT_NE(error.find("pdf"), std::string::npos);
    EXPECT_FALSE(parseExportFormats(" , ", &error));
    EXPECT_FALSE(parseExportFormats("", &error));
    EXPECT_EQ(exportFormatsText({true, true, true, true}), "txt,html,csv,json");
    EXPECT_EQ(numberedFileName("report.html", 2), "report 2.html");
    EXPECT_EQ(numberedFileName("Call History.csv", 3), "Call History 3.csv");
    EXPECT_EQ(numberedFileName("noext", 2), "noext 2");
}

TEST_F(Reports, HtmlIsValidHoldsEveryTickedMessageOnceInConversationAndDateOrderAndEscapesText) {
    const std::string python = pythonWithHtml5lib();
    if (python.empty()) GTEST_SKIP() << "python3 with html5lib is not installed (scripts/setup installs python3-html5lib)";
    postMessages();
    nc.postNotificationName(names::ScanMessageInfo, message("Unticked", "+1888", "01-01-2013 00:00", "Send", "no"));
    results.ScanThreadFinish();
    tickAll(Category::Messages);
    results.messageArray.back()->setBSelected(false);
    const fs::path out = dir.path() / "out";
    exportTo(out, "html");
    EXPECT_FALSE(fs::exists(out / "Message"));  // no text files asked for
    ASSERT_TRUE(fs::exists(out / "report.html"));

    std::string error;
    const json page = parseReport(python, out / "report.html", &error);
    ASSERT_TRUE(error.empty()) << "not valid HTML5: " << error;
    EXPECT_EQ(page["scripts"], 0);

    // Conversations ordered by their oldest message; messages oldest first;
    // the undated one last.
    std::vector<std::string> keys;
    std::vector<std::vector<std::string>> texts;
    for (const json& c : page["conversations"]) {
        keys.push_back(c["key"]);
        texts.emplace_back();
        for (const json& m : c["messages"]) texts.back().push_back(m["text"]);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"Family", "+1555", "Unknown"}));
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0], (std::vector<std::string>{"ctrl\xE2\x90\x81 and bad \xEF\xBF\xBD byte", "\"quoted\",,\nCRLF",
                                                  "see you, \"Mum\" & Dad"}));
    EXPECT_EQ(texts[1], (std::vector<std::string>{"found \"again\" <b>bold</b>",
                                                  "<script>alert('x')</script>\nline two, with comma"}));
    EXPECT_EQ(texts[2], (std::vector<std::string>{""}));
    // Sides and the deleted mark with source and where it was found.
    const json& carved = page["conversations"][1]["messages"][0];
    EXPECT_TRUE(carved["deleted"].get<bool>());
    EXPECT_EQ(carved["side"], "received");
    EXPECT_NE(carved["flag"].get<std::string>().find("carved"), std::string::npos);
    EXPECT_NE(carved["flag"].get<std::string>().find("Recovered from free page 12, offset 49,152"),
              std::string::npos);
    EXPECT_FALSE(page["conversations"][1]["messages"][1]["deleted"].get<bool>());
    EXPECT_EQ(page["conversations"][0]["messages"][2]["side"], "sent");
    EXPECT_EQ(page["conversations"][2]["messages"][0]["side"], "unknown");
}

TEST_F(Reports, CsvFilesReadBackToTheRecordsFieldForField) {
    postMessages();
    auto c = std::make_shared<TovContactNode>();
    c->setRowid(4);
    c->setContactName("O'Brien, \"Pat\"");
    c->setContactNote("two\nlines\r\nand CRLF");
    c->setSource(kSourceCarved);
    c->setProvenance(Provenance{"AddressBook.sqlitedb", "unallocated", 3, std::nullopt, 2, 7});
    nc.postNotificationName(names::ScanContactInfo, ContactPtr(c));
    results.ScanThreadFinish();
    tickAll(Category::Messages);
    tickAll(Category::Contacts);
    results.messageArray[0]->setAttachments({"IMG_1.jpg", "a,\"b\".pdf"});
    const fs::path out = dir.path() / "out";
    exportTo(out, "csv,txt");
    EXPECT_TRUE(fs::exists(out / "Message/Messages.txt"));

    const auto rows = readCsv(test::readFile(out / "Message/Messages.csv"));
    ASSERT_EQ(rows.size(), results.messageArray.size() + 1);
    // The header names the JSON fields, in the JSON order.
    std::string one;
    appendMessageJson(one, *results.messageArray[0]);
    const nlohmann::ordered_json first = nlohmann::ordered_json::parse(one);
    std::vector<std::string> header;
    for (auto it = first.begin(); it != first.end(); ++it) header.push_back(it.key());
    EXPECT_EQ(rows[0], header);
    for (size_t r = 0; r < results.messageArray.size(); ++r) {
        std::string text;
        appendMessageJson(text, *results.messageArray[r]);
        const json record = json::parse(text);
        ASSERT_EQ(rows[r + 1].size(), header.size());
        for (size_t f = 0; f < header.size(); ++f) {
            const json& value = record[header[f]];
            if (value.is_string()) {
                EXPECT_EQ(rows[r + 1][f], value.get<std::string>()) << header[f] << " of row " << r;
            } else {
                EXPECT_EQ(json::parse(rows[r + 1][f]), value) << header[f] << " of row " << r;
            }
        }
    }
    const auto contacts = readCsv(test::readFile(out / "Contact/Contacts.csv"));
    ASSERT_EQ(contacts.size(), 2u);
    std::map<std::string, std::string> byName;
    for (size_t f = 0; f < contacts[0].size(); ++f) byName[contacts[0][f]] = contacts[1][f];
    EXPECT_EQ(byName["contactName"], "O'Brien, \"Pat\"");
    EXPECT_EQ(byName["contactNote"], "two\nlines\r\nand CRLF");
    EXPECT_EQ(byName["source"], "carved");
    EXPECT_EQ(byName["bDeleted"], "true");
    EXPECT_EQ(json::parse(byName["provenance"]),
              json::parse(R"({"file": "AddressBook.sqlitedb", "area": "unallocated", "page": 3, "frame": 2, "commit": 7})"));
    // Categories without ticked records still get their file with its header.
    const auto notes = readCsv(test::readFile(out / "Note/Notes.csv"));
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].front(), "uid");
    EXPECT_TRUE(fs::exists(out / "CallHistory/Call History.csv"));
}

TEST_F(Reports, SecondExportKeepsEveryEarlierFileAndAFailedWriteIsAnError) {
    postMessages();
    results.ScanThreadFinish();
    tickAll(Category::Messages);
    const fs::path out = dir.path() / "out";
    exportTo(out, "txt,html,csv,json");
    EXPECT_TRUE(results.exportIssues().empty());
    const std::string html = test::readFile(out / "report.html");
    const std::string csv = test::readFile(out / "Message/Messages.csv");
    const std::string manifest = test::readFile(out / "manifest.json");

    results.messageArray[0]->setMessageContent("changed");
    exportTo(out, "txt,html,csv,json");
    EXPECT_EQ(test::readFile(out / "report.html"), html);
    EXPECT_EQ(test::readFile(out / "Message/Messages.csv"), csv);
    EXPECT_EQ(test::readFile(out / "manifest.json"), manifest);
    for (const char* added : {"report 2.html", "records 2.json", "manifest 2.json", "Message/Messages 2.csv",
                              "Message/TXT.txt"}) {
        EXPECT_TRUE(fs::exists(out / added)) << added;
    }
    EXPECT_NE(test::readFile(out / "Message/Messages 2.csv").find("changed"), std::string::npos);
    // The second manifest names the files the second export wrote, with their hashes.
    const json second = json::parse(test::readFile(out / "manifest 2.json"));
    std::map<std::string, std::string> hashes;
    for (const json& f : second["files"]) hashes[f["path"]] = f["sha256"];
    EXPECT_EQ(hashes.count("report.html"), 0u);
    EXPECT_EQ(hashes["report 2.html"], sha256sum(out / "report 2.html"));
    EXPECT_EQ(hashes["Message/Messages 2.csv"], sha256sum(out / "Message/Messages 2.csv"));
    EXPECT_EQ(hashes["Message/TXT.txt"], sha256sum(out / "Message/TXT.txt"));
    bool warned = false;
    for (const ExportIssue& issue : results.exportIssues()) {
        EXPECT_EQ(issue.kind, ExportIssue::Kind::Warning) << issue.path << ": " << issue.what;
        warned = warned || issue.path == (out / "report 2.html").string();
    }
    EXPECT_TRUE(warned);

    // A destination that is a file: each report is reported as not written.
    std::ofstream(dir.path() / "a-file") << "x";
    exportTo(dir.path() / "a-file", "html,json");
    int errors = 0;
    for (const ExportIssue& issue : results.exportIssues()) errors += issue.kind == ExportIssue::Kind::Error;
    EXPECT_GE(errors, 1);
    EXPECT_EQ(test::readFile(dir.path() / "a-file"), "x");
}

TEST_F(Reports, ProgressCountsEveryFormatWritten) {
    EXPECT_EQ(TovResultViewController::recoveryPercentage(0, 0), 0);
    postMessages();
    results.ScanThreadFinish();
    tickAll(Category::Messages);
    results.setExportFormats(*parseExportFormats("txt,html,csv,json"));
    results.recovredFilesNum.store(6);  // the text pass done
    EXPECT_EQ(results.IphonerecoveryTimer_hander(), 25);
}

TEST(ReportCommand, EveryFormatOfAGeneratedBackupMatchesTheScanAndTheHashesMatchSha256sum) {
    test::TempDir dir;
    gen::BackupSpec plan;
    plan.handles = {{1, "+15551234567", "SMS"}, {2, "+15557654321", "iMessage"}};
    gen::Person ann;
    ann.first = "Ann";
    ann.last = "<Lee> & \"Co\"";
    ann.values = {gen::PersonValue{3, "_$!<Mobile>!$_", "+15551234567"}};
    gen::Person gone;
    gone.first = "Gone";
    gone.deleted = true;
    plan.persons = {ann, gone};
    for (int i = 0; i < 8; ++i) {
        gen::Message m;
        m.handle_id = 1 + i % 2;
        m.text = i == 2 ? "<script>alert(1)</script>, \"quoted\"\nnext line" : "message " + std::to_string(i);
        m.date = 380000000 + i * 60;
        m.is_from_me = i % 3 == 1;
        m.flags = m.is_from_me ? 3 : 2;
        m.deleted = i % 4 == 0;
        plan.messages.push_back(m);
    }
    ASSERT_EQ(gen::writeBackup(dir.path() / "backup", plan), "");
    const fs::path backup = dir.path() / "backup";
    const fs::path out = dir.path() / "export";

    auto run = test::runKestrel("scan --read-only --json --tick all --format txt,html,csv,json --export " +
                                test::shellQuote(out.string()) + " " + test::shellQuote(backup.string()));
    ASSERT_EQ(run.status, 0) << run.err;
    const json scan = json::parse(run.out);
    const json records = json::parse(test::readFile(out / "records.json"));
    EXPECT_EQ(records["contacts"], scan["contacts"]);
    EXPECT_EQ(records["messages"], scan["messages"]);
    EXPECT_GE(records["messages"].size(), 6u);
    EXPECT_EQ(records["backup"]["strDeviceSerial"], scan["backup"]["strDeviceSerial"]);
    EXPECT_EQ(records["backup"]["encrypted"], false);
    EXPECT_NE(records["report"]["command"].get<std::string>().find("--format txt,html,csv,json"), std::string::npos);
    EXPECT_EQ(records["report"]["version"], KESTREL_VERSION);

    // Both databases were read; their hashes are those of the files in the backup.
    const json manifest = json::parse(test::readFile(out / "manifest.json"));
    const json& databases = manifest["report"]["databaseFiles"];
    ASSERT_EQ(databases.size(), 2u);
    for (const json& d : databases) {
        const fs::path path = d["path"].get<std::string>();
        EXPECT_EQ(path.parent_path(), fs::absolute(backup).lexically_normal());
        EXPECT_EQ(d["sha256"], sha256sum(path)) << path;
        EXPECT_EQ(d["bytes"], fs::file_size(path));
    }
    EXPECT_EQ(records["report"]["databaseFiles"], databases);
    for (const json& f : manifest["files"]) {
        EXPECT_EQ(f["sha256"], sha256sum(out / f["path"].get<std::string>())) << f["path"];
    }
    EXPECT_TRUE(fs::exists(out / "Message/Messages.csv"));
    EXPECT_TRUE(fs::exists(out / "Contact/Contacts.csv"));
    EXPECT_TRUE(fs::exists(out / "Message/Messages.txt"));

    const std::string python = pythonWithHtml5lib();
    if (!python.empty()) {
        std::string error;
        const json page = parseReport(python, out / "report.html", &error);
        ASSERT_TRUE(error.empty()) << error;
        size_t shown = 0;
        for (const json& c : page["conversations"]) shown += c["messages"].size();
        EXPECT_EQ(shown, scan["messages"].size());
        EXPECT_EQ(page["scripts"], 0);
    }
    const std::string html = test::readFile(out / "report.html");
    EXPECT_NE(html.find(databases[0]["sha256"].get<std::string>()), std::string::npos);
    EXPECT_NE(html.find("&lt;Lee&gt; &amp; &quot;Co&quot;"), std::string::npos);

    // --deleted-only lists only deleted records, contacts included.
    auto deleted = test::runKestrel("scan --read-only --json --deleted-only " + test::shellQuote(backup.string()));
    ASSERT_EQ(deleted.status, 0) << deleted.err;
    const json onlyDeleted = json::parse(deleted.out);
    EXPECT_LT(onlyDeleted["contacts"].size(), scan["contacts"].size());
    for (const json& c : onlyDeleted["contacts"]) EXPECT_TRUE(c["bDeleted"].get<bool>());
    for (const json& m : onlyDeleted["messages"]) EXPECT_TRUE(m["bDeleted"].get<bool>());

    EXPECT_EQ(test::runKestrel("scan --export " + test::shellQuote((dir.path() / "x").string()) +
                               " --format txt,pdf " + test::shellQuote(backup.string()))
                  .status,
              2);
    EXPECT_EQ(test::runKestrel("scan --format html " + test::shellQuote(backup.string())).status, 2);
    EXPECT_FALSE(fs::exists(dir.path() / "x"));
}
