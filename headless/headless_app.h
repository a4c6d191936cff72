// The headless collector: the desktop program's start-up, connect flow, statistics, status
// refresh and stop, without windows. The main loop runs on the calling thread, which plays the
// role of the desktop program's user-interface thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "app/app_options.h"
#include "app/app_state.h"
#include "app/autostart.h"
#include "app/connect_flow.h"
#include "app/controller.h"
#include "collector/collector.h"
#include "headless/single_instance.h"
#include "ui/view_model.h"

namespace vornet::headless {

// Wakes the main loop from another thread or a signal handler (a self-pipe that lives as long
// as the process, so a detached enroll worker can never write into a reused descriptor).
class Waker {
public:
    static Waker& instance();
    int readFd() const { return fds_[0]; }
    // Async-signal-safe.
    void wake(char reason) const;
    void drain() const;

private:
    Waker();
    int fds_[2] = {-1, -1};
};

// Set by SIGINT and SIGTERM (through installStopSignals).
void installStopSignals();
bool stopRequested();

// The headless shell around the application controller: a poll loop that runs the
// controller's timers, wakes for signals, enroll results and hand-overs, and shows the state
// as one line on a terminal. It has no tray and no windows.
class HeadlessApp final : public app::ControllerShell {
public:
    // `lock` and `listener` may be null (no single-instance check available).
    HeadlessApp(app::AppOptions options, std::unique_ptr<InstanceLock> lock,
                std::unique_ptr<HandoverListener> listener);
    ~HeadlessApp() override;

    // The whole life of the program; returns the exit code.
    int run();
    // Set at shutdown when a worker could not be stopped in time: the entry must end the
    // process at once instead of destroying what the worker still uses.
    bool terminateAtExit() const { return controller_ && controller_->terminateAtExit(); }

    // ControllerShell
    void startTimer(unsigned id, std::int64_t periodMs) override;
    void killTimer(unsigned id) override;
    void quit() override;
    void notifyEnrollFinished() override;
    bool hasTray() const override { return false; }
    bool addTrayIcon() override { return false; }
    void removeTrayIcon() override {}
    void setTrayImage(int) override {}
    void setTrayTip(const std::string&) override {}
    void showBalloon(const std::string&, const std::string&) override {}
    bool hasWindows() const override { return false; }
    void startWebView() override {}
    std::unique_ptr<app::StatusWindow> createNativeWindow() override { return nullptr; }
    void setClipboardText(const std::string&, app::StatusWindow*) override {}
    void releaseInstance() override;
    void refreshed(const app::AppStatus& status, const app::StatusView& view) override;

private:
    struct Timer {
        std::int64_t dueMs = 0;
        std::int64_t periodMs = 0;
    };
    void runDueTimers();
    void serveHandover();
    void writeProgress(const std::string& line);

    app::AppOptions options_;
    std::unique_ptr<InstanceLock> lock_;
    std::unique_ptr<HandoverListener> listener_;
    std::unique_ptr<app::Autostart> autostart_;
    std::unique_ptr<app::Controller> controller_;
    std::map<unsigned, Timer> timers_;
    bool quit_ = false;
    bool terminal_ = false;
    std::string previousState_;
    std::size_t lastProgressWidth_ = 0;
};

}  // namespace vornet::headless
