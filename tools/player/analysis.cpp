// Pacing analysis.
//
// The bytes due per tick are recomputed the way the driver computes them:
// the first tick after a start from idle asks for CacheLen bytes; every
// later tick asks for the bytes that the counter time since the previous
// tick (or since the clock was rebased by a restart or reset) is worth at
// Sample bytes per second, rounded down to an even count with the rest
// carried.  On the virtual clock the counter stands still while a tick runs,
// so the result is exact.  On the real clock the driver's own counter read is
// not seen; the stand-in's read at the post (or the tick's start when nothing
// was posted) stands in for it, so a tick's due is an estimate that may be
// off by a few bytes.  There an underrun is only counted when the queue ran
// out (or a loop wrapped) and the shortfall exceeds 0.1 ms of audio.
#include "analysis.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>

namespace player {

bool ParseConfigLine(const std::string& line, PacingConfig* out)
{
    int sample = 0, timer = 0, cache = 0;
    size_t at = line.find("InitBtAudioPara:");
    if (at == std::string::npos)
        return false;
    if (std::sscanf(line.c_str() + at, "InitBtAudioPara: Sample %d, Timer %d, CacheLen %d", &sample, &timer,
                    &cache) != 3)
        return false;
    out->known = true;
    out->sample = static_cast<uint32_t>(sample);
    out->timer = static_cast<uint32_t>(timer);
    out->cacheLen = static_cast<uint32_t>(cache);
    return true;
}

Summary Summarise(std::vector<double> values)
{
    Summary s;
    s.count = values.size();
    if (values.empty())
        return s;
    std::sort(values.begin(), values.end());
    double sum = 0;
    for (double v : values)
        sum += v;
    s.mean = sum / values.size();
    s.min = values.front();
    s.max = values.back();
    // Nearest-rank percentile.
    size_t rank = static_cast<size_t>(std::ceil(0.99 * values.size()));
    s.p99 = values[rank == 0 ? 0 : rank - 1];
    return s;
}

PacingResult AnalysePacing(const PacingInput& in)
{
    PacingResult r;
    const PacingConfig& cfg = in.config;
    const double f = in.frequency ? static_cast<double>(in.frequency) : 1.0;

    // Packet statistics.
    uint64_t sum = 0;
    for (const PacketInfo& p : in.packets) {
        if (p.refused) {
            ++r.refused;
            r.refusedBytes += p.bytes;
            continue;
        }
        if (r.packets == 0 || p.bytes < r.packetMin)
            r.packetMin = p.bytes;
        r.packetMax = std::max(r.packetMax, p.bytes);
        sum += p.bytes;
        ++r.packets;
    }
    r.packetMean = r.packets ? static_cast<double>(sum) / r.packets : 0;
    r.packetDue.assign(in.packets.size(), 0);

    // Without observed ticks, each packet stands for the tick that posted it.
    std::vector<PlayEvent> events = in.events;
    r.ticksObserved =
        std::any_of(events.begin(), events.end(), [](const PlayEvent& e) { return e.kind == PlayEvent::Tick; });
    if (!r.ticksObserved) {
        std::vector<PlayEvent> merged;
        size_t pi = 0;
        for (const PlayEvent& e : events) {
            while (pi < in.packets.size() && in.packets[pi].counter < e.counter)
                merged.push_back({PlayEvent::Tick, in.packets[pi++].counter, 0});
            merged.push_back(e);
        }
        while (pi < in.packets.size())
            merged.push_back({PlayEvent::Tick, in.packets[pi++].counter, 0});
        events.swap(merged);
    }
    if (!cfg.known || in.frequency == 0)
        return r;

    // The last packet that carried audio: a tick before it that fell short
    // left a gap in the sound.
    size_t lastAudio = 0;
    bool anyAudio = false;
    for (size_t i = 0; i < in.packets.size(); ++i)
        if (!in.packets[i].refused && in.packets[i].bytes > 0) {
            lastAudio = i;
            anyAudio = true;
        }

    const uint64_t period = static_cast<uint64_t>(cfg.timer) * in.frequency / 1000;
    const int64_t tolerance = in.realClock ? std::max<int64_t>(4, cfg.sample / 10000) : 0;

    // The driver's bytes-due clock.
    uint64_t lastCount = 0;
    uint64_t carry = 0;
    bool first = true;
    bool running = false;
    // Intervals and lateness, within one timer run.  The timer's next deadline.  The timer keeps a fixed grid from its
    // start; a tick late by a whole period or more makes it skip the grid
    // points already past, so the next deadline is the first one after it.
    uint64_t deadline = 0;
    bool haveRun = false;
    uint64_t prevTick = 0;
    bool havePrevTick = false;

    int64_t queuedTotal = 0;
    int64_t postedTotal = 0;
    size_t pi = 0;
    std::vector<double> intervals, lateness;

    // Index of the next tick event, to bound each tick's packets.
    std::vector<size_t> tickIndex;
    for (size_t i = 0; i < events.size(); ++i)
        if (events[i].kind == PlayEvent::Tick)
            tickIndex.push_back(i);
    size_t tickNo = 0;

    for (size_t i = 0; i < events.size(); ++i) {
        const PlayEvent& e = events[i];
        switch (e.kind) {
        case PlayEvent::Init:
            lastCount = e.counter;
            carry = 0;
            first = true;
            running = true;
            deadline = e.counter + period;
            haveRun = true;
            havePrevTick = false;
            break;
        case PlayEvent::Rebase:
            lastCount = e.counter;
            running = true;
            deadline = e.counter + period;
            haveRun = true;
            havePrevTick = false;
            break;
        case PlayEvent::Queued:
            queuedTotal += e.bytes;
            break;
        case PlayEvent::Tick: {
            ++tickNo;
            TickRow row;
            row.t = (static_cast<double>(e.counter) - static_cast<double>(in.startCounter)) / f;
            // The packets this tick posted: those before the next tick.
            uint64_t until = tickNo < tickIndex.size() ? events[tickIndex[tickNo]].counter : UINT64_MAX;
            size_t firstPacket = pi;
            while (pi < in.packets.size() && in.packets[pi].counter < until) {
                if (!in.packets[pi].refused)
                    row.posted += in.packets[pi].bytes;
                ++pi;
            }
            // On the real clock the post is read much closer to the driver's
            // own counter read than the tick's start is (which may be
            // followed by a wait for the stream lock).
            uint64_t now = e.counter;
            if (in.realClock && pi > firstPacket)
                now = in.packets[firstPacket].counter;
            // Bytes due, as the driver computes them.
            uint64_t elapsed = now >= lastCount ? now - lastCount : 0;
            uint64_t numerator = elapsed * cfg.sample + carry;
            uint64_t q = numerator / in.frequency;
            uint64_t rem = numerator % in.frequency;
            if (q & 1) {
                q -= 1;
                carry = rem + in.frequency;
            } else {
                carry = rem;
            }
            lastCount = now;
            bool queueEmpty = queuedTotal - postedTotal <= 0;
            if (queueEmpty) {
                running = false;   // the tick stops its own timer
                row.due = static_cast<uint32_t>(q);
            } else if (first) {
                row.due = cfg.cacheLen;
                row.first = true;
                first = false;
                carry = 0;
            } else {
                row.due = static_cast<uint32_t>(q);
            }
            for (size_t k = firstPacket; k < pi; ++k) {
                r.packetDue[k] = row.due;
                postedTotal += in.packets[k].bytes;   // refused bytes are consumed all the same
            }
            row.queued = queuedTotal - postedTotal;
            // A tick falls short only when the queue runs out (or, in a
            // loop, at the loop's end, where the rewound buffers are not
            // seen until the next tick).  So on the real clock, where the
            // due is an estimate, a tick that left bytes queued posted
            // exactly what was due.
            bool audioToCome = anyAudio && pi <= lastAudio;
            bool couldFallShort = !in.realClock || in.looping || row.queued <= 0;
            if (audioToCome && couldFallShort &&
                static_cast<int64_t>(row.due) - static_cast<int64_t>(row.posted) > tolerance) {
                row.underrun = true;
                ++r.underruns;
                r.underrunBytes += row.due - row.posted;
            }
            // Intervals and lateness within one timer run.
            if (haveRun && period > 0) {
                double late = (static_cast<double>(e.counter) - static_cast<double>(deadline)) / f;
                lateness.push_back(late * 1000.0);
                uint64_t next = deadline + period;
                if (e.counter >= next)
                    next = deadline + ((e.counter - deadline) / period + 1) * period;
                deadline = next;
            }
            if (havePrevTick)
                intervals.push_back((static_cast<double>(e.counter) - static_cast<double>(prevTick)) / f * 1000.0);
            prevTick = e.counter;
            havePrevTick = running;
            if (!running)
                haveRun = false;
            r.ticks.push_back(row);
            break;
        }
        }
    }
    r.intervalMs = Summarise(intervals);
    r.latenessMs = Summarise(lateness);
    return r;
}

Comparison CompareStreams(const std::vector<uint8_t>& expected, const std::vector<uint8_t>& received)
{
    Comparison c;
    c.expected = expected.size();
    c.received = received.size();
    size_t n = std::min(expected.size(), received.size());
    auto mismatch = std::mismatch(expected.begin(), expected.begin() + static_cast<ptrdiff_t>(n), received.begin());
    if (mismatch.first != expected.begin() + static_cast<ptrdiff_t>(n))
        c.firstDifference = mismatch.first - expected.begin();
    else if (expected.size() != received.size())
        c.firstDifference = static_cast<int64_t>(n);
    c.exact = c.firstDifference < 0;
    return c;
}

}  // namespace player
