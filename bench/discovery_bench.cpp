// What one discovery costs on this machine while no game client runs: the process scan alone,
// and the whole search (candidate folders, product settings, lockfile reads). Run it under
// callgrind for instruction counts that do not depend on the machine's load.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <time.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "sources/lockfile.h"

namespace {

// An empty wine prefix: every candidate folder is missing, as on a PC without a client.
const std::string& emptyPrefix() {
    static const std::string prefix = [] {
        std::string path = (std::filesystem::temp_directory_path() / "parlow-discovery-bench").string();
        std::filesystem::create_directories(path);
        setenv("WINEPREFIX", path.c_str(), 1);
        unsetenv("LEAGUE_INSTALL_DIR");
        return path;
    }();
    return prefix;
}

void processScan(benchmark::State& state) {
    emptyPrefix();
    for (auto _ : state) benchmark::DoNotOptimize(vornet::findRunningClientDir());
}
BENCHMARK(processScan)->Unit(benchmark::kMicrosecond);

void findLockfileWithoutClient(benchmark::State& state) {
    const std::string configured = emptyPrefix() + "/configured";
    for (auto _ : state) benchmark::DoNotOptimize(vornet::findLockfile(configured));
}
BENCHMARK(findLockfileWithoutClient)->Unit(benchmark::kMicrosecond);

// A collector without a client scans once every 2 s, by then with cold caches: each scan here
// follows a pause and is timed by the thread's own CPU clock.
double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void processScanAfterPause(benchmark::State& state) {
    emptyPrefix();
    for (auto _ : state) {
        std::this_thread::sleep_for(std::chrono::milliseconds(state.range(0)));
        const double start = threadCpuSeconds();
        benchmark::DoNotOptimize(vornet::findRunningClientDir());
        state.SetIterationTime(threadCpuSeconds() - start);
    }
}
BENCHMARK(processScanAfterPause)->Arg(200)->UseManualTime()->Iterations(20)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
