/* The platform's base header: the types, the handles and the macros of its
 * SDK, and the core services an application or a driver calls (memory,
 * critical sections, events, threads, waits, thread message queues, the tick
 * count, thread error codes, interlocked operations, pointer checks, the
 * performance counter, the registry).  Declared as the platform documents
 * them, with C linkage; usable from C89, C99 and C++ (C++03 included).
 *
 * Text: the platform's functions take 16-bit characters (CreateEventW).  For
 * the kernel's functions that also have an 8-bit form (CreateEventA, which
 * takes text in the ANSI code page) the plain name stands for the W form
 * where UNICODE is defined, as every program for the platform builds, and
 * for the A form otherwise; the window and message functions have W forms
 * only, as on the platform.  Only what the host implements is declared, so a
 * call the host lacks fails to compile or to link instead of behaving
 * differently from the device.
 *
 * Widths: on a 32-bit build each type is the platform's.  On a 64-bit host
 * the types that carry an address, a handle or a size are 64-bit (the Win64
 * shape) and all others keep their width; LONG and DWORD stay 32-bit.  The
 * platform's WCHAR is a 16-bit unit, whatever the compiler's wchar_t: L"..."
 * literals are WCHAR strings only where wchar_t is 16-bit (-fshort-wchar, as
 * the SDK compiles applications). */
#ifndef PLATFORM_WINDOWS_H
#define PLATFORM_WINDOWS_H

#include <stdarg.h> /* FormatMessage takes a va_list* */
#include <stddef.h>
#include <string.h> /* CopyMemory and its kin expand to memcpy and memset */

#include "excpt.h"

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

/* ---- Constants --------------------------------------------------------------------- */
#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)
/* The global heap is the local one, as on the platform. */
#define GMEM_FIXED LMEM_FIXED
#define GMEM_ZEROINIT LMEM_ZEROINIT
#define GPTR LPTR

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_NOT_OWNER 288L
#define ERROR_TOO_MANY_POSTS 298L
#define ERROR_MR_MID_NOT_FOUND 317L
#define ERROR_NO_UNICODE_TRANSLATION 1113L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L
#define ERROR_RESOURCE_LANG_NOT_FOUND 1815L
#define ERROR_CLASS_ALREADY_EXISTS 1410L
#define ERROR_CLASS_DOES_NOT_EXIST 1411L
#define ERROR_CLASS_HAS_WINDOWS 1412L
#define ERROR_INTERNAL_ERROR 1359L
#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_INVALID_THREAD_ID 1444L

/* Exception codes that structured exception handling reports. */
#define EXCEPTION_ACCESS_VIOLATION 0xC0000005u
#define EXCEPTION_ILLEGAL_INSTRUCTION 0xC000001Du
#define EXCEPTION_INT_DIVIDE_BY_ZERO 0xC0000094u

/* Waits and threads. */
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define MAXIMUM_WAIT_OBJECTS 64
#define STILL_ACTIVE 0x00000103u
#define CREATE_SUSPENDED 0x00000004u
#define STACK_SIZE_PARAM_IS_A_RESERVATION 0x00010000u

/* Thread priorities: the platform's eight levels, 0 the highest. */
#define THREAD_PRIORITY_TIME_CRITICAL 0
#define THREAD_PRIORITY_HIGHEST 1
#define THREAD_PRIORITY_ABOVE_NORMAL 2
#define THREAD_PRIORITY_NORMAL 3
#define THREAD_PRIORITY_BELOW_NORMAL 4
#define THREAD_PRIORITY_LOWEST 5
#define THREAD_PRIORITY_ABOVE_IDLE 6
#define THREAD_PRIORITY_IDLE 7
#define MAXLONG 0x7fffffff
#define THREAD_PRIORITY_ERROR_RETURN (MAXLONG)

/* Access to an event that OpenEvent asks for. */
#define SYNCHRONIZE 0x00100000L
#define EVENT_MODIFY_STATE 0x0002
#define EVENT_ALL_ACCESS 0x001F0003L

/* FormatMessage. */
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_STRING 0x00000400
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FF

/* Language ids, as FormatMessage takes them. */
#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))
#define PRIMARYLANGID(lgid) ((WORD)(lgid) & 0x3ff)
#define SUBLANGID(lgid) ((WORD)(lgid) >> 10)
#define LANG_NEUTRAL 0x00
#define LANG_ENGLISH 0x09
#define SUBLANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define SUBLANG_SYS_DEFAULT 0x02
#define SUBLANG_ENGLISH_US 0x01

/* Thread messages. */
#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001
#define WM_QUIT 0x0012
#define WM_USER 0x0400

/* ---- Records ----------------------------------------------------------------------- */

/* The platform's critical section.  LockCount is the owner's nesting depth,
 * OwnerThread the owning thread (0 when free), hCrit the implementation's
 * own object. */
typedef struct CRITICAL_SECTION {
    unsigned int LockCount;
    HANDLE OwnerThread;
    HANDLE hCrit;
    DWORD needtrap;
    DWORD dwContentions;
} CRITICAL_SECTION, *LPCRITICAL_SECTION, *PCRITICAL_SECTION;

/* Attributes of a new object: accepted and ignored, as on the platform. */
typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef DWORD(WINAPI* PTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;

typedef struct tagPOINT {
    LONG x;
    LONG y;
} POINT, *PPOINT, *LPPOINT;

/* A queued message: hwnd NULL for a thread message or the window it was
 * posted to, time the tick count at posting, pt always 0, 0. */
typedef struct tagMSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
} MSG, *PMSG, *LPMSG;

/* Registry.  The predefined keys are negative 32-bit values, sign-extended
 * where a handle is wider. */
#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define HKEY_USERS ((HKEY)(ULONG_PTR)((LONG)0x80000003))
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

/* ---- Memory ---------------------------------------------------------------------- */
HLOCAL WINAPI LocalAlloc(UINT uFlags, UINT uBytes);
HLOCAL WINAPI LocalFree(HLOCAL hMem);
/* The global heap is the local heap: GlobalAlloc and GlobalFree are its
 * macros, as on the platform (only GMEM_FIXED memory; GMEM_ZEROINIT zeroes). */
#define GlobalAlloc(flags, cb) LocalAlloc((flags), (cb))
#define GlobalFree(handle) LocalFree(handle)
/* Non-zero when the ucb bytes at lp cannot be written by the caller. */
BOOL WINAPI IsBadWritePtr(LPVOID lp, UINT_PTR ucb);

/* ---- Critical sections --------------------------------------------------------------- */
void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

/* ---- Atomic operations on 32-bit words, sequentially consistent -------------------- */
LONG WINAPI InterlockedIncrement(LPLONG lpAddend);
LONG WINAPI InterlockedDecrement(LPLONG lpAddend);
LONG WINAPI InterlockedExchange(LPLONG Target, LONG Value);
LONG WINAPI InterlockedCompareExchange(LPLONG Destination, LONG Exchange, LONG Comperand);

/* ---- Threads and their error codes ---------------------------------------------- */
BOOL WINAPI DisableThreadLibraryCalls(HINSTANCE hLibModule);
void WINAPI Sleep(DWORD dwMilliseconds);
void WINAPI SetLastError(DWORD dwErrCode);
DWORD WINAPI GetLastError(void);
DWORD WINAPI GetCurrentThreadId(void);
/* A pseudo-handle that stands for the calling thread wherever a thread
 * handle is taken; CloseHandle need not be called on it. */
HANDLE WINAPI GetCurrentThread(void);
/* The platform's eight levels (THREAD_PRIORITY_*), recorded per thread;
 * the host's threads all run at the desktop's normal priority. */
BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority);
int WINAPI GetThreadPriority(HANDLE hThread);
/* dwStackSize and lpsa are ignored.  CREATE_SUSPENDED holds the thread until
 * ResumeThread brings its suspend count to 0.  The thread's id is valid, and
 * its message queue exists, from the moment CreateThread returns. */
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpsa, DWORD dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                           LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId);
DWORD WINAPI ResumeThread(HANDLE hThread);
BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);

/* ---- Events and waits ---------------------------------------------------------------- */
HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCWSTR lpName);
HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR lpName);
HANDLE WINAPI OpenEventW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName);
HANDLE WINAPI OpenEventA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
/* Mutexes: owned by one thread at a time, recursively; a wait takes
 * ownership.  Semaphores: a count between 0 and the maximum, each wait takes
 * one.  Both can be named; names share one space with events. */
HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES lpsa, BOOL bInitialOwner, LPCWSTR lpName);
HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpsa, BOOL bInitialOwner, LPCSTR lpName);
BOOL WINAPI ReleaseMutex(HANDLE hMutex);
HANDLE WINAPI CreateSemaphoreW(LPSECURITY_ATTRIBUTES lpSemaphoreAttributes, LONG lInitialCount, LONG lMaximumCount,
                               LPCWSTR lpName);
HANDLE WINAPI CreateSemaphoreA(LPSECURITY_ATTRIBUTES lpSemaphoreAttributes, LONG lInitialCount, LONG lMaximumCount,
                               LPCSTR lpName);
BOOL WINAPI ReleaseSemaphore(HANDLE hSemaphore, LONG lReleaseCount, LPLONG lpPreviousCount);
#ifdef UNICODE
#define CreateEvent CreateEventW
#define OpenEvent OpenEventW
#define CreateMutex CreateMutexW
#define CreateSemaphore CreateSemaphoreW
#else
#define CreateEvent CreateEventA
#define OpenEvent OpenEventA
#define CreateMutex CreateMutexA
#define CreateSemaphore CreateSemaphoreA
#endif
BOOL WINAPI SetEvent(HANDLE hEvent);
BOOL WINAPI ResetEvent(HANDLE hEvent);
BOOL WINAPI CloseHandle(HANDLE hObject);
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds);

/* ---- Thread message queues ----------------------------------------------------------- */
BOOL WINAPI PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam);
BOOL WINAPI GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax);
BOOL WINAPI PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg);
#define PostThreadMessage PostThreadMessageW
#define GetMessage GetMessageW
#define PeekMessage PeekMessageW

/* ---- Time ---------------------------------------------------------------------------- */
/* Milliseconds on the system's clock, wrapping at 2^32. */
DWORD WINAPI GetTickCount(void);
BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount);
BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency);

/* ---- Registry -------------------------------------------------------------------------- */
LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
LONG WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                             LPDWORD lpcbData);
LONG WINAPI RegCloseKey(HKEY hKey);
#define RegOpenKeyEx RegOpenKeyExW
#define RegQueryValueEx RegQueryValueExW

/* ---- Modules --------------------------------------------------------------------------
 * The process's own modules: GetModuleHandle(NULL) is the program, a name is
 * a library already loaded (btwav.dll is libbtwav.so); LoadLibrary loads a
 * shared library by its platform name ("x.dll" is looked for as libx.so
 * next to the host's library, then as given). */
HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName);
HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName);
HINSTANCE WINAPI LoadLibraryW(LPCWSTR lpLibFileName);
HINSTANCE WINAPI LoadLibraryA(LPCSTR lpLibFileName);
BOOL WINAPI FreeLibrary(HMODULE hLibModule);
FARPROC WINAPI GetProcAddressW(HMODULE hModule, LPCWSTR lpProcName);
FARPROC WINAPI GetProcAddressA(HMODULE hModule, LPCSTR lpProcName);
/* GetProcAddress takes 16-bit text on the platform whatever UNICODE says. */
#define GetProcAddress GetProcAddressW
#ifdef UNICODE
#define GetModuleHandle GetModuleHandleW
#define LoadLibrary LoadLibraryW
#else
#define GetModuleHandle GetModuleHandleA
#define LoadLibrary LoadLibraryA
#endif

/* ---- Messages and strings ----------------------------------------------------------------
 * FormatMessage: FORMAT_MESSAGE_FROM_SYSTEM knows the English texts of the
 * error codes this header names (others fail with ERROR_MR_MID_NOT_FOUND,
 * another language with ERROR_RESOURCE_LANG_NOT_FOUND);
 * FORMAT_MESSAGE_FROM_HMODULE finds no message table (the host's modules
 * have none) and fails with ERROR_RESOURCE_TYPE_NOT_FOUND.  Arguments is a
 * va_list* or, with FORMAT_MESSAGE_ARGUMENT_ARRAY, a DWORD_PTR array. */
DWORD WINAPI FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPWSTR lpBuffer,
                            DWORD nSize, va_list* Arguments);
DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                            DWORD nSize, va_list* Arguments);
/* The debug output (the host writes it to its debug log). */
void WINAPI OutputDebugStringW(LPCWSTR lpOutputString);
void WINAPI OutputDebugStringA(LPCSTR lpOutputString);
/* String routines: A forms over the ANSI code page's bytes, W forms over
 * 16-bit units.  The comparisons compare code units (the i forms fold the
 * case of ASCII and Latin-1 letters first): the host has no locale's word
 * sort. */
int WINAPI lstrlenW(LPCWSTR lpString);
int WINAPI lstrlenA(LPCSTR lpString);
LPWSTR WINAPI lstrcpyW(LPWSTR lpString1, LPCWSTR lpString2);
LPSTR WINAPI lstrcpyA(LPSTR lpString1, LPCSTR lpString2);
LPWSTR WINAPI lstrcatW(LPWSTR lpString1, LPCWSTR lpString2);
LPSTR WINAPI lstrcatA(LPSTR lpString1, LPCSTR lpString2);
int WINAPI lstrcmpW(LPCWSTR lpString1, LPCWSTR lpString2);
int WINAPI lstrcmpA(LPCSTR lpString1, LPCSTR lpString2);
int WINAPI lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2);
int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2);
#ifdef UNICODE
#define FormatMessage FormatMessageW
#define OutputDebugString OutputDebugStringW
#define lstrlen lstrlenW
#define lstrcpy lstrcpyW
#define lstrcat lstrcatW
#define lstrcmp lstrcmpW
#define lstrcmpi lstrcmpiW
#else
#define FormatMessage FormatMessageA
#define OutputDebugString OutputDebugStringA
#define lstrlen lstrlenA
#define lstrcpy lstrcpyA
#define lstrcat lstrcatA
#define lstrcmp lstrcmpA
#define lstrcmpi lstrcmpiA
#endif

#ifdef __cplusplus
} /* extern "C" */
#endif

#include "winnls.h"
#include "winuser.h"

#endif
