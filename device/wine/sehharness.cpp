// Runs the driver DLL built with the platform's structured exception
// handling (__try/__except) and checks the outcome of faults caught inside
// its locked regions: WAV_IOControl answers TRUE, the result word is not
// written (WODM_RESET answers 0), a level of g_StreamLock that an outer
// message holds stays held, and afterwards another thread gets the lock and
// the stream plays again (a new client opens, writes a buffer, gets it back,
// and its bytes reach the library).
//
//   sehharness.exe btwav.dll          every case, each in a process of its own
//   sehharness.exe btwav.dll CASE     one case, in this process
//
// Each case runs in its own process so that one that leaves the lock held
// for good (the process is ended after a time limit) hides none of the
// others.  Exit status: the number of failed cases (or, for one case, of
// failed checks).
//
// The records the driver reads are laid out (sehclient.h) from the
// platform's documentation, not from the driver's headers: the wave message
// record is five 32-bit words (device, message, user word, two parameters);
// a 64-bit build carries the last three as pointer-sized words, since they
// hold addresses.  The wave structures (WAVEHDR, WAVEOPENDESC, MMTIME,
// WAVEOUTCAPS) are the SDK's.
#include <stdio.h>
#include <string.h>

#include "sehclient.h"

namespace {

using namespace seh;

// ---- The cases -----------------------------------------------------------------

void CaseUnreadableRecord()
{
    DWORD out = kUntouched;
    BOOL r = g_pfnIOControl(g_hOpen, kIoctlWavMessage, static_cast<LPBYTE>(g_noAccess), kRecordBytes,
                            reinterpret_cast<LPBYTE>(&out), 4, 0);
    Check(r == TRUE && out == kUntouched, "unreadable message record: TRUE and no result word");
}

void CaseCapsNull()
{
    CheckCaught(Send(WODM_GETDEVCAPS, 0, sizeof(WAVEOUTCAPS)), "GETDEVCAPS into a null record");
    Check(Send(WODM_GETNUMDEVS).result == 1, "GETNUMDEVS answers 1 afterwards");
}

void CaseCapsUnwritable()
{
    CheckCaught(Send(WODM_GETDEVCAPS, reinterpret_cast<DWORD_PTR>(g_readOnly), sizeof(WAVEOUTCAPS)),
                "GETDEVCAPS into an unwritable record");
}

void CaseOpenUnreadable()
{
    CheckCaught(Send(WODM_OPEN, reinterpret_cast<DWORD_PTR>(g_noAccess), 0), "WODM_OPEN of an unreadable description");
}

void CaseOpenCallbackFaults()
{
    Client announcer = NewClient();
    announcer.faultOn = MM_WOM_OPEN;
    CheckCaught(OpenClient(&announcer), "WODM_OPEN whose MM_WOM_OPEN faults");
    Check(announcer.opens == 1, "the announcement was made");
}

void CaseWriteUnreadable()
{
    Client a = NewClient();
    Check(OpenClient(&a).result == MMSYSERR_NOERROR, "open");
    CheckCaught(Send(WODM_WRITE, reinterpret_cast<DWORD_PTR>(g_noAccess), sizeof(WAVEHDR)),
                "WODM_WRITE of an unreadable header");
}

// A 4 s header queued and its page taken away while the pump is paused (so
// that no tick touches it meanwhile); `message` then meets it.
void HeaderGone(UINT message, const char* what)
{
    Client a = NewClient();
    Check(OpenClient(&a).result == MMSYSERR_NOERROR, "open");
    PageHeader big(176400 * 4);
    Check(Send(WODM_WRITE, big.Address(), sizeof(WAVEHDR)).result == 0, "WODM_WRITE of a 4 s header");
    Sleep(100);
    Check(Send(WODM_PAUSE).result == 0, "WODM_PAUSE");
    Sleep(50);
    big.Protect(PAGE_NOACCESS);
    if (message == WODM_GETPOS) {
        MMTIME t;
        memset(&t, 0, sizeof t);
        t.wType = TIME_BYTES;
        CheckCaught(Send(WODM_GETPOS, reinterpret_cast<DWORD_PTR>(&t), sizeof t), what);
    } else {
        CheckCaught(Send(message), what);
    }
    // The client takes its header back as a client would.
    big.Protect(PAGE_READWRITE);
    Check(Send(WODM_RESET).result == 0 && a.done == 1, "the reset hands the header back");
}

void CaseBreakLoopGone()
{
    HeaderGone(WODM_BREAKLOOP, "WODM_BREAKLOOP over a header that is gone");
}

void CaseGetPosGone()
{
    HeaderGone(WODM_GETPOS, "WODM_GETPOS over a header that is gone (two levels held)");
}

void CaseMmtimeUnwritable()
{
    Client a = NewClient();
    Check(OpenClient(&a).result == MMSYSERR_NOERROR, "open");
    Answer r = Send(WODM_GETPOS, reinterpret_cast<DWORD_PTR>(g_readOnly), sizeof(MMTIME));
    Check(r.returned == TRUE && r.wrote && r.result == MMSYSERR_INVALPARAM,
          "WODM_GETPOS into an unwritable MMTIME answers MMSYSERR_INVALPARAM");
    Check(*static_cast<volatile DWORD*>(g_readOnly) == 0, "the MMTIME is untouched");
}

void CaseResultUnwritable()
{
    Client a = NewClient();
    Check(OpenClient(&a).result == MMSYSERR_NOERROR, "open");
    PageHeader h(8000);
    Answer r = Send(WODM_WRITE, h.Address(), sizeof(WAVEHDR), static_cast<DWORD*>(g_readOnly));
    Check(r.returned == TRUE && *static_cast<volatile DWORD*>(g_readOnly) == 0,
          "WODM_WRITE with an unwritable result word: TRUE");
    Check(WaitForDone(&a, 1), "the header was queued all the same: it plays and comes back");
    r = Send(WODM_GETNUMDEVS, 0, 0, static_cast<DWORD*>(g_readOnly));
    Check(r.returned == TRUE, "WODM_GETNUMDEVS with an unwritable result word: TRUE");
}

void CaseResetCallbackFaults()
{
    Client a = NewClient();
    a.faultOn = MM_WOM_DONE;
    PageHeader h(176400);
    OpenAndWrite(&a, h);
    Check(AnsweredZero(Send(WODM_RESET)) && a.done == 1, "WODM_RESET whose MM_WOM_DONE faults answers 0");
}

// MM_WOM_DONE during a reset closes the stream, and MM_WOM_CLOSE raises an
// exception that is not an access fault: WODM_CLOSE's dispatcher lets it
// pass, the reset catches it.
volatile LONG g_closeSent;
void CloseFromDone(Client*)
{
    g_closeSent = 1;
    Send(WODM_CLOSE);
}

void CaseResetNestedException()
{
    Client a = NewClient();
    a.onDone = CloseFromDone;
    a.raiseOn = MM_WOM_CLOSE;
    PageHeader h(200000);
    OpenAndWrite(&a, h);
    Check(AnsweredZero(Send(WODM_RESET)) && a.done == 1 && g_closeSent == 1,
          "WODM_RESET catches an exception raised under a nested holding, answers 0");
}

// An access fault in a message sent from a callback while an outer message
// holds the lock: the inner dispatcher gives back only its own levels.
Answer g_inner;
void WriteUnreadableAndCheck(Client*)
{
    g_inner = Send(WODM_WRITE, reinterpret_cast<DWORD_PTR>(g_noAccess), sizeof(WAVEHDR));
    CheckStillHeld("after a caught fault inside MM_WOM_DONE, the reset's holding stays");
}

void CaseNestedFaultInReset()
{
    Client a = NewClient();
    a.onDone = WriteUnreadableAndCheck;
    PageHeader h(176400);
    OpenAndWrite(&a, h);
    Answer r = Send(WODM_RESET);
    CheckCaught(g_inner, "WODM_WRITE of an unreadable header from inside MM_WOM_DONE");
    Check(AnsweredZero(r) && a.done == 1, "the reset goes on and answers 0");
    Check(WaitForSingleObject(g_waitingQuery, 3000) == WAIT_OBJECT_0, "the waiting thread gets the lock after it");
}

void CapsIntoNoAccessAndCheck(Client*)
{
    g_inner = Send(WODM_GETDEVCAPS, reinterpret_cast<DWORD_PTR>(g_noAccess), sizeof(WAVEOUTCAPS));
    CheckStillHeld("after a caught fault inside MM_WOM_OPEN, the open's holding stays");
}

void CaseNestedFaultInOpen()
{
    Client a = NewClient();
    a.onOpen = CapsIntoNoAccessAndCheck;
    Answer r = OpenClient(&a);
    CheckCaught(g_inner, "WODM_GETDEVCAPS into an unreadable record from inside MM_WOM_OPEN");
    Check(AnsweredZero(r) && a.opens == 1, "the open goes on and answers 0");
    Check(WaitForSingleObject(g_waitingQuery, 3000) == WAIT_OBJECT_0, "the waiting thread gets the lock after it");
}

// An exception inside a reset sent from MM_WOM_OPEN: the reset's guard gives
// back its own levels only, and the open's stays held.
PageHeader* g_queued;
Client g_raiser;
void ResetFromOpen(Client*)
{
    Check(Send(WODM_WRITE, g_queued->Address(), sizeof(WAVEHDR)).result == 0, "WODM_WRITE from MM_WOM_OPEN");
    g_inner = Send(WODM_RESET);
    CheckStillHeld("after the reset's guard caught an exception inside MM_WOM_OPEN, the open's holding stays");
}

void CaseExceptionUnderOuterOpen()
{
    // The stream counts as open during its announcement, so the write from
    // MM_WOM_OPEN is queued.
    PageHeader h(176400);
    g_queued = &h;
    g_raiser = NewClient();
    g_raiser.onOpen = ResetFromOpen;
    g_raiser.raiseOn = MM_WOM_DONE;
    Answer r = OpenClient(&g_raiser);
    Check(AnsweredZero(g_inner) && g_raiser.done == 1,
          "the reset inside MM_WOM_OPEN catches the exception of MM_WOM_DONE and answers 0");
    Check(AnsweredZero(r), "the open goes on and answers 0");
    Check(WaitForSingleObject(g_waitingQuery, 3000) == WAIT_OBJECT_0, "the waiting thread gets the lock after it");
}

void CaseCloseCallbackFaults()
{
    Client closer = NewClient();
    closer.faultOn = MM_WOM_CLOSE;
    Check(OpenClient(&closer).result == 0, "open");
    CheckCaught(Send(WODM_CLOSE), "WODM_CLOSE whose MM_WOM_CLOSE faults");
    closer.faultOn = 0;
    Check(Send(WODM_CLOSE).result == 0, "the close can be made again");
}

struct Case {
    const char* name;
    void (*run)();
};

const Case kCases[] = {
    {"unreadable-record", CaseUnreadableRecord},
    {"caps-null", CaseCapsNull},
    {"caps-unwritable", CaseCapsUnwritable},
    {"open-unreadable", CaseOpenUnreadable},
    {"open-callback-faults", CaseOpenCallbackFaults},
    {"write-unreadable", CaseWriteUnreadable},
    {"breakloop-header-gone", CaseBreakLoopGone},
    {"getpos-header-gone", CaseGetPosGone},
    {"mmtime-unwritable", CaseMmtimeUnwritable},
    {"result-unwritable", CaseResultUnwritable},
    {"reset-callback-faults", CaseResetCallbackFaults},
    {"reset-nested-exception", CaseResetNestedException},
    {"nested-fault-in-reset", CaseNestedFaultInReset},
    {"nested-fault-in-open", CaseNestedFaultInOpen},
    {"exception-under-outer-open", CaseExceptionUnderOuterOpen},
    {"close-callback-faults", CaseCloseCallbackFaults},
};
const int kCaseCount = sizeof kCases / sizeof kCases[0];

// After every case: the lock is free and the stream plays again.
void CheckUsable(const char* name)
{
    char what[200];
    snprintf(what, sizeof what, "the case %s", name);
    if (!LockFree(what))
        return;
    // The case's client gives its buffers back and closes: the stream has
    // one client at a time.
    Check(Send(WODM_RESET).result == 0, "the case's client resets");
    Check(Send(WODM_CLOSE).result == 0, "the case's client closes");
    LONG packets = g_pfnPackets();
    Client fresh = NewClient();
    Check(OpenClient(&fresh).result == MMSYSERR_NOERROR, "a new client opens");
    PageHeader small(8000);
    Check(Send(WODM_WRITE, small.Address(), sizeof(WAVEHDR)).result == 0, "it writes a buffer");
    Check(WaitForDone(&fresh, 1), "the buffer is played and handed back");
    Check(g_pfnPackets() > packets, "its bytes reach the library");
    Check(Send(WODM_CLOSE).result == 0, "the client closes");
}

int RunCase(const char* path, const Case& c)
{
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
    g_pfnPackets = reinterpret_cast<PFN_COUNT>(GetProcAddress(hShim, "ShimPacketCount"));
    g_noAccess = VirtualAlloc(0, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS);
    g_readOnly = VirtualAlloc(0, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READONLY);

    g_format.wFormatTag = WAVE_FORMAT_PCM;
    g_format.nChannels = 2;
    g_format.nSamplesPerSec = 44100;
    g_format.nBlockAlign = 4;
    g_format.nAvgBytesPerSec = 176400;
    g_format.wBitsPerSample = 16;

    DWORD_PTR hDevice = pfnInit(L"Drivers\\BuiltIn\\WAVKELVO", 0);
    g_hOpen = pfnOpen(hDevice, 0, 0);
    Check(hDevice != 0 && g_hOpen != 0, "WAV_Init and WAV_Open");
    Check(pfnRaise(0x21) == 0, "link up");
    c.run();
    CheckUsable(c.name);
    pfnClose(g_hOpen);
    pfnDeinit(hDevice);
    FreeLibrary(hDriver);
    printf("seh %s: %d passed, %d failed\n", c.name, g_passes, g_failures);
    return g_failures;
}

// Runs every case in a child process of its own, at most 30 s each.
int RunAll(const char* path)
{
    char self[MAX_PATH];
    GetModuleFileNameA(0, self, sizeof self);
    int failed = 0;
    for (int i = 0; i < kCaseCount; ++i) {
        char command[2 * MAX_PATH + 100];
        snprintf(command, sizeof command, "\"%s\" \"%s\" %s", self, path, kCases[i].name);
        STARTUPINFOA si;
        memset(&si, 0, sizeof si);
        si.cb = sizeof si;
        PROCESS_INFORMATION pi;
        if (!CreateProcessA(0, command, 0, 0, FALSE, 0, 0, 0, &si, &pi)) {
            printf("FAIL case %s: cannot start (error %lu)\n", kCases[i].name, GetLastError());
            ++failed;
            continue;
        }
        DWORD code = 0;
        if (WaitForSingleObject(pi.hProcess, 30000) != WAIT_OBJECT_0) {
            TerminateProcess(pi.hProcess, 200);
            WaitForSingleObject(pi.hProcess, 5000);
            printf("FAIL case %s: stuck for 30 s (a lock held for good?), ended\n", kCases[i].name);
            ++failed;
        } else if (GetExitCodeProcess(pi.hProcess, &code) && code != 0) {
            printf("FAIL case %s: exit status %lu\n", kCases[i].name, code);
            ++failed;
        }
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    printf("seh: %d passed, %d failed\n", kCaseCount - failed, failed);
    return failed;
}

}  // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, 0, _IONBF, 0);
    const char* path = argc > 1 ? argv[1] : "btwav.dll";
    if (argc <= 2)
        return RunAll(path);
    for (int i = 0; i < kCaseCount; ++i) {
        if (strcmp(argv[2], kCases[i].name) == 0)
            return RunCase(path, kCases[i]);
    }
    printf("FAIL no case %s\n", argv[2]);
    return 1;
}
