// Sweeps end to end: a grid's rows are the single runs with the same
// settings, whatever the job count; --list's lines run anywhere and --merge
// of their reports gives the sweep's own table; a bad sweep is a
// command-line error that names what is wrong.
#include <gtest/gtest.h>

#include <csignal>
#include <sstream>
#include <string>
#include <vector>

#include "audio_files.h"
#include "run/sweep.h"

using namespace player_test;
using Json = nlohmann::ordered_json;

namespace {

// A 2x2 grid in which one setting starves the headset (ticks a second
// apart) and the other changes its buffer.
const std::vector<std::string> kGrid = {"--length", "3s", "--sweep", "Timer=20,1000", "--sweep",
                                        "headset-buffer=150ms,250ms"};

std::vector<std::string> With(std::vector<std::string> a, const std::vector<std::string>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Json SweepRows(const TempDir& dir, const std::string& jobs, RunResult* run)
{
    const std::string path = dir.File("sweep-" + jobs + ".json");
    *run = RunPlayer(With(kGrid, {"--jobs", jobs, "-q", "--sweep-json", path}));
    return ParseReport(ReadText(path));
}

bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

}  // namespace

TEST(SweepTest, EachRowIsTheSingleRunWithItsSettingsInAnyJobCount)
{
    TempDir dir;
    RunResult one, two;
    const Json rows1 = SweepRows(dir, "1", &one), rows2 = SweepRows(dir, "2", &two);
    // Every row ran, one of them with gaps: the sweep itself is 0.
    ASSERT_EQ(one.exitCode, 0) << one.err;
    ASSERT_EQ(two.exitCode, 0) << two.err;
    EXPECT_EQ(rows1.at("settings"), Json({"Timer", "headset-buffer"}));
    ASSERT_EQ(rows1.at("rows").size(), 4u);
    ASSERT_EQ(rows2.at("rows").size(), 4u);
    const char* const timers[] = {"20", "20", "1000", "1000"};
    const char* const buffers[] = {"150ms", "250ms", "150ms", "250ms"};
    for (size_t n = 0; n < 4; ++n) {
        Json a = rows1["rows"][n], b = rows2["rows"][n];
        a.erase("report");
        b.erase("report");
        EXPECT_EQ(a, b) << "row " << n << " differs between one job and two";
        EXPECT_EQ(a.at("settings").at("Timer"), timers[n]);
        EXPECT_EQ(a.at("settings").at("headset-buffer"), buffers[n]);

        // The same settings as one run of their own.
        World w = Live(dir, {"--length", "3s", "--set", std::string("Timer=") + timers[n], "--headset-buffer",
                             buffers[n]});
        const Json r = ParseReport(w.json), v = r.at("verdict"), h = r.at("headset");
        SCOPED_TRACE("row " + std::to_string(n));
        EXPECT_EQ(a.at("exit_code").get<int>(), w.run.exitCode);
        EXPECT_EQ(a.at("verdict").get<std::string>(), v.at("clean").get<bool>() ? "clean" : "gaps");
        EXPECT_EQ(a.at("gaps"), v.at("gaps"));
        EXPECT_DOUBLE_EQ(a.at("gap_seconds").get<double>(), v.at("gap_seconds").get<double>());
        EXPECT_DOUBLE_EQ(a.at("first_sound_seconds").get<double>(), h.at("start_latency").get<double>());
        EXPECT_DOUBLE_EQ(a.at("post_to_ear_mean_seconds").get<double>(), h.at("post_to_ear_mean").get<double>());
        EXPECT_DOUBLE_EQ(a.at("post_to_ear_max_seconds").get<double>(), h.at("post_to_ear_max").get<double>());
        EXPECT_EQ(a.at("refused"), v.at("refused"));
        EXPECT_EQ(a.at("lost"), v.at("lost"));
        EXPECT_EQ(a.at("bitpool_lowest"), r.at("link").at("bitpool").at("lowest"));
        // The mean holds each bitpool for as long as it held: within the
        // range the run went through, the top of it when nothing changed.
        const Json& bp = r.at("link").at("bitpool");
        EXPECT_GE(a.at("bitpool_mean").get<double>(), bp.at("lowest").get<double>());
        EXPECT_LE(a.at("bitpool_mean").get<double>(), bp.at("highest").get<double>());
        if (bp.at("log").empty())
            EXPECT_DOUBLE_EQ(a.at("bitpool_mean").get<double>(), bp.at("max").get<double>());
        EXPECT_TRUE(Has(a.at("command").get<std::string>(), std::string("--set Timer=") + timers[n]));
    }
    // --sweep-dir keeps the rows' reports, in a directory made for them
    // when it is not there yet; one that cannot be made is said before any
    // row runs.
    RunResult kept = RunPlayer({"--length", "1s", "--sweep", "Timer=20,40", "-q", "--sweep-dir", dir.File("rows")});
    EXPECT_EQ(kept.exitCode, 0) << kept.err;
    EXPECT_TRUE(Has(kept.out, " clean ")) << kept.out;
    EXPECT_FALSE(ReadText(dir.File("rows/row-0002.json")).empty());
    kept = RunPlayer({"--length", "1s", "--sweep", "Timer=20,40", "-q", "--sweep-dir", dir.File("none/rows")});
    EXPECT_EQ(kept.exitCode, 5) << kept.out;
    EXPECT_TRUE(Has(kept.err, "none/rows")) << kept.err;
    EXPECT_TRUE(kept.out.empty()) << kept.out;
    // Ticks a second apart gap, 20 ms ticks do not.
    EXPECT_EQ(rows1["rows"][0].at("verdict"), "clean");
    EXPECT_EQ(rows1["rows"][2].at("verdict"), "gaps");
    EXPECT_EQ(rows1["rows"][2].at("exit_code"), 7);
}

TEST(SweepTest, TheChartIsAGridOfVerdictsForTwoSettingsALineAFigureForOneAndAGridAValueForMore)
{
    TempDir dir;
    const RunResult two = RunPlayer(With(kGrid, {"-q", "--sweep-svg", dir.File("grid.svg")}));
    ASSERT_EQ(two.exitCode, 0) << two.err;
    const std::string grid = ReadText(dir.File("grid.svg"));
    // Four cells: the two rows with ticks a second apart gapped (red), the
    // others clean (green), each with its latency; the gapped ones say how
    // much silence, the clean ones how close they came.
    EXPECT_EQ(Count(grid, "<rect "), 4u) << grid;
    EXPECT_EQ(Count(grid, "fill=\"#7fc97f\""), 2u);
    EXPECT_EQ(Count(grid, "fill=\"#f0605d\""), 2u);
    EXPECT_EQ(Count(grid, " ms</text>"), 6u);
    EXPECT_EQ(Count(grid, ">margin "), 2u) << grid;
    EXPECT_EQ(Count(grid, " gaps, "), 2u) << grid;
    const RunResult one = RunPlayer({"--length", "2s", "--sweep", "Timer=20,1000", "-q", "--sweep-svg",
                                     dir.File("line.svg")});
    ASSERT_EQ(one.exitCode, 0) << one.err;
    const std::string line = ReadText(dir.File("line.svg"));
    EXPECT_EQ(Count(line, "<polyline "), 5u);
    EXPECT_EQ(Count(line, "<circle "), 10u);
    // A third setting: one grid of the first two for each of its values,
    // titled by it, each cell its own row's (a radio slower than the audio
    // makes every row of its panel gap; at full speed only those whose
    // ticks are a second apart do).
    const RunResult three = RunPlayer(With(kGrid, {"--sweep", "radio-kbps=724,100", "-q", "--sweep-svg",
                                                   dir.File("facets.svg"), "--sweep-json", dir.File("facets.json")}));
    ASSERT_EQ(three.exitCode, 0) << three.err;
    const std::string facets = ReadText(dir.File("facets.svg"));
    EXPECT_EQ(Count(facets, "<rect "), 8u) << facets;
    EXPECT_EQ(Count(facets, ">radio-kbps=724</text>"), 1u) << facets;
    EXPECT_EQ(Count(facets, ">radio-kbps=100</text>"), 1u) << facets;
    const Json rows = ParseReport(ReadText(dir.File("facets.json"))).at("rows");
    ASSERT_EQ(rows.size(), 8u);
    size_t clean = 0;
    for (const Json& r : rows)
        clean += r.at("verdict") == "clean";
    EXPECT_EQ(Count(facets, "fill=\"#7fc97f\""), clean);
    EXPECT_EQ(Count(facets, "fill=\"#7fc97f\""), 2u) << facets;
    // The first panel (the radio at full speed) holds the clean rows.
    EXPECT_LT(facets.find("fill=\"#7fc97f\""), facets.find(">radio-kbps=100</text>"));

    // Which setting matters, under the table: the tick period and the
    // radio each make the difference between clean and not (2 of 4 rows
    // clean against none); the headset's buffer does not, and comes last.
    const std::string& out = three.out;
    const size_t block = out.find("\nwhich setting matters");
    ASSERT_NE(block, std::string::npos) << out;
    const size_t timer = out.find("\n  Timer (clean share 50% apart", block);
    const size_t radio = out.find("\n  radio-kbps (clean share 50% apart", block);
    const size_t buffer = out.find("\n  headset-buffer (clean share 0% apart", block);
    ASSERT_NE(timer, std::string::npos) << out;
    ASSERT_NE(radio, std::string::npos) << out;
    ASSERT_NE(buffer, std::string::npos) << out;
    EXPECT_GT(buffer, std::max(timer, radio)) << out;
    // Each value's figures are its rows': the mean of their gap seconds.
    double slow = 0;
    for (const Json& r : rows)
        if (r.at("settings").at("Timer") == "1000")
            slow += r.at("gap_seconds").get<double>() / 4;
    const size_t at = out.find("\n    1000 ", timer);
    ASSERT_NE(at, std::string::npos) << out;
    const std::string slowLine = out.substr(at, out.find('\n', at + 1) - at);
    char mean[32];
    std::snprintf(mean, sizeof mean, "(%.3f s a row)", slow);
    EXPECT_TRUE(Has(slowLine, " 0 of 4 clean, ")) << slowLine;
    EXPECT_TRUE(Has(slowLine, mean)) << mean << slowLine;
    EXPECT_TRUE(Has(out.substr(timer), "\n    20         2 of 4 clean, ")) << out;
    // One setting: the table is the answer, and nothing is added.
    EXPECT_FALSE(Has(one.out, "which setting matters")) << one.out;
}

// The table's three forms from rows made here: each figure under its
// documented head in the text and CSV (docs/player.md, "Sweeps") and as its
// member in the JSON; what a row lacks is "-" (text, CSV) and null (JSON):
// the bitpool where the codec has no bitpool rule, the SNR where nothing
// was heard; a row that did not run has its verdict and no figures.
TEST(SweepTest, EachFormShowsEachFigureAndWhatARowLacks)
{
    auto ran = [](const char* timer, const char* verdict, int exitCode, const char* command) {
        player::SweepRow r;
        r.settings["Timer"] = timer;
        r.verdict = verdict;
        r.exitCode = exitCode;
        r.ran = true;
        r.command = command;
        return r;
    };
    player::SweepRow sbc = ran("20", "clean", 0, "btwav-play --set Timer=20");
    sbc.firstSound = 0.1234;
    sbc.postToEarMean = 0.15;
    sbc.postToEarMax = 0.2567;
    sbc.lowestLevelMs = 12.34;
    sbc.adaptive = true;
    sbc.bitpoolLowest = 47;
    sbc.bitpoolMean = 52.63;
    sbc.heard = true;
    sbc.heardSnrDb = 31.26;
    player::SweepRow pcm = ran("1000", "gaps+refused+lost", 7, "btwav-play --codec pcm");
    pcm.gaps = 2;
    pcm.gapSeconds = 0.5;
    pcm.refused = 3;
    pcm.lost = 1;
    player::SweepRow unrun;
    unrun.settings["Timer"] = "40";
    unrun.verdict = "not run";
    const std::vector<player::SweepRow> rows = {sbc, pcm, unrun};
    const std::vector<std::string> columns = {"Timer"};

    const std::string csv = player::SweepTableCsv(rows, columns);
    EXPECT_EQ(csv,
              "Timer,verdict,exit,gaps,\"gap s\",\"first sound s\",\"post-ear mean s\",\"post-ear max s\","
              "\"margin ms\",refused,lost,\"bitpool low\",\"bitpool mean\",\"heard SNR dB\",command\n"
              "20,clean,0,0,0.000,0.123,0.150,0.257,12.3,0,0,47,52.6,31.3,\"btwav-play --set Timer=20\"\n"
              "1000,gaps+refused+lost,7,2,0.500,0.000,0.000,0.000,0.0,3,1,-,-,-,\"btwav-play --codec pcm\"\n"
              "40,\"not run\",-,-,-,-,-,-,-,-,-,-,-,-,\n");

    const std::string text = player::SweepTableText(rows, columns);
    EXPECT_EQ(text.substr(0, text.find('\n')),
              "Timer  verdict            exit  gaps  gap s  first sound s  post-ear mean s  post-ear max s  margin ms  "
              "refused  lost  bitpool low  bitpool mean  heard SNR dB  command");
    EXPECT_TRUE(Has(text, "\n40     not run            -     -     -      -              -    ")) << text;

    const Json j = ParseReport(player::SweepTableJson(rows, columns));
    EXPECT_EQ(j.at("settings"), Json({"Timer"}));
    // Each row's members after its settings, verdict, exit code and whether
    // it ran, in the table's order.
    const Json figures[] = {
        {{"gaps", 0}, {"gap_seconds", 0.0}, {"first_sound_seconds", 0.1234}, {"post_to_ear_mean_seconds", 0.15},
         {"post_to_ear_max_seconds", 0.2567}, {"margin_ms", 12.34}, {"refused", 0}, {"lost", 0},
         {"bitpool_lowest", 47}, {"bitpool_mean", 52.63}, {"heard_snr_db", 31.26}},
        {{"gaps", 2}, {"gap_seconds", 0.5}, {"first_sound_seconds", 0.0}, {"post_to_ear_mean_seconds", 0.0},
         {"post_to_ear_max_seconds", 0.0}, {"margin_ms", 0.0}, {"refused", 3}, {"lost", 1},
         {"bitpool_lowest", nullptr}, {"bitpool_mean", nullptr}, {"heard_snr_db", nullptr}},
        Json::object()};
    for (size_t n = 0; n < rows.size(); ++n) {
        Json row = j.at("rows").at(n);
        EXPECT_EQ(row.at("ran"), rows[n].ran) << n;
        EXPECT_EQ(row.at("verdict"), rows[n].verdict) << n;
        EXPECT_EQ(row.at("command"), rows[n].command) << n;
        for (const char* k : {"settings", "verdict", "exit_code", "ran", "command", "report"})
            row.erase(k);
        EXPECT_EQ(row, figures[n]) << n;
    }
}

TEST(SweepTest, ListedLinesRunAnywhereAndTheirMergeIsTheSweepsTable)
{
    TempDir dir;
    const RunResult sweep = RunPlayer(With(kGrid, {"--jobs", "2", "-q", "--sweep-csv", dir.File("sweep.csv")}));
    ASSERT_EQ(sweep.exitCode, 0) << sweep.err;
    const RunResult list = RunPlayer(With(kGrid, {"--list", "--sweep-dir", dir.Path()}));
    ASSERT_EQ(list.exitCode, 0) << list.err;
    // One line a configuration, each with a report of its own.
    std::vector<std::string> lines, reports;
    std::istringstream in(list.out);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 4u) << list.out;
    for (const std::string& line : lines) {
        const size_t at = line.rfind("--report ");
        ASSERT_NE(at, std::string::npos) << line;
        reports.push_back(line.substr(at + 9));
        // As a scheduler would run it: through a shell, nothing of ours around it.
        RunProgram("/bin/sh", {"-c", line});
    }
    EXPECT_NE(reports[0], reports[1]);
    const RunResult merged = RunPlayer(With({"--merge"}, With(reports, {"--sweep-csv", dir.File("merge.csv")})));
    ASSERT_EQ(merged.exitCode, 0) << merged.err;
    EXPECT_EQ(merged.out, sweep.out);
    EXPECT_EQ(ReadText(dir.File("merge.csv")), ReadText(dir.File("sweep.csv")));
    EXPECT_TRUE(Has(sweep.out, "Timer  headset-buffer  verdict")) << sweep.out;

    // Something that is not a report is named.
    WriteText(dir.File("junk.json"), "{}");
    const RunResult junk = RunPlayer({"--merge", reports[0], dir.File("junk.json")});
    EXPECT_EQ(junk.exitCode, 3);
    EXPECT_TRUE(Has(junk.err, "junk.json")) << junk.err;
}

TEST(SweepTest, ABadSweepIsACommandLineErrorNamingIt)
{
    struct Case {
        std::vector<std::string> args;
        const char* named;
    };
    const Case cases[] = {
        {{"--sweep", "Timer"}, "'Timer'"},
        {{"--sweep", "Timer="}, "'Timer='"},
        {{"--sweep", "nosuch=1,2"}, "'nosuch'"},
        {{"--sweep", "fast=1"}, "'fast'"},
        {{"--sweep", "Timer=40..10/10"}, "'Timer=40..10/10'"},
        {{"--sweep", "Timer=10..40/0"}, "'Timer=10..40/0'"},
        {{"--sweep", "Timer=10,,20"}, "'Timer=10,,20'"},
        {{"--sweep", "radio-kbps=300,lots"}, "radio-kbps=lots"},
        {{"--sweep", "Timer=10", "--report", "x.json"}, "--report"},
        {{"--sweep", "Timer=10", "--jobs", "0"}, "--jobs"},
        {{"--sweep", "Timer=10", "--nosuch"}, "--nosuch"},
    };
    for (const Case& c : cases) {
        const RunResult r = RunPlayer(With({"--length", "1s"}, c.args));
        EXPECT_EQ(r.exitCode, 2) << c.named;
        EXPECT_TRUE(Has(r.err, c.named)) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
    // A range expands in steps, with its unit.
    const RunResult list = RunPlayer({"--sweep", "headset-buffer=100ms..300ms/100ms", "--list"});
    EXPECT_EQ(list.exitCode, 0) << list.err;
    EXPECT_EQ(Count(list.out, "\n"), 3u);
    EXPECT_TRUE(Has(list.out, "--headset-buffer 300ms ")) << list.out;
}

TEST(SweepTest, WithHeardEachRowHasTheQualityItsOwnListenerMeasured)
{
    TempDir dir;
    const RunResult sweep = RunPlayer({"--length", "2s", "--sweep", "radio-kbps=300,724", "--heard", "ignored.wav",
                                       "-q", "--sweep-json", dir.File("s.json")});
    ASSERT_EQ(sweep.exitCode, 0) << sweep.err;
    const Json rows = ParseReport(ReadText(dir.File("s.json"))).at("rows");
    ASSERT_EQ(rows.size(), 2u);
    const char* const kbps[] = {"300", "724"};
    for (size_t n = 0; n < 2; ++n) {
        World w = Live(dir, {"--length", "2s", "--radio-kbps", kbps[n], "--heard", dir.File("h.wav")});
        const Json q = ParseReport(w.json).at("heard_quality");
        ASSERT_TRUE(q.at("measured").get<bool>());
        EXPECT_DOUBLE_EQ(rows[n].at("heard_snr_db").get<double>(), q.at("segmental_snr_db").get<double>());
    }
    // Each row heard into nothing, and its command says so.
    EXPECT_NE(ReadText(dir.File("s.json")).find("--heard /dev/null"), std::string::npos);
}

TEST(SweepTest, CtrlCStopsTheWorkersAndKeepsTheFinishedRows)
{
    TempDir dir;
    // Rows of five minutes each, one at a time: the stop comes after the
    // first is done and long before the twentieth.
    Background sweep(dir, {"--sweep", "Timer=10..200/10", "--length", "5m", "--jobs", "1"});
    ASSERT_TRUE(sweep.WaitForError("sweep: 1 of 20 done")) << sweep.Errors();
    EXPECT_EQ(sweep.Stop(SIGINT), 130);
    const std::string table = ReadText(dir.File("stdout"));
    EXPECT_EQ(Count(table, "\n"), 21u) << table;
    std::istringstream in(table);
    std::string header, first, line, last;
    std::getline(in, header);
    std::getline(in, first);
    while (std::getline(in, line))
        last = line;
    EXPECT_EQ(first.rfind("10 ", 0), 0u) << first;
    EXPECT_TRUE(Has(first, " clean ")) << first;
    EXPECT_EQ(last.rfind("200 ", 0), 0u) << last;
    EXPECT_TRUE(Has(last, " not run ")) << last;
}
