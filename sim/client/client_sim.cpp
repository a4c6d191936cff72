#include "sim/client/client_sim.h"

#include <cstdio>
#include <filesystem>

#include "core/text.h"
#include "sim/common/sim_util.h"

namespace vornet::sim {

namespace {

const std::vector<std::string> kPhaseWalk = {"Lobby",      "Matchmaking",     "ReadyCheck", "ChampSelect", "GameStart",
                                             "InProgress", "WaitingForStats", "EndOfGame"};

std::string nextPhase(const std::string& phase) {
    for (std::size_t i = 0; i < kPhaseWalk.size(); ++i)
        if (kPhaseWalk[i] == phase) return kPhaseWalk[(i + 1) % kPhaseWalk.size()];
    return "Lobby";
}

bool inLobby(const std::string& phase) { return phase == "Lobby" || phase == "Matchmaking" || phase == "ReadyCheck"; }
bool afterGame(const std::string& phase) {
    return phase == "WaitingForStats" || phase == "PreEndOfGame" || phase == "EndOfGame";
}

// The client's own error shape for REST answers it cannot give.
SimReply lcuError(int status, const std::string& message) {
    JsonValue body = JsonValue::object();
    body.set("errorCode", "RPC_ERROR");
    body.set("httpStatus", status);
    body.set("implementationDetails", JsonValue::object());
    body.set("message", message);
    return SimReply{status, writeJson(body)};
}

SimReply jsonReply(const JsonValue& value) { return SimReply{200, writeJson(value)}; }

bool switchOn(const SimRequest& req) {
    std::string on = req.queryParam("on", "1");
    return on == "1" || on == "true" || on == "yes";
}

}  // namespace

struct ClientSim::Fixtures {
    std::map<std::string, std::string> raw;  // file name -> bytes
    std::map<std::string, JsonValue> parsed;

    bool load(const std::string& folder, std::string& error) {
        static const char* kFiles[] = {
            "lol-gameflow-session.json",
            "lol-gameflow-session_endofgame.json",
            "lol-lobby-v2-lobby.json",
            "lol-lobby-v2-lobby-matchmaking-search-state.json",
            "lol-matchmaking-v1-search_error.json",
            "lol-champ-select-session.json",
            "lol-champ-select-session_custom-2v2.json",
            "lol-summoner-current-summoner.json",
            "lol-end-of-game-eog-stats-block.json",
            "lol-game-data-champion-summary.json",
            "lcu-websocket-events.jsonl",
            "liveclientdata-allgamedata.json",
            "liveclientdata-activeplayer.json",
            "liveclientdata-playerlist.json",
            "liveclientdata-eventdata.json",
            "liveclientdata-gamestats.json",
            "liveclientdata-allgamedata_ranked_11.21.json",
            "liveclientdata-allgamedata_spectator_11.21.json",
            "liveclientdata-allgamedata_practicetool_11.21.json",
        };
        for (const char* name : kFiles) {
            std::string text;
            if (!readFile(folder + "/" + name, text)) {
                error = "cannot read fixture " + folder + "/" + name;
                return false;
            }
            if (std::string_view(name).ends_with(".json")) {
                std::string parseError;
                auto value = parseJson(text, &parseError);
                if (!value) {
                    error = std::string("fixture ") + name + ": " + parseError;
                    return false;
                }
                parsed[name] = std::move(*value);
            }
            raw[name] = std::move(text);
        }
        return true;
    }
    const std::string& text(const std::string& name) const { return raw.at(name); }
    const JsonValue& json(const std::string& name) const { return parsed.at(name); }

    // Data of the event frame on a given line of the captured feed, or null.
    JsonValue capturedEventData(std::size_t line) const {
        std::string_view all = raw.at("lcu-websocket-events.jsonl");
        for (std::size_t i = 0; i < line && !all.empty(); ++i) {
            std::size_t nl = all.find('\n');
            all = nl == std::string_view::npos ? std::string_view() : all.substr(nl + 1);
        }
        auto frame = parseJson(all.substr(0, all.find('\n')));
        if (!frame || !frame->isArray() || frame->elements.size() < 3) return {};
        const JsonValue* data = frame->elements[2].find("data");
        return data ? *data : JsonValue();
    }
};

ClientSim::ClientSim(ClientOptions options) : options_(std::move(options)) {}

ClientSim::~ClientSim() { shutdown(); }

bool ClientSim::start(std::string& error) {
    fixtures_ = std::make_unique<Fixtures>();
    if (!fixtures_->load(options_.fixtures, error)) return false;
    static const std::set<std::string> kCaptures = {"default", "ranked", "spectator", "practicetool"};
    if (!kCaptures.count(options_.liveCapture)) {
        error = "--live-capture must be default, ranked, spectator or practicetool";
        return false;
    }
    if (!makeTestCertificates("Parlow test game client root", certs_, error)) return false;
    if (!options_.rootCertOut.empty() && !writeFileAtomic(options_.rootCertOut, certs_.rootPem)) {
        error = "cannot write " + options_.rootCertOut;
        return false;
    }
    std::error_code ec;
    std::filesystem::create_directories(options_.installDir, ec);
    lockfilePath_ = (std::filesystem::path(options_.installDir) / "lockfile").string();

    {
        std::lock_guard lock(mutex_);
        password_ = options_.password.empty() ? randomHex(11) : options_.password;
        phase_ = options_.startPhase;
        phaseStartMs_ = steadyNowMs();
        gameStartMs_ = phaseStartMs_;
        paused_ = options_.paused;
        feedHung_ = options_.hangFeed;
        refuseAuth_ = options_.refuseAuth;
        // Game ids continue from the captured one, offset per run so two runs never repeat.
        baseGameId_ = 5032988582LL + (nowUnixMs() / 1000 % 1000000) * 100;
        livePort_ = options_.livePort;
    }

    std::lock_guard life(lifecycleMutex_);
    if (options_.livePort == 0) {
        // Learn a free port once, so the in-game API keeps one port across games.
        std::string probeError;
        auto probe = SimServer::start(ServerSettings{}, nullptr, {}, probeError);
        if (!probe) {
            error = probeError;
            return false;
        }
        std::lock_guard lock(mutex_);
        livePort_ = probe->port();
    }
    ServerSettings control;
    control.port = static_cast<std::uint16_t>(options_.controlPort);
    control_ = SimServer::start(control, [this](const SimRequest& r) { return handleControl(r); }, {}, error);
    if (!control_) return false;
    if (!startRest(options_.restPort, error)) return false;
    if (!writeLockfile()) {
        error = "cannot write " + lockfilePath_;
        return false;
    }
    syncLiveServer();
    writeState();
    return true;
}

bool ClientSim::startRest(int port, std::string& error) {
    ServerSettings settings;
    settings.port = static_cast<std::uint16_t>(port);
    settings.tls = true;
    settings.certPem = certs_.leafPem;
    settings.keyPem = certs_.leafKeyPem;
    WebSocketHooks hooks;
    hooks.accept = [this](const SimRequest& r) { return acceptFeed(r); };
    hooks.message = [this](const std::shared_ptr<WsPeer>& p, const std::string& t) { onFeedMessage(p, t); };
    hooks.closed = [this](const std::shared_ptr<WsPeer>& p) { onFeedClosed(p); };
    auto server = SimServer::start(settings, [this](const SimRequest& r) { return handleRest(r); }, hooks, error);
    if (!server) return false;
    {
        std::lock_guard lock(mutex_);
        restPort_ = server->port();
    }
    rest_ = std::move(server);
    return true;
}

bool ClientSim::writeLockfile() {
    std::string content;
    {
        std::lock_guard lock(mutex_);
        std::int64_t pid = options_.pid ? options_.pid : currentProcessId();
        content = options_.processName + ":" + std::to_string(pid) + ":" + std::to_string(restPort_) + ":" + password_ +
                  ":https";
    }
    return writeFileAtomic(lockfilePath_, content);
}

JsonValue ClientSim::stateJson() const {
    JsonValue state = JsonValue::object();
    state.set("pid", currentProcessId());
    state.set("installDir", options_.installDir);
    state.set("lockfile", lockfilePath_);
    state.set("port", restPort_);
    state.set("password", password_);
    state.set("livePort", livePort_);
    state.set("liveListening", liveListening_);
    state.set("rootCertFile", options_.rootCertOut);
    state.set("controlPort", control_ ? static_cast<int>(control_->port()) : 0);
    state.set("phase", phase_);
    state.set("paused", paused_);
    state.set("game", gameNumber_);
    state.set("gameId", baseGameId_ + gameNumber_);
    state.set("gamesCompleted", gamesCompleted_);
    state.set("feedHung", feedHung_);
    state.set("refuseAuth", refuseAuth_);
    state.set("subscribers", static_cast<std::int64_t>(subscriptions_.size()));
    state.set("eventsSent", eventsSent_);
    state.set("restarts", restarts_);
    ServerCounts rest = restRetired_, live = liveRetired_;
    rest.add(rest_.get());
    live.add(live_.get());
    state.set("restConnections", rest.connections);
    state.set("restRequests", rest.requests);
    state.set("liveConnections", live.connections);
    state.set("liveRequests", live.requests);
    return state;
}

void ClientSim::retire(std::unique_ptr<SimServer>& server, ServerCounts& into) {
    into.add(server.get());
    server.reset();
}

void ClientSim::writeState() {
    if (options_.stateFile.empty()) return;
    std::string text;
    {
        std::lock_guard lock(mutex_);
        text = writeJson(stateJson());
    }
    if (!writeFileAtomic(options_.stateFile, text + "\n"))
        std::fprintf(stderr, "parlow-sim-client: cannot write %s\n", options_.stateFile.c_str());
}

void ClientSim::tick() {
    std::string next;
    {
        std::lock_guard lock(mutex_);
        if (paused_ || quit_ || steadyNowMs() - phaseStartMs_ < options_.phaseMs) return;
        next = nextPhase(phase_);
    }
    std::lock_guard life(lifecycleMutex_);
    setPhase(next);
}

bool ClientSim::finished() const {
    std::lock_guard lock(mutex_);
    return quit_ || (options_.games > 0 && gamesCompleted_ >= options_.games);
}

void ClientSim::setPhase(const std::string& phase) {
    std::vector<FeedEvent> events;
    {
        std::lock_guard lock(mutex_);
        std::string from = phase_;
        if (from == "EndOfGame" && phase != "EndOfGame") ++gamesCompleted_;
        if (phase == "Matchmaking" && from != "Matchmaking") ++gameNumber_;
        if (phase == "InProgress" && from != "InProgress") gameStartMs_ = steadyNowMs();
        phase_ = phase;
        phaseStartMs_ = steadyNowMs();
        events = phaseEvents(from, phase);
    }
    std::printf("phase %s\n", phase.c_str());
    std::fflush(stdout);
    broadcast(events);
    syncLiveServer();
    writeState();
}

void ClientSim::syncLiveServer() {
    bool want;
    int port;
    {
        std::lock_guard lock(mutex_);
        want = phase_ == "InProgress";
        port = livePort_;
    }
    if (want && !live_) {
        ServerSettings settings;
        settings.port = static_cast<std::uint16_t>(port);
        settings.tls = true;
        settings.certPem = certs_.leafPem;
        settings.keyPem = certs_.leafKeyPem;
        std::string error;
        live_ = SimServer::start(settings, [this](const SimRequest& r) { return handleLive(r); }, {}, error);
        if (!live_) std::fprintf(stderr, "parlow-sim-client: in-game API: %s\n", error.c_str());
    } else if (!want && live_) {
        retire(live_, liveRetired_);
    }
    std::lock_guard lock(mutex_);
    liveListening_ = live_ != nullptr;
}

bool ClientSim::restart(std::string& error) {
    int oldPort;
    {
        std::lock_guard lock(mutex_);
        oldPort = restPort_;
    }
    // The old session ends first, as when the client process quits: its connections and feed
    // subscribers go away with it.
    retire(rest_, restRetired_);
    {
        std::lock_guard lock(mutex_);
        password_ = randomHex(11);
        peers_.clear();
        subscriptions_.clear();
        ++restarts_;
    }
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (!startRest(0, error)) return false;
        if (rest_->port() != oldPort) break;
        retire(rest_, restRetired_);
    }
    if (!rest_) {
        error = "no new port";
        return false;
    }
    if (!writeLockfile()) {
        error = "cannot write " + lockfilePath_;
        return false;
    }
    writeState();
    return true;
}

void ClientSim::shutdown() {
    std::lock_guard life(lifecycleMutex_);
    if (!control_ && !rest_ && !live_) return;
    control_.reset();
    retire(live_, liveRetired_);
    retire(rest_, restRetired_);
    if (!lockfilePath_.empty()) removeFile(lockfilePath_);
}

bool ClientSim::authorized(const SimRequest& req) const {
    return !refuseAuth_ && req.header("authorization") == "Basic " + base64Encode("riot:" + password_);
}

std::string ClientSim::sessionBody() const {
    JsonValue session = fixtures_->json(afterGame(phase_) ? "lol-gameflow-session_endofgame.json"
                                                            : "lol-gameflow-session.json");
    session.set("phase", phase_);
    if (JsonValue* gameData = session.find("gameData"); gameData && gameData->isObject())
        gameData->set("gameId", baseGameId_ + gameNumber_);
    return writeJson(session);
}

std::string ClientSim::eogBody() const {
    JsonValue block = fixtures_->json("lol-end-of-game-eog-stats-block.json");
    block.set("gameId", baseGameId_ + gameNumber_);
    return writeJson(block);
}

SimReply ClientSim::handleRest(const SimRequest& req) {
    std::lock_guard lock(mutex_);
    if (!authorized(req)) return lcuError(401, "Unauthorized");
    if (req.method != "GET") return lcuError(405, "Method not allowed");
    const std::string& path = req.path;
    const Fixtures& f = *fixtures_;
    if (path == "/lol-gameflow/v1/gameflow-phase") return SimReply{200, writeJson(JsonValue(phase_))};
    if (path == "/lol-gameflow/v1/session") return SimReply{200, sessionBody()};
    if (path == "/lol-lobby/v2/lobby" || path == "/lol-lobby/v2/lobby/members") {
        if (!inLobby(phase_)) return lcuError(404, "LOBBY_NOT_FOUND");
        if (path == "/lol-lobby/v2/lobby") return SimReply{200, f.text("lol-lobby-v2-lobby.json")};
        const JsonValue* members = f.json("lol-lobby-v2-lobby.json").find("members");
        return jsonReply(members ? *members : JsonValue::array());
    }
    if (path == "/lol-lobby/v2/lobby/matchmaking/search-state") {
        if (!inLobby(phase_)) return lcuError(404, "LOBBY_NOT_FOUND");
        JsonValue state = f.json("lol-lobby-v2-lobby-matchmaking-search-state.json");
        state.set("searchState", phase_ == "Lobby" ? "Invalid" : phase_ == "Matchmaking" ? "Searching" : "Found");
        return jsonReply(state);
    }
    if (path == "/lol-matchmaking/v1/search") {
        if (phase_ == "Matchmaking" || phase_ == "ReadyCheck") return SimReply{200, f.text("lol-matchmaking-v1-search_error.json")};
        return lcuError(404, "No active search");
    }
    if (path == "/lol-champ-select/v1/session") {
        if (phase_ != "ChampSelect") return lcuError(404, "No active delegate");
        // Every second game is the custom 2v2 capture, with its out-of-range integer and
        // chat password, byte for byte.
        return SimReply{200, f.text(gameNumber_ % 2 == 0 ? "lol-champ-select-session_custom-2v2.json"
                                                          : "lol-champ-select-session.json")};
    }
    if (path == "/lol-summoner/v1/current-summoner") return SimReply{200, f.text("lol-summoner-current-summoner.json")};
    if (path == "/lol-end-of-game/v1/eog-stats-block") {
        if (phase_ != "EndOfGame" && phase_ != "PreEndOfGame") return lcuError(404, "No end of game stats available");
        return SimReply{200, eogBody()};
    }
    if (path == "/lol-game-data/assets/v1/champion-summary.json")
        return SimReply{200, f.text("lol-game-data-champion-summary.json")};
    return lcuError(404, "Invalid URI format");
}

SimReply ClientSim::handleLive(const SimRequest& req) {
    std::lock_guard lock(mutex_);
    // The listener closes when the game ends; a request caught in between sees no game.
    if (phase_ != "InProgress") return SimReply{404, "{\"errorCode\":\"RESOURCE_NOT_FOUND\",\"httpStatus\":404}"};
    const Fixtures& f = *fixtures_;
    const std::string& path = req.path;
    bool fromSplit = options_.liveCapture == "default";
    std::string allName = fromSplit ? "liveclientdata-allgamedata.json"
                                    : "liveclientdata-allgamedata_" + options_.liveCapture + "_11.21.json";
    const JsonValue& all = f.json(allName);
    auto member = [&](const char* key) -> JsonValue {
        const JsonValue* value = all.find(key);
        return value ? *value : JsonValue();
    };
    if (path == "/liveclientdata/allgamedata") return SimReply{200, f.text(allName)};
    if (path == "/liveclientdata/gamestats") {
        JsonValue stats = fromSplit ? f.json("liveclientdata-gamestats.json") : member("gameData");
        stats.set("gameTime", static_cast<double>(steadyNowMs() - gameStartMs_) / 1000.0);
        return jsonReply(stats);
    }
    if (path == "/liveclientdata/activeplayer") {
        if (fromSplit) return SimReply{200, f.text("liveclientdata-activeplayer.json")};
        JsonValue player = member("activePlayer");
        // A spectator has no active player: the captured answer is an error object.
        return SimReply{player.find("error") ? 404 : 200, writeJson(player)};
    }
    if (path == "/liveclientdata/activeplayername") {
        JsonValue player = fromSplit ? f.json("liveclientdata-activeplayer.json") : member("activePlayer");
        std::string name = player.getString("riotId", player.getString("summonerName", ""));
        return jsonReply(JsonValue(name));
    }
    if (path == "/liveclientdata/playerlist")
        return fromSplit ? SimReply{200, f.text("liveclientdata-playerlist.json")} : jsonReply(member("allPlayers"));
    if (path == "/liveclientdata/eventdata")
        return fromSplit ? SimReply{200, f.text("liveclientdata-eventdata.json")} : jsonReply(member("events"));
    return SimReply{404, "{\"errorCode\":\"RESOURCE_NOT_FOUND\",\"httpStatus\":404}"};
}

std::optional<SimReply> ClientSim::acceptFeed(const SimRequest& req) {
    std::lock_guard lock(mutex_);
    if (!authorized(req)) return lcuError(401, "Unauthorized");
    if (req.path != "/") return lcuError(404, "Invalid URI format");
    if (feedHung_) {
        SimReply hold;
        hold.hold = true;
        return hold;
    }
    return std::nullopt;
}

void ClientSim::onFeedMessage(const std::shared_ptr<WsPeer>& peer, const std::string& text) {
    std::lock_guard lock(mutex_);
    if (feedHung_) return;
    auto message = parseJson(text);
    if (!message || !message->isArray() || message->elements.size() < 2 || !message->elements[0].isNumber() ||
        !message->elements[1].isString())
        return;
    std::int64_t type = message->elements[0].asInt64(0);
    const std::string& name = message->elements[1].asString();
    if (name.rfind("OnJsonApiEvent", 0) != 0) return;
    if (type == 5) {
        subscriptions_[peer->id()].insert(name);
        peers_[peer->id()] = peer;
    } else if (type == 6) {
        auto it = subscriptions_.find(peer->id());
        if (it != subscriptions_.end()) {
            it->second.erase(name);
            if (it->second.empty()) {
                subscriptions_.erase(it);
                peers_.erase(peer->id());
            }
        }
    }
}

void ClientSim::onFeedClosed(const std::shared_ptr<WsPeer>& peer) {
    std::lock_guard lock(mutex_);
    subscriptions_.erase(peer->id());
    peers_.erase(peer->id());
}

std::vector<FeedEvent> ClientSim::phaseEvents(const std::string& from, const std::string& to) const {
    const Fixtures& f = *fixtures_;
    std::vector<FeedEvent> events;
    events.push_back({"/lol-gameflow/v1/gameflow-phase", "Update", JsonValue(to)});
    auto parsedBody = [](const std::string& text) { return parseJson(text).value_or(JsonValue()); };
    events.push_back({"/lol-gameflow/v1/session", "Update", parsedBody(sessionBody())});
    if (to == "Lobby") {
        const JsonValue& lobby = f.json("lol-lobby-v2-lobby.json");
        events.push_back({"/lol-lobby/v2/lobby", inLobby(from) ? "Update" : "Create", lobby});
        const JsonValue* members = lobby.find("members");
        events.push_back({"/lol-lobby/v2/lobby/members", "Update", members ? *members : JsonValue::array()});
    }
    if (inLobby(to)) {
        JsonValue state = f.json("lol-lobby-v2-lobby-matchmaking-search-state.json");
        state.set("searchState", to == "Lobby" ? "Invalid" : to == "Matchmaking" ? "Searching" : "Found");
        events.push_back({"/lol-lobby/v2/lobby/matchmaking/search-state", "Update", state});
    }
    if (to == "ReadyCheck") {
        // Not one of the paths a collector keeps: it shows that the feed carries more.
        events.push_back({"/lol-matchmaking/v1/ready-check", "Update", f.capturedEventData(1)});
    }
    if (to == "ChampSelect") {
        events.push_back({"/lol-lobby/v2/lobby", "Delete", JsonValue()});
        std::string name = gameNumber_ % 2 == 0 ? "lol-champ-select-session_custom-2v2.json"
                                                : "lol-champ-select-session.json";
        events.push_back({"/lol-champ-select/v1/session", "Create", f.json(name)});
        JsonValue timer = JsonValue::object();
        timer.set("adjustedTimeLeftInPhase", options_.phaseMs);
        timer.set("isInfinite", false);
        timer.set("phase", "BAN_PICK");
        events.push_back({"/lol-champ-select/v1/session/timer", "Update", timer});
    }
    if (from == "ChampSelect" && to != "ChampSelect")
        events.push_back({"/lol-champ-select/v1/session", "Delete", JsonValue()});
    if (to == "EndOfGame") {
        events.push_back({"/lol-end-of-game/v1/eog-stats-block", "Create", parsedBody(eogBody())});
        events.push_back({"/lol-ranked/v1/notifications", "Update", f.capturedEventData(2)});
    }
    return events;
}

void ClientSim::broadcast(const std::vector<FeedEvent>& events) {
    std::vector<std::pair<std::shared_ptr<WsPeer>, std::string>> out;
    {
        std::lock_guard lock(mutex_);
        if (feedHung_) return;
        for (const auto& [id, names] : subscriptions_) {
            auto peer = peers_.find(id);
            if (peer == peers_.end()) continue;
            for (const FeedEvent& event : events) {
                std::string specific = "OnJsonApiEvent" + event.uri;
                for (char& c : specific)
                    if (c == '/') c = '_';
                std::string name = names.count("OnJsonApiEvent") ? "OnJsonApiEvent" : specific;
                if (!names.count(name)) continue;
                JsonValue payload = JsonValue::object();
                payload.set("data", event.data);
                payload.set("eventType", event.eventType);
                payload.set("uri", event.uri);
                JsonValue frame = JsonValue::array();
                frame.push(8);
                frame.push(name);
                frame.push(std::move(payload));
                out.emplace_back(peer->second, writeJson(frame));
                ++eventsSent_;
            }
        }
    }
    for (auto& [peer, text] : out) peer->send(std::move(text));
}

SimReply ClientSim::handleControl(const SimRequest& req) {
    const std::string& path = req.path;
    auto state = [this] {
        std::lock_guard lock(mutex_);
        return jsonReply(stateJson());
    };
    if (path == "/control/state") return state();
    if (req.method != "POST") return SimReply{405, "{\"error\":\"use POST\"}"};
    std::lock_guard life(lifecycleMutex_);
    if (path == "/control/restart") {
        std::string error;
        if (!restart(error)) return SimReply{500, writeJson(JsonValue(error))};
    } else if (path == "/control/hang-feed") {
        std::lock_guard lock(mutex_);
        feedHung_ = switchOn(req);
    } else if (path == "/control/refuse-auth") {
        std::lock_guard lock(mutex_);
        refuseAuth_ = switchOn(req);
    } else if (path == "/control/pause") {
        std::lock_guard lock(mutex_);
        paused_ = switchOn(req);
        phaseStartMs_ = steadyNowMs();
    } else if (path == "/control/phase") {
        std::string name = req.queryParam("name");
        if (name.empty()) return SimReply{400, "{\"error\":\"name missing\"}"};
        setPhase(name);
    } else if (path == "/control/next-phase") {
        std::string name;
        {
            std::lock_guard lock(mutex_);
            name = nextPhase(phase_);
        }
        setPhase(name);
    } else if (path == "/control/quit") {
        std::lock_guard lock(mutex_);
        quit_ = true;
    } else {
        return SimReply{404, "{\"error\":\"unknown control\"}"};
    }
    writeState();
    return state();
}

}  // namespace vornet::sim
