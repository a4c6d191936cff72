#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "core/text.h"
#include "sim/common/certs.h"
#include "sim/common/loopback_client.h"
#include "sim/common/sim_util.h"
#include "tests/support/child_process_posix.h"
#include "tests/support/temp_folder.h"
#include "tests/support/wait.h"

namespace vornet::sim::test {
namespace {

using vornet::testing::ChildProcess;
using vornet::testing::TempFolder;
using vornet::testing::waitForJsonFile;

// A running game client simulator with a held phase clock unless the test asks otherwise.
class ClientSimProcess {
public:
    explicit ClientSimProcess(std::vector<std::string> extra = {"--paused"}) {
        std::vector<std::string> args = {PARLOW_SIM_CLIENT,      "--install-dir",      dir.file("league"),
                                         "--root-cert-out",      dir.file("root.pem"), "--state-file",
                                         dir.file("state.json"), "--live-port",        "0"};
        args.insert(args.end(), extra.begin(), extra.end());
        process = std::make_unique<ChildProcess>(args);
        if (auto s = waitForJsonFile(dir.file("state.json"))) state = *s;
        readFile(dir.file("root.pem"), rootPem);
    }
    std::string lockfilePath() const { return dir.file("league") + "/lockfile"; }
    int port() const { return static_cast<int>(state.getNumber("port", 0)); }
    int livePort() const { return static_cast<int>(state.getNumber("livePort", 0)); }
    int controlPort() const { return static_cast<int>(state.getNumber("controlPort", 0)); }
    std::string password() const { return state.getString("password", ""); }

    FetchResult rest(const std::string& path, const std::string& password) const {
        FetchRequest req;
        req.port = static_cast<std::uint16_t>(port());
        req.target = path;
        req.tls = true;
        req.rootPem = rootPem;
        req.headers = {{"Authorization", "Basic " + base64Encode("riot:" + password)}, {"Accept", "application/json"}};
        return fetch(req);
    }
    FetchResult rest(const std::string& path) const { return rest(path, password()); }
    FetchResult live(const std::string& path) const {
        FetchRequest req;
        req.port = static_cast<std::uint16_t>(livePort());
        req.target = path;
        req.tls = true;
        req.rootPem = rootPem;
        req.timeoutMs = 2000;
        return fetch(req);
    }
    FetchResult control(const std::string& target, const std::string& method = "POST") {
        FetchRequest req;
        req.method = method;
        req.port = static_cast<std::uint16_t>(controlPort());
        req.target = target;
        FetchResult result = fetch(req);
        if (auto s = parseJson(result.body); s && s->isObject() && result.status == 200) state = *s;
        return result;
    }
    std::unique_ptr<WsClient> feed(std::string& error, int* status = nullptr, int timeoutMs = 5000) const {
        FetchRequest req;
        req.port = static_cast<std::uint16_t>(port());
        req.tls = true;
        req.rootPem = rootPem;
        req.timeoutMs = timeoutMs;
        req.headers = {{"Authorization", "Basic " + base64Encode("riot:" + password())}};
        return WsClient::connect(req, error, status);
    }

    TempFolder dir;
    std::unique_ptr<ChildProcess> process;
    JsonValue state;
    std::string rootPem;
};

TEST(ClientSim, WritesLockfileStateAndRoot) {
    ClientSimProcess sim;
    ASSERT_TRUE(sim.state.isObject());
    std::string lockfile;
    ASSERT_TRUE(readFile(sim.lockfilePath(), lockfile));
    std::string expected = "LeagueClient:" + std::to_string(static_cast<long long>(sim.state.getNumber("pid", 0))) +
                           ":" + std::to_string(sim.port()) + ":" + sim.password() + ":https";
    EXPECT_EQ(lockfile, expected);
    EXPECT_GT(sim.port(), 0);
    EXPECT_GE(sim.password().size(), 16u);
    EXPECT_EQ(sim.rootPem.rfind("-----BEGIN CERTIFICATE-----", 0), 0u);
    EXPECT_EQ(sim.state.getString("phase", ""), "Lobby");
}

TEST(ClientSim, TlsChainsToTheGeneratedRootOnly) {
    ClientSimProcess sim;
    // Catches a leaf that lacks one of the loopback names or is not issued by the written root.
    for (const char* name : {"127.0.0.1", "localhost"}) {
        FetchRequest req;
        req.port = static_cast<std::uint16_t>(sim.port());
        req.target = "/lol-gameflow/v1/gameflow-phase";
        req.tls = true;
        req.rootPem = sim.rootPem;
        req.verifyName = name;
        req.headers = {{"Authorization", "Basic " + base64Encode("riot:" + sim.password())}};
        FetchResult result = fetch(req);
        EXPECT_EQ(result.status, 200) << name << ": " << result.error;
        EXPECT_EQ(result.body, "\"Lobby\"");
    }
    TestCertificates other;
    std::string error;
    ASSERT_TRUE(makeTestCertificates("another root", other, error)) << error;
    FetchRequest req;
    req.port = static_cast<std::uint16_t>(sim.port());
    req.tls = true;
    req.rootPem = other.rootPem;
    FetchResult result = fetch(req);
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.error.find("certificate verify failed"), std::string::npos) << result.error;
}

TEST(ClientSim, BasicAuthenticationAndRefusal) {
    ClientSimProcess sim;
    struct Case {
        std::string authorization;
        int status;
    };
    // Catches a check that ignores the user name, the password or the scheme.
    std::vector<Case> cases = {
        {"", 401},
        {"Basic " + base64Encode("riot:wrong"), 401},
        {"Basic " + base64Encode("admin:" + sim.password()), 401},
        {"Bearer " + sim.password(), 401},
        {"Basic " + base64Encode("riot:" + sim.password()), 200},
    };
    for (const Case& c : cases) {
        FetchRequest req;
        req.port = static_cast<std::uint16_t>(sim.port());
        req.target = "/lol-summoner/v1/current-summoner";
        req.tls = true;
        req.rootPem = sim.rootPem;
        if (!c.authorization.empty()) req.headers = {{"Authorization", c.authorization}};
        EXPECT_EQ(fetch(req).status, c.status) << c.authorization;
    }
    ASSERT_EQ(sim.control("/control/refuse-auth?on=1").status, 200);
    EXPECT_EQ(sim.rest("/lol-summoner/v1/current-summoner").status, 401);
    ASSERT_EQ(sim.control("/control/refuse-auth?on=0").status, 200);
    EXPECT_EQ(sim.rest("/lol-summoner/v1/current-summoner").status, 200);
}

TEST(ClientSim, PhaseWalksThroughAGameAndStopsAfterTheRequestedGames) {
    ClientSimProcess sim({"--phase-ms", "150", "--games", "1"});
    ASSERT_TRUE(sim.state.isObject());
    std::vector<std::string> seen;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        FetchResult r = sim.rest("/lol-gameflow/v1/gameflow-phase");
        if (r.status != 200) break;  // the simulator has quit
        auto phase = parseJson(r.body);
        ASSERT_TRUE(phase && phase->isString()) << r.body;
        if (seen.empty() || seen.back() != phase->asString()) seen.push_back(phase->asString());
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
    std::vector<std::string> walk = {"Lobby",     "Matchmaking", "ReadyCheck",      "ChampSelect",
                                     "GameStart", "InProgress",  "WaitingForStats", "EndOfGame"};
    // After the last game the client returns to the lobby and quits; whether a sample lands
    // in that short last lobby is timing, so it may or may not be seen.
    if (seen.size() == walk.size() + 1 && seen.back() == "Lobby") seen.pop_back();
    EXPECT_EQ(seen, walk);
    EXPECT_EQ(sim.process->waitExit(5000), std::optional<int>(0));
    EXPECT_FALSE(std::filesystem::exists(sim.lockfilePath()));
}

TEST(ClientSim, AnswersFollowThePhase) {
    ClientSimProcess sim;
    std::string twoVsTwo;
    ASSERT_TRUE(
        readFile(std::string(PARLOW_SIM_CLIENT_FIXTURES) + "/lol-champ-select-session_custom-2v2.json", twoVsTwo));
    struct Case {
        std::string phase;
        std::string path;
        int status;
    };
    // Catches endpoints that answer outside their phase or not at all inside it.
    std::vector<Case> cases = {
        {"Lobby", "/lol-lobby/v2/lobby", 200},
        {"Lobby", "/lol-champ-select/v1/session", 404},
        {"ChampSelect", "/lol-champ-select/v1/session", 200},
        {"ChampSelect", "/lol-lobby/v2/lobby", 404},
        {"InProgress", "/lol-end-of-game/v1/eog-stats-block", 404},
        {"EndOfGame", "/lol-end-of-game/v1/eog-stats-block", 200},
        {"EndOfGame", "/no/such/path", 404},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(sim.control("/control/phase?name=" + c.phase).status, 200);
        FetchResult r = sim.rest(c.path);
        EXPECT_EQ(r.status, c.status) << c.phase << " " << c.path;
        EXPECT_TRUE(parseJson(r.body).has_value()) << r.body;
    }
    // Before any game has been queued for, champion select is the 2v2 capture, byte for byte.
    ASSERT_EQ(sim.control("/control/phase?name=ChampSelect").status, 200);
    EXPECT_EQ(sim.rest("/lol-champ-select/v1/session").body, twoVsTwo);
    ASSERT_EQ(sim.control("/control/phase?name=EndOfGame").status, 200);
    auto session = parseJson(sim.rest("/lol-gameflow/v1/session").body);
    ASSERT_TRUE(session);
    EXPECT_EQ(session->getString("phase", ""), "EndOfGame");
    auto eog = parseJson(sim.rest("/lol-end-of-game/v1/eog-stats-block").body);
    ASSERT_TRUE(eog);
    EXPECT_EQ(eog->find("gameId")->text, session->find("gameData")->find("gameId")->text);
}

TEST(ClientSim, FeedSendsEventsAfterSubscribing) {
    ClientSimProcess sim;
    std::string error;
    int status = 0;
    FetchRequest noAuth;
    noAuth.port = static_cast<std::uint16_t>(sim.port());
    noAuth.tls = true;
    noAuth.rootPem = sim.rootPem;
    EXPECT_FALSE(WsClient::connect(noAuth, error, &status));
    EXPECT_NE(error.find("declined"), std::string::npos) << error;
    // The WebSocket client does not keep the refusal's status: ask with the upgrade by hand.
    FetchRequest upgrade = noAuth;
    upgrade.headers = {{"Upgrade", "websocket"},
                       {"Connection", "Upgrade"},
                       {"Sec-WebSocket-Key", "dGhlIHNhbXBsZSBub25jZQ=="},
                       {"Sec-WebSocket-Version", "13"}};
    EXPECT_EQ(fetch(upgrade).status, 401);

    auto feed = sim.feed(error);
    ASSERT_TRUE(feed) << error;
    ASSERT_TRUE(feed->send("[5,\"OnJsonApiEvent\"]"));
    // The subscription is handled on the server's thread; wait until it is counted.
    for (int i = 0; i < 100 && sim.state.getNumber("subscribers", 0) < 1; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        sim.control("/control/state", "GET");
    }
    ASSERT_EQ(sim.control("/control/phase?name=ChampSelect").status, 200);
    std::set<std::string> uris;
    bool phaseEvent = false;
    for (int i = 0; i < 20 && !phaseEvent; ++i) {
        auto text = feed->receive(3000);
        ASSERT_TRUE(text) << "no event";
        auto frame = parseJson(*text);
        ASSERT_TRUE(frame && frame->isArray() && frame->elements.size() == 3) << *text;
        EXPECT_EQ(frame->elements[0].text, "8");
        EXPECT_EQ(frame->elements[1].asString(), "OnJsonApiEvent");
        const JsonValue& event = frame->elements[2];
        uris.insert(event.getString("uri", ""));
        EXPECT_FALSE(event.getString("eventType", "").empty());
        if (event.getString("uri", "") == "/lol-gameflow/v1/gameflow-phase") {
            EXPECT_EQ(event.find("data")->asString(), "ChampSelect");
            phaseEvent = true;
        }
    }
    EXPECT_TRUE(phaseEvent);

    // A hung feed stops sending and leaves new handshakes unanswered.
    ASSERT_EQ(sim.control("/control/hang-feed?on=1").status, 200);
    ASSERT_EQ(sim.control("/control/phase?name=GameStart").status, 200);
    while (auto rest = feed->receive(700)) {
        auto frame = parseJson(*rest);
        // Frames of the ChampSelect change may still be on their way; none of the new phase.
        ASSERT_TRUE(frame);
        EXPECT_EQ(rest->find("GameStart"), std::string::npos) << *rest;
    }
    EXPECT_FALSE(sim.feed(error, nullptr, 1000));
    EXPECT_EQ(error, "timed out");
}

TEST(ClientSim, InGameApiListensOnlyDuringAGame) {
    ClientSimProcess sim;
    EXPECT_EQ(sim.live("/liveclientdata/gamestats").status, 0);
    ASSERT_EQ(sim.control("/control/phase?name=InProgress").status, 200);
    EXPECT_TRUE(sim.state.getBool("liveListening", false));
    for (const char* path : {"/liveclientdata/gamestats", "/liveclientdata/activeplayer", "/liveclientdata/playerlist",
                             "/liveclientdata/eventdata", "/liveclientdata/allgamedata"}) {
        FetchResult r = sim.live(path);
        EXPECT_EQ(r.status, 200) << path << r.error;
        EXPECT_TRUE(parseJson(r.body).has_value()) << path;
    }
    auto stats = parseJson(sim.live("/liveclientdata/gamestats").body);
    ASSERT_TRUE(stats);
    EXPECT_EQ(stats->getString("gameMode", ""), "CLASSIC");
    ASSERT_EQ(sim.control("/control/phase?name=WaitingForStats").status, 200);
    EXPECT_EQ(sim.live("/liveclientdata/gamestats").status, 0);
}

TEST(ClientSim, SpectatorCaptureAnswersWithItsErrorObject) {
    ClientSimProcess sim({"--paused", "--live-capture", "spectator", "--start-phase", "InProgress"});
    FetchResult r = sim.live("/liveclientdata/activeplayer");
    EXPECT_EQ(r.status, 404);
    auto body = parseJson(r.body);
    ASSERT_TRUE(body);
    EXPECT_FALSE(body->getString("error", "").empty());
    EXPECT_EQ(sim.live("/liveclientdata/playerlist").status, 200);
}

TEST(ClientSim, RestartMovesPortAndPasswordAndRewritesTheLockfile) {
    ClientSimProcess sim;
    int oldPort = sim.port();
    std::string oldPassword = sim.password();
    ASSERT_EQ(sim.control("/control/restart").status, 200);
    EXPECT_NE(sim.port(), oldPort);
    EXPECT_NE(sim.password(), oldPassword);
    std::string lockfile;
    ASSERT_TRUE(readFile(sim.lockfilePath(), lockfile));
    EXPECT_NE(lockfile.find(":" + std::to_string(sim.port()) + ":" + sim.password() + ":https"), std::string::npos)
        << lockfile;
    EXPECT_EQ(sim.rest("/lol-gameflow/v1/gameflow-phase").status, 200);
    EXPECT_EQ(sim.rest("/lol-gameflow/v1/gameflow-phase", oldPassword).status, 401);
    FetchRequest old;
    old.port = static_cast<std::uint16_t>(oldPort);
    old.tls = true;
    old.rootPem = sim.rootPem;
    EXPECT_EQ(fetch(old).status, 0);
}

TEST(ClientSim, TerminationRemovesTheLockfile) {
    ClientSimProcess sim;
    ASSERT_TRUE(std::filesystem::exists(sim.lockfilePath()));
    EXPECT_EQ(sim.process->stop(), std::optional<int>(0));
    EXPECT_FALSE(std::filesystem::exists(sim.lockfilePath()));
}

}  // namespace
}  // namespace vornet::sim::test
