// The virtual clock's timing model end to end: the same seed gives the same
// run, a real-clock run's report fed back gives a run whose tick lateness
// has the report's percentiles, and the model's options are checked.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "audio_files.h"
#include "host/lateness.h"

using namespace player_test;

namespace {

// The fixture: the report of a 60 s real-clock run of the built-in sound
// (`btwav-play --length 60s --report ...`, docs/player.md says where).
const std::string kRealClockReport = std::string(BTWAV_SOURCE_DIR) + "/player/tests/data/realclock_60s_report.json";

host::LatenessProfile Percentiles(const std::string& json)
{
    std::string text = ParseReport(json).value("/ticks/lateness"_json_pointer, std::string());
    host::LatenessProfile p;
    std::string error;
    EXPECT_TRUE(host::ParseLatenessProfile(text, &p, &error)) << "'" << text << "': " << error;
    return p;
}

// A packet log's rows in a fixed order: the media packets are logged from
// the stand-in's packet thread, so where their rows fall among the posts'
// depends on how the threads were scheduled; the rows themselves do not.
std::vector<std::string> Rows(const std::string& text)
{
    std::vector<std::string> rows;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        rows.push_back(line);
    std::sort(rows.begin(), rows.end());
    return rows;
}

TEST(TimingModelTest, TheSameSeedGivesTheSameRun)
{
    TempDir dir;
    auto run = [&](const std::string& seed, const std::string& log) {
        World w = Live(dir, {"--length", "20s", "--timer-lateness", "preempted-device", "--seed", seed, "--packets",
                             dir.File(log)});
        EXPECT_EQ(w.run.exitCode, 0) << w.run.err;
        return w;
    };
    World a = run("7", "a.csv"), b = run("7", "b.csv"), c = run("8", "c.csv");
    // Late ticks ask for the bytes their time is worth, in whole frames:
    // none falls short while audio is queued.
    EXPECT_EQ(JsonAt(a.json, "/underruns/count"), "0") << a.json.substr(0, 4000);
    // Every post at the same counter value: the ticks ran at the same times.
    EXPECT_EQ(Rows(ReadText(dir.File("a.csv"))), Rows(ReadText(dir.File("b.csv"))));
    EXPECT_NE(Rows(ReadText(dir.File("a.csv"))), Rows(ReadText(dir.File("c.csv"))));
    EXPECT_EQ(JsonAt(a.json, "/ticks/lateness"), JsonAt(b.json, "/ticks/lateness"));
    EXPECT_NE(JsonAt(a.json, "/ticks/lateness"), JsonAt(c.json, "/ticks/lateness"));
    // The report says which model and seed made the run.
    EXPECT_EQ(JsonAt(a.json, "/timer_lateness/seed"), "7");
    EXPECT_EQ(JsonAt(a.json, "/timer_lateness/from"), "\"preempted-device\"");
    EXPECT_NE(a.run.out.find("timer model     preempted-device: p50:1ms,"), std::string::npos) << a.run.out;
    // Without a model every tick is on time.
    World d = Live(dir, {"--length", "2s"});
    EXPECT_EQ(JsonAt(d.json, "/ticks/lateness_ms/max"), "0");
    EXPECT_EQ(JsonAt(d.json, "/timer_lateness"), "");
}

TEST(TimingModelTest, ARealClockReportFedBackGivesItsPercentiles)
{
    const std::string fixture = ReadText(kRealClockReport);
    ASSERT_EQ(JsonAt(fixture, "/clock"), "\"real\"");
    host::LatenessProfile want = Percentiles(fixture);
    ASSERT_EQ(want.points.size(), 5u);

    TempDir dir;
    World w = Live(dir, {"--length", "60s", "--timer-lateness-from", kRealClockReport});
    ASSERT_EQ(w.run.exitCode, 0) << w.run.err;
    EXPECT_EQ(JsonAt(w.json, "/timer_lateness/percentiles"), JsonAt(fixture, "/ticks/lateness"));
    host::LatenessProfile got = Percentiles(w.json);
    ASSERT_EQ(got.points.size(), want.points.size());
    for (size_t i = 0; i < want.points.size(); ++i) {
        const double ns = static_cast<double>(want.points[i].ns);
        EXPECT_NEAR(static_cast<double>(got.points[i].ns), ns, ns * 0.1) << "p" << want.points[i].quantile * 100;
    }
}

TEST(TimingModelTest, TheOptionsAreChecked)
{
    TempDir dir;
    WriteText(dir.File("none.json"), "{\"ticks\": {\"count\": 0}}");
    WriteText(dir.File("bad.json"), "not json");
    const std::vector<std::vector<std::string>> bad = {
        {"--timer-lateness", "loaded-desktop"},   // the real clock's ticks are as late as the machine makes them
        {"--fast", "--timer-lateness", "p50:1ms,p99:8ms"},
        {"--fast", "--timer-lateness", "no-such-profile"},
        {"--fast", "--timer-lateness-from", dir.File("none.json")},
        {"--fast", "--timer-lateness-from", dir.File("bad.json")},
        {"--fast", "--timer-lateness-from", dir.File("missing.json")},
        {"--fast", "--seed", "-1"},
    };
    for (const auto& args : bad) {
        RunResult r = RunPlayer(args);
        EXPECT_EQ(r.exitCode, 2) << args.back();
        EXPECT_NE(r.err.find("option --"), std::string::npos) << r.err;
    }
    // The usage lists each profile with its figures.
    RunResult help = RunPlayer({"--help"});
    for (const host::NamedLatenessProfile& p : host::LatenessProfiles())
        EXPECT_NE(help.out.find(std::string(p.name) + ": " + p.percentiles), std::string::npos) << help.out;
}

}  // namespace
