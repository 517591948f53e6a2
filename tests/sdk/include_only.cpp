// A C++ application that includes only the platform's <windows.h>,
// <mmsystem.h> and <mmreg.h> (and the C++ library): it plays a stream on
// device 1 by its id with a callback function, then a mono stream through
// WAVE_MAPPER, which converts it to the device's two channels, with an
// event.  (An 8-bit stereo stream would not do: the device takes it as it
// is, as it takes every 44,100 Hz stereo PCM format.)  The bytes the headset should receive go to the file named by the
// first argument.  Exit status 0 when every check passed.
#include <windows.h>
#include <mmsystem.h>
#include <mmreg.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

int g_failures = 0;
std::FILE* g_expected = nullptr;

void Check(bool ok, const char* what)
{
    if (!ok) {
        std::printf("FAILED: %s\n", what);
        ++g_failures;
    }
}

void Expect(const void* bytes, size_t n)
{
    if (g_expected != nullptr)
        std::fwrite(bytes, 1, n, g_expected);
}

// The callback function counts the headers handed back; it calls nothing
// but SetEvent, as the platform allows inside a wave callback.
struct Counted {
    LONG done;  // changed on the callback thread by InterlockedIncrement only
    HANDLE event;
};

void CALLBACK OnWave(HWAVEOUT, UINT msg, DWORD_PTR user, DWORD_PTR, DWORD_PTR)
{
    Counted* c = reinterpret_cast<Counted*>(user);
    if (msg == WOM_DONE) {
        InterlockedIncrement(&c->done);
        SetEvent(c->event);
    }
}

WAVEFORMATEX Pcm(WORD channels, WORD bits)
{
    WAVEFORMATEX f;
    std::memset(&f, 0, sizeof f);
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = channels;
    f.nSamplesPerSec = 44100;
    f.wBitsPerSample = bits;
    f.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    f.nAvgBytesPerSec = f.nSamplesPerSec * f.nBlockAlign;
    return f;
}

// Plays the buffers on the open handle and waits until each is back.
void Play(HWAVEOUT hwo, std::vector<std::vector<char> >& buffers, Counted& c, DWORD blockAlign)
{
    std::vector<WAVEHDR> hdr(buffers.size());
    DWORD written = 0;
    for (size_t i = 0; i < buffers.size(); ++i) {
        std::memset(&hdr[i], 0, sizeof hdr[i]);
        hdr[i].lpData = &buffers[i][0];
        hdr[i].dwBufferLength = static_cast<DWORD>(buffers[i].size());
        Check(waveOutPrepareHeader(hwo, &hdr[i], sizeof(WAVEHDR)) == MMSYSERR_NOERROR, "prepare");
        Check(waveOutWrite(hwo, &hdr[i], sizeof(WAVEHDR)) == MMSYSERR_NOERROR, "write");
        written += hdr[i].dwBufferLength;
    }
    while (InterlockedCompareExchange(&c.done, 0, 0) < static_cast<LONG>(buffers.size()))
        if (WaitForSingleObject(c.event, 2000) != WAIT_OBJECT_0) {
            Check(false, "every header came back");
            break;
        }
    MMTIME t;
    t.wType = TIME_SAMPLES;
    Check(waveOutGetPosition(hwo, &t, sizeof t) == MMSYSERR_NOERROR, "position");
    Check(t.wType == TIME_SAMPLES && t.u.sample == written / blockAlign, "the position is every frame written");
    for (size_t i = 0; i < hdr.size(); ++i)
        Check(waveOutUnprepareHeader(hwo, &hdr[i], sizeof(WAVEHDR)) == MMSYSERR_NOERROR, "unprepare");
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 1)
        g_expected = std::fopen(argv[1], "wb");

    WAVEOUTCAPS caps;
    Check(waveOutGetNumDevs() == 2, "two devices");
    Check(waveOutGetDevCaps(1, &caps, sizeof caps) == MMSYSERR_NOERROR, "caps of device 1");
    Check((caps.dwFormats & WAVE_FORMAT_4S16) != 0, "device 1 plays 44.1 kHz stereo 16-bit");

    // Device 1 by its id, its own format: the headset gets the very bytes.
    Counted c = {0, CreateEvent(NULL, FALSE, FALSE, NULL)};
    WAVEFORMATEX f = Pcm(2, 16);
    HWAVEOUT hwo = NULL;
    Check(waveOutOpen(&hwo, 1, &f, reinterpret_cast<DWORD_PTR>(&OnWave), reinterpret_cast<DWORD_PTR>(&c),
                      CALLBACK_FUNCTION) == MMSYSERR_NOERROR, "open device 1");
    UINT id = 0;
    Check(waveOutGetID(hwo, &id) == MMSYSERR_NOERROR && id == 1, "the handle is device 1's");
    std::vector<std::vector<char> > buffers;
    static const size_t sizes[] = {4, 17640, 400, 30000};
    unsigned seed = 1;
    for (size_t s : sizes) {
        std::vector<char> b(s);
        for (char& x : b) {
            seed = seed * 1103515245u + 12345u;
            x = static_cast<char>(seed >> 16);
        }
        Expect(&b[0], b.size());
        buffers.push_back(b);
    }
    Play(hwo, buffers, c, f.nBlockAlign);
    Check(waveOutClose(hwo) == MMSYSERR_NOERROR, "close device 1");

    // WAVE_MAPPER, mono: each sample reaches both channels unchanged.
    HANDLE ev = CreateEvent(NULL, FALSE, FALSE, NULL);
    f = Pcm(1, 16);
    Check(waveOutOpen(&hwo, WAVE_MAPPER, &f, reinterpret_cast<DWORD_PTR>(ev), 0, CALLBACK_EVENT) ==
              MMSYSERR_NOERROR, "open the mapper with one channel");
    Check(WaitForSingleObject(ev, 0) == WAIT_TIMEOUT, "no event for MM_WOM_OPEN");
    std::vector<char> mono(22050);  // 11,025 frames, the last one included in the check
    for (size_t i = 0; i < mono.size(); i += 2) {
        mono[i] = static_cast<char>(i * 7 + (i >> 8));
        mono[i + 1] = static_cast<char>(i >> 5);
        const char frame[4] = {mono[i], mono[i + 1], mono[i], mono[i + 1]};
        Expect(frame, 4);
    }
    WAVEHDR hdr;
    std::memset(&hdr, 0, sizeof hdr);
    hdr.lpData = &mono[0];
    hdr.dwBufferLength = static_cast<DWORD>(mono.size());
    Check(waveOutPrepareHeader(hwo, &hdr, sizeof hdr) == MMSYSERR_NOERROR, "prepare");
    Check(waveOutWrite(hwo, &hdr, sizeof hdr) == MMSYSERR_NOERROR, "write");
    // The one header's flags are read only after the event its return set.
    do {
        if (WaitForSingleObject(ev, 2000) != WAIT_OBJECT_0) {
            Check(false, "the header came back");
            break;
        }
    } while (!(hdr.dwFlags & WHDR_DONE));
    Check(waveOutUnprepareHeader(hwo, &hdr, sizeof hdr) == MMSYSERR_NOERROR, "unprepare");
    Check(waveOutClose(hwo) == MMSYSERR_NOERROR, "close the mapper");
    CloseHandle(ev);
    CloseHandle(c.event);
    if (g_expected != nullptr)
        std::fclose(g_expected);
    return g_failures == 0 ? 0 : 1;
}
