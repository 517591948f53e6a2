// Command-line parsing and validation.  Every error is one line that names
// the option and what was expected.
#include "run/options.h"

#include "btstandin/codec.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include <climits>

#include "host/faults.h"
#include "host/registry.h"

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

namespace {

// One option being parsed: its name as given, its value when given inline
// (--name=value), the rest of the command line, and where errors go.
struct Arg {
    std::string name;
    std::string value;
    bool hasInlineValue = false;
    int argc = 0;
    char** argv = nullptr;
    int* i = nullptr;   // the argument being parsed; a value taken from the next one moves it on
    Options* o = nullptr;
    std::string* error = nullptr;

    bool Fail(const std::string& message)
    {
        *error = message;
        return false;
    }
    bool Take(std::string* v)
    {
        if (hasInlineValue) {
            *v = value;
            return true;
        }
        if (*i + 1 >= argc)
            return Fail("option " + name + " needs a value");
        *v = argv[++*i];
        return true;
    }
    bool None()
    {
        return !hasInlineValue || Fail("option " + name + " takes no value");
    }
    bool Time(uint64_t* ms)
    {
        std::string v;
        if (!Take(&v))
            return false;
        if (!ParseMilliseconds(v, ms))
            return Fail("option " + name + " expects a time: a number with ms, s, m (or min) or h, or none for ms "
                        "(such as 500, 1.5s or 10m), not '" + v + "'");
        return true;
    }
    // A whole number from 1 to `max` into *field.
    template <typename T>
    bool Count(uint64_t max, const std::string& what, T* field)
    {
        std::string v;
        uint64_t n = 0;
        if (!Take(&v))
            return false;
        if (!ParseUnsigned(v, max, &n) || n == 0)
            return Fail("option " + name + " expects " + what + ", not '" + v + "'");
        *field = static_cast<T>(n);
        return true;
    }
    bool File(std::string* path)
    {
        if (!Take(path))
            return false;
        return !path->empty() || Fail("option " + name + " needs a file name");
    }
    bool Files(std::vector<std::string>* paths)
    {
        std::string v;
        if (!File(&v))
            return false;
        paths->push_back(v);
        return true;
    }
    bool Flag(bool* flag, bool set)
    {
        if (!None())
            return false;
        *flag = set;
        return true;
    }
    bool Action(TimedAction::Kind kind)
    {
        TimedAction a{};
        a.kind = kind;
        if (!Time(&a.atMs))
            return false;
        o->actions.push_back(a);
        return true;
    }
    bool HeadsetTime(uint32_t* frames)
    {
        uint64_t ms = 0;
        if (!Time(&ms))
            return false;
        uint64_t f = ms * 44100 / 1000;
        if (f == 0 || f > 44100 * 60)
            return Fail("option " + name + " expects a time from 1ms to 60s");
        *frames = static_cast<uint32_t>(f);
        return true;
    }
};

bool ParseDefine(Arg& a)
{
    std::string v;
    if (!a.Take(&v))
        return false;
    size_t e = v.find('=');
    std::string key = v.substr(0, e);
    bool valid = !key.empty() && !std::isdigit(static_cast<unsigned char>(key[0]));
    for (char c : key)
        valid = valid && (std::isalnum(static_cast<unsigned char>(c)) || c == '_');
    if (!valid)
        return a.Fail("option --define expects NAME or NAME=VALUE with a name of letters, digits and _, not '" + v +
                      "'");
    a.o->defines.emplace_back(key, e == std::string::npos ? "1" : v.substr(e + 1));
    return true;
}

bool ParseCodePage(Arg& a)
{
    std::string v;
    if (!a.Take(&v))
        return false;
    uint64_t n = 0;
    if (!ParseUnsigned(v, 0xFFFFFFFFull, &n) || !host::RegCodePageSupported(static_cast<unsigned>(n)))
        return a.Fail("option --codepage expects 1252, 932 or 65001, not '" + v + "'");
    a.o->codePage = static_cast<unsigned>(n);
    return true;
}

bool ParseSet(Arg& a)
{
    std::string v;
    if (!a.Take(&v))
        return false;
    size_t e = v.find('=');
    if (e == std::string::npos)
        return a.Fail("option --set expects NAME=VALUE, not '" + v + "'");
    std::string key = v.substr(0, e);
    const char* canonical = nullptr;
    for (const char* n : kRegistryNames)
        if (strcasecmp(n, key.c_str()) == 0)
            canonical = n;
    if (!canonical)
        return a.Fail("option --set: unknown value '" + key + "' (expected Sample, Timer or CacheLen)");
    uint64_t number = 0;
    if (!ParseUnsigned(v.substr(e + 1), 0xFFFFFFFFull, &number))
        return a.Fail("option --set " + key + ": '" + v.substr(e + 1) + "' is not a 32-bit unsigned number");
    a.o->sets.emplace_back(canonical, static_cast<uint32_t>(number));
    return true;
}

bool ParseRefill(Arg& a)
{
    std::string v;
    if (!a.Take(&v))
        return false;
    if (v == "callback")
        a.o->refill = Refill::Callback;
    else if (v == "event")
        a.o->refill = Refill::Event;
    else
        return a.Fail("option --refill expects 'callback' or 'event', not '" + v + "'");
    return true;
}

bool ParseLength(Arg& a)
{
    uint64_t ms = 0;
    if (!a.Time(&ms))
        return false;
    if (ms == 0)
        return a.Fail("option --length expects a time above 0");
    a.o->builtInFrames = (ms * 44100 + 999) / 1000;
    return true;
}

bool ParsePause(Arg& a)
{
    std::string v;
    if (!a.Take(&v))
        return false;
    size_t colon = v.find(':');
    TimedAction p{};
    p.kind = TimedAction::Pause;
    if (colon == std::string::npos || !ParseMilliseconds(v.substr(0, colon), &p.atMs) ||
        !ParseMilliseconds(v.substr(colon + 1), &p.durationMs) || p.durationMs == 0)
        return a.Fail("option --pause expects T:D (pause at T for D, D not zero), not '" + v + "'");
    a.o->actions.push_back(p);
    return true;
}

bool ParseLinkDelay(Arg& a)
{
    bool never = a.hasInlineValue ? a.value == "never" : *a.i + 1 < a.argc && std::string(a.argv[*a.i + 1]) == "never";
    if (!never)
        return a.Time(&a.o->linkDelayMs);
    if (!a.hasInlineValue)
        ++*a.i;
    a.o->linkAtBoot = false;
    return true;
}

bool ParseLinkUp(Arg& a)
{
    a.o->linkAtBoot = false;
    return a.Action(TimedAction::LinkUp);
}

bool ParsePpm(Arg& a)
{
    std::string v;
    if (!a.Take(&v))
        return false;
    char* end = nullptr;
    errno = 0;
    double ppm = std::strtod(v.c_str(), &end);
    if (v.empty() || errno != 0 || *end != '\0' || !(ppm > -100000 && ppm < 100000))
        return a.Fail("option --headset-ppm expects parts per million between -100000 and 100000, not '" + v + "'");
    a.o->headsetPpm = ppm;
    return true;
}

bool ParseCodec(Arg& a)
{
    std::string v;
    if (!a.Take(&v))
        return false;
    if (v == "sbc")
        a.o->codec = Options::Codec::Sbc;
    else if (v == "pcm")
        a.o->codec = Options::Codec::Pcm;
    else
        return a.Fail("option --codec expects sbc or pcm, not '" + v + "'");
    return true;
}

// N, or MIN-MAX, each from 2 to 250 (the frame header's bitpool; the
// largest a 44.1 kHz joint stereo frame can use is far lower, but the
// header is the limit the codec states).
bool ParseBitpool(Arg& a)
{
    std::string v;
    if (!a.Take(&v))
        return false;
    size_t dash = v.find('-');
    uint64_t lo = 0, hi = 0;
    bool ok = dash == std::string::npos ? ParseUnsigned(v, 250, &lo)
                                        : ParseUnsigned(v.substr(0, dash), 250, &lo) &&
                                              ParseUnsigned(v.substr(dash + 1), 250, &hi);
    if (dash == std::string::npos)
        hi = lo;
    if (!ok || lo < 2 || hi < lo)
        return a.Fail("option --bitpool expects a bitpool from 2 to 250, or a range MIN-MAX of them, not '" + v + "'");
    a.o->bitpoolMin = static_cast<uint32_t>(lo);
    a.o->bitpoolMax = static_cast<uint32_t>(hi);
    a.o->bitpoolFixed = dash == std::string::npos;
    return true;
}

bool ParseInterference(Arg& a)
{
    std::string v;
    if (!a.Take(&v))
        return false;
    size_t c1 = v.find(':'), c2 = c1 == std::string::npos ? c1 : v.find(':', c1 + 1);
    auto fail = [&] {
        return a.Fail("option --interference expects START:LENGTH:SHARE (times such as 2s, a share such as 0.5 "
                      "or 50%), not '" + v + "'");
    };
    if (c2 == std::string::npos)
        return fail();
    uint64_t start = 0, length = 0;
    if (!ParseMilliseconds(v.substr(0, c1), &start) || !ParseMilliseconds(v.substr(c1 + 1, c2 - c1 - 1), &length) ||
        length == 0)
        return fail();
    std::string shareText = v.substr(c2 + 1);
    bool percent = !shareText.empty() && shareText.back() == '%';
    if (percent)
        shareText.pop_back();
    char* end = nullptr;
    errno = 0;
    double share = std::strtod(shareText.c_str(), &end);
    if (shareText.empty() || errno != 0 || *end != '\0')
        return fail();
    if (percent)
        share /= 100;
    if (!(share >= 0 && share <= 1))
        return fail();
    a.o->interference.on = true;
    a.o->interference.startMs = start;
    a.o->interference.lengthMs = length;
    a.o->interference.share = share;
    return true;
}

bool ParsePlayOut(Arg& a)
{
    // The device only inline (--play-out=hw:1), so that a file name after a
    // bare --play-out stays the input.
    a.o->playOut = true;
    a.o->playDevice = a.hasInlineValue ? a.value : "default";
    return !a.o->playDevice.empty() || a.Fail("option --play-out= needs an ALSA device name");
}

bool ParseLateTicks(Arg& a)
{
    std::string v;
    if (!a.Take(&v))
        return false;
    uint64_t ms = 0;
    if (v == "off")
        a.o->lateTickMs = 0;
    else if (ParseMilliseconds(v, &ms) && ms >= 1 && ms <= 10000)
        a.o->lateTickMs = static_cast<double>(ms);
    else
        return a.Fail("option --late-ticks expects a time from 1ms to 10s, or off, not '" + v + "'");
    return true;
}

bool ParseFaultOption(Arg& a)
{
    std::string v;
    FaultOption f;
    if (!a.Take(&v) || !ParseFault(v, &f, a.error))
        return false;
    a.o->faults.push_back(f);
    return true;
}

// Every option once: the heading it opens (or a note before it), its names,
// its argument as the usage shows it, its help (lines after the first are
// indented under it), and its parser.
struct OptionEntry {
    const char* before;   // a heading or note printed before it, or nullptr
    const char* names;    // "--name", or "-h, --help"
    const char* arg;      // "" without a value; "[=X]" joins the name
    const char* help;
    bool (*parse)(Arg& a);
};

const OptionEntry kOptions[] = {
    {"Clock and registry:", "--fast", "", "run on the virtual clock, as fast as the machine allows",
     [](Arg& a) { return a.Flag(&a.o->fast, true); }},
    {nullptr, "--reg", "FILE", "load a .reg file into the registry (again for more files,\n"
                               "merged in order, as the image build merges them)",
     [](Arg& a) { return a.Files(&a.o->regFiles); }},
    {nullptr, "--define", "NAME[=VALUE]", "a build variable for the .reg files (IF, #if, $(NAME),\n"
                                          "@CESYSGEN components and lists); the environment's count too",
     ParseDefine},
    {nullptr, "--strings", "FILE.str", "the strings of LOC_ placeholders (#define LOC_NAME \"text\")",
     [](Arg& a) { return a.Files(&a.o->stringFiles); }},
    {nullptr, "--codepage", "N", "the code page of .reg and .str files that have no byte-order mark\n"
                                 "and are not UTF-8: 1252, 932 or 65001 (default: LOCALE's, else 1252)",
     ParseCodePage},
    {nullptr, "--registry-dump", "", "print the registry as the device boots with it, and what\n"
                                     "shaped it, then stop without playing",
     [](Arg& a) { return a.Flag(&a.o->registryDump, true); }},
    {nullptr, "--set", "NAME=VALUE", "set Sample, Timer or CacheLen (decimal or 0x hex)", ParseSet},
    {nullptr, "--driver-dir", "DIR", "where the driver library is looked for",
     [](Arg& a) { return a.Take(&a.o->driverDir); }},
    {"Application:", "--buffers", "N", "buffers the player keeps queued (default 4)",
     [](Arg& a) { return a.Count(1024, "a count from 1 to 1024", &a.o->buffers); }},
    {nullptr, "--buffer-size", "BYTES", "bytes per buffer (default 8192)",
     [](Arg& a) { return a.Count(64u << 20, "a byte count from 1 to 67108864", &a.o->bufferBytes); }},
    {nullptr, "--refill", "callback|event", "refill returned buffers from a callback function or\n"
                                            "from the main thread woken by an event (default callback)",
     ParseRefill},
    {nullptr, "--length", "T", "length of the built-in sound (default 3s; e.g. 10m, 1h)", ParseLength},
    {nullptr, "--loop", "N", "play the whole sound N times as one loop",
     [](Arg& a) { return a.Count(10000, "a count from 1 to 10000", &a.o->loops); }},
    {nullptr, "--pause", "T:D", "pause at T for D (times in ms, or with s/ms suffix)", ParsePause},
    {nullptr, "--reset", "T", "reset at T, then go on from where playback stood",
     [](Arg& a) { return a.Action(TimedAction::Reset); }},
    {"Link:", "--link-delay", "T|never", "the link comes up T after boot (default 100ms), or never", ParseLinkDelay},
    {nullptr, "--link-up", "T", "the application opens first; the headset connects at T", ParseLinkUp},
    {nullptr, "--link-down", "T", "the link goes down at T", [](Arg& a) { return a.Action(TimedAction::LinkDown); }},
    {nullptr, "--link-back", "T", "the link comes back at T", [](Arg& a) { return a.Action(TimedAction::LinkBack); }},
    {nullptr, "--codec", "sbc|pcm", "what the library sends: SBC frames in media packets\n"
                                    "(default), or PCM bit-exact to the ear",
     ParseCodec},
    {nullptr, "--bitpool", "N|MIN-MAX", "SBC bitpool: N fixes it; a range (default 2-53) lets it\n"
                                        "step down while the send queue backs up, from the top",
     ParseBitpool},
    {nullptr, "--mtu", "BYTES", "largest media packet (default 895)",
     [](Arg& a) { return a.Count(65535, "a byte count from 1 to 65535", &a.o->mtu); }},
    {nullptr, "--radio-kbps", "K", "the radio's budget for the stream in kbit/s (default 512\n"
                                   "with SBC, 2117 with PCM)",
     [](Arg& a) { return a.Count(100000, "kbit/s from 1 to 100000", &a.o->radioKbps); }},
    {nullptr, "--radio-queue", "N", "the library's send queue in media packets (default 10)",
     [](Arg& a) { return a.Count(100000, "a packet count from 1 to 100000", &a.o->radioQueuePackets); }},
    {nullptr, "--interference", "T:D:SHARE", "from T for D the radio loses SHARE of its budget to\n"
                                             "retries (SHARE 0-1 or 0%-100%; T since the first write)",
     ParseInterference},
    {"Faults:", "--fault", "NAME[:AMOUNT][@SKIP][xCOUNT]",
     "make the next COUNT (default 1; x* all)\n"
     "occasions after SKIP fail: localalloc, malloc, timer,\n"
     "regopen, regquery, refuse (posts), slowpost:MS (0-10000;\n"
     "virtual time with --fast), lose (packets), late:MS\n"
     "(0-60000, virtual ticks), drift:PPM (+-100000, per tick),\n"
     "timeraccess (timeSetEvent/timeKillEvent fault a memory\n"
     "access: ends the run as it would end the process)",
     ParseFaultOption},
    {"Real time:", "--late-ticks", "MS|off", "explain every tick that ends more than MS after its\n"
                                             "deadline, beside bare probe threads, one per CPU\n"
                                             "(default 5; real clock)",
     ParseLateTicks},
    {"Listener:", "--headset-buffer", "T", "the headset's jitter buffer (default 250ms)",
     [](Arg& a) { return a.HeadsetTime(&a.o->headsetBufferFrames); }},
    {nullptr, "--headset-start", "T", "it starts playing once it holds T (default 100ms)",
     [](Arg& a) { return a.HeadsetTime(&a.o->headsetStartFrames); }},
    {nullptr, "--headset-ppm", "P", "its clock runs P ppm fast (negative: slow)", ParsePpm},
    {nullptr, "--heard", "FILE", "what the listener hears, gaps as silence (WAV)",
     [](Arg& a) { return a.File(&a.o->heardOut); }},
    {nullptr, "--no-headset", "", "no headset model (the report then has no listener)",
     [](Arg& a) { return a.Flag(&a.o->headset, false); }},
    {nullptr, "--play-out", "[=DEVICE]", "play what the listener hears on the sound system through\n"
                                         "ALSA (default device: default)",
     ParsePlayOut},
    {"Headset and reports:", "--wav", "FILE", "received PCM as a WAV file", [](Arg& a) { return a.File(&a.o->wavOut); }},
    {nullptr, "--sbc", "FILE", "received audio encoded as an SBC stream", [](Arg& a) { return a.File(&a.o->sbcOut); }},
    {nullptr, "--packets", "FILE", "packet log (CSV)", [](Arg& a) { return a.File(&a.o->csvOut); }},
    {nullptr, "--report", "FILE", "report as JSON", [](Arg& a) { return a.File(&a.o->jsonOut); }},
    {nullptr, "--plot", "FILE", "timeline of the pacing (SVG)", [](Arg& a) { return a.File(&a.o->plotOut); }},
    {nullptr, "--quiet", "", "no progress output", [](Arg& a) { return a.Flag(&a.o->quiet, true); }},
    {nullptr, "--debug", "", "print every line of the driver's debug output, with its time",
     [](Arg& a) { return a.Flag(&a.o->debug, true); }},
    {nullptr, "--trace", "", "print every wave message sent to the driver: time, thread,\n"
                             "message, parameters and result",
     [](Arg& a) { return a.Flag(&a.o->trace, true); }},
    {"Any output FILE may be '-' for standard output (the text report then goes to\n"
     "standard error); links are followed and special files written in place.",
     "-h, --help", "", "this text", [](Arg& a) { return a.Flag(&a.o->help, true); }},
};

// Whether `name` is one of the entry's names ("-h, --help").
bool Names(const OptionEntry& entry, const std::string& name)
{
    std::string names = entry.names;
    for (size_t at = 0; at <= names.size();) {
        size_t end = names.find(", ", at);
        if (names.compare(at, (end == std::string::npos ? names.size() : end) - at, name) == 0 &&
            (end == std::string::npos ? names.size() : end) - at == name.size())
            return true;
        if (end == std::string::npos)
            break;
        at = end + 2;
    }
    return false;
}

}  // namespace

std::string UsageText(const std::string& programName)
{
    const size_t kHelpColumn = 26;
    std::string out = "Usage: " + programName + " [options] [FILE]\n"
                      "Plays FILE (or a built-in test sound) through the wave API, the driver and\n"
                      "the Bluetooth stand-in, and reports what reached the headset.\n"
                      "\n";
    for (const OptionEntry& s : kOptions) {
        if (s.before)
            out += std::string(s.before) + "\n";
        std::string left = std::string("  ") + s.names;
        if (*s.arg)
            left += (s.arg[0] == '[' ? "" : " ") + std::string(s.arg);
        left += left.size() + 1 < kHelpColumn ? std::string(kHelpColumn - left.size(), ' ') : "  ";
        std::string help = s.help;
        for (size_t nl = help.find('\n'); nl != std::string::npos; nl = help.find('\n', nl + 1))
            help.insert(nl + 1, kHelpColumn, ' ');
        out += left + help + "\n";
    }
    return out + "Times T are measured from the first buffer written (--link-delay: from boot);\n"
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
        Arg a;
        a.name = arg;
        size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            a.name = arg.substr(0, eq);
            a.value = arg.substr(eq + 1);
            a.hasInlineValue = true;
        }
        a.argc = argc;
        a.argv = argv;
        a.i = &i;
        a.o = &o;
        a.error = error;
        const OptionEntry* entry = nullptr;
        for (const OptionEntry& s : kOptions)
            if (Names(s, a.name))
                entry = &s;
        if (!entry) {
            *error = "unknown option '" + arg + "'";
            return false;
        }
        if (!entry->parse(a))
            return false;
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

    // A media packet holds at least one frame at the top of the bitpool's range.
    if (o.codec == Options::Codec::Sbc) {
        btstandin::SbcFormat top;
        top.bitpool = o.bitpoolMax;
        const uint32_t need = btstandin::kRtpHeaderBytes + btstandin::kSbcHeaderBytes + btstandin::SbcFrameBytes(top);
        if (o.mtu < need) {
            *error = "option --mtu " + std::to_string(o.mtu) + " holds no SBC frame at bitpool " +
                     std::to_string(o.bitpoolMax) + ": one needs " + std::to_string(need) + " bytes with its headers";
            return false;
        }
    } else if (o.mtu < btstandin::kRtpHeaderBytes + 4) {
        *error = "option --mtu " + std::to_string(o.mtu) + " holds no audio frame";
        return false;
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
