// Shared between the host's own sources; not for drivers or tests.
#pragma once

#include <vector>

#include "host/platform.h"
// Byte-wise access to the records that callers supply, the same helpers the
// driver uses: the wave API reads and writes them as the driver does.
#include "driver/record.h"

namespace host {

extern thread_local std::vector<CRITICAL_SECTION*> t_lockJournal;

void ResetCore();

// Other services register their reset here so that ResetAll reaches them.
void RegisterReset(void (*fn)());

// True for a handle of an event object (CALLBACK_EVENT's target).
bool IsEventHandle(HANDLE handle);

}  // namespace host

// The host's 16-bit string length, for its own conversions.
extern "C" size_t __wrap_wcslen(const WCHAR* s);
