// The upload step and enrollment over the real transport against a plain-HTTP loopback server:
// what arrives on the wire, byte for byte.
#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>

#include "collector/enroll.h"
#include "collector/upload.h"
#include "core/json.h"
#include "core/text.h"
#include "tests/support/gunzip.h"
#include "tests/support/loopback_http_server.h"

namespace vornet {
namespace {

using testing::LoopbackHttpServer;
using testing::ReceivedRequest;

Config loopbackConfig(std::uint16_t port) {
    Config config = defaultConfig();
    config.url = "http://127.0.0.1:" + std::to_string(port) + "/agg";
    config.https = false;
    config.allowPlainHttpLoopback = true;
    config.host = "127.0.0.1";
    config.port = port;
    config.path = "/agg";
    return config;
}

std::uint32_t littleEndianAt(const std::string& bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[offset + i]);
    return value;
}

// Our headers, in the order they arrived, without those the transport adds.
std::vector<std::pair<std::string, std::string>> ourHeaders(const ReceivedRequest& request) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& [name, value] : request.headers) {
        const std::string lower = asciiLower(name);
        if (lower == "content-type" || lower == "authorization" || lower == "content-encoding") {
            out.emplace_back(lower, value);
        }
    }
    return out;
}

struct WireRig {
    LoopbackHttpServer server;
    Config config = loopbackConfig(server.port());
    ServerTls tls;
    std::string token = "wire-token";
    std::string bootId = "boot_0000000000000001";
    std::int64_t steadyNow = 0;
    ObservationBuffer buffer{BufferLimits{}, 64, [] { return std::int64_t{1700000000000}; },
                             [this] { return steadyNow; }, [] { return 0.5; }};
    std::unique_ptr<HttpClient> client = createHttpClient(std::string("Parlow/") + kCollectorVersion);
    std::atomic<std::uint32_t> authFailures{0};
    std::vector<UploadResult> results;
    std::vector<std::string> errors;
    UploadContext context{
        buffer,
        *client,
        config,
        tls,
        token,
        bootId,
        [] { return std::int64_t{1700000000000}; },
        authFailures,
        [this](const std::string& error) { errors.push_back(error); },
        [this]() -> UploadCallback { return [this](const UploadResult& result) { results.push_back(result); }; }};

    void push(std::size_t count, std::size_t payloadSize) {
        for (std::size_t i = 0; i < count; ++i) {
            Observation o;
            o.observedAt = 1700000000000;
            o.api = "liveclient";
            o.endpoint = "/liveclientdata/allgamedata";
            o.status = 200;
            o.payload = "{\"text\":\"" + std::string(payloadSize, 'a' + static_cast<char>(i % 26)) + "\"}";
            buffer.push(std::move(o));
        }
    }
};

TEST(UploadHttpTest, GzipBatchArrivesIntactWithItsHeaders) {
    WireRig rig;
    ASSERT_NE(rig.server.port(), 0);
    rig.push(20, 300);
    rig.server.reply(
        {200, R"({"accepted":[)" + [] {
             std::string ids;
             for (int i = 1; i <= 20; ++i) ids += (i > 1 ? ",\"o" : "\"o") + std::to_string(i) + "\"";
             return ids;
         }() + R"(],"duplicates":[],"rejected":[],"collectorTotals":{"runId":"r","events":20,"games":0}})"});
    ASSERT_TRUE(uploadOnce(rig.context));

    const std::vector<ReceivedRequest> received = rig.server.received();
    ASSERT_EQ(received.size(), 1u);
    const ReceivedRequest& request = received[0];
    EXPECT_EQ(request.requestLine, "POST /agg/v1/ingest/observations HTTP/1.1");
    const std::vector<std::pair<std::string, std::string>> headers = {
        {"content-type", "application/json"}, {"authorization", "Bearer wire-token"}, {"content-encoding", "gzip"}};
    EXPECT_EQ(ourHeaders(request), headers);

    const std::string& body = request.body;
    ASSERT_GT(body.size(), 18u);
    EXPECT_EQ(body.substr(0, 10), std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10));
    const std::optional<std::string> envelope = testing::gunzip(body);
    ASSERT_TRUE(envelope.has_value());
    EXPECT_EQ(littleEndianAt(body, body.size() - 4), envelope->size());
    EXPECT_EQ(littleEndianAt(body, body.size() - 8),
              crc32(0, reinterpret_cast<const Bytef*>(envelope->data()), static_cast<uInt>(envelope->size())));
    const std::optional<JsonValue> parsed = parseJson(*envelope);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->getNumber("firstSequence", 0), 1);
    EXPECT_EQ(parsed->getNumber("lastSequence", 0), 20);
    ASSERT_NE(parsed->find("observations"), nullptr);
    EXPECT_EQ(parsed->find("observations")->elements.size(), 20u);

    EXPECT_EQ(rig.buffer.pendingCount(), 0u);
    ASSERT_EQ(rig.results.size(), 1u);
    EXPECT_EQ(rig.results[0].uploadedBytes, body.size());
    EXPECT_EQ(rig.results[0].rawBytes, envelope->size());
    ASSERT_TRUE(rig.results[0].totals.has_value());
    EXPECT_EQ(rig.results[0].totals->events, 20u);
}

TEST(UploadHttpTest, SmallBatchArrivesUncompressedAndServerErrorsSettle) {
    WireRig rig;
    rig.push(1, 5);
    rig.server.reply({400, "envelope rejected: missing field"});
    ASSERT_TRUE(uploadOnce(rig.context));
    const std::vector<ReceivedRequest> received = rig.server.received();
    ASSERT_EQ(received.size(), 1u);
    const std::vector<std::pair<std::string, std::string>> headers = {{"content-type", "application/json"},
                                                                      {"authorization", "Bearer wire-token"}};
    EXPECT_EQ(ourHeaders(received[0]), headers);
    EXPECT_LT(received[0].body.size(), 512u);
    EXPECT_TRUE(parseJson(received[0].body).has_value());
    EXPECT_EQ(rig.errors,
              std::vector<std::string>{"server rejected a batch as invalid: envelope rejected: missing field"});
    EXPECT_EQ(rig.buffer.pendingCount(), 0u);
}

TEST(UploadHttpTest, EnrollExchangeOverTheWire) {
    LoopbackHttpServer server;
    server.reply({201, R"({"collectorId":"pc-42","token":"minted"})"});
    server.reply({409, R"({"error":{"code":"already_used"}})"});
    const Config config = loopbackConfig(server.port());
    std::unique_ptr<HttpClient> client = createHttpClient(std::string("Parlow/") + kCollectorVersion);

    const EnrollResult enrolled = enroll(config, *client, "  INV-7 ", "pc-42");
    EXPECT_EQ(enrolled.outcome, EnrollOutcome::Enrolled);
    EXPECT_EQ(enrolled.collectorId, "pc-42");
    EXPECT_EQ(enrolled.token, "minted");
    const EnrollResult used = enroll(config, *client, "INV-7", "");
    EXPECT_EQ(used.outcome, EnrollOutcome::CodeRejected);
    EXPECT_EQ(used.message, "HTTP 409 already_used");

    const std::vector<ReceivedRequest> received = server.received();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].requestLine, "POST /agg/v1/enroll HTTP/1.1");
    EXPECT_EQ(received[0].body, R"({"code":"INV-7","collectorId":"pc-42"})");
    EXPECT_EQ(received[1].body, R"({"code":"INV-7"})");
}

TEST(UploadHttpTest, ClosedPortIsUnreachable) {
    std::uint16_t port = 0;
    {
        LoopbackHttpServer server;  // a port that was free a moment ago and is closed now
        port = server.port();
    }
    std::unique_ptr<HttpClient> client = createHttpClient(std::string("Parlow/") + kCollectorVersion);
    const EnrollResult result = enroll(loopbackConfig(port), *client, "code", "");
    EXPECT_EQ(result.outcome, EnrollOutcome::Unreachable);
    EXPECT_FALSE(result.message.empty());
}

}  // namespace
}  // namespace vornet
