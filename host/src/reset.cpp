// ResetAll: every host service back to its state at process start.
#include "host/faults.h"
#include "host/host.h"
#include "host_internal.h"

namespace host {

// The order matters: a service is reset only after everything that may still
// call it has been taken down.
void ResetAll()
{
    // A sound PlaySound is playing, while the wave API it plays through stands.
    StopSounds();
    // Active devices first, while every service their Deinit calls (wave
    // API, timers, registry, debug output) still stands.
    ResetDeviceManager();
    // Then the wave API's tables: drivers a test loaded itself are forgotten
    // without being called, handles dropped, device 0 fresh.
    ResetWave();
    // Timers next: no driver is left to make one.  Stops every timer
    // (waiting for a running callback) and puts the virtual clock back.
    ResetClock();
    // Kernel objects and the registry: nothing above is using them now.
    ResetKernel();
    ResetRegistry();
    // The fault table: disarmed only now, so that nothing taken down
    // above met a fault meant for the next run.
    ClearFaults();
    // Last the records of what happened, so the teardown above leaves no
    // trace in them.
    ResetDebugOutput();
    ResetCounters();
    ResetDriverHeap();
    ResetCallbackRules();
    UseMappingListForPointerChecks(false);
}

}  // namespace host
