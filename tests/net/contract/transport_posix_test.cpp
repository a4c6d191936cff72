// What only the POSIX transport promises beyond the shared contract: a rejected server receives
// nothing at all (not even the probe), System mode uses OpenSSL's trust store, and useProxy
// follows the proxy environment variables.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "contract_env.h"
#include "tests/support/temp_folder.h"

namespace contract {
namespace {

using vornet::HttpRequest;

// Sets environment variables for one scope and restores them.
class EnvScope {
public:
    void set(const char* name, const char* value) {
        const char* old = std::getenv(name);
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~EnvScope() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second)
                setenv(it->first.c_str(), it->second->c_str(), 1);
            else
                unsetenv(it->first.c_str());
        }
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

class PosixTransport : public ContractTest {};

// Catches a probe or request sent before the certificate was judged.
TEST_F(PosixTransport, RejectedServerReceivesNothing) {
    auto client = vornet::createHttpClient("Parlow/0.3.0");
    const std::pair<const char*, int> servers[] = {{"127.0.0.1", server().wrongRootPort},
                                                   {"127.0.0.2", server().expiredFarPort},
                                                   {"127.0.0.1", server().mismatchPort}};
    for (const auto& [host, port] : servers) {
        HttpRequest request = pinned(port, "/status/200");
        request.host = host;
        request.headers = {{"Authorization", "Bearer secret"}};
        EXPECT_TRUE(client->request(request).tlsFailure);
        EXPECT_FALSE(client->connectWebSocket(request));
    }
    EXPECT_TRUE(serverLog().empty()) << targets(serverLog()).size() << " requests reached a rejected server";
}

// System mode with the test root as the trust store (SSL_CERT_FILE is read when the first
// System-mode connection is made). Catches System mode skipping the host name, the trust store or the validity
// dates (which only pinned requests to loopback may overlook).
TEST_F(PosixTransport, SystemModeUsesTheTrustStoreAndHostName) {
    EnvScope env;
    env.set("SSL_CERT_FILE", server().rootPemFile.c_str());
    env.set("SSL_CERT_DIR", "/nonexistent");
    auto client = vornet::createHttpClient("Parlow/0.3.0");
    struct Case {
        int port;
        const char* host;
        int status;
        const char* error;
    };
    const Case cases[] = {
        {server().tlsPort, "127.0.0.1", 200, ""},
        {server().tlsPort, "localhost", 200, ""},
        {server().mismatchPort, "127.0.0.1", 0, "TLS certificate validation failed"},
        {server().expiredPort, "127.0.0.1", 0, "TLS certificate validation failed"},
        {server().notYetValidPort, "127.0.0.1", 0, "TLS certificate validation failed"},
        {server().wrongRootPort, "127.0.0.1", 0, "TLS certificate validation failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port);
        HttpRequest request = pinned(c.port, "/status/200");
        request.tlsMode = vornet::TlsMode::System;
        request.host = c.host;
        auto response = client->request(request);
        EXPECT_EQ(response.status, c.status);
        EXPECT_EQ(response.error, c.error);
        EXPECT_EQ(response.tlsFailure, c.status == 0);
    }
    // System mode never probes.
    for (const auto& entry : serverLog("tls")) EXPECT_NE(entry.target, "/");
}

// The trust store's folder is looked up by subject hash when no bundle file is named. Catches
// System mode reading only a bundle (the root is trusted through its hashed name alone) and a
// folder without hashed names trusted as if it had them.
TEST_F(PosixTransport, SystemModeFindsRootsInTheHashedFolder) {
    vornet::testing::TempFolder folders("parlow-trust");
    std::string hashedName;
    {
        std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_file(server().rootPemFile.c_str(), "r"), BIO_free);
        ASSERT_NE(bio, nullptr);
        std::unique_ptr<X509, decltype(&X509_free)> root(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr),
                                                         X509_free);
        ASSERT_NE(root, nullptr);
        char name[16];
        std::snprintf(name, sizeof name, "%08lx.0", X509_subject_name_hash(root.get()));
        hashedName = name;
    }
    std::filesystem::create_directories(folders.path() / "hashed");
    std::filesystem::create_directories(folders.path() / "unhashed");
    std::filesystem::copy_file(server().rootPemFile, folders.path() / "hashed" / hashedName);
    std::filesystem::copy_file(server().rootPemFile, folders.path() / "unhashed" / "root.pem");
    struct Case {
        const char* folder;
        int status;
    };
    const Case cases[] = {{"hashed", 200}, {"unhashed", 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder);
        EnvScope env;
        env.set("SSL_CERT_FILE", nullptr);
        env.set("SSL_CERT_DIR", folders.utf8(c.folder).c_str());
        auto client = vornet::createHttpClient("Parlow/0.3.0");
        HttpRequest request = pinned(server().tlsPort, "/status/200");
        request.tlsMode = vornet::TlsMode::System;
        auto response = client->request(request);
        EXPECT_EQ(response.status, c.status) << response.error;
        EXPECT_EQ(response.tlsFailure, c.status == 0);
    }
}

// Catches useProxy=false using a proxy, no_proxy ignored, and a tunnel that breaks TLS or the
// pinned-root check.
TEST_F(PosixTransport, ProxyTunnelFollowsEnvironment) {
    const std::string proxy = "http://127.0.0.1:" + std::to_string(server().proxyPort);
    struct Case {
        const char* name;
        const char* httpsProxy;
        const char* noProxy;
        bool useProxy;
        bool tunnelled;
    };
    const Case cases[] = {
        {"proxy used", proxy.c_str(), nullptr, true, true},
        {"useProxy false", proxy.c_str(), nullptr, false, false},
        {"no_proxy names the host", proxy.c_str(), "example.org, 127.0.0.1", true, false},
        {"no_proxy names another host", proxy.c_str(), "example.org,.example.net", true, true},
        {"no proxy configured", nullptr, nullptr, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(control(post("/__clear")).status, 200);
        EnvScope env;
        env.set("https_proxy", c.httpsProxy);
        env.set("HTTPS_PROXY", nullptr);
        env.set("no_proxy", c.noProxy);
        env.set("NO_PROXY", nullptr);
        auto client = vornet::createHttpClient("Parlow/0.3.0");
        HttpRequest request = pinned(server().tlsPort, "/status/200");
        request.useProxy = c.useProxy;
        auto response = client->request(request);
        EXPECT_EQ(response.status, 200) << response.error;
        auto tunnels = serverLog("proxy");
        if (c.tunnelled) {
            // One tunnel for the probe, one for the request.
            ASSERT_EQ(tunnels.size(), 2u);
            EXPECT_EQ(tunnels[0].method, "CONNECT");
            EXPECT_EQ(tunnels[0].target, "127.0.0.1:" + std::to_string(server().tlsPort));
        } else {
            EXPECT_TRUE(tunnels.empty());
        }
        EXPECT_EQ(targets(serverLog("tls")), (std::vector<std::string>{"GET /", "GET /status/200"}));
    }
}

// Connections are kept for the next request to the same place and the same rules. Catches a
// kept connection used under rules it was never judged by (an insecure one serving a pinned
// request), a kept connection the server closed surfacing as an error, and a request sent twice.
TEST_F(PosixTransport, KeepsConnectionsOnlyUnderTheSameRules) {
    auto client = vornet::createHttpClient("Parlow/0.3.0");
    auto connections = [&](const std::string& target) {
        std::vector<std::uint64_t> out;
        for (const auto& entry : serverLog("tls"))
            if (entry.target == target && entry.method != "CLOSED") out.push_back(entry.connection);
        return out;
    };

    // Two pinned requests share the probed connection's successor.
    for (int i = 0; i < 2; ++i) EXPECT_EQ(client->request(pinned(server().tlsPort, "/status/200")).status, 200);
    std::vector<std::uint64_t> first = connections("/status/200");
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0], first[1]);

    // The server closes the kept connection after answering: the next request goes out once,
    // on a new connection, and succeeds.
    EXPECT_EQ(client->request(pinned(server().tlsPort, "/close-after")).status, 200);
    auto next = client->request(pinned(server().tlsPort, "/status/201"));
    EXPECT_EQ(next.status, 201) << next.error;
    std::vector<std::uint64_t> closing = connections("/close-after"), after = connections("/status/201");
    ASSERT_EQ(closing.size(), 1u);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_NE(after[0], closing[0]);

    // A connection judged in insecure mode is never handed to a pinned request with another
    // root, nor one judged against the right root to a request pinned to a foreign one.
    vornet::HttpRequest insecure = pinned(server().tlsPort, "/status/202");
    insecure.tlsMode = vornet::TlsMode::Insecure;
    insecure.pinnedRoots.clear();
    EXPECT_EQ(client->request(insecure).status, 202);
    vornet::HttpRequest foreign = pinned(server().tlsPort, "/status/203");
    foreign.pinnedRoots = {server().otherRootDer};
    auto refused = client->request(foreign);
    EXPECT_EQ(refused.status, 0);
    EXPECT_TRUE(refused.tlsFailure) << refused.error;
    EXPECT_TRUE(connections("/status/203").empty());
}

// A request on a kept connection that the server ends without a byte of answer. Catches a POST
// sent a second time on a fresh connection (the server may have acted on the first: an
// enrollment would be spent twice), a GET no longer retried, and a connection the server closed
// while idle still being written on (the POST after it would then fail for nothing).
TEST_F(PosixTransport, OnlyRequestsSafeToRepeatAreReplayed) {
    struct Case {
        const char* name;
        const char* method;
        const char* path;
        bool idleCloseFirst;  // the kept connection is closed by the server before the request
        int status;
        std::size_t arrivals;  // how often the request reached the server
    };
    const Case cases[] = {
        {"POST without an answer is one attempt", "POST", "/no-answer", false, 0, 1},
        {"GET without an answer goes again once", "GET", "/no-answer", false, 0, 2},
        {"POST after an idle close goes out once, on a new connection", "POST", "/status/201", true, 201, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(control(post("/__clear")).status, 200);
        auto client = vornet::createHttpClient("Parlow/0.3.0");
        ASSERT_EQ(client->request(pinned(server().tlsPort, "/status/200")).status, 200);
        if (c.idleCloseFirst) {
            ASSERT_EQ(client->request(pinned(server().tlsPort, "/close-after")).status, 200);
            // Wait until the server has closed its side; no time limit beyond the test's own.
            for (;;) {
                bool closed = false;
                for (const auto& entry : serverLog("tls")) closed = closed || entry.method == "CLOSED";
                if (closed) break;
            }
        }
        HttpRequest request = pinned(server().tlsPort, c.path);
        request.method = c.method;
        request.body = "once";
        auto response = client->request(request);
        EXPECT_EQ(response.status, c.status) << response.error;
        if (c.status == 0) {
            EXPECT_EQ(response.error, "connection reset");
        }
        std::size_t arrivals = 0;
        for (const auto& entry : serverLog("tls"))
            if (entry.method == c.method && entry.target == c.path) ++arrivals;
        EXPECT_EQ(arrivals, c.arrivals);
    }
}

// Interim answers before the real one. Catches the interim status returned as the answer and a
// connection put back with the real answer unread (the next request would receive it).
TEST_F(PosixTransport, InterimAnswersAreSkipped) {
    const char* const codes[] = {"100", "103"};
    for (const char* code : codes) {
        SCOPED_TRACE(code);
        auto client = vornet::createHttpClient("Parlow/0.3.0");
        for (bool tls : {false, true}) {
            const std::string path = std::string("/interim?code=") + code;
            auto response = client->request(tls ? pinned(server().tlsPort, path) : plain(path));
            EXPECT_EQ(response.status, 200) << response.error;
            EXPECT_EQ(response.body, "final");
            auto next = client->request(tls ? pinned(server().tlsPort, "/status/202") : plain("/status/202"));
            EXPECT_EQ(next.status, 202) << next.error;
            EXPECT_EQ(next.body, "status 202");
        }
    }
}

// A proxy (or whoever sits between us and it) that appends an answer of its own after its
// CONNECT reply. Catches those bytes being read as the server's answer after the handshake,
// which would let a proxy forge an acknowledgement or an enroll answer.
TEST_F(PosixTransport, BytesAfterTheConnectAnswerAreRefused) {
    EnvScope env;
    const std::string proxy = "http://127.0.0.1:" + std::to_string(server().forgingProxyPort);
    env.set("https_proxy", proxy.c_str());
    env.set("HTTPS_PROXY", nullptr);
    env.set("no_proxy", nullptr);
    env.set("NO_PROXY", nullptr);
    auto client = vornet::createHttpClient("Parlow/0.3.0");
    HttpRequest request = pinned(server().tlsPort, "/status/500");
    request.useProxy = true;
    request.tlsMode = vornet::TlsMode::Insecure;  // no probe: the request itself meets the proxy
    request.pinnedRoots.clear();
    auto response = client->request(request);
    EXPECT_EQ(response.status, 0);
    EXPECT_EQ(response.body, "");
    EXPECT_NE(response.error, "");
    EXPECT_FALSE(serverLog("forgingProxy").empty()) << "the request did not go through the proxy";
    EXPECT_TRUE(serverLog("tls").empty()) << "a request left after the forged bytes";
}

// A peer that pings while it reads nothing: our pongs cannot leave. Catches a pong queued for
// every ping while the write is stalled (the queue then grows with the peer's sending, and
// every one of them eventually arrives); with one waiting pong at most, only those that fit
// into the socket buffers before the stall, plus one, ever reach the server.
TEST_F(PosixTransport, StalledWritesKeepOnePongAtMost) {
    auto client = vornet::createHttpClient("Parlow/0.3.0");
    constexpr int kPings = 200000;  // 25 MB of pongs: far more than any socket buffer holds
    HttpRequest request = plain("/ws/ping-flood?count=" + std::to_string(kPings));
    request.timeoutMs = 20000;
    auto opened = client->connectWebSocket(request);
    ASSERT_TRUE(opened) << opened.failure().error;
    auto& connection = opened.value();
    ASSERT_NE(connection, nullptr);
    EXPECT_EQ(connection->receive(), std::optional<std::string>("done"));
    connection->close();
    std::string pongs;
    while (pongs.empty()) {
        for (const auto& entry : serverLog("pongs"))
            if (entry.method == "PONGS") pongs = entry.target;
    }
    EXPECT_LT(std::stoll(pongs), kPings / 2) << pongs << " pongs for " << kPings << " pings";
}

// A listener whose accept queue is full drops the SYN, so the connection attempt hangs: the
// request must end as "timed out" once its time limit has passed, not wait for the kernel's
// retries (more than a minute). Catches a connect that is not bounded by the request's timeout.
TEST_F(PosixTransport, ConnectEndsAtTheRequestTimeout) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    socklen_t size = sizeof address;
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
    // One connection that nobody accepts fills a queue of length 0.
    const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(filler, 0);
    ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    auto client = vornet::createHttpClient("Parlow/0.3.0");
    for (bool https : {false, true}) {
        SCOPED_TRACE(https ? "https" : "http");
        HttpRequest request = https ? pinned(ntohs(address.sin_port), "/") : plain("/");
        request.port = ntohs(address.sin_port);
        request.timeoutMs = 300;
        const auto start = std::chrono::steady_clock::now();
        auto response = client->request(request);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(response.status, 0);
        EXPECT_EQ(response.error, "timed out");
        EXPECT_GE(took, std::chrono::milliseconds(250));
        EXPECT_LT(took, std::chrono::seconds(5));
    }
    ::close(filler);
    ::close(listener);
}

// "localhost" is allowed plain HTTP because it names this machine; where it resolves somewhere
// else (here a private mount namespace maps it to a documentation address), nothing may be sent.
// Catches plain HTTP trusted by the name alone. Needs root for the namespace: skipped otherwise.
TEST_F(PosixTransport, PlainHttpToLocalhostMustResolveToLoopback) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give a child process its own /etc/hosts";
    char folder[] = "/tmp/parlow-hosts.XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string hosts = std::string(folder) + "/hosts";
    std::ofstream(hosts) << "192.0.2.1 localhost\n";
    const int port = server().plainPort;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Exit codes: 0 refused as required, 1 sent or another outcome, 77 no namespace here.
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
            _exit(77);
        auto client = vornet::createHttpClient("Parlow/0.3.0");
        HttpRequest request;
        request.https = false;
        request.host = "localhost";
        request.port = port;
        request.path = "/status/200";
        request.timeoutMs = 1000;
        auto response = client->request(request);
        _exit(response.status == 0 && response.error == "plain HTTP is only permitted for loopback addresses" ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    std::remove(hosts.c_str());
    rmdir(folder);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no private mount namespace on this machine";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace contract
