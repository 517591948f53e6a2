// The wave API's tables, shared by its files: the devices, the open handles,
// the mapper's preferred device; and the helpers every waveOut* call uses.
// Internal to the host.
//
// Locking: the table's mutex guards every field of State; it is a leaf with
// respect to drivers and applications: never held while a driver's entry
// point, an application's callback or the message observer runs.  It is
// taken inside the driver's lock by DeliverToClient, so
// nothing may take the driver's lock while holding it.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "convert.h"
#include "host/realtime.h"
#include "host_internal.h"
#include "wavedevice.h"
#include "wavemap.h"

namespace host {

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

struct DriverLink;

struct State {
    // Taken briefly by the timer thread (delivery to the client), so it lends
    // a waiter's priority to the holder.
    PiMutex mutex;
    std::shared_ptr<BuiltinDevice> builtin = MakeBuiltinDevice();
    std::vector<std::shared_ptr<Device>> devices{builtin};
    std::map<WaveDriverId, std::shared_ptr<DriverLink>> drivers;
    WaveDriverId nextDriverId = 1;
    std::shared_ptr<Device> preferred;   // null: device 0
    DWORD preferredFlags = 0;
    std::vector<MapperMessage> mapperLog;
    std::map<HWAVEOUT, std::shared_ptr<WaveOut>> handles;
};
State& S();

// ---- wave_table.cpp: devices, handles and callback delivery -----------------------
// Any thread; each takes the table's mutex for its own length.
// Caller holds the table's mutex.
UINT IndexOfLocked(const State& s, const std::shared_ptr<Device>& d);
// The device with this id, or the preferred one for WAVE_MAPPER; *resolved
// (when given) receives the device's id.
std::shared_ptr<Device> DeviceFor(UINT id, UINT* resolved = nullptr);
std::shared_ptr<WaveOut> FindHandle(HWAVEOUT h);
bool IsOpenHandle(HWAVEOUT hwo);
bool IsMapperHandle(HWAVEOUT hwo);
// The device a handle or a device id (WAVE_MAPPER: the preferred device)
// names, for the calls that take either.
MMRESULT DeviceOfHandleOrId(HWAVEOUT hwo, std::shared_ptr<Device>* device);
// One message to a device, on the calling thread, with no lock held.
MMRESULT SendTo(Device& d, UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2);
MMRESULT SendOnHandle(HWAVEOUT hwo, UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2);
// The callback every device is given (see wave_table.cpp).
void CALLBACK DeliverToClient(HDRVR, UINT uMsg, DWORD_PTR dwInstance, DWORD_PTR dw1, DWORD_PTR dw2);
// The API's copy of a format: a PCM record as 16 bytes and a zero cbSize
// (PCM records may lack the field), any other with its cbSize extra bytes.
std::vector<uint8_t> CopyFormat(const WAVEFORMATEX* f);

// ---- wave_callback_rules.cpp: inside an application's callback ---------------------
// Any thread; the thread's own marker, and a leaf mutex for the counts.
// The marker a callback saves and gives back: plain fields, as a fault in the
// application's function may abandon the frame that holds it.
struct CallbackFrame {
    bool active;
    const SEH_FRAME* guard;
    UINT msg;
    DWORD_PTR callback, instance;
};
// Around the application's CALLBACK_FUNCTION, in DeliverToClient.
void EnterApplicationCallback(CallbackFrame* saved, UINT msg, DWORD_PTR callback, DWORD_PTR instance);
void LeaveApplicationCallback(const CallbackFrame& saved);
bool InApplicationCallback();
// Every wave API function asks first: MMSYSERR_NOERROR to go on, or the code
// to fail with (strict callbacks).  Notes the call when it comes from inside
// an application's callback.
MMRESULT CallFromCallback(const char* function);
// waveOutOpen: a callback function no pointer of this program can be.
void CheckCallbackFunction(DWORD_PTR callback);
// Reports, once on this thread, an application's callback left by a fault.
// Called where the host is back from a device or about to deliver again.
void ReportCallbackFault();

// ---- wave_mapper_messages.cpp: the mapper's messages and capabilities -------------
// Caller holds the table's mutex.
MMRESULT MapperMessageLocked(State& s, UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2);
// waveOutGetDevCaps(WAVE_MAPPER): the mapper's own record, cbwoc bytes of
// it.  The application's thread, no lock held.
MMRESULT MapperCaps(LPWAVEOUTCAPS pwoc, UINT cbwoc);

// ---- wave_format_choice.cpp: the mapper's choice of format ---------------------------
// How the mapper plays a format on a device: as is (no converter; the
// device may still get a plainer record of the same format) or converted.
struct MapperPlan {
    std::vector<uint8_t> deviceFormat;   // what the device is opened with; empty: the client's own
    PcmFormat client, device;
    bool convert = false;
};
// WODM_OPEN with WAVE_FORMAT_QUERY for a copy of the format.
MMRESULT QueryFormat(Device& d, const std::vector<uint8_t>& format, DWORD flags);
// WAVERR_BADFORMAT when the device takes the format neither as is nor
// converted.  Sends queries to the device; no lock held.
MMRESULT PlanMapping(Device& d, const std::vector<uint8_t>& format, DWORD flags, MapperPlan* plan);
std::string Describe(const WAVEFORMATEX& f);
bool IsFloatFormat(const std::vector<uint8_t>& format);

// ---- wave_errors.cpp ---------------------------------------------------------------
// The text for a code, or null for a code that has none.
const char* ErrorTextOf(MMRESULT code);

}  // namespace host
