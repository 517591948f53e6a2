// Core services of the platform that the driver calls: memory, critical
// sections, the kernel debug output, thread error codes, wide strings,
// pointer checks, memory-access permissions, the performance counter and the
// registry.  Any implementation of these functions can be linked in.
#ifndef PLATFORM_COREDLL_H
#define PLATFORM_COREDLL_H

#include <stdlib.h>   // malloc, free: the C runtime's heap
#include <string.h>   // memcpy

#include "platform/wintypes.h"

#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

#define ERROR_SUCCESS 0L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_MORE_DATA 234L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_INTERNAL_ERROR 1359L

// The platform's critical section.  LockCount is the owner's nesting depth,
// OwnerThread the owning thread (0 when free), hCrit the implementation's
// own object.
typedef struct CRITICAL_SECTION {
    unsigned int LockCount;
    HANDLE OwnerThread;
    HANDLE hCrit;
    DWORD needtrap;
    DWORD dwContentions;
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

// Registry.
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000002u)))
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define KEY_QUERY_VALUE 0x0001
#define KEY_ALL_ACCESS 0xF003F

extern "C" {

HLOCAL LocalAlloc(UINT uFlags, UINT uBytes);
HLOCAL LocalFree(HLOCAL hMem);

void InitializeCriticalSection(LPCRITICAL_SECTION lpcs);
void DeleteCriticalSection(LPCRITICAL_SECTION lpcs);
void EnterCriticalSection(LPCRITICAL_SECTION lpcs);
void LeaveCriticalSection(LPCRITICAL_SECTION lpcs);

// Writes printf-style text to the kernel debug output.  The format is UTF-16.
void NKDbgPrintfW(LPCWSTR lpszFmt, ...);

BOOL DisableThreadLibraryCalls(HINSTANCE hLibModule);
void Sleep(DWORD dwMilliseconds);

// Atomic operations on 32-bit words, sequentially consistent.
LONG InterlockedIncrement(LONG volatile* lpAddend);
LONG InterlockedDecrement(LONG volatile* lpAddend);
LONG InterlockedExchange(LONG volatile* Target, LONG Value);
LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comperand);
void SetLastError(DWORD dwErrCode);
DWORD GetLastError(void);
DWORD GetCurrentThreadId(void);

// Non-zero when the ucb bytes at lp cannot be written by the caller.
BOOL IsBadWritePtr(LPVOID lp, UINT_PTR ucb);

// Memory-access permissions of the calling thread.
DWORD GetCurrentPermissions(void);
DWORD SetProcPermissions(DWORD newperms);

BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount);
BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency);

LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData);
LONG RegCloseKey(HKEY hKey);

}  // extern "C"

// Wide-string routines over 16-bit characters.  They have C++ linkage so that
// they never meet the host C library's routines of the same name, whose
// characters are 32-bit there.
WCHAR* wcscpy(WCHAR* dst, const WCHAR* src);
int wcsncmp(const WCHAR* a, const WCHAR* b, size_t n);
size_t wcslen(const WCHAR* s);

#endif
