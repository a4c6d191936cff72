// Concurrent use of one client and of one WebSocket; these also run under ThreadSanitizer.
#include <atomic>
#include <chrono>
#include <thread>

#include "contract_env.h"

namespace contract {
namespace {

using vornet::HttpRequest;

class ContractThreads : public ContractTest {};

// Three threads share one client, as the collector's threads do: each mixes pinned requests
// with its own body, plain requests and requests to a rejected server. Catches answers crossed
// between threads, a data race on the verified pairs, and a rejection on one pair leaking
// into another.
TEST_F(ContractThreads, ThreeThreadsShareOneClient) {
    auto client = vornet::createHttpClient("Parlow/0.3.0");
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 15; ++i) {
                HttpRequest echo = pinned(server().tlsPort, "/echo");
                echo.method = "POST";
                echo.body = "thread " + std::to_string(t) + " call " + std::to_string(i);
                auto answer = client->request(echo);
                if (answer.status != 200 || answer.body != echo.body) ++failures;
                auto missing = client->request(plain("/status/404"));
                if (missing.status != 404 || missing.body != "status 404") ++failures;
                auto wrong = client->request(pinned(server().wrongRootPort, "/status/200"));
                if (wrong.status != 0 || !wrong.tlsFailure) ++failures;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    int probes = 0;
    for (const auto& entry : serverLog("tls")) probes += entry.target == "/" ? 1 : 0;
    // Threads may probe the same pair at once before one of them records it.
    EXPECT_GE(probes, 1);
    EXPECT_LE(probes, 3);
}

// Catches a close that cannot interrupt a blocked receive, a close that waits for a silent
// peer, and a second close that does anything.
TEST_F(ContractThreads, CloseFromAnotherThreadEndsBlockedReceive) {
    auto client = vornet::createHttpClient("Parlow/0.3.0");
    for (bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "tls" : "plain");
        HttpRequest request = tls ? pinned(server().tlsPort, "/ws/silent") : plain("/ws/silent");
        request.timeoutMs = 1000;
        auto opened = client->connectWebSocket(request);
        ASSERT_TRUE(opened) << opened.failure().error;
        auto& connection = opened.value();
        ASSERT_NE(connection, nullptr);
        std::atomic<bool> returned{false};
        std::optional<std::string> received = std::string("unset");
        std::thread reader([&] {
            received = connection->receive();
            returned = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_FALSE(returned.load()) << "receive returned although the server said nothing";
        const auto start = std::chrono::steady_clock::now();
        connection->close();
        reader.join();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
        EXPECT_EQ(received, std::nullopt);
        connection->close();
        EXPECT_FALSE(connection->send("after close"));
        EXPECT_EQ(connection->receive(), std::nullopt);
    }
}

// send and receive on different threads at the same time. Catches unsynchronised use of the
// connection (TSan) and lost messages.
TEST_F(ContractThreads, SendAndReceiveConcurrently) {
    auto client = vornet::createHttpClient("Parlow/0.3.0");
    auto opened = client->connectWebSocket(pinned(server().tlsPort, "/ws/echo"));
    ASSERT_TRUE(opened) << opened.failure().error;
    auto& connection = opened.value();
    ASSERT_NE(connection, nullptr);
    const int count = 50;
    std::vector<std::string> got;
    std::thread reader([&] {
        for (int i = 0; i < count; ++i) {
            auto message = connection->receive();
            if (!message) break;
            got.push_back(*message);
        }
    });
    for (int i = 0; i < count; ++i) EXPECT_TRUE(connection->send("m" + std::to_string(i)));
    reader.join();
    ASSERT_EQ(got.size(), static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) EXPECT_EQ(got[i], "m" + std::to_string(i));
    connection.reset();  // the destructor closes
}

}  // namespace
}  // namespace contract
