// The driver's heap.  The driver library is linked with --wrap for malloc and
// free, so its calls arrive here: a fault switch can refuse an allocation,
// and every block it frees is recorded.
//
// On the platform the driver's heap is the process heap, guarded by a
// critical section, which lends a waiting thread's priority to the holder.
// The timer thread allocates a packet on every tick and the library's
// normal-priority thread frees it, so the host serves the driver from a heap
// of its own under a PiMutex rather than from the C++ heap, whose lock lends
// nothing: a tick that waits for the heap then waits no longer than the
// holder's few instructions at the tick's priority.
//
// The heap hands out blocks in power-of-two classes (64 bytes to 64 KiB,
// each with a 16-byte header naming its class) carved from one region
// reserved at the first allocation; a freed block goes back to its class's
// list for reuse.  So the heap holds at most the most blocks of each class
// ever live at once, and never more than the region.  Larger blocks, and
// blocks once the region is used up, come from the C++ heap (counted and
// faulted alike).  Under AddressSanitizer a block's slack past the size asked
// for and every free block are poisoned, so an overrun or a use after free is
// still reported, and so is a second free.
#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "host/host.h"
#include "host/realtime.h"
#include "host_internal.h"

#if defined(__SANITIZE_ADDRESS__)
#define HOST_HEAP_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HOST_HEAP_ASAN 1
#endif
#endif
#ifdef HOST_HEAP_ASAN
#include <sanitizer/asan_interface.h>
#define HEAP_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define HEAP_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define HEAP_POISON(p, n) ((void)(p), (void)(n))
#define HEAP_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace host {
namespace {

constexpr size_t kHeader = 16;                  // keeps blocks 16-byte aligned
constexpr unsigned kMinShift = 6;               // 64-byte blocks
constexpr unsigned kMaxShift = 16;              // 64 KiB blocks
constexpr unsigned kClasses = kMaxShift - kMinShift + 1;
constexpr size_t kRegionBytes = size_t(32) << 20;   // the most the heap ever holds
constexpr uint32_t kMagic = 0x48656170u;

struct Header {
    uint32_t magic;
    uint32_t cls;
    uint64_t pad;
};
static_assert(sizeof(Header) == kHeader, "a block's header keeps its payload aligned");

struct FreeBlock {
    FreeBlock* next;
};

struct Heap {
    PiMutex mutex;                        // guards everything below; a leaf
    std::atomic<uint8_t*> region{nullptr};   // reserved at the first allocation (null: none yet); read
                                             // without the mutex by frees
    bool regionFailed = false;            // the reservation was refused: the C++ heap serves all
    size_t used = 0;                      // bytes of the region carved into blocks
    FreeBlock* free[kClasses] = {};       // freed blocks by class
    size_t live[kClasses] = {};           // blocks handed out and not freed, by class
    size_t carved[kClasses] = {};         // blocks carved, by class
};

Heap& H()
{
    static Heap* h = new Heap;   // never destroyed: a thread may free a packet as the process ends
    return *h;
}

unsigned ClassOf(size_t n)
{
    const size_t need = n + kHeader;
    unsigned shift = kMinShift;
    while ((size_t(1) << shift) < need)
        ++shift;
    return shift - kMinShift;
}

size_t ClassBytes(unsigned cls)
{
    return size_t(1) << (cls + kMinShift);
}

bool InRegion(const Heap& h, const void* p)
{
    const uint8_t* region = h.region.load(std::memory_order_acquire);
    const uint8_t* b = static_cast<const uint8_t*>(p);
    return region != nullptr && b >= region && b < region + kRegionBytes;
}

// A block of class cls from the region, or null when it is used up.  Caller
// holds h.mutex.
uint8_t* TakeLocked(Heap& h, unsigned cls)
{
    if (FreeBlock* f = h.free[cls]) {
        HEAP_UNPOISON(f, sizeof(FreeBlock));
        h.free[cls] = f->next;
        HEAP_POISON(f, sizeof(FreeBlock));
        return reinterpret_cast<uint8_t*>(f) - kHeader;
    }
    uint8_t* region = h.region.load(std::memory_order_relaxed);
    if (region == nullptr && !h.regionFailed) {
        // Reserved, not committed: pages cost memory only once touched.
        void* r = mmap(nullptr, kRegionBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                       -1, 0);
        if (r == MAP_FAILED) {
            h.regionFailed = true;
        } else {
            region = static_cast<uint8_t*>(r);
            HEAP_POISON(region, kRegionBytes);
            h.region.store(region, std::memory_order_release);
        }
    }
    const size_t bytes = ClassBytes(cls);
    if (region == nullptr || kRegionBytes - h.used < bytes)
        return nullptr;
    uint8_t* b = region + h.used;
    h.used += bytes;
    ++h.carved[cls];
    return b;
}

void* Allocate(size_t n)
{
    if (n <= ClassBytes(kClasses - 1) - kHeader) {
        const unsigned cls = ClassOf(n);
        Heap& h = H();
        uint8_t* b;
        {
            std::lock_guard<PiMutex> lock(h.mutex);
            b = TakeLocked(h, cls);
            if (b != nullptr)
                ++h.live[cls];
        }
        if (b != nullptr) {
            HEAP_UNPOISON(b, kHeader);
            Header* hd = reinterpret_cast<Header*>(b);
            hd->magic = kMagic;
            hd->cls = cls;
            HEAP_POISON(b, kHeader);
            HEAP_UNPOISON(b + kHeader, n == 0 ? 1 : n);
            return b + kHeader;
        }
    }
    return std::malloc(n);
}

}  // namespace

void DriverHeapFree(void* p)
{
    if (p == nullptr)
        return;
    Heap& h = H();
    // The region's address is set once, before any block of it exists.
    if (!InRegion(h, p)) {
        std::free(p);
        return;
    }
    uint8_t* b = static_cast<uint8_t*>(p) - kHeader;
    HEAP_UNPOISON(b, kHeader);
    const Header hd = *reinterpret_cast<const Header*>(b);
    HEAP_POISON(b, kHeader);
    if (hd.magic != kMagic || hd.cls >= kClasses) {
        std::fprintf(stderr, "host: free of %p, which is no block of the driver's heap\n", p);
        std::abort();
    }
#ifdef HOST_HEAP_ASAN
    // A block's first byte is addressable from its allocation to its free.
    if (__asan_address_is_poisoned(p)) {
        std::fprintf(stderr, "host: the driver's block %p freed twice\n", p);
        std::abort();
    }
#endif
    HEAP_POISON(p, ClassBytes(hd.cls) - kHeader);
    HEAP_UNPOISON(p, sizeof(FreeBlock));
    std::lock_guard<PiMutex> lock(h.mutex);
    FreeBlock* f = static_cast<FreeBlock*>(p);
    f->next = h.free[hd.cls];
    h.free[hd.cls] = f;
    --h.live[hd.cls];
    HEAP_POISON(p, sizeof(FreeBlock));
}

DriverHeapUse GetDriverHeapUse()
{
    Heap& h = H();
    std::lock_guard<PiMutex> lock(h.mutex);
    DriverHeapUse u;
    u.reservedBytes = h.region.load(std::memory_order_relaxed) != nullptr ? kRegionBytes : 0;
    u.carvedBytes = h.used;
    for (unsigned c = 0; c < kClasses; ++c)
        u.liveBytes += h.live[c] * ClassBytes(c);
    return u;
}

namespace {
PiMutex g_freedMutex;                    // guards g_driverFreed; a leaf lock
std::vector<const void*> g_driverFreed;  // blocks the driver freed, in order (the latest kFreedKept)
constexpr size_t kFreedKept = size_t(1) << 16;
}  // namespace

std::vector<const void*> DriverFreedBlocks()
{
    std::lock_guard<PiMutex> lock(g_freedMutex);
    return g_driverFreed;
}

void ResetDriverHeap()
{
    std::lock_guard<PiMutex> lock(g_freedMutex);
    g_driverFreed.clear();
}

namespace {
// Keeps the latest kFreedKept, so that a long run refusing packets stays
// bounded; the oldest half goes when the record is full.
void RecordFree(const void* p)
{
    std::lock_guard<PiMutex> lock(g_freedMutex);
    if (g_driverFreed.size() >= kFreedKept)
        g_driverFreed.erase(g_driverFreed.begin(), g_driverFreed.begin() + kFreedKept / 2);
    g_driverFreed.push_back(p);
}
}  // namespace

}  // namespace host

extern "C" {

// Called by the driver on any of its threads, the tick's under its stream
// lock; takes the heap's PiMutex (a leaf) unless the block is too large for
// the heap's classes.
void* __wrap_malloc(size_t n)
{
    if (host::ShouldFail(host::Fault::Malloc))
        return nullptr;
    host::Bump(host::g_counters.driverMallocs);
    return host::Allocate(n);
}

// Records the block (a leaf PiMutex) and gives it back to the heap.
void __wrap_free(void* p)
{
    if (p) {
        host::Bump(host::g_counters.driverFrees);
        host::RecordFree(p);
    }
    host::DriverHeapFree(p);
}

}  // extern "C"
