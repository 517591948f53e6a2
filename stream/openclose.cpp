// WODM_OPEN, WODM_CLOSE and WODM_GETPOS: the messages that begin, end and
// measure the stream.
#include "driver/guard.h"
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

// The announcement itself, one call as the guard needs it.
GUARD_NOINLINE void AnnounceOpen(const STREAM_CONTEXT* s)
{
    NotifyClient(s, MM_WOM_OPEN);
}

// Sends MM_WOM_OPEN inside an access-fault guard.  FALSE when the client's
// callback faulted; levels of g_StreamLock that it took are given back down
// to the caller's holding.  Caller holds g_StreamLock.
BOOL AnnounceOpenGuarded(const STREAM_CONTEXT* s)
{
    DWORD dwLockDepth = StreamLockDepth();
    volatile BOOL bAnnounced = FALSE;
    GUARD_FRAME frame;
    GUARD_TRY(frame, GUARD_ACCESS_FAULTS)
    {
        AnnounceOpen(s);
        bAnnounced = TRUE;
    }
    GUARD_EXCEPT(frame)
    {
        UnwindStreamLock(dwLockDepth);
        bAnnounced = FALSE;
    }
    return bAnnounced;
}

// From the platform's mmreg.h, which the driver does not otherwise need:
// the extensible record's tag (WAVE_FORMAT_EXTENSIBLE) and the speaker
// positions of a stereo pair (SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT).
const WORD kTagExtensible = 0xFFFE;
const DWORD kFrontLeftRight = 0x1 | 0x2;

// The extensible format record after its WAVEFORMATEX (mmreg.h's
// WAVEFORMATEXTENSIBLE, byte-packed): the valid bits per sample, the
// speakers of the channels and the subformat GUID.  Offsets from the record's
// start, as the driver reads them byte by byte.
const UINT kExtValidBits = 18;      // WORD wValidBitsPerSample
const UINT kExtChannelMask = 20;    // DWORD dwChannelMask
const UINT kExtSubFormat = 24;      // GUID SubFormat, 16 bytes
const WORD kExtMinExtra = 22;       // cbSize that covers the three
STATIC_ASSERT(offsetof(WAVEFORMATEX, cbSize) == 16);
STATIC_ASSERT(sizeof(WAVEFORMATEX) == 18);

// KSDATAFORMAT_SUBTYPE_PCM (00000001-0000-0010-8000-00AA00389B71) as it
// lies in memory: the first three fields little-endian, the last eight bytes
// as written.
const BYTE kSubFormatPcm[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

// The device's one format: 16-bit stereo PCM at 44,100 Hz.
const WORD kDeviceChannels = BTWAV_DEVICE_CHANNELS;
const DWORD kDeviceRate = BTWAV_DEVICE_RATE;
const WORD kDeviceBits = BTWAV_DEVICE_BITS;

// The extensible part of a record tagged WAVE_FORMAT_EXTENSIBLE: long enough,
// PCM samples all 16 bits valid, and the two channels either unplaced or
// front left and front right, which is what the headset plays.
BOOL IsDevicePcmExtension(const WAVEFORMATEX* pwfx)
{
    const BYTE* p = reinterpret_cast<const BYTE*>(pwfx);
    if (REC_GET16(pwfx, WAVEFORMATEX, cbSize) < kExtMinExtra)
        return FALSE;
    if (RecReadU16(p + kExtValidBits) != kDeviceBits)
        return FALSE;
    DWORD dwMask = RecReadU32(p + kExtChannelMask);
    if (dwMask != 0 && dwMask != kFrontLeftRight)
        return FALSE;
    for (UINT i = 0; i < sizeof(kSubFormatPcm); ++i)
        if (p[kExtSubFormat + i] != kSubFormatPcm[i])
            return FALSE;
    return TRUE;
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
    // Every field that decides how the bytes are cut and paced must be the
    // device's: a width, frame size or byte rate of another format would be
    // played as noise, or at the wrong speed.  A plain PCM record may be the
    // 16-byte PCMWAVEFORMAT, so its cbSize is not read.
    WORD wTag = REC_GET16(pwfx, WAVEFORMATEX, wFormatTag);
    if (wTag != WAVE_FORMAT_PCM && wTag != kTagExtensible)
        return FALSE;
    if (REC_GET16(pwfx, WAVEFORMATEX, nChannels) != kDeviceChannels ||
        REC_GET32(pwfx, WAVEFORMATEX, nSamplesPerSec) != kDeviceRate ||
        REC_GET16(pwfx, WAVEFORMATEX, wBitsPerSample) != kDeviceBits ||
        REC_GET16(pwfx, WAVEFORMATEX, nBlockAlign) != BT_AUDIO_FRAME_BYTES ||
        REC_GET32(pwfx, WAVEFORMATEX, nAvgBytesPerSec) != BTWAV_DEVICE_BYTE_RATE)
        return FALSE;
    return wTag == WAVE_FORMAT_PCM || IsDevicePcmExtension(pwfx);
}

DWORD WodmOpen(DWORD dwStream, const MMDRV_MESSAGE_PARAMS* pParams)
{
    STREAM_CONTEXT* s = &g_StreamContext[dwStream];
    DWORD dwResult = MMSYSERR_NOERROR;

    EnterStreamLock();
    const BYTE* pDesc = reinterpret_cast<const BYTE*>(REC_GETPTR(pParams, MMDRV_MESSAGE_PARAMS, dwParam1));
    DWORD dwFlags = static_cast<DWORD>(REC_GETPTR(pParams, MMDRV_MESSAGE_PARAMS, dwParam2));

    // A null descriptor or a null format has nothing to read: the answer is
    // that of a fault on it (no result word, nothing changed), for a query
    // and a real open alike.  The format test is the same for both: a real
    // open refuses what a query refuses, so that the wave mapper converts and
    // a client that opens the device directly learns at once.  The driver
    // never converts, so WAVE_FORMAT_DIRECT (no conversion on the way) asks
    // for nothing it does not already do.
    const WAVEFORMATEX* pwfxAsked = 0;
    if (pDesc != 0)
        pwfxAsked = reinterpret_cast<const WAVEFORMATEX*>(REC_GETPTR(pDesc, WAVEOPENDESC, lpFormat));
    if (pwfxAsked == 0) {
        dwResult = WODM_NO_ANSWER;
    } else if (!CheckWaveFormat(pwfxAsked)) {
        dwResult = WAVERR_BADFORMAT;
    } else if (dwFlags & WAVE_FORMAT_QUERY) {
        dwResult = MMSYSERR_NOERROR;
    } else if (s->bOpened) {
        // The stream has one client.  Taking it over would drop the first
        // client's queued headers without ever handing them back, and its
        // callback with them: a client that waits for its buffers would wait
        // for ever.  The second client is told the device is in use, and the
        // first one's queue, position, callback and pause stay as they were.
        dwResult = MMSYSERR_ALLOCATED;
    } else {
        // Everything is read from the caller's records before the stream
        // changes, so that a record that cannot be read ends the call with
        // the stream as it was.
        HWAVE hWave = reinterpret_cast<HWAVE>(REC_GETPTR(pDesc, WAVEOPENDESC, hWave));
        LPWAVEFORMATEX pwfx = reinterpret_cast<LPWAVEFORMATEX>(REC_GETPTR(pDesc, WAVEOPENDESC, lpFormat));
        DWORD_PTR dwCallback = REC_GETPTR(pDesc, WAVEOPENDESC, dwCallback);
        DWORD_PTR dwInstance = REC_GETPTR(pDesc, WAVEOPENDESC, dwInstance);
        DWORD dwAvgBytesPerSec = REC_GET32(pwfx, WAVEFORMATEX, nAvgBytesPerSec);
        DWORD dwChannels = REC_GET16(pwfx, WAVEFORMATEX, nChannels);
        DWORD dwBitsPerSample = REC_GET16(pwfx, WAVEFORMATEX, wBitsPerSample);

        s->pwfx = pwfx;
        s->dwAvgBytesPerSec = dwAvgBytesPerSec;
        s->dwChannels = dwChannels;
        s->dwBitsPerSample = dwBitsPerSample;
        s->pfnCallback = reinterpret_cast<LPDRVCALLBACK>(dwCallback);
        s->dwInstance = dwInstance;
        s->hWave = hWave;

        // The stream was closed, so its queue is empty; the position starts
        // again.  bPaused and bLinkUp stay.
        s->pHead = 0;
        s->pLoopStart = 0;
        s->bInLoop = FALSE;
        s->dwBytesDone = 0;

        // The stream counts as taken before it announces itself (only while
        // the link is up), so that an open from inside the announcement is
        // refused like any other second open.  A close from inside the
        // announcement resets the record and has the last word: the stream
        // stays closed, as its client was told.
        //
        // A fault inside the announcement ends the call as a fault in any
        // handler does (no result word), so the wave API forgets the handle:
        // the open is undone, or the stream would stay taken by a client
        // nobody can close (a buffer written from inside is forgotten with
        // it, as the handle it would come back to is).  An open that the
        // client's callback made after closing its own is left alone.
        s->bOpened = TRUE;
        if (s->bLinkUp && !AnnounceOpenGuarded(s)) {
            if (s->bOpened && s->hWave == hWave) {
                StopBtAudio();
                ResetStreamContext(dwStream);
                s->bLinkUp = TRUE;
            }
            dwResult = WODM_NO_ANSWER;
        }
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
