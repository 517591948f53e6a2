// The driver's side of the Bluetooth link: its registration handle and the
// handling of link events.
#ifndef BTLINK_LINK_H
#define BTLINK_LINK_H

#include "driver/system.h"
#include "btlink/lmr.h"

extern "C" {

// Handle of the newest LMRRegCBK; only handed back to LMRPostData.
extern HANDLE g_hBtAudio;

// The event callback registered by every WAV_Open, called on a thread of the
// Bluetooth audio library: 0x21 link up, 0x22 link down (answer 0), any other
// code answers 12.  Takes g_StreamLock only for the flag update (and the
// link-up flush); the wave API is called without it.  Caller holds nothing.
// Nothing guards it: a fault inside (in the link-up flush, a client's
// MM_WOM_DONE or a header it freed) goes to the library's thread as an
// unhandled exception with g_StreamLock held, as for the tick.
DWORD BtEventCallback(DWORD_PTR dwContext, const DWORD* pdwEvent);

// Finds the device named BTWAV_DEVICE_NAME among the wave-out devices:
// TRUE and its index at *pdwIndex, or FALSE.  Called without g_StreamLock.
BOOL FindOwnWaveDevice(LPDWORD pdwIndex);
// Makes the driver's device preferred (link up) or device 0 again (link
// down).  The wave mapper's result, or ERROR_INTERNAL_ERROR when nothing was
// sent.  Called without g_StreamLock.
DWORD SetPreferredOnLinkUp(void);
DWORD RestorePreferredOnLinkDown(void);

}  // extern "C"

#endif
