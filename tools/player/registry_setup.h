// The registry as the player boots it: the driver's entry and its pacing
// values (defaults, then every --reg file in order, then --set), checked for
// what the driver will really read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "driver/config.h"
#include "options.h"

namespace player {

constexpr const char* kDriverKey = BTWAV_DRIVER_KEY;
constexpr const char* kParamsKey = BTWAV_PARAMS_KEY;
constexpr uint32_t kDefaultSample = BT_AUDIO_DEFAULT_SAMPLE;
constexpr uint32_t kDefaultTimer = BT_AUDIO_DEFAULT_TIMER;
constexpr uint32_t kDefaultCacheLen = BT_AUDIO_DEFAULT_CACHELEN;

struct RegistrySetup {
    uint32_t timerMs = kDefaultTimer;     // the period the driver will use
    std::vector<std::string> warnings;    // "file:line: ..." and values the driver will not read as meant
};

// Fills the host's registry.  False with *error ("file:line: expected ...",
// or a value that would never play) when the run cannot go on; the registry
// is then partly filled (earlier files stay applied).  Main thread, before
// the driver is loaded.
bool SetUpRegistry(const Options& options, RegistrySetup* setup, std::string* error);

// What the driver reads for a pacing value: any value of exactly 4 bytes,
// whatever its type, as a little-endian number (it asks for 4 bytes and does
// not look at the type).  False when it would keep its default; *why then
// says why, or is empty when the value is simply absent.
bool DriverReadsValue(const std::string& name, uint32_t* value, std::string* why);

}  // namespace player
