// Assembling the report from what the run's units know.  The session hands
// over its own figures; the pieces here ask the host for the rest: what the
// world did (the link's counters, each armed fault and how often it fired),
// how the timer thread ran, and the process's peak memory.
//
// Threads: the main thread, after playback or a failure, once the stand-in
// has passed every packet to its sinks (a flush).
#pragma once

#include "run/options.h"
#include "report/report.h"

namespace player {

// The run's settings as the report states them: clock, refill, loops, and
// on the real clock the timer thread's scheduling.
void AddSettings(const Options& options, Report* r);
// Every fault armed on the command line with how often it fired (the link's
// counters and the radio's settings are the world's: World::FillWorld).
void AddFaults(const Options& options, Report* r);
// The whole process's peak resident memory.

}  // namespace player
