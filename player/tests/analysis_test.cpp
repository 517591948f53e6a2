// Pacing analysis: bytes due on the driver's clock, underruns, lateness,
// the running comparison, and the bounded timeline of a long run.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "report/analysis.h"
#include "report/report.h"

using namespace player;
// ---- Pacing analysis ------------------------------------------------------------------

namespace {

PacingInput Input(uint64_t frequency, uint32_t sample, uint32_t timer, uint32_t cacheLen)
{
    PacingInput in;
    in.config = PacingConfig{true, sample, timer, cacheLen};
    in.frequency = frequency;
    return in;
}

void Tick(PacingInput& in, uint64_t c, uint32_t posted)
{
    in.events.push_back({PlayEvent::Tick, c, 0});
    if (posted)
        in.packets.push_back({c, posted, false});
}

}  // namespace

TEST(AnalysisTest, BytesDueFollowTheDriversClockWithItsCarry)
{
    // At 1000 counts per second and 176,400 bytes per second, ticks one
    // count apart are worth 176.4 bytes each.  The driver posts whole frames
    // of 4 bytes and carries the rest: nine ticks of 176, and the tenth,
    // with 3.6 bytes carried, 180.
    PacingInput in = Input(1000, 176400, 1, 6144);
    in.events.push_back({PlayEvent::Init, 0, 0});
    in.events.push_back({PlayEvent::Queued, 0, 100000});
    Tick(in, 1, 6144);
    for (uint64_t c = 2; c <= 11; ++c)
        Tick(in, c, c == 11 ? 180 : 176);
    PacingResult r = AnalysePacing(in);
    ASSERT_EQ(r.ticks.size(), 11u);
    EXPECT_TRUE(r.ticks[0].first);
    EXPECT_EQ(r.ticks[0].due, 6144u);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(r.ticks[i + 1].due, i == 9 ? 180u : 176u) << i;
    EXPECT_EQ(r.underruns, 0u);
    EXPECT_EQ(r.ticks[10].queued, 100000 - 6144 - 9 * 176 - 180);
    std::vector<uint32_t> due(11, 176);
    due.front() = 6144;
    due.back() = 180;
    EXPECT_EQ(r.packetDue, due);
    EXPECT_EQ(r.packets, 11u);
    EXPECT_EQ(r.packetMin, 176u);
    EXPECT_EQ(r.packetMax, 6144u);
}

TEST(AnalysisTest, ShortTicksBeforeTheEndAreUnderrunsAndTheLastIsNot)
{
    PacingInput in = Input(1000, 100000, 10, 500);
    in.events.push_back({PlayEvent::Init, 0, 0});
    in.events.push_back({PlayEvent::Queued, 0, 500 + 1000 + 600});
    Tick(in, 10, 500);    // first tick: CacheLen
    Tick(in, 20, 1000);   // on time, 1000 due
    Tick(in, 30, 600);    // short while more was to come
    in.events.push_back({PlayEvent::Queued, 35, 700});
    Tick(in, 40, 700);    // short, but the last audio
    Tick(in, 50, 0);      // queue empty: the pump stops
    PacingResult r = AnalysePacing(in);
    ASSERT_EQ(r.ticks.size(), 5u);
    EXPECT_FALSE(r.ticks[1].underrun);
    EXPECT_TRUE(r.ticks[2].underrun);
    EXPECT_FALSE(r.ticks[3].underrun);
    EXPECT_FALSE(r.ticks[4].underrun);
    EXPECT_EQ(r.underruns, 1u);
    EXPECT_EQ(r.underrunBytes, 400u);
}

TEST(AnalysisTest, RebaseMeansPausedTimeIsNotDue)
{
    PacingInput in = Input(1000, 100000, 10, 0);
    in.events.push_back({PlayEvent::Init, 0, 0});
    in.events.push_back({PlayEvent::Queued, 0, 1000000});
    Tick(in, 10, 0);   // CacheLen 0: nothing posted on the first tick
    Tick(in, 20, 1000);
    // Paused from 25 to 525; the restart rebases the clock.
    in.events.push_back({PlayEvent::Rebase, 525, 0});
    Tick(in, 535, 1000);
    PacingResult r = AnalysePacing(in);
    ASSERT_EQ(r.ticks.size(), 3u);
    EXPECT_EQ(r.ticks[0].due, 0u);
    EXPECT_EQ(r.ticks[2].due, 1000u);
    EXPECT_EQ(r.underruns, 0u);
    // The interval across the pause belongs to no timer run.
    EXPECT_EQ(r.intervalMs.count, 1u);
    EXPECT_DOUBLE_EQ(r.latenessMs.max, 0.0);
}

TEST(AnalysisTest, LatenessFollowsTheTimersGridAndItsSkips)
{
    PacingInput in = Input(1000, 1000, 20, 0);
    in.realClock = true;   // the real clock skips the grid points past
    in.events.push_back({PlayEvent::Init, 0, 0});
    in.events.push_back({PlayEvent::Queued, 0, 1000000});
    // Deadlines 20, 40, 60 (run at 75), 80, 100 (run at 125, so 120 is
    // skipped), 140.
    for (uint64_t c : {20, 40, 75, 80, 125, 140})
        Tick(in, c, 0);
    PacingResult r = AnalysePacing(in);
    EXPECT_EQ(r.latenessMs.count, 6u);
    EXPECT_DOUBLE_EQ(r.latenessMs.max, 25.0);
    EXPECT_NEAR(r.latenessMs.mean, 40.0 / 6, 1e-9);
    EXPECT_DOUBLE_EQ(r.intervalMs.max, 45.0);
    EXPECT_DOUBLE_EQ(r.intervalMs.min, 5.0);

    // The virtual clock skips nothing: a tick late by more than a period is
    // followed by the next at once, late by less, never early.
    PacingInput v = Input(1000, 1000, 20, 0);
    v.events.push_back({PlayEvent::Init, 0, 0});
    v.events.push_back({PlayEvent::Queued, 0, 1000000});
    for (uint64_t c : {20, 40, 90, 90, 100, 120})
        Tick(v, c, 0);
    r = AnalysePacing(v);
    EXPECT_DOUBLE_EQ(r.latenessMs.max, 30.0);
    EXPECT_DOUBLE_EQ(r.latenessMs.min, 0.0);
    EXPECT_NEAR(r.latenessMs.mean, 40.0 / 6, 1e-9);
}

TEST(AnalysisTest, LatenessAsTheClockMeasuredItWinsOverTheCounter)
{
    // A drifting counter puts the ticks off the grid; the clock's own
    // lateness is what counts.
    PacingInput in = Input(1000, 1000, 20, 0);
    in.events.push_back({PlayEvent::Init, 0, 0});
    in.events.push_back({PlayEvent::Queued, 0, 1000000});
    uint64_t late[] = {0, 0, 45000000, 0};
    uint64_t counters[] = {21, 42, 108, 127};
    for (int i = 0; i < 4; ++i) {
        PlayEvent e{PlayEvent::Tick, counters[i], 0};
        e.lateNs = static_cast<int64_t>(late[i]);
        in.events.push_back(e);
    }
    PacingResult r = AnalysePacing(in);
    EXPECT_DOUBLE_EQ(r.latenessMs.max, 45.0);
    EXPECT_DOUBLE_EQ(r.latenessMs.min, 0.0);
}

TEST(AnalysisTest, RealClockEstimatesOnlyCountShortfallsWhenTheQueueRanOut)
{
    PacingInput in = Input(1000000, 176400, 20, 3528);
    in.realClock = true;
    in.events.push_back({PlayEvent::Init, 0, 0});
    in.events.push_back({PlayEvent::Queued, 0, 3528 + 3528 + 3000});
    Tick(in, 20000, 3528);
    // 20.05 ms by the counter: the estimate is 3536, the driver posted 3528
    // with bytes to spare; then a tick that emptied the queue.
    Tick(in, 40050, 3528);
    Tick(in, 60050, 3000);
    in.events.push_back({PlayEvent::Queued, 60060, 3528});
    Tick(in, 80050, 3528);
    PacingResult r = AnalysePacing(in);
    ASSERT_EQ(r.ticks.size(), 4u);
    EXPECT_EQ(r.ticks[1].due, 3536u);
    EXPECT_FALSE(r.ticks[1].underrun);
    EXPECT_TRUE(r.ticks[2].underrun);
    EXPECT_EQ(r.underruns, 1u);
}

TEST(AnalysisTest, WithoutObservedTicksPacketsStandForThem)
{
    PacingInput in = Input(1000, 176400, 20, 6144);
    in.events.push_back({PlayEvent::Init, 0, 0});
    in.events.push_back({PlayEvent::Queued, 0, 20000});
    in.packets = {{20, 6144, false}, {40, 3528, false}, {60, 3528, true}};
    PacingResult r = AnalysePacing(in);
    EXPECT_FALSE(r.ticksObserved);
    ASSERT_EQ(r.ticks.size(), 3u);
    EXPECT_EQ(r.ticks[1].due, 3528u);
    EXPECT_EQ(r.refused, 1u);
    EXPECT_EQ(r.refusedBytes, 3528u);
    EXPECT_EQ(r.ticks[2].posted, 0u);
}

TEST(AnalysisTest, Comparison)
{
    std::vector<uint8_t> a{1, 2, 3, 4}, b{1, 2, 9, 4}, shortB{1, 2, 3};
    EXPECT_TRUE(CompareStreams(a, a).exact);
    EXPECT_EQ(CompareStreams(a, b).firstDifference, 2);
    Comparison s = CompareStreams(a, shortB);
    EXPECT_FALSE(s.exact);
    EXPECT_EQ(s.firstDifference, 3);
    EXPECT_EQ(s.received, 3u);

    Summary sum = Summarise({5, 1, 3, 2, 4});
    EXPECT_DOUBLE_EQ(sum.mean, 3.0);
    EXPECT_DOUBLE_EQ(sum.p99, 5.0);
    EXPECT_DOUBLE_EQ(sum.min, 1.0);
}

TEST(AnalysisTest, TimelineOfAHundredThousandTicksStaysBoundedAndCountsAll)
{
    PacingAnalyser a(1000, false, false);
    a.SetConfig(PacingConfig{true, 100000, 10, 0});
    std::vector<std::pair<uint32_t, uint32_t>> lines;
    a.SetPacketLine([&](const PacketInfo& p, uint32_t due) {
        if (lines.size() < 3)
            lines.push_back({p.bytes, due});
    });
    a.Add({PlayEvent::Init, 0, 0});
    a.Add({PlayEvent::Queued, 0, 2000000000});
    for (uint64_t t = 1; t <= 100000; ++t) {
        a.Add({PlayEvent::Tick, t * 10, 0});
        a.AddPacket({t * 10, t == 1 ? 0u : 1000u, false});
    }
    PacingResult r = a.Finish();
    EXPECT_EQ(r.tickCount, 100000u);
    EXPECT_LE(r.ticks.size(), 4096u);
    EXPECT_GE(r.ticks.size(), 2048u);
    ASSERT_GT(r.timelineEvery, 1u);
    for (size_t i = 1; i < r.ticks.size(); ++i)
        ASSERT_EQ(r.ticks[i].tick - r.ticks[i - 1].tick, r.timelineEvery);
    EXPECT_EQ(r.underruns, 0u);
    EXPECT_EQ(r.intervalMs.count, 99999u);
    EXPECT_DOUBLE_EQ(r.intervalMs.p99, 10.0);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], (std::pair<uint32_t, uint32_t>{1000, 1000}));
}

TEST(AnalysisTest, ShortTickBecomesAnUnderrunOnlyWhenAudioFollows)
{
    // Fed one event at a time: a short tick is judged when later packets
    // show whether audio still came.
    PacingAnalyser a(1000, false, false);
    a.SetConfig(PacingConfig{true, 100000, 10, 0});
    a.Add({PlayEvent::Init, 0, 0});
    a.Add({PlayEvent::Queued, 0, 1500});
    a.Add({PlayEvent::Tick, 10, 0});   // first tick, CacheLen 0
    a.Add({PlayEvent::Tick, 20, 0});
    a.AddPacket({20, 600, false});     // 1000 due: short
    a.Add({PlayEvent::Queued, 25, 5000});
    a.Add({PlayEvent::Tick, 30, 0});
    a.AddPacket({30, 1000, false});    // audio came after it: the short tick was an underrun
    a.Add({PlayEvent::Tick, 40, 0});
    a.AddPacket({40, 900, false});     // short, but nothing follows
    PacingResult r = a.Finish();
    EXPECT_EQ(r.underruns, 1u);
    EXPECT_EQ(r.underrunBytes, 400u);
    ASSERT_EQ(r.ticks.size(), 4u);
    EXPECT_TRUE(r.ticks[1].underrun);
    EXPECT_FALSE(r.ticks[3].underrun);
}

TEST(AnalysisTest, DistributionStaysExactForFewValuesAndBoundedForMany)
{
    Distribution d;
    for (int i = 0; i < 1000; ++i)
        d.Add(20.0);
    d.Add(20.5);
    Summary s = d.Get();
    EXPECT_EQ(s.count, 1001u);
    EXPECT_DOUBLE_EQ(s.p99, 20.0);
    EXPECT_DOUBLE_EQ(s.max, 20.5);

    // 100,000 distinct values: the percentile is within the grid's step and
    // the extremes are exact.
    Distribution many;
    for (int i = 0; i < 100000; ++i)
        many.Add(i * 0.001);
    Summary m = many.Get();
    EXPECT_EQ(m.count, 100000u);
    EXPECT_DOUBLE_EQ(m.max, 99.999);
    EXPECT_DOUBLE_EQ(m.min, 0.0);
    EXPECT_NEAR(m.p99, 98.999, many.Resolution() + 1e-9);
    EXPECT_LT(many.Resolution(), 0.1);
}

TEST(AnalysisTest, DistributionCountsRunsOfOneValueWhereTheyBelongAcrossACoarsening)
{
    // Runs of equal values, the virtual clock's every tick, interleaved.
    Distribution d;
    for (int run = 0; run < 3; ++run) {
        for (int i = 0; i < 50; ++i)
            d.Add(20.0);
        for (int i = 0; i < 50; ++i)
            d.Add(0.0);
    }
    d.Add(25.0);
    Summary s = d.Get();
    EXPECT_EQ(s.count, 301u);
    EXPECT_DOUBLE_EQ(s.mean, (150 * 20.0 + 25.0) / 301);
    EXPECT_DOUBLE_EQ(s.min, 0.0);
    EXPECT_DOUBLE_EQ(s.max, 25.0);
    EXPECT_DOUBLE_EQ(s.p99, 20.0);

    // A value whose own addition coarsens the grid, then repeated a million
    // times: the repeats must land in its bin of the coarser grid, so the
    // 99th percentile is that value, above every value before it.
    Distribution c;
    double v = 0;
    double before;
    do {
        v += 0.001;
        before = c.Resolution();
        c.Add(v);
    } while (c.Resolution() == before);
    const uint64_t distinct = c.Get().count;
    for (int i = 0; i < 1000000; ++i)
        c.Add(v);
    Summary cs = c.Get();
    EXPECT_EQ(cs.count, distinct + 1000000);
    EXPECT_DOUBLE_EQ(cs.max, v);
    EXPECT_NEAR(cs.p99, v, c.Resolution());
}

TEST(AnalysisTest, PostsTheLibraryRefusedAreRefusedNotUnderruns)
{
    // The link goes down for three ticks: the driver hands over each tick's
    // due and the library refuses it.  The application's audio was there:
    // no underrun, the three posts counted as refused.  A tick that was
    // short of audio beside a refusal still counts as one.
    PacingInput in = Input(1000, 176400, 20, 6144);
    in.events.push_back({PlayEvent::Init, 0, 0});
    in.events.push_back({PlayEvent::Queued, 0, 100000});
    Tick(in, 20, 6144);
    for (uint64_t c = 40; c <= 80; c += 20) {
        in.events.push_back({PlayEvent::Tick, c, 0});
        in.packets.push_back({c, 3528, true});
    }
    Tick(in, 100, 3528);
    in.events.push_back({PlayEvent::Tick, 120, 0});
    in.packets.push_back({120, 1000, true});   // 3528 due, 1000 handed over
    Tick(in, 140, 3528);
    PacingResult r = AnalysePacing(in);
    EXPECT_EQ(r.refused, 4u);
    EXPECT_EQ(r.refusedBytes, 3 * 3528u + 1000);
    EXPECT_EQ(r.underruns, 1u);
    EXPECT_EQ(r.underrunBytes, 2528u);
    ASSERT_EQ(r.ticks.size(), 7u);
    EXPECT_EQ(r.ticks[1].posted, 0u);
    EXPECT_EQ(r.ticks[1].refused, 3528u);
    EXPECT_FALSE(r.ticks[1].underrun);
    EXPECT_TRUE(r.ticks[5].underrun);
}
