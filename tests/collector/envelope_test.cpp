#include <gtest/gtest.h>

#include "collector/envelope.h"
#include "core/json.h"

namespace vornet {
namespace {

Observation observation(std::uint64_t sequence, std::string payload) {
    Observation o;
    o.sequence = sequence;
    o.observationId = "o" + std::to_string(sequence);
    o.observedAt = 1700000000000 + static_cast<std::int64_t>(sequence);
    o.api = "lcu";
    o.endpoint = "/lol-gameflow/v1/gameflow-phase";
    o.status = 200;
    o.payload = std::move(payload);
    return o;
}

std::string observationsJson(const std::vector<Observation>& observations) {
    std::string out;
    for (std::size_t i = 0; i < observations.size(); ++i) {
        if (i > 0) out += ',';
        appendObservationJson(out, observations[i]);
    }
    return out;
}

TEST(EnvelopeTest, FullBatchIsWrittenInItsFixedOrder) {
    const std::vector<Observation> observations = {observation(7, R"("InProgress")"), observation(9, R"({"a":1})")};
    const std::vector<DroppedRange> dropped = {{3, 1, 3, "buffer_full"}, {1, 5, 5, "max_age"}};
    EnvelopeInput input;
    input.collectorId = "pc\"1";
    input.bootId = "boot_0123456789abcdef";
    input.batchId = "batch_4";
    input.sentAt = 1700000000123;
    input.name = "gaming\\pc\n";
    input.version = "0.3.0";
    input.observations = observations;
    input.dropped = dropped;
    const std::string expected =
        R"({"protocolVersion":1,"collectorId":"pc\"1","bootId":"boot_0123456789abcdef","batchId":"batch_4",)"
        R"("sentAt":"2023-11-14T22:13:20.123Z","collector":{"name":"gaming\\pc\n","version":"0.3.0"},)"
        R"("firstSequence":7,"lastSequence":9,)"
        R"("dropped":[{"count":3,"fromSequence":1,"toSequence":3,"reason":"buffer_full"},)"
        R"({"count":1,"fromSequence":5,"toSequence":5,"reason":"max_age"}],)"
        R"("observations":[)" +
        observationsJson(observations) + "]}";
    EXPECT_EQ(buildEnvelope(input), expected);
    EXPECT_TRUE(parseJson(expected).has_value());
}

// Catches sequence bounds written for an empty batch, a missing observations array, and a
// dropped member written when there is nothing to report.
TEST(EnvelopeTest, OptionalPartsAppearOnlyWithContent) {
    const std::vector<Observation> one = {observation(12, "null")};
    const std::vector<DroppedRange> range = {{2, 10, 11, "observation_too_large"}};
    struct Case {
        const char* label;
        std::span<const Observation> observations;
        std::span<const DroppedRange> dropped;
        std::string tail;
    };
    const std::string head =
        R"({"protocolVersion":1,"collectorId":"c","bootId":"b","batchId":"batch_1","sentAt":"1970-01-01T00:00:00.000Z",)"
        R"("collector":{"name":"n","version":"0.3.0"})";
    const std::vector<Case> cases = {
        {"ranges only", {}, range,
         R"(,"dropped":[{"count":2,"fromSequence":10,"toSequence":11,"reason":"observation_too_large"}],"observations":[]})"},
        {"observations only", one, {},
         R"(,"firstSequence":12,"lastSequence":12,"observations":[)" + observationsJson({one[0]}) + "]}"},
        {"nothing", {}, {}, R"(,"observations":[]})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EnvelopeInput input;
        input.collectorId = "c";
        input.bootId = "b";
        input.batchId = "batch_1";
        input.name = "n";
        input.version = "0.3.0";
        input.observations = c.observations;
        input.dropped = c.dropped;
        EXPECT_EQ(buildEnvelope(input), head + c.tail);
    }
}

struct AckCase {
    const char* label;
    std::string body;
    bool valid;
    std::set<std::string> accepted;
    std::set<std::string> duplicates;
    std::vector<RejectedEntry> rejected;
    std::optional<CollectorTotals> totals;
};

// Catches a missing array accepted as empty, non-string ids dropped instead of read as "",
// wrong defaults in rejected entries, and totals accepted with an empty run id, a negative or
// missing count, or with the fraction rounded instead of dropped.
TEST(AcknowledgementTest, EveryRuleOfTheAnswer) {
    const std::string arrays = R"("accepted":["o1","o2"],"duplicates":["o3"],"rejected":[])";
    const std::vector<AckCase> cases = {
        {"not JSON", "ok", false},
        {"array root", "[]", false},
        {"only accepted", R"({"accepted":[]})", false},
        {"duplicates not array", R"({"accepted":[],"duplicates":{},"rejected":[]})", false},
        {"rejected null", R"({"accepted":[],"duplicates":[],"rejected":null})", false},
        {"empty arrays", R"({"accepted":[],"duplicates":[],"rejected":[]})", true},
        {"ids", "{" + arrays + "}", true, {"o1", "o2"}, {"o3"}},
        {"non-string ids", R"({"accepted":["o1",5,null],"duplicates":[true],"rejected":[]})", true, {"o1", ""}, {""}},
        {"rejected entries",
         R"({"accepted":[],"duplicates":[],"rejected":[{"observationId":"o4","reason":"bad","retryable":true},)"
         R"({"observationId":"o5"},7,{"retryable":"yes","reason":3}]})",
         true,
         {},
         {},
         {{"o4", "bad", true}, {"o5", "", false}, {"", "", false}, {"", "", false}}},
        {"totals", "{" + arrays + R"(,"collectorTotals":{"runId":"r1","events":12.9,"games":3}})", true, {"o1", "o2"},
         {"o3"}, {}, CollectorTotals{"r1", 12, 3}},
        {"totals zero", "{" + arrays + R"(,"collectorTotals":{"runId":"r","events":0,"games":-0}})", true,
         {"o1", "o2"}, {"o3"}, {}, CollectorTotals{"r", 0, 0}},
        {"totals exact big", "{" + arrays + R"(,"collectorTotals":{"runId":"r","events":9007199254740993,"games":1}})",
         true, {"o1", "o2"}, {"o3"}, {}, CollectorTotals{"r", 9007199254740993ull, 1}},
        {"totals beyond range", "{" + arrays + R"(,"collectorTotals":{"runId":"r","events":1e30,"games":1}})", true,
         {"o1", "o2"}, {"o3"}, {}, CollectorTotals{"r", 18446744073709551615ull, 1}},
        {"empty runId", "{" + arrays + R"(,"collectorTotals":{"runId":"","events":1,"games":1}})", true, {"o1", "o2"},
         {"o3"}},
        {"negative games", "{" + arrays + R"(,"collectorTotals":{"runId":"r","events":1,"games":-0.5}})", true,
         {"o1", "o2"}, {"o3"}},
        {"missing events", "{" + arrays + R"(,"collectorTotals":{"runId":"r","games":1}})", true, {"o1", "o2"},
         {"o3"}},
        {"string games", "{" + arrays + R"(,"collectorTotals":{"runId":"r","events":1,"games":"2"}})", true,
         {"o1", "o2"}, {"o3"}},
        {"totals not object", "{" + arrays + R"(,"collectorTotals":[1]})", true, {"o1", "o2"}, {"o3"}},
    };
    for (const AckCase& c : cases) {
        SCOPED_TRACE(c.label);
        const std::optional<Acknowledgement> ack = parseAcknowledgement(c.body);
        ASSERT_EQ(ack.has_value(), c.valid);
        if (!ack) continue;
        EXPECT_EQ(ack->accepted, c.accepted);
        EXPECT_EQ(ack->duplicates, c.duplicates);
        ASSERT_EQ(ack->rejected.size(), c.rejected.size());
        for (std::size_t i = 0; i < c.rejected.size(); ++i) {
            EXPECT_EQ(ack->rejected[i].observationId, c.rejected[i].observationId);
            EXPECT_EQ(ack->rejected[i].reason, c.rejected[i].reason);
            EXPECT_EQ(ack->rejected[i].retryable, c.rejected[i].retryable);
        }
        ASSERT_EQ(ack->totals.has_value(), c.totals.has_value());
        if (c.totals) {
            EXPECT_EQ(ack->totals->runId, c.totals->runId);
            EXPECT_EQ(ack->totals->events, c.totals->events);
            EXPECT_EQ(ack->totals->games, c.totals->games);
        }
    }
}

TEST(Acknowledgement, AnswerCap) {
    // Catches an acknowledgement parsed whatever its size (a hostile aggregator's 64 MiB
    // answer costs gigabytes as a JSON model), and a cap that refuses an answer of exactly
    // the cap. Rows pad a valid acknowledgement with blanks up to the size shown.
    struct Case {
        std::size_t size;
        bool valid;
    };
    const std::string ack = R"({"accepted":["o1"],"duplicates":[],"rejected":[]})";
    const Case cases[] = {
        {ack.size(), true},
        {kMaxAcknowledgementBytes, true},
        {kMaxAcknowledgementBytes + 1, false},
        {4 * kMaxAcknowledgementBytes, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        std::string body = ack + std::string(c.size - ack.size(), ' ');
        EXPECT_EQ(parseAcknowledgement(body).has_value(), c.valid);
    }
}

}  // namespace
}  // namespace vornet
