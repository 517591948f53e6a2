// The player's run: the order of its steps, and the wiring between the units
// that do them.
//
// LoadInput and CreateOutputs open the source and the output files; the
// platform is booted (boot.h); the format is negotiated and the device
// opened; the refill engine (refill.h) writes the buffers and gives every one
// that comes back to the device again; timed actions (link changes, pauses, a
// reset) happen at their times from the first write.  On the real clock the
// main thread sleeps between them; with --fast it advances the host's virtual
// clock, which fires the ticks on the timer thread exactly as the real clock
// would, only sooner.  What the headset receives is compared with the sound as
// it arrives (window.h) and goes to the outputs (outputs.h) and the listener
// (headset.h); the timeline (timeline.h) keeps what happened when; the report
// is assembled at the end.
//
// Streaming: the sound is decoded (and converted) in chunks as buffers are
// refilled, through a window that also holds what the headset is compared
// with; nothing grows with the sound's length except for a loop, whose
// buffers hold the whole sound.
//
// The threads, from waveOutWrite to the ear, are drawn in the README.
#include "session.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "analysis.h"
#include "assemble.h"
#include "audio.h"
#include "boot.h"
#include "decode_ahead.h"
#include "diagnostics.h"
#include "failure.h"
#include "headset.h"
#include "host/btstandin.h"
#include "host/clock.h"
#include "host/devicemanager.h"
#include "host/events.h"
#include "host/faults.h"
#include "host/host.h"
#include "host/platform.h"
#include "host/wave.h"
#include "outfile.h"
#include "outputs.h"
#include "processfault.h"
#include "progress.h"
#include "refill.h"
#include "registry_setup.h"
#include "report.h"
#include "soundout.h"
#include "timeline.h"
#include "window.h"

namespace player {
namespace {

// Playback that makes no progress for this long (on the playback clock,
// outside pauses) is given up.
const double kStallSeconds = 5.0;
// Timer periods the virtual clock advances at once in fast mode while the
// callback refills the buffers: each advance is one hand-off between the main
// thread and the timer service, which on a busy machine may cost a scheduler
// time slice, so they are few.  The silence watch sees a stall inside a step.
const uint64_t kFastStepPeriods = 500;
const double kFastStepSeconds = 10.0;
// Decoded audio held ahead of the refill: 8 blocks of 256 KiB, about twelve
// seconds of sound, a bounded 2 MiB whatever the length.  Each block is one
// hand-off between the decoding thread and the refill (a system call each
// way when one side waits), so blocks are large.
const size_t kDecodeAheadBlockBytes = 256 * 1024;
const size_t kDecodeAheadBlocks = 8;

// User and system time of every thread of the process so far.
double ProcessCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
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

std::string Seconds(double s)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f s", s);
    return buf;
}

class Player {
public:
    explicit Player(const Options& o) : o_(o), platform_(o) {}
    ~Player() { Teardown(); }
    int Run();

private:
    void LoadInput();
    void CreateOutputs();
    void Boot();
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
    // `faulted`: a thread faulted outside any guard; the driver is not
    // called again (the thread may hold its lock) and the process ends.
    int Fail(const Failure& f, bool faulted = false);
    // On the fault watcher's thread: the main thread's steps stop, and the
    // run ends with its report.
    [[noreturn]] void EndAfterFault(const std::string& what, const std::string& thread);
    // Main thread: once a thread has faulted, waits here for the end.
    void ParkIfFaulted();
    FILE* ReportStream() const { return o_.StandardOutputTaken() ? stderr : stdout; }

    static void CALLBACK WaveCallback(HDRVR, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2);
    // The refill engine's writer: time 0 at the first write, the timeline,
    // then waveOutWrite.  Main thread or the callback's.
    MMRESULT Write(WAVEHDR* h, int64_t bytes);

    // Clock.
    double PlaySeconds() const;
    // The sound's length at the headset (all passes of a loop), or the
    // decoder's estimate until its end is known.
    double ExpectedSeconds() const;
    void WaitOrAdvance(double untilSeconds);
    void Log(PlayEvent::Kind kind, uint64_t counter, int64_t bytes = 0) { timeline_->Log(kind, counter, bytes); }
    void Happen(const std::string& what, uint64_t counter = 0) { timeline_->Happen(what, counter ? counter : Counter()); }
    uint64_t Position();

    const Options& o_;
    std::unique_ptr<Decoder> decoder_;   // until the stream takes it
    SourceInfo info_;                    // the source as opened
    DeviceStream audio_;                 // the sound in the device's format
    std::unique_ptr<DecodeAhead> ahead_; // decodes audio_ on a thread of its own, for costly sources
    std::unique_ptr<SoundWindow> window_;
    Report report_;

    // Outputs: what the headset received (bit-exact), and what the listener heard.
    OutputFile wavFile_, sbcFile_, csvFile_, jsonFile_, plotFile_, heardFile_;
    std::unique_ptr<WavOutput> wav_, heardWav_;
    std::unique_ptr<SbcOutput> sbc_;
    std::unique_ptr<SoundOut> soundOut_;   // what the listener hears, out loud
    OutputList received_, heard_;

    // The listener: fed by the stand-in's thread, finished by the main one.
    std::mutex headsetMu_;   // guards headset_'s use and listenerDone_
    std::unique_ptr<Headset> headset_;
    bool listenerDone_ = false;
    HeadsetResult listener_;

    // Host.
    Platform platform_;
    bool booted_ = false;
    HWAVEOUT hwo_ = nullptr;
    HANDLE event_ = nullptr;
    uint64_t frequency_ = 1;
    uint32_t period_ = kDefaultTimer;   // ms, for the fast mode's steps
    std::unique_ptr<RefillEngine> refill_;
    std::atomic<bool> sawOpen_{false}, sawClose_{false};   // set by the callback
    std::atomic<bool> timerNamed_{false};                  // the debug output knows the timer's thread
    std::unique_ptr<Timeline> timeline_;
    SilenceWatch silence_;   // fast mode: arrivals and returns, on the virtual clock
    LateTickAudit lateTicks_;   // real clock: late ticks explained
    std::atomic<bool> faulted_{false};     // a thread faulted outside any guard
    std::atomic<bool> mainParked_{false};  // the main thread saw it and stopped

    // Written by the first write (main thread) before the device has any
    // buffer, so read safely by the callback's writes that follow.
    bool started_ = false;
    uint64_t startCounter_ = 0;
    std::chrono::steady_clock::time_point startWall_;
    uint64_t startVirtualNs_ = 0;
    uint64_t startClockNs_ = 0;    // host::ClockNowNs() at the first write
    double endWall_ = 0;
    double startCpu_ = 0;          // ProcessCpuSeconds() at the first write
    double endCpu_ = 0;            // and when playback ended
    uint64_t endCounter_ = 0;
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
        wav_.reset(new WavOutput(&wavFile_));
        if (!wav_->Open(&error))
            throw Failure{kExitOutput, error};
        received_.Add(wav_.get());
    }
    if (heardFile_.IsOpen()) {
        heardWav_.reset(new WavOutput(&heardFile_));
        if (!heardWav_->Open(&error))
            throw Failure{kExitOutput, error};
        heard_.Add(heardWav_.get());
    }
    if (sbcFile_.IsOpen()) {
        sbc_.reset(new SbcOutput(&sbcFile_));
        if (!sbc_->Open(&error))
            throw Failure{kExitOutput, error};
        received_.Add(sbc_.get());
    }
    if (csvFile_.IsOpen() && !csvFile_.WriteAll(kPacketLogHeader, &error))
        throw Failure{kExitOutput, error};
}

// ---- Boot ---------------------------------------------------------------------------

void Player::Boot()
{
    host::NameThisThread("main");
    processfault::Watch([this](const std::string& what, const std::string& thread) { EndAfterFault(what, thread); });
    platform_.SelectClock();
    frequency_ = Frequency();
    std::vector<std::string> warnings;
    period_ = platform_.Prepare(&warnings, &report_.registry);
    for (const std::string& w : warnings) {
        ConsoleLine(stderr, "btwav-play: warning: " + w);
        report_.warnings.push_back(w);
    }

    diagnostics::Start(stderr, o_.debug, o_.trace, Counter(), frequency_);
    timeline_.reset(new Timeline(frequency_, !o_.fast, o_.loops != 0, &csvFile_));
    host::SetDebugEcho([this](const std::string& line) {
        diagnostics::DebugLine(line);
        timeline_->OnDebugLine(line, Counter());
    });
    host::SetTickObserver([this](uint64_t counter) {
        if (!timerNamed_.load(std::memory_order_relaxed)) {
            diagnostics::NameThisThread("timer");
            timerNamed_.store(true, std::memory_order_relaxed);
        }
        timeline_->LogTick(counter, host::CurrentTickLatenessNs());
    });
    // Every post, in order, from the driver's tick.
    btstandin::SetPostObserver(
        [this](const btstandin::PostInfo& p) { timeline_->OnPost(p.counter, p.bytes, p.refused); });
    platform_.ModelWorld();

    HeadsetConfig hc;
    hc.capacityFrames = o_.headsetBufferFrames;
    hc.startFrames = o_.headsetStartFrames;
    hc.ppm = o_.headsetPpm;
    if (o_.playOut) {
        // Without a sound device the run goes on: the other outputs and the
        // report lose nothing.
        std::string error;
        soundOut_.reset(new SoundOut);
        if (soundOut_->Open(o_.playDevice, &error)) {
            heard_.Add(soundOut_.get());
        } else {
            ConsoleLine(stderr, "btwav-play: warning: " + error + "; playing on without sound");
            report_.warnings.push_back(error + "; played without sound");
            soundOut_.reset();
        }
    }
    Headset::Heard heard;
    if (!heard_.Empty())
        heard = [this](const uint8_t* data, size_t size) { heard_.Take(data, size); };
    if (o_.headset)
        headset_.reset(new Headset(hc, 0, heard));
    report_.headset = hc;

    // The bit-exact stream: compared with the sound and written as it
    // arrives; then what the listener makes of it.
    btstandin::AddSink([this](const btstandin::PacketView& p) {
        if (p.size == 0)
            return;
        silence_.Note(p.arrivalNs);
        {
            std::lock_guard<std::mutex> lock(headsetMu_);
            if (headset_ && !listenerDone_)
                headset_->Receive(p.postNs, p.arrivalNs, p.audio, p.size);
        }
        if (window_)
            window_->Receive(p.audio, p.size);
        received_.Take(p.audio, p.size);
    });
    booted_ = true;

    platform_.Start([this](const std::string& what) { Happen(what); });
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
                     : waveOutOpen(nullptr, platform_.Target(), &f, 0, 0, WAVE_FORMAT_QUERY | WAVE_FORMAT_DIRECT);
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
        MMRESULT q2 = waveOutOpen(nullptr, platform_.Target(), &d, 0, 0, WAVE_FORMAT_QUERY);
        if (q2 != MMSYSERR_NOERROR)
            throw Failure{kExitPlayback, "the device refuses 16-bit stereo 44100 Hz as well (result " +
                                             std::to_string(q2) + ")"};
        report_.converted = true;
    }
    std::string note, error;
    if (!audio_.Open(std::move(decoder_), &note, &error))
        throw Failure{kExitInput, error};
    report_.conversion = note;
    // A source that costs real work to decode or convert is decoded on a
    // thread of its own, so that on two cores it overlaps the pump.  Plain
    // PCM is only copied, which is cheaper than the hand-off.
    SoundSource* source = &audio_;
    if (info_.compressed || report_.converted) {
        ahead_.reset(new DecodeAhead(&audio_, kDecodeAheadBlockBytes, kDecodeAheadBlocks));
        source = ahead_.get();
    }
    window_.reset(new SoundWindow(source));
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
        r = waveOutOpen(&hwo_, platform_.Target(), &d, reinterpret_cast<DWORD_PTR>(event_), 0, CALLBACK_EVENT);
    } else {
        r = waveOutOpen(&hwo_, platform_.Target(), &d, reinterpret_cast<DWORD_PTR>(&Player::WaveCallback),
                        reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION);
    }
    if (r != MMSYSERR_NOERROR) {
        hwo_ = nullptr;
        throw Failure{kExitPlayback,
                      "waveOutOpen(" + platform_.TargetName() + ") failed with result " + std::to_string(r)};
    }
    std::string what = platform_.Target() == WAVE_MAPPER
                           ? "opened WAVE_MAPPER, " + PreferredDescription()
                           : "opened " + platform_.TargetName() + " directly (without the link the mapper "
                                                                  "would choose device 0)";
    if (o_.refill == Refill::Callback)
        what += sawOpen_ ? ", MM_WOM_OPEN received" : ", no MM_WOM_OPEN";
    Happen(what);
}

void Player::PrepareBuffers()
{
    refill_.reset(new RefillEngine(
        o_.bufferBytes, o_.loops,
        [this](uint64_t offset, uint8_t* dst, size_t size, size_t* got, std::string* error) {
            return window_->Copy(offset, dst, size, got, error);
        },
        [this](WAVEHDR* h, int64_t bytes) { return Write(h, bytes); },
        // Asking the position takes the driver's stream lock, under which it
        // marks headers done.
        [this] { Position(); }));
    size_t count = o_.buffers;
    uint64_t length = 0;
    if (o_.loops) {
        length = static_cast<uint64_t>(window_->Length());
        count = static_cast<size_t>((length + o_.bufferBytes - 1) / o_.bufferBytes);
    }
    refill_->CreateBuffers(count, length);
    for (size_t i = 0; i < count; ++i) {
        MMRESULT r = waveOutPrepareHeader(hwo_, refill_->Header(i), sizeof(WAVEHDR));
        if (r != MMSYSERR_NOERROR)
            throw Failure{kExitPlayback, "waveOutPrepareHeader failed with result " + std::to_string(r)};
    }
    report_.buffers = static_cast<unsigned>(count);
    report_.bufferBytes = o_.bufferBytes;
}

// ---- Buffers --------------------------------------------------------------------------

// Called with the driver's stream lock held, on the timer thread or, during
// waveOutReset, on the main thread.
void CALLBACK Player::WaveCallback(HDRVR, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR)
{
    Player* self = reinterpret_cast<Player*>(instance);
    if (msg == MM_WOM_DONE) {
        self->silence_.Note(host::ClockNowNs());
        self->refill_->OnDone(reinterpret_cast<WAVEHDR*>(p1));
    }
    else if (msg == MM_WOM_OPEN)
        self->sawOpen_ = true;
    else if (msg == MM_WOM_CLOSE)
        self->sawClose_ = true;
}

MMRESULT Player::Write(WAVEHDR* h, int64_t bytes)
{
    uint64_t c = Counter();
    if (!started_) {
        started_ = true;
        startCounter_ = c;
        timeline_->SetStart(c);
        startWall_ = std::chrono::steady_clock::now();
        startClockNs_ = host::ClockNowNs();
        startCpu_ = ProcessCpuSeconds();
        if (o_.fast)
            startVirtualNs_ = host::VirtualNowNs();
        std::lock_guard<std::mutex> lock(headsetMu_);
        if (headset_)
            headset_->SetOrigin(host::ClockNowNs());
    }
    Log(PlayEvent::Queued, c, bytes);
    MMRESULT r = waveOutWrite(hwo_, h, sizeof(WAVEHDR));
    if (r != MMSYSERR_NOERROR)
        Log(PlayEvent::Queued, c, -bytes);
    return r;
}

// ---- Clock --------------------------------------------------------------------------

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
        uint64_t longest = periods * period_ * 1000000ull;
        // Not past the sound's end by more than a period: the last buffer
        // comes back soon after it, and the close that follows happens then,
        // not at the end of a long step.
        double left = ExpectedSeconds() - PlaySeconds();
        if (periods > 1 && left >= 0)
            longest = std::min<uint64_t>(longest, static_cast<uint64_t>(left * 1e9) + period_ * 1000000ull);
        host::AdvanceVirtualNs(std::max<uint64_t>(std::min<uint64_t>(step, longest), 1000000));
        ParkIfFaulted();
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
    refill_->WaitDoneOrError(wait);
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
    auto happen = [this](const std::string& what) { Happen(what); };
    switch (a.kind) {
    case TimedAction::LinkDown:
        platform_.RaiseLink(false, "link down", happen);
        break;
    case TimedAction::LinkBack:
        platform_.RaiseLink(true, "link back up", happen);
        break;
    case TimedAction::LinkUp:
        platform_.RaiseLink(true, "link up (the headset connects)", happen);
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
    refill_->BeginReset();
    uint64_t before = Counter();
    MMRESULT r = waveOutReset(hwo_);
    uint64_t after = Counter();
    if (r != MMSYSERR_NOERROR)
        throw Failure{kExitPlayback, "waveOutReset failed with result " + std::to_string(r)};
    // The driver rebased its clock inside the call.
    Log(PlayEvent::Rebase, before + (after - before) / 2);
    uint64_t resume = 0;
    int64_t withdrawn = 0;
    refill_->EndReset(o_.refill == Refill::Event, &resume, &withdrawn);
    positionBase_ = resume;
    Log(PlayEvent::Queued, after, -withdrawn);
    Happen("reset at byte " + std::to_string(resume) + " of the sound; playing on from there", before);
    refill_->Resume();
}

void Player::Play()
{
    if (o_.fast)
        silence_.Restart(host::VirtualNowNs());
    else
        lateTicks_.Start(o_.lateTickMs);
    refill_->WriteAll();

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
        ParkIfFaulted();
        if (g_interrupted)
            throw Interrupted();
        if (o_.refill == Refill::Event)
            refill_->RefillReturned();
        std::string error = refill_->Error();
        if (!error.empty())
            throw Failure{kExitPlayback, error};
        if (refill_->Done() && !paused_)
            break;
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
                if (o_.fast)
                    silence_.Restart(host::VirtualNowNs());
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
        // Something must come back or arrive every few seconds.  In fast
        // mode the watch times each arrival and return on the virtual clock,
        // so a silence inside one long step counts too.
        if (o_.fast) {
            uint64_t nowNs = host::VirtualNowNs();
            if (paused_) {
                silence_.Restart(nowNs);
            } else if (silence_.Longest(nowNs) > static_cast<uint64_t>(kStallSeconds * 1e9)) {
                throw Failure{kExitPlayback, "playback stalled: nothing reached the headset for " +
                                                 Seconds(kStallSeconds) + " (" + std::to_string(window_->Received()) +
                                                 " bytes received)"};
            }
            uint64_t returned = refill_->Returned();
            if (returned != lastActivity) {
                // With the event the main thread itself finds what came back.
                lastActivity = returned;
                silence_.Note(nowNs);
            }
        } else {
            uint64_t activity = window_->Received() + refill_->Returned();
            if (activity != lastActivity || paused_) {
                lastActivity = activity;
                lastActivityAt = now;
            } else if (now - lastActivityAt > kStallSeconds) {
                throw Failure{kExitPlayback, "playback stalled: nothing reached the headset for " +
                                                 Seconds(kStallSeconds) + " (" + std::to_string(window_->Received()) +
                                                 " bytes received)"};
            }
        }
        double until = next < due.size() ? due[next].at : now + (o_.fast ? kFastStepSeconds : 1.0);
        WaitOrAdvance(until);
    }
    // Playback ended when the last buffer came back, which in fast mode may
    // be well before the advance that noticed it returned.
    std::chrono::steady_clock::time_point doneWall;
    refill_->DoneTime(&endCounter_, &doneWall);
    endWall_ = std::chrono::duration<double>(doneWall - startWall_).count();
    endCpu_ = ProcessCpuSeconds();
    progress.Finish(ExpectedSeconds());
    for (; next < due.size(); ++next)
        if (!due[next].restart)
            Happen("not reached: action at " + Seconds(due[next].at) + " (playback had ended)", endCounter_);
}

void Player::FinishPlayback()
{
    // Everything posted goes through the outputs before the files close.
    btstandin::Flush();
    refill_->Close();
    for (size_t i = 0; i < refill_->Count(); ++i)
        waveOutUnprepareHeader(hwo_, refill_->Header(i), sizeof(WAVEHDR));
    MMRESULT r = waveOutClose(hwo_);
    if (r != MMSYSERR_NOERROR)
        throw Failure{kExitPlayback, "waveOutClose failed with result " + std::to_string(r)};
    hwo_ = nullptr;
    Happen(o_.refill == Refill::Callback && sawClose_ ? "closed, MM_WOM_CLOSE received" : "closed");
    platform_.Stop();
    btstandin::Flush();
    report_.lateTicks = lateTicks_.Finish(startClockNs_);
}

// ---- Report -------------------------------------------------------------------------------

// With `failed`, the report of a run that stopped early: what happened up to
// the failure, and no packet log.
void Player::BuildReport(bool failed)
{
    Report& r = report_;
    AddSettings(o_, &r);
    r.audioSeconds = ExpectedSeconds();
    r.wallSeconds = endWall_;
    r.cpuSeconds = endCpu_ > startCpu_ ? endCpu_ - startCpu_ : 0;
    r.clockSeconds = static_cast<double>(endCounter_ - startCounter_) / static_cast<double>(frequency_);
    r.bytesWritten = refill_ ? refill_->BytesWritten() : 0;
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
        r.listener = listener_;
        AddWorld(o_, &r);
    }
    // The decoder's notes are its thread's until it stops.
    if (ahead_)
        ahead_->Stop();
    for (const std::string& n : audio_.Info().notes) {
        r.notes.push_back(n);
        std::fprintf(stderr, "btwav-play: warning: %s\n", n.c_str());
    }
    if (lateTicks_.Running())
        r.lateTicks = lateTicks_.Finish(startClockNs_);
    if (timeline_) {
        std::string error;
        if (!timeline_->Fill(&r, failed, &error))
            throw Failure{kExitOutput, error};
    }
    r.exitCode = failed ? r.exitCode : r.comparison.exact ? kExitOk : kExitMismatch;
    AddPeakMemory(&r);
}

void Player::WriteOutputs()
{
    std::string error;
    if (!received_.Finish(&error))
        throw Failure{kExitOutput, error};
    // The listener's outputs but the sound device, which the report finished.
    if (heardWav_ && !heardWav_->Finish(&error))
        throw Failure{kExitOutput, error};
    if (plotFile_.IsOpen() && !plotFile_.WriteAll(FormatSvg(report_), &error))
        throw Failure{kExitOutput, error};
    // The outputs go in place before the report is written: first those
    // copied into special files (where a write may still fail, on a full
    // device), then the renames, so a failure leaves no output of this run
    // in place (only a rename failing after another succeeded could).
    OutputFile* files[] = {&wavFile_, &heardFile_, &sbcFile_, &csvFile_, &plotFile_};
    for (bool copies : {true, false})
        for (OutputFile* f : files)
            if (f->IsOpen() && f->CopiesOnCommit() == copies && !f->Commit(&error))
                throw Failure{kExitOutput, error};
    for (OutputFile* f : files)
        if (!f->Path().empty())
            report_.outputs.push_back(f->Path());
    if (!jsonFile_.Path().empty())
        report_.outputs.push_back(jsonFile_.Path());
    if (jsonFile_.IsOpen() && !(jsonFile_.WriteAll(FormatJson(report_), &error) && jsonFile_.Commit(&error))) {
        report_.outputs.pop_back();
        throw Failure{kExitOutput, error};
    }
}

// ---- Teardown -----------------------------------------------------------------------------

void Player::Teardown()
{
    if (refill_)
        refill_->Close();
    if (hwo_) {
        waveOutReset(hwo_);
        for (size_t i = 0; i < refill_->Count(); ++i)
            waveOutUnprepareHeader(hwo_, refill_->Header(i), sizeof(WAVEHDR));
        waveOutClose(hwo_);
        hwo_ = nullptr;
    }
    platform_.Stop();
    if (booted_) {
        // No output may run once the files below are gone.
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
int Player::Fail(const Failure& f, bool faulted)
{
    EndProgressLine();
    const bool report = f.code != kExitUsage;
    // Outputs that a failure at the end had already put in place are listed
    // afresh below: only the report is written.
    report_.outputs.clear();
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
    if (!faulted)
        Teardown();
    else
        diagnostics::Stop();
    wav_.reset();
    heardWav_.reset();
    sbc_.reset();
    OutputFile* dropped[] = {&wavFile_, &heardFile_, &sbcFile_, &csvFile_, &plotFile_};
    for (OutputFile* file : dropped)
        file->Abort();
    if (report) {
        // Whatever the run staged for the report is dropped: the failed
        // run's report is the one document.
        std::string error;
        jsonFile_.Abort();
        if (!o_.jsonOut.empty() && jsonFile_.Create(o_.jsonOut, &error) &&
            jsonFile_.WriteAll(FormatJson(report_), &error) && jsonFile_.Commit(&error))
            report_.outputs.push_back(jsonFile_.Path());
        std::fputs(FormatText(report_).c_str(), ReportStream());
        std::fflush(ReportStream());
    }
    jsonFile_.Abort();
    std::fprintf(stderr, "btwav-play: %s\n", f.message.c_str());
    if (!faulted)
        processfault::Stop();
    return f.code;
}

void Player::ParkIfFaulted()
{
    if (!faulted_.load())
        return;
    mainParked_ = true;
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(1));
}

void Player::EndAfterFault(const std::string& what, const std::string& thread)
{
    faulted_ = true;
    // The main thread stops at its next step; one blocked on the faulted
    // thread (an advance of the virtual clock, a link event) never gets
    // there, and touches nothing meanwhile.
    for (int i = 0; i < 150 && !mainParked_.load(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::string message = "the " + thread + " thread met " + what +
                          " outside any handler, which ends the process on the device";
    for (const host::FaultRecord& fr : host::FaultRecords())
        if (fr.fault == host::Fault::TimerAccess && fr.fired > 0)
            message += " (--fault timeraccess fired in timeSetEvent or timeKillEvent)";
    int code = Fail(Failure{kExitPlayback, message}, true);
    std::fflush(nullptr);
    _exit(code);
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
    processfault::Stop();
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
    InstallSignalHandlers();
    Player p(options);
    return p.Run();
}

}  // namespace player
