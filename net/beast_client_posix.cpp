// The POSIX transport: Boost.Asio/Beast over OpenSSL. The only unit that includes Beast; the
// frame codec, the proxy variables and the certificate checks live beside it without it.
//
// Native failures that fit no row of the shared vocabulary become
// "transport error " + error category name + ":" + the unsigned value of the code
// (for example "transport error asio.ssl:167772454"); they are never tlsFailure.
//
// Every request runs its own io_context on the calling thread, so concurrent calls share only
// the SSL contexts (read-only after construction), the verified-pair set and the pool of idle
// connections (each with its own lock, never held during network activity).
// A WebSocket gets an io_context of its own driven by one I/O thread, so that the TLS state is
// only ever touched by that thread while send, receive and close come from anywhere.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <array>
#include <boost/asio/connect.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "core/text.h"
#include "net/http_client.h"
#include "net/http_policy.h"
#include "net/openssl_chain_posix.h"
#include "net/proxy_env_posix.h"
#include "net/websocket_frame.h"

namespace vornet {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using boost::system::error_code;

constexpr std::size_t kReadRoom = 16384;

enum class Phase { Resolve, Connect, Handshake, Write, Read };

bool isCleanEnd(const error_code& ec) {
    return ec == http::error::partial_message || ec == http::error::end_of_stream || ec == asio::error::eof ||
           ec == ssl::error::stream_truncated;
}

std::string otherError(const error_code& ec) {
    return "transport error " + std::string(ec.category().name()) + ":" +
           std::to_string(static_cast<unsigned>(ec.value()));
}

TransportFailure describe(const error_code& ec, Phase phase) {
    if (ec == beast::error::timeout || ec == asio::error::timed_out) return {kErrTimedOut};
    if (ec == asio::error::operation_aborted) return {kErrCancelled};
    switch (phase) {
        case Phase::Resolve:
            return {kErrNotResolved};
        case Phase::Connect:
            return {kErrRefused};
        case Phase::Handshake:
            if (ec.category() == asio::error::get_ssl_category() || ec == ssl::error::stream_truncated)
                return {kErrTlsValidation, true};
            [[fallthrough]];
        case Phase::Write:
        case Phase::Read:
            if (ec == asio::error::connection_reset || ec == asio::error::broken_pipe ||
                ec == asio::error::connection_aborted || isCleanEnd(ec))
                return {kErrReset};
            return {otherError(ec)};
    }
    return {otherError(ec)};
}

bool isLoopbackAddress(const asio::ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).is_loopback();
    return address.is_loopback();
}

bool isIpLiteral(const std::string& host) {
    error_code ec;
    asio::ip::make_address(host, ec);
    return !ec;
}

// The endpoint of a host that is an IP address and a port in decimal; nothing for a name.
std::optional<tcp::endpoint> literalEndpoint(const std::string& host, const std::string& port) {
    error_code ec;
    const asio::ip::address address = asio::ip::make_address(host, ec);
    if (ec || port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const unsigned long number = std::stoul(port);
    if (number == 0 || number > 65535) return std::nullopt;
    return tcp::endpoint(address, static_cast<unsigned short>(number));
}

std::string hostHeader(const HttpRequest& request) {
    std::string host = request.host.find(':') != std::string::npos ? "[" + request.host + "]" : request.host;
    return host + ":" + std::to_string(static_cast<std::uint16_t>(request.port));
}

// An exchange may outlive the caller's request (a WebSocket keeps it): it keeps its own copy,
// without the body, which only makeRequest needs.
HttpRequest withoutBody(const HttpRequest& request) {
    HttpRequest copy;
    copy.method = request.method;
    copy.https = request.https;
    copy.host = request.host;
    copy.port = request.port;
    copy.timeoutMs = request.timeoutMs;
    copy.tlsMode = request.tlsMode;
    copy.pinnedRoots = request.pinnedRoots;
    copy.allowLoopbackNameMismatch = request.allowLoopbackNameMismatch;
    copy.useProxy = request.useProxy;
    return copy;
}

// Why an exchange could not open. A proxy that refuses the tunnel is no transport failure: its
// answer stands as the answer to the request, as the platform stack on Windows reports it.
struct OpenFailure {
    TransportFailure failure;      // its text is empty when the proxy answered
    std::int32_t proxyStatus = 0;  // the proxy's refusal, when not 0
};

// A failed write, with how many bytes of the request had left before it.
struct WriteFailure {
    TransportFailure failure;
    std::size_t written = 0;
};

// What one read of an answer found besides the answer itself.
struct ReadOutcome {
    HttpResponse response;
    bool reusable = false;  // complete, delimited by its length, and the server keeps the connection
    bool silent = false;    // the connection ended before a byte of the answer
};

// io_contexts of finished exchanges, kept for the next ones. Making one costs an epoll instance,
// an eventfd and a timerfd, all closed again with it: as much as the refused connection attempt
// of the in-game port's probe that runs every 2 s without a game.
class IoContextPool {
public:
    std::unique_ptr<asio::io_context> take() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!spare_.empty()) {
                std::unique_ptr<asio::io_context> io = std::move(spare_.back());
                spare_.pop_back();
                return io;
            }
        }
        return std::make_unique<asio::io_context>();
    }

    void put(std::unique_ptr<asio::io_context> io) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (spare_.size() < kMaxSpare) spare_.push_back(std::move(io));
    }

private:
    static constexpr std::size_t kMaxSpare = 4;
    std::mutex mutex_;
    std::vector<std::unique_ptr<asio::io_context>> spare_;
};

// One connection with its own io_context: resolve, connect (maybe through a proxy tunnel), TLS
// handshake and the certificate checks, then one exchange. Each step is bounded by timeoutMs.
class Exchange {
public:
    Exchange(ssl::context& systemContext, ssl::context& customContext, const std::string& userAgent,
             const HttpRequest& request, IoContextPool& ioPool)
        : systemContext_(systemContext),
          customContext_(customContext),
          userAgent_(userAgent),
          request_(withoutBody(request)),
          ioPool_(ioPool),
          io_(ioPool.take()),
          tcp_(std::make_unique<beast::tcp_stream>(*io_)) {
        // Reads take what room the buffer has (512 bytes when it starts empty): room for a
        // whole TLS record reads an answer in a few steps instead of one per 512 bytes.
        buffer_.reserve(kReadRoom);
        startDeadline();
    }

    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    // Every operation of a request runs to its end inside run(), so once the streams are gone
    // nothing refers to the io_context any more and the next exchange may have it. One that
    // started a resolver (whose thread it keeps) or served a WebSocket is not handed on.
    ~Exchange() {
        tls_.reset();
        tcp_.reset();
        if (reusableIo_) ioPool_.put(std::move(io_));
    }

    PinCheck pinCheck;

    // The next request on this open connection: its time limits apply from now on.
    void reuseFor(const HttpRequest& request) {
        request_.timeoutMs = request.timeoutMs;
        startDeadline();
    }

    // True when the server closed this idle connection (or sent something unasked, which no
    // answer can explain): it must not carry a request. Looked at without blocking.
    bool closedByPeer() {
        pollfd watch{};
        watch.fd = lowest().socket().native_handle();
        watch.events = POLLIN | POLLRDHUP;
        if (::poll(&watch, 1, 0) < 0) return true;
        return watch.revents != 0;
    }

    // Everything up to the point where request bytes may leave.
    std::optional<OpenFailure> open() {
        auto proxy = proxyFor(request_);
        const std::string host = proxy ? proxy->host : request_.host;
        const std::string port = proxy ? proxy->port : std::to_string(static_cast<std::uint16_t>(request_.port));
        std::vector<tcp::endpoint> endpoints;
        if (auto literal = literalEndpoint(host, port)) {
            // An address needs no resolver (whose private thread would start and end with
            // every connection).
            endpoints.push_back(*literal);
        } else {
            reusableIo_ = false;
            tcp::resolver resolver(*io_);
            asio::steady_timer timer(*io_);
            error_code resolveError;
            bool timedOut = false;
            resolver.async_resolve(host, port, [&](const error_code& ec, tcp::resolver::results_type results) {
                resolveError = ec;
                for (const auto& entry : results) endpoints.push_back(entry.endpoint());
                timer.cancel();
            });
            timer.expires_after(timeout());
            timer.async_wait([&](const error_code& ec) {
                if (!ec) {
                    timedOut = true;
                    resolver.cancel();
                }
            });
            run();
            if (timedOut) return OpenFailure{{kErrTimedOut}};
            if (resolveError) return OpenFailure{describe(resolveError, Phase::Resolve)};
        }
        std::vector<tcp::endpoint> targets;
        for (const auto& endpoint : endpoints) {
            // Plain HTTP is allowed to loopback only, and "localhost" is a name like any other:
            // only the addresses it resolves to decide where the request goes.
            if (!request_.https && !proxy && !isLoopbackAddress(endpoint.address())) continue;
            targets.push_back(endpoint);
        }
        if (targets.empty() && !request_.https && !proxy) return OpenFailure{{kErrPlainNotLoopback}};

        if (error_code ec = connect(targets)) return OpenFailure{describe(ec, Phase::Connect)};
        if (proxy) {
            if (auto failed = tunnel()) return failed;
        }
        if (!request_.https) return std::nullopt;
        if (auto failure = handshake()) return OpenFailure{std::move(*failure)};
        return std::nullopt;
    }

    std::optional<WriteFailure> write(http::request<http::string_body>& message) {
        error_code ec;
        std::size_t written = 0;
        lowest().expires_after(timeout());
        withStream([&](auto& stream) {
            http::async_write(stream, message, [&](const error_code& e, std::size_t n) {
                ec = e;
                written = n;
            });
        });
        run();
        if (ec) return WriteFailure{describe(ec, Phase::Write), written};
        return std::nullopt;
    }

    http::request<http::string_body> makeRequest(const HttpRequest& request) const {
        http::request<http::string_body> message;
        message.method_string(request.method);
        message.target(request.path);
        message.version(11);
        bool hasAgent = false;
        for (const auto& header : request.headers)
            if (asciiLower(header.first) == "user-agent") hasAgent = true;
        message.set(http::field::host, hostHeader(request));
        if (!hasAgent && !userAgent_.empty()) message.set(http::field::user_agent, userAgent_);
        for (const auto& [name, value] : request.headers) message.insert(name, value);
        if (!request.body.empty()) {
            message.body() = request.body;
            message.prepare_payload();
        }
        return message;
    }

    // The status line and headers only (the first-contact probe and the WebSocket upgrade).
    std::optional<TransportFailure> readHeader(http::response_parser<http::empty_body>& parser) {
        error_code ec;
        lowest().expires_after(timeout());
        withStream([&](auto& stream) {
            http::async_read_header(stream, buffer_, parser, [&](const error_code& e, std::size_t) { ec = e; });
        });
        run();
        if (ec) return describe(ec, Phase::Read);
        return std::nullopt;
    }

    // Interim answers (1xx other than 101) are skipped: the final answer follows them.
    ReadOutcome readResponse(bool headRequest) {
        ReadOutcome outcome;
        std::optional<http::response_parser<http::string_body>> reader;
        error_code ec;
        bool first = true;
        for (;;) {
            reader.emplace();
            reader->body_limit(kMaxResponseBytes);
            if (headRequest) reader->skip(true);
            lowest().expires_after(timeout());
            withStream([&](auto& stream) {
                http::async_read_header(stream, buffer_, *reader, [&](const error_code& e, std::size_t) { ec = e; });
            });
            run();
            if (ec == http::error::body_limit) return ReadOutcome{failedResponse(kErrTooLarge)};
            if (ec) {
                outcome.response = failedResponse(describe(ec, Phase::Read));
                outcome.silent = first && !reader->got_some() && buffer_.size() == 0 &&
                                 (isCleanEnd(ec) || ec == asio::error::connection_reset);
                return outcome;
            }
            first = false;
            const unsigned status = reader->get().result_int();
            if (status < 100 || status >= 200 || status == 101) break;
        }
        auto& parser = *reader;
        std::optional<std::uint64_t> expected;
        bool endedByClose = false;
        if (parser.content_length()) expected = *parser.content_length();
        while (!parser.is_done()) {
            lowest().expires_after(timeout());
            withStream([&](auto& stream) {
                http::async_read_some(stream, buffer_, parser, [&](const error_code& e, std::size_t) { ec = e; });
            });
            run();
            if (ec == http::error::body_limit) return ReadOutcome{failedResponse(kErrTooLarge)};
            if (!ec) continue;
            const std::size_t got = parser.get().body().size();
            if (isCleanEnd(ec)) {
                if (expected && got < *expected) return ReadOutcome{failedResponse(kErrTruncated)};
                if (!expected && parser.chunked()) return ReadOutcome{failedResponse(kErrTruncated)};
                endedByClose = true;
                break;
            }
            // Only an answer whose declared length has fully arrived survives a failed read;
            // without a length, a failure (even before the first body byte) is a broken answer.
            if (!expected || got < *expected)
                return ReadOutcome{failedResponse(truncatedError(describe(ec, Phase::Read).error))};
            break;
        }
        if (parser.get().body().size() > kMaxResponseBytes) return ReadOutcome{failedResponse(kErrTooLarge)};
        outcome.reusable = parser.is_done() && !endedByClose && parser.get().keep_alive() && buffer_.size() == 0;
        outcome.response.status = static_cast<std::int32_t>(parser.get().result_int());
        outcome.response.body = std::move(parser.get().body());
        return outcome;
    }

    // Hands the open connection over to a WebSocket together with any bytes already read.
    asio::io_context& io() { return *io_; }
    void keepIoToItself() { reusableIo_ = false; }
    beast::tcp_stream& lowest() { return tls_ ? beast::get_lowest_layer(*tls_) : *tcp_; }
    std::string takeBuffered() {
        std::string rest = beast::buffers_to_string(buffer_.data());
        buffer_.consume(buffer_.size());
        return rest;
    }
    template <class F>
    void withStream(F&& f) {
        if (tls_)
            f(*tls_);
        else
            f(*tcp_);
    }
    void run() {
        io_->restart();
        io_->run();
    }
    // Each step is bounded by timeoutMs, and the whole request by twice that: a server that
    // sends a byte just often enough to keep each read alive must not hold the caller for ever.
    std::chrono::milliseconds timeout() const {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - std::chrono::steady_clock::now());
        const std::chrono::milliseconds step(request_.timeoutMs);
        if (left < std::chrono::milliseconds(0)) return std::chrono::milliseconds(0);
        return std::min(step, left);
    }

private:
    void startDeadline() {
        deadline_ = std::chrono::steady_clock::now() + 2 * std::chrono::milliseconds(request_.timeoutMs);
    }

    // Connects to the first of `targets` that accepts, in order, all within one timeout(); the
    // last failure when none does. A plain non-blocking connect and poll on the calling thread
    // rather than asio's connect operation: the in-game port's probe, refused every 2 s without
    // a game, then costs five system calls instead of eleven (no epoll registration, no timer).
    // The connected socket is handed to the stream, whose operations take it from there.
    error_code connect(const std::vector<tcp::endpoint>& targets) {
        const auto until = std::chrono::steady_clock::now() + timeout();
        error_code last = asio::error::not_found;
        for (const auto& target : targets) {
            const int fd = ::socket(target.protocol().family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
            if (fd < 0) {
                last = error_code(errno, asio::error::get_system_category());
                continue;
            }
            int result = ::connect(fd, target.data(), static_cast<socklen_t>(target.size())) == 0 ? 0 : errno;
            if (result == EINPROGRESS || result == EINTR) result = awaitConnected(fd, until);
            if (result == 0) {
                error_code ec;
                tcp_->socket().assign(target.protocol(), fd, ec);
                if (!ec) return {};
                ::close(fd);
                return ec;
            }
            ::close(fd);
            if (result == ETIMEDOUT && std::chrono::steady_clock::now() >= until) return asio::error::timed_out;
            last = error_code(result, asio::error::get_system_category());
        }
        return last;
    }

    // The outcome of a connect in progress: 0 once connected, else its error (ETIMEDOUT when
    // `until` passes first).
    static int awaitConnected(int fd, std::chrono::steady_clock::time_point until) {
        for (;;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            if (left.count() <= 0) return ETIMEDOUT;
            pollfd watch{};
            watch.fd = fd;
            watch.events = POLLOUT;
            const int ready = ::poll(&watch, 1, static_cast<int>(std::min<std::int64_t>(left.count(), 1 << 30)));
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0) return errno;
            if (ready == 0) continue;  // the time left is looked at again
            int error = 0;
            socklen_t size = sizeof error;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
            return error;
        }
    }

    std::optional<OpenFailure> tunnel() {
        http::request<http::empty_body> connect;
        connect.method(http::verb::connect);
        connect.target(hostHeader(request_));
        connect.version(11);
        connect.set(http::field::host, hostHeader(request_));
        if (!userAgent_.empty()) connect.set(http::field::user_agent, userAgent_);
        error_code ec;
        tcp_->expires_after(timeout());
        http::async_write(*tcp_, connect, [&](const error_code& e, std::size_t) { ec = e; });
        run();
        if (ec) return OpenFailure{describe(ec, Phase::Write)};
        http::response_parser<http::empty_body> parser;
        parser.skip(true);  // a CONNECT answer has no body whatever its headers say
        tcp_->expires_after(timeout());
        http::async_read(*tcp_, buffer_, parser, [&](const error_code& e, std::size_t) { ec = e; });
        run();
        if (ec) return OpenFailure{describe(ec, Phase::Read)};
        const int status = static_cast<int>(parser.get().result_int());
        if (status / 100 != 2) return OpenFailure{{}, status};
        // Whatever came after the proxy's answer did not come from the server through TLS: left
        // in the buffer, it would be read as the server's answer after the handshake.
        if (buffer_.size() != 0) return OpenFailure{{otherError(make_error_code(http::error::unexpected_body))}};
        return std::nullopt;
    }

    std::optional<TransportFailure> handshake() {
        const bool system = request_.tlsMode == TlsMode::System;
        tls_ = std::make_unique<beast::ssl_stream<beast::tcp_stream>>(std::move(*tcp_),
                                                                      system ? systemContext_ : customContext_);
        SSL* ssl = tls_->native_handle();
        if (!isIpLiteral(request_.host)) SSL_set_tlsext_host_name(ssl, request_.host.c_str());
        if (system) {
            X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
            if (isIpLiteral(request_.host))
                X509_VERIFY_PARAM_set1_ip_asc(param, request_.host.c_str());
            else
                X509_VERIFY_PARAM_set1_host(param, request_.host.c_str(), request_.host.size());
        }
        error_code ec;
        lowest().expires_after(timeout());
        tls_->async_handshake(ssl::stream_base::client, [&](const error_code& e) { ec = e; });
        run();
        if (ec) return describe(ec, Phase::Handshake);
        if (request_.tlsMode != TlsMode::PinnedRoots) return std::nullopt;
        // The platform's share of the judgement: the host name, unless a loopback mismatch is
        // allowed. The pinned root then decides the rest; both before any request byte leaves.
        if (checksHostName(request_) && !hostNameMatches(ssl, request_.host, isIpLiteral(request_.host)))
            return TransportFailure{kErrTlsValidation, true};
        pinCheck = checkPinnedRoot(ssl, request_);
        if (pinCheck.rejected) return TransportFailure{kErrRejectedPrefix + pinCheck.reason, true};
        return std::nullopt;
    }

    ssl::context& systemContext_;
    ssl::context& customContext_;
    const std::string& userAgent_;  // the client's, which outlives every exchange
    HttpRequest request_;
    IoContextPool& ioPool_;
    bool reusableIo_ = true;
    std::unique_ptr<asio::io_context> io_;
    std::unique_ptr<beast::tcp_stream> tcp_;
    std::unique_ptr<beast::ssl_stream<beast::tcp_stream>> tls_;
    beast::flat_buffer buffer_;
    std::chrono::steady_clock::time_point deadline_;

    friend class BeastWebSocket;
};

std::string websocketAccept(const std::string& key) {
    const std::string text = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
    return base64Encode(std::string_view(reinterpret_cast<const char*>(digest), sizeof digest));
}

std::string randomBytes(std::size_t count) {
    std::string bytes(count, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(count)) != 1)
        systemRandomBytes(reinterpret_cast<unsigned char*>(bytes.data()), count);
    return bytes;
}

// A client frame: always final, always masked.
std::string clientFrame(std::uint8_t opcode, std::string_view payload) {
    const std::string random = randomBytes(4);
    WebSocketMask mask;
    for (std::size_t i = 0; i < mask.size(); ++i) mask[i] = static_cast<std::uint8_t>(random[i]);
    return encodeWebSocketFrame(opcode, true, payload, mask);
}

// Frames are parsed on the I/O thread as they arrive, so a frame that announces a huge length
// never makes the connection buffer more than one read.
class BeastWebSocket final : public WebSocketConnection {
public:
    BeastWebSocket(std::unique_ptr<Exchange> exchange, std::uint32_t timeoutMs)
        : exchange_(std::move(exchange)),
          timeoutMs_(timeoutMs),
          work_(asio::make_work_guard(exchange_->io())),
          writeTimer_(exchange_->io()) {
        exchange_->keepIoToItself();
        decoder_.feed(exchange_->takeBuffered());
        exchange_->lowest().expires_never();
        io_ = std::thread([this] {
            exchange_->io().restart();
            exchange_->io().run();
        });
    }

    ~BeastWebSocket() override {
        close();
        if (io_.joinable()) io_.join();
    }

    bool send(const std::string& text) override {
        std::promise<bool> done;
        std::future<bool> result = done.get_future();
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (closed_ || finished_) return false;
            asio::post(exchange_->io(), [this, frame = clientFrame(ws_opcode::kText, text), &done]() mutable {
                queueWrite(std::move(frame), [&done](bool ok) { done.set_value(ok); });
            });
        }
        return result.get();
    }

    std::optional<std::string> receive() override {
        std::unique_lock<std::mutex> guard(lock_);
        if (closed_) return std::nullopt;
        if (messages_.empty() && !finished_) {
            ++waiting_;
            asio::post(exchange_->io(), [this] { pump(); });
            ready_.wait(guard, [this] { return !messages_.empty() || finished_; });
            --waiting_;
        }
        if (messages_.empty()) return std::nullopt;
        std::string message = std::move(messages_.front());
        messages_.pop_front();
        return message;
    }

    void close() override {
        {
            std::unique_lock<std::mutex> guard(lock_);
            if (closed_) {
                ready_.wait(guard, [this] { return closeDone_; });
                return;
            }
            closed_ = true;
            asio::post(exchange_->io(), [this] { closeOnIo(); });
            ready_.wait(guard, [this] { return closeDone_; });
        }
        if (io_.joinable() && io_.get_id() != std::this_thread::get_id()) io_.join();
    }

private:
    // ---- everything below runs on the I/O thread ----

    void finish() {
        std::lock_guard<std::mutex> guard(lock_);
        finished_ = true;
        ready_.notify_all();
    }

    void deliver(std::string message) {
        std::lock_guard<std::mutex> guard(lock_);
        messages_.push_back(std::move(message));
        ready_.notify_all();
    }

    bool wanted() {
        std::lock_guard<std::mutex> guard(lock_);
        return waiting_ > messages_.size() && !finished_;
    }

    void pump() {
        if (reading_ || broken_) return;
        while (parseInput()) {
        }
        if (broken_) return;
        if (!wanted()) return;
        reading_ = true;
        exchange_->withStream([this](auto& stream) {
            stream.async_read_some(asio::buffer(chunk_), [this](const error_code& ec, std::size_t n) {
                reading_ = false;
                if (ec) {
                    broken_ = true;
                    finish();
                    return;
                }
                decoder_.feed(std::string_view(chunk_.data(), n));
                pump();
            });
        });
    }

    // Consumes what it can of the received bytes; false when more are needed or the connection ended.
    bool parseInput() {
        if (broken_) return false;
        WebSocketFrameEvent event = decoder_.next();
        switch (event.kind) {
            case WebSocketFrameEvent::Kind::NeedMore:
                return false;
            case WebSocketFrameEvent::Kind::ProtocolError:
                protocolFailure();
                return false;
            case WebSocketFrameEvent::Kind::Control:
                if (event.opcode == ws_opcode::kPing) queuePong(std::move(event.payload));
                if (event.opcode == ws_opcode::kClose) {
                    // The peer closed: answer with our close frame, then the connection is over.
                    broken_ = true;
                    finish();
                    queueWrite(clientFrame(ws_opcode::kClose, event.payload.substr(0, 2)),
                               [this](bool) { shutdownSocket(); });
                    return false;
                }
                return true;
            case WebSocketFrameEvent::Kind::Data:
                break;
        }
        if (event.opcode == ws_opcode::kText) kind_ = TextMessageAssembler::Frame::Text;
        if (event.opcode == ws_opcode::kBinary) kind_ = TextMessageAssembler::Frame::Binary;
        if (auto message = assembler_.add(kind_, event.payload, event.final && event.frameEnd))
            deliver(std::move(*message));
        return true;
    }

    void protocolFailure() {
        broken_ = true;
        finish();
        shutdownSocket();
    }

    void queueWrite(std::string frame, std::function<void(bool)> done) {
        if (broken_ && !(frame.size() > 0 && (static_cast<unsigned char>(frame[0]) & 0x0F) == ws_opcode::kClose)) {
            if (done) done(false);
            return;
        }
        writes_.emplace_back(std::move(frame), std::move(done));
        if (!writing_) startWrite();
    }

    // A peer that pings while our writes are stalled gets one answer, to its latest ping: the
    // waiting pong is replaced rather than joined by another, so pings cannot grow the queue.
    void queuePong(std::string payload) {
        for (std::size_t i = writing_ ? 1 : 0; i < writes_.size(); ++i) {
            if (writes_[i].second == nullptr && !writes_[i].first.empty() &&
                (static_cast<unsigned char>(writes_[i].first[0]) & 0x0F) == ws_opcode::kPong) {
                writes_[i].first = clientFrame(ws_opcode::kPong, payload);
                return;
            }
        }
        queueWrite(clientFrame(ws_opcode::kPong, payload), nullptr);
    }

    void startWrite() {
        if (writes_.empty()) return;
        writing_ = true;
        writeTimer_.expires_after(std::chrono::milliseconds(timeoutMs_));
        writeTimer_.async_wait([this](const error_code& ec) {
            // A write that cannot finish in time means a dead peer.
            if (!ec) shutdownSocket();
        });
        exchange_->withStream([this](auto& stream) {
            asio::async_write(stream, asio::buffer(writes_.front().first), [this](const error_code& ec, std::size_t) {
                writeTimer_.cancel();
                auto done = std::move(writes_.front().second);
                writes_.pop_front();
                writing_ = false;
                if (ec && !broken_) {
                    broken_ = true;
                    finish();
                }
                if (done) done(!ec);
                if (!writes_.empty()) startWrite();
            });
        });
    }

    void shutdownSocket() {
        error_code ignored;
        auto& socket = exchange_->lowest().socket();
        socket.shutdown(tcp::socket::shutdown_both, ignored);
        socket.close(ignored);
    }

    void closeOnIo() {
        auto complete = [this](bool) {
            shutdownSocket();
            writeTimer_.cancel();
            work_.reset();
            std::lock_guard<std::mutex> guard(lock_);
            finished_ = true;
            closeDone_ = true;
            ready_.notify_all();
        };
        if (broken_ && !writing_) {
            complete(true);
            return;
        }
        const bool wasBroken = broken_;
        broken_ = true;
        finish();
        if (reading_) exchange_->lowest().socket().cancel();
        if (wasBroken) {
            // A close answer is still on its way out; release once it is done or timed out.
            writes_.emplace_back(std::string(), complete);
            if (!writing_) startWrite();
            return;
        }
        const char normal[] = {0x03, static_cast<char>(0xE8)};
        writes_.emplace_back(clientFrame(ws_opcode::kClose, std::string_view(normal, 2)), complete);
        if (!writing_) startWrite();
    }

    std::unique_ptr<Exchange> exchange_;
    std::uint32_t timeoutMs_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    asio::steady_timer writeTimer_;
    std::thread io_;

    // Shared between callers and the I/O thread, under lock_.
    std::mutex lock_;
    std::condition_variable ready_;
    std::deque<std::string> messages_;
    std::size_t waiting_ = 0;
    bool closed_ = false;
    bool finished_ = false;
    bool closeDone_ = false;

    // I/O thread only.
    WebSocketFrameDecoder decoder_;
    std::array<char, kReadChunkBytes> chunk_{};
    TextMessageAssembler assembler_;
    TextMessageAssembler::Frame kind_ = TextMessageAssembler::Frame::Text;
    bool reading_ = false;
    bool writing_ = false;
    bool broken_ = false;
    std::deque<std::pair<std::string, std::function<void(bool)>>> writes_;
};

// Open connections kept for the next request to the same place: the game client is asked a
// dozen times a second during a game, and a TLS handshake costs far more than the request.
// A key holds everything that decided how the connection was judged (scheme, host, port, TLS
// mode, pinned roots, the name rule), so a connection is only ever reused under the rules it
// passed; every new connection gets the full handshake and pinned-root check. Connections
// through a proxy are never kept.
class ConnectionPool {
public:
    static constexpr std::size_t kMaxIdle = 8;
    static constexpr std::int64_t kMaxIdleMs = 15000;

    static std::string key(const HttpRequest& request) {
        std::string key = request.https ? "https|" : "http|";
        key += request.host + "|" + std::to_string(request.port) + "|" +
               std::to_string(static_cast<int>(request.tlsMode)) + "|" +
               (request.allowLoopbackNameMismatch ? "1" : "0");
        for (const std::string& root : request.pinnedRoots) {
            key += "|" + std::to_string(root.size()) + ":";
            key += root;
        }
        return key;
    }

    std::unique_ptr<Exchange> take(const std::string& key) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto now = std::chrono::steady_clock::now();
        std::unique_ptr<Exchange> found;
        for (auto it = idle_.begin(); it != idle_.end();) {
            if (now - it->since > std::chrono::milliseconds(kMaxIdleMs)) {
                it = idle_.erase(it);
            } else if (!found && it->key == key) {
                found = std::move(it->exchange);
                it = idle_.erase(it);
            } else {
                ++it;
            }
        }
        return found;
    }

    void put(std::string key, std::unique_ptr<Exchange> exchange) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (idle_.size() >= kMaxIdle) idle_.pop_front();
        idle_.push_back(Idle{std::move(key), std::move(exchange), std::chrono::steady_clock::now()});
    }

private:
    struct Idle {
        std::string key;
        std::unique_ptr<Exchange> exchange;
        std::chrono::steady_clock::time_point since;
    };
    std::mutex mutex_;
    std::deque<Idle> idle_;
};

class BeastClient final : public HttpClient {
public:
    explicit BeastClient(std::string userAgent)
        : userAgent_(std::move(userAgent)), system_(ssl::context::tls_client), custom_(ssl::context::tls_client) {
        for (ssl::context* context : {&system_, &custom_}) {
            SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION);
            context->set_options(ssl::context::default_workarounds | ssl::context::no_compression);
        }
        system_.set_verify_mode(ssl::verify_peer);
        // Pinned and insecure modes judge the certificate after the handshake themselves.
        custom_.set_verify_mode(ssl::verify_none);
    }

    HttpResponse request(const HttpRequest& request) override {
        if (auto refused = checkRequestPolicy(request)) return failedResponse(*refused);
        if (auto refused = checkFirstContact(request)) return failedResponse(*refused);
        const bool keep = !proxyFor(request).has_value();
        const std::string key = keep ? ConnectionPool::key(request) : std::string();
        for (;;) {
            std::unique_ptr<Exchange> exchange = keep ? pool_.take(key) : nullptr;
            const bool reused = exchange != nullptr;
            if (reused) {
                exchange->reuseFor(request);
            } else {
                exchange = std::make_unique<Exchange>(systemContextFor(request), custom_, userAgent_, request, ioContexts_);
                if (auto failed = exchange->open()) {
                    if (failed->proxyStatus != 0) return proxyAnswer(*failed);
                    return failedResponse(rejected(request, failed->failure));
                }
            }
            // A kept connection the server has closed while it was idle: never write on it.
            if (reused && exchange->closedByPeer()) continue;
            auto message = exchange->makeRequest(request);
            if (auto failed = exchange->write(message)) {
                // Nothing left: the server cannot have seen the request, so it may go again.
                if (reused && failed->written == 0) continue;
                return failedResponse(failed->failure);
            }
            ReadOutcome answer = exchange->readResponse(request.method == "HEAD");
            // Closed without a byte of answer: the server dropped the kept connection as the
            // request arrived, or handled it and failed to answer. Only a request that is safe
            // to repeat goes again; a POST the server may have acted on is one failed attempt.
            if (reused && answer.silent && (request.method == "GET" || request.method == "HEAD")) continue;
            if (keep && answer.reusable) pool_.put(key, std::move(exchange));
            return std::move(answer.response);
        }
    }

    Result<std::unique_ptr<WebSocketConnection>> connectWebSocket(const HttpRequest& request) override {
        if (auto refused = checkRequestPolicy(request)) return *refused;
        if (auto refused = checkFirstContact(request)) return *refused;
        auto exchange = std::make_unique<Exchange>(systemContextFor(request), custom_, userAgent_, request, ioContexts_);
        if (auto failed = exchange->open()) return rejected(request, failed->failure);
        auto message = exchange->makeRequest(request);
        const std::string key = base64Encode(randomBytes(16));
        message.set(http::field::upgrade, "websocket");
        message.set(http::field::connection, "Upgrade");
        message.set(http::field::sec_websocket_key, key);
        message.set(http::field::sec_websocket_version, "13");
        if (auto failed = exchange->write(message)) return failed->failure;
        http::response_parser<http::empty_body> parser;
        parser.skip(true);
        if (auto failure = exchange->readHeader(parser)) return *failure;
        const int status = static_cast<int>(parser.get().result_int());
        if (status != 101 || parser.get()[http::field::sec_websocket_accept] != websocketAccept(key))
            return TransportFailure{"upgrade refused (HTTP " + std::to_string(status) + ")"};
        return std::make_unique<BeastWebSocket>(std::move(exchange), request.timeoutMs);
    }

private:
    // A certificate rejected on a pair that had been proven makes the next call probe again.
    const TransportFailure& rejected(const HttpRequest& request, const TransportFailure& failure) {
        if (failure.tlsFailure && usesPinnedRoots(request)) verified_.remove(VerifiedPairs::key(request));
        return failure;
    }

    // A refusal of the tunnel, as the answer to the request.
    static HttpResponse proxyAnswer(const OpenFailure& failed) {
        HttpResponse response;
        response.status = failed.proxyStatus;
        return response;
    }

    std::optional<TransportFailure> checkFirstContact(const HttpRequest& request) {
        if (!usesPinnedRoots(request)) return std::nullopt;
        const std::string key = VerifiedPairs::key(request);
        if (verified_.contains(key)) return std::nullopt;
        HttpRequest probe = request;
        probe.method = "GET";
        probe.path = "/";
        probe.headers.clear();
        probe.body.clear();
        ProbeOutcome outcome;
        Exchange exchange(system_, custom_, userAgent_, probe, ioContexts_);
        if (auto failed = exchange.open()) {
            if (failed->proxyStatus == 0) outcome.probeFailure = failed->failure;
        } else {
            // The probe really is sent, as on every platform; its answer does not matter.
            auto message = exchange.makeRequest(probe);
            if (!exchange.write(message)) {
                http::response_parser<http::empty_body> parser;
                parser.skip(true);
                exchange.readHeader(parser);
            }
        }
        outcome.checked = exchange.pinCheck.checked;
        outcome.rejected = exchange.pinCheck.rejected;
        outcome.reason = exchange.pinCheck.reason;
        if (auto failure = firstContactFailure(outcome)) return failure;
        verified_.add(key);
        return std::nullopt;
    }

    std::string userAgent_;
    // The platform's roots are read when the first System-mode connection needs them: a
    // collector that only talks to pinned or plain loopback servers never holds them.
    ssl::context& systemContextFor(const HttpRequest& request) {
        if (request.https && request.tlsMode == TlsMode::System)
            std::call_once(systemTrustLoaded_, [this] { useSystemTrust(system_.native_handle()); });
        return system_;
    }

    ssl::context system_;
    std::once_flag systemTrustLoaded_;
    ssl::context custom_;
    VerifiedPairs verified_;
    IoContextPool ioContexts_;  // before pool_: the kept connections hand theirs back as they go
    ConnectionPool pool_;
};

}  // namespace

std::unique_ptr<HttpClient> createHttpClient(const std::string& userAgent) {
    return std::make_unique<BeastClient>(userAgent);
}

}  // namespace vornet
