// WODM_WRITE, WODM_PAUSE, WODM_RESTART, WODM_RESET and WODM_BREAKLOOP: the
// messages that steer playback.  They combine the queue routines and the pump
// operations under g_StreamLock and keep bPaused.
#include "driver/guard.h"
#include "stream/stream.h"
#include "pump/pump.h"
#include "queue/queue.h"

namespace {

// The guarded work of WODM_RESET: the timer restarted, every queued header
// handed back, a pause ended and the position set to 0.  Caller holds
// g_StreamLock.
GUARD_NOINLINE void FlushForReset(DWORD dwStream)
{
    STREAM_CONTEXT* s = &g_StreamContext[dwStream];
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

}  // namespace

extern "C" {

DWORD WodmWrite(DWORD dwStream, const MMDRV_MESSAGE_PARAMS* pParams)
{
    const STREAM_CONTEXT* s = &g_StreamContext[dwStream];
    DWORD dwResult = MMSYSERR_NOERROR;

    EnterStreamLock();
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
    LeaveStreamLock();
    return dwResult;
}

DWORD WodmPause(DWORD dwStream, const MMDRV_MESSAGE_PARAMS* pParams)
{
    (void)pParams;
    STREAM_CONTEXT* s = &g_StreamContext[dwStream];
    EnterStreamLock();
    if (s->bOpened && !s->bPaused) {
        SuspendBtAudio();
        s->bPaused = TRUE;
    }
    LeaveStreamLock();
    return MMSYSERR_NOERROR;
}

DWORD WodmRestart(DWORD dwStream, const MMDRV_MESSAGE_PARAMS* pParams)
{
    (void)pParams;
    STREAM_CONTEXT* s = &g_StreamContext[dwStream];
    EnterStreamLock();
    if (s->bOpened && s->bPaused) {
        ResumeBtAudio();
        s->bPaused = FALSE;
    }
    LeaveStreamLock();
    return MMSYSERR_NOERROR;
}

DWORD WodmReset(DWORD dwStream, const MMDRV_MESSAGE_PARAMS* pParams)
{
    (void)pParams;
    STREAM_CONTEXT* s = &g_StreamContext[dwStream];

    EnterStreamLock();
    // Every exception is caught here, access faults and the client's own
    // exceptions from inside MM_WOM_DONE alike.  The guard releases nothing;
    // levels of the lock that the stretch took (a client's callback that sent
    // a message) are given back down to this handler's own holding.
    DWORD dwLockDepth = StreamLockDepth();
    GUARD_FRAME frame;
    GUARD_TRY(frame, GUARD_ALL_EXCEPTIONS)
    {
        FlushForReset(dwStream);
    }
    GUARD_EXCEPT(frame)
    {
        UnwindStreamLock(dwLockDepth);
        // The stream cannot be trusted any more: it is closed and its queue
        // forgotten.  The link flag mirrors the link, which a fault here does
        // not change, so it survives as it does a close; clearing it would
        // keep every later open from announcing itself until the next link-up.
        BOOL bLinkUp = s->bLinkUp;
        ResetStreamContext(dwStream);
        s->bLinkUp = bLinkUp;
    }
    LeaveStreamLock();
    return MMSYSERR_NOERROR;
}

DWORD WodmBreakLoop(DWORD dwStream, const MMDRV_MESSAGE_PARAMS* pParams)
{
    (void)pParams;
    EnterStreamLock();
    ClearLoopMarks(dwStream);
    LeaveStreamLock();
    return MMSYSERR_NOERROR;
}

}  // extern "C"
