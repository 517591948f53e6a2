/* The device's own prototypes of every platform function the driver may call,
 * as the platform's SDK declares them (Windows CE 5.0), written from its
 * documentation.  A desktop SDK declares several of them differently: its
 * Interlocked functions take LONG volatile *, where the device's take LPLONG
 * (a volatile counter does not convert); LocalAlloc takes a SIZE_T,
 * IsBadWritePtr a UINT_PTR, waveOutMessage and timeSetEvent DWORD_PTR words.
 *
 * scripts/sdk-check compiles every driver source for 32-bit ARM with this
 * file included first: it brings the platform's headers, declares the
 * prototypes below in a namespace of their own and makes each function's name
 * a macro for its device prototype, so every call is checked against the
 * device's declaration.  The script then requires every external symbol of
 * the objects to be one of these prototypes or the driver's own, so a call
 * of a function the device does not have is found too.  The record sizes the
 * driver shares with the platform are asserted as the device has them. */
#ifndef DEVICE_CHECK_PROTOTYPES_H
#define DEVICE_CHECK_PROTOTYPES_H

#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <windows.h>
#include <mmsystem.h>
#include <mmddk.h>
#include <dbgapi.h>
#include <pkfuncs.h>
#include <wavedev.h>
#include <wavlmr.h>

/* The desktop SDK's macros for these names go: the names are the device's. */
#undef InterlockedIncrement
#undef InterlockedDecrement
#undef InterlockedExchange
#undef InterlockedCompareExchange
#undef InitializeCriticalSection
#undef DeleteCriticalSection
#undef EnterCriticalSection
#undef LeaveCriticalSection
#undef GetCurrentThreadId
#undef Sleep
#undef SetLastError
#undef DisableThreadLibraryCalls
#undef IsBadWritePtr
#undef LocalAlloc
#undef LocalFree
#undef QueryPerformanceCounter
#undef QueryPerformanceFrequency
#undef NKDbgPrintfW
#undef GetCurrentPermissions
#undef SetProcPermissions
#undef RegOpenKeyEx
#undef RegQueryValueEx
#undef RegOpenKeyExW
#undef RegQueryValueExW
#undef RegCloseKey
#undef waveOutGetNumDevs
#undef waveOutGetDevCaps
#undef waveOutMessage
#undef timeBeginPeriod
#undef timeEndPeriod
#undef timeSetEvent
#undef timeKillEvent
#undef LMRRegCBK
#undef LMRPostData
#undef malloc
#undef free
#undef memcpy
#undef memset
#undef wcscpy
#undef wcsncmp

namespace device_sdk {

typedef void(CALLBACK TIMECALLBACK)(UINT uTimerID, UINT uMsg, DWORD dwUser, DWORD dw1, DWORD dw2);
typedef TIMECALLBACK* LPTIMECALLBACK;

/* Kernel: interlocked access, critical sections, threads. */
LONG InterlockedIncrement(LPLONG lpAddend);
LONG InterlockedDecrement(LPLONG lpAddend);
LONG InterlockedExchange(LPLONG Target, LONG Value);
LONG InterlockedCompareExchange(LPLONG Destination, LONG Exchange, LONG Comperand);
void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
DWORD GetCurrentThreadId(void);
void Sleep(DWORD dwMilliseconds);
void SetLastError(DWORD dwErrCode);
BOOL DisableThreadLibraryCalls(HMODULE hLibModule);
BOOL IsBadWritePtr(LPVOID lp, UINT ucb);
HLOCAL LocalAlloc(UINT uFlags, UINT uBytes);
HLOCAL LocalFree(HLOCAL hMem);
BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount);
BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency);
void NKDbgPrintfW(LPCWSTR lpszFmt, ...);
DWORD GetCurrentPermissions(void);
DWORD SetProcPermissions(DWORD newperms);

/* Registry. */
LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData);
LONG RegCloseKey(HKEY hKey);

/* Wave API and multimedia timer. */
UINT waveOutGetNumDevs(void);
MMRESULT waveOutGetDevCaps(UINT uDeviceID, LPWAVEOUTCAPS pwoc, UINT cbwoc);
MMRESULT waveOutMessage(HWAVEOUT hwo, UINT uMsg, DWORD dw1, DWORD dw2);
MMRESULT timeBeginPeriod(UINT uPeriod);
MMRESULT timeEndPeriod(UINT uPeriod);
MMRESULT timeSetEvent(UINT uDelay, UINT uResolution, LPTIMECALLBACK lpTimeProc, DWORD dwUser, UINT fuEvent);
MMRESULT timeKillEvent(UINT uTimerID);

/* The Bluetooth audio library. */
HANDLE LMRRegCBK(LPVOID pContext, PFN_LMR_EVENT pfnCallback);
DWORD LMRPostData(HANDLE hAudio, LPVOID pPacket, DWORD dwLength);

/* The C runtime. */
void* malloc(size_t cb);
void free(void* p);
void* memcpy(void* dst, const void* src, size_t cb);
void* memset(void* dst, int c, size_t cb);
wchar_t* wcscpy(wchar_t* dst, const wchar_t* src);
int wcsncmp(const wchar_t* a, const wchar_t* b, size_t n);

/* The records the driver shares with the platform, at the device's sizes. */
typedef char AssertPointer[sizeof(void*) == 4 ? 1 : -1];
typedef char AssertLong[sizeof(LONG) == 4 && sizeof(DWORD) == 4 && sizeof(UINT) == 4 ? 1 : -1];
typedef char AssertWide[sizeof(WCHAR) == 2 && sizeof(wchar_t) == 2 ? 1 : -1];
typedef char AssertLargeInteger[sizeof(LARGE_INTEGER) == 8 ? 1 : -1];
typedef char AssertWaveHdr[sizeof(WAVEHDR) == 32 ? 1 : -1];
typedef char AssertWaveFormat[sizeof(WAVEFORMATEX) == 18 ? 1 : -1];
typedef char AssertMmtime[sizeof(MMTIME) == 12 ? 1 : -1];
typedef char AssertCaps[sizeof(WAVEOUTCAPS) == 84 ? 1 : -1];
typedef char AssertExtCaps[sizeof(WAVEOUTEXTCAPS) == 28 ? 1 : -1];
typedef char AssertMessage[sizeof(MMDRV_MESSAGE_PARAMS) == 20 ? 1 : -1];
typedef char AssertOpenDesc[offsetof(WAVEOPENDESC, dwInstance) == 12 ? 1 : -1];

}  // namespace device_sdk

/* Every call from here on reaches the device's prototype. */
#define InterlockedIncrement device_sdk::InterlockedIncrement
#define InterlockedDecrement device_sdk::InterlockedDecrement
#define InterlockedExchange device_sdk::InterlockedExchange
#define InterlockedCompareExchange device_sdk::InterlockedCompareExchange
#define InitializeCriticalSection device_sdk::InitializeCriticalSection
#define DeleteCriticalSection device_sdk::DeleteCriticalSection
#define EnterCriticalSection device_sdk::EnterCriticalSection
#define LeaveCriticalSection device_sdk::LeaveCriticalSection
#define GetCurrentThreadId device_sdk::GetCurrentThreadId
#define Sleep device_sdk::Sleep
#define SetLastError device_sdk::SetLastError
#define DisableThreadLibraryCalls device_sdk::DisableThreadLibraryCalls
#define IsBadWritePtr device_sdk::IsBadWritePtr
#define LocalAlloc device_sdk::LocalAlloc
#define LocalFree device_sdk::LocalFree
#define QueryPerformanceCounter device_sdk::QueryPerformanceCounter
#define QueryPerformanceFrequency device_sdk::QueryPerformanceFrequency
#define NKDbgPrintfW device_sdk::NKDbgPrintfW
#define GetCurrentPermissions device_sdk::GetCurrentPermissions
#define SetProcPermissions device_sdk::SetProcPermissions
#define RegOpenKeyEx device_sdk::RegOpenKeyExW
#define RegQueryValueEx device_sdk::RegQueryValueExW
#define RegOpenKeyExW device_sdk::RegOpenKeyExW
#define RegQueryValueExW device_sdk::RegQueryValueExW
#define RegCloseKey device_sdk::RegCloseKey
#define waveOutGetNumDevs device_sdk::waveOutGetNumDevs
#define waveOutGetDevCaps device_sdk::waveOutGetDevCaps
#define waveOutMessage device_sdk::waveOutMessage
#define timeBeginPeriod device_sdk::timeBeginPeriod
#define timeEndPeriod device_sdk::timeEndPeriod
#define timeSetEvent device_sdk::timeSetEvent
#define timeKillEvent device_sdk::timeKillEvent
#define LMRRegCBK device_sdk::LMRRegCBK
#define LMRPostData device_sdk::LMRPostData
#define malloc device_sdk::malloc
#define free device_sdk::free
#define memcpy device_sdk::memcpy
#define memset device_sdk::memset
#define wcscpy device_sdk::wcscpy
#define wcsncmp device_sdk::wcsncmp

#endif
