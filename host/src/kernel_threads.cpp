// Threads: CreateThread, their suspension, exit codes and priorities.  The
// kernel's state and its locking are kernel_state.h's and kernel.cpp's.
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "host/kernel.h"
#include "host_internal.h"
#include "kernel_state.h"
#include "autoclock.h"

namespace host {

// The pseudo-handle GetCurrentThread answers.
HANDLE const kCurrentThread = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));

// Caller holds the kernel's mutex.  The id of the thread a handle names, or
// 0 for a handle that names no living thread.
DWORD ThreadOfLocked(Kernel& k, HANDLE h)
{
    if (h == kCurrentThread)
        return GetCurrentThreadId();
    std::shared_ptr<Object> o = FindLocked(k, h);
    return o && o->kind == Object::Kind::Thread && !o->signalled ? o->threadId : 0;
}
namespace {

struct ThreadStart {
    LPTHREAD_START_ROUTINE fn;
    LPVOID param;
    std::shared_ptr<Object> self;
    std::promise<DWORD> id;
    bool slot = false;   // counted as running by the self-moving clock since CreateThread
};

void RunThread(std::unique_ptr<ThreadStart> start)
{
    Kernel& k = K();
    std::shared_ptr<Object> self = start->self;
    DWORD id = GetCurrentThreadId();
    {
        std::unique_lock<std::mutex> lock(k.mutex);
        self->threadId = id;
        if (start->slot)
            autoclock::Attach(true);
        start->id.set_value(id);
        if (self->suspendCount != 0) {
            autoclock::Blocked b("CreateThread (suspended)", self.get(), INFINITE, autoclock::Poke::Kernel, nullptr);
            k.changed.wait(lock, [&] { return self->suspendCount == 0; });
        }
    }
    DWORD code = start->fn(start->param);
    {
        std::lock_guard<std::mutex> lock(k.mutex);
        self->exitCode = code;
        RetireThreadId(id);
        // Messages still sent to the thread's windows are answered 0.
        auto q = k.queues.find(id);
        if (q != k.queues.end())
            for (auto& sent : q->second->sent)
                sent->result.set_value(0);
        k.queues.erase(id);
        k.priorities.erase(id);
        SignalLocked(*self);
        // After its joiners count as running: the clock stays put meanwhile.
        if (start->slot)
            autoclock::Detach();
    }
    k.changed.notify_all();
}
}  // namespace
}  // namespace host

using host::Object;

extern "C" {

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, DWORD, LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD dwCreationFlags, LPDWORD lpThreadId)
{
    if (lpStartAddress == nullptr || (dwCreationFlags & ~(CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto o = std::make_shared<Object>();
    o->kind = Object::Kind::Thread;
    o->suspendCount = (dwCreationFlags & CREATE_SUSPENDED) ? 1 : 0;
    auto start = std::make_unique<host::ThreadStart>();
    start->fn = lpStartAddress;
    start->param = lpParameter;
    start->self = o;
    if (host::autoclock::On()) {
        host::autoclock::AddSlot();
        start->slot = true;
    }
    std::future<DWORD> id = start->id.get_future();
    std::thread(host::RunThread, std::move(start)).detach();
    DWORD tid = id.get();
    if (lpThreadId)
        *lpThreadId = tid;
    host::Kernel& k = host::K();
    std::lock_guard<std::mutex> lock(k.mutex);
    return host::NewHandleLocked(k, o);
}

DWORD WINAPI ResumeThread(HANDLE hThread)
{
    host::Kernel& k = host::K();
    DWORD previous;
    {
        std::lock_guard<std::mutex> lock(k.mutex);
        std::shared_ptr<Object> o = host::FindLocked(k, hThread);
        if (!o || o->kind != Object::Kind::Thread) {
            SetLastError(ERROR_INVALID_HANDLE);
            return 0xFFFFFFFFu;
        }
        previous = o->suspendCount;
        if (o->suspendCount > 0 && --o->suspendCount == 0)
            host::autoclock::Wake(o->threadId, o.get());
    }
    k.changed.notify_all();
    return previous;
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode)
{
    host::Kernel& k = host::K();
    std::lock_guard<std::mutex> lock(k.mutex);
    std::shared_ptr<Object> o = host::FindLocked(k, hThread);
    if (!o || o->kind != Object::Kind::Thread || lpExitCode == nullptr) {
        SetLastError(o ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *lpExitCode = o->exitCode;
    return TRUE;
}
HANDLE WINAPI GetCurrentThread(void)
{
    return host::kCurrentThread;
}

BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority)
{
    host::Kernel& k = host::K();
    std::lock_guard<std::mutex> lock(k.mutex);
    DWORD tid = host::ThreadOfLocked(k, hThread);
    if (tid == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (nPriority < THREAD_PRIORITY_TIME_CRITICAL || nPriority > THREAD_PRIORITY_IDLE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    k.priorities[tid] = nPriority;
    return TRUE;
}

int WINAPI GetThreadPriority(HANDLE hThread)
{
    host::Kernel& k = host::K();
    std::lock_guard<std::mutex> lock(k.mutex);
    DWORD tid = host::ThreadOfLocked(k, hThread);
    if (tid == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return THREAD_PRIORITY_ERROR_RETURN;
    }
    auto it = k.priorities.find(tid);
    return it == k.priorities.end() ? THREAD_PRIORITY_NORMAL : it->second;
}
}  // extern "C"
