// A small HTTP/1.1 and WebSocket server for the simulators, plain or TLS, on one thread.
// Beast stays inside server.cpp; the simulators see only these plain types.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vornet::sim {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct SimRequest {
    std::string method;
    std::string target;  // as sent, with the query
    std::string path;    // target without the query
    std::string query;   // text after '?', undecoded
    HeaderList headers;  // names in lower case
    std::string body;

    // Value of the first header with this (lower-case) name, or empty.
    std::string header(std::string_view name) const;
    // Percent-decoded value of a query parameter, or `fallback` when it is absent.
    std::string queryParam(std::string_view name, std::string fallback = {}) const;
};

struct SimReply {
    int status = 200;
    std::string body;
    std::string contentType = "application/json";
    HeaderList headers;
    int delayMs = 0;     // wait this long before answering
    bool drop = false;   // close the connection without any answer
    bool hold = false;   // never answer; the connection stays open until the server stops
};

// One accepted WebSocket connection. Safe to use from any thread and after the connection
// or the whole server has gone (calls then do nothing).
class WsPeer {
public:
    virtual ~WsPeer() = default;
    virtual void send(std::string text) = 0;
    virtual void close() = 0;
    virtual std::uint64_t id() const = 0;
};

struct WebSocketHooks {
    // Decides an upgrade request: no value accepts it, a reply refuses it with that answer.
    // Without this hook upgrades are handled as ordinary requests.
    std::function<std::optional<SimReply>(const SimRequest&)> accept;
    std::function<void(const std::shared_ptr<WsPeer>&)> opened;
    std::function<void(const std::shared_ptr<WsPeer>&, const std::string&)> message;
    // Called when the connection ends, but not when the server itself is being destroyed.
    std::function<void(const std::shared_ptr<WsPeer>&)> closed;
};

struct ServerSettings {
    std::string host = "127.0.0.1";
    std::uint16_t port = 0;  // 0: any free port
    bool tls = false;
    std::string certPem;
    std::string keyPem;
    std::size_t bodyLimit = 64u << 20;
};

using RequestHandler = std::function<SimReply(const SimRequest&)>;

// Handlers and hooks run on the server's own thread, one at a time. Destroying the server
// closes every connection and joins the thread; never destroy it from one of its handlers.
class SimServer {
public:
    static std::unique_ptr<SimServer> start(const ServerSettings& settings, RequestHandler handler,
                                            WebSocketHooks hooks, std::string& error);
    virtual ~SimServer() = default;
    virtual std::uint16_t port() const = 0;
    // Connections accepted (TLS ones once their handshake succeeded) and requests read, for
    // measuring what a client costs.
    virtual std::uint64_t connections() const = 0;
    virtual std::uint64_t requests() const = 0;
};

// Bytes of a percent-encoded text with '+' as blank.
std::string percentDecode(std::string_view text);

}  // namespace vornet::sim
