// The fault guard: the outcome of structured exception handling on a
// development machine.
//
// Each thread keeps a stack of guard frames.  A synchronous fault (SIGSEGV,
// SIGBUS, SIGFPE, SIGILL) is turned into the platform's exception code; the
// handler walks the thread's frames from the innermost outwards and resumes
// the first whose filter accepts the code with longjmp.  Like the platform's
// exception handling it releases nothing: critical sections entered inside
// the stretch stay held, and giving them back is the handler's business (the
// driver keeps its own record for that).  With no frame to accept
// it, the previous disposition is restored and the fault happens again, so it
// ends the process as it would without a guard.  The handler runs on an
// alternate stack, so that a fault from an exhausted stack is also caught.
//
// The frames use plain setjmp, so entering a frame costs no system call; the
// handler itself puts back the signal mask of the moment of the fault before
// it leaves by longjmp.
#include <pthread.h>
#include <signal.h>
#include <ucontext.h>
#include <atomic>
#include <csetjmp>
#include <cstdlib>
#include <mutex>

#include "host/host.h"
#include "host_internal.h"

namespace {

thread_local SEH_FRAME* t_topFrame = nullptr;

struct AltStack {
    void* memory = nullptr;
    ~AltStack()
    {
        if (memory) {
            stack_t ss{};
            ss.ss_flags = SS_DISABLE;
            sigaltstack(&ss, nullptr);
            std::free(memory);
        }
    }
};
thread_local AltStack t_altStack;

const int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
struct sigaction g_previous[sizeof(kSignals) / sizeof(kSignals[0])];
std::once_flag g_installOnce;
std::atomic<host::UnhandledFaultHook> g_unhandledHook{nullptr};

DWORD CodeForSignal(int sig)
{
    switch (sig) {
    case SIGFPE: return EXCEPTION_INT_DIVIDE_BY_ZERO;
    case SIGILL: return EXCEPTION_ILLEGAL_INSTRUCTION;
    default: return EXCEPTION_ACCESS_VIOLATION;
    }
}

bool FilterAccepts(const SEH_FRAME* f, DWORD code)
{
    return f->dwFilter == SEH_FILTER_ALL || code == EXCEPTION_ACCESS_VIOLATION;
}

void RestorePrevious(int sig)
{
    for (size_t i = 0; i < sizeof(kSignals) / sizeof(kSignals[0]); ++i)
        if (kSignals[i] == sig)
            sigaction(sig, &g_previous[i], nullptr);
}

void OnFault(int sig, siginfo_t*, void* context)
{
    DWORD code = CodeForSignal(sig);
    SEH_FRAME* f = t_topFrame;
    while (f && !FilterAccepts(f, code))
        f = f->pPrev;
    if (f == nullptr) {
        // Nobody catches it: the program's hook has its say, then the fault
        // happens again without us.
        if (host::UnhandledFaultHook hook = g_unhandledHook.load())
            hook(code);
        RestorePrevious(sig);
        return;
    }
    // The guard may be leaving an application's wave callback: the host
    // notes it (thread-local fields only, safe here) and reports it later.
    host::NoteGuardResume(f);
    t_topFrame = f->pPrev;
    f->dwCode = code;
    f->bCaught = TRUE;
    // Leaving by longjmp skips the kernel's restoring of the signal mask;
    // put back the mask the thread had when it faulted (a sanitizer's
    // wrapper may have blocked every signal for the handler).
    const auto* uc = static_cast<const ucontext_t*>(context);
    pthread_sigmask(SIG_SETMASK, &uc->uc_sigmask, nullptr);
    std::longjmp(f->jb, 1);
}

void EnsureAltStack()
{
    if (t_altStack.memory)
        return;
    size_t size = 64 * 1024;
    t_altStack.memory = std::malloc(size);
    stack_t ss{};
    ss.ss_sp = t_altStack.memory;
    ss.ss_size = size;
    ss.ss_flags = 0;
    sigaltstack(&ss, nullptr);
}

}  // namespace

namespace host {

void InstallFaultGuard()
{
    std::call_once(g_installOnce, [] {
        for (size_t i = 0; i < sizeof(kSignals) / sizeof(kSignals[0]); ++i) {
            struct sigaction sa{};
            sa.sa_sigaction = OnFault;
            sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
            sigemptyset(&sa.sa_mask);
            sigaction(kSignals[i], &sa, &g_previous[i]);
        }
    });
}

const SEH_FRAME* SehInnermostFrame() { return t_topFrame; }

void SetUnhandledFaultHook(UnhandledFaultHook hook)
{
    InstallFaultGuard();
    g_unhandledHook.store(hook);
}

}  // namespace host

extern "C" {

void SehEnterFrame(SEH_FRAME* f, unsigned int filter)
{
    host::InstallFaultGuard();
    EnsureAltStack();
    f->dwFilter = filter;
    f->dwCode = 0;
    f->bCaught = FALSE;
    f->pPrev = t_topFrame;
    t_topFrame = f;
}

void SehLeaveFrame(SEH_FRAME* f)
{
    t_topFrame = f->pPrev;
}

int SehCatchCppException(SEH_FRAME* f)
{
    t_topFrame = f->pPrev;
    if (f->dwFilter != SEH_FILTER_ALL)
        return FALSE;
    f->dwCode = EXCEPTION_CPP_EXCEPTION;
    f->bCaught = TRUE;
    return TRUE;
}

}  // extern "C"
