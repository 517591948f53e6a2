// The usage text, generated: the options from their table with the defaults
// of a default Options, the faults from the host's fault table, the exit
// codes from theirs.
#include <algorithm>
#include <csignal>
#include <string>

#include "host/faults.h"
#include "run/lateness.h"
#include "run/optiontable.h"

namespace player {
namespace {

const size_t kHelpColumn = 26;
const size_t kWidth = 80;   // columns a line may take, its newline aside

// `text` filled into lines of the usage's width, the first starting at
// column `first` and the others indented to `column`; its own line breaks
// count as spaces.
std::string Filled(std::string text, size_t first, size_t column)
{
    std::replace(text.begin(), text.end(), '\n', ' ');
    std::string out;
    size_t at = first;
    while (at + text.size() > kWidth) {
        size_t cut = text.rfind(' ', kWidth - at);
        if (cut == std::string::npos || cut == 0)
            break;
        out += text.substr(0, cut) + "\n" + std::string(column, ' ');
        text.erase(0, cut + 1);
        at = column;
    }
    return out + text;
}

// `left` padded to the help's column (or followed by two spaces when it
// reaches it), then the help, its further lines under the column.
std::string Row(const std::string& left, const std::string& help)
{
    std::string out = left + (left.size() + 1 < kHelpColumn ? std::string(kHelpColumn - left.size(), ' ') : "  ");
    return out + Filled(help, out.size(), kHelpColumn) + "\n";
}

std::string WithDefault(const OptionEntry& s)
{
    std::string help = s.help;
    size_t at = help.find("{}");
    if (at != std::string::npos && s.shown)
        help.replace(at, 2, s.shown(Options()));
    return help;
}

// One row a fault: "slowpost:MS", what fails, and the amount's range.
std::string FaultRows()
{
    std::string out;
    for (unsigned i = 0; i < host::kFaultCount; ++i) {
        const host::FaultInfo& f = host::Describe(static_cast<host::Fault>(i));
        std::string unit = f.unit, amount;
        for (char c : unit)
            amount += static_cast<char>(c - 'a' + 'A');
        std::string help = f.help;
        if (!unit.empty())
            help += " (" + amount + " " + std::to_string(f.lowest) + " to " + std::to_string(f.highest) + ", default " +
                    std::to_string(f.defaultAmount) + ")";
        out += Row("      " + std::string(f.spelling) + (unit.empty() ? "" : ":" + amount), help);
    }
    return out;
}

std::string ExitCodes()
{
    std::string list;
    for (const ExitCodeInfo& e : kExitCodes)
        list += std::to_string(e.code) + " " + e.meaning + ", ";
    list += std::to_string(kExitSignal) + "+N stopped by signal N (" + std::to_string(kExitSignal + SIGINT) +
            " Ctrl-C, " + std::to_string(kExitSignal + SIGHUP) + " SIGHUP, " + std::to_string(kExitSignal + SIGTERM) +
            " SIGTERM). When several apply, the first of: the signal's, 2-6, the "
            "listener's (7, 8, 9 in that order), 1.";
    return Filled("Exit status: " + list, 0, 0) + "\n";
}

}  // namespace

std::string UsageText(const std::string& programName)
{
    std::string out = "Usage: " + programName + " [options] [FILE]\n"
                      "Plays FILE ('-': standard input; none: a built-in test sound) through the\n"
                      "wave API, the driver and the Bluetooth stand-in, and reports what reached\n"
                      "the headset.  FILE is written to WAVE_MAPPER in its own format, as\n"
                      "decoded, and the wave mapper converts it to the device's; the player\n"
                      "converts only what the mapper refuses (over 8 channels, rates above\n"
                      "384 kHz, 64-bit float).\n"
                      "\n";
    for (const OptionEntry& s : OptionTable()) {
        if (s.before)
            out += std::string(s.before) + "\n";
        std::string left = std::string("  ") + s.names;
        if (*s.arg)
            left += (s.arg[0] == '[' ? "" : " ") + std::string(s.arg);
        out += Row(left, WithDefault(s));
        if (std::string(s.names) == "--fault")
            out += FaultRows();
        if (std::string(s.names) == "--timer-lateness")
            out += LatenessProfilesHelp();
    }
    out += "Sweeps (each row a separate fast run of this program; docs/player.md):\n" +
           Row("  --sweep NAME=V1,V2,...", "run every combination of the swept values: NAME is an\n"
                                           "option taking a value, without dashes, or Sample, Timer,\n"
                                           "CacheLen; a value may be a range A..B/STEP") +
           Row("  --jobs N", "runs at once (default: the CPUs)") +
           Row("  --sweep-csv FILE", "the sweep's table as CSV") +
           Row("  --sweep-json FILE", "the sweep's table as JSON") +
           Row("  --sweep-svg FILE", "a chart: one swept setting, a line a figure; two, a grid\n"
                                   "coloured by verdict with the post-to-ear latency") +
           Row("  --sweep-dir DIR", "keep each row's report there (--list: where the lines\n"
                                   "write them; default: the current directory)") +
           Row("  --list", "print each configuration as a command line, and stop") +
           Row("  --merge REPORT...", "the sweep's table from reports made anywhere") +
           "A sweep exits 0 when every row ran, whatever its verdict (the table's exit\n"
           "column); 6 when a row failed to run.\n\n";
    return out + "Times T are measured from the first buffer written (--link-delay: from boot);\n"
                 "--pause, --link-down and --link-back may be given more than once.\n"
                 "\n" +
           ExitCodes() + "Every run past the command line leaves its report, a failed one up to the failure.\n";
}

}  // namespace player
