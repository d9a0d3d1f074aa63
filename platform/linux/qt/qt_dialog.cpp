#include "platform/linux/qt/qt_dialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QTextDocument>
#include <chrono>
#include <thread>

#include "platform/linux/qt/qt_widgets.h"
#include "text/text_util.h"

namespace skewmon::platform {
namespace {

constexpr char kDialogFace[] = "MS Shell Dlg";
// Tabs past the last stop, and in a list without stops: every 8 characters,
// in quarter-character units.
constexpr int kDefaultTabInterval = 32;
constexpr int kIconSize = 32;

QString FromNarrow(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Qt reads "[*]" in a title as the modified marker; a doubled one shows.
QString TitleText(std::string_view text) {
    return FromNarrow(text).replace(QStringLiteral("[*]"), QStringLiteral("[*][*]"));
}

Qt::Alignment AlignmentOf(const ControlTemplate& control) {
    Qt::Alignment horizontal = control.align == TextAlign::kRight    ? Qt::AlignRight
                               : control.align == TextAlign::kCenter ? Qt::AlignHCenter
                                                                     : Qt::AlignLeft;
    return horizontal | (control.centreVertically ? Qt::AlignVCenter : Qt::AlignTop);
}

}  // namespace

QFont QFontFor(const FontSpec& spec) {
    QFont font(spec.face == kDialogFace ? UiFontFamily() : QString::fromStdString(spec.face));
    font.setStyleHint(QFont::SansSerif);
    if (spec.height < 0)
        font.setPixelSize(-spec.height);
    else if (spec.height > 0)
        font.setPixelSize(spec.height);  // a cell height; close enough for a UI font
    if (spec.weight > 0) font.setWeight(static_cast<QFont::Weight>(std::clamp(spec.weight, 1, 1000)));
    font.setUnderline(spec.underline);
    return font;
}

QtDialog::QtDialog(DialogEvents& events)
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      events_(events),
      bridge_([this] { QMetaObject::invokeMethod(this, [this] { bridge_.drain(); }, Qt::QueuedConnection); }) {
    QDialog::setFont(DialogFont());
    units_ = MeasureDialogUnits(font());
    setWindowIcon(MakeApplicationIcon());
    setSizeGripEnabled(false);
    buildControls();
    setFixedSize(units_.toPixelsX(kDialogWidthUnits), units_.toPixelsY(kDialogHeightUnits));
}

QtDialog::~QtDialog() { finish(); }

void QtDialog::buildControls() {
    QWidget* previousTabStop = nullptr;
    QGroupBox* group = nullptr;
    for (const ControlTemplate& control : MainDialogTemplate()) {
        QWidget* widget = makeControl(control);
        widget->setEnabled(control.initiallyEnabled);
        if (control.id != -1) {
            byId_[control.id] = widget;
            texts_[control.id] = control.text;
        }
        if (auto* box = qobject_cast<QGroupBox*>(widget)) group = box;
        if (control.tabStop) {
            widget->setFocusPolicy(Qt::StrongFocus);
            if (previousTabStop) setTabOrder(previousTabStop, widget);
            previousTabStop = widget;
        } else {
            widget->setFocusPolicy(Qt::NoFocus);
        }
    }
    // The frame lies behind the fields it surrounds, whatever its place in
    // the creation order.
    if (group) group->lower();
}

QWidget* QtDialog::makeControl(const ControlTemplate& control) {
    const QString text = FromNarrow(control.text);
    QRect rect = units_.toPixels(control.rect);
    QWidget* widget = nullptr;
    switch (control.kind) {
        case ControlKind::kListBox: {
            auto* box = new QListWidget(this);
            box->setSelectionMode(QAbstractItemView::SingleSelection);
            box->setUniformItemSizes(true);
            box->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
            box->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
            box->setEditTriggers(QAbstractItemView::NoEditTriggers);
            rowDelegate_ = new TabbedRowDelegate(box);
            rowDelegate_->setTabStops({}, units_.toPixelsX(kDefaultTabInterval));
            box->setItemDelegate(rowDelegate_);
            widget = box;
            break;
        }
        case ControlKind::kPushButton:
        case ControlKind::kDefaultPushButton: {
            auto* button = new QPushButton(text, this);
            button->setDefault(control.kind == ControlKind::kDefaultPushButton);
            const int id = control.id;
            connect(button, &QPushButton::clicked, this, [this, id] { command(id, 0); });
            widget = button;
            break;
        }
        case ControlKind::kStatic: {
            auto* label = new QLabel(this);
            label->setTextFormat(Qt::PlainText);  // names from the network are text, never markup
            label->setAlignment(AlignmentOf(control));
            label->setWordWrap(!control.centreVertically);
            label->setText(text);
            widget = label;
            break;
        }
        case ControlKind::kGroupBox:
            widget = new QGroupBox(text, this);
            break;
        case ControlKind::kIcon: {
            // An icon control takes the icon's size, whatever the template says.
            auto* icon = new QLabel(this);
            icon->setPixmap(PaintClockFace(kIconSize));
            rect.setSize(QSize(kIconSize, kIconSize));
            widget = icon;
            break;
        }
        case ControlKind::kEdit: {
            auto* edit = new QPlainTextEdit(this);
            edit->setReadOnly(true);
            edit->setFrameShape(QFrame::NoFrame);
            edit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
            edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
            edit->setLineWrapMode(QPlainTextEdit::WidgetWidth);
            edit->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
            edit->setTabChangesFocus(true);
            edit->document()->setDocumentMargin(1);
            // A read-only edit shows whatever lies behind it: here the group
            // frame's panel.
            QPalette palette = edit->palette();
            palette.setColor(QPalette::Base, Qt::transparent);
            edit->setPalette(palette);
            edit->viewport()->setAutoFillBackground(false);
            edit->setPlainText(text);
            widget = edit;
            break;
        }
        case ControlKind::kComboBox: {
            auto* box = new QComboBox(this);
            box->setEditable(false);
            // The template's height is that of the open list; the closed box
            // is as high as its font needs.
            const int fieldHeight = box->sizeHint().height();
            const int rowHeight = std::max(1, QFontMetrics(font()).height());
            box->setMaxVisibleItems(std::max(1, (rect.height() - fieldHeight) / rowHeight));
            rect.setHeight(fieldHeight);
            // Only a user's choice is a selection change; comboSelect is not.
            connect(box, &QComboBox::activated, this,
                    [this, id = control.id] { command(id, kSelectionChange); });
            widget = box;
            break;
        }
        case ControlKind::kLink:
            widget = new WebLinkLabel(text, [this, id = control.id](int notification) {
                command(id, notification);
            }, this);
            break;
    }
    widget->setGeometry(rect);
    return widget;
}

void QtDialog::initialise() {
    bridge_.bindToCurrentThread();
    bridge_.reopen();
    initialised_ = true;
    events_.onInitDialog(*this);
    // The first control that takes the keyboard, the results list, has it.
    if (QWidget* first = control(ctl::kResultsList)) first->setFocus(Qt::OtherFocusReason);
    centreOnScreen();
}

void QtDialog::centreOnScreen() {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    move(screen->availableGeometry().center() - rect().center());
}

int QtDialog::runModal() {
    if (!ended_) {  // the initialisation may already have ended it
        setModal(true);
        inModalRun_ = true;
        exec();
        inModalRun_ = false;
    }
    finish();
    return endResult_;
}

void QtDialog::showModeless() {
    show();
    bringToForeground();
}

void QtDialog::finish() {
    if (finished_) return;
    finished_ = true;
    if (initialised_) events_.onDestroy(*this);
    bridge_.close();
    // A scan cut off in the middle of a query can no longer lower its cursor.
    while (waitCursors_ > 0) popWaitCursor();
}

void QtDialog::command(int id, int notification) {
    if (ended_ || !initialised_) return;  // a window that has gone takes no commands
    events_.onCommand(*this, id, notification);
}

void QtDialog::reject() { command(ctl::kClose, 0); }

void QtDialog::closeEvent(QCloseEvent* event) {
    if (ended_) {
        event->accept();
        return;
    }
    event->ignore();
    command(ctl::kClose, 0);
}

QWidget* QtDialog::control(int id) const {
    auto it = byId_.find(id);
    return it == byId_.end() ? nullptr : it->second;
}

QListWidget* QtDialog::list(int id) const { return qobject_cast<QListWidget*>(control(id)); }
QComboBox* QtDialog::combo(int id) const { return qobject_cast<QComboBox*>(control(id)); }

bool QtDialog::runOnDialogThread(const std::function<void()>& fn) { return bridge_.call(fn); }

void QtDialog::setText(int id, std::string_view text) {
    QWidget* widget = control(id);
    if (!widget) return;
    texts_[id] = std::string(text);
    const QString shown = FromNarrow(text);
    if (auto* button = qobject_cast<QPushButton*>(widget))
        button->setText(shown);
    else if (auto* label = qobject_cast<QLabel*>(widget))
        label->setText(shown);
    else if (auto* group = qobject_cast<QGroupBox*>(widget))
        group->setTitle(shown);
    else if (auto* edit = qobject_cast<QPlainTextEdit*>(widget))
        edit->setPlainText(shown);
    else if (auto* link = dynamic_cast<WebLinkLabel*>(widget))
        link->setText(shown);
}

std::string QtDialog::getText(int id, std::size_t capacity) {
    auto it = texts_.find(id);
    return it == texts_.end() ? std::string() : CutUtf8ToCapacity(it->second, capacity);
}

void QtDialog::setCaption(std::string_view text) { setWindowTitle(TitleText(text)); }

void QtDialog::enable(int id, bool enabled) {
    if (QWidget* widget = control(id)) widget->setEnabled(enabled);
}

void QtDialog::setFont(int id, const Font* font) {
    QWidget* widget = control(id);
    if (!widget) return;
    if (auto* qtFont = dynamic_cast<const QtFont*>(font))
        widget->setFont(qtFont->font);
    else
        widget->setFont(QFont());  // back to the dialog's font
    widget->update();
}

void QtDialog::listReset(int id) {
    if (QListWidget* box = list(id)) box->clear();
}

int QtDialog::listAdd(int id, std::string_view row) {
    QListWidget* box = list(id);
    if (!box) return -1;
    auto* item = new QListWidgetItem(FromNarrow(row));
    item->setData(Qt::UserRole, QByteArray(row.data(), static_cast<qsizetype>(row.size())));
    box->addItem(item);
    return box->count() - 1;
}

void QtDialog::listSelect(int id, int index) {
    QListWidget* box = list(id);
    if (!box) return;
    if (index >= 0 && index < box->count()) {
        box->setCurrentRow(index);
    } else if (index == -1) {
        box->clearSelection();
        box->setCurrentRow(-1);
    }
}

void QtDialog::listSetTop(int id, int index) {
    QListWidget* box = list(id);
    if (!box || index < 0 || index >= box->count()) return;
    box->scrollToItem(box->item(index), QAbstractItemView::PositionAtTop);
}

int QtDialog::listCount(int id) {
    QListWidget* box = list(id);
    return box ? box->count() : 0;
}

std::string QtDialog::listText(int id, int index, std::size_t capacity) {
    QListWidget* box = list(id);
    if (!box || index < 0 || index >= box->count()) return {};
    const QByteArray row = box->item(index)->data(Qt::UserRole).toByteArray();
    return CutUtf8ToCapacity(std::string_view(row.constData(), static_cast<std::size_t>(row.size())), capacity);
}

void QtDialog::listSetTabStops(int id, std::span<const int> stops) {
    if (!list(id) || !rowDelegate_) return;
    std::vector<int> pixels;
    for (int stop : stops) pixels.push_back(units_.toPixelsX(stop));
    rowDelegate_->setTabStops(std::move(pixels), units_.toPixelsX(kDefaultTabInterval));
    list(id)->viewport()->update();
}

void QtDialog::repaintNow(int id) {
    QListWidget* box = list(id);
    if (!box) return;
    // Rows are laid out lazily; asking for the newest row's place lays them
    // out now, so that the paint below already shows it.
    if (box->count() > 0) box->visualItemRect(box->item(box->count() - 1));
    box->viewport()->repaint();
}

void QtDialog::comboReset(int id) {
    if (QComboBox* box = combo(id)) box->clear();
}

int QtDialog::comboAdd(int id, std::string_view entry) {
    QComboBox* box = combo(id);
    if (!box) return -1;
    // Adding to an empty box selects the entry; a drop-down list starts with
    // none until it is chosen.
    const int selected = box->count() == 0 ? -1 : box->currentIndex();
    box->addItem(FromNarrow(entry), QByteArray(entry.data(), static_cast<qsizetype>(entry.size())));
    box->setCurrentIndex(selected);
    return box->count() - 1;
}

void QtDialog::comboSelect(int id, int index) {
    QComboBox* box = combo(id);
    if (!box) return;
    box->setCurrentIndex(index >= 0 && index < box->count() ? index : -1);
}

int QtDialog::comboCount(int id) {
    QComboBox* box = combo(id);
    return box ? box->count() : 0;
}

int QtDialog::comboSelected(int id) {
    QComboBox* box = combo(id);
    return box ? box->currentIndex() : -1;
}

std::string QtDialog::comboText(int id, int index, std::size_t capacity) {
    QComboBox* box = combo(id);
    if (!box || index < 0 || index >= box->count()) return {};
    const QByteArray entry = box->itemData(index).toByteArray();
    return CutUtf8ToCapacity(std::string_view(entry.constData(), static_cast<std::size_t>(entry.size())), capacity);
}

void QtDialog::postCommand(int id, int notification) {
    QMetaObject::invokeMethod(
        this, [this, id, notification] { command(id, notification); }, Qt::QueuedConnection);
}

void QtDialog::messageBox(std::string_view text, std::string_view title, MessageIcon icon, bool owned) {
    QMessageBox box(icon == MessageIcon::kWarning ? QMessageBox::Warning : QMessageBox::Information,
                    TitleText(title), FromNarrow(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")),
                    QMessageBox::Ok, owned ? this : nullptr);
    box.setTextFormat(Qt::PlainText);
    if (!owned) box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

void QtDialog::pushWaitCursor() {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    ++waitCursors_;
}

void QtDialog::popWaitCursor() {
    if (waitCursors_ == 0) return;
    --waitCursors_;
    QApplication::restoreOverrideCursor();
}

void QtDialog::beep(int, int milliseconds) {
    // Qt's beep has no pitch or length; the caller still waits as long as the
    // sound it asked for would last.
    QMetaObject::invokeMethod(qApp, [] { QApplication::beep(); }, Qt::QueuedConnection);
    if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void QtDialog::endDialog(int result) {
    if (ended_) return;
    ended_ = true;
    endResult_ = result;
    done(result);
    // Without a modal run nobody returns from exec(): the window finishes
    // from the event loop, once the handler that ended it has returned.
    if (!inModalRun_)
        QMetaObject::invokeMethod(this, [this] { finish(); }, Qt::QueuedConnection);
}

void QtDialog::bringToForeground() {
    if (!isVisible()) return;  // a window about to be shown comes up in front anyway
    raise();
    activateWindow();
}

}  // namespace skewmon::platform
