// parlow-sim-client: a stand-in for the game client on this machine (see --help).
#include <cstdio>
#include <string>

#include "sim/client/client_sim.h"
#include "sim/common/sim_util.h"

#ifndef PARLOW_SIM_FIXTURES
#define PARLOW_SIM_FIXTURES "sim/fixtures"
#endif

namespace {

const char* kUsage = R"(usage: parlow-sim-client --install-dir DIR [options]
  --install-dir DIR      folder that receives the lockfile (created if missing)
  --root-cert-out FILE   write the generated root certificate (PEM) here
  --state-file FILE      JSON with port, password, livePort, controlPort, phase ...
  --phase-ms N           length of each phase in ms (default 6500: a game in about a minute)
  --games N              quit after N games (default 0: never)
  --port N               REST/feed port (default 0: any free port)
  --live-port N          in-game API port (default 2999; 0: a free port chosen at start)
  --control-port N       plain HTTP control port on 127.0.0.1 (default 0: any free port)
  --password TEXT        lockfile password (default random)
  --pid N                process id written into the lockfile (default our own)
  --start-phase NAME     first phase (default Lobby)
  --live-capture NAME    default, ranked, spectator or practicetool
  --fixtures DIR         fixture folder (default the source tree's sim/fixtures)
  --paused               hold the phase clock until POST /control/pause?on=0
  --hang-feed            feed accepts nothing and sends nothing
  --refuse-auth          every request gets 401
Control (127.0.0.1:<controlPort>): GET /control/state; POST /control/restart,
  /control/hang-feed?on=1|0, /control/refuse-auth?on=1|0, /control/pause?on=1|0,
  /control/phase?name=NAME, /control/next-phase, /control/quit
)";

}  // namespace

int main(int argc, char** argv) {
    using namespace vornet::sim;
    CommandLine cl;
    std::string error;
    if (argc > 1 && std::string(argv[1]) == "--help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (!cl.parse(argc, argv,
                  {"install-dir", "root-cert-out", "state-file", "phase-ms", "games", "port", "live-port",
                   "control-port", "password", "pid", "start-phase", "live-capture", "fixtures"},
                  {"paused", "hang-feed", "refuse-auth"}, error)) {
        std::fprintf(stderr, "parlow-sim-client: %s\n%s", error.c_str(), kUsage);
        return 2;
    }
    ClientOptions options;
    options.installDir = cl.get("install-dir");
    options.rootCertOut = cl.get("root-cert-out");
    options.stateFile = cl.get("state-file");
    options.fixtures = cl.get("fixtures", PARLOW_SIM_FIXTURES);
    options.password = cl.get("password");
    options.startPhase = cl.get("start-phase", "Lobby");
    options.liveCapture = cl.get("live-capture", "default");
    options.paused = cl.has("paused");
    options.hangFeed = cl.has("hang-feed");
    options.refuseAuth = cl.has("refuse-auth");
    long long port = 0, livePort = 0, controlPort = 0;
    bool ok = cl.getInt("phase-ms", 6500, 10, 3600000, options.phaseMs, error) &&
              cl.getInt("games", 0, 0, 1000000, options.games, error) &&
              cl.getInt("port", 0, 0, 65535, port, error) && cl.getInt("live-port", 2999, 0, 65535, livePort, error) &&
              cl.getInt("control-port", 0, 0, 65535, controlPort, error) &&
              cl.getInt("pid", 0, 0, 4294967295LL, options.pid, error);
    if (ok && options.installDir.empty()) {
        error = "--install-dir is required";
        ok = false;
    }
    if (!ok) {
        std::fprintf(stderr, "parlow-sim-client: %s\n", error.c_str());
        return 2;
    }
    options.restPort = static_cast<int>(port);
    options.livePort = static_cast<int>(livePort);
    options.controlPort = static_cast<int>(controlPort);

    installStopSignals();
    ClientSim sim(options);
    if (!sim.start(error)) {
        std::fprintf(stderr, "parlow-sim-client: %s\n", error.c_str());
        sim.shutdown();
        return 1;
    }
    std::printf("parlow-sim-client ready\n");
    std::fflush(stdout);
    while (!stopRequested() && !sim.finished()) {
        sim.tick();
        sleepMs(10);
    }
    sim.shutdown();
    return 0;
}
