// Booting the platform as the device would: the registry gets the driver's
// entry and its pacing values (defaults, then the .reg files, then --set);
// the world is modelled (the link's send queue and radio, the armed faults);
// the device manager boots the drivers of Drivers\\BuiltIn in their load
// order: the driver's entry loads the driver library and registers it with
// the wave API behind device 0, every other entry holds its device name; the Bluetooth stand-in's
// link comes up after the configured delay, and the driver's link-up handling
// makes its device the preferred one.  Only then does the player open
// WAVE_MAPPER, so the audio reaches the headset only through that preference.
//
// Threads: the main thread only.  RaiseLink waits for the stand-in's event
// thread to have delivered the event, so it must not be called while a
// driver lock is held (the driver's link handling takes its own locks).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/devicemanager.h"
#include "host/platform.h"
#include "host/registry.h"
#include "run/options.h"
#include "world/world.h"

namespace player {

// The one format the device plays: 16-bit stereo PCM at 44,100 Hz.
WAVEFORMATEX DeviceFormat();
// DeviceName and PreferredDescription are the world's (world/world.h).

// The host and the driver booted for one run, as the device boots them.
class HostBoot {
public:
    // Something worth a line in the report's timeline.
    using Happen = std::function<void(const std::string& what)>;

    explicit HostBoot(const Options& options) : o_(options) {}
    ~HostBoot() { Stop(); }

    // Picks the clock: the virtual one in fast mode.
    void SelectClock();
    // Fills the registry: warnings are added to *warnings and what shaped the
    // registry to *shaped.  Throws Failure.
    void Prepare(std::vector<std::string>* warnings, host::RegLoadReport* shaped);
    // The faults armed on the command line, which count from here, and the
    // virtual clock's timing model.  (The link's model is the world's.)
    void ArmFaults();
    // Loads the driver and brings the link up as configured (or finds the
    // driver's own device when the link is not up before the application
    // opens).  Throws Failure, also for an interrupt during the link delay.
    void Start(const Happen& happen);
    // Link up or down, and waits until the driver has handled it.
    void RaiseLink(bool up, const std::string& what, const Happen& happen);
    // Unloads the driver, if loaded.
    void Stop();

    // What the application opens: the mapper, or the driver's own device
    // when the link is not up before the application opens.
    UINT Target() const { return target_; }
    std::string TargetName() const;

private:
    const Options& o_;
    host::DeviceHandle device_ = 0;
    std::vector<host::DeviceHandle> held_;   // the device names of the other drivers of the bus key
    UINT target_ = WAVE_MAPPER;
};

}  // namespace player
