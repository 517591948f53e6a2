/* Kernel functions for drivers: the memory-access permissions of the calling
 * thread. */
#ifndef PLATFORM_PKFUNCS_H
#define PLATFORM_PKFUNCS_H

#include "windows.h"

#ifdef __cplusplus
extern "C" {
#endif
DWORD GetCurrentPermissions(void);
DWORD SetProcPermissions(DWORD newperms);
#ifdef __cplusplus
}
#endif

#endif
