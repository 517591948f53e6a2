// The kernel objects an application uses under their platform names: events,
// waits, threads, thread message queues and the tick count.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <vector>
#include <thread>

#include "host/clock.h"
#include "host/events.h"
#include "host/host.h"
#include "host/kernel.h"
#include "host/wave.h"
#include "kit/watchdog.h"

namespace {

class Kernel : public ::testing::Test {
protected:
    void SetUp() override { host::ResetAll(); }
    void TearDown() override { host::ResetAll(); }
};

TEST_F(Kernel, AutoResetEventReleasesOneWaitManualResetStaysSet)
{
    HANDLE autoEv = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE manual = CreateEvent(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(autoEv, nullptr);
    ASSERT_NE(manual, nullptr);
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(autoEv));
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_TIMEOUT);

    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

    EXPECT_TRUE(CloseHandle(autoEv));
    EXPECT_FALSE(CloseHandle(autoEv));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetEvent(autoEv));
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(CloseHandle(manual));

    // The host's C++ face reaches the same objects.
    HANDLE h = host::CreateEvent(false, true);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
    EXPECT_FALSE(host::WaitForEvent(h, 0));
    EXPECT_TRUE(SetEvent(h));
    EXPECT_TRUE(host::WaitForEvent(h, 0));
    EXPECT_TRUE(host::CloseEvent(h));
    EXPECT_FALSE(host::CloseEvent(h));
}

TEST_F(Kernel, NamedEventsShareOneObject)
{
    const WCHAR name[] = {'a', 'u', 'd', 'i', 'o', 0};
    HANDLE a = CreateEventW(nullptr, TRUE, FALSE, name);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    HANDLE b = CreateEventW(nullptr, FALSE, FALSE, name);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    ASSERT_NE(a, b);
    SetEvent(b);
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);   // manual reset, from the first creation
    CloseHandle(a);
    CloseHandle(b);
    HANDLE c = CreateEventW(nullptr, FALSE, FALSE, name);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));   // the name went with its last handle
    EXPECT_EQ(WaitForSingleObject(c, 0), WAIT_TIMEOUT);
    CloseHandle(c);
}

TEST_F(Kernel, WaitForMultipleObjectsAnswersTheLowestSignalledIndex)
{
    HANDLE h[3];
    for (HANDLE& e : h)
        e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), WAIT_TIMEOUT);
    SetEvent(h[2]);
    SetEvent(h[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), WAIT_TIMEOUT);

    // Waiting for all is not offered by the device's kernel; nor are empty,
    // oversized or partly invalid lists.
    EXPECT_EQ(WaitForMultipleObjects(3, h, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(WaitForMultipleObjects(0, h, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, h, FALSE, 0), WAIT_FAILED);
    HANDLE mixed[2] = {h[0], reinterpret_cast<HANDLE>(0x1)};
    SetEvent(h[0]);
    EXPECT_EQ(WaitForMultipleObjects(2, mixed, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(WaitForSingleObject(h[0], 0), WAIT_OBJECT_0);   // the failed wait took nothing
    for (HANDLE e : h)
        CloseHandle(e);
}

TEST_F(Kernel, AnotherThreadsSetEventWakesAWaiter)
{
    kit::Watchdog watchdog(std::chrono::seconds(60), "the setter thread");
    HANDLE ev = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::thread setter([ev] { SetEvent(ev); });
    EXPECT_EQ(WaitForSingleObject(ev, INFINITE), WAIT_OBJECT_0);
    setter.join();
    CloseHandle(ev);
}

DWORD WINAPI ThreadBody(LPVOID param)
{
    auto* seen = static_cast<std::atomic<DWORD>*>(param);
    seen->store(GetCurrentThreadId());
    MSG m;
    PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE);   // makes the queue
    DWORD sum = 0;
    for (;;) {
        BOOL got = GetMessageW(&m, nullptr, 0, 0);
        if (got == 0)
            return sum;   // WM_QUIT
        sum += static_cast<DWORD>(m.wParam);
    }
}

TEST_F(Kernel, ThreadsRunTheirMessageLoopAndSignalTheirHandleOnReturn)
{
    kit::Watchdog watchdog(std::chrono::seconds(60), "the message-loop thread");
    std::atomic<DWORD> seen{0};
    DWORD id = 0;
    HANDLE t = CreateThread(nullptr, 0, &ThreadBody, &seen, CREATE_SUSPENDED, &id);
    ASSERT_NE(t, nullptr);
    ASSERT_NE(id, 0u);
    EXPECT_NE(id, GetCurrentThreadId());
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_TIMEOUT);
    EXPECT_EQ(seen.load(), 0u);   // held until resumed
    EXPECT_TRUE(PostThreadMessageW(id, WM_USER, 5, 0));   // its queue exists already

    EXPECT_EQ(ResumeThread(t), 1u);
    EXPECT_TRUE(PostThreadMessage(id, WM_USER + 1, 7, 0));
    EXPECT_TRUE(PostThreadMessageW(id, WM_QUIT, 100, 0));
    EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(seen.load(), id);
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 12u);
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);   // a thread stays signalled
    EXPECT_FALSE(PostThreadMessageW(id, WM_USER, 1, 0));   // its queue went with it
    EXPECT_TRUE(CloseHandle(t));

    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(Kernel, PeekFiltersByMessageRangeAndKeepsOrder)
{
    MSG m;
    EXPECT_FALSE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
    DWORD self = GetCurrentThreadId();
    ASSERT_TRUE(PostThreadMessageW(self, WM_USER + 1, 1, 10));
    ASSERT_TRUE(PostThreadMessageW(self, WM_USER + 5, 2, 20));
    ASSERT_TRUE(PostThreadMessageW(self, WM_USER + 1, 3, 30));
    ASSERT_TRUE(PeekMessageW(&m, nullptr, WM_USER + 5, WM_USER + 5, PM_NOREMOVE));
    EXPECT_EQ(m.wParam, 2u);
    EXPECT_EQ(m.hwnd, nullptr);
    ASSERT_TRUE(PeekMessage(&m, nullptr, WM_USER + 5, WM_USER + 9, PM_REMOVE));
    EXPECT_EQ(m.lParam, 20);
    ASSERT_EQ(GetMessage(&m, nullptr, 0, 0), TRUE);
    EXPECT_EQ(m.wParam, 1u);
    ASSERT_EQ(GetMessage(&m, nullptr, 0, 0), TRUE);
    EXPECT_EQ(m.wParam, 3u);
    EXPECT_FALSE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));

    // There are no windows.
    HWND window = reinterpret_cast<HWND>(0x10);
    EXPECT_EQ(GetMessageW(&m, window, 0, 0), -1);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_FALSE(PeekMessageW(&m, window, 0, 0, PM_REMOVE));
}

TEST_F(Kernel, TickCountFollowsTheHostClock)
{
    host::UseClock(host::ClockKind::Virtual);
    EXPECT_EQ(GetTickCount(), 0u);
    host::AdvanceVirtualMs(1234);
    EXPECT_EQ(GetTickCount(), 1234u);
    EXPECT_EQ(timeGetTime(), 1234u);
    host::AdvanceVirtualNs(999999);
    EXPECT_EQ(GetTickCount(), 1234u);   // whole milliseconds only
    host::SetCounterFrequency(3);       // an odd counter rate changes nothing
    host::AdvanceVirtualMs(1000);
    EXPECT_EQ(GetTickCount(), 2234u);   // 2234.999999 ms

    // Posted messages carry the tick count of their posting.
    MSG m;
    PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE);
    PostThreadMessageW(GetCurrentThreadId(), WM_USER, 0, 0);
    ASSERT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(m.time, GetTickCount());
}

}  // namespace

namespace {

// The wave API sets a CALLBACK_EVENT event once per buffer; a tick that
// completes two headers sets it twice while the application already waits.
// The first SetEvent releases the waiter, the second must stay set.
TEST_F(Kernel, AutoResetEventKeepsTheSecondSetWhenTheFirstReleasedAWaiter)
{
    kit::Watchdog watchdog(std::chrono::seconds(60), "the waiter threads");
    HANDLE ev = CreateEvent(nullptr, FALSE, FALSE, nullptr);
    std::atomic<int> kept{0};
    const int rounds = 200;
    for (int round = 0; round < rounds; ++round) {
        std::atomic<bool> done{false};
        std::thread waiter([&] {
            EXPECT_EQ(WaitForSingleObject(ev, 10000), WAIT_OBJECT_0);
            done = true;
        });
        // Set twice only once the waiter is blocked in its wait.
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (host::WaitersOn(ev) == 0 && std::chrono::steady_clock::now() < limit)
            std::this_thread::yield();
        ASSERT_EQ(host::WaitersOn(ev), 1u) << "watchdog: the waiter never blocked";
        SetEvent(ev);
        SetEvent(ev);
        waiter.join();
        ASSERT_TRUE(done);
        if (WaitForSingleObject(ev, 0) == WAIT_OBJECT_0)   // the second set, kept
            ++kept;
    }
    EXPECT_EQ(kept.load(), rounds);
    EXPECT_EQ(host::WaitersOn(ev), 0u);
    CloseHandle(ev);
}

TEST_F(Kernel, AutoResetEventReleasesOneWaiterPerSetManualResetReleasesAll)
{
    kit::Watchdog watchdog(std::chrono::seconds(60), "the waiter threads");
    HANDLE autoEv = CreateEvent(nullptr, FALSE, FALSE, nullptr);
    HANDLE manual = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> woke{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            if (WaitForSingleObject(autoEv, 10000) == WAIT_OBJECT_0)
                ++woke;
        });
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (host::WaitersOn(autoEv) < 3 && std::chrono::steady_clock::now() < limit)
        std::this_thread::yield();
    ASSERT_EQ(host::WaitersOn(autoEv), 3u);
    SetEvent(autoEv);
    SetEvent(autoEv);
    SetEvent(autoEv);
    for (std::thread& t : waiters)
        t.join();
    EXPECT_EQ(woke.load(), 3);
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_TIMEOUT);   // each set went to one waiter

    waiters.clear();
    woke = 0;
    for (int i = 0; i < 2; ++i)
        waiters.emplace_back([&] {
            HANDLE both[2] = {autoEv, manual};
            if (WaitForMultipleObjects(2, both, FALSE, 10000) == WAIT_OBJECT_0 + 1)
                ++woke;
        });
    while (host::WaitersOn(manual) < 2 && std::chrono::steady_clock::now() < limit)
        std::this_thread::yield();
    SetEvent(manual);
    for (std::thread& t : waiters)
        t.join();
    EXPECT_EQ(woke.load(), 2);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    CloseHandle(autoEv);
    CloseHandle(manual);
}

DWORD WINAPI TakeOneMessage(LPVOID param)
{
    MSG m;
    if (GetMessage(&m, nullptr, 0, 0) != TRUE)
        return 0;
    *static_cast<UINT*>(param) = m.message;
    return static_cast<DWORD>(m.wParam);
}

// Every thread can be posted to as soon as it exists, before it has called
// GetMessage or PeekMessage, as on the device.
TEST_F(Kernel, AThreadCanBePostedToAsSoonAsItExists)
{
    kit::Watchdog watchdog(std::chrono::seconds(60), "the posted-to threads");
    for (int round = 0; round < 50; ++round) {
        UINT got = 0;
        DWORD id = 0;
        HANDLE t = CreateThread(nullptr, 0, &TakeOneMessage, &got, round % 2 ? CREATE_SUSPENDED : 0, &id);
        ASSERT_NE(t, nullptr);
        ASSERT_TRUE(PostThreadMessage(id, WM_USER + 3, 41, 0)) << round;
        if (round % 2)
            ResumeThread(t);
        ASSERT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
        DWORD code = 0;
        ASSERT_TRUE(GetExitCodeThread(t, &code));
        EXPECT_EQ(code, 41u);
        EXPECT_EQ(got, UINT(WM_USER + 3));
        EXPECT_FALSE(PostThreadMessage(id, WM_USER, 0, 0));   // it has ended
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_THREAD_ID));
        CloseHandle(t);
    }

    // A thread the host did not create counts from its first id on.
    std::atomic<DWORD> other{0};
    HANDLE go = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    std::thread plain([&] {
        other = GetCurrentThreadId();
        WaitForSingleObject(go, 10000);
        MSG m;
        EXPECT_TRUE(PeekMessage(&m, nullptr, 0, 0, PM_REMOVE));
        EXPECT_EQ(m.wParam, 9u);
    });
    while (other.load() == 0)
        std::this_thread::yield();
    EXPECT_TRUE(PostThreadMessage(other, WM_USER, 9, 0));
    SetEvent(go);
    plain.join();
    EXPECT_FALSE(PostThreadMessage(0x7FFFFFF0u, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_THREAD_ID));
    CloseHandle(go);
}

}  // namespace
