// What the driver read from the registry, as it said so itself: the values
// of its configuration record set against what the registry holds, and, for
// the dump, the driver started just far enough to read them.
#pragma once

#include <string>
#include <vector>

#include "report/pacing.h"
#include "run/options.h"

namespace player {

// A warning for each pacing value the registry holds that the driver did
// not use as it stands there (a 0 it does not take, a value of another size,
// a reserve rounded down to whole frames) or that is not a REG_DWORD:
// "registry value ...\Timer is REG_DWORD 0: the driver used 20 ms".  Nothing
// for a value the registry lacks.  Main thread.
std::vector<std::string> RegistryAgainstDriver(const PacingConfig& used);
// The same, each warning printed on standard error and added to *warnings.
void WarnAgainstRegistry(const PacingConfig& used, std::vector<std::string>* warnings);

// Boots the drivers as a run does, opens the driver's own device on the
// virtual clock and writes one frame of silence, so that its pump starts and
// reads its values, then takes everything down again.  The values come from
// the driver's configuration record (*line: its text).  False with *error
// when the driver did not get that far.  Main thread, with the registry set
// up and no driver loaded.
bool StartDriverToRead(const Options& options, PacingConfig* used, std::string* line, std::string* error);

}  // namespace player
