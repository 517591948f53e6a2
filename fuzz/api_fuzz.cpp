// libFuzzer's entry points for the wave API fuzz target: the driver is
// loaded once and its writable image put back before every input (image.h),
// registered with the host's wave API afresh by each input, and played by
// several clients through the API (api_session.h).  Every input runs on one
// worker thread (worker.h).
//
//   BTWAV_FUZZ_TRACE=1 api_fuzz crash-file        prints each call and callback
//   BTWAV_API_FUZZ_SECOND_OPEN=refused|any|never  what an open of a device in
//                                                 use must get (api_session.h)
//   BTWAV_API_FUZZ_KNOWN=device0-empty-loop       known faults filtered out
//   BTWAV_API_FUZZ_COUNTS=1                       what the inputs did, at exit
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "api_session.h"
#include "image.h"
#include "worker.h"

// The host's fault guard installs its own SIGSEGV handler: AddressSanitizer
// must let it.
extern "C" const char* __asan_default_options()
{
    return "allow_user_segv_handler=1:detect_leaks=1";
}

namespace {

std::unique_ptr<host::DriverModule> g_driver;
fuzzing::DriverImage g_image;
fuzzing::Worker* g_worker;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_driver = fuzzing::LoadDriverWithImage("api_fuzz", BTWAV_FUZZ_DRIVER_PATH, &g_image);
    const bool traced = fuzzing::TraceRequested();
    const char* mode = std::getenv("BTWAV_API_FUZZ_SECOND_OPEN");
    fuzzing::SecondOpen second = fuzzing::SecondOpen::Refused;
    if (mode != nullptr && std::strcmp(mode, "any") == 0)
        second = fuzzing::SecondOpen::Any;
    else if (mode != nullptr && std::strcmp(mode, "never") == 0)
        second = fuzzing::SecondOpen::Never;
    else if (mode != nullptr && std::strcmp(mode, "refused") != 0) {
        std::fprintf(stderr, "api_fuzz: BTWAV_API_FUZZ_SECOND_OPEN is refused, any or never\n");
        std::exit(2);
    }
    fuzzing::KnownFaults known;
    if (const char* list = std::getenv("BTWAV_API_FUZZ_KNOWN")) {
        const std::string names = std::string(",") + list + ",";
        known.device0EmptyLoop = names.find(",device0-empty-loop,") != std::string::npos;
    }
    if (const char* counts = std::getenv("BTWAV_API_FUZZ_COUNTS"); counts != nullptr && counts[0] == '1')
        std::atexit(fuzzing::PrintCounts);
    // Never destroyed: the thread runs until the process ends.
    g_worker = new fuzzing::Worker([traced, second, known](const uint8_t* data, size_t size) {
        g_image.Restore();
        fuzzing::RunApiInput(*g_driver, data, size, traced, second, known);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    g_worker->Run(data, size);
    return 0;
}
