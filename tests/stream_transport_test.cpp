// Stream control through raw wave-message records: the position in every
// time format, and the transport messages (write, pause, restart, reset,
// break loop) with the pump on the virtual clock.
#include <sys/mman.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "queue/queue.h"
#include "support/stream_fixture.h"

using testing_support::HeaderPool;
using testing_support::kAllOnes;
using testing_support::kNoHandle;
using testing_support::MakeFormat;
using testing_support::Recorder;
using testing_support::Snapshot;
using testing_support::StreamTest;
using testing_support::UnmappedPage;

namespace {

// ---- Position ------------------------------------------------------------------

class PositionTest : public StreamTest {
protected:
    struct Pos {
        DWORD result;
        DWORD wType;
        DWORD value;
        std::vector<uint8_t> bytes;
    };
    // WODM_GETPOS into an MMTIME at an odd address, pre-filled with 0xEE.
    Pos GetPos(DWORD wType)
    {
        std::vector<uint8_t> buf(16, 0xEE);
        uint8_t* mmt = buf.data() + 1;
        RecWriteU32(mmt, wType);
        auto a = Message(WODM_GETPOS, reinterpret_cast<DWORD_PTR>(mmt), sizeof(MMTIME));
        EXPECT_TRUE(a.wroteResult);
        return {a.result, RecReadU32(mmt), RecReadU32(mmt + 4), std::vector<uint8_t>(mmt, mmt + 12)};
    }
    void OpenAt(const WAVEFORMATEX* f, DWORD position)
    {
        ASSERT_EQ(OpenRaw(client_, f).result, 0u);
        Ctx().dwBytesDone = position;
    }
    Recorder client_;
};

TEST_F(PositionTest, EveryTimeFormat)
{
    WAVEFORMATEX f = MakeFormat();   // 176,400 bytes per second
    OpenAt(&f, 176400);
    struct Case {
        DWORD type, wantType, wantValue;
    } cases[] = {
        {TIME_BYTES, TIME_BYTES, 176400}, {TIME_MS, TIME_MS, 1000},       {TIME_SAMPLES, TIME_SAMPLES, 44100},
        {TIME_SMPTE, TIME_BYTES, 176400}, {TIME_MIDI, TIME_BYTES, 176400}, {TIME_TICKS, TIME_BYTES, 176400},
    };
    for (const Case& c : cases) {
        Pos p = GetPos(c.type);
        EXPECT_EQ(p.result, 0u);
        EXPECT_EQ(p.wType, c.wantType) << c.type;
        EXPECT_EQ(p.value, c.wantValue) << c.type;
        EXPECT_EQ(p.bytes.size(), 12u);
    }
    // Formats nobody knows: the 12 bytes stay as they were.
    for (DWORD type : {0u, 3u, 0x40u}) {
        Pos p = GetPos(type);
        EXPECT_EQ(p.result, 0u);
        std::vector<uint8_t> untouched(12, 0xEE);
        RecWriteU32(untouched.data(), type);
        EXPECT_EQ(p.bytes, untouched) << type;
    }
}

TEST_F(PositionTest, ProductsDoNotOverflow)
{
    WAVEFORMATEX f = MakeFormat();
    OpenAt(&f, 5000000);
    EXPECT_EQ(GetPos(TIME_MS).value, 28344u);
    EXPECT_EQ(GetPos(TIME_SAMPLES).value, 1250000u);
    Ctx().dwBytesDone = kAllOnes;
    EXPECT_EQ(GetPos(TIME_MS).value, 24347887u);   // (2^32 - 1) * 1000 / 176400
}

TEST_F(PositionTest, WithoutRateOrFrameSizeTheAnswerIsInBytes)
{
    // The open refuses such formats; the stream's own copies are zeroed
    // here, as a record the open did not check would leave them.
    WAVEFORMATEX f = MakeFormat();
    OpenAt(&f, 3000);
    Ctx().dwAvgBytesPerSec = 0;
    Pos ms = GetPos(TIME_MS);
    EXPECT_EQ(ms.wType, DWORD(TIME_BYTES));
    EXPECT_EQ(ms.value, 3000u);
    EXPECT_EQ(GetPos(TIME_SAMPLES).value, 750u);

    Ctx().dwBitsPerSample = 0;
    Pos samples = GetPos(TIME_SAMPLES);
    EXPECT_EQ(samples.wType, DWORD(TIME_BYTES));
    EXPECT_EQ(samples.value, 3000u);
}

TEST_F(PositionTest, WithoutAFormatTheAnswerIsInBytes)
{
    // Before any open, and after an open without a format record, which
    // opens nothing.
    for (int round = 0; round < 2; ++round) {
        for (DWORD type : {DWORD(TIME_MS), DWORD(TIME_SAMPLES)}) {
            Pos p = GetPos(type);
            EXPECT_EQ(p.result, 0u);
            EXPECT_EQ(p.wType, DWORD(TIME_BYTES));
            EXPECT_EQ(p.value, round == 0 ? 0u : 4444u);
        }
        EXPECT_FALSE(OpenRaw(client_, nullptr).wroteResult);
        EXPECT_EQ(Ctx().bOpened, 0);
        Ctx().dwBytesDone = 4444;
    }
}

TEST_F(PositionTest, UsesTheFormatAsItWasAtOpen)
{
    auto f = std::make_unique<WAVEFORMATEX>(MakeFormat());
    OpenAt(f.get(), 176400);
    std::memset(f.get(), 0, sizeof *f);
    f.reset();
    EXPECT_EQ(GetPos(TIME_MS).value, 1000u);
    EXPECT_EQ(GetPos(TIME_SAMPLES).value, 44100u);
}

TEST_F(PositionTest, CountsTheCurrentHeadersConsumedBytes)
{
    WAVEFORMATEX f = MakeFormat();
    OpenAt(&f, 0);
    HeaderPool pool(1);
    ASSERT_EQ(Write(pool.Prepare(0, 10000)).result, 0u);
    host::AdvanceVirtualMs(20);   // the first tick takes CacheLen bytes
    EXPECT_EQ(GetPos(TIME_BYTES).value, 6144u);
    EXPECT_EQ(GetPos(TIME_MS).value, 34u);
}

TEST_F(PositionTest, UnwritableRecordsAreRefused)
{
    void* readOnly = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(readOnly, MAP_FAILED);
    // The last 8 bytes of a writable block: 12 bytes do not fit.
    auto* rw = static_cast<uint8_t*>(mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_EQ(mprotect(rw + 4096, 4096, PROT_NONE), 0);
    for (void* p : {static_cast<void*>(nullptr), UnmappedPage(), readOnly, static_cast<void*>(rw + 4096 - 8)}) {
        auto a = Message(WODM_GETPOS, reinterpret_cast<DWORD_PTR>(p), sizeof(MMTIME));
        EXPECT_TRUE(a.wroteResult);
        EXPECT_EQ(a.result, DWORD(MMSYSERR_INVALPARAM)) << p;
    }
    munmap(readOnly, 4096);
    munmap(rw, 8192);
}

// ---- Transport -------------------------------------------------------------------

class TransportTest : public StreamTest {
protected:
    void Open()
    {
        format_ = MakeFormat();
        ASSERT_EQ(OpenRaw(client_, &format_).result, 0u);
    }
    WAVEFORMATEX format_{};
    Recorder client_;
};

TEST_F(TransportTest, WriteOnAClosedStreamDoesNothing)
{
    HeaderPool pool(1);
    WAVEHDR* h = pool.Prepare(0, 100);
    auto a = Write(h);
    EXPECT_EQ(a.result, 0u);
    EXPECT_EQ(testing_support::HeaderFlags(h), DWORD(WHDR_PREPARED));
    EXPECT_EQ(host::ActiveTimerCount(), 0);
    EXPECT_EQ(Ctx().pHead, nullptr);
}

TEST_F(TransportTest, PauseThenWriteWaitsForRestart)
{
    Open();
    HeaderPool pool(2);
    ASSERT_EQ(Write(pool.Prepare(0, 20000)).result, 0u);
    host::AdvanceVirtualMs(40);
    ASSERT_EQ(PostedBytes(), 6144u + 3528u);

    EXPECT_EQ(Message(WODM_PAUSE).result, 0u);
    EXPECT_EQ(Ctx().bPaused, 1);
    EXPECT_EQ(host::ActiveTimerCount(), 0);
    EXPECT_EQ(Write(pool.Prepare(1, 4000)).result, 0u);
    EXPECT_EQ(host::ActiveTimerCount(), 0);
    host::AdvanceVirtualMs(200);
    EXPECT_EQ(PostedBytes(), 6144u + 3528u);
    EXPECT_EQ(Message(WODM_PAUSE).result, 0u);   // a second pause changes nothing
    EXPECT_EQ(host::ActiveTimerCount(), 0);

    auto created = host::TimersCreated();
    EXPECT_EQ(Message(WODM_RESTART).result, 0u);
    EXPECT_EQ(Ctx().bPaused, 0);
    EXPECT_EQ(host::ActiveTimerCount(), 1);
    EXPECT_EQ(host::TimersCreated(), created + 1);
    host::AdvanceVirtualMs(20);
    // One period's worth: the paused time is not paid for.
    EXPECT_EQ(PostedBytes(), 6144u + 2u * 3528u);
}

TEST_F(TransportTest, PauseWhileIdleThenWritePlaysAndRestartReplacesTheTimer)
{
    Open();
    HeaderPool pool(2);
    ASSERT_EQ(Write(pool.Prepare(0, 1000)).result, 0u);
    host::AdvanceVirtualMs(40);   // played, then the empty tick stops the pump
    ASSERT_EQ(client_.Done().size(), 1u);
    ASSERT_EQ(host::ActiveTimerCount(), 0);
    ASSERT_EQ(Para().bRunning, 0);

    Message(WODM_PAUSE);
    EXPECT_EQ(Ctx().bPaused, 1);
    EXPECT_EQ(Write(pool.Prepare(1, 1000)).result, 0u);
    EXPECT_EQ(host::ActiveTimerCount(), 1);
    host::AdvanceVirtualMs(20);
    EXPECT_EQ(client_.Done(), (std::vector<const void*>{pool[0], pool[1]}));

    auto created = host::TimersCreated();
    Message(WODM_RESTART);
    EXPECT_EQ(Ctx().bPaused, 0);
    EXPECT_EQ(host::TimersCreated(), created + 1);
    EXPECT_EQ(host::ActiveTimerCount(), 1);
}

TEST_F(TransportTest, ResetWhilePausedHandsEveryHeaderBackInOrder)
{
    Open();
    HeaderPool pool(3);
    for (size_t i = 0; i < 3; ++i)
        ASSERT_EQ(Write(pool.Prepare(i, 8000)).result, 0u);
    host::AdvanceVirtualMs(20);
    Message(WODM_PAUSE);

    EXPECT_EQ(Message(WODM_RESET).result, 0u);
    EXPECT_EQ(client_.Done(), (std::vector<const void*>{pool[0], pool[1], pool[2]}));
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(testing_support::HeaderFlags(pool[i]), DWORD(WHDR_PREPARED | WHDR_DONE));
    EXPECT_EQ(Ctx().bPaused, 0);
    EXPECT_EQ(Ctx().bOpened, 1);
    EXPECT_EQ(Ctx().pHead, nullptr);
    EXPECT_EQ(Ctx().dwBytesDone, 0u);
    EXPECT_EQ(host::ActiveTimerCount(), 1);
    host::AdvanceVirtualMs(20);   // its first tick finds nothing and stops it
    EXPECT_EQ(host::ActiveTimerCount(), 0);
}

TEST_F(TransportTest, ResetMidLoopHandsEveryHeaderBackOnce)
{
    Open();
    HeaderPool pool(4);
    Write(pool.Prepare(0, 4000, WHDR_BEGINLOOP, kAllOnes));
    Write(pool.Prepare(1, 4000));
    Write(pool.Prepare(2, 4000, WHDR_ENDLOOP));
    Write(pool.Prepare(3, 4000));
    host::AdvanceVirtualMs(20);   // 6144 bytes: the first member played and rewound
    ASSERT_EQ(Ctx().pLoopStart, pool[0]);
    ASSERT_EQ(Ctx().pHead, pool[1]);
    ASSERT_TRUE(client_.Done().empty());

    EXPECT_EQ(Message(WODM_RESET).result, 0u);
    EXPECT_EQ(client_.Done(), (std::vector<const void*>{pool[0], pool[1], pool[2], pool[3]}));
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(testing_support::HeaderFlags(pool[i]) & (WHDR_INQUEUE | WHDR_LOOPMEMBER | WHDR_DONE), DWORD(WHDR_DONE));
    host::AdvanceVirtualMs(100);
    EXPECT_EQ(client_.Done().size(), 4u);
}

TEST_F(TransportTest, ClientWritesAgainFromInsideDoneOnTheTimersThread)
{
    Open();
    HeaderPool pool(2);
    int writes = 0;
    std::vector<DWORD> rewriteResults;
    bool allOnTimerThread = true;
    client_.onCall = [&](const Recorder::Call& c) {
        if (c.msg != MM_WOM_DONE)
            return;
        allOnTimerThread = allOnTimerThread && host::OnTimerServiceThread();
        if (writes < 12) {
            ++writes;
            rewriteResults.push_back(Write(reinterpret_cast<WAVEHDR*>(c.p1)).result);
        }
    };
    writes = 2;
    ASSERT_EQ(Write(pool.Prepare(0, 3528)).result, 0u);
    ASSERT_EQ(Write(pool.Prepare(1, 3528)).result, 0u);
    host::AdvanceVirtualMs(20 * 20);

    EXPECT_TRUE(allOnTimerThread);
    EXPECT_EQ(rewriteResults, std::vector<DWORD>(10, 0));
    auto done = client_.Done();
    ASSERT_EQ(done.size(), 12u);
    std::vector<uint8_t> expected;
    for (size_t i = 0; i < 12; ++i) {
        EXPECT_EQ(done[i], pool[i % 2]) << i;
        expected.insert(expected.end(), pool.Buffer(i % 2).begin(), pool.Buffer(i % 2).end());
    }
    EXPECT_EQ(btstandin::ReceivedAudio(), expected);
    EXPECT_EQ(host::ActiveTimerCount(), 0);
}

TEST_F(TransportTest, BreakLoopLetsTheLoopFinishOnce)
{
    Open();
    HeaderPool pool(2);
    Write(pool.Prepare(0, 6144, WHDR_BEGINLOOP | WHDR_ENDLOOP, kAllOnes));
    Write(pool.Prepare(1, 3528));
    host::AdvanceVirtualMs(20 * 8);
    ASSERT_TRUE(client_.Done().empty());   // repeating

    EXPECT_EQ(Message(WODM_BREAKLOOP).result, 0u);
    EXPECT_TRUE(client_.Done().empty());
    EXPECT_EQ(testing_support::HeaderFlags(pool[0]) & WHDR_LOOPMEMBER, 0u);
    host::AdvanceVirtualMs(20 * 8);
    EXPECT_EQ(client_.Done(), (std::vector<const void*>{pool[0], pool[1]}));
}

// A fault or an exception inside the client's MM_WOM_DONE during a reset is
// caught by the reset itself: the stream is reset, the lock released and the
// answer 0.  The link flag survives, so a later open still announces itself.
class ResetFaultTest : public TransportTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ResetFaultTest, ResetsTheStreamAndKeepsTheLink)
{
    const bool throwInstead = GetParam();
    LinkEvent(BT_EVENT_LINK_UP);
    Open();
    client_.onCall = [throwInstead](const Recorder::Call& c) {
        if (c.msg != MM_WOM_DONE)
            return;
        if (throwInstead)
            throw std::runtime_error("client trouble");
        *static_cast<volatile int*>(UnmappedPage()) = 1;
    };
    HeaderPool pool(2);
    Write(pool.Prepare(0, 4000));
    Write(pool.Prepare(1, 4000));
    Message(WODM_PAUSE);

    auto a = Message(WODM_RESET);
    EXPECT_TRUE(a.wroteResult);
    EXPECT_EQ(a.result, 0u);
    EXPECT_TRUE(host::IsFree(StreamLock()));
    EXPECT_EQ(host::HeldLevels(StreamLock()), 0u);
    EXPECT_EQ(client_.Done(), std::vector<const void*>{pool[0]});

    STREAM_CONTEXT expected{};
    expected.bLinkUp = TRUE;
    expected.hWave = kNoHandle;
    EXPECT_EQ(Snapshot(Ctx()), Snapshot(expected));

    Recorder next;
    EXPECT_EQ(OpenRaw(next, &format_).result, 0u);
    EXPECT_EQ(next.Messages(), std::vector<UINT>{MM_WOM_OPEN});
}

INSTANTIATE_TEST_SUITE_P(FaultOrThrow, ResetFaultTest, ::testing::Bool());

}  // namespace
