// Answers and events full of sensitive keys at every depth go through a running collector to a
// real aggregator process; no secret value, lockfile password or bearer token may come out in
// the capture file, the bytes the aggregator received, its record, the status snapshot, the
// view JSON or the support text. The token is stored sealed and must appear in no file.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "app/app_status.h"
#include "collector/collector.h"
#include "collector/token.h"
#include "config/config.h"
#include "core/json.h"
#include "core/text.h"
#include "net/http_client.h"
#include "tests/support/child_process_posix.h"
#include "tests/support/gunzip.h"
#include "tests/support/temp_folder.h"
#include "tests/support/wait.h"
#include "ui/view_model.h"

namespace vornet {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::TempFolder;

const std::int32_t kGamePort = 50931;
const std::int32_t kLivePort = 50932;
const char kPassword[] = "LOCKFILE-PW-9f8e7d";
const char kToken[] = "tok_BEARER_5a4b3c2d1e0f";
const char kCollectorId[] = "collector_secrets";

// Every sensitive key the redaction knows, each carrying a unique marker value; the table is
// nested at several depths (object in object, object in array, array in array) so that a
// redaction that stops at the top level or skips arrays lets markers through.
const std::vector<std::string> kSensitiveKeys = {
    "password",      "Passwd",      "accessToken", "id_token",    "clientSecret",  "Cookie",
    "Authorization", "credentials", "jwt",         "apiKey",      "api_key",       "x-api-key",
    "remotingAuth",  "sessionKey",  "session_key", "session-key", "PASSWORD_HASH", "refreshTOKEN"};

std::string marker(const std::string& where, std::size_t i) {
    return "LEAK-" + where + "-" + std::to_string(i);
}

JsonValue secretObject(const std::string& where, int depth) {
    JsonValue object = JsonValue::object();
    object.set("visible", "kept-" + where);
    for (std::size_t i = 0; i < kSensitiveKeys.size(); ++i)
        object.set(kSensitiveKeys[i], marker(where + "d" + std::to_string(depth), i));
    // A sensitive key whose value is itself a structure must go as a whole.
    JsonValue nestedSecret = JsonValue::object();
    nestedSecret.set("inner", marker(where + "obj" + std::to_string(depth), 0));
    object.set("authToken", nestedSecret);
    if (depth > 0) {
        object.set("child", secretObject(where, depth - 1));
        JsonValue list = JsonValue::array();
        list.push(secretObject(where + "a", depth - 1));
        JsonValue inner = JsonValue::array();
        inner.push(secretObject(where + "aa", depth - 1));
        list.push(inner);
        object.set("list", list);
    }
    return object;
}

// A feed that hands out the queued messages, then waits until closed.
class QueuedFeed : public WebSocketConnection {
public:
    explicit QueuedFeed(std::deque<std::string> messages) : messages_(std::move(messages)) {}
    bool send(const std::string&) override { return true; }
    std::optional<std::string> receive() override {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [&] { return !messages_.empty() || closed_; });
        if (closed_) return std::nullopt;
        std::string m = std::move(messages_.front());
        messages_.pop_front();
        return m;
    }
    void close() override {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        cv_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::string> messages_;
    bool closed_ = false;
};

// Request bodies as sent to the aggregator; shared, since the run destroys the client at stop.
struct SentLog {
    std::mutex mutex;
    std::vector<std::string> inflated;
    std::string raw;
    std::atomic<int> feedConnects{0};
};

// The game client is scripted; requests to any other port go through the real transport to the
// aggregator process, and their bodies are kept as sent.
class SplitClient : public HttpClient {
public:
    SplitClient(std::unique_ptr<HttpClient> real, std::shared_ptr<SentLog> log)
        : real_(std::move(real)), log_(std::move(log)) {}
    HttpResponse request(const HttpRequest& request) override {
        HttpResponse response;
        if (request.port == kGamePort || request.port == kLivePort) {
            response.status = 200;
            if (request.path == "/lol-gameflow/v1/gameflow-phase") {
                response.body = "\"InProgress\"";
            } else if (request.path == "/lol-summoner/v1/current-summoner") {
                // A malformed answer: its text must not reach the observation's error or lastError.
                response.status = 500;
                response.body = "{\"password\":\"" + marker("malformed", 0) + "\",\"x\":";
            } else {
                response.body = writeJson(secretObject("rest", 3));
            }
            return response;
        }
        HttpResponse answer = real_->request(request);
        std::lock_guard<std::mutex> lock(log_->mutex);
        bool gzip = false;
        for (const auto& [name, value] : request.headers)
            gzip = gzip || (name == "Content-Encoding" && value == "gzip");
        log_->inflated.push_back(gzip ? testing::gunzip(request.body).value_or(std::string()) : request.body);
        log_->raw += request.body;
        return answer;
    }
    Result<std::unique_ptr<WebSocketConnection>> connectWebSocket(const HttpRequest& request) override {
        if (request.port != kGamePort) return TransportFailure{"connection refused"};
        std::deque<std::string> messages;
        for (const char* uri : {"/lol-lobby/v2/lobby", "/lol-champ-select/v1/session", "/lol-gameflow/v1/session"}) {
            JsonValue event = JsonValue::object();
            event.set("uri", uri);
            event.set("eventType", "Update");
            event.set("data", secretObject("feed", 3));
            JsonValue message = JsonValue::array();
            message.push(8);
            message.push("OnJsonApiEvent");
            message.push(event);
            messages.push_back(writeJson(message));
        }
        ++log_->feedConnects;
        return std::make_unique<QueuedFeed>(std::move(messages));
    }

private:
    std::unique_ptr<HttpClient> real_;
    std::shared_ptr<SentLog> log_;
};

std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Where any forbidden text occurs in `haystack`: the first marker, password or token found.
std::string firstLeak(const std::string& haystack, bool tokenAllowed = false) {
    if (haystack.find("LEAK-") != std::string::npos) return haystack.substr(haystack.find("LEAK-"), 30);
    if (haystack.find(kPassword) != std::string::npos) return "lockfile password";
    if (!tokenAllowed && haystack.find(kToken) != std::string::npos) return "bearer token";
    return {};
}

TEST(Secrets, NoSecretLeavesThroughAnyOutput) {
    TempFolder dir;
    ASSERT_FALSE(dir.path().empty());
    // Per-user folders (token, sealing key) inside the test folder.
    setenv("LOCALAPPDATA", dir.file("local").c_str(), 1);
    setenv("XDG_DATA_HOME", dir.file("xdg").c_str(), 1);
    unsetenv("VORNET_COLLECTOR_TOKEN");
    std::string error;
    ASSERT_TRUE(writeToken(kCollectorId, kToken, error)) << error;
    std::string source;
    auto token = readToken(kCollectorId, source, error);
    ASSERT_TRUE(token) << error;
    ASSERT_EQ(*token, kToken);
    ASSERT_EQ(source, "dpapi");

    ChildProcess aggregator({PARLOW_SIM_AGGREGATOR, "--state-file", dir.file("aggregator.json"), "--record",
                             dir.file("record.jsonl"), "--token", std::string(kToken) + "=" + kCollectorId});
    auto state = testing::waitForJsonFile(dir.file("aggregator.json"));
    ASSERT_TRUE(state);
    int port = static_cast<int>(state->getNumber("port", 0));

    std::vector<std::string> errors, warnings;
    auto config = parseConfig(
        "{\"collector\":{\"id\":\"" + std::string(kCollectorId) +
            "\"},\"server\":{\"url\":\"http://127.0.0.1:" + std::to_string(port) +
            "\",\"allowPlainHttpLoopback\":true,\"batchIntervalMs\":50,\"maxBatchSize\":8},"
            "\"collection\":{\"insecureLocalTls\":true,\"liveClientPort\":" +
            std::to_string(kLivePort) +
            ",\"liveClientIntervalMs\":50,\"eventsIntervalMs\":50,\"gameStatsIntervalMs\":50,\"captureDir\":\"" +
            dir.file("capture") + "\"}}",
        errors, warnings);
    ASSERT_TRUE(config) << (errors.empty() ? "" : errors[0]);

    auto log = std::make_shared<SentLog>();
    auto client = std::make_unique<SplitClient>(createHttpClient("Parlow/0.3.0"), log);
    Lockfile lockfile;
    lockfile.name = "LeagueClient";
    lockfile.pid = 4242;
    lockfile.port = kGamePort;
    lockfile.password = kPassword;
    lockfile.protocol = "https";
    lockfile.fingerprint = "77";
    auto collector = std::make_unique<Collector>(
        *config, client.get(), *token, [lockfile] { return lockfile; }, CollectorClocks::system());
    const std::string capturePath = collector->capturePath();
    CollectorRun run(std::move(client), std::move(collector), makeFlag(false));

    // Enough traffic: REST and in-game answers acknowledged, and the feed's events captured.
    auto deadline = std::chrono::steady_clock::now() + 20s;
    JsonValue snapshot;
    while (std::chrono::steady_clock::now() < deadline) {
        snapshot = run.collector().status();
        std::string capture = readAll(capturePath);
        if (snapshot.getNumber("sentBatches", 0) >= 5 && capture.find("\"notification\"") != std::string::npos &&
            capture.find("/liveclientdata/") != std::string::npos)
            break;
        std::this_thread::sleep_for(50ms);
    }
    snapshot = run.collector().status();
    ASSERT_TRUE(run.stop());

    app::AppStatus status;
    status.enrolled = true;
    status.collector = snapshot;
    status.nowUnixMs = nowUnixMs();
    app::StatusView view = app::classifyStatus(status);
    std::string viewText = writeJson(app::viewJson(status, view));
    std::string support = app::supportText(status, view);
    {
        std::ofstream out(dir.file("status.json"), std::ios::binary);
        out << viewText << "\n" << support;
    }

    std::string capture = readAll(capturePath);
    std::vector<std::string> sent = log->inflated;
    std::string record = readAll(dir.file("record.jsonl"));

    // The traffic that proves the paths ran: otherwise "no leak" would hold trivially.
    EXPECT_GE(snapshot.getNumber("sentBatches", 0), 5) << writeJson(snapshot);
    EXPECT_NE(capture.find("\"notification\""), std::string::npos) << "no feed event was captured";
    EXPECT_NE(capture.find("/liveclientdata/"), std::string::npos) << "no in-game answer was captured";
    EXPECT_NE(capture.find("kept-rest"), std::string::npos) << "redaction removed harmless members too";
    EXPECT_NE(capture.find("kept-feedaa"), std::string::npos) << "events nested in arrays were lost";
    ASSERT_FALSE(sent.empty());
    std::string allSent;
    for (const std::string& body : sent) {
        EXPECT_FALSE(body.empty()) << "a gzip body did not inflate";
        allSent += body;
    }
    EXPECT_NE(allSent.find("kept-feed"), std::string::npos);

    // One table: every output and what it must not contain.
    struct Output {
        const char* name;
        std::string text;
    };
    const std::vector<Output> outputs = {{"capture file", capture},
                                         {"bytes sent to the aggregator (inflated)", allSent},
                                         {"bytes sent to the aggregator (as sent)", log->raw},
                                         {"aggregator record", record},
                                         {"status snapshot", writeJson(snapshot)},
                                         {"view JSON", viewText},
                                         {"support text", support}};
    for (const Output& output : outputs) EXPECT_EQ(firstLeak(output.text), "") << output.name;

    // The token appears in no file under the test's folder, the sealed file included.
    int files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path())) {
        if (!entry.is_regular_file()) continue;
        ++files;
        EXPECT_EQ(firstLeak(readAll(entry.path())), "") << entry.path();
    }
    EXPECT_GE(files, 5);
    EXPECT_TRUE(std::filesystem::exists(tokenFilePath(kCollectorId)));
    unsetenv("LOCALAPPDATA");
    unsetenv("XDG_DATA_HOME");
}

}  // namespace
}  // namespace vornet
