// The recovery export: the ticked records of every category written into a
// folder the user chose, on a worker thread of its own, one category folder
// after the other; the progress tick; the proposed folder name.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "results/file_writing.h"
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
    }
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
    int percent = recoveryPercentage(recovredFilesNum.load(), selectedFilesNum);
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
            case TextFileOutcome::Written: break;
            case TextFileOutcome::KeptInTXT:
                addExportIssue(ExportIssue::Kind::Warning, folder + "/" + kept,
                               textFileNameForType(type) + " already exists; the new text is in " + kept);
                break;
            case TextFileOutcome::NotWritten:
                addExportIssue(ExportIssue::Kind::Error, folder + "/" + textFileNameForType(type),
                               error.empty() ? "cannot write the text file" : error);
                break;
        }
    };

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

    // 6.-8. Show the folder, stop the timer, close the sheet.
    if (delegate_) {
        delegate_->revealInFileViewer(root);
        delegate_->stopRecoveryTimer();
    }
    saveProgressorHanderToMainThread();
    recovering_.store(false);
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
