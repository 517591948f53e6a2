// The self-moving virtual clock's ledger of the program's threads: which
// are known, which wait in the platform's own calls, on what and until when.
// The timer service (clock_virtual.cpp) moves the clock only when every
// known thread waits; the waits (kernel.cpp, kernel_messages.cpp,
// kernel_threads.cpp, critsec.cpp, Sleep) report themselves here.
//
// Counting.  `running` counts known threads that are not waiting, plus
// threads being created that have not started yet.  A thread that blocks
// takes itself off; whoever satisfies its wait puts it back on *before*
// the waiter runs again (under the lock that decided the wait), so the
// count never touches 0 while a woken thread has yet to run.  That is what
// makes a run repeatable: the clock jumps only from a state in which
// nothing runs.
//
// Locks: the ledger's mutex is a leaf.  A blocking thread may hold the
// kernel's mutex when it reports its wait, and then takes the clock
// service's mutex to wake the service; the service holds its own mutex
// while it reads the ledger, but never takes the kernel's with it held.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "host/clock.h"
#include "host/platform.h"

namespace host {
namespace autoclock {

// True while the self-moving clock is in use: one atomic load.
bool On();
// Switches the ledger on or off, forgetting every thread; on: the calling
// thread joins as the program's main thread.  Clock service, its mutex held.
void Restart(bool on);
// The timer service's thread: never in the ledger (its idleness is the
// service's own: no tick due now).
void MarkServiceThread();
bool OnService();

// A thread about to be created: counted as running until it starts, so its
// creator cannot leave the clock free to move in between.
void AddSlot();
// The calling thread joins (taking the slot AddSlot made, with `slot`), and
// leaves as it ends.
void Attach(bool slot);
void Detach();

// What GetMessage waits on: the thread's own queue.
extern const char kMessageWait;

// How a waiter is woken when its time-out falls due.
enum class Poke { Kernel, Ledger };

// One blocked wait of the calling thread, from construction to destruction.
// `on` names what it waits for (a kernel wait record, a section, the
// thread's message queue); Wake(tid, on) ends exactly that wait.
// timeoutMs: INFINITE for none.  Nothing is recorded when the clock is
// off or on the service thread (Active() is false then).
class Blocked {
public:
    Blocked(const char* call, const void* on, DWORD timeoutMs, Poke poke, std::function<std::string()> describe);
    ~Blocked();
    bool Active() const { return active_; }
    // The wait's time passed on the virtual clock (any lock; an atomic).
    bool TimedOut() const { return timedOut_.load(std::memory_order_acquire); }
    // Ledger-poked waits: waits on the ledger's own condition until woken.
    void WaitHere();

private:
    std::function<std::string()> describe_;   // read by the hung report, under the kernel's mutex
    bool active_ = false;
    std::atomic<bool> timedOut_{false};
};

// The wait of thread `tid` on `on` is satisfied: the thread counts as
// running again.  Any lock but the ledger's and the clock service's.
void Wake(DWORD tid, const void* on);
// Every thread waiting on `on` (a critical section left) runs again;
// notifies the ledger's waiters.
void WakeAll(const void* on);

// A critical section's contended Enter: waits until the section's
// generation moves from `seen` (a Leave), counted as waiting; returns at once
// if it moved already.
void WaitSection(const void* section, const std::atomic<uint32_t>& gen, uint32_t seen, DWORD holder);
// A Leave: bumps the generation and wakes the section's waiters.
void SectionLeft(const void* section, std::atomic<uint32_t>& gen);

// A read of the clock by a thread that has not waited since: a loop of
// them is reported once (the clock cannot move while the thread spins).
void NotePoll();
uint64_t PollWarnings();

// ---- For the service (its mutex held; takes the ledger's) ----------------
struct Look {
    int running = 0;
    bool hasDeadline = false;
    uint64_t deadlineNs = 0;   // the earliest time-out of a waiting thread
    bool threads = false;      // any known thread at all
};
Look LookLocked();
// Ends every wait whose time-out is at or before nowNs.  Service mutex NOT
// held (it pokes the kernel).
void TimeOutDue(uint64_t nowNs);
// Every thread waits for ever and nothing is due: builds the report and
// calls the handler.  Service mutex NOT held.
void ReportHung(uint64_t nowNs);

}  // namespace autoclock
}  // namespace host
