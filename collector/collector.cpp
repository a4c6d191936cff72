#include "collector/collector.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <new>
#include <random>
#include <thread>

#include "core/files.h"
#include "core/text.h"

namespace vornet {

namespace {

using Lock = std::lock_guard<std::mutex>;
using std::chrono::milliseconds;

constexpr std::int64_t kStatusRepeatMs = 300000;
constexpr std::int64_t kFinalFlushMs = 2500;
// The longest wait while nothing is due (collection off, or paused): a resume or a stop ends
// it at once, so this only bounds how long a lost notification could go unnoticed.
constexpr std::int64_t kLongestWaitMs = 5000;
// Only a push or the stop gives an idle upload thread something to do; the bound is a formality.
constexpr std::int64_t kIdleUploadWaitMs = 3600000;

// Uniform in [0, 1) from a per-thread Mersenne Twister: 53 random bits from two draws.
double threadRandom() {
    thread_local std::mt19937 engine{std::random_device{}()};
    std::uint64_t a = engine() >> 5;
    std::uint64_t b = engine() >> 6;
    return (static_cast<double>(a) * 67108864.0 + static_cast<double>(b)) / 9007199254740992.0;
}

std::filesystem::path fsPath(const std::string& utf8) {
    return std::filesystem::path(std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

// Waits on real time (not the injected clocks): these bound how long a caller is blocked.
bool waitForFlag(const std::atomic<bool>& flag, std::int64_t timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + milliseconds(timeoutMs);
    while (!flag.load()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(milliseconds(20));
    }
    return true;
}

}  // namespace

CollectorClocks CollectorClocks::system() {
    return CollectorClocks{[] { return nowUnixMs(); }, [] { return vornet::steadyNowMs(); }};
}

SharedFlag makeFlag(bool value) {
    return std::make_shared<std::atomic<bool>>(value);
}

Collector::Collector(Config config, HttpClient* http, std::string token, LockfileSupplier discover,
                     CollectorClocks clocks)
    : config_(std::move(config)),
      http_(http),
      token_(std::move(token)),
      discover_(std::move(discover)),
      clocks_(std::move(clocks)),
      bootId_("boot_" + randomHex(8)),
      buffer_(BufferLimits{config_.maxObservations, config_.maxBytes, static_cast<std::int32_t>(config_.maxAgeSeconds)},
              config_.maxBatchSize, clocks_.wallNowMs, clocks_.steadyNowMs, threadRandom),
      localTls_(makeLocalTlsSettings(config_)),
      poller_(config_, *http_, localTls_, *this),
      reader_(config_, *http_, localTls_, *this),
      uploadContext_{buffer_,
                     *http_,
                     config_,
                     serverTls_,
                     token_.str(),
                     bootId_,
                     clocks_.wallNowMs,
                     authFailures_,
                     [this](const std::string& message) { state_.lock()->lastError = message; },
                     [this] {
                         Lock lock(callbackMutex_);
                         return uploadCallback_;
                     }} {
    buffer_.setPushObserver([wake = pushWake_] { wake->notify(); });
    std::string serverTlsError;
    serverTls_ = serverTlsSettings(config_, serverTlsError);
    {
        auto state = state_.lock();
        state->lcuNotifications = config_.lcuWebSocket ? "not_connected" : "disabled";
        if (!localTls_.configured) state->lastError = localTls_.error;
        if (!serverTlsError.empty()) state->lastError = serverTlsError;
    }

    if (!config_.captureDir.empty()) {
        // Personal game data: the folder (when made here) and the file are the user's alone,
        // and the file is created new, so a link planted under its name is never followed.
        createPrivateFolders(config_.captureDir);
        capturePath_ = joinPath(config_.captureDir, "capture-" + bootId_ + ".jsonl");
        if (createPrivateFile(capturePath_))
            capture_.open(fsPath(capturePath_), std::ios::out | std::ios::app | std::ios::binary);
        if (!capture_.is_open()) capturePath_.clear();
    }
}

Collector::~Collector() {
    reader_.stopNotificationReader(3000);
    Lock lock(captureMutex_);
    if (capture_.is_open()) capture_.close();
}

std::int64_t Collector::wallNowMs() {
    return clocks_.wallNowMs();
}
std::int64_t Collector::steadyNowMs() {
    return clocks_.steadyNowMs();
}

std::optional<Lockfile> Collector::discoverLockfile() {
    if (!discover_) return std::nullopt;
    return discover_();
}

void Collector::setUploadCallback(UploadCallback callback) {
    Lock lock(callbackMutex_);
    uploadCallback_ = std::move(callback);
}

void Collector::enqueue(Observation observation) {
    if (capture_.is_open()) {
        std::string line;
        line.reserve(256 + observation.payload.size());
        appendObservationJson(line, observation);
        line.push_back('\n');
        Lock lock(captureMutex_);
        capture_.write(line.data(), static_cast<std::streamsize>(line.size()));
        capture_.flush();
    }
    buffer_.push(std::move(observation));
}

void Collector::enqueue(Observation observation, const Guarded<SourceState>::Locked&) {
    enqueue(std::move(observation));
}

void Collector::recordCollectorStatus() {
    std::string lcu, liveClient;
    {
        auto state = state_.lock();
        if (state->leagueClient == LeagueClientStatus::Unknown) return;
        lcu = state->leagueClient == LeagueClientStatus::Connected ? "connected" : "unavailable";
        liveClient = state->liveGame == LiveGameStatus::Available ? "available" : "unavailable";
    }
    std::string key = lcu + "|" + liveClient;
    std::int64_t now = clocks_.steadyNowMs();
    if (key == lastStatusKey_ && (buffer_.pendingCount() > 0 || now - lastStatusAt_ < kStatusRepeatMs)) return;
    lastStatusKey_ = key;
    lastStatusAt_ = now;
    Observation observation;
    observation.observedAt = clocks_.wallNowMs();
    observation.api = "collector";
    observation.endpoint = "/collector/status";
    observation.status = 200;
    JsonValue payload = JsonValue::object();
    payload.set("lcu", JsonValue(lcu));
    payload.set("liveClient", JsonValue(liveClient));
    observation.payload = writeJson(payload);
    enqueue(std::move(observation));
}

JsonValue Collector::status() {
    BufferStats stats = buffer_.stats();
    JsonValue s = JsonValue::object();
    // Built once a second by the refresh: room taken once, and every key below is new, so
    // members are appended without looking for an earlier one of the same name.
    s.members.reserve(26);
    auto put = [&s](const char* key, JsonValue value) { s.members.push_back(JsonMember{key, std::move(value)}); };
    put("collectorVersion", JsonValue(kCollectorVersion));
    put("collectorId", JsonValue(config_.id));
    put("bootId", JsonValue(bootId_));
    put("server", JsonValue(config_.host + ":" + std::to_string(config_.port)));
    const char* connection;
    if (stats.lastSuccessUnixMs)
        connection = stats.consecutiveFailures > 0 ? "retrying" : "connected";
    else
        connection = stats.consecutiveFailures > 0 ? "failing" : "not_yet_connected";
    put("serverConnection", JsonValue(connection));
    put("collectionActive", JsonValue(config_.enabled && config_.collectionEnabled));
    std::string collectorError;
    {
        auto state = state_.lock();
        put("leagueClient", JsonValue(std::string(statusWord(state->leagueClient))));
        put("lcuNotifications", JsonValue(state->lcuNotifications));
        put("gameflowPhase", state->gameflowPhase.empty() ? JsonValue() : JsonValue(state->gameflowPhase));
        put("liveGame", JsonValue(std::string(statusWord(state->liveGame))));
        collectorError = state->lastError;
    }
    put("pendingObservations", JsonValue(stats.pendingObservations));
    put("droppedObservations", JsonValue(stats.droppedObservations));
    put("sentBatches", JsonValue(stats.sentBatches));
    if (stats.lastSuccessUnixMs) {
        put("lastSuccessfulTransmission", JsonValue(formatIsoUtc(*stats.lastSuccessUnixMs)));
        put("lastSuccessUnixMs", JsonValue(*stats.lastSuccessUnixMs));
    } else {
        put("lastSuccessfulTransmission", JsonValue());
        put("lastSuccessUnixMs", JsonValue());
    }
    put("consecutiveFailures", JsonValue(std::uint64_t{stats.consecutiveFailures}));
    put("rejectedBatches", JsonValue(stats.rejectedBatches));
    put("consecutiveRejected", JsonValue(std::uint64_t{stats.consecutiveRejected}));
    put("authFailures", JsonValue(std::uint64_t{authFailures_.load()}));
    if (!stats.lastError.empty())
        put("lastError", JsonValue(stats.lastError));
    else if (!collectorError.empty())
        put("lastError", JsonValue(collectorError));
    else
        put("lastError", JsonValue());
    put("abandonedDropRanges", JsonValue(stats.abandonedDropRanges));
    put("lostDropRanges", JsonValue(stats.lostDropRanges));
    put("unreportedDrops", JsonValue(stats.unreportedDrops));
    return s;
}

void Collector::collectOnce() {
    poller_.collectOnce();
}

void Collector::wakeCollection() {
    collectionWake_->notify();
}

std::int64_t Collector::nextCollectionDueMs() {
    std::int64_t next = std::min(poller_.nextDueMs(), reader_.nextStartMs());
    // The status record repeats after 5 minutes without a change, but only into an empty
    // buffer: while observations wait, the steps that run anyway look again.
    if (!lastStatusKey_.empty() && buffer_.pendingCount() == 0) next = std::min(next, lastStatusAt_ + kStatusRepeatMs);
    return next;
}

bool Collector::clientKnown() {
    auto state = state_.lock();
    return state->lockfile.has_value() || state->liveGame == LiveGameStatus::Available;
}
void Collector::ensureNotificationReader() {
    reader_.ensureNotificationReader();
}
bool Collector::stopNotificationReader(std::int64_t timeoutMs) {
    return reader_.stopNotificationReader(timeoutMs);
}
bool Collector::uploadOnce() {
    return vornet::uploadOnce(uploadContext_);
}

void Wakeup::notify() {
    {
        Lock lock(mutex_);
        notified_ = true;
    }
    cv_.notify_all();
}

void Wakeup::waitFor(std::int64_t ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, milliseconds(ms), [this] { return notified_; });
    notified_ = false;
}

void Collector::collectionThreadMain(std::unique_ptr<CollectionContext> context) {
    Collector& collector = *context->collector;
    bool pauseSeen = false;
    while (!context->stop->load()) {
        collector.collectionSteps_.fetch_add(1, std::memory_order_relaxed);
        std::int64_t next = kNeverDueMs;
        if (!context->paused->load()) {
            // An answer too large for the memory left must cost this pass, not the thread
            // (an exception leaving a thread body ends the process).
            try {
                collector.collectOnce();
                if (context->stop->load()) break;
                collector.ensureNotificationReader();
            } catch (const std::bad_alloc&) {
                collector.sourceState().lock()->lastError = "out of memory";
            }
            pauseSeen = false;
            next = collector.nextCollectionDueMs();
        } else if (!pauseSeen) {
            collector.stopNotificationReader(3000);
            pauseSeen = true;
        }
        // Sleep until the next step has something to do: nothing is asked later than its
        // interval, and an idle collector wakes only for its discovery. A stop, a resume or a
        // change from the notification feed ends the wait at once.
        const std::int64_t now = collector.steadyNowMs();
        // At least 1 ms, so that a due time that a step did not move can never spin the thread.
        const std::int64_t waitMs =
            next == kNeverDueMs ? kLongestWaitMs : std::clamp<std::int64_t>(next - now, 1, kLongestWaitMs);
        context->wake->waitFor(waitMs);
    }
    context->feedStopped->store(collector.stopNotificationReader(1000));
    context->collectionDone->store(true);
}

void Collector::uploadThreadMain(std::unique_ptr<UploadThreadContext> context) {
    Collector& collector = *context->collector;
    auto uploadStep = [&collector]() -> bool {
        // The upload step settles its batch even when compression fails; an exception from
        // anywhere else must not end the thread (and with it every later upload).
        try {
            return collector.uploadOnce();
        } catch (const std::exception&) {
            return false;
        }
    };
    while (!context->stop->load()) {
        collector.uploadSteps_.fetch_add(1, std::memory_order_relaxed);
        if (uploadStep() && collector.pendingCount() >= context->maxBatchSize) continue;
        // With nothing queued and no report owed, only a push brings work: sleep until one
        // (or the stop) instead of looking every interval. What it brings then waits one
        // interval, as it did at most before.
        while (!context->stop->load() && collector.buffer_.idle()) context->pushed->waitFor(kIdleUploadWaitMs);
        if (context->stop->load()) break;
        // The interval may be up to a minute: a stop ends the wait at once, so the thread is
        // not given up by the stop protocol while it merely waits.
        context->wake->waitFor(context->batchIntervalMs);
    }
    BufferStats stats = collector.buffer_.stats();
    if (stats.lastSuccessUnixMs && *stats.lastSuccessUnixMs > 0 && stats.consecutiveFailures == 0) {
        auto deadline = std::chrono::steady_clock::now() + milliseconds(kFinalFlushMs);
        while (std::chrono::steady_clock::now() < deadline) {
            if (collector.pendingCount() == 0) break;
            if (!uploadStep()) std::this_thread::sleep_for(milliseconds(150));
        }
    }
    context->uploadDone->store(true);
}

// ---------------------------------------------------------------------------------------------

CollectorRun::CollectorRun(std::unique_ptr<HttpClient> http, std::unique_ptr<Collector> collector, SharedFlag paused)
    : http_(std::move(http)), collector_(std::move(collector)), paused_(paused ? std::move(paused) : makeFlag()) {
    auto collection = std::make_unique<CollectionContext>();
    collection->collector = collector_.get();
    collection->stop = stop_;
    collection->paused = paused_;
    collection->collectionDone = collectionDone_;
    collection->feedStopped = feedStopped_;
    auto upload = std::make_unique<UploadThreadContext>();
    upload->collector = collector_.get();
    upload->batchIntervalMs = collector_->config().batchIntervalMs;
    upload->maxBatchSize = collector_->config().maxBatchSize;
    upload->stop = stop_;
    upload->uploadDone = uploadDone_;
    collectionWake_ = collector_->collectionWakeup();
    collection->wake = collectionWake_;
    upload->wake = uploadWake_;
    upload->pushed = collector_->pushWakeup();
    // Threads start last, once everything they touch is complete.
    collectionThread_ = std::thread(&Collector::collectionThreadMain, std::move(collection));
    uploadThread_ = std::thread(&Collector::uploadThreadMain, std::move(upload));
}

void CollectorRun::setPaused(bool paused) {
    paused_->store(paused);
    collectionWake_->notify();
}

CollectorRun::~CollectorRun() {
    if (!stopped_) stop(false);
}

bool CollectorRun::stop(bool sessionEnding) {
    if (stopped_) return stoppedCleanly_;
    stopped_ = true;
    collector_->setUploadCallback({});
    stop_->store(true);
    collectionWake_->notify();
    uploadWake_->notify();
    collector_->pushWakeup()->notify();
    bool collectionEnded = waitForFlag(*collectionDone_, sessionEnding ? 1000 : 2500);
    if (collectionEnded)
        collectionThread_.join();
    else
        collectionThread_.detach();
    bool uploadEnded = waitForFlag(*uploadDone_, sessionEnding ? 500 : 2500);
    if (uploadEnded)
        uploadThread_.join();
    else
        uploadThread_.detach();
    if (!collectionEnded || !uploadEnded || !feedStopped_->load()) {
        // A detached thread may still use them: leak rather than destroy under it.
        abandoned_ = collector_.release();
        abandonedHttp_ = http_.release();
        return stoppedCleanly_ = false;
    }
    collector_.reset();
    http_.reset();
    return stoppedCleanly_ = true;
}

}  // namespace vornet
