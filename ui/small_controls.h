// The list cell and the small controls: an image-and-text cell for the
// backup list's "Name" column, a display-only text view for the previews,
// a plain grey view, a button that announces the pointer entering and
// leaving it, and the feedback text view that clears its placeholder.
#pragma once

#include <QPixmap>
#include <QPushButton>
#include <QRect>
#include <QSize>
#include <QStyledItemDelegate>
#include <QTextEdit>
#include <QWidget>

namespace kestrel::ui {

// The geometry of a cell that draws an image to the left of its text. The
// frame is in a view whose coordinates grow downward (a table).
class TovImageAndTextCell {
public:
    void setImage(const QPixmap& image) { image_ = image; }
    const QPixmap& image() const { return image_; }
    bool hasImage() const { return !image_.isNull(); }

    // With an image: (x + 3, y + ceil((H - h) / 2)), w x h; else the zero rectangle.
    QRect imageRectForBounds(const QRect& frame) const;
    // With an image: (x + w + 3, y), (W - w - 3) x H; else the zero rectangle.
    QRect titleRectForBounds(const QRect& frame) const;
    // The base cell's size widened by the image column (w + 3, or 3).
    QSize cellSize(const QSize& baseSize) const;
    // Where the image is drawn: its lower-left corner at
    // (x + 3, y + ceil((H + h) / 2) - 1), so it spans the h points above.
    QPoint imageDrawingPoint(const QRect& frame) const;
    QRect imageDrawingRect(const QRect& frame) const;
    // The frame the text is drawn in: the image column cut off the left,
    // then lowered by 5 points (origin y + 5, height - 5).
    QRect textFrame(const QRect& frame) const;
    // The frame an editor or a selection gets: the image column (image
    // width + 3, or 3 without an image) cut off the left.
    QRect editFrame(const QRect& frame) const;
    // Whether a point of the view hits the image at (x + 3, y), w x h.
    bool hitsImage(const QPoint& point, const QRect& frame) const;

private:
    int imageColumn() const { return hasImage() ? image_.width() + 3 : 3; }
    QPixmap image_;
};

// Draws the "Name" column of the backup list with TovImageAndTextCell: the
// row's Qt::DecorationRole pixmap left of its text.
class ImageAndTextDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

// Shows its text; the user can neither select, edit, copy nor open a
// context menu in it. Scrolling is unaffected.
class TovTextView : public QTextEdit {
public:
    explicit TovTextView(QWidget* parent = nullptr);

protected:
    void mousePressEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void contextMenuEvent(QContextMenuEvent* e) override;
};

// A view filled with grey (1/3, 1/3, 1/3).
class TovView : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent* e) override;
};

// A push button that posts "TovbuttonMouseEntered" / "TovbuttonMouseExited"
// on the default notification centre with itself (as QObject*) as object.
class TovButton : public QPushButton {
public:
    using QPushButton::QPushButton;

protected:
    void enterEvent(QEnterEvent* e) override;
    void leaveEvent(QEvent* e) override;
};

// A multi-line text view whose placeholder text ("write something." or
// "Provide any suggestions or problems to us.") is cleared by a click,
// turning the text black in the system font at 13 points.
class TovFeedBackView : public QTextEdit {
public:
    explicit TovFeedBackView(QWidget* parent = nullptr) : QTextEdit(parent) { setAcceptRichText(false); }
    // Puts a placeholder in, grey, in the system font at 13 points.
    void showPlaceholder(const QString& text);

protected:
    void mousePressEvent(QMouseEvent* e) override;
};

}  // namespace kestrel::ui
