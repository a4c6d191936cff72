// The sampling engine for the game client: discovery on a schedule, phase-driven polling of the
// client's REST endpoints, probing and polling of the in-game endpoints, and the client status
// texts that follow from the answers.
//
// The collector hosts it. It owns the state guarded by the status lock (SourceState, reachable
// only through the lock's guard) and implements PollingHost; the Poller keeps only what the
// collection thread alone touches (the due table). Lock rules, which the Poller follows and every
// other user of SourceState must follow too:
//   - The status lock is never held during a network request or a discovery.
//   - LCU observations are enqueued while the status lock is held (enqueue takes its guard), so
//     that a notification for the same endpoint cannot slip between the staleness test and the
//     enqueue; in-game observations are enqueued after it was released. enqueue() may therefore
//     take the capture and buffer locks under the status lock, never the other way round.
#pragma once

#include <climits>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "collector/observation.h"
#include "config/config.h"
#include "core/guarded.h"
#include "net/http_client.h"
#include "sources/lockfile.h"

namespace vornet {

inline constexpr const char* kGameflowPhasePath = "/lol-gameflow/v1/gameflow-phase";
inline constexpr const char* kChampionSummaryPath = "/lol-game-data/assets/v1/champion-summary.json";
inline constexpr const char* kGameStatsPath = "/liveclientdata/gamestats";

// How the game client's certificates are judged; derived once from the configuration.
struct LocalTlsSettings {
    TlsMode mode = TlsMode::PinnedRoots;
    std::vector<std::string> pinnedRoots;  // DER
    bool allowLoopbackNameMismatch = false;
    bool configured = false;
    // When not configured: "cannot read Riot root certificate " + the path, for lastError.
    std::string error;
};

// Insecure with collection.insecureLocalTls and no root file; otherwise pinned to the roots of
// collection.riotRootCertFile, or to the built-in root when no file is configured.
LocalTlsSettings makeLocalTlsSettings(const Config& config);

// What the game client's REST API last answered; the snapshot's "leagueClient" word.
enum class LeagueClientStatus {
    Unknown,
    TlsNotConfigured,
    NotRunning,
    Connected,
    Unauthorized,
    Unreachable,
    CertificateRejected
};
// What the in-game API last answered; the snapshot's "liveGame" word.
enum class LiveGameStatus { Unknown, TlsNotConfigured, Available, Unavailable, CertificateRejected };
// The status words: "unknown", "tls_not_configured", "not_running", "connected", "unauthorized",
// "unreachable", "certificate_rejected"; and "unknown", "tls_not_configured", "available",
// "unavailable", "certificate_rejected".
std::string_view statusWord(LeagueClientStatus status);
std::string_view statusWord(LiveGameStatus status);

// The state guarded by the collector's status lock, shared by polling, the notification reader
// and the status snapshot.
struct SourceState {
    std::string gameflowPhase;  // never cleared
    LeagueClientStatus leagueClient = LeagueClientStatus::Unknown;
    LiveGameStatus liveGame = LiveGameStatus::Unknown;
    std::string lcuNotifications = "not_connected";             // set by the collector and the reader
    std::string lastError;                                      // the collector's last error; only ever replaced
    std::optional<Lockfile> lockfile;                           // the client session being polled
    std::map<std::string, std::uint64_t> notificationCounters;  // bumped per recorded notification
    std::int32_t lcuFailures = 0;                               // consecutive LCU requests without an HTTP status
    bool liveGameFlag = false;                                  // the last game statistics request answered 200
};

// What the collector provides to host the Poller. Called on the collection thread only.
class PollingHost {
public:
    PollingHost() = default;
    PollingHost(const PollingHost&) = delete;
    PollingHost& operator=(const PollingHost&) = delete;
    virtual ~PollingHost() = default;

    virtual std::int64_t wallNowMs() = 0;    // Unix ms
    virtual std::int64_t steadyNowMs() = 0;  // monotonic ms
    // The state and the status lock that guards it.
    virtual Guarded<SourceState>& sourceState() = 0;
    // The only ways observations enter the pipeline: without the status lock, and with it held
    // (LCU snapshots and notifications, which `statusLock` proves).
    virtual void enqueue(Observation observation) = 0;
    virtual void enqueue(Observation observation, const Guarded<SourceState>::Locked& statusLock) = 0;
    // The discovery callable (findLockfile bound to the configured folder). Called without locks.
    virtual std::optional<Lockfile> discoverLockfile() = 0;
    // The status record, at the end of every step that got past the TLS check. Called without
    // locks.
    virtual void recordCollectorStatus() = 0;
    // Ends the collection thread's wait at once, so that a change made by another thread (a
    // phase or connection change from the notification feed) takes effect in the next step
    // rather than at the next due time. Any thread, any lock held.
    virtual void wakeCollection() {}
};

// A due time that never comes.
inline constexpr std::int64_t kNeverDueMs = INT64_MAX;

// The endpoints polled fast in a gameflow phase (exact, case-sensitive phase texts).
std::vector<std::string> phaseEndpoints(std::string_view phase);

// A GET to 127.0.0.1 with the local TLS settings, 2000 ms time-out, no proxy, and
// "Accept: application/json".
HttpRequest loopbackGet(const LocalTlsSettings& tls, std::int32_t port, const std::string& path);
// "Basic " + base64 of "riot:" + password.
std::string lcuAuthorization(const std::string& password);

class Poller {
public:
    // `http` and `host` must outlive the Poller.
    Poller(Config config, HttpClient& http, LocalTlsSettings tls, PollingHost& host);
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    // One sampling step; the collection thread calls it about every 25 ms.
    void collectOnce();

    // True (and `key` stamped with now) unless `key` was stamped less than intervalMs ago.
    // Within a step, now is the time the step started: keys of the same interval asked in one
    // step stay due together, instead of drifting apart by the time of the requests before
    // them and waking the sleeping collection thread once for each.
    bool isDue(const std::string& key, std::int32_t intervalMs);
    // The steady time at which the next step would find something due, from the same rules as
    // collectOnce and the current state; kNeverDueMs when nothing is ever due (collection
    // off, TLS not configured). Lets the collection thread sleep until then instead of
    // stepping every 25 ms. Collection thread only.
    std::int64_t nextDueMs();
    HttpRequest loopbackGet(std::int32_t port, const std::string& path) const;
    void pollLcu(const std::string& endpoint);
    void pollLiveClient(const std::string& endpoint);
    Observation makeSnapshot(std::string api, std::string endpoint, const HttpResponse& response);
    // collection.lcuFallbackIntervalMs, raised to 5000 while notifications are connected.
    std::int32_t phaseIntervalMs(bool notificationsConnected) const;

    const LocalTlsSettings& localTls() const { return tls_; }
    const Config& config() const { return config_; }

private:
    Config config_;
    HttpClient& http_;
    LocalTlsSettings tls_;
    PollingHost& host_;
    std::map<std::string, std::int64_t> due_;  // collection thread only: no lock
    std::optional<std::int64_t> stepStartMs_;  // set while collectOnce runs
};

}  // namespace vornet
