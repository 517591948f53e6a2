#include "run/failure.h"

#include "run/options.h"

namespace player {

volatile std::sig_atomic_t g_interrupted = 0;

namespace {
void OnInterrupt(int signal)
{
    g_interrupted = signal;
}
}  // namespace

void InstallSignalHandlers()
{
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

}  // namespace player
