/* tone_c: a device application's audio back end in C, in the shape such
 * back ends have: a handful of headers circulating between the application
 * and the wave device, an event the device sets whenever one comes back,
 * writes of any size copied into the free headers, pause and restart in the
 * middle, a drain and a reset at the end.  Only the platform's headers are
 * included.
 *
 *   tone_c [EXPECTED]
 *
 * Three streams go through WAVE_MAPPER one after the other:
 *   1. 44,100 Hz stereo 16-bit PCM, which the device plays as it is;
 *   2. 22,050 Hz mono 16-bit PCM, a steady level, which the mapper converts
 *      to the device's 44,100 Hz stereo (two frames for each, both channels
 *      at that level: the converter's interpolating filter keeps 1000
 *      exactly, being within a rounding step of it);
 *   3. 44,100 Hz mono 16-bit given as WAVE_FORMAT_EXTENSIBLE with the PCM
 *      subformat, which the mapper converts by copying each sample to both
 *      channels.
 * A stream whose format the mapper refuses (WAVERR_BADFORMAT: an SDK built
 * without the mapper's converter) is skipped with a line "refused N".
 * With EXPECTED the program writes there the bytes the headset should have
 * received, so that a test can compare them with what it did receive.
 * The last line printed is "written N", the bytes handed to the wave API.
 * Exit status 0 when every check passed. */
#include <windows.h>
#include <mmsystem.h>
#include <mmreg.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define BACKEND_HEADERS 4
#define BACKEND_HEADER_BYTES 4096

static int g_failures = 0;

static void Check(int ok, const char *what)
{
    if (!ok) {
        printf("FAILED: %s\n", what);
        ++g_failures;
    }
}

/* The back end: one open device and the headers it owns. */
typedef struct Backend {
    HWAVEOUT hwo;
    HANDLE event;
    WAVEHDR hdr[BACKEND_HEADERS];
    char *data[BACKEND_HEADERS];
    int current;       /* the header being filled */
    DWORD filled;      /* bytes in it so far */
    DWORD blockAlign;
    DWORD written;     /* bytes handed to waveOutWrite */
} Backend;

/* MMSYSERR_NOERROR when the device is open and its headers prepared. */
static MMRESULT BackendOpen(Backend *b, const WAVEFORMATEX *format)
{
    MMRESULT r;
    int i;
    memset(b, 0, sizeof *b);
    b->blockAlign = format->nBlockAlign;
    b->event = CreateEvent(NULL, FALSE, FALSE, NULL);
    if (b->event == NULL)
        return MMSYSERR_NOMEM;
    r = waveOutOpen(&b->hwo, WAVE_MAPPER, format, (DWORD_PTR)b->event, 0, CALLBACK_EVENT);
    if (r != MMSYSERR_NOERROR) {
        /* The platform's text is 16-bit; its ASCII characters are printed. */
        WCHAR text[MAXERRORLENGTH];
        printf("waveOutOpen: %u, ", r);
        if (waveOutGetErrorText(r, text, MAXERRORLENGTH) == MMSYSERR_NOERROR)
            for (i = 0; text[i] != 0; ++i)
                putchar(text[i] < 0x80 ? (char)text[i] : '?');
        putchar('\n');
        CloseHandle(b->event);
        return r;
    }
    /* The device's wave API sets the event when a header comes back and at
       the close, not for the open: its first signal follows the first write. */
    Check(WaitForSingleObject(b->event, 0) == WAIT_TIMEOUT, "the open sets no event");
    for (i = 0; i < BACKEND_HEADERS; ++i) {
        b->data[i] = (char *)malloc(BACKEND_HEADER_BYTES);
        b->hdr[i].lpData = b->data[i];
        b->hdr[i].dwBufferLength = BACKEND_HEADER_BYTES;
        Check(waveOutPrepareHeader(b->hwo, &b->hdr[i], sizeof(WAVEHDR)) == MMSYSERR_NOERROR, "prepare");
        /* A prepared header the device does not own is free to fill. */
        b->hdr[i].dwFlags |= WHDR_DONE;
    }
    return MMSYSERR_NOERROR;
}

/* Waits until the current header is free again (the device sets the event
 * whenever it hands one back). */
static int BackendWaitFree(Backend *b)
{
    while (!(b->hdr[b->current].dwFlags & WHDR_DONE)) {
        if (WaitForSingleObject(b->event, 2000) != WAIT_OBJECT_0) {
            Check(0, "a header came back within 2 s");
            return 0;
        }
    }
    return 1;
}

static void BackendSubmit(Backend *b)
{
    WAVEHDR *h = &b->hdr[b->current];
    if (b->filled == 0)
        return;
    h->dwBufferLength = b->filled;
    h->dwFlags &= ~WHDR_DONE;
    Check(waveOutWrite(b->hwo, h, sizeof(WAVEHDR)) == MMSYSERR_NOERROR, "write");
    b->written += b->filled;
    b->filled = 0;
    b->current = (b->current + 1) % BACKEND_HEADERS;
}

/* Copies bytes of any count into the headers, sending each when it is full. */
static int BackendWrite(Backend *b, const void *bytes, DWORD count)
{
    const char *p = (const char *)bytes;
    while (count > 0) {
        DWORD room, n;
        if (b->filled == 0 && !BackendWaitFree(b))
            return 0;
        room = BACKEND_HEADER_BYTES - b->filled;
        n = count < room ? count : room;
        CopyMemory(b->data[b->current] + b->filled, p, n);
        b->filled += n;
        p += n;
        count -= n;
        if (b->filled == BACKEND_HEADER_BYTES)
            BackendSubmit(b);
    }
    return 1;
}

/* Sends what is left, waits until every header is back, then resets,
 * unprepares and closes. */
static void BackendClose(Backend *b)
{
    MMTIME t;
    int i, back;
    BackendSubmit(b);
    for (;;) {
        back = 0;
        for (i = 0; i < BACKEND_HEADERS; ++i)
            back += (b->hdr[i].dwFlags & WHDR_DONE) ? 1 : 0;
        if (back == BACKEND_HEADERS)
            break;
        if (WaitForSingleObject(b->event, 2000) != WAIT_OBJECT_0) {
            Check(0, "the last header came back within 2 s");
            break;
        }
    }
    ZeroMemory(&t, sizeof t);
    t.wType = TIME_BYTES;
    Check(waveOutGetPosition(b->hwo, &t, sizeof t) == MMSYSERR_NOERROR, "position");
    Check(t.wType == TIME_BYTES && t.u.cb == b->written, "the position is every byte written");
    Check(waveOutReset(b->hwo) == MMSYSERR_NOERROR, "reset");
    for (i = 0; i < BACKEND_HEADERS; ++i) {
        Check(waveOutUnprepareHeader(b->hwo, &b->hdr[i], sizeof(WAVEHDR)) == MMSYSERR_NOERROR, "unprepare");
        free(b->data[i]);
    }
    Check(waveOutClose(b->hwo) == MMSYSERR_NOERROR, "close");
    Check(WaitForSingleObject(b->event, 1000) == WAIT_OBJECT_0, "MM_WOM_CLOSE sets the event");
    CloseHandle(b->event);
}

/* What the headset should receive: 44,100 Hz stereo 16-bit frames. */
static FILE *g_expected = NULL;

static void Expect(short left, short right)
{
    unsigned char f[4];
    if (g_expected == NULL)
        return;
    f[0] = (unsigned char)(left & 0xFF);
    f[1] = (unsigned char)((left >> 8) & 0xFF);
    f[2] = (unsigned char)(right & 0xFF);
    f[3] = (unsigned char)((right >> 8) & 0xFF);
    fwrite(f, 1, 4, g_expected);
}

/* A repeatable sawtooth-like signal that reaches every byte value. */
static short Sample(DWORD i, int channel)
{
    return (short)(((i * 797u) + (DWORD)channel * 12345u) & 0xFFFFu);
}

static void PcmFormat(WAVEFORMATEX *f, WORD channels, DWORD rate)
{
    ZeroMemory(f, sizeof *f);
    f->wFormatTag = WAVE_FORMAT_PCM;
    f->nChannels = channels;
    f->nSamplesPerSec = rate;
    f->wBitsPerSample = 16;
    f->nBlockAlign = (WORD)(channels * 2);
    f->nAvgBytesPerSec = rate * f->nBlockAlign;
}

/* Writes frames in chunks of growing and shrinking size: single frames,
 * then runs longer than a header. */
static void WriteFrames(Backend *b, const short *samples, DWORD frames)
{
    static const DWORD chunks[] = {1, 3, 1, 700, 2, 5000, 64, 1};
    DWORD done = 0;
    unsigned k = 0;
    int paused = 0;
    while (done < frames) {
        DWORD n = chunks[k++ % (sizeof chunks / sizeof chunks[0])] / b->blockAlign + 1;
        if (n > frames - done)
            n = frames - done;
        BackendWrite(b, samples + done * (b->blockAlign / 2), n * b->blockAlign);
        done += n;
        if (!paused && done > frames / 2) {
            /* Pause halfway: the position stands still, then playback goes on. */
            MMTIME before, after;
            paused = 1;
            before.wType = after.wType = TIME_BYTES;
            Check(waveOutPause(b->hwo) == MMSYSERR_NOERROR, "pause");
            Check(waveOutGetPosition(b->hwo, &before, sizeof before) == MMSYSERR_NOERROR, "position");
            Sleep(50);
            Check(waveOutGetPosition(b->hwo, &after, sizeof after) == MMSYSERR_NOERROR, "position");
            Check(before.u.cb == after.u.cb, "the position stands still while paused");
            Check(waveOutRestart(b->hwo) == MMSYSERR_NOERROR, "restart");
        }
    }
}

/* Opens the mapper for stream n: 1 when it plays; 0 when the mapper refuses
 * the format, and the stream is skipped; any other failure ends the program. */
static int OpenStream(Backend *b, const WAVEFORMATEX *format, int n)
{
    MMRESULT r = BackendOpen(b, format);
    if (r == WAVERR_BADFORMAT) {
        printf("refused %d\n", n);
        return 0;
    }
    if (r != MMSYSERR_NOERROR)
        exit(2);
    return 1;
}

int main(int argc, char **argv)
{
    enum { kFrames = 11025 }; /* 250 ms at 44,100 Hz */
    WAVEFORMATEX f;
    WAVEFORMATEXTENSIBLE x;
    Backend b;
    short *s;
    DWORD i, total = 0;

    if (argc > 1 && (g_expected = fopen(argv[1], "wb")) == NULL) {
        printf("cannot write %s\n", argv[1]);
        return 2;
    }
    s = (short *)malloc(kFrames * 2 * sizeof(short));

    /* 1. The device's own format: the headset gets these very bytes. */
    PcmFormat(&f, 2, 44100);
    if (OpenStream(&b, &f, 1)) {
        for (i = 0; i < kFrames; ++i) {
            s[2 * i] = Sample(i, 0);
            s[2 * i + 1] = Sample(i, 1);
            Expect(s[2 * i], s[2 * i + 1]);
        }
        WriteFrames(&b, s, kFrames);
        BackendClose(&b);
        total += b.written;
    }

    /* 2. 22,050 Hz mono at a steady level: converted, the level stays, on
     * both channels, for twice as many frames, to the last one. */
    PcmFormat(&f, 1, 22050);
    if (OpenStream(&b, &f, 2)) {
        for (i = 0; i < kFrames / 2; ++i) {
            s[i] = 1000;
            Expect(1000, 1000);
            Expect(1000, 1000);
        }
        WriteFrames(&b, s, kFrames / 2);
        BackendClose(&b);
        total += b.written;
    }

    /* 3. The extensible record with the PCM subformat, one channel at the
     * device's rate: each sample reaches both channels unchanged. */
    ZeroMemory(&x, sizeof x);
    x.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    x.Format.nChannels = 1;
    x.Format.nSamplesPerSec = 44100;
    x.Format.wBitsPerSample = 16;
    x.Format.nBlockAlign = 2;
    x.Format.nAvgBytesPerSec = 88200;
    x.Format.cbSize = sizeof x - sizeof x.Format;
    x.Samples.wValidBitsPerSample = 16;
    x.dwChannelMask = SPEAKER_FRONT_CENTER;
    x.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    if (OpenStream(&b, &x.Format, 3)) {
        for (i = 0; i < kFrames; ++i) {
            s[i] = Sample(i, 1);
            Expect(s[i], s[i]);
        }
        WriteFrames(&b, s, kFrames);
        BackendClose(&b);
        total += b.written;
    }

    free(s);
    if (g_expected != NULL)
        fclose(g_expected);
    printf("written %lu\n", (unsigned long)total);
    return g_failures == 0 ? 0 : 1;
}
