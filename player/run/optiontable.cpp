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
#include "report/pacing.h"
#include "report/verdict.h"
#include "run/lateness.h"

namespace player {

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
    Own(a).defines.emplace_back(key, e == std::string::npos ? "1" : v.substr(e + 1));
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
    Own(a).codePage = static_cast<unsigned>(n);
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
    // The pacing values' canonical spelling is their table's.
    const char* canonical = nullptr;
    for (const PacingValue& pv : kPacingValues)
        if (strcasecmp(pv.name, key.c_str()) == 0)
            canonical = pv.name;
    if (!canonical)
        return a.Fail("option --set: unknown value '" + key + "' (expected Sample, Timer or CacheLen)");
    uint64_t number = 0;
    if (!ParseUnsigned(v.substr(e + 1), 0xFFFFFFFFull, &number))
        return a.Fail("option --set " + key + ": '" + v.substr(e + 1) + "' is not a 32-bit unsigned number");
    Own(a).sets.emplace_back(canonical, static_cast<uint32_t>(number));
    return true;
}

bool ParseCompare(Arg& a)
{
    std::string first;
    if (!a.Take(&first))
        return false;
    if (*a.i + 1 >= a.argc)
        return a.Fail("option --compare needs two reports: --compare A.json B.json");
    Own(a).compare = {first, a.argv[++*a.i]};
    return true;
}

bool ParseRefill(Arg& a)
{
    std::string v;
    if (!a.Take(&v))
        return false;
    if (v == "callback")
        Own(a).refill = Refill::Callback;
    else if (v == "event")
        Own(a).refill = Refill::Event;
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
    Own(a).builtInFrames = (ms * kDeviceRate + 999) / 1000;
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
    Own(a).actions.push_back(p);
    return true;
}

bool ParseLateTicks(Arg& a)
{
    std::string v;
    if (!a.Take(&v))
        return false;
    uint64_t ms = 0;
    if (v == "off")
        Own(a).lateTickMs = 0;
    else if (ParseMilliseconds(v, &ms) && ms >= 1 && ms <= 10000)
        Own(a).lateTickMs = static_cast<double>(ms);
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
    Own(a).faults.push_back(f);
    return true;
}

// Every option once: the heading it opens (or a note before it), its names,
// its argument as the usage shows it, its help (lines after the first are

const std::vector<OptionEntry> kPlayerOptions = {
    {"Clock and registry:", "--fast", "", "run on the virtual clock, as fast as the machine allows", nullptr,
     [](Arg& a) { return a.Flag(&Own(a).fast, true); }},
    {nullptr, "--reg", "FILE", "load a .reg file into the registry (again for more files,\n"
                               "merged in order, as the image build merges them)",
     nullptr, [](Arg& a) { return a.Files(&Own(a).regFiles); }},
    {nullptr, "--define", "NAME[=VALUE]", "a build variable for the .reg files (IF, #if, $(NAME),\n"
                                          "@CESYSGEN components and lists); the environment's count too",
     nullptr, ParseDefine},
    {nullptr, "--strings", "FILE.str", "the strings of LOC_ placeholders (#define LOC_NAME \"text\")", nullptr,
     [](Arg& a) { return a.Files(&Own(a).stringFiles); }},
    {nullptr, "--codepage", "N", "the code page of .reg and .str files that have no byte-order mark\n"
                                 "and are not UTF-8: 1252, 932 or 65001 (default: LOCALE's, else 1252)",
     nullptr, ParseCodePage},
    {nullptr, "--registry-dump", "", "print the registry as the device boots with it, and what\n"
                                     "shaped it, then stop without playing",
     nullptr, [](Arg& a) { return a.Flag(&Own(a).registryDump, true); }},
    {nullptr, "--set", "NAME=VALUE", "set Sample, Timer or CacheLen (decimal or 0x hex)", nullptr, ParseSet},
    {nullptr, "--driver-dir", "DIR", "where the driver library is looked for", nullptr,
     [](Arg& a) { return a.Take(&Own(a).driverDir); }},
    {"Application:", "--buffers", "N", "buffers the player keeps queued (default {})",
     [](const WorldOptions& d) { return std::to_string(Own(d).buffers); },
     [](Arg& a) { return a.Count(1024, "a count from 1 to 1024", &Own(a).buffers); }},
    {nullptr, "--buffer-size", "BYTES", "bytes per buffer (default {})",
     [](const WorldOptions& d) { return std::to_string(Own(d).bufferBytes); },
     [](Arg& a) { return a.Count(64u << 20, "a byte count from 1 to 67108864", &Own(a).bufferBytes); }},
    {nullptr, "--refill", "callback|event", "refill returned buffers from the main thread woken by an\n"
                                            "event, or from inside the callback function, which the\n"
                                            "platform forbids (default {})",
     [](const WorldOptions& d) { return std::string(Own(d).refill == Refill::Callback ? "callback" : "event"); }, ParseRefill},
    {nullptr, "--length", "T", "length of the built-in sound (default {}; e.g. 10m, 1h)",
     [](const WorldOptions&) { return ShowMilliseconds(kBuiltInFrames * 1000 / kDeviceRate); }, ParseLength},
    {nullptr, "--loop", "N", "play the whole sound N times as one loop", nullptr,
     [](Arg& a) { return a.Count(10000, "a count from 1 to 10000", &Own(a).loops); }},
    {nullptr, "--pause", "T:D", "pause at T for D (times in ms, or with s/ms suffix)", nullptr, ParsePause},
    {nullptr, "--reset", "T", "reset at T, then go on from where playback stood", nullptr,
     [](Arg& a) { return a.Action(TimedAction::Reset); }},
    // The link's options (world/options.h) come here.
    {"Faults:", "--fault", "NAME[:AMOUNT][@SKIP][xCOUNT]",
     "make the next COUNT (default {}; x* all) occasions after\n"
     "SKIP fail; NAME and what fails:",
     [](const WorldOptions&) { return std::to_string(FaultOption().count); }, ParseFaultOption},
    {"Real time:", "--late-ticks", "MS|off", "explain every tick that ends more than MS after its\n"
                                             "deadline, beside bare probe threads, one per CPU\n"
                                             "(default {}; real clock)",
     [](const WorldOptions& d) { return std::to_string(std::llround(Own(d).lateTickMs)); }, ParseLateTicks},
    {nullptr, "--timer-lateness", "PROFILE|PERCENTILES", "virtual clock: each tick late by a seeded draw from a\n"
                                                         "profile (below) or p50:1ms,p99:8ms,max:30ms",
     nullptr, ParseTimerLateness},
    {nullptr, "--timer-lateness-from", "REPORT.json", "the same, from the lateness a run's report states", nullptr,
     ParseTimerLatenessFrom},
    {nullptr, "--seed", "N", "the seed of the lateness draws (default {})",
     [](const WorldOptions& d) { return std::to_string(Own(d).seed); }, ParseSeed},
    // The listener's options (world/options.h) come here.
    {"Headset and reports:", "--wav", "FILE", "received PCM as a WAV file", nullptr,
     [](Arg& a) { return a.File(&Own(a).wavOut); }},
    {nullptr, "--packets", "FILE", "packet log (CSV)", nullptr, [](Arg& a) { return a.File(&Own(a).csvOut); }},
    {nullptr, "--report", "FILE", "report as JSON", nullptr, [](Arg& a) { return a.File(&Own(a).jsonOut); }},
    {nullptr, "--plot", "FILE", "timeline of the pacing (SVG)", nullptr, [](Arg& a) { return a.File(&Own(a).plotOut); }},
    {nullptr, "-q, --quiet", "", "no progress output", nullptr, [](Arg& a) { return a.Flag(&Own(a).quiet, true); }},
    {nullptr, "-v, --verbose", "", "print the driver's configuration and each event (link,\n"
                                   "pause, reset, open, close) as it happens, on standard error",
     nullptr, [](Arg& a) { return a.Flag(&Own(a).verbose, true); }},
    {nullptr, "--debug", "", "print every line of the driver's debug output, with its time", nullptr,
     [](Arg& a) { return a.Flag(&Own(a).debug, true); }},
    {nullptr, "--trace", "", "print every wave message sent to the driver: time, thread,\n"
                             "message, parameters and result",
     nullptr, [](Arg& a) { return a.Flag(&Own(a).trace, true); }},
    {"Any output FILE may be '-' for standard output (the text report then goes to\n"
     "standard error); links are followed and special files written in place.",
     "-h, --help", "", "this text", nullptr, [](Arg& a) { return a.Flag(&Own(a).help, true); }},
    {nullptr, "--compare", "A.json B.json", "print what differs between two runs' reports: settings,\n"
                                           "verdict and figures (exit 0 none, 1 some); plays nothing",
     nullptr, ParseCompare},
    {nullptr, "--version", "", "the player's version", nullptr, [](Arg& a) { return a.Flag(&Own(a).version, true); }},
};

// A codec's stream file: the option its file names (the codec table's).
bool ParseStreamOut(Arg& a)
{
    Own(a).streamCodec = btstandin::CodecOfStreamOption(a.name)->id;
    return a.File(&Own(a).streamOut);
}

// The player's own entries with the world's in their places: the link's
// before the faults, the listener's before the outputs; after --wav, the
// stream file of each codec that has one.
std::vector<OptionEntry> MergedTable()
{
    std::vector<OptionEntry> table;
    size_t count = 0;
    const btstandin::CodecInfo* codecs = btstandin::Codecs(&count);
    for (const OptionEntry& e : kPlayerOptions) {
        if (e.before && std::string(e.before) == "Faults:")
            table.insert(table.end(), WorldLinkOptions().begin(), WorldLinkOptions().end());
        if (e.before && std::string(e.before) == "Headset and reports:")
            table.insert(table.end(), WorldListenerOptions().begin(), WorldListenerOptions().end());
        table.push_back(e);
        if (std::string(e.names) == "--wav")
            for (size_t i = 0; i < count; ++i)
                if (codecs[i].parts->streamOption)
                    table.push_back({nullptr, codecs[i].parts->streamOption, "FILE", codecs[i].parts->streamHelp,
                                     nullptr, ParseStreamOut});
    }
    return table;
}

}  // namespace

const std::vector<OptionEntry>& OptionTable()
{
    static const std::vector<OptionEntry> table = MergedTable();
    return table;
}

const OptionEntry* FindOption(const std::string& name)
{
    for (const OptionEntry& s : OptionTable())
        if (EntryHasName(s, name))
            return &s;
    return nullptr;
}

}  // namespace player
