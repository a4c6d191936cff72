// The collector of one enrolled PC: configuration, clocks, buffer, the state shared by the
// sources, and the two thread bodies (collection and upload) with the status snapshot.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "collector/buffer.h"
#include "collector/enroll.h"
#include "collector/observation.h"
#include "collector/upload.h"
#include "config/config.h"
#include "core/json.h"
#include "core/secret_string.h"
#include "net/http_client.h"
#include "sources/lockfile.h"
#include "sources/notification_feed.h"
#include "sources/polling.h"

namespace vornet {

struct CollectorClocks {
    std::function<std::int64_t()> wallNowMs;    // Unix ms
    std::function<std::int64_t()> steadyNowMs;  // monotonic ms
    static CollectorClocks system();
};

using LockfileSupplier = std::function<std::optional<Lockfile>()>;
using SharedFlag = std::shared_ptr<std::atomic<bool>>;
SharedFlag makeFlag(bool value = false);

// Lets a thread sleep until its next due time and still react at once to a stop, a resume or
// a change made by another thread: each of those notifies it.
class Wakeup {
public:
    void notify();
    // Waits up to `ms` or until notified, and takes the notification: a notification made
    // while the thread was busy ends its next wait at once, and only that one.
    void waitFor(std::int64_t ms);

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool notified_ = false;
};
using SharedWakeup = std::shared_ptr<Wakeup>;

class Collector;

// Heap records owned by the thread that runs them. The flags are shared with the owner, so a
// detached thread keeps them alive.
struct CollectionContext {
    Collector* collector = nullptr;
    SharedFlag stop, paused, collectionDone, feedStopped;
    SharedWakeup wake = std::make_shared<Wakeup>();
};
struct UploadThreadContext {
    Collector* collector = nullptr;
    std::uint32_t batchIntervalMs = 250;
    std::uint32_t maxBatchSize = 64;
    SharedFlag stop, uploadDone;
    SharedWakeup wake = std::make_shared<Wakeup>();
    SharedWakeup pushed = std::make_shared<Wakeup>();  // each push into the buffer, and the stop
};

// Lock order: the status lock may be held while enqueue() takes the capture lock or the
// buffer lock; the capture and buffer locks are never held together; nothing takes the status
// lock while holding another collector lock. The callback lock is always taken alone. The
// notification reader's connection lock is never held with any of these.
class Collector final : public PollingHost {
public:
    using UploadResult = vornet::UploadResult;

    // `http` is owned by the caller and must outlive the collector.
    Collector(Config config, HttpClient* http, std::string token, LockfileSupplier discover, CollectorClocks clocks);
    // Stops the notification reader (3000 ms) and closes the capture file.
    ~Collector() override;

    void setUploadCallback(UploadCallback callback);
    // The status snapshot: a JSON object with fixed keys in a fixed order.
    JsonValue status();

    // PollingHost
    std::int64_t wallNowMs() override;
    std::int64_t steadyNowMs() override;
    Guarded<SourceState>& sourceState() override { return state_; }
    void enqueue(Observation observation) override;
    void enqueue(Observation observation, const Guarded<SourceState>::Locked& statusLock) override;
    std::optional<Lockfile> discoverLockfile() override;
    void recordCollectorStatus() override;
    void wakeCollection() override;

    // One polling pass, the reader control and one upload step.
    void collectOnce();
    // The steady time of the collection thread's next step: the earliest due endpoint, the
    // next notification reader start or the next status record; kNeverDueMs when none is.
    std::int64_t nextCollectionDueMs();
    // Steps the collection thread has taken (each a polling pass or a pause check).
    std::uint64_t collectionSteps() const { return collectionSteps_.load(); }
    // What wakes the collection thread: the stop, a resume and the notification feed.
    const SharedWakeup& collectionWakeup() const { return collectionWake_; }
    // Steps the upload thread has taken (each an upload attempt before a wait).
    std::uint64_t uploadSteps() const { return uploadSteps_.load(); }
    // Notified by each push into the buffer: what wakes an upload thread with nothing to send.
    const SharedWakeup& pushWakeup() const { return pushWake_; }
    // A game client session or an in-game API is being polled.
    bool clientKnown();
    void ensureNotificationReader();
    bool stopNotificationReader(std::int64_t timeoutMs);
    bool uploadOnce();

    static void collectionThreadMain(std::unique_ptr<CollectionContext> context);
    static void uploadThreadMain(std::unique_ptr<UploadThreadContext> context);

    const std::string& bootId() const { return bootId_; }
    const Config& config() const { return config_; }
    const std::string& capturePath() const { return capturePath_; }
    std::uint64_t pendingCount() const { return buffer_.pendingCount(); }
    const LocalTlsSettings& localTls() const { return localTls_; }

private:
    Config config_;
    HttpClient* http_;
    SecretString token_;
    LockfileSupplier discover_;
    CollectorClocks clocks_;
    std::string bootId_;
    ObservationBuffer buffer_;
    LocalTlsSettings localTls_;
    ServerTls serverTls_;

    Guarded<SourceState> state_;  // the status lock and what it guards

    // Status-record memory: collection thread only.
    std::string lastStatusKey_;
    std::int64_t lastStatusAt_ = 0;

    std::atomic<std::uint32_t> authFailures_{0};

    std::mutex callbackMutex_;
    UploadCallback uploadCallback_;

    std::mutex captureMutex_;
    std::ofstream capture_;
    std::string capturePath_;

    SharedWakeup collectionWake_ = std::make_shared<Wakeup>();
    std::atomic<std::uint64_t> collectionSteps_{0};
    SharedWakeup pushWake_ = std::make_shared<Wakeup>();
    std::atomic<std::uint64_t> uploadSteps_{0};
    Poller poller_;
    NotificationReader reader_;
    UploadContext uploadContext_;
};

// Runs a collector's two threads and carries out the start/stop protocol. Owns the HTTP client
// and the collector; when a thread does not stop in time both are abandoned (never destroyed,
// since a detached thread may still use them).
class CollectorRun {
public:
    CollectorRun(std::unique_ptr<HttpClient> http, std::unique_ptr<Collector> collector, SharedFlag paused);
    CollectorRun(const CollectorRun&) = delete;
    CollectorRun& operator=(const CollectorRun&) = delete;
    // Stops with the normal time limits unless stop() was called.
    ~CollectorRun();

    // Waits for the collection thread up to 2500 ms (1000 ms when the session is ending) and
    // for the upload thread up to 2500 ms (500 ms). True when both ended and the feed reader
    // stopped, so the collector was destroyed; false when they were abandoned.
    bool stop(bool sessionEnding = false);

    // Sets the shared paused flag and wakes the collection thread, so that a resume starts
    // polling at once and a pause stops the notification reader at once.
    void setPaused(bool paused);

    // Valid until stop() destroyed it.
    Collector& collector() { return collector_ ? *collector_ : *abandoned_; }
    bool stopped() const { return stopped_; }

private:
    std::unique_ptr<HttpClient> http_;
    std::unique_ptr<Collector> collector_;
    SharedFlag stop_ = makeFlag(), paused_, collectionDone_ = makeFlag(), uploadDone_ = makeFlag(),
               feedStopped_ = makeFlag();
    SharedWakeup uploadWake_ = std::make_shared<Wakeup>();
    SharedWakeup collectionWake_;
    std::thread collectionThread_;
    std::thread uploadThread_;
    bool stopped_ = false;
    bool stoppedCleanly_ = false;
    // Kept only so that an abandoned collector stays reachable (and visibly leaked on purpose).
    Collector* abandoned_ = nullptr;
    HttpClient* abandonedHttp_ = nullptr;
};

}  // namespace vornet
