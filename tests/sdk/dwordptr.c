/* dwordptr: a wave-out back end written the way device code is written.
 * The callback is declared with DWORD parameters, and every pointer the
 * program hands to the wave API travels as a DWORD: the player as the
 * callback's instance, each buffer slot in its header's dwUser, and each
 * header that comes back in a ring of DWORDs that the main loop refills
 * from.  On the device, and against a 32-bit SDK, a pointer fits a DWORD and
 * the program is correct; against a 64-bit SDK the casts cut the pointers
 * to 32 bits (the compiler warns) and the program fails.
 *
 * It streams NUM_BUFFERS buffers of 20 ms (16-bit stereo at 44,100 Hz,
 * integer noise, so the bytes are the same on every machine) through
 * WAVE_MAPPER with NUM_HEADERS headers going round through the callback.
 *
 *   dwordptr [EXPECTED]
 *
 * With EXPECTED the program writes there the bytes it wrote, in order, which
 * is what the headset should receive.  The last line printed is "written N".
 * Exit status 0 when every call and every check succeeded, 2 when
 * waveOutOpen failed.
 */
#include <windows.h>
#include <mmsystem.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define NUM_HEADERS 4
#define NUM_BUFFERS 24
#define FRAMES_PER_BUFFER 882
#define CHANNELS 2

typedef struct {
    WAVEHDR hdr;
    short samples[FRAMES_PER_BUFFER * CHANNELS];
} SLOT;

typedef struct {
    HWAVEOUT hwo;
    SLOT slots[NUM_HEADERS];
    DWORD doneRing[NUM_HEADERS]; /* headers given back, as DWORDs */
    LONG doneIn;                 /* advanced by the callback */
    LONG opened;
    LONG closed;
    LONG strangers;              /* headers that are not one of ours */
} PLAYER;

static DWORD g_noise = 1;
static FILE *g_expected = NULL;

static LONG Read(LONG *value)
{
    return InterlockedCompareExchange(value, 0, 0);
}

/* Runs on the thread that completes the message, often with the driver's
 * lock held: it only records, and never calls the wave API. */
static void CALLBACK WaveOutProc(HWAVEOUT hwo, UINT uMsg, DWORD dwInstance, DWORD dwParam1, DWORD dwParam2)
{
    PLAYER *player = (PLAYER *)dwInstance;
    WAVEHDR *hdr;
    SLOT *slot;
    (void)hwo;
    (void)dwParam2;
    switch (uMsg) {
    case WOM_OPEN:
        InterlockedIncrement(&player->opened);
        break;
    case WOM_CLOSE:
        InterlockedIncrement(&player->closed);
        break;
    case WOM_DONE:
        hdr = (WAVEHDR *)dwParam1;
        slot = (SLOT *)hdr->dwUser;
        if (&slot->hdr != hdr) {
            InterlockedIncrement(&player->strangers);
            break;
        }
        player->doneRing[Read(&player->doneIn) % NUM_HEADERS] = (DWORD)hdr;
        InterlockedIncrement(&player->doneIn);
        break;
    }
}

static void Fill(SLOT *slot)
{
    int i;
    for (i = 0; i < FRAMES_PER_BUFFER * CHANNELS; ++i) {
        g_noise = g_noise * 1103515245u + 12345u;
        slot->samples[i] = (short)(g_noise >> 16);
    }
    /* The device is little-endian, as are the machines the SDK runs on. */
    if (g_expected != NULL)
        fwrite(slot->samples, 1, sizeof slot->samples, g_expected);
}

static int Fail(const char *call, MMRESULT result)
{
    printf("%s: %u\n", call, (unsigned)result);
    return 1;
}

/* Streams the buffers through an open device; 0 when every call succeeded. */
static int Play(PLAYER *player, DWORD *written)
{
    MMRESULT mr;
    LONG doneOut = 0;
    int queued = 0, filled = 0, i, waits;

    for (i = 0; i < NUM_HEADERS; ++i) {
        SLOT *slot = &player->slots[i];
        slot->hdr.lpData = (LPSTR)slot->samples;
        slot->hdr.dwBufferLength = sizeof slot->samples;
        slot->hdr.dwUser = (DWORD)slot;
        mr = waveOutPrepareHeader(player->hwo, &slot->hdr, sizeof(WAVEHDR));
        if (mr != MMSYSERR_NOERROR)
            return Fail("waveOutPrepareHeader", mr);
        Fill(slot);
        mr = waveOutWrite(player->hwo, &slot->hdr, sizeof(WAVEHDR));
        if (mr != MMSYSERR_NOERROR)
            return Fail("waveOutWrite", mr);
        *written += slot->hdr.dwBufferLength;
        ++queued;
        ++filled;
    }

    /* Each header that comes back is refilled and written again until the
     * stream is out; then the rest drain. */
    while (queued > 0) {
        WAVEHDR *hdr;
        for (waits = 0; doneOut == Read(&player->doneIn); ++waits) {
            if (waits == 2000) {
                printf("no header came back within 2 s\n");
                return 1;
            }
            Sleep(1);
        }
        hdr = (WAVEHDR *)player->doneRing[doneOut % NUM_HEADERS];
        ++doneOut;
        --queued;
        if ((hdr->dwFlags & WHDR_DONE) == 0) {
            printf("a header came back without WHDR_DONE\n");
            return 1;
        }
        if (filled < NUM_BUFFERS) {
            Fill((SLOT *)hdr->dwUser);
            mr = waveOutWrite(player->hwo, hdr, sizeof(WAVEHDR));
            if (mr != MMSYSERR_NOERROR)
                return Fail("waveOutWrite", mr);
            *written += hdr->dwBufferLength;
            ++queued;
            ++filled;
        }
    }

    for (i = 0; i < NUM_HEADERS; ++i) {
        mr = waveOutUnprepareHeader(player->hwo, &player->slots[i].hdr, sizeof(WAVEHDR));
        if (mr != MMSYSERR_NOERROR)
            return Fail("waveOutUnprepareHeader", mr);
    }
    return 0;
}

int main(int argc, char **argv)
{
    PLAYER *player;
    WAVEFORMATEX wfx;
    MMRESULT mr;
    DWORD written = 0;
    int failed;

    if (argc > 1 && (g_expected = fopen(argv[1], "wb")) == NULL) {
        printf("cannot write %s\n", argv[1]);
        return 1;
    }
    player = (PLAYER *)calloc(1, sizeof(PLAYER));

    memset(&wfx, 0, sizeof wfx);
    wfx.wFormatTag = WAVE_FORMAT_PCM;
    wfx.nChannels = CHANNELS;
    wfx.nSamplesPerSec = 44100;
    wfx.wBitsPerSample = 16;
    wfx.nBlockAlign = CHANNELS * 2;
    wfx.nAvgBytesPerSec = wfx.nSamplesPerSec * wfx.nBlockAlign;

    mr = waveOutOpen(&player->hwo, WAVE_MAPPER, &wfx, (DWORD)WaveOutProc, (DWORD)player, CALLBACK_FUNCTION);
    if (mr != MMSYSERR_NOERROR) {
        Fail("waveOutOpen", mr);
        free(player);
        if (g_expected != NULL)
            fclose(g_expected);
        return 2;
    }
    failed = Play(player, &written);
    if (failed)
        waveOutReset(player->hwo);
    mr = waveOutClose(player->hwo);
    if (mr != MMSYSERR_NOERROR)
        failed = Fail("waveOutClose", mr);

    printf("opened %ld\nclosed %ld\nstrangers %ld\nwritten %lu\n", (long)Read(&player->opened),
           (long)Read(&player->closed), (long)Read(&player->strangers), (unsigned long)written);
    if (Read(&player->opened) != 1 || Read(&player->closed) != 1 || Read(&player->strangers) != 0)
        failed = 1;
    free(player);
    if (g_expected != NULL)
        fclose(g_expected);
    return failed;
}
