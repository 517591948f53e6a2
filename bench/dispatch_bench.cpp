// Cost of one wave message through WAV_IOControl and the dispatcher's fault
// guard, against calling a handler-sized function directly.
#include <benchmark/benchmark.h>

#include "host/driverlibrary.h"
#include "host/host.h"
#include "kit/driver.h"

namespace {

// A loaded driver with its device initialised and opened once.
struct Driver {
    Driver()
    {
        std::string error;
        module = kit::LoadDriver(BTWAV_DRIVER_PATH, &error);
        if (!module)
            std::abort();
        device.reset(new kit::OpenedDevice(*module));
        hOpen = device->Open();
    }
    std::unique_ptr<host::DriverModule> module;
    std::unique_ptr<kit::OpenedDevice> device;
    DWORD_PTR hOpen = 0;
};

// One message through WAV_IOControl per iteration.
void SendEachIteration(benchmark::State& state, MMDRV_MESSAGE_PARAMS params)
{
    Driver d;
    DWORD result = 0;
    for (auto _ : state) {
        d.module->Entry().IOControl(d.hOpen, IOCTL_WAV_MESSAGE, reinterpret_cast<LPBYTE>(&params), sizeof params,
                                    reinterpret_cast<LPBYTE>(&result), sizeof result, nullptr);
        benchmark::DoNotOptimize(result);
    }
}

void BM_GetNumDevsThroughIoControl(benchmark::State& state)
{
    MMDRV_MESSAGE_PARAMS params{};
    params.uMsg = WODM_GETNUMDEVS;
    SendEachIteration(state, params);
}
BENCHMARK(BM_GetNumDevsThroughIoControl);

void BM_GuardFrameAlone(benchmark::State& state)
{
    for (auto _ : state) {
        SEH_FRAME frame;
        volatile int x = 0;
        SEH_TRY(frame, SEH_FILTER_ACCESS_VIOLATION)
        {
            x = 1;
        }
        SEH_EXCEPT(frame)
        {
            x = 2;
        }
        benchmark::DoNotOptimize(x);
    }
}
BENCHMARK(BM_GuardFrameAlone);

void BM_CaughtFault(benchmark::State& state)
{
    MMDRV_MESSAGE_PARAMS params{};
    params.uMsg = WODM_GETDEVCAPS;   // null record: faults inside the handler
    params.dwParam2 = sizeof(WAVEOUTCAPS);
    SendEachIteration(state, params);
}
BENCHMARK(BM_CaughtFault);

}  // namespace

BENCHMARK_MAIN();
