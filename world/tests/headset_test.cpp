// The headset model on its own: packets arrive at given times, and the gaps,
// overflows and heard audio follow from the buffer's arithmetic.
#include <gtest/gtest.h>

#include <vector>

#include "numbered.h"
#include "world/headset.h"

using player::Headset;
using player::HeadsetConfig;
using player::HeadsetResult;
using namespace world_test;

namespace {

// A headset that keeps what it plays, fed numbered packets.
struct Ear {
    explicit Ear(const HeadsetConfig& c)
        : headset(c, 0, [this](const uint8_t* d, size_t n) { heard.insert(heard.end(), d, d + n); })
    {
    }
    // A packet of the frames numbered from `first`, posted and arriving at t.
    void Packet(uint64_t t, uint32_t first)
    {
        const std::vector<uint8_t> p = Numbered(first, kPacketFrames);
        headset.Receive(t, t, p.data(), p.size());
    }
    std::vector<uint8_t> heard;
    Headset headset;
};

struct Fed {
    std::vector<uint8_t> heard;
    HeadsetResult result;
};

// Feeds `packets` packets, one every `everyNs`, the first at 0.
Fed Feed(const HeadsetConfig& c, int packets, uint64_t everyNs)
{
    Ear ear(c);
    for (int k = 0; k < packets; ++k)
        ear.Packet(static_cast<uint64_t>(k) * everyNs, k * kPacketFrames);
    const HeadsetResult result = ear.headset.Finish();   // plays out what is left
    return {ear.heard, result};
}

TEST(HeadsetTest, StartsAtTheThresholdAndPlaysEverythingWithoutGapsAtTheRightRate)
{
    HeadsetConfig c;
    c.capacityFrames = 11025;
    c.startFrames = 4410;   // five packets
    Fed r = Feed(c, 150, 20 * kMs);
    EXPECT_TRUE(r.result.started);
    EXPECT_DOUBLE_EQ(r.result.startLatency, 0.080);   // the fifth packet arrives at 80 ms
    EXPECT_TRUE(r.result.gaps.empty());
    EXPECT_TRUE(r.result.overflows.empty());
    EXPECT_EQ(r.result.playedFrames, 150u * kPacketFrames);
    // What is heard is what arrived, frame for frame.
    EXPECT_EQ(r.heard, Numbered(0, 150 * kPacketFrames));
    // Each packet waits behind the four before it: 80 ms from post to ear.
    EXPECT_NEAR(r.result.meanPostToEar, 0.080, 1e-6);
    EXPECT_NEAR(r.result.maxPostToEar, 0.080, 1e-6);
    EXPECT_EQ(r.result.minLevelFrames, 4410u - kPacketFrames);
    EXPECT_EQ(r.result.maxLevelFrames, 4410u);
}

// The buffer's level changes by 44,100 x ppm / 1e6 frames per second when
// the headset's clock is off: 13.23 frames per second at 300 ppm.
TEST(HeadsetTest, ClockOffBy300PpmOverflowsOrRunsDryWhenTheArithmeticSays)
{
    const double drift = 44100 * 300e-6;   // frames per second
    HeadsetConfig c;
    c.startFrames = 900;   // reached by the second packet, at 20 ms, with 1764 frames
    c.capacityFrames = 1764 + 100;

    // Slow: the level after each packet grows until one no longer fits,
    // once the 100 spare frames are filled.
    c.ppm = -300;
    Fed slow = Feed(c, 600, 20 * kMs);
    ASSERT_FALSE(slow.result.overflows.empty());
    double predicted = 0.020 + 100 / drift;   // 7.578 s
    EXPECT_NEAR(slow.result.overflows.front().at, predicted, 0.021);
    EXPECT_TRUE(slow.result.gaps.empty());
    EXPECT_EQ(slow.result.droppedBytes % kFrameBytes, 0u);
    // What arrived is either heard or dropped.
    EXPECT_EQ(slow.result.playedFrames * kFrameBytes + slow.result.droppedBytes, 600u * kPacketFrames * kFrameBytes);

    // Fast: the 882 frames it holds beyond the packet being played last
    // 882 / 13.23 s; a whole frame later the listener hears a gap.
    c.ppm = 300;
    c.capacityFrames = 11025;
    Fed fast = Feed(c, 3600, 20 * kMs);
    ASSERT_FALSE(fast.result.gaps.empty());
    predicted = 0.020 + 883 / drift;   // 66.762 s
    EXPECT_NEAR(fast.result.gaps.front().at, predicted, 0.021);
    EXPECT_TRUE(fast.result.overflows.empty());
}

TEST(HeadsetTest, AGapIsSilenceOfItsLengthInTheHeardAudioAtTheReportedPlace)
{
    HeadsetConfig c;
    c.startFrames = 1764;
    c.capacityFrames = 11025;
    Ear ear(c);
    // 10 packets every 20 ms, nothing for 300 ms, then 10 more.
    uint32_t frame = 0;
    for (int k = 0; k < 10; ++k, frame += kPacketFrames)
        ear.Packet(k * 20 * kMs, frame);
    for (int k = 0; k < 10; ++k, frame += kPacketFrames)
        ear.Packet(480 * kMs + k * 20 * kMs, frame);
    HeadsetResult r = ear.headset.Finish();
    const std::vector<uint8_t>& heard = ear.heard;
    ASSERT_EQ(r.gaps.size(), 1u);
    // Started at 20 ms with 2 packets; 10 packets last 200 ms: dry at 220 ms.
    EXPECT_NEAR(r.gaps[0].at, 0.220, 1e-6);
    EXPECT_NEAR(r.gaps[0].heardAt, 0.200, 1e-6);
    // Playing again once two packets are back: at 500 ms.
    EXPECT_NEAR(r.gaps[0].seconds, 0.280, 1e-6);
    ASSERT_EQ(heard.size(), (20u * kPacketFrames + 12348u) * kFrameBytes);
    const size_t gapStart = 10 * kPacketFrames * kFrameBytes;
    for (size_t i = gapStart; i < gapStart + 12348 * kFrameBytes; ++i)
        ASSERT_EQ(heard[i], 0) << i;
    // Around the gap, the frames run on in order.
    EXPECT_EQ(std::vector<uint8_t>(heard.begin(), heard.begin() + gapStart), Numbered(0, 10 * kPacketFrames));
    EXPECT_EQ(std::vector<uint8_t>(heard.begin() + gapStart + 12348 * kFrameBytes, heard.end()),
              Numbered(10 * kPacketFrames, 10 * kPacketFrames));
    EXPECT_EQ(r.silentFrames, 12348u);
}

TEST(HeadsetTest, ABurstBeyondTheBufferIsDroppedAndCountedAndAShortStreamStillPlaysOut)
{
    HeadsetConfig c;
    c.startFrames = 4410;
    c.capacityFrames = 4410;
    Ear ear(c);
    // Eight packets at once: five fit, three are dropped as one overflow.
    for (int k = 0; k < 8; ++k)
        ear.Packet(0, k * kPacketFrames);
    HeadsetResult r = ear.headset.Finish();
    ASSERT_EQ(r.overflows.size(), 1u);
    EXPECT_EQ(r.overflows[0].bytes, 3u * kPacketFrames * kFrameBytes);
    EXPECT_EQ(r.droppedBytes, 3u * kPacketFrames * kFrameBytes);
    EXPECT_EQ(ear.heard, Numbered(0, 5 * kPacketFrames));

    // Less than the threshold in all: played when the stream ends.
    c.capacityFrames = 11025;
    Headset shortStream(c, 0, nullptr);
    auto p = Numbered(0, kPacketFrames);
    shortStream.Receive(0, 5 * kMs, p.data(), p.size());
    HeadsetResult s = shortStream.Finish();
    EXPECT_TRUE(s.started);
    EXPECT_EQ(s.playedFrames, kPacketFrames);
    EXPECT_DOUBLE_EQ(s.startLatency, 0.005);
}

// Without a listener the model keeps no audio, only the amounts: every
// figure must come out as with one.  A long run's level record is thinned
// to a bounded size, its spacing doubling, and still spans the whole run.
TEST(HeadsetTest, WithoutAListenerTheFiguresAreTheSameAndTheLevelRecordStaysBounded)
{
    HeadsetConfig c;
    c.ppm = 500;   // runs dry now and then: gaps and restarts
    const int kPackets = 30000;   // 10 minutes, 30,000 level samples before thinning
    uint64_t heardBytes = 0;
    Headset listened(c, 0, [&](const uint8_t*, size_t n) { heardBytes += n; });
    Headset alone(c, 0, Headset::Heard());
    auto packet = Numbered(0, kPacketFrames);
    for (int k = 0; k < kPackets; ++k) {
        uint64_t t = static_cast<uint64_t>(k) * 20 * kMs + (k % 7) * kMs;   // some jitter
        listened.Receive(t, t, packet.data(), packet.size());
        alone.Receive(t, t, packet.data(), packet.size());
    }
    HeadsetResult a = listened.Finish(), b = alone.Finish();
    ASSERT_FALSE(a.gaps.empty());
    EXPECT_EQ(heardBytes, (a.playedFrames + a.silentFrames) * kFrameBytes);
    EXPECT_EQ(b.playedFrames, a.playedFrames);
    EXPECT_EQ(b.silentFrames, a.silentFrames);
    EXPECT_EQ(b.droppedBytes, a.droppedBytes);
    EXPECT_EQ(b.gaps.size(), a.gaps.size());
    EXPECT_EQ(b.minLevelFrames, a.minLevelFrames);
    EXPECT_EQ(b.maxLevelFrames, a.maxLevelFrames);
    EXPECT_DOUBLE_EQ(b.meanPostToEar, a.meanPostToEar);
    ASSERT_EQ(b.levels.size(), a.levels.size());
    for (size_t i = 0; i < a.levels.size(); ++i) {
        EXPECT_EQ(b.levels[i].frames, a.levels[i].frames) << i;
        EXPECT_DOUBLE_EQ(b.levels[i].t, a.levels[i].t) << i;
    }

    // 30,000 samples thinned twice: at most 8,192 kept, 40 ms or more
    // apart, from the first packet to the last minute.
    EXPECT_LE(a.levels.size(), 8192u);
    EXPECT_GE(a.levels.size(), 4096u);
    EXPECT_DOUBLE_EQ(a.levels.front().t, 0.0);
    EXPECT_GT(a.levels.back().t, 540.0);
    for (size_t i = 1; i < a.levels.size(); ++i)
        ASSERT_GE(a.levels[i].t - a.levels[i - 1].t, 0.020) << i;
}

TEST(HeadsetTest, CatchingUpBringsTheLevelBackToItsTargetAtABoundedRate)
{
    // Ten packets at once (a queue that drained after an underrun), then
    // one every 20 ms for 12 s: the level stays 200 ms high unless the
    // headset catches up; at 1% it sheds 441 frames a second and is back
    // near its target of 100 ms well within the run, never below it by more
    // than a packet, having played every frame.
    for (double catchUp : {0.0, 10000.0}) {
        SCOPED_TRACE(catchUp);
        HeadsetConfig c;
        c.capacityFrames = 22050;
        c.startFrames = 4410;
        c.catchUpPpm = catchUp;
        Ear ear(c);
        const int packets = 610;
        for (int k = 0; k < packets; ++k)
            ear.Packet(k < 10 ? 0 : static_cast<uint64_t>(k - 9) * 20 * kMs, k * kPacketFrames);
        Fed run;
        run.result = ear.headset.Finish();
        run.heard = ear.heard;
        EXPECT_TRUE(run.result.gaps.empty());
        EXPECT_TRUE(run.result.overflows.empty());
        EXPECT_EQ(run.heard, Numbered(0, packets * kPacketFrames));
        const uint32_t last = run.result.levels.back().frames;
        if (catchUp == 0) {
            EXPECT_GE(last, 8820u - kPacketFrames);
        } else {
            EXPECT_LE(last, 4410u + 2 * kPacketFrames);
            EXPECT_GE(run.result.minLevelFrames, 4410u - 2 * kPacketFrames);
            // Bounded: after one second it has shed at most about 441 frames.
            for (const player::HeadsetLevel& l : run.result.levels)
                if (l.t > 0.99 && l.t < 1.01)
                    EXPECT_GE(l.frames, 8820u - 441 - 2 * kPacketFrames) << l.t;
        }
    }
}

}  // namespace

TEST(HeadsetTest, TheLevelRecordKeepsTheLowestBeforeAPacketAndTheHighestAfterAndReachesZeroWhereItRanDry)
{
    // Packets of 20 ms every 20 ms with jitter, a clock 2000 ppm fast: the
    // buffer runs dry now and then.  Each bucket's lowest is a level just
    // before a packet (the report's lowest among them), its highest just
    // after one, and the bucket where a gap begins goes down to 0.
    HeadsetConfig c;
    c.ppm = 2000;
    Headset h(c, 0, Headset::Heard());
    auto packet = Numbered(0, kPacketFrames);
    for (int k = 0; k < 3000; ++k) {
        uint64_t t = static_cast<uint64_t>(k) * 20 * kMs + (k % 5) * 3 * kMs;
        h.Receive(t, t, packet.data(), packet.size());
    }
    HeadsetResult r = h.Finish();
    ASSERT_FALSE(r.gaps.empty());
    ASSERT_FALSE(r.levels.empty());
    uint32_t highest = 0;
    for (const player::HeadsetLevel& l : r.levels) {
        EXPECT_LE(l.low, l.high);
        EXPECT_LE(l.low, l.frames);
        EXPECT_LE(l.frames, l.high);
        highest = std::max(highest, l.high);
    }
    EXPECT_EQ(highest, r.maxLevelFrames);
    for (const player::HeadsetGap& g : r.gaps) {
        bool zero = false;
        for (const player::HeadsetLevel& l : r.levels)
            zero = zero || (l.low == 0 && l.t <= g.at + 1e-9 && g.at - l.t < 0.0201);
        EXPECT_TRUE(zero) << "no bucket reaches 0 where the gap at " << g.at << " s begins";
    }

    // On its own clock, with jitter and no gap: the buckets after the start
    // hold exactly the report's lowest level.
    Headset steady(HeadsetConfig(), 0, Headset::Heard());
    for (int k = 0; k < 3000; ++k) {
        uint64_t t = static_cast<uint64_t>(k) * 20 * kMs + (k % 5) * 3 * kMs;
        steady.Receive(t, t, packet.data(), packet.size());
    }
    HeadsetResult s = steady.Finish();
    ASSERT_TRUE(s.gaps.empty());
    uint32_t lowest = UINT32_MAX;
    for (const player::HeadsetLevel& l : s.levels)
        if (l.t > s.startLatency + 0.001)
            lowest = std::min(lowest, l.low);
    EXPECT_EQ(lowest, s.minLevelFrames);
    EXPECT_LT(s.minLevelFrames, s.maxLevelFrames - kPacketFrames / 2) << "the jitter moves the level";
}
