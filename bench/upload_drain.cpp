// upload_drain: how fast a backlog leaves. 10,000 observations with in-game bodies (the
// in-game API's answers, in the proportions the collector asks for them at its default
// intervals) wait in the collector's buffer; the local aggregator is up; the collector's own
// upload thread drains them over the POSIX transport. Then the same envelopes are compressed by
// our gzip at level 6 and by `gzip -6`, for a side-by-side figure. Not a pass/fail test.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "collector/collector.h"
#include "collector/envelope.h"
#include "collector/gzip.h"
#include "tests/e2e/e2e_support.h"

namespace vornet::bench {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string fixture(const std::string& name) {
    std::ifstream in(std::string(PARLOW_SIM_FIXTURES) + "/" + name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct Source {
    const char* endpoint;
    const char* file;
    int weight;  // polls per second at the default intervals
};

// The in-game API at its default intervals: active player and player list every 250 ms, events
// and game statistics every 500 ms.
const Source kInGame[] = {
    {"/liveclientdata/activeplayer", "liveclientdata-activeplayer.json", 4},
    {"/liveclientdata/playerlist", "liveclientdata-playerlist.json", 4},
    {"/liveclientdata/eventdata", "liveclientdata-eventdata.json", 2},
    {"/liveclientdata/gamestats", "liveclientdata-gamestats.json", 2},
};

std::vector<Observation> makeObservations(std::size_t count) {
    std::vector<Observation> prototypes;
    for (const Source& source : kInGame) {
        Observation o;
        o.api = "liveclient";
        o.endpoint = source.endpoint;
        o.status = 200;
        setPayloadFromBody(o, fixture(source.file));
        for (int i = 0; i < source.weight; ++i) prototypes.push_back(o);
    }
    std::vector<Observation> out;
    out.reserve(count);
    // Observed just now, one after another: older ones would meet the buffer's age limit.
    const std::int64_t start = CollectorClocks::system().wallNowMs() - static_cast<std::int64_t>(count);
    for (std::size_t i = 0; i < count; ++i) {
        Observation o = prototypes[i % prototypes.size()];
        o.observedAt = start + static_cast<std::int64_t>(i);
        out.push_back(std::move(o));
    }
    return out;
}

int run(std::size_t count, std::uint32_t batchSize) {
    e2e::ScratchDir dir;
    const std::string token = "drain-bench-token";
    e2e::ChildProcess aggregator({PARLOW_SIM_AGGREGATOR, "--state-file", dir.file("aggregator.json"), "--token", token},
                                 {}, dir.file("aggregator.log"));
    std::optional<JsonValue> state = e2e::waitForJsonFile(dir.file("aggregator.json"));
    if (!state) {
        std::fprintf(stderr, "upload_drain: the aggregator did not start\n");
        return 1;
    }
    const int port = static_cast<int>(state->getNumber("port", 0));

    // Collection off, so that only the backlog moves; the buffer is made large enough to hold
    // all of it (the default byte limit would evict most of these large bodies first).
    std::string text = "{\"server\":{\"url\":\"http://127.0.0.1:" + std::to_string(port) +
                       "\",\"allowPlainHttpLoopback\":true,\"maxBatchSize\":" + std::to_string(batchSize) +
                       "},\"collection\":{\"enabled\":false},\"buffer\":{\"maxObservations\":" + std::to_string(count) +
                       ",\"maxBytes\":4294967296}}";
    std::vector<std::string> errors, warnings;
    std::optional<Config> config = parseConfig(text, errors, warnings);
    if (!config) {
        std::fprintf(stderr, "upload_drain: %s\n", errors.empty() ? "bad configuration" : errors[0].c_str());
        return 1;
    }

    std::vector<Observation> observations = makeObservations(count);
    std::uint64_t payloadBytes = 0;
    for (const Observation& o : observations) payloadBytes += o.payload.size();

    std::unique_ptr<HttpClient> http = createHttpClient("Parlow-bench/1");
    auto collector = std::make_unique<Collector>(
        *config, http.get(), token, [] { return std::optional<Lockfile>(); }, CollectorClocks::system());
    for (const Observation& o : observations) collector->enqueue(o);
    if (collector->pendingCount() != count) {
        std::fprintf(stderr, "upload_drain: only %llu of %zu observations are waiting\n",
                     static_cast<unsigned long long>(collector->pendingCount()), count);
        return 1;
    }
    std::atomic<std::uint64_t> batches{0}, raw{0}, sent{0};
    collector->setUploadCallback([&](const Collector::UploadResult& r) {
        ++batches;
        raw += r.rawBytes;
        sent += r.uploadedBytes;
    });

    const auto start = Clock::now();
    CollectorRun run(std::move(http), std::move(collector), makeFlag(false));
    Collector& c = run.collector();
    while (c.pendingCount() > 0 && secondsSince(start) < 300) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const double drain = secondsSince(start);
    const bool drained = c.pendingCount() == 0;
    JsonValue status = c.status();
    run.stop();

    std::printf("\nUpload drain: %zu observations waiting (in-game bodies, %.1f KiB on average), batches of %u\n",
                count, static_cast<double>(payloadBytes) / count / 1024.0, batchSize);
    std::printf("| drained | seconds | observations/s | batches/s | raw MB/s | compressed MB/s | ratio | dropped |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|\n");
    std::printf("| %s | %.2f | %.0f | %.1f | %.1f | %.2f | %.1f | %.0f |\n", drained ? "yes" : "NO", drain,
                count / drain, static_cast<double>(batches) / drain, static_cast<double>(raw) / drain / 1e6,
                static_cast<double>(sent) / drain / 1e6,
                sent ? static_cast<double>(raw) / static_cast<double>(sent) : 0.0,
                status.getNumber("droppedObservations", -1));

    // The same envelopes through our compressor and through gzip(1).
    std::vector<std::string> envelopes;
    for (std::size_t i = 0; i < observations.size(); i += batchSize) {
        std::size_t n = std::min<std::size_t>(batchSize, observations.size() - i);
        for (std::size_t k = 0; k < n; ++k) {
            observations[i + k].sequence = i + k + 1;
            observations[i + k].observationId = "o" + std::to_string(i + k + 1);
        }
        EnvelopeInput input;
        input.collectorId = "collector_1";
        input.bootId = "boot_0123456789abcdef";
        input.batchId = "b" + std::to_string(i / batchSize + 1);
        input.sentAt = 1796900000000;
        input.name = "gaming-pc";
        input.version = kCollectorVersion;
        input.observations = std::span<const Observation>(observations.data() + i, n);
        envelopes.push_back(buildEnvelope(input));
    }
    std::uint64_t envelopeBytes = 0, ourBytes = 0;
    auto ours = Clock::now();
    for (const std::string& e : envelopes) {
        envelopeBytes += e.size();
        ourBytes += gzipCompress(e, 6).size();
    }
    const double ourSeconds = secondsSince(ours);

    std::filesystem::create_directories(dir.file("envelopes"));
    std::string command = "gzip -6 -c";
    for (std::size_t i = 0; i < envelopes.size(); ++i) {
        std::string name = dir.file("envelopes/" + std::to_string(i) + ".json");
        std::ofstream(name, std::ios::binary) << envelopes[i];
        command += " " + name;
    }
    command += " > " + dir.file("envelopes.gz");
    auto theirs = Clock::now();
    const int status6 = std::system(command.c_str());
    const double theirSeconds = secondsSince(theirs);
    const std::uint64_t theirBytes = std::filesystem::file_size(dir.file("envelopes.gz"));
    std::printf("\nCompression of the same %zu envelopes (%.1f MB), level 6, one core\n", envelopes.size(),
                static_cast<double>(envelopeBytes) / 1e6);
    std::printf("| compressor | seconds | MB/s | compressed MB | ratio |\n|---|---:|---:|---:|---:|\n");
    std::printf("| ours (libdeflate) | %.2f | %.1f | %.2f | %.2f |\n", ourSeconds, envelopeBytes / ourSeconds / 1e6,
                ourBytes / 1e6, static_cast<double>(envelopeBytes) / ourBytes);
    if (status6 == 0)
        std::printf("| gzip -6 | %.2f | %.1f | %.2f | %.2f |\n", theirSeconds, envelopeBytes / theirSeconds / 1e6,
                    theirBytes / 1e6, static_cast<double>(envelopeBytes) / theirBytes);
    else
        std::printf("| gzip -6 | failed (%d) | | | |\n", status6);
    return drained ? 0 : 1;
}

}  // namespace
}  // namespace vornet::bench

int main(int argc, char** argv) {
    std::size_t count = 10000;
    std::uint32_t batch = 64;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string arg = argv[i];
        if (arg == "--count")
            count = std::strtoull(argv[i + 1], nullptr, 10);
        else if (arg == "--batch")
            batch = static_cast<std::uint32_t>(std::strtoul(argv[i + 1], nullptr, 10));
    }
    if (count == 0 || batch == 0 || batch > 5000) {
        std::fprintf(stderr, "usage: upload_drain [--count 10000] [--batch 64]\n");
        return 2;
    }
    return vornet::bench::run(count, batch);
}
