// Shared between the host's own sources; not for drivers or tests.
#pragma once

#include <string>
#include <vector>

#include "host/host.h"
#include "host/platform.h"
// Byte-wise access to the records that callers supply.
#include "host/records.h"

namespace host {

// ---- Counters (counters.cpp) ---------------------------------------------------
// Bumped with Bump from any thread, without a lock; read by GetCounters.
extern Counters g_counters;
inline void Bump(unsigned long& counter) { __atomic_fetch_add(&counter, 1, __ATOMIC_RELAXED); }

// ---- Critical sections (critsec.cpp) ---------------------------------------------
extern thread_local std::vector<CRITICAL_SECTION*> t_lockJournal;

// ---- Wide strings (widestring.cpp) ---------------------------------------------------
// The code point at s[*i] of a UTF-16 string of n units, a surrogate pair
// decoded as one (an unpaired surrogate stands for itself); moves *i past it.
char32_t NextCodePoint(const WCHAR* s, size_t n, size_t* i);

// ---- The debug output (debugout.cpp) ----------------------------------------------
// One line of the host's own on the debug output (kept, and echoed unless
// `echo` is false).  Any thread; the output's mutex is a leaf.
void DebugPrint(const std::string& line, bool echo = true);

// ---- The fault guard (seh.cpp) -----------------------------------------------------
// The calling thread's innermost guard frame, or null.
const SEH_FRAME* SehInnermostFrame();
// In the fault handler, before it resumes guard frame f (wave_callback_rules.cpp).
void NoteGuardResume(const SEH_FRAME* f);

// ---- Thread ids (threadstate.cpp) ---------------------------------------------------
// A thread's id is live from the moment it is given out (its first
// GetCurrentThreadId) until the thread ends or RetireThreadId names it.  Any
// thread, any lock: the live ids' mutex is a leaf.
bool IsLiveThreadId(DWORD id);
void RetireThreadId(DWORD id);

// ---- Kernel objects (kernel.cpp) -----------------------------------------------------
// True for a handle of an event object (CALLBACK_EVENT's target).
bool IsEventHandle(HANDLE handle);
// Queues a posted message for a living thread; false (ERROR_INVALID_THREAD_ID
// set) for an id that names none.  Any thread, no lock held.
bool PostQueueMessage(DWORD threadId, const MSG& m);
// Queues a message sent to a window of another thread and blocks until that
// thread has run its window procedure for it (in GetMessage or PeekMessage);
// 0 when the thread ends first.  Any thread but the window's; no lock held
// that the window's thread needs.
LRESULT SendQueueMessage(DWORD threadId, const MSG& m);
// Drops the posted messages of a destroyed window.  Any thread, no lock.
void DropWindowMessages(HWND hwnd);

// ---- Files (files.cpp) -----------------------------------------------------------------
// Closes a file's handle from CreateFile; false for a handle that is none.
// Any thread, no lock held.
bool CloseFileHandle(HANDLE handle);
// The host path for a platform path ("\dir\name" under the files' root,
// each part found ignoring case where its spelling differs); false (the
// error in *error) for a path that cannot name a file here.
bool HostPath(const WCHAR* path, std::string* out, DWORD* error);

// ---- Sounds (playsound.cpp) ---------------------------------------------------------
// Stops the sound PlaySound is playing and waits until its thread is done
// with the wave API.  Any thread but a wave callback; no lock held.
void StopSounds();
void StopSoundsLocked();   // the same, for playsound.cpp's own calls

// ---- Windows (window.cpp) -------------------------------------------------------------
// Calls the procedure of m.hwnd with m, and answers its result (0 when the
// window is gone).  Called on the window's thread, no lock held.
LRESULT CallWindowProcedure(const MSG& m);
// The thread that owns a window, 0 for a handle that names none.  Any
// thread, no lock held.
DWORD WindowThread(HWND hwnd);

// ---- Resets, called by ResetAll in its stated order (reset.cpp) ------------------------
void ResetDeviceManager();   // devicemanager.cpp
void ResetWave();            // wave_table.cpp
void ResetClock();           // clock.cpp
void ResetKernel();          // kernel.cpp
void ResetRegistry();        // registry.cpp
void ResetDebugOutput();     // debugout.cpp
void ResetCounters();        // counters.cpp
void ResetDriverHeap();      // driverheap.cpp
void ResetCallbackRules();   // wave_callback_rules.cpp

}  // namespace host

// The host's 16-bit string length, for its own conversions.
extern "C" size_t __wrap_wcslen(const WCHAR* s);
