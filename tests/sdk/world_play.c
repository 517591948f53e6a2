/* world_play: a device application's playback loop, for comparing the
 * world's report of an application with the player's.  It plays a raw
 * 16-bit stereo 44,100 Hz file through WAVE_MAPPER as the player does with
 * --refill event: four buffers of 8192 bytes written at once, each written
 * again with the next bytes once it came back, woken by the event.  On the
 * plain virtual clock (CEHOST_CLOCK=virtual) nothing moves the clock but the
 * program, so there it moves it itself, one 20 ms timer period a step,
 * looking at its event after each step; on the real clock and on the clock
 * that moves by itself (the runner's --fast) it only waits for the event.
 *
 *   world_play FILE.raw      exit status 0 when every call succeeded
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <windows.h>
#include <mmsystem.h>
#include <host/cehost.h>

enum { kBuffers = 4, kBytes = 8192 };

int main(int argc, char** argv)
{
    FILE* in;
    HWAVEOUT hwo;
    HANDLE done;
    WAVEFORMATEX f;
    WAVEHDR h[kBuffers];
    static char data[kBuffers][kBytes];
    int i, busy, eof = 0;
    const char* clock = getenv("CEHOST_CLOCK");
    const int stepClock = clock != NULL && strcmp(clock, "virtual") == 0;
    if (argc != 2 || (in = fopen(argv[1], "rb")) == NULL) {
        fprintf(stderr, "usage: world_play FILE.raw\n");
        return 2;
    }
    memset(&f, 0, sizeof f);
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = 2;
    f.nSamplesPerSec = 44100;
    f.wBitsPerSample = 16;
    f.nBlockAlign = 4;
    f.nAvgBytesPerSec = 44100 * 4;
    done = CreateEvent(NULL, FALSE, FALSE, NULL);
    if (waveOutOpen(&hwo, WAVE_MAPPER, &f, (DWORD_PTR)done, 0, CALLBACK_EVENT) != MMSYSERR_NOERROR)
        return 1;
    for (i = 0; i < kBuffers; ++i) {
        memset(&h[i], 0, sizeof h[i]);
        h[i].lpData = data[i];
        h[i].dwBufferLength = kBytes;
        waveOutPrepareHeader(hwo, &h[i], sizeof h[i]);
        h[i].dwFlags |= WHDR_DONE;   /* free: to be written */
    }
    for (;;) {
        busy = 0;
        for (i = 0; i < kBuffers; ++i) {
            if (!(h[i].dwFlags & WHDR_DONE)) {
                ++busy;
                continue;
            }
            if (eof)
                continue;
            h[i].dwBufferLength = (DWORD)fread(data[i], 1, kBytes, in);
            if (h[i].dwBufferLength == 0) {
                eof = 1;
                continue;
            }
            h[i].dwFlags &= ~WHDR_DONE;
            if (waveOutWrite(hwo, &h[i], sizeof h[i]) != MMSYSERR_NOERROR)
                return 1;
            ++busy;
        }
        if (eof && busy == 0)
            break;
        if (stepClock) {
            CeHostAdvanceClock(20);
            WaitForSingleObject(done, 0);
        } else {
            WaitForSingleObject(done, INFINITE);
        }
    }
    for (i = 0; i < kBuffers; ++i)
        waveOutUnprepareHeader(hwo, &h[i], sizeof h[i]);
    waveOutClose(hwo);
    CloseHandle(done);
    fclose(in);
    return 0;
}
