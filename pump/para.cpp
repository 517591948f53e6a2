// The pacing record, its configuration from the registry, the periodic timer
// and the control operations that start, hold, resume and stop the pump.
#include "pump/pump.h"

namespace {

// Widens a name of plain ASCII characters into pwsz, which holds as many
// characters as the name's literal (sizeof of it).
void WidenName(const char* psz, WCHAR* pwsz)
{
    size_t i = 0;
    for (; psz[i] != 0; ++i)
        pwsz[i] = static_cast<WCHAR>(static_cast<unsigned char>(psz[i]));
    pwsz[i] = 0;
}

// "InitBtAudioPara: Sample %d, Timer %d, CacheLen %d\r\n"
const WCHAR kInitLine[] = {
    'I', 'n', 'i', 't', 'B', 't', 'A', 'u', 'd', 'i', 'o', 'P', 'a', 'r', 'a', ':', ' ',
    'S', 'a', 'm', 'p', 'l', 'e', ' ', '%', 'd', ',', ' ',
    'T', 'i', 'm', 'e', 'r', ' ', '%', 'd', ',', ' ',
    'C', 'a', 'c', 'h', 'e', 'L', 'e', 'n', ' ', '%', 'd', '\r', '\n', 0};

// Reads one value into *pdwField as driver/config.h says the driver reads
// it: exactly BTWAV_VALUE_BYTES bytes (longer values fail their query;
// shorter ones are not a whole 32-bit number and are ignored the same way),
// and a 0 only where the field takes one.
void ReadValue(HKEY hKey, LPCWSTR pszName, LPDWORD pdwField, BOOL bZeroAllowed)
{
    BYTE abData[BTWAV_VALUE_BYTES] = {0};
    DWORD dwType = 0;
    DWORD cbData = sizeof(abData);
    if (RegQueryValueExW(hKey, pszName, 0, &dwType, abData, &cbData) != ERROR_SUCCESS)
        return;
    if (cbData != sizeof(abData))
        return;
    DWORD dwValue = RecReadU32(abData);
    if (dwValue == 0 && !bZeroAllowed)
        return;
    *pdwField = dwValue;
}

// A record that no InitBtAudioPara has filled since load has a counter
// frequency of 0.
BOOL IsParaInitialised(const BT_AUDIO_PARA* pPara)
{
    return pPara->liFrequency.QuadPart != 0;
}

// The timer start shared by ResumeBtAudio and RestartBtAudio: replaces the
// timer and rebases the clock, so that time without a timer is not paid for.
void ReplaceBtAudioTimer(BT_AUDIO_PARA* pPara)
{
    StopBtAudioTimer(pPara);
    // Before any start the record is all zero (period 0 ms, frequency 0):
    // configure it as a start from idle would.
    if (!IsParaInitialised(pPara))
        InitBtAudioPara(pPara);
    StartBtAudioTimer(pPara);
    QueryPerformanceCounter(&pPara->liLastCount);
    // Without a timer no tick would ever come to stop the pump; leaving it
    // idle lets the next WODM_WRITE try again.
    pPara->bRunning = (pPara->uTimerId != 0) ? TRUE : FALSE;
}

}  // namespace

extern "C" {

BT_AUDIO_PARA g_BtAudioPara;

void InitBtAudioPara(BT_AUDIO_PARA* pPara)
{
    *pPara = BT_AUDIO_PARA();
    pPara->dwCacheLen = BT_AUDIO_DEFAULT_CACHELEN;
    pPara->dwSample = BT_AUDIO_DEFAULT_SAMPLE;
    pPara->dwTimer = BT_AUDIO_DEFAULT_TIMER;
    ReadBtAudioRegistry(&pPara->dwSample, &pPara->dwTimer, &pPara->dwCacheLen);
    // The first packet is whole frames like every other: a reserve that ends
    // inside a frame would shift the channels of everything after a packet
    // the library drops.
    pPara->dwCacheLen -= pPara->dwCacheLen % BT_AUDIO_FRAME_BYTES;
    NKDbgPrintfW(kInitLine, static_cast<int>(pPara->dwSample), static_cast<int>(pPara->dwTimer),
                 static_cast<int>(pPara->dwCacheLen));
    QueryPerformanceFrequency(&pPara->liFrequency);
    QueryPerformanceCounter(&pPara->liLastCount);
}

void ReadBtAudioRegistry(LPDWORD pdwSample, LPDWORD pdwTimer, LPDWORD pdwCacheLen)
{
    HKEY hKey = 0;
    WCHAR szKey[sizeof(BTWAV_PARAMS_KEY)];
    WCHAR szSample[sizeof(BTWAV_VALUE_SAMPLE)];
    WCHAR szTimer[sizeof(BTWAV_VALUE_TIMER)];
    WCHAR szCacheLen[sizeof(BTWAV_VALUE_CACHELEN)];
    WidenName(BTWAV_PARAMS_KEY, szKey);
    WidenName(BTWAV_VALUE_SAMPLE, szSample);
    WidenName(BTWAV_VALUE_TIMER, szTimer);
    WidenName(BTWAV_VALUE_CACHELEN, szCacheLen);
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, szKey, 0, 0, &hKey) != ERROR_SUCCESS)
        return;
    ReadValue(hKey, szSample, pdwSample, BTWAV_ZERO_TAKEN_SAMPLE ? TRUE : FALSE);
    ReadValue(hKey, szTimer, pdwTimer, BTWAV_ZERO_TAKEN_TIMER ? TRUE : FALSE);
    ReadValue(hKey, szCacheLen, pdwCacheLen, BTWAV_ZERO_TAKEN_CACHELEN ? TRUE : FALSE);
    RegCloseKey(hKey);
}

void StartBtAudioTimer(BT_AUDIO_PARA* pPara)
{
    timeBeginPeriod(1);
    pPara->uTimerId = timeSetEvent(pPara->dwTimer, 0, BtAudioTimerProc, 0, TIME_PERIODIC);
    // No timer, no resolution request: keep the begin/end calls paired.
    if (pPara->uTimerId == 0)
        timeEndPeriod(1);
}

void StopBtAudioTimer(BT_AUDIO_PARA* pPara)
{
    if (pPara->uTimerId == 0)
        return;
    timeKillEvent(pPara->uTimerId);
    pPara->uTimerId = 0;
    timeEndPeriod(1);
}

void StartBtAudio(void)
{
    BT_AUDIO_PARA* pPara = &g_BtAudioPara;
    if (pPara->bRunning)
        return;
    InitBtAudioPara(pPara);
    StartBtAudioTimer(pPara);
    // A failed timer leaves the pump idle, so the next write tries again.
    pPara->bRunning = (pPara->uTimerId != 0) ? TRUE : FALSE;
}

void SuspendBtAudio(void)
{
    StopBtAudioTimer(&g_BtAudioPara);
}

void ResumeBtAudio(void)
{
    ReplaceBtAudioTimer(&g_BtAudioPara);
}

void RestartBtAudio(void)
{
    ReplaceBtAudioTimer(&g_BtAudioPara);
}

void StopBtAudio(void)
{
    StopBtAudioTimer(&g_BtAudioPara);
    g_BtAudioPara.bRunning = FALSE;
}

}  // extern "C"
