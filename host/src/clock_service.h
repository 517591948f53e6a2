// The host clock's inside, shared by the service (clock.cpp) and its two
// clocks (clock_real.cpp, clock_virtual.cpp); not for drivers or tests.
//
// Time is kept as an Instant: whole nanoseconds plus a fraction of a
// nanosecond in units of 1/frequency ns.  With that unit both a whole number
// of counts (1e9 units) and a whole number of milliseconds are exact, so the
// virtual counter moves by exactly what a test asks and ticks with
// millisecond periods land on exact deadlines at any counter frequency.
// Products that may exceed 64 bits go through the small 128-bit helpers
// below (the compiler's 128-bit type where there is one; the 32-bit target
// has none).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "host/clock.h"
#include "host/platform.h"
#include "host/realtime.h"

namespace host {
namespace clocks {

constexpr uint64_t kNsPerSecond = 1000000000u;
constexpr uint64_t kNsPerMs = 1000000u;
constexpr uint64_t kVirtualDefaultFrequency = 10000000u;
constexpr uint64_t kRealDefaultFrequency = 1000000000u;
// The timer thread's real-time priority: above
// ordinary real-time work but below the kernel's own threads (50).
constexpr int kRealTimePriority = 40;
// The late-tick probes run one above it, so that the tick's own work cannot
// hold them up: only what takes the whole CPU can.
constexpr int kProbePriority = kRealTimePriority + 1;

// ---- 128-bit arithmetic --------------------------------------------------------

struct U128 {
    uint64_t hi;
    uint64_t lo;
};

inline U128 Mul64(uint64_t a, uint64_t b)
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

inline U128 Add(U128 a, uint64_t b)
{
    U128 r{a.hi, a.lo + b};
    if (r.lo < a.lo)
        ++r.hi;
    return r;
}

inline U128 Sub(U128 a, uint64_t b)
{
    U128 r{a.hi, a.lo - b};
    if (a.lo < b)
        --r.hi;
    return r;
}

// a / d (low 64 bits of the quotient) and a % d.
inline uint64_t DivMod(U128 a, uint64_t d, uint64_t* rem)
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

inline uint64_t MulDiv(uint64_t a, uint64_t b, uint64_t d, uint64_t* rem)
{
    return DivMod(Mul64(a, b), d, rem);
}

// ---- Instants -------------------------------------------------------------------

// ns + sub / frequency nanoseconds; sub < frequency.
struct Instant {
    uint64_t ns = 0;
    uint64_t sub = 0;
};

inline bool operator<(const Instant& a, const Instant& b)
{
    return a.ns < b.ns || (a.ns == b.ns && a.sub < b.sub);
}

inline Instant AddNs(Instant t, uint64_t ns)
{
    t.ns += ns;
    return t;
}

inline Instant AddCounts(Instant t, uint64_t counts, uint64_t frequency)
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

inline uint64_t MonotonicNs()
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

struct ClockService;

// One of the two clocks behind the service: what differs between real and
// virtual time.  The service holds the one in use and calls it with its
// mutex held; a clock keeps no state of its own (the service's fields are
// its state), so switching clocks is swapping the pointer.
class Clock {
public:
    virtual ~Clock() = default;
    virtual ClockKind Kind() const = 0;
    // Counts per second until a test asks for another frequency.
    virtual uint64_t DefaultFrequency() const = 0;
    // The clock's time now.  Any thread, s.mutex held.
    virtual Instant Now(const ClockService& s) const = 0;
    // How many ns after its deadline the tick being scheduled runs.  Any
    // thread, s.mutex held; consults the fault table (a leaf lock).
    virtual uint64_t Lateness(const ClockService& s) const = 0;
    // Moves periodic timer t to its next tick after one that fired at
    // firedAt.  Service thread, s.mutex held.
    virtual void Reschedule(ClockService& s, TimerEntry& t, const Instant& firedAt) const = 0;
    // One turn of the service thread's loop, next being the live timer whose
    // tick runs first (null: none): fires it when it is due, otherwise
    // waits.  Service thread, s.mutex held on entry and return; released
    // while waiting and while the callback runs.
    virtual void Serve(ClockService& s, std::unique_lock<host::PiMutex>& lock, TimerEntry* next) const = 0;
};

const Clock& RealClock();      // clock_real.cpp
const Clock& VirtualClock();   // clock_virtual.cpp

struct ClockService {
    // Guards everything below.  Taken by timeSetEvent and timeKillEvent,
    // which the driver calls with its lock held, so it is never held
    // while a timer callback, the tick observer or anything else that may
    // take a driver's lock runs; the lateness function and the fault
    // table (a leaf) are the only calls made under it.
    PiMutex mutex;   // lends a waiter's priority: the timer thread takes it between ticks
    PiCondition wake;       // to the service thread: timers or requests changed (virtual clock)
    // The real clock's sleep: a futex wait on this word to an absolute
    // CLOCK_MONOTONIC deadline, one system call like clock_nanosleep, yet
    // woken early when the timers change.  Bumped under the mutex.
    std::atomic<uint32_t> wakeWord{0};
    bool sleeping = false;              // the service thread waits on wakeWord
    PiCondition done;       // to callers: a callback returned (only while callbackWaiters > 0)
    PiCondition advanced;   // to callers: an advance finished
    int callbackWaiters = 0;            // callers waiting on `done`; no wake-up per tick otherwise

    const Clock* clock = &VirtualClock();            // the clock in use
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

    bool autoMove = false;   // the virtual clock moves by itself (autoclock.h)
    bool hungSeen = false;   // the hang was reported; not again until a thread runs
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

// ---- The service's shared steps (clock.cpp) ----------------------------------------
// Every ...Locked function is called with s.mutex held.
ClockService& Service();
bool OnServiceThread(const ClockService& s);
uint64_t CounterAtLocked(const ClockService& s, const Instant& t);
// Republishes what the lock-free counter read needs, after any change to it.
void PublishLocked(ClockService& s);
// Runs one tick of t.  Service thread; returns with the lock held.
void FireLocked(ClockService& s, std::unique_lock<host::PiMutex>& lock, TimerEntry& t);
// Wakes the service thread for a change of timers or requests, whichever
// way it sleeps.
void WakeServiceLocked(ClockService& s);
void EnsureThreadLocked(ClockService& s);
TimerEntry* NextDueLocked(ClockService& s);
[[noreturn]] void Misuse(const char* what);

// ---- The late-tick audit (realtime.cpp) ----------------------------------------------
// One tick's account, on the service thread's stack while its callback runs.
struct TickAccount {
    TickParts parts;
    uint64_t cpuStartNs = 0;   // the service thread's CPU time when the tick began
    int startCpu = -1;         // the CPU it began on
    uint64_t longestLockNs = 0;
    bool open[kTickParts] = {false, false, false};
};
// True while an audit runs: the one atomic load a tick pays otherwise.
bool AuditOn();
// Around a real-clock tick's observer and callback, on the service thread
// with no lock of the clock held.  End records the tick when it was late.
void AuditTickBegin(TickAccount* acc);
// nextDeadlineNs: the timer's next tick (0: none), which the probe follows.
void AuditTickEnd(const TickAccount& acc, uint64_t deadlineNs, uint64_t startNs, uint64_t nextDeadlineNs);
// Returns once no callback is running (at once on the service thread).  The
// caller must hold no lock a tick may wait for.
void WaitBetweenTicks();

// The service thread's scheduling for the clock in use (clock_real.cpp).
// Service thread, s.mutex held.
void ApplySchedulingLocked(ClockService& s);

}  // namespace clocks
}  // namespace host
