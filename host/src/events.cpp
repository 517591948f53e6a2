// The C++ face of the kernel's event objects (host/events.h).
#include "host/events.h"
#include "host/kernel.h"
#include "host_internal.h"

namespace host {

HANDLE CreateEvent(bool manualReset, bool initiallySet)
{
    return ::CreateEventW(nullptr, manualReset, initiallySet, nullptr);
}

bool SetEvent(HANDLE event) { return ::SetEvent(event) != FALSE; }

bool WaitForEvent(HANDLE event, uint32_t timeoutMs)
{
    if (!IsEventHandle(event))
        return false;
    return ::WaitForSingleObject(event, timeoutMs) == WAIT_OBJECT_0;
}

bool CloseEvent(HANDLE event) { return IsEventHandle(event) && ::CloseHandle(event); }

}  // namespace host
