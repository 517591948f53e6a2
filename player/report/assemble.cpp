#include "report/assemble.h"

#include <sys/resource.h>

#include <cstdio>
#include <cstring>

#include "btstandin/btstandin.h"
#include "host/clock.h"
#include "host/faults.h"
#include "host/wave.h"

namespace player {

void AddSettings(const Options& o, Report* r)
{
    r->clock = o.fast ? "virtual" : "real";
    r->refill = o.refill == Refill::Callback ? "callback" : "event";
    // The platform's waveOutProc page: a wave call from inside the callback
    // deadlocks on the device; the host counted every one.
    for (const auto& call : host::WaveCallsFromCallbacks())
        r->callbackWaveCalls += call.second;
    if (r->callbackWaveCalls > 0)
        r->warnings.push_back(std::to_string(r->callbackWaveCalls) +
                              " wave calls from inside the wave callback (--refill callback): the platform's callback "
                              "may call only EnterCriticalSection, LeaveCriticalSection, OutputDebugString, "
                              "PostMessage, PostThreadMessage and SetEvent; a wave call there deadlocks on the device");
    r->loops = o.loops;
    r->command = o.command;
    r->timerThread = o.fast ? "" : host::TimerThreadScheduling();
    if (!o.timerLateness.points.empty()) {
        r->timerLateness = host::FormatLatenessProfile(o.timerLateness);
        r->timerLatenessFrom = o.timerLatenessFrom;
        r->seed = o.seed;
    }
}

void AddFaults(const Options& o, Report* r)
{
    for (const FaultOption& f : o.faults) {
        host::Fault fault;
        host::FaultByName(f.name, &fault);
        const host::FaultInfo& info = host::Describe(fault);
        FaultLine line;
        line.text = f.text;
        line.what = info.what;
        line.unit = info.unit;
        line.amount = f.amount;
        line.skip = f.skip;
        line.count = f.count;
        line.fired = host::FaultsFired(fault);
        r->faults.push_back(line);
    }
}

// The peak of this program's own memory: VmHWM, the high-water mark of the
// address space it runs in.  getrusage's ru_maxrss is not that: the kernel
// carries over the high-water mark of the address space the process had
// before exec, so a player started from a large process (a test, a shell
// with much resident) would report its parent's size.  ru_maxrss only where
// /proc cannot be read.
}  // namespace player
