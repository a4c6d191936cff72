// A scripted HttpClient: answers from a queue of responses in order, else per path from handlers
// the test installs; records every request with the time of an injected clock. A request that
// nothing answers behaves like a port on which nothing listens.
#pragma once

#include <cstdint>
#include <deque>
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

    // Without a clock every request is recorded at time 0.
    explicit FakeHttpClient(std::function<std::int64_t()> clock = {}) : clock_(std::move(clock)) {}

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

    // Queues the answer to the next request, whatever its path; queued answers come first.
    void queue(HttpResponse response) {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(response));
    }
    void queue(std::int32_t status, std::string body = {}, std::string error = {}) {
        HttpResponse response;
        response.status = status;
        response.body = std::move(body);
        response.error = std::move(error);
        queue(std::move(response));
    }

    HttpResponse request(const HttpRequest& request) override {
        Handler handler;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back({clock_ ? clock_() : 0, request});
            if (!queue_.empty()) {
                HttpResponse next = std::move(queue_.front());
                queue_.pop_front();
                return next;
            }
            auto found = handlers_.find(request.path);
            if (found != handlers_.end()) handler = found->second;
        }
        if (handler) return handler(request);
        HttpResponse response;
        response.error = "connection refused";
        return response;
    }

    Result<std::unique_ptr<WebSocketConnection>> connectWebSocket(const HttpRequest&) override {
        return TransportFailure{"connection refused"};
    }

    // The requests in the order they came.
    std::vector<HttpRequest> requests() const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<HttpRequest> out;
        for (const auto& recorded : requests_) out.push_back(recorded.request);
        return out;
    }
    // The same with the clock's time of each.
    std::vector<RecordedRequest> recorded() const {
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
    std::deque<HttpResponse> queue_;
    std::map<std::string, Handler> handlers_;
    std::vector<RecordedRequest> requests_;
};

}  // namespace vornet::testing
