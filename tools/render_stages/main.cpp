// render_stages: draws each stage of the desktop program into PNG files,
// over two generated backups, on the offscreen platform.
//   render_stages [OUTPUT_DIR]   (default: stages)
// Pictures: 01-backup-list, 02-welcome-sheet, 03-scanning, 04-finish-alert,
// 05-messages-preview, 06-save-panel, 07-export-progress, 08-home-alert,
// 09-quit-sheet, 10-about.
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>

#include "tests/gui/gui_support.h"
#include "tools/backup_generator.h"
#include "ui/main_window.h"
#include "ui/result_view.h"
#include "ui/services.h"

using namespace kestrel;
using namespace kestrel::ui;
using testing::answerNextAlert;
using testing::grabWithSheets;
using testing::spinUntil;

namespace {

QString g_out;

void save(const QPixmap& picture, const char* name) {
    const QString path = g_out + "/" + name + ".png";
    if (!picture.save(path)) {
        std::fprintf(stderr, "render_stages: cannot write %s\n", qPrintable(path));
        std::exit(1);
    }
    std::printf("%s\n", qPrintable(path));
}

// The active alert drawn over the window.
std::function<void(QMessageBox*)> grabAlert(QWidget* window, const char* name) {
    return [window, name](QMessageBox* box) { save(grabWithSheets(window, {box}), name); };
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    g_out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("stages");
    QDir().mkpath(g_out);
    urlOpener() = [](const QUrl& url) { std::printf("would open %s\n", qPrintable(url.toString())); };

    QTemporaryDir root;
    gen::BackupSpec phone = gen::demoSpec();
    gen::BackupSpec tablet = gen::demoSpec();
    tablet.device.deviceName = "Family iPad";
    tablet.device.serial = "DMPJ8XK2F182";
    tablet.device.productType = "iPad3,4";
    tablet.device.productVersion = "6.0.1";
    for (const gen::BackupSpec* plan : {&phone, &tablet}) {
        const std::string error =
            gen::writeBackup(std::filesystem::path(root.path().toStdString()) / gen::backupFolderName(plan->device), *plan);
        if (!error.empty()) {
            std::fprintf(stderr, "render_stages: %s\n", error.c_str());
            return 1;
        }
    }

    KestrelMainWindow window(root.path().toStdString());
    window.move(0, 0);
    window.show();

    // 1, 2: the list and the welcome sheet over it.
    window.applicationDidFinishLaunching();
    QApplication::processEvents();
    auto* lead = window.findChild<QDialog*>("leadWindow");
    lead->hide();
    QApplication::processEvents();
    save(window.grab(), "01-backup-list");
    lead->show();
    QApplication::processEvents();
    save(grabWithSheets(&window, {lead}), "02-welcome-sheet");
    window.ClickStart();

    // 3: scanning. The worker hands its finishing step to this thread and
    // waits; until this thread runs it the panel shows the scan's last state.
    auto* list = window.findChild<QTableView*>("diskTableView");
    list->selectRow(0);
    window.actScanIOSBackupFile();
    TovResultViewController& results = *window.controller().resultViewController;
    for (int i = 0; i < 500 && results.progressValue() < 85; ++i) QThread::msleep(10);
    window.resultView()->refreshScanPanel();
    QApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);  // lay out, run nothing else
    save(window.grab(), "03-scanning");

    // 4, 5: the closing alert, then the message list with a preview.
    answerNextAlert("Ok", grabAlert(&window, "04-finish-alert"));
    spinUntil([&] { return results.scanFinishedFlag && !window.controller().isScanning(); });
    QApplication::processEvents();
    auto* table = window.resultView()->table(Category::Messages);
    // Tick three rows at once: select them, then press one check box.
    table->selectionModel()->clearSelection();
    for (int row : {1, 2, 3}) {
        table->selectionModel()->select(table->model()->index(row, 1),
                                        QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    table->recordModel()->setData(table->model()->index(2, 0), Qt::Checked, Qt::CheckStateRole);
    QApplication::processEvents();
    save(window.grab(), "05-messages-preview");

    // 6, 7: the save panel with the proposed name, then the progress sheet.
    QTemporaryDir exportRoot;
    window.findChild<QPushButton*>("saveBtn")->click();
    QApplication::processEvents();
    auto* panel = window.findChild<QFileDialog*>("sp");
    save(grabWithSheets(&window, {panel}), "06-save-panel");
    panel->setDirectory(exportRoot.path());
    panel->findChild<QLineEdit*>("fileNameEdit")->setText("Recovered");  // typed by the user
    static_cast<QDialog*>(panel)->accept();
    auto* sheet = window.findChild<QDialog*>("saveWindow");
    // The worker writes, then waits for this thread to close the sheet; one tick shows its progress.
    for (int i = 0; i < 200 && results.recovredFilesNum.load() < results.selectedFilesNum; ++i) QThread::msleep(5);
    QMetaObject::invokeMethod(window.resultView()->findChild<QTimer*>("recoverTimer"), "timeout",
                              Qt::DirectConnection);
    save(grabWithSheets(&window, {sheet}), "07-export-progress");
    spinUntil([&] { return !results.isRecovering(); });
    QApplication::processEvents();

    // 8: the way home asks first (answered "Cancel": the results stay).
    answerNextAlert("Cancel", grabAlert(&window, "08-home-alert"));
    window.findChild<QPushButton*>("homeBtn")->click();

    // 9: closing the window shows the quit sheet.
    window.close();
    QApplication::processEvents();
    auto* cry = window.findChild<QDialog*>("cryWindow");
    save(grabWithSheets(&window, {cry}), "09-quit-sheet");
    window.Cancel();

    // 10: the about window.
    window.ClickAbout();
    QApplication::processEvents();
    save(window.findChild<QWidget*>("aboutWindow")->grab(), "10-about");
    return 0;
}
