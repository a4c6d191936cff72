// The Windows transport: HttpClient and WebSocketConnection on WinHTTP, with server certificates
// judged through CryptoAPI when a request pins its roots.
#pragma once

#include "net/http_client.h"
#include "net/http_policy.h"
#include "net/win_handles_win.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vornet {

// A WinHTTP or socket error code as a transport error text.
std::string describeError(unsigned long code);
// True when the code means the platform's TLS layer refused the server or its certificate.
bool isTlsErrorCode(unsigned long code);
// A send or the wait for the answer that failed with `code`: its text and whether TLS refused.
TransportFailure sendFailure(unsigned long code);

// The judgement of one server certificate: nothing when its chain ends, byte for byte, in one of
// request.pinnedRoots and has no other error (and, towards a loopback host, names the host when
// the request checks names); for a System request, when the system's roots and SSL policy accept
// it for request.host. Otherwise the reason it was refused.
std::optional<std::string> verifyChain(PCCERT_CONTEXT serverCertificate, const HttpRequest& request);

// True when the transport judges the server certificate of `request` itself, in its send
// callback: pinned roots always; a System request to a loopback host too, since the pool may
// hand it a connection kept after a pinned-roots handshake there.
bool checksCertificateItself(const HttpRequest& request);
// True when the request's connection may go back to the pool: plain HTTP, System trust, and
// pinned roots towards a loopback host; never a connection opened with every check off.
bool keepsConnection(const HttpRequest& request);

// Outcome of the pinned-root check of one request. The status callback may run on a WinHTTP
// thread, hence the atomics; `reason` is written before `rejected` is set.
struct PinCheck {
    explicit PinCheck(const HttpRequest& checked) : request(checked) {}
    const HttpRequest& request;  // its pinnedRoots are the roots to accept
    std::atomic<bool> checked{false};
    std::atomic<bool> rejected{false};
    std::atomic<bool> handleClosed{false};
    std::string reason;
};

namespace win {
struct AsyncContext;
}

class WinHttpClient final : public HttpClient {
public:
    explicit WinHttpClient(const std::string& userAgent);
    ~WinHttpClient() override;

    HttpResponse request(const HttpRequest& request) override;
    Result<std::unique_ptr<WebSocketConnection>> connectWebSocket(const HttpRequest& request) override;

    // True when host:port is in the set of pairs whose pinned root has been proven.
    bool isVerified(const std::string& host, std::int32_t port) const;

private:
    struct Prepared {
        win::WinHttpHandle connection;
        win::WinHttpHandle request;
    };

    std::optional<TransportFailure> checkFirstContact(const HttpRequest& request);
    // The handles, ready to send. `async` selects the WebSocket sessions.
    Result<Prepared> prepareRequest(const HttpRequest& request, bool webSocket, bool async);
    // Sends the prepared request and reads the status line: the status.
    Result<std::int32_t> sendRequest(const HttpRequest& request, Prepared& prepared, PinCheck* check);
    // The whole body. Reading stops with a time-out once `deadline` has passed, however
    // steadily bytes come.
    Result<std::string> readBody(HINTERNET request, std::chrono::steady_clock::time_point deadline);

    win::WinHttpHandle directSession_;
    win::WinHttpHandle proxySession_;
    // WebSocket connections run on asynchronous sessions: only there does closing the handle
    // reliably end a receive that is waiting in another thread.
    win::WinHttpHandle asyncDirectSession_;
    win::WinHttpHandle asyncProxySession_;

    VerifiedPairs verifiedPairs_;
};

class WinWebSocket final : public WebSocketConnection {
public:
    WinWebSocket(win::WinHttpHandle socket, std::shared_ptr<win::AsyncContext> context);
    ~WinWebSocket() override;

    bool send(const std::string& text) override;
    std::optional<std::string> receive() override;
    void close() override;

private:
    std::mutex handleLock_;
    win::WinHttpHandle handle_;
    std::mutex sendLock_;  // one send in flight; taken before handleLock_
    // Set once receive has seen a close frame or failed: the connection is over, and send
    // must not go on using it.
    std::atomic<bool> finished_{false};
    std::shared_ptr<win::AsyncContext> context_;
};

}  // namespace vornet
