// The player's command line.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "driver/config.h"
#include "btstandin/radio.h"
#include "host/lateness.h"

namespace player {

// Exit codes; kExitCodes says what each means, and the usage lists them from it.
enum ExitCode {
    kExitOk = 0,            // played, and the headset received what was written
    kExitMismatch = 1,      // played, but the received stream differs
    kExitUsage = 2,         // bad command line
    kExitInput = 3,         // input file missing, unreadable or not convertible
    kExitRegistry = 4,      // .reg file or registry value unusable
    kExitOutput = 5,        // an output file cannot be written
    kExitPlayback = 6,      // the host, the driver or the wave API failed
    // What the listener heard (report/verdict.h), unless --allow relaxes it.
    kExitGaps = 7,          // a gap: silence inside the sound
    kExitOverflows = 8,     // the headset dropped audio for want of room
    kExitPostsLost = 9,     // posts the library refused, or media packets lost or flushed
    kExitSignal = 128,      // plus the signal's number: stopped by SIGINT, SIGHUP or SIGTERM
};

struct ExitCodeInfo {
    ExitCode code;
    const char* meaning;    // as the usage lists it
};
constexpr ExitCodeInfo kExitCodes[] = {
    {kExitOk, "played and bit-exact"},
    {kExitMismatch, "played but not bit-exact"},
    {kExitUsage, "bad command line"},
    {kExitInput, "input file problem"},
    {kExitRegistry, "registry problem"},
    {kExitOutput, "output cannot be written"},
    {kExitPlayback, "playback failed"},
    {kExitGaps, "the listener heard a gap"},
    {kExitOverflows, "the headset overflowed"},
    {kExitPostsLost, "posts refused or lost"},
};

// What --version prints after the program's name.
constexpr const char* kVersion = "0.1.0";

// The ALSA device --play-out plays on when it names none.
constexpr const char* kDefaultPlayDevice = "default";

// Buffers the application keeps are allocated up front; more than this in
// all is refused as a command-line error rather than failing later.
constexpr uint64_t kMaxBufferTotalBytes = 256ull << 20;

enum class Refill {
    Callback,   // CALLBACK_FUNCTION: MM_WOM_DONE writes the next buffer itself,
                // a wave call the platform forbids inside the callback
    Event,      // CALLBACK_EVENT: the main thread waits on the event and writes
};

// Something the player does at a time measured from the first waveOutWrite.
struct TimedAction {
    enum Kind { LinkDown, LinkBack, Pause, Reset, LinkUp } kind;
    uint64_t atMs;         // playback time at which it happens
    uint64_t durationMs;   // Pause only: how long the stream stays paused
};

// One --fault: the named fault of the host's fault table, armed for `count`
// occasions after `skip`, with an amount when its unit has one.
struct FaultOption {
    std::string text;      // as given
    std::string name;
    unsigned skip = 0;
    unsigned count = 1;
    bool hasAmount = false;
    int64_t amount = 0;
};

struct Options {
    std::string input;                    // empty: the built-in sound
    uint64_t builtInFrames = 0;           // length of the built-in sound; 0: the default
    bool fast = false;                    // virtual clock instead of the real one
    std::vector<std::string> regFiles;    // .reg files, merged in order
    std::vector<std::pair<std::string, std::string>> defines;   // build variables for the .reg files
    std::vector<std::string> stringFiles; // .str files with the strings of LOC_ placeholders
    unsigned codePage = 0;                // --codepage: of .reg and .str files neither marked nor UTF-8; 0: the locale's
    bool registryDump = false;            // print the registry as the device would boot with it, and stop
    std::vector<std::pair<std::string, uint32_t>> sets;   // --set overrides, in order
    unsigned buffers = 4;                 // buffers the application keeps
    uint32_t bufferBytes = 8192;          // size of each buffer
    Refill refill = Refill::Event;      // as the platform's callback rules allow
    uint64_t linkDelayMs = 100;           // link comes up this long after boot
    bool linkAtBoot = true;               // false: --link-up or --link-delay never
    // The library's codec, the radio and the headset.
    enum class Codec { Sbc, Pcm } codec = Codec::Sbc;   // what the library sends
    uint32_t bitpoolMin = 2;              // the bitpool's range; it starts at the top
    uint32_t bitpoolMax = 53;
    bool bitpoolFixed = false;            // --bitpool N: it stays at N
    uint32_t mtu = 895;                   // bytes a media packet may take
    uint32_t radioKbps = 0;               // the radio's budget; 0: the codec's default
    uint32_t radioQueuePackets = 10;      // the send queue's depth in media packets
    uint32_t aclTypes = btstandin::kAclEdr2;   // baseband packet types allowed (btstandin::AclType bits)
    uint32_t flushMs = 0;                 // flush timeout; 0: none (the peers' default, infinite)
    struct {
        bool on = false;
        uint64_t startMs = 0, lengthMs = 0;   // since the first write
        double share = 0;                     // of the budget lost, 0 .. 1
    } interference;
    uint32_t headsetBufferFrames = BTWAV_DEVICE_RATE / 4;   // 250 ms
    uint32_t headsetStartFrames = BTWAV_DEVICE_RATE / 10;   // 100 ms
    double headsetPpm = 0;
    double headsetCatchUpPpm = 0;         // the headset plays this much faster while above its target (0: off)
    bool headset = true;                  // false: no headset model (to measure what it costs)
    std::vector<FaultOption> faults;
    // The virtual clock's timing model (run/lateness.cpp): each tick late by a
    // draw from this distribution; no points: every tick on time.
    host::LatenessProfile timerLateness;
    std::string timerLatenessFrom;        // what it was given as: a profile's name, percentiles or a report
    uint64_t seed = 1;                    // of the draws
    double lateTickMs = 5;                // real clock: explain ticks later than this (0: no audit, no probe)
    std::string heardOut;                 // what the listener hears (WAV)
    bool playOut = false;                 // play what the listener hears on the sound system
    std::string playDevice;               // the ALSA device (kDefaultPlayDevice without a name)
    uint32_t loops = 0;                   // 0: no loop; N: the whole sound N times
    std::vector<TimedAction> actions;     // sorted by time
    std::string wavOut, sbcOut, csvOut, jsonOut, plotOut;
    uint32_t allow = 0;                   // listener's faults that do not set the exit code (AllowBits)
    bool quiet = false;                   // no progress output
    bool verbose = false;                 // -v: the driver's configuration and each happening as it comes
    bool version = false;
    std::vector<std::string> compare;     // --compare A.json B.json: compare two reports, play nothing
    bool debug = false;                   // echo the driver's debug output, with times
    bool trace = false;                   // trace every wave message sent to the driver
    std::string driverDir;                // where the driver's library lives
    bool help = false;

    // True when an output is "-": the text report then goes to standard error.
    bool StandardOutputTaken() const
    {
        return wavOut == "-" || heardOut == "-" || sbcOut == "-" || csvOut == "-" || jsonOut == "-" || plotOut == "-";
    }
};

// Parses argv.  On error returns false with a one-line message in *error.
bool ParseOptions(int argc, char** argv, Options* out, std::string* error);

// The usage text printed by --help and after a command-line error.
std::string UsageText(const std::string& programName);

// "250", "250ms", "1.5s" -> milliseconds.  False when it is not a time.
bool ParseMilliseconds(const std::string& text, uint64_t* ms);

// "NAME[:AMOUNT][@SKIP][xCOUNT]" ("x*": every occasion) -> a fault option.
bool ParseFault(const std::string& text, FaultOption* out, std::string* error);

}  // namespace player
