// Critical sections: recursive locks owned by a thread, with a record of the
// levels each thread holds for the tests that ask.  As on the platform, a
// thread that waits for a section lends its priority to the holder until
// the holder leaves it (a PiMutex, realtime.h); the timer thread's waits
// inside an audited tick are measured, with the holder.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "host/host.h"
#include "host/realtime.h"
#include "host_internal.h"
#include "autoclock.h"

namespace host {

// Critical sections entered by this thread, innermost last, for tests that
// ask how many levels a thread holds.  The fault guard never releases them.
thread_local std::vector<CRITICAL_SECTION*> t_lockJournal;

// What hCrit points at.  The mutex is the section itself: held by the owner
// from its first Enter to its last Leave.
struct HostCriticalSection {
    PiMutex mutex;
    std::atomic<DWORD> owner{0};   // thread id of the holder, 0 when free; written by the holder
    std::atomic<uint32_t> left{0}; // Leaves so far, for the self-moving clock's waits (autoclock.h)
    unsigned depth = 0;            // levels the holder has entered; written by the owner only
};

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

}  // namespace host

using host::HostCriticalSection;

extern "C" {

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
        if (host::autoclock::On() && !host::autoclock::OnService()) {
            // The self-moving clock: a contended Enter waits where the clock
            // sees it, and tries again after each Leave.
            for (bool first = true;; first = false) {
                const uint32_t seen = h->left.load(std::memory_order_acquire);
                if (h->mutex.try_lock())
                    break;
                if (first)
                    ++cs->dwContentions;
                host::autoclock::WaitSection(h, h->left, seen, h->owner.load(std::memory_order_relaxed));
            }
        } else if (!h->mutex.try_lock()) {
            const DWORD holder = h->owner.load(std::memory_order_relaxed);
            const uint64_t begin = host::TickPartBegin(host::TickPart::Lock);
            h->mutex.lock();
            host::TickPartEnd(host::TickPart::Lock, begin, holder);
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
        if (host::autoclock::On())
            host::autoclock::SectionLeft(h, h->left);
    } else {
        cs->LockCount = h->depth;
    }
}

}  // extern "C"
