// The fault table.  One slot per fault in the table's order; a count of
// armed slots lets a service on the tick's path decide with one atomic load
// that nothing can fail.
#include <sys/mman.h>

#include <atomic>
#include <mutex>

#include "host/faults.h"
#include "host/host.h"
#include "host/realtime.h"

namespace host {
namespace {

const FaultInfo kInfo[] = {
#define HOST_FAULT_INFO(name, spelling, what, unit, amount, lowest, highest, help) \
    {Fault::name, spelling, what, unit, amount, lowest, highest, help},
    HOST_FAULT_LIST(HOST_FAULT_INFO)
#undef HOST_FAULT_INFO
};
static_assert(sizeof kInfo / sizeof kInfo[0] == kFaultCount, "one entry per fault");

struct Slot {
    unsigned skip = 0;        // good occasions still to let through
    unsigned count = 0;       // failures still to come
    int64_t amount = 0;
    bool used = false;        // armed since the last clear
    unsigned armedSkip = 0;   // as armed, for the record
    unsigned armedCount = 0;
    uint64_t fired = 0;
};

PiMutex g_mutex;   // a leaf: guards g_slots; the timer thread takes it while a fault is armed
Slot g_slots[kFaultCount];
// Slots with failures still to come.  Written under g_mutex.
std::atomic<unsigned> g_armed{0};

// Caller holds g_mutex.
void RecountLocked()
{
    unsigned n = 0;
    for (const Slot& s : g_slots)
        n += s.count > 0;
    g_armed.store(n, std::memory_order_release);
}

}  // namespace

const FaultInfo& Describe(Fault f)
{
    return kInfo[static_cast<unsigned>(f)];
}

bool FaultByName(const std::string& spelling, Fault* out)
{
    for (const FaultInfo& i : kInfo) {
        if (spelling == i.spelling) {
            *out = i.fault;
            return true;
        }
    }
    return false;
}

void Arm(Fault f, unsigned count, unsigned skip, int64_t amount)
{
    std::lock_guard<host::PiMutex> lock(g_mutex);
    Slot& s = g_slots[static_cast<unsigned>(f)];
    s.skip = s.armedSkip = skip;
    s.count = s.armedCount = count;
    s.amount = amount;
    s.used = s.used || count > 0;
    RecountLocked();
}

void FailNext(Fault f, unsigned count, unsigned skip)
{
    Arm(f, count, skip, Describe(f).defaultAmount);
}

void ClearFaults()
{
    std::lock_guard<host::PiMutex> lock(g_mutex);
    for (Slot& s : g_slots)
        s = Slot{};
    RecountLocked();
}

unsigned FaultsLeft(Fault f)
{
    std::lock_guard<host::PiMutex> lock(g_mutex);
    return g_slots[static_cast<unsigned>(f)].count;
}

uint64_t FaultsFired(Fault f)
{
    std::lock_guard<host::PiMutex> lock(g_mutex);
    return g_slots[static_cast<unsigned>(f)].fired;
}

bool AnyFaultArmed()
{
    return g_armed.load(std::memory_order_acquire) != 0;
}

bool ShouldFail(Fault f, int64_t* amount)
{
    if (g_armed.load(std::memory_order_acquire) == 0)
        return false;
    std::lock_guard<host::PiMutex> lock(g_mutex);
    Slot& s = g_slots[static_cast<unsigned>(f)];
    if (s.count == 0)
        return false;
    if (s.skip > 0) {
        --s.skip;
        return false;
    }
    --s.count;
    ++s.fired;
    if (amount)
        *amount = s.amount;
    RecountLocked();
    return true;
}

std::vector<FaultRecord> FaultRecords()
{
    std::lock_guard<host::PiMutex> lock(g_mutex);
    std::vector<FaultRecord> out;
    for (unsigned i = 0; i < kFaultCount; ++i) {
        const Slot& s = g_slots[i];
        if (s.used)
            out.push_back({kInfo[i].fault, s.armedSkip, s.armedCount, s.amount, s.fired});
    }
    return out;
}

}  // namespace host

// ---- Memory-access faults ------------------------------------------------------

namespace host {

void AccessFaultIf(Fault f)
{
    if (!ShouldFail(f))
        return;
    static void* const page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    *static_cast<volatile char*>(page) = 1;
}

}  // namespace host
