// VirtualAlloc and VirtualFree over the host's own pages (mmap, mprotect,
// munmap).  A region is what one reservation took; VirtualFree with
// MEM_RELEASE takes back a whole region by the address VirtualAlloc
// answered, as on the platform, so the regions are remembered.
// Any thread; the regions' mutex is a leaf.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <mutex>

#include "host/host.h"
#include "host_internal.h"

namespace {

std::mutex& g_vmMutex = *new std::mutex;
std::map<uintptr_t, size_t>& g_regions = *new std::map<uintptr_t, size_t>;   // base -> length

size_t PageSize() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

bool Protection(DWORD flProtect, int* prot)
{
    switch (flProtect & ~static_cast<DWORD>(PAGE_NOCACHE | PAGE_GUARD)) {
    case PAGE_NOACCESS: *prot = PROT_NONE; return true;
    case PAGE_READONLY: *prot = PROT_READ; return true;
    case PAGE_READWRITE: *prot = PROT_READ | PROT_WRITE; return true;
    default: return false;   // executable pages are not given to device code here
    }
}

// The region that holds [p, p + n); caller holds g_vmMutex.
bool InRegionLocked(uintptr_t p, size_t n)
{
    auto it = g_regions.upper_bound(p);
    if (it == g_regions.begin())
        return false;
    --it;
    return p >= it->first && p + n <= it->first + it->second;
}

LPVOID Fail(DWORD error)
{
    SetLastError(error);
    return nullptr;
}

}  // namespace

extern "C" {

LPVOID VirtualAlloc(LPVOID lpAddress, DWORD dwSize, DWORD flAllocationType, DWORD flProtect)
{
    int prot = 0;
    const DWORD kinds = flAllocationType & (MEM_COMMIT | MEM_RESERVE);
    if (dwSize == 0 || kinds == 0 || !Protection(flProtect, &prot) ||
        (flAllocationType & ~static_cast<DWORD>(MEM_COMMIT | MEM_RESERVE | MEM_TOP_DOWN)) != 0)
        return Fail(ERROR_INVALID_PARAMETER);
    const size_t page = PageSize();
    std::lock_guard<std::mutex> lock(g_vmMutex);
    if (kinds & MEM_RESERVE) {
        // A new region (an address asked for is a wish the host does not
        // grant: the platform may also place it elsewhere when it is taken).
        const size_t length = (static_cast<size_t>(dwSize) + page - 1) / page * page;
        void* p = mmap(nullptr, length, (kinds & MEM_COMMIT) ? prot : PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS,
                       -1, 0);
        if (p == MAP_FAILED)
            return Fail(ERROR_NOT_ENOUGH_MEMORY);
        g_regions[reinterpret_cast<uintptr_t>(p)] = length;
        return p;
    }
    // Commit inside a reserved region: the pages that hold the range.
    const uintptr_t start = reinterpret_cast<uintptr_t>(lpAddress) / page * page;
    const uintptr_t end = (reinterpret_cast<uintptr_t>(lpAddress) + dwSize + page - 1) / page * page;
    if (lpAddress == nullptr || !InRegionLocked(start, end - start))
        return Fail(ERROR_INVALID_ADDRESS);
    if (mprotect(reinterpret_cast<void*>(start), end - start, prot) != 0)
        return Fail(ERROR_INVALID_PARAMETER);
    return reinterpret_cast<LPVOID>(start);
}

BOOL VirtualFree(LPVOID lpAddress, DWORD dwSize, DWORD dwFreeType)
{
    const uintptr_t base = reinterpret_cast<uintptr_t>(lpAddress);
    const size_t page = PageSize();
    std::lock_guard<std::mutex> lock(g_vmMutex);
    if (dwFreeType == MEM_RELEASE) {
        auto it = g_regions.find(base);
        if (dwSize != 0 || it == g_regions.end()) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        munmap(lpAddress, it->second);
        g_regions.erase(it);
        return TRUE;
    }
    if (dwFreeType != MEM_DECOMMIT) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Decommitted pages read as zero when committed again, as new pages do.
    const uintptr_t start = base / page * page;
    const uintptr_t end = dwSize == 0 ? 0 : (base + dwSize + page - 1) / page * page;
    auto it = g_regions.find(start);
    const size_t length = dwSize == 0 && it != g_regions.end() ? it->second : end - start;
    if (lpAddress == nullptr || (dwSize == 0 && it == g_regions.end()) || !InRegionLocked(start, length)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    void* p = mmap(reinterpret_cast<void*>(start), length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    return p != MAP_FAILED;
}

}  // extern "C"
