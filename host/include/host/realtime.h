// What the host does for real time beyond the clock: locks that lend their
// holder the waiter's priority, names for threads, and the account of late
// ticks on the real clock, told apart by a bare probe thread.
//
// Priority inheritance.  The platform's critical sections and mutexes give a
// lower-priority holder the priority of a higher-priority waiter until it
// releases them (semaphores do not).  The host's critical sections, and the
// host's own locks that the timer thread shares with normal threads, are
// PiMutex: a lock on the kernel's priority-inheriting futex, as a POSIX mutex
// with the priority-inheritance protocol is, but taken and released without
// a system call, and in a few instructions, while nobody waits: the kernel
// is entered only to wait, and to hand the lock to a waiter.  Where the
// kernel lacks PI futexes (some emulators), PiMutex is a plain mutex and
// PriorityInheritance() says so; under the thread checker it is the POSIX
// mutex with the protocol, which the checker understands.
//
// Late ticks.  While an audit runs (StartTickAudit), the timer service keeps
// an account of each tick on the real clock: its deadline, when the service
// thread began it, when its callback returned, and how long of that went to
// waiting for a critical section (with the thread that held it), inside the
// library's post (LMRPostData), and inside the client's callback.  A tick
// that ended more than the threshold after its deadline is recorded, with
// the previous tick's parts when that tick was still running at the
// deadline.  Bare probe threads in the same process, two bound to each CPU
// the process may run on, record how late their own wake-ups are: one at the
// timer thread's priority, held up by whatever holds up a thread of that
// priority (other real-time work of the machine too, and the tick's own
// work on its CPU), and one a priority above it, which preempts the tick's
// work, so that only what takes the whole CPU holds it up: the hypervisor
// running something else on that virtual CPU (which the guest counts as the
// timer thread running), the kernel's own threads, interrupts.  Where the
// probes on the CPU the tick ran on were held up too, the machine, not the
// tick, took the time.  Each follows the ticks: it wakes 1 ms after each tick's deadline
// and, while that tick has not ended, every 0.5 ms until it has, so a stall
// inside a late tick's stretch holds up one of its wake-ups for all of the
// stall but at most 0.5 ms; with no tick to follow it sleeps to a grid of
// its own.  The audit also reads the kernel's steal counter of each CPU
// (time the hypervisor ran something else while the guest wanted the CPU)
// as it starts and stops.
//
// Cost: a tick pays one atomic load while no audit runs; the measuring
// functions below pay a thread-local load off the timer thread and outside
// an audited tick, and a clock read each way inside one.  Nothing on the
// tick's path allocates or takes a lock for the account.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace host {

// ---- Priority inheritance --------------------------------------------------------

class PiMutex {
public:
    PiMutex();
    ~PiMutex();
    PiMutex(const PiMutex&) = delete;
    PiMutex& operator=(const PiMutex&) = delete;
    void lock();
    bool try_lock();
    void unlock();

private:
    friend class PiCondition;
    bool futex_;                  // the futex word below is the lock (else m_)
    std::atomic<uint32_t> word_;  // 0: free; else the owner's thread id, with the kernel's
                                  // waiters bit while threads wait for it in the kernel
    pthread_mutex_t m_;           // the lock where futex_ is false
};

// A condition variable for a PiMutex.  (std::condition_variable takes only
// std::mutex, and std::condition_variable_any takes a mutex of its own in
// every wait and notify, which lends nothing.)  A notify enters the kernel
// only while a thread waits.
class PiCondition {
public:
    PiCondition();
    ~PiCondition();
    PiCondition(const PiCondition&) = delete;
    PiCondition& operator=(const PiCondition&) = delete;
    void wait(std::unique_lock<PiMutex>& lock);
    template <class Predicate>
    void wait(std::unique_lock<PiMutex>& lock, Predicate done)
    {
        while (!done())
            wait(lock);
    }
    void notify_one();
    void notify_all();

private:
    std::atomic<uint32_t> seq_;      // bumped by every notify; a waiter sleeps while it is unchanged
    std::atomic<uint32_t> waiters_;  // threads in wait (changed with the mutex held)
    pthread_cond_t c_;               // for a mutex that is not a futex word
};

// True when PiMutex lends priority here (the kernel has PI futexes).
bool PriorityInheritance();

// ---- Thread names ----------------------------------------------------------------
// Names the calling thread for reports (and for the system's tools).  Any
// thread; the first name of a thread id sticks until ForgetThreadNames.
void NameThisThread(const char* name);
// The name given to the thread with this id (GetCurrentThreadId), or
// "thread N" when it gave none.
std::string ThreadName(uint32_t id);

// ---- Late ticks --------------------------------------------------------------------

enum class TickPart : unsigned { Lock, Post, Callback };
constexpr unsigned kTickParts = 3;

// One tick's time, CLOCK_MONOTONIC ns.
struct TickParts {
    uint64_t ns[kTickParts] = {0, 0, 0};   // by TickPart
    uint32_t lockHolder = 0;               // thread that held the critical section waited for longest
};

struct LateTick {
    uint64_t deadlineNs = 0;   // the tick's deadline on the timer's grid
    uint64_t startNs = 0;      // the service thread began it
    uint64_t endNs = 0;        // its callback returned
    uint64_t ranNs = 0;        // of endNs - startNs, the timer thread's own CPU time (the rest it was
                               // blocked, or another thread or the machine ran instead)
    TickParts parts;
    int startCpu = -1, endCpu = -1;   // the CPUs the timer thread began and ended the tick on
    uint64_t overrunNs = 0;    // of startNs - deadlineNs: the previous tick was still running
    TickParts previous;        // that previous tick's parts (when overrunNs > 0)
};

struct ProbeWake {
    uint64_t deadlineNs;
    uint64_t lateNs;
    int cpu;              // the probe's CPU (-1: a probe that could not be bound to one)
    bool above = false;   // the probe ran a priority above the timer thread
};

struct TickAuditSettings {
    uint64_t thresholdNs = 5000000;      // a tick that ends later than this after its deadline is recorded
    uint64_t probePeriodNs = 20000000;   // the probe's grid while it has no tick to follow; 0: no probe
    size_t capacity = 4096;              // late ticks kept (and 4 x as many probe hold-ups); the rest are counted
};

struct TickAuditResult {
    bool ran = false;
    TickAuditSettings settings;
    uint64_t ticks = 0;                  // real-clock ticks audited
    uint64_t lateTicks = 0;              // late ones, kept or not
    std::vector<LateTick> late;          // the first `capacity` of them
    std::string probeScheduling;         // how the probes ran ("" without one)
    bool probesAbove = false;            // the second probe of each CPU ran a priority above the timer
                                         // thread (real-time scheduling granted): its work could not
                                         // hold them up
    std::vector<int> probeCpus;          // two probes on each (-1: not bound to a CPU)
    uint64_t probeWakeups = 0;
    uint64_t probeLateWakeups = 0;       // later than the threshold
    uint64_t probeWatchWakeups = 0;      // woken while a tick it followed had not ended yet
    uint64_t probeMaxNs = 0;
    uint64_t probeP50Ns = 0, probeP99Ns = 0;   // to 10 us below 10 ms, then to 1 ms
    std::vector<ProbeWake> probeLate;    // wake-ups 1 ms late or more, and while a tick it watched had not
                                         // ended 50 us or more: the first 4 x `capacity` of each probe
    // The machine's steal over the audit, from the kernel's counters (empty
    // where the kernel keeps none): ns by CPU number, and the audit's length.
    std::vector<uint64_t> stealNs;
    uint64_t stealSpanNs = 0;
};

// The steal time of each CPU in the text of /proc/stat ("cpuN" lines, the
// eighth value, in clock ticks of ticksPerSecond), ns by CPU number; false
// when the text has no steal column.  Pure: for tests.
bool ParseStealByCpu(const std::string& procStat, long ticksPerSecond, std::vector<uint64_t>* stealNs);

// Starts an audit (a control thread, not a timer callback): allocates the
// records, and starts the probe at the timer thread's scheduling.  Stops a
// running one first.
void StartTickAudit(const TickAuditSettings& settings);
// Stops the probe and the recording; the records stay for TickAudit.
void StopTickAudit();
// What the audit recorded.  A control thread, after StopTickAudit.
TickAuditResult TickAudit();

// Measuring a part of the tick, from any thread (the host's critical
// sections, the stand-in's post, the wave API's delivery to the client):
// Begin answers 0 unless called on the timer thread inside an audited tick
// (and the part is not already being measured there), else the time; End
// with a non-zero begin adds the time since to the tick's part.
uint64_t TickPartBegin(TickPart part);
void TickPartEnd(TickPart part, uint64_t begin, uint32_t lockHolder = 0);

}  // namespace host
