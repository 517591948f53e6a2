// What --debug and --trace print while playing: every line of the driver's
// debug output, and every wave message the wave API sends to the driver,
// each with its time on the playback clock and the thread it came from:
// seconds since the first write, as everywhere in the report, and before it
// seconds since boot, marked "boot".
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "host/wave.h"

namespace player {

// One process-wide instance, because the wave API's observer is a plain
// function.  Start on the main thread before the driver is loaded and Stop
// after it is gone; the lines are printed by a printer thread of their own
// that Start starts and Stop drains and ends.  The other calls may come from
// any thread, including the timer's with the driver's stream lock held: they
// format the line and queue it under the diagnostics' own lock (a PiMutex)
// and never call into the host or write to the console themselves.
namespace diagnostics {

// `originCounter`: the performance counter at boot; `frequency` its rate.
void Start(FILE* out, bool debug, bool trace, uint64_t originCounter, uint64_t frequency);
void Stop();
// The first write's counter: the lines after it are timed from it.
void SetFirstWrite(uint64_t counter);
// Names the calling thread in the lines it prints (the first name sticks).
void NameThisThread(const char* name);
// One line of the driver's debug output (its line ending is dropped).
void DebugLine(const std::string& line);
// The wave API's observer; installed by Start when tracing.
void OnWaveMessage(const host::WaveMessageRecord& m);

// The formatting, for tests.
std::string MessageName(unsigned msg);
std::string ResultName(unsigned result);
std::string FormatDebug(double seconds, const std::string& thread, const std::string& line);
std::string FormatTrace(double seconds, const std::string& thread, const host::WaveMessageRecord& m);

}  // namespace diagnostics
}  // namespace player
