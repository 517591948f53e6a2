// Audio in: channels mixed down, rates converted or refused, streams read
// the same in any piece size, the built-in sound, FLAC through libsndfile.
#include <gtest/gtest.h>

#include <sndfile.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "input/audio.h"
#include "audio_files.h"

using namespace player;
using player_test::TempDir;
using player_test::VectorDecoder;

// ---- Audio ------------------------------------------------------------------------------

namespace {

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
