/* Stand-in for the Bluetooth audio library's header wavlmr.h: the two
 * functions its DLL exports by name and the event callback's type, as the
 * driver's btlink/lmr.h uses them. */
#ifndef DEVICE_WAVLMR_H
#define DEVICE_WAVLMR_H

#include <windows.h>

/* The event callback: the context given to LMRRegCBK and the event code. */
typedef DWORD (*PFN_LMR_EVENT)(DWORD_PTR dwContext, const DWORD* pdwEvent);

#ifdef __cplusplus
extern "C" {
#endif
HANDLE LMRRegCBK(LPVOID pContext, PFN_LMR_EVENT pfnCallback);
DWORD LMRPostData(HANDLE hAudio, LPVOID pPacket, DWORD dwLength);
#ifdef __cplusplus
}
#endif

#endif
