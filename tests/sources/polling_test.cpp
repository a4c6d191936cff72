#include "sources/polling.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <set>
#include <thread>

#include "core/json.h"
#include "core/text.h"
#include "sources/notification_feed.h"
#include "sources/riot_root.h"
#include "tests/support/fake_http_client.h"
#include "tests/support/temp_folder.h"

namespace vornet {
namespace {

using testing::FakeHttpClient;

constexpr std::int64_t kStart = 1000000;
constexpr std::int64_t kTick = 25;
constexpr const char* kPhase = "/lol-gameflow/v1/gameflow-phase";
constexpr const char* kGameflowSession = "/lol-gameflow/v1/session";
constexpr const char* kLobby = "/lol-lobby/v2/lobby";
constexpr const char* kSearchState = "/lol-lobby/v2/lobby/matchmaking/search-state";
constexpr const char* kChampSelect = "/lol-champ-select/v1/session";
constexpr const char* kSummoner = "/lol-summoner/v1/current-summoner";
constexpr const char* kEndOfGame = "/lol-end-of-game/v1/eog-stats-block";
constexpr const char* kChampions = "/lol-game-data/assets/v1/champion-summary.json";
constexpr const char* kGameStats = "/liveclientdata/gamestats";
constexpr const char* kActivePlayer = "/liveclientdata/activeplayer";
constexpr const char* kPlayerList = "/liveclientdata/playerlist";
constexpr const char* kEventData = "/liveclientdata/eventdata";

Lockfile lockfileFor(std::int32_t port, const std::string& password) {
    auto parsed = parseLockfile("LeagueClient:4321:" + std::to_string(port) + ":" + password + ":https");
    EXPECT_TRUE(parsed.has_value());
    return parsed.value_or(Lockfile{});
}

class TestHost : public PollingHost {
public:
    std::int64_t wall = 1700000000000;
    std::int64_t steady = kStart;
    Guarded<SourceState> state;
    std::vector<Observation> observations;
    std::vector<bool> enqueuedUnderLock;  // filled only when checkLock is set
    bool checkLock = false;
    std::optional<Lockfile> lockfile;  // what discovery finds
    std::vector<std::int64_t> discoveries;
    int statusRecords = 0;

    std::int64_t wallNowMs() override { return wall; }
    std::int64_t steadyNowMs() override { return steady; }
    Guarded<SourceState>& sourceState() override { return state; }
    void enqueue(Observation observation) override {
        if (checkLock) {
            // try_lock from another thread is the only well-defined way to ask whether this
            // thread holds the mutex.
            bool held = false;
            std::thread([&] { held = !state.isFree(); }).join();
            enqueuedUnderLock.push_back(held);
        }
        observations.push_back(std::move(observation));
    }
    void enqueue(Observation observation, const Guarded<SourceState>::Locked&) override {
        enqueue(std::move(observation));
    }
    std::vector<std::int64_t> discoveryTakesMs;  // simulated time each discovery takes, in turn
    std::optional<Lockfile> discoverLockfile() override {
        if (!discoveryTakesMs.empty()) steady += discoveryTakesMs[discoveries.size() % discoveryTakesMs.size()];
        discoveries.push_back(steady);
        return lockfile;
    }
    void recordCollectorStatus() override { ++statusRecords; }
    int wakes = 0;
    void wakeCollection() override { ++wakes; }

    std::vector<Observation> observationsOf(const std::string& endpoint) const {
        std::vector<Observation> found;
        for (const auto& observation : observations) {
            if (observation.endpoint == endpoint) found.push_back(observation);
        }
        return found;
    }
    SourceState snapshot() { return *state.lock(); }
};

LocalTlsSettings insecureTls() {
    LocalTlsSettings tls;
    tls.mode = TlsMode::Insecure;
    tls.configured = true;
    return tls;
}

struct Harness {
    TestHost host;
    FakeHttpClient http{[this] { return host.steady; }};
    Config config = defaultConfig();
    std::unique_ptr<Poller> poller;

    Poller& start(LocalTlsSettings tls = insecureTls()) {
        poller = std::make_unique<Poller>(config, http, std::move(tls), host);
        return *poller;
    }
    // Steps every 25 ms for `ms` of simulated time, as the collection thread does.
    void runFor(std::int64_t ms) {
        for (std::int64_t elapsed = 0; elapsed < ms; elapsed += kTick) {
            poller->collectOnce();
            ++steps;
            host.steady += kTick;
            host.wall += kTick;
        }
    }
    // Steps as the collection thread now does: sleeps until the next due time; `wakeAt` are
    // times at which another thread (the feed) wakes it, and `atWake` runs just before that
    // step.
    void runByDueTime(std::int64_t ms, const std::vector<std::int64_t>& wakeAt = {},
                      const std::function<void(std::int64_t)>& atWake = {}) {
        const std::int64_t end = host.steady + ms;
        std::size_t nextWake = 0;
        while (host.steady < end) {
            const std::int64_t stepStart = host.steady;
            poller->collectOnce();
            ++steps;
            std::int64_t next = std::max(poller->nextDueMs(), stepStart + 1);
            if (nextWake < wakeAt.size() && wakeAt[nextWake] < next) {
                next = std::max(wakeAt[nextWake], stepStart + 1);
                host.wall += next - host.steady;
                host.steady = next;
                if (atWake) atWake(next);
                ++nextWake;
                continue;
            }
            if (next == kNeverDueMs || next > end) next = end;
            host.wall += next - host.steady;
            host.steady = next;
        }
    }
    int steps = 0;
    // The client answers every REST path; the phase endpoint with `phase`.
    void answerPhase(const std::string& phase) {
        for (const char* path :
             {kGameflowSession, kLobby, kSearchState, kChampSelect, kSummoner, kEndOfGame, kChampions}) {
            http.answer(path, 200, "{}");
        }
        http.answer(kPhase, 200, "\"" + phase + "\"");
    }
};

// Times first, first + interval, ... below first + duration.
std::vector<std::int64_t> every(std::int64_t first, std::int64_t interval, std::int64_t duration) {
    std::vector<std::int64_t> times;
    for (std::int64_t t = first; t < first + duration; t += interval) times.push_back(t);
    return times;
}

std::string describeTimes(const std::vector<std::int64_t>& times) {
    if (times.empty()) return "never";
    std::string text = std::to_string(times.size()) + "x from +" + std::to_string(times.front() - kStart);
    std::set<std::int64_t> gaps;
    for (std::size_t i = 1; i < times.size(); ++i) gaps.insert(times[i] - times[i - 1]);
    for (auto gap : gaps) text += " gap " + std::to_string(gap);
    return text;
}

// The schedule of every path over one simulated minute, per phase. Catches wrong interval
// rules, a wrong phase table, a probe at the wrong rate, and endpoints requested in the wrong
// order within a step.
TEST(PollingSchedule, FollowsThePhaseTablesOverOneMinute) {
    struct Case {
        std::string phase;
        std::set<std::string> fast;  // polled at the phase interval
        bool gamePhase;              // the probe runs at the game statistics interval
    };
    const Case cases[] = {
        {"None", {}, false},
        {"", {}, false},
        {"Lobby", {kLobby, kSearchState}, false},
        {"Matchmaking", {kSearchState}, false},
        {"ReadyCheck", {kSearchState}, false},
        {"ChampSelect", {kChampSelect}, false},
        {"GameStart", {kGameflowSession}, true},
        {"InProgress", {kGameflowSession}, true},
        {"Reconnect", {kGameflowSession}, true},
        {"WaitingForStats", {kEndOfGame}, false},
        {"PreEndOfGame", {kEndOfGame}, false},
        {"EndOfGame", {kEndOfGame, kGameflowSession}, false},
        {"inprogress", {}, false},
    };
    const std::vector<std::string> lcuOrder = {kPhase,       kGameflowSession, kLobby,     kSearchState,
                                               kChampSelect, kSummoner,        kEndOfGame, kChampions};
    for (const auto& c : cases) {
        SCOPED_TRACE("phase " + c.phase);
        Harness h;
        h.host.lockfile = lockfileFor(50001, "pw");
        h.answerPhase(c.phase);
        h.start();
        h.runFor(60000);

        std::printf("timeline %s\n", c.phase.empty() ? "(empty)" : c.phase.c_str());
        std::map<std::string, std::int64_t> interval;
        interval[kPhase] = 1000;
        for (std::size_t i = 1; i < lcuOrder.size(); ++i)
            interval[lcuOrder[i]] = c.fast.count(lcuOrder[i]) ? 1000 : 10000;
        interval[kSummoner] = 60000;
        interval[kChampions] = 3600000;
        interval[kGameStats] = c.gamePhase ? 500 : 2000;
        for (const auto& [path, ms] : interval) {
            auto times = h.http.timesOf(path);
            std::printf("  %-50s %s\n", path.c_str(), describeTimes(times).c_str());
            EXPECT_EQ(times, every(kStart, ms, 60000)) << path;
        }
        EXPECT_EQ(h.http.recorded().size(), [&] {
            std::size_t total = 0;
            for (const auto& [path, ms] : interval) total += every(kStart, ms, 60000).size();
            return total;
        }()) << "a path outside the tables was requested";
        // Within the first step: the phase first, then the table order, then the probe.
        auto requests = h.http.recorded();
        ASSERT_GE(requests.size(), lcuOrder.size() + 1);
        for (std::size_t i = 0; i < lcuOrder.size(); ++i) EXPECT_EQ(requests[i].request.path, lcuOrder[i]);
        EXPECT_EQ(requests[lcuOrder.size()].request.path, kGameStats);
        EXPECT_EQ(h.host.discoveries, every(kStart, 5000, 60000));
        EXPECT_EQ(h.host.snapshot().gameflowPhase, c.phase);
        EXPECT_EQ(statusWord(h.host.snapshot().leagueClient), "connected");
        // Failed probes outside a game are never recorded.
        EXPECT_TRUE(h.host.observationsOf(kGameStats).empty());
        EXPECT_EQ(h.host.observations.size(), requests.size() - every(kStart, interval[kGameStats], 60000).size());
    }
}

// The collection thread sleeps until the next due time instead of stepping every 25 ms; this
// compares every request (path and time) of the two ways of stepping over the same script.
// Catches a next due time computed later than an endpoint is really due (a request then comes
// late or never), a phase interval change not taken into account, and a discovery interval
// taken from the lockfile state before the step instead of after it.
TEST(PollingSchedule, SleepingUntilTheNextDueTimeKeepsEveryRequest) {
    struct Case {
        const char* what;
        std::string phase;
        bool notificationsConnected;
        bool inGame;             // the in-game API answers from the start
        bool clientLeaves;       // the lockfile goes away after 20 s and comes back after 40 s
        bool liveClient = true;  // the in-game API is polled
    };
    const Case cases[] = {
        {"no client", "", false, false, true},
        {"no client, in-game API off", "", false, false, true, false},
        {"client leaves, in-game API off", "Lobby", false, false, true, false},
        {"lobby", "Lobby", false, false, false},
        {"lobby with notifications", "Lobby", true, false, false},
        {"champion select", "ChampSelect", false, false, false},
        {"game", "InProgress", false, true, false},
        {"game with notifications", "InProgress", true, true, false},
        {"end of game", "EndOfGame", false, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto script = [&](Harness& h) {
            if (std::string(c.what).rfind("no client", 0) != 0) h.host.lockfile = lockfileFor(50001, "pw");
            h.config.liveClient = c.liveClient;
            h.host.state.lock()->lcuNotifications = c.notificationsConnected ? "connected" : "not_connected";
            h.answerPhase(c.phase);
            if (c.inGame) {
                h.http.answer(kGameStats, 200, "{\"gameTime\":1.0}");
                h.http.answer(kActivePlayer, 200, "{}");
                h.http.answer(kPlayerList, 200, "[]");
                h.http.answer(kEventData, 200, "{\"Events\":[]}");
            }
            h.start();
        };
        Harness ticking, sleeping;
        script(ticking);
        script(sleeping);
        for (Harness* h : {&ticking, &sleeping}) {
            auto run = [&](std::int64_t ms) {
                if (h == &ticking)
                    h->runFor(ms);
                else
                    h->runByDueTime(ms);
            };
            if (c.clientLeaves) {
                run(20000);
                h->host.lockfile.reset();
                run(20000);
                h->host.lockfile = lockfileFor(50001, "pw");
                run(20000);
            } else {
                run(60000);
            }
        }
        auto ticked = ticking.http.recorded();
        auto slept = sleeping.http.recorded();
        ASSERT_EQ(slept.size(), ticked.size());
        for (std::size_t i = 0; i < ticked.size(); ++i) {
            EXPECT_EQ(slept[i].request.path, ticked[i].request.path) << "request " << i;
            EXPECT_EQ(slept[i].at, ticked[i].at) << ticked[i].request.path;
        }
        EXPECT_EQ(sleeping.host.discoveries, ticking.host.discoveries);
        // The point of it: far fewer steps than one every 25 ms.
        EXPECT_LT(sleeping.steps * 4, ticking.steps) << sleeping.steps << " steps";
    }
}

// Events from the feed, recorded on the reader thread while the collection thread sleeps.
// Catches a phase change that does not wake it (the new phase's endpoints would wait for the
// old phase's next due time), and wakes for events that change nothing of the schedule.
TEST(FeedWakesCollection, OnlyAPhaseChangeWakesTheCollectionThread) {
    struct Case {
        const char* uri;
        JsonValue data;
        int wakes;
    };
    const Case cases[] = {
        {kPhase, JsonValue("ChampSelect"), 1},
        {kPhase, JsonValue("Lobby"), 0},   // the phase it already is
        {kPhase, JsonValue::object(), 0},  // not a phase text
        {kLobby, JsonValue("ChampSelect"), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.uri) + " " + writeJson(c.data));
        Harness h;
        h.host.state.lock()->gameflowPhase = "Lobby";
        NotificationReader reader(h.config, h.http, insecureTls(), h.host);
        reader.recordNotification(c.uri, "Update", c.data);
        EXPECT_EQ(h.host.wakes, c.wakes);
        EXPECT_EQ(h.host.observations.size(), 1u);
    }
}

// Intervals that are no multiple of 25 ms are now kept exactly. Catches a due time rounded to
// a step grid, which asks an endpoint less often than configured.
TEST(PollingSchedule, IntervalsAreKeptToTheMillisecond) {
    struct Case {
        std::uint32_t liveMs, eventsMs, statsMs;
    };
    const Case cases[] = {{330, 510, 770}, {251, 999, 1001}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.liveMs));
        Harness h;
        h.config.lcu = false;
        h.config.liveClientIntervalMs = c.liveMs;
        h.config.eventsIntervalMs = c.eventsMs;
        h.config.gameStatsIntervalMs = c.statsMs;
        h.http.answer(kGameStats, 200, "{}");
        h.http.answer(kActivePlayer, 200, "{}");
        h.http.answer(kPlayerList, 200, "[]");
        h.http.answer(kEventData, 200, "{}");
        h.start();
        h.runByDueTime(20000);
        EXPECT_EQ(h.http.timesOf(kGameStats), every(kStart, c.statsMs, 20000));
        EXPECT_EQ(h.http.timesOf(kActivePlayer), every(kStart + kTick, c.liveMs, 20000 - kTick));
        EXPECT_EQ(h.http.timesOf(kEventData), every(kStart + kTick, c.eventsMs, 20000 - kTick));
    }
}

// The phase interval and its floor while the notification feed is connected. Catches a floor
// applied without the feed, a floor that lowers a slower setting, or a floor on the wrong side.
TEST(PollingSchedule, ConnectedNotificationsSlowThePhaseEndpoints) {
    struct Case {
        std::uint32_t fallbackMs;
        bool connected;
        std::int64_t expectedMs;
    };
    const Case cases[] = {{1000, false, 1000}, {1000, true, 5000}, {4999, true, 5000},
                          {5000, true, 5000},  {8000, true, 8000}, {8000, false, 8000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.fallbackMs) + (c.connected ? " connected" : " not connected"));
        Harness h;
        h.config.lcuFallbackIntervalMs = c.fallbackMs;
        h.config.liveClient = false;
        h.host.lockfile = lockfileFor(50001, "pw");
        h.host.state.lock()->lcuNotifications = c.connected ? "connected" : "not_connected";
        h.answerPhase("ChampSelect");
        h.start();
        h.runFor(40000);
        EXPECT_EQ(h.http.timesOf(kPhase), every(kStart, c.expectedMs, 40000));
        EXPECT_EQ(h.http.timesOf(kChampSelect), every(kStart, c.expectedMs, 40000));
        EXPECT_EQ(h.http.timesOf(kLobby), every(kStart, 10000, 40000));
    }
}

TEST(PollingDiscovery, RunsEveryTwoSecondsWithoutAndEveryFiveWithALockfile) {
    Harness h;
    h.start();
    h.runFor(10000);
    EXPECT_EQ(h.host.discoveries, every(kStart, 2000, 10000));
    EXPECT_EQ(statusWord(h.host.snapshot().leagueClient), "not_running");
    for (const auto& recorded : h.http.recorded()) EXPECT_EQ(recorded.request.path, kGameStats);

    h.host.lockfile = lockfileFor(50001, "pw");
    h.answerPhase("None");
    h.host.discoveries.clear();
    h.runFor(20000);
    // The first discovery after the change finds it at +10000; from then on every 5000.
    EXPECT_EQ(h.host.discoveries, every(kStart + 10000, 5000, 20000));
    EXPECT_EQ(h.http.timesOf(kPhase).front(), kStart + 10000);

    // The file disappears: the next discovery forgets it, and the rate goes back to 2000.
    h.host.lockfile.reset();
    h.host.discoveries.clear();
    h.runFor(10000);
    EXPECT_EQ(h.host.discoveries, every(kStart + 30000, 2000, 10000));
    EXPECT_EQ(statusWord(h.host.snapshot().leagueClient), "not_running");
    EXPECT_FALSE(h.host.snapshot().lockfile.has_value());
}

TEST(PollingDiscovery, FetchesTheChampionSummaryOnANewFingerprintOnly) {
    Harness h;
    h.config.liveClient = false;
    h.host.lockfile = lockfileFor(50001, "first");
    h.answerPhase("Lobby");
    h.http.answer(kChampions, 200, "[]");
    h.start();
    h.runFor(30000);
    // Rediscovering the unchanged file six times does not refetch it.
    EXPECT_EQ(h.http.timesOf(kChampions), std::vector<std::int64_t>{kStart});

    h.host.lockfile = lockfileFor(50001, "second");
    h.runFor(10000);
    EXPECT_EQ(h.http.timesOf(kChampions), (std::vector<std::int64_t>{kStart, kStart + 30000}));
    auto requests = h.http.recorded();
    auto last = std::find_if(requests.rbegin(), requests.rend(),
                             [](const testing::RecordedRequest& r) { return r.request.path == kChampions; });
    ASSERT_NE(last, requests.rend());
    ASSERT_EQ(last->request.headers.size(), 2u);
    EXPECT_EQ(last->request.headers[1].second, "Basic " + base64Encode("riot:second"));
}

// pollLcu's status rules, driven request by request.
class PollLcuTest : public ::testing::Test {
protected:
    void SetUp() override { h.start(); }
    void setLockfile() { h.host.state.lock()->lockfile = lockfileFor(50001, "pw"); }
    SourceState state() { return h.host.snapshot(); }
    Harness h;
};

TEST_F(PollLcuTest, ThreeFailuresWithoutStatusMakeTheClientUnreachable) {
    h.http.answer(kLobby, 200, "{}");
    setLockfile();
    h.poller->pollLcu(kLobby);
    ASSERT_EQ(statusWord(state().leagueClient), "connected");

    h.http.fail(kLobby, "timed out", false);
    h.poller->pollLcu(kLobby);
    h.poller->pollLcu(kLobby);
    EXPECT_EQ(statusWord(state().leagueClient), "connected");
    EXPECT_TRUE(state().lockfile.has_value());
    h.poller->pollLcu(kLobby);
    EXPECT_EQ(statusWord(state().leagueClient), "unreachable");
    EXPECT_FALSE(state().lockfile.has_value());
    EXPECT_EQ(state().lastError, std::string(kLobby) + ": timed out");

    // Found again, a single further failure acts at once.
    { h.host.state.lock()->leagueClient = LeagueClientStatus::Connected; }
    setLockfile();
    h.poller->pollLcu(kLobby);
    EXPECT_EQ(statusWord(state().leagueClient), "unreachable");
    EXPECT_FALSE(state().lockfile.has_value());

    // An answer with a status resets the count: two failures are tolerated again.
    setLockfile();
    h.http.answer(kLobby, 500, "{}");
    h.poller->pollLcu(kLobby);
    EXPECT_EQ(statusWord(state().leagueClient), "connected");
    EXPECT_EQ(state().lcuFailures, 0);
    h.http.fail(kLobby, "connection refused", false);
    h.poller->pollLcu(kLobby);
    h.poller->pollLcu(kLobby);
    EXPECT_EQ(statusWord(state().leagueClient), "connected");

    // Every failure is still an observation: status 0, payload null, the transport text.
    auto observations = h.host.observationsOf(kLobby);
    ASSERT_EQ(observations.size(), 8u);
    EXPECT_EQ(observations[1].status, 0);
    EXPECT_EQ(observations[1].payload, "null");
    EXPECT_EQ(observations[1].error, "timed out");
    EXPECT_EQ(observations[5].status, 500);
}

// Answers and failures of one LCU request. Catches 401/403 not forgetting the session, a
// certificate failure waiting for three attempts, and error answers not being recorded.
TEST_F(PollLcuTest, StatusFollowsEachKindOfAnswer) {
    struct Case {
        std::int32_t status;
        std::string body;
        std::string error;
        bool tlsFailure;
        std::string clientStatus;
        bool lockfileKept;
        std::string payload;
    };
    const Case cases[] = {
        {200, "{\"a\":1}", "", false, "connected", true, "{\"a\":1}"},
        {401, "{\"message\":\"no\"}", "", false, "unauthorized", false, "{\"message\":\"no\"}"},
        {403, "", "", false, "unauthorized", false, "null"},
        {404, "{\"password\":\"x\",\"b\":2}", "", false, "connected", true, "{\"b\":2}"},
        {0, "", "TLS certificate rejected: certificate does not chain to the configured root", true,
         "certificate_rejected", false, "null"},
        // First contact with nothing listening under pinned roots: rejected at once, on purpose.
        {0, "", "connection refused", true, "certificate_rejected", false, "null"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.status) + " " + c.error);
        h.host.observations.clear();
        { h.host.state.lock()->leagueClient = LeagueClientStatus::Unknown; }
        h.http.on(kSummoner, [&](const HttpRequest&) {
            HttpResponse response;
            response.status = c.status;
            response.body = c.body;
            response.error = c.error;
            response.tlsFailure = c.tlsFailure;
            return response;
        });
        setLockfile();
        h.poller->pollLcu(kSummoner);
        EXPECT_EQ(statusWord(state().leagueClient), c.clientStatus);
        EXPECT_EQ(state().lockfile.has_value(), c.lockfileKept);
        ASSERT_EQ(h.host.observations.size(), 1u);
        const Observation& o = h.host.observations[0];
        EXPECT_EQ(o.api, "lcu");
        EXPECT_EQ(o.endpoint, kSummoner);
        EXPECT_EQ(o.kind, ObservationKind::Snapshot);
        EXPECT_EQ(o.status, c.status);
        EXPECT_EQ(o.payload, c.payload);
        EXPECT_EQ(o.error, c.error);
        EXPECT_EQ(o.observedAt, h.host.wall);
    }
}

TEST_F(PollLcuTest, SendsAnAuthenticatedLoopbackGet) {
    LocalTlsSettings tls;
    tls.mode = TlsMode::PinnedRoots;
    tls.pinnedRoots = pemCertificates(kRiotRootCertificatePem);
    tls.allowLoopbackNameMismatch = true;
    tls.configured = true;
    h.start(tls);
    setLockfile();
    h.poller->pollLcu(kLobby);
    h.poller->pollLiveClient(kGameStats);
    auto requests = h.http.recorded();
    ASSERT_EQ(requests.size(), 2u);
    const HttpRequest& lcu = requests[0].request;
    EXPECT_EQ(lcu.method, "GET");
    EXPECT_TRUE(lcu.https);
    EXPECT_EQ(lcu.host, "127.0.0.1");
    EXPECT_EQ(lcu.port, 50001);
    EXPECT_EQ(lcu.path, kLobby);
    EXPECT_EQ(lcu.timeoutMs, 2000u);
    EXPECT_EQ(lcu.tlsMode, TlsMode::PinnedRoots);
    EXPECT_EQ(lcu.pinnedRoots, tls.pinnedRoots);
    EXPECT_TRUE(lcu.allowLoopbackNameMismatch);
    EXPECT_FALSE(lcu.useProxy);
    using Header = std::pair<std::string, std::string>;
    EXPECT_EQ(lcu.headers,
              (std::vector<Header>{{"Accept", "application/json"}, {"Authorization", "Basic cmlvdDpwdw=="}}));
    const HttpRequest& live = requests[1].request;
    EXPECT_EQ(live.host, "127.0.0.1");
    EXPECT_EQ(live.port, 2999);
    EXPECT_EQ(live.headers, (std::vector<Header>{{"Accept", "application/json"}}));
}

// The phase text only comes from a 200 whose body is a JSON string. Catches a phase taken from
// an error answer, from a non-string body, or a malformed body passing silently.
TEST_F(PollLcuTest, PhaseComesOnlyFromAJsonStringAnswer) {
    struct Case {
        std::int32_t status;
        std::string body;
        std::string phase;
        std::string lastError;
    };
    const Case cases[] = {
        {200, "\"ChampSelect\"", "ChampSelect", ""},
        {200, "{\"phase\":\"Lobby\"}", "ChampSelect", ""},
        {404, "\"Lobby\"", "ChampSelect", ""},
        {200, "  \"InProgress\" ", "InProgress", ""},
        {200, "\"Lobby", "InProgress", "malformed JSON response"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        h.http.answer(kPhase, c.status, c.body);
        setLockfile();
        h.poller->pollLcu(kPhase);
        EXPECT_EQ(state().gameflowPhase, c.phase);
        if (c.lastError.empty()) {
            EXPECT_EQ(state().lastError, "");
        } else {
            EXPECT_EQ(state().lastError.rfind(std::string(kPhase) + ": " + c.lastError, 0), 0u) << state().lastError;
        }
    }
}

TEST_F(PollLcuTest, AnswerOvertakenByANotificationIsDropped) {
    // A notification for the same path is recorded while the request is in flight.
    auto notifyDuringRequest = [&](std::int32_t status, std::string body) {
        return [this, status, body](const HttpRequest& request) {
            {
                auto state = h.host.state.lock();
                ++state->notificationCounters[request.path];
                state->gameflowPhase = "ChampSelect";
            }
            HttpResponse response;
            response.status = status;
            response.body = body;
            if (status == 0) response.error = "timed out";
            return response;
        };
    };
    h.http.on(kPhase, notifyDuringRequest(200, "\"Lobby\""));
    setLockfile();
    h.poller->pollLcu(kPhase);
    EXPECT_TRUE(h.host.observations.empty());
    EXPECT_EQ(state().gameflowPhase, "ChampSelect");
    EXPECT_EQ(statusWord(state().leagueClient), "connected");

    // A counter that did not move lets the answer through.
    h.http.answer(kPhase, 200, "\"Lobby\"");
    h.poller->pollLcu(kPhase);
    EXPECT_EQ(h.host.observations.size(), 1u);
    EXPECT_EQ(state().gameflowPhase, "Lobby");

    // A failure without status is recorded whatever the counter did.
    h.http.on(kLobby, notifyDuringRequest(0, ""));
    h.poller->pollLcu(kLobby);
    ASSERT_EQ(h.host.observations.size(), 2u);
    EXPECT_EQ(h.host.observations[1].status, 0);
}

TEST_F(PollLcuTest, NoLockfileMeansNoRequest) {
    h.poller->pollLcu(kLobby);
    EXPECT_TRUE(h.http.recorded().empty());
    EXPECT_TRUE(h.host.observations.empty());
}

TEST(PollingLocks, LcuObservationsAreEnqueuedUnderTheStatusLockInGameOnesAfterIt) {
    Harness h;
    h.host.checkLock = true;
    h.answerPhase("InProgress");
    h.http.answer(kGameStats, 200, "{\"gameTime\":1.5}");
    h.start();
    { h.host.state.lock()->lockfile = lockfileFor(50001, "pw"); }
    h.poller->pollLcu(kPhase);
    h.poller->pollLiveClient(kGameStats);
    h.poller->pollLiveClient(kActivePlayer);
    ASSERT_EQ(h.host.observations.size(), 3u);
    EXPECT_EQ(h.host.enqueuedUnderLock, (std::vector<bool>{true, false, false}));
    // The lock is free again after each call.
    ASSERT_TRUE(h.host.state.isFree());
}

// The live game status after one game statistics answer. Catches a transport failure of the
// first-contact check read as a certificate rejection, and a real rejection read as absence.
TEST(PollLiveClient, LiveGameStatusFollowsTheGameStatisticsAnswer) {
    struct Case {
        std::int32_t status;
        std::string error;
        bool tlsFailure;
        std::string liveGame;
    };
    const Case cases[] = {
        {200, "", false, "available"},
        {404, "", false, "unavailable"},
        {0, "connection refused", false, "unavailable"},
        {0, "connection refused", true, "unavailable"},
        {0, "timed out", true, "unavailable"},
        {0, "TLS certificate rejected: certificate expired or not yet valid", true, "certificate_rejected"},
        {0, "TLS certificate could not be checked against the pinned root", true, "certificate_rejected"},
        {0, "TLS certificate validation failed", true, "certificate_rejected"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.status) + " " + c.error);
        Harness h;
        h.http.on(kGameStats, [&](const HttpRequest&) {
            HttpResponse response;
            response.status = c.status;
            response.body = c.status ? "{}" : "";
            response.error = c.error;
            response.tlsFailure = c.tlsFailure;
            return response;
        });
        h.start();
        h.poller->pollLiveClient(kGameStats);
        EXPECT_EQ(statusWord(h.host.snapshot().liveGame), c.liveGame);
        EXPECT_EQ(h.host.snapshot().liveGameFlag, c.status == 200);
        // Outside a game only a 200 is recorded.
        EXPECT_EQ(h.host.observations.size(), c.status == 200 ? 1u : 0u);
    }
}

TEST(PollLiveClient, AGameStartsTheInGameEndpointsAndItsEndIsRecordedOnce) {
    Harness h;
    h.config.lcu = false;
    h.http.fail(kGameStats, "connection refused", true);
    h.http.answer(kActivePlayer, 200, "{\"level\":3}");
    h.http.answer(kPlayerList, 200, "[]");
    h.http.answer(kEventData, 200, "{\"Events\":[]}");
    h.start();
    { h.host.state.lock()->gameflowPhase = "InProgress"; }
    h.runFor(3000);
    // Probing at the game statistics rate in a game phase; failed probes leave no trace.
    EXPECT_EQ(h.http.timesOf(kGameStats), every(kStart, 500, 3000));
    EXPECT_TRUE(h.host.observations.empty());
    EXPECT_EQ(statusWord(h.host.snapshot().liveGame), "unavailable");

    h.http.answer(kGameStats, 200, "{\"gameTime\":12.0}");
    h.http.clear();
    h.runFor(10000);
    const std::int64_t gameStart = kStart + 3000;
    EXPECT_EQ(h.http.timesOf(kGameStats), every(gameStart, 500, 10000));
    EXPECT_EQ(h.http.timesOf(kActivePlayer), every(gameStart + kTick, 250, 10000 - kTick));
    EXPECT_EQ(h.http.timesOf(kPlayerList), every(gameStart + kTick, 250, 10000 - kTick));
    EXPECT_EQ(h.http.timesOf(kEventData), every(gameStart + kTick, 500, 10000 - kTick));
    EXPECT_EQ(h.host.observationsOf(kGameStats).size(), 20u);
    EXPECT_EQ(h.host.observationsOf(kActivePlayer).size(), 40u);
    EXPECT_EQ(statusWord(h.host.snapshot().liveGame), "available");

    h.http.answer(kGameStats, 404, "{\"errorCode\":\"RESOURCE_NOT_FOUND\"}");
    h.http.clear();
    h.host.observations.clear();
    h.runFor(5000);
    const std::int64_t gameEnd = kStart + 13000;
    EXPECT_EQ(h.http.timesOf(kGameStats), every(gameEnd, 500, 5000));
    EXPECT_TRUE(h.http.timesOf(kActivePlayer).empty());
    EXPECT_TRUE(h.http.timesOf(kEventData).empty());
    ASSERT_EQ(h.host.observations.size(), 1u);
    EXPECT_EQ(h.host.observations[0].endpoint, kGameStats);
    EXPECT_EQ(h.host.observations[0].status, 404);
    EXPECT_EQ(h.host.observations[0].api, "liveclient");
    EXPECT_EQ(statusWord(h.host.snapshot().liveGame), "unavailable");
    EXPECT_FALSE(h.host.snapshot().liveGameFlag);
}

// A failed game statistics poll in a step where the other in-game endpoints are due as well.
// Catches a step that stops at that failure and leaves the other due endpoints unpolled (and
// their answers unrecorded) whatever kind of failure it was.
TEST(PollLiveClient, AFailedGameStatisticsPollDoesNotSkipTheOtherDueEndpoints) {
    struct Case {
        const char* name;
        int status;  // 0: a transport failure
    };
    const Case cases[] = {{"not found", 404}, {"server error", 503}, {"connection refused", 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        h.config.lcu = false;
        h.config.gameStatsIntervalMs = 500;
        // The in-game endpoints start one step after the probe found the game: 475 ms later
        // they are due in the same step as the game statistics.
        h.config.liveClientIntervalMs = 475;
        h.config.eventsIntervalMs = 475;
        h.http.answer(kGameStats, 200, "{\"gameTime\":1.0}");
        h.http.answer(kActivePlayer, 200, "{}");
        h.http.answer(kPlayerList, 200, "[]");
        h.http.answer(kEventData, 200, "{\"Events\":[]}");
        h.start();
        h.runFor(500);
        ASSERT_TRUE(h.host.snapshot().liveGameFlag);
        if (c.status == 0) {
            h.http.fail(kGameStats, "connection refused", false);
        } else {
            h.http.answer(kGameStats, c.status, "{}");
        }
        h.http.clear();
        h.host.observations.clear();
        h.runFor(kTick);  // one step, in which all four are due
        const std::vector<std::int64_t> once = {kStart + 500};
        EXPECT_EQ(h.http.timesOf(kGameStats), once);
        for (const char* path : {kActivePlayer, kPlayerList, kEventData}) {
            EXPECT_EQ(h.http.timesOf(path), once) << path;
            EXPECT_EQ(h.host.observationsOf(path).size(), 1u) << path;
        }
        EXPECT_FALSE(h.host.snapshot().liveGameFlag);
    }
}

TEST(PollingDisabledEndpoints, PhaseStaysAndDisabledPathsAreNeverRequested) {
    Harness h;
    h.config.disabledEndpoints = {kPhase, kLobby, kActivePlayer};
    h.host.lockfile = lockfileFor(50001, "pw");
    h.answerPhase("Lobby");
    h.http.answer(kGameStats, 200, "{}");
    h.start();
    h.runFor(20000);
    EXPECT_EQ(h.http.timesOf(kPhase), every(kStart, 1000, 20000));
    EXPECT_EQ(h.host.observationsOf(kPhase).size(), 20u);
    EXPECT_TRUE(h.http.timesOf(kLobby).empty());
    EXPECT_EQ(h.http.timesOf(kSearchState), every(kStart, 1000, 20000));
    EXPECT_TRUE(h.http.timesOf(kActivePlayer).empty());
    EXPECT_FALSE(h.http.timesOf(kPlayerList).empty());
}

TEST(PollingDisabledEndpoints, DisabledGameStatisticsStillEndTheGameButAreNotRecorded) {
    Harness h;
    h.config.lcu = false;
    h.config.disabledEndpoints = {kGameStats};
    h.http.answer(kGameStats, 200, "{}");
    h.http.answer(kActivePlayer, 200, "{}");
    h.start();
    h.runFor(5000);
    EXPECT_TRUE(h.host.snapshot().liveGameFlag);
    EXPECT_FALSE(h.http.timesOf(kActivePlayer).empty());
    EXPECT_TRUE(h.host.observationsOf(kGameStats).empty());
    EXPECT_FALSE(h.host.observationsOf(kActivePlayer).empty());

    h.http.answer(kGameStats, 404, "{}");
    h.runFor(1000);
    h.http.clear();
    h.runFor(5000);
    EXPECT_FALSE(h.host.snapshot().liveGameFlag);
    EXPECT_EQ(statusWord(h.host.snapshot().liveGame), "unavailable");
    EXPECT_TRUE(h.http.timesOf(kActivePlayer).empty());
    EXPECT_TRUE(h.host.observationsOf(kGameStats).empty());
}

TEST(PollingSwitches, NothingHappensWhenCollectionIsOff) {
    for (int which = 0; which < 2; ++which) {
        Harness h;
        (which == 0 ? h.config.enabled : h.config.collectionEnabled) = false;
        h.host.lockfile = lockfileFor(50001, "pw");
        h.start();
        h.runFor(5000);
        EXPECT_TRUE(h.http.recorded().empty());
        EXPECT_TRUE(h.host.discoveries.empty());
        EXPECT_EQ(h.host.statusRecords, 0);
        EXPECT_EQ(statusWord(h.host.snapshot().leagueClient), "unknown");
    }
}

TEST(PollingSwitches, LcuAndLiveClientSwitchesAreIndependent) {
    Harness h;
    h.config.liveClient = false;
    h.host.lockfile = lockfileFor(50001, "pw");
    h.start();
    h.runFor(3000);
    EXPECT_TRUE(h.http.timesOf(kGameStats).empty());
    EXPECT_FALSE(h.http.timesOf(kPhase).empty());
    EXPECT_EQ(h.host.statusRecords, 120);

    Harness g;
    g.config.lcu = false;
    g.host.lockfile = lockfileFor(50001, "pw");
    g.start();
    g.runFor(3000);
    EXPECT_TRUE(g.host.discoveries.empty());
    EXPECT_EQ(g.http.timesOf(kGameStats), every(kStart, 2000, 3000));
    EXPECT_EQ(g.http.recorded().size(), 2u);
}

// Which local TLS settings each configuration yields. Catches the insecure switch winning
// over a configured root file, a missing built-in root, and an unusable file passing as
// configured.
TEST(LocalTls, SettingsFollowTheConfiguration) {
    testing::TempFolder dir;
    const std::string rootFile = dir.write("root.pem", std::string("junk\n") + kRiotRootCertificatePem);
    const std::string emptyFile = dir.write("empty.pem", "no certificate here\n");
    const std::string missingFile = dir.utf8() + "/missing.pem";
    const auto builtIn = pemCertificates(kRiotRootCertificatePem);
    ASSERT_EQ(builtIn.size(), 1u);
    struct Case {
        std::string file;
        bool insecure;
        TlsMode mode;
        bool configured;
        std::size_t roots;
        std::string error;
    };
    const Case cases[] = {
        {"", true, TlsMode::Insecure, true, 0, ""},
        {"", false, TlsMode::PinnedRoots, true, 1, ""},
        {rootFile, false, TlsMode::PinnedRoots, true, 1, ""},
        {rootFile, true, TlsMode::PinnedRoots, true, 1, ""},
        {missingFile, false, TlsMode::PinnedRoots, false, 0, "cannot read Riot root certificate " + missingFile},
        {emptyFile, true, TlsMode::PinnedRoots, false, 0, "cannot read Riot root certificate " + emptyFile},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file + (c.insecure ? " insecure" : ""));
        Config config = defaultConfig();
        config.riotRootCertFile = c.file;
        config.insecureLocalTls = c.insecure;
        LocalTlsSettings tls = makeLocalTlsSettings(config);
        EXPECT_EQ(tls.mode, c.mode);
        EXPECT_EQ(tls.configured, c.configured);
        EXPECT_EQ(tls.pinnedRoots.size(), c.roots);
        if (c.roots == 1) {
            EXPECT_EQ(tls.pinnedRoots[0], builtIn[0]);
        }
        EXPECT_EQ(tls.allowLoopbackNameMismatch, c.mode == TlsMode::PinnedRoots);
        EXPECT_EQ(tls.error, c.error);
    }
}

TEST(LocalTls, BuiltInRootIsOneSelfSignedCertificate) {
    std::string pem = kRiotRootCertificatePem;
    EXPECT_EQ(pem.size(), 1493u);
    auto der = pemCertificates(pem);
    ASSERT_EQ(der.size(), 1u);
    // DER SEQUENCE with a two-byte length: 0x30 0x82 then 1060 bytes of content.
    ASSERT_GE(der[0].size(), 4u);
    EXPECT_EQ(static_cast<unsigned char>(der[0][0]), 0x30);
    EXPECT_EQ(der[0].size(),
              4u + ((static_cast<unsigned char>(der[0][2]) << 8) | static_cast<unsigned char>(der[0][3])));
    EXPECT_NE(der[0].find("LoL Game Engineering Certificate Authority"), std::string::npos);
}

TEST(LocalTls, UnconfiguredTlsStopsEveryRequest) {
    Harness h;
    h.config.riotRootCertFile = "/nonexistent/parlow/root.pem";
    h.host.lockfile = lockfileFor(50001, "pw");
    h.start(makeLocalTlsSettings(h.config));
    h.runFor(5000);
    EXPECT_TRUE(h.http.recorded().empty());
    EXPECT_TRUE(h.host.discoveries.empty());
    EXPECT_EQ(h.host.statusRecords, 0);
    EXPECT_EQ(statusWord(h.host.snapshot().leagueClient), "tls_not_configured");
    EXPECT_EQ(statusWord(h.host.snapshot().liveGame), "tls_not_configured");
}

TEST(Polling, IsDueMeasuresFromTheStartOfTheLastPoll) {
    Harness h;
    Poller& poller = h.start();
    EXPECT_TRUE(poller.isDue("k", 1000));
    h.host.steady += 999;
    EXPECT_FALSE(poller.isDue("k", 1000));
    h.host.steady += 1;
    EXPECT_TRUE(poller.isDue("k", 1000));
    EXPECT_TRUE(poller.isDue("other", 1000));
    EXPECT_TRUE(poller.isDue("k", 0));

    // A slow answer does not stretch the schedule: the next poll is due 1000 ms after the last
    // one started, not after it ended.
    h.host.lockfile = lockfileFor(50001, "pw");
    h.config.liveClient = false;
    h.start();
    h.answerPhase("None");
    h.http.on(kPhase, [&](const HttpRequest&) {
        h.host.steady += 600;
        HttpResponse response;
        response.status = 200;
        response.body = "\"None\"";
        return response;
    });
    h.host.steady = kStart;
    h.runFor(5000);
    auto times = h.http.timesOf(kPhase);
    ASSERT_GE(times.size(), 3u);
    for (std::size_t i = 1; i < times.size(); ++i) EXPECT_EQ(times[i] - times[i - 1], 1000);
}

// Keys of one interval that one step asks stay due together, however long the work before
// them takes. Catches an idle collector waking twice per discovery interval: once for the
// process scan and again, when the scan was quicker than the last one, for the in-game probe.
TEST(Polling, KeysAskedInOneStepStayDueTogether) {
    Harness h;
    h.host.discoveryTakesMs = {7, 3};
    h.start();
    h.runByDueTime(10000);
    EXPECT_EQ(h.host.discoveries.size(), 5u);
    EXPECT_EQ(h.http.timesOf(kGameStats).size(), 5u);
    EXPECT_EQ(h.steps, 5) << "steps for " << h.host.discoveries.size() << " discoveries";
}

}  // namespace
}  // namespace vornet
