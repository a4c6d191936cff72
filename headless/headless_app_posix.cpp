#include "headless/headless_app.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

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

// The loop has no timer only before start; a bounded wait keeps a stop signal noticed.
constexpr std::int64_t kIdleWaitMs = 1000;

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
    terminal_ = ::isatty(STDOUT_FILENO) == 1;
    autostart_ = app::createSystemAutostart();
    controller_ = std::make_unique<app::Controller>(
        options_, *this,
        app::productEnvironment(autostart_.get(), app::autostartCommand(app::currentExecutablePath())));
    controller_->start();

    while (!stopRequested() && !quit_) {
        runDueTimers();
        if (stopRequested() || quit_) break;
        std::int64_t now = steadyNowMs();
        std::int64_t until = now + kIdleWaitMs;
        for (const auto& entry : timers_) until = std::min(until, entry.second.dueMs);
        pollfd fds[2];
        nfds_t count = 0;
        fds[count++] = pollfd{Waker::instance().readFd(), POLLIN, 0};
        if (listener_) fds[count++] = pollfd{listener_->fd(), POLLIN, 0};
        int ready = ::poll(fds, count, static_cast<int>(std::max<std::int64_t>(0, until - now)));
        if (ready < 0 && errno != EINTR) break;
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            Waker::instance().drain();
            controller_->enrollFinished();
        }
        if (ready > 0 && count > 1 && (fds[1].revents & POLLIN)) serveHandover();
    }
    controller_->shutdown(false);
    if (terminal_ && lastProgressWidth_ > 0) std::fputs("\n", stdout);
    std::fflush(stdout);
    return controller_->exitCode();
}

void HeadlessApp::runDueTimers() {
    const std::int64_t now = steadyNowMs();
    std::vector<unsigned> due;
    for (const auto& entry : timers_) {
        if (entry.second.dueMs <= now) due.push_back(entry.first);
    }
    for (unsigned id : due) {
        auto found = timers_.find(id);
        if (found == timers_.end()) continue;  // killed by an earlier callback
        // Periodic like a window timer: the next one is a period after this one was due,
        // never in the past.
        found->second.dueMs = std::max(found->second.dueMs + found->second.periodMs, now + 1);
        controller_->onTimer(id);
        if (quit_) return;
    }
}

void HeadlessApp::startTimer(unsigned id, std::int64_t periodMs) {
    periodMs = std::max<std::int64_t>(1, periodMs);
    timers_[id] = Timer{steadyNowMs() + periodMs, periodMs};
}

void HeadlessApp::killTimer(unsigned id) {
    timers_.erase(id);
}

void HeadlessApp::quit() {
    quit_ = true;
}

void HeadlessApp::notifyEnrollFinished() {
    Waker::instance().wake('e');
}

void HeadlessApp::releaseInstance() {
    listener_.reset();
    lock_.reset();
}

void HeadlessApp::serveHandover() {
    std::optional<std::string> code = listener_->serveOne();
    if (!code) return;
    controller_->receiveHandover(app::kHandoverTag, code->data(), code->size());
}

void HeadlessApp::refreshed(const app::AppStatus& status, const app::StatusView& view) {
    if (!terminal_ && view.state != previousState_) {
        std::printf("parlow: %s - %s\n", view.state.c_str(), view.title.c_str());
        std::fflush(stdout);
    }
    previousState_ = view.state;
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

}  // namespace vornet::headless
