// The record the controller assembles on every refresh and the statistics it carries. Plain
// data only: the view model reads these types without linking the application library.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "core/json.h"
#include "core/version.h"

namespace vornet::app {

inline constexpr const char* kAppVersion = kProductVersion;
inline constexpr std::size_t kRateSlots = 30;

struct StatsCounters {
    std::uint64_t events = 0;
    std::uint64_t games = 0;
    std::uint64_t uploadedBytes = 0;  // on the wire, compressed
    std::uint64_t rawBytes = 0;       // batch envelopes before compression
};

// A copy of the statistics taken under the store's lock.
struct StatsSnapshot {
    StatsCounters today;
    StatsCounters total;
    std::array<double, kRateSlots> rateHistory{};  // bytes per second, oldest first
    double currentRate = 0.0;                      // the last complete bucket
};

// The single input of the status view model.
struct AppStatus {
    bool enrolled = false;
    bool paused = false;
    bool startWithWindows = false;
    std::string windowKind;  // "webview", "native" or empty when no window is open
    JsonValue collector;     // the collector's status snapshot; null while no collector exists
    StatsSnapshot stats;
    std::int64_t nowUnixMs = 0;
    std::int64_t startedUnixMs = 0;
    bool enrolling = false;
    std::string connectError;
    std::string version = kAppVersion;
};

}  // namespace vornet::app
