#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "collector/buffer.h"

namespace vornet {
namespace {

constexpr std::int64_t kStartWall = 1'700'000'000'000;
constexpr std::int64_t kStartSteady = 5'000'000;

// Clocks and random source that only move when the test says so.
struct FakeTime {
    std::int64_t wall = kStartWall;
    std::int64_t steady = kStartSteady;
    std::deque<double> randoms;  // consumed front first; 0.5 when empty
    int randomCalls = 0;
};

struct Harness {
    std::shared_ptr<FakeTime> time = std::make_shared<FakeTime>();
    std::unique_ptr<ObservationBuffer> buffer;

    explicit Harness(BufferLimits limits = BufferLimits{1000, 1u << 30, 900}, std::uint64_t maxBatch = 64) {
        auto t = time;
        buffer = std::make_unique<ObservationBuffer>(
            limits, maxBatch, [t] { return t->wall; }, [t] { return t->steady; },
            [t] {
                ++t->randomCalls;
                if (t->randoms.empty()) return 0.5;
                double r = t->randoms.front();
                t->randoms.pop_front();
                return r;
            });
    }

    // A fresh observation (captured now) unless an age is given.
    std::uint64_t push(std::int64_t ageMs = 0, std::size_t payloadBytes = 4) {
        Observation o;
        o.observedAt = time->wall - ageMs;
        o.api = "lcu";
        o.endpoint = "/e";
        o.payload = std::string(payloadBytes, '1');
        return buffer->push(std::move(o));
    }
    void pushMany(int n) {
        for (int i = 0; i < n; ++i) push();
    }
    Batch take() {
        auto batch = buffer->takeBatch();
        EXPECT_TRUE(batch.has_value());
        return batch ? std::move(*batch) : Batch{};
    }
    std::vector<std::uint64_t> queued() const { return buffer->inspect().queuedSequences; }
    std::vector<DroppedRange> pending() const { return buffer->inspect().pendingDropped; }
};

std::vector<std::uint64_t> seqs(std::uint64_t from, std::uint64_t to) {
    std::vector<std::uint64_t> out;
    for (auto s = from; s <= to; ++s) out.push_back(s);
    return out;
}

std::vector<std::uint64_t> batchSeqs(const Batch& batch) {
    std::vector<std::uint64_t> out;
    for (const auto& o : batch.observations) out.push_back(o.sequence);
    return out;
}

std::string id(std::uint64_t sequence) {
    return "o" + std::to_string(sequence);
}

Acknowledgement acceptAll(const Batch& batch) {
    Acknowledgement ack;
    for (const auto& o : batch.observations) ack.accepted.insert(o.observationId);
    return ack;
}

MATCHER_P4(RangeIs, count, from, to, reason, "") {
    return arg.count == static_cast<std::uint64_t>(count) && arg.fromSequence == static_cast<std::uint64_t>(from) &&
           arg.toSequence == static_cast<std::uint64_t>(to) && arg.reason == reason;
}

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(ObservationBuffer, NumbersObservationsAndNamesThem) {
    Harness h(BufferLimits{3, 1u << 30, 900});
    Observation preset;
    preset.observationId = "caller-id";
    preset.sequence = 99;
    EXPECT_EQ(h.buffer->push(std::move(preset)), 1u);
    for (std::uint64_t expected = 2; expected <= 12; ++expected) EXPECT_EQ(h.push(), expected);
    // Evictions never give a number twice.
    EXPECT_EQ(h.queued(), seqs(10, 12));
    Batch batch = h.take();
    ASSERT_EQ(batch.observations.size(), 3u);
    EXPECT_EQ(batch.observations[0].observationId, "o10");
    EXPECT_EQ(batch.observations[2].observationId, "o12");
    EXPECT_EQ(batch.observations[0].endpoint, "/e");
}

TEST(ObservationBuffer, FirstObservationIsO1) {
    Harness h;
    EXPECT_EQ(h.push(), 1u);
    Batch batch = h.take();
    ASSERT_EQ(batch.observations.size(), 1u);
    EXPECT_EQ(batch.observations[0].observationId, "o1");
    EXPECT_EQ(batch.observations[0].sequence, 1u);
}

// Catches charging the wrong fields (id, api and type are free) or a wrong constant.
TEST(ObservationBuffer, ChargeCountsEndpointPayloadAndError) {
    struct Case {
        std::string endpoint, payload, error, api, notificationType, observationId;
        std::uint64_t charge;
    };
    const Case cases[] = {
        {"", "", "", "", "", "", 160},
        {"/lol-gameflow/v1/gameflow-phase", "null", "", "lcu", "", "", 160 + 31 + 4},
        {"/e", "{}", "timeout", "liveclient", "Update", "o123456", 160 + 2 + 2 + 7},
        {"", std::string(1000, 'x'), std::string(24, 'e'), "collector", "Create", "o1", 160 + 1000 + 24},
    };
    for (const auto& c : cases) {
        Observation o;
        o.endpoint = c.endpoint;
        o.payload = c.payload;
        o.error = c.error;
        o.api = c.api;
        o.notificationType = c.notificationType;
        o.observationId = c.observationId;
        EXPECT_EQ(observationCharge(o), c.charge) << c.endpoint << "/" << c.payload.size();
    }
    // The buffer holds exactly the sum of what it queued.
    Harness h;
    h.push(0, 10);
    h.push(0, 20);
    EXPECT_EQ(h.buffer->inspect().heldBytes, (160u + 2 + 10) + (160u + 2 + 20));
}

TEST(ObservationBuffer, CountLimitEvictsOldestIntoOneRange) {
    Harness h(BufferLimits{10, 1u << 30, 900});
    h.pushMany(15);
    EXPECT_EQ(h.queued(), seqs(6, 15));
    EXPECT_THAT(h.pending(), ElementsAre(RangeIs(5, 1, 5, "buffer_full")));
    EXPECT_EQ(h.buffer->stats().droppedObservations, 5u);
    EXPECT_EQ(h.buffer->stats().pendingObservations, 10u);
    EXPECT_EQ(h.buffer->pendingCount(), 10u);
    EXPECT_EQ(h.buffer->inspect().heldBytes, 10u * (160 + 2 + 4));
}

TEST(ObservationBuffer, AgeLimitEvictsEvenWithinCountAndBytes) {
    Harness h(BufferLimits{100, 1u << 30, 10});
    h.push(10'001);  // older than the cutoff by 1 ms
    h.push(10'000);  // exactly at the cutoff: kept
    EXPECT_EQ(h.queued(), seqs(2, 2));
    EXPECT_THAT(h.pending(), ElementsAre(RangeIs(1, 1, 1, "max_age")));
    // Time passing alone does not evict; the next push does.
    h.time->wall += 1;
    h.push();
    EXPECT_EQ(h.queued(), seqs(3, 3));
    EXPECT_THAT(h.pending(), ElementsAre(RangeIs(2, 1, 2, "max_age")));
}

TEST(ObservationBuffer, ReasonChangesAndGapsStartNewRanges) {
    // Ages alternate, so the front is evicted for age, then for count, then for age again.
    Harness h(BufferLimits{1, 1u << 30, 10});
    h.push(20'000);  // 1 old
    h.push();        // 2 fresh: evicts 1 (max_age)
    h.push();        // 3: evicts 2 (buffer_full)
    h.push();        // 4: evicts 3 (buffer_full, merges)
    EXPECT_THAT(h.pending(), ElementsAre(RangeIs(1, 1, 1, "max_age"), RangeIs(2, 2, 3, "buffer_full")));

    // A gap: take 4 and 5 out, acknowledge only 5, so 4 and 6 become adjoining in the queue.
    Harness g(BufferLimits{3, 1u << 30, 900});
    g.pushMany(3);
    Batch batch = g.take();
    Acknowledgement ack;
    ack.accepted.insert("o2");
    g.buffer->acknowledge(batch, ack, kStartWall);
    EXPECT_EQ(g.queued(), (std::vector<std::uint64_t>{1, 3}));
    g.pushMany(3);  // 4, 5, 6: evicts 1 then 3
    EXPECT_EQ(g.queued(), seqs(4, 6));
    EXPECT_THAT(g.pending(), ElementsAre(RangeIs(1, 1, 1, "buffer_full"), RangeIs(1, 3, 3, "buffer_full")));
}

TEST(ObservationBuffer, OversizedObservationEvictsAllBeforeItAndItself) {
    Harness h(BufferLimits{100, 1000, 900});
    h.pushMany(3);
    h.push(0, 2000);
    EXPECT_THAT(h.queued(), IsEmpty());
    EXPECT_EQ(h.buffer->inspect().heldBytes, 0u);
    EXPECT_THAT(h.pending(), ElementsAre(RangeIs(4, 1, 4, "buffer_full")));
    // Byte limit alone: 6 observations of 166 bytes fit into 1000, a seventh does not.
    h.pushMany(7);
    EXPECT_EQ(h.queued(), seqs(6, 11));
    EXPECT_EQ(h.buffer->inspect().heldBytes, 6u * 166);
    EXPECT_THAT(h.pending(), ElementsAre(RangeIs(5, 1, 5, "buffer_full")));
}

TEST(ObservationBuffer, RangeCapLosesOldestButKeepsCounting) {
    // Ageing the held observation before every other push alternates the eviction reason, so
    // each eviction forms its own range: odd sequences "max_age", even ones "buffer_full".
    Harness h(BufferLimits{1, 1u << 30, 10});
    std::vector<DroppedRange> lost;
    h.buffer->setRangeLostObserver([&](const DroppedRange& r) { lost.push_back(r); });
    for (int i = 0; i < 102; ++i) {
        if (i % 2 == 1) h.time->wall += 11'000;
        h.push();
        if (i == 100) EXPECT_EQ(h.pending().size(), 100u);
    }
    EXPECT_EQ(h.queued(), seqs(102, 102));
    auto pending = h.pending();
    ASSERT_EQ(pending.size(), 100u);
    EXPECT_THAT(pending.front(), RangeIs(1, 2, 2, "buffer_full"));
    EXPECT_THAT(pending[1], RangeIs(1, 3, 3, "max_age"));
    EXPECT_THAT(pending.back(), RangeIs(1, 101, 101, "max_age"));
    EXPECT_THAT(lost, ElementsAre(RangeIs(1, 1, 1, "max_age")));
    const BufferStats stats = h.buffer->stats();
    EXPECT_EQ(stats.droppedObservations, 101u);
    EXPECT_EQ(stats.lostDropRanges, 1u);
    EXPECT_EQ(stats.unreportedDrops, 1u) << "the lost range's observation is never reported";
}

TEST(ObservationBuffer, TakeBatchWhenEmptyOnlyRangesAndInFlight) {
    Harness h(BufferLimits{2, 1u << 30, 900});
    EXPECT_FALSE(h.buffer->takeBatch());
    h.pushMany(3);
    Batch first = h.take();
    EXPECT_EQ(first.batchId, "batch_1");
    EXPECT_EQ(batchSeqs(first), seqs(2, 3));
    EXPECT_THAT(first.dropped, ElementsAre(RangeIs(1, 1, 1, "buffer_full")));
    EXPECT_THAT(h.pending(), IsEmpty());
    EXPECT_FALSE(h.buffer->takeBatch()) << "second batch while one is in flight";
    h.buffer->acknowledge(first, acceptAll(first), kStartWall);
    EXPECT_FALSE(h.buffer->takeBatch()) << "nothing left";
}

TEST(ObservationBuffer, BatchOfRangesOnly) {
    Harness h(BufferLimits{100, 1u << 30, 10});
    h.push(20'000);
    h.push(20'000);  // evicts both for age on this push
    EXPECT_THAT(h.queued(), IsEmpty());
    Batch batch = h.take();
    EXPECT_EQ(batch.batchId, "batch_1");
    EXPECT_THAT(batch.observations, IsEmpty());
    EXPECT_THAT(batch.dropped, ElementsAre(RangeIs(2, 1, 2, "max_age")));
    EXPECT_FALSE(h.buffer->takeBatch());
    h.buffer->acknowledge(batch, Acknowledgement{}, kStartWall);
    EXPECT_FALSE(h.buffer->takeBatch()) << "delivered ranges are not sent again";
    h.push();
    EXPECT_EQ(h.take().batchId, "batch_2");
}

TEST(ObservationBuffer, NothingIsEvictedInFlightFirstSettlementEvicts) {
    // Catches eviction while a batch is out (its settlement would then miss observations) and
    // a settlement that forgets to apply the limits; a split must not apply them.
    enum class Settle { Acknowledge, Fail, Reject, Split };
    struct Case {
        Settle how;
        std::vector<std::uint64_t> queuedAfter;
        std::size_t rangesAfter;
    };
    const Case cases[] = {
        {Settle::Acknowledge, seqs(21, 30), 1},  // 1..4 acknowledged, 5..20 evicted
        {Settle::Fail, seqs(21, 30), 1},         // 1..20 evicted
        {Settle::Reject, seqs(21, 30), 2},       // 1..4 rejected, 5..20 evicted
        {Settle::Split, seqs(1, 30), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.how));
        Harness h(BufferLimits{10, 1u << 30, 900}, 4);
        h.pushMany(4);
        Batch batch = h.take();
        h.pushMany(26);
        EXPECT_EQ(h.queued(), seqs(1, 30));
        EXPECT_EQ(h.buffer->stats().droppedObservations, 0u);
        switch (c.how) {
            case Settle::Acknowledge:
                h.buffer->acknowledge(batch, acceptAll(batch), kStartWall);
                break;
            case Settle::Fail:
                h.buffer->failBatch(batch, "x", true);
                break;
            case Settle::Reject:
                h.buffer->rejectBatch(batch, "server_rejected_batch");
                break;
            case Settle::Split:
                EXPECT_TRUE(h.buffer->splitBatch(batch));
                break;
        }
        EXPECT_EQ(h.queued(), c.queuedAfter);
        EXPECT_EQ(h.pending().size(), c.rangesAfter);
        if (c.rangesAfter > 0)
            EXPECT_THAT(h.pending().back(),
                        RangeIs(c.how == Settle::Fail ? 20 : 16, c.how == Settle::Fail ? 1 : 5, 20, "buffer_full"));
    }
}

TEST(ObservationBuffer, PartialAcknowledgementKeepsTheRestInOrder) {
    Harness h;
    h.pushMany(6);
    h.time->steady += 10;
    Batch batch = h.take();
    Acknowledgement ack;
    ack.accepted = {"o1", "o4"};
    ack.duplicates = {"o2"};
    ack.rejected = {{"o6", "bad payload", false}};
    h.buffer->acknowledge(batch, ack, 1234);
    EXPECT_EQ(h.queued(), (std::vector<std::uint64_t>{3, 5}));
    EXPECT_EQ(h.buffer->inspect().heldBytes, 2u * 166);
    BufferStats stats = h.buffer->stats();
    EXPECT_EQ(stats.droppedObservations, 0u) << "settled by the aggregator, not dropped";
    EXPECT_EQ(stats.sentBatches, 1u);
    EXPECT_EQ(stats.lastSuccessUnixMs, 1234);
    h.push();
    Batch next = h.take();  // no delay: no retryable rejection
    EXPECT_EQ(batchSeqs(next), (std::vector<std::uint64_t>{3, 5, 7}));
    // An empty acknowledgement settles nothing: everything is sent again.
    h.buffer->acknowledge(next, Acknowledgement{}, 1235);
    EXPECT_EQ(batchSeqs(h.take()), (std::vector<std::uint64_t>{3, 5, 7}));
}

TEST(ObservationBuffer, RetryableRejectionDelaysNextBatchBySecond) {
    Harness h;
    h.pushMany(3);
    Batch batch = h.take();
    Acknowledgement ack;
    ack.accepted = {"o1", "o3"};
    ack.rejected = {{"o2", "busy", true}};
    h.buffer->acknowledge(batch, ack, kStartWall);
    EXPECT_EQ(h.queued(), seqs(2, 2));
    EXPECT_EQ(h.buffer->inspect().retryDelayMs, 1000);
    h.time->steady += 999;
    EXPECT_FALSE(h.buffer->takeBatch());
    h.time->steady += 1;
    Batch again = h.take();
    EXPECT_EQ(batchSeqs(again), seqs(2, 2));
    EXPECT_EQ(h.time->randomCalls, 0) << "no jitter after an acknowledgement";
    // The next failure doubles from there: 2000 ms.
    h.time->randoms = {0.5};
    h.buffer->failBatch(again, "down", true);
    EXPECT_EQ(h.buffer->inspect().retryDelayMs, 2000);
    EXPECT_EQ(h.buffer->inspect().nextAttemptAt, h.time->steady + 2000);
}

TEST(ObservationBuffer, AcknowledgementResetsFailureState) {
    Harness h;
    h.pushMany(2);
    Batch batch = h.take();
    h.buffer->failBatch(batch, "cannot reach aggregator: timeout", true);
    EXPECT_EQ(h.buffer->stats().consecutiveFailures, 1u);
    EXPECT_EQ(h.buffer->stats().lastError, "cannot reach aggregator: timeout");
    h.time->steady += 1000;
    batch = h.take();
    h.buffer->rejectBatch(batch, "server_rejected_batch");
    h.push();
    batch = h.take();
    BufferStats mid = h.buffer->stats();
    EXPECT_EQ(mid.consecutiveFailures, 0u);
    EXPECT_EQ(mid.consecutiveRejected, 1u);
    h.buffer->acknowledge(batch, acceptAll(batch), 77);
    BufferStats after = h.buffer->stats();
    EXPECT_EQ(after.consecutiveFailures, 0u);
    EXPECT_EQ(after.consecutiveRejected, 0u);
    EXPECT_EQ(after.rejectedBatches, 1u);
    EXPECT_EQ(after.sentBatches, 1u);
    EXPECT_EQ(after.lastSuccessUnixMs, 77);
    EXPECT_EQ(after.lastError, "");
    EXPECT_EQ(after.pendingObservations, 0u);
}

// Catches a wrong doubling, floor, ceiling or jitter formula, and a jitter that ignores r.
TEST(ObservationBuffer, FailureBackOffSchedule) {
    struct Step {
        bool retryable;
        double r;
        std::int64_t delay;
        std::int64_t wait;  // nextAttemptAt - now
    };
    const Step steps[] = {
        {true, 0.5, 500, 500},           {true, 0.0, 1000, 800},    {true, 0.999999, 2000, 2399},
        {true, 0.25, 4000, 3600},        {true, 0.5, 8000, 8000},   {true, 0.5, 16000, 16000},
        {true, 0.5, 30000, 30000},       {true, 0.0, 30000, 24000}, {false, 0.0, 60000, 48000},
        {false, 0.999999, 60000, 71999}, {true, 0.5, 30000, 30000},
    };
    Harness h;
    h.push();
    int failures = 0;
    for (const auto& s : steps) {
        SCOPED_TRACE(failures);
        Batch batch = h.take();
        h.time->randoms = {s.r};
        h.buffer->failBatch(batch, "m" + std::to_string(failures), s.retryable);
        ++failures;
        BufferInspection view = h.buffer->inspect();
        EXPECT_EQ(view.retryDelayMs, s.delay);
        EXPECT_EQ(view.nextAttemptAt - h.time->steady, s.wait);
        EXPECT_EQ(h.buffer->stats().consecutiveFailures, static_cast<std::uint32_t>(failures));
        EXPECT_EQ(h.buffer->stats().lastError, "m" + std::to_string(failures - 1));
        // Not a millisecond early, and on time exactly at the deadline.
        h.time->steady += s.wait - 1;
        EXPECT_FALSE(h.buffer->takeBatch());
        h.time->steady += 1;
    }
    Batch batch = h.take();
    EXPECT_EQ(batchSeqs(batch), seqs(1, 1)) << "failures keep the observations";
    h.buffer->acknowledge(batch, acceptAll(batch), kStartWall);
    h.push();
    batch = h.take();
    h.buffer->failBatch(batch, "again", true);
    EXPECT_EQ(h.buffer->inspect().retryDelayMs, 500) << "an acknowledgement resets the back-off";
}

TEST(ObservationBuffer, FailurePutsRangesBackInFront) {
    Harness h(BufferLimits{2, 1u << 30, 10}, 2);
    h.push(20'000);
    h.pushMany(2);  // evicts 1 for age
    Batch batch = h.take();
    EXPECT_THAT(batch.dropped, ElementsAre(RangeIs(1, 1, 1, "max_age")));
    h.pushMany(3);  // in flight: no eviction yet
    h.buffer->failBatch(batch, "down", true);
    // Settlement evicts 2..4 and records them after the range that went back.
    EXPECT_THAT(h.pending(), ElementsAre(RangeIs(1, 1, 1, "max_age"), RangeIs(3, 2, 4, "buffer_full")));
    EXPECT_EQ(h.queued(), seqs(5, 6));
    EXPECT_EQ(h.buffer->stats().droppedObservations, 4u);
}

TEST(ObservationBuffer, SplitHalvesBatchSizeForGood) {
    Harness h(BufferLimits{1000, 1u << 30, 900}, 64);
    h.pushMany(100);
    Batch batch = h.take();
    ASSERT_EQ(batch.observations.size(), 64u);
    EXPECT_TRUE(h.buffer->splitBatch(batch));
    EXPECT_EQ(h.buffer->inspect().maxBatchSize, 32u);
    Batch half = h.take();  // no waiting after a split
    EXPECT_EQ(batchSeqs(half), seqs(1, 32));
    h.buffer->acknowledge(half, acceptAll(half), kStartWall);
    EXPECT_EQ(batchSeqs(h.take()), seqs(33, 64)) << "the smaller size stays";

    // A batch of five splits into twos; a batch of one is not split and stays in flight.
    Harness o(BufferLimits{1000, 1u << 30, 900}, 5);
    o.pushMany(5);
    Batch five = o.take();
    EXPECT_TRUE(o.buffer->splitBatch(five));
    Batch two = o.take();
    EXPECT_EQ(two.observations.size(), 2u);
    EXPECT_TRUE(o.buffer->splitBatch(two));
    Batch one = o.take();
    EXPECT_EQ(one.observations.size(), 1u);
    EXPECT_FALSE(o.buffer->splitBatch(one));
    EXPECT_TRUE(o.buffer->inspect().inFlight);
    EXPECT_FALSE(o.buffer->takeBatch());
    o.buffer->rejectBatch(one, "observation_too_large");
    EXPECT_THAT(o.pending(), ElementsAre(RangeIs(1, 1, 1, "observation_too_large")));
    EXPECT_EQ(batchSeqs(o.take()), seqs(2, 2));
}

TEST(ObservationBuffer, KeptObservationsComeBackWhole) {
    // Every settlement that keeps observations must hand them out again unchanged.
    enum class Keep { Fail, Split, Partial, Empty };
    for (Keep how : {Keep::Fail, Keep::Split, Keep::Partial, Keep::Empty}) {
        SCOPED_TRACE(static_cast<int>(how));
        Harness h(BufferLimits{1000, 1u << 30, 900}, 4);
        for (int i = 1; i <= 4; ++i) {
            Observation o;
            o.observedAt = kStartWall - i;
            o.api = "liveclient";
            o.endpoint = "/liveclientdata/e" + std::to_string(i);
            o.kind = ObservationKind::Notification;
            o.notificationType = "Update";
            o.status = 200 + i;
            o.payload = "{\"n\":" + std::to_string(i) + std::string(100, ' ') + "}";
            o.error = i == 2 ? "slow" : "";
            h.buffer->push(std::move(o));
        }
        const std::uint64_t held = h.buffer->inspect().heldBytes;
        Batch batch = h.take();
        const Batch sent = batch;
        switch (how) {
            case Keep::Fail:
                h.buffer->failBatch(batch, "x", true);
                break;
            case Keep::Split:
                ASSERT_TRUE(h.buffer->splitBatch(batch));
                break;
            case Keep::Partial: {
                Acknowledgement ack;
                ack.accepted = {"o2"};
                h.buffer->acknowledge(batch, ack, kStartWall);
                break;
            }
            case Keep::Empty:
                h.buffer->acknowledge(batch, Acknowledgement{}, kStartWall);
                break;
        }
        h.time->steady += 100'000;
        Batch again = h.take();
        std::vector<Observation> expected = sent.observations;
        if (how == Keep::Partial) expected.erase(expected.begin() + 1);
        if (how == Keep::Split) expected.resize(2);
        ASSERT_EQ(again.observations.size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const Observation& a = again.observations[i];
            const Observation& e = expected[i];
            EXPECT_EQ(a.observationId, e.observationId);
            EXPECT_EQ(a.sequence, e.sequence);
            EXPECT_EQ(a.observedAt, e.observedAt);
            EXPECT_EQ(a.api, e.api);
            EXPECT_EQ(a.endpoint, e.endpoint);
            EXPECT_EQ(a.kind, e.kind);
            EXPECT_EQ(a.notificationType, e.notificationType);
            EXPECT_EQ(a.status, e.status);
            EXPECT_EQ(a.payload, e.payload);
            EXPECT_EQ(a.error, e.error);
        }
        EXPECT_EQ(h.buffer->inspect().heldBytes,
                  how == Keep::Partial ? held - observationCharge(sent.observations[1]) : held);
    }
}

TEST(ObservationBuffer, SplitPutsRangesBack) {
    Harness h(BufferLimits{4, 1u << 30, 900}, 4);
    h.pushMany(6);
    Batch batch = h.take();
    EXPECT_THAT(batch.dropped, ElementsAre(RangeIs(2, 1, 2, "buffer_full")));
    EXPECT_TRUE(h.buffer->splitBatch(batch));
    Batch next = h.take();
    EXPECT_THAT(next.dropped, ElementsAre(RangeIs(2, 1, 2, "buffer_full")));
    EXPECT_EQ(batchSeqs(next), seqs(3, 4));
}

TEST(ObservationBuffer, RejectionDropsBatchWithoutMerging) {
    Harness h(BufferLimits{3, 1u << 30, 900}, 2);
    h.pushMany(4);  // 1 evicted as buffer_full
    Batch first = h.take();
    h.buffer->acknowledge(first, acceptAll(first), kStartWall);  // delivers range 1, settles 2, 3
    h.pushMany(3);                                               // 5, 6, 7: evicts 4
    EXPECT_THAT(h.pending(), ElementsAre(RangeIs(1, 4, 4, "buffer_full")));
    h.buffer->failBatch(h.take(), "x", true);  // puts back range 4 (the batch carried it)
    h.time->steady += 10'000;
    Batch batch = h.take();
    EXPECT_EQ(batchSeqs(batch), seqs(5, 6));
    h.buffer->rejectBatch(batch, "buffer_full");
    // Adjoins 4 with the same reason, yet stays its own range; 4, which the rejected batch
    // carried, waits to go alone.
    EXPECT_THAT(h.pending(), ElementsAre(RangeIs(2, 5, 6, "buffer_full")));
    EXPECT_THAT(h.buffer->inspect().refusedDropped, ElementsAre(RangeIs(1, 4, 4, "buffer_full")));
    EXPECT_EQ(h.queued(), seqs(7, 7));
    BufferStats stats = h.buffer->stats();
    EXPECT_EQ(stats.droppedObservations, 4u);
    EXPECT_EQ(stats.rejectedBatches, 1u);
    EXPECT_EQ(stats.consecutiveRejected, 1u);
    EXPECT_EQ(stats.consecutiveFailures, 0u);
    EXPECT_EQ(stats.lastError, "server rejected a batch (buffer_full)");
    EXPECT_EQ(h.buffer->inspect().heldBytes, 166u);
    EXPECT_TRUE(h.buffer->takeBatch()) << "no back-off after a rejection";
}

TEST(ObservationBuffer, RejectionKeepsTheRangesTheBatchCarried) {
    // A rejected batch's own drop reports were never delivered; losing them would hide a loss.
    // They go again alone after the back-off, not in the next observation batch (they may be
    // what the aggregator objected to).
    Harness h(BufferLimits{2, 1u << 30, 900}, 10);
    h.pushMany(4);  // evicts 1, 2
    Batch batch = h.take();
    EXPECT_THAT(batch.dropped, ElementsAre(RangeIs(2, 1, 2, "buffer_full")));
    h.time->randoms = {0.0};  // the drop report waits 80% of 500 ms
    h.buffer->rejectBatch(batch, "server_rejected_batch");
    EXPECT_THAT(h.pending(), ElementsAre(RangeIs(2, 3, 4, "server_rejected_batch")));
    EXPECT_THAT(h.buffer->inspect().refusedDropped, ElementsAre(RangeIs(2, 1, 2, "buffer_full")));
    Batch next = h.take();
    EXPECT_THAT(next.dropped, ElementsAre(RangeIs(2, 3, 4, "server_rejected_batch")));
    h.buffer->acknowledge(next, acceptAll(next), kStartWall);
    h.time->steady += 399;
    EXPECT_FALSE(h.buffer->takeBatch()) << "the drop report went before its back-off";
    h.time->steady += 1;
    Batch report = h.take();
    EXPECT_THAT(report.dropped, ElementsAre(RangeIs(2, 1, 2, "buffer_full")));
    EXPECT_THAT(report.observations, IsEmpty());
}

TEST(ObservationBuffer, DropReportsRefusedTwiceAreGivenUpWithoutHarmingLaterBatches) {
    // What happens to a drop report that went alone after its batch was rejected. Catches a
    // report resent for ever while the aggregator keeps refusing it, a refused report riding
    // along in (and so sinking) later observation batches, a report forgotten after a mere
    // failure, and a give-up that is not counted or not shown.
    struct Case {
        const char* name;
        int outcome;  // 0 acknowledged, 1 failed (retryable), 2 rejected again
        std::uint64_t abandoned;
        const char* lastError;
        bool reportAgain;  // the same report is handed out again after the back-off
    };
    const Case cases[] = {
        {"delivered", 0, 0, "", false},
        {"failed: kept for the next attempt", 1, 0, "aggregator returned HTTP 503", true},
        {"refused again: given up", 2, 1, "aggregator refused a drop report", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h(BufferLimits{2, 1u << 30, 900}, 10);
        h.pushMany(4);  // evicts 1, 2
        h.buffer->rejectBatch(h.take(), "server_rejected_batch");
        Batch next = h.take();  // the rejected observations' own range, at once
        h.buffer->acknowledge(next, acceptAll(next), kStartWall);
        h.time->steady += 10'000;
        Batch report = h.take();
        ASSERT_THAT(report.dropped, ElementsAre(RangeIs(2, 1, 2, "buffer_full")));
        ASSERT_THAT(report.observations, IsEmpty());
        if (c.outcome == 0) h.buffer->acknowledge(report, acceptAll(report), kStartWall);
        if (c.outcome == 1) h.buffer->failBatch(report, "aggregator returned HTTP 503", true);
        if (c.outcome == 2) h.buffer->rejectBatch(report, "server_rejected_batch");
        const BufferStats stats = h.buffer->stats();
        EXPECT_EQ(stats.abandonedDropRanges, c.abandoned);
        EXPECT_EQ(stats.unreportedDrops, 2 * c.abandoned) << "the given-up range held two observations";
        EXPECT_EQ(stats.lastError, c.lastError);
        EXPECT_EQ(stats.droppedObservations, 4u) << "a given-up report changes no observation count";

        // Later observation batches go at once, with their own observations and nothing of the
        // report, whatever became of it.
        h.pushMany(1);
        Batch after = h.take();
        EXPECT_THAT(after.dropped, IsEmpty());
        EXPECT_EQ(batchSeqs(after), seqs(5, 5));
        h.buffer->rejectBatch(after, "server_rejected_batch");
        EXPECT_EQ(h.buffer->stats().abandonedDropRanges, c.abandoned) << "an observation batch counted as a report";
        Batch rejectedRange = h.take();
        EXPECT_THAT(rejectedRange.dropped, ElementsAre(RangeIs(1, 5, 5, "server_rejected_batch")));
        h.buffer->acknowledge(rejectedRange, acceptAll(rejectedRange), kStartWall);
        // A report that only failed comes back after its own back-off; the others are settled.
        h.time->steady += 100'000;
        auto again = h.buffer->takeBatch();
        EXPECT_EQ(again.has_value(), c.reportAgain);
        if (again) EXPECT_THAT(again->dropped, ElementsAre(RangeIs(2, 1, 2, "buffer_full")));
    }
}

TEST(ObservationBuffer, RejectionRangesSkipAcknowledgedSequences) {
    // After a partial acknowledgement the queue has gaps; a range spanning them would report
    // an accepted observation as dropped.
    Harness h;
    h.pushMany(6);
    Batch batch = h.take();
    Acknowledgement ack;
    ack.accepted = {"o2", "o5"};
    h.buffer->acknowledge(batch, ack, kStartWall);
    batch = h.take();
    EXPECT_EQ(batchSeqs(batch), (std::vector<std::uint64_t>{1, 3, 4, 6}));
    h.buffer->rejectBatch(batch, "server_rejected_batch");
    EXPECT_THAT(h.pending(),
                ElementsAre(RangeIs(1, 1, 1, "server_rejected_batch"), RangeIs(2, 3, 4, "server_rejected_batch"),
                            RangeIs(1, 6, 6, "server_rejected_batch")));
    EXPECT_EQ(h.buffer->stats().droppedObservations, 4u);
}

TEST(ObservationBuffer, SettlingAnythingButTheBatchInFlightChangesNothing) {
    // A second settlement of one batch would put its ranges back twice or drop fresh
    // observations that merely share its position.
    Harness h(BufferLimits{2, 1u << 30, 900}, 2);
    h.pushMany(3);
    Batch batch = h.take();
    h.buffer->failBatch(batch, "down", true);
    h.time->steady += 10'000;
    Batch current = h.take();
    EXPECT_EQ(current.batchId, "batch_2");
    const BufferInspection before = h.buffer->inspect();
    const BufferStats statsBefore = h.buffer->stats();
    h.buffer->failBatch(batch, "stale", false);
    h.buffer->rejectBatch(batch, "server_rejected_batch");
    h.buffer->acknowledge(batch, acceptAll(batch), 1);
    EXPECT_FALSE(h.buffer->splitBatch(batch));
    Batch altered = current;
    altered.observations.pop_back();
    h.buffer->failBatch(altered, "altered", true);
    const BufferInspection after = h.buffer->inspect();
    EXPECT_EQ(after.queuedSequences, before.queuedSequences);
    EXPECT_EQ(after.pendingDropped.size(), before.pendingDropped.size());
    EXPECT_TRUE(after.inFlight);
    EXPECT_EQ(h.buffer->stats().lastError, statsBefore.lastError);
    EXPECT_EQ(h.buffer->stats().sentBatches, 0u);
    h.buffer->acknowledge(current, acceptAll(current), 1);
    h.buffer->acknowledge(current, acceptAll(current), 2);  // twice
    EXPECT_EQ(h.buffer->stats().sentBatches, 1u);
    EXPECT_EQ(h.buffer->stats().lastSuccessUnixMs, 1);
}

TEST(ObservationBuffer, ProducersAndUploaderAccountForEverything) {
    // Two producers and one uploader: every sequence is acknowledged exactly once.
    Harness h(BufferLimits{1'000'000, 1ull << 40, 900}, 16);
    constexpr int kPerProducer = 5000;
    std::atomic<int> producersDone{0};
    auto produce = [&] {
        for (int i = 0; i < kPerProducer; ++i) {
            Observation o;
            o.observedAt = kStartWall;
            o.payload = "1";
            h.buffer->push(std::move(o));
        }
        ++producersDone;
    };
    std::vector<int> seen(2 * kPerProducer + 1, 0);
    std::thread a(produce), b(produce);
    while (true) {
        auto batch = h.buffer->takeBatch();
        if (!batch) {
            if (producersDone == 2 && h.buffer->pendingCount() == 0) break;
            std::this_thread::yield();
            continue;
        }
        for (const auto& o : batch->observations) ++seen.at(o.sequence);
        h.buffer->acknowledge(*batch, acceptAll(*batch), kStartWall);
    }
    a.join();
    b.join();
    for (std::size_t s = 1; s < seen.size(); ++s) ASSERT_EQ(seen[s], 1) << s;
    EXPECT_EQ(h.buffer->inspect().heldBytes, 0u);
    EXPECT_EQ(h.buffer->stats().droppedObservations, 0u);
}

}  // namespace
}  // namespace vornet
