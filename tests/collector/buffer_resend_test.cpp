// Dropped ranges that were sent once and came back after a failed upload: the aggregator may
// already hold them (the answer, not the request, was lost), so later evictions must not
// grow them into a second, overlapping report of the same sequences.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "collector/buffer.h"

namespace vornet {
namespace {

Observation fresh(std::int64_t at) {
    Observation o;
    o.observedAt = at;
    o.api = "lcu";
    o.endpoint = "/lol-gameflow/v1/gameflow-phase";
    o.payload = "\"Lobby\"";
    return o;
}

TEST(ObservationBufferResend, ResentRangesNeverGrow) {
    std::int64_t wall = 1'700'000'000'000, steady = 1'000'000;
    ObservationBuffer buffer(BufferLimits{10, 1u << 30, 900}, 64, [&] { return wall; }, [&] { return steady; },
                             [] { return 0.5; });
    for (int i = 0; i < 15; ++i) buffer.push(fresh(wall));  // evicts 1..5
    auto first = buffer.takeBatch();
    ASSERT_TRUE(first);
    ASSERT_EQ(first->dropped.size(), 1u);
    buffer.failBatch(*first, "aggregator returned HTTP 503", true);
    buffer.push(fresh(wall));  // evicts 6, adjacent to the resent range and of the same reason
    buffer.push(fresh(wall));  // evicts 7: merges with 6, which was never sent
    steady += 60'000;
    auto second = buffer.takeBatch();
    ASSERT_TRUE(second);
    ASSERT_EQ(second->dropped.size(), 2u);
    EXPECT_EQ(second->dropped[0].fromSequence, 1u);
    EXPECT_EQ(second->dropped[0].toSequence, 5u);
    EXPECT_EQ(second->dropped[0].count, 5u);
    EXPECT_EQ(second->dropped[1].fromSequence, 6u);
    EXPECT_EQ(second->dropped[1].toSequence, 7u);
    EXPECT_EQ(second->dropped[1].count, 2u);
    EXPECT_EQ(second->dropped[1].reason, "buffer_full");

    // Once delivered, new evictions form ranges of their own again and merge as usual.
    buffer.failBatch(*second, "aggregator returned HTTP 503", true);
    steady += 60'000;
    auto third = buffer.takeBatch();
    ASSERT_TRUE(third);
    Acknowledgement ack;
    for (const Observation& o : third->observations) ack.accepted.insert(o.observationId);
    buffer.acknowledge(*third, ack, wall);
    for (int i = 0; i < 12; ++i) buffer.push(fresh(wall));  // 10 kept, the two oldest new ones evicted
    auto fourth = buffer.takeBatch();
    ASSERT_TRUE(fourth);
    ASSERT_EQ(fourth->dropped.size(), 1u);
    EXPECT_EQ(fourth->dropped[0].count, 2u);
    EXPECT_EQ(fourth->dropped[0].fromSequence, 18u);
}

}  // namespace
}  // namespace vornet
