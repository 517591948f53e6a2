// The world around the driver: the fault table, the stand-in's link with
// its send queue and radio, and the clock's faults, on the virtual clock.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "btstandin/btstandin.h"
#include "host/clock.h"
#include "host/host.h"
#include "host/platform.h"
#include "kit/counter.h"
#include "kit/packets.h"
#include "support/driver_fixture.h"

namespace {

// Posts a packet of n bytes; frees it when refused, as the driver does.
DWORD Post(uint32_t n, uint8_t fill = 1)
{
    void* p = kit::MakePacket(n, fill);
    DWORD r = LMRPostData(nullptr, p, kit::PacketLength(n));
    if (r == LMR_POST_REFUSED)
        std::free(p);
    return r;
}

class WorldTest : public testing_support::HostTest {};

TEST_F(WorldTest, RegistryCountsSkipsAndFiresWithAmountsAndNamesEveryFaultOnce)
{
    // Every fault has a distinct spelling that finds it again.
    for (unsigned i = 0; i < host::kFaultCount; ++i) {
        host::Fault f = static_cast<host::Fault>(i);
        host::Fault back;
        ASSERT_TRUE(host::FaultByName(host::Describe(f).spelling, &back)) << i;
        EXPECT_EQ(back, f);
    }
    host::Fault none;
    EXPECT_FALSE(host::FaultByName("nosuchfault", &none));

    // Three failures after two good occasions, each with its amount.
    host::Arm(host::Fault::SlowPost, 3, 2, 7);
    std::vector<bool> got;
    std::vector<int64_t> amounts;
    for (int i = 0; i < 7; ++i) {
        int64_t amount = -1;
        got.push_back(host::ShouldFail(host::Fault::SlowPost, &amount));
        amounts.push_back(amount);
    }
    EXPECT_EQ(got, (std::vector<bool>{false, false, true, true, true, false, false}));
    EXPECT_EQ(amounts, (std::vector<int64_t>{-1, -1, 7, 7, 7, -1, -1}));
    EXPECT_EQ(host::FaultsFired(host::Fault::SlowPost), 3u);
    EXPECT_EQ(host::FaultsLeft(host::Fault::SlowPost), 0u);
    // Other faults are untouched, and the record lists only the armed one.
    EXPECT_FALSE(host::ShouldFail(host::Fault::Malloc));
    auto records = host::FaultRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].fault, host::Fault::SlowPost);
    EXPECT_EQ(records[0].skip, 2u);
    EXPECT_EQ(records[0].count, 3u);
    EXPECT_EQ(records[0].fired, 3u);

    host::ClearFaults();
    EXPECT_TRUE(host::FaultRecords().empty());
    EXPECT_EQ(host::FaultsFired(host::Fault::SlowPost), 0u);
}

TEST_F(WorldTest, UnmodelledLinkCarriesEverythingAndFaultsRefuseOrLoseCountedPosts)
{
    std::mutex mu;
    std::vector<uint8_t> seen;
    btstandin::AddSink([&](const btstandin::PacketView& v) {
        std::lock_guard<std::mutex> lock(mu);
        seen.push_back(v.audio[0]);
    });
    host::FailNext(host::Fault::RefusePost, 2, 1);   // posts 2 and 3
    host::FailNext(host::Fault::LosePacket, 1, 2);   // the third accepted one (post 5)
    std::vector<DWORD> answers;
    for (uint8_t i = 1; i <= 6; ++i)
        answers.push_back(Post(100, i));
    btstandin::Flush();
    EXPECT_EQ(answers, (std::vector<DWORD>{0, LMR_POST_REFUSED, LMR_POST_REFUSED, 0, 0, 0}));
    EXPECT_EQ(seen, (std::vector<uint8_t>{1, 4, 6}));
    auto st = btstandin::Stats();
    EXPECT_EQ(st.posts, 6u);
    EXPECT_EQ(st.carried, 3u);
    EXPECT_EQ(st.refusedFault, 2u);
    EXPECT_EQ(st.refusedFaultBytes, 200u);
    EXPECT_EQ(st.lost, 1u);
    EXPECT_EQ(st.lostBytes, 100u);
    // The stand-in's own switch arms the same fault, counted with the others.
    btstandin::RefusePosts(1);
    EXPECT_EQ(Post(10), LMR_POST_REFUSED);
    EXPECT_EQ(host::FaultsFired(host::Fault::RefusePost), 3u);
}

TEST_F(WorldTest, ModelledLinkRefusesWhileDownAndAFullSendQueueIsCounted)
{
    // The PCM carrier: each post one media packet, 988 audio bytes and the
    // 12-byte RTP header, with the L2CAP header a 2-DH5 and a 2-DH3: 10
    // slots, 6.25 ms of air, 10 ms at 905 kbit/s (62.5% of the link).
    btstandin::LinkModel m;
    m.modelled = true;
    m.send.codec = btstandin::Codec::Pcm;
    m.send.queuePackets = 10;
    m.send.radioKbps = 905;
    btstandin::ModelLink(m);
    std::vector<btstandin::PacketView> seen;
    std::vector<btstandin::MediaPacket> media;
    std::mutex mu;
    btstandin::AddSink([&](const btstandin::PacketView& v) {
        std::lock_guard<std::mutex> lock(mu);
        seen.push_back(v);
    });
    btstandin::AddMediaSink([&](const btstandin::MediaPacket& p) {
        std::lock_guard<std::mutex> lock(mu);
        media.push_back(p);
    });

    // Before the first link-up nothing is carried.
    EXPECT_EQ(Post(988), LMR_POST_REFUSED);
    btstandin::SetLink(true);
    btstandin::WaitForEvents();
    EXPECT_TRUE(btstandin::LinkIsUp());

    // A burst at one instant: ten packets fill the queue, the eleventh
    // finds it full.
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(Post(988), 0u) << i;
    EXPECT_EQ(Post(988), LMR_POST_REFUSED);
    // 35 ms later the radio has sent three and a half: three fit again.
    host::AdvanceVirtualMs(35);
    EXPECT_EQ(Post(988), 0u);
    EXPECT_EQ(Post(988), 0u);
    EXPECT_EQ(Post(988), 0u);
    EXPECT_EQ(Post(988), LMR_POST_REFUSED);

    btstandin::SetLink(false);
    btstandin::WaitForEvents();
    EXPECT_EQ(Post(500), LMR_POST_REFUSED);
    btstandin::Flush();

    auto st = btstandin::Stats();
    EXPECT_EQ(st.posts, 17u);
    EXPECT_EQ(st.carried, 13u);
    EXPECT_EQ(st.refusedLinkDown, 2u);
    EXPECT_EQ(st.refusedLinkDownBytes, 1488u);
    EXPECT_EQ(st.refusedQueueFull, 2u);
    EXPECT_EQ(st.refusedQueueFullBytes, 1976u);
    EXPECT_EQ(st.send.peakQueuedPackets, 10u);
    EXPECT_EQ(st.send.packets, 13u);
    EXPECT_EQ(st.send.bytes, 13000u);
    // The library received every accepted post at its post; the radio
    // delivers their packets in order, one every 10 ms, without a pause.
    ASSERT_EQ(seen.size(), 13u);
    ASSERT_EQ(media.size(), 13u);
    const uint64_t t0 = seen[0].postNs;
    for (size_t i = 0; i < media.size(); ++i) {
        EXPECT_EQ(seen[i].arrivalNs, seen[i].postNs) << i;
        EXPECT_NEAR(static_cast<double>(media[i].arrivalNs - t0), (i + 1) * 1e7, (i + 1) * 5000.0) << i;
        EXPECT_EQ(media[i].sequence, i);
        EXPECT_EQ(media[i].timestamp, i * 988 / 4);
    }
    EXPECT_EQ(btstandin::EventAnswers(), (std::vector<uint32_t>{0xFFFFFFFFu, 0xFFFFFFFFu}));
}

TEST_F(WorldTest, ModelledSbcLinkSendsWholeFramesLosesMediaPacketsAndSendsWhatItHoldsAtTheEnd)
{
    btstandin::LinkModel m;
    m.modelled = true;   // SBC at bitpool 53, MTU 895: 7 frames of 119 bytes a packet
    btstandin::ModelLink(m);
    std::vector<btstandin::MediaPacket> media;
    std::vector<uint8_t> received;
    std::mutex mu;
    btstandin::AddSink([&](const btstandin::PacketView& v) {
        std::lock_guard<std::mutex> lock(mu);
        received.insert(received.end(), v.audio, v.audio + v.size);
    });
    btstandin::AddMediaSink([&](const btstandin::MediaPacket& p) {
        std::lock_guard<std::mutex> lock(mu);
        media.push_back(p);
    });
    btstandin::SetLink(true);
    btstandin::WaitForEvents();
    host::FailNext(host::Fault::LosePacket, 1, 1);   // the second media packet
    // Ten 20 ms posts: 35,280 bytes, 68 whole frames and a part.
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(Post(3528, static_cast<uint8_t>(i)), 0u);
        host::AdvanceVirtualMs(20);
    }
    btstandin::Flush();
    EXPECT_EQ(media.size(), 9u);
    btstandin::EndStream();
    btstandin::Flush();
    ASSERT_EQ(media.size(), 10u);
    // The library received every byte the driver posted, the lost packet's too.
    EXPECT_EQ(received.size(), 35280u);
    auto st = btstandin::Stats();
    EXPECT_EQ(st.carried, 10u);
    EXPECT_EQ(st.lost, 1u);
    EXPECT_EQ(st.lostFrames, 7u);
    EXPECT_EQ(st.lostBytes, 7u * 512);
    EXPECT_EQ(st.send.frames, 69u);   // the last one padded
    for (size_t i = 0; i < media.size(); ++i) {
        EXPECT_EQ(media[i].lost, i == 1) << i;
        EXPECT_EQ(media[i].bytes, 13 + media[i].frames * 119u) << i;
        EXPECT_GT(media[i].arrivalNs, media[i].sentNs) << i;
        EXPECT_TRUE(media[i].payload.empty()) << i;   // no encoder: sizes alone
        EXPECT_TRUE(media[i].pcm.empty()) << i;       // and no samples kept
    }
    EXPECT_EQ(media.back().frames, 6u);
}

TEST_F(WorldTest, TheSendQueueHoldsItsDepthPerMediaPacketAndRefusesAPostWhole)
{
    // A 20 ms post makes 7 media packets at MTU 132 (one 119-byte frame
    // each) and 6 or 7 at bitpool 250 (one 513-byte frame each): a queue of
    // 10 takes one post at a time, and a post whose packets would not all fit
    // is refused whole, so the driver learns of the loss at its post.
    struct Case {
        uint32_t mtu, bitpool;
    } cases[] = {{132, 53}, {895, 250}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mtu);
        btstandin::Reset();
        btstandin::LinkModel m;
        m.modelled = true;
        m.send.mtu = c.mtu;
        m.send.bitpool = btstandin::BitpoolRange{c.bitpool, c.bitpool, true};
        m.send.radioKbps = 200;   // slower than either stream: the queue fills
        btstandin::ModelLink(m);
        std::vector<btstandin::MediaPacket> media;
        std::mutex mu;
        btstandin::AddMediaSink([&](const btstandin::MediaPacket& p) {
            std::lock_guard<std::mutex> lock(mu);
            media.push_back(p);
        });
        btstandin::SetLink(true);
        btstandin::WaitForEvents();
        uint32_t accepted = 0, refused = 0;
        for (int i = 0; i < 100; ++i) {
            const size_t before = btstandin::Stats().send.packets;
            if (Post(3528) == 0) {
                ++accepted;
            } else {
                ++refused;
                EXPECT_EQ(btstandin::Stats().send.packets, before) << i;   // nothing of it was sent
            }
            host::AdvanceVirtualMs(20);
        }
        btstandin::Flush();
        auto st = btstandin::Stats();
        EXPECT_GT(refused, 10u);
        EXPECT_EQ(st.refusedQueueFull, refused);
        EXPECT_EQ(st.carried, accepted);
        EXPECT_LE(st.send.peakQueuedPackets, 10u);
        EXPECT_GE(st.send.peakQueuedPackets, 6u);
        // Every accepted post's audio went out in whole one-frame packets
        // (a part frame waits for the next post): none of it was lost.
        EXPECT_EQ(st.lost, 0u);
        EXPECT_EQ(st.send.samples, accepted * 882u / 128 * 128);
        EXPECT_EQ(media.size(), st.send.packets);
    }
}

TEST_F(WorldTest, ManyPostsBringEachMediaPacketOnceInOrderAsTheirListsComeBackForReuse)
{
    // Several times the bound on packets in flight, with the packet thread
    // working off batches meanwhile: the lists it gives back are used again
    // by later posts, which must carry their own packets and nothing else.
    btstandin::LinkModel m;
    m.modelled = true;
    m.send.codec = btstandin::Codec::Pcm;   // a packet a post, 247 audio frames each
    m.send.radioKbps = 100000;
    m.send.queuePackets = 1000;
    btstandin::ModelLink(m);
    std::vector<btstandin::MediaPacket> media;
    std::mutex mu;
    btstandin::AddMediaSink([&](const btstandin::MediaPacket& p) {
        std::lock_guard<std::mutex> lock(mu);
        media.push_back(p);
    });
    btstandin::SetLink(true);
    btstandin::WaitForEvents();
    const size_t total = 5 * btstandin::kMaxPacketsInFlight;
    for (size_t i = 0; i < total; ++i) {
        ASSERT_EQ(Post(988), 0u) << i;
        host::AdvanceVirtualMs(1);
        if (i % 50 == 49)
            btstandin::Flush();   // every list so far back
    }
    btstandin::Flush();
    ASSERT_EQ(media.size(), total);
    for (size_t i = 0; i < total; ++i) {
        EXPECT_EQ(media[i].sequence, i) << i;
        EXPECT_EQ(media[i].timestamp, i * 247) << i;
        EXPECT_EQ(media[i].samples, 247u) << i;
    }
    EXPECT_EQ(btstandin::Stats().send.packets, total);
}

void CALLBACK CountTick(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR)
{
    static_cast<std::vector<uint64_t>*>(reinterpret_cast<void*>(user))->push_back(kit::Counter());
}

TEST_F(WorldTest, LateTicksAndClockDriftMoveTheCounterTheTicksRead)
{
    // 10 MHz counter, a 20 ms timer: 200,000 counts a tick.
    std::vector<uint64_t> reads;
    host::FailNext(host::Fault::LateTick, 1, 2);   // the third tick, 30 ms late
    host::Arm(host::Fault::ClockDrift, 2, 4, 500);  // ticks 5 and 6, 500 ppm fast
    UINT id = timeSetEvent(20, 1, CountTick, reinterpret_cast<DWORD_PTR>(&reads), TIME_PERIODIC);
    ASSERT_NE(id, 0u);
    host::AdvanceVirtualMs(200);
    timeKillEvent(id);
    ASSERT_GE(reads.size(), 7u);
    std::vector<uint64_t> steps;
    for (size_t i = 1; i < 7; ++i)
        steps.push_back(reads[i] - reads[i - 1]);
    // Ticks at 20, 40, then the third 30 ms late at 90, the fourth (due at
    // 80) with it, never before it, then 100 on the grid.  The drifting
    // fifth and sixth ticks each move the counter on by 500 ppm of their
    // period (100 counts), for good.
    EXPECT_EQ(steps, (std::vector<uint64_t>{200000, 500000, 0, 100100, 200100, 200000}))
        << "reads: " << reads[0];
    EXPECT_EQ(host::FaultsFired(host::Fault::LateTick), 1u);
    EXPECT_EQ(host::FaultsFired(host::Fault::ClockDrift), 2u);
}

}  // namespace
