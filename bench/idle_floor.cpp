// What an idle collector cannot avoid on this machine, each figure the CPU time of the thread
// that does it, taken after the pause the collector itself takes: a thread waking from a timed
// condition-variable wait (the collection thread waits this way, the UI thread's poll costs the
// same), one listing of /proc with its open and close, and one process scan. Without a client
// the schedule is one UI wake-up every second and, every 2 s, one collection wake-up with one
// scan and one refused loopback connection: these figures say how much of collector_cost's
// idle figure is the machine's price for that schedule rather than the collector's own work.
// Not a pass/fail test.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <thread>

#include "sources/lockfile.h"

namespace {

// Mean CPU seconds of one pass of each measurement, for the summary.
double wakeSeconds = 0, scanSeconds = 0, refusedSeconds = 0;

double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Each pass sleeps `pauseMs`, then times `work` by the thread's CPU clock; the mean goes to
// `mean` when it is given. `work` returns nothing when it did its work, else why it could not.
template <class Work>
void timedAfterPause(benchmark::State& state, std::int64_t pauseMs, double* mean, Work work) {
    double total = 0;
    for (auto _ : state) {
        if (pauseMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        const double start = threadCpuSeconds();
        const char* failure = work();
        const double spent = threadCpuSeconds() - start;
        if (failure != nullptr) {
            state.SkipWithError(failure);
            return;
        }
        state.SetIterationTime(spent);
        total += spent;
    }
    if (mean != nullptr) *mean = total / static_cast<double>(state.iterations());
}

// The wait itself: entering the sleep, the timer's wake-up and the return, nothing else.
void wakeAfterPause(benchmark::State& state) {
    std::mutex mutex;
    std::condition_variable cv;
    std::unique_lock<std::mutex> lock(mutex);
    timedAfterPause(state, 0, &wakeSeconds, [&]() -> const char* {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(state.range(0));
        while (cv.wait_until(lock, until) != std::cv_status::timeout) {
        }
        return nullptr;
    });
}
BENCHMARK(wakeAfterPause)->Arg(1000)->UseManualTime()->Iterations(8)->Unit(benchmark::kMicrosecond);

// The kernel's listing of every process, as the scan reads it.
void procListingAfterPause(benchmark::State& state) {
    alignas(8) char entries[32 * 1024];
    timedAfterPause(state, state.range(0), nullptr, [&]() -> const char* {
        const int fd = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return "cannot open /proc";
        while (::syscall(SYS_getdents64, fd, entries, sizeof entries) > 0) {
        }
        ::close(fd);
        return nullptr;
    });
}
BENCHMARK(procListingAfterPause)->Arg(2000)->UseManualTime()->Iterations(5)->Unit(benchmark::kMicrosecond);

// The whole process scan of the collector, at its own pace without a client.
void processScanAfterPause(benchmark::State& state) {
    timedAfterPause(state, state.range(0), &scanSeconds, []() -> const char* {
        benchmark::DoNotOptimize(vornet::findRunningClientDir());
        return nullptr;
    });
}
BENCHMARK(processScanAfterPause)->Arg(2000)->UseManualTime()->Iterations(5)->Unit(benchmark::kMicrosecond);

// A connection to a loopback port nothing listens on, as the in-game port's probe makes every
// 2 s without a game: socket, non-blocking connect, poll, the error, close.
void refusedConnectAfterPause(benchmark::State& state) {
    // A port that was free a moment ago: bound, read back and released again.
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    {
        const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        socklen_t length = sizeof address;
        if (probe < 0 || ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            state.SkipWithError("cannot find a free loopback port");
            if (probe >= 0) ::close(probe);
            return;
        }
        ::close(probe);
    }
    timedAfterPause(state, state.range(0), &refusedSeconds, [&]() -> const char* {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) return "cannot make a socket";
        int error = 0;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            error = errno;
            if (error == EINPROGRESS) {
                pollfd wait{fd, POLLOUT, 0};
                ::poll(&wait, 1, 2000);
                socklen_t length = sizeof error;
                if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
            }
        }
        ::close(fd);
        return error == ECONNREFUSED ? nullptr : "the loopback port answered or the connection did not fail as refused";
    });
}
BENCHMARK(refusedConnectAfterPause)->Arg(2000)->UseManualTime()->Iterations(5)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (wakeSeconds > 0 && scanSeconds > 0 && refusedSeconds > 0) {
        // Per second: one UI wake-up, and half of (a collection wake-up, a scan, a refusal).
        const double perSecond = wakeSeconds + (wakeSeconds + scanSeconds + refusedSeconds) / 2;
        std::printf(
            "Idle schedule on this machine, before any refresh or lockfile look-up: %.0f us of CPU per second, "
            "%.3f %% of one core\n",
            perSecond * 1e6, perSecond * 100);
    }
    return 0;
}
