#include "ui/webview_window_win.h"

#include "ui/window_icon_win.h"

#include <shlwapi.h>

#include <atomic>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/text.h"
#include "ui/mark.h"
#include "ui/page_protocol.h"

namespace vornet::app {
namespace {

using namespace vornet::webview2;

constexpr const wchar_t* kClassName = L"ParlowWebViewWindow";
constexpr int kClientSize = 740;
constexpr int kMinWidth = 480;
constexpr int kMinHeight = 420;

std::wstring wide(std::string_view utf8) {
    const WideString w = utf8ToWide(utf8);
    return std::wstring(w.begin(), w.end());
}

std::string narrow(const wchar_t* text) {
    if (text == nullptr) return {};
    return wideToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text), wcslen(text)));
}

// A reference-counted COM object for one handler interface that forwards Invoke to a
// callable. It answers QueryInterface for IUnknown and its own interface only.
template <typename Interface, typename... Args>
class Callback final : public Interface {
public:
    Callback(const IID& iid, std::function<HRESULT(Args...)> invoke) : iid_(iid), invoke_(std::move(invoke)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, iid_)) {
            *object = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE Invoke(Args... args) override { return invoke_(args...); }

private:
    ~Callback() = default;
    std::atomic<ULONG> refs_{1};
    IID iid_;
    std::function<HRESULT(Args...)> invoke_;
};

// Owns one reference to a handler made here, so each path releases it exactly once.
template <typename Interface>
struct HandlerRef {
    Interface* p;
    ~HandlerRef() { p->Release(); }
};

using EnvironmentCompleted =
    Callback<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler, HRESULT, ICoreWebView2Environment*>;
using ControllerCompleted =
    Callback<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler, HRESULT, ICoreWebView2Controller*>;
using NavigationStarting =
    Callback<ICoreWebView2NavigationStartingEventHandler, ICoreWebView2*, ICoreWebView2NavigationStartingEventArgs*>;
using NewWindowRequested =
    Callback<ICoreWebView2NewWindowRequestedEventHandler, ICoreWebView2*, ICoreWebView2NewWindowRequestedEventArgs*>;
using WebMessageReceived =
    Callback<ICoreWebView2WebMessageReceivedEventHandler, ICoreWebView2*, ICoreWebView2WebMessageReceivedEventArgs*>;
using ProcessFailed =
    Callback<ICoreWebView2ProcessFailedEventHandler, ICoreWebView2*, ICoreWebView2ProcessFailedEventArgs*>;
using CaptureCompleted = Callback<ICoreWebView2CapturePreviewCompletedHandler, HRESULT>;

// Per-monitor DPI functions exist from Windows 10 1607 on: looked up at run time.
UINT windowDpi(HWND hwnd) {
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    static const auto getDpi = reinterpret_cast<GetDpiForWindowFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    const UINT dpi = (getDpi != nullptr && hwnd != nullptr) ? getDpi(hwnd) : 0;
    return dpi == 0 ? 96 : dpi;
}

BOOL adjustRect(RECT* rect, DWORD style, DWORD exStyle, UINT dpi) {
    using AdjustFn = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);
    static const auto adjust = reinterpret_cast<AdjustFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "AdjustWindowRectExForDpi")));
    if (adjust != nullptr) return adjust(rect, style, FALSE, exStyle, dpi);
    return AdjustWindowRectEx(rect, style, FALSE, exStyle);
}

int scaled(int value, UINT dpi) {
    return MulDiv(value, static_cast<int>(dpi), 96);
}

bool registerWindowClass(HINSTANCE instance, WNDPROC proc) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = proc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    // One brush for the class, kept for the life of the process.
    wc.hbrBackground = CreateSolidBrush(static_cast<COLORREF>(0xF9F7F6));
    wc.lpszClassName = kClassName;
    if (RegisterClassExW(&wc) != 0) return true;
    DeleteObject(wc.hbrBackground);
    return GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

void WebViewWindow::IconDeleter::operator()(HICON icon) const {
    if (icon != nullptr) DestroyIcon(icon);
}

WebViewWindow::WebViewWindow(HINSTANCE instance, UiEventHandler onUiEvent, std::function<void()> onProcessFailed,
                             WebViewEnvironmentFactory environmentFactory)
    : instance_(instance),
      onUiEvent_(std::move(onUiEvent)),
      onProcessFailed_(std::move(onProcessFailed)),
      environmentFactory_(std::move(environmentFactory)) {
    if (!environmentFactory_) {
        environmentFactory_ = [](const std::wstring& folder,
                                 ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler) {
            return createEnvironment(folder.empty() ? nullptr : folder.c_str(), handler);
        };
    }
}

WebViewWindow::~WebViewWindow() {
    *alive_ = false;
    if (hwnd_ != nullptr) SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
    if (webview_ != nullptr && handlersAdded_) {
        webview_->remove_NavigationStarting(navigationToken_);
        webview_->remove_NewWindowRequested(newWindowToken_);
        webview_->remove_WebMessageReceived(messageToken_);
        webview_->remove_ProcessFailed(processToken_);
    }
    if (controller_ != nullptr) {
        controller_->Close();
        controller_->Release();
        controller_ = nullptr;
    }
    if (webview_ != nullptr) {
        webview_->Release();
        webview_ = nullptr;
    }
    if (hwnd_ != nullptr) DestroyWindow(hwnd_);
}

void WebViewWindow::fail(const std::string& error) {
    if (!completion_) return;
    Completion done = std::move(completion_);
    completion_ = nullptr;
    done(false, error);  // may destroy this object
}

UINT WebViewWindow::dpi() const {
    return windowDpi(hwnd_);
}

void WebViewWindow::start(const std::string& userDataFolder, Completion completion) {
    completion_ = std::move(completion);
    if (!registerWindowClass(instance_, &WebViewWindow::windowProc)) {
        fail("window creation failed");
        return;
    }
    hwnd_ = CreateWindowExW(0, kClassName, L"Parlow", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 800, 800,
                            nullptr, nullptr, instance_, this);
    if (hwnd_ == nullptr) {
        fail("window creation failed");
        return;
    }

    // The client area is 740 × 740 at the window's DPI, kept inside the work area of the
    // monitor under the mouse cursor and centred in it.
    const UINT windowDpiValue = dpi();
    const DWORD style = static_cast<DWORD>(GetWindowLongPtrW(hwnd_, GWL_STYLE));
    const DWORD exStyle = static_cast<DWORD>(GetWindowLongPtrW(hwnd_, GWL_EXSTYLE));
    RECT frame{0, 0, scaled(kClientSize, windowDpiValue), scaled(kClientSize, windowDpiValue)};
    adjustRect(&frame, style, exStyle, windowDpiValue);
    int width = frame.right - frame.left;
    int height = frame.bottom - frame.top;
    POINT cursor{};
    GetCursorPos(&cursor);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    if (GetMonitorInfoW(MonitorFromPoint(cursor, MONITOR_DEFAULTTONEAREST), &monitor)) {
        const RECT& work = monitor.rcWork;
        const int workWidth = work.right - work.left;
        const int workHeight = work.bottom - work.top;
        if (width > workWidth) width = workWidth;
        if (height > workHeight) height = workHeight;
        int x = work.left + (workWidth - width) / 2;
        int y = work.top + (workHeight - height) / 2;
        if (x < work.left) x = work.left;
        if (y < work.top) y = work.top;
        SetWindowPos(hwnd_, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    } else {
        SetWindowPos(hwnd_, nullptr, 0, 0, width, height, SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE);
    }
    setIcons();

    HRSRC resource = FindResourceW(instance_, MAKEINTRESOURCEW(kStatusPageResource), RT_RCDATA);
    HGLOBAL loaded = resource != nullptr ? LoadResource(instance_, resource) : nullptr;
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    const DWORD size = resource != nullptr ? SizeofResource(instance_, resource) : 0;
    if (bytes == nullptr || size == 0) {
        fail("UI resource missing");
        return;
    }
    page_.assign(static_cast<const char*>(bytes), size);

    std::shared_ptr<bool> alive = alive_;
    HandlerRef<EnvironmentCompleted> handler{new EnvironmentCompleted(
        kIidEnvironmentCompletedHandler, [alive, self = this](HRESULT result, ICoreWebView2Environment* environment) {
            if (*alive) self->onEnvironment(result, environment);
            return S_OK;
        })};
    const HRESULT started = environmentFactory_(wide(userDataFolder), handler.p);
    if (!*alive) return;  // completed and destroyed inside the call
    if (FAILED(started)) fail(hresultText("WebView2 runtime not available", static_cast<std::uint32_t>(started)));
}

void WebViewWindow::onEnvironment(HRESULT result, ICoreWebView2Environment* environment) {
    if (FAILED(result) || environment == nullptr) {
        fail(hresultText("WebView2 environment failed", static_cast<std::uint32_t>(result)));
        return;
    }
    std::shared_ptr<bool> alive = alive_;
    HandlerRef<ControllerCompleted> handler{new ControllerCompleted(
        kIidControllerCompletedHandler, [alive, self = this](HRESULT r, ICoreWebView2Controller* controller) {
            if (*alive) self->onController(r, controller);
            return S_OK;
        })};
    const HRESULT requested = environment->CreateCoreWebView2Controller(hwnd_, handler.p);
    if (!*alive) return;
    if (FAILED(requested)) fail(hresultText("WebView2 controller failed", static_cast<std::uint32_t>(requested)));
}

void WebViewWindow::onController(HRESULT result, ICoreWebView2Controller* controller) {
    if (FAILED(result) || controller == nullptr) {
        fail(hresultText("WebView2 controller failed", static_cast<std::uint32_t>(result)));
        return;
    }
    controller->AddRef();
    controller_ = controller;
    ICoreWebView2* webview = nullptr;
    if (FAILED(controller_->get_CoreWebView2(&webview)) || webview == nullptr) {
        fail("WebView2 view missing");
        return;
    }
    webview_ = webview;

    ICoreWebView2Settings* settings = nullptr;
    if (SUCCEEDED(webview_->get_Settings(&settings)) && settings != nullptr) {
        settings->put_AreDevToolsEnabled(FALSE);
        settings->put_AreDefaultContextMenusEnabled(FALSE);
        settings->put_IsStatusBarEnabled(FALSE);
        settings->put_IsZoomControlEnabled(FALSE);
        settings->put_AreDefaultScriptDialogsEnabled(FALSE);
        settings->put_IsWebMessageEnabled(TRUE);
        settings->Release();
    }

    std::shared_ptr<bool> alive = alive_;
    HandlerRef<NavigationStarting> navigation{
        new NavigationStarting(kIidNavigationStartingEventHandler,
                               [alive, self = this](ICoreWebView2*, ICoreWebView2NavigationStartingEventArgs* args) {
                                   if (!*alive || args == nullptr) return S_OK;
                                   // Only the window's own page load goes through, never a link.
                                   const BOOL cancel = self->allowNextNavigation_ ? FALSE : TRUE;
                                   self->allowNextNavigation_ = false;
                                   args->put_Cancel(cancel);
                                   return S_OK;
                               })};
    HandlerRef<NewWindowRequested> newWindow{new NewWindowRequested(
        kIidNewWindowRequestedEventHandler, [alive](ICoreWebView2*, ICoreWebView2NewWindowRequestedEventArgs* args) {
            if (*alive && args != nullptr) args->put_Handled(TRUE);
            return S_OK;
        })};
    HandlerRef<WebMessageReceived> message{
        new WebMessageReceived(kIidWebMessageReceivedEventHandler,
                               [alive, self = this](ICoreWebView2*, ICoreWebView2WebMessageReceivedEventArgs* args) {
                                   if (*alive && args != nullptr) self->onWebMessage(args);
                                   return S_OK;
                               })};
    HandlerRef<ProcessFailed> process{new ProcessFailed(
        kIidProcessFailedEventHandler, [alive, self = this](ICoreWebView2*, ICoreWebView2ProcessFailedEventArgs* args) {
            if (*alive) self->onProcessFailure(args);
            return S_OK;
        })};
    webview_->add_NavigationStarting(navigation.p, &navigationToken_);
    webview_->add_NewWindowRequested(newWindow.p, &newWindowToken_);
    webview_->add_WebMessageReceived(message.p, &messageToken_);
    webview_->add_ProcessFailed(process.p, &processToken_);
    handlersAdded_ = true;

    fitToClient();
    loadPage();

    Completion done = std::move(completion_);
    completion_ = nullptr;
    if (done) done(true, std::string());
}

void WebViewWindow::loadPage() {
    if (webview_ == nullptr) return;
    allowNextNavigation_ = true;
    lastPosted_.clear();
    webview_->NavigateToString(wide(page_).c_str());
}

void WebViewWindow::fitToClient() {
    if (controller_ == nullptr || hwnd_ == nullptr) return;
    RECT client{};
    GetClientRect(hwnd_, &client);
    controller_->put_Bounds(client);
}

void WebViewWindow::setIcons() {
    const UINT value = dpi();
    OwnedIcon big(makeIcon(scaled(32, value), 1, false));
    OwnedIcon small(makeIcon(scaled(16, value), 1, false));
    SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big.get()));
    SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small.get()));
    // The icons they replace are destroyed now that the window no longer shows them.
    bigIcon_ = std::move(big);
    smallIcon_ = std::move(small);
}

void WebViewWindow::onWebMessage(ICoreWebView2WebMessageReceivedEventArgs* args) {
    LPWSTR json = nullptr;
    if (FAILED(args->get_WebMessageAsJson(&json)) || json == nullptr) return;
    const std::string text = narrow(json);
    CoTaskMemFree(json);
    std::optional<UiEvent> event = pageMessageEvent(text);
    if (!event) return;
    // The page (re)loaded: whatever was posted before is gone with the old document.
    if (event->action == UiAction::Ready) lastPosted_.clear();
    if (onUiEvent_) onUiEvent_(*event);
}

void WebViewWindow::onProcessFailure(ICoreWebView2ProcessFailedEventArgs* args) {
    int kind = kBrowserProcessExited;
    if (args == nullptr || FAILED(args->get_ProcessFailedKind(&kind))) kind = kBrowserProcessExited;
    if (kind == kBrowserProcessExited) {
        if (onProcessFailed_) onProcessFailed_();  // the caller may destroy this window
    } else if (kind == kRenderProcessExited) {
        loadPage();
    }
}

void WebViewWindow::show() {
    if (hwnd_ == nullptr) return;
    if (IsIconic(hwnd_)) {
        ShowWindow(hwnd_, SW_RESTORE);
    } else {
        ShowWindow(hwnd_, SW_SHOW);
    }
    SetForegroundWindow(hwnd_);
    if (controller_ != nullptr) {
        controller_->put_IsVisible(TRUE);
        controller_->MoveFocus(kMoveFocusProgrammatic);
    }
}

void WebViewWindow::hide() {
    if (hwnd_ != nullptr) ShowWindow(hwnd_, SW_HIDE);
}

bool WebViewWindow::isVisible() const {
    return hwnd_ != nullptr && IsWindowVisible(hwnd_) && !IsIconic(hwnd_);
}

void WebViewWindow::update(const AppStatus&, const StatusView& view, const std::string& viewJson) {
    if (webview_ == nullptr) return;
    std::wstring text = wide(viewJson);
    if (text == lastPosted_) return;
    lastPosted_ = std::move(text);
    webview_->PostWebMessageAsJson(lastPosted_.c_str());
    SetWindowTextW(hwnd_, wide(statusWindowTitle(view)).c_str());
}

void WebViewWindow::capture(const std::string& path, std::function<void(bool)> done) {
    if (webview_ == nullptr) {
        done(false);
        return;
    }
    IStream* stream = nullptr;
    if (FAILED(SHCreateStreamOnFileEx(wide(path).c_str(), STGM_CREATE | STGM_WRITE, FILE_ATTRIBUTE_NORMAL, TRUE,
                                      nullptr, &stream)) ||
        stream == nullptr) {
        done(false);
        return;
    }
    // Finished once, either by the completion or by a request that fails at once.
    struct Pending {
        IStream* stream;
        std::function<void(bool)> done;
        std::shared_ptr<bool> alive;
        bool finished = false;
        void finish(bool ok) {
            if (finished) return;
            finished = true;
            stream->Commit(STGC_DEFAULT);
            stream->Release();
            if (*alive) done(ok);
        }
    };
    auto pending = std::make_shared<Pending>(Pending{stream, std::move(done), alive_});
    HandlerRef<CaptureCompleted> handler{new CaptureCompleted(kIidCapturePreviewCompletedHandler, [pending](HRESULT r) {
        pending->finish(SUCCEEDED(r));
        return S_OK;
    })};
    if (FAILED(webview_->CapturePreview(kCaptureFormatPng, stream, handler.p))) pending->finish(false);
}

LRESULT CALLBACK WebViewWindow::windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        auto* self = static_cast<WebViewWindow*>(create->lpCreateParams);
        self->hwnd_ = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<WebViewWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self == nullptr) return DefWindowProcW(hwnd, message, wParam, lParam);
    return self->handleMessage(message, wParam, lParam);
}

LRESULT WebViewWindow::handleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_GETMINMAXINFO: {
            auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
            const UINT value = dpi();
            info->ptMinTrackSize.x = scaled(kMinWidth, value);
            info->ptMinTrackSize.y = scaled(kMinHeight, value);
            return 0;
        }
        case WM_SYSCOMMAND:
            if ((wParam & 0xFFF0) == SC_MINIMIZE) {
                hide();
                return 0;
            }
            break;
        case WM_DPICHANGED: {
            const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
            SetWindowPos(hwnd_, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                         suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
            setIcons();
            return 0;
        }
        case WM_MOVE:
            if (controller_ != nullptr) controller_->NotifyParentWindowPositionChanged();
            return 0;
        case WM_SIZE:
            fitToClient();
            return 0;
        case WM_SETFOCUS:
            if (controller_ != nullptr) controller_->MoveFocus(kMoveFocusProgrammatic);
            return 0;
        case WM_CLOSE:
            hide();
            return 0;
        default:
            break;
    }
    return DefWindowProcW(hwnd_, message, wParam, lParam);
}

void createWebViewWindow(HINSTANCE instance, const std::string& userDataFolder, UiEventHandler onUiEvent,
                         std::function<void()> onProcessFailed, WebViewReady onReady,
                         WebViewEnvironmentFactory environmentFactory) {
    // Owned by the creation chain until its one completion: handed over on success,
    // destroyed on failure.
    auto* window =
        new WebViewWindow(instance, std::move(onUiEvent), std::move(onProcessFailed), std::move(environmentFactory));
    window->start(userDataFolder, [window, onReady = std::move(onReady)](bool ok, const std::string& error) {
        std::unique_ptr<StatusWindow> owned(window);
        if (ok) {
            onReady(std::move(owned), std::string());
        } else {
            owned.reset();
            onReady(nullptr, error);
        }
    });
}

}  // namespace vornet::app
