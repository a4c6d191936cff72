// A loopback HTTP/TLS/WebSocket server for the transport contract suite. It always runs as a
// native program, also when the suite under test is a Windows build running under wine.
//
//   transport_test_server <ports.json> [--lifetime <seconds>]
//
// At start it makes its certificates in memory, writes root.pem and other-root.pem beside
// <ports.json>, then writes <ports.json> (atomically, so a waiter sees it complete) and serves
// until killed or until the lifetime (default 1800 s) ends. Every request it reads is logged
// (listener, method, target, headers) and the log is served on the plain listener.
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <array>
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/json.h"
#include "core/text.h"
#include "net/websocket_frame.h"
#include "sim/common/signature_length.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using boost::system::error_code;

constexpr std::size_t kBigBody = 67108864;

struct LogEntry {
    std::string listener;
    std::string method;
    std::string target;
    std::vector<std::pair<std::string, std::string>> headers;
    std::uint64_t connection = 0;
};

// Every accepted connection is numbered, so that a client's reuse of connections shows.
std::atomic<std::uint64_t> nextConnection{1};
thread_local std::uint64_t currentConnection = 0;

std::mutex logLock;
std::vector<LogEntry> requestLog;
std::atomic<bool> switchServesWrongRoot{false};

void record(const std::string& listener, const std::string& method, const std::string& target,
            const http::fields& fields) {
    LogEntry entry{listener, method, target, {}, currentConnection};
    for (const auto& field : fields) entry.headers.emplace_back(field.name_string(), field.value());
    std::lock_guard<std::mutex> guard(logLock);
    requestLog.push_back(std::move(entry));
}

std::string logJson() {
    std::lock_guard<std::mutex> guard(logLock);
    std::string out = "{\"requests\":[";
    bool first = true;
    for (const LogEntry& entry : requestLog) {
        if (!first) out += ",";
        first = false;
        out += "{\"listener\":";
        vornet::appendJsonString(out, entry.listener);
        out += ",\"method\":";
        vornet::appendJsonString(out, entry.method);
        out += ",\"target\":";
        vornet::appendJsonString(out, entry.target);
        out += ",\"connection\":" + std::to_string(entry.connection);
        out += ",\"headers\":[";
        for (std::size_t i = 0; i < entry.headers.size(); ++i) {
            if (i) out += ",";
            out += "[";
            vornet::appendJsonString(out, entry.headers[i].first);
            out += ",";
            vornet::appendJsonString(out, entry.headers[i].second);
            out += "]";
        }
        out += "]}";
    }
    out += "]}";
    return out;
}

// ---- certificates ----

struct Credential {
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
};

std::string randomSerial() {
    unsigned char bytes[8];
    RAND_bytes(bytes, sizeof bytes);
    bytes[0] &= 0x7F;
    std::string hex;
    char two[3];
    for (unsigned char b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        hex += two;
    }
    return hex;
}

void addExtension(X509* cert, X509V3_CTX* ctx, int nid, const char* value) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, ctx, nid, value);
    if (!ext) {
        std::fprintf(stderr, "transport_test_server: extension %d rejected\n", nid);
        std::exit(1);
    }
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

Credential makeCredential(const char* commonName, const Credential* issuer, const char* san, long notBefore,
                          long notAfter) {
    Credential made;
    made.key = EVP_EC_gen("P-256");
    made.cert = X509_new();
    X509_set_version(made.cert, 2);
    BIGNUM* serial = nullptr;
    BN_hex2bn(&serial, randomSerial().c_str());
    BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(made.cert));
    BN_free(serial);
    X509_gmtime_adj(X509_getm_notBefore(made.cert), notBefore);
    X509_gmtime_adj(X509_getm_notAfter(made.cert), notAfter);
    X509_set_pubkey(made.cert, made.key);
    X509_NAME* name = X509_get_subject_name(made.cert);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Parlow tests"), -1, -1,
                               0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
    X509* issuerCert = issuer ? issuer->cert : made.cert;
    X509_set_issuer_name(made.cert, X509_get_subject_name(issuerCert));
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuerCert, made.cert, nullptr, nullptr, 0);
    addExtension(made.cert, &ctx, NID_subject_key_identifier, "hash");
    if (issuer) {
        addExtension(made.cert, &ctx, NID_authority_key_identifier, "keyid:always");
        addExtension(made.cert, &ctx, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(made.cert, &ctx, NID_key_usage, "critical,digitalSignature,keyEncipherment");
        addExtension(made.cert, &ctx, NID_ext_key_usage, "serverAuth");
        addExtension(made.cert, &ctx, NID_subject_alt_name, san);
    } else {
        addExtension(made.cert, &ctx, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(made.cert, &ctx, NID_key_usage, "critical,keyCertSign,cRLSign");
    }
    // ECDSA signing is randomised: signing again gives another signature of the same content.
    for (int attempt = 0; attempt <= 64; ++attempt) {
        X509_sign(made.cert, issuer ? issuer->key : made.key, EVP_sha256());
        if (vornet::sim::fullLengthSignature(made.cert)) break;
    }
    return made;
}

std::string pemOf(X509* cert) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert);
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<std::size_t>(length));
    BIO_free(bio);
    return pem;
}

std::shared_ptr<ssl::context> serverContext(const Credential& leaf) {
    auto context = std::make_shared<ssl::context>(ssl::context::tls_server);
    SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION);
    SSL_CTX_use_certificate(context->native_handle(), leaf.cert);
    SSL_CTX_use_PrivateKey(context->native_handle(), leaf.key);
    return context;
}

// ---- WebSocket framing (server side: unmasked frames out, masked frames in) ----

std::string serverFrame(bool fin, std::uint8_t opcode, const std::string& payload) {
    return vornet::encodeWebSocketFrame(opcode, fin, payload);
}

struct Frame {
    bool fin = false;
    std::uint8_t opcode = 0;
    std::string payload;
};

// Whole client frames of one connection, decoded by the transport's own frame decoder; the
// bytes the HTTP reader already took past the upgrade request are decoded first.
template <class Stream>
class FrameReader {
public:
    FrameReader(Stream& stream, beast::flat_buffer& buffer) : stream_(stream) {
        decoder_.feed(beast::buffers_to_string(buffer.data()));
        buffer.consume(buffer.size());
    }

    // False once the peer is gone, broke the protocol or sent a frame over 64 MiB.
    bool read(Frame& frame) {
        frame.payload.clear();
        for (;;) {
            vornet::WebSocketFrameEvent event = decoder_.next();
            switch (event.kind) {
                case vornet::WebSocketFrameEvent::Kind::ProtocolError:
                    return false;
                case vornet::WebSocketFrameEvent::Kind::Control:
                case vornet::WebSocketFrameEvent::Kind::Data:
                    frame.payload += event.payload;
                    if (frame.payload.size() > (64u << 20)) return false;
                    if (!event.frameEnd) continue;
                    frame.fin = event.final;
                    frame.opcode = event.opcode;
                    return true;
                case vornet::WebSocketFrameEvent::Kind::NeedMore: {
                    error_code ec;
                    const std::size_t n = stream_.read_some(asio::buffer(chunk_), ec);
                    if (ec) return false;
                    decoder_.feed(std::string_view(chunk_.data(), n));
                }
            }
        }
    }

private:
    Stream& stream_;
    vornet::WebSocketFrameDecoder decoder_;
    std::array<char, 65536> chunk_{};
};

template <class Stream>
bool writeAll(Stream& stream, const std::string& bytes) {
    error_code ec;
    asio::write(stream, asio::buffer(bytes), ec);
    return !ec;
}

std::string acceptKey(const std::string& key) {
    const std::string text = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
    return vornet::base64Encode(std::string_view(reinterpret_cast<const char*>(digest), sizeof digest));
}

std::string queryValue(const std::string& target, const std::string& name) {
    const std::size_t q = target.find('?');
    if (q == std::string::npos) return {};
    std::string query = target.substr(q + 1);
    std::size_t start = 0;
    while (start < query.size()) {
        std::size_t end = query.find('&', start);
        if (end == std::string::npos) end = query.size();
        std::string pair = query.substr(start, end - start);
        if (pair.rfind(name + "=", 0) == 0) return pair.substr(name.size() + 1);
        start = end + 1;
    }
    return {};
}

// Reads client frames until the peer closes; echoes whole text messages when `echo`.
template <class Stream>
void drainFrames(Stream& stream, beast::flat_buffer& buffer, bool echo, bool answerClose) {
    FrameReader<Stream> reader(stream, buffer);
    Frame frame;
    std::string message;
    while (reader.read(frame)) {
        if (frame.opcode == 0x8) {
            if (answerClose) writeAll(stream, serverFrame(true, 0x8, frame.payload.substr(0, 2)));
            return;
        }
        if (frame.opcode == 0x1 || frame.opcode == 0x0) {
            message += frame.payload;
            if (frame.fin) {
                if (echo) writeAll(stream, serverFrame(true, 0x1, message));
                message.clear();
            }
        }
    }
}

template <class Stream>
void serveWebSocket(Stream& stream, beast::flat_buffer& buffer, const http::request<http::string_body>& request,
                    const std::string& path) {
    if (path == "/ws/refuse" || request[http::field::sec_websocket_key].empty()) {
        http::response<http::string_body> refusal{http::status::forbidden, 11};
        refusal.body() = "no upgrade";
        refusal.prepare_payload();
        error_code ec;
        http::write(stream, refusal, ec);
        return;
    }
    const std::string upgrade =
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Accept: " +
        acceptKey(std::string(request[http::field::sec_websocket_key])) + "\r\n\r\n";
    if (!writeAll(stream, upgrade)) return;
    if (path == "/ws/ping-flood") {
        // Many pings while reading nothing, so that the client's answers stall; then a text
        // message, then the pongs are counted until the client closes, and the count logged.
        const int count = std::atoi(queryValue(std::string(request.target()), "count").c_str());
        const std::string ping = serverFrame(true, 0x9, std::string(125, 'p'));
        std::string burst;
        for (int sent = 0; sent < count;) {
            burst.clear();
            for (int i = 0; i < 1000 && sent < count; ++i, ++sent) burst += ping;
            if (!writeAll(stream, burst)) return;
        }
        if (!writeAll(stream, serverFrame(true, 0x1, "done"))) return;
        FrameReader<Stream> reader(stream, buffer);
        Frame frame;
        std::uint64_t pongs = 0;
        while (reader.read(frame)) {
            if (frame.opcode == 0xA) ++pongs;
            if (frame.opcode == 0x8) break;
        }
        record("pongs", "PONGS", std::to_string(pongs), request.base());
        return;
    }
    if (path == "/ws/echo") {
        drainFrames(stream, buffer, true, true);
    } else if (path == "/ws/fragments") {
        writeAll(stream, serverFrame(false, 0x1, "hello ") + serverFrame(false, 0x0, "wide ") +
                             serverFrame(true, 0x0, "world") + serverFrame(true, 0x1, "second"));
        drainFrames(stream, buffer, false, true);
    } else if (path == "/ws/binary-between") {
        writeAll(stream, serverFrame(false, 0x1, "partial") + serverFrame(true, 0x2, std::string("\x01\x02", 2)) +
                             serverFrame(true, 0x1, "whole") + serverFrame(true, 0x2, "bin") +
                             serverFrame(true, 0x1, "after binary"));
        drainFrames(stream, buffer, false, true);
    } else if (path == "/ws/close") {
        writeAll(stream, serverFrame(true, 0x1, "bye") + serverFrame(true, 0x8, std::string("\x03\xe8", 2)));
        drainFrames(stream, buffer, false, false);
    } else if (path == "/ws/big") {
        const std::size_t total =
            std::strtoull(queryValue(std::string(request.target()), "bytes").c_str(), nullptr, 10);
        const std::size_t piece = 1 << 20;
        std::size_t sent = 0;
        bool first = true;
        while (sent < total || first) {
            const std::size_t n = std::min(piece, total - sent);
            sent += n;
            if (!writeAll(stream, serverFrame(sent == total, first ? 0x1 : 0x0, std::string(n, 'x')))) return;
            first = false;
        }
        writeAll(stream, serverFrame(true, 0x1, "after"));
        drainFrames(stream, buffer, false, true);
    } else {
        // "/ws/silent": never says anything, not even an answer to a close.
        drainFrames(stream, buffer, false, false);
    }
}

void resetConnection(tcp::socket& socket) {
    error_code ec;
    socket.set_option(asio::socket_base::linger(true, 0), ec);
    socket.close(ec);
}

// The HTTP scenarios, the same on the plain and every TLS listener.
template <class Stream>
void serveHttp(Stream& stream, const std::string& listener, bool control) {
    static const std::string bigBody(kBigBody + 1, 'b');
    beast::flat_buffer buffer;
    for (;;) {
        http::request_parser<http::string_body> parser;
        parser.body_limit(kBigBody * 2);
        error_code ec;
        http::read(stream, buffer, parser, ec);
        if (ec) return;
        http::request<http::string_body> request = parser.release();
        const std::string target(request.target());
        const std::string path = target.substr(0, target.find('?'));
        http::response<http::string_body> response{http::status::ok, 11};
        // The switch listener changes its certificate between connections only; a kept-alive
        // connection would let a pooling client go on using the old one after the switch.
        response.keep_alive(request.keep_alive() && listener != "switch");
        if (control && path == "/__log") {
            response.body() = logJson();
        } else if (control && path == "/__clear") {
            std::lock_guard<std::mutex> guard(logLock);
            requestLog.clear();
        } else if (control && path == "/__switch") {
            switchServesWrongRoot = queryValue(target, "to") == "wrongRoot";
        } else {
            record(listener, std::string(request.method_string()), target, request.base());
            if (path.rfind("/ws/", 0) == 0) {
                serveWebSocket(stream, buffer, request, path);
                return;
            }
            if (path == "/") {
                response.body() = "root";
            } else if (path.rfind("/status/", 0) == 0) {
                const int code = std::atoi(path.c_str() + 8);
                response.result(static_cast<unsigned>(code));
                // These statuses carry no body by definition.
                if (code != 204 && code != 304 && code >= 200) response.body() = "status " + std::to_string(code);
            } else if (path == "/redirect") {
                response.result(http::status::found);
                response.set(http::field::location, "/elsewhere");
                response.body() = "moved";
            } else if (path == "/echo") {
                response.body() = request.body();
            } else if (path == "/big") {
                const bool extra = queryValue(target, "extra") == "1";
                response.body().assign(bigBody.data(), kBigBody + (extra ? 1 : 0));
                if (queryValue(target, "chunked") == "1") {
                    response.chunked(true);
                    http::write(stream, response, ec);
                    if (ec) return;
                    continue;
                }
            } else if (path == "/truncated") {
                writeAll(stream, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + std::string(50, 't'));
                error_code ignored;
                beast::get_lowest_layer(stream).shutdown(tcp::socket::shutdown_both, ignored);
                return;
            } else if (path == "/close-after") {
                // Answers as if the connection stayed open, then closes it without a word, as
                // a server does with a kept connection it considers idle.
                response.body() = "closing";
                response.keep_alive(true);
                response.prepare_payload();
                http::write(stream, response, ec);
                error_code ignored;
                beast::get_lowest_layer(stream).shutdown(tcp::socket::shutdown_both, ignored);
                // Logged once the close is out, so that a test can wait for it.
                record(listener, "CLOSED", target, request.base());
                return;
            } else if (path == "/interim") {
                // An interim answer (100 Continue, 103 Early Hints) before the real one.
                const std::string code = queryValue(target, "code");
                writeAll(stream, "HTTP/1.1 " + code + (code == "100" ? " Continue" : " Early Hints") +
                                     "\r\nLink: </style.css>; rel=preload\r\n\r\n");
                response.body() = "final";
            } else if (path == "/no-answer") {
                // Takes the request and closes without a word, as a server that handled it and
                // then failed would.
                error_code ignored;
                beast::get_lowest_layer(stream).shutdown(tcp::socket::shutdown_both, ignored);
                return;
            } else if (path == "/reset-after-header") {
                // The status line and headers, no length, then a reset before any body byte.
                writeAll(stream, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\n");
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                resetConnection(beast::get_lowest_layer(stream));
                return;
            } else if (path == "/drip") {
                // One body byte every `ms` milliseconds: each read finishes well within any
                // time-out, the whole answer does not.
                const int count = std::atoi(queryValue(target, "count").c_str());
                const int ms = std::atoi(queryValue(target, "ms").c_str());
                if (!writeAll(stream, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(count) + "\r\n\r\n"))
                    return;
                for (int i = 0; i < count; ++i) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
                    if (!writeAll(stream, "d")) return;
                }
                continue;
            } else if (path == "/reset") {
                resetConnection(beast::get_lowest_layer(stream));
                return;
            } else if (path == "/slow") {
                std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(queryValue(target, "ms").c_str())));
                response.body() = "slow";
            } else {
                response.result(http::status::not_found);
                response.body() = "not found";
            }
        }
        response.prepare_payload();
        http::write(stream, response, ec);
        if (ec || !response.keep_alive()) return;
    }
}

// A CONNECT proxy that only tunnels to loopback.
// The forging one appends a made-up answer to its own, in the same write.
void serveProxy(tcp::socket socket, bool forging) {
    beast::flat_buffer buffer;
    http::request_parser<http::empty_body> parser;
    error_code ec;
    http::read(socket, buffer, parser, ec);
    if (ec) return;
    auto request = parser.release();
    record(forging ? "forgingProxy" : "proxy", std::string(request.method_string()), std::string(request.target()),
           request.base());
    const std::string target(request.target());
    const std::size_t colon = target.rfind(':');
    std::string host = target.substr(0, colon);
    if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
    if (request.method() != http::verb::connect || colon == std::string::npos || !vornet::isLoopbackHost(host)) {
        writeAll(socket, "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n");
        return;
    }
    tcp::socket upstream(socket.get_executor());
    upstream.connect(tcp::endpoint(asio::ip::make_address(host == "localhost" ? "127.0.0.1" : host),
                                   static_cast<unsigned short>(std::atoi(target.c_str() + colon + 1))),
                     ec);
    if (ec) {
        writeAll(socket, "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n");
        return;
    }
    writeAll(socket, std::string("HTTP/1.1 200 Connection established\r\n\r\n") +
                         (forging ? "HTTP/1.1 200 OK\r\nContent-Length: 13\r\n\r\n{\"forged\":1}\r\n" : ""));
    if (buffer.size()) writeAll(upstream, beast::buffers_to_string(buffer.data()));
    auto pipe = [](tcp::socket& from, tcp::socket& to) {
        std::vector<char> chunk(65536);
        for (;;) {
            error_code e;
            std::size_t n = from.read_some(asio::buffer(chunk), e);
            if (e || !writeAll(to, std::string(chunk.data(), n))) break;
        }
        error_code ignored;
        to.shutdown(tcp::socket::shutdown_send, ignored);
    };
    std::thread back([&] { pipe(upstream, socket); });
    pipe(socket, upstream);
    back.join();
}

struct Listener {
    std::string name;
    tcp::acceptor acceptor;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: transport_test_server <ports.json> [--lifetime <seconds>]\n");
        return 2;
    }
    const std::filesystem::path jsonPath = std::filesystem::absolute(argv[1]);
    int lifetime = 1800;
    for (int i = 2; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--lifetime") lifetime = std::atoi(argv[i + 1]);

    const long day = 24 * 3600;
    Credential root = makeCredential("Parlow Test Root", nullptr, nullptr, -day, 30 * day);
    Credential otherRoot = makeCredential("Parlow Other Root", nullptr, nullptr, -day, 30 * day);
    // Wine compares host names with DNS names only, hence DNS:127.0.0.1 beside the IP entry.
    const char* loopbackNames = "DNS:localhost,DNS:127.0.0.1,IP:127.0.0.1";
    Credential good = makeCredential("localhost", &root, loopbackNames, -day, 30 * day);
    Credential foreign = makeCredential("localhost", &otherRoot, loopbackNames, -day, 30 * day);
    // The out-of-date leaves also name 127.0.0.2, an address that is not loopback by name, so
    // that the same certificates can be judged towards a host that is not the game client.
    const char* datedNames = "DNS:localhost,DNS:127.0.0.1,IP:127.0.0.1,DNS:127.0.0.2,IP:127.0.0.2";
    Credential expired = makeCredential("localhost", &root, datedNames, -30 * day, -day);
    Credential notYetValid = makeCredential("localhost", &root, datedNames, day, 30 * day);
    Credential mismatch = makeCredential("other.invalid", &root, "DNS:other.invalid", -day, 30 * day);

    auto goodContext = serverContext(good);
    auto foreignContext = serverContext(foreign);
    auto expiredContext = serverContext(expired);
    auto mismatchContext = serverContext(mismatch);
    auto notYetValidContext = serverContext(notYetValid);

    asio::io_context io;
    auto listen = [&](const std::string& name) {
        auto listener = std::make_shared<Listener>(Listener{name, tcp::acceptor(io)});
        const bool far = name.size() > 3 && name.compare(name.size() - 3, 3, "Far") == 0;
        tcp::endpoint endpoint(asio::ip::make_address(far ? "127.0.0.2" : "127.0.0.1"), 0);
        listener->acceptor.open(endpoint.protocol());
        listener->acceptor.bind(endpoint);
        listener->acceptor.listen();
        return listener;
    };
    std::vector<std::shared_ptr<Listener>> listeners;
    for (const char* name : {"plain", "tls", "wrongRoot", "expired", "mismatch", "switch", "silent", "proxy",
                             "notYetValid", "expiredFar", "notYetValidFar", "forgingProxy"})
        listeners.push_back(listen(name));

    // A port that was bound and released: nothing listens there.
    unsigned short closedPort;
    {
        tcp::acceptor probe(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
        closedPort = probe.local_endpoint().port();
    }

    const std::filesystem::path folder = jsonPath.parent_path();
    const std::string rootPem = pemOf(root.cert);
    const std::string otherRootPem = pemOf(otherRoot.cert);
    std::ofstream(folder / "root.pem", std::ios::binary) << rootPem;
    std::ofstream(folder / "other-root.pem", std::ios::binary) << otherRootPem;

    std::string json = "{";
    for (const auto& listener : listeners)
        json += "\"" + listener->name + "Port\":" + std::to_string(listener->acceptor.local_endpoint().port()) + ",";
    json += "\"closedPort\":" + std::to_string(closedPort) + ",\"rootPemFile\":";
    vornet::appendJsonString(json, (folder / "root.pem").string());
    json += ",\"otherRootPemFile\":";
    vornet::appendJsonString(json, (folder / "other-root.pem").string());
    json += ",\"rootPem\":";
    vornet::appendJsonString(json, rootPem);
    json += ",\"otherRootPem\":";
    vornet::appendJsonString(json, otherRootPem);
    json += "}\n";
    const std::filesystem::path temporary = jsonPath.string() + ".tmp";
    std::ofstream(temporary, std::ios::binary) << json;
    std::filesystem::rename(temporary, jsonPath);

    for (const auto& listener : listeners) {
        std::thread([listener, goodContext, foreignContext, expiredContext, mismatchContext, notYetValidContext] {
            const std::string& name = listener->name;
            for (;;) {
                tcp::socket socket(listener->acceptor.get_executor());
                error_code ec;
                listener->acceptor.accept(socket, ec);
                if (ec) continue;
                std::shared_ptr<ssl::context> context;
                if (name == "tls") context = goodContext;
                if (name == "wrongRoot") context = foreignContext;
                if (name == "expired" || name == "expiredFar") context = expiredContext;
                if (name == "notYetValid" || name == "notYetValidFar") context = notYetValidContext;
                if (name == "mismatch") context = mismatchContext;
                if (name == "switch") context = switchServesWrongRoot ? foreignContext : goodContext;
                std::thread([name, context, socket = std::move(socket)]() mutable {
                    currentConnection = nextConnection++;
                    // One connection's fault (a Beast precondition on an odd answer, say) must
                    // never end the server that the rest of the suite still talks to.
                    try {
                        if (name == "silent") {
                            char sink[4096];
                            error_code e;
                            while (!e) socket.read_some(asio::buffer(sink), e);
                        } else if (name == "proxy" || name == "forgingProxy") {
                            serveProxy(std::move(socket), name == "forgingProxy");
                        } else if (!context) {
                            serveHttp(socket, name, true);
                        } else {
                            ssl::stream<tcp::socket> stream(std::move(socket), *context);
                            error_code e;
                            stream.handshake(ssl::stream_base::server, e);
                            if (!e) serveHttp(stream, name, false);
                        }
                    } catch (const std::exception& fault) {
                        std::fprintf(stderr, "transport_test_server: %s connection: %s\n", name.c_str(), fault.what());
                    }
                }).detach();
            }
        }).detach();
    }
    std::this_thread::sleep_for(std::chrono::seconds(lifetime));
    std::fprintf(stderr, "transport_test_server: lifetime over\n");
    return 0;
}
