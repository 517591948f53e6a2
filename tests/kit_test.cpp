// The test kit's own promises, on which every suite, the fuzz target and the
// benchmarks rely: headers that really lie at odd, separate addresses; a
// recorder whose named expectations name the call that breaks them; a
// message sender that tells an unwritten result from a written one; the
// driver's symbols bound by their declarations; a watchdog that ends a hung
// process; a child process whose exit, signal and output come back as they
// were.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <set>
#include <string>
#include <thread>

#include "driver/config.h"
#include "host/registry.h"
#include "kit/child.h"
#include "kit/driver.h"
#include "kit/header_pool.h"
#include "kit/packets.h"
#include "kit/recorder.h"
#include "kit/routines.h"
#include "kit/watchdog.h"
#include "support/driver_fixture.h"
#include "support/files.h"

namespace {

using testing_support::DriverTest;

TEST(KitHeaderPool, HeadersLieAtOddSeparateAddressesWithTheirOwnBuffers)
{
    kit::HeaderPool pool(8);
    std::set<uintptr_t> odd;
    for (size_t i = 0; i < pool.Size(); ++i) {
        auto a = reinterpret_cast<uintptr_t>(pool[i]);
        odd.insert(a % 2);
        // No two headers overlap.
        for (size_t j = i + 1; j < pool.Size(); ++j) {
            auto b = reinterpret_cast<uintptr_t>(pool[j]);
            EXPECT_TRUE(a + sizeof(WAVEHDR) <= b || b + sizeof(WAVEHDR) <= a) << i << " and " << j;
        }
        EXPECT_EQ(pool.IndexOf(pool[i]), static_cast<int>(i));
    }
    EXPECT_EQ(odd, std::set<uintptr_t>{1});
    EXPECT_EQ(pool.IndexOf(&odd), -1);

    WAVEHDR* h = pool.Prepare(3, 40, WHDR_BEGINLOOP, 2, 5);
    EXPECT_EQ(kit::HeaderFlags(h), DWORD(WHDR_BEGINLOOP | WHDR_PREPARED));
    EXPECT_EQ(kit::HeaderLength(h), 40u);
    EXPECT_EQ(kit::HeaderLoops(h), 2u);
    EXPECT_EQ(kit::HeaderConsumed(h), 0xEEEEEEEEu);
    EXPECT_EQ(REC_GETPTR(h, WAVEHDR, lpData), reinterpret_cast<DWORD_PTR>(pool.Buffer(3).data()));
    // Byte k is (seed + 7k + 13i) mod 251.
    ASSERT_EQ(pool.Buffer(3).size(), 40u);
    EXPECT_EQ(pool.Buffer(3)[0], (5 + 13 * 3) % 251);
    EXPECT_EQ(pool.Buffer(3)[39], (5 + 7 * 39 + 13 * 3) % 251);

    // Fill keeps the flags exactly as given, without WHDR_PREPARED.
    h = pool.Fill(3, {1, 2, 3}, WHDR_DONE, 0);
    EXPECT_EQ(kit::HeaderFlags(h), DWORD(WHDR_DONE));
    EXPECT_EQ(kit::HeaderLength(h), 3u);
    pool.SetData(3, kit::UnmappedPage());
    EXPECT_EQ(REC_GETPTR(h, WAVEHDR, lpData), reinterpret_cast<DWORD_PTR>(kit::UnmappedPage()));
}

TEST(KitRecorder, NamedExpectationsNameTheFirstCallThatBreaksThem)
{
    kit::HeaderPool pool(2);
    kit::Recorder rec;
    HDRVR wave = reinterpret_cast<HDRVR>(0x4857);
    int seen = 0;
    rec.onCall = [&](const kit::Recorder::Call& c) { seen += c.msg == MM_WOM_DONE; };
    auto fn = &kit::Recorder::Fn;
    fn(wave, MM_WOM_DONE, rec.InstanceWord(), reinterpret_cast<DWORD_PTR>(pool[1]), 0);
    fn(wave, MM_WOM_DONE, rec.InstanceWord(), reinterpret_cast<DWORD_PTR>(pool[0]), 0);
    EXPECT_EQ(rec.OnlyDoneFrom(wave), "");
    EXPECT_EQ(rec.DoneIndices(pool), (std::vector<int>{1, 0}));
    EXPECT_EQ(seen, 2);
    EXPECT_EQ(rec.calls[0].openedAtCall, -1);   // no stream given

    // A close, another handle and a non-zero dwParam2 each break the
    // expectation, and the description names the call.
    fn(wave, MM_WOM_CLOSE, rec.InstanceWord(), 0, 0);
    std::string why = rec.OnlyDoneFrom(wave);
    EXPECT_NE(why.find("call 2"), std::string::npos) << why;
    rec.calls.pop_back();
    fn(reinterpret_cast<HDRVR>(0x77), MM_WOM_DONE, rec.InstanceWord(), 0, 0);
    EXPECT_NE(rec.OnlyDoneFrom(wave).find("call 2"), std::string::npos);
    rec.calls.pop_back();
    fn(wave, MM_WOM_DONE, rec.InstanceWord(), reinterpret_cast<DWORD_PTR>(pool[0]), 1);
    EXPECT_NE(rec.OnlyDoneFrom(wave), "");

    EXPECT_EQ(rec.Count(MM_WOM_DONE), 3u);
    EXPECT_EQ(rec.Messages(), (std::vector<UINT>{MM_WOM_DONE, MM_WOM_DONE, MM_WOM_DONE}));
    // An address that is none of the pool's maps to -1.
    fn(wave, MM_WOM_DONE, rec.InstanceWord(), 0x1234, 0);
    EXPECT_EQ(rec.DoneIndices(pool).back(), -1);
}

// A watchdog not dismissed within its limit ends the process, naming what
// still runs; one dismissed in time lets the test go on.
TEST(KitWatchdog, AHangPastTheLimitEndsTheProcessWithAMessage)
{
    // The fast style forks without executing the test again, which works
    // under the ARM build's emulator as well.
    EXPECT_DEATH(
        {
            // Hangs for 30 s: a watchdog that does not fire lets it return,
            // and the process does not die.
            kit::Watchdog watchdog(std::chrono::seconds(1), "the hanging case");
            std::this_thread::sleep_for(std::chrono::seconds(30));
        },
        "watchdog: the hanging case still running after 1 s");
    {
        kit::Watchdog quick(std::chrono::seconds(60), "a quick case");
    }
}

TEST(KitPackets, PacketsCarryTheirLengthWhereTheDriverPutsIt)
{
    auto* p = static_cast<uint8_t*>(kit::MakePacket(5, 0x3C));
    EXPECT_EQ(RecReadU32(p + offsetof(BT_AUDIO_PACKET, dwDataLen)), 5u);
    for (int k = 0; k < 5; ++k)
        EXPECT_EQ(p[offsetof(BT_AUDIO_PACKET, abData) + k], 0x3C);
    EXPECT_EQ(kit::PacketLength(5), 5u + BT_AUDIO_PACKET_OVERHEAD);
    std::free(p);
}

using KitDriver = DriverTest;

TEST_F(KitDriver, MessagesTellAnUnwrittenResultFromAWrittenOne)
{
    InitAndOpen();
    kit::MessageAnswer a = kit::SendMessage(Entry(), hOpen_, WODM_GETNUMDEVS);
    EXPECT_EQ(a.returned, TRUE);
    EXPECT_TRUE(a.wroteResult);
    EXPECT_EQ(a.result, 1u);
    // A null or unmapped message record is not read and nothing is answered.
    for (kit::Mem m : {kit::Mem::Null, kit::Mem::Unmapped}) {
        a = kit::SendMessage(Entry(), hOpen_, WODM_GETNUMDEVS, 0, 0, m);
        EXPECT_EQ(a.returned, TRUE) << kit::Name(m);
        EXPECT_FALSE(a.wroteResult) << kit::Name(m);
    }
}

TEST_F(KitDriver, SymbolsAreBoundByTheirDeclarationsAndMatchTheDriversOwn)
{
    // The fixture bound everything; each symbol is the driver's export.
    EXPECT_EQ(reinterpret_cast<void*>(r_.queue), driver_->Symbol("QueueWaveHeader"));
    EXPECT_EQ(reinterpret_cast<void*>(r_.tick), driver_->Symbol("BtAudioTimerProc"));
    EXPECT_EQ(static_cast<void*>(r_.stream), driver_->Symbol("g_StreamContext"));
    EXPECT_EQ(KIT_BIND(*driver_, g_BtAudioPara), r_.para);
    // The driver reads its pacing values from the key the kit and the
    // player name.
    host::RegistrySetDword(BTWAV_PARAMS_KEY, BTWAV_VALUE_TIMER, 7);
    DWORD sample = 0, timer = 0, cache = 0;
    KIT_BIND(*driver_, ReadBtAudioRegistry)(&sample, &timer, &cache);
    EXPECT_EQ(timer, 7u);
}

std::string Slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(KitChild, ExitCodeAndBothOutputsComeBackSeparately)
{
    const std::string dir = FreshDir("kit-child");
    ASSERT_FALSE(dir.empty());
    kit::Child child("/bin/sh", {"-c", "printf 'to out'; printf 'to err' >&2; read x || exit 7"}, dir + "/out",
                     dir + "/err");
    ASSERT_TRUE(child.Started());
    // Standard input is /dev/null: the read meets its end at once.
    EXPECT_EQ(child.Wait(std::chrono::seconds(60)), 7);
    EXPECT_FALSE(child.TimedOut());
    EXPECT_GT(child.PeakKb(), 0);
    EXPECT_EQ(Slurp(dir + "/out"), "to out");
    EXPECT_EQ(Slurp(dir + "/err"), "to err");
    // Once ended, it stays ended: a later stop sends nothing and says the same.
    EXPECT_EQ(child.Stop(SIGKILL), 7);
}

TEST(KitChild, ASignalOrTheTimeLimitEndsItAs128PlusTheSignal)
{
    const std::string dir = FreshDir("kit-child");
    ASSERT_FALSE(dir.empty());
    kit::Child stopped("/bin/sleep", {"600"}, dir + "/out", dir + "/err");
    ASSERT_TRUE(stopped.Started());
    EXPECT_EQ(stopped.Stop(SIGTERM), 128 + SIGTERM);
    EXPECT_FALSE(stopped.TimedOut());

    kit::Child hung("/bin/sleep", {"600"}, dir + "/out", dir + "/err");
    EXPECT_EQ(hung.Wait(std::chrono::milliseconds(50)), 128 + SIGKILL);
    EXPECT_TRUE(hung.TimedOut());

    // A program that cannot be run: posix_spawn either says so (glibc
    // does, natively) or, where the exec fails only in the child (under
    // qemu-user), the child ends with 127, as POSIX has it.
    kit::Child missing(dir + "/no-such-program", {}, dir + "/out", dir + "/err");
    if (missing.Started())
        EXPECT_EQ(missing.Wait(std::chrono::seconds(5)), 127);
    else
        EXPECT_EQ(missing.Wait(std::chrono::seconds(1)), -1);
}

}  // namespace
