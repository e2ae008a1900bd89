// The desktop program's real windows, driven on the offscreen platform over
// generated backups: the list, a scan, the message list (ticking, the
// deleted-only box, sorting), the export, going home and leaving, and the
// feedback mail sent to a test SMTP server on 127.0.0.1.
#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <map>
#include <stdlib.h>
#include <sys/stat.h>
#include <QDir>
#include <QElapsedTimer>

#include "app/log.h"

#include "feedback/feedback_mail.h"
#include "feedback/mail_library.h"
#include "tests/gui/gui_support.h"
#include "tests/smtp_test_server.h"
#include "tools/backup_generator.h"
#include "ui/mail_thread.h"
#include "ui/main_window.h"
#include "ui/password_sheet.h"
#include "ui/result_view.h"
#include "ui/services.h"
#include "ui/small_controls.h"

using namespace kestrel;
using namespace kestrel::ui;
using testing::answerNextAlert;
using testing::spinUntil;

namespace {

// A small backup without deleted rows: three people, six messages.
gen::BackupSpec plainSpec() {
    gen::BackupSpec plan;
    plan.device.deviceName = "Plain iPhone";
    plan.device.serial = "PLAIN0000001";
    const char* names[3][2] = {{"Ann", "Archer"}, {"Bob", "Baker"}, {"Cy", "Cole"}};
    const char* phones[3] = {"+15550000001", "+15550000002", "+15550000003"};
    for (int i = 0; i < 3; ++i) {
        gen::Person p;
        p.first = names[i][0];
        p.last = names[i][1];
        p.values.push_back(gen::PersonValue{3, "_$!<Mobile>!$_", std::string(phones[i])});
        plan.persons.push_back(p);
        gen::Handle h;
        h.id = phones[i];
        plan.handles.push_back(h);
    }
    const int handleOf[6] = {3, 1, 2, 1, 3, 2};
    for (int i = 0; i < 6; ++i) {
        gen::Message m;
        m.text = "message number " + std::to_string(i + 1);
        m.handle_id = handleOf[i];
        m.date = 400000000 + i * 3600;
        plan.messages.push_back(m);
    }
    return plan;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The body of a delivered mail: what follows the blank line after the headers.
std::string mailBody(const test::SmtpSession& mail) {
    const size_t end = mail.message.find("\r\n\r\n");
    return end == std::string::npos ? std::string("<no body>") : mail.message.substr(end + 4);
}

int occurrences(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

}  // namespace

class GuiTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir root_;
    QTemporaryDir settingsFolder_;  // the program's settings, away from the user's
    QStringList opened_;
    // Any mail not sent to a test's own server is refused on 127.0.0.1.
    test::RefusingPort nowhere_;
    // Each ending of the application: when, on which thread, with how many
    // mails delivered by then.
    struct Termination {
        qint64 atMs;
        bool onInterfaceThread;
        size_t delivered;
    };
    std::vector<Termination> terminations_;
    QElapsedTimer clock_;
    std::function<size_t()> deliveredSoFar_;

    static test::SmtpBehaviour acceptingServer() {
        test::SmtpBehaviour behaviour;
        behaviour.user = feedbackMailSettings().user;
        behaviour.password = feedbackMailSettings().password;
        return behaviour;
    }
    static void mailTo(int port) { setenv("KESTREL_SMTP_PORT", std::to_string(port).c_str(), 1); }
    void watchTerminations(const test::SmtpTestServer* server) {
        terminations_.clear();
        clock_.start();
        deliveredSoFar_ = [server] { return server->deliveries().size(); };
    }

    std::unique_ptr<KestrelMainWindow> openWindow(const QString& root) {
        auto window = std::make_unique<KestrelMainWindow>(root.toStdString());
        window->show();
        window->showIphoneDiskView();
        return window;
    }

    int rowOf(KestrelMainWindow& window, const std::string& deviceName) {
        const auto& nodes = window.controller().deviceController.arrangedObjects();
        for (size_t i = 0; i < nodes.size(); ++i) {
            if (nodes[i]->strDeviceName == deviceName) return static_cast<int>(i);
        }
        return -1;
    }

    // Opens the window on the test root, scans the named backup through the
    // list and its scan control, and answers the closing alert.
    std::unique_ptr<KestrelMainWindow> scanned(const std::string& deviceName,
                                               std::shared_ptr<testing::AlertRecord>* alert = nullptr) {
        auto window = openWindow(root_.path());
        const int row = rowOf(*window, deviceName);
        window->findChild<QTableView*>("diskTableView")->selectRow(row);
        auto answered = answerNextAlert("Ok");
        window->findChild<QPushButton*>("button")->click();
        spinUntil([&] {
            return answered->answered && !window->controller().isScanning();
        });
        if (alert) *alert = answered;
        return window;
    }

    static QString labelText(QWidget& window, const char* name) {
        auto* label = window.findChild<QLabel*>(name);
        return label ? label->text() : QStringLiteral("<missing %1>").arg(name);
    }

private slots:
    void initTestCase() {
        QVERIFY(root_.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsFolder_.path());
        for (const gen::BackupSpec& plan : {gen::demoSpec(), plainSpec()}) {
            const auto folder = std::filesystem::path(root_.path().toStdString()) / gen::backupFolderName(plan.device);
            QCOMPARE(QString::fromStdString(gen::writeBackup(folder, plan)), QString());
        }
        urlOpener() = [this](const QUrl& url) { opened_ << url.toString(); };
        applicationTerminator() = [this] {
            terminations_.push_back({clock_.isValid() ? clock_.elapsed() : -1, QThread::currentThread() == qApp->thread(),
                                     deliveredSoFar_ ? deliveredSoFar_() : 0});
        };
        setenv("KESTREL_SMTP_HOST", "127.0.0.1", 1);
        mailTo(nowhere_.port());
        setMailTimeouts({std::chrono::milliseconds(500), std::chrono::milliseconds(800)});
    }

    void cleanup() {
        mailTo(nowhere_.port());
        deliveredSoFar_ = nullptr;
        setSendEmailTimerIntervalForTesting(std::chrono::milliseconds(10000));
    }

    // ---- Start-up and choosing ----

    void listShowsBackupsWithRowZeroChosenThenTheWelcomeSheet() {
        KestrelMainWindow window(root_.path().toStdString());
        window.show();
        window.applicationDidFinishLaunching();
        auto* list = window.findChild<QTableView*>("diskTableView");
        auto* button = window.findChild<QPushButton*>("button");
        QCOMPARE(list->model()->rowCount(), 2);
        QStringList names;
        for (int row = 0; row < 2; ++row) names << list->model()->index(row, 0).data().toString();
        names.sort();
        QCOMPARE(names, (QStringList{"Emma's iPhone", "Plain iPhone"}));
        QCOMPARE(list->selectionModel()->selectedRows().value(0).row(), 0);
        QVERIFY(button->isEnabled());
        auto* lead = window.findChild<QDialog*>("leadWindow");
        QVERIFY(lead->isVisible());
        window.findChild<QPushButton*>("startBtn")->click();
        QVERIFY(!lead->isVisible());
        // The scan control follows the selection.
        list->clearSelection();
        QVERIFY(!button->isEnabled());
        list->selectRow(1);
        QVERIFY(button->isEnabled());
        QCOMPARE(window.size(), QSize(849, 560));
    }

    void anEmptyRootAlertsBeforeTheWelcomeSheet() {
        QTemporaryDir empty;
        KestrelMainWindow window(empty.path().toStdString());
        window.show();
        bool welcomeShownFirst = true;
        auto alert = answerNextAlert(" Ok ", [&](QMessageBox*) {
            welcomeShownFirst = window.findChild<QDialog*>("leadWindow")->isVisible();
        });
        window.applicationDidFinishLaunching();
        QVERIFY(alert->answered);
        QCOMPARE(alert->text, QString("No iTunes backup files found !"));
        QCOMPARE(alert->informative, QString("Please backup your iOS device with iTunes ,and run again after the "
                                             "backup operation has completed ."));
        QVERIFY(!welcomeShownFirst);
        QVERIFY(window.findChild<QDialog*>("leadWindow")->isVisible());
        QVERIFY(!window.findChild<QPushButton*>("button")->isEnabled());
        QCOMPARE(window.findChild<QTableView*>("diskTableView")->model()->rowCount(), 0);
    }

    void aChosenFolderIsListedAndRememberedForTheNextStart() {
        const QString single =
            root_.path() + "/" + QString::fromStdString(gen::backupFolderName(gen::demoSpec().device));
        {
            auto window = openWindow(root_.path());
            auto* list = window->findChild<QTableView*>("diskTableView");
            QCOMPARE(list->model()->rowCount(), 2);
            // The control opens a folder dialog; cancelling it changes nothing.
            bool dialogSeen = false;
            QTimer::singleShot(0, window.get(), [&] {
                spinUntil([&] { return qobject_cast<QFileDialog*>(QApplication::activeModalWidget()) != nullptr; }, 5000);
                if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
                    dialogSeen = true;
                    dialog->reject();
                }
            });
            window->findChild<QPushButton*>("chooseFolderBtn")->click();
            QVERIFY(dialogSeen);
            QCOMPARE(list->model()->rowCount(), 2);
            // A folder that is one backup itself, as idevicebackup2 writes them.
            window->chooseBackupFolder(single);
            QCOMPARE(list->model()->rowCount(), 1);
            QCOMPARE(list->model()->index(0, 0).data().toString(), QString("Emma's iPhone"));
            QVERIFY(window->findChild<QPushButton*>("button")->isEnabled());
        }
        // The next start without a folder given lists the chosen one.
        {
            KestrelMainWindow window;
            window.show();
            window.showIphoneDiskView();
            QCOMPARE(QString::fromStdString(window.controller().backupRoot()), single);
            QCOMPARE(window.findChild<QTableView*>("diskTableView")->model()->rowCount(), 1);
        }
        QSettings(QStringLiteral("kestrel"), QStringLiteral("kestrel-gui")).remove(KestrelMainWindow::kBackupFolderKey);
    }

    // ---- Scanning and finishing ----

    void startingAScanShowsTheScanPanelWithEveryControlOff() {
        auto window = openWindow(root_.path());
        window->findChild<QTableView*>("diskTableView")->selectRow(rowOf(*window, "Emma's iPhone"));
        auto answered = answerNextAlert("Ok");
        window->findChild<QPushButton*>("button")->click();
        // Before this thread runs anything the worker hands it, the scan stage is up.
        QCOMPARE(window->size(), QSize(850, 620));
        QCOMPARE(window->minimumSize(), QSize(850, 620));
        QCOMPARE(window->maximumSize(), QSize(850, 620));
        ResultView* view = window->resultView();
        QCOMPARE(view->customView()->currentWidget(), view->scanPanel());
        QVERIFY(!window->findChild<QWidget*>("mainView")->isVisible());
        QCOMPARE(labelText(*window, "backupNameInfolab"), QString("Emma's iPhone"));
        QCOMPARE(labelText(*window, "backupSerialInfolab"), QString("F2LKQ7H3DTWD"));
        QVERIFY(window->findChild<QWidget*>("scanProgressor")->isVisible());
        QVERIFY(!window->findChild<QCheckBox*>("checkBtn")->isVisible());
        for (const char* name : {"homeBtn", "saveBtn", "photoBtn", "contactBtn", "messageBtn", "noteBtn", "callBtn",
                                 "facebookBtn", "twitterBtn", "feedBackBtn"}) {
            QVERIFY2(!window->findChild<QPushButton*>(name)->isEnabled(), name);
        }
        QVERIFY(window->findChild<QPushButton*>("supprotBtn")->isEnabled());
        QVERIFY(spinUntil([&] { return answered->answered && !window->controller().isScanning(); }));
    }

    void aScanEndsOnTheMessageListWithItsCounts() {
        std::shared_ptr<testing::AlertRecord> alert;
        auto window = scanned("Plain iPhone", &alert);
        QCOMPARE(alert->text, QString(kScanFinishedAlert));
        QCOMPARE(alert->buttons, QStringList{"Ok"});
        QCOMPARE(window->size(), QSize(850, 620));
        ResultView* view = window->resultView();
        QCOMPARE(view->customView()->currentWidget(), view->panel(Category::Messages));
        QCOMPARE(labelText(*window, "contactNumlab"), QString("Contacts:  3"));
        QCOMPARE(labelText(*window, "messageNumlab"), QString("Messages:  6"));
        QCOMPARE(labelText(*window, "delMessageNumlab"), QString("Messages:  0"));
        QCOMPARE(labelText(*window, "photovideoNumlab"), QString("Photo&Video:  0"));
        QCOMPARE(labelText(*window, "backupNameInfolab"), QString("Plain iPhone"));
        QCOMPARE(labelText(*window, "iOSTypeInfolab"), QString("6.1.3"));
        QVERIFY(!window->findChild<QWidget*>("scanProgressor")->isVisible());
        QCOMPARE(labelText(*window, "progressTextField"), QString("0%"));
        // Every message listed, row 0 selected and previewed.
        auto* table = view->table(Category::Messages);
        QCOMPARE(table->model()->rowCount(), 6);
        QCOMPARE(table->selectionModel()->selectedRows().size(), 1);
        QCOMPARE(table->selectionModel()->selectedRows().value(0).row(), 0);
        const TovMessageNode& first = *view->core().messageController[0];
        QCOMPARE(labelText(*window, "messageNamelab"), "Name: " + QString::fromStdString(first.messageName()));
        QCOMPARE(window->findChild<QTextEdit*>("messageConteView")->toPlainText(),
                 QString::fromStdString(first.messageContent()));
        // Only the Messages category and the way home are open.
        QVERIFY(window->findChild<QPushButton*>("messageBtn")->isEnabled());
        QVERIFY(!window->findChild<QPushButton*>("contactBtn")->isEnabled());
        QVERIFY(window->findChild<QPushButton*>("homeBtn")->isEnabled());
        QVERIFY(!window->findChild<QPushButton*>("saveBtn")->isEnabled());
        QVERIFY(window->findChild<QCheckBox*>("checkBtn")->isVisible());
    }

    void theDemoScanShowsItsDeletedMessagesInTheCaptions() {
        auto window = scanned("Emma's iPhone");
        TovResultViewController& core = window->resultView()->core();
        int deleted = 0;
        for (const auto& m : core.messageArray) deleted += m->bDeleted() ? 1 : 0;
        QVERIFY(deleted > 0);
        QCOMPARE(labelText(*window, "delMessageNumlab"), QString("Messages:  %1").arg(deleted));
        QCOMPARE(labelText(*window, "messageNumlab"),
                 QString("Messages:  %1").arg(static_cast<int>(core.messageArray.size()) - deleted));
        QCOMPARE(window->resultView()->table(Category::Messages)->model()->rowCount(),
                 static_cast<int>(core.messageArray.size()));
    }

    // ---- Encrypted backups ----

    void anEncryptedBackupShowsALockAndOpensAfterAWrongPassword() {
        // A root of its own: a plain backup and an encrypted one; its own
        // $TMPDIR, to see where the decrypted databases go and that they go.
        QTemporaryDir root, scratch, tmp;
        const std::filesystem::path rootPath = root.path().toStdString();
        gen::BackupSpec open = plainSpec();
        open.device.deviceName = "Open iPhone";
        open.device.serial = "OPEN00000001";
        QCOMPARE(QString::fromStdString(gen::writeBackup(rootPath / "a", open)), QString());
        gen::BackupSpec locked = plainSpec();
        locked.device.deviceName = "Locked iPhone";
        locked.device.serial = "LOCK00000001";
        const std::filesystem::path plainTwin = std::filesystem::path(scratch.path().toStdString()) / "plain";
        QCOMPARE(QString::fromStdString(gen::writeBackup(plainTwin, locked)), QString());
        gen::EncryptOptions options;
        options.password = "open sesame";
        options.sha256Rounds = 400000;  // long enough to watch the sheet work
        QCOMPARE(QString::fromStdString(gen::writeEncryptedTwin(plainTwin, rootPath / "b", options)), QString());
        const QByteArray oldTmp = qgetenv("TMPDIR");
        qputenv("TMPDIR", tmp.path().toUtf8());
        auto tmpEntries = [&] { return QDir(tmp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot); };
        {
            auto window = openWindow(root.path());
            auto* list = window->findChild<QTableView*>("diskTableView");
            QCOMPARE(list->model()->rowCount(), 2);
            const int lockedRow = rowOf(*window, "Locked iPhone");
            const int openRow = rowOf(*window, "Open iPhone");
            const QModelIndex lockedName = list->model()->index(lockedRow, 0);
            const QModelIndex openName = list->model()->index(openRow, 0);
            // The lock: a wider icon (the padlock beside the device), the mark and a tooltip.
            QVERIFY(lockedName.data(BackupListModel::kEncryptedRole).toBool());
            QVERIFY(!openName.data(BackupListModel::kEncryptedRole).toBool());
            QCOMPARE(lockedName.data(Qt::DecorationRole).value<QPixmap>().width(),
                     openName.data(Qt::DecorationRole).value<QPixmap>().width() + 14);
            QVERIFY(lockedName.data(Qt::ToolTipRole).toString().contains("encrypted backup"));
            QCOMPARE(lockedName.data().toString(), QString("Locked iPhone"));

            // Starting its scan asks for the password; no scan runs yet.
            list->selectRow(lockedRow);
            window->findChild<QPushButton*>("button")->click();
            PasswordSheet* sheet = window->passwordSheet();
            QVERIFY(sheet->isVisible());
            QVERIFY(!window->controller().isScanning());
            auto* field = sheet->findChild<QLineEdit*>("passwordField");
            QCOMPARE(field->echoMode(), QLineEdit::Password);
            auto* message = sheet->findChild<QLabel*>("passwordMessage");
            auto* busy = sheet->findChild<QProgressBar*>("passwordBusy");

            // A wrong password: the sheet works on a worker thread while this
            // thread keeps serving events, then says so and stays for another try.
            QTest::keyClicks(field, "wrong");
            int ticks = 0;
            QTimer ticker;
            connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
            ticker.start(5);
            sheet->findChild<QPushButton*>("passwordOpenBtn")->click();
            QVERIFY(sheet->isWorking());
            QVERIFY(busy->isVisible());
            QVERIFY(!field->isEnabled());
            QVERIFY(spinUntil([&] { return !sheet->isWorking(); }));
            ticker.stop();
            QVERIFY2(ticks >= 5, qPrintable(QString::number(ticks)));
            QCOMPARE(message->text(), QString("wrong password for this backup"));
            QVERIFY(sheet->isVisible());
            QVERIFY(field->isEnabled());
            QVERIFY(field->text().isEmpty());
            QVERIFY(!busy->isVisible());
            QVERIFY(!window->controller().isScanning());
            QCOMPARE(tmpEntries(), QStringList());

            // The right one: the sheet closes and the scan runs on the
            // decrypted copies in a private folder under $TMPDIR.
            QTest::keyClicks(field, QString::fromStdString(options.password));
            auto answered = answerNextAlert("Ok");
            QTest::keyClick(field, Qt::Key_Return);
            QVERIFY(spinUntil([&] { return window->controller().isScanning() || answered->answered; }));
            QVERIFY(!sheet->isVisible());
            QVERIFY(spinUntil([&] { return answered->answered && !window->controller().isScanning(); }));
            QCOMPARE(labelText(*window, "backupNameInfolab"), QString("Locked iPhone"));
            QCOMPARE(labelText(*window, "contactNumlab"), QString("Contacts:  3"));
            QCOMPARE(labelText(*window, "messageNumlab"), QString("Messages:  6"));
            // Once the scan has ended its decrypted databases are removed.
            QVERIFY(spinUntil([&] { return window->decryptedFolder() == nullptr; }, 5000));
            QCOMPARE(tmpEntries(), QStringList());
        }
        {
            // Closing the window while the sheet derives the key cancels the
            // work and leaves nothing behind.
            auto window = openWindow(root.path());
            window->findChild<QTableView*>("diskTableView")->selectRow(rowOf(*window, "Locked iPhone"));
            window->findChild<QPushButton*>("button")->click();
            auto* field = window->passwordSheet()->findChild<QLineEdit*>("passwordField");
            QTest::keyClicks(field, QString::fromStdString(options.password));
            window->passwordSheet()->findChild<QPushButton*>("passwordOpenBtn")->click();
            QVERIFY(window->passwordSheet()->isWorking());
            QVERIFY(spinUntil([&] { return !tmpEntries().isEmpty(); }, 5000));  // the working folder is made
        }
        QCOMPARE(tmpEntries(), QStringList());
        {
            // Cancel while the key is derived: the sheet closes, nothing scans.
            auto window = openWindow(root.path());
            window->findChild<QTableView*>("diskTableView")->selectRow(rowOf(*window, "Locked iPhone"));
            window->findChild<QPushButton*>("button")->click();
            PasswordSheet* sheet = window->passwordSheet();
            QTest::keyClicks(sheet->findChild<QLineEdit*>("passwordField"), QString::fromStdString(options.password));
            sheet->findChild<QPushButton*>("passwordOpenBtn")->click();
            sheet->findChild<QPushButton*>("passwordCancelBtn")->click();
            QVERIFY(spinUntil([&] { return !sheet->isWorking() && !sheet->isVisible(); }));
            QVERIFY(!window->controller().isScanning());
            QVERIFY(window->resultView() == nullptr);
            QCOMPARE(tmpEntries(), QStringList());
        }
        if (oldTmp.isNull()) {
            qunsetenv("TMPDIR");
        } else {
            qputenv("TMPDIR", oldTmp);
        }
    }

    void aDamagedEncryptedBackupSaysWhatIsWrong() {
        QTemporaryDir root, scratch, tmp;
        const std::filesystem::path rootPath = root.path().toStdString();
        const std::filesystem::path plainTwin = std::filesystem::path(scratch.path().toStdString()) / "plain";
        gen::BackupSpec shape = plainSpec();
        shape.device.deviceName = "Damaged iPhone";
        QCOMPARE(QString::fromStdString(gen::writeBackup(plainTwin, shape)), QString());
        gen::EncryptOptions options;
        options.damage = gen::EncryptDamage::MessageDBKeyDamaged;
        QCOMPARE(QString::fromStdString(gen::writeEncryptedTwin(plainTwin, rootPath / "a", options)), QString());
        const QByteArray oldTmp = qgetenv("TMPDIR");
        qputenv("TMPDIR", tmp.path().toUtf8());
        {
            // One database cannot be decrypted: an alert names it, then the
            // scan runs on the other.
            auto window = openWindow(root.path());
            window->findChild<QTableView*>("diskTableView")->selectRow(0);
            window->findChild<QPushButton*>("button")->click();
            PasswordSheet* sheet = window->passwordSheet();
            QTest::keyClicks(sheet->findChild<QLineEdit*>("passwordField"), QString::fromStdString(options.password));
            auto remark = answerNextAlert(" Ok ");
            sheet->findChild<QPushButton*>("passwordOpenBtn")->click();
            QVERIFY(spinUntil([&] { return remark->answered; }));
            QCOMPARE(remark->text, QString("Some files of this backup could not be decrypted."));
            QVERIFY2(remark->informative.contains("HomeDomain/Library/SMS/sms.db: "), qPrintable(remark->informative));
            auto finished = answerNextAlert("Ok");
            QVERIFY(spinUntil([&] { return finished->answered && !window->controller().isScanning(); }));
            QCOMPARE(labelText(*window, "contactNumlab"), QString("Contacts:  3"));
            QCOMPARE(labelText(*window, "messageNumlab"), QString("Messages:  0"));
            QVERIFY(spinUntil([&] { return window->decryptedFolder() == nullptr; }, 5000));
        }
        std::filesystem::remove_all(rootPath / "a");
        options.damage = gen::EncryptDamage::TruncatedKeybag;
        QCOMPARE(QString::fromStdString(gen::writeEncryptedTwin(plainTwin, rootPath / "a", options)), QString());
        {
            // The backup cannot be opened at all: the sheet says why, and
            // offers no further try.
            auto window = openWindow(root.path());
            window->findChild<QTableView*>("diskTableView")->selectRow(0);
            window->findChild<QPushButton*>("button")->click();
            PasswordSheet* sheet = window->passwordSheet();
            QTest::keyClicks(sheet->findChild<QLineEdit*>("passwordField"), QString::fromStdString(options.password));
            sheet->findChild<QPushButton*>("passwordOpenBtn")->click();
            QVERIFY(spinUntil([&] { return !sheet->isWorking(); }));
            const QString message = sheet->findChild<QLabel*>("passwordMessage")->text();
            QVERIFY2(message.startsWith("This backup cannot be opened: damaged backup: the keybag"), qPrintable(message));
            QVERIFY(!sheet->findChild<QPushButton*>("passwordOpenBtn")->isEnabled());
            QVERIFY(!window->controller().isScanning());
            sheet->findChild<QPushButton*>("passwordCancelBtn")->click();
            QVERIFY(!sheet->isVisible());
        }
        QCOMPARE(QDir(tmp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
        if (oldTmp.isNull()) {
            qunsetenv("TMPDIR");
        } else {
            qputenv("TMPDIR", oldTmp);
        }
    }

    // ---- Browsing ----

    void tickingOneOfThreeSelectedRowsTicksAllThree() {
        auto window = scanned("Emma's iPhone");
        ResultView* view = window->resultView();
        RecordTableView* table = view->table(Category::Messages);
        table->selectionModel()->clearSelection();
        for (int row : {0, 1, 2}) {
            table->selectionModel()->select(table->model()->index(row, 1),
                                            QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, table->visualRect(table->model()->index(1, 0)).center());
        const auto& shown = view->core().messageController;
        for (size_t i = 0; i < shown.size(); ++i) QCOMPARE(shown[i]->bSelected(), i < 3);
        QCOMPARE(table->model()->index(2, 0).data(Qt::CheckStateRole).toInt(), int(Qt::Checked));
        QVERIFY(window->findChild<QLabel*>("selecteFilelab")->isVisible());
        QCOMPARE(labelText(*window, "selecteFilelab"), QString("You select 3 files in the recovery results."));
        QVERIFY(window->findChild<QPushButton*>("saveBtn")->isEnabled());
        // The selection is unchanged by the click; a second click unticks all three.
        QCOMPARE(table->selectionModel()->selectedRows().size(), 3);
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, table->visualRect(table->model()->index(0, 0)).center());
        QCOMPARE(view->core().selectedFilesNum, 0);
        QVERIFY(!window->findChild<QLabel*>("selecteFilelab")->isVisible());
        QVERIFY(!window->findChild<QPushButton*>("saveBtn")->isEnabled());
        // The box of a row outside the selection ticks that row and every
        // selected one; the selection stays.
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, table->visualRect(table->model()->index(5, 0)).center());
        for (size_t i = 0; i < shown.size(); ++i) QCOMPARE(shown[i]->bSelected(), i < 3 || i == 5);
        QCOMPARE(labelText(*window, "selecteFilelab"), QString("You select 4 files in the recovery results."));
        QCOMPARE(table->selectionModel()->selectedRows().size(), 3);
    }

    void theDeletedOnlyBoxFiltersTheList() {
        {
            auto window = scanned("Plain iPhone");
            auto* box = window->findChild<QCheckBox*>("checkBtn");
            box->click();
            QCOMPARE(window->resultView()->table(Category::Messages)->model()->rowCount(), 0);
            box->click();
            QCOMPARE(window->resultView()->table(Category::Messages)->model()->rowCount(), 6);
        }
        auto window = scanned("Emma's iPhone");
        window->findChild<QCheckBox*>("checkBtn")->click();
        const auto& shown = window->resultView()->core().messageController;
        QVERIFY(!shown.empty());
        for (const auto& m : shown) QVERIFY(m->bDeleted());
        auto* table = window->resultView()->table(Category::Messages);
        QCOMPARE(table->model()->rowCount(), static_cast<int>(shown.size()));
        QCOMPARE(table->selectionModel()->selectedRows().value(0).row(), 0);
        QCOMPARE(labelText(*window, "messageNamelab"), "Name: " + QString::fromStdString(shown[0]->messageName()));
    }

    void aHeadingClickSortsByNameAndTheNextReverses() {
        auto window = scanned("Emma's iPhone");
        RecordTableView* table = window->resultView()->table(Category::Messages);
        QHeaderView* header = table->horizontalHeader();
        auto names = [&] {
            QStringList list;
            for (int row = 0; row < table->model()->rowCount(); ++row) list << table->model()->index(row, 1).data().toString();
            return list;
        };
        auto clickHeading = [&](int section) {
            QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                              QPoint(header->sectionViewportPosition(section) + 5, header->height() / 2));
        };
        const QStringList arrival = names();
        clickHeading(0);  // the check column does not sort
        QCOMPARE(names(), arrival);
        for (int round = 0; round < 2; ++round) {
            const bool ascending = !sortDirections().name.load();
            clickHeading(3);  // any column but the check column sorts by name
            const QStringList sorted = names();
            QVERIFY(sorted != arrival);
            for (int i = 1; i < sorted.size(); ++i) {
                const std::string a = sorted[i - 1].toStdString(), b = sorted[i].toStdString();
                QVERIFY2(ascending ? a <= b : a >= b, qPrintable(sorted[i - 1] + " / " + sorted[i]));
            }
            QCOMPARE(table->selectionModel()->selectedRows().value(0).row(), 0);
        }
    }

    // ---- Exporting ----

    void anExportWritesTheTickedMessagesAndShowsTheFolder() {
        auto window = scanned("Emma's iPhone");
        RecordTableView* table = window->resultView()->table(Category::Messages);
        table->selectionModel()->clearSelection();
        for (int row : {4, 5, 6}) {
            table->selectionModel()->select(table->model()->index(row, 1),
                                            QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, table->visualRect(table->model()->index(5, 0)).center());
        window->findChild<QPushButton*>("saveBtn")->click();
        auto* panel = window->findChild<QFileDialog*>("sp");
        QVERIFY(panel && panel->isVisible());
        const QString proposed = QFileInfo(panel->selectedFiles().value(0)).fileName();
        QVERIFY2(QRegularExpression("^Kestrel \\d{4}-\\d{2}-\\d{2} - \\d{2}\\.\\d{2}\\.\\d{2}$").match(proposed).hasMatch(),
                 qPrintable(proposed));
        QTemporaryDir out;
        panel->setDirectory(out.path());
        panel->findChild<QLineEdit*>("fileNameEdit")->setText("Recovered");  // typed by the user
        opened_.clear();
        static_cast<QDialog*>(panel)->accept();
        TovResultViewController& core = window->resultView()->core();
        QVERIFY(spinUntil([&] { return !core.isRecovering(); }));
        QVERIFY(spinUntil([&] { return !window->findChild<QDialog*>("saveWindow")->isVisible() && !opened_.isEmpty(); }));
        const std::filesystem::path dest = out.path().toStdString() + "/Recovered";
        const std::string messages = readFile(dest / "Message" / "Messages.txt");
        QCOMPARE(occurrences(messages, "Content:"), 3);
        QVERIFY(messages.find("Content:" + core.messageController[5]->messageContent()) != std::string::npos);
        QVERIFY(std::filesystem::exists(dest / "Contact" / "Contacts.txt"));
        QCOMPARE(opened_, QStringList{QUrl::fromLocalFile(QString::fromStdString(dest.string())).toString()});
        QCOMPARE(labelText(*window, "savepercentlab"), QString("0%"));
    }

    void theSavePanelsFormatBoxesChooseTheReportsAndProblemsAreShown() {
        auto window = scanned("Emma's iPhone");
        TovResultViewController& core = window->resultView()->core();
        RecordTableView* table = window->resultView()->table(Category::Messages);
        table->selectionModel()->clearSelection();
        table->selectionModel()->select(table->model()->index(2, 1),
                                        QItemSelectionModel::Select | QItemSelectionModel::Rows);
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, table->visualRect(table->model()->index(2, 0)).center());
        auto openPanel = [&] {
            window->findChild<QPushButton*>("saveBtn")->click();
            return window->findChild<QFileDialog*>("sp");
        };
        QFileDialog* panel = openPanel();
        QVERIFY(panel && panel->isVisible());
        auto* txt = panel->findChild<QCheckBox*>("formatTxt");
        auto* html = panel->findChild<QCheckBox*>("formatHtml");
        QVERIFY(txt && html && panel->findChild<QCheckBox*>("formatCsv") && panel->findChild<QCheckBox*>("formatJson"));
        QVERIFY(txt->isVisible());
        QVERIFY(txt->isChecked());
        QVERIFY(!html->isChecked());
        txt->setChecked(false);
        QVERIFY(txt->isChecked());  // the last ticked box stays ticked
        html->setChecked(true);
        txt->setChecked(false);
        QTemporaryDir out;
        panel->setDirectory(out.path());
        panel->findChild<QLineEdit*>("fileNameEdit")->setText("Report");
        static_cast<QDialog*>(panel)->accept();
        QVERIFY(spinUntil([&] { return !core.isRecovering(); }));
        QVERIFY(spinUntil([&] { return !window->findChild<QDialog*>("saveWindow")->isVisible(); }));
        const std::filesystem::path dest = out.path().toStdString() + "/Report";
        QVERIFY(std::filesystem::exists(dest / "report.html"));
        QVERIFY(std::filesystem::exists(dest / "manifest.json"));
        QVERIFY(!std::filesystem::exists(dest / "Message"));
        QVERIFY(readFile(dest / "report.html").find(core.messageController[2]->messageDate()) != std::string::npos);

        // The choice is kept; a folder that cannot be made is shown in an alert.
        panel = openPanel();
        QVERIFY(panel->findChild<QCheckBox*>("formatHtml")->isChecked());
        QVERIFY(!panel->findChild<QCheckBox*>("formatTxt")->isChecked());
        std::ofstream(out.path().toStdString() + "/a-file") << "x";
        panel->setDirectory(out.path());
        panel->findChild<QLineEdit*>("fileNameEdit")->setText("a-file");
        // The panel first asks whether to replace the file. The export's
        // alert can open inside the event loop that answers that question, so
        // its answer is set up before the question is answered.
        auto alert = std::make_shared<std::shared_ptr<kestrel::ui::testing::AlertRecord>>();
        auto replace = answerNextAlert("&Yes", [alert](QMessageBox*) { *alert = answerNextAlert("Ok"); });
        QMetaObject::invokeMethod(panel, [panel] { static_cast<QDialog*>(panel)->accept(); }, Qt::QueuedConnection);
        QVERIFY(spinUntil([&] { return replace->answered; }));
        QVERIFY(spinUntil([&] { return *alert && (*alert)->answered; }));
        QVERIFY2((*alert)->text.contains("could not be exported"), qPrintable((*alert)->text));
        QVERIFY2((*alert)->informative.contains("a-file"), qPrintable((*alert)->informative));
    }

    // ---- Going home ----

    void goingHomeAsksThenEmptiesTheLists() {
        auto window = scanned("Emma's iPhone");
        TovResultViewController& core = window->resultView()->core();
        const size_t messages = core.messageArray.size();
        auto cancel = answerNextAlert("Cancel");
        window->findChild<QPushButton*>("homeBtn")->click();
        QVERIFY(cancel->answered);
        QCOMPARE(cancel->text, QString(kGoHomeAlert));
        QCOMPARE(cancel->buttons, (QStringList{" Back ", "Cancel"}));
        QCOMPARE(core.messageArray.size(), messages);
        QVERIFY(window->resultView()->isVisible());

        auto back = answerNextAlert(" Back ");
        window->findChild<QPushButton*>("homeBtn")->click();
        QVERIFY(back->answered);
        QVERIFY(core.messageArray.empty());
        QVERIFY(core.contactArray.empty());
        QCOMPARE(window->resultView()->table(Category::Messages)->model()->rowCount(), 0);
        QVERIFY(!window->resultView()->isVisible());
        QVERIFY(window->findChild<QTableView*>("diskTableView")->isVisible());
        QCOMPARE(window->size(), QSize(849, 560));

        // A second scan starts again from the scan panel and empty counts.
        auto again = answerNextAlert("Ok");
        window->findChild<QTableView*>("diskTableView")->selectRow(rowOf(*window, "Plain iPhone"));
        window->findChild<QPushButton*>("button")->click();
        QVERIFY(spinUntil([&] { return again->answered && !window->controller().isScanning(); }));
        QCOMPARE(labelText(*window, "messageNumlab"), QString("Messages:  6"));
        QCOMPARE(window->resultView()->table(Category::Messages)->model()->rowCount(), 6);
    }

    // ---- Leaving ----

    void theWindowRefusesToCloseAndShowsTheQuitSheet() {
        auto window = openWindow(root_.path());
        QVERIFY(!window->close());
        QVERIFY(window->isVisible());
        auto* sheet = window->findChild<QDialog*>("cryWindow");
        QVERIFY(sheet->isVisible());
        QCOMPARE(window->findChild<QTextEdit*>("suggestionView")->toPlainText(), QString("write something."));
        QCOMPARE(sheet->y(), window->geometry().y());  // 560 high: the sheet stays where proposed
        window->findChild<QPushButton*>("cancelBtn")->click();
        QVERIFY(!sheet->isVisible());
        QVERIFY(window->isVisible());
    }

    void theFeedbackWindowSendsInTheBackgroundThenClosingAsksToExit() {
        test::SmtpBehaviour slow = acceptingServer();
        slow.greetingDelay = std::chrono::milliseconds(300);
        test::SmtpTestServer server(slow);
        auto window = scanned("Plain iPhone");
        mailTo(server.port());
        ResultView* view = window->resultView();
        window->findChild<QPushButton*>("feedBackBtn")->click();
        QWidget* feedback = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (w->objectName() == "feedbackWindow") feedback = w;
        }
        QVERIFY(feedback && feedback->isVisible());
        auto* text = feedback->findChild<TovFeedBackView*>("feedbackView");
        auto* email = feedback->findChild<QLineEdit*>("feedbackEmailVaule");
        QCOMPARE(text->toPlainText(), QString(kFeedbackWindowPlaceholder));
        QCOMPARE(email->text(), QString());

        // The link again while the window is open: both fields reset, the window stays put.
        feedback->move(40, 30);
        const QPoint where = feedback->pos();
        text->setPlainText("half written");
        email->setText("half@example.org");
        window->findChild<QPushButton*>("feedBackBtn")->click();
        QCOMPARE(feedback->pos(), where);
        QCOMPARE(text->toPlainText(), QString(kFeedbackWindowPlaceholder));
        QCOMPARE(email->text(), QString());

        // Empty e-mail, "abc": the send returns at once and the mail follows.
        QTest::mouseClick(text->viewport(), Qt::LeftButton, {}, QPoint(10, 8));
        QTest::keyClicks(text, "abc");
        feedback->findChild<QPushButton*>("sendFeedBackBtn")->click();
        QVERIFY(!feedback->isVisible());
        QVERIFY(window->controller().bFeedBack);
        QVERIFY(view->sendEmailThreader() != nullptr);
        QVERIFY(server.deliveries().empty());
        auto first = view->sendEmailThreader();

        // A second send right behind it waits for the first.
        window->findChild<QPushButton*>("feedBackBtn")->click();
        email->setText("me@example.org");
        text->setPlainText("Grüße\n.dot");
        feedback->findChild<QPushButton*>("sendFeedBackBtn")->click();
        QVERIFY(view->sendEmailThreader() != first);
        QVERIFY(spinUntil([&] { return server.deliveries().size() == 2; }, 10000));
        // Each send whole before the other (login, mail, login, mail), in
        // whichever order the two threads reached the mail library.
        const auto sessions = server.sessions();
        QCOMPARE(sessions.size(), size_t(4));
        QVERIFY(!sessions[0].delivered && sessions[1].delivered && !sessions[2].delivered && sessions[3].delivered);
        std::set<std::string> bodies{mailBody(sessions[1]), mailBody(sessions[3])};
        QCOMPARE(bodies, (std::set<std::string>{"RegEmail: \r\nSuggestion:abc\r\n",
                                                "RegEmail: me@example.org\r\nSuggestion:Grüße\r\n.dot\r\n"}));
        QVERIFY(sessions[1].message.find("\r\nSubject: Kestrel\r\n") != std::string::npos);
        QVERIFY(first->waitFinished(std::chrono::seconds(5)) &&
                view->sendEmailThreader()->waitFinished(std::chrono::seconds(5)));

        auto alert = answerNextAlert("Cancel");
        QVERIFY(!window->close());
        QVERIFY(alert->answered);
        QCOMPARE(alert->text, QString("Are you sure you want to Exit ?"));
        QCOMPARE(alert->buttons, (QStringList{" Exit ", "Cancel"}));
        QVERIFY(window->isVisible());
        QVERIFY(!window->findChild<QDialog*>("cryWindow")->isVisible());
        QCOMPARE(server.deliveries().size(), size_t(2));
    }

    void theQuitSheetSendsItsTextThenEndsTheProgram() {
        test::SmtpTestServer server(acceptingServer());
        mailTo(server.port());
        auto window = openWindow(root_.path());
        window->close();
        auto* sheet = window->findChild<QDialog*>("cryWindow");
        auto* indicator = window->findChild<QProgressBar*>("senderIndicator");
        QVERIFY(sheet->isVisible());
        QVERIFY(!indicator->isVisible());
        watchTerminations(&server);
        window->findChild<QPushButton*>("sendBtn")->click();  // nothing typed
        QVERIFY(indicator->isVisible());
        QCOMPARE(indicator->maximum(), 0);  // busy, animated
        QVERIFY(window->emailTimer()->isActive());
        QCOMPARE(window->emailTimer()->interval(), 10000);
        QVERIFY(!window->emailTimer()->isSingleShot());
        QVERIFY(terminations_.empty());
        QVERIFY(spinUntil([&] { return !terminations_.empty(); }, 8000));
        // Ended by the finished mail, on the interface thread, after delivery.
        QCOMPARE(terminations_.size(), size_t(1));
        QVERIFY(terminations_[0].onInterfaceThread);
        QCOMPARE(terminations_[0].delivered, size_t(1));
        QVERIFY(terminations_[0].atMs < 8000);
        QVERIFY(!sheet->isVisible());
        QVERIFY(!indicator->isVisible());
        QCOMPARE(mailBody(server.deliveries()[0]), std::string("write something.\r\n"));
        QVERIFY(!window->controller().bFeedBack);
    }

    void theQuitSheetEndsOnTheTimerWhenTheServerNeverAnswers() {
        test::SmtpBehaviour silent;
        silent.silentFromStart = true;
        test::SmtpTestServer server(silent);
        mailTo(server.port());
        setSendEmailTimerIntervalForTesting(std::chrono::milliseconds(250));
        auto window = openWindow(root_.path());
        window->close();
        auto* sheet = window->findChild<QDialog*>("cryWindow");
        auto* view = window->findChild<TovFeedBackView*>("suggestionView");
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, QPoint(10, 8));
        QTest::keyClicks(view, "too slow");
        watchTerminations(&server);
        window->findChild<QPushButton*>("sendBtn")->click();
        // Cancel closes the sheet but does not stop the timer.
        window->findChild<QPushButton*>("cancelBtn")->click();
        QVERIFY(!sheet->isVisible());
        QVERIFY(window->emailTimer()->isActive());
        QVERIFY(spinUntil([&] { return !terminations_.empty(); }, 1500));
        QVERIFY(terminations_[0].atMs >= 240);
        QVERIFY(terminations_[0].onInterfaceThread);
        std::shared_ptr<MailThread> mail = window->emailThread();
        QVERIFY(!mail->isFinished());  // cut short
        QVERIFY(server.deliveries().empty());
        // The window goes while the mail is still on its way; the thread
        // finishes without it and asks for nothing more.
        window.reset();
        const size_t ended = terminations_.size();
        QVERIFY(mail->waitFinished(std::chrono::seconds(10)));
        QTest::qWait(50);
        QCOMPARE(terminations_.size(), ended);
        QCOMPARE(MailThread::running(), 0);
    }

    void sheetsOnTheResultsWindowSit78PointsLower() {
        auto window = scanned("Plain iPhone");
        window->close();
        auto* sheet = window->findChild<QDialog*>("cryWindow");
        QVERIFY(sheet->isVisible());
        QCOMPARE(sheet->y(), window->geometry().y() + 78);
        window->findChild<QPushButton*>("cancelBtn")->click();
    }

    // ---- Small controls ----

    void linkButtonsUnderlineWhileHovered() {
        auto window = scanned("Plain iPhone");
        auto* twitter = window->findChild<QPushButton*>("twitterBtn");
        QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
        QApplication::sendEvent(twitter, &enter);
        QVERIFY(twitter->font().underline());
        QCOMPARE(twitter->cursor().shape(), Qt::PointingHandCursor);
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(twitter, &leave);
        QVERIFY(!twitter->font().underline());
        QCOMPARE(twitter->cursor().shape(), Qt::ArrowCursor);
        // A category button is left as it is.
        auto* messages = window->findChild<QPushButton*>("messageBtn");
        const QFont before = messages->font();
        QApplication::sendEvent(messages, &enter);
        QCOMPARE(messages->font(), before);
    }

    void imageAndTextCellGeometry() {
        TovImageAndTextCell cell;
        const QRect frame(10, 40, 200, 20);
        QCOMPARE(cell.imageRectForBounds(frame), QRect());
        QCOMPARE(cell.titleRectForBounds(frame), QRect());
        QCOMPARE(cell.textFrame(frame), QRect(10, 45, 200, 15));
        QCOMPARE(cell.cellSize(QSize(50, 17)), QSize(53, 17));
        QPixmap image(16, 16);
        image.fill(Qt::red);
        cell.setImage(image);
        // Drawn with its lower-left corner at (x + 3, y + 17): it spans y + 1 .. y + 17.
        QCOMPARE(cell.imageDrawingPoint(frame), QPoint(13, 57));
        QCOMPARE(cell.imageDrawingRect(frame), QRect(13, 41, 16, 16));
        QCOMPARE(cell.imageRectForBounds(frame), QRect(13, 42, 16, 16));
        QCOMPARE(cell.titleRectForBounds(frame), QRect(29, 40, 181, 20));
        // The text starts 19 points from the left edge, 5 points lower.
        QCOMPARE(cell.textFrame(frame), QRect(29, 45, 181, 15));
        QCOMPARE(cell.editFrame(frame), QRect(29, 40, 181, 20));
        QCOMPARE(cell.cellSize(QSize(50, 17)), QSize(69, 17));
        QVERIFY(cell.hitsImage(QPoint(13, 40), frame));
        QVERIFY(!cell.hitsImage(QPoint(30, 45), frame));
    }

    void previewTextIgnoresClicksAndTyping() {
        TovTextView view;
        view.setPlainText("keep me");
        view.show();
        QTest::mouseDClick(view.viewport(), Qt::LeftButton, {}, QPoint(10, 8));
        QTest::keyClicks(&view, "xyz");
        QTest::keyClick(&view, Qt::Key_A, Qt::ControlModifier);
        QCOMPARE(view.toPlainText(), QString("keep me"));
        QVERIFY(!view.textCursor().hasSelection());
    }

    void bothFeedbackViewsClearEitherPlaceholderOnAClick() {
        auto window = scanned("Plain iPhone");
        window->resultView()->clickFeedBack();
        QList<TovFeedBackView*> views{window->findChild<TovFeedBackView*>("suggestionView")};
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (w->objectName() == "feedbackWindow") views << w->findChild<TovFeedBackView*>("feedbackView");
        }
        QCOMPARE(views.size(), 2);
        for (TovFeedBackView* view : views) {
            view->show();
            for (const QString& placeholder : {QString("write something."), QString(kFeedbackWindowPlaceholder)}) {
                view->showPlaceholder(placeholder);
                QCOMPARE(view->palette().color(QPalette::Text), QColor(Qt::gray));
                QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, QPoint(10, 8));
                QCOMPARE(view->toPlainText(), QString());
                QCOMPARE(view->palette().color(QPalette::Text), QColor(Qt::black));
                QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, QPoint(10, 8));
                QCOMPARE(view->toPlainText(), QString());
            }
            for (const QString& other : {QString("my words"), QString("write something. "), QString("Write something.")}) {
                view->setPlainText(other);
                QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, QPoint(10, 8));
                QCOMPARE(view->toPlainText(), other);
            }
        }
    }

    // ---- Evidence and stopping ----

    // Kind, size, modification time and bytes of every entry under `root`.
    static std::map<std::string, std::string> treeState(const std::filesystem::path& root) {
        std::map<std::string, std::string> state;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
            struct stat info {};
            if (::lstat(entry.path().c_str(), &info) != 0) continue;
            std::ifstream in(entry.path(), std::ios::binary);
            std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            state[entry.path().string()] = std::to_string(info.st_mode) + "/" + std::to_string(info.st_mtim.tv_sec) +
                                           "." + std::to_string(info.st_mtim.tv_nsec) + "/" + bytes;
        }
        return state;
    }
    static int workingFolderCount(const QString& tmp) {
        return static_cast<int>(QDir(tmp).entryList({"kestrel-scan-*"}, QDir::Dirs | QDir::Hidden).size());
    }

    void aScanThroughTheWindowLeavesTheBackupAsItWas() {
        QTemporaryDir tmp;
        const char* previous = getenv("TMPDIR");
        const std::string restore = previous ? previous : "";
        setenv("TMPDIR", tmp.path().toUtf8().constData(), 1);
        std::map<std::string, std::string> before;
        for (const auto& entry : std::filesystem::directory_iterator(root_.path().toStdString())) {
            auto part = treeState(entry.path());
            before.insert(part.begin(), part.end());
        }
        { auto window = scanned("Emma's iPhone"); }
        { auto window = scanned("Plain iPhone"); }
        std::map<std::string, std::string> after;
        for (const auto& entry : std::filesystem::directory_iterator(root_.path().toStdString())) {
            auto part = treeState(entry.path());
            after.insert(part.begin(), part.end());
        }
        QVERIFY(before == after);
        QCOMPARE(workingFolderCount(tmp.path()), 0);
        if (previous) setenv("TMPDIR", restore.c_str(), 1); else unsetenv("TMPDIR");
    }

    void theStopControlEndsAScanAndTheWindowIsReadyForAnother() {
        QTemporaryDir bigRoot;
        QTemporaryDir tmp;
        const char* previous = getenv("TMPDIR");
        const std::string restore = previous ? previous : "";
        setenv("TMPDIR", tmp.path().toUtf8().constData(), 1);
        gen::BackupSpec big = gen::syntheticSpec(60000, 500, 200, 0.1, 4);
        big.device.deviceName = "Big iPhone";
        const auto folder = std::filesystem::path(bigRoot.path().toStdString()) / gen::backupFolderName(big.device);
        QCOMPARE(QString::fromStdString(gen::writeBackup(folder, big)), QString());

        auto window = openWindow(bigRoot.path());
        window->findChild<QTableView*>("diskTableView")->selectRow(0);
        auto stoppedAlert = answerNextAlert("Ok");
        window->findChild<QPushButton*>("button")->click();
        QPushButton* stop = window->resultView()->stopButton();
        QVERIFY(stop != nullptr);
        QVERIFY(stop->isVisible());
        QVERIFY(stop->isEnabled());
        QElapsedTimer clock;
        clock.start();
        stop->click();
        QVERIFY(spinUntil([&] { return stoppedAlert->answered && !window->controller().isScanning(); }));
        qInfo("the Stop control ended the scan after %lld ms", static_cast<long long>(clock.elapsed()));
        QVERIFY(clock.elapsed() < 5000);
        QCOMPARE(stoppedAlert->text, QString(kScanStoppedAlert));
        QVERIFY(window->controller().scanStopped());
        QVERIFY(!stop->isVisible());
        QCOMPARE(workingFolderCount(tmp.path()), 0);

        // Home, then the same backup again, to its end.
        auto back = answerNextAlert(" Back ");
        window->findChild<QPushButton*>("homeBtn")->click();
        QVERIFY(back->answered);
        window->findChild<QTableView*>("diskTableView")->selectRow(0);
        auto finished = answerNextAlert("Ok");
        window->findChild<QPushButton*>("button")->click();
        QVERIFY(spinUntil([&] { return finished->answered && !window->controller().isScanning(); }, 60000));
        QCOMPARE(finished->text, QString(kScanFinishedAlert));
        QVERIFY(!window->controller().scanStopped());
        QVERIFY(window->resultView()->core().messageArray.size() > 50000);

        // Leaving during a scan stops it instead of waiting for its end.
        auto backAgain = answerNextAlert(" Back ");
        window->findChild<QPushButton*>("homeBtn")->click();
        QVERIFY(backAgain->answered);
        window->findChild<QTableView*>("diskTableView")->selectRow(0);
        window->findChild<QPushButton*>("button")->click();
        clock.restart();
        window.reset();
        qInfo("leaving during a scan took %lld ms", static_cast<long long>(clock.elapsed()));
        QVERIFY(clock.elapsed() < 5000);
        QCOMPARE(workingFolderCount(tmp.path()), 0);
        if (previous) setenv("TMPDIR", restore.c_str(), 1); else unsetenv("TMPDIR");
    }

    void theAboutWindowSwitchesTheDetailedLog() {
        KestrelMainWindow window(root_.path().toStdString());
        window.ClickAbout();
        auto* box = window.findChild<QCheckBox*>("debugLogBox");
        QVERIFY(box != nullptr);
        QVERIFY(!box->isChecked());
        QVERIFY(!debugLogging());
        box->click();
        QVERIFY(debugLogging());
        box->click();
        QVERIFY(!debugLogging());
    }
};

QTEST_MAIN(GuiTest)
#include "gui_test.moc"
