/* The kernel's calls that the platform's SDK declares in their own header
 * (included by <windows.h>, as there): the current process's handle. */
#ifndef PLATFORM_KFUNCS_H
#define PLATFORM_KFUNCS_H

#include "windef.h"

/* A pseudo-handle that stands for the calling process wherever a process
 * handle is taken, a constant as on the platform: it needs no CloseHandle. */
#define GetCurrentProcess() ((HANDLE)(LONG_PTR)0x42)

#endif
