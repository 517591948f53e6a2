#include "wave/playclock.h"

#include <sys/resource.h>

#include <algorithm>

#include "host/clock.h"
#include "host/host.h"
#include "host/platform.h"

namespace player {

void PlayClock::Start(uint64_t counter)
{
    started_ = true;
    startCounter_ = counter;
    startWall_ = std::chrono::steady_clock::now();
    startClockNs_ = host::ClockNowNs();
    startCpu_ = ProcessCpuSeconds();
    if (virtual_)
        startVirtualNs_ = host::VirtualNowNs();
}

double PlayClock::Seconds() const
{
    if (virtual_)
        return static_cast<double>(host::VirtualNowNs() - startVirtualNs_) / 1e9;
    return WallSeconds();
}

double PlayClock::WallSeconds() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - startWall_).count();
}

void PlayClock::End(uint64_t counter, std::chrono::steady_clock::time_point wall)
{
    endCounter_ = counter;
    endWall_ = std::chrono::duration<double>(wall - startWall_).count();
    endCpu_ = ProcessCpuSeconds();
}

void PlayClock::EndNow(uint64_t counter)
{
    if (started_ && endCounter_ == 0) {
        endCounter_ = counter;
        endWall_ = WallSeconds();
    } else if (!started_) {
        startCounter_ = endCounter_ = counter;
    }
}

uint32_t FastWaitMs(uint64_t nowNs, uint64_t untilNs)
{
    if (untilNs <= nowNs)
        return 1;
    const uint64_t d = untilNs - nowNs;
    const uint64_t ms = d / 1000000 + (d % 1000000 != 0);
    return static_cast<uint32_t>(std::min<uint64_t>(ms, 0xFFFFFFFEu));
}

uint64_t Counter()
{
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return static_cast<uint64_t>(c.QuadPart);
}

uint64_t Frequency()
{
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<uint64_t>(f.QuadPart);
}

double ProcessCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace player
