// WAV_IOControl, the wave-message dispatcher and the three messages that
// describe the device.
#include "driver/driver.h"
#include "stream/stream.h"

extern "C" {

const WCHAR g_szDeviceName[] = {
    'B', 'l', 'u', 'e', 't', 'o', 'o', 't', 'h', ' ', 'A', '2', 'D', 'P', ' ',
    'O', 'u', 't', 'p', 'u', 't', 0};

}  // extern "C"

namespace {

typedef DWORD (*PFN_WODM_HANDLER)(DWORD dwStream, const MMDRV_MESSAGE_PARAMS* pParams);

DWORD WodmGetNumDevs(DWORD, const MMDRV_MESSAGE_PARAMS*)
{
    return 1;
}

// Writes the bytes of a field that lie below dwLimit, the size of the
// caller's record; the rest of the field is not touched.
void WriteBytesWithin(BYTE* pRecord, DWORD dwOffset, const BYTE* pSrc, DWORD cb, DWORD dwLimit)
{
    for (DWORD i = 0; i < cb && dwOffset + i < dwLimit; ++i)
        pRecord[dwOffset + i] = pSrc[i];
}

// Fills the device's name, formats and support flags; every other byte of
// the caller's record keeps its value.  The record may be unaligned, so the
// name is copied byte by byte like the other fields (the 21 characters and
// the terminator, as a string copy would).  The record may also be shorter
// than a whole WAVEOUTCAPS (dwParam2 gives its size): only the bytes that fit
// are written, so nothing lands past the record.
DWORD WodmGetDevCaps(DWORD, const MMDRV_MESSAGE_PARAMS* pParams)
{
    BYTE* pCaps = reinterpret_cast<BYTE*>(REC_GETPTR(pParams, MMDRV_MESSAGE_PARAMS, dwParam1));
    DWORD cbCaps = static_cast<DWORD>(REC_GETPTR(pParams, MMDRV_MESSAGE_PARAMS, dwParam2));
    if (pCaps == 0)
        return WODM_NO_ANSWER;   // as if the first store had faulted
    if (cbCaps > sizeof(WAVEOUTCAPS))
        cbCaps = sizeof(WAVEOUTCAPS);

    BYTE abWord[4];
    RecWriteU32(abWord, WAVE_FORMAT_4S16);
    WriteBytesWithin(pCaps, offsetof(WAVEOUTCAPS, dwFormats), abWord, 4, cbCaps);
    RecWriteU32(abWord, WAVECAPS_VOLUME);
    WriteBytesWithin(pCaps, offsetof(WAVEOUTCAPS, dwSupport), abWord, 4, cbCaps);
    for (DWORD i = 0;; ++i) {
        BYTE abChar[2];
        RecWriteU16(abChar, g_szDeviceName[i]);
        WriteBytesWithin(pCaps, offsetof(WAVEOUTCAPS, szPname) + 2 * i, abChar, 2, cbCaps);
        if (g_szDeviceName[i] == 0)
            break;
    }
    return MMSYSERR_NOERROR;
}

DWORD WodmGetExtDevCaps(DWORD, const MMDRV_MESSAGE_PARAMS* pParams)
{
    BYTE* pCaps = reinterpret_cast<BYTE*>(REC_GETPTR(pParams, MMDRV_MESSAGE_PARAMS, dwParam1));
    DWORD cbCaps = static_cast<DWORD>(REC_GETPTR(pParams, MMDRV_MESSAGE_PARAMS, dwParam2));
    if (cbCaps < sizeof(WAVEOUTEXTCAPS) || pCaps == 0) {
        SetLastError(MMSYSERR_INVALPARAM);
        return MMSYSERR_INVALPARAM;
    }
    RecWriteU32(pCaps + 0 * 4, 1);
    RecWriteU32(pCaps + 1 * 4, 1);
    RecWriteU32(pCaps + 2 * 4, 44100);
    RecWriteU32(pCaps + 5 * 4, 44100);
    RecWriteU32(pCaps + 6 * 4, 44100);
    return MMSYSERR_NOERROR;
}

DWORD WodmGetPosOnStream(DWORD, const MMDRV_MESSAGE_PARAMS* pParams)
{
    return WodmGetPos(pParams);
}

// The message table.  A null entry, and every number past the table, answers
// MMSYSERR_NOERROR and does nothing else.
const PFN_WODM_HANDLER kHandlers[] = {
    /*  0            */ 0,
    /*  1            */ 0,
    /*  2            */ 0,
    /*  3 GETNUMDEVS */ WodmGetNumDevs,
    /*  4 GETDEVCAPS */ WodmGetDevCaps,
    /*  5 OPEN       */ WodmOpen,
    /*  6 CLOSE      */ WodmClose,
    /*  7 PREPARE    */ 0,
    /*  8 UNPREPARE  */ 0,
    /*  9 WRITE      */ WodmWrite,
    /* 10 PAUSE      */ WodmPause,
    /* 11 RESTART    */ WodmRestart,
    /* 12 RESET      */ WodmReset,
    /* 13 GETPOS     */ WodmGetPosOnStream,
    /* 14 GETPITCH   */ 0,
    /* 15 SETPITCH   */ 0,
    /* 16 GETVOLUME  */ 0,
    /* 17 SETVOLUME  */ 0,
    /* 18 GETPLAYBACKRATE */ 0,
    /* 19 SETPLAYBACKRATE */ 0,
    /* 20 BREAKLOOP  */ WodmBreakLoop,
    /* 21            */ 0,
    /* 22 GETEXTDEVCAPS */ WodmGetExtDevCaps,
};

}  // namespace

extern "C" {

void DispatchWaveMessage(const MMDRV_MESSAGE_PARAMS* pParams, LPDWORD pdwResult)
{
    // A null record has nothing to read: the outcome of a fault on its first
    // byte, without reading through a null address.
    if (pParams == 0)
        return;

    // A memory-access fault while the record is read, the handler runs or the
    // result is stored ends the call without a result word; locks the handler
    // took are released by the guard.
    SEH_FRAME frame;
    SEH_TRY(frame, SEH_FILTER_ACCESS_VIOLATION)
    {
        UINT uMsg = REC_GET32(pParams, MMDRV_MESSAGE_PARAMS, uMsg);
        DWORD dwResult = MMSYSERR_NOERROR;
        if (uMsg < sizeof(kHandlers) / sizeof(kHandlers[0]) && kHandlers[uMsg] != 0)
            dwResult = kHandlers[uMsg](STREAM_OUTPUT, pParams);
        // A handler that met a null record answers nothing, as a fault would.
        if (pdwResult != 0 && dwResult != WODM_NO_ANSWER)
            RecWriteU32(pdwResult, dwResult);
    }
    SEH_EXCEPT(frame)
    {
        // No result word: the caller sees the call succeed without an answer.
    }
}

BOOL WAV_IOControl(DWORD_PTR hOpenContext, DWORD dwCode, LPBYTE pBufIn, DWORD dwLenIn,
                   LPBYTE pBufOut, DWORD dwLenOut, LPDWORD pdwActualOut)
{
    (void)hOpenContext;
    (void)dwLenIn;
    (void)dwLenOut;
    (void)pdwActualOut;
    if (dwCode != IOCTL_WAV_MESSAGE)
        return TRUE;
    DispatchWaveMessage(reinterpret_cast<const MMDRV_MESSAGE_PARAMS*>(pBufIn),
                        reinterpret_cast<LPDWORD>(pBufOut));
    return TRUE;
}

}  // extern "C"
