// Portable halves of the test helpers declared in upload_test_support.h.
#include <atomic>
#include <charconv>
#include <random>
#include <thread>

#include "core/text.h"
#include "tests/collector/upload_sockets.h"
#include "tests/collector/upload_test_support.h"

namespace vornet::testing {

ScopedEnvironment::ScopedEnvironment(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)), previous_(getEnv(name_)) {
    setEnvironment(name_, value);
}

ScopedEnvironment::~ScopedEnvironment() { setEnvironment(name_, previous_); }

ScratchFolder::ScratchFolder() {
    path_ = std::filesystem::temp_directory_path() / ("parlow-upl-" + randomHex(8));
    std::filesystem::create_directories(path_);
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string ScratchFolder::utf8() const {
    const std::u8string text = path_.u8string();
    return std::string(text.begin(), text.end());
}

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

struct LoopbackHttpServer::Impl {
    mutable std::mutex mutex;
    std::deque<Reply> replies;
    std::vector<ReceivedRequest> received;
    sockets::Handle listener = sockets::kInvalid;
    std::uint16_t port = 0;
    std::atomic<bool> stopping{false};
    std::thread thread;

    void serve() {
        while (!stopping.load()) {
            const sockets::Handle connection = sockets::acceptOne(listener);
            if (connection == sockets::kInvalid) break;
            if (stopping.load()) {
                sockets::closeSocket(connection);
                break;
            }
            handle(connection);
            sockets::closeSocket(connection);
        }
    }

    void handle(sockets::Handle connection) {
        std::string raw;
        std::optional<ReceivedRequest> request;
        bool complete = false;
        while (!complete) {
            if (!sockets::receiveSome(connection, raw)) break;
            request = parseRawRequest(raw, complete);
        }
        if (!complete) return;
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

LoopbackHttpServer::LoopbackHttpServer() : impl_(std::make_unique<Impl>()) {
    impl_->listener = sockets::listenLoopback(impl_->port);
    if (impl_->listener != sockets::kInvalid) {
        impl_->thread = std::thread([impl = impl_.get()] { impl->serve(); });
    }
}

LoopbackHttpServer::~LoopbackHttpServer() {
    impl_->stopping.store(true);
    if (impl_->thread.joinable()) {
        // A connection wakes the blocked accept; the loop then sees the stop flag.
        sockets::closeSocket(sockets::connectLoopback(impl_->port));
        impl_->thread.join();
    }
    sockets::closeSocket(impl_->listener);
}

std::uint16_t LoopbackHttpServer::port() const { return impl_->port; }

void LoopbackHttpServer::reply(Reply reply) {
    std::lock_guard lock(impl_->mutex);
    impl_->replies.push_back(std::move(reply));
}

std::vector<ReceivedRequest> LoopbackHttpServer::received() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->received;
}

}  // namespace vornet::testing
