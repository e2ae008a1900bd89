#include "ui/password_sheet.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <atomic>

#include "crypto/encrypted_preparation.h"
#include "ui/localisation.h"
#include "ui/services.h"

namespace kestrel::ui {

// What the worker thread and the sheet share. The worker writes the result
// and then sets `done`; the sheet reads the result only after that.
struct PasswordSheet::Job {
    std::atomic<bool> cancel{false};
    std::atomic<bool> done{false};
    std::atomic<int> permille{0};
    std::string createError;
    crypto::EncryptedPreparation result;
    std::unique_ptr<WorkingFolder> folder;
};

PasswordSheet::PasswordSheet(QWidget* parent) : QDialog(parent) {
    setObjectName("passwordSheet");
    setWindowTitle(QStringLiteral("Kestrel"));
    setWindowModality(Qt::WindowModal);
    setFixedWidth(440);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 18, 24, 18);
    titleLabel_ = new QLabel(this);
    titleLabel_->setObjectName("passwordTitle");
    titleLabel_->setWordWrap(true);
    titleLabel_->setFont(boldSystemFont(13));
    layout->addWidget(titleLabel_);
    auto* note = new QLabel(L("Its databases are decrypted into a private temporary folder, removed when the scan "
                              "ends. Nothing is written into the backup."),
                            this);
    note->setObjectName("passwordNote");
    note->setWordWrap(true);
    layout->addWidget(note);
    field_ = new QLineEdit(this);
    field_->setObjectName("passwordField");
    field_->setEchoMode(QLineEdit::Password);
    field_->setPlaceholderText(L("Backup password"));
    connect(field_, &QLineEdit::returnPressed, this, [this] { tryPassword(); });
    layout->addWidget(field_);
    message_ = new QLabel(this);
    message_->setObjectName("passwordMessage");
    message_->setWordWrap(true);
    QPalette pal = message_->palette();
    pal.setColor(QPalette::WindowText, QColor(190, 30, 30));
    message_->setPalette(pal);
    layout->addWidget(message_);
    busy_ = new QProgressBar(this);
    busy_->setObjectName("passwordBusy");
    busy_->setRange(0, 1000);
    busy_->setTextVisible(false);
    busy_->setMaximumHeight(10);
    busy_->hide();
    layout->addWidget(busy_);
    auto* buttons = new QHBoxLayout();
    buttons->addStretch(1);
    cancelButton_ = new QPushButton(L("Cancel"), this);
    cancelButton_->setObjectName("passwordCancelBtn");
    cancelButton_->setAutoDefault(false);
    connect(cancelButton_, &QPushButton::clicked, this, [this] { cancelSheet(); });
    buttons->addWidget(cancelButton_);
    openButton_ = new QPushButton(L("Open"), this);
    openButton_->setObjectName("passwordOpenBtn");
    openButton_->setDefault(true);
    connect(openButton_, &QPushButton::clicked, this, [this] { tryPassword(); });
    buttons->addWidget(openButton_);
    layout->addLayout(buttons);

    pollTimer_ = new QTimer(this);
    pollTimer_->setInterval(50);
    connect(pollTimer_, &QTimer::timeout, this, [this] { poll(); });
}

PasswordSheet::~PasswordSheet() {
    if (job_) job_->cancel.store(true);
    if (worker_.joinable()) worker_.join();
    // A working folder the sheet never handed on goes with the job.
}

void PasswordSheet::ask(const DeviceNodePtr& node, Unlocked onUnlocked) {
    if (isWorking()) return;
    node_ = node;
    onUnlocked_ = std::move(onUnlocked);
    const QString name = node && !node->strDeviceName.empty() ? QString::fromStdString(node->strDeviceName)
                                                              : L("this device");
    titleLabel_->setText(L("The backup of \"%1\" is encrypted. Enter the password that protects it.").arg(name));
    message_->clear();
    field_->clear();
    setWorking(false);
    open();
    placeSheet(this, parentWidget());
    field_->setFocus();
}

void PasswordSheet::setWorking(bool working) {
    field_->setEnabled(!working);
    openButton_->setEnabled(!working);
    if (!working) cancelButton_->setEnabled(true);
    busy_->setVisible(working);
    if (working) {
        busy_->setRange(0, 1000);
        busy_->setValue(0);
    }
}

void PasswordSheet::tryPassword() {
    if (isWorking() || !node_) return;
    std::string password = field_->text().toStdString();
    field_->clear();
    message_->setText(L("Deriving the key from the password…"));
    setWorking(true);
    auto job = std::make_shared<Job>();
    job_ = job;
    if (worker_.joinable()) worker_.join();
    const std::string folder = node_->backUpFilePath;
    worker_ = std::thread([job, folder, password = std::move(password)]() mutable {
        job->folder = WorkingFolder::create(&job->createError);
        if (job->folder) {
            job->result = crypto::prepareEncryptedBackup(
                folder, password, *job->folder,
                [job](double fraction) {
                    job->permille.store(static_cast<int>(fraction * 1000.0));
                    return !job->cancel.load();
                },
                [job] { return job->cancel.load(); });
        }
        crypto::wipe(password);
        job->done.store(true);
    });
    pollTimer_->start();
}

void PasswordSheet::poll() {
    if (!job_) {
        pollTimer_->stop();
        return;
    }
    if (!job_->done.load()) {
        const int permille = job_->permille.load();
        if (permille >= 1000) {
            // The key is there; the databases are being decrypted.
            if (busy_->maximum() != 0) {
                busy_->setRange(0, 0);
                message_->setText(L("Decrypting the databases…"));
            }
        } else {
            busy_->setValue(permille);
        }
        return;
    }
    finishJob();
}

void PasswordSheet::finishJob() {
    pollTimer_->stop();
    if (worker_.joinable()) worker_.join();
    std::shared_ptr<Job> job = std::move(job_);
    job_.reset();
    setWorking(false);
    const bool cancelled = job->cancel.load() || job->result.error.kind == crypto::OpenErrorKind::Cancelled ||
                           job->result.outcome.stopped;
    if (cancelled) {
        job->folder.reset();
        message_->clear();
        QDialog::reject();
        return;
    }
    if (!job->folder) {
        message_->setText(QString::fromStdString(job->createError));
        return;
    }
    switch (job->result.error.kind) {
        case crypto::OpenErrorKind::None:
            break;
        case crypto::OpenErrorKind::WrongPassword:
            job->folder.reset();
            message_->setText(L(crypto::kWrongPasswordMessage));
            field_->setFocus();
            return;
        default:
            job->folder.reset();
            message_->setText(L("This backup cannot be opened: %1")
                                  .arg(QString::fromStdString(job->result.error.message)));
            openButton_->setEnabled(false);
            field_->setEnabled(false);
            return;
    }
    QStringList remarks;
    for (const crypto::PreparationNote& note : job->result.outcome.notes) {
        remarks << QString::fromStdString(note.message);
    }
    message_->clear();
    accept();
    Unlocked done = std::move(onUnlocked_);
    onUnlocked_ = nullptr;
    if (done) done(std::move(job->folder), remarks);
}

void PasswordSheet::cancelSheet() {
    if (job_) {
        // The worker ends at its next progress call; poll() closes the sheet.
        job_->cancel.store(true);
        message_->setText(L("Cancelling…"));
        cancelButton_->setEnabled(false);
        return;
    }
    QDialog::reject();
}

void PasswordSheet::reject() { cancelSheet(); }

}  // namespace kestrel::ui
