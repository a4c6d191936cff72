// The application controller's decisions, shared by the Windows tray program and the headless
// collector: start-up, the once-a-second refresh, the tray icon, balloons and menu, the status
// window's lifetime, user-interface events, enrollment hand-back, the self-test sequence and
// the shutdown order. The program around it (the "shell") only translates its messages into
// calls here and carries out the platform operations the controller asks for.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/app_options.h"
#include "app/app_state.h"
#include "app/connect_flow.h"
#include "app/status_window.h"
#include "collector/collector.h"
#include "ui/view_model.h"

namespace vornet::app {

inline constexpr unsigned kRefreshTimerId = 1;
inline constexpr std::int64_t kRefreshPeriodMs = 1000;
inline constexpr unsigned kFirstOneShotTimerId = 100;
inline constexpr std::int64_t kOfflineBalloonDelayMs = 60000;
inline constexpr std::uint64_t kStatsSaveEvery = 30;
// "NCEL" read as a little-endian integer: the tag of an invite code handed over by a second
// instance.
inline constexpr std::uint64_t kHandoverTag = 0x4C45434E;
inline constexpr std::size_t kMaxHandoverBytes = 64;
inline constexpr std::int64_t kSelftestCaptureDelayMs = 800;

// Tray menu commands.
enum class TrayCommand : int { None = 0, Open = 1, PauseResume = 2, StartWithWindows = 3, CopyDetails = 4, Quit = 5 };

struct MenuItem {
    TrayCommand command = TrayCommand::None;  // None for the title and separators
    std::string text;                         // empty for a separator
    bool enabled = true;
    bool checked = false;
    bool isDefault = false;
    bool separator() const { return text.empty(); }
};

// The tray menu for a state: the title (disabled), "Open Parlow" (default), "Pause" or
// "Resume" only when enrolled, "Start with Windows" (checked when on), "Copy details for
// support" and "Quit", with separators between the groups.
std::vector<MenuItem> trayMenuItems(const StatusView& view, bool enrolled, bool paused, bool startWithWindows);

// Warning balloons: "reconnect" and "rejected" are announced at once, "offline" only after it
// lasted 60 s without a break; a state is never announced twice in a row.
class BalloonRule {
public:
    // True when a balloon must be shown now for `state`. `canShow` is false while no tray
    // icon is present (or in the self-test): the decision is then deferred, not dropped.
    bool decide(const std::string& state, std::int64_t nowUnixMs, bool canShow);

private:
    std::int64_t offlineSinceUnixMs_ = 0;
    std::string lastNotified_;
};

// A second instance's hand-over: the tag and 1 to 64 bytes of invite code. The header check
// alone lets a reader refuse a block before reading it.
bool acceptableHandoverHeader(std::uint64_t tag, std::size_t length);
bool acceptableHandover(std::uint64_t tag, const void* data, std::size_t length);

// What the controller asks of the program around it. Every call comes on the
// user-interface thread except notifyEnrollFinished.
class ControllerShell {
public:
    ControllerShell() = default;
    ControllerShell(const ControllerShell&) = delete;
    ControllerShell& operator=(const ControllerShell&) = delete;
    virtual ~ControllerShell() = default;

    // Timers: the refresh (id 1, periodic) and one-shots (ids from 100). A one-shot timer is
    // killed by the controller when it fires.
    virtual void startTimer(unsigned id, std::int64_t periodMs) = 0;
    virtual void killTimer(unsigned id) = 0;
    // Ends the message loop; the shell then calls shutdown(false).
    virtual void quit() = 0;
    // From the enroll worker thread: ask for enrollFinished() on the user-interface thread.
    virtual void notifyEnrollFinished() = 0;

    // Tray icon. A shell without a notification area returns false from hasTray.
    virtual bool hasTray() const = 0;
    virtual bool addTrayIcon() = 0;
    virtual void removeTrayIcon() = 0;
    virtual void setTrayImage(int tone) = 0;
    virtual void setTrayTip(const std::string& tip) = 0;
    virtual void showBalloon(const std::string& title, const std::string& text) = 0;

    // Status windows. A shell without windows returns false from hasWindows.
    virtual bool hasWindows() const = 0;
    // Starts creating the web view; completes later through webViewCreated or webViewFailed.
    virtual void startWebView() = 0;
    // Null when the window cannot be created.
    virtual std::unique_ptr<StatusWindow> createNativeWindow() = 0;

    // Unicode text on the clipboard, owned by `owner` (null: the shell's own window).
    virtual void setClipboardText(const std::string& text, StatusWindow* owner) = 0;
    // The single-instance hand-over ends: the tray window and the mutex go.
    virtual void releaseInstance() = 0;

    // After every refresh, for a shell that shows the state in its own way.
    virtual void refreshed(const AppStatus& status, const StatusView& view) {}
};

// The product's platform services; tests replace them.
struct ControllerEnvironment {
    StartupEnvironment startup;
    ConnectServices connect;  // `notify` is set by the controller
    std::function<std::unique_ptr<CollectorRun>(AppState&)> startCollector;
    std::function<std::int64_t()> nowUnixMs;
    std::function<bool(const std::string& path, const std::string& text)> writeFile;
};

// The product's environment: per-user folders, the system autostart store, real enrollment,
// token storage and collector.
ControllerEnvironment productEnvironment(Autostart* autostart, const std::string& autostartCommand);

class Controller {
public:
    Controller(AppOptions options, ControllerShell& shell, ControllerEnvironment environment);
    ~Controller();
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    // Everything after the shell's own window exists: state load, tray icon, collector,
    // status window, refresh timer, --connect, --run-seconds, the first refresh.
    void start();
    void refresh();
    void dispatch(const UiEvent& event);
    void onTimer(unsigned id);
    // Runs `callback` once after `ms` on the user-interface thread; returns the timer id.
    unsigned runLater(std::int64_t ms, std::function<void()> callback);

    // A second instance's invite code; true when accepted.
    bool receiveHandover(std::uint64_t tag, const void* data, std::size_t length);
    // A second instance asks for the window, or the user clicked the tray icon.
    void showRequested();
    void enrollFinished();
    void taskbarCreated();
    void webViewCreated(std::unique_ptr<StatusWindow> window);
    void webViewFailed(const std::string& error);
    void webViewProcessFailed();

    std::vector<MenuItem> trayMenu() const;
    void menuCommand(TrayCommand command);

    void openWindow(bool show);
    void shutdown(bool sessionEnding);

    bool terminateAtExit() const { return state_.terminateAtExit; }
    int exitCode() const { return exitCode_; }
    bool trayAdded() const { return trayAdded_; }
    StatusWindow* window() const { return window_.get(); }
    const AppStatus& status() const { return status_; }
    const StatusView& view() const { return view_; }
    const AppState& state() const { return state_; }
    const std::string& webViewError() const { return webViewError_; }
    // The status document written by --status-file: the view JSON with the support text.
    std::string statusDocument() const;

private:
    void addTrayIcon();
    void updateTrayIcon();
    void notifyIfNeeded();
    void pushView(bool force);
    void startCollector();
    void stopCollector(bool sessionEnding);
    void startEnrollWith(const std::string& code, bool startWithWindows);
    void takeWindow(std::unique_ptr<StatusWindow> window);
    void openNativeWindow();
    void runSelftest();
    void selftestCaptureStatus(const std::string& prefix, const std::string& kind, const std::string& extension);
    void finishSelftest(const std::string& prefix, const std::string& kind);
    bool selftest() const { return state_.selftest; }

    AppOptions options_;
    ControllerShell& shell_;
    ControllerEnvironment env_;
    AppState state_;
    std::unique_ptr<CollectorRun> collector_;
    std::unique_ptr<StatusWindow> window_;
    std::int64_t appStartedUnixMs_ = 0;
    std::int64_t collectorStartedUnixMs_ = 0;

    bool trayWanted_ = false;
    bool trayAdded_ = false;
    int trayAttempts_ = 0;
    bool trayDrawn_ = false;
    int trayTone_ = -1;

    bool webViewStarting_ = false;
    bool showWhenReady_ = false;
    std::string webViewError_;

    AppStatus status_;
    StatusView view_;
    std::string previousState_;
    std::uint64_t refreshCount_ = 0;
    BalloonRule balloons_;

    std::map<unsigned, std::function<void()>> oneShots_;
    unsigned nextOneShot_ = 0;

    bool started_ = false;
    bool shuttingDown_ = false;
    bool selftestStarted_ = false;
    bool setupCaptured_ = false;
    bool statusCaptured_ = false;
    int exitCode_ = 0;
};

}  // namespace vornet::app
