// The host's real-time parts on the real clock: critical sections lend a
// waiting real-time thread's priority to the holder, and the late-tick
// audit says where a late tick's time went.  Every wait has a watchdog; the
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
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>

#include "host/btstandin.h"
#include "host/clock.h"
#include "host/faults.h"
#include "host/host.h"
#include "host/platform.h"
#include "host/realtime.h"
#include "kit/packets.h"
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
    // The probe ran beside the timer at the same scheduling.
    EXPECT_GT(r.probeWakeups, 0u);
    EXPECT_FALSE(r.probeScheduling.empty());
}

TEST_F(RealTimeTest, OutsideAnAuditedTickNothingIsMeasured)
{
    // Off the timer thread a part is not timed, and its end adds nothing.
    const uint64_t begin = host::TickPartBegin(host::TickPart::Post);
    EXPECT_EQ(begin, 0u);
    host::TickPartEnd(host::TickPart::Post, begin);
}

}  // namespace
