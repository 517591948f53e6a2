// An SDK built without libbtworld: the stand-in runs unmodelled, and asking
// for the world is an error at start rather than a report that never comes.
#include <cstdlib>

#include "appworld.h"

namespace cehostapp {

bool WorldAsked()
{
    for (const char* name : {"CEHOST_WORLD", "CEHOST_REPORT_JSON", "CEHOST_PLOT", "CEHOST_HEARD"})
        if (std::getenv(name) != nullptr)
            return true;
    return false;
}

bool StartWorld(std::string* error)
{
    *error = "this SDK was built without the world (libbtworld): CEHOST_WORLD, CEHOST_REPORT_JSON, CEHOST_PLOT "
             "and CEHOST_HEARD are not available";
    return false;
}

void RaiseWorldLink() {}
void AdvanceWorldClock(uint64_t) {}
void FinishWorld(uint64_t, std::string* text)
{
    text->clear();
}
void StopWorld() {}

}  // namespace cehostapp
