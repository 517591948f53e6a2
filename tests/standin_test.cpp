// The Bluetooth stand-in as the driver's library: what it keeps, what its
// sinks and its post observer see, and the ownership of posted packets.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "btstandin/btstandin.h"
#include "host/clock.h"
#include "host/faults.h"
#include "host/host.h"
#include "kit/packets.h"
#include "kit/watchdog.h"
#include "support/driver_fixture.h"

namespace {

class StandInTest : public testing_support::HostTest {};

// An encoder that holds its thread at its first packet until let go, and
// notes the order it saw and whether it ever ran on the posting thread
// (where it holds nothing, so that a post that encodes fails the test
// instead of hanging it).
class HeldEncoder : public btstandin::PacketEncoder {
public:
    void Encode(btstandin::MediaPacket* p) override
    {
        std::unique_lock<std::mutex> lock(mu_);
        if (std::this_thread::get_id() == poster_) {
            onPoster_ = true;
        } else {
            entered_ = true;
            cv_.notify_all();
            cv_.wait(lock, [&] { return released_; });
        }
        order_.push_back(p->sequence);
        p->payload.assign(1, static_cast<uint8_t>(p->sequence));
    }
    bool RanOnPoster()
    {
        std::lock_guard<std::mutex> lock(mu_);
        return onPoster_;
    }
    void WaitEntered()
    {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [&] { return entered_; });
    }
    void Release()
    {
        std::lock_guard<std::mutex> lock(mu_);
        released_ = true;
        cv_.notify_all();
    }
    std::vector<uint16_t> Order()
    {
        std::lock_guard<std::mutex> lock(mu_);
        return order_;
    }

private:
    const std::thread::id poster_ = std::this_thread::get_id();
    std::mutex mu_;
    std::condition_variable cv_;
    bool onPoster_ = false, entered_ = false, released_ = false;
    std::vector<uint16_t> order_;
};

// Lets the encoder go at the end of a test however it ends, so that the
// fixture's flush does not wait for it.
struct ReleaseAtEnd {
    std::shared_ptr<HeldEncoder> encoder;
    ~ReleaseAtEnd() { encoder->Release(); }
};

// A modelled link that carries every post as one PCM media packet with its
// samples, up, with `encoder` filling the payload.
void ListeningLink(std::shared_ptr<btstandin::PacketEncoder> encoder)
{
    btstandin::LinkModel model;
    model.modelled = true;
    model.send.codec = btstandin::Codec::Pcm;
    model.send.keepPcm = true;
    model.send.queuePackets = 100000;
    btstandin::ModelLink(model);
    btstandin::SetLink(true);
    btstandin::WaitForEvents();
    btstandin::SetEncoder(std::move(encoder));
}

std::vector<uint16_t> Sequence(size_t n)
{
    std::vector<uint16_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint16_t>(i);
    return v;
}

TEST_F(StandInTest, WhileTheEncoderIsHeldPostsReturnAndLaterReachTheSinksInOrder)
{
    kit::Watchdog watchdog(std::chrono::seconds(60), "the held encoder");
    auto encoder = std::make_shared<HeldEncoder>();
    ReleaseAtEnd release{encoder};
    ListeningLink(encoder);
    std::mutex mu;
    std::vector<uint16_t> heard;
    btstandin::AddMediaSink([&](const btstandin::MediaPacket& m) {
        std::lock_guard<std::mutex> lock(mu);
        if (m.payload.size() == 1 && m.payload[0] == static_cast<uint8_t>(m.sequence))
            heard.push_back(m.sequence);
    });
    // Fewer posts than the virtual clock lets wait for the sinks: none may
    // wait, though the encoder's thread is held the whole time.
    const size_t total = btstandin::kMaxPacketsInFlight / 2;
    for (size_t i = 0; i < total; ++i)
        ASSERT_EQ(LMRPostData(nullptr, kit::MakePacket(4, static_cast<uint8_t>(i)), kit::PacketLength(4)), 0u) << i;
    ASSERT_FALSE(encoder->RanOnPoster()) << "the post encoded on the driver's timer thread";
    encoder->WaitEntered();
    EXPECT_EQ(btstandin::Stats().carried, total);
    EXPECT_EQ(btstandin::PacketsInFlight(), total);
    {
        std::lock_guard<std::mutex> lock(mu);
        EXPECT_TRUE(heard.empty());   // nothing reaches the ear unencoded
    }
    encoder->Release();
    btstandin::Flush();
    EXPECT_EQ(encoder->Order(), Sequence(total));
    EXPECT_EQ(heard, Sequence(total));
}

TEST_F(StandInTest, AnEncoderFarBehindOnTheRealClockGetsItsPostsRefusedNotWaitedFor)
{
    kit::Watchdog watchdog(std::chrono::seconds(60), "the held encoder");
    host::UseClock(host::ClockKind::Real);
    auto encoder = std::make_shared<HeldEncoder>();
    ReleaseAtEnd release{encoder};
    ListeningLink(encoder);
    // The first post's entry is in the encoder's hands; the hand-off then
    // holds kEncodeBacklog more, and the one after is refused.
    ASSERT_EQ(LMRPostData(nullptr, kit::MakePacket(4, 0), kit::PacketLength(4)), 0u);
    encoder->WaitEntered();
    for (size_t i = 0; i < btstandin::kEncodeBacklog; ++i)
        ASSERT_EQ(LMRPostData(nullptr, kit::MakePacket(4, 1), kit::PacketLength(4)), 0u) << i;
    void* refused = kit::MakePacket(8, 2);
    EXPECT_EQ(LMRPostData(nullptr, refused, kit::PacketLength(8)), LMR_POST_REFUSED);
    std::free(refused);   // a refused packet stays the poster's
    btstandin::PostStats st = btstandin::Stats();
    EXPECT_EQ(st.refusedEncoderBehind, 1u);
    EXPECT_EQ(st.refusedEncoderBehindBytes, 8u);
    EXPECT_EQ(st.refusedQueueFull, 0u);
    encoder->Release();
    btstandin::Flush();
    // Taken posts all encoded in order; the refused one took no place in
    // the link's sequence.
    EXPECT_EQ(encoder->Order(), Sequence(btstandin::kEncodeBacklog + 1));
    EXPECT_EQ(btstandin::Stats().send.packets, btstandin::kEncodeBacklog + 1);
    host::UseClock(host::ClockKind::Virtual);
}

TEST_F(StandInTest, KeepsNothingUnlessAskedYetSinksSeeEveryPacket)
{
    std::mutex mu;
    std::vector<uint8_t> seen;
    btstandin::AddSink([&](const btstandin::PacketView& v) {
        std::lock_guard<std::mutex> lock(mu);
        seen.insert(seen.end(), v.audio, v.audio + v.size);
    });
    for (uint8_t i = 0; i < 100; ++i)
        EXPECT_EQ(LMRPostData(nullptr, kit::MakePacket(10, i), kit::PacketLength(10)), 0u);
    btstandin::Flush();
    EXPECT_TRUE(btstandin::Packets().empty());
    EXPECT_EQ(btstandin::PacketsInFlight(), 0u);
    ASSERT_EQ(seen.size(), 1000u);
    for (size_t i = 0; i < seen.size(); ++i)
        ASSERT_EQ(seen[i], i / 10) << i;
}

TEST_F(StandInTest, RecordKeepsAudioUpToItsBoundThenOnlyTheFacts)
{
    btstandin::KeepPackets(25);
    for (uint8_t i = 0; i < 4; ++i)
        LMRPostData(nullptr, kit::MakePacket(10, i), kit::PacketLength(10));
    btstandin::Flush();
    std::vector<btstandin::Packet> p = btstandin::Packets();
    ASSERT_EQ(p.size(), 4u);
    EXPECT_EQ(p[0].audio.size(), 10u);
    EXPECT_EQ(p[1].audio.size(), 10u);
    EXPECT_TRUE(p[2].audio.empty());   // 30 bytes would pass the bound of 25
    EXPECT_EQ(p[3].dataLen, 10u);
    EXPECT_TRUE(btstandin::RecordOverflowed());
    btstandin::ClearPackets();
    EXPECT_FALSE(btstandin::RecordOverflowed());
    btstandin::KeepPackets(0);
    LMRPostData(nullptr, kit::MakePacket(10, 9), kit::PacketLength(10));
    btstandin::Flush();
    EXPECT_TRUE(btstandin::Packets().empty());
}

TEST_F(StandInTest, ObserverSeesEveryPostInOrderRefusedOnesIncluded)
{
    std::vector<btstandin::PostInfo> posts;
    btstandin::SetPostObserver([&](const btstandin::PostInfo& p) { posts.push_back(p); });
    btstandin::RefusePosts(1);
    void* refused = kit::MakePacket(7, 1);
    EXPECT_EQ(LMRPostData(nullptr, refused, kit::PacketLength(7)), LMR_POST_REFUSED);
    std::free(refused);   // a refused packet stays the poster's
    EXPECT_EQ(LMRPostData(nullptr, kit::MakePacket(5, 2), kit::PacketLength(5)), 0u);
    // Only the bytes the length covers count as audio.
    EXPECT_EQ(LMRPostData(nullptr, kit::MakePacket(50, 3), kit::PacketLength(20)), 0u);
    btstandin::Flush();
    ASSERT_EQ(posts.size(), 3u);
    EXPECT_TRUE(posts[0].refused);
    EXPECT_EQ(posts[0].bytes, 7u);
    EXPECT_FALSE(posts[1].refused);
    EXPECT_EQ(posts[1].bytes, 5u);
    EXPECT_EQ(posts[2].bytes, 20u);
}

TEST_F(StandInTest, OnTheVirtualClockSlowSinksHoldThePosterAtTheBoundNotBeyond)
{
    kit::Watchdog watchdog(std::chrono::seconds(60), "the poster thread");
    // A sink that blocks until released: in a fast run posts beyond the
    // bound must wait, and all of them arrive once the sink goes on.
    std::mutex gate;
    gate.lock();
    size_t arrived = 0;
    btstandin::AddSink([&](const btstandin::PacketView&) {
        std::lock_guard<std::mutex> hold(gate);
        ++arrived;
    });
    const size_t total = btstandin::kMaxPacketsInFlight + 20;
    std::thread poster([&] {
        for (size_t i = 0; i < total; ++i)
            LMRPostData(nullptr, kit::MakePacket(4, 0), kit::PacketLength(4));
    });
    // The poster stops at the bound while the sink is held.
    for (int i = 0; i < 200 && btstandin::PacketsInFlight() < btstandin::kMaxPacketsInFlight; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(btstandin::PacketsInFlight(), btstandin::kMaxPacketsInFlight);
    gate.unlock();
    poster.join();
    btstandin::Flush();
    EXPECT_EQ(arrived, total);
}

TEST_F(StandInTest, OnTheRealClockAPostNeverWaitsForTheSinks)
{
    kit::Watchdog watchdog(std::chrono::seconds(60), "the poster thread");
    // The sinks are held; every post still returns at once, the backlog
    // grows past the virtual clock's bound, and the stand-in reports it and
    // how long the first packet waited for the sinks.
    host::UseClock(host::ClockKind::Real);
    std::mutex gate;
    gate.lock();
    size_t arrived = 0;
    btstandin::AddSink([&](const btstandin::PacketView&) {
        std::lock_guard<std::mutex> hold(gate);
        ++arrived;
    });
    const size_t total = btstandin::kMaxPacketsInFlight * 3;
    auto posted = std::async(std::launch::async, [&] {
        for (size_t i = 0; i < total; ++i)
            LMRPostData(nullptr, kit::MakePacket(4, 0), kit::PacketLength(4));
    });
    const bool returned = posted.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    EXPECT_TRUE(returned) << "a post waited for the held sinks";
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    gate.unlock();
    posted.wait();
    btstandin::Flush();
    EXPECT_EQ(arrived, total);
    btstandin::PostStats st = btstandin::Stats();
    EXPECT_EQ(st.peakInFlight, total);
    EXPECT_GE(st.maxLagNs, 30000000u);
    host::UseClock(host::ClockKind::Virtual);
}

TEST_F(StandInTest, ASlowPostCostsVirtualTimeNotWallTime)
{
    host::Arm(host::Fault::SlowPost, 1, 0, 5000);
    const uint64_t before = host::VirtualNowNs();
    auto wall = std::chrono::steady_clock::now();
    EXPECT_EQ(LMRPostData(nullptr, kit::MakePacket(4, 0), kit::PacketLength(4)), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - wall, std::chrono::seconds(4));
    EXPECT_EQ(host::VirtualNowNs() - before, 5000000000u);
    EXPECT_EQ(btstandin::Stats().slowMs, 5000u);
    btstandin::Flush();
}

TEST_F(StandInTest, FreeOnPostTakesThePacketAndTellsNoSink)
{
    size_t sunk = 0;
    btstandin::AddSink([&](const btstandin::PacketView&) { ++sunk; });
    btstandin::FreeOnPost(true);
    EXPECT_EQ(LMRPostData(nullptr, kit::MakePacket(100, 1), kit::PacketLength(100)), 0u);
    EXPECT_EQ(btstandin::PacketsInFlight(), 0u);
    btstandin::Flush();
    EXPECT_EQ(sunk, 0u);
}

}  // namespace
