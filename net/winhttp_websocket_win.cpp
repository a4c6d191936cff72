#include "net/winhttp_async_win.h"

#include <chrono>
#include <string_view>

namespace vornet {

namespace win {

constexpr USHORT kNormalClosure = 1000;
// How long close() lets the closing frame go out before the handle is torn down.
constexpr auto kShutdownGrace = std::chrono::milliseconds(1000);

namespace {

using Holder = std::shared_ptr<AsyncContext>;

constexpr std::size_t kReceiveChunk = 65536;
constexpr DWORD kCodeCancelled = 12017;
constexpr DWORD kCodeTimeout = 12002;

void complete(AsyncContext& context, Completion& slot, DWORD error, DWORD bytes = 0, int bufferType = 0) {
    {
        std::lock_guard<std::mutex> lock(context.lock);
        slot.pending = false;
        slot.done = true;
        slot.error = error;
        slot.bytes = bytes;
        slot.bufferType = bufferType;
    }
    context.changed.notify_all();
}

void CALLBACK asyncCallback(HINTERNET handle, DWORD_PTR value, DWORD status, LPVOID info, DWORD infoLength) {
    if (value == 0) {
        return;
    }
    auto* holder = reinterpret_cast<Holder*>(value);
    AsyncContext& context = **holder;
    switch (status) {
        case WINHTTP_CALLBACK_STATUS_SENDING_REQUEST:
            if (context.pin) {
                runPinCheck(handle, *context.pin);
            }
            break;
        case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
            complete(context, context.sendRequest, 0);
            break;
        case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
            complete(context, context.headers, 0);
            break;
        case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
            if (context.socket && info && infoLength >= sizeof(WINHTTP_WEB_SOCKET_STATUS)) {
                auto* result = static_cast<WINHTTP_WEB_SOCKET_STATUS*>(info);
                complete(context, context.receive, 0, result->dwBytesTransferred, result->eBufferType);
            }
            break;
        case WINHTTP_CALLBACK_STATUS_WRITE_COMPLETE:
            if (context.socket) {
                complete(context, context.write, 0);
            }
            break;
        case WINHTTP_CALLBACK_STATUS_SHUTDOWN_COMPLETE:
            complete(context, context.shutdown, 0);
            break;
        case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
            if (!info) {
                break;
            }
            if (context.socket) {
                auto* result = static_cast<WINHTTP_WEB_SOCKET_ASYNC_RESULT*>(info);
                DWORD error = result->AsyncResult.dwError ? result->AsyncResult.dwError : kCodeCancelled;
                switch (result->Operation) {
                    case WINHTTP_WEB_SOCKET_SEND_OPERATION:
                        complete(context, context.write, error);
                        break;
                    case WINHTTP_WEB_SOCKET_RECEIVE_OPERATION:
                        complete(context, context.receive, error);
                        break;
                    case WINHTTP_WEB_SOCKET_SHUTDOWN_OPERATION:
                        complete(context, context.shutdown, error);
                        break;
                    default:
                        break;
                }
            } else {
                auto* result = static_cast<WINHTTP_ASYNC_RESULT*>(info);
                DWORD error = result->dwError ? result->dwError : kCodeCancelled;
                if (result->dwResult == API_SEND_REQUEST) {
                    complete(context, context.sendRequest, error);
                } else if (result->dwResult == API_RECEIVE_RESPONSE) {
                    complete(context, context.headers, error);
                }
            }
            break;
        case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING: {
            {
                std::lock_guard<std::mutex> lock(context.lock);
                context.handleClosing = true;
            }
            context.changed.notify_all();
            delete holder;  // last notification for this handle
            break;
        }
        default:
            break;
    }
}

// Waits until `slot` completes, the handle goes away or the deadline passes; false on the last.
bool awaitCompletion(AsyncContext& context, Completion& slot, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(context.lock);
    return context.changed.wait_for(lock, limit, [&] { return slot.done || context.handleClosing; });
}

// Bound on one handshake step beyond WinHTTP's own time-outs, which should fire first.
std::chrono::milliseconds handshakeLimit(const HttpRequest& request) {
    return std::chrono::milliseconds(static_cast<std::int64_t>(request.timeoutMs) * 2 + 5000);
}

}  // namespace

std::optional<TransportFailure> attachAsyncContext(HINTERNET handle, const std::shared_ptr<AsyncContext>& context) {
    if (WinHttpSetStatusCallback(handle, asyncCallback, WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS, 0) ==
        WINHTTP_INVALID_STATUS_CALLBACK) {
        return TransportFailure{describeError(GetLastError())};
    }
    auto* holder = new Holder(context);
    DWORD_PTR value = reinterpret_cast<DWORD_PTR>(holder);
    if (!WinHttpSetOption(handle, WINHTTP_OPTION_CONTEXT_VALUE, &value, sizeof(value))) {
        TransportFailure failure{describeError(GetLastError())};
        delete holder;
        return failure;
    }
    return std::nullopt;
}

Result<std::unique_ptr<WebSocketConnection>> performHandshake(const HttpRequest& request, WinHttpHandle& requestHandle,
                                                              bool pinned, VerifiedPairs& verified) {
    auto context = std::make_shared<AsyncContext>(false);
    if (pinned) {
        context->request = request;
        context->pin = std::make_unique<PinCheck>(context->request);
    }
    PinCheck* check = context->pin.get();
    context->body = request.body;
    HINTERNET h = requestHandle.get();
    if (auto failure = attachAsyncContext(h, context)) {
        requestHandle.reset();
        return *failure;
    }

    WideString headers = headerBlock(request);
    DWORD bodySize = static_cast<DWORD>(context->body.size());
    void* body = context->body.empty() ? WINHTTP_NO_REQUEST_DATA : context->body.data();
    DWORD_PTR value = 0;
    DWORD valueSize = sizeof(value);
    WinHttpQueryOption(h, WINHTTP_OPTION_CONTEXT_VALUE, &value, &valueSize);
    context->sendRequest.pending = true;
    BOOL sent = WinHttpSendRequest(h, headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : wide(headers),
                                   headers.empty() ? 0 : static_cast<DWORD>(-1L), body, bodySize, bodySize, value);
    DWORD error = sent ? 0 : GetLastError();
    if (sent) {
        if (!awaitCompletion(*context, context->sendRequest, handshakeLimit(request))) {
            closeRequest(requestHandle, check);
            return TransportFailure{describeError(kCodeTimeout)};
        }
        std::lock_guard<std::mutex> lock(context->lock);
        error = context->sendRequest.done ? context->sendRequest.error : kCodeCancelled;
        sent = error == 0;
    }
    if (auto verdict = judgeSend(request, sent != FALSE, error, check, verified)) {
        closeRequest(requestHandle, check);
        return *verdict;
    }

    context->headers.pending = true;
    if (!WinHttpReceiveResponse(h, nullptr)) {
        TransportFailure failure = sendFailure(GetLastError());
        closeRequest(requestHandle, check);
        return failure;
    }
    if (!awaitCompletion(*context, context->headers, handshakeLimit(request))) {
        closeRequest(requestHandle, check);
        return TransportFailure{describeError(kCodeTimeout)};
    }
    {
        std::lock_guard<std::mutex> lock(context->lock);
        error = context->headers.done ? context->headers.error : kCodeCancelled;
    }
    if (error != 0) {
        closeRequest(requestHandle, check);
        return sendFailure(error);
    }
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!WinHttpQueryHeaders(h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                             &status, &size, WINHTTP_NO_HEADER_INDEX)) {
        TransportFailure failure{describeError(GetLastError())};
        closeRequest(requestHandle, check);
        return failure;
    }
    if (status != 101) {
        closeRequest(requestHandle, check);
        return TransportFailure{"upgrade refused (HTTP " + std::to_string(status) + ")"};
    }

    auto socketContext = std::make_shared<AsyncContext>(true);
    socketContext->receiveBuffer.resize(kReceiveChunk);
    auto* holder = new Holder(socketContext);
    WinHttpHandle socket(WinHttpWebSocketCompleteUpgrade(h, reinterpret_cast<DWORD_PTR>(holder)));
    if (!socket) {
        TransportFailure failure{describeError(GetLastError())};
        delete holder;
        closeRequest(requestHandle, check);
        return failure;
    }
    // The socket handle inherits the request's callback; installing it again costs nothing
    // and does not rely on that inheritance.
    WinHttpSetStatusCallback(socket.get(), asyncCallback, WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS, 0);
    DWORD noTimeout = 0;
    WinHttpSetOption(socket.get(), WINHTTP_OPTION_RECEIVE_TIMEOUT, &noTimeout, sizeof(noTimeout));
    closeRequest(requestHandle, check);
    return std::make_unique<WinWebSocket>(std::move(socket), std::move(socketContext));
}

}  // namespace win

WinWebSocket::WinWebSocket(win::WinHttpHandle socket, std::shared_ptr<win::AsyncContext> context)
    : handle_(std::move(socket)), context_(std::move(context)) {}

WinWebSocket::~WinWebSocket() { close(); }

bool WinWebSocket::send(const std::string& text) {
    std::lock_guard<std::mutex> sending(sendLock_);
    win::AsyncContext& context = *context_;
    {
        std::lock_guard<std::mutex> lock(handleLock_);
        if (!handle_ || finished_) {
            return false;
        }
        {
            std::lock_guard<std::mutex> state(context.lock);
            context.sendBuffer = text;
            context.write = {};
            context.write.pending = true;
        }
        DWORD error = WinHttpWebSocketSend(handle_.get(), WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE,
                                           context.sendBuffer.data(), static_cast<DWORD>(context.sendBuffer.size()));
        if (error != NO_ERROR && error != ERROR_IO_PENDING) {
            return false;
        }
    }
    std::unique_lock<std::mutex> state(context.lock);
    context.changed.wait(state, [&] { return context.write.done || context.closedLocally || context.handleClosing; });
    return context.write.done && context.write.error == 0;
}

std::optional<std::string> WinWebSocket::receive() {
    win::AsyncContext& context = *context_;
    TextMessageAssembler assembler;
    for (;;) {
        {
            // The receive is only started under the lock; the wait below is outside it, so
            // close() from another thread always gets through and wakes the wait at once.
            std::lock_guard<std::mutex> lock(handleLock_);
            if (!handle_) {
                return std::nullopt;
            }
            {
                std::lock_guard<std::mutex> state(context.lock);
                context.receive = {};
                context.receive.pending = true;
            }
            DWORD error = WinHttpWebSocketReceive(handle_.get(), context.receiveBuffer.data(),
                                                  static_cast<DWORD>(context.receiveBuffer.size()), nullptr, nullptr);
            if (error != NO_ERROR && error != ERROR_IO_PENDING) {
                finished_ = true;
                return std::nullopt;
            }
        }
        std::optional<std::string> message;
        {
            std::unique_lock<std::mutex> state(context.lock);
            context.changed.wait(state,
                                 [&] { return context.receive.done || context.closedLocally || context.handleClosing; });
            if (!context.receive.done || context.receive.error != 0 || context.closedLocally) {
                finished_ = true;
                return std::nullopt;
            }
            std::string_view data(context.receiveBuffer.data(), context.receive.bytes);
            switch (context.receive.bufferType) {
                case WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE:
                case WINHTTP_WEB_SOCKET_BINARY_FRAGMENT_BUFFER_TYPE:
                    assembler.add(TextMessageAssembler::Frame::Binary, data,
                                  context.receive.bufferType == WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE);
                    break;
                case WINHTTP_WEB_SOCKET_UTF8_FRAGMENT_BUFFER_TYPE:
                    assembler.add(TextMessageAssembler::Frame::Text, data, false);
                    break;
                case WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE:
                    message = assembler.add(TextMessageAssembler::Frame::Text, data, true);
                    break;
                default:  // a close frame
                    finished_ = true;
                    return std::nullopt;
            }
        }
        if (message) {
            return message;
        }
    }
}

void WinWebSocket::close() {
    win::WinHttpHandle handle;
    {
        std::lock_guard<std::mutex> lock(handleLock_);
        handle = std::move(handle_);
    }
    win::AsyncContext& context = *context_;
    {
        std::lock_guard<std::mutex> state(context.lock);
        context.closedLocally = true;
    }
    context.changed.notify_all();
    if (!handle) {
        return;
    }
    {
        std::lock_guard<std::mutex> state(context.lock);
        context.shutdown = {};
    }
    DWORD error = WinHttpWebSocketShutdown(handle.get(), win::kNormalClosure, nullptr, 0);
    if (error == ERROR_IO_PENDING || error == NO_ERROR) {
        std::unique_lock<std::mutex> state(context.lock);
        context.changed.wait_for(state, win::kShutdownGrace, [&] { return context.shutdown.done || context.handleClosing; });
    }
    handle.reset();
}

}  // namespace vornet
