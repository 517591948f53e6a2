// The sweep's rows: a grid of 100 configurations of a 60 s sound run by
// `btwav-play --sweep` with two jobs against the same sweep with one, the
// one-job sweep against the same 100 runs started one after another by
// the bench itself (the command lines --list prints), and the parallel
// workers' total peak memory against one run's.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "pacing.h"

namespace pacing {
namespace {

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

long NumberAfter(const std::string& text, const std::string& key)
{
    size_t at = text.find(key);
    return at == std::string::npos ? 0 : std::atol(text.c_str() + at + key.size());
}

// The resident memory of every child of `pid` now, in kB: the workers the
// sweep has running (/proc/PID/task/PID/children lists them); `largest`
// gets the most any one of them holds.
long ChildrenRssKb(pid_t pid, long* largest)
{
    const std::string task = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
    std::istringstream children(ReadAll(task));
    long total = 0;
    for (pid_t child; children >> child;) {
        const long kb = NumberAfter(ReadAll("/proc/" + std::to_string(child) + "/status"), "VmRSS:");
        total += kb;
        *largest = std::max(*largest, kb);
    }
    return total;
}

void Fail(const std::string& what, int code)
{
    std::fprintf(stderr, "pacing_bench: %s ended with %d\n", what.c_str(), code);
    std::exit(1);
}

// Memory: the two workers' resident memory summed, sampled every 2 ms
// through a third sweep (not timed: the sampling takes CPU), against one
// row's own high-water mark (VmHWM, from its report).  Removes the rows'
// reports and their directory.
void BenchSweepMemory(const std::vector<std::string>& grid, const std::string& rowsDir, size_t rows)
{
    std::atomic<pid_t> pid{0};
    std::atomic<bool> done{false};
    long peakSum = 0, peakOne = 0;
    std::thread sampler([&] {
        while (!done) {
            if (pid)
                peakSum = std::max(peakSum, ChildrenRssKb(pid, &peakOne));
            usleep(2000);
        }
    });
    std::vector<std::string> a = grid;
    a.insert(a.end(), {"--jobs", "2", "--sweep-dir", rowsDir});
    const int code = RunChild(a, Streams::None, &pid).code;
    done = true;
    sampler.join();
    if (code != 0)
        Fail("the sampled sweep", code);
    long rowPeak = 0;
    char name[32];
    for (size_t n = 1; n <= rows; ++n) {
        std::snprintf(name, sizeof name, "/row-%04zu.json", n);
        rowPeak = std::max(rowPeak, NumberAfter(ReadAll(rowsDir + name), "\"peak_memory_kb\":"));
        std::remove((rowsDir + name).c_str());
    }
    rmdir(rowsDir.c_str());
    // Two workers at once, each no bigger than a run of its own: at most
    // twice the most one worker held, by the same sampling (a row's own
    // VmHWM in its report is read before the report is written, and the
    // writing adds to it).
    Add("sweep, the same with --jobs 2: the workers' total peak memory (their VmRSS summed, sampled every 2 ms); "
        "bare: the most one worker held, by the same sampling (the largest row's own VmHWM in its report: " +
            Fmt("%.1f MB)", rowPeak / 1024.0),
        Fmt("%.1f MB", peakSum / 1024.0), Fmt("%.1f MB", peakOne / 1024.0),
        Fmt("%.2fx", static_cast<double>(peakSum) / std::max(peakOne, 1L)), "<= 2x (two runs' worth)",
        peakOne > 0 && peakSum <= 2 * peakOne);
}

}  // namespace

void BenchSweep(const std::string& player, const std::string& dir, bool quick)
{
    std::fprintf(stderr, "sweep...\n");
    // 10 x 10 configurations; each row's report kept for its peak memory.
    const std::string length = quick ? "10s" : "60s";
    const std::vector<std::string> grid = {player, "--length", length, "--sweep", "Timer=10..55/5", "--sweep",
                                           "headset-buffer=160ms..250ms/10ms", "-q"};
    const std::string rowsDir = dir + "/rows";
    mkdir(rowsDir.c_str(), 0700);
    // `cpus` gets the CPUs the sweep kept busy on average: the CPU time of
    // it and its rows (reaped children, grandchildren included) over its wall time.
    auto childrenCpu = [] {
        rusage u{};
        getrusage(RUSAGE_CHILDREN, &u);
        return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    };
    auto sweep = [&](const char* jobs, double* cpus) {
        std::vector<std::string> a = grid;
        a.insert(a.end(), {"--jobs", jobs, "--sweep-dir", rowsDir});
        const double cpu0 = childrenCpu();
        auto t0 = Clock::now();
        const int code = RunChild(a, Streams::None).code;
        if (code != 0)
            Fail(std::string("the sweep with --jobs ") + jobs, code);
        const double wall = Seconds(t0, Clock::now());
        *cpus = (childrenCpu() - cpu0) / wall;
        return wall;
    };
    // The rows' command lines as --list prints them: plain words, each
    // with its own -q --report.
        std::vector<std::string> list = grid;
    list.insert(list.end(), {"--list", "--sweep-dir", rowsDir});
    const Child listing = RunChild(list, Streams::OutputOnly);
    if (const int code = listing.code)
        Fail("--list", code);
    std::vector<std::vector<std::string>> lines;
    std::istringstream in(listing.out);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        lines.emplace_back();
        for (std::string w; words >> w;)
            lines.back().push_back(w);
    }
    auto oneByOne = [&] {
        auto t0 = Clock::now();
        for (const auto& l : lines) {
            const int code = RunChild(l, Streams::None).code;
            if (code >= 2 && code <= 6)
                Fail("a single run", code);
        }
        return Seconds(t0, Clock::now());
    };
    // Rounds in turn, the best of each: one job, two jobs, one after another.
    double one = 1e9, two = 1e9, serial = 1e9, oneCpus = 0, twoCpus = 0;
    for (int round = 0; round < (quick ? 1 : 2); ++round) {
        double cpus = 0;
        const double t1 = sweep("1", &cpus);
        if (t1 < one)
            one = t1, oneCpus = cpus;
        const double t2 = sweep("2", &cpus);
        if (t2 < two)
            two = t2, twoCpus = cpus;
        serial = std::min(serial, oneByOne());
    }
    const std::string what = std::to_string(lines.size()) + " configurations (Timer 10..55 x headset buffer "
                             "160..250 ms) of a " + length + " sound";
    // A row's threads and the sweep's reading of the reports already overlap
    // with one job, so on two CPUs the speed-up can be at most 2 / oneCpus.
    Add("sweep, " + what + ": --jobs 2 against --jobs 1, wall time (speed-up); CPUs kept busy: " +
            Fmt("%.2f", oneCpus) + " with one job (so at most " + Fmt("%.2fx", 2 / std::max(oneCpus, 1e-9)) +
            " on two CPUs), " + Fmt("%.2f", twoCpus) + " with two",
        Fmt("%.2f s", two),
        Fmt("%.2f s", one), Fmt("%.2fx", one / two), ">= 1.8x", one / two >= 1.8);
    Add("sweep, the same with --jobs 1 against its " + std::to_string(lines.size()) +
            " --list lines run one after another by the bench, wall time",
        Fmt("%.2f s", one), Fmt("%.2f s", serial), Fmt("%.2fx", one / serial), "<= 1.05x (no slower)",
        one <= 1.05 * serial);

    BenchSweepMemory(grid, rowsDir, lines.size());
}

}  // namespace pacing
