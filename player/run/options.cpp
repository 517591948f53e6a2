// Command-line parsing and the checks of the options together.  Every error
// is one line that names the option and what was expected.
#include "run/options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "btstandin/codec.h"
#include "host/faults.h"
#include "run/lateness.h"
#include "run/optiontable.h"

namespace player {

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
    const int64_t lowest = info.lowest, highest = info.highest;
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

// The timeline is drawn as SVG only; a picture format by another name would
// be a file no viewer opens.
bool CheckPlot(const Options& o, std::string* error)
{
    for (const char* ext : {".png", ".jpg", ".jpeg", ".pdf", ".gif"}) {
        size_t n = std::strlen(ext);
        if (o.plotOut.size() >= n && strcasecmp(o.plotOut.c_str() + o.plotOut.size() - n, ext) == 0) {
            *error = "option --plot writes SVG; give a file name ending in .svg, not '" + o.plotOut + "'";
            return false;
        }
    }
    return true;
}

// Without a loop the player keeps --buffers buffers; with one it queues the
// whole sound and the sound's size bounds the memory instead.
bool CheckBuffers(const Options& o, std::string* error)
{
    if (o.loops == 0 && static_cast<uint64_t>(o.buffers) * o.bufferBytes > kMaxBufferTotalBytes) {
        *error = "options --buffers " + std::to_string(o.buffers) + " and --buffer-size " +
                 std::to_string(o.bufferBytes) + " ask for " +
                 std::to_string(static_cast<uint64_t>(o.buffers) * o.bufferBytes) +
                 " bytes of buffers; at most " + std::to_string(kMaxBufferTotalBytes) + " (256 MiB) in all";
        return false;
    }
    return true;
}

// The player's own timed actions in an order that has a meaning (the
// link's are the world's: CheckLinkActions); o.actions is sorted.
bool CheckActions(const Options& o, std::string* error)
{
    uint64_t pauseEnd = 0;
    for (const TimedAction& a : o.actions) {
        if (a.kind == TimedAction::Pause) {
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
    return true;
}

// The arguments one by one: the input file, or an option and its value.
bool ParseArguments(int argc, char** argv, Options* o, std::string* error)
{
    bool sawFile = false;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            if (sawFile) {
                *error = "only one input file can be played (got '" + o->input + "' and '" + arg + "')";
                return false;
            }
            o->input = arg;
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
        a.o = o;
        a.error = error;
        const OptionEntry* entry = FindOption(a.name);
        if (!entry) {
            *error = "unknown option '" + arg + "'";
            return false;
        }
        if (!entry->parse(a))
            return false;
    }
    return true;
}

}  // namespace

bool ParseOptions(int argc, char** argv, Options* out, std::string* error)
{
    Options o;
    if (!ParseArguments(argc, argv, &o, error) || !CheckPlot(o, error) || !CheckMtu(o, error) ||
        !CheckBuffers(o, error))
        return false;
    o.command.assign(argv + 1, argv + argc);
    SortActions(&o);
    if (!CheckHeadset(o, error) || !CheckLinkActions(o, error) || !CheckActions(o, error) ||
        !CheckTimerLateness(o, error))
        return false;
    *out = std::move(o);
    return true;
}

}  // namespace player
