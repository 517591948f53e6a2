/* The wave API as the platform's SDK declares it: results, records,
 * constants, the application's callback, the multimedia timer, the whole
 * wave-out API and the wave-in API.  The wave API is Unicode only on the
 * platform: waveOutGetDevCaps fills the 16-bit WAVEOUTCAPS and
 * waveOutGetErrorText writes 16-bit text, under those plain names; there are
 * no -A or -W forms.
 * Usable from C89, C99 and C++.
 *
 * A driver calls three of these functions (waveOutGetNumDevs,
 * waveOutGetDevCaps, waveOutMessage); the rest are for applications. */
#ifndef PLATFORM_MMSYSTEM_H
#define PLATFORM_MMSYSTEM_H

#include "windows.h"

typedef UINT MMRESULT;
typedef UINT MMVERSION;
typedef HANDLE HWAVEOUT;
typedef HANDLE HWAVEIN;
typedef HANDLE HWAVE;
typedef HANDLE HDRVR;
typedef HWAVEOUT* LPHWAVEOUT;
typedef HWAVEIN* LPHWAVEIN;
typedef char* HPSTR; /* a "huge" pointer of 16-bit days: an ordinary one */

/* ---- Result codes ---------------------------------------------------------------- */
#define MMSYSERR_BASE 0
#define WAVERR_BASE 32
#define MMSYSERR_NOERROR 0
#define MMSYSERR_ERROR 1
#define MMSYSERR_BADDEVICEID 2
#define MMSYSERR_NOTENABLED 3
#define MMSYSERR_ALLOCATED 4
#define MMSYSERR_INVALHANDLE 5
#define MMSYSERR_NODRIVER 6
#define MMSYSERR_NOMEM 7
#define MMSYSERR_NOTSUPPORTED 8
#define MMSYSERR_BADERRNUM 9
#define MMSYSERR_INVALFLAG 10
#define MMSYSERR_INVALPARAM 11
#define MMSYSERR_HANDLEBUSY 12
#define MMSYSERR_INVALIDALIAS 13
#define MMSYSERR_BADDB 14
#define MMSYSERR_KEYNOTFOUND 15
#define MMSYSERR_READERROR 16
#define MMSYSERR_WRITEERROR 17
#define MMSYSERR_DELETEERROR 18
#define MMSYSERR_VALNOTFOUND 19
#define MMSYSERR_NODRIVERCB 20
#define MMSYSERR_LASTERROR 20
#define WAVERR_BADFORMAT 32
#define WAVERR_STILLPLAYING 33
#define WAVERR_UNPREPARED 34
#define WAVERR_SYNC 35
#define WAVERR_LASTERROR 35

#define MAXPNAMELEN 32
#define MAXERRORLENGTH 256

/* ---- Callback messages ---------------------------------------------------------- */
#define MM_WOM_OPEN 0x3BB
#define MM_WOM_CLOSE 0x3BC
#define MM_WOM_DONE 0x3BD
#define MM_WIM_OPEN 0x3BE
#define MM_WIM_CLOSE 0x3BF
#define MM_WIM_DATA 0x3C0
#define WOM_OPEN MM_WOM_OPEN
#define WOM_CLOSE MM_WOM_CLOSE
#define WOM_DONE MM_WOM_DONE
#define WIM_OPEN MM_WIM_OPEN
#define WIM_CLOSE MM_WIM_CLOSE
#define WIM_DATA MM_WIM_DATA

/* ---- Header flags ------------------------------------------------------------------ */
#define WHDR_DONE 0x00000001
#define WHDR_PREPARED 0x00000002
#define WHDR_BEGINLOOP 0x00000004
#define WHDR_ENDLOOP 0x00000008
#define WHDR_INQUEUE 0x00000010

/* ---- Open flags and callback kinds ------------------------------------------------- */
#define WAVE_FORMAT_QUERY 0x0001
#define WAVE_ALLOWSYNC 0x0002
#define WAVE_MAPPED 0x0004
#define WAVE_FORMAT_DIRECT 0x0008
#define WAVE_FORMAT_DIRECT_QUERY (WAVE_FORMAT_QUERY | WAVE_FORMAT_DIRECT)
#define CALLBACK_TYPEMASK 0x00070000
#define CALLBACK_NULL 0x00000000
#define CALLBACK_WINDOW 0x00010000
#define CALLBACK_TASK 0x00020000
#define CALLBACK_THREAD CALLBACK_TASK
#define CALLBACK_FUNCTION 0x00030000
#define CALLBACK_EVENT 0x00050000

/* The device id that names the wave mapper. */
#define WAVE_MAPPER ((UINT)-1)

/* ---- Formats and capabilities ------------------------------------------------------ */
#define WAVE_FORMAT_PCM 1

/* The standard formats a device may announce in dwFormats: 11.025, 22.05
 * and 44.1 kHz, mono and stereo, 8- and 16-bit. */
#define WAVE_INVALIDFORMAT 0x00000000
#define WAVE_FORMAT_1M08 0x00000001
#define WAVE_FORMAT_1S08 0x00000002
#define WAVE_FORMAT_1M16 0x00000004
#define WAVE_FORMAT_1S16 0x00000008
#define WAVE_FORMAT_2M08 0x00000010
#define WAVE_FORMAT_2S08 0x00000020
#define WAVE_FORMAT_2M16 0x00000040
#define WAVE_FORMAT_2S16 0x00000080
#define WAVE_FORMAT_4M08 0x00000100
#define WAVE_FORMAT_4S08 0x00000200
#define WAVE_FORMAT_4M16 0x00000400
#define WAVE_FORMAT_4S16 0x00000800

/* What a device supports besides playing (dwSupport). */
#define WAVECAPS_PITCH 0x0001
#define WAVECAPS_PLAYBACKRATE 0x0002
#define WAVECAPS_VOLUME 0x0004
#define WAVECAPS_LRVOLUME 0x0008
#define WAVECAPS_SYNC 0x0010
#define WAVECAPS_SAMPLEACCURATE 0x0020

/* ---- Time formats of MMTIME ---------------------------------------------------------- */
#define TIME_MS 0x0001
#define TIME_SAMPLES 0x0002
#define TIME_BYTES 0x0004
#define TIME_SMPTE 0x0008
#define TIME_MIDI 0x0010
#define TIME_TICKS 0x0020

/* ---- Records ------------------------------------------------------------------------- */
typedef struct wavehdr_tag {
    LPSTR lpData;                 /* the application's PCM bytes */
    DWORD dwBufferLength;         /* bytes in the buffer */
    DWORD dwBytesRecorded;        /* for output: bytes already consumed */
    DWORD_PTR dwUser;             /* the application's */
    DWORD dwFlags;                /* WHDR_* */
    DWORD dwLoops;                /* passes left, on a loop's first header */
    struct wavehdr_tag* lpNext;   /* queue link, kept by the driver */
    DWORD_PTR reserved;
} WAVEHDR, *PWAVEHDR, *NPWAVEHDR, *LPWAVEHDR;

typedef struct tagWAVEOUTCAPS {
    WORD wMid;
    WORD wPid;
    MMVERSION vDriverVersion;
    WCHAR szPname[MAXPNAMELEN];
    DWORD dwFormats;
    WORD wChannels;
    WORD wReserved1;
    DWORD dwSupport;
} WAVEOUTCAPS, *PWAVEOUTCAPS, *NPWAVEOUTCAPS, *LPWAVEOUTCAPS;

typedef struct tagWAVEINCAPS {
    WORD wMid;
    WORD wPid;
    MMVERSION vDriverVersion;
    WCHAR szPname[MAXPNAMELEN];
    DWORD dwFormats;
    WORD wChannels;
    WORD wReserved1;
} WAVEINCAPS, *PWAVEINCAPS, *NPWAVEINCAPS, *LPWAVEINCAPS;

/* The format records are byte-packed, as in the SDK: WAVEFORMATEX is 18
 * bytes. */
#pragma pack(push, 1)
typedef struct waveformat_tag {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
} WAVEFORMAT, *PWAVEFORMAT, *NPWAVEFORMAT, *LPWAVEFORMAT;

typedef struct pcmwaveformat_tag {
    WAVEFORMAT wf;
    WORD wBitsPerSample;
} PCMWAVEFORMAT, *PPCMWAVEFORMAT, *NPPCMWAVEFORMAT, *LPPCMWAVEFORMAT;

#ifndef _WAVEFORMATEX_
#define _WAVEFORMATEX_
typedef struct tWAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;          /* bytes of format data after the record */
} WAVEFORMATEX, *PWAVEFORMATEX, *NPWAVEFORMATEX, *LPWAVEFORMATEX;
#endif
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
} MMTIME, *PMMTIME, *NPMMTIME, *LPMMTIME;

/* The application's callback: handle, message, instance, two parameters.  A
 * function type; the pointer to it is LPDRVCALLBACK. */
typedef void CALLBACK DRVCALLBACK(HDRVR hdrvr, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dw1, DWORD_PTR dw2);
typedef DRVCALLBACK* LPDRVCALLBACK;
typedef DRVCALLBACK* PDRVCALLBACK;
typedef DRVCALLBACK WAVECALLBACK;
typedef WAVECALLBACK* LPWAVECALLBACK;

/* ---- Multimedia timer ------------------------------------------------------------- */
#define TIME_ONESHOT 0x0000
#define TIME_PERIODIC 0x0001
#define TIMERR_NOERROR 0
#define TIMERR_NOCANDO 97
typedef void CALLBACK TIMECALLBACK(UINT uTimerID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dw1, DWORD_PTR dw2);
typedef TIMECALLBACK* LPTIMECALLBACK;

#ifdef __cplusplus
extern "C" {
#endif

MMRESULT WINAPI timeBeginPeriod(UINT uPeriod);
MMRESULT WINAPI timeEndPeriod(UINT uPeriod);
MMRESULT WINAPI timeSetEvent(UINT uDelay, UINT uResolution, LPTIMECALLBACK fptc, DWORD_PTR dwUser, UINT fuEvent);
MMRESULT WINAPI timeKillEvent(UINT uTimerID);
/* Milliseconds, as GetTickCount. */
DWORD WINAPI timeGetTime(void);

/* ---- Wave output ------------------------------------------------------------------- */
UINT WINAPI waveOutGetNumDevs(void);
/* uDeviceID: a device id, WAVE_MAPPER, or an open HWAVEOUT. */
MMRESULT WINAPI waveOutGetDevCaps(UINT_PTR uDeviceID, LPWAVEOUTCAPS pwoc, UINT cbwoc);
MMRESULT WINAPI waveOutGetVolume(HWAVEOUT hwo, LPDWORD pdwVolume);
MMRESULT WINAPI waveOutSetVolume(HWAVEOUT hwo, DWORD dwVolume);
MMRESULT WINAPI waveOutGetErrorText(MMRESULT mmrError, LPWSTR pszText, UINT cchText);
MMRESULT WINAPI waveOutOpen(LPHWAVEOUT phwo, UINT uDeviceID, LPCWAVEFORMATEX pwfx, DWORD_PTR dwCallback,
                            DWORD_PTR dwInstance, DWORD fdwOpen);
MMRESULT WINAPI waveOutClose(HWAVEOUT hwo);
MMRESULT WINAPI waveOutPrepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh);
MMRESULT WINAPI waveOutUnprepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh);
MMRESULT WINAPI waveOutWrite(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh);
MMRESULT WINAPI waveOutPause(HWAVEOUT hwo);
MMRESULT WINAPI waveOutRestart(HWAVEOUT hwo);
MMRESULT WINAPI waveOutReset(HWAVEOUT hwo);
MMRESULT WINAPI waveOutBreakLoop(HWAVEOUT hwo);
MMRESULT WINAPI waveOutGetPosition(HWAVEOUT hwo, LPMMTIME pmmt, UINT cbmmt);
MMRESULT WINAPI waveOutGetPitch(HWAVEOUT hwo, LPDWORD pdwPitch);
MMRESULT WINAPI waveOutSetPitch(HWAVEOUT hwo, DWORD dwPitch);
MMRESULT WINAPI waveOutGetPlaybackRate(HWAVEOUT hwo, LPDWORD pdwRate);
MMRESULT WINAPI waveOutSetPlaybackRate(HWAVEOUT hwo, DWORD dwRate);
MMRESULT WINAPI waveOutGetID(HWAVEOUT hwo, LPUINT puDeviceID);
MMRESULT WINAPI waveOutMessage(HWAVEOUT hwo, UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2);

/* ---- Wave input ---------------------------------------------------------------------- */
UINT WINAPI waveInGetNumDevs(void);
MMRESULT WINAPI waveInGetDevCaps(UINT_PTR uDeviceID, LPWAVEINCAPS pwic, UINT cbwic);
MMRESULT WINAPI waveInGetErrorText(MMRESULT mmrError, LPWSTR pszText, UINT cchText);
MMRESULT WINAPI waveInOpen(LPHWAVEIN phwi, UINT uDeviceID, LPCWAVEFORMATEX pwfx, DWORD_PTR dwCallback,
                           DWORD_PTR dwInstance, DWORD fdwOpen);
MMRESULT WINAPI waveInClose(HWAVEIN hwi);
MMRESULT WINAPI waveInPrepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh);
MMRESULT WINAPI waveInUnprepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh);
MMRESULT WINAPI waveInAddBuffer(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh);
MMRESULT WINAPI waveInStart(HWAVEIN hwi);
MMRESULT WINAPI waveInStop(HWAVEIN hwi);
MMRESULT WINAPI waveInReset(HWAVEIN hwi);
MMRESULT WINAPI waveInGetPosition(HWAVEIN hwi, LPMMTIME pmmt, UINT cbmmt);
MMRESULT WINAPI waveInGetID(HWAVEIN hwi, LPUINT puDeviceID);
MMRESULT WINAPI waveInMessage(HWAVEIN hwi, UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2);

/* ---- Sounds -----------------------------------------------------------------------------
 * A WAV file's PCM through WAVE_MAPPER, one sound at a time in the process.
 * The sound: a file (SND_FILENAME, a platform path as CreateFile takes it),
 * a WAV image in memory (SND_MEMORY), or an alias (SND_ALIAS): the "Sound"
 * value, a file's path, of HKEY_CURRENT_USER\ControlPanel\Sounds\<alias>.
 * With none of the three an alias is tried first, then a file.  SND_SYNC
 * returns when the sound has played; SND_ASYNC returns once it plays, and
 * with SND_LOOP it repeats until stopped.  A new sound stops the one
 * playing, unless SND_NOSTOP, which then answers FALSE.  A NULL sound, or
 * SND_PURGE, stops it.  SND_NODEFAULT and SND_NOWAIT are accepted: there is
 * no default sound, and a busy device answers FALSE at once.  SND_RESOURCE
 * and SND_ALIAS_ID fail (the host's modules carry no resources, and no
 * alias has an id).  FALSE when the sound cannot be found or read, is no
 * PCM WAV, or the wave device refuses it (busy: MMSYSERR_ALLOCATED). */
#define SND_SYNC 0x0000
#define SND_ASYNC 0x0001
#define SND_NODEFAULT 0x0002
#define SND_MEMORY 0x0004
#define SND_LOOP 0x0008
#define SND_NOSTOP 0x0010
#define SND_PURGE 0x0040
#define SND_APPLICATION 0x0080
#define SND_NOWAIT 0x00002000L
#define SND_ALIAS 0x00010000L
#define SND_ALIAS_ID 0x00110000L
#define SND_FILENAME 0x00020000L
#define SND_RESOURCE 0x00040004L
BOOL WINAPI PlaySoundW(LPCWSTR pszSound, HMODULE hmod, DWORD fdwSound);
BOOL WINAPI sndPlaySoundW(LPCWSTR lpszSoundName, UINT fuSound);
#define PlaySound PlaySoundW
#define sndPlaySound sndPlaySoundW

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif
