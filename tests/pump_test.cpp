// The playback pump: the bytes-due clock, packet building and posting, the
// whole frames across buffers.  The tick, the timer and the configuration are
// pump_timer_test.cpp's.
#include <cstring>
#include <vector>

#include "driver/config.h"
#include "host/clock.h"
#include "host/registry.h"
#include "kit/counter.h"
#include "kit/header_pool.h"
#include "kit/recorder.h"
#include "pump/pump.h"
#include "queue/queue.h"
#include "stream/stream.h"
#include "support/pump_fixture.h"

using namespace testing_support;

namespace {

const char kParamsKey[] = BTWAV_PARAMS_KEY;

using kit::Counter;

// ---- Bytes-due clock -----------------------------------------------------------

TEST_F(PumpTest, OneCountStepsAtOneThousandCarryThePartFrame)
{
    host::SetCounterFrequency(1000);
    para_->liFrequency.QuadPart = 1000;
    para_->dwSample = 176400;
    para_->liCarry.QuadPart = 0;
    para_->liLastCount.QuadPart = static_cast<LONGLONG>(Counter());
    // 176.4 bytes a count: whole frames only, the rest carried, so after
    // five counts 880 of the 882 bytes are due and 2 wait in the carry.
    const DWORD wantBytes[] = {176, 176, 176, 176, 176};
    const LONGLONG wantCarry[] = {400, 800, 1200, 1600, 2000};
    DWORD total = 0;
    for (int i = 0; i < 5; ++i) {
        host::AdvanceVirtualCounts(1);
        DWORD got = r_.due(para_);
        EXPECT_EQ(got, wantBytes[i]) << i;
        EXPECT_EQ(para_->liCarry.QuadPart, wantCarry[i]) << i;
        EXPECT_EQ(static_cast<uint64_t>(para_->liLastCount.QuadPart), Counter());
        total += got;
    }
    EXPECT_EQ(total, 880u);
    // Ten counts are worth 1764 bytes, whole frames: all of it is paid.
    for (int i = 5; i < 10; ++i) {
        host::AdvanceVirtualCounts(1);
        total += r_.due(para_);
    }
    EXPECT_EQ(total, 1764u);
    EXPECT_EQ(para_->liCarry.QuadPart, 0);
}

TEST_F(PumpTest, DueBytesAreWholeFramesAndNeverAheadOfTheClock)
{
    // A 10 MHz counter and steps of every size from 1 count up: each count
    // of due bytes is a multiple of 4, their sum never exceeds what the time
    // is worth and falls short of it by less than one frame.
    host::SetCounterFrequency(10000000);
    para_->liFrequency.QuadPart = 10000000;
    para_->dwSample = 176400;
    para_->liCarry.QuadPart = 0;
    para_->liLastCount.QuadPart = static_cast<LONGLONG>(Counter());
    uint64_t counts = 0, total = 0;
    for (uint64_t step = 1; step < 5000; step = step * 3 / 2 + 1) {
        host::AdvanceVirtualCounts(step);
        counts += step;
        DWORD got = r_.due(para_);
        ASSERT_EQ(got % 4, 0u) << "step " << step;
        total += got;
        ASSERT_LE(total * 10000000, counts * 176400) << "step " << step;
        ASSERT_GT((total + 4) * 10000000, counts * 176400) << "step " << step;
        ASSERT_LT(para_->liCarry.QuadPart, 4 * 10000000);
    }
}

TEST_F(PumpTest, ClockWithoutFrequencyOwesNothing)
{
    // A record never configured: no division by a zero frequency.
    host::AdvanceVirtualMs(5);
    EXPECT_EQ(r_.due(para_), 0u);
    EXPECT_EQ(static_cast<uint64_t>(para_->liLastCount.QuadPart), Counter());
}

// ---- Packets --------------------------------------------------------------------

TEST_F(PumpTest, HalfConsumedHeaderGivesItsRestInOnePacket)
{
    para_->bRunning = TRUE;
    WAVEHDR* h = pool_.Prepare(0, 4096);
    ASSERT_EQ(r_.queue(0, h), 0u);
    SetHeaderConsumed(h, 2048);
    DWORD permissions = GetCurrentPermissions();

    EXPECT_EQ(Post(3528), 2048u);
    auto packets = btstandin::Packets();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].length, 2060u);
    EXPECT_EQ(packets[0].dataLen, 2048u);
    EXPECT_EQ(packets[0].audio, Slice(0, 2048, 4096));
    EXPECT_EQ(packets[0].handle, *r_.btAudio);
    EXPECT_EQ(HeaderConsumed(h), 4096u);
    EXPECT_EQ(GetCurrentPermissions(), permissions);
    EXPECT_EQ(host::GetCounters().driverMallocs, 1u);
}

TEST_F(PumpTest, PacketSpansHeadersInQueueOrderSkippingEmptyOnes)
{
    para_->bRunning = TRUE;
    const DWORD lengths[] = {100, 0, 50, 0, 200};
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(r_.queue(0, pool_.Prepare(i, lengths[i])), 0u);
    SetHeaderConsumed(pool_[0], 30);

    EXPECT_EQ(Post(300), 300u);
    std::vector<uint8_t> want = Slice(0, 30, 100);
    auto more = Slice(2, 0, 50);
    want.insert(want.end(), more.begin(), more.end());
    more = Slice(4, 0, 180);
    want.insert(want.end(), more.begin(), more.end());
    ASSERT_EQ(btstandin::Packets().size(), 1u);
    EXPECT_EQ(btstandin::Packets()[0].audio, want);
    const DWORD cursors[] = {100, 0, 50, 0, 180};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(HeaderConsumed(pool_[i]), cursors[i]) << i;

    // Asking for more than is queued takes everything left.
    EXPECT_EQ(Post(100000), 20u);
    EXPECT_EQ(btstandin::Packets()[1].audio, Slice(4, 180, 200));
    EXPECT_EQ(HeaderConsumed(pool_[4]), 200u);
    EXPECT_EQ(Post(100000), 0u);
    EXPECT_EQ(btstandin::Packets().size(), 2u);
}

TEST_F(PumpTest, RefusedPacketIsFreedOnceAndItsBytesStayTaken)
{
    para_->bRunning = TRUE;
    r_.queue(0, pool_.Prepare(0, 1000));
    btstandin::RefusePosts(1);
    EXPECT_EQ(Post(600), 600u);
    auto packets = btstandin::Packets();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_TRUE(packets[0].refused);
    EXPECT_EQ(host::DriverFreedBlocks(), std::vector<const void*>{packets[0].address});
    EXPECT_EQ(HeaderConsumed(pool_[0]), 600u);

    // An accepted packet is the library's: the driver frees nothing more.
    EXPECT_EQ(Post(600), 400u);
    btstandin::Flush();
    EXPECT_EQ(host::GetCounters().driverFrees, 1u);
    EXPECT_EQ(btstandin::ReceivedAudio(), Slice(0, 600, 1000));
}

TEST_F(PumpTest, AllocationFailureTakesNothing)
{
    para_->bRunning = TRUE;
    r_.queue(0, pool_.Prepare(0, 1000));
    host::FailNext(host::Fault::Malloc);
    EXPECT_EQ(Post(600), 0u);
    EXPECT_TRUE(btstandin::Packets().empty());
    EXPECT_EQ(HeaderConsumed(pool_[0]), 0u);
    EXPECT_EQ(Post(600), 600u);
    EXPECT_EQ(btstandin::Packets()[0].audio, Slice(0, 0, 600));
}

// ---- Whole frames ----------------------------------------------------------------

TEST_F(PumpTest, BuffersThatAreNotWholeFramesFormOneContinuousStreamOfWholeFrames)
{
    para_->bRunning = TRUE;
    const DWORD lengths[] = {4098, 4094, 1, 3, 3001, 2999};   // 14196 bytes, whole frames in all
    std::vector<uint8_t> written;
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(r_.queue(0, pool_.Prepare(i, lengths[i], 0, 0, static_cast<uint8_t>(i + 1))), 0u);
        written.insert(written.end(), pool_.Buffer(i).begin(), pool_.Buffer(i).end());
    }
    for (DWORD ask : {3528u, 3530u, 3527u, 1u, 3528u, 100000u})
        Post(ask);
    std::vector<uint8_t> sent;
    for (const auto& p : btstandin::Packets()) {
        EXPECT_EQ(p.dataLen % 4, 0u) << p.dataLen;
        sent.insert(sent.end(), p.audio.begin(), p.audio.end());
    }
    EXPECT_EQ(PacketSizes(), (std::vector<uint32_t>{3528, 3528, 3524, 3528, 88}));
    EXPECT_EQ(sent, written);
}

TEST_F(PumpTest, PartFrameAtTheQueuesEndWaitsOneTickThenGoesOutCompletedWithZeros)
{
    para_->bRunning = TRUE;
    WAVEHDR* h = pool_.Prepare(0, 1002);
    ASSERT_EQ(r_.queue(0, h), 0u);
    EXPECT_EQ(Post(3528), 1000u);
    EXPECT_EQ(HeaderConsumed(h), 1000u);
    // A request for less than a frame posts nothing.
    EXPECT_EQ(Post(3), 0u);
    // Fewer than 4 bytes are all that is queued: one frame, the client's
    // 2 bytes and 2 zero bytes, and the header is all taken.
    EXPECT_EQ(Post(3528), 4u);
    EXPECT_EQ(HeaderConsumed(h), 1002u);
    auto packets = btstandin::Packets();
    ASSERT_EQ(packets.size(), 2u);
    std::vector<uint8_t> tail = Slice(0, 1000, 1002);
    tail.push_back(0);
    tail.push_back(0);
    EXPECT_EQ(packets[1].audio, tail);
    EXPECT_EQ(packets[1].length, 16u);
}

TEST_F(PumpTest, UnreadableBufferLeavesNoPartFrameInAPacket)
{
    // The unreadable buffer's 1001 bytes count as taken; the readable one
    // after it gives back the part frame it would have ended the packet with.
    para_->bRunning = TRUE;
    ASSERT_EQ(r_.queue(0, pool_.Prepare(0, 1001)), 0u);
    pool_.SetData(0, nullptr);
    ASSERT_EQ(r_.queue(0, pool_.Prepare(1, 1002)), 0u);
    EXPECT_EQ(Post(3528), 1000u);
    EXPECT_EQ(HeaderConsumed(pool_[0]), 1001u);
    EXPECT_EQ(HeaderConsumed(pool_[1]), 1000u);
    EXPECT_EQ(btstandin::Packets()[0].audio, Slice(1, 0, 1000));
    // The part frame a readable header gave is not all it gave: completed.
    ASSERT_EQ(r_.queue(0, pool_.Prepare(2, 3)), 0u);
    ASSERT_EQ(r_.queue(0, pool_.Prepare(3, 100)), 0u);
    pool_.SetData(3, nullptr);
    ASSERT_EQ(r_.queue(0, pool_.Prepare(4, 1)), 0u);
    EXPECT_EQ(Post(3528), 8u);   // 2 + 3 + 1 readable bytes, then 2 zeros
    std::vector<uint8_t> want = Slice(1, 1000, 1002);
    for (size_t i : {2u, 4u}) {
        auto more = Slice(i, 0, pool_.Buffer(i).size());
        want.insert(want.end(), more.begin(), more.end());
    }
    want.resize(8, 0);
    EXPECT_EQ(btstandin::Packets()[1].audio, want);
}

TEST_F(PumpTest, RegistryReserveIsWholeFrames)
{
    for (DWORD cache : {6143u, 3u, 4u}) {
        host::RegistrySetDword(kParamsKey, "CacheLen", cache);
        Locked(r_.stop);
        host::ClearDebug();
        btstandin::ClearPackets();
        Locked(r_.start);
        DWORD whole = cache / 4 * 4;
        EXPECT_EQ(para_->dwCacheLen, whole);
        EXPECT_EQ(host::DebugLines(), std::vector<std::string>{"InitBtAudioPara: Sample 176400, Timer 20, CacheLen " +
                                                                std::to_string(whole) + "\r\n"});
    }
    // The reserve that is left is the first packet.
    Write(pool_.Prepare(0, 60000));
    host::AdvanceVirtualMs(20);
    EXPECT_EQ(PacketSizes(), (std::vector<uint32_t>{4}));
}

// A stereo stream whose left samples are all 0x1111 and right samples all
// 0x2222 goes through the pump while the counter drifts (so the bytes due are
// not a whole number of frames), and one packet is refused or lost on the
// way: every frame the headset hears still has left on the left.
TEST_F(PumpTest, RefusedOrLostPacketLeavesTheChannelsInPlace)
{
    std::vector<uint8_t> heard;
    btstandin::AddSink([&heard](const btstandin::PacketView& p) { heard.insert(heard.end(), p.audio, p.audio + p.size); });
    std::vector<uint8_t> frames(20000);
    for (size_t i = 0; i < frames.size(); i += 4) {
        frames[i] = frames[i + 1] = 0x11;
        frames[i + 2] = frames[i + 3] = 0x22;
    }
    for (host::Fault fault : {host::Fault::RefusePost, host::Fault::LosePacket}) {
        heard.clear();
        btstandin::ClearPackets();
        host::Arm(host::Fault::ClockDrift, 30, 1, 500);   // 1.764 bytes more a tick
        host::Arm(fault, 1, 5, 0);
        for (size_t i = 0; i < 5; ++i)
            Write(pool_.PrepareWith(i, frames));
        host::AdvanceVirtualMs(700);
        btstandin::Flush();
        EXPECT_EQ(host::FaultsFired(fault), 1u);
        EXPECT_EQ(s_->pLoopStart, nullptr);
        bool odd = false;
        for (const auto& p : btstandin::Packets()) {
            EXPECT_EQ(p.dataLen % 4, 0u) << p.dataLen;
            odd = odd || (p.dataLen != 3528 && p.dataLen != 6144);
        }
        EXPECT_TRUE(odd) << "the drift gave only whole ticks";
        ASSERT_EQ(heard.size() % 4, 0u);
        ASSERT_GT(heard.size(), 90000u);
        size_t swapped = 0;
        for (size_t i = 0; i < heard.size(); i += 4)
            swapped += heard[i] != 0x11 || heard[i + 1] != 0x11 || heard[i + 2] != 0x22 || heard[i + 3] != 0x22;
        EXPECT_EQ(swapped, 0u) << "frames heard with the channels swapped, of " << heard.size() / 4;
        host::Arm(host::Fault::ClockDrift, 0, 0, 0);
    }
}

TEST_F(PumpTest, NothingIsAllocatedWhenIdleOrNothingIsDue)
{
    r_.queue(0, pool_.Prepare(0, 1000));
    EXPECT_EQ(Post(600), 0u);   // not running
    para_->bRunning = TRUE;
    EXPECT_EQ(Post(0), 0u);
    SetHeaderConsumed(pool_[0], 1000);
    EXPECT_EQ(Post(600), 0u);   // nothing left
    EXPECT_EQ(host::GetCounters().driverMallocs, 0u);
    EXPECT_TRUE(btstandin::Packets().empty());
    EXPECT_EQ(HeaderConsumed(pool_[0]), 1000u);
}

}  // namespace
