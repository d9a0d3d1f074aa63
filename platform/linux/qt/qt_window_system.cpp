#include "platform/linux/qt/qt_window_system.h"

#include <QApplication>
#include <QScreen>
#include <cmath>
#include <cstdlib>

#include "platform/linux/qt/qt_dialog.h"
#include "platform/linux/qt/qt_widgets.h"

namespace skewmon::platform {

QtWindowSystem::QtWindowSystem(int& argc, char** argv) {
    if (!QApplication::instance()) ownApplication_ = std::make_unique<QApplication>(argc, argv);
    // The program ends when its dialog ends, not when a window closes.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName(QStringLiteral("skewmon"));
    QApplication::setWindowIcon(MakeApplicationIcon());
}

QtWindowSystem::~QtWindowSystem() {
    dialog_.reset();  // before the application object it lives in
}

int QtWindowSystem::screenDpiY() {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return 96;
    return static_cast<int>(std::lround(screen->logicalDotsPerInchY()));
}

std::unique_ptr<Font> QtWindowSystem::createFont(const FontSpec& spec) {
    return std::make_unique<QtFont>(QFontFor(spec));
}

int QtWindowSystem::runMainDialog(DialogEvents& events) {
    if (!QApplication::instance()) return -1;
    dialog_ = std::make_unique<QtDialog>(events);
    dialog_->initialise();
    return dialog_->runModal();
}

bool QtDisplayAvailable() {
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value && *value) return true;
    }
    return false;
}

std::unique_ptr<WindowSystem> MakeQtWindowSystem(int& argc, char** argv) {
    return std::make_unique<QtWindowSystem>(argc, argv);
}

}  // namespace skewmon::platform
