#include "registry_setup.h"

#include <map>

#include "host/registry.h"
#include "host/platform.h"

namespace player {
namespace {

std::string TypeName(uint32_t type)
{
    switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_SZ: return "a string (REG_SZ)";
    case REG_EXPAND_SZ: return "a string (REG_EXPAND_SZ)";
    case REG_BINARY: return "binary (REG_BINARY)";
    case REG_DWORD: return "REG_DWORD";
    case REG_MULTI_SZ: return "a string list (REG_MULTI_SZ)";
    default: return "of type " + std::to_string(type);
    }
}

uint32_t Default(const std::string& name)
{
    return name == "Sample" ? kDefaultSample : name == "Timer" ? kDefaultTimer : kDefaultCacheLen;
}

}  // namespace

bool DriverReadsValue(const std::string& name, uint32_t* value, std::string* why)
{
    uint32_t type = REG_NONE;
    std::vector<uint8_t> data;
    why->clear();
    if (!host::RegistryGetValue(kParamsKey, name, &type, &data))
        return false;
    if (data.size() != 4) {
        *why = "holds " + std::to_string(data.size()) + " bytes; the driver reads only 4-byte values";
        return false;
    }
    *value = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
             static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
    return true;
}

bool SetUpRegistry(const Options& o, RegistrySetup* setup, std::string* error)
{
    host::RegistrySetString(kDriverKey, "Dll", "btwav.dll");
    host::RegistrySetString(kDriverKey, "Prefix", "WAV");
    host::RegistrySetDword(kDriverKey, "Index", 1);
    host::RegistrySetDword(kParamsKey, "Sample", kDefaultSample);
    host::RegistrySetDword(kParamsKey, "Timer", kDefaultTimer);
    host::RegistrySetDword(kParamsKey, "CacheLen", kDefaultCacheLen);

    host::RegLoadOptions load;
    for (const auto& d : o.defines)
        load.defines[d.first] = d.second;
    load.warnings = &setup->warnings;
    for (const std::string& file : o.regFiles)
        if (!host::RegistryLoadFile(file, error, load))
            return false;
    for (const auto& set : o.sets)
        host::RegistrySetDword(kParamsKey, set.first, set.second);

    for (const char* name : {"Sample", "Timer", "CacheLen"}) {
        const std::string where = std::string("registry value ") + kParamsKey + "\\" + name;
        uint32_t type = REG_NONE;
        host::RegistryGetValue(kParamsKey, name, &type, nullptr);
        uint32_t value = 0;
        std::string why;
        if (!DriverReadsValue(name, &value, &why)) {
            if (!why.empty())
                setup->warnings.push_back(where + " is " + TypeName(type) + " and " + why + ": the default " +
                                          std::to_string(Default(name)) + " is used");
            continue;
        }
        if (type != REG_DWORD)
            setup->warnings.push_back(where + " is " + TypeName(type) +
                                      ", not REG_DWORD: the driver takes its 4 bytes as the number " +
                                      std::to_string(value));
        // A period or a rate of 0 would never play anything.
        if (value == 0 && std::string(name) != "CacheLen") {
            *error = where + " is 0: nothing would ever be played";
            return false;
        }
        if (std::string(name) == "Timer")
            setup->timerMs = value;
    }
    return true;
}

}  // namespace player
