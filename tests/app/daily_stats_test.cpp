#include "app/daily_stats.h"

#include <gtest/gtest.h>

#include <string>

#include "core/files.h"
#include "core/json.h"
#include "test_support.h"

namespace vornet::app {
namespace {

using testing::TempFolder;

struct Clock {
    std::string day = "2025-03-09";
    std::int64_t ms = 1000000;
};

DailyStats makeStats(const std::string& path, Clock& clock) {
    return DailyStats(
        path, [&clock] { return clock.day; }, [&clock] { return clock.ms; });
}

CollectorTotals run(const char* id, std::uint64_t events, std::uint64_t games) {
    return CollectorTotals{id, events, games};
}

TEST(DailyStatsTest, YesterdaysFileKeepsTotalsAndZeroesToday) {
    TempFolder scratch;
    const std::string path = scratch.file("stats.json");
    ASSERT_TRUE(writeFileAtomically(
        path, R"({"version":1,"day":"2025-03-08","today":{"events":40,"games":2,"uploadedBytes":900,"rawBytes":5000},)"
              R"("total":{"events":400,"games":20,"uploadedBytes":9000,"rawBytes":50000},)"
              R"("server":{"collectorId":"c1","runId":"r1","events":40,"games":2}})"));
    Clock clock;
    DailyStats stats = makeStats(path, clock);
    StatsSnapshot s = stats.snapshot();
    EXPECT_EQ(s.today.events, 0u);
    EXPECT_EQ(s.today.games, 0u);
    EXPECT_EQ(s.today.uploadedBytes, 0u);
    EXPECT_EQ(s.total.events, 400u);
    EXPECT_EQ(s.total.rawBytes, 50000u);
    ASSERT_TRUE(stats.save());
    std::optional<JsonValue> saved = parseJson(*readWholeFile(path));
    ASSERT_TRUE(saved);
    EXPECT_EQ(writeJson(*saved),
              R"({"version":1,"day":"2025-03-09","today":{"events":0,"games":0,"uploadedBytes":0,"rawBytes":0},)"
              R"("total":{"events":400,"games":20,"uploadedBytes":9000,"rawBytes":50000},)"
              R"("server":{"collectorId":"c1","runId":"r1","events":40,"games":2}})");
    // The same run continues across midnight: only the growth counts.
    stats.recordUpload(10, 20, run("r1", 45, 2));
    EXPECT_EQ(stats.snapshot().today.events, 5u);
    EXPECT_EQ(stats.snapshot().total.events, 405u);
}

// Catches counters that go negative, lose large values or accept non-numbers.
TEST(DailyStatsTest, BrokenOrOddFilesGiveZeroState) {
    struct Case {
        const char* text;
        std::uint64_t totalEvents;
        std::uint64_t totalGames;
    } cases[] = {
        {"not json", 0, 0},
        {"[1,2]", 0, 0},
        {R"({"day":"2025-03-09","total":{"events":-5,"games":"7"}})", 0, 0},
        {R"({"day":"2025-03-09","total":{"events":18446744073709551615,"games":3.9}})", 18446744073709551615ULL, 3},
        {R"({"day":"2025-03-09","total":{"events":1e3}})", 1000, 0},
        {R"({"day":"2025-03-09","total":7})", 0, 0},
    };
    for (const Case& c : cases) {
        TempFolder scratch;
        ASSERT_TRUE(writeFileAtomically(scratch.file("stats.json"), c.text));
        Clock clock;
        DailyStats stats = makeStats(scratch.file("stats.json"), clock);
        StatsSnapshot s = stats.snapshot();
        EXPECT_EQ(s.total.events, c.totalEvents) << c.text;
        EXPECT_EQ(s.total.games, c.totalGames) << c.text;
    }
}

// Catches double counting of a run's cumulative totals and a new run not being counted whole.
TEST(DailyStatsTest, RunTotals) {
    struct Step {
        std::optional<CollectorTotals> totals;
        std::uint64_t todayEvents, todayGames, totalEvents, totalGames;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
    } cases[] = {
        {"same run adds the growth",
         {{run("r1", 10, 0), 10, 0, 10, 0}, {run("r1", 25, 1), 25, 1, 25, 1}, {std::nullopt, 25, 1, 25, 1}}},
        {"a new run counts whole", {{run("r1", 10, 1), 10, 1, 10, 1}, {run("r2", 4, 0), 14, 1, 14, 1}}},
        {"fewer games lower the counts",
         {{run("r1", 10, 3), 10, 3, 10, 3}, {run("r1", 10, 1), 10, 1, 10, 1}, {run("r1", 12, 1), 12, 1, 12, 1}}},
        {"fewer events never go below zero", {{run("", 0, 0), 0, 0, 0, 0}, {run("", 0, 0), 0, 0, 0, 0}}},
        {"empty run ids are the same run", {{run("", 5, 0), 5, 0, 5, 0}, {run("", 7, 0), 7, 0, 7, 0}}},
    };
    for (const Case& c : cases) {
        Clock clock;
        DailyStats stats = makeStats("", clock);
        int i = 0;
        for (const Step& step : c.steps) {
            stats.recordUpload(100, 300, step.totals);
            StatsSnapshot s = stats.snapshot();
            EXPECT_EQ(s.today.events, step.todayEvents) << c.name << " step " << i;
            EXPECT_EQ(s.today.games, step.todayGames) << c.name << " step " << i;
            EXPECT_EQ(s.total.events, step.totalEvents) << c.name << " step " << i;
            EXPECT_EQ(s.total.games, step.totalGames) << c.name << " step " << i;
            ++i;
        }
    }
}

TEST(DailyStatsTest, FewerGamesAfterADayChangeFloorAtZero) {
    Clock clock;
    DailyStats stats = makeStats("", clock);
    stats.recordUpload(1, 1, run("r1", 10, 3));
    clock.day = "2025-03-10";
    stats.recordUpload(1, 1, run("r1", 4, 1));  // the aggregator revised 6 events and 2 games away
    StatsSnapshot s = stats.snapshot();
    EXPECT_EQ(s.today.events, 0u);
    EXPECT_EQ(s.today.games, 0u);
    EXPECT_EQ(s.total.events, 4u);
    EXPECT_EQ(s.total.games, 1u);
    EXPECT_EQ(s.today.uploadedBytes, 1u);
    EXPECT_EQ(s.total.uploadedBytes, 2u);
}

TEST(DailyStatsTest, NewCollectorIdRestartsRunAccounting) {
    Clock clock;
    DailyStats stats = makeStats("", clock);
    stats.setCollectorId("c1");
    stats.recordUpload(1, 1, run("r1", 10, 1));
    stats.setCollectorId("c1");  // unchanged: the run continues
    stats.recordUpload(1, 1, run("r1", 12, 1));
    EXPECT_EQ(stats.snapshot().total.events, 12u);
    stats.setCollectorId("c2");
    stats.recordUpload(1, 1, run("r1", 3, 0));  // same run id text, but a new identity
    EXPECT_EQ(stats.snapshot().total.events, 15u);
    EXPECT_EQ(stats.snapshot().total.games, 1u);
}

TEST(DailyStatsTest, RateHistoryBuckets) {
    Clock clock;
    clock.ms = 20000 * 100;  // start of bucket 100
    DailyStats stats = makeStats("", clock);
    stats.recordUpload(2000, 0, std::nullopt);
    clock.ms += 19999;  // same bucket
    stats.recordUpload(1000, 0, std::nullopt);
    clock.ms += 1;  // bucket 101: the first becomes complete
    StatsSnapshot s = stats.snapshot();
    EXPECT_DOUBLE_EQ(s.rateHistory[28], 150.0);
    EXPECT_DOUBLE_EQ(s.rateHistory[29], 0.0);
    EXPECT_DOUBLE_EQ(s.currentRate, 150.0);
    clock.ms += 20000 * 3;  // three buckets later the bytes moved three slots
    stats.recordUpload(400, 0, std::nullopt);
    s = stats.snapshot();
    EXPECT_DOUBLE_EQ(s.rateHistory[25], 150.0);
    EXPECT_DOUBLE_EQ(s.rateHistory[29], 20.0);
    EXPECT_DOUBLE_EQ(s.currentRate, 0.0);
    // Fifteen minutes later the whole history is gone before the new bytes count.
    clock.ms += 15 * 60000;
    stats.recordUpload(40, 0, std::nullopt);
    s = stats.snapshot();
    for (std::size_t i = 0; i < 29; ++i) EXPECT_DOUBLE_EQ(s.rateHistory[i], 0.0) << i;
    EXPECT_DOUBLE_EQ(s.rateHistory[29], 2.0);
    // 29 buckets later the bytes sit in the oldest slot.
    clock.ms += 20000 * 29;
    s = stats.snapshot();
    EXPECT_DOUBLE_EQ(s.rateHistory[0], 2.0);
    clock.ms += 20000;
    s = stats.snapshot();
    EXPECT_DOUBLE_EQ(s.rateHistory[0], 0.0);
}

TEST(DailyStatsTest, SaveOnlyWhenDirtyAndRetryAfterFailure) {
    TempFolder scratch;
    Clock clock;
    // The parent "folder" is a file, so the write must fail.
    ASSERT_TRUE(writeFileAtomically(scratch.file("blocker"), "x"));
    DailyStats broken = makeStats(scratch.file("blocker") + "/stats.json", clock);
    broken.recordUpload(5, 9, std::nullopt);
    EXPECT_FALSE(broken.save());
    EXPECT_FALSE(broken.save());  // still dirty: tries again

    const std::string path = scratch.file("sub/stats.json");
    DailyStats stats = makeStats(path, clock);
    EXPECT_TRUE(stats.save());
    EXPECT_FALSE(readWholeFile(path).has_value());  // nothing changed, nothing written
    stats.setCollectorId("c7");
    stats.recordUpload(5, 9, run("r9", 3, 1));
    EXPECT_TRUE(stats.save());
    DailyStats reloaded = makeStats(path, clock);
    StatsSnapshot s = reloaded.snapshot();
    EXPECT_EQ(s.today.uploadedBytes, 5u);
    EXPECT_EQ(s.total.rawBytes, 9u);
    EXPECT_EQ(s.total.events, 3u);
    // The stored collector id and run came back: the same run only adds its growth.
    reloaded.setCollectorId("c7");
    reloaded.recordUpload(0, 0, run("r9", 5, 1));
    EXPECT_EQ(reloaded.snapshot().total.events, 5u);
}

TEST(DailyStatsTest, LocalDayTextShape) {
    std::string day = localDayText();
    ASSERT_EQ(day.size(), 10u) << day;
    EXPECT_EQ(day[4], '-');
    EXPECT_EQ(day[7], '-');
}

}  // namespace
}  // namespace vornet::app
