// The virtual clock that moves by itself: a set of threads that sleep, wait
// on events with time-outs and are woken by a timer runs on its own, at the
// virtual times their calls ask for, and gives the same sequence each time;
// threads that wait for each other for ever are reported as hung, each with
// its wait; a thread that polls the clock is told that it stands still.
// Nothing here waits on the wall clock: a broken clock trips the watchdog.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "host/clock.h"
#include "host/host.h"
#include "host/kernel.h"
#include "host/platform.h"
#include "host/realtime.h"
#include "kit/watchdog.h"
#include "support/clock_fixture.h"

namespace {

using testing_support::ClockTest;

LPCWSTR W(const char16_t* s) { return reinterpret_cast<LPCWSTR>(s); }

std::mutex g_logMutex;
std::vector<std::string> g_log;

void Log(const char* who)
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_log.push_back(std::string(who) + "@" + std::to_string(GetTickCount()));
}

HANDLE g_tickEvent = nullptr;

void CALLBACK SetTickEvent(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR)
{
    SetEvent(g_tickEvent);
}

// Sleeps 30 ms five times.
DWORD WINAPI Sleeper(LPVOID)
{
    for (int i = 0; i < 5; ++i) {
        Sleep(30);
        Log("sleeper");
    }
    return 0;
}

// Waits for the timer's event with a 50 ms time-out, which the 20 ms timer
// never lets pass, until the timer stops; then once more, which times out.
DWORD WINAPI Waiter(LPVOID)
{
    for (int i = 0; i < 4; ++i) {
        if (WaitForSingleObject(g_tickEvent, 50) == WAIT_OBJECT_0)
            Log("waiter woken");
    }
    if (WaitForSingleObject(g_tickEvent, 50) == WAIT_TIMEOUT)
        Log("waiter timed out");
    return 0;
}

// One run of the program: the main thread (this one) starts the two threads
// and a one-shot timer chain, and waits for both threads for ever.
std::vector<std::string> RunProgram()
{
    host::ResetAll();
    {
        std::lock_guard<std::mutex> lock(g_logMutex);
        g_log.clear();
    }
    host::UseClock(host::ClockKind::VirtualAuto);
    g_tickEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    const UINT timer = timeSetEvent(20, 0, SetTickEvent, 0, TIME_PERIODIC);
    EXPECT_NE(timer, 0u);
    HANDLE waiter = CreateThread(nullptr, 0, Waiter, nullptr, 0, nullptr);
    HANDLE sleeper = CreateThread(nullptr, 0, Sleeper, nullptr, 0, nullptr);
    // The waiter's four wake-ups take the timer's first four ticks (20..80 ms).
    Sleep(85);
    Log("main stops the timer");
    timeKillEvent(timer);
    EXPECT_EQ(WaitForSingleObject(waiter, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(sleeper, INFINITE), WAIT_OBJECT_0);
    Log("main");
    CloseHandle(waiter);
    CloseHandle(sleeper);
    CloseHandle(g_tickEvent);
    std::lock_guard<std::mutex> lock(g_logMutex);
    return g_log;
}

TEST_F(ClockTest, ThreadsThatSleepAndWaitMoveTheClockThemselvesTheSameWayEachRun)
{
    kit::Watchdog dog(std::chrono::seconds(60), "the self-moving clock's program");
    const std::vector<std::string> first = RunProgram();
    // Each call ends at the virtual time it asked for: the sleeper every
    // 30 ms, the waiter at each 20 ms tick, its last wait 50 ms after the
    // last tick (80 ms), the main thread's sleep at 85 ms.  At 60 ms the
    // tick comes before the sleeper's time-out: the timer's thread runs a
    // due tick first, and a time-out ends only once every thread waits.
    const std::vector<std::string> expected = {
        "waiter woken@20",  "sleeper@30",         "waiter woken@40", "waiter woken@60",
        "sleeper@60",       "waiter woken@80",    "main stops the timer@85", "sleeper@90",
        "sleeper@120",      "waiter timed out@130", "sleeper@150",     "main@150"};
    EXPECT_EQ(first, expected);
    EXPECT_EQ(RunProgram(), first);
}

// ---- Hung programs -----------------------------------------------------------------

std::mutex g_hungMutex;
std::vector<host::HungReport> g_hung;
HANDLE g_leftDone = nullptr, g_rightDone = nullptr;

DWORD WINAPI Left(LPVOID)
{
    host::NameThisThread("left");
    WaitForSingleObject(g_rightDone, INFINITE);
    SetEvent(g_leftDone);
    return 0;
}

DWORD WINAPI Right(LPVOID)
{
    host::NameThisThread("right");
    WaitForSingleObject(g_leftDone, INFINITE);
    SetEvent(g_rightDone);
    return 0;
}

const host::HungThread* Find(const host::HungReport& r, const std::string& name)
{
    for (const host::HungThread& t : r.threads)
        if (t.name == name)
            return &t;
    return nullptr;
}

TEST_F(ClockTest, TwoThreadsWaitingOnEachOthersEventAreReportedHungWithBothWaits)
{
    kit::Watchdog dog(std::chrono::seconds(60), "the hung program");
    host::UseClock(host::ClockKind::VirtualAuto);
    host::NameThisThread("main");
    g_hung.clear();
    g_leftDone = CreateEventW(nullptr, FALSE, FALSE, W(u"left done"));
    g_rightDone = CreateEventW(nullptr, TRUE, FALSE, W(u"right done"));
    // The handler sees the hang once and frees the program, so that the test ends.
    host::SetHungHandler([](const host::HungReport& r) {
        {
            std::lock_guard<std::mutex> lock(g_hungMutex);
            g_hung.push_back(r);
        }
        SetEvent(g_rightDone);
    });
    HANDLE left = CreateThread(nullptr, 0, Left, nullptr, 0, nullptr);
    HANDLE right = CreateThread(nullptr, 0, Right, nullptr, 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(left, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(right, INFINITE), WAIT_OBJECT_0);
    host::SetHungHandler(nullptr);
    std::lock_guard<std::mutex> lock(g_hungMutex);
    ASSERT_EQ(g_hung.size(), 1u);
    const host::HungReport& r = g_hung[0];
    EXPECT_EQ(r.virtualNs, 0u) << "a hang is seen without the clock moving";
    ASSERT_EQ(r.threads.size(), 3u) << r.Text();
    const host::HungThread* l = Find(r, "left");
    const host::HungThread* rt = Find(r, "right");
    const host::HungThread* m = Find(r, "main");
    ASSERT_TRUE(l && rt && m) << r.Text();
    EXPECT_EQ(l->call, "WaitForSingleObject");
    EXPECT_NE(l->objects.find("manual-reset event 'right done'"), std::string::npos) << l->objects;
    EXPECT_EQ(l->timeout, "none (INFINITE)");
    EXPECT_NE(rt->objects.find("auto-reset event 'left done'"), std::string::npos) << rt->objects;
    EXPECT_NE(m->objects.find("thread "), std::string::npos) << m->objects;
    const std::string text = r.Text();
    EXPECT_NE(text.find("thread " + std::to_string(l->id) + " 'left': WaitForSingleObject on"), std::string::npos)
        << text;
    CloseHandle(left);
    CloseHandle(right);
    CloseHandle(g_leftDone);
    CloseHandle(g_rightDone);
}

}  // namespace

// The default handler (printed, exit 124) is host_hung_test's: a death test
// forks, and only a process with no host threads yet forks safely.

namespace {

// ---- A thread that polls the clock ---------------------------------------------------

void CALLBACK NothingToDo(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

TEST_F(ClockTest, AThreadPollingTheCounterSeesItStandStillAndIsToldOnce)
{
    host::UseClock(host::ClockKind::VirtualAuto);
    const UINT timer = timeSetEvent(20, 0, NothingToDo, 0, TIME_PERIODIC);
    ASSERT_NE(timer, 0u);
    const uint64_t before = host::ClockPollWarnings();
    LARGE_INTEGER first, c;
    QueryPerformanceCounter(&first);
    for (uint32_t i = 0; i < (1u << 24) + 16; ++i)
        QueryPerformanceCounter(&c);
    // The main thread never waited: the timer's tick is not due yet.
    EXPECT_EQ(c.QuadPart, first.QuadPart);
    EXPECT_EQ(host::ClockPollWarnings(), before + 1);
    // A wait moves the clock, and the count starts again.
    Sleep(25);
    EXPECT_EQ(GetTickCount(), 25u);
    timeKillEvent(timer);
}

}  // namespace
