#include "ui/view_model.h"

#include <cmath>
#include <cstdio>

namespace vornet::app {
namespace {

const char* const kDot = " \xC2\xB7 ";  // " · "

// Snapshot numbers are read as doubles and truncated toward zero.
std::int64_t snapshotInt(const JsonValue& snapshot, std::string_view key) {
    double d = snapshot.getNumber(key, 0.0);
    if (!std::isfinite(d)) return 0;
    if (d >= 9.2e18) return INT64_MAX;
    if (d <= -9.2e18) return INT64_MIN;
    return static_cast<std::int64_t>(d);
}

std::uint64_t nonNegative(std::int64_t v) { return v > 0 ? static_cast<std::uint64_t>(v) : 0; }

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

// Half away from zero, as the chart values are specified.
std::int64_t roundHalfAway(double v) { return static_cast<std::int64_t>(std::round(v)); }

// Cuts to at most `limit` bytes without splitting a UTF-8 sequence: a split character would
// reach the tooltip as a replacement mark.
void cutToBytes(std::string& text, std::size_t limit) {
    if (text.size() <= limit) return;
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text.resize(end);
}

std::string labelled(std::string_view label, std::string_view value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%-13s", std::string(label).c_str());
    std::string line = buffer;
    line.append(value);
    line.push_back('\n');
    return line;
}

std::string countersLine(const StatsCounters& c) {
    return countText(c.events) + " events, " + countText(c.games) + " games, " + byteText(c.uploadedBytes) + " (" +
           byteText(c.rawBytes) + " before compression)";
}

JsonValue countersView(const StatsCounters& c) {
    JsonValue o = JsonValue::object();
    o.set("events", countText(c.events));
    o.set("games", countText(c.games));
    o.set("uploaded", byteText(c.uploadedBytes));
    return o;
}

}  // namespace

std::string countText(std::uint64_t n) {
    std::string digits = std::to_string(n);
    std::string out;
    out.reserve(digits.size() + digits.size() / 3);
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out.push_back(',');
        out.push_back(digits[i]);
    }
    return out;
}

std::string byteText(std::uint64_t n) {
    char buffer[32];
    if (n < 1024ULL) {
        std::snprintf(buffer, sizeof buffer, "%llu B", static_cast<unsigned long long>(n));
    } else if (n < 1048576ULL) {
        std::snprintf(buffer, sizeof buffer, "%.1f KB", static_cast<double>(n) / 1024.0);
    } else if (n < 1073741824ULL) {
        std::snprintf(buffer, sizeof buffer, "%.1f MB", static_cast<double>(n) / 1048576.0);
    } else {
        std::snprintf(buffer, sizeof buffer, "%.2f GB", static_cast<double>(n) / 1073741824.0);
    }
    return buffer;
}

std::string agoText(std::int64_t ms) {
    if (ms < 5000) return "just now";
    if (ms < 60000) return std::to_string(ms / 1000) + " s ago";
    if (ms < 3600000) return std::to_string(ms / 60000) + " min ago";
    return std::to_string(ms / 3600000) + " h ago";
}

std::string lastProblemText(std::string_view error) {
    if (error.empty()) return "none";
    if (contains(error, "rejected a batch")) return "Updates refused by Parlow";
    if (contains(error, "401") || contains(error, "403")) return "This PC's key was not accepted";
    if (contains(error, "certificate") || contains(error, "TLS")) return "Secure connection problem";
    if (contains(error, "reach") || contains(error, "timeout") || contains(error, "timed out") ||
        contains(error, "connect") || contains(error, "resolve"))
        return "No connection";
    return "Upload problem";
}

std::string toneName(int tone) {
    switch (tone) {
        case 0:
            return "green";
        case 2:
            return "red";
        default:
            return "amber";
    }
}

std::string trayTipText(std::string_view title, bool withEvents, std::uint64_t eventsToday) {
    std::string tip = std::string("Parlow") + kDot;
    tip.append(title);
    if (withEvents) tip += kDot + countText(eventsToday) + " events today";
    cutToBytes(tip, kTrayTipLimit);
    return tip;
}

LeagueLine leagueLine(const JsonValue& snapshot) {
    LeagueLine league;
    std::string client = snapshot.getString("leagueClient", "unknown");
    std::string phase = snapshot.getString("gameflowPhase", "");
    bool live = snapshot.getString("liveGame", "") == "available";
    if (client == "connected" || live) {
        league.running = true;
        league.tone = "green";
        if (live || phase == "InProgress" || phase == "GameStart" || phase == "Reconnect") {
            league.text = "In a game";
            league.inGame = true;
        } else if (phase == "ChampSelect") {
            league.text = "Champion select";
            league.champSelect = true;
        } else if (phase == "Lobby" || phase == "Matchmaking" || phase == "ReadyCheck") {
            league.text = "In the lobby";
        } else if (phase == "WaitingForStats" || phase == "PreEndOfGame" || phase == "EndOfGame") {
            league.text = "After the game";
        } else {
            league.text = "Open";
        }
        return league;
    }
    if (client == "not_running" || client == "unreachable") {
        league.text = "Not running";
        league.tone = "amber";
    } else if (client == "unknown") {
        league.text = "Looking for League\xE2\x80\xA6";
        league.tone = "amber";
    } else {
        league.text = "Can't connect";
        league.tone = "red";
        league.error = true;
    }
    return league;
}

StatusView classifyStatus(const AppStatus& status) {
    StatusView view;
    if (!status.enrolled) {
        view.state = "setup";
        view.tone = 1;
        view.title = "Welcome to Parlow";
        view.line = "Enter the code from your invite to connect this PC.";
        view.trayTip = std::string("Parlow") + kDot + "Not connected yet";
        return view;
    }
    const JsonValue& snap = status.collector;
    const std::int64_t now = status.nowUnixMs;
    const std::string serverConnection = snap.getString("serverConnection", "not_yet_connected");
    const std::int64_t lastSuccess = snapshotInt(snap, "lastSuccessUnixMs");
    const std::int64_t consecutiveFailures = snapshotInt(snap, "consecutiveFailures");
    const std::string lastError = snap.getString("lastError", "");
    const double authFailures = snap.getNumber("authFailures", 0.0);
    const std::int64_t consecutiveRejected = snapshotInt(snap, "consecutiveRejected");
    const std::uint64_t pending = nonNegative(snapshotInt(snap, "pendingObservations"));
    const std::uint64_t dropped = nonNegative(snapshotInt(snap, "droppedObservations"));

    const bool recentSuccess = lastSuccess > 0 && now - lastSuccess < 60000;
    const bool connected = serverConnection == "connected" || recentSuccess;
    const bool justStarted = lastSuccess == 0 && now - status.startedUnixMs < 20000;
    const bool failing = !connected && consecutiveFailures >= 3 && !justStarted;
    const bool checking = authFailures >= 1 && authFailures < 2;

    if (authFailures >= 2 && !status.paused) {
        view.state = "reconnect";
        view.tone = 2;
        view.title = "Connect this PC again";
        view.line = "This PC's key is no longer accepted. Enter a new code from your invite.";
        view.trayTip = std::string("Parlow") + kDot + "Needs a new code";
        return view;
    }

    const LeagueLine league = leagueLine(snap);

    StatusRow parlow{"Parlow", "", ""};
    if (authFailures >= 2) {
        parlow.value = "Key not accepted";
        parlow.tone = "red";
    } else if (checking) {
        parlow.value = "Checking this PC's key\xE2\x80\xA6";
        parlow.tone = "amber";
    } else if (consecutiveRejected >= 2) {
        parlow.value = "Refusing updates";
        parlow.tone = "red";
    } else if (serverConnection == "connected" && lastSuccess >= 1) {
        parlow.value = std::string("Connected") + kDot + agoText(now - lastSuccess);
        parlow.tone = "green";
    } else if (recentSuccess) {
        parlow.value = "Retrying";
        parlow.tone = "amber";
    } else if (failing) {
        parlow.value = "Can't connect";
        parlow.tone = "red";
    } else if (consecutiveFailures >= 1) {
        parlow.value = "Retrying";
        parlow.tone = "amber";
    } else {
        parlow.value = "Connecting\xE2\x80\xA6";
        parlow.tone = "amber";
    }
    view.rows.push_back(parlow);

    if (status.paused) {
        view.rows.push_back({"League", "Not watched while paused", ""});
    } else {
        view.rows.push_back({"League", league.text, league.tone});
    }

    StatusRow waiting{"Waiting to send", "", ""};
    if (pending == 0) {
        waiting.value = "nothing";
    } else {
        waiting.value = countText(pending) + (pending == 1 ? " update" : " updates");
    }
    if (dropped > 0) {
        waiting.value += kDot + countText(dropped) + " lost";
        waiting.tone = "amber";
    }
    view.rows.push_back(waiting);

    const bool showProblem = consecutiveFailures >= 1 || !connected || consecutiveRejected >= 1 || checking;
    view.rows.push_back({"Last problem", lastProblemText(showProblem ? std::string_view(lastError) : ""), ""});
    view.rows.push_back({"Version", status.version, ""});

    if (status.paused) {
        view.state = "paused";
        view.tone = 1;
        view.title = "Paused";
        view.line = "Nothing is being recorded. Press Resume to continue.";
    } else if (checking) {
        view.state = "checking";
        view.tone = 1;
        view.title = "Checking this PC's key\xE2\x80\xA6";
        view.line = "Parlow didn't accept this PC's key. Trying again in a minute.";
    } else if (consecutiveRejected >= 2) {
        view.state = "rejected";
        view.tone = 2;
        view.title = "Parlow isn't accepting updates";
        view.line = "Updates from this PC are being refused. Copy the details and send them to support.";
    } else if (failing) {
        view.state = "offline";
        view.tone = 2;
        view.title = "Can't reach Parlow";
        view.line = "Updates wait on this PC while it's running and are sent once the connection is back.";
    } else if (lastSuccess == 0) {
        view.state = "starting";
        view.tone = 1;
        view.title = "Starting\xE2\x80\xA6";
        view.line = "Connecting to Parlow.";
    } else if (league.error) {
        view.state = "offline";
        view.tone = 2;
        view.title = "Can't read League";
        view.line = "Restart League. If this keeps happening, copy the details for support.";
    } else if (league.running && !league.inGame && !league.champSelect) {
        view.state = "connected";
        view.tone = 0;
        view.title = "Connected";
        view.line = "League is open. Your next game will be recorded.";
    } else if (league.running) {
        view.state = "sending";
        view.tone = 0;
        view.title = "Sending your games";
        view.line = std::string(league.inGame ? "Game in progress" : "Champion select") + kDot +
                    "everything is working.";
    } else {
        view.state = "waiting";
        view.tone = 1;
        view.title = "Ready";
        view.line = "Waiting for League to start. Nothing to do.";
    }

    view.trayTip = trayTipText(view.title, view.state == "connected" || view.state == "sending",
                               status.stats.today.events);
    return view;
}

std::string rateText(std::string_view state, double currentRate) {
    if (state == "paused") return "paused";
    if (state == "offline" || state == "rejected") return "waiting to send";
    if (currentRate < 50.0) return "idle";
    char buffer[48];
    if (currentRate < 1024.0) {
        std::snprintf(buffer, sizeof buffer, "%.0f B/s", currentRate);
    } else {
        std::snprintf(buffer, sizeof buffer, "%.1f KB/s", currentRate / 1024.0);
    }
    return std::string("now ") + buffer;
}

JsonValue viewJson(const AppStatus& status, const StatusView& view) {
    JsonValue o = JsonValue::object();
    o.set("view", (view.state == "setup" || view.state == "reconnect") ? "setup" : "status");
    o.set("state", view.state);
    o.set("tone", toneName(view.tone));
    o.set("title", view.title);
    o.set("line", view.line);
    o.set("paused", status.paused);
    o.set("startWithWindows", status.startWithWindows);
    o.set("windowKind", status.windowKind);
    o.set("version", status.version);
    o.set("today", countersView(status.stats.today));
    o.set("total", countersView(status.stats.total));

    JsonValue chart = JsonValue::object();
    JsonValue bars = JsonValue::array();
    double max = 0.0;
    for (double v : status.stats.rateHistory) {
        bars.push(roundHalfAway(v));
        if (v > max) max = v;
    }
    chart.set("bars", std::move(bars));
    chart.set("max", roundHalfAway(max));
    chart.set("rate", rateText(view.state, status.stats.currentRate));
    o.set("chart", std::move(chart));

    JsonValue details = JsonValue::array();
    for (const StatusRow& row : view.rows) {
        JsonValue r = JsonValue::object();
        r.set("label", row.label);
        r.set("value", row.value);
        r.set("tone", row.tone);
        details.push(std::move(r));
    }
    o.set("details", std::move(details));

    JsonValue connect = JsonValue::object();
    connect.set("busy", status.enrolling);
    connect.set("error", status.connectError);
    o.set("connect", std::move(connect));
    return o;
}

std::string supportText(const AppStatus& status, const StatusView& view) {
    const JsonValue& snap = status.collector;
    std::string out = "Parlow collector details\n";
    out += labelled("version", status.version + " (window: " +
                                   (status.windowKind.empty() ? std::string("tray") : status.windowKind) + ")");
    out += labelled("state", view.state + (status.paused ? " (paused)" : ""));
    if (status.enrolled) {
        out += labelled("device", snap.getString("collectorId", "") + "  boot " + snap.getString("bootId", ""));
        out += labelled("league", snap.getString("leagueClient", "unknown") + ", phase " +
                                      snap.getString("gameflowPhase", "none") + ", live " +
                                      snap.getString("liveGame", "unknown"));
        const std::int64_t lastSuccess = snapshotInt(snap, "lastSuccessUnixMs");
        std::string server = snap.getString("serverConnection", "");
        if (lastSuccess < 1) {
            server += ", no upload yet";
        } else {
            server += ", last upload " + agoText(status.nowUnixMs - lastSuccess);
        }
        server += ", failures " + std::to_string(snapshotInt(snap, "consecutiveFailures"));
        server += ", refused batches " + std::to_string(snapshotInt(snap, "rejectedBatches"));
        server += ", key refusals " + std::to_string(snapshotInt(snap, "authFailures"));
        out += labelled("server", server);
        out += labelled("waiting", countText(nonNegative(snapshotInt(snap, "pendingObservations"))) + " (" +
                                       countText(nonNegative(snapshotInt(snap, "droppedObservations"))) +
                                       " dropped), " + countText(nonNegative(snapshotInt(snap, "sentBatches"))) +
                                       " batches sent");
    }
    out += labelled("today", countersLine(status.stats.today));
    out += labelled("in total", countersLine(status.stats.total));
    std::string problem = status.enrolled ? snap.getString("lastError", "") : status.connectError;
    out += labelled("last problem", problem.empty() ? std::string("none") : problem);
    return out;
}

}  // namespace vornet::app
