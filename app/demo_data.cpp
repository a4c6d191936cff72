#include "app/demo_data.h"

namespace vornet::app {

JsonValue demoCollectorSnapshot(std::int64_t nowUnixMs) {
    JsonValue s = JsonValue::object();
    s.set("collectorId", "c_demo");
    s.set("bootId", "boot_demo");
    s.set("leagueClient", "connected");
    s.set("gameflowPhase", "InProgress");
    s.set("liveGame", "available");
    s.set("serverConnection", "connected");
    s.set("lastSuccessUnixMs", nowUnixMs - 300);
    s.set("consecutiveFailures", 0);
    s.set("pendingObservations", 0);
    s.set("droppedObservations", 0);
    s.set("sentBatches", 3412);
    return s;
}

StatsSnapshot demoStats() {
    StatsSnapshot s;
    s.today = StatsCounters{1284, 3, 2202009, 17000000};
    s.total = StatsCounters{18402, 41, 30000000, 230000000};
    s.rateHistory = {360,  330,  480,  360,  345,  450,  630,  900,  780,  600,  480,  450,  1230, 2160, 2790,
                     3090, 3390, 2940, 3240, 3540, 3090, 3390, 3690, 3240, 2940, 3390, 3540, 3090, 3390, 3240};
    s.currentRate = 3390;
    return s;
}

void applyDemoData(AppStatus& status) {
    status.startedUnixMs = status.nowUnixMs - 3600000;
    status.collector = demoCollectorSnapshot(status.nowUnixMs);
    status.stats = demoStats();
}

}  // namespace vornet::app
