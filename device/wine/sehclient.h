// The harness's side of the driver: the wave message record and the I/O
// control that carries it, checks that count passes and failures, probes of
// g_StreamLock from another thread, and clients whose callbacks fault or
// raise on the messages a case chooses.
//
// Threads: the case runs on the process's main thread; the lock probes send
// their query from a thread of their own; client callbacks run on whichever
// thread the driver calls them from.
#pragma once

#include <windows.h>
#include <mmsystem.h>
#include <mmddk.h>

namespace seh {

// ---- The message record and the I/O control code ---------------------------

const DWORD kIoctlWavMessage = 0x001D000C;   // IOCTL_WAV_MESSAGE
const size_t kWord = sizeof(void*) == 8 ? 8 : 4;
const size_t kOffMsg = 4;
const size_t kOffUser = 8;
const size_t kOffParam1 = kOffUser + kWord;
const size_t kOffParam2 = kOffParam1 + kWord;
const size_t kRecordBytes = kOffParam2 + kWord;

typedef DWORD_PTR (*PFN_INIT)(LPCWSTR, LPCVOID);
typedef BOOL (*PFN_DEINIT)(DWORD_PTR);
typedef DWORD_PTR (*PFN_OPEN)(DWORD_PTR, DWORD, DWORD);
typedef BOOL (*PFN_CLOSE)(DWORD_PTR);
typedef BOOL (*PFN_IOCONTROL)(DWORD_PTR, DWORD, LPBYTE, DWORD, LPBYTE, DWORD, LPDWORD);
typedef DWORD (*PFN_RAISE)(DWORD);
typedef LONG (*PFN_COUNT)(void);

// The driver and the shim, bound by the case's process before it runs.
extern PFN_IOCONTROL g_pfnIOControl;
extern PFN_COUNT g_pfnPackets;
extern DWORD_PTR g_hOpen;
extern int g_failures;
extern int g_passes;
extern void* g_noAccess;   // a page that faults on every access
extern void* g_readOnly;   // a page that faults on every write
extern WAVEFORMATEX g_format;   // the device's format, for opens and queries

const DWORD kUntouched = 0xA5A5A5A5u;
const DWORD kClientException = 0xE0001234u;

// Counts `ok` and prints the line.
void Check(bool ok, const char* what);

struct Answer {
    BOOL returned;
    bool wrote;
    DWORD result;
};

// One wave message; the result word goes to `out` (a local word when null).
Answer Send(UINT uMsg, DWORD_PTR dw1 = 0, DWORD_PTR dw2 = 0, DWORD* out = 0);
// Writes to the page that faults on every access.
void Poke();
// The lock is free: another thread's query is answered within 3 s.
bool LockFree(const char* after);
// The calling thread still holds the lock (an outer message's level): another
// thread's query waits.  The query is left to finish once the lock is free.
void CheckStillHeld(const char* what);
// That query's thread, which the case waits for once it has let the lock go.
extern HANDLE g_waitingQuery;
// A fault caught: TRUE and no result word.
void CheckCaught(const Answer& a, const char* what);

// ---- Clients -----------------------------------------------------------------

// What a client's callback does on each message, and what it received.
struct Client {
    UINT faultOn;            // message whose callback faults
    UINT raiseOn;            // message whose callback raises kClientException
    void (*onDone)(Client*);   // what MM_WOM_DONE does besides counting
    void (*onOpen)(Client*);   // what MM_WOM_OPEN does besides counting
    volatile LONG done;      // MM_WOM_DONE received
    volatile LONG opens;     // MM_WOM_OPEN received
};

Client NewClient();
// Opens `c` as the stream's client, with its callback and instance.
Answer OpenClient(Client* c, DWORD flags = 0);

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
    DWORD_PTR Address() const { return reinterpret_cast<DWORD_PTR>(h); }
};

// Waits (at most 3 s) until `c` got `count` buffers back.
bool WaitForDone(Client* c, LONG count);
// Opens client c and writes h, both answered 0.
void OpenAndWrite(Client* c, const PageHeader& h);
// A message answered as a normal call: TRUE and the result word 0.
bool AnsweredZero(const Answer& a);

}  // namespace seh
