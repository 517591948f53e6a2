// libFuzzer's entry points: the driver is loaded once, through the host's
// loader, its writable image is saved, and every input starts from that
// image (see image.h for why it is not loaded afresh).
//
// Every input runs on one worker thread, started once, while libFuzzer's
// thread waits.  The host's fault guard leaves a caught fault with a long
// jump, and AddressSanitizer then finds the bounds of the jumping thread's
// stack; for the process's main thread that means reading the whole list of
// the process's mappings, for every caught fault.  Another thread's bounds
// come from its own record.
//
//   BTWAV_FUZZ_TRACE=1 driver_fuzz crash-file   prints the decoded operations
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "host/driverlibrary.h"
#include "image.h"
#include "kit/driver.h"
#include "session.h"

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

// The worker: takes one input at a time from libFuzzer's thread.
class Worker {
public:
    Worker() : thread_([this] { Loop(); }) { thread_.detach(); }

    void Run(const uint8_t* data, size_t size)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        data_ = data;
        size_ = size;
        pending_ = true;
        wake_.notify_one();
        done_.wait(lock, [this] { return !pending_; });
    }

private:
    void Loop()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return pending_; });
            lock.unlock();
            g_image.Restore();
            fuzzing::RunInput(*g_driver, data_, size_, g_trace);
            lock.lock();
            pending_ = false;
            done_.notify_one();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    bool pending_ = false;
    std::thread thread_;
};

Worker* g_worker;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::string error;
    g_driver = kit::LoadDriver(BTWAV_FUZZ_DRIVER_PATH, &error);
    if (!g_driver) {
        std::fprintf(stderr, "driver_fuzz: %s\n", error.c_str());
        std::exit(2);
    }
    if (!g_image.Capture(g_driver->Symbol("g_StreamContext"), &error)) {
        std::fprintf(stderr, "driver_fuzz: the driver's image: %s\n", error.c_str());
        std::exit(2);
    }
    const char* trace = std::getenv("BTWAV_FUZZ_TRACE");
    g_trace = trace != nullptr && trace[0] == '1';
    // Never destroyed: the thread runs until the process ends.
    g_worker = new Worker;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    g_worker->Run(data, size);
    return 0;
}
