#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "collector/envelope.h"
#include "collector/upload.h"
#include "core/json.h"
#include "tests/support/fake_http_client.h"
#include "tests/support/gunzip.h"

namespace vornet {
namespace {

using testing::FakeHttpClient;

constexpr std::int64_t kWallStart = 1700000000000;

// A collector's worth of parts around one buffer, with clocks the test moves by hand.
struct Rig {
    std::int64_t wallNow = kWallStart;
    std::int64_t steadyNow = 1000;
    double random = 0.0;
    Config config;
    ServerTls tls;
    std::string token = "tok-123";
    std::string bootId = "boot_00112233445566aa";
    ObservationBuffer buffer;
    FakeHttpClient ownClient;
    HttpClient* client = &ownClient;
    std::atomic<std::uint32_t> authFailures{0};
    std::vector<std::string> lastErrors;
    std::vector<UploadResult> results;
    bool callbackSet = true;
    UploadContext context;

    explicit Rig(std::uint64_t maxBatchSize = 64)
        : config(makeConfig()),
          buffer(
              BufferLimits{}, maxBatchSize, [this] { return wallNow; }, [this] { return steadyNow; },
              [this] { return random; }),
          context{buffer,
                  *client,
                  config,
                  tls,
                  token,
                  bootId,
                  [this] { return wallNow; },
                  authFailures,
                  [this](const std::string& error) { lastErrors.push_back(error); },
                  [this]() -> UploadCallback {
                      if (!callbackSet) return {};
                      return [this](const UploadResult& result) { results.push_back(result); };
                  }} {}

    static Config makeConfig() {
        Config config = defaultConfig();
        config.url = "https://agg.example.net:9443/base";
        config.host = "agg.example.net";
        config.port = 9443;
        config.path = "/base";
        return config;
    }

    void push(std::size_t count, std::size_t payloadSize = 10) {
        for (std::size_t i = 0; i < count; ++i) {
            Observation o;
            o.observedAt = wallNow;
            o.api = "lcu";
            o.endpoint = "/lol-gameflow/v1/gameflow-phase";
            o.status = 200;
            o.payload = "\"" + std::string(payloadSize, 'p') + "\"";
            buffer.push(std::move(o));
        }
    }

    // Steady milliseconds until takeBatch hands out a batch again (the batch is taken).
    std::optional<std::int64_t> waitUntilNextBatch(std::int64_t limit = 200000) {
        const std::int64_t start = steadyNow;
        for (std::int64_t step = 0; step <= limit; ++step) {
            steadyNow = start + step;
            if (buffer.takeBatch()) return step;
        }
        return std::nullopt;
    }
};

struct StatusCase {
    const char* label;
    std::int32_t status;
    std::string body;
    std::string transportError;
    std::size_t batchSize;
    std::uint64_t pendingAfter;
    std::uint32_t consecutiveFailures;
    std::string bufferError;
    std::string collectorError;
    std::int64_t waitMin;             // next batch no earlier than this many ms (random source at 0)
    std::int64_t waitMax;             // and no later than this (random source just below 1)
    std::uint32_t authFailuresAfter;  // starting from 3
    std::size_t callbacks;
};

// Catches a status settled the wrong way (or twice, or not at all), a wrong message, a wrong
// back-off, an authentication counter not raised for 401/403 or not reset by an
// acknowledgement, a callback after anything but an acknowledgement, and a 400 body quoted as
// invalid UTF-8 (a character cut in two at 300 bytes, or bytes that never were UTF-8).
TEST(UploadTest, EveryStatusEndsInItsOneSettlement) {
    const std::string longBody(400, 'E');
    const std::string splitCharacter = std::string(299, 'E') + "\xC3\xA9" + "tail";
    const std::string notUtf8 = "bad \xFF\xFE end \xC3";
    const std::string replacement = "\xEF\xBF\xBD";
    const std::vector<StatusCase> cases = {
        {"200 acknowledged", 200, R"({"accepted":["o1","o2"],"duplicates":[],"rejected":[]})", "", 2, 0, 0, "", "", 0,
         0, 0, 1},
        {"200 settles nothing", 200, R"({"accepted":[],"duplicates":[],"rejected":[]})", "", 2, 2, 0, "", "", 0, 0, 0,
         1},
        {"200 retryable rejection", 200,
         R"({"accepted":["o1"],"duplicates":[],"rejected":[{"observationId":"o2","reason":"x","retryable":true}]})", "",
         2, 1, 0, "", "", 1000, 1000, 0, 1},
        {"200 malformed", 200, R"({"accepted":[]})", "", 2, 2, 1, "malformed acknowledgement from server", "", 400, 600,
         3, 0},
        {"400", 400, longBody, "", 2, 0, 0, "server rejected a batch (server_rejected_batch)",
         "server rejected a batch as invalid: " + longBody.substr(0, 300), 0, 0, 3, 0},
        {"400 cut inside a character", 400, splitCharacter, "", 2, 0, 0,
         "server rejected a batch (server_rejected_batch)",
         "server rejected a batch as invalid: " + std::string(299, 'E'), 0, 0, 3, 0},
        {"400 not UTF-8", 400, notUtf8, "", 2, 0, 0, "server rejected a batch (server_rejected_batch)",
         "server rejected a batch as invalid: bad " + replacement + replacement + " end " + replacement, 0, 0, 3, 0},
        {"413 single", 413, "", "", 1, 0, 0, "server rejected a batch (observation_too_large)", "", 0, 0, 3, 0},
        {"413 split", 413, "", "", 10, 10, 0, "", "", 0, 0, 3, 0},
        {"no answer", 0, "", "timed out", 2, 2, 1, "cannot reach aggregator: timed out", "", 400, 600, 3, 0},
        {"401", 401, "", "", 2, 2, 1, "aggregator rejected the collector token (401); re-enroll", "", 48000, 72000, 4,
         0},
        {"403", 403, "", "", 2, 2, 1, "aggregator refused this collector id for the token (403)", "", 48000, 72000, 4,
         0},
        {"201", 201, R"({"accepted":[],"duplicates":[],"rejected":[]})", "", 2, 2, 1, "aggregator returned HTTP 201",
         "", 400, 600, 3, 0},
        {"302", 302, "", "", 2, 2, 1, "aggregator returned HTTP 302", "", 400, 600, 3, 0},
        {"404", 404, "", "", 2, 2, 1, "aggregator returned HTTP 404", "", 400, 600, 3, 0},
        {"429", 429, "", "", 2, 2, 1, "aggregator returned HTTP 429", "", 400, 600, 3, 0},
        {"500", 500, "", "", 2, 2, 1, "aggregator returned HTTP 500", "", 400, 600, 3, 0},
        {"503", 503, "", "", 2, 2, 1, "aggregator returned HTTP 503", "", 400, 600, 3, 0},
    };
    for (const StatusCase& c : cases) {
        SCOPED_TRACE(c.label);
        for (const double random : {0.0, 0.999999}) {
            Rig rig;
            rig.random = random;
            rig.authFailures = 3;
            rig.push(c.batchSize);
            rig.ownClient.queue(c.status, c.body, c.transportError);
            ASSERT_TRUE(uploadOnce(rig.context));
            EXPECT_EQ(rig.ownClient.requests().size(), 1u);

            const BufferStats stats = rig.buffer.stats();
            EXPECT_EQ(stats.pendingObservations, c.pendingAfter);
            EXPECT_EQ(stats.consecutiveFailures, c.consecutiveFailures);
            EXPECT_EQ(stats.lastError, c.bufferError);
            EXPECT_EQ(rig.authFailures.load(), c.authFailuresAfter);
            EXPECT_EQ(rig.results.size(), c.callbacks);
            if (c.collectorError.empty()) {
                EXPECT_TRUE(rig.lastErrors.empty());
            } else {
                EXPECT_EQ(rig.lastErrors, std::vector<std::string>{c.collectorError});
            }

            // Something must remain to send for the wait to be observable: a rejected batch
            // leaves its drop range, an acknowledged one gets a fresh observation.
            if (stats.pendingObservations == 0 && c.status != 400 && c.status != 413) rig.push(1);
            const std::optional<std::int64_t> wait = rig.waitUntilNextBatch();
            ASSERT_TRUE(wait.has_value());
            if (random == 0.0) {
                EXPECT_EQ(*wait, c.waitMin);
            } else {
                EXPECT_LE(*wait, c.waitMax);
                EXPECT_GE(*wait, c.waitMax - 2);
            }
        }
    }
}

TEST(UploadTest, SplitAndRejectionShapeTheNextBatch) {
    {
        Rig rig;
        rig.push(10);
        rig.ownClient.queue(413);
        ASSERT_TRUE(uploadOnce(rig.context));
        const std::optional<Batch> next = rig.buffer.takeBatch();
        ASSERT_TRUE(next.has_value());
        EXPECT_EQ(next->observations.size(), 5u);
        EXPECT_EQ(next->observations.front().sequence, 1u);
    }
    for (const auto& [status, reason] :
         std::vector<std::pair<int, std::string>>{{413, "observation_too_large"}, {400, "server_rejected_batch"}}) {
        SCOPED_TRACE(status);
        Rig rig;
        rig.push(1);
        rig.ownClient.queue(status, "bad");
        ASSERT_TRUE(uploadOnce(rig.context));
        const std::optional<Batch> next = rig.buffer.takeBatch();
        ASSERT_TRUE(next.has_value());
        EXPECT_TRUE(next->observations.empty());
        ASSERT_EQ(next->dropped.size(), 1u);
        EXPECT_EQ(next->dropped[0].reason, reason);
        EXPECT_EQ(next->dropped[0].fromSequence, 1u);
        EXPECT_EQ(next->dropped[0].count, 1u);
    }
}

// A batch of nothing but drop reports answered 413 (the aggregator's size limit of the moment):
// the reports are kept and sent again later, never split, rejected or given up. Catches a
// window of small size limits that makes the collector forget its losses.
TEST(UploadTest, DropReportsAnswered413AreKept) {
    Rig rig;
    rig.push(2);
    rig.ownClient.queue(400, "{}", "");
    ASSERT_TRUE(uploadOnce(rig.context));  // leaves the range 1..2 "server_rejected_batch"
    const int answers[] = {413, 413, 413, 200};
    for (const int status : answers) {
        SCOPED_TRACE(status);
        rig.steadyNow += 200'000;
        rig.ownClient.queue(status, R"({"accepted":[],"duplicates":[],"rejected":[]})", "");
        ASSERT_TRUE(uploadOnce(rig.context));
        const std::string body = rig.ownClient.requests().back().body;
        EXPECT_NE(
            body.find(R"("dropped":[{"count":2,"fromSequence":1,"toSequence":2,"reason":"server_rejected_batch"}])"),
            std::string::npos)
            << body;
        EXPECT_EQ(rig.buffer.stats().abandonedDropRanges, 0u);
    }
    rig.steadyNow += 200'000;
    EXPECT_FALSE(uploadOnce(rig.context)) << "the delivered report went again";
}

TEST(UploadTest, NothingToSendSendsNothing) {
    Rig rig;
    EXPECT_FALSE(uploadOnce(rig.context));
    rig.push(1);
    rig.ownClient.queue(500);
    EXPECT_TRUE(uploadOnce(rig.context));
    EXPECT_FALSE(uploadOnce(rig.context));  // back-off running
    EXPECT_EQ(rig.ownClient.requests().size(), 1u);
}

TEST(UploadTest, RequestCarriesEnvelopeTokenAndHeadersInOrder) {
    Rig rig;
    rig.tls.tlsMode = TlsMode::PinnedRoots;
    rig.tls.pinnedRoots = {"der-root"};
    rig.push(3, 400);
    rig.ownClient.queue(200, R"({"accepted":["o1","o2","o3"],"duplicates":[],"rejected":[],)"
                             R"("collectorTotals":{"runId":"run9","events":41,"games":2}})");
    ASSERT_TRUE(uploadOnce(rig.context));
    ASSERT_EQ(rig.ownClient.requests().size(), 1u);
    const HttpRequest request = rig.ownClient.requests()[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_TRUE(request.https);
    EXPECT_EQ(request.host, "agg.example.net");
    EXPECT_EQ(request.port, 9443);
    EXPECT_EQ(request.path, "/base/v1/ingest/observations");
    EXPECT_EQ(request.timeoutMs, 10000u);
    EXPECT_TRUE(request.useProxy);
    EXPECT_EQ(request.tlsMode, TlsMode::PinnedRoots);
    EXPECT_EQ(request.pinnedRoots, std::vector<std::string>{"der-root"});
    const std::vector<std::pair<std::string, std::string>> headers = {
        {"Content-Type", "application/json"}, {"Authorization", "Bearer tok-123"}, {"Content-Encoding", "gzip"}};
    EXPECT_EQ(request.headers, headers);

    // The body is the gzipped envelope of exactly this batch.
    const std::optional<std::string> inflated = testing::gunzip(request.body);
    ASSERT_TRUE(inflated.has_value());
    const std::string& envelope = *inflated;
    const std::optional<JsonValue> parsed = parseJson(envelope);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->getString("collectorId", ""), rig.config.id);
    EXPECT_EQ(parsed->getString("bootId", ""), "boot_00112233445566aa");
    EXPECT_EQ(parsed->getString("batchId", ""), "batch_1");
    EXPECT_EQ(parsed->getString("sentAt", ""), "2023-11-14T22:13:20.000Z");
    EXPECT_EQ(parsed->getNumber("firstSequence", 0), 1);
    EXPECT_EQ(parsed->getNumber("lastSequence", 0), 3);
    ASSERT_NE(parsed->find("collector"), nullptr);
    EXPECT_EQ(parsed->find("collector")->getString("version", ""), "0.3.0");
    EXPECT_EQ(parsed->find("collector")->getString("name", ""), rig.config.name);

    ASSERT_EQ(rig.results.size(), 1u);
    EXPECT_EQ(rig.results[0].uploadedBytes, request.body.size());
    EXPECT_EQ(rig.results[0].rawBytes, envelope.size());
    ASSERT_TRUE(rig.results[0].totals.has_value());
    EXPECT_EQ(rig.results[0].totals->runId, "run9");
    EXPECT_EQ(rig.results[0].totals->events, 41u);
    EXPECT_EQ(rig.results[0].totals->games, 2u);
    EXPECT_EQ(rig.buffer.stats().lastSuccessUnixMs, kWallStart);
}

TEST(UploadTest, AcknowledgementWithoutCallbackStillSettles) {
    Rig rig;
    rig.callbackSet = false;
    rig.push(2);
    rig.ownClient.queue(200, R"({"accepted":["o1","o2"],"duplicates":[],"rejected":[]})");
    ASSERT_TRUE(uploadOnce(rig.context));
    EXPECT_EQ(rig.buffer.pendingCount(), 0u);
    EXPECT_TRUE(rig.results.empty());
}

// Catches an off-by-one at the compression threshold, compression with gzip switched off,
// and a Content-Encoding header on an uncompressed body.
TEST(UploadTest, CompressionStartsAtFiveHundredTwelveBytesWhenEnabled) {
    struct Case {
        std::size_t size;
        bool gzipOn;
        bool compressed;
    };
    const std::vector<Case> cases = {{511, true, false},  {512, true, true},    {5000, true, true},
                                     {512, false, false}, {5000, false, false}, {0, true, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + (c.gzipOn ? " on" : " off"));
        Config config = Rig::makeConfig();
        config.gzip = c.gzipOn;
        const std::string envelope(c.size, 'e');
        const HttpRequest request = buildUploadRequest(config, ServerTls{}, "t", envelope);
        ASSERT_EQ(request.headers.size(), c.compressed ? 3u : 2u);
        if (c.compressed) {
            EXPECT_EQ(request.headers[2], (std::pair<std::string, std::string>{"Content-Encoding", "gzip"}));
            EXPECT_EQ(request.body.substr(0, 3), std::string("\x1f\x8b\x08", 3));
        } else {
            EXPECT_EQ(request.body, envelope);
        }
    }
}

// Catches a proxy towards a loopback aggregator, or a direct connection to a remote one.
TEST(UploadTest, ProxyOnlyAwayFromLoopback) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"127.0.0.1", false}, {"localhost", false}, {"::1", false}, {"ingest.parlow.gg", true}, {"127.0.0.10", true}};
    for (const auto& [host, useProxy] : cases) {
        SCOPED_TRACE(host);
        Config config = Rig::makeConfig();
        config.host = host;
        EXPECT_EQ(buildUploadRequest(config, ServerTls{}, "t", "{}").useProxy, useProxy);
    }
}

TEST(UploadTest, TokenNeverReachesAnyErrorText) {
    for (const int status : {0, 400, 401, 403, 413, 500}) {
        Rig rig;
        rig.token = "very-secret-token";
        rig.push(1);
        rig.ownClient.queue(status, "body", status == 0 ? "connection reset" : "");
        ASSERT_TRUE(uploadOnce(rig.context));
        EXPECT_EQ(rig.buffer.stats().lastError.find("very-secret-token"), std::string::npos);
        for (const std::string& error : rig.lastErrors) EXPECT_EQ(error.find("very-secret-token"), std::string::npos);
    }
}

}  // namespace
}  // namespace vornet
