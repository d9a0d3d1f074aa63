// The window system on Linux with Qt 6 Widgets.
#pragma once

#include <memory>

#include "platform/window.h"

class QApplication;

namespace skewmon::platform {

class QtDialog;

class QtWindowSystem final : public WindowSystem {
public:
    // Uses the application object that exists, else creates one from argc
    // and argv (which must outlive this object).
    QtWindowSystem(int& argc, char** argv);
    ~QtWindowSystem() override;

    void initControlLibrary() override {}
    int screenDpiY() override;
    std::unique_ptr<Font> createFont(const FontSpec& spec) override;
    // The window stays alive after the run, until the next run or until this
    // object goes: a scan thread still finishing may reach it, and finds it
    // closed to calls.
    int runMainDialog(DialogEvents& events) override;

    // The window of the latest run; none before the first.
    QtDialog* dialog() const { return dialog_.get(); }

private:
    std::unique_ptr<QApplication> ownApplication_;
    std::unique_ptr<QtDialog> dialog_;
};

// True when Qt has somewhere to show windows: an X or Wayland display, or a
// platform chosen explicitly (QT_QPA_PLATFORM). Without one the application
// object cannot be made, and the program should run without a screen.
bool QtDisplayAvailable();

// The window system the program runs with on a desktop: creates the
// application object (call once, on the main thread, before any other thread
// starts). argc and argv must outlive the returned object.
std::unique_ptr<WindowSystem> MakeQtWindowSystem(int& argc, char** argv);

}  // namespace skewmon::platform
