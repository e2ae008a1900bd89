#include "scan/app_controller.h"

#include <sqlite3.h>

#include <algorithm>
#include <any>
#include <filesystem>

#include "app/log.h"
#include "carve/contact_carver.h"
#include "carve/deleted_message_step.h"
#include "carve/sqlite_raw.h"
#include "extract/existing_contacts.h"
#include "extract/existing_messages.h"
#include "results/result_view_controller.h"

namespace kestrel {
namespace {
std::atomic<WrenfieldAppDelegate*> g_controller{nullptr};
}  // namespace

WrenfieldAppDelegate::WrenfieldAppDelegate() : nc(NotificationCenter::defaultCenter()) {
    backupRoot_ = backupRootForUser(currentLoginName());
    g_controller.store(this);
}

WrenfieldAppDelegate::~WrenfieldAppDelegate() {
    waitForScanThread();
    resultViewController.reset();
    WrenfieldAppDelegate* expected = this;
    g_controller.compare_exchange_strong(expected, nullptr);
}

WrenfieldAppDelegate* WrenfieldAppDelegate::GetAppControllor() { return g_controller.load(); }

bool WrenfieldAppDelegate::showIphoneDiskView() {
    deviceController.removeAll();
    showIphoneDisk();
    return !deviceController.arrangedObjects().empty();
}

void WrenfieldAppDelegate::showIphoneDisk() { enumerateBackupRoot(backupRoot_, deviceController); }

double WrenfieldAppDelegate::windowWillPositionSheetY(double proposedY, double windowHeight) {
    if (windowHeight == 559 || windowHeight == 537) return proposedY - 1;
    if (windowHeight == 620) return proposedY - 78;
    return proposedY;
}

bool WrenfieldAppDelegate::IOSVersionIOS6(const std::optional<std::string>& version) {
    if (!version || version->empty()) return false;
    size_t dot = version->find('.');
    return version->substr(0, dot) == "6";
}

TovResultViewController& WrenfieldAppDelegate::showResultView() {
    if (!resultViewController) resultViewController = std::make_unique<TovResultViewController>(nc);
    return *resultViewController;
}

void WrenfieldAppDelegate::actScanIOSBackupFile(int selectedRow) {
    const auto& nodes = deviceController.arrangedObjects();
    if (selectedRow < 0 || static_cast<size_t>(selectedRow) >= nodes.size()) return;
    DeviceNodePtr node = nodes[static_cast<size_t>(selectedRow)];
    scanDeviceNode(node, node->backUpFilePath);
}

void WrenfieldAppDelegate::scanDeviceNode(const DeviceNodePtr& node, const std::string& scanFolder) {
    if (!node || isScanning()) return;
    currentNode = node;
    currentNodeIsiOS6Version = IOSVersionIOS6(node->strIOSVersion);
    // The results view is reset before the worker starts, so that no record
    // the worker posts can be counted before the reset and then lost.
    showResultView().showView();
    ScanIOSBackFile(scanFolder);
}

void WrenfieldAppDelegate::ScanIOSBackFile(const std::string& path) {
    waitForScanThread();
    messageArray.clear();
    chatMessageArray.clear();
    contactArray.clear();
    delContactValueArray.clear();
    delContactArray.clear();
    nameLookup_.reset();
    scannedDatabaseFiles.clear();
    scanStartTime = std::time(nullptr);
    scanning_.store(true);
    scanBackFileThreader = std::thread([this, path] { ScanIOSBackUpFilehand(path); });
}

void WrenfieldAppDelegate::ScanIOSBackUpFilehand(const std::string& path) {
    carveOriginalDatabases(path);
    scanContactThread(path);
    scanMessageThread(path);
    scanDelContactThread(path);
    scanDelMessageThread(path);
    if (resultViewController) resultViewController->ScanThreadFinish();
    removeSomeArray();
    scanning_.store(false);
}

void WrenfieldAppDelegate::removeSomeArray() {
    messageArray.clear();
    messageArray.shrink_to_fit();
    chatMessageArray.clear();
    chatMessageArray.shrink_to_fit();
    contactArray.clear();
    contactArray.shrink_to_fit();
    delContactValueArray.clear();
    delContactValueArray.shrink_to_fit();
    delContactArray.clear();
    delContactArray.shrink_to_fit();
    nameLookup_.reset();
    carvedMessages_ = CarvedBackupRecords{};
    carvedContacts_ = CarvedBackupRecords{};
}

void WrenfieldAppDelegate::waitForScanThread() {
    if (scanBackFileThreader.joinable() && scanBackFileThreader.get_id() != std::this_thread::get_id()) {
        scanBackFileThreader.join();
    }
}

void WrenfieldAppDelegate::commitDB(const std::string& path) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return;
    }
    if (sqlite3_exec(db, "PRAGMA journal_mode=WAL;", nullptr, nullptr, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return;
    }
    if (sqlite3_wal_checkpoint(db, nullptr) != SQLITE_OK) {
        // Logged rather than printed on standard output, which carries the
        // command line's results.
        NSLog("Failed to commit");
    }
    sqlite3_close(db);
}

std::unique_ptr<RawFile> WrenfieldAppDelegate::openDatabaseToCarve(const std::string& path, const std::string& name,
                                                                  const char* missingLog) {
    const std::string dbPath = databasePathInBackup(path, name);
    if (dbPath.empty()) {
        NSLog("%s", missingLog);
        return nullptr;
    }
    commitDB(dbPath);
    return RawFile::open(dbPath);
}

void WrenfieldAppDelegate::noteDatabaseRead(const std::string& dbPath) {
    // SQLite reads a database's write-ahead log with it.
    for (const std::string& path : {dbPath, dbPath + "-wal"}) {
        std::error_code ec;
        if (path != dbPath && !std::filesystem::is_regular_file(path, ec)) continue;
        if (std::find(scannedDatabaseFiles.begin(), scannedDatabaseFiles.end(), path) == scannedDatabaseFiles.end()) {
            scannedDatabaseFiles.push_back(path);
        }
    }
}

void WrenfieldAppDelegate::carveOriginalDatabases(const std::string& path) {
    carvedMessages_ = CarvedBackupRecords{};
    carvedContacts_ = CarvedBackupRecords{};
    if (path.empty()) return;
    {
        const BackupDatabaseFiles f = openBackupDatabase(path, kMessageDBName, kMessageWalName, kMessageJournalName);
        carvedMessages_ = carveMessageDatabase(f.database.get(), f.wal.get(), f.journal.get(), "sms.db");
    }
    const BackupDatabaseFiles f =
        openBackupDatabase(path, kAddressBookDBName, kAddressBookWalName, kAddressBookJournalName);
    carvedContacts_ = carveAddressBook(f.database.get(), f.wal.get(), f.journal.get(), "AddressBook.sqlitedb");
}

void WrenfieldAppDelegate::scanContactThread(const std::string& path) {
    if (path.empty()) return;
    const std::string dbPath = databasePathInBackup(path, kAddressBookDBName);
    if (dbPath.empty()) {
        NSLog("contactDB is not exist");
        return;
    }
    noteDatabaseRead(dbPath);
    commitDB(dbPath);
    readExistingContacts(dbPath, *this);
    postProgress(40);
}

void WrenfieldAppDelegate::scanMessageThread(const std::string& path) {
    if (path.empty()) return;
    const std::string dbPath = databasePathInBackup(path, kMessageDBName);
    if (dbPath.empty()) {
        NSLog("messageDB is not exist");
        return;
    }
    noteDatabaseRead(dbPath);
    readExistingMessages(dbPath, currentNodeIsiOS6Version, *this);
    postProgress(50);
}

void WrenfieldAppDelegate::scanDelContactThread(const std::string& path) {
    if (path.empty()) return;
    const std::unique_ptr<RawFile> file = openDatabaseToCarve(path, kAddressBookDBName, "contactDB is not exist");
    if (!file) return;
    LiveCellFilter walked(*this, carvedContacts_.liveCells);
    carveDeletedContacts(file.get(), walked);
    postCarvedContacts(carvedContacts_, walked.passedContacts(), *this);
    postProgress(75);
}

void WrenfieldAppDelegate::scanDelMessageThread(const std::string& path) {
    if (path.empty()) return;
    const std::unique_ptr<RawFile> file = openDatabaseToCarve(path, kMessageDBName, "messageDB is not exist");
    if (!file) return;
    LiveCellFilter walked(*this, carvedMessages_.liveCells);
    carveDeletedMessages(file.get(), currentNodeIsiOS6Version, walked);
    postCarvedMessages(carvedMessages_, walked.passedMessages(), *this);
    postProgress(85);
}

// Each notification name is made a text once: the carving steps post one
// per record.
void WrenfieldAppDelegate::postContact(ContactPtr contact) {
    static const std::string name = names::ScanContactInfo;
    contactArray.push_back(contact);
    nc.postNotificationName(name, std::any(std::move(contact)));
}

void WrenfieldAppDelegate::postMessage(MessagePtr message) {
    static const std::string name = names::ScanMessageInfo;
    nc.postNotificationName(name, std::any(std::move(message)));
}

void WrenfieldAppDelegate::postDelContact(ContactPtr contact) {
    static const std::string name = names::ScanDelContactInfo;
    delContactArray.push_back(contact);
    nc.postNotificationName(name, std::any(std::move(contact)));
}

void WrenfieldAppDelegate::postDelContactValue(DelContactValuePtr value) {
    delContactValueArray.push_back(std::move(value));
}

void WrenfieldAppDelegate::postDelMessage(MessagePtr message) {
    static const std::string name = names::ScanDelMessageInfo;
    messageArray.push_back(message);
    nc.postNotificationName(name, std::any(std::move(message)));
}

void WrenfieldAppDelegate::postChatMessage(ChatMessagePtr chat) { chatMessageArray.push_back(std::move(chat)); }

void WrenfieldAppDelegate::postProgress(int percent) {
    static const std::string name = names::ScanProgressInfo;
    nc.postNotificationName(name, std::any(percent));
}

std::optional<std::string> WrenfieldAppDelegate::getNameByPhoneNumber(const std::string& phone) {
    return nameLookup_.lookup(contactArray, phone);
}

std::optional<std::string> WrenfieldAppDelegate::getNameByHandle(const std::string& handle) {
    return nameLookup_.lookupHandle(contactArray, handle);
}

}  // namespace kestrel
