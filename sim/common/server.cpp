#include "sim/common/server.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <thread>

namespace vornet::sim {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;

std::string SimRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers)
        if (key == name) return value;
    return {};
}

std::string percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+') {
            out.push_back(' ');
        } else if (c == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2])));
            i += 2;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string SimRequest::queryParam(std::string_view name, std::string fallback) const {
    std::string_view rest = query;
    while (!rest.empty()) {
        std::size_t amp = rest.find('&');
        std::string_view pair = rest.substr(0, amp);
        rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
        std::size_t eq = pair.find('=');
        std::string key = percentDecode(pair.substr(0, eq));
        if (key == name) return eq == std::string_view::npos ? std::string() : percentDecode(pair.substr(eq + 1));
    }
    return fallback;
}

namespace {

// What the application holds for a WebSocket connection. The session behind it may end at
// any time; detach() cuts the link under the lock so no call reaches a finished session or
// a destroyed io_context.
class WsHandle final : public WsPeer {
public:
    explicit WsHandle(std::uint64_t id) : id_(id) {}
    void send(std::string text) override {
        std::lock_guard lock(mutex_);
        if (send_) send_(std::move(text));
    }
    void close() override {
        std::lock_guard lock(mutex_);
        if (close_) close_();
    }
    std::uint64_t id() const override { return id_; }
    void attach(std::function<void(std::string)> send, std::function<void()> close) {
        std::lock_guard lock(mutex_);
        send_ = std::move(send);
        close_ = std::move(close);
    }
    void detach() {
        std::lock_guard lock(mutex_);
        send_ = nullptr;
        close_ = nullptr;
    }

private:
    std::mutex mutex_;
    std::function<void(std::string)> send_;
    std::function<void()> close_;
    std::uint64_t id_;
};

template <class Stream>
class WsSession : public std::enable_shared_from_this<WsSession<Stream>> {
public:
    explicit WsSession(Stream&& stream) : ws(std::move(stream)) {}

    websocket::stream<Stream> ws;
    std::deque<std::string> queue;
    bool writing = false;
    bool closing = false;

    void enqueue(std::string text) {
        if (closing) return;
        queue.push_back(std::move(text));
        if (!writing) {
            writing = true;
            net::co_spawn(ws.get_executor(), writeLoop(this->shared_from_this()), net::detached);
        }
    }

    void closeGracefully() {
        if (closing) return;
        closing = true;
        net::co_spawn(ws.get_executor(), closeOp(this->shared_from_this()), net::detached);
    }

private:
    static net::awaitable<void> writeLoop(std::shared_ptr<WsSession> self) {
        beast::error_code ec;
        while (!self->queue.empty() && !self->closing) {
            std::string text = std::move(self->queue.front());
            self->queue.pop_front();
            self->ws.text(true);
            co_await self->ws.async_write(net::buffer(text), net::redirect_error(net::use_awaitable, ec));
            if (ec) break;
        }
        self->writing = false;
    }
    static net::awaitable<void> closeOp(std::shared_ptr<WsSession> self) {
        beast::error_code ec;
        co_await self->ws.async_close(websocket::close_code::normal, net::redirect_error(net::use_awaitable, ec));
    }
};

class ServerImpl final : public SimServer {
public:
    ServerImpl(const ServerSettings& settings, RequestHandler handler, WebSocketHooks hooks)
        : settings_(settings), handler_(std::move(handler)), hooks_(std::move(hooks)) {}

    ~ServerImpl() override {
        {
            std::lock_guard lock(handlesMutex_);
            for (auto& weak : handles_)
                if (auto handle = weak.lock()) handle->detach();
            handles_.clear();
        }
        ioc_.stop();
        if (thread_.joinable()) thread_.join();
        beast::error_code ec;
        acceptor_.close(ec);
    }

    bool open(std::string& error) {
        beast::error_code ec;
        if (settings_.tls) {
            sslContext_.use_certificate_chain(net::buffer(settings_.certPem), ec);
            if (!ec) sslContext_.use_private_key(net::buffer(settings_.keyPem), ssl::context::pem, ec);
            if (ec) {
                error = "cannot load the server certificate: " + ec.message();
                return false;
            }
        }
        auto address = net::ip::make_address(settings_.host, ec);
        if (ec) {
            error = "bad listen address " + settings_.host;
            return false;
        }
        tcp::endpoint endpoint(address, settings_.port);
        acceptor_.open(endpoint.protocol(), ec);
        if (!ec) acceptor_.set_option(net::socket_base::reuse_address(true), ec);
        if (!ec) acceptor_.bind(endpoint, ec);
        if (!ec) acceptor_.listen(net::socket_base::max_listen_connections, ec);
        if (ec) {
            error = "cannot listen on " + settings_.host + ":" + std::to_string(settings_.port) + ": " + ec.message();
            return false;
        }
        port_ = acceptor_.local_endpoint().port();
        net::co_spawn(ioc_, acceptLoop(), net::detached);
        thread_ = std::thread([this] { ioc_.run(); });
        return true;
    }

    std::uint16_t port() const override { return port_; }
    std::uint64_t connections() const override { return connections_.load(); }
    std::uint64_t requests() const override { return requests_.load(); }

private:
    net::awaitable<void> acceptLoop() {
        for (;;) {
            tcp::socket socket(ioc_);
            beast::error_code ec;
            co_await acceptor_.async_accept(socket, net::redirect_error(net::use_awaitable, ec));
            if (ec) {
                if (!acceptor_.is_open()) co_return;
                continue;
            }
            if (!settings_.tls) ++connections_;
            if (settings_.tls) {
                net::co_spawn(ioc_, serveTls(std::move(socket)), net::detached);
            } else {
                net::co_spawn(ioc_, serve(beast::tcp_stream(std::move(socket))), net::detached);
            }
        }
    }

    net::awaitable<void> serveTls(tcp::socket socket) {
        beast::ssl_stream<beast::tcp_stream> stream(beast::tcp_stream(std::move(socket)), sslContext_);
        beast::get_lowest_layer(stream).expires_after(std::chrono::seconds(30));
        beast::error_code ec;
        co_await stream.async_handshake(ssl::stream_base::server, net::redirect_error(net::use_awaitable, ec));
        if (ec) co_return;
        ++connections_;
        co_await serve(std::move(stream));
    }

    static SimRequest toSimRequest(const http::request<http::string_body>& req) {
        SimRequest out;
        out.method = std::string(req.method_string());
        out.target = std::string(req.target());
        std::size_t q = out.target.find('?');
        out.path = out.target.substr(0, q);
        if (q != std::string::npos) out.query = out.target.substr(q + 1);
        for (const auto& field : req) {
            std::string name(field.name_string());
            for (char& c : name)
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            out.headers.emplace_back(std::move(name), std::string(field.value()));
        }
        out.body = req.body();
        return out;
    }

    template <class Stream>
    static void closeStream(Stream& stream) {
        beast::error_code ec;
        beast::get_lowest_layer(stream).socket().shutdown(tcp::socket::shutdown_both, ec);
        beast::get_lowest_layer(stream).socket().close(ec);
    }

    net::awaitable<void> waitMs(std::int64_t ms) {
        net::steady_timer timer(ioc_);
        if (ms < 0)
            timer.expires_at(net::steady_timer::time_point::max());
        else
            timer.expires_after(std::chrono::milliseconds(ms));
        beast::error_code ec;
        co_await timer.async_wait(net::redirect_error(net::use_awaitable, ec));
    }

    template <class Stream>
    net::awaitable<void> serve(Stream stream) {
        beast::flat_buffer buffer;
        for (;;) {
            http::request_parser<http::string_body> parser;
            parser.body_limit(settings_.bodyLimit);
            beast::get_lowest_layer(stream).expires_after(std::chrono::seconds(120));
            beast::error_code ec;
            co_await http::async_read(stream, buffer, parser, net::redirect_error(net::use_awaitable, ec));
            if (ec) {
                closeStream(stream);
                co_return;
            }
            http::request<http::string_body> req = parser.release();
            ++requests_;
            SimRequest simReq = toSimRequest(req);

            if (websocket::is_upgrade(req) && hooks_.accept) {
                std::optional<SimReply> refusal = hooks_.accept(simReq);
                if (!refusal) {
                    beast::get_lowest_layer(stream).expires_never();
                    auto session = std::make_shared<WsSession<Stream>>(std::move(stream));
                    co_await runWebSocket(session, req);
                    co_return;
                }
                bool open = co_await answer(stream, req, *refusal);
                if (!open) co_return;
                continue;
            }
            SimReply reply;
            if (handler_) {
                reply = handler_(simReq);
            } else {
                reply.status = 404;
                reply.body = "{}";
            }
            bool open = co_await answer(stream, req, reply);
            if (!open) co_return;
        }
    }

    // Writes one answer; false when the connection is finished.
    template <class Stream>
    net::awaitable<bool> answer(Stream& stream, const http::request<http::string_body>& req, const SimReply& reply) {
        if (reply.delayMs > 0) co_await waitMs(reply.delayMs);
        if (reply.hold) {
            beast::get_lowest_layer(stream).expires_never();
            co_await waitMs(-1);
            co_return false;
        }
        if (reply.drop) {
            closeStream(stream);
            co_return false;
        }
        http::response<http::string_body> res;
        res.version(req.version());
        res.result(static_cast<unsigned>(reply.status));
        res.set(http::field::server, "parlow-sim");
        if (!reply.contentType.empty()) res.set(http::field::content_type, reply.contentType);
        for (const auto& [name, value] : reply.headers) res.set(name, value);
        res.keep_alive(req.keep_alive());
        res.body() = reply.body;
        res.prepare_payload();
        beast::error_code ec;
        beast::get_lowest_layer(stream).expires_after(std::chrono::seconds(30));
        co_await http::async_write(stream, res, net::redirect_error(net::use_awaitable, ec));
        if (ec || !res.keep_alive()) {
            closeStream(stream);
            co_return false;
        }
        co_return true;
    }

    template <class Stream>
    net::awaitable<void> runWebSocket(std::shared_ptr<WsSession<Stream>> session,
                                      const http::request<http::string_body>& req) {
        auto& ws = session->ws;
        // No idle time-out: a collector listens for minutes without sending anything.
        ws.set_option(websocket::stream_base::timeout{std::chrono::seconds(30), websocket::stream_base::none(), false});
        ws.set_option(websocket::stream_base::decorator(
            [](websocket::response_type& res) { res.set(http::field::server, "parlow-sim"); }));
        beast::error_code ec;
        co_await ws.async_accept(req, net::redirect_error(net::use_awaitable, ec));
        if (ec) co_return;

        auto handle = std::make_shared<WsHandle>(nextPeerId_++);
        std::weak_ptr<WsSession<Stream>> weak = session;
        net::io_context* ioc = &ioc_;
        handle->attach(
            [ioc, weak](std::string text) {
                net::post(*ioc, [weak, text = std::move(text)]() mutable {
                    if (auto s = weak.lock()) s->enqueue(std::move(text));
                });
            },
            [ioc, weak] {
                net::post(*ioc, [weak] {
                    if (auto s = weak.lock()) s->closeGracefully();
                });
            });
        {
            std::lock_guard lock(handlesMutex_);
            handles_.push_back(handle);
        }
        if (hooks_.opened) hooks_.opened(handle);
        beast::flat_buffer buffer;
        for (;;) {
            co_await ws.async_read(buffer, net::redirect_error(net::use_awaitable, ec));
            if (ec) break;
            std::string text = beast::buffers_to_string(buffer.data());
            buffer.consume(buffer.size());
            if (hooks_.message) hooks_.message(handle, text);
        }
        handle->detach();
        {
            std::lock_guard lock(handlesMutex_);
            std::erase_if(handles_, [](const std::weak_ptr<WsHandle>& w) { return w.expired(); });
        }
        if (hooks_.closed) hooks_.closed(handle);
    }

    ServerSettings settings_;
    RequestHandler handler_;
    WebSocketHooks hooks_;
    // Declaration order matters: the io_context is destroyed before the TLS context, and its
    // destruction frees the coroutine frames that still hold streams.
    ssl::context sslContext_{ssl::context::tls_server};
    net::io_context ioc_{1};
    tcp::acceptor acceptor_{ioc_};
    std::thread thread_;
    std::uint16_t port_ = 0;
    std::atomic<std::uint64_t> connections_{0};
    std::atomic<std::uint64_t> requests_{0};
    std::uint64_t nextPeerId_ = 1;
    std::mutex handlesMutex_;
    std::vector<std::weak_ptr<WsHandle>> handles_;
};

}  // namespace

std::unique_ptr<SimServer> SimServer::start(const ServerSettings& settings, RequestHandler handler,
                                            WebSocketHooks hooks, std::string& error) {
    auto server = std::make_unique<ServerImpl>(settings, std::move(handler), std::move(hooks));
    if (!server->open(error)) return nullptr;
    return server;
}

}  // namespace vornet::sim
