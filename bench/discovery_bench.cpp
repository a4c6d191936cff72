// What one discovery costs on this machine while no game client runs: the process scan alone,
// and the whole search (candidate folders, product settings, lockfile reads). Run it under
// callgrind for instruction counts that do not depend on the machine's load.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

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

}  // namespace

BENCHMARK_MAIN();
