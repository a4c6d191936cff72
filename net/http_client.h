// The two interfaces through which every network exchange passes. The security policy travels
// as data on each request: TLS or not, how the server certificate is judged, and the rule that
// every relaxation is allowed only towards a loopback host.
#pragma once

#include <concepts>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "core/version.h"

namespace vornet {

// How the server certificate is judged.
enum class TlsMode : std::int32_t {
    System = 0,       // platform validation against its trust store, host name and dates
    PinnedRoots = 1,  // the chain must end in one of HttpRequest::pinnedRoots
    Insecure = 2,     // no judgement; loopback hosts only
};

// One request, built by value by the caller.
struct HttpRequest {
    std::string method = "GET";
    bool https = true;
    std::string host;
    std::int32_t port = 443;
    std::string path = "/";
    std::vector<std::pair<std::string, std::string>> headers;  // sent in order
    std::string body;                                           // empty: no body
    std::uint32_t timeoutMs = 2000;  // resolve, connect, send and receive alike
    TlsMode tlsMode = TlsMode::System;
    std::vector<std::string> pinnedRoots;  // DER bytes, for TlsMode::PinnedRoots
    bool allowLoopbackNameMismatch = false;
    bool useProxy = false;
};

// The result of one request. status 0 means no complete, acceptable answer; `error` then holds
// a text of the fixed vocabulary and `body` is empty. A non-zero status has an empty error.
struct HttpResponse {
    std::int32_t status = 0;
    std::string body;
    std::string error;
    bool tlsFailure = false;  // the failure concerns the server certificate
};

// Why a transport step failed. Every step reports failure the same way: one that yields nothing
// returns std::optional<TransportFailure> (empty: it succeeded), one that yields a value returns
// Result<T>. A failure becomes an HttpResponse only where the response is built.
struct TransportFailure {
    std::string error;        // a text of the fixed vocabulary (net/http_policy.h)
    bool tlsFailure = false;  // the failure concerns the server certificate
};

// The value a step yields, or the failure that prevented it.
template <class T>
class Result {
public:
    template <std::convertible_to<T> U>
    Result(U&& value) : outcome_(std::in_place_index<0>, std::forward<U>(value)) {}
    Result(TransportFailure failure) : outcome_(std::in_place_index<1>, std::move(failure)) {}

    // True when the step succeeded; only then is value() there, and only otherwise failure().
    explicit operator bool() const { return outcome_.index() == 0; }
    T& value() { return std::get<0>(outcome_); }
    const T& value() const { return std::get<0>(outcome_); }
    const TransportFailure& failure() const { return std::get<1>(outcome_); }

private:
    std::variant<T, TransportFailure> outcome_;
};

// One open WebSocket. send/receive/close may be called from different threads; close ends a
// receive that is blocked in another thread.
class WebSocketConnection {
public:
    WebSocketConnection() = default;
    WebSocketConnection(const WebSocketConnection&) = delete;
    WebSocketConnection& operator=(const WebSocketConnection&) = delete;
    // Closes the connection like close().
    virtual ~WebSocketConnection() = default;
    // Sends one complete text message; false when closed or the send failed.
    virtual bool send(const std::string& text) = 0;
    // Blocks until one complete text message arrived; empty when the connection is finished.
    virtual std::optional<std::string> receive() = 0;
    // Idempotent: sends a normal closure (1000) and releases the connection.
    virtual void close() = 0;
};

// Performs requests synchronously on the calling thread; safe to call from several threads.
// Never throws for transport, TLS or HTTP failures; never follows redirects.
class HttpClient {
public:
    HttpClient() = default;
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;
    virtual ~HttpClient() = default;
    virtual HttpResponse request(const HttpRequest& request) = 0;
    // Opening handshake as a GET of request.path; succeeds only on status 101, with the open
    // connection. Otherwise the failure: what request() would report, or "upgrade refused
    // (HTTP <status>)"; its text is empty when a proxy refused the tunnel with an answer.
    virtual Result<std::unique_ptr<WebSocketConnection>> connectWebSocket(const HttpRequest& request) = 0;
};

// The platform implementation.
std::unique_ptr<HttpClient> createHttpClient(const std::string& userAgent);

// The version the collector reports in its envelopes and status.
inline constexpr const char* kCollectorVersion = kProductVersion;

}  // namespace vornet
