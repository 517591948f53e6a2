// The driver shell: exported stream-interface entry points, the device and
// open contexts, and the wave-message dispatcher.
#ifndef DRIVER_DRIVER_H
#define DRIVER_DRIVER_H

#include "driver/system.h"

// Device context: a token; nothing reads or writes it.
typedef struct INIT_CONTEXT {
    DWORD dwReserved[4];
} INIT_CONTEXT;

// Open context: a token holding the device handle of its WAV_Open.
typedef struct OPEN_CONTEXT {
    DWORD_PTR hDeviceContext;   // written once, never read
} OPEN_CONTEXT;

STATIC_ASSERT(sizeof(INIT_CONTEXT) == 16);
STATIC_ASSERT(!DRIVER_32BIT || sizeof(OPEN_CONTEXT) == 4);

// What WAV_Init answers while the device is already initialised.
#define WAV_ALREADY_INITIALISED 10

extern "C" {

// Whether a capabilities' name (up to MAXPNAMELEN characters) is this
// device's, BTWAV_DEVICE_NAME (driver/config.h).
BOOL IsDeviceName(const WCHAR* pszName);

extern BOOL g_bDeviceInit;   // 1 from a completed WAV_Init until WAV_Deinit


BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved);

DWORD_PTR WAV_Init(LPCWSTR pContext, LPCVOID pBusContext);
BOOL WAV_Deinit(DWORD_PTR hDeviceContext);
DWORD_PTR WAV_Open(DWORD_PTR hDeviceContext, DWORD dwAccess, DWORD dwShareMode);
BOOL WAV_Close(DWORD_PTR hOpenContext);
DWORD WAV_Read(DWORD_PTR hOpenContext, LPVOID pBuffer, DWORD dwCount);
DWORD WAV_Write(DWORD_PTR hOpenContext, LPCVOID pBuffer, DWORD dwCount);
DWORD WAV_Seek(DWORD_PTR hOpenContext, LONG lAmount, DWORD dwType);
void WAV_PowerUp(DWORD_PTR hDeviceContext);
void WAV_PowerDown(DWORD_PTR hDeviceContext);
BOOL WAV_IOControl(DWORD_PTR hOpenContext, DWORD dwCode, LPBYTE pBufIn, DWORD dwLenIn,
                   LPBYTE pBufOut, DWORD dwLenOut, LPDWORD pdwActualOut);

// Runs the handler for the record's message and stores its result word at
// pdwResult (when not null), inside the access-fault guard.
void DispatchWaveMessage(const MMDRV_MESSAGE_PARAMS* pParams, LPDWORD pdwResult);

// Threads that reach the driver on their own (timer ticks, link events) bracket
// their use of g_StreamLock with these, so that WAV_Deinit can wait for them
// before deleting the lock.  EnterAsyncUse returns FALSE once the lock is
// retired; the caller must then not touch it.
BOOL EnterAsyncUse(void);
void LeaveAsyncUse(void);

}  // extern "C"

#endif
