// The closing report, for people (text) and for programs (JSON), and the
// packet log (CSV).  The pacing timeline drawn from it is plot.h's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "report/analysis.h"
#include "report/comparison.h"
#include "world/headset.h"
#include "btstandin/btstandin.h"
#include "host/registry.h"
#include "report/lateticks.h"
#include "report/verdict.h"
#include "world/quality.h"

namespace player {

struct Happening {
    double t;             // seconds since the first write (negative: before it)
    std::string what;     // "link up, preferred device 1", "pause", ...
};

// One --fault as armed, and how often it fired.
struct FaultLine {
    std::string text;      // as given on the command line
    std::string what;      // what one occurrence does
    std::string unit;      // of the amount, or ""
    int64_t amount = 0;
    unsigned skip = 0, count = 0;
    uint64_t fired = 0;
};

struct Report {
    // An application of one's own (the SDK's start library or btwav-run)
    // rather than the player: no input, no buffers of the player's, nothing
    // to compare bit for bit; `program` is its name, `programExit` its own
    // exit status when known (-1: not known).
    bool application = false;
    std::string program;
    int programExit = -1;

    // Input.
    std::string source;            // file name, or "built-in sound"
    std::string sourceFormat;      // container, encoding, rate, channels
    bool queryRefused = false;     // WAVE_FORMAT_QUERY refused the source's own format
    bool converted = false;
    std::string conversion;        // what the conversion did
    std::string convertedBy;       // "mapper", "player", or "" (nobody, or libsndfile's exact widening)
    bool bitExactJudged = true;    // false: the mapper converted, so what arrives is not what was written
    std::vector<std::string> notes;

    // Setup.
    std::string clock;             // "real" or "virtual"
    std::string timerThread;       // how the timer service thread was scheduled (real clock)
    std::string timerLateness;     // the virtual clock's timing model ("" without one), as --timer-lateness takes it
    std::string timerLatenessFrom; // what the model was given as
    uint64_t seed = 0;             // of its draws
    std::vector<std::string> command;   // the run's arguments as given, without the program's name
    unsigned buffers = 0;          // buffers used
    uint32_t bufferBytes = 0;      // size of each
    std::string refill;            // "callback" or "event"
    uint64_t callbackWaveCalls = 0;   // wave calls made from inside the application's callback
    uint32_t loops = 0;            // 0: no loop
    std::string configLine;        // the driver's configuration line
    PacingConfig config;
    std::vector<Happening> happenings;

    // Results.
    double audioSeconds = 0;       // length of the sound the headset should get
    double wallSeconds = 0;        // real time from the first write to the last packet
    double cpuSeconds = 0;         // the whole process's CPU time (user + system) over the same stretch
    double clockSeconds = 0;       // the same on the playback clock (virtual in fast mode)
    uint64_t bytesWritten = 0;     // sum of the buffers handed to waveOutWrite
    Comparison comparison;         // expected headset stream against the received one
    PacingResult pacing;
    LateTickReport lateTicks;      // the real clock's late ticks, explained
    std::vector<std::string> outputs;    // files written

    // The world: the link, the faults and the listener.
    bool world = false;                  // filled in (a run that reached playback)
    btstandin::PostStats link;
    btstandin::SendPathConfig send;      // the library's codec, bitpool range, MTU, radio and queue
    bool encoded = false;                // the library encoded (someone listened); else sizes alone
    double interferenceAt = -1;          // seconds since the first write; < 0: none
    uint64_t originNs = 0;               // the first write on the host clock (bitpool changes count from it)
    QualityResult quality;               // the heard audio against what the library was given
    std::vector<FaultLine> faults;
    HeadsetConfig headset;
    HeadsetResult listener;

    // Outcome.
    Verdict verdict;               // what the listener heard (a run that played to its end)
    uint32_t allow = 0;            // --allow (AllowBits)
    bool failed = false;           // the run stopped before its end
    int exitCode = 0;              // the player's exit code
    std::string error;             // why it stopped, when failed
    std::vector<std::string> warnings;   // registry assumptions, values the driver reads otherwise
    host::RegLoadReport registry;        // the files, variables and components that shaped the registry
    uint64_t peakMemoryKb = 0;     // the process's peak resident memory
};

std::string FormatText(const Report& r);
std::string FormatJson(const Report& r);
// A report's JSON text (a program that added a member to one, say) laid out
// again as FormatJson lays it out: a member a line, records a line each, the
// keys in their order.  Text that is not a JSON object comes back as it is.
std::string LayOutJson(const std::string& text);
// The process's peak memory (VmHWM, or getrusage's maxrss) into the report.
void AddPeakMemory(Report* r);

// One line per packet: arrival time (s since the first write), audio bytes,
// bytes due of the tick that posted it, and whether it was refused.  The log
// is the header followed by the lines, written as the run goes.
extern const char* const kPacketLogHeader;
std::string FormatPacketLine(double t, const PacketInfo& p, uint32_t due);
std::string FormatPacketLog(const PacingInput& in, const PacingResult& r);
// A media packet's row of the packet log: delivered (or due, when lost) at
// arrivalS, sent to the radio's queue at sentS, seconds since the first write.
// Write to ear, the application's part: its audio queued in the driver when
// the ticks post, mean seconds (-1: no tick posted).
double AppQueuedSeconds(const Report& r);
std::string FormatMediaLine(double arrivalS, double sentS, const btstandin::MediaPacket& p);

// The radio's send queue over time (the link's record of it) in at most
// `most` spans, neighbouring cells merged in equal groups: each from `t`
// (seconds since the first write) for `seconds`, with the fewest and the most
// media packets queued or on the air at any instant of it.
struct QueueSpan {
    double t, seconds;
    uint32_t low, high;
};
std::vector<QueueSpan> RadioQueueSpans(const Report& r, size_t most);

// `v` with `decimals` digits after the point, and never "-0.000".
std::string Fixed(double v, int decimals);
// The baseband packet types a set allows, "2-DH1/2-DH3/2-DH5".
std::string AclTypeNames(uint32_t types);

}  // namespace player
