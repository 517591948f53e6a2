// Control side of the wave API: the wave-out devices behind waveOut*, the
// wave mapper's preferred device and the built-in device 0.  (Event objects
// for CALLBACK_EVENT: host/events.h.)
//
// Devices.  Device 0 is the built-in output: it accepts 16-bit PCM
// (any rate, one or two channels), discards the audio and completes every
// header at once, on the writing thread, in write order.  Drivers registered
// with RegisterWaveDriver follow as devices 1, 2, ...  in registration order;
// when one is unregistered the devices behind it move down by its count, as
// on the platform.
//
// Messages.  Every waveOut* call on a driver's device becomes one wave
// message (an MMDRV_MESSAGE_PARAMS record, uDeviceId numbering the driver's
// own devices from 0) sent through the driver's IOControl entry with
// IOCTL_WAV_MESSAGE, on the calling thread, on the handle that the
// registration opened.  The wave API holds no lock of its own while a driver
// runs, so a driver may call back into it (link events enumerate the devices
// from the Bluetooth library's thread).  When a call comes back without a
// result word (the driver's guard caught a fault), the caller gets
// MMSYSERR_ERROR.
//
// Application side: host/waveapi.h says what an application sees (callback
// kinds, the mapper's conversion, device ids in place of handles).  The API
// keeps its own copy of the format for as long as the handle is open and
// hands the driver that copy.  waveOutPrepareHeader and
// waveOutUnprepareHeader send WODM_PREPARE and WODM_UNPREPARE and then set or
// clear WHDR_PREPARED themselves (also when the driver answers
// MMSYSERR_NOTSUPPORTED); preparing leaves the flags WHDR_PREPARED plus the
// application's loop flags, whatever else they carried; unpreparing a header
// that carries WHDR_INQUEUE answers WAVERR_STILLPLAYING without a message.
// waveOutGetPosition refuses a record shorter than MMTIME with
// MMSYSERR_ERROR, because the driver does not look at the size.
// waveOutClose forgets the handle only when the device answers 0.
//
// The wave mapper.  waveOutMessage on (HWAVEOUT)WAVE_MAPPER handles
// DRVM_MAPPER_PREFERRED_SET (dw1: device id, dw2: flags, kept but not
// interpreted) and DRVM_MAPPER_PREFERRED_GET (dw1: UINT* device id, dw2:
// DWORD* flags); every other mapper message answers MMSYSERR_NOTSUPPORTED.
// Every mapper message is recorded.  waveOutGetDevCaps with WAVE_MAPPER
// describes the preferred device.  waveOutMessage on an open handle or a
// device id passes the message to that device's driver.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "host/driverlibrary.h"
#include "host/kernel.h"
#include "host/waveapi.h"

namespace host {

// ---- Devices ---------------------------------------------------------------
using WaveDriverId = uint32_t;   // 0: none

// Registers an initialised driver (hDeviceContext from its Init entry): opens
// a handle with its Open entry (which the API keeps for every message), asks
// WODM_GETNUMDEVS, and appends that many devices.  0 with *error set when the
// open fails or the driver reports no device.  The entry points must stay
// valid until UnregisterWaveDriver returns.
WaveDriverId RegisterWaveDriver(const DriverEntryPoints& entry, DWORD_PTR hDeviceContext, std::string* error);
// Removes the driver's devices, waits for calls into the driver still in
// flight, and closes its handle with the Close entry.  A preferred device
// that goes away makes device 0 preferred.  False for an unknown id.
bool UnregisterWaveDriver(WaveDriverId id);
// Device ids of the driver's devices now (empty when not registered).
std::vector<UINT> WaveDeviceIds(WaveDriverId id);

// ---- Observing the messages ---------------------------------------------------
// One wave message as a driver answered it.
struct WaveMessageRecord {
    WaveDriverId driver;   // the registration it went to
    UINT subDevice;        // the driver's own device number (uDeviceId)
    UINT uMsg;
    DWORD_PTR dw1, dw2;
    bool answered;         // false: the call came back without a result word
    DWORD result;          // the result word, when answered
};
// Called once for every message sent to a driver's IOControl entry, right
// after that call returns, on the thread that sent it (the application's, or
// the driver's own when it calls the wave API), with no lock of the wave API
// held, though the driver's stream lock may be: a message sent from inside
// an MM_WOM_DONE callback is reported while the driver holds it.  The
// observer must therefore not block, must not wait for another thread that
// may send a message, and must not call the wave API.  Messages to device 0
// are not reported.  Set it before messages flow and clear it (nullptr)
// after they stop; ResetAll clears it.
using WaveMessageObserver = void (*)(const WaveMessageRecord& message);
void SetWaveMessageObserver(WaveMessageObserver observer);

// An application's waveOutWrite as the world sees it: `bytes` in the
// device's format (a converted stream's shadow header), with the
// performance counter taken before the write reaches the device; then, when
// the device refused it, once more with -bytes.  Called on the writing
// thread (inside an MM_WOM_DONE callback with the driver's stream lock
// held), so, like the tick observer, it must not block on another thread.
// Writes to device 0 are reported too.  ResetAll clears it.
using WriteObserver = std::function<void(int64_t bytes, uint64_t counter)>;
void SetWriteObserver(WriteObserver observer);
bool WriteObserved();
void NoteWrite(int64_t bytes, uint64_t counter);

// ---- The wave mapper ---------------------------------------------------------
UINT PreferredWaveDevice();

struct MapperMessage {
    UINT uMsg;
    DWORD_PTR dw1;
    DWORD_PTR dw2;
    MMRESULT result;
};
std::vector<MapperMessage> MapperMessages();
void ClearMapperMessages();

// ---- The built-in device 0 -----------------------------------------------------
// Removes the built-in device (false) so that the first registered driver
// becomes device 0, as on a system whose only output is that driver, or puts
// it back in front (true).  ResetAll puts it back.
void SetBuiltinOutput(bool present);
bool BuiltinOutputPresent();

struct BuiltinOutputStats {
    unsigned opens = 0;          // real opens accepted
    unsigned headersDone = 0;    // headers completed
    uint64_t bytes = 0;          // audio bytes discarded
};
BuiltinOutputStats BuiltinOutput();
// Keeps (true) or stops keeping the audio device 0 plays, from now on;
// ResetAll stops it and forgets what was kept.
void KeepBuiltinAudio(bool keep);
// The audio device 0 has played while keeping was on, in order.
std::vector<uint8_t> BuiltinAudio();

// How a handle's stream reaches its device: the preferred device's id when it
// was opened through WAVE_MAPPER, and both formats when the mapper converts.
struct WaveMapping {
    bool viaMapper = false;
    UINT device = 0;                 // the device the stream plays on
    bool converted = false;
    WAVEFORMATEX clientFormat{};     // what the application writes
    WAVEFORMATEX deviceFormat{};     // what the device is given
};
// False for a handle that is not open.
bool DescribeWaveMapping(HWAVEOUT hwo, WaveMapping* mapping);
// "22050 Hz mono 16-bit to 44100 Hz stereo 16-bit on device 1", or
// "44100 Hz stereo 16-bit as is on device 1".
std::string MappingText(const WaveMapping& mapping);
// True when this build can convert formats for the mapper.
bool MapperCanConvert();

// ---- Wave calls from inside an application's callback ----------------------------
// The platform's waveOutProc page: an application's callback function may
// call only EnterCriticalSection, LeaveCriticalSection, OutputDebugString,
// PostMessage, PostThreadMessage and SetEvent; another wave function called
// there deadlocks.  The host counts every waveOut* call made from inside an
// application's CALLBACK_FUNCTION, by function (the mapper's and the
// driver's own calls into a device are not the application's), and prints
// the first of each function on the debug output.  Strict, such a call
// fails with MMSYSERR_HANDLEBUSY ("handle being used simultaneously on
// another thread (eg callback)") and reaches no device; strict is the
// environment's CEHOST_STRICT_CALLBACKS=1 until SetStrictCallbacks says
// otherwise.  ResetAll forgets the counts and the setting.  Any thread.
std::map<std::string, uint64_t> WaveCallsFromCallbacks();
void SetStrictCallbacks(bool strict);

}  // namespace host
