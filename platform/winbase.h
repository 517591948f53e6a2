/* The platform's core services (included by <windows.h>): memory, critical
 * sections, events, mutexes, semaphores, threads, waits, thread message
 * queues, the tick count, thread error codes, interlocked operations,
 * pointer checks, the performance counter, modules, FormatMessage, the
 * debug output and the string routines.  Declared as the platform documents
 * them, with C linkage. */
#ifndef PLATFORM_WINBASE_H
#define PLATFORM_WINBASE_H

#include <stdarg.h> /* FormatMessage takes a va_list* */
#include <string.h> /* CopyMemory and its kin expand to memcpy and memset */

#include "excpt.h"
#include "windef.h"
#include "winerror.h"

/* ---- Constants --------------------------------------------------------------------- */
#define LMEM_FIXED 0x0000
#define LMEM_MOVEABLE 0x0002
#define LMEM_ZEROINIT 0x0040
#define LMEM_MODIFY 0x0080
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)
#define LHND (LMEM_MOVEABLE | LMEM_ZEROINIT)
#define NONZEROLPTR (LMEM_FIXED)
#define NONZEROLHND (LMEM_MOVEABLE)
/* The global heap is the local one, as on the platform. */
#define GMEM_FIXED LMEM_FIXED
#define GMEM_MOVEABLE LMEM_MOVEABLE
#define GMEM_ZEROINIT LMEM_ZEROINIT
#define GMEM_MODIFY LMEM_MODIFY
#define GPTR LPTR
#define GHND LHND

/* Virtual memory. */
#define MEM_COMMIT 0x00001000
#define MEM_RESERVE 0x00002000
#define MEM_DECOMMIT 0x00004000
#define MEM_RELEASE 0x00008000
#define MEM_TOP_DOWN 0x00100000
#define PAGE_NOACCESS 0x01
#define PAGE_READONLY 0x02
#define PAGE_READWRITE 0x04
#define PAGE_EXECUTE 0x10
#define PAGE_EXECUTE_READ 0x20
#define PAGE_EXECUTE_READWRITE 0x40
#define PAGE_GUARD 0x100
#define PAGE_NOCACHE 0x200

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

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

/* ---- Files ------------------------------------------------------------------------
 * The host's own files under the platform's paths: "\My Documents\a.wav"
 * is <root>/My Documents/a.wav, where the root is $CEHOST_ROOT or, without
 * it, the program's working directory at the call.  A name without a
 * leading backslash is taken from the root too (the platform has no current
 * directory); '/' separates as '\' does, and each part of a path is found
 * ignoring case when its spelling does not match, as the platform's file
 * systems do.  The calls take 16-bit text only, as on the platform.
 * FindFirstFile matches '*' and '?' in the last part ignoring case ("*.*"
 * is every name), never answering "." or "..". */
#define MAX_PATH 260
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_FLAG_WRITE_THROUGH 0x80000000u
#define FILE_FLAG_RANDOM_ACCESS 0x10000000
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFF)
#define INVALID_SET_FILE_POINTER ((DWORD)-1)

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

/* The platform's record: dwOID, and no short name. */
typedef struct _WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwOID;
    WCHAR cFileName[MAX_PATH];
} WIN32_FIND_DATAW, *PWIN32_FIND_DATAW, *LPWIN32_FIND_DATAW;
typedef WIN32_FIND_DATAW WIN32_FIND_DATA;
typedef PWIN32_FIND_DATAW PWIN32_FIND_DATA;
typedef LPWIN32_FIND_DATAW LPWIN32_FIND_DATA;

/* Overlapped input and output: the platform has none, lpOverlapped is NULL.
 * Its first two members are pointer-sized, as Win64 has them (on 32-bit
 * builds the platform's DWORDs). */
typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Memory ----------------------------------------------------------------------
 * The platform's heap never moves a block: LMEM_MOVEABLE memory is a plain
 * pointer, its handle is its address, and locking it is a macro that
 * answers the handle, as the platform's own header has it.  LocalReAlloc
 * moves a block only with LMEM_MOVEABLE (otherwise a block that cannot grow
 * where it is fails with ERROR_NOT_ENOUGH_MEMORY); LMEM_ZEROINIT zeroes the
 * bytes it adds.  LocalSize is the size asked for. */
HLOCAL WINAPI LocalAlloc(UINT uFlags, UINT uBytes);
HLOCAL WINAPI LocalFree(HLOCAL hMem);
HLOCAL WINAPI LocalReAlloc(HLOCAL hMem, UINT uBytes, UINT uFlags);
UINT WINAPI LocalSize(HLOCAL hMem);
#define LocalLock(hMem) ((LPVOID)(hMem))
#define LocalUnlock(hMem) (0)
#define LocalHandle(pMem) ((HLOCAL)(pMem))
#define LocalFlags(hMem) (0)
/* The global heap is the local heap: the Global calls are its macros, as on
 * the platform. */
#define GlobalAlloc(flags, cb) LocalAlloc((flags), (cb))
#define GlobalFree(handle) LocalFree(handle)
#define GlobalReAlloc(handle, cb, flags) LocalReAlloc((handle), (cb), (flags))
#define GlobalSize(handle) LocalSize(handle)
#define GlobalLock(handle) LocalLock(handle)
#define GlobalUnlock(handle) LocalUnlock(handle)
#define GlobalHandle(pMem) LocalHandle(pMem)
#define GlobalFlags(handle) LocalFlags(handle)
/* Pages: MEM_RESERVE takes address space, MEM_COMMIT makes it readable and
 * writable (zeroed), together or one after the other; MEM_DECOMMIT gives
 * pages back and MEM_RELEASE (size 0, the address VirtualAlloc answered)
 * the whole region.  The protections PAGE_NOACCESS, PAGE_READONLY and
 * PAGE_READWRITE are applied; the EXECUTE ones fail with
 * ERROR_INVALID_PARAMETER. */
LPVOID WINAPI VirtualAlloc(LPVOID lpAddress, DWORD dwSize, DWORD flAllocationType, DWORD flProtect);
BOOL WINAPI VirtualFree(LPVOID lpAddress, DWORD dwSize, DWORD dwFreeType);
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
 * error codes <winerror.h> names (others fail with ERROR_MR_MID_NOT_FOUND,
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

/* ---- Files (see above) ----------------------------------------------------------------
 * CreateFile: dwDesiredAccess GENERIC_READ and/or GENERIC_WRITE (0 opens
 * for neither), the five creation dispositions, attributes and flags
 * accepted and not applied; ERROR_ALREADY_EXISTS is the last error after
 * CREATE_ALWAYS or OPEN_ALWAYS found the file.  A file's handle is closed
 * with CloseHandle; a search's with FindClose. */
HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped);
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped);
DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod);
DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh);
BOOL WINAPI DeleteFileW(LPCWSTR lpFileName);
HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData);
BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData);
BOOL WINAPI FindClose(HANDLE hFindFile);
#define CreateFile CreateFileW
#define DeleteFile DeleteFileW
#define FindFirstFile FindFirstFileW
#define FindNextFile FindNextFileW

#ifdef __cplusplus
} /* extern "C" */
#endif

/* The kernel's own calls (GetCurrentProcess), as the platform's header
 * includes them. */
#include "kfuncs.h"

#endif
