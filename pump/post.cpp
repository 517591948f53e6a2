// Building one packet from the queued headers and posting it.
#include "btlink/link.h"
#include "pump/pump.h"
#include "queue/queue.h"
#include "stream/stream.h"

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
    RecWriteU32(pPacket + offsetof(BT_AUDIO_PACKET, dwDataLen), dwLen);
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
        if (dwTake > 0)
            memcpy(pAudio + dwCopied, HdrData(h) + dwConsumed, dwTake);
        dwConsumed += dwTake;
        HdrSetConsumed(h, dwConsumed);
        dwCopied += dwTake;
        dwLeft -= dwTake;
        if (dwConsumed < dwLength)
            break;   // part-consumed: the last header touched
        h = HdrNext(h);
    }
    SetProcPermissions(dwPermissions);

    if (LMRPostData(g_hBtAudio, pPacket, dwLen + BT_AUDIO_PACKET_OVERHEAD) == LMR_POST_REFUSED)
        free(pPacket);
    return dwCopied;
}

}  // extern "C"
