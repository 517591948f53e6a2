// The options' table and the parsers of their values.  Every error is one
// line that names the option and what was expected.
#include "run/optiontable.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <strings.h>

#include "btstandin/sendpath.h"
#include "host/registry.h"
#include "input/audio.h"
#include "report/verdict.h"
#include "run/lateness.h"

namespace player {

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
const char* const kRegistryNames[] = {BTWAV_VALUE_SAMPLE, BTWAV_VALUE_TIMER, BTWAV_VALUE_CACHELEN};

bool Arg::Fail(const std::string& message)
{
    *error = message;
    return false;
}

bool Arg::Take(std::string* v)
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

bool Arg::None()
{
    return !hasInlineValue || Fail("option " + name + " takes no value");
}

bool Arg::Time(uint64_t* ms)
{
    std::string v;
    if (!Take(&v))
        return false;
    if (!ParseMilliseconds(v, ms))
        return Fail("option " + name + " expects a time: a number with ms, s, m (or min) or h, or none for ms "
                    "(such as 500, 1.5s or 10m), not '" + v + "'");
    return true;
}

bool Arg::WholeNumber(uint64_t max, const std::string& what, uint64_t* n)
{
    std::string v;
    if (!Take(&v))
        return false;
    if (!ParseUnsigned(v, max, n) || *n == 0)
        return Fail("option " + name + " expects " + what + ", not '" + v + "'");
    return true;
}

bool Arg::File(std::string* path)
{
    if (!Take(path))
        return false;
    return !path->empty() || Fail("option " + name + " needs a file name");
}

bool Arg::Files(std::vector<std::string>* paths)
{
    std::string v;
    if (!File(&v))
        return false;
    paths->push_back(v);
    return true;
}

bool Arg::Flag(bool* flag, bool set)
{
    if (!None())
        return false;
    *flag = set;
    return true;
}

bool Arg::Action(TimedAction::Kind kind)
{
    TimedAction a{};
    a.kind = kind;
    if (!Time(&a.atMs))
        return false;
    o->actions.push_back(a);
    return true;
}

bool Arg::HeadsetTime(uint32_t* frames)
{
    uint64_t ms = 0;
    if (!Time(&ms))
        return false;
    uint64_t f = ms * kDeviceRate / 1000;
    if (f == 0 || f > kDeviceRate * 60)
        return Fail("option " + name + " expects a time from 1ms to 60s");
    *frames = static_cast<uint32_t>(f);
    return true;
}

std::string ShowMilliseconds(uint64_t ms)
{
    if (ms != 0 && ms % 1000 == 0)
        return std::to_string(ms / 1000) + "s";
    return std::to_string(ms) + "ms";
}

namespace {

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

bool ParseAllowOption(Arg& a)
{
    std::string v, error;
    if (!a.Take(&v))
        return false;
    return ParseAllow(v, &a.o->allow, &error) || a.Fail(error);
}

bool ParseCompare(Arg& a)
{
    std::string first;
    if (!a.Take(&first))
        return false;
    if (*a.i + 1 >= a.argc)
        return a.Fail("option --compare needs two reports: --compare A.json B.json");
    a.o->compare = {first, a.argv[++*a.i]};
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
    a.o->builtInFrames = (ms * kDeviceRate + 999) / 1000;
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

bool ParseCatchUp(Arg& a)
{
    std::string v;
    if (!a.Take(&v))
        return false;
    char* end = nullptr;
    errno = 0;
    double ppm = std::strtod(v.c_str(), &end);
    if (v.empty() || errno != 0 || *end != '\0' || !(ppm >= 0 && ppm <= 100000))
        return a.Fail("option --headset-catch-up expects parts per million from 0 to 100000, not '" + v + "'");
    a.o->headsetCatchUpPpm = ppm;
    return true;
}

bool ParsePlayOut(Arg& a)
{
    // The device only inline (--play-out=hw:1), so that a file name after a
    // bare --play-out stays the input.
    a.o->playOut = true;
    a.o->playDevice = a.hasInlineValue ? a.value : kDefaultPlayDevice;
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

std::string ShowFrames(uint32_t frames)
{
    return ShowMilliseconds(uint64_t{frames} * 1000 / kDeviceRate);
}

const std::vector<OptionEntry> kOptions = {
    {"Clock and registry:", "--fast", "", "run on the virtual clock, as fast as the machine allows", nullptr,
     [](Arg& a) { return a.Flag(&a.o->fast, true); }},
    {nullptr, "--reg", "FILE", "load a .reg file into the registry (again for more files,\n"
                               "merged in order, as the image build merges them)",
     nullptr, [](Arg& a) { return a.Files(&a.o->regFiles); }},
    {nullptr, "--define", "NAME[=VALUE]", "a build variable for the .reg files (IF, #if, $(NAME),\n"
                                          "@CESYSGEN components and lists); the environment's count too",
     nullptr, ParseDefine},
    {nullptr, "--strings", "FILE.str", "the strings of LOC_ placeholders (#define LOC_NAME \"text\")", nullptr,
     [](Arg& a) { return a.Files(&a.o->stringFiles); }},
    {nullptr, "--codepage", "N", "the code page of .reg and .str files that have no byte-order mark\n"
                                 "and are not UTF-8: 1252, 932 or 65001 (default: LOCALE's, else 1252)",
     nullptr, ParseCodePage},
    {nullptr, "--registry-dump", "", "print the registry as the device boots with it, and what\n"
                                     "shaped it, then stop without playing",
     nullptr, [](Arg& a) { return a.Flag(&a.o->registryDump, true); }},
    {nullptr, "--set", "NAME=VALUE", "set Sample, Timer or CacheLen (decimal or 0x hex)", nullptr, ParseSet},
    {nullptr, "--driver-dir", "DIR", "where the driver library is looked for", nullptr,
     [](Arg& a) { return a.Take(&a.o->driverDir); }},
    {"Application:", "--buffers", "N", "buffers the player keeps queued (default {})",
     [](const Options& d) { return std::to_string(d.buffers); },
     [](Arg& a) { return a.Count(1024, "a count from 1 to 1024", &a.o->buffers); }},
    {nullptr, "--buffer-size", "BYTES", "bytes per buffer (default {})",
     [](const Options& d) { return std::to_string(d.bufferBytes); },
     [](Arg& a) { return a.Count(64u << 20, "a byte count from 1 to 67108864", &a.o->bufferBytes); }},
    {nullptr, "--refill", "callback|event", "refill returned buffers from the main thread woken by an\n"
                                            "event, or from inside the callback function, which the\n"
                                            "platform forbids (default {})",
     [](const Options& d) { return std::string(d.refill == Refill::Callback ? "callback" : "event"); }, ParseRefill},
    {nullptr, "--length", "T", "length of the built-in sound (default {}; e.g. 10m, 1h)",
     [](const Options&) { return ShowMilliseconds(kBuiltInFrames * 1000 / kDeviceRate); }, ParseLength},
    {nullptr, "--loop", "N", "play the whole sound N times as one loop", nullptr,
     [](Arg& a) { return a.Count(10000, "a count from 1 to 10000", &a.o->loops); }},
    {nullptr, "--pause", "T:D", "pause at T for D (times in ms, or with s/ms suffix)", nullptr, ParsePause},
    {nullptr, "--reset", "T", "reset at T, then go on from where playback stood", nullptr,
     [](Arg& a) { return a.Action(TimedAction::Reset); }},
    {"Link:", "--link-delay", "T|never", "the link comes up T after boot (default {}), or never",
     [](const Options& d) { return ShowMilliseconds(d.linkDelayMs); }, ParseLinkDelay},
    {nullptr, "--link-up", "T", "the application opens first; the headset connects at T", nullptr, ParseLinkUp},
    {nullptr, "--link-down", "T", "the link goes down at T", nullptr,
     [](Arg& a) { return a.Action(TimedAction::LinkDown); }},
    {nullptr, "--link-back", "T", "the link comes back at T", nullptr,
     [](Arg& a) { return a.Action(TimedAction::LinkBack); }},
    {nullptr, "--codec", "sbc|pcm", "what the library sends: SBC frames in media packets, or\n"
                                    "PCM bit-exact to the ear (default {})",
     [](const Options& d) { return std::string(d.codec == Options::Codec::Sbc ? "sbc" : "pcm"); }, ParseCodec},
    {nullptr, "--bitpool", "N|MIN-MAX", "SBC bitpool: N fixes it; a range (default {}) lets it\n"
                                        "step down while the send queue backs up, from the top",
     [](const Options& d) { return std::to_string(d.bitpoolMin) + "-" + std::to_string(d.bitpoolMax); },
     ParseBitpool},
    {nullptr, "--mtu", "BYTES", "largest media packet (default {})",
     [](const Options& d) { return std::to_string(d.mtu); },
     [](Arg& a) { return a.Count(65535, "a byte count from 1 to 65535", &a.o->mtu); }},
    {nullptr, "--radio-kbps", "K", "the radio's budget for the stream in kbit/s (default {})",
     [](const Options&) {
         btstandin::SendPathConfig c;
         return "half the link,\n" + std::to_string(c.Kbps()) + " with SBC over 2-DH5s, " + std::to_string(btstandin::kDefaultPcmKbps) +
                " with PCM";
     },
     [](Arg& a) { return a.Count(100000, "kbit/s from 1 to 100000", &a.o->radioKbps); }},
    {nullptr, "--radio-queue", "N", "the library's send queue in media packets (default {})",
     [](const Options& d) { return std::to_string(d.radioQueuePackets); },
     [](Arg& a) { return a.Count(100000, "a packet count from 1 to 100000", &a.o->radioQueuePackets); }},
    {nullptr, "--radio-types", "LIST", "EDR packet types the link allows, such as\n"
                                       "2-DH1,2-DH3,2-DH5 or 3M (default {}; the 2 Mbit/s ones)",
     [](const Options&) { return std::string("2M"); }, ParseAclTypes},
    {nullptr, "--flush-timeout", "MS|off", "drop a media packet not sent MS after it was queued\n"
                                           "(default {}: the peers' default, infinite)",
     [](const Options&) { return std::string("off"); }, ParseFlushTimeout},
    {nullptr, "--interference", "T:D:SHARE", "from T for D the radio loses SHARE of its budget to\n"
                                             "retries (SHARE 0-1 or 0%-100%; T since the first write)",
     nullptr, ParseInterference},
    {"Faults:", "--fault", "NAME[:AMOUNT][@SKIP][xCOUNT]",
     "make the next COUNT (default {}; x* all) occasions after\n"
     "SKIP fail; NAME and what fails:",
     [](const Options&) { return std::to_string(FaultOption().count); }, ParseFaultOption},
    {"Real time:", "--late-ticks", "MS|off", "explain every tick that ends more than MS after its\n"
                                             "deadline, beside bare probe threads, one per CPU\n"
                                             "(default {}; real clock)",
     [](const Options& d) { return std::to_string(std::llround(d.lateTickMs)); }, ParseLateTicks},
    {nullptr, "--timer-lateness", "PROFILE|PERCENTILES", "virtual clock: each tick late by a seeded draw from a\n"
                                                         "profile (below) or p50:1ms,p99:8ms,max:30ms",
     nullptr, ParseTimerLateness},
    {nullptr, "--timer-lateness-from", "REPORT.json", "the same, from the lateness a run's report states", nullptr,
     ParseTimerLatenessFrom},
    {nullptr, "--seed", "N", "the seed of the lateness draws (default {})",
     [](const Options& d) { return std::to_string(d.seed); }, ParseSeed},
    {"Listener:", "--headset-buffer", "T", "the headset's jitter buffer (default {})",
     [](const Options& d) { return ShowFrames(d.headsetBufferFrames); },
     [](Arg& a) { return a.HeadsetTime(&a.o->headsetBufferFrames); }},
    {nullptr, "--headset-start", "T", "it starts playing once it holds T (default {})",
     [](const Options& d) { return ShowFrames(d.headsetStartFrames); },
     [](Arg& a) { return a.HeadsetTime(&a.o->headsetStartFrames); }},
    {nullptr, "--headset-ppm", "P", "its clock runs P ppm fast (negative: slow)", nullptr, ParsePpm},
    {nullptr, "--headset-catch-up", "P", "after an underrun it plays P ppm fast until its buffer is\n"
                                         "back at its target (default 0: off)",
     nullptr, ParseCatchUp},
    {nullptr, "--heard", "FILE", "what the listener hears, gaps as silence (WAV)", nullptr,
     [](Arg& a) { return a.File(&a.o->heardOut); }},
    {nullptr, "--no-headset", "", "no headset model (the report then has no listener)", nullptr,
     [](Arg& a) { return a.Flag(&a.o->headset, false); }},
    {nullptr, "--play-out", "[=DEVICE]", "play what the listener hears on the sound system through\n"
                                         "ALSA (default device: {})",
     [](const Options&) { return std::string(kDefaultPlayDevice); }, ParsePlayOut},
    {"Headset and reports:", "--wav", "FILE", "received PCM as a WAV file", nullptr,
     [](Arg& a) { return a.File(&a.o->wavOut); }},
    {nullptr, "--sbc", "FILE", "received audio encoded as an SBC stream", nullptr,
     [](Arg& a) { return a.File(&a.o->sbcOut); }},
    {nullptr, "--packets", "FILE", "packet log (CSV)", nullptr, [](Arg& a) { return a.File(&a.o->csvOut); }},
    {nullptr, "--report", "FILE", "report as JSON", nullptr, [](Arg& a) { return a.File(&a.o->jsonOut); }},
    {nullptr, "--plot", "FILE", "timeline of the pacing (SVG)", nullptr, [](Arg& a) { return a.File(&a.o->plotOut); }},
    {nullptr, "--allow", "LIST", "faults the listener heard that leave the exit status alone:\n"
                             "gaps, overflows, refused, lost or all, separated by commas",
     nullptr, ParseAllowOption},
    {nullptr, "-q, --quiet", "", "no progress output", nullptr, [](Arg& a) { return a.Flag(&a.o->quiet, true); }},
    {nullptr, "-v, --verbose", "", "print the driver's configuration and each event (link,\n"
                                   "pause, reset, open, close) as it happens, on standard error",
     nullptr, [](Arg& a) { return a.Flag(&a.o->verbose, true); }},
    {nullptr, "--debug", "", "print every line of the driver's debug output, with its time", nullptr,
     [](Arg& a) { return a.Flag(&a.o->debug, true); }},
    {nullptr, "--trace", "", "print every wave message sent to the driver: time, thread,\n"
                             "message, parameters and result",
     nullptr, [](Arg& a) { return a.Flag(&a.o->trace, true); }},
    {"Any output FILE may be '-' for standard output (the text report then goes to\n"
     "standard error); links are followed and special files written in place.",
     "-h, --help", "", "this text", nullptr, [](Arg& a) { return a.Flag(&a.o->help, true); }},
    {nullptr, "--compare", "A.json B.json", "print what differs between two runs' reports: settings,\n"
                                           "verdict and figures (exit 0 none, 1 some); plays nothing",
     nullptr, ParseCompare},
    {nullptr, "--version", "", "the player's version", nullptr, [](Arg& a) { return a.Flag(&a.o->version, true); }},
};

// Whether `name` is one of the entry's names ("-h, --help").
bool Names(const OptionEntry& entry, const std::string& name)
{
    std::string names = entry.names;
    for (size_t at = 0; at <= names.size();) {
        size_t end = names.find(", ", at);
        if (end == std::string::npos)
            end = names.size();
        if (names.compare(at, end - at, name) == 0 && end - at == name.size())
            return true;
        at = end + 2;
    }
    return false;
}

}  // namespace

const std::vector<OptionEntry>& OptionTable()
{
    return kOptions;
}

const OptionEntry* FindOption(const std::string& name)
{
    for (const OptionEntry& s : kOptions)
        if (Names(s, name))
            return &s;
    return nullptr;
}

}  // namespace player
