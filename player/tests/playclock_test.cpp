// The playback clock on the host's virtual clock, and the fast mode's steps.
#include <gtest/gtest.h>

#include "host/clock.h"
#include "wave/playclock.h"

using namespace player;

TEST(PlayClockTest, FastStepsGoToTheTargetWithinTheirPeriodsAndNotFarPastTheEnd)
{
    const uint64_t ms = 1000000;
    // Towards the target, when it is near.
    EXPECT_EQ(FastStepNs(100 * ms, 130 * ms, 500, 20, 60.0), 30 * ms);
    // At most `periods` periods.
    EXPECT_EQ(FastStepNs(0, 60000 * ms, 500, 20, 600.0), 10000 * ms);
    EXPECT_EQ(FastStepNs(0, 60000 * ms, 1, 20, 600.0), 20 * ms);
    // Not past the sound's end by more than a period, when stepping many.
    EXPECT_EQ(FastStepNs(0, 60000 * ms, 500, 20, 0.5), 520 * ms);
    EXPECT_EQ(FastStepNs(0, 60000 * ms, 1, 20, 0.001), 20 * ms);
    // A target reached or passed, or a tiny one: a millisecond.
    EXPECT_EQ(FastStepNs(100 * ms, 50 * ms, 500, 20, 10.0), 1 * ms);
    EXPECT_EQ(FastStepNs(100 * ms, 100 * ms + 10, 500, 20, 10.0), 1 * ms);
    // The end unknown or past: only the periods bound it.
    EXPECT_EQ(FastStepNs(0, 60000 * ms, 500, 20, -1.0), 10000 * ms);
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
