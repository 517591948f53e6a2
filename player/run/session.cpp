// The player's run: the order of its steps, and the wiring between the units
// that do them.  Each unit's header says what it does, on which thread, under
// which lock; this file creates them, connects them, and keeps the run's
// order, its loop and its failure path.
//
//   OutputSet (outputset.h)   the output files, made first and put in place last
//   HostBoot (boot.h)         the registry, the world, the driver, the link
//   World (world/world.h)     the link's model, the headset and listener, and the
//                             timeline of ticks, posts, writes and happenings
//   NegotiateFormat           the format query and the conversion (negotiate.h)
//   SoundChain (soundchain.h) decoder, conversion, decoding ahead, the window
//   WaveDevice (wavedevice.h) the device as the application holds it
//   RefillEngine (refill.h)   the buffers, written again as they come back
//   PlayClock (playclock.h)   time 0 at the first write; real or virtual
//   ActionSchedule, StallWatch  the timed actions and the stall limit
//
// The threads, from waveOutWrite to the ear, are drawn in docs/threads.md.
#include "run/session.h"

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <new>
#include <thread>

#include "report/assemble.h"
#include "wave/boot.h"
#include "wave/diagnostics.h"
#include "run/failure.h"
#include "btstandin/btstandin.h"
#include "host/clock.h"
#include "host/events.h"
#include "host/faults.h"
#include "host/host.h"
#include "host/wave.h"
#include "world/world.h"
#include "input/negotiate.h"
#include "report/outputset.h"
#include "wave/playclock.h"
#include "run/processfault.h"
#include "run/progress.h"
#include "wave/refill.h"
#include "wave/driverread.h"
#include "report/report.h"
#include "run/schedule.h"
#include "input/soundchain.h"
#include "run/stall.h"
#include "wave/wavedevice.h"

namespace player {
namespace {

class Player {
public:
    explicit Player(const Options& o)
        : o_(o), boot_(o), clock_(o.fast), stall_(o.fast, &silence_, kStallSeconds),
          device_(o.refill, [this](WAVEHDR* h) { OnDone(h); }) {}
    ~Player() { Teardown(); }
    int Run();

private:
    void Boot();
    void OpenSound(std::unique_ptr<Decoder> decoder);
    void Play();
    void Step(const ActionSchedule::Step& s, double now);
    void WaitOrAdvance(double untilSeconds);
    void OnDone(WAVEHDR* h);
    MMRESULT Write(WAVEHDR* h, int64_t bytes);
    void Finish();
    void BuildReport(bool failed);
    void Teardown();
    int Fail(const Failure& f, bool faulted = false);
    [[noreturn]] void EndAfterFault(const std::string& what, const std::string& thread);
    void ParkIfFaulted();
    void Happen(const std::string& what, uint64_t counter = 0)
    {
        world_->Happen(what, counter = counter ? counter : Counter());
        if (o_.verbose)
            VerboseLine(counter, firstWrite_.load(), frequency_, what);
    }
    double Expected() const { return sound_.ExpectedSeconds(o_.loops); }
    FILE* ReportStream() const { return o_.StandardOutputTaken() ? stderr : stdout; }

    const Options& o_;
    Report report_;
    OutputSet outputs_;
    HostBoot boot_;
    bool booted_ = false;
    uint64_t frequency_ = 1;
    std::unique_ptr<World> world_;         // the link, the listener and the timeline
    SoundChain sound_;
    PlayClock clock_;
    SilenceWatch silence_;                 // fast mode: arrivals and returns, on the virtual clock
    StallWatch stall_;
    LateTickAudit lateTicks_;              // real clock: late ticks explained
    WaveDevice device_;
    std::unique_ptr<RefillEngine> refill_;
    uint64_t positionBase_ = 0;            // sound offset where the driver's position 0 stands
    bool paused_ = false;
    std::atomic<bool> timerNamed_{false};  // the debug output knows the timer's thread
    std::atomic<bool> faulted_{false};     // a thread faulted outside any guard
    std::atomic<uint64_t> firstWrite_{0};  // the counter at the first write (-v's time 0), 0 before it
    std::atomic<bool> mainParked_{false};  // the main thread saw it and stopped
    HANDLE fastWake_ = nullptr;            // fast mode, callback refill: set when playback ends or fails
};

void Player::Boot()
{
    host::NameThisThread("main");
    processfault::Watch([this](const std::string& what, const std::string& thread) { EndAfterFault(what, thread); });
    boot_.SelectClock();
    if (o_.fast)
        host::UseClock(host::ClockKind::VirtualAuto);
    frequency_ = Frequency();
    const size_t before = report_.warnings.size();
    boot_.Prepare(&report_.warnings, &report_.registry);
    for (size_t i = before; i < report_.warnings.size(); ++i)
        ConsoleLine(stderr, "btwav-play: warning: " + report_.warnings[i]);
    diagnostics::Start(stderr, o_.debug, o_.trace, Counter(), frequency_);
    // The world: the link's model, the headset and listener, the timeline;
    // it learns of the writes, ticks, posts and packets from the host's and
    // the stand-in's hooks, as for any application.
    World::Setup setup;
    setup.frequency = frequency_;
    setup.realClock = !o_.fast;
    setup.looping = o_.loops != 0;
    setup.packetLog = outputs_.PacketLog();
    setup.heardFile = outputs_.HeardFile();
    setup.keepPcm = !o_.streamOut.empty();
    const size_t warned = report_.warnings.size();
    world_.reset(new World(o_, setup, &report_.warnings));
    for (size_t i = warned; i < report_.warnings.size(); ++i)
        ConsoleLine(stderr, "btwav-play: warning: " + report_.warnings[i]);
    World::Hooks hooks;
    hooks.debugLine = [](const std::string& line) { diagnostics::DebugLine(line); };
    hooks.pacing = [this](const std::string& line, const PacingConfig&) {
        if (o_.verbose)
            VerboseLine(Counter(), firstWrite_.load(), frequency_, "driver config " + line);
    };
    hooks.tick = [this](uint64_t) {
        if (!timerNamed_.exchange(true, std::memory_order_relaxed))
            diagnostics::NameThisThread("timer");
        if (fastWake_ != nullptr && refill_->Done())
            host::SetEvent(fastWake_);
    };
    hooks.media = [this](const btstandin::MediaPacket& p) {
        silence_.Note(p.arrivalNs);
        outputs_.SentStream(p);
    };
    world_->Attach(hooks);
    world_->ModelLink();
    boot_.ArmFaults();
    report_.headset = world_->Ear().Config();
    // The bit-exact stream: compared with the sound and written as it
    // arrives.
    btstandin::AddSink([this](const btstandin::PacketView& p) {
        if (p.size == 0)
            return;
        silence_.Note(p.arrivalNs);
        if (SoundWindow* w = sound_.Window())
            w->Receive(p.audio, p.size);
        outputs_.Received()->Take(p.audio, p.size);
    });
    booted_ = true;
    boot_.Start([this](const std::string& what) { Happen(what); });
}

void Player::OpenSound(std::unique_ptr<Decoder> decoder)
{
    FormatDecision d = NegotiateFormat(decoder->Info(), [this](const WAVEFORMATEX& f, DWORD flags) {
        return waveOutOpen(nullptr, boot_.Target(), &f, 0, 0, WAVE_FORMAT_QUERY | flags);
    });
    report_.queryRefused = d.queryRefused;
    report_.converted = d.converted;
    report_.convertedBy = d.by == ConvertedBy::Mapper ? "mapper" : d.by == ConvertedBy::Player ? "player" : "";
    report_.conversion = sound_.OpenFor(d, std::move(decoder), o_.loops, o_.buffers, o_.bufferBytes);
    const uint32_t bufferBytes = sound_.BufferBytes();
    Happen(device_.Open(boot_.Target(), boot_.TargetName(), d.written));
    if (d.by == ConvertedBy::Mapper)
        report_.conversion += " (" + device_.MappingText() + ")";
    SoundWindow* window = sound_.Window();
    refill_.reset(new RefillEngine(
        bufferBytes, o_.loops,
        [window](uint64_t offset, uint8_t* dst, size_t size, size_t* got, std::string* error) {
            return window->Copy(offset, dst, size, got, error);
        },
        [this](WAVEHDR* h, int64_t bytes) { return Write(h, bytes); },
        // Asking the position takes the driver's stream lock, under which it marks headers done.
        [this] { device_.Position(); }));
    size_t count = o_.buffers;
    uint64_t length = o_.loops ? static_cast<uint64_t>(window->Length()) : 0;
    if (o_.loops)
        count = static_cast<size_t>((length + bufferBytes - 1) / bufferBytes);
    refill_->CreateBuffers(count, length);
    for (size_t i = 0; i < count; ++i)
        device_.Prepare(refill_->Header(i));
    report_.buffers = static_cast<unsigned>(count);
    report_.bufferBytes = bufferBytes;
}

// The refill engine's writer: time 0 at the first write, the timeline, then
// waveOutWrite.  Main thread, or the callback's with the stream lock held.
MMRESULT Player::Write(WAVEHDR* h, int64_t bytes)
{
    uint64_t c = Counter();
    if (!clock_.Started()) {
        clock_.Start(c);
        diagnostics::SetFirstWrite(c);
        firstWrite_ = c;
    }
    // The world sees the write through the host's write observer.
    (void)bytes;
    return device_.Write(h);
}

void Player::Step(const ActionSchedule::Step& s, double now)
{
    if (s.restart) {
        WaveDevice::Span t = device_.Restart();
        world_->Events().Log(PlayEvent::Rebase, t.Middle());
        paused_ = false;
        // A pause is no silence of the headset's: its watch starts again here.
        stall_.Restart(now, o_.fast ? host::VirtualNowNs() : 0);
        Happen("restart", t.before);
        return;
    }
    switch (s.action.kind) {
    case TimedAction::LinkDown: world_->RaiseLink(false, "link down"); break;
    case TimedAction::LinkBack: world_->RaiseLink(true, "link back up"); break;
    case TimedAction::LinkUp: world_->RaiseLink(true, "link up (the headset connects)"); break;
    case TimedAction::Pause:
        device_.Pause();
        paused_ = true;
        Happen("pause for " + std::to_string(s.action.durationMs) + " ms");
        break;
    case TimedAction::Reset: {
        refill_->BeginReset();
        // Through the mapper the buffers come back wholly taken: the position says where the sound stands.
        const int64_t played = sound_.Window()->Counting() ? int64_t(positionBase_ + device_.Position()) : -1;
        WaveDevice::Span t = device_.Reset();
        world_->Events().Log(PlayEvent::Rebase, t.Middle());
        int64_t withdrawn = 0;
        refill_->EndReset(o_.refill == Refill::Event, &positionBase_, &withdrawn, played);
        // The timeline counts the device's bytes.
        world_->Events().Log(PlayEvent::Queued, t.after, -sound_.AsDeviceBytes(withdrawn));
        Happen("reset at byte " + std::to_string(positionBase_) + " of the sound; playing on from there", t.before);
        refill_->Resume();
        break;
    }
    }
}

// MM_WOM_DONE.  Fast callback refill: a failure wakes main at once (the end: the tick observer).
void Player::OnDone(WAVEHDR* h)
{
    silence_.Note(host::ClockNowNs());
    refill_->OnDone(h);
    if (fastWake_ != nullptr && !refill_->Error().empty())
        host::SetEvent(fastWake_);
}

// Lets playback run until `untilSeconds` of playback time (virtual in fast
// mode), or less: until something comes back with the event (at most 50 ms
// on the real clock), or the end or a failure with the callback.
void Player::WaitOrAdvance(double untilSeconds)
{
    double wait = std::max(0.0, untilSeconds - clock_.Seconds());
    if (o_.fast) {
        const uint32_t ms = FastWaitMs(host::VirtualNowNs(), clock_.VirtualNsAt(untilSeconds));
        if (o_.refill == Refill::Event)
            device_.WaitEvent(ms);
        else if (host::WaitForEvent(fastWake_, ms))
            host::WaitForRunningTick();   // the waking tick ends first, as it outranks this thread
        ParkIfFaulted();
    } else if (o_.refill == Refill::Event) {
        device_.WaitEvent(static_cast<uint32_t>(std::min(wait, 0.05) * 1000.0) + 1);
    } else {
        // The callback refills the buffers itself: the main thread wakes only
        // for the next action, the end, an error, or the progress shown.
        refill_->WaitDoneOrError(std::min(wait, o_.quiet ? 1.0 : 0.1));
    }
}

void Player::Play()
{
    if (o_.fast)
        silence_.Restart(host::VirtualNowNs());
    else
        lateTicks_.Start(o_.lateTickMs);
    if (o_.fast && o_.refill == Refill::Callback)
        fastWake_ = host::CreateEvent(false, false);
    refill_->WriteAll();
    ActionSchedule schedule(o_.actions);
    Progress progress(o_.quiet ? nullptr : stderr, isatty(STDERR_FILENO) != 0, Expected());
    for (;;) {
        ParkIfFaulted();
        if (g_interrupted)
            throw Interrupted();
        if (o_.refill == Refill::Event)
            refill_->RefillReturned();
        if (!refill_->Error().empty())
            throw Failure{kExitPlayback, refill_->Error()};
        if (refill_->Done() && !paused_)
            break;
        double now = clock_.Seconds();
        ActionSchedule::Step step;
        while (schedule.TakeDue(now, &step))
            Step(step, now);
        // Progress a few times a second: of wall time in fast mode, from what
        // the headset received; else from the driver's position, asked only
        // when shown (it checks the caller's record, which costs).
        double at = o_.fast ? clock_.WallSeconds() : now;
        if ((o_.fast || !o_.quiet) && progress.Due(at)) {
            progress.Update(o_.fast ? static_cast<double>(sound_.Window()->Received()) / kDeviceBytesPerSecond
                                    : static_cast<double>(positionBase_ + device_.Position()) / sound_.BytesPerSecond());
        }
        uint64_t received = sound_.Window()->Received();
        if (!stall_.Check(now, o_.fast ? host::VirtualNowNs() : 0, paused_, received, refill_->Returned()))
            throw Failure{kExitPlayback, stall_.Describe(received)};
        double until = now + (o_.fast ? kFastStepSeconds : 1.0);
        schedule.NextAt(&until);
        WaitOrAdvance(until);
    }
    // Playback ended when the last buffer came back, which in fast mode may
    // be well before the advance that noticed it returned.
    uint64_t endCounter = 0;
    std::chrono::steady_clock::time_point endWall;
    refill_->DoneTime(&endCounter, &endWall);
    clock_.End(endCounter, endWall);
    progress.Finish(Expected());
    for (const ActionSchedule::Step& s : schedule.NotReached())
        Happen("not reached: action at " + Fixed(s.at, 3) + " s (playback had ended)", endCounter);
}

void Player::Finish()
{
    // Everything posted goes through the outputs before the files close;
    // the library sends what its encoder still holds.
    btstandin::EndStream();
    btstandin::Flush();
    refill_->Close();
    Happen(device_.Close());
    boot_.Stop();
    btstandin::Flush();
    report_.lateTicks = lateTicks_.Finish(clock_.StartClockNs());
}

// With `failed`, the report of a run that stopped early: what happened up to
// the failure, and no packet log.
void Player::BuildReport(bool failed)
{
    Report& r = report_;
    AddSettings(o_, &r);
    r.audioSeconds = Expected();
    r.wallSeconds = clock_.EndWallSeconds();
    r.cpuSeconds = clock_.CpuSeconds();
    r.clockSeconds = clock_.CounterSeconds(frequency_);
    r.bytesWritten = refill_ ? refill_->BytesWritten() : 0;
    if (sound_.Window())
        r.comparison = sound_.Result(o_.loops, &r.bitExactJudged);
    if (world_ && world_->FillWorld(&r))
        AddFaults(o_, &r);
    for (const std::string& n : sound_.StopAndNotes()) {
        r.notes.push_back(n);
        std::fprintf(stderr, "btwav-play: warning: %s\n", n.c_str());
    }
    if (lateTicks_.Running())
        r.lateTicks = lateTicks_.Finish(clock_.StartClockNs());
    std::string error;
    if (world_ && !world_->FillTimeline(&r, failed, &error))
        throw Failure{kExitOutput, error};
    WarnAgainstRegistry(r.config, &r.warnings);   // what the driver used, once it said so
    // After a signal's code and the failures' (set by Fail): what the listener heard, then bit-exactness.
    r.allow = o_.allow;
    if (!failed) {
        r.verdict = Judge(r, o_.allow);
        const bool matched = r.comparison.exact || !r.bitExactJudged;
        r.exitCode = r.verdict.code ? r.verdict.code : matched ? kExitOk : kExitMismatch;
    }
    AddPeakMemory(&r);
}

void Player::Teardown()
{
    if (refill_)
        refill_->Close();
    device_.Abandon();
    if (fastWake_ != nullptr && host::CloseEvent(fastWake_))
        fastWake_ = nullptr;
    boot_.Stop();
    if (booted_) {
        // No output may run once the files are gone.
        btstandin::Reset();
        world_->Detach();
        host::SetVirtualTickLateness(nullptr);
        host::SetDebugEcho(nullptr);
        diagnostics::Stop();
        booted_ = false;
    }
}

// A failed run: the audio outputs are dropped, the report says what happened
// up to the failure (except for a command-line error, where nothing did).
// `faulted`: a thread faulted outside any guard; the driver is not called
// again (the thread may hold its lock) and the process ends.
int Player::Fail(const Failure& f, bool faulted)
{
    EndProgressLine();
    const bool report = f.code != kExitUsage;
    // Outputs that a failure at the end had already put in place are listed
    // afresh: only the report is written.
    report_.outputs.clear();
    if (report) {
        if (report_.source.empty())
            report_.source = o_.input.empty() ? "built-in sound" : "'" + o_.input + "'";
        report_.failed = true;
        report_.exitCode = f.code;
        report_.error = f.message;
        clock_.EndNow(Counter());
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
    outputs_.Drop(report ? &report_ : nullptr, o_.jsonOut);
    if (report) {
        std::fputs(FormatText(report_).c_str(), ReportStream());
        std::fflush(ReportStream());
    }
    std::fprintf(stderr, "btwav-play: %s\n", f.message.c_str());
    if (!faulted)
        processfault::Stop();
    return f.code;
}

// Main thread: once a thread has faulted, waits here for the end.
void Player::ParkIfFaulted()
{
    if (!faulted_.load())
        return;
    mainParked_ = true;
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(1));
}

// On the fault watcher's thread: the main thread's steps stop, and the run
// ends with its report.
void Player::EndAfterFault(const std::string& what, const std::string& thread)
{
    faulted_ = true;
    processfault::AwaitParked(mainParked_);
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
        std::unique_ptr<Decoder> decoder;
        std::string error;
        try {
            decoder = o_.input.empty() ? BuiltInSound(o_.builtInFrames ? o_.builtInFrames : kBuiltInFrames)
                                       : OpenAudioFile(o_.input, &error, InputWaits(o_));
        } catch (const std::bad_alloc&) {
            throw Failure{kExitInput, "'" + o_.input + "' is too large to hold in memory"};
        }
        if (!decoder && g_interrupted)
            throw Interrupted();
        if (!decoder)
            throw Failure{kExitInput, error};
        report_.source = decoder->Info().origin;
        report_.sourceFormat = DescribeSource(decoder->Info());
        std::vector<std::string> warnings;
        outputs_.Create(o_, &warnings, ExpectedBytes(decoder->Info(), o_.loops));
        for (const std::string& w : warnings) {
            ConsoleLine(stderr, "btwav-play: warning: " + w);
            report_.warnings.push_back(w);
        }
        Boot();
        OpenSound(std::move(decoder));
        Play();
        Finish();
        BuildReport(false);
        outputs_.Commit(&report_);
    } catch (const Failure& f) {
        return Fail(f);
    } catch (const std::bad_alloc&) {
        return Fail(Failure{kExitPlayback, "out of memory"});
    }
    Teardown();
    processfault::Stop();
    std::fputs(FormatText(report_).c_str(), ReportStream());
    std::fflush(ReportStream());
    SayHowItEnded(report_);
    return report_.exitCode;
}

}  // namespace

int RunPlayer(const Options& options)
{
    InstallSignalHandlers();
    Player p(options);
    return p.Run();
}

}  // namespace player
