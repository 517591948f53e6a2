// The host's performance counter and multimedia timer on the virtual clock:
// ticks in deadline order on the service thread, the exact counter, timers
// killed from their own callback or while a tick waits on the killer's lock,
// and one callback at a time.  The rest is host_timer_test.cpp's.
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
using testing_support::g_ticks;
using testing_support::g_ticksMutex;
using testing_support::RecordTick;
using testing_support::StopTimersAndWait;
using testing_support::Tick;
using testing_support::Ticks;

// ---- Virtual clock: order, thread, exact counter -------------------------------------

TEST_F(ClockTest, TicksOfTwoTimersRunInDeadlineOrderOnTheServiceThread)
{
    UINT a = timeSetEvent(20, 0, RecordTick, 1, TIME_PERIODIC);
    UINT b = timeSetEvent(30, 0, RecordTick, 2, TIME_PERIODIC);
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    ASSERT_NE(a, b);
    EXPECT_EQ(host::ActiveTimerCount(), 2);
    EXPECT_TRUE(Ticks().empty()) << "the virtual clock must stand still until advanced";

    host::AdvanceVirtualMs(60);   // returns once every due tick has run
    auto ticks = Ticks();
    // At 10 MHz one millisecond is 10000 counts.  Equal deadlines run in
    // creation order.
    std::vector<std::pair<DWORD_PTR, uint64_t>> expected = {
        {1, 200000}, {2, 300000}, {1, 400000}, {1, 600000}, {2, 600000}};
    ASSERT_EQ(ticks.size(), expected.size());
    for (size_t i = 0; i < ticks.size(); ++i) {
        EXPECT_EQ(ticks[i].user, expected[i].first) << i;
        EXPECT_EQ(ticks[i].counter, expected[i].second) << i;
        EXPECT_EQ(ticks[i].id, ticks[i].user == 1 ? a : b);
        EXPECT_NE(ticks[i].thread, std::this_thread::get_id());
        EXPECT_EQ(ticks[i].thread, ticks[0].thread);
        EXPECT_TRUE(ticks[i].onService);
    }
    EXPECT_FALSE(host::OnTimerServiceThread());
    EXPECT_EQ(Counter(), 600000u);
    EXPECT_EQ(host::VirtualNowNs(), 60000000u);

    // Part of a period fires nothing; the rest of it fires the tick.
    host::AdvanceVirtualMs(19);
    EXPECT_EQ(Ticks().size(), 5u);
    host::AdvanceVirtualNs(999999);
    EXPECT_EQ(Ticks().size(), 5u);
    host::AdvanceVirtualNs(1);
    EXPECT_EQ(Ticks().size(), 6u);
    EXPECT_EQ(Ticks().back().counter, 800000u);
    EXPECT_EQ(timeKillEvent(a), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(timeKillEvent(b), static_cast<MMRESULT>(TIMERR_NOERROR));
}

TEST_F(ClockTest, RunNextVirtualTickJumpsToTheNextDeadline)
{
    EXPECT_FALSE(host::RunNextVirtualTick());
    EXPECT_EQ(Counter(), 0u);
    host::SetCounterFrequency(1000);
    UINT id = timeSetEvent(30, 0, RecordTick, 0, TIME_PERIODIC);
    ASSERT_NE(id, 0u);
    host::AdvanceVirtualMs(7);
    EXPECT_TRUE(host::RunNextVirtualTick());
    EXPECT_TRUE(host::RunNextVirtualTick());
    auto ticks = Ticks();
    ASSERT_EQ(ticks.size(), 2u);
    EXPECT_EQ(ticks[0].counter, 30u);
    EXPECT_EQ(ticks[1].counter, 60u);
    EXPECT_EQ(Counter(), 60u);
    timeKillEvent(id);
    EXPECT_FALSE(host::RunNextVirtualTick());
}

TEST_F(ClockTest, CounterIsExactAtEveryFrequency)
{
    for (uint64_t f : {1000ull, 3579545ull, 10000000ull, 1000000000ull, 44100ull}) {
        SCOPED_TRACE(f);
        host::ResetAll();
        {
            std::lock_guard<std::mutex> lock(g_ticksMutex);
            g_ticks.clear();
        }
        host::SetCounterFrequency(f);
        LARGE_INTEGER q;
        ASSERT_TRUE(QueryPerformanceFrequency(&q));
        EXPECT_EQ(static_cast<uint64_t>(q.QuadPart), f);
        EXPECT_EQ(host::CounterFrequency(), f);

        // Counts advance exactly, also from odd points between two counts.
        host::AdvanceVirtualCounts(1);
        EXPECT_EQ(Counter(), 1u);
        host::AdvanceVirtualNs(7);
        uint64_t c = Counter();
        for (uint64_t n : {1ull, 2ull, 3ull, 999ull, 123457ull}) {
            host::AdvanceVirtualCounts(n);
            c += n;
            EXPECT_EQ(Counter(), c);
        }
        // A whole second is f counts, however the time was reached.
        uint64_t before = Counter();
        host::AdvanceVirtualMs(1000);
        EXPECT_EQ(Counter(), before + f);

        // Ticks of a 20 ms timer land on exact deadlines: tick k sees the
        // counter at floor(start + k * 20 ms).
        host::ResetAll();
        host::SetCounterFrequency(f);
        UINT id = timeSetEvent(20, 0, RecordTick, 0, TIME_PERIODIC);
        ASSERT_NE(id, 0u);
        for (int i = 0; i < 10; ++i)
            host::AdvanceVirtualCounts(f / 7 + 1);   // steps unrelated to the period
        auto ticks = Ticks();
        uint64_t end = Counter();
        ASSERT_EQ(ticks.size(), (end * 1000 / f) / 20) << "end counter " << end;
        for (size_t k = 0; k < ticks.size(); ++k)
            EXPECT_EQ(ticks[k].counter, (k + 1) * 20 * f / 1000) << k;
        timeKillEvent(id);
    }
}

TEST_F(ClockTest, LargeCountsStayExact)
{
    // Beyond what a 64-bit product of counts and nanoseconds could hold.
    host::SetCounterFrequency(3579545);
    const uint64_t big = 3579545ull * 3600 * 24 * 30;   // thirty days
    host::AdvanceVirtualCounts(big);
    EXPECT_EQ(Counter(), big);
    host::AdvanceVirtualCounts(3);
    EXPECT_EQ(Counter(), big + 3);
    EXPECT_EQ(host::VirtualNowNs(), (big + 3) / 3579545 * 1000000000ull +
                                        ((big + 3) % 3579545) * 1000000000ull / 3579545);
}

TEST_F(ClockTest, FrequencyChangeKeepsTheCounterContinuous)
{
    host::SetCounterFrequency(3579545);
    host::AdvanceVirtualNs(1234567);   // between two counts
    uint64_t c = Counter();
    EXPECT_EQ(c, 1234567ull * 3579545 / 1000000000);
    host::SetCounterFrequency(1000);
    EXPECT_EQ(Counter(), c);
    host::AdvanceVirtualMs(1000);
    EXPECT_EQ(Counter(), c + 1000);
    host::SetCounterFrequency(0);   // the default again
    EXPECT_EQ(host::CounterFrequency(), 10000000u);
    host::AdvanceVirtualCounts(5);
    EXPECT_EQ(Counter(), c + 1005);
}

// ---- Killing -------------------------------------------------------------------

std::atomic<int> g_selfKillTicks{0};
std::atomic<MMRESULT> g_selfKillResult{99};

void CALLBACK KillSelfOnThirdTick(UINT id, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR)
{
    if (++g_selfKillTicks == 3)
        g_selfKillResult = timeKillEvent(id);
}

TEST_F(ClockTest, CallbackCanKillItsOwnTimer)
{
    g_selfKillTicks = 0;
    UINT id = timeSetEvent(10, 0, KillSelfOnThirdTick, 0, TIME_PERIODIC);
    ASSERT_NE(id, 0u);
    host::AdvanceVirtualMs(200);
    EXPECT_EQ(g_selfKillTicks.load(), 3);
    EXPECT_EQ(g_selfKillResult.load(), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(host::ActiveTimerCount(), 0);
    EXPECT_EQ(host::TimersKilled(), 1u);
    EXPECT_EQ(timeKillEvent(id), static_cast<MMRESULT>(MMSYSERR_INVALPARAM));
    EXPECT_EQ(timeKillEvent(0), static_cast<MMRESULT>(MMSYSERR_INVALPARAM));
}

// The driver's case: its tick stops its own timer and a write from inside the
// tick starts a new one, all on the service thread.
std::atomic<UINT> g_replacement{0};

void CALLBACK ReplaceSelf(UINT id, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR)
{
    RecordTick(id, 0, 1, 0, 0);
    timeKillEvent(id);
    g_replacement = timeSetEvent(15, 0, RecordTick, 2, TIME_PERIODIC);
}

TEST_F(ClockTest, TimerCreatedInsideACallbackTicksInTheSameAdvance)
{
    host::SetCounterFrequency(1000);
    ASSERT_NE(timeSetEvent(10, 0, ReplaceSelf, 0, TIME_PERIODIC), 0u);
    host::AdvanceVirtualMs(50);
    auto ticks = Ticks();
    ASSERT_EQ(ticks.size(), 3u);
    EXPECT_EQ(ticks[0].counter, 10u);
    EXPECT_EQ(ticks[1].counter, 25u);   // created at 10, period 15
    EXPECT_EQ(ticks[2].counter, 40u);
    EXPECT_EQ(ticks[1].id, g_replacement.load());
    EXPECT_EQ(host::ActiveTimerCount(), 1);
}

// A tick blocked on a lock that the killer holds: the kill returns at once,
// and no tick of that timer begins afterwards.
struct BlockingTimer {
    std::mutex* mutex = nullptr;             // virtual case
    CRITICAL_SECTION* section = nullptr;     // real case
    EventCount begun;
    EventCount finished;
};

void CALLBACK BlockOnLock(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR)
{
    auto* b = reinterpret_cast<BlockingTimer*>(user);
    b->begun.Add();
    if (b->mutex) {
        b->mutex->lock();
        b->mutex->unlock();
    } else {
        EnterCriticalSection(b->section);
        LeaveCriticalSection(b->section);
    }
    b->finished.Add();
}

// Runs timeKillEvent on a helper thread within a watchdog; a kill that waits
// for the blocked tick would deadlock, which ends the test run.
MMRESULT KillWithinWatchdog(UINT id)
{
    kit::Watchdog watchdog(std::chrono::seconds(20),
                           "timeKillEvent (which must not wait for a tick blocked on the caller's lock)");
    MMRESULT result = 0xFFFF;
    std::thread killer([&] { result = timeKillEvent(id); });
    killer.join();
    return result;
}

TEST_F(ClockTest, KillDoesNotWaitForATickBlockedOnTheKillersLockVirtual)
{
    kit::Watchdog watchdog(std::chrono::seconds(60), "the advancing thread");
    std::mutex streamLock;
    BlockingTimer b;
    b.mutex = &streamLock;
    UINT id = timeSetEvent(20, 0, BlockOnLock, reinterpret_cast<DWORD_PTR>(&b), TIME_PERIODIC);
    ASSERT_NE(id, 0u);

    streamLock.lock();
    std::thread advancer([] { host::AdvanceVirtualMs(100); });   // five deadlines
    ASSERT_TRUE(b.begun.WaitAtLeast(1));
    EXPECT_EQ(KillWithinWatchdog(id), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(host::ActiveTimerCount(), 0);
    streamLock.unlock();
    advancer.join();

    EXPECT_EQ(b.begun.Get(), 1);
    EXPECT_EQ(b.finished.Get(), 1);
    EXPECT_EQ(Counter(), 1000000u);
    host::AdvanceVirtualMs(100);
    EXPECT_EQ(b.begun.Get(), 1);
}

TEST_F(ClockTest, KillDoesNotWaitForATickBlockedOnTheKillersLockReal)
{
    kit::Watchdog watchdog(std::chrono::seconds(60), "the real clock's timer thread");
    host::UseClock(host::ClockKind::Real);
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    BlockingTimer b;
    b.section = &cs;

    EnterCriticalSection(&cs);
    UINT id = timeSetEvent(2, 0, BlockOnLock, reinterpret_cast<DWORD_PTR>(&b), TIME_PERIODIC);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(b.begun.WaitAtLeast(1));
    EXPECT_EQ(KillWithinWatchdog(id), static_cast<MMRESULT>(TIMERR_NOERROR));
    LeaveCriticalSection(&cs);
    ASSERT_TRUE(b.finished.WaitAtLeast(1));

    // Let the service run well past the killed timer's next deadlines: a
    // second timer ticking several times proves that.
    EventCount sentinel;
    UINT other = timeSetEvent(2, 0, CountTick, reinterpret_cast<DWORD_PTR>(&sentinel), TIME_PERIODIC);
    ASSERT_NE(other, 0u);
    ASSERT_TRUE(sentinel.WaitAtLeast(5));
    EXPECT_EQ(b.begun.Get(), 1);
    timeKillEvent(other);
    StopTimersAndWait();
    DeleteCriticalSection(&cs);
}

// ---- One callback at a time -------------------------------------------------------

std::atomic<int> g_inside{0};
std::atomic<int> g_overlaps{0};

void CALLBACK DetectOverlap(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR)
{
    if (g_inside.fetch_add(1) != 0)
        ++g_overlaps;
    for (int i = 0; i < 50; ++i)
        std::this_thread::yield();
    g_inside.fetch_sub(1);
    reinterpret_cast<EventCount*>(user)->Add();
}

TEST_F(ClockTest, CallbacksOfTwoTimersNeverOverlap)
{
    kit::Watchdog watchdog(std::chrono::seconds(60), "the real clock's timer thread");
    g_overlaps = 0;
    host::UseClock(host::ClockKind::Real);
    EventCount c, d;
    UINT ic = timeSetEvent(1, 0, DetectOverlap, reinterpret_cast<DWORD_PTR>(&c), TIME_PERIODIC);
    UINT id = timeSetEvent(1, 0, DetectOverlap, reinterpret_cast<DWORD_PTR>(&d), TIME_PERIODIC);
    ASSERT_TRUE(c.WaitAtLeast(20));
    ASSERT_TRUE(d.WaitAtLeast(20));
    timeKillEvent(ic);
    timeKillEvent(id);
    StopTimersAndWait();
    EXPECT_EQ(g_overlaps.load(), 0);
}

}  // namespace
