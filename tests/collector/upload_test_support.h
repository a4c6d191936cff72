// Helpers shared by the enrollment, token and upload tests: a scripted HttpClient, a scoped
// environment variable, a scratch folder, and a plain-HTTP loopback server.
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "net/http_client.h"

namespace vornet::testing {

// Answers requests from a script, in order, and records every request it was given.
class ScriptedHttpClient : public HttpClient {
public:
    void answer(HttpResponse response) {
        std::lock_guard lock(mutex_);
        script_.push_back(std::move(response));
    }
    void answer(std::int32_t status, std::string body = {}, std::string error = {}) {
        HttpResponse response;
        response.status = status;
        response.body = std::move(body);
        response.error = std::move(error);
        answer(std::move(response));
    }
    HttpResponse request(const HttpRequest& request) override {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
        if (script_.empty()) {
            HttpResponse none;
            none.error = "connection refused";
            return none;
        }
        HttpResponse next = std::move(script_.front());
        script_.pop_front();
        return next;
    }
    std::unique_ptr<WebSocketConnection> connectWebSocket(const HttpRequest&, std::string& error) override {
        error = "not scripted";
        return nullptr;
    }
    std::vector<HttpRequest> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    mutable std::mutex mutex_;
    std::deque<HttpResponse> script_;
    std::vector<HttpRequest> requests_;
};

// A path object for UTF-8 path text.
inline std::filesystem::path pathOf(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// Sets (or, with nothing, removes) a process environment variable for the platform's own
// lookups; implemented per platform.
void setEnvironment(const std::string& name, const std::optional<std::string>& value);

// Sets an environment variable for one scope and restores the previous value after it.
class ScopedEnvironment {
public:
    ScopedEnvironment(std::string name, const std::optional<std::string>& value);
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
    ~ScopedEnvironment();

private:
    std::string name_;
    std::optional<std::string> previous_;
};

// A fresh folder under the temporary folder, removed with everything in it at scope end.
class ScratchFolder {
public:
    ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    ~ScratchFolder();
    const std::filesystem::path& path() const { return path_; }
    std::string utf8() const;

private:
    std::filesystem::path path_;
};

// One request as it reached the loopback server.
struct ReceivedRequest {
    std::string requestLine;
    std::vector<std::pair<std::string, std::string>> headers;  // in arrival order
    std::string body;                                           // raw bytes as sent
};

// Plain HTTP on 127.0.0.1 at an ephemeral port; answers each request with the next scripted
// status and body (Connection: close). Stops and joins its thread when destroyed.
class LoopbackHttpServer {
public:
    struct Reply {
        int status = 200;
        std::string body;
    };
    LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;
    ~LoopbackHttpServer();
    std::uint16_t port() const;
    void reply(Reply reply);
    std::vector<ReceivedRequest> received() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// Parses one raw request (headers and a Content-Length body); used by both platform servers.
std::optional<ReceivedRequest> parseRawRequest(const std::string& raw, bool& complete);

}  // namespace vornet::testing
