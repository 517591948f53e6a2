// Field access on the application's records, byte by byte, at any address.
// The one place where the tests, the fuzz target and the benchmarks get the
// driver's record macros (REC_GET32 and the rest, for the driver's own
// records) and the wave header's field helpers below.
#pragma once

#include "driver/record.h"
#include "host/platform.h"
#include "host/records.h"

namespace kit {

// The header helpers are the host's (the platform's own reading of the
// records), under the host's names.
using host::HeaderConsumed;
using host::HeaderFlags;
using host::HeaderLength;
using host::HeaderLoops;
using host::HeaderNext;
using host::HeaderReserved;
using host::HeaderUser;
using host::SetHeaderConsumed;
using host::SetHeaderFlags;
using host::SetHeaderLoops;
using host::SetHeaderNext;

}  // namespace kit
