// Late ticks explained: on the real clock the player has the host audit
// every tick (host/realtime.h) and, after playback, tells for each tick that
// ended more than the threshold after its deadline where its time went:
// waiting for the driver's stream lock (and which thread held it), inside
// the library's post, inside the player's callback, the tick's own work, the
// machine (the CPU taken from under the running tick, as a hypervisor does),
// or not scheduled at all; and whether the bare probes, threads one priority
// above the timer's in the same process, were late at the same time too.
//
// Threads: Start and Finish on the main thread, before the first write and
// after the device is closed.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "host/realtime.h"

namespace player {

struct LateTickLine {
    double t = 0;              // the tick's deadline, seconds since the first write
    double lateMs = 0;         // from its deadline to the end of its work
    std::string cause;         // the largest part: stream_lock, post, callback, not_scheduled, tick_work, machine
    bool afterPrevious = false;   // that part was the previous tick's, still running at the deadline
    double notScheduledMs = 0, previousMs = 0, lockMs = 0, postMs = 0, callbackMs = 0, workMs = 0;
    double machineMs = 0;      // of the tick's run, the time the probes above it were held up: the CPU
                               // was taken from under it (taken off workMs)
    double ranMs = 0;          // the timer thread's own CPU time inside the tick (the rest of its run it
                               // was blocked, or others ran: an unmeasured lock, a page fault, preemption)
    int startCpu = -1, endCpu = -1;   // the CPUs the timer thread began and ended it on (-1: unknown)
    std::string lockHolder;    // the thread that held the stream lock (when one was waited for)
    double probeHeldMs = 0;    // how long the probes on its CPUs were held up within its late stretch
    bool probeSaw = false;     // that leaves the tick no more than the threshold late: the machine
                               // stalled both (with probes no higher than the timer thread, only
                               // the hold-ups while the timer thread did not run count)
};

struct LateTickReport {
    bool audited = false;
    double thresholdMs = 0;
    uint64_t ticks = 0;            // ticks audited
    uint64_t count = 0;            // late ones (all, even past the kept lines)
    double maxLateMs = 0;
    std::map<std::string, uint64_t> byCause;
    uint64_t unseenByProbe = 0;    // late by more than the threshold, and the probe was not
    std::vector<LateTickLine> lines;
    // The probe.
    double probePeriodMs = 0;
    size_t probeCount = 0;         // one on each CPU
    std::string probeScheduling;
    bool probesAbove = false;      // the probes ran above the timer thread's priority
    uint64_t probeWakeups = 0, probeLateWakeups = 0;
    double probeP50Ms = 0, probeP99Ms = 0, probeMaxMs = 0;
    // The machine's steal over the audit (the kernel's counters; empty where
    // it keeps none): ms by CPU, and the audit's length.
    std::vector<double> stealMs;
    double stealSpanMs = 0;
};

// The cause's words for people.
std::string CauseWords(const std::string& cause);

// Explains the audit's late ticks; originNs is the first write's time on
// CLOCK_MONOTONIC.  Pure: for tests.
LateTickReport ExplainLateTicks(const host::TickAuditResult& audit, uint64_t originNs);

class LateTickAudit {
public:
    // thresholdMs 0: no audit.
    void Start(double thresholdMs);
    // Stops the audit and explains what it saw.
    LateTickReport Finish(uint64_t originNs);
    bool Running() const { return running_; }

private:
    bool running_ = false;
};

}  // namespace player
