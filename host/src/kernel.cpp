// Kernel objects (events, mutexes, semaphores), handles, waits and the tick
// count.  Threads are kernel_threads.cpp's, thread message queues (with the
// messages of the thread's windows) kernel_messages.cpp's; the three share
// kernel_state.h.
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
#include <cstdio>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/clock.h"
#include "host/kernel.h"
#include "host_internal.h"
#include "kernel_state.h"
#include "autoclock.h"

namespace host {

Kernel& K()
{
    static Kernel* kernel = new Kernel;
    return *kernel;
}

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

// Caller holds the kernel's mutex.  What a blocked wait waits for, for the
// hung report: each object's kind, name and handle.
std::string DescribeWaitLocked(const Wait& w)
{
    Kernel& k = K();
    std::string out;
    for (const auto& o : w.objects) {
        static const char* const kKinds[] = {"event", "thread", "mutex", "semaphore"};
        std::string one = kKinds[static_cast<int>(o->kind)];
        if (o->kind == Object::Kind::Event)
            one = (o->manualReset ? "manual-reset " : "auto-reset ") + one;
        if (o->kind == Object::Kind::Thread)
            one += " " + std::to_string(o->threadId);
        if (!o->name.empty()) {
            std::string name;
            for (char16_t c : o->name)
                name += c < 0x80 ? static_cast<char>(c) : '?';
            one += " '" + name + "'";
        }
        for (const auto& h : k.handles) {
            if (h.second == o) {
                char buf[32];
                std::snprintf(buf, sizeof buf, " (handle %p)", h.first);
                one += buf;
                break;
            }
        }
        out += (out.empty() ? "" : ", ") + one;
    }
    return out;
}

namespace {

std::shared_ptr<Object> FindEvent(HANDLE h)
{
    Kernel& k = K();
    std::lock_guard<std::mutex> lock(k.mutex);
    std::shared_ptr<Object> o = FindLocked(k, h);
    return o && o->kind == Object::Kind::Event ? o : nullptr;
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
        autoclock::Wake(w->thread, w);
    }
}

}  // namespace

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
        autoclock::Wake(w->thread, w);
        if (autoReset)
            return;
    }
    o.signalled = true;
}

namespace {

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
    {
        host::Kernel& k = host::K();
        std::lock_guard<std::mutex> lock(k.mutex);
        auto it = k.handles.find(hObject);
        if (it != k.handles.end()) {
            std::shared_ptr<Object> o = it->second;
            k.handles.erase(it);
            // A name lasts as long as some handle to its event does.
            if (!o->name.empty() && o.use_count() == 1)
                k.names.erase(o->name);
            return TRUE;
        }
    }
    // Not a kernel object's: a file's (files.cpp), closed without the
    // kernel's lock, or no handle at all.
    if (host::CloseFileHandle(hObject))
        return TRUE;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
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
    if (host::autoclock::On() && !host::autoclock::OnService() && dwMilliseconds != 0) {
        // The self-moving clock: the time-out is virtual, ended by the clock.
        host::autoclock::Blocked b(nCount == 1 ? "WaitForSingleObject" : "WaitForMultipleObjects", &wait,
                                   dwMilliseconds, host::autoclock::Poke::Kernel,
                                   [&wait] { return host::DescribeWaitLocked(wait); });
        k.changed.wait(lock, [&] { return released() || b.TimedOut(); });
    } else if (dwMilliseconds == INFINITE) {
        k.changed.wait(lock, released);
    } else {
        k.changed.wait_for(lock, std::chrono::milliseconds(dwMilliseconds), released);
    }
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
DWORD WINAPI GetTickCount(void)
{
    if (host::autoclock::On())
        host::autoclock::NotePoll();
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
