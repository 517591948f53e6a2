/* Declarations of the embedded platform that a desktop Windows SDK does not
 * have, written from the platform's documentation: the kernel debug output,
 * the memory-access permissions, the wave driver's I/O control and message
 * record, the extended capabilities, the wave mapper's preferred-device
 * message, and the Bluetooth audio library's two functions.  Used with a
 * desktop SDK's own windows.h, mmsystem.h and mmddk.h to check the driver
 * against real SDK headers; the header names the driver includes for these
 * (dbgapi.h, pkfuncs.h, wavedev.h, wavlmr.h) each bring this file. */
#ifndef DEVICE_CEONLY_H
#define DEVICE_CEONLY_H

#include <windows.h>
#include <mmsystem.h>
#include <mmddk.h>

#ifdef __cplusplus
extern "C" {
#endif

/* dbgapi.h: printf-style text to the kernel debug output. */
void NKDbgPrintfW(LPCWSTR lpszFmt, ...);

/* pkfuncs.h: the calling thread's access to the address spaces of
 * processes, one bit per process. */
DWORD GetCurrentPermissions(void);
DWORD SetProcPermissions(DWORD newperms);

#ifdef __cplusplus
}
#endif

/* wavedev.h: the I/O control code of wave messages and their record.  The
 * platform, 32-bit only, documents the three last words as DWORD; they carry
 * addresses, so a 64-bit build of the record (the SEH check's) widens them. */
#define IOCTL_WAV_MESSAGE 0x001D000C
typedef struct {
    UINT uDeviceId;
    UINT uMsg;
    DWORD_PTR dwUser;
    DWORD_PTR dwParam1;
    DWORD_PTR dwParam2;
} MMDRV_MESSAGE_PARAMS, *PMMDRV_MESSAGE_PARAMS;

/* mmddk.h of the platform: the extended capabilities and their message, and
 * the wave mapper's preferred-device message. */
#ifndef WODM_GETEXTDEVCAPS
#define WODM_GETEXTDEVCAPS 22
#endif
#ifndef DRVM_MAPPER_PREFERRED_SET
#define DRVM_MAPPER_PREFERRED_SET (DRVM_MAPPER + 22)
#endif
typedef struct tag_WAVEOUTEXTCAPS {
    DWORD dwMaxHwStreams;
    DWORD dwFreeHwStreams;
    DWORD dwSwMixerSampleRate;
    DWORD dwSwMixerBufferSize;
    DWORD dwSwMixerBufferCount;
    DWORD dwMinSampleRate;
    DWORD dwMaxSampleRate;
} WAVEOUTEXTCAPS, *PWAVEOUTEXTCAPS, *LPWAVEOUTEXTCAPS;

/* The Bluetooth audio library (its DLL exports these two by name). */
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
