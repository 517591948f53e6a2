// btwav-play: plays a sound through the wave API, the driver and the
// Bluetooth stand-in, and reports what reached the headset.
#include <malloc.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "run/compare.h"
#include "run/options.h"
#include "wave/registry_dump.h"
#include "run/session.h"
#include "run/sweep.h"

namespace {

// As a real-time audio program does, the player keeps its heap mapped and
// touched before playback, so that the first seconds do not pay a page
// fault for every fresh page (the packets, the sound's window): one heap
// for every thread, freed memory kept rather than given back, and 2 MB
// touched now.  Before any thread starts, as the arena limit needs.
void PrepareHeap()
{
#if defined(__GLIBC__)
    mallopt(M_ARENA_MAX, 1);
    mallopt(M_TRIM_THRESHOLD, 16 << 20);
    mallopt(M_MMAP_THRESHOLD, 4 << 20);
    const size_t kWarm = 2 << 20;
    if (void* p = std::malloc(kWarm)) {
        std::memset(p, 1, kWarm);
        // The pages must really be written: without this the compiler may
        // drop a store into memory that is freed straight after.
        __asm__ volatile("" : : "r"(p) : "memory");
        std::free(p);
    }
#endif
}

}  // namespace

int main(int argc, char** argv)
{
    PrepareHeap();
    if (player::IsSweepCommand(argc, argv))
        return player::RunSweepCommand(argc, argv);
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
    if (options.version) {
        std::printf("btwav-play %s\n", player::kVersion);
        return player::kExitOk;
    }
    if (!options.compare.empty())
        return player::CompareReports(options.compare[0], options.compare[1]);
    if (options.registryDump)
        return player::DumpRegistry(options);
    return player::RunPlayer(options);
}
