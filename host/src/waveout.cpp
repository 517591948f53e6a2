// The waveOut* functions: each turns an application's call into messages
// to its device, through the mapper where the handle converts.
//
// Threads and locks: the application's thread, or a driver's callback
// re-entering the API (a write from inside MM_WOM_DONE, on the driver's
// timer thread with its lock held); the table's mutex is taken only
// to look up or change the tables, never across a message to a device.
// Each function first asks CallFromCallback: a call from inside the
// application's own callback is one the platform forbids, and is noted (or,
// strict, refused).
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "wavetable.h"

namespace {

// The performance counter at a write, for the write observer.
uint64_t WriteCounter()
{
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return static_cast<uint64_t>(c.QuadPart);
}

}  // namespace

extern "C" {

UINT waveOutGetNumDevs(void)
{
    if (host::CallFromCallback(__func__) != MMSYSERR_NOERROR)
        return 0;
    host::State& s = host::S();
    std::lock_guard<host::PiMutex> lock(s.mutex);
    return static_cast<UINT>(s.devices.size());
}

// uDeviceID: a device id, WAVE_MAPPER (the mapper's own record) or an open
// handle.
MMRESULT waveOutGetDevCaps(UINT_PTR uDeviceID, LPWAVEOUTCAPS pwoc, UINT cbwoc)
{
    if (MMRESULT busy = host::CallFromCallback(__func__))
        return busy;
    if (pwoc == nullptr)
        return MMSYSERR_INVALPARAM;
    if (cbwoc == 0)
        return MMSYSERR_NOERROR;
    if (host::IsMapperHandle(reinterpret_cast<HWAVEOUT>(uDeviceID)))
        return host::MapperCaps(pwoc, cbwoc);
    std::shared_ptr<host::Device> d;
    if (std::shared_ptr<host::WaveOut> w = host::FindHandle(reinterpret_cast<HWAVEOUT>(uDeviceID)))
        d = w->device;
    else if (uDeviceID <= 0xFFFFFFFFu)
        d = host::DeviceFor(static_cast<UINT>(uDeviceID));
    if (!d)
        return MMSYSERR_BADDEVICEID;
    // The whole record goes to the device; the caller gets cbwoc bytes of it.
    WAVEOUTCAPS caps{};
    MMRESULT r = host::SendTo(*d, WODM_GETDEVCAPS, reinterpret_cast<DWORD_PTR>(&caps), sizeof caps);
    if (r == MMSYSERR_NOERROR)
        std::memcpy(pwoc, &caps, std::min<size_t>(cbwoc, sizeof caps));
    return r;
}

MMRESULT waveOutMessage(HWAVEOUT hwo, UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2)
{
    if (MMRESULT busy = host::CallFromCallback(__func__))
        return busy;
    if (host::IsMapperHandle(hwo)) {
        host::State& s = host::S();
        std::lock_guard<host::PiMutex> lock(s.mutex);
        MMRESULT r = host::MapperMessageLocked(s, uMsg, dw1, dw2);
        s.mapperLog.push_back({uMsg, dw1, dw2, r});
        return r;
    }
    std::shared_ptr<host::Device> d;
    MMRESULT r = host::DeviceOfHandleOrId(hwo, &d);
    if (r != MMSYSERR_NOERROR)
        return r;
    return host::SendTo(*d, uMsg, dw1, dw2);
}

MMRESULT waveOutOpen(LPHWAVEOUT phwo, UINT uDeviceID, LPCWAVEFORMATEX pwfx, DWORD_PTR dwCallback,
                     DWORD_PTR dwInstance, DWORD fdwOpen)
{
    if (MMRESULT busy = host::CallFromCallback(__func__))
        return busy;
    const bool query = (fdwOpen & WAVE_FORMAT_QUERY) != 0;
    if (pwfx == nullptr || (!query && phwo == nullptr))
        return MMSYSERR_INVALPARAM;
    UINT deviceId = 0;
    std::shared_ptr<host::Device> d = host::DeviceFor(uDeviceID, &deviceId);
    if (!d)
        return MMSYSERR_BADDEVICEID;
    // The mapper and WAVE_MAPPED are the API's business: the device never
    // sees WAVE_MAPPED.
    const DWORD driverFlags = fdwOpen & ~static_cast<DWORD>(CALLBACK_TYPEMASK | WAVE_MAPPED);
    const bool mapped = (uDeviceID == WAVE_MAPPER || (fdwOpen & WAVE_MAPPED)) && !(fdwOpen & WAVE_FORMAT_DIRECT);
    std::vector<uint8_t> format = host::CopyFormat(pwfx);

    host::MapperPlan plan;
    if (mapped) {
        MMRESULT r = host::PlanMapping(*d, format, driverFlags & ~static_cast<DWORD>(WAVE_FORMAT_QUERY), &plan);
        if (r != MMSYSERR_NOERROR || query)
            return r;
    } else if (query) {
        return host::QueryFormat(*d, format, driverFlags);
    }

    const DWORD kind = fdwOpen & CALLBACK_TYPEMASK;
    switch (kind) {
    case CALLBACK_FUNCTION:
        host::CheckCallbackFunction(dwCallback);
        break;
    case CALLBACK_NULL:
    case CALLBACK_THREAD:
        break;
    case CALLBACK_EVENT:
        if (!host::IsEventHandle(reinterpret_cast<HANDLE>(dwCallback)))
            return MMSYSERR_INVALPARAM;
        break;
    case CALLBACK_WINDOW:
        if (!IsWindow(reinterpret_cast<HWND>(dwCallback)))
            return MMSYSERR_INVALPARAM;
        break;
    default:
        return MMSYSERR_INVALFLAG;
    }

    auto w = std::make_shared<host::WaveOut>();
    w->device = d;
    w->callbackKind = kind;
    w->callback = dwCallback;
    w->instance = dwInstance;
    w->format = std::move(format);
    w->viaMapper = uDeviceID == WAVE_MAPPER;
    w->deviceId = deviceId;
    w->deviceFormat = plan.deviceFormat.empty() ? w->format : plan.deviceFormat;
    if (plan.convert) {
        auto converter = host::MakeSampleConverter(plan.client, plan.device);
        if (!converter)
            return WAVERR_BADFORMAT;
        w->mapped = std::make_unique<host::MappedStream>(plan.client, plan.device, std::move(converter));
    }
    HWAVEOUT hwo = reinterpret_cast<HWAVEOUT>(w.get());

    // The handle is known before the driver answers, so that its MM_WOM_OPEN
    // reaches the application.
    host::State& s = host::S();
    {
        std::lock_guard<host::PiMutex> lock(s.mutex);
        s.handles[hwo] = w;
    }
    WAVEOPENDESC desc{};
    desc.hWave = hwo;
    desc.lpFormat = reinterpret_cast<LPWAVEFORMATEX>(w->deviceFormat.data());
    desc.dwCallback = reinterpret_cast<DWORD_PTR>(&host::DeliverToClient);
    desc.dwInstance = reinterpret_cast<DWORD_PTR>(hwo);
    MMRESULT r = host::SendTo(*d, WODM_OPEN, reinterpret_cast<DWORD_PTR>(&desc), driverFlags | CALLBACK_FUNCTION);
    if (r != MMSYSERR_NOERROR) {
        std::lock_guard<host::PiMutex> lock(s.mutex);
        s.handles.erase(hwo);
        return r;
    }
    *phwo = hwo;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutClose(HWAVEOUT hwo)
{
    if (MMRESULT busy = host::CallFromCallback(__func__))
        return busy;
    std::shared_ptr<host::WaveOut> w = host::FindHandle(hwo);
    if (!w)
        return MMSYSERR_INVALHANDLE;
    MMRESULT r = host::SendTo(*w->device, WODM_CLOSE, 0, 0);
    if (r == MMSYSERR_NOERROR) {
        host::State& s = host::S();
        std::lock_guard<host::PiMutex> lock(s.mutex);
        s.handles.erase(hwo);
    }
    return r;
}

MMRESULT waveOutPrepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh)
{
    if (MMRESULT busy = host::CallFromCallback(__func__))
        return busy;
    std::shared_ptr<host::WaveOut> w = host::FindHandle(hwo);
    if (!w)
        return MMSYSERR_INVALHANDLE;
    if (pwh == nullptr || cbwh < sizeof(WAVEHDR))
        return MMSYSERR_INVALPARAM;
    const DWORD flags = host::HeaderFlags(pwh);
    if (flags & WHDR_PREPARED)
        return MMSYSERR_NOERROR;
    MMRESULT r = host::SendTo(*w->device, WODM_PREPARE, reinterpret_cast<DWORD_PTR>(pwh), cbwh);
    if (r != MMSYSERR_NOERROR && r != MMSYSERR_NOTSUPPORTED)
        return r;
    if (w->mapped)
        w->mapped->Prepare(pwh);
    // A fresh preparation: whatever WHDR_DONE or WHDR_INQUEUE the record
    // carried is stale; only the application's loop flags stay.
    host::SetHeaderFlags(pwh, WHDR_PREPARED | (flags & (WHDR_BEGINLOOP | WHDR_ENDLOOP)));
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh)
{
    if (MMRESULT busy = host::CallFromCallback(__func__))
        return busy;
    std::shared_ptr<host::WaveOut> w = host::FindHandle(hwo);
    if (!w)
        return MMSYSERR_INVALHANDLE;
    if (pwh == nullptr || cbwh < sizeof(WAVEHDR))
        return MMSYSERR_INVALPARAM;
    DWORD flags = host::HeaderFlags(pwh);
    if (flags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;
    if (!(flags & WHDR_PREPARED))
        return MMSYSERR_NOERROR;
    MMRESULT r = host::SendTo(*w->device, WODM_UNPREPARE, reinterpret_cast<DWORD_PTR>(pwh), cbwh);
    if (r != MMSYSERR_NOERROR && r != MMSYSERR_NOTSUPPORTED)
        return r;
    if (w->mapped)
        w->mapped->Unprepare(pwh);
    host::SetHeaderFlags(pwh, host::HeaderFlags(pwh) & ~static_cast<DWORD>(WHDR_PREPARED));
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutWrite(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh)
{
    if (MMRESULT busy = host::CallFromCallback(__func__))
        return busy;
    std::shared_ptr<host::WaveOut> w = host::FindHandle(hwo);
    if (!w)
        return MMSYSERR_INVALHANDLE;
    if (pwh == nullptr || cbwh < sizeof(WAVEHDR))
        return MMSYSERR_INVALPARAM;
    if (!w->mapped) {
        // The application's header is read for an observer only, and only
        // where it can be: a bad one is the device's to refuse.
        const bool observed = host::WriteObserved() && !IsBadWritePtr(pwh, sizeof(WAVEHDR));
        const int64_t bytes = observed ? static_cast<int64_t>(host::HeaderLength(pwh)) : 0;
        const uint64_t counter = observed ? WriteCounter() : 0;
        if (observed)
            host::NoteWrite(bytes, counter);
        MMRESULT r = host::SendTo(*w->device, WODM_WRITE, reinterpret_cast<DWORD_PTR>(pwh), cbwh);
        if (observed && r != MMSYSERR_NOERROR)
            host::NoteWrite(-bytes, counter);
        return r;
    }

    // The converted stream: the device plays the header's shadow.  The
    // device's own refusals are answered here, before anything is converted.
    const DWORD flags = host::HeaderFlags(pwh);
    if (!(flags & WHDR_PREPARED))
        return WAVERR_UNPREPARED;
    if (flags & WHDR_INQUEUE)
        return MMSYSERR_INVALPARAM;
    WAVEHDR* shadow = w->mapped->BeginWrite(pwh);
    if (shadow == nullptr)
        return WAVERR_UNPREPARED;
    const int64_t bytes = static_cast<int64_t>(host::HeaderLength(shadow));
    const uint64_t counter = WriteCounter();
    host::NoteWrite(bytes, counter);
    MMRESULT r = host::SendTo(*w->device, WODM_WRITE, reinterpret_cast<DWORD_PTR>(shadow), sizeof *shadow);
    if (r != MMSYSERR_NOERROR) {
        host::NoteWrite(-bytes, counter);
        w->mapped->UndoWrite(pwh, flags);
    }
    return r;
}

MMRESULT waveOutPause(HWAVEOUT hwo)
{
    if (MMRESULT busy = host::CallFromCallback(__func__))
        return busy;
    return host::SendOnHandle(hwo, WODM_PAUSE, 0, 0);
}

MMRESULT waveOutRestart(HWAVEOUT hwo)
{
    if (MMRESULT busy = host::CallFromCallback(__func__))
        return busy;
    return host::SendOnHandle(hwo, WODM_RESTART, 0, 0);
}

MMRESULT waveOutBreakLoop(HWAVEOUT hwo)
{
    if (MMRESULT busy = host::CallFromCallback(__func__))
        return busy;
    return host::SendOnHandle(hwo, WODM_BREAKLOOP, 0, 0);
}

MMRESULT waveOutReset(HWAVEOUT hwo)
{
    if (MMRESULT busy = host::CallFromCallback(__func__))
        return busy;
    std::shared_ptr<host::WaveOut> w = host::FindHandle(hwo);
    if (!w)
        return MMSYSERR_INVALHANDLE;
    if (w->mapped)
        w->mapped->BeginReset();
    MMRESULT r = host::SendTo(*w->device, WODM_RESET, 0, 0);
    if (w->mapped)
        w->mapped->ResetConversion();
    return r;
}

MMRESULT waveOutGetPosition(HWAVEOUT hwo, LPMMTIME pmmt, UINT cbmmt)
{
    if (MMRESULT busy = host::CallFromCallback(__func__))
        return busy;
    std::shared_ptr<host::WaveOut> w = host::FindHandle(hwo);
    if (!w)
        return MMSYSERR_INVALHANDLE;
    // The driver is told not to look at the size, so the API does.
    if (cbmmt < sizeof(MMTIME))
        return MMSYSERR_ERROR;
    if (!w->mapped)
        return host::SendTo(*w->device, WODM_GETPOS, reinterpret_cast<DWORD_PTR>(pmmt), cbmmt);
    if (pmmt == nullptr || IsBadWritePtr(pmmt, sizeof(MMTIME)))
        return MMSYSERR_INVALPARAM;
    MMTIME bytes{};
    bytes.wType = TIME_BYTES;
    MMRESULT r = host::SendTo(*w->device, WODM_GETPOS, reinterpret_cast<DWORD_PTR>(&bytes), sizeof bytes);
    if (r != MMSYSERR_NOERROR)
        return r;
    w->mapped->AnswerPosition(bytes.u.cb, reinterpret_cast<BYTE*>(pmmt));
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutGetVolume(HWAVEOUT hwo, LPDWORD pdwVolume)
{
    if (MMRESULT busy = host::CallFromCallback(__func__))
        return busy;
    std::shared_ptr<host::Device> d;
    MMRESULT r = host::DeviceOfHandleOrId(hwo, &d);
    if (r != MMSYSERR_NOERROR)
        return r;
    if (pdwVolume == nullptr)
        return MMSYSERR_INVALPARAM;
    return host::SendTo(*d, WODM_GETVOLUME, reinterpret_cast<DWORD_PTR>(pdwVolume), 0);
}

MMRESULT waveOutSetVolume(HWAVEOUT hwo, DWORD dwVolume)
{
    if (MMRESULT busy = host::CallFromCallback(__func__))
        return busy;
    std::shared_ptr<host::Device> d;
    MMRESULT r = host::DeviceOfHandleOrId(hwo, &d);
    if (r != MMSYSERR_NOERROR)
        return r;
    return host::SendTo(*d, WODM_SETVOLUME, dwVolume, 0);
}

// Pitch and playback rate belong to an open stream: handles only.
static MMRESULT GetOnHandle(HWAVEOUT hwo, UINT uMsg, LPDWORD value)
{
    if (!host::IsOpenHandle(hwo))
        return MMSYSERR_INVALHANDLE;
    if (value == nullptr)
        return MMSYSERR_INVALPARAM;
    return host::SendOnHandle(hwo, uMsg, reinterpret_cast<DWORD_PTR>(value), 0);
}

MMRESULT waveOutGetPitch(HWAVEOUT hwo, LPDWORD pdwPitch)
{
    if (MMRESULT busy = host::CallFromCallback(__func__))
        return busy;
    return GetOnHandle(hwo, WODM_GETPITCH, pdwPitch);
}

MMRESULT waveOutSetPitch(HWAVEOUT hwo, DWORD dwPitch)
{
    if (MMRESULT busy = host::CallFromCallback(__func__))
        return busy;
    return host::SendOnHandle(hwo, WODM_SETPITCH, dwPitch, 0);
}

MMRESULT waveOutGetPlaybackRate(HWAVEOUT hwo, LPDWORD pdwRate)
{
    if (MMRESULT busy = host::CallFromCallback(__func__))
        return busy;
    return GetOnHandle(hwo, WODM_GETPLAYBACKRATE, pdwRate);
}
MMRESULT waveOutSetPlaybackRate(HWAVEOUT hwo, DWORD dwRate)
{
    if (MMRESULT busy = host::CallFromCallback(__func__))
        return busy;
    return host::SendOnHandle(hwo, WODM_SETPLAYBACKRATE, dwRate, 0);
}

MMRESULT waveOutGetID(HWAVEOUT hwo, LPUINT puDeviceID)
{
    if (MMRESULT busy = host::CallFromCallback(__func__))
        return busy;
    std::shared_ptr<host::WaveOut> w = host::FindHandle(hwo);
    if (!w)
        return MMSYSERR_INVALHANDLE;
    if (puDeviceID == nullptr)
        return MMSYSERR_INVALPARAM;
    *puDeviceID = w->viaMapper ? WAVE_MAPPER : w->deviceId;
    return MMSYSERR_NOERROR;
}

}  // extern "C"
