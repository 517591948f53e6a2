// What the platform forbids inside an application's wave callback, and the
// values a 64-bit program cut to 32 bits.
//
// The platform's waveOutProc page: an application's callback function may
// call only EnterCriticalSection, LeaveCriticalSection, OutputDebugString,
// PostMessage, PostThreadMessage and SetEvent; calling another wave function
// there deadlocks.  On the host such a call would work, so it is noted: the
// wave API's functions ask CallFromCallback first.  Only the application's
// own CALLBACK_FUNCTION counts: the mapper's calls into its device and the
// driver's own re-entry never pass through the API's functions.
//
// Threads and locks: any thread.  The marker of "inside an application's
// callback" is the thread's own; the counts take a leaf mutex.  NoteGuardResume
// runs in the fault handler and touches only the thread's own plain fields.
#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "host/wave.h"
#include "wavetable.h"

namespace host {
namespace {

struct CallbackMarker {
    bool active = false;
    const SEH_FRAME* guardAtEntry = nullptr;   // the thread's innermost guard frame as the callback began
    UINT msg = 0;
    DWORD_PTR callback = 0, instance = 0;
};
thread_local CallbackMarker t_marker;
// A callback left by a fault, reported at the thread's next wave step.
thread_local CallbackMarker t_faulted;
thread_local bool t_faultPending = false;

std::mutex g_mutex;   // guards the two below; a leaf
std::map<std::string, uint64_t>& g_calls = *new std::map<std::string, uint64_t>;
bool g_strictSet = false, g_strict = false;
std::atomic<bool> g_cutReported{false};

bool StrictFromEnvironment()
{
    const char* v = std::getenv("CEHOST_STRICT_CALLBACKS");
    return v != nullptr && std::strcmp(v, "1") == 0;
}

const char* MessageName(UINT msg)
{
    switch (msg) {
    case MM_WOM_OPEN: return "MM_WOM_OPEN";
    case MM_WOM_DONE: return "MM_WOM_DONE";
    case MM_WOM_CLOSE: return "MM_WOM_CLOSE";
    default: return "a message";
    }
}

// A value no pointer of this program can have: on a 64-bit host, a nonzero
// value that fits 32 bits and lies in no loaded object.
bool CutPointer(DWORD_PTR v)
{
    if (sizeof(void*) == 4 || v == 0 || v > 0xFFFFFFFFu)
        return false;
    Dl_info info{};
    return dladdr(reinterpret_cast<void*>(v), &info) == 0;
}

void Tell(const std::string& line)
{
    std::fprintf(stderr, "cehost: %s\n", line.c_str());
    DebugPrint(line + "\n");
}

void TellCutOnce(const char* what, DWORD_PTR value)
{
    if (g_cutReported.exchange(true))
        return;
    char v[32];
    std::snprintf(v, sizeof v, "0x%llx", static_cast<unsigned long long>(value));
    Tell(std::string("the wave callback's ") + what + " " + v +
         " cannot be a pointer in this 64-bit program (a pointer cut to a DWORD): built for 32 bits? use the x86 SDK");
}

}  // namespace

bool InApplicationCallback() { return t_marker.active; }

void EnterApplicationCallback(CallbackFrame* saved, UINT msg, DWORD_PTR callback, DWORD_PTR instance)
{
    saved->active = t_marker.active;
    saved->guard = t_marker.guardAtEntry;
    saved->msg = t_marker.msg;
    saved->callback = t_marker.callback;
    saved->instance = t_marker.instance;
    t_marker.active = true;
    t_marker.guardAtEntry = SehInnermostFrame();
    t_marker.msg = msg;
    t_marker.callback = callback;
    t_marker.instance = instance;
}

void LeaveApplicationCallback(const CallbackFrame& saved)
{
    t_marker.active = saved.active;
    t_marker.guardAtEntry = saved.guard;
    t_marker.msg = saved.msg;
    t_marker.callback = saved.callback;
    t_marker.instance = saved.instance;
}

// In the fault handler, before it resumes guard frame f: when f was already
// entered as the application's callback began, the fault left the callback.
void NoteGuardResume(const SEH_FRAME* f)
{
    if (!t_marker.active)
        return;
    for (const SEH_FRAME* g = t_marker.guardAtEntry; g != nullptr; g = g->pPrev) {
        if (g == f) {
            t_faulted = t_marker;
            t_faultPending = true;
            t_marker.active = false;
            return;
        }
    }
}

void ReportCallbackFault()
{
    if (!t_faultPending)
        return;
    t_faultPending = false;
    const CallbackMarker m = t_faulted;
    char line[160];
    std::snprintf(line, sizeof line, "the application's wave callback 0x%llx faulted in %s (instance 0x%llx)",
                  static_cast<unsigned long long>(m.callback), MessageName(m.msg),
                  static_cast<unsigned long long>(m.instance));
    DebugPrint(std::string(line) + "\n");
    if (CutPointer(m.callback))
        TellCutOnce("function", m.callback);
    else if (CutPointer(m.instance))
        TellCutOnce("instance value", m.instance);
}

void CheckCallbackFunction(DWORD_PTR callback)
{
    if (CutPointer(callback))
        TellCutOnce("function", callback);
}

MMRESULT CallFromCallback(const char* function)
{
    if (!t_marker.active)
        return MMSYSERR_NOERROR;
    bool first, strict;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        first = g_calls[function]++ == 0;
        strict = g_strictSet ? g_strict : StrictFromEnvironment();
    }
    if (first)
        DebugPrint(std::string(function) + " called from inside the application's wave callback (" +
                   MessageName(t_marker.msg) +
                   "): the platform allows only EnterCriticalSection, LeaveCriticalSection, OutputDebugString, "
                   "PostMessage, PostThreadMessage and SetEvent there; a wave function deadlocks" +
                   (strict ? " (refused: strict callbacks)" : "") + "\n");
    return strict ? MMSYSERR_HANDLEBUSY : MMSYSERR_NOERROR;
}

std::map<std::string, uint64_t> WaveCallsFromCallbacks()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_calls;
}

void SetStrictCallbacks(bool strict)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_strictSet = true;
    g_strict = strict;
}

void ResetCallbackRules()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_calls.clear();
    g_strictSet = false;
    g_cutReported = false;
}

}  // namespace host
