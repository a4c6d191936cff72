// Observation buffer throughput: 1 KB observations pushed, taken in batches of 64 and fully
// acknowledged, on one thread and with two producer threads feeding one uploader. Each
// observation is built in the loop (as a producer builds it) and each acknowledgement holds
// every id of its batch (as a parsed answer does).
// Run: build/native/bench/buffer_bench
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "collector/buffer.h"

namespace {

constexpr std::uint64_t kBatch = 64;
constexpr std::int64_t kNow = 1'700'000'000'000;

vornet::BufferLimits roomy() {
    // Large enough that nothing is evicted: the benchmark measures the settled path.
    return vornet::BufferLimits{100'000'000, 1ull << 40, 3600};
}

std::unique_ptr<vornet::ObservationBuffer> makeBuffer() {
    return std::make_unique<vornet::ObservationBuffer>(
        roomy(), kBatch, [] { return kNow; }, [] { return std::int64_t{0}; }, [] { return 0.5; });
}

vornet::Observation makeObservation(const std::string& payload) {
    vornet::Observation o;
    o.observedAt = kNow;
    o.api = "lcu";
    o.endpoint = "/lol-gameflow/v1/session";
    o.status = 200;
    o.payload = payload;
    return o;
}

// Settles one batch completely; false when nothing was handed out.
bool uploadOne(vornet::ObservationBuffer& buffer) {
    auto batch = buffer.takeBatch();
    if (!batch) return false;
    vornet::Acknowledgement ack;
    for (const auto& o : batch->observations) ack.accepted.insert(ack.accepted.end(), o.observationId);
    buffer.acknowledge(*batch, ack, kNow);
    return true;
}

std::string kilobytePayload() {
    std::string payload = "{\"data\":\"";
    payload.append(1024 - payload.size() - 2, 'x');
    payload += "\"}";
    return payload;
}

void BM_PushTakeAcknowledge(benchmark::State& state) {
    const std::string payload = kilobytePayload();
    auto buffer = makeBuffer();
    for (auto _ : state) {
        for (std::uint64_t i = 0; i < kBatch; ++i) buffer->push(makeObservation(payload));
        if (!uploadOne(*buffer)) state.SkipWithError("no batch");
    }
    if (buffer->pendingCount() != 0) state.SkipWithError("observations left over");
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kBatch));
}
BENCHMARK(BM_PushTakeAcknowledge);

// Two producer threads push; this thread uploads until every observation is acknowledged.
void BM_TwoProducersOneUploader(benchmark::State& state) {
    const std::string payload = kilobytePayload();
    const auto perProducer = static_cast<std::uint64_t>(state.range(0));
    for (auto _ : state) {
        auto buffer = makeBuffer();
        std::atomic<int> done{0};
        auto produce = [&] {
            for (std::uint64_t i = 0; i < perProducer; ++i) buffer->push(makeObservation(payload));
            done.fetch_add(1);
        };
        std::thread a(produce), b(produce);
        while (true) {
            if (uploadOne(*buffer)) continue;
            if (done.load() == 2 && buffer->pendingCount() == 0) break;
            std::this_thread::yield();
        }
        a.join();
        b.join();
        if (buffer->stats().sentBatches == 0) state.SkipWithError("nothing uploaded");
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * 2 * perProducer));
}
BENCHMARK(BM_TwoProducersOneUploader)->Arg(100'000)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
