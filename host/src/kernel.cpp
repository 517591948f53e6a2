// Kernel objects (events, mutexes, semaphores, threads), waits, thread
// message queues (with the messages of the thread's windows) and the tick
// count.
//
// Locking: one mutex guards every object, handle, wait and queue, and one
// condition variable wakes every waiter on any change; each wait re-checks
// its own record.  Nothing outside this file is called with the mutex held,
// except the thread registry's (threadstate.cpp), a leaf below it.
//
// Mutexes and semaphores hand themselves over the same way: a mutex released
// to nobody goes to its oldest waiter, which then owns it; a semaphore's
// count, raised by ReleaseSemaphore, goes to its oldest waiters one each.
//
// Sent messages.  SendMessage to a window of another thread queues the
// message in that thread's queue apart from posted ones; the thread runs the
// window's procedure for it in its next GetMessage or PeekMessage, with the
// mutex released, and the sender waits for the result.
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
    enum class Kind { Event, Thread, Mutex, Semaphore } kind = Kind::Event;
    bool manualReset = false;     // events: a wait does not clear it
    bool signalled = false;       // events: set; threads: returned
    std::u16string name;          // events, mutexes, semaphores: "" when unnamed
    DWORD owner = 0;              // mutexes: the owning thread's id, 0 when free
    DWORD recursion = 0;          // mutexes: the owner's nesting depth
    LONG count = 0;               // semaphores: the current count
    LONG maximum = 0;             // semaphores: the highest count
    DWORD exitCode = STILL_ACTIVE;
    DWORD threadId = 0;
    DWORD suspendCount = 0;       // threads: held while non-zero
    std::deque<Wait*> waits;      // blocked waits on it, oldest first
};

// One blocked WaitForMultipleObjects call.
struct Wait {
    std::vector<std::shared_ptr<Object>> objects;   // in the caller's order
    int satisfied = -1;                             // index of the object that released it
    DWORD thread = 0;                               // the waiting thread's id
};

// A message sent to a window of another thread, and its answer.
struct Sent {
    MSG msg;
    std::promise<LRESULT> result;
};

struct Queue {
    std::deque<MSG> messages;                  // posted, oldest first
    std::deque<std::shared_ptr<Sent>> sent;    // sent, oldest first
};

struct Kernel {
    // Guards every field below and every Object; a leaf (see the top).
    std::mutex mutex;
    std::condition_variable changed;
    std::map<HANDLE, std::shared_ptr<Object>> handles;
    std::map<std::u16string, std::weak_ptr<Object>> names;
    std::map<DWORD, std::shared_ptr<Queue>> queues;
    std::map<DWORD, int> priorities;   // threads whose priority was set: THREAD_PRIORITY_*
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
        for (auto& q : k.queues)
            for (auto& sent : q.second->sent)
                sent->result.set_value(0);
        k.queues.clear();
        k.priorities.clear();
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

// A window's messages go to a filter for that window or for every message.
bool Matches(const MSG& m, HWND hwnd, UINT lo, UINT hi)
{
    return (hwnd == nullptr || m.hwnd == hwnd) && ((lo == 0 && hi == 0) || (m.message >= lo && m.message <= hi));
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
bool TakeLocked(Queue& q, MSG* out, HWND hwnd, UINT lo, UINT hi, bool remove)
{
    for (auto it = q.messages.begin(); it != q.messages.end(); ++it) {
        if (!Matches(*it, hwnd, lo, hi))
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

// Caller holds the kernel's mutex.  Whether thread `tid` may have the
// object now, and if so takes it: clears an auto-reset event, owns a mutex,
// takes one of a semaphore's count.
bool TakeObjectLocked(Object& o, DWORD tid)
{
    switch (o.kind) {
    case Object::Kind::Mutex:
        if (o.owner != 0 && o.owner != tid)
            return false;
        o.owner = tid;
        ++o.recursion;
        return true;
    case Object::Kind::Semaphore:
        if (o.count <= 0)
            return false;
        --o.count;
        return true;
    case Object::Kind::Event:
        if (!o.signalled)
            return false;
        if (!o.manualReset)
            o.signalled = false;
        return true;
    case Object::Kind::Thread:
        return o.signalled;
    }
    return false;
}

// Caller holds the kernel's mutex; notifies after releasing it.  Hands a
// mutex or a semaphore that became available to its oldest waiters, as
// long as it stays available.
void HandOverLocked(Object& o)
{
    while (!o.waits.empty()) {
        Wait* w = o.waits.front();
        if (!TakeObjectLocked(o, w->thread))
            return;
        for (size_t i = 0; i < w->objects.size(); ++i) {
            if (w->objects[i].get() == &o) {
                w->satisfied = static_cast<int>(i);
                break;
            }
        }
        DropWaitLocked(*w);
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

std::u16string NameOf(LPCWSTR name)
{
    std::u16string out;
    if (name)
        for (const WCHAR* p = name; *p; ++p)
            out.push_back(static_cast<char16_t>(*p));
    return out;
}

const WCHAR* AsWide(const std::u16string& s) { return reinterpret_cast<const WCHAR*>(s.c_str()); }

// An A form's name, in the ANSI code page, as the W form takes it.
bool AnsiName(LPCSTR name, std::u16string* out)
{
    if (name == nullptr || *name == 0)
        return true;
    int n = MultiByteToWideChar(CP_ACP, 0, name, -1, nullptr, 0);
    out->resize(static_cast<size_t>(n));
    MultiByteToWideChar(CP_ACP, 0, name, -1, reinterpret_cast<WCHAR*>(&(*out)[0]), n);
    out->resize(static_cast<size_t>(n) - 1);
    return true;
}

// A new object under `name` (none when empty), or a new handle to the object
// of the same kind that already has it, with ERROR_ALREADY_EXISTS.  A name
// taken by an object of another kind fails with ERROR_INVALID_HANDLE.
HANDLE CreateNamed(std::shared_ptr<Object> o, LPCWSTR lpName)
{
    Kernel& k = K();
    o->name = NameOf(lpName);
    std::lock_guard<std::mutex> lock(k.mutex);
    if (!o->name.empty()) {
        auto it = k.names.find(o->name);
        if (it != k.names.end()) {
            if (std::shared_ptr<Object> existing = it->second.lock()) {
                if (existing->kind != o->kind) {
                    SetLastError(ERROR_INVALID_HANDLE);
                    return nullptr;
                }
                SetLastError(ERROR_ALREADY_EXISTS);
                return NewHandleLocked(k, existing);
            }
        }
        k.names[o->name] = o;
    }
    SetLastError(ERROR_SUCCESS);
    return NewHandleLocked(k, o);
}

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

// Caller holds the kernel's mutex (in `lock`).  Runs the window procedures
// for the messages sent to this thread's windows, releasing the mutex
// around each call.
void RunSentLocked(Kernel& k, std::unique_lock<std::mutex>& lock)
{
    for (;;) {
        Queue& q = OwnQueueLocked(k);
        if (q.sent.empty())
            return;
        std::shared_ptr<Sent> sent = q.sent.front();
        q.sent.pop_front();
        lock.unlock();
        sent->result.set_value(CallWindowProcedure(sent->msg));
        lock.lock();
    }
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
        // Messages still sent to the thread's windows are answered 0.
        auto q = k.queues.find(id);
        if (q != k.queues.end())
            for (auto& sent : q->second->sent)
                sent->result.set_value(0);
        k.queues.erase(id);
        k.priorities.erase(id);
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

bool PostQueueMessage(DWORD threadId, const MSG& m)
{
    Kernel& k = K();
    {
        std::lock_guard<std::mutex> lock(k.mutex);
        if (!IsLiveThreadId(threadId)) {
            SetLastError(ERROR_INVALID_THREAD_ID);
            return false;
        }
        std::shared_ptr<Queue>& q = k.queues[threadId];
        if (!q)
            q = std::make_shared<Queue>();
        q->messages.push_back(m);
    }
    k.changed.notify_all();
    return true;
}

LRESULT SendQueueMessage(DWORD threadId, const MSG& m)
{
    Kernel& k = K();
    auto sent = std::make_shared<Sent>();
    sent->msg = m;
    std::future<LRESULT> result = sent->result.get_future();
    {
        std::lock_guard<std::mutex> lock(k.mutex);
        if (!IsLiveThreadId(threadId))
            return 0;
        std::shared_ptr<Queue>& q = k.queues[threadId];
        if (!q)
            q = std::make_shared<Queue>();
        q->sent.push_back(sent);
    }
    k.changed.notify_all();
    return result.get();
}

void DropWindowMessages(HWND hwnd)
{
    Kernel& k = K();
    std::lock_guard<std::mutex> lock(k.mutex);
    for (auto& q : k.queues) {
        auto& messages = q.second->messages;
        messages.erase(std::remove_if(messages.begin(), messages.end(), [&](const MSG& m) { return m.hwnd == hwnd; }),
                       messages.end());
    }
}

}  // namespace host

using host::Object;

extern "C" {

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName)
{
    auto o = std::make_shared<Object>();
    o->kind = Object::Kind::Event;
    o->manualReset = bManualReset != FALSE;
    o->signalled = bInitialState != FALSE;
    return host::CreateNamed(std::move(o), lpName);
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName)
{
    std::u16string name;
    if (!host::AnsiName(lpName, &name))
        return nullptr;
    return CreateEventW(lpEventAttributes, bManualReset, bInitialState, lpName ? host::AsWide(name) : nullptr);
}

HANDLE WINAPI OpenEventW(DWORD, BOOL, LPCWSTR lpName)
{
    std::u16string name = host::NameOf(lpName);
    host::Kernel& k = host::K();
    std::lock_guard<std::mutex> lock(k.mutex);
    auto it = name.empty() ? k.names.end() : k.names.find(name);
    std::shared_ptr<Object> existing = it == k.names.end() ? nullptr : it->second.lock();
    if (!existing || existing->kind != Object::Kind::Event) {
        SetLastError(existing ? ERROR_INVALID_HANDLE : ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    return host::NewHandleLocked(k, existing);
}

HANDLE WINAPI OpenEventA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName)
{
    std::u16string name;
    if (!host::AnsiName(lpName, &name))
        return nullptr;
    return OpenEventW(dwDesiredAccess, bInheritHandle, lpName ? host::AsWide(name) : nullptr);
}

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCWSTR lpName)
{
    auto o = std::make_shared<Object>();
    o->kind = Object::Kind::Mutex;
    if (bInitialOwner) {
        o->owner = GetCurrentThreadId();
        o->recursion = 1;
    }
    return host::CreateNamed(std::move(o), lpName);
}

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpsa, BOOL bInitialOwner, LPCSTR lpName)
{
    std::u16string name;
    if (!host::AnsiName(lpName, &name))
        return nullptr;
    return CreateMutexW(lpsa, bInitialOwner, lpName ? host::AsWide(name) : nullptr);
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex)
{
    host::Kernel& k = host::K();
    const DWORD self = GetCurrentThreadId();
    {
        std::lock_guard<std::mutex> lock(k.mutex);
        std::shared_ptr<Object> o = host::FindLocked(k, hMutex);
        if (!o || o->kind != Object::Kind::Mutex) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (o->owner != self) {
            SetLastError(ERROR_NOT_OWNER);
            return FALSE;
        }
        if (--o->recursion == 0) {
            o->owner = 0;
            host::HandOverLocked(*o);
        }
    }
    k.changed.notify_all();
    return TRUE;
}

HANDLE WINAPI CreateSemaphoreW(LPSECURITY_ATTRIBUTES, LONG lInitialCount, LONG lMaximumCount, LPCWSTR lpName)
{
    if (lMaximumCount <= 0 || lInitialCount < 0 || lInitialCount > lMaximumCount) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto o = std::make_shared<Object>();
    o->kind = Object::Kind::Semaphore;
    o->count = lInitialCount;
    o->maximum = lMaximumCount;
    return host::CreateNamed(std::move(o), lpName);
}

HANDLE WINAPI CreateSemaphoreA(LPSECURITY_ATTRIBUTES lpsa, LONG lInitialCount, LONG lMaximumCount, LPCSTR lpName)
{
    std::u16string name;
    if (!host::AnsiName(lpName, &name))
        return nullptr;
    return CreateSemaphoreW(lpsa, lInitialCount, lMaximumCount, lpName ? host::AsWide(name) : nullptr);
}

BOOL WINAPI ReleaseSemaphore(HANDLE hSemaphore, LONG lReleaseCount, LPLONG lpPreviousCount)
{
    host::Kernel& k = host::K();
    {
        std::lock_guard<std::mutex> lock(k.mutex);
        std::shared_ptr<Object> o = host::FindLocked(k, hSemaphore);
        if (!o || o->kind != Object::Kind::Semaphore) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (lReleaseCount <= 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (lReleaseCount > o->maximum - o->count) {
            SetLastError(ERROR_TOO_MANY_POSTS);
            return FALSE;
        }
        if (lpPreviousCount)
            *lpPreviousCount = o->count;
        o->count += lReleaseCount;
        host::HandOverLocked(*o);
    }
    k.changed.notify_all();
    return TRUE;
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
    host::Wait wait;
    wait.thread = GetCurrentThreadId();
    std::unique_lock<std::mutex> lock(k.mutex);
    for (DWORD i = 0; i < nCount; ++i) {
        std::shared_ptr<Object> o = host::FindLocked(k, lpHandles[i]);
        if (!o) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        wait.objects.push_back(std::move(o));
    }
    for (size_t i = 0; i < wait.objects.size(); ++i)
        if (host::TakeObjectLocked(*wait.objects[i], wait.thread))
            return WAIT_OBJECT_0 + static_cast<DWORD>(i);
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
    // Every living thread can be posted to; its queue is made on demand.
    return host::PostQueueMessage(idThread, m) ? TRUE : FALSE;
}

BOOL WINAPI GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax)
{
    if (lpMsg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (hWnd != nullptr && !IsWindow(hWnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    host::Kernel& k = host::K();
    std::unique_lock<std::mutex> lock(k.mutex);
    for (;;) {
        host::RunSentLocked(k, lock);
        // A reset drops the queue; the wait goes on with a new one.
        host::Queue& q = host::OwnQueueLocked(k);
        if (host::TakeLocked(q, lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, true))
            return lpMsg->message == WM_QUIT ? FALSE : TRUE;
        k.changed.wait(lock);
    }
}

BOOL WINAPI PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg)
{
    if (hWnd != nullptr && !IsWindow(hWnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    host::Kernel& k = host::K();
    std::unique_lock<std::mutex> lock(k.mutex);
    host::RunSentLocked(k, lock);
    host::Queue& q = host::OwnQueueLocked(k);
    if (lpMsg == nullptr)
        return FALSE;
    return host::TakeLocked(q, lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, (wRemoveMsg & PM_REMOVE) != 0) ? TRUE
                                                                                                          : FALSE;
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
