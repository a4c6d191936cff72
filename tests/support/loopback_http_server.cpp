#include <atomic>
#include <charconv>
#include <random>
#include <thread>

#include "core/text.h"
#include "tests/support/loopback_http_server.h"
#include "tests/support/loopback_sockets.h"

namespace vornet::testing {

std::optional<ReceivedRequest> parseRawRequest(const std::string& raw, bool& complete) {
    complete = false;
    const std::size_t headerEnd = raw.find("\r\n\r\n");
    if (headerEnd == std::string::npos) {
        return std::nullopt;
    }
    ReceivedRequest request;
    std::size_t lineStart = 0;
    std::size_t contentLength = 0;
    bool first = true;
    while (lineStart < headerEnd) {
        std::size_t lineEnd = raw.find("\r\n", lineStart);
        const std::string line = raw.substr(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 2;
        if (first) {
            request.requestLine = line;
            first = false;
            continue;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = line.substr(0, colon);
        std::string value = trimAscii(line.substr(colon + 1));
        if (asciiLower(name) == "content-length") {
            std::from_chars(value.data(), value.data() + value.size(), contentLength);
        }
        request.headers.emplace_back(std::move(name), std::move(value));
    }
    const std::size_t bodyStart = headerEnd + 4;
    if (raw.size() < bodyStart + contentLength) {
        return request;
    }
    request.body = raw.substr(bodyStart, contentLength);
    complete = true;
    return request;
}

ScriptedLoopbackServer::ScriptedLoopbackServer(Answer answer) : answer_(std::move(answer)) {
    listener_ = sockets::listenLoopback(port_);
    if (listener_ != sockets::kInvalid) thread_ = std::thread([this] { serve(); });
}

ScriptedLoopbackServer::~ScriptedLoopbackServer() {
    stopping_.store(true);
    if (thread_.joinable()) {
        // A connection wakes the blocked accept; the loop then sees the stop flag.
        sockets::closeSocket(sockets::connectLoopback(port_));
        thread_.join();
    }
    sockets::closeSocket(listener_);
}

std::vector<std::string> ScriptedLoopbackServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void ScriptedLoopbackServer::serve() {
    while (!stopping_.load()) {
        const sockets::Handle connection = sockets::acceptOne(listener_);
        if (connection == sockets::kInvalid) break;
        if (stopping_.load()) {
            sockets::closeSocket(connection);
            break;
        }
        ++connections_;
        std::string raw;
        bool complete = false;
        while (!complete) {
            if (!sockets::receiveSome(connection, raw)) break;
            parseRawRequest(raw, complete);
        }
        if (complete) {
            {
                std::lock_guard lock(mutex_);
                requests_.push_back(raw);
            }
            answer_(connection, raw);
        }
        sockets::closeSocket(connection);
    }
}

struct LoopbackHttpServer::Impl {
    mutable std::mutex mutex;
    std::deque<Reply> replies;
    std::vector<ReceivedRequest> received;
    // Last: its thread, which uses the members above, is joined first.
    ScriptedLoopbackServer server{
        [this](sockets::Handle connection, const std::string& raw) { handle(connection, raw); }};

    void handle(sockets::Handle connection, const std::string& raw) {
        bool complete = false;
        std::optional<ReceivedRequest> request = parseRawRequest(raw, complete);
        Reply reply;
        {
            std::lock_guard lock(mutex);
            received.push_back(*request);
            if (!replies.empty()) {
                reply = std::move(replies.front());
                replies.pop_front();
            } else {
                reply.status = 500;
                reply.body = "no reply scripted";
            }
        }
        std::string answer = "HTTP/1.1 " + std::to_string(reply.status) + " Scripted\r\n";
        answer += "Content-Type: application/json\r\nConnection: close\r\n";
        answer += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n\r\n";
        answer += reply.body;
        sockets::sendAll(connection, answer);
    }
};

LoopbackHttpServer::LoopbackHttpServer() : impl_(std::make_unique<Impl>()) {}

LoopbackHttpServer::~LoopbackHttpServer() = default;

std::uint16_t LoopbackHttpServer::port() const {
    return impl_->server.port();
}

void LoopbackHttpServer::reply(Reply reply) {
    std::lock_guard lock(impl_->mutex);
    impl_->replies.push_back(std::move(reply));
}

std::vector<ReceivedRequest> LoopbackHttpServer::received() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->received;
}

}  // namespace vornet::testing
