#include "ui/view_model.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vornet::app {
namespace {

const std::string kDot = " \xC2\xB7 ";
const std::string kEllipsis = "\xE2\x80\xA6";
constexpr std::int64_t kNow = 1700000000000;

// Catches wrong grouping (leading comma, groups counted from the left) and u64 truncation.
TEST(TextFunctions, CountText) {
    struct Case {
        std::uint64_t n;
        const char* text;
    } cases[] = {{0, "0"},         {7, "7"},           {999, "999"},         {1000, "1,000"},
                 {12345, "12,345"}, {100000, "100,000"}, {1234567, "1,234,567"},
                 {18446744073709551615ULL, "18,446,744,073,709,551,615"}};
    for (const Case& c : cases) EXPECT_EQ(countText(c.n), c.text) << c.n;
}

// Catches off-by-one thresholds between units and wrong precision per unit.
TEST(TextFunctions, ByteText) {
    struct Case {
        std::uint64_t n;
        const char* text;
    } cases[] = {{0, "0 B"},          {1023, "1023 B"},        {1024, "1.0 KB"},       {1536, "1.5 KB"},
                 {1048575, "1024.0 KB"}, {1048576, "1.0 MB"}, {2202009, "2.1 MB"},      {1073741823, "1024.0 MB"},
                 {1073741824, "1.00 GB"}, {5368709120ULL, "5.00 GB"}};
    for (const Case& c : cases) EXPECT_EQ(byteText(c.n), c.text) << c.n;
}

// Catches rounding instead of truncation and wrong thresholds (negative times included).
TEST(TextFunctions, AgoText) {
    struct Case {
        std::int64_t ms;
        const char* text;
    } cases[] = {{-5000, "just now"},  {0, "just now"},          {4999, "just now"},      {5000, "5 s ago"},
                 {59999, "59 s ago"},  {60000, "1 min ago"},     {150000, "2 min ago"},   {3599999, "59 min ago"},
                 {3600000, "1 h ago"}, {86400000, "24 h ago"}};
    for (const Case& c : cases) EXPECT_EQ(agoText(c.ms), c.text) << c.ms;
}

// Catches a wrong test order (the first matching rule wins) and case-insensitive matching.
TEST(TextFunctions, LastProblemText) {
    struct Case {
        const char* error;
        const char* text;
    } cases[] = {
        {"", "none"},
        {"aggregator rejected a batch: HTTP 401", "Updates refused by Parlow"},
        {"HTTP 401", "This PC's key was not accepted"},
        {"HTTP 403 certificate", "This PC's key was not accepted"},
        {"certificate not trusted: cannot connect", "Secure connection problem"},
        {"TLS handshake failed", "Secure connection problem"},
        {"tls handshake failed", "Upload problem"},
        {"cannot reach host", "No connection"},
        {"timeout", "No connection"},
        {"timed out", "No connection"},
        {"connect failed", "No connection"},
        {"cannot resolve name", "No connection"},
        {"HTTP 500", "Upload problem"},
    };
    for (const Case& c : cases) EXPECT_EQ(lastProblemText(c.error), c.text) << c.error;
}

TEST(TextFunctions, TrayTipIsCutAt120Bytes) {
    EXPECT_EQ(trayTipText("Sending your games", true, 12345),
              "Parlow" + kDot + "Sending your games" + kDot + "12,345 events today");
    std::string longTitle(200, 'x');
    std::string tip = trayTipText(longTitle, true, 5);
    EXPECT_EQ(tip.size(), kTrayTipLimit);
    EXPECT_EQ(tip, ("Parlow" + kDot + longTitle).substr(0, kTrayTipLimit));
    EXPECT_EQ(trayTipText("Ready", false, 99), "Parlow" + kDot + "Ready");
    // A character that would straddle byte 120 is left out whole rather than split.
    std::string straddling = std::string(109, 'y') + kEllipsis + "tail";
    EXPECT_EQ(trayTipText(straddling, false, 0), "Parlow" + kDot + std::string(109, 'y'));
    std::string fitting = std::string(107, 'y') + kEllipsis + "tail";
    EXPECT_EQ(trayTipText(fitting, false, 0), "Parlow" + kDot + std::string(107, 'y') + kEllipsis);
}

// Catches a wrong rate threshold, format or state override.
TEST(TextFunctions, RateText) {
    struct Case {
        const char* state;
        double rate;
        const char* text;
    } cases[] = {{"paused", 5000, "paused"},       {"offline", 5000, "waiting to send"},
                 {"rejected", 0, "waiting to send"}, {"sending", 49.9, "idle"},
                 {"sending", 50.0, "now 50 B/s"},  {"connected", 1023.4, "now 1023 B/s"},
                 {"sending", 1536, "now 1.5 KB/s"}, {"sending", 3390, "now 3.3 KB/s"},
                 {"starting", 0, "idle"}};
    for (const Case& c : cases) EXPECT_EQ(rateText(c.state, c.rate), c.text) << c.state << " " << c.rate;
}

JsonValue snapshotOf(std::initializer_list<std::pair<const char*, JsonValue>> members) {
    JsonValue s = JsonValue::object();
    for (const auto& [key, value] : members) s.set(key, value);
    return s;
}

// Catches wrong phase mapping, the live flag not overriding the phase, and wrong offline tones.
TEST(LeagueLineTest, Table) {
    struct Case {
        const char* client;
        const char* phase;  // nullptr: member absent
        const char* live;
        const char* text;
        const char* tone;
        bool running, inGame, champSelect, error;
    } cases[] = {
        {"connected", "InProgress", "unavailable", "In a game", "green", true, true, false, false},
        {"connected", "GameStart", "unknown", "In a game", "green", true, true, false, false},
        {"connected", "Reconnect", "unknown", "In a game", "green", true, true, false, false},
        {"connected", "Lobby", "available", "In a game", "green", true, true, false, false},
        {"unreachable", nullptr, "available", "In a game", "green", true, true, false, false},
        {"connected", "ChampSelect", "unknown", "Champion select", "green", true, false, true, false},
        {"connected", "Lobby", "unknown", "In the lobby", "green", true, false, false, false},
        {"connected", "Matchmaking", "unknown", "In the lobby", "green", true, false, false, false},
        {"connected", "ReadyCheck", "unknown", "In the lobby", "green", true, false, false, false},
        {"connected", "WaitingForStats", "unknown", "After the game", "green", true, false, false, false},
        {"connected", "PreEndOfGame", "unknown", "After the game", "green", true, false, false, false},
        {"connected", "EndOfGame", "unknown", "After the game", "green", true, false, false, false},
        {"connected", "None", "unknown", "Open", "green", true, false, false, false},
        {"connected", nullptr, "unknown", "Open", "green", true, false, false, false},
        {"not_running", "InProgress", "unknown", "Not running", "amber", false, false, false, false},
        {"unreachable", nullptr, "unavailable", "Not running", "amber", false, false, false, false},
        {"unknown", nullptr, "unknown", "Looking for League\xE2\x80\xA6", "amber", false, false, false, false},
        {"tls_not_configured", nullptr, "unknown", "Can't connect", "red", false, false, false, true},
    };
    for (const Case& c : cases) {
        JsonValue s = snapshotOf({{"leagueClient", c.client}, {"liveGame", c.live}});
        if (c.phase != nullptr) s.set("gameflowPhase", c.phase);
        LeagueLine l = leagueLine(s);
        EXPECT_EQ(l.text, c.text) << c.client << " " << (c.phase ? c.phase : "-");
        EXPECT_EQ(l.tone, c.tone) << c.client;
        EXPECT_EQ(l.running, c.running) << c.client;
        EXPECT_EQ(l.inGame, c.inGame) << c.client;
        EXPECT_EQ(l.champSelect, c.champSelect) << c.client;
        EXPECT_EQ(l.error, c.error) << c.client;
    }
    // Without any member the client counts as unknown.
    EXPECT_EQ(leagueLine(JsonValue::object()).text, "Looking for League" + kEllipsis);
    EXPECT_EQ(leagueLine(JsonValue()).text, "Looking for League" + kEllipsis);
}

AppStatus enrolledStatus(JsonValue snapshot) {
    AppStatus s;
    s.enrolled = true;
    s.nowUnixMs = kNow;
    s.startedUnixMs = kNow - 3600000;
    s.collector = std::move(snapshot);
    s.stats.today.events = 12345;
    return s;
}

// A healthy snapshot: uploads 10 s ago, League in the lobby.
JsonValue healthy() {
    return snapshotOf({{"serverConnection", "connected"},
                       {"lastSuccessUnixMs", kNow - 10000},
                       {"consecutiveFailures", 0},
                       {"leagueClient", "connected"},
                       {"gameflowPhase", "Lobby"},
                       {"liveGame", "unavailable"}});
}

struct ClassifyCase {
    const char* name;
    bool enrolled;
    bool paused;
    std::int64_t startedAgoMs;
    std::vector<std::pair<const char*, JsonValue>> changes;  // applied over healthy()
    const char* state;
    int tone;
    std::string title;
    std::string line;
    std::string trayTip;
};

// One row per state and per precedence rule: catches a reordered test, a missing condition
// (justStarted, recentSuccess) or wrong texts.
TEST(ClassifyStatus, EveryStateAndPrecedence) {
    const std::string p = "Parlow" + kDot;
    const std::vector<ClassifyCase> cases = {
        {"not enrolled wins over everything", false, true, 3600000, {{"authFailures", 5}}, "setup", 1,
         "Welcome to Parlow", "Enter the code from your invite to connect this PC.", p + "Not connected yet"},
        {"two key refusals", true, false, 3600000, {{"authFailures", 2}, {"consecutiveRejected", 4}}, "reconnect", 2,
         "Connect this PC again", "This PC's key is no longer accepted. Enter a new code from your invite.",
         p + "Needs a new code"},
        {"paused beats key refusals", true, true, 3600000, {{"authFailures", 2}}, "paused", 1, "Paused",
         "Nothing is being recorded. Press Resume to continue.", p + "Paused"},
        {"checking beats rejected", true, false, 3600000, {{"authFailures", 1}, {"consecutiveRejected", 5}},
         "checking", 1, "Checking this PC's key" + kEllipsis,
         "Parlow didn't accept this PC's key. Trying again in a minute.", p + "Checking this PC's key" + kEllipsis},
        {"fractional auth count is checking", true, false, 3600000, {{"authFailures", 1.5}}, "checking", 1,
         "Checking this PC's key" + kEllipsis, "Parlow didn't accept this PC's key. Trying again in a minute.",
         p + "Checking this PC's key" + kEllipsis},
        {"rejected beats failing", true, false, 3600000,
         {{"consecutiveRejected", 2}, {"serverConnection", "failing"}, {"lastSuccessUnixMs", JsonValue()},
          {"consecutiveFailures", 9}},
         "rejected", 2, "Parlow isn't accepting updates",
         "Updates from this PC are being refused. Copy the details and send them to support.",
         p + "Parlow isn't accepting updates"},
        {"failing 25 s after start", true, false, 25000,
         {{"serverConnection", "failing"}, {"lastSuccessUnixMs", JsonValue()}, {"consecutiveFailures", 7}},
         "offline", 2, "Can't reach Parlow",
         "Updates wait on this PC while it's running and are sent once the connection is back.",
         p + "Can't reach Parlow"},
        {"failing after an old success", true, false, 3600000,
         {{"serverConnection", "retrying"}, {"lastSuccessUnixMs", kNow - 120000}, {"consecutiveFailures", 3}},
         "offline", 2, "Can't reach Parlow",
         "Updates wait on this PC while it's running and are sent once the connection is back.",
         p + "Can't reach Parlow"},
        {"failing 15 s after start is still starting", true, false, 15000,
         {{"serverConnection", "failing"}, {"lastSuccessUnixMs", JsonValue()}, {"consecutiveFailures", 7}},
         "starting", 1, "Starting" + kEllipsis, "Connecting to Parlow.", p + "Starting" + kEllipsis},
        {"two failures are not failing", true, false, 3600000,
         {{"serverConnection", "failing"}, {"lastSuccessUnixMs", JsonValue()}, {"consecutiveFailures", 2}},
         "starting", 1, "Starting" + kEllipsis, "Connecting to Parlow.", p + "Starting" + kEllipsis},
        {"recent success is connected despite failures", true, false, 3600000,
         {{"serverConnection", "retrying"}, {"lastSuccessUnixMs", kNow - 59999}, {"consecutiveFailures", 5}},
         "connected", 0, "Connected", "League is open. Your next game will be recorded.",
         p + "Connected" + kDot + "12,345 events today"},
        {"league error", true, false, 3600000, {{"leagueClient", "tls_not_configured"}}, "offline", 2,
         "Can't read League", "Restart League. If this keeps happening, copy the details for support.",
         p + "Can't read League"},
        {"league open", true, false, 3600000, {}, "connected", 0, "Connected",
         "League is open. Your next game will be recorded.", p + "Connected" + kDot + "12,345 events today"},
        {"in a game", true, false, 3600000, {{"gameflowPhase", "InProgress"}}, "sending", 0, "Sending your games",
         "Game in progress" + kDot + "everything is working.",
         p + "Sending your games" + kDot + "12,345 events today"},
        {"champion select", true, false, 3600000, {{"gameflowPhase", "ChampSelect"}}, "sending", 0,
         "Sending your games", "Champion select" + kDot + "everything is working.",
         p + "Sending your games" + kDot + "12,345 events today"},
        {"league not running", true, false, 3600000, {{"leagueClient", "not_running"}}, "waiting", 1, "Ready",
         "Waiting for League to start. Nothing to do.", p + "Ready"},
        {"no snapshot at all", true, false, 5000, {}, "starting", 1, "Starting" + kEllipsis,
         "Connecting to Parlow.", p + "Starting" + kEllipsis},
    };
    for (const ClassifyCase& c : cases) {
        JsonValue snap = healthy();
        for (const auto& [key, value] : c.changes) snap.set(key, value);
        if (std::string(c.name) == "no snapshot at all") snap = JsonValue();
        AppStatus s = enrolledStatus(snap);
        s.enrolled = c.enrolled;
        s.paused = c.paused;
        s.startedUnixMs = kNow - c.startedAgoMs;
        StatusView v = classifyStatus(s);
        EXPECT_EQ(v.state, c.state) << c.name;
        EXPECT_EQ(v.tone, c.tone) << c.name;
        EXPECT_EQ(v.title, c.title) << c.name;
        EXPECT_EQ(v.line, c.line) << c.name;
        EXPECT_EQ(v.trayTip, c.trayTip) << c.name;
        const bool setupLike = v.state == "setup" || v.state == "reconnect";
        EXPECT_EQ(v.rows.size(), setupLike ? 0u : 5u) << c.name;
    }
}

struct RowCase {
    const char* name;
    bool paused;
    std::vector<std::pair<const char*, JsonValue>> changes;
    int row;
    const char* label;
    std::string value;
    const char* tone;
};

// Catches wrong branch order in the rows, wrong plural, the lost count and the conditions
// under which the last problem is shown.
TEST(ClassifyStatus, Rows) {
    const std::vector<RowCase> cases = {
        {"key refused while paused", true, {{"authFailures", 2}}, 0, "Parlow", "Key not accepted", "red"},
        {"checking", false, {{"authFailures", 1}, {"consecutiveRejected", 3}}, 0, "Parlow",
         "Checking this PC's key" + kEllipsis, "amber"},
        {"refusing", false, {{"consecutiveRejected", 2}}, 0, "Parlow", "Refusing updates", "red"},
        {"connected 90 s ago", false, {{"lastSuccessUnixMs", kNow - 90000}}, 0, "Parlow",
         "Connected" + kDot + "1 min ago", "green"},
        {"recent success while retrying", false,
         {{"serverConnection", "retrying"}, {"lastSuccessUnixMs", kNow - 30000}, {"consecutiveFailures", 4}}, 0,
         "Parlow", "Retrying", "amber"},
        {"failing", false,
         {{"serverConnection", "failing"}, {"lastSuccessUnixMs", JsonValue()}, {"consecutiveFailures", 3}}, 0,
         "Parlow", "Can't connect", "red"},
        {"one failure", false,
         {{"serverConnection", "failing"}, {"lastSuccessUnixMs", JsonValue()}, {"consecutiveFailures", 1}}, 0,
         "Parlow", "Retrying", "amber"},
        {"not yet connected", false, {{"serverConnection", "not_yet_connected"}, {"lastSuccessUnixMs", JsonValue()}},
         0, "Parlow", "Connecting" + kEllipsis, "amber"},
        {"league while paused", true, {{"gameflowPhase", "InProgress"}}, 1, "League", "Not watched while paused", ""},
        {"league", false, {{"gameflowPhase", "ChampSelect"}}, 1, "League", "Champion select", "green"},
        {"nothing waiting", false, {}, 2, "Waiting to send", "nothing", ""},
        {"one waiting", false, {{"pendingObservations", 1}}, 2, "Waiting to send", "1 update", ""},
        {"many waiting", false, {{"pendingObservations", 1500}}, 2, "Waiting to send", "1,500 updates", ""},
        {"lost", false, {{"pendingObservations", 1}, {"droppedObservations", 2500}}, 2, "Waiting to send",
         "1 update" + kDot + "2,500 lost", "amber"},
        {"lost, nothing waiting", false, {{"droppedObservations", 3}}, 2, "Waiting to send",
         "nothing" + kDot + "3 lost", "amber"},
        {"error hidden while healthy", false, {{"lastError", "timed out"}}, 3, "Last problem", "none", ""},
        {"error shown after a failure", false, {{"lastError", "timed out"}, {"consecutiveFailures", 1}}, 3,
         "Last problem", "No connection", ""},
        {"error shown when not connected", false,
         {{"lastError", "HTTP 403"}, {"serverConnection", "retrying"}, {"lastSuccessUnixMs", kNow - 600000}}, 3,
         "Last problem", "This PC's key was not accepted", ""},
        {"error shown after one rejection", false,
         {{"lastError", "aggregator rejected a batch"}, {"consecutiveRejected", 1}}, 3, "Last problem",
         "Updates refused by Parlow", ""},
        {"error shown while checking", false, {{"lastError", "x"}, {"authFailures", 1}}, 3, "Last problem",
         "Upload problem", ""},
        {"version", false, {}, 4, "Version", "0.3.0", ""},
    };
    for (const RowCase& c : cases) {
        JsonValue snap = healthy();
        for (const auto& [key, value] : c.changes) snap.set(key, value);
        AppStatus s = enrolledStatus(snap);
        s.paused = c.paused;
        StatusView v = classifyStatus(s);
        ASSERT_EQ(v.rows.size(), 5u) << c.name;
        EXPECT_EQ(v.rows[c.row].label, c.label) << c.name;
        EXPECT_EQ(v.rows[c.row].value, c.value) << c.name;
        EXPECT_EQ(v.rows[c.row].tone, c.tone) << c.name;
    }
}

TEST(ViewJson, SetupViewHasNoDetailsAndCarriesTheConnectState) {
    AppStatus s;
    s.enrolled = false;
    s.enrolling = true;
    s.connectError = "That code didn't work. Ask for a new one.";
    s.startWithWindows = true;
    s.windowKind = "native";
    s.stats.rateHistory[0] = 2.5;
    s.stats.rateHistory[1] = 1.49;
    s.stats.rateHistory[29] = 10.5;
    s.stats.currentRate = 0;
    StatusView v = classifyStatus(s);
    EXPECT_EQ(writeJson(viewJson(s, v)),
              "{\"view\":\"setup\",\"state\":\"setup\",\"tone\":\"amber\",\"title\":\"Welcome to Parlow\","
              "\"line\":\"Enter the code from your invite to connect this PC.\",\"paused\":false,"
              "\"startWithWindows\":true,\"windowKind\":\"native\",\"version\":\"0.3.0\","
              "\"today\":{\"events\":\"0\",\"games\":\"0\",\"uploaded\":\"0 B\"},"
              "\"total\":{\"events\":\"0\",\"games\":\"0\",\"uploaded\":\"0 B\"},"
              "\"chart\":{\"bars\":[3,1,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,11],\"max\":11,"
              "\"rate\":\"idle\"},\"details\":[],"
              "\"connect\":{\"busy\":true,\"error\":\"That code didn't work. Ask for a new one.\"}}");
}

TEST(ViewJson, ReconnectIsASetupView) {
    AppStatus s = enrolledStatus(snapshotOf({{"authFailures", 2}}));
    JsonValue j = viewJson(s, classifyStatus(s));
    EXPECT_EQ(j.getString("view", ""), "setup");
    EXPECT_EQ(j.getString("state", ""), "reconnect");
    EXPECT_EQ(j.getString("tone", ""), "red");
    ASSERT_NE(j.find("details"), nullptr);
    EXPECT_TRUE(j.find("details")->asArray().empty());
}

TEST(SupportText, NotEnrolledLeavesOutTheDeviceLines) {
    AppStatus s;
    s.enrolled = false;
    s.collector = healthy();
    s.stats.today = {5, 1, 1536, 4096};
    s.stats.total = {1234567, 12, 1073741824, 5368709120ULL};
    EXPECT_EQ(supportText(s, classifyStatus(s)),
              "Parlow collector details\n"
              "version      0.3.0 (window: tray)\n"
              "state        setup\n"
              "today        5 events, 1 games, 1.5 KB (4.0 KB before compression)\n"
              "in total     1,234,567 events, 12 games, 1.00 GB (5.00 GB before compression)\n"
              "last problem none\n");
    s.connectError = "Too many tries. Wait a minute, then try again.";
    s.windowKind = "webview";
    s.paused = true;
    std::string text = supportText(s, classifyStatus(s));
    EXPECT_NE(text.find("version      0.3.0 (window: webview)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("state        setup (paused)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("last problem Too many tries. Wait a minute, then try again.\n"), std::string::npos) << text;
}

TEST(SupportText, EnrolledShowsRawSnapshotValuesAndDefaults) {
    // Missing members take their defaults; the last problem is the raw error text.
    AppStatus s = enrolledStatus(snapshotOf({{"collectorId", "pc-7"},
                                             {"bootId", "boot_0123456789abcdef"},
                                             {"serverConnection", "failing"},
                                             {"gameflowPhase", JsonValue()},
                                             {"consecutiveFailures", 4},
                                             {"rejectedBatches", 2},
                                             {"authFailures", 1},
                                             {"pendingObservations", 12000},
                                             {"droppedObservations", 7},
                                             {"sentBatches", 0},
                                             {"lastError", "HTTP 401 unauthorized"}}));
    s.stats.today.events = 0;
    StatusView v = classifyStatus(s);
    EXPECT_EQ(supportText(s, v),
              "Parlow collector details\n"
              "version      0.3.0 (window: tray)\n"
              "state        checking\n"
              "device       pc-7  boot boot_0123456789abcdef\n"
              "league       unknown, phase none, live unknown\n"
              "server       failing, no upload yet, failures 4, refused batches 2, key refusals 1\n"
              "waiting      12,000 (7 dropped), 0 batches sent\n"
              "today        0 events, 0 games, 0 B (0 B before compression)\n"
              "in total     0 events, 0 games, 0 B (0 B before compression)\n"
              "last problem HTTP 401 unauthorized\n");
}

}  // namespace
}  // namespace vornet::app
