// The sweep command: its own options, the grid of configurations, the
// bounded pool of worker processes, --list and --merge.
//
// Exit status: 0 when every row ran to a verdict, whatever the verdict (a
// row's own exit code is the table's "exit" column: 0 clean, 7 gaps, 8
// overflows, 9 refused or lost posts, 1 not bit-exact); 2 for a bad command
// line, naming the option or the configuration; 3 for a report --merge
// cannot read; 6 when a row's run failed (its own exit 3 to 6, or killed);
// 128+N when a signal stopped the sweep, after printing the finished rows.
#include "run/sweep.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <strings.h>

#include "host/registry.h"
#include "report/pacing.h"
#include "run/optiontable.h"
#include "run/options.h"
#include "run/session.h"

namespace player {
namespace {

// Options a sweep's rows cannot share: each row writes its own report, and
// one file written by every worker would hold only the last; so can no
// codec's stream file (--sbc).
const char* const kPerRunOutputs[] = {"--report", "--wav", "--packets", "--plot", "--compare"};

bool SplitNumber(const std::string& s, long long* n, std::string* unit)
{
    size_t i = 0;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])))
        ++i;
    if (i == 0 || i > 12)
        return false;
    *n = std::atoll(s.substr(0, i).c_str());
    *unit = s.substr(i);
    return true;
}

// "A..B/STEP" (each with the same unit, e.g. 100ms..300ms/50ms) -> values.
bool ExpandRange(const std::string& v, std::vector<std::string>* out)
{
    size_t dots = v.find(".."), slash = v.find('/');
    long long a = 0, b = 0, step = 0;
    std::string ua, ub, us;
    if (dots == std::string::npos || slash == std::string::npos || slash < dots ||
        !SplitNumber(v.substr(0, dots), &a, &ua) || !SplitNumber(v.substr(dots + 2, slash - dots - 2), &b, &ub) ||
        !SplitNumber(v.substr(slash + 1), &step, &us) || ub != ua || (!us.empty() && us != ua) || step <= 0 ||
        b < a || (b - a) / step >= 10000)
        return false;
    for (long long x = a; x <= b; x += step)
        out->push_back(std::to_string(x) + ua);
    return true;
}

struct SweepCommand {
    std::vector<SweepAxis> axes;
    std::vector<std::string> base;       // the other arguments, as given
    std::vector<std::string> merge;      // --merge: reports
    unsigned jobs = 0;
    bool list = false, quiet = false;
    std::string dir, csv, json, svg;
};

// Takes the sweep's own options out of argv; the rest is every row's.
bool ParseSweepCommand(int argc, char** argv, SweepCommand* c, std::string* error)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i], name = a, value;
        bool hasValue = false;
        if (a.compare(0, 2, "--") == 0 && a.find('=') != std::string::npos) {
            name = a.substr(0, a.find('='));
            value = a.substr(a.find('=') + 1);
            hasValue = true;
        }
        auto take = [&](std::string* to) {
            if (!hasValue && i + 1 >= argc) {
                *error = "option " + name + " needs a value";
                return false;
            }
            *to = hasValue ? value : argv[++i];
            return true;
        };
        if (name == "--sweep") {
            SweepAxis axis;
            if (!take(&value) || !ParseSweepAxis(value, &axis, error))
                return false;
            c->axes.push_back(axis);
        } else if (name == "--jobs") {
            long long n = 0;
            std::string unit;
            if (!take(&value) || !SplitNumber(value, &n, &unit) || !unit.empty() || n < 1 || n > 1024) {
                *error = "option --jobs expects a count from 1 to 1024, not '" + value + "'";
                return false;
            }
            c->jobs = static_cast<unsigned>(n);
        } else if (name == "--list") {
            c->list = true;
        } else if (name == "--sweep-dir" || name == "--sweep-csv" || name == "--sweep-json" || name == "--sweep-svg") {
            if (!take(name == "--sweep-dir" ? &c->dir : name == "--sweep-csv" ? &c->csv : name == "--sweep-json" ? &c->json : &c->svg))
                return false;
        } else if (name == "--merge") {
            while (i + 1 < argc && argv[i + 1][0] != '-')
                c->merge.push_back(argv[++i]);
            if (c->merge.empty()) {
                *error = "option --merge needs one or more reports";
                return false;
            }
        } else if (name == "--heard") {
            // A listener measures what was heard only when it hears; each row
            // keeps the figures, not the audio.
            if (!take(&value))
                return false;
            c->base.insert(c->base.end(), {"--heard", "/dev/null"});
        } else {
            bool perRun = btstandin::CodecOfStreamOption(name) != nullptr;
            for (const char* o : kPerRunOutputs)
                perRun = perRun || name == o;
            if (perRun) {
                *error = "option " + name + " cannot be given to a sweep: each row writes its own report "
                         "(the sweep's table: --sweep-json, --sweep-csv)";
                return false;
            }
            c->quiet = c->quiet || a == "-q" || a == "--quiet";
            c->base.push_back(a);
        }
    }
    if (!c->merge.empty() && !c->axes.empty()) {
        *error = "options --merge and --sweep cannot be combined";
        return false;
    }
    if (c->list && c->axes.empty()) {
        *error = "option --list needs a --sweep";
        return false;
    }
    return true;
}

}  // namespace

bool ParseSweepAxis(const std::string& text, SweepAxis* out, std::string* error)
{
    const std::string bad = "option --sweep expects NAME=V1,V2,... or NAME=A..B/STEP, not '" + text + "'";
    size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == text.size()) {
        *error = bad;
        return false;
    }
    SweepAxis axis;
    axis.name = text.substr(0, eq);
    for (const PacingValue& pv : kPacingValues)
        if (strcasecmp(pv.name, axis.name.c_str()) == 0) {
            axis.name = pv.name;
            axis.registry = true;
        }
    const OptionEntry* e = axis.registry ? nullptr : FindOption("--" + axis.name);
    if (!axis.registry && (!e || e->arg[0] == '\0' || e->arg[0] == '[' || axis.name == "set" ||
                           axis.name == "compare" || axis.name == "report")) {
        *error = "option --sweep: '" + axis.name + "' is neither an option of the player that takes a value "
                 "nor Sample, Timer or CacheLen (in '" + text + "')";
        return false;
    }
    std::string values = text.substr(eq + 1) + ",";
    for (size_t from = 0, comma; (comma = values.find(',', from)) != std::string::npos; from = comma + 1) {
        std::string v = values.substr(from, comma - from);
        if (v.empty() || (v.find("..") != std::string::npos && !ExpandRange(v, &axis.values))) {
            *error = bad;
            return false;
        }
        if (v.find("..") == std::string::npos)
            axis.values.push_back(v);
    }
    *out = axis;
    return true;
}

std::vector<std::string> AxisArguments(const SweepAxis& axis, const std::string& value)
{
    if (axis.registry)
        return {"--set", axis.name + "=" + value};
    return {"--" + axis.name, value};
}

namespace {

// Every configuration's arguments (the base's, then the swept settings'
// in the order given, the last axis changing fastest), checked as the
// player would check them.
bool Grid(const SweepCommand& c, std::vector<std::vector<std::string>>* rows, std::string* error)
{
    size_t total = 1;
    for (const SweepAxis& a : c.axes)
        total *= a.values.size();
    if (total > 100000) {
        *error = "option --sweep: " + std::to_string(total) + " configurations; at most 100000";
        return false;
    }
    bool fast = false;
    for (const std::string& b : c.base)
        fast = fast || b == "--fast";
    for (size_t n = 0; n < total; ++n) {
        std::vector<std::string> args = c.base;
        std::string described;
        for (size_t k = 0, rest = n; k < c.axes.size(); ++k) {
            size_t stride = 1;
            for (size_t m = k + 1; m < c.axes.size(); ++m)
                stride *= c.axes[m].values.size();
            const std::string& v = c.axes[k].values[rest / stride];
            rest %= stride;
            for (const std::string& w : AxisArguments(c.axes[k], v))
                args.push_back(w);
            described += (described.empty() ? "" : " ") + c.axes[k].name + "=" + v;
        }
        if (!fast)
            args.push_back("--fast");
        std::vector<char*> argv{const_cast<char*>("btwav-play")};
        for (std::string& w : args)
            argv.push_back(&w[0]);
        Options parsed;
        if (!ParseOptions(static_cast<int>(argv.size()), argv.data(), &parsed, error)) {
            *error = "sweep configuration " + described + ": " + *error;
            return false;
        }
        rows->push_back(args);
    }
    return true;
}

std::string Quoted(const std::string& w)
{
    if (!w.empty() && w.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_=.,:/+@%") ==
                          std::string::npos)
        return w;
    std::string q = "'";
    for (char ch : w)
        q += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    return q + "'";
}

std::string RowReportPath(const std::string& dir, size_t n)
{
    char name[32];
    std::snprintf(name, sizeof name, "row-%04zu.json", n + 1);
    return (dir.empty() ? std::string(".") : dir) + "/" + name;
}

volatile sig_atomic_t gStopSignal = 0;

void OnStop(int sig)
{
    gStopSignal = sig;
}

// Runs every row, `jobs` at once, each as /proc/self/exe with its
// arguments; `status` gets each row's wait status (-1: not run).
void RunPool(const std::vector<std::vector<std::string>>& rows, unsigned jobs, bool quiet, std::vector<int>* status)
{
    struct sigaction sa {};
    sa.sa_handler = OnStop;   // no SA_RESTART: waitpid returns at once
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaction(s, &sa, nullptr);
    status->assign(rows.size(), -1);
    std::vector<std::pair<pid_t, size_t>> running;
    size_t next = 0, done = 0;
    while ((next < rows.size() && !gStopSignal) || !running.empty()) {
        while (!gStopSignal && next < rows.size() && running.size() < jobs) {
            std::vector<std::string> args = rows[next];
            std::vector<char*> argv{const_cast<char*>("btwav-play")};
            for (std::string& w : args)
                argv.push_back(&w[0]);
            argv.push_back(nullptr);
            std::fflush(nullptr);
            pid_t pid = fork();
            if (pid == 0) {
                // The row runs in the forked copy of this process, which has
                // not started the host, the world or any thread: the same
                // fresh state a new program has, without paying again for
                // loading the libraries (about half of a 60 s row's time).
                for (int s : {SIGINT, SIGTERM, SIGHUP})
                    signal(s, SIG_DFL);
                int null = open("/dev/null", O_WRONLY);
                dup2(null, 1);
                dup2(null, 2);
                Options options;
                std::string ignored;
                if (!ParseOptions(static_cast<int>(argv.size()) - 1, argv.data(), &options, &ignored))
                    _exit(kExitUsage);
                std::exit(RunPlayer(options));
            }
            if (pid > 0)
                running.emplace_back(pid, next);
            ++next;
        }
        if (gStopSignal)
            for (const auto& r : running)
                kill(r.first, SIGTERM);
        int ws = 0;
        pid_t pid = waitpid(-1, &ws, 0);
        if (pid <= 0)
            continue;
        for (size_t k = 0; k < running.size(); ++k)
            if (running[k].first == pid) {
                (*status)[running[k].second] = ws;
                running.erase(running.begin() + static_cast<long>(k));
                ++done;
                if (!quiet && !gStopSignal)
                    std::fprintf(stderr, "sweep: %zu of %zu done\n", done, rows.size());
                break;
            }
    }
}

bool WriteText(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
    return static_cast<bool>(out.flush());
}

// The table on standard output, and its CSV and JSON where asked.
int PrintTable(const SweepCommand& c, const std::vector<SweepRow>& rows, const std::vector<std::string>& named)
{
    const std::vector<std::string> columns = SweptSettings(rows, named);
    std::fputs(SweepTableText(rows, columns).c_str(), stdout);
    std::fputs(SweepEffectsText(rows, columns).c_str(), stdout);
    if (!c.csv.empty() && !WriteText(c.csv, SweepTableCsv(rows, columns))) {
        std::fprintf(stderr, "btwav-play: cannot write '%s'\n", c.csv.c_str());
        return kExitOutput;
    }
    if (!c.json.empty() && !WriteText(c.json, SweepTableJson(rows, columns))) {
        std::fprintf(stderr, "btwav-play: cannot write '%s'\n", c.json.c_str());
        return kExitOutput;
    }
    if (!c.svg.empty()) {
        const std::string chart = SweepChartSvg(rows, columns);
        if (chart.empty())
            std::fprintf(stderr, "btwav-play: no chart: no setting differs between the rows\n");
        else if (!WriteText(c.svg, chart)) {
            std::fprintf(stderr, "btwav-play: cannot write '%s'\n", c.svg.c_str());
            return kExitOutput;
        }
    }
    return kExitOk;
}

int Merge(const SweepCommand& c)
{
    std::vector<SweepRow> rows;
    for (const std::string& path : c.merge) {
        SweepRow row;
        std::string error;
        if (!ReadSweepRow(path, &row, &error)) {
            std::fprintf(stderr, "btwav-play: %s\n", error.c_str());
            return kExitInput;
        }
        rows.push_back(row);
    }
    return PrintTable(c, rows, {});
}

int Sweep(const SweepCommand& c, const std::vector<std::vector<std::string>>& grid)
{
    std::string dir = c.dir;
    bool temporary = dir.empty();
    if (temporary) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/btwav-sweep-XXXXXX";
        if (!mkdtemp(&pattern[0])) {
            std::fprintf(stderr, "btwav-play: cannot make a directory for the rows' reports\n");
            return kExitOutput;
        }
        dir = pattern;
    } else if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
        // A directory named but not there yet is made (one level, as
        // mkdir would); anything else is said before a row runs.
        std::fprintf(stderr, "btwav-play: cannot make the directory '%s' for the rows' reports\n", dir.c_str());
        return kExitOutput;
    }
    std::vector<std::vector<std::string>> runs = grid;
    for (size_t n = 0; n < runs.size(); ++n)
        for (const char* w : {"-q", "--report", ""})
            runs[n].push_back(*w ? std::string(w) : RowReportPath(dir, n));
    unsigned jobs = c.jobs ? c.jobs : static_cast<unsigned>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
    std::vector<int> status;
    RunPool(runs, jobs, c.quiet, &status);
    std::vector<SweepRow> rows;
    bool failed = false;
    for (size_t n = 0; n < runs.size(); ++n) {
        SweepRow row;
        std::string error;
        const std::string path = RowReportPath(dir, n);
        const int code = status[n] >= 0 && WIFEXITED(status[n]) ? WEXITSTATUS(status[n]) : -1;
        if (status[n] < 0 || !ReadSweepRow(path, &row, &error)) {
            row = SweepRow();
            SetRowCommand(grid[n], &row);
            row.verdict = status[n] < 0 ? "not run" : "failed";
            row.exitCode = code;
            failed = failed || status[n] >= 0;
        }
        // A run the stop ended is no finished row.
        if (gStopSignal && (status[n] < 0 || !WIFEXITED(status[n]) || row.exitCode >= kExitSignal)) {
            row.verdict = status[n] < 0 ? "not run" : "stopped";
            row.ran = false;
        }
        failed = failed || (row.exitCode >= kExitUsage && row.exitCode <= kExitPlayback);
        if (temporary)
            std::remove(path.c_str());
        rows.push_back(row);
    }
    if (temporary)
        rmdir(dir.c_str());
    std::vector<std::string> named;
    for (const SweepAxis& a : c.axes)
        named.push_back(a.name);
    int rc = PrintTable(c, rows, named);
    if (gStopSignal)
        return kExitSignal + gStopSignal;
    return rc != kExitOk ? rc : failed ? kExitPlayback : kExitOk;
}

}  // namespace

bool IsSweepCommand(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--sweep" || a.rfind("--sweep=", 0) == 0 || a == "--merge")
            return true;
        if (a == "--")
            break;
    }
    return false;
}

int RunSweepCommand(int argc, char** argv)
{
    SweepCommand c;
    std::string error;
    std::vector<std::vector<std::string>> grid;
    if (!ParseSweepCommand(argc, argv, &c, &error) || (c.merge.empty() && !Grid(c, &grid, &error))) {
        std::fprintf(stderr, "btwav-play: %s\nTry 'btwav-play --help'.\n", error.c_str());
        return kExitUsage;
    }
    if (!c.merge.empty())
        return Merge(c);
    if (!c.list)
        return Sweep(c, grid);
    for (size_t n = 0; n < grid.size(); ++n) {
        std::string line = Quoted(argv[0]);
        for (const std::string& w : grid[n])
            line += " " + Quoted(w);
        std::printf("%s -q --report %s\n", line.c_str(), Quoted(RowReportPath(c.dir, n)).c_str());
    }
    return kExitOk;
}

}  // namespace player
