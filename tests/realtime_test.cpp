// The host's real-time parts on the real clock: critical sections lend a
// waiting real-time thread's priority to the holder, and the late-tick
// audit says where a late tick's time went; the driver's heap.  Every wait has a watchdog; the
// figures asserted are far above any scheduling noise (a tick held 60 ms
// by a lock is at least 60 ms late, whatever the machine).
#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "btstandin/btstandin.h"
#include "host/clock.h"
#include "host/faults.h"
#include "host/host.h"
#include "host/platform.h"
#include "host/realtime.h"
#include "kit/packets.h"
#include "kit/watchdog.h"
#include "support/driver_fixture.h"

namespace {

class RealTimeTest : public testing_support::HostTest {
protected:
    void TearDown() override
    {
        host::StopTickAudit();
        host::UseClock(host::ClockKind::Virtual);
        HostTest::TearDown();
    }
    kit::Watchdog watchdog_{std::chrono::seconds(120), "a real-time case"};
};

// The kernel's priority of a thread of this process, field 18 of its stat
// line: 20 + nice (0 to 39) for a normal thread, -1 - P for SCHED_FIFO
// priority P.
int KernelPriority(pid_t tid)
{
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(in, line);
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string f;
    for (int i = 3; i <= 18 && fields >> f; ++i) {
    }
    return std::stoi(f);
}

TEST_F(RealTimeTest, AWaitingRealTimeThreadLendsItsPriorityToTheHolder)
{
    if (!host::PriorityInheritance())
        GTEST_SKIP() << "the kernel has no priority-inheriting futexes here";
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    std::atomic<pid_t> holderTid{0};
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::thread holder([&] {
        EnterCriticalSection(&cs);
        holderTid = static_cast<pid_t>(syscall(SYS_gettid));
        released.wait_for(std::chrono::seconds(20));
        LeaveCriticalSection(&cs);
    });
    while (holderTid.load() == 0)
        std::this_thread::yield();
    const int before = KernelPriority(holderTid);

    std::atomic<bool> realTime{false};
    std::thread waiter([&] {
        sched_param p{};
        p.sched_priority = 40;
        realTime = pthread_setschedparam(pthread_self(), SCHED_FIFO, &p) == 0;
        EnterCriticalSection(&cs);
        LeaveCriticalSection(&cs);
    });
    // While the waiter waits, the holder runs at its priority.
    int during = before;
    for (int i = 0; i < 2000 && during == before; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        during = KernelPriority(holderTid);
    }
    release.set_value();
    holder.join();
    waiter.join();
    DeleteCriticalSection(&cs);
    if (!realTime)
        GTEST_SKIP() << "this process may not have SCHED_FIFO";
    // The holder starts as a normal thread, whatever niceness the test runs at.
    EXPECT_GE(before, 0);
    EXPECT_EQ(during, -41);
}

// A periodic real-clock timer whose ticks do what the test asks, one thing
// per tick number.
struct Ticker {
    std::function<void(int)> onTick;
    std::atomic<int> ticks{0};
    static void CALLBACK Proc(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR)
    {
        auto* t = reinterpret_cast<Ticker*>(user);
        int n = t->ticks.fetch_add(1);
        t->onTick(n);
    }
};

TEST_F(RealTimeTest, TheAuditSaysWhereALateTicksTimeWent)
{
    host::UseClock(host::ClockKind::Real);
    btstandin::FreeOnPost(true);
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    std::atomic<uint32_t> holderId{0};
    std::atomic<bool> holding{false};
    std::thread holder;

    Ticker t;
    t.onTick = [&](int n) {
        if (n == 3) {
            // Another thread holds the section for 60 ms; this tick waits.
            holder = std::thread([&] {
                host::NameThisThread("test holder");
                EnterCriticalSection(&cs);
                holderId = GetCurrentThreadId();
                holding = true;
                std::this_thread::sleep_for(std::chrono::milliseconds(60));
                LeaveCriticalSection(&cs);
            });
            while (!holding.load())
                std::this_thread::yield();
            EnterCriticalSection(&cs);
            LeaveCriticalSection(&cs);
        } else if (n == 10) {
            // A post that takes 40 ms.
            host::Arm(host::Fault::SlowPost, 1, 0, 40);
            LMRPostData(nullptr, kit::MakePacket(4, 1), kit::PacketLength(4));
        }
    };
    host::TickAuditSettings settings;
    settings.thresholdNs = 10000000;
    host::StartTickAudit(settings);
    UINT id = timeSetEvent(20, 0, &Ticker::Proc, reinterpret_cast<DWORD_PTR>(&t), TIME_PERIODIC);
    ASSERT_NE(id, 0u);
    for (int i = 0; i < 2000 && t.ticks.load() < 16; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    timeKillEvent(id);
    host::StopTickAudit();
    holder.join();
    DeleteCriticalSection(&cs);
    ASSERT_GE(t.ticks.load(), 16);

    host::TickAuditResult r = host::TickAudit();
    EXPECT_TRUE(r.ran);
    EXPECT_GE(r.ticks, 16u);
    const host::LateTick* lockTick = nullptr;
    const host::LateTick* postTick = nullptr;
    for (const host::LateTick& l : r.late) {
        if (l.parts.ns[static_cast<unsigned>(host::TickPart::Lock)] >= 50000000)
            lockTick = &l;
        if (l.parts.ns[static_cast<unsigned>(host::TickPart::Post)] >= 35000000)
            postTick = &l;
    }
    ASSERT_NE(lockTick, nullptr);
    EXPECT_EQ(lockTick->parts.lockHolder, holderId.load());
    EXPECT_EQ(host::ThreadName(lockTick->parts.lockHolder), "test holder");
    EXPECT_GE(lockTick->endNs - lockTick->deadlineNs, 50000000u);
    ASSERT_NE(postTick, nullptr);
    EXPECT_NE(postTick, lockTick);
    // The probes ran beside the timer, at its priority and one above it when
    // real-time scheduling was granted; the machine's steal was read where the kernel
    // keeps it, one figure per CPU over the audit's length.
    EXPECT_GT(r.probeWakeups, 0u);
    EXPECT_FALSE(r.probeScheduling.empty());
    EXPECT_EQ(r.probesAbove, r.probeScheduling.find(" and SCHED_FIFO priority 41") != std::string::npos)
        << r.probeScheduling;
    if (std::ifstream("/proc/stat")) {
        EXPECT_GE(r.stealNs.size(), r.probeCpus.size());
        EXPECT_GT(r.stealSpanNs, 0u);
        for (uint64_t ns : r.stealNs)
            EXPECT_LE(ns, r.stealSpanNs + 10000000u);
    }
}

// The host's lock is taken without the kernel while nobody waits and
// through it when someone does: under heavy contention it still excludes
// (a plain counter comes out exact) and a waiter is always woken, and its
// condition loses no notify (two threads hand a turn back and forth).
TEST_F(RealTimeTest, ThePriorityInheritingLockExcludesAndItsConditionLosesNoWakeUp)
{
    host::PiMutex m;
    long counter = 0;
    std::vector<std::thread> threads;
    const int kThreads = 4, kRounds = 20000;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                std::lock_guard<host::PiMutex> lock(m);
                ++counter;
                if (i % 1000 == 0)
                    std::this_thread::yield();   // held while others pile up in the kernel
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, static_cast<long>(kThreads) * kRounds);
    {
        std::unique_lock<host::PiMutex> lock(m);
        EXPECT_FALSE(std::async(std::launch::async, [&] { return m.try_lock(); }).get());
    }
    EXPECT_TRUE(m.try_lock());
    m.unlock();

    host::PiCondition turnChanged;
    int turn = 0;
    const int kPasses = 2000;
    auto player = [&](int me) {
        for (int i = 0; i < kPasses; ++i) {
            std::unique_lock<host::PiMutex> lock(m);
            turnChanged.wait(lock, [&] { return turn == me; });
            turn = 1 - me;
            if (i % 2)
                turnChanged.notify_all();
            else
                turnChanged.notify_one();
        }
    };
    std::thread a(player, 0), b(player, 1);
    a.join();
    b.join();
    EXPECT_EQ(turn, 0);
}

// The machine's steal comes from the kernel's per-CPU counters: the eighth
// value of each "cpuN" line, in clock ticks.  The total line, other lines and
// CPUs missing from the numbering are handled; a kernel too old to have the
// column gives nothing rather than a wrong figure.
TEST(StealCounterTest, StealIsReadPerCpuFromTheKernelsCounters)
{
    const std::string text =
        "cpu  118671 5581 21247 15901 1199 0 311 1107 0 0\n"
        "cpu0 58912 3221 9787 9449 136 0 14 504 0 0\n"
        "cpu2 59758 2359 11460 6451 1062 0 297 603 0 0\n"
        "intr 1234 5 6\n"
        "ctxt 99\n";
    std::vector<uint64_t> ns;
    ASSERT_TRUE(host::ParseStealByCpu(text, 100, &ns));
    ASSERT_EQ(ns.size(), 3u);
    EXPECT_EQ(ns[0], 5040000000u);
    EXPECT_EQ(ns[1], 0u);
    EXPECT_EQ(ns[2], 6030000000u);
    EXPECT_FALSE(host::ParseStealByCpu("cpu0 1 2 3 4 5 6 7\n", 100, &ns));
    EXPECT_TRUE(ns.empty());
    EXPECT_FALSE(host::ParseStealByCpu("intr 1\n", 100, &ns));
    EXPECT_FALSE(host::ParseStealByCpu(text, 0, &ns));
}

TEST_F(RealTimeTest, OutsideAnAuditedTickNothingIsMeasured)
{
    // Off the timer thread a part is not timed, and its end adds nothing.
    const uint64_t begin = host::TickPartBegin(host::TickPart::Post);
    EXPECT_EQ(begin, 0u);
    host::TickPartEnd(host::TickPart::Post, begin);
}

}  // namespace

namespace {

// The probe follows the ticks: while a tick has not ended past its deadline
// it wakes every half millisecond, so a stall of the machine inside a late
// tick's stretch cannot fall between two of its wake-ups.  Here a tick is
// blocked for 40 ms (asleep, so the probe is free to run): a probe on a grid
// of its own would wake about twice in that stretch.
TEST_F(RealTimeTest, TheProbeWatchesATickThatHasNotEndedEveryHalfMillisecond)
{
    host::UseClock(host::ClockKind::Real);
    Ticker t;
    t.onTick = [](int n) {
        if (n == 3)
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
    };
    host::TickAuditSettings settings;
    settings.thresholdNs = 10000000;
    host::StartTickAudit(settings);
    UINT id = timeSetEvent(20, 0, &Ticker::Proc, reinterpret_cast<DWORD_PTR>(&t), TIME_PERIODIC);
    ASSERT_NE(id, 0u);
    for (int i = 0; i < 2000 && t.ticks.load() < 10; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    timeKillEvent(id);
    host::StopTickAudit();
    ASSERT_GE(t.ticks.load(), 10);

    host::TickAuditResult r = host::TickAudit();
    const host::LateTick* slow = nullptr;
    for (const host::LateTick& l : r.late)
        if (l.endNs - l.startNs >= 35000000)
            slow = &l;
    ASSERT_NE(slow, nullptr);
    // About 78 wake-ups in the 39 ms after the follow-up point; a loaded
    // machine delays some, none of them is blocked.
    EXPECT_GE(r.probeWatchWakeups, 20u);
}

extern "C" void* __wrap_malloc(size_t n);
extern "C" void __wrap_free(void* p);

using DriverHeapTest = testing_support::HostTest;

// The driver's heap gives a freed block back to its size class: a run of
// packets allocated and freed again and again holds no more than the most
// ever live at once, and every block is aligned and writable to its size.
TEST_F(DriverHeapTest, FreedBlocksAreReusedSoTheHeapHoldsOnlyThePeak)
{
    const host::Counters before = host::GetCounters();
    const host::DriverHeapUse start = host::GetDriverHeapUse();
    std::vector<void*> blocks;
    size_t carvedAfterFirst = 0;
    for (int round = 0; round < 5; ++round) {
        for (int i = 0; i < 100; ++i) {
            const size_t n = 3000 + static_cast<size_t>((i * 37 + round) % 1000);   // one class
            auto* p = static_cast<uint8_t*>(__wrap_malloc(n));
            ASSERT_NE(p, nullptr);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
            std::memset(p, round, n);
            blocks.push_back(p);
        }
        EXPECT_GE(host::GetDriverHeapUse().liveBytes - start.liveBytes, 100u * 3000);
        for (void* p : blocks)
            __wrap_free(p);
        blocks.clear();
        EXPECT_EQ(host::GetDriverHeapUse().liveBytes, start.liveBytes);
        if (round == 0)
            carvedAfterFirst = host::GetDriverHeapUse().carvedBytes;
        else
            EXPECT_EQ(host::GetDriverHeapUse().carvedBytes, carvedAfterFirst) << "round " << round;
    }
    EXPECT_LE(carvedAfterFirst - start.carvedBytes, 100u * 4096);
    const host::Counters after = host::GetCounters();
    EXPECT_EQ(after.driverMallocs - before.driverMallocs, 500u);
    EXPECT_EQ(after.driverFrees - before.driverFrees, 500u);
    EXPECT_EQ(host::DriverFreedBlocks().size(), 500u);
}

// Blocks too large for the heap's classes come from the C++ heap, and the
// library's free takes both kinds (tests make their packets with malloc);
// a packet the stand-in accepts goes back to the driver's heap.
TEST_F(DriverHeapTest, LargeAndForeignBlocksAndTheLibrarysFree)
{
    const host::DriverHeapUse start = host::GetDriverHeapUse();
    auto* big = static_cast<uint8_t*>(__wrap_malloc(1 << 20));
    ASSERT_NE(big, nullptr);
    std::memset(big, 1, 1 << 20);
    EXPECT_EQ(host::GetDriverHeapUse().liveBytes, start.liveBytes);
    __wrap_free(big);
    host::DriverHeapFree(std::malloc(100));
    host::DriverHeapFree(nullptr);

    btstandin::FreeOnPost(true);
    void* packet = __wrap_malloc(kit::PacketLength(4));
    void* model = kit::MakePacket(4, 7);
    std::memcpy(packet, model, kit::PacketLength(4));
    std::free(model);
    EXPECT_GT(host::GetDriverHeapUse().liveBytes, start.liveBytes);
    EXPECT_EQ(LMRPostData(nullptr, packet, kit::PacketLength(4)), 0u);
    EXPECT_EQ(host::GetDriverHeapUse().liveBytes, start.liveBytes);
}

// A fault switch still refuses the driver's allocation, before the heap.
TEST_F(DriverHeapTest, TheMallocFaultRefusesWithoutTouchingTheHeap)
{
    const host::DriverHeapUse start = host::GetDriverHeapUse();
    host::FailNext(host::Fault::Malloc);
    EXPECT_EQ(__wrap_malloc(64), nullptr);
    EXPECT_EQ(host::GetDriverHeapUse().liveBytes, start.liveBytes);
    void* p = __wrap_malloc(64);
    EXPECT_NE(p, nullptr);
    __wrap_free(p);
}

}  // namespace
