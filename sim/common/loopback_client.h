// Blocking HTTP(S) and WebSocket client for loopback tests of the simulators. Each call has
// its own deadline; nothing here is shared between threads.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "sim/common/server.h"

namespace vornet::sim {

struct FetchRequest {
    std::string method = "GET";
    std::string host = "127.0.0.1";
    std::uint16_t port = 0;
    std::string target = "/";
    HeaderList headers;
    std::string body;
    bool tls = false;
    std::string rootPem;     // with tls: the only trusted root
    std::string verifyName;  // with tls: a DNS name or IP address the leaf must carry; empty: none
    int timeoutMs = 5000;
};

struct FetchResult {
    int status = 0;  // 0: no answer; `error` says why
    std::string body;
    HeaderList headers;  // names in lower case
    std::string error;
    std::string header(std::string_view name) const;
};

FetchResult fetch(const FetchRequest& request);

class WsClient {
public:
    // Opens the connection with `handshake` (target, headers, tls settings). On failure
    // returns null with `error` set and, when the server answered, `status` its HTTP status.
    static std::unique_ptr<WsClient> connect(const FetchRequest& handshake, std::string& error, int* status = nullptr);
    virtual ~WsClient() = default;
    virtual bool send(const std::string& text) = 0;
    // The next text message, or nothing when none came within the time or the connection
    // ended. After a time-out the connection is closed.
    virtual std::optional<std::string> receive(int timeoutMs) = 0;
};

}  // namespace vornet::sim
