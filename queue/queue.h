// The header queue: the application's WAVEHDRs linked through their own
// lpNext, with the platform's loop rules.  Headers are the application's
// memory and every field is read and written through the byte-wise record
// accessors.  Every routine here expects the caller to hold g_StreamLock.
//
// The queue runs from pLoopStart along lpNext to the header whose lpNext is
// null; pHead is where playing and completion stand.  Outside a loop pass
// pHead equals pLoopStart; during a pass the loop members between them have
// been played and rewound for the next pass.
//
// A header's life:
//
//   state    | flags and fields                         | entered by
//   ---------+------------------------------------------+--------------------------
//   Queued   | INQUEUE, not DONE, dwBytesRecorded 0,    | QueueWaveHeader; a rewind
//            | LOOPMEMBER inside a loop run             |
//   Playing  | 0 < dwBytesRecorded < dwBufferLength     | the packet builder
//   Done     | DONE                                     | MarkConsumedHeadersDone,
//            |                                          | MarkAllHeadersDone
//   Returned | DONE, neither INQUEUE nor LOOPMEMBER     | ReturnDoneHeaders
#ifndef QUEUE_QUEUE_H
#define QUEUE_QUEUE_H

#include "driver/system.h"

// The driver's own header flag: the header lies inside a loop run.  It sits
// in bits the platform leaves to drivers.
#define WHDR_LOOPMEMBER 0x00008000

// Field access on an application's header, which may lie at any address.
inline DWORD HdrFlags(const WAVEHDR* pHdr) { return REC_GET32(pHdr, WAVEHDR, dwFlags); }
inline void HdrSetFlags(WAVEHDR* pHdr, DWORD dwFlags) { REC_SET32(pHdr, WAVEHDR, dwFlags, dwFlags); }
inline DWORD HdrLength(const WAVEHDR* pHdr) { return REC_GET32(pHdr, WAVEHDR, dwBufferLength); }
inline DWORD HdrConsumed(const WAVEHDR* pHdr) { return REC_GET32(pHdr, WAVEHDR, dwBytesRecorded); }
inline void HdrSetConsumed(WAVEHDR* pHdr, DWORD dw) { REC_SET32(pHdr, WAVEHDR, dwBytesRecorded, dw); }
inline LPWAVEHDR HdrNext(const WAVEHDR* pHdr)
{
    return reinterpret_cast<LPWAVEHDR>(REC_GETPTR(pHdr, WAVEHDR, lpNext));
}
inline void HdrSetNext(WAVEHDR* pHdr, const WAVEHDR* pNext)
{
    REC_SETPTR(pHdr, WAVEHDR, lpNext, reinterpret_cast<DWORD_PTR>(pNext));
}
inline const BYTE* HdrData(const WAVEHDR* pHdr)
{
    return reinterpret_cast<const BYTE*>(REC_GETPTR(pHdr, WAVEHDR, lpData));
}

extern "C" {

// Appends a written header at the end of the queue and decides its loop mark
// from its WHDR_BEGINLOOP/WHDR_ENDLOOP and bInLoop.  MMSYSERR_NOERROR;
// MMSYSERR_INVALPARAM for a header already queued; WAVERR_UNPREPARED for one
// without WHDR_PREPARED (both leave header and queue untouched).  Caller
// holds g_StreamLock.
DWORD QueueWaveHeader(DWORD dwStream, LPWAVEHDR pHdr);
// From pHead on, hands each done header back with MM_WOM_DONE until one is
// not done, or rewinds one done loop member for its next pass and stops.
// Counts a loop's passes on its WHDR_BEGINLOOP header.  Loop members that an
// earlier pass left between pLoopStart and pHead are handed back, in queue
// order, before the header that moves the queue's front past them.  Calls
// the client's callback with the lock held.  Caller holds g_StreamLock.
void ReturnDoneHeaders(DWORD dwStream);
// Marks every header from pHead to the end done.  Caller holds g_StreamLock.
void MarkAllHeadersDone(DWORD dwStream);
// Clears the loop mark of every header from pHead to the end; bInLoop keeps
// its value.  Caller holds g_StreamLock.
void ClearLoopMarks(DWORD dwStream);
// Marks done every header from pHead to the end whose bytes are all
// consumed (dwBytesRecorded >= dwBufferLength); does not stop at one that is
// still playing.  Caller holds g_StreamLock.
void MarkConsumedHeadersDone(DWORD dwStream);
// From pHead to the end: the first header with bytes left (or null), how
// many headers have bytes left, and the sum of their bytes left (held at
// 0xFFFFFFFF when it would pass 32 bits).
// Always TRUE: the routine's defined form has an answer, which no stream
// state makes FALSE, and its one caller ignores.  Caller holds g_StreamLock.
BOOL ScanPendingBytes(DWORD dwStream, LPWAVEHDR* ppFirst, LPDWORD pdwCount, LPDWORD pdwBytes);

}  // extern "C"

#endif
