// tone: plays a two-tone chime on the preferred wave-out device the way an
// application on the device does it, and checks what the wave API reports
// on the way.  Only the platform's own functions are called.
//
//   tone [RATE [CHANNELS]]      default 44100 2 (16-bit PCM)
//
// Four buffers of 100 ms go through WAVE_MAPPER with an event callback; the
// first is a loop played twice.  After the first buffer comes back, playback
// is paused for 100 ms, during which the position must stand still.  The last
// lines printed are "written N" (bytes played, loop passes counted),
// "buffers N" (the bytes of the buffers, each once) and "position N" (the
// final TIME_BYTES position; this driver counts a repeated loop once).  Exit
// status 0 when every check passed.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <windows.h>
#include <mmsystem.h>

static int g_failures = 0;

static void Check(int ok, const char* what)
{
    if (!ok) {
        printf("FAILED: %s\n", what);
        ++g_failures;
    }
}

static DWORD Position(HWAVEOUT hwo, UINT type)
{
    MMTIME t;
    memset(&t, 0, sizeof t);
    t.wType = type;
    Check(waveOutGetPosition(hwo, &t, sizeof t) == MMSYSERR_NOERROR, "waveOutGetPosition");
    return t.u.cb;
}

// The platform's text is 16-bit; this prints its ASCII characters.
static void PrintWide(const WCHAR* text)
{
    for (; *text; ++text)
        putchar(*text < 0x80 ? (char)*text : '?');
}

static void PrintError(const char* call, MMRESULT r)
{
    WCHAR text[MAXERRORLENGTH];
    waveOutGetErrorText(r, text, MAXERRORLENGTH);
    printf("%s: %u, ", call, r);
    PrintWide(text);
    printf("\n");
}

enum { kBuffers = 4 };

// The devices, as the application finds them.
static void ListDevices(void)
{
    const UINT devices = waveOutGetNumDevs();
    for (UINT i = 0; i < devices; ++i) {
        WAVEOUTCAPS caps;
        if (waveOutGetDevCaps(i, &caps, sizeof caps) == MMSYSERR_NOERROR) {
            printf("device %u: ", i);
            PrintWide(caps.szPname);
            printf("\n");
        }
    }
}

static WAVEFORMATEX PcmFormat(DWORD rate, WORD channels)
{
    WAVEFORMATEX f;
    memset(&f, 0, sizeof f);
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = 16;
    f.nBlockAlign = (WORD)(channels * 2);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    return f;
}

// Fills and prepares the buffers, 100 ms each: 440 Hz, then 660 Hz.  The
// first is a loop played twice.  Returns the bytes of one buffer.
static DWORD PrepareChime(HWAVEOUT hwo, const WAVEFORMATEX& f, WAVEHDR* hdr, short** data)
{
    const DWORD frames = f.nSamplesPerSec / 10;
    const DWORD bytes = frames * f.nBlockAlign;
    for (int b = 0; b < kBuffers; ++b) {
        data[b] = (short*)malloc(bytes);
        for (DWORD i = 0; i < frames; ++i) {
            const double hz = b < 2 ? 440.0 : 660.0;
            const double x = (double)(b * frames + i);
            const short v = (short)(8000.0 * sin(2.0 * 3.14159265358979 * hz * x / f.nSamplesPerSec));
            for (WORD c = 0; c < f.nChannels; ++c)
                data[b][i * f.nChannels + c] = v;
        }
        memset(&hdr[b], 0, sizeof hdr[b]);
        hdr[b].lpData = (LPSTR)data[b];
        hdr[b].dwBufferLength = bytes;
        if (b == 0) {
            hdr[b].dwFlags = WHDR_BEGINLOOP | WHDR_ENDLOOP;
            hdr[b].dwLoops = 2;
        }
        Check(waveOutPrepareHeader(hwo, &hdr[b], sizeof hdr[b]) == MMSYSERR_NOERROR, "prepare");
        Check((hdr[b].dwFlags & WHDR_PREPARED) != 0, "prepared");
    }
    return bytes;
}

// Waits for the buffers to come back, one event at a time; once the first
// is back, pauses for 100 ms and checks that the position stands still.
static void WaitForChime(HWAVEOUT hwo, HANDLE done, const WAVEHDR* hdr)
{
    int back = 0;
    int paused = 0;
    while (back < kBuffers) {
        if (WaitForSingleObject(done, 2000) != WAIT_OBJECT_0) {
            Check(0, "a buffer came back within 2 s");
            break;
        }
        back = 0;
        for (int b = 0; b < kBuffers; ++b)
            back += (hdr[b].dwFlags & WHDR_DONE) ? 1 : 0;
        if (back >= 1 && !paused) {
            paused = 1;
            Check(waveOutPause(hwo) == MMSYSERR_NOERROR, "pause");
            const DWORD before = Position(hwo, TIME_BYTES);
            Sleep(100);
            Check(Position(hwo, TIME_BYTES) == before, "the position stands still while paused");
            Check(waveOutRestart(hwo) == MMSYSERR_NOERROR, "restart");
        }
    }
}

int main(int argc, char** argv)
{
    const DWORD rate = argc > 1 ? (DWORD)atoi(argv[1]) : 44100;
    const WORD channels = argc > 2 ? (WORD)atoi(argv[2]) : 2;
    ListDevices();
    WAVEFORMATEX f = PcmFormat(rate, channels);

    HANDLE done = CreateEvent(NULL, FALSE, FALSE, NULL);
    HWAVEOUT hwo = NULL;
    MMRESULT r = waveOutOpen(&hwo, WAVE_MAPPER, &f, (DWORD_PTR)done, 0, CALLBACK_EVENT);
    if (r != MMSYSERR_NOERROR) {
        PrintError("waveOutOpen", r);
        return 2;
    }
    UINT id = 0;
    Check(waveOutGetID(hwo, &id) == MMSYSERR_NOERROR && id == WAVE_MAPPER, "opened through the mapper");
    // The device's wave API sets the event when a buffer comes back and at the
    // close, not for the open: its first signal follows the first write.
    Check(WaitForSingleObject(done, 0) == WAIT_TIMEOUT, "the open sets no event");

    WAVEHDR hdr[kBuffers];
    short* data[kBuffers];
    const DWORD bytes = PrepareChime(hwo, f, hdr, data);
    DWORD written = 0;
    const DWORD start = GetTickCount();
    for (int b = 0; b < kBuffers; ++b) {
        Check(waveOutWrite(hwo, &hdr[b], sizeof hdr[b]) == MMSYSERR_NOERROR, "write");
        written += bytes * (b == 0 ? 2 : 1);
    }
    WaitForChime(hwo, done, hdr);
    const DWORD elapsed = GetTickCount() - start;
    Check(elapsed >= 500, "a loop pass, three buffers and a pause take at least 500 ms");

    const DWORD position = Position(hwo, TIME_BYTES);
    const DWORD ms = Position(hwo, TIME_MS);
    printf("played in %lu ms, position %lu ms\n", (unsigned long)elapsed, (unsigned long)ms);

    for (int b = 0; b < kBuffers; ++b) {
        Check(waveOutUnprepareHeader(hwo, &hdr[b], sizeof hdr[b]) == MMSYSERR_NOERROR, "unprepare");
        free(data[b]);
    }
    Check(waveOutClose(hwo) == MMSYSERR_NOERROR, "close");
    Check(WaitForSingleObject(done, 1000) == WAIT_OBJECT_0, "MM_WOM_CLOSE sets the event");
    CloseHandle(done);

    printf("written %lu\nbuffers %lu\nposition %lu\n", (unsigned long)written,
           (unsigned long)(bytes * kBuffers), (unsigned long)position);
    return g_failures == 0 ? 0 : 1;
}
