// The header queue: appending, loop marks, completion and handing back.
#include "queue/queue.h"
#include "stream/stream.h"

namespace {

// Takes pHdr, which stands at the queue's front (pLoopStart), out of the
// queue and gives it back to the client.  The header's bytes are counted and
// the anchors moved before the callback runs, so the callback sees a
// consistent queue and may write this header or another one again.
// pHead is moved along only if it stood at the same header.
void HandBack(STREAM_CONTEXT* s, LPWAVEHDR pHdr)
{
    LPWAVEHDR pNext = HdrNext(pHdr);
    s->dwBytesDone += HdrConsumed(pHdr);
    if (s->pHead == pHdr)
        s->pHead = pNext;
    s->pLoopStart = pNext;
    HdrSetFlags(pHdr, (HdrFlags(pHdr) & ~(WHDR_INQUEUE | WHDR_LOOPMEMBER)) | WHDR_DONE);
    if (s->pfnCallback != 0)
        s->pfnCallback(reinterpret_cast<HDRVR>(s->hWave), MM_WOM_DONE, s->dwInstance,
                       reinterpret_cast<DWORD_PTR>(pHdr), 0);
}

}  // namespace

extern "C" {

DWORD QueueWaveHeader(DWORD dwStream, LPWAVEHDR pHdr)
{
    STREAM_CONTEXT* s = &g_StreamContext[dwStream];
    DWORD dwFlags = HdrFlags(pHdr);
    if (dwFlags & WHDR_INQUEUE)
        return MMSYSERR_INVALPARAM;
    if (!(dwFlags & WHDR_PREPARED))
        return WAVERR_UNPREPARED;

    dwFlags &= ~(WHDR_DONE | WHDR_LOOPMEMBER);
    HdrSetNext(pHdr, 0);
    HdrSetConsumed(pHdr, 0);
    REC_SETPTR(pHdr, WAVEHDR, reserved, 0);

    if (s->pLoopStart == 0) {
        s->pLoopStart = pHdr;
        s->pHead = pHdr;
    } else {
        LPWAVEHDR pLast = s->pLoopStart;
        for (LPWAVEHDR pNext = HdrNext(pLast); pNext != 0; pNext = HdrNext(pLast))
            pLast = pNext;
        HdrSetNext(pLast, pHdr);
    }

    // A WHDR_BEGINLOOP header opens a run (or is a run of one when it also
    // ends it); inside an open run every header is a member, and the
    // WHDR_ENDLOOP header closes it.  WHDR_ENDLOOP outside a run means nothing.
    if (dwFlags & WHDR_BEGINLOOP) {
        dwFlags |= WHDR_LOOPMEMBER;
        s->bInLoop = (dwFlags & WHDR_ENDLOOP) ? FALSE : TRUE;
    } else if (s->bInLoop) {
        dwFlags |= WHDR_LOOPMEMBER;
        if (dwFlags & WHDR_ENDLOOP)
            s->bInLoop = FALSE;
    }

    HdrSetFlags(pHdr, dwFlags | WHDR_INQUEUE);
    return MMSYSERR_NOERROR;
}

void ReturnDoneHeaders(DWORD dwStream)
{
    STREAM_CONTEXT* s = &g_StreamContext[dwStream];
    // Every pass re-reads the anchors: a callback may have written headers,
    // or flushed the queue, on this thread.
    for (;;) {
        LPWAVEHDR h = s->pHead;
        if (h == 0)
            return;
        DWORD dwFlags = HdrFlags(h);
        if (!(dwFlags & WHDR_DONE))
            return;

        if ((dwFlags & (WHDR_LOOPMEMBER | WHDR_BEGINLOOP)) == (WHDR_LOOPMEMBER | WHDR_BEGINLOOP)) {
            DWORD dwLoops = REC_GET32(h, WAVEHDR, dwLoops);
            if (dwLoops == 1) {
                // Last pass: the marks go from here to the end of the queue,
                // so the rest of this pass, and any loop queued behind it,
                // plays once as ordinary headers.
                for (LPWAVEHDR p = h; p != 0; p = HdrNext(p))
                    HdrSetFlags(p, HdrFlags(p) & ~WHDR_LOOPMEMBER);
                dwFlags &= ~WHDR_LOOPMEMBER;
            } else if (dwLoops != 0xFFFFFFFFu) {
                REC_SET32(h, WAVEHDR, dwLoops, dwLoops - 1);
            }
        }

        if (!(dwFlags & WHDR_LOOPMEMBER)) {
            // Members played earlier in this pass and rewound lie between
            // pLoopStart and pHead when the pass ends early (break-loop or
            // reset mid-pass, or a WHDR_BEGINLOOP member inside the loop
            // ending its count).  Nothing else reaches them, so they go
            // back first, one per round, in queue order; their bytes were
            // counted when they were rewound.
            if (s->pLoopStart != h && s->pLoopStart != 0) {
                HandBack(s, s->pLoopStart);
                continue;
            }
            HandBack(s, h);
            continue;
        }

        // A loop member: rewind it for the next pass.  At the loop's closing
        // header (or the queue's last) the pass wraps to the loop's first
        // header, and the position falls back by this header's bytes.
        LPWAVEHDR pNext = HdrNext(h);
        if ((dwFlags & WHDR_ENDLOOP) || pNext == 0) {
            s->pHead = s->pLoopStart;
        } else {
            s->dwBytesDone += HdrConsumed(h);
            s->pHead = pNext;
        }
        HdrSetFlags(h, dwFlags & ~WHDR_DONE);
        HdrSetConsumed(h, 0);
        return;
    }
}

void MarkAllHeadersDone(DWORD dwStream)
{
    for (LPWAVEHDR p = g_StreamContext[dwStream].pHead; p != 0; p = HdrNext(p))
        HdrSetFlags(p, HdrFlags(p) | WHDR_DONE);
}

void ClearLoopMarks(DWORD dwStream)
{
    for (LPWAVEHDR p = g_StreamContext[dwStream].pHead; p != 0; p = HdrNext(p))
        HdrSetFlags(p, HdrFlags(p) & ~WHDR_LOOPMEMBER);
}

void MarkConsumedHeadersDone(DWORD dwStream)
{
    for (LPWAVEHDR p = g_StreamContext[dwStream].pHead; p != 0; p = HdrNext(p)) {
        if (HdrConsumed(p) >= HdrLength(p))
            HdrSetFlags(p, HdrFlags(p) | WHDR_DONE);
    }
}

BOOL ScanPendingBytes(DWORD dwStream, LPWAVEHDR* ppFirst, LPDWORD pdwCount, LPDWORD pdwBytes)
{
    LPWAVEHDR pFirst = 0;
    DWORD dwCount = 0;
    DWORD dwBytes = 0;
    for (LPWAVEHDR p = g_StreamContext[dwStream].pHead; p != 0; p = HdrNext(p)) {
        DWORD dwLength = HdrLength(p);
        DWORD dwConsumed = HdrConsumed(p);
        if (dwConsumed < dwLength) {
            if (pFirst == 0)
                pFirst = p;
            ++dwCount;
            // The total only bounds a packet: past 32 bits it stays at the
            // largest count rather than wrapping to a few bytes.
            DWORD dwLeft = dwLength - dwConsumed;
            dwBytes = (dwLeft > 0xFFFFFFFFu - dwBytes) ? 0xFFFFFFFFu : dwBytes + dwLeft;
        }
    }
    *ppFirst = pFirst;
    *pdwCount = dwCount;
    *pdwBytes = dwBytes;
    return TRUE;
}

}  // extern "C"
