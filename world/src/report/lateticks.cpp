#include "report/lateticks.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace player {

namespace {

double Ms(uint64_t ns)
{
    return static_cast<double>(ns) / 1e6;
}

}  // namespace

std::string CauseWords(const std::string& cause)
{
    if (cause == "stream_lock")
        return "waiting for the stream lock";
    if (cause == "post")
        return "inside the library's post";
    if (cause == "callback")
        return "inside the player's callback";
    if (cause == "not_scheduled")
        return "not scheduled";
    if (cause == "machine")
        return "the machine (the CPU taken from under the tick)";
    return "the tick's own work";
}

namespace {

using host::TickPart;

uint64_t Part(const host::TickParts& p, TickPart which)
{
    return p.ns[static_cast<unsigned>(which)];
}

// The largest of a tick's own parts, its work included; machineNs of its
// run the CPU was taken from under it, off its work first.
std::string OwnCause(const host::TickParts& p, uint64_t runNs, uint64_t machineNs, uint64_t* ns)
{
    const uint64_t lock = Part(p, TickPart::Lock), post = Part(p, TickPart::Post),
                   callback = Part(p, TickPart::Callback);
    const uint64_t sum = lock + post + callback;
    const uint64_t work = runNs > sum ? runNs - sum : 0;
    std::string cause = "tick_work";
    *ns = work > machineNs ? work - machineNs : 0;
    if (lock > *ns) { cause = "stream_lock"; *ns = lock; }
    if (post > *ns) { cause = "post"; *ns = post; }
    if (callback > *ns) { cause = "callback"; *ns = callback; }
    if (machineNs > *ns) { cause = "machine"; *ns = machineNs; }
    return cause;
}

// How long the probes were held up within the tick's late stretch, [0] for
// those at the timer thread's priority and [1] for those above it, in all
// (held) and within the tick's run (heldInRun).  The probes follow the
// ticks closely (host/realtime.h), so a stall of the machine in the stretch
// holds them up for all but about 1.5 ms.  The probes counted are those on
// the CPUs the tick began and ended on, where the timer thread waited to run
// (the time two were held up counts once).
void ProbeHoldUps(const host::TickAuditResult& audit, const host::LateTick& t, uint64_t held[2],
                  uint64_t heldInRun[2])
{
    std::vector<std::pair<uint64_t, uint64_t>> stretches[2];   // by ProbeWake::above
    for (const host::ProbeWake& w : audit.probeLate) {
        const bool here = w.cpu < 0 || t.startCpu < 0 || w.cpu == t.startCpu || w.cpu == t.endCpu;
        const uint64_t from = std::max(w.deadlineNs, t.deadlineNs);
        const uint64_t to = std::min(w.deadlineNs + w.lateNs, t.endNs);
        if (here && to > from)
            stretches[w.above ? 1 : 0].emplace_back(from, to);
    }
    for (int k = 0; k < 2; ++k) {
        held[k] = heldInRun[k] = 0;
        std::sort(stretches[k].begin(), stretches[k].end());
        uint64_t coveredTo = 0;
        for (const auto& st : stretches[k]) {
            const uint64_t from = std::max(st.first, coveredTo);
            if (st.second > from) {
                held[k] += st.second - from;
                const uint64_t runFrom = std::max(from, t.startNs);
                if (st.second > runFrom)
                    heldInRun[k] += st.second - runFrom;
            }
            coveredTo = std::max(coveredTo, st.second);
        }
    }
}

// One late tick: where its time went, and whether the probes saw it.
LateTickLine ExplainTick(const host::TickAuditResult& audit, const host::LateTick& t, uint64_t originNs)
{
    LateTickLine l;
    l.t = (static_cast<double>(t.deadlineNs) - static_cast<double>(originNs)) / 1e9;
    const uint64_t lateNs = t.endNs - t.deadlineNs;
    l.lateMs = Ms(lateNs);
    const uint64_t wait = t.startNs > t.deadlineNs ? t.startNs - t.deadlineNs : 0;
    const uint64_t previous = std::min(t.overrunNs, wait);
    const uint64_t notScheduled = wait - previous;
    const uint64_t run = t.endNs - t.startNs;
    uint64_t held[2], heldInRun[2];
    ProbeHoldUps(audit, t, held, heldInRun);
    // A probe above the timer thread preempts its work, so a hold-up of it
    // while the thread ran is the machine's: the CPU taken from under the
    // tick, which the guest counts as the timer thread running (a
    // hypervisor's steal).  A probe at its priority waits behind its work,
    // so its hold-ups count only for the time the thread did not run; they
    // also show other real-time work of the machine at that priority, which
    // a probe above it passes by.
    const uint64_t machine = audit.probesAbove ? std::min(heldInRun[1], run) : 0;

    l.previousMs = Ms(previous);
    l.notScheduledMs = Ms(notScheduled);
    l.lockMs = Ms(Part(t.parts, TickPart::Lock));
    l.postMs = Ms(Part(t.parts, TickPart::Post));
    l.callbackMs = Ms(Part(t.parts, TickPart::Callback));
    const uint64_t sum = Part(t.parts, TickPart::Lock) + Part(t.parts, TickPart::Post) +
                         Part(t.parts, TickPart::Callback);
    const uint64_t work = run > sum ? run - sum : 0;
    l.workMs = Ms(work > machine ? work - machine : 0);
    l.machineMs = Ms(machine);
    l.ranMs = Ms(t.ranNs);
    l.startCpu = t.startCpu;
    l.endCpu = t.endCpu;
    uint64_t ownNs = 0;
    l.cause = OwnCause(t.parts, run, machine, &ownNs);
    uint32_t holder = t.parts.lockHolder;
    if (notScheduled > ownNs && notScheduled >= previous) {
        l.cause = "not_scheduled";
    } else if (previous > ownNs) {
        // The previous tick was still running at this deadline: its own
        // largest part is where this tick's time went.
        uint64_t prevNs = 0;
        l.cause = OwnCause(t.previous, previous, 0, &prevNs);
        l.afterPrevious = true;
        holder = t.previous.lockHolder;
    }
    if (l.cause == "stream_lock" && holder != 0)
        l.lockHolder = host::ThreadName(holder);
    // The probes saw the stall when, once the time they were held up within
    // the tick's late stretch is taken off, the tick would not have been
    // late: the machine ran neither thread then.  A tick that waited for a
    // lock or a post leaves the probes on time.
    const uint64_t notRun = lateNs > t.ranNs ? lateNs - t.ranNs : 0;
    const uint64_t counted = std::max(std::min(held[0], notRun), audit.probesAbove ? held[1] : 0);
    l.probeHeldMs = Ms(std::max(held[0], audit.probesAbove ? held[1] : 0));
    l.probeSaw = lateNs - std::min(counted, lateNs) <= audit.settings.thresholdNs;
    return l;
}

}  // namespace

LateTickReport ExplainLateTicks(const host::TickAuditResult& audit, uint64_t originNs)
{
    LateTickReport r;
    if (!audit.ran)
        return r;
    r.audited = true;
    r.thresholdMs = Ms(audit.settings.thresholdNs);
    r.ticks = audit.ticks;
    r.count = audit.lateTicks;
    r.probePeriodMs = Ms(audit.settings.probePeriodNs);
    r.probeScheduling = audit.probeScheduling;
    r.probeCount = audit.probeCpus.size();
    r.probeWakeups = audit.probeWakeups;
    r.probeLateWakeups = audit.probeLateWakeups;
    r.probeP50Ms = Ms(audit.probeP50Ns);
    r.probeP99Ms = Ms(audit.probeP99Ns);
    r.probeMaxMs = Ms(audit.probeMaxNs);
    r.probesAbove = audit.probesAbove;
    for (uint64_t ns : audit.stealNs)
        r.stealMs.push_back(Ms(ns));
    r.stealSpanMs = Ms(audit.stealSpanNs);
    for (const host::LateTick& t : audit.late) {
        LateTickLine l = ExplainTick(audit, t, originNs);
        r.maxLateMs = std::max(r.maxLateMs, l.lateMs);
        ++r.byCause[l.cause];
        if (!l.probeSaw)
            ++r.unseenByProbe;
        r.lines.push_back(l);
    }
    return r;
}

void LateTickAudit::Start(double thresholdMs)
{
    if (thresholdMs <= 0)
        return;
    host::TickAuditSettings s;
    s.thresholdNs = static_cast<uint64_t>(thresholdMs * 1e6);
    host::StartTickAudit(s);
    running_ = true;
}

LateTickReport LateTickAudit::Finish(uint64_t originNs)
{
    if (!running_)
        return LateTickReport{};
    running_ = false;
    host::StopTickAudit();
    return ExplainLateTicks(host::TickAudit(), originNs);
}

}  // namespace player
