// The real program on the screenless front end, over parts a test chooses:
// its console mode run over a list file, and its main dialog on a screenless
// dialog. The parts are a struct with a `system`, a `runner` and a
// `discovery`, made before the program and gone after it: the scripted ones
// below, or the lab's real query path (tests/lab/lab_program.h).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>

#include "app/console_report.h"
#include "platform/headless/headless_dialog.h"
#include "state/program.h"
#include "tests/fakes/discovery_fakes.h"
#include "tests/fakes/fakes.h"
#include "ui/main_dialog.h"

namespace skewmon::testing {

using namespace std::chrono_literals;
using platform::HeadlessSnapshot;

// The network scripted and the domain services faked, over the system
// `Base`: the bare one, or a platform's own where files must be real.
template <typename Base = BareSystem>
struct ScriptedParts {
    Recording<Base> system;
    ScriptedRunner runner;
    FakeDiscoveryServices discovery;  // no security authority: the computer name alone
};

// A new folder in the temporary directory, removed with all it holds when
// the object goes.
class ScratchFolder {
public:
    explicit ScratchFolder(std::string_view prefix = "skewmon-test") {
        namespace fs = std::filesystem;
        std::random_device random;
        std::error_code error;
        const fs::path temp = fs::temp_directory_path(error);
        for (int attempt = 0; attempt < 100 && !error && path_.empty(); ++attempt) {
            const fs::path candidate = temp / (std::string(prefix) + "-" + std::to_string(random()));
            if (fs::create_directory(candidate, error)) path_ = candidate;
        }
        EXPECT_FALSE(path_.empty()) << "no new folder in the temporary directory";
    }
    ~ScratchFolder() {
        std::error_code error;
        if (!path_.empty()) std::filesystem::remove_all(path_, error);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

template <typename Parts>
class ScreenlessProgram : public Parts {
public:
    ScreenlessProgram() : program(Platform{this->system, windows, this->runner, browser, this->discovery}) {}
    ScreenlessProgram(const ScreenlessProgram&) = delete;
    ScreenlessProgram& operator=(const ScreenlessProgram&) = delete;

    // A folder of the test's own, made on first use.
    const std::filesystem::path& folder() {
        if (!folder_) folder_.emplace();
        return folder_->path();
    }
    // A file `name` in the test's folder holding `list`; its path.
    std::string writeListFile(const std::string& list, const std::string& name = "machines.txt") {
        const std::filesystem::path path = folder() / name;
        std::ofstream(path, std::ios::binary) << list;
        return path.string();
    }

    // The console mode over a list file holding `list`, named as --list
    // names it.
    int runConsole(const std::string& list, int parallel = 1, ReportFormat format = ReportFormat::kText) {
        program.options = {};
        program.options.request = ConsoleRequest::kReport;
        program.options.listFile = writeListFile(list);
        program.options.parallel = parallel;
        program.options.format = format;
        return runReport("--report");
    }
    // The console mode over the list file beside a pretend executable, where
    // start-up looks for it; the options as they are.
    int runConsoleBeside(const std::string& list, const std::string& commandLine = "--report") {
        this->system.executable = (folder() / "skewmon.bin").string();
        writeListFile(list, "skewmon.ini");
        return runReport(commandLine);
    }
    // The console mode with the options as they are: the report in `out`,
    // the progress in `err`.
    int runReport(const std::string& commandLine) {
        out.str("");
        err.str("");
        platform::HeadlessDialog dialog;
        return RunConsoleReport(program, dialog, commandLine, out, err);
    }

    platform::HeadlessWindowSystem windows;
    ScriptedBrowser browser;  // no browse list unless a test gives one
    Program program;
    std::ostringstream out, err;

private:
    std::optional<ScratchFolder> folder_;
};

// The main dialog on a screenless dialog that the test drives, with the
// fonts as start-up makes them.
template <typename Parts = ScriptedParts<>>
class DialogHarness : public ::testing::Test, public ScreenlessProgram<Parts> {
protected:
    DialogHarness() {
        AppState& app = this->program.app;
        app.boldFont = this->windows.createFont({"MS Shell Dlg", -12, 700, false});
        app.thinFont = this->windows.createFont({"MS Shell Dlg", -12, 100, false});
        app.linkFont = this->windows.createFont({"MS Shell Dlg", -12, 400, true});
    }
    ~DialogHarness() override { end(); }

    // A machine list file with `content`, as start-up would have opened it.
    void useListFile(const std::string& content) {
        std::FILE* file = std::tmpfile();
        ASSERT_NE(file, nullptr);
        std::fwrite(content.data(), 1, content.size(), file);
        std::fflush(file);
        this->program.app.machineListFile.reset(file);
    }

    void start() {
        mainDialog = std::make_unique<MainDialog>(this->program);
        dialog.start(*mainDialog);
        started_ = true;
        ASSERT_TRUE(dialog.waitUntil([](const HeadlessSnapshot& s) { return s.initialised; }, 10s));
    }
    // Closes the dialog as a user would, cancelling any scan first, and lets
    // the main dialog go.
    void end() {
        if (started_) {
            if (dialog.snapshot().running) {
                dialog.command(ctl::kClose);
                dialog.command(ctl::kClose);
            }
            dialog.waitForEnd();
            started_ = false;
        }
        mainDialog.reset();
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

    platform::HeadlessDialog dialog;
    std::unique_ptr<MainDialog> mainDialog;

private:
    bool started_ = false;
};

}  // namespace skewmon::testing
