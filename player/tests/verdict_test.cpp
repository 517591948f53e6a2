// The verdict on what the listener heard, end to end in fast mode: the exit
// status a run's faults give and their order, --allow, the verdict line at
// the top of both reports, refused posts kept apart from the application's
// underruns, each gap's cause, and the plot and JSON series of the headset's
// level and the radio's send queue.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>

#include "audio_files.h"
#include "report/report.h"
#include "report/verdict.h"

using namespace player_test;

namespace {

nlohmann::ordered_json Verdict(const World& w)
{
    return ParseReport(w.json).at("verdict");
}

std::vector<std::string> GapCauses(const World& w)
{
    std::vector<std::string> out;
    const nlohmann::ordered_json report = ParseReport(w.json);
    for (const auto& g : report.at("headset").at("gaps"))
        out.push_back(g.at("cause").get<std::string>());
    return out;
}

bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// A report of `ticks` on-time ticks of the default pacing (20 ms, a full
// tick's bytes due and posted each), as the driver's timeline records them.
player::Report OnTimeTicks(int ticks)
{
    player::Report r;
    r.config.known = true;
    r.config.sample = 176400;
    r.config.timer = 20;
    for (int n = 1; n <= ticks; ++n) {
        player::TickRow t;
        t.tick = static_cast<uint64_t>(n - 1);
        t.t = 0.02 * n;
        t.due = t.posted = 3528;
        r.pacing.ticks.push_back(t);
    }
    return r;
}

}  // namespace

TEST(VerdictTest, EachFaultTheListenerHeardHasItsExitCodeInTheDocumentedOrder)
{
    TempDir dir;
    // Clean: 0, and the JSON says so.
    World w = Live(dir, {});
    EXPECT_EQ(w.run.exitCode, 0) << w.run.err;
    EXPECT_TRUE(Verdict(w).at("clean").get<bool>());
    EXPECT_EQ(Verdict(w).at("code").get<int>(), 0);

    // Ticks a second apart starve the headset: 16 gaps, exit 7.
    w = Live(dir, {"--set", "Timer=1000"});
    EXPECT_EQ(w.run.exitCode, 7) << w.run.err;
    EXPECT_EQ(Verdict(w).at("gaps").get<int>(), 16);
    EXPECT_FALSE(Verdict(w).at("clean").get<bool>());
    EXPECT_TRUE(Has(w.run.err, "16 gaps")) << w.run.err;
    // Allowed, the stream is still bit-exact: 0, the verdict still not clean.
    w = Live(dir, {"--set", "Timer=1000", "--allow", "gaps"});
    EXPECT_EQ(w.run.exitCode, 0) << w.run.err;
    EXPECT_FALSE(Verdict(w).at("clean").get<bool>());
    EXPECT_EQ(Verdict(w).at("allowed").get<std::string>(), "gaps");

    // A headset clock 5000 ppm fast drains its buffer once in 20 s.
    w = Live(dir, {"--headset-ppm", "5000", "--length", "20s"});
    EXPECT_EQ(w.run.exitCode, 7) << w.run.err;
    EXPECT_EQ(Verdict(w).at("gaps").get<int>(), 1);

    // A slow headset clock overflows without a gap: 8.
    w = Live(dir, {"--headset-ppm", "-20000", "--length", "10s"});
    EXPECT_EQ(Verdict(w).at("gaps").get<int>(), 0);
    EXPECT_GT(Verdict(w).at("overflows").get<int>(), 0);
    EXPECT_EQ(w.run.exitCode, 8) << w.run.err;
    w = Live(dir, {"--headset-ppm", "-20000", "--length", "10s", "--allow", "overflows"});
    // The library got every byte (bit-exact); only the headset dropped some.
    EXPECT_EQ(w.run.exitCode, 0) << w.run.err;

    // The link down: a gap (7) before the refused posts (9) before the
    // stream that is not bit-exact (1).
    const std::vector<std::string> down = {"--length", "5s", "--link-down", "2s", "--link-back", "3s"};
    std::vector<std::string> args = down;
    w = Live(dir, args);
    EXPECT_EQ(w.run.exitCode, 7) << w.run.err;
    args.insert(args.end(), {"--allow", "gaps"});
    w = Live(dir, args);
    EXPECT_EQ(w.run.exitCode, 9) << w.run.err;
    EXPECT_EQ(Verdict(w).at("refused").get<int>(), 50);
    args.insert(args.end(), {"--allow", "refused"});   // repeatable: both allowed
    w = Live(dir, args);
    EXPECT_EQ(w.run.exitCode, 1) << w.run.err;
    args = down;
    args.insert(args.end(), {"--allow", "all"});
    EXPECT_EQ(Live(dir, args).run.exitCode, 1);

    // A command-line error comes first.
    RunResult bad = RunPlayer({"--fast", "--quiet", "--set", "Timer=1000", "--allow", "gap"});
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_TRUE(Has(bad.err, "--allow takes gaps, overflows, refused, lost or all")) << bad.err;
}

TEST(VerdictTest, TheVerdictLineOpensBothReportsWithTheMarginAndTheWriteToEarLatency)
{
    TempDir dir;
    World w = Live(dir, {});
    const nlohmann::ordered_json j = ParseReport(w.json);
    EXPECT_EQ(j.begin().key(), "verdict");
    const auto& h = j.at("headset");
    // The margin is the headset's lowest level as time; the latency is the
    // report's write-to-ear figure (the application's queue, then post to
    // ear with the sink's delay in it).
    EXPECT_NEAR(Verdict(w).at("margin_ms").get<double>(), h.at("min_level_frames").get<double>() / 44.1, 0.01);
    EXPECT_NEAR(Verdict(w).at("write_to_ear_ms").get<double>(), h.at("write_to_ear_mean").get<double>() * 1000, 0.01);
    EXPECT_GT(Verdict(w).at("margin_ms").get<double>(), 0);
    EXPECT_GT(Verdict(w).at("write_to_ear_ms").get<double>(), h.at("sink_delay").get<double>() * 1000);

    // Text: the line after the heading.
    RunResult r = RunPlayer({"--fast", "-q", "--set", "Timer=1000"});
    EXPECT_EQ(r.exitCode, 7);
    const size_t second = r.out.find('\n') + 1;
    EXPECT_EQ(r.out.compare(second, 18, "  verdict         "), 0) << r.out;
    const std::string line = r.out.substr(second, r.out.find('\n', second) - second);
    EXPECT_TRUE(Has(line, "NOT CLEAN: 16 gaps")) << line;
    EXPECT_TRUE(Has(line, "margin to a gap 0.0 ms")) << line;   // a gap leaves none
    EXPECT_TRUE(Has(line, "write to ear")) << line;
    EXPECT_TRUE(Has(line, "(exit 7)")) << line;
    // Levels in milliseconds beside frames.
    EXPECT_TRUE(Has(r.out, " ms, just before a packet arrived)")) << r.out;

    // Without a headset nothing heard is judged; the run is clean of posts.
    w = Live(dir, {"--no-headset"});
    EXPECT_EQ(w.run.exitCode, 0);
    EXPECT_FALSE(Verdict(w).at("judged").get<bool>());
    EXPECT_TRUE(Verdict(w).at("margin_ms").is_null());
}

TEST(VerdictTest, PostsTheLibraryRefusedAreNotTheApplicationsUnderrunsAndEachGapHasItsCause)
{
    TempDir dir;
    World w = Live(dir, {"--length", "5s", "--link-down", "2s", "--link-back", "3s"});
    const nlohmann::ordered_json j = ParseReport(w.json);
    EXPECT_EQ(j.at("underruns").at("count").get<int>(), 0);
    EXPECT_EQ(j.at("packets").at("refused").get<int>(), 50);
    EXPECT_TRUE(Has(w.run.out, "  underruns       0\n")) << w.run.out;
    EXPECT_EQ(GapCauses(w), std::vector<std::string>{"the link was down"});

    w = Live(dir, {"--set", "Timer=1000"});
    std::vector<std::string> causes = GapCauses(w);
    ASSERT_EQ(causes.size(), 16u);
    for (const std::string& c : causes)
        EXPECT_EQ(c, "ticks 1000 ms apart, no shorter than the headset's 250 ms buffer");

    w = Live(dir, {"--headset-ppm", "5000", "--length", "20s"});
    EXPECT_EQ(GapCauses(w), std::vector<std::string>{"the headset's clock runs 5000 ppm fast and drained its buffer"});

    // One tick 400 ms late (the late fault on the 50th tick) empties a
    // headset that holds about 100 ms: the gap names that tick.
    w = Live(dir, {"--fault", "late:400@50", "--length", "5s"});
    causes = GapCauses(w);
    ASSERT_EQ(causes.size(), 1u) << w.run.out;
    EXPECT_TRUE(Has(causes[0], "the tick due at 1.0")) << causes[0];
    EXPECT_TRUE(Has(causes[0], "ran 400.0 ms late")) << causes[0];
    EXPECT_TRUE(Has(w.run.out, ": the tick due at")) << w.run.out;

    // A pause the application asked for: the headset runs dry, named as
    // the pause's and left out of the verdict.
    w = Live(dir, {"--pause", "700:300"});
    EXPECT_EQ(w.run.exitCode, 0) << w.run.err;
    EXPECT_EQ(GapCauses(w), std::vector<std::string>{"the application paused the stream (not counted in the verdict)"});
    EXPECT_TRUE(Verdict(w).at("clean").get<bool>());
    EXPECT_EQ(Verdict(w).at("gaps").get<int>(), 0);

    // Sample lower than the headset plays: it starves.
    w = Live(dir, {"--set", "Sample=150000"});
    causes = GapCauses(w);
    ASSERT_FALSE(causes.empty());
    EXPECT_TRUE(Has(causes[0], "the driver sends 150000 bytes/s")) << causes[0];
}

// An application that writes too late: its queue ran dry at 0.2 s, the
// driver went idle, and its next tick came only when the application
// wrote again at 0.32 s, after the headset's gap began at 0.316 s, with
// 120 ms of audio due and 20 ms of it to post.  The gap is the
// application's; and a tick late enough to empty the headset by itself
// is named as that, not as the shortfall its own lateness made.
TEST(VerdictTest, TheApplicationsUnderrunIsTheCauseEvenWhenTheTickThatFindsItComesAfterTheGap)
{
    player::Report r = OnTimeTicks(10);
    player::TickRow found;
    found.tick = 10;
    found.t = 0.32;
    found.due = 21168;
    found.posted = 3528;
    found.underrun = true;
    r.pacing.ticks.push_back(found);
    EXPECT_EQ(player::GapCause(r, 0.3157), "the application's underrun: the driver's queue ran out before it");

    // The same shortfall on a tick that ran 120 ms late: the tick is the cause.
    r.pacing.ticks.back().lateMs = 120;
    EXPECT_EQ(player::GapCause(r, 0.3157), "the tick due at 0.200 s ran 120.0 ms late");

    // A shortfall whose dry stretch begins after the gap did not cause it.
    r.pacing.ticks.back().lateMs = 0;
    r.pacing.ticks.back().due = 3528;
    r.pacing.ticks.back().t = 0.40;
    EXPECT_EQ(player::GapCause(r, 0.3157), "the radio delivered too late (no other cause found)");
}

// Each gap is blamed on what happened just before it: a link drop that
// ended seconds earlier left the headset time to refill, so a later gap
// is not the link's.  The link down from 1 to 1.5 s, and the 190th tick
// (due at 3.8 s) held 400 ms: the first gap is the link's, the second the
// late tick's.
TEST(VerdictTest, AGapLongAfterTheLinkCameBackIsNotTheLinksButTheLateTicksBeforeIt)
{
    TempDir dir;
    World w = Live(dir, {"--length", "5s", "--link-down", "1s", "--link-back", "1.5s", "--fault", "late:400@190"});
    EXPECT_EQ(w.run.exitCode, 7) << w.run.err;
    const std::vector<std::string> causes = GapCauses(w);
    ASSERT_EQ(causes.size(), 2u) << w.run.out;
    EXPECT_EQ(causes[0], "the link was down");
    EXPECT_TRUE(Has(causes[1], "the tick due at 3.8")) << causes[1];
    EXPECT_TRUE(Has(causes[1], "ran 400.0 ms late")) << causes[1];
    EXPECT_TRUE(Has(w.run.out, "): the link was down\n")) << w.run.out;
    EXPECT_TRUE(Has(w.run.out, "): the tick due at 3.8")) << w.run.out;
}

// The link's window against the gap's start, on a report of its own: a
// 250 ms headset, 20 ms ticks, the link down at 1.0 s and back at 1.5 s.
TEST(VerdictTest, TheLinkIsBlamedWhileDownAndWhileTheHeadsetRefillsAfterItOnly)
{
    player::Report r = OnTimeTicks(200);
    r.headset.capacityFrames = 11025;
    r.headset.startFrames = 4410;
    r.happenings = {{0.0, "link up (the headset connects)"}, {1.0, "link down"}, {1.5, "link back up"}};
    // Down as the gap began; back within the buffer's length before it.
    EXPECT_EQ(player::GapCause(r, 1.11), "the link was down");
    EXPECT_EQ(player::GapCause(r, 1.70), "the link was down");
    // Back more than the buffer (and a tick) before: not the link.
    EXPECT_EQ(player::GapCause(r, 1.80), "the radio delivered too late (no other cause found)");
    EXPECT_EQ(player::GapCause(r, 3.85), "the radio delivered too late (no other cause found)");
    // A tick late enough to empty the buffer: named long after the drop,
    // and also just after it when it came after the link was back.
    r.pacing.ticks[190].lateMs = 214;
    r.pacing.ticks[190].t += 0.214;
    EXPECT_EQ(player::GapCause(r, 3.849), "the tick due at 3.820 s ran 214.0 ms late");
    r.pacing.ticks[76].lateMs = 150;
    r.pacing.ticks[76].t += 0.150;
    EXPECT_EQ(player::GapCause(r, 1.64), "the tick due at 1.540 s ran 150.0 ms late");
    // A late tick due while the link was still down is not the nearer cause.
    EXPECT_EQ(player::GapCause(r, 1.45), "the link was down");
    // A second drop counts from its own times.
    r.happenings.push_back({3.6, "link down"});
    EXPECT_EQ(player::GapCause(r, 3.849), "the link was down");
}

TEST(VerdictTest, VersionTheShortQuietOptionAndDiagnosticsTimedFromTheFirstWrite)
{
    RunResult r = RunPlayer({"--version"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.rfind("btwav-play ", 0), 0u) << r.out;
    EXPECT_EQ(r.out.back(), '\n');
    r = RunPlayer({"--fast", "-q"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(r.err.empty()) << r.err;   // no progress
    EXPECT_TRUE(Has(RunPlayer({"--help"}).out, "Exit status:"));

    // -v: the driver's configuration and each event as it comes, timed as
    // the report times them.
    r = RunPlayer({"--fast", "-q", "-v", "--pause", "1s:500ms"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Has(r.err, "btwav-play: before the first write  opened WAVE_MAPPER")) << r.err;
    EXPECT_TRUE(Has(r.err, "btwav-play: 0.000 s  driver config InitBtAudioPara: Sample 176400, Timer 20, CacheLen 6144\n"))
        << r.err;
    EXPECT_TRUE(Has(r.err, "btwav-play: 1.000 s  pause for 500 ms\nbtwav-play: 1.500 s  restart\n")) << r.err;
    EXPECT_TRUE(Has(r.err, "btwav-play: 3.500 s  closed\n")) << r.err;
    EXPECT_EQ(RunPlayer({"--fast", "-q"}).err, "") << "nothing without -v";

    // "-" is standard input (a pipe is held in a temporary file first).
    TempDir dir;
    ASSERT_EQ(RunPlayer({"--fast", "-q", "--length", "1s", "--wav", dir.File("in.wav")}).exitCode, 0);
    r = RunProgram("/bin/sh", {"-c", "cat '" + dir.File("in.wav") + "' | '" BTWAV_PLAYER_PATH "' --fast -q --wav '" +
                                         dir.File("out.wav") + "' -"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.rfind("Played standard input (WAV", 0), 0u) << r.out;
    EXPECT_TRUE(ReadAudio(dir.File("out.wav")).samples == ReadAudio(dir.File("in.wav")).samples);

    // --trace and --debug time from the first write, as the report does;
    // what comes before it is marked as timed from boot.
    r = RunPlayer({"--fast", "-q", "--trace", "--debug", "--length", "100ms"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const size_t write = r.err.find("wave: WODM_WRITE");
    ASSERT_NE(write, std::string::npos) << r.err;
    const size_t line = r.err.rfind('\n', write) + 1;
    EXPECT_EQ(r.err.compare(line, 15, "[   0.000000 s "), 0) << r.err.substr(line, 80);
    EXPECT_EQ(r.err.rfind("[boot 0.000000 s main    ] wave: WODM_GETNUMDEVS", 0), 0u) << r.err.substr(0, 200);
    EXPECT_TRUE(Has(r.err, "[boot 0.100000 s main    ] wave: WODM_OPEN")) << r.err;
    EXPECT_TRUE(Has(r.err, "[   0.000000 s main    ] debug: InitBtAudioPara")) << r.err;
    EXPECT_FALSE(Has(r.err.substr(write), "[boot ")) << "every line after the first write is timed from it";
}

TEST(VerdictTest, ThePlotDrawsTheLevelsTrueRangeTheBuffersLinesTheWindowsAndEveryGap)
{
    TempDir dir;
    // Five minutes, a headset 300 ppm fast (a gap of 80 ms at 249 s),
    // interference for a second, and the link down for half a second after
    // the gap.
    World w = Live(dir, {"--length", "5m", "--headset-ppm", "300", "--interference", "10s:1s:0.5", "--link-down",
                         "270s", "--link-back", "270.5s", "--plot", dir.File("p.svg")});
    const std::string svg = ReadText(dir.File("p.svg"));
    const nlohmann::ordered_json j = ParseReport(w.json);
    const auto& h = j.at("headset");
    // Bounded: the whole picture and the JSON's level series.
    EXPECT_LT(svg.size(), 300000u);
    const auto& levels = h.at("levels");
    EXPECT_LE(levels.size(), 1000u);
    EXPECT_GE(levels.size(), 500u);
    // The series holds the report's true extremes, 0 where it ran dry.
    uint32_t low = UINT32_MAX, high = 0;
    for (const auto& l : levels) {
        low = std::min(low, l.at("low").get<uint32_t>());
        high = std::max(high, l.at("high").get<uint32_t>());
    }
    EXPECT_EQ(low, 0u);
    EXPECT_EQ(high, h.at("max_level_frames").get<uint32_t>());
    // The buffer's size and start threshold, both windows, every gap at
    // least 3 pixels wide.
    EXPECT_TRUE(Has(svg, "buffer size 11025 (250 ms)")) << svg.substr(0, 2000);
    EXPECT_TRUE(Has(svg, "start threshold 4410 (100 ms)"));
    EXPECT_TRUE(Has(svg, "<title>link down 270.000 to 270.500 s</title>"));
    EXPECT_TRUE(Has(svg, "<title>interference 10.000 s for 1.000 s</title>"));
    const size_t gaps = h.at("gaps").size();
    ASSERT_GE(gaps, 2u);
    size_t marks = 0;
    for (size_t at = svg.find("height='10' fill='#d62728'"); at != std::string::npos;
         at = svg.find("height='10' fill='#d62728'", at + 1)) {
        ++marks;
        const size_t width = svg.rfind("width='", at);
        EXPECT_GE(std::stod(svg.substr(width + 7)), 3.0);
    }
    EXPECT_EQ(marks, gaps);
    // The band of the level: a polygon whose lowest point is the panel's 0.
    EXPECT_TRUE(Has(svg, "<polygon fill='#bcbddc'"));
}

// The radio's send queue over time, in the JSON and the plot: a slow radio
// fills it to the fullest the report gives; with the link down the library
// refuses the posts and the queue empties until the link is back.
TEST(VerdictTest, TheRadioQueueSeriesRisesToTheFullestQueueAndThePlotDrawsIt)
{
    TempDir dir;
    // SBC at a fixed bitpool 53 (333 kbit/s) through 200.
    World w = Live(dir, {"--bitpool", "53", "--radio-kbps", "200", "--plot", dir.File("slow.svg")});
    EXPECT_EQ(w.run.exitCode, 7) << w.run.err;
    const nlohmann::ordered_json link = ParseReport(w.json).at("link");
    const nlohmann::ordered_json& levels = link.at("queue_levels");
    ASSERT_GT(levels.size(), 100u) << link;   // 3 s in buckets of 10 ms
    EXPECT_LE(levels.size(), 1000u);
    uint32_t most = 0;
    double fullAt = -1, before = -1;
    for (const nlohmann::ordered_json& l : levels) {
        const double t = l.at("t").get<double>();
        EXPECT_GT(t, before);
        before = t;
        EXPECT_LE(l.at("low").get<uint32_t>(), l.at("high").get<uint32_t>());
        most = std::max(most, l.at("high").get<uint32_t>());
        if (fullAt < 0 && l.at("high").get<uint32_t>() == 10)
            fullAt = t;
    }
    EXPECT_EQ(most, link.at("peak_queued_packets").get<uint32_t>());
    EXPECT_EQ(most, 10u);   // the default depth
    // It rises to full over a few hundred milliseconds, and is empty once
    // the last packet is through.
    EXPECT_LT(levels.front().at("high").get<uint32_t>(), 3u);
    EXPECT_GT(fullAt, 0.1);
    EXPECT_EQ(levels.back().at("low").get<uint32_t>(), 0u);
    const std::string slow = ReadText(dir.File("slow.svg"));
    EXPECT_NE(slow.find("Radio send queue: media packets queued or on the air"), std::string::npos);
    EXPECT_NE(slow.find("queue depth 10 packets"), std::string::npos);
    EXPECT_NE(slow.find("<polygon fill='#fdd0a2'"), std::string::npos);

    // The default radio keeps up; the link is down from 1 s to 2 s.
    w = Live(dir, {"--link-down", "1s", "--link-back", "2s", "--plot", dir.File("down.svg")});
    size_t queuedBefore = 0, queuedDown = 0, queuedAfter = 0;
    const nlohmann::ordered_json report = ParseReport(w.json);
    for (const nlohmann::ordered_json& l : report.at("link").at("queue_levels")) {
        const double t = l.at("t").get<double>();
        const bool any = l.at("high").get<uint32_t>() > 0;
        if (t < 1)
            queuedBefore += any;
        else if (t > 1.1 && t < 1.95)
            queuedDown += any;
        else if (t > 2.05)
            queuedAfter += any;
    }
    EXPECT_GT(queuedBefore, 10u);
    EXPECT_EQ(queuedDown, 0u);
    EXPECT_GT(queuedAfter, 10u);
    // The link-down window runs down over the queue's panel.
    const std::string down = ReadText(dir.File("down.svg"));
    const size_t title = down.find("Radio send queue");
    ASSERT_NE(title, std::string::npos);
    const size_t frame = down.rfind("<rect x=", title);
    const double panelBottom = std::stod(down.substr(down.find("y='", frame) + 3)) +
                               std::stod(down.substr(down.find("height='", frame) + 8));
    const size_t window = down.find("<title>link down 1.000 to 2.000 s</title>");
    ASSERT_NE(window, std::string::npos) << down.substr(0, 2000);
    const size_t rect = down.rfind("<rect x=", window);
    EXPECT_GE(std::stod(down.substr(down.find("y='", rect) + 3)) + std::stod(down.substr(down.find("height='", rect) + 8)),
              panelBottom);
}

TEST(VerdictTest, CompareShowsNoDifferenceForTheSameRunAndTheOneSettingAndTheFiguresItMoved)
{
    TempDir dir;
    auto run = [&](const std::string& name, std::vector<std::string> more) {
        std::vector<std::string> args = {"--fast", "-q", "--report", dir.File(name)};
        args.insert(args.end(), more.begin(), more.end());
        EXPECT_EQ(RunPlayer(args).exitCode, 0);
    };
    run("a.json", {});
    run("a2.json", {});
    run("b.json", {"--set", "Timer=10"});
    // A run against itself and against its repetition on the virtual clock.
    for (const char* other : {"a.json", "a2.json"}) {
        RunResult r = RunPlayer({"--compare", dir.File("a.json"), dir.File(other)});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(Has(r.out, "no difference in the settings, the verdict or the figures")) << r.out;
        EXPECT_FALSE(Has(r.out, "->")) << r.out;
    }
    // One setting: it alone among the settings, and the figures it moved.
    RunResult r = RunPlayer({"--compare", dir.File("a.json"), dir.File("b.json")});
    EXPECT_EQ(r.exitCode, 1) << r.err;
    const size_t settings = r.out.find("settings:\n"), figures = r.out.find("figures:\n");
    ASSERT_NE(settings, std::string::npos) << r.out;
    ASSERT_NE(figures, std::string::npos) << r.out;
    std::vector<std::string> settingLines;
    std::istringstream in(r.out.substr(settings, r.out.find(":\n", settings + 10) - settings));
    for (std::string line; std::getline(in, line);)
        if (line.rfind("  ", 0) == 0)
            settingLines.push_back(line.substr(2, line.find(' ', 2) - 2));
    EXPECT_EQ(settingLines, (std::vector<std::string>{"config/Timer", "config_line"})) << r.out;
    EXPECT_TRUE(Has(r.out, "20 -> 10 (-10, -50.0 %)")) << r.out;
    const std::string figureText = r.out.substr(figures);
    EXPECT_TRUE(Has(figureText, "  ticks/count ")) << r.out;
    EXPECT_TRUE(Has(figureText, "150 -> 298 (+148, +98.7 %)")) << r.out;
    EXPECT_TRUE(Has(figureText, "  ticks/interval_ms/mean ")) << r.out;
    EXPECT_FALSE(Has(r.out, "wall_seconds")) << "machine figures are left out";
    EXPECT_FALSE(Has(r.out, "timeline")) << r.out;

    // Not a report: exit 3, and which one.
    WriteText(dir.File("x.json"), "{\"a\": 1}");
    r = RunPlayer({"--compare", dir.File("a.json"), dir.File("x.json")});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_TRUE(Has(r.err, "the second file is not a player's JSON report")) << r.err;
    EXPECT_EQ(RunPlayer({"--compare", dir.File("a.json")}).exitCode, 2);
}
