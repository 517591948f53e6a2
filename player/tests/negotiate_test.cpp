// Format negotiation against a device of the test's own: what the query
// carries, when the sound is converted, and how each refusal is reported.
#include <gtest/gtest.h>

#include <vector>

#include "run/failure.h"
#include "input/negotiate.h"
#include "run/options.h"

using namespace player;

namespace {

SourceInfo Source(uint32_t rate, uint32_t channels, uint16_t bits = 16, uint16_t tag = 1)
{
    SourceInfo s;
    s.origin = "a.wav";
    s.format = "WAV (Microsoft) 16-bit PCM";
    s.rate = rate;
    s.channels = channels;
    s.bits = bits;
    s.formatTag = tag;
    s.frames = 4800;
    return s;
}

// Answers queries as the driver does (it accepts 16-bit stereo PCM at
// 44,100 Hz alone), unless told otherwise, and keeps what it was asked.  A
// lenient device also accepts any other width of that rate and channels.
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
            return stereo44 && lenient ? MMSYSERR_NOERROR : static_cast<MMRESULT>(WAVERR_BADFORMAT);
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

TEST(NegotiateTest, ARefusedFormatIsConvertedAndSoIsAWidthALenientDeviceAccepts)
{
    FakeDevice refused;
    FormatDecision d = NegotiateFormat(Source(48000, 1), refused.Query());
    EXPECT_TRUE(d.queryRefused);
    EXPECT_TRUE(d.converted);
    ASSERT_EQ(refused.asked.size(), 2u);   // the source's format, then the device's
    EXPECT_EQ(refused.asked[0].format.nSamplesPerSec, 48000u);
    EXPECT_EQ(refused.asked[0].format.nBlockAlign, 2u);
    EXPECT_EQ(refused.asked[1].format.nSamplesPerSec, 44100u);
    EXPECT_EQ(refused.asked[1].flags, 0u);
    // 24-bit stereo 44,100 Hz: the driver's query refuses it.
    FakeDevice driver;
    d = NegotiateFormat(Source(44100, 2, 24), driver.Query());
    EXPECT_TRUE(d.queryRefused);
    EXPECT_TRUE(d.converted);
    EXPECT_EQ(driver.asked[0].format.wBitsPerSample, 24u);
    EXPECT_EQ(driver.asked[0].format.nBlockAlign, 6u);
    // A device that accepts it gets it converted all the same: the player
    // hands on only 16-bit samples as they are.
    FakeDevice lenient;
    lenient.lenient = true;
    d = NegotiateFormat(Source(44100, 2, 24), lenient.Query());
    EXPECT_FALSE(d.queryRefused);
    EXPECT_TRUE(d.converted);
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
    f = FailureOf(Source(48000, 2), &stubborn);
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
