// --registry-dump: the registry as the device boots with it, what shaped it,
// the drivers in the device manager's boot order and what the driver read
// from it once started, then the registry itself as .reg text.
#pragma once

#include "run/options.h"

namespace player {

// Fills the registry as a run would, starts the driver just far enough to
// read its values, prints all that and returns the exit code (0, or the
// registry's).  Main thread, instead of a run.
int DumpRegistry(const Options& options);

}  // namespace player
