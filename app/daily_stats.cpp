#include "app/daily_stats.h"

#include <atomic>
#include <cstdio>
#include <ctime>
#include <limits>

#include "core/files.h"
#include "core/json.h"

namespace vornet::app {
namespace {

constexpr std::int64_t kBucketMs = 20000;

// Counter values in stats.json: anything that is not a positive number reads as 0. Integer
// text is read exactly so that counters above 2^53 survive a load.
std::uint64_t readCounter(const JsonValue* value) {
    if (value == nullptr || !value->isNumber()) return 0;
    const std::string& text = value->text;
    bool plainDigits = !text.empty();
    for (char c : text) {
        if (c < '0' || c > '9') {
            plainDigits = false;
            break;
        }
    }
    if (plainDigits) {
        std::uint64_t result = 0;
        for (char c : text) {
            std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
            if (result > (std::numeric_limits<std::uint64_t>::max() - digit) / 10)
                return std::numeric_limits<std::uint64_t>::max();
            result = result * 10 + digit;
        }
        return result;
    }
    double d = value->asDouble(0.0);
    if (!(d > 0.0)) return 0;
    if (d >= 18446744073709551615.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(d);
}

StatsCounters readCounters(const JsonValue* object) {
    StatsCounters c;
    if (object == nullptr || !object->isObject()) return c;
    c.events = readCounter(object->find("events"));
    c.games = readCounter(object->find("games"));
    c.uploadedBytes = readCounter(object->find("uploadedBytes"));
    c.rawBytes = readCounter(object->find("rawBytes"));
    return c;
}

JsonValue countersJson(const StatsCounters& c) {
    JsonValue o = JsonValue::object();
    o.set("events", c.events);
    o.set("games", c.games);
    o.set("uploadedBytes", c.uploadedBytes);
    o.set("rawBytes", c.rawBytes);
    return o;
}

std::uint64_t floorSub(std::uint64_t value, std::uint64_t minus) { return value > minus ? value - minus : 0; }

}  // namespace

std::string localDayText() {
    std::time_t now = std::time(nullptr);
    char buffer[16] = {};
    std::tm local{};
#ifdef _WIN32
    if (localtime_s(&local, &now) != 0) return {};
#else
    // std::localtime looks at /etc/localtime again on every call (a file system lookup once a
    // second from the refresh); localtime_r does not. tzset() still takes up a changed time
    // zone, once a minute.
    static std::atomic<std::int64_t> lastZoneCheck{std::numeric_limits<std::int64_t>::min()};
    const std::int64_t minute = static_cast<std::int64_t>(now) / 60;
    if (lastZoneCheck.exchange(minute) != minute) tzset();
    if (localtime_r(&now, &local) == nullptr) return {};
#endif
    if (std::strftime(buffer, sizeof buffer, "%Y-%m-%d", &local) == 0) return {};
    return buffer;
}

DailyStats::DailyStats(std::string path, DayFunction day, ClockFunction clockMs)
    : path_(std::move(path)), day_(std::move(day)), clockMs_(std::move(clockMs)) {
    load();
}

void DailyStats::load() {
    if (path_.empty()) return;
    std::optional<std::string> text = readWholeFile(path_);
    if (!text) return;
    std::optional<JsonValue> doc = parseJson(*text);
    if (!doc || !doc->isObject()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    currentDay_ = doc->getString("day", "");
    today_ = readCounters(doc->find("today"));
    total_ = readCounters(doc->find("total"));
    const JsonValue* server = doc->find("server");
    if (server != nullptr && server->isObject()) {
        collectorId_ = server->getString("collectorId", "");
        runId_ = server->getString("runId", "");
        serverEvents_ = readCounter(server->find("events"));
        serverGames_ = readCounter(server->find("games"));
    }
}

void DailyStats::rollDayLocked() {
    std::string day = day_ ? day_() : std::string();
    if (day == currentDay_) return;
    currentDay_ = std::move(day);
    today_ = StatsCounters{};
    dirty_ = true;
}

void DailyStats::addRateLocked(std::uint64_t bytes) {
    std::int64_t ms = clockMs_ ? clockMs_() : 0;
    std::int64_t bucket = ms / kBucketMs;
    if (newestBucket_ >= 0 && bucket <= newestBucket_) {
        rateSlots_.back() += bytes;
        return;
    }
    if (newestBucket_ >= 0) {
        std::int64_t d = bucket - newestBucket_;
        if (d >= static_cast<std::int64_t>(kRateSlots)) {
            rateSlots_.fill(0);
        } else {
            std::size_t shift = static_cast<std::size_t>(d);
            for (std::size_t i = 0; i + shift < kRateSlots; ++i) rateSlots_[i] = rateSlots_[i + shift];
            for (std::size_t i = kRateSlots - shift; i < kRateSlots; ++i) rateSlots_[i] = 0;
        }
    }
    newestBucket_ = bucket;
    rateSlots_.back() += bytes;
}

void DailyStats::recordUpload(std::uint64_t uploadedBytes, std::uint64_t rawBytes,
                              const std::optional<CollectorTotals>& totals) {
    std::lock_guard<std::mutex> lock(mutex_);
    rollDayLocked();
    today_.uploadedBytes += uploadedBytes;
    total_.uploadedBytes += uploadedBytes;
    today_.rawBytes += rawBytes;
    total_.rawBytes += rawBytes;
    addRateLocked(uploadedBytes);
    if (totals) {
        std::uint64_t newEvents = 0;
        std::uint64_t newGames = 0;
        if (totals->runId == runId_) {
            newEvents = totals->events > serverEvents_ ? totals->events - serverEvents_ : 0;
            newGames = totals->games > serverGames_ ? totals->games - serverGames_ : 0;
            // The aggregator may revise its count downwards (a game it discarded).
            if (totals->games < serverGames_) {
                std::uint64_t diff = serverGames_ - totals->games;
                today_.games = floorSub(today_.games, diff);
                total_.games = floorSub(total_.games, diff);
            }
            if (totals->events < serverEvents_) {
                std::uint64_t diff = serverEvents_ - totals->events;
                today_.events = floorSub(today_.events, diff);
                total_.events = floorSub(total_.events, diff);
            }
        } else {
            newEvents = totals->events;
            newGames = totals->games;
        }
        runId_ = totals->runId;
        serverEvents_ = totals->events;
        serverGames_ = totals->games;
        today_.events += newEvents;
        total_.events += newEvents;
        today_.games += newGames;
        total_.games += newGames;
    }
    dirty_ = true;
}

void DailyStats::setCollectorId(const std::string& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (id == collectorId_) return;
    collectorId_ = id;
    runId_.clear();
    serverEvents_ = 0;
    serverGames_ = 0;
    dirty_ = true;
}

StatsSnapshot DailyStats::snapshot() {
    std::lock_guard<std::mutex> lock(mutex_);
    rollDayLocked();
    addRateLocked(0);
    StatsSnapshot s;
    s.today = today_;
    s.total = total_;
    for (std::size_t i = 0; i < kRateSlots; ++i) s.rateHistory[i] = static_cast<double>(rateSlots_[i]) / 20.0;
    s.currentRate = s.rateHistory[kRateSlots - 2];
    return s;
}

bool DailyStats::save() {
    if (path_.empty()) return true;
    std::string text;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!dirty_) return true;
        JsonValue doc = JsonValue::object();
        doc.set("version", 1);
        doc.set("day", currentDay_);
        doc.set("today", countersJson(today_));
        doc.set("total", countersJson(total_));
        JsonValue server = JsonValue::object();
        server.set("collectorId", collectorId_);
        server.set("runId", runId_);
        server.set("events", serverEvents_);
        server.set("games", serverGames_);
        doc.set("server", std::move(server));
        text = writeJson(doc);
        dirty_ = false;
    }
    if (writeFileAtomically(path_, text)) return true;
    std::lock_guard<std::mutex> lock(mutex_);
    dirty_ = true;
    return false;
}

}  // namespace vornet::app
