// The stall watch: a silence inside one long step of the virtual clock, none
// across a pause, and on the real clock only counts that stop moving.
#include <gtest/gtest.h>

#include "run/stall.h"

using namespace player;

TEST(SilenceWatchTest, SeesASilenceInsideAStepAndNotAcrossAPause)
{
    const uint64_t s = 1000000000ull;
    SilenceWatch w;
    w.Restart(0);
    // Arrivals every second, then six seconds of nothing, then more: all
    // before the main thread looks at 20 s.
    for (uint64_t t = 1; t <= 10; ++t)
        w.Note(t * s);
    for (uint64_t t = 16; t <= 20; ++t)
        w.Note(t * s);
    EXPECT_EQ(w.Longest(20 * s), 6 * s);
    // Taken once: the next look sees only what followed.
    w.Note(21 * s);
    EXPECT_EQ(w.Longest(21 * s + s / 2), 1 * s);
    // A later note from one thread and an earlier one from another: the
    // earlier one closes no gap and does not move the watch back.
    w.Note(24 * s);
    w.Note(23 * s);
    EXPECT_EQ(w.Longest(25 * s), 3 * s);
    // Still going on at the look.
    EXPECT_EQ(w.Longest(32 * s), 8 * s);
    // A pause: the watch starts again where playing resumes.
    w.Restart(40 * s);
    w.Note(41 * s);
    EXPECT_EQ(w.Longest(41 * s), 1 * s);
}

TEST(StallWatchTest, RealClockGivesUpOnlyWhenNothingMovesForTheLimitOutsidePauses)
{
    SilenceWatch unused;
    StallWatch w(false, &unused, 5.0);
    w.Restart(0, 0);
    EXPECT_TRUE(w.Check(1.0, 0, false, 100, 1));
    EXPECT_TRUE(w.Check(6.0, 0, false, 100, 1));    // 5 s since it last moved: at the limit, not past it
    EXPECT_FALSE(w.Check(6.5, 0, false, 100, 1));
    // A pause is no stall, and playing on counts from the restart.
    StallWatch p(false, &unused, 5.0);
    p.Restart(0, 0);
    EXPECT_TRUE(p.Check(1.0, 0, false, 10, 0));
    EXPECT_TRUE(p.Check(9.0, 0, true, 10, 0));
    p.Restart(12.0, 0);
    EXPECT_TRUE(p.Check(16.0, 0, false, 10, 0));
    EXPECT_FALSE(p.Check(17.5, 0, false, 10, 0));
    // A buffer coming back is progress as much as a packet arriving.
    EXPECT_TRUE(p.Check(18.0, 0, false, 10, 1));
}

TEST(StallWatchTest, VirtualClockSeesTheSilenceInsideAStepAndNotesReturnsItFinds)
{
    const uint64_t s = 1000000000ull;
    SilenceWatch silence;
    StallWatch w(true, &silence, 5.0);
    w.Restart(0, 0);
    // Packets every second to 4 s, then none until the look at 10 s.
    for (uint64_t t = 1; t <= 4; ++t)
        silence.Note(t * s);
    EXPECT_FALSE(w.Check(10.0, 10 * s, false, 0, 0));
    // Paused: the watch starts again where the pause is seen.
    SilenceWatch quiet;
    StallWatch p(true, &quiet, 5.0);
    p.Restart(0, 0);
    EXPECT_TRUE(p.Check(20.0, 20 * s, true, 0, 0));
    EXPECT_TRUE(p.Check(24.0, 24 * s, false, 0, 0));
    // A return the main thread found itself (the event refill) is noted.
    EXPECT_TRUE(p.Check(24.5, 24 * s + s / 2, false, 0, 1));
    EXPECT_TRUE(p.Check(29.0, 29 * s, false, 0, 1));
    EXPECT_FALSE(p.Check(30.0, 30 * s, false, 0, 1));
}
