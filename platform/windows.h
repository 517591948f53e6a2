// The platform's base header, as the host provides it: types, the core
// services the driver calls (memory, critical sections, thread error codes,
// interlocked operations, pointer checks, the performance counter, the
// registry) and the exception codes.  Declared as the platform documents
// them; every function has C linkage.
//
// On the 32-bit target each type has the platform's width.  On a 64-bit
// host the types that carry an address or a handle are pointer-sized (the
// Win64 shape) and all others keep their width.
#ifndef PLATFORM_WINDOWS_H
#define PLATFORM_WINDOWS_H

#include <stddef.h>
#include <stdint.h>

#include "excpt.h"

typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef unsigned int DWORD;      // 32-bit on every host
typedef int LONG;                // 32-bit on every host
typedef unsigned int UINT;
typedef int BOOL;
typedef unsigned short WCHAR;    // UTF-16 code unit, whatever the host's wchar_t
typedef char CHAR;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;

// Pointer-sized integers: 32-bit on the target, 64-bit on a 64-bit host.
typedef uintptr_t UINT_PTR;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t DWORD_PTR;
typedef intptr_t LONG_PTR;

typedef void* HANDLE;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef BYTE* LPBYTE;
typedef BYTE* PBYTE;
typedef DWORD* LPDWORD;
typedef DWORD* PDWORD;
typedef LONG* LPLONG;
typedef char* LPSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef HANDLE HINSTANCE;
typedef HANDLE HLOCAL;
typedef HANDLE HKEY;
typedef HKEY* PHKEY;
typedef DWORD REGSAM;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// The platform's calling convention: __stdcall on 32-bit x86, the one
// procedure-call standard (nothing to say) on ARM and on 64-bit machines.
#if defined(__i386__)
#define WINAPI __attribute__((__stdcall__))
#else
#define WINAPI
#endif
#define CALLBACK WINAPI
#define APIENTRY WINAPI

// 64-bit value with its two halves.  The halves sit in a named member because
// C++03 has no anonymous structs.
typedef union _LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_MORE_DATA 234L
#define ERROR_INTERNAL_ERROR 1359L

// Exception codes that structured exception handling reports.
#define EXCEPTION_ACCESS_VIOLATION 0xC0000005u
#define EXCEPTION_ILLEGAL_INSTRUCTION 0xC000001Du
#define EXCEPTION_INT_DIVIDE_BY_ZERO 0xC0000094u

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

// Registry.  The predefined keys are negative 32-bit values, sign-extended
// where a handle is wider.
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define KEY_QUERY_VALUE 0x0001
#define KEY_ALL_ACCESS 0xF003F

#ifdef __cplusplus
extern "C" {
#endif

HLOCAL WINAPI LocalAlloc(UINT uFlags, UINT uBytes);
HLOCAL WINAPI LocalFree(HLOCAL hMem);

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

BOOL WINAPI DisableThreadLibraryCalls(HINSTANCE hLibModule);
void WINAPI Sleep(DWORD dwMilliseconds);

// Atomic operations on 32-bit words, sequentially consistent.
LONG WINAPI InterlockedIncrement(LPLONG lpAddend);
LONG WINAPI InterlockedDecrement(LPLONG lpAddend);
LONG WINAPI InterlockedExchange(LPLONG Target, LONG Value);
LONG WINAPI InterlockedCompareExchange(LPLONG Destination, LONG Exchange, LONG Comperand);

void WINAPI SetLastError(DWORD dwErrCode);
DWORD WINAPI GetLastError(void);
DWORD WINAPI GetCurrentThreadId(void);

// Non-zero when the ucb bytes at lp cannot be written by the caller.
BOOL WINAPI IsBadWritePtr(LPVOID lp, UINT_PTR ucb);

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount);
BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency);

LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
LONG WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData);
LONG WINAPI RegCloseKey(HKEY hKey);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif
