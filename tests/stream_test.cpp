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

class OpenCloseTest : public StreamTest {};

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

TEST_F(OpenCloseTest, OpenWhileLinkUpAnnouncesOnceBeforeOpened)
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
    EXPECT_EQ(c.openedAtCall, 0);
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

TEST_F(OpenCloseTest, SecondOpenReplacesTheClientAndDropsTheQueue)
{
    Recorder first, second;
    WAVEFORMATEX f = MakeFormat();
    HeaderPool pool(1);
    ASSERT_EQ(OpenRaw(first, &f).result, 0u);
    Message(WODM_PAUSE);
    ASSERT_EQ(Write(pool.Prepare(0, 4000)).result, 0u);
    Ctx().dwBytesDone = 999;

    EXPECT_EQ(OpenRaw(second, &f, 0, reinterpret_cast<HWAVE>(0x99)).result, 0u);
    EXPECT_EQ(Ctx().pHead, nullptr);
    EXPECT_EQ(Ctx().pLoopStart, nullptr);
    EXPECT_EQ(Ctx().dwBytesDone, 0u);
    EXPECT_EQ(Ctx().bPaused, 1);
    EXPECT_EQ(Ctx().hWave, reinterpret_cast<HWAVE>(0x99));
    EXPECT_EQ(Ctx().dwInstance, reinterpret_cast<DWORD_PTR>(&second));
    EXPECT_TRUE(first.calls.empty());
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
