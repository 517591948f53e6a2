// The header queue: the application's WAVEHDRs linked through their own
// lpNext, with the platform's loop rules.  Headers are the application's
// memory and every field is read and written through the byte-wise record
// accessors.  Every routine here expects the caller to hold g_StreamLock.
#ifndef QUEUE_QUEUE_H
#define QUEUE_QUEUE_H

#include "platform/platform.h"

extern "C" {

// Appends a written header: MMSYSERR_NOERROR, MMSYSERR_INVALPARAM (already
// queued) or WAVERR_UNPREPARED.  Caller holds g_StreamLock.
DWORD QueueWaveHeader(DWORD dwStream, LPWAVEHDR pHdr);
// Hands done headers back from pHead with MM_WOM_DONE, or rewinds a loop
// member.  Caller holds g_StreamLock.
void ReturnDoneHeaders(DWORD dwStream);
// Marks every header from pHead on done.  Caller holds g_StreamLock.
void MarkAllHeadersDone(DWORD dwStream);
// Clears the loop mark of every header from pHead on.  Caller holds g_StreamLock.
void ClearLoopMarks(DWORD dwStream);
// Marks done every header from pHead on whose bytes are all consumed.
// Caller holds g_StreamLock.
void MarkConsumedHeadersDone(DWORD dwStream);
// First header with bytes left, how many have bytes left, and the sum of
// their bytes left.  Always TRUE.  Caller holds g_StreamLock.
BOOL ScanPendingBytes(DWORD dwStream, LPWAVEHDR* ppFirst, LPDWORD pdwCount, LPDWORD pdwBytes);

}  // extern "C"

#endif
