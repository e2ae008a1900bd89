// Helpers for driving the desktop program's real windows without a
// display: answering modal alerts, waiting for the scan worker, and
// drawing a window with the sheets over it.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <memory>

namespace kestrel::ui::testing {

// What an answered alert showed.
struct AlertRecord {
    bool answered = false;
    QString text;
    QString informative;
    QStringList buttons;
};

// Waits (polling from the event loop) for the next modal QMessageBox,
// records it, calls `before` with it, then clicks the button titled
// `button`. The returned record is filled once the alert is answered.
inline std::shared_ptr<AlertRecord> answerNextAlert(const QString& button,
                                                    std::function<void(QMessageBox*)> before = nullptr) {
    auto record = std::make_shared<AlertRecord>();
    auto* timer = new QTimer(qApp);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, record, button, before] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || !box->isVisible()) return;
        timer->stop();
        timer->deleteLater();
        record->text = box->text();
        record->informative = box->informativeText();
        for (QAbstractButton* b : box->buttons()) record->buttons << b->text();
        if (before) before(box);
        for (QAbstractButton* b : box->buttons()) {
            if (b->text() == button) {
                record->answered = true;
                b->click();
                return;
            }
        }
        // No such button: close the alert so the test does not hang.
        box->reject();
    });
    timer->start();
    return record;
}

// Runs the event loop until `done` holds or `ms` milliseconds have passed.
inline bool spinUntil(const std::function<bool()>& done, int ms = 20000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

// The window drawn with the given child windows (sheets, alerts) over it,
// each where it stands on the screen.
inline QPixmap grabWithSheets(QWidget* window, const QList<QWidget*>& sheets) {
    QPixmap picture = window->grab();
    QPainter painter(&picture);
    for (QWidget* sheet : sheets) {
        if (sheet == nullptr || !sheet->isVisible()) continue;
        const QPoint at = sheet->geometry().topLeft() - window->geometry().topLeft();
        const QPixmap image = sheet->grab();
        painter.fillRect(QRect(at, image.size()).adjusted(-1, -1, 1, 1), QColor(90, 90, 90));
        painter.drawPixmap(at, image);
    }
    return picture;
}

}  // namespace kestrel::ui::testing
