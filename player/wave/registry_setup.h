// The registry as the player boots it: the driver's entry and its pacing
// values (defaults, then every --reg file in order, then --set), checked for
// what the driver will really read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "driver/config.h"
#include "host/devicemanager.h"
#include "host/registry.h"
#include "run/options.h"

namespace player {

constexpr const char* kDriverKey = BTWAV_DRIVER_KEY;
constexpr const char* kParamsKey = BTWAV_PARAMS_KEY;
constexpr uint32_t kDefaultSample = BT_AUDIO_DEFAULT_SAMPLE;
constexpr uint32_t kDefaultTimer = BT_AUDIO_DEFAULT_TIMER;
constexpr uint32_t kDefaultCacheLen = BT_AUDIO_DEFAULT_CACHELEN;

// The bus key the device manager boots the driver's key from.
constexpr const char* kBuiltInKey = "Drivers\\BuiltIn";

struct RegistrySetup {
    uint32_t timerMs = kDefaultTimer;     // the period the driver will use
    std::vector<std::string> warnings;    // "file:line: ..." and values the driver will not read as meant
    host::RegLoadReport shaped;           // the files, variables, components and strings that shaped it
};

// Fills the host's registry: the driver's entry and defaults, then the .reg
// files merged as the image build merges them (with --define, the
// environment and the --strings files), then --set.  False with *error
// ("file:line: expected ...") when the run cannot go on; no file is applied
// then.  A value the driver does not take (a 0 period, a 3-byte value) is a
// warning saying that the driver keeps its default, as on a device.  Main thread, before the driver is
// loaded.
bool SetUpRegistry(const Options& options, RegistrySetup* setup, std::string* error);

// When a driver of the bus key was refused because `holder` took its device
// name first only by the order this host assumes between keys of the same
// Order (or of none), a note that says so; "" otherwise.
std::string LoadOrderNote(const host::BuiltInDriver& refused, const std::vector<host::BuiltInDriver>& drivers,
                          const std::string& error);

// The registry as .reg text that loads back to the same keys and values,
// each value with its type in a comment, the roots' keys in order.
std::string FormatRegistry(const std::vector<host::RegistryKeyView>& keys);

// --registry-dump: fills the registry as a run would, prints what shaped it,
// the drivers in the device manager's boot order with their device names,
// what the driver will read and the registry itself, and returns the exit
// code (0, or the registry's).  Main thread, instead of a run.
int DumpRegistry(const Options& options);

// What the driver reads for a pacing value, by the rules driver/config.h
// states (BTWAV_VALUE_BYTES, BTWAV_ZERO_TAKEN_).  False when it would keep
// its default; *why then says why ("is REG_BINARY and holds 3 bytes; ...",
// "is 0, which the driver does not take (...)"), or is empty when the value
// is simply absent.
bool DriverReadsValue(const std::string& name, uint32_t* value, std::string* why);

}  // namespace player
