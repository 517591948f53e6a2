// Placeholder until the stream-control handlers land: every message answers 0.
#include "stream/stream.h"

extern "C" {
DWORD WodmOpen(DWORD, const MMDRV_MESSAGE_PARAMS*) { return MMSYSERR_NOERROR; }
DWORD WodmClose(DWORD, const MMDRV_MESSAGE_PARAMS*) { return MMSYSERR_NOERROR; }
DWORD WodmGetPos(const MMDRV_MESSAGE_PARAMS*) { return MMSYSERR_NOERROR; }
BOOL CheckWaveFormat(const WAVEFORMATEX*) { return FALSE; }
DWORD GetBytePosition(DWORD) { return 0; }
}
