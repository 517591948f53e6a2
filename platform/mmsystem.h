// The wave API's records, messages and constants, the driver-side message
// record, and the multimedia timer.
#ifndef PLATFORM_MMSYSTEM_H
#define PLATFORM_MMSYSTEM_H

#include "platform/wintypes.h"

typedef UINT MMRESULT;
typedef UINT MMVERSION;
typedef HANDLE HWAVEOUT;
typedef HANDLE HWAVE;
typedef HANDLE HDRVR;

// Result codes.
#define MMSYSERR_NOERROR 0
#define MMSYSERR_ERROR 1
#define MMSYSERR_BADDEVICEID 2
#define MMSYSERR_NOTENABLED 3
#define MMSYSERR_ALLOCATED 4
#define MMSYSERR_INVALHANDLE 5
#define MMSYSERR_NODRIVER 6
#define MMSYSERR_NOMEM 7
#define MMSYSERR_NOTSUPPORTED 8
#define MMSYSERR_INVALFLAG 10
#define MMSYSERR_INVALPARAM 11
#define MMSYSERR_HANDLEBUSY 12
#define WAVERR_BADFORMAT 32
#define WAVERR_STILLPLAYING 33
#define WAVERR_UNPREPARED 34

// Wave messages to the driver (uMsg of MMDRV_MESSAGE_PARAMS).
#define WODM_GETNUMDEVS 3
#define WODM_GETDEVCAPS 4
#define WODM_OPEN 5
#define WODM_CLOSE 6
#define WODM_PREPARE 7
#define WODM_UNPREPARE 8
#define WODM_WRITE 9
#define WODM_PAUSE 10
#define WODM_RESTART 11
#define WODM_RESET 12
#define WODM_GETPOS 13
#define WODM_GETPITCH 14
#define WODM_SETPITCH 15
#define WODM_GETVOLUME 16
#define WODM_SETVOLUME 17
#define WODM_GETPLAYBACKRATE 18
#define WODM_SETPLAYBACKRATE 19
#define WODM_BREAKLOOP 20
#define WODM_GETEXTDEVCAPS 22

// Callback messages to the application.
#define MM_WOM_OPEN 0x3BB
#define MM_WOM_CLOSE 0x3BC
#define MM_WOM_DONE 0x3BD

// Header flags.  WHDR_LOOPMEMBER is the driver's own.
#define WHDR_DONE 0x00000001
#define WHDR_PREPARED 0x00000002
#define WHDR_BEGINLOOP 0x00000004
#define WHDR_ENDLOOP 0x00000008
#define WHDR_INQUEUE 0x00000010
#define WHDR_LOOPMEMBER 0x00008000

// Open flags.
#define WAVE_FORMAT_QUERY 0x0001
#define WAVE_ALLOWSYNC 0x0002
#define WAVE_MAPPED 0x0004
#define WAVE_FORMAT_DIRECT 0x0008
#define CALLBACK_TYPEMASK 0x00070000
#define CALLBACK_NULL 0x00000000
#define CALLBACK_WINDOW 0x00010000
#define CALLBACK_THREAD 0x00020000
#define CALLBACK_FUNCTION 0x00030000
#define CALLBACK_EVENT 0x00050000

#define WAVE_FORMAT_PCM 1
#define WAVE_FORMAT_4S16 0x00000800
#define WAVECAPS_VOLUME 0x0004
#define WAVE_MAPPER 0xFFFFFFFFu
#define DRVM_MAPPER_PREFERRED_GET 0x2015
#define DRVM_MAPPER_PREFERRED_SET 0x2016

// Time formats of MMTIME.
#define TIME_MS 0x0001
#define TIME_SAMPLES 0x0002
#define TIME_BYTES 0x0004
#define TIME_SMPTE 0x0008
#define TIME_MIDI 0x0010
#define TIME_TICKS 0x0020

// I/O control code that carries wave messages to the driver.
#define IOCTL_WAV_MESSAGE 0x001D000C

// The message record that arrives at pBufIn of WAV_IOControl.
typedef struct MMDRV_MESSAGE_PARAMS {
    UINT uDeviceId;      // device number the wave API addressed
    UINT uMsg;           // message number
    DWORD_PTR dwUser;    // the wave API's word; no handler uses it
    DWORD_PTR dwParam1;  // first parameter (often an address)
    DWORD_PTR dwParam2;  // second parameter
} MMDRV_MESSAGE_PARAMS, *PMMDRV_MESSAGE_PARAMS;

typedef struct wavehdr_tag {
    LPSTR lpData;                 // the application's PCM bytes
    DWORD dwBufferLength;         // bytes in the buffer
    DWORD dwBytesRecorded;        // for output: bytes already consumed
    DWORD_PTR dwUser;             // the application's
    DWORD dwFlags;                // WHDR_*
    DWORD dwLoops;                // passes left, on a loop's first header
    struct wavehdr_tag* lpNext;   // queue link
    DWORD_PTR reserved;
} WAVEHDR, *PWAVEHDR, *LPWAVEHDR;

typedef struct tagWAVEOUTCAPSW {
    WORD wMid;
    WORD wPid;
    MMVERSION vDriverVersion;
    WCHAR szPname[32];
    DWORD dwFormats;
    WORD wChannels;
    WORD wReserved1;
    DWORD dwSupport;
} WAVEOUTCAPS, *LPWAVEOUTCAPS;

// Extended capabilities: seven 32-bit words.
typedef struct tagWAVEOUTEXTCAPS {
    DWORD dwWords[7];
} WAVEOUTEXTCAPS, *LPWAVEOUTEXTCAPS;

#pragma pack(push, 1)
typedef struct tWAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
} WAVEFORMATEX, *LPWAVEFORMATEX;
#pragma pack(pop)
typedef const WAVEFORMATEX* LPCWAVEFORMATEX;

typedef struct WAVEOPENDESC {
    HWAVE hWave;              // the wave API's handle of the stream
    LPWAVEFORMATEX lpFormat;  // the client's format record
    DWORD_PTR dwCallback;     // the client's callback function
    DWORD_PTR dwInstance;     // the client's instance word
} WAVEOPENDESC, *LPWAVEOPENDESC;

typedef struct mmtime_tag {
    UINT wType;
    union {
        DWORD ms;
        DWORD sample;
        DWORD cb;
        DWORD ticks;
        struct {
            BYTE hour;
            BYTE min;
            BYTE sec;
            BYTE frame;
            BYTE fps;
            BYTE dummy;
            BYTE pad[2];
        } smpte;
        struct {
            DWORD songptrpos;
        } midi;
    } u;
} MMTIME, *LPMMTIME;

// The application's callback: handle, message, instance, two parameters.
typedef void (CALLBACK* DRVCALLBACK)(HDRVR hdrvr, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dw1, DWORD_PTR dw2);
typedef DRVCALLBACK LPDRVCALLBACK;
typedef DRVCALLBACK LPWAVECALLBACK;

// Multimedia timer.
#define TIME_ONESHOT 0x0000
#define TIME_PERIODIC 0x0001
#define TIMERR_NOERROR 0
#define TIMERR_NOCANDO 97
typedef void (CALLBACK* LPTIMECALLBACK)(UINT uTimerID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dw1, DWORD_PTR dw2);

// Record layouts.  On the 32-bit target they are exactly the platform's; on a
// 64-bit host the address and handle fields widen.
STATIC_ASSERT(sizeof(WAVEOUTCAPS) == 84);
STATIC_ASSERT(sizeof(WAVEOUTEXTCAPS) == 28);
STATIC_ASSERT(sizeof(MMTIME) == 12);
STATIC_ASSERT(sizeof(WAVEFORMATEX) == 18);
STATIC_ASSERT(offsetof(WAVEOUTCAPS, szPname) == 8);
STATIC_ASSERT(offsetof(WAVEOUTCAPS, dwFormats) == 72);
STATIC_ASSERT(offsetof(WAVEOUTCAPS, wChannels) == 76);
STATIC_ASSERT(offsetof(WAVEOUTCAPS, dwSupport) == 80);
STATIC_ASSERT(sizeof(MMDRV_MESSAGE_PARAMS) == 8 + 3 * sizeof(void*));
STATIC_ASSERT(sizeof(WAVEHDR) == 16 + 4 * sizeof(void*));
STATIC_ASSERT(sizeof(WAVEOPENDESC) == 4 * sizeof(void*));
#if UINTPTR_MAX == 0xFFFFFFFFu
STATIC_ASSERT(sizeof(MMDRV_MESSAGE_PARAMS) == 20);
STATIC_ASSERT(sizeof(WAVEHDR) == 32);
STATIC_ASSERT(offsetof(WAVEHDR, dwFlags) == 16);
STATIC_ASSERT(offsetof(WAVEHDR, lpNext) == 24);
#else
STATIC_ASSERT(offsetof(WAVEHDR, dwFlags) == 24);
STATIC_ASSERT(offsetof(WAVEHDR, lpNext) == 32);
#endif

extern "C" {

// Multimedia timer service.
MMRESULT timeBeginPeriod(UINT uPeriod);
MMRESULT timeEndPeriod(UINT uPeriod);
MMRESULT timeSetEvent(UINT uDelay, UINT uResolution, LPTIMECALLBACK fptc, DWORD_PTR dwUser, UINT fuEvent);
MMRESULT timeKillEvent(UINT uTimerID);

// Wave API.
UINT waveOutGetNumDevs(void);
MMRESULT waveOutGetDevCaps(UINT uDeviceID, LPWAVEOUTCAPS pwoc, UINT cbwoc);
MMRESULT waveOutMessage(HWAVEOUT hwo, UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2);

}  // extern "C"

#endif
