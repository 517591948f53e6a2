// One input from start to end: the setup byte, then up to 200 steps, each an
// operation decoded from the input and followed by the checks that hold after
// any operation, then the teardown a device manager makes.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "check.h"
#include "driver/config.h"
#include "btstandin/btstandin.h"
#include "host/clock.h"
#include "host/host.h"
#include "host/registry.h"
#include "kit/routines.h"
#include "session.h"
#include "session_impl.h"

namespace fuzzing {

Session::Session(const host::DriverModule& driver, bool trace)
    : d_(driver), trace_(trace), oracle_(pool_, [this] { return ClientHearsBack(); })
{
    kit::Routines r;
    std::string missing;
    EXPECT(r.BindAll(d_, &missing), "the driver does not export %s", missing.c_str());
    ctx_ = r.stream;
    lock_ = r.lock;
    deviceInit_ = r.deviceInit;
    // Every header starts as an application's unprepared header.
    for (size_t i = 0; i < kHeaders; ++i) {
        pool_.Fill(i, std::vector<uint8_t>(), 0, 0);
        oracle_.Prepared(static_cast<int>(i), 0, 0, 0, false);
    }
    host::SetTickObserver([this](uint64_t counter) { oracle_.TickBegins(counter); });
    host::SetDebugRecordObserver([this](const host::DebugRecord& r) { oracle_.DebugLine(r); });
}

Session::~Session()
{
    host::SetTickObserver(nullptr);
    host::SetDebugRecordObserver(nullptr);
}

// After every operation at the top level: the queue and every header as the
// model has them, the lock free, and the host's books agreeing with what the
// driver was given.
void Session::CheckAfterStep(const char* op)
{
    oracle_.AfterMessage();   // the entry points reach the driver without a message
    oracle_.Compare(ctx_, op);
    oracle_.ReclaimDropped();
    if (*deviceInit_)
        EXPECT(lock_->OwnerThread == nullptr && lock_->LockCount == 0, "g_StreamLock held after %s", op);
    EXPECT(host::RegistryOpenHandles() == 0, "a registry key stays open after %s", op);
    int timers = host::ActiveTimerCount();
    EXPECT(timers <= 1, "%d timers after %s", timers, op);
    EXPECT(host::TimerPeriodBalance() == timers, "timer periods %d for %d timers after %s",
           host::TimerPeriodBalance(), timers, op);
    auto c = host::GetCounters();
    EXPECT(c.driverMallocs == oracle_.AcceptedPosts() + c.driverFrees,
           "%lu packets allocated, %llu posted and %lu freed after %s", c.driverMallocs,
           static_cast<unsigned long long>(oracle_.AcceptedPosts()), c.driverFrees, op);
    unsigned long contexts = (hDevice_ != 0 && hDevice_ != 10) + opens_.size() + (wave_ != 0);
    EXPECT(c.localAllocs - c.localFrees == contexts, "%lu local blocks live for %lu contexts after %s",
           c.localAllocs - c.localFrees, contexts, op);
}

void Session::Setup(uint8_t b)
{
    if (b & 0x01)
        host::FailNext(host::Fault::LocalAlloc, 1);
    hDevice_ = d_.Entry().Init(nullptr, nullptr);
    EXPECT(*deviceInit_, "WAV_Init left the device uninitialised");
    if (b & 0x02)
        host::FailNext(host::Fault::LocalAlloc, 1);
    DWORD_PTR h = d_.Entry().Open(hDevice_, 0, 0);
    if (h != 0)
        opens_.push_back(h);
    host::ClearFaults();
    if (b & 0x04) {
        std::string error;
        wave_ = host::RegisterWaveDriver(d_.Entry(), hDevice_, &error);
        EXPECT(wave_ != 0, "the wave API refused the driver: %s", error.c_str());
    }
    static const uint32_t kTimer[] = {20, 10, 5, 40};
    host::RegistrySetDword(BTWAV_PARAMS_KEY, BTWAV_VALUE_TIMER, kTimer[(b >> 4) & 3]);
    Trace("setup %#x: device %#lx, %zu opens, wave %u", b, static_cast<unsigned long>(hDevice_), opens_.size(), wave_);
    if (b & 0x08)
        Link(0);
    CheckAfterStep("setup");
}

void Session::Step(Reader& in)
{
    uint8_t op = in.U8();
    switch (op % 20) {
    case 0:
    case 1: {
        // At most two seconds of virtual time per input (a few hundred
        // ticks), so that every input runs in milliseconds.
        uint64_t ms = std::min<uint64_t>(1 + in.U8() % 128 * 3, kVirtualMsPerInput - advancedMs_);
        Trace("advance %llu ms", static_cast<unsigned long long>(ms));
        host::AdvanceVirtualMs(ms);
        advancedMs_ += ms;
        break;
    }
    case 2:
    case 3: {
        uint8_t b = in.U8();
        Write(b % kHeaders, (b & 0x70) == 0x70 ? MemFrom(b >> 3) : kit::Mem::Good,
              (op & 0x80) ? MemFrom(in.U8()) : kit::Mem::Good, (b & 0x78) == 0x68 ? MemFrom(b >> 7) : kit::Mem::Good);
        break;
    }
    case 4:
    case 5: Prepare(in); break;
    case 6: Simple(WODM_PAUSE); break;
    case 7: Simple(WODM_RESTART); break;
    case 8: Reset(); break;
    case 9: BreakLoop(); break;
    case 10: {
        uint8_t b = in.U8();
        static const DWORD kTypes[] = {TIME_MS, TIME_SAMPLES, TIME_BYTES, TIME_SMPTE, TIME_MIDI, TIME_TICKS, 0, 3};
        GetPos(MemFrom(b), kTypes[(b >> 3) % 8]);
        break;
    }
    case 11: {
        uint8_t b = in.U8();
        uint8_t c = in.U8();
        static const DWORD kFlags[] = {0, 0, 0, WAVE_FORMAT_QUERY, WAVE_FORMAT_DIRECT,
                                       WAVE_FORMAT_QUERY | WAVE_FORMAT_DIRECT, 0x30, 0};
        Open(kFlags[b % 8], (b & 0x38) == 0x38 ? MemFrom(c) : kit::Mem::Good,
             (b & 0xC0) == 0xC0 ? MemFrom(c >> 3) : kit::Mem::Good, !(c & 0x40), !(c & 0x80) || (b & 0x20));
        break;
    }
    case 12: {
        timerMayOutliveClose_ = reactionsLeft_ > 0 && reactTo_ == MM_WOM_CLOSE &&
                                (reaction_ == Reaction::Reset || reaction_ == Reaction::Open);
        Close();
        timerMayOutliveClose_ = false;
        break;
    }
    case 13: {
        uint8_t b = in.U8();
        Caps(MemFrom(b), in.U8(), b & 0x80);
        break;
    }
    case 14: Link(in.U8()); break;
    case 15: {
        uint8_t a = in.U8();
        Fault(a, a >> 3, in.U8());
        break;
    }
    case 16: {
        uint8_t b = in.U8();
        static const uint64_t kLateNs[] = {0, 3000000, 25000000, 70000000};
        uint64_t late = kLateNs[b % 4];
        Trace("ticks late by %llu ns", static_cast<unsigned long long>(late));
        host::SetVirtualTickLateness(late ? std::function<uint64_t()>([late] { return late; }) : nullptr);
        break;
    }
    case 17: {
        uint8_t b = in.U8();
        static const UINT kOn[] = {MM_WOM_DONE, MM_WOM_DONE, MM_WOM_OPEN, MM_WOM_CLOSE};
        reactTo_ = kOn[b % 4];
        reaction_ = static_cast<Reaction>((b >> 2) % static_cast<uint8_t>(Reaction::Count));
        reactArg_ = in.U8();
        reactionsLeft_ = 1 + (b >> 6);
        Trace("client reacts to %u with %d, %u times", reactTo_, static_cast<int>(reaction_), reactionsLeft_);
        break;
    }
    case 18: {
        uint8_t b = in.U8();
        Registry(b, in.U8());
        break;
    }
    default: {
        uint8_t b = in.U8();
        if (b & 1)
            Raw(in);
        else
            EntryPoints(b >> 1);
        break;
    }
    }
    CheckAfterStep("step");
}

// Ends as the device manager ends a device: the client resets and closes,
// the opens are closed and the device deinitialised.  Afterwards nothing of
// the driver's may remain: no header, timer, period, context or packet.
void Session::Teardown()
{
    host::ClearFaults();
    btstandin::RefusePosts(0);
    host::SetVirtualTickLateness(nullptr);
    reactionsLeft_ = 0;
    Trace("teardown");
    if (ctx_->pLoopStart != nullptr || ctx_->bOpened) {
        Reset();
        CheckAfterStep("the final reset");
        Close();
        CheckAfterStep("the final close");
    }
    EXPECT(oracle_.Empty(), "headers are still queued after the final reset and close");
    if (wave_ != 0)
        EXPECT(host::UnregisterWaveDriver(wave_), "the wave API lost the driver");
    wave_ = 0;
    for (DWORD_PTR h : opens_)
        d_.Entry().Close(h);
    opens_.clear();
    EXPECT(d_.Entry().Deinit(hDevice_ == 10 ? 0 : hDevice_) == TRUE, "WAV_Deinit failed");
    hDevice_ = 0;
    EXPECT(!*deviceInit_, "the device is still initialised after WAV_Deinit");
    EXPECT(host::ActiveTimerCount() == 0 && host::TimerPeriodBalance() == 0, "%d timers, %d periods after deinit",
           host::ActiveTimerCount(), host::TimerPeriodBalance());
    btstandin::Flush();
    auto c = host::GetCounters();
    EXPECT(c.localAllocs == c.localFrees, "%lu local blocks allocated, %lu freed", c.localAllocs, c.localFrees);
    EXPECT(c.driverMallocs == oracle_.AcceptedPosts() + c.driverFrees, "%lu packets allocated, %llu posted, %lu freed",
           c.driverMallocs, static_cast<unsigned long long>(oracle_.AcceptedPosts()), c.driverFrees);
    EXPECT(btstandin::PacketsInFlight() == 0, "packets still in flight");
}

void Session::Run(Reader& in)
{
    Setup(in.U8());
    // A bounded number of steps keeps every input quick.
    for (int n = 0; n < 200 && !in.Done(); ++n)
        Step(in);
    Teardown();
}

void RunInput(const host::DriverModule& driver, const uint8_t* data, size_t size, bool trace)
{
    kit::FreshHost();
    Reader in(data, size);
    {
        Session session(driver, trace);
        session.Run(in);
    }
    kit::ClearHost();
}

}  // namespace fuzzing
