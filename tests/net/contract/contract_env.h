// What the contract tests know about the running transport test server, and helpers to read
// its request log. The server is started outside the test program (run_contract.sh), which
// names its ports file in PARLOW_TRANSPORT_SERVER_JSON.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/json.h"
#include "core/text.h"
#include "net/http_client.h"

namespace contract {

struct ServerInfo {
    bool loaded = false;
    std::string problem;
    int plainPort = 0, tlsPort = 0, wrongRootPort = 0, expiredPort = 0, mismatchPort = 0, switchPort = 0,
        silentPort = 0, proxyPort = 0, closedPort = 0, notYetValidPort = 0, expiredFarPort = 0, notYetValidFarPort = 0,
        forgingProxyPort = 0;
    std::string rootDer, otherRootDer, rootPemFile;
};

// True when the suite is a Windows build running under wine.
bool runsUnderWine();

// Where wine 8 differs from Windows, a test accepts the wine outcome only under wine; every such
// allowance is one row here (what wine does -> why the transport cannot change it).
enum class WineDeviation {
    RejectedRequestStillSent,
    HandshakeTimeoutIsTlsError,
    ResetIsInvalidResponse,
};
struct WineDeviationRow {
    WineDeviation id;
    const char* what;
};
inline constexpr WineDeviationRow kWineDeviations[] = {
    {WineDeviation::RejectedRequestStillSent,
     "the request whose certificate the pinned-root check refused still reaches the server: wine "
     "builds the request bytes before the sending-request callback and ignores the handle the callback "
     "closes (Windows aborts the send). The result is the rejection all the same."},
    {WineDeviation::HandshakeTimeoutIsTlsError,
     "a server that stays silent during the TLS handshake ends it with error 12157 (TLS certificate "
     "validation failed) instead of 12002 (timed out); the error code is all the transport sees."},
    {WineDeviation::ResetIsInvalidResponse,
     "a connection the server resets before answering ends, depending on timing, with 12152 (invalid "
     "server response, so \"WinHTTP error 12152\") instead of a reset; on Windows 12152 means a malformed "
     "answer, so the code is not mapped to \"connection reset\"."},
};

// True when this run may show the given wine behaviour instead of the Windows one.
inline bool tolerates(WineDeviation id) {
    if (!runsUnderWine()) return false;
    for (const auto& row : kWineDeviations)
        if (row.id == id) {
            std::printf("[ wine     ] %s\n", row.what);
            return true;
        }
    return false;
}

inline const ServerInfo& server() {
    static const ServerInfo info = [] {
        ServerInfo s;
        auto path = vornet::getEnv("PARLOW_TRANSPORT_SERVER_JSON");
        if (!path) {
            s.problem = "PARLOW_TRANSPORT_SERVER_JSON is not set (run through ctest / run_contract.sh)";
            return s;
        }
        std::ifstream in(*path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        std::string error;
        auto parsed = vornet::parseJson(text.str(), &error);
        if (!parsed) {
            s.problem = "cannot read " + *path + ": " + error;
            return s;
        }
        const vornet::JsonValue doc = std::move(*parsed);
        auto port = [&](const char* key) { return static_cast<int>(doc.find(key) ? doc.find(key)->asInt64(0) : 0); };
        s.plainPort = port("plainPort");
        s.tlsPort = port("tlsPort");
        s.wrongRootPort = port("wrongRootPort");
        s.expiredPort = port("expiredPort");
        s.mismatchPort = port("mismatchPort");
        s.switchPort = port("switchPort");
        s.silentPort = port("silentPort");
        s.proxyPort = port("proxyPort");
        s.closedPort = port("closedPort");
        s.notYetValidPort = port("notYetValidPort");
        s.expiredFarPort = port("expiredFarPort");
        s.notYetValidFarPort = port("notYetValidFarPort");
        s.forgingProxyPort = port("forgingProxyPort");
        auto text_of = [&](const char* key) { return doc.find(key) ? doc.find(key)->text : std::string(); };
        auto roots = vornet::pemCertificates(text_of("rootPem"));
        auto others = vornet::pemCertificates(text_of("otherRootPem"));
        if (roots.size() != 1 || others.size() != 1 || s.plainPort == 0) {
            s.problem = "incomplete ports file " + *path;
            return s;
        }
        s.rootDer = roots[0];
        s.otherRootDer = others[0];
        s.rootPemFile = text_of("rootPemFile");
        s.loaded = true;
        return s;
    }();
    return info;
}

// Every test starts with a server it can reach and a cleared log; a missing server fails.
class ContractTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server().loaded) << server().problem;
        control_ = vornet::createHttpClient("contract-control");
        auto cleared = control(post("/__clear"));
        ASSERT_EQ(cleared.status, 200) << cleared.error;
    }

    vornet::HttpResponse control(vornet::HttpRequest request) { return control_->request(request); }

    static vornet::HttpRequest plain(const std::string& path) {
        vornet::HttpRequest request;
        request.https = false;
        request.host = "127.0.0.1";
        request.port = server().plainPort;
        request.path = path;
        return request;
    }

    // A control request to the server's plain listener ("/__clear", "/__switch?to=...").
    static vornet::HttpRequest post(const std::string& path) {
        vornet::HttpRequest request = plain(path);
        request.method = "POST";
        return request;
    }

    static vornet::HttpRequest pinned(int port, const std::string& path) {
        vornet::HttpRequest request;
        request.host = "127.0.0.1";
        request.port = port;
        request.path = path;
        request.tlsMode = vornet::TlsMode::PinnedRoots;
        request.pinnedRoots = {server().rootDer};
        return request;
    }

    struct Logged {
        std::string listener, method, target;
        std::vector<std::pair<std::string, std::string>> headers;
        std::uint64_t connection = 0;  // the server's number of the connection that carried it
        bool has(const std::string& name) const {
            for (const auto& h : headers)
                if (vornet::asciiLower(h.first) == vornet::asciiLower(name)) return true;
            return false;
        }
        std::string header(const std::string& name) const {
            for (const auto& h : headers)
                if (vornet::asciiLower(h.first) == vornet::asciiLower(name)) return h.second;
            return {};
        }
    };

    // The requests the server read on one listener ("" for all), oldest first.
    std::vector<Logged> serverLog(const std::string& listener = "") {
        std::vector<Logged> out;
        auto answer = control(plain("/__log"));
        EXPECT_EQ(answer.status, 200) << answer.error;
        std::string error;
        auto parsed = vornet::parseJson(answer.body, &error);
        EXPECT_TRUE(parsed.has_value()) << error;
        if (!parsed) return out;
        const vornet::JsonValue* requests = parsed->find("requests");
        if (!requests) return out;
        for (const auto& item : requests->elements) {
            Logged entry{item.find("listener")->text, item.find("method")->text, item.find("target")->text, {}};
            for (const auto& pair : item.find("headers")->elements)
                entry.headers.emplace_back(pair.elements[0].text, pair.elements[1].text);
            if (const vornet::JsonValue* connection = item.find("connection"))
                entry.connection = static_cast<std::uint64_t>(connection->asInt64(0));
            if (listener.empty() || entry.listener == listener) out.push_back(std::move(entry));
        }
        return out;
    }

    static std::vector<std::string> targets(const std::vector<Logged>& log) {
        std::vector<std::string> out;
        for (const auto& entry : log) out.push_back(entry.method + " " + entry.target);
        return out;
    }

    std::unique_ptr<vornet::HttpClient> control_;
};

}  // namespace contract
