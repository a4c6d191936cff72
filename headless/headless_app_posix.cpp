#include "headless/headless_app.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "app/collector_start.h"
#include "app/daily_stats.h"
#include "app/product_services.h"
#include "core/files.h"
#include "core/json.h"
#include "core/text.h"
#include "headless/progress.h"

namespace vornet::headless {
namespace {

volatile sig_atomic_t gStop = 0;

void onStopSignal(int) {
    gStop = 1;
    Waker::instance().wake('s');
}

constexpr std::int64_t kRefreshMs = 1000;
constexpr std::uint64_t kStatsSaveEvery = 30;
constexpr std::int64_t kEnrollWaitMs = 3000;

}  // namespace

Waker& Waker::instance() {
    static Waker waker;
    return waker;
}

Waker::Waker() {
    if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) fds_[0] = fds_[1] = -1;
}

void Waker::wake(char reason) const {
    if (fds_[1] < 0) return;
    // A full pipe already guarantees a wake-up; the byte itself carries nothing we need.
    ssize_t ignored = ::write(fds_[1], &reason, 1);
    (void)ignored;
}

void Waker::drain() const {
    char buffer[64];
    while (fds_[0] >= 0 && ::read(fds_[0], buffer, sizeof buffer) > 0) {
    }
}

void installStopSignals() {
    Waker::instance();  // created before any handler can run
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);
}

bool stopRequested() {
    return gStop != 0;
}

HeadlessApp::HeadlessApp(app::AppOptions options, std::unique_ptr<InstanceLock> lock,
                         std::unique_ptr<HandoverListener> listener)
    : options_(std::move(options)), lock_(std::move(lock)), listener_(std::move(listener)) {}

HeadlessApp::~HeadlessApp() = default;

int HeadlessApp::run() {
    appStartedUnixMs_ = nowUnixMs();
    terminal_ = ::isatty(STDOUT_FILENO) == 1;
    autostart_ = app::createSystemAutostart();
    autostartCommand_ = app::autostartCommand(app::currentExecutablePath());

    app::StartupEnvironment env;
    env.appFolder = appDataFolder();
    env.autostart = autostart_.get();
    env.autostartCommand = autostartCommand_;
    env.pathExists = [](const std::string& path) { return fileExists(path); };
    env.tokenReadable = app::productTokenReadable();
    env.day = app::localDayText;
    env.clockMs = [] { return steadyNowMs(); };
    app::loadAppState(state_, options_, env);

    services_.enroll = app::productEnrollFunction();
    services_.writeToken = app::productWriteToken();
    services_.autostart = autostart_.get();
    services_.autostartCommand = autostartCommand_;
    services_.notify = [] { Waker::instance().wake('e'); };

    if (state_.enrolled && !state_.demo) startCollector();
    if (!options_.connectCode.empty() && !state_.demo) startEnrollWith(options_.connectCode);

    const std::int64_t deadline = options_.runSeconds > 0 ? steadyNowMs() + options_.runSeconds * 1000LL : 0;
    refresh();
    std::int64_t nextRefresh = steadyNowMs() + kRefreshMs;
    while (!stopRequested()) {
        std::int64_t now = steadyNowMs();
        if (deadline != 0 && now >= deadline) break;
        if (now >= nextRefresh) {
            refresh();
            nextRefresh += kRefreshMs;
            if (nextRefresh <= now) nextRefresh = now + kRefreshMs;
            continue;
        }
        std::int64_t until = deadline != 0 ? std::min(nextRefresh, deadline) : nextRefresh;
        pollfd fds[2];
        nfds_t count = 0;
        fds[count++] = pollfd{Waker::instance().readFd(), POLLIN, 0};
        if (listener_) fds[count++] = pollfd{listener_->fd(), POLLIN, 0};
        int ready = ::poll(fds, count, static_cast<int>(std::max<std::int64_t>(1, until - now)));
        if (ready < 0 && errno != EINTR) break;
        if (ready > 0 && (fds[0].revents & POLLIN)) Waker::instance().drain();
        collectEnrollResult();
        if (ready > 0 && count > 1 && (fds[1].revents & POLLIN)) serveHandover();
    }
    shutdown();
    return 0;
}

void HeadlessApp::startCollector() {
    collector_ = app::startProductCollector(state_);
    if (collector_) collectorStartedUnixMs_ = nowUnixMs();
}

void HeadlessApp::stopCollector(bool sessionEnding) {
    if (!collector_) return;
    if (!collector_->stop(sessionEnding)) state_.terminateAtExit = true;
    collector_.reset();
}

void HeadlessApp::startEnrollWith(const std::string& code) {
    if (app::startEnroll(state_, code, state_.startWithWindows, services_) != app::StartEnrollResult::Ignored)
        refresh();
}

void HeadlessApp::collectEnrollResult() {
    std::optional<app::EnrollSlotResult> result = app::takeEnrollResult(state_);
    if (!result) return;
    app::CollectorControl control;
    control.stop = [this] { stopCollector(false); };
    control.start = [this] { startCollector(); };
    app::applyEnrollResult(state_, *result, services_, control);
    refresh();
}

void HeadlessApp::serveHandover() {
    std::optional<std::string> code = listener_->serveOne();
    if (!code) return;
    if (!state_.demo) startEnrollWith(*code);
    refresh();
}

void HeadlessApp::refresh() {
    JsonValue snapshot;
    const bool haveCollector = collector_ && !collector_->stopped();
    if (haveCollector) snapshot = collector_->collector().status();
    app::StatusInputs inputs;
    inputs.collectorSnapshot = haveCollector ? &snapshot : nullptr;
    inputs.nowUnixMs = nowUnixMs();
    inputs.collectorStartedUnixMs = collectorStartedUnixMs_;
    inputs.appStartedUnixMs = appStartedUnixMs_;
    app::AppStatus status = app::buildStatus(state_, inputs);
    app::StatusView view = app::classifyStatus(status);
    // An old connect error does not belong on a fresh reconnect screen.
    if (view.state == "reconnect" && previousState_ != "reconnect" && !state_.connectError.empty()) {
        state_.connectError.clear();
        status = app::buildStatus(state_, inputs);
        view = app::classifyStatus(status);
    }
    if (!terminal_ && view.state != previousState_) {
        std::printf("parlow: %s - %s\n", view.state.c_str(), view.title.c_str());
        std::fflush(stdout);
    }
    previousState_ = view.state;

    if (state_.stats) {
        ++refreshCount_;
        if (refreshCount_ % kStatsSaveEvery == 0) state_.stats->save();
    }
    if (!options_.statusFile.empty()) {
        JsonValue doc = app::viewJson(status, view);
        doc.set("supportText", app::supportText(status, view));
        writeFileAtomically(wideToUtf8(options_.statusFile), writeJson(doc));
    }
    if (terminal_) writeProgress(progressLine(status, view));
}

void HeadlessApp::writeProgress(const std::string& line) {
    std::string out = "\r" + line;
    // Blank out what a longer previous line left behind.
    if (line.size() < lastProgressWidth_) out.append(lastProgressWidth_ - line.size(), ' ');
    lastProgressWidth_ = line.size();
    std::fputs(out.c_str(), stdout);
    std::fflush(stdout);
}

void HeadlessApp::shutdown() {
    if (collector_ && !collector_->stopped()) collector_->collector().setUploadCallback({});
    if (state_.stats) state_.stats->save();
    app::waitForEnroll(state_, kEnrollWaitMs, services_);
    listener_.reset();
    lock_.reset();
    stopCollector(false);
    if (terminal_ && lastProgressWidth_ > 0) std::fputs("\n", stdout);
    std::fflush(stdout);
}

}  // namespace vornet::headless
