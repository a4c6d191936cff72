// A scripted HttpClient: answers per path from handlers the test installs, and records every
// request with the time of an injected clock.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/http_client.h"

namespace vornet::testing {

struct RecordedRequest {
    std::int64_t at = 0;
    HttpRequest request;
};

class FakeHttpClient : public HttpClient {
public:
    using Handler = std::function<HttpResponse(const HttpRequest&)>;

    explicit FakeHttpClient(std::function<std::int64_t()> clock) : clock_(std::move(clock)) {}

    // Answers requests for `path` (any port) with the handler's result.
    void on(const std::string& path, Handler handler) {
        std::lock_guard<std::mutex> lock(mutex_);
        handlers_[path] = std::move(handler);
    }
    void answer(const std::string& path, std::int32_t status, std::string body) {
        on(path, [status, body](const HttpRequest&) {
            HttpResponse response;
            response.status = status;
            response.body = body;
            return response;
        });
    }
    void fail(const std::string& path, std::string error, bool tlsFailure) {
        on(path, [error, tlsFailure](const HttpRequest&) {
            HttpResponse response;
            response.error = error;
            response.tlsFailure = tlsFailure;
            return response;
        });
    }

    HttpResponse request(const HttpRequest& request) override {
        Handler handler;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back({clock_(), request});
            auto found = handlers_.find(request.path);
            if (found != handlers_.end()) handler = found->second;
        }
        if (handler) return handler(request);
        // Unscripted paths behave like a port on which nothing listens.
        HttpResponse response;
        response.error = "connection refused";
        return response;
    }

    std::unique_ptr<WebSocketConnection> connectWebSocket(const HttpRequest&, std::string& error) override {
        error = "connection refused";
        return nullptr;
    }

    std::vector<RecordedRequest> requests() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }
    std::vector<std::int64_t> timesOf(const std::string& path) const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::int64_t> times;
        for (const auto& recorded : requests_) {
            if (recorded.request.path == path) times.push_back(recorded.at);
        }
        return times;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.clear();
    }

private:
    std::function<std::int64_t()> clock_;
    mutable std::mutex mutex_;
    std::map<std::string, Handler> handlers_;
    std::vector<RecordedRequest> requests_;
};

}  // namespace vornet::testing
