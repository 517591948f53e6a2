#include "report/verdict.h"

#include "report/report.h"
#include "world/device.h"

namespace player {
namespace {

struct AllowName {
    const char* name;
    uint32_t bits;
};
const AllowName kAllowNames[] = {
    {"gaps", kAllowGaps}, {"overflows", kAllowOverflows}, {"refused", kAllowRefused}, {"lost", kAllowLost},
    {"all", kAllowGaps | kAllowOverflows | kAllowRefused | kAllowLost},
};

const char* const kPausedCause = "the application paused the stream (not counted in the verdict)";

std::string Plural(uint64_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

bool ParseAllow(const std::string& text, uint32_t* bits, std::string* error)
{
    size_t at = 0;
    while (at <= text.size()) {
        size_t end = text.find(',', at);
        if (end == std::string::npos)
            end = text.size();
        const std::string name = text.substr(at, end - at);
        bool found = false;
        for (const AllowName& a : kAllowNames)
            if (name == a.name) {
                *bits |= a.bits;
                found = true;
            }
        if (!found) {
            *error = "--allow takes gaps, overflows, refused, lost or all, separated by commas (got '" + name + "')";
            return false;
        }
        at = end + 1;
    }
    return true;
}

std::string AllowText(uint32_t bits)
{
    std::string out;
    for (const AllowName& a : kAllowNames)
        if ((bits & a.bits) == a.bits && a.bits != kAllowNames[4].bits)
            out += (out.empty() ? "" : ",") + std::string(a.name);
    return out;
}

// Whether `at` falls while the application had the stream paused.
bool InPause(const Report& r, double at)
{
    double pausedAt = -1;
    for (const Happening& h : r.happenings) {
        if (h.t > at)
            break;
        if (h.what.rfind("pause", 0) == 0)
            pausedAt = h.t;
        else if (h.what.rfind("restart", 0) == 0 || h.what.rfind("reset", 0) == 0)
            pausedAt = -1;
    }
    return pausedAt >= 0;
}

namespace {

// The link's part in a gap at `at`: true when the link was down as the gap
// began, or came back so lately (at or after `from`, within the buffer's
// length before the gap) that the headset was still refilling from it;
// *backAt says when it came back then (-1: still down).  A drop that ended
// earlier than `from` left the buffer time to refill: it is no cause.
bool LinkBlamed(const Report& r, double at, double from, double* backAt)
{
    double downAt = -1, back = -1;
    for (const Happening& h : r.happenings) {
        if (h.t > at)
            break;
        if (h.what.rfind("link down", 0) == 0) {
            downAt = h.t;
            back = -1;
        } else if ((h.what.rfind("link back", 0) == 0 || h.what.rfind("link up", 0) == 0) && downAt >= 0 &&
                   back < 0) {
            back = h.t;
        }
    }
    *backAt = back;
    if (downAt < 0)
        return false;
    return back < 0 || back >= from;
}

// The latest tick's lateness, of the ticks due within [from, at]: the one
// most late.  A late tick empties the buffer before it runs: its deadline,
// not its start, lies before the gap.
const TickRow* LatestLate(const Report& r, double from, double at)
{
    const TickRow* latest = nullptr;
    for (const TickRow& t : r.pacing.ticks) {
        const double deadline = t.t - t.lateMs / 1000.0;
        if (deadline >= from && deadline <= at && (!latest || t.lateMs > latest->lateMs))
            latest = &t;
    }
    return latest;
}

// A tick late enough to empty the headset by itself: its buffer settles
// about its start threshold, which covers the tick's own period.
bool LateEnough(const TickRow* t, double period, double start)
{
    return t && t->lateMs > 0 && t->lateMs / 1000.0 + period >= start;
}

std::string LateTickWords(const Report& r, const TickRow& late, double period)
{
    std::string own;
    for (const LateTickLine& l : r.lateTicks.lines)
        if (l.t >= late.t - 0.001 && l.t <= late.t + period)
            own = ", held up by " + CauseWords(l.cause);
    if (own.empty() && !r.timerLateness.empty())
        own = ", drawn from the timing model";
    return "the tick due at " + Fixed(late.t - late.lateMs / 1000.0, 3) + " s ran " + Fixed(late.lateMs, 1) +
           " ms late" + own;
}

}  // namespace

std::string GapCause(const Report& r, double at)
{
    // The buffer held at most its capacity: what emptied it happened within
    // that long before the gap (and a tick's worth more).
    const double capacity = r.headset.capacityFrames / static_cast<double>(kDeviceRate);
    const double period = r.config.timer / 1000.0;
    const double from = at - capacity - period;
    const double start = r.headset.startFrames / static_cast<double>(kDeviceRate);
    double backAt = -1;
    if (LinkBlamed(r, at, from, &backAt)) {
        // Back already: a tick late enough to empty the buffer, due after
        // the link came back, is the nearer cause.
        const TickRow* late = backAt >= 0 ? LatestLate(r, backAt, at) : nullptr;
        return LateEnough(late, period, start) ? LateTickWords(r, *late, period) : "the link was down";
    }
    if (InPause(r, at))
        return kPausedCause;
    if (period > 0 && period >= capacity)
        return "ticks " + std::to_string(r.config.timer) + " ms apart, no shorter than the headset's " +
               Fixed(capacity * 1000, 0) + " ms buffer";
    uint32_t refused = 0, short_ = 0;
    const double rate = r.config.sample ? r.config.sample : kDeviceBytesPerSecond;
    for (const TickRow& t : r.pacing.ticks) {
        // An underrun shows on the tick that finds the queue short, which
        // can come after the gap: the driver went idle when the queue ran
        // dry and ticks again only once the application writes.  The
        // stretch that tick pays for (its due bytes) is when the queue was
        // dry; it counts if that began before the gap.  A tick so late
        // that it empties the headset by itself is the cause, not the
        // shortfall its lateness made (it asks for all the time it lost).
        if (t.underrun && !LateEnough(&t, period, start) && t.t >= from && t.t - t.due / rate <= at)
            ++short_;
        if (t.t >= from && t.t <= at)
            refused += t.refused;
    }
    if (refused)
        return "the library refused " + std::to_string(refused) + " bytes of posts before it";
    if (short_)
        return "the application's underrun: the driver's queue ran out before it";
    const TickRow* latest = LatestLate(r, from, at);
    if (LateEnough(latest, period, start))
        return LateTickWords(r, *latest, period);
    if (r.config.sample && r.config.sample < kDeviceByteRate)
        return "the driver sends " + std::to_string(r.config.sample) + " bytes/s, less than the headset plays";
    if (r.interferenceAt >= 0 && at >= r.interferenceAt &&
        at <= r.interferenceAt + r.send.interference.lengthNs / 1e9 + capacity)
        return "the radio's interference held the packets back";
    if (r.headset.ppm > 0)
        return "the headset's clock runs " + Fixed(r.headset.ppm, 0) + " ppm fast and drained its buffer";
    return "the radio delivered too late (no other cause found)";
}

Verdict Judge(const Report& r, uint32_t allow)
{
    Verdict v;
    v.refused = r.pacing.refused;
    if (r.world) {
        const HeadsetResult& h = r.listener;
        v.judged = true;
        // The silence of a pause the application asked for is no fault:
        // named, and left out of the verdict.
        for (const HeadsetGap& g : h.gaps) {
            v.causes.push_back(GapCause(r, g.at));
            if (v.causes.back() != kPausedCause) {
                ++v.gaps;
                v.gapSeconds += g.seconds;
            }
        }
        v.overflows = h.overflows.size();
        v.droppedBytes = h.droppedBytes;
        v.lost = r.link.lost + r.link.send.flushed;
        // A gap leaves no margin; else the lowest level as time.
        if (h.started)
            v.marginMs = v.gaps == 0 ? h.minLevelFrames * 1000.0 / kDeviceRate : 0;
        const double appQueued = AppQueuedSeconds(r);
        if (h.started && appQueued >= 0)
            v.writeToEarMs = (appQueued + h.meanPostToEar) * 1000.0;
    }
    v.clean = v.gaps == 0 && v.overflows == 0 && v.refused == 0 && v.lost == 0;
    // The listener's faults in the order of their codes: what was heard
    // (silence, then audio dropped) before what went missing on the way.
    if (v.gaps && !(allow & kAllowGaps))
        v.code = kVerdictGaps;
    else if (v.overflows && !(allow & kAllowOverflows))
        v.code = kVerdictOverflows;
    else if ((v.refused && !(allow & kAllowRefused)) || (v.lost && !(allow & kAllowLost)))
        v.code = kVerdictPostsLost;
    return v;
}

std::string Verdict::Line() const
{
    std::string faults;
    auto add = [&](const std::string& s) { faults += (faults.empty() ? "" : ", ") + s; };
    if (gaps)
        add(Plural(gaps, "gap", "gaps") + " (" + Fixed(gapSeconds, 3) + " s of silence)");
    if (overflows)
        add(Plural(overflows, "overflow", "overflows") + " (" + std::to_string(droppedBytes) + " bytes dropped)");
    if (refused)
        add(Plural(refused, "post", "posts") + " refused by the library");
    if (lost)
        add(Plural(lost, "media packet", "media packets") + " lost or flushed");
    std::string out = clean ? (judged ? "clean" : "no post refused; no headset modelled, nothing heard to judge")
                            : "NOT CLEAN: " + faults;
    if (marginMs >= 0)
        out += "; margin to a gap " + Fixed(marginMs, 1) + " ms";
    if (writeToEarMs >= 0)
        out += "; write to ear " + Fixed(writeToEarMs, 1) + " ms";
    if (!clean && code == 0)
        out += " (allowed)";
    return out;
}

}  // namespace player
