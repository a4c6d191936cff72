// Writes the view JSON of each status the page must show, one file per state, using the
// real view model: the browser tests feed these documents to the page, so the page is
// always tested against what the controller really posts.
//   page_views <output folder>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "app/demo_data.h"
#include "core/files.h"
#include "core/json.h"
#include "ui/view_model.h"

namespace vornet::app {
namespace {

constexpr std::int64_t kNow = 1765370000000;  // fixed, so the documents never change

AppStatus enrolledBase() {
    AppStatus s;
    s.enrolled = true;
    s.windowKind = "webview";
    s.nowUnixMs = kNow;
    applyDemoData(s);
    return s;
}

struct Sample {
    const char* name;
    std::function<AppStatus()> make;
};

std::vector<Sample> samples() {
    return {
        {"setup",
         [] {
             AppStatus s;
             s.windowKind = "webview";
             s.nowUnixMs = kNow;
             return s;
         }},
        {"setup-busy",
         [] {
             AppStatus s;
             s.windowKind = "webview";
             s.nowUnixMs = kNow;
             s.enrolling = true;
             return s;
         }},
        {"setup-error",
         [] {
             AppStatus s;
             s.windowKind = "webview";
             s.nowUnixMs = kNow;
             s.connectError = "HTTP 404";
             return s;
         }},
        {"reconnect",
         [] {
             AppStatus s = enrolledBase();
             s.startWithWindows = true;
             s.collector.set("authFailures", 2);
             s.collector.set("serverConnection", "auth_failed");
             s.collector.set("lastError", "HTTP 401");
             s.connectError = "HTTP 403";
             return s;
         }},
        {"sending",
         [] {
             AppStatus s = enrolledBase();
             s.startWithWindows = true;
             return s;
         }},
        {"paused",
         [] {
             AppStatus s = enrolledBase();
             s.paused = true;
             s.startWithWindows = true;
             s.stats.currentRate = 0;
             return s;
         }},
        {"offline",
         [] {
             AppStatus s = enrolledBase();
             s.collector.set("serverConnection", "failing");
             s.collector.set("lastSuccessUnixMs", kNow - 900000);
             s.collector.set("consecutiveFailures", 6);
             s.collector.set("lastError", "cannot reach host");
             s.collector.set("pendingObservations", 2431);
             s.collector.set("droppedObservations", 0);
             // Zero, small and large rates, and rates on both sides of a quarter of the
             // maximum (825), so every bar rule appears in one document.
             s.stats.rateHistory = {2900, 3100, 3300, 2800, 1000, 825, 826, 400, 50, 1, 0, 0, 0, 0, 0,
                                    0,    0,    0,    0,    0,    0,   0,   0,   0,  0, 0, 0, 0, 0, 0};
             s.stats.currentRate = 0;
             return s;
         }},
        {"rejected",
         [] {
             AppStatus s = enrolledBase();
             s.collector.set("consecutiveRejected", 3);
             s.collector.set("rejectedBatches", 3);
             s.collector.set("pendingObservations", 1);
             s.collector.set("droppedObservations", 2500);
             s.collector.set("lastError", "aggregator rejected a batch: HTTP 400");
             return s;
         }},
        {"waiting",
         [] {
             AppStatus s = enrolledBase();
             s.collector.set("leagueClient", "not_running");
             s.collector.set("gameflowPhase", "None");
             s.collector.set("liveGame", "unavailable");
             s.stats.rateHistory.fill(0);
             s.stats.currentRate = 0;
             return s;
         }},
        {"starting",
         [] {
             AppStatus s = enrolledBase();
             s.startedUnixMs = kNow - 3000;
             s.collector.set("serverConnection", "not_yet_connected");
             s.collector.set("lastSuccessUnixMs", 0);
             s.stats = StatsSnapshot{};
             return s;
         }},
    };
}

}  // namespace
}  // namespace vornet::app

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: page_views <output folder>\n");
        return 2;
    }
    const std::string folder = argv[1];
    for (const auto& sample : vornet::app::samples()) {
        const vornet::app::AppStatus status = sample.make();
        const vornet::app::StatusView view = vornet::app::classifyStatus(status);
        const std::string path = folder + "/" + sample.name + ".json";
        if (!vornet::writeFileAtomically(path, vornet::writeJson(vornet::app::viewJson(status, view)) + "\n")) {
            std::fprintf(stderr, "page_views: cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
