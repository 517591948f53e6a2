// Structured exception handling: a guarded stretch whose filter decides from
// the exception code whether its handler runs; execution then goes on after
// the stretch.  A memory-access fault, an arithmetic fault, or a C++ exception
// raised anywhere inside the stretch (also inside functions it calls, such as
// an application's callback) ends the stretch.
//
//     SEH_FRAME frame;
//     SEH_TRY(frame, SEH_FILTER_ACCESS_VIOLATION)
//     {
//         ... guarded work ...
//     }
//     SEH_EXCEPT(frame)
//     {
//         ... runs only when the filter caught something ...
//     }
//
// Rules for the guarded work: no return, break or goto out of it (the frame
// must be left through its end), and no automatic objects with non-trivial
// destructors (a caught fault resumes without unwinding them).  Critical
// sections entered inside the stretch and still held when it is ended by an
// exception are released down to the level held at SEH_TRY, so a lock never
// stays held after a fault.  An exception the filter refuses goes on to the
// enclosing frame, or to the caller.
#ifndef PLATFORM_SEH_H
#define PLATFORM_SEH_H

#include <setjmp.h>   // ISO C: the resume point of a frame

#include "platform/wintypes.h"

#define EXCEPTION_ACCESS_VIOLATION 0xC0000005u
#define EXCEPTION_ILLEGAL_INSTRUCTION 0xC000001Du
#define EXCEPTION_INT_DIVIDE_BY_ZERO 0xC0000094u
#define EXCEPTION_CPP_EXCEPTION 0xE0435050u   // a C++ throw crossing the frame

#define SEH_FILTER_ACCESS_VIOLATION 1   // catch memory-access faults only
#define SEH_FILTER_ALL 2                // catch every exception

typedef struct SEH_FRAME {
    jmp_buf jb;                 // where a caught fault resumes
    struct SEH_FRAME* pPrev;    // enclosing frame of the same thread
    DWORD dwFilter;             // SEH_FILTER_*
    volatile DWORD dwCode;      // exception code, once caught
    volatile BOOL bCaught;      // the handler is to run
    DWORD_PTR dwLockMark;       // critical sections held at entry (host's count)
} SEH_FRAME;

extern "C" {
// Pushes the frame on the calling thread's frame stack.
void SehEnterFrame(SEH_FRAME* pFrame, DWORD dwFilter);
// Pops the frame after its stretch ended normally.
void SehLeaveFrame(SEH_FRAME* pFrame);
// A C++ exception is crossing the frame: releases the locks taken inside it,
// pops it and returns TRUE when the filter catches the exception (the caller
// then runs the handler), FALSE when it must go on.
BOOL SehCatchCppException(SEH_FRAME* pFrame);
}

#define SEH_TRY(frame, filter)                     \
    SehEnterFrame(&(frame), (filter));             \
    if (setjmp((frame).jb) == 0) {                 \
        try

#define SEH_EXCEPT(frame)                          \
        catch (...) {                              \
            if (!SehCatchCppException(&(frame)))   \
                throw;                             \
        }                                          \
        if (!(frame).bCaught)                      \
            SehLeaveFrame(&(frame));               \
    }                                              \
    if ((frame).bCaught)

#endif
