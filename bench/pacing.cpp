// The pacing path against the bare machine, each figure as a ratio measured
// in one run:
//   - one tick (2 and 1,024 headers queued) against a bare malloc + memcpy +
//     free of the same bytes;
//   - the host timer's lateness on the real clock against a bare
//     clock_nanosleep(TIMER_ABSTIME) loop with the same period, run at the
//     same time;
//   - the player's fast mode: audio seconds per wall second and peak memory,
//     for 1 minute and 1 hour of 16-bit stereo 44.1 kHz WAV, and a FLAC file
//     against libsndfile's own decode of it;
//   - the player on the real clock: CPU per audio second;
//   - a sweep of 100 configurations: two jobs against one, against the
//     same runs one after another, and the workers' total peak memory.
// Prints a Markdown table.  Usage: pacing_bench PLAYER [--quick]
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pacing.h"

namespace pacing {

double Seconds(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

uint64_t NowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

Child RunChild(const std::vector<std::string>& args, Streams streams, std::atomic<pid_t>* pid)
{
    Child c;
    const bool keep = streams != Streams::None;
    int pipefd[2] = {-1, -1};
    if (keep && pipe(pipefd) != 0)
        return c;
    const auto t0 = Clock::now();
    const pid_t child = fork();
    if (child == 0) {
        std::FILE* null = std::fopen("/dev/null", "w");
        dup2(keep ? pipefd[1] : fileno(null), 1);
        if (streams != Streams::Kept)
            dup2(fileno(null), 2);
        if (keep) {
            close(pipefd[0]);
            close(pipefd[1]);
        }
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (pid)
        *pid = child;
    if (keep) {
        close(pipefd[1]);
        char buf[4096];
        for (ssize_t n; (n = read(pipefd[0], buf, sizeof buf)) > 0;)
            c.out.append(buf, static_cast<size_t>(n));
        close(pipefd[0]);
    }
    int status = 0;
    struct rusage ru {};
    wait4(child, &status, 0, &ru);
    c.wall = Seconds(t0, Clock::now());
    c.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    c.cpu = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
    return c;
}

std::vector<Row> g_rows;
volatile uint8_t g_sink;
std::string g_report;

std::string Fmt(const char* f, double v)
{
    char buf[256];
    std::snprintf(buf, sizeof buf, f, v);
    return buf;
}

void Add(const std::string& what, const std::string& measured, const std::string& bare, const std::string& ratio,
         const std::string& goal, bool met)
{
    g_rows.push_back({what, measured, bare, ratio, goal, met ? "yes" : "**no**"});
    std::fprintf(stderr, "  %s: %s (bare %s) ratio %s, goal %s\n", what.c_str(), measured.c_str(), bare.c_str(),
                 ratio.c_str(), goal.c_str());
}

}  // namespace pacing

using namespace pacing;

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: pacing_bench PLAYER [--quick] [--only tick|timer|fast|realtime|sweep]\n");
        return 2;
    }
    std::string player = argv[1];
    bool quick = false;
    std::string only;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0)
            quick = true;
        else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc)
            only = argv[++i];
    }
    auto part = [&](const char* name) { return only.empty() || only == name; };
    char dirTemplate[] = "/tmp/btwav-bench-XXXXXX";
    const char* dir = mkdtemp(dirTemplate);
    if (!dir)
        return 1;
    g_report = std::string(dir) + "/report.json";

    if (part("tick"))
        BenchTick(quick);
    if (part("timer"))
        BenchTimer(quick);
    if (part("fast"))
        BenchFast(player, dir, quick);
    if (part("realtime"))
        BenchRealTime(player, quick);
    if (part("sweep"))
        BenchSweep(player, dir, quick);
    rmdir(dir);

    std::printf("| figure | measured | bare | ratio | goal | met |\n|---|---|---|---|---|---|\n");
    for (const Row& r : g_rows)
        std::printf("| %s | %s | %s | %s | %s | %s |\n", r.what.c_str(), r.measured.c_str(), r.bare.c_str(),
                    r.ratio.c_str(), r.goal.c_str(), r.met.c_str());
    return 0;
}
