// Kernel objects, thread message queues and the tick count, under the
// platform's own names and argument lists, with C linkage, as an application
// written for the device calls them.
//
// Objects.  Events (manual- or auto-reset, optionally named) and threads are
// waitable through one handle table.  A thread's handle is signalled when its
// function returns.  CloseHandle takes a handle back; an object lives on while
// a thread still waits on it or, for a thread, while it runs.  Handles are
// never reused within a process, so a stale handle fails with
// ERROR_INVALID_HANDLE instead of reaching another object.
//
// Waits.  WaitForSingleObject and WaitForMultipleObjects (at most
// MAXIMUM_WAIT_OBJECTS handles, bWaitAll FALSE only, as on the device)
// return WAIT_OBJECT_0 + index of the lowest signalled object, WAIT_TIMEOUT,
// or WAIT_FAILED with the thread's last error set.  A satisfied wait on an
// auto-reset event clears it.  Timeouts, like Sleep, run on the wall clock
// whichever clock the host uses: the virtual clock stands still unless it is
// advanced, so a wait for a wave buffer on it returns only once something
// advances the clock (host::AdvanceVirtualMs, or CeHostAdvanceClock).
//
// Message queues.  A thread gets its queue the first time it calls
// PeekMessage or GetMessage, as on the device; PostThreadMessage to a thread
// without one fails with ERROR_INVALID_THREAD_ID.  There is no window
// system: every hWnd argument must be NULL.  CALLBACK_THREAD opens of the
// wave API post MM_WOM_OPEN, MM_WOM_CLOSE and MM_WOM_DONE here (wParam: the
// HWAVEOUT, lParam: the WAVEHDR for MM_WOM_DONE).
//
// Time.  GetTickCount and timeGetTime count milliseconds: on the real clock
// since the machine started, on the virtual clock since it was (re)started,
// so there they move only when it is advanced.
//
// Threads and locks: every function may be called from any thread, also
// from a driver's callback with the driver's lock held; none of them calls
// back into the application or a driver.  GetMessage and the waits block
// the calling thread, so they must not be called with a lock held that the
// signalling thread needs.
#pragma once

#include "host/platform.h"

typedef void* HWND;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef DWORD (WINAPI* PTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;
typedef struct _SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

typedef struct tagPOINT {
    LONG x;
    LONG y;
} POINT;

typedef struct tagMSG {
    HWND hwnd;         // always NULL here: thread messages only
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;        // GetTickCount when it was posted
    POINT pt;          // always 0, 0
} MSG, *PMSG, *LPMSG;

#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define MAXIMUM_WAIT_OBJECTS 64
#define STILL_ACTIVE 0x00000103u
#define CREATE_SUSPENDED 0x00000004u
#define STACK_SIZE_PARAM_IS_A_RESERVATION 0x00010000u

#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001
#define WM_QUIT 0x0012
#define WM_USER 0x0400

#ifndef ERROR_INVALID_HANDLE
#define ERROR_INVALID_HANDLE 6L
#endif
#ifndef ERROR_NOT_SUPPORTED
#define ERROR_NOT_SUPPORTED 50L
#endif
#ifndef ERROR_ALREADY_EXISTS
#define ERROR_ALREADY_EXISTS 183L
#endif
#ifndef ERROR_INVALID_WINDOW_HANDLE
#define ERROR_INVALID_WINDOW_HANDLE 1400L
#endif
#ifndef ERROR_INVALID_THREAD_ID
#define ERROR_INVALID_THREAD_ID 1444L
#endif

extern "C" {

// Events.  lpEventAttributes is ignored.  A name that already names an
// event gives a new handle to that event, with ERROR_ALREADY_EXISTS as the
// last error; the flags of the second call are then ignored.
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName);
HANDLE CreateEvent(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName);
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);
BOOL CloseHandle(HANDLE hObject);

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds);

// Threads.  dwStackSize is ignored.  CREATE_SUSPENDED holds the thread until
// ResumeThread brings its suspend count to 0.  Thread ids are the ones
// GetCurrentThreadId reports inside the thread.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpsa, DWORD dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                    LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId);
DWORD ResumeThread(HANDLE hThread);
BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);

// Thread message queues.  GetMessage answers 0 for WM_QUIT, -1 on error and
// otherwise TRUE; wMsgFilterMin and wMsgFilterMax both 0 take every message.
BOOL PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam);
BOOL PostThreadMessage(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam);
BOOL GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax);
BOOL GetMessage(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax);
BOOL PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg);
BOOL PeekMessage(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg);

// Milliseconds on the host's clock, wrapping at 2^32.
DWORD GetTickCount(void);
DWORD timeGetTime(void);

}  // extern "C"
