// The game client simulator: lockfile, REST API and event feed over TLS, the in-game API
// during a game, a phase clock, and a plain control endpoint for tests and demos.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/json.h"
#include "sim/common/certs.h"
#include "sim/common/server.h"

namespace vornet::sim {

struct FeedEvent {
    std::string uri;
    std::string eventType;
    JsonValue data;
};

struct ClientOptions {
    std::string installDir;
    std::string rootCertOut;  // where the test root PEM goes (for collection.riotRootCertFile)
    std::string stateFile;    // JSON with ports, password, paths; rewritten on every change
    std::string fixtures;
    long long phaseMs = 6500;  // nine phases: one game in about a minute
    long long games = 0;       // stop after this many games; 0: never
    int restPort = 0;
    int livePort = 2999;  // 0: a free port picked once at start
    int controlPort = 0;
    std::string password;  // empty: random
    std::string processName = "LeagueClient";
    long long pid = 0;  // 0: our own
    std::string startPhase = "Lobby";
    bool paused = false;
    bool hangFeed = false;
    bool refuseAuth = false;
    std::string liveCapture = "default";  // default, ranked, spectator, practicetool
};

class ClientSim {
public:
    explicit ClientSim(ClientOptions options);
    ~ClientSim();
    ClientSim(const ClientSim&) = delete;
    ClientSim& operator=(const ClientSim&) = delete;

    bool start(std::string& error);
    // Advances the phase clock; called every few milliseconds by the main loop.
    void tick();
    // True once the requested number of games has been played or /control/quit was called.
    bool finished() const;
    // Stops every server and removes the lockfile, as the real client does when it ends.
    void shutdown();

private:
    struct Fixtures;

    SimReply handleRest(const SimRequest& req);
    SimReply handleLive(const SimRequest& req);
    SimReply handleControl(const SimRequest& req);
    std::optional<SimReply> acceptFeed(const SimRequest& req);
    void onFeedMessage(const std::shared_ptr<WsPeer>& peer, const std::string& text);
    void onFeedClosed(const std::shared_ptr<WsPeer>& peer);

    bool startRest(int port, std::string& error);
    bool restart(std::string& error);
    void setPhase(const std::string& phase);
    void syncLiveServer();
    bool writeLockfile();
    void writeState();
    JsonValue stateJson() const;  // needs mutex_
    std::vector<FeedEvent> phaseEvents(const std::string& from, const std::string& to) const;  // needs mutex_
    void broadcast(const std::vector<FeedEvent>& events);
    bool authorized(const SimRequest& req) const;  // needs mutex_
    std::string sessionBody() const;               // needs mutex_
    std::string eogBody() const;                   // needs mutex_

    ClientOptions options_;
    std::unique_ptr<Fixtures> fixtures_;
    TestCertificates certs_;
    std::string lockfilePath_;

    // Serialises server starts and stops; never taken by a request handler, so a handler
    // waiting for mutex_ can never block a server's destruction.
    std::mutex lifecycleMutex_;
    std::unique_ptr<SimServer> rest_;
    std::unique_ptr<SimServer> live_;
    std::unique_ptr<SimServer> control_;

    mutable std::mutex mutex_;  // everything below; taken inside lifecycleMutex_, never around it
    int restPort_ = 0;
    int livePort_ = 0;
    bool liveListening_ = false;
    std::string password_;
    std::string phase_;
    std::int64_t phaseStartMs_ = 0;
    std::int64_t gameStartMs_ = 0;
    std::int64_t gameNumber_ = 0;
    std::int64_t gamesCompleted_ = 0;
    std::int64_t baseGameId_ = 0;
    std::int64_t restarts_ = 0;
    bool paused_ = false;
    bool feedHung_ = false;
    bool refuseAuth_ = false;
    bool quit_ = false;
    std::int64_t eventsSent_ = 0;
    // What servers that have since closed counted, so that the totals survive restarts.
    struct ServerCounts {
        std::uint64_t connections = 0, requests = 0;
        void add(const SimServer* server) {
            if (server == nullptr) return;
            connections += server->connections();
            requests += server->requests();
        }
    };
    ServerCounts restRetired_, liveRetired_;
    static void retire(std::unique_ptr<SimServer>& server, ServerCounts& into);
    std::map<std::uint64_t, std::shared_ptr<WsPeer>> peers_;
    std::map<std::uint64_t, std::set<std::string>> subscriptions_;
};

}  // namespace vornet::sim
