// The one-line verdict on what the listener heard, and the exit code it
// gives: gaps, overflows and posts that never reached the headset each have
// a code of their own, which --allow relaxes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace player {

struct Report;

// The exit codes of what the listener heard, for every program that reports
// on the world (the player's and the runner's): the first fault found in
// this order, unless --allow relaxes it.
enum VerdictCode {
    kVerdictGaps = 7,        // a gap: silence inside the sound
    kVerdictOverflows = 8,   // the headset dropped audio for want of room
    kVerdictPostsLost = 9,   // posts the library refused, or media packets lost or flushed
};

// What --allow may relax, as bits.
enum AllowBits : uint32_t {
    kAllowGaps = 1,        // silence heard inside the sound
    kAllowOverflows = 2,   // audio the headset dropped for want of room
    kAllowRefused = 4,     // posts the library refused
    kAllowLost = 8,        // media packets the radio lost or flushed
};

// "gaps,refused" -> bits; false with a message on an unknown name.
bool ParseAllow(const std::string& text, uint32_t* bits, std::string* error);
// Bits -> "gaps,refused" ("" for none).
std::string AllowText(uint32_t bits);

struct Verdict {
    bool judged = false;        // a headset was modelled: the listener's figures exist
    bool clean = false;         // no gap, overflow, refused or lost post
    uint64_t gaps = 0;
    double gapSeconds = 0;
    uint64_t overflows = 0, droppedBytes = 0;
    uint64_t refused = 0;       // posts the library refused
    uint64_t lost = 0;          // media packets lost or flushed on the way
    double marginMs = -1;       // the headset's lowest level while playing, as time (-1: not known)
    double writeToEarMs = -1;   // the application's queued audio, then post to ear (-1: not known)
    int code = 0;               // the listener's exit code (0: clean, or every fault allowed)
    std::vector<std::string> causes;   // each gap's cause, in the order of the headset's gaps
    std::string Line() const;   // the report's verdict line
};

// What emptied the headset's buffer before the gap that began at `at`
// (seconds since the first write): the first found of the link down as the
// gap began or back within the buffer's length before it (a tick late enough
// to empty the buffer, due after the link came back, before it), posts
// the library refused, the application's underrun, a late tick (with its own
// cause where the real clock's audit found one), ticks further apart than the
// headset's buffer, a driver that sends less than the headset plays, the
// radio's interference, and the headset's clock running fast.
std::string GapCause(const Report& r, double at);

// The verdict of a run that played to its end, with the faults `allow` relaxes.
Verdict Judge(const Report& r, uint32_t allow);

}  // namespace player
