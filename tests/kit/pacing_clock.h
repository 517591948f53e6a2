// The pump's pacing as its documentation states it (docs/registry.md, the
// design decisions on whole frames, pump/pump.h's contract), for judges that
// stand outside the driver and must know how many bytes a tick may ask for
// without reading the driver's own record:
//
// - a start from idle reads "Sample" (byte rate) and "CacheLen" (the first
//   tick's reserve) from the registry: exactly 4 bytes of data as a
//   little-endian number, another size keeping the default, a "Sample" of 0
//   keeping the default, a "CacheLen" of 0 taken; the reserve is rounded
//   down to whole 4-byte frames (under 4: none); the counter time is paid
//   from that moment and nothing is carried;
// - a resume or restart replaces the timer and pays the time from then on
//   (the time without a timer is not paid for), keeping what was carried and
//   whether the reserve is still due;
// - every tick of a running pump is worth the byte rate times the counter
//   time since the last payment, rounded down to whole frames, the rest
//   carried, so that the bytes asked for keep to the counter within one
//   frame, short by less than 4 bytes and never ahead;
// - the first tick with something queued after a start from idle asks for
//   the reserve instead, and the carry starts afresh after it.
#pragma once

#include <cstdint>

namespace kit {

struct PacingValues {
    uint32_t sample = 0;     // bytes per second, never 0
    uint32_t cacheLen = 0;   // whole frames
};

// The values a start from idle reads from the registry now, by the rules
// above; each value's own reading in `sample` and `cacheLen`.
PacingValues PacingFromRegistry();
// "CacheLen" as the driver uses a number it read: whole frames.
uint32_t ReserveOf(uint32_t cacheLen);

class PacingClock {
public:
    // A start from idle at counter `now` (frequency in counts per second).
    void Configure(const PacingValues& v, uint64_t frequency, uint64_t now);
    // The timer replaced at `now`: the time since the last payment is not paid.
    void Rebase(uint64_t now);
    // A tick at counter `now`: the bytes it asks for (0 when nothing is
    // queued, `queued` false, when the pump goes idle).
    uint32_t Tick(uint64_t now, bool queued);

    bool Configured() const { return frequency_ != 0; }
    const PacingValues& Values() const { return v_; }

private:
    PacingValues v_;
    uint64_t frequency_ = 0;
    uint64_t last_ = 0;
    uint64_t carry_ = 0;        // in 1/frequency bytes, below one frame's worth
    bool reserveDue_ = false;
};

}  // namespace kit
