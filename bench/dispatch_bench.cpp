// Cost of one wave message through WAV_IOControl and the dispatcher's fault
// guard, against calling a handler-sized function directly.
#include <benchmark/benchmark.h>

#include "host/driverlibrary.h"
#include "host/host.h"

namespace {

struct Driver {
    Driver()
    {
        std::string error;
        module = host::DriverModule::Load(BTWAV_DRIVER_PATH, "WAV", &error);
        if (!module)
            std::abort();
        hDevice = module->Entry().Init(nullptr, nullptr);
        hOpen = module->Entry().Open(hDevice, 0, 0);
    }
    ~Driver()
    {
        module->Entry().Close(hOpen);
        module->Entry().Deinit(hDevice);
    }
    std::unique_ptr<host::DriverModule> module;
    DWORD_PTR hDevice = 0, hOpen = 0;
};

void BM_GetNumDevsThroughIoControl(benchmark::State& state)
{
    Driver d;
    MMDRV_MESSAGE_PARAMS params{};
    params.uMsg = WODM_GETNUMDEVS;
    DWORD result = 0;
    for (auto _ : state) {
        d.module->Entry().IOControl(d.hOpen, IOCTL_WAV_MESSAGE, reinterpret_cast<LPBYTE>(&params), sizeof params,
                                    reinterpret_cast<LPBYTE>(&result), sizeof result, nullptr);
        benchmark::DoNotOptimize(result);
    }
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
    Driver d;
    MMDRV_MESSAGE_PARAMS params{};
    params.uMsg = WODM_GETDEVCAPS;   // null record: faults inside the handler
    params.dwParam2 = sizeof(WAVEOUTCAPS);
    DWORD result = 0;
    for (auto _ : state) {
        d.module->Entry().IOControl(d.hOpen, IOCTL_WAV_MESSAGE, reinterpret_cast<LPBYTE>(&params), sizeof params,
                                    reinterpret_cast<LPBYTE>(&result), sizeof result, nullptr);
        benchmark::DoNotOptimize(result);
    }
}
BENCHMARK(BM_CaughtFault);

}  // namespace

BENCHMARK_MAIN();
