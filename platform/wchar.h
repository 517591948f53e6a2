/* Wide-character strings of the platform: 16-bit characters.  Only the
 * driver's sources see this header (the host's own sources use the C
 * library's, whose characters are 32-bit here); the driver library is linked
 * so that its calls reach the host's 16-bit routines, which carry names of
 * their own and never take the place of the C library's in the process. */
#ifndef PLATFORM_WCHAR_H
#define PLATFORM_WCHAR_H

#include <stddef.h>

#include "windows.h"

#ifdef __cplusplus
extern "C" {
#endif
WCHAR* wcscpy(WCHAR* strDestination, const WCHAR* strSource);
int wcsncmp(const WCHAR* string1, const WCHAR* string2, size_t count);
size_t wcslen(const WCHAR* str);
#ifdef __cplusplus
}
#endif

#endif
