// The stand-in's link units alone, with no thread, no driver and no clock but
// the times the tests give: the codec's frame and packet sizes, the radio's
// budget and interference, the bitpool rule, and the send path that joins
// them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "btstandin/bitpool.h"
#include "btstandin/codec.h"
#include "btstandin/radio.h"
#include "btstandin/sbc.h"
#include "btstandin/sendpath.h"

namespace {

using namespace btstandin;

const uint64_t kMs = 1000000;

SbcFormat Sbc(uint32_t bitpool)
{
    SbcFormat f;   // 44.1 kHz, joint stereo, 16 blocks, 8 subbands, loudness
    f.bitpool = bitpool;
    return f;
}

// ---- Codec: sizes by formula --------------------------------------------------

TEST(CodecTest, FrameAndPacketSizesForTheBitpoolsAndMtusAnA2dpSourceUses)
{
    // Joint stereo, 8 subbands, 16 blocks: 4 + 8 + ceil((8 + 16 x bitpool) / 8).
    struct Case {
        uint32_t bitpool, frame, frames672, packet672, frames895, packet895;
    } cases[] = {
        // bitpool 2: 17-byte frames; the payload header's four bits allow 15 a packet.
        {2, 17, 15, 13 + 15 * 17, 15, 13 + 15 * 17},
        {35, 83, 7, 13 + 7 * 83, 10, 13 + 10 * 83},
        {53, 119, 5, 13 + 5 * 119, 7, 13 + 7 * 119},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bitpool);
        EXPECT_EQ(SbcFrameBytes(Sbc(c.bitpool)), c.frame);
        EXPECT_EQ(SbcFramesPerPacket(672, c.frame), c.frames672);
        EXPECT_EQ(SbcFramesPerPacket(895, c.frame), c.frames895);
        // A carrier fed 20 frames' worth of PCM in odd pieces sends packets of
        // exactly those sizes, each within its MTU.
        for (uint32_t mtu : {672u, 895u}) {
            auto carrier = MakeSbcCarrier(Sbc(c.bitpool), mtu, false);
            std::vector<MediaPacket> out;
            uint32_t left = 20 * 128 * 4;
            for (uint64_t t = 0; left > 0; t += 20 * kMs) {
                uint32_t n = std::min<uint32_t>(left, 3530);
                carrier->Take(nullptr, n, t, &out);
                left -= n;
            }
            const uint32_t frames = mtu == 672 ? c.frames672 : c.frames895;
            ASSERT_EQ(out.size(), 20 / frames) << mtu;
            for (const MediaPacket& p : out) {
                EXPECT_EQ(p.bytes, mtu == 672 ? c.packet672 : c.packet895);
                EXPECT_LE(p.bytes, mtu);
                EXPECT_EQ(p.frames, frames);
                EXPECT_EQ(p.samples, frames * 128);
                EXPECT_EQ(p.bitpool, c.bitpool);
            }
            // What is left after the whole packets goes out on SendHeld,
            // as one packet of the frames it makes.
            carrier->SendHeld(500 * kMs, &out);
            ASSERT_EQ(out.size(), 20 / frames + (20 % frames ? 1 : 0)) << mtu;
            EXPECT_EQ(out.back().frames, 20 % frames ? 20 % frames : frames) << mtu;
        }
    }
    // Other modes by the same formula: mono and dual channel count every
    // channel's bits, stereo shares them, and joint stereo adds its join bits.
    SbcFormat f = Sbc(32);
    f.mode = SbcFormat::Mono;
    EXPECT_EQ(SbcFrameBytes(f), 4u + 4u + 64u);
    f.mode = SbcFormat::DualChannel;
    EXPECT_EQ(SbcFrameBytes(f), 4u + 8u + 128u);
    f.mode = SbcFormat::Stereo;
    EXPECT_EQ(SbcFrameBytes(f), 4u + 8u + 64u);
    f.subbands = 4;
    f.blocks = 4;
    f.mode = SbcFormat::JointStereo;
    EXPECT_EQ(SbcFrameBytes(f), 4u + 4u + 17u);   // ceil((4 + 128) / 8)
    // Bit rates: 53 about 328 kbit/s, 35 about 229.
    EXPECT_NEAR(SbcBitRate(Sbc(53)) / 1000, 328.0, 0.5);
    EXPECT_NEAR(SbcBitRate(Sbc(35)) / 1000, 228.8, 0.5);
    // An MTU below one frame and its headers carries nothing.
    EXPECT_EQ(SbcFramesPerPacket(13 + 118, 119), 0u);
    EXPECT_EQ(SbcFramesPerPacket(13 + 119, 119), 1u);
}

TEST(CodecTest, SbcCarrierKeepsTimestampsSamplesAndTheTimeOfEachPacketsFirstSample)
{
    auto carrier = MakeSbcCarrier(Sbc(53), 895, true);
    std::vector<MediaPacket> out;
    std::vector<uint8_t> pcm(3528);
    for (size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<uint8_t>(i * 7);
    for (int k = 0; k < 10; ++k)
        carrier->Take(pcm.data(), 3528, k * 20 * kMs, &out);
    // 35,280 bytes: 68 whole frames and a part; 9 packets of 7.
    ASSERT_EQ(out.size(), 9u);
    for (size_t i = 0; i < out.size(); ++i) {
        EXPECT_EQ(out[i].sequence, i);
        EXPECT_EQ(out[i].timestamp, i * 7 * 128);
        EXPECT_EQ(out[i].pcm.size(), 7u * 128 * 4);
    }
    // The first packet's first sample came with the first post; it was sent
    // with the post that completed its seventh frame (3584 bytes: the second).
    EXPECT_EQ(out[0].firstPostNs, 0u);
    EXPECT_EQ(out[0].sentNs, 20 * kMs);
    EXPECT_EQ(out[1].firstPostNs, 20 * kMs);
    // The samples ride along in order across the posts' edges.
    EXPECT_EQ(out[1].pcm[0], pcm[3584 - 3528]);
    // The bitpool set while a packet gathers applies from the next one.
    carrier->SetBitpool(35);
    carrier->SendHeld(300 * kMs, &out);
    ASSERT_EQ(out.size(), 10u);
    EXPECT_EQ(out[9].bitpool, 53u);
    EXPECT_EQ(out[9].frames, 6u);   // five whole frames and the part, padded
    EXPECT_EQ(out[9].sentNs, 300 * kMs);
    // It holds the posts' last 3,024 bytes, in order, then silence to the
    // frame's end.
    const uint32_t held = 35280 - 9 * 7 * 512;
    ASSERT_EQ(out[9].pcm.size(), 6u * 512);
    for (uint32_t i = 0; i < out[9].pcm.size(); ++i)
        ASSERT_EQ(out[9].pcm[i], i < held ? pcm[(9 * 7 * 512 + i) % 3528] : 0) << i;
    // Nothing is left to send.
    carrier->SendHeld(310 * kMs, &out);
    EXPECT_EQ(out.size(), 10u);
    carrier->Take(pcm.data(), 3528, 320 * kMs, &out);
    carrier->SendHeld(340 * kMs, &out);
    EXPECT_EQ(out.back().bitpool, 35u);
    EXPECT_EQ(out.back().bytes, 13u + out.back().frames * 83);
}

TEST(CodecTest, SbcCarrierMakesTheSamePacketsWhateverThePostsSizes)
{
    // 40 packets' worth of a numbered stream, posted in pieces smaller than
    // a frame, a little over one, and over a whole packet: each packet
    // holds its 7 frames' bytes in order, starts with the post that brought
    // its first byte and is sent with the post that brought its last.
    const uint32_t packetBytes = 7 * 512;
    const uint32_t total = 40 * packetBytes;
    std::vector<uint8_t> stream(total);
    for (uint32_t i = 0; i < total; ++i)
        stream[i] = static_cast<uint8_t>(i * 13 + i / 256);
    for (uint32_t piece : {1u, 7u, 511u, 513u, 3528u, 9000u}) {
        for (bool keep : {true, false}) {
            auto carrier = MakeSbcCarrier(Sbc(53), 895, keep);
            std::vector<MediaPacket> out;
            std::vector<uint64_t> postOfByte(total);
            uint64_t t = 0;
            for (uint32_t at = 0; at < total; at += piece, t += kMs) {
                const uint32_t n = std::min(piece, total - at);
                for (uint32_t b = at; b < at + n; ++b)
                    postOfByte[b] = t;
                carrier->Take(keep ? stream.data() + at : nullptr, n, t, &out);
            }
            ASSERT_EQ(out.size(), 40u) << piece;
            for (uint32_t i = 0; i < out.size(); ++i) {
                const MediaPacket& p = out[i];
                EXPECT_EQ(p.sequence, i) << piece;
                EXPECT_EQ(p.frames, 7u) << piece;
                EXPECT_EQ(p.timestamp, i * 7 * 128) << piece;
                EXPECT_EQ(p.firstPostNs, postOfByte[i * packetBytes]) << piece << " " << i;
                EXPECT_EQ(p.sentNs, postOfByte[(i + 1) * packetBytes - 1]) << piece << " " << i;
                if (keep)
                    EXPECT_TRUE(std::equal(p.pcm.begin(), p.pcm.end(), stream.begin() + i * packetBytes) &&
                                p.pcm.size() == packetBytes)
                        << piece << " " << i;
                else
                    EXPECT_TRUE(p.pcm.empty());
            }
            // The stream ended on a packet's edge: nothing is held.
            carrier->SendHeld(t, &out);
            EXPECT_EQ(out.size(), 40u) << piece;
        }
    }
}

TEST(CodecTest, PcmCarrierSendsEachPostWholeFramesOnly)
{
    SendPathConfig link;
    link.keepPcm = true;
    auto carrier = CodecOf(Codec::Pcm).make(link);   // the table's PCM line
    std::vector<MediaPacket> out;
    uint8_t a[6] = {1, 2, 3, 4, 5, 6}, b[6] = {7, 8, 9, 10, 11, 12};
    carrier->Take(a, 6, 0, &out);
    carrier->Take(b, 6, 20 * kMs, &out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].pcm, (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(out[1].pcm, (std::vector<uint8_t>{5, 6, 7, 8, 9, 10, 11, 12}));
    EXPECT_EQ(out[1].timestamp, 1u);
    EXPECT_EQ(out[1].bytes, kRtpHeaderBytes + 8);
    EXPECT_EQ(out[1].bitpool, 0u);
}

// ---- Radio ----------------------------------------------------------------------

TEST(RadioTest, MediaPacketsFragmentIntoTheAllowedBasebandPacketTypes)
{
    // The L2CAP frame is the packet and a 4-byte header; each baseband
    // packet has its return slot.  895 bytes: a 2-DH5 (679) and a 2-DH3 for
    // the other 220, ten slots.  672: one 2-DH5, six.
    EXPECT_EQ(AirCostOf(895, kAclEdr2).fragments, 2u);
    EXPECT_EQ(AirCostOf(895, kAclEdr2).slots, 10u);
    EXPECT_EQ(AirCostOf(672, kAclEdr2).slots, 6u);
    EXPECT_EQ(AirCostOf(675, kAclEdr2).slots, 6u);    // 679 exactly
    EXPECT_EQ(AirCostOf(676, kAclEdr2).slots, 8u);    // one byte over: a 2-DH1 after it
    EXPECT_EQ(AirCostOf(363, kAclEdr2).slots, 4u);    // a 2-DH3 holds it
    EXPECT_EQ(AirCostOf(895, kAclEdr2 | kAclEdr3).slots, 6u);   // one 3-DH5 (1021)
    EXPECT_EQ(AirCostOf(100, kAcl2DH1).fragments, 2u);          // 104 bytes in 54-byte packets
    EXPECT_EQ(AirCostOf(100, kAcl2DH1).slots, 4u);
    // The full rate a budget is a share of: 679 bytes each 6 slots.
    EXPECT_NEAR(LinkKbps(kAclEdr2), 1448.5, 0.1);
    EXPECT_NEAR(LinkKbps(kAclEdr3), 2178.1, 0.1);
}

TEST(RadioTest, SendsInOrderInSlotsAtItsShareAndInterferenceTakesItsShare)
{
    // 724 kbit/s is half the link (2-DH5s): a 600-byte packet, one 2-DH5
    // and its return slot (3.75 ms of air), is through in 7.5 ms.
    const double tol = 0.05 * kMs;
    Radio radio(724, 4);
    EXPECT_NEAR(radio.Send(0, 600).doneNs, 7.5 * kMs, tol);
    EXPECT_NEAR(radio.Send(0, 600).doneNs, 15 * kMs, tol);
    EXPECT_EQ(radio.Queued(0), 2u);
    EXPECT_EQ(radio.Queued(8 * kMs), 1u);   // the first is through at 7.5 ms
    EXPECT_EQ(radio.Queued(10 * kMs), 1u);   // the second, on air until 15 ms
    EXPECT_TRUE(radio.HasRoom(10 * kMs));
    EXPECT_NEAR(radio.Send(30 * kMs, 600).doneNs, 37.5 * kMs, tol);   // an idle radio starts at once

    // Half the budget lost from 100 ms for 50 ms: a packet that starts at
    // 97.5 ms is a third through by 100 ms, the rest takes 10 ms at half.
    radio.SetInterference({100 * kMs, 50 * kMs, 0.5});
    EXPECT_DOUBLE_EQ(radio.RateAt(120 * kMs), 362000.0);
    EXPECT_DOUBLE_EQ(radio.RateAt(150 * kMs), 724000.0);
    EXPECT_NEAR(radio.Send(97500000, 600).doneNs, 110 * kMs, tol);
    // Across the end: 140 .. 150 ms at half (two thirds), then 2.5 ms.
    EXPECT_NEAR(radio.Send(140 * kMs, 600).doneNs, 152.5 * kMs, tol);
    // A queue at its depth has no room until the radio moves on.
    for (int i = 0; i < 4; ++i)
        radio.Send(200 * kMs, 600);
    EXPECT_FALSE(radio.HasRoom(200 * kMs));
    EXPECT_TRUE(radio.HasRoom(208 * kMs));
    // All of the budget lost: nothing moves until the interference ends.
    Radio jammed(724, 4);
    jammed.SetInterference({0, 100 * kMs, 1.0});
    EXPECT_NEAR(jammed.Send(10 * kMs, 600).doneNs, 107.5 * kMs, tol);
}

TEST(RadioTest, AFlushTimeoutDropsAPacketNotThroughInTime)
{
    // 7.5 ms a packet, 20 ms to get through: the third queued at 0 would be
    // through at 22.5 ms.  It is on air at 20 ms and dropped then; the
    // fourth, waiting, is dropped at its turn and takes no air.
    Radio radio(RadioConfig{724, 10, kAclEdr2, 20 * kMs});
    const RadioSend a = radio.Send(0, 600), b = radio.Send(0, 600), c = radio.Send(0, 600), d = radio.Send(0, 600);
    EXPECT_FALSE(a.flushed);
    EXPECT_FALSE(b.flushed);
    EXPECT_EQ(a.slots, 6u);
    EXPECT_TRUE(c.flushed);
    EXPECT_EQ(c.doneNs, 20 * kMs);
    EXPECT_EQ(c.slots, 0u);
    EXPECT_TRUE(d.flushed);
    EXPECT_EQ(d.doneNs, 20 * kMs);
    EXPECT_EQ(radio.Queued(20 * kMs), 0u);
    // The radio is free from 20 ms: the next packet goes through.
    const RadioSend e = radio.Send(20 * kMs, 600);
    EXPECT_FALSE(e.flushed);
    EXPECT_NEAR(e.doneNs, 27.5 * kMs, 0.05 * kMs);
    // Without a timeout (the peers' default) nothing is dropped.
    Radio patient(724, 10);
    for (int i = 0; i < 8; ++i)
        EXPECT_FALSE(patient.Send(0, 600).flushed);
}

// ---- Bitpool rule -----------------------------------------------------------------

TEST(BitpoolRuleTest, StepsDownWhileTheBacklogGrowsInTimeSizedByHowFastItGrew)
{
    BitpoolRule rule(BitpoolRange{20, 53, false});
    EXPECT_EQ(rule.Bitpool(), 53u);
    // Windows of 100 ms, each judged by the least backlog its posts found
    // when the next window's first post comes.
    EXPECT_EQ(rule.Observe(0, 0), 53u);
    EXPECT_EQ(rule.Observe(50 * kMs, 30 * kMs), 53u);
    EXPECT_EQ(rule.Observe(100 * kMs, 8 * kMs), 53u);    // the first window's floor was 0
    EXPECT_EQ(rule.Observe(200 * kMs, 13 * kMs), 53u);   // floor 8 ms: not behind
    EXPECT_EQ(rule.Observe(300 * kMs, 12 * kMs), 51u);   // floor 13, above 10 and 5 up: down by 2
    EXPECT_EQ(rule.Observe(400 * kMs, 16 * kMs), 51u);   // floor 12: below the step's 13, draining
    EXPECT_EQ(rule.Observe(500 * kMs, 34 * kMs), 49u);   // floor 16: above the step's, 3 up: by 2
    EXPECT_EQ(rule.Observe(600 * kMs, 20 * kMs), 43u);   // floor 34, 18 up: 2 and 2 for each 7 ms
    EXPECT_EQ(rule.Observe(700 * kMs, 30 * kMs), 43u);   // floor 20: the step was enough
    // Still below the floor that made the last step: no step, though it
    // rose since the window before.
    EXPECT_EQ(rule.Observe(800 * kMs, 120 * kMs), 43u);
    EXPECT_EQ(rule.Observe(900 * kMs, 0), 35u);          // floor 120, 86 up: at most 8 at once
    // A high backlog one post saw is not a trend: the window's floor is low.
    EXPECT_EQ(rule.Observe(950 * kMs, 200 * kMs), 35u);
    EXPECT_EQ(rule.Observe(1000 * kMs, 3 * kMs), 35u);
    // A post refused for room is behind, whatever the backlog.
    rule.Refused();
    EXPECT_EQ(rule.Observe(1100 * kMs, 3 * kMs), 33u);
    for (uint64_t t = 1200; t <= 3000; t += 100)
        rule.Observe(t * kMs, (t - 1100) * kMs);
    EXPECT_EQ(rule.Bitpool(), 20u);                      // never below the range

    BitpoolRule fixed(BitpoolRange{2, 35, true});
    fixed.Refused();
    EXPECT_EQ(fixed.Observe(0, 1000 * kMs), 35u);
    EXPECT_EQ(fixed.Observe(kMs * 1000, 1000 * kMs), 35u);
}

TEST(BitpoolRuleTest, ClimbsWhileWritesGoThroughAndStopsBelowAStepUpThatBackedTheQueueUp)
{
    BitpoolRule rule(BitpoolRange{20, 53, false});
    rule.Refused();
    rule.Observe(0, 0);
    EXPECT_EQ(rule.Observe(100 * kMs, 0), 51u);
    // Up: windows whose floor is at most 5 ms for 500 ms, then one step of 1.
    for (uint64_t t = 200; t <= 500; t += 100)
        EXPECT_EQ(rule.Observe(t * kMs, 5 * kMs), 51u) << t;
    EXPECT_EQ(rule.Observe(600 * kMs, 0), 52u);
    // A window between the marks neither steps down nor counts as quiet.
    EXPECT_EQ(rule.Observe(700 * kMs, 8 * kMs), 52u);
    EXPECT_EQ(rule.Observe(800 * kMs, 0), 52u);
    EXPECT_EQ(rule.Observe(1200 * kMs, 0), 52u);
    EXPECT_EQ(rule.Observe(1300 * kMs, 0), 53u);
    for (uint64_t t = 1800; t <= 5000; t += 100)
        rule.Observe(t * kMs, 0);
    EXPECT_EQ(rule.Bitpool(), 53u);                      // never above the range

    // Down to 43, then up to 44: the queue backs up within 2 s of the step
    // up.  The step up is undone by one step of 2, however fast the backlog
    // grew, and the climb stops at 43 for 5 s.
    BitpoolRule probe(BitpoolRange{20, 53, false});
    probe.Observe(0, 0);
    probe.Observe(100 * kMs, 50 * kMs);
    EXPECT_EQ(probe.Observe(200 * kMs, 0), 45u);         // floor 50: down by 8
    probe.Refused();
    EXPECT_EQ(probe.Observe(300 * kMs, 0), 43u);
    for (uint64_t t = 400; t <= 800; t += 100)
        probe.Observe(t * kMs, 0);
    EXPECT_EQ(probe.Bitpool(), 44u);                     // up at 800 ms
    EXPECT_EQ(probe.Observe(900 * kMs, 60 * kMs), 44u);
    EXPECT_EQ(probe.Observe(1000 * kMs, 0), 42u);        // floor 60, but the step up is blamed: by 2
    uint64_t t = 1100;
    for (; t < 6000; t += 100)
        probe.Observe(t * kMs, 0);
    EXPECT_EQ(probe.Bitpool(), 43u);                     // climbs to just below 44 and holds there
    EXPECT_EQ(probe.Observe(t * kMs, 0), 44u);           // 5 s after the step down it tries again
    // A step down more than 2 s after the last step up blames none.
    for (t += 100; t <= 8200; t += 100)
        probe.Observe(t * kMs, 0);
    const uint32_t top = probe.Bitpool();
    EXPECT_GT(top, 47u);
    probe.Observe(8300 * kMs, 8 * kMs);                  // not quiet: no more steps up
    EXPECT_EQ(probe.Observe(10400 * kMs, 80 * kMs), top);
    EXPECT_EQ(probe.Observe(10500 * kMs, 0), top - 8);
}

// ---- Send path ----------------------------------------------------------------------

// Posts 20 ms of PCM (3528 bytes) every 20 ms for `seconds`, refusing what
// finds no room, and gives the media packets sent.
std::vector<MediaPacket> Play(SendPath& path, double seconds, uint64_t* refused = nullptr)
{
    std::vector<MediaPacket> out;
    for (uint64_t t = 0; t < static_cast<uint64_t>(seconds * 1000) * kMs; t += 20 * kMs) {
        if (!path.Admits(t, 3528)) {
            if (refused)
                ++*refused;
            continue;
        }
        path.Take(t, nullptr, 3528, &out);
    }
    return out;
}

TEST(SendPathTest, AtBitpool53TheDefaultRadioKeepsUpAndPacketsArriveSoon)
{
    SendPath path{SendPathConfig{}};
    uint64_t refused = 0;
    std::vector<MediaPacket> out = Play(path, 10, &refused);
    EXPECT_EQ(refused, 0u);
    EXPECT_EQ(path.Stats().bitpoolChanges, 0u);
    EXPECT_EQ(path.Stats().lowestBitpool, 53u);
    EXPECT_LE(path.Stats().peakQueuedPackets, 2u);
    ASSERT_FALSE(out.empty());
    for (const MediaPacket& p : out) {
        EXPECT_EQ(p.bytes, 846u);
        EXPECT_GT(p.arrivalNs, p.sentNs);
        EXPECT_LE(p.arrivalNs - p.sentNs, 30 * kMs);   // 10 slots (6.25 ms of air) take 12.5 ms at half the link
    }
    // A 2-DH5 and a 2-DH3 each, with their return slots.
    EXPECT_EQ(path.Stats().airSlots, out.size() * 10);
    // About 333 kbit/s on the radio.
    const double seconds = static_cast<double>(path.Stats().lastArrivalNs - path.Stats().firstSentNs) / 1e9;
    EXPECT_NEAR(path.Stats().bytes * 8 / seconds / 1000, 333, 5);
}

// The highest fixed bitpool that plays `c`'s link for 30 s with no post
// refused: what the adaptive rule should settle at or near.
uint32_t HighestFixedBitpool(SendPathConfig c)
{
    c.bitpool.fixed = true;
    for (uint32_t b = c.bitpool.max; b > 2; --b) {
        SendPathConfig f = c;
        f.bitpool.max = b;
        SendPath path(f);
        uint64_t refused = 0;
        Play(path, 30, &refused);
        if (refused == 0)
            return b;
    }
    return 2;
}

TEST(SendPathTest, TheRuleSettlesNearTheHighestBitpoolTheLinkCarries)
{
    // A small MTU's many small packets do not move it while the link carries
    // 53 (at MTU 400 three frames, 374 bytes with the L2CAP header, take a
    // 2-DH5: 2 slots a frame, 86% of the default budget).
    SendPathConfig small;
    small.mtu = 400;
    ASSERT_EQ(HighestFixedBitpool(small), 53u);
    SendPath atTop(small);
    uint64_t refused = 0;
    Play(atTop, 60, &refused);
    EXPECT_EQ(refused, 0u);
    EXPECT_EQ(atTop.Stats().bitpoolChanges, 0u);
    EXPECT_EQ(atTop.Stats().lowestBitpool, 53u);

    // A link that carries less than 53: the rule ends within 3 of the
    // highest it carries, and after the first ten seconds never more than 3
    // below it.
    // In slots the bitpools come in steps of cost.  At MTU 512 (2-DH5s) 44
    // to 53 make 4 frames a packet and 43 makes 5, each packet one 2-DH5
    // (six slots), so 400 kbit/s carries 43 and not 44; at MTU 895, 49-53
    // (7 frames a packet) cost 10 slots per 7 frames and 43-48 (8 frames) 10
    // per 8, so 420 kbit/s carries 48 and not 49.
    struct Link {
        uint32_t mtu, kbps, b;
    };
    for (const Link& l : {Link{512, 400, 43}, Link{895, 420, 48}}) {
        SCOPED_TRACE(l.kbps);
        SendPathConfig mid;
        mid.mtu = l.mtu;
        mid.radioKbps = l.kbps;
        const uint32_t b = HighestFixedBitpool(mid);
        ASSERT_EQ(b, l.b);
        SendPath settles(mid);
        uint64_t midRefused = 0;
        std::vector<MediaPacket> out = Play(settles, 60, &midRefused);
        EXPECT_EQ(midRefused, 0u);
        EXPECT_GE(settles.Bitpool() + 3, b);
        EXPECT_LE(settles.Bitpool(), b + 1);
        for (const MediaPacket& p : out)
            if (p.sentNs >= 10000 * kMs)
                EXPECT_GE(p.bitpool + 3, b) << p.sentNs;
    }

    // Lower links: never more than 6 below it after the first ten seconds,
    // and within 3 of it at the end.
    for (uint32_t kbps : {340u, 280u, 240u, 200u}) {
        SCOPED_TRACE(kbps);
        SendPathConfig low;
        low.radioKbps = kbps;
        const uint32_t lowB = HighestFixedBitpool(low);
        EXPECT_LT(lowB, 42u);
        SendPath path(low);
        uint64_t lowRefused = 0;
        for (const MediaPacket& p : Play(path, 60, &lowRefused))
            if (p.sentNs >= 10000 * kMs)
                EXPECT_GE(p.bitpool + 6, lowB) << p.sentNs;
        EXPECT_GE(path.Bitpool() + 3, lowB);
    }
}

TEST(SendPathTest, HalfTheBudgetFor5sBacksAFixedBitpoolUpButTheRuleAdaptsAndRecovers)
{
    SendPathConfig c;
    c.interference = {2000 * kMs, 5000 * kMs, 0.5};
    SendPathConfig fixedConfig = c;
    fixedConfig.bitpool.fixed = true;
    SendPath fixed(fixedConfig), adaptive(c);
    uint64_t fixedRefused = 0, adaptiveRefused = 0;
    Play(fixed, 20, &fixedRefused);
    std::vector<MediaPacket> out = Play(adaptive, 20, &adaptiveRefused);
    // 492 slots a second through 400: the fixed queue fills and posts are refused.
    EXPECT_GT(fixedRefused, 10u);
    EXPECT_EQ(fixed.Stats().peakQueuedPackets, c.queuePackets);
    // The rule steps down until the stream fits, and the queue never fills.
    EXPECT_EQ(adaptiveRefused, 0u);
    EXPECT_LT(adaptive.Stats().peakQueuedPackets, c.queuePackets);
    EXPECT_LE(adaptive.Stats().lowestBitpool, 43u);
    EXPECT_EQ(adaptive.Bitpool(), 53u);
    // Within 3 of 53 within 10 s of the interference's end.
    const std::vector<BitpoolChange>& log = adaptive.Stats().bitpoolLog;
    ASSERT_FALSE(log.empty());
    EXPECT_GE(log.front().ns, 2000 * kMs);
    EXPECT_EQ(log.back().bitpool, 53u);
    for (const MediaPacket& p : out)
        if (p.sentNs >= 17000 * kMs)
            EXPECT_GE(p.bitpool, 50u) << p.sentNs;
    // Every packet after the change carries the bitpool the rule set.
    for (const MediaPacket& p : out)
        EXPECT_EQ(p.bytes, 13 + p.frames * SbcFrameBytes(Sbc(p.bitpool)));
}

}  // namespace
