// The local heap: LocalAlloc and LocalFree over the C runtime's heap, counted,
// with a fault switch that refuses an allocation.
#include <cstdlib>

#include "host/host.h"
#include "host_internal.h"

extern "C" {

HLOCAL LocalAlloc(UINT uFlags, UINT uBytes)
{
    if (host::ShouldFail(host::Fault::LocalAlloc))
        return nullptr;
    void* p = (uFlags & LMEM_ZEROINIT) ? std::calloc(1, uBytes ? uBytes : 1) : std::malloc(uBytes ? uBytes : 1);
    if (p)
        host::Bump(host::g_counters.localAllocs);
    return p;
}

HLOCAL LocalFree(HLOCAL hMem)
{
    if (hMem) {
        host::Bump(host::g_counters.localFrees);
        std::free(hMem);
    }
    return nullptr;
}

}  // extern "C"
