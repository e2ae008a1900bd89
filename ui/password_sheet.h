// The sheet that opens an encrypted backup: it asks for the backup's
// password in a masked field, derives the key and decrypts the databases on
// a worker thread (a progress bar runs, the window stays responsive), and
// lets the user try again after a wrong password. What it hands back is a
// private working folder of decrypted databases for the scan.
#pragma once

#include <QDialog>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "app/backup_discovery.h"
#include "app/working_folder.h"

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTimer;

namespace kestrel::ui {

class PasswordSheet : public QDialog {
public:
    // Called on the interface thread with the decrypted databases and the
    // remarks on files that were left out or kept with a difference (empty
    // when there are none).
    using Unlocked = std::function<void(std::unique_ptr<WorkingFolder> folder, const QStringList& remarks)>;

    explicit PasswordSheet(QWidget* parent);
    // Cancels a derivation still running and waits for its thread.
    ~PasswordSheet() override;

    // Shows the sheet for the backup of `node`.
    void ask(const DeviceNodePtr& node, Unlocked onUnlocked);
    // True while the key is being derived or the databases decrypted.
    bool isWorking() const { return job_ != nullptr; }

    // "Open": tries the password in the field.
    void tryPassword();
    // "Cancel": stops a derivation under way, or closes the sheet.
    void cancelSheet();

protected:
    void reject() override;

private:
    struct Job;
    void poll();
    void finishJob();
    void setWorking(bool working);

    QLabel* titleLabel_ = nullptr;
    QLabel* message_ = nullptr;
    QLineEdit* field_ = nullptr;
    QProgressBar* busy_ = nullptr;
    QPushButton* openButton_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
    QTimer* pollTimer_ = nullptr;

    DeviceNodePtr node_;
    Unlocked onUnlocked_;
    std::shared_ptr<Job> job_;
    std::thread worker_;
};

}  // namespace kestrel::ui
