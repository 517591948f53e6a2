// The wave API's tables: the devices (the built-in device 0 and the
// drivers' devices), the open handles, and the delivery of a device's
// callbacks to the application.
//
// Threads and locks: any thread; the table's mutex (wavetable.h) is held
// only to read or change the tables, never while a device or an application
// runs.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/realtime.h"
#include "wavetable.h"

namespace host {

State& S()
{
    // Never destroyed: a device's callback may be delivered from the timer
    // thread as the process ends.
    static State* state = new State;
    return *state;
}

// Drivers are forgotten without being called: by the time ResetAll runs, a
// test may already have unloaded them.
void ResetWave()
{
    State& s = S();
    {
        std::lock_guard<host::PiMutex> lock(s.mutex);
        s.builtin = MakeBuiltinDevice();
        s.devices.assign(1, s.builtin);
        s.drivers.clear();
        s.preferred.reset();
        s.preferredFlags = 0;
        s.mapperLog.clear();
        s.handles.clear();
    }
    SetWaveMessageObserver(nullptr);
    SetWriteObserver(nullptr);
}

namespace {

std::mutex g_writeObserverMutex;
std::shared_ptr<const WriteObserver> g_writeObserver;

}  // namespace

void SetWriteObserver(WriteObserver observer)
{
    std::lock_guard<std::mutex> lock(g_writeObserverMutex);
    g_writeObserver = observer ? std::make_shared<const WriteObserver>(std::move(observer)) : nullptr;
}

bool WriteObserved()
{
    std::lock_guard<std::mutex> lock(g_writeObserverMutex);
    return g_writeObserver != nullptr;
}

void NoteWrite(int64_t bytes, uint64_t counter)
{
    std::shared_ptr<const WriteObserver> o;
    {
        std::lock_guard<std::mutex> lock(g_writeObserverMutex);
        o = g_writeObserver;
    }
    if (o)
        (*o)(bytes, counter);
}

// Caller holds the state's mutex.
UINT IndexOfLocked(const State& s, const std::shared_ptr<Device>& d)
{
    auto it = std::find(s.devices.begin(), s.devices.end(), d);
    return it == s.devices.end() ? 0 : static_cast<UINT>(it - s.devices.begin());
}

// The device with this id, or the preferred one for WAVE_MAPPER; *resolved
// (when given) receives the device's id.
std::shared_ptr<Device> DeviceFor(UINT id, UINT* resolved)
{
    State& s = S();
    std::lock_guard<host::PiMutex> lock(s.mutex);
    if (id == WAVE_MAPPER)
        id = s.preferred ? IndexOfLocked(s, s.preferred) : 0;
    if (resolved)
        *resolved = id;
    return id < s.devices.size() ? s.devices[id] : nullptr;
}

std::shared_ptr<WaveOut> FindHandle(HWAVEOUT h)
{
    State& s = S();
    std::lock_guard<host::PiMutex> lock(s.mutex);
    auto it = s.handles.find(h);
    return it == s.handles.end() ? nullptr : it->second;
}

static MMRESULT ResultOf(Answer a, DWORD result)
{
    switch (a) {
    case Answer::Given: return result;
    case Answer::Missing: return MMSYSERR_ERROR;
    case Answer::Gone: return MMSYSERR_NODRIVER;
    }
    return MMSYSERR_ERROR;
}

MMRESULT SendTo(Device& d, UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2)
{
    DWORD result = 0;
    Answer a = d.Send(uMsg, dw1, dw2, &result);
    ReportCallbackFault();
    return ResultOf(a, result);
}

MMRESULT SendOnHandle(HWAVEOUT hwo, UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2)
{
    std::shared_ptr<WaveOut> w = FindHandle(hwo);
    if (!w)
        return MMSYSERR_INVALHANDLE;
    return SendTo(*w->device, uMsg, dw1, dw2);
}

// The callback every device is given.  Called by the driver on whichever
// thread completes the message (the timer thread in a tick, the link
// thread in a link-up flush, the application's thread inside a message)
// with the driver's lock held, and re-entrantly: an
// application that writes from MM_WOM_DONE comes back here inside its own
// callback.  It takes the wave table's mutex only to find the handle and
// releases it before the application's function runs; it must not block
// otherwise.  The instance word is the handle; a handle that is gone
// (closed, or dropped by a reset) gets nothing.  A header
// that the mapper converted comes back as its shadow and goes on as the
// application's own.  Nothing with a destructor is alive while the
// application's function runs: a fault inside it may resume in the driver's
// guard without unwinding this frame.
void CALLBACK DeliverToClient(HDRVR, UINT uMsg, DWORD_PTR dwInstance, DWORD_PTR dw1, DWORD_PTR dw2)
{
    DWORD kind = CALLBACK_NULL;
    DWORD_PTR callback = 0;
    DWORD_PTR instance = 0;
    ReportCallbackFault();
    {
        std::shared_ptr<WaveOut> w = FindHandle(reinterpret_cast<HWAVEOUT>(dwInstance));
        if (!w)
            return;
        kind = w->callbackKind;
        callback = w->callback;
        instance = w->instance;
        if (uMsg == MM_WOM_DONE && w->mapped) {
            MappedStream::Step step = w->mapped->Complete(reinterpret_cast<WAVEHDR*>(dw1));
            WAVEHDR* client = step.client;
            if (step.tail != nullptr) {
                // The stream's end goes to the device first; its header
                // comes back with it.  A write from inside the device's own
                // callback is one the device takes (double buffering).
                if (SendTo(*w->device, WODM_WRITE, reinterpret_cast<DWORD_PTR>(step.tail), sizeof(WAVEHDR)) ==
                    MMSYSERR_NOERROR)
                    return;
                client = w->mapped->TailRefused();
            }
            if (client == nullptr)
                return;
            dw1 = reinterpret_cast<DWORD_PTR>(client);
        }
    }
    switch (kind) {
    case CALLBACK_FUNCTION:
        if (callback != 0) {
            // Timed when the timer thread runs it inside an audited tick.
            // Marked as the application's own: a wave call from inside is
            // one the platform forbids (wave_callback_rules.cpp).
            const uint64_t begin = TickPartBegin(TickPart::Callback);
            CallbackFrame saved;
            EnterApplicationCallback(&saved, uMsg, callback, instance);
            reinterpret_cast<LPDRVCALLBACK>(callback)(reinterpret_cast<HDRVR>(dwInstance), uMsg, instance, dw1, dw2);
            LeaveApplicationCallback(saved);
            TickPartEnd(TickPart::Callback, begin);
        }
        break;
    case CALLBACK_EVENT:
        // Set for a buffer handed back and for the close, not for the open:
        // the platform's own wave test opens with an auto-reset event, never
        // resets it, and times a play from the event's first signal after
        // its write, which vendors' drivers pass; an event set by the open
        // would end that wait before the buffer has played.
        if (uMsg != MM_WOM_OPEN)
            ::SetEvent(reinterpret_cast<HANDLE>(callback));
        break;
    case CALLBACK_THREAD:
        // A thread without a queue loses the message, as on the device.
        ::PostThreadMessageW(static_cast<DWORD>(callback), uMsg, static_cast<WPARAM>(dwInstance),
                             static_cast<LPARAM>(dw1));
        break;
    case CALLBACK_WINDOW:
        // Posted to the window, as on the device: wParam the handle, lParam
        // the header for MM_WOM_DONE.  A window destroyed meanwhile loses it.
        ::PostMessageW(reinterpret_cast<HWND>(callback), uMsg, static_cast<WPARAM>(dwInstance),
                       static_cast<LPARAM>(dw1));
        break;
    default:
        break;
    }
}

// The API's copy of a format: a PCM record as 16 bytes and a zero cbSize
// (PCM records may lack the field), any other with its cbSize extra bytes.
std::vector<uint8_t> CopyFormat(const WAVEFORMATEX* f)
{
    const auto* p = reinterpret_cast<const uint8_t*>(f);
    WORD tag = FormatTag(p);
    size_t size = 16;
    if (tag != WAVE_FORMAT_PCM)
        size = 18 + FormatExtraSize(p);
    std::vector<uint8_t> copy(std::max<size_t>(size, sizeof(WAVEFORMATEX)), 0);
    std::memcpy(copy.data(), p, size);
    return copy;
}

bool IsMapperHandle(HWAVEOUT hwo)
{
    auto v = reinterpret_cast<DWORD_PTR>(hwo);
    return v == WAVE_MAPPER || v == ~static_cast<DWORD_PTR>(0);
}


bool IsOpenHandle(HWAVEOUT hwo) { return FindHandle(hwo) != nullptr; }

// The device a handle or a device id (WAVE_MAPPER: the preferred device)
// names, for the calls that take either.
MMRESULT DeviceOfHandleOrId(HWAVEOUT hwo, std::shared_ptr<Device>* device)
{
    if (std::shared_ptr<WaveOut> w = FindHandle(hwo)) {
        *device = w->device;
        return MMSYSERR_NOERROR;
    }
    const auto id = reinterpret_cast<DWORD_PTR>(hwo);
    if (id > 0xFFFFFFFFu && !IsMapperHandle(hwo))
        return MMSYSERR_INVALHANDLE;
    *device = DeviceFor(IsMapperHandle(hwo) ? WAVE_MAPPER : static_cast<UINT>(id));
    return *device ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE;
}

bool DescribeWaveMapping(HWAVEOUT hwo, WaveMapping* mapping)
{
    std::shared_ptr<WaveOut> w = FindHandle(hwo);
    if (!w || mapping == nullptr)
        return false;
    mapping->viaMapper = w->viaMapper;
    mapping->device = w->deviceId;
    mapping->converted = w->mapped != nullptr;
    std::memcpy(&mapping->clientFormat, w->format.data(), sizeof(WAVEFORMATEX));
    std::memcpy(&mapping->deviceFormat, w->deviceFormat.data(), sizeof(WAVEFORMATEX));
    // An extensible record is described by its sample format.
    if (mapping->clientFormat.wFormatTag == WAVE_FORMAT_EXTENSIBLE)
        mapping->clientFormat.wFormatTag = IsFloatFormat(w->format) ? WAVE_FORMAT_IEEE_FLOAT : WAVE_FORMAT_PCM;
    return true;
}

std::string MappingText(const WaveMapping& m)
{
    std::string how = m.converted ? " to " + Describe(m.deviceFormat) : " as is";
    return Describe(m.clientFormat) + how + " on device " + std::to_string(m.device);
}

bool MapperCanConvert() { return HaveSampleConversion(); }

void KeepBuiltinAudio(bool keep)
{
    State& s = S();
    std::shared_ptr<BuiltinDevice> b;
    {
        std::lock_guard<host::PiMutex> lock(s.mutex);
        b = s.builtin;
    }
    b->KeepAudio(keep);
}

std::vector<uint8_t> BuiltinAudio()
{
    State& s = S();
    std::shared_ptr<BuiltinDevice> b;
    {
        std::lock_guard<host::PiMutex> lock(s.mutex);
        b = s.builtin;
    }
    return b->Audio();
}

bool BuiltinOutputPresent()
{
    State& s = S();
    std::lock_guard<host::PiMutex> lock(s.mutex);
    return std::find(s.devices.begin(), s.devices.end(), s.builtin) != s.devices.end();
}

void SetBuiltinOutput(bool present)
{
    State& s = S();
    std::lock_guard<host::PiMutex> lock(s.mutex);
    auto it = std::find(s.devices.begin(), s.devices.end(), s.builtin);
    if (present && it == s.devices.end())
        s.devices.insert(s.devices.begin(), s.builtin);
    else if (!present && it != s.devices.end())
        s.devices.erase(it);
    if (s.preferred == s.builtin)
        s.preferred.reset();
}

BuiltinOutputStats BuiltinOutput()
{
    std::shared_ptr<BuiltinDevice> b;
    {
        State& s = S();
        std::lock_guard<host::PiMutex> lock(s.mutex);
        b = s.builtin;
    }
    return b->Stats();
}

}  // namespace host
