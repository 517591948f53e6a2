// The player's parts on their own: command line, pacing analysis, outputs,
// output files, audio conversion, progress and report formatting.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

#include <algorithm>
#include <sndfile.h>

#include "analysis.h"
#include "audio.h"
#include "audio_files.h"
#include "diagnostics.h"
#include "options.h"
#include "outfile.h"
#include "host/host.h"
#include "progress.h"
#include "registry_setup.h"
#include "report.h"
#include "outputs.h"
#include "window.h"

using namespace player;
using player_test::TempDir;

namespace {

bool Parse(std::vector<std::string> args, Options* o, std::string* error)
{
    std::vector<char*> argv{const_cast<char*>("btwav-play")};
    for (auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    return ParseOptions(static_cast<int>(argv.size()), argv.data(), o, error);
}

}  // namespace

// ---- Command line -------------------------------------------------------------------

TEST(OptionsTest, FullCommandLineIsParsedAndActionsSorted)
{
    Options o;
    std::string error;
    ASSERT_TRUE(Parse({"--fast", "--set", "cachelen=0x1000", "--set=Timer=10", "--buffers", "3", "--buffer-size",
                       "4099", "--refill", "event", "--reset", "2s", "--link-down", "1.5s", "--pause", "500:250ms",
                       "--link-back=1800ms", "--link-delay", "0", "--reg", "a.reg", "--define", "BSP_X",
                       "--reg=b.reg", "--define", "N=2", "--strings", "board.str", "--debug", "--trace", "in.flac"},
                      &o, &error))
        << error;
    EXPECT_TRUE(o.fast);
    EXPECT_EQ(o.input, "in.flac");
    ASSERT_EQ(o.sets.size(), 2u);
    EXPECT_EQ(o.sets[0], (std::pair<std::string, uint32_t>("CacheLen", 4096)));
    EXPECT_EQ(o.sets[1], (std::pair<std::string, uint32_t>("Timer", 10)));
    EXPECT_EQ(o.buffers, 3u);
    EXPECT_EQ(o.bufferBytes, 4099u);
    EXPECT_EQ(o.refill, Refill::Event);
    EXPECT_EQ(o.linkDelayMs, 0u);
    ASSERT_EQ(o.actions.size(), 4u);
    EXPECT_EQ(o.actions[0].kind, TimedAction::Pause);
    EXPECT_EQ(o.actions[0].atMs, 500u);
    EXPECT_EQ(o.actions[0].durationMs, 250u);
    EXPECT_EQ(o.actions[1].kind, TimedAction::LinkDown);
    EXPECT_EQ(o.actions[1].atMs, 1500u);
    EXPECT_EQ(o.actions[2].kind, TimedAction::LinkBack);
    EXPECT_EQ(o.actions[3].kind, TimedAction::Reset);
    EXPECT_EQ(o.actions[3].atMs, 2000u);
    EXPECT_EQ(o.regFiles, (std::vector<std::string>{"a.reg", "b.reg"}));   // in order, none dropped
    EXPECT_EQ(o.defines, (std::vector<std::pair<std::string, std::string>>{{"BSP_X", "1"}, {"N", "2"}}));
    EXPECT_EQ(o.stringFiles, std::vector<std::string>{"board.str"});
    EXPECT_FALSE(o.registryDump);
    EXPECT_TRUE(o.debug);
    EXPECT_TRUE(o.trace);
    EXPECT_FALSE(o.StandardOutputTaken());
    ASSERT_TRUE(Parse({"--packets", "-"}, &o, &error)) << error;
    EXPECT_TRUE(o.StandardOutputTaken());
    EXPECT_FALSE(o.debug);   // both off by default
    EXPECT_FALSE(o.trace);
}

TEST(OptionsTest, TimesAcceptMillisecondsAndSeconds)
{
    uint64_t ms = 0;
    EXPECT_TRUE(ParseMilliseconds("250", &ms));
    EXPECT_EQ(ms, 250u);
    EXPECT_TRUE(ParseMilliseconds("250ms", &ms));
    EXPECT_EQ(ms, 250u);
    EXPECT_TRUE(ParseMilliseconds("1.25s", &ms));
    EXPECT_EQ(ms, 1250u);
    EXPECT_TRUE(ParseMilliseconds(".5s", &ms));
    EXPECT_EQ(ms, 500u);
    for (const char* bad : {"", "s", "ms", "-5", "+5", "5x", "1.5.2", "nan", "inf", "99999999999"})
        EXPECT_FALSE(ParseMilliseconds(bad, &ms)) << bad;
}

TEST(OptionsTest, ContradictionsAreRefused)
{
    struct Case {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"a.wav", "b.wav"}, "only one input file"},
        {{"--pause", "100:200", "--pause", "250:10"}, "overlaps the pause before it"},
        {{"--pause", "100:200", "--reset", "150"}, "falls inside a pause"},
        {{"--link-down", "1", "--link-down", "2"}, "the link is already down"},
        {{"--set", "Timer"}, "expects NAME=VALUE"},
        {{"--set", "Timer=-1"}, "is not a 32-bit unsigned number"},
        {{"--set", "Sample=4294967296"}, "is not a 32-bit unsigned number"},
        {{"--buffer-size", "67108865"}, "from 1 to 67108864"},
        {{"--refill", "poll"}, "'callback' or 'event'"},
        {{"--fast=yes"}, "takes no value"},
        {{"--wav"}, "needs a value"},
        {{"--wav", ""}, "needs a file name"},
        {{"--loop", "0"}, "from 1 to 10000"},
        {{"--plot", "t.PNG"}, "writes SVG"},
        {{"--reg", ""}, "--reg needs a file name"},
        {{"--define", "2X"}, "expects NAME or NAME=VALUE"},
        {{"--define", "A-B=1"}, "expects NAME or NAME=VALUE"},
        {{"--strings", ""}, "--strings needs a file name"},
        {{"--registry-dump=yes"}, "takes no value"},
        // Buffers are allocated up front: the total is bounded, with a loop
        // the sound's own size bounds it.
        {{"--buffers", "1024", "--buffer-size", "67108864"}, "ask for 68719476736 bytes of buffers; at most 268435456"},
        {{"--buffers", "5", "--buffer-size", "67108864"}, "at most 268435456 (256 MiB) in all"},
    };
    for (const Case& c : cases) {
        Options o;
        std::string error;
        EXPECT_FALSE(Parse(c.args, &o, &error)) << c.args[0];
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
    // After "--" a name that looks like an option is the input file.
    Options o;
    std::string error;
    EXPECT_TRUE(Parse({"--", "--odd.wav"}, &o, &error)) << error;
    EXPECT_EQ(o.input, "--odd.wav");
    EXPECT_TRUE(Parse({"--buffers", "4", "--buffer-size", "67108864"}, &o, &error)) << error;
    EXPECT_TRUE(Parse({"--loop", "2", "--buffers", "1024", "--buffer-size", "67108864"}, &o, &error)) << error;
}

// ---- Pacing analysis ------------------------------------------------------------------

namespace {

PacingInput Input(uint64_t frequency, uint32_t sample, uint32_t timer, uint32_t cacheLen)
{
    PacingInput in;
    in.config = PacingConfig{true, sample, timer, cacheLen};
    in.frequency = frequency;
    return in;
}

void Tick(PacingInput& in, uint64_t c, uint32_t posted)
{
    in.events.push_back({PlayEvent::Tick, c, 0});
    if (posted)
        in.packets.push_back({c, posted, false});
}

}  // namespace

TEST(AnalysisTest, BytesDueFollowTheDriversClockWithItsCarry)
{
    // At 1000 counts per second and 176,400 bytes per second, five ticks one
    // count apart are worth 176, 176, 176, 176 and 178 bytes.
    PacingInput in = Input(1000, 176400, 1, 6144);
    in.events.push_back({PlayEvent::Init, 0, 0});
    in.events.push_back({PlayEvent::Queued, 0, 100000});
    Tick(in, 1, 6144);
    for (uint64_t c = 2; c <= 6; ++c)
        Tick(in, c, c == 6 ? 178 : 176);
    PacingResult r = AnalysePacing(in);
    ASSERT_EQ(r.ticks.size(), 6u);
    EXPECT_TRUE(r.ticks[0].first);
    EXPECT_EQ(r.ticks[0].due, 6144u);
    const uint32_t dues[] = {176, 176, 176, 176, 178};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(r.ticks[i + 1].due, dues[i]) << i;
    EXPECT_EQ(r.underruns, 0u);
    EXPECT_EQ(r.ticks[5].queued, 100000 - 6144 - 4 * 176 - 178);
    EXPECT_EQ(r.packetDue, (std::vector<uint32_t>{6144, 176, 176, 176, 176, 178}));
    EXPECT_EQ(r.packets, 6u);
    EXPECT_EQ(r.packetMin, 176u);
    EXPECT_EQ(r.packetMax, 6144u);
}

TEST(AnalysisTest, ShortTicksBeforeTheEndAreUnderrunsAndTheLastIsNot)
{
    PacingInput in = Input(1000, 100000, 10, 500);
    in.events.push_back({PlayEvent::Init, 0, 0});
    in.events.push_back({PlayEvent::Queued, 0, 500 + 1000 + 600});
    Tick(in, 10, 500);    // first tick: CacheLen
    Tick(in, 20, 1000);   // on time, 1000 due
    Tick(in, 30, 600);    // short while more was to come
    in.events.push_back({PlayEvent::Queued, 35, 700});
    Tick(in, 40, 700);    // short, but the last audio
    Tick(in, 50, 0);      // queue empty: the pump stops
    PacingResult r = AnalysePacing(in);
    ASSERT_EQ(r.ticks.size(), 5u);
    EXPECT_FALSE(r.ticks[1].underrun);
    EXPECT_TRUE(r.ticks[2].underrun);
    EXPECT_FALSE(r.ticks[3].underrun);
    EXPECT_FALSE(r.ticks[4].underrun);
    EXPECT_EQ(r.underruns, 1u);
    EXPECT_EQ(r.underrunBytes, 400u);
}

TEST(AnalysisTest, RebaseMeansPausedTimeIsNotDue)
{
    PacingInput in = Input(1000, 100000, 10, 0);
    in.events.push_back({PlayEvent::Init, 0, 0});
    in.events.push_back({PlayEvent::Queued, 0, 1000000});
    Tick(in, 10, 0);   // CacheLen 0: nothing posted on the first tick
    Tick(in, 20, 1000);
    // Paused from 25 to 525; the restart rebases the clock.
    in.events.push_back({PlayEvent::Rebase, 525, 0});
    Tick(in, 535, 1000);
    PacingResult r = AnalysePacing(in);
    ASSERT_EQ(r.ticks.size(), 3u);
    EXPECT_EQ(r.ticks[0].due, 0u);
    EXPECT_EQ(r.ticks[2].due, 1000u);
    EXPECT_EQ(r.underruns, 0u);
    // The interval across the pause belongs to no timer run.
    EXPECT_EQ(r.intervalMs.count, 1u);
    EXPECT_DOUBLE_EQ(r.latenessMs.max, 0.0);
}

TEST(AnalysisTest, LatenessFollowsTheTimersGridAndItsSkips)
{
    PacingInput in = Input(1000, 1000, 20, 0);
    in.realClock = true;   // the real clock skips the grid points past
    in.events.push_back({PlayEvent::Init, 0, 0});
    in.events.push_back({PlayEvent::Queued, 0, 1000000});
    // Deadlines 20, 40, 60 (run at 75), 80, 100 (run at 125, so 120 is
    // skipped), 140.
    for (uint64_t c : {20, 40, 75, 80, 125, 140})
        Tick(in, c, 0);
    PacingResult r = AnalysePacing(in);
    EXPECT_EQ(r.latenessMs.count, 6u);
    EXPECT_DOUBLE_EQ(r.latenessMs.max, 25.0);
    EXPECT_NEAR(r.latenessMs.mean, 40.0 / 6, 1e-9);
    EXPECT_DOUBLE_EQ(r.intervalMs.max, 45.0);
    EXPECT_DOUBLE_EQ(r.intervalMs.min, 5.0);

    // The virtual clock skips nothing: a tick late by more than a period is
    // followed by the next at once, late by less, never early.
    PacingInput v = Input(1000, 1000, 20, 0);
    v.events.push_back({PlayEvent::Init, 0, 0});
    v.events.push_back({PlayEvent::Queued, 0, 1000000});
    for (uint64_t c : {20, 40, 90, 90, 100, 120})
        Tick(v, c, 0);
    r = AnalysePacing(v);
    EXPECT_DOUBLE_EQ(r.latenessMs.max, 30.0);
    EXPECT_DOUBLE_EQ(r.latenessMs.min, 0.0);
    EXPECT_NEAR(r.latenessMs.mean, 40.0 / 6, 1e-9);
}

TEST(AnalysisTest, LatenessAsTheClockMeasuredItWinsOverTheCounter)
{
    // A drifting counter puts the ticks off the grid; the clock's own
    // lateness is what counts.
    PacingInput in = Input(1000, 1000, 20, 0);
    in.events.push_back({PlayEvent::Init, 0, 0});
    in.events.push_back({PlayEvent::Queued, 0, 1000000});
    uint64_t late[] = {0, 0, 45000000, 0};
    uint64_t counters[] = {21, 42, 108, 127};
    for (int i = 0; i < 4; ++i) {
        PlayEvent e{PlayEvent::Tick, counters[i], 0};
        e.lateNs = static_cast<int64_t>(late[i]);
        in.events.push_back(e);
    }
    PacingResult r = AnalysePacing(in);
    EXPECT_DOUBLE_EQ(r.latenessMs.max, 45.0);
    EXPECT_DOUBLE_EQ(r.latenessMs.min, 0.0);
}

TEST(AnalysisTest, RealClockEstimatesOnlyCountShortfallsWhenTheQueueRanOut)
{
    PacingInput in = Input(1000000, 176400, 20, 3528);
    in.realClock = true;
    in.events.push_back({PlayEvent::Init, 0, 0});
    in.events.push_back({PlayEvent::Queued, 0, 3528 + 3528 + 3000});
    Tick(in, 20000, 3528);
    // 20.05 ms by the counter: the estimate is 3536, the driver posted 3528
    // with bytes to spare; then a tick that emptied the queue.
    Tick(in, 40050, 3528);
    Tick(in, 60050, 3000);
    in.events.push_back({PlayEvent::Queued, 60060, 3528});
    Tick(in, 80050, 3528);
    PacingResult r = AnalysePacing(in);
    ASSERT_EQ(r.ticks.size(), 4u);
    EXPECT_EQ(r.ticks[1].due, 3536u);
    EXPECT_FALSE(r.ticks[1].underrun);
    EXPECT_TRUE(r.ticks[2].underrun);
    EXPECT_EQ(r.underruns, 1u);
}

TEST(AnalysisTest, WithoutObservedTicksPacketsStandForThem)
{
    PacingInput in = Input(1000, 176400, 20, 6144);
    in.events.push_back({PlayEvent::Init, 0, 0});
    in.events.push_back({PlayEvent::Queued, 0, 20000});
    in.packets = {{20, 6144, false}, {40, 3528, false}, {60, 3528, true}};
    PacingResult r = AnalysePacing(in);
    EXPECT_FALSE(r.ticksObserved);
    ASSERT_EQ(r.ticks.size(), 3u);
    EXPECT_EQ(r.ticks[1].due, 3528u);
    EXPECT_EQ(r.refused, 1u);
    EXPECT_EQ(r.refusedBytes, 3528u);
    EXPECT_EQ(r.ticks[2].posted, 0u);
}

TEST(AnalysisTest, ConfigLineAndComparison)
{
    PacingConfig c;
    EXPECT_TRUE(ParseConfigLine("InitBtAudioPara: Sample 88200, Timer 5, CacheLen 0\r\n", &c));
    EXPECT_EQ(c.sample, 88200u);
    EXPECT_EQ(c.timer, 5u);
    EXPECT_EQ(c.cacheLen, 0u);
    EXPECT_FALSE(ParseConfigLine("Fail to allocate memory for INIT_CONTEXT\r\n", &c));

    std::vector<uint8_t> a{1, 2, 3, 4}, b{1, 2, 9, 4}, shortB{1, 2, 3};
    EXPECT_TRUE(CompareStreams(a, a).exact);
    EXPECT_EQ(CompareStreams(a, b).firstDifference, 2);
    Comparison s = CompareStreams(a, shortB);
    EXPECT_FALSE(s.exact);
    EXPECT_EQ(s.firstDifference, 3);
    EXPECT_EQ(s.received, 3u);

    Summary sum = Summarise({5, 1, 3, 2, 4});
    EXPECT_DOUBLE_EQ(sum.mean, 3.0);
    EXPECT_DOUBLE_EQ(sum.p99, 5.0);
    EXPECT_DOUBLE_EQ(sum.min, 1.0);
}

// ---- Output files and outputs --------------------------------------------------------

// ---- The registry dump ----------------------------------------------------------------

// The registry's keys and values, for comparing two registries.
std::vector<std::string> Listing()
{
    std::vector<std::string> out;
    for (const host::RegistryKeyView& k : host::RegistrySnapshot()) {
        std::string line = std::to_string(static_cast<int>(k.root)) + " [" + k.path + "]";
        for (const host::RegistryValueView& v : k.values) {
            line += " " + v.name + ":" + std::to_string(v.type) + "=";
            for (uint8_t b : v.data)
                line += std::to_string(b) + ".";
        }
        out.push_back(line);
    }
    return out;
}

std::vector<uint8_t> Bytes(const std::u16string& s)
{
    std::vector<uint8_t> out;
    for (char16_t c : s) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    return out;
}

TEST(RegistryDumpTest, DumpLoadsBackToTheSameRegistry)
{
    host::ResetAll();
    const std::string k = "Drivers\\BuiltIn\\WAVKELVO\\Params";
    host::RegistrySetDword(k, "Sample", 176400);
    host::RegistrySetValue(k, "Short", REG_DWORD, {1, 2, 3});
    host::RegistrySetString(k, "Quote \"and\" \\slash", "C:\\dir\\\"x\" caf\xC3\xA9");
    host::RegistrySetString(k, "", "default");
    host::RegistrySetValue(k, "List", REG_MULTI_SZ, Bytes(std::u16string(u"ab\0\0c\0\0", 7)));
    host::RegistrySetValue(k, "NoList", REG_MULTI_SZ, Bytes(std::u16string(u"\0", 1)));
    host::RegistrySetValue(k, "Unterminated", REG_SZ, Bytes(u"abc"));
    host::RegistrySetValue(k, "Newline", REG_SZ, Bytes(std::u16string(u"a\nb\0", 4)));
    host::RegistrySetValue(k, "Odd", REG_SZ, {0x41});
    host::RegistrySetValue(k, "Expand", REG_EXPAND_SZ, Bytes(std::u16string(u"%x%\0", 4)));
    host::RegistrySetValue(k, "Custom", 0x20, {});
    std::vector<uint8_t> blob;
    for (int i = 0; i < 60; ++i)
        blob.push_back(static_cast<uint8_t>(i * 7));
    host::RegistrySetValue(k, "Blob", REG_BINARY, blob);
    host::RegistryCreateKey("Empty\\Key");
    host::RegistrySetValue(host::RegRoot::CurrentUser, "ControlPanel\\Volume", "Volume", REG_DWORD, {0xFF, 0xFF, 0xFF, 0xFF});
    const std::vector<std::string> before = Listing();

    const std::string text = FormatRegistry(host::RegistrySnapshot());
    EXPECT_NE(text.find("\n[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\WAVKELVO\\Params]\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\n\"Sample\"=dword:0002b110   ; REG_DWORD 176400\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\n\"List\"=multi_sz:\"ab\",\"\",\"c\"   ; REG_MULTI_SZ\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\n\"Short\"=hex(4):01,02,03   ; REG_DWORD, 3 bytes\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\n@=\"default\"   ; REG_SZ\n"), std::string::npos) << text;
    EXPECT_LT(text.find("[HKEY_LOCAL_MACHINE\\Empty\\Key]"), text.find("[HKEY_CURRENT_USER\\ControlPanel]"));

    host::RegistryClear();
    std::string error;
    ASSERT_TRUE(host::RegistryLoadText(text, "dump.reg", &error)) << error << "\n" << text;
    EXPECT_EQ(Listing(), before) << text;
    host::ResetAll();
}

TEST(RegistryDumpTest, LoadOrderNoteOnlyWhenTheOrderIsNotFixed)
{
    host::BuiltInDriver ours{"Drivers\\BuiltIn\\WAVKELVO", "btwav.dll", "WAV", true, 1, false, 0};
    host::BuiltInDriver first{"Drivers\\BuiltIn\\Audio", "wave.dll", "WAV", true, 1, true, 10};
    host::BuiltInDriver same{"Drivers\\BuiltIn\\pl041", "pl041.dll", "WAV", false, 0, false, 0};
    const std::vector<host::BuiltInDriver> drivers = {first, same, ours};
    EXPECT_EQ(LoadOrderNote(ours, drivers, "x: the device name WAV1: is taken by Drivers\\BuiltIn\\Audio"), "");
    EXPECT_EQ(LoadOrderNote(ours, drivers, "x: the device name WAV1: is taken by Drivers\\BuiltIn\\pl041"),
              " (both have no Order: which of the two loads first is not fixed; taken here by key name)");
    ours.hasOrder = true;
    ours.order = 10;
    EXPECT_EQ(LoadOrderNote(ours, drivers, "x: the device name WAV1: is taken by Drivers\\BuiltIn\\Audio"),
              " (both have Order 10: which of the two loads first is not fixed; taken here by key name)");
}

TEST(OutputFileTest, AppearsOnlyOnCommit)
{
    TempDir dir;
    std::string error;
    {
        OutputFile f;
        ASSERT_TRUE(f.Create(dir.File("a.txt"), &error)) << error;
        ASSERT_TRUE(f.WriteAll("hello", &error));
        EXPECT_EQ(dir.Entries().size(), 1u);   // the hidden temporary
        EXPECT_NE(dir.Entries()[0], "a.txt");
    }
    EXPECT_TRUE(dir.Entries().empty());   // dropped without commit
    OutputFile f;
    ASSERT_TRUE(f.Create(dir.File("a.txt"), &error));
    ASSERT_TRUE(f.WriteAll("hello", &error));
    ASSERT_TRUE(f.Commit(&error)) << error;
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"a.txt"});
    EXPECT_EQ(player_test::ReadText(dir.File("a.txt")), "hello");

    OutputFile g;
    EXPECT_FALSE(g.Create(dir.File("missing/b.txt"), &error));
    EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
}

namespace {

bool IsLink(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// Reads a FIFO to its end on a thread of its own.
struct FifoReader {
    explicit FifoReader(const std::string& path)
        : thread([this, path] {
              int fd = open(path.c_str(), O_RDONLY);
              char buf[256];
              ssize_t n;
              while (fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0)
                  got.append(buf, static_cast<size_t>(n));
              if (fd >= 0)
                  close(fd);
          })
    {
    }
    std::string Finish()
    {
        thread.join();
        return got;
    }
    std::string got;
    std::thread thread;
};

}  // namespace

TEST(OutputFileTest, LinksAreFollowedToTheirTargetWhichIsReplaced)
{
    TempDir dir;
    std::string error;
    ASSERT_EQ(mkdir(dir.File("real").c_str(), 0755), 0);
    player_test::WriteText(dir.File("real/t.txt"), "old");
    ASSERT_EQ(chmod(dir.File("real/t.txt").c_str(), 0640), 0);
    // A chain: relative link to a relative link in another folder.
    ASSERT_EQ(symlink("real/hop", dir.File("link").c_str()), 0);
    ASSERT_EQ(symlink("t.txt", dir.File("real/hop").c_str()), 0);
    {
        OutputFile f;
        ASSERT_TRUE(f.Create(dir.File("link"), &error)) << error;
        ASSERT_TRUE(f.WriteAll("new", &error));
        EXPECT_EQ(player_test::ReadText(dir.File("real/t.txt")), "old");   // not before the commit
        ASSERT_TRUE(f.Commit(&error)) << error;
    }
    EXPECT_TRUE(IsLink(dir.File("link")));
    EXPECT_TRUE(IsLink(dir.File("real/hop")));
    EXPECT_EQ(player_test::ReadText(dir.File("real/t.txt")), "new");
    struct stat st;
    ASSERT_EQ(stat(dir.File("real/t.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);   // the replaced file keeps its permission bits
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"link", "real"}));

    // A dangling link: its target is created, the link stays.
    ASSERT_EQ(symlink(dir.File("real/new.txt").c_str(), dir.File("dangling").c_str()), 0);
    OutputFile g;
    ASSERT_TRUE(g.Create(dir.File("dangling"), &error)) << error;
    ASSERT_TRUE(g.WriteAll("created", &error));
    ASSERT_TRUE(g.Commit(&error)) << error;
    EXPECT_TRUE(IsLink(dir.File("dangling")));
    EXPECT_EQ(player_test::ReadText(dir.File("real/new.txt")), "created");

    // A link to a folder, and a loop of links, are refused.
    ASSERT_EQ(symlink("real", dir.File("folder").c_str()), 0);
    OutputFile h;
    EXPECT_FALSE(h.Create(dir.File("folder"), &error));
    EXPECT_EQ(error, "cannot write '" + dir.File("folder") + "': it is a directory");
    ASSERT_EQ(symlink("loop2", dir.File("loop1").c_str()), 0);
    ASSERT_EQ(symlink("loop1", dir.File("loop2").c_str()), 0);
    EXPECT_FALSE(h.Create(dir.File("loop1"), &error));
    EXPECT_NE(error.find("Too many levels of symbolic links"), std::string::npos) << error;
}

TEST(OutputFileTest, FifoIsWrittenInPlaceAndOnlyOnCommit)
{
    TempDir dir;
    std::string fifo = dir.File("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string error;
    {
        FifoReader reader(fifo);
        OutputFile f;
        ASSERT_TRUE(f.Create(fifo, &error)) << error;   // waits for the reader
        ASSERT_TRUE(f.WriteAll("whole ", &error));
        // The staged data is shared with a duplicate, as libsndfile gets it.
        int dup = f.ReleaseFd();
        ASSERT_GE(dup, 0);
        ASSERT_EQ(write(dup, "output", 6), 6);
        close(dup);
        ASSERT_TRUE(f.Commit(&error)) << error;
        EXPECT_EQ(reader.Finish(), "whole output");
    }
    {
        // A failed run: the reader gets nothing, not a torn file.
        FifoReader reader(fifo);
        OutputFile f;
        ASSERT_TRUE(f.Create(fifo, &error)) << error;
        ASSERT_TRUE(f.WriteAll("partial", &error));
        f.Abort();
        EXPECT_EQ(reader.Finish(), "");
    }
    struct stat st;
    ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));   // still the FIFO, never replaced
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"fifo"});
}

TEST(OutputTest, WavOutputJoinsFramesSplitAcrossPackets)
{
    TempDir dir;
    player_test::Audio noise = player_test::Noise(1000, 44100, 2, 9);
    std::vector<uint8_t> bytes(noise.samples.size() * 2);
    std::memcpy(bytes.data(), noise.samples.data(), bytes.size());
    OutputFile file;
    std::string error;
    ASSERT_TRUE(file.Create(dir.File("w.wav"), &error));
    WavOutput sink(&file);
    ASSERT_TRUE(sink.Open(&error)) << error;
    // Packets of 1, 3, 5, ... bytes: frames split every way.
    size_t at = 0;
    for (size_t n = 1; at < bytes.size(); n += 2) {
        size_t take = std::min(n, bytes.size() - at);
        sink.Take(bytes.data() + at, take);
        at += take;
    }
    EXPECT_EQ(sink.TrailingBytes(), 0u);
    ASSERT_TRUE(sink.Finish(&error)) << error;
    ASSERT_TRUE(file.Commit(&error)) << error;
    player_test::Audio back = player_test::ReadAudio(dir.File("w.wav"));
    EXPECT_EQ(back.rate, 44100);
    EXPECT_TRUE(back.samples == noise.samples);
}

TEST(OutputTest, SbcOutputWritesWholeA2dpFrames)
{
    TempDir dir;
    OutputFile file;
    std::string error;
    ASSERT_TRUE(file.Create(dir.File("s.sbc"), &error));
    SbcOutput sink(&file);
    ASSERT_TRUE(sink.Open(&error)) << error;
    EXPECT_EQ(sink.FrameLength(), 119u);   // joint stereo, 16 blocks, 8 subbands, bitpool 53
    std::vector<uint8_t> pcm(1000, 0x11);
    sink.Take(pcm.data(), 700);
    EXPECT_EQ(sink.FramesWritten(), 1u);   // 512 bytes of PCM per frame
    sink.Take(pcm.data(), 300);
    ASSERT_TRUE(sink.Finish(&error)) << error;
    EXPECT_EQ(sink.FramesWritten(), 2u);   // the rest padded into a second frame
    ASSERT_TRUE(file.Commit(&error));
    std::string data = player_test::ReadText(dir.File("s.sbc"));
    ASSERT_EQ(data.size(), 2 * 119u);
    EXPECT_EQ(static_cast<uint8_t>(data[0]), 0x9Cu);     // SBC sync word
    EXPECT_EQ(static_cast<uint8_t>(data[119]), 0x9Cu);
    EXPECT_EQ(static_cast<uint8_t>(data[2]), 53u);       // bitpool
}

// ---- Audio ------------------------------------------------------------------------------

namespace {

// Frames from memory, as a decoder hands them over.
class VectorDecoder : public Decoder {
public:
    VectorDecoder(uint32_t rate, uint32_t channels, std::vector<int16_t> samples) : samples_(std::move(samples))
    {
        info_.origin = "memory";
        info_.rate = rate;
        info_.channels = channels;
        info_.frames = static_cast<int64_t>(samples_.size() / channels);
    }
    size_t Read(void* out, size_t frames) override
    {
        size_t n = std::min(frames, (samples_.size() - at_) / info_.channels);
        std::memcpy(out, samples_.data() + at_, n * info_.channels * 2);
        at_ += n * info_.channels;
        return n;
    }

private:
    std::vector<int16_t> samples_;
    size_t at_ = 0;
};

// Everything a stream gives, read in pieces of `piece` bytes.
std::vector<int16_t> ReadAll(DeviceStream& s, size_t piece = 4096)
{
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> buf(piece);
    for (size_t n; (n = s.Read(buf.data(), buf.size())) > 0;)
        bytes.insert(bytes.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n));
    std::vector<int16_t> out(bytes.size() / 2);
    std::memcpy(out.data(), bytes.data(), out.size() * 2);
    return out;
}

}  // namespace

TEST(AudioTest, MonoIsCopiedAndMoreChannelsAreMixedDown)
{
    std::string note, error;
    DeviceStream mono;
    ASSERT_TRUE(mono.Open(std::unique_ptr<Decoder>(new VectorDecoder(44100, 1, {1000, -2000, 3000})), &note, &error))
        << error;
    EXPECT_EQ(ReadAll(mono), (std::vector<int16_t>{1000, 1000, -2000, -2000, 3000, 3000}));
    EXPECT_NE(note.find("mono copied to both channels"), std::string::npos) << note;

    // Three channels (left, right, centre): the centre reaches both sides,
    // nothing is simply dropped.
    DeviceStream three;
    std::vector<int16_t> in;
    for (int i = 0; i < 100; ++i)
        in.insert(in.end(), {0, 0, 8000});
    ASSERT_TRUE(three.Open(std::unique_ptr<Decoder>(new VectorDecoder(44100, 3, in)), &note, &error)) << error;
    std::vector<int16_t> out = ReadAll(three);
    ASSERT_EQ(out.size(), 200u);
    EXPECT_GT(out[100], 2000);
    EXPECT_EQ(out[100], out[101]);
    EXPECT_NE(note.find("3 channels"), std::string::npos) << note;
}

TEST(AudioTest, RatesOutsideTheConvertersRangeAreRefused)
{
    SourceInfo slow;
    slow.rate = 100;
    slow.channels = 1;
    std::string why;
    EXPECT_FALSE(CanConvert(slow, &why));
    EXPECT_NE(why.find("not 100 Hz"), std::string::npos) << why;
    slow.rate = 8000;
    EXPECT_TRUE(CanConvert(slow, &why));
    std::string note, error;
    DeviceStream s;
    EXPECT_FALSE(s.Open(std::unique_ptr<Decoder>(new VectorDecoder(100, 1, {1, 2})), &note, &error));
    EXPECT_NE(error.find("cannot convert 'memory'"), std::string::npos) << error;
}

TEST(AudioTest, StreamReadsTheSameWhateverThePieceSize)
{
    // A resampled stream read in odd pieces equals the same stream read whole:
    // the chunking never shows in the output.
    player_test::Audio sine = player_test::Sine(20000, 22050, 2, 440.0, 0.5);
    std::string note, error;
    DeviceStream a, b;
    ASSERT_TRUE(a.Open(std::unique_ptr<Decoder>(new VectorDecoder(22050, 2, sine.samples)), &note, &error));
    ASSERT_TRUE(b.Open(std::unique_ptr<Decoder>(new VectorDecoder(22050, 2, sine.samples)), &note, &error));
    std::vector<int16_t> whole = ReadAll(a, 1 << 20), pieces = ReadAll(b, 36);
    EXPECT_TRUE(whole == pieces);
    EXPECT_NEAR(static_cast<double>(whole.size() / 2), 40000.0, 2.0);
}

TEST(AudioTest, BuiltInSoundIsTheSameEveryTimeWithDistinctSides)
{
    std::string note, error;
    DeviceStream a, b;
    ASSERT_TRUE(a.Open(BuiltInSound(), &note, &error));
    ASSERT_TRUE(b.Open(BuiltInSound(), &note, &error));
    EXPECT_EQ(note, "");
    std::vector<int16_t> x = ReadAll(a, 4000), y = ReadAll(b, 777 * 4);
    EXPECT_TRUE(x == y);
    ASSERT_EQ(x.size(), 2u * 3 * 44100);
    EXPECT_EQ(x[0], 0);   // faded in
    int differ = 0, peak = 0;
    for (size_t i = 0; i < x.size() / 2; ++i) {
        differ += x[2 * i] != x[2 * i + 1];
        peak = std::max({peak, std::abs(x[2 * i]), std::abs(x[2 * i + 1])});
    }
    EXPECT_GT(differ, static_cast<int>(x.size() / 4));
    EXPECT_LE(peak, 13107);   // 0.4 of full scale
    EXPECT_GT(peak, 13000);
    // Between the 10 ms fades every sample is the formula's: 0.4 of full
    // scale, 440 Hz on the left and 660 Hz on the right, phases on the
    // rate's grid.
    const double kPi = 3.14159265358979323846;
    size_t wrong = 0;
    for (size_t k = 441; k + 441 < x.size() / 2; ++k) {
        long left = std::lround(0.4 * std::sin(2 * kPi * static_cast<double>(k * 440 % 44100) / 44100) * 32767.0);
        long right = std::lround(0.4 * std::sin(2 * kPi * static_cast<double>(k * 660 % 44100) / 44100) * 32767.0);
        wrong += x[2 * k] != left || x[2 * k + 1] != right;
    }
    EXPECT_EQ(wrong, 0u);
    // A longer sound has the same start.
    DeviceStream c;
    ASSERT_TRUE(c.Open(BuiltInSound(10 * 44100), &note, &error));
    std::vector<int16_t> z = ReadAll(c);
    ASSERT_EQ(z.size(), 2u * 10 * 44100);
    EXPECT_TRUE(std::equal(x.begin(), x.begin() + 2 * 44100, z.begin()));
}

TEST(AudioTest, FlacIsReadThroughLibsndfile)
{
    TempDir dir;
    player_test::Audio noise = player_test::Noise(5000, 44100, 2, 11);
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 2;
    info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(dir.File("n.flac").c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr);
    sf_writef_short(f, noise.samples.data(), 5000);
    sf_close(f);
    std::string error, note;
    std::unique_ptr<Decoder> d = OpenAudioFile(dir.File("n.flac"), &error);
    ASSERT_NE(d, nullptr) << error;
    EXPECT_EQ(d->Info().rate, 44100u);
    EXPECT_EQ(d->Info().bits, 16u);
    EXPECT_NE(d->Info().format.find("FLAC"), std::string::npos) << d->Info().format;
    EXPECT_FALSE(NeedsConversion(d->Info()));
    DeviceStream s;
    ASSERT_TRUE(s.Open(std::move(d), &note, &error));
    EXPECT_TRUE(ReadAll(s) == noise.samples);
    EXPECT_TRUE(s.Info().notes.empty());
}

// ---- Window and running comparison ------------------------------------------------------

TEST(WindowTest, KeepsOnlyWhatTheHeadsetHasNotReachedAndComparesAsItArrives)
{
    std::string note, error;
    DeviceStream s;
    ASSERT_TRUE(s.Open(BuiltInSound(44100 * 60), &note, &error));
    DeviceStream ref;
    ASSERT_TRUE(ref.Open(BuiltInSound(44100 * 60), &note, &error));
    SoundWindow w(&s);
    std::vector<uint8_t> buf(8192), expect(8192);
    uint64_t at = 0;
    for (;;) {
        size_t n = 0;
        ASSERT_TRUE(w.Copy(at, buf.data(), buf.size(), &n, &error)) << error;
        if (n == 0)
            break;
        ASSERT_EQ(ref.Read(expect.data(), n), n);
        EXPECT_EQ(std::memcmp(buf.data(), expect.data(), n), 0);
        w.Receive(buf.data(), n);
        at += n;
    }
    EXPECT_EQ(w.Length(), static_cast<int64_t>(44100 * 60 * 4));
    EXPECT_TRUE(w.Result().exact);
    // A minute of sound passed through, never more than a few chunks kept.
    EXPECT_LT(w.PeakKept(), 256u * 1024);
    // The headset has passed byte 0: going back there is an error.
    size_t n = 0;
    EXPECT_FALSE(w.Copy(0, buf.data(), 4, &n, &error));
}

TEST(WindowTest, GrowsWhileTheHeadsetLagsAndGoesBackForAReset)
{
    // The player runs 1 MB ahead of the headset (the ring must grow), then a
    // reset takes it back to where the headset stands: the bytes there are
    // the same as the first time.
    std::string note, error;
    DeviceStream s, ref;
    ASSERT_TRUE(s.Open(BuiltInSound(44100 * 20), &note, &error));
    ASSERT_TRUE(ref.Open(BuiltInSound(44100 * 20), &note, &error));
    std::vector<uint8_t> sound(44100 * 20 * 4);
    ASSERT_EQ(ref.Read(sound.data(), sound.size()), sound.size());
    SoundWindow w(&s);
    std::vector<uint8_t> buf(6000);
    size_t n = 0;
    uint64_t at = 0;
    for (; at < (1u << 20); at += n) {
        ASSERT_TRUE(w.Copy(at, buf.data(), buf.size(), &n, &error)) << error;
        ASSERT_EQ(std::memcmp(buf.data(), sound.data() + at, n), 0) << at;
    }
    w.Receive(sound.data(), 300000);
    EXPECT_GE(w.PeakKept(), 1u << 20);
    ASSERT_TRUE(w.Copy(300000, buf.data(), buf.size(), &n, &error)) << error;
    EXPECT_EQ(std::memcmp(buf.data(), sound.data() + 300000, n), 0);
    // Then on to the end, the headset following.
    for (at = 300000; w.Copy(at, buf.data(), buf.size(), &n, &error) && n > 0; at += n) {
        ASSERT_EQ(std::memcmp(buf.data(), sound.data() + at, n), 0) << at;
        w.Receive(buf.data(), n);
    }
    EXPECT_EQ(at, sound.size());
    EXPECT_TRUE(w.Result().exact);
}

TEST(WindowTest, ReportsTheFirstDifferenceAndLengthMismatches)
{
    std::string note, error;
    DeviceStream s;
    ASSERT_TRUE(s.Open(BuiltInSound(1000), &note, &error));
    SoundWindow w(&s);
    std::vector<uint8_t> buf(4000);
    size_t n = 0;
    ASSERT_TRUE(w.Copy(0, buf.data(), buf.size(), &n, &error));
    ASSERT_EQ(n, 4000u);
    w.Receive(buf.data(), 1000);
    buf[1234] ^= 1;
    w.Receive(buf.data() + 1000, 500);
    w.Receive(buf.data() + 1500, 2500);
    Comparison c = w.Result();
    EXPECT_FALSE(c.exact);
    EXPECT_EQ(c.firstDifference, 1234);
    EXPECT_EQ(c.received, 4000u);

    // A loop's stream is the sound once per pass; a short stream differs
    // where it ends.
    DeviceStream t;
    ASSERT_TRUE(t.Open(BuiltInSound(1000), &note, &error));
    SoundWindow loop(&t);
    ASSERT_TRUE(loop.KeepWhole(3, &error));
    ASSERT_TRUE(loop.Copy(0, buf.data(), buf.size(), &n, &error));
    for (int pass = 0; pass < 3; ++pass)
        for (size_t i = 0; i < 4000; i += 1000)
            loop.Receive(buf.data() + i, 1000);
    EXPECT_TRUE(loop.Result().exact);
    EXPECT_EQ(loop.Result().expected, 12000u);

    RunningComparison r;
    r.Compare(buf.data(), buf.data(), 100);
    EXPECT_EQ(r.Result(150).firstDifference, 100);
    r.Extra(60);
    EXPECT_EQ(r.Result(150).firstDifference, 150);
}

TEST(AnalysisTest, TimelineOfAHundredThousandTicksStaysBoundedAndCountsAll)
{
    PacingAnalyser a(1000, false, false);
    a.SetConfig(PacingConfig{true, 100000, 10, 0});
    std::vector<std::pair<uint32_t, uint32_t>> lines;
    a.SetPacketLine([&](const PacketInfo& p, uint32_t due) {
        if (lines.size() < 3)
            lines.push_back({p.bytes, due});
    });
    a.Add({PlayEvent::Init, 0, 0});
    a.Add({PlayEvent::Queued, 0, 2000000000});
    for (uint64_t t = 1; t <= 100000; ++t) {
        a.Add({PlayEvent::Tick, t * 10, 0});
        a.AddPacket({t * 10, t == 1 ? 0u : 1000u, false});
    }
    PacingResult r = a.Finish();
    EXPECT_EQ(r.tickCount, 100000u);
    EXPECT_LE(r.ticks.size(), 8192u);
    EXPECT_GE(r.ticks.size(), 4096u);
    ASSERT_GT(r.timelineEvery, 1u);
    for (size_t i = 1; i < r.ticks.size(); ++i)
        ASSERT_EQ(r.ticks[i].tick - r.ticks[i - 1].tick, r.timelineEvery);
    EXPECT_EQ(r.underruns, 0u);
    EXPECT_EQ(r.intervalMs.count, 99999u);
    EXPECT_DOUBLE_EQ(r.intervalMs.p99, 10.0);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], (std::pair<uint32_t, uint32_t>{1000, 1000}));
}

TEST(AnalysisTest, ShortTickBecomesAnUnderrunOnlyWhenAudioFollows)
{
    // Fed one event at a time: a short tick is judged when later packets
    // show whether audio still came.
    PacingAnalyser a(1000, false, false);
    a.SetConfig(PacingConfig{true, 100000, 10, 0});
    a.Add({PlayEvent::Init, 0, 0});
    a.Add({PlayEvent::Queued, 0, 1500});
    a.Add({PlayEvent::Tick, 10, 0});   // first tick, CacheLen 0
    a.Add({PlayEvent::Tick, 20, 0});
    a.AddPacket({20, 600, false});     // 1000 due: short
    a.Add({PlayEvent::Queued, 25, 5000});
    a.Add({PlayEvent::Tick, 30, 0});
    a.AddPacket({30, 1000, false});    // audio came after it: the short tick was an underrun
    a.Add({PlayEvent::Tick, 40, 0});
    a.AddPacket({40, 900, false});     // short, but nothing follows
    PacingResult r = a.Finish();
    EXPECT_EQ(r.underruns, 1u);
    EXPECT_EQ(r.underrunBytes, 400u);
    ASSERT_EQ(r.ticks.size(), 4u);
    EXPECT_TRUE(r.ticks[1].underrun);
    EXPECT_FALSE(r.ticks[3].underrun);
}

TEST(AnalysisTest, DistributionStaysExactForFewValuesAndBoundedForMany)
{
    Distribution d;
    for (int i = 0; i < 1000; ++i)
        d.Add(20.0);
    d.Add(20.5);
    Summary s = d.Get();
    EXPECT_EQ(s.count, 1001u);
    EXPECT_DOUBLE_EQ(s.p99, 20.0);
    EXPECT_DOUBLE_EQ(s.max, 20.5);

    // 100,000 distinct values: the percentile is within the grid's step and
    // the extremes are exact.
    Distribution many;
    for (int i = 0; i < 100000; ++i)
        many.Add(i * 0.001);
    Summary m = many.Get();
    EXPECT_EQ(m.count, 100000u);
    EXPECT_DOUBLE_EQ(m.max, 99.999);
    EXPECT_DOUBLE_EQ(m.min, 0.0);
    EXPECT_NEAR(m.p99, 98.999, many.Resolution() + 1e-9);
    EXPECT_LT(many.Resolution(), 0.1);
}

// ---- Progress and report ---------------------------------------------------------------

TEST(ProgressTest, PlainLinesAtEachTenthAndABarOnATerminal)
{
    FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    Progress p(f, false, 2.0);
    for (double s = 0; s <= 2.0; s += 0.05)
        p.Update(s);
    p.Finish(2.0);
    std::rewind(f);
    char line[128];
    int lines = 0;
    std::string last;
    while (std::fgets(line, sizeof line, f)) {
        ++lines;
        last = line;
    }
    std::fclose(f);
    EXPECT_EQ(lines, 11);
    EXPECT_EQ(last, "position 2.00 s of 2.00 s (100%)\n");
    Progress bar(nullptr, true, 4.0);
    EXPECT_EQ(bar.Bar(1.0), "[##########------------------------------]    1.00 / 4.00 s  25%");
}

TEST(ProgressTest, MessagesNeverShareTheBarsLine)
{
    FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    {
        Progress bar(f, true, 4.0);
        bar.Update(1.0);
        ConsoleLine(f, "a message");   // ends the bar's line first
        bar.Update(1.0);                // the same position is drawn again below it
        EndProgressLine();
        EndProgressLine();              // once only
        ConsoleLine(f, "btwav-play: interrupted");
    }
    std::rewind(f);
    std::string text;
    char buf[256];
    while (std::fgets(buf, sizeof buf, f))
        text += buf;
    std::fclose(f);
    const std::string bar = "[##########------------------------------]    1.00 / 4.00 s  25%";
    EXPECT_EQ(text, "\r" + bar + "\na message\n\r" + bar + "\nbtwav-play: interrupted\n");
}

TEST(DiagnosticsTest, DebugAndTraceLinesCarryTimeThreadAndNames)
{
    EXPECT_EQ(diagnostics::FormatDebug(1.5, "timer", "InitBtAudioPara: Sample 176400, Timer 20, CacheLen 6144"),
              "[   1.500000 s timer   ] debug: InitBtAudioPara: Sample 176400, Timer 20, CacheLen 6144");
    host::WaveMessageRecord write{1, 0, 9, 0x1000, 48, true, 0};
    EXPECT_EQ(diagnostics::FormatTrace(0.02, "main", write),
              "[   0.020000 s main    ] wave: WODM_WRITE device 0 (0x1000, 0x30) -> MMSYSERR_NOERROR");
    host::WaveMessageRecord count{1, 0, 3, 0, 0, true, 1};
    EXPECT_NE(diagnostics::FormatTrace(0, "main", count).find("WODM_GETNUMDEVS device 0 (0x0, 0x0) -> 1 device"),
              std::string::npos);
    host::WaveMessageRecord faulted{1, 0, 13, 0, 12, false, 0};
    EXPECT_NE(diagnostics::FormatTrace(0, "main", faulted).find("WODM_GETPOS device 0 (0x0, 0xc) -> no result"),
              std::string::npos);
    EXPECT_EQ(diagnostics::ResultName(33), "WAVERR_STILLPLAYING");
    EXPECT_EQ(diagnostics::ResultName(99), "99");
    EXPECT_EQ(diagnostics::MessageName(12), "WODM_RESET");
    EXPECT_EQ(diagnostics::MessageName(200), "message 200");
}

TEST(ReportTest, TextAndJsonSayWhatWentWrong)
{
    Report r;
    r.source = "a \"quoted\"\tname";
    r.sourceFormat = "WAV";
    r.clock = "virtual";
    r.comparison = CompareStreams({1, 2, 3}, {1, 2});
    r.pacing.underruns = 2;
    r.pacing.underrunBytes = 100;
    std::string text = FormatText(r);
    EXPECT_NE(text.find("bit-exact       NO, first difference at byte 2"), std::string::npos) << text;
    EXPECT_NE(text.find("underruns       2 ticks (100 bytes short)"), std::string::npos) << text;
    std::string json = FormatJson(r);
    EXPECT_NE(json.find("\"source\": \"a \\\"quoted\\\"\\tname\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"bit_exact\": false"), std::string::npos);
    EXPECT_NE(json.find("\"first_difference\": 2"), std::string::npos);
    EXPECT_EQ(JsonEscape(std::string("\x01", 1)), "\\u0001");
}

// ---- Late ticks --------------------------------------------------------------------

host::LateTick LateAt(uint64_t deadlineMs, uint64_t startMs, uint64_t endMs)
{
    host::LateTick t;
    t.deadlineNs = deadlineMs * 1000000;
    t.startNs = startMs * 1000000;
    t.endNs = endMs * 1000000;
    return t;
}

// The probe saw a tick's stall when the time it was held up itself within
// the tick's late stretch, counted only where the timer thread did not run,
// leaves the tick no more than the threshold late; only the probes on the
// CPUs the tick ran on count.
TEST(LateTickTest, TheProbeSawOnlyWhatItsOwnHoldUpsExplain)
{
    host::TickAuditResult a;
    a.ran = true;
    a.settings.thresholdNs = 5000000;
    // Not scheduled for 5.5 ms; the probe, following the tick, was held up
    // from 1 ms after the deadline to its start: seen.
    host::LateTick stall = LateAt(1000, 1005, 1006);
    stall.startNs -= 500000;
    stall.ranNs = 50000;
    a.late.push_back(stall);
    a.probeLate.push_back({1001000000, 4500000});
    // 8 ms asleep on a lock the probe does not know; a 1.2 ms hold-up of the
    // probe in the stretch does not explain it.
    host::LateTick blocked = LateAt(2000, 2000, 2008);
    blocked.ranNs = 100000;
    a.late.push_back(blocked);
    a.probeLate.push_back({2002000000, 1200000});
    // 7 ms of the tick's own work: the probe, behind it on the same CPU at
    // the same priority, was held up all that time, yet the machine ran the
    // tick; its hold-up counts only for the 1 ms the tick did not run.
    host::LateTick work = LateAt(3000, 3000, 3007);
    work.ranNs = 6000000;
    a.late.push_back(work);
    a.probeLate.push_back({3001000000, 6000000});
    // Hold-ups of under 1 ms each, while the probe watched the tick every
    // 0.5 ms, add up: 10 of 0.45 ms in a tick 6 ms late.
    host::LateTick many = LateAt(4000, 4000, 4006);
    many.ranNs = 200000;
    a.late.push_back(many);
    for (uint64_t k = 0; k < 10; ++k)
        a.probeLate.push_back({4001000000 + k * 500000, 450000});
    // Not scheduled for 8 ms on CPU 1: the probe on CPU 0 was held up all
    // that time, the one on CPU 1 only 2 ms (twice, overlapping, counted
    // once): the machine held up the other CPU, not this tick's.
    host::LateTick elsewhere = LateAt(5000, 5008, 5008);
    elsewhere.startCpu = elsewhere.endCpu = 1;
    a.late.push_back(elsewhere);
    a.probeLate.push_back({5001000000, 7000000, 0});
    a.probeLate.push_back({5001000000, 2000000, 1});
    a.probeLate.push_back({5002000000, 1000000, 1});
    // The same on CPU 0: seen.
    host::LateTick there = elsewhere;
    there.deadlineNs += 1000000000;
    there.startNs += 1000000000;
    there.endNs += 1000000000;
    there.startCpu = there.endCpu = 0;
    a.late.push_back(there);
    a.probeLate.push_back({6001000000, 7000000, 0});
    a.lateTicks = a.late.size();

    LateTickReport r = ExplainLateTicks(a, 0);
    ASSERT_EQ(r.lines.size(), 6u);
    EXPECT_FALSE(r.lines[4].probeSaw);
    EXPECT_DOUBLE_EQ(r.lines[4].probeHeldMs, 2.0);
    EXPECT_TRUE(r.lines[5].probeSaw);
    EXPECT_DOUBLE_EQ(r.lines[5].probeHeldMs, 7.0);
    EXPECT_TRUE(r.lines[0].probeSaw);
    EXPECT_DOUBLE_EQ(r.lines[0].probeHeldMs, 4.5);
    EXPECT_FALSE(r.lines[1].probeSaw);
    EXPECT_DOUBLE_EQ(r.lines[1].probeHeldMs, 1.2);
    EXPECT_FALSE(r.lines[2].probeSaw);
    EXPECT_TRUE(r.lines[3].probeSaw);
    EXPECT_NEAR(r.lines[3].probeHeldMs, 4.5, 1e-9);
    EXPECT_EQ(r.unseenByProbe, 3u);
}

TEST(LateTickTest, EachLateTickGetsTheCauseThatTookMostOfItsTime)
{
    host::TickAuditResult a;
    a.ran = true;
    a.settings.thresholdNs = 5000000;
    a.ticks = 1000;
    a.lateTicks = 4;
    const uint64_t origin = 1000 * 1000000ull;
    // Not scheduled for 9 ms, while the probe was late too.
    a.late.push_back(LateAt(2000, 2009, 2010));
    a.probeLate.push_back({2001000000, 8000000});
    // 30 ms waiting for the stream lock, held by the thread with id 7.
    host::LateTick lock = LateAt(3000, 3000, 3031);
    lock.parts.ns[static_cast<unsigned>(host::TickPart::Lock)] = 30000000;
    lock.parts.lockHolder = 7;
    a.late.push_back(lock);
    // The tick after it: late only because that one was still running.
    host::LateTick after = LateAt(3020, 3031, 3032);
    after.overrunNs = 11000000;
    after.previous = lock.parts;
    a.late.push_back(after);
    // 12 ms in the post, 1 ms in the callback.
    host::LateTick post = LateAt(4000, 4000, 4014);
    post.parts.ns[static_cast<unsigned>(host::TickPart::Post)] = 12000000;
    post.parts.ns[static_cast<unsigned>(host::TickPart::Callback)] = 1000000;
    a.late.push_back(post);

    LateTickReport r = ExplainLateTicks(a, origin);
    ASSERT_TRUE(r.audited);
    ASSERT_EQ(r.lines.size(), 4u);
    EXPECT_EQ(r.lines[0].cause, "not_scheduled");
    EXPECT_TRUE(r.lines[0].probeSaw);
    EXPECT_DOUBLE_EQ(r.lines[0].t, 1.0);
    EXPECT_DOUBLE_EQ(r.lines[0].lateMs, 10.0);
    EXPECT_EQ(r.lines[1].cause, "stream_lock");
    EXPECT_EQ(r.lines[1].lockHolder, "thread 7");
    EXPECT_FALSE(r.lines[1].probeSaw);
    EXPECT_EQ(r.lines[2].cause, "stream_lock");
    EXPECT_TRUE(r.lines[2].afterPrevious);
    EXPECT_DOUBLE_EQ(r.lines[2].previousMs, 11.0);
    EXPECT_EQ(r.lines[3].cause, "post");
    EXPECT_DOUBLE_EQ(r.lines[3].workMs, 1.0);
    EXPECT_EQ(r.byCause["stream_lock"], 2u);
    EXPECT_EQ(r.unseenByProbe, 3u);
    EXPECT_DOUBLE_EQ(r.maxLateMs, 31.0);

    // The report lists them, for people and for programs.
    Report rep;
    rep.lateTicks = r;
    std::string text = FormatText(rep);
    EXPECT_NE(text.find("late ticks      4 of 1000 ticks ended more than 5.0 ms after their deadline"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("waiting for the stream lock (held by thread 7)"), std::string::npos) << text;
    std::string json = FormatJson(rep);
    EXPECT_NE(json.find("\"by_cause\": {\"not_scheduled\": 1, \"post\": 1, \"stream_lock\": 2}"), std::string::npos)
        << json;
    EXPECT_NE(json.find("\"unseen_by_probe\": 3"), std::string::npos);
    std::string svg = FormatSvg(rep);
    EXPECT_NE(svg.find("late tick at 2.000 s, 31.0 ms: waiting for the stream lock"), std::string::npos);
}
