// A program run as a child process: standard input from /dev/null, standard
// output and standard error into files the caller names.  The player's tests
// run the player this way, to the end or stopped by a signal mid-run.
//
// Threads: one Child belongs to one thread; nothing in it is shared.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace kit {

class Child {
public:
    // Starts `program` with `args` (no shell involved, the path taken as it
    // stands); Started() tells whether it could be.  Where the exec fails
    // only in the child (posix_spawn under qemu-user), it starts and ends
    // with 127.
    Child(const std::string& program, const std::vector<std::string>& args, const std::string& outPath,
          const std::string& errPath);
    // A child still running is killed (SIGKILL) and reaped.
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool Started() const { return pid_ > 0 || exitCode_ >= 0; }

    // Waits for the child to end, at most `limit`; past it the child is
    // killed with SIGKILL and TimedOut() is true.  Returns the exit code:
    // the child's own, 128 + the signal that ended it, or -1 when it never
    // started.
    int Wait(std::chrono::milliseconds limit);
    // Sends `signal` and waits for the child to end; returns as Wait does.
    int Stop(int signal);
    // Sends `signal` and returns at once (Wait then waits for the end).
    void Signal(int signal);

    bool TimedOut() const { return timedOut_; }
    // The child's peak resident memory in KiB, once it has ended.
    long PeakKb() const { return peakKb_; }

private:
    void Reaped(int status, long peakKb);

    pid_t pid_ = 0;       // 0 when not running (never started or reaped)
    int exitCode_ = -1;   // set once reaped
    long peakKb_ = 0;
    bool timedOut_ = false;
};

}  // namespace kit
