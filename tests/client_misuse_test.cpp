// What a careless or hostile client can hand the driver: null records, audio
// buffers that cannot be read, and messages sent from inside MM_WOM_OPEN and
// MM_WOM_CLOSE.
// Each case ends with the lock free, nothing left queued that will never
// come back, and no timer running on for nobody.
#include <sys/mman.h>

#include <cstring>

#include "host/clock.h"
#include "host/wave.h"
#include "support/stream_fixture.h"

using namespace testing_support;

namespace {

std::vector<uint8_t> Snapshot(const STREAM_CONTEXT& s)
{
    const auto* p = reinterpret_cast<const uint8_t*>(&s);
    return std::vector<uint8_t>(p, p + sizeof s);
}

// ---- Null records --------------------------------------------------------------
// A null record is answered as a fault on it would be (TRUE, no result word,
// nothing changed), without forming an address from the null one; clang's
// UBSan (the clang preset) reports any such address.

class NullRecordTest : public StreamTest {};

TEST_F(NullRecordTest, NullMessageRecordAnswersNothing)
{
    DWORD out = 0xA5A5A5A5u;
    EXPECT_EQ(Entry().IOControl(hOpen_, IOCTL_WAV_MESSAGE, nullptr, 20, reinterpret_cast<LPBYTE>(&out), 4, nullptr),
              TRUE);
    EXPECT_EQ(out, 0xA5A5A5A5u);
    EXPECT_EQ(Entry().IOControl(hOpen_, IOCTL_WAV_MESSAGE, nullptr, 0, nullptr, 0, nullptr), TRUE);
    EXPECT_TRUE(host::IsFree(StreamLock()));
}

TEST_F(NullRecordTest, NullCapabilityRecordAnswersNothingWhateverItsSize)
{
    for (DWORD size : {0u, 4u, 84u, 1000u}) {
        auto a = Message(WODM_GETDEVCAPS, 0, size);
        EXPECT_EQ(a.returned, TRUE);
        EXPECT_FALSE(a.wroteResult) << size;
    }
    // The extended record keeps its own answer for a null address.
    auto a = Message(WODM_GETEXTDEVCAPS, 0, 28);
    EXPECT_EQ(a.result, DWORD(MMSYSERR_INVALPARAM));
}

TEST_F(NullRecordTest, NullOpenDescriptorOrFormatChangesNothing)
{
    Recorder client;
    WAVEFORMATEX f = MakeFormat();
    ASSERT_EQ(OpenRaw(client, &f).result, 0u);
    auto before = Snapshot(Ctx());

    for (DWORD flags : {DWORD(0), DWORD(WAVE_FORMAT_QUERY), DWORD(WAVE_FORMAT_DIRECT),
                        DWORD(WAVE_FORMAT_QUERY | WAVE_FORMAT_DIRECT), DWORD(0x30)}) {
        auto a = Message(WODM_OPEN, 0, flags);
        EXPECT_EQ(a.returned, TRUE);
        EXPECT_FALSE(a.wroteResult) << flags;
    }
    // A descriptor that names no format has nothing to test, for a query
    // and an open alike.
    WAVEOPENDESC desc{};
    for (DWORD flags : {DWORD(0), DWORD(WAVE_FORMAT_QUERY), DWORD(WAVE_FORMAT_DIRECT)})
        EXPECT_FALSE(Message(WODM_OPEN, reinterpret_cast<DWORD_PTR>(&desc), flags).wroteResult) << flags;

    EXPECT_EQ(Snapshot(Ctx()), before);
    EXPECT_TRUE(host::IsFree(StreamLock()));
    EXPECT_TRUE(client.calls.empty());
}

TEST_F(NullRecordTest, NullHeaderIsNotQueuedAndStartsNoPump)
{
    Recorder client;
    WAVEFORMATEX f = MakeFormat();
    ASSERT_EQ(OpenRaw(client, &f).result, 0u);
    auto a = Write(nullptr);
    EXPECT_EQ(a.returned, TRUE);
    EXPECT_FALSE(a.wroteResult);
    EXPECT_EQ(host::ActiveTimerCount(), 0);
    EXPECT_EQ(Ctx().pHead, nullptr);
    EXPECT_TRUE(host::IsFree(StreamLock()));
}

// ---- Buffers that cannot be read ----------------------------------------------------
// The tick copies a client's bytes inside the access-fault guard.  A header
// whose buffer cannot be read counts as consumed (its cursor at its length)
// and goes back with WHDR_DONE in its turn; its bytes are not played, the
// other headers' bytes are, exactly.

class UnreadableBufferTest : public StreamTest {
protected:
    void SetUp() override
    {
        StreamTest::SetUp();
        if (HasFatalFailure())
            return;
        f_ = MakeFormat();
        ASSERT_EQ(OpenRaw(client_, &f_).result, 0u);
    }

    static void SetData(WAVEHDR* h, const void* p, DWORD length)
    {
        REC_SETPTR(h, WAVEHDR, lpData, reinterpret_cast<DWORD_PTR>(p));
        REC_SET32(h, WAVEHDR, dwBufferLength, length);
    }

    std::vector<uint8_t> Concat(const HeaderPool& pool, std::initializer_list<size_t> which)
    {
        std::vector<uint8_t> out;
        for (size_t i : which)
            out.insert(out.end(), pool.Buffer(i).begin(), pool.Buffer(i).end());
        return out;
    }

    Recorder client_;
    WAVEFORMATEX f_{};
};

TEST_F(UnreadableBufferTest, UnmappedAndNullBuffersGoBackAndTheOthersPlay)
{
    HeaderPool pool(4);
    pool.Prepare(0, 1000);
    pool.Prepare(1, 8);
    SetData(pool[1], UnmappedPage(), 8);
    pool.Prepare(2, 1000);
    pool.Prepare(3, 8);
    SetData(pool[3], nullptr, 8);
    for (size_t i = 0; i < 4; ++i)
        ASSERT_EQ(Write(pool[i]).result, 0u);

    host::AdvanceVirtualMs(20);   // first tick: 6144 bytes asked, everything taken
    EXPECT_TRUE(host::IsFree(StreamLock()));
    ASSERT_EQ(client_.Done(), (std::vector<const void*>{pool[0], pool[1], pool[2], pool[3]}));
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(testing_support::HeaderFlags(pool[i]), DWORD(WHDR_PREPARED | WHDR_DONE)) << i;
        EXPECT_EQ(testing_support::HeaderConsumed(pool[i]), testing_support::HeaderLength(pool[i])) << i;
    }
    auto packets = btstandin::Packets();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].dataLen, 2000u);
    EXPECT_EQ(packets[0].length, 2012u);
    EXPECT_EQ(btstandin::ReceivedAudio(), Concat(pool, {0, 2}));

    // The position counts the unreadable headers' bytes as taken.
    MMTIME t{};
    t.wType = TIME_BYTES;
    ASSERT_EQ(Message(WODM_GETPOS, reinterpret_cast<DWORD_PTR>(&t), sizeof t).result, 0u);
    EXPECT_EQ(t.u.cb, 2016u);

    host::AdvanceVirtualMs(20);   // the queue is empty: the timer stops
    EXPECT_EQ(host::ActiveTimerCount(), 0);
}

TEST_F(UnreadableBufferTest, OnlyUnreadableBuffersPostNothingAndFreeTheirPacket)
{
    HeaderPool pool(2);
    pool.Prepare(0, 100);
    SetData(pool[0], UnmappedPage(), 100);
    pool.Prepare(1, 50);
    SetData(pool[1], nullptr, 50);
    ASSERT_EQ(Write(pool[0]).result, 0u);
    ASSERT_EQ(Write(pool[1]).result, 0u);
    auto before = host::GetCounters();
    host::AdvanceVirtualMs(20);
    auto after = host::GetCounters();
    EXPECT_TRUE(btstandin::Packets().empty());
    EXPECT_EQ(after.driverMallocs - before.driverMallocs, 1u);
    EXPECT_EQ(after.driverFrees - before.driverFrees, 1u);
    EXPECT_EQ(client_.Done(), (std::vector<const void*>{pool[0], pool[1]}));
    EXPECT_TRUE(host::IsFree(StreamLock()));
}

TEST_F(UnreadableBufferTest, ABufferThatEndsInAnUnmappedPageIsDroppedWhole)
{
    // Two pages, the second unreadable; the buffer straddles them, so the
    // copy faults part way through.
    long page = sysconf(_SC_PAGESIZE);
    auto* region = static_cast<uint8_t*>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE,
                                               MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(region, MAP_FAILED);
    std::memset(region, 0x5A, page);
    ASSERT_EQ(mprotect(region + page, page, PROT_NONE), 0);

    HeaderPool pool(3);
    pool.Prepare(0, 600);
    pool.Prepare(1, 200);
    SetData(pool[1], region + page - 100, 200);
    pool.Prepare(2, 600);
    for (size_t i = 0; i < 3; ++i)
        ASSERT_EQ(Write(pool[i]).result, 0u);
    host::AdvanceVirtualMs(20);

    EXPECT_EQ(btstandin::ReceivedAudio(), Concat(pool, {0, 2}));
    EXPECT_EQ(client_.Done(), (std::vector<const void*>{pool[0], pool[1], pool[2]}));
    EXPECT_TRUE(host::IsFree(StreamLock()));
    munmap(region, 2 * page);
}

TEST_F(UnreadableBufferTest, AnUnreadableLoopMemberIsSkippedOnEveryPass)
{
    HeaderPool pool(2);
    pool.Prepare(0, 100, WHDR_BEGINLOOP, 3);
    pool.Prepare(1, 40, WHDR_ENDLOOP);
    SetData(pool[1], UnmappedPage(), 40);
    for (size_t i = 0; i < 2; ++i)
        ASSERT_EQ(Write(pool[i]).result, 0u);
    host::AdvanceVirtualMs(200);

    std::vector<uint8_t> expected;
    for (int pass = 0; pass < 3; ++pass)
        expected.insert(expected.end(), pool.Buffer(0).begin(), pool.Buffer(0).end());
    EXPECT_EQ(btstandin::ReceivedAudio(), expected);
    EXPECT_EQ(client_.Done(), (std::vector<const void*>{pool[0], pool[1]}));
    EXPECT_EQ(host::ActiveTimerCount(), 0);
    EXPECT_TRUE(host::IsFree(StreamLock()));
}

// ---- Messages from inside MM_WOM_CLOSE ----------------------------------------
// A close is complete before the client hears of it: the callback meets a
// closed stream, so a write from it answers 0 and queues nothing (as on any
// closed stream), and nothing is left queued or ticking after the close.

class CloseReentryTest : public StreamTest {};

TEST_F(CloseReentryTest, AWriteFromTheCloseCallbackIsNotTakenAndNoTimerRunsOn)
{
    LinkEvent(BT_EVENT_LINK_UP);
    Recorder client;
    WAVEFORMATEX f = MakeFormat();
    ASSERT_EQ(OpenRaw(client, &f, 0, reinterpret_cast<HWAVE>(0x77)).result, 0u);
    HeaderPool pool(1);
    pool.Prepare(0, 4000);
    MessageAnswer inner;
    client.onCall = [&](const Recorder::Call& c) {
        if (c.msg == MM_WOM_CLOSE)
            inner = Write(pool[0]);
    };

    auto a = Message(WODM_CLOSE);
    EXPECT_EQ(a.result, 0u);
    ASSERT_EQ(client.Messages(), (std::vector<UINT>{MM_WOM_OPEN, MM_WOM_CLOSE}));
    // The open's handle and instance word, although the stream is already reset.
    EXPECT_EQ(client.calls[1].handle, reinterpret_cast<HDRVR>(0x77));
    EXPECT_EQ(client.calls[1].instance, reinterpret_cast<DWORD_PTR>(&client));
    EXPECT_EQ(client.calls[1].openedAtCall, 0);

    EXPECT_TRUE(inner.wroteResult);
    EXPECT_EQ(inner.result, 0u);
    EXPECT_EQ(testing_support::HeaderFlags(pool[0]), DWORD(WHDR_PREPARED));
    EXPECT_EQ(Ctx().pHead, nullptr);
    EXPECT_EQ(Ctx().pLoopStart, nullptr);
    EXPECT_EQ(Ctx().bLinkUp, TRUE);
    EXPECT_EQ(host::ActiveTimerCount(), 0);
    host::AdvanceVirtualMs(100);
    EXPECT_TRUE(btstandin::Packets().empty());
    EXPECT_TRUE(host::IsFree(StreamLock()));
}

TEST_F(CloseReentryTest, AnOpenFromTheCloseCallbackStaysOpenAndPlays)
{
    Recorder first;
    Recorder second;
    WAVEFORMATEX f = MakeFormat();
    ASSERT_EQ(OpenRaw(first, &f).result, 0u);
    WAVEOPENDESC reopen{};
    reopen.lpFormat = &f;
    reopen.dwCallback = reinterpret_cast<DWORD_PTR>(&Recorder::Fn);
    reopen.dwInstance = reinterpret_cast<DWORD_PTR>(&second);
    second.stream = &Ctx();
    first.onCall = [&](const Recorder::Call& c) {
        if (c.msg == MM_WOM_CLOSE)
            EXPECT_EQ(Message(WODM_OPEN, reinterpret_cast<DWORD_PTR>(&reopen), 0).result, 0u);
    };
    ASSERT_EQ(Message(WODM_CLOSE).result, 0u);
    EXPECT_EQ(Ctx().bOpened, TRUE);

    HeaderPool pool(1);
    pool.Prepare(0, 1000);
    ASSERT_EQ(Write(pool[0]).result, 0u);
    host::AdvanceVirtualMs(20);
    EXPECT_EQ(second.Done(), (std::vector<const void*>{pool[0]}));
    EXPECT_EQ(btstandin::ReceivedAudio(), pool.Buffer(0));
}

class CloseReentryApiTest : public WaveApiTest {};

TEST_F(CloseReentryApiTest, WaveOutWriteInsideTheCloseCallbackLeavesNothingBehind)
{
    WAVEFORMATEX f = MakeFormat();
    Recorder app;
    HWAVEOUT hwo = nullptr;
    HeaderPool pool(1);
    WAVEHDR* hdr = pool.Prepare(0, 4000);
    MMRESULT writeAnswer = 0xFFFF;
    app.onCall = [&](const Recorder::Call& c) {
        if (c.msg == MM_WOM_CLOSE)
            writeAnswer = waveOutWrite(hwo, hdr, sizeof(WAVEHDR));
    };
    ASSERT_EQ(waveOutOpen(&hwo, 1, &f, app.CallbackWord(), app.InstanceWord(), CALLBACK_FUNCTION), 0u);
    testing_support::SetHeaderFlags(hdr, 0);
    ASSERT_EQ(waveOutPrepareHeader(hwo, hdr, sizeof(WAVEHDR)), 0u);

    EXPECT_EQ(waveOutClose(hwo), 0u);
    EXPECT_EQ(app.Messages(), (std::vector<UINT>{MM_WOM_CLOSE}));
    EXPECT_EQ(writeAnswer, 0u);
    EXPECT_EQ(testing_support::HeaderFlags(hdr) & WHDR_INQUEUE, 0u);
    EXPECT_EQ(host::ActiveTimerCount(), 0);
    EXPECT_EQ(Ctx().pHead, nullptr);
    EXPECT_TRUE(host::IsFree(StreamLock()));
}

// ---- A close from inside MM_WOM_OPEN -----------------------------------------
// The open announces itself before it counts the stream as open.  A client
// that closes from inside that announcement was told the stream is closed;
// the open that returns afterwards must not leave it open with nobody to
// hand headers back to.

TEST_F(CloseReentryTest, ACloseFromTheOpenCallbackLeavesTheStreamClosed)
{
    LinkEvent(BT_EVENT_LINK_UP);
    Recorder client;
    MessageAnswer inner;
    client.onCall = [&](const Recorder::Call& c) {
        if (c.msg == MM_WOM_OPEN)
            inner = Message(WODM_CLOSE);
    };
    WAVEFORMATEX f = MakeFormat();
    EXPECT_EQ(OpenRaw(client, &f, 0, reinterpret_cast<HWAVE>(0x51)).result, 0u);
    EXPECT_TRUE(inner.wroteResult);
    EXPECT_EQ(inner.result, 0u);
    ASSERT_EQ(client.Messages(), (std::vector<UINT>{MM_WOM_OPEN, MM_WOM_CLOSE}));
    EXPECT_EQ(client.calls[1].handle, reinterpret_cast<HDRVR>(0x51));
    EXPECT_EQ(Ctx().bOpened, FALSE);
    EXPECT_EQ(Ctx().pfnCallback, nullptr);
    EXPECT_EQ(Ctx().bLinkUp, TRUE);

    // Closed as any closed stream: a write is not taken and nothing plays.
    HeaderPool pool(1);
    pool.Prepare(0, 4000);
    auto w = Write(pool[0]);
    EXPECT_EQ(w.result, 0u);
    EXPECT_EQ(testing_support::HeaderFlags(pool[0]), DWORD(WHDR_PREPARED));
    host::AdvanceVirtualMs(100);
    EXPECT_TRUE(btstandin::Packets().empty());
    EXPECT_EQ(host::ActiveTimerCount(), 0);
    EXPECT_TRUE(host::IsFree(StreamLock()));

    // And the next client opens and plays as usual.
    Recorder next;
    ASSERT_EQ(OpenRaw(next, &f).result, 0u);
    EXPECT_EQ(Ctx().bOpened, TRUE);
    ASSERT_EQ(Write(pool[0]).result, 0u);
    host::AdvanceVirtualMs(200);
    EXPECT_EQ(next.Done(), (std::vector<const void*>{pool[0]}));
}

TEST_F(CloseReentryTest, ACloseAndReopenFromTheOpenCallbackLeavesTheNewClientsStream)
{
    LinkEvent(BT_EVENT_LINK_UP);
    Recorder first;
    Recorder second;
    second.stream = &Ctx();
    WAVEFORMATEX f = MakeFormat();
    WAVEOPENDESC reopen{};
    reopen.lpFormat = &f;
    reopen.dwCallback = 0;   // an event-style client: no callback at all
    reopen.dwInstance = reinterpret_cast<DWORD_PTR>(&second);
    reopen.hWave = reinterpret_cast<HWAVE>(0x52);
    first.onCall = [&](const Recorder::Call& c) {
        if (c.msg == MM_WOM_OPEN) {
            EXPECT_EQ(Message(WODM_CLOSE).result, 0u);
            EXPECT_EQ(Message(WODM_OPEN, reinterpret_cast<DWORD_PTR>(&reopen), 0).result, 0u);
        }
    };
    ASSERT_EQ(OpenRaw(first, &f).result, 0u);
    EXPECT_EQ(first.Messages(), (std::vector<UINT>{MM_WOM_OPEN, MM_WOM_CLOSE}));
    EXPECT_EQ(Ctx().bOpened, TRUE);
    EXPECT_EQ(Ctx().hWave, reinterpret_cast<HWAVE>(0x52));

    HeaderPool pool(1);
    pool.Prepare(0, 1000);
    ASSERT_EQ(Write(pool[0]).result, 0u);
    host::AdvanceVirtualMs(20);
    EXPECT_EQ(btstandin::ReceivedAudio(), pool.Buffer(0));
    EXPECT_NE(testing_support::HeaderFlags(pool[0]) & WHDR_DONE, 0u);
}

}  // namespace
