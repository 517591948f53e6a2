// The pacing the driver promises set against what it did: the bytes due per
// tick, what each tick posted, the bytes still queued, the tick intervals and
// the underruns.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "report/distribution.h"
#include "report/pacing.h"

namespace player {

// What the player saw happen, in the order it happened (the log's order,
// not only the counter's, decides what came first when counters are equal,
// as they are on the virtual clock).
struct PlayEvent {
    enum Kind {
        Tick,     // a timer tick began
        Init,     // the driver printed its configuration line: pump started from idle
        Rebase,   // waveOutRestart or waveOutReset: the pump's clock starts afresh
        Queued,   // bytes that will play were written (negative: withdrawn by a reset)
    } kind;
    uint64_t counter;   // performance-counter value
    int64_t bytes;      // Queued only
    int64_t lateNs = -1;   // Tick only: how long after its deadline the clock began it (-1: not known)
};

// One accepted or refused packet, as the stand-in recorded it.
struct PacketInfo {
    uint64_t counter;   // performance-counter value at the post
    uint32_t bytes;     // audio bytes carried
    bool refused;
};

struct PacingInput {
    PacingConfig config;
    uint64_t frequency = 0;          // counter counts per second
    bool realClock = false;          // ticks were timed on the real clock
    bool looping = false;            // the sound was queued as a loop
    uint64_t startCounter = 0;       // time 0 of the timeline: the first write
    std::vector<PlayEvent> events;   // in the order they happened
    std::vector<PacketInfo> packets; // in posting order
};

// One row of the timeline, per tick.
struct TickRow {
    uint64_t tick = 0;       // the tick's number, from 0
    double t = 0;            // seconds since the first write
    uint32_t due = 0;        // bytes the tick was to post
    uint32_t posted = 0;     // bytes it posted that the library took
    uint32_t refused = 0;    // bytes it posted that the library refused
    int64_t queued = 0;      // bytes written and not yet posted, after the tick
    double lateMs = 0;       // how long after its deadline it began
    bool first = false;      // first tick after a start from idle (asks for CacheLen)
    bool underrun = false;   // posted less than due while audio was still to come
};

struct PacingResult {
    // The timeline: every tick while there are few, then every
    // `timelineEvery`-th tick, so its length stays bounded.
    std::vector<TickRow> ticks;
    uint64_t timelineEvery = 1;
    uint64_t tickCount = 0;
    uint64_t packets = 0, refused = 0, refusedBytes = 0;
    uint32_t packetMin = 0, packetMax = 0;
    double packetMean = 0;
    Summary intervalMs;      // between consecutive ticks of one timer run
    Summary latenessMs;      // how long after its deadline each tick began
    std::string latenessPercentiles;   // the same as --timer-lateness takes it ("p50:...,max:...")
    uint64_t underruns = 0;
    uint64_t underrunBytes = 0;   // sum of the shortfalls
    bool ticksObserved = false;   // false: ticks were inferred from packets
    // Bytes due per packet, aligned with PacingInput::packets (AnalysePacing only).
    std::vector<uint32_t> packetDue;
};

// The pacing analysis as the run goes: events and packets are fed in the
// order they happened and nothing is kept per tick beyond the bounded
// timeline.  Not thread-safe: the caller serialises the calls.
class PacingAnalyser {
public:
    // Told once per packet when its tick is complete, with the tick's due.
    using PacketLine = std::function<void(const PacketInfo&, uint32_t due)>;
    PacingAnalyser(uint64_t frequency, bool realClock, bool looping);
    void SetPacketLine(PacketLine fn) { packetLine_ = std::move(fn); }
    // Time 0 of the timeline.
    void SetStart(uint64_t counter) { start_ = counter; }
    // The driver's configuration, from its line; needed before the first Init.
    void SetConfig(const PacingConfig& c);
    void Add(const PlayEvent& e);
    void AddPacket(const PacketInfo& p);
    PacingResult Finish();

private:
    void CloseTick();
    void Keep(const TickRow& row);
    PacingConfig cfg_;
    uint64_t frequency_;
    bool realClock_, looping_;
    uint64_t start_ = 0;
    PacketLine packetLine_;
    PacingResult r_;
    Distribution intervals_, lateness_;
    uint64_t packetSum_ = 0;

    // The driver's bytes-due clock.
    uint64_t lastCount_ = 0, carry_ = 0;
    bool first_ = true, running_ = false;
    uint64_t period_ = 0, deadline_ = 0;
    bool haveRun_ = false;
    uint64_t prevTick_ = 0;
    bool havePrevTick_ = false;
    int64_t queuedTotal_ = 0, postedTotal_ = 0;

    // The tick that is open: its packets are still arriving.
    bool open_ = false;
    bool inferred_ = false;   // the open tick stands for a packet's unobserved tick
    PlayEvent openTick_{PlayEvent::Tick, 0, 0};
    int64_t openQueued_ = 0;
    std::vector<PacketInfo> openPackets_;

    // Short ticks that are underruns if audio still comes after them.
    struct Short {
        uint64_t tick;
        uint64_t bytes;
    };
    std::vector<Short> shorts_;
};

// The whole analysis at once, from recorded events and packets (packets
// are placed among the events by their counter values).
PacingResult AnalysePacing(const PacingInput& in);


}  // namespace player
