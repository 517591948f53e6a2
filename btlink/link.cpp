// The driver's side of the Bluetooth link.
#include "btlink/link.h"

extern "C" {

HANDLE g_hBtAudio;

// Placeholder until link events land: link codes answer 0, others 12.
DWORD BtEventCallback(DWORD_PTR, const DWORD* pdwEvent)
{
    DWORD dwCode = RecReadU32(pdwEvent);
    return (dwCode == BT_EVENT_LINK_UP || dwCode == BT_EVENT_LINK_DOWN) ? 0 : 12;
}

}  // extern "C"
