#include "run/failure.h"

#include <pthread.h>

#include <cstdio>

#include "input/audio.h"
#include "report/report.h"
#include "run/progress.h"
#include "run/options.h"

namespace player {


namespace {

pthread_t g_mainThread;

// The main thread is the one that acts on a stop: a signal taken by another
// thread is passed on to it, so that a system call it waits in (a write into
// a FIFO nobody reads) returns EINTR rather than waiting on.
void OnInterrupt(int signal)
{
    g_interrupted = signal;
    if (!pthread_equal(pthread_self(), g_mainThread))
        pthread_kill(g_mainThread, signal);
}

}  // namespace

void InstallSignalHandlers()
{
    g_mainThread = pthread_self();
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

Failure Interrupted()
{
    int signal = g_interrupted;
    return Failure{kExitSignal + signal, signal == SIGINT    ? std::string("interrupted")
                                         : std::string("stopped by ") + (signal == SIGHUP    ? "SIGHUP"
                                                                         : signal == SIGTERM ? "SIGTERM"
                                                                                             : "a signal")};
}

InputWait InputWaits(const Options& o)
{
    InputWait w;
    w.stopped = [] { return g_interrupted != 0; };
    if (!o.quiet) {
        const std::string input = o.input;
        w.waiting = [input] { ConsoleLine(stderr, "btwav-play: waiting for '" + input + "' to be written"); };
    }
    return w;
}

void SayHowItEnded(const Report& r)
{
    if (r.exitCode == kExitMismatch)
        std::fprintf(stderr, "btwav-play: the headset did not receive what was written\n");
    if (r.verdict.code)
        std::fprintf(stderr, "btwav-play: %s (exit %d; --allow relaxes it)\n", r.verdict.Line().c_str(), r.verdict.code);
    if (r.exitCode > kExitSignal)   // a signal that came while the outputs were put in place
        std::fprintf(stderr, "btwav-play: %s\n", r.error.c_str());
}

}  // namespace player
