// The clock behind the performance counter and the multimedia timer.
//
// Two clocks share one interface.  The real clock follows CLOCK_MONOTONIC and
// a timer thread sleeps to absolute deadlines.  The virtual clock stands
// still until a test (or the player's fast mode) advances it; advancing fires
// every tick that falls due, in deadline order, on the timer service's own
// thread, and returns when they have run.
#pragma once

#include <cstdint>
#include <functional>

namespace host {

enum class ClockKind { Real, Virtual };

// Switches clock (stops every timer) and resets the counter frequency.
void UseClock(ClockKind kind);
ClockKind CurrentClock();

// Counts per second reported by QueryPerformanceFrequency (default 10 MHz on
// the virtual clock, 1e9 on the real one).  Takes effect at once.
void SetCounterFrequency(uint64_t countsPerSecond);

// Virtual clock: time since the clock was (re)started, in nanoseconds.
uint64_t VirtualNowNs();
// Advances the virtual clock by ns, firing every due tick in order.
void AdvanceVirtualNs(uint64_t ns);
inline void AdvanceVirtualMs(uint64_t ms) { AdvanceVirtualNs(ms * 1000000ull); }
// Advances the virtual counter by exactly `counts` counts (at the current
// frequency), firing due ticks.
void AdvanceVirtualCounts(uint64_t counts);
// Advances to the next due tick (if any) and fires it; false when no timer exists.
bool RunNextVirtualTick();

// Lateness of each virtual tick: called once per tick, returns how many ns
// after its deadline the tick runs (ticks never run out of order).  nullptr:
// on time.
void SetVirtualTickLateness(std::function<uint64_t()> fn);

// Timers that exist now, and calls of timeBeginPeriod minus timeEndPeriod.
int ActiveTimerCount();
int TimerPeriodBalance();
// Total timeSetEvent successes and timeKillEvent calls since reset.
uint64_t TimersCreated();

// Real clock: when a tick actually started, for pacing measurements
// (counter value at each tick of any timer).  Cleared by ResetAll.
void SetTickObserver(std::function<void(uint64_t counterValue)> fn);

}  // namespace host
