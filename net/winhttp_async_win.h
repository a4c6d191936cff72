// The asynchronous side of the Windows transport, used for WebSocket connections: the handshake
// on an asynchronous session and the completion state the status callback fills in.
#pragma once

#include "core/text.h"
#include "net/http_client.h"
#include "net/win_handles_win.h"
#include "net/winhttp_client_win.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vornet::win {

// One outstanding asynchronous operation, filled in by the status callback.
struct Completion {
    bool pending = false;
    bool done = false;
    DWORD error = 0;
    DWORD bytes = 0;
    int bufferType = 0;
};

// State shared between a caller and the status callback of one request or WebSocket handle.
// The handle's context value is a heap-allocated shared_ptr to it, released when WinHTTP
// reports the handle closing, so buffers stay valid for operations still in flight.
struct AsyncContext {
    explicit AsyncContext(bool socketHandle) : socket(socketHandle) {}

    const bool socket;
    std::mutex lock;
    std::condition_variable changed;
    Completion sendRequest;
    Completion headers;
    Completion receive;
    Completion write;
    Completion shutdown;
    bool handleClosing = false;  // WinHTTP is tearing the handle down
    bool closedLocally = false;  // close() was called: waiting receives and sends end now

    HttpRequest request;  // a copy: the callback may outlive the caller's wait
    std::unique_ptr<PinCheck> pin;
    std::string body;
    std::vector<char> receiveBuffer;
    std::string sendBuffer;
};

// Installs the callback and the context on an asynchronous handle; a failure leaves nothing behind.
std::optional<TransportFailure> attachAsyncContext(HINTERNET handle, const std::shared_ptr<AsyncContext>& context);

// Sends the prepared upgrade request, judges the certificate when `pinned`, and completes the
// upgrade on 101: the open connection. Closes `requestHandle` in every case.
Result<std::unique_ptr<WebSocketConnection>> performHandshake(const HttpRequest& request, WinHttpHandle& requestHandle,
                                                              bool pinned, VerifiedPairs& verified);

// Looks at the server certificate of `request` during its send and aborts it when refused.
void runPinCheck(HINTERNET request, PinCheck& check);
// The verdict after a send, shared by both modes; nothing when the request goes on. A refused
// certificate also takes its pair out of `verified`, so that the next call probes it again.
std::optional<TransportFailure> judgeSend(const HttpRequest& request, bool sent, DWORD error, PinCheck* check,
                                          VerifiedPairs& verified);
WideString headerBlock(const HttpRequest& request);
// Closes the request handle unless the pin check already did.
void closeRequest(WinHttpHandle& request, PinCheck* check);
const wchar_t* wide(const WideString& text);

}  // namespace vornet::win
