#include "ui/images.h"

#include <QHash>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>

namespace kestrel::ui {
namespace {

const QColor kOrange = QColor::fromRgbF(217 / 255.0f, 81 / 255.0f, 30 / 255.0f);

QPixmap device(bool tablet) {
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF body = tablet ? QRectF(1.5, 2.5, 13, 11) : QRectF(4.5, 0.5, 7, 15);
    p.setPen(QPen(QColor(40, 40, 40), 1));
    p.setBrush(QColor(70, 70, 70));
    p.drawRoundedRect(body, 2, 2);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(150, 200, 240));
    p.drawRect(body.adjusted(1.5, 2, -1.5, -2.5));
    p.setBrush(QColor(200, 200, 200));
    p.drawEllipse(tablet ? QPointF(body.right() - 0.9, body.center().y()) : QPointF(body.center().x(), body.bottom() - 1.2),
                  0.8, 0.8);
    return pm;
}

// A category tab: its title on a grey (idle) or orange (active) ground.
QPixmap categoryTab(const QString& title, bool active) {
    QPixmap pm(118, 34);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, 0, 34);
    if (active) {
        g.setColorAt(0, kOrange.lighter(125));
        g.setColorAt(1, kOrange);
    } else {
        g.setColorAt(0, QColor(250, 250, 250));
        g.setColorAt(1, QColor(214, 214, 214));
    }
    p.setPen(QPen(active ? kOrange.darker(120) : QColor(160, 160, 160), 1));
    p.setBrush(g);
    p.drawRoundedRect(QRectF(0.5, 0.5, 117, 33), 6, 6);
    QFont f("Lucida Grande");
    f.setPixelSize(13);
    f.setBold(active);
    p.setFont(f);
    p.setPen(active ? Qt::white : QColor(60, 60, 60));
    p.drawText(QRect(0, 0, 118, 34), Qt::AlignCenter, title);
    return pm;
}

QPixmap gradientStrip(const QColor& top, const QColor& bottom, int w, int h) {
    QPixmap pm(w, h);
    QPainter p(&pm);
    QLinearGradient g(0, 0, 0, h);
    g.setColorAt(0, top);
    g.setColorAt(1, bottom);
    p.fillRect(pm.rect(), g);
    return pm;
}

QPixmap logo() {
    QPixmap pm(128, 128);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(kOrange);
    p.drawRoundedRect(QRectF(4, 4, 120, 120), 26, 26);
    // A stylised bird: two swept wings over a speech bubble.
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(24, 56, 80, 46), 14, 14);
    QPainterPath tail;
    tail.moveTo(40, 100);
    tail.lineTo(34, 114);
    tail.lineTo(56, 100);
    p.drawPath(tail);
    QPainterPath wings;
    wings.moveTo(20, 44);
    wings.quadTo(64, 14, 108, 44);
    wings.quadTo(64, 32, 20, 44);
    p.drawPath(wings);
    p.setBrush(kOrange);
    for (int i = 0; i < 3; ++i) p.drawEllipse(QPointF(46 + 18 * i, 79), 5, 5);
    return pm;
}

// A padlock, 12 x 16: the mark of an encrypted backup.
QPixmap lock() {
    QPixmap pm(12, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(90, 90, 90), 1.6));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(3, 2, 6, 8), 3, 3);  // the shackle (its lower half hidden by the body)
    p.setPen(QPen(QColor(120, 80, 10), 1));
    p.setBrush(QColor(230, 170, 40));
    p.drawRoundedRect(QRectF(0.5, 7.5, 11, 8), 1.5, 1.5);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(90, 60, 10));
    p.drawEllipse(QPointF(6, 11), 1.2, 1.2);
    p.drawRect(QRectF(5.5, 11, 1, 2.5));
    return pm;
}

// A list icon with the padlock beside it.
QPixmap locked(const QPixmap& icon) {
    const QPixmap padlock = lock();
    QPixmap pm(icon.width() + 2 + padlock.width(), std::max(icon.height(), padlock.height()));
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.drawPixmap(0, 0, icon);
    p.drawPixmap(icon.width() + 2, 0, padlock);
    return pm;
}

QPixmap draw(const QString& name) {
    if (name == "lock") return lock();
    if (name == "iphone-locked") return locked(device(false));
    if (name == "ipad-locked") return locked(device(true));
    if (name == "iphone") return device(false);
    if (name == "ipad") return device(true);
    if (name == "bottom") return gradientStrip(QColor(236, 236, 236), QColor(200, 200, 200), 8, 40);
    if (name == "progressGorund") return gradientStrip(QColor(252, 252, 252), QColor(228, 232, 238), 8, 80);
    if (name == "whiteimg") return gradientStrip(Qt::white, Qt::white, 8, 8);
    if (name == "logo") return logo();
    static const struct {
        const char* stem;
        const char* title;
    } tabs[] = {{"phone&video", "Photo&Video"}, {"contact", "Contacts"}, {"message", "Messages"},
                {"note", "Notes"},              {"call", "Call History"}};
    for (const auto& tab : tabs) {
        const QString stem = QString::fromLatin1(tab.stem);
        if (name == stem + "Nom") return categoryTab(QString::fromLatin1(tab.title), false);
        if (name == stem + "On") return categoryTab(QString::fromLatin1(tab.title), true);
    }
    return QPixmap();
}

}  // namespace

QPixmap kestrelImage(const QString& name) {
    static QHash<QString, QPixmap> cache;
    auto it = cache.find(name);
    if (it == cache.end()) it = cache.insert(name, draw(name));
    return *it;
}

}  // namespace kestrel::ui
