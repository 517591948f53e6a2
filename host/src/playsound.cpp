// PlaySound and sndPlaySound: a WAV image's PCM through the wave API's
// WAVE_MAPPER, as the platform's own sound calls go through its wave API.
// One sound at a time in the process: a new one stops the one playing
// (unless SND_NOSTOP, which then answers FALSE).  A synchronous sound plays
// on the caller's thread; an asynchronous one on a thread of its own.  Each
// waits for its header on an event its function callback sets, so no wave
// call is made inside a wave callback;
// a stop resets the sound's handle from the stopping thread, which the wave
// API allows from any thread.
//
// Locks: g_soundMutex (a leaf) guards the current sound's record and is
// never held across a wave call that waits, nor across a join.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "host/host.h"
#include "host/registry.h"
#include "host_internal.h"

namespace {

struct Sound {
    std::vector<uint8_t> format;   // WAVEFORMATEX, cbSize included
    std::vector<uint8_t> data;     // the data chunk's bytes
};

// One sound's playing: its handle while open, and whether it was told to stop.
struct Play {
    HWAVEOUT hwo = nullptr;
    bool stop = false;
};

std::mutex& g_soundMutex = *new std::mutex;
// Orders the calls that stop a sound and start one, so that only one
// asynchronous thread is ever started over a joined one.  Held across a
// join, never across a synchronous sound's playing.
std::mutex& g_callMutex = *new std::mutex;
std::shared_ptr<Play>& g_current = *new std::shared_ptr<Play>;   // the sound playing, or none
std::thread& g_asyncThread = *new std::thread;                   // an asynchronous sound's thread

uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

// A RIFF WAVE image: its "fmt " chunk (a 16-byte PCMWAVEFORMAT gets a zero
// cbSize) and its "data" chunk, a chunk cut short by the image's end taken
// as far as it goes.
bool ParseWav(const uint8_t* p, size_t n, Sound* out)
{
    if (n < 12 || std::memcmp(p, "RIFF", 4) != 0 || std::memcmp(p + 8, "WAVE", 4) != 0)
        return false;
    bool haveFormat = false, haveData = false;
    for (size_t at = 12; at + 8 <= n;) {
        const uint32_t size = Le32(p + at + 4);
        const size_t body = at + 8, avail = std::min<size_t>(size, n - body);
        if (std::memcmp(p + at, "fmt ", 4) == 0 && avail >= 16) {
            out->format.assign(p + body, p + body + std::min<size_t>(avail, 18 + 64));
            if (out->format.size() < 18)
                out->format.resize(18, 0);
            haveFormat = true;
        } else if (std::memcmp(p + at, "data", 4) == 0) {
            out->data.assign(p + body, p + body + avail);
            haveData = true;
        }
        at = body + size + (size & 1);
        if (at < body)
            break;
    }
    return haveFormat && haveData;
}

bool LoadFile(LPCWSTR name, std::vector<uint8_t>* bytes)
{
    std::string path;
    DWORD error = 0;
    if (!host::HostPath(name, &path, &error))
        return false;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

// The file an alias names: HKEY_CURRENT_USER\ControlPanel\Sounds\<alias>'s
// "Sound" value.
bool AliasFile(LPCWSTR alias, std::u16string* file)
{
    uint32_t type = 0;
    std::vector<uint8_t> data;
    if (!host::RegistryGetValue(host::RegRoot::CurrentUser, "ControlPanel\\Sounds\\" + host::Narrow(alias), "Sound",
                                &type, &data) ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    file->clear();
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        const char16_t c = static_cast<char16_t>(data[i] | data[i + 1] << 8);
        if (c == 0)
            break;
        file->push_back(c);
    }
    return !file->empty();
}

bool FindSound(LPCWSTR name, DWORD flags, Sound* sound)
{
    std::vector<uint8_t> bytes;
    if (flags & SND_MEMORY) {
        const auto* p = reinterpret_cast<const uint8_t*>(name);
        // The image is trusted, as the platform's page asks: its RIFF size says how long it is.
        return std::memcmp(p, "RIFF", 4) == 0 && ParseWav(p, 8 + static_cast<size_t>(Le32(p + 4)), sound);
    }
    std::u16string file;
    const bool alias = !(flags & SND_FILENAME) && AliasFile(name, &file);
    if (flags & SND_ALIAS && !alias)
        return false;
    const WCHAR* path = alias ? reinterpret_cast<const WCHAR*>(file.c_str()) : name;
    return LoadFile(path, &bytes) && ParseWav(bytes.data(), bytes.size(), sound);
}

// What the device's callback tells the sound's thread: the header came
// back.  The callback only sets the flag and the event, as the platform's
// waveOutProc page allows; the thread reads the header's flags only after.
struct Completion {
    HANDLE event;
    std::atomic<bool> done{false};
};

void CALLBACK SoundDone(HWAVEOUT, UINT uMsg, DWORD_PTR dwInstance, DWORD_PTR, DWORD_PTR)
{
    if (uMsg != WOM_DONE)
        return;
    auto* c = reinterpret_cast<Completion*>(dwInstance);
    c->done = true;
    SetEvent(c->event);
}

// Plays the sound to its end (or, looped, until stopped) on this thread,
// telling `opened` whether the wave device took it.
void PlayToEnd(const Sound& sound, bool loop, const std::shared_ptr<Play>& play,
               const std::function<void(bool)>& opened)
{
    Completion completion;
    completion.event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HWAVEOUT hwo = nullptr;
    auto* format = reinterpret_cast<const WAVEFORMATEX*>(sound.format.data());
    if (waveOutOpen(&hwo, WAVE_MAPPER, format, reinterpret_cast<DWORD_PTR>(&SoundDone),
                    reinterpret_cast<DWORD_PTR>(&completion), CALLBACK_FUNCTION) != MMSYSERR_NOERROR) {
        CloseHandle(completion.event);
        opened(false);
        return;
    }
    WAVEHDR header = {};
    header.lpData = reinterpret_cast<LPSTR>(const_cast<uint8_t*>(sound.data.data()));
    header.dwBufferLength = static_cast<DWORD>(sound.data.size());
    if (loop) {
        header.dwFlags = WHDR_BEGINLOOP | WHDR_ENDLOOP;
        header.dwLoops = 0xFFFFFFFFu;   // until stopped
    }
    waveOutPrepareHeader(hwo, &header, sizeof header);
    waveOutWrite(hwo, &header, sizeof header);
    opened(true);
    {
        std::lock_guard<std::mutex> lock(g_soundMutex);
        play->hwo = hwo;
        if (play->stop)
            waveOutReset(hwo);
    }
    while (!completion.done)
        WaitForSingleObject(completion.event, INFINITE);
    {
        std::lock_guard<std::mutex> lock(g_soundMutex);
        play->hwo = nullptr;
    }
    waveOutUnprepareHeader(hwo, &header, sizeof header);
    waveOutClose(hwo);
    CloseHandle(completion.event);
}

bool Playing()
{
    std::lock_guard<std::mutex> lock(g_soundMutex);
    return g_current != nullptr;
}

}  // namespace

namespace host {

// Caller holds g_callMutex.
void StopSoundsLocked()
{
    {
        std::lock_guard<std::mutex> lock(g_soundMutex);
        if (g_current) {
            g_current->stop = true;
            if (g_current->hwo)
                waveOutReset(g_current->hwo);
        }
    }
    if (g_asyncThread.joinable() && g_asyncThread.get_id() != std::this_thread::get_id())
        g_asyncThread.join();
}

void StopSounds()
{
    std::lock_guard<std::mutex> calls(g_callMutex);
    StopSoundsLocked();
}

}  // namespace host

extern "C" {

BOOL PlaySoundW(LPCWSTR pszSound, HMODULE /*hmod*/, DWORD fdwSound)
{
    if (pszSound == nullptr || (fdwSound & SND_PURGE)) {
        host::StopSounds();
        return TRUE;
    }
    if ((fdwSound & SND_RESOURCE) == SND_RESOURCE || (fdwSound & SND_ALIAS_ID) == SND_ALIAS_ID ||
        ((fdwSound & SND_LOOP) && !(fdwSound & SND_ASYNC))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if ((fdwSound & SND_NOSTOP) && Playing())
        return FALSE;
    auto sound = std::make_shared<Sound>();
    if (!FindSound(pszSound, fdwSound, sound.get()))
        return FALSE;
    std::unique_lock<std::mutex> calls(g_callMutex);
    host::StopSoundsLocked();
    auto play = std::make_shared<Play>();
    {
        std::lock_guard<std::mutex> lock(g_soundMutex);
        g_current = play;
    }
    auto finish = [play] {
        std::lock_guard<std::mutex> lock(g_soundMutex);
        if (g_current == play)
            g_current.reset();
    };
    if (!(fdwSound & SND_ASYNC)) {
        calls.unlock();
        bool played = false;
        PlayToEnd(*sound, false, play, [&played](bool ok) { played = ok; });
        finish();
        return played;
    }
    // The asynchronous sound answers once the device took it: a refusal
    // (a busy device) is FALSE here, as for a synchronous one.
    auto opened = std::make_shared<std::promise<bool>>();
    std::future<bool> answer = opened->get_future();
    const bool loop = fdwSound & SND_LOOP;
    g_asyncThread = std::thread([sound, play, loop, finish, opened] {
        PlayToEnd(*sound, loop, play, [&opened](bool ok) { opened->set_value(ok); });
        finish();
    });
    return answer.get();
}

// The platform's older call: the same sounds, the same flags.
BOOL sndPlaySoundW(LPCWSTR lpszSoundName, UINT fuSound)
{
    return PlaySoundW(lpszSoundName, nullptr, fuSound);
}

}  // extern "C"
