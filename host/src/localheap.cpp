// The local heap: LocalAlloc, LocalReAlloc, LocalSize and LocalFree over the
// C runtime's heap, counted, with a fault switch that refuses an allocation.
// Each block's size as asked is kept beside it, for LocalSize and for the
// bytes LMEM_ZEROINIT adds in LocalReAlloc.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "host/host.h"
#include "host_internal.h"

namespace {

// Guards g_sizes; a leaf.  Never destroyed: a driver may free a block as
// the process ends.
std::mutex& g_sizeMutex = *new std::mutex;
std::unordered_map<void*, UINT>& g_sizes = *new std::unordered_map<void*, UINT>;

bool SizeOf(void* p, UINT* size)
{
    std::lock_guard<std::mutex> lock(g_sizeMutex);
    auto it = g_sizes.find(p);
    if (it == g_sizes.end())
        return false;
    *size = it->second;
    return true;
}

}  // namespace

extern "C" {

HLOCAL LocalAlloc(UINT uFlags, UINT uBytes)
{
    if (host::ShouldFail(host::Fault::LocalAlloc))
        return nullptr;
    void* p = (uFlags & LMEM_ZEROINIT) ? std::calloc(1, uBytes ? uBytes : 1) : std::malloc(uBytes ? uBytes : 1);
    if (p) {
        host::Bump(host::g_counters.localAllocs);
        std::lock_guard<std::mutex> lock(g_sizeMutex);
        g_sizes[p] = uBytes;
    }
    return p;
}

HLOCAL LocalFree(HLOCAL hMem)
{
    if (hMem) {
        host::Bump(host::g_counters.localFrees);
        {
            std::lock_guard<std::mutex> lock(g_sizeMutex);
            g_sizes.erase(hMem);
        }
        std::free(hMem);
    }
    return nullptr;
}

UINT LocalSize(HLOCAL hMem)
{
    UINT size = 0;
    if (!SizeOf(hMem, &size))
        SetLastError(ERROR_INVALID_HANDLE);
    return size;
}

// The platform's heap never moves a block that was not allowed to move: a
// larger block without LMEM_MOVEABLE fails where growing in place is not
// possible, and the C runtime's heap cannot promise that.  LMEM_MODIFY
// changes only flags, which a fixed heap does not keep.
HLOCAL LocalReAlloc(HLOCAL hMem, UINT uBytes, UINT uFlags)
{
    UINT old = 0;
    if (!SizeOf(hMem, &old)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (uFlags & LMEM_MODIFY)
        return hMem;
    if (uBytes > old && !(uFlags & LMEM_MOVEABLE)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (!(uFlags & LMEM_MOVEABLE)) {
        // Shrinking in place: the block keeps its address and its bytes.
        std::lock_guard<std::mutex> lock(g_sizeMutex);
        g_sizes[hMem] = uBytes;
        return hMem;
    }
    if (host::ShouldFail(host::Fault::LocalAlloc)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // The size is moved under the lock, so that no allocation on another
    // thread can take the freed address and lose its size to this one.
    void* p;
    {
        std::lock_guard<std::mutex> lock(g_sizeMutex);
        p = std::realloc(hMem, uBytes ? uBytes : 1);
        if (p != nullptr) {
            g_sizes.erase(hMem);
            g_sizes[p] = uBytes;
        }
    }
    if (p == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if ((uFlags & LMEM_ZEROINIT) && uBytes > old)
        std::memset(static_cast<char*>(p) + old, 0, uBytes - old);
    return p;
}

}  // extern "C"
