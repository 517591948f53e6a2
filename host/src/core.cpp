// Core services: local heap, critical sections, atomics, thread error codes,
// wide strings, the kernel debug output, memory permissions, and the driver's
// heap with its fault switches.
#include <sys/mman.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "host/host.h"
#include "host_internal.h"

namespace host {
namespace {

std::mutex g_stateMutex;
std::vector<std::string> g_debugLines;
std::function<void(const std::string&)> g_debugEcho;
Counters g_counters;
std::vector<const void*> g_driverFreed;

// Counters are bumped without the mutex (they sit on the tick's path).
void Bump(unsigned long& counter)
{
    __atomic_fetch_add(&counter, 1, __ATOMIC_RELAXED);
}

std::atomic<DWORD> g_nextThreadId{1};
thread_local DWORD t_threadId = 0;
thread_local DWORD t_lastError = 0;
thread_local DWORD t_permissions = 1;

}  // namespace

// Critical sections entered by this thread, innermost last, for tests that
// ask how many levels a thread holds.  The fault guard never releases them.
thread_local std::vector<CRITICAL_SECTION*> t_lockJournal;

struct HostCriticalSection {
    std::mutex mutex;
    std::atomic<DWORD> owner{0};
    unsigned depth = 0;   // written by the owner only
};

std::vector<std::string> DebugLines()
{
    std::lock_guard<std::mutex> lock(g_stateMutex);
    return g_debugLines;
}

void ClearDebug()
{
    std::lock_guard<std::mutex> lock(g_stateMutex);
    g_debugLines.clear();
}

void SetDebugEcho(std::function<void(const std::string&)> fn)
{
    std::lock_guard<std::mutex> lock(g_stateMutex);
    g_debugEcho = std::move(fn);
}

void AccessFaultIf(Fault f)
{
    if (!ShouldFail(f))
        return;
    static void* const page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    *static_cast<volatile char*>(page) = 1;
}

Counters GetCounters()
{
    Counters c;
    c.localAllocs = __atomic_load_n(&g_counters.localAllocs, __ATOMIC_RELAXED);
    c.localFrees = __atomic_load_n(&g_counters.localFrees, __ATOMIC_RELAXED);
    c.driverMallocs = __atomic_load_n(&g_counters.driverMallocs, __ATOMIC_RELAXED);
    c.driverFrees = __atomic_load_n(&g_counters.driverFrees, __ATOMIC_RELAXED);
    c.disableThreadLibraryCalls = __atomic_load_n(&g_counters.disableThreadLibraryCalls, __ATOMIC_RELAXED);
    return c;
}

std::vector<const void*> DriverFreedBlocks()
{
    std::lock_guard<std::mutex> lock(g_stateMutex);
    return g_driverFreed;
}

void ResetCore()
{
    std::lock_guard<std::mutex> lock(g_stateMutex);
    g_debugLines.clear();
    for (unsigned long* c : {&g_counters.localAllocs, &g_counters.localFrees, &g_counters.driverMallocs,
                             &g_counters.driverFrees, &g_counters.disableThreadLibraryCalls})
        __atomic_store_n(c, 0, __ATOMIC_RELAXED);
    g_driverFreed.clear();
}

unsigned HeldLevels(const CRITICAL_SECTION* cs)
{
    unsigned n = 0;
    for (CRITICAL_SECTION* c : t_lockJournal)
        n += (c == cs);
    return n;
}

bool IsFree(CRITICAL_SECTION* cs)
{
    auto* h = static_cast<HostCriticalSection*>(cs->hCrit);
    if (h == nullptr)
        return true;
    bool free = false;
    std::thread([&] {
        if (h->mutex.try_lock()) {
            free = true;
            h->mutex.unlock();
        }
    }).join();
    return free;
}

std::u16string Widen(const std::string& s)
{
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        char32_t cp;
        int extra;
        if (c < 0x80) { cp = c; extra = 0; }
        else if ((c >> 5) == 6) { cp = c & 0x1F; extra = 1; }
        else if ((c >> 4) == 14) { cp = c & 0x0F; extra = 2; }
        else { cp = c & 0x07; extra = 3; }
        ++i;
        for (int k = 0; k < extra && i < s.size(); ++k, ++i)
            cp = (cp << 6) | (static_cast<unsigned char>(s[i]) & 0x3F);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

static void AppendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

static std::string NarrowN(const WCHAR* s, size_t n)
{
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        char32_t cp = s[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        }
        AppendUtf8(out, cp);
    }
    return out;
}

std::string Narrow(const WCHAR* s)
{
    return s ? NarrowN(s, __wrap_wcslen(s)) : std::string();
}

std::string Narrow(const std::u16string& s)
{
    return NarrowN(reinterpret_cast<const WCHAR*>(s.data()), s.size());
}

static void RecordDebug(std::string line)
{
    std::function<void(const std::string&)> echo;
    {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        g_debugLines.push_back(line);
        echo = g_debugEcho;
    }
    if (echo)
        echo(line);
}

}  // namespace host

using host::HostCriticalSection;

extern "C" {

HLOCAL LocalAlloc(UINT uFlags, UINT uBytes)
{
    if (host::ShouldFail(host::Fault::LocalAlloc))
        return nullptr;
    void* p = (uFlags & LMEM_ZEROINIT) ? std::calloc(1, uBytes ? uBytes : 1) : std::malloc(uBytes ? uBytes : 1);
    if (p)
        host::Bump(host::g_counters.localAllocs);
    return p;
}

HLOCAL LocalFree(HLOCAL hMem)
{
    if (hMem) {
        host::Bump(host::g_counters.localFrees);
        std::free(hMem);
    }
    return nullptr;
}

DWORD GetCurrentThreadId(void)
{
    if (host::t_threadId == 0)
        host::t_threadId = host::g_nextThreadId.fetch_add(1);
    return host::t_threadId;
}

void InitializeCriticalSection(LPCRITICAL_SECTION cs)
{
    cs->LockCount = 0;
    cs->OwnerThread = nullptr;
    cs->hCrit = new HostCriticalSection;
    cs->needtrap = 0;
    cs->dwContentions = 0;
}

void DeleteCriticalSection(LPCRITICAL_SECTION cs)
{
    // Deleting a section that was never initialised, or twice, is harmless.
    delete static_cast<HostCriticalSection*>(cs->hCrit);
    cs->hCrit = nullptr;
    cs->LockCount = 0;
    cs->OwnerThread = nullptr;
}

void EnterCriticalSection(LPCRITICAL_SECTION cs)
{
    auto* h = static_cast<HostCriticalSection*>(cs->hCrit);
    if (h == nullptr) {
        std::fprintf(stderr, "host: EnterCriticalSection on a section that does not exist\n");
        std::abort();
    }
    DWORD self = GetCurrentThreadId();
    if (h->owner.load(std::memory_order_relaxed) == self) {
        ++h->depth;
    } else {
        if (!h->mutex.try_lock()) {
            h->mutex.lock();
            ++cs->dwContentions;
        }
        h->owner.store(self, std::memory_order_relaxed);
        h->depth = 1;
    }
    cs->LockCount = h->depth;
    cs->OwnerThread = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(self));
    host::t_lockJournal.push_back(cs);
}

void LeaveCriticalSection(LPCRITICAL_SECTION cs)
{
    auto* h = static_cast<HostCriticalSection*>(cs->hCrit);
    DWORD self = GetCurrentThreadId();
    if (h == nullptr || h->owner.load(std::memory_order_relaxed) != self) {
        std::fprintf(stderr, "host: LeaveCriticalSection by a thread that does not hold it\n");
        std::abort();
    }
    auto& journal = host::t_lockJournal;
    for (size_t i = journal.size(); i > 0; --i) {
        if (journal[i - 1] == cs) {
            journal.erase(journal.begin() + static_cast<std::ptrdiff_t>(i - 1));
            break;
        }
    }
    if (--h->depth == 0) {
        cs->LockCount = 0;
        cs->OwnerThread = nullptr;
        h->owner.store(0, std::memory_order_relaxed);
        h->mutex.unlock();
    } else {
        cs->LockCount = h->depth;
    }
}

LONG InterlockedIncrement(LPLONG p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
LONG InterlockedDecrement(LPLONG p) { return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST); }
LONG InterlockedExchange(LPLONG p, LONG v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
LONG InterlockedCompareExchange(LPLONG p, LONG exchange, LONG comperand)
{
    __atomic_compare_exchange_n(p, &comperand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comperand;
}

void Sleep(DWORD ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

BOOL DisableThreadLibraryCalls(HINSTANCE)
{
    host::Bump(host::g_counters.disableThreadLibraryCalls);
    return TRUE;
}

void SetLastError(DWORD code) { host::t_lastError = code; }
DWORD GetLastError(void) { return host::t_lastError; }

// Threads on a development machine can already read every buffer of the
// process; the mask is kept so that a save and restore round-trips.
DWORD GetCurrentPermissions(void) { return host::t_permissions; }
DWORD SetProcPermissions(DWORD newperms)
{
    DWORD old = host::t_permissions;
    host::t_permissions = newperms;
    return old;
}

// printf-style output over a UTF-16 format: %d %i %u %x %X %c %s (UTF-16
// string) %p %%, with flags, width, and the h/l size prefixes.
void NKDbgPrintfW(LPCWSTR fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::string out;
    for (const WCHAR* p = fmt; p && *p; ++p) {
        if (*p != '%') {
            char32_t cp = *p;
            if (cp >= 0xD800 && cp < 0xDC00 && p[1] >= 0xDC00 && p[1] < 0xE000) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (p[1] - 0xDC00);
                ++p;
            }
            host::AppendUtf8(out, cp);
            continue;
        }
        std::string conv = "%";
        ++p;
        while (*p == '-' || *p == '0' || *p == '+' || *p == ' ' || *p == '#')
            conv += static_cast<char>(*p++);
        while (*p >= '0' && *p <= '9')
            conv += static_cast<char>(*p++);
        while (*p == 'l' || *p == 'h')
            ++p;   // every integer argument is 32-bit
        char buf[64];
        switch (*p) {
        case 'd': case 'i':
            std::snprintf(buf, sizeof buf, (conv + "d").c_str(), va_arg(ap, int));
            out += buf;
            break;
        case 'u': case 'x': case 'X':
            std::snprintf(buf, sizeof buf, (conv + static_cast<char>(*p)).c_str(), va_arg(ap, unsigned));
            out += buf;
            break;
        case 'c':
            host::AppendUtf8(out, static_cast<char32_t>(va_arg(ap, int) & 0xFFFF));
            break;
        case 's':
            out += host::Narrow(va_arg(ap, const WCHAR*));
            break;
        case 'p':
            std::snprintf(buf, sizeof buf, "%p", va_arg(ap, void*));
            out += buf;
            break;
        case '%':
            out += '%';
            break;
        case 0:
            --p;
            break;
        default:
            out += conv;
            host::AppendUtf8(out, *p);
            break;
        }
    }
    va_end(ap);
    host::RecordDebug(std::move(out));
}

// The driver's heap.  The driver library is linked with --wrap for malloc and
// free, so its calls arrive here: a fault switch can refuse an allocation,
// and every block it frees is recorded.  An allocation takes no lock unless a
// fault switch is armed; the driver frees only packets the library refused,
// so the record of frees stays off the tick's usual path.
void* __wrap_malloc(size_t n)
{
    if (host::ShouldFail(host::Fault::Malloc))
        return nullptr;
    host::Bump(host::g_counters.driverMallocs);
    return std::malloc(n);
}

void __wrap_free(void* p)
{
    if (p) {
        host::Bump(host::g_counters.driverFrees);
        std::lock_guard<std::mutex> lock(host::g_stateMutex);
        host::g_driverFreed.push_back(p);
    }
    std::free(p);
}

}  // extern "C"

// The platform's wide-string routines over 16-bit characters.  The driver
// library is linked with --wrap for their names, so its calls arrive here;
// the host never defines wcscpy, wcsncmp or wcslen itself, which would take
// the place of the C library's 32-bit routines for the whole process.
extern "C" {

WCHAR* __wrap_wcscpy(WCHAR* dst, const WCHAR* src)
{
    WCHAR* d = dst;
    while ((*d++ = *src++) != 0) {
    }
    return dst;
}

int __wrap_wcsncmp(const WCHAR* a, const WCHAR* b, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        if (a[i] != b[i])
            return a[i] < b[i] ? -1 : 1;
        if (a[i] == 0)
            return 0;
    }
    return 0;
}

size_t __wrap_wcslen(const WCHAR* s)
{
    size_t n = 0;
    while (s[n])
        ++n;
    return n;
}

}  // extern "C"
