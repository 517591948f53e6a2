// Pacing analysis.
//
// The bytes due per tick are recomputed the way the driver computes them:
// the first tick after a start from idle asks for CacheLen bytes; every
// later tick asks for the bytes that the counter time since the previous
// tick (or since the clock was rebased by a restart or reset) is worth at
// Sample bytes per second, rounded down to whole frames with the rest
// carried.  On the virtual clock the counter stands still while a tick runs,
// so the result is exact.  On the real clock the driver's own counter read is
// not seen; the stand-in's read at the post (or the tick's start when nothing
// was posted) stands in for it, so a tick's due is an estimate that may be
// off by a few bytes.  There an underrun is only counted when the queue ran
// out (or a loop wrapped) and the shortfall exceeds 0.1 ms of audio.
#include "report/analysis.h"

#include "driver/config.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace player {

namespace {
// Ticks kept in the timeline before it thins out.  Any run of more than
// this many ticks keeps between half of it and all of it, so the report's
// timeline (and the memory that writing it takes) is about the same size
// for a minute (3,000 ticks of 20 ms) as for an hour.
const size_t kTimelineRows = 4096;
}  // namespace

PacingAnalyser::PacingAnalyser(uint64_t frequency, bool realClock, bool looping)
    : frequency_(frequency), realClock_(realClock), looping_(looping)
{
}

void PacingAnalyser::SetConfig(const PacingConfig& c)
{
    if (cfg_.known || !c.known)
        return;
    cfg_ = c;
    period_ = static_cast<uint64_t>(cfg_.timer) * frequency_ / 1000;
}

void PacingAnalyser::Add(const PlayEvent& e)
{
    if (e.kind == PlayEvent::Queued) {
        queuedTotal_ += e.bytes;
        return;
    }
    CloseTick();
    switch (e.kind) {
    case PlayEvent::Init:
        lastCount_ = e.counter;
        carry_ = 0;
        first_ = true;
        running_ = true;
        deadline_ = e.counter + period_;
        haveRun_ = true;
        havePrevTick_ = false;
        break;
    case PlayEvent::Rebase:
        lastCount_ = e.counter;
        running_ = true;
        deadline_ = e.counter + period_;
        haveRun_ = true;
        havePrevTick_ = false;
        break;
    case PlayEvent::Tick:
        r_.ticksObserved = true;
        inferred_ = false;
        open_ = true;
        openTick_ = e;
        openQueued_ = queuedTotal_;
        openPackets_.clear();
        break;
    case PlayEvent::Queued:
        break;
    }
}

void PacingAnalyser::AddPacket(const PacketInfo& p)
{
    if (p.refused) {
        ++r_.refused;
        r_.refusedBytes += p.bytes;
    } else {
        if (r_.packets == 0 || p.bytes < r_.packetMin)
            r_.packetMin = p.bytes;
        r_.packetMax = std::max(r_.packetMax, p.bytes);
        packetSum_ += p.bytes;
        ++r_.packets;
        // Audio still came: the short ticks before it were underruns.
        if (p.bytes > 0) {
            for (const Short& s : shorts_) {
                ++r_.underruns;
                r_.underrunBytes += s.bytes;
                for (size_t i = r_.ticks.size(); i > 0; --i)
                    if (r_.ticks[i - 1].tick == s.tick) {
                        r_.ticks[i - 1].underrun = true;
                        break;
                    } else if (r_.ticks[i - 1].tick < s.tick) {
                        break;
                    }
            }
            shorts_.clear();
        }
    }
    if (!open_ || inferred_) {
        // Without an observed tick, the packet stands for the tick that posted it.
        Add(PlayEvent{PlayEvent::Tick, p.counter, 0});
        r_.ticksObserved = false;
        inferred_ = true;
    }
    openPackets_.push_back(p);
}

void PacingAnalyser::Keep(const TickRow& row)
{
    if (row.tick % r_.timelineEvery != 0)
        return;
    r_.ticks.push_back(row);
    if (r_.ticks.size() < kTimelineRows)
        return;
    r_.timelineEvery *= 2;
    std::vector<TickRow> kept;
    for (const TickRow& t : r_.ticks)
        if (t.tick % r_.timelineEvery == 0)
            kept.push_back(t);
    r_.ticks.swap(kept);
}

void PacingAnalyser::CloseTick()
{
    if (!open_)
        return;
    open_ = false;
    const PlayEvent& e = openTick_;
    const uint64_t tickNo = r_.tickCount++;
    if (!cfg_.known || frequency_ == 0) {
        for (const PacketInfo& p : openPackets_)
            if (packetLine_)
                packetLine_(p, 0);
        return;
    }
    const double f = static_cast<double>(frequency_);
    const int64_t tolerance = realClock_ ? std::max<int64_t>(4, cfg_.sample / 10000) : 0;

    TickRow row;
    row.tick = tickNo;
    row.t = (static_cast<double>(e.counter) - static_cast<double>(start_)) / f;
    for (const PacketInfo& p : openPackets_)
        (p.refused ? row.refused : row.posted) += p.bytes;
    // On the real clock the post is read much closer to the driver's own
    // counter read than the tick's start is (which may be followed by a wait
    // for the stream lock).
    uint64_t now = e.counter;
    if (realClock_ && !openPackets_.empty())
        now = openPackets_.front().counter;
    // Bytes due, as the driver computes them.
    uint64_t elapsed = now >= lastCount_ ? now - lastCount_ : 0;
    uint64_t numerator = elapsed * cfg_.sample + carry_;
    uint64_t q = numerator / frequency_;
    uint64_t rem = numerator % frequency_;
    // Whole frames only, the bytes past the last frame carried, as the
    // driver does (a tick late by a fraction of a frame's time shows it).
    const uint64_t partial = q % BTWAV_DEVICE_FRAME_BYTES;
    q -= partial;
    carry_ = rem + partial * frequency_;
    lastCount_ = now;
    bool queueEmpty = openQueued_ - postedTotal_ <= 0;
    if (queueEmpty) {
        running_ = false;   // the tick stops its own timer
        row.due = static_cast<uint32_t>(q);
    } else if (first_) {
        row.due = cfg_.cacheLen;
        row.first = true;
        first_ = false;
        carry_ = 0;
    } else {
        row.due = static_cast<uint32_t>(q);
    }
    for (const PacketInfo& p : openPackets_) {
        postedTotal_ += p.bytes;   // refused bytes are consumed all the same
        if (packetLine_)
            packetLine_(p, row.due);
    }
    row.queued = openQueued_ - postedTotal_;
    // A tick falls short only when the queue runs out (or, in a loop, at the
    // loop's end, where the rewound buffers are not seen until the next
    // tick).  So on the real clock, where the due is an estimate, a tick that
    // left bytes queued posted exactly what was due.  It is an underrun only
    // if audio still comes after it.
    // Bytes the library refused were handed over all the same: the
    // application's audio was there, so they count as posted here and as
    // refused in the library's figures, never as the application's underrun.
    bool couldFallShort = !realClock_ || looping_ || row.queued <= 0;
    const int64_t handed = static_cast<int64_t>(row.posted) + row.refused;
    if (couldFallShort && static_cast<int64_t>(row.due) - handed > tolerance)
        shorts_.push_back({tickNo, static_cast<uint64_t>(row.due - handed)});
    // Lateness: as the clock measured it, when the tick observer said (on
    // the clock's own time, which a drifting counter does not move).
    // Otherwise from the counter, within one timer run: the timer keeps a
    // fixed grid from its start; on the real clock a tick late by a whole
    // period or more makes it skip the grid points already past, while the
    // virtual clock runs every tick, each no earlier than the one before.
    if (e.lateNs >= 0) {
        row.lateMs = static_cast<double>(e.lateNs) / 1e6;
        lateness_.Add(row.lateMs);
    } else if (haveRun_ && period_ > 0) {
        double late = (static_cast<double>(e.counter) - static_cast<double>(deadline_)) / f;
        row.lateMs = std::max(late, 0.0) * 1000.0;
        lateness_.Add(row.lateMs);
        uint64_t next = deadline_ + period_;
        if (realClock_ && e.counter >= next)
            next = deadline_ + ((e.counter - deadline_) / period_ + 1) * period_;
        deadline_ = next;
    }
    if (havePrevTick_)
        intervals_.Add((static_cast<double>(e.counter) - static_cast<double>(prevTick_)) / f * 1000.0);
    prevTick_ = e.counter;
    havePrevTick_ = running_;
    if (!running_)
        haveRun_ = false;
    Keep(row);
}

PacingResult PacingAnalyser::Finish()
{
    CloseTick();
    shorts_.clear();
    r_.packetMean = r_.packets ? static_cast<double>(packetSum_) / r_.packets : 0;
    r_.intervalMs = intervals_.Get();
    r_.latenessMs = lateness_.Get();
    r_.latenessPercentiles = LatenessPercentiles(lateness_);
    return r_;
}

PacingResult AnalysePacing(const PacingInput& in)
{
    PacingAnalyser a(in.frequency, in.realClock, in.looping);
    a.SetStart(in.startCounter);
    a.SetConfig(in.config);
    std::vector<uint32_t> dues;
    a.SetPacketLine([&](const PacketInfo&, uint32_t due) { dues.push_back(due); });
    // A packet comes after every event up to its counter value: on the
    // virtual clock a tick and its packets share one value.
    size_t pi = 0;
    for (const PlayEvent& e : in.events) {
        while (pi < in.packets.size() && in.packets[pi].counter < e.counter)
            a.AddPacket(in.packets[pi++]);
        a.Add(e);
    }
    while (pi < in.packets.size())
        a.AddPacket(in.packets[pi++]);
    PacingResult r = a.Finish();
    r.packetDue = dues;
    return r;
}

}  // namespace player
