/* The platform's base definitions (included by <windows.h>): calling
 * conventions, the base and pointer-sized types, text, handles, words and
 * halves, 64-bit values and GUIDs.
 *
 * Widths: on a 32-bit build each type is the platform's.  On a 64-bit host
 * the types that carry an address, a handle or a size are 64-bit (the Win64
 * shape) and all others keep their width; LONG and DWORD stay 32-bit.  The
 * platform's WCHAR is a 16-bit unit, whatever the compiler's wchar_t: L"..."
 * literals are WCHAR strings only where wchar_t is 16-bit (-fshort-wchar, as
 * the SDK compiles applications). */
#ifndef PLATFORM_WINDEF_H
#define PLATFORM_WINDEF_H

#include <stddef.h>

/* ---- Calling conventions --------------------------------------------------
 * __stdcall on 32-bit x86; on ARM and 64-bit machines there is one procedure
 * call standard and the keywords say nothing. */
#if defined(__i386__)
#define WINAPI __attribute__((__stdcall__))
#ifndef __stdcall
#define __stdcall __attribute__((__stdcall__))
#endif
#ifndef __cdecl
#define __cdecl __attribute__((__cdecl__))
#endif
#else
#define WINAPI
#ifndef __stdcall
#define __stdcall
#endif
#ifndef __cdecl
#define __cdecl
#endif
#endif
#define CALLBACK WINAPI
#define APIENTRY WINAPI
#define WINAPIV
#define WINBASEAPI
#define FAR
#define NEAR
#define CONST const
#define VOID void

#ifdef __cplusplus
#define EXTERN_C extern "C"
#else
#define EXTERN_C extern
#endif

/* ---- Base types ------------------------------------------------------------ */
typedef unsigned char BYTE;
typedef unsigned char UCHAR;
typedef unsigned char BOOLEAN;
typedef unsigned short WORD;
typedef unsigned short USHORT;
typedef short SHORT;
/* DWORD, LONG and ULONG are long, as the platform's SDK declares them, on
 * every 32-bit build: device code's own "typedef unsigned long ULONG", an
 * unsigned long* or long* argument (waveOutGetVolume, InterlockedIncrement)
 * compile as on the device.  A 64-bit host's long is 64-bit, so there they
 * are int, 32-bit as well: the same code does not compile against the 64-bit
 * SDK (device code belongs on the 32-bit ones). */
#if defined(__LP64__) || defined(_WIN64)
typedef unsigned int DWORD;
typedef int LONG;
typedef unsigned int ULONG;
#else
typedef unsigned long DWORD;
typedef long LONG;
typedef unsigned long ULONG;
#endif
typedef int INT;
typedef unsigned int UINT;
typedef int BOOL;
typedef float FLOAT;
typedef char CHAR;
/* WCHAR is a UTF-16 code unit.  Where wchar_t is 16-bit (the SDK compiles
 * applications with -fshort-wchar, as the platform's compilers have it) it is
 * wchar_t, so L"..." and TEXT("...") are WCHAR strings; elsewhere (the host's
 * and the driver's own sources, whose wchar_t is the C library's 32-bit one)
 * an unsigned short of the same size, passed and stored the same way. */
#if defined(__SIZEOF_WCHAR_T__) && __SIZEOF_WCHAR_T__ == 2
typedef wchar_t WCHAR;
#else
typedef unsigned short WCHAR;
#endif
/* The SDK's 64-bit integer is long long, which C89 and C++98 lack as a
 * standard type; the platform's compilers, GCC and clang all have it.  The
 * device's compilers align it to 8 bytes inside records; the i386 ABI would
 * align it to 4, so there the type asks for 8 itself, and LARGE_INTEGER and
 * every record with a 64-bit member keep the device's layout. */
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wlong-long"
#endif
#if defined(__i386__)
typedef long long __attribute__((__aligned__(8))) LONGLONG;
typedef unsigned long long __attribute__((__aligned__(8))) ULONGLONG;
#else
typedef long long LONGLONG;
typedef unsigned long long ULONGLONG;
#endif
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
typedef LONGLONG INT64, LONG64, *PINT64, *PLONG64;
typedef ULONGLONG UINT64, ULONG64, DWORD64, DWORDLONG, *PUINT64, *PULONG64, *PDWORD64;
typedef int INT32, LONG32, *PINT32, *PLONG32;
typedef unsigned int UINT32, ULONG32, DWORD32, *PUINT32, *PULONG32, *PDWORD32;

/* ---- Pointer-sized integers -------------------------------------------------
 * As the platform's SDK has them: on a 32-bit build INT_PTR is int, UINT_PTR
 * unsigned int, LONG_PTR long and ULONG_PTR unsigned long, all 32-bit; on a
 * 64-bit host all four are 64-bit, taken from the host's own pointer-sized
 * integers (long), so that SIZE_T is the host's size_t there, as it is on
 * Win64. */
#if defined(__LP64__) || defined(_WIN64)
typedef long INT_PTR, *PINT_PTR;
typedef unsigned long UINT_PTR, *PUINT_PTR;
typedef long LONG_PTR, *PLONG_PTR;
typedef unsigned long ULONG_PTR, *PULONG_PTR;
typedef int HALF_PTR, *PHALF_PTR;
typedef unsigned int UHALF_PTR, *PUHALF_PTR;
#else
typedef int INT_PTR, *PINT_PTR;
typedef unsigned int UINT_PTR, *PUINT_PTR;
typedef long LONG_PTR, *PLONG_PTR;
typedef unsigned long ULONG_PTR, *PULONG_PTR;
typedef short HALF_PTR, *PHALF_PTR;
typedef unsigned short UHALF_PTR, *PUHALF_PTR;
#endif
typedef ULONG_PTR DWORD_PTR, *PDWORD_PTR;
typedef ULONG_PTR SIZE_T, *PSIZE_T;
typedef LONG_PTR SSIZE_T, *PSSIZE_T;
#define MAXUINT_PTR (~((UINT_PTR)0))
#define MAXINT_PTR ((INT_PTR)(MAXUINT_PTR >> 1))
#define MININT_PTR (~MAXINT_PTR)
#define MAXULONG_PTR (~((ULONG_PTR)0))
#define MAXLONG_PTR ((LONG_PTR)(MAXULONG_PTR >> 1))
#define MINLONG_PTR (~MAXLONG_PTR)
#define MAXUHALF_PTR ((UHALF_PTR)~0)
#define MAXHALF_PTR ((HALF_PTR)(MAXUHALF_PTR >> 1))
#define MINHALF_PTR (~MAXHALF_PTR)

/* ---- Pointers to the base types ------------------------------------------- */
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef BYTE* PBYTE;
typedef BYTE* LPBYTE;
typedef WORD* PWORD;
typedef WORD* LPWORD;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef LONG* PLONG;
typedef LONG* LPLONG;
typedef ULONG* PULONG;
typedef INT* PINT;
typedef INT* LPINT;
typedef UINT* PUINT;
typedef UINT* LPUINT;
typedef BOOL* PBOOL;
typedef BOOL* LPBOOL;
typedef CHAR* PCHAR;
typedef char* PSTR;
typedef char* LPSTR;
typedef const char* PCSTR;
typedef const char* LPCSTR;
typedef WCHAR* PWCHAR;
typedef WCHAR* PWSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* PCWSTR;
typedef const WCHAR* LPCWSTR;

/* Text: 16-bit where UNICODE is defined, as every program for the platform
 * builds; the functions take 16-bit text either way. */
#ifdef UNICODE
typedef WCHAR TCHAR;
#else
typedef char TCHAR;
#endif
#ifdef UNICODE
#define __TEXT(quote) L##quote
#else
#define __TEXT(quote) quote
#endif
#define TEXT(quote) __TEXT(quote)
typedef TCHAR* PTSTR;
typedef TCHAR* LPTSTR;
typedef const TCHAR* PCTSTR;
typedef const TCHAR* LPCTSTR;

/* ---- Handles ------------------------------------------------------------------ */
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef HANDLE* LPHANDLE;
typedef HANDLE HINSTANCE;
typedef HANDLE HMODULE;
typedef HANDLE HLOCAL;
typedef HANDLE HGLOBAL;
typedef HANDLE HKEY;
typedef HKEY* PHKEY;
typedef HANDLE HWND;
typedef DWORD REGSAM;
typedef WORD ATOM;
/* An exported function's address, as GetProcAddress answers it. */
typedef INT_PTR(WINAPI* FARPROC)(void);
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

/* Window-message words: pointer-sized. */
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#ifndef NULL
#define NULL 0
#endif

/* ---- Words, halves and memory --------------------------------------------- */
#define MAKEWORD(a, b) ((WORD)(((BYTE)((DWORD_PTR)(a) & 0xff)) | ((WORD)((BYTE)((DWORD_PTR)(b) & 0xff))) << 8))
#define MAKELONG(a, b) ((LONG)(((WORD)((DWORD_PTR)(a) & 0xffff)) | ((DWORD)((WORD)((DWORD_PTR)(b) & 0xffff))) << 16))
#define LOWORD(l) ((WORD)((DWORD_PTR)(l) & 0xffff))
#define HIWORD(l) ((WORD)((DWORD_PTR)(l) >> 16))
#define LOBYTE(w) ((BYTE)((DWORD_PTR)(w) & 0xff))
#define HIBYTE(w) ((BYTE)((DWORD_PTR)(w) >> 8))
#define MAKEWPARAM(l, h) ((WPARAM)(DWORD)MAKELONG(l, h))
#define MAKELPARAM(l, h) ((LPARAM)(DWORD)MAKELONG(l, h))
#define MAKELRESULT(l, h) ((LRESULT)(DWORD)MAKELONG(l, h))

#define MoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#define CopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define FillMemory(Destination, Length, Fill) memset((Destination), (Fill), (Length))
#define ZeroMemory(Destination, Length) memset((Destination), 0, (Length))

/* The SDK's min and max, for C; C++ has its own (and the host's C++ sources
 * must not lose std::min to a macro). */
#if !defined(__cplusplus) && !defined(NOMINMAX)
#ifndef max
#define max(a, b) (((a) > (b)) ? (a) : (b))
#endif
#ifndef min
#define min(a, b) (((a) < (b)) ? (a) : (b))
#endif
#endif

/* ---- 64-bit values ---------------------------------------------------------------
 * The halves are reachable both directly and through u, as in the SDK; the
 * nameless member is an extension in C89 and C++, which the platform's
 * compilers and GCC and clang accept. */
typedef union _LARGE_INTEGER {
#if defined(__GNUC__)
    __extension__ struct {
        DWORD LowPart;
        LONG HighPart;
    };
#endif
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
#if defined(__GNUC__)
    __extension__ struct {
        DWORD LowPart;
        DWORD HighPart;
    };
#endif
    struct {
        DWORD LowPart;
        DWORD HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

/* ---- GUIDs ------------------------------------------------------------------------
 * DEFINE_GUID declares a GUID; where INITGUID is defined before the header
 * it also defines it (once per program: the definition is weak).  The host
 * library defines the GUIDs that <mmreg.h> names. */
#ifndef GUID_DEFINED
#define GUID_DEFINED
typedef struct _GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
} GUID;
#endif
typedef GUID* LPGUID;
typedef const GUID* LPCGUID;
typedef GUID IID;
typedef GUID CLSID;
#ifdef __cplusplus
#define REFGUID const GUID&
#define REFIID const IID&
#else
#define REFGUID const GUID*
#define REFIID const IID*
#endif
#ifdef INITGUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    EXTERN_C const GUID name __attribute__((weak));                  \
    EXTERN_C const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#else
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) EXTERN_C const GUID name
#endif
#ifdef __cplusplus
#define IsEqualGUID(rguid1, rguid2) (!memcmp(&(rguid1), &(rguid2), sizeof(GUID)))
#else
#define IsEqualGUID(rguid1, rguid2) (!memcmp((rguid1), (rguid2), sizeof(GUID)))
#endif
#define IsEqualIID(riid1, riid2) IsEqualGUID(riid1, riid2)

#endif
