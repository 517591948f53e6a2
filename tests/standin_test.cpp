// The Bluetooth stand-in as the driver's library: what it keeps, what its
// sinks and its post observer see, and the ownership of posted packets.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <chrono>
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
