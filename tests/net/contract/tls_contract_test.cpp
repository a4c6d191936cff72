// Pinned-root outcomes and the first-contact probe, proven from the server's request log.
#include "contract_env.h"

namespace contract {
namespace {

using vornet::HttpRequest;

class TlsContract : public ContractTest {};

const char* const kRejectedPrefix = "TLS certificate rejected: ";

// Catches a wrong root or a foreign name being accepted, a reason text that differs, a good
// chain refused, and a rejected server that still got the request or the caller's credentials.
// Validity dates: towards loopback (the game client, whose leaf key ships with every install)
// an out-of-date leaf under the pinned root is accepted; towards any other host (127.0.0.2 is
// not loopback by name) it is refused. Each case uses a fresh client so every one starts with
// a probe.
TEST_F(TlsContract, PinnedRootOutcomes) {
    struct Case {
        const char* name;
        const char* host;
        int port;
        const char* listener;
        std::vector<std::string> roots;
        bool allowMismatch;
        int status;
        std::string error;
    };
    const ServerInfo& s = server();
    const Case cases[] = {
        {"right root", "127.0.0.1", s.tlsPort, "tls", {s.rootDer}, false, 200, ""},
        {"right root among others", "127.0.0.1", s.tlsPort, "tls", {s.otherRootDer, s.rootDer}, false, 200, ""},
        {"wrong root",
         "127.0.0.1",
         s.wrongRootPort,
         "wrongRoot",
         {s.rootDer},
         false,
         0,
         std::string(kRejectedPrefix) + "certificate does not chain to the configured root"},
        {"wrong root even with the mismatch allowance",
         "127.0.0.1",
         s.wrongRootPort,
         "wrongRoot",
         {s.rootDer},
         true,
         0,
         std::string(kRejectedPrefix) + "certificate does not chain to the configured root"},
        {"expired towards loopback", "127.0.0.1", s.expiredPort, "expired", {s.rootDer}, false, 200, ""},
        {"not yet valid towards loopback", "127.0.0.1", s.notYetValidPort, "notYetValid", {s.rootDer}, false, 200, ""},
        {"expired under a wrong root towards loopback",
         "127.0.0.1",
         s.expiredPort,
         "expired",
         {s.otherRootDer},
         false,
         0,
         std::string(kRejectedPrefix) + "certificate does not chain to the configured root"},
        {"expired towards another host",
         "127.0.0.2",
         s.expiredFarPort,
         "expiredFar",
         {s.rootDer},
         false,
         0,
         std::string(kRejectedPrefix) + "certificate expired or not yet valid"},
        {"not yet valid towards another host",
         "127.0.0.2",
         s.notYetValidFarPort,
         "notYetValidFar",
         {s.rootDer},
         false,
         0,
         std::string(kRejectedPrefix) + "certificate expired or not yet valid"},
        {"name mismatch",
         "127.0.0.1",
         s.mismatchPort,
         "mismatch",
         {s.rootDer},
         false,
         0,
         "TLS certificate validation failed"},
        {"name mismatch allowed on loopback", "127.0.0.1", s.mismatchPort, "mismatch", {s.rootDer}, true, 200, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(control(post("/__clear")).status, 200);
        auto client = vornet::createHttpClient("Parlow/0.3.0");
        HttpRequest request = pinned(c.port, "/status/200");
        request.host = c.host;
        request.method = "POST";
        request.body = "payload";
        request.headers = {{"Authorization", "Basic cmlvdDpzZWNyZXQ="}};
        request.pinnedRoots = c.roots;
        request.allowLoopbackNameMismatch = c.allowMismatch;
        auto response = client->request(request);
        EXPECT_EQ(response.status, c.status);
        EXPECT_EQ(response.error, c.error);
        EXPECT_EQ(response.tlsFailure, c.status == 0);
        auto log = serverLog(c.listener);
        if (c.status == 200) {
            EXPECT_EQ(targets(log), (std::vector<std::string>{"GET /", "POST /status/200"}));
            ASSERT_EQ(log.size(), 2u);
            EXPECT_FALSE(log[0].has("Authorization")) << "the probe carries no caller headers";
            EXPECT_TRUE(log[1].has("Authorization"));
        } else if (tolerates(WineDeviation::RejectedRequestStillSent)) {
            // Only the rejected probe, which carries none of the caller's headers, may arrive.
            for (const auto& entry : log) {
                EXPECT_EQ(entry.method + " " + entry.target, "GET /");
                EXPECT_FALSE(entry.has("Authorization"));
            }
        } else {
            // The certificate is judged before any request byte leaves: a rejected server
            // receives nothing at all, neither the probe nor the caller's request.
            EXPECT_EQ(targets(log), std::vector<std::string>{});
        }
    }
}

// The host name check stays on in pinned mode unless the host is loopback and the caller allows
// a mismatch: "localhost" is in the good certificate, so it passes either way. Catches a name
// check that ignores the requested host.
TEST_F(TlsContract, HostNameByName) {
    auto client = vornet::createHttpClient("Parlow/0.3.0");
    HttpRequest request = pinned(server().tlsPort, "/status/200");
    request.host = "localhost";
    auto response = client->request(request);
    EXPECT_EQ(response.status, 200) << response.error;
}

// Catches a probe on every request, a missing probe, a probe that carries the caller's headers,
// and a verified pair that survives a rejection.
TEST_F(TlsContract, FirstContactProbeOncePerPairAndAgainAfterRejection) {
    const ServerInfo& s = server();
    auto client = vornet::createHttpClient("Parlow/0.3.0");
    HttpRequest request = pinned(s.switchPort, "/status/200");
    request.headers = {{"Authorization", "Bearer token"}};

    ASSERT_EQ(client->request(request).status, 200);
    ASSERT_EQ(client->request(request).status, 200);
    EXPECT_EQ(targets(serverLog("switch")), (std::vector<std::string>{"GET /", "GET /status/200", "GET /status/200"}));

    // Another port of the same host is its own pair.
    ASSERT_EQ(client->request(pinned(s.tlsPort, "/status/201")).status, 201);
    EXPECT_EQ(targets(serverLog("tls")), (std::vector<std::string>{"GET /", "GET /status/201"}));

    // The server now presents a certificate from another root: the verified pair does not
    // exempt the real request from the check.
    ASSERT_EQ(control(post("/__switch?to=wrongRoot")).status, 200);
    ASSERT_EQ(control(post("/__clear")).status, 200);
    auto rejected = client->request(request);
    EXPECT_EQ(rejected.status, 0);
    EXPECT_TRUE(rejected.tlsFailure);
    EXPECT_EQ(rejected.error, std::string(kRejectedPrefix) + "certificate does not chain to the configured root");
    if (!tolerates(WineDeviation::RejectedRequestStillSent)) {
        EXPECT_EQ(targets(serverLog("switch")), std::vector<std::string>{}) << "the rejected request left";
    }

    // Back to the good certificate: the pair is probed again before the next real request.
    ASSERT_EQ(control(post("/__switch?to=good")).status, 200);
    ASSERT_EQ(control(post("/__clear")).status, 200);
    ASSERT_EQ(client->request(request).status, 200);
    EXPECT_EQ(targets(serverLog("switch")), (std::vector<std::string>{"GET /", "GET /status/200"}));
}

// A pair whose probe failed is not remembered. Catches a failed probe recorded as verified.
TEST_F(TlsContract, FailedProbeIsRetried) {
    auto client = vornet::createHttpClient("Parlow/0.3.0");
    HttpRequest wrong = pinned(server().wrongRootPort, "/status/200");
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto response = client->request(wrong);
        EXPECT_EQ(response.error, std::string(kRejectedPrefix) + "certificate does not chain to the configured root");
        EXPECT_TRUE(response.tlsFailure);
    }
    // With the right root the same client now succeeds on another pair, probing it first.
    ASSERT_EQ(client->request(pinned(server().tlsPort, "/status/200")).status, 200);
    EXPECT_EQ(targets(serverLog("tls")), (std::vector<std::string>{"GET /", "GET /status/200"}));
}

}  // namespace
}  // namespace contract
