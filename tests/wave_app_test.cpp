// The wave API as an application written for the device uses it, on the
// driver as device 1 and through WAVE_MAPPER (the link is up, so the mapper's
// preferred device is the driver): header preparation, positions, volume,
// pitch and rate, device ids, error texts, messages by device id, the thread
// and event callbacks, and the mapper's format conversion.
#include <algorithm>
#include <cstring>
#include <string>

#include "driver/config.h"
#include "host/kernel.h"
#include "host/waveapi.h"
#include "host/wave.h"
#include "support/stream_fixture.h"

using testing_support::HeaderFlags;
using testing_support::SetHeaderFlags;
using testing_support::MakeFormat;
using testing_support::Recorder;
using testing_support::WaveApiTest;

namespace {

HWAVEOUT AsHandle(DWORD_PTR id) { return reinterpret_cast<HWAVEOUT>(id); }

// A header with its own buffer, as an application keeps one.
struct AppBuffer {
    WAVEHDR hdr{};
    std::vector<char> data;
    explicit AppBuffer(size_t bytes, char fill = 0) : data(bytes, fill)
    {
        hdr.lpData = data.data();
        hdr.dwBufferLength = static_cast<DWORD>(bytes);
    }
};

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

TEST_P(WaveApp, VolumeIsFullAndPitchAndRateAreNotSupported)
{
    Open();
    // The stream is carried unscaled: full volume is what is applied,
    // whatever was set.  Pitch and rate, which the capabilities do not
    // announce, are refused without writing anything.
    DWORD v = 0xCAFEF00D;
    EXPECT_EQ(waveOutGetVolume(hwo_, &v), 0u);
    EXPECT_EQ(v, 0xFFFFFFFFu);
    EXPECT_EQ(waveOutSetVolume(hwo_, 0x80008000u), 0u);
    v = 0;
    EXPECT_EQ(waveOutGetVolume(hwo_, &v), 0u);
    EXPECT_EQ(v, 0xFFFFFFFFu);
    v = 0xCAFEF00D;
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

    // Volume also takes a device id: the driver answers; the built-in device,
    // which announces no volume control, refuses; pitch wants a handle.
    EXPECT_EQ(waveOutGetVolume(AsHandle(1), &v), 0u);
    EXPECT_EQ(waveOutSetVolume(AsHandle(GetParam()), 0xFFFFFFFFu), 0u);
    EXPECT_EQ(waveOutSetVolume(AsHandle(0), 0), UINT(MMSYSERR_NOTSUPPORTED));
    EXPECT_EQ(waveOutGetVolume(AsHandle(5), &v), UINT(MMSYSERR_INVALHANDLE));
    EXPECT_EQ(waveOutGetPitch(AsHandle(1), &v), UINT(MMSYSERR_INVALHANDLE));
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

TEST_P(WaveApp, EventCallbackSetsAPlatformEvent)
{
    HANDLE ev = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    format_ = MakeFormat();
    ASSERT_EQ(waveOutOpen(&hwo_, GetParam(), &format_, reinterpret_cast<DWORD_PTR>(ev), 0, CALLBACK_EVENT), 0u);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);   // MM_WOM_OPEN
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
    AppBuffer b(1000);
    waveOutPrepareHeader(hwo_, &b.hdr, sizeof b.hdr);
    waveOutWrite(hwo_, &b.hdr, sizeof b.hdr);
    host::AdvanceVirtualMs(20);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(ev));
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
    EXPECT_EQ(a.dwSupport, DWORD(WAVECAPS_VOLUME));
    WAVEOUTCAPS w{};
    ASSERT_EQ(waveOutGetDevCaps(0, &w, sizeof w), 0u);
    EXPECT_EQ(host::Narrow(w.szPname), "Built-in Audio Output");
    EXPECT_EQ(waveOutGetDevCaps(2, &a, sizeof a), UINT(MMSYSERR_BADDEVICEID));
    EXPECT_EQ(waveOutGetDevCaps(1, nullptr, sizeof a), UINT(MMSYSERR_INVALPARAM));
}

// ---- The mapper's conversion ---------------------------------------------------------

class WaveMapper : public WaveApiTest {
protected:
    void SetUp() override
    {
        WaveApiTest::SetUp();
        if (!HasFatalFailure())
            LinkEvent(BT_EVENT_LINK_UP);
    }
    HWAVEOUT MapperHandle() const { return WAVE_MAPPER_HANDLE; }
};

TEST_F(WaveMapper, TheDriverKeepsItsAnswersWhileTheMapperConverts)
{
    WAVEFORMATEX mono = MakeFormat(1, 22050);
    EXPECT_EQ(waveOutOpen(nullptr, 1, &mono, 0, 0, WAVE_FORMAT_QUERY), UINT(WAVERR_BADFORMAT));
    EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &mono, 0, 0, WAVE_FORMAT_QUERY | WAVE_FORMAT_DIRECT),
              UINT(WAVERR_BADFORMAT));
    // WAVE_FORMAT_DIRECT: no conversion on the way, so the device's own
    // answer, and nothing opened.
    HWAVEOUT hwo = nullptr;
    EXPECT_EQ(waveOutOpen(&hwo, WAVE_MAPPER, &mono, 0, 0, WAVE_FORMAT_DIRECT), UINT(WAVERR_BADFORMAT));
    WAVEFORMATEX floats = MakeFormat(2, 22050, 32, WAVE_FORMAT_IEEE_FLOAT);
    EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &floats, 0, 0, WAVE_FORMAT_QUERY),
              host::MapperCanConvert() ? 0u : UINT(WAVERR_BADFORMAT));
    WAVEFORMATEX alaw = MakeFormat(2, 22050, 8, WAVE_FORMAT_ALAW);
    EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &alaw, 0, 0, WAVE_FORMAT_QUERY), UINT(WAVERR_BADFORMAT));
    WAVEFORMATEX odd = MakeFormat(2, 22050, 12);
    EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &odd, 0, 0, WAVE_FORMAT_QUERY), UINT(WAVERR_BADFORMAT));
    const MMRESULT convertible = host::MapperCanConvert() ? MMSYSERR_NOERROR : WAVERR_BADFORMAT;
    EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &mono, 0, 0, WAVE_FORMAT_QUERY), convertible);
    EXPECT_EQ(Ctx().bOpened, 0);

    // A format the driver takes is played as is.
    WAVEFORMATEX cd = MakeFormat();
    ASSERT_EQ(waveOutOpen(&hwo, WAVE_MAPPER, &cd, 0, 0, CALLBACK_NULL), 0u);
    host::WaveMapping m;
    ASSERT_TRUE(host::DescribeWaveMapping(hwo, &m));
    EXPECT_TRUE(m.viaMapper);
    EXPECT_FALSE(m.converted);
    EXPECT_EQ(host::MappingText(m), "44100 Hz stereo 16-bit as is on device 1");
    EXPECT_EQ(waveOutClose(hwo), 0u);
}

TEST_F(WaveMapper, ConvertsARefusedRateAndChannelCountAndReportsInTheClientsUnits)
{
    if (!host::MapperCanConvert())
        GTEST_SKIP() << "this build has no conversion library";
    WAVEFORMATEX mono = MakeFormat(1, 22050);
    HANDLE ev = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HWAVEOUT hwo = nullptr;
    ASSERT_EQ(waveOutOpen(&hwo, WAVE_MAPPER, &mono, reinterpret_cast<DWORD_PTR>(ev), 0, CALLBACK_EVENT), 0u);
    host::WaveMapping m;
    ASSERT_TRUE(host::DescribeWaveMapping(hwo, &m));
    EXPECT_TRUE(m.converted);
    EXPECT_EQ(host::MappingText(m), "22050 Hz mono 16-bit to 44100 Hz stereo 16-bit on device 1");
    // The driver holds the device's format, not the application's.
    ASSERT_NE(Ctx().pwfx, nullptr);
    EXPECT_EQ(Ctx().pwfx->nSamplesPerSec, 44100u);
    EXPECT_EQ(Ctx().pwfx->nChannels, 2u);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);

    // One second of a constant level, in two buffers.
    AppBuffer a(22050), b(22050);
    for (AppBuffer* x : {&a, &b}) {
        for (size_t i = 0; i < x->data.size(); i += 2) {
            x->data[i] = static_cast<char>(0xE8);   // 1000, little-endian
            x->data[i + 1] = 0x03;
        }
        ASSERT_EQ(waveOutPrepareHeader(hwo, &x->hdr, sizeof x->hdr), 0u);
        ASSERT_EQ(waveOutWrite(hwo, &x->hdr, sizeof x->hdr), 0u);
        EXPECT_EQ(HeaderFlags(&x->hdr), DWORD(WHDR_PREPARED | WHDR_INQUEUE));
    }
    EXPECT_EQ(waveOutWrite(hwo, &a.hdr, sizeof a.hdr), UINT(MMSYSERR_INVALPARAM));
    EXPECT_EQ(waveOutUnprepareHeader(hwo, &a.hdr, sizeof a.hdr), UINT(WAVERR_STILLPLAYING));

    // After 500 ms the driver has taken its first 6144 bytes and 24 ticks of
    // 3528: 90816 device bytes, 22704 device frames, 11352 client frames.
    host::AdvanceVirtualMs(500);
    MMTIME t{};
    t.wType = TIME_SAMPLES;
    ASSERT_EQ(waveOutGetPosition(hwo, &t, sizeof t), 0u);
    EXPECT_EQ(t.u.sample, 11352u);
    t.wType = TIME_MS;
    ASSERT_EQ(waveOutGetPosition(hwo, &t, sizeof t), 0u);
    EXPECT_EQ(t.u.ms, 514u);
    t.wType = TIME_BYTES;
    ASSERT_EQ(waveOutGetPosition(hwo, &t, sizeof t), 0u);
    EXPECT_EQ(t.u.cb, 22704u);
    t.wType = TIME_TICKS;
    ASSERT_EQ(waveOutGetPosition(hwo, &t, sizeof t), 0u);
    EXPECT_EQ(t.wType, UINT(TIME_BYTES));
    EXPECT_EQ(t.u.cb, 22704u);

    host::AdvanceVirtualMs(700);
    EXPECT_EQ(HeaderFlags(&a.hdr), DWORD(WHDR_PREPARED | WHDR_DONE));
    EXPECT_EQ(HeaderFlags(&b.hdr), DWORD(WHDR_PREPARED | WHDR_DONE));
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);

    // The headset got about a second of 16-bit stereo at the same level on
    // both channels (the resampler holds back a few samples at the end).
    std::vector<uint8_t> audio = btstandin::ReceivedAudio();
    EXPECT_NEAR(double(audio.size()), 176400.0, 800.0);
    ASSERT_EQ(audio.size() % 4, 0u);
    for (size_t i = 4000; i + 4000 < audio.size(); i += 4) {
        int16_t l = static_cast<int16_t>(audio[i] | (audio[i + 1] << 8));
        int16_t r = static_cast<int16_t>(audio[i + 2] | (audio[i + 3] << 8));
        ASSERT_NEAR(l, 1000, 2) << i;
        ASSERT_EQ(l, r) << i;
    }
    EXPECT_EQ(waveOutUnprepareHeader(hwo, &a.hdr, sizeof a.hdr), 0u);
    EXPECT_EQ(waveOutClose(hwo), 0u);
    CloseHandle(ev);
}

TEST_F(WaveMapper, ResetAndLoopsOnAConvertedStream)
{
    if (!host::MapperCanConvert())
        GTEST_SKIP() << "this build has no conversion library";
    // The driver plays 16-bit only: 8-bit stereo at its own rate is
    // converted, and half a second of it is half a second at the headset.
    WAVEFORMATEX eight = MakeFormat(2, 44100, 8);
    WAVEFORMATEX narrow = MakeFormat(2, 32000, 8);
    HWAVEOUT hwo = nullptr;
    ASSERT_EQ(waveOutOpen(&hwo, WAVE_MAPPER, &eight, 0, 0, CALLBACK_NULL), 0u);
    host::WaveMapping m;
    ASSERT_TRUE(host::DescribeWaveMapping(hwo, &m));
    EXPECT_TRUE(m.converted);
    EXPECT_EQ(host::MappingText(m), "44100 Hz stereo 8-bit to 44100 Hz stereo 16-bit on device 1");
    AppBuffer half(44100, char(0x80));
    ASSERT_EQ(waveOutPrepareHeader(hwo, &half.hdr, sizeof half.hdr), 0u);
    ASSERT_EQ(waveOutWrite(hwo, &half.hdr, sizeof half.hdr), 0u);
    host::AdvanceVirtualMs(800);
    EXPECT_NE(HeaderFlags(&half.hdr) & WHDR_DONE, 0u);
    EXPECT_EQ(btstandin::ReceivedAudio().size(), 88200u);
    ASSERT_EQ(waveOutUnprepareHeader(hwo, &half.hdr, sizeof half.hdr), 0u);
    ASSERT_EQ(waveOutClose(hwo), 0u);
    btstandin::ClearPackets();

    ASSERT_EQ(waveOutOpen(&hwo, WAVE_MAPPER, &narrow, 0, 0, CALLBACK_NULL), 0u);
    ASSERT_TRUE(host::DescribeWaveMapping(hwo, &m));
    EXPECT_EQ(host::MappingText(m), "32000 Hz stereo 8-bit to 44100 Hz stereo 16-bit on device 1");
    AppBuffer loop(6400, char(0x80));   // 0.1 s of silence, played three times
    loop.hdr.dwFlags = WHDR_BEGINLOOP | WHDR_ENDLOOP;
    loop.hdr.dwLoops = 3;
    ASSERT_EQ(waveOutPrepareHeader(hwo, &loop.hdr, sizeof loop.hdr), 0u);
    ASSERT_EQ(waveOutWrite(hwo, &loop.hdr, sizeof loop.hdr), 0u);
    host::AdvanceVirtualMs(500);
    EXPECT_NE(HeaderFlags(&loop.hdr) & WHDR_DONE, 0u);
    std::vector<uint8_t> audio = btstandin::ReceivedAudio();
    EXPECT_NEAR(double(audio.size()), 3 * 17640.0, 3 * 200.0);
    for (size_t i = 0; i < audio.size(); ++i)
        ASSERT_EQ(audio[i], 0) << i;   // 8-bit silence is 16-bit zero

    // A reset hands the queued header back and the position starts again.
    AppBuffer b(32000, char(0x80));
    ASSERT_EQ(waveOutPrepareHeader(hwo, &b.hdr, sizeof b.hdr), 0u);
    ASSERT_EQ(waveOutWrite(hwo, &b.hdr, sizeof b.hdr), 0u);
    host::AdvanceVirtualMs(100);
    ASSERT_EQ(waveOutReset(hwo), 0u);
    EXPECT_EQ(HeaderFlags(&b.hdr), DWORD(WHDR_PREPARED | WHDR_DONE));
    MMTIME t{};
    t.wType = TIME_BYTES;
    ASSERT_EQ(waveOutGetPosition(hwo, &t, sizeof t), 0u);
    EXPECT_EQ(t.u.cb, 0u);
    EXPECT_EQ(waveOutClose(hwo), 0u);
}

TEST_F(WaveMapper, TheEndOfAConvertedStreamIsPlayedToItsLastFrame)
{
    if (!host::MapperCanConvert())
        GTEST_SKIP() << "this build has no conversion library";
    // 22,050 Hz mono in three buffers of odd lengths: the device plays it at
    // 44,100 Hz stereo, four device bytes for every byte written.
    WAVEFORMATEX mono = MakeFormat(1, 22050);
    HANDLE ev = CreateEvent(nullptr, FALSE, FALSE, nullptr);
    HWAVEOUT hwo = nullptr;
    ASSERT_EQ(waveOutOpen(&hwo, WAVE_MAPPER, &mono, reinterpret_cast<DWORD_PTR>(ev), 0, CALLBACK_EVENT), 0u);
    AppBuffer a(7350), b(10002), c(4410);
    DWORD written = 0;
    for (AppBuffer* x : {&a, &b, &c}) {
        for (size_t i = 0; i < x->data.size(); i += 2) {
            x->data[i] = static_cast<char>(0xE8);
            x->data[i + 1] = 0x03;
        }
        ASSERT_EQ(waveOutPrepareHeader(hwo, &x->hdr, sizeof x->hdr), 0u);
        ASSERT_EQ(waveOutWrite(hwo, &x->hdr, sizeof x->hdr), 0u);
        written += static_cast<DWORD>(x->data.size());
    }
    host::AdvanceVirtualMs(1500);
    for (AppBuffer* x : {&a, &b, &c})
        EXPECT_EQ(HeaderFlags(&x->hdr), DWORD(WHDR_PREPARED | WHDR_DONE));
    EXPECT_EQ(btstandin::ReceivedAudio().size(), size_t(4) * written);
    MMTIME t{};
    t.wType = TIME_BYTES;
    ASSERT_EQ(waveOutGetPosition(hwo, &t, sizeof t), 0u);
    EXPECT_EQ(t.u.cb, written);
    t.wType = TIME_SAMPLES;
    ASSERT_EQ(waveOutGetPosition(hwo, &t, sizeof t), 0u);
    EXPECT_EQ(t.u.sample, written / 2);

    // A later write on the same handle (the conversion goes on) ends whole too.
    AppBuffer d(2000);
    ASSERT_EQ(waveOutPrepareHeader(hwo, &d.hdr, sizeof d.hdr), 0u);
    ASSERT_EQ(waveOutWrite(hwo, &d.hdr, sizeof d.hdr), 0u);
    host::AdvanceVirtualMs(500);
    EXPECT_EQ(HeaderFlags(&d.hdr), DWORD(WHDR_PREPARED | WHDR_DONE));
    EXPECT_EQ(btstandin::ReceivedAudio().size(), size_t(4) * (written + 2000));
    EXPECT_EQ(waveOutClose(hwo), 0u);
    CloseHandle(ev);
}

// What the headset hears of one converted stream (noise in buffers of odd
// lengths, given in 16-bit mono frames), written all at once or each buffer
// only after the one before has come back and the device has run dry.
std::vector<uint8_t> PlayConverted(const WAVEFORMATEX& format, bool underruns, std::vector<size_t>* gapsAt)
{
    const size_t before = btstandin::ReceivedAudio().size();
    WAVEFORMATEX f = format;
    HWAVEOUT hwo = nullptr;
    EXPECT_EQ(waveOutOpen(&hwo, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), 0u);
    std::vector<AppBuffer> buffers;
    for (size_t bytes : {7350u, 10002u, 4410u, 882u, 6000u})
        buffers.emplace_back(bytes * f.nBlockAlign / 2);
    uint32_t noise = 12345;
    for (AppBuffer& x : buffers)
        for (char& c : x.data)
            c = static_cast<char>((noise = noise * 1103515245u + 12345u) >> 24);
    for (AppBuffer& x : buffers) {
        EXPECT_EQ(waveOutPrepareHeader(hwo, &x.hdr, sizeof x.hdr), 0u);
        EXPECT_EQ(waveOutWrite(hwo, &x.hdr, sizeof x.hdr), 0u);
        if (underruns) {
            host::AdvanceVirtualMs(600);   // long after the buffer and its tail have played
            EXPECT_NE(HeaderFlags(&x.hdr) & WHDR_DONE, 0u);
            gapsAt->push_back(btstandin::ReceivedAudio().size() - before);
        }
    }
    host::AdvanceVirtualMs(1000);
    for (AppBuffer& x : buffers)
        EXPECT_EQ(HeaderFlags(&x.hdr), DWORD(WHDR_PREPARED | WHDR_DONE));
    EXPECT_EQ(waveOutClose(hwo), 0u);
    const std::vector<uint8_t> all = btstandin::ReceivedAudio();
    return std::vector<uint8_t>(all.begin() + static_cast<long>(before), all.end());
}

// Underruns between a converted stream's buffers do not change what is
// converted: the audio after each gap is the audio of the stream played
// without gaps, and the whole stream has the same length, its last frame
// played.  Only the frames played just before a gap (the resampler's tail,
// which takes the input still to come as silence) may differ, and no more
// than the resampler holds.
TEST_F(WaveMapper, UnderrunsBetweenBuffersLeaveTheConvertedAudioAsWithout)
{
    if (!host::MapperCanConvert())
        GTEST_SKIP() << "this build has no conversion library";
    // Up from 22,050 Hz mono, and down from 48,000 Hz stereo, whose rates'
    // phases meet only every 160 input frames.
    for (const WAVEFORMATEX& format : {MakeFormat(1, 22050), MakeFormat(2, 48000)}) {
        const unsigned rate = format.nSamplesPerSec;
        SCOPED_TRACE(rate);
        std::vector<size_t> gaps;
        const std::vector<uint8_t> smooth = PlayConverted(format, false, &gaps);
        const std::vector<uint8_t> gapped = PlayConverted(format, true, &gaps);
        ASSERT_EQ(gapped.size(), smooth.size());
        if (rate == 22050)   // 4 device bytes per byte written
            ASSERT_EQ(smooth.size(), size_t(4) * (7350 + 10002 + 4410 + 882 + 6000));
        ASSERT_EQ(gaps.size(), 5u);
        EXPECT_EQ(gaps.back(), smooth.size());
        const size_t kTailBytes = 64 * 4;   // the frames a tail may guess: at most the resampler's filter
        size_t from = 0;
        for (size_t gap : gaps) {
            ASSERT_LE(from, gap);
            const size_t guessedFrom = gap > from + kTailBytes ? gap - kTailBytes : from;
            EXPECT_TRUE(std::equal(smooth.begin() + static_cast<long>(from),
                                   smooth.begin() + static_cast<long>(guessedFrom),
                                   gapped.begin() + static_cast<long>(from)))
                << "before the gap at byte " << gap;
            from = gap;
        }
        // The stream's end is played the same way in both.
        EXPECT_TRUE(std::equal(smooth.end() - kTailBytes, smooth.end(), gapped.end() - kTailBytes));
    }
}

// The extensible record with the PCM subformat is PCM: the mapper plays it
// as is where the device takes the plain format, converts it otherwise.
TEST_F(WaveMapper, TakesTheExtensibleFormatWithThePcmAndFloatSubformats)
{
    WAVEFORMATEXTENSIBLE x;
    std::memset(&x, 0, sizeof x);
    x.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    x.Format.nChannels = 2;
    x.Format.nSamplesPerSec = 44100;
    x.Format.wBitsPerSample = 16;
    x.Format.nBlockAlign = 4;
    x.Format.nAvgBytesPerSec = 176400;
    x.Format.cbSize = 22;
    x.Samples.wValidBitsPerSample = 16;
    x.dwChannelMask = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
    x.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    // The device's own format with the PCM subformat: the driver takes the
    // extensible record as it is.
    EXPECT_EQ(waveOutOpen(nullptr, 1, &x.Format, 0, 0, WAVE_FORMAT_QUERY), 0u);
    EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &x.Format, 0, 0, WAVE_FORMAT_QUERY), 0u);
    HWAVEOUT hwo = nullptr;
    ASSERT_EQ(waveOutOpen(&hwo, WAVE_MAPPER, &x.Format, 0, 0, CALLBACK_NULL), 0u);
    host::WaveMapping m;
    ASSERT_TRUE(host::DescribeWaveMapping(hwo, &m));
    EXPECT_EQ(host::MappingText(m), "44100 Hz stereo 16-bit as is on device 1");
    ASSERT_NE(Ctx().pwfx, nullptr);
    EXPECT_EQ(Ctx().pwfx->wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    AppBuffer b(17640);
    for (size_t i = 0; i < b.data.size(); ++i)
        b.data[i] = static_cast<char>(i * 7 + 3);
    ASSERT_EQ(waveOutPrepareHeader(hwo, &b.hdr, sizeof b.hdr), 0u);
    ASSERT_EQ(waveOutWrite(hwo, &b.hdr, sizeof b.hdr), 0u);
    host::AdvanceVirtualMs(200);
    EXPECT_EQ(HeaderFlags(&b.hdr), DWORD(WHDR_PREPARED | WHDR_DONE));
    std::vector<uint8_t> heard = btstandin::ReceivedAudio();
    ASSERT_EQ(heard.size(), b.data.size());
    EXPECT_EQ(std::memcmp(heard.data(), b.data.data(), heard.size()), 0);
    EXPECT_EQ(waveOutClose(hwo), 0u);

    if (!host::MapperCanConvert())
        return;
    // Mono 22,050 Hz, and 32-bit float, both converted.
    x.Format.nChannels = 1;
    x.Format.nSamplesPerSec = 22050;
    x.Format.nBlockAlign = 2;
    x.Format.nAvgBytesPerSec = 44100;
    x.dwChannelMask = SPEAKER_FRONT_CENTER;
    ASSERT_EQ(waveOutOpen(&hwo, WAVE_MAPPER, &x.Format, 0, 0, CALLBACK_NULL), 0u);
    ASSERT_TRUE(host::DescribeWaveMapping(hwo, &m));
    EXPECT_EQ(host::MappingText(m), "22050 Hz mono 16-bit to 44100 Hz stereo 16-bit on device 1");
    EXPECT_EQ(waveOutClose(hwo), 0u);
    x.Format.wBitsPerSample = 32;
    x.Format.nBlockAlign = 4;
    x.Format.nAvgBytesPerSec = 88200;
    x.Samples.wValidBitsPerSample = 32;
    x.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    ASSERT_EQ(waveOutOpen(&hwo, WAVE_MAPPER, &x.Format, 0, 0, CALLBACK_NULL), 0u);
    ASSERT_TRUE(host::DescribeWaveMapping(hwo, &m));
    EXPECT_EQ(host::MappingText(m), "22050 Hz mono 32-bit float to 44100 Hz stereo 16-bit on device 1");
    std::vector<float> half(2205, 0.5f);
    WAVEHDR h{};
    h.lpData = reinterpret_cast<LPSTR>(half.data());
    h.dwBufferLength = static_cast<DWORD>(half.size() * sizeof(float));
    ASSERT_EQ(waveOutPrepareHeader(hwo, &h, sizeof h), 0u);
    ASSERT_EQ(waveOutWrite(hwo, &h, sizeof h), 0u);
    host::AdvanceVirtualMs(300);
    heard = btstandin::ReceivedAudio();
    ASSERT_EQ(heard.size(), 17640u + 17640u);   // 0.1 s more, as 44,100 Hz stereo
    const size_t mid = 17640 + 8820;           // the middle of the converted buffer
    EXPECT_NEAR(static_cast<int16_t>(heard[mid] | (heard[mid + 1] << 8)), 16384, 2);
    EXPECT_EQ(waveOutClose(hwo), 0u);

    // Any other subformat is refused.
    x.SubFormat.Data1 = 0x55;
    EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &x.Format, 0, 0, WAVE_FORMAT_QUERY), UINT(WAVERR_BADFORMAT));
}

// The mapper's own capabilities: it converts every standard format for the
// preferred device, so it announces all twelve.
TEST_F(WaveMapper, CapabilitiesOfTheMapperAnnounceWhatItPlays)
{
    WAVEOUTCAPS caps;
    std::memset(&caps, 0xAB, sizeof caps);
    ASSERT_EQ(waveOutGetDevCaps(WAVE_MAPPER, &caps, sizeof caps), 0u);
    EXPECT_EQ(host::Narrow(caps.szPname), "Wave Mapper");
    const DWORD all = 0x00000FFF;
    EXPECT_EQ(caps.dwFormats, host::MapperCanConvert() ? all : DWORD(WAVE_FORMAT_4S16));
    EXPECT_EQ(caps.dwSupport, DWORD(WAVECAPS_VOLUME));   // the preferred device's
    // Without conversion the mapper plays only what the preferred device
    // does, so its channel count is that device's.
    WAVEOUTCAPS device;
    ASSERT_EQ(waveOutGetDevCaps(1, &device, sizeof device), 0u);
    EXPECT_EQ(caps.wChannels, host::MapperCanConvert() ? 2u : device.wChannels);
    WAVEOUTCAPS shortCaps;
    std::memset(&shortCaps, 0xCD, sizeof shortCaps);
    ASSERT_EQ(waveOutGetDevCaps(WAVE_MAPPER, &shortCaps, 8), 0u);
    EXPECT_EQ(shortCaps.szPname[0], 0xCDCDu);   // only the first 8 bytes written
}

// WAVE_MAPPED: the mapper converts for the device named, not the preferred.
TEST_F(WaveMapper, MappedOpenOfADeviceConvertsForThatDevice)
{
    if (!host::MapperCanConvert())
        GTEST_SKIP() << "this build has no conversion library";
    LinkEvent(BT_EVENT_LINK_DOWN);   // device 0 is preferred again
    WAVEFORMATEX mono = MakeFormat(1, 22050);
    HWAVEOUT hwo = nullptr;
    ASSERT_EQ(waveOutOpen(&hwo, 1, &mono, 0, 0, WAVE_MAPPED), 0u);
    host::WaveMapping m;
    ASSERT_TRUE(host::DescribeWaveMapping(hwo, &m));
    EXPECT_EQ(host::MappingText(m), "22050 Hz mono 16-bit to 44100 Hz stereo 16-bit on device 1");
    UINT id = 99;
    ASSERT_EQ(waveOutGetID(hwo, &id), 0u);
    EXPECT_EQ(id, 1u);
    AppBuffer second(44100);   // one second
    ASSERT_EQ(waveOutPrepareHeader(hwo, &second.hdr, sizeof second.hdr), 0u);
    ASSERT_EQ(waveOutWrite(hwo, &second.hdr, sizeof second.hdr), 0u);
    host::AdvanceVirtualMs(900);
    EXPECT_EQ(HeaderFlags(&second.hdr) & WHDR_DONE, 0u);   // a second takes a second
    host::AdvanceVirtualMs(200);
    EXPECT_EQ(HeaderFlags(&second.hdr), DWORD(WHDR_PREPARED | WHDR_DONE));
    EXPECT_EQ(btstandin::ReceivedAudio().size(), 176400u);
    EXPECT_EQ(waveOutClose(hwo), 0u);
    // WAVE_MAPPED with WAVE_MAPPER itself is the mapper as usual; an id out
    // of range is refused.
    EXPECT_EQ(waveOutOpen(nullptr, 7, &mono, 0, 0, WAVE_MAPPED | WAVE_FORMAT_QUERY), UINT(MMSYSERR_BADDEVICEID));
}

TEST_F(WaveMapper, WithoutAConversionLibraryARefusedFormatStaysRefused)
{
    if (host::MapperCanConvert())
        GTEST_SKIP() << "this build converts";
    WAVEFORMATEX mono = MakeFormat(1, 22050);
    HWAVEOUT hwo = nullptr;
    EXPECT_EQ(waveOutOpen(&hwo, WAVE_MAPPER, &mono, 0, 0, CALLBACK_NULL), UINT(WAVERR_BADFORMAT));
    EXPECT_EQ(Ctx().bOpened, 0);
}

}  // namespace
