// The timed actions' schedule: in time order with the command line's order
// kept for ties, each pause's end a step of its own, and the actions playback
// never reached.
#include <gtest/gtest.h>

#include "run/schedule.h"

using namespace player;

TEST(ActionScheduleTest, StepsFallDueInTimeOrderWithPauseEndsAndTiesInTheGivenOrder)
{
    std::vector<TimedAction> actions = {{TimedAction::Pause, 1000, 500, },
                                        {TimedAction::LinkDown, 1200, 0},
                                        {TimedAction::Reset, 1500, 0},
                                        {TimedAction::LinkBack, 4000, 0}};
    ActionSchedule s(actions);
    double at = 0;
    ASSERT_TRUE(s.NextAt(&at));
    EXPECT_DOUBLE_EQ(at, 1.0);
    ActionSchedule::Step step;
    EXPECT_FALSE(s.TakeDue(0.999, &step));
    ASSERT_TRUE(s.TakeDue(1.0, &step));
    EXPECT_EQ(step.action.kind, TimedAction::Pause);
    EXPECT_FALSE(step.restart);
    EXPECT_FALSE(s.TakeDue(1.1, &step));
    ASSERT_TRUE(s.TakeDue(1.6, &step));
    EXPECT_EQ(step.action.kind, TimedAction::LinkDown);
    // The pause's end and the reset share 1.5 s: the pause came first.
    ASSERT_TRUE(s.TakeDue(1.6, &step));
    EXPECT_TRUE(step.restart);
    EXPECT_DOUBLE_EQ(step.at, 1.5);
    ASSERT_TRUE(s.TakeDue(1.6, &step));
    EXPECT_EQ(step.action.kind, TimedAction::Reset);
    EXPECT_FALSE(s.TakeDue(1.6, &step));
    ASSERT_TRUE(s.NextAt(&at));
    EXPECT_DOUBLE_EQ(at, 4.0);
    std::vector<ActionSchedule::Step> left = s.NotReached();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].action.kind, TimedAction::LinkBack);
    ASSERT_TRUE(s.TakeDue(5.0, &step));
    EXPECT_FALSE(s.NextAt(&at));
}

TEST(ActionScheduleTest, APauseNotReachedIsListedOnceWithoutItsEnd)
{
    ActionSchedule s({{TimedAction::Pause, 3000, 1000}});
    std::vector<ActionSchedule::Step> left = s.NotReached();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_FALSE(left[0].restart);
    EXPECT_DOUBLE_EQ(left[0].at, 3.0);
    ActionSchedule none({});
    double at = 0;
    EXPECT_FALSE(none.NextAt(&at));
    EXPECT_TRUE(none.NotReached().empty());
}
