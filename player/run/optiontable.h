// The player's options as one table: each option's names, argument, help and
// the parser of its value.  Parsing walks it (options.cpp) and the usage is
// printed from it (usage.cpp).
#pragma once

#include <string>
#include <vector>

#include "run/options.h"
#include "world/options.h"

namespace player {

// The world's options and its option machinery (Arg, OptionEntry) are in
// world/options.h; the player's entries reach its own fields through Own().
inline Options& Own(Arg& a) { return *static_cast<Options*>(a.o); }
inline const Options& Own(const WorldOptions& d) { return static_cast<const Options&>(d); }

// The table, in the usage's order.
const std::vector<OptionEntry>& OptionTable();

// The entry one of whose names is `name`; nullptr when there is none.
const OptionEntry* FindOption(const std::string& name);

}  // namespace player
