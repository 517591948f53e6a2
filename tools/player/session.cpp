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
// Streaming: the sound is decoded (and converted) in chunks as buffers are
// refilled, through a window that also holds what the headset is compared
// with as its packets arrive; the sinks write as they go.  Nothing grows with
// the sound's length except for a loop, whose buffers hold the whole sound.
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

#include <sys/resource.h>
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
#include "headset.h"
#include "host/btstandin.h"
#include "host/clock.h"
#include "host/devicemanager.h"
#include "host/events.h"
#include "host/host.h"
#include "host/registry.h"
#include "host/wave.h"
#include "outfile.h"
#include "host/platform.h"
#include "progress.h"
#include "registry_setup.h"
#include "report.h"
#include "sinks.h"
#include "soundout.h"
#include "window.h"

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
// Timer periods the virtual clock advances at once in fast mode while the
// callback refills the buffers: each advance is one hand-off between the main
// thread and the timer service, which on a busy machine may cost a scheduler
// time slice, so they are few.
const uint64_t kFastStepPeriods = 500;

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
    void FlushPacketLogLocked();

    // Buffers.
    static void CALLBACK WaveCallback(HDRVR, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2);
    void OnDone(WAVEHDR* h);
    bool TakeChunkLocked(Slot* s, std::string* error);
    bool WriteSlot(Slot* s, std::string* error);
    void MainWrite(std::deque<Slot*> todo);
    std::deque<Slot*> ScanReturned();
    bool DoneLocked() const { return soundEnded_ && cursor_ >= soundEnd_ && outstanding_ == 0; }
    bool MoreLocked() const { return !soundEnded_ || cursor_ < soundEnd_; }

    // Clock.
    double PlaySeconds() const;
    // The sound's length at the headset (all passes of a loop), or the
    // decoder's estimate until its end is known.
    double ExpectedSeconds() const;
    void WaitOrAdvance(double untilSeconds);
    void Log(PlayEvent::Kind kind, uint64_t counter, int64_t bytes = 0);
    void Happen(const std::string& what, uint64_t counter = 0);
    uint64_t Position();

    const Options& o_;
    std::unique_ptr<Decoder> decoder_;   // until the stream takes it
    SourceInfo info_;                    // the source as opened
    DeviceStream audio_;                 // the sound in the device's format
    std::unique_ptr<SoundWindow> window_;
    Report report_;

    // Outputs.
    OutputFile wavFile_, sbcFile_, csvFile_, jsonFile_, plotFile_, heardFile_;
    std::unique_ptr<WavSink> wav_, heardWav_;

    // The listener: fed by the stand-in's thread, finished by the main one.
    std::mutex headsetMu_;
    std::unique_ptr<Headset> headset_;
    std::unique_ptr<SoundOut> soundOut_;   // what the listener hears, out loud
    bool listenerDone_ = false;
    HeadsetResult listener_;
    std::unique_ptr<SbcSink> sbc_;

    // Host.
    bool booted_ = false;
    host::DeviceHandle device_ = 0;
    HWAVEOUT hwo_ = nullptr;
    HANDLE event_ = nullptr;
    uint64_t frequency_ = 1;
    uint32_t period_ = kDefaultTimer;   // ms, for the fast mode's steps
    // What the player opens: the mapper, or the driver's own device when the
    // link is not up before the application opens.
    UINT target_ = WAVE_MAPPER;
    std::string TargetName() const
    {
        return target_ == WAVE_MAPPER ? std::string("WAVE_MAPPER")
                                      : "device " + std::to_string(target_) + " (" + DeviceName(target_) + ")";
    }

    // Buffers and the sound's cursor, under mu_.
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::unique_ptr<Slot>> slots_;
    bool soundEnded_ = false;         // the sound's end has been reached at soundEnd_
    uint64_t soundEnd_ = 0;           // the sound's length in bytes, once known
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

    // Timeline, under logMu_: the pacing is analysed as events come, and the
    // packet log written as its lines are known.
    std::mutex logMu_;
    std::unique_ptr<PacingAnalyser> pacing_;
    std::string csvPending_;
    std::string csvError_;
    std::vector<std::pair<uint64_t, std::string>> happenings_;
    std::string configLine_;
    unsigned configLines_ = 0;

    uint64_t startCounter_ = 0;
    bool started_ = false;
    std::chrono::steady_clock::time_point startWall_;
    uint64_t startVirtualNs_ = 0;
    double endWall_ = 0;
    uint64_t endCounter_ = 0;
    // When the last buffer came back, under mu_.
    bool doneSeen_ = false;
    uint64_t doneCounter_ = 0;
    std::chrono::steady_clock::time_point doneWall_;
    void NoteDoneLocked()
    {
        doneSeen_ = true;
        doneCounter_ = Counter();
        doneWall_ = std::chrono::steady_clock::now();
    }
    uint64_t positionBase_ = 0;   // sound offset where the driver's position 0 stands
    bool paused_ = false;
};

// ---- Input and outputs ----------------------------------------------------------

void Player::LoadInput()
{
    std::string error;
    if (o_.input.empty())
        decoder_ = BuiltInSound(o_.builtInFrames ? o_.builtInFrames : kBuiltInFrames);
    else if (!(decoder_ = OpenAudioFile(o_.input, &error)))
        throw Failure{kExitInput, error};
    info_ = decoder_->Info();
    report_.source = info_.origin;
    report_.sourceFormat = info_.format + ", " + std::to_string(info_.rate) + " Hz, " +
                           std::to_string(info_.channels) + (info_.channels == 1 ? " channel" : " channels") +
                           ", " + (info_.frames >= 0 ? std::to_string(info_.frames) + " frames" : "length unknown");
}

void Player::CreateOutputs()
{
    struct Want {
        const std::string* path;
        OutputFile* file;
    } wants[] = {{&o_.wavOut, &wavFile_}, {&o_.sbcOut, &sbcFile_}, {&o_.csvOut, &csvFile_},
                 {&o_.jsonOut, &jsonFile_}, {&o_.plotOut, &plotFile_}, {&o_.heardOut, &heardFile_}};
    const size_t kWants = sizeof wants / sizeof wants[0];
    // Two outputs with one name, or an output over the input, would lose data.
    for (size_t i = 0; i < kWants; ++i) {
        if (wants[i].path->empty())
            continue;
        if (!o_.input.empty() && *wants[i].path == o_.input)
            throw Failure{kExitUsage, "output '" + *wants[i].path + "' would overwrite the input file"};
        for (size_t j = i + 1; j < kWants; ++j)
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
    if (heardFile_.IsOpen()) {
        heardWav_.reset(new WavSink(&heardFile_));
        if (!heardWav_->Open(&error))
            throw Failure{kExitOutput, error};
    }
    if (sbcFile_.IsOpen()) {
        sbc_.reset(new SbcSink(&sbcFile_));
        if (!sbc_->Open(&error))
            throw Failure{kExitOutput, error};
    }
    if (csvFile_.IsOpen() && !csvFile_.WriteAll(kPacketLogHeader, &error))
        throw Failure{kExitOutput, error};
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
    pacing_.reset(new PacingAnalyser(frequency_, !o_.fast, o_.loops != 0));
    if (csvFile_.IsOpen()) {
        // Called under logMu_.
        pacing_->SetPacketLine([this](const PacketInfo& p, uint32_t due) {
            double t = (static_cast<double>(p.counter) - static_cast<double>(startCounter_)) /
                       static_cast<double>(frequency_);
            csvPending_ += FormatPacketLine(t, p, due);
            if (csvPending_.size() >= 64 * 1024)
                FlushPacketLogLocked();
        });
    }
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
        pacing_->SetConfig(c);
        pacing_->Add({PlayEvent::Init, now, 0});
    });
    host::SetTickObserver([this](uint64_t counter) {
        diagnostics::NameThisThread("timer");
        Log(PlayEvent::Tick, counter);
    });
    // Every post, in order, from the driver's tick.
    btstandin::SetPostObserver([this](const btstandin::PostInfo& p) {
        std::lock_guard<std::mutex> lock(logMu_);
        pacing_->AddPacket({p.counter, p.bytes, p.refused});
    });
    // The world: the link carries posts through a bounded send queue and a
    // radio, the faults armed on the command line count from here, and the
    // headset plays what arrives on its own clock.
    btstandin::LinkModel link;
    link.modelled = true;
    link.queueBytes = o_.radioQueueBytes;
    link.radioBytesPerSecond = o_.radioBytesPerSecond;
    btstandin::ModelLink(link);
    for (const FaultOption& f : o_.faults) {
        host::Fault fault;
        host::FaultByName(f.name, &fault);
        host::Arm(fault, f.count, f.skip, f.amount);
    }
    HeadsetConfig hc;
    hc.capacityFrames = o_.headsetBufferFrames;
    hc.startFrames = o_.headsetStartFrames;
    hc.ppm = o_.headsetPpm;
    if (o_.playOut) {
        // Without a sound device the run goes on: the other outputs and the
        // report lose nothing.
        soundOut_.reset(new SoundOut);
        if (!soundOut_->Open(o_.playDevice, &error)) {
            ConsoleLine(stderr, "btwav-play: warning: " + error + "; playing on without sound");
            report_.warnings.push_back(error + "; played without sound");
            soundOut_.reset();
        }
    }
    Headset::Output heard;
    if (heardWav_ || soundOut_)
        heard = [this](const uint8_t* data, size_t size) {
            if (heardWav_)
                heardWav_->Take(data, size);
            if (soundOut_)
                soundOut_->Take(data, size);
        };
    if (o_.headset)
        headset_.reset(new Headset(hc, 0, heard));
    report_.headset = hc;

    // The bit-exact stream: compared with the sound and written as it
    // arrives; then what the listener makes of it.
    btstandin::AddSink([this](const btstandin::PacketView& p) {
        if (p.size == 0)
            return;
        {
            std::lock_guard<std::mutex> lock(headsetMu_);
            if (headset_ && !listenerDone_)
                headset_->Receive(p.postNs, p.arrivalNs, p.audio, p.size);
        }
        if (window_)
            window_->Receive(p.audio, p.size);
        if (wav_)
            wav_->Take(p.audio, p.size);
        if (sbc_)
            sbc_->Take(p.audio, p.size);
    });
    booted_ = true;

    device_ = host::ActivateDevice(kDriverKey, &error);
    if (device_ == 0)
        throw Failure{kExitPlayback, "cannot start the driver: " + error};

    // The link comes up after its delay, as a headset connecting would, or
    // later, after the application opened (--link-up), or never.
    if (!o_.linkAtBoot) {
        bool later = false;
        for (const TimedAction& a : o_.actions)
            later = later || a.kind == TimedAction::LinkUp;
        Happen(later ? "no link yet: the application opens before the headset connects"
                     : "no link: the headset never connects");
        UINT n = waveOutGetNumDevs();
        for (UINT id = 0; id < n; ++id)
            if (DeviceName(id) == "Bluetooth A2DP Output")
                target_ = id;
        if (target_ == WAVE_MAPPER)
            throw Failure{kExitPlayback, "the driver's device \"Bluetooth A2DP Output\" is not among the wave devices"};
        return;
    }
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
    btstandin::SetLink(code == BT_EVENT_LINK_UP);
    btstandin::WaitForEvents();
    Happen(what + ", " + PreferredDescription());
}

// ---- Format and device ------------------------------------------------------------

// The format query carries the source's own format (its tag, channels, rate
// and sample width).  The sound is converted when the query refuses it, and
// also when the query accepts a width the device does not play: the driver's
// query looks only at tag, channels and rate, while its capabilities list
// 16-bit stereo 44,100 Hz alone.
void Player::NegotiateFormat()
{
    WAVEFORMATEX f{};
    f.wFormatTag = info_.formatTag;
    f.nChannels = static_cast<WORD>(std::min<uint32_t>(info_.channels, 0xFFFF));
    f.nSamplesPerSec = info_.rate;
    f.wBitsPerSample = info_.bits;
    f.nBlockAlign = static_cast<WORD>(std::min<uint32_t>(info_.channels * info_.bits / 8, 0xFFFF));
    f.nAvgBytesPerSec = info_.rate * f.nBlockAlign;
    // WAVE_FORMAT_DIRECT asks the device itself: the mapper would accept any
    // format it can convert, and the player converts on its own.
    MMRESULT q = info_.channels > 0xFFFF
                     ? static_cast<MMRESULT>(WAVERR_BADFORMAT)
                     : waveOutOpen(nullptr, target_, &f, 0, 0, WAVE_FORMAT_QUERY | WAVE_FORMAT_DIRECT);
    if (q != MMSYSERR_NOERROR && q != WAVERR_BADFORMAT)
        throw Failure{kExitPlayback, "WAVE_FORMAT_QUERY on WAVE_MAPPER failed with result " + std::to_string(q)};
    report_.queryRefused = q == WAVERR_BADFORMAT;
    if (report_.queryRefused || NeedsConversion(info_)) {
        std::string why;
        if (!CanConvert(info_, &why))
            throw Failure{kExitInput, "cannot convert '" + info_.origin + "': " + why + " (the device refused " +
                                          std::to_string(info_.rate) + " Hz, " + std::to_string(info_.channels) +
                                          " channels)"};
        WAVEFORMATEX d = DeviceFormat();
        MMRESULT q2 = waveOutOpen(nullptr, target_, &d, 0, 0, WAVE_FORMAT_QUERY);
        if (q2 != MMSYSERR_NOERROR)
            throw Failure{kExitPlayback, "the device refuses 16-bit stereo 44100 Hz as well (result " +
                                             std::to_string(q2) + ")"};
        report_.converted = true;
    }
    std::string note, error;
    if (!audio_.Open(std::move(decoder_), &note, &error))
        throw Failure{kExitInput, error};
    report_.conversion = note;
    window_.reset(new SoundWindow(&audio_));
    if (o_.loops && !window_->KeepWhole(o_.loops, &error))
        throw Failure{kExitInput, error};
    uint8_t peek[kDeviceFrameBytes];
    size_t got = 0;
    if (!window_->Copy(0, peek, sizeof peek, &got, &error))
        throw Failure{kExitInput, error};
    if (got == 0)
        throw Failure{kExitInput, "'" + report_.source + "' holds no audio frames"};
}

void Player::OpenDevice()
{
    WAVEFORMATEX d = DeviceFormat();
    MMRESULT r;
    if (o_.refill == Refill::Event) {
        event_ = host::CreateEvent(false, false);
        r = waveOutOpen(&hwo_, target_, &d, reinterpret_cast<DWORD_PTR>(event_), 0, CALLBACK_EVENT);
    } else {
        r = waveOutOpen(&hwo_, target_, &d, reinterpret_cast<DWORD_PTR>(&Player::WaveCallback),
                        reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION);
    }
    if (r != MMSYSERR_NOERROR) {
        hwo_ = nullptr;
        throw Failure{kExitPlayback, "waveOutOpen(" + TargetName() + ") failed with result " + std::to_string(r)};
    }
    std::string what = target_ == WAVE_MAPPER ? "opened WAVE_MAPPER, " + PreferredDescription()
                                              : "opened " + TargetName() + " directly (without the link the mapper "
                                                "would choose device 0)";
    if (o_.refill == Refill::Callback)
        what += sawOpen_ ? ", MM_WOM_OPEN received" : ", no MM_WOM_OPEN";
    Happen(what);
}

void Player::PrepareBuffers()
{
    // A loop needs the whole sound queued at once: its buffers are rewound,
    // not handed back, until the last pass.
    size_t count = o_.buffers;
    if (o_.loops) {
        soundEnded_ = true;
        soundEnd_ = static_cast<uint64_t>(window_->Length());
        count = static_cast<size_t>((soundEnd_ + o_.bufferBytes - 1) / o_.bufferBytes);
    }
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

// Fills a buffer with the next bytes of the sound, decoding them as needed.
// False when the sound has ended (nothing taken) or decoding failed (*error
// set).  Caller holds mu_.
bool Player::TakeChunkLocked(Slot* s, std::string* error)
{
    if (!MoreLocked())
        return false;
    size_t n = 0;
    if (!window_->Copy(cursor_, reinterpret_cast<uint8_t*>(s->data.data()), o_.bufferBytes, &n, error))
        return false;
    if (n < o_.bufferBytes) {
        soundEnded_ = true;
        soundEnd_ = cursor_ + n;
    }
    if (n == 0)
        return false;
    s->srcOffset = cursor_;
    s->length = static_cast<uint32_t>(n);
    s->recorded = 0;
    s->queued = true;
    cursor_ += n;
    ++outstanding_;
    return true;
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
        if (s->srcOffset + s->length == soundEnd_)
            h.dwFlags |= WHDR_ENDLOOP;
    }
    uint64_t c = Counter();
    if (!started_) {
        started_ = true;
        startCounter_ = c;
        {
            std::lock_guard<std::mutex> lock(logMu_);
            pacing_->SetStart(c);
        }
        startWall_ = std::chrono::steady_clock::now();
        if (o_.fast)
            startVirtualNs_ = host::VirtualNowNs();
        std::lock_guard<std::mutex> lock(headsetMu_);
        if (headset_)
            headset_->SetOrigin(host::ClockNowNs());
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
    std::string error;
    {
        std::lock_guard<std::mutex> lock(mu_);
        s->queued = false;
        s->recorded = h->dwBytesRecorded;
        --outstanding_;
        ++returned_;
        if (resetting_)
            resetReturned_.push_back(s);
        else if (closing_ || !MoreLocked())
            ;   // nothing more to play with it
        else if (mainBusy_)
            deferred_.push_back(s);
        else if (TakeChunkLocked(s, &error))
            write = true;
        else if (!error.empty())
            callbackError_ = error;
        if (!doneSeen_ && DoneLocked() && !resetting_)
            NoteDoneLocked();
    }
    if (write) {
        if (!WriteSlot(s, &error)) {
            std::lock_guard<std::mutex> lock(mu_);
            callbackError_ = error;
        }
    }
    bool wake;
    {
        std::lock_guard<std::mutex> lock(mu_);
        wake = DoneLocked() || !callbackError_.empty();
    }
    if (wake)
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
            std::string error;
            if (!TakeChunkLocked(s, &error)) {
                if (error.empty())
                    continue;
                mainBusy_ = false;
                throw Failure{kExitInput, error};
            }
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
    pacing_->Add({kind, counter, bytes});
}

// Caller holds logMu_.
void Player::FlushPacketLogLocked()
{
    if (csvPending_.empty() || !csvError_.empty())
        return;
    if (!csvFile_.WriteAll(csvPending_, &csvError_) && csvError_.empty())
        csvError_ = "cannot write '" + csvFile_.Path() + "'";
    csvPending_.clear();
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
// real clock until something comes back (at most 50 ms); on the virtual
// clock by one timer period when the main thread refills the buffers (event
// refill), and by up to ten seconds of ticks when the callback refills them, so
// the timer service runs many ticks in a row without a hand-off.
void Player::WaitOrAdvance(double untilSeconds)
{
    if (o_.fast) {
        uint64_t now = host::VirtualNowNs();
        uint64_t target = startVirtualNs_ + static_cast<uint64_t>(std::llround(untilSeconds * 1e9));
        uint64_t step = target > now ? target - now : 1000000;
        uint64_t periods = o_.refill == Refill::Callback ? kFastStepPeriods : 1;
        host::AdvanceVirtualNs(std::min<uint64_t>(step, periods * period_ * 1000000ull));
        return;
    }
    if (o_.refill == Refill::Event) {
        double wait = std::min(std::max(0.0, untilSeconds - PlaySeconds()), 0.05);
        host::WaitForEvent(event_, static_cast<uint32_t>(wait * 1000.0) + 1);
        return;
    }
    // The callback refills the buffers itself: the main thread only wakes
    // for the next action, the end, an error, or the progress shown (each
    // wake-up costs CPU, which real-time playback keeps small).
    double wait = std::min(std::max(0.0, untilSeconds - PlaySeconds()), o_.quiet ? 1.0 : 0.1);
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::duration<double>(wait),
                 [&] { return DoneLocked() || !callbackError_.empty(); });
}

double Player::ExpectedSeconds() const
{
    int64_t length = window_ ? window_->Length() : -1;
    double bytes = length >= 0 ? static_cast<double>(length)
                               : static_cast<double>(std::max<int64_t>(audio_.ExpectedFrames(), 0)) * kDeviceFrameBytes;
    return bytes * (o_.loops ? o_.loops : 1) / kDeviceBytesPerSecond;
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
    case TimedAction::LinkUp:
        RaiseLink(BT_EVENT_LINK_UP, "link up (the headset connects)");
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
    Progress progress(o_.quiet ? nullptr : stderr, terminal, ExpectedSeconds());
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
                // A pause is no silence of the headset's: its watch starts again here.
                lastActivityAt = now;
                Happen("restart", before);
            } else {
                RunAction(d.action);
            }
        }

        // Progress, a few times a second: of playback time on the real
        // clock, from the driver's position; of wall time in fast mode, from
        // what the headset received (asking the position costs a check of
        // the caller's record that would slow a fast run down).
        if (o_.fast) {
            double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - startWall_).count();
            if (wall - lastProgressAt >= 0.1) {
                lastProgressAt = wall;
                progress.Update(static_cast<double>(window_->Received()) / kDeviceBytesPerSecond);
            }
        } else if (!o_.quiet && now - lastProgressAt >= 0.1) {
            // Asking the position checks the caller's record against the
            // process's mappings: not worth it when nothing is shown.
            lastProgressAt = now;
            progress.Update(static_cast<double>(positionBase_ + Position()) / kDeviceBytesPerSecond);
        }
        // Something must come back or arrive every few seconds.
        uint64_t activity = window_->Received();
        {
            std::lock_guard<std::mutex> lock(mu_);
            activity += returned_;
        }
        if (activity != lastActivity || paused_) {
            lastActivity = activity;
            lastActivityAt = now;
        } else if (now - lastActivityAt > kStallSeconds) {
            throw Failure{kExitPlayback, "playback stalled: nothing reached the headset for " + Seconds(kStallSeconds) +
                                             " (" + std::to_string(window_->Received()) + " bytes received)"};
        }
        // Fast mode advances in steps short enough for the stall check to
        // see a silence of kStallSeconds.
        double until = next < due.size() ? due[next].at : now + (o_.fast ? kStallSeconds / 2 : 1.0);
        WaitOrAdvance(until);
    }
    // Playback ended when the last buffer came back, which in fast mode may
    // be well before the advance that noticed it returned.
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (!doneSeen_)
            NoteDoneLocked();
        endCounter_ = doneCounter_;
        endWall_ = std::chrono::duration<double>(doneWall_ - startWall_).count();
    }
    progress.Finish(ExpectedSeconds());
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
    r.audioSeconds = ExpectedSeconds();
    r.wallSeconds = endWall_;
    r.clockSeconds = static_cast<double>(endCounter_ - startCounter_) / static_cast<double>(frequency_);
    r.bytesWritten = bytesWritten_;
    if (window_)
        r.comparison = window_->Result();
    if (headset_) {
        {
            std::lock_guard<std::mutex> lock(headsetMu_);
            if (!listenerDone_) {
                listener_ = headset_->Finish();
                listenerDone_ = true;
            }
        }
        if (soundOut_) {
            std::string error;
            if (soundOut_->Finish(&error))
                r.notes.push_back("played what the listener heard on sound device '" + soundOut_->Device() + "'");
            else
                r.warnings.push_back(error);
            soundOut_.reset();
        }
        r.world = true;
        r.listener = listener_;
        r.link = btstandin::Stats();
        r.radioQueueBytes = o_.radioQueueBytes;
        r.radioBytesPerSecond = o_.radioBytesPerSecond;
        for (const FaultOption& f : o_.faults) {
            host::Fault fault;
            host::FaultByName(f.name, &fault);
            const host::FaultInfo& info = host::Describe(fault);
            FaultLine line;
            line.text = f.text;
            line.what = info.what;
            line.unit = info.unit;
            line.amount = f.amount;
            line.skip = f.skip;
            line.count = f.count;
            line.fired = host::FaultsFired(fault);
            r.faults.push_back(line);
        }
    }
    r.timerThread = o_.fast ? "" : host::TimerThreadScheduling();
    for (const std::string& n : audio_.Info().notes) {
        r.notes.push_back(n);
        std::fprintf(stderr, "btwav-play: warning: %s\n", n.c_str());
    }
    {
        std::lock_guard<std::mutex> lock(logMu_);
        r.configLine = configLine_;
        ParseConfigLine(configLine_, &r.config);
        for (const auto& h : happenings_)
            r.happenings.push_back({(static_cast<double>(h.first) - static_cast<double>(startCounter_)) /
                                        static_cast<double>(frequency_),
                                    h.second});
        if (configLines_ > 1)
            r.notes.push_back("the driver started from idle " + std::to_string(configLines_) +
                              " times (its queue ran dry in between)");
        if (pacing_)
            r.pacing = pacing_->Finish();
        // A failed run drops its packet log; only a finished one must have written it whole.
        if (!failed) {
            FlushPacketLogLocked();
            if (!csvError_.empty())
                throw Failure{kExitOutput, csvError_};
        }
    }
    r.exitCode = failed ? r.exitCode : r.comparison.exact ? kExitOk : kExitMismatch;
    struct rusage usage {};
    if (getrusage(RUSAGE_SELF, &usage) == 0)
        r.peakMemoryKb = static_cast<uint64_t>(usage.ru_maxrss);
}

void Player::WriteOutputs()
{
    std::string error;
    if (wav_ && !wav_->Finish(&error))
        throw Failure{kExitOutput, error};
    if (heardWav_ && !heardWav_->Finish(&error))
        throw Failure{kExitOutput, error};
    if (sbc_ && !sbc_->Finish(&error))
        throw Failure{kExitOutput, error};
    if (plotFile_.IsOpen() && !plotFile_.WriteAll(FormatSvg(report_), &error))
        throw Failure{kExitOutput, error};
    OutputFile* files[] = {&wavFile_, &heardFile_, &sbcFile_, &csvFile_, &plotFile_};
    for (OutputFile* f : files)
        if (!f->Path().empty())
            report_.outputs.push_back(f->Path());
    if (!jsonFile_.Path().empty())
        report_.outputs.push_back(jsonFile_.Path());
    if (jsonFile_.IsOpen() && !jsonFile_.WriteAll(FormatJson(report_), &error))
        throw Failure{kExitOutput, error};
    OutputFile* all[] = {&wavFile_, &heardFile_, &sbcFile_, &csvFile_, &plotFile_, &jsonFile_};
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
    heardWav_.reset();
    sbc_.reset();
    OutputFile* dropped[] = {&wavFile_, &heardFile_, &sbcFile_, &csvFile_, &plotFile_};
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
