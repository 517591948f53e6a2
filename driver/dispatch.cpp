// WAV_IOControl, the wave-message dispatcher and the three messages that
// describe the device.
#include "driver/driver.h"
#include "driver/config.h"
#include "driver/guard.h"
#include "stream/stream.h"

namespace {

// The name as the capabilities carry it, widened from ASCII, terminator and
// all: it must fit their szPname.
const char kDeviceName[] = BTWAV_DEVICE_NAME;
STATIC_ASSERT(sizeof kDeviceName <= MAXPNAMELEN);

}  // namespace

extern "C" BOOL IsDeviceName(const WCHAR* pszName)
{
    for (DWORD i = 0; i < sizeof kDeviceName; ++i) {
        if (pszName[i] != static_cast<WCHAR>(static_cast<BYTE>(kDeviceName[i])))
            return FALSE;
        if (kDeviceName[i] == 0)
            break;
    }
    return TRUE;
}

namespace {

typedef DWORD (*PFN_WODM_HANDLER)(DWORD dwStream, const MMDRV_MESSAGE_PARAMS* pParams);

DWORD WodmGetNumDevs(DWORD, const MMDRV_MESSAGE_PARAMS*)
{
    return 1;
}

// What the capability record says besides the name and the format.  No
// manufacturer or product id is registered for this device: both are
// MM_UNMAPPED (0xFFFF), the platform's value for an id that is not in its
// list.  The version is the platform's major.minor pair, 1.0.
const WORD kCapsMid = 0xFFFF;
const WORD kCapsPid = 0xFFFF;
const DWORD kCapsDriverVersion = 0x0100;
const WORD kCapsChannels = 2;
STATIC_ASSERT(kCapsChannels == BTWAV_DEVICE_CHANNELS);   // the device's one format
// No optional control is announced: the packets carry the client's PCM
// unchanged, so there is no volume, pitch or playback rate to set, and a
// device that announced WAVECAPS_VOLUME would owe a caller the volume it set.
const DWORD kCapsSupport = 0;

// WODM_PREPARE and WODM_UNPREPARE: the wave API prepares the header itself,
// and the driver needs nothing of its own in it.  The header is not touched.
DWORD WodmPrepareNothing(DWORD, const MMDRV_MESSAGE_PARAMS*)
{
    return MMSYSERR_NOERROR;
}

// Writes the bytes of a field that lie below dwLimit, the size of the
// caller's record; the rest of the field is not touched.
void WriteBytesWithin(BYTE* pRecord, DWORD dwOffset, const BYTE* pSrc, DWORD cb, DWORD dwLimit)
{
    for (DWORD i = 0; i < cb && dwOffset + i < dwLimit; ++i)
        pRecord[dwOffset + i] = pSrc[i];
}

// Fills every field of the caller's record: the ids, the version, the
// device's name (the rest of its 32 characters zero), formats, channels, the
// reserved word (zero) and the support flags, so that a caller reads no byte
// it left there itself.  The record may be unaligned, so every field is
// written byte by byte.  The record may also be shorter than a whole
// WAVEOUTCAPS (dwParam2 gives its size): only the bytes that fit are
// written, so nothing lands past the record.
DWORD WodmGetDevCaps(DWORD, const MMDRV_MESSAGE_PARAMS* pParams)
{
    BYTE* pCaps = reinterpret_cast<BYTE*>(REC_GETPTR(pParams, MMDRV_MESSAGE_PARAMS, dwParam1));
    DWORD cbCaps = static_cast<DWORD>(REC_GETPTR(pParams, MMDRV_MESSAGE_PARAMS, dwParam2));
    if (pCaps == 0)
        return WODM_NO_ANSWER;   // as if the first store had faulted
    if (cbCaps > sizeof(WAVEOUTCAPS))
        cbCaps = sizeof(WAVEOUTCAPS);

    BYTE abWord[4];
    RecWriteU16(abWord, kCapsMid);
    WriteBytesWithin(pCaps, offsetof(WAVEOUTCAPS, wMid), abWord, 2, cbCaps);
    RecWriteU16(abWord, kCapsPid);
    WriteBytesWithin(pCaps, offsetof(WAVEOUTCAPS, wPid), abWord, 2, cbCaps);
    RecWriteU32(abWord, kCapsDriverVersion);
    WriteBytesWithin(pCaps, offsetof(WAVEOUTCAPS, vDriverVersion), abWord, 4, cbCaps);
    RecWriteU32(abWord, WAVE_FORMAT_4S16);
    WriteBytesWithin(pCaps, offsetof(WAVEOUTCAPS, dwFormats), abWord, 4, cbCaps);
    RecWriteU16(abWord, kCapsChannels);
    WriteBytesWithin(pCaps, offsetof(WAVEOUTCAPS, wChannels), abWord, 2, cbCaps);
    RecWriteU16(abWord, 0);
    WriteBytesWithin(pCaps, offsetof(WAVEOUTCAPS, wReserved1), abWord, 2, cbCaps);
    RecWriteU32(abWord, kCapsSupport);
    WriteBytesWithin(pCaps, offsetof(WAVEOUTCAPS, dwSupport), abWord, 4, cbCaps);
    BOOL bEnded = FALSE;
    for (DWORD i = 0; i < MAXPNAMELEN; ++i) {
        BYTE abChar[2];
        RecWriteU16(abChar, bEnded ? 0 : static_cast<BYTE>(kDeviceName[i]));
        WriteBytesWithin(pCaps, offsetof(WAVEOUTCAPS, szPname) + 2 * i, abChar, 2, cbCaps);
        if (!bEnded && kDeviceName[i] == 0)
            bEnded = TRUE;
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
    RecWriteU32(pCaps + 2 * 4, BTWAV_DEVICE_RATE);
    RecWriteU32(pCaps + 5 * 4, BTWAV_DEVICE_RATE);
    RecWriteU32(pCaps + 6 * 4, BTWAV_DEVICE_RATE);
    return MMSYSERR_NOERROR;
}

DWORD WodmGetPosOnStream(DWORD, const MMDRV_MESSAGE_PARAMS* pParams)
{
    return WodmGetPos(pParams);
}

// The message table, built so that a handler can only sit at its message's
// number.  Each slot i holds WodmSlot<i>::Run; a message's handler is bound by
// naming its constant in WODM_HANDLER, so a handler under the wrong number, a
// message bound twice or a message past the table does not compile.  A slot
// without a handler, and every number past the table, answers
// MMSYSERR_NOTSUPPORTED and does nothing else: volume, pitch and playback
// rate, which the capabilities do not announce, and messages the driver does
// not know (a caller that asks for a size it has not initialised must not read
// it as an answer).
template <UINT uMsg>
struct WodmSlot {
    static DWORD Run(DWORD, const MMDRV_MESSAGE_PARAMS*) { return MMSYSERR_NOTSUPPORTED; }
};

const UINT kWodmSlots = 24;

#define WODM_HANDLER(MSG, FN)                                                       \
    STATIC_ASSERT((MSG) < kWodmSlots);                                              \
    template <>                                                                     \
    struct WodmSlot<MSG> {                                                          \
        static DWORD Run(DWORD dwStream, const MMDRV_MESSAGE_PARAMS* pParams)      \
        {                                                                           \
            return FN(dwStream, pParams);                                           \
        }                                                                           \
    }

WODM_HANDLER(WODM_GETNUMDEVS, WodmGetNumDevs);
WODM_HANDLER(WODM_GETDEVCAPS, WodmGetDevCaps);
WODM_HANDLER(WODM_OPEN, WodmOpen);
WODM_HANDLER(WODM_CLOSE, WodmClose);
WODM_HANDLER(WODM_PREPARE, WodmPrepareNothing);
WODM_HANDLER(WODM_UNPREPARE, WodmPrepareNothing);
WODM_HANDLER(WODM_WRITE, WodmWrite);
WODM_HANDLER(WODM_PAUSE, WodmPause);
WODM_HANDLER(WODM_RESTART, WodmRestart);
WODM_HANDLER(WODM_RESET, WodmReset);
WODM_HANDLER(WODM_GETPOS, WodmGetPosOnStream);
WODM_HANDLER(WODM_BREAKLOOP, WodmBreakLoop);
WODM_HANDLER(WODM_GETEXTDEVCAPS, WodmGetExtDevCaps);

#undef WODM_HANDLER

// The slots are generated from their numbers, never written out by hand.
#define WODM_SLOTS_2(n) &WodmSlot<(n)>::Run, &WodmSlot<(n) + 1>::Run
#define WODM_SLOTS_4(n) WODM_SLOTS_2(n), WODM_SLOTS_2((n) + 2)
#define WODM_SLOTS_8(n) WODM_SLOTS_4(n), WODM_SLOTS_4((n) + 4)

const PFN_WODM_HANDLER kHandlers[kWodmSlots] = {WODM_SLOTS_8(0), WODM_SLOTS_8(8), WODM_SLOTS_8(16)};

#undef WODM_SLOTS_8
#undef WODM_SLOTS_4
#undef WODM_SLOTS_2

STATIC_ASSERT(sizeof(kHandlers) / sizeof(kHandlers[0]) == kWodmSlots);

// The guarded work of the dispatcher: reads the message number, runs its
// handler and stores the result word.
GUARD_NOINLINE void RunWaveMessage(const MMDRV_MESSAGE_PARAMS* pParams, LPDWORD pdwResult)
{
    UINT uMsg = REC_GET32(pParams, MMDRV_MESSAGE_PARAMS, uMsg);
    DWORD dwResult = MMSYSERR_NOTSUPPORTED;
    if (uMsg < kWodmSlots)
        dwResult = kHandlers[uMsg](STREAM_OUTPUT, pParams);
    // A handler that met a null record answers nothing, as a fault would.
    if (pdwResult != 0 && dwResult != WODM_NO_ANSWER)
        RecWriteU32(pdwResult, dwResult);
}

}  // namespace

extern "C" {

void DispatchWaveMessage(const MMDRV_MESSAGE_PARAMS* pParams, LPDWORD pdwResult)
{
    // A null record has nothing to read: the outcome of a fault on its first
    // byte, without reading through a null address.
    if (pParams == 0)
        return;

    // A memory-access fault while the record is read, the handler runs or the
    // result is stored ends the call without a result word.  The guard
    // releases nothing: levels of g_StreamLock that the stretch took are
    // given back here, down to what this thread held when the message
    // arrived (a message sent from a client's callback arrives with the lock
    // held, and that holding stays).
    DWORD dwLockDepth = StreamLockDepth();
    GUARD_FRAME frame;
    GUARD_TRY(frame, GUARD_ACCESS_FAULTS)
    {
        RunWaveMessage(pParams, pdwResult);
    }
    GUARD_EXCEPT(frame)
    {
        // No result word: the caller sees the call succeed without an answer.
        UnwindStreamLock(dwLockDepth);
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
