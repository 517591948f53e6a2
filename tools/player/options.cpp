// Command-line parsing and validation.  Every error is one line that names
// the option and what was expected.
#include "options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include <climits>

#include "host/faults.h"

namespace player {
namespace {

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* value)
{
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v > max)
        return false;
    *value = v;
    return true;
}

// Registry values the driver reads, with their canonical spelling.
const char* const kRegistryNames[] = {"Sample", "Timer", "CacheLen"};

}  // namespace

bool ParseMilliseconds(const std::string& text, uint64_t* ms)
{
    std::string number = text;
    double scale = 1.0;
    if (number.size() > 2 && number.compare(number.size() - 2, 2, "ms") == 0) {
        number.resize(number.size() - 2);
    } else if (number.size() > 3 && number.compare(number.size() - 3, 3, "min") == 0) {
        number.resize(number.size() - 3);
        scale = 60000.0;
    } else if (number.size() > 1 && number.back() == 'm') {
        number.resize(number.size() - 1);
        scale = 60000.0;
    } else if (number.size() > 1 && number.back() == 'h') {
        number.resize(number.size() - 1);
        scale = 3600000.0;
    } else if (number.size() > 1 && number.back() == 's') {
        number.resize(number.size() - 1);
        scale = 1000.0;
    }
    if (number.empty() || !(std::isdigit(static_cast<unsigned char>(number[0])) || number[0] == '.'))
        return false;
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(number.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < 0)
        return false;
    v *= scale;
    if (v > 360000000.0)   // 100 hours are more than any playback needs
        return false;
    *ms = static_cast<uint64_t>(std::llround(v));
    return true;
}

bool ParseFault(const std::string& text, FaultOption* out, std::string* error)
{
    FaultOption f;
    f.text = text;
    size_t end = text.find_first_of(":@x");
    f.name = text.substr(0, end);
    host::Fault fault;
    if (!host::FaultByName(f.name, &fault)) {
        std::string names;
        for (unsigned i = 0; i < host::kFaultCount; ++i)
            names += std::string(i ? ", " : "") + host::Describe(static_cast<host::Fault>(i)).spelling;
        *error = "option --fault: unknown fault '" + f.name + "' (one of " + names + ")";
        return false;
    }
    const host::FaultInfo& info = host::Describe(fault);
    f.amount = info.defaultAmount;
    size_t at = end;
    auto number = [&](size_t from, size_t* to, bool allowSign, int64_t* v) {
        size_t i = from;
        if (allowSign && i < text.size() && (text[i] == '-' || text[i] == '+'))
            ++i;
        size_t digits = i;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])))
            ++i;
        if (i == digits || i - from > 10)
            return false;
        *v = std::strtoll(text.substr(from, i - from).c_str(), nullptr, 10);
        *to = i;
        return true;
    };
    // Amounts past these are no longer the fault they name: a post that takes
    // more than ten seconds is a hang, a tick a minute late is a stopped
    // clock, and a counter 10 % off is no crystal.
    int64_t lowest = 0, highest = 0;
    if (std::string(info.unit) == "ms") {
        lowest = 0;
        highest = fault == host::Fault::SlowPost ? 10000 : 60000;
    } else if (std::string(info.unit) == "ppm") {
        lowest = -100000;
        highest = 100000;
    }
    bool sawAmount = false, sawSkip = false, sawCount = false;
    while (at < text.size()) {
        char c = text[at];
        int64_t v = 0;
        size_t next = at + 1;
        if (c == ':' && !sawAmount && !sawSkip && !sawCount && *info.unit && number(at + 1, &next, true, &v)) {
            if (v < lowest || v > highest) {
                *error = "option --fault: the amount of '" + f.name + "' is " + info.unit + " from " +
                         std::to_string(lowest) + " to " + std::to_string(highest) + ", not " + std::to_string(v);
                return false;
            }
            f.amount = v;
            f.hasAmount = sawAmount = true;
        } else if (c == '@' && !sawSkip && !sawCount && number(at + 1, &next, false, &v) && v <= UINT_MAX) {
            f.skip = static_cast<unsigned>(v);
            sawSkip = true;
        } else if (c == 'x' && !sawCount && at + 2 == text.size() && text[at + 1] == '*') {
            f.count = UINT_MAX;
            sawCount = true;
            next = at + 2;
        } else if (c == 'x' && !sawCount && number(at + 1, &next, false, &v) && v > 0 && v <= UINT_MAX) {
            f.count = static_cast<unsigned>(v);
            sawCount = true;
        } else {
            *error = "option --fault expects NAME[:AMOUNT][@SKIP][xCOUNT] (xCOUNT: x* for every occasion; AMOUNT only for "
                     "faults with a unit), not '" + text + "'";
            return false;
        }
        at = next;
    }
    *out = f;
    return true;
}

std::string UsageText(const std::string& programName)
{
    return "Usage: " + programName + " [options] [FILE]\n"
           "Plays FILE (or a built-in test sound) through the wave API, the driver and\n"
           "the Bluetooth stand-in, and reports what reached the headset.\n"
           "\n"
           "Clock and registry:\n"
           "  --fast                  run on the virtual clock, as fast as the machine allows\n"
           "  --reg FILE              load a .reg file into the registry (again for more files,\n"
           "                          merged in order, as the image build merges them)\n"
           "  --define NAME[=VALUE]   a build variable for the .reg files (IF, #if, $(NAME),\n"
           "                          @CESYSGEN components and lists); the environment's count too\n"
           "  --strings FILE.str      the strings of LOC_ placeholders (#define LOC_NAME \"text\")\n"
           "  --registry-dump         print the registry as the device boots with it, and what\n"
           "                          shaped it, then stop without playing\n"
           "  --set NAME=VALUE        set Sample, Timer or CacheLen (decimal or 0x hex)\n"
           "  --driver-dir DIR        where the driver library is looked for\n"
           "Application:\n"
           "  --buffers N             buffers the player keeps queued (default 4)\n"
           "  --buffer-size BYTES     bytes per buffer (default 8192)\n"
           "  --refill callback|event  refill returned buffers from a callback function or\n"
           "                          from the main thread woken by an event (default callback)\n"
           "  --length T              length of the built-in sound (default 3s; e.g. 10m, 1h)\n"
           "  --loop N                play the whole sound N times as one loop\n"
           "  --pause T:D             pause at T for D (times in ms, or with s/ms suffix)\n"
           "  --reset T               reset at T, then go on from where playback stood\n"
           "Link:\n"
           "  --link-delay T|never    the link comes up T after boot (default 100ms), or never\n"
           "  --link-up T             the application opens first; the headset connects at T\n"
           "  --link-down T           the link goes down at T\n"
           "  --link-back T           the link comes back at T\n"
           "  --radio-queue BYTES     the library's send queue (default 35280, 200 ms of audio)\n"
           "  --radio-rate BYTES      audio bytes per second the radio carries (default 264600)\n"
           "Faults:\n"
           "  --fault NAME[:AMOUNT][@SKIP][xCOUNT]  make the next COUNT (default 1; x* all)\n"
           "                          occasions after SKIP fail: localalloc, malloc, timer,\n"
           "                          regopen, regquery, refuse (posts), slowpost:MS (0-10000;\n"
           "                          virtual time with --fast), lose (packets), late:MS\n"
           "                          (0-60000, virtual ticks), drift:PPM (+-100000, per tick),\n"
           "                          timeraccess (timeSetEvent/timeKillEvent fault a memory\n"
           "                          access: ends the run as it would end the process)\n"
           "Real time:\n"
           "  --late-ticks MS|off     explain every tick that ends more than MS after its\n"
           "                          deadline, beside bare probe threads, one per CPU\n"
           "                          (default 5; real clock)\n"
           "Listener:\n"
           "  --headset-buffer T      the headset's jitter buffer (default 250ms)\n"
           "  --headset-start T       it starts playing once it holds T (default 100ms)\n"
           "  --headset-ppm P         its clock runs P ppm fast (negative: slow)\n"
           "  --heard FILE            what the listener hears, gaps as silence (WAV)\n"
           "  --no-headset            no headset model (the report then has no listener)\n"
           "  --play-out[=DEVICE]     play what the listener hears on the sound system through\n"
           "                          ALSA (default device: default)\n"
           "Headset and reports:\n"
           "  --wav FILE              received PCM as a WAV file\n"
           "  --sbc FILE              received audio encoded as an SBC stream\n"
           "  --packets FILE          packet log (CSV)\n"
           "  --report FILE           report as JSON\n"
           "  --plot FILE             timeline of the pacing (SVG)\n"
           "  --quiet                 no progress output\n"
           "  --debug                 print every line of the driver's debug output, with its time\n"
           "  --trace                 print every wave message sent to the driver: time, thread,\n"
           "                          message, parameters and result\n"
           "Any output FILE may be '-' for standard output (the text report then goes to\n"
           "standard error); links are followed and special files written in place.\n"
           "  -h, --help              this text\n"
           "Times T are measured from the first buffer written (--link-delay: from boot);\n"
           "--pause, --link-down and --link-back may be given more than once.\n"
           "\n"
           "Exit status: 0 played and bit-exact, 1 played but not bit-exact, 2 bad command\n"
           "line, 3 input file problem, 4 registry problem, 5 output cannot be written,\n"
           "6 playback failed, 128+N stopped by signal N (130 Ctrl-C, 129 SIGHUP, 143 SIGTERM).\n"
           "Every run past the command line leaves its report, a failed one up to the failure.\n";
}

bool ParseOptions(int argc, char** argv, Options* out, std::string* error)
{
    Options o;
    bool sawFile = false;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            if (sawFile) {
                *error = "only one input file can be played (got '" + o.input + "' and '" + arg + "')";
                return false;
            }
            o.input = arg;
            sawFile = true;
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name = arg;
        std::string value;
        bool hasInlineValue = false;
        size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            hasInlineValue = true;
        }
        auto takeValue = [&](std::string* v) {
            if (hasInlineValue) {
                *v = value;
                return true;
            }
            if (i + 1 >= argc) {
                *error = "option " + name + " needs a value";
                return false;
            }
            *v = argv[++i];
            return true;
        };
        auto noValue = [&]() {
            if (hasInlineValue) {
                *error = "option " + name + " takes no value";
                return false;
            }
            return true;
        };
        auto timeValue = [&](uint64_t* ms) {
            std::string v;
            if (!takeValue(&v))
                return false;
            if (!ParseMilliseconds(v, ms)) {
                *error = "option " + name + " expects a time: a number with ms, s, m (or min) or h, or none for ms "
                         "(such as 500, 1.5s or 10m), not '" + v + "'";
                return false;
            }
            return true;
        };

        std::string v;
        if (name == "-h" || name == "--help") {
            if (!noValue())
                return false;
            o.help = true;
        } else if (name == "--fast") {
            if (!noValue())
                return false;
            o.fast = true;
        } else if (name == "--quiet") {
            if (!noValue())
                return false;
            o.quiet = true;
        } else if (name == "--debug") {
            if (!noValue())
                return false;
            o.debug = true;
        } else if (name == "--trace") {
            if (!noValue())
                return false;
            o.trace = true;
        } else if (name == "--reg") {
            if (!takeValue(&v))
                return false;
            if (v.empty()) {
                *error = "option --reg needs a file name";
                return false;
            }
            o.regFiles.push_back(v);
        } else if (name == "--strings") {
            if (!takeValue(&v))
                return false;
            if (v.empty()) {
                *error = "option --strings needs a file name";
                return false;
            }
            o.stringFiles.push_back(v);
        } else if (name == "--registry-dump") {
            if (!noValue())
                return false;
            o.registryDump = true;
        } else if (name == "--define") {
            if (!takeValue(&v))
                return false;
            size_t e = v.find('=');
            std::string key = v.substr(0, e);
            bool valid = !key.empty() && !std::isdigit(static_cast<unsigned char>(key[0]));
            for (char c : key)
                valid = valid && (std::isalnum(static_cast<unsigned char>(c)) || c == '_');
            if (!valid) {
                *error = "option --define expects NAME or NAME=VALUE with a name of letters, digits and _, not '" +
                         v + "'";
                return false;
            }
            o.defines.emplace_back(key, e == std::string::npos ? "1" : v.substr(e + 1));
        } else if (name == "--driver-dir") {
            if (!takeValue(&o.driverDir))
                return false;
        } else if (name == "--set") {
            if (!takeValue(&v))
                return false;
            size_t e = v.find('=');
            if (e == std::string::npos) {
                *error = "option --set expects NAME=VALUE, not '" + v + "'";
                return false;
            }
            std::string key = v.substr(0, e);
            const char* canonical = nullptr;
            for (const char* n : kRegistryNames)
                if (strcasecmp(n, key.c_str()) == 0)
                    canonical = n;
            if (!canonical) {
                *error = "option --set: unknown value '" + key + "' (expected Sample, Timer or CacheLen)";
                return false;
            }
            uint64_t number = 0;
            if (!ParseUnsigned(v.substr(e + 1), 0xFFFFFFFFull, &number)) {
                *error = "option --set " + key + ": '" + v.substr(e + 1) +
                         "' is not a 32-bit unsigned number";
                return false;
            }
            o.sets.emplace_back(canonical, static_cast<uint32_t>(number));
        } else if (name == "--buffers") {
            uint64_t n = 0;
            if (!takeValue(&v))
                return false;
            if (!ParseUnsigned(v, 1024, &n) || n == 0) {
                *error = "option --buffers expects a count from 1 to 1024, not '" + v + "'";
                return false;
            }
            o.buffers = static_cast<unsigned>(n);
        } else if (name == "--buffer-size") {
            uint64_t n = 0;
            if (!takeValue(&v))
                return false;
            if (!ParseUnsigned(v, 64u << 20, &n) || n == 0) {
                *error = "option --buffer-size expects a byte count from 1 to 67108864, not '" + v + "'";
                return false;
            }
            o.bufferBytes = static_cast<uint32_t>(n);
        } else if (name == "--refill") {
            if (!takeValue(&v))
                return false;
            if (v == "callback") {
                o.refill = Refill::Callback;
            } else if (v == "event") {
                o.refill = Refill::Event;
            } else {
                *error = "option --refill expects 'callback' or 'event', not '" + v + "'";
                return false;
            }
        } else if (name == "--loop") {
            uint64_t n = 0;
            if (!takeValue(&v))
                return false;
            if (!ParseUnsigned(v, 10000, &n) || n == 0) {
                *error = "option --loop expects a count from 1 to 10000, not '" + v + "'";
                return false;
            }
            o.loops = static_cast<uint32_t>(n);
        } else if (name == "--length") {
            uint64_t ms = 0;
            if (!timeValue(&ms))
                return false;
            if (ms == 0) {
                *error = "option --length expects a time above 0";
                return false;
            }
            o.builtInFrames = (ms * 44100 + 999) / 1000;
        } else if (name == "--link-delay") {
            if ((hasInlineValue && value == "never") || (!hasInlineValue && i + 1 < argc && std::string(argv[i + 1]) == "never")) {
                if (!hasInlineValue)
                    ++i;
                o.linkAtBoot = false;
            } else if (!timeValue(&o.linkDelayMs)) {
                return false;
            }
        } else if (name == "--link-up") {
            TimedAction a{};
            a.kind = TimedAction::LinkUp;
            if (!timeValue(&a.atMs))
                return false;
            o.linkAtBoot = false;
            o.actions.push_back(a);
        } else if (name == "--radio-queue" || name == "--radio-rate") {
            uint64_t n = 0;
            if (!takeValue(&v))
                return false;
            if (!ParseUnsigned(v, name == "--radio-queue" ? 0xFFFFFFFFull : 1000000000ull, &n) || n == 0) {
                *error = "option " + name + " expects a byte count above 0, not '" + v + "'";
                return false;
            }
            if (name == "--radio-queue")
                o.radioQueueBytes = static_cast<uint32_t>(n);
            else
                o.radioBytesPerSecond = n;
        } else if (name == "--headset-buffer" || name == "--headset-start") {
            uint64_t ms = 0;
            if (!timeValue(&ms))
                return false;
            uint64_t frames = ms * 44100 / 1000;
            if (frames == 0 || frames > 44100 * 60) {
                *error = "option " + name + " expects a time from 1ms to 60s";
                return false;
            }
            (name == "--headset-buffer" ? o.headsetBufferFrames : o.headsetStartFrames) = static_cast<uint32_t>(frames);
        } else if (name == "--play-out") {
            // The device only inline (--play-out=hw:1), so that a file name
            // after a bare --play-out stays the input.
            o.playOut = true;
            o.playDevice = hasInlineValue ? value : "default";
            if (o.playDevice.empty()) {
                *error = "option --play-out= needs an ALSA device name";
                return false;
            }
        } else if (name == "--no-headset") {
            if (!noValue())
                return false;
            o.headset = false;
        } else if (name == "--headset-ppm") {
            if (!takeValue(&v))
                return false;
            char* end = nullptr;
            errno = 0;
            double ppm = std::strtod(v.c_str(), &end);
            if (v.empty() || errno != 0 || *end != '\0' || !(ppm > -100000 && ppm < 100000)) {
                *error = "option --headset-ppm expects parts per million between -100000 and 100000, not '" + v + "'";
                return false;
            }
            o.headsetPpm = ppm;
        } else if (name == "--late-ticks") {
            if (!takeValue(&v))
                return false;
            uint64_t ms = 0;
            if (v == "off") {
                o.lateTickMs = 0;
            } else if (ParseMilliseconds(v, &ms) && ms >= 1 && ms <= 10000) {
                o.lateTickMs = static_cast<double>(ms);
            } else {
                *error = "option --late-ticks expects a time from 1ms to 10s, or off, not '" + v + "'";
                return false;
            }
        } else if (name == "--fault") {
            if (!takeValue(&v))
                return false;
            FaultOption f;
            if (!ParseFault(v, &f, error))
                return false;
            o.faults.push_back(f);
        } else if (name == "--link-down" || name == "--link-back" || name == "--reset") {
            TimedAction a{};
            a.kind = name == "--link-down" ? TimedAction::LinkDown
                     : name == "--link-back" ? TimedAction::LinkBack
                                             : TimedAction::Reset;
            if (!timeValue(&a.atMs))
                return false;
            o.actions.push_back(a);
        } else if (name == "--pause") {
            if (!takeValue(&v))
                return false;
            size_t colon = v.find(':');
            TimedAction a{};
            a.kind = TimedAction::Pause;
            if (colon == std::string::npos || !ParseMilliseconds(v.substr(0, colon), &a.atMs) ||
                !ParseMilliseconds(v.substr(colon + 1), &a.durationMs) || a.durationMs == 0) {
                *error = "option --pause expects T:D (pause at T for D, D not zero), not '" + v + "'";
                return false;
            }
            o.actions.push_back(a);
        } else if (name == "--wav" || name == "--heard" || name == "--sbc" || name == "--packets" || name == "--report" ||
                   name == "--plot") {
            std::string* target = name == "--wav"       ? &o.wavOut
                                  : name == "--heard"   ? &o.heardOut
                                  : name == "--sbc"     ? &o.sbcOut
                                  : name == "--packets" ? &o.csvOut
                                  : name == "--report"  ? &o.jsonOut
                                                        : &o.plotOut;
            if (!takeValue(target))
                return false;
            if (target->empty()) {
                *error = "option " + name + " needs a file name";
                return false;
            }
        } else {
            *error = "unknown option '" + arg + "'";
            return false;
        }
    }

    // The timeline is drawn as SVG only; a picture format by another name
    // would be a file no viewer opens.
    for (const char* ext : {".png", ".jpg", ".jpeg", ".pdf", ".gif"}) {
        size_t n = std::strlen(ext);
        if (o.plotOut.size() >= n && strcasecmp(o.plotOut.c_str() + o.plotOut.size() - n, ext) == 0) {
            *error = "option --plot writes SVG; give a file name ending in .svg, not '" + o.plotOut + "'";
            return false;
        }
    }

    // Without a loop the player keeps --buffers buffers; with one it queues
    // the whole sound and the sound's size bounds the memory instead.
    if (o.loops == 0 && static_cast<uint64_t>(o.buffers) * o.bufferBytes > kMaxBufferTotalBytes) {
        *error = "options --buffers " + std::to_string(o.buffers) + " and --buffer-size " +
                 std::to_string(o.bufferBytes) + " ask for " +
                 std::to_string(static_cast<uint64_t>(o.buffers) * o.bufferBytes) +
                 " bytes of buffers; at most " + std::to_string(kMaxBufferTotalBytes) + " (256 MiB) in all";
        return false;
    }

    std::stable_sort(o.actions.begin(), o.actions.end(),
                     [](const TimedAction& a, const TimedAction& b) { return a.atMs < b.atMs; });

    if (!o.headset && (!o.heardOut.empty() || o.playOut)) {
        *error = std::string("option ") + (o.playOut ? "--play-out" : "--heard") +
                 " needs the headset model (drop --no-headset)";
        return false;
    }
    if (o.headsetStartFrames > o.headsetBufferFrames) {
        *error = "option --headset-start is longer than the headset's buffer (--headset-buffer)";
        return false;
    }

    // Combinations that have no sound meaning.
    bool linkDown = !o.linkAtBoot;
    bool linkUpSeen = false;
    uint64_t pauseEnd = 0;
    for (const TimedAction& a : o.actions) {
        if (a.kind == TimedAction::LinkUp) {
            if (linkUpSeen) {
                *error = "option --link-up can be given once (use --link-down and --link-back after it)";
                return false;
            }
            linkUpSeen = true;
            linkDown = false;
        } else if (a.kind == TimedAction::LinkDown) {
            if (linkDown) {
                *error = "option --link-down at " + std::to_string(a.atMs) +
                         " ms: the link is already down (add a --link-back before it)";
                return false;
            }
            linkDown = true;
        } else if (a.kind == TimedAction::LinkBack) {
            if (!linkDown) {
                *error = "option --link-back at " + std::to_string(a.atMs) +
                         " ms needs an earlier --link-down";
                return false;
            }
            linkDown = false;
        } else if (a.kind == TimedAction::Pause) {
            if (a.atMs < pauseEnd) {
                *error = "option --pause at " + std::to_string(a.atMs) + " ms overlaps the pause before it";
                return false;
            }
            pauseEnd = a.atMs + a.durationMs;
        } else if (a.kind == TimedAction::Reset && o.loops != 0) {
            // Loop members are rewound in place, so where a reset leaves the
            // sound cannot be told from the headers that come back.
            *error = "options --reset and --loop cannot be combined";
            return false;
        }
    }
    for (const TimedAction& a : o.actions) {
        if (a.kind == TimedAction::Reset)
            for (const TimedAction& p : o.actions)
                if (p.kind == TimedAction::Pause && a.atMs >= p.atMs && a.atMs < p.atMs + p.durationMs) {
                    *error = "option --reset at " + std::to_string(a.atMs) + " ms falls inside a pause";
                    return false;
                }
    }
    *out = std::move(o);
    return true;
}

}  // namespace player
