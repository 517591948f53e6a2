// Building one packet from the queued headers and posting it.
#include "btlink/link.h"
#include "driver/guard.h"
#include "pump/pump.h"
#include "queue/queue.h"
#include "stream/stream.h"

namespace {

// The copy itself, one call as the guard needs it.
GUARD_NOINLINE void CopyBytes(BYTE* pDest, const BYTE* pSrc, DWORD cb)
{
    memcpy(pDest, pSrc, cb);
}

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
    GUARD_FRAME frame;
    GUARD_TRY(frame, GUARD_ACCESS_FAULTS)
    {
        CopyBytes(pDest, pSrc, cb);
        bCopied = TRUE;
    }
    GUARD_EXCEPT(frame)
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

    // Whole frames only: the request, and the largest audio that keeps the
    // block's size (12 bytes besides the audio) a 32-bit count.
    dwRequested -= dwRequested % BT_AUDIO_FRAME_BYTES;
    const DWORD dwMaxAudio = (0xFFFFFFFFu - BT_AUDIO_PACKET_OVERHEAD) / BT_AUDIO_FRAME_BYTES * BT_AUDIO_FRAME_BYTES;
    DWORD dwLen = (dwRequested < dwPending) ? dwRequested : dwPending;
    if (dwLen > dwMaxAudio)
        dwLen = dwMaxAudio;
    if (dwLen == 0 || pFirst == 0)
        return 0;
    // The packet's audio length.  A part frame at the end of the queue waits
    // for the next tick, where the client's next buffer may complete it;
    // when fewer than 4 bytes are all that is queued (the end of a stream
    // that is not whole frames), they go out completed with zero bytes to
    // one frame, so that their header comes back.
    DWORD dwFrames = dwLen - dwLen % BT_AUDIO_FRAME_BYTES;
    DWORD dwPacketAudio = (dwFrames != 0) ? dwFrames : BT_AUDIO_FRAME_BYTES;
    if (dwFrames != 0)
        dwLen = dwFrames;

    BYTE* pPacket = static_cast<BYTE*>(malloc(dwPacketAudio + BT_AUDIO_PACKET_OVERHEAD));
    if (pPacket == 0)
        return 0;   // nothing consumed: the bytes go out on later ticks
    BYTE* pAudio = pPacket + offsetof(BT_AUDIO_PACKET, abData);

    // The buffers belong to the application's process; the timer's thread
    // may read them only with access to every process.
    DWORD dwPermissions = GetCurrentPermissions();
    SetProcPermissions(0xFFFFFFFFu);
    DWORD dwLeft = dwLen;
    DWORD dwCopied = 0;
    LPWAVEHDR pLast = 0;      // the last header bytes were taken from
    DWORD dwLastTake = 0;     // and how many, in this packet
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
        if (dwTake > 0) {
            pLast = h;
            dwLastTake = dwTake;
        }
        if (dwConsumed < dwLength)
            break;   // part-consumed: the last header touched
        h = HdrNext(h);
    }
    SetProcPermissions(dwPermissions);

    // Unreadable buffers skipped on the way can leave the copy ending inside
    // a frame: that part frame goes back to the header it came from, to go
    // out with what follows it.  Only a part frame longer than what that
    // header gave is completed with zero bytes instead.
    DWORD dwPart = dwCopied % BT_AUDIO_FRAME_BYTES;
    if (dwFrames != 0 && dwPart != 0 && dwLastTake >= dwPart) {
        HdrSetConsumed(pLast, HdrConsumed(pLast) - dwPart);
        dwCopied -= dwPart;
        dwPart = 0;
    }
    // Only the bytes copied go out; unreadable buffers may leave fewer than
    // were asked for, or none.
    if (dwCopied == 0) {
        free(pPacket);
        return 0;
    }
    DWORD dwAudio = dwCopied;
    if (dwPart != 0) {
        dwAudio += BT_AUDIO_FRAME_BYTES - dwPart;
        memset(pAudio + dwCopied, 0, dwAudio - dwCopied);
    }
    RecWriteU32(pPacket + offsetof(BT_AUDIO_PACKET, dwDataLen), dwAudio);
    if (LMRPostData(g_hBtAudio, pPacket, dwAudio + BT_AUDIO_PACKET_OVERHEAD) == LMR_POST_REFUSED)
        free(pPacket);
    return dwAudio;
}

}  // extern "C"
