// The host's counters of service calls.  They are bumped without a lock
// (they sit on the tick's path) and read one by one.
#include "host/host.h"
#include "host_internal.h"

namespace host {

Counters g_counters;

Counters GetCounters()
{
    Counters c;
    c.localAllocs = __atomic_load_n(&g_counters.localAllocs, __ATOMIC_RELAXED);
    c.localFrees = __atomic_load_n(&g_counters.localFrees, __ATOMIC_RELAXED);
    c.driverMallocs = __atomic_load_n(&g_counters.driverMallocs, __ATOMIC_RELAXED);
    c.driverFrees = __atomic_load_n(&g_counters.driverFrees, __ATOMIC_RELAXED);
    c.disableThreadLibraryCalls = __atomic_load_n(&g_counters.disableThreadLibraryCalls, __ATOMIC_RELAXED);
    return c;
}

void ResetCounters()
{
    for (unsigned long* c : {&g_counters.localAllocs, &g_counters.localFrees, &g_counters.driverMallocs,
                             &g_counters.driverFrees, &g_counters.disableThreadLibraryCalls})
        __atomic_store_n(c, 0, __ATOMIC_RELAXED);
}

}  // namespace host
