// The performance counter and the multimedia timer: the service common to
// both clocks.  What differs between real and virtual time is behind the
// Clock interface (clock_service.h), one implementation each in
// clock_real.cpp and clock_virtual.cpp; UseClock swaps which one the
// service holds.
//
// The counter is read as
//     baseCount + floor((t - base) / 1e9 units)
// and a frequency change rebases it, so the counter never jumps.  What the
// counter needs is republished under a sequence lock after every change, so
// reading the counter takes no mutex.
//
// One service thread runs every callback.  The decision that a tick begins
// is taken under the service mutex, where timeKillEvent also marks its timer
// killed; the callback itself runs outside the mutex.  So a kill never waits
// for a tick (which may be blocked on a lock the killer holds), and no tick
// of a killed timer begins after the kill has returned.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "autoclock.h"
#include "clock_service.h"
#include "host/host.h"
#include "host_internal.h"

namespace host {
namespace clocks {

// The lateness of the tick being run; the service thread's alone.
uint64_t g_currentTickLateNs = 0;

// Never destroyed: the detached service thread may use it until the process ends.
ClockService& Service()
{
    static ClockService* s = new ClockService;
    return *s;
}

bool OnServiceThread(const ClockService& s)
{
    return s.threadStarted && s.threadId == std::this_thread::get_id();
}

// The clock's time now.
Instant NowLocked(const ClockService& s)
{
    return s.clock->Now(s);
}

uint64_t CounterAtLocked(const ClockService& s, const Instant& t)
{
    U128 units = Sub(Add(Mul64(t.ns - s.base.ns, s.frequency), t.sub), s.base.sub);
    uint64_t rem;
    return s.baseCount + DivMod(units, kNsPerSecond, &rem);
}

void PublishLocked(ClockService& s)
{
    const uint32_t seq = s.seq.load(std::memory_order_relaxed);
    s.seq.store(seq + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    s.pubVirtual.store(s.clock->Kind() == ClockKind::Virtual, std::memory_order_relaxed);
    s.pubFrequency.store(s.frequency, std::memory_order_relaxed);
    s.pubBaseNs.store(s.base.ns, std::memory_order_relaxed);
    s.pubBaseSub.store(s.base.sub, std::memory_order_relaxed);
    s.pubBaseCount.store(s.baseCount, std::memory_order_relaxed);
    s.pubNowNs.store(s.virtualNow.ns, std::memory_order_relaxed);
    s.pubNowSub.store(s.virtualNow.sub, std::memory_order_relaxed);
    s.seq.store(seq + 2, std::memory_order_release);
}

// The counter now, without the mutex.
uint64_t ReadCounter(ClockService& s)
{
    for (;;) {
        const uint32_t before = s.seq.load(std::memory_order_acquire);
        if (before & 1)
            continue;
        const bool isVirtual = s.pubVirtual.load(std::memory_order_relaxed) != 0;
        Instant base{s.pubBaseNs.load(std::memory_order_relaxed), s.pubBaseSub.load(std::memory_order_relaxed)};
        const uint64_t frequency = s.pubFrequency.load(std::memory_order_relaxed);
        const uint64_t baseCount = s.pubBaseCount.load(std::memory_order_relaxed);
        Instant now{s.pubNowNs.load(std::memory_order_relaxed), s.pubNowSub.load(std::memory_order_relaxed)};
        std::atomic_thread_fence(std::memory_order_acquire);
        if (s.seq.load(std::memory_order_relaxed) != before)
            continue;
        if (!isVirtual)
            now = Instant{MonotonicNs(), 0};
        U128 units = Sub(Add(Mul64(now.ns - base.ns, frequency), now.sub), base.sub);
        uint64_t rem;
        return baseCount + DivMod(units, kNsPerSecond, &rem);
    }
}

// A clock-drift fault that fires for a tick moves the counter on by the
// drift of the tick's period (ppm of it) just before the tick reads it.  The
// driver reads the counter only in its ticks, so to it the counter has run
// fast (or slow) for that period; a negative drift steps the counter back by
// those few counts, which stays far above the previous tick's reading.
void ApplyDriftLocked(ClockService& s, const TimerEntry& t)
{
    int64_t ppm = 0;
    if (!ShouldFail(Fault::ClockDrift, &ppm) || ppm == 0)
        return;
    uint64_t rem;
    const uint64_t period = DivMod(Mul64(t.periodNs, s.frequency), kNsPerSecond, &rem);
    const uint64_t magnitude = static_cast<uint64_t>(ppm < 0 ? -ppm : ppm);
    const uint64_t counts = DivMod(Mul64(period, magnitude), 1000000u, &rem);
    s.baseCount = ppm < 0 ? s.baseCount - counts : s.baseCount + counts;
    PublishLocked(s);
}

// The live timer whose tick runs first, or null.
TimerEntry* NextDueLocked(ClockService& s)
{
    TimerEntry* best = nullptr;
    for (auto& kv : s.timers) {
        TimerEntry& t = kv.second;
        if (t.killed)
            continue;
        if (!best || t.fireAt < best->fireAt || (!(best->fireAt < t.fireAt) && t.order < best->order))
            best = &t;
    }
    return best;
}

// Runs one tick of t.  Called on the service thread with the lock held;
// returns with it held.  The observer and the callback run with no lock of
// the clock held, so a callback may set and kill timers; the callback may
// block (the driver's tick waits for its stream lock), which holds up every
// other timer's tick but never a timeSetEvent or timeKillEvent.
void FireLocked(ClockService& s, std::unique_lock<host::PiMutex>& lock, TimerEntry& t)
{
    // From here the tick has begun: a kill can no longer stop it.
    const UINT id = t.id;
    const LPTIMECALLBACK callback = t.callback;
    const DWORD_PTR user = t.user;
    const Instant firedAt = NowLocked(s);
    const uint64_t deadlineNs = t.deadline.ns;
    g_currentTickLateNs = firedAt.ns > deadlineNs ? firedAt.ns - deadlineNs : 0;
    if (t.periodic)
        s.clock->Reschedule(s, t, firedAt);
    else
        t.killed = true;
    const uint64_t nextDeadlineNs = t.killed ? 0 : t.deadline.ns;
    s.runningId = id;
    ApplyDriftLocked(s, t);
    std::function<void(uint64_t)> observer = s.observer;
    const uint64_t counter = CounterAtLocked(s, firedAt);

    const bool audit = AuditOn() && s.clock->Kind() == ClockKind::Real;

    lock.unlock();
    TickAccount account;
    if (audit)
        AuditTickBegin(&account);
    if (observer)
        observer(counter);
    callback(id, 0, user, 0, 0);
    if (audit)
        AuditTickEnd(account, deadlineNs, firedAt.ns, nextDeadlineNs);
    lock.lock();

    s.runningId = 0;
    auto it = s.timers.find(id);
    if (it != s.timers.end() && it->second.killed)
        s.timers.erase(it);
    if (s.callbackWaiters > 0)
        s.done.notify_all();
}

void WaitBetweenTicks()
{
    ClockService& s = Service();
    std::unique_lock<host::PiMutex> lock(s.mutex);
    if (OnServiceThread(s))
        return;
    ++s.callbackWaiters;
    s.done.wait(lock, [&] { return s.runningId == 0; });
    --s.callbackWaiters;
}

// Wakes the service thread for a change of timers or requests, whichever
// way it sleeps.  Caller holds the mutex.
void WakeServiceLocked(ClockService& s)
{
    s.wake.notify_all();
    s.wakeWord.fetch_add(1, std::memory_order_relaxed);
    if (s.sleeping)
        syscall(SYS_futex, reinterpret_cast<uint32_t*>(&s.wakeWord), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

// The service thread: runs for the rest of the process once the first timer
// exists, taking its turns from whichever clock is in use.
void ServiceLoop()
{
    NameThisThread("timer");
    autoclock::MarkServiceThread();
    ClockService& s = Service();
    std::unique_lock<host::PiMutex> lock(s.mutex);
    for (;;) {
        ApplySchedulingLocked(s);
        s.clock->Serve(s, lock, NextDueLocked(s));
    }
}

void EnsureThreadLocked(ClockService& s)
{
    if (s.threadStarted)
        return;
    std::thread th(ServiceLoop);
    s.threadId = th.get_id();
    s.threadStarted = true;
    th.detach();
}

// Ends every timer.  Waits for a running callback to return (and ends any
// timer it creates meanwhile), unless called from that callback.
void StopAllTimersLocked(ClockService& s, std::unique_lock<host::PiMutex>& lock)
{
    for (;;) {
        for (auto it = s.timers.begin(); it != s.timers.end();) {
            if (it->first == s.runningId) {
                it->second.killed = true;
                ++it;
            } else {
                it = s.timers.erase(it);
            }
        }
        if (s.runningId == 0 || OnServiceThread(s))
            break;
        ++s.callbackWaiters;
        s.done.wait(lock);
        --s.callbackWaiters;
    }
    if (s.advancePending) {
        s.advancePending = false;
        s.advanceCompleted = s.advanceRequested;
        s.advanced.notify_all();
    }
    WakeServiceLocked(s);
}

void UseClockLocked(ClockService& s, std::unique_lock<host::PiMutex>& lock, ClockKind kind)
{
    StopAllTimersLocked(s, lock);
    s.clock = kind == ClockKind::Real ? &RealClock() : &VirtualClock();
    s.autoMove = kind == ClockKind::VirtualAuto;
    s.hungSeen = false;
    autoclock::Restart(s.autoMove);
    s.frequency = s.clock->DefaultFrequency();
    s.virtualNow = Instant{};
    s.base = NowLocked(s);
    s.baseCount = 0;
    s.realTimeWanted = kind == ClockKind::Real;
    PublishLocked(s);
    WakeServiceLocked(s);
}

[[noreturn]] void Misuse(const char* what)
{
    std::fprintf(stderr, "host clock: %s\n", what);
    std::abort();
}

}  // namespace clocks

// The rest of this file is the service's public face.
using namespace clocks;

void ResetClock()
{
    ClockService& s = Service();
    std::unique_lock<host::PiMutex> lock(s.mutex);
    UseClockLocked(s, lock, ClockKind::Virtual);
    s.lateness = nullptr;
    s.observer = nullptr;
    s.periodBalance = 0;
    s.created = 0;
    s.killedCount = 0;
}

// The platform's timer service is running before any driver asks for a
// timer; starting the service thread when a program chooses its clock keeps
// its creation (and its first wait for a time slice) out of the first tick.
void UseClock(ClockKind kind)
{
    ClockService& s = Service();
    std::unique_lock<host::PiMutex> lock(s.mutex);
    UseClockLocked(s, lock, kind);
    EnsureThreadLocked(s);
}

void WaitForRunningTick()
{
    WaitBetweenTicks();
}

ClockKind CurrentClock()
{
    ClockService& s = Service();
    std::lock_guard<host::PiMutex> lock(s.mutex);
    return s.clock->Kind();
}

void SetCounterFrequency(uint64_t countsPerSecond)
{
    ClockService& s = Service();
    std::lock_guard<host::PiMutex> lock(s.mutex);
    const uint64_t f = countsPerSecond ? countsPerSecond : s.clock->DefaultFrequency();
    const uint64_t old = s.frequency;
    const Instant now = NowLocked(s);
    s.baseCount = CounterAtLocked(s, now);
    // Fractions of a nanosecond are re-expressed in the new unit (rounded
    // down, which keeps their order).
    auto rescale = [&](Instant& t) {
        uint64_t rem;
        t.sub = MulDiv(t.sub, f, old, &rem);
    };
    s.base = now;
    rescale(s.base);
    rescale(s.virtualNow);
    rescale(s.advanceTarget);
    for (auto& kv : s.timers) {
        rescale(kv.second.deadline);
        rescale(kv.second.fireAt);
    }
    s.frequency = f;
    PublishLocked(s);
}

uint64_t CounterFrequency()
{
    ClockService& s = Service();
    std::lock_guard<host::PiMutex> lock(s.mutex);
    return s.frequency;
}

uint64_t ClockNowNs()
{
    ClockService& s = Service();
    for (;;) {
        const uint32_t before = s.seq.load(std::memory_order_acquire);
        if (before & 1)
            continue;
        const bool isVirtual = s.pubVirtual.load(std::memory_order_relaxed) != 0;
        const uint64_t ns = s.pubNowNs.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (s.seq.load(std::memory_order_relaxed) != before)
            continue;
        return isVirtual ? ns : MonotonicNs();
    }
}

int ActiveTimerCount()
{
    ClockService& s = Service();
    std::lock_guard<host::PiMutex> lock(s.mutex);
    int n = 0;
    for (const auto& kv : s.timers)
        n += kv.second.killed ? 0 : 1;
    return n;
}

int TimerPeriodBalance()
{
    ClockService& s = Service();
    std::lock_guard<host::PiMutex> lock(s.mutex);
    return s.periodBalance;
}

uint64_t TimersCreated()
{
    ClockService& s = Service();
    std::lock_guard<host::PiMutex> lock(s.mutex);
    return s.created;
}

uint64_t TimersKilled()
{
    ClockService& s = Service();
    std::lock_guard<host::PiMutex> lock(s.mutex);
    return s.killedCount;
}

bool OnTimerServiceThread()
{
    ClockService& s = Service();
    std::lock_guard<host::PiMutex> lock(s.mutex);
    return OnServiceThread(s);
}

std::string TimerThreadScheduling()
{
    ClockService& s = Service();
    std::lock_guard<host::PiMutex> lock(s.mutex);
    return s.scheduling;
}

uint64_t CurrentTickLatenessNs()
{
    return g_currentTickLateNs;
}

bool VirtualClockMovesByItself()
{
    return host::autoclock::On();
}

bool VirtualClockInUse()
{
    return Service().pubVirtual.load(std::memory_order_acquire) != 0;
}

void SpendVirtualNs(uint64_t ns)
{
    ClockService& s = Service();
    std::lock_guard<host::PiMutex> lock(s.mutex);
    if (s.clock->Kind() != ClockKind::Virtual)
        return;
    s.virtualNow = AddNs(s.virtualNow, ns);
    PublishLocked(s);
}

void SetTickObserver(std::function<void(uint64_t)> fn)
{
    ClockService& s = Service();
    std::lock_guard<host::PiMutex> lock(s.mutex);
    s.observer = std::move(fn);
}

}  // namespace host

using host::clocks::ClockService;
using host::clocks::Service;

extern "C" {

BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency)
{
    if (lpFrequency == nullptr)
        return FALSE;
    ClockService& s = Service();
    lpFrequency->QuadPart = static_cast<LONGLONG>(s.pubFrequency.load(std::memory_order_acquire));
    return TRUE;
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount)
{
    if (lpPerformanceCount == nullptr)
        return FALSE;
    if (host::autoclock::On())
        host::autoclock::NotePoll();
    lpPerformanceCount->QuadPart = static_cast<LONGLONG>(host::clocks::ReadCounter(Service()));
    return TRUE;
}

// The resolution request has no effect on the host's timers; the balance is
// kept so that tests can see every request given back.
MMRESULT timeBeginPeriod(UINT uPeriod)
{
    if (uPeriod == 0)
        return TIMERR_NOCANDO;
    ClockService& s = Service();
    std::lock_guard<host::PiMutex> lock(s.mutex);
    ++s.periodBalance;
    return TIMERR_NOERROR;
}

MMRESULT timeEndPeriod(UINT uPeriod)
{
    if (uPeriod == 0)
        return TIMERR_NOCANDO;
    ClockService& s = Service();
    std::lock_guard<host::PiMutex> lock(s.mutex);
    --s.periodBalance;
    return TIMERR_NOERROR;
}

// A delay of 0 ms is refused (0), as on the platform, whose shortest period
// is 1 ms: a zero period would never let the virtual clock move on, and would
// spin a core on the real one.  uResolution has no effect here.
MMRESULT timeSetEvent(UINT uDelay, UINT /*uResolution*/, LPTIMECALLBACK fptc, DWORD_PTR dwUser, UINT fuEvent)
{
    host::AccessFaultIf(host::Fault::TimerAccess);
    if (host::ShouldFail(host::Fault::TimerCreate))
        return 0;
    if (uDelay == 0 || fptc == nullptr || (fuEvent & ~static_cast<UINT>(TIME_PERIODIC)) != 0)
        return 0;
    ClockService& s = Service();
    std::lock_guard<host::PiMutex> lock(s.mutex);
    host::clocks::EnsureThreadLocked(s);
    UINT id = s.nextId;
    while (id == 0 || s.timers.count(id))
        ++id;
    s.nextId = id + 1;
    host::clocks::TimerEntry t;
    t.id = id;
    t.callback = fptc;
    t.user = dwUser;
    t.periodic = (fuEvent & TIME_PERIODIC) != 0;
    t.periodNs = static_cast<uint64_t>(uDelay) * host::clocks::kNsPerMs;
    t.deadline = host::clocks::AddNs(host::clocks::NowLocked(s), t.periodNs);
    t.fireAt = host::clocks::AddNs(t.deadline, s.clock->Lateness(s));
    t.order = s.nextOrder++;
    t.killed = false;
    s.timers.emplace(id, t);
    ++s.created;
    WakeServiceLocked(s);
    return id;
}

// Never waits for a running tick: the caller may hold the lock that tick is
// waiting for.  A tick that had begun may still run or finish afterwards.
MMRESULT timeKillEvent(UINT uTimerID)
{
    host::AccessFaultIf(host::Fault::TimerAccess);
    ClockService& s = Service();
    std::lock_guard<host::PiMutex> lock(s.mutex);
    auto it = s.timers.find(uTimerID);
    if (it == s.timers.end() || it->second.killed)
        return MMSYSERR_INVALPARAM;
    ++s.killedCount;
    if (uTimerID == s.runningId)
        it->second.killed = true;   // erased by the service thread when the callback returns
    else
        s.timers.erase(it);
    WakeServiceLocked(s);
    return TIMERR_NOERROR;
}

}  // extern "C"
