// Fixtures for the stream-control, link and wave API tests: an initialised
// and opened driver, its stream and pacing records, and (for WaveApiTest)
// the driver registered with the wave API as device 1 behind the built-in
// device 0; a header with a buffer of its own, as applications keep them.
#pragma once

#include <functional>
#include <vector>

#include "btstandin/btstandin.h"
#include "host/clock.h"
#include "host/wave.h"
#include "kit/header_pool.h"
#include "kit/recorder.h"
#include "pump/pump.h"
#include "stream/stream.h"
#include "support/driver_fixture.h"

namespace testing_support {

// The driver initialised and opened (WAV_Init, WAV_Open), on the virtual clock.
class StreamTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        if (!HasFatalFailure())
            InitAndOpen();
    }

    STREAM_CONTEXT& Ctx() const { return *r_.stream; }
    BT_AUDIO_PARA& Para() const { return *r_.para; }

    // WODM_OPEN with the client as callback and instance.
    MessageAnswer OpenRaw(Recorder& client, const WAVEFORMATEX* format, DWORD flags = 0,
                          HWAVE hWave = reinterpret_cast<HWAVE>(0x4857))
    {
        client.stream = &Ctx();
        desc_ = WAVEOPENDESC{};
        desc_.hWave = hWave;
        desc_.lpFormat = const_cast<LPWAVEFORMATEX>(format);
        desc_.dwCallback = client.CallbackWord();
        desc_.dwInstance = client.InstanceWord();
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

// A value no field should hold, and a handle no open gave: what the tests
// fill records with to see that nothing is written.
const DWORD kAllOnes = 0xFFFFFFFFu;
const HWAVE kNoHandle = reinterpret_cast<HWAVE>(~static_cast<DWORD_PTR>(0));

// The stream record's bytes, to see that a refused message changed none.
inline std::vector<uint8_t> Snapshot(const STREAM_CONTEXT& s)
{
    const auto* p = reinterpret_cast<const uint8_t*>(&s);
    return std::vector<uint8_t>(p, p + sizeof s);
}

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

}  // namespace testing_support
