// The application's own state beside the collector: configuration choice, paused flag,
// enrolled flag, statistics store and start-with-Windows, with the start-up load that decides
// them and the AppStatus assembled on every refresh. Shared by the Windows controller and the
// headless program.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/app_options.h"
#include "app/app_status.h"
#include "app/autostart.h"
#include "app/daily_stats.h"
#include "config/config.h"
#include "core/json.h"

namespace vornet::app {

struct EnrollSlot;

inline constexpr const char* kSettingsUnreadableText =
    "This PC's Parlow settings couldn't be read. Enter the code from your invite to connect again.";

// Where the configuration, app.json and stats.json live.
struct StatePaths {
    std::string configPath;
    std::string appJsonPath;
    std::string statsPath;
};

// Without a configuration option everything sits in `appFolder` under its usual name; with
// one the other two files sit beside it, named after its stem (test.json: test.app.json,
// test.stats.json).
StatePaths statePaths(const std::string& configOption, const std::string& appFolder);

// State owned by the user-interface thread (the paused flag and the statistics store are
// also reached by collector threads, through their own synchronisation).
struct AppState {
    std::string version = kAppVersion;
    bool demo = false;
    bool selftest = false;
    bool configGiven = false;  // a --config file is in use
    StatePaths paths;
    Config config;
    bool enrolled = false;
    std::shared_ptr<std::atomic<bool>> paused = std::make_shared<std::atomic<bool>>(false);
    bool startWithWindows = false;
    std::string lastError;     // shown as the collector's last error
    std::string connectError;  // shown on the setup view
    bool enrolling = false;
    std::shared_ptr<EnrollSlot> enrollSlot;
    std::unique_ptr<DailyStats> stats;
    bool terminateAtExit = false;  // a detached worker still holds shared state
};

// What the start-up load needs from the platform; tests script every member.
struct StartupEnvironment {
    std::string appFolder;        // per-user application folder
    Autostart* autostart = nullptr;  // may be null: no autostart store
    std::string autostartCommand;    // the command of this copy
    std::function<bool(const std::string&)> pathExists;
    // True when a stored token can be read for the collector id.
    std::function<bool(const std::string&)> tokenReadable;
    DailyStats::DayFunction day;
    DailyStats::ClockFunction clockMs;
};

// The start-up load: configuration (with the broken-file fallbacks), paused flag, statistics
// store, start-with-Windows state and the enrolled flag. Demo and self-test modes read and
// write no file.
void loadAppState(AppState& state, const AppOptions& options, const StartupEnvironment& env);

// Writes app.json from the paused flag; failures are ignored.
void savePaused(const AppState& state);

// Reads the paused member of an app.json text: false unless it parses to an object with a
// true `paused`.
bool pausedFromText(std::string_view text);

// Inputs of one refresh that live in the controller.
struct StatusInputs {
    const JsonValue* collectorSnapshot = nullptr;  // null while no collector exists
    std::string windowKind;
    std::int64_t nowUnixMs = 0;
    std::int64_t collectorStartedUnixMs = 0;  // 0 when the collector was never started
    std::int64_t appStartedUnixMs = 0;
};

// Assembles the AppStatus; demo and self-test modes substitute the demonstration data.
AppStatus buildStatus(AppState& state, const StatusInputs& inputs);
// The same with the collector's snapshot handed over (null while no collector exists) instead
// of copied from inputs.collectorSnapshot, which is not looked at: the once-a-second refresh.
AppStatus buildStatus(AppState& state, const StatusInputs& inputs, JsonValue collectorSnapshot);

}  // namespace vornet::app
