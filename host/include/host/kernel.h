/* How the host's kernel objects, thread message queues and tick count behave
 * for an application.  The declarations are the platform's own, in
 * <windows.h> (this header includes it); what follows is what the host
 * promises about them.  Includable from C and C++.
 *
 * Objects.  Events (manual- or auto-reset, optionally named) and threads are
 * waitable through one handle table.  A thread's handle is signalled when its
 * function returns.  CloseHandle takes a handle back; an object lives on while
 * a thread still waits on it or, for a thread, while it runs.  Handles are
 * never reused within a process, so a stale handle fails with
 * ERROR_INVALID_HANDLE instead of reaching another object.
 *
 * Events.  SetEvent on an auto-reset event with a thread waiting releases
 * exactly that one waiter and leaves the event clear; a second SetEvent that
 * comes before the released thread runs leaves the event set, so no signal is
 * lost.  lpEventAttributes is ignored.  A name that already names an event
 * gives a new handle to that event, with ERROR_ALREADY_EXISTS as the last
 * error; the flags of the second call are then ignored.
 *
 * Waits.  WaitForSingleObject and WaitForMultipleObjects (at most
 * MAXIMUM_WAIT_OBJECTS handles, bWaitAll FALSE only, as on the device)
 * return WAIT_OBJECT_0 + index of the lowest signalled object, WAIT_TIMEOUT,
 * or WAIT_FAILED with the thread's last error set.  A satisfied wait on an
 * auto-reset event clears it.  Timeouts, like Sleep, run on the wall clock
 * whichever clock the host uses: the virtual clock stands still unless it is
 * advanced, so a wait for a wave buffer on it returns only once something
 * advances the clock (host::AdvanceVirtualMs, or CeHostAdvanceClock).
 *
 * Message queues.  As on the device, every thread can be posted to: a
 * thread made by CreateThread from the moment CreateThread returns (also
 * while it is held suspended), any other thread from the moment it has an
 * id (its first GetCurrentThreadId, or any call that needs one), until it
 * ends.  PostThreadMessage to an id that names no living thread fails with
 * ERROR_INVALID_THREAD_ID.  A thread's queue also holds the messages
 * posted to its windows (<winuser.h>); GetMessage and PeekMessage with hWnd
 * NULL take both kinds, with a window only that window's, and run the window
 * procedure for messages sent from other threads first.  CALLBACK_THREAD
 * opens of the wave API post MM_WOM_OPEN, MM_WOM_CLOSE and MM_WOM_DONE here
 * (wParam: the HWAVEOUT, lParam: the WAVEHDR for MM_WOM_DONE).  GetMessage
 * answers 0 for WM_QUIT, -1 on error and otherwise TRUE; wMsgFilterMin and
 * wMsgFilterMax both 0 take every message.
 *
 * Mutexes and semaphores.  A mutex is owned by the thread whose wait took it
 * (or that created it with bInitialOwner), recursively; ReleaseMutex by
 * another thread fails with ERROR_NOT_OWNER.  A mutex whose owner ends
 * stays owned (the host does not abandon it).  A semaphore's wait takes one
 * of its count; ReleaseSemaphore beyond the maximum fails with
 * ERROR_TOO_MANY_POSTS and changes nothing.  Events, mutexes and semaphores
 * share one name space; a name taken by another kind fails with
 * ERROR_INVALID_HANDLE.  OpenEvent gives a new handle to a named event, or
 * fails with ERROR_FILE_NOT_FOUND.  The A forms take the name in the ANSI
 * code page (1252).
 *
 * Thread priorities.  SetThreadPriority takes the platform's eight levels
 * (THREAD_PRIORITY_TIME_CRITICAL 0 to THREAD_PRIORITY_IDLE 7; others fail
 * with ERROR_INVALID_PARAMETER) and GetThreadPriority answers them
 * (THREAD_PRIORITY_NORMAL until set); the host records the level but runs
 * every thread at the desktop's normal priority, so the level does not
 * change timing here.  GetCurrentThread's pseudo-handle works in both.
 *
 * Threads.  dwStackSize is ignored.  CREATE_SUSPENDED holds the thread until
 * ResumeThread brings its suspend count to 0.  Thread ids are the ones
 * GetCurrentThreadId reports inside the thread.
 *
 * Time.  GetTickCount and timeGetTime count milliseconds: on the real clock
 * since the machine started, on the virtual clock since it was (re)started,
 * so there they move only when it is advanced.
 *
 * Threads and locks: every function may be called from any thread, also
 * from a driver's callback with the driver's lock held; none of them calls
 * back into the application or a driver.  GetMessage and the waits block
 * the calling thread, so they must not be called with a lock held that the
 * signalling thread needs. */
#ifndef HOST_KERNEL_H
#define HOST_KERNEL_H

#include <windows.h>
#include <mmsystem.h>

#endif
