#include "app/controller.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/files.h"
#include "core/json.h"
#include "core/text.h"
#include "test_support.h"

namespace vornet::app {
namespace {

using testing::FakeAutostart;
using testing::RecordingWindow;
using testing::TempFolder;
using testing::WindowLog;

// The program around the controller, with timers fired by the test.
class RecordingShell final : public ControllerShell {
public:
    std::map<unsigned, std::int64_t> timers;
    std::vector<unsigned> killed;
    int quits = 0;
    bool trayAvailable = true;
    bool trayAddSucceeds = true;
    int trayAdds = 0;
    int trayRemoves = 0;
    std::vector<int> images;
    std::string tip;
    std::vector<std::pair<std::string, std::string>> balloons;
    bool windows = true;
    int webViewStarts = 0;
    std::shared_ptr<WindowLog> nativeLog = std::make_shared<WindowLog>();
    int nativeCreated = 0;
    std::string clipboard;
    int releases = 0;
    std::vector<std::string> order;  // shutdown steps in the order they happened

    void startTimer(unsigned id, std::int64_t periodMs) override { timers[id] = periodMs; }
    void killTimer(unsigned id) override {
        timers.erase(id);
        killed.push_back(id);
        if (id == kRefreshTimerId) order.push_back("killRefresh");
    }
    void quit() override { ++quits; }
    void notifyEnrollFinished() override {}
    bool hasTray() const override { return trayAvailable; }
    bool addTrayIcon() override {
        ++trayAdds;
        return trayAddSucceeds;
    }
    void removeTrayIcon() override {
        ++trayRemoves;
        order.push_back("removeTray");
    }
    void setTrayImage(int tone) override { images.push_back(tone); }
    void setTrayTip(const std::string& text) override { tip = text; }
    void showBalloon(const std::string& title, const std::string& text) override { balloons.emplace_back(title, text); }
    bool hasWindows() const override { return windows; }
    void startWebView() override { ++webViewStarts; }
    std::unique_ptr<StatusWindow> createNativeWindow() override {
        ++nativeCreated;
        return std::make_unique<RecordingWindow>("native", nativeLog);
    }
    void setClipboardText(const std::string& text, StatusWindow*) override { clipboard = text; }
    void releaseInstance() override {
        ++releases;
        order.push_back("release");
    }
};

struct Harness {
    TempFolder scratch;
    RecordingShell shell;
    FakeAutostart autostart;
    std::int64_t now = 1'700'000'000'000;
    std::map<std::string, std::string> written;
    bool tokenPresent = false;
    int collectorStarts = 0;

    ControllerEnvironment environment() {
        ControllerEnvironment env;
        env.startup.appFolder = scratch.utf8();
        env.startup.autostart = &autostart;
        env.startup.autostartCommand = "\"C:\\Parlow\\Parlow.exe\" --background";
        env.startup.pathExists = [](const std::string& path) { return fileExists(path); };
        env.startup.tokenReadable = [this](const std::string&) { return tokenPresent; };
        env.startup.day = [] { return std::string("2026-12-10"); };
        env.startup.clockMs = [this] { return now; };
        env.connect.enroll = [](const Config&, const std::string&, const std::string&) { return EnrollResult{}; };
        env.connect.writeToken = [](const std::string&, const std::string&, std::string&) { return true; };
        env.connect.autostart = &autostart;
        env.connect.autostartCommand = env.startup.autostartCommand;
        env.startCollector = [this](AppState&) {
            ++collectorStarts;
            return std::unique_ptr<CollectorRun>();
        };
        env.nowUnixMs = [this] { return now; };
        env.writeFile = [this](const std::string& path, const std::string& text) {
            written[path] = text;
            return writeFileAtomically(path, text);
        };
        return env;
    }

    std::unique_ptr<Controller> make(AppOptions options) {
        return std::make_unique<Controller>(std::move(options), shell, environment());
    }
};

AppOptions demoOptions() {
    AppOptions options;
    options.demo = true;
    options.nativeUi = true;
    return options;
}

// Start-up follows the switches: which window opens, the refresh timer, the quit timer.
TEST(ControllerTest, StartOpensWindowAndTimersBySwitches) {
    struct Case {
        const char* name;
        bool demo;
        bool background;
        bool nativeUi;
        std::int32_t runSeconds;
        int expectWebViewStarts;
        int expectNativeWindows;
        int expectShows;
    };
    const Case cases[] = {
        // Not enrolled: the setup view opens even with --background.
        {"setup with background", false, true, false, 0, 1, 0, 0},
        // Demo counts as enrolled: --background keeps the window closed.
        {"demo background", true, true, true, 0, 0, 0, 0},
        {"demo native", true, false, true, 0, 0, 1, 1},
        {"demo run seconds", true, false, true, 3, 0, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        AppOptions options;
        options.demo = c.demo;
        options.background = c.background;
        options.nativeUi = c.nativeUi;
        options.runSeconds = c.runSeconds;
        auto controller = h.make(options);
        controller->start();
        EXPECT_EQ(h.shell.webViewStarts, c.expectWebViewStarts);
        EXPECT_EQ(h.shell.nativeCreated, c.expectNativeWindows);
        EXPECT_EQ(h.shell.nativeLog->shows, c.expectShows);
        EXPECT_EQ(h.shell.timers.count(kRefreshTimerId), 1u);
        EXPECT_EQ(h.shell.timers[kRefreshTimerId], 1000);
        if (c.runSeconds > 0) {
            ASSERT_EQ(h.shell.timers.count(kFirstOneShotTimerId), 1u);
            EXPECT_EQ(h.shell.timers[kFirstOneShotTimerId], c.runSeconds * 1000);
            controller->onTimer(kFirstOneShotTimerId);
            EXPECT_EQ(h.shell.quits, 1);
            // A one-shot runs once: killed, and a second firing finds nothing.
            EXPECT_EQ(h.shell.timers.count(kFirstOneShotTimerId), 0u);
            controller->onTimer(kFirstOneShotTimerId);
            EXPECT_EQ(h.shell.quits, 1);
        } else {
            EXPECT_EQ(h.shell.timers.size(), 1u);
        }
    }
}

// A web view that cannot start hands over to the native window, which the self-test reports.
TEST(ControllerTest, WebViewFailureFallsBackToNativeWindow) {
    Harness h;
    auto controller = h.make(AppOptions{});
    controller->start();
    ASSERT_EQ(h.shell.webViewStarts, 1);
    // A second request while the web view starts only asks for it to be shown.
    controller->showRequested();
    EXPECT_EQ(h.shell.webViewStarts, 1);
    controller->webViewFailed("WebView2 runtime not available (0x80070002)");
    ASSERT_NE(controller->window(), nullptr);
    EXPECT_STREQ(controller->window()->kind(), "native");
    EXPECT_EQ(h.shell.nativeLog->shows, 1);
    EXPECT_EQ(controller->webViewError(), "WebView2 runtime not available (0x80070002)");
    EXPECT_EQ(controller->status().windowKind, "native");
}

// A web view whose process died is replaced by the native window, visible if it was.
TEST(ControllerTest, WebViewProcessFailureReplacesTheWindow) {
    Harness h;
    auto controller = h.make(AppOptions{});
    controller->start();
    auto webLog = std::make_shared<WindowLog>();
    controller->webViewCreated(std::make_unique<RecordingWindow>("webview", webLog));
    EXPECT_EQ(webLog->shows, 1);
    controller->webViewProcessFailed();
    EXPECT_TRUE(webLog->destroyed);
    ASSERT_NE(controller->window(), nullptr);
    EXPECT_STREQ(controller->window()->kind(), "native");
    EXPECT_EQ(h.shell.nativeLog->shows, 1);
    EXPECT_EQ(controller->webViewError(), "WebView2 process failed");
    // A native window ignores the web view's failure message.
    controller->webViewProcessFailed();
    EXPECT_EQ(h.shell.nativeCreated, 1);
}

// Balloons: which state announces itself and when.
TEST(BalloonRuleTest, Table) {
    struct Step {
        const char* state;
        std::int64_t atMs;
        bool canShow;
        bool expect;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
    };
    const std::vector<Case> cases = {
        {"rejected at once, never repeated", {{"rejected", 0, true, true}, {"rejected", 1000, true, false}}},
        {"reconnect at once", {{"sending", 0, true, false}, {"reconnect", 1000, true, true}}},
        {"offline only after 60 s",
         {{"offline", 0, true, false},
          {"offline", 59999, true, false},
          {"offline", 60000, true, true},
          {"offline", 120000, true, false}}},
        {"a break restarts the offline clock",
         {{"offline", 0, true, false},
          {"sending", 30000, true, false},
          {"offline", 40000, true, false},
          {"offline", 99999, true, false},
          {"offline", 100000, true, true}}},
        {"no tray: deferred, not dropped",
         {{"rejected", 0, false, false}, {"rejected", 1000, false, false}, {"rejected", 2000, true, true}}},
        {"leaving and re-entering announces again",
         {{"rejected", 0, true, true}, {"sending", 1000, true, false}, {"rejected", 2000, true, true}}},
        {"healthy states never", {{"sending", 0, true, false}, {"paused", 1, true, false}, {"setup", 2, true, false}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BalloonRule rule;
        for (const Step& step : c.steps) {
            SCOPED_TRACE(step.state + std::string(" at ") + std::to_string(step.atMs));
            EXPECT_EQ(rule.decide(step.state, 1'000'000 + step.atMs, step.canShow), step.expect);
        }
    }
}

// The tray menu for each situation.
TEST(TrayMenuTest, ItemsForState) {
    StatusView view;
    view.title = "Sending your games";
    struct Case {
        bool enrolled;
        bool paused;
        bool startWithWindows;
        std::vector<std::string> texts;
        bool checked;
    };
    const Case cases[] = {
        {true,
         false,
         true,
         {"Sending your games", "", "Open Parlow", "Pause", "Start with Windows", "", "Copy details for support", "",
          "Quit"},
         true},
        {true,
         true,
         false,
         {"Sending your games", "", "Open Parlow", "Resume", "Start with Windows", "", "Copy details for support", "",
          "Quit"},
         false},
        // Not enrolled: nothing to pause.
        {false,
         false,
         false,
         {"Sending your games", "", "Open Parlow", "Start with Windows", "", "Copy details for support", "", "Quit"},
         false},
    };
    for (const Case& c : cases) {
        std::vector<MenuItem> items = trayMenuItems(view, c.enrolled, c.paused, c.startWithWindows);
        std::vector<std::string> texts;
        for (const MenuItem& item : items) texts.push_back(item.text);
        EXPECT_EQ(texts, c.texts);
        EXPECT_FALSE(items[0].enabled);
        EXPECT_TRUE(items[2].isDefault);
        EXPECT_EQ(items[2].command, TrayCommand::Open);
        for (const MenuItem& item : items) {
            if (item.text == "Start with Windows") {
                EXPECT_EQ(item.checked, c.checked);
                EXPECT_EQ(item.command, TrayCommand::StartWithWindows);
            }
            if (item.text == "Quit") EXPECT_EQ(item.command, TrayCommand::Quit);
            if (item.text == "Pause" || item.text == "Resume") EXPECT_EQ(item.command, TrayCommand::PauseResume);
            if (item.text.rfind("Copy", 0) == 0) EXPECT_EQ(item.command, TrayCommand::CopyDetails);
        }
    }
}

// Hand-over blocks: only the tag with 1 to 64 bytes of code is taken.
TEST(HandoverTest, AcceptedBlocks) {
    const std::string code64(64, 'A');
    const std::string code65(65, 'A');
    struct Case {
        const char* name;
        std::uint64_t tag;
        const void* data;
        std::size_t length;
        bool expect;
    };
    const Case cases[] = {
        {"one byte", kHandoverTag, "X", 1, true},
        {"64 bytes", kHandoverTag, code64.data(), 64, true},
        {"65 bytes", kHandoverTag, code65.data(), 65, false},
        {"empty", kHandoverTag, "", 0, false},
        {"no data", kHandoverTag, nullptr, 5, false},
        {"wrong tag", 0x4C45434F, "CODE", 4, false},
        {"tag in the upper bytes", (std::uint64_t{1} << 32) | kHandoverTag, "CODE", 4, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(acceptableHandover(c.tag, c.data, c.length), c.expect);
    }
}

// In demo mode an accepted code opens the window but starts no enrollment.
TEST(ControllerTest, DemoHandoverShowsWindowWithoutEnrolling) {
    Harness h;
    AppOptions options = demoOptions();
    options.background = true;
    auto controller = h.make(options);
    controller->start();
    EXPECT_EQ(h.shell.nativeCreated, 0);
    EXPECT_TRUE(controller->receiveHandover(kHandoverTag, "CODE", 4));
    EXPECT_EQ(h.shell.nativeCreated, 1);
    EXPECT_EQ(h.shell.nativeLog->shows, 1);
    EXPECT_FALSE(controller->state().enrolling);
    EXPECT_FALSE(controller->receiveHandover(kHandoverTag, nullptr, 4));
}

// Tray icon: drawn on the first refresh and on each tone change only; the tip every time;
// re-added after the shell restarts.
TEST(ControllerTest, TrayIconFollowsToneAndShellRestarts) {
    Harness h;
    auto controller = h.make(demoOptions());
    controller->start();
    ASSERT_TRUE(controller->trayAdded());
    ASSERT_FALSE(h.shell.images.empty());
    EXPECT_EQ(h.shell.images.back(), 0);  // green while sending
    EXPECT_EQ(h.shell.tip, "Parlow \xC2\xB7 Sending your games \xC2\xB7 1,284 events today");
    const std::size_t drawn = h.shell.images.size();
    controller->refresh();
    EXPECT_EQ(h.shell.images.size(), drawn);
    controller->dispatch(UiEvent{UiAction::Pause, "", true});
    EXPECT_EQ(controller->view().state, "paused");
    EXPECT_EQ(h.shell.images.size(), drawn + 1);
    EXPECT_EQ(h.shell.images.back(), controller->view().tone);
    controller->taskbarCreated();
    EXPECT_EQ(h.shell.trayAdds, 2);
    EXPECT_EQ(h.shell.images.size(), drawn + 2);  // redrawn after the re-add
}

// A tray that cannot be added is retried on every third refresh.
TEST(ControllerTest, TrayAddRetriedEveryThirdRefresh) {
    Harness h;
    h.shell.trayAddSucceeds = false;
    auto controller = h.make(demoOptions());
    // One add at start; the window's first refresh and start's own are attempts 1 and 2.
    controller->start();
    EXPECT_EQ(h.shell.trayAdds, 1);
    controller->refresh();  // attempt 3
    EXPECT_EQ(h.shell.trayAdds, 2);
    controller->refresh();
    controller->refresh();
    EXPECT_EQ(h.shell.trayAdds, 2);
    controller->refresh();  // attempt 6
    EXPECT_EQ(h.shell.trayAdds, 3);
    h.shell.trayAddSucceeds = true;
    for (int i = 0; i < 3; ++i) controller->refresh();
    EXPECT_TRUE(controller->trayAdded());
    const int adds = h.shell.trayAdds;
    for (int i = 0; i < 6; ++i) controller->refresh();
    EXPECT_EQ(h.shell.trayAdds, adds);
}

// User-interface events and the menu commands that reach them.
TEST(ControllerTest, EventsAndMenuCommands) {
    Harness h;
    auto controller = h.make(demoOptions());
    controller->start();
    ASSERT_NE(controller->window(), nullptr);

    // Pause from the menu in demo mode changes the state but writes no app.json.
    controller->menuCommand(TrayCommand::PauseResume);
    EXPECT_EQ(controller->view().state, "paused");
    EXPECT_FALSE(fileExists(h.scratch.file("app.json")));
    controller->menuCommand(TrayCommand::PauseResume);
    EXPECT_EQ(controller->view().state, "sending");

    controller->menuCommand(TrayCommand::StartWithWindows);
    EXPECT_EQ(h.autostart.value, std::optional<std::string>("\"C:\\Parlow\\Parlow.exe\" --background"));
    EXPECT_TRUE(controller->status().startWithWindows);
    controller->menuCommand(TrayCommand::StartWithWindows);
    EXPECT_FALSE(h.autostart.value.has_value());
    EXPECT_FALSE(controller->status().startWithWindows);

    controller->menuCommand(TrayCommand::CopyDetails);
    EXPECT_EQ(h.shell.clipboard, supportText(controller->status(), controller->view()));
    EXPECT_NE(h.shell.clipboard.find("c_demo"), std::string::npos);

    controller->dispatch(UiEvent{UiAction::Hide, "", false});
    EXPECT_EQ(h.shell.nativeLog->hides, 1);
    controller->menuCommand(TrayCommand::Open);
    EXPECT_EQ(h.shell.nativeLog->shows, 2);

    // A demo connect is refused with the code-rejected text and no network.
    controller->dispatch(UiEvent{UiAction::Connect, "ABC", true});
    EXPECT_EQ(controller->status().connectError, "That code didn't work. Ask for a new one.");

    const int updates = h.shell.nativeLog->updates;
    controller->dispatch(UiEvent{UiAction::Ready, "", false});
    EXPECT_EQ(h.shell.nativeLog->updates, updates + 1);

    controller->menuCommand(TrayCommand::Quit);
    EXPECT_EQ(h.shell.quits, 1);
    // Unknown commands (a menu dismissed without a choice) do nothing.
    controller->menuCommand(static_cast<TrayCommand>(0));
    controller->menuCommand(static_cast<TrayCommand>(77));
    EXPECT_EQ(h.shell.quits, 1);
}

// Pausing outside demo mode is saved to app.json.
TEST(ControllerTest, PauseIsSavedWhenEnrolled) {
    Harness h;
    h.tokenPresent = true;
    writeFileAtomically(h.scratch.file("collector.json"), R"({"collector":{"id":"c_1"}})");
    AppOptions options;
    options.nativeUi = true;
    auto controller = h.make(options);
    controller->start();
    EXPECT_EQ(h.collectorStarts, 1);
    controller->menuCommand(TrayCommand::PauseResume);
    EXPECT_EQ(readWholeFile(h.scratch.file("app.json")), std::optional<std::string>(R"({"paused":true})"));
}

// The status file carries the view and the support text on every refresh; a hidden window
// is not updated by the periodic refresh.
TEST(ControllerTest, StatusFileAndHiddenWindow) {
    Harness h;
    AppOptions options = demoOptions();
    options.statusFile = utf8ToWide(h.scratch.file("status.json"));
    auto controller = h.make(options);
    controller->start();
    std::optional<std::string> text = readWholeFile(h.scratch.file("status.json"));
    ASSERT_TRUE(text.has_value());
    std::optional<JsonValue> doc = parseJson(*text);
    ASSERT_TRUE(doc && doc->isObject());
    EXPECT_EQ(doc->getString("state", ""), "sending");
    EXPECT_NE(doc->getString("supportText", "").find("Parlow"), std::string::npos);

    controller->dispatch(UiEvent{UiAction::Hide, "", false});
    const int updates = h.shell.nativeLog->updates;
    controller->onTimer(kRefreshTimerId);
    EXPECT_EQ(h.shell.nativeLog->updates, updates);
}

// The self-test captures the setup view, then the status view, writes its report and quits
// with 0 only when both captures worked.
TEST(ControllerTest, SelftestSequence) {
    for (bool captureWorks : {true, false}) {
        SCOPED_TRACE(captureWorks);
        Harness h;
        h.shell.nativeLog->captureSucceeds = captureWorks;
        AppOptions options;
        options.nativeUi = true;
        const std::string folder = h.scratch.file("shots");
        options.uiSelftest = utf8ToWide(folder);
        auto controller = h.make(options);
        controller->start();
        EXPECT_EQ(h.shell.trayAdds, 0);  // no tray icon in the self-test
        EXPECT_EQ(controller->view().state, "setup");
        ASSERT_EQ(h.shell.timers.count(kFirstOneShotTimerId), 1u);
        EXPECT_EQ(h.shell.timers[kFirstOneShotTimerId], 800);
        controller->onTimer(kFirstOneShotTimerId);
        ASSERT_EQ(h.shell.nativeLog->captures.size(), 1u);
        EXPECT_EQ(h.shell.nativeLog->captures[0], joinPath(folder, "native-setup.bmp"));
        EXPECT_EQ(controller->view().state, "sending");
        ASSERT_EQ(h.shell.timers.count(kFirstOneShotTimerId + 1), 1u);
        EXPECT_EQ(h.shell.quits, 0);
        controller->onTimer(kFirstOneShotTimerId + 1);
        ASSERT_EQ(h.shell.nativeLog->captures.size(), 2u);
        EXPECT_EQ(h.shell.nativeLog->captures[1], joinPath(folder, "native-status.bmp"));
        EXPECT_EQ(h.shell.quits, 1);
        EXPECT_EQ(controller->exitCode(), captureWorks ? 0 : 1);

        std::optional<std::string> text = readWholeFile(joinPath(folder, "selftest.json"));
        ASSERT_TRUE(text.has_value());
        std::optional<JsonValue> report = parseJson(*text);
        ASSERT_TRUE(report && report->isObject());
        EXPECT_EQ(report->getString("window", ""), "native");
        EXPECT_EQ(report->getString("webviewError", "x"), "");
        EXPECT_EQ(report->getBool("setupCaptured", !captureWorks), captureWorks);
        EXPECT_EQ(report->getBool("statusCaptured", !captureWorks), captureWorks);
        EXPECT_EQ(report->find("view")->getString("state", ""), "sending");
        // The ready event of a window must not run the sequence a second time.
        controller->dispatch(UiEvent{UiAction::Ready, "", false});
        EXPECT_EQ(h.shell.nativeLog->captures.size(), 2u);
    }
}

// Shutdown order: refresh timer, tray icon, window, then the instance, and only once.
TEST(ControllerTest, ShutdownOrderRunsOnce) {
    Harness h;
    AppOptions options = demoOptions();
    options.runSeconds = 10;
    auto controller = h.make(options);
    controller->start();
    controller->shutdown(false);
    EXPECT_TRUE(h.shell.nativeLog->destroyed);
    const std::vector<std::string> expected = {"killRefresh", "removeTray", "release"};
    EXPECT_EQ(h.shell.order, expected);
    EXPECT_TRUE(h.shell.timers.empty());  // the pending quit timer went too
    controller->shutdown(true);
    EXPECT_EQ(h.shell.releases, 1);
    // Nothing opens once shut down.
    controller->showRequested();
    EXPECT_EQ(h.shell.nativeCreated, 1);
}

}  // namespace
}  // namespace vornet::app
