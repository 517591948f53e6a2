// Stream control through raw wave-message records: format queries, open and
// close.  Position and the transport messages are stream_transport_test.cpp's.
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

class OpenCloseTest : public StreamTest {
protected:
    DWORD BytePosition()
    {
        MMTIME mmt{};
        mmt.wType = TIME_BYTES;
        EXPECT_EQ(Message(WODM_GETPOS, reinterpret_cast<DWORD_PTR>(&mmt), sizeof mmt).result, 0u);
        return mmt.u.cb;
    }
};

// The extensible record of the device's format, as an application fills it:
// WAVEFORMATEX, cbSize 22, 16 valid bits, front left and right, PCM.
std::vector<uint8_t> Extensible(WORD validBits = 16, DWORD mask = 3, uint8_t subFormat = 1, WORD cbSize = 22)
{
    WAVEFORMATEX f = MakeFormat();
    f.wFormatTag = 0xFFFE;
    f.cbSize = cbSize;
    std::vector<uint8_t> r(40);
    std::memcpy(r.data(), &f, sizeof f);
    RecWriteU16(r.data() + 18, validBits);
    RecWriteU32(r.data() + 20, mask);
    const uint8_t pcm[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                             0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    std::memcpy(r.data() + 24, pcm, 16);
    r[24] = subFormat;
    return r;
}

// Every format the device does not play, as a query or a real open gives it.
std::vector<std::pair<std::string, std::vector<uint8_t>>> RefusedFormats()
{
    auto bytes = [](const WAVEFORMATEX& f) {
        const auto* p = reinterpret_cast<const uint8_t*>(&f);
        return std::vector<uint8_t>(p, p + sizeof f);
    };
    WAVEFORMATEX align = MakeFormat();
    align.nBlockAlign = 3;
    WAVEFORMATEX rate = MakeFormat();
    rate.nAvgBytesPerSec = 12345;
    return {
        {"8-bit", bytes(MakeFormat(2, 44100, 8))},
        {"24-bit", bytes(MakeFormat(2, 44100, 24))},
        {"mono", bytes(MakeFormat(1))},
        {"22,050 Hz", bytes(MakeFormat(2, 22050))},
        {"mono 22,050 Hz", bytes(MakeFormat(1, 22050))},
        {"48,000 Hz", bytes(MakeFormat(2, 48000))},
        {"tag 3", bytes(MakeFormat(2, 44100, 16, 3))},
        {"nBlockAlign 3", bytes(align)},
        {"nAvgBytesPerSec 12345", bytes(rate)},
        {"extensible float", Extensible(16, 3, 3)},
        {"extensible 12 valid bits", Extensible(12)},
        {"extensible centre and LFE", Extensible(16, 0xC)},
        {"extensible with cbSize 21", Extensible(16, 3, 1, 21)},
    };
}

TEST_F(OpenCloseTest, FormatQueriesAcceptExactlyTheDevicesFormatAndChangeNothing)
{
    LinkEvent(BT_EVENT_LINK_UP);
    Recorder client;
    WAVEFORMATEX opened = MakeFormat();
    ASSERT_EQ(OpenRaw(client, &opened).result, 0u);
    auto before = Snapshot(Ctx());

    std::vector<uint8_t> ext = Extensible(), unplaced = Extensible(16, 0);
    struct Case {
        const void* format;
        DWORD flags;
        DWORD expected;
    } cases[] = {
        {&opened, WAVE_FORMAT_QUERY, MMSYSERR_NOERROR},
        {ext.data(), WAVE_FORMAT_QUERY, MMSYSERR_NOERROR},
        {unplaced.data(), WAVE_FORMAT_QUERY, MMSYSERR_NOERROR},
        {&opened, WAVE_FORMAT_QUERY | WAVE_FORMAT_DIRECT, MMSYSERR_NOERROR},
    };
    for (const Case& c : cases) {
        Recorder other;
        auto a = OpenRaw(other, static_cast<const WAVEFORMATEX*>(c.format), c.flags);
        EXPECT_TRUE(a.wroteResult);
        EXPECT_EQ(a.result, c.expected) << "flags " << c.flags;
        EXPECT_TRUE(other.calls.empty());
        EXPECT_EQ(Snapshot(Ctx()), before);
    }
    for (const auto& f : RefusedFormats()) {
        for (DWORD flags : {DWORD(WAVE_FORMAT_QUERY), DWORD(WAVE_FORMAT_QUERY | WAVE_FORMAT_DIRECT)}) {
            Recorder other;
            auto a = OpenRaw(other, reinterpret_cast<const WAVEFORMATEX*>(f.second.data()), flags);
            EXPECT_TRUE(a.wroteResult) << f.first;
            EXPECT_EQ(a.result, DWORD(WAVERR_BADFORMAT)) << f.first;
            EXPECT_TRUE(other.calls.empty()) << f.first;
            EXPECT_EQ(Snapshot(Ctx()), before) << f.first;
        }
    }
    EXPECT_EQ(client.Messages(), std::vector<UINT>{MM_WOM_OPEN});
}

TEST_F(OpenCloseTest, RealOpenRefusesWhatTheQueryRefusesAndChangesNothing)
{
    LinkEvent(BT_EVENT_LINK_UP);
    Recorder client;
    WAVEFORMATEX opened = MakeFormat();
    ASSERT_EQ(OpenRaw(client, &opened).result, 0u);
    auto before = Snapshot(Ctx());
    for (const auto& f : RefusedFormats()) {
        for (DWORD flags : {DWORD(0), DWORD(WAVE_FORMAT_DIRECT)}) {
            Recorder other;
            auto a = OpenRaw(other, reinterpret_cast<const WAVEFORMATEX*>(f.second.data()), flags,
                             reinterpret_cast<HWAVE>(0x55));
            EXPECT_TRUE(a.wroteResult) << f.first;
            EXPECT_EQ(a.result, DWORD(WAVERR_BADFORMAT)) << f.first;
            EXPECT_TRUE(other.calls.empty()) << f.first;
            EXPECT_EQ(Snapshot(Ctx()), before) << f.first;
        }
    }
    EXPECT_EQ(client.Messages(), std::vector<UINT>{MM_WOM_OPEN});
}

TEST_F(OpenCloseTest, DirectOpenOfTheDevicesFormatOpens)
{
    // The driver never converts: WAVE_FORMAT_DIRECT asks for nothing more.
    std::vector<uint8_t> ext = Extensible();
    for (const void* format : {static_cast<const void*>(nullptr), static_cast<const void*>(ext.data())}) {
        WAVEFORMATEX f = MakeFormat();
        const auto* pwfx = format ? static_cast<const WAVEFORMATEX*>(format) : &f;
        Recorder client;
        auto a = OpenRaw(client, pwfx, WAVE_FORMAT_DIRECT, reinterpret_cast<HWAVE>(0x66));
        EXPECT_TRUE(a.wroteResult);
        EXPECT_EQ(a.result, 0u);
        EXPECT_EQ(Ctx().bOpened, 1);
        EXPECT_EQ(Ctx().pwfx, pwfx);
        EXPECT_EQ(Ctx().hWave, reinterpret_cast<HWAVE>(0x66));
        EXPECT_EQ(Message(WODM_CLOSE).result, 0u);
    }
}

TEST_F(OpenCloseTest, NullFormatIsAnsweredAsAFaultOnItWithTheStreamAsItWas)
{
    auto before = Snapshot(Ctx());
    for (DWORD flags : {DWORD(0), DWORD(WAVE_FORMAT_QUERY), DWORD(WAVE_FORMAT_DIRECT)}) {
        Recorder client;
        auto a = OpenRaw(client, nullptr, flags);
        EXPECT_EQ(a.returned, TRUE);
        EXPECT_FALSE(a.wroteResult) << flags;
        EXPECT_TRUE(client.calls.empty());
    }
    EXPECT_EQ(Snapshot(Ctx()), before);
    EXPECT_TRUE(host::IsFree(StreamLock()));
}

TEST_F(OpenCloseTest, UnreadableRecordsEndTheOpenWithTheStreamAsItWas)
{
    auto before = Snapshot(Ctx());
    Recorder client;
    const auto* bad = static_cast<const WAVEFORMATEX*>(UnmappedPage());
    for (DWORD flags : {DWORD(0), DWORD(WAVE_FORMAT_QUERY), DWORD(WAVE_FORMAT_DIRECT)}) {
        auto a = OpenRaw(client, bad, flags);
        EXPECT_EQ(a.returned, TRUE);
        EXPECT_FALSE(a.wroteResult);
    }
    EXPECT_FALSE(Message(WODM_OPEN, reinterpret_cast<DWORD_PTR>(UnmappedPage()), 0).wroteResult);
    EXPECT_EQ(Snapshot(Ctx()), before);
    EXPECT_TRUE(host::IsFree(StreamLock()));
}

TEST_F(OpenCloseTest, OpenWhileLinkUpAnnouncesOnceAsTheOpenStream)
{
    LinkEvent(BT_EVENT_LINK_UP);
    Recorder client;
    WAVEFORMATEX f = MakeFormat();
    auto a = OpenRaw(client, &f, 0, reinterpret_cast<HWAVE>(0x77));
    EXPECT_EQ(a.result, 0u);
    ASSERT_EQ(client.calls.size(), 1u);
    const auto& c = client.calls[0];
    EXPECT_EQ(c.handle, reinterpret_cast<HDRVR>(0x77));
    EXPECT_EQ(c.msg, UINT(MM_WOM_OPEN));
    EXPECT_EQ(c.instance, reinterpret_cast<DWORD_PTR>(&client));
    EXPECT_EQ(c.p1, 0u);
    EXPECT_EQ(c.p2, 0u);
    EXPECT_EQ(c.openedAtCall, 1);   // taken before the announcement
    EXPECT_EQ(Ctx().bOpened, 1);
}

TEST_F(OpenCloseTest, OpenWhileLinkDownOpensSilently)
{
    Recorder client;
    WAVEFORMATEX f = MakeFormat();
    EXPECT_EQ(OpenRaw(client, &f).result, 0u);
    EXPECT_TRUE(client.calls.empty());
    EXPECT_EQ(Ctx().bOpened, 1);
    EXPECT_EQ(Ctx().pwfx, &f);
}

// ---- A second client ------------------------------------------------------------
// The stream has one client: a second open is told the device is in use, and
// the first client keeps everything it had.

TEST_F(OpenCloseTest, SecondOpenIsRefusedAndTheFirstClientLosesNothing)
{
    LinkEvent(BT_EVENT_LINK_UP);
    Recorder first, second;
    WAVEFORMATEX f = MakeFormat();
    HeaderPool pool(3);
    ASSERT_EQ(OpenRaw(first, &f, 0, reinterpret_cast<HWAVE>(0x11)).result, 0u);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(Write(pool.Prepare(i, 4000)).result, 0u);
    host::AdvanceVirtualMs(20);   // the first packet: the position moves
    Message(WODM_PAUSE);
    const DWORD position = BytePosition();
    ASSERT_GT(position, 0u);
    auto before = Snapshot(Ctx());

    EXPECT_EQ(OpenRaw(second, &f, 0, reinterpret_cast<HWAVE>(0x22)).result, DWORD(MMSYSERR_ALLOCATED));
    EXPECT_EQ(Snapshot(Ctx()), before);   // queue, position, callback, pause
    EXPECT_EQ(BytePosition(), position);
    EXPECT_TRUE(second.calls.empty());

    // Every header of the first client comes back to it, in order, when it
    // plays on; a format query still answers while the stream is taken.
    EXPECT_EQ(OpenRaw(second, &f, WAVE_FORMAT_QUERY).result, 0u);
    Message(WODM_RESTART);
    host::AdvanceVirtualMs(200);
    EXPECT_EQ(first.DoneIndices(pool), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(first.Count(MM_WOM_DONE), 3u);
    EXPECT_EQ(first.Count(MM_WOM_OPEN), 1u);
    EXPECT_EQ(btstandin::ReceivedAudio().size(), 12000u);

    // After the first client's close, an open succeeds again.
    ASSERT_EQ(Message(WODM_CLOSE).result, 0u);
    EXPECT_EQ(OpenRaw(second, &f, 0, reinterpret_cast<HWAVE>(0x22)).result, 0u);
    EXPECT_EQ(second.Messages(), std::vector<UINT>{MM_WOM_OPEN});
    EXPECT_EQ(Ctx().hWave, reinterpret_cast<HWAVE>(0x22));
}

TEST_F(OpenCloseTest, AfterARefusedOpenTheFirstClientsResetReturnsItsHeaders)
{
    Recorder first, second;
    WAVEFORMATEX f = MakeFormat();
    HeaderPool pool(2);
    ASSERT_EQ(OpenRaw(first, &f).result, 0u);
    Message(WODM_PAUSE);
    ASSERT_EQ(Write(pool.Prepare(0, 4000)).result, 0u);
    ASSERT_EQ(Write(pool.Prepare(1, 4000)).result, 0u);
    ASSERT_EQ(OpenRaw(second, &f).result, DWORD(MMSYSERR_ALLOCATED));
    EXPECT_EQ(Ctx().bPaused, 1);

    ASSERT_EQ(Message(WODM_RESET).result, 0u);
    EXPECT_EQ(first.DoneIndices(pool), (std::vector<int>{0, 1}));
    EXPECT_TRUE(second.calls.empty());
    EXPECT_EQ(Message(WODM_CLOSE).result, 0u);
}

TEST_F(OpenCloseTest, AnOpenFromInsideTheFirstClientsCallbackIsRefused)
{
    LinkEvent(BT_EVENT_LINK_UP);
    Recorder first, second;
    WAVEFORMATEX f = MakeFormat();
    WAVEOPENDESC other{};
    other.hWave = reinterpret_cast<HWAVE>(0x22);
    other.lpFormat = &f;
    other.dwCallback = second.CallbackWord();
    other.dwInstance = second.InstanceWord();
    std::vector<DWORD> answers;
    first.onCall = [&](const Recorder::Call& c) {
        if (c.msg == MM_WOM_OPEN || c.msg == MM_WOM_DONE)
            answers.push_back(Message(WODM_OPEN, reinterpret_cast<DWORD_PTR>(&other), 0).result);
    };
    ASSERT_EQ(OpenRaw(first, &f, 0, reinterpret_cast<HWAVE>(0x11)).result, 0u);
    HeaderPool pool(1);
    ASSERT_EQ(Write(pool.Prepare(0, 1000)).result, 0u);
    host::AdvanceVirtualMs(20);   // MM_WOM_DONE, on the timer's thread

    EXPECT_EQ(answers, (std::vector<DWORD>{MMSYSERR_ALLOCATED, MMSYSERR_ALLOCATED}));
    EXPECT_EQ(first.Messages(), (std::vector<UINT>{MM_WOM_OPEN, MM_WOM_DONE}));
    EXPECT_TRUE(second.calls.empty());
    EXPECT_EQ(Ctx().hWave, reinterpret_cast<HWAVE>(0x11));
    EXPECT_EQ(Ctx().bOpened, 1);
}

TEST_F(OpenCloseTest, CloseRefusesWhileHeadersAreQueuedThenSaysGoodbye)
{
    LinkEvent(BT_EVENT_LINK_UP);
    Recorder client;
    WAVEFORMATEX f = MakeFormat();
    HeaderPool pool(1);
    ASSERT_EQ(OpenRaw(client, &f, 0, reinterpret_cast<HWAVE>(0x55)).result, 0u);
    Message(WODM_PAUSE);
    ASSERT_EQ(Write(pool.Prepare(0, 4000)).result, 0u);

    auto before = Snapshot(Ctx());
    EXPECT_EQ(Message(WODM_CLOSE).result, DWORD(WAVERR_STILLPLAYING));
    EXPECT_EQ(Snapshot(Ctx()), before);
    EXPECT_EQ(client.Messages(), std::vector<UINT>{MM_WOM_OPEN});

    ASSERT_EQ(Message(WODM_RESET).result, 0u);
    EXPECT_EQ(Message(WODM_CLOSE).result, 0u);
    ASSERT_EQ(client.Messages(), (std::vector<UINT>{MM_WOM_OPEN, MM_WOM_DONE, MM_WOM_CLOSE}));
    EXPECT_EQ(client.calls[2].handle, reinterpret_cast<HDRVR>(0x55));
    EXPECT_EQ(client.calls[2].instance, reinterpret_cast<DWORD_PTR>(&client));
    EXPECT_EQ(host::ActiveTimerCount(), 0);

    // Closed: every field at its reset value, the link flag kept.
    STREAM_CONTEXT expected{};
    expected.bLinkUp = TRUE;
    expected.hWave = kNoHandle;
    EXPECT_EQ(Snapshot(Ctx()), Snapshot(expected));

    // A close with nothing open says nothing.
    EXPECT_EQ(Message(WODM_CLOSE).result, 0u);
    EXPECT_EQ(client.calls.size(), 3u);
}

}  // namespace
