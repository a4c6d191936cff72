// The Windows tray program around the application controller: the hidden "ParlowTray"
// window and its message loop, timers, the notification-area icon with tooltip, balloons and
// menu, the clipboard, and the status windows. Product decisions are the controller's; this
// class translates window messages into controller calls and carries out what it asks.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "app/app_options.h"
#include "app/controller.h"
#include "core/win_handles_win.h"

namespace vornet::app {

inline constexpr UINT kTrayCallbackMessage = 0x8001;
inline constexpr UINT kShowWindowMessage = 0x8002;
inline constexpr UINT kEnrollDoneMessage = 0x8003;
inline constexpr UINT kWebViewFailedMessage = 0x8004;
inline constexpr const wchar_t* kTrayWindowClass = L"ParlowTray";
inline constexpr const wchar_t* kInstanceMutexName = L"Local\\ParlowCollectorApp";

class App final : public ControllerShell {
public:
    using NativeWindowFactory = std::function<std::unique_ptr<StatusWindow>(HINSTANCE, UiEventHandler)>;
    using WebViewStarter = std::function<void(App&)>;

    // Takes ownership of `instanceMutex` (may be null: no single-instance check).
    App(HINSTANCE instance, AppOptions options, HANDLE instanceMutex);
    // For tests: another environment and other window factories.
    App(HINSTANCE instance, AppOptions options, HANDLE instanceMutex, ControllerEnvironment environment,
        NativeWindowFactory nativeWindows, WebViewStarter webViews);
    ~App() override;

    // The whole life of the program: create(), the message loop, shutdown; the exit code.
    int run();
    // The tray window and the controller's start; false when the window cannot be created.
    bool create();
    // Pumps messages until the quit message; then shuts down. Returns the exit code.
    int loop();

    bool terminateAtExit() const { return controller_.terminateAtExit(); }
    HWND trayWindow() const { return window_.get(); }
    Controller& controller() { return controller_; }
    // A tray menu command, the same path a click in the menu takes.
    void runMenuCommand(int command);
    // The menu as it would be shown now (for tests and the real menu alike).
    win::Menu buildMenu() const;

    // ControllerShell
    void startTimer(unsigned id, std::int64_t periodMs) override;
    void killTimer(unsigned id) override;
    void quit() override;
    void notifyEnrollFinished() override;
    bool hasTray() const override { return true; }
    bool addTrayIcon() override;
    void removeTrayIcon() override;
    void setTrayImage(int tone) override;
    void setTrayTip(const std::string& tip) override;
    void showBalloon(const std::string& title, const std::string& text) override;
    bool hasWindows() const override { return true; }
    void startWebView() override;
    std::unique_ptr<StatusWindow> createNativeWindow() override;
    void setClipboardText(const std::string& text, StatusWindow* owner) override;
    void releaseInstance() override;

private:
    static LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handle(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    void showTrayMenu(int x, int y);
    UiEventHandler eventHandler();

    HINSTANCE instance_;
    win::KernelHandle mutex_;
    std::unique_ptr<Autostart> autostart_;
    NativeWindowFactory nativeWindows_;
    WebViewStarter webViews_;
    win::Window window_;
    UINT taskbarCreated_ = 0;
    win::Icon icon_;
    bool quitPosted_ = false;
    // Cleared when the App goes, for a web view completion that arrives later.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    Controller controller_;
};

}  // namespace vornet::app
