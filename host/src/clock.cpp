// The performance counter and the multimedia timer, on the real or the
// virtual clock.
//
// Time is kept as an Instant: whole nanoseconds plus a fraction of a
// nanosecond in units of 1/frequency ns.  With that unit both a whole number
// of counts (1e9 units) and a whole number of milliseconds are exact, so the
// virtual counter moves by exactly what a test asks and ticks with
// millisecond periods land on exact deadlines at any counter frequency.  The
// counter is read as
//     baseCount + floor((t - base) / 1e9 units)
// and a frequency change rebases it, so the counter never jumps.  Products
// that may exceed 64 bits go through the small 128-bit helpers below (the
// compiler's 128-bit type where there is one; the 32-bit target has none).
// What the counter needs is republished under a sequence lock after every
// change, so reading the counter takes no mutex.
//
// One service thread runs every callback.  The decision that a tick begins
// is taken under the service mutex, where timeKillEvent also marks its timer
// killed; the callback itself runs outside the mutex.  So a kill never waits
// for a tick (which may be blocked on a lock the killer holds), and no tick
// of a killed timer begins after the kill has returned.
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <string>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

#include "host/clock.h"
#include "host/host.h"
#include "host_internal.h"

namespace host {
namespace {

constexpr uint64_t kNsPerSecond = 1000000000u;
constexpr uint64_t kNsPerMs = 1000000u;
constexpr uint64_t kVirtualDefaultFrequency = 10000000u;
constexpr uint64_t kRealDefaultFrequency = 1000000000u;
// Above ordinary real-time work but below the kernel's own threads (50).
constexpr int kRealTimePriority = 40;

// ---- 128-bit arithmetic --------------------------------------------------------

struct U128 {
    uint64_t hi;
    uint64_t lo;
};

U128 Mul64(uint64_t a, uint64_t b)
{
#ifdef __SIZEOF_INT128__
    unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
    return U128{static_cast<uint64_t>(p >> 64), static_cast<uint64_t>(p)};
#endif
    const uint64_t mask = 0xFFFFFFFFu;
    uint64_t a0 = a & mask, a1 = a >> 32, b0 = b & mask, b1 = b >> 32;
    uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
    uint64_t mid = (p00 >> 32) + (p01 & mask) + (p10 & mask);
    return U128{p11 + (p01 >> 32) + (p10 >> 32) + (mid >> 32), (mid << 32) | (p00 & mask)};
}

U128 Add(U128 a, uint64_t b)
{
    U128 r{a.hi, a.lo + b};
    if (r.lo < a.lo)
        ++r.hi;
    return r;
}

U128 Sub(U128 a, uint64_t b)
{
    U128 r{a.hi, a.lo - b};
    if (a.lo < b)
        --r.hi;
    return r;
}

// a / d (low 64 bits of the quotient) and a % d.
uint64_t DivMod(U128 a, uint64_t d, uint64_t* rem)
{
    if (a.hi == 0) {
        *rem = a.lo % d;
        return a.lo / d;
    }
#ifdef __SIZEOF_INT128__
    {
        unsigned __int128 n = (static_cast<unsigned __int128>(a.hi) << 64) | a.lo;
        *rem = static_cast<uint64_t>(n % d);
        return static_cast<uint64_t>(n / d);
    }
#endif
    uint64_t q = 0, r = 0;
    for (int i = 127; i >= 0; --i) {
        bool carry = (r >> 63) != 0;
        uint64_t bit = i >= 64 ? (a.hi >> (i - 64)) & 1 : (a.lo >> i) & 1;
        r = (r << 1) | bit;
        q <<= 1;
        if (carry || r >= d) {
            r -= d;   // modulo 2^64, right also when the shift carried out
            q |= 1;
        }
    }
    *rem = r;
    return q;
}

uint64_t MulDiv(uint64_t a, uint64_t b, uint64_t d, uint64_t* rem)
{
    return DivMod(Mul64(a, b), d, rem);
}

// ---- Instants -------------------------------------------------------------------

// ns + sub / frequency nanoseconds; sub < frequency.
struct Instant {
    uint64_t ns = 0;
    uint64_t sub = 0;
};

bool operator<(const Instant& a, const Instant& b)
{
    return a.ns < b.ns || (a.ns == b.ns && a.sub < b.sub);
}

Instant AddNs(Instant t, uint64_t ns)
{
    t.ns += ns;
    return t;
}

Instant AddCounts(Instant t, uint64_t counts, uint64_t frequency)
{
    uint64_t rem;
    t.ns += MulDiv(counts, kNsPerSecond, frequency, &rem);
    t.sub += rem;
    if (t.sub >= frequency) {
        t.sub -= frequency;
        ++t.ns;
    }
    return t;
}

uint64_t MonotonicNs()
{
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

// ---- The service ------------------------------------------------------------------

struct TimerEntry {
    UINT id;                  // the id timeSetEvent returned
    LPTIMECALLBACK callback;  // called on the service thread
    DWORD_PTR user;           // the caller's word, passed back to the callback
    bool periodic;            // TIME_PERIODIC; a one-shot timer ends as its tick begins
    uint64_t periodNs;        // delay / period
    Instant deadline;         // next tick's deadline
    Instant fireAt;           // when the next tick runs (virtual lateness applied)
    uint64_t order;           // creation order; breaks ties between equal fire times
    bool killed;              // no tick begins any more; kept only while its callback runs
};

struct ClockService {
    std::mutex mutex;                   // guards everything below
    std::condition_variable wake;       // to the service thread: timers or requests changed (virtual clock)
    // The real clock's sleep: a futex wait on this word to an absolute
    // CLOCK_MONOTONIC deadline, one system call like clock_nanosleep, yet
    // woken early when the timers change.  Bumped under the mutex.
    std::atomic<uint32_t> wakeWord{0};
    bool sleeping = false;              // the service thread waits on wakeWord
    std::condition_variable done;       // to callers: a callback returned (only while callbackWaiters > 0)
    std::condition_variable advanced;   // to callers: an advance finished
    int callbackWaiters = 0;            // callers waiting on `done`; no wake-up per tick otherwise

    ClockKind kind = ClockKind::Virtual;
    uint64_t frequency = kVirtualDefaultFrequency;   // counts per second
    Instant virtualNow;                              // virtual clock's time
    Instant base;                                    // counter origin (clock time)
    uint64_t baseCount = 0;                          // counter value at base

    std::map<UINT, TimerEntry> timers;   // live timers, and a killed one whose callback runs
    UINT nextId = 1;                     // ids are never reused within the process
    uint64_t nextOrder = 0;
    UINT runningId = 0;                  // timer whose callback runs now, 0 when none
    bool threadStarted = false;
    std::thread::id threadId;

    bool advancePending = false;   // virtual: the service thread is advancing to advanceTarget
    Instant advanceTarget;
    uint64_t advanceRequested = 0;   // advance requests made / completed
    uint64_t advanceCompleted = 0;

    std::function<uint64_t()> lateness;
    std::function<void(uint64_t)> observer;
    int periodBalance = 0;
    uint64_t created = 0;
    uint64_t killedCount = 0;

    // What the counter needs, republished under the mutex after every change
    // so that QueryPerformanceCounter reads it without the mutex: a sequence
    // lock, whose readers retry while a change is being written.
    std::atomic<uint32_t> seq{0};
    std::atomic<uint64_t> pubVirtual{1}, pubFrequency{kVirtualDefaultFrequency};
    std::atomic<uint64_t> pubBaseNs{0}, pubBaseSub{0}, pubBaseCount{0}, pubNowNs{0}, pubNowSub{0};

    // Scheduling of the service thread: real-time while the real clock is in
    // use (as the platform runs its timer thread at high priority), when the
    // process may.  Written by the service thread.
    bool realTimeWanted = false;      // under mutex
    bool realTimeApplied = false;     // service thread only
    std::string scheduling = "not started";   // under mutex
};

// Never destroyed: the detached service thread may use it until the process ends.
ClockService& Service()
{
    static ClockService* s = new ClockService;
    return *s;
}

uint64_t DefaultFrequency(ClockKind kind)
{
    return kind == ClockKind::Virtual ? kVirtualDefaultFrequency : kRealDefaultFrequency;
}

bool OnServiceThread(const ClockService& s)
{
    return s.threadStarted && s.threadId == std::this_thread::get_id();
}

Instant NowLocked(const ClockService& s)
{
    if (s.kind == ClockKind::Virtual)
        return s.virtualNow;
    Instant t;
    t.ns = MonotonicNs();
    return t;
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
    s.pubVirtual.store(s.kind == ClockKind::Virtual, std::memory_order_relaxed);
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

// The test's lateness, plus the fault registry's late tick (in ms) when one
// fires for this tick.
uint64_t LatenessLocked(const ClockService& s)
{
    if (s.kind != ClockKind::Virtual)
        return 0;
    uint64_t ns = s.lateness ? s.lateness() : 0;
    int64_t ms = 0;
    if (ShouldFail(Fault::LateTick, &ms) && ms > 0)
        ns += static_cast<uint64_t>(ms) * kNsPerMs;
    return ns;
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

// Moves a periodic timer to its next deadline after a tick that fired at `firedAt`.
void RescheduleLocked(ClockService& s, TimerEntry& t, const Instant& firedAt)
{
    Instant next = AddNs(t.deadline, t.periodNs);
    if (s.kind == ClockKind::Real) {
        // The grid stays fixed (previous deadline + period, so no drift).  A
        // tick late by a whole period or more does not cause a burst of
        // catch-up ticks: the missed grid points are dropped and the next
        // tick comes at the first one after now.  The pump measures the
        // elapsed time on the counter, so no audio time is lost by this.
        if (!(firedAt.ns < next.ns)) {
            uint64_t periods = (firedAt.ns - t.deadline.ns) / t.periodNs + 1;
            next = AddNs(t.deadline, periods * t.periodNs);
        }
        t.deadline = t.fireAt = next;
        return;
    }
    // Virtual: every tick runs, each at its own (possibly late) time, never
    // before the tick that came before it.
    t.deadline = next;
    t.fireAt = AddNs(next, LatenessLocked(s));
    if (t.fireAt < firedAt)
        t.fireAt = firedAt;
}

// Runs one tick of t.  Called on the service thread with the lock held;
// returns with it held.
void FireLocked(ClockService& s, std::unique_lock<std::mutex>& lock, TimerEntry& t)
{
    // From here the tick has begun: a kill can no longer stop it.
    const UINT id = t.id;
    const LPTIMECALLBACK callback = t.callback;
    const DWORD_PTR user = t.user;
    const Instant firedAt = NowLocked(s);
    if (t.periodic)
        RescheduleLocked(s, t, firedAt);
    else
        t.killed = true;
    s.runningId = id;
    ApplyDriftLocked(s, t);
    std::function<void(uint64_t)> observer = s.observer;
    const uint64_t counter = CounterAtLocked(s, firedAt);

    lock.unlock();
    if (observer)
        observer(counter);
    callback(id, 0, user, 0, 0);
    lock.lock();

    s.runningId = 0;
    auto it = s.timers.find(id);
    if (it != s.timers.end() && it->second.killed)
        s.timers.erase(it);
    if (s.callbackWaiters > 0)
        s.done.notify_all();
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

// The real clock's wait for a deadline: the mutex is released for a single
// futex wait to the absolute deadline on CLOCK_MONOTONIC (a condition
// variable would take the mutex back marked as contended, so every tick
// would pay a second system call to release it).  Returns with the mutex
// held, at the deadline or earlier when the timers changed.
void SleepUntilLocked(ClockService& s, std::unique_lock<std::mutex>& lock, uint64_t deadlineNs)
{
    const uint32_t seen = s.wakeWord.load(std::memory_order_relaxed);
    s.sleeping = true;
    lock.unlock();
    timespec ts;
    ts.tv_sec = static_cast<time_t>(deadlineNs / kNsPerSecond);
    ts.tv_nsec = static_cast<long>(deadlineNs % kNsPerSecond);
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&s.wakeWord), FUTEX_WAIT_BITSET_PRIVATE, seen, &ts, nullptr,
            FUTEX_BITSET_MATCH_ANY);
    lock.lock();
    s.sleeping = false;
}

// Asks for real-time scheduling for the service thread while the real clock
// is in use, and gives it back on the virtual clock.  A process that may not
// have it keeps normal scheduling; the outcome is kept for reports.  The
// timer slack goes down to 1 ns as well, so wake-ups are not batched.
void ApplySchedulingLocked(ClockService& s)
{
    if (s.realTimeWanted == s.realTimeApplied)
        return;
    s.realTimeApplied = s.realTimeWanted;
    if (s.realTimeWanted) {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        sched_param p{};
        p.sched_priority = kRealTimePriority;
        int rc = pthread_setschedparam(pthread_self(), SCHED_FIFO, &p);
        s.scheduling = rc == 0 ? "SCHED_FIFO priority " + std::to_string(kRealTimePriority)
                               : std::string("normal (SCHED_OTHER); real-time scheduling refused: ") + std::strerror(rc);
    } else {
        sched_param p{};
        pthread_setschedparam(pthread_self(), SCHED_OTHER, &p);
        s.scheduling = "normal (SCHED_OTHER), virtual clock";
    }
}

void ServiceLoop()
{
    ClockService& s = Service();
    std::unique_lock<std::mutex> lock(s.mutex);
    for (;;) {
        ApplySchedulingLocked(s);
        TimerEntry* t = NextDueLocked(s);
        if (s.kind == ClockKind::Virtual) {
            if (!s.advancePending) {
                s.wake.wait(lock);
                continue;
            }
            if (t && !(s.advanceTarget < t->fireAt)) {
                if (s.virtualNow < t->fireAt) {
                    s.virtualNow = t->fireAt;
                    PublishLocked(s);
                }
                FireLocked(s, lock, *t);
                continue;
            }
            if (s.virtualNow < s.advanceTarget) {
                s.virtualNow = s.advanceTarget;
                PublishLocked(s);
            }
            s.advancePending = false;
            s.advanceCompleted = s.advanceRequested;
            s.advanced.notify_all();
            continue;
        }
        if (!t) {
            s.wake.wait(lock);
            continue;
        }
        uint64_t now = MonotonicNs();
        if (now < t->fireAt.ns) {
            SleepUntilLocked(s, lock, t->fireAt.ns);
            continue;
        }
        FireLocked(s, lock, *t);
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
void StopAllTimersLocked(ClockService& s, std::unique_lock<std::mutex>& lock)
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

void UseClockLocked(ClockService& s, std::unique_lock<std::mutex>& lock, ClockKind kind)
{
    StopAllTimersLocked(s, lock);
    s.kind = kind;
    s.frequency = DefaultFrequency(kind);
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

// Has the service thread advance the virtual clock to target, firing due
// ticks on its way; returns when it is there.
void AdvanceToLocked(ClockService& s, std::unique_lock<std::mutex>& lock, const Instant& target)
{
    if (s.timers.empty()) {
        if (s.virtualNow < target) {
            s.virtualNow = target;
            PublishLocked(s);
        }
        return;
    }
    EnsureThreadLocked(s);
    s.advancePending = true;
    s.advanceTarget = target;
    const uint64_t request = ++s.advanceRequested;
    WakeServiceLocked(s);
    s.advanced.wait(lock, [&] { return s.advanceCompleted >= request; });
}

// Locks the service for an advance: virtual clock only, not from a callback,
// one advance at a time.
std::unique_lock<std::mutex> LockForAdvance(ClockService& s, const char* who)
{
    std::unique_lock<std::mutex> lock(s.mutex);
    if (s.kind != ClockKind::Virtual)
        Misuse(who);
    if (OnServiceThread(s))
        Misuse("the virtual clock cannot be advanced from a timer callback");
    s.advanced.wait(lock, [&] { return !s.advancePending; });
    return lock;
}

}  // namespace

void ResetClock()
{
    ClockService& s = Service();
    std::unique_lock<std::mutex> lock(s.mutex);
    UseClockLocked(s, lock, ClockKind::Virtual);
    s.lateness = nullptr;
    s.observer = nullptr;
    s.periodBalance = 0;
    s.created = 0;
    s.killedCount = 0;
}

namespace {

}  // namespace

void UseClock(ClockKind kind)
{
    ClockService& s = Service();
    std::unique_lock<std::mutex> lock(s.mutex);
    UseClockLocked(s, lock, kind);
}

ClockKind CurrentClock()
{
    ClockService& s = Service();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.kind;
}

void SetCounterFrequency(uint64_t countsPerSecond)
{
    ClockService& s = Service();
    std::lock_guard<std::mutex> lock(s.mutex);
    const uint64_t f = countsPerSecond ? countsPerSecond : DefaultFrequency(s.kind);
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
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.frequency;
}

uint64_t VirtualNowNs()
{
    ClockService& s = Service();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.virtualNow.ns;
}

void AdvanceVirtualNs(uint64_t ns)
{
    ClockService& s = Service();
    auto lock = LockForAdvance(s, "AdvanceVirtualNs needs the virtual clock");
    AdvanceToLocked(s, lock, AddNs(s.virtualNow, ns));
}

void AdvanceVirtualCounts(uint64_t counts)
{
    ClockService& s = Service();
    auto lock = LockForAdvance(s, "AdvanceVirtualCounts needs the virtual clock");
    AdvanceToLocked(s, lock, AddCounts(s.virtualNow, counts, s.frequency));
}

bool RunNextVirtualTick()
{
    ClockService& s = Service();
    auto lock = LockForAdvance(s, "RunNextVirtualTick needs the virtual clock");
    TimerEntry* t = NextDueLocked(s);
    if (!t)
        return false;
    Instant target = t->fireAt;
    if (target < s.virtualNow)
        target = s.virtualNow;
    AdvanceToLocked(s, lock, target);
    return true;
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

void SetVirtualTickLateness(std::function<uint64_t()> fn)
{
    ClockService& s = Service();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.lateness = std::move(fn);
}

int ActiveTimerCount()
{
    ClockService& s = Service();
    std::lock_guard<std::mutex> lock(s.mutex);
    int n = 0;
    for (const auto& kv : s.timers)
        n += kv.second.killed ? 0 : 1;
    return n;
}

int TimerPeriodBalance()
{
    ClockService& s = Service();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.periodBalance;
}

uint64_t TimersCreated()
{
    ClockService& s = Service();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.created;
}

uint64_t TimersKilled()
{
    ClockService& s = Service();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.killedCount;
}

bool OnTimerServiceThread()
{
    ClockService& s = Service();
    std::lock_guard<std::mutex> lock(s.mutex);
    return OnServiceThread(s);
}

std::string TimerThreadScheduling()
{
    ClockService& s = Service();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.scheduling;
}

void SetTickObserver(std::function<void(uint64_t)> fn)
{
    ClockService& s = Service();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.observer = std::move(fn);
}

}  // namespace host

using host::ClockService;

extern "C" {

BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency)
{
    if (lpFrequency == nullptr)
        return FALSE;
    ClockService& s = host::Service();
    lpFrequency->QuadPart = static_cast<LONGLONG>(s.pubFrequency.load(std::memory_order_acquire));
    return TRUE;
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount)
{
    if (lpPerformanceCount == nullptr)
        return FALSE;
    lpPerformanceCount->QuadPart = static_cast<LONGLONG>(host::ReadCounter(host::Service()));
    return TRUE;
}

// The resolution request has no effect on the host's timers; the balance is
// kept so that tests can see every request given back.
MMRESULT timeBeginPeriod(UINT uPeriod)
{
    if (uPeriod == 0)
        return TIMERR_NOCANDO;
    ClockService& s = host::Service();
    std::lock_guard<std::mutex> lock(s.mutex);
    ++s.periodBalance;
    return TIMERR_NOERROR;
}

MMRESULT timeEndPeriod(UINT uPeriod)
{
    if (uPeriod == 0)
        return TIMERR_NOCANDO;
    ClockService& s = host::Service();
    std::lock_guard<std::mutex> lock(s.mutex);
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
    ClockService& s = host::Service();
    std::lock_guard<std::mutex> lock(s.mutex);
    host::EnsureThreadLocked(s);
    UINT id = s.nextId;
    while (id == 0 || s.timers.count(id))
        ++id;
    s.nextId = id + 1;
    host::TimerEntry t;
    t.id = id;
    t.callback = fptc;
    t.user = dwUser;
    t.periodic = (fuEvent & TIME_PERIODIC) != 0;
    t.periodNs = static_cast<uint64_t>(uDelay) * host::kNsPerMs;
    t.deadline = host::AddNs(host::NowLocked(s), t.periodNs);
    t.fireAt = host::AddNs(t.deadline, host::LatenessLocked(s));
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
    ClockService& s = host::Service();
    std::lock_guard<std::mutex> lock(s.mutex);
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
