// The driver shell: entry points, contexts, reload, dispatch, capabilities
// and the access-fault guard.
#include <sys/mman.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "kit/watchdog.h"
#include "pump/pump.h"
#include "stream/stream.h"
#include "support/driver_fixture.h"

using testing_support::DriverTest;
using testing_support::MessageAnswer;
using testing_support::UnmappedPage;

namespace {

const char16_t kDeviceName[] = u"Bluetooth A2DP Output";

class ShellTest : public DriverTest {};

TEST_F(ShellTest, LibraryEntryDisablesThreadCallsOnAttachOnly)
{
    // Loading attached once already.
    EXPECT_EQ(host::GetCounters().disableThreadLibraryCalls, 1u);
    for (DWORD reason : {0u, 2u, 3u, 77u})
        EXPECT_EQ(Entry().DllMain(nullptr, reason, nullptr), TRUE);
    EXPECT_EQ(host::GetCounters().disableThreadLibraryCalls, 1u);
}

TEST_F(ShellTest, InitTwiceAnswersTenAndAllocatesNothing)
{
    DWORD_PTR first = Entry().Init(nullptr, nullptr);
    ASSERT_NE(first, 0u);
    ASSERT_NE(first, 10u);
    EXPECT_EQ(std::vector<uint8_t>(reinterpret_cast<uint8_t*>(first), reinterpret_cast<uint8_t*>(first) + 16),
              std::vector<uint8_t>(16, 0));
    auto allocs = host::GetCounters().localAllocs;
    EXPECT_EQ(Entry().Init(nullptr, nullptr), 10u);
    EXPECT_EQ(host::GetCounters().localAllocs, allocs);
    EXPECT_EQ(*r_.deviceInit, 1);

    // The 10 coming back must not reach the heap, and leaves the device up.
    auto frees = host::GetCounters().localFrees;
    EXPECT_EQ(Entry().Deinit(10), TRUE);
    EXPECT_EQ(host::GetCounters().localFrees, frees);
    EXPECT_EQ(*r_.deviceInit, 1);

    EXPECT_EQ(Entry().Deinit(first), TRUE);
    EXPECT_EQ(host::GetCounters().localFrees, frees + 1);
    EXPECT_EQ(*r_.deviceInit, 0);
}

TEST_F(ShellTest, InitDeinitInitMakesNewContextAndLock)
{
    DWORD_PTR a = Entry().Init(nullptr, nullptr);
    ASSERT_NE(a, 0u);
    EXPECT_EQ(Entry().Deinit(a), TRUE);
    EXPECT_EQ(StreamLock()->hCrit, nullptr);
    DWORD_PTR b = Entry().Init(nullptr, nullptr);
    ASSERT_NE(b, 0u);
    EXPECT_NE(b, 10u);
    EXPECT_NE(StreamLock()->hCrit, nullptr);
    EXPECT_EQ(host::GetCounters().localAllocs, 2u);
    Entry().Deinit(b);
}

TEST_F(ShellTest, FailedInitAllocationStillInitialisesAndSaysSo)
{
    host::FailNext(host::Fault::LocalAlloc);
    EXPECT_EQ(Entry().Init(nullptr, nullptr), 0u);
    EXPECT_EQ(host::DebugLines(), std::vector<std::string>{"Fail to allocate memory for INIT_CONTEXT\r\n"});
    EXPECT_EQ(*r_.deviceInit, 1);
    EXPECT_NE(StreamLock()->hCrit, nullptr);
    EXPECT_EQ(Entry().Init(nullptr, nullptr), 10u);
    // Deinit(0) frees nothing but still takes the device down.
    EXPECT_EQ(Entry().Deinit(0), TRUE);
    EXPECT_EQ(host::GetCounters().localFrees, 0u);
    EXPECT_EQ(*r_.deviceInit, 0);
    EXPECT_EQ(StreamLock()->hCrit, nullptr);
}

TEST_F(ShellTest, OpensRegisterEachTimeAndKeepTheNewestHandle)
{
    DWORD_PTR dev = Entry().Init(nullptr, nullptr);
    DWORD_PTR o1 = Entry().Open(dev, 0xC0000000u, 3);
    DWORD_PTR o2 = Entry().Open(dev, 0, 0);
    ASSERT_NE(o1, 0u);
    ASSERT_NE(o2, 0u);
    EXPECT_NE(o1, o2);
    EXPECT_EQ(*reinterpret_cast<DWORD_PTR*>(o1), dev);
    EXPECT_EQ(*reinterpret_cast<DWORD_PTR*>(o2), dev);
    auto regs = btstandin::Registrations();
    ASSERT_EQ(regs.size(), 2u);
    EXPECT_EQ(regs[0].context, reinterpret_cast<void*>(o1));
    EXPECT_EQ(regs[1].context, reinterpret_cast<void*>(o2));
    EXPECT_EQ(regs[0].callback, regs[1].callback);
    EXPECT_EQ(regs[0].callback, KIT_BIND(*driver_, BtEventCallback));
    EXPECT_EQ(*r_.btAudio, regs[1].handle);

    // Closing one open leaves the handle; close(0) is harmless.
    EXPECT_EQ(Entry().Close(o2), TRUE);
    EXPECT_EQ(*r_.btAudio, regs[1].handle);
    EXPECT_EQ(Entry().Close(0), TRUE);
    EXPECT_EQ(Entry().Close(o1), TRUE);
    EXPECT_EQ(host::GetCounters().localFrees, 2u);
    Entry().Deinit(dev);
}

TEST_F(ShellTest, FailedOpenAllocationAnswersZeroAndDoesNotRegister)
{
    DWORD_PTR dev = Entry().Init(nullptr, nullptr);
    host::FailNext(host::Fault::LocalAlloc);
    EXPECT_EQ(Entry().Open(dev, 0, 0), 0u);
    EXPECT_TRUE(btstandin::Registrations().empty());
    EXPECT_EQ(*r_.btAudio, nullptr);
    Entry().Deinit(dev);
}

TEST_F(ShellTest, IdleEntryPointsAnswerTheirFixedValues)
{
    char buf[8] = {};
    EXPECT_EQ(Entry().Read(0, buf, 8), 0u);
    EXPECT_EQ(Entry().Read(1234, nullptr, 0xFFFFFFFFu), 0u);
    EXPECT_EQ(Entry().Write(0, buf, 8), 0u);
    EXPECT_EQ(Entry().Seek(0, 5, 1), 0xFFFFFFFFu);
    EXPECT_EQ(Entry().Seek(99, -1, 0), 0xFFFFFFFFu);
    Entry().PowerUp(0);
    Entry().PowerDown(0);
    EXPECT_EQ(host::GetCounters().localAllocs, 0u);
}

// Globals are zero at every load: dirty them, reload, look again.
TEST(ReloadTest, EveryLoadStartsWithZeroGlobals)
{
    host::ResetAll();
    btstandin::Reset();
    for (int round = 0; round < 2; ++round) {
        auto m = testing_support::LoadFreshDriver();
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(*KIT_BIND(*m, g_bDeviceInit), 0);
        EXPECT_EQ(*KIT_BIND(*m, g_hBtAudio), nullptr);
        const auto* ctx = reinterpret_cast<const uint8_t*>(KIT_BIND(*m, g_StreamContext));
        const auto* para = reinterpret_cast<const uint8_t*>(KIT_BIND(*m, g_BtAudioPara));
        ASSERT_NE(ctx, nullptr);
        ASSERT_NE(para, nullptr);
        EXPECT_EQ(std::vector<uint8_t>(ctx, ctx + sizeof(STREAM_CONTEXT)), std::vector<uint8_t>(sizeof(STREAM_CONTEXT), 0));
        EXPECT_EQ(std::vector<uint8_t>(para, para + sizeof(BT_AUDIO_PARA)), std::vector<uint8_t>(sizeof(BT_AUDIO_PARA), 0));

        DWORD_PTR dev = m->Entry().Init(nullptr, nullptr);
        DWORD_PTR open = m->Entry().Open(dev, 0, 0);
        (*KIT_BIND(*m, g_StreamContext))[STREAM_OUTPUT].bOpened = 1;
        // Leave the device initialised and dirty on purpose; only the host's
        // own objects are released before the unload.
        LocalFree(reinterpret_cast<HLOCAL>(dev));
        LocalFree(reinterpret_cast<HLOCAL>(open));
        DeleteCriticalSection(KIT_BIND(*m, g_StreamLock));
        m.reset();
        EXPECT_FALSE(host::DriverModule::IsMapped(BTWAV_DRIVER_PATH));
    }
    btstandin::Reset();
}

// ---- Dispatch --------------------------------------------------------------

class DispatchTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        InitAndOpen();
    }
};

TEST_F(DispatchTest, OtherIoControlCodesDoNothing)
{
    MMDRV_MESSAGE_PARAMS params{};
    params.uMsg = WODM_GETNUMDEVS;
    DWORD out = 0x12345678;
    for (DWORD code : {0u, 0x1D0008u, 0x1D0010u, 0xFFFFFFFFu}) {
        EXPECT_EQ(Entry().IOControl(hOpen_, code, reinterpret_cast<LPBYTE>(&params), sizeof params,
                                    reinterpret_cast<LPBYTE>(&out), 4, nullptr),
                  TRUE);
        EXPECT_EQ(out, 0x12345678u);
    }
    // Not even the input is read.
    EXPECT_EQ(Entry().IOControl(hOpen_, 0x1D0008u, static_cast<LPBYTE>(UnmappedPage()), 20,
                                static_cast<LPBYTE>(UnmappedPage()), 4, nullptr),
              TRUE);
}

TEST_F(DispatchTest, WhatTheDeviceDoesNotAnnounceOrKnowIsNotSupportedAndTouchesNothing)
{
    // Volume, pitch and playback rate (the capabilities announce none of
    // them), and every number without a message: MMSYSERR_NOTSUPPORTED,
    // nothing written through the parameters.
    std::vector<uint8_t> probe(64, 0xEE);
    for (UINT msg : {0u, 1u, 2u, 14u, 15u, 16u, 17u, 18u, 19u, 21u, 23u, 24u, 100u, 0x3BBu, 0xFFFFFFFFu}) {
        auto a = Message(msg, reinterpret_cast<DWORD_PTR>(probe.data()), 64);
        EXPECT_EQ(a.returned, TRUE) << msg;
        EXPECT_TRUE(a.wroteResult) << msg;
        EXPECT_EQ(a.result, DWORD(MMSYSERR_NOTSUPPORTED)) << msg;
    }
    EXPECT_EQ(probe, std::vector<uint8_t>(64, 0xEE));
}

TEST_F(DispatchTest, PrepareAnswersZeroAndTouchesNothing)
{
    // The header passed with PREPARE/UNPREPARE is not touched.
    std::vector<uint8_t> probe(64, 0xEE);
    for (UINT msg : {UINT(WODM_PREPARE), UINT(WODM_UNPREPARE)}) {
        auto a = Message(msg, reinterpret_cast<DWORD_PTR>(probe.data()), 64);
        EXPECT_TRUE(a.wroteResult) << msg;
        EXPECT_EQ(a.result, 0u) << msg;
    }
    EXPECT_EQ(probe, std::vector<uint8_t>(64, 0xEE));
}

TEST_F(DispatchTest, VolumeIsNotSupportedAndTouchesNothing)
{
    // No volume is announced: a set is refused whatever its value, and
    // a get writes nothing, through an unaligned word or a null one.
    std::vector<uint8_t> word(8, 0xEE);
    for (DWORD set : {0u, 0x80008000u, 0xFFFFFFFFu}) {
        EXPECT_EQ(Message(WODM_SETVOLUME, set, 0).result, DWORD(MMSYSERR_NOTSUPPORTED));
        EXPECT_EQ(Message(WODM_GETVOLUME, reinterpret_cast<DWORD_PTR>(word.data() + 1), 0).result,
                  DWORD(MMSYSERR_NOTSUPPORTED));
    }
    EXPECT_EQ(word, std::vector<uint8_t>(8, 0xEE));
    auto a = Message(WODM_GETVOLUME, 0, 0);
    EXPECT_TRUE(a.wroteResult);
    EXPECT_EQ(a.result, DWORD(MMSYSERR_NOTSUPPORTED));
}

TEST_F(DispatchTest, GetNumDevsIsOneAndNullOutputIsSkipped)
{
    auto a = Message(WODM_GETNUMDEVS);
    EXPECT_TRUE(a.wroteResult);
    EXPECT_EQ(a.result, 1u);

    MMDRV_MESSAGE_PARAMS params{};
    params.uMsg = WODM_GETNUMDEVS;
    EXPECT_EQ(Entry().IOControl(hOpen_, IOCTL_WAV_MESSAGE, reinterpret_cast<LPBYTE>(&params), 20, nullptr, 0,
                                nullptr),
              TRUE);
}

TEST_F(DispatchTest, ResultWordMayBeUnaligned)
{
    MMDRV_MESSAGE_PARAMS params{};
    params.uMsg = WODM_GETNUMDEVS;
    alignas(8) uint8_t out[8];
    std::memset(out, 0xCC, sizeof out);
    Entry().IOControl(hOpen_, IOCTL_WAV_MESSAGE, reinterpret_cast<LPBYTE>(&params), 20, out + 1, 4, nullptr);
    EXPECT_EQ(out[0], 0xCC);
    EXPECT_EQ(out[1], 1);
    EXPECT_EQ(out[2], 0);
    EXPECT_EQ(out[4], 0);
    EXPECT_EQ(out[5], 0xCC);
}

TEST_F(DispatchTest, DevCapsWritesEveryFieldByteForByte)
{
    std::vector<uint8_t> caps(84 + 16, 0xFF);
    auto a = Message(WODM_GETDEVCAPS, reinterpret_cast<DWORD_PTR>(caps.data() + 1), 84);
    ASSERT_TRUE(a.wroteResult);
    EXPECT_EQ(a.result, 0u);
    std::vector<uint8_t> expect(84 + 16, 0xFF);
    uint8_t* rec = expect.data() + 1;
    rec[0] = 0xFF; rec[1] = 0xFF;                               // wMid: MM_UNMAPPED
    rec[2] = 0xFF; rec[3] = 0xFF;                               // wPid: MM_PID_UNMAPPED
    rec[4] = 0x00; rec[5] = 0x01; rec[6] = 0; rec[7] = 0;       // vDriverVersion 1.0
    for (int i = 0; i < 32; ++i) {   // 21 characters, then zeros to the field's end
        WCHAR c = i < 22 ? kDeviceName[i] : 0;
        rec[8 + 2 * i] = static_cast<uint8_t>(c);
        rec[8 + 2 * i + 1] = static_cast<uint8_t>(c >> 8);
    }
    rec[72] = 0x00; rec[73] = 0x08; rec[74] = 0; rec[75] = 0;   // WAVE_FORMAT_4S16
    rec[76] = 2; rec[77] = 0;                                   // wChannels
    rec[78] = 0; rec[79] = 0;                                   // wReserved1
    rec[80] = 0; rec[81] = 0; rec[82] = 0; rec[83] = 0;         // dwSupport: no volume
    EXPECT_EQ(caps, expect);

    // A zeroed record reads two channels: no field keeps the caller's bytes.
    WAVEOUTCAPS zeroed{};
    Message(WODM_GETDEVCAPS, reinterpret_cast<DWORD_PTR>(&zeroed), sizeof zeroed);
    EXPECT_EQ(zeroed.wChannels, 2u);
    EXPECT_EQ(zeroed.vDriverVersion, 0x0100u);
}

TEST_F(DispatchTest, DevCapsIntoAShortRecordWritesOnlyWhatFits)
{
    for (DWORD size : {0u, 9u, 30u, 52u, 60u, 74u, 83u}) {
        std::vector<uint8_t> caps(100, 0xFF);
        auto a = Message(WODM_GETDEVCAPS, reinterpret_cast<DWORD_PTR>(caps.data()), size);
        EXPECT_EQ(a.result, 0u);
        std::vector<uint8_t> full(100, 0xFF);
        Message(WODM_GETDEVCAPS, reinterpret_cast<DWORD_PTR>(full.data()), 84);
        for (DWORD i = 0; i < 100; ++i)
            EXPECT_EQ(caps[i], i < size ? full[i] : 0xFF) << "size " << size << " byte " << i;
    }
}

TEST_F(DispatchTest, ExtDevCapsChecksSizeAndAddress)
{
    std::vector<uint8_t> rec(100, 0xFF);
    SetLastError(0);
    auto a = Message(WODM_GETEXTDEVCAPS, reinterpret_cast<DWORD_PTR>(rec.data()), 27);
    EXPECT_EQ(a.result, 11u);
    EXPECT_EQ(GetLastError(), 11u);
    EXPECT_EQ(rec, std::vector<uint8_t>(100, 0xFF));

    SetLastError(0);
    a = Message(WODM_GETEXTDEVCAPS, 0, 28);
    EXPECT_EQ(a.result, 11u);
    EXPECT_EQ(GetLastError(), 11u);

    for (DWORD size : {28u, 100u}) {
        std::vector<uint8_t> r(100, 0xFF);
        a = Message(WODM_GETEXTDEVCAPS, reinterpret_cast<DWORD_PTR>(r.data()), size);
        EXPECT_EQ(a.result, 0u);
        auto word = [&](int i) { DWORD v; std::memcpy(&v, r.data() + 4 * i, 4); return v; };
        EXPECT_EQ(word(0), 1u);
        EXPECT_EQ(word(1), 1u);
        EXPECT_EQ(word(2), 44100u);
        EXPECT_EQ(word(3), 0xFFFFFFFFu);
        EXPECT_EQ(word(4), 0xFFFFFFFFu);
        EXPECT_EQ(word(5), 44100u);
        EXPECT_EQ(word(6), 44100u);
        EXPECT_EQ(std::vector<uint8_t>(r.begin() + 28, r.end()), std::vector<uint8_t>(72, 0xFF));
    }
}

TEST_F(DispatchTest, CapabilitiesAnswerWhileAnotherThreadHoldsTheLock)
{
    kit::Watchdog watchdog(std::chrono::seconds(60), "the capabilities thread");
    EnterCriticalSection(StreamLock());
    std::vector<uint8_t> caps(84, 0);
    MessageAnswer a;
    std::thread t([&] { a = Message(WODM_GETDEVCAPS, reinterpret_cast<DWORD_PTR>(caps.data()), 84); });
    t.join();
    LeaveCriticalSection(StreamLock());
    EXPECT_EQ(a.result, 0u);
    EXPECT_EQ(caps[8], 'B');
}

// ---- The access-fault guard -------------------------------------------------

TEST_F(DispatchTest, BadAddressesEndTheCallWithoutResultWord)
{
    // Unreadable message record.
    DWORD out = 0xA5A5A5A5u;
    EXPECT_EQ(Entry().IOControl(hOpen_, IOCTL_WAV_MESSAGE, static_cast<LPBYTE>(UnmappedPage()), 20,
                                reinterpret_cast<LPBYTE>(&out), 4, nullptr),
              TRUE);
    EXPECT_EQ(out, 0xA5A5A5A5u);

    // Null and unmapped capability records.
    for (DWORD_PTR rec : {DWORD_PTR(0), reinterpret_cast<DWORD_PTR>(UnmappedPage())}) {
        auto a = Message(WODM_GETDEVCAPS, rec, 84);
        EXPECT_EQ(a.returned, TRUE);
        EXPECT_FALSE(a.wroteResult);
        a = Message(WODM_GETEXTDEVCAPS, rec == 0 ? 8 : rec, 28);
        EXPECT_EQ(a.returned, TRUE);
        EXPECT_FALSE(a.wroteResult);
    }

    // Unwritable result word.
    MMDRV_MESSAGE_PARAMS params{};
    params.uMsg = WODM_GETNUMDEVS;
    EXPECT_EQ(Entry().IOControl(hOpen_, IOCTL_WAV_MESSAGE, reinterpret_cast<LPBYTE>(&params), 20,
                                static_cast<LPBYTE>(UnmappedPage()), 4, nullptr),
              TRUE);

    // Nothing is left behind: the lock is free and later calls work.
    EXPECT_TRUE(host::IsFree(StreamLock()));
    auto a = Message(WODM_GETNUMDEVS);
    EXPECT_EQ(a.result, 1u);
}

TEST_F(DispatchTest, FaultsOnManyThreadsAreEachCaughtOnTheirOwn)
{
    kit::Watchdog watchdog(std::chrono::seconds(60), "the faulting threads");
    std::vector<std::thread> threads;
    std::atomic<int> caught{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            // A page of its own per thread, so that the faulting stores of
            // different threads never meet at one address.
            void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            for (int i = 0; i < 50; ++i) {
                auto a = Message(WODM_GETDEVCAPS, reinterpret_cast<DWORD_PTR>(page), 84);
                if (a.returned && !a.wroteResult)
                    ++caught;
            }
            munmap(page, 4096);
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(caught.load(), 200);
}

}  // namespace
