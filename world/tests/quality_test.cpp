// The heard quality: a segmental SNR, a segment a second, of the decoded
// stream against what the library was given, lined up by the codec's delay.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "world/quality.h"

namespace {

using player::HeardQuality;
using player::QualityResult;

std::vector<int16_t> Tone(size_t frames, double amp)
{
    std::vector<int16_t> s(frames * 2);
    for (size_t i = 0; i < frames; ++i)
        s[2 * i] = s[2 * i + 1] = static_cast<int16_t>(amp * std::sin(0.05 * static_cast<double>(i)));
    return s;
}

TEST(QualityTest, LinesTheDecodedStreamUpByTheDelayAndMeasuresEachSecond)
{
    const size_t n = 3 * 44100;
    std::vector<int16_t> ref = Tone(n, 10000);
    // What the listener hears: the reference 73 frames late, with an error
    // of 1 % of the amplitude in the first second and 10 % in the third.
    std::vector<int16_t> heard(n * 2, 0);
    for (size_t i = 73; i < n; ++i)
        for (int c = 0; c < 2; ++c) {
            const double x = ref[2 * (i - 73) + c];
            const double e = i < 44100 ? 0.01 : i >= 88200 ? 0.1 : 0;
            heard[2 * i + c] = static_cast<int16_t>(std::lround(x * (1 + e)));
        }
    HeardQuality q(73);
    // Fed in odd pieces, as packets come.
    for (size_t at = 0; at < n; at += 1000) {
        size_t k = std::min<size_t>(1000, n - at);
        q.Add(ref.data() + 2 * at, heard.data() + 2 * at, k);
    }
    QualityResult r = q.Finish();
    EXPECT_TRUE(r.measured);
    EXPECT_FALSE(r.exact);
    ASSERT_EQ(r.perSecond.size(), 3u);
    EXPECT_NEAR(r.perSecond[0], 40.0, 0.5);   // an error of 1 %: 40 dB
    EXPECT_GT(r.perSecond[1], 70.0);          // rounding alone
    EXPECT_NEAR(r.perSecond[2], 20.0, 0.5);   // 10 %: 20 dB
    EXPECT_NEAR(r.worstDb, r.perSecond[2], 1e-9);
    EXPECT_EQ(r.worstAt, 2.0);
    EXPECT_NEAR(r.segmentalDb, (r.perSecond[0] + r.perSecond[1] + r.perSecond[2]) / 3, 1e-9);
    EXPECT_EQ(r.delayFrames, 73u);
}

TEST(QualityTest, IdenticalAudioIsExactAndSilentSecondsAreNotCounted)
{
    std::vector<int16_t> ref = Tone(44100, 8000);
    std::vector<int16_t> silence(44100 * 2, 0);
    HeardQuality q(0);
    q.Add(silence.data(), silence.data(), 44100);   // a silent second: nothing to measure
    q.Add(ref.data(), ref.data(), 44100);
    q.Add(ref.data(), ref.data(), 2000);            // under 100 ms: not a segment of its own
    QualityResult r = q.Finish();
    EXPECT_TRUE(r.exact);
    ASSERT_EQ(r.perSecond.size(), 1u);
    EXPECT_EQ(r.worstAt, 1.0);

    // Silence heard for a second of sound (a lost packet's share) is 0 dB.
    HeardQuality lost(0);
    lost.Add(ref.data(), silence.data(), 44100);
    QualityResult l = lost.Finish();
    EXPECT_FALSE(l.exact);
    ASSERT_EQ(l.perSecond.size(), 1u);
    EXPECT_NEAR(l.perSecond[0], 0.0, 1e-9);
    EXPECT_FALSE(HeardQuality(5).Finish().measured);
}

// Full-scale audio with large errors, fed in pieces shorter and longer than
// the delay: every second's SNR is the one summed sample by sample from the
// whole streams.
TEST(QualityTest, FullScaleErrorsInPiecesOfAnySizeGiveTheWholeStreamsFigures)
{
    const size_t delay = 100, n = 2 * 44100 + 30000;
    std::vector<int16_t> ref(n * 2), heard(n * 2);
    uint32_t x = 12345;
    for (size_t i = 0; i < n * 2; ++i) {
        x = x * 1103515245u + 12345u;
        ref[i] = static_cast<int16_t>(i % 7 == 0 ? -32768 : static_cast<int16_t>(x >> 16));
        heard[i] = static_cast<int16_t>(i % 11 == 0 ? 32767 : static_cast<int16_t>((x >> 8) & 0xFFFF));
    }
    std::vector<double> want;
    double signal = 0, noise = 0;
    for (size_t i = 0; i < n * 2; ++i) {
        const double r = i < delay * 2 ? 0.0 : ref[i - delay * 2];
        signal += r * r;
        noise += (r - heard[i]) * (r - heard[i]);
        if (i % (2 * 44100) == 2 * 44100 - 1 || i == n * 2 - 1) {
            want.push_back(10 * std::log10(signal / noise));
            signal = noise = 0;
        }
    }
    HeardQuality q(delay);
    const size_t pieces[] = {1, 37, 99, 100, 101, 512, 4096};
    for (size_t at = 0, k = 0; at < n; ++k) {
        const size_t take = std::min(pieces[k % 7], n - at);
        q.Add(ref.data() + 2 * at, heard.data() + 2 * at, take);
        at += take;
    }
    QualityResult r = q.Finish();
    ASSERT_EQ(r.perSecond.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_NEAR(r.perSecond[i], want[i], 1e-9) << "second " << i;
}

}  // namespace
