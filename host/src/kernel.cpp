// Kernel objects (events, threads), waits, thread message queues and the
// tick count.
//
// Locking: one mutex guards every object, handle, wait and queue, and one
// condition variable wakes every waiter on any change; each wait re-checks
// its own record.  Nothing outside this file is called with the mutex held,
// except the thread registry's (threadstate.cpp), a leaf below it.
//
// Waits.  A thread that must block leaves a wait record on each object it
// waits for.  Setting an auto-reset event hands the signal to the oldest
// record waiting on it, which is then satisfied and taken off every object,
// and the event stays clear; only with no record waiting does the event
// become set.  So two SetEvent calls in a row with one thread waiting wake
// that thread and leave the event set, as on the platform.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/clock.h"
#include "host/kernel.h"
#include "host_internal.h"

namespace host {
namespace {

struct Wait;

struct Object {
    enum class Kind { Event, Thread } kind = Kind::Event;
    bool manualReset = false;     // events: a wait does not clear it
    bool signalled = false;       // events: set; threads: returned
    std::u16string name;          // events: "" when unnamed
    DWORD exitCode = STILL_ACTIVE;
    DWORD threadId = 0;
    DWORD suspendCount = 0;       // threads: held while non-zero
    std::deque<Wait*> waits;      // blocked waits on it, oldest first
};

// One blocked WaitForMultipleObjects call.
struct Wait {
    std::vector<std::shared_ptr<Object>> objects;   // in the caller's order
    int satisfied = -1;                             // index of the object that released it
};

struct Queue {
    std::deque<MSG> messages;
};

struct Kernel {
    // Guards every field below and every Object; a leaf (see the top).
    std::mutex mutex;
    std::condition_variable changed;
    std::map<HANDLE, std::shared_ptr<Object>> handles;
    std::map<std::u16string, std::weak_ptr<Object>> names;
    std::map<DWORD, std::shared_ptr<Queue>> queues;
    uintptr_t nextHandle = 0x4000;   // not reset: stale handles stay invalid
};

// Never destroyed: detached threads created by CreateThread may still be
// signalling their end while the process exits.
Kernel& K()
{
    static Kernel* kernel = new Kernel;
    return *kernel;
}

}  // namespace

// Handles and queues are dropped; objects that threads still hold live on.
void ResetKernel()
{
    Kernel& k = K();
    {
        std::lock_guard<std::mutex> lock(k.mutex);
        k.handles.clear();
        k.names.clear();
        k.queues.clear();
    }
    k.changed.notify_all();
}

namespace {

// Caller holds the kernel's mutex.
HANDLE NewHandleLocked(Kernel& k, std::shared_ptr<Object> o)
{
    k.nextHandle += 4;
    HANDLE h = reinterpret_cast<HANDLE>(k.nextHandle);
    k.handles[h] = std::move(o);
    return h;
}

// Caller holds the kernel's mutex.
std::shared_ptr<Object> FindLocked(Kernel& k, HANDLE h)
{
    auto it = k.handles.find(h);
    return it == k.handles.end() ? nullptr : it->second;
}

std::shared_ptr<Object> FindEvent(HANDLE h)
{
    Kernel& k = K();
    std::lock_guard<std::mutex> lock(k.mutex);
    std::shared_ptr<Object> o = FindLocked(k, h);
    return o && o->kind == Object::Kind::Event ? o : nullptr;
}

bool Matches(const MSG& m, UINT lo, UINT hi)
{
    return (lo == 0 && hi == 0) || (m.message >= lo && m.message <= hi);
}

// Caller holds the kernel's mutex.  The calling thread's queue, made on
// first use.
Queue& OwnQueueLocked(Kernel& k)
{
    std::shared_ptr<Queue>& q = k.queues[GetCurrentThreadId()];
    if (!q)
        q = std::make_shared<Queue>();
    return *q;
}

// Caller holds the kernel's mutex.  Takes (or, without remove, copies) the
// first message in [lo, hi].
bool TakeLocked(Queue& q, MSG* out, UINT lo, UINT hi, bool remove)
{
    for (auto it = q.messages.begin(); it != q.messages.end(); ++it) {
        if (!Matches(*it, lo, hi))
            continue;
        *out = *it;
        if (remove)
            q.messages.erase(it);
        return true;
    }
    return false;
}

// Caller holds the kernel's mutex.  Takes the wait off every object.
void DropWaitLocked(Wait& w)
{
    for (auto& o : w.objects) {
        auto it = std::find(o->waits.begin(), o->waits.end(), &w);
        if (it != o->waits.end())
            o->waits.erase(it);
    }
}

// Caller holds the kernel's mutex; notifies after releasing it.  Sets the
// object: an auto-reset event goes to its oldest waiter if it has one and
// stays clear; any other object becomes set and releases every waiter.
void SignalLocked(Object& o)
{
    const bool autoReset = o.kind == Object::Kind::Event && !o.manualReset;
    while (!o.waits.empty()) {
        Wait* w = o.waits.front();
        for (size_t i = 0; i < w->objects.size(); ++i) {
            if (w->objects[i].get() == &o) {
                w->satisfied = static_cast<int>(i);
                break;
            }
        }
        DropWaitLocked(*w);
        if (autoReset)
            return;
    }
    o.signalled = true;
}

struct ThreadStart {
    LPTHREAD_START_ROUTINE fn;
    LPVOID param;
    std::shared_ptr<Object> self;
    std::promise<DWORD> id;
};

void RunThread(std::unique_ptr<ThreadStart> start)
{
    Kernel& k = K();
    std::shared_ptr<Object> self = start->self;
    DWORD id = GetCurrentThreadId();
    {
        std::unique_lock<std::mutex> lock(k.mutex);
        self->threadId = id;
        start->id.set_value(id);
        k.changed.wait(lock, [&] { return self->suspendCount == 0; });
    }
    DWORD code = start->fn(start->param);
    {
        std::lock_guard<std::mutex> lock(k.mutex);
        self->exitCode = code;
        RetireThreadId(id);
        k.queues.erase(id);
        SignalLocked(*self);
    }
    k.changed.notify_all();
}

}  // namespace

bool IsEventHandle(HANDLE handle) { return FindEvent(handle) != nullptr; }

unsigned WaitersOn(HANDLE object)
{
    Kernel& k = K();
    std::lock_guard<std::mutex> lock(k.mutex);
    std::shared_ptr<Object> o = FindLocked(k, object);
    return o ? static_cast<unsigned>(o->waits.size()) : 0u;
}

}  // namespace host

using host::Object;

extern "C" {

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName)
{
    host::Kernel& k = host::K();
    std::u16string name;
    if (lpName)
        for (const WCHAR* p = lpName; *p; ++p)
            name.push_back(static_cast<char16_t>(*p));
    std::lock_guard<std::mutex> lock(k.mutex);
    if (!name.empty()) {
        auto it = k.names.find(name);
        if (it != k.names.end()) {
            if (std::shared_ptr<Object> existing = it->second.lock()) {
                SetLastError(ERROR_ALREADY_EXISTS);
                return host::NewHandleLocked(k, existing);
            }
        }
    }
    auto o = std::make_shared<Object>();
    o->kind = Object::Kind::Event;
    o->manualReset = bManualReset != FALSE;
    o->signalled = bInitialState != FALSE;
    o->name = name;
    if (!name.empty())
        k.names[name] = o;
    SetLastError(ERROR_SUCCESS);
    return host::NewHandleLocked(k, o);
}

BOOL WINAPI SetEvent(HANDLE hEvent)
{
    host::Kernel& k = host::K();
    {
        std::lock_guard<std::mutex> lock(k.mutex);
        std::shared_ptr<Object> o = host::FindLocked(k, hEvent);
        if (!o || o->kind != Object::Kind::Event) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        host::SignalLocked(*o);
    }
    k.changed.notify_all();
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent)
{
    host::Kernel& k = host::K();
    std::lock_guard<std::mutex> lock(k.mutex);
    std::shared_ptr<Object> o = host::FindLocked(k, hEvent);
    if (!o || o->kind != Object::Kind::Event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    o->signalled = false;
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    host::Kernel& k = host::K();
    std::lock_guard<std::mutex> lock(k.mutex);
    auto it = k.handles.find(hObject);
    if (it == k.handles.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::shared_ptr<Object> o = it->second;
    k.handles.erase(it);
    // A name lasts as long as some handle to its event does.
    if (!o->name.empty() && o.use_count() == 1)
        k.names.erase(o->name);
    return TRUE;
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds)
{
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr || bWaitAll) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    host::Kernel& k = host::K();
    std::unique_lock<std::mutex> lock(k.mutex);
    host::Wait wait;
    for (DWORD i = 0; i < nCount; ++i) {
        std::shared_ptr<Object> o = host::FindLocked(k, lpHandles[i]);
        if (!o) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        wait.objects.push_back(std::move(o));
    }
    for (size_t i = 0; i < wait.objects.size(); ++i) {
        Object& o = *wait.objects[i];
        if (o.signalled) {
            if (o.kind == Object::Kind::Event && !o.manualReset)
                o.signalled = false;
            return WAIT_OBJECT_0 + static_cast<DWORD>(i);
        }
    }
    for (auto& o : wait.objects)
        o->waits.push_back(&wait);
    auto released = [&] { return wait.satisfied >= 0; };
    if (dwMilliseconds == INFINITE)
        k.changed.wait(lock, released);
    else
        k.changed.wait_for(lock, std::chrono::milliseconds(dwMilliseconds), released);
    if (wait.satisfied < 0) {
        host::DropWaitLocked(wait);
        return WAIT_TIMEOUT;
    }
    return WAIT_OBJECT_0 + static_cast<DWORD>(wait.satisfied);
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

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
        if (o->suspendCount > 0)
            --o->suspendCount;
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

BOOL WINAPI PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    MSG m{};
    m.message = Msg;
    m.wParam = wParam;
    m.lParam = lParam;
    m.time = GetTickCount();
    host::Kernel& k = host::K();
    {
        std::lock_guard<std::mutex> lock(k.mutex);
        // Every living thread can be posted to; its queue is made on demand.
        if (!host::IsLiveThreadId(idThread)) {
            SetLastError(ERROR_INVALID_THREAD_ID);
            return FALSE;
        }
        std::shared_ptr<host::Queue>& q = k.queues[idThread];
        if (!q)
            q = std::make_shared<host::Queue>();
        q->messages.push_back(m);
    }
    k.changed.notify_all();
    return TRUE;
}

BOOL WINAPI GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax)
{
    if (lpMsg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (hWnd != nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    host::Kernel& k = host::K();
    std::unique_lock<std::mutex> lock(k.mutex);
    for (;;) {
        // A reset drops the queue; the wait goes on with a new one.
        host::Queue& q = host::OwnQueueLocked(k);
        if (host::TakeLocked(q, lpMsg, wMsgFilterMin, wMsgFilterMax, true))
            return lpMsg->message == WM_QUIT ? FALSE : TRUE;
        k.changed.wait(lock);
    }
}

BOOL WINAPI PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg)
{
    if (hWnd != nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    host::Kernel& k = host::K();
    std::lock_guard<std::mutex> lock(k.mutex);
    host::Queue& q = host::OwnQueueLocked(k);
    if (lpMsg == nullptr)
        return FALSE;
    return host::TakeLocked(q, lpMsg, wMsgFilterMin, wMsgFilterMax, (wRemoveMsg & PM_REMOVE) != 0) ? TRUE : FALSE;
}

DWORD WINAPI GetTickCount(void)
{
    if (host::CurrentClock() == host::ClockKind::Virtual)
        return static_cast<DWORD>(host::VirtualNowNs() / 1000000u);
    return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now().time_since_epoch())
                                  .count());
}

DWORD WINAPI timeGetTime(void)
{
    return GetTickCount();
}

}  // extern "C"
