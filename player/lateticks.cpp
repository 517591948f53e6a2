#include "lateticks.h"

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
    return "the tick's own work";
}

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
    using host::TickPart;
    auto part = [](const host::TickParts& p, TickPart which) { return p.ns[static_cast<unsigned>(which)]; };
    // The largest of a tick's own parts, its work included.
    auto ownCause = [&](const host::TickParts& p, uint64_t runNs, uint64_t* ns) {
        const uint64_t lock = part(p, TickPart::Lock), post = part(p, TickPart::Post),
                       callback = part(p, TickPart::Callback);
        const uint64_t sum = lock + post + callback;
        const uint64_t work = runNs > sum ? runNs - sum : 0;
        std::string cause = "tick_work";
        *ns = work;
        if (lock > *ns) { cause = "stream_lock"; *ns = lock; }
        if (post > *ns) { cause = "post"; *ns = post; }
        if (callback > *ns) { cause = "callback"; *ns = callback; }
        return cause;
    };
    for (const host::LateTick& t : audit.late) {
        LateTickLine l;
        l.t = (static_cast<double>(t.deadlineNs) - static_cast<double>(originNs)) / 1e9;
        const uint64_t lateNs = t.endNs - t.deadlineNs;
        l.lateMs = Ms(lateNs);
        const uint64_t wait = t.startNs > t.deadlineNs ? t.startNs - t.deadlineNs : 0;
        const uint64_t previous = std::min(t.overrunNs, wait);
        const uint64_t notScheduled = wait - previous;
        const uint64_t run = t.endNs - t.startNs;
        l.previousMs = Ms(previous);
        l.notScheduledMs = Ms(notScheduled);
        l.lockMs = Ms(part(t.parts, TickPart::Lock));
        l.postMs = Ms(part(t.parts, TickPart::Post));
        l.callbackMs = Ms(part(t.parts, TickPart::Callback));
        const uint64_t sum = part(t.parts, TickPart::Lock) + part(t.parts, TickPart::Post) +
                             part(t.parts, TickPart::Callback);
        l.workMs = Ms(run > sum ? run - sum : 0);
        l.ranMs = Ms(t.ranNs);
        l.startCpu = t.startCpu;
        l.endCpu = t.endCpu;
        uint64_t ownNs = 0;
        l.cause = ownCause(t.parts, run, &ownNs);
        uint32_t holder = t.parts.lockHolder;
        if (notScheduled > ownNs && notScheduled >= previous) {
            l.cause = "not_scheduled";
        } else if (previous > ownNs) {
            // The previous tick was still running at this deadline: its own
            // largest part is where this tick's time went.
            uint64_t prevNs = 0;
            l.cause = ownCause(t.previous, previous, &prevNs);
            l.afterPrevious = true;
            holder = t.previous.lockHolder;
        }
        if (l.cause == "stream_lock" && holder != 0)
            l.lockHolder = host::ThreadName(holder);
        // The probe saw the stall when, once the time it was held up within
        // the tick's late stretch is taken off, the tick would not have been
        // late: the machine ran neither thread then.  Only the stretch the
        // timer thread did not run counts (while the tick's own work runs,
        // the probe, at the same priority on the same CPU, waits for it).  A
        // tick that waited for a lock or a post leaves the probe on time.
        // The probe follows the ticks closely (host/realtime.h), so a stall
        // of the machine in the stretch holds it up for all but about 1.5 ms.
        // The probes counted are those on the CPUs the tick began and ended
        // on, where the timer thread waited to run (the time both were held
        // up counts once).
        std::vector<std::pair<uint64_t, uint64_t>> stretches;
        for (const host::ProbeWake& w : audit.probeLate) {
            const bool here = w.cpu < 0 || t.startCpu < 0 || w.cpu == t.startCpu || w.cpu == t.endCpu;
            const uint64_t from = std::max(w.deadlineNs, t.deadlineNs);
            const uint64_t to = std::min(w.deadlineNs + w.lateNs, t.endNs);
            if (here && to > from)
                stretches.emplace_back(from, to);
        }
        std::sort(stretches.begin(), stretches.end());
        uint64_t held = 0, coveredTo = 0;
        for (const auto& st : stretches) {
            const uint64_t from = std::max(st.first, coveredTo);
            if (st.second > from)
                held += st.second - from;
            coveredTo = std::max(coveredTo, st.second);
        }
        const uint64_t notRun = lateNs > t.ranNs ? lateNs - t.ranNs : 0;
        l.probeHeldMs = Ms(held);
        l.probeSaw = lateNs - std::min(held, notRun) <= audit.settings.thresholdNs;
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
