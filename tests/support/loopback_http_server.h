// A plain-HTTP loopback server on an ephemeral port that answers from a script and records what
// it was sent.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/loopback_sockets.h"

namespace vornet::testing {

// One request as it reached the loopback server.
struct ReceivedRequest {
    std::string requestLine;
    std::vector<std::pair<std::string, std::string>> headers;  // in arrival order
    std::string body;                                          // raw bytes as sent
};

// A server on 127.0.0.1 at an ephemeral port that takes one connection at a time, reads one
// request from it (headers and a Content-Length body), records the request's raw text and hands
// the connection to `answer`, which writes whatever the test wants; the connection is closed
// after it. Stops the accept loop and joins its thread when destroyed.
class ScriptedLoopbackServer {
public:
    using Answer = std::function<void(sockets::Handle connection, const std::string& request)>;
    explicit ScriptedLoopbackServer(Answer answer);
    ScriptedLoopbackServer(const ScriptedLoopbackServer&) = delete;
    ScriptedLoopbackServer& operator=(const ScriptedLoopbackServer&) = delete;
    ~ScriptedLoopbackServer();
    std::uint16_t port() const { return port_; }
    // Every complete request, in arrival order.
    std::vector<std::string> requests() const;
    // Connections accepted, complete request or not.
    int connections() const { return connections_.load(); }

private:
    void serve();

    Answer answer_;
    std::uint16_t port_ = 0;
    sockets::Handle listener_ = sockets::kInvalid;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

// Plain HTTP on 127.0.0.1 at an ephemeral port; answers each request with the next scripted
// status and body (Connection: close). Stops and joins its thread when destroyed.
class LoopbackHttpServer {
public:
    struct Reply {
        int status = 200;
        std::string body;
    };
    LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;
    ~LoopbackHttpServer();
    std::uint16_t port() const;
    void reply(Reply reply);
    std::vector<ReceivedRequest> received() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// Parses one raw request (headers and a Content-Length body); used by both platform servers.
std::optional<ReceivedRequest> parseRawRequest(const std::string& raw, bool& complete);

}  // namespace vornet::testing
