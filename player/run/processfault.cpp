#include "run/processfault.h"

#include <pthread.h>
#include <semaphore.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "host/host.h"
#include "host/platform.h"
#include "host/realtime.h"

namespace player {
namespace processfault {
namespace {

sem_t g_wake;                              // posted by the hook, or by Stop
std::atomic<bool> g_quit{false};
std::atomic<bool> g_faulted{false};
std::atomic<unsigned long> g_code{0};
std::atomic<uint32_t> g_thread{0};
pthread_t g_main;
std::thread g_watcher;
std::function<void(const std::string&, const std::string&)> g_end;

// In the signal handler: only async-signal-safe calls.
void OnUnhandledFault(unsigned long code)
{
    if (pthread_equal(pthread_self(), g_main))
        return;   // the main thread cannot be parked: the fault ends the process
    bool first = !g_faulted.exchange(true);
    if (first) {
        g_code.store(code);
        g_thread.store(GetCurrentThreadId());
        sem_post(&g_wake);
    }
    // Parked for good, as a thread of a process that is ending.
    sigset_t all;
    sigfillset(&all);
    for (;;)
        sigsuspend(&all);
}

std::string CodeName(unsigned long code)
{
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION: return "an access violation";
    case EXCEPTION_INT_DIVIDE_BY_ZERO: return "an integer division by zero";
    case EXCEPTION_ILLEGAL_INSTRUCTION: return "an illegal instruction";
    default: return "exception " + std::to_string(code);
    }
}

}  // namespace

void Watch(std::function<void(const std::string& what, const std::string& thread)> end)
{
    if (g_watcher.joinable())
        return;
    g_main = pthread_self();
    g_end = std::move(end);
    g_quit = false;
    sem_init(&g_wake, 0, 0);
    g_watcher = std::thread([] {
        host::NameThisThread("fault watcher");
        while (sem_wait(&g_wake) != 0) {
        }
        if (g_faulted.load())
            g_end(CodeName(g_code.load()), host::ThreadName(g_thread.load()));
    });
    host::SetUnhandledFaultHook(&OnUnhandledFault);
}

void Stop()
{
    if (!g_watcher.joinable())
        return;
    host::SetUnhandledFaultHook(nullptr);
    g_quit = true;
    sem_post(&g_wake);
    g_watcher.join();
    sem_destroy(&g_wake);
    g_end = nullptr;
}

void AwaitParked(const std::atomic<bool>& parked)
{
    const auto step = std::chrono::milliseconds(10);
    for (int waited = 0; waited < kParkWaitMs && !parked.load(); waited += 10)
        std::this_thread::sleep_for(step);
}

}  // namespace processfault
}  // namespace player
