#include "wave/boot.h"

#include <strings.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "run/failure.h"
#include "btstandin/btstandin.h"
#include "host/clock.h"
#include "host/host.h"
#include "host/wave.h"
#include "wave/bootorder.h"
#include "wave/registry_setup.h"
#include "input/audio.h"
#include "world/world.h"

namespace player {

WAVEFORMATEX DeviceFormat()
{
    WAVEFORMATEX d{};
    d.wFormatTag = WAVE_FORMAT_PCM;
    d.nChannels = kDeviceChannels;
    d.nSamplesPerSec = kDeviceRate;
    d.wBitsPerSample = BTWAV_DEVICE_BITS;
    d.nBlockAlign = kDeviceFrameBytes;
    d.nAvgBytesPerSec = kDeviceByteRate;
    return d;
}

void HostBoot::SelectClock()
{
    host::UseClock(o_.fast ? host::ClockKind::Virtual : host::ClockKind::Real);
}

void HostBoot::Prepare(std::vector<std::string>* warnings, host::RegLoadReport* shaped)
{
    if (!o_.driverDir.empty())
        host::SetDriverDirectory(o_.driverDir);
    std::string error;
    RegistrySetup registry;
    bool ok = SetUpRegistry(o_, &registry, &error);
    warnings->insert(warnings->end(), registry.warnings.begin(), registry.warnings.end());
    *shaped = registry.shaped;
    if (!ok)
        throw Failure{kExitRegistry, error};
}

void HostBoot::ArmFaults()
{
    for (const FaultOption& f : o_.faults) {
        host::Fault fault;
        host::FaultByName(f.name, &fault);
        host::Arm(fault, f.count, f.skip, f.amount);
    }
    // The timing model: the virtual clock runs each tick late by a draw.
    if (!o_.timerLateness.points.empty())
        host::UseLatenessProfile(o_.timerLateness, o_.seed);
}

void HostBoot::Start(const Happen& happen)
{
    // The drivers of the bus key in the order the bus enumerator loads them.
    // The host carries only this driver; every other one holds the device
    // name it would hold on the device, so that the device manager refuses a
    // later driver of the same name, this one or the other.
    const std::vector<host::BuiltInDriver> drivers = host::BuiltInDrivers(kBuiltInKey);
    auto activate = [&](const host::BuiltInDriver* self) {
        std::string error;
        device_ = host::ActivateDevice(kDriverKey, &error);
        if (device_ == 0)
            throw Failure{kExitPlayback, "cannot start the driver: " + error +
                                             (self ? LoadOrderNote(*self, drivers, error) : std::string())};
    };
    for (const host::BuiltInDriver& d : drivers) {
        if (strcasecmp(d.key.c_str(), kDriverKey) == 0) {
            activate(&d);
        } else if (!d.prefix.empty()) {
            std::string error;
            if (host::DeviceHandle h = host::HoldDeviceName(d.key, &error))
                held_.push_back(h);
            else
                happen("the device manager refuses " + d.key + " (" + d.dll + "): " + error.substr(d.key.size() + 2) +
                       LoadOrderNote(d, drivers, error));
        }
    }
    if (device_ == 0)
        activate(nullptr);   // the entry names no library; the refusal says so

    // The link comes up after its delay, as a headset connecting would, or
    // later, after the application opened (--link-up), or never.
    if (!o_.linkAtBoot) {
        bool later = false;
        for (const TimedAction& a : o_.actions)
            later = later || a.kind == TimedAction::LinkUp;
        happen(later ? "no link yet: the application opens before the headset connects"
                     : "no link: the headset never connects");
        UINT n = waveOutGetNumDevs();
        for (UINT id = 0; id < n; ++id)
            if (DeviceName(id) == kDeviceName)
                target_ = id;
        if (target_ == WAVE_MAPPER)
            throw Failure{kExitPlayback,
                          std::string("the driver's device \"") + kDeviceName + "\" is not among the wave devices"};
        return;
    }
    if (o_.fast) {
        host::AdvanceVirtualMs(o_.linkDelayMs);
    } else {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(o_.linkDelayMs);
        while (std::chrono::steady_clock::now() < until) {
            if (g_interrupted)
                throw Interrupted();
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
                until - std::chrono::steady_clock::now(), std::chrono::milliseconds(50)));
        }
    }
    RaiseLink(true, "link up", happen);
}

void HostBoot::RaiseLink(bool up, const std::string& what, const Happen& happen)
{
    btstandin::SetLink(up);
    btstandin::WaitForEvents();
    happen(what + ", " + PreferredDescription());
}

void HostBoot::Stop()
{
    if (device_) {
        host::DeactivateDevice(device_);
        device_ = 0;
    }
    for (host::DeviceHandle h : held_)
        host::DeactivateDevice(h);
    held_.clear();
}

std::string HostBoot::TargetName() const
{
    return target_ == WAVE_MAPPER ? std::string("WAVE_MAPPER")
                                  : "device " + std::to_string(target_) + " (" + DeviceName(target_) + ")";
}

}  // namespace player
