#include "collector/envelope.h"

#include <charconv>
#include <limits>

#include "core/json.h"
#include "core/text.h"

namespace vornet {
namespace {

void appendNumber(std::string& out, std::uint64_t value) { out += std::to_string(value); }

// A count from the aggregator as an unsigned 64-bit integer, fraction dropped. Plain integer
// text is converted exactly (a double loses digits above 2^53); values beyond the range
// saturate instead of overflowing the conversion.
std::optional<std::uint64_t> countFrom(const JsonValue* member) {
    if (member == nullptr || !member->isNumber()) {
        return std::nullopt;
    }
    const double value = member->asDouble(-1.0);
    if (!(value >= 0.0)) {
        return std::nullopt;
    }
    const std::string& text = member->text;
    std::uint64_t exact = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), exact);
    if (error == std::errc() && end == text.data() + text.size()) {
        return exact;
    }
    if (value >= 18446744073709551616.0) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return static_cast<std::uint64_t>(value);
}

}  // namespace

std::string buildEnvelope(const EnvelopeInput& input) {
    std::string out;
    // 512 bytes per observation for its fields, plus its payload and error as stored: an
    // in-game batch of 65 KB answers otherwise grows the text (and copies it) a dozen times.
    std::size_t room = 512 * input.observations.size() + 256;
    for (const Observation& o : input.observations) room += o.payload.size() + o.error.size();
    out.reserve(room);
    out += "{\"protocolVersion\":1,\"collectorId\":";
    appendJsonString(out, input.collectorId);
    out += ",\"bootId\":";
    appendJsonString(out, input.bootId);
    out += ",\"batchId\":";
    appendJsonString(out, input.batchId);
    out += ",\"sentAt\":\"";
    appendIsoUtc(out, input.sentAt);
    out += "\",\"collector\":{\"name\":";
    appendJsonString(out, input.name);
    out += ",\"version\":";
    appendJsonString(out, input.version);
    out += '}';
    if (!input.observations.empty()) {
        out += ",\"firstSequence\":";
        appendNumber(out, input.observations.front().sequence);
        out += ",\"lastSequence\":";
        appendNumber(out, input.observations.back().sequence);
    }
    if (!input.dropped.empty()) {
        out += ",\"dropped\":[";
        bool first = true;
        for (const DroppedRange& range : input.dropped) {
            if (!first) {
                out += ',';
            }
            first = false;
            out += "{\"count\":";
            appendNumber(out, range.count);
            out += ",\"fromSequence\":";
            appendNumber(out, range.fromSequence);
            out += ",\"toSequence\":";
            appendNumber(out, range.toSequence);
            out += ",\"reason\":";
            appendJsonString(out, range.reason);
            out += '}';
        }
        out += ']';
    }
    out += ",\"observations\":[";
    bool first = true;
    for (const Observation& observation : input.observations) {
        if (!first) {
            out += ',';
        }
        first = false;
        appendObservationJson(out, observation);
    }
    out += "]}";
    return out;
}

std::optional<Acknowledgement> parseAcknowledgement(std::string_view body) {
    // An acknowledgement names at most one batch: anything larger is not one, and is not parsed.
    if (body.size() > kMaxAcknowledgementBytes) {
        return std::nullopt;
    }
    std::optional<JsonValue> root = parseJson(body);
    if (!root || !root->isObject()) {
        return std::nullopt;
    }
    const JsonValue* accepted = root->find("accepted");
    const JsonValue* duplicates = root->find("duplicates");
    const JsonValue* rejected = root->find("rejected");
    if (accepted == nullptr || !accepted->isArray() || duplicates == nullptr || !duplicates->isArray() ||
        rejected == nullptr || !rejected->isArray()) {
        return std::nullopt;
    }
    Acknowledgement ack;
    static const std::string kEmpty;
    for (const JsonValue& id : accepted->elements) {
        ack.accepted.insert(id.isString() ? id.text : kEmpty);
    }
    for (const JsonValue& id : duplicates->elements) {
        ack.duplicates.insert(id.isString() ? id.text : kEmpty);
    }
    ack.rejected.reserve(rejected->elements.size());
    for (const JsonValue& entry : rejected->elements) {
        RejectedEntry item;
        item.observationId = entry.getString("observationId", "");
        item.reason = entry.getString("reason", "");
        item.retryable = entry.getBool("retryable", false);
        ack.rejected.push_back(std::move(item));
    }
    const JsonValue* totals = root->find("collectorTotals");
    if (totals != nullptr && totals->isObject()) {
        std::string runId = totals->getString("runId", "");
        const std::optional<std::uint64_t> events = countFrom(totals->find("events"));
        const std::optional<std::uint64_t> games = countFrom(totals->find("games"));
        if (!runId.empty() && events && games) {
            ack.totals = CollectorTotals{std::move(runId), *events, *games};
        }
    }
    return ack;
}

}  // namespace vornet
