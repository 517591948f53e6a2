// What the platform keeps per thread: its id and its last-error code; and
// the calls a library makes about threads (sleep, thread library calls).
#include <atomic>
#include <chrono>
#include <thread>

#include "host/host.h"
#include "host_internal.h"

namespace host {
namespace {
std::atomic<DWORD> g_nextThreadId{1};
thread_local DWORD t_threadId = 0;   // 0 until the thread first asks
thread_local DWORD t_lastError = 0;
}  // namespace
}  // namespace host

extern "C" {

DWORD GetCurrentThreadId(void)
{
    if (host::t_threadId == 0)
        host::t_threadId = host::g_nextThreadId.fetch_add(1);
    return host::t_threadId;
}

void SetLastError(DWORD code) { host::t_lastError = code; }
DWORD GetLastError(void) { return host::t_lastError; }

void Sleep(DWORD ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

BOOL DisableThreadLibraryCalls(HINSTANCE)
{
    host::Bump(host::g_counters.disableThreadLibraryCalls);
    return TRUE;
}

}  // extern "C"
