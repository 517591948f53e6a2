// The driver's heap.  The driver library is linked with --wrap for malloc and
// free, so its calls arrive here: a fault switch can refuse an allocation,
// and every block it frees is recorded.  An allocation takes no lock unless a
// fault switch is armed; the driver frees only packets the library refused,
// so the record of frees stays off the tick's usual path.
#include <cstdlib>
#include <mutex>

#include "host/host.h"
#include "host_internal.h"

namespace host {
namespace {
std::mutex g_freedMutex;                 // guards g_driverFreed; a leaf lock
std::vector<const void*> g_driverFreed;  // blocks the driver freed, in order
}  // namespace

std::vector<const void*> DriverFreedBlocks()
{
    std::lock_guard<std::mutex> lock(g_freedMutex);
    return g_driverFreed;
}

void ResetDriverHeap()
{
    std::lock_guard<std::mutex> lock(g_freedMutex);
    g_driverFreed.clear();
}

}  // namespace host

extern "C" {

// Called by the driver on any of its threads, the tick's under its stream
// lock; takes no lock.
void* __wrap_malloc(size_t n)
{
    if (host::ShouldFail(host::Fault::Malloc))
        return nullptr;
    host::Bump(host::g_counters.driverMallocs);
    return std::malloc(n);
}

// Takes g_freedMutex, a leaf: nothing is called while it is held.
void __wrap_free(void* p)
{
    if (p) {
        host::Bump(host::g_counters.driverFrees);
        std::lock_guard<std::mutex> lock(host::g_freedMutex);
        host::g_driverFreed.push_back(p);
    }
    std::free(p);
}

}  // extern "C"
