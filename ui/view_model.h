// The status view model: everything the user sees is derived here from one AppStatus.
// Pure functions; the current time is AppStatus::nowUnixMs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/app_status.h"
#include "core/json.h"

namespace vornet::app {

struct StatusRow {
    std::string label;
    std::string value;
    std::string tone;  // "green", "amber", "red" or empty
};

struct StatusView {
    std::string state;  // "setup", "reconnect", "paused", "checking", "rejected", "offline",
                        // "starting", "connected", "sending" or "waiting"
    int tone = 1;       // 0 green, 1 amber, 2 red
    std::string title;
    std::string line;
    std::vector<StatusRow> rows;  // five rows; empty for "setup" and "reconnect"
    std::string trayTip;          // at most kTrayTipLimit bytes
};

// The game client summary.
struct LeagueLine {
    std::string text;
    std::string tone;
    bool running = false;
    bool inGame = false;
    bool champSelect = false;
    bool error = false;
};

inline constexpr std::size_t kTrayTipLimit = 120;

std::string countText(std::uint64_t n);
std::string byteText(std::uint64_t n);
std::string agoText(std::int64_t ms);
std::string lastProblemText(std::string_view error);
// "green", "amber" or "red" for 0, 1, 2.
std::string toneName(int tone);

// "Parlow · " and the title, with today's event count when `withEvents`; cut to
// kTrayTipLimit bytes.
std::string trayTipText(std::string_view title, bool withEvents, std::uint64_t eventsToday);

LeagueLine leagueLine(const JsonValue& snapshot);
StatusView classifyStatus(const AppStatus& status);
// The chart's rate caption for a state and the current rate (bytes per second).
std::string rateText(std::string_view state, double currentRate);
JsonValue viewJson(const AppStatus& status, const StatusView& view);
std::string supportText(const AppStatus& status, const StatusView& view);

}  // namespace vornet::app
