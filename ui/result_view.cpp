#include "ui/result_view.h"

#include <QApplication>
#include <algorithm>
#include <string_view>
#include <QCheckBox>
#include <QDialog>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QScreen>
#include <QPushButton>
#include <QStackedWidget>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include "feedback/feedback_mail.h"
#include "ui/images.h"
#include "ui/localisation.h"
#include "ui/mail_thread.h"
#include "ui/services.h"
#include "ui/small_controls.h"

namespace kestrel::ui {
namespace {

constexpr int kCategoryOrder[kCategoryCount] = {0, 1, 2, 3, 4};
const char* const kCategoryBtnNames[kCategoryCount] = {"photoBtn", "contactBtn", "messageBtn", "noteBtn", "callBtn"};
const char* const kPanelNames[kCategoryCount] = {"photoView", "contactView", "messageView", "noteView",
                                                 "callHistoryView"};
const char* const kTableNames[kCategoryCount] = {"photoTableView", "contactTableView", "messageTableView",
                                                 "noteTableView", "callHistoryTableView"};
const char* const kExistingLabelNames[kCategoryCount] = {"photovideoNumlab", "contactNumlab", "messageNumlab",
                                                         "noteNumlab", "callNumlab"};
const char* const kDeletedLabelNames[kCategoryCount] = {"delPhotovideoNumlab", "delContactNumlab",
                                                        "delMessageNumlab", "delNoteNumlab", "delCallNumlab"};

// Preview label names per panel, in the order the preview structures hold them.
const std::vector<const char*> kPreviewLabelNames[kCategoryCount] = {
    {"imageFileNamelab", "imageFileSizelab"},
    {"contactNamelab", "contactPhonelab", "contactEmaillab", "contactHomePagelab", "contactCompanylab",
     "contactJobTitlelab", "contactBirthdaylab", "contactProvenancelab"},
    {"messageNamelab", "messagePhonelab", "messageTypelab", "messageDatelab", "messageSourcelab", "messageServicelab",
     "messageChatlab", "messageAttachmentslab", "messageDeletedDatelab", "messageProvenancelab"},
    {"noteTitlelab", "noteDatelab"},
    {"callNamelab", "callPhonelab", "callTypelab", "callTimelab", "callDatelab"}};
const char* const kTextViewNames[kCategoryCount] = {nullptr, "contactNotelab", "messageConteView", "noteContentView",
                                                    nullptr};

QLabel* makeLabel(const QString& text, const QFont& font, QWidget* parent, const char* name = nullptr) {
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    if (name) label->setObjectName(QLatin1String(name));
    return label;
}

// A label that stretches an image over its whole area (both axes).
QLabel* stretchedImage(const QString& image, QWidget* parent, const char* name) {
    auto* view = new QLabel(parent);
    view->setObjectName(QLatin1String(name));
    view->setPixmap(kestrelImage(image));
    view->setScaledContents(true);
    view->setMinimumSize(1, 1);
    view->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    return view;
}

TovButton* linkButton(const QString& title, QWidget* parent, const char* name) {
    auto* button = new TovButton(title, parent);
    button->setObjectName(QLatin1String(name));
    button->setFlat(true);
    button->setFont(namedFont("Lucida Grande", 11));
    button->setStyleSheet("QPushButton { color: #1a4fd6; border: none; padding: 0 4px; }"
                          "QPushButton:disabled { color: #9a9a9a; }");
    return button;
}

void setLinkFont(QPushButton* button, bool underline) {
    QFont f = namedFont("Lucida Grande", 11);
    f.setUnderline(underline);
    button->setFont(f);
}

int columnWidthFor(Category c, int column) {
    // The four widths the results view sets (the other columns keep their defaults).
    if (c == Category::Messages && column == 5) return 240;   // messageContentColumn
    if (c == Category::Notes && column == 2) return 307;      // noteContactColumn
    if (c == Category::CallHistory && column == 2) return 174;  // callNumColumn
    if (c == Category::Contacts && column == 1) return 200;   // contactColumn
    return -1;
}

}  // namespace

ResultView::ResultView(WrenfieldAppDelegate& app, std::function<void()> goHome, QWidget* parent)
    : QWidget(parent), app_(app), core_(app.showResultView()), goHome_(std::move(goHome)) {
    setObjectName("resultView");
    core_.setDelegate(this);

    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);

    // Category buttons and the way home.
    auto* top = new QWidget(this);
    top->setObjectName("topBar");
    auto* topLayout = new QHBoxLayout(top);
    topLayout->setContentsMargins(12, 8, 12, 8);
    topLayout->setSpacing(6);
    for (int i : kCategoryOrder) {
        const auto c = static_cast<Category>(i);
        auto* button = new TovButton(top);
        button->setObjectName(QLatin1String(kCategoryBtnNames[i]));
        button->setFlat(true);
        button->setStyleSheet("QPushButton { border: none; padding: 0; }");
        button->setAccessibleName(QString::fromLatin1(categoryName(c)));
        const QPixmap idle = kestrelImage(q(TovResultViewController::categoryButtonImage(c, false)));
        button->setIcon(idle);
        button->setIconSize(idle.size());
        button->setFixedSize(idle.size());
        connect(button, &QPushButton::clicked, this, [this, c] {
            core_.switchToCategory(c);
            syncControls();
        });
        categoryBtns_[static_cast<size_t>(i)] = button;
        topLayout->addWidget(button);
    }
    topLayout->addStretch(1);
    homeBtn_ = new QPushButton(L("Home"), top);
    homeBtn_->setObjectName("homeBtn");
    connect(homeBtn_, &QPushButton::clicked, this, [this] { actHome(); });
    topLayout->addWidget(homeBtn_);
    root->addWidget(top);

    // The six panels.
    customView_ = new QStackedWidget(this);
    customView_->setObjectName("CustomView");
    scanproView_ = buildScanPanel();
    customView_->addWidget(scanproView_);
    for (int i : kCategoryOrder) customView_->addWidget(buildCategoryPanel(static_cast<Category>(i)));
    root->addWidget(customView_, 1);

    // The deleted-only box, the ticked count and the save control.
    auto* bottom = new QWidget(this);
    auto* bottomLayout = new QGridLayout(bottom);
    bottomLayout->setContentsMargins(12, 4, 12, 6);
    auto* bottomImg = stretchedImage("bottom", bottom, "bottomImg");
    bottomLayout->addWidget(bottomImg, 0, 0, 2, 6);
    checkBtn_ = new QCheckBox(L(kCheckBoxTitle), bottom);
    checkBtn_->setObjectName("checkBtn");
    checkBtn_->setFont(namedFont("Lucida Grande", 11));
    checkBtn_->setStyleSheet(QString("QCheckBox { color: %1; }").arg(orange().name()));
    connect(checkBtn_, &QCheckBox::clicked, this, [this](bool ticked) {
        core_.actCheck(ticked);
        syncControls();
    });
    bottomLayout->addWidget(checkBtn_, 0, 0);
    selecteFilelab_ = makeLabel(QString(), namedFont("Lucida Grande", 11), bottom, "selecteFilelab");
    bottomLayout->addWidget(selecteFilelab_, 0, 1, 1, 3);
    saveBtn_ = new QPushButton(L("Recover"), bottom);
    saveBtn_->setObjectName("saveBtn");
    connect(saveBtn_, &QPushButton::clicked, this, [this] { actRecovery(); });
    bottomLayout->addWidget(saveBtn_, 0, 5, Qt::AlignRight);

    auto* links = new QHBoxLayout();
    links->setSpacing(10);
    supprotBtn_ = linkButton(L("Support"), bottom, "supprotBtn");
    QFont supportFont = supprotBtn_->font();
    supportFont.setUnderline(true);
    supprotBtn_->setFont(supportFont);
    supprotBtn_->setCursor(Qt::PointingHandCursor);
    facebookBtn_ = linkButton(L("Facebook"), bottom, "facebookBtn");
    twitterBtn_ = linkButton(L("Twitter"), bottom, "twitterBtn");
    feedBackBtn_ = linkButton(L("Feedback"), bottom, "feedBackBtn");
    connect(supprotBtn_, &QPushButton::clicked, this, [] { openUrl(QUrl(kSupportUrl)); });
    connect(facebookBtn_, &QPushButton::clicked, this, [] { openUrl(QUrl(kFacebookUrl)); });
    connect(twitterBtn_, &QPushButton::clicked, this, [] { openUrl(QUrl(kTwitterUrl)); });
    connect(feedBackBtn_, &QPushButton::clicked, this, [this] { clickFeedBack(); });
    links->addStretch(1);
    for (QPushButton* b : {static_cast<QPushButton*>(supprotBtn_), static_cast<QPushButton*>(facebookBtn_),
                           static_cast<QPushButton*>(twitterBtn_), static_cast<QPushButton*>(feedBackBtn_)}) {
        links->addWidget(b);
    }
    bottomLayout->addLayout(links, 1, 0, 1, 6);
    root->addWidget(bottom);

    // Link hover through the notification centre, as the buttons post it.
    NotificationCenter& nc = NotificationCenter::defaultCenter();
    hoverTokens_.push_back(nc.addObserver(names::TovbuttonMouseEntered, [this](const Notification& n) {
        if (const auto* sender = std::any_cast<QObject*>(&n.object)) linkHover(*sender, true);
    }));
    hoverTokens_.push_back(nc.addObserver(names::TovbuttonMouseExited, [this](const Notification& n) {
        if (const auto* sender = std::any_cast<QObject*>(&n.object)) linkHover(*sender, false);
    }));

    recoverTimer_ = new QTimer(this);
    recoverTimer_->setObjectName("recoverTimer");
    recoverTimer_->setInterval(1000);
    connect(recoverTimer_, &QTimer::timeout, this, [this] {
        const int percent = core_.IphonerecoveryTimer_hander();
        saveProgressor_->setValue(percent);
        savepercentlab_->setText(q(core_.savepercentlab()));
    });
    buildSaveWindow();
    buildFeedbackWindow();
}

ResultView::~ResultView() {
    delete feedbackWindow_;
    for (auto token : hoverTokens_) NotificationCenter::defaultCenter().removeObserver(token);
}

QWidget* ResultView::buildScanPanel() {
    auto* view = new QWidget();
    view->setObjectName("scanproView");
    auto* layout = new QGridLayout(view);
    layout->setContentsMargins(24, 14, 24, 14);
    layout->setHorizontalSpacing(16);
    layout->setVerticalSpacing(8);

    // Progress over its ground.
    auto* progressBox = new QWidget(view);
    auto* progressGrid = new QGridLayout(progressBox);
    progressGrid->setContentsMargins(16, 12, 16, 12);
    progressGrid->addWidget(stretchedImage("progressGorund", progressBox, "progressGround"), 0, 0, 2, 2);
    scanInfolab_ = makeLabel(L("Scanning the backup for existing and deleted messages and contacts. Please wait..."),
                             namedFont("Lucida Grande", 11), progressBox, "scanInfolab");
    progressGrid->addWidget(scanInfolab_, 0, 0, 1, 2);
    scanProgressor_ = new QProgressBar(progressBox);
    scanProgressor_->setObjectName("scanProgressor");
    scanProgressor_->setRange(0, 100);
    scanProgressor_->setTextVisible(false);
    progressGrid->addWidget(scanProgressor_, 1, 0);
    progressTextField_ = makeLabel("1%", namedFont("Lucida Grande", 11), progressBox, "progressTextField");
    progressTextField_->setMinimumWidth(40);
    progressGrid->addWidget(progressTextField_, 1, 1);
    stopScanBtn_ = new QPushButton(L("Stop"), progressBox);
    stopScanBtn_->setObjectName("stopScanBtn");
    stopScanBtn_->setToolTip(L("Stop the scan; what was found so far stays listed"));
    connect(stopScanBtn_, &QPushButton::clicked, this, [this] {
        stopScanBtn_->setEnabled(false);
        app_.stopScan();
    });
    progressGrid->addWidget(stopScanBtn_, 1, 2);
    layout->addWidget(progressBox, 0, 0, 1, 2);

    // The backup's facts.
    auto* facts = new QWidget(view);
    auto* factsGrid = new QGridLayout(facts);
    factsGrid->setContentsMargins(0, 0, 0, 0);
    factsGrid->addWidget(stretchedImage("whiteimg", facts, "GroundView"), 0, 0, 6, 2);
    factsGrid->addWidget(makeLabel(L("Backup Information"), namedFont("Lucida Grande", 14), facts, "BackUpInfolab"),
                         0, 0, 1, 2);
    const char* captions[5] = {"Device Name:", "Serial Number:", "Device Type:", "iOS Version:", "Backup Date:"};
    const char* captionNames[5] = {"backupNamelab", "backupSerialab", "deviceTypelab", "iOSTypelab", "backupDatelab"};
    const char* valueNames[5] = {"backupNameInfolab", "backupSerialInfolab", "deviceTypeInfolab", "iOSTypeInfolab",
                                 "backupDateInfolab"};
    for (int i = 0; i < 5; ++i) {
        factsGrid->addWidget(makeLabel(L(captions[i]), namedFont("Lucida Grande", 11), facts, captionNames[i]), i + 1,
                             0);
        backupValueLabels_[static_cast<size_t>(i)] =
            makeLabel(QString(), namedFont("Lucida Grande", 12), facts, valueNames[i]);
        factsGrid->addWidget(backupValueLabels_[static_cast<size_t>(i)], i + 1, 1);
    }
    factsGrid->setColumnStretch(1, 1);
    layout->addWidget(facts, 1, 0, Qt::AlignTop);

    // The ten count captions.
    auto* counts = new QWidget(view);
    auto* countGrid = new QGridLayout(counts);
    countGrid->setContentsMargins(0, 0, 0, 0);
    countGrid->setHorizontalSpacing(30);
    countGrid->addWidget(makeLabel(L("Existing Files"), namedFont("Lucida Grande", 14), counts, "backuplab"), 0, 0);
    countGrid->addWidget(makeLabel(L("Deleted Files"), namedFont("Lucida Grande", 14), counts, "deletedlab"), 0, 1);
    for (int i : kCategoryOrder) {
        auto& existing = existingCountLabels_[static_cast<size_t>(i)];
        auto& deleted = deletedCountLabels_[static_cast<size_t>(i)];
        existing = makeLabel(QString(), boldSystemFont(12), counts, kExistingLabelNames[i]);
        deleted = makeLabel(QString(), boldSystemFont(12), counts, kDeletedLabelNames[i]);
        existing->setMinimumWidth(150);
        deleted->setMinimumWidth(150);
        countGrid->addWidget(existing, i + 1, 0);
        countGrid->addWidget(deleted, i + 1, 1);
    }
    layout->addWidget(counts, 1, 1, Qt::AlignTop);
    layout->setRowStretch(2, 1);
    layout->setColumnStretch(0, 1);
    layout->setColumnStretch(1, 1);
    return view;
}

QWidget* ResultView::buildCategoryPanel(Category c) {
    const auto i = static_cast<size_t>(c);
    Panel& panel = panels_[i];
    panel.view = new QWidget();
    panel.view->setObjectName(QLatin1String(kPanelNames[i]));
    auto* layout = new QVBoxLayout(panel.view);
    layout->setContentsMargins(12, 4, 12, 4);
    panel.model = new RecordTableModel(core_, c, panel.view);
    panel.table = new RecordTableView(core_, panel.model, panel.view);
    panel.table->setObjectName(QLatin1String(kTableNames[i]));
    for (int column = 1; column < panel.model->columnCount(); ++column) panel.table->setColumnWidth(column, 118);
    if (c == Category::Messages) panel.table->setColumnWidth(4, 70);
    layout->addWidget(panel.table, 5);

    auto* preview = new QWidget(panel.view);
    auto* grid = new QGridLayout(preview);
    grid->setContentsMargins(0, 4, 0, 0);
    grid->setVerticalSpacing(4);
    const auto& names = kPreviewLabelNames[i];
    int nextRow = 0;
    for (size_t k = 0; k < names.size(); ++k) {
        QLabel* label = makeLabel(QString(), namedFont("Lucida Grande", 11), preview, names[k]);
        label->setTextInteractionFlags(Qt::NoTextInteraction);
        label->setMinimumWidth(10);
        label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        panel.labels.push_back(label);
        // Where a carved record was found takes a row of its own.
        if (std::string_view(names[k]).ends_with("Provenancelab")) {
            const int row = static_cast<int>((k + 1) / 2);
            grid->addWidget(label, row, 0, 1, 2);
            nextRow = row + 1;
        } else {
            grid->addWidget(label, static_cast<int>(k / 2), static_cast<int>(k % 2));
            nextRow = std::max(nextRow, static_cast<int>(k / 2) + 1);
        }
    }
    if (c == Category::PhotoAndVideo) {
        panel.imageView = new QLabel(preview);
        panel.imageView->setObjectName("imageView");
        panel.imageView->setAlignment(Qt::AlignCenter);
        panel.imageView->setMinimumHeight(120);
        grid->addWidget(panel.imageView, nextRow, 0, 1, 2);
    }
    if (kTextViewNames[i] != nullptr) {
        panel.textView = new TovTextView(preview);
        panel.textView->setObjectName(QLatin1String(kTextViewNames[i]));
        panel.textView->setFont(namedFont("Lucida Grande", 11));
        grid->addWidget(panel.textView, nextRow, 0, 1, 2);
        grid->setRowStretch(nextRow, 1);
    }
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(1, 1);
    layout->addWidget(preview, 2);
    return panel.view;
}

void ResultView::buildSaveWindow() {
    saveWindow_ = new QDialog(window());
    saveWindow_->setObjectName("saveWindow");
    saveWindow_->setWindowTitle(QStringLiteral("Kestrel"));
    saveWindow_->setWindowModality(Qt::WindowModal);
    saveWindow_->setFixedWidth(420);
    auto* layout = new QGridLayout(saveWindow_);
    layout->setContentsMargins(20, 18, 20, 18);
    layout->addWidget(makeLabel(L("Recovering the ticked files into the chosen folder, please wait..."),
                                namedFont("Lucida Grande", 11), saveWindow_, "saveinfoTextlab"),
                      0, 0, 1, 2);
    saveProgressor_ = new QProgressBar(saveWindow_);
    saveProgressor_->setObjectName("saveProgressor");
    saveProgressor_->setRange(0, 100);
    saveProgressor_->setTextVisible(false);
    layout->addWidget(saveProgressor_, 1, 0);
    savepercentlab_ = makeLabel("0%", namedFont("Lucida Grande", 11), saveWindow_, "savepercentlab");
    savepercentlab_->setMinimumWidth(40);
    layout->addWidget(savepercentlab_, 1, 1);
    // Closing the sheet is the export worker's to do.
    saveWindow_->setWindowFlag(Qt::WindowCloseButtonHint, false);
}

void ResultView::buildFeedbackWindow() {
    feedbackWindow_ = new QWidget(nullptr, Qt::Window);
    feedbackWindow_->setObjectName("feedbackWindow");
    feedbackWindow_->setWindowTitle(L("Feedback"));
    feedbackWindow_->setAttribute(Qt::WA_QuitOnClose, false);
    auto* layout = new QVBoxLayout(feedbackWindow_);
    layout->addWidget(makeLabel(L("Thank you for helping us make Kestrel better."), namedFont("Lucida Grande", 16),
                                feedbackWindow_, "feedbackThanklab"));
    layout->addWidget(makeLabel(L("Your e-mail address:"), namedFont("Lucida Grande", 12), feedbackWindow_,
                                "feedbackEmaillab"));
    feedbackEmailVaule_ = new QLineEdit(feedbackWindow_);
    feedbackEmailVaule_->setObjectName("feedbackEmailVaule");
    layout->addWidget(feedbackEmailVaule_);
    layout->addWidget(makeLabel(L("Your suggestions or problems:"), namedFont("Lucida Grande", 12), feedbackWindow_,
                                "feedbackTiplab"));
    feedbackView_ = new TovFeedBackView(feedbackWindow_);
    feedbackView_->setObjectName("feedbackView");
    layout->addWidget(feedbackView_, 1);
    layout->addWidget(makeLabel(L("We read every message and answer by e-mail."), namedFont("Lucida Grande", 12),
                                feedbackWindow_, "feedbackinfolab"));
    auto* buttons = new QHBoxLayout();
    buttons->addStretch(1);
    auto* dontSend = new QPushButton(L("Don't Send"), feedbackWindow_);
    dontSend->setObjectName("dontSendBtn");
    auto* send = new QPushButton(L("Send"), feedbackWindow_);
    send->setObjectName("sendFeedBackBtn");
    connect(dontSend, &QPushButton::clicked, this, [this] { ClickDontSendFeedBack(); });
    connect(send, &QPushButton::clicked, this, [this] { clickSendFeedBack(); });
    buttons->addWidget(dontSend);
    buttons->addWidget(send);
    layout->addLayout(buttons);
    feedbackWindow_->resize(420, 360);
}

// ---- A scan ----

void ResultView::showView() {
    show();
    customView_->setCurrentWidget(scanproView_);
    for (Panel& p : panels_) {
        if (p.imageView) p.imageView->clear();
    }
    scanProgressor_->show();
    progressTextField_->show();
    scanInfolab_->show();
    stopScanBtn_->show();
    stopScanBtn_->setEnabled(true);
    const DeviceNodePtr node = app_.currentNode;
    const std::array<std::string, 5> facts =
        node ? std::array<std::string, 5>{node->strDeviceName, node->strDeviceSerial, node->strDeviceType,
                                          node->strIOSVersion, node->strDeviceBackUpTime}
             : std::array<std::string, 5>{};
    for (size_t i = 0; i < 5; ++i) backupValueLabels_[i]->setText(q(facts[i]));
    for (int i : kCategoryOrder) {
        const auto c = static_cast<Category>(i);
        for (int column = 0; column < panels_[static_cast<size_t>(i)].model->columnCount(); ++column) {
            const int width = columnWidthFor(c, column);
            if (width > 0) {
                panels_[static_cast<size_t>(i)].table->setColumnWidth(column, width);
                panels_[static_cast<size_t>(i)].table->horizontalHeader()->setSectionResizeMode(column,
                                                                                              QHeaderView::Interactive);
            }
        }
    }
    refreshScanPanel();
    syncControls();
}

void ResultView::refreshScanPanel() {
    scanProgressor_->setValue(core_.progressValue());
    progressTextField_->setText(q(core_.progressText()));
    const auto existing = core_.existingCountLabels();
    const auto deleted = core_.deletedCountLabels();
    for (size_t i = 0; i < kCategoryCount; ++i) {
        existingCountLabels_[i]->setText(q(existing[i]));
        deletedCountLabels_[i]->setText(q(deleted[i]));
    }
}

void ResultView::performOnMainThreadAndWait(const std::function<void()>& task) {
    if (QThread::currentThread() == thread()) {
        task();  // already on the interface thread: a blocking hand-over would never return
        return;
    }
    QMetaObject::invokeMethod(this, [&task] { task(); }, Qt::BlockingQueuedConnection);
}

void ResultView::progressChanged(int /*value*/) {
    // On the scan worker: the controller has updated its counters; the
    // labels are changed on the interface thread.
    QMetaObject::invokeMethod(this, [this] { refreshScanPanel(); }, Qt::QueuedConnection);
}

void ResultView::scanFinished() {
    // The finishing step runs on the interface thread while the worker waits.
    scanProgressor_->setValue(0);
    progressTextField_->setText("0%");
    scanProgressor_->hide();
    progressTextField_->hide();
    scanInfolab_->hide();
    stopScanBtn_->hide();
    syncControls();
    if (closing_) return;
    if (app_.scanStopped()) {
        ui::runAlert(window(), L(kScanStoppedAlert), QString(), L(kScanFinishedAlertButton), QString());
        return;
    }
    const std::vector<std::string> warnings = app_.scanWarnings();
    if (!warnings.empty()) {
        // The lists may be incomplete: say what could not be read.
        QStringList lines;
        for (const std::string& warning : warnings) lines << QString::fromStdString(warning);
        ui::runAlert(window(), L(kScanIncompleteAlert), lines.join('\n'), L(kScanFinishedAlertButton), QString());
        return;
    }
    runAlert(kScanFinishedAlert, kScanFinishedAlertButton, std::string());
}

bool ResultView::runAlert(const std::string& message, const std::string& defaultButton,
                          const std::string& alternateButton) {
    return ui::runAlert(window(), L(message), QString(), L(defaultButton),
                        alternateButton.empty() ? QString() : L(alternateButton));
}

void ResultView::showMainView() {
    hide();
    if (goHome_) goHome_();
}

void ResultView::tableChanged(Category table) {
    Panel& p = panels_[static_cast<size_t>(table)];
    p.model->reload();
    p.table->showCoreSelection();
}

void ResultView::previewChanged(Category table) {
    Panel& p = panels_[static_cast<size_t>(table)];
    p.table->showCoreSelection();
    auto put = [&](size_t k, const PreviewLabel& label) {
        p.labels[k]->setText(q(label.text));
        p.labels[k]->setVisible(label.visible);
    };
    switch (table) {
        case Category::PhotoAndVideo: {
            const PhotoPreview& v = core_.photoPreview;
            put(0, v.imageFileNamelab);
            put(1, v.imageFileSizelab);
            QPixmap image;
            if (v.bmov) {
                // Movies are not played here: the image area shows the icon for "mov".
                image = QFileIconProvider().icon(QFileInfo("movie.mov")).pixmap(256, 256);
            } else {
                image.load(q(v.filePath));
            }
            p.imageView->setPixmap(image.isNull() ? QPixmap()
                                                  : image.scaled(p.imageView->size(), Qt::KeepAspectRatio,
                                                                 Qt::SmoothTransformation));
            break;
        }
        case Category::Contacts: {
            const ContactPreview& v = core_.contactPreview;
            const PreviewLabel* labels[] = {&v.contactNamelab,    &v.contactPhonelab,   &v.contactEmaillab,
                                            &v.contactHomePagelab, &v.contactCompanylab, &v.contactJobTitlelab,
                                            &v.contactBirthdaylab, &v.contactProvenancelab};
            for (size_t k = 0; k < 8; ++k) put(k, *labels[k]);
            p.textView->setPlainText(q(v.contactNotelab));
            p.textView->setVisible(v.contactNoteScrollViewVisible);
            break;
        }
        case Category::Messages: {
            const MessagePreview& v = core_.messagePreview;
            put(0, v.messageNamelab);
            put(1, v.messagePhonelab);
            put(2, v.messageTypelab);
            put(3, v.messageDatelab);
            put(4, v.messageSourcelab);
            put(5, v.messageServicelab);
            put(6, v.messageChatlab);
            put(7, v.messageAttachmentslab);
            put(8, v.messageDeletedDatelab);
            put(9, v.messageProvenancelab);
            p.textView->setPlainText(q(v.messageConteView));
            p.textView->setVisible(v.messageScrollViewVisible);
            break;
        }
        case Category::Notes: {
            const NotePreview& v = core_.notePreview;
            put(0, v.noteTitlelab);
            put(1, v.noteDatelab);
            p.textView->setPlainText(q(v.noteContentView));
            p.textView->setVisible(v.noteScrollViewVisible);
            break;
        }
        case Category::CallHistory: {
            const CallHistoryPreview& v = core_.callHistoryPreview;
            const PreviewLabel* labels[] = {&v.callNamelab, &v.callPhonelab, &v.callTypelab, &v.callTimelab,
                                            &v.callDatelab};
            for (size_t k = 0; k < 5; ++k) put(k, *labels[k]);
            break;
        }
    }
}

void ResultView::selectionStateChanged() {
    selecteFilelab_->setText(q(core_.selecteFilelab));
    selecteFilelab_->setVisible(core_.selecteFilelabVisible);
    saveBtn_->setEnabled(core_.saveBtnEnabled);
    for (Panel& p : panels_) p.model->refreshRows();
}

// Shows the controls as the controller's state has them.
void ResultView::syncControls() {
    const bool finished = core_.scanFinishedFlag;
    if (finished) customView_->setCurrentWidget(panels_[static_cast<size_t>(core_.currentCategory)].view);
    checkBtn_->setVisible(core_.checkBoxVisible);
    checkBtn_->setChecked(core_.checkBoxTicked);
    selecteFilelab_->setText(q(core_.selecteFilelab));
    selecteFilelab_->setVisible(core_.selecteFilelabVisible);
    saveBtn_->setEnabled(core_.saveBtnEnabled);
    homeBtn_->setEnabled(core_.homeBtnEnabled);
    for (TovButton* b : {facebookBtn_, twitterBtn_, feedBackBtn_}) b->setEnabled(core_.linkBtnsEnabled);
    showCategoryButtons();
}

void ResultView::showCategoryButtons() {
    for (int i : kCategoryOrder) {
        const auto c = static_cast<Category>(i);
        const bool active = core_.scanFinishedFlag && core_.currentCategory == c;
        TovButton* button = categoryBtns_[static_cast<size_t>(i)];
        button->setIcon(kestrelImage(q(TovResultViewController::categoryButtonImage(c, active))));
        button->setEnabled(core_.categoryBtnEnabled[static_cast<size_t>(i)]);
    }
}

void ResultView::linkHover(QObject* sender, bool entered) {
    for (TovButton* link : {facebookBtn_, twitterBtn_, feedBackBtn_}) {
        if (sender != link) continue;
        link->setCursor(entered ? Qt::PointingHandCursor : Qt::ArrowCursor);
        setLinkFont(link, entered);
    }
    // Category buttons and any other sender: nothing happens.
}

// ---- Going home ----

void ResultView::actHome() {
    core_.actHome();  // asks through runAlert; on " Back " calls showMainView
    syncControls();
    for (Panel& p : panels_) p.model->reload();
}

// ---- Export ----

void ResultView::actRecovery() {
    const std::string name = core_.actRecovery();
    saveProgressor_->setValue(0);
    savepercentlab_->setText("0%");
    delete sp_;
    sp_ = new QFileDialog(window(), L("Save"), QStringLiteral("/"));
    sp_->setObjectName("sp");
    sp_->setOption(QFileDialog::DontUseNativeDialog, true);
    sp_->setAcceptMode(QFileDialog::AcceptSave);
    sp_->setFileMode(QFileDialog::AnyFile);
    sp_->setWindowModality(Qt::WindowModal);
    sp_->selectFile(q(name));
    addFormatBoxes();
    connect(sp_, &QFileDialog::finished, this, [this](int result) {
        const QString path = sp_->selectedFiles().value(0);
        sp_->hide();
        const int code = result == QDialog::Accepted && !path.isEmpty() ? 1 : 0;
        if (code == 1) {
            chosenFormats_.txt = formatBoxes_[0]->isChecked();
            chosenFormats_.html = formatBoxes_[1]->isChecked();
            chosenFormats_.csv = formatBoxes_[2]->isChecked();
            chosenFormats_.json = formatBoxes_[3]->isChecked();
            core_.setExportFormats(chosenFormats_);
            ReportFacts facts;
            if (app_.currentNode) facts.backup = *app_.currentNode;
            // Named as they lie in the backup: the copies the scan read are
            // gone by now, and are not what the report is about.
            if (app_.currentNode)
                facts.databaseFiles = app_.databaseFilesInBackup(app_.currentNode->backUpFilePath, app_.scannedFolder());
            facts.scanTime = app_.scanStartTime;
            facts.command = "Kestrel desktop program: scan of " + facts.backup.backUpFilePath +
                            ", export formats " + exportFormatsText(chosenFormats_);
            core_.setReportFacts(std::move(facts));
        }
        core_.savePanelDidEnd(path.toStdString(), code);
    });
    sp_->resize(680, 440);
    sp_->open();
    placeSheet(sp_, window());
}

// Check boxes below the save panel's own controls: which files the export
// writes. At least one stays ticked.
void ResultView::addFormatBoxes() {
    auto* row = new QWidget(sp_);
    row->setObjectName("exportFormats");
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(new QLabel(L("Write:"), row));
    const std::pair<const char*, bool> boxes[4] = {{"Text files", chosenFormats_.txt},
                                                   {"HTML report", chosenFormats_.html},
                                                   {"CSV", chosenFormats_.csv},
                                                   {"JSON", chosenFormats_.json}};
    const char* names[4] = {"formatTxt", "formatHtml", "formatCsv", "formatJson"};
    for (size_t i = 0; i < 4; ++i) {
        formatBoxes_[i] = new QCheckBox(L(boxes[i].first), row);
        formatBoxes_[i]->setObjectName(names[i]);
        formatBoxes_[i]->setChecked(boxes[i].second);
        layout->addWidget(formatBoxes_[i]);
    }
    layout->addStretch(1);
    for (QCheckBox* box : formatBoxes_) {
        connect(box, &QCheckBox::toggled, this, [this, box](bool on) {
            if (on) return;
            for (QCheckBox* other : formatBoxes_) {
                if (other->isChecked()) return;
            }
            box->setChecked(true);  // nothing to write is no export
        });
    }
    if (auto* grid = qobject_cast<QGridLayout*>(sp_->layout())) {
        grid->addWidget(row, grid->rowCount(), 0, 1, grid->columnCount());
    } else if (sp_->layout() != nullptr) {
        sp_->layout()->addWidget(row);
    }
}

// The problems of the export that just ended, in one alert.
void ResultView::showExportIssues() {
    const std::vector<ExportIssue> issues = core_.exportIssues();
    if (issues.empty()) return;
    bool failed = false;
    QString details;
    int shown = 0;
    for (const ExportIssue& issue : issues) {
        failed = failed || issue.kind == ExportIssue::Kind::Error;
        if (shown++ < 12) {
            details += (issue.kind == ExportIssue::Kind::Error ? L("Failed: ") : L("Note: ")) + q(issue.path) +
                       ": " + q(issue.what) + "\n";
        }
    }
    if (shown > 12) details += L("... and %1 more").arg(shown - 12);
    ui::runAlert(window(),
                 failed ? L("Some of the ticked records could not be exported.")
                        : L("The export is complete, with notes."),
                 details, L("Ok"), QString());
}

void ResultView::showSaveWindow() {
    saveWindow_->open();
    placeSheet(saveWindow_, window());
}

void ResultView::startRecoveryTimer() { recoverTimer_->start(); }

void ResultView::stopRecoveryTimer() {
    // Asked for by the export worker.
    QMetaObject::invokeMethod(this, [this] { recoverTimer_->stop(); }, Qt::QueuedConnection);
}

void ResultView::revealInFileViewer(const std::string& rootPath) {
    const QUrl folder = QUrl::fromLocalFile(q(rootPath));
    QMetaObject::invokeMethod(this, [folder] { openUrl(folder); }, Qt::QueuedConnection);
}

void ResultView::saveWindowClosed() {
    saveWindow_->accept();
    saveProgressor_->setValue(0);
    savepercentlab_->setText("0%");
    // After the worker has ended: the alert waits for the user.
    QMetaObject::invokeMethod(this, [this] { showExportIssues(); }, Qt::QueuedConnection);
}

// ---- Feedback window ----

void ResultView::clickFeedBack() {
    feedbackView_->showPlaceholder(QString::fromLatin1(kFeedbackWindowPlaceholder));
    feedbackEmailVaule_->clear();
    if (!feedbackWindow_->isVisible()) {
        feedbackWindow_->show();
        const QRect screen = feedbackWindow_->screen() ? feedbackWindow_->screen()->availableGeometry() : QRect();
        if (screen.isValid()) feedbackWindow_->move(screen.center() - feedbackWindow_->rect().center());
    }
}

void ResultView::clickSendFeedBack() {
    app_.bFeedBack = true;
    feedbackWindow_->hide();
    // The two fields as they stand now, unchanged (empty or placeholder
    // too); the thread must not read the window. Sends in quick succession
    // queue behind each other in sendFeedbackMail.
    const std::string email = feedbackEmailVaule_->text().toStdString();
    const std::string suggestion = feedbackView_->toPlainText().toStdString();
    sendEmailThreader_ = MailThread::start([email, suggestion](MailThread& self) {
        sendFeedBackEmailHandle(email, suggestion);
        self.cancel();
    });
}

void ResultView::ClickDontSendFeedBack() { feedbackWindow_->hide(); }

}  // namespace kestrel::ui
