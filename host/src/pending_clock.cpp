// Placeholder counter until the clock service lands.
#include <time.h>
#include "platform/platform.h"
extern "C" {
BOOL QueryPerformanceFrequency(LARGE_INTEGER* f) { f->QuadPart = 1000000000; return TRUE; }
BOOL QueryPerformanceCounter(LARGE_INTEGER* c)
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    c->QuadPart = static_cast<LONGLONG>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    return TRUE;
}
}
