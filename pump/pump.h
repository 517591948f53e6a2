// The playback pump: pacing record, configuration, timer control, the tick
// and the building and posting of packets.
#ifndef PUMP_PUMP_H
#define PUMP_PUMP_H

#include "driver/config.h"
#include "driver/system.h"
#include "btlink/lmr.h"

// Pump states:
//
//   state   | bRunning | timer  | entered by
//   --------+----------+--------+---------------------------------------------
//   Idle    |    0     | none   | load; StopBtAudio; a tick on an empty queue
//   Running |    1     | exists | StartBtAudio from Idle; ResumeBtAudio;
//           |          |        | RestartBtAudio
//   Held    |    1     | none   | SuspendBtAudio from Running
//
// Every field is read and written with g_StreamLock held.
typedef struct BT_AUDIO_PARA {
    BOOL bRunning;              // pump active; set by the starts, cleared by StopBtAudio and the idle tick
    UINT uTimerId;              // periodic timer's id, 0 when none (Start/StopBtAudioTimer)
    LARGE_INTEGER liLastCount;  // counter value up to which time is paid for in bytes (init, rebase, each tick)
    LARGE_INTEGER liFrequency;  // counter frequency, counts per second (InitBtAudioPara); 0 until configured
    int nTicks;                 // 0 after InitBtAudioPara until the first tick has posted, then 1 (the tick)
    LARGE_INTEGER liCarry;      // bytes-due remainder, 1/liFrequency byte units, 0 .. 4*liFrequency-1 (the tick)
    DWORD dwSample;             // byte rate, bytes per second ("Sample", default BT_AUDIO_DEFAULT_SAMPLE; InitBtAudioPara)
    DWORD dwTimer;              // timer period, milliseconds ("Timer", default 20; InitBtAudioPara)
    DWORD dwCacheLen;           // bytes the first tick asks for, whole frames ("CacheLen" rounded down, default 6144; InitBtAudioPara)
} BT_AUDIO_PARA;

// The device's one format (driver/config.h) is 16-bit stereo PCM: a frame
// (one sample of each channel) is 4 bytes, and every packet carries whole frames, so that a
// packet the library refuses or loses drops whole frames and never shifts
// the channels of what follows.
#define BT_AUDIO_FRAME_BYTES BTWAV_DEVICE_FRAME_BYTES

// The packet handed to the Bluetooth audio library is the library's
// BT_AUDIO_PACKET (btlink/lmr.h); the pump relies on its offsets.
STATIC_ASSERT(offsetof(BT_AUDIO_PACKET, dwDataLen) == 4);
STATIC_ASSERT(offsetof(BT_AUDIO_PACKET, abData) == 8);


extern "C" {

// The pump's one record; all zero at load.
extern BT_AUDIO_PARA g_BtAudioPara;

// Control operations.  Caller holds g_StreamLock.
//
// StartBtAudio: from Idle, reconfigures the record (registry read, first-tick
// reserve due again) and starts the timer; nothing while Running or Held.
void StartBtAudio(void);
// SuspendBtAudio: Running to Held; ends the timer, the pump stays marked
// running and keeps its clock.
void SuspendBtAudio(void);
// ResumeBtAudio, RestartBtAudio: replace the timer and rebase the clock, so
// the time without a timer is not paid for; no second first-tick reserve.
// A record never configured since load is configured first.
void ResumeBtAudio(void);
void RestartBtAudio(void);
// StopBtAudio: any state to Idle.
void StopBtAudio(void);
// Every start leaves the pump Idle (bRunning 0) when timeSetEvent fails, so
// that the next WODM_WRITE tries again.

// Internal routines.  Caller holds g_StreamLock.
//
// Zeroes the record, sets the defaults, reads the registry, rounds the
// reserve down to whole frames (a "CacheLen" under 4 becomes 0: no reserve),
// writes the configuration line (the values in use) on the debug output, and
// reads the counter's frequency and value.
void InitBtAudioPara(BT_AUDIO_PARA* pPara);
// Stores each of "Sample", "Timer", "CacheLen" of the Params key that holds
// exactly 4 bytes of data; leaves the others alone.  A "Sample" or "Timer"
// of 0 is not stored.
void ReadBtAudioRegistry(LPDWORD pdwSample, LPDWORD pdwTimer, LPDWORD pdwCacheLen);
// Starts the periodic timer (period dwTimer ms, tick BtAudioTimerProc) and
// stores its id; uTimerId is 0 when none could be made.
void StartBtAudioTimer(BT_AUDIO_PARA* pPara);
// Ends the timer, if one exists.  The tick calls it for its own timer.
void StopBtAudioTimer(BT_AUDIO_PARA* pPara);

// Copies up to dwRequested queued bytes, rounded down to whole frames, into
// one packet (malloc'd, 12 + N bytes) and posts it with LMRPostData,
// advancing the headers' consumed-byte cursors; frees the packet when the
// post is refused.  Every packet is whole frames: buffers whose lengths are
// not are read as one continuous stream, a part frame at the end of what is
// queued waits for the next tick, and when fewer than 4 bytes are all that
// is queued, they go out completed to one frame with zero bytes, so that no
// header is held for ever.  The audio bytes in the posted packet (a multiple
// of 4), 0 when nothing was posted (not running, nothing queued or due,
// allocation failure).  Caller holds g_StreamLock.
DWORD PostBtAudioData(BT_AUDIO_PARA* pPara, DWORD dwRequested);

// Bytes the counter time since the last computation is worth at dwSample
// bytes per second, rounded down to whole frames (a multiple of 4) with the
// rest carried in liCarry; moves liLastCount to now.  0 for a record without a frequency.
// Caller holds g_StreamLock.
DWORD GetBtAudioBytesDue(BT_AUDIO_PARA* pPara);

// The tick, a multimedia timer callback on the timer service's thread.
// Takes g_StreamLock itself (inside EnterAsyncUse/LeaveAsyncUse).  A tick
// whose timer id is no longer the record's (its timer was ended while it
// waited for the lock) does nothing.  One stretch of the tick is guarded:
// the copy from a client's buffer into the packet (CopyClientBytes in
// post.cpp), so an unreadable lpData drops that header's bytes as taken and
// not played.  Nothing else in the tick is: a fault elsewhere inside it (a
// header the client freed while it was queued, a fault in LMRPostData or in
// the client's MM_WOM_DONE) is not caught by the driver.  It goes to the
// timer service's thread as an unhandled exception, with g_StreamLock still
// held by that thread, so every later message that needs the lock waits for
// good; on the host the process ends.
void CALLBACK BtAudioTimerProc(UINT uTimerId, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dw1, DWORD_PTR dw2);

}  // extern "C"

#endif
