#include "platform/linux/qt/qt_widgets.h"

#include <QApplication>
#include <QFontDatabase>
#include <QMouseEvent>
#include <QPainter>
#include <QtMath>
#include <cmath>

#include "platform/linux/qt/qt_dialog_template.h"

namespace skewmon::platform {
namespace {

// Space between a row's left edge and its text, as a list box leaves it.
constexpr int kRowTextMargin = 2;
constexpr QRgb kLinkColour = qRgb(80, 80, 225);

}  // namespace

QString UiFontFamily() {
    QString family = QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
    return family.isEmpty() ? QStringLiteral("Sans Serif") : family;
}

QFont DialogFont() {
    QFont font(UiFontFamily());
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(8);
    return font;
}

int NextTabStop(int x, std::span<const int> stops, int interval) {
    for (int stop : stops)
        if (stop > x) return stop;
    if (interval <= 0) interval = 1;
    const int base = stops.empty() ? 0 : stops.back();
    return base + ((x - base) / interval + 1) * interval;
}

TabbedRowDelegate::TabbedRowDelegate(QObject* parent) : QStyledItemDelegate(parent) {}

void TabbedRowDelegate::setTabStops(std::vector<int> stops, int interval) {
    stops_ = std::move(stops);
    interval_ = interval > 0 ? interval : 1;
}

std::vector<int> TabbedRowDelegate::fieldPositions(const QString& text, const QFont& font) const {
    const QFontMetrics metrics(font);
    std::vector<int> positions;
    int x = 0;
    const QStringList fields = text.split(QLatin1Char('\t'));
    for (qsizetype i = 0; i < fields.size(); ++i) {
        if (i > 0) x = NextTabStop(x, stops_, interval_);
        positions.push_back(x);
        x += metrics.horizontalAdvance(fields[i]);
    }
    return positions;
}

void TabbedRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const {
    QStyleOptionViewItem item = option;
    initStyleOption(&item, index);
    const QString text = item.text;
    item.text.clear();  // the style draws the background and focus only
    const QWidget* widget = item.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &item, painter, widget);

    const QPalette::ColorGroup group = !(item.state & QStyle::State_Enabled) ? QPalette::Disabled
                                       : (item.state & QStyle::State_Active) ? QPalette::Normal
                                                                             : QPalette::Inactive;
    const QPalette::ColorRole role =
        (item.state & QStyle::State_Selected) ? QPalette::HighlightedText : QPalette::Text;

    painter->save();
    painter->setFont(item.font);
    painter->setPen(item.palette.color(group, role));
    const QRect row = item.rect.adjusted(kRowTextMargin, 0, 0, 0);
    const QStringList fields = text.split(QLatin1Char('\t'));
    const std::vector<int> positions = fieldPositions(text, item.font);
    for (qsizetype i = 0; i < fields.size(); ++i) {
        const int x = positions[static_cast<std::size_t>(i)];
        if (x >= row.width()) break;
        painter->drawText(QRect(row.left() + x, row.top(), row.width() - x, row.height()),
                          Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, fields[i]);
    }
    painter->restore();
}

QSize TabbedRowDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    // A list box row is exactly as high as its font.
    QStyleOptionViewItem item = option;
    initStyleOption(&item, index);
    const QFontMetrics metrics(item.font);
    const std::vector<int> positions = fieldPositions(item.text, item.font);
    const QString last = item.text.section(QLatin1Char('\t'), -1);
    const int width = (positions.empty() ? 0 : positions.back()) + metrics.horizontalAdvance(last);
    return QSize(width + 2 * kRowTextMargin, metrics.height());
}

WebLinkLabel::WebLinkLabel(const QString& text, std::function<void(int)> clicked, QWidget* parent)
    : QWidget(parent), text_(text), clicked_(std::move(clicked)) {
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::NoFocus);
}

void WebLinkLabel::setText(const QString& text) {
    text_ = text;
    update();
}

QFont WebLinkLabel::linkFont() const {
    QFont font(UiFontFamily());
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(MulDiv(8, logicalDpiY(), 72));
    font.setWeight(QFont::Medium);
    font.setUnderline(true);
    return font;
}

void WebLinkLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setFont(linkFont());
    painter.setPen(QColor(kLinkColour));
    painter.drawText(rect(), Qt::AlignCenter | Qt::TextSingleLine, text_);
}

void WebLinkLabel::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    pressCounted_ = true;
    clicked_(0);
}

void WebLinkLabel::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) pressCounted_ = false;
}

void WebLinkLabel::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    // Some sources deliver the second press of a double click only as this
    // event, others as a press followed by it: either way it is one click.
    if (!pressCounted_) clicked_(1);
    pressCounted_ = true;
}

QPixmap PaintClockFace(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    painter.translate(s / 2, s / 2);
    const qreal radius = s / 2 - std::max<qreal>(1.0, s / 32);

    painter.setPen(QPen(QColor(30, 50, 110), std::max<qreal>(1.0, s / 14)));
    painter.setBrush(QColor(250, 248, 236));
    painter.drawEllipse(QPointF(0, 0), radius, radius);

    // Hour marks, the quarters longer.
    for (int hour = 0; hour < 12; ++hour) {
        const qreal angle = qDegreesToRadians(hour * 30.0);
        const qreal outer = radius * 0.86;
        const qreal inner = radius * (hour % 3 == 0 ? 0.66 : 0.76);
        painter.setPen(QPen(QColor(30, 50, 110), std::max<qreal>(1.0, s / (hour % 3 == 0 ? 16 : 28))));
        painter.drawLine(QPointF(inner * std::sin(angle), -inner * std::cos(angle)),
                         QPointF(outer * std::sin(angle), -outer * std::cos(angle)));
    }

    // Ten past ten, and a red second hand a little off the minute: two clocks
    // that do not quite agree.
    const auto hand = [&](qreal degrees, qreal length, qreal width, QColor colour) {
        const qreal angle = qDegreesToRadians(degrees);
        painter.setPen(QPen(colour, width, Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(QPointF(0, 0), QPointF(length * std::sin(angle), -length * std::cos(angle)));
    };
    hand(305, radius * 0.5, std::max<qreal>(1.5, s / 10), QColor(20, 20, 40));
    hand(60, radius * 0.75, std::max<qreal>(1.0, s / 14), QColor(20, 20, 40));
    hand(78, radius * 0.8, std::max<qreal>(1.0, s / 32), QColor(210, 40, 40));
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(210, 40, 40));
    painter.drawEllipse(QPointF(0, 0), s / 18 + 0.5, s / 18 + 0.5);
    return pixmap;
}

QIcon MakeApplicationIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64}) icon.addPixmap(PaintClockFace(size));
    return icon;
}

}  // namespace skewmon::platform
