#include "check.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace fuzzing {

void Broken(const char* file, int line, const char* what, const char* fmt, ...)
{
    std::fprintf(stderr, "\n== invariant broken at %s:%d: %s\n   ", file, line, what);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    std::fprintf(stderr, "\n");
    std::abort();
}

}  // namespace fuzzing
