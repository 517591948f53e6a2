// libFuzzer's entry points: the driver is loaded once, through the host's
// loader, its writable image is saved, and every input starts from that
// image (see image.h for why it is not loaded afresh).
//
// Every input runs on one worker thread, started once (worker.h says why).
//
//   BTWAV_FUZZ_TRACE=1 driver_fuzz crash-file   prints the decoded operations
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "host/driverlibrary.h"
#include "image.h"
#include "session.h"
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
bool g_trace = false;

fuzzing::Worker* g_worker;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_driver = fuzzing::LoadDriverWithImage("driver_fuzz", BTWAV_FUZZ_DRIVER_PATH, &g_image);
    g_trace = fuzzing::TraceRequested();
    // Never destroyed: the thread runs until the process ends.
    g_worker = new fuzzing::Worker([](const uint8_t* data, size_t size) {
        g_image.Restore();
        fuzzing::RunInput(*g_driver, data, size, g_trace);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    g_worker->Run(data, size);
    return 0;
}
