// The watch for a stall: playback that makes no progress for a while (on the
// playback clock, outside pauses) is given up.  Progress is a packet reaching
// the headset or a buffer coming back.  On the real clock the main thread
// sees the counts move between its waits; on the virtual clock it sleeps
// through long steps, so every arrival and return is noted where it happens
// (SilenceWatch) and a silence that began and ended inside one step counts.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace player {

// How long nothing happened: every arrival or returned buffer is noted where
// it happens, with its time on the playback clock, so that the main thread
// can sleep through long steps of the virtual clock and still see a silence
// that began and ended inside one.  Note is called from any thread (the
// stand-in's, the timer's) and takes no lock; the rest from the main thread.
class SilenceWatch {
public:
    void Note(uint64_t ns);
    // Starts afresh at `ns`: what came before (a pause) is no silence.
    void Restart(uint64_t ns);
    // The longest silence since the last Restart or Longest, counting the
    // one still going on at `now`.
    uint64_t Longest(uint64_t now);

private:
    std::atomic<uint64_t> last_{0};      // the latest time noted
    std::atomic<uint64_t> longest_{0};   // the longest gap between notes since it was last taken
};

// Playback that makes no progress for this long (on the playback clock,
// outside pauses) is given up.
constexpr double kStallSeconds = 5.0;

// Threads: the main thread only, between its waits; no lock of its own (the
// SilenceWatch it reads in fast mode takes notes from the other threads).
class StallWatch {
public:
    // `silence` is the fast mode's watch, noted by the other threads; it
    // outlives this one.
    StallWatch(bool virtualClock, SilenceWatch* silence, double limitSeconds)
        : virtual_(virtualClock), silence_(silence), limit_(limitSeconds) {}

    // Playing (re)starts at `now` seconds of playback, `nowNs` on the virtual
    // clock: what came before (a pause) is no silence.
    void Restart(double now, uint64_t nowNs);
    // One look between waits, with the bytes received so far and the buffers
    // returned so far.  False when nothing happened for longer than the
    // limit while not paused.
    bool Check(double now, uint64_t nowNs, bool paused, uint64_t received, uint64_t returned);
    // The run's failure message for a stall, with the bytes received.
    std::string Describe(uint64_t received) const;

private:
    const bool virtual_;
    SilenceWatch* silence_;
    const double limit_;            // seconds
    uint64_t lastActivity_ = 0;     // real clock: bytes received plus buffers returned; virtual: buffers returned
    double lastActivityAt_ = 0;     // real clock: playback seconds when it last moved
};

}  // namespace player
