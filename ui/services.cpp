#include "ui/services.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFontDatabase>
#include <QMessageBox>
#include <QPushButton>
#include <QWidget>

#include "scan/app_controller.h"

namespace kestrel::ui {

QColor orange() { return QColor::fromRgbF(217 / 255.0f, 81 / 255.0f, 30 / 255.0f, 1.0f); }

QFont namedFont(const QString& family, double size, bool bold) {
    QFont f(family);
    f.setPixelSize(static_cast<int>(size + 0.5));
    f.setBold(bold);
    return f;
}

QFont systemFont(double size) {
    QFont f = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    f.setPixelSize(static_cast<int>(size + 0.5));
    return f;
}

QFont boldSystemFont(double size) {
    QFont f = systemFont(size);
    f.setBold(true);
    return f;
}

bool runAlert(QWidget* parent, const QString& message, const QString& informative, const QString& defaultButton,
              const QString& alternateButton) {
    QMessageBox box(parent);
    box.setWindowTitle(QStringLiteral("Kestrel"));
    box.setIcon(QMessageBox::Warning);
    box.setText(message);
    box.setInformativeText(informative);
    QPushButton* def = box.addButton(defaultButton, QMessageBox::AcceptRole);
    if (!alternateButton.isEmpty()) {
        QPushButton* alt = box.addButton(alternateButton, QMessageBox::RejectRole);
        box.setEscapeButton(alt);
    }
    box.setDefaultButton(def);
    box.exec();
    return box.clickedButton() == def;
}

void placeSheet(QWidget* sheet, QWidget* mainWindow) {
    if (sheet == nullptr || mainWindow == nullptr) return;
    sheet->adjustSize();
    const QRect window = mainWindow->geometry();
    // The rule works in coordinates growing upward: a lower origin is a move
    // down. The window's height is the size the program gives it (850 x 620
    // while results are shown), without the decoration the platform adds.
    const double height = mainWindow->height();
    const int down = static_cast<int>(-WrenfieldAppDelegate::windowWillPositionSheetY(0, height));
    sheet->move(window.x() + (window.width() - sheet->width()) / 2, window.y() + down);
}

UrlOpener& urlOpener() {
    static UrlOpener opener = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    return opener;
}

void openUrl(const QUrl& url) {
    if (urlOpener()) urlOpener()(url);
}

Terminator& applicationTerminator() {
    static Terminator terminator = [] { QCoreApplication::exit(0); };
    return terminator;
}

void terminateApplication() {
    if (applicationTerminator()) applicationTerminator()();
}

}  // namespace kestrel::ui
