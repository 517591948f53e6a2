// The listener: media packets in, the heard frames out.  Packets are fed as
// the radio delivers them, 20 ms apart on the headset's clock; a lost one is
// heard as silence of its length once the next shows the gap; nothing is
// taken after the end; without a headset model nothing is heard at all.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "numbered.h"
#include "report/outputs.h"
#include "report/report.h"
#include "world/listener.h"
#include "world/options.h"

using namespace player;
using namespace world_test;

namespace {

// A heard output that keeps every byte it is given.
class Kept : public Output {
public:
    void Take(const uint8_t* data, size_t size) override { bytes.insert(bytes.end(), data, data + size); }
    bool Finish(std::string*) override { return true; }
    std::vector<uint8_t> bytes;
};

// Packet k of a PCM stream, delivered 20 ms after the one before.
btstandin::MediaPacket Packet(uint32_t k, bool lost = false)
{
    btstandin::MediaPacket p;
    p.sequence = static_cast<uint16_t>(k);
    p.timestamp = k * kPacketFrames;
    p.samples = kPacketFrames;
    p.firstPostNs = k * 20 * kMs;
    p.sentNs = p.firstPostNs;
    p.arrivalNs = p.firstPostNs;
    p.lost = lost;
    p.pcm = Numbered(k * kPacketFrames, kPacketFrames);
    return p;
}

WorldOptions PcmOptions()
{
    WorldOptions o;
    o.codec = WorldOptions::Codec::Pcm;
    return o;
}

TEST(ListenerTest, PacketsAreHeardInOrderAndALostOneAsSilenceOfItsLength)
{
    Kept heard;
    std::vector<std::string> warnings;
    Listener l(PcmOptions(), &heard, &warnings);
    EXPECT_TRUE(warnings.empty());
    ASSERT_TRUE(l.Modelled());
    l.SetOrigin(0);
    const uint32_t kPackets = 20, kLost = 7;
    for (uint32_t k = 0; k < kPackets; ++k)
        l.Receive(Packet(k, k == kLost));
    Report r;
    l.Finish(&r);

    ASSERT_EQ(heard.bytes.size(), size_t(kPackets) * kPacketFrames * kFrameBytes);
    const size_t lostAt = size_t(kLost) * kPacketFrames * kFrameBytes, lostEnd = lostAt + kPacketFrames * kFrameBytes;
    EXPECT_EQ(std::vector<uint8_t>(heard.bytes.begin(), heard.bytes.begin() + lostAt),
              Numbered(0, kLost * kPacketFrames));
    EXPECT_EQ(std::vector<uint8_t>(heard.bytes.begin() + lostAt, heard.bytes.begin() + lostEnd),
              std::vector<uint8_t>(kPacketFrames * kFrameBytes, 0));
    EXPECT_EQ(std::vector<uint8_t>(heard.bytes.begin() + lostEnd, heard.bytes.end()),
              Numbered((kLost + 1) * kPacketFrames, (kPackets - kLost - 1) * kPacketFrames));

    EXPECT_TRUE(r.listener.started);
    EXPECT_EQ(r.listener.playedFrames, uint64_t(kPackets) * kPacketFrames);
    EXPECT_EQ(r.listener.concealedFrames, kPacketFrames);
    EXPECT_TRUE(r.listener.gaps.empty());
    // The heard audio was measured against what the library was given: the
    // lost packet's silence is the one difference.
    EXPECT_TRUE(r.quality.measured);
    EXPECT_FALSE(r.quality.exact);

    // The end is the end: a later packet is not taken, and a second Finish
    // (after a failure) changes nothing.
    l.Receive(Packet(kPackets));
    Report again;
    l.Finish(&again);
    EXPECT_EQ(heard.bytes.size(), size_t(kPackets) * kPacketFrames * kFrameBytes);
    EXPECT_EQ(again.listener.playedFrames, r.listener.playedFrames);
}

TEST(ListenerTest, WithoutAHeardOutputTheSizesAloneMakeTheSameFigures)
{
    std::vector<std::string> warnings;
    Listener unheard(PcmOptions(), nullptr, &warnings);
    Kept kept;
    Listener heard(PcmOptions(), &kept, &warnings);
    unheard.SetOrigin(0);
    heard.SetOrigin(0);
    for (uint32_t k = 0; k < 12; ++k) {
        btstandin::MediaPacket p = Packet(k, k == 3);
        heard.Receive(p);
        p.pcm.clear();   // nobody listens: the stand-in keeps no samples
        unheard.Receive(p);
    }
    Report a, b;
    unheard.Finish(&a);
    heard.Finish(&b);
    EXPECT_EQ(a.listener.playedFrames, b.listener.playedFrames);
    EXPECT_EQ(a.listener.concealedFrames, b.listener.concealedFrames);
    EXPECT_EQ(a.listener.startLatency, b.listener.startLatency);
    EXPECT_FALSE(a.quality.measured);
    EXPECT_TRUE(b.quality.measured);
}

TEST(ListenerTest, WithoutTheHeadsetModelNothingIsTakenOrHeard)
{
    WorldOptions o = PcmOptions();
    o.headset = false;
    Kept heard;
    std::vector<std::string> warnings;
    Listener l(o, &heard, &warnings);
    EXPECT_FALSE(l.Modelled());
    l.SetOrigin(0);
    for (uint32_t k = 0; k < 10; ++k)
        l.Receive(Packet(k));
    Report r;
    l.Finish(&r);
    EXPECT_TRUE(heard.bytes.empty());
    EXPECT_FALSE(r.listener.started);
    EXPECT_EQ(r.listener.playedFrames, 0u);
    EXPECT_FALSE(r.quality.measured);
}

TEST(ListenerTest, ASoundDeviceThatCannotOpenIsAWarningAndTheRestIsHeard)
{
    WorldOptions o = PcmOptions();
    o.playOut = true;
    o.playDevice = "no-such-device-of-this-test";
    Kept heard;
    std::vector<std::string> warnings;
    Listener l(o, &heard, &warnings);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("no-such-device-of-this-test"), std::string::npos) << warnings[0];
    EXPECT_NE(warnings[0].find("played without sound"), std::string::npos) << warnings[0];
    l.SetOrigin(0);
    for (uint32_t k = 0; k < 10; ++k)
        l.Receive(Packet(k));
    Report r;
    l.Finish(&r);
    EXPECT_EQ(heard.bytes, Numbered(0, 10 * kPacketFrames));
    EXPECT_TRUE(r.quality.exact);
}

}  // namespace
