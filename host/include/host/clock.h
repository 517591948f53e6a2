// The clock behind the performance counter and the multimedia timer.
//
// Two clocks share one interface.  The real clock follows CLOCK_MONOTONIC and
// a timer thread sleeps to absolute deadlines (one futex wait per tick), at
// real-time priority when the process may have it.  The virtual clock stands
// still until a test (or the player's fast mode) advances it; advancing fires
// every tick that falls due, in order, on the timer service's own thread, and
// returns when they have run: one hand-off per advance, not per tick.  Each
// tick's callback reads the counter at its own firing time.  The counter is
// read without a lock, from any thread.
//
// One service thread runs every timer's callback, one call at a time.
// timeKillEvent never waits for a running callback (its caller may hold the
// lock that callback waits for), yet no callback of the timer begins after it
// returns.
//
// Timer callbacks run on the service thread with no lock of the clock held:
// a callback may read the counter and set or kill timers (its own too), and
// may block on its own locks (the driver's tick takes the driver's lock), which
// only delays the other timers' ticks.  timeSetEvent, timeKillEvent and the
// counter may be called from any thread, under any lock of the caller's;
// they never wait for a callback.  A callback must not switch clocks,
// advance the virtual clock or reset the host (each would wait for itself).  timeSetEvent refuses a delay of 0 ms, a null callback and any flag
// besides TIME_PERIODIC with 0.
//
// A process starts on the virtual clock at 10 MHz, as ResetAll leaves it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace host {

// VirtualAuto: the virtual clock, moving by itself (below); CurrentClock()
// says Virtual for it too.
enum class ClockKind { Real, Virtual, VirtualAuto };

// Switches clock: stops every timer (waiting for a callback that is running,
// unless called from one, so the caller must not hold a lock a running
// callback may wait for), puts the counter back to 0 at the clock's default
// frequency, and on the virtual clock puts time back to 0.  Lateness and the
// tick observer are kept.  Starts the timer service's thread if it is not
// running yet, as the platform's is before any driver loads.
void UseClock(ClockKind kind);
ClockKind CurrentClock();

// Counts per second reported by QueryPerformanceFrequency (default 10 MHz on
// the virtual clock, 1e9 on the real one; 0 selects the default).  Takes
// effect at once: the counter goes on from its current value at the new rate.
void SetCounterFrequency(uint64_t countsPerSecond);
uint64_t CounterFrequency();

// ---- Virtual clock -----------------------------------------------------------
// Time since the virtual clock was (re)started, in whole nanoseconds.
uint64_t VirtualNowNs();
// Advances the virtual clock by ns, firing every due tick in order, on the
// service thread while the caller waits (so the caller must hold no lock a
// tick takes, such as the driver's lock).  Calling
// any of the advancing functions on the real clock, or from a timer callback,
// is a programming error and ends the process with a message.
void AdvanceVirtualNs(uint64_t ns);
inline void AdvanceVirtualMs(uint64_t ms) { AdvanceVirtualNs(ms * 1000000ull); }
// Advances the virtual counter by exactly `counts` counts (at the current
// frequency), firing due ticks.
void AdvanceVirtualCounts(uint64_t counts);
// Advances to the next due tick (if any) and fires it, with any other tick
// due at the same instant; false when no timer exists.
bool RunNextVirtualTick();

// Lateness of each virtual tick: called once per tick when the tick is
// scheduled, returns how many ns after its deadline the tick runs.  A timer's
// ticks never run out of order: a tick runs no earlier than the one before
// it.  nullptr: on time.  fn runs with the clock's lock held and must not
// call back into the clock or the timers.
void SetVirtualTickLateness(std::function<uint64_t()> fn);

// The clock's own time in ns, which a clock-drift fault does not touch: the
// virtual time on the virtual clock, CLOCK_MONOTONIC on the real one (only
// differences mean anything).  Any thread; takes no lock.
uint64_t ClockNowNs();

// ---- Observation ---------------------------------------------------------------
// Timers that exist now (a one-shot timer ends as its tick begins; a killed
// timer whose callback is still running no longer counts).
int ActiveTimerCount();
// Calls of timeBeginPeriod minus calls of timeEndPeriod (non-zero periods).
int TimerPeriodBalance();
// timeSetEvent successes and successful timeKillEvent calls since reset.
uint64_t TimersCreated();
uint64_t TimersKilled();
// True on the timer service's thread (inside a timer callback).
bool OnTimerServiceThread();

// How the timer service thread is scheduled: "SCHED_FIFO priority N" while
// the real clock runs and the process may have real-time scheduling,
// otherwise "normal (SCHED_OTHER)" with the reason.
std::string TimerThreadScheduling();

// Called on the service thread just before each tick's callback, with the
// counter value at that moment (any timer, either clock); for pacing
// measurements.  No lock of the clock or the driver is held.  The tick waits
// for it, so on the real clock it must neither wait for another thread (a
// lock it shares with normal threads must be a PiMutex, realtime.h) nor do
// file or console I/O: what it keeps for writing goes to a thread of its
// own.  Cleared by ResetAll.
void SetTickObserver(std::function<void(uint64_t counterValue)> fn);

// The lateness of the tick whose callback (or tick observer) is running:
// how long after its deadline the service thread began it, in ns of the
// clock in use (a clock-drift fault does not touch it).  Only meaningful on
// the service thread, inside a tick.
uint64_t CurrentTickLatenessNs();

// True while the virtual clock is in use: one atomic load, any thread.
bool VirtualClockInUse();
// On the virtual clock, time passes while the caller works: the clock moves
// on by ns at once, firing no tick (the ticks now due run late, when the
// service thread next looks).  A timer callback may call it, for a service
// that takes that long inside the tick (a slow post).  Nothing on the real clock.
void SpendVirtualNs(uint64_t ns);

// ---- The virtual clock that moves by itself ------------------------------------
// UseClock(ClockKind::VirtualAuto): the virtual clock, which nobody
// advances.  The host knows the program's threads: the one that chose the
// clock (the program's main thread), those CreateThread made, a thread of
// the program's own from its first wait in the host, and the timer
// service's (idle while no tick is due now).  Whenever every known thread
// waits in the platform's calls (Sleep, WaitForSingleObject/Multiple,
// GetMessage, a critical section another waiting thread holds, and the
// host's event waits built on them), the clock jumps to the earliest of the
// next tick and the next time-out, fires or ends it, and lets the woken
// threads run until all wait again.  Time-outs of those calls are virtual.
// docs/threads.md says what keeps a run repeatable and what does not.
//
// Every known thread waits for ever and nothing is due: the program is
// hung.  The handler (service thread, no lock held) gets each thread's
// wait; with none set, the report goes to stderr and the process ends with
// kHungExitCode at once (its threads wait for ever: no exit handler runs).
struct HungThread {
    uint32_t id = 0;
    std::string name;      // the thread's name, "" when unnamed
    std::string call;      // the call it waits in
    std::string objects;   // what it waits for: kinds, names, handles
    std::string timeout;   // "none (INFINITE)" or "N ms"
};
struct HungReport {
    uint64_t virtualNs = 0;   // the clock's time when the hang was seen
    std::vector<HungThread> threads;
    std::string Text() const;   // the lines the default handler prints
};
constexpr int kHungExitCode = 124;
// True while the clock in use is the virtual clock that moves by itself.
bool VirtualClockMovesByItself();
void SetHungHandler(std::function<void(const HungReport&)> fn);
// Returns once no timer callback is running (at once on the timer thread).
// A thread a tick woke uses it to let the tick end first, as the timer
// thread's priority would on the device.  The caller must hold no lock a
// tick may wait for.
void WaitForRunningTick();
// A thread that reads the clock (GetTickCount, QueryPerformanceCounter)
// 2^24 times without a wait between is told about once on stderr: the
// self-moving clock stands still while it spins.  How many such warnings.
uint64_t ClockPollWarnings();

}  // namespace host
