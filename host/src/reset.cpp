// ResetAll: every host service back to its state at process start.
#include <mutex>
#include <vector>

#include "host/host.h"
#include "host_internal.h"

namespace host {
namespace {
std::mutex g_resetMutex;
std::vector<void (*)()>& Resets()
{
    static std::vector<void (*)()> resets;
    return resets;
}
}  // namespace

void RegisterReset(void (*fn)())
{
    std::lock_guard<std::mutex> lock(g_resetMutex);
    Resets().push_back(fn);
}

void ResetAll()
{
    ResetCore();
    std::vector<void (*)()> resets;
    {
        std::lock_guard<std::mutex> lock(g_resetMutex);
        resets = Resets();
    }
    for (auto fn : resets)
        fn();
}

}  // namespace host
