// The wave mapper's format conversion, as an application written for the
// device meets it through WAVE_MAPPER (the link is up, so the mapper's
// preferred device is the driver): formats the driver refuses converted,
// positions in the client's units, resets, loops, underruns and the end of a
// converted stream, the extensible format, and the mapper's capabilities.
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
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);   // the open sets no event

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
    EXPECT_EQ(caps.dwSupport, 0u);   // the preferred device's: no volume control
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
