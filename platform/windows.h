/* The platform's base header: the types, the handles and the macros of its
 * SDK, and the core services an application or a driver calls (memory,
 * critical sections, events, threads, waits, thread message queues, the tick
 * count, thread error codes, interlocked operations, pointer checks, the
 * performance counter, the registry).  Declared as the platform documents
 * them, with C linkage; usable from C89, C99 and C++ (C++03 included).
 *
 * Text: the platform's functions take 16-bit characters (CreateEventW).  For
 * the kernel's functions that also have an 8-bit form (CreateEventA, which
 * takes text in the ANSI code page) the plain name stands for the W form
 * where UNICODE is defined, as every program for the platform builds, and
 * for the A form otherwise; the window and message functions have W forms
 * only, as on the platform.  Only what the host implements is declared, so a
 * call the host lacks fails to compile or to link instead of behaving
 * differently from the device.
 *
 * The definitions are in the headers it includes, as in the platform's SDK:
 * <windef.h> (types, handles, widths), <winerror.h>, <winbase.h> (the core
 * services), <winreg.h>, <winnls.h> and <winuser.h>. */
#ifndef PLATFORM_WINDOWS_H
#define PLATFORM_WINDOWS_H

#include "windef.h"
#include "winerror.h"
#include "winbase.h"
#include "winreg.h"
#include "winnls.h"
#include "winuser.h"

#endif
