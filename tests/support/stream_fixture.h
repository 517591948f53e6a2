// Fixtures for the stream-control, link and wave API tests: an initialised
// and opened driver, its stream and pacing records, a client that records
// its callbacks, formats, and (for WaveApiTest) the driver registered with
// the wave API as device 1 behind the built-in device 0.
#pragma once

#include <functional>
#include <vector>

#include "host/btstandin.h"
#include "host/clock.h"
#include "host/wave.h"
#include "pump/pump.h"
#include "stream/stream.h"
#include "support/driver_fixture.h"
#include "support/header_pool.h"

namespace testing_support {

inline WAVEFORMATEX MakeFormat(WORD channels = 2, DWORD rate = 44100, WORD bits = 16, WORD tag = WAVE_FORMAT_PCM)
{
    WAVEFORMATEX f{};
    f.wFormatTag = tag;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    f.wBitsPerSample = bits;
    return f;
}

// A client of the stream: records every callback, with the stream's bOpened
// at the moment of the call, and runs onCall after recording.
struct StreamClient {
    struct Call {
        HDRVR handle;
        UINT msg;
        DWORD_PTR instance;
        DWORD_PTR p1;
        DWORD_PTR p2;
        BOOL openedAtCall;
    };
    std::vector<Call> calls;
    const STREAM_CONTEXT* stream = nullptr;
    std::function<void(const Call&)> onCall;

    static void CALLBACK Fn(HDRVR h, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2)
    {
        auto* self = reinterpret_cast<StreamClient*>(instance);
        self->calls.push_back({h, msg, instance, p1, p2, self->stream ? self->stream->bOpened : -1});
        if (self->onCall)
            self->onCall(self->calls.back());
    }

    std::vector<UINT> Messages() const
    {
        std::vector<UINT> m;
        for (const Call& c : calls)
            m.push_back(c.msg);
        return m;
    }
    // Headers handed back with MM_WOM_DONE, in order.
    std::vector<const void*> Done() const
    {
        std::vector<const void*> d;
        for (const Call& c : calls)
            if (c.msg == MM_WOM_DONE)
                d.push_back(reinterpret_cast<const void*>(c.p1));
        return d;
    }
};

// The driver initialised and opened (WAV_Init, WAV_Open), on the virtual clock.
class StreamTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        if (!HasFatalFailure())
            InitAndOpen();
    }

    STREAM_CONTEXT& Ctx() const { return *Sym<STREAM_CONTEXT>("g_StreamContext"); }
    BT_AUDIO_PARA& Para() const { return *Sym<BT_AUDIO_PARA>("g_BtAudioPara"); }

    // WODM_OPEN with the client as callback and instance.
    MessageAnswer OpenRaw(StreamClient& client, const WAVEFORMATEX* format, DWORD flags = 0,
                          HWAVE hWave = reinterpret_cast<HWAVE>(0x4857))
    {
        client.stream = &Ctx();
        desc_ = WAVEOPENDESC{};
        desc_.hWave = hWave;
        desc_.lpFormat = const_cast<LPWAVEFORMATEX>(format);
        desc_.dwCallback = reinterpret_cast<DWORD_PTR>(&StreamClient::Fn);
        desc_.dwInstance = reinterpret_cast<DWORD_PTR>(&client);
        return Message(WODM_OPEN, reinterpret_cast<DWORD_PTR>(&desc_), flags);
    }
    MessageAnswer Write(WAVEHDR* h) { return Message(WODM_WRITE, reinterpret_cast<DWORD_PTR>(h), sizeof(WAVEHDR)); }

    // Raises a link event from the stand-in's thread and waits for it.
    void LinkEvent(DWORD code)
    {
        btstandin::RaiseEvent(code);
        btstandin::WaitForEvents();
    }

    // Total audio bytes posted to the library so far.
    static size_t PostedBytes() { return btstandin::ReceivedAudio().size(); }

    WAVEOPENDESC desc_{};
};

// StreamTest with the driver registered with the wave API (device 1).
class WaveApiTest : public StreamTest {
protected:
    void SetUp() override
    {
        StreamTest::SetUp();
        if (HasFatalFailure())
            return;
        std::string error;
        wave_ = host::RegisterWaveDriver(Entry(), hDevice_, &error);
        ASSERT_NE(wave_, 0u) << error;
        ASSERT_EQ(host::WaveDeviceIds(wave_), std::vector<UINT>{1});
    }
    void TearDown() override
    {
        if (wave_)
            host::UnregisterWaveDriver(wave_);
        wave_ = 0;
        StreamTest::TearDown();
    }

    host::WaveDriverId wave_ = 0;
};

}  // namespace testing_support
