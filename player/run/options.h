// The player's command line.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "driver/config.h"
#include "host/lateness.h"
#include "report/verdict.h"
#include "world/options.h"

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
    kExitGaps = kVerdictGaps,            // a gap: silence inside the sound
    kExitOverflows = kVerdictOverflows,  // the headset dropped audio for want of room
    kExitPostsLost = kVerdictPostsLost,  // posts the library refused, or media packets lost or flushed
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

// Buffers the application keeps are allocated up front; more than this in
// all is refused as a command-line error rather than failing later.
constexpr uint64_t kMaxBufferTotalBytes = 256ull << 20;

enum class Refill {
    Callback,   // CALLBACK_FUNCTION: MM_WOM_DONE writes the next buffer itself,
                // a wave call the platform forbids inside the callback
    Event,      // CALLBACK_EVENT: the main thread waits on the event and writes
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

// The world's settings (the link, the radio, the headset, the listener and
// the link's timed changes; world/options.h) are the player's too; its
// actions list holds its own pauses and resets beside the link's changes.
struct Options : WorldOptions {
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
    std::vector<FaultOption> faults;
    // The virtual clock's timing model (run/lateness.cpp): each tick late by a
    // draw from this distribution; no points: every tick on time.
    host::LatenessProfile timerLateness;
    std::string timerLatenessFrom;        // what it was given as: a profile's name, percentiles or a report
    uint64_t seed = 1;                    // of the draws
    double lateTickMs = 5;                // real clock: explain ticks later than this (0: no audit, no probe)
    uint32_t loops = 0;                   // 0: no loop; N: the whole sound N times
    std::string wavOut, csvOut, jsonOut, plotOut;
    std::string streamOut;                // a codec's stream file (its option, as --sbc: the codec table's)
    btstandin::Codec streamCodec = btstandin::kDefaultCodec;   // that codec
    bool quiet = false;                   // no progress output
    bool verbose = false;                 // -v: the driver's configuration and each happening as it comes
    bool version = false;
    std::vector<std::string> compare;     // --compare A.json B.json: compare two reports, play nothing
    bool debug = false;                   // echo the driver's debug output, with times
    bool trace = false;                   // trace every wave message sent to the driver
    std::string driverDir;                // where the driver's library lives
    bool help = false;
    std::vector<std::string> command;     // the arguments as given (argv after the program's name), for the report

    // True when an output is "-": the text report then goes to standard error.
    bool StandardOutputTaken() const
    {
        return wavOut == "-" || heardOut == "-" || streamOut == "-" || csvOut == "-" || jsonOut == "-" || plotOut == "-";
    }
};

// Parses argv.  On error returns false with a one-line message in *error.
bool ParseOptions(int argc, char** argv, Options* out, std::string* error);

// The usage text printed by --help and after a command-line error.
std::string UsageText(const std::string& programName);

// "NAME[:AMOUNT][@SKIP][xCOUNT]" ("x*": every occasion) -> a fault option.
bool ParseFault(const std::string& text, FaultOption* out, std::string* error);

}  // namespace player
