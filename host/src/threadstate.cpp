// What the platform keeps per thread: its id and its last-error code; and
// the calls a library makes about threads (sleep, thread library calls).
#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>

#include "host/host.h"
#include "host_internal.h"
#include "autoclock.h"

namespace host {
namespace {
std::atomic<DWORD> g_nextThreadId{1};
thread_local DWORD t_threadId = 0;   // 0 until the thread first asks
thread_local DWORD t_lastError = 0;

// The ids of living threads.  Never destroyed: threads end during exit too.
struct LiveIds {
    std::mutex mutex;   // a leaf
    std::set<DWORD> ids;
};
LiveIds& Live()
{
    static LiveIds* live = new LiveIds;
    return *live;
}

// Retires the thread's id when the thread ends.
struct IdRetirer {
    DWORD id = 0;
    ~IdRetirer()
    {
        if (id != 0)
            RetireThreadId(id);
    }
};
thread_local IdRetirer t_retirer;
}  // namespace

bool IsLiveThreadId(DWORD id)
{
    LiveIds& l = Live();
    std::lock_guard<std::mutex> lock(l.mutex);
    return l.ids.count(id) != 0;
}

void RetireThreadId(DWORD id)
{
    LiveIds& l = Live();
    std::lock_guard<std::mutex> lock(l.mutex);
    l.ids.erase(id);
}
}  // namespace host

extern "C" {

DWORD GetCurrentThreadId(void)
{
    if (host::t_threadId == 0) {
        const DWORD id = host::g_nextThreadId.fetch_add(1);
        {
            host::LiveIds& l = host::Live();
            std::lock_guard<std::mutex> lock(l.mutex);
            l.ids.insert(id);
        }
        host::t_retirer.id = id;
        host::t_threadId = id;
    }
    return host::t_threadId;
}

void SetLastError(DWORD code) { host::t_lastError = code; }
DWORD GetLastError(void) { return host::t_lastError; }

void Sleep(DWORD ms)
{
    if (ms != 0 && host::autoclock::On() && !host::autoclock::OnService()) {
        // The self-moving clock: the thread waits until the clock reaches
        // its time, which it does once every thread waits.
        static const char kSleep = 0;
        host::autoclock::Blocked b("Sleep", &kSleep, ms, host::autoclock::Poke::Ledger, nullptr);
        b.WaitHere();
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

BOOL DisableThreadLibraryCalls(HINSTANCE)
{
    host::Bump(host::g_counters.disableThreadLibraryCalls);
    return TRUE;
}

}  // extern "C"
