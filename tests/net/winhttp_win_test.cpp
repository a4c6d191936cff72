// Unit tests of the WinHTTP transport that need no TLS server: the error table, the pinned-root
// judgement on stored certificates, refusals that must happen before any connection, and the
// plain-HTTP and ws:// paths against a scripted loopback server written on Winsock.
//
// Where wine 8 differs from Windows the assertion accepts both outcomes; each such case is in
// this table (case -> why):
//   TruncatedBody      -> wine ends a short body with a clean zero-byte read: "response truncated";
//                         Windows fails the read: "response truncated: <error>". Both status 0.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>

#include "core/text.h"
#include "net/websocket_frame.h"
#include "net/winhttp_client_win.h"
#include "tests/support/loopback_http_server.h"

namespace {

using vornet::HttpRequest;
using vornet::TlsMode;

std::string readData(const std::string& name) {
    std::ifstream in(std::string(PARLOW_TESTDATA) + "/../tests/net/data/" + name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string der(const std::string& name) {
    auto certificates = vornet::pemCertificates(readData(name));
    return certificates.empty() ? std::string() : certificates.front();
}

// ---------------------------------------------------------------------------------------------
// describeError

TEST(WinHttpErrors, CodesMapOntoTheVocabulary) {
    // Catches a wrong or missing row: callers branch on these exact texts and on tlsFailure.
    struct Case {
        unsigned long code;
        const char* text;
        bool tls;
    };
    const Case cases[] = {
        {12002, "timed out", false},
        {10060, "timed out", false},  // wine's time-out code
        {12007, "host name not resolved", false},
        {12017, "request cancelled", false},
        {12029, "connection refused", false},
        {12030, "connection reset", false},
        {10054, "connection reset", false},  // wine's reset code
        {12175, "TLS certificate validation failed", true},
        {12157, "TLS certificate validation failed", true},  // wine's certificate failures
        {12345, "WinHTTP error 12345", false},
        {4294967295ul, "WinHTTP error 4294967295", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(vornet::describeError(c.code), c.text) << c.code;
        EXPECT_EQ(vornet::isTlsErrorCode(c.code), c.tls) << c.code;
    }
}

// ---------------------------------------------------------------------------------------------
// verifyChain

struct ChainCase {
    const char* leaf;
    std::vector<const char*> pins;
    const char* expected;  // exact reason, or a prefix when it ends with "0x"
};

TEST(WinHttpVerifyChain, JudgesStoredCertificates) {
    // Catches a check that accepts a foreign root, ignores dates, or refuses a good chain.
    const ChainCase cases[] = {
        {"leaf-a.pem", {"root-a.pem"}, ""},
        {"leaf-a.pem", {"root-b.pem", "root-a.pem"}, ""},
        {"root-a.pem", {"root-a.pem"}, ""},
        {"leaf-b.pem", {"root-a.pem"}, "certificate does not chain to the configured root"},
        {"leaf-a.pem", {"root-b.pem"}, "certificate does not chain to the configured root"},
        {"leaf-a-expired.pem", {"root-a.pem"}, "certificate expired or not yet valid"},
        {"leaf-a-future.pem", {"root-a.pem"}, "certificate expired or not yet valid"},
        {"leaf-c.pem", {"root-c-not-ca.pem"}, "certificate chain error 0x"},
    };
    for (const ChainCase& c : cases) {
        std::string leaf = der(c.leaf);
        ASSERT_FALSE(leaf.empty()) << c.leaf;
        HttpRequest request;
        request.tlsMode = TlsMode::PinnedRoots;
        for (const char* pin : c.pins) {
            request.pinnedRoots.push_back(der(pin));
            ASSERT_FALSE(request.pinnedRoots.back().empty()) << pin;
        }
        vornet::win::CertContext certificate(CertCreateCertificateContext(
            X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(leaf.data()), static_cast<DWORD>(leaf.size())));
        ASSERT_TRUE(certificate) << c.leaf;
        const std::optional<std::string> verdict = vornet::verifyChain(certificate.get(), request);
        const std::string reason = verdict.value_or("");
        std::string expected = c.expected;
        EXPECT_EQ(verdict.has_value(), !expected.empty()) << reason;
        if (expected.size() > 2 && expected.substr(expected.size() - 2) == "0x") {
            EXPECT_EQ(reason.rfind(expected, 0), 0u) << c.leaf << ": " << reason;
            EXPECT_GT(reason.size(), expected.size()) << c.leaf;
        } else {
            EXPECT_EQ(reason, expected) << c.leaf;
        }
    }
}

TEST(WinHttpVerifyChain, DatesDoNotCountTowardsLoopback) {
    // Catches dates judged towards the game client (whose leaf lapsed while every install still
    // served it), dates ignored towards any other host, and the loopback allowance letting a
    // foreign root or another chain fault through; and, since a request may ride a connection
    // kept after another's handshake, a loopback name the certificate does not carry accepted
    // for a request that checks names.
    struct Case {
        const char* host;
        const char* leaf;
        const char* pin;
        const char* expected;  // as in JudgesStoredCertificates
        bool allowMismatch = false;
    };
    const Case cases[] = {
        {"127.0.0.1", "leaf-a-expired.pem", "root-a.pem", ""},
        {"localhost", "leaf-a-future.pem", "root-a.pem", ""},
        {"::1", "leaf-a-expired.pem", "root-a.pem", "", true},
        {"::1", "leaf-a-expired.pem", "root-a.pem", "certificate not issued for this host"},
        {"127.0.0.1", "leaf-a-expired.pem", "root-b.pem", "certificate does not chain to the configured root"},
        {"127.0.0.1", "leaf-c.pem", "root-c-not-ca.pem", "certificate chain error 0x"},
        {"127.0.0.2", "leaf-a-expired.pem", "root-a.pem", "certificate expired or not yet valid"},
        {"aggregator.example", "leaf-a-future.pem", "root-a.pem", "certificate expired or not yet valid"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.host) + " " + c.leaf);
        std::string leaf = der(c.leaf);
        ASSERT_FALSE(leaf.empty());
        HttpRequest request;
        request.host = c.host;
        request.tlsMode = TlsMode::PinnedRoots;
        request.pinnedRoots.push_back(der(c.pin));
        request.allowLoopbackNameMismatch = c.allowMismatch;
        vornet::win::CertContext certificate(CertCreateCertificateContext(
            X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(leaf.data()), static_cast<DWORD>(leaf.size())));
        ASSERT_TRUE(certificate);
        const std::optional<std::string> verdict = vornet::verifyChain(certificate.get(), request);
        const std::string reason = verdict.value_or("");
        std::string expected = c.expected;
        EXPECT_EQ(verdict.has_value(), !expected.empty()) << reason;
        if (expected.size() > 2 && expected.substr(expected.size() - 2) == "0x") {
            EXPECT_EQ(reason.rfind(expected, 0), 0u) << reason;
        } else {
            EXPECT_EQ(reason, expected);
        }
    }
}

TEST(WinHttpVerifyChain, TopMustMatchByteForByte) {
    // Catches a comparison by subject name: a root with the same name but other bytes is foreign.
    std::string leaf = der("leaf-a.pem");
    std::string root = der("root-a.pem");
    std::string altered = root;
    altered[altered.size() - 5] ^= 0x01;  // inside the signature: same subject, other bytes
    HttpRequest request;
    request.tlsMode = TlsMode::PinnedRoots;
    request.pinnedRoots = {altered};
    vornet::win::CertContext certificate(CertCreateCertificateContext(
        X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(leaf.data()), static_cast<DWORD>(leaf.size())));
    ASSERT_TRUE(certificate);
    EXPECT_TRUE(vornet::verifyChain(certificate.get(), request).has_value());
}

// ---------------------------------------------------------------------------------------------
// The scripted loopback server of the shared test helpers: one connection at a time, each
// request recorded, the answer written by the test.
using ScriptedServer = vornet::testing::ScriptedLoopbackServer;

class WinsockRuntime {
public:
    WinsockRuntime() {
        WSADATA data;
        ok_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~WinsockRuntime() {
        if (ok_) WSACleanup();
    }
    bool ok() const { return ok_; }

private:
    bool ok_ = false;
};

bool sendAll(SOCKET s, const std::string& data) {
    return vornet::testing::sockets::sendAll(static_cast<vornet::testing::sockets::Handle>(s), data);
}

HttpRequest plainRequest(int port, const std::string& path) {
    HttpRequest request;
    request.https = false;
    request.host = "127.0.0.1";
    request.port = port;
    request.path = path;
    return request;
}

class WinHttpClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(winsock_.ok());
        client_ = vornet::createHttpClient(std::string("Parlow/") + vornet::kCollectorVersion);
    }
    WinsockRuntime winsock_;
    std::unique_ptr<vornet::HttpClient> client_;
};

TEST_F(WinHttpClientTest, PolicyRefusalsSendNothing) {
    // Catches a relaxation allowed towards a remote host, or a refusal that still connects.
    ScriptedServer server(
        [](SOCKET s, const std::string&) { sendAll(s, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"); });
    struct Case {
        const char* host;
        bool https;
        TlsMode mode;
        bool emptyPins;
        const char* error;
    };
    const Case cases[] = {
        {"10.0.0.1", false, TlsMode::Insecure, false, "insecure TLS is only permitted for loopback addresses"},
        {"example.com", true, TlsMode::Insecure, false, "insecure TLS is only permitted for loopback addresses"},
        {"10.0.0.1", false, TlsMode::System, false, "plain HTTP is only permitted for loopback addresses"},
        {"127.0.0.1", true, TlsMode::PinnedRoots, true, "no pinned root certificate configured"},
    };
    for (const Case& c : cases) {
        HttpRequest request = plainRequest(server.port(), "/x");
        request.host = c.host;
        request.https = c.https;
        request.tlsMode = c.mode;
        if (!c.emptyPins && c.mode == TlsMode::PinnedRoots) request.pinnedRoots = {der("root-a.pem")};
        auto response = client_->request(request);
        EXPECT_EQ(response.status, 0) << c.host;
        EXPECT_EQ(response.error, c.error) << c.host;
        EXPECT_FALSE(response.tlsFailure) << c.host;
        auto opened = client_->connectWebSocket(request);
        ASSERT_FALSE(opened) << c.host;
        EXPECT_EQ(opened.failure().error, c.error) << c.host;
        EXPECT_FALSE(opened.failure().tlsFailure) << c.host;
    }
    EXPECT_EQ(server.connections(), 0);
}

TEST_F(WinHttpClientTest, NothingListeningIsACertificateProblemOnlyUnderPins) {
    // Catches a first-contact failure reported as plain unreachability (or the reverse).
    std::uint16_t port = 0;
    vornet::testing::sockets::closeSocket(vornet::testing::sockets::listenLoopback(port));  // now closed
    HttpRequest request;
    request.host = "127.0.0.1";
    request.port = port;
    request.timeoutMs = 3000;
    request.tlsMode = TlsMode::PinnedRoots;
    request.pinnedRoots = {der("root-a.pem")};
    auto pinned = client_->request(request);
    EXPECT_EQ(pinned.status, 0);
    EXPECT_EQ(pinned.error, "connection refused");
    EXPECT_TRUE(pinned.tlsFailure);
    EXPECT_FALSE(static_cast<vornet::WinHttpClient&>(*client_).isVerified("127.0.0.1", port));

    request.tlsMode = TlsMode::System;
    request.pinnedRoots.clear();
    auto system = client_->request(request);
    EXPECT_EQ(system.status, 0);
    EXPECT_EQ(system.error, "connection refused");
    EXPECT_FALSE(system.tlsFailure);
}

TEST_F(WinHttpClientTest, PlainAnswersFollowTheBodyRules) {
    // Catches redirects being followed, error statuses dropped, short bodies accepted and the
    // size ceiling off by one.
    const std::string big(67108864, 'b');
    ScriptedServer server([&](SOCKET s, const std::string& request) {
        std::string target = request.substr(request.find(' ') + 1);
        target = target.substr(0, target.find(' '));
        if (target == "/missing") {
            sendAll(s, "HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\nConnection: close\r\n\r\nnope");
        } else if (target == "/moved") {
            sendAll(s, "HTTP/1.1 302 Found\r\nLocation: /elsewhere\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        } else if (target == "/short") {
            sendAll(s, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\nConnection: close\r\n\r\n" + std::string(50, 's'));
        } else if (target == "/limit") {
            sendAll(s, "HTTP/1.1 200 OK\r\nContent-Length: 67108864\r\nConnection: close\r\n\r\n");
            sendAll(s, big);
        } else if (target == "/over") {
            sendAll(s, "HTTP/1.1 200 OK\r\nContent-Length: 67108865\r\nConnection: close\r\n\r\n");
            sendAll(s, big);
            sendAll(s, "x");
        } else {
            std::string body = "echo";
            sendAll(s, "HTTP/1.1 200 OK\r\nContent-Length: 4\r\nConnection: close\r\n\r\n" + body);
        }
    });
    struct Case {
        const char* path;
        int status;
        std::size_t bodySize;
        const char* errorPrefix;
    };
    const Case cases[] = {
        {"/missing", 404, 4, ""},
        {"/moved", 302, 0, ""},
        {"/short", 0, 0, "response truncated"},
        {"/limit", 200, 67108864, ""},
        {"/over", 0, 0, "response too large"},
    };
    for (const Case& c : cases) {
        HttpRequest request = plainRequest(server.port(), c.path);
        request.timeoutMs = 10000;
        auto response = client_->request(request);
        EXPECT_EQ(response.status, c.status) << c.path << " " << response.error;
        EXPECT_EQ(response.body.size(), c.bodySize) << c.path;
        if (*c.errorPrefix) {
            EXPECT_EQ(response.error.rfind(c.errorPrefix, 0), 0u) << c.path << ": " << response.error;
        } else {
            EXPECT_EQ(response.error, "") << c.path;
        }
    }
    for (const std::string& request : server.requests()) {
        EXPECT_EQ(request.find("/elsewhere"), std::string::npos);
    }
}

TEST_F(WinHttpClientTest, HeadersAndBodyGoOutInOrder) {
    // Catches headers reordered or dropped, and a body sent without its length.
    ScriptedServer server([](SOCKET s, const std::string&) {
        sendAll(s, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
    });
    HttpRequest request = plainRequest(server.port(), "/v1/ingest?x=1");
    request.method = "POST";
    request.headers = {{"X-Second", "2"}, {"X-First", "1"}, {"Authorization", "Bearer t"}};
    request.body = "{\"a\":1}";
    auto response = client_->request(request);
    ASSERT_EQ(response.status, 200) << response.error;
    EXPECT_EQ(response.body, "ok");
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    const std::string& sent = requests[0];
    EXPECT_EQ(sent.rfind("POST /v1/ingest?x=1 HTTP/1.1\r\n", 0), 0u) << sent;
    std::size_t second = sent.find("X-Second: 2\r\n");
    std::size_t first = sent.find("X-First: 1\r\n");
    ASSERT_NE(second, std::string::npos);
    ASSERT_NE(first, std::string::npos);
    EXPECT_LT(second, first);
    EXPECT_NE(sent.find("Authorization: Bearer t\r\n"), std::string::npos);
    EXPECT_NE(sent.find("User-Agent: Parlow/0.3.0\r\n"), std::string::npos);
    EXPECT_EQ(sent.substr(sent.size() - 7), "{\"a\":1}");
}

// ---------------------------------------------------------------------------------------------
// ws:// against the scripted server

std::string acceptKey(const std::string& request) {
    std::string lower = vornet::asciiLower(request);
    std::size_t at = lower.find("sec-websocket-key:");
    if (at == std::string::npos) return {};
    std::string key = vornet::trimAscii(request.substr(at + 18, request.find("\r\n", at) - at - 18));
    std::string input = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    unsigned char digest[20] = {};
    DWORD size = sizeof(digest);
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
    CryptCreateHash(provider, CALG_SHA1, 0, 0, &hash);
    CryptHashData(hash, reinterpret_cast<const BYTE*>(input.data()), static_cast<DWORD>(input.size()), 0);
    CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0);
    CryptDestroyHash(hash);
    CryptReleaseContext(provider, 0);
    return vornet::base64Encode(std::string(reinterpret_cast<char*>(digest), 20));
}

std::string frame(std::uint8_t opcode, bool final, const std::string& payload) {
    return vornet::encodeWebSocketFrame(opcode, final, payload);
}

TEST_F(WinHttpClientTest, WebSocketAssemblesTextAndCloseEndsABlockedReceive) {
    // Catches fragments delivered piecemeal, binary data leaking into text, and a receive that
    // a close from another thread cannot end (the reader thread would hang at shutdown).
    std::atomic<bool> release{false};
    ScriptedServer server([&](SOCKET s, const std::string& request) {
        if (request.find("/refuse") != std::string::npos) {
            sendAll(s, "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            return;
        }
        sendAll(s,
                "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                "Sec-WebSocket-Accept: " +
                    acceptKey(request) + "\r\n\r\n");
        sendAll(s, frame(1, true, "[8,\"one\"]"));
        sendAll(s, frame(1, false, "[8,\"tw") + frame(0, true, "o\"]"));
        sendAll(s, frame(1, false, "lost") + frame(2, true, "bin") + frame(1, true, "three"));
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(10));  // silent
    });
    HttpRequest request = plainRequest(server.port(), "/refuse");
    auto refused = client_->connectWebSocket(request);
    EXPECT_FALSE(refused);
    if (!refused) {
        EXPECT_EQ(refused.failure().error, "upgrade refused (HTTP 403)");
    }

    request.path = "/feed";
    auto opened = client_->connectWebSocket(request);
    ASSERT_TRUE(opened) << opened.failure().error;
    auto& socket = opened.value();
    ASSERT_NE(socket, nullptr);
    EXPECT_EQ(socket->receive(), std::optional<std::string>("[8,\"one\"]"));
    EXPECT_EQ(socket->receive(), std::optional<std::string>("[8,\"two\"]"));
    EXPECT_EQ(socket->receive(), std::optional<std::string>("three"));

    std::optional<std::string> last = std::string("not finished");
    auto started = std::chrono::steady_clock::now();
    std::thread reader([&] { last = socket->receive(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    socket->close();
    reader.join();
    auto waited = std::chrono::steady_clock::now() - started;
    release = true;
    EXPECT_EQ(last, std::nullopt);
    EXPECT_LT(waited, std::chrono::seconds(3));
    socket->close();  // idempotent
    EXPECT_EQ(socket->receive(), std::nullopt);
    EXPECT_FALSE(socket->send("after close"));
}

}  // namespace
