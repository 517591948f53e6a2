// The timed actions (--link-down, --link-back, --link-up, --pause, --reset)
// in the order they fall due on the playback clock, with each pause's end
// (the restart) as a step of its own.  Actions at the same time keep the
// command line's order.  The steps run on the real and the virtual clock
// alike: the main thread takes those due between its waits and waits (or
// advances the virtual clock) no further than the next one.
//
// Threads: the main thread only; no lock.
#pragma once

#include <cstddef>
#include <vector>

#include "run/options.h"

namespace player {

class ActionSchedule {
public:
    struct Step {
        double at;             // playback seconds
        TimedAction action;
        bool restart;          // the end of `action`, a pause
    };

    explicit ActionSchedule(const std::vector<TimedAction>& actions);

    // The next step due at or before `now`; false when none is.
    bool TakeDue(double now, Step* step);
    // When the next step falls due; false when none is left.
    bool NextAt(double* at) const;
    // The actions never reached (playback ended first); the restarts of
    // pauses not reached are not listed again.
    std::vector<Step> NotReached() const;

private:
    std::vector<Step> steps_;   // sorted by time
    size_t next_ = 0;           // the first step not taken
};

}  // namespace player
