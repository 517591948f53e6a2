// The tick and its bytes-due clock.
#include "driver/driver.h"
#include "pump/pump.h"
#include "queue/queue.h"
#include "stream/stream.h"

extern "C" {

DWORD GetBtAudioBytesDue(BT_AUDIO_PARA* pPara)
{
    LARGE_INTEGER liNow;
    QueryPerformanceCounter(&liNow);
    LONGLONG llFrequency = pPara->liFrequency.QuadPart;
    LONGLONG llElapsed = liNow.QuadPart - pPara->liLastCount.QuadPart;
    pPara->liLastCount = liNow;
    // No frequency means a record never configured: nothing can be due.
    if (llFrequency <= 0)
        return 0;
    if (llElapsed < 0)
        llElapsed = 0;

    // Bytes in units of 1/frequency byte; the quotient is whole bytes and
    // the remainder is carried, so no fraction is lost between ticks.
    ULONGLONG ullNumerator = static_cast<ULONGLONG>(llElapsed) * pPara->dwSample +
                             static_cast<ULONGLONG>(pPara->liCarry.QuadPart);
    ULONGLONG ullFrequency = static_cast<ULONGLONG>(llFrequency);
    ULONGLONG ullBytes = ullNumerator / ullFrequency;
    ULONGLONG ullRest = ullNumerator % ullFrequency;
    // Whole frames only: the bytes past the last whole frame go to the
    // carry, so a packet never ends inside a frame and the time is still
    // paid for to the byte (the carry stays below one frame's worth).
    ULONGLONG ullPartial = ullBytes % BT_AUDIO_FRAME_BYTES;
    ullBytes -= ullPartial;
    ullRest += ullPartial * ullFrequency;
    pPara->liCarry.QuadPart = static_cast<LONGLONG>(ullRest);
    return static_cast<DWORD>(ullBytes);
}

void CALLBACK BtAudioTimerProc(UINT uTimerId, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dw1, DWORD_PTR dw2)
{
    (void)uMsg;
    (void)dwUser;
    (void)dw1;
    (void)dw2;
    if (!EnterAsyncUse())
        return;
    EnterStreamLock();
    BT_AUDIO_PARA* pPara = &g_BtAudioPara;

    // A tick of a timer that was ended while this tick waited for the lock
    // (a pause, a reset, a close) belongs to nobody: it must neither post
    // nor stop the timer that replaced its own.
    if (pPara->uTimerId != 0 && uTimerId == pPara->uTimerId) {
        DWORD dwDue = GetBtAudioBytesDue(pPara);
        if (g_StreamContext[STREAM_OUTPUT].pLoopStart == 0) {
            StopBtAudioTimer(pPara);
            pPara->bRunning = FALSE;
        } else if (pPara->nTicks == 0) {
            // The first tick since a start from idle sends a fixed reserve.
            PostBtAudioData(pPara, pPara->dwCacheLen);
            MarkConsumedHeadersDone(STREAM_OUTPUT);
            ReturnDoneHeaders(STREAM_OUTPUT);
            pPara->nTicks = 1;
            pPara->liCarry.QuadPart = 0;
        } else {
            PostBtAudioData(pPara, dwDue);
            MarkConsumedHeadersDone(STREAM_OUTPUT);
            ReturnDoneHeaders(STREAM_OUTPUT);
        }
    }

    LeaveStreamLock();
    LeaveAsyncUse();
}

}  // extern "C"
