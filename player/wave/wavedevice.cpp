#include "wave/wavedevice.h"

#include "wave/boot.h"
#include "run/failure.h"
#include "host/events.h"
#include "host/wave.h"
#include "wave/playclock.h"

namespace player {

void CALLBACK WaveDevice::Callback(HDRVR, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR)
{
    WaveDevice* self = reinterpret_cast<WaveDevice*>(instance);
    if (msg == MM_WOM_DONE)
        self->done_(reinterpret_cast<WAVEHDR*>(p1));
    else if (msg == MM_WOM_OPEN)
        self->sawOpen_ = true;
    else if (msg == MM_WOM_CLOSE)
        self->sawClose_ = true;
}

void WaveDevice::Check(MMRESULT r, const char* call)
{
    if (r != MMSYSERR_NOERROR)
        throw Failure{kExitPlayback, std::string(call) + " failed with result " + std::to_string(r)};
}

std::string WaveDevice::MappingText() const
{
    host::WaveMapping m;
    return hwo_ != nullptr && host::DescribeWaveMapping(hwo_, &m) ? host::MappingText(m) : "not open";
}

std::string WaveDevice::Open(UINT target, const std::string& targetName, const WAVEFORMATEX& format)
{
    WAVEFORMATEX d = format;
    MMRESULT r;
    if (refill_ == Refill::Event) {
        event_ = host::CreateEvent(false, false);
        r = waveOutOpen(&hwo_, target, &d, reinterpret_cast<DWORD_PTR>(event_), 0, CALLBACK_EVENT);
    } else {
        r = waveOutOpen(&hwo_, target, &d, reinterpret_cast<DWORD_PTR>(&WaveDevice::Callback),
                        reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION);
    }
    if (r != MMSYSERR_NOERROR) {
        hwo_ = nullptr;
        throw Failure{kExitPlayback, "waveOutOpen(" + targetName + ") failed with result " + std::to_string(r)};
    }
    std::string what = target == WAVE_MAPPER ? "opened WAVE_MAPPER, " + PreferredDescription()
                                             : "opened " + targetName +
                                                   " directly (without the link the mapper would choose device 0)";
    if (refill_ == Refill::Callback)
        what += sawOpen_ ? ", MM_WOM_OPEN received" : ", no MM_WOM_OPEN";
    return what;
}

void WaveDevice::Prepare(WAVEHDR* header)
{
    Check(waveOutPrepareHeader(hwo_, header, sizeof(WAVEHDR)), "waveOutPrepareHeader");
    prepared_.push_back(header);
}

MMRESULT WaveDevice::Write(WAVEHDR* header)
{
    return waveOutWrite(hwo_, header, sizeof(WAVEHDR));
}

uint64_t WaveDevice::Position()
{
    MMTIME t{};
    t.wType = TIME_BYTES;
    if (waveOutGetPosition(hwo_, &t, sizeof t) != MMSYSERR_NOERROR || t.wType != TIME_BYTES)
        return 0;
    return t.u.cb;
}

void WaveDevice::Pause()
{
    Check(waveOutPause(hwo_), "waveOutPause");
}

WaveDevice::Span WaveDevice::Timed(MMRESULT(WINAPI* call)(HWAVEOUT), const char* name)
{
    Span s;
    s.before = Counter();
    MMRESULT r = call(hwo_);
    s.after = Counter();
    Check(r, name);
    return s;
}

WaveDevice::Span WaveDevice::Restart()
{
    return Timed(waveOutRestart, "waveOutRestart");
}

WaveDevice::Span WaveDevice::Reset()
{
    return Timed(waveOutReset, "waveOutReset");
}

std::string WaveDevice::Close()
{
    for (WAVEHDR* h : prepared_)
        waveOutUnprepareHeader(hwo_, h, sizeof(WAVEHDR));
    prepared_.clear();
    Check(waveOutClose(hwo_), "waveOutClose");
    hwo_ = nullptr;
    return refill_ == Refill::Callback && sawClose_ ? "closed, MM_WOM_CLOSE received" : "closed";
}

void WaveDevice::Abandon()
{
    if (hwo_) {
        waveOutReset(hwo_);
        for (WAVEHDR* h : prepared_)
            waveOutUnprepareHeader(hwo_, h, sizeof(WAVEHDR));
        prepared_.clear();
        waveOutClose(hwo_);
        hwo_ = nullptr;
    }
    if (event_) {
        host::CloseEvent(event_);
        event_ = nullptr;
    }
}

void WaveDevice::WaitEvent(uint32_t ms)
{
    host::WaitForEvent(event_, ms);
}

}  // namespace player
