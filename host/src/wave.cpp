// The wave API: the device table with the built-in device 0 and the
// registered drivers, the wave mapper's preferred device, the application's
// waveOut* calls, and the delivery of callbacks to the application.
//
// Locking: one mutex guards the tables; it is never held while a driver or an
// application callback runs.  Calls into a driver are counted on the
// driver's record so that unregistering can wait for them to leave.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "host/wave.h"
#include "host_internal.h"
#include "wavedevice.h"
#include "wavemap.h"

namespace host {
namespace {

// Stored in the result word before a message is sent; never a result code.
constexpr DWORD kNoResult = 0xA5A5A5A5u;

// Told about every message sent to a driver; see SetWaveMessageObserver.
std::atomic<WaveMessageObserver> g_messageObserver{nullptr};

// ---- Drivers ------------------------------------------------------------------

// A registered driver: its entry points, the handle every message goes
// through, and the count of calls inside it.
struct DriverLink {
    WaveDriverId id = 0;
    DriverEntryPoints entry;
    DWORD_PTR hOpen = 0;

    // Guards busy and retired; held only to count, never across the call
    // into the driver.
    std::mutex mutex;
    std::condition_variable idle;
    unsigned busy = 0;      // calls in flight
    bool retired = false;   // no new call may begin

    bool Begin()
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (retired)
            return false;
        ++busy;
        return true;
    }
    void End()
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (--busy == 0)
            idle.notify_all();
    }
    void Retire()
    {
        std::unique_lock<std::mutex> lock(mutex);
        retired = true;
        idle.wait(lock, [this] { return busy == 0; });
    }
};

class DriverDevice : public Device {
public:
    DriverDevice(std::shared_ptr<DriverLink> link, UINT subDevice) : link_(std::move(link)), sub_(subDevice) {}

    Answer Send(UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2, DWORD* result) override
    {
        if (!link_->Begin())
            return Answer::Gone;
        MMDRV_MESSAGE_PARAMS params{};
        params.uDeviceId = sub_;
        params.uMsg = uMsg;
        params.dwParam1 = dw1;
        params.dwParam2 = dw2;
        DWORD out = kNoResult;
        DWORD actual = 0;
        BOOL ok = link_->entry.IOControl(link_->hOpen, IOCTL_WAV_MESSAGE, reinterpret_cast<LPBYTE>(&params),
                                         sizeof params, reinterpret_cast<LPBYTE>(&out), sizeof out, &actual);
        link_->End();
        if (WaveMessageObserver observe = g_messageObserver.load())
            observe(WaveMessageRecord{link_->id, sub_, uMsg, dw1, dw2, ok && out != kNoResult, out});
        if (!ok || out == kNoResult)
            return Answer::Missing;
        *result = out;
        return Answer::Given;
    }

    WaveDriverId Owner() const override { return link_->id; }

private:
    std::shared_ptr<DriverLink> link_;
    UINT sub_;
};


// ---- Handles and tables -----------------------------------------------------------

// One open handle of the application.
struct WaveOut {
    std::shared_ptr<Device> device;
    DWORD callbackKind = CALLBACK_NULL;   // CALLBACK_NULL, _FUNCTION, _EVENT or _THREAD
    DWORD_PTR callback = 0;               // the function, the event handle or the thread id
    DWORD_PTR instance = 0;               // the application's instance word
    std::vector<uint8_t> format;          // the API's copy of the application's format
    std::vector<uint8_t> deviceFormat;    // what the device was opened with
    bool viaMapper = false;               // opened through WAVE_MAPPER
    UINT deviceId = 0;                    // the device's id at the open
    std::unique_ptr<MappedStream> mapped; // set when the mapper converts
};

// The wave table.  Its mutex guards every field; it is a leaf with respect
// to drivers and applications: never held while a driver's entry point, an
// application's callback or the message observer runs.  It is taken inside
// the driver's lock (g_StreamLock) by DeliverToClient, so nothing may take
// g_StreamLock while holding it.
struct State {
    std::mutex mutex;
    std::shared_ptr<BuiltinDevice> builtin = MakeBuiltinDevice();
    std::vector<std::shared_ptr<Device>> devices{builtin};
    std::map<WaveDriverId, std::shared_ptr<DriverLink>> drivers;
    WaveDriverId nextDriverId = 1;
    std::shared_ptr<Device> preferred;   // null: device 0
    DWORD preferredFlags = 0;
    std::vector<MapperMessage> mapperLog;
    std::map<HWAVEOUT, std::shared_ptr<WaveOut>> handles;
};

State& S()
{
    static State state;
    return state;
}

}  // namespace

// Drivers are forgotten without being called: by the time ResetAll runs, a
// test may already have unloaded them.
void ResetWave()
{
    State& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.builtin = MakeBuiltinDevice();
    s.devices.assign(1, s.builtin);
    s.drivers.clear();
    s.preferred.reset();
    s.preferredFlags = 0;
    s.mapperLog.clear();
    s.handles.clear();
    g_messageObserver = nullptr;
}

namespace {

// Caller holds the state's mutex.
UINT IndexOfLocked(const State& s, const std::shared_ptr<Device>& d)
{
    auto it = std::find(s.devices.begin(), s.devices.end(), d);
    return it == s.devices.end() ? 0 : static_cast<UINT>(it - s.devices.begin());
}

// The device with this id, or the preferred one for WAVE_MAPPER; *resolved
// (when given) receives the device's id.
std::shared_ptr<Device> DeviceFor(UINT id, UINT* resolved = nullptr)
{
    State& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (id == WAVE_MAPPER)
        id = s.preferred ? IndexOfLocked(s, s.preferred) : 0;
    if (resolved)
        *resolved = id;
    return id < s.devices.size() ? s.devices[id] : nullptr;
}

std::shared_ptr<WaveOut> FindHandle(HWAVEOUT h)
{
    State& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.handles.find(h);
    return it == s.handles.end() ? nullptr : it->second;
}

MMRESULT ResultOf(Answer a, DWORD result)
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
// with the driver's lock g_StreamLock held, and re-entrantly: an
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
    {
        std::shared_ptr<WaveOut> w = FindHandle(reinterpret_cast<HWAVEOUT>(dwInstance));
        if (!w)
            return;
        kind = w->callbackKind;
        callback = w->callback;
        instance = w->instance;
        if (uMsg == MM_WOM_DONE && w->mapped) {
            WAVEHDR* client = w->mapped->Complete(reinterpret_cast<WAVEHDR*>(dw1));
            if (client == nullptr)
                return;
            dw1 = reinterpret_cast<DWORD_PTR>(client);
        }
    }
    switch (kind) {
    case CALLBACK_FUNCTION:
        if (callback != 0)
            reinterpret_cast<LPDRVCALLBACK>(callback)(reinterpret_cast<HDRVR>(dwInstance), uMsg, instance, dw1, dw2);
        break;
    case CALLBACK_EVENT:
        ::SetEvent(reinterpret_cast<HANDLE>(callback));
        break;
    case CALLBACK_THREAD:
        // A thread without a queue loses the message, as on the device.
        ::PostThreadMessageW(static_cast<DWORD>(callback), uMsg, static_cast<WPARAM>(dwInstance),
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

MMRESULT MapperMessageLocked(State& s, UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2)
{
    switch (uMsg) {
    case DRVM_MAPPER_PREFERRED_SET:
        if (dw1 >= s.devices.size())
            return MMSYSERR_BADDEVICEID;
        s.preferred = dw1 == 0 ? nullptr : s.devices[dw1];
        s.preferredFlags = static_cast<DWORD>(dw2);
        return MMSYSERR_NOERROR;
    case DRVM_MAPPER_PREFERRED_GET:
        if (dw1 == 0)
            return MMSYSERR_INVALPARAM;
        *reinterpret_cast<UINT*>(dw1) = s.preferred ? IndexOfLocked(s, s.preferred) : 0;
        if (dw2 != 0)
            *reinterpret_cast<DWORD*>(dw2) = s.preferredFlags;
        return MMSYSERR_NOERROR;
    default:
        return MMSYSERR_NOTSUPPORTED;
    }
}

bool IsMapperHandle(HWAVEOUT hwo)
{
    auto v = reinterpret_cast<DWORD_PTR>(hwo);
    return v == WAVE_MAPPER || v == ~static_cast<DWORD_PTR>(0);
}


}  // namespace

// ---- Control side ---------------------------------------------------------------------

WaveDriverId RegisterWaveDriver(const DriverEntryPoints& entry, DWORD_PTR hDeviceContext, std::string* error)
{
    auto fail = [error](const std::string& what) {
        if (error)
            *error = what;
        return WaveDriverId{0};
    };
    if (!entry.Open || !entry.Close || !entry.IOControl)
        return fail("the driver lacks Open, Close or IOControl");
    auto link = std::make_shared<DriverLink>();
    link->entry = entry;
    link->hOpen = entry.Open(hDeviceContext, 0, 0);
    if (link->hOpen == 0)
        return fail("the driver's Open failed");

    DWORD count = 0;
    DriverDevice probe(link, 0);
    if (probe.Send(WODM_GETNUMDEVS, 0, 0, &count) != Answer::Given || count == 0 || count > 64) {
        entry.Close(link->hOpen);
        return fail("the driver reports no wave-out device");
    }

    State& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    link->id = s.nextDriverId++;
    for (UINT i = 0; i < count; ++i)
        s.devices.push_back(std::make_shared<DriverDevice>(link, i));
    s.drivers[link->id] = link;
    return link->id;
}

bool UnregisterWaveDriver(WaveDriverId id)
{
    std::shared_ptr<DriverLink> link;
    {
        State& s = S();
        std::lock_guard<std::mutex> lock(s.mutex);
        auto it = s.drivers.find(id);
        if (it == s.drivers.end())
            return false;
        link = it->second;
        s.drivers.erase(it);
        s.devices.erase(std::remove_if(s.devices.begin(), s.devices.end(),
                                       [id](const std::shared_ptr<Device>& d) { return d->Owner() == id; }),
                        s.devices.end());
        if (s.preferred && s.preferred->Owner() == id)
            s.preferred.reset();
    }
    // Open handles on its devices now answer MMSYSERR_NODRIVER.
    link->Retire();
    link->entry.Close(link->hOpen);
    return true;
}

std::vector<UINT> WaveDeviceIds(WaveDriverId id)
{
    State& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    std::vector<UINT> ids;
    for (size_t i = 0; i < s.devices.size(); ++i)
        if (s.devices[i]->Owner() == id)
            ids.push_back(static_cast<UINT>(i));
    return ids;
}

void SetWaveMessageObserver(WaveMessageObserver observer)
{
    g_messageObserver = observer;
}

UINT PreferredWaveDevice()
{
    State& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.preferred ? IndexOfLocked(s, s.preferred) : 0;
}

std::vector<MapperMessage> MapperMessages()
{
    State& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.mapperLog;
}

void ClearMapperMessages()
{
    State& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.mapperLog.clear();
}

void SetBuiltinOutput(bool present)
{
    State& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
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
        std::lock_guard<std::mutex> lock(s.mutex);
        b = s.builtin;
    }
    return b->Stats();
}

}  // namespace host

// ---- The mapper's choice of format -----------------------------------------------

namespace host {
namespace {

// The PCM format of a WAVEFORMATEX copy, when it is one the mapper converts:
// integer PCM whose block alignment matches its channels and width.
bool PcmOf(const std::vector<uint8_t>& format, PcmFormat* out)
{
    const uint8_t* p = format.data();
    PcmFormat f;
    f.channels = FormatChannels(p);
    f.rate = FormatRate(p);
    f.bits = FormatBits(p);
    if (FormatTag(p) != WAVE_FORMAT_PCM || !IsConvertiblePcm(f) ||
        FormatBlockAlign(p) != f.FrameBytes())
        return false;
    *out = f;
    return true;
}

std::vector<uint8_t> FormatOf(const PcmFormat& f)
{
    WAVEFORMATEX w{};
    w.wFormatTag = WAVE_FORMAT_PCM;
    w.nChannels = f.channels;
    w.nSamplesPerSec = f.rate;
    w.wBitsPerSample = f.bits;
    w.nBlockAlign = static_cast<WORD>(f.FrameBytes());
    w.nAvgBytesPerSec = f.rate * f.FrameBytes();
    std::vector<uint8_t> bytes(sizeof w);
    std::memcpy(bytes.data(), &w, sizeof w);
    return bytes;
}

MMRESULT QueryFormat(Device& d, const std::vector<uint8_t>& format, DWORD flags)
{
    std::vector<uint8_t> copy = format;
    WAVEOPENDESC desc{};
    desc.lpFormat = reinterpret_cast<LPWAVEFORMATEX>(copy.data());
    return SendTo(d, WODM_OPEN, reinterpret_cast<DWORD_PTR>(&desc), flags | WAVE_FORMAT_QUERY);
}

// The first 16-bit format the device accepts, nearest the client's: its own
// rate and channel count first, then the common rates, then the other of
// mono and stereo.  False when the device takes none of them.
bool ChooseDeviceFormat(Device& d, const PcmFormat& client, PcmFormat* chosen)
{
    const uint16_t ownChannels = client.channels > 2 ? 2 : client.channels;
    const uint16_t channelOrder[2] = {ownChannels, static_cast<uint16_t>(ownChannels == 1 ? 2 : 1)};
    const uint32_t rateOrder[5] = {client.rate, 44100, 48000, 22050, 11025};
    std::vector<PcmFormat> tried;
    for (uint16_t channels : channelOrder) {
        for (uint32_t rate : rateOrder) {
            PcmFormat f{rate, channels, 16};
            if (f == client || std::find(tried.begin(), tried.end(), f) != tried.end())
                continue;
            tried.push_back(f);
            if (QueryFormat(d, FormatOf(f), 0) == MMSYSERR_NOERROR) {
                *chosen = f;
                return true;
            }
        }
    }
    return false;
}

// How the mapper plays a format on a device: as is (empty deviceFormat and
// no converter) or converted.  WAVERR_BADFORMAT when neither works.
struct MapperPlan {
    std::vector<uint8_t> deviceFormat;
    PcmFormat client, device;
    bool convert = false;
};

MMRESULT PlanMapping(Device& d, const std::vector<uint8_t>& format, DWORD flags, MapperPlan* plan)
{
    MMRESULT asked = QueryFormat(d, format, flags);
    if (asked != WAVERR_BADFORMAT)
        return asked;
    if (!HaveSampleConversion() || !PcmOf(format, &plan->client) || !ChooseDeviceFormat(d, plan->client, &plan->device))
        return WAVERR_BADFORMAT;
    plan->deviceFormat = FormatOf(plan->device);
    plan->convert = true;
    return MMSYSERR_NOERROR;
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

std::string Describe(const WAVEFORMATEX& f)
{
    std::string channels = f.nChannels == 1 ? "mono" : f.nChannels == 2 ? "stereo" : std::to_string(f.nChannels) + " channels";
    return std::to_string(f.nSamplesPerSec) + " Hz " + channels + " " + std::to_string(f.wBitsPerSample) + "-bit";
}

// Error texts, by code.
struct ErrorText {
    MMRESULT code;
    const char* text;
};
const ErrorText kErrorTexts[] = {
    {MMSYSERR_NOERROR, "The command completed without an error."},
    {MMSYSERR_ERROR, "An unspecified error occurred."},
    {MMSYSERR_BADDEVICEID, "The device id is out of range."},
    {MMSYSERR_NOTENABLED, "The driver could not be enabled."},
    {MMSYSERR_ALLOCATED, "The device is already in use by another application."},
    {MMSYSERR_INVALHANDLE, "The handle is not a valid device handle."},
    {MMSYSERR_NODRIVER, "There is no driver for the device."},
    {MMSYSERR_NOMEM, "There is not enough memory for the command."},
    {MMSYSERR_NOTSUPPORTED, "The device does not support this function."},
    {MMSYSERR_BADERRNUM, "The error number is not defined."},
    {MMSYSERR_INVALFLAG, "An invalid flag was passed."},
    {MMSYSERR_INVALPARAM, "An invalid parameter was passed."},
    {MMSYSERR_HANDLEBUSY, "The handle is being used by another thread."},
    {WAVERR_BADFORMAT, "The wave format is not supported by the device."},
    {WAVERR_STILLPLAYING, "The device is still playing buffers."},
    {WAVERR_UNPREPARED, "The wave header was not prepared."},
    {WAVERR_SYNC, "The device is synchronous and cannot be opened without WAVE_ALLOWSYNC."},
};

// The text for a code, or null for a code that has none.
const char* ErrorTextOf(MMRESULT code)
{
    for (const ErrorText& e : kErrorTexts)
        if (e.code == code)
            return e.text;
    return nullptr;
}

}  // namespace

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
    return true;
}

std::string MappingText(const WaveMapping& m)
{
    std::string how = m.converted ? " to " + Describe(m.deviceFormat) : " as is";
    return Describe(m.clientFormat) + how + " on device " + std::to_string(m.device);
}

bool MapperCanConvert() { return HaveSampleConversion(); }

}  // namespace host

// ---- The platform's wave API ------------------------------------------------------------

extern "C" {

UINT waveOutGetNumDevs(void)
{
    host::State& s = host::S();
    std::lock_guard<std::mutex> lock(s.mutex);
    return static_cast<UINT>(s.devices.size());
}

MMRESULT waveOutGetDevCaps(UINT_PTR uDeviceID, LPWAVEOUTCAPS pwoc, UINT cbwoc)
{
    if (pwoc == nullptr)
        return MMSYSERR_INVALPARAM;
    std::shared_ptr<host::Device> d = host::DeviceFor(static_cast<UINT>(uDeviceID));
    if (!d)
        return MMSYSERR_BADDEVICEID;
    return host::SendTo(*d, WODM_GETDEVCAPS, reinterpret_cast<DWORD_PTR>(pwoc), cbwoc);
}

MMRESULT waveOutMessage(HWAVEOUT hwo, UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2)
{
    if (host::IsMapperHandle(hwo)) {
        host::State& s = host::S();
        std::lock_guard<std::mutex> lock(s.mutex);
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
    const bool query = (fdwOpen & WAVE_FORMAT_QUERY) != 0;
    if (pwfx == nullptr || (!query && phwo == nullptr))
        return MMSYSERR_INVALPARAM;
    UINT deviceId = 0;
    std::shared_ptr<host::Device> d = host::DeviceFor(uDeviceID, &deviceId);
    if (!d)
        return MMSYSERR_BADDEVICEID;
    const DWORD driverFlags = fdwOpen & ~static_cast<DWORD>(CALLBACK_TYPEMASK);
    const bool mapped = uDeviceID == WAVE_MAPPER && !(fdwOpen & WAVE_FORMAT_DIRECT);
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
    case CALLBACK_NULL:
    case CALLBACK_FUNCTION:
    case CALLBACK_THREAD:
        break;
    case CALLBACK_EVENT:
        if (!host::IsEventHandle(reinterpret_cast<HANDLE>(dwCallback)))
            return MMSYSERR_INVALPARAM;
        break;
    case CALLBACK_WINDOW:
        return MMSYSERR_NOTSUPPORTED;
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
    w->deviceFormat = plan.convert ? plan.deviceFormat : w->format;
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
        std::lock_guard<std::mutex> lock(s.mutex);
        s.handles[hwo] = w;
    }
    WAVEOPENDESC desc{};
    desc.hWave = hwo;
    desc.lpFormat = reinterpret_cast<LPWAVEFORMATEX>(w->deviceFormat.data());
    desc.dwCallback = reinterpret_cast<DWORD_PTR>(&host::DeliverToClient);
    desc.dwInstance = reinterpret_cast<DWORD_PTR>(hwo);
    MMRESULT r = host::SendTo(*d, WODM_OPEN, reinterpret_cast<DWORD_PTR>(&desc), driverFlags | CALLBACK_FUNCTION);
    if (r != MMSYSERR_NOERROR) {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.handles.erase(hwo);
        return r;
    }
    *phwo = hwo;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutClose(HWAVEOUT hwo)
{
    std::shared_ptr<host::WaveOut> w = host::FindHandle(hwo);
    if (!w)
        return MMSYSERR_INVALHANDLE;
    MMRESULT r = host::SendTo(*w->device, WODM_CLOSE, 0, 0);
    if (r == MMSYSERR_NOERROR) {
        host::State& s = host::S();
        std::lock_guard<std::mutex> lock(s.mutex);
        s.handles.erase(hwo);
    }
    return r;
}

MMRESULT waveOutPrepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh)
{
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
    std::shared_ptr<host::WaveOut> w = host::FindHandle(hwo);
    if (!w)
        return MMSYSERR_INVALHANDLE;
    if (pwh == nullptr || cbwh < sizeof(WAVEHDR))
        return MMSYSERR_INVALPARAM;
    if (!w->mapped)
        return host::SendTo(*w->device, WODM_WRITE, reinterpret_cast<DWORD_PTR>(pwh), cbwh);

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
    MMRESULT r = host::SendTo(*w->device, WODM_WRITE, reinterpret_cast<DWORD_PTR>(shadow), sizeof *shadow);
    if (r != MMSYSERR_NOERROR)
        w->mapped->UndoWrite(pwh, flags);
    return r;
}

MMRESULT waveOutPause(HWAVEOUT hwo) { return host::SendOnHandle(hwo, WODM_PAUSE, 0, 0); }
MMRESULT waveOutRestart(HWAVEOUT hwo) { return host::SendOnHandle(hwo, WODM_RESTART, 0, 0); }
MMRESULT waveOutBreakLoop(HWAVEOUT hwo) { return host::SendOnHandle(hwo, WODM_BREAKLOOP, 0, 0); }

MMRESULT waveOutReset(HWAVEOUT hwo)
{
    std::shared_ptr<host::WaveOut> w = host::FindHandle(hwo);
    if (!w)
        return MMSYSERR_INVALHANDLE;
    MMRESULT r = host::SendTo(*w->device, WODM_RESET, 0, 0);
    if (w->mapped)
        w->mapped->ResetConversion();
    return r;
}

MMRESULT waveOutGetPosition(HWAVEOUT hwo, LPMMTIME pmmt, UINT cbmmt)
{
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

MMRESULT waveOutGetPitch(HWAVEOUT hwo, LPDWORD pdwPitch) { return GetOnHandle(hwo, WODM_GETPITCH, pdwPitch); }
MMRESULT waveOutSetPitch(HWAVEOUT hwo, DWORD dwPitch) { return host::SendOnHandle(hwo, WODM_SETPITCH, dwPitch, 0); }
MMRESULT waveOutGetPlaybackRate(HWAVEOUT hwo, LPDWORD pdwRate)
{
    return GetOnHandle(hwo, WODM_GETPLAYBACKRATE, pdwRate);
}
MMRESULT waveOutSetPlaybackRate(HWAVEOUT hwo, DWORD dwRate)
{
    return host::SendOnHandle(hwo, WODM_SETPLAYBACKRATE, dwRate, 0);
}

MMRESULT waveOutGetID(HWAVEOUT hwo, LPUINT puDeviceID)
{
    std::shared_ptr<host::WaveOut> w = host::FindHandle(hwo);
    if (!w)
        return MMSYSERR_INVALHANDLE;
    if (puDeviceID == nullptr)
        return MMSYSERR_INVALPARAM;
    *puDeviceID = w->viaMapper ? WAVE_MAPPER : w->deviceId;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutGetErrorText(MMRESULT mmrError, LPWSTR pszText, UINT cchText)
{
    if (pszText == nullptr)
        return MMSYSERR_INVALPARAM;
    if (cchText == 0)
        return MMSYSERR_NOERROR;
    const char* text = host::ErrorTextOf(mmrError);
    const char* shown = text ? text : "";
    size_t n = std::min<size_t>(std::strlen(shown), cchText - 1);
    for (size_t i = 0; i < n; ++i)
        pszText[i] = static_cast<WCHAR>(static_cast<unsigned char>(shown[i]));
    pszText[n] = 0;
    return text ? MMSYSERR_NOERROR : MMSYSERR_BADERRNUM;
}

}  // extern "C"
