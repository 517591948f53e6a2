// The playback pump: pacing record, configuration, timer control, the tick
// and the building and posting of packets.
#ifndef PUMP_PUMP_H
#define PUMP_PUMP_H

#include "platform/platform.h"

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
    UINT uTimerId;              // periodic timer's id, 0 when no timer exists
    LARGE_INTEGER liLastCount;  // counter value up to which time has been paid for in bytes
    LARGE_INTEGER liFrequency;  // counter frequency, counts per second
    int nTicks;                 // 0 until the first tick after InitBtAudioPara has posted, then 1
    LARGE_INTEGER liCarry;      // remainder carried between bytes-due computations, 1/liFrequency byte units
    DWORD dwSample;             // byte rate, bytes per second ("Sample", default 176400)
    DWORD dwTimer;              // timer period, milliseconds ("Timer", default 20)
    DWORD dwCacheLen;           // bytes asked for by the first tick ("CacheLen", default 6144)
} BT_AUDIO_PARA;

// The packet handed to the Bluetooth audio library: 12 + N bytes.
typedef struct BT_AUDIO_PACKET {
    DWORD dwReserved;   // not written
    DWORD dwDataLen;    // N, the audio bytes that follow
    BYTE abData[4];     // N audio bytes, then 4 trailing bytes that are not written
} BT_AUDIO_PACKET;

STATIC_ASSERT(offsetof(BT_AUDIO_PACKET, dwDataLen) == 4);
STATIC_ASSERT(offsetof(BT_AUDIO_PACKET, abData) == 8);

#define BT_AUDIO_PACKET_OVERHEAD 12

#define BT_AUDIO_DEFAULT_SAMPLE 176400
#define BT_AUDIO_DEFAULT_TIMER 20
#define BT_AUDIO_DEFAULT_CACHELEN 6144

extern "C" {

extern BT_AUDIO_PARA g_BtAudioPara;

// Control operations.  Caller holds g_StreamLock.
void StartBtAudio(void);
void SuspendBtAudio(void);
void ResumeBtAudio(void);
void RestartBtAudio(void);
void StopBtAudio(void);

// Internal routines.  Caller holds g_StreamLock.
void InitBtAudioPara(BT_AUDIO_PARA* pPara);
void ReadBtAudioRegistry(LPDWORD pdwSample, LPDWORD pdwTimer, LPDWORD pdwCacheLen);
void StartBtAudioTimer(BT_AUDIO_PARA* pPara);
void StopBtAudioTimer(BT_AUDIO_PARA* pPara);

// Copies up to dwRequested queued bytes into one packet and posts it; the
// bytes that went into the packet, 0 when nothing was posted.  Caller holds
// g_StreamLock.
DWORD PostBtAudioData(BT_AUDIO_PARA* pPara, DWORD dwRequested);

// Bytes the time since the last computation is worth, even, with the rest
// carried.  Caller holds g_StreamLock.
DWORD GetBtAudioBytesDue(BT_AUDIO_PARA* pPara);

// The tick: a multimedia timer callback.  Takes g_StreamLock itself.
void CALLBACK BtAudioTimerProc(UINT uTimerId, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dw1, DWORD_PTR dw2);

}  // extern "C"

#endif
