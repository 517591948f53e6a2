// What the headset received, set against what was written and against the
// pacing the driver promises: the bytes due per tick, what each tick posted,
// the bytes still queued, the tick intervals and the underruns.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace player {

// The driver's configuration as its debug line states it.
struct PacingConfig {
    bool known = false;
    uint32_t sample = 0;     // bytes per second
    uint32_t timer = 0;      // tick period in ms
    uint32_t cacheLen = 0;   // bytes asked for by the first tick
};

// Parses "InitBtAudioPara: Sample %d, Timer %d, CacheLen %d".
bool ParseConfigLine(const std::string& line, PacingConfig* out);

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
    double t = 0;            // seconds since the first write
    uint32_t due = 0;        // bytes the tick was to post
    uint32_t posted = 0;     // bytes it posted
    int64_t queued = 0;      // bytes written and not yet posted, after the tick
    bool first = false;      // first tick after a start from idle (asks for CacheLen)
    bool underrun = false;   // posted less than due while audio was still to come
};

struct Summary {
    uint64_t count = 0;
    double mean = 0, p99 = 0, max = 0, min = 0;
};

struct PacingResult {
    std::vector<TickRow> ticks;
    uint64_t packets = 0, refused = 0, refusedBytes = 0;
    uint32_t packetMin = 0, packetMax = 0;
    double packetMean = 0;
    Summary intervalMs;      // between consecutive ticks of one timer run
    Summary latenessMs;      // how long after its deadline each tick began
    uint64_t underruns = 0;
    uint64_t underrunBytes = 0;   // sum of the shortfalls
    bool ticksObserved = false;   // false: ticks were inferred from packets
    // Bytes due per packet, aligned with PacingInput::packets (for the log).
    std::vector<uint32_t> packetDue;
};

PacingResult AnalysePacing(const PacingInput& in);

Summary Summarise(std::vector<double> values);

struct Comparison {
    bool exact = false;
    uint64_t expected = 0;
    uint64_t received = 0;
    int64_t firstDifference = -1;   // byte offset, -1 when none
};

Comparison CompareStreams(const std::vector<uint8_t>& expected, const std::vector<uint8_t>& received);

}  // namespace player
