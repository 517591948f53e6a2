// The driver's pacing values: one table of their names, defaults, zero rules
// and units (every field from driver/config.h, where the driver reads them
// from), and the values a run's driver used, read from the arguments of its
// debug record rather than from the printed text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "driver/config.h"
#include "host/host.h"

namespace player {

// The driver's configuration as its debug record gives it.
struct PacingConfig {
    bool known = false;
    uint32_t sample = 0;     // bytes per second
    uint32_t timer = 0;      // tick period in ms
    uint32_t cacheLen = 0;   // bytes asked for by the first tick
};

// One pacing value of the driver's.
struct PacingValue {
    const char* name;            // the registry value's name, and its label in the driver's debug record
    uint32_t defaultValue;       // what stands when the value is missing or not taken
    bool zeroTaken;              // a 0 in the registry is used as it is
    const char* unit;            // what the number counts
    uint32_t PacingConfig::*field;
};

// Sample, Timer, CacheLen, in the order the driver prints them.
extern const PacingValue kPacingValues[3];
// The entry of `name` (matched exactly), or nullptr.
const PacingValue* FindPacingValue(const std::string& name);

// The values in `record` when it is the driver's configuration record: one
// integer argument labelled with each pacing value's name (in any order,
// whatever the words around them).  False for any other record.
bool PacingFromRecord(const host::DebugRecord& record, PacingConfig* out);

// "Sample 176400, Timer 20, CacheLen 6144": the values as the report's
// config line names them when no line of the driver's is at hand.
std::string FormatPacing(const PacingConfig& c);

}  // namespace player
