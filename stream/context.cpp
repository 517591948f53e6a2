// The stream record and its lock.
#include "stream/stream.h"

extern "C" {

STREAM_CONTEXT g_StreamContext[STREAM_COUNT];
CRITICAL_SECTION g_StreamLock;

// The holder of g_StreamLock (its thread id, 0 when free) and its depth.  The
// holder is written only by the thread that holds the lock, and read by any
// thread only to learn whether it is itself the holder, so interlocked access
// is enough; the depth is read and written only by the holder.
static LONG g_lStreamLockHolder;
static DWORD g_dwStreamLockDepth;

void EnterStreamLock(void)
{
    EnterCriticalSection(&g_StreamLock);
    if (g_dwStreamLockDepth++ == 0)
        InterlockedExchange(&g_lStreamLockHolder, static_cast<LONG>(GetCurrentThreadId()));
}

void LeaveStreamLock(void)
{
    if (--g_dwStreamLockDepth == 0)
        InterlockedExchange(&g_lStreamLockHolder, 0);
    LeaveCriticalSection(&g_StreamLock);
}

DWORD StreamLockDepth(void)
{
    LONG lSelf = static_cast<LONG>(GetCurrentThreadId());
    if (InterlockedCompareExchange(&g_lStreamLockHolder, lSelf, lSelf) != lSelf)
        return 0;
    return g_dwStreamLockDepth;
}

void UnwindStreamLock(DWORD dwDepth)
{
    while (StreamLockDepth() > dwDepth)
        LeaveStreamLock();
}

void ResetStreamContext(DWORD dwStream)
{
    STREAM_CONTEXT* s = &g_StreamContext[dwStream];
    s->bOpened = FALSE;
    s->bPaused = FALSE;
    s->bLinkUp = FALSE;
    s->bInLoop = FALSE;
    s->pHead = 0;
    s->pLoopStart = 0;
    s->pwfx = 0;
    s->pfnCallback = 0;
    s->dwBytesDone = 0;
    s->dwInstance = 0;
    s->hWave = STREAM_NO_HANDLE;
    s->dwAvgBytesPerSec = 0;
    s->dwChannels = 0;
    s->dwBitsPerSample = 0;
}

}  // extern "C"
