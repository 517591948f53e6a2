// The kernel's event objects (host/kernel.h, CreateEventW) with a C++ face,
// for tests and tools: CALLBACK_EVENT's target, for one.  An auto-reset
// event is cleared by the wait that sees it set.  Any thread; each call
// takes the kernel's lock for its own length only.
#pragma once

#include <cstdint>

#include "host/platform.h"

namespace host {

constexpr uint32_t kWaitForever = 0xFFFFFFFFu;
HANDLE CreateEvent(bool manualReset, bool initiallySet);
bool SetEvent(HANDLE event);
// True when the event was set within timeoutMs (0: just look).  False on
// timeout and for a handle that is not an event.
bool WaitForEvent(HANDLE event, uint32_t timeoutMs);
bool CloseEvent(HANDLE event);
// Threads blocked now in a wait (WaitForSingleObject or
// WaitForMultipleObjects) that includes this object; 0 for a handle that is
// not an object.  For tests that must know a waiter is asleep.
unsigned WaitersOn(HANDLE object);

}  // namespace host
