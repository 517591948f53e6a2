// Memory permissions.  Threads on a development machine can already read
// every buffer of the process; the mask is kept per thread so that a save
// and restore round-trips.
#include "host/platform.h"

namespace {
thread_local DWORD t_permissions = 1;
}  // namespace

extern "C" {

DWORD GetCurrentPermissions(void) { return t_permissions; }
DWORD SetProcPermissions(DWORD newperms)
{
    DWORD old = t_permissions;
    t_permissions = newperms;
    return old;
}

}  // extern "C"
