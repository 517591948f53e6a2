// How the fuzz target reports a broken invariant: what was seen, then abort,
// which libFuzzer records as a crash with the input that caused it.
#pragma once

namespace fuzzing {

[[noreturn]] void Broken(const char* file, int line, const char* what, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));

}  // namespace fuzzing

#define EXPECT(cond, ...)                                             \
    do {                                                              \
        if (!(cond))                                                  \
            ::fuzzing::Broken(__FILE__, __LINE__, #cond, __VA_ARGS__); \
    } while (0)
