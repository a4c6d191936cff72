// The collector with the platform's own transport (Beast + OpenSSL here, WinHTTP under wine)
// against the game client simulator and the local aggregator, both real native processes on
// loopback that run_with_sims.sh starts: discovery through the lockfile, the REST API and the
// in-game API under the simulator's root, the notification feed, enrollment and uploads over
// HTTPS pinned to the aggregator's root, a final drain and a clean stop.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "collector/collector.h"
#include "collector/enroll.h"
#include "config/config.h"
#include "core/files.h"
#include "core/json.h"
#include "net/http_client.h"
#include "sources/lockfile.h"

namespace vornet {
namespace {

using namespace std::chrono_literals;

constexpr const char* kInvite = "E2E-INVITE";

std::optional<JsonValue> readJson(const std::string& path) {
    std::optional<std::string> text = readWholeFile(path);
    if (!text) return std::nullopt;
    std::optional<JsonValue> value = parseJson(*text);
    if (!value || !value->isObject()) return std::nullopt;
    return value;
}

bool eventually(const std::function<bool()>& ready, std::chrono::milliseconds limit = 30s) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (ready()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return ready();
}

// The folder the wrapper prepared: client.json, aggregator.json, the two roots, the install
// folder with the lockfile. A path relative to the working folder, so that it means the same
// to a Windows program under wine.
class Sims {
public:
    bool load(std::string& problem) {
        const char* dir = std::getenv("PARLOW_SIMS_DIR");
        if (dir == nullptr || *dir == '\0') {
            problem = "PARLOW_SIMS_DIR is not set; run this suite through run_with_sims.sh";
            return false;
        }
        dir_ = dir;
        std::optional<JsonValue> client = readJson(file("client.json"));
        std::optional<JsonValue> aggregator = readJson(file("aggregator.json"));
        if (!client || !aggregator) {
            problem = "cannot read the simulators' state files in " + dir_;
            return false;
        }
        client_ = *client;
        aggregator_ = *aggregator;
        return true;
    }
    std::string file(const std::string& name) const { return joinPath(dir_, name); }
    int controlPort() const { return static_cast<int>(client_.getNumber("controlPort", 0)); }
    int livePort() const { return static_cast<int>(client_.getNumber("livePort", 0)); }
    std::string lockfilePassword() const { return client_.getString("password", ""); }
    int aggregatorPort() const { return static_cast<int>(aggregator_.getNumber("port", 0)); }
    int aggregatorTlsPort() const { return static_cast<int>(aggregator_.getNumber("tlsPort", 0)); }

    Config config() const {
        JsonValue server = JsonValue::object();
        server.set("url", "https://127.0.0.1:" + std::to_string(aggregatorTlsPort()));
        server.set("caFile", file("server-root.pem"));
        server.set("batchIntervalMs", 100);
        JsonValue collection = JsonValue::object();
        collection.set("leagueInstallDir", file("league"));
        collection.set("riotRootCertFile", file("riot-root.pem"));
        collection.set("liveClientPort", livePort());
        collection.set("captureDir", file("capture"));
        JsonValue doc = JsonValue::object();
        doc.set("server", server);
        doc.set("collection", collection);
        std::vector<std::string> errors, warnings;
        std::optional<Config> config = parseConfig(writeJson(doc), errors, warnings);
        EXPECT_TRUE(config) << (errors.empty() ? "" : errors.front());
        EXPECT_TRUE(warnings.empty()) << warnings.front();
        return config ? *config : Config{};
    }

private:
    std::string dir_;
    JsonValue client_, aggregator_;
};

// Plain HTTP on loopback through the platform transport, for the simulators' control ports.
std::optional<JsonValue> control(HttpClient& http, const std::string& method, int port, const std::string& path) {
    HttpRequest request;
    request.method = method;
    request.https = false;
    request.host = "127.0.0.1";
    request.port = port;
    request.path = path;
    request.timeoutMs = 5000;
    HttpResponse response = http.request(request);
    if (response.status != 200) return std::nullopt;
    std::optional<JsonValue> value = parseJson(response.body);
    if (!value || !value->isObject()) return std::nullopt;
    return value;
}

std::vector<JsonValue> captureLines(const std::string& path) {
    std::vector<JsonValue> lines;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        std::optional<JsonValue> value = parseJson(line);
        EXPECT_TRUE(value && value->isObject()) << line;
        if (value) lines.push_back(std::move(*value));
    }
    return lines;
}

// The number of observations of `api`, `endpoint` and `kind` the aggregator accepted.
std::uint64_t acceptedCount(const JsonValue& summary, const std::string& api, const std::string& endpoint,
                            const std::string& kind) {
    const JsonValue* endpoints = summary.find("endpoints");
    const JsonValue* byPath = endpoints ? endpoints->find(api) : nullptr;
    const JsonValue* byKind = byPath ? byPath->find(endpoint) : nullptr;
    return byKind ? static_cast<std::uint64_t>(byKind->getNumber(kind, 0)) : 0;
}

TEST(CollectorEndToEnd, DiscoversCollectsNotifiesUploadsAndStopsOverThePlatformTransport) {
    Sims sims;
    std::string problem;
    ASSERT_TRUE(sims.load(problem)) << problem;
    std::unique_ptr<HttpClient> controlHttp = createHttpClient("Parlow-e2e/1");
    ASSERT_TRUE(controlHttp);
    auto phase = [&](const std::string& name) {
        return control(*controlHttp, "POST", sims.controlPort(), "/control/phase?name=" + name).has_value();
    };
    auto summary = [&] { return control(*controlHttp, "GET", sims.aggregatorPort(), "/summary"); };

    Config config = sims.config();
    std::unique_ptr<HttpClient> http = createHttpClient("Parlow-e2e/1");
    ASSERT_TRUE(http);

    // Enrollment over HTTPS, pinned to the aggregator's own root.
    EnrollResult enrolled = enroll(config, *http, "  " + std::string(kInvite) + "\n", "");
    ASSERT_EQ(enrolled.outcome, EnrollOutcome::Enrolled) << enrolled.message;
    ASSERT_FALSE(enrolled.token.empty());
    ASSERT_FALSE(enrolled.collectorId.empty());
    config.id = enrolled.collectorId;

    std::string installDir = config.leagueInstallDir;
    auto collector = std::make_unique<Collector>(
        config, http.get(), enrolled.token, [installDir] { return findLockfile(installDir); },
        CollectorClocks::system());
    const std::string bootId = collector->bootId();
    const std::string capturePath = collector->capturePath();
    ASSERT_FALSE(capturePath.empty());
    std::atomic<int> uploads{0};
    collector->setUploadCallback([&](const Collector::UploadResult&) { ++uploads; });
    SharedFlag paused = makeFlag(false);
    CollectorRun run(std::move(http), std::move(collector), paused);
    Collector& c = run.collector();

    // The lobby: the client found through its lockfile, the feed subscribed.
    JsonValue last;
    auto statusIs = [&](const char* key, const char* value) {
        return eventually([&] {
            last = c.status();
            return last.getString(key, "") == value;
        });
    };
    ASSERT_TRUE(statusIs("leagueClient", "connected")) << writeJson(last);
    ASSERT_TRUE(statusIs("lcuNotifications", "connected")) << writeJson(last);
    ASSERT_TRUE(statusIs("gameflowPhase", "Lobby")) << writeJson(last);

    // Into a game: the phase arrives through the feed, the in-game API opens on its own port.
    ASSERT_TRUE(phase("InProgress"));
    ASSERT_TRUE(statusIs("gameflowPhase", "InProgress")) << writeJson(last);
    ASSERT_TRUE(statusIs("liveGame", "available")) << writeJson(last);
    ASSERT_TRUE(eventually([&] {
        std::optional<JsonValue> s = summary();
        return s && acceptedCount(*s, "liveclient", "/liveclientdata/activeplayer", "snapshot") > 0;
    })) << writeJson(summary().value_or(JsonValue()));

    // In the game every request to the client rides a kept connection: once the first ones are
    // open, a stretch of in-game polling opens no new one on either of the client's servers.
    // Catches a transport that pays a TLS handshake per request.
    auto clientState = [&] { return control(*controlHttp, "GET", sims.controlPort(), "/control/state"); };
    // Polling that has gone on at least this far beyond `from` on both servers.
    auto pollingBeyond = [&](const std::optional<JsonValue>& from, double live, double rest) {
        std::optional<JsonValue> now;
        EXPECT_TRUE(eventually(
            [&] {
                now = clientState();
                return now && now->getNumber("liveRequests", 0) >= from->getNumber("liveRequests", 0) + live &&
                       now->getNumber("restRequests", 0) >= from->getNumber("restRequests", 0) + rest;
            },
            60s))
            << writeJson(now.value_or(JsonValue()));
        return now;
    };
    std::optional<JsonValue> entered = clientState();
    ASSERT_TRUE(entered);
    std::optional<JsonValue> before = pollingBeyond(entered, 3, 1);
    ASSERT_TRUE(before);
    std::optional<JsonValue> after = pollingBeyond(before, 10, 2);
    ASSERT_TRUE(after);
    EXPECT_EQ(after->getNumber("liveConnections", -1), before->getNumber("liveConnections", -2)) << writeJson(*after);
    EXPECT_EQ(after->getNumber("restConnections", -1), before->getNumber("restConnections", -2)) << writeJson(*after);

    // Out of it: the end-of-game block is polled and the in-game API closes.
    ASSERT_TRUE(phase("EndOfGame"));
    ASSERT_TRUE(statusIs("gameflowPhase", "EndOfGame")) << writeJson(last);
    ASSERT_TRUE(statusIs("liveGame", "unavailable")) << writeJson(last);

    // Paused, the collector makes nothing more; everything it captured drains and is
    // acknowledged exactly once.
    run.setPaused(true);
    std::vector<JsonValue> captured;
    std::optional<JsonValue> s;
    const JsonValue* boot = nullptr;
    ASSERT_TRUE(eventually([&] {
        captured = captureLines(capturePath);
        s = summary();
        const JsonValue* boots = s ? s->find("boots") : nullptr;
        boot = boots ? boots->find(bootId) : nullptr;
        return c.pendingCount() == 0 && boot != nullptr &&
               static_cast<std::size_t>(boot->getNumber("acknowledged", 0)) == captured.size();
    })) << "captured "
        << captured.size() << ", pending " << c.pendingCount() << ", "
        << (s ? writeJson(*s) : std::string("no summary"));
    EXPECT_EQ(boot->getNumber("firstSequence", 0), 1);
    EXPECT_EQ(static_cast<std::size_t>(boot->getNumber("lastSequence", 0)), captured.size());
    EXPECT_EQ(boot->getNumber("duplicates", -1), 0);
    EXPECT_EQ(boot->getNumber("droppedCount", -1), 0);
    EXPECT_TRUE(boot->find("unaccounted")->asArray().empty()) << writeJson(*boot);

    // What the aggregator holds covers every source the run went through.
    EXPECT_GT(acceptedCount(*s, "lcu", "/lol-gameflow/v1/gameflow-phase", "notification"), 0u);
    EXPECT_GT(acceptedCount(*s, "lcu", "/lol-gameflow/v1/session", "snapshot"), 0u);
    EXPECT_GT(acceptedCount(*s, "lcu", "/lol-end-of-game/v1/eog-stats-block", "snapshot"), 0u);
    EXPECT_GT(acceptedCount(*s, "collector", "/collector/status", "snapshot"), 0u) << writeJson(*s);

    // The capture: one line per enqueued observation, written before numbering.
    std::set<std::string> apis;
    for (const JsonValue& line : captured) {
        EXPECT_EQ(line.getString("observationId", "x"), "");
        EXPECT_EQ(line.getNumber("sequence", -1), 0);
        const JsonValue* source = line.find("source");
        ASSERT_TRUE(source != nullptr);
        apis.insert(source->getString("api", ""));
    }
    EXPECT_EQ(apis, (std::set<std::string>{"collector", "lcu", "liveclient"}));
    std::string captureText = readWholeFile(capturePath).value_or("");
    ASSERT_FALSE(sims.lockfilePassword().empty());
    EXPECT_EQ(captureText.find(sims.lockfilePassword()), std::string::npos);
    EXPECT_EQ(captureText.find(enrolled.token), std::string::npos);

    // The snapshot after a run that lost nothing.
    JsonValue status = c.status();
    EXPECT_EQ(status.getString("collectorId", ""), enrolled.collectorId);
    EXPECT_EQ(status.getString("bootId", ""), bootId);
    EXPECT_EQ(status.getString("server", ""), "127.0.0.1:" + std::to_string(sims.aggregatorTlsPort()));
    EXPECT_EQ(status.getString("serverConnection", ""), "connected");
    EXPECT_TRUE(status.getBool("collectionActive", false));
    EXPECT_EQ(status.getNumber("pendingObservations", -1), 0);
    EXPECT_EQ(status.getNumber("droppedObservations", -1), 0);
    EXPECT_GE(status.getNumber("sentBatches", 0), 1);
    EXPECT_EQ(status.getNumber("consecutiveFailures", -1), 0);
    EXPECT_EQ(status.getNumber("authFailures", -1), 0);
    // The in-game API closing with the game is the only trouble this run may report.
    const JsonValue* lastError = status.find("lastError");
    EXPECT_TRUE(lastError->isNull() || lastError->asString().rfind("/liveclientdata/", 0) == 0) << writeJson(status);
    EXPECT_GE(uploads.load(), 1);

    auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(run.stop());
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5500ms);
}

}  // namespace
}  // namespace vornet
