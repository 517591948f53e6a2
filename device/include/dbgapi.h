/* Stand-in for the platform header dbgapi.h, which a desktop Windows SDK
 * lacks, written from the platform's documentation: only what the platform
 * declares there and the driver uses. */
#ifndef DEVICE_DBGAPI_H
#define DEVICE_DBGAPI_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* printf-style text to the kernel debug output. */
void NKDbgPrintfW(LPCWSTR lpszFmt, ...);

#ifdef __cplusplus
}
#endif

#endif
