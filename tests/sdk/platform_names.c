/* platform_names: device code's use of the platform's names beyond the wave
 * API, as a program for the device writes it, built as C89, C99 and C++
 * against each SDK.  It plays a few buffers through WAVE_MAPPER with a
 * window callback, and on the way uses: an event by its ANSI name, a system
 * error's text from FormatMessage, a semaphore and a mutex between two
 * threads, a thread priority, conversions to the ANSI code page and to
 * UTF-8, the global heap, the string routines of both forms, the debug
 * output, its own modules, wide literals and TEXT(), and, on the 32-bit
 * SDKs, the platform's own types (a client's typedef of ULONG, unsigned
 * long* and long* arguments).
 *
 *   platform_names [EXPECTED]
 *
 * With EXPECTED the program writes there the bytes it played, which is what
 * the headset should receive.  Each check that fails prints "FAIL: what";
 * the last line is "written N".  Exit status 0 when every check passed.
 */
#include <windows.h>
#include <mmsystem.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

/* Device code of the 32-bit kind declares the platform's types itself, as
 * the platform's headers have them; the 64-bit SDK's DWORD and ULONG are
 * int (a 64-bit long would widen them), so there this is left out. */
#if !defined(__LP64__)
typedef unsigned long ULONG;
typedef long LONG;
typedef unsigned long DWORD;
#define DEVICE_TYPES 1
#endif

/* The platform's compilers align a 64-bit member to 8 bytes. */
typedef struct {
    DWORD before;
    LONGLONG value;
} ALIGNED64;
typedef char LONGLONG_AT_8[offsetof(ALIGNED64, value) == 8 ? 1 : -1];
typedef char WCHAR_IS_16_BITS[sizeof(WCHAR) == 2 && sizeof(L'x') == 2 ? 1 : -1];

#define NUM_BUFFERS 6
#define FRAMES 2205 /* 50 ms at 44,100 Hz */

static int g_failures = 0;
static FILE *g_expected = NULL;

static void Check(int ok, const char *what)
{
    if (!ok) {
        printf("FAIL: %s\n", what);
        ++g_failures;
    }
}

/* ---- The window that takes the wave API's messages --------------------------------- */

static LONG g_done = 0;
static LONG g_opened = 0;
static LONG g_closed = 0;
static HWAVEOUT g_hwo = NULL;

static LRESULT CALLBACK WaveWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case MM_WOM_OPEN:
        ++g_opened;
        return 0;
    case MM_WOM_DONE:
        Check((HWAVEOUT)wParam == g_hwo, "MM_WOM_DONE carries the handle");
        Check((((WAVEHDR *)lParam)->dwFlags & WHDR_DONE) != 0, "MM_WOM_DONE carries a done header");
        ++g_done;
        return 0;
    case MM_WOM_CLOSE:
        ++g_closed;
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProc(hwnd, msg, wParam, lParam);
    }
}

static int PlayThroughAWindow(void)
{
    static short samples[NUM_BUFFERS][FRAMES * 2];
    WAVEHDR hdrs[NUM_BUFFERS];
    WNDCLASS wc;
    WAVEFORMATEX fmt;
    HWND hwnd;
    MSG msg;
    MMRESULT r;
    int i, k, written = 0;
#ifdef DEVICE_TYPES
    unsigned long volume = 0;
#else
    DWORD volume = 0;
#endif

    memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = WaveWindowProc;
    wc.lpszClassName = L"WaveWindow";
    Check(RegisterClass(&wc) != 0, "RegisterClass");
    hwnd = CreateWindow(L"WaveWindow", L"", 0, CW_USEDEFAULT, CW_USEDEFAULT, 0, 0, NULL, NULL, NULL, NULL);
    Check(hwnd != NULL, "CreateWindow");

    memset(&fmt, 0, sizeof fmt);
    fmt.wFormatTag = WAVE_FORMAT_PCM;
    fmt.nChannels = 2;
    fmt.nSamplesPerSec = 44100;
    fmt.wBitsPerSample = 16;
    fmt.nBlockAlign = 4;
    fmt.nAvgBytesPerSec = 44100 * 4;
    r = waveOutOpen(&g_hwo, WAVE_MAPPER, &fmt, (DWORD_PTR)hwnd, 0, CALLBACK_WINDOW);
    if (r != MMSYSERR_NOERROR) {
        printf("waveOutOpen: %u\n", r);
        return 0;
    }
    /* The device announces no volume control, so the answer is a refusal;
       what is checked here is that the call takes the SDK's DWORD. */
    Check(waveOutGetVolume(g_hwo, &volume) == MMSYSERR_NOTSUPPORTED, "waveOutGetVolume takes the SDK's DWORD");
    for (i = 0; i < NUM_BUFFERS; ++i) {
        for (k = 0; k < FRAMES * 2; ++k)
            samples[i][k] = (short)((i * 7919 + k * 131) & 0x7fff);
        memset(&hdrs[i], 0, sizeof hdrs[i]);
        hdrs[i].lpData = (HPSTR)samples[i];
        hdrs[i].dwBufferLength = sizeof samples[i];
        waveOutPrepareHeader(g_hwo, &hdrs[i], sizeof hdrs[i]);
        Check(waveOutWrite(g_hwo, &hdrs[i], sizeof hdrs[i]) == MMSYSERR_NOERROR, "waveOutWrite");
        if (g_expected)
            fwrite(samples[i], 1, sizeof samples[i], g_expected);
        written += (int)sizeof samples[i];
    }
    /* The message loop: every MM_WOM_* reaches the procedure through it. */
    while (g_done < NUM_BUFFERS && GetMessage(&msg, NULL, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessage(&msg);
    }
    for (i = 0; i < NUM_BUFFERS; ++i)
        waveOutUnprepareHeader(g_hwo, &hdrs[i], sizeof hdrs[i]);
    Check(waveOutClose(g_hwo) == MMSYSERR_NOERROR, "waveOutClose");
    while (GetMessage(&msg, NULL, 0, 0) > 0)
        DispatchMessage(&msg);
    Check(g_opened == 1 && g_done == NUM_BUFFERS && g_closed == 1, "the window got open, every done and close");
    Check(DestroyWindow(hwnd), "DestroyWindow");
    return written;
}

/* ---- A semaphore and a mutex between two threads ---------------------------------------- */

#define ITEMS 50

static HANDLE g_items;
static HANDLE g_lock;
static LONG g_produced = 0;

static DWORD WINAPI Producer(LPVOID param)
{
    int i;
    (void)param;
    Check(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL), "SetThreadPriority");
    Check(GetThreadPriority(GetCurrentThread()) == THREAD_PRIORITY_ABOVE_NORMAL, "GetThreadPriority");
    for (i = 0; i < ITEMS; ++i) {
        WaitForSingleObject(g_lock, INFINITE);
        ++g_produced;
        ReleaseMutex(g_lock);
        ReleaseSemaphore(g_items, 1, NULL);
    }
    return 0;
}

static void Threads(void)
{
    HANDLE thread;
    int i, got = 0;
#ifdef DEVICE_TYPES
    long previous = 0;
    long counter = 0;
#else
    LONG previous = 0;
    LONG counter = 0;
#endif
    g_items = CreateSemaphore(NULL, 0, ITEMS, NULL);
    g_lock = CreateMutex(NULL, FALSE, TEXT("ProducerLock"));
    Check(g_items != NULL && g_lock != NULL, "CreateSemaphore and CreateMutex");
    thread = CreateThread(NULL, 0, Producer, NULL, 0, NULL);
    for (i = 0; i < ITEMS; ++i)
        if (WaitForSingleObject(g_items, 5000) == WAIT_OBJECT_0)
            ++got;
    WaitForSingleObject(thread, INFINITE);
    Check(got == ITEMS && g_produced == ITEMS, "every item came through the semaphore");
    Check(!ReleaseSemaphore(g_items, ITEMS + 1, &previous), "a semaphore refuses more than its maximum");
    Check(InterlockedIncrement(&counter) == 1, "InterlockedIncrement takes the SDK's LONG");
    Check(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST) &&
              GetThreadPriority(GetCurrentThread()) == THREAD_PRIORITY_HIGHEST,
          "the main thread's priority");
    CloseHandle(thread);
    CloseHandle(g_items);
    CloseHandle(g_lock);
}

/* ---- Names, text and memory -------------------------------------------------------------- */

static DWORD FormatWith(LPTSTR buffer, DWORD size, LPCTSTR format, ...)
{
    va_list args;
    DWORD n;
    va_start(args, format);
    n = FormatMessage(FORMAT_MESSAGE_FROM_STRING, format, 0, 0, buffer, size, &args);
    va_end(args);
    return n;
}

static void Text(void)
{
    static const WCHAR text[] = L"caf\x00e9 \x20ac";
    char bytes[32];
    TCHAR line[64];
    LPTSTR message = NULL;
    char narrow[32];
    HANDLE a, b;
    HGLOBAL mem;
    int n;

    /* An event created by its ANSI name is the one its wide name opens. */
    a = CreateEventA(NULL, TRUE, FALSE, "SharedEvent");
    b = OpenEvent(EVENT_ALL_ACCESS, FALSE, TEXT("SharedEvent"));
    Check(a != NULL && b != NULL, "CreateEventA and OpenEvent");
    SetEvent(b);
    Check(WaitForSingleObject(a, 0) == WAIT_OBJECT_0, "the A and W names are one event");
    CloseHandle(a);
    CloseHandle(b);
    Check(CreateEventW(NULL, FALSE, FALSE, L"Wide") != NULL, "CreateEventW with a wide literal");

    /* A system error's text. */
    Check(!CloseHandle(NULL) && GetLastError() == ERROR_INVALID_HANDLE, "CloseHandle(NULL) fails");
    n = (int)FormatMessage(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
                           NULL, GetLastError(), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), (LPTSTR)&message, 0,
                           NULL);
    Check(n > 0 && message != NULL && lstrlen(message) == n, "FormatMessage of a system error");
    LocalFree(message);
    n = (int)FormatWith(line, 64, TEXT("%1!d! buffers of %2"), 6, TEXT("44100 Hz"));
    Check(n == 21 && lstrcmp(line, TEXT("6 buffers of 44100 Hz")) == 0, "FormatMessage with inserts");

    /* To the ANSI code page and to UTF-8. */
    n = WideCharToMultiByte(CP_ACP, 0, text, -1, bytes, sizeof bytes, NULL, NULL);
    Check(n == 7 && memcmp(bytes, "caf\xe9 \x80", 7) == 0, "WideCharToMultiByte to CP_ACP");
    n = WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof bytes, NULL, NULL);
    Check(n == 10 && memcmp(bytes, "caf\xc3\xa9 \xe2\x82\xac", 10) == 0, "WideCharToMultiByte to UTF-8");
    Check(MultiByteToWideChar(CP_UTF8, 0, bytes, -1, NULL, 0) == 7, "MultiByteToWideChar's size");
    Check(wcslen(text) == 6 && lstrlenW(text) == 6, "wcslen and lstrlenW count 16-bit units");

    /* The ANSI string routines. */
    lstrcpyA(narrow, "Wave");
    lstrcatA(narrow, "Out");
    Check(lstrlenA(narrow) == 7 && lstrcmpA(narrow, "WaveOut") == 0 && lstrcmpiA(narrow, "WAVEOUT") == 0,
          "lstrcpyA, lstrcatA, lstrlenA, lstrcmpA, lstrcmpiA");

    /* The global heap. */
    mem = GlobalAlloc(GPTR, 64);
    Check(mem != NULL && ((BYTE *)mem)[63] == 0, "GlobalAlloc zeroes with GPTR");
    Check(GlobalFree(mem) == NULL, "GlobalFree");

    OutputDebugStringA("platform_names: ANSI debug output\n");
    OutputDebugString(TEXT("platform_names: debug output\n"));

    /* Its own modules, by the platform's names. */
    Check(GetModuleHandle(NULL) != NULL, "GetModuleHandle(NULL)");
    {
        HMODULE driver = LoadLibrary(TEXT("btwav.dll"));
        Check(driver != NULL, "LoadLibrary(btwav.dll)");
        Check(GetProcAddress(driver, L"WAV_Open") != NULL && GetProcAddressA(driver, "WAV_Close") != NULL,
              "GetProcAddress of the driver's entry points");
        Check(GetProcAddressA(driver, "NoSuchEntry") == NULL && GetLastError() == ERROR_PROC_NOT_FOUND,
              "GetProcAddress of a missing name");
        Check(FreeLibrary(driver), "FreeLibrary");
    }

    {
        WCHAR errorText[MAXERRORLENGTH];
        Check(waveOutGetErrorText(MMSYSERR_NODRIVERCB, errorText, MAXERRORLENGTH) == MMSYSERR_NOERROR &&
                  MMSYSERR_INVALIDALIAS == 13 && MMSYSERR_LASTERROR == 20,
              "the MMSYSERR_ codes up to MMSYSERR_NODRIVERCB");
    }
}

int main(int argc, char **argv)
{
    int written;
    if (argc > 1)
        g_expected = fopen(argv[1], "wb");
    Text();
    Threads();
    written = PlayThroughAWindow();
    if (g_expected)
        fclose(g_expected);
    printf("written %d\n", written);
    return g_failures == 0 && written > 0 ? 0 : 1;
}
