// The main window: the list of iTunes backups with its scan control, the
// welcome sheet, the about window and the quit sheet; during and after a
// scan it holds the results stage. The application controller of the core
// decides; this window displays and hands user actions to it.
#pragma once

#include <QAbstractTableModel>
#include <QMainWindow>
#include <memory>
#include <mutex>

#include "app/working_folder.h"
#include "scan/app_controller.h"

class QDialog;
class QLabel;
class QProgressBar;
class QPushButton;
class QTableView;
class QTimer;

namespace kestrel::ui {

class MailThread;
class PasswordSheet;
class ResultView;
class TovFeedBackView;

// The backup list, read from the controller's device list.
class BackupListModel : public QAbstractTableModel {
public:
    // True for a row whose backup is encrypted (its name shows a lock).
    static constexpr int kEncryptedRole = Qt::UserRole + 1;
    explicit BackupListModel(TovIOSDeviceController& devices, QObject* parent = nullptr)
        : QAbstractTableModel(parent), devices_(devices) {}
    void reload() {
        beginResetModel();
        endResetModel();
    }
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    TovIOSDeviceController& devices_;
};

class KestrelMainWindow : public QMainWindow {
public:
    // The backups listed are those under `backupRoot` when given, else under
    // the folder chosen last time (when it still exists), else under the
    // default backup root.
    explicit KestrelMainWindow(const std::string& backupRoot = std::string(), QWidget* parent = nullptr);
    ~KestrelMainWindow() override;

    WrenfieldAppDelegate& controller() { return *app_; }
    // The results stage; null before the first scan.
    ResultView* resultView() const { return resultView_; }

    // Fills the backup list (with the "No iTunes backup files found !"
    // alert when it stays empty), then shows the welcome sheet.
    void applicationDidFinishLaunching();
    void showIphoneDiskView();
    // "Choose Folder…": asks for a folder (a folder dialog) and lists it.
    void ClickChooseFolder();
    // Lists the backups under `folder` (or `folder` itself when it is a
    // backup) and remembers it for the next start.
    void chooseBackupFolder(const QString& folder);
    // Where the settings keep the chosen folder.
    static constexpr const char* kBackupFolderKey = "backupFolder";
    void actScanIOSBackupFile();
    // The sheet that asks for an encrypted backup's password.
    PasswordSheet* passwordSheet() const { return passwordSheet_; }
    // The private folder of decrypted databases of the running scan of an
    // encrypted backup; null otherwise. It is removed when that scan ends.
    const WorkingFolder* decryptedFolder() const { return decryptedFolder_.get(); }
    void showMainView();
    void hideMainView();
    void ClickStart();
    void ClickAbout();
    void Exit();
    void Cancel();
    // The quit sheet's send control: the indicator runs, the timer starts
    // (the application ends when it fires, at the latest), and the mail
    // thread sends the sheet's text unchanged; when the mail has been sent
    // the thread has the interface steps run on this thread.
    void Sender();
    // The timer's action: ends the sheet, closes it, ends the application.
    void SendEmialTimer_hander();

    // The quit sheet's timer and mail thread (null before the first send).
    QTimer* emailTimer() const { return emailTimer_; }
    std::shared_ptr<MailThread> emailThread() const { return emailThread_; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildMainView();
    void buildLeadWindow();
    void buildAboutWindow();
    void buildCryWindow();
    void fixWindowSize(int width, int height);
    // Starts the scan of the list's row `row`, reading its databases from
    // `scanFolder` (the backup itself, or the decrypted copies).
    void startScan(int row, const std::string& scanFolder);
    // The steps after the quit sheet's mail has been sent.
    void sendEmailFinished();

    // How the quit sheet's mail thread reaches this window: it posts the
    // steps after the send only while the window lives.
    struct MailLink {
        std::mutex mutex;
        KestrelMainWindow* window = nullptr;
    };

    std::unique_ptr<WrenfieldAppDelegate> app_;
    QWidget* contentView_ = nullptr;
    QWidget* mainView_ = nullptr;
    BackupListModel* listModel_ = nullptr;
    QTableView* diskTableView_ = nullptr;
    QPushButton* button_ = nullptr;
    ResultView* resultView_ = nullptr;
    PasswordSheet* passwordSheet_ = nullptr;
    std::unique_ptr<WorkingFolder> decryptedFolder_;
    QTimer* decryptedWatch_ = nullptr;  // removes decryptedFolder_ once its scan has ended

    QDialog* leadWindow_ = nullptr;
    QWidget* aboutWindow_ = nullptr;
    QDialog* cryWindow_ = nullptr;
    TovFeedBackView* suggestionView_ = nullptr;
    QProgressBar* senderIndicator_ = nullptr;
    QTimer* emailTimer_ = nullptr;
    std::shared_ptr<MailThread> emailThread_;
    std::shared_ptr<MailLink> mailLink_;
};

}  // namespace kestrel::ui
