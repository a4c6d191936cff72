// collector_cost: what the headless collector costs beside a game client, measured from the
// kernel's own accounting while it runs at its default intervals against the game client
// simulator and the local aggregator. CPU time comes from the process's CPU-time clock
// (clock_getcpuclockid): the scheduler's nanosecond runtime summed over all its threads,
// exited ones included, the figure /proc/<pid>/task/*/schedstat shows per thread. The tick
// behind /proc/<pid>/stat (10 ms) is far too coarse for an idle process. Peak memory is VmHWM.
//   idle   the collector alone, no game client running
//   lobby  the client up and paused in the lobby (REST polling plus the notification feed)
//   game   the client paused in a game (the in-game API polled as well)
// The same figures for the two simulators show the collector's own share. Not a pass/fail test.
// With --wine PATH the Windows program (Parlow.exe) runs under wine beside the same simulators,
// in the prefix WINEPREFIX names, on the display DISPLAY names; its CPU and that of the prefix's
// wineserver are shown apart. Only an indicator: wine's costs are not Windows'.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace vornet::bench {
namespace {

using e2e::ChildProcess;

struct CpuSample {
    double seconds = 0;  // CPU time of the whole process, exited threads included
};

std::string readText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

std::optional<CpuSample> cpuOf(int pid) {
    clockid_t clock{};
    if (clock_getcpuclockid(static_cast<pid_t>(pid), &clock) != 0) return std::nullopt;
    timespec now{};
    if (clock_gettime(clock, &now) != 0) return std::nullopt;
    return CpuSample{static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9};
}

// Peak resident set size in MiB.
double peakRssMiB(int pid) {
    std::istringstream status(readText("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    }
    return 0;
}

int freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

// The first line a shell command prints, without its line end; empty when it fails.
std::string firstLineOf(const std::string& command) {
    std::string line;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        if (std::fgets(buffer, sizeof buffer, pipe) != nullptr) line = buffer;
        ::pclose(pipe);
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

std::string shellQuoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// The wineserver of `prefix`: the process named so whose environment names that prefix.
int wineserverOf(const std::string& prefix) {
    const std::string wanted = "WINEPREFIX=" + prefix;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string comm = readText(entry.path().string() + "/comm");
        if (comm.rfind("wineserver", 0) != 0) continue;
        std::string environ = readText(entry.path().string() + "/environ");
        for (std::size_t at = 0; at < environ.size();) {
            std::size_t end = environ.find('\0', at);
            if (end == std::string::npos) end = environ.size();
            if (environ.compare(at, end - at, wanted) == 0) return std::atoi(name.c_str());
            at = end + 1;
        }
    }
    return 0;
}

struct Options {
    int idleS = 60, lobbyS = 60, gameS = 120, settleS = 5;
    std::string keep;
    std::string parlow = PARLOW_BIN;  // another build of the collector, for before/after runs
    std::string wineExe;              // Parlow.exe, run under wine instead of the native program
};

struct Row {
    std::string phase;
    double wall = 0;
    double parlowCpu = 0, clientCpu = 0, aggregatorCpu = 0, wineserverCpu = 0;  // seconds
    double requests = 0, connections = 0, uploads = 0;
};

class Driver {
public:
    explicit Driver(Options options) : options_(std::move(options)) {}

    int run() {
        const std::string token = "cost-bench-token";
        std::vector<std::string> env = {"HOME=" + dir_.file("home"), "XDG_DATA_HOME=" + dir_.file("home/.local/share"),
                                        "LOCALAPPDATA=", "LEAGUE_INSTALL_DIR=", "VORNET_COLLECTOR_TOKEN=" + token};
        std::filesystem::create_directories(dir_.file("home"));
        aggregator_ =
            std::make_unique<ChildProcess>(std::vector<std::string>{PARLOW_SIM_AGGREGATOR, "--state-file",
                                                                    dir_.file("aggregator.json"), "--token", token},
                                           env, dir_.file("aggregator.log"));
        std::optional<JsonValue> aggregatorState = e2e::waitForJsonFile(dir_.file("aggregator.json"));
        if (!aggregatorState) return fail("the aggregator did not start");
        aggregatorPort_ = static_cast<int>(aggregatorState->getNumber("port", 0));
        const int livePort = freePort();
        const bool wine = !options_.wineExe.empty();
        const char* prefix = std::getenv("WINEPREFIX");
        if (wine && (prefix == nullptr || *prefix == '\0')) return fail("--wine needs WINEPREFIX");
        // Paths as the collector sees them: Windows paths under wine.
        auto seen = [&](const std::string& path) {
            return wine ? firstLineOf("winepath -w " + shellQuoted(path) + " 2>/dev/null") : path;
        };

        // Default intervals and limits: only where to find things is configured.
        JsonValue server = JsonValue::object();
        server.set("url", "http://127.0.0.1:" + std::to_string(aggregatorPort_));
        server.set("allowPlainHttpLoopback", true);
        JsonValue collection = JsonValue::object();
        collection.set("leagueInstallDir", seen(dir_.file("league")));
        collection.set("riotRootCertFile", seen(dir_.file("riot-root.pem")));
        collection.set("liveClientPort", livePort);
        JsonValue doc = JsonValue::object();
        doc.set("server", server);
        doc.set("collection", collection);
        std::ofstream(dir_.file("collector.json")) << writeJson(doc);

        // The client simulator makes its root certificate at start, and the collector reads
        // the root when it starts; so the client runs from the beginning, but its lockfile is
        // hidden until the lobby phase: until then the collector has no client to find.
        client_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{PARLOW_SIM_CLIENT, "--install-dir", dir_.file("league"), "--root-cert-out",
                                     dir_.file("riot-root.pem"), "--state-file", dir_.file("client.json"),
                                     "--live-port", std::to_string(livePort), "--paused"},
            env, dir_.file("client.log"));
        std::optional<JsonValue> clientState = e2e::waitForJsonFile(dir_.file("client.json"));
        if (!clientState) return fail("the game client simulator did not start");
        controlPort_ = static_cast<int>(clientState->getNumber("controlPort", 0));
        const std::string lockfile = clientState->getString("lockfile", "");
        std::error_code ec;
        std::filesystem::rename(lockfile, lockfile + ".hidden", ec);
        if (ec) return fail("cannot hide the lockfile: " + ec.message());

        if (wine) {
            // wine execs its preloader in the same process, which then runs the program: the
            // child's CPU clock is the Windows program's.
            const std::string wineBin = firstLineOf("command -v wine");
            if (wineBin.empty()) return fail("wine not found");
            std::vector<std::string> wineEnv = env;
            wineEnv.push_back("HOME=" + std::string(std::getenv("HOME") ? std::getenv("HOME") : ""));
            wineEnv.push_back("WINEDEBUG=-all");
            wineEnv.push_back("WINEDLLOVERRIDES=mscoree,mshtml=");
            parlow_ = std::make_unique<ChildProcess>(std::vector<std::string>{wineBin, options_.wineExe, "--background",
                                                                         "--config", seen(dir_.file("collector.json"))},
                                                wineEnv, dir_.file("parlow.log"));
        } else {
            parlow_ = std::make_unique<ChildProcess>(
                std::vector<std::string>{options_.parlow, "--config", dir_.file("collector.json")}, env,
                dir_.file("parlow.log"));
        }
        std::this_thread::sleep_for(std::chrono::seconds(options_.settleS));
        if (!parlow_->running()) return fail("parlow exited; see its log");
        if (wine) wineserver_ = wineserverOf(prefix);
        rows_.push_back(measure("idle", options_.idleS));

        std::filesystem::rename(lockfile + ".hidden", lockfile, ec);
        if (ec) return fail("cannot restore the lockfile: " + ec.message());
        // The collector has found the client once its feed is subscribed.
        if (!e2e::waitUntil([&] { return clientNumber("subscribers") >= 1; }, 30000))
            return fail("the collector never subscribed to the feed");
        std::this_thread::sleep_for(std::chrono::seconds(options_.settleS));
        rows_.push_back(measure("lobby", options_.lobbyS));

        if (!e2e::httpJson("POST", controlPort_, "/control/phase?name=InProgress"))
            return fail("cannot move the client into a game");
        const double liveBefore = clientNumber("liveRequests");
        if (!e2e::waitUntil([&] { return clientNumber("liveRequests") > liveBefore; }, 30000))
            return fail("the collector never polled the in-game API");
        std::this_thread::sleep_for(std::chrono::seconds(options_.settleS));
        rows_.push_back(measure("game", options_.gameS));

        print();
        if (!options_.keep.empty()) {
            std::error_code ec;
            std::filesystem::copy(
                dir_.utf8(), options_.keep,
                std::filesystem::copy_options::recursive | std::filesystem::copy_options::overwrite_existing, ec);
        }
        return 0;
    }

private:
    int fail(const std::string& why) {
        std::fprintf(stderr, "collector_cost: %s (logs in %s; PARLOW_E2E_KEEP=1 keeps them)\n", why.c_str(),
                     dir_.utf8().c_str());
        return 1;
    }

    double clientNumber(const char* key) {
        if (!client_) return 0;
        std::optional<JsonValue> state = e2e::httpJson("GET", controlPort_, "/control/state");
        return state ? state->getNumber(key, 0) : 0;
    }
    double aggregatorBatches() {
        std::optional<JsonValue> summary = e2e::httpJson("GET", aggregatorPort_, "/summary");
        return summary ? summary->getNumber("acceptedBatches", 0) : 0;
    }
    static double cpu(ChildProcess* process) {
        if (process == nullptr || process->pid() <= 0) return 0;
        return cpuOfPid(process->pid());
    }
    static double cpuOfPid(int pid) {
        if (pid <= 0) return 0;
        std::optional<CpuSample> sample = cpuOf(pid);
        return sample ? sample->seconds : 0;
    }

    Row measure(const std::string& phase, int seconds) {
        std::fprintf(stderr, "collector_cost: measuring %s for %d s\n", phase.c_str(), seconds);
        Row row;
        row.phase = phase;
        const double parlow0 = cpu(parlow_.get()), client0 = cpu(client_.get()), aggregator0 = cpu(aggregator_.get());
        const double wineserver0 = cpuOfPid(wineserver_);
        const double requests0 = clientNumber("restRequests") + clientNumber("liveRequests");
        const double connections0 = clientNumber("restConnections") + clientNumber("liveConnections");
        const double uploads0 = aggregatorBatches();
        auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        row.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        row.parlowCpu = cpu(parlow_.get()) - parlow0;
        row.clientCpu = cpu(client_.get()) - client0;
        row.aggregatorCpu = cpu(aggregator_.get()) - aggregator0;
        row.wineserverCpu = cpuOfPid(wineserver_) - wineserver0;
        row.requests = clientNumber("restRequests") + clientNumber("liveRequests") - requests0;
        row.connections = clientNumber("restConnections") + clientNumber("liveConnections") - connections0;
        row.uploads = aggregatorBatches() - uploads0;
        return row;
    }

    void print() {
        const bool wine = !options_.wineExe.empty();
        if (wine) {
            std::printf(
                "\nWindows build under wine at default intervals (CPU as %% of one core, nanosecond accounting; "
                "an indicator only, wine's costs are not Windows')\n");
            std::printf(
                "| phase | seconds | Parlow.exe CPU %% | wineserver CPU %% | client sim CPU %% | aggregator sim CPU %% "
                "| "
                "client requests/s | new client connections/s | uploads/s |\n");
            std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
        } else {
            std::printf("\nCollector cost at default intervals (CPU as %% of one core, nanosecond accounting)\n");
            std::printf(
                "| phase | seconds | parlow CPU %% | client sim CPU %% | aggregator sim CPU %% | client requests/s | "
                "new client connections/s | uploads/s |\n");
            std::printf("|---|---:|---:|---:|---:|---:|---:|---:|\n");
        }
        for (const Row& r : rows_) {
            std::printf("| %s | %.0f | %.4f", r.phase.c_str(), r.wall, 100.0 * r.parlowCpu / r.wall);
            if (wine) std::printf(" | %.4f", 100.0 * r.wineserverCpu / r.wall);
            std::printf(" | %.3f | %.3f | %.2f | %.2f | %.2f |\n", 100.0 * r.clientCpu / r.wall,
                        100.0 * r.aggregatorCpu / r.wall, r.requests / r.wall, r.connections / r.wall,
                        r.uploads / r.wall);
        }
        std::printf("\nPeak resident memory: parlow %.1f MiB, client sim %.1f MiB, aggregator sim %.1f MiB\n",
                    peakRssMiB(parlow_->pid()), client_ ? peakRssMiB(client_->pid()) : 0.0,
                    peakRssMiB(aggregator_->pid()));
    }

    Options options_;
    e2e::ScratchDir dir_;
    int aggregatorPort_ = 0, controlPort_ = 0;
    int wineserver_ = 0;  // the prefix's wineserver, under --wine
    std::vector<Row> rows_;
    // Destroyed in reverse order: the collector stops before the simulators.
    std::unique_ptr<ChildProcess> aggregator_, client_, parlow_;
};

}  // namespace
}  // namespace vornet::bench

int main(int argc, char** argv) {
    vornet::bench::Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : std::string(); };
        if (arg == "--idle-s")
            options.idleS = std::atoi(next().c_str());
        else if (arg == "--lobby-s")
            options.lobbyS = std::atoi(next().c_str());
        else if (arg == "--game-s")
            options.gameS = std::atoi(next().c_str());
        else if (arg == "--settle-s")
            options.settleS = std::atoi(next().c_str());
        else if (arg == "--keep")
            options.keep = next();
        else if (arg == "--parlow")
            options.parlow = next();
        else if (arg == "--wine")
            options.wineExe = next();
        else {
            std::fprintf(stderr,
                         "usage: collector_cost [--idle-s 60] [--lobby-s 60] [--game-s 120] [--settle-s 5] [--keep "
                         "DIR] [--parlow BIN] [--wine Parlow.exe]\n");
            return 2;
        }
    }
    if (options.idleS <= 0 || options.lobbyS <= 0 || options.gameS <= 0 || options.settleS < 0) {
        std::fprintf(stderr, "collector_cost: phase lengths must be positive\n");
        return 2;
    }
    return vornet::bench::Driver(options).run();
}
