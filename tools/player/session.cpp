// The player's run.
//
// Boot: the registry gets the driver's entry and its three pacing values
// (defaults, then the .reg file, then --set); the device manager activates
// the entry, which loads the driver library and registers it with the wave
// API behind device 0; the Bluetooth stand-in's link comes up after the
// configured delay, and the driver's link-up handling makes its device the
// preferred one.  Only then does the player open WAVE_MAPPER, so the audio
// reaches the headset only through that preference.
//
// Playing: the player keeps N buffers of B bytes.  It writes them all, and
// every buffer that comes back is filled with the next bytes of the sound and
// written again, either from the MM_WOM_DONE callback itself (CALLBACK_FUNCTION)
// or by the main thread woken by an event (CALLBACK_EVENT).  Timed actions
// (link changes, pauses, a reset) happen at their times from the first write.
// On the real clock the main thread sleeps between them; with --fast it
// advances the host's virtual clock one timer period at a time, which fires
// the ticks on the timer thread exactly as the real clock would, only sooner.
//
// Threads and locks: the callback runs on the timer thread (or, during
// waveOutReset, on the main thread) with the driver's stream lock held.  The
// player's own mutex is only ever taken for a few statements and never held
// across a wave call, so it cannot close a cycle with the stream lock.  The
// order of buffers in the queue must follow the order of the sound: while the
// main thread is between taking a chunk of the sound and writing it, a buffer
// that comes back is set aside (deferred) instead of being refilled by the
// callback, and the main thread writes it afterwards.
#include "session.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "analysis.h"
#include "audio.h"
#include "diagnostics.h"
#include "host/btstandin.h"
#include "host/clock.h"
#include "host/devicemanager.h"
#include "host/host.h"
#include "host/registry.h"
#include "host/wave.h"
#include "outfile.h"
#include "host/platform.h"
#include "progress.h"
#include "registry_setup.h"
#include "report.h"
#include "sinks.h"

namespace player {
namespace {

// The one format the device plays: 16-bit stereo PCM at 44,100 Hz.
WAVEFORMATEX DeviceFormat()
{
    WAVEFORMATEX d{};
    d.wFormatTag = WAVE_FORMAT_PCM;
    d.nChannels = kDeviceChannels;
    d.nSamplesPerSec = kDeviceRate;
    d.wBitsPerSample = 16;
    d.nBlockAlign = kDeviceFrameBytes;
    d.nAvgBytesPerSec = kDeviceRate * kDeviceFrameBytes;
    return d;
}

// Playback that makes no progress for this long (on the playback clock,
// outside pauses) is given up.
const double kStallSeconds = 5.0;

// The number of the signal that asked the player to stop, or 0.
volatile std::sig_atomic_t g_interrupted = 0;
void OnInterrupt(int signal)
{
    g_interrupted = signal;
}

// Something that ends the run, with its exit code.
struct Failure {
    int code;
    std::string message;
};

Failure Interrupted()
{
    int signal = g_interrupted;
    return Failure{kExitSignal + signal, signal == SIGINT ? std::string("interrupted")
                                                          : std::string("stopped by ") + (signal == SIGHUP ? "SIGHUP"
                                                                                          : signal == SIGTERM ? "SIGTERM"
                                                                                                              : "a signal")};
}

uint64_t Counter()
{
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return static_cast<uint64_t>(c.QuadPart);
}

uint64_t Frequency()
{
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<uint64_t>(f.QuadPart);
}

HWAVEOUT MapperHandle()
{
    return reinterpret_cast<HWAVEOUT>(static_cast<uintptr_t>(WAVE_MAPPER));
}

std::string DeviceName(UINT id)
{
    WAVEOUTCAPS caps{};
    if (waveOutGetDevCaps(id, &caps, sizeof caps) != MMSYSERR_NOERROR)
        return "?";
    WCHAR name[33] = {};
    std::memcpy(name, caps.szPname, sizeof caps.szPname);
    return host::Narrow(name);
}

// The mapper's preferred device as an application asks for it.
std::string PreferredDescription()
{
    UINT id = 0;
    DWORD flags = 0;
    if (waveOutMessage(MapperHandle(), DRVM_MAPPER_PREFERRED_GET, reinterpret_cast<DWORD_PTR>(&id),
                       reinterpret_cast<DWORD_PTR>(&flags)) != MMSYSERR_NOERROR)
        return "preferred device unknown";
    return "preferred device " + std::to_string(id) + " (" + DeviceName(id) + ")";
}

std::string Seconds(double s)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f s", s);
    return buf;
}

// One of the application's buffers.
struct Slot {
    WAVEHDR hdr{};              // handed to the wave API; dwUser holds the slot's index
    std::vector<char> data;     // the buffer's bytes
    uint64_t srcOffset = 0;     // where in the sound its bytes come from
    uint32_t length = 0;        // bytes written with it
    uint32_t recorded = 0;      // bytes the driver had consumed when it came back
    bool queued = false;        // written and not yet back
};

class Player {
public:
    explicit Player(const Options& o) : o_(o) {}
    ~Player() { Teardown(); }
    int Run();

private:
    void LoadInput();
    void CreateOutputs();
    void Boot();
    void RaiseLink(uint32_t code, const std::string& what);
    void NegotiateFormat();
    void OpenDevice();
    void PrepareBuffers();
    void Play();
    void RunAction(const TimedAction& a);
    void Reset();
    void FinishPlayback();
    void BuildReport(bool failed = false);
    void WriteOutputs();
    void Teardown();
    int Fail(const Failure& f);
    FILE* ReportStream() const { return o_.StandardOutputTaken() ? stderr : stdout; }

    // Buffers.
    static void CALLBACK WaveCallback(HDRVR, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2);
    void OnDone(WAVEHDR* h);
    void TakeChunkLocked(Slot* s);
    bool WriteSlot(Slot* s, std::string* error);
    void MainWrite(std::deque<Slot*> todo);
    std::deque<Slot*> ScanReturned();
    bool DoneLocked() const { return cursor_ >= total_ && outstanding_ == 0; }

    // Clock.
    double PlaySeconds() const;
    void WaitOrAdvance(double untilSeconds);
    void Log(PlayEvent::Kind kind, uint64_t counter, int64_t bytes = 0);
    void Happen(const std::string& what, uint64_t counter = 0);
    uint64_t Position();

    const Options& o_;
    DecodedAudio source_;
    std::vector<uint8_t> sound_;      // what is played, in the device's format
    std::vector<uint8_t> expected_;   // what the headset should receive
    Report report_;

    // Outputs.
    OutputFile wavFile_, sbcFile_, csvFile_, jsonFile_, plotFile_;
    std::unique_ptr<WavSink> wav_;
    std::unique_ptr<SbcSink> sbc_;
    CaptureSink capture_;

    // Host.
    bool booted_ = false;
    host::DeviceHandle device_ = 0;
    HWAVEOUT hwo_ = nullptr;
    HANDLE event_ = nullptr;
    uint64_t frequency_ = 1;
    uint32_t period_ = kDefaultTimer;   // ms, for the fast mode's steps

    // Buffers and the sound's cursor, under mu_.
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::unique_ptr<Slot>> slots_;
    const uint8_t* stream_ = nullptr;
    uint64_t total_ = 0;              // bytes of the sound to write
    uint64_t cursor_ = 0;             // next byte of the sound to write
    unsigned outstanding_ = 0;        // buffers written and not back
    uint64_t returned_ = 0;           // buffers that came back
    bool mainBusy_ = false;           // the main thread is taking and writing chunks
    bool resetting_ = false;          // waveOutReset in progress
    bool closing_ = false;            // no more writes at all
    std::deque<Slot*> deferred_;      // came back while the main thread was busy
    std::vector<Slot*> resetReturned_;
    std::atomic<uint64_t> bytesWritten_{0};
    std::string callbackError_;       // a write from the callback failed
    std::atomic<bool> sawOpen_{false}, sawClose_{false};   // set by the callback

    // Timeline, under logMu_.
    std::mutex logMu_;
    std::vector<PlayEvent> events_;
    std::vector<std::pair<uint64_t, std::string>> happenings_;
    std::string configLine_;
    unsigned configLines_ = 0;

    uint64_t startCounter_ = 0;
    bool started_ = false;
    std::chrono::steady_clock::time_point startWall_;
    uint64_t startVirtualNs_ = 0;
    double endWall_ = 0;
    uint64_t endCounter_ = 0;
    uint64_t positionBase_ = 0;   // sound offset where the driver's position 0 stands
    bool paused_ = false;
};

// ---- Input and outputs ----------------------------------------------------------

void Player::LoadInput()
{
    std::string error;
    if (o_.input.empty()) {
        source_ = BuiltInSound();
    } else if (!LoadAudioFile(o_.input, &source_, &error)) {
        throw Failure{kExitInput, error};
    }
    report_.source = source_.origin;
    report_.sourceFormat = source_.format + ", " + std::to_string(source_.rate) + " Hz, " +
                           std::to_string(source_.channels) + (source_.channels == 1 ? " channel" : " channels") +
                           ", " + std::to_string(source_.Frames()) + " frames";
    report_.notes = source_.notes;
}

void Player::CreateOutputs()
{
    struct Want {
        const std::string* path;
        OutputFile* file;
    } wants[] = {{&o_.wavOut, &wavFile_}, {&o_.sbcOut, &sbcFile_}, {&o_.csvOut, &csvFile_},
                 {&o_.jsonOut, &jsonFile_}, {&o_.plotOut, &plotFile_}};
    // Two outputs with one name, or an output over the input, would lose data.
    for (size_t i = 0; i < 5; ++i) {
        if (wants[i].path->empty())
            continue;
        if (!o_.input.empty() && *wants[i].path == o_.input)
            throw Failure{kExitUsage, "output '" + *wants[i].path + "' would overwrite the input file"};
        for (size_t j = i + 1; j < 5; ++j)
            if (*wants[i].path == *wants[j].path)
                throw Failure{kExitUsage, "'" + *wants[i].path + "' is named for two outputs"};
    }
    std::string error;
    for (const Want& w : wants)
        if (!w.path->empty() && !w.file->Create(*w.path, &error))
            throw Failure{kExitOutput, error};
    if (wavFile_.IsOpen()) {
        wav_.reset(new WavSink(&wavFile_));
        if (!wav_->Open(&error))
            throw Failure{kExitOutput, error};
    }
    if (sbcFile_.IsOpen()) {
        sbc_.reset(new SbcSink(&sbcFile_));
        if (!sbc_->Open(&error))
            throw Failure{kExitOutput, error};
    }
}

// ---- Boot ---------------------------------------------------------------------------

void Player::Boot()
{
    host::UseClock(o_.fast ? host::ClockKind::Virtual : host::ClockKind::Real);
    frequency_ = Frequency();
    if (!o_.driverDir.empty())
        host::SetDriverDirectory(o_.driverDir);

    std::string error;
    RegistrySetup registry;
    bool registryOk = SetUpRegistry(o_, &registry, &error);
    for (const std::string& w : registry.warnings) {
        ConsoleLine(stderr, "btwav-play: warning: " + w);
        report_.warnings.push_back(w);
    }
    if (!registryOk)
        throw Failure{kExitRegistry, error};
    period_ = registry.timerMs;

    diagnostics::Start(stderr, o_.debug, o_.trace, Counter(), frequency_);
    host::SetDebugEcho([this](const std::string& line) {
        diagnostics::DebugLine(line);
        PacingConfig c;
        if (!ParseConfigLine(line, &c))
            return;
        uint64_t now = Counter();
        std::lock_guard<std::mutex> lock(logMu_);
        if (configLine_.empty()) {
            configLine_ = line;
            while (!configLine_.empty() && (configLine_.back() == '\n' || configLine_.back() == '\r'))
                configLine_.pop_back();
        }
        ++configLines_;
        events_.push_back({PlayEvent::Init, now, 0});
    });
    host::SetTickObserver([this](uint64_t counter) {
        diagnostics::NameThisThread("timer");
        Log(PlayEvent::Tick, counter);
    });
    btstandin::AddSink([this](const btstandin::Packet& p) {
        if (p.audio.empty())
            return;
        capture_.Take(p.audio.data(), p.audio.size());
        if (wav_)
            wav_->Take(p.audio.data(), p.audio.size());
        if (sbc_)
            sbc_->Take(p.audio.data(), p.audio.size());
    });
    booted_ = true;

    device_ = host::ActivateDevice(kDriverKey, &error);
    if (device_ == 0)
        throw Failure{kExitPlayback, "cannot start the driver: " + error};

    // The link comes up after its delay, as a headset connecting would.
    if (o_.fast) {
        host::AdvanceVirtualMs(o_.linkDelayMs);
    } else {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(o_.linkDelayMs);
        while (std::chrono::steady_clock::now() < until) {
            if (g_interrupted)
                throw Interrupted();
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
                until - std::chrono::steady_clock::now(), std::chrono::milliseconds(50)));
        }
    }
    RaiseLink(BT_EVENT_LINK_UP, "link up");
}

void Player::RaiseLink(uint32_t code, const std::string& what)
{
    btstandin::RaiseEvent(code);
    btstandin::WaitForEvents();
    Happen(what + ", " + PreferredDescription());
}

// ---- Format and device ------------------------------------------------------------

void Player::NegotiateFormat()
{
    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = static_cast<WORD>(source_.channels);
    f.nSamplesPerSec = source_.rate;
    f.wBitsPerSample = 16;
    f.nBlockAlign = static_cast<WORD>(source_.channels * 2);
    f.nAvgBytesPerSec = source_.rate * f.nBlockAlign;
    // WAVE_FORMAT_DIRECT asks the preferred device itself: the mapper would
    // accept any format it can convert, and the player converts on its own.
    MMRESULT q = source_.channels > 0xFFFF
                     ? static_cast<MMRESULT>(WAVERR_BADFORMAT)
                     : waveOutOpen(nullptr, WAVE_MAPPER, &f, 0, 0, WAVE_FORMAT_QUERY | WAVE_FORMAT_DIRECT);
    if (q == MMSYSERR_NOERROR) {
        sound_.resize(source_.samples.size() * 2);
        std::memcpy(sound_.data(), source_.samples.data(), sound_.size());
    } else if (q == WAVERR_BADFORMAT) {
        report_.queryRefused = true;
        std::vector<int16_t> converted;
        std::string note, error;
        if (!ConvertToDevice(source_, &converted, &note, &error))
            throw Failure{kExitInput, error + " (the device refused " + std::to_string(source_.rate) + " Hz, " +
                                          std::to_string(source_.channels) + " channels)"};
        WAVEFORMATEX d = DeviceFormat();
        MMRESULT q2 = waveOutOpen(nullptr, WAVE_MAPPER, &d, 0, 0, WAVE_FORMAT_QUERY);
        if (q2 != MMSYSERR_NOERROR)
            throw Failure{kExitPlayback, "the device refuses 16-bit stereo 44100 Hz as well (result " +
                                             std::to_string(q2) + ")"};
        report_.converted = true;
        report_.conversion = note;
        sound_.resize(converted.size() * 2);
        std::memcpy(sound_.data(), converted.data(), sound_.size());
    } else {
        throw Failure{kExitPlayback, "WAVE_FORMAT_QUERY on WAVE_MAPPER failed with result " + std::to_string(q)};
    }
    source_.samples.clear();
    source_.samples.shrink_to_fit();
    if (sound_.empty())
        throw Failure{kExitInput, "'" + report_.source + "' has no audio left after conversion"};

    // What the headset should get: the sound once, or once per loop pass.
    // Pauses, link changes and a reset (after which playing goes on from
    // where it stood) change nothing in it.
    unsigned copies = o_.loops ? o_.loops : 1;
    expected_.reserve(sound_.size() * copies);
    for (unsigned i = 0; i < copies; ++i)
        expected_.insert(expected_.end(), sound_.begin(), sound_.end());
}

void Player::OpenDevice()
{
    WAVEFORMATEX d = DeviceFormat();
    MMRESULT r;
    if (o_.refill == Refill::Event) {
        event_ = host::CreateEvent(false, false);
        r = waveOutOpen(&hwo_, WAVE_MAPPER, &d, reinterpret_cast<DWORD_PTR>(event_), 0, CALLBACK_EVENT);
    } else {
        r = waveOutOpen(&hwo_, WAVE_MAPPER, &d, reinterpret_cast<DWORD_PTR>(&Player::WaveCallback),
                        reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION);
    }
    if (r != MMSYSERR_NOERROR) {
        hwo_ = nullptr;
        throw Failure{kExitPlayback, "waveOutOpen(WAVE_MAPPER) failed with result " + std::to_string(r)};
    }
    std::string what = "opened WAVE_MAPPER, " + PreferredDescription();
    if (o_.refill == Refill::Callback)
        what += sawOpen_ ? ", MM_WOM_OPEN received" : ", no MM_WOM_OPEN";
    Happen(what);
}

void Player::PrepareBuffers()
{
    stream_ = sound_.data();
    total_ = sound_.size();
    // A loop needs the whole sound queued at once: its buffers are rewound,
    // not handed back, until the last pass.
    size_t count = o_.loops ? static_cast<size_t>((total_ + o_.bufferBytes - 1) / o_.bufferBytes) : o_.buffers;
    for (size_t i = 0; i < count; ++i) {
        std::unique_ptr<Slot> s(new Slot);
        s->data.resize(o_.bufferBytes);
        s->hdr.lpData = s->data.data();
        s->hdr.dwBufferLength = o_.bufferBytes;
        s->hdr.dwUser = i;
        MMRESULT r = waveOutPrepareHeader(hwo_, &s->hdr, sizeof(WAVEHDR));
        if (r != MMSYSERR_NOERROR)
            throw Failure{kExitPlayback, "waveOutPrepareHeader failed with result " + std::to_string(r)};
        slots_.push_back(std::move(s));
    }
    report_.buffers = static_cast<unsigned>(count);
    report_.bufferBytes = o_.bufferBytes;
}

// ---- Buffers --------------------------------------------------------------------------

void CALLBACK Player::WaveCallback(HDRVR, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR)
{
    Player* self = reinterpret_cast<Player*>(instance);
    if (msg == MM_WOM_DONE)
        self->OnDone(reinterpret_cast<WAVEHDR*>(p1));
    else if (msg == MM_WOM_OPEN)
        self->sawOpen_ = true;
    else if (msg == MM_WOM_CLOSE)
        self->sawClose_ = true;
}

// Caller holds mu_.
void Player::TakeChunkLocked(Slot* s)
{
    uint64_t n = std::min<uint64_t>(o_.bufferBytes, total_ - cursor_);
    std::memcpy(s->data.data(), stream_ + cursor_, n);
    s->srcOffset = cursor_;
    s->length = static_cast<uint32_t>(n);
    s->recorded = 0;
    s->queued = true;
    cursor_ += n;
    ++outstanding_;
}

bool Player::WriteSlot(Slot* s, std::string* error)
{
    WAVEHDR& h = s->hdr;
    h.dwBufferLength = s->length;
    h.dwFlags &= ~static_cast<DWORD>(WHDR_DONE | WHDR_BEGINLOOP | WHDR_ENDLOOP);
    h.dwLoops = 0;
    int64_t plays = 1;
    if (o_.loops) {
        plays = o_.loops;
        if (s->srcOffset == 0) {
            h.dwFlags |= WHDR_BEGINLOOP;
            h.dwLoops = o_.loops;
        }
        if (s->srcOffset + s->length == total_)
            h.dwFlags |= WHDR_ENDLOOP;
    }
    uint64_t c = Counter();
    if (!started_) {
        started_ = true;
        startCounter_ = c;
        startWall_ = std::chrono::steady_clock::now();
        if (o_.fast)
            startVirtualNs_ = host::VirtualNowNs();
    }
    Log(PlayEvent::Queued, c, plays * s->length);
    MMRESULT r = waveOutWrite(hwo_, &h, sizeof(WAVEHDR));
    if (r != MMSYSERR_NOERROR) {
        Log(PlayEvent::Queued, c, -plays * s->length);
        std::lock_guard<std::mutex> lock(mu_);
        s->queued = false;
        --outstanding_;
        *error = "waveOutWrite failed with result " + std::to_string(r);
        return false;
    }
    bytesWritten_ += s->length;
    return true;
}

// Called with the driver's stream lock held, on the timer thread or, during
// waveOutReset, on the main thread.
void Player::OnDone(WAVEHDR* h)
{
    Slot* s = slots_[h->dwUser].get();
    bool write = false;
    {
        std::lock_guard<std::mutex> lock(mu_);
        s->queued = false;
        s->recorded = h->dwBytesRecorded;
        --outstanding_;
        ++returned_;
        if (resetting_)
            resetReturned_.push_back(s);
        else if (closing_ || cursor_ >= total_)
            ;   // nothing more to play with it
        else if (mainBusy_)
            deferred_.push_back(s);
        else {
            TakeChunkLocked(s);
            write = true;
        }
    }
    if (write) {
        std::string error;
        if (!WriteSlot(s, &error)) {
            std::lock_guard<std::mutex> lock(mu_);
            callbackError_ = error;
        }
    }
    cv_.notify_all();
}

// CALLBACK_EVENT: the buffers that came back since the last look.
std::deque<Slot*> Player::ScanReturned()
{
    std::deque<Slot*> back;
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& up : slots_) {
        Slot* s = up.get();
        // As an application does with CALLBACK_EVENT: a buffer is back when
        // it is done and no longer queued.  The driver may be updating
        // another header meanwhile, so the word is read once, whole.
        DWORD flags = __atomic_load_n(&s->hdr.dwFlags, __ATOMIC_ACQUIRE);
        if (s->queued && (flags & WHDR_DONE) && !(flags & WHDR_INQUEUE)) {
            s->queued = false;
            s->recorded = s->hdr.dwBytesRecorded;
            --outstanding_;
            ++returned_;
            if (resetting_)
                resetReturned_.push_back(s);
            else
                back.push_back(s);
        }
    }
    // Refill in the order the buffers were played.
    std::sort(back.begin(), back.end(), [](Slot* a, Slot* b) { return a->srcOffset < b->srcOffset; });
    return back;
}

// Fills and writes buffers from the main thread, then any that came back
// meanwhile.
void Player::MainWrite(std::deque<Slot*> todo)
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        mainBusy_ = true;
    }
    for (;;) {
        Slot* s = nullptr;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (todo.empty())
                todo.swap(deferred_);
            if (todo.empty() || closing_) {
                mainBusy_ = false;
                return;
            }
            s = todo.front();
            todo.pop_front();
            if (cursor_ >= total_)
                continue;
            TakeChunkLocked(s);
        }
        std::string error;
        if (!WriteSlot(s, &error)) {
            std::lock_guard<std::mutex> lock(mu_);
            mainBusy_ = false;
            throw Failure{kExitPlayback, error};
        }
    }
}

// ---- Clock --------------------------------------------------------------------------

void Player::Log(PlayEvent::Kind kind, uint64_t counter, int64_t bytes)
{
    std::lock_guard<std::mutex> lock(logMu_);
    events_.push_back({kind, counter, bytes});
}

void Player::Happen(const std::string& what, uint64_t counter)
{
    std::lock_guard<std::mutex> lock(logMu_);
    happenings_.emplace_back(counter ? counter : Counter(), what);
}

double Player::PlaySeconds() const
{
    if (o_.fast)
        return static_cast<double>(host::VirtualNowNs() - startVirtualNs_) / 1e9;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - startWall_).count();
}

// Lets playback run until `untilSeconds` of playback time, or less: on the
// real clock until something comes back (at most 50 ms), on the virtual clock
// by at most one timer period.
void Player::WaitOrAdvance(double untilSeconds)
{
    if (o_.fast) {
        uint64_t now = host::VirtualNowNs();
        uint64_t target = startVirtualNs_ + static_cast<uint64_t>(std::llround(untilSeconds * 1e9));
        uint64_t step = target > now ? target - now : 1000000;
        host::AdvanceVirtualNs(std::min<uint64_t>(step, period_ * 1000000ull));
        return;
    }
    double wait = std::min(std::max(0.0, untilSeconds - PlaySeconds()), 0.05);
    if (o_.refill == Refill::Event) {
        host::WaitForEvent(event_, static_cast<uint32_t>(wait * 1000.0) + 1);
        return;
    }
    std::unique_lock<std::mutex> lock(mu_);
    uint64_t seen = returned_;
    cv_.wait_for(lock, std::chrono::duration<double>(wait),
                 [&] { return returned_ != seen || !callbackError_.empty(); });
}

uint64_t Player::Position()
{
    MMTIME t{};
    t.wType = TIME_BYTES;
    if (waveOutGetPosition(hwo_, &t, sizeof t) != MMSYSERR_NOERROR || t.wType != TIME_BYTES)
        return 0;
    return t.u.cb;
}

// ---- Playing ----------------------------------------------------------------------------

void Player::RunAction(const TimedAction& a)
{
    switch (a.kind) {
    case TimedAction::LinkDown:
        RaiseLink(BT_EVENT_LINK_DOWN, "link down");
        break;
    case TimedAction::LinkBack:
        RaiseLink(BT_EVENT_LINK_UP, "link back up");
        break;
    case TimedAction::Pause: {
        MMRESULT r = waveOutPause(hwo_);
        if (r != MMSYSERR_NOERROR)
            throw Failure{kExitPlayback, "waveOutPause failed with result " + std::to_string(r)};
        paused_ = true;
        Happen("pause for " + std::to_string(a.durationMs) + " ms");
        break;
    }
    case TimedAction::Reset:
        Reset();
        break;
    }
}

void Player::Reset()
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        resetting_ = true;
        mainBusy_ = true;
        resetReturned_.clear();
    }
    uint64_t before = Counter();
    MMRESULT r = waveOutReset(hwo_);
    uint64_t after = Counter();
    if (r != MMSYSERR_NOERROR)
        throw Failure{kExitPlayback, "waveOutReset failed with result " + std::to_string(r)};
    // The driver rebased its clock inside the call.
    Log(PlayEvent::Rebase, before + (after - before) / 2);
    if (o_.refill == Refill::Event)
        ScanReturned();

    // Every buffer is back, each with the bytes the driver had taken from it:
    // the sound stands at the first one that was not taken whole.
    std::deque<Slot*> todo;
    uint64_t resume;
    int64_t withdrawn = 0;
    {
        std::lock_guard<std::mutex> lock(mu_);
        resume = cursor_;
        for (Slot* s : resetReturned_) {
            if (s->recorded < s->length)
                resume = std::min<uint64_t>(resume, s->srcOffset + s->recorded);
            withdrawn += static_cast<int64_t>(s->length) - std::min<int64_t>(s->recorded, s->length);
        }
        cursor_ = resume;
        positionBase_ = resume;
        resetting_ = false;
        for (Slot* s : resetReturned_)
            todo.push_back(s);
        for (Slot* s : deferred_)
            todo.push_back(s);
        deferred_.clear();
        std::sort(todo.begin(), todo.end(), [](Slot* a, Slot* b) { return a->srcOffset < b->srcOffset; });
    }
    Log(PlayEvent::Queued, after, -withdrawn);
    Happen("reset at byte " + std::to_string(resume) + " of the sound; playing on from there", before);
    MainWrite(std::move(todo));
}

void Player::Play()
{
    std::deque<Slot*> all;
    for (auto& s : slots_)
        all.push_back(s.get());
    MainWrite(std::move(all));

    // The actions, with each pause's end as an action of its own.
    struct Due {
        double at;
        TimedAction action;
        bool restart;
    };
    std::vector<Due> due;
    for (const TimedAction& a : o_.actions) {
        due.push_back({a.atMs / 1000.0, a, false});
        if (a.kind == TimedAction::Pause)
            due.push_back({(a.atMs + a.durationMs) / 1000.0, a, true});
    }
    std::stable_sort(due.begin(), due.end(), [](const Due& a, const Due& b) { return a.at < b.at; });
    size_t next = 0;

    const bool terminal = isatty(STDERR_FILENO) != 0;
    Progress progress(o_.quiet ? nullptr : stderr, terminal, static_cast<double>(expected_.size()) / kDeviceBytesPerSecond);
    double lastProgressAt = -1;
    uint64_t lastActivity = 0;
    double lastActivityAt = 0;

    for (;;) {
        if (g_interrupted)
            throw Interrupted();
        if (o_.refill == Refill::Event)
            MainWrite(ScanReturned());
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (!callbackError_.empty())
                throw Failure{kExitPlayback, callbackError_};
            if (DoneLocked() && !paused_)
                break;
        }
        double now = PlaySeconds();
        while (next < due.size() && due[next].at <= now) {
            const Due& d = due[next++];
            if (d.restart) {
                uint64_t before = Counter();
                MMRESULT r = waveOutRestart(hwo_);
                uint64_t after = Counter();
                if (r != MMSYSERR_NOERROR)
                    throw Failure{kExitPlayback, "waveOutRestart failed with result " + std::to_string(r)};
                Log(PlayEvent::Rebase, before + (after - before) / 2);
                paused_ = false;
                Happen("restart", before);
            } else {
                RunAction(d.action);
            }
        }

        // Progress, a few times a second of playback time.
        if (now - lastProgressAt >= 0.1) {
            lastProgressAt = now;
            progress.Update(static_cast<double>(positionBase_ + Position()) / kDeviceBytesPerSecond);
        }
        // Something must come back or arrive every few seconds.
        uint64_t activity = capture_.Size();
        {
            std::lock_guard<std::mutex> lock(mu_);
            activity += returned_;
        }
        if (activity != lastActivity || paused_) {
            lastActivity = activity;
            lastActivityAt = now;
        } else if (now - lastActivityAt > kStallSeconds) {
            throw Failure{kExitPlayback, "playback stalled: nothing reached the headset for " + Seconds(kStallSeconds) +
                                             " (" + std::to_string(capture_.Size()) + " of " +
                                             std::to_string(expected_.size()) + " bytes received)"};
        }
        double until = next < due.size() ? due[next].at : now + 1.0;
        WaitOrAdvance(until);
    }
    endCounter_ = Counter();
    endWall_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - startWall_).count();
    progress.Finish(static_cast<double>(expected_.size()) / kDeviceBytesPerSecond);
    for (; next < due.size(); ++next)
        if (!due[next].restart)
            Happen("not reached: action at " + Seconds(due[next].at) + " (playback had ended)", endCounter_);
}

void Player::FinishPlayback()
{
    // Everything posted goes through the sinks before the files close.
    btstandin::Flush();
    {
        std::lock_guard<std::mutex> lock(mu_);
        closing_ = true;
    }
    for (auto& s : slots_)
        waveOutUnprepareHeader(hwo_, &s->hdr, sizeof(WAVEHDR));
    MMRESULT r = waveOutClose(hwo_);
    if (r != MMSYSERR_NOERROR)
        throw Failure{kExitPlayback, "waveOutClose failed with result " + std::to_string(r)};
    hwo_ = nullptr;
    Happen(o_.refill == Refill::Callback && sawClose_ ? "closed, MM_WOM_CLOSE received" : "closed");
    host::DeactivateDevice(device_);
    device_ = 0;
    btstandin::Flush();
}

// ---- Report -------------------------------------------------------------------------------

// With `failed`, the report of a run that stopped early: what happened up to
// the failure, and no packet log.
void Player::BuildReport(bool failed)
{
    Report& r = report_;
    r.clock = o_.fast ? "virtual" : "real";
    r.refill = o_.refill == Refill::Callback ? "callback" : "event";
    r.loops = o_.loops;
    r.audioSeconds = static_cast<double>(expected_.size()) / kDeviceBytesPerSecond;
    r.wallSeconds = endWall_;
    r.clockSeconds = static_cast<double>(endCounter_ - startCounter_) / static_cast<double>(frequency_);
    r.bytesWritten = bytesWritten_;
    r.comparison = CompareStreams(expected_, capture_.Bytes());

    PacingInput in;
    {
        std::lock_guard<std::mutex> lock(logMu_);
        r.configLine = configLine_;
        ParseConfigLine(configLine_, &in.config);
        in.events = events_;
        for (const auto& h : happenings_)
            r.happenings.push_back({(static_cast<double>(h.first) - static_cast<double>(startCounter_)) /
                                        static_cast<double>(frequency_),
                                    h.second});
        if (configLines_ > 1)
            r.notes.push_back("the driver started from idle " + std::to_string(configLines_) +
                              " times (its queue ran dry in between)");
    }
    r.config = in.config;
    in.frequency = frequency_;
    in.realClock = !o_.fast;
    in.looping = o_.loops != 0;
    in.startCounter = startCounter_;
    for (const btstandin::Packet& p : btstandin::Packets())
        in.packets.push_back({p.counter, static_cast<uint32_t>(p.audio.size()), p.refused});
    r.pacing = AnalysePacing(in);
    r.exitCode = failed ? r.exitCode : r.comparison.exact ? kExitOk : kExitMismatch;
    if (failed || !csvFile_.IsOpen())
        return;
    std::string error;
    if (!csvFile_.WriteAll(FormatPacketLog(in, r.pacing), &error))
        throw Failure{kExitOutput, error};
}

void Player::WriteOutputs()
{
    std::string error;
    if (wav_ && !wav_->Finish(&error))
        throw Failure{kExitOutput, error};
    if (sbc_ && !sbc_->Finish(&error))
        throw Failure{kExitOutput, error};
    if (plotFile_.IsOpen() && !plotFile_.WriteAll(FormatSvg(report_), &error))
        throw Failure{kExitOutput, error};
    OutputFile* files[] = {&wavFile_, &sbcFile_, &csvFile_, &plotFile_};
    for (OutputFile* f : files)
        if (!f->Path().empty())
            report_.outputs.push_back(f->Path());
    if (!jsonFile_.Path().empty())
        report_.outputs.push_back(jsonFile_.Path());
    if (jsonFile_.IsOpen() && !jsonFile_.WriteAll(FormatJson(report_), &error))
        throw Failure{kExitOutput, error};
    OutputFile* all[] = {&wavFile_, &sbcFile_, &csvFile_, &plotFile_, &jsonFile_};
    for (OutputFile* f : all)
        if (!f->Path().empty() && !f->Commit(&error))
            throw Failure{kExitOutput, error};
}

// ---- Teardown -----------------------------------------------------------------------------

void Player::Teardown()
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        closing_ = true;
    }
    if (hwo_) {
        waveOutReset(hwo_);
        for (auto& s : slots_)
            waveOutUnprepareHeader(hwo_, &s->hdr, sizeof(WAVEHDR));
        waveOutClose(hwo_);
        hwo_ = nullptr;
    }
    if (device_) {
        host::DeactivateDevice(device_);
        device_ = 0;
    }
    if (booted_) {
        // No sink may run once the files below are gone.
        btstandin::Reset();
        host::SetTickObserver(nullptr);
        host::SetDebugEcho(nullptr);
        diagnostics::Stop();
        booted_ = false;
    }
    if (event_) {
        host::CloseEvent(event_);
        event_ = nullptr;
    }
}

// A failed run: the audio outputs are dropped, the report says what happened
// up to the failure (except for a command-line error, where nothing did).
int Player::Fail(const Failure& f)
{
    EndProgressLine();
    const bool report = f.code != kExitUsage;
    if (report) {
        if (report_.source.empty())
            report_.source = o_.input.empty() ? "built-in sound" : "'" + o_.input + "'";
        report_.failed = true;
        report_.exitCode = f.code;
        report_.error = f.message;
        if (started_ && endCounter_ == 0) {
            endCounter_ = Counter();
            endWall_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - startWall_).count();
        } else if (!started_) {
            startCounter_ = endCounter_ = Counter();
        }
        try {
            btstandin::Flush();
            BuildReport(true);
        } catch (...) {
            // The report keeps what it had; the failure is what matters.
        }
    }
    Teardown();
    wav_.reset();
    sbc_.reset();
    OutputFile* dropped[] = {&wavFile_, &sbcFile_, &csvFile_, &plotFile_};
    for (OutputFile* file : dropped)
        file->Abort();
    if (report) {
        std::string error;
        if (!jsonFile_.IsOpen() && !o_.jsonOut.empty())
            jsonFile_.Create(o_.jsonOut, &error);
        if (jsonFile_.IsOpen() && jsonFile_.WriteAll(FormatJson(report_), &error) && jsonFile_.Commit(&error))
            report_.outputs.push_back(jsonFile_.Path());
        std::fputs(FormatText(report_).c_str(), ReportStream());
        std::fflush(ReportStream());
    }
    jsonFile_.Abort();
    std::fprintf(stderr, "btwav-play: %s\n", f.message.c_str());
    return f.code;
}

int Player::Run()
{
    try {
        try {
            LoadInput();
        } catch (const std::bad_alloc&) {
            throw Failure{kExitInput, "'" + o_.input + "' is too large to hold in memory"};
        }
        CreateOutputs();
        Boot();
        NegotiateFormat();
        OpenDevice();
        PrepareBuffers();
        Play();
        FinishPlayback();
        BuildReport();
        WriteOutputs();
    } catch (const Failure& f) {
        return Fail(f);
    } catch (const std::bad_alloc&) {
        return Fail(Failure{kExitPlayback, "out of memory"});
    }
    Teardown();
    std::fputs(FormatText(report_).c_str(), ReportStream());
    std::fflush(ReportStream());
    if (!report_.comparison.exact) {
        std::fprintf(stderr, "btwav-play: the headset did not receive what was written\n");
        return kExitMismatch;
    }
    return kExitOk;
}

}  // namespace

int RunPlayer(const Options& options)
{
    struct sigaction sa{};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    // A reader that goes away makes the write fail (EPIPE) instead of
    // killing the player before it removes its temporaries.
    signal(SIGPIPE, SIG_IGN);
    Player p(options);
    return p.Run();
}

}  // namespace player
