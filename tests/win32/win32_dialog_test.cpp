#include "platform/win32/win32_window.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <chrono>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "ui/main_dialog.h"

namespace skewmon::platform::win32 {
namespace {

using namespace std::chrono_literals;

// Without a display Wine cannot make windows; these tests then skip.
bool HaveDisplay() {
    HWND probe = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    if (!probe) return false;
    DestroyWindow(probe);
    return true;
}

#define REQUIRE_DISPLAY() \
    if (!HaveDisplay()) GTEST_SKIP() << "no display"

struct ScriptedEvents final : DialogEvents {
    std::function<void(Win32Dialog&)> init;
    std::function<void(Win32Dialog&, int, int)> command;
    std::vector<std::pair<int, int>> commands;
    int destroyed = 0;

    void onInitDialog(DialogControls& dialog) override { init(static_cast<Win32Dialog&>(dialog)); }
    void onCommand(DialogControls& dialog, int id, int notification) override {
        commands.emplace_back(id, notification);
        if (command) command(static_cast<Win32Dialog&>(dialog), id, notification);
    }
    void onDestroy(DialogControls&) override { ++destroyed; }
};

struct TemplateControl {
    int id;
    const char* className;
    const char* text;  // none: not compared
    RECT units;        // x, y, width, height in dialog units
    DWORD styles;      // besides WS_CHILD and WS_VISIBLE
};

// The main dialog's controls in template (and tab) order.
const TemplateControl kTemplate[] = {
    {1001, "ListBox", nullptr, {7, 47, 244, 128}, WS_BORDER | WS_VSCROLL | WS_TABSTOP | LBS_USETABSTOPS | LBS_NOINTEGRALHEIGHT},
    {1008, "Button", "&More Info", {7, 300, 50, 14}, WS_TABSTOP | BS_PUSHBUTTON},
    {1009, "Button", "Sa&ve Results", {59, 300, 50, 14}, WS_TABSTOP | BS_PUSHBUTTON},
    {1, "Button", "&Scan", {149, 300, 50, 14}, WS_TABSTOP | BS_DEFPUSHBUTTON},
    {2, "Button", "&Close", {201, 300, 50, 14}, WS_TABSTOP | BS_PUSHBUTTON},
    {1002, "Static", "Variance from %s", {8, 36, 229, 9}, SS_LEFT},
    {-1, "Static", "Worst Variance:", {13, 191, 57, 8}, SS_RIGHT | SS_CENTERIMAGE},
    {-1, "Static", "Avg Variance:", {13, 204, 57, 8}, SS_RIGHT | SS_CENTERIMAGE},
    {1003, "Static", "", {76, 191, 168, 8}, SS_LEFT | SS_CENTERIMAGE},
    {1004, "Static", "", {76, 204, 168, 8}, SS_LEFT | SS_CENTERIMAGE},
    {1015, "Button", "Results", {7, 178, 244, 116}, BS_GROUPBOX},
    {-1, "Static", nullptr, {7, 7, 21, 20}, SS_ICON},
    {1007, "Edit", "", {13, 242, 231, 48}, WS_TABSTOP | ES_MULTILINE | ES_READONLY},
    {197, "ComboBox", nullptr, {170, 15, 81, 75}, WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWNLIST},
    {-1, "Static", "Select Domain:", {172, 6, 79, 8}, SS_LEFT},
    {-1, "Static", "Summary:", {13, 217, 57, 8}, SS_RIGHT | SS_CENTERIMAGE},
    {1005, "Static", "", {76, 217, 168, 8}, SS_LEFT | SS_CENTERIMAGE},
    {-1, "Static", "Recommendation:", {13, 230, 57, 8}, SS_RIGHT | SS_CENTERIMAGE},
    {1011, "Static", "", {76, 230, 168, 8}, SS_LEFT | SS_CENTERIMAGE},
    {1013, "Static", kMakerWebAddress, {39, 18, 117, 8}, SS_CENTER | SS_CENTERIMAGE | SS_NOTIFY},
    {1014, "Static", "Quillmar", {39, 8, 117, 8}, SS_CENTER | SS_CENTERIMAGE},
};

// The dialog template as the resource holds it (DLGTEMPLATEEX), read back
// field by field: the styles there are the template's own, before controls
// adjust theirs (a list box drops WS_VSCROLL while it needs no scrolling).
struct ParsedControl {
    int id = 0;
    std::string className;
    std::string text;
    RECT units = {};
    DWORD style = 0;
    DWORD exStyle = 0;
};
struct ParsedTemplate {
    DWORD style = 0;
    RECT units = {};
    int pointSize = 0;
    std::string face;
    std::vector<ParsedControl> controls;
};

class TemplateReader {
public:
    explicit TemplateReader(const unsigned char* data) : at_(data) {}
    WORD word() { WORD v; std::memcpy(&v, at_, 2); at_ += 2; return v; }
    DWORD dword() { DWORD v; std::memcpy(&v, at_, 4); at_ += 4; return v; }
    short coordinate() { return static_cast<short>(word()); }
    void alignTo(std::size_t bytes) {
        while (reinterpret_cast<std::uintptr_t>(at_) % bytes) ++at_;
    }
    // A string, or an ordinal written as "#n".
    std::string nameOrOrdinal() {
        if (WORD first = word(); first == 0xFFFF) return "#" + std::to_string(word());
        else if (first == 0) return {};
        else {
            std::string text(1, static_cast<char>(first));
            while (WORD c = word()) text.push_back(static_cast<char>(c));
            return text;
        }
    }
    void skip(std::size_t bytes) { at_ += bytes; }

private:
    const unsigned char* at_;
};

std::string ControlClass(const std::string& name) {
    static const std::pair<const char*, const char*> kAtoms[] = {
        {"#128", "Button"}, {"#129", "Edit"}, {"#130", "Static"}, {"#131", "ListBox"}, {"#133", "ComboBox"}};
    for (const auto& [atom, className] : kAtoms)
        if (name == atom) return className;
    return name;
}

ParsedTemplate ReadMainDialogTemplate() {
    ParsedTemplate parsed;
    HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(100), MAKEINTRESOURCEA(5));  // RT_DIALOG
    if (!found) return parsed;
    TemplateReader in(static_cast<const unsigned char*>(LockResource(LoadResource(nullptr, found))));
    EXPECT_EQ(in.word(), 1);       // version
    EXPECT_EQ(in.word(), 0xFFFF);  // the extended template
    in.dword();                    // help id
    in.dword();                    // extended style
    parsed.style = in.dword();
    const WORD count = in.word();
    parsed.units = {in.coordinate(), in.coordinate(), in.coordinate(), in.coordinate()};
    in.nameOrOrdinal();  // menu
    in.nameOrOrdinal();  // class
    in.nameOrOrdinal();  // caption
    parsed.pointSize = in.word();
    in.word();  // weight
    in.skip(2);  // italic, character set
    parsed.face = in.nameOrOrdinal();
    for (WORD i = 0; i < count; ++i) {
        in.alignTo(4);
        ParsedControl control;
        in.dword();  // help id
        control.exStyle = in.dword();
        control.style = in.dword();
        control.units = {in.coordinate(), in.coordinate(), in.coordinate(), in.coordinate()};
        control.id = static_cast<int>(in.dword());
        control.className = ControlClass(in.nameOrOrdinal());
        control.text = in.nameOrOrdinal();
        in.skip(in.word());  // creation data
        parsed.controls.push_back(std::move(control));
    }
    return parsed;
}

std::string ClassOf(HWND window) {
    char name[64] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

std::string TextOf(HWND window) {
    char text[256] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
}

struct DialogTest : ::testing::Test {
    Win32WindowSystem windows{GetModuleHandleA(nullptr)};
    ScriptedEvents events;

    int run() {
        windows.initControlLibrary();
        return windows.runMainDialog(events);
    }
};

TEST(DialogTemplate, HoldsTheMainDialogAndEveryControlAsLaidOut) {
    const ParsedTemplate parsed = ReadMainDialogTemplate();
    EXPECT_EQ(parsed.style, static_cast<DWORD>(WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME |
                                               DS_CENTER | DS_SETFOREGROUND | DS_3DLOOK | DS_SETFONT |
                                               DS_FIXEDSYS | DS_NOFAILCREATE));
    EXPECT_EQ(parsed.units.right, 259);
    EXPECT_EQ(parsed.units.bottom, 322);
    EXPECT_EQ(parsed.pointSize, 8);
    EXPECT_EQ(parsed.face, "MS Shell Dlg");

    ASSERT_EQ(parsed.controls.size(), std::size(kTemplate));
    for (std::size_t i = 0; i < parsed.controls.size(); ++i) {
        const TemplateControl& expected = kTemplate[i];
        const ParsedControl& actual = parsed.controls[i];
        SCOPED_TRACE(testing::Message() << "control " << i << ", id " << expected.id);
        EXPECT_EQ(actual.id, expected.id);
        // The class by name or by atom; names are compared without letter case.
        EXPECT_EQ(lstrcmpiA(actual.className.c_str(), expected.className), 0) << actual.className;
        EXPECT_EQ(actual.text, expected.text ? expected.text : (expected.id == -1 ? "#1" : ""));
        EXPECT_EQ(actual.style, WS_CHILD | WS_VISIBLE | expected.styles);
        EXPECT_EQ(actual.exStyle, expected.id == 1001 ? static_cast<DWORD>(WS_EX_CLIENTEDGE) : 0u);
        EXPECT_EQ(actual.units.left, expected.units.left);
        EXPECT_EQ(actual.units.top, expected.units.top);
        EXPECT_EQ(actual.units.right, expected.units.right);
        EXPECT_EQ(actual.units.bottom, expected.units.bottom);
    }
}

TEST_F(DialogTest, TheDialogShowsTheTemplatesControlsInTabOrder) {
    REQUIRE_DISPLAY();
    events.init = [&](Win32Dialog& dialog) {
        const HWND window = dialog.window();
        EXPECT_EQ(GetWindowLongA(window, GWL_STYLE) & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0);
        HWND child = GetWindow(window, GW_CHILD);
        for (const TemplateControl& expected : kTemplate) {
            ASSERT_TRUE(child) << "missing control " << expected.id;
            SCOPED_TRACE(testing::Message() << "control " << expected.id << " " << (expected.text ? expected.text : ""));
            EXPECT_EQ(GetDlgCtrlID(child), expected.id);
            EXPECT_EQ(lstrcmpiA(ClassOf(child).c_str(), expected.className), 0) << ClassOf(child);
            if (expected.text) {
                EXPECT_EQ(TextOf(child), expected.text);
            }
            RECT origin = {expected.units.left, expected.units.top, 0, 0};
            MapDialogRect(window, &origin);
            RECT actual;
            GetWindowRect(child, &actual);
            MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&actual), 2);
            EXPECT_EQ(actual.left, origin.left);
            EXPECT_EQ(actual.top, origin.top);
            child = GetWindow(child, GW_HWNDNEXT);
        }
        EXPECT_FALSE(child) << "an extra control";
        HWND icon = GetWindow(GetDlgItem(window, 1015), GW_HWNDNEXT);
        EXPECT_TRUE(SendMessageA(icon, STM_GETICON, 0, 0)) << "the application icon";
        dialog.endDialog(3);
    };
    EXPECT_EQ(run(), 3);
    EXPECT_EQ(events.destroyed, 1);
}

TEST_F(DialogTest, ControlOperationsReachTheControls) {
    REQUIRE_DISPLAY();
    events.init = [&](Win32Dialog& dialog) {
        dialog.setText(1003, "00 000 00:00:01.500\t>1 sec");
        EXPECT_EQ(dialog.getText(1003, 255), "00 000 00:00:01.500\t>1 sec");
        EXPECT_EQ(dialog.getText(1003, 6), "00 00");
        dialog.setCaption("SKEWMON test");
        EXPECT_EQ(TextOf(dialog.window()), "SKEWMON test");
        dialog.enable(1009, false);
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog.window(), 1009)));
        dialog.enable(1009, true);
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog.window(), 1009)));

        // The list keeps the order of addition; rows read back cut to capacity.
        const int stops[] = {74, 82, 160};
        dialog.listSetTabStops(1001, stops);
        EXPECT_EQ(dialog.listAdd(1001, "ZULU\t+\t00 000 00:00:00.000"), 0);
        EXPECT_EQ(dialog.listAdd(1001, "ALPHA\tNo response or excessive latency"), 1);
        EXPECT_EQ(dialog.listCount(1001), 2);
        EXPECT_EQ(dialog.listText(1001, 1, 256), "ALPHA\tNo response or excessive latency");
        EXPECT_EQ(dialog.listText(1001, 0, 5), "ZULU");
        EXPECT_EQ(dialog.listText(1001, 7, 256), "");
        dialog.listSelect(1001, 1);
        EXPECT_EQ(SendDlgItemMessageA(dialog.window(), 1001, LB_GETCURSEL, 0, 0), 1);
        dialog.repaintNow(1001);
        dialog.listReset(1001);
        EXPECT_EQ(dialog.listCount(1001), 0);

        EXPECT_EQ(dialog.comboSelected(197), -1);
        EXPECT_EQ(dialog.comboAdd(197, "WORKGROUP"), 0);
        EXPECT_EQ(dialog.comboAdd(197, "ALPHA"), 1);
        dialog.comboSelect(197, 1);
        EXPECT_EQ(dialog.comboCount(197), 2);
        EXPECT_EQ(dialog.comboSelected(197), 1);
        EXPECT_EQ(dialog.comboText(197, 0, 128), "WORKGROUP");
        EXPECT_EQ(dialog.comboText(197, 0, 5), "WORK");
        dialog.comboReset(197);
        EXPECT_EQ(dialog.comboCount(197), 0);

        dialog.pushWaitCursor();
        dialog.pushWaitCursor();
        dialog.popWaitCursor();
        dialog.popWaitCursor();
        dialog.popWaitCursor();  // unbalanced: ignored

        const auto started = std::chrono::steady_clock::now();
        dialog.beep(2000, 200);  // the caller waits for the whole sound
        EXPECT_GE(std::chrono::steady_clock::now() - started, 190ms);
        dialog.endDialog(0);
    };
    EXPECT_EQ(run(), 0);
}

TEST_F(DialogTest, OtherThreadsReachTheDialogOnlyWhileItIsThere) {
    REQUIRE_DISPLAY();
    std::thread writer;
    std::thread latecomer;
    DWORD dialogThread = 0;
    DWORD ranOn = 0;
    std::atomic<bool> latecomerRan{false};
    std::atomic<bool> latecomerAccepted{true};

    events.init = [&](Win32Dialog& dialog) {
        dialogThread = GetCurrentThreadId();
        writer = std::thread([&] {
            EXPECT_TRUE(dialog.runOnDialogThread([&] {
                ranOn = GetCurrentThreadId();
                dialog.setText(1002, "written from another thread");
            }));
            dialog.postCommand(1009, 0);
        });
    };
    events.command = [&](Win32Dialog& dialog, int id, int) {
        if (id != 1009) return;
        EXPECT_EQ(dialog.getText(1002, 256), "written from another thread");
        // A call queued while the dialog is ending is refused, not run later.
        latecomer = std::thread([&] {
            latecomerAccepted = dialog.runOnDialogThread([&] { latecomerRan = true; });
        });
        std::this_thread::sleep_for(200ms);
        dialog.endDialog(5);
    };
    EXPECT_EQ(run(), 5);
    writer.join();
    latecomer.join();
    EXPECT_EQ(ranOn, dialogThread);
    EXPECT_FALSE(latecomerAccepted);
    EXPECT_FALSE(latecomerRan);
    EXPECT_EQ(events.destroyed, 1);
}

TEST_F(DialogTest, AnEndedDialogIsStillThereToRefuseAScanThatOutlivedIt) {
    REQUIRE_DISPLAY();
    Win32Dialog* shown = nullptr;
    events.init = [&](Win32Dialog& dialog) {
        shown = &dialog;
        dialog.postCommand(2, 0);
    };
    events.command = [&](Win32Dialog& dialog, int id, int) {
        if (id == 2) dialog.endDialog(0);
    };
    EXPECT_EQ(run(), 0);
    ASSERT_NE(shown, nullptr);
    // What a cancelled scan still does once the program has closed the window,
    // before it has waited for the scan: the dialog refuses, it is not gone.
    std::atomic<bool> ran{false};
    std::atomic<bool> accepted{true};
    std::thread late([&] {
        accepted = shown->runOnDialogThread([&] { ran = true; });
        shown->postCommand(1, 0);
    });
    late.join();
    EXPECT_FALSE(accepted);
    EXPECT_FALSE(ran);
    EXPECT_EQ(shown->window(), nullptr);
    EXPECT_EQ(windows.mainWindow(), nullptr);
}

TEST_F(DialogTest, TheCloseBoxGivesTheCloseCommand) {
    REQUIRE_DISPLAY();
    events.init = [&](Win32Dialog& dialog) { PostMessageA(dialog.window(), WM_CLOSE, 0, 0); };
    events.command = [&](Win32Dialog& dialog, int id, int) {
        if (id == 2) dialog.endDialog(0);
    };
    EXPECT_EQ(run(), 0);
    // The list box's focus notifications may come first.
    EXPECT_NE(std::find(events.commands.begin(), events.commands.end(), std::make_pair(2, 0)), events.commands.end());
}

TEST_F(DialogTest, TheLinkLabelsColourQueryTakesTheLinkFont) {
    REQUIRE_DISPLAY();
    FontSpec spec;
    spec.underline = true;
    const std::unique_ptr<Font> linkFont = windows.createFont(spec);
    ASSERT_TRUE(linkFont);
    const HFONT expected = static_cast<const Win32Font&>(*linkFont).handle();
    events.init = [&](Win32Dialog& dialog) {
        HDC dc = CreateCompatibleDC(nullptr);
        const HGDIOBJ before = GetCurrentObject(dc, OBJ_FONT);
        SendMessageA(dialog.window(), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                     reinterpret_cast<LPARAM>(GetDlgItem(dialog.window(), 1014)));
        EXPECT_EQ(GetCurrentObject(dc, OBJ_FONT), before);  // other labels are left alone
        SendMessageA(dialog.window(), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                     reinterpret_cast<LPARAM>(GetDlgItem(dialog.window(), 1013)));
        EXPECT_EQ(GetCurrentObject(dc, OBJ_FONT), expected);
        SelectObject(dc, before);
        DeleteDC(dc);
        dialog.endDialog(0);
    };
    EXPECT_EQ(run(), 0);
}

}  // namespace
}  // namespace skewmon::platform::win32
