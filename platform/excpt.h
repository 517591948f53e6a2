/* Structured exception handling.  On the platform it is the compiler's:
 * __try / __except (filter) with GetExceptionCode in the filter.  The host's
 * compilers have no such keywords, so the host realises the same outcome
 * with guard frames: a guarded stretch whose filter decides from the
 * exception code whether its handler runs; execution then goes on after the
 * stretch.  A memory-access fault, an arithmetic fault, or a C++ exception
 * raised anywhere inside the stretch (also inside functions it calls, such as
 * an application's callback) ends the stretch.
 *
 *     SEH_FRAME frame;
 *     SEH_TRY(frame, filter)      // filter: SEH_FILTER_*
 *     {
 *         ... guarded work ...
 *     }
 *     SEH_EXCEPT(frame)
 *     {
 *         ... runs only when the filter caught something ...
 *     }
 *
 * Like the platform's, the guard ends the stretch and releases nothing: a
 * critical section entered inside the stretch stays held, and freeing it is
 * the handler's business.  Rules for the guarded work: no return, break or
 * goto out of it, and no automatic objects with non-trivial destructors (a
 * caught fault resumes without unwinding them).  An exception the filter
 * refuses goes on to the enclosing frame, or to the caller. */
#ifndef PLATFORM_EXCPT_H
#define PLATFORM_EXCPT_H

#include <setjmp.h>   /* ISO C: the resume point of a frame */

#define EXCEPTION_EXECUTE_HANDLER 1
#define EXCEPTION_CONTINUE_SEARCH 0
#define EXCEPTION_CONTINUE_EXECUTION (-1)

/* A C++ throw crossing a frame, as the platform's compilers report it. */
#define EXCEPTION_CPP_EXCEPTION 0xE0435050u

#define SEH_FILTER_ACCESS_VIOLATION 1   /* catch memory-access faults only */
#define SEH_FILTER_ALL 2   /* catch every exception */

typedef struct SEH_FRAME {
    jmp_buf jb;   /* where a caught fault resumes */
    struct SEH_FRAME* pPrev;   /* enclosing frame of the same thread */
    unsigned int dwFilter;   /* SEH_FILTER_* */
    volatile unsigned int dwCode;   /* exception code, once caught */
    volatile int bCaught;   /* the handler is to run */
} SEH_FRAME;

#ifdef __cplusplus
extern "C" {
#endif
/* Pushes the frame on the calling thread's frame stack.  Any thread; no lock. */
void SehEnterFrame(SEH_FRAME* pFrame, unsigned int dwFilter);
/* Pops the frame after its stretch ended normally. */
void SehLeaveFrame(SEH_FRAME* pFrame);
/* A C++ exception is crossing the frame: pops it and returns non-zero when
 * the filter catches the exception (the caller then runs the handler), 0 when
 * it must go on.  Releases nothing. */
int SehCatchCppException(SEH_FRAME* pFrame);
#ifdef __cplusplus
}
#endif

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
