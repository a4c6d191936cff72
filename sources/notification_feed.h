// The game client's WebSocket event feed: one reader thread per client session, subscribed to
// every JSON API event, recording those for a fixed list of URIs as notification observations.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "config/config.h"
#include "core/json.h"
#include "net/http_client.h"
#include "sources/lockfile.h"
#include "sources/polling.h"

namespace vornet {

inline constexpr const char* kSubscribeMessage = "[5,\"OnJsonApiEvent\"]";
inline constexpr const char* kReaderAbandonedMessage =
    "LCU WebSocket reader did not stop; notifications disabled, polling continues";

// True for the URIs whose events are recorded.
bool isRecordedNotificationUri(const std::string& uri);

// Reader control. The host (the collector) owns the status lock and SourceState; the reader
// takes the status lock and its own connection lock, never both at once. A reader thread that
// did not stop in time is detached and keeps using this object and the host: the owner must
// then never destroy them (the collector is abandoned instead).
class NotificationReader {
public:
    NotificationReader(Config config, HttpClient& http, LocalTlsSettings tls, PollingHost& host);
    NotificationReader(const NotificationReader&) = delete;
    NotificationReader& operator=(const NotificationReader&) = delete;
    // Stops a running reader (3000 ms) like the collector's teardown.
    ~NotificationReader();

    // Starts, keeps or stops the reader for the current lockfile. Collection thread only.
    void ensureNotificationReader();
    // Stops the reader; true when it had exited within `timeoutMs`.
    bool stopNotificationReader(std::int64_t timeoutMs);
    // Records one event: the observation, the URI's counter and, for the phase URI, the phase.
    void recordNotification(const std::string& uri, const std::string& eventType, JsonValue data);

    // The steady time at which ensureNotificationReader would next start a reader that is not
    // running (starts are spaced 5 s apart); kNeverDueMs when it would not. Collection thread.
    std::int64_t nextStartMs() const;

    bool abandoned() const { return abandoned_.load(); }
    bool running() const { return running_.load(); }

private:
    void runNotificationReader(Lockfile lockfile, std::uint64_t generation);
    void handleMessage(const std::string& text);
    void setStatusIfCurrent(std::uint64_t generation, const char* status);
    bool enabled() const;

    Config config_;
    HttpClient& http_;
    LocalTlsSettings tls_;
    PollingHost& host_;

    std::atomic<bool> stopRequest_{false};
    std::atomic<bool> running_{false};
    std::atomic<bool> exited_{true};  // no reader yet counts as exited
    std::atomic<bool> abandoned_{false};
    std::atomic<std::uint64_t> generation_{0};
    std::thread thread_;                     // collection thread only
    std::optional<std::int64_t> lastStart_;  // steady ms; collection thread only
    std::string readerFingerprint_;          // collection thread only

    std::mutex connectionMutex_;  // guards connection_; never held with the status lock
    std::shared_ptr<WebSocketConnection> connection_;
};

}  // namespace vornet
