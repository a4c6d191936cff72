#include <gtest/gtest.h>

#include <fstream>

#include "collector/enroll.h"
#include "core/json.h"
#include "core/text.h"
#include "tests/support/fake_http_client.h"
#include "tests/support/temp_folder.h"

namespace vornet {
namespace {

using testing::FakeHttpClient;
using testing::TempFolder;

Config aggregatorConfig(std::string host = "agg.example.net", std::string path = "/api") {
    Config config = defaultConfig();
    config.url = "https://" + host + path;
    config.https = true;
    config.host = std::move(host);
    config.port = 8443;
    config.path = std::move(path);
    return config;
}

struct AnswerCase {
    const char* label;
    std::int32_t status;
    std::string body;
    std::string transportError;
    EnrollOutcome outcome;
    std::string message;
    std::string collectorId;
    std::string token;
};

// Catches a wrong status-to-outcome mapping, a success read from anything but 201 with both
// fields, and a message composed from the wrong parts (status, error code, transport text).
TEST(EnrollTest, EveryAnswerMapsToItsOutcomeAndMessage) {
    const std::vector<AnswerCase> cases = {
        {"created", 201, R"({"collectorId":"c1","token":"t0k"})", "", EnrollOutcome::Enrolled, "", "c1", "t0k"},
        {"created with extra members", 201, R"({"token":"t","x":1,"collectorId":"c"})", "", EnrollOutcome::Enrolled, "",
         "c", "t"},
        {"200 is not success", 200, R"({"collectorId":"c1","token":"t0k"})", "", EnrollOutcome::Failed, "HTTP 200"},
        {"201 without token", 201, R"({"collectorId":"c1"})", "", EnrollOutcome::Failed,
         "enrollment response without collectorId or token"},
        {"201 with empty id", 201, R"({"collectorId":"","token":"t"})", "", EnrollOutcome::Failed,
         "enrollment response without collectorId or token"},
        {"201 with numeric token", 201, R"({"collectorId":"c","token":5})", "", EnrollOutcome::Failed,
         "enrollment response without collectorId or token"},
        {"201 with array root", 201, R"([1,2])", "", EnrollOutcome::Failed,
         "enrollment response without collectorId or token"},
        {"201 not JSON", 201, "created", "", EnrollOutcome::Failed, "HTTP 201"},
        {"400", 400, R"({"error":{"code":"invalid_code"}})", "", EnrollOutcome::CodeRejected, "HTTP 400 invalid_code"},
        {"404 plain", 404, "not found", "", EnrollOutcome::CodeRejected, "HTTP 404"},
        {"409 with code", 409, R"({"error":{"code":"x"}})", "", EnrollOutcome::CodeRejected, "HTTP 409 x"},
        {"409 error without code", 409, R"({"error":{}})", "", EnrollOutcome::CodeRejected, "HTTP 409 "},
        {"410", 410, R"({"error":{"code":"expired"}})", "", EnrollOutcome::CodeRejected, "HTTP 410 expired"},
        {"429 empty body", 429, "", "", EnrollOutcome::RateLimited, "HTTP 429"},
        {"401", 401, R"({"error":{"code":"auth"}})", "", EnrollOutcome::Failed, "HTTP 401 auth"},
        {"403", 403, "", "", EnrollOutcome::Failed, "HTTP 403"},
        {"500 not JSON", 500, "<html>", "", EnrollOutcome::Failed, "HTTP 500"},
        {"503", 503, R"({"message":"later"})", "", EnrollOutcome::Failed, "HTTP 503"},
        {"no answer", 0, "", "timed out", EnrollOutcome::Unreachable, "timed out"},
        {"refused", 0, "", "connection refused", EnrollOutcome::Unreachable, "connection refused"},
    };
    for (const AnswerCase& c : cases) {
        SCOPED_TRACE(c.label);
        FakeHttpClient client;
        client.queue(c.status, c.body, c.transportError);
        const EnrollResult result = enroll(aggregatorConfig(), client, "CODE", "");
        EXPECT_EQ(result.outcome, c.outcome);
        EXPECT_EQ(result.message, c.message);
        EXPECT_EQ(result.collectorId, c.collectorId);
        EXPECT_EQ(result.token, c.token);
        EXPECT_EQ(client.requests().size(), 1u);
    }
}

TEST(EnrollTest, AnswerCap) {
    // Catches an enroll answer parsed whatever its size, and a cap that refuses an answer of
    // exactly the cap. Rows pad a valid answer with blanks up to the size shown.
    struct Case {
        std::size_t size;
        EnrollOutcome outcome;
        const char* message;
    };
    const std::string answer = R"({"collectorId":"c1","token":"t0k"})";
    const Case cases[] = {
        {kMaxEnrollAnswerBytes, EnrollOutcome::Enrolled, ""},
        {kMaxEnrollAnswerBytes + 1, EnrollOutcome::Failed, "HTTP 201"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        HttpResponse response;
        response.status = 201;
        response.body = answer + std::string(c.size - answer.size(), ' ');
        EnrollResult result = interpretEnrollResponse(response);
        EXPECT_EQ(result.outcome, c.outcome);
        EXPECT_EQ(result.message, c.message);
    }
}

TEST(EnrollTest, RequestCarriesTrimmedCodeAndOptionalIdToTheEnrollPath) {
    FakeHttpClient client;
    client.queue(201, R"({"collectorId":"c","token":"t"})");
    client.queue(201, R"({"collectorId":"c","token":"t"})");
    enroll(aggregatorConfig(), client, " \t AbC-12 \r\n", "");
    enroll(aggregatorConfig(), client, "x y", "pc:7");
    const std::vector<HttpRequest> requests = client.requests();
    ASSERT_EQ(requests.size(), 2u);

    const HttpRequest& first = requests[0];
    EXPECT_EQ(first.method, "POST");
    EXPECT_TRUE(first.https);
    EXPECT_EQ(first.host, "agg.example.net");
    EXPECT_EQ(first.port, 8443);
    EXPECT_EQ(first.path, "/api/v1/enroll");
    EXPECT_EQ(first.timeoutMs, 15000u);
    EXPECT_EQ(first.tlsMode, TlsMode::System);
    EXPECT_TRUE(first.pinnedRoots.empty());
    EXPECT_FALSE(first.allowLoopbackNameMismatch);
    EXPECT_TRUE(first.useProxy);
    const std::vector<std::pair<std::string, std::string>> headers = {{"Content-Type", "application/json"}};
    EXPECT_EQ(first.headers, headers);
    EXPECT_EQ(first.body, R"({"code":"AbC-12"})");

    EXPECT_EQ(requests[1].body, R"({"code":"x y","collectorId":"pc:7"})");
}

// Catches a proxy used towards a loopback aggregator, or a direct connection to a remote one.
TEST(EnrollTest, ProxyOnlyAwayFromLoopback) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"127.0.0.1", false}, {"localhost", false}, {"::1", false}, {"10.0.0.1", true}, {"127.0.0.2", true}};
    for (const auto& [host, useProxy] : cases) {
        SCOPED_TRACE(host);
        FakeHttpClient client;
        client.queue(429);
        enroll(aggregatorConfig(host, ""), client, "c", "");
        ASSERT_EQ(client.requests().size(), 1u);
        EXPECT_EQ(client.requests()[0].useProxy, useProxy);
        EXPECT_EQ(client.requests()[0].path, "/v1/enroll");
    }
}

std::string pemOf(const std::string& der) {
    return "-----BEGIN CERTIFICATE-----\n" + base64Encode(der) + "\n-----END CERTIFICATE-----\n";
}

TEST(EnrollTest, CaFileWithoutCertificatesStopsBeforeAnyRequest) {
    TempFolder folder;
    const std::string empty = folder.utf8() + "/no-certs.pem";
    std::ofstream(folder.path() / "no-certs.pem") << "just text\n";
    const std::string missing = folder.utf8() + "/missing.pem";
    for (const std::string& caFile : {empty, missing}) {
        SCOPED_TRACE(caFile);
        Config config = aggregatorConfig();
        config.caFile = caFile;
        FakeHttpClient client;
        client.queue(201, R"({"collectorId":"c","token":"t"})");
        const EnrollResult result = enroll(config, client, "code", "");
        EXPECT_EQ(result.outcome, EnrollOutcome::Failed);
        EXPECT_EQ(result.message, "server.caFile contains no PEM certificate: " + caFile);
        EXPECT_TRUE(client.requests().empty());

        std::string error;
        const ServerTls tls = serverTlsSettings(config, error);
        EXPECT_EQ(error, "server.caFile contains no PEM certificate: " + caFile);
        EXPECT_EQ(tls.tlsMode, TlsMode::PinnedRoots);
        EXPECT_TRUE(tls.pinnedRoots.empty());
    }
}

TEST(EnrollTest, CaFileCertificatesBecomeThePinnedRoots) {
    TempFolder folder;
    const std::string first("\x30\x03\x02\x01\x01", 5);
    const std::string second("\x30\x03\x02\x01\x02", 5);
    std::ofstream(folder.path() / "roots.pem", std::ios::binary) << pemOf(first) << "junk\n" << pemOf(second);
    Config config = aggregatorConfig();
    config.caFile = folder.utf8() + "/roots.pem";

    std::string error;
    const ServerTls tls = serverTlsSettings(config, error);
    EXPECT_EQ(error, "");
    EXPECT_EQ(tls.tlsMode, TlsMode::PinnedRoots);
    EXPECT_EQ(tls.pinnedRoots, (std::vector<std::string>{first, second}));
    EXPECT_FALSE(tls.allowLoopbackNameMismatch);

    FakeHttpClient client;
    client.queue(201, R"({"collectorId":"c","token":"t"})");
    EXPECT_EQ(enroll(config, client, "code", "").outcome, EnrollOutcome::Enrolled);
    ASSERT_EQ(client.requests().size(), 1u);
    EXPECT_EQ(client.requests()[0].tlsMode, TlsMode::PinnedRoots);
    EXPECT_EQ(client.requests()[0].pinnedRoots, tls.pinnedRoots);

    std::string noError;
    EXPECT_EQ(serverTlsSettings(aggregatorConfig(), noError).tlsMode, TlsMode::System);
    EXPECT_EQ(noError, "");
}

}  // namespace
}  // namespace vornet
