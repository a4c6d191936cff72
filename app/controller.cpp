#include "app/controller.h"

#include <filesystem>
#include <system_error>
#include <utility>

#include "app/collector_start.h"
#include "app/daily_stats.h"
#include "app/product_services.h"
#include "core/files.h"
#include "core/json.h"
#include "core/text.h"

namespace vornet::app {
namespace {

constexpr std::int64_t kEnrollWaitMs = 3000;
constexpr std::int64_t kEnrollWaitSessionEndMs = 1000;

bool isWarningState(const std::string& state) {
    return state == "reconnect" || state == "rejected" || state == "offline";
}

MenuItem separator() {
    return MenuItem{};
}

}  // namespace

std::vector<MenuItem> trayMenuItems(const StatusView& view, bool enrolled, bool paused, bool startWithWindows) {
    std::vector<MenuItem> items;
    MenuItem title;
    title.text = view.title;
    title.enabled = false;
    items.push_back(title);
    items.push_back(separator());
    MenuItem open{TrayCommand::Open, "Open Parlow"};
    open.isDefault = true;
    items.push_back(open);
    if (enrolled) items.push_back(MenuItem{TrayCommand::PauseResume, paused ? "Resume" : "Pause"});
    MenuItem autostart{TrayCommand::StartWithWindows, "Start with Windows"};
    autostart.checked = startWithWindows;
    items.push_back(autostart);
    items.push_back(separator());
    items.push_back(MenuItem{TrayCommand::CopyDetails, "Copy details for support"});
    items.push_back(separator());
    items.push_back(MenuItem{TrayCommand::Quit, "Quit"});
    return items;
}

bool BalloonRule::decide(const std::string& state, std::int64_t nowUnixMs, bool canShow) {
    if (!isWarningState(state)) {
        offlineSinceUnixMs_ = 0;
        lastNotified_.clear();
        return false;
    }
    if (state == "offline" && offlineSinceUnixMs_ == 0) offlineSinceUnixMs_ = nowUnixMs;
    if (state == lastNotified_) return false;
    if (!canShow) return false;
    if (state == "offline" && nowUnixMs - offlineSinceUnixMs_ < kOfflineBalloonDelayMs) return false;
    lastNotified_ = state;
    return true;
}

bool acceptableHandoverHeader(std::uint64_t tag, std::size_t length) {
    return tag == kHandoverTag && length >= 1 && length <= kMaxHandoverBytes;
}

bool acceptableHandover(std::uint64_t tag, const void* data, std::size_t length) {
    return data != nullptr && acceptableHandoverHeader(tag, length);
}

ControllerEnvironment productEnvironment(Autostart* autostart, const std::string& autostartCommand) {
    ControllerEnvironment env;
    try {
        env.startup.appFolder = appDataFolder();
    } catch (const std::exception&) {
        // No per-user folder: nothing is loaded or saved, the collector still runs on defaults.
    }
    env.startup.autostart = autostart;
    env.startup.autostartCommand = autostartCommand;
    env.startup.pathExists = [](const std::string& path) { return fileExists(path); };
    env.startup.tokenReadable = productTokenReadable();
    env.startup.day = localDayText;
    env.startup.clockMs = [] { return steadyNowMs(); };
    env.connect.enroll = productEnrollFunction();
    env.connect.writeToken = productWriteToken();
    env.connect.autostart = autostart;
    env.connect.autostartCommand = autostartCommand;
    env.startCollector = [](AppState& state) { return startProductCollector(state); };
    env.nowUnixMs = [] { return vornet::nowUnixMs(); };
    env.writeFile = [](const std::string& path, const std::string& text) { return writeFileAtomically(path, text); };
    return env;
}

Controller::Controller(AppOptions options, ControllerShell& shell, ControllerEnvironment environment)
    : options_(std::move(options)), shell_(shell), env_(std::move(environment)) {
    env_.connect.notify = [&shell] { shell.notifyEnrollFinished(); };
}

Controller::~Controller() = default;

void Controller::start() {
    if (started_) return;
    started_ = true;
    appStartedUnixMs_ = env_.nowUnixMs();
    loadAppState(state_, options_, env_.startup);

    trayWanted_ = !selftest() && shell_.hasTray();
    if (trayWanted_) addTrayIcon();
    if (state_.enrolled && !state_.demo) startCollector();
    if (!options_.background || !state_.enrolled || selftest()) openWindow(true);
    shell_.startTimer(kRefreshTimerId, kRefreshPeriodMs);
    if (!options_.connectCode.empty() && !state_.demo && !selftest()) {
        startEnrollWith(options_.connectCode, state_.startWithWindows);
    }
    if (options_.runSeconds > 0) {
        runLater(static_cast<std::int64_t>(options_.runSeconds) * 1000, [this] { shell_.quit(); });
    }
    refresh();
}

void Controller::refresh() {
    if (trayWanted_ && !trayAdded_ && !shuttingDown_) {
        if (++trayAttempts_ % 3 == 0) addTrayIcon();
    }
    JsonValue snapshot;
    const bool haveCollector = collector_ && !collector_->stopped();
    if (haveCollector) snapshot = collector_->collector().status();
    StatusInputs inputs;
    inputs.windowKind = window_ ? window_->kind() : "";
    inputs.nowUnixMs = env_.nowUnixMs();
    inputs.collectorStartedUnixMs = collectorStartedUnixMs_;
    inputs.appStartedUnixMs = appStartedUnixMs_;
    status_ = buildStatus(state_, inputs, std::move(snapshot));
    view_ = classifyStatus(status_);
    // An old connect error does not belong on a fresh reconnect screen.
    if (view_.state == "reconnect" && previousState_ != "reconnect" && !state_.connectError.empty()) {
        state_.connectError.clear();
        status_.connectError.clear();
        view_ = classifyStatus(status_);
    }
    previousState_ = view_.state;

    updateTrayIcon();
    pushView(false);
    notifyIfNeeded();

    if (state_.stats) {
        ++refreshCount_;
        if (refreshCount_ % kStatsSaveEvery == 0) state_.stats->save();
    }
    if (!options_.statusFile.empty()) env_.writeFile(wideToUtf8(options_.statusFile), statusDocument());
    shell_.refreshed(status_, view_);
}

std::string Controller::statusDocument() const {
    JsonValue doc = viewJson(status_, view_);
    doc.set("supportText", supportText(status_, view_));
    return writeJson(doc);
}

void Controller::dispatch(const UiEvent& event) {
    switch (event.action) {
        case UiAction::Ready:
            pushView(true);
            if (selftest()) runSelftest();
            break;
        case UiAction::Connect:
            startEnrollWith(event.code, event.flag);
            break;
        case UiAction::Pause:
            // Through the running collector when there is one: it wakes its collection thread,
            // so a resume starts polling at once.
            if (collector_ && !collector_->stopped()) {
                collector_->setPaused(event.flag);
            } else {
                state_.paused->store(event.flag);
            }
            savePaused(state_);
            refresh();
            break;
        case UiAction::StartWithWindows:
            if (env_.startup.autostart != nullptr) {
                setStartWithWindows(*env_.startup.autostart, event.flag, env_.startup.autostartCommand);
                state_.startWithWindows = startWithWindowsEnabled(*env_.startup.autostart);
            }
            refresh();
            break;
        case UiAction::CopyDetails:
            shell_.setClipboardText(supportText(status_, view_), window_.get());
            break;
        case UiAction::Hide:
            if (window_) window_->hide();
            break;
    }
}

void Controller::onTimer(unsigned id) {
    if (id == kRefreshTimerId) {
        refresh();
        return;
    }
    auto found = oneShots_.find(id);
    if (found == oneShots_.end()) return;
    shell_.killTimer(id);
    std::function<void()> callback = std::move(found->second);
    oneShots_.erase(found);
    if (callback) callback();
}

unsigned Controller::runLater(std::int64_t ms, std::function<void()> callback) {
    const unsigned id = kFirstOneShotTimerId + nextOneShot_++;
    oneShots_[id] = std::move(callback);
    shell_.startTimer(id, ms);
    return id;
}

bool Controller::receiveHandover(std::uint64_t tag, const void* data, std::size_t length) {
    if (!acceptableHandover(tag, data, length)) return false;
    std::string code(static_cast<const char*>(data), length);
    if (!state_.demo && !selftest()) startEnrollWith(code, state_.startWithWindows);
    openWindow(true);
    refresh();
    return true;
}

void Controller::showRequested() {
    openWindow(true);
    refresh();
}

void Controller::enrollFinished() {
    std::optional<EnrollSlotResult> result = takeEnrollResult(state_);
    if (!result) return;
    CollectorControl control;
    control.stop = [this] { stopCollector(false); };
    control.start = [this] { startCollector(); };
    applyEnrollResult(state_, *result, env_.connect, control);
    refresh();
}

void Controller::taskbarCreated() {
    if (trayWanted_) addTrayIcon();
}

std::vector<MenuItem> Controller::trayMenu() const {
    return trayMenuItems(view_, state_.enrolled, state_.paused->load(), state_.startWithWindows);
}

void Controller::menuCommand(TrayCommand command) {
    UiEvent event;
    switch (command) {
        case TrayCommand::Open:
            openWindow(true);
            refresh();
            return;
        case TrayCommand::PauseResume:
            // The item only exists while enrolled; a stale menu must not pause a setup screen.
            if (!state_.enrolled) return;
            event.action = UiAction::Pause;
            event.flag = !state_.paused->load();
            break;
        case TrayCommand::StartWithWindows:
            event.action = UiAction::StartWithWindows;
            event.flag = !state_.startWithWindows;
            break;
        case TrayCommand::CopyDetails:
            event.action = UiAction::CopyDetails;
            break;
        case TrayCommand::Quit:
            shell_.quit();
            return;
        default:
            return;
    }
    dispatch(event);
}

void Controller::addTrayIcon() {
    if (!shell_.addTrayIcon()) return;
    trayAdded_ = true;
    trayDrawn_ = false;
    updateTrayIcon();
}

void Controller::updateTrayIcon() {
    if (!trayAdded_) return;
    if (!trayDrawn_ || view_.tone != trayTone_) {
        shell_.setTrayImage(view_.tone);
        trayTone_ = view_.tone;
        trayDrawn_ = true;
    }
    shell_.setTrayTip(view_.trayTip);
}

void Controller::notifyIfNeeded() {
    if (balloons_.decide(view_.state, status_.nowUnixMs, trayAdded_ && !selftest())) {
        shell_.showBalloon(view_.title, view_.line);
    }
}

void Controller::pushView(bool force) {
    if (!window_) return;
    if (!force && !window_->isVisible() && !selftest()) return;
    window_->update(status_, view_, writeJson(viewJson(status_, view_)));
}

void Controller::startCollector() {
    if (!env_.startCollector) return;
    collector_ = env_.startCollector(state_);
    if (collector_) collectorStartedUnixMs_ = env_.nowUnixMs();
}

void Controller::stopCollector(bool sessionEnding) {
    if (!collector_) return;
    if (!collector_->stop(sessionEnding)) state_.terminateAtExit = true;
    collector_.reset();
}

void Controller::startEnrollWith(const std::string& code, bool startWithWindows) {
    if (startEnroll(state_, code, startWithWindows, env_.connect) != StartEnrollResult::Ignored) refresh();
}

void Controller::openWindow(bool show) {
    if (window_) {
        if (show) window_->show();
        return;
    }
    if (webViewStarting_) {
        if (show) showWhenReady_ = true;
        return;
    }
    if (shuttingDown_ || !shell_.hasWindows()) return;
    showWhenReady_ = show;
    if (!options_.nativeUi) {
        webViewStarting_ = true;
        shell_.startWebView();
        return;
    }
    openNativeWindow();
}

void Controller::webViewCreated(std::unique_ptr<StatusWindow> window) {
    if (shuttingDown_) return;
    webViewStarting_ = false;
    if (!window) {
        webViewFailed("WebView2 window could not be created");
        return;
    }
    takeWindow(std::move(window));
    if (showWhenReady_) window_->show();
}

void Controller::webViewFailed(const std::string& error) {
    if (shuttingDown_) return;
    webViewStarting_ = false;
    webViewError_ = error;
    openNativeWindow();
}

void Controller::webViewProcessFailed() {
    if (!window_ || std::string(window_->kind()) != "webview") return;
    const bool visible = window_->isVisible();
    window_.reset();
    webViewError_ = "WebView2 process failed";
    showWhenReady_ = visible;
    openNativeWindow();
}

void Controller::takeWindow(std::unique_ptr<StatusWindow> window) {
    window_ = std::move(window);
}

void Controller::openNativeWindow() {
    takeWindow(shell_.createNativeWindow());
    refresh();
    if (showWhenReady_ && window_) window_->show();
    if (selftest()) runSelftest();
}

void Controller::runSelftest() {
    if (selftestStarted_ || !selftest()) return;
    selftestStarted_ = true;
    const std::string folder = wideToUtf8(options_.uiSelftest);
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(utf8ToPath(folder)), ignored);
    const std::string kind = window_ ? window_->kind() : "none";
    const std::string extension = kind == "webview" ? ".png" : ".bmp";
    const std::string prefix = folder;

    state_.enrolled = false;
    refresh();
    runLater(kSelftestCaptureDelayMs, [this, prefix, kind, extension] {
        auto afterSetup = [this, prefix, kind, extension](bool ok) {
            if (shuttingDown_) return;
            setupCaptured_ = ok;
            state_.enrolled = true;
            refresh();
            runLater(kSelftestCaptureDelayMs,
                     [this, prefix, kind, extension] { selftestCaptureStatus(prefix, kind, extension); });
        };
        if (!window_) {
            afterSetup(false);
            return;
        }
        window_->capture(joinPath(prefix, kind + "-setup" + extension), afterSetup);
    });
}

void Controller::selftestCaptureStatus(const std::string& prefix, const std::string& kind,
                                       const std::string& extension) {
    auto afterStatus = [this, prefix, kind](bool ok) {
        if (shuttingDown_) return;
        statusCaptured_ = ok;
        finishSelftest(prefix, kind);
    };
    if (!window_) {
        afterStatus(false);
        return;
    }
    window_->capture(joinPath(prefix, kind + "-status" + extension), afterStatus);
}

void Controller::finishSelftest(const std::string& prefix, const std::string& kind) {
    JsonValue report = JsonValue::object();
    report.set("window", kind);
    report.set("webviewError", webViewError_);
    report.set("setupCaptured", setupCaptured_);
    report.set("statusCaptured", statusCaptured_);
    report.set("view", viewJson(status_, view_));
    env_.writeFile(joinPath(prefix, "selftest.json"), writeJson(report));
    exitCode_ = setupCaptured_ && statusCaptured_ ? 0 : 1;
    shell_.quit();
}

void Controller::shutdown(bool sessionEnding) {
    if (shuttingDown_) return;
    shuttingDown_ = true;
    if (webViewStarting_) state_.terminateAtExit = true;
    shell_.killTimer(kRefreshTimerId);
    if (trayAdded_) {
        shell_.removeTrayIcon();
        trayAdded_ = false;
    }
    window_.reset();
    if (collector_ && !collector_->stopped()) collector_->collector().setUploadCallback({});
    if (state_.stats) state_.stats->save();
    waitForEnroll(state_, sessionEnding ? kEnrollWaitSessionEndMs : kEnrollWaitMs, env_.connect);
    for (const auto& entry : oneShots_) shell_.killTimer(entry.first);
    oneShots_.clear();
    shell_.releaseInstance();
    stopCollector(sessionEnding);
}

}  // namespace vornet::app
