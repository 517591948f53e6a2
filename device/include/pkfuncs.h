/* Stand-in for the platform header pkfuncs.h, which a desktop Windows SDK
 * lacks, written from the platform's documentation: only what the platform
 * declares there and the driver uses. */
#ifndef DEVICE_PKFUNCS_H
#define DEVICE_PKFUNCS_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The calling thread's access to the address spaces of processes, one bit
 * per process. */
DWORD GetCurrentPermissions(void);
DWORD SetProcPermissions(DWORD newperms);

#ifdef __cplusplus
}
#endif

#endif
