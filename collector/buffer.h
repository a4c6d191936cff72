// The bounded buffer of observations waiting for the aggregator, with eviction, drop ranges,
// one batch in flight at a time, and the retry schedule.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "collector/observation.h"

namespace vornet {

struct BufferLimits {
    std::uint64_t maxObservations = 10000;
    std::uint64_t maxBytes = 33554432;
    std::int32_t maxAgeSeconds = 900;
};

// Observations the buffer had to drop, reported to the aggregator in a later batch.
struct DroppedRange {
    std::uint64_t count = 0;
    std::uint64_t fromSequence = 0;
    std::uint64_t toSequence = 0;  // inclusive
    std::string reason;            // "max_age", "buffer_full", "server_rejected_batch", "observation_too_large"
};

// One batch, owned by the upload thread while it is in flight.
struct Batch {
    std::string batchId;
    std::vector<Observation> observations;
    std::vector<DroppedRange> dropped;
};

struct RejectedEntry {
    std::string observationId;
    std::string reason;
    bool retryable = false;
};

// The aggregator's running counts for this collector.
struct CollectorTotals {
    std::string runId;
    std::uint64_t events = 0;
    std::uint64_t games = 0;
};

// A parsed acknowledgement of one batch.
struct Acknowledgement {
    std::set<std::string> accepted;
    std::set<std::string> duplicates;
    std::vector<RejectedEntry> rejected;
    std::optional<CollectorTotals> totals;
};

// What tests and diagnostics may see of the buffer's inner state (a copy, taken under the lock).
struct BufferInspection {
    std::uint64_t heldBytes = 0;
    std::vector<std::uint64_t> queuedSequences;  // front first
    std::vector<DroppedRange> pendingDropped;    // oldest first
    bool inFlight = false;
    std::uint64_t maxBatchSize = 0;
    std::int64_t retryDelayMs = 0;
    std::int64_t nextAttemptAt = 0;            // steady-clock milliseconds
    std::vector<DroppedRange> refusedDropped;  // put back after a rejection; they go alone
    std::int64_t dropReportAt = 0;             // steady-clock milliseconds
};

struct BufferStats {
    std::uint64_t pendingObservations = 0;
    std::uint64_t droppedObservations = 0;
    std::uint64_t sentBatches = 0;
    std::uint32_t consecutiveFailures = 0;
    std::uint64_t rejectedBatches = 0;
    std::uint32_t consecutiveRejected = 0;
    std::optional<std::int64_t> lastSuccessUnixMs;
    std::string lastError;
    std::uint64_t abandonedDropRanges = 0;  // drop reports given up after a second refusal
    std::uint64_t lostDropRanges = 0;       // ranges pushed out of the pending list by its cap
    // Dropped observations whose range will never reach the aggregator (given up or pushed out):
    // droppedObservations minus this is what the aggregator has been or will be told of.
    std::uint64_t unreportedDrops = 0;
};

class ObservationBuffer {
public:
    using Clock = std::function<std::int64_t()>;
    using Random = std::function<double()>;  // uniform in [0, 1)

    ObservationBuffer(BufferLimits limits, std::uint64_t maxBatchSize, Clock wallClock, Clock steadyClock,
                      Random random);
    ObservationBuffer(const ObservationBuffer&) = delete;
    ObservationBuffer& operator=(const ObservationBuffer&) = delete;

    // Numbers the observation, queues it and applies the limits; returns its sequence.
    std::uint64_t push(Observation observation);
    // The next batch, or nothing while one is in flight, nothing waits, or the back-off runs.
    // Settle it with the batch as handed out: a settlement that keeps observations (a failure,
    // a split, a partial acknowledgement) takes them back from it.
    std::optional<Batch> takeBatch();
    // Settles the batch by the aggregator's acknowledgement.
    void acknowledge(const Batch& batch, const Acknowledgement& ack, std::int64_t nowUnixMs);
    // The aggregator refused the batch as a whole: its observations are dropped with `reason`.
    // The drop reports it carried go again later in a batch of their own, after the back-off,
    // so that a report the aggregator objects to cannot take observations down with it; a
    // batch of such reports refused once more is given up (counted in abandonedDropRanges).
    void rejectBatch(const Batch& batch, const std::string& reason);
    // The upload did not succeed; the batch is sent again after the back-off (a drop report
    // on a back-off of its own, so that observation batches go on meanwhile).
    void failBatch(const Batch& batch, const std::string& message, bool retryable);
    // Halves the batch size; false (nothing changed) for a batch of at most one observation.
    bool splitBatch(const Batch& batch);

    std::uint64_t pendingCount() const;
    // True when nothing is queued, no drop report is owed and no batch is in flight: only a
    // push can give the uploader work.
    bool idle() const;
    // Called after each push, under the buffer's lock: it must not call back into the buffer.
    void setPushObserver(std::function<void()> observer);
    BufferStats stats() const;

    BufferInspection inspect() const;
    // Called with each range that the cap on unreported ranges pushes out, so it is never
    // reported. Runs under the buffer's lock: it must not call back into the buffer.
    void setRangeLostObserver(std::function<void(const DroppedRange&)> observer);

    // Unreported ranges kept at most; the oldest beyond it is lost (its count still counts).
    static constexpr std::size_t kMaxPendingRanges = 100;

private:
    void applyLimitsLocked();
    void recordEvictionLocked(std::uint64_t sequence, const char* reason);
    bool isInFlightLocked(const Batch& batch) const;
    void restoreRangesLocked(const Batch& batch);
    void restoreObservationsLocked(const Batch& batch);

    mutable std::mutex mutex_;
    BufferLimits limits_;
    std::uint64_t maxBatchSize_;
    Clock wallClock_;
    Clock steadyClock_;
    Random random_;
    // The observations of the batch in flight are moved out into the batch and their entries
    // keep only sequence, time and charge; a settlement that keeps them copies them back.
    struct Entry {
        Observation observation;
        std::uint64_t charge = 0;
    };
    std::deque<Entry> queue_;
    std::uint64_t heldBytes_ = 0;
    std::uint64_t nextSequence_ = 1;
    std::uint64_t batchCounter_ = 0;
    std::vector<DroppedRange> pendingDropped_;
    // Leading ranges of pendingDropped_ that were sent once already: the aggregator may hold
    // them, so they never grow (a grown copy would report the same sequences twice).
    std::size_t resentRanges_ = 0;
    bool inFlight_ = false;
    std::string inFlightBatchId_;
    std::size_t lentCount_ = 0;  // observations of the batch in flight, at the queue front
    std::int64_t retryDelayMs_ = 0;
    std::int64_t nextAttemptAt_ = 0;
    // Drop reports from a rejected batch, sent alone once dropReportAt_ has come.
    std::vector<DroppedRange> refusedDropped_;
    std::int64_t dropReportAt_ = 0;
    std::int64_t dropReportDelayMs_ = 0;
    std::function<void()> pushed_;
    bool inFlightIsDropReport_ = false;
    BufferStats stats_;
    std::function<void(const DroppedRange&)> rangeLost_;
};

// Charge of one observation in bytes: 160 + endpoint + payload + error.
std::uint64_t observationCharge(const Observation& observation);

}  // namespace vornet
