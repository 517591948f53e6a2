// The wave API's devices as the API's tables see them: one interface for
// the registered drivers' devices (wave_drivers.cpp) and the built-in device 0
// (builtindevice.cpp).  Internal to the host.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "host/wave.h"

namespace host {

// How a device answered a message: with a result word, without one (the
// driver's guard caught a fault), or not at all (its driver is going).
enum class Answer { Given, Missing, Gone };

// One wave-out device the API can address.  Send is called on the
// application's thread (or a driver's, re-entering the API) with no lock of
// the wave API held.
class Device {
public:
    virtual ~Device() = default;
    virtual Answer Send(UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2, DWORD* result) = 0;
    virtual WaveDriverId Owner() const { return 0; }
};

// The built-in device 0 (builtindevice.cpp): plays 16-bit PCM at its
// format's rate on the host's clock, through the platform's multimedia
// timer as any wave driver does, and sends the audio nowhere, or to a
// record a test reads.
class BuiltinDevice : public Device {
public:
    virtual BuiltinOutputStats Stats() = 0;
    virtual void KeepAudio(bool keep) = 0;
    virtual std::vector<uint8_t> Audio() = 0;
};
std::shared_ptr<BuiltinDevice> MakeBuiltinDevice();

}  // namespace host
