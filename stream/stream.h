// The one output stream: its record, its lock, and the handlers of the wave
// messages that open, close, measure and steer it.
#ifndef STREAM_STREAM_H
#define STREAM_STREAM_H

#include "driver/system.h"

// The driver plays one stream; routines that act on it take its index first,
// and every caller passes STREAM_OUTPUT.
#define STREAM_OUTPUT 0
#define STREAM_COUNT 1

// hWave after a reset: all bits set.
#define STREAM_NO_HANDLE (reinterpret_cast<HWAVE>(~static_cast<DWORD_PTR>(0)))

// Stream states, as the flags show them:
//
//   state   | bOpened | bPaused | entered by
//   --------+---------+---------+--------------------------------------------
//   Closed  |    0    |    -    | load; WODM_CLOSE with an empty queue; the
//           |         |         | fault path of WODM_RESET
//   Open    |    1    |    0    | WODM_OPEN; WODM_RESTART or WODM_RESET from
//           |         |         | Paused
//   Paused  |    1    |    1    | WODM_PAUSE from Open
//
// bLinkUp follows the link events alone and outlives WODM_CLOSE.
//
// Every field is read and written with g_StreamLock held.
typedef struct STREAM_CONTEXT {
    BOOL bOpened;              // a client has the stream open (WODM_OPEN sets, WODM_CLOSE/reset clear)
    BOOL bPaused;              // WODM_PAUSE until WODM_RESTART or WODM_RESET
    BOOL bLinkUp;              // the Bluetooth audio link is up (link events)
    LPWAVEHDR pHead;           // current header: where copying and completion stand; null when empty
    LPWAVEHDR pLoopStart;      // first header not yet handed back (a loop's first while it repeats)
    BOOL bInLoop;              // headers being queued lie inside an open loop run
    DWORD dwBytesDone;         // bytes of headers handed back: base of the position, wraps mod 2^32
    LPWAVEFORMATEX pwfx;       // the client's format record as given to WODM_OPEN; null: no format stored
    LPDRVCALLBACK pfnCallback; // the client's callback; null means no messages
    DWORD_PTR dwInstance;      // the client's instance word, third callback argument
    HWAVE hWave;               // the wave API's handle, first callback argument
    // The three format values WODM_GETPOS needs, copied from pwfx by WODM_OPEN
    // so that the position never reads a record the client may have freed.
    DWORD dwAvgBytesPerSec;    // nAvgBytesPerSec of the format, bytes per second
    DWORD dwChannels;          // nChannels of the format
    DWORD dwBitsPerSample;     // wBitsPerSample of the format, bits
} STREAM_CONTEXT;

extern "C" {

extern STREAM_CONTEXT g_StreamContext[STREAM_COUNT];
extern CRITICAL_SECTION g_StreamLock;   // recursive; exists from WAV_Init to WAV_Deinit

// g_StreamLock is entered and left only through these two, which keep a record
// of the holder and its depth, so that a handler of a caught fault can give
// back the levels its guarded stretch took: the platform's exception handling
// ends the stretch and releases nothing.  Any thread; no lock needed.
void EnterStreamLock(void);
void LeaveStreamLock(void);
// Levels of g_StreamLock the calling thread holds (0 when it holds none).
DWORD StreamLockDepth(void);
// Leaves g_StreamLock until the calling thread holds dwDepth levels.  For the
// handler of a guarded stretch, with the depth read before the stretch began.
void UnwindStreamLock(DWORD dwDepth);

// Puts the record into its idle state.  Caller holds g_StreamLock.
void ResetStreamContext(DWORD dwStream);

// What a handler answers when a record it must read is null.  The dispatcher
// then writes no result word: the outcome of a caught access fault, reached
// without forming an address from a null one.  No result code has this value.
#define WODM_NO_ANSWER 0xFFFFFFFFu

// Message handlers, called by the dispatcher on the sender's thread.  Each
// takes g_StreamLock itself (callers need not hold it; a client callback that
// sends a message re-enters it) and returns the result word.
DWORD WodmOpen(DWORD dwStream, const MMDRV_MESSAGE_PARAMS* pParams);
DWORD WodmClose(DWORD dwStream, const MMDRV_MESSAGE_PARAMS* pParams);
DWORD WodmGetPos(const MMDRV_MESSAGE_PARAMS* pParams);
DWORD WodmWrite(DWORD dwStream, const MMDRV_MESSAGE_PARAMS* pParams);
DWORD WodmPause(DWORD dwStream, const MMDRV_MESSAGE_PARAMS* pParams);
DWORD WodmRestart(DWORD dwStream, const MMDRV_MESSAGE_PARAMS* pParams);
DWORD WodmReset(DWORD dwStream, const MMDRV_MESSAGE_PARAMS* pParams);
DWORD WodmBreakLoop(DWORD dwStream, const MMDRV_MESSAGE_PARAMS* pParams);

// 1 when the record is exactly the device's one format: PCM, 2 channels,
// 44,100 Hz, 16 bits, nBlockAlign 4 and nAvgBytesPerSec 176,400, given as
// WAVE_FORMAT_PCM (cbSize not read) or as WAVE_FORMAT_EXTENSIBLE with cbSize
// at least 22, the PCM subformat, 16 valid bits and the channels unplaced
// (mask 0) or front left and front right (mask 3).  0 for anything else.  A
// record that cannot be read faults.  No lock.
BOOL CheckWaveFormat(const WAVEFORMATEX* pwfx);
// dwBytesDone plus the bytes taken from the current header, mod 2^32.  Takes
// g_StreamLock itself (re-entered when the caller already holds it).
DWORD GetBytePosition(DWORD dwStream);

}  // extern "C"

#endif
