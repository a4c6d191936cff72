// Random runs of pushes, batches and settlements against the buffer, checking after every step
// that nothing is lost or counted twice. A failure names the seed and the step, which replay
// exactly: PARLOW_BUFFER_MODEL_SEED=<seed> runs that one seed and prints its steps.
// PARLOW_BUFFER_MODEL_RUNS sets the number of runs (default 10000).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "collector/buffer.h"
#include "core/text.h"

namespace vornet {
namespace {

constexpr std::int64_t kStartWall = 1'700'000'000'000;
constexpr std::int64_t kStartSteady = 1'000'000;

// What the generator reached over all runs, so that a change that starves a path shows up.
struct Reached {
    std::uint64_t ageEvictions = 0;
    std::uint64_t fullEvictions = 0;
    std::uint64_t lostRanges = 0;
    std::uint64_t acknowledgements = 0;
    std::uint64_t partialAcknowledgements = 0;
    std::uint64_t failures = 0;
    std::uint64_t rejections = 0;
    std::uint64_t splits = 0;
    std::uint64_t refusedSplits = 0;
    std::uint64_t backOffRefusals = 0;
    std::uint64_t pushesInFlight = 0;
    std::uint64_t dropReports = 0;
    std::uint64_t abandonedReports = 0;
};

struct Failure {
    std::uint64_t seed = 0;
    std::size_t step = 0;
    std::string message;
    std::vector<std::string> trace;
};

class ModelRun {
public:
    ModelRun(std::uint64_t seed, Reached& reached, bool keepTrace)
        : seed_(seed), rng_(seed), reached_(reached), keepTrace_(keepTrace) {
        limits_.maxObservations = 1 + below(24);
        limits_.maxBytes = 160 + below(3000);
        limits_.maxAgeSeconds = static_cast<std::int32_t>(1 + below(20));
        maxBatch_ = 1 + below(16);
        // A few long runs rarely take a batch, so that unreported ranges pile up past the cap.
        longRun_ = below(50) == 0;
        steps_ = longRun_ ? 1000 + below(1000) : 20 + below(250);
        buffer_ = std::make_unique<ObservationBuffer>(
            limits_, maxBatch_, [this] { return wall_; }, [this] { return steady_; },
            [this] {
                ++randomCalls_;
                return nextRandom_;
            });
        buffer_->setRangeLostObserver([this](const DroppedRange& r) {
            ++lostRanges_;
            unreported_ += r.count;
            lostThisStep_.push_back(r);
            settleRanges({r}, "ranges lost to the cap");
        });
        charge_.push_back(0);  // sequences start at 1
        observedAt_.push_back(0);
    }

    std::optional<Failure> run() {
        for (std::size_t step = 1; step <= steps_; ++step) {
            before_ = buffer_->inspect();
            droppedBefore_ = buffer_->stats().droppedObservations;
            error_.clear();
            lostThisStep_.clear();
            std::string what = act();
            if (keepTrace_) trace_.push_back(std::to_string(step) + ": " + what);
            if (error_.empty()) check();
            if (!error_.empty()) {
                if (!keepTrace_) trace_.push_back(std::to_string(step) + ": " + what);
                return Failure{seed_, step, error_, trace_};
            }
        }
        return std::nullopt;
    }

private:
    std::uint64_t below(std::uint64_t n) { return rng_() % n; }
    bool chance(int percent) { return below(100) < static_cast<std::uint64_t>(percent); }

    void fail(const std::string& message) {
        if (error_.empty()) error_ = message;
    }

    std::string act() {
        const bool flying = inFlight_.has_value();
        const auto roll = below(100);
        if (longRun_) {
            if (roll < 60) return push();
            if (roll < 90) return advance();
            if (roll < 92 || !flying) return roll < 92 ? take() : push();
            return settle();
        }
        if (roll < 40) return push();
        if (roll < 55) return advance();
        if (roll < 75 || !flying) return take();
        if (roll < 78 && !settledBatches_.empty()) return settleStale();
        return settle();
    }

    std::string push() {
        Observation o;
        const std::int64_t maxAgeMs = static_cast<std::int64_t>(limits_.maxAgeSeconds) * 1000;
        o.observedAt = chance(70) ? wall_ : wall_ - static_cast<std::int64_t>(below(maxAgeMs * 3 / 2 + 2));
        o.api = chance(50) ? "lcu" : "liveclient";
        o.endpoint = std::string(below(40), 'e');
        o.payload = std::string(1 + below(chance(5) ? 4000 : 300), '7');
        if (chance(10)) o.error = std::string(1 + below(50), 'x');
        o.notificationType = chance(30) ? "Update" : "";
        const std::uint64_t charge = 160 + o.endpoint.size() + o.payload.size() + o.error.size();
        const std::int64_t at = o.observedAt;
        const std::uint64_t sequence = buffer_->push(std::move(o));
        if (sequence != charge_.size()) fail("push returned " + std::to_string(sequence));
        charge_.push_back(charge);
        observedAt_.push_back(at);
        settled_.push_back(0);
        if (inFlight_) ++reached_.pushesInFlight;
        limitsApply_ = !inFlight_;
        return "push charge " + std::to_string(charge) + " age " + std::to_string(wall_ - at);
    }

    std::string advance() {
        const std::int64_t wallStep =
            chance(10) ? limits_.maxAgeSeconds * 1000 : static_cast<std::int64_t>(below(3000));
        const std::int64_t steadyStep = chance(5) ? 70'000 : static_cast<std::int64_t>(below(2500));
        wall_ += wallStep;
        steady_ += steadyStep;
        limitsApply_ = false;
        return "advance wall " + std::to_string(wallStep) + " steady " + std::to_string(steadyStep);
    }

    std::string take() {
        limitsApply_ = false;
        auto batch = buffer_->takeBatch();
        // Drop reports put back by a rejection go alone, once their own back-off has run.
        const bool reportDue = !before_.refusedDropped.empty() && steady_ >= dropReportAt_;
        const bool waiting = reportDue || !before_.queuedSequences.empty() || !before_.pendingDropped.empty();
        const bool due = steady_ >= nextAttemptAt_;
        const bool expected = !inFlight_ && waiting && due;
        if (!inFlight_ && waiting && !due) ++reached_.backOffRefusals;
        if (batch.has_value() != expected) {
            fail(std::string("takeBatch ") + (batch ? "gave a batch" : "gave nothing") + " (in flight " +
                 std::to_string(inFlight_.has_value()) + ", due " + std::to_string(due) + ")");
            return "take";
        }
        if (!batch) return "take: nothing";
        ++batchCount_;
        if (batch->batchId != "batch_" + std::to_string(batchCount_)) fail("batch id " + batch->batchId);
        reportInFlight_ = reportDue;
        if (reportDue) {
            ++reached_.dropReports;
            if (!batch->observations.empty()) fail("a drop report carries observations");
            if (!sameRanges(batch->dropped, before_.refusedDropped)) fail("drop report ranges differ");
            inFlight_ = std::move(*batch);
            return "take " + inFlight_->batchId + " as a drop report of " + std::to_string(inFlight_->dropped.size()) +
                   " ranges";
        }
        const std::size_t n = std::min<std::size_t>(before_.queuedSequences.size(), maxBatch_);
        if (batch->observations.size() != n) fail("batch holds " + std::to_string(batch->observations.size()));
        for (std::size_t i = 0; i < std::min(n, batch->observations.size()); ++i) {
            const Observation& o = batch->observations[i];
            if (o.sequence != before_.queuedSequences[i] || o.observationId != "o" + std::to_string(o.sequence))
                fail("batch observation " + std::to_string(i) + " is " + o.observationId);
            // The content comes back whole after every failure, split or partial acknowledgement.
            else if (160 + o.endpoint.size() + o.payload.size() + o.error.size() != charge_[o.sequence] ||
                     o.observedAt != observedAt_[o.sequence] || o.payload.empty())
                fail("batch observation " + o.observationId + " lost its content");
        }
        if (!sameRanges(batch->dropped, before_.pendingDropped)) fail("batch ranges differ from the pending ones");
        inFlight_ = std::move(*batch);
        return "take " + inFlight_->batchId + " with " + std::to_string(n) + " observations, " +
               std::to_string(inFlight_->dropped.size()) + " ranges";
    }

    std::string settle() {
        Batch batch = std::move(*inFlight_);
        inFlight_.reset();
        const auto roll = below(100);
        std::string what;
        if (roll < 45) {
            what = acknowledge(batch);
        } else if (roll < 70) {
            const bool retryable = chance(80);
            nextRandom_ = static_cast<double>(below(1'000'000)) / 1'000'000.0;
            const int callsBefore = randomCalls_;
            buffer_->failBatch(batch, "failure", retryable);
            if (randomCalls_ != callsBefore + 1) fail("failBatch drew " + std::to_string(randomCalls_ - callsBefore));
            if (reportInFlight_) {
                // A drop report backs off on its own; observation batches keep their schedule.
                dropReportDelay_ = retryable ? std::clamp<std::int64_t>(2 * dropReportDelay_, 500, 30000) : 60000;
                dropReportAt_ = steady_ +
                                static_cast<std::int64_t>((nextRandom_ * 0.4 + 0.8) * static_cast<double>(dropReportDelay_));
                if (buffer_->inspect().dropReportAt != dropReportAt_) fail("drop report back-off");
            } else {
                retryDelay_ = retryable ? std::clamp<std::int64_t>(2 * retryDelay_, 500, 30000) : 60000;
                nextAttemptAt_ =
                    steady_ + static_cast<std::int64_t>((nextRandom_ * 0.4 + 0.8) * static_cast<double>(retryDelay_));
            }
            ++reached_.failures;
            limitsApply_ = true;
            what = std::string("fail ") + (retryable ? "retryable" : "final");
        } else if (roll < 85) {
            what = reject(batch, chance(50) ? "server_rejected_batch" : "observation_too_large");
        } else {
            const bool split = buffer_->splitBatch(batch);
            if (split != (batch.observations.size() > 1)) fail("splitBatch returned " + std::to_string(split));
            if (split) {
                ++reached_.splits;
                maxBatch_ = batch.observations.size() / 2;
                nextAttemptAt_ = steady_;
                limitsApply_ = false;
                what = "split " + std::to_string(batch.observations.size());
            } else {
                ++reached_.refusedSplits;
                // As the uploader does: what cannot be split is rejected.
                what = "split refused; " + reject(batch, "observation_too_large");
            }
        }
        settledBatches_.push_back(std::move(batch));
        if (settledBatches_.size() > 4) settledBatches_.erase(settledBatches_.begin());
        return what;
    }

    std::string acknowledge(const Batch& batch) {
        Acknowledgement ack;
        std::vector<std::uint64_t> settled;
        bool retryable = false;
        for (const Observation& o : batch.observations) {
            const auto roll = below(100);
            if (roll < 40) {
                ack.accepted.insert(o.observationId);
            } else if (roll < 55) {
                ack.duplicates.insert(o.observationId);
            } else if (roll < 65) {
                ack.rejected.push_back({o.observationId, "invalid", false});
            } else if (roll < 75) {
                ack.rejected.push_back({o.observationId, "busy", true});
                retryable = true;
                if (chance(20)) ack.accepted.insert(o.observationId);  // settled all the same
            }
            if (ack.accepted.count(o.observationId) || ack.duplicates.count(o.observationId) ||
                (roll >= 55 && roll < 65))
                settled.push_back(o.sequence);
        }
        if (chance(10)) ack.accepted.insert("o" + std::to_string(charge_.size() + 5));  // unknown id
        if (chance(3)) {
            ack.rejected.push_back({"o999999999", "gone", true});
            retryable = true;
        }
        buffer_->acknowledge(batch, ack, wall_);
        for (std::uint64_t s : settled) ++settled_[s];
        settleRanges(batch.dropped, "delivered ranges");
        retryDelay_ = retryable ? 1000 : 0;
        nextAttemptAt_ = steady_ + retryDelay_;
        ++reached_.acknowledgements;
        if (settled.size() < batch.observations.size()) ++reached_.partialAcknowledgements;
        limitsApply_ = true;
        const BufferStats stats = buffer_->stats();
        if (stats.lastSuccessUnixMs != wall_ || !stats.lastError.empty() || stats.consecutiveFailures != 0)
            fail("acknowledgement left stale counters");
        return "acknowledge " + std::to_string(settled.size()) + " of " + std::to_string(batch.observations.size()) +
               (retryable ? " (retryable rejection)" : "");
    }

    std::string reject(const Batch& batch, const std::string& reason) {
        nextRandom_ = static_cast<double>(below(1'000'000)) / 1'000'000.0;
        buffer_->rejectBatch(batch, reason);
        retryDelay_ = 0;
        nextAttemptAt_ = steady_;
        ++reached_.rejections;
        limitsApply_ = true;
        const BufferStats stats = buffer_->stats();
        if (reportInFlight_) {
            // Refused a second time: given up, and counted.
            abandoned_ += batch.dropped.size();
            for (const DroppedRange& r : batch.dropped) unreported_ += r.count;
            ++reached_.abandonedReports;
            settleRanges(batch.dropped, "abandoned drop reports");
            if (stats.lastError != "aggregator refused a drop report") fail("abandon error text");
        } else {
            if (!batch.dropped.empty()) {
                dropReportDelay_ = 500;
                dropReportAt_ = steady_ + static_cast<std::int64_t>((nextRandom_ * 0.4 + 0.8) * 500.0);
            }
            if (stats.lastError != "server rejected a batch (" + reason + ")") fail("reject error text");
        }
        if (stats.abandonedDropRanges != abandoned_)
            fail("abandoned counter " + std::to_string(stats.abandonedDropRanges));
        if (buffer_->inspect().dropReportAt != dropReportAt_) fail("drop report time");
        return std::string(reportInFlight_ ? "abandon report; " : "") + "reject " + reason;
    }

    std::string settleStale() {
        const Batch& old = settledBatches_[below(settledBatches_.size())];
        switch (below(4)) {
            case 0:
                buffer_->acknowledge(old, Acknowledgement{}, wall_);
                break;
            case 1:
                buffer_->failBatch(old, "stale", false);
                break;
            case 2:
                buffer_->rejectBatch(old, "server_rejected_batch");
                break;
            default:
                if (buffer_->splitBatch(old)) fail("a stale batch was split");
                break;
        }
        limitsApply_ = false;
        const BufferInspection after = buffer_->inspect();
        if (after.queuedSequences != before_.queuedSequences ||
            !sameRanges(after.pendingDropped, before_.pendingDropped) ||
            !sameRanges(after.refusedDropped, before_.refusedDropped) || after.nextAttemptAt != before_.nextAttemptAt ||
            after.inFlight != before_.inFlight)
            fail("settling stale " + old.batchId + " changed the buffer");
        return "stale settlement of " + old.batchId;
    }

    static bool sameRanges(const std::vector<DroppedRange>& a, const std::vector<DroppedRange>& b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const DroppedRange& x, const DroppedRange& y) {
            return x.count == y.count && x.fromSequence == y.fromSequence && x.toSequence == y.toSequence &&
                   x.reason == y.reason;
        });
    }

    void check() {
        const BufferInspection now = buffer_->inspect();
        const BufferStats stats = buffer_->stats();
        const std::uint64_t issued = charge_.size() - 1;

        std::uint64_t held = 0;
        for (std::size_t i = 0; i < now.queuedSequences.size(); ++i) {
            const std::uint64_t s = now.queuedSequences[i];
            if (s == 0 || s > issued) return fail("queued sequence " + std::to_string(s) + " never issued");
            if (i > 0 && s <= now.queuedSequences[i - 1]) return fail("queue out of order at " + std::to_string(s));
            held += charge_[s];
        }
        if (held != now.heldBytes)
            return fail("held bytes " + std::to_string(now.heldBytes) + ", charges sum to " + std::to_string(held));
        if (stats.pendingObservations != now.queuedSequences.size() ||
            buffer_->pendingCount() != now.queuedSequences.size())
            return fail("pending count differs from the queue");
        if (now.inFlight != inFlight_.has_value()) return fail("in-flight flag differs");
        if (stats.lostDropRanges != lostRanges_ || stats.unreportedDrops != unreported_)
            return fail("unreported counters " + std::to_string(stats.lostDropRanges) + "/" +
                        std::to_string(stats.unreportedDrops) + ", expected " + std::to_string(lostRanges_) + "/" +
                        std::to_string(unreported_));
        if (now.maxBatchSize != maxBatch_) return fail("batch size " + std::to_string(now.maxBatchSize));
        if (now.nextAttemptAt != nextAttemptAt_)
            return fail("next attempt at " + std::to_string(now.nextAttemptAt) + ", expected " +
                        std::to_string(nextAttemptAt_));

        // Nothing leaves the queue while a batch is out, except through its settlement.
        if (before_.inFlight && now.inFlight) {
            const auto& was = before_.queuedSequences;
            if (now.queuedSequences.size() < was.size() ||
                !std::equal(was.begin(), was.end(), now.queuedSequences.begin()))
                return fail("an observation left the queue while a batch was in flight");
            if (stats.droppedObservations != droppedBefore_) return fail("dropped while in flight");
        }

        // Once settled, the limits hold again.
        if (limitsApply_ && !now.inFlight && !now.queuedSequences.empty()) {
            const std::int64_t cutoff = wall_ - static_cast<std::int64_t>(limits_.maxAgeSeconds) * 1000;
            if (now.queuedSequences.size() > limits_.maxObservations) return fail("over the count limit");
            if (now.heldBytes > limits_.maxBytes) return fail("over the byte limit");
            if (observedAt_[now.queuedSequences.front()] < cutoff) return fail("front older than the age limit");
        }

        // Every sequence ever issued is in exactly one place. Acknowledged sequences and
        // delivered or lost ranges never move again, so they are counted once, in `settled_`;
        // below `watermark_` every sequence is settled exactly once and must appear nowhere else.
        while (watermark_ <= issued && settled_[watermark_] == 1) ++watermark_;
        places_.assign(settled_.begin() + static_cast<std::ptrdiff_t>(watermark_), settled_.end());
        places_.resize(issued + 1 - watermark_, 0);
        for (std::uint64_t s : now.queuedSequences) {
            if (s < watermark_) return fail("sequence " + std::to_string(s) + " is queued and settled");
            ++places_[s - watermark_];
        }
        std::uint64_t rangeTotal = settledRangeTotal_;
        if (inFlight_) rangeTotal += cover(inFlight_->dropped, places_, watermark_, "the batch in flight");
        rangeTotal += cover(now.pendingDropped, places_, watermark_, "pending ranges");
        rangeTotal += cover(now.refusedDropped, places_, watermark_, "refused ranges waiting to go alone");
        if (!error_.empty()) return;
        for (std::uint64_t s = watermark_; s <= issued; ++s) {
            if (places_[s - watermark_] != 1)
                return fail("sequence " + std::to_string(s) + " is in " + std::to_string(places_[s - watermark_]) +
                            " places");
        }
        if (stats.droppedObservations != rangeTotal)
            return fail("dropped counter " + std::to_string(stats.droppedObservations) + ", ranges hold " +
                        std::to_string(rangeTotal));
        checkEvictionReasons(now);
    }

    // An observation evicted in this step carries "max_age" exactly when it was older than the
    // cutoff, whatever limit made the buffer evict.
    void checkEvictionReasons(const BufferInspection& now) {
        if (before_.queuedSequences.empty()) return;
        const std::uint64_t low = before_.queuedSequences.front();
        const std::uint64_t high = before_.queuedSequences.back();
        const std::int64_t cutoff = wall_ - static_cast<std::int64_t>(limits_.maxAgeSeconds) * 1000;
        auto check = [&](const DroppedRange& r) {
            if (r.reason != "max_age" && r.reason != "buffer_full") return;
            for (std::uint64_t s = std::max(r.fromSequence, low); s <= std::min(r.toSequence, high); ++s) {
                if (!std::binary_search(before_.queuedSequences.begin(), before_.queuedSequences.end(), s)) continue;
                const bool old = observedAt_[s] < cutoff;
                if (old != (r.reason == "max_age"))
                    return fail("sequence " + std::to_string(s) + " evicted as " + r.reason);
            }
        };
        for (const DroppedRange& r : now.pendingDropped) check(r);
        for (const DroppedRange& r : lostThisStep_) check(r);
    }

    // Adds the ranges' sequences to `places` (indexed from `base`); returns how many
    // observations they hold.
    std::uint64_t cover(const std::vector<DroppedRange>& ranges, std::vector<std::uint8_t>& places, std::uint64_t base,
                        const char* where) {
        std::uint64_t total = 0;
        const std::uint64_t issued = charge_.size() - 1;
        for (const DroppedRange& r : ranges) {
            if (r.fromSequence == 0 || r.toSequence < r.fromSequence || r.toSequence > issued ||
                r.count != r.toSequence - r.fromSequence + 1) {
                fail(std::string("malformed range in ") + where + ": " + std::to_string(r.count) + " " +
                     std::to_string(r.fromSequence) + ".." + std::to_string(r.toSequence));
                return total;
            }
            if (r.fromSequence < base) {
                fail(std::string("range in ") + where + " from " + std::to_string(r.fromSequence) +
                     " covers settled sequences");
                return total;
            }
            total += r.count;
            for (std::uint64_t s = r.fromSequence; s <= r.toSequence; ++s) ++places[s - base];
        }
        return total;
    }

    void settleRanges(const std::vector<DroppedRange>& ranges, const char* where) {
        for (const DroppedRange& r : ranges) {
            if (r.reason == "max_age") ++reached_.ageEvictions;
            if (r.reason == "buffer_full") ++reached_.fullEvictions;
        }
        settledRangeTotal_ += cover(ranges, settled_, 0, where);
    }

public:
    std::size_t lostRangeCount() const { return lostRanges_; }

private:
    std::uint64_t seed_;
    std::mt19937_64 rng_;
    Reached& reached_;
    bool keepTrace_;
    BufferLimits limits_;
    std::uint64_t maxBatch_ = 1;
    bool longRun_ = false;
    std::size_t steps_ = 0;
    std::unique_ptr<ObservationBuffer> buffer_;
    std::int64_t wall_ = kStartWall;
    std::int64_t steady_ = kStartSteady;
    double nextRandom_ = 0.5;
    int randomCalls_ = 0;

    std::vector<std::uint64_t> charge_;
    std::vector<std::int64_t> observedAt_;
    // Per sequence: how often it was acknowledged or covered by a delivered or lost range.
    std::vector<std::uint8_t> settled_ = {0};
    std::uint64_t settledRangeTotal_ = 0;
    std::uint64_t watermark_ = 1;
    std::size_t lostRanges_ = 0;
    std::vector<std::uint8_t> places_;
    std::vector<DroppedRange> lostThisStep_;
    std::optional<Batch> inFlight_;
    std::vector<Batch> settledBatches_;
    std::uint64_t batchCount_ = 0;
    std::int64_t retryDelay_ = 0;
    std::int64_t nextAttemptAt_ = 0;
    std::int64_t dropReportAt_ = 0;
    std::int64_t dropReportDelay_ = 0;
    bool reportInFlight_ = false;
    std::uint64_t abandoned_ = 0;
    std::uint64_t unreported_ = 0;  // observations of lost and abandoned ranges

    BufferInspection before_;
    std::uint64_t droppedBefore_ = 0;
    bool limitsApply_ = false;
    std::string error_;
    std::vector<std::string> trace_;
};

std::uint64_t envNumber(const char* name, std::uint64_t fallback) {
    auto text = getEnv(name);
    if (!text || text->empty()) return fallback;
    return std::stoull(*text);
}

TEST(ObservationBufferModel, RandomRunsAccountForEverySequence) {
    Reached reached;
    if (auto only = getEnv("PARLOW_BUFFER_MODEL_SEED"); only && !only->empty()) {
        const std::uint64_t seed = std::stoull(*only);
        ModelRun run(seed, reached, true);
        auto failure = run.run();
        if (failure) {
            std::ostringstream text;
            for (const auto& line : failure->trace) text << "  " << line << "\n";
            FAIL() << "seed " << seed << " fails at step " << failure->step << ": " << failure->message << "\n"
                   << text.str();
        }
        return;
    }

    const std::uint64_t runs = envNumber("PARLOW_BUFFER_MODEL_RUNS", 10000);
    std::optional<Failure> shortest;
    int failures = 0;
    for (std::uint64_t seed = 1; seed <= runs && failures < 20; ++seed) {
        ModelRun run(seed, reached, false);
        auto failure = run.run();
        reached.lostRanges += run.lostRangeCount();
        if (!failure) continue;
        ++failures;
        if (!shortest || failure->step < shortest->step) shortest = std::move(failure);
    }
    if (shortest) {
        FAIL() << failures << " failing run(s); shortest: seed " << shortest->seed << " fails at step "
               << shortest->step << ": " << shortest->message << "\n  last step: " << shortest->trace.back()
               << "\nreplay with PARLOW_BUFFER_MODEL_SEED=" << shortest->seed;
    }

    // The runs must have reached every path, or they prove little.
    if (runs >= 1000) {
        EXPECT_GT(reached.ageEvictions, 0u);
        EXPECT_GT(reached.fullEvictions, 0u);
        EXPECT_GT(reached.lostRanges, 0u);
        EXPECT_GT(reached.partialAcknowledgements, 0u);
        EXPECT_GT(reached.failures, 0u);
        EXPECT_GT(reached.rejections, 0u);
        EXPECT_GT(reached.splits, 0u);
        EXPECT_GT(reached.refusedSplits, 0u);
        EXPECT_GT(reached.backOffRefusals, 0u);
        EXPECT_GT(reached.pushesInFlight, 0u);
        EXPECT_GT(reached.dropReports, 0u);
        EXPECT_GT(reached.abandonedReports, 0u);
    }
    std::printf("runs %llu: acknowledgements %llu, failures %llu, rejections %llu, splits %llu, ranges lost %llu\n",
                static_cast<unsigned long long>(runs), static_cast<unsigned long long>(reached.acknowledgements),
                static_cast<unsigned long long>(reached.failures), static_cast<unsigned long long>(reached.rejections),
                static_cast<unsigned long long>(reached.splits), static_cast<unsigned long long>(reached.lostRanges));
}

}  // namespace
}  // namespace vornet
