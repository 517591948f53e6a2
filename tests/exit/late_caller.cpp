// A library with nothing of the host in it, finalised after the host's
// library as the process exits (it is linked after it): its finaliser makes
// the call it was armed with, as a detached thread of the host would that
// first runs, or runs on, once the host's own statics are gone.
#include <cstddef>

namespace {
void (*g_call)() = NULL;
}  // namespace

extern "C" __attribute__((visibility("default"))) void LateCallerArm(void (*call)())
{
    g_call = call;
}

__attribute__((destructor)) static void LateCallerFinalise()
{
    if (g_call)
        g_call();
}
