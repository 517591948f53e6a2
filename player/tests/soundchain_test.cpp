// The sound chain: a source in the device's format reaches the window as it
// is; any other is converted, and says so; a converted or compressed source
// is decoded ahead on a thread of its own and gives the same bytes; a loop
// makes the length known and counts every pass; a source without a frame,
// or one no conversion can take, ends the run with the input's exit code.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "audio_files.h"
#include "input/soundchain.h"
#include "kit/watchdog.h"
#include "run/failure.h"
#include "run/options.h"

using namespace player;
using player_test::VectorDecoder;

namespace {

// A tone at `rate` with `channels` channels, `frames` long, every channel
// the same.
std::vector<int16_t> Tone(uint32_t rate, uint32_t channels, size_t frames)
{
    std::vector<int16_t> s(frames * channels);
    for (size_t i = 0; i < frames; ++i)
        for (uint32_t c = 0; c < channels; ++c)
            s[i * channels + c] = static_cast<int16_t>(static_cast<int>((i * 37 + c * 1000) % 20000) - 10000);
    return s;
}

std::unique_ptr<Decoder> Source(uint32_t rate, uint32_t channels, const std::vector<int16_t>& samples)
{
    return std::unique_ptr<Decoder>(new VectorDecoder(rate, channels, samples));
}

// Everything the window gives from offset 0, in pieces of `piece` bytes.
std::vector<uint8_t> ReadWindow(SoundChain& chain, size_t piece = 5000)
{
    std::vector<uint8_t> all, buf(piece);
    std::string error;
    for (;;) {
        size_t got = 0;
        EXPECT_TRUE(chain.Window()->Copy(all.size(), buf.data(), buf.size(), &got, &error)) << error;
        if (got == 0)
            break;
        all.insert(all.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(got));
    }
    return all;
}

// The Failure that `open` throws; code -1 when it throws none.
template <typename F>
Failure Thrown(F open)
{
    try {
        open();
    } catch (const Failure& f) {
        return f;
    }
    return Failure{-1, ""};
}

TEST(SoundChainTest, TheDevicesFormatPassesAsItIsWithoutANote)
{
    kit::Watchdog watchdog(std::chrono::seconds(120), "the sound chain");
    const std::vector<int16_t> tone = Tone(kDeviceRate, 2, 22050);
    SoundChain chain;
    EXPECT_EQ(chain.Window(), nullptr);
    EXPECT_EQ(chain.Open(Source(kDeviceRate, 2, tone), false, 0), "");
    ASSERT_NE(chain.Window(), nullptr);
    EXPECT_DOUBLE_EQ(chain.ExpectedSeconds(0), 0.5);
    std::vector<uint8_t> bytes = ReadWindow(chain);
    ASSERT_EQ(bytes.size(), tone.size() * 2);
    EXPECT_EQ(std::memcmp(bytes.data(), tone.data(), bytes.size()), 0);
    EXPECT_TRUE(chain.StopAndNotes().empty());
}

TEST(SoundChainTest, AnotherFormatIsConvertedAndSaysSoAndDecodingAheadChangesNoByte)
{
    kit::Watchdog watchdog(std::chrono::seconds(120), "the sound chain");
    const std::vector<int16_t> tone = Tone(48000, 1, 24000);   // half a second of 48 kHz mono
    SoundChain inline_, ahead;
    const std::string note = inline_.Open(Source(48000, 1, tone), false, 0);
    EXPECT_NE(note, "");
    // As the negotiation has it when the device refused the source's format:
    // converted, so decoded on a thread of its own.
    EXPECT_EQ(ahead.Open(Source(48000, 1, tone), true, 0), note);
    std::vector<uint8_t> a = ReadWindow(inline_), b = ReadWindow(ahead, 777);
    EXPECT_EQ(a, b);
    // Half a second at the device's rate, give or take the resampler's edge,
    // in whole stereo frames with both sides alike (mono copied to both).
    EXPECT_NEAR(static_cast<double>(a.size()) / kDeviceBytesPerSecond, 0.5, 0.01);
    ASSERT_EQ(a.size() % kDeviceFrameBytes, 0u);
    for (size_t i = 0; i + 4 <= a.size(); i += 4)
        ASSERT_EQ(std::memcmp(&a[i], &a[i + 2], 2), 0) << "frame " << i / 4;
    EXPECT_NE(a, std::vector<uint8_t>(a.size(), 0));
    ahead.StopAndNotes();
    inline_.StopAndNotes();
}

TEST(SoundChainTest, ALoopKeepsTheWholeSoundAndCountsEveryPass)
{
    kit::Watchdog watchdog(std::chrono::seconds(120), "the sound chain");
    const std::vector<int16_t> tone = Tone(kDeviceRate, 2, 4410);
    SoundChain chain;
    chain.Open(Source(kDeviceRate, 2, tone), false, 3);
    EXPECT_EQ(chain.Window()->Length(), static_cast<int64_t>(tone.size() * 2));
    EXPECT_DOUBLE_EQ(chain.ExpectedSeconds(3), 0.3);
    EXPECT_DOUBLE_EQ(chain.ExpectedSeconds(0), 0.1);
    chain.StopAndNotes();
}

TEST(SoundChainTest, NoFrameOrNoPossibleConversionEndsTheRunAsAnInputFailure)
{
    kit::Watchdog watchdog(std::chrono::seconds(120), "the sound chain");
    Failure empty = Thrown([] {
        SoundChain chain;
        chain.Open(Source(kDeviceRate, 2, {}), false, 0);
    });
    EXPECT_EQ(empty.code, kExitInput);
    EXPECT_EQ(empty.message, "'memory' holds no audio frames");

    Failure slow = Thrown([] {
        SoundChain chain;
        chain.Open(Source(kMinRate - 1, 1, {1, 2, 3, 4}), true, 0);
    });
    EXPECT_EQ(slow.code, kExitInput);
    EXPECT_NE(slow.message, "");
}

}  // namespace
