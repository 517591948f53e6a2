// The device manager's boot of a wave driver from its registry entry, as the
// platform does it for a key such as "Drivers\\BuiltIn\\WAVKELVO":
//
//   "Dll"     REG_SZ     library name ("btwav.dll": host::LibraryPathForDll)
//   "Prefix"  REG_SZ     entry-point prefix ("WAV")
//   "Index"   REG_DWORD  device index; optional (the lowest one free for the
//                        prefix, from 1)
//
// Activation loads the library, calls its Init entry with the key path and
// registers the driver with the wave API as the next wave-out device(s)
// behind device 0.  Deactivation unregisters it, calls Deinit and unloads the
// library.  ResetAll deactivates every active device.
//
// Threads and locks: ActivateDevice and DeactivateDevice run the driver's
// entry points (library attach, Init, Open; Close, Deinit, detach) on the
// caller's thread, with no lock of the host held, so the driver may call
// any platform service from them; a driver's Init or Deinit may wait for
// its link events, which run on the stand-in's event thread and call the
// wave API.  The caller must hold none of the driver's locks and must not be
// a driver callback (a timer tick, a link event, a wave callback).
#pragma once

#include <cstdint>
#include <string>

#include "host/driverlibrary.h"
#include "host/wave.h"

namespace host {

using DeviceHandle = uint32_t;   // 0: none

// 0 with *error set when a value is missing, the library or an entry point
// cannot be loaded, the index is taken, Init answers 0 or the wave API
// refuses the driver; everything done up to then is undone.
DeviceHandle ActivateDevice(const std::string& key, std::string* error);
// False for a handle that is not active.
bool DeactivateDevice(DeviceHandle device);

// What tests look at while a device is active; null/0/empty otherwise.
DriverModule* ActiveDeviceModule(DeviceHandle device);
WaveDriverId ActiveDeviceWaveDriver(DeviceHandle device);
// The device's file name, prefix and index and a colon ("WAV1:").
std::string ActiveDeviceName(DeviceHandle device);
// The device's key under HKEY_LOCAL_MACHINE ("Drivers\\Active\\02").
std::string ActiveDeviceKey(DeviceHandle device);

}  // namespace host
