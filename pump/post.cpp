// Building one packet from the queued headers and posting it.
#include "btlink/link.h"
#include "pump/pump.h"
#include "queue/queue.h"
#include "stream/stream.h"

namespace {

// Copies cb bytes from offset dwOffset of a client's buffer into the packet,
// inside the access-fault guard: the address is the application's word, and
// a buffer it freed or never had must not take the timer's thread down.
// FALSE when the buffer cannot be read (a null address, or a fault during
// the copy); the packet's bytes from pDest on are then undefined.  Caller
// holds g_StreamLock, entered before the guard; the guarded stretch takes no
// lock, so a caught fault has nothing to release.
BOOL CopyClientBytes(BYTE* pDest, const BYTE* pData, DWORD dwOffset, DWORD cb)
{
    if (pData == 0)
        return FALSE;
    // Formed as a number: a bad buffer address may be anywhere.
    const BYTE* pSrc = reinterpret_cast<const BYTE*>(reinterpret_cast<DWORD_PTR>(pData) + dwOffset);
    volatile BOOL bCopied = FALSE;
    SEH_FRAME frame;
    SEH_TRY(frame, SEH_FILTER_ACCESS_VIOLATION)
    {
        memcpy(pDest, pSrc, cb);
        bCopied = TRUE;
    }
    SEH_EXCEPT(frame)
    {
        bCopied = FALSE;
    }
    return bCopied;
}

}  // namespace

extern "C" {

DWORD PostBtAudioData(BT_AUDIO_PARA* pPara, DWORD dwRequested)
{
    if (!pPara->bRunning)
        return 0;

    LPWAVEHDR pFirst = 0;
    DWORD dwCount = 0;
    DWORD dwPending = 0;
    ScanPendingBytes(STREAM_OUTPUT, &pFirst, &dwCount, &dwPending);

    DWORD dwLen = (dwRequested < dwPending) ? dwRequested : dwPending;
    // The block carries 12 bytes besides the audio; keep its size a 32-bit count.
    if (dwLen > 0xFFFFFFFFu - BT_AUDIO_PACKET_OVERHEAD)
        dwLen = 0xFFFFFFFFu - BT_AUDIO_PACKET_OVERHEAD;
    if (dwLen == 0 || pFirst == 0)
        return 0;

    BYTE* pPacket = static_cast<BYTE*>(malloc(dwLen + BT_AUDIO_PACKET_OVERHEAD));
    if (pPacket == 0)
        return 0;   // nothing consumed: the bytes go out on later ticks
    BYTE* pAudio = pPacket + offsetof(BT_AUDIO_PACKET, abData);

    // The buffers belong to the application's process; the timer's thread
    // may read them only with access to every process.
    DWORD dwPermissions = GetCurrentPermissions();
    SetProcPermissions(0xFFFFFFFFu);
    DWORD dwLeft = dwLen;
    DWORD dwCopied = 0;
    for (LPWAVEHDR h = pFirst; h != 0 && dwLeft > 0;) {
        DWORD dwLength = HdrLength(h);
        DWORD dwConsumed = HdrConsumed(h);
        // A cursor past the end (a length shrunk while queued) has nothing left.
        DWORD dwTake = (dwConsumed < dwLength) ? dwLength - dwConsumed : 0;
        if (dwTake > dwLeft)
            dwTake = dwLeft;
        if (dwTake > 0 && !CopyClientBytes(pAudio + dwCopied, HdrData(h), dwConsumed, dwTake)) {
            // A buffer that cannot be read: its bytes count as taken and not
            // played, as those of a refused packet do, so the header completes
            // and goes back to the client the usual way (or is rewound while
            // its loop repeats).  The packet goes on with the next header.
            HdrSetConsumed(h, dwLength);
            h = HdrNext(h);
            continue;
        }
        dwConsumed += dwTake;
        HdrSetConsumed(h, dwConsumed);
        dwCopied += dwTake;
        dwLeft -= dwTake;
        if (dwConsumed < dwLength)
            break;   // part-consumed: the last header touched
        h = HdrNext(h);
    }
    SetProcPermissions(dwPermissions);

    // Only the bytes copied go out; unreadable buffers may leave fewer than
    // were asked for, or none.
    if (dwCopied == 0) {
        free(pPacket);
        return 0;
    }
    RecWriteU32(pPacket + offsetof(BT_AUDIO_PACKET, dwDataLen), dwCopied);
    if (LMRPostData(g_hBtAudio, pPacket, dwCopied + BT_AUDIO_PACKET_OVERHEAD) == LMR_POST_REFUSED)
        free(pPacket);
    return dwCopied;
}

}  // extern "C"
