// The driver's guarded stretches: structured exception handling, written once
// for every compiler the driver is built with.
//
//     GUARD_FRAME frame;
//     GUARD_TRY(frame, GUARD_ACCESS_FAULTS)   // or GUARD_ALL_EXCEPTIONS
//     {
//         GuardedWork(...);                   // one call, see below
//     }
//     GUARD_EXCEPT(frame)
//     {
//         ... runs only when the filter caught something ...
//     }
//
// A caught exception ends the stretch and releases nothing: a handler that
// may find g_StreamLock held by the stretch gives those levels back itself
// (UnwindStreamLock).  The guarded work is a call of a function marked
// GUARD_NOINLINE: some compilers catch a fault only inside a called function,
// not in instructions of the guarded block itself.
//
// Realisations:
// - compilers with the platform's keywords: __try / __except.  The
//   platform's own compiler has them (_MSC_VER), and so do clang's MSVC
//   targets for 32- and 64-bit x86 and 64-bit ARM, which define _MSC_VER.
//   clang's MinGW targets for 64-bit x86 and 64-bit ARM have them with
//   -fms-extensions, and such a build says so with DRIVER_GUARD_SEH_KEYWORDS.
//   Its MinGW target for 32-bit x86 parses them but emits no scope table (the
//   object does not assemble: "assembler label 'L__ehtable$...' can not be
//   undefined"), and it refuses them for 32-bit ARM Windows ("SEH '__try' is
//   not supported on this target").
//   Checked here: scripts/sdk-check builds the 32-bit x86 DLL with clang's
//   MSVC target and checks that each guarded stretch is a frame of the x86
//   handler (_except_handler3); it is not run, as no 32-bit Wine is
//   installed.  scripts/seh-check builds the 64-bit x86 DLL with the MinGW
//   target and runs its faults under Wine.  No 32-bit ARM build has the
//   real guard: that needs the platform's own compiler;
// - the host (no such keywords): the guard frames of <excpt.h>;
// - DRIVER_GUARD_COMPILE_ONLY: a compiler for Windows without the keywords
//   (GCC, clang for 32-bit ARM Windows), used only to check the sources
//   against the platform's headers.  Nothing is guarded: such a build is not
//   for a device, and without the macro it does not compile.
#ifndef DRIVER_GUARD_H
#define DRIVER_GUARD_H

#include <windows.h>

#define GUARD_ACCESS_FAULTS 1    // memory-access faults only
#define GUARD_ALL_EXCEPTIONS 2   // every exception, whatever its code

#if defined(_MSC_VER) || (defined(_WIN32) && defined(DRIVER_GUARD_SEH_KEYWORDS))

#if defined(_MSC_VER)
#define GUARD_NOINLINE __declspec(noinline)
#else
#define GUARD_NOINLINE __attribute__((__noinline__))
#endif

// What the filter of a stretch decides for an exception code.
inline int GuardFilter(unsigned int uFilter, unsigned long ulCode)
{
    if (uFilter == GUARD_ALL_EXCEPTIONS || ulCode == EXCEPTION_ACCESS_VIOLATION)
        return EXCEPTION_EXECUTE_HANDLER;
    return EXCEPTION_CONTINUE_SEARCH;
}

typedef struct GUARD_FRAME {
    unsigned int uFilter;   // GUARD_*
} GUARD_FRAME;

#define GUARD_TRY(frame, filter) \
    (frame).uFilter = (filter);  \
    __try
#define GUARD_EXCEPT(frame) __except (GuardFilter((frame).uFilter, GetExceptionCode()))

#elif !defined(_WIN32)

#include <excpt.h>

#define GUARD_NOINLINE __attribute__((__noinline__))

typedef SEH_FRAME GUARD_FRAME;
#define GUARD_TRY(frame, filter) \
    SEH_TRY(frame, (filter) == GUARD_ALL_EXCEPTIONS ? SEH_FILTER_ALL : SEH_FILTER_ACCESS_VIOLATION)
#define GUARD_EXCEPT(frame) SEH_EXCEPT(frame)

#elif defined(DRIVER_GUARD_COMPILE_ONLY)

#define GUARD_NOINLINE

typedef struct GUARD_FRAME {
    unsigned int uFilter;   // GUARD_*
} GUARD_FRAME;

#define GUARD_TRY(frame, filter) \
    (frame).uFilter = (filter);  \
    if ((frame).uFilter != 0)
#define GUARD_EXCEPT(frame) else

#else
#error "This compiler has no structured exception handling; the driver's guards need it."
#endif

#endif
