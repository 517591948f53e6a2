// The host's multimedia timer: late ticks on the virtual clock, refused
// arguments and the creation fault, one-shot timers, balanced period
// requests, the reset, and a few cases on the real clock (bounded watchdogs
// only, nothing about timing precision).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "host/clock.h"
#include "host/host.h"
#include "host/platform.h"
#include "kit/counter.h"
#include "kit/watchdog.h"
#include "support/clock_fixture.h"

namespace {

using kit::Counter;
using testing_support::ClockTest;
using testing_support::CountTick;
using testing_support::EventCount;
using testing_support::RecordTick;
using testing_support::StopTimersAndWait;
using testing_support::Tick;
using testing_support::Ticks;

// ---- Lateness ------------------------------------------------------------------------

TEST_F(ClockTest, LateTicksRunInOrderAtTheirOwnTimes)
{
    host::SetCounterFrequency(1000000);   // one count per microsecond
    // Ticks 2 and 6 are very late; the ticks after them would run earlier
    // by their own lateness, so they wait.  Tick 10 runs after 200 ms.
    const std::vector<uint64_t> lateMs = {0, 45, 3, 0, 1, 70, 0, 0, 2, 30};
    size_t next = 0;
    host::SetVirtualTickLateness([&] { return lateMs[next++ % lateMs.size()] * 1000000; });
    UINT id = timeSetEvent(20, 0, RecordTick, 0, TIME_PERIODIC);
    ASSERT_NE(id, 0u);

    // Fire times, in ms: max(deadline + lateness, previous fire time).
    std::vector<uint64_t> expectedMs;
    uint64_t previous = 0;
    for (size_t k = 0; k < lateMs.size(); ++k) {
        uint64_t fire = std::max<uint64_t>((k + 1) * 20 + lateMs[k], previous);
        expectedMs.push_back(fire);
        previous = fire;
    }

    host::AdvanceVirtualMs(200);   // all ten deadlines, but not every late tick
    auto ticks = Ticks();
    size_t due = 0;
    while (due < expectedMs.size() && expectedMs[due] <= 200)
        ++due;
    ASSERT_EQ(ticks.size(), due);
    ASSERT_LT(due, expectedMs.size());

    host::AdvanceVirtualMs(70);   // past every late tick of those deadlines
    ticks = Ticks();
    ASSERT_GE(ticks.size(), expectedMs.size());
    for (size_t k = 0; k < expectedMs.size(); ++k)
        EXPECT_EQ(ticks[k].counter, expectedMs[k] * 1000) << "tick " << k;
    for (size_t k = 1; k < ticks.size(); ++k)
        EXPECT_GE(ticks[k].counter, ticks[k - 1].counter);
    timeKillEvent(id);
}

// ---- Creation, faults, one-shot, balance, reset --------------------------------------

TEST_F(ClockTest, TimerCreateFaultAndRefusedArguments)
{
    host::FailNext(host::Fault::TimerCreate);
    EXPECT_EQ(timeSetEvent(20, 0, RecordTick, 0, TIME_PERIODIC), 0u);
    EXPECT_EQ(host::TimersCreated(), 0u);
    EXPECT_EQ(host::ActiveTimerCount(), 0);

    EXPECT_EQ(timeSetEvent(0, 0, RecordTick, 0, TIME_PERIODIC), 0u);   // zero period
    EXPECT_EQ(timeSetEvent(20, 0, nullptr, 0, TIME_PERIODIC), 0u);
    EXPECT_EQ(timeSetEvent(20, 0, RecordTick, 0, TIME_PERIODIC | 0x10), 0u);   // event callbacks
    EXPECT_EQ(host::TimersCreated(), 0u);

    UINT a = timeSetEvent(20, 0, RecordTick, 0, TIME_PERIODIC);
    UINT b = timeSetEvent(20, 0, RecordTick, 0, TIME_PERIODIC);
    EXPECT_NE(a, 0u);
    EXPECT_NE(b, 0u);
    EXPECT_NE(a, b);
    EXPECT_EQ(host::TimersCreated(), 2u);
    EXPECT_EQ(host::ActiveTimerCount(), 2);
    host::AdvanceVirtualMs(20);
    EXPECT_EQ(Ticks().size(), 2u);
    timeKillEvent(a);
    timeKillEvent(b);
    // Ids are not handed out again, so a stale kill cannot end a new timer.
    UINT c = timeSetEvent(20, 0, RecordTick, 0, TIME_PERIODIC);
    EXPECT_NE(c, a);
    EXPECT_NE(c, b);
    EXPECT_EQ(timeKillEvent(a), static_cast<MMRESULT>(MMSYSERR_INVALPARAM));
    EXPECT_EQ(host::ActiveTimerCount(), 1);
}

TEST_F(ClockTest, OneShotTimerFiresOnceAndEnds)
{
    UINT id = timeSetEvent(5, 0, RecordTick, 0, TIME_ONESHOT);
    ASSERT_NE(id, 0u);
    host::AdvanceVirtualMs(100);
    ASSERT_EQ(Ticks().size(), 1u);
    EXPECT_EQ(Ticks()[0].counter, 50000u);
    EXPECT_EQ(host::ActiveTimerCount(), 0);
    EXPECT_EQ(timeKillEvent(id), static_cast<MMRESULT>(MMSYSERR_INVALPARAM));
}

TEST_F(ClockTest, PeriodRequestsBalance)
{
    EXPECT_EQ(timeBeginPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(timeBeginPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(host::TimerPeriodBalance(), 2);
    EXPECT_EQ(timeEndPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(timeBeginPeriod(0), static_cast<MMRESULT>(TIMERR_NOCANDO));
    EXPECT_EQ(timeEndPeriod(0), static_cast<MMRESULT>(TIMERR_NOCANDO));
    EXPECT_EQ(host::TimerPeriodBalance(), 1);
    EXPECT_EQ(timeEndPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(timeEndPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(host::TimerPeriodBalance(), -1);   // one give-back too many shows
    host::ResetAll();
    EXPECT_EQ(host::TimerPeriodBalance(), 0);
}

TEST_F(ClockTest, ResetStopsTimersAndRestoresTheClock)
{
    std::vector<uint64_t> observed;
    host::SetTickObserver([&](uint64_t c) { observed.push_back(c); });
    host::SetCounterFrequency(1000);
    host::SetVirtualTickLateness([] { return 5000000ull; });
    timeBeginPeriod(1);
    UINT id = timeSetEvent(10, 0, RecordTick, 0, TIME_PERIODIC);
    host::AdvanceVirtualMs(30);
    ASSERT_EQ(Ticks().size(), 2u);   // at 15 and 25 ms
    EXPECT_EQ(observed, (std::vector<uint64_t>{15, 25}));

    host::ResetAll();
    EXPECT_EQ(host::ActiveTimerCount(), 0);
    EXPECT_EQ(host::TimersCreated(), 0u);
    EXPECT_EQ(host::TimerPeriodBalance(), 0);
    LARGE_INTEGER f;
    ASSERT_TRUE(QueryPerformanceFrequency(&f));
    EXPECT_EQ(f.QuadPart, 10000000);
    EXPECT_EQ(Counter(), 0u);
    EXPECT_TRUE(QueryPerformanceCounter(&f));
    EXPECT_EQ(host::VirtualNowNs(), 0u);
    EXPECT_FALSE(QueryPerformanceCounter(nullptr));
    EXPECT_FALSE(QueryPerformanceFrequency(nullptr));
    EXPECT_EQ(timeKillEvent(id), static_cast<MMRESULT>(MMSYSERR_INVALPARAM));

    UINT again = timeSetEvent(10, 0, RecordTick, 0, TIME_PERIODIC);
    host::AdvanceVirtualMs(10);
    auto ticks = Ticks();
    ASSERT_EQ(ticks.size(), 3u);
    EXPECT_EQ(ticks[2].counter, 100000u);   // on time: lateness went with the reset
    EXPECT_EQ(observed.size(), 2u);          // and so did the observer
    timeKillEvent(again);
}

// ---- Real clock smoke -----------------------------------------------------------------

TEST_F(ClockTest, RealClockTicksAndCounts)
{
    kit::Watchdog watchdog(std::chrono::seconds(60), "the real clock's timer thread");
    host::UseClock(host::ClockKind::Real);
    EXPECT_EQ(host::CurrentClock(), host::ClockKind::Real);
    EXPECT_EQ(host::CounterFrequency(), 1000000000u);
    uint64_t c0 = Counter();
    EventCount ticks;
    std::mutex observedMutex;
    std::vector<uint64_t> observed;
    host::SetTickObserver([&](uint64_t c) {
        std::lock_guard<std::mutex> lock(observedMutex);
        observed.push_back(c);
    });
    UINT id = timeSetEvent(5, 0, CountTick, reinterpret_cast<DWORD_PTR>(&ticks), TIME_PERIODIC);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(ticks.WaitAtLeast(2));
    EXPECT_EQ(timeKillEvent(id), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_GT(Counter(), c0);
    host::ResetAll();   // waits for a tick that had begun; back to the virtual clock
    EXPECT_EQ(host::CurrentClock(), host::ClockKind::Virtual);
    std::lock_guard<std::mutex> lock(observedMutex);
    ASSERT_GE(observed.size(), 2u);
    for (size_t i = 1; i < observed.size(); ++i)
        EXPECT_GT(observed[i], observed[i - 1]);
    EXPECT_GT(observed[0], c0);
}

TEST_F(ClockTest, RealClockAsksForRealTimeSchedulingAndSaysWhatItGot)
{
    kit::Watchdog watchdog(std::chrono::seconds(60), "the real clock's timer thread");
    host::UseClock(host::ClockKind::Real);
    EventCount ticks;
    UINT id = timeSetEvent(2, 0, CountTick, reinterpret_cast<DWORD_PTR>(&ticks), TIME_PERIODIC);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(ticks.WaitAtLeast(1));
    std::string s = host::TimerThreadScheduling();
    // Either granted or refused with its reason; never silent.
    EXPECT_TRUE(s.rfind("SCHED_FIFO priority ", 0) == 0 || s.find("refused") != std::string::npos) << s;
    timeKillEvent(id);
    host::ResetAll();
}

TEST_F(ClockTest, CounterReadWithoutTheLockNeverGoesBackDuringAdvances)
{
    kit::Watchdog watchdog(std::chrono::seconds(60), "the counter's reader thread");
    // A reader on another thread sees the counter only move forward, and
    // by whole advances' worth at most, while the clock is advanced and its
    // frequency changed under it.
    std::atomic<bool> stop{false};
    std::atomic<bool> wentBack{false};
    std::thread reader([&] {
        uint64_t last = 0;
        while (!stop) {
            uint64_t c = Counter();
            if (c < last)
                wentBack = true;
            last = c;
        }
    });
    for (int i = 0; i < 2000; ++i) {
        host::AdvanceVirtualNs(1000 + i);
        if (i % 500 == 0)
            host::SetCounterFrequency(i % 1000 == 0 ? 3579545 : 10000000);
    }
    stop = true;
    reader.join();
    EXPECT_FALSE(wentBack);
}

}  // namespace
