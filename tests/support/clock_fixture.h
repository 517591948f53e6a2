// The host clock's tests' fixture: a fresh host for each case, timer
// callbacks that record each tick (its timer, counter and thread), and a
// count of events another thread can wait for.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "host/clock.h"
#include "host/host.h"
#include "host/platform.h"
#include "kit/counter.h"

namespace testing_support {

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

// A timer callback that counts its ticks in the EventCount its user word
// points to.
inline void CALLBACK CountTick(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR)
{
    reinterpret_cast<EventCount*>(user)->Add();
}

// One tick as a callback saw it.
struct Tick {
    UINT id;
    DWORD_PTR user;
    uint64_t counter;
    std::thread::id thread;
    bool onService;
};

inline std::mutex g_ticksMutex;
inline std::vector<Tick> g_ticks;

inline void CALLBACK RecordTick(UINT id, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR)
{
    Tick t{id, user, kit::Counter(), std::this_thread::get_id(), host::OnTimerServiceThread()};
    std::lock_guard<std::mutex> lock(g_ticksMutex);
    g_ticks.push_back(t);
}

inline std::vector<Tick> Ticks()
{
    std::lock_guard<std::mutex> lock(g_ticksMutex);
    return g_ticks;
}

// Ends every timer and waits for a callback that had begun, so that nothing
// on the service thread still uses a test's locals.
inline void StopTimersAndWait()
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

}  // namespace testing_support
