// The wave API as an application written for the device uses it, on the
// driver as device 1 and through WAVE_MAPPER (the link is up, so the mapper's
// preferred device is the driver): header preparation, positions, volume,
// pitch and rate, device ids, error texts, messages by device id, and the
// function, thread, window and event callbacks.  The mapper's format
// conversion is wave_mapper_test.cpp's.
#include <algorithm>
#include <cstring>
#include <string>

#include "driver/config.h"
#include "host/kernel.h"
#include "host/waveapi.h"
#include "host/wave.h"
#include "support/stream_fixture.h"

using testing_support::AppBuffer;
using testing_support::HeaderFlags;
using testing_support::SetHeaderFlags;
using testing_support::MakeFormat;
using testing_support::Recorder;
using testing_support::WaveApiTest;

namespace {

HWAVEOUT AsHandle(DWORD_PTR id) { return reinterpret_cast<HWAVEOUT>(id); }

// Each case runs once on device 1 itself and once through the mapper.
class WaveApp : public WaveApiTest, public ::testing::WithParamInterface<UINT> {
protected:
    void SetUp() override
    {
        WaveApiTest::SetUp();
        if (HasFatalFailure())
            return;
        LinkEvent(BT_EVENT_LINK_UP);
        ASSERT_EQ(host::PreferredWaveDevice(), 1u);
    }
    void TearDown() override
    {
        if (hwo_) {
            waveOutReset(hwo_);
            EXPECT_EQ(waveOutClose(hwo_), 0u);
        }
        WaveApiTest::TearDown();
    }
    // Opens the case's device with a function callback that records messages.
    void Open(const WAVEFORMATEX& f = MakeFormat())
    {
        format_ = f;
        ASSERT_EQ(waveOutOpen(&hwo_, GetParam(), &format_, app_.CallbackWord(), app_.InstanceWord(),
                              CALLBACK_FUNCTION),
                  0u);
    }

    HWAVEOUT hwo_ = nullptr;
    WAVEFORMATEX format_{};
    Recorder app_;
};

INSTANTIATE_TEST_SUITE_P(DeviceAndMapper, WaveApp, ::testing::Values(1u, UINT(WAVE_MAPPER)),
                         [](const ::testing::TestParamInfo<UINT>& i) {
                             return i.param == WAVE_MAPPER ? std::string("Mapper") : std::string("Device1");
                         });

TEST_P(WaveApp, PreparingAStaleHeaderLeavesExactlyPreparedAndItPlays)
{
    Open();
    AppBuffer b(4000);
    SetHeaderFlags(&b.hdr, WHDR_DONE | WHDR_INQUEUE);
    ASSERT_EQ(waveOutPrepareHeader(hwo_, &b.hdr, sizeof b.hdr), 0u);
    EXPECT_EQ(HeaderFlags(&b.hdr), DWORD(WHDR_PREPARED));
    ASSERT_EQ(waveOutWrite(hwo_, &b.hdr, sizeof b.hdr), 0u);
    host::AdvanceVirtualMs(40);
    ASSERT_EQ(app_.Done(), std::vector<const void*>{&b.hdr});
    EXPECT_EQ(HeaderFlags(&b.hdr), DWORD(WHDR_PREPARED | WHDR_DONE));
    EXPECT_EQ(waveOutUnprepareHeader(hwo_, &b.hdr, sizeof b.hdr), 0u);
    EXPECT_EQ(HeaderFlags(&b.hdr), DWORD(WHDR_DONE));

    // The application's loop flags survive preparation; a prepared header is
    // left alone, even one still queued.
    SetHeaderFlags(&b.hdr, WHDR_BEGINLOOP | WHDR_ENDLOOP | WHDR_DONE);
    ASSERT_EQ(waveOutPrepareHeader(hwo_, &b.hdr, sizeof b.hdr), 0u);
    EXPECT_EQ(HeaderFlags(&b.hdr), DWORD(WHDR_PREPARED | WHDR_BEGINLOOP | WHDR_ENDLOOP));
    SetHeaderFlags(&b.hdr, WHDR_PREPARED | WHDR_INQUEUE);
    EXPECT_EQ(waveOutPrepareHeader(hwo_, &b.hdr, sizeof b.hdr), 0u);
    EXPECT_EQ(HeaderFlags(&b.hdr), DWORD(WHDR_PREPARED | WHDR_INQUEUE));
    SetHeaderFlags(&b.hdr, WHDR_PREPARED);
    EXPECT_EQ(waveOutPrepareHeader(hwo_, &b.hdr, sizeof b.hdr - 1), UINT(MMSYSERR_INVALPARAM));
}

TEST_P(WaveApp, PositionRecordShorterThanMmtimeIsAnError)
{
    Open();
    AppBuffer b(8820);
    ASSERT_EQ(waveOutPrepareHeader(hwo_, &b.hdr, sizeof b.hdr), 0u);
    ASSERT_EQ(waveOutWrite(hwo_, &b.hdr, sizeof b.hdr), 0u);
    host::AdvanceVirtualMs(60);

    MMTIME t;
    std::memset(&t, 0x5A, sizeof t);
    t.wType = TIME_BYTES;
    MMTIME before = t;
    EXPECT_EQ(waveOutGetPosition(hwo_, &t, sizeof t - 1), UINT(MMSYSERR_ERROR));
    EXPECT_EQ(waveOutGetPosition(hwo_, &t, 4), UINT(MMSYSERR_ERROR));
    EXPECT_EQ(std::memcmp(&t, &before, sizeof t), 0);
    ASSERT_EQ(waveOutGetPosition(hwo_, &t, sizeof t), 0u);
    EXPECT_EQ(t.u.cb, 8820u);
    t.wType = TIME_MS;
    ASSERT_EQ(waveOutGetPosition(hwo_, &t, sizeof t), 0u);
    EXPECT_EQ(t.u.ms, 50u);
    t.wType = TIME_SMPTE;
    ASSERT_EQ(waveOutGetPosition(hwo_, &t, sizeof t), 0u);
    EXPECT_EQ(t.wType, UINT(TIME_BYTES));
    EXPECT_EQ(waveOutGetPosition(AsHandle(0x123457), &t, sizeof t), UINT(MMSYSERR_INVALHANDLE));
}

TEST_P(WaveApp, VolumePitchAndRateAreNotSupported)
{
    Open();
    // The stream is carried unscaled and the capabilities announce no
    // volume, pitch or rate: each is refused with the driver's own answer,
    // on the handle as through the mapper, and nothing is written.
    DWORD v = 0xCAFEF00D;
    EXPECT_EQ(waveOutSetVolume(hwo_, 0x80008000u), UINT(MMSYSERR_NOTSUPPORTED));
    EXPECT_EQ(waveOutGetVolume(hwo_, &v), UINT(MMSYSERR_NOTSUPPORTED));
    EXPECT_EQ(waveOutGetPitch(hwo_, &v), UINT(MMSYSERR_NOTSUPPORTED));
    EXPECT_EQ(waveOutSetPitch(hwo_, 0x00010000u), UINT(MMSYSERR_NOTSUPPORTED));
    EXPECT_EQ(waveOutGetPlaybackRate(hwo_, &v), UINT(MMSYSERR_NOTSUPPORTED));
    EXPECT_EQ(waveOutSetPlaybackRate(hwo_, 0x00010000u), UINT(MMSYSERR_NOTSUPPORTED));
    EXPECT_EQ(v, 0xCAFEF00Du);

    EXPECT_EQ(waveOutGetVolume(hwo_, nullptr), UINT(MMSYSERR_INVALPARAM));
    EXPECT_EQ(waveOutGetPitch(hwo_, nullptr), UINT(MMSYSERR_INVALPARAM));
    EXPECT_EQ(waveOutGetPlaybackRate(hwo_, nullptr), UINT(MMSYSERR_INVALPARAM));
    HWAVEOUT bad = AsHandle(0x77777777);
    EXPECT_EQ(waveOutGetVolume(bad, &v), UINT(MMSYSERR_INVALHANDLE));
    EXPECT_EQ(waveOutSetPitch(bad, 0), UINT(MMSYSERR_INVALHANDLE));
    EXPECT_EQ(waveOutGetPlaybackRate(bad, &v), UINT(MMSYSERR_INVALHANDLE));

    // Volume also takes a device id (the mapper's is its preferred device,
    // here the driver's): neither device announces volume control, and both
    // refuse; pitch wants a handle.
    EXPECT_EQ(waveOutGetVolume(AsHandle(1), &v), UINT(MMSYSERR_NOTSUPPORTED));
    EXPECT_EQ(waveOutSetVolume(AsHandle(GetParam()), 0xFFFFFFFFu), UINT(MMSYSERR_NOTSUPPORTED));
    EXPECT_EQ(waveOutSetVolume(AsHandle(0), 0), UINT(MMSYSERR_NOTSUPPORTED));
    EXPECT_EQ(v, 0xCAFEF00Du);
    EXPECT_EQ(waveOutGetVolume(AsHandle(5), &v), UINT(MMSYSERR_INVALHANDLE));
    EXPECT_EQ(waveOutGetPitch(AsHandle(1), &v), UINT(MMSYSERR_INVALHANDLE));

    // The packets carry what was written, unscaled.
    AppBuffer b(3528);
    for (size_t i = 0; i < b.data.size(); ++i)
        b.data[i] = static_cast<char>(i * 37 + 11);
    ASSERT_EQ(waveOutPrepareHeader(hwo_, &b.hdr, sizeof b.hdr), 0u);
    ASSERT_EQ(waveOutWrite(hwo_, &b.hdr, sizeof b.hdr), 0u);
    host::AdvanceVirtualMs(40);
    const std::vector<uint8_t> expected(b.data.begin(), b.data.end());
    EXPECT_EQ(btstandin::ReceivedAudio(), expected);
}

TEST_P(WaveApp, IdOfAHandleIsItsDeviceOrTheMapper)
{
    Open();
    UINT id = 77;
    ASSERT_EQ(waveOutGetID(hwo_, &id), 0u);
    EXPECT_EQ(id, GetParam());
    EXPECT_EQ(waveOutGetID(hwo_, nullptr), UINT(MMSYSERR_INVALPARAM));
    EXPECT_EQ(waveOutGetID(AsHandle(1), &id), UINT(MMSYSERR_INVALHANDLE));
}

TEST_P(WaveApp, MessagesByDeviceIdReachThatDevice)
{
    // The extended capabilities are the driver's alone; 28 bytes fill them.
    DWORD words[8];
    std::memset(words, 0xEE, sizeof words);
    ASSERT_EQ(waveOutMessage(AsHandle(1), WODM_GETEXTDEVCAPS, reinterpret_cast<DWORD_PTR>(words), 28), 0u);
    EXPECT_EQ(words[2], 44100u);
    EXPECT_EQ(words[7], 0xEEEEEEEEu);
    EXPECT_EQ(waveOutMessage(AsHandle(1), WODM_GETEXTDEVCAPS, reinterpret_cast<DWORD_PTR>(words), 27),
              UINT(MMSYSERR_INVALPARAM));
    EXPECT_EQ(waveOutMessage(AsHandle(0), WODM_GETEXTDEVCAPS, reinterpret_cast<DWORD_PTR>(words), 28),
              UINT(MMSYSERR_NOTSUPPORTED));
    EXPECT_EQ(waveOutMessage(AsHandle(2), WODM_GETEXTDEVCAPS, 0, 0), UINT(MMSYSERR_INVALHANDLE));

    // And on an open handle, as before.
    Open();
    std::memset(words, 0xEE, sizeof words);
    EXPECT_EQ(waveOutMessage(hwo_, WODM_GETEXTDEVCAPS, reinterpret_cast<DWORD_PTR>(words), 28), 0u);
    EXPECT_EQ(words[0], 1u);
}

TEST_P(WaveApp, ThreadCallbackPostsEveryMessageToTheThreadsQueue)
{
    MSG m;
    EXPECT_FALSE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));   // makes this thread's queue
    format_ = MakeFormat();
    ASSERT_EQ(waveOutOpen(&hwo_, GetParam(), &format_, GetCurrentThreadId(), 0, CALLBACK_THREAD), 0u);
    ASSERT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(m.message, UINT(MM_WOM_OPEN));
    EXPECT_EQ(m.wParam, reinterpret_cast<WPARAM>(hwo_));

    AppBuffer b(3000);
    waveOutPrepareHeader(hwo_, &b.hdr, sizeof b.hdr);
    ASSERT_EQ(waveOutWrite(hwo_, &b.hdr, sizeof b.hdr), 0u);
    EXPECT_FALSE(PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE));
    host::AdvanceVirtualMs(20);
    ASSERT_EQ(GetMessageW(&m, nullptr, 0, 0), TRUE);
    EXPECT_EQ(m.message, UINT(MM_WOM_DONE));
    EXPECT_EQ(m.lParam, reinterpret_cast<LPARAM>(&b.hdr));
    EXPECT_NE(HeaderFlags(&b.hdr) & WHDR_DONE, 0u);

    ASSERT_EQ(waveOutClose(hwo_), 0u);
    HWAVEOUT closed = hwo_;
    hwo_ = nullptr;
    ASSERT_TRUE(PeekMessageW(&m, nullptr, MM_WOM_CLOSE, MM_WOM_CLOSE, PM_REMOVE));
    EXPECT_EQ(m.wParam, reinterpret_cast<WPARAM>(closed));

    EXPECT_EQ(waveOutOpen(&hwo_, GetParam(), &format_, 0, 0, CALLBACK_WINDOW), UINT(MMSYSERR_INVALPARAM));
    EXPECT_EQ(hwo_, nullptr);
}

// What a window procedure saw, in order.
struct WindowLog {
    std::vector<UINT> messages;
    std::vector<WPARAM> wParams;
    std::vector<LPARAM> lParams;
};
WindowLog* g_windowLog = nullptr;

LRESULT CALLBACK LoggingWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg >= MM_WOM_OPEN && msg <= MM_WOM_DONE) {
        g_windowLog->messages.push_back(msg);
        g_windowLog->wParams.push_back(wParam);
        g_windowLog->lParams.push_back(lParam);
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

TEST_P(WaveApp, WindowCallbackReachesTheWindowProcedureThroughTheMessageLoop)
{
    WindowLog log;
    g_windowLog = &log;
    static const WCHAR kClass[] = {'w', 'a', 'v', 'e', 0};
    WNDCLASSW wc{};
    wc.lpfnWndProc = LoggingWindowProc;
    wc.lpszClassName = kClass;
    RegisterClassW(&wc);   // the class outlives each case: the second registration fails, harmlessly
    HWND hwnd = CreateWindowW(kClass, kClass, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(hwnd, nullptr);

    format_ = MakeFormat();
    ASSERT_EQ(waveOutOpen(&hwo_, GetParam(), &format_, reinterpret_cast<DWORD_PTR>(hwnd), 0, CALLBACK_WINDOW), 0u);
    AppBuffer b(3000);
    waveOutPrepareHeader(hwo_, &b.hdr, sizeof b.hdr);
    ASSERT_EQ(waveOutWrite(hwo_, &b.hdr, sizeof b.hdr), 0u);
    host::AdvanceVirtualMs(20);
    ASSERT_EQ(waveOutClose(hwo_), 0u);
    HWAVEOUT closed = hwo_;
    hwo_ = nullptr;

    // Nothing reaches the procedure until the loop dispatches it.
    EXPECT_TRUE(log.messages.empty());
    MSG m;
    while (PeekMessageW(&m, hwnd, 0, 0, PM_REMOVE)) {
        EXPECT_EQ(m.hwnd, hwnd);
        TranslateMessage(&m);
        DispatchMessageW(&m);
    }
    ASSERT_EQ(log.messages, (std::vector<UINT>{MM_WOM_OPEN, MM_WOM_DONE, MM_WOM_CLOSE}));
    for (WPARAM w : log.wParams)
        EXPECT_EQ(w, reinterpret_cast<WPARAM>(closed));
    EXPECT_EQ(log.lParams[1], reinterpret_cast<LPARAM>(&b.hdr));

    // A destroyed window is no callback target.
    EXPECT_TRUE(DestroyWindow(hwnd));
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_EQ(waveOutOpen(&hwo_, GetParam(), &format_, reinterpret_cast<DWORD_PTR>(hwnd), 0, CALLBACK_WINDOW),
              UINT(MMSYSERR_INVALPARAM));
    EXPECT_EQ(hwo_, nullptr);
    g_windowLog = nullptr;
}

TEST_P(WaveApp, EventCallbackIsFirstSetWhenTheBufferHasPlayed)
{
    // As the platform's own wave test waits: an auto-reset event, never
    // reset after the open, and a play timed from the write to the event's
    // first signal.  The open sets nothing, so the signal comes when the
    // buffer is done: after as long as the buffer lasts.
    HANDLE ev = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    format_ = MakeFormat();
    ASSERT_EQ(waveOutOpen(&hwo_, GetParam(), &format_, reinterpret_cast<DWORD_PTR>(ev), 0, CALLBACK_EVENT), 0u);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
    AppBuffer b(17640);   // 100 ms
    ASSERT_EQ(waveOutPrepareHeader(hwo_, &b.hdr, sizeof b.hdr), 0u);
    ASSERT_EQ(waveOutWrite(hwo_, &b.hdr, sizeof b.hdr), 0u);
    int elapsedMs = 0;
    while (WaitForSingleObject(ev, 0) == WAIT_TIMEOUT && elapsedMs < 1000) {
        host::AdvanceVirtualMs(1);
        ++elapsedMs;
    }
    EXPECT_EQ(elapsedMs, 100);
    EXPECT_NE(HeaderFlags(&b.hdr) & WHDR_DONE, 0u);

    // The close sets it too.
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
    ASSERT_EQ(waveOutClose(hwo_), 0u);
    hwo_ = nullptr;
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(ev));
}

// ---- A second client -------------------------------------------------------------
// The driver's stream has one client: a second open, on device 1 or through
// the mapper (whose preferred device is the driver: it does not fall back to
// another device), is told the device is in use, and the first client loses
// nothing.

TEST_P(WaveApp, ASecondClientGetsAllocatedAndTheFirstGetsEveryBufferBack)
{
    Open();
    AppBuffer a(4000, 1), b(4000, 2);
    for (AppBuffer* x : {&a, &b}) {
        ASSERT_EQ(waveOutPrepareHeader(hwo_, &x->hdr, sizeof x->hdr), 0u);
        ASSERT_EQ(waveOutWrite(hwo_, &x->hdr, sizeof x->hdr), 0u);
    }
    Recorder other;
    HWAVEOUT second = nullptr;
    WAVEFORMATEX f = MakeFormat();
    for (UINT id : {1u, UINT(WAVE_MAPPER)}) {
        EXPECT_EQ(waveOutOpen(&second, id, &f, other.CallbackWord(), other.InstanceWord(), CALLBACK_FUNCTION),
                  UINT(MMSYSERR_ALLOCATED))
            << id;
        EXPECT_EQ(second, nullptr);
    }
    host::AdvanceVirtualMs(100);
    EXPECT_EQ(app_.Done(), (std::vector<const void*>{&a.hdr, &b.hdr}));
    EXPECT_TRUE(other.calls.empty());

    ASSERT_EQ(waveOutClose(hwo_), 0u);
    hwo_ = nullptr;
    ASSERT_EQ(waveOutOpen(&second, GetParam(), &f, other.CallbackWord(), other.InstanceWord(), CALLBACK_FUNCTION),
              0u);
    EXPECT_EQ(other.Messages(), std::vector<UINT>{MM_WOM_OPEN});
    EXPECT_EQ(waveOutClose(second), 0u);
}

TEST_P(WaveApp, AnOpenFromInsideTheFirstClientsCallbackGetsAllocated)
{
    std::vector<MMRESULT> answers;
    Recorder other;
    app_.onCall = [&](const Recorder::Call& c) {
        HWAVEOUT h = nullptr;
        WAVEFORMATEX f = MakeFormat();
        if (c.msg == MM_WOM_OPEN || c.msg == MM_WOM_DONE)
            answers.push_back(
                waveOutOpen(&h, GetParam(), &f, other.CallbackWord(), other.InstanceWord(), CALLBACK_FUNCTION));
    };
    Open();
    AppBuffer a(1000);
    ASSERT_EQ(waveOutPrepareHeader(hwo_, &a.hdr, sizeof a.hdr), 0u);
    ASSERT_EQ(waveOutWrite(hwo_, &a.hdr, sizeof a.hdr), 0u);
    host::AdvanceVirtualMs(20);
    EXPECT_EQ(answers, (std::vector<MMRESULT>{MMSYSERR_ALLOCATED, MMSYSERR_ALLOCATED}));
    EXPECT_EQ(app_.Messages(), (std::vector<UINT>{MM_WOM_OPEN, MM_WOM_DONE}));
    EXPECT_TRUE(other.calls.empty());
}

TEST(WaveErrorText, NamesEveryResultAndTruncates)
{
    WCHAR text[MAXERRORLENGTH];
    for (MMRESULT code : {0u, 1u, 2u, 5u, 8u, 11u, 32u, 33u, 34u}) {
        text[0] = 0;
        EXPECT_EQ(waveOutGetErrorText(code, text, MAXERRORLENGTH), 0u) << code;
        EXPECT_GT(host::Narrow(text).size(), 10u) << code;
    }
    ASSERT_EQ(waveOutGetErrorText(WAVERR_BADFORMAT, text, 6), 0u);
    EXPECT_EQ(host::Narrow(text).size(), 5u);
    text[0] = 'x';
    EXPECT_EQ(waveOutGetErrorText(WAVERR_BADFORMAT, text, 0), 0u);
    EXPECT_EQ(text[0], 'x');
    EXPECT_EQ(waveOutGetErrorText(31, text, MAXERRORLENGTH), UINT(MMSYSERR_BADERRNUM));
    EXPECT_EQ(waveOutGetErrorText(999, text, MAXERRORLENGTH), UINT(MMSYSERR_BADERRNUM));
    EXPECT_EQ(waveOutGetErrorText(0, nullptr, 10), UINT(MMSYSERR_INVALPARAM));
}

TEST_F(WaveApiTest, CapsAreTheWideRecord)
{
    WAVEOUTCAPS a;
    std::memset(&a, 0x7F, sizeof a);
    ASSERT_EQ(waveOutGetDevCaps(1, &a, sizeof a), 0u);
    EXPECT_EQ(host::Narrow(a.szPname), "Bluetooth A2DP Output");
    EXPECT_EQ(a.dwFormats, DWORD(WAVE_FORMAT_4S16));
    EXPECT_EQ(a.dwSupport, 0u);   // no volume, pitch or rate control
    WAVEOUTCAPS w{};
    ASSERT_EQ(waveOutGetDevCaps(0, &w, sizeof w), 0u);
    EXPECT_EQ(host::Narrow(w.szPname), "Built-in Audio Output");
    EXPECT_EQ(waveOutGetDevCaps(2, &a, sizeof a), UINT(MMSYSERR_BADDEVICEID));
    EXPECT_EQ(waveOutGetDevCaps(1, nullptr, sizeof a), UINT(MMSYSERR_INVALPARAM));
}

}  // namespace
