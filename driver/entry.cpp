// Stream-interface entry points and the lifetime of the device.
#include "driver/driver.h"
#include "stream/stream.h"
#include "pump/pump.h"
#include "btlink/link.h"

namespace {

// "Fail to allocate memory for INIT_CONTEXT\r\n"
const WCHAR kInitAllocFailed[] = {
    'F', 'a', 'i', 'l', ' ', 't', 'o', ' ', 'a', 'l', 'l', 'o', 'c', 'a', 't', 'e', ' ',
    'm', 'e', 'm', 'o', 'r', 'y', ' ', 'f', 'o', 'r', ' ',
    'I', 'N', 'I', 'T', '_', 'C', 'O', 'N', 'T', 'E', 'X', 'T', '\r', '\n', 0};

}  // namespace

extern "C" {

BOOL g_bDeviceInit;

// The INIT_CONTEXT that WAV_Init handed out, so that WAV_Deinit releases only
// that block and never the value 10 of a repeated WAV_Init.
static INIT_CONTEXT* g_pInitContext;

// Asynchronous users of g_StreamLock (ticks, link events) currently inside
// the driver, and whether the lock may still be entered.
static LONG g_lAsyncUsers;
static LONG g_bLockLive;

BOOL EnterAsyncUse(void)
{
    InterlockedIncrement(&g_lAsyncUsers);
    if (InterlockedCompareExchange(&g_bLockLive, 1, 1) == 1)
        return TRUE;
    InterlockedDecrement(&g_lAsyncUsers);
    return FALSE;
}

void LeaveAsyncUse(void)
{
    InterlockedDecrement(&g_lAsyncUsers);
}

BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved)
{
    (void)lpReserved;
    if (dwReason == DLL_PROCESS_ATTACH)
        DisableThreadLibraryCalls(hInstance);
    return TRUE;
}

DWORD_PTR WAV_Init(LPCWSTR pContext, LPCVOID pBusContext)
{
    (void)pContext;
    (void)pBusContext;
    if (g_bDeviceInit)
        return WAV_ALREADY_INITIALISED;

    INIT_CONTEXT* pInit = static_cast<INIT_CONTEXT*>(LocalAlloc(LPTR, sizeof(INIT_CONTEXT)));
    if (pInit == 0)
        NKDbgPrintfW(kInitAllocFailed);

    InitializeCriticalSection(&g_StreamLock);
    InterlockedExchange(&g_bLockLive, 1);
    g_pInitContext = pInit;
    g_bDeviceInit = TRUE;
    return reinterpret_cast<DWORD_PTR>(pInit);
}

BOOL WAV_Deinit(DWORD_PTR hDeviceContext)
{
    // A value that is neither 0 nor the context we handed out (such as the
    // 10 of a repeated WAV_Init) names no device of ours: the device that is
    // initialised stays as it is, and nothing goes to the heap.
    if (hDeviceContext != 0 && hDeviceContext != reinterpret_cast<DWORD_PTR>(g_pInitContext))
        return TRUE;

    if (hDeviceContext != 0) {
        LocalFree(reinterpret_cast<HLOCAL>(hDeviceContext));
        g_pInitContext = 0;
    }

    if (InterlockedExchange(&g_bLockLive, 0) == 1) {
        // Stop the pacing timer so that no new tick begins, then wait for
        // ticks and link events already inside the driver to leave before
        // the lock goes away.
        EnterStreamLock();
        StopBtAudio();
        LeaveStreamLock();
        while (InterlockedCompareExchange(&g_lAsyncUsers, 0, 0) != 0)
            Sleep(1);
        DeleteCriticalSection(&g_StreamLock);
    }
    g_bDeviceInit = FALSE;
    return TRUE;
}

DWORD_PTR WAV_Open(DWORD_PTR hDeviceContext, DWORD dwAccess, DWORD dwShareMode)
{
    (void)dwAccess;
    (void)dwShareMode;
    OPEN_CONTEXT* pOpen = static_cast<OPEN_CONTEXT*>(LocalAlloc(LPTR, sizeof(OPEN_CONTEXT)));
    if (pOpen == 0)
        return 0;   // the device manager reports the open as failed
    pOpen->hDeviceContext = hDeviceContext;
    g_hBtAudio = LMRRegCBK(pOpen, BtEventCallback);
    return reinterpret_cast<DWORD_PTR>(pOpen);
}

BOOL WAV_Close(DWORD_PTR hOpenContext)
{
    if (hOpenContext != 0)
        LocalFree(reinterpret_cast<HLOCAL>(hOpenContext));
    return TRUE;
}

DWORD WAV_Read(DWORD_PTR hOpenContext, LPVOID pBuffer, DWORD dwCount)
{
    (void)hOpenContext;
    (void)pBuffer;
    (void)dwCount;
    return 0;
}

DWORD WAV_Write(DWORD_PTR hOpenContext, LPCVOID pBuffer, DWORD dwCount)
{
    (void)hOpenContext;
    (void)pBuffer;
    (void)dwCount;
    return 0;
}

DWORD WAV_Seek(DWORD_PTR hOpenContext, LONG lAmount, DWORD dwType)
{
    (void)hOpenContext;
    (void)lAmount;
    (void)dwType;
    return 0xFFFFFFFFu;
}

void WAV_PowerUp(DWORD_PTR hDeviceContext)
{
    (void)hDeviceContext;
}

void WAV_PowerDown(DWORD_PTR hDeviceContext)
{
    (void)hDeviceContext;
}

}  // extern "C"
