// The host's performance counter and multimedia timer, on the virtual clock
// (deterministic) and, for a few concurrency cases, the real one (bounded
// watchdogs only, nothing about timing precision).
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

namespace {

using kit::Counter;

// Counts events and lets another thread wait for them, within a watchdog.
class EventCount {
public:
    void Add()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++count_;
        cv_.notify_all();
    }
    int Get()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return count_;
    }
    bool WaitAtLeast(int n, std::chrono::seconds limit = std::chrono::seconds(20))
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, limit, [&] { return count_ >= n; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    int count_ = 0;
};

// One tick as a callback saw it.
struct Tick {
    UINT id;
    DWORD_PTR user;
    uint64_t counter;
    std::thread::id thread;
    bool onService;
};

std::mutex g_ticksMutex;
std::vector<Tick> g_ticks;

void CALLBACK RecordTick(UINT id, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR)
{
    Tick t{id, user, Counter(), std::this_thread::get_id(), host::OnTimerServiceThread()};
    std::lock_guard<std::mutex> lock(g_ticksMutex);
    g_ticks.push_back(t);
}

std::vector<Tick> Ticks()
{
    std::lock_guard<std::mutex> lock(g_ticksMutex);
    return g_ticks;
}

// Ends every timer and waits for a callback that had begun, so that nothing
// on the service thread still uses a test's locals.
void StopTimersAndWait()
{
    host::UseClock(host::ClockKind::Virtual);
}

class ClockTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        host::ResetAll();
        std::lock_guard<std::mutex> lock(g_ticksMutex);
        g_ticks.clear();
    }
    void TearDown() override { host::ResetAll(); }
};

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

void CALLBACK CountTick(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR)
{
    reinterpret_cast<EventCount*>(user)->Add();
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
