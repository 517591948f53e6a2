// The player end to end, in fast mode: the binary boots the host, plays
// through the wave API and the driver, and the files it writes are read back
// here and compared with the inputs made here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>

#include "audio_files.h"

using namespace player_test;

namespace {

// 99,991 frames (a prime): 399,964 bytes, no multiple of any buffer size used.
const size_t kOddFrames = 99991;

std::vector<int16_t> Repeat(const std::vector<int16_t>& v, int times)
{
    std::vector<int16_t> out;
    for (int i = 0; i < times; ++i)
        out.insert(out.end(), v.begin(), v.end());
    return out;
}

struct Packet {
    double t;
    unsigned bytes;
    unsigned due;
};

std::vector<Packet> ReadPacketLog(const std::string& path)
{
    std::vector<Packet> out;
    std::istringstream in(ReadText(path));
    std::string line;
    std::getline(in, line);   // header
    while (std::getline(in, line)) {
        Packet p{};
        unsigned refused = 0;
        if (std::sscanf(line.c_str(), "%lf,%u,%u,%u", &p.t, &p.bytes, &p.due, &refused) == 4)
            out.push_back(p);
    }
    return out;
}

// A Sun .au file as sbcdec writes it: 16-bit big-endian linear PCM.
Audio ReadAu(const std::string& path)
{
    Audio a;
    std::string d = ReadText(path);
    auto be32 = [&](size_t at) {
        return (uint32_t(uint8_t(d[at])) << 24) | (uint32_t(uint8_t(d[at + 1])) << 16) |
               (uint32_t(uint8_t(d[at + 2])) << 8) | uint32_t(uint8_t(d[at + 3]));
    };
    if (d.size() < 24 || d.compare(0, 4, ".snd") != 0 || be32(12) != 3) {
        ADD_FAILURE() << path << " is not 16-bit linear .au";
        return a;
    }
    a.rate = static_cast<int>(be32(16));
    a.channels = static_cast<int>(be32(20));
    for (size_t i = be32(4); i + 1 < d.size(); i += 2)
        a.samples.push_back(static_cast<int16_t>((uint8_t(d[i]) << 8) | uint8_t(d[i + 1])));
    return a;
}

}  // namespace

// ---- Bit-exact delivery --------------------------------------------------------------

TEST(PlayerTest, NoiseOfOddLengthArrivesBitExact)
{
    TempDir dir;
    Audio noise = Noise(kOddFrames, 44100, 2, 1);
    WriteWav(dir.File("noise.wav"), noise);
    Played p = Play(dir, dir.File("noise.wav"), {"--packets", dir.File("packets.csv")});

    EXPECT_EQ(p.wav.rate, 44100);
    EXPECT_EQ(p.wav.channels, 2);
    EXPECT_TRUE(p.wav.samples == noise.samples) << "received " << p.wav.samples.size() << " samples";
    EXPECT_EQ(JsonAt(p.json, "/bit_exact"), "true");
    EXPECT_EQ(JsonAt(p.json, "/bytes_received"), std::to_string(kOddFrames * 4));
    EXPECT_EQ(JsonAt(p.json, "/converted"), "false");
    EXPECT_NE(p.run.out.find("bit-exact       yes"), std::string::npos) << p.run.out;

    // The packet log adds up to the stream, and with four 8 KiB buffers the
    // queue never ran short: every packet but the last carried what was due.
    std::vector<Packet> log = ReadPacketLog(dir.File("packets.csv"));
    ASSERT_GT(log.size(), 10u);
    uint64_t sum = 0;
    for (const Packet& pk : log)
        sum += pk.bytes;
    EXPECT_EQ(sum, kOddFrames * 4);
    EXPECT_EQ(log.front().bytes, 6144u);   // the first tick's CacheLen
    for (size_t i = 0; i + 1 < log.size(); ++i)
        EXPECT_EQ(log[i].bytes, log[i].due) << "packet " << i;
    EXPECT_EQ(JsonAt(p.json, "/underruns/count"), "0");
}

struct Layout {
    const char* name;
    std::vector<std::string> options;
    bool starves;   // too little is queued for a tick's due
};

class BufferLayoutTest : public ::testing::TestWithParam<Layout> {};

TEST_P(BufferLayoutTest, ArrivesBitExact)
{
    TempDir dir;
    Audio noise = Noise(kOddFrames, 44100, 2, 2);
    WriteWav(dir.File("noise.wav"), noise);
    // A layout that starves is heard with gaps; bit-exact all the same.
    std::vector<std::string> options = GetParam().options;
    if (GetParam().starves)
        options.insert(options.end(), {"--allow", "gaps"});
    Played p = Play(dir, dir.File("noise.wav"), options);
    EXPECT_TRUE(p.wav.samples == noise.samples) << "received " << p.wav.samples.size() << " samples";
    EXPECT_EQ(JsonAt(p.json, "/bit_exact"), "true");
    std::string underruns = p.json.substr(p.json.find("\"underruns\""), 40);
    if (GetParam().starves)
        EXPECT_EQ(underruns.find("\"count\": 0,"), std::string::npos) << underruns;
}

INSTANTIATE_TEST_SUITE_P(
    Buffers, BufferLayoutTest,
    ::testing::Values(Layout{"TwoSmall", {"--buffers", "2", "--buffer-size", "1000"}, true},
                      Layout{"ThreeOddSized", {"--buffers", "3", "--buffer-size", "4099"}, false},
                      Layout{"EightTiny", {"--buffers", "8", "--buffer-size", "510"}, true},
                      Layout{"ThreeByCallback", {"--buffers", "3", "--buffer-size", "5000", "--refill", "callback"}, false},
                      Layout{"OneHuge", {"--buffers", "1", "--buffer-size", "1000000"}, false}),
    [](const ::testing::TestParamInfo<Layout>& info) { return std::string(info.param.name); });

TEST(PlayerTest, ConvertsA48kMonoFileAfterTheQueryRefusesIt)
{
    TempDir dir;
    const size_t frames = 72000;   // 1.5 s
    WriteWav(dir.File("mono48.wav"), Sine(frames, 48000, 1, 1000.0, 0.5));
    Played p = Play(dir, dir.File("mono48.wav"), {});

    EXPECT_EQ(JsonAt(p.json, "/format_query_refused"), "true");
    EXPECT_EQ(JsonAt(p.json, "/converted"), "true");
    EXPECT_NE(JsonAt(p.json, "/conversion").find("48000 Hz resampled to 44100 Hz"), std::string::npos);
    EXPECT_NE(p.run.out.find("WAVE_FORMAT_QUERY refused it"), std::string::npos) << p.run.out;
    // The player writes the file's own 48 kHz mono; the wave mapper
    // converts, so what arrives is not what was written: not judged.
    EXPECT_EQ(JsonAt(p.json, "/converted_by"), "\"mapper\"");
    EXPECT_NE(JsonAt(p.json, "/conversion").find("(48000 Hz mono 16-bit to 44100 Hz stereo 16-bit on device 1)"),
              std::string::npos)
        << p.json;
    EXPECT_EQ(JsonAt(p.json, "/bit_exact"), "null");
    EXPECT_EQ(p.run.exitCode, 0);

    // 1.5 s at 44.1 kHz, the mono signal on both sides, and still a clean
    // 1 kHz sine: fit one by least squares and measure what is left.
    ASSERT_EQ(p.wav.channels, 2);
    EXPECT_NEAR(static_cast<double>(p.wav.Frames()), 66150.0, 2.0);
    const size_t skip = 2000;   // the converter's edges
    for (size_t i = skip; i + skip < p.wav.Frames(); ++i)
        EXPECT_EQ(p.wav.samples[2 * i], p.wav.samples[2 * i + 1]) << i;
    ToneFit fit = FitTone(p.wav, 1000.0, skip);
    EXPECT_GT(fit.snrDb, 60.0);
    EXPECT_NEAR(fit.amplitude, 0.5 * 32767, 100);
}

// ---- Transport ------------------------------------------------------------------------

TEST(PlayerTest, LoopPlaysTheSoundNTimes)
{
    TempDir dir;
    Audio noise = Noise(20011, 44100, 2, 3);
    WriteWav(dir.File("noise.wav"), noise);
    Played p = Play(dir, dir.File("noise.wav"), {"--loop", "3", "--buffer-size", "7000"});
    EXPECT_TRUE(p.wav.samples == Repeat(noise.samples, 3)) << "received " << p.wav.samples.size() << " samples";
    EXPECT_EQ(JsonAt(p.json, "/bit_exact"), "true");
    EXPECT_EQ(JsonAt(p.json, "/bytes_written"), std::to_string(20011 * 4));
    EXPECT_EQ(JsonAt(p.json, "/buffers/loops"), "3");
}

TEST(PlayerTest, PauseLeavesTheOutputUnchangedButLater)
{
    TempDir dir;
    Audio noise = Noise(kOddFrames, 44100, 2, 4);
    WriteWav(dir.File("noise.wav"), noise);
    Played plain = Play(dir, dir.File("noise.wav"), {"--packets", dir.File("plain.csv")});
    Played paused = Play(dir, dir.File("noise.wav"), {"--pause", "700:300", "--packets", dir.File("paused.csv")});

    EXPECT_TRUE(paused.wav.samples == noise.samples);
    EXPECT_EQ(JsonAt(paused.json, "/bit_exact"), "true");
    // Nothing arrives during the pause, and afterwards the stream goes on
    // 300 ms later than without it.
    std::vector<Packet> a = ReadPacketLog(dir.File("plain.csv"));
    std::vector<Packet> b = ReadPacketLog(dir.File("paused.csv"));
    ASSERT_FALSE(a.empty());
    ASSERT_FALSE(b.empty());
    double widest = 0;
    for (size_t i = 1; i < b.size(); ++i) {
        EXPECT_FALSE(b[i].t > 0.7 + 1e-9 && b[i].t < 1.0 - 1e-9) << "packet at " << b[i].t << " s";
        widest = std::max(widest, b[i].t - b[i - 1].t);
    }
    EXPECT_GE(widest, 0.3 - 1e-9);
    EXPECT_NEAR(b.back().t - a.back().t, 0.3, 0.021);
    double plainClock = std::stod(JsonAt(plain.json, "/clock_seconds"));
    double pausedClock = std::stod(JsonAt(paused.json, "/clock_seconds"));
    EXPECT_NEAR(pausedClock - plainClock, 0.3, 0.021);
}

// A link that goes down mid-play: see world_play_test.cpp.

TEST(PlayerTest, ResetThenPlayingOnFromThereLosesNothing)
{
    TempDir dir;
    Audio noise = Noise(kOddFrames, 44100, 2, 6);
    WriteWav(dir.File("noise.wav"), noise);
    Played p = Play(dir, dir.File("noise.wav"), {"--reset", "1130", "--buffers", "3", "--buffer-size", "6000"});
    EXPECT_TRUE(p.wav.samples == noise.samples);
    EXPECT_EQ(JsonAt(p.json, "/bit_exact"), "true");
    // The buffers written again after the reset count twice.
    EXPECT_GT(std::stoull(JsonAt(p.json, "/bytes_written")), kOddFrames * 4);
    EXPECT_NE(p.json.find("reset at byte "), std::string::npos);
}

TEST(PlayerTest, AResetThroughTheMapperPlaysOnFromTheDevicesPosition)
{
    // Mono at the device's rate: the mapper copies each sample to both
    // sides and nothing else, so the heard sound is known to the sample.
    // Its buffers come back from a reset wholly taken; the player goes on
    // from the position it asked before the reset, so nothing is lost and
    // nothing heard twice.
    TempDir dir;
    Audio mono = Noise(kOddFrames, 44100, 1, 8);
    WriteWav(dir.File("mono.wav"), mono);
    Played p = Play(dir, dir.File("mono.wav"), {"--reset", "1130", "--buffers", "3", "--buffer-size", "6001"});
    EXPECT_EQ(JsonAt(p.json, "/converted_by"), "\"mapper\"");
    ASSERT_EQ(p.wav.channels, 2);
    ASSERT_EQ(p.wav.Frames(), mono.Frames());
    size_t differ = 0;
    for (size_t i = 0; i < mono.Frames(); ++i)
        differ += p.wav.samples[2 * i] != mono.samples[i] || p.wav.samples[2 * i + 1] != mono.samples[i];
    EXPECT_EQ(differ, 0u);
    EXPECT_NE(p.json.find("reset at byte "), std::string::npos);
    // Buffers of whole frames for the mapper: 6001 bytes become 6000.
    EXPECT_EQ(JsonAt(p.json, "/buffers/bytes"), "6000");
}

// ---- The SBC stream -------------------------------------------------------------------

TEST(PlayerTest, BuiltInSoundsSbcStreamDecodesCloseToTheInput)
{
    if (std::string(SBCDEC_PATH).empty() || SBCDEC_PATH[0] != '/')
        GTEST_SKIP() << "sbcdec (sbc-tools) is not installed";
    TempDir dir;
    Played p = Play(dir, "", {"--sbc", dir.File("out.sbc")});
    ASSERT_EQ(JsonAt(p.json, "/bit_exact"), "true");
    const Audio& ref = p.wav;   // what the headset received, bit-exact
    ASSERT_EQ(ref.Frames(), 3u * 44100);
    // Left and right carry different tones.
    EXPECT_NE(ref.samples[2 * 1000], ref.samples[2 * 1000 + 1]);

    RunResult dec = RunProgram(SBCDEC_PATH, {"-f", dir.File("out.au"), dir.File("out.sbc")});
    ASSERT_EQ(dec.exitCode, 0) << dec.err;
    Audio out = ReadAu(dir.File("out.au"));
    ASSERT_EQ(out.channels, 2);
    EXPECT_EQ(out.rate, 44100);
    // Whole frames of 128 samples: at most one frame of padding.
    EXPECT_GE(out.Frames(), ref.Frames());
    EXPECT_LT(out.Frames(), ref.Frames() + 128);

    // The codec's filter bank delays the signal; find the delay by
    // cross-correlation and compare the aligned signals.
    auto correlation = [&](size_t lag) {
        double sum = 0;
        for (size_t i = 4096; i < 4096 + 8192; ++i)
            sum += double(ref.samples[2 * i]) * out.samples[2 * (i + lag)];
        return sum;
    };
    size_t lag = 0;
    double best = -1e300;
    for (size_t l = 0; l < 1024; ++l) {
        double c = correlation(l);
        if (c > best)
            best = c, lag = l;
    }
    double signal = 0, noise = 0;
    for (size_t i = 0; i + lag < out.Frames() && i < ref.Frames(); ++i)
        for (int ch = 0; ch < 2; ++ch) {
            double x = ref.samples[2 * i + ch], y = out.samples[2 * (i + lag) + ch];
            signal += x * x;
            noise += (x - y) * (x - y);
        }
    double snr = 10 * std::log10(signal / noise);
    EXPECT_GT(snr, 30.0) << "lag " << lag;
    RecordProperty("sbc_delay_samples", static_cast<int>(lag));
    RecordProperty("sbc_snr_db", static_cast<int>(snr));
}

// ---- Errors -----------------------------------------------------------------------------

class PlayerErrorTest : public ::testing::Test {
protected:
    // Runs with `args` ({dir} replaced) and checks the exit code, the message
    // and that the directory holds exactly `left` afterwards.  A failure past
    // the command line prints its report, which names the failure.
    void Expect(std::vector<std::string> args, int code, const std::string& message,
                const std::vector<std::string>& left)
    {
        for (auto& a : args) {
            size_t at;
            while ((at = a.find("{dir}")) != std::string::npos)
                a.replace(at, 5, dir_.Path());
        }
        std::string expected = message;
        size_t at;
        while ((at = expected.find("{dir}")) != std::string::npos)
            expected.replace(at, 5, dir_.Path());
        RunResult r = RunPlayer(args);
        EXPECT_EQ(r.exitCode, code) << r.err;
        EXPECT_NE(r.err.find(expected), std::string::npos) << "stderr: " << r.err;
        if (code == 2) {
            EXPECT_EQ(r.out, "");
        } else {
            EXPECT_EQ(r.out.compare(0, 16, "Stopped playing "), 0) << r.out;
            EXPECT_NE(r.out.find(expected, r.out.find("  failure ")), std::string::npos) << r.out;
        }
        EXPECT_EQ(dir_.Entries(), left);
    }
    TempDir dir_;
};

TEST_F(PlayerErrorTest, MissingFile)
{
    Expect({"--fast", "--wav", "{dir}/out.wav", "{dir}/absent.wav"}, 3,
           "cannot open '{dir}/absent.wav': No such file or directory", {});
}

TEST_F(PlayerErrorTest, FileThatIsNotAudio)
{
    WriteText(dir_.File("text.wav"), "this is not a sound\n");
    Expect({"--fast", "--report", "{dir}/r.json", "{dir}/text.wav"}, 3, "cannot read '{dir}/text.wav' as audio",
           {"r.json", "text.wav"});
}

TEST_F(PlayerErrorTest, RateThatCannotBeConverted)
{
    // 100 Hz is below the rates the player converts.  The outputs were
    // already opened when the device refused the format: none may be left
    // behind.
    WriteWav(dir_.File("slow.wav"), Sine(200, 100, 1, 5.0, 0.5));
    Expect({"--fast", "--wav", "{dir}/out.wav", "--sbc", "{dir}/out.sbc", "{dir}/slow.wav"}, 3,
           "cannot convert '{dir}/slow.wav': rates from 1000 Hz to 768000 Hz are converted, not 100 Hz",
           {"slow.wav"});
}

TEST_F(PlayerErrorTest, BadOptions)
{
    Expect({"--buffers", "0"}, 2, "option --buffers expects a count from 1 to 1024, not '0'", {});
    Expect({"--pause", "500"}, 2, "option --pause expects T:D", {});
    Expect({"--set", "Volume=3"}, 2, "unknown value 'Volume' (expected Sample, Timer or CacheLen)", {});
    Expect({"--whatever"}, 2, "unknown option '--whatever'", {});
    Expect({"--loop", "2", "--reset", "100"}, 2, "options --reset and --loop cannot be combined", {});
    Expect({"--link-back", "100"}, 2, "--link-back at 100 ms needs an earlier --link-down", {});
}

TEST_F(PlayerErrorTest, RegFileWithASyntaxError)
{
    WriteText(dir_.File("bad.reg"), "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\WAVKELVO\\Params]\n"
                                    "\"Timer\"=dword:0000000a\n\"Sample\"=dwrd:1\n");
    RunResult r = RunPlayer({"--fast", "--reg", dir_.File("bad.reg"), "--wav", dir_.File("out.wav")});
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_NE(r.err.find(dir_.File("bad.reg") + ":5: expected"), std::string::npos) << r.err;
    EXPECT_EQ(dir_.Entries(), std::vector<std::string>{"bad.reg"});
}

TEST_F(PlayerErrorTest, DriverLibraryNotFound)
{
    Expect({"--fast", "--driver-dir", "{dir}", "--wav", "{dir}/out.wav"}, 6,
           "cannot start the driver: Drivers\\BuiltIn\\WAVKELVO: cannot load {dir}/libbtwav.so", {});
}

// A 0 period is what a device's registry may hold too: the driver keeps
// its default for it, and the player, once the driver has said what it used,
// says so rather than refusing it.
TEST_F(PlayerErrorTest, RegistryValueTheDriverDoesNotTakeKeepsTheDefault)
{
    RunResult r = RunPlayer({"--set", "timer=0", "--registry-dump"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("Params\\Timer is REG_DWORD 0: the driver used 20 ms"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("; the driver printed as it started\n;   InitBtAudioPara: Sample 176400, Timer 20, CacheLen 6144\n"),
              std::string::npos)
        << r.out;
    ExpectDumpLoadsBack(r.out);
}

TEST_F(PlayerErrorTest, OutputThatCannotBeWritten)
{
    // A path below a regular file; the other output, valid, must not
    // appear, but the report of the failure does.
    WriteText(dir_.File("plain"), "x");
    Expect({"--fast", "--sbc", "{dir}/out.sbc", "--report", "{dir}/r.json", "--wav", "{dir}/plain/out.wav"}, 5,
           "cannot write '{dir}/plain/out.wav': Not a directory", {"plain", "r.json"});
    EXPECT_EQ(JsonAt(ReadText(dir_.File("r.json")), "/exit_code"), "5");
    std::remove(dir_.File("r.json").c_str());
    Expect({"--fast", "--plot", "{dir}"}, 5, "cannot write '{dir}': it is a directory", {"plain"});
    Expect({"--fast", "--wav", "{dir}/same", "--sbc", "{dir}/same"}, 2, "'{dir}/same' is named for two outputs",
           {"plain"});
}

TEST(PlayerSettingsTest, RegFileAndSetReachTheDriver)
{
    TempDir dir;
    WriteText(dir.File("pacing.reg"), "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\WAVKELVO\\Params]\n"
                                      "\"Timer\"=dword:0000000a\n\"CacheLen\"=dword:00000000\n");
    Played p = Play(dir, "", {"--reg", dir.File("pacing.reg"), "--set", "CacheLen=4000", "--packets",
                              dir.File("p.csv")});
    EXPECT_EQ(JsonAt(p.json, "/config_line"), "\"InitBtAudioPara: Sample 176400, Timer 10, CacheLen 4000\"");
    std::vector<Packet> log = ReadPacketLog(dir.File("p.csv"));
    ASSERT_GT(log.size(), 3u);
    EXPECT_EQ(log[0].bytes, 4000u);
    EXPECT_EQ(log[1].bytes, 1764u);   // 10 ms at 176,400 bytes per second
    EXPECT_NEAR(log[1].t - log[0].t, 0.010, 1e-6);
}
