// One run of the player: boot the host as the device would, play through the
// wave API, collect what the headset received, report.
#pragma once

#include "run/options.h"

namespace player {

// Messages go to stderr, progress to stderr, the report to stdout.
// Returns the exit code (options.h).
int RunPlayer(const Options& options);

}  // namespace player
