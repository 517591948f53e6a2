// WODM_OPEN, WODM_CLOSE and WODM_GETPOS: the messages that begin, end and
// measure the stream.
#include "stream/stream.h"
#include "pump/pump.h"

namespace {

// The 12 bytes of MMTIME that WODM_GETPOS may write.
const UINT kMmtimeBytes = sizeof(MMTIME);

// Sends uMsg to the client, if it gave a callback.  Caller holds g_StreamLock.
void NotifyClient(const STREAM_CONTEXT* s, UINT uMsg)
{
    if (s->pfnCallback != 0)
        s->pfnCallback(reinterpret_cast<HDRVR>(s->hWave), uMsg, s->dwInstance, 0, 0);
}

// Answers a position request in bytes, rewriting the time format.
void AnswerInBytes(BYTE* pmmt, DWORD dwBytes)
{
    REC_SET32(pmmt, MMTIME, wType, TIME_BYTES);
    REC_SET32(pmmt, MMTIME, u, dwBytes);
}

}  // namespace

extern "C" {

BOOL CheckWaveFormat(const WAVEFORMATEX* pwfx)
{
    return REC_GET16(pwfx, WAVEFORMATEX, wFormatTag) == WAVE_FORMAT_PCM &&
           REC_GET16(pwfx, WAVEFORMATEX, nChannels) == 2 &&
           REC_GET32(pwfx, WAVEFORMATEX, nSamplesPerSec) == 44100;
}

DWORD WodmOpen(DWORD dwStream, const MMDRV_MESSAGE_PARAMS* pParams)
{
    STREAM_CONTEXT* s = &g_StreamContext[dwStream];
    DWORD dwResult = MMSYSERR_NOERROR;

    EnterStreamLock();
    const BYTE* pDesc = reinterpret_cast<const BYTE*>(REC_GETPTR(pParams, MMDRV_MESSAGE_PARAMS, dwParam1));
    DWORD dwFlags = static_cast<DWORD>(REC_GETPTR(pParams, MMDRV_MESSAGE_PARAMS, dwParam2));

    // A null descriptor, or a query's null format, has nothing to read: the
    // answer is that of a fault on it (no result word, nothing changed).
    if (dwFlags & WAVE_FORMAT_QUERY) {
        const WAVEFORMATEX* pwfx = 0;
        if (pDesc != 0)
            pwfx = reinterpret_cast<const WAVEFORMATEX*>(REC_GETPTR(pDesc, WAVEOPENDESC, lpFormat));
        if (pwfx == 0)
            dwResult = WODM_NO_ANSWER;
        else
            dwResult = CheckWaveFormat(pwfx) ? MMSYSERR_NOERROR : WAVERR_BADFORMAT;
    } else if (dwFlags & WAVE_FORMAT_DIRECT) {
        dwResult = MMSYSERR_NOTSUPPORTED;
    } else if (pDesc == 0) {
        dwResult = WODM_NO_ANSWER;
    } else {
        // A real open takes any format.  Everything is read from the caller's
        // records before the stream changes, so that a record that cannot be
        // read ends the call with the stream as it was.
        HWAVE hWave = reinterpret_cast<HWAVE>(REC_GETPTR(pDesc, WAVEOPENDESC, hWave));
        LPWAVEFORMATEX pwfx = reinterpret_cast<LPWAVEFORMATEX>(REC_GETPTR(pDesc, WAVEOPENDESC, lpFormat));
        DWORD_PTR dwCallback = REC_GETPTR(pDesc, WAVEOPENDESC, dwCallback);
        DWORD_PTR dwInstance = REC_GETPTR(pDesc, WAVEOPENDESC, dwInstance);
        DWORD dwAvgBytesPerSec = 0;
        DWORD dwChannels = 0;
        DWORD dwBitsPerSample = 0;
        if (pwfx != 0) {
            dwAvgBytesPerSec = REC_GET32(pwfx, WAVEFORMATEX, nAvgBytesPerSec);
            dwChannels = REC_GET16(pwfx, WAVEFORMATEX, nChannels);
            dwBitsPerSample = REC_GET16(pwfx, WAVEFORMATEX, wBitsPerSample);
        }

        s->pwfx = pwfx;
        s->dwAvgBytesPerSec = dwAvgBytesPerSec;
        s->dwChannels = dwChannels;
        s->dwBitsPerSample = dwBitsPerSample;
        s->pfnCallback = reinterpret_cast<LPDRVCALLBACK>(dwCallback);
        s->dwInstance = dwInstance;
        s->hWave = hWave;

        // A second open replaces the client: whatever was queued is dropped
        // without being handed back.  bPaused and bLinkUp stay.
        s->pHead = 0;
        s->pLoopStart = 0;
        s->bInLoop = FALSE;
        s->dwBytesDone = 0;

        // The stream announces itself only while the link is up, and before
        // it counts as open.  The client may close the stream from inside
        // the announcement; the close then resets the record (the callback
        // is gone from it, and there was one, or nothing was announced) and
        // has the last word: the open must not revive a stream whose client
        // was told it is closed.  An open from the callback has already
        // marked the stream open for its own client.
        BOOL bClosedMeanwhile = FALSE;
        if (s->bLinkUp) {
            NotifyClient(s, MM_WOM_OPEN);
            bClosedMeanwhile = dwCallback != 0 && s->pfnCallback == 0;
        }
        if (!bClosedMeanwhile)
            s->bOpened = TRUE;
    }
    LeaveStreamLock();
    return dwResult;
}

DWORD WodmClose(DWORD dwStream, const MMDRV_MESSAGE_PARAMS* pParams)
{
    (void)pParams;
    STREAM_CONTEXT* s = &g_StreamContext[dwStream];
    DWORD dwResult = MMSYSERR_NOERROR;

    EnterStreamLock();
    if (s->pHead != 0) {
        // The client hands its headers back first (reset, or let them play).
        dwResult = WAVERR_STILLPLAYING;
    } else {
        // Stopped and reset under the same holding as the test above, before
        // the client hears of it: nothing can be queued, posted or handed back
        // between the test and the reset, not even by the client's callback.
        // The callback therefore meets a closed stream (a write from it
        // answers 0 and queues nothing, as on any closed stream, and an open
        // from it stays open), and is told the handle and instance word of
        // the open that ends.
        StopBtAudio();
        STREAM_CONTEXT closing = *s;
        ResetStreamContext(dwStream);
        s->bLinkUp = closing.bLinkUp;
        NotifyClient(&closing, MM_WOM_CLOSE);
    }
    LeaveStreamLock();
    return dwResult;
}

DWORD GetBytePosition(DWORD dwStream)
{
    const STREAM_CONTEXT* s = &g_StreamContext[dwStream];
    EnterStreamLock();
    DWORD dwPosition = s->dwBytesDone;
    if (s->pHead != 0)
        dwPosition += REC_GET32(s->pHead, WAVEHDR, dwBytesRecorded);
    LeaveStreamLock();
    return dwPosition;
}

DWORD WodmGetPos(const MMDRV_MESSAGE_PARAMS* pParams)
{
    const STREAM_CONTEXT* s = &g_StreamContext[STREAM_OUTPUT];
    BYTE* pmmt = reinterpret_cast<BYTE*>(REC_GETPTR(pParams, MMDRV_MESSAGE_PARAMS, dwParam1));
    if (IsBadWritePtr(pmmt, kMmtimeBytes))
        return MMSYSERR_INVALPARAM;

    // The lock covers only the reading of the position and the format; the
    // answer is written without it.
    EnterStreamLock();
    DWORD dwPosition = GetBytePosition(STREAM_OUTPUT);
    BOOL bFormat = s->pwfx != 0;
    DWORD dwAvgBytesPerSec = s->dwAvgBytesPerSec;
    DWORD dwBitsPerFrame = s->dwBitsPerSample * s->dwChannels;   // both below 2^16
    LeaveStreamLock();

    // Milliseconds and samples need a format with a non-zero rate or frame
    // size; without one (no format stored included) the answer is in bytes.
    // The products are formed in 64 bits; the quotient is kept to 32.
    switch (REC_GET32(pmmt, MMTIME, wType)) {
    case TIME_BYTES:
        REC_SET32(pmmt, MMTIME, u, dwPosition);
        break;
    case TIME_MS:
        if (!bFormat || dwAvgBytesPerSec == 0)
            AnswerInBytes(pmmt, dwPosition);
        else
            REC_SET32(pmmt, MMTIME, u,
                      static_cast<DWORD>(static_cast<ULONGLONG>(dwPosition) * 1000u / dwAvgBytesPerSec));
        break;
    case TIME_SAMPLES:
        if (!bFormat || dwBitsPerFrame == 0)
            AnswerInBytes(pmmt, dwPosition);
        else
            REC_SET32(pmmt, MMTIME, u,
                      static_cast<DWORD>(static_cast<ULONGLONG>(dwPosition) * 8u / dwBitsPerFrame));
        break;
    case TIME_SMPTE:
    case TIME_MIDI:
    case TIME_TICKS:
        AnswerInBytes(pmmt, dwPosition);
        break;
    default:
        break;   // a format nobody knows: nothing is written
    }
    return MMSYSERR_NOERROR;
}

}  // extern "C"
