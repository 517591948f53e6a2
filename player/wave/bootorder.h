// The drivers of the bus key in the order the device manager loads them, and
// why one of them is refused its device name.
#pragma once

#include <string>
#include <vector>

#include "host/devicemanager.h"

namespace player {

// When a driver of the bus key was refused because `holder` took its device
// name first only by the order this host assumes between keys of the same
// Order (or of none), a note that says so; "" otherwise.
std::string LoadOrderNote(const host::BuiltInDriver& refused, const std::vector<host::BuiltInDriver>& drivers,
                          const std::string& error);

// The drivers under the bus key in boot order, each with the device name it
// gets, as holding every name in turn shows; the names are released again.
std::vector<std::string> BootOrderLines();

}  // namespace player
