// The stand-in's SBC codec over libsbc: the media packets the library's
// encoder lays out, with frames of the formula's size at every bitpool, and
// the headset's decoder reading them back.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "btstandin/codec.h"
#include "btstandin_sbc/sbc_codec.h"

namespace {

using namespace btstandin;

// 16-bit stereo: a 1 kHz tone left, 3 kHz right, from audio frame `from`.
std::vector<uint8_t> Tone(uint32_t frames, uint32_t from = 0)
{
    std::vector<int16_t> s(frames * 2);
    for (uint32_t i = 0; i < frames; ++i) {
        const double t = (from + i) / 44100.0;
        s[2 * i] = static_cast<int16_t>(12000 * std::sin(2 * M_PI * 1000 * t));
        s[2 * i + 1] = static_cast<int16_t>(9000 * std::sin(2 * M_PI * 3000 * t));
    }
    std::vector<uint8_t> b(s.size() * 2);
    std::memcpy(b.data(), s.data(), b.size());
    return b;
}

// The media packets a carrier makes of `frames` SBC frames of the tone.
std::vector<MediaPacket> Packets(uint32_t bitpool, uint32_t mtu, uint32_t frames)
{
    SbcFormat f;
    f.bitpool = bitpool;
    auto carrier = MakeSbcCarrier(f, mtu, true);
    std::vector<MediaPacket> out;
    std::vector<uint8_t> pcm = Tone(frames * 128);
    carrier->Take(pcm.data(), static_cast<uint32_t>(pcm.size()), 0, &out);
    carrier->SendHeld(0, &out);
    return out;
}

TEST(SbcCodecTest, EncodedPacketsHaveTheFormulasSizesHeadersAndDecodeBackWhole)
{
    for (uint32_t bitpool : {2u, 35u, 53u}) {
        for (uint32_t mtu : {672u, 895u}) {
            SCOPED_TRACE(std::to_string(bitpool) + " at MTU " + std::to_string(mtu));
            std::vector<MediaPacket> packets = Packets(bitpool, mtu, 40);
            SbcFormat f;
            btstandin_sbc::SbcPacketEncoder encoder(f);
            btstandin_sbc::SbcPacketDecoder decoder;
            uint32_t decodedFrames = 0;
            for (MediaPacket& p : packets) {
                encoder.Encode(&p);
                ASSERT_EQ(p.payload.size(), p.bytes);
                EXPECT_LE(p.payload.size(), mtu);
                EXPECT_EQ(p.payload[0], 0x80);                                   // RTP version 2
                EXPECT_EQ((p.payload[2] << 8) | p.payload[3], p.sequence);
                EXPECT_EQ(p.payload[12], p.frames);                               // the frame count
                EXPECT_EQ(p.payload[13], 0x9C);                                   // the first frame's sync word
                EXPECT_EQ(p.payload[13 + 2], bitpool);                            // and its bitpool
                std::vector<uint8_t> pcm;
                decodedFrames += decoder.Decode(p.payload, &pcm);
                EXPECT_EQ(pcm.size(), p.samples * 4u);
            }
            EXPECT_EQ(decodedFrames, 40u);
            EXPECT_EQ(encoder.SizeMismatches(), 0u);
        }
    }
}

TEST(SbcCodecTest, TheEncoderFollowsTheBitpoolOfEachPacketWithOneFilterState)
{
    std::vector<MediaPacket> a = Packets(53, 895, 14), b = Packets(20, 895, 14);
    // One stream: two packets of 7 frames at 53, then one of 14 at 20.
    ASSERT_EQ(a.size(), 2u);
    ASSERT_EQ(b.size(), 1u);
    std::vector<MediaPacket> stream = {a[0], a[1], b[0]};
    stream[2].timestamp = 14 * 128;
    stream[2].pcm = Tone(14 * 128, 14 * 128);
    SbcFormat f;
    btstandin_sbc::SbcPacketEncoder encoder(f);
    for (MediaPacket& p : stream) {
        encoder.Encode(&p);
        EXPECT_EQ(p.payload.size(), p.bytes);
        EXPECT_EQ(p.payload[13 + 2], p.bitpool);
    }
    EXPECT_EQ(encoder.SizeMismatches(), 0u);
    // A damaged packet decodes as far as its frames are whole.
    btstandin_sbc::SbcPacketDecoder decoder;
    std::vector<uint8_t> cut = stream[0].payload;
    cut.resize(13 + 3 * 119 + 50);
    std::vector<uint8_t> pcm;
    EXPECT_EQ(decoder.Decode(cut, &pcm), 3u);
    EXPECT_EQ(pcm.size(), 3u * 512);
    EXPECT_EQ(decoder.Decode(std::vector<uint8_t>(5, 0), &pcm), 0u);
}

TEST(SbcCodecTest, TheMeasuredDelayLinesTheDecodedToneUpWithItsInput)
{
    SbcFormat f;
    const uint32_t delay = btstandin_sbc::MeasureCodecDelay(f);
    EXPECT_GT(delay, 0u);
    EXPECT_LT(delay, 256u);
    // At that delay the decoded tone matches the input far better than one
    // sample either side.
    std::vector<MediaPacket> packets = Packets(53, 895, 70);
    btstandin_sbc::SbcPacketEncoder encoder(f);
    btstandin_sbc::SbcPacketDecoder decoder;
    std::vector<uint8_t> in, out;
    for (MediaPacket& p : packets) {
        encoder.Encode(&p);
        in.insert(in.end(), p.pcm.begin(), p.pcm.end());
        decoder.Decode(p.payload, &out);
    }
    auto error = [&](uint32_t lag) {
        const int16_t* x = reinterpret_cast<const int16_t*>(in.data());
        const int16_t* y = reinterpret_cast<const int16_t*>(out.data());
        double e = 0;
        for (size_t i = 2000; i + lag < in.size() / 4 - 10; ++i) {
            const double d = static_cast<double>(x[2 * i]) - y[2 * (i + lag)];
            e += d * d;
        }
        return e;
    };
    EXPECT_LT(error(delay) * 10, error(delay + 1));
    EXPECT_LT(error(delay) * 10, error(delay - 1));
}

}  // namespace
