// The embedded platform's functions that a desktop Windows lacks, for
// running the driver DLL under Wine: the kernel debug output, the thread's
// access permissions, and a Bluetooth audio library that takes every packet
// and frees it.  Everything else the driver imports comes from Windows' own
// libraries, which have the same functions.
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

typedef DWORD (*PFN_LMR_EVENT)(DWORD_PTR dwContext, const DWORD* pdwEvent);

static DWORD g_dwPermissions = 1;
static PFN_LMR_EVENT g_pfnEvent;
static DWORD_PTR g_dwEventContext;
static volatile LONG g_lPackets;

extern "C" {

__declspec(dllexport) void NKDbgPrintfW(LPCWSTR lpszFmt, ...)
{
    WCHAR line[512];
    va_list ap;
    va_start(ap, lpszFmt);
    _vsnwprintf(line, 511, lpszFmt, ap);
    va_end(ap);
    line[511] = 0;
    OutputDebugStringW(line);
}

// Threads here can read every buffer of the process already; the mask is
// kept so that a save and restore round-trips.
__declspec(dllexport) DWORD GetCurrentPermissions(void)
{
    return g_dwPermissions;
}

__declspec(dllexport) DWORD SetProcPermissions(DWORD newperms)
{
    DWORD old = g_dwPermissions;
    g_dwPermissions = newperms;
    return old;
}

// Keeps the newest registration, to which ShimRaiseEvent delivers.
__declspec(dllexport) HANDLE LMRRegCBK(LPVOID pContext, PFN_LMR_EVENT pfnCallback)
{
    g_pfnEvent = pfnCallback;
    g_dwEventContext = reinterpret_cast<DWORD_PTR>(pContext);
    return reinterpret_cast<HANDLE>(1);
}

// A link event, delivered on the calling thread; the callback's answer.
__declspec(dllexport) DWORD ShimRaiseEvent(DWORD dwCode)
{
    return g_pfnEvent ? g_pfnEvent(g_dwEventContext, &dwCode) : 0xFFFFFFFFu;
}

// Takes every packet: it is freed with the C runtime's free, as the library
// does.
__declspec(dllexport) DWORD LMRPostData(HANDLE, LPVOID pPacket, DWORD)
{
    InterlockedIncrement(&g_lPackets);
    free(pPacket);
    return 0;
}

// Packets taken so far, for the harness.
__declspec(dllexport) LONG ShimPacketCount(void)
{
    return InterlockedCompareExchange(&g_lPackets, 0, 0);
}

}  // extern "C"
