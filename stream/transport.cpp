// WODM_WRITE, WODM_PAUSE, WODM_RESTART, WODM_RESET and WODM_BREAKLOOP: the
// messages that steer playback.  They combine the queue routines and the pump
// operations under g_StreamLock and keep bPaused.
#include "stream/stream.h"
#include "pump/pump.h"
#include "queue/queue.h"

extern "C" {

DWORD WodmWrite(DWORD dwStream, const MMDRV_MESSAGE_PARAMS* pParams)
{
    const STREAM_CONTEXT* s = &g_StreamContext[dwStream];
    DWORD dwResult = MMSYSERR_NOERROR;

    EnterCriticalSection(&g_StreamLock);
    if (s->bOpened) {
        LPWAVEHDR pHdr = reinterpret_cast<LPWAVEHDR>(REC_GETPTR(pParams, MMDRV_MESSAGE_PARAMS, dwParam1));
        if (pHdr == 0) {
            // Nothing to read: the outcome of a fault inside QueueWaveHeader,
            // which ends the message before the pump is started.
            dwResult = WODM_NO_ANSWER;
        } else {
            dwResult = QueueWaveHeader(dwStream, pHdr);
            // Also after a refusal: an idle pump starts, and its first tick
            // stops it again when nothing is queued.  A held pump stays held.
            StartBtAudio();
        }
    }
    LeaveCriticalSection(&g_StreamLock);
    return dwResult;
}

DWORD WodmPause(DWORD dwStream, const MMDRV_MESSAGE_PARAMS* pParams)
{
    (void)pParams;
    STREAM_CONTEXT* s = &g_StreamContext[dwStream];
    EnterCriticalSection(&g_StreamLock);
    if (s->bOpened && !s->bPaused) {
        SuspendBtAudio();
        s->bPaused = TRUE;
    }
    LeaveCriticalSection(&g_StreamLock);
    return MMSYSERR_NOERROR;
}

DWORD WodmRestart(DWORD dwStream, const MMDRV_MESSAGE_PARAMS* pParams)
{
    (void)pParams;
    STREAM_CONTEXT* s = &g_StreamContext[dwStream];
    EnterCriticalSection(&g_StreamLock);
    if (s->bOpened && s->bPaused) {
        ResumeBtAudio();
        s->bPaused = FALSE;
    }
    LeaveCriticalSection(&g_StreamLock);
    return MMSYSERR_NOERROR;
}

DWORD WodmReset(DWORD dwStream, const MMDRV_MESSAGE_PARAMS* pParams)
{
    (void)pParams;
    STREAM_CONTEXT* s = &g_StreamContext[dwStream];

    EnterCriticalSection(&g_StreamLock);
    // Every exception is caught here, access faults and the client's own
    // exceptions from inside MM_WOM_DONE alike; the guard releases whatever
    // the stretch entered of the lock, so one level stays held below.
    SEH_FRAME frame;
    SEH_TRY(frame, SEH_FILTER_ALL)
    {
        RestartBtAudio();
        MarkAllHeadersDone(dwStream);
        ClearLoopMarks(dwStream);
        ReturnDoneHeaders(dwStream);
        if (s->bPaused) {
            ResumeBtAudio();
            s->bPaused = FALSE;
        }
        s->dwBytesDone = 0;
    }
    SEH_EXCEPT(frame)
    {
        // The stream cannot be trusted any more: it is closed and its queue
        // forgotten.  The link flag mirrors the link, which a fault here does
        // not change, so it survives as it does a close; clearing it would
        // keep every later open from announcing itself until the next link-up.
        BOOL bLinkUp = s->bLinkUp;
        ResetStreamContext(dwStream);
        s->bLinkUp = bLinkUp;
    }
    LeaveCriticalSection(&g_StreamLock);
    return MMSYSERR_NOERROR;
}

DWORD WodmBreakLoop(DWORD dwStream, const MMDRV_MESSAGE_PARAMS* pParams)
{
    (void)pParams;
    EnterCriticalSection(&g_StreamLock);
    ClearLoopMarks(dwStream);
    LeaveCriticalSection(&g_StreamLock);
    return MMSYSERR_NOERROR;
}

}  // extern "C"
