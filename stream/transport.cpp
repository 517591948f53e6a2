// Placeholder until the transport handlers land: every message answers 0.
#include "stream/stream.h"

extern "C" {
DWORD WodmWrite(DWORD, const MMDRV_MESSAGE_PARAMS*) { return MMSYSERR_NOERROR; }
DWORD WodmPause(DWORD, const MMDRV_MESSAGE_PARAMS*) { return MMSYSERR_NOERROR; }
DWORD WodmRestart(DWORD, const MMDRV_MESSAGE_PARAMS*) { return MMSYSERR_NOERROR; }
DWORD WodmReset(DWORD, const MMDRV_MESSAGE_PARAMS*) { return MMSYSERR_NOERROR; }
DWORD WodmBreakLoop(DWORD, const MMDRV_MESSAGE_PARAMS*) { return MMSYSERR_NOERROR; }
}
