// The built-in device 0 as an application meets it: a wave device of its
// own that plays its format at its rate on the host's clock, queues, loops,
// pauses and reports positions, and keeps what it played for a test to read.
#include <chrono>
#include <cstring>
#include <vector>

#include "host/wave.h"
#include "kit/watchdog.h"
#include "support/stream_fixture.h"

using testing_support::HeaderFlags;
using testing_support::MakeFormat;
using testing_support::Recorder;
using testing_support::WaveApiTest;

namespace {

struct Buffer {
    WAVEHDR hdr{};
    std::vector<char> data;
    explicit Buffer(size_t bytes) : data(bytes)
    {
        for (size_t i = 0; i < bytes; ++i)
            data[i] = static_cast<char>(i * 13 + 1);
        hdr.lpData = data.data();
        hdr.dwBufferLength = static_cast<DWORD>(bytes);
    }
};

class BuiltinDevice : public WaveApiTest {
protected:
    void SetUp() override
    {
        WaveApiTest::SetUp();
        host::KeepBuiltinAudio(true);
    }
    void Open(const WAVEFORMATEX& f)
    {
        format_ = f;
        ASSERT_EQ(waveOutOpen(&hwo_, 0, &format_, app_.CallbackWord(), app_.InstanceWord(), CALLBACK_FUNCTION), 0u);
    }
    DWORD Bytes()
    {
        MMTIME t{};
        t.wType = TIME_BYTES;
        EXPECT_EQ(waveOutGetPosition(hwo_, &t, sizeof t), 0u);
        return t.u.cb;
    }
    HWAVEOUT hwo_ = nullptr;
    WAVEFORMATEX format_{};
    Recorder app_;
};

TEST_F(BuiltinDevice, PlaysAtItsFormatsRateQueuesAndRefusesAQueuedHeader)
{
    Open(MakeFormat(1, 22050));   // 44,100 bytes a second
    Buffer a(22050), b(22050);    // half a second each
    for (Buffer* x : {&a, &b}) {
        ASSERT_EQ(waveOutPrepareHeader(hwo_, &x->hdr, sizeof x->hdr), 0u);
        ASSERT_EQ(waveOutWrite(hwo_, &x->hdr, sizeof x->hdr), 0u);
        EXPECT_EQ(HeaderFlags(&x->hdr), DWORD(WHDR_PREPARED | WHDR_INQUEUE));
    }
    EXPECT_EQ(waveOutWrite(hwo_, &a.hdr, sizeof a.hdr), UINT(MMSYSERR_INVALPARAM));
    EXPECT_EQ(Bytes(), 0u);
    host::AdvanceVirtualMs(250);
    EXPECT_NEAR(double(Bytes()), 11025.0, 441.0);
    EXPECT_EQ(HeaderFlags(&a.hdr) & WHDR_DONE, 0u);
    host::AdvanceVirtualMs(300);
    EXPECT_EQ(HeaderFlags(&a.hdr), DWORD(WHDR_PREPARED | WHDR_DONE));
    EXPECT_EQ(HeaderFlags(&b.hdr) & WHDR_DONE, 0u);
    EXPECT_EQ(waveOutClose(hwo_), UINT(WAVERR_STILLPLAYING));
    host::AdvanceVirtualMs(500);
    EXPECT_EQ(HeaderFlags(&b.hdr), DWORD(WHDR_PREPARED | WHDR_DONE));
    EXPECT_EQ(app_.Done(), (std::vector<const void*>{&a.hdr, &b.hdr}));
    EXPECT_EQ(Bytes(), 44100u);
    MMTIME t{};
    t.wType = TIME_MS;
    ASSERT_EQ(waveOutGetPosition(hwo_, &t, sizeof t), 0u);
    EXPECT_EQ(t.u.ms, 1000u);
    t.wType = TIME_SAMPLES;
    ASSERT_EQ(waveOutGetPosition(hwo_, &t, sizeof t), 0u);
    EXPECT_EQ(t.u.sample, 22050u);

    // What it played is what was written, in order.
    std::vector<uint8_t> played = host::BuiltinAudio();
    ASSERT_EQ(played.size(), 44100u);
    EXPECT_EQ(std::memcmp(played.data(), a.data.data(), 22050), 0);
    EXPECT_EQ(std::memcmp(played.data() + 22050, b.data.data(), 22050), 0);
    EXPECT_EQ(host::BuiltinOutput().headersDone, 2u);
    EXPECT_EQ(waveOutClose(hwo_), 0u);
    hwo_ = nullptr;
}

TEST_F(BuiltinDevice, LoopsPausesAndResets)
{
    Open(MakeFormat(2, 44100));   // 176,400 bytes a second
    Buffer loop(17640);           // 100 ms, played three times
    loop.hdr.dwFlags = WHDR_BEGINLOOP | WHDR_ENDLOOP;
    loop.hdr.dwLoops = 3;
    ASSERT_EQ(waveOutPrepareHeader(hwo_, &loop.hdr, sizeof loop.hdr), 0u);
    ASSERT_EQ(waveOutWrite(hwo_, &loop.hdr, sizeof loop.hdr), 0u);
    host::AdvanceVirtualMs(250);
    EXPECT_EQ(HeaderFlags(&loop.hdr) & WHDR_DONE, 0u);
    ASSERT_EQ(waveOutPause(hwo_), 0u);
    const DWORD paused = Bytes();
    host::AdvanceVirtualMs(500);
    EXPECT_EQ(Bytes(), paused);   // stands still while paused
    ASSERT_EQ(waveOutRestart(hwo_), 0u);
    host::AdvanceVirtualMs(100);
    EXPECT_EQ(HeaderFlags(&loop.hdr), DWORD(WHDR_PREPARED | WHDR_BEGINLOOP | WHDR_ENDLOOP | WHDR_DONE));
    EXPECT_EQ(host::BuiltinAudio().size(), 3u * 17640u);

    // A reset hands back what is queued and starts the position again.
    Buffer rest(176400);
    ASSERT_EQ(waveOutPrepareHeader(hwo_, &rest.hdr, sizeof rest.hdr), 0u);
    ASSERT_EQ(waveOutWrite(hwo_, &rest.hdr, sizeof rest.hdr), 0u);
    host::AdvanceVirtualMs(100);
    ASSERT_EQ(waveOutReset(hwo_), 0u);
    EXPECT_EQ(HeaderFlags(&rest.hdr), DWORD(WHDR_PREPARED | WHDR_DONE));
    EXPECT_EQ(Bytes(), 0u);
    EXPECT_EQ(app_.Done().size(), 2u);
    EXPECT_EQ(waveOutClose(hwo_), 0u);
    hwo_ = nullptr;
}

// An empty buffer looping for ever gives no bytes to any pass: the device
// plays nothing while it loops, stays responsive, and lets the client break
// the loop, after which what follows plays.  (Its tick once went round the
// loop without end, holding the device's lock.)
TEST_F(BuiltinDevice, AnEmptyEndlessLoopPlaysNothingAndBreaks)
{
    kit::Watchdog watchdog(std::chrono::seconds(60), "an empty endless loop on device 0");
    Open(MakeFormat(2, 44100));
    Buffer empty(0), after(17640);
    empty.hdr.lpData = after.data.data();   // a valid address with no length
    empty.hdr.dwFlags = WHDR_BEGINLOOP | WHDR_ENDLOOP;
    empty.hdr.dwLoops = 0xFFFFFFFFu;
    for (Buffer* x : {&empty, &after}) {
        ASSERT_EQ(waveOutPrepareHeader(hwo_, &x->hdr, sizeof x->hdr), 0u);
        ASSERT_EQ(waveOutWrite(hwo_, &x->hdr, sizeof x->hdr), 0u);
    }
    host::AdvanceVirtualMs(100);
    EXPECT_EQ(Bytes(), 0u);
    EXPECT_TRUE(app_.Done().empty());
    ASSERT_EQ(waveOutBreakLoop(hwo_), 0u);
    host::AdvanceVirtualMs(150);
    EXPECT_EQ(app_.Done(), (std::vector<const void*>{&empty.hdr, &after.hdr}));
    EXPECT_EQ(host::BuiltinAudio().size(), 17640u);
    EXPECT_EQ(waveOutClose(hwo_), 0u);
    hwo_ = nullptr;
}

TEST_F(BuiltinDevice, DoubleBufferingFromTheCallbackKeepsPlaying)
{
    Open(MakeFormat(2, 44100));
    Buffer a(3528), b(3528);
    int rewrites = 0;
    app_.onCall = [&](const Recorder::Call& c) {
        if (c.msg == MM_WOM_DONE && rewrites < 8) {
            ++rewrites;
            EXPECT_EQ(waveOutWrite(hwo_, reinterpret_cast<WAVEHDR*>(c.p1), sizeof(WAVEHDR)), 0u);
        }
    };
    for (Buffer* x : {&a, &b}) {
        waveOutPrepareHeader(hwo_, &x->hdr, sizeof x->hdr);
        ASSERT_EQ(waveOutWrite(hwo_, &x->hdr, sizeof x->hdr), 0u);
    }
    EXPECT_EQ(rewrites, 0);   // nothing completes inside waveOutWrite
    host::AdvanceVirtualMs(300);
    EXPECT_EQ(rewrites, 8);
    EXPECT_EQ(host::BuiltinAudio().size(), 10u * 3528u);
    EXPECT_EQ(waveOutClose(hwo_), 0u);
    hwo_ = nullptr;
}

// ---- One client at a time, and formats that describe themselves truly ----------

TEST_F(BuiltinDevice, ASecondClientIsRefusedAndNoHeaderCompletesToIt)
{
    Open(MakeFormat(2, 44100));
    Recorder other;
    std::vector<MMRESULT> fromCallback;
    app_.onCall = [&](const Recorder::Call& c) {
        HWAVEOUT h = nullptr;
        WAVEFORMATEX f = MakeFormat(2, 44100);
        if (c.msg == MM_WOM_DONE)
            fromCallback.push_back(waveOutOpen(&h, 0, &f, other.CallbackWord(), other.InstanceWord(),
                                               CALLBACK_FUNCTION));
    };
    Buffer a(3528), b(3528);
    for (Buffer* x : {&a, &b}) {
        ASSERT_EQ(waveOutPrepareHeader(hwo_, &x->hdr, sizeof x->hdr), 0u);
        ASSERT_EQ(waveOutWrite(hwo_, &x->hdr, sizeof x->hdr), 0u);
    }
    HWAVEOUT second = nullptr;
    WAVEFORMATEX f = MakeFormat(1, 22050);
    EXPECT_EQ(waveOutOpen(&second, 0, &f, other.CallbackWord(), other.InstanceWord(), CALLBACK_FUNCTION),
              UINT(MMSYSERR_ALLOCATED));
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(waveOutOpen(nullptr, 0, &f, 0, 0, WAVE_FORMAT_QUERY), 0u);   // a query still answers

    host::AdvanceVirtualMs(100);
    EXPECT_EQ(app_.Done(), (std::vector<const void*>{&a.hdr, &b.hdr}));
    EXPECT_EQ(fromCallback, (std::vector<MMRESULT>{MMSYSERR_ALLOCATED, MMSYSERR_ALLOCATED}));
    EXPECT_TRUE(other.calls.empty());
    EXPECT_EQ(host::BuiltinAudio().size(), 2u * 3528u);

    // After the first client's close, the device opens again.
    ASSERT_EQ(waveOutClose(hwo_), 0u);
    hwo_ = nullptr;
    ASSERT_EQ(waveOutOpen(&second, 0, &f, other.CallbackWord(), other.InstanceWord(), CALLBACK_FUNCTION), 0u);
    EXPECT_EQ(other.Messages(), std::vector<UINT>{MM_WOM_OPEN});
    EXPECT_EQ(waveOutClose(second), 0u);
}

TEST_F(BuiltinDevice, RefusesAFrameSizeOrByteRateThatIsNotTheFormats)
{
    WAVEFORMATEX align = MakeFormat(2, 44100);
    align.nBlockAlign = 3;
    WAVEFORMATEX rate = MakeFormat(2, 44100);
    rate.nAvgBytesPerSec = 176401;
    for (const WAVEFORMATEX* f : {&align, &rate}) {
        HWAVEOUT h = nullptr;
        EXPECT_EQ(waveOutOpen(nullptr, 0, f, 0, 0, WAVE_FORMAT_QUERY), UINT(WAVERR_BADFORMAT));
        EXPECT_EQ(waveOutOpen(&h, 0, f, app_.CallbackWord(), app_.InstanceWord(), CALLBACK_FUNCTION),
                  UINT(WAVERR_BADFORMAT));
        EXPECT_EQ(h, nullptr);
    }
    EXPECT_TRUE(app_.calls.empty());
    EXPECT_EQ(host::BuiltinOutput().opens, 0u);
}

TEST_F(BuiltinDevice, EventCallbackIsFirstSetWhenTheBufferHasPlayed)
{
    // The wave API sets the event for the buffer, not for the open: its
    // first signal after the write comes after as long as the buffer lasts.
    HANDLE ev = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    format_ = MakeFormat(2, 44100);
    ASSERT_EQ(waveOutOpen(&hwo_, 0, &format_, reinterpret_cast<DWORD_PTR>(ev), 0, CALLBACK_EVENT), 0u);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
    Buffer b(17640);   // 100 ms
    ASSERT_EQ(waveOutPrepareHeader(hwo_, &b.hdr, sizeof b.hdr), 0u);
    ASSERT_EQ(waveOutWrite(hwo_, &b.hdr, sizeof b.hdr), 0u);
    int elapsedMs = 0;
    while (WaitForSingleObject(ev, 0) == WAIT_TIMEOUT && elapsedMs < 1000) {
        host::AdvanceVirtualMs(1);
        ++elapsedMs;
    }
    EXPECT_EQ(elapsedMs, 100);
    EXPECT_EQ(HeaderFlags(&b.hdr), DWORD(WHDR_PREPARED | WHDR_DONE));
    ASSERT_EQ(waveOutClose(hwo_), 0u);
    hwo_ = nullptr;
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(ev));
}

}  // namespace
