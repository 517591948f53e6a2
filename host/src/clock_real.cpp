// The real clock: CLOCK_MONOTONIC, and a service thread that sleeps to each
// tick's absolute deadline with one futex wait, at real-time priority when
// the process may have it.
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "clock_service.h"

namespace host {
namespace clocks {
namespace {

// The wait for a deadline: the mutex is released for a single futex wait to
// the absolute deadline on CLOCK_MONOTONIC (a condition variable would take
// the mutex back marked as contended, so every tick would pay a second
// system call to release it).  Returns with the mutex held, at the deadline
// or earlier when the timers changed.
void SleepUntilLocked(ClockService& s, std::unique_lock<host::PiMutex>& lock, uint64_t deadlineNs)
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

class Real final : public Clock {
public:
    ClockKind Kind() const override { return ClockKind::Real; }
    uint64_t DefaultFrequency() const override { return kRealDefaultFrequency; }

    Instant Now(const ClockService&) const override
    {
        Instant t;
        t.ns = MonotonicNs();
        return t;
    }

    // Real ticks are as late as the machine makes them, no later.
    uint64_t Lateness(const ClockService&) const override { return 0; }

    // The grid stays fixed (previous deadline + period, so no drift).  A tick
    // late by a whole period or more does not cause a burst of catch-up
    // ticks: the missed grid points are dropped and the next tick comes at
    // the first one after now.  The pump measures the elapsed time on the
    // counter, so no audio time is lost by this.
    void Reschedule(ClockService&, TimerEntry& t, const Instant& firedAt) const override
    {
        Instant next = AddNs(t.deadline, t.periodNs);
        if (!(firedAt.ns < next.ns)) {
            uint64_t periods = (firedAt.ns - t.deadline.ns) / t.periodNs + 1;
            next = AddNs(t.deadline, periods * t.periodNs);
        }
        t.deadline = t.fireAt = next;
    }

    void Serve(ClockService& s, std::unique_lock<host::PiMutex>& lock, TimerEntry* next) const override
    {
        if (!next) {
            s.wake.wait(lock);
            return;
        }
        if (MonotonicNs() < next->fireAt.ns) {
            SleepUntilLocked(s, lock, next->fireAt.ns);
            return;
        }
        FireLocked(s, lock, *next);
    }
};

}  // namespace

const Clock& RealClock()
{
    // Never destroyed: the detached service thread may call it until the
    // process ends.
    static const Real* clock = new Real;
    return *clock;
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

}  // namespace clocks
}  // namespace host
