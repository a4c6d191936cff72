// WebSocket behaviour over plain and pinned TLS connections.
#include "contract_env.h"

namespace contract {
namespace {

using vornet::HttpRequest;

class WebSocketContract : public ContractTest {
protected:
    void SetUp() override {
        ContractTest::SetUp();
        client_ = vornet::createHttpClient("Parlow/0.3.0");
    }
    std::unique_ptr<vornet::WebSocketConnection> open(bool tls, const std::string& path) {
        HttpRequest request = tls ? pinned(server().tlsPort, path) : plain(path);
        request.headers = {{"Authorization", "Basic cmlvdDp4"}};
        auto opened = client_->connectWebSocket(request);
        EXPECT_TRUE(opened) << opened.failure().error;
        if (!opened) return nullptr;
        EXPECT_NE(opened.value(), nullptr);
        return std::move(opened.value());
    }
    std::unique_ptr<vornet::HttpClient> client_;
};

// Catches fragments delivered separately, binary data delivered or corrupting the next text,
// a lost close frame, messages not echoed whole, and a connection that still sends after it
// reported itself finished. Each list is what receive() must return in order; nullopt means
// the connection reported itself finished, after which send must fail.
TEST_F(WebSocketContract, MessageAssembly) {
    struct Case {
        const char* path;
        std::vector<std::optional<std::string>> expected;
    };
    const Case cases[] = {
        {"/ws/fragments", {"hello wide world", "second"}},
        {"/ws/binary-between", {"whole", "after binary"}},
        {"/ws/close", {"bye", std::nullopt, std::nullopt}},
    };
    for (bool tls : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.path) + (tls ? " tls" : " plain"));
            auto connection = open(tls, c.path);
            ASSERT_NE(connection, nullptr);
            for (const auto& expected : c.expected) EXPECT_EQ(connection->receive(), expected);
            if (!c.expected.back()) EXPECT_FALSE(connection->send("after the end"));
            connection->close();
        }
    }
}

// Catches a send that is not one whole text frame, and the handshake not carrying the
// caller's headers.
TEST_F(WebSocketContract, EchoAndHandshakeHeaders) {
    for (bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "tls" : "plain");
        auto connection = open(tls, "/ws/echo");
        ASSERT_NE(connection, nullptr);
        const std::string large(200000, 'L');
        for (const std::string& text : {std::string("ping"), std::string("\xc3\xa9t\xc3\xa9"), large}) {
            ASSERT_TRUE(connection->send(text));
            EXPECT_EQ(connection->receive(), text);
        }
        connection->close();
        EXPECT_FALSE(connection->send("late"));
        EXPECT_EQ(connection->receive(), std::nullopt);
    }
    auto log = serverLog();
    bool sawTlsHandshake = false;
    for (const auto& entry : log) {
        if (entry.target != "/ws/echo") continue;
        EXPECT_EQ(entry.header("Authorization"), "Basic cmlvdDp4");
        EXPECT_EQ(vornet::asciiLower(entry.header("Upgrade")), "websocket");
        sawTlsHandshake = sawTlsHandshake || entry.listener == "tls";
    }
    EXPECT_TRUE(sawTlsHandshake);
}

// Catches an off-by-one at the 32 MiB cap and an oversized message whose tail is delivered.
TEST_F(WebSocketContract, MessageSizeCap) {
    struct Case {
        std::size_t bytes;
        std::size_t firstSize;
    };
    const Case cases[] = {{33554432, 33554432}, {33554433, 5}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        auto connection = open(false, "/ws/big?bytes=" + std::to_string(c.bytes));
        ASSERT_NE(connection, nullptr);
        auto first = connection->receive();
        ASSERT_TRUE(first.has_value());
        EXPECT_EQ(first->size(), c.firstSize);
        if (c.firstSize == 5) {
            EXPECT_EQ(*first, "after");
        }
    }
}

// Catches a refused upgrade reported as success, with another text or as a certificate problem,
// a rejected certificate not reported as one, and a handshake that reaches a server whose
// certificate was rejected.
TEST_F(WebSocketContract, FailedHandshakes) {
    struct Case {
        HttpRequest request;
        const char* error;
        bool tlsFailure;
    };
    const Case cases[] = {
        {plain("/ws/refuse"), "upgrade refused (HTTP 403)", false},
        {plain("/status/200"), "upgrade refused (HTTP 200)", false},
        {pinned(server().wrongRootPort, "/ws/echo"),
         "TLS certificate rejected: certificate does not chain to the configured root", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request.path);
        auto opened = client_->connectWebSocket(c.request);
        ASSERT_FALSE(opened);
        EXPECT_EQ(opened.failure().error, c.error);
        EXPECT_EQ(opened.failure().tlsFailure, c.tlsFailure);
    }
    for (const auto& entry : serverLog("wrongRoot")) EXPECT_NE(entry.target, "/ws/echo");
}

}  // namespace
}  // namespace contract
