// The application side of the wave API: the functions an application calls
// to play on a wave-out device.  A driver never calls them, so the
// platform's headers as the driver sees them leave them out; the host's wave
// API implements them (see host/wave.h).  Declared with the platform's
// argument lists and C linkage.  Any thread; no lock of the caller's may be
// held that a client callback or the driver needs.
#pragma once

#include "host/platform.h"

#ifdef __cplusplus
extern "C" {
#endif

MMRESULT WINAPI waveOutOpen(HWAVEOUT* phwo, UINT uDeviceID, LPCWAVEFORMATEX pwfx, DWORD_PTR dwCallback,
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

#ifdef __cplusplus
}  // extern "C"
#endif
