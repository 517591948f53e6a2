// The built-in device 0: the output every system has besides the driver.
#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>

#include "host_internal.h"
#include "wavedevice.h"

namespace host {
namespace {

const char16_t kBuiltinName[] = u"Built-in Audio Output";
// Every 16-bit format of the capability bits: 11, 22 and 44.1 kHz, mono and stereo.
constexpr DWORD kBuiltinFormats = 0x00000004 | 0x00000008 | 0x00000040 | 0x00000080 | 0x00000400 | 0x00000800;

// Discards 16-bit PCM and completes every header at once.  A header written
// from inside its own MM_WOM_DONE callback is completed after that callback
// returns, by the same thread, so double buffering does not recurse.
class DiscardingOutput final : public BuiltinDevice {
public:
    Answer Send(UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2, DWORD* result) override
    {
        *result = Handle(uMsg, dw1, dw2);
        return Answer::Given;
    }

    BuiltinOutputStats Stats() override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return stats_;
    }

private:
    struct Client {
        LPDRVCALLBACK callback = nullptr;
        HWAVE hWave = nullptr;
        DWORD_PTR instance = 0;
    };

    static bool FormatOk(const WAVEFORMATEX* f)
    {
        if (f == nullptr)
            return false;
        WAVEFORMATEX w;
        std::memcpy(&w, f, 16);
        return w.wFormatTag == WAVE_FORMAT_PCM && w.wBitsPerSample == 16 && (w.nChannels == 1 || w.nChannels == 2) &&
               w.nSamplesPerSec != 0;
    }

    static void Notify(const Client& c, UINT msg, DWORD_PTR p1)
    {
        if (c.callback)
            c.callback(static_cast<HDRVR>(c.hWave), msg, c.instance, p1, 0);
    }

    DWORD Handle(UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2)
    {
        switch (uMsg) {
        case WODM_GETNUMDEVS:
            return 1;
        case WODM_GETDEVCAPS: {
            if (dw1 == 0)
                return MMSYSERR_INVALPARAM;
            WAVEOUTCAPS caps{};
            caps.wMid = 1;
            caps.wPid = 1;
            caps.vDriverVersion = 0x0100;
            std::memcpy(caps.szPname, kBuiltinName, sizeof kBuiltinName);
            caps.dwFormats = kBuiltinFormats;
            caps.wChannels = 2;
            std::memcpy(reinterpret_cast<void*>(dw1), &caps, std::min<size_t>(dw2, sizeof caps));
            return MMSYSERR_NOERROR;
        }
        case WODM_OPEN: {
            auto* desc = reinterpret_cast<const WAVEOPENDESC*>(dw1);
            if (desc == nullptr)
                return MMSYSERR_INVALPARAM;
            if (!FormatOk(desc->lpFormat))
                return WAVERR_BADFORMAT;
            if (dw2 & WAVE_FORMAT_QUERY)
                return MMSYSERR_NOERROR;
            Client c;
            c.callback = reinterpret_cast<LPDRVCALLBACK>(desc->dwCallback);
            c.hWave = desc->hWave;
            c.instance = desc->dwInstance;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                client_ = c;
                ++stats_.opens;
            }
            Notify(c, MM_WOM_OPEN, 0);
            return MMSYSERR_NOERROR;
        }
        case WODM_CLOSE: {
            Client c;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                c = client_;
                client_ = Client{};
                position_ = 0;
            }
            Notify(c, MM_WOM_CLOSE, 0);
            return MMSYSERR_NOERROR;
        }
        case WODM_PREPARE:
        case WODM_UNPREPARE:
            return MMSYSERR_NOTSUPPORTED;   // the API's own preparation suffices
        case WODM_WRITE:
            return Write(reinterpret_cast<WAVEHDR*>(dw1));
        case WODM_GETPOS: {
            if (dw1 == 0)
                return MMSYSERR_INVALPARAM;
            DWORD pos;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                pos = static_cast<DWORD>(position_);
            }
            auto* mmt = reinterpret_cast<BYTE*>(dw1);
            SetTimeType(mmt, TIME_BYTES);
            SetTimeValue(mmt, pos);
            return MMSYSERR_NOERROR;
        }
        case WODM_PAUSE:
        case WODM_RESTART:
        case WODM_RESET:
        case WODM_BREAKLOOP:
            return MMSYSERR_NOERROR;   // nothing is ever queued
        default:
            return MMSYSERR_NOTSUPPORTED;
        }
    }

    DWORD Write(WAVEHDR* h)
    {
        if (h == nullptr)
            return MMSYSERR_INVALPARAM;
        DWORD flags = HeaderFlags(h);
        if (flags & WHDR_INQUEUE)
            return MMSYSERR_INVALPARAM;
        if (!(flags & WHDR_PREPARED))
            return WAVERR_UNPREPARED;
        SetHeaderFlags(h, flags | WHDR_INQUEUE);
        t_pending.push_back(h);
        if (t_completing)
            return MMSYSERR_NOERROR;   // the outer call completes it
        t_completing = true;
        while (!t_pending.empty()) {
            WAVEHDR* next = t_pending.front();
            t_pending.pop_front();
            Complete(next);
        }
        t_completing = false;
        return MMSYSERR_NOERROR;
    }

    void Complete(WAVEHDR* h)
    {
        DWORD length = HeaderLength(h);
        SetHeaderConsumed(h, length);
        SetHeaderFlags(h, (HeaderFlags(h) & ~WHDR_INQUEUE) | WHDR_DONE);
        Client c;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            position_ += length;
            stats_.bytes += length;
            ++stats_.headersDone;
            c = client_;
        }
        Notify(c, MM_WOM_DONE, reinterpret_cast<DWORD_PTR>(h));
    }

    // Guards client_, position_ and stats_; never held while the client's
    // callback runs.
    std::mutex mutex_;
    Client client_;
    uint64_t position_ = 0;
    BuiltinOutputStats stats_;

    static thread_local bool t_completing;
    static thread_local std::deque<WAVEHDR*> t_pending;
};

thread_local bool DiscardingOutput::t_completing = false;
thread_local std::deque<WAVEHDR*> DiscardingOutput::t_pending;

}  // namespace

std::shared_ptr<BuiltinDevice> MakeBuiltinDevice()
{
    return std::make_shared<DiscardingOutput>();
}

}  // namespace host
