// The Qt window's tests run offscreen unless told otherwise, so no display is
// needed; the application object lives for the whole run.
#include <gtest/gtest.h>

#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

#include "platform/linux/qt/qt_widgets.h"
#include "tests/linux/qt_test_support.h"

namespace skewmon::qttest {
namespace {
platform::QtWindowSystem* g_windows = nullptr;
}

platform::QtWindowSystem& Windows() { return *g_windows; }

QString Shown(QWidget* widget) {
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) return button->text();
    if (auto* label = qobject_cast<QLabel*>(widget)) return label->text();
    if (auto* group = qobject_cast<QGroupBox*>(widget)) return group->title();
    if (auto* edit = qobject_cast<QPlainTextEdit*>(widget)) return edit->toPlainText();
    if (auto* link = dynamic_cast<platform::WebLinkLabel*>(widget)) return link->text();
    return {};
}

}  // namespace skewmon::qttest

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    auto windows = skewmon::platform::MakeQtWindowSystem(argc, argv);
    skewmon::qttest::g_windows = static_cast<skewmon::platform::QtWindowSystem*>(windows.get());
    return RUN_ALL_TESTS();
}
