// The recovery export: the ticked records of every category written into a
// folder the user chose, on a worker thread of its own, one category folder
// after the other; the progress tick; the proposed folder name.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "results/file_writing.h"
#include "results/report_csv.h"
#include "results/report_html.h"
#include "results/report_json.h"
#include "results/result_view_controller.h"
#include "results/text_writer.h"
#include "results/vcard_writer.h"

namespace kestrel {
namespace {

constexpr size_t kCopyBufferSize = 8 * 1024 * 1024;

// The ticked records of a list: those of a skipped category still count as
// handled, so the progress reaches its end.
template <typename List>
int32_t tickedCount(const List& list) {
    int32_t count = 0;
    for (const auto& record : list) {
        if (record->bSelected()) ++count;
    }
    return count;
}

bool isSymbolicLink(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_symlink(std::filesystem::symlink_status(path, ec));
}

}  // namespace

std::string TovResultViewController::proposedExportName(std::time_t now) {
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr) return "Kestrel";
    char day[32];
    char time[32];
    std::strftime(day, sizeof day, "%Y-%m-%d", &local);
    std::snprintf(time, sizeof time, "%02d.%02d.%02d", local.tm_hour, local.tm_min, local.tm_sec);
    return std::string("Kestrel ") + day + " - " + time;
}

std::string TovResultViewController::actRecovery(std::time_t now) {
    recovredFilesNum.store(0);
    saveProgress_.store(0);
    return proposedExportName(now);
}

void TovResultViewController::savePanelDidEnd(const std::string& path, int returnCode) {
    if (returnCode != 1) return;
    if (isRecovering()) return;  // one export at a time
    waitForRecoveryThread();     // the previous worker has ended; reap it
    setRecoverPath(path);
    {
        std::lock_guard<std::mutex> lock(exportMutex_);
        exportIssues_.clear();
        vcardNamesWritten_.clear();
        filesWritten_.clear();
    }
    reportProgress_.store(0);
    if (delegate_) {
        delegate_->showSaveWindow();
        delegate_->startRecoveryTimer();
    }
    recovering_.store(true);
    recoverThread = std::thread([this] { recoverFilesThread(); });
}

int TovResultViewController::recoveryPercentage(int32_t recovered, int32_t selected) {
    if (selected < 1) return 0;
    float percent = static_cast<float>(recovered) * 100.0f / static_cast<float>(selected);
    int value = static_cast<int>(percent);
    return value < 0 ? 0 : (value > 100 ? 100 : value);
}

int TovResultViewController::IphonerecoveryTimer_hander() {
    const int passes = std::max(exportFormats().passes(), 1);
    int percent = passes == 1 ? recoveryPercentage(recovredFilesNum.load() + reportProgress_.load(), selectedFilesNum)
                              : recoveryPercentage(recovredFilesNum.load() + reportProgress_.load(),
                                                   selectedFilesNum * passes);
    saveProgress_.store(percent);
    return percent;
}

std::string TovResultViewController::savepercentlab() const {
    return std::to_string(saveProgress_.load()) + "%";
}

std::string TovResultViewController::recoverPath() const {
    std::lock_guard<std::mutex> lock(exportMutex_);
    return recoverPath_;
}

void TovResultViewController::setRecoverPath(std::string path) {
    std::lock_guard<std::mutex> lock(exportMutex_);
    recoverPath_ = std::move(path);
}

std::string TovResultViewController::recoverFilePath() const {
    std::lock_guard<std::mutex> lock(exportMutex_);
    return recoverFilePath_;
}

void TovResultViewController::setRecoverFilePath(std::string path) {
    std::lock_guard<std::mutex> lock(exportMutex_);
    recoverFilePath_ = std::move(path);
}

void TovResultViewController::setExportFormats(const ExportFormats& formats) {
    std::lock_guard<std::mutex> lock(exportMutex_);
    exportFormats_ = formats;
}

ExportFormats TovResultViewController::exportFormats() const {
    std::lock_guard<std::mutex> lock(exportMutex_);
    return exportFormats_;
}

void TovResultViewController::setReportFacts(ReportFacts facts) {
    std::lock_guard<std::mutex> lock(exportMutex_);
    reportFacts_ = std::move(facts);
}

std::vector<CategoryCount> TovResultViewController::categoryCounts() const {
    const auto existing = shownExistingCounts();
    const auto deleted = shownDeletedCounts();
    auto ticked = [](const auto& list) {
        int32_t n = 0;
        for (const auto& record : list) n += record->bSelected() ? 1 : 0;
        return n;
    };
    const int32_t tickedCounts[kCategoryCount] = {ticked(photoAndVideoArray), ticked(contactArray),
                                                  ticked(messageArray), ticked(noteArray), ticked(callHistoryArray)};
    std::vector<CategoryCount> out;
    for (int i = 0; i < kCategoryCount; ++i) {
        const auto at = static_cast<size_t>(i);
        out.push_back(CategoryCount{categoryName(static_cast<Category>(i)), std::max(existing[at], 0),
                                    std::max(deleted[at], 0), tickedCounts[i]});
    }
    return out;
}

std::vector<ExportIssue> TovResultViewController::exportIssues() const {
    std::lock_guard<std::mutex> lock(exportMutex_);
    return exportIssues_;
}

void TovResultViewController::addExportIssue(ExportIssue::Kind kind, std::string path, std::string what) {
    std::lock_guard<std::mutex> lock(exportMutex_);
    exportIssues_.push_back(ExportIssue{kind, std::move(path), std::move(what)});
}

void TovResultViewController::waitForRecoveryThread() {
    if (recoverThread.joinable() && recoverThread.get_id() != std::this_thread::get_id()) recoverThread.join();
}

bool TovResultViewController::createFolder(const std::string& path) {
    std::error_code ec;
    if (isSymbolicLink(path)) {
        // Writing through it would put the records wherever the link leads.
        addExportIssue(ExportIssue::Kind::Error, path,
                       "refused: the folder is a symbolic link; nothing of this category was written");
        return false;
    }
    std::filesystem::create_directories(path, ec);
    if (!ec && std::filesystem::is_directory(path, ec)) return true;
    addExportIssue(ExportIssue::Kind::Error, path,
                   "cannot create the folder: " + (ec ? ec.message() : std::string("a file has that name")));
    return false;
}

// ---- The worker ----

void TovResultViewController::recoverFilesThread() {
    const std::string root = recoverPath();
    const ExportFormats formats = exportFormats();
    auto noteWritten = [this, &root](const std::string& folder, const std::string& name, const std::string& data) {
        std::lock_guard<std::mutex> lock(exportMutex_);
        std::string relative = folder.size() > root.size() ? folder.substr(root.size() + 1) + "/" + name : name;
        filesWritten_.push_back(WrittenFile{std::move(relative), static_cast<int64_t>(data.size()), sha256Hex(data)});
    };

    // Runs one text category: its folder, its ticked records, its file.
    auto textCategory = [&](const char* folderName, const char* type, auto& list, auto recover) {
        const std::string folder = root + "/" + folderName;
        setRecoverFilePath(folder);
        if (!createFolder(folder) && isSymbolicLink(folder)) {
            recovredFilesNum += tickedCount(list);
            return;
        }
        TovRtfController writer;
        for (const auto& record : list) {
            if (record->bSelected()) recover(*record, writer);
        }
        std::string error;
        std::string kept;
        switch (writer.writeRtfInPath(folder, type, &error, &kept)) {
            case TextFileOutcome::Written:
                noteWritten(folder, textFileNameForType(type), writer.strRtfContent);
                break;
            case TextFileOutcome::KeptInTXT:
                noteWritten(folder, kept, writer.strRtfContent);
                addExportIssue(ExportIssue::Kind::Warning, folder + "/" + kept,
                               textFileNameForType(type) + " already exists; the new text is in " + kept);
                break;
            case TextFileOutcome::NotWritten:
                addExportIssue(ExportIssue::Kind::Error, folder + "/" + textFileNameForType(type),
                               error.empty() ? "cannot write the text file" : error);
                break;
        }
    };

    if (formats.txt) {
        // 1. Photos and videos (the destination itself is created here).
        const std::string mediaFolder = root + "/Photo&Video";
        setRecoverFilePath(mediaFolder);
        if (!createFolder(mediaFolder) && isSymbolicLink(mediaFolder)) {
            recovredFilesNum += tickedCount(photoAndVideoArray);
        } else {
            for (const PhotoAndVideoPtr& node : photoAndVideoArray) {
                if (node->bSelected()) recoverPhotoAndVideo(*node);
            }
        }
        // 2.-5. The four text categories.
        textCategory("Contact", "Contact", contactArray,
                     [this](const TovContactNode& n, TovRtfController& w) { recoverContactNode(n, w); });
        textCategory("Message", "Message", messageArray,
                     [this](const TovMessageNode& n, TovRtfController& w) { recoverMessageNode(n, w); });
        textCategory("Note", "Note", noteArray,
                     [this](const TovNoteNode& n, TovRtfController& w) { recoverNoteNode(n, w); });
        textCategory("CallHistory", "CallHistory", callHistoryArray,
                     [this](const TovCallHistoryNode& n, TovRtfController& w) { recoverCallHistoryNode(n, w); });
    }
    // The reports and the manifest, which every export writes.
    writeReports(root, formats);

    // 6.-8. Show the folder, stop the timer, close the sheet.
    if (delegate_) {
        delegate_->revealInFileViewer(root);
        delegate_->stopRecoveryTimer();
    }
    saveProgressorHanderToMainThread();
    recovering_.store(false);
}

namespace {

template <typename Node>
std::vector<const Node*> tickedOf(const std::vector<std::shared_ptr<Node>>& list) {
    std::vector<const Node*> out;
    for (const auto& record : list) {
        if (record->bSelected()) out.push_back(record.get());
    }
    return out;
}

}  // namespace

void TovResultViewController::writeReports(const std::string& root, const ExportFormats& formats) {
    if (!formats.txt) setRecoverFilePath(root);
    {
        // The destination is the user's own choice: a link to a folder serves.
        std::error_code ec;
        std::filesystem::create_directories(root, ec);
        if (!std::filesystem::is_directory(root, ec)) {
            addExportIssue(ExportIssue::Kind::Error, root, "cannot create the folder: no report was written");
            return;
        }
    }
    ReportFacts facts;
    {
        std::lock_guard<std::mutex> lock(exportMutex_);
        facts = reportFacts_;
    }
    const std::time_t exportTime = std::time(nullptr);
    // The database files are hashed as they are in the backup now.
    std::vector<HashedFile> databases;
    for (const std::string& path : facts.databaseFiles) databases.push_back(hashFile(path));
    const std::vector<CategoryCount> counts = categoryCounts();
    TickedRecords records;
    records.contacts = tickedOf(contactArray);
    records.messages = tickedOf(messageArray);
    records.notes = tickedOf(noteArray);
    records.calls = tickedOf(callHistoryArray);

    // Writes one report file under its name, or a numbered name when an
    // earlier export holds that one.
    auto write = [&](const std::string& folder, const std::string& name, const std::string& data) {
        std::string finalName;
        std::string error;
        if (!writeNewFile(folder, name, data, &finalName, &error)) {
            addExportIssue(ExportIssue::Kind::Error, folder + "/" + name, error);
            return;
        }
        if (finalName != name) {
            addExportIssue(ExportIssue::Kind::Warning, folder + "/" + finalName,
                           name + " already exists; the new report is " + finalName);
        }
        std::lock_guard<std::mutex> lock(exportMutex_);
        const std::string relative = folder == root ? finalName : folder.substr(root.size() + 1) + "/" + finalName;
        filesWritten_.push_back(WrittenFile{relative, static_cast<int64_t>(data.size()), sha256Hex(data)});
    };

    if (formats.html) {
        write(root, kReportHtmlName,
              reportHtml(facts, databases, exportTime, formats, counts, records, &reportProgress_));
    }
    if (formats.csv) {
        auto csvCategory = [&](const char* folderName, const char* fileName, const std::string& data) {
            const std::string folder = root + "/" + folderName;
            if (createFolder(folder)) write(folder, fileName, data);
        };
        csvCategory("Contact", kContactsCsvName, contactsCsv(records.contacts, &reportProgress_));
        csvCategory("Message", kMessagesCsvName, messagesCsv(records.messages, &reportProgress_));
        csvCategory("Note", kNotesCsvName, notesCsv(records.notes, &reportProgress_));
        csvCategory("CallHistory", kCallHistoryCsvName, callHistoryCsv(records.calls, &reportProgress_));
    }
    if (formats.json) {
        write(root, kRecordsJsonName,
              recordsJson(facts, databases, exportTime, formats, counts, records, &reportProgress_));
    }
    std::vector<WrittenFile> files;
    {
        std::lock_guard<std::mutex> lock(exportMutex_);
        files = filesWritten_;
    }
    write(root, "manifest.json", manifestJson(facts, databases, exportTime, formats, counts, files));
}

void TovResultViewController::saveProgressorHanderToMainThread() {
    if (delegate_) {
        delegate_->performOnMainThreadAndWait([this] { saveProgressorHanderToMainThreadHandle(); });
    } else {
        saveProgressorHanderToMainThreadHandle();
    }
}

void TovResultViewController::saveProgressorHanderToMainThreadHandle() {
    saveProgress_.store(0);
    recovredFilesNum.store(0);
    reportProgress_.store(0);
    if (delegate_) delegate_->saveWindowClosed();
}

// ---- Per-record steps ----

void TovResultViewController::recoverContactNode(const TovContactNode& node, TovRtfController& withRTF) {
    ++recovredFilesNum;
    withRTF.addRtfContent(contactEntry(node));
    const std::string folder = recoverFilePath();
    std::optional<std::string> name = vcardFileName(node);
    if (!name) {
        // Record text that is no plain file name could point outside the
        // folder: the card is not written; the entry above keeps the contact.
        addExportIssue(ExportIssue::Kind::Warning, folder,
                       "vCard not written: the name \"" + node.contactName() + "\" / company \"" +
                           node.contactCompany() + "\" cannot be a file name");
        return;
    }
    const std::string path = folder + "/" + *name;
    bool replaced = false;
    {
        std::lock_guard<std::mutex> lock(exportMutex_);
        replaced = !vcardNamesWritten_.insert(*name).second;
    }
    TovVCFController writer;
    std::string error;
    if (!writer.creatFile(node, path, &error)) {
        addExportIssue(ExportIssue::Kind::Warning, path, "vCard not written: " + error);
    } else if (replaced) {
        addExportIssue(ExportIssue::Kind::Warning, path,
                       "two ticked contacts share this vCard name; the later card replaced the earlier");
    }
}

void TovResultViewController::recoverMessageNode(const TovMessageNode& node, TovRtfController& withRTF) {
    ++recovredFilesNum;
    withRTF.addRtfContent(messageEntry(node));
}

void TovResultViewController::recoverNoteNode(const TovNoteNode& node, TovRtfController& withRTF) {
    ++recovredFilesNum;
    withRTF.addRtfContent(noteEntry(node));
}

void TovResultViewController::recoverCallHistoryNode(const TovCallHistoryNode& node, TovRtfController& withRTF) {
    ++recovredFilesNum;
    withRTF.addRtfContent(callHistoryEntry(node));
}

void TovResultViewController::recoverPhotoAndVideo(const TovPhotoAndVideoNode& node) {
    ++recovredFilesNum;
    const std::string name = node.fileNodeName();
    const std::string target = recoverFilePath() + "/" + name;
    if (!isPlainFileName(name)) {
        addExportIssue(ExportIssue::Kind::Error, target, "not copied: the name cannot be a file name");
        return;
    }
    // The source is opened first, so that a source that cannot be read
    // leaves no empty copy behind.
    const std::string sourcePath = node.filePath();
    std::FILE* source = std::fopen(sourcePath.c_str(), "rb");
    if (source == nullptr) {
        addExportIssue(ExportIssue::Kind::Error, target,
                       "not copied: cannot open " + sourcePath + ": " + std::strerror(errno));
        return;
    }
    std::FILE* copy = std::fopen(target.c_str(), "w+b");
    if (copy == nullptr) {
        addExportIssue(ExportIssue::Kind::Error, target, std::string("cannot create the copy: ") + std::strerror(errno));
        std::fclose(source);
        return;
    }
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kCopyBufferSize]);
    bool ok = buffer != nullptr;
    while (ok) {
        size_t got = std::fread(buffer.get(), 1, kCopyBufferSize, source);
        if (got > 0 && std::fwrite(buffer.get(), 1, got, copy) != got) ok = false;
        if (got < kCopyBufferSize) {
            if (std::ferror(source)) ok = false;
            break;
        }
    }
    if (std::fclose(copy) != 0) ok = false;
    std::fclose(source);
    if (!ok) addExportIssue(ExportIssue::Kind::Error, target, "the copy is incomplete");
}

}  // namespace kestrel
