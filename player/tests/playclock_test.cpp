// The playback clock on the host's virtual clock, and the fast mode's steps.
#include <gtest/gtest.h>

#include "host/clock.h"
#include "wave/playclock.h"

using namespace player;

TEST(PlayClockTest, FastWaitsReachTheirTargetNeverEarlyAndAlwaysLetTheClockMove)
{
    const uint64_t ms = 1000000;
    EXPECT_EQ(FastWaitMs(100 * ms, 130 * ms), 30u);
    // Rounded up: the main thread does not wake before its action.
    EXPECT_EQ(FastWaitMs(100 * ms, 130 * ms + 1), 31u);
    // A target reached or passed: a millisecond, so that the clock can move.
    EXPECT_EQ(FastWaitMs(100 * ms, 100 * ms), 1u);
    EXPECT_EQ(FastWaitMs(100 * ms, 50 * ms), 1u);
    // Never INFINITE, which would mean no time-out at all.
    EXPECT_EQ(FastWaitMs(0, ~uint64_t(0)), 0xFFFFFFFEu);
}

TEST(PlayClockTest, VirtualPlaybackTimeCountsFromTheFirstWriteAndAFailureEndsIt)
{
    host::UseClock(host::ClockKind::Virtual);
    PlayClock c(true);
    EXPECT_FALSE(c.Started());
    host::AdvanceVirtualMs(250);
    c.Start(Counter());
    EXPECT_TRUE(c.Started());
    EXPECT_DOUBLE_EQ(c.Seconds(), 0.0);
    host::AdvanceVirtualMs(1500);
    EXPECT_DOUBLE_EQ(c.Seconds(), 1.5);
    EXPECT_EQ(c.VirtualNsAt(2.0) - c.VirtualNsAt(0.5), 1500000000ull);
    c.EndNow(Counter());
    EXPECT_NEAR(c.CounterSeconds(Frequency()), 1.5, 1e-6);
    // Ended once: a later failure keeps the end.
    host::AdvanceVirtualMs(1000);
    c.EndNow(Counter());
    EXPECT_NEAR(c.CounterSeconds(Frequency()), 1.5, 1e-6);
    // A run that never started has no length.
    PlayClock never(true);
    never.EndNow(Counter());
    EXPECT_EQ(never.CounterSeconds(Frequency()), 0.0);
    host::UseClock(host::ClockKind::Real);
}
