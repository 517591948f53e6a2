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
#include <vector>

#include "host/driverlibrary.h"
#include "host/wave.h"

namespace host {

using DeviceHandle = uint32_t;   // 0: none

// 0 with *error set when a value is missing, the library or an entry point
// cannot be loaded, the device name (prefix and index, compared ignoring
// case) is taken, Init answers 0 or the wave API refuses the driver;
// everything done up to then is undone.
DeviceHandle ActivateDevice(const std::string& key, std::string* error);

// A driver key under a bus key such as "Drivers\\BuiltIn", as the bus
// enumerator reads it at boot.
struct BuiltInDriver {
    std::string key;           // e.g. "Drivers\\BuiltIn\\Audio"
    std::string dll;
    std::string prefix;        // "" when the key has none
    bool hasIndex = false;
    uint32_t index = 0;
    bool hasOrder = false;
    uint32_t order = 0;
};
// The keys directly under `root` that name a driver (a "Dll" value), in the
// order the bus enumerator loads them: ascending "Order", then the keys
// without one; keys of equal Order by name, which the platform leaves open.
// Any thread; takes the registry's lock only.
std::vector<BuiltInDriver> BuiltInDrivers(const std::string& root);

// Claims the device name of the driver at `key` without loading its library:
// for a driver the host does not carry, which on the device would load and
// hold its name.  Refused as ActivateDevice refuses a taken name, with the
// holder named; a key without "Prefix" has no name to hold and is refused
// too.  DeactivateDevice releases the name.  Any thread; takes the device
// manager's lock only.
DeviceHandle HoldDeviceName(const std::string& key, std::string* error);
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
