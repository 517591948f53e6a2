// Shared between the host's own sources; not for drivers or tests.
#pragma once

#include <vector>

#include "platform/platform.h"

namespace host {

extern thread_local std::vector<CRITICAL_SECTION*> t_lockJournal;

void ResetCore();

// Other services register their reset here so that ResetAll reaches them.
void RegisterReset(void (*fn)());

// True for a handle of an event object (CALLBACK_EVENT's target).
bool IsEventHandle(HANDLE handle);

}  // namespace host
