// btwav-play: plays a sound through the wave API, the driver and the
// Bluetooth stand-in, and reports what reached the headset.
#include <cstdio>
#include <string>

#include "options.h"
#include "session.h"

int main(int argc, char** argv)
{
    player::Options options;
    std::string error;
    if (!player::ParseOptions(argc, argv, &options, &error)) {
        std::fprintf(stderr, "btwav-play: %s\nTry 'btwav-play --help'.\n", error.c_str());
        return player::kExitUsage;
    }
    if (options.help) {
        std::fputs(player::UsageText("btwav-play").c_str(), stdout);
        return player::kExitOk;
    }
    return player::RunPlayer(options);
}
