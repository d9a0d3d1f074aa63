// The real main dialog on the screenless dialog, with the network scripted.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/headless/headless_dialog.h"
#include "platform/linux/linux_system.h"
#include "state/program.h"
#include "tests/fakes/discovery_fakes.h"
#include "tests/fakes/fakes.h"
#include "ui/main_dialog.h"

namespace skewmon::testing {

using namespace std::chrono_literals;
using platform::HeadlessSnapshot;

class DialogHarness : public ::testing::Test {
protected:
    DialogHarness() : program(Platform{system, windows, runner, browser, discovery}) {
        program.app.boldFont = windows.createFont({"MS Shell Dlg", -12, 700, false});
        program.app.thinFont = windows.createFont({"MS Shell Dlg", -12, 100, false});
        program.app.linkFont = windows.createFont({"MS Shell Dlg", -12, 400, true});
    }
    ~DialogHarness() override {
        if (started_) {
            if (dialog.snapshot().running) {
                dialog.command(ctl::kClose);
                dialog.command(ctl::kClose);
            }
            dialog.waitForEnd();
        }
        mainDialog.reset();
    }

    // A machine list file with `content`, as start-up would have opened it.
    void useListFile(const std::string& content) {
        std::FILE* file = std::tmpfile();
        ASSERT_NE(file, nullptr);
        std::fwrite(content.data(), 1, content.size(), file);
        std::fflush(file);
        program.app.machineListFile.reset(file);
    }

    void start() {
        mainDialog = std::make_unique<MainDialog>(program);
        dialog.start(*mainDialog);
        started_ = true;
        ASSERT_TRUE(dialog.waitUntil([](const HeadlessSnapshot& s) { return s.initialised; }, 10s));
    }

    // Presses Scan and waits (bounded) for the closing step.
    bool scanToEnd(std::chrono::milliseconds limit = 20s) {
        dialog.command(ctl::kScan);
        return waitForDone(limit);
    }
    bool waitForDone(std::chrono::milliseconds limit = 20s) {
        return dialog.waitUntil(
            [](const HeadlessSnapshot& s) {
                return s.control(ctl::kSaveResults).enabled && s.text(ctl::kClose) == "&Close";
            },
            limit);
    }
    // A user choosing entry `index` of the domain selector.
    void chooseDomain(int index) {
        dialog.runOnDialogThread([&] { dialog.comboSelect(ctl::kDomainSelector, index); });
        dialog.command(ctl::kDomainSelector, kSelectionChange);
    }
    const platform::FontSpec* summaryFont() {
        auto* font = dynamic_cast<const platform::HeadlessFont*>(dialog.snapshot().control(ctl::kSummary).font);
        return font ? &font->spec : nullptr;
    }
    // Runs fn on the dialog's thread, where the scan's figures may be read.
    template <typename Fn>
    void onDialog(Fn fn) {
        dialog.runOnDialogThread(fn);
    }

    Recording<platform::LinuxSystem> system;
    platform::HeadlessWindowSystem windows;
    ScriptedRunner runner;
    ScriptedBrowser browser;
    FakeDiscoveryServices discovery;  // no security authority: the computer name alone
    Program program;
    platform::HeadlessDialog dialog;
    std::unique_ptr<MainDialog> mainDialog;

private:
    bool started_ = false;
};

}  // namespace skewmon::testing
