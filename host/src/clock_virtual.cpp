// The virtual clock: time stands still until a test (or the player's fast
// mode) advances it; the service thread then fires every tick that falls
// due, in order, each at its own (possibly late) time, and the advance
// returns when they have run: one hand-off per advance, not per tick.
#include "autoclock.h"
#include "clock_service.h"
#include "host/faults.h"

namespace host {
namespace clocks {
namespace {

class Virtual final : public Clock {
public:
    ClockKind Kind() const override { return ClockKind::Virtual; }
    uint64_t DefaultFrequency() const override { return kVirtualDefaultFrequency; }

    Instant Now(const ClockService& s) const override { return s.virtualNow; }

    // The test's lateness, plus the fault table's late tick (in ms) when
    // one fires for this tick.
    uint64_t Lateness(const ClockService& s) const override
    {
        uint64_t ns = s.lateness ? s.lateness() : 0;
        int64_t ms = 0;
        if (ShouldFail(Fault::LateTick, &ms) && ms > 0)
            ns += static_cast<uint64_t>(ms) * kNsPerMs;
        return ns;
    }

    // Every tick runs, each at its own (possibly late) time, never before
    // the tick that came before it.
    void Reschedule(ClockService& s, TimerEntry& t, const Instant& firedAt) const override
    {
        t.deadline = AddNs(t.deadline, t.periodNs);
        t.fireAt = AddNs(t.deadline, Lateness(s));
        if (t.fireAt < firedAt)
            t.fireAt = firedAt;
    }

    // Idle until an advance is asked for; then fires every tick due up to
    // its target, moving time to each, and finally to the target itself.
    void Serve(ClockService& s, std::unique_lock<host::PiMutex>& lock, TimerEntry* next) const override
    {
        if (s.autoMove && !s.advancePending) {
            ServeAuto(s, lock, next);
            return;
        }
        if (!s.advancePending) {
            s.wake.wait(lock);
            return;
        }
        if (next && !(s.advanceTarget < next->fireAt)) {
            if (s.virtualNow < next->fireAt) {
                s.virtualNow = next->fireAt;
                PublishLocked(s);
            }
            FireLocked(s, lock, *next);
            return;
        }
        if (s.virtualNow < s.advanceTarget) {
            s.virtualNow = s.advanceTarget;
            PublishLocked(s);
        }
        s.advancePending = false;
        s.advanceCompleted = s.advanceRequested;
        s.advanced.notify_all();
    }

private:
    // The clock moving by itself: a tick due now fires at once (the timer
    // thread outranks the program's); otherwise, once every known thread
    // waits, time moves to the earliest tick or time-out, and a time-out now
    // due wakes its thread.  One step per turn.
    static void ServeAuto(ClockService& s, std::unique_lock<host::PiMutex>& lock, TimerEntry* next)
    {
        if (next && !(s.virtualNow < next->fireAt)) {
            FireLocked(s, lock, *next);
            return;
        }
        const autoclock::Look v = autoclock::LookLocked();
        if (v.running > 0 || !v.threads) {
            s.hungSeen = false;
            s.wake.wait(lock);
            return;
        }
        const Instant now = s.virtualNow;
        if (v.hasDeadline && !(now < Instant{v.deadlineNs, 0})) {
            lock.unlock();
            autoclock::TimeOutDue(now.ns);
            lock.lock();
            return;
        }
        bool have = next != nullptr;
        Instant target = have ? next->fireAt : Instant{};
        if (v.hasDeadline && (!have || Instant{v.deadlineNs, 0} < target)) {
            target = Instant{v.deadlineNs, 0};
            have = true;
        }
        if (have) {
            s.virtualNow = target;
            PublishLocked(s);
            return;
        }
        if (s.hungSeen) {
            s.wake.wait(lock);
            return;
        }
        s.hungSeen = true;
        lock.unlock();
        autoclock::ReportHung(now.ns);
        lock.lock();
    }
};

// Has the service thread advance the virtual clock to target, firing due
// ticks on its way; returns when it is there.
void AdvanceToLocked(ClockService& s, std::unique_lock<host::PiMutex>& lock, const Instant& target)
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
std::unique_lock<host::PiMutex> LockForAdvance(ClockService& s, const char* who)
{
    std::unique_lock<host::PiMutex> lock(s.mutex);
    if (s.clock->Kind() != ClockKind::Virtual)
        Misuse(who);
    if (OnServiceThread(s))
        Misuse("the virtual clock cannot be advanced from a timer callback");
    s.advanced.wait(lock, [&] { return !s.advancePending; });
    return lock;
}

}  // namespace

const Clock& VirtualClock()
{
    // Never destroyed: the detached service thread may call it until the
    // process ends.
    static const Virtual* clock = new Virtual;
    return *clock;
}

}  // namespace clocks

using clocks::ClockService;
using clocks::Service;

uint64_t VirtualNowNs()
{
    ClockService& s = Service();
    std::lock_guard<host::PiMutex> lock(s.mutex);
    return s.virtualNow.ns;
}

void AdvanceVirtualNs(uint64_t ns)
{
    ClockService& s = Service();
    auto lock = clocks::LockForAdvance(s, "AdvanceVirtualNs needs the virtual clock");
    clocks::AdvanceToLocked(s, lock, clocks::AddNs(s.virtualNow, ns));
}

void AdvanceVirtualCounts(uint64_t counts)
{
    ClockService& s = Service();
    auto lock = clocks::LockForAdvance(s, "AdvanceVirtualCounts needs the virtual clock");
    clocks::AdvanceToLocked(s, lock, clocks::AddCounts(s.virtualNow, counts, s.frequency));
}

bool RunNextVirtualTick()
{
    ClockService& s = Service();
    auto lock = clocks::LockForAdvance(s, "RunNextVirtualTick needs the virtual clock");
    clocks::TimerEntry* t = clocks::NextDueLocked(s);
    if (!t)
        return false;
    clocks::Instant target = t->fireAt;
    if (target < s.virtualNow)
        target = s.virtualNow;
    clocks::AdvanceToLocked(s, lock, target);
    return true;
}

void SetVirtualTickLateness(std::function<uint64_t()> fn)
{
    ClockService& s = Service();
    std::lock_guard<host::PiMutex> lock(s.mutex);
    s.lateness = std::move(fn);
}

}  // namespace host
