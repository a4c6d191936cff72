// parlow-sim-aggregator: a local stand-in for the aggregator service (see --help).
#include <cstdio>
#include <string>

#include "sim/aggregator/aggregator.h"
#include "sim/common/sim_util.h"

namespace {

const char* kUsage = R"(usage: parlow-sim-aggregator [options]
  --port N               plain HTTP port on 127.0.0.1 (default 0: any free port)
  --tls                  also serve HTTPS with a generated root
  --tls-port N           HTTPS port (default 0: any free port)
  --root-cert-out FILE   write the generated root (PEM) here, for server.caFile
  --state-file FILE      JSON with port, url, tlsPort, tlsUrl, rootCertFile, record, runId
  --record FILE          append-only JSONL record; replayed at start when it exists
  --path PREFIX          URL path prefix of the endpoints (e.g. /api)
  --invite CODE          a valid invite code (repeatable; or --invites A,B,C)
  --single-use-invites   an invite code enrolls once (then 410)
  --token TOKEN[=ID]     accept this bearer token (for any collector id, or only ID)
  --enroll-max-failures N  failed enroll attempts within the window before 429 (default 5)
  --enroll-window-ms N   window of that count (default 60000)
  --error-rate R         share of ingest requests answered with --error-status (0..1)
  --error-status N       default 503
  --drop-rate R          share of ingest requests whose connection is dropped (0..1)
  --slow-ms N            every ingest answer waits N ms
  --max-body-bytes N     413 for bodies above N bytes (as received)
  --seed N               seed of the fault dice
Endpoints: POST <path>/v1/enroll, POST <path>/v1/ingest/observations, GET /summary.
Control: GET /control/state; POST /control/fault?status=NNN|drop|slow[&ms=N][&count=N],
  /control/faults?errorRate=&errorStatus=&dropRate=&slowMs=&maxBodyBytes=,
  /control/reset-faults, /control/invite?code=X
)";

std::vector<std::string> splitComma(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t comma = text.find(',', start);
        std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!item.empty()) out.push_back(item);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace vornet::sim;
    if (argc > 1 && std::string(argv[1]) == "--help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    CommandLine cl;
    std::string error;
    if (!cl.parse(argc, argv,
                  {"port", "tls-port", "root-cert-out", "state-file", "record", "path", "invite", "invites", "token",
                   "enroll-max-failures", "enroll-window-ms", "error-rate", "error-status", "drop-rate", "slow-ms",
                   "max-body-bytes", "seed"},
                  {"tls", "single-use-invites"}, error)) {
        std::fprintf(stderr, "parlow-sim-aggregator: %s\n%s", error.c_str(), kUsage);
        return 2;
    }
    AggregatorOptions options;
    options.tls = cl.has("tls");
    options.rootCertOut = cl.get("root-cert-out");
    options.stateFile = cl.get("state-file");
    options.record = cl.get("record");
    options.pathPrefix = cl.get("path");
    while (!options.pathPrefix.empty() && options.pathPrefix.back() == '/') options.pathPrefix.pop_back();
    options.invites = cl.all("invite");
    for (const std::string& list : cl.all("invites"))
        for (std::string& code : splitComma(list)) options.invites.push_back(code);
    options.tokens = cl.all("token");
    options.singleUseInvites = cl.has("single-use-invites");
    long long port = 0, tlsPort = 0, maxFailures = 0, errorStatus = 0, slowMs = 0, maxBody = 0, seed = 0;
    bool ok = cl.getInt("port", 0, 0, 65535, port, error) && cl.getInt("tls-port", 0, 0, 65535, tlsPort, error) &&
              cl.getInt("enroll-max-failures", 5, 1, 1000000, maxFailures, error) &&
              cl.getInt("enroll-window-ms", 60000, 1, 86400000, options.enrollWindowMs, error) &&
              cl.getDouble("error-rate", 0, 0, 1, options.faults.errorRate, error) &&
              cl.getInt("error-status", 503, 100, 599, errorStatus, error) &&
              cl.getDouble("drop-rate", 0, 0, 1, options.faults.dropRate, error) &&
              cl.getInt("slow-ms", 0, 0, 600000, slowMs, error) &&
              cl.getInt("max-body-bytes", 0, 0, 1LL << 40, maxBody, error) &&
              cl.getInt("seed", 0, 0, 1LL << 62, seed, error);
    if (!ok) {
        std::fprintf(stderr, "parlow-sim-aggregator: %s\n", error.c_str());
        return 2;
    }
    options.port = static_cast<int>(port);
    options.tlsPort = static_cast<int>(tlsPort);
    options.enrollMaxFailures = static_cast<int>(maxFailures);
    options.faults.errorStatus = static_cast<int>(errorStatus);
    options.faults.slowMs = static_cast<int>(slowMs);
    options.faults.maxBodyBytes = static_cast<std::uint64_t>(maxBody);
    options.seed = static_cast<std::uint64_t>(seed);

    installStopSignals();
    Aggregator aggregator(options);
    if (!aggregator.start(error)) {
        std::fprintf(stderr, "parlow-sim-aggregator: %s\n", error.c_str());
        return 1;
    }
    std::printf("parlow-sim-aggregator ready\n");
    std::fflush(stdout);
    while (!stopRequested()) sleepMs(20);
    aggregator.shutdown();
    return 0;
}
