// The pieces of the main window that Qt has no ready widget for: list rows
// with tab stops, the painted web link, and the application icon.
#pragma once

#include <QIcon>
#include <QPixmap>
#include <QString>
#include <QStyledItemDelegate>
#include <QWidget>
#include <functional>
#include <span>
#include <vector>

namespace skewmon::platform {

// The desktop's sans-serif user-interface family, which stands in for the
// dialog face "MS Shell Dlg".
QString UiFontFamily();
// The dialog font: that family at 8 points.
QFont DialogFont();

// Where text continues after a tab that follows position x (pixels from the
// start of the row): the first stop beyond x; past the last stop, the next
// multiple of `interval`.
int NextTabStop(int x, std::span<const int> stops, int interval);

// Paints list rows with their tabs expanded to fixed stops, so that the
// fields of the rows stand in columns.
class TabbedRowDelegate final : public QStyledItemDelegate {
public:
    explicit TabbedRowDelegate(QObject* parent);

    void setTabStops(std::vector<int> stops, int interval);
    // Left edge of each tab-separated field of `text`, from the row's start.
    std::vector<int> fieldPositions(const QString& text, const QFont& font) const;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    std::vector<int> stops_;
    int interval_ = 1;
};

// A static text drawn as a hyperlink: blue, underlined, centred, with a hand
// pointer. Every press of the left button is a click; the second press of a
// double click counts once more.
class WebLinkLabel final : public QWidget {
public:
    // notification: 0 for a click, 1 for the second click of a double click.
    WebLinkLabel(const QString& text, std::function<void(int notification)> clicked, QWidget* parent);

    void setText(const QString& text);
    QString text() const { return text_; }
    // The font the link is painted with: 8 points at the widget's DPI,
    // medium weight, underlined.
    QFont linkFont() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    QString text_;
    std::function<void(int)> clicked_;
    bool pressCounted_ = false;  // this button press has already given a click
};

// The program's icon, a clock face, drawn at `size` pixels square.
QPixmap PaintClockFace(int size);
QIcon MakeApplicationIcon();

}  // namespace skewmon::platform
