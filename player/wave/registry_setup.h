// The registry as the player boots it: the image's entry for the driver with
// its pacing values at their defaults, then every --reg file in order, then
// --set.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "driver/config.h"
#include "host/registry.h"
#include "run/options.h"

namespace player {

constexpr const char* kDriverKey = BTWAV_DRIVER_KEY;
constexpr const char* kParamsKey = BTWAV_PARAMS_KEY;

// The bus key the device manager boots the driver's key from.
constexpr const char* kBuiltInKey = "Drivers\\BuiltIn";

struct RegistrySetup {
    std::vector<std::string> warnings;    // "file:line: ..." from the files
    host::RegLoadReport shaped;           // the files, variables, components and strings that shaped it
};

// Fills the host's registry: the image's driver entry, then the .reg files
// merged as the image build merges them (with --define, the environment and
// the --strings files), then --set.  False with *error ("file:line: expected
// ...") when the run cannot go on; no file is applied then.  What the driver
// makes of the values is its own affair: it prints what it uses when it
// starts (driverread.h sets that against the registry).  Main thread, before
// the driver is loaded.
bool SetUpRegistry(const Options& options, RegistrySetup* setup, std::string* error);

}  // namespace player
