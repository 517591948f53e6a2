// Basic types of the platform.  On the 32-bit target every type below has the
// platform's width.  On a 64-bit host the types that carry an address or a
// handle are pointer-sized (the Win64 shape) and all others keep their width.
#ifndef PLATFORM_WINTYPES_H
#define PLATFORM_WINTYPES_H

#include <stddef.h>
#include <stdint.h>

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
typedef DWORD* LPDWORD;
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

#define WINAPI
#define CALLBACK

// 64-bit value with its two halves.  The halves sit in a named member because
// C++03 has no anonymous structs.
typedef union _LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER;

// Compile-time assertion usable in C++03 at namespace scope.
#define PLATFORM_CONCAT_(a, b) a##b
#define PLATFORM_CONCAT(a, b) PLATFORM_CONCAT_(a, b)
#define STATIC_ASSERT(cond) \
    typedef char PLATFORM_CONCAT(static_assertion_at_line_, __LINE__)[(cond) ? 1 : -1]

STATIC_ASSERT(sizeof(BYTE) == 1);
STATIC_ASSERT(sizeof(WORD) == 2);
STATIC_ASSERT(sizeof(DWORD) == 4);
STATIC_ASSERT(sizeof(LONG) == 4);
STATIC_ASSERT(sizeof(WCHAR) == 2);
STATIC_ASSERT(sizeof(LARGE_INTEGER) == 8);
STATIC_ASSERT(sizeof(DWORD_PTR) == sizeof(void*));

#endif
