// The Bluetooth audio library's interface: registration of the driver's
// event callback and posting of audio packets.  The library frees every
// packet it takes with the C runtime's free.
#ifndef BTLINK_LMR_H
#define BTLINK_LMR_H

#include "platform/wintypes.h"

// Link events, passed by pointer to the event callback.
#define BT_EVENT_LINK_UP 0x21     // '!'
#define BT_EVENT_LINK_DOWN 0x22   // '"'

// LMRPostData's answer when the library did not take the packet.
#define LMR_POST_REFUSED 0xFFFFFFFFu

// Event callback: context word (not read) and a pointer to the event code.
// Returns 0 for a link event, 12 for any other code.
typedef DWORD (*PFN_LMR_EVENT)(DWORD_PTR dwContext, const DWORD* pdwEvent);

extern "C" {
// Registers the callback; the context is handed back with every event.
HANDLE LMRRegCBK(LPVOID pContext, PFN_LMR_EVENT pfnCallback);
// Posts one packet of dwLength bytes.  Any answer but LMR_POST_REFUSED passes
// the packet to the library for good.
DWORD LMRPostData(HANDLE hAudio, LPVOID pPacket, DWORD dwLength);
}

#endif
