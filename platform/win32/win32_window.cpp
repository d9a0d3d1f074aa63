#include "platform/win32/win32_window.h"
#include "text/text_util.h"

#include <commctrl.h>

#include <chrono>
#include <string>

namespace skewmon::platform::win32 {
namespace {

// The manifest resource that an activation context is made from when the
// module has none of its own (the isolation-aware resource number).
constexpr WORD kIsolationManifestResource = 3;
constexpr DWORD kAllControlClasses = 0xFFF;
constexpr COLORREF kLinkPaintColour = RGB(80, 80, 225);
constexpr COLORREF kLinkTextColour = RGB(70, 70, 245);
constexpr std::size_t kLinkTextCapacity = 256;

HMODULE ThisModule() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ThisModule), &module);
    return module;
}


}  // namespace

// --- activation context -----------------------------------------------------

ActivationContext::ActivationContext(HMODULE module) {
    ACTIVATION_CONTEXT_BASIC_INFORMATION info = {};
    if (QueryActCtxW(QUERY_ACTCTX_FLAG_ACTCTX_IS_HMODULE | QUERY_ACTCTX_FLAG_NO_ADDREF, module, nullptr,
                     ActivationContextBasicInformation, &info, sizeof info, nullptr) &&
        info.hActCtx) {
        handle_ = info.hActCtx;  // borrowed: no reference was added
        return;
    }
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(module, path, MAX_PATH);
    ACTCTXW request = {};
    request.cbSize = sizeof request;
    request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID | ACTCTX_FLAG_HMODULE_VALID;
    request.lpSource = path;
    request.lpResourceName = MAKEINTRESOURCEW(kIsolationManifestResource);
    request.hModule = module;
    HANDLE created = CreateActCtxW(&request);
    if (created != INVALID_HANDLE_VALUE) {
        handle_ = created;
        owned_ = true;
        return;
    }
    switch (GetLastError()) {
        case ERROR_RESOURCE_DATA_NOT_FOUND:
        case ERROR_RESOURCE_TYPE_NOT_FOUND:
        case ERROR_RESOURCE_NAME_NOT_FOUND:
        case ERROR_RESOURCE_LANG_NOT_FOUND:
            break;  // no such manifest: the process default serves
        default:
            usable_ = false;
    }
}

ActivationContext::~ActivationContext() {
    if (owned_) ReleaseActCtx(handle_);
}

ActivationScope::ActivationScope(const ActivationContext& context) {
    entered_ = context.usable() && ActivateActCtx(context.handle(), &cookie_);
}

ActivationScope::~ActivationScope() {
    if (!entered_) return;
    const DWORD error = GetLastError();
    DeactivateActCtx(0, cookie_);
    SetLastError(error);
}

// --- fonts ------------------------------------------------------------------

Win32Font::~Win32Font() {
    owner_.forgetFont(font_);
    DeleteObject(font_);
}

// --- the dialog -------------------------------------------------------------

Win32Dialog::Win32Dialog(Win32WindowSystem& windows, DialogEvents& events)
    : windows_(windows), events_(events), bridge_([this] {
          if (HWND window = window_.load()) PostMessageA(window, kBridgeMessage, 0, 0);
      }) {}

Win32Dialog::~Win32Dialog() = default;

INT_PTR Win32Dialog::run(HINSTANCE instance) {
    bridge_.reopen();
    bridge_.bindToCurrentThread();
    const INT_PTR result = DialogBoxParamA(instance, MAKEINTRESOURCEA(kMainDialogResource), nullptr,
                                           &Win32Dialog::Procedure, reinterpret_cast<LPARAM>(this));
    if (initialised_) finish();
    bridge_.close();
    window_ = nullptr;
    return result;
}

INT_PTR CALLBACK Win32Dialog::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Win32Dialog* self;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<Win32Dialog*>(lParam);
        SetWindowLongPtrA(window, DWLP_USER, lParam);
        self->window_ = window;
    } else {
        self = reinterpret_cast<Win32Dialog*>(GetWindowLongPtrA(window, DWLP_USER));
    }
    if (!self) return FALSE;  // messages before initialisation
    return self->handle(message, wParam, lParam);
}

INT_PTR Win32Dialog::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    const HWND window = window_.load();
    switch (message) {
        case WM_INITDIALOG: {
            // Only the link label takes mouse input among the static controls,
            // so the class-wide pointer shows on it alone.
            if (HWND link = GetDlgItem(window, ctl::kWebLink))
                SetClassLongPtrA(link, GCLP_HCURSOR,
                                 reinterpret_cast<LONG_PTR>(LoadCursorA(nullptr, IDC_HAND)));
            initialised_ = true;
            events_.onInitDialog(*this);
            // Calls queued before the window was known are carried out now.
            PostMessageA(window, kBridgeMessage, 0, 0);
            return TRUE;  // the default focus
        }
        case WM_COMMAND:
            if (!finished_) events_.onCommand(*this, LOWORD(wParam), HIWORD(wParam));
            return TRUE;
        case WM_CLOSE:
            if (!finished_) events_.onCommand(*this, ctl::kClose, 0);
            return TRUE;
        case WM_PAINT:
            paintLink();
            return FALSE;  // the dialog's own painting follows
        case WM_CTLCOLORSTATIC:
            if (reinterpret_cast<HWND>(lParam) == GetDlgItem(window, ctl::kWebLink))
                colourLink(reinterpret_cast<HDC>(wParam));
            return FALSE;  // no brush: the default handling follows
        case kBridgeMessage:
            bridge_.drain();
            return TRUE;
        case WM_DESTROY:
            if (initialised_) finish();
            return FALSE;
        default:
            return FALSE;
    }
}

void Win32Dialog::paintLink() {
    HWND link = GetDlgItem(window(), ctl::kWebLink);
    if (!link) return;
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(link, &paint);
    if (!dc) return;
    const int height = -MulDiv(8, GetDeviceCaps(dc, LOGPIXELSY), 72);
    const UniqueFont font(CreateFontA(height, 0, 0, 0, FW_MEDIUM, FALSE, TRUE, FALSE, DEFAULT_CHARSET,
                                      OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                      VARIABLE_PITCH, "MS Shell Dlg"));
    RECT client;
    GetClientRect(link, &client);
    const HGDIOBJ previous = font ? SelectObject(dc, font.get()) : nullptr;
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, kLinkPaintColour);
    char text[kLinkTextCapacity] = {};
    GetWindowTextA(link, text, sizeof text);
    DrawTextA(dc, text, -1, &client, DT_SINGLELINE | DT_CENTER | DT_VCENTER);
    if (previous) SelectObject(dc, previous);  // not destroyed while selected
    EndPaint(link, &paint);
}

void Win32Dialog::colourLink(HDC dc) {
    SetBkMode(dc, OPAQUE);
    const DWORD face = GetSysColor(COLOR_BTNFACE);
    SetBkColor(dc, face == GetSysColor(COLOR_MENU) ? face : GetSysColor(COLOR_WINDOW));
    if (HFONT font = windows_.linkFont()) SelectObject(dc, font);
    SetTextColor(dc, kLinkTextColour);
}

void Win32Dialog::finish() {
    if (finished_) return;
    finished_ = true;
    events_.onDestroy(*this);
    bridge_.close();
}

LRESULT Win32Dialog::send(int id, UINT message, WPARAM wParam, LPARAM lParam) {
    return SendDlgItemMessageA(window(), id, message, wParam, lParam);
}

bool Win32Dialog::runOnDialogThread(const std::function<void()>& fn) { return bridge_.call(fn); }

void Win32Dialog::setText(int id, std::string_view text) {
    SetDlgItemTextA(window(), id, std::string(text).c_str());
}

std::string Win32Dialog::getText(int id, std::size_t capacity) {
    if (capacity == 0) return {};
    std::string text(capacity, '\0');
    const UINT length = GetDlgItemTextA(window(), id, text.data(), static_cast<int>(capacity));
    text.resize(length);
    return text;
}

void Win32Dialog::setCaption(std::string_view text) { SetWindowTextA(window(), std::string(text).c_str()); }

void Win32Dialog::enable(int id, bool enabled) { EnableWindow(GetDlgItem(window(), id), enabled); }

void Win32Dialog::setFont(int id, const Font* font) {
    const auto* own = dynamic_cast<const Win32Font*>(font);
    if (!own) return;
    send(id, WM_SETFONT, reinterpret_cast<WPARAM>(own->handle()), TRUE);
}

void Win32Dialog::listReset(int id) { send(id, LB_RESETCONTENT); }

int Win32Dialog::listAdd(int id, std::string_view row) {
    const std::string text(row);
    const LRESULT index = send(id, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    return index < 0 ? -1 : static_cast<int>(index);  // LB_ERR or LB_ERRSPACE
}

void Win32Dialog::listSelect(int id, int index) { send(id, LB_SETCURSEL, static_cast<WPARAM>(index)); }

void Win32Dialog::listSetTop(int id, int index) { send(id, LB_SETTOPINDEX, static_cast<WPARAM>(index)); }

int Win32Dialog::listCount(int id) {
    const LRESULT count = send(id, LB_GETCOUNT);
    return count < 0 ? 0 : static_cast<int>(count);
}

std::string Win32Dialog::listText(int id, int index, std::size_t capacity) {
    // LB_GETTEXT takes no capacity: read the whole row, then cut it.
    const LRESULT length = send(id, LB_GETTEXTLEN, static_cast<WPARAM>(index));
    if (length < 0) return {};
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    const LRESULT copied = send(id, LB_GETTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
    text.resize(copied < 0 ? 0 : static_cast<std::size_t>(copied));
    return CutToCapacity(text, capacity);
}

void Win32Dialog::listSetTabStops(int id, std::span<const int> stops) {
    std::vector<INT> copy(stops.begin(), stops.end());
    send(id, LB_SETTABSTOPS, copy.size(), reinterpret_cast<LPARAM>(copy.data()));
}

void Win32Dialog::repaintNow(int id) {
    RedrawWindow(GetDlgItem(window(), id), nullptr, nullptr, RDW_UPDATENOW);
}

void Win32Dialog::comboReset(int id) { send(id, CB_RESETCONTENT); }

int Win32Dialog::comboAdd(int id, std::string_view entry) {
    const std::string text(entry);
    const LRESULT index = send(id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    return index < 0 ? -1 : static_cast<int>(index);
}

void Win32Dialog::comboSelect(int id, int index) { send(id, CB_SETCURSEL, static_cast<WPARAM>(index)); }

int Win32Dialog::comboCount(int id) {
    const LRESULT count = send(id, CB_GETCOUNT);
    return count < 0 ? 0 : static_cast<int>(count);
}

int Win32Dialog::comboSelected(int id) {
    const LRESULT index = send(id, CB_GETCURSEL);
    return index < 0 ? -1 : static_cast<int>(index);
}

std::string Win32Dialog::comboText(int id, int index, std::size_t capacity) {
    const LRESULT length = send(id, CB_GETLBTEXTLEN, static_cast<WPARAM>(index));
    if (length < 0) return {};
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    const LRESULT copied =
        send(id, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
    text.resize(copied < 0 ? 0 : static_cast<std::size_t>(copied));
    return CutToCapacity(text, capacity);
}

void Win32Dialog::postCommand(int id, int notification) {
    if (HWND window = window_.load())
        PostMessageA(window, WM_COMMAND,
                     MAKEWPARAM(static_cast<WORD>(id), static_cast<WORD>(notification)), 0);
}

void Win32Dialog::messageBox(std::string_view text, std::string_view title, MessageIcon icon, bool owned) {
    const UINT style = icon == MessageIcon::kWarning ? MB_TASKMODAL | MB_ICONWARNING | MB_OK
                                                     : MB_ICONINFORMATION | MB_OK;
    MessageBoxA(owned ? window() : nullptr, std::string(text).c_str(), std::string(title).c_str(), style);
}

void Win32Dialog::pushWaitCursor() {
    replacedCursors_.push_back(SetCursor(LoadCursorA(nullptr, IDC_WAIT)));
    ShowCursor(TRUE);
}

void Win32Dialog::popWaitCursor() {
    if (replacedCursors_.empty()) return;
    ShowCursor(FALSE);
    SetCursor(replacedCursors_.back());
    replacedCursors_.pop_back();
}

void Win32Dialog::beep(int hertz, int milliseconds) {
    // Some systems (Wine among them) return from Beep at once; the caller is
    // promised the sound's whole duration either way.
    const auto started = std::chrono::steady_clock::now();
    Beep(static_cast<DWORD>(hertz), static_cast<DWORD>(milliseconds));
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    if (spent.count() < milliseconds) Sleep(static_cast<DWORD>(milliseconds - spent.count()));
}

void Win32Dialog::endDialog(int result) {
    if (finished_) return;
    finish();
    EndDialog(window(), result);
}

void Win32Dialog::bringToForeground() { SetForegroundWindow(window()); }

// --- the window system ------------------------------------------------------

Win32WindowSystem::Win32WindowSystem(HINSTANCE instance) : instance_(instance) {}

Win32WindowSystem::~Win32WindowSystem() = default;

const ActivationContext& Win32WindowSystem::context() {
    if (!context_) context_ = std::make_unique<ActivationContext>(ThisModule());
    return *context_;
}

void Win32WindowSystem::initControlLibrary() {
    const ActivationScope scope(context());
    if (!commonControls_) commonControls_.reset(LoadLibraryW(L"Comctl32.dll"));
    if (!commonControls_) return;
    using InitFunction = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
    // Through void(*)(): a plain conversion between function pointer types
    // that GCC does not warn about.
    const auto init = reinterpret_cast<InitFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(commonControls_.get(), "InitCommonControlsEx")));
    if (!init) return;
    const INITCOMMONCONTROLSEX record = {sizeof(INITCOMMONCONTROLSEX), kAllControlClasses};
    init(&record);
}

int Win32WindowSystem::screenDpiY() {
    HDC screen = GetDC(nullptr);
    if (!screen) return 96;
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi;
}

std::unique_ptr<Font> Win32WindowSystem::createFont(const FontSpec& spec) {
    HFONT font = CreateFontA(spec.height, 0, 0, 0, spec.weight, FALSE, spec.underline ? TRUE : FALSE, FALSE,
                             DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                             VARIABLE_PITCH, spec.face.c_str());
    if (!font) return nullptr;
    if (spec.underline) linkFont_ = font;  // the web link's font
    return std::make_unique<Win32Font>(*this, font);
}

void Win32WindowSystem::forgetFont(HFONT font) {
    if (linkFont_ == font) linkFont_ = nullptr;
}

int Win32WindowSystem::runMainDialog(DialogEvents& events) {
    const ActivationScope scope(context());
    if (!scope.entered()) return -1;
    Win32Dialog& dialog = *dialogs_.emplace_back(std::make_unique<Win32Dialog>(*this, events));
    shown_ = &dialog;
    const INT_PTR result = dialog.run(instance_);
    shown_ = nullptr;
    return static_cast<int>(result);
}

HWND Win32WindowSystem::mainWindow() const {
    const Win32Dialog* dialog = shown_.load();
    return dialog ? dialog->window() : nullptr;
}

}  // namespace skewmon::platform::win32
