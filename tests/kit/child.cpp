#include "kit/child.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <thread>

extern char** environ;

namespace kit {

Child::Child(const std::string& program, const std::vector<std::string>& args, const std::string& outPath,
             const std::string& errPath)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
        pid_ = 0;
    posix_spawn_file_actions_destroy(&actions);
}

Child::~Child()
{
    if (pid_ > 0)
        Stop(SIGKILL);
}

void Child::Reaped(int status, long peakKb)
{
    pid_ = 0;
    peakKb_ = peakKb;
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int Child::Wait(std::chrono::milliseconds limit)
{
    if (pid_ <= 0)
        return exitCode_;
    // Polled rather than blocked in wait4, so that a child that hangs is
    // killed after the limit instead of holding the caller forever.
    int status = 0;
    struct rusage usage {};
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::chrono::milliseconds nap(1);
    while (wait4(pid_, &status, WNOHANG, &usage) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            timedOut_ = true;
            kill(pid_, SIGKILL);
            wait4(pid_, &status, 0, &usage);
            break;
        }
        std::this_thread::sleep_for(nap);
        nap = std::min(nap * 2, std::chrono::milliseconds(20));
    }
    Reaped(status, usage.ru_maxrss);
    return exitCode_;
}

void Child::Signal(int signal)
{
    if (pid_ > 0)
        kill(pid_, signal);
}

int Child::Stop(int signal)
{
    if (pid_ <= 0)
        return exitCode_;
    kill(pid_, signal);
    int status = 0;
    struct rusage usage {};
    wait4(pid_, &status, 0, &usage);
    Reaped(status, usage.ru_maxrss);
    return exitCode_;
}

}  // namespace kit
