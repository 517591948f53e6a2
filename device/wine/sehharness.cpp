// Runs the driver DLL built with the platform's structured exception
// handling (__try/__except) and checks the outcome of faults caught inside
// its locked regions: WAV_IOControl answers TRUE, the result word is not
// written (WODM_RESET answers 0), and a message from another thread gets
// g_StreamLock afterwards.  Exit status: the number of failed checks.
#include <windows.h>
#include <mmsystem.h>
#include <mmddk.h>

#include <stdio.h>
#include <string.h>

#include "ceonly.h"

namespace {

typedef DWORD_PTR (*PFN_INIT)(LPCWSTR, LPCVOID);
typedef BOOL (*PFN_DEINIT)(DWORD_PTR);
typedef DWORD_PTR (*PFN_OPEN)(DWORD_PTR, DWORD, DWORD);
typedef BOOL (*PFN_CLOSE)(DWORD_PTR);
typedef BOOL (*PFN_IOCONTROL)(DWORD_PTR, DWORD, LPBYTE, DWORD, LPBYTE, DWORD, LPDWORD);
typedef DWORD (*PFN_RAISE)(DWORD);

PFN_IOCONTROL g_pfnIOControl;
DWORD_PTR g_hOpen;
int g_failures;
int g_passes;
void* g_noAccess;   // a page that faults on every access

const DWORD kUntouched = 0xA5A5A5A5u;
const DWORD kClientException = 0xE0001234u;

void Check(bool ok, const char* what)
{
    printf("%s %s\n", ok ? "ok  " : "FAIL", what);
    if (ok)
        ++g_passes;
    else
        ++g_failures;
}

struct Answer {
    BOOL returned;
    bool wrote;
    DWORD result;
};

Answer Send(UINT uMsg, DWORD_PTR dw1 = 0, DWORD_PTR dw2 = 0)
{
    MMDRV_MESSAGE_PARAMS m;
    memset(&m, 0, sizeof m);
    m.uMsg = uMsg;
    m.dwParam1 = dw1;
    m.dwParam2 = dw2;
    DWORD out = kUntouched;
    Answer a;
    a.returned = g_pfnIOControl(g_hOpen, IOCTL_WAV_MESSAGE, reinterpret_cast<LPBYTE>(&m), sizeof m,
                                reinterpret_cast<LPBYTE>(&out), sizeof out, 0);
    a.wrote = out != kUntouched;
    a.result = out;
    return a;
}

void Poke()
{
    *static_cast<volatile int*>(g_noAccess) = 1;
}

// A client: what its callback does on each message, and what it received.
struct Client {
    UINT faultOn;            // message whose callback faults
    UINT raiseOn;            // message whose callback raises kClientException
    UINT openOn;             // message whose callback opens `other`
    Client* other;
    volatile LONG done;      // MM_WOM_DONE received
    volatile LONG opens;     // MM_WOM_OPEN received
};

WAVEFORMATEX g_format;
WAVEOPENDESC g_desc[2];

Answer OpenClient(Client* c, DWORD flags = 0, int slot = 0);

void CALLBACK ClientCallback(HDRVR, UINT uMsg, DWORD_PTR dwInstance, DWORD_PTR, DWORD_PTR)
{
    Client* c = reinterpret_cast<Client*>(dwInstance);
    if (uMsg == MM_WOM_DONE)
        InterlockedIncrement(&c->done);
    if (uMsg == MM_WOM_OPEN)
        InterlockedIncrement(&c->opens);
    if (uMsg == c->openOn)
        OpenClient(c->other, 0, 1);
    if (uMsg == c->raiseOn)
        RaiseException(kClientException, 0, 0, 0);
    if (uMsg == c->faultOn)
        Poke();
}

Answer OpenClient(Client* c, DWORD flags, int slot)
{
    WAVEOPENDESC* d = &g_desc[slot];
    memset(d, 0, sizeof *d);
    d->hWave = reinterpret_cast<HWAVE>(static_cast<DWORD_PTR>(0x4857 + slot));
    d->lpFormat = reinterpret_cast<LPWAVEFORMAT>(&g_format);
    d->dwCallback = reinterpret_cast<DWORD_PTR>(&ClientCallback);
    d->dwInstance = reinterpret_cast<DWORD_PTR>(c);
    return Send(WODM_OPEN, reinterpret_cast<DWORD_PTR>(d), flags);
}

DWORD WINAPI QueryFromAnotherThread(LPVOID pResult)
{
    static WAVEOPENDESC desc;
    memset(&desc, 0, sizeof desc);
    desc.lpFormat = reinterpret_cast<LPWAVEFORMAT>(&g_format);
    *static_cast<DWORD*>(pResult) = Send(WODM_OPEN, reinterpret_cast<DWORD_PTR>(&desc), WAVE_FORMAT_QUERY).result;
    return 0;
}

// A format query takes g_StreamLock and changes nothing: from another
// thread it must be answered within 3 s.
void CheckLockFree(const char* after)
{
    DWORD result = kUntouched;
    HANDLE t = CreateThread(0, 0, QueryFromAnotherThread, &result, 0, 0);
    DWORD wait = WaitForSingleObject(t, 3000);
    char what[160];
    snprintf(what, sizeof what, "another thread takes the lock after %s", after);
    Check(wait == WAIT_OBJECT_0 && result == MMSYSERR_NOERROR, what);
    if (wait != WAIT_OBJECT_0) {
        printf("the lock stays held: stopping\n");
        fflush(stdout);
        ExitProcess(100 + g_failures);
    }
    CloseHandle(t);
}

void CheckCaught(const Answer& a, const char* what)
{
    char text[160];
    snprintf(text, sizeof text, "%s: TRUE and no result word", what);
    Check(a.returned == TRUE && !a.wrote, text);
}

// A header on a page of its own, so that the page can be taken away.
struct PageHeader {
    BYTE* page;
    BYTE* buffer;
    WAVEHDR* h;
    explicit PageHeader(DWORD length)
    {
        page = static_cast<BYTE*>(VirtualAlloc(0, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        buffer = static_cast<BYTE*>(VirtualAlloc(0, length, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        h = reinterpret_cast<WAVEHDR*>(page);
        memset(h, 0, sizeof *h);
        h->lpData = reinterpret_cast<LPSTR>(buffer);
        h->dwBufferLength = length;
        h->dwFlags = WHDR_PREPARED;
    }
    void Protect(DWORD protection)
    {
        DWORD old = 0;
        VirtualProtect(page, 4096, protection, &old);
    }
};

bool WaitForDone(Client* c, LONG count)
{
    for (int i = 0; i < 300 && InterlockedCompareExchange(&c->done, 0, 0) < count; ++i)
        Sleep(10);
    return InterlockedCompareExchange(&c->done, 0, 0) >= count;
}

}  // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, 0, _IONBF, 0);
    const char* path = argc > 1 ? argv[1] : "btwav.dll";
    HMODULE hDriver = LoadLibraryA(path);
    HMODULE hShim = GetModuleHandleA("ceshim.dll");
    if (!hDriver || !hShim) {
        printf("FAIL cannot load %s (error %lu)\n", path, GetLastError());
        return 1;
    }
    PFN_INIT pfnInit = reinterpret_cast<PFN_INIT>(GetProcAddress(hDriver, "WAV_Init"));
    PFN_DEINIT pfnDeinit = reinterpret_cast<PFN_DEINIT>(GetProcAddress(hDriver, "WAV_Deinit"));
    PFN_OPEN pfnOpen = reinterpret_cast<PFN_OPEN>(GetProcAddress(hDriver, "WAV_Open"));
    PFN_CLOSE pfnClose = reinterpret_cast<PFN_CLOSE>(GetProcAddress(hDriver, "WAV_Close"));
    g_pfnIOControl = reinterpret_cast<PFN_IOCONTROL>(GetProcAddress(hDriver, "WAV_IOControl"));
    PFN_RAISE pfnRaise = reinterpret_cast<PFN_RAISE>(GetProcAddress(hShim, "ShimRaiseEvent"));
    g_noAccess = VirtualAlloc(0, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS);

    g_format.wFormatTag = WAVE_FORMAT_PCM;
    g_format.nChannels = 2;
    g_format.nSamplesPerSec = 44100;
    g_format.nBlockAlign = 4;
    g_format.nAvgBytesPerSec = 176400;
    g_format.wBitsPerSample = 16;

    DWORD_PTR hDevice = pfnInit(L"Drivers\\BuiltIn\\WAVKELVO", 0);
    g_hOpen = pfnOpen(hDevice, 0, 0);
    Check(hDevice != 0 && g_hOpen != 0, "WAV_Init and WAV_Open");

    // ---- The shell: records that cannot be read or written.
    {
        DWORD out = kUntouched;
        BOOL r = g_pfnIOControl(g_hOpen, IOCTL_WAV_MESSAGE, static_cast<LPBYTE>(g_noAccess), 20,
                                reinterpret_cast<LPBYTE>(&out), 4, 0);
        Check(r == TRUE && out == kUntouched, "unreadable message record: TRUE and no result word");
        CheckCaught(Send(WODM_GETDEVCAPS, 0, sizeof(WAVEOUTCAPS)), "GETDEVCAPS into a null record");
        CheckCaught(Send(WODM_GETDEVCAPS, reinterpret_cast<DWORD_PTR>(g_noAccess), sizeof(WAVEOUTCAPS)),
                    "GETDEVCAPS into an unwritable record");
        Check(Send(WODM_GETNUMDEVS).result == 1, "GETNUMDEVS answers 1 afterwards");
    }

    // ---- Open: an unreadable description, then an announcement that faults.
    Client a = {0, 0, 0, 0, 0, 0};
    CheckCaught(Send(WODM_OPEN, reinterpret_cast<DWORD_PTR>(g_noAccess), 0), "WODM_OPEN of an unreadable description");
    CheckLockFree("a fault in WODM_OPEN");
    Check(pfnRaise(0x21) == 0, "link up");
    Client announcer = {MM_WOM_OPEN, 0, 0, 0, 0, 0};
    CheckCaught(OpenClient(&announcer), "WODM_OPEN whose MM_WOM_OPEN faults");
    CheckLockFree("a fault in MM_WOM_OPEN");
    Check(OpenClient(&a).result == MMSYSERR_NOERROR && a.opens == 1, "a new open announces itself");

    // ---- Write of an unreadable header.
    CheckCaught(Send(WODM_WRITE, reinterpret_cast<DWORD_PTR>(g_noAccess), sizeof(WAVEHDR)), "WODM_WRITE of an unreadable header");
    CheckLockFree("a fault in WODM_WRITE");

    // ---- Break-loop and position over a queued header that is gone (the
    // pump paused first, so that no tick touches it meanwhile).
    PageHeader big(176400 * 4);
    Check(Send(WODM_WRITE, reinterpret_cast<DWORD_PTR>(big.h), sizeof(WAVEHDR)).result == 0, "WODM_WRITE of a 4 s header");
    Sleep(100);
    Check(Send(WODM_PAUSE).result == 0, "WODM_PAUSE");
    Sleep(50);
    big.Protect(PAGE_NOACCESS);
    CheckCaught(Send(WODM_BREAKLOOP), "WODM_BREAKLOOP over a header that is gone");
    CheckLockFree("a fault in WODM_BREAKLOOP");
    MMTIME t;
    memset(&t, 0, sizeof t);
    t.wType = TIME_BYTES;
    CheckCaught(Send(WODM_GETPOS, reinterpret_cast<DWORD_PTR>(&t), sizeof t), "WODM_GETPOS over a header that is gone");
    CheckLockFree("a fault in WODM_GETPOS (two levels held)");
    big.Protect(PAGE_READWRITE);

    // ---- Reset whose MM_WOM_DONE faults: its own guard, result 0.
    a.faultOn = MM_WOM_DONE;
    Answer r = Send(WODM_RESET);
    Check(r.returned == TRUE && r.wrote && r.result == 0, "WODM_RESET whose MM_WOM_DONE faults answers 0");
    CheckLockFree("a fault in WODM_RESET");

    // ---- The stream is usable: a new client plays a header to its end.
    Client b = {0, 0, 0, 0, 0, 0};
    Check(OpenClient(&b).result == 0, "open after the reset's fault");
    PageHeader small(8000);
    Check(Send(WODM_WRITE, reinterpret_cast<DWORD_PTR>(small.h), sizeof(WAVEHDR)).result == 0, "WODM_WRITE");
    Check(WaitForDone(&b, 1), "the header is played and handed back");
    typedef LONG (*PFN_COUNT)(void);
    PFN_COUNT pfnCount = reinterpret_cast<PFN_COUNT>(GetProcAddress(hShim, "ShimPacketCount"));
    Check(pfnCount() > 0, "packets reached the library");

    // ---- Reset with an exception from a nested holding: MM_WOM_DONE opens
    // another client whose MM_WOM_OPEN raises an exception that is not an
    // access fault; WODM_OPEN's dispatcher lets it pass, the reset catches it.
    Client thrower = {0, MM_WOM_OPEN, 0, 0, 0, 0};
    b.openOn = MM_WOM_DONE;
    b.other = &thrower;
    PageHeader third(200000);
    Check(Send(WODM_WRITE, reinterpret_cast<DWORD_PTR>(third.h), sizeof(WAVEHDR)).result == 0, "WODM_WRITE");
    r = Send(WODM_RESET);
    Check(r.returned == TRUE && r.wrote && r.result == 0 && thrower.opens == 1,
          "WODM_RESET catches an exception raised under a nested holding, answers 0");
    CheckLockFree("an exception under a nested holding in WODM_RESET");

    // ---- Close whose MM_WOM_CLOSE faults.
    Client closer = {MM_WOM_CLOSE, 0, 0, 0, 0, 0};
    Check(OpenClient(&closer).result == 0, "open");
    CheckCaught(Send(WODM_CLOSE), "WODM_CLOSE whose MM_WOM_CLOSE faults");
    CheckLockFree("a fault in MM_WOM_CLOSE");
    closer.faultOn = 0;
    Check(Send(WODM_CLOSE).result == 0, "the close can be made again");

    pfnClose(g_hOpen);
    pfnDeinit(hDevice);
    FreeLibrary(hDriver);
    printf("seh: %d passed, %d failed\n", g_passes, g_failures);
    return g_failures;
}
