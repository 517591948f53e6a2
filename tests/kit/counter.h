// The platform's performance counter as one number, read as the driver reads
// it (QueryPerformanceCounter).  A read the platform refuses ends the
// process: every caller takes the number as the counter's.  Any thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "host/platform.h"

namespace kit {

inline uint64_t Counter()
{
    LARGE_INTEGER c;
    if (!QueryPerformanceCounter(&c)) {
        std::fprintf(stderr, "kit::Counter: QueryPerformanceCounter failed\n");
        std::abort();
    }
    return static_cast<uint64_t>(c.QuadPart);
}

}  // namespace kit
