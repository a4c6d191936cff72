// End-to-end runs of the headless collector against the game client simulator and the local
// aggregator, each a real process on loopback, with the user's folders in a scratch folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>

#include "app/connect_flow.h"
#include "tests/e2e/e2e_support.h"

namespace vornet::e2e {
namespace {

constexpr const char* kGoodCode = "E2E-GOOD-CODE";
constexpr const char* kCollectorId = "e2e-pc";

// Everything one run needs, torn down (processes first) when it goes out of scope.
class World {
public:
    World() { std::filesystem::create_directories(home()); }

    std::string file(const std::string& name) const { return dir_.file(name); }
    std::string home() const { return dir_.file("home"); }
    std::vector<std::string> env() const {
        return {"HOME=" + home(),
                "XDG_DATA_HOME=" + home() + "/.local/share",
                "XDG_CONFIG_HOME=" + home() + "/.config",
                "LOCALAPPDATA=",
                "LEAGUE_INSTALL_DIR=",
                "VORNET_COLLECTOR_TOKEN="};
    }

    // Starts (or restarts on `port`) the aggregator with the good invite and a durable record.
    bool startAggregator(const std::vector<std::string>& extra = {}, int port = 0) {
        std::filesystem::remove(file("aggregator.json"));
        std::vector<std::string> args = {PARLOW_SIM_AGGREGATOR,
                                         "--state-file",
                                         file("aggregator.json"),
                                         "--record",
                                         file("aggregator.jsonl"),
                                         "--invite",
                                         kGoodCode};
        if (port != 0) args.insert(args.end(), {"--port", std::to_string(port)});
        args.insert(args.end(), extra.begin(), extra.end());
        aggregator_ = std::make_unique<ChildProcess>(args, env(), file("aggregator.log"));
        std::optional<JsonValue> state = waitForJsonFile(file("aggregator.json"));
        if (!state) return false;
        aggregatorPort = static_cast<int>(state->getNumber("port", 0));
        return aggregatorPort != 0;
    }
    void stopAggregator() { aggregator_.reset(); }

    bool startClient(int phaseMs, bool paused) {
        std::vector<std::string> args = {PARLOW_SIM_CLIENT,
                                         "--install-dir",
                                         file("league"),
                                         "--root-cert-out",
                                         file("riot-root.pem"),
                                         "--state-file",
                                         file("client.json"),
                                         "--phase-ms",
                                         std::to_string(phaseMs),
                                         "--live-port",
                                         "0"};
        if (paused) args.push_back("--paused");
        client_ = std::make_unique<ChildProcess>(args, env(), file("client.log"));
        std::optional<JsonValue> state = waitForJsonFile(file("client.json"));
        if (!state) return false;
        clientControlPort = static_cast<int>(state->getNumber("controlPort", 0));
        livePort = static_cast<int>(state->getNumber("livePort", 0));
        return clientControlPort != 0 && livePort != 0;
    }
    std::optional<JsonValue> clientState() { return httpJson("GET", clientControlPort, "/control/state"); }
    bool clientControl(const std::string& target) { return httpJson("POST", clientControlPort, target).has_value(); }

    void writeConfig(int serverPort) {
        JsonValue collector = JsonValue::object();
        collector.set("id", kCollectorId);
        JsonValue server = JsonValue::object();
        server.set("url", "http://127.0.0.1:" + std::to_string(serverPort));
        server.set("allowPlainHttpLoopback", true);
        JsonValue collection = JsonValue::object();
        collection.set("leagueInstallDir", file("league"));
        collection.set("riotRootCertFile", file("riot-root.pem"));
        collection.set("liveClientPort", livePort != 0 ? livePort : 2999);
        collection.set("captureDir", file("capture"));
        JsonValue doc = JsonValue::object();
        doc.set("collector", collector);
        doc.set("server", server);
        doc.set("collection", collection);
        std::ofstream(file("collector.json")) << writeJson(doc);
    }

    ChildProcess& startParlow(const std::vector<std::string>& extra = {}) {
        parlow_ = std::make_unique<ChildProcess>(parlowArgs(extra), env(), file("parlow.log"));
        return *parlow_;
    }
    // A further instance, run to its end.
    std::optional<int> runSecondInstance(const std::vector<std::string>& extra, int ms = 8000) {
        ChildProcess second(parlowArgs(extra, false), env(), file("parlow-second.log"));
        return second.waitExit(ms, true);
    }
    ChildProcess& parlow() { return *parlow_; }

    std::optional<JsonValue> status() { return readJsonFile(file("status.json")); }
    // Waits until the status file satisfies `ready`; the last status read is kept in `last`.
    bool waitStatus(const std::function<bool(const JsonValue&)>& ready, int ms, JsonValue* last = nullptr) {
        return waitUntil(
            [&] {
                std::optional<JsonValue> s = status();
                if (!s) return false;
                if (last != nullptr) *last = *s;
                return ready(*s);
            },
            ms);
    }
    std::optional<JsonValue> summary() { return httpJson("GET", aggregatorPort, "/summary"); }

    // The captured observation lines of every collector boot, one per observation made. The
    // capture is written before the buffer numbers an observation, so the lines carry no
    // sequence; their count is what the aggregator's numbering must cover.
    std::vector<std::string> captured() const {
        std::vector<std::string> out;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(file("capture"), ec)) {
            std::ifstream in(entry.path());
            std::string line;
            while (std::getline(in, line)) {
                std::optional<JsonValue> o = parseJson(line);
                if (o && o->isObject()) out.push_back(line);
            }
        }
        return out;
    }

    int aggregatorPort = 0;
    int clientControlPort = 0;
    int livePort = 0;

private:
    std::vector<std::string> parlowArgs(const std::vector<std::string>& extra, bool withStatus = true) const {
        std::vector<std::string> args = {PARLOW_BIN, "--config", file("collector.json")};
        if (withStatus) args.insert(args.end(), {"--status-file", file("status.json")});
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    ScratchDir dir_;
    // Destroyed in reverse order: the collector stops before the simulators go away.
    std::unique_ptr<ChildProcess> aggregator_;
    std::unique_ptr<ChildProcess> client_;
    std::unique_ptr<ChildProcess> parlow_;
};

std::string connectError(const JsonValue& status) {
    const JsonValue* connect = status.find("connect");
    return connect != nullptr ? connect->getString("error", "") : std::string();
}

bool enrolledView(const JsonValue& status) {
    return status.getString("view", "") == "status";
}

// The single boot of the run in the aggregator's summary (null when there is not exactly one).
const JsonValue* onlyBoot(const JsonValue& summary) {
    const JsonValue* boots = summary.find("boots");
    if (boots == nullptr || !boots->isObject() || boots->members.size() != 1) return nullptr;
    return &boots->members.front().value;
}

// True when the aggregator acknowledged every sequence from 1 to `last` in one run.
bool acknowledgedThrough(World& world, std::uint64_t last) {
    std::optional<JsonValue> summary = world.summary();
    if (!summary) return false;
    const JsonValue* boot = onlyBoot(*summary);
    if (boot == nullptr) return false;
    const JsonValue* ranges = boot->find("acknowledgedRanges");
    return ranges != nullptr && ranges->isArray() && ranges->elements.size() == 1 &&
           ranges->elements[0].elements.size() == 2 && ranges->elements[0].elements[0].asInt64(0) == 1 &&
           static_cast<std::uint64_t>(ranges->elements[0].elements[1].asInt64(0)) >= last;
}

// Everything the aggregator saw is accounted for: one boot, acknowledged from 1 without a gap,
// nothing reported dropped, nothing unaccounted; and every captured observation up to the last
// acknowledged one is among them.
void expectNothingLost(World& world) {
    std::optional<JsonValue> summary = world.summary();
    ASSERT_TRUE(summary.has_value());
    const JsonValue* boot = onlyBoot(*summary);
    ASSERT_NE(boot, nullptr) << writeJson(*summary);
    EXPECT_EQ(boot->getString("collectorId", ""), kCollectorId);
    EXPECT_EQ(boot->getNumber("droppedCount", -1), 0) << writeJson(*boot);
    const JsonValue* unaccounted = boot->find("unaccounted");
    ASSERT_NE(unaccounted, nullptr);
    EXPECT_TRUE(unaccounted->elements.empty()) << writeJson(*boot);
    const auto last = static_cast<std::uint64_t>(boot->getNumber("lastSequence", 0));
    EXPECT_EQ(boot->getNumber("firstSequence", 0), 1);
    EXPECT_EQ(static_cast<std::uint64_t>(boot->getNumber("acknowledged", 0)), last);
    // The aggregator cannot have seen more observations than the collector made.
    EXPECT_LE(last, world.captured().size());
}

std::uint64_t endpointCount(const JsonValue& summary, const std::string& path, const std::string& kind) {
    const JsonValue* endpoints = summary.find("endpoints");
    if (endpoints == nullptr) return 0;
    std::uint64_t n = 0;
    for (const auto& [api, paths] : endpoints->members)
        if (const JsonValue* byKind = paths.find(path); byKind != nullptr)
            n += static_cast<std::uint64_t>(byKind->getNumber(kind, 0));
    return n;
}

TEST(EndToEnd, WholeGameArrivesWithEverySequenceAccountedFor) {
    World world;
    ASSERT_TRUE(world.startAggregator());
    ASSERT_TRUE(world.startClient(1500, true));
    world.writeConfig(world.aggregatorPort);
    world.startParlow({"--connect", kGoodCode});
    JsonValue status;
    ASSERT_TRUE(world.waitStatus(enrolledView, 15000, &status)) << writeJson(status);
    EXPECT_EQ(connectError(status), "");

    ASSERT_TRUE(world.clientControl("/control/pause?on=0"));
    std::optional<JsonValue> client;
    ASSERT_TRUE(waitUntil(
        [&] {
            client = world.clientState();
            return client && client->getNumber("gamesCompleted", 0) >= 1;
        },
        45000));
    ASSERT_TRUE(world.clientControl("/control/pause?on=1"));
    const std::string gameId = writeJson(*client->find("gameId"));

    const std::uint64_t capturedAtEnd = world.captured().size();
    ASSERT_TRUE(waitUntil([&] { return acknowledgedThrough(world, capturedAtEnd); }, 15000));
    // The statistics follow the aggregator's counts: today's events are shown.
    ASSERT_TRUE(world.waitStatus([](const JsonValue& s) { return s.find("today")->getString("events", "0") != "0"; },
                                 5000, &status))
        << writeJson(status);
    EXPECT_NE(status.getString("supportText", "").find(kCollectorId), std::string::npos);

    std::optional<int> exit = world.parlow().stop(8000, SIGINT);
    ASSERT_TRUE(exit.has_value());
    EXPECT_EQ(*exit, 0);

    expectNothingLost(world);
    std::optional<JsonValue> summary = world.summary();
    ASSERT_TRUE(summary.has_value());
    EXPECT_EQ(summary->getNumber("games", 0), 1);
    const JsonValue* ids = summary->find("collectors")->find(kCollectorId)->find("gameIds");
    ASSERT_NE(ids, nullptr);
    ASSERT_EQ(ids->elements.size(), 1u);
    // The game the simulator played, read when its end was seen.
    EXPECT_EQ(writeJson(ids->elements[0]), gameId);
    // Each source of a game reached the aggregator.
    EXPECT_GT(endpointCount(*summary, "/lol-gameflow/v1/gameflow-phase", "snapshot"), 0u);
    EXPECT_GT(endpointCount(*summary, "/liveclientdata/activeplayer", "snapshot"), 0u);
    EXPECT_GT(endpointCount(*summary, "/lol-end-of-game/v1/eog-stats-block", "snapshot"), 0u);
    std::uint64_t notifications = 0;
    for (const auto& [api, paths] : summary->find("endpoints")->members)
        for (const auto& [path, kinds] : paths.members)
            notifications += static_cast<std::uint64_t>(kinds.getNumber("notification", 0));
    EXPECT_GT(notifications, 0u) << writeJson(*summary->find("endpoints"));
    const JsonValue* bytes = summary->find("bytes");
    EXPECT_GT(bytes->getNumber("raw", 0), bytes->getNumber("compressed", 0));
}

TEST(EndToEnd, FailedEnrollmentShowsItsText) {
    // Each failure must reach the setup view with its own text (a wrong mapping of outcome to
    // text, or a failure shown as success, fails here).
    struct Case {
        const char* name;
        const char* code;
        bool aggregatorUp;
        bool exhaustAttempts;  // use up the aggregator's enrollment attempts first
        const char* text;
    };
    const Case cases[] = {
        {"unknown code", "NOT-A-CODE", true, false, app::kCodeRejectedText},
        {"aggregator down", kGoodCode, false, false, app::kUnreachableText},
        {"too many tries", kGoodCode, true, true, app::kRateLimitedText},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        World world;
        int serverPort = 0;
        if (c.aggregatorUp) {
            ASSERT_TRUE(world.startAggregator({"--enroll-max-failures", "1"}));
            serverPort = world.aggregatorPort;
        } else {
            // A port that was just free: nothing listens there.
            ASSERT_TRUE(world.startAggregator());
            serverPort = world.aggregatorPort;
            world.stopAggregator();
        }
        if (c.exhaustAttempts) {
            sim::FetchRequest request;
            request.method = "POST";
            request.port = static_cast<std::uint16_t>(serverPort);
            request.target = "/v1/enroll";
            request.body = R"({"code":"WRONG"})";
            ASSERT_EQ(sim::fetch(request).status, 404);
        }
        world.writeConfig(serverPort);
        world.startParlow({"--connect", c.code});
        JsonValue status;
        ASSERT_TRUE(world.waitStatus([&](const JsonValue& s) { return connectError(s) == c.text; }, 20000, &status))
            << writeJson(status);
        EXPECT_EQ(status.getString("view", ""), "setup");
        EXPECT_FALSE(status.find("connect")->getBool("busy", true));
        std::optional<int> exit = world.parlow().stop(8000);
        ASSERT_TRUE(exit.has_value());
        EXPECT_EQ(*exit, 0);
        // Nothing was stored: a new start still asks for a code.
        std::filesystem::remove(world.file("status.json"));
        world.startParlow({"--run-seconds", "2"});
        EXPECT_EQ(world.parlow().waitExit(8000, true), std::optional<int>(0));
        std::optional<JsonValue> after = world.status();
        ASSERT_TRUE(after.has_value());
        EXPECT_EQ(after->getString("view", ""), "setup");
    }
}

TEST(EndToEnd, SecondInstanceHandsItsCodeToTheFirst) {
    World world;
    ASSERT_TRUE(world.startAggregator());
    world.writeConfig(world.aggregatorPort);
    world.startParlow();
    ASSERT_TRUE(world.waitStatus([](const JsonValue& s) { return s.getString("view", "") == "setup"; }, 10000));

    // What a second instance gets back, by what it brings (exit 2 means the first did not take it).
    struct Case {
        const char* name;
        std::vector<std::string> args;
        int exit;
    };
    const Case cases[] = {
        {"nothing to hand over", {}, 0},
        {"code too long for the channel", {"--connect", std::string(65, 'A')}, 2},
        {"wrong code: taken, then refused by the aggregator", {"--connect", "WRONG-CODE"}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(world.runSecondInstance(c.args), std::optional<int>(c.exit));
        EXPECT_TRUE(world.parlow().running());
    }
    JsonValue status;
    ASSERT_TRUE(
        world.waitStatus([](const JsonValue& s) { return connectError(s) == app::kCodeRejectedText; }, 10000, &status))
        << writeJson(status);

    EXPECT_EQ(world.runSecondInstance({"--connect", kGoodCode}), std::optional<int>(0));
    ASSERT_TRUE(world.waitStatus(enrolledView, 15000, &status)) << writeJson(status);
    EXPECT_EQ(connectError(status), "");
    EXPECT_EQ(world.parlow().stop(8000), std::optional<int>(0));
}

TEST(EndToEnd, ClientRestartWithNewPortAndPasswordIsFollowed) {
    World world;
    ASSERT_TRUE(world.startAggregator());
    ASSERT_TRUE(world.startClient(600000, true));
    world.writeConfig(world.aggregatorPort);
    world.startParlow({"--connect", kGoodCode});
    ASSERT_TRUE(world.waitStatus(enrolledView, 15000));
    std::optional<JsonValue> before;
    ASSERT_TRUE(waitUntil(
        [&] {
            before = world.clientState();
            return before && before->getNumber("subscribers", 0) >= 1;
        },
        15000));

    ASSERT_TRUE(world.clientControl("/control/restart"));
    std::optional<JsonValue> after = world.clientState();
    ASSERT_TRUE(after.has_value());
    ASSERT_NE(after->getNumber("port", 0), before->getNumber("port", 0));
    ASSERT_NE(after->getString("password", ""), before->getString("password", ""));
    // The event feed comes back on the new port with the new password (the restart closed
    // the old connection).
    ASSERT_TRUE(waitUntil(
        [&] {
            std::optional<JsonValue> s = world.clientState();
            return s && s->getNumber("subscribers", 0) >= 1;
        },
        15000));
    ASSERT_TRUE(world.clientControl("/control/phase?name=ChampSelect"));

    // Only the new session knows this phase, and it refuses the old password: seeing it in a
    // REST answer and in a feed event proves the collector followed the new lockfile.
    auto sawAfterRestart = [&](const std::string& endpoint, const std::string& kind) {
        for (const std::string& line : world.captured())
            if (line.find(endpoint) != std::string::npos && line.find("\"" + kind + "\"") != std::string::npos &&
                line.find("ChampSelect") != std::string::npos)
                return true;
        return false;
    };
    EXPECT_TRUE(waitUntil([&] { return sawAfterRestart("/lol-gameflow/v1/gameflow-phase", "snapshot"); }, 15000));
    EXPECT_TRUE(waitUntil([&] { return sawAfterRestart("/lol-gameflow/v1/gameflow-phase", "notification"); }, 15000));

    const std::uint64_t captured = world.captured().size();
    ASSERT_TRUE(waitUntil([&] { return acknowledgedThrough(world, captured); }, 15000));
    EXPECT_EQ(world.parlow().stop(8000), std::optional<int>(0));
    expectNothingLost(world);
}

TEST(EndToEnd, AggregatorDownForTwentySecondsLosesNothing) {
    World world;
    ASSERT_TRUE(world.startAggregator());
    ASSERT_TRUE(world.startClient(1500, true));
    world.writeConfig(world.aggregatorPort);
    world.startParlow({"--connect", kGoodCode});
    ASSERT_TRUE(world.waitStatus(enrolledView, 15000));
    ASSERT_TRUE(waitUntil([&] { return acknowledgedThrough(world, 1); }, 15000));

    const int port = world.aggregatorPort;
    world.stopAggregator();
    ASSERT_TRUE(world.clientControl("/control/pause?on=0"));
    const std::uint64_t capturedAtOutage = world.captured().size();
    std::this_thread::sleep_for(std::chrono::seconds(20));
    // The game went on meanwhile: observations waited in the buffer.
    EXPECT_GT(world.captured().size(), capturedAtOutage);
    std::optional<JsonValue> status = world.status();
    ASSERT_TRUE(status.has_value());
    // The outage is visible: the support report counts failed uploads.
    const std::string support = status->getString("supportText", "");
    const std::size_t failures = support.find("failures ");
    ASSERT_NE(failures, std::string::npos) << support;
    EXPECT_GT(std::atoi(support.c_str() + failures + 9), 0) << support;

    ASSERT_TRUE(world.startAggregator({}, port));
    std::optional<JsonValue> client;
    ASSERT_TRUE(waitUntil(
        [&] {
            client = world.clientState();
            return client && client->getNumber("gamesCompleted", 0) >= 1;
        },
        45000));
    ASSERT_TRUE(world.clientControl("/control/pause?on=1"));
    const std::uint64_t capturedAtEnd = world.captured().size();
    // The back-off after 20 s of failures is at most about 20 s.
    ASSERT_TRUE(waitUntil([&] { return acknowledgedThrough(world, capturedAtEnd); }, 40000));
    EXPECT_EQ(world.parlow().stop(8000), std::optional<int>(0));
    expectNothingLost(world);
    std::optional<JsonValue> summary = world.summary();
    ASSERT_TRUE(summary.has_value());
    EXPECT_EQ(summary->getNumber("games", 0), 1);
    EXPECT_EQ(summary->find("boots")->members.front().value.getNumber("duplicates", -1), 0);
}

}  // namespace
}  // namespace vornet::e2e
