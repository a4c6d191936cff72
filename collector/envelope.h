// The batch envelope sent to the ingest endpoint and the acknowledgement that answers it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "collector/buffer.h"
#include "collector/observation.h"

namespace vornet {

struct EnvelopeInput {
    std::string collectorId;
    std::string bootId;
    std::string batchId;
    std::int64_t sentAt = 0;  // Unix milliseconds
    std::string name;
    std::string version;
    std::span<const Observation> observations;  // must outlive buildEnvelope
    std::span<const DroppedRange> dropped;
};

// Compact UTF-8 JSON with the members in their fixed order; observation payloads are pasted
// in as stored.
std::string buildEnvelope(const EnvelopeInput& input);

// The largest acknowledgement parsed (a batch of at most 1000 ids needs a small part of it).
inline constexpr std::size_t kMaxAcknowledgementBytes = 1048576;
// The aggregator's answer to a batch; nothing when it is larger than kMaxAcknowledgementBytes,
// not JSON, not an object, or lacks one of the arrays "accepted", "duplicates" and "rejected".
std::optional<Acknowledgement> parseAcknowledgement(std::string_view body);

}  // namespace vornet
