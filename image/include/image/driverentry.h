// The registry a device's image starts from, as far as this driver is
// concerned: the entry a board's registry file adds for it (its key under
// the bus key with "Dll", "Prefix" and "Index", and its Params key with each
// pacing value at its default), as .reg text built from driver/config.h and
// loaded through the registry's own .reg loader.  The SDK's start library
// and the player load it before any registry file is merged over it; the
// host's services themselves know no driver.
#pragma once

#include <cstdio>
#include <string>

#include "driver/config.h"
#include "host/registry.h"

namespace image {

// "Name"=dword:XXXXXXXX
inline std::string DwordLine(const char* name, unsigned long value)
{
    char line[96];
    std::snprintf(line, sizeof line, "\"%s\"=dword:%08lx\n", name, value);
    return line;
}

inline std::string DriverEntryReg()
{
    std::string key = BTWAV_DRIVER_KEY;
    std::string params = BTWAV_PARAMS_KEY;
    return "[HKEY_LOCAL_MACHINE\\" + key + "]\n\"Dll\"=\"btwav.dll\"\n\"Prefix\"=\"WAV\"\n" + DwordLine("Index", 1) +
           "\n[HKEY_LOCAL_MACHINE\\" + params + "]\n" + DwordLine(BTWAV_VALUE_SAMPLE, BT_AUDIO_DEFAULT_SAMPLE) +
           DwordLine(BTWAV_VALUE_TIMER, BT_AUDIO_DEFAULT_TIMER) +
           DwordLine(BTWAV_VALUE_CACHELEN, BT_AUDIO_DEFAULT_CACHELEN);
}

// Loads the entry into the host's registry; false with *error only if the
// text does not load (a fault of this file).
inline bool RegisterDriverEntry(std::string* error)
{
    return host::RegistryLoadText(DriverEntryReg(), "the image's driver entry", error);
}

}  // namespace image
