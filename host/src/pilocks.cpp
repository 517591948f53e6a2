// Priority-inheriting locks (realtime.h): PiMutex over a PI futex where the
// kernel has them, PiCondition beside it.
#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/host.h"
#include "host/realtime.h"

namespace host {

namespace {

// The kernel has PI futexes when unlocking one that nobody owns is refused
// as not ours (EPERM) rather than unknown (ENOSYS).
bool ProbePriorityInheritance()
{
    uint32_t word = 0;
    long rc = syscall(SYS_futex, &word, FUTEX_UNLOCK_PI, 0, nullptr, nullptr, 0);
    return !(rc == -1 && errno == ENOSYS);
}

}  // namespace

bool PriorityInheritance()
{
    static const bool pi = ProbePriorityInheritance();
    return pi;
}

namespace {

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadChecker = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kThreadChecker = true;
#else
constexpr bool kThreadChecker = false;
#endif
#else
constexpr bool kThreadChecker = false;
#endif

// The calling thread's kernel id, the owner's mark in a futex word.  Kept
// per thread in the static TLS block (this library is loaded with the
// program), and forgotten in a forked child, whose thread has another id.
__attribute__((tls_model("initial-exec"))) thread_local uint32_t t_kernelTid = 0;

void ForgetKernelTid()
{
    t_kernelTid = 0;
}

inline uint32_t KernelTid()
{
    uint32_t tid = t_kernelTid;
    if (tid == 0) {
        static const int atFork = pthread_atfork(nullptr, nullptr, ForgetKernelTid);
        (void)atFork;
        tid = t_kernelTid = static_cast<uint32_t>(syscall(SYS_gettid));
    }
    return tid;
}

long Futex(std::atomic<uint32_t>* word, int op, uint32_t value)
{
    return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), op, value, nullptr, nullptr, 0);
}

[[noreturn]] void LockFailed(int err)
{
    std::fprintf(stderr, "host: a mutex could not be locked: %s\n", std::strerror(err));
    std::abort();
}

}  // namespace

PiMutex::PiMutex() : futex_(PriorityInheritance() && !kThreadChecker), word_(0)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    if (PriorityInheritance())
        pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
    if (pthread_mutex_init(&m_, &attr) != 0) {
        std::fprintf(stderr, "host: cannot initialise a mutex\n");
        std::abort();
    }
    pthread_mutexattr_destroy(&attr);
}

PiMutex::~PiMutex()
{
    pthread_mutex_destroy(&m_);
}

// The kernel's protocol for priority-inheriting futexes: a free lock is
// taken by writing the owner's id into a zero word; a taken one is waited
// for in the kernel (FUTEX_LOCK_PI), which marks the word as waited for and
// lends the waiter's priority to the owner; an owner whose word carries that
// mark releases through the kernel (FUTEX_UNLOCK_PI), which hands the lock
// to the highest-priority waiter.
void PiMutex::lock()
{
    if (!futex_) {
        int rc = pthread_mutex_lock(&m_);
        if (rc != 0)
            LockFailed(rc);
        return;
    }
    uint32_t expected = 0;
    const uint32_t tid = KernelTid();
    if (word_.compare_exchange_strong(expected, tid, std::memory_order_acquire, std::memory_order_relaxed))
        return;
    if ((expected & FUTEX_TID_MASK) == tid)
        LockFailed(EDEADLK);
    while (Futex(&word_, FUTEX_LOCK_PI_PRIVATE, 0) != 0) {
        if (errno != EINTR && errno != EAGAIN)
            LockFailed(errno);
    }
    std::atomic_thread_fence(std::memory_order_acquire);
}

bool PiMutex::try_lock()
{
    if (!futex_)
        return pthread_mutex_trylock(&m_) == 0;
    uint32_t expected = 0;
    return word_.compare_exchange_strong(expected, KernelTid(), std::memory_order_acquire,
                                         std::memory_order_relaxed);
}

void PiMutex::unlock()
{
    if (!futex_) {
        pthread_mutex_unlock(&m_);
        return;
    }
    uint32_t expected = KernelTid();
    if (word_.compare_exchange_strong(expected, 0, std::memory_order_release, std::memory_order_relaxed))
        return;
    std::atomic_thread_fence(std::memory_order_release);
    Futex(&word_, FUTEX_UNLOCK_PI_PRIVATE, 0);
}

PiCondition::PiCondition() : seq_(0), waiters_(0)
{
    if (pthread_cond_init(&c_, nullptr) != 0) {
        std::fprintf(stderr, "host: cannot initialise a condition variable\n");
        std::abort();
    }
}

PiCondition::~PiCondition()
{
    pthread_cond_destroy(&c_);
}

void PiCondition::wait(std::unique_lock<PiMutex>& lock)
{
    PiMutex& m = *lock.mutex();
    if (!m.futex_) {
        pthread_cond_wait(&c_, &m.m_);
        return;
    }
    // The sequence is read with the mutex held: a notify after the caller
    // saw its condition unmet changes it, before or during the sleep.
    const uint32_t seq = seq_.load(std::memory_order_relaxed);
    waiters_.fetch_add(1, std::memory_order_relaxed);
    m.unlock();
    while (Futex(&seq_, FUTEX_WAIT_PRIVATE, seq) != 0 && errno == EINTR) {
    }
    m.lock();
    waiters_.fetch_sub(1, std::memory_order_relaxed);
}

void PiCondition::notify_one()
{
    seq_.fetch_add(1, std::memory_order_seq_cst);
    if (waiters_.load(std::memory_order_seq_cst) != 0)
        Futex(&seq_, FUTEX_WAKE_PRIVATE, 1);
    pthread_cond_signal(&c_);
}

void PiCondition::notify_all()
{
    seq_.fetch_add(1, std::memory_order_seq_cst);
    if (waiters_.load(std::memory_order_seq_cst) != 0)
        Futex(&seq_, FUTEX_WAKE_PRIVATE, INT32_MAX);
    pthread_cond_broadcast(&c_);
}

}  // namespace host
