#include "sources/polling.h"

#include <algorithm>
#include <exception>
#include <limits>

#include "core/files.h"
#include "core/json.h"
#include "core/text.h"
#include "sources/riot_root.h"

namespace vornet {

std::string_view statusWord(LeagueClientStatus status) {
    switch (status) {
        case LeagueClientStatus::Unknown:
            return "unknown";
        case LeagueClientStatus::TlsNotConfigured:
            return "tls_not_configured";
        case LeagueClientStatus::NotRunning:
            return "not_running";
        case LeagueClientStatus::Connected:
            return "connected";
        case LeagueClientStatus::Unauthorized:
            return "unauthorized";
        case LeagueClientStatus::Unreachable:
            return "unreachable";
        case LeagueClientStatus::CertificateRejected:
            return "certificate_rejected";
    }
    return "unknown";
}

std::string_view statusWord(LiveGameStatus status) {
    switch (status) {
        case LiveGameStatus::Unknown:
            return "unknown";
        case LiveGameStatus::TlsNotConfigured:
            return "tls_not_configured";
        case LiveGameStatus::Available:
            return "available";
        case LiveGameStatus::Unavailable:
            return "unavailable";
        case LiveGameStatus::CertificateRejected:
            return "certificate_rejected";
    }
    return "unknown";
}
namespace {

constexpr std::int32_t kDiscoverWithLockfileMs = 5000;
constexpr std::int32_t kDiscoverWithoutLockfileMs = 2000;
constexpr std::int32_t kInactiveIntervalMs = 10000;
constexpr std::int32_t kNotificationFloorMs = 5000;
constexpr std::int32_t kLoopbackTimeoutMs = 2000;
constexpr std::int64_t kFirstAskDelayMs = 25;

// Interval 0 means "the phase interval when active in the phase, else kInactiveIntervalMs".
struct LcuEndpoint {
    const char* path;
    std::int32_t fixedIntervalMs;
};

// Polling order. The gameflow phase comes first and is handled apart.
constexpr LcuEndpoint kLcuEndpoints[] = {
    {"/lol-gameflow/v1/session", 0},
    {"/lol-lobby/v2/lobby", 0},
    {"/lol-lobby/v2/lobby/matchmaking/search-state", 0},
    {"/lol-champ-select/v1/session", 0},
    {"/lol-summoner/v1/current-summoner", 60000},
    {"/lol-end-of-game/v1/eog-stats-block", 0},
    {kChampionSummaryPath, 3600000},
};

std::int32_t toInterval(std::uint32_t ms) {
    return static_cast<std::int32_t>(std::min<std::uint32_t>(ms, std::numeric_limits<std::int32_t>::max()));
}

bool isGamePhase(std::string_view phase) {
    return phase == "GameStart" || phase == "InProgress" || phase == "Reconnect";
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

}  // namespace

LocalTlsSettings makeLocalTlsSettings(const Config& config) {
    LocalTlsSettings tls;
    if (config.riotRootCertFile.empty() && config.insecureLocalTls) {
        tls.mode = TlsMode::Insecure;
        tls.configured = true;
        return tls;
    }
    tls.mode = TlsMode::PinnedRoots;
    tls.allowLoopbackNameMismatch = true;
    if (config.riotRootCertFile.empty()) {
        tls.pinnedRoots = pemCertificates(kRiotRootCertificatePem);
        tls.configured = !tls.pinnedRoots.empty();
        return tls;
    }
    std::optional<std::string> pem;
    try {
        pem = readWholeFile(config.riotRootCertFile);
    } catch (const std::exception&) {
        // A path that cannot even be queried is as unusable as a missing file.
    }
    if (pem) tls.pinnedRoots = pemCertificates(*pem);
    tls.configured = !tls.pinnedRoots.empty();
    if (!tls.configured) tls.error = "cannot read Riot root certificate " + config.riotRootCertFile;
    return tls;
}

std::vector<std::string> phaseEndpoints(std::string_view phase) {
    if (phase == "Lobby") return {"/lol-lobby/v2/lobby", "/lol-lobby/v2/lobby/matchmaking/search-state"};
    if (phase == "Matchmaking" || phase == "ReadyCheck") return {"/lol-lobby/v2/lobby/matchmaking/search-state"};
    if (phase == "ChampSelect") return {"/lol-champ-select/v1/session"};
    if (isGamePhase(phase)) return {"/lol-gameflow/v1/session"};
    if (phase == "WaitingForStats" || phase == "PreEndOfGame") return {"/lol-end-of-game/v1/eog-stats-block"};
    if (phase == "EndOfGame") return {"/lol-end-of-game/v1/eog-stats-block", "/lol-gameflow/v1/session"};
    return {};
}

HttpRequest loopbackGet(const LocalTlsSettings& tls, std::int32_t port, const std::string& path) {
    HttpRequest request;
    request.method = "GET";
    request.https = true;
    request.host = "127.0.0.1";
    request.port = port;
    request.path = path;
    request.timeoutMs = kLoopbackTimeoutMs;
    request.tlsMode = tls.mode;
    request.pinnedRoots = tls.pinnedRoots;
    request.allowLoopbackNameMismatch = tls.allowLoopbackNameMismatch;
    request.useProxy = false;
    request.headers.emplace_back("Accept", "application/json");
    return request;
}

std::string lcuAuthorization(const std::string& password) {
    return "Basic " + base64Encode("riot:" + password);
}

Poller::Poller(Config config, HttpClient& http, LocalTlsSettings tls, PollingHost& host)
    : config_(std::move(config)), http_(http), tls_(std::move(tls)), host_(host) {}

bool Poller::isDue(const std::string& key, std::int32_t intervalMs) {
    const std::int64_t now = stepStartMs_ ? *stepStartMs_ : host_.steadyNowMs();
    auto found = due_.find(key);
    if (found != due_.end() && now - found->second < intervalMs) return false;
    due_[key] = now;
    return true;
}

std::int64_t Poller::nextDueMs() {
    if (!config_.enabled || !config_.collectionEnabled || !tls_.configured) return kNeverDueMs;
    const std::int64_t now = host_.steadyNowMs();
    std::int64_t next = kNeverDueMs;
    // The same keys and intervals that collectOnce would test in this state. A key never
    // asked yet (the in-game endpoints when a game has just started) is asked in the next
    // step, one step of the former 25 ms cadence later, as before.
    auto consider = [&](const std::string& key, std::int32_t intervalMs) {
        auto found = due_.find(key);
        next = std::min(next, found == due_.end() ? now + kFirstAskDelayMs : found->second + intervalMs);
    };
    bool haveLockfile = false, notificationsConnected = false, inGame = false;
    std::string phase;
    {
        auto state = host_.sourceState().lock();
        haveLockfile = state->lockfile.has_value();
        notificationsConnected = state->lcuNotifications == "connected";
        inGame = state->liveGameFlag;
        phase = state->gameflowPhase;
    }
    if (config_.lcu) {
        consider("discover", haveLockfile ? kDiscoverWithLockfileMs : kDiscoverWithoutLockfileMs);
        if (haveLockfile) {
            const std::int32_t phaseInterval = phaseIntervalMs(notificationsConnected);
            consider(kGameflowPhasePath, phaseInterval);
            const std::vector<std::string> active = phaseEndpoints(phase);
            for (const auto& endpoint : kLcuEndpoints) {
                if (!endpointEnabled(config_, endpoint.path)) continue;
                std::int32_t interval = endpoint.fixedIntervalMs;
                if (interval == 0) {
                    bool isActive = std::find(active.begin(), active.end(), endpoint.path) != active.end();
                    interval = isActive ? phaseInterval : kInactiveIntervalMs;
                }
                consider(endpoint.path, interval);
            }
        }
    }
    if (config_.liveClient) {
        if (inGame) {
            consider(kGameStatsPath, toInterval(config_.gameStatsIntervalMs));
            const std::pair<const char*, std::int32_t> playerEndpoints[] = {
                {"/liveclientdata/activeplayer", toInterval(config_.liveClientIntervalMs)},
                {"/liveclientdata/playerlist", toInterval(config_.liveClientIntervalMs)},
                {"/liveclientdata/eventdata", toInterval(config_.eventsIntervalMs)},
            };
            for (const auto& [path, interval] : playerEndpoints) {
                if (endpointEnabled(config_, path)) consider(path, interval);
            }
        } else {
            consider(kGameStatsPath,
                     toInterval(isGamePhase(phase) ? config_.gameStatsIntervalMs : config_.liveClientProbeIntervalMs));
        }
    }
    return next;
}

HttpRequest Poller::loopbackGet(std::int32_t port, const std::string& path) const {
    return vornet::loopbackGet(tls_, port, path);
}

std::int32_t Poller::phaseIntervalMs(bool notificationsConnected) const {
    std::int32_t interval = toInterval(config_.lcuFallbackIntervalMs);
    if (notificationsConnected && interval < kNotificationFloorMs) interval = kNotificationFloorMs;
    return interval;
}

Observation Poller::makeSnapshot(std::string api, std::string endpoint, const HttpResponse& response) {
    Observation observation;
    observation.observedAt = host_.wallNowMs();
    observation.api = std::move(api);
    observation.endpoint = std::move(endpoint);
    observation.kind = ObservationKind::Snapshot;
    observation.status = response.status;
    observation.error = response.error;
    if (observation.status != 0) setPayloadFromBody(observation, response.body);
    return observation;
}

void Poller::collectOnce() {
    if (!config_.enabled || !config_.collectionEnabled) return;
    Guarded<SourceState>& guarded = host_.sourceState();
    if (!tls_.configured) {
        auto state = guarded.lock();
        state->liveGame = LiveGameStatus::TlsNotConfigured;
        state->leagueClient = LeagueClientStatus::TlsNotConfigured;
        return;
    }
    struct StepClock {
        std::optional<std::int64_t>& start;
        ~StepClock() { start.reset(); }
    } stepClock{stepStartMs_};
    stepStartMs_ = host_.steadyNowMs();

    std::optional<Lockfile> current;
    bool notificationsConnected = false;
    {
        auto state = guarded.lock();
        current = state->lockfile;
        notificationsConnected = state->lcuNotifications == "connected";
    }

    if (config_.lcu) {
        if (isDue("discover", current ? kDiscoverWithLockfileMs : kDiscoverWithoutLockfileMs)) {
            std::optional<Lockfile> found = host_.discoverLockfile();
            auto state = guarded.lock();
            if (!found) {
                state->lockfile.reset();
                state->leagueClient = LeagueClientStatus::NotRunning;
            } else if (!state->lockfile || state->lockfile->fingerprint != found->fingerprint) {
                // A new client session: its hourly data is fetched again in this same step.
                state->lockfile = std::move(found);
                due_.erase(kChampionSummaryPath);
            }
            current = state->lockfile;
        }
        if (current) {
            const std::int32_t phaseInterval = phaseIntervalMs(notificationsConnected);
            if (isDue(kGameflowPhasePath, phaseInterval)) pollLcu(kGameflowPhasePath);
            std::string phase;
            {
                auto state = guarded.lock();
                phase = state->gameflowPhase;
            }
            const std::vector<std::string> active = phaseEndpoints(phase);
            for (const auto& endpoint : kLcuEndpoints) {
                if (!endpointEnabled(config_, endpoint.path)) continue;
                std::int32_t interval = endpoint.fixedIntervalMs;
                if (interval == 0) {
                    bool isActive = std::find(active.begin(), active.end(), endpoint.path) != active.end();
                    interval = isActive ? phaseInterval : kInactiveIntervalMs;
                }
                if (isDue(endpoint.path, interval)) pollLcu(endpoint.path);
            }
        }
    }

    if (config_.liveClient) {
        std::string phase;
        bool inGame = false;
        {
            auto state = guarded.lock();
            phase = state->gameflowPhase;
            inGame = state->liveGameFlag;
        }
        if (inGame) {
            const std::pair<const char*, std::int32_t> inGameEndpoints[] = {
                {kGameStatsPath, toInterval(config_.gameStatsIntervalMs)},
                {"/liveclientdata/activeplayer", toInterval(config_.liveClientIntervalMs)},
                {"/liveclientdata/playerlist", toInterval(config_.liveClientIntervalMs)},
                {"/liveclientdata/eventdata", toInterval(config_.eventsIntervalMs)},
            };
            for (const auto& [path, interval] : inGameEndpoints) {
                const bool isGameStats = std::string_view(path) == kGameStatsPath;
                // The game statistics poll drives the live game flag, so it runs even when
                // disabled; pollLiveClient then keeps its answers out of the pipeline.
                if (!isGameStats && !endpointEnabled(config_, path)) continue;
                if (!isDue(path, interval)) continue;
                pollLiveClient(path);
            }
        } else {
            std::int32_t interval =
                toInterval(isGamePhase(phase) ? config_.gameStatsIntervalMs : config_.liveClientProbeIntervalMs);
            if (isDue(kGameStatsPath, interval)) pollLiveClient(kGameStatsPath);
        }
    }

    host_.recordCollectorStatus();
}

void Poller::pollLcu(const std::string& endpoint) {
    Guarded<SourceState>& guarded = host_.sourceState();
    std::optional<Lockfile> lockfile;
    {
        auto state = guarded.lock();
        lockfile = state->lockfile;
    }
    if (!lockfile) return;
    HttpRequest request = loopbackGet(lockfile->port, endpoint);
    request.headers.emplace_back("Authorization", lcuAuthorization(lockfile->password));
    std::uint64_t countBefore = 0;
    {
        auto state = guarded.lock();
        countBefore = state->notificationCounters[endpoint];
    }

    HttpResponse response = http_.request(request);

    auto state = guarded.lock();
    if (response.status != 0) {
        if (response.status == 401 || response.status == 403) {
            state->leagueClient = LeagueClientStatus::Unauthorized;
            state->lockfile.reset();
        } else {
            state->leagueClient = LeagueClientStatus::Connected;
        }
        state->lcuFailures = 0;
    } else if (response.tlsFailure) {
        state->leagueClient = LeagueClientStatus::CertificateRejected;
        state->lockfile.reset();
    } else {
        if (state->lcuFailures < std::numeric_limits<std::int32_t>::max()) ++state->lcuFailures;
        if (state->lcuFailures >= 3) {
            state->leagueClient = LeagueClientStatus::Unreachable;
            state->lockfile.reset();
        }
    }
    // A notification recorded while the request ran is newer than this answer.
    if (response.status != 0 && state->notificationCounters[endpoint] != countBefore) return;
    if (endpoint == kGameflowPhasePath && response.status == 200) {
        if (auto phase = parseJson(response.body); phase && phase->isString()) state->gameflowPhase = phase->text;
    }
    Observation observation = makeSnapshot("lcu", endpoint, response);
    if (!observation.error.empty()) state->lastError = endpoint + ": " + observation.error;
    host_.enqueue(std::move(observation), state);
}

void Poller::pollLiveClient(const std::string& endpoint) {
    Guarded<SourceState>& guarded = host_.sourceState();
    HttpResponse response = http_.request(loopbackGet(toInterval(config_.liveClientPort), endpoint));

    if (endpoint == kGameStatsPath) {
        auto state = guarded.lock();
        const bool wasInGame = state->liveGameFlag;
        state->liveGameFlag = response.status == 200;
        if (response.status == 200) {
            state->liveGame = LiveGameStatus::Available;
        } else if (response.tlsFailure && startsWith(response.error, "TLS certificate")) {
            state->liveGame = LiveGameStatus::CertificateRejected;
        } else {
            // Includes a first-contact probe that never reached a certificate: nothing listens
            // on the in-game port outside a game, which is not a certificate problem.
            state->liveGame = LiveGameStatus::Unavailable;
        }
        if (response.status != 200 && !wasInGame) return;
        if (!endpointEnabled(config_, endpoint)) return;
    }

    Observation observation = makeSnapshot("liveclient", endpoint, response);
    if (!observation.error.empty()) {
        auto state = guarded.lock();
        state->lastError = endpoint + ": " + observation.error;
    }
    host_.enqueue(std::move(observation));
}

}  // namespace vornet
