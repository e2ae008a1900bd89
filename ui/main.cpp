// kestrel-gui: the desktop program. Lists the iTunes backups of this
// computer, scans the chosen one and shows its messages, deleted ones
// included, for export.
#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/large_pages.h"
#include "app/backup_discovery.h"
#include "ui/mail_thread.h"
#include "ui/main_window.h"

int main(int argc, char** argv) {
    kestrel::preferLargePagesForThisThread();  // before anything fills the heap
    // --help and --version answer without a display. Without any display to
    // open (no X or Wayland session, no platform chosen), Qt would abort the
    // program while it starts; the options are then read without one, so a
    // mistyped option is still named, and the program says what is missing.
    bool infoOnly = false;
    bool platformChosen = std::getenv("QT_QPA_PLATFORM") != nullptr;
    for (int i = 1; i < argc; ++i) {
        for (const char* flag : {"-h", "--help", "--help-all", "-v", "--version"}) {
            if (std::strcmp(argv[i], flag) == 0) infoOnly = true;
        }
        if (std::strcmp(argv[i], "-platform") == 0 || std::strncmp(argv[i], "-platform=", 10) == 0)
            platformChosen = true;
    }
    const auto isSet = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && value[0] != '\0';
    };
    const bool haveDisplay = platformChosen || isSet("DISPLAY") || isSet("WAYLAND_DISPLAY");
    if (!haveDisplay) infoOnly = true;
    std::unique_ptr<QCoreApplication> app =
        infoOnly ? std::make_unique<QCoreApplication>(argc, argv) : std::make_unique<QApplication>(argc, argv);
    QCoreApplication::setApplicationName("kestrel-gui");
    QCoreApplication::setApplicationVersion(KESTREL_VERSION);
    QGuiApplication::setApplicationDisplayName("Kestrel");
    QGuiApplication::setDesktopFileName("kestrel");

    QCommandLineParser parser;
    parser.setApplicationDescription("Recovers the text messages and contacts of an iPhone, deleted ones included, "
                                     "from the backups that iTunes keeps on this computer.");
    parser.addHelpOption();
    parser.addVersionOption();
    const QString defaultRoot = QString::fromStdString(kestrel::defaultBackupRoot());
    QCommandLineOption rootOption("backup-root",
                                  "Folder holding one sub-folder per backup, or one backup itself (default: the folder "
                                  "chosen last time with Choose Folder…, else " +
                                      defaultRoot + ")",
                                  "DIR");
    parser.addOption(rootOption);
    parser.process(*app);
    if (!haveDisplay) {
        std::fprintf(stderr,
                     "kestrel-gui: no display to open a window on (DISPLAY and WAYLAND_DISPLAY are not set); start it "
                     "in a desktop session, or use the kestrel command\n");
        return 1;
    }

    int status = 0;
    {
        kestrel::ui::KestrelMainWindow window(parser.value(rootOption).toStdString());
        window.show();
        QTimer::singleShot(0, &window, [&window] { window.applicationDidFinishLaunching(); });
        status = QApplication::exec();
    }
    app.reset();
    // A feedback mail still on its way (the quit sheet's timer cut it short)
    // is not waited for. Its thread may still log and use the mail library,
    // so the process ends here without destroying static state under it.
    if (kestrel::ui::MailThread::running() > 0) {
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}
