// The playback clock: time 0 is the first waveOutWrite.  On the real clock
// playback time is the steady clock's; with --fast it is the host's virtual
// clock, which moves by itself while every thread waits (host/clock.h), firing
// the ticks on the timer thread exactly as the real clock would, only sooner.
// The clock also keeps what the report says of the run's duration: wall time,
// the performance counter's span and the process's CPU time.
//
// Threads: Start is called once, by the first write on the main thread,
// before the device holds any buffer, so the callback's writes that follow
// (on the timer thread, with the driver's stream lock held) read Started()
// safely; everything else is the main thread's.  No lock of its own.
#pragma once

#include <chrono>
#include <cmath>
#include <cstdint>

namespace player {

class PlayClock {
public:
    explicit PlayClock(bool virtualClock) : virtual_(virtualClock) {}

    // At the first write, with the performance counter's value then.
    void Start(uint64_t counter);
    bool Started() const { return started_; }
    // Playback seconds since Start.
    double Seconds() const;
    // The virtual clock's reading at `seconds` of playback (fast mode).
    uint64_t VirtualNsAt(double seconds) const
    {
        return startVirtualNs_ + static_cast<uint64_t>(std::llround(seconds * 1e9));
    }
    // Wall seconds since Start (also in fast mode).
    double WallSeconds() const;
    // Playback ended: when the last buffer came back (counter and wall).
    void End(uint64_t counter, std::chrono::steady_clock::time_point wall);
    // A run that failed: ends now unless it ended; one that never started
    // starts and ends now.
    void EndNow(uint64_t counter);

    uint64_t StartClockNs() const { return startClockNs_; }   // host::ClockNowNs() at Start
    uint64_t EndCounter() const { return endCounter_; }
    double EndWallSeconds() const { return endWall_; }
    double CpuSeconds() const { return endCpu_ > startCpu_ ? endCpu_ - startCpu_ : 0; }
    double CounterSeconds(uint64_t frequency) const
    {
        return static_cast<double>(endCounter_ - startCounter_) / static_cast<double>(frequency);
    }

private:
    const bool virtual_;
    bool started_ = false;
    uint64_t startCounter_ = 0;   // performance counter at Start
    uint64_t endCounter_ = 0;     // and at the end
    std::chrono::steady_clock::time_point startWall_;
    uint64_t startVirtualNs_ = 0;   // host::VirtualNowNs() at Start, fast mode
    uint64_t startClockNs_ = 0;
    double endWall_ = 0;   // seconds from Start to the end
    double startCpu_ = 0;  // the process's CPU seconds at Start
    double endCpu_ = 0;    // and at the end
};

// The fast mode's wait, in whole ms, from the virtual clock's `nowNs` to
// `untilNs` (the next action or look): rounded up, so the main thread never
// wakes before its action is due; at least 1 ms (a wait of 0 would not let
// the clock move), at most one below INFINITE.
uint32_t FastWaitMs(uint64_t nowNs, uint64_t untilNs);

// The main thread looks again at most every kFastStepSeconds of playback
// in fast mode (the stall watch, the progress line).
constexpr double kFastStepSeconds = 10.0;

// The performance counter's value now, and its frequency.
uint64_t Counter();
uint64_t Frequency();

// User and system time of every thread of the process so far.
double ProcessCpuSeconds();

}  // namespace player
