#include "ui/main_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QSettings>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include "app/backup_discovery.h"
#include "app/log.h"
#include "feedback/feedback_mail.h"
#include "results/result_view_controller.h"
#include "ui/images.h"
#include "ui/localisation.h"
#include "ui/mail_thread.h"
#include "ui/password_sheet.h"
#include "ui/result_view.h"
#include "ui/services.h"
#include "ui/small_controls.h"

namespace kestrel::ui {
namespace {

const char* const kListColumns[] = {"Name", "Serial Number", "Model", "iOS Version", "Backup Date"};

// The program's settings (the folder chosen last time).
// Written back when the object goes.
std::unique_ptr<QSettings> appSettings() {
    return std::make_unique<QSettings>(QStringLiteral("kestrel"), QStringLiteral("kestrel-gui"));
}

QLabel* makeLabel(const QString& text, const QFont& font, QWidget* parent, const char* name) {
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    label->setObjectName(QLatin1String(name));
    return label;
}

// A button drawn as a link: blue text in the given font, optionally underlined.
QPushButton* linkButton(const QString& title, const QFont& font, bool underline, QWidget* parent, const char* name) {
    auto* button = new QPushButton(title, parent);
    button->setObjectName(QLatin1String(name));
    QFont f = font;
    f.setUnderline(underline);
    button->setFont(f);
    button->setFlat(true);
    button->setCursor(Qt::PointingHandCursor);
    button->setStyleSheet("QPushButton { color: #1a4fd6; border: none; padding: 0; text-align: left; }");
    button->adjustSize();  // sized to fit
    return button;
}

}  // namespace

// ---- The backup list ----

int BackupListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(devices_.arrangedObjects().size());
}

int BackupListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 5; }

QVariant BackupListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return QVariant();
    const TovIOSDeviceNode& node = *devices_.arrangedObjects()[static_cast<size_t>(index.row())];
    if (role == kEncryptedRole) return node.encrypted;
    if (role == Qt::ToolTipRole && index.column() == 0 && node.encrypted) {
        return L("%1 (encrypted backup: its password is asked for when the scan starts)").arg(q(node.strDeviceName));
    }
    if (role == Qt::DisplayRole || role == Qt::ToolTipRole) {
        switch (index.column()) {
            case 0: return q(node.strDeviceName);
            case 1: return q(node.strDeviceSerial);
            case 2: return q(node.strDeviceType);
            case 3: return q(node.strIOSVersion);
            default: return q(node.strDeviceBackUpTime);
        }
    }
    if (role == Qt::DecorationRole && index.column() == 0) {
        // An encrypted backup's icon carries a lock beside it.
        if (node.encrypted) return kestrelImage(q(node.deviceImage.empty() ? "iphone" : node.deviceImage) + "-locked");
        if (!node.deviceImage.empty()) return kestrelImage(q(node.deviceImage));
    }
    return QVariant();
}

QVariant BackupListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= 5) return QVariant();
    return L(kListColumns[section]);
}

// ---- The window ----

KestrelMainWindow::KestrelMainWindow(const std::string& backupRoot, QWidget* parent)
    : QMainWindow(parent), app_(std::make_unique<WrenfieldAppDelegate>()), mailLink_(std::make_shared<MailLink>()) {
    mailLink_->window = this;
    if (!backupRoot.empty()) {
        app_->setBackupRoot(backupRoot);
    } else {
        const QString chosen = appSettings()->value(kBackupFolderKey).toString();
        const bool usable = !chosen.isEmpty() && QFileInfo(chosen).isDir();
        app_->setBackupRoot(usable ? chosen.toStdString() : defaultBackupRoot());
    }
    setObjectName("window");
    setWindowTitle(QStringLiteral("Kestrel"));
    setWindowIcon(QIcon(kestrelImage("logo")));
    contentView_ = new QWidget(this);
    contentView_->setObjectName("contentView");
    auto* stack = new QVBoxLayout(contentView_);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(0);
    setCentralWidget(contentView_);
    buildMainView();
    buildLeadWindow();
    buildAboutWindow();
    buildCryWindow();
    passwordSheet_ = new PasswordSheet(this);
    decryptedWatch_ = new QTimer(this);
    decryptedWatch_->setInterval(200);
    connect(decryptedWatch_, &QTimer::timeout, this, [this] {
        if (app_->isScanning()) return;
        decryptedWatch_->stop();
        decryptedFolder_.reset();
    });
    fixWindowSize(kHomeWindowWidth, kHomeWindowHeight);
}

KestrelMainWindow::~KestrelMainWindow() {
    {
        // A quit-sheet mail still on its way finishes without this window.
        std::lock_guard<std::mutex> lock(mailLink_->mutex);
        mailLink_->window = nullptr;
    }
    // The workers hand their last step to this thread: let them end first.
    if (resultView_) resultView_->setClosing();
    // A scan still running is stopped at its next page or row, not waited for.
    app_->stopScan();
    while (app_->isScanning()) QApplication::processEvents(QEventLoop::AllEvents, 20);
    if (app_->resultViewController) {
        while (app_->resultViewController->isRecovering()) QApplication::processEvents(QEventLoop::AllEvents, 20);
        app_->resultViewController->waitForRecoveryThread();
        app_->resultViewController->setDelegate(nullptr);
    }
    app_->waitForScanThread();
    // The decrypted databases go with the window (and so when it closes).
    decryptedFolder_.reset();
}

void KestrelMainWindow::fixWindowSize(int width, int height) {
    setMinimumSize(width, height);
    setMaximumSize(width, height);
    resize(width, height);
}

void KestrelMainWindow::buildMainView() {
    mainView_ = new QWidget(contentView_);
    mainView_->setObjectName("mainView");
    auto* layout = new QGridLayout(mainView_);
    layout->setContentsMargins(24, 16, 24, 0);
    layout->setVerticalSpacing(8);

    auto* imageView = new QLabel(mainView_);
    imageView->setObjectName("imageView");
    imageView->setPixmap(kestrelImage("logo").scaled(56, 56, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    layout->addWidget(imageView, 0, 0, 2, 1);
    auto* title = makeLabel(QStringLiteral("Kestrel"), namedFont("Arial", 24, true), mainView_, "titleLabel");
    layout->addWidget(title, 0, 1);
    auto* infoTextlab = makeLabel(L("Choose the backup of your iPhone, iPad or iPod touch and press \"Start Scan\"."),
                                  namedFont("Lucida Grande", 13), mainView_, "infoTextlab");
    layout->addWidget(infoTextlab, 1, 1);
    auto* aboutBtn = linkButton(L("About Kestrel"), namedFont("Lucida Grande", 11), false, mainView_, "aboutBtn");
    connect(aboutBtn, &QPushButton::clicked, this, [this] { ClickAbout(); });
    layout->addWidget(aboutBtn, 0, 2, Qt::AlignRight | Qt::AlignTop);

    auto* titleline = new QFrame(mainView_);
    titleline->setObjectName("titleline");
    titleline->setFrameShape(QFrame::HLine);
    titleline->setFrameShadow(QFrame::Sunken);
    layout->addWidget(titleline, 2, 0, 1, 3);

    auto* notelab = makeLabel(L("Only backups made by iTunes on this computer are listed. Deleted messages can be "
                                "recovered until the device overwrites them."),
                              namedFont("Lucida Grande", 13), mainView_, "notelab");
    notelab->setWordWrap(true);
    QPalette pal = notelab->palette();
    pal.setColor(QPalette::WindowText, orange());
    notelab->setPalette(pal);
    layout->addWidget(notelab, 3, 0, 1, 3);

    listModel_ = new BackupListModel(app_->deviceController, this);
    diskTableView_ = new QTableView(mainView_);
    diskTableView_->setObjectName("diskTableView");
    diskTableView_->setModel(listModel_);
    diskTableView_->setSelectionBehavior(QAbstractItemView::SelectRows);
    diskTableView_->setSelectionMode(QAbstractItemView::SingleSelection);
    diskTableView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    diskTableView_->setItemDelegateForColumn(0, new ImageAndTextDelegate(diskTableView_));
    diskTableView_->verticalHeader()->hide();
    diskTableView_->verticalHeader()->setDefaultSectionSize(24);
    diskTableView_->horizontalHeader()->setStretchLastSection(true);
    diskTableView_->setFont(namedFont("Lucida Grande", 11));
    diskTableView_->setColumnWidth(0, 210);
    diskTableView_->setColumnWidth(1, 150);
    diskTableView_->setColumnWidth(2, 130);
    diskTableView_->setColumnWidth(3, 90);
    connect(diskTableView_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { button_->setEnabled(diskTableView_->selectionModel()->hasSelection()); });
    connect(diskTableView_, &QTableView::doubleClicked, this, [this] { actScanIOSBackupFile(); });
    layout->addWidget(diskTableView_, 4, 0, 1, 3);

    auto* buttons = new QHBoxLayout();
    auto* helpBtn = new QPushButton(L("Help"), mainView_);
    helpBtn->setObjectName("helpBtn");
    connect(helpBtn, &QPushButton::clicked, this, [] { openUrl(QUrl(kSupportUrl)); });
    buttons->addWidget(helpBtn);
    auto* chooseBtn = new QPushButton(L("Choose Folder…"), mainView_);
    chooseBtn->setObjectName("chooseFolderBtn");
    chooseBtn->setToolTip(L("List the backups in another folder (for example one idevicebackup2 wrote)"));
    connect(chooseBtn, &QPushButton::clicked, this, [this] { ClickChooseFolder(); });
    buttons->addWidget(chooseBtn);
    buttons->addStretch(1);
    button_ = new QPushButton(L("Start Scan"), mainView_);
    button_->setObjectName("button");
    button_->setEnabled(false);
    button_->setMinimumWidth(120);
    connect(button_, &QPushButton::clicked, this, [this] { actScanIOSBackupFile(); });
    buttons->addWidget(button_);
    layout->addLayout(buttons, 5, 0, 1, 3);

    auto* bottomImageView = new QLabel(mainView_);
    bottomImageView->setObjectName("bottomImageView");
    bottomImageView->setPixmap(kestrelImage("bottom"));
    bottomImageView->setScaledContents(true);
    bottomImageView->setFixedHeight(14);
    layout->addWidget(bottomImageView, 6, 0, 1, 3);
    layout->setRowStretch(4, 1);
    layout->setColumnStretch(1, 1);
    contentView_->layout()->addWidget(mainView_);
}

void KestrelMainWindow::buildLeadWindow() {
    leadWindow_ = new QDialog(this);
    leadWindow_->setObjectName("leadWindow");
    leadWindow_->setWindowTitle(QStringLiteral("Kestrel"));
    leadWindow_->setWindowModality(Qt::WindowModal);
    leadWindow_->setFixedWidth(520);
    auto* layout = new QGridLayout(leadWindow_);
    layout->setContentsMargins(24, 20, 24, 18);
    layout->setVerticalSpacing(8);
    layout->addWidget(makeLabel(L("Welcome to Kestrel"), namedFont("Lucida Grande", 14), leadWindow_, "weclcomeField"),
                      0, 0, 1, 2);
    layout->addWidget(makeLabel(L("How to recover your messages:"), boldSystemFont(13), leadWindow_, "tipField"), 1,
                      0, 1, 2);
    layout->addWidget(makeLabel(L("Step 1:"), boldSystemFont(12), leadWindow_, "tiponeField"), 2, 0, Qt::AlignTop);
    auto* one = makeLabel(L("Connect your device and back it up with iTunes on this computer."),
                          namedFont("Lucida Grande", 12), leadWindow_, "tipOneValueField");
    one->setWordWrap(true);
    layout->addWidget(one, 2, 1);
    layout->addWidget(makeLabel(L("Step 2:"), boldSystemFont(12), leadWindow_, "tipTwoField"), 3, 0, Qt::AlignTop);
    auto* two = makeLabel(L("Choose the backup in the list, start the scan, tick the messages and recover them."),
                          namedFont("Lucida Grande", 12), leadWindow_, "tipTwoValueField");
    two->setWordWrap(true);
    layout->addWidget(two, 3, 1);
    layout->addWidget(makeLabel(L("Tip: do not sync the device again before recovering; a new backup may overwrite "
                                  "deleted messages."),
                                boldSystemFont(12), leadWindow_, "tipThreeField"),
                      4, 0, 1, 2);
    findChild<QLabel*>("tipThreeField")->setWordWrap(true);
    auto* learnmoreBtn =
        linkButton(L("Learn More..."), namedFont("Lucida Grande", 12), true, leadWindow_, "learnmoreBtn");
    connect(learnmoreBtn, &QPushButton::clicked, this, [] { openUrl(QUrl(kResourcesUrl)); });
    layout->addWidget(learnmoreBtn, 5, 0, 1, 2, Qt::AlignLeft);
    auto* start = new QPushButton(L("Start"), leadWindow_);
    start->setObjectName("startBtn");
    start->setDefault(true);
    connect(start, &QPushButton::clicked, this, [this] { ClickStart(); });
    layout->addWidget(start, 6, 1, Qt::AlignRight);
    layout->setColumnStretch(1, 1);
}

void KestrelMainWindow::buildAboutWindow() {
    aboutWindow_ = new QWidget(this, Qt::Window);
    aboutWindow_->setObjectName("aboutWindow");
    aboutWindow_->setWindowTitle(L("About Kestrel"));
    aboutWindow_->setAttribute(Qt::WA_QuitOnClose, false);
    auto* layout = new QGridLayout(aboutWindow_);
    layout->setContentsMargins(24, 20, 24, 20);
    auto* icon = new QLabel(aboutWindow_);
    icon->setPixmap(kestrelImage("logo").scaled(64, 64, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    layout->addWidget(icon, 0, 0, 2, 1, Qt::AlignTop);
    layout->addWidget(makeLabel(QStringLiteral("Kestrel %1").arg(KESTREL_VERSION), namedFont("Arial", 18),
                                aboutWindow_, "productlab"),
                      0, 1, 1, 2);
    auto* notice = makeLabel(L("Recovers the text messages and contacts of an iPhone, iPad or iPod touch,\ndeleted "
                               "ones included, from the backups that iTunes keeps on this computer."),
                             namedFont("Arial", 12), aboutWindow_, "noticelab");
    layout->addWidget(notice, 1, 1, 1, 2);
    layout->addWidget(makeLabel(L("Home Page:"), namedFont("Arial", 12), aboutWindow_, "homepagelab"), 2, 1);
    auto* homeBtn = linkButton(QString::fromLatin1(kHomePageUrl), namedFont("Arial", 12), false, aboutWindow_, "homeBtn");
    connect(homeBtn, &QPushButton::clicked, this, [] { openUrl(QUrl(kHomePageUrl)); });
    layout->addWidget(homeBtn, 2, 2, Qt::AlignLeft);
    layout->addWidget(makeLabel(L("Support:"), namedFont("Arial", 12), aboutWindow_, "supportlab"), 3, 1);
    auto* supportBtn =
        linkButton(QString::fromLatin1(kSupportUrl), namedFont("Arial", 12), false, aboutWindow_, "supportBtn");
    connect(supportBtn, &QPushButton::clicked, this, [] { openUrl(QUrl(kSupportUrl)); });
    layout->addWidget(supportBtn, 3, 2, Qt::AlignLeft);
    // Detailed log lines (names and message texts included) only when asked for.
    auto* debugLogBox = new QCheckBox(L("Detailed log (includes names and message texts)"), aboutWindow_);
    debugLogBox->setObjectName("debugLogBox");
    debugLogBox->setChecked(debugLogging());
    connect(debugLogBox, &QCheckBox::toggled, this, [](bool on) { setDebugLogging(on); });
    layout->addWidget(debugLogBox, 4, 1, 1, 2);
    layout->setColumnStretch(2, 1);
}

void KestrelMainWindow::buildCryWindow() {
    cryWindow_ = new QDialog(this);
    cryWindow_->setObjectName("cryWindow");
    cryWindow_->setWindowTitle(QStringLiteral("Kestrel"));
    cryWindow_->setWindowModality(Qt::WindowModal);
    cryWindow_->setFixedWidth(560);
    auto* layout = new QVBoxLayout(cryWindow_);
    layout->setContentsMargins(24, 18, 24, 18);
    auto* masterlab = makeLabel(L("We are sorry to see you go."), namedFont("Lucida Grande", 28), cryWindow_, "masterlab");
    QPalette pal = masterlab->palette();
    pal.setColor(QPalette::WindowText, orange());
    masterlab->setPalette(pal);
    layout->addWidget(masterlab);
    layout->addWidget(makeLabel(L("Did Kestrel find what you were looking for?"), namedFont("Arial", 18), cryWindow_,
                                "goodlab"));
    auto* cryInfolab = makeLabel(QString(), namedFont("Arial", 18), cryWindow_, "cryInfolab");
    cryInfolab->setTextFormat(Qt::RichText);
    {
        // "suggestions" in orange.
        QString text = L("Please help me get BETTER with your suggestions!").toHtmlEscaped();
        const QString word = QStringLiteral("suggestions");
        text.replace(word, QString("<span style=\"color:%1\">%2</span>").arg(orange().name(), word));
        cryInfolab->setText(text);
    }
    layout->addWidget(cryInfolab);
    suggestionView_ = new TovFeedBackView(cryWindow_);
    suggestionView_->setObjectName("suggestionView");
    suggestionView_->setMinimumHeight(120);
    layout->addWidget(suggestionView_);
    senderIndicator_ = new QProgressBar(cryWindow_);
    senderIndicator_->setObjectName("senderIndicator");
    senderIndicator_->setRange(0, 0);  // busy
    senderIndicator_->setMaximumHeight(8);
    senderIndicator_->hide();
    layout->addWidget(senderIndicator_);
    auto* buttons = new QHBoxLayout();
    auto* exitBtn = new QPushButton(L("Exit"), cryWindow_);
    exitBtn->setObjectName("exitBtn");
    auto* cancelBtn = new QPushButton(L("Cancel"), cryWindow_);
    cancelBtn->setObjectName("cancelBtn");
    auto* sendBtn = new QPushButton(L("Send and Exit"), cryWindow_);
    sendBtn->setObjectName("sendBtn");
    connect(exitBtn, &QPushButton::clicked, this, [this] { Exit(); });
    connect(cancelBtn, &QPushButton::clicked, this, [this] { Cancel(); });
    connect(sendBtn, &QPushButton::clicked, this, [this] { Sender(); });
    buttons->addWidget(exitBtn);
    buttons->addStretch(1);
    buttons->addWidget(cancelBtn);
    buttons->addWidget(sendBtn);
    layout->addLayout(buttons);

    // The send control's timer: repeating, on this thread; Cancel and Exit
    // leave it running.
    emailTimer_ = new QTimer(this);
    emailTimer_->setObjectName("emailTimer");
    emailTimer_->setSingleShot(false);
    emailTimer_->setTimerType(Qt::PreciseTimer);  // never early, as a coarse timer may be
    connect(emailTimer_, &QTimer::timeout, this, [this] { SendEmialTimer_hander(); });
}

// ---- Start-up and the list ----

void KestrelMainWindow::applicationDidFinishLaunching() {
    showIphoneDiskView();
    leadWindow_->open();
    placeSheet(leadWindow_, this);
}

void KestrelMainWindow::showIphoneDiskView() {
    const bool found = app_->showIphoneDiskView();
    listModel_->reload();
    diskTableView_->clearSelection();
    if (found) {
        diskTableView_->selectRow(0);
        button_->setEnabled(true);
    } else {
        button_->setEnabled(false);
        ui::runAlert(this, L(kNoBackupAlert), L(kNoBackupAlertInformative), L(kNoBackupAlertButton));
    }
}

void KestrelMainWindow::ClickChooseFolder() {
    const QString start = QString::fromStdString(app_->backupRoot());
    const QString folder = QFileDialog::getExistingDirectory(this, L("Choose Folder"),
                                                             QFileInfo(start).isDir() ? start : QDir::homePath());
    if (!folder.isEmpty()) chooseBackupFolder(folder);
}

void KestrelMainWindow::chooseBackupFolder(const QString& folder) {
    app_->setBackupRoot(folder.toStdString());
    appSettings()->setValue(kBackupFolderKey, folder);
    showIphoneDiskView();
}

void KestrelMainWindow::ClickStart() { leadWindow_->accept(); }

void KestrelMainWindow::ClickAbout() {
    if (aboutWindow_->isVisible()) return;
    aboutWindow_->adjustSize();
    aboutWindow_->show();
}

void KestrelMainWindow::hideMainView() { mainView_->hide(); }

void KestrelMainWindow::showMainView() {
    // Going back from the results: the list again, in an 849 x 560 window.
    fixWindowSize(kHomeWindowWidth, kHomeWindowHeight);
    mainView_->show();
}

void KestrelMainWindow::actScanIOSBackupFile() {
    const QModelIndexList rows = diskTableView_->selectionModel()->selectedRows();
    if (rows.isEmpty() || app_->isScanning() || passwordSheet_->isWorking()) return;
    const int row = rows.first().row();
    const auto& nodes = app_->deviceController.arrangedObjects();
    if (row >= 0 && static_cast<size_t>(row) < nodes.size() && nodes[static_cast<size_t>(row)]->encrypted) {
        // An encrypted backup is scanned through decrypted copies of its
        // databases, once its password has opened it.
        const DeviceNodePtr node = nodes[static_cast<size_t>(row)];
        passwordSheet_->ask(node, [this, node](std::unique_ptr<WorkingFolder> folder, const QStringList& remarks) {
            if (app_->isScanning()) return;  // the folder goes unused
            if (!remarks.isEmpty()) {
                ui::runAlert(this, L("Some files of this backup could not be decrypted."),
                             L("The scan goes on without them:\n%1").arg(remarks.join('\n')), L(" Ok "));
            }
            // The list may have been read again meanwhile: find the backup's row anew.
            const auto& now = app_->deviceController.arrangedObjects();
            for (size_t i = 0; i < now.size(); ++i) {
                if (now[i] == node) {
                    decryptedFolder_ = std::move(folder);
                    startScan(static_cast<int>(i), decryptedFolder_->path());
                    decryptedWatch_->start();
                    return;
                }
            }
        });
        return;
    }
    startScan(row, std::string());
}

void KestrelMainWindow::startScan(int row, const std::string& scanFolder) {
    if (app_->isScanning()) return;
    // The window is fixed at 850 x 620 while the results stage is shown.
    fixWindowSize(kScanWindowWidth, kScanWindowHeight);
    hideMainView();
    // The results stage exists (and is the controller's delegate) before
    // the worker posts anything.
    if (resultView_ == nullptr) {
        resultView_ = new ResultView(*app_, [this] { showMainView(); }, contentView_);
        contentView_->layout()->addWidget(resultView_);
    }
    if (scanFolder.empty()) {
        app_->actScanIOSBackupFile(row);
    } else {
        app_->scanDeviceNode(app_->deviceController.arrangedObjects()[static_cast<size_t>(row)], scanFolder);
    }
    resultView_->showView();
}

// ---- Leaving ----

void KestrelMainWindow::closeEvent(QCloseEvent* event) {
    // The window never closes by itself; the application ends only by termination.
    event->ignore();
    if (app_->windowShouldClose() == WrenfieldAppDelegate::LeaveAction::ExitAlert) {
        if (ui::runAlert(this, L(kExitAlert), QString(), L(kExitAlertExit), L(kExitAlertCancel))) {
            terminateApplication();
        }
        return;
    }
    senderIndicator_->hide();
    suggestionView_->showPlaceholder(QString::fromLatin1(kQuitSheetPlaceholder));
    cryWindow_->open();
    placeSheet(cryWindow_, this);
}

void KestrelMainWindow::Exit() {
    cryWindow_->reject();
    terminateApplication();
}

void KestrelMainWindow::Cancel() { cryWindow_->reject(); }

void KestrelMainWindow::Sender() {
    senderIndicator_->setRange(0, 0);  // busy: animated while shown
    senderIndicator_->show();
    // A second press keeps the first press's deadline.
    if (!emailTimer_->isActive()) {
        emailTimer_->setInterval(static_cast<int>(sendEmailTimerInterval().count()));
        emailTimer_->start();
    }
    // The text as it stands now, unchanged (the placeholder too): the thread
    // must not read the view.
    const std::string text = suggestionView_->toPlainText().toStdString();
    emailThread_ = MailThread::start([text, link = mailLink_](MailThread&) {
        sendEmailHandle(text);
        std::lock_guard<std::mutex> lock(link->mutex);
        if (link->window == nullptr) return;
        // Run on the interface thread; dropped if the window goes first.
        QMetaObject::invokeMethod(
            link->window,
            [link] {
                KestrelMainWindow* window;
                {
                    std::lock_guard<std::mutex> again(link->mutex);
                    window = link->window;
                }
                if (window) window->sendEmailFinished();
            },
            Qt::QueuedConnection);
    });
}

void KestrelMainWindow::sendEmailFinished() {
    senderIndicator_->setRange(0, 1);  // animation stopped
    senderIndicator_->hide();
    cryWindow_->reject();
    cryWindow_->close();
    terminateApplication();
}

void KestrelMainWindow::SendEmialTimer_hander() {
    cryWindow_->reject();
    cryWindow_->close();
    terminateApplication();
}

}  // namespace kestrel::ui
