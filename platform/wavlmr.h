/* The Bluetooth audio library: registration of a driver's event callback and
 * posting of audio packets.  The library frees every packet it takes with the
 * C runtime's free. */
#ifndef PLATFORM_WAVLMR_H
#define PLATFORM_WAVLMR_H

#include "windows.h"

/* Event callback: the context word given at registration and a pointer to the
 * 32-bit event code.  Called on a thread of the library. */
typedef DWORD (*PFN_LMR_EVENT)(DWORD_PTR dwContext, const DWORD* pdwEvent);

#ifdef __cplusplus
extern "C" {
#endif
/* Registers the callback; the context is handed back with every event.  The
 * callback is never called from inside this function. */
HANDLE LMRRegCBK(LPVOID pContext, PFN_LMR_EVENT pfnCallback);
/* Posts one packet of dwLength bytes.  Any answer but 0xFFFFFFFF passes the
 * packet to the library for good.  May be called with the caller's locks
 * held: it neither waits for the caller's other threads nor calls the event
 * callback from inside. */
DWORD LMRPostData(HANDLE hAudio, LPVOID pPacket, DWORD dwLength);
#ifdef __cplusplus
}
#endif

#endif
