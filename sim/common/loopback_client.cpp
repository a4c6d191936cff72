#include "sim/common/loopback_client.h"

#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

// Blocking I/O keeps this test client small; deadlines come from socket time-outs, and a
// stream that timed out is not used again.
namespace vornet::sim {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;

std::string FetchResult::header(std::string_view name) const {
    for (const auto& [key, value] : headers)
        if (key == name) return value;
    return {};
}

namespace {

using TlsStream = ssl::stream<tcp::socket>;

bool prepareTls(ssl::context& ctx, const FetchRequest& req, std::string& error) {
    beast::error_code ec;
    ctx.set_verify_mode(ssl::verify_peer, ec);
    ctx.add_certificate_authority(net::buffer(req.rootPem), ec);
    if (ec) {
        error = "bad root certificate: " + ec.message();
        return false;
    }
    return true;
}

void requireName(TlsStream& stream, const std::string& name) {
    if (name.empty()) return;
    X509_VERIFY_PARAM* param = SSL_get0_param(stream.native_handle());
    beast::error_code ec;
    net::ip::make_address(name, ec);
    if (!ec)
        X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str());
    else
        X509_VERIFY_PARAM_set1_host(param, name.c_str(), name.size());
}

void setTimeouts(tcp::socket& socket, int ms) {
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(socket.native_handle(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

std::string describe(const beast::error_code& ec, const char* what) {
    if (ec == net::error::would_block || ec == net::error::try_again || ec == net::error::timed_out)
        return "timed out";
    return std::string(what) + ": " + ec.message();
}

bool connectSocket(tcp::socket& socket, const FetchRequest& req, std::string& error) {
    beast::error_code ec;
    auto address = net::ip::make_address(req.host, ec);
    if (ec) {
        error = "bad host " + req.host;
        return false;
    }
    socket.connect(tcp::endpoint(address, req.port), ec);
    if (ec) {
        error = "connect: " + ec.message();
        return false;
    }
    setTimeouts(socket, req.timeoutMs);
    return true;
}

template <class Stream>
void exchange(Stream& stream, const FetchRequest& req, FetchResult& result) {
    http::request<http::string_body> request;
    request.method_string(req.method);
    request.target(req.target);
    request.version(11);
    request.set(http::field::host, req.host + ":" + std::to_string(req.port));
    for (const auto& [name, value] : req.headers) request.set(name, value);
    request.body() = req.body;
    if (!req.body.empty() || req.method == "POST" || req.method == "PUT") request.prepare_payload();
    beast::error_code ec;
    http::write(stream, request, ec);
    if (ec) {
        result.error = describe(ec, "write");
        return;
    }
    beast::flat_buffer buffer;
    http::response_parser<http::string_body> parser;
    parser.body_limit(256u << 20);
    http::read(stream, buffer, parser, ec);
    if (ec) {
        result.error = describe(ec, "read");
        return;
    }
    auto res = parser.release();
    result.status = static_cast<int>(res.result_int());
    result.body = res.body();
    for (const auto& field : res) {
        std::string name(field.name_string());
        for (char& c : name)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        result.headers.emplace_back(std::move(name), std::string(field.value()));
    }
}

}  // namespace

FetchResult fetch(const FetchRequest& req) {
    FetchResult result;
    net::io_context ioc(1);
    if (!req.tls) {
        tcp::socket socket(ioc);
        if (connectSocket(socket, req, result.error)) exchange(socket, req, result);
        return result;
    }
    ssl::context ctx(ssl::context::tls_client);
    if (!prepareTls(ctx, req, result.error)) return result;
    TlsStream stream(ioc, ctx);
    requireName(stream, req.verifyName);
    if (!connectSocket(stream.next_layer(), req, result.error)) return result;
    beast::error_code ec;
    stream.handshake(ssl::stream_base::client, ec);
    if (ec) {
        result.error = describe(ec, "handshake");
        return result;
    }
    exchange(stream, req, result);
    return result;
}

namespace {

template <class Stream>
class WsClientImpl final : public WsClient {
public:
    template <class... Args>
    explicit WsClientImpl(std::unique_ptr<ssl::context> ctx, Args&&... args)
        : ctx_(std::move(ctx)), ws_(ioc_, std::forward<Args>(args)...) {}

    websocket::stream<Stream>& stream() { return ws_; }

    bool send(const std::string& text) override {
        if (!open_) return false;
        beast::error_code ec;
        ws_.text(true);
        ws_.write(net::buffer(text), ec);
        if (ec) open_ = false;
        return !ec;
    }

    // A blocking read would ignore the socket's receive time-out (asio waits for readiness
    // without one), so the read runs asynchronously for at most `timeoutMs`. A read that timed
    // out leaves the stream unusable: the client is closed then.
    std::optional<std::string> receive(int timeoutMs) override {
        if (!open_) return std::nullopt;
        beast::flat_buffer buffer;
        beast::error_code ec;
        bool done = false;
        ws_.async_read(buffer, [&](const beast::error_code& e, std::size_t) {
            ec = e;
            done = true;
        });
        if (!run(timeoutMs)) {
            open_ = false;
            return std::nullopt;
        }
        if (ec) {
            open_ = false;
            return std::nullopt;
        }
        return beast::buffers_to_string(buffer.data());
    }

    // Runs the pending operation for at most `ms`; false (the operation cancelled, its
    // handler run) when it did not finish in time.
    bool run(int ms) {
        ioc_.restart();
        ioc_.run_for(std::chrono::milliseconds(ms));
        if (ioc_.stopped()) return true;
        beast::error_code ignored;
        beast::get_lowest_layer(ws_).cancel(ignored);
        ioc_.restart();
        ioc_.run();
        return false;
    }

    bool open_ = true;

private:
    std::unique_ptr<ssl::context> ctx_;
    net::io_context ioc_{1};
    websocket::stream<Stream> ws_;
};

template <class Client>
bool upgrade(Client& client, const FetchRequest& req, std::string& error, int* status) {
    auto& ws = client.stream();
    HeaderList headers = req.headers;
    ws.set_option(websocket::stream_base::decorator([headers](websocket::request_type& r) {
        for (const auto& [name, value] : headers) r.set(name, value);
    }));
    websocket::response_type response;
    // Asynchronous, so that a server that never answers the upgrade ends in a time-out.
    beast::error_code ec;
    bool done = false;
    ws.async_handshake(response, req.host + ":" + std::to_string(req.port), req.target,
                       [&](const beast::error_code& e) {
                           ec = e;
                           done = true;
                       });
    if (!client.run(req.timeoutMs) || !done) {
        error = "timed out";
        return false;
    }
    if (status) *status = static_cast<int>(response.result_int());
    if (ec) {
        error = describe(ec, "upgrade");
        return false;
    }
    return true;
}

}  // namespace

std::unique_ptr<WsClient> WsClient::connect(const FetchRequest& req, std::string& error, int* status) {
    if (status) *status = 0;
    if (!req.tls) {
        auto client = std::make_unique<WsClientImpl<tcp::socket>>(nullptr);
        if (!connectSocket(client->stream().next_layer(), req, error)) return nullptr;
        if (!upgrade(*client, req, error, status)) return nullptr;
        return client;
    }
    auto ctx = std::make_unique<ssl::context>(ssl::context::tls_client);
    if (!prepareTls(*ctx, req, error)) return nullptr;
    ssl::context& ctxRef = *ctx;
    auto client = std::make_unique<WsClientImpl<TlsStream>>(std::move(ctx), ctxRef);
    TlsStream& tls = client->stream().next_layer();
    requireName(tls, req.verifyName);
    if (!connectSocket(tls.next_layer(), req, error)) return nullptr;
    beast::error_code ec;
    tls.handshake(ssl::stream_base::client, ec);
    if (ec) {
        error = describe(ec, "handshake");
        return nullptr;
    }
    if (!upgrade(*client, req, error, status)) return nullptr;
    return client;
}

}  // namespace vornet::sim
