// The status window that hosts the status page in the WebView2 control. The host never
// builds HTML: it posts the view JSON to the page and turns the page's messages into
// UiEvents. Everything here runs on the user-interface thread.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <type_traits>

#include "app/status_window.h"
#include "ui/webview2_win.h"

namespace vornet::app {

// Starts creating a web-view environment for `userDataFolder` and calls `handler` when it
// exists; returns a failure at once when it cannot start. The default is the installed
// runtime (webview2::createEnvironment); tests give their own.
using WebViewEnvironmentFactory = std::function<HRESULT(
    const std::wstring& userDataFolder, webview2::ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler)>;

// Called exactly once: with the window and an empty text on success, with no window and
// one of the creation failure texts otherwise.
using WebViewReady = std::function<void(std::unique_ptr<StatusWindow> window, const std::string& error)>;

// Creates a web-view status window (hidden) and hands it to `onReady` once the page is
// loading. `onReady` may run before this returns (a failure found at once, such as a
// missing runtime) or later from the message loop. `onProcessFailed` is called when the
// browser process exits; the caller then replaces the window.
void createWebViewWindow(HINSTANCE instance, const std::string& userDataFolder, UiEventHandler onUiEvent,
                         std::function<void()> onProcessFailed, WebViewReady onReady,
                         WebViewEnvironmentFactory environmentFactory = {});

class WebViewWindow final : public StatusWindow {
public:
    // success, error text
    using Completion = std::function<void(bool, const std::string&)>;

    WebViewWindow(HINSTANCE instance, UiEventHandler onUiEvent, std::function<void()> onProcessFailed,
                  WebViewEnvironmentFactory environmentFactory);
    ~WebViewWindow() override;

    // The creation chain: window, page resource, environment (start), controller
    // (onEnvironment), settings, handlers and page load (onController). Each failure ends
    // in one call of `completion`; the object may be destroyed inside that call, so
    // nothing touches it afterwards.
    void start(const std::string& userDataFolder, Completion completion);
    void onEnvironment(HRESULT result, webview2::ICoreWebView2Environment* environment);
    void onController(HRESULT result, webview2::ICoreWebView2Controller* controller);

    const char* kind() const override { return "webview"; }
    void* hwnd() const override { return hwnd_; }
    void show() override;
    void hide() override;
    bool isVisible() const override;
    void update(const AppStatus& status, const StatusView& view, const std::string& viewJson) override;
    void capture(const std::string& path, std::function<void(bool)> done) override;

private:
    static LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void fail(const std::string& error);
    void loadPage();
    void fitToClient();
    void setIcons();
    void onWebMessage(webview2::ICoreWebView2WebMessageReceivedEventArgs* args);
    void onProcessFailure(webview2::ICoreWebView2ProcessFailedEventArgs* args);
    UINT dpi() const;

    struct IconDeleter {
        void operator()(HICON icon) const;
    };
    using OwnedIcon = std::unique_ptr<std::remove_pointer_t<HICON>, IconDeleter>;

    HINSTANCE instance_;
    UiEventHandler onUiEvent_;
    std::function<void()> onProcessFailed_;
    WebViewEnvironmentFactory environmentFactory_;
    Completion completion_;
    HWND hwnd_ = nullptr;
    webview2::ICoreWebView2Controller* controller_ = nullptr;
    webview2::ICoreWebView2* webview_ = nullptr;
    webview2::Token navigationToken_{}, newWindowToken_{}, messageToken_{}, processToken_{};
    bool handlersAdded_ = false;
    std::string page_;  // UTF-8, the resource's bytes
    bool allowNextNavigation_ = false;
    std::wstring lastPosted_;  // empty while nothing was posted since the page loaded
    OwnedIcon bigIcon_, smallIcon_;
    // Shared with every callback given to the web view; cleared first by the destructor.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace vornet::app
