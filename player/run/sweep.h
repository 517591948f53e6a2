// Sweeps: the player run once for each configuration of a grid of settings,
// each run a whole player process of its own in fast mode, and one table of
// what each heard.  Also the grid as independent command lines (--list) and
// the table rebuilt from reports made anywhere (--merge).
#pragma once

#include <map>
#include <string>
#include <vector>

namespace player {

// One swept setting: the option's name without its dashes (or a registry
// value's, for --set) and its values in order.
struct SweepAxis {
    std::string name;
    bool registry = false;     // a value --set sets
    std::vector<std::string> values;
};

// "NAME=V1,V2,..." with ranges "A..B/STEP" among the values.  On error
// returns false with a one-line message naming it.
bool ParseSweepAxis(const std::string& text, SweepAxis* out, std::string* error);

// The arguments that set one configuration's values: "--radio-kbps 300",
// "--set Timer=10".
std::vector<std::string> AxisArguments(const SweepAxis& axis, const std::string& value);

// One row of the table, read from a run's JSON report.
struct SweepRow {
    std::map<std::string, std::string> settings;   // every option of the run's command, by name
    std::string verdict;        // clean, gaps, overflows, refused, lost (joined by +), or failed
    int exitCode = -1;
    bool ran = false;           // a report was read
    unsigned gaps = 0;
    double gapSeconds = 0, firstSound = 0, postToEarMean = 0, postToEarMax = 0, lowestLevelMs = 0;
    unsigned long refused = 0, lost = 0;
    bool adaptive = false;      // its codec steps its bitpool
    int bitpoolLowest = 0;
    double bitpoolMean = 0;
    bool heard = false;
    double heardSnrDb = 0;
    std::string command;        // the line that reproduces the row
    std::string report;         // where the report was read
};

// The row of a report's text; false with a message when it is not a
// player's JSON report.
bool ReadSweepRow(const std::string& path, SweepRow* row, std::string* error);

// A row's settings and command from the run's arguments (a row that left
// no report).
void SetRowCommand(const std::vector<std::string>& args, SweepRow* row);

// The settings a table shows: `named` first, then every other setting whose
// value differs between rows.
std::vector<std::string> SweptSettings(const std::vector<SweepRow>& rows, const std::vector<std::string>& named);

std::string SweepTableText(const std::vector<SweepRow>& rows, const std::vector<std::string>& columns);
std::string SweepTableCsv(const std::vector<SweepRow>& rows, const std::vector<std::string>& columns);
// The chart: a line a figure for one swept setting, a grid for two, a grid
// for each combination of the further settings for more; "" for none.
std::string SweepChartSvg(const std::vector<SweepRow>& rows, const std::vector<std::string>& columns);
// For two or more swept settings: each setting's values with their rows'
// figures over every value of the others, the setting that changes most
// first ("" for fewer).
std::string SweepEffectsText(const std::vector<SweepRow>& rows, const std::vector<std::string>& columns);
std::string SweepTableJson(const std::vector<SweepRow>& rows, const std::vector<std::string>& columns);

// Whether argv asks for a sweep, a list or a merge, and the command itself:
// its exit status (sweep.cpp says what each means).
bool IsSweepCommand(int argc, char** argv);
int RunSweepCommand(int argc, char** argv);

}  // namespace player
