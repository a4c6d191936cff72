#include "app/app_state.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "app/demo_data.h"
#include "core/files.h"
#include "test_support.h"
#include "ui/view_model.h"

namespace vornet::app {
namespace {

using testing::FakeAutostart;
using testing::TempFolder;

// Catches a stem taken up to the first dot and backslash paths not being split.
TEST(StatePathsTest, Table) {
    struct Case {
        const char* option;
        const char* config;
        const char* app;
        const char* stats;
    } cases[] = {
        {"D:\\cfg\\test.json", "D:\\cfg\\test.json", "D:\\cfg\\test.app.json", "D:\\cfg\\test.stats.json"},
        {"C:\\x\\lab.cfg.json", "C:\\x\\lab.cfg.json", "C:\\x\\lab.cfg.app.json", "C:\\x\\lab.cfg.stats.json"},
        {"/etc/parlow/site", "/etc/parlow/site", "/etc/parlow/site.app.json", "/etc/parlow/site.stats.json"},
        {"local.json", "local.json", "local.app.json", "local.stats.json"},
        {"/tmp/.json", "/tmp/.json", "/tmp/.json.app.json", "/tmp/.json.stats.json"},
    };
    for (const Case& c : cases) {
        StatePaths p = statePaths(c.option, "unused");
        EXPECT_EQ(p.configPath, c.config);
        EXPECT_EQ(p.appJsonPath, c.app);
        EXPECT_EQ(p.statsPath, c.stats);
    }
    StatePaths defaults = statePaths("", "base");
    EXPECT_EQ(defaults.configPath, joinPath("base", "collector.json"));
    EXPECT_EQ(defaults.appJsonPath, joinPath("base", "app.json"));
    EXPECT_EQ(defaults.statsPath, joinPath("base", "stats.json"));
}

// Catches a true paused flag from anything but a boolean true in an object.
TEST(PausedFile, Table) {
    struct Case {
        const char* text;
        bool paused;
    } cases[] = {{R"({"paused":true})", true},
                 {R"({"paused":false})", false},
                 {R"({"paused":1})", false},
                 {R"({"other":true})", false},
                 {"[true]", false},
                 {"{broken", false},
                 {R"({"paused":true,"x":2})", true}};
    for (const Case& c : cases) EXPECT_EQ(pausedFromText(c.text), c.paused) << c.text;
}

struct Harness {
    TempFolder scratch;
    FakeAutostart autostart;
    std::set<std::string> tokens;  // collector ids with a readable token
    std::set<std::string> existingPrograms;

    StartupEnvironment env() {
        StartupEnvironment e;
        e.appFolder = scratch.utf8();
        e.autostart = &autostart;
        e.autostartCommand = "\"C:\\Parlow\\parlow.exe\" --background";
        e.pathExists = [this](const std::string& path) { return existingPrograms.count(path) > 0 || fileExists(path); };
        e.tokenReadable = [this](const std::string& id) { return tokens.count(id) > 0; };
        e.day = [] { return std::string("2025-03-09"); };
        e.clockMs = [] { return std::int64_t{0}; };
        return e;
    }
};

TEST(LoadAppStateTest, NoConfigurationFileMeansDefaultsAndNotEnrolled) {
    Harness h;
    h.tokens.insert("collector_1");  // a token alone does not make the PC enrolled
    AppState state;
    loadAppState(state, AppOptions{}, h.env());
    EXPECT_EQ(state.version, "0.3.0");
    EXPECT_EQ(state.config.id, "collector_1");
    EXPECT_FALSE(state.enrolled);
    EXPECT_FALSE(state.paused->load());
    EXPECT_TRUE(state.lastError.empty());
    EXPECT_TRUE(state.connectError.empty());
    ASSERT_TRUE(state.stats);
    EXPECT_EQ(state.stats->path(), h.scratch.file("stats.json"));
}

// Catches a lost identity on a broken setting, a kept identity from non-JSON text, and a
// wrong message prefix or fallback text.
TEST(LoadAppStateTest, ConfigurationFallbacks) {
    struct Case {
        const char* name;
        const char* text;
        bool tokenForId;
        const char* id;
        bool enrolled;
        bool connectError;
    } cases[] = {
        {"valid", R"({"collector":{"id":"pc-9"}})", true, "pc-9", true, false},
        {"valid without token", R"({"collector":{"id":"pc-9"}})", false, "pc-9", false, false},
        {"invalid setting keeps id", R"({"collector":{"id":"pc-9"},"server":{"batchIntervalMs":"fast"}})", true, "pc-9",
         true, false},
        {"not JSON loses id", "{collector: pc-9", true, "collector_1", false, true},
        {"invalid without id", R"({"server":{"batchIntervalMs":"fast"}})", true, "collector_1", false, true},
        {"empty id", R"({"collector":{"id":""},"server":{"batchIntervalMs":"fast"}})", true, "collector_1", false,
         true},
    };
    for (const Case& c : cases) {
        Harness h;
        ASSERT_TRUE(writeFileAtomically(h.scratch.file("collector.json"), c.text));
        // The token belongs to the identity the PC had: "pc-9".
        if (c.tokenForId) h.tokens.insert("pc-9");
        std::vector<std::string> errors, warnings;
        const bool valid = loadConfigFile(h.scratch.file("collector.json"), errors, warnings).has_value();
        AppState state;
        loadAppState(state, AppOptions{}, h.env());
        EXPECT_EQ(state.config.id, c.id) << c.name;
        EXPECT_EQ(state.enrolled, c.enrolled) << c.name;
        EXPECT_EQ(state.connectError, c.connectError ? kSettingsUnreadableText : "") << c.name;
        if (valid) {
            EXPECT_EQ(state.lastError, "") << c.name;
        } else {
            ASSERT_FALSE(errors.empty()) << c.name;
            EXPECT_EQ(state.lastError, "collector.json: " + errors.front()) << c.name;
        }
    }
}

TEST(LoadAppStateTest, ConfigOptionPlacesStateBesideTheFile) {
    Harness h;
    const std::string config = h.scratch.file("lab.cfg.json");
    ASSERT_TRUE(writeFileAtomically(config, R"({"collector":{"id":"lab"}})"));
    ASSERT_TRUE(writeFileAtomically(h.scratch.file("lab.cfg.app.json"), R"({"paused":true})"));
    ASSERT_TRUE(writeFileAtomically(h.scratch.file("app.json"), R"({"paused":false})"));
    h.tokens.insert("lab");
    h.autostart.value = "\"C:\\Gone\\parlow.exe\" --background";  // would be repaired without --config
    AppOptions options;
    options.configPath = utf8ToWide(config);
    AppState state;
    loadAppState(state, options, h.env());
    EXPECT_TRUE(state.configGiven);
    EXPECT_TRUE(state.enrolled);
    EXPECT_TRUE(state.paused->load());
    EXPECT_EQ(state.paths.statsPath, h.scratch.file("lab.cfg.stats.json"));
    EXPECT_EQ(h.autostart.writes, 0);
    EXPECT_TRUE(state.startWithWindows);

    state.paused->store(false);
    savePaused(state);
    EXPECT_EQ(readWholeFile(h.scratch.file("lab.cfg.app.json")).value_or(""), R"({"paused":false})");
}

TEST(LoadAppStateTest, DemoAndSelftestReadNoFiles) {
    for (bool demo : {true, false}) {
        Harness h;
        ASSERT_TRUE(writeFileAtomically(h.scratch.file("collector.json"), R"({"collector":{"id":"pc-9"}})"));
        ASSERT_TRUE(writeFileAtomically(h.scratch.file("app.json"), R"({"paused":true})"));
        h.tokens.insert("pc-9");
        h.autostart.value = "\"C:\\Gone\\parlow.exe\" --background";
        AppOptions options;
        options.demo = demo;
        if (!demo) options.uiSelftest = u"C:\\selftest";
        AppState state;
        loadAppState(state, options, h.env());
        EXPECT_EQ(state.enrolled, demo);
        EXPECT_EQ(state.config.id, "collector_1");
        EXPECT_FALSE(state.paused->load());
        EXPECT_FALSE(state.stats);
        EXPECT_EQ(h.autostart.writes, 0);
        EXPECT_TRUE(state.startWithWindows);
        savePaused(state);  // no path: nothing written
        EXPECT_EQ(readWholeFile(h.scratch.file("app.json")).value_or(""), R"({"paused":true})");
    }
}

// Catches a repair that creates entries, overwrites other existing copies or compares case.
TEST(AutostartTest, Repair) {
    const std::string current = "\"C:\\Parlow\\parlow.exe\" --background";
    struct Case {
        const char* name;
        std::optional<std::string> value;
        bool programExists;
        std::optional<std::string> after;
    } cases[] = {
        {"absent stays absent", std::nullopt, false, std::nullopt},
        {"current command", current, false, current},
        {"other letter case", "\"c:\\parlow\\PARLOW.EXE\" --BACKGROUND", false,
         "\"c:\\parlow\\PARLOW.EXE\" --BACKGROUND"},
        {"missing program is rewritten", "\"C:\\Old\\parlow.exe\" --background", false, current},
        {"other existing copy stays", "\"C:\\Old\\parlow.exe\" --background", true,
         "\"C:\\Old\\parlow.exe\" --background"},
        {"unquoted missing path", "C:\\Old\\parlow.exe", false, current},
        {"unclosed quote", "\"C:\\Old\\parlow.exe", false, current},
    };
    for (const Case& c : cases) {
        FakeAutostart store;
        store.value = c.value;
        std::string asked;
        repairStartWithWindows(store, current, [&](const std::string& path) {
            asked = path;
            return c.programExists;
        });
        EXPECT_EQ(store.value, c.after) << c.name;
        if (c.value && std::string(c.name) != "current command" && std::string(c.name) != "other letter case") {
            EXPECT_EQ(asked, "C:\\Old\\parlow.exe") << c.name;
        }
    }
    FakeAutostart store;
    store.value = "\"C:\\Old\\parlow.exe\" --background";
    repairStartWithWindows(store, current, [](const std::string&) -> bool { throw std::runtime_error("denied"); });
    EXPECT_EQ(store.writes, 0);
}

TEST(AutostartTest, CommandAndSwitching) {
    EXPECT_EQ(autostartCommand("C:\\Program Files\\Parlow\\parlow.exe"),
              "\"C:\\Program Files\\Parlow\\parlow.exe\" --background");
    FakeAutostart store;
    EXPECT_FALSE(startWithWindowsEnabled(store));
    setStartWithWindows(store, true, "cmd");
    EXPECT_TRUE(startWithWindowsEnabled(store));
    setStartWithWindows(store, false, "cmd");
    EXPECT_FALSE(startWithWindowsEnabled(store));
}

TEST(BuildStatusTest, ApplicationErrorFillsAnEmptyCollectorError) {
    Harness h;
    AppState state;
    loadAppState(state, AppOptions{}, h.env());
    state.lastError = "collector.json: bad";
    state.connectError = "c";
    state.enrolling = true;
    struct Case {
        JsonValue snapshot;
        std::string lastError;
    };
    JsonValue withError = JsonValue::object();
    withError.set("lastError", "timed out");
    JsonValue withNull = JsonValue::object();
    withNull.set("lastError", JsonValue());
    JsonValue withEmpty = JsonValue::object();
    withEmpty.set("lastError", "");
    Case cases[] = {{withError, "timed out"},
                    {withNull, "collector.json: bad"},
                    {withEmpty, "collector.json: bad"},
                    {JsonValue::object(), "collector.json: bad"}};
    for (const Case& c : cases) {
        StatusInputs in{&c.snapshot, "native", 5000, 0, 1000};
        AppStatus s = buildStatus(state, in);
        EXPECT_EQ(s.collector.getString("lastError", "?"), c.lastError);
        EXPECT_EQ(s.startedUnixMs, 1000);
        EXPECT_EQ(s.windowKind, "native");
        EXPECT_TRUE(s.enrolling);
        EXPECT_EQ(s.connectError, "c");
    }
    StatusInputs none{nullptr, "", 5000, 4000, 1000};
    AppStatus s = buildStatus(state, none);
    EXPECT_TRUE(s.collector.isNull());
    EXPECT_EQ(s.startedUnixMs, 4000);
}

TEST(DemoData, ViewJsonSupportTextAndTooltip) {
    Harness h;
    AppOptions options;
    options.demo = true;
    AppState state;
    loadAppState(state, options, h.env());
    StatusInputs in{nullptr, "", 1700000000000, 0, 1700000000000};
    AppStatus status = buildStatus(state, in);
    StatusView view = classifyStatus(status);
    EXPECT_EQ(view.state, "sending");
    EXPECT_EQ(view.trayTip, "Parlow \xC2\xB7 Sending your games \xC2\xB7 1,284 events today");
    EXPECT_EQ(status.startedUnixMs, 1700000000000 - 3600000);
    EXPECT_EQ(writeJson(viewJson(status, view)),
              "{\"view\":\"status\",\"state\":\"sending\",\"tone\":\"green\",\"title\":\"Sending your games\","
              "\"line\":\"Game in progress \xC2\xB7 everything is working.\",\"paused\":false,"
              "\"startWithWindows\":false,\"windowKind\":\"\",\"version\":\"0.3.0\","
              "\"today\":{\"events\":\"1,284\",\"games\":\"3\",\"uploaded\":\"2.1 MB\"},"
              "\"total\":{\"events\":\"18,402\",\"games\":\"41\",\"uploaded\":\"28.6 MB\"},"
              "\"chart\":{\"bars\":[360,330,480,360,345,450,630,900,780,600,480,450,1230,2160,2790,3090,3390,2940,"
              "3240,3540,3090,3390,3690,3240,2940,3390,3540,3090,3390,3240],\"max\":3690,\"rate\":\"now 3.3 KB/s\"},"
              "\"details\":[{\"label\":\"Parlow\",\"value\":\"Connected \xC2\xB7 just now\",\"tone\":\"green\"},"
              "{\"label\":\"League\",\"value\":\"In a game\",\"tone\":\"green\"},"
              "{\"label\":\"Waiting to send\",\"value\":\"nothing\",\"tone\":\"\"},"
              "{\"label\":\"Last problem\",\"value\":\"none\",\"tone\":\"\"},"
              "{\"label\":\"Version\",\"value\":\"0.3.0\",\"tone\":\"\"}],"
              "\"connect\":{\"busy\":false,\"error\":\"\"}}");
    EXPECT_EQ(supportText(status, view),
              "Parlow collector details\n"
              "version      0.3.0 (window: tray)\n"
              "state        sending\n"
              "device       c_demo  boot boot_demo\n"
              "league       connected, phase InProgress, live available\n"
              "server       connected, last upload just now, failures 0, refused batches 0, key refusals 0\n"
              "waiting      0 (0 dropped), 3,412 batches sent\n"
              "today        1,284 events, 3 games, 2.1 MB (16.2 MB before compression)\n"
              "in total     18,402 events, 41 games, 28.6 MB (219.3 MB before compression)\n"
              "last problem none\n");
    // Pausing in demo mode changes the state but the data stay.
    state.paused->store(true);
    AppStatus paused = buildStatus(state, in);
    EXPECT_EQ(classifyStatus(paused).state, "paused");
    EXPECT_EQ(paused.stats.today.events, 1284u);
}

}  // namespace
}  // namespace vornet::app
