// The pacing benchmark's parts and what they share: the table of figures
// each part adds its rows to, and the clocks they measure with.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace pacing {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b);
// CLOCK_MONOTONIC in nanoseconds.
uint64_t NowNs();

// A program the bench ran to its end.
struct Child {
    int code = -1;       // its exit code; -1 when it was killed or did not start
    double wall = 0;     // fork to exit, seconds
    double cpu = 0;      // user + system seconds
    std::string out;     // its standard output, when kept
};
// Where a child's standard output and error go: Kept, output read into
// Child::out and error to the bench's own; OutputOnly, output read and error
// to /dev/null; None, both to /dev/null.
enum class Streams { Kept, OutputOnly, None };
// Runs args[0] (a path) with `args` and waits for it; `pid` gets its
// process id as soon as it exists.
Child RunChild(const std::vector<std::string>& args, Streams streams = Streams::Kept,
               std::atomic<pid_t>* pid = nullptr);

// One row of the printed table.
struct Row {
    std::string what, measured, bare, ratio, goal, met;
};
extern std::vector<Row> g_rows;

// printf of one number.
std::string Fmt(const char* f, double v);
// Adds a row whose goal is met or not, and says so on standard error.
void Add(const std::string& what, const std::string& measured, const std::string& bare, const std::string& ratio,
         const std::string& goal, bool met);

// Keeps the bare baselines' work from being optimised away.
extern volatile uint8_t g_sink;

// The parts, each adding its rows (pacing_tick.cpp, pacing_player.cpp,
// pacing_sweep.cpp).
void BenchTick(bool quick);
void BenchTimer(bool quick);
void BenchFast(const std::string& player, const std::string& dir, bool quick);
void BenchRealTime(const std::string& player, bool quick);
void BenchSweep(const std::string& player, const std::string& dir, bool quick);
// Where the player's runs write their JSON report: a file in the bench's
// own temporary folder.
extern std::string g_report;

}  // namespace pacing
