#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "sim/common/sim_util.h"

namespace vornet::sim {
namespace {
std::atomic<bool> stopFlag{false};
extern "C" void onStopSignal(int) { stopFlag.store(true); }
}  // namespace

void installStopSignals() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A peer that closes mid-write must not end the simulator.
    signal(SIGPIPE, SIG_IGN);
}

bool stopRequested() { return stopFlag.load(); }

int currentProcessId() { return static_cast<int>(getpid()); }

}  // namespace vornet::sim
