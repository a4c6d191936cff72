#include "sources/notification_feed.h"

#include "sources/feed_message.h"

#include <array>
#include <chrono>
#include <new>
#include <string_view>

#include "collector/observation.h"

namespace vornet {

namespace {

constexpr std::array<std::string_view, 8> kRecordedUris = {
    "/lol-gameflow/v1/gameflow-phase",
    "/lol-gameflow/v1/session",
    "/lol-lobby/v2/lobby",
    "/lol-lobby/v2/lobby/members",
    "/lol-lobby/v2/lobby/matchmaking/search-state",
    "/lol-champ-select/v1/session",
    "/lol-champ-select/v1/session/timer",
    "/lol-end-of-game/v1/eog-stats-block",
};

constexpr std::int64_t kStartSpacingMs = 5000;

}  // namespace

bool isRecordedNotificationUri(const std::string& uri) {
    for (std::string_view u : kRecordedUris)
        if (u == uri) return true;
    return false;
}

NotificationReader::NotificationReader(Config config, HttpClient& http, LocalTlsSettings tls, PollingHost& host)
    : config_(std::move(config)), http_(http), tls_(std::move(tls)), host_(host) {}

NotificationReader::~NotificationReader() {
    stopNotificationReader(3000);
    // A reader still running here was detached by the stop above; the owner abandons rather
    // than destroys in that case, so reaching this point with one is a programming error that
    // must not turn into a crash in std::thread's destructor.
    if (thread_.joinable()) thread_.detach();
}

bool NotificationReader::enabled() const {
    return config_.lcuWebSocket && config_.lcu && tls_.configured && !abandoned_.load();
}

void NotificationReader::ensureNotificationReader() {
    if (!enabled()) return;
    std::optional<Lockfile> lockfile;
    {
        auto state = host_.sourceState().lock();
        lockfile = state->lockfile;
    }
    if (running_.load()) {
        if (lockfile && lockfile->fingerprint == readerFingerprint_) return;
        stopNotificationReader(3000);
    }
    if (running_.load() || !lockfile || abandoned_.load()) return;

    std::int64_t now = host_.steadyNowMs();
    if (lastStart_ && now - *lastStart_ < kStartSpacingMs) return;
    lastStart_ = now;
    if (thread_.joinable()) thread_.join();
    stopRequest_ = false;
    running_ = true;
    exited_ = false;
    readerFingerprint_ = lockfile->fingerprint;
    std::uint64_t generation = ++generation_;
    thread_ = std::thread([this, lf = *lockfile, generation]() mutable {
        // A message too large for the memory left ends this reader, not the process.
        try {
            runNotificationReader(std::move(lf), generation);
        } catch (const std::bad_alloc&) {
            {
                auto state = host_.sourceState().lock();
                state->lastError = "LCU WebSocket: out of memory";
            }
            {
                std::lock_guard<std::mutex> lock(connectionMutex_);
                connection_.reset();
            }
            setStatusIfCurrent(generation, "unavailable");
        }
    });
}

std::int64_t NotificationReader::nextStartMs() const {
    if (!enabled() || running_.load() || !lastStart_) return kNeverDueMs;
    {
        // Without a client session no reader is started, however long ago the last one was.
        auto state = host_.sourceState().lock();
        if (!state->lockfile) return kNeverDueMs;
    }
    return *lastStart_ + kStartSpacingMs;
}

void NotificationReader::setStatusIfCurrent(std::uint64_t generation, const char* status) {
    if (generation_.load() != generation) return;
    {
        auto state = host_.sourceState().lock();
        state->lcuNotifications = status;
    }
    running_ = false;
    exited_ = true;
    // The phase endpoints go back to their faster interval, and a new reader may be due.
    host_.wakeCollection();
}

void NotificationReader::runNotificationReader(Lockfile lockfile, std::uint64_t generation) {
    HttpRequest request = vornet::loopbackGet(tls_, lockfile.port, "/");
    request.headers.emplace_back("Authorization", lcuAuthorization(lockfile.password));
    Result<std::unique_ptr<WebSocketConnection>> opened = http_.connectWebSocket(request);
    if (!opened) {
        if (!opened.failure().error.empty()) {
            auto state = host_.sourceState().lock();
            state->lastError = "LCU WebSocket: " + opened.failure().error;
        }
        setStatusIfCurrent(generation, "unavailable");
        return;
    }
    std::shared_ptr<WebSocketConnection> connection(std::move(opened.value()));
    {
        std::lock_guard<std::mutex> lock(connectionMutex_);
        connection_ = connection;
    }
    if (!stopRequest_.load() && connection->send(kSubscribeMessage)) {
        {
            auto state = host_.sourceState().lock();
            state->lcuNotifications = "connected";
        }
        host_.wakeCollection();
    }
    while (!stopRequest_.load()) {
        std::optional<std::string> message = connection->receive();
        if (!message) break;
        handleMessage(*message);
    }
    connection->close();
    {
        std::lock_guard<std::mutex> lock(connectionMutex_);
        if (connection_ == connection) connection_.reset();
    }
    setStatusIfCurrent(generation, "not_connected");
}

void NotificationReader::handleMessage(const std::string& text) {
    std::optional<FeedMessageEvent> event = parseFeedMessage(text);
    if (event) recordNotification(event->uri, event->eventType, std::move(event->data));
}

void NotificationReader::recordNotification(const std::string& uri, const std::string& eventType, JsonValue data) {
    Observation observation;
    observation.observedAt = host_.wallNowMs();
    observation.api = "lcu";
    observation.endpoint = uri;
    observation.kind = ObservationKind::Notification;
    observation.notificationType = eventType;
    observation.status = 200;
    redactSecrets(data);
    observation.payload = writeJson(data);
    // The counter and the enqueue are seen together by a REST poll's staleness test.
    auto state = host_.sourceState().lock();
    ++state->notificationCounters[uri];
    const bool phaseChanged =
        uri == kGameflowPhasePath && data.kind == JsonKind::String && state->gameflowPhase != data.text;
    if (phaseChanged) state->gameflowPhase = data.text;
    host_.enqueue(std::move(observation), state);
    // The new phase's endpoints are due at their own interval from now on, not at the next
    // due time of the old phase.
    if (phaseChanged) host_.wakeCollection();
}

bool NotificationReader::stopNotificationReader(std::int64_t timeoutMs) {
    stopRequest_ = true;
    {
        std::lock_guard<std::mutex> lock(connectionMutex_);
        if (connection_) connection_->close();
    }
    // Real time, not the injected clock: this bounds how long the caller is blocked.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!exited_.load() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    bool exited = exited_.load();
    if (thread_.joinable()) {
        if (exited) {
            thread_.join();
        } else {
            thread_.detach();
            abandoned_ = true;
            auto state = host_.sourceState().lock();
            state->lcuNotifications = "abandoned";
            state->lastError = kReaderAbandonedMessage;
        }
    }
    running_ = false;
    return exited;
}

}  // namespace vornet
