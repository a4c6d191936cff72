// Per-day and all-time upload statistics with a ten-minute rate history (stats.json).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "app/app_status.h"
#include "collector/buffer.h"

namespace vornet::app {

// The current local calendar day as "%Y-%m-%d".
std::string localDayText();

// Thread-safe statistics store. The upload thread calls recordUpload; the user-interface
// thread takes snapshots and saves. One mutex guards everything; the file is written outside it.
class DailyStats {
public:
    using DayFunction = std::function<std::string()>;
    using ClockFunction = std::function<std::int64_t()>;

    // Loads `path` (empty: nothing is ever loaded or saved). A missing or broken file gives
    // the zero state silently.
    DailyStats(std::string path, DayFunction day, ClockFunction clockMs);
    DailyStats(const DailyStats&) = delete;
    DailyStats& operator=(const DailyStats&) = delete;

    void recordUpload(std::uint64_t uploadedBytes, std::uint64_t rawBytes,
                      const std::optional<CollectorTotals>& totals);
    // A new collector identity restarts the aggregator's run accounting; counters stay.
    void setCollectorId(const std::string& id);
    StatsSnapshot snapshot();
    // Writes the file when something changed; false only when the write failed (the data then
    // stays dirty so the next save retries).
    bool save();

    const std::string& path() const { return path_; }

private:
    void rollDayLocked();
    void addRateLocked(std::uint64_t bytes);
    void load();

    std::string path_;
    DayFunction day_;
    ClockFunction clockMs_;

    std::mutex mutex_;
    std::string currentDay_;
    StatsCounters today_;
    StatsCounters total_;
    std::string collectorId_;
    std::string runId_;
    std::uint64_t serverEvents_ = 0;
    std::uint64_t serverGames_ = 0;
    std::array<std::uint64_t, kRateSlots> rateSlots_{};
    std::int64_t newestBucket_ = -1;
    bool dirty_ = false;
};

}  // namespace vornet::app
