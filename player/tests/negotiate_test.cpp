// Format negotiation against a device and a wave mapper of the test's own:
// what each query carries, who converts the sound, and how each refusal is
// reported.
#include <gtest/gtest.h>

#include <vector>

#include "run/failure.h"
#include "input/negotiate.h"
#include "run/options.h"

using namespace player;

namespace {

SourceInfo Source(uint32_t rate, uint32_t channels, uint16_t bits = 16, uint16_t tag = 1,
                  SampleType type = SampleType::Int16)
{
    SourceInfo s;
    s.origin = "a.wav";
    s.format = "WAV (Microsoft) 16-bit PCM";
    s.rate = rate;
    s.channels = channels;
    s.bits = bits;
    s.formatTag = tag;
    s.type = type;
    s.frames = 4800;
    return s;
}

// Answers queries as the driver does (it accepts 16-bit stereo PCM at
// 44,100 Hz alone), unless told otherwise, and keeps what it was asked.  A
// lenient device also accepts any other width of that rate and channels.
// A query without WAVE_FORMAT_DIRECT goes through a mapper that takes what
// the device takes and converts integer PCM of 8, 16 or 32 bits and 32-bit
// float, of 1 to 8 channels at 1 to 384 kHz.
struct FakeDevice {
    struct Asked {
        WAVEFORMATEX format;
        DWORD flags;
    };
    std::vector<Asked> asked;
    MMRESULT refuseDeviceFormatWith = MMSYSERR_NOERROR;
    MMRESULT failWith = MMSYSERR_NOERROR;
    bool lenient = false;
    FormatQuery Query()
    {
        return [this](const WAVEFORMATEX& f, DWORD flags) -> MMRESULT {
            asked.push_back({f, flags});
            if (failWith != MMSYSERR_NOERROR)
                return failWith;
            bool stereo44 = f.wFormatTag == 1 && f.nChannels == 2 && f.nSamplesPerSec == 44100;
            if (stereo44 && f.wBitsPerSample == 16 && f.nBlockAlign == 4 && f.nAvgBytesPerSec == 176400)
                return refuseDeviceFormatWith;
            if (stereo44 && lenient)
                return MMSYSERR_NOERROR;
            const bool width = f.wFormatTag == 1 ? f.wBitsPerSample == 8 || f.wBitsPerSample == 16 ||
                                                       f.wBitsPerSample == 32
                                                 : f.wFormatTag == 3 && f.wBitsPerSample == 32;
            const bool mapperTakes = width && f.nChannels >= 1 && f.nChannels <= 8 && f.nSamplesPerSec >= 1000 &&
                                     f.nSamplesPerSec <= 384000;
            return !(flags & WAVE_FORMAT_DIRECT) && mapperTakes && refuseDeviceFormatWith == MMSYSERR_NOERROR
                       ? MMSYSERR_NOERROR
                       : static_cast<MMRESULT>(WAVERR_BADFORMAT);
        };
    }
};

Failure FailureOf(const SourceInfo& s, FakeDevice* dev)
{
    try {
        NegotiateFormat(s, dev->Query());
    } catch (const Failure& f) {
        return f;
    }
    return Failure{kExitOk, ""};
}

}  // namespace

TEST(NegotiateTest, TheDevicesOwnFormatIsPlayedAsItIsAfterOneDirectQuery)
{
    FakeDevice dev;
    FormatDecision d = NegotiateFormat(Source(44100, 2), dev.Query());
    EXPECT_FALSE(d.queryRefused);
    EXPECT_FALSE(d.converted);
    ASSERT_EQ(dev.asked.size(), 1u);
    EXPECT_EQ(dev.asked[0].flags, static_cast<DWORD>(WAVE_FORMAT_DIRECT));
    EXPECT_EQ(dev.asked[0].format.nAvgBytesPerSec, 176400u);
}

TEST(NegotiateTest, ARefusedFormatIsWrittenAsDecodedForTheMapperToConvert)
{
    FakeDevice refused;
    FormatDecision d = NegotiateFormat(Source(48000, 1), refused.Query());
    EXPECT_TRUE(d.queryRefused);
    EXPECT_TRUE(d.converted);
    EXPECT_EQ(d.by, ConvertedBy::Mapper);
    ASSERT_EQ(refused.asked.size(), 2u);   // the source's format direct, then through the mapper
    EXPECT_EQ(refused.asked[0].format.nSamplesPerSec, 48000u);
    EXPECT_EQ(refused.asked[0].format.nBlockAlign, 2u);
    EXPECT_EQ(refused.asked[0].flags, static_cast<DWORD>(WAVE_FORMAT_DIRECT));
    EXPECT_EQ(refused.asked[1].flags, 0u);
    EXPECT_EQ(d.written.nSamplesPerSec, 48000u);
    EXPECT_EQ(d.written.nChannels, 1u);
    // 24-bit stereo 44,100 Hz: the direct query carries the file's 24 bits;
    // the samples are written as libsndfile hands them over, 32 bits wide.
    FakeDevice driver;
    d = NegotiateFormat(Source(44100, 2, 24, 1, SampleType::Int32), driver.Query());
    EXPECT_TRUE(d.queryRefused);
    EXPECT_EQ(d.by, ConvertedBy::Mapper);
    EXPECT_EQ(driver.asked[0].format.wBitsPerSample, 24u);
    EXPECT_EQ(driver.asked[0].format.nBlockAlign, 6u);
    EXPECT_EQ(d.written.wBitsPerSample, 32u);
    EXPECT_EQ(d.written.nBlockAlign, 8u);
    // 8-bit samples widened by the decoder are the device's own format:
    // written as they are, nobody converts.
    FakeDevice narrow;
    d = NegotiateFormat(Source(44100, 2, 8), narrow.Query());
    EXPECT_TRUE(d.queryRefused);
    EXPECT_TRUE(d.converted);
    EXPECT_EQ(d.by, ConvertedBy::Nobody);
    EXPECT_EQ(narrow.asked.size(), 1u);
}

TEST(NegotiateTest, OnlyWhatTheMapperRefusesThePlayerConvertsItself)
{
    // 64-bit float and 12 channels: the mapper refuses both; the player
    // converts to the device's format, which it asks for last.
    for (const SourceInfo& s : {Source(44100, 2, 64, 3, SampleType::Double), Source(48000, 12)}) {
        FakeDevice dev;
        FormatDecision d = NegotiateFormat(s, dev.Query());
        EXPECT_EQ(d.by, ConvertedBy::Player);
        ASSERT_EQ(dev.asked.size(), 3u);
        EXPECT_EQ(dev.asked[2].format.nAvgBytesPerSec, 176400u);
        EXPECT_EQ(d.written.nAvgBytesPerSec, 176400u);
    }
    // 500 kHz is beyond the mapper and within the player's range.
    FakeDevice fast;
    EXPECT_EQ(NegotiateFormat(Source(500000, 2), fast.Query()).by, ConvertedBy::Player);
}

TEST(NegotiateTest, EachRefusalIsAFailureThatSaysWhy)
{
    FakeDevice dev;
    Failure f = FailureOf(Source(800000, 2), &dev);
    EXPECT_EQ(f.code, kExitInput);
    EXPECT_NE(f.message.find("cannot convert 'a.wav'"), std::string::npos) << f.message;
    EXPECT_NE(f.message.find("(the device refused 800000 Hz, 2 channels)"), std::string::npos) << f.message;

    FakeDevice stubborn;
    stubborn.refuseDeviceFormatWith = WAVERR_BADFORMAT;
    f = FailureOf(Source(48000, 12), &stubborn);
    EXPECT_EQ(f.code, kExitPlayback);
    EXPECT_EQ(f.message, "the device refuses 16-bit stereo 44100 Hz as well (result 32)");

    FakeDevice broken;
    broken.failWith = MMSYSERR_NODRIVER;
    f = FailureOf(Source(44100, 2), &broken);
    EXPECT_EQ(f.code, kExitPlayback);
    EXPECT_EQ(f.message, "WAVE_FORMAT_QUERY on WAVE_MAPPER failed with result 6");

    // More channels than the record holds: refused without asking, and too
    // many to convert.
    FakeDevice wide;
    f = FailureOf(Source(44100, 70000), &wide);
    EXPECT_EQ(f.code, kExitInput);
    EXPECT_TRUE(wide.asked.empty());
}

TEST(NegotiateTest, TheSourceIsDescribedWithItsLengthOrItsLackOfOne)
{
    SourceInfo s = Source(48000, 1);
    EXPECT_EQ(DescribeSource(s), "WAV (Microsoft) 16-bit PCM, 48000 Hz, 1 channel, 4800 frames");
    s.channels = 2;
    s.frames = -1;
    EXPECT_EQ(DescribeSource(s), "WAV (Microsoft) 16-bit PCM, 48000 Hz, 2 channels, length unknown");
}
