#include "app/app_win.h"

#include <shellapi.h>

#include <cstring>
#include <vector>

#include "app/autostart.h"
#include "core/files.h"
#include "core/text.h"
#include "ui/native_window_win.h"
#include "ui/webview_window_win.h"
#include "ui/window_icon_win.h"

namespace vornet::app {
namespace {

constexpr UINT kTrayIconId = 1;
// Notification callbacks with icon version 4 carry the event in the low word of lParam.
constexpr UINT kSelect = WM_USER + 0;        // NIN_SELECT
constexpr UINT kKeySelect = WM_USER + 1;     // NIN_KEYSELECT
constexpr UINT kBalloonClick = WM_USER + 5;  // NIN_BALLOONUSERCLICK

const wchar_t* wide(const WideString& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

// Copies `text` into a fixed UTF-16 field of `capacity` characters (terminator included),
// never splitting a surrogate pair.
template <std::size_t N>
void copyField(wchar_t (&field)[N], const std::string& text) {
    WideString wideText = utf8ToWide(text);
    std::size_t length = std::min<std::size_t>(wideText.size(), N - 1);
    if (length > 0 && length < wideText.size() && wideText[length - 1] >= 0xD800 && wideText[length - 1] <= 0xDBFF) {
        --length;
    }
    std::memcpy(field, wideText.data(), length * sizeof(wchar_t));
    field[length] = L'\0';
}

NOTIFYICONDATAW iconData(HWND window) {
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = window;
    data.uID = kTrayIconId;
    return data;
}

}  // namespace

App::App(HINSTANCE instance, AppOptions options, HANDLE instanceMutex)
    : instance_(instance),
      mutex_(instanceMutex),
      autostart_(createSystemAutostart()),
      controller_(options, *this, productEnvironment(autostart_.get(), autostartCommand(currentExecutablePath()))) {}

App::App(HINSTANCE instance, AppOptions options, HANDLE instanceMutex, ControllerEnvironment environment,
         NativeWindowFactory nativeWindows, WebViewStarter webViews)
    : instance_(instance),
      mutex_(instanceMutex),
      nativeWindows_(std::move(nativeWindows)),
      webViews_(std::move(webViews)),
      controller_(options, *this, std::move(environment)) {}

App::~App() {
    *alive_ = false;
    // A window that outlives the controller must not call into it.
    if (window_) SetWindowLongPtrW(window_.get(), GWLP_USERDATA, 0);
}

int App::run() {
    if (!create()) return 1;
    return loop();
}

bool App::create() {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &App::windowProc;
    windowClass.hInstance = instance_;
    windowClass.lpszClassName = kTrayWindowClass;
    // A class left registered by an earlier App in this process is fine.
    if (!RegisterClassExW(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
    HWND hwnd = CreateWindowExW(0, kTrayWindowClass, L"Parlow", 0, 0, 0, 0, 0, nullptr, nullptr, instance_, this);
    if (hwnd == nullptr) return false;
    window_.reset(hwnd);
    taskbarCreated_ = RegisterWindowMessageW(L"TaskbarCreated");
    controller_.start();
    return true;
}

int App::loop() {
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        StatusWindow* status = controller_.window();
        if (status != nullptr && std::strcmp(status->kind(), "native") == 0 &&
            IsDialogMessageW(static_cast<HWND>(status->hwnd()), &message)) {
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    controller_.shutdown(false);
    return controller_.exitCode();
}

LRESULT CALLBACK App::windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* app = reinterpret_cast<App*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (app == nullptr) return DefWindowProcW(hwnd, message, wParam, lParam);
    return app->handle(hwnd, message, wParam, lParam);
}

LRESULT App::handle(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (taskbarCreated_ != 0 && message == taskbarCreated_) {
        controller_.taskbarCreated();
        return 0;
    }
    switch (message) {
        case kTrayCallbackMessage:
            switch (LOWORD(lParam)) {
                case WM_CONTEXTMENU:
                    showTrayMenu(static_cast<short>(LOWORD(wParam)), static_cast<short>(HIWORD(wParam)));
                    break;
                case kSelect:
                case kKeySelect:
                case kBalloonClick:
                    controller_.showRequested();
                    break;
                default:
                    break;
            }
            return 0;
        case WM_QUERYENDSESSION:
            return 1;
        case WM_ENDSESSION:
            if (wParam != 0) {
                controller_.shutdown(true);
                quit();
            }
            return 0;
        case WM_CLOSE:
            // Someone (an installer, a task manager) asks the program to end: quit in order, as
            // the menu's Quit does, instead of leaving a process without its window.
            runMenuCommand(static_cast<int>(TrayCommand::Quit));
            return 0;
        case WM_COPYDATA: {
            const auto* copy = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
            if (copy == nullptr) return 0;
            return controller_.receiveHandover(static_cast<std::uint64_t>(copy->dwData), copy->lpData, copy->cbData)
                       ? 1
                       : 0;
        }
        case WM_TIMER:
            controller_.onTimer(static_cast<unsigned>(wParam));
            return 0;
        case kShowWindowMessage:
            controller_.showRequested();
            return 0;
        case kEnrollDoneMessage:
            controller_.enrollFinished();
            return 0;
        case kWebViewFailedMessage:
            controller_.webViewProcessFailed();
            return 0;
        default:
            return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

void App::startTimer(unsigned id, std::int64_t periodMs) {
    if (window_) SetTimer(window_.get(), id, static_cast<UINT>(periodMs), nullptr);
}

void App::killTimer(unsigned id) {
    if (window_) KillTimer(window_.get(), id);
}

void App::quit() {
    if (quitPosted_) return;
    quitPosted_ = true;
    PostQuitMessage(0);
}

void App::notifyEnrollFinished() {
    // Runs on the enroll worker. The window handle stays valid to post to; once the window is
    // gone the post fails and shutdown collects the result itself.
    PostMessageW(window_.get(), kEnrollDoneMessage, 0, 0);
}

bool App::addTrayIcon() {
    if (!window_) return false;
    NOTIFYICONDATAW data = iconData(window_.get());
    data.uFlags = NIF_MESSAGE;
    data.uCallbackMessage = kTrayCallbackMessage;
    if (!Shell_NotifyIconW(NIM_ADD, &data) && !Shell_NotifyIconW(NIM_MODIFY, &data)) return false;
    data.uVersion = NOTIFYICON_VERSION_4;
    Shell_NotifyIconW(NIM_SETVERSION, &data);
    return true;
}

void App::removeTrayIcon() {
    if (!window_) return;
    NOTIFYICONDATAW data = iconData(window_.get());
    Shell_NotifyIconW(NIM_DELETE, &data);
}

void App::setTrayImage(int tone) {
    int size = GetSystemMetrics(SM_CXSMICON);
    if (size < 1) size = 16;
    win::Icon icon(makeIcon(size, tone, true));
    if (!icon) return;
    NOTIFYICONDATAW data = iconData(window_.get());
    data.uFlags = NIF_ICON;
    data.hIcon = icon.get();
    Shell_NotifyIconW(NIM_MODIFY, &data);
    // The shell has its own copy now; the previous icon goes when it is replaced.
    icon_ = std::move(icon);
}

void App::setTrayTip(const std::string& tip) {
    NOTIFYICONDATAW data = iconData(window_.get());
    data.uFlags = NIF_TIP | NIF_SHOWTIP;
    copyField(data.szTip, tip);
    Shell_NotifyIconW(NIM_MODIFY, &data);
}

void App::showBalloon(const std::string& title, const std::string& text) {
    NOTIFYICONDATAW data = iconData(window_.get());
    data.uFlags = NIF_INFO;
    data.dwInfoFlags = NIIF_WARNING;
    copyField(data.szInfoTitle, title);
    copyField(data.szInfo, text);
    Shell_NotifyIconW(NIM_MODIFY, &data);
}

void App::startWebView() {
    if (webViews_) {
        webViews_(*this);
        return;
    }
    std::string folder;
    try {
        folder = joinPath(appDataFolder(), "WebView2");
    } catch (const std::exception&) {
        // No per-user folder: the web view cannot keep its profile anywhere of ours.
    }
    HWND tray = window_.get();
    createWebViewWindow(
        instance_, folder, eventHandler(), [tray] { PostMessageW(tray, kWebViewFailedMessage, 0, 0); },
        [this, alive = alive_](std::unique_ptr<StatusWindow> window, const std::string& error) {
            // May run before createWebViewWindow returns (no runtime), or after the App is gone.
            if (!*alive) return;
            if (window) {
                controller_.webViewCreated(std::move(window));
            } else {
                controller_.webViewFailed(error);
            }
        });
}

std::unique_ptr<StatusWindow> App::createNativeWindow() {
    if (nativeWindows_) return nativeWindows_(instance_, eventHandler());
    return vornet::app::createNativeWindow(instance_, eventHandler());
}

UiEventHandler App::eventHandler() {
    return [this](const UiEvent& event) { controller_.dispatch(event); };
}

void App::setClipboardText(const std::string& text, StatusWindow* owner) {
    HWND ownerWindow = owner != nullptr ? static_cast<HWND>(owner->hwnd()) : window_.get();
    if (!OpenClipboard(ownerWindow)) return;
    WideString wideText = utf8ToWide(text);
    const std::size_t bytes = (wideText.size() + 1) * sizeof(wchar_t);
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes);
    if (memory != nullptr) {
        void* target = GlobalLock(memory);
        if (target != nullptr) {
            std::memcpy(target, wideText.c_str(), bytes);
            GlobalUnlock(memory);
            EmptyClipboard();
            // On success the clipboard owns the memory.
            if (SetClipboardData(CF_UNICODETEXT, memory) == nullptr) GlobalFree(memory);
        } else {
            GlobalFree(memory);
        }
    }
    CloseClipboard();
}

void App::releaseInstance() {
    if (window_) {
        SetWindowLongPtrW(window_.get(), GWLP_USERDATA, 0);
        window_.reset();
    }
    mutex_.reset();
}

win::Menu App::buildMenu() const {
    win::Menu menu(CreatePopupMenu());
    if (!menu) return menu;
    for (const MenuItem& item : controller_.trayMenu()) {
        if (item.separator()) {
            AppendMenuW(menu.get(), MF_SEPARATOR, 0, nullptr);
            continue;
        }
        UINT flags = MF_STRING;
        if (!item.enabled) flags |= MF_GRAYED;
        if (item.checked) flags |= MF_CHECKED;
        WideString text = utf8ToWide(item.text);
        AppendMenuW(menu.get(), flags, static_cast<UINT_PTR>(item.command), wide(text));
        if (item.isDefault) SetMenuDefaultItem(menu.get(), static_cast<UINT>(item.command), FALSE);
    }
    return menu;
}

void App::showTrayMenu(int x, int y) {
    win::Menu menu = buildMenu();
    if (!menu) return;
    // Without the foreground the menu would not close when the user clicks elsewhere.
    SetForegroundWindow(window_.get());
    const int command = static_cast<int>(
        TrackPopupMenuEx(menu.get(), TPM_RETURNCMD | TPM_NONOTIFY | TPM_RIGHTBUTTON, x, y, window_.get(), nullptr));
    PostMessageW(window_.get(), WM_NULL, 0, 0);
    menu.reset();
    runMenuCommand(command);
}

void App::runMenuCommand(int command) {
    controller_.menuCommand(static_cast<TrayCommand>(command));
}

}  // namespace vornet::app
