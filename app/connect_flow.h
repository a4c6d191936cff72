// Connecting this PC: an enroll exchange on a worker thread, its result handed back to the
// user-interface thread through a shared slot, and the success stored as token, configuration
// and (on a first connect) the start-with-Windows entry.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "app/app_state.h"
#include "app/autostart.h"
#include "collector/enroll.h"
#include "config/config.h"

namespace vornet::app {

inline constexpr const char* kCodeRejectedText = "That code didn't work. Ask for a new one.";
inline constexpr const char* kUnreachableText = "Couldn't reach Parlow. Check your internet connection and try again.";
inline constexpr const char* kRateLimitedText = "Too many tries. Wait a minute, then try again.";
inline constexpr const char* kEnrollFailedText = "Something went wrong. Please try again in a minute.";
inline constexpr const char* kDifferentDeviceText = "This code is for a different device. Ask for a new one.";
inline constexpr const char* kCannotSaveText =
    "Couldn't save the connection on this PC. Ask for a new code and try again.";

// The outcome of one attempt together with the start-with-Windows choice of its request.
struct EnrollSlotResult {
    EnrollResult result;
    bool startWithWindows = false;
};

// Shared by the controller and one worker thread. The worker fills `result` once under
// `lock`, then sets `done`; the controller reads it only after seeing `done`.
struct EnrollSlot {
    std::mutex lock;
    std::optional<EnrollSlotResult> result;
    std::atomic<bool> done{false};
};

// The blocking exchange (an HTTP client plus enroll in the product).
using EnrollFunction =
    std::function<EnrollResult(const Config& config, const std::string& code, const std::string& expectedCollectorId)>;
using WriteTokenFunction =
    std::function<bool(const std::string& collectorId, const std::string& token, std::string& error)>;

struct ConnectServices {
    EnrollFunction enroll;           // runs on the worker thread
    WriteTokenFunction writeToken;   // user-interface thread
    Autostart* autostart = nullptr;  // may be null: no autostart store
    std::string autostartCommand;
    // Runs on the worker thread after the result is stored; the controller posts its
    // "enrollment finished" message from here. Must not touch controller state.
    std::function<void()> notify;
};

// Collector restart hooks of the controller.
struct CollectorControl {
    std::function<void()> stop;
    std::function<void()> start;
};

// Text shown on the setup view for a failed outcome.
std::string enrollErrorText(EnrollOutcome outcome);

enum class StartEnrollResult {
    Ignored,   // an enrollment is already running
    Refused,   // demo or self-test: the code-rejected text is shown
    Started,
};

// Starts a detached worker for `code` unless one is running. The caller refreshes unless
// the result is Ignored.
StartEnrollResult startEnroll(AppState& state, const std::string& code, bool startWithWindows,
                              const ConnectServices& services);

// The worker's body: enroll, store the result in the slot, set done, notify.
void runEnrollWorker(const Config& config, const std::string& code, bool startWithWindows,
                     const std::string& expectedCollectorId, const std::shared_ptr<EnrollSlot>& slot,
                     const EnrollFunction& enroll, const std::function<void()>& notify);

// Takes the result out of a finished slot and drops the slot; nothing while it is running.
std::optional<EnrollSlotResult> takeEnrollResult(AppState& state);

// Applies a finished attempt; the caller refreshes afterwards in every case.
void applyEnrollResult(AppState& state, const EnrollSlotResult& result, const ConnectServices& services,
                       const CollectorControl& collector);

// Stores token and configuration; the validated configuration on success.
std::optional<Config> persistEnrollment(AppState& state, const EnrollSlotResult& result,
                                        const ConnectServices& services);

// Shutdown: waits up to `ms` for a running attempt, persists a success without restarting
// anything, and marks the process for termination when the worker is still running.
void waitForEnroll(AppState& state, std::int64_t ms, const ConnectServices& services);

}  // namespace vornet::app
