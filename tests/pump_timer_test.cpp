// The playback pump on the virtual clock: its first tick and its reserve,
// underruns, the timer's starts and stops, holds and resumes, a failed or
// ended timer, and the configuration read from the registry at each start.
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

// ---- Tick and timer ---------------------------------------------------------------

TEST_F(PumpTest, FirstTickSendsTheReserveHoweverLateItIs)
{
    int n = 0;
    host::SetVirtualTickLateness([&n] { return n++ == 0 ? 300000000ull : 0ull; });
    Write(pool_.Prepare(0, 60000));
    EXPECT_EQ(para_->bRunning, TRUE);
    EXPECT_EQ(host::ActiveTimerCount(), 1);
    EXPECT_EQ(host::TimerPeriodBalance(), 1);
    host::AdvanceVirtualMs(320);
    ASSERT_FALSE(btstandin::Packets().empty());
    EXPECT_EQ(btstandin::Packets()[0].dataLen, 6144u);
    EXPECT_EQ(para_->nTicks, 1);
    EXPECT_EQ(para_->liCarry.QuadPart, 0);
    // The following ticks pay for the time since the first.
    host::SetVirtualTickLateness(nullptr);
    btstandin::ClearPackets();
    host::AdvanceVirtualMs(40);
    EXPECT_EQ(PacketSizes(), (std::vector<uint32_t>{3528, 3528}));
}

TEST_F(PumpTest, ZeroCacheLenStartsWithTheSecondTick)
{
    host::RegistrySetDword(kParamsKey, "CacheLen", 0);
    Write(pool_.Prepare(0, 60000));
    host::AdvanceVirtualMs(20);
    EXPECT_TRUE(btstandin::Packets().empty());
    EXPECT_EQ(para_->nTicks, 1);
    host::AdvanceVirtualMs(20);
    EXPECT_EQ(PacketSizes(), (std::vector<uint32_t>{3528}));
}

TEST_F(PumpTest, UnderrunPostsWhatIsQueuedAndOwesNothingLater)
{
    Write(pool_.Prepare(0, 6144 + 1000));
    host::AdvanceVirtualMs(40);
    EXPECT_EQ(PacketSizes(), (std::vector<uint32_t>{6144, 1000}));
    EXPECT_EQ(rec_.calls.size(), 1u);
    Write(pool_.Prepare(1, 60000));   // pump still running: no new reserve
    host::AdvanceVirtualMs(20);
    EXPECT_EQ(PacketSizes(), (std::vector<uint32_t>{6144, 1000, 3528}));
}

TEST_F(PumpTest, TimerStopsOneTickAfterTheQueueRanDryAndNextStartRereadsRegistry)
{
    Write(pool_.Prepare(0, 6144 + 3528));
    host::AdvanceVirtualMs(40);
    // The tick that takes the last bytes hands the header back but keeps
    // its timer.
    EXPECT_EQ(rec_.calls.size(), 1u);
    EXPECT_EQ(s_->pLoopStart, nullptr);
    EXPECT_EQ(host::ActiveTimerCount(), 1);
    EXPECT_EQ(para_->bRunning, TRUE);
    host::AdvanceVirtualMs(20);
    EXPECT_EQ(host::ActiveTimerCount(), 0);
    EXPECT_EQ(host::TimerPeriodBalance(), 0);
    EXPECT_EQ(para_->bRunning, FALSE);
    EXPECT_EQ(para_->uTimerId, 0u);
    EXPECT_EQ(btstandin::Packets().size(), 2u);
    EXPECT_FALSE(host::RunNextVirtualTick());

    host::RegistrySetDword(kParamsKey, "Timer", 10);
    host::RegistrySetDword(kParamsKey, "CacheLen", 1000);
    host::ClearDebug();
    btstandin::ClearPackets();
    uint64_t t0 = host::VirtualNowNs();
    Write(pool_.Prepare(1, 50000));
    EXPECT_EQ(host::DebugLines(),
              std::vector<std::string>{"InitBtAudioPara: Sample 176400, Timer 10, CacheLen 1000\r\n"});
    ASSERT_TRUE(host::RunNextVirtualTick());
    EXPECT_EQ(host::VirtualNowNs() - t0, 10000000u);
    EXPECT_EQ(PacketSizes(), (std::vector<uint32_t>{1000}));
}

TEST_F(PumpTest, HeldPumpKeepsItsClockAndResumesWithoutPayingThePause)
{
    Write(pool_.Prepare(0, 100000));
    host::AdvanceVirtualMs(40);
    Locked(r_.suspend);
    EXPECT_EQ(host::ActiveTimerCount(), 0);
    EXPECT_EQ(para_->bRunning, TRUE);
    // A write while held neither restarts nor reconfigures.
    host::ClearDebug();
    Write(pool_.Prepare(1, 100));
    EXPECT_EQ(host::ActiveTimerCount(), 0);
    EXPECT_TRUE(host::DebugLines().empty());
    host::AdvanceVirtualMs(1000);
    EXPECT_EQ(btstandin::Packets().size(), 2u);

    Locked(r_.resume);
    EXPECT_EQ(host::ActiveTimerCount(), 1);
    host::AdvanceVirtualMs(20);
    EXPECT_EQ(PacketSizes(), (std::vector<uint32_t>{6144, 3528, 3528}));

    // A reset-style restart of a held pump leaves exactly one timer.
    Locked(r_.suspend);
    Locked(r_.restart);
    Locked(r_.restart);
    EXPECT_EQ(host::ActiveTimerCount(), 1);
    EXPECT_EQ(host::TimerPeriodBalance(), 1);
    Locked(r_.stop);
    EXPECT_EQ(host::ActiveTimerCount(), 0);
    EXPECT_EQ(host::TimerPeriodBalance(), 0);
    EXPECT_EQ(para_->bRunning, FALSE);
}

TEST_F(PumpTest, ResumeOrRestartBeforeAnyStartConfiguresFirst)
{
    for (void (*op)() : {r_.resume, r_.restart}) {
        std::memset(para_, 0, sizeof *para_);
        host::ClearDebug();
        Locked(op);
        EXPECT_EQ(host::DebugLines(),
                  std::vector<std::string>{"InitBtAudioPara: Sample 176400, Timer 20, CacheLen 6144\r\n"});
        EXPECT_EQ(para_->bRunning, TRUE);
        EXPECT_NE(para_->liFrequency.QuadPart, 0);
        EXPECT_EQ(host::ActiveTimerCount(), 1);
        // The queue is empty: the first tick stops the pump.
        uint64_t t0 = host::VirtualNowNs();
        ASSERT_TRUE(host::RunNextVirtualTick());
        EXPECT_EQ(host::VirtualNowNs() - t0, 20000000u);
        EXPECT_EQ(host::ActiveTimerCount(), 0);
        EXPECT_EQ(para_->bRunning, FALSE);
    }
}

TEST_F(PumpTest, FailedTimerLeavesThePumpIdleSoTheNextWriteRetries)
{
    host::FailNext(host::Fault::TimerCreate);
    Write(pool_.Prepare(0, 10000));
    EXPECT_EQ(para_->bRunning, FALSE);
    EXPECT_EQ(para_->uTimerId, 0u);
    EXPECT_EQ(host::TimerPeriodBalance(), 0);
    Write(pool_.Prepare(1, 10000));
    EXPECT_EQ(para_->bRunning, TRUE);
    EXPECT_EQ(host::ActiveTimerCount(), 1);
    EXPECT_EQ(host::DebugLines().size(), 2u);

    // The same for a resume.
    Locked(r_.suspend);
    host::FailNext(host::Fault::TimerCreate);
    Locked(r_.resume);
    EXPECT_EQ(para_->bRunning, FALSE);
    EXPECT_EQ(host::TimerPeriodBalance(), 0);
}

TEST_F(PumpTest, TickOfAnEndedTimerDoesNothing)
{
    Write(pool_.Prepare(0, 100000));
    UINT id = para_->uTimerId;
    ASSERT_NE(id, 0u);
    LONGLONG last = para_->liLastCount.QuadPart;
    host::AdvanceVirtualMs(5);
    r_.tick(id + 1, 0, 0, 0, 0);
    Locked(r_.suspend);
    r_.tick(id, 0, 0, 0, 0);
    r_.tick(0, 0, 0, 0, 0);
    EXPECT_TRUE(btstandin::Packets().empty());
    EXPECT_EQ(para_->liLastCount.QuadPart, last);
    EXPECT_EQ(para_->nTicks, 0);

    // After the device is gone a late tick must not touch the lock.
    Entry().Deinit(hDevice_);
    hDevice_ = 0;
    r_.tick(id, 0, 0, 0, 0);
}

TEST_F(PumpTest, DoneCallbackWritingFromTheTickRestartsNothing)
{
    // The client writes its header again from MM_WOM_DONE, on the timer's
    // thread with the lock held: the running pump is left as it is.
    struct Ctx {
        DWORD (*queue)(DWORD, LPWAVEHDR);
        void (*start)();
        int budget;
    } ctx{r_.queue, r_.start, 2};
    rec_.onCall = [&ctx](const Recorder::Call& call) {
        auto* c = &ctx;
        WAVEHDR* h = call.Header();
        if (c->budget-- > 0) {
            c->queue(0, h);
            c->start();
        }
    };
    Write(pool_.Prepare(0, 3528));
    host::AdvanceVirtualMs(20 * 5);
    EXPECT_EQ(rec_.calls.size(), 3u);
    EXPECT_EQ(host::TimersCreated(), 1u);
    EXPECT_EQ(host::DebugLines().size(), 1u);
    EXPECT_EQ(PacketSizes(), (std::vector<uint32_t>{3528, 3528, 3528}));
}

// ---- Configuration ----------------------------------------------------------------

class PumpRegistryTest : public PumpTest {
protected:
    std::string StartAndReport()
    {
        Locked(r_.stop);   // back to idle: the start reconfigures from scratch
        host::ClearDebug();
        Locked(r_.start);
        EXPECT_EQ(host::RegistryOpenHandles(), 0u);
        auto lines = host::DebugLines();
        return lines.size() == 1 ? lines[0] : "lines: " + std::to_string(lines.size());
    }
    std::string Line(unsigned sample, unsigned timer, unsigned cache)
    {
        return "InitBtAudioPara: Sample " + std::to_string(sample) + ", Timer " + std::to_string(timer) +
               ", CacheLen " + std::to_string(cache) + "\r\n";
    }
};

TEST_F(PumpRegistryTest, MissingKeyOrFailedOpenKeepsDefaults)
{
    EXPECT_EQ(StartAndReport(), Line(176400, 20, 6144));
    EXPECT_EQ(para_->dwSample, 176400u);
    EXPECT_EQ(para_->dwTimer, 20u);
    EXPECT_EQ(para_->dwCacheLen, 6144u);

    host::RegistrySetDword(kParamsKey, "Sample", 96000);
    host::FailNext(host::Fault::RegistryOpen);
    EXPECT_EQ(StartAndReport(), Line(176400, 20, 6144));
}

TEST_F(PumpRegistryTest, EachValuePresentIsUsedAndOnlyThatOne)
{
    host::RegistrySetDword(kParamsKey, "Timer", 10);
    EXPECT_EQ(StartAndReport(), Line(176400, 10, 6144));
    uint64_t t0 = host::VirtualNowNs();
    ASSERT_TRUE(host::RunNextVirtualTick());
    EXPECT_EQ(host::VirtualNowNs() - t0, 10000000u);

    host::RegistrySetDword(kParamsKey, "sample", 88200);
    // The value's type is not looked at.
    host::RegistrySetValue(kParamsKey, "CacheLen", REG_BINARY, {0x00, 0x10, 0x00, 0x00});
    EXPECT_EQ(StartAndReport(), Line(88200, 10, 4096));

    // A failed query keeps that value's default only.
    host::FailNext(host::Fault::RegistryQuery, 1, 1);
    EXPECT_EQ(StartAndReport(), Line(88200, 20, 4096));
}

TEST_F(PumpRegistryTest, ValuesThatAreNotOneWordKeepTheirDefaults)
{
    host::RegistrySetValue(kParamsKey, "Sample", REG_DWORD, {1, 2, 3, 4, 5, 6, 7, 8});
    host::RegistrySetValue(kParamsKey, "Timer", REG_DWORD, {10, 0});
    host::RegistrySetValue(kParamsKey, "CacheLen", REG_BINARY, {});
    EXPECT_EQ(StartAndReport(), Line(176400, 20, 6144));
    host::RegistrySetValue(kParamsKey, "CacheLen", REG_BINARY, {0x34, 0x12, 0x00});
    EXPECT_EQ(StartAndReport(), Line(176400, 20, 6144));
}

TEST_F(PumpRegistryTest, ZeroRateOrPeriodFallsBackButZeroReserveStands)
{
    host::RegistrySetDword(kParamsKey, "Sample", 0);
    host::RegistrySetDword(kParamsKey, "Timer", 0);
    host::RegistrySetDword(kParamsKey, "CacheLen", 0);
    EXPECT_EQ(StartAndReport(), Line(176400, 20, 0));
    EXPECT_EQ(para_->bRunning, TRUE);
    EXPECT_EQ(host::ActiveTimerCount(), 1);
}

}  // namespace
