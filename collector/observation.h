// One captured item: a REST answer, a feed notification or a collector status record.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/json.h"

namespace vornet {

enum class ObservationKind { Snapshot, Notification };

struct Observation {
    std::string observationId;  // "o" + sequence, set by the buffer
    std::uint64_t sequence = 0;
    std::int64_t observedAt = 0;  // Unix milliseconds
    std::string api;              // "lcu", "liveclient" or "collector"
    std::string endpoint;
    ObservationKind kind = ObservationKind::Snapshot;
    std::string notificationType;
    std::int32_t status = 0;      // HTTP status; 0 when no answer was received
    std::string payload = "null";  // compact JSON text, never empty
    std::string error;
};

// True when an object member with this key must be removed before anything leaves the PC.
bool isSensitiveKey(std::string_view key);
// Removes every member with a sensitive key, at any depth.
void redactSecrets(JsonValue& value);
// Fills `payload` (and, for a malformed body, `error` unless already set) from an answer body.
void setPayloadFromBody(Observation& observation, std::string_view body);
// Appends the observation's JSON line (without a line break).
void appendObservationJson(std::string& out, const Observation& observation);

}  // namespace vornet
