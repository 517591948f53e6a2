// The wave API's records, results and constants, the application callback,
// the multimedia timer, and the three wave functions a driver may call
// itself.  The application-side wave functions are not here: a driver never
// calls them (the host declares them for its applications).
#ifndef PLATFORM_MMSYSTEM_H
#define PLATFORM_MMSYSTEM_H

#include "windows.h"

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

// Callback messages to the application.
#define MM_WOM_OPEN 0x3BB
#define MM_WOM_CLOSE 0x3BC
#define MM_WOM_DONE 0x3BD

// Header flags.
#define WHDR_DONE 0x00000001
#define WHDR_PREPARED 0x00000002
#define WHDR_BEGINLOOP 0x00000004
#define WHDR_ENDLOOP 0x00000008
#define WHDR_INQUEUE 0x00000010

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
#define WAVE_MAPPER ((UINT)-1)

// Time formats of MMTIME.
#define TIME_MS 0x0001
#define TIME_SAMPLES 0x0002
#define TIME_BYTES 0x0004
#define TIME_SMPTE 0x0008
#define TIME_MIDI 0x0010
#define TIME_TICKS 0x0020

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
} WAVEOUTCAPSW, *LPWAVEOUTCAPSW, WAVEOUTCAPS, *LPWAVEOUTCAPS;

#pragma pack(push, 1)
typedef struct tWAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
} WAVEFORMATEX, *PWAVEFORMATEX, *LPWAVEFORMATEX;
#pragma pack(pop)
typedef const WAVEFORMATEX* LPCWAVEFORMATEX;

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
} MMTIME, *PMMTIME, *LPMMTIME;

// The application's callback: handle, message, instance, two parameters.  A
// function type; the pointer to it is LPDRVCALLBACK.
typedef void CALLBACK DRVCALLBACK(HDRVR hdrvr, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dw1, DWORD_PTR dw2);
typedef DRVCALLBACK* LPDRVCALLBACK;
typedef DRVCALLBACK WAVECALLBACK;
typedef WAVECALLBACK* LPWAVECALLBACK;

// Multimedia timer.
#define TIME_ONESHOT 0x0000
#define TIME_PERIODIC 0x0001
#define TIMERR_NOERROR 0
#define TIMERR_NOCANDO 97
typedef void CALLBACK TIMECALLBACK(UINT uTimerID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dw1, DWORD_PTR dw2);
typedef TIMECALLBACK* LPTIMECALLBACK;

#ifdef __cplusplus
extern "C" {
#endif

// Multimedia timer service.
MMRESULT WINAPI timeBeginPeriod(UINT uPeriod);
MMRESULT WINAPI timeEndPeriod(UINT uPeriod);
MMRESULT WINAPI timeSetEvent(UINT uDelay, UINT uResolution, LPTIMECALLBACK fptc, DWORD_PTR dwUser, UINT fuEvent);
MMRESULT WINAPI timeKillEvent(UINT uTimerID);

// The wave functions that enumerate devices and reach the wave mapper.
UINT WINAPI waveOutGetNumDevs(void);
MMRESULT WINAPI waveOutGetDevCaps(UINT uDeviceID, LPWAVEOUTCAPS pwoc, UINT cbwoc);
MMRESULT WINAPI waveOutMessage(HWAVEOUT hwo, UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif
