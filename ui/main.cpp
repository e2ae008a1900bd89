// kestrel-gui: the desktop program. Lists the iTunes backups of this
// computer, scans the chosen one and shows its messages, deleted ones
// included, for export.
#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>
#include <cstring>
#include <memory>

#include "app/backup_discovery.h"
#include "ui/main_window.h"

int main(int argc, char** argv) {
    // --help and --version answer without a display.
    bool infoOnly = false;
    for (int i = 1; i < argc; ++i) {
        for (const char* flag : {"-h", "--help", "--help-all", "-v", "--version"}) {
            if (std::strcmp(argv[i], flag) == 0) infoOnly = true;
        }
    }
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
    const QString defaultRoot = QString::fromStdString(kestrel::backupRootForUser(kestrel::currentLoginName()));
    QCommandLineOption rootOption("backup-root",
                                  "Folder holding one sub-folder per backup (default: " + defaultRoot + ")", "DIR");
    parser.addOption(rootOption);
    parser.process(*app);

    kestrel::ui::KestrelMainWindow window(parser.value(rootOption).toStdString());
    window.show();
    QTimer::singleShot(0, &window, [&window] { window.applicationDidFinishLaunching(); });
    return QApplication::exec();
}
