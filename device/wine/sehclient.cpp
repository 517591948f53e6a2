#include "sehclient.h"

#include <stdio.h>
#include <string.h>

namespace seh {

static void PutWord(BYTE* record, size_t offset, DWORD_PTR value)
{
    memcpy(record + offset, &value, kWord);   // little-endian: the low bytes first
}

PFN_IOCONTROL g_pfnIOControl;
PFN_COUNT g_pfnPackets;
DWORD_PTR g_hOpen;
int g_failures;
int g_passes;
void* g_noAccess;
void* g_readOnly;

void Check(bool ok, const char* what)
{
    printf("%s %s\n", ok ? "ok  " : "FAIL", what);
    if (ok)
        ++g_passes;
    else
        ++g_failures;
}

Answer Send(UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2, DWORD* out)
{
    BYTE record[32];
    memset(record, 0, sizeof record);
    PutWord(record, kOffMsg, uMsg);   // uDeviceId 0, dwUser 0
    PutWord(record, kOffParam1, dw1);
    PutWord(record, kOffParam2, dw2);
    DWORD local = kUntouched;
    DWORD* word = out ? out : &local;
    Answer a;
    a.returned = g_pfnIOControl(g_hOpen, kIoctlWavMessage, record, kRecordBytes, reinterpret_cast<LPBYTE>(word),
                                sizeof(DWORD), 0);
    a.result = out ? kUntouched : local;
    a.wrote = !out && local != kUntouched;
    return a;
}

void Poke()
{
    *static_cast<volatile int*>(g_noAccess) = 1;
}

static DWORD WINAPI QueryFromAnotherThread(LPVOID pResult);

// Starts a thread that sends a format query, which takes g_StreamLock and
// changes nothing.
static HANDLE StartQuery(DWORD* result)
{
    *result = kUntouched;
    return CreateThread(0, 0, QueryFromAnotherThread, result, 0, 0);
}

bool LockFree(const char* after)
{
    DWORD result;
    HANDLE t = StartQuery(&result);
    DWORD wait = WaitForSingleObject(t, 3000);
    char what[200];
    snprintf(what, sizeof what, "another thread takes the lock after %s", after);
    Check(wait == WAIT_OBJECT_0 && result == MMSYSERR_NOERROR, what);
    CloseHandle(t);
    return wait == WAIT_OBJECT_0;
}

HANDLE g_waitingQuery;
static DWORD g_waitingResult;

void CheckStillHeld(const char* what)
{
    g_waitingQuery = StartQuery(&g_waitingResult);
    DWORD wait = WaitForSingleObject(g_waitingQuery, 300);
    Check(wait == WAIT_TIMEOUT, what);
}

void CheckCaught(const Answer& a, const char* what)
{
    char text[200];
    snprintf(text, sizeof text, "%s: TRUE and no result word", what);
    Check(a.returned == TRUE && !a.wrote, text);
}

WAVEFORMATEX g_format;
WAVEOPENDESC g_desc[3];
int g_nextDesc;

void CALLBACK ClientCallback(HDRVR, UINT uMsg, DWORD_PTR dwInstance, DWORD_PTR, DWORD_PTR)
{
    Client* c = reinterpret_cast<Client*>(dwInstance);
    if (uMsg == MM_WOM_DONE) {
        InterlockedIncrement(&c->done);
        if (c->onDone)
            c->onDone(c);
    }
    if (uMsg == MM_WOM_OPEN) {
        InterlockedIncrement(&c->opens);
        if (c->onOpen)
            c->onOpen(c);
    }
    if (uMsg == c->raiseOn)
        RaiseException(kClientException, 0, 0, 0);
    if (uMsg == c->faultOn)
        Poke();
}

Client NewClient()
{
    Client c;
    memset(&c, 0, sizeof c);
    return c;
}

Answer OpenClient(Client* c, DWORD flags)
{
    WAVEOPENDESC* d = &g_desc[g_nextDesc++ % 3];
    memset(d, 0, sizeof *d);
    d->hWave = reinterpret_cast<HWAVE>(static_cast<DWORD_PTR>(0x4857 + g_nextDesc));
    d->lpFormat = reinterpret_cast<LPWAVEFORMAT>(&g_format);
    d->dwCallback = reinterpret_cast<DWORD_PTR>(&ClientCallback);
    d->dwInstance = reinterpret_cast<DWORD_PTR>(c);
    return Send(WODM_OPEN, reinterpret_cast<DWORD_PTR>(d), flags);
}

static DWORD WINAPI QueryFromAnotherThread(LPVOID pResult)
{
    static WAVEOPENDESC desc;
    memset(&desc, 0, sizeof desc);
    desc.lpFormat = reinterpret_cast<LPWAVEFORMAT>(&g_format);
    *static_cast<DWORD*>(pResult) = Send(WODM_OPEN, reinterpret_cast<DWORD_PTR>(&desc), WAVE_FORMAT_QUERY).result;
    return 0;
}

bool WaitForDone(Client* c, LONG count)
{
    for (int i = 0; i < 300 && InterlockedCompareExchange(&c->done, 0, 0) < count; ++i)
        Sleep(10);
    return InterlockedCompareExchange(&c->done, 0, 0) >= count;
}

void OpenAndWrite(Client* c, const PageHeader& h)
{
    Check(OpenClient(c).result == MMSYSERR_NOERROR, "open");
    Check(Send(WODM_WRITE, h.Address(), sizeof(WAVEHDR)).result == 0, "WODM_WRITE");
}

bool AnsweredZero(const Answer& a)
{
    return a.returned == TRUE && a.wrote && a.result == 0;
}

}  // namespace seh
