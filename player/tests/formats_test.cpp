// Files of every common sample format, played in fast mode: what the headset
// received is set against libsndfile's own decode of the same file.  The
// player writes the samples as decoded and the wave mapper converts them;
// only 64-bit float, which the mapper does not take, the player converts
// itself.  Where no rate changes, each sample is within the error the
// conversion allows: none for formats that widen exactly to 16 bits (8-bit,
// mu-law, 16-bit mono); for deeper and float samples at most 1.5 LSB from
// the exact value and unbiased (the mapper rounds, the player's own
// conversion dithers by one LSB peak).  Where the rate changes, a sine must
// come through clean (SNR bound).  Also: a truncated file plays with a
// warning, and an hour of audio stays in bounded memory.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <thread>

#include "audio_files.h"

using namespace player_test;

namespace {

// A test signal in [-1, 1]: a sine per channel (a different frequency on
// each) with noise on top, so that every bit of every sample varies.
std::vector<double> Signal(size_t frames, int rate, int channels, double level = 0.5)
{
    std::mt19937 gen(12345);
    std::uniform_real_distribution<double> noise(-0.05, 0.05);
    std::vector<double> out(frames * channels);
    for (size_t i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            out[i * channels + c] = level * std::sin(2 * M_PI * (300.0 + 110.0 * c) * i / rate) + noise(gen);
    return out;
}

// The headset's stereo against reference stereo in [-1, 1]: the largest and
// the mean absolute error, in LSB of 16 bits.
struct Error {
    double max = 0, mean = 0;
    size_t frames = 0;
};

Error Compare(const Audio& got, const std::vector<double>& left, const std::vector<double>& right)
{
    Error e;
    EXPECT_EQ(got.channels, 2);
    EXPECT_EQ(got.Frames(), left.size());
    e.frames = std::min(got.Frames(), left.size());
    double sum = 0;
    for (size_t i = 0; i < e.frames; ++i)
        for (int c = 0; c < 2; ++c) {
            double want = (c == 0 ? left[i] : right[i]) * 32768.0;
            want = std::max(-32768.0, std::min(32767.0, want));
            double d = std::fabs(got.samples[2 * i + c] - want);
            e.max = std::max(e.max, d);
            sum += d;
        }
    e.mean = e.frames ? sum / (2 * e.frames) : 0;
    return e;
}

// Plays a file written in `format` at 44.1 kHz and compares it with its own
// decode; `exact` formats must arrive unchanged.  `by` is who converts
// ("mapper", "player", or "" for libsndfile's exact widening): what the
// mapper converts is not what was written, so it is not judged bit-exact.
void PlaysWithin(int format, int channels, bool exact, const std::string& conversionWords, const std::string& by)
{
    TempDir dir;
    const size_t frames = 30011;
    WriteSound(dir.File("in.wav"), format, 44100, channels, Signal(frames, 44100, channels));
    int ch = 0;
    std::vector<double> ref = ReadDoubles(dir.File("in.wav"), &ch);
    ASSERT_EQ(ch, channels);
    std::vector<double> left(frames), right(frames);
    for (size_t i = 0; i < frames; ++i) {
        left[i] = ref[i * channels];
        right[i] = ref[i * channels + (channels > 1 ? 1 : 0)];
    }
    Played p = Play(dir, dir.File("in.wav"));
    Error e = Compare(p.wav, left, right);
    if (exact) {
        EXPECT_EQ(e.max, 0.0);
    } else {
        EXPECT_LE(e.max, 1.5);
        EXPECT_LT(e.mean, 0.6);
        EXPECT_GT(e.mean, 0.05);   // dithered, not truncated
    }
    EXPECT_EQ(JsonAt(p.json, "/converted"), "true") << p.json;
    EXPECT_NE(JsonAt(p.json, "/conversion").find(conversionWords), std::string::npos) << p.json;
    EXPECT_EQ(JsonAt(p.json, "/converted_by"), "\"" + by + "\"") << p.json;
    EXPECT_EQ(JsonAt(p.json, "/bit_exact"), by == "mapper" ? "null" : "true");
    EXPECT_EQ(p.run.out.find("played as is"), std::string::npos) << p.run.out;
    if (by == "mapper")
        EXPECT_NE(p.run.out.find("bit-exact       not judged: the wave mapper converted"), std::string::npos)
            << p.run.out;
}

}  // namespace

TEST(FormatsTest, FloatIsScaledByTheMapper)
{
    PlaysWithin(SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, false,
                "32-bit float reduced to 16-bit by the wave mapper (44100 Hz stereo 32-bit float to 44100 Hz "
                "stereo 16-bit",
                "mapper");
}

TEST(FormatsTest, DoubleTheMapperRefusesIsScaledAndDitheredByThePlayer)
{
    PlaysWithin(SF_FORMAT_WAV | SF_FORMAT_DOUBLE, 2, false,
                "64-bit float reduced to 16-bit with triangular dither by libswresample (the wave mapper does not "
                "take 44100 Hz, 2 channels, 64-bit float)",
                "player");
}

TEST(FormatsTest, TwentyFourBitIsReducedByTheMapperAndTheQuerySaysSo)
{
    // libsndfile hands 24-bit samples over as 32-bit ones, which the mapper takes.
    PlaysWithin(SF_FORMAT_WAV | SF_FORMAT_PCM_24, 2, false,
                "24-bit PCM reduced to 16-bit by the wave mapper (44100 Hz stereo 32-bit to", "mapper");
    // The driver's query refuses a 24-bit stereo 44.1 kHz format, which it
    // does not play, and the report says so.
    TempDir dir;
    WriteSound(dir.File("in.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_24, 44100, 2, Signal(4410, 44100, 2));
    Played p = Play(dir, dir.File("in.wav"));
    EXPECT_EQ(JsonAt(p.json, "/format_query_refused"), "true");
    EXPECT_NE(p.run.out.find("WAVE_FORMAT_QUERY refused it; converted"), std::string::npos) << p.run.out;
}

TEST(FormatsTest, EightBitAndMuLawWidenExactly)
{
    PlaysWithin(SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 2, true, "8-bit PCM samples widened to 16 bits by libsndfile", "");
    PlaysWithin(SF_FORMAT_WAV | SF_FORMAT_ULAW, 2, true, "8-bit mu-law samples widened to 16 bits by libsndfile", "");
}

TEST(FormatsTest, MonoIsCopiedToBothSidesExactly)
{
    PlaysWithin(SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, true, "mono copied to both channels by the wave mapper", "mapper");
}

TEST(FormatsTest, SixChannelsAreDownmixedByTheMapperWithCentreAndSurroundsAndNoLfe)
{
    // 5.1 in WAV's order: FL FR FC LFE BL BR, which the mapper takes as the
    // six-channel layout.  Each channel carries its own sine; the stereo mix
    // is the recommended 5.1 downmix: the front pair at full weight, centre
    // and surrounds at -3 dB, the LFE left out, normalised together.
    TempDir dir;
    const size_t frames = 44100;
    std::vector<double> in = Signal(frames, 44100, 6, 0.15);
    WriteSound(dir.File("51.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 6, in);
    int ch = 0;
    std::vector<double> ref = ReadDoubles(dir.File("51.wav"), &ch);
    ASSERT_EQ(ch, 6);
    const double a = std::sqrt(0.5), norm = 1 + a + a;
    std::vector<double> left(frames), right(frames);
    for (size_t i = 0; i < frames; ++i) {
        const double* f = &ref[i * 6];
        left[i] = (f[0] + a * f[2] + a * f[4]) / norm;
        right[i] = (f[1] + a * f[2] + a * f[5]) / norm;
    }
    Played p = Play(dir, dir.File("51.wav"));
    Error e = Compare(p.wav, left, right);
    EXPECT_LE(e.max, 1.5);
    EXPECT_LT(e.mean, 0.6);
    EXPECT_NE(JsonAt(p.json, "/conversion").find("6 channels downmixed to stereo by the wave mapper"),
              std::string::npos)
        << p.json;

    // Only the LFE sounds: neither side carries it; only the centre: both
    // sides carry it alike, at -3 dB of the front's weight.
    for (int only : {3, 2}) {
        std::vector<double> one(frames * 6, 0.0);
        for (size_t i = 0; i < frames; ++i)
            one[i * 6 + only] = 0.5 * std::sin(2 * M_PI * 60.0 * i / 44100);
        WriteSound(dir.File("one.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 6, one);
        Played q = Play(dir, dir.File("one.wav"));
        int peakL = 0, peakR = 0;
        for (size_t i = 0; i < q.wav.Frames(); ++i) {
            peakL = std::max(peakL, std::abs(static_cast<int>(q.wav.samples[2 * i])));
            peakR = std::max(peakR, std::abs(static_cast<int>(q.wav.samples[2 * i + 1])));
        }
        EXPECT_NEAR(peakL, only == 3 ? 0.0 : 0.5 * a / norm * 32768, 3) << "channel " << only;
        EXPECT_EQ(peakL, peakR) << "channel " << only;
    }
}

TEST(FormatsTest, FloatAt48kHzIsResampledCleanly)
{
    TempDir dir;
    const size_t frames = 48000;
    std::vector<double> in(frames * 2);
    for (size_t i = 0; i < frames; ++i)
        in[2 * i] = in[2 * i + 1] = 0.5 * std::sin(2 * M_PI * 1000.0 * i / 48000);
    WriteSound(dir.File("f48.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 48000, 2, in);
    Played p = Play(dir, dir.File("f48.wav"));
    EXPECT_EQ(JsonAt(p.json, "/format_query_refused"), "true");
    EXPECT_NE(JsonAt(p.json, "/conversion").find("48000 Hz resampled to 44100 Hz"), std::string::npos);
    ASSERT_NEAR(static_cast<double>(p.wav.Frames()), 44100.0, 2.0);
    // Fit a 1 kHz sine to the left side away from the edges; what is left
    // is the conversion's noise.
    ToneFit fit = FitTone(p.wav, 1000.0, 2000);
    EXPECT_GT(fit.snrDb, 80.0);
    EXPECT_NEAR(fit.amplitude, 0.5 * 32768, 30);
}

TEST(FormatsTest, TruncatedWavPlaysWhatIsThereWithAWarning)
{
    TempDir dir;
    Audio noise = Noise(20000, 44100, 2, 21);
    WriteWav(dir.File("whole.wav"), noise);
    std::string bytes = ReadText(dir.File("whole.wav"));
    // Cut the file in the middle of its data: the header still promises all.
    const size_t keep = bytes.size() - 30001;
    WriteText(dir.File("cut.wav"), bytes.substr(0, keep));
    Played p = Play(dir, dir.File("cut.wav"));
    EXPECT_NE(p.json.find("is truncated"), std::string::npos) << p.json;
    EXPECT_NE(p.run.out.find("truncated"), std::string::npos) << p.run.out;
    // Whole frames of what is there arrive unchanged.
    const size_t frames = (keep - 44) / 4;
    ASSERT_EQ(p.wav.Frames(), frames);
    EXPECT_TRUE(std::equal(p.wav.samples.begin(), p.wav.samples.end(), noise.samples.begin()));
}

TEST(LongRunTest, AnHourOfAudioStaysInBoundedMemory)
{
    // An hour of the built-in sound, generated as it plays, in fast mode,
    // bit-exact.  The whole process stays under 64 MB (96 MB under
    // AddressSanitizer, whose runtime, shadow and allocator add about 50 MB
    // to a run of any length), and the hour's peak is no more than a few
    // megabytes above a minute's: memory does not grow with the length.
    TempDir dir;
    auto run = [&](const char* length) {
        RunResult r = RunPlayer({"--fast", "--quiet", "--length", length, "--report", dir.File("r.json")});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        std::string json = ReadText(dir.File("r.json"));
        EXPECT_EQ(JsonAt(json, "/bit_exact"), "true");
        // The CPU figure covers the playback alone, not the start-up: no
        // more than every core busy for the playback's wall time.
        double cpu = std::stod(JsonAt(json, "/cpu_seconds")), wall = std::stod(JsonAt(json, "/wall_seconds"));
        EXPECT_GT(cpu, 0.0);
        EXPECT_LE(cpu, wall * std::max(1u, std::thread::hardware_concurrency()) + 0.05) << json;
        const long peakKb = std::stol(JsonAt(json, "/peak_memory_kb"));
        EXPECT_GT(peakKb, 0);
        return peakKb;
    };
    long boundKb = 64 * 1024, growthKb = 4 * 1024;
#if defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer's quarantine holds freed blocks back (256 MB by
    // default); kept small, it does not pass for growth.
    setenv("ASAN_OPTIONS", "detect_leaks=1:allow_user_segv_handler=1:quarantine_size_mb=1", 1);
    boundKb = 96 * 1024;
    // Its redzones widen every block of the packets waiting for the
    // stand-in's sinks, whose number depends on how the threads are
    // scheduled: measured 59-66 MB for a minute or an hour here.
    growthKb = 8 * 1024;
#endif
    // The player's own figure: the high-water mark of its address space.
    // The child's rusage would also count this test's process, whose size
    // the kernel carries over into the child's figure at exec.
    const long minute = run("1min"), hour = run("1h");
    EXPECT_LE(hour, boundKb);
    EXPECT_LE(hour, minute + growthKb) << "1 min: " << minute << " KB, 1 h: " << hour;
    RecordProperty("peak_kb_1min", static_cast<int>(minute));
    RecordProperty("peak_kb_1h", static_cast<int>(hour));
}
