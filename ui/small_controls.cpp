#include "ui/small_controls.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QFontDatabase>
#include <QMouseEvent>
#include <QPainter>

#include "app/notification_center.h"

namespace kestrel::ui {

// ---- TovImageAndTextCell ----

namespace {
// ceil(n / 2) for the integer n.
int halfUp(int n) { return n >= 0 ? (n + 1) / 2 : -((-n) / 2); }
}  // namespace

QRect TovImageAndTextCell::imageRectForBounds(const QRect& frame) const {
    if (!hasImage()) return QRect();
    return QRect(frame.x() + 3, frame.y() + halfUp(frame.height() - image_.height()), image_.width(),
                 image_.height());
}

QRect TovImageAndTextCell::titleRectForBounds(const QRect& frame) const {
    if (!hasImage()) return QRect();
    return QRect(frame.x() + image_.width() + 3, frame.y(), frame.width() - image_.width() - 3, frame.height());
}

QSize TovImageAndTextCell::cellSize(const QSize& baseSize) const {
    return QSize(baseSize.width() + imageColumn(), baseSize.height());
}

QPoint TovImageAndTextCell::imageDrawingPoint(const QRect& frame) const {
    return QPoint(frame.x() + 3, frame.y() + halfUp(frame.height() + image_.height()) - 1);
}

QRect TovImageAndTextCell::imageDrawingRect(const QRect& frame) const {
    if (!hasImage()) return QRect();
    const QPoint lowerLeft = imageDrawingPoint(frame);
    return QRect(lowerLeft.x(), lowerLeft.y() - image_.height(), image_.width(), image_.height());
}

QRect TovImageAndTextCell::textFrame(const QRect& frame) const {
    QRect text = frame;
    if (hasImage()) text.setLeft(frame.x() + imageColumn());
    text.setTop(text.top() + 5);  // keeps the bottom: height - 5
    return text;
}

QRect TovImageAndTextCell::editFrame(const QRect& frame) const {
    QRect rest = frame;
    rest.setLeft(frame.x() + imageColumn());
    return rest;
}

bool TovImageAndTextCell::hitsImage(const QPoint& point, const QRect& frame) const {
    if (!hasImage()) return false;
    return QRect(frame.x() + 3, frame.y(), image_.width(), image_.height()).contains(point);
}

void ImageAndTextDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                 const QModelIndex& index) const {
    TovImageAndTextCell cell;
    cell.setImage(index.data(Qt::DecorationRole).value<QPixmap>());
    QStyleOptionViewItem opt(option);
    initStyleOption(&opt, index);
    opt.icon = QIcon();
    opt.features &= ~QStyleOptionViewItem::HasDecoration;
    // The background (selection) over the whole frame, then the image and the text.
    QStyle* style = opt.widget ? opt.widget->style() : QApplication::style();
    QStyleOptionViewItem background(opt);
    background.text.clear();
    style->drawControl(QStyle::CE_ItemViewItem, &background, painter, opt.widget);
    if (cell.hasImage()) painter->drawPixmap(cell.imageDrawingRect(option.rect).topLeft(), cell.image());
    const QRect text = cell.textFrame(option.rect);
    painter->save();
    painter->setFont(opt.font);
    painter->setPen(opt.palette.color(opt.state & QStyle::State_Selected ? QPalette::HighlightedText : QPalette::Text));
    const QString shown = opt.fontMetrics.elidedText(opt.text, Qt::ElideRight, text.width() - 2);
    painter->drawText(text.adjusted(2, 0, 0, 0), Qt::AlignLeft | Qt::AlignTop, shown);
    painter->restore();
}

QSize ImageAndTextDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    TovImageAndTextCell cell;
    cell.setImage(index.data(Qt::DecorationRole).value<QPixmap>());
    QStyleOptionViewItem opt(option);
    initStyleOption(&opt, index);
    return cell.cellSize(QSize(opt.fontMetrics.horizontalAdvance(opt.text) + 4, opt.fontMetrics.height() + 5));
}

// ---- TovTextView ----

TovTextView::TovTextView(QWidget* parent) : QTextEdit(parent) {
    setReadOnly(true);
    setTextInteractionFlags(Qt::NoTextInteraction);
    setContextMenuPolicy(Qt::NoContextMenu);
    setFocusPolicy(Qt::NoFocus);
}

void TovTextView::mousePressEvent(QMouseEvent* e) { e->accept(); }
void TovTextView::mouseReleaseEvent(QMouseEvent* e) { e->accept(); }
void TovTextView::mouseDoubleClickEvent(QMouseEvent* e) { e->accept(); }
void TovTextView::mouseMoveEvent(QMouseEvent* e) { e->accept(); }
void TovTextView::keyPressEvent(QKeyEvent* e) { e->accept(); }
void TovTextView::contextMenuEvent(QContextMenuEvent* e) { e->accept(); }

// ---- TovView ----

void TovView::paintEvent(QPaintEvent* e) {
    QPainter p(this);
    p.fillRect(e->rect(), QColor::fromRgbF(1 / 3.0f, 1 / 3.0f, 1 / 3.0f));
}

// ---- TovButton ----

void TovButton::enterEvent(QEnterEvent* e) {
    QPushButton::enterEvent(e);
    NotificationCenter::defaultCenter().postNotificationName(names::TovbuttonMouseEntered,
                                                             static_cast<QObject*>(this));
}

void TovButton::leaveEvent(QEvent* e) {
    QPushButton::leaveEvent(e);
    NotificationCenter::defaultCenter().postNotificationName(names::TovbuttonMouseExited,
                                                             static_cast<QObject*>(this));
}

// ---- TovFeedBackView ----

namespace {
constexpr const char* kPlaceholders[] = {"Provide any suggestions or problems to us.", "write something."};

QFont systemFont13() {
    QFont f = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    f.setPointSize(13);
    return f;
}
}  // namespace

void TovFeedBackView::showPlaceholder(const QString& text) {
    setPlainText(text);
    setFont(systemFont13());
    QPalette pal = palette();
    pal.setColor(QPalette::Text, Qt::gray);
    setPalette(pal);
}

void TovFeedBackView::mousePressEvent(QMouseEvent* e) {
    const QString text = toPlainText();
    for (const char* placeholder : kPlaceholders) {
        if (text == QLatin1String(placeholder)) {
            clear();
            setFont(systemFont13());
            QPalette pal = palette();
            pal.setColor(QPalette::Text, Qt::black);
            setPalette(pal);
            break;
        }
    }
    QTextEdit::mousePressEvent(e);
}

}  // namespace kestrel::ui
