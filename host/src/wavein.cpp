// Wave input: the system has no input device.  waveInGetNumDevs answers 0,
// a device id (WAVE_MAPPER too) MMSYSERR_BADDEVICEID, and a handle, since
// none can be opened, MMSYSERR_INVALHANDLE.  Any thread, no lock.
#include "wavetable.h"

extern "C" {

UINT WINAPI waveInGetNumDevs(void) { return 0; }

MMRESULT WINAPI waveInGetDevCaps(UINT_PTR, LPWAVEINCAPS pwic, UINT)
{
    return pwic == nullptr ? MMSYSERR_INVALPARAM : MMSYSERR_BADDEVICEID;
}

MMRESULT WINAPI waveInOpen(LPHWAVEIN phwi, UINT, LPCWAVEFORMATEX pwfx, DWORD_PTR, DWORD_PTR, DWORD fdwOpen)
{
    if (pwfx == nullptr || (!(fdwOpen & WAVE_FORMAT_QUERY) && phwi == nullptr))
        return MMSYSERR_INVALPARAM;
    return MMSYSERR_BADDEVICEID;
}

MMRESULT WINAPI waveInClose(HWAVEIN) { return MMSYSERR_INVALHANDLE; }
MMRESULT WINAPI waveInPrepareHeader(HWAVEIN, LPWAVEHDR, UINT) { return MMSYSERR_INVALHANDLE; }
MMRESULT WINAPI waveInUnprepareHeader(HWAVEIN, LPWAVEHDR, UINT) { return MMSYSERR_INVALHANDLE; }
MMRESULT WINAPI waveInAddBuffer(HWAVEIN, LPWAVEHDR, UINT) { return MMSYSERR_INVALHANDLE; }
MMRESULT WINAPI waveInStart(HWAVEIN) { return MMSYSERR_INVALHANDLE; }
MMRESULT WINAPI waveInStop(HWAVEIN) { return MMSYSERR_INVALHANDLE; }
MMRESULT WINAPI waveInReset(HWAVEIN) { return MMSYSERR_INVALHANDLE; }
MMRESULT WINAPI waveInGetPosition(HWAVEIN, LPMMTIME, UINT) { return MMSYSERR_INVALHANDLE; }
MMRESULT WINAPI waveInGetID(HWAVEIN, LPUINT) { return MMSYSERR_INVALHANDLE; }

MMRESULT WINAPI waveInMessage(HWAVEIN hwi, UINT, DWORD_PTR, DWORD_PTR)
{
    const auto id = reinterpret_cast<DWORD_PTR>(hwi);
    return id <= 0xFFFFFFFFu ? MMSYSERR_BADDEVICEID : MMSYSERR_INVALHANDLE;
}

}  // extern "C"
