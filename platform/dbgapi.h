/* The kernel debug output. */
#ifndef PLATFORM_DBGAPI_H
#define PLATFORM_DBGAPI_H

#include "windows.h"

#ifdef __cplusplus
extern "C" {
#endif
/* Writes printf-style text to the kernel debug output.  The format is UTF-16. */
void NKDbgPrintfW(LPCWSTR lpszFmt, ...);
#ifdef __cplusplus
}
#endif

#endif
