/* Code pages: conversions between the platform's 16-bit text and 8-bit text
 * in a code page, as the platform's SDK declares them (included by
 * <windows.h>).  The host knows CP_ACP, which is Windows-1252 as on a
 * Western device, 1252 itself and CP_UTF8; any other code page fails with
 * ERROR_INVALID_PARAMETER. */
#ifndef PLATFORM_WINNLS_H
#define PLATFORM_WINNLS_H

#include "windows.h"

#define CP_ACP 0
#define CP_OEMCP 1
#define CP_UTF8 65001

#define MB_PRECOMPOSED 0x00000001
#define MB_COMPOSITE 0x00000002
#define MB_USEGLYPHCHARS 0x00000004
#define MB_ERR_INVALID_CHARS 0x00000008

#define WC_COMPOSITECHECK 0x00000200
#define WC_DISCARDNS 0x00000010
#define WC_SEPCHARS 0x00000020
#define WC_DEFAULTCHAR 0x00000040

#ifdef __cplusplus
extern "C" {
#endif

/* The code page CP_ACP stands for. */
UINT WINAPI GetACP(void);
/* With cchWideChar (cbMultiByte) 0 the size needed is answered, in units of
 * the output and with the terminator when the input's length is -1;
 * otherwise the units written, or 0 with ERROR_INSUFFICIENT_BUFFER.  Bytes
 * invalid in the code page become U+FFFD, or fail with
 * ERROR_NO_UNICODE_TRANSLATION under MB_ERR_INVALID_CHARS.  Characters the
 * code page lacks become lpDefaultChar ('?' by default) and set
 * *lpUsedDefaultChar; for CP_UTF8 both must be NULL. */
int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar);
int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar);

#ifdef __cplusplus
}
#endif

#endif
