// The wave API as an application calls it: the waveOut* functions beyond the
// three a driver uses (waveOutGetNumDevs, waveOutGetDevCaps, waveOutMessage,
// declared with the platform's records), with the platform's names, argument
// lists and C linkage.
//
// Devices and handles.  Functions that take an HWAVEOUT need a handle from
// waveOutOpen; waveOutGetVolume, waveOutSetVolume and waveOutMessage also
// take a device id (0 .. waveOutGetNumDevs() - 1) in its place, and
// waveOutMessage takes WAVE_MAPPER for the mapper's own messages.  A value
// that is neither answers MMSYSERR_INVALHANDLE.
//
// Callbacks.  CALLBACK_NULL, CALLBACK_FUNCTION (called on the thread that
// completes the message, often the driver's timer thread with the driver's
// lock held: it must not wait for another thread that calls the wave API),
// CALLBACK_EVENT (an event handle from CreateEvent, set for each message) and
// CALLBACK_THREAD (a thread id; the message is posted to that thread's
// queue, see host/kernel.h).  CALLBACK_WINDOW answers MMSYSERR_NOTSUPPORTED:
// there is no window system.
//
// The wave mapper.  An open of WAVE_MAPPER goes to the preferred device.  It
// asks the device with WAVE_FORMAT_QUERY first; when the device refuses a PCM
// format (8-, 16- or 32-bit, 1 to 8 channels), the mapper looks for a
// 16-bit format that the device accepts and converts every buffer into it
// (rate, channels and sample width) on the way.  The application keeps its
// own format and headers: positions are reported in its units and
// MM_WOM_DONE carries its header.  WAVE_FORMAT_DIRECT, or a device id in
// place of WAVE_MAPPER, bypasses the mapper: the device sees the format and
// flags as given.  waveOutGetID answers WAVE_MAPPER for a handle opened
// through the mapper.
//
// Character sets.  The platform is Unicode: waveOutGetDevCaps fills the
// wide-character WAVEOUTCAPS.  The A forms convert to 8-bit text (characters
// outside ASCII become '?'); waveOutGetErrorText names the W form when
// UNICODE is defined and the A form otherwise.
#pragma once

#include "host/platform.h"

#ifndef MMSYSERR_BADERRNUM
#define MMSYSERR_BADERRNUM 9
#endif
#ifndef MMSYSERR_LASTERROR
#define MMSYSERR_LASTERROR 12
#endif
#ifndef WAVERR_SYNC
#define WAVERR_SYNC 35
#endif
#ifndef WAVERR_LASTERROR
#define WAVERR_LASTERROR 35
#endif
#ifndef MAXERRORLENGTH
#define MAXERRORLENGTH 256
#endif
#ifndef MAXPNAMELEN
#define MAXPNAMELEN 32
#endif
#ifndef WAVECAPS_PITCH
#define WAVECAPS_PITCH 0x0001
#define WAVECAPS_PLAYBACKRATE 0x0002
#define WAVECAPS_LRVOLUME 0x0008
#define WAVECAPS_SYNC 0x0010
#define WAVECAPS_SAMPLEACCURATE 0x0020
#endif

typedef HWAVEOUT* LPHWAVEOUT;
typedef UINT* LPUINT;
typedef WAVEOUTCAPS WAVEOUTCAPSW;
typedef LPWAVEOUTCAPS LPWAVEOUTCAPSW;

typedef struct tagWAVEOUTCAPSA {
    WORD wMid;
    WORD wPid;
    MMVERSION vDriverVersion;
    CHAR szPname[MAXPNAMELEN];
    DWORD dwFormats;
    WORD wChannels;
    WORD wReserved1;
    DWORD dwSupport;
} WAVEOUTCAPSA, *LPWAVEOUTCAPSA;

#ifdef __cplusplus
extern "C" {
#endif

MMRESULT WINAPI waveOutGetDevCapsW(UINT uDeviceID, LPWAVEOUTCAPSW pwoc, UINT cbwoc);
MMRESULT WINAPI waveOutGetDevCapsA(UINT uDeviceID, LPWAVEOUTCAPSA pwoc, UINT cbwoc);

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

MMRESULT WINAPI waveOutGetVolume(HWAVEOUT hwo, LPDWORD pdwVolume);
MMRESULT WINAPI waveOutSetVolume(HWAVEOUT hwo, DWORD dwVolume);
MMRESULT WINAPI waveOutGetPitch(HWAVEOUT hwo, LPDWORD pdwPitch);
MMRESULT WINAPI waveOutSetPitch(HWAVEOUT hwo, DWORD dwPitch);
MMRESULT WINAPI waveOutGetPlaybackRate(HWAVEOUT hwo, LPDWORD pdwRate);
MMRESULT WINAPI waveOutSetPlaybackRate(HWAVEOUT hwo, DWORD dwRate);
MMRESULT WINAPI waveOutGetID(HWAVEOUT hwo, LPUINT puDeviceID);

MMRESULT WINAPI waveOutGetErrorTextW(MMRESULT mmrError, LPWSTR pszText, UINT cchText);
MMRESULT WINAPI waveOutGetErrorTextA(MMRESULT mmrError, LPSTR pszText, UINT cchText);

#ifdef __cplusplus
}  // extern "C"
#endif

#ifdef UNICODE
#define waveOutGetErrorText waveOutGetErrorTextW
#else
#define waveOutGetErrorText waveOutGetErrorTextA
#endif
