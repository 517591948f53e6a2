#include "wave/registry_setup.h"

#include "image/driverentry.h"

namespace player {

bool SetUpRegistry(const Options& o, RegistrySetup* setup, std::string* error)
{
    if (!image::RegisterDriverEntry(error))
        return false;

    host::RegLoadOptions load;
    for (const auto& d : o.defines)
        load.defines[d.first] = d.second;
    load.definesLabel = "--define";
    load.environment = true;
    load.stringFiles = o.stringFiles;
    load.codePage = o.codePage;
    load.warnings = &setup->warnings;
    load.report = &setup->shaped;
    if ((!o.regFiles.empty() || !o.stringFiles.empty()) && !host::RegistryLoadFiles(o.regFiles, error, load))
        return false;
    for (const auto& set : o.sets)
        host::RegistrySetDword(kParamsKey, set.first, set.second);
    return true;
}

}  // namespace player
