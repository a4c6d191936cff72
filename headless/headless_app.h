// The headless collector: the desktop program's start-up, connect flow, statistics, status
// refresh and stop, without windows. The main loop runs on the calling thread, which plays the
// role of the desktop program's user-interface thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "app/app_options.h"
#include "app/app_state.h"
#include "app/autostart.h"
#include "app/connect_flow.h"
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

class HeadlessApp {
public:
    // `lock` and `listener` may be null (no single-instance check available).
    HeadlessApp(app::AppOptions options, std::unique_ptr<InstanceLock> lock,
                std::unique_ptr<HandoverListener> listener);
    ~HeadlessApp();
    HeadlessApp(const HeadlessApp&) = delete;
    HeadlessApp& operator=(const HeadlessApp&) = delete;

    // The whole life of the program; returns the exit code.
    int run();
    // Set at shutdown when a worker could not be stopped in time: the entry must end the
    // process at once instead of destroying what the worker still uses.
    bool terminateAtExit() const { return state_.terminateAtExit; }

private:
    void startCollector();
    void stopCollector(bool sessionEnding);
    void refresh();
    void serveHandover();
    void collectEnrollResult();
    void startEnrollWith(const std::string& code);
    void shutdown();
    void writeProgress(const std::string& line);

    app::AppOptions options_;
    std::unique_ptr<InstanceLock> lock_;
    std::unique_ptr<HandoverListener> listener_;
    std::unique_ptr<app::Autostart> autostart_;
    std::string autostartCommand_;
    app::AppState state_;
    app::ConnectServices services_;
    std::unique_ptr<CollectorRun> collector_;
    std::int64_t appStartedUnixMs_ = 0;
    std::int64_t collectorStartedUnixMs_ = 0;
    std::uint64_t refreshCount_ = 0;
    std::string previousState_;
    bool terminal_ = false;
    std::size_t lastProgressWidth_ = 0;
};

}  // namespace vornet::headless
