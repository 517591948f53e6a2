// How a run ends early: a failure with its exit code, and a stop asked for by
// a signal.  Every unit of the run reports a failure by throwing Failure; the
// run catches it once, on the main thread, and reports it.
#pragma once

#include <csignal>
#include <string>

namespace player {

// Something that ends the run, with its exit code (options.h).
struct Failure {
    int code;
    std::string message;
};

// The number of the signal that asked the player to stop, or 0.  Written by
// the signal handler, read by the main thread between waits.
extern volatile std::sig_atomic_t g_interrupted;

// Routes SIGINT, SIGTERM and SIGHUP to g_interrupted (and on to the main
// thread when another took them: sa_flags has no SA_RESTART, so the main
// thread's blocking call returns EINTR), and ignores SIGPIPE so
// that a reader that goes away makes a write fail (EPIPE) instead of killing
// the player before it removes its temporaries.  Main thread, before any
// other thread starts.
void InstallSignalHandlers();

// The failure that stands for the signal in g_interrupted.
Failure Interrupted();

struct InputWait;
struct Options;
// A pipe as the input waits for its writer until a stop signal, saying
// once that it waits (unless --quiet).
InputWait InputWaits(const Options& o);

struct Report;
// The lines on stderr after the report that say why the exit status is not
// 0: not bit-exact, the listener's verdict, a signal at the very end.
void SayHowItEnded(const Report& r);

}  // namespace player
