#include "collector/buffer.h"

#include <algorithm>
#include <string_view>
#include <unordered_set>
#include <utility>

namespace vornet {

namespace {

constexpr const char* kReasonMaxAge = "max_age";
constexpr const char* kReasonBufferFull = "buffer_full";

constexpr std::int64_t kRetryableRejectionDelayMs = 1000;
constexpr std::int64_t kMinRetryDelayMs = 500;
constexpr std::int64_t kMaxRetryDelayMs = 30000;
constexpr std::int64_t kFinalFailureDelayMs = 60000;

}  // namespace

std::uint64_t observationCharge(const Observation& observation) {
    return 160 + observation.endpoint.size() + observation.payload.size() + observation.error.size();
}

ObservationBuffer::ObservationBuffer(BufferLimits limits, std::uint64_t maxBatchSize, Clock wallClock,
                                     Clock steadyClock, Random random)
    : limits_(limits),
      // A size of 0 would hand out empty batches for ever while observations wait.
      maxBatchSize_(std::max<std::uint64_t>(maxBatchSize, 1)),
      wallClock_(std::move(wallClock)),
      steadyClock_(std::move(steadyClock)),
      random_(std::move(random)) {}

std::uint64_t ObservationBuffer::push(Observation observation) {
    std::lock_guard lock(mutex_);
    const std::uint64_t sequence = nextSequence_++;
    observation.sequence = sequence;
    observation.observationId.assign(1, 'o');
    observation.observationId += std::to_string(sequence);
    const std::uint64_t charge = observationCharge(observation);
    heldBytes_ += charge;
    queue_.push_back(Entry{std::move(observation), charge});
    applyLimitsLocked();
    if (pushed_) pushed_();
    return sequence;
}

void ObservationBuffer::recordEvictionLocked(std::uint64_t sequence, const char* reason) {
    if (pendingDropped_.size() > resentRanges_) {
        DroppedRange& last = pendingDropped_.back();
        if (last.toSequence + 1 == sequence && last.reason == reason) {
            ++last.count;
            last.toSequence = sequence;
            return;
        }
    }
    pendingDropped_.push_back(DroppedRange{1, sequence, sequence, reason});
    if (pendingDropped_.size() > kMaxPendingRanges) {
        ++stats_.lostDropRanges;
        stats_.unreportedDrops += pendingDropped_.front().count;
        if (rangeLost_) rangeLost_(pendingDropped_.front());
        pendingDropped_.erase(pendingDropped_.begin());
        if (resentRanges_ > 0) --resentRanges_;
    }
}

void ObservationBuffer::applyLimitsLocked() {
    // The batch in flight holds copies of the queue front; evicting now would make its
    // settlement miss observations that the aggregator may already have.
    if (inFlight_) return;
    if (queue_.empty()) return;
    const std::int64_t cutoff = wallClock_() - static_cast<std::int64_t>(limits_.maxAgeSeconds) * 1000;
    while (!queue_.empty()) {
        const Entry& front = queue_.front();
        const bool tooOld = front.observation.observedAt < cutoff;
        if (!tooOld && queue_.size() <= limits_.maxObservations && heldBytes_ <= limits_.maxBytes) break;
        recordEvictionLocked(front.observation.sequence, tooOld ? kReasonMaxAge : kReasonBufferFull);
        heldBytes_ -= front.charge;
        ++stats_.droppedObservations;
        queue_.pop_front();
    }
}

std::optional<Batch> ObservationBuffer::takeBatch() {
    std::lock_guard lock(mutex_);
    if (inFlight_) return std::nullopt;
    const std::int64_t now = steadyClock_();
    const bool dropReportDue = !refusedDropped_.empty() && now >= dropReportAt_;
    if (!dropReportDue && queue_.empty() && pendingDropped_.empty()) return std::nullopt;
    if (now < nextAttemptAt_) return std::nullopt;
    ++batchCounter_;
    Batch batch;
    batch.batchId = "batch_" + std::to_string(batchCounter_);
    if (dropReportDue) {
        batch.dropped.swap(refusedDropped_);
        inFlight_ = true;
        inFlightIsDropReport_ = true;
        inFlightBatchId_ = batch.batchId;
        lentCount_ = 0;
        return batch;
    }
    inFlightIsDropReport_ = false;
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(queue_.size(), maxBatchSize_));
    // Moved, not copied: most batches are acknowledged whole, and the rare settlement that keeps
    // observations copies them back from the batch.
    batch.observations.reserve(count);
    for (std::size_t i = 0; i < count; ++i) batch.observations.push_back(std::move(queue_[i].observation));
    batch.dropped.swap(pendingDropped_);
    resentRanges_ = 0;
    inFlight_ = true;
    inFlightBatchId_ = batch.batchId;
    lentCount_ = count;
    return batch;
}

bool ObservationBuffer::isInFlightLocked(const Batch& batch) const {
    // A settlement of anything but the batch handed out last (a stale copy, a second
    // settlement of the same batch, an altered batch) would put its ranges back twice or
    // lose the observations it holds, so it changes nothing.
    if (!inFlight_ || batch.batchId != inFlightBatchId_ || batch.observations.size() != lentCount_) return false;
    for (std::size_t i = 0; i < lentCount_; ++i) {
        if (queue_[i].observation.sequence != batch.observations[i].sequence) return false;
    }
    return true;
}

void ObservationBuffer::restoreRangesLocked(const Batch& batch) {
    if (inFlightIsDropReport_) {
        refusedDropped_.insert(refusedDropped_.begin(), batch.dropped.begin(), batch.dropped.end());
        return;
    }
    pendingDropped_.insert(pendingDropped_.begin(), batch.dropped.begin(), batch.dropped.end());
    resentRanges_ += batch.dropped.size();
}

void ObservationBuffer::restoreObservationsLocked(const Batch& batch) {
    for (std::size_t i = 0; i < lentCount_; ++i) queue_[i].observation = batch.observations[i];
}

void ObservationBuffer::acknowledge(const Batch& batch, const Acknowledgement& ack, std::int64_t nowUnixMs) {
    std::lock_guard lock(mutex_);
    if (!isInFlightLocked(batch)) return;

    std::unordered_set<std::string_view> finallyRejected;
    bool retryableRejection = false;
    for (const RejectedEntry& entry : ack.rejected) {
        if (entry.retryable)
            retryableRejection = true;
        else
            finallyRejected.insert(entry.observationId);
    }
    auto settled = [&](const std::string& id) {
        return ack.accepted.count(id) != 0 || ack.duplicates.count(id) != 0 ||
               (!finallyRejected.empty() && finallyRejected.count(id) != 0);
    };

    // Kept observations are copied back towards the end of the lent prefix, keeping their
    // order, so that dropping the prefix's head leaves them at the front.
    std::size_t write = lentCount_;
    for (std::size_t i = lentCount_; i-- > 0;) {
        const Observation& sent = batch.observations[i];
        if (settled(sent.observationId)) {
            heldBytes_ -= queue_[i].charge;
        } else {
            --write;
            queue_[write].charge = queue_[i].charge;
            queue_[write].observation = sent;
        }
    }
    queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(write));

    inFlight_ = false;
    ++stats_.sentBatches;
    stats_.consecutiveFailures = 0;
    stats_.consecutiveRejected = 0;
    stats_.lastSuccessUnixMs = nowUnixMs;
    stats_.lastError.clear();
    retryDelayMs_ = retryableRejection ? kRetryableRejectionDelayMs : 0;
    nextAttemptAt_ = steadyClock_() + retryDelayMs_;
    applyLimitsLocked();
}

void ObservationBuffer::rejectBatch(const Batch& batch, const std::string& reason) {
    std::lock_guard lock(mutex_);
    if (!isInFlightLocked(batch)) return;

    // Earlier partial acknowledgements can leave gaps between queued sequences; one range per
    // run of consecutive sequences keeps every range from claiming an observation that the
    // aggregator has already accepted.
    std::vector<DroppedRange> rejected;
    for (std::size_t i = 0; i < lentCount_; ++i) {
        const std::uint64_t sequence = queue_[i].observation.sequence;
        heldBytes_ -= queue_[i].charge;
        if (!rejected.empty() && rejected.back().toSequence + 1 == sequence) {
            ++rejected.back().count;
            rejected.back().toSequence = sequence;
        } else {
            rejected.push_back(DroppedRange{1, sequence, sequence, reason});
        }
    }
    queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(lentCount_));
    stats_.droppedObservations += lentCount_;

    if (inFlightIsDropReport_) {
        // Refused alone and for the second time: the reports themselves are what the
        // aggregator objects to. Sending them again would only be refused for ever.
        stats_.abandonedDropRanges += batch.dropped.size();
        for (const DroppedRange& range : batch.dropped) stats_.unreportedDrops += range.count;
        stats_.lastError = "aggregator refused a drop report";
    } else {
        // The ranges this batch carried were never delivered, and may be what the aggregator
        // objected to: they go again alone after the back-off, so that no loss goes unreported
        // and later observation batches do not carry them.
        if (!batch.dropped.empty()) {
            refusedDropped_.insert(refusedDropped_.end(), batch.dropped.begin(), batch.dropped.end());
            const double factor = random_() * 0.4 + 0.8;
            dropReportDelayMs_ = kMinRetryDelayMs;
            dropReportAt_ = steadyClock_() + static_cast<std::int64_t>(factor * static_cast<double>(kMinRetryDelayMs));
        }
        stats_.lastError = "server rejected a batch (" + reason + ")";
    }
    pendingDropped_.insert(pendingDropped_.end(), std::make_move_iterator(rejected.begin()),
                           std::make_move_iterator(rejected.end()));

    inFlight_ = false;
    stats_.consecutiveFailures = 0;
    ++stats_.rejectedBatches;
    ++stats_.consecutiveRejected;
    retryDelayMs_ = 0;
    nextAttemptAt_ = steadyClock_();
    applyLimitsLocked();
}

void ObservationBuffer::failBatch(const Batch& batch, const std::string& message, bool retryable) {
    std::lock_guard lock(mutex_);
    if (!isInFlightLocked(batch)) return;

    restoreRangesLocked(batch);
    restoreObservationsLocked(batch);
    inFlight_ = false;
    ++stats_.consecutiveFailures;
    stats_.lastError = message;
    const double factor = random_() * 0.4 + 0.8;
    if (inFlightIsDropReport_) {
        // A drop report backs off on its own schedule: observation batches are not held up by it.
        dropReportDelayMs_ =
            retryable ? std::clamp(2 * dropReportDelayMs_, kMinRetryDelayMs, kMaxRetryDelayMs) : kFinalFailureDelayMs;
        dropReportAt_ = steadyClock_() + static_cast<std::int64_t>(factor * static_cast<double>(dropReportDelayMs_));
    } else {
        retryDelayMs_ =
            retryable ? std::clamp(2 * retryDelayMs_, kMinRetryDelayMs, kMaxRetryDelayMs) : kFinalFailureDelayMs;
        nextAttemptAt_ = steadyClock_() + static_cast<std::int64_t>(factor * static_cast<double>(retryDelayMs_));
    }
    applyLimitsLocked();
}

bool ObservationBuffer::splitBatch(const Batch& batch) {
    std::lock_guard lock(mutex_);
    if (!isInFlightLocked(batch) || batch.observations.size() <= 1) return false;

    restoreRangesLocked(batch);
    restoreObservationsLocked(batch);
    inFlight_ = false;
    maxBatchSize_ = batch.observations.size() / 2;
    nextAttemptAt_ = steadyClock_();
    return true;
}

bool ObservationBuffer::idle() const {
    std::lock_guard lock(mutex_);
    return queue_.empty() && pendingDropped_.empty() && refusedDropped_.empty() && !inFlight_;
}

void ObservationBuffer::setPushObserver(std::function<void()> observer) {
    std::lock_guard lock(mutex_);
    pushed_ = std::move(observer);
}

std::uint64_t ObservationBuffer::pendingCount() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

BufferStats ObservationBuffer::stats() const {
    std::lock_guard lock(mutex_);
    BufferStats copy = stats_;
    copy.pendingObservations = queue_.size();
    return copy;
}

BufferInspection ObservationBuffer::inspect() const {
    std::lock_guard lock(mutex_);
    BufferInspection view;
    view.heldBytes = heldBytes_;
    view.queuedSequences.reserve(queue_.size());
    for (const Entry& entry : queue_) view.queuedSequences.push_back(entry.observation.sequence);
    view.pendingDropped = pendingDropped_;
    view.inFlight = inFlight_;
    view.maxBatchSize = maxBatchSize_;
    view.retryDelayMs = retryDelayMs_;
    view.nextAttemptAt = nextAttemptAt_;
    view.refusedDropped = refusedDropped_;
    view.dropReportAt = dropReportAt_;
    return view;
}

void ObservationBuffer::setRangeLostObserver(std::function<void(const DroppedRange&)> observer) {
    std::lock_guard lock(mutex_);
    rangeLost_ = std::move(observer);
}

}  // namespace vornet
