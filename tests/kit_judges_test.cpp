// The test kit's judges of what the driver posts, on their own, against the
// documented rules they stand for: the pacing clock (how many bytes a tick
// may ask for, docs/registry.md and the whole-frame design decisions) and
// the queue model's packet rule (a packet is the next bytes of the stream
// the application wrote).  The driver is not involved: a judge that agreed
// with the driver only because it copied it would pass the suites that
// compare them and fail here.
#include <gtest/gtest.h>

#include <vector>

#include "driver/config.h"
#include "host/registry.h"
#include "kit/header_pool.h"
#include "kit/pacing_clock.h"
#include "kit/queue_model.h"
#include "support/driver_fixture.h"

namespace {

using testing_support::HostTest;

constexpr uint64_t kFrequency = 3000017;   // counts per second, not a round number

TEST(KitPacingClock, TicksAskForWholeFramesKeepingToTheCounterWithinOneFrameNeverAhead)
{
    kit::PacingValues v;
    v.sample = 88203;   // bytes per second, odd
    v.cacheLen = 0;
    kit::PacingClock clock;
    clock.Configure(v, kFrequency, 1000);
    // The first tick asks for the reserve (none here); the pacing runs from it.
    uint64_t start = 1000 + 12345;
    EXPECT_EQ(clock.Tick(start, true), 0u);
    uint64_t now = start;
    uint64_t asked = 0;
    // Irregular tick spacing, as late ticks make it.
    for (int i = 0; i < 500; ++i) {
        now += 20000 + (i * 7919) % 45000;
        uint32_t due = clock.Tick(now, true);
        EXPECT_EQ(due % 4, 0u) << "tick " << i;
        asked += due;
        // What the counter time since the start is worth, exactly.
        uint64_t worth = (now - start) * v.sample / kFrequency;
        ASSERT_LE(asked, worth) << "tick " << i;
        ASSERT_LT(worth - asked, 4u) << "tick " << i;
    }
}

TEST(KitPacingClock, TheReserveComesOnceAfterAStartAndTheTimeWithoutATimerIsNotPaid)
{
    kit::PacingValues v;
    v.sample = 176400;
    v.cacheLen = 6144;
    kit::PacingClock clock;
    clock.Configure(v, 10000000, 0);
    // Nothing queued: the time goes, the reserve stays due.
    EXPECT_EQ(clock.Tick(100000, false), 0u);
    EXPECT_EQ(clock.Tick(200000, true), 6144u);
    EXPECT_EQ(clock.Tick(400000, true), 3528u);   // 20 ms at 176,400 bytes a second
    // Paused from 400000 to 10400000 and resumed: one second is not paid,
    // and no second reserve.
    clock.Rebase(10400000);
    EXPECT_EQ(clock.Tick(10600000, true), 3528u);
    // A start from idle asks for the reserve again.
    clock.Configure(v, 10000000, 20000000);
    EXPECT_EQ(clock.Tick(20200000, true), 6144u);
}

class KitPacingFromRegistry : public HostTest {};

TEST_F(KitPacingFromRegistry, ExactlyFourBytesAreTakenZeroOnlyForTheReserveWholeFrames)
{
    host::RegistryDeleteValue(BTWAV_PARAMS_KEY, BTWAV_VALUE_SAMPLE);
    host::RegistryDeleteValue(BTWAV_PARAMS_KEY, BTWAV_VALUE_CACHELEN);
    kit::PacingValues v = kit::PacingFromRegistry();
    EXPECT_EQ(v.sample, uint32_t(BT_AUDIO_DEFAULT_SAMPLE));
    EXPECT_EQ(v.cacheLen, uint32_t(BT_AUDIO_DEFAULT_CACHELEN));

    host::RegistrySetDword(BTWAV_PARAMS_KEY, BTWAV_VALUE_SAMPLE, 0);
    host::RegistrySetDword(BTWAV_PARAMS_KEY, BTWAV_VALUE_CACHELEN, 0);
    v = kit::PacingFromRegistry();
    EXPECT_EQ(v.sample, uint32_t(BT_AUDIO_DEFAULT_SAMPLE));
    EXPECT_EQ(v.cacheLen, 0u);

    // Any type of exactly 4 bytes, little-endian; the reserve in whole frames.
    host::RegistrySetValue(BTWAV_PARAMS_KEY, BTWAV_VALUE_SAMPLE, 3 /* REG_BINARY */, {0x10, 0x27, 0, 0});
    host::RegistrySetDword(BTWAV_PARAMS_KEY, BTWAV_VALUE_CACHELEN, 6145);
    v = kit::PacingFromRegistry();
    EXPECT_EQ(v.sample, 10000u);
    EXPECT_EQ(v.cacheLen, 6144u);

    host::RegistrySetValue(BTWAV_PARAMS_KEY, BTWAV_VALUE_SAMPLE, 4 /* REG_DWORD */, {1, 2});
    host::RegistrySetDword(BTWAV_PARAMS_KEY, BTWAV_VALUE_CACHELEN, 3);
    v = kit::PacingFromRegistry();
    EXPECT_EQ(v.sample, uint32_t(BT_AUDIO_DEFAULT_SAMPLE));
    EXPECT_EQ(v.cacheLen, 0u);
}

// The model's packet rule over headers written by hand, with no driver.
class KitPacketRule : public ::testing::Test {
protected:
    KitPacketRule() { model_.pool = &pool_; }

    // Header i, `length` bytes (each its own value) and readable or not, written.
    void Written(int i, DWORD length, bool readable = true)
    {
        std::vector<uint8_t> bytes(length);
        for (DWORD k = 0; k < length; ++k)
            bytes[k] = static_cast<uint8_t>(16 * i + k + 1);
        pool_.PrepareWith(i, bytes);
        model_.h[i].flags = WHDR_PREPARED;
        model_.h[i].length = length;
        model_.h[i].unreadable = !readable;
        ASSERT_EQ(model_.Write(i), DWORD(MMSYSERR_NOERROR));
    }
    std::vector<uint8_t> Bytes(int i, DWORD from, DWORD to) const
    {
        const std::vector<uint8_t>& b = pool_.Buffer(i);
        return std::vector<uint8_t>(b.begin() + from, b.begin() + to);
    }
    std::vector<uint8_t> Post(DWORD requested)
    {
        kit::ModelPacket p;
        return model_.Post(requested, true, false, false, &p) ? p.audio : std::vector<uint8_t>();
    }
    static std::vector<uint8_t> Cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b)
    {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }

    kit::HeaderPool pool_{4};
    kit::QueueModel model_;
};

TEST_F(KitPacketRule, BuffersNotWholeFramesAreOneStreamAndAPartFrameAtTheEndWaits)
{
    Written(0, 5);
    Written(1, 6);
    EXPECT_EQ(Post(6), Cat(Bytes(0, 0, 4), {}));   // the request in whole frames
    EXPECT_EQ(Post(100), Cat(Bytes(0, 4, 5), Bytes(1, 0, 3)));
    EXPECT_EQ(model_.h[1].consumed, 3u);
    // 3 bytes are all that is queued: they go out completed with a zero.
    EXPECT_EQ(Post(100), Cat(Bytes(1, 3, 6), {0}));
    EXPECT_TRUE(Post(100).empty());
}

TEST_F(KitPacketRule, AnUnreadableBufferIsLostWholeOnlyWhenTheStreamReachesIt)
{
    Written(0, 8);
    Written(1, 8, false);
    Written(2, 8);
    EXPECT_EQ(Post(8), Bytes(0, 0, 8));
    EXPECT_EQ(model_.h[1].consumed, 0u) << "not reached: the budget was spent before it";
    EXPECT_EQ(Post(8), Bytes(2, 0, 8));
    EXPECT_EQ(model_.h[1].consumed, 8u);
}

TEST_F(KitPacketRule, APartFrameLeftByALostBufferWaitsInItsHeaderOrIsCompletedWhenItSpansTwo)
{
    // 6 + 3 readable bytes around a lost buffer, budget 16: one byte past
    // the last whole frame, all from header 2, which keeps it.
    Written(0, 6);
    Written(1, 8, false);
    Written(2, 3);
    EXPECT_EQ(Post(100), Cat(Bytes(0, 0, 6), Bytes(2, 0, 2)));
    EXPECT_EQ(model_.h[2].consumed, 2u);

    // 5 + 2 readable bytes, the part frame of 3 from two headers: zeros.
    model_ = kit::QueueModel();
    model_.pool = &pool_;
    Written(0, 5);
    Written(1, 8, false);
    Written(3, 2);
    EXPECT_EQ(Post(100), Cat(Cat(Bytes(0, 0, 5), Bytes(3, 0, 2)), {0}));
    EXPECT_EQ(model_.h[3].consumed, 2u);

    // The stream ends in a lost buffer: the part frame is still all from
    // the last header heard, and waits there.
    model_ = kit::QueueModel();
    model_.pool = &pool_;
    Written(0, 5);
    Written(1, 8, false);
    EXPECT_EQ(Post(100), Bytes(0, 0, 4));
    EXPECT_EQ(model_.h[0].consumed, 4u);
    EXPECT_EQ(model_.h[1].consumed, 8u);
}

}  // namespace
