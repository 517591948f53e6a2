#include "session.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <string>
#include <thread>
#include <cstring>
#include <vector>

#include "driver/config.h"
#include "host/btstandin.h"
#include "host/clock.h"
#include "host/host.h"
#include "host/platform.h"
#include "host/registry.h"
#include "host/wave.h"
#include "kit/driver.h"
#include "kit/header_pool.h"
#include "kit/records.h"
#include "kit/routines.h"
#include "pump/pump.h"
#include "queue/queue.h"
#include "stream/stream.h"

namespace fuzzing {
namespace {

using kit::Address;
using kit::HConsumed;
using kit::HFlags;
using kit::HLength;
using kit::HNext;
using kit::Mem;
using kit::Name;
using kit::UnmappedPage;

// ---- Input ------------------------------------------------------------------------

class Reader {
public:
    Reader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    bool Done() const { return i_ >= n_; }
    // Past the end every byte reads as 0, so a cut input still decodes.
    uint8_t U8() { return i_ < n_ ? p_[i_++] : 0; }
    uint16_t U16() { return static_cast<uint16_t>(U8() | (U8() << 8)); }
    uint32_t U32() { return U16() | (static_cast<uint32_t>(U16()) << 16); }

private:
    const uint8_t* p_;
    size_t n_;
    size_t i_ = 0;
};

[[noreturn]] void Broken(const char* file, int line, const char* what, const char* fmt, ...)
{
    std::fprintf(stderr, "\n== invariant broken at %s:%d: %s\n   ", file, line, what);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    std::fprintf(stderr, "\n");
    std::abort();
}

#define EXPECT(cond, ...)                                     \
    do {                                                      \
        if (!(cond))                                          \
            Broken(__FILE__, __LINE__, #cond, __VA_ARGS__);   \
    } while (0)

// ---- Addresses a record may have -------------------------------------------------

Mem MemFrom(uint8_t b)
{
    // Mostly good records, so that sequences get somewhere.
    switch (b % 8) {
    case 0: return Mem::Null;
    case 1: return Mem::Unmapped;
    default: return Mem::Good;
    }
}

// ---- The session ------------------------------------------------------------------

constexpr size_t kHeaders = 8;
constexpr uint8_t kTagBase = 0xA0;   // every byte of header i's buffer is kTagBase + i
constexpr uint64_t kVirtualMsPerInput = 2000;

struct Header {
    WAVEHDR* hdr = nullptr;       // at an odd address in the pool; its audio is kTagBase + index throughout
    Mem data = Mem::Good;         // what lpData points at
    bool pending = false;         // a write was accepted and it has not come back
    bool exact = false;           // coming back from a tick, it must have given whole passes
    bool member = false;          // a loop member when it was queued
    bool backSinceDrain = false;  // handed back since the packets were last read
    unsigned serial = 0;          // accepted writes so far
    uint64_t bytes = 0;           // its bytes found in packets since the accepted write
};

// What the client does from inside its callback.
// Fault: the callback reads an unmapped page.  Only where a guard catches it
// (MM_WOM_DONE during WODM_RESET, on the thread that sent it); a fault in a
// tick's callback would end the process, as on the platform.
enum class Reaction : uint8_t { WriteSame, WriteOther, Reset, Pause, Restart, BreakLoop, Close, GetPos, Open, Fault, Count };

class Session {
public:
    Session(const host::DriverModule& driver, bool trace) : d_(driver), trace_(trace)
    {
        kit::Routines r;
        std::string missing;
        EXPECT(r.BindAll(d_, &missing), "the driver does not export %s", missing.c_str());
        ctx_ = r.stream;
        lock_ = r.lock;
        deviceInit_ = r.deviceInit;
        for (size_t i = 0; i < kHeaders; ++i)
            h_[i].hdr = pool_[i];
    }

    void Run(Reader& in);

private:
    // ---- operations
    void Setup(uint8_t b);
    void Step(Reader& in);
    void Teardown();
    void Prepare(Reader& in);
    void Write(size_t i, Mem rec, Mem out, Mem hdr);
    void Open(DWORD flags, Mem desc, Mem fmt, bool stereo, bool callback);
    void Close();
    kit::MessageAnswer Simple(UINT uMsg);
    void Reset();
    void GetPos(Mem rec, DWORD wType);
    void Caps(Mem rec, DWORD size, bool extended);
    void Link(uint8_t b);
    void Fault(uint8_t kind, uint8_t count, uint8_t skip);
    void Registry(uint8_t which, uint8_t value);
    void EntryPoints(uint8_t b);
    void Raw(Reader& in);

    // ---- plumbing
    kit::MessageAnswer Send(UINT uMsg, DWORD_PTR p1, DWORD_PTR p2, Mem rec = Mem::Good, Mem out = Mem::Good);
    static void CALLBACK ClientFn(HDRVR h, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2);
    void OnCallback(HDRVR h, UINT msg, DWORD_PTR p1);
    void React(UINT msg, DWORD_PTR p1);
    void HandedBack(size_t i, const char* how);
    void Drain();
    void PollWithoutCallback();
    void CheckAfterStep(const char* op);
    int IndexOf(const void* p) const;
    DWORD_PTR hOpenOrZero() const { return opens_.empty() ? 0 : opens_.front(); }
    // Whether headers come back through MM_WOM_DONE: the latest open gave a
    // callback and the stream's record still holds it.
    bool ClientHearsBack() const { return callback_ && ctx_->pfnCallback != nullptr; }
    void Trace(const char* fmt, ...);

    const host::DriverModule& d_;
    bool trace_;
    STREAM_CONTEXT* ctx_ = nullptr;
    CRITICAL_SECTION* lock_ = nullptr;
    BOOL* deviceInit_ = nullptr;

    kit::HeaderPool pool_{kHeaders};
    Header h_[kHeaders];
    WAVEFORMATEX format_ = kit::MakeFormat(2, 44100, 16);
    WAVEFORMATEX otherFormat_ = kit::MakeFormat(1, 22050, 8);
    WAVEOPENDESC desc_{};

    DWORD_PTR hDevice_ = 0;
    std::vector<DWORD_PTR> opens_;   // live WAV_Open handles
    host::WaveDriverId wave_ = 0;
    bool callback_ = false;          // the stream's client has a callback
    HWAVE hWave_ = nullptr;          // the open's handle, as MM_WOM_CLOSE must show it
    bool openSinceWalk_ = false;     // an open (which drops the queue) happened
    unsigned realOpens_ = 0;         // stream opens so far
    // Order of the opens and closes that end in a state the driver must
    // keep: whichever came last decides whether an open that called back
    // leaves the stream open (a close from inside MM_WOM_OPEN wins).
    unsigned events_ = 0;
    unsigned lastOpenEvent_ = 0;
    unsigned lastCloseEvent_ = 0;
    bool timerMayOutliveClose_ = false;
    uint64_t acceptedPosts_ = 0;
    uint64_t advancedMs_ = 0;

    int depth_ = 0;                  // callbacks in progress on this session
    bool resetting_ = false;         // inside WODM_RESET sent by this session
    bool clientFaulted_ = false;     // the client faulted inside that reset
    std::thread::id runner_ = std::this_thread::get_id();
    Reaction reaction_ = Reaction::Count;
    UINT reactTo_ = 0;
    uint8_t reactArg_ = 0;
    unsigned reactionsLeft_ = 0;
};

void Session::Trace(const char* fmt, ...)
{
    if (!trace_)
        return;
    va_list ap;
    va_start(ap, fmt);
    std::fprintf(stderr, "%*s", depth_ * 4, "");
    std::vfprintf(stderr, fmt, ap);
    std::fprintf(stderr, "\n");
    va_end(ap);
}

int Session::IndexOf(const void* p) const
{
    return pool_.IndexOf(p);
}

kit::MessageAnswer Session::Send(UINT uMsg, DWORD_PTR p1, DWORD_PTR p2, Mem rec, Mem out)
{
    kit::MessageAnswer a = kit::SendMessage(d_.Entry(), hOpenOrZero(), uMsg, p1, p2, rec, out);
    EXPECT(a.returned == TRUE, "WAV_IOControl answered %d for message %u", a.returned, uMsg);
    if (rec != Mem::Good || out != Mem::Good)
        EXPECT(!a.wroteResult, "a result word went to a record that is not the caller's");
    return a;
}

// ---- The client and what comes back ------------------------------------------------

void CALLBACK Session::ClientFn(HDRVR h, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR)
{
    reinterpret_cast<Session*>(instance)->OnCallback(h, msg, p1);
}

void Session::OnCallback(HDRVR h, UINT msg, DWORD_PTR p1)
{
    // Whatever was posted before this call is accounted for first, so that
    // a header's bytes are counted before it comes back.
    Drain();
    Trace("callback %u %p", msg, reinterpret_cast<void*>(p1));
    if (msg == MM_WOM_DONE) {
        int i = IndexOf(reinterpret_cast<void*>(p1));
        EXPECT(i >= 0, "MM_WOM_DONE for %p, which is no header of the client's", reinterpret_cast<void*>(p1));
        HandedBack(static_cast<size_t>(i), "MM_WOM_DONE");
    } else if (msg == MM_WOM_CLOSE) {
        EXPECT(h == reinterpret_cast<HDRVR>(hWave_), "MM_WOM_CLOSE with handle %p, the open's was %p",
               static_cast<void*>(h), static_cast<void*>(hWave_));
    } else {
        EXPECT(msg == MM_WOM_OPEN, "callback with message %u", msg);
    }
    React(msg, p1);
}

void Session::HandedBack(size_t i, const char* how)
{
    Header& x = h_[i];
    DWORD flags = HFlags(x.hdr);
    EXPECT(x.pending, "header %zu handed back (%s) without a write outstanding", i, how);
    EXPECT((flags & WHDR_DONE) && !(flags & (WHDR_INQUEUE | WHDR_LOOPMEMBER)),
           "header %zu handed back with flags %#x", i, flags);
    DWORD length = HLength(x.hdr);
    if (x.exact) {
        if (!x.member)
            EXPECT(x.bytes == length, "header %zu gave %llu bytes of its %u", i,
                   static_cast<unsigned long long>(x.bytes), length);
        else
            EXPECT(length == 0 ? x.bytes == 0 : x.bytes % length == 0 && x.bytes > 0,
                   "loop member %zu gave %llu bytes, not whole passes of %u", i,
                   static_cast<unsigned long long>(x.bytes), length);
    }
    if (x.data != Mem::Good)
        EXPECT(x.bytes == 0, "unreadable header %zu gave bytes", i);
    x.pending = false;
    x.backSinceDrain = true;
}

// Reads the packets posted since the last call: every packet is
// BT_AUDIO_PACKET_OVERHEAD + N long with N in dwDataLen, and every audio byte
// belongs to a header that is queued (or came back since the last call).
void Session::Drain()
{
    auto packets = btstandin::Packets();
    btstandin::ClearPackets();
    for (const auto& p : packets) {
        EXPECT(p.length == p.dataLen + BT_AUDIO_PACKET_OVERHEAD, "packet of %u bytes says dwDataLen %u", p.length,
               p.dataLen);
        EXPECT(p.audio.size() == p.dataLen && p.dataLen > 0, "packet carries %zu audio bytes, dwDataLen %u",
               p.audio.size(), p.dataLen);
        if (!p.refused)
            ++acceptedPosts_;
        for (size_t k = 0; k < p.audio.size();) {
            uint8_t tag = p.audio[k];
            size_t run = k;
            while (run < p.audio.size() && p.audio[run] == tag)
                ++run;
            size_t i = static_cast<size_t>(tag - kTagBase);
            EXPECT(tag >= kTagBase && i < kHeaders, "packet byte %#x comes from no header", tag);
            EXPECT(h_[i].pending || h_[i].backSinceDrain, "header %zu's bytes posted while it is not queued", i);
            h_[i].bytes += run - k;
            k = run;
        }
    }
    for (Header& x : h_)
        x.backSinceDrain = false;
}

// Without a callback the client sees its headers come back by their flags.
void Session::PollWithoutCallback()
{
    if (ClientHearsBack())
        return;
    for (size_t i = 0; i < kHeaders; ++i) {
        DWORD flags = HFlags(h_[i].hdr);
        if (h_[i].pending && (flags & WHDR_DONE) && !(flags & WHDR_INQUEUE))
            HandedBack(i, "flags");
    }
}

void Session::React(UINT msg, DWORD_PTR p1)
{
    if (depth_ > 0 || reactionsLeft_ == 0 || msg != reactTo_)
        return;
    --reactionsLeft_;
    ++depth_;
    size_t other = reactArg_ % kHeaders;
    switch (reaction_) {
    case Reaction::WriteSame: {
        int i = IndexOf(reinterpret_cast<void*>(p1));
        Write(i >= 0 ? static_cast<size_t>(i) : other, Mem::Good, Mem::Good, Mem::Good);
        break;
    }
    case Reaction::WriteOther: Write(other, Mem::Good, Mem::Good, Mem::Good); break;
    case Reaction::Reset: Reset(); break;
    case Reaction::Pause: Simple(WODM_PAUSE); break;
    case Reaction::Restart: Simple(WODM_RESTART); break;
    case Reaction::BreakLoop: Simple(WODM_BREAKLOOP); break;
    case Reaction::Close: Close(); break;
    case Reaction::GetPos: GetPos(Mem::Good, TIME_BYTES); break;
    case Reaction::Open: Open(0, Mem::Good, Mem::Good, true, true); break;
    case Reaction::Fault:
        if (resetting_ && std::this_thread::get_id() == runner_) {
            Trace("client faults");
            clientFaulted_ = true;
            --depth_;   // the fault leaves this call for good
            (void)*static_cast<volatile const char*>(UnmappedPage());
        }
        break;
    case Reaction::Count: break;
    }
    --depth_;
}

// After every operation at the top level: the lock is free, the queue holds
// exactly the headers written and not handed back, the host's books agree
// with what the driver was given.
void Session::CheckAfterStep(const char* op)
{
    Drain();
    PollWithoutCallback();
    if (*deviceInit_)
        EXPECT(lock_->OwnerThread == nullptr && lock_->LockCount == 0, "g_StreamLock held after %s", op);

    bool inQueue[kHeaders] = {};
    size_t walked = 0;
    bool headSeen = ctx_->pHead == nullptr;
    for (WAVEHDR* p = ctx_->pLoopStart; p != nullptr; p = HNext(p)) {
        int i = IndexOf(p);
        EXPECT(i >= 0, "the queue holds %p, no header of the client's, after %s", static_cast<void*>(p), op);
        EXPECT(++walked <= kHeaders, "the queue does not end after %s", op);
        inQueue[i] = true;
        headSeen = headSeen || p == ctx_->pHead;
        EXPECT(h_[i].pending, "header %d is queued without an accepted write after %s", i, op);
        EXPECT(HFlags(p) & WHDR_INQUEUE, "queued header %d lacks WHDR_INQUEUE after %s", i, op);
        EXPECT(HConsumed(p) <= HLength(p), "header %d's cursor %u is past its length %u", i, HConsumed(p),
               HLength(p));
    }
    EXPECT(headSeen, "pHead is not in the queue after %s", op);
    for (size_t i = 0; i < kHeaders; ++i) {
        if (!h_[i].pending || inQueue[i])
            continue;
        // Only an open drops queued headers without handing them back; the
        // client then owns them again and clears the flag itself.
        EXPECT(openSinceWalk_, "header %zu was accepted and is neither queued nor handed back after %s", i, op);
        h_[i].pending = false;
        REC_SET32(h_[i].hdr, WAVEHDR, dwFlags, HFlags(h_[i].hdr) & ~WHDR_INQUEUE);
    }
    openSinceWalk_ = false;

    EXPECT(host::RegistryOpenHandles() == 0, "a registry key stays open after %s", op);
    int timers = host::ActiveTimerCount();
    EXPECT(timers <= 1, "%d timers after %s", timers, op);
    EXPECT(host::TimerPeriodBalance() == timers, "timer periods %d for %d timers after %s",
           host::TimerPeriodBalance(), timers, op);
    auto c = host::GetCounters();
    EXPECT(c.driverMallocs == acceptedPosts_ + c.driverFrees,
           "%lu packets allocated, %llu posted and %lu freed after %s", c.driverMallocs,
           static_cast<unsigned long long>(acceptedPosts_), c.driverFrees, op);
    unsigned long contexts = (hDevice_ != 0 && hDevice_ != 10) + opens_.size() + (wave_ != 0);
    EXPECT(c.localAllocs - c.localFrees == contexts, "%lu local blocks live for %lu contexts after %s",
           c.localAllocs - c.localFrees, contexts, op);
}

// ---- Operations -------------------------------------------------------------------

void Session::Prepare(Reader& in)
{
    size_t i = in.U8() % kHeaders;
    uint8_t f = in.U8();
    uint16_t length = in.U16() % 9000;
    uint8_t l = in.U8();
    Header& x = h_[i];
    if (x.pending)
        return;   // the client does not touch a header it has written
    DWORD flags = WHDR_PREPARED;
    if (f & 0x01) flags |= WHDR_BEGINLOOP;
    if (f & 0x02) flags |= WHDR_ENDLOOP;
    if (f & 0x04) flags |= WHDR_DONE;
    if (f & 0x08) flags &= ~WHDR_PREPARED;
    if ((f & 0x30) == 0x30) flags |= WHDR_INQUEUE;
    if (f & 0x40) flags |= WHDR_LOOPMEMBER;
    static const DWORD kLoops[] = {0, 1, 2, 3, 5, 0xFFFFFFFFu, 1, 2};
    DWORD loops = kLoops[l % 8];
    x.data = (l & 0x38) == 0x08 ? Mem::Null : (l & 0x38) == 0x10 ? Mem::Unmapped : Mem::Good;
    pool_.Fill(i, std::vector<uint8_t>(length, static_cast<uint8_t>(kTagBase + i)), flags, loops);
    if (x.data != Mem::Good)
        pool_.SetData(i, Address(x.data, nullptr));
    Trace("prepare %zu length %u flags %#x loops %u data %s", i, length, flags, loops, Name(x.data));
}

void Session::Write(size_t i, Mem rec, Mem out, Mem hdr)
{
    Header& x = h_[i];
    bool opened = ctx_->bOpened != 0;
    DWORD before = HFlags(x.hdr);
    Trace("write %zu (record %s, result %s, header %s) flags %#x %s", i, Name(rec), Name(out), Name(hdr), before,
          opened ? "open" : "closed");
    kit::MessageAnswer a = Send(WODM_WRITE, reinterpret_cast<DWORD_PTR>(Address(hdr, x.hdr)), sizeof(WAVEHDR), rec, out);
    if (rec != Mem::Good)
        return;
    if (hdr != Mem::Good) {
        // An open stream reads the header: nothing to read is no answer.
        EXPECT(opened ? !a.wroteResult : (out != Mem::Good || (a.wroteResult && a.result == 0)),
               "write of a %s header answered %d/%u", Name(hdr), a.wroteResult, a.result);
        return;
    }
    DWORD expected = !opened ? 0 : (before & WHDR_INQUEUE) ? MMSYSERR_INVALPARAM
                                  : !(before & WHDR_PREPARED) ? WAVERR_UNPREPARED : 0;
    if (out == Mem::Good)
        EXPECT(a.wroteResult && a.result == expected, "write of header %zu (flags %#x) answered %d/%u, not %u", i, before,
               a.wroteResult, a.result, expected);
    DWORD after = HFlags(x.hdr);
    if (!opened || expected != 0) {
        EXPECT(after == before, "a refused write changed header %zu's flags %#x to %#x", i, before, after);
        return;
    }
    EXPECT((after & WHDR_INQUEUE) && !(after & WHDR_DONE), "queued header %zu has flags %#x", i, after);
    EXPECT(!x.pending, "header %zu accepted twice", i);
    x.pending = true;
    x.bytes = 0;
    x.member = (after & WHDR_LOOPMEMBER) != 0;
    x.exact = x.data == Mem::Good;
    ++x.serial;
}

void Session::Open(DWORD flags, Mem desc, Mem fmt, bool stereo, bool callback)
{
    WAVEFORMATEX* format = stereo ? &format_ : &otherFormat_;
    desc_ = WAVEOPENDESC{};
    desc_.hWave = reinterpret_cast<HWAVE>(static_cast<DWORD_PTR>(0x4857 + opens_.size()));
    desc_.lpFormat = static_cast<LPWAVEFORMATEX>(Address(fmt, format));
    desc_.dwCallback = callback ? reinterpret_cast<DWORD_PTR>(&Session::ClientFn) : 0;
    desc_.dwInstance = reinterpret_cast<DWORD_PTR>(this);
    Trace("open flags %#x desc %s format %s %s callback %d", flags, Name(desc), Name(fmt),
          stereo ? "stereo" : "mono", callback);
    bool query = flags & WAVE_FORMAT_QUERY;
    bool direct = flags & WAVE_FORMAT_DIRECT;
    bool real = !query && !direct && desc == Mem::Good && fmt != Mem::Unmapped;
    if (real) {
        // Set before the call: MM_WOM_OPEN may come, and may send messages.
        callback_ = callback;
        hWave_ = desc_.hWave;
        openSinceWalk_ = true;
        ++realOpens_;
        lastOpenEvent_ = ++events_;
    }
    const unsigned myEvent = events_;
    kit::MessageAnswer a = Send(WODM_OPEN, reinterpret_cast<DWORD_PTR>(Address(desc, &desc_)), flags);
    if (query) {
        if (desc == Mem::Good && fmt == Mem::Good)
            EXPECT(a.wroteResult && a.result == (stereo ? 0u : DWORD(WAVERR_BADFORMAT)), "query answered %d/%u", a.wroteResult,
                   a.result);
        else
            EXPECT(!a.wroteResult, "query with a %s descriptor and %s format answered %u", Name(desc), Name(fmt), a.result);
    } else if (direct) {
        EXPECT(a.wroteResult && a.result == MMSYSERR_NOTSUPPORTED, "WAVE_FORMAT_DIRECT answered %d/%u", a.wroteResult, a.result);
    } else if (real) {
        EXPECT(a.wroteResult && a.result == 0, "open answered %d/%u", a.wroteResult, a.result);
        bool closedFromCallback = lastCloseEvent_ > myEvent && lastCloseEvent_ > lastOpenEvent_;
        if (closedFromCallback)
            EXPECT(!ctx_->bOpened && ctx_->pfnCallback == nullptr,
                   "a close from inside MM_WOM_OPEN did not leave the stream closed");
        else
            EXPECT(ctx_->bOpened, "the stream is not open after an open");
    } else {
        EXPECT(!a.wroteResult, "open with a %s descriptor and %s format answered %u", Name(desc), Name(fmt), a.result);
    }
}

void Session::Close()
{
    bool queued = ctx_->pHead != nullptr;
    Trace("close (%s)", queued ? "queued" : "empty");
    kit::MessageAnswer a = Send(WODM_CLOSE, 0, 0);
    EXPECT(a.wroteResult && a.result == (queued ? DWORD(WAVERR_STILLPLAYING) : 0u), "close answered %d/%u", a.wroteResult,
           a.result);
    if (!queued)
        lastCloseEvent_ = ++events_;
    if (!queued && depth_ == 0 && !timerMayOutliveClose_) {
        EXPECT(host::ActiveTimerCount() == 0, "a timer runs on after the close");
        EXPECT(ctx_->pLoopStart == nullptr && !ctx_->bOpened, "the stream is not reset after the close");
    }
}

kit::MessageAnswer Session::Simple(UINT uMsg)
{
    Trace("message %u", uMsg);
    kit::MessageAnswer a = Send(uMsg, 0, 0);
    EXPECT(a.wroteResult && a.result == 0, "message %u answered %d/%u", uMsg, a.wroteResult, a.result);
    return a;
}

void Session::Reset()
{
    // Every header written before the reset comes back during it, unless the
    // client writes it again from a callback.
    unsigned serials[kHeaders];
    // Those in the driver's queue now, that is: an open sent from a callback
    // may already have dropped the others.
    bool was[kHeaders] = {};
    for (WAVEHDR* p = ctx_->pLoopStart; p != nullptr && IndexOf(p) >= 0; p = HNext(p)) {
        if (was[IndexOf(p)])
            break;
        was[IndexOf(p)] = true;
    }
    for (size_t i = 0; i < kHeaders; ++i) {
        serials[i] = h_[i].serial;
        h_[i].exact = false;   // a flush hands headers back part-played
    }
    unsigned opensBefore = realOpens_;
    bool outer = !resetting_;
    resetting_ = true;
    clientFaulted_ = false;
    Simple(WODM_RESET);
    if (outer)
        resetting_ = false;
    if (clientFaulted_) {
        // The reset's guard caught the client's fault: the stream is closed
        // and the rest of the queue forgotten, as specified.
        EXPECT(!ctx_->bOpened && ctx_->pLoopStart == nullptr, "the stream survived a fault in the reset");
        lastCloseEvent_ = ++events_;
        openSinceWalk_ = true;
        return;
    }
    // Without a callback the client sees them by their flags afterwards; an
    // open sent from a callback drops the rest of the queue.
    if (!ClientHearsBack() || realOpens_ != opensBefore)
        return;
    for (size_t i = 0; i < kHeaders; ++i)
        EXPECT(!was[i] || !h_[i].pending || h_[i].serial != serials[i], "header %zu did not come back at the reset", i);
}

void Session::GetPos(Mem rec, DWORD wType)
{
    uint8_t mmt[16];
    std::memset(mmt, 0xEE, sizeof mmt);
    RecWriteU32(mmt, wType);
    Trace("position %s type %#x", Name(rec), wType);
    kit::MessageAnswer a = Send(WODM_GETPOS, reinterpret_cast<DWORD_PTR>(Address(rec, mmt)), 12);
    if (rec != Mem::Good) {
        EXPECT(a.wroteResult && a.result == MMSYSERR_INVALPARAM, "position into a %s record answered %d/%u", Name(rec),
               a.wroteResult, a.result);
        return;
    }
    EXPECT(a.wroteResult && a.result == 0, "position answered %d/%u", a.wroteResult, a.result);
    for (size_t k = 12; k < sizeof mmt; ++k)
        EXPECT(mmt[k] == 0xEE, "the position wrote past MMTIME");
}

void Session::Caps(Mem rec, DWORD size, bool extended)
{
    uint8_t caps[100];
    std::memset(caps, 0xEE, sizeof caps);
    Trace("%s %s size %u", extended ? "extcaps" : "caps", Name(rec), size);
    kit::MessageAnswer a = Send(extended ? WODM_GETEXTDEVCAPS : WODM_GETDEVCAPS, reinterpret_cast<DWORD_PTR>(Address(rec, caps)),
                    size);
    if (rec == Mem::Null) {
        if (extended)
            EXPECT(a.wroteResult && a.result == MMSYSERR_INVALPARAM, "null extended caps answered %d/%u", a.wroteResult, a.result);
        else
            EXPECT(!a.wroteResult, "null caps answered %u", a.result);
        return;
    }
    if (rec == Mem::Unmapped)
        return;
    size_t limit;
    if (extended) {
        DWORD expected = size < 28 ? DWORD(MMSYSERR_INVALPARAM) : 0u;
        EXPECT(a.wroteResult && a.result == expected, "extended caps of size %u answered %d/%u", size, a.wroteResult, a.result);
        limit = size < 28 ? 0 : 28;
    } else {
        EXPECT(a.wroteResult && a.result == 0, "caps answered %d/%u", a.wroteResult, a.result);
        limit = size < 84 ? size : 84;
    }
    for (size_t k = limit; k < sizeof caps; ++k)
        EXPECT(caps[k] == 0xEE, "capabilities of size %u wrote byte %zu", size, k);
}

void Session::Link(uint8_t b)
{
    static const uint32_t kCodes[] = {BT_EVENT_LINK_UP, BT_EVENT_LINK_DOWN, BT_EVENT_LINK_UP, BT_EVENT_LINK_DOWN,
                                      12, 0, 0x23, 0xFFFFFFFFu};
    uint32_t code = kCodes[b % 8];
    Trace("link event %#x", code);
    if (code == BT_EVENT_LINK_UP && !ctx_->bLinkUp && !ctx_->bOpened) {
        for (Header& x : h_)
            x.exact = false;   // the link-up flush hands headers back part-played
    }
    bool registered = !btstandin::Registrations().empty();
    BOOL linkBefore = ctx_->bLinkUp;
    btstandin::RaiseEvent(code);
    btstandin::WaitForEvents();
    auto answers = btstandin::EventAnswers();
    EXPECT(!answers.empty(), "the event was not delivered");
    if (!registered) {
        // No WAV_Open got through, so the library knows no callback.
        EXPECT(answers.back() == 0xFFFFFFFFu && ctx_->bLinkUp == linkBefore, "an event reached an unregistered driver");
        return;
    }
    DWORD expected = (code == BT_EVENT_LINK_UP || code == BT_EVENT_LINK_DOWN) ? 0u : 12u;
    EXPECT(answers.back() == expected, "event %#x answered %u", code, answers.back());
    if (code == BT_EVENT_LINK_UP || code == BT_EVENT_LINK_DOWN)
        EXPECT(ctx_->bLinkUp == (code == BT_EVENT_LINK_UP), "bLinkUp %d after event %#x", ctx_->bLinkUp, code);
}

void Session::Fault(uint8_t kind, uint8_t count, uint8_t skip)
{
    kind = (kind & 7) % 6;
    unsigned n = 1 + count % 3;
    unsigned m = skip % 4;
    static const host::Fault kFaults[] = {host::Fault::LocalAlloc, host::Fault::Malloc, host::Fault::TimerCreate,
                                          host::Fault::RegistryOpen, host::Fault::RegistryQuery};
    if (kind == 5) {
        Trace("refuse %u posts", n);
        btstandin::RefusePosts(n);
        return;
    }
    Trace("fault %u: %u calls after %u", kind, n, m);
    host::FailNext(kFaults[kind], n, m);
}

void Session::Registry(uint8_t which, uint8_t value)
{
    static const char* kNames[] = {BTWAV_VALUE_SAMPLE, BTWAV_VALUE_TIMER, BTWAV_VALUE_CACHELEN};
    static const uint32_t kSample[] = {176400, 88200, 1, 0, 0xFFFFFFFFu, 705600, 3, 176400};
    static const uint32_t kTimer[] = {20, 10, 5, 40, 0, 7, 20, 15};
    static const uint32_t kCache[] = {6144, 0, 1, 100000, 3, 6144, 17, 0xFFFFFFFFu};
    const char* name = kNames[which % 3];
    const uint32_t* table = which % 3 == 0 ? kSample : which % 3 == 1 ? kTimer : kCache;
    uint32_t v = table[value % 8];
    switch ((value >> 3) % 4) {
    case 0:
    case 1:
        host::RegistrySetDword(BTWAV_PARAMS_KEY, name, v);
        break;
    case 2: {
        // A value of the wrong size.
        std::vector<uint8_t> data((value & 0x20) ? 2 : 8, static_cast<uint8_t>(v));
        host::RegistrySetValue(BTWAV_PARAMS_KEY, name, 4, data);
        break;
    }
    default:
        host::RegistryDeleteValue(BTWAV_PARAMS_KEY, name);
        break;
    }
    Trace("registry %s %u (form %u)", name, v, (value >> 3) % 4);
}

void Session::EntryPoints(uint8_t b)
{
    const auto& e = d_.Entry();
    switch (b % 6) {
    case 0:
        if (opens_.size() < 4) {
            DWORD_PTR h = e.Open(hDevice_, 0, 0);
            Trace("WAV_Open -> %#lx", static_cast<unsigned long>(h));
            if (h != 0)
                opens_.push_back(h);
        }
        break;
    case 1:
        if (opens_.size() > 1) {
            Trace("WAV_Close");
            EXPECT(e.Close(opens_.back()) == TRUE, "WAV_Close failed");
            opens_.pop_back();
        }
        break;
    case 2: {
        auto before = host::GetCounters();
        DWORD_PTR again = e.Init(nullptr, nullptr);
        Trace("WAV_Init again -> %lu", static_cast<unsigned long>(again));
        EXPECT(again == 10 && host::GetCounters().localAllocs == before.localAllocs,
               "a second WAV_Init answered %lu", static_cast<unsigned long>(again));
        break;
    }
    default:
        Trace("idle entry points");
        EXPECT(e.Read(hOpenOrZero(), UnmappedPage(), 100) == 0, "WAV_Read");
        EXPECT(e.Write(hOpenOrZero(), UnmappedPage(), 100) == 0, "WAV_Write");
        EXPECT(e.Seek(hOpenOrZero(), 5, 0) == 0xFFFFFFFFu, "WAV_Seek");
        e.PowerDown(hDevice_);
        e.PowerUp(hDevice_);
        break;
    }
}

void Session::Raw(Reader& in)
{
    uint8_t b = in.U8();
    uint32_t p1 = in.U32();
    if (b & 0x80) {
        // Any other I/O control code: nothing is read or written.
        DWORD code = 0x1D0000u + (b & 0x7F);
        if (code == IOCTL_WAV_MESSAGE)
            code = 0;
        Trace("I/O control %#x", code);
        EXPECT(d_.Entry().IOControl(hOpenOrZero(), code, static_cast<LPBYTE>(UnmappedPage()), 20,
                                    static_cast<LPBYTE>(UnmappedPage()), 4, nullptr) == TRUE,
               "I/O control %#x", code);
        return;
    }
    static const UINT kIdle[] = {0, 1, 2, 7, 8, 14, 15, 16, 17, 18, 19, 21, 23, 100, 0xFFFFu, 0xFFFFFFFFu};
    if (b & 0x40) {
        kit::MessageAnswer a = Send(WODM_GETNUMDEVS, p1, p1, MemFrom(b >> 3), MemFrom(b));
        if (a.wroteResult)
            EXPECT(a.result == 1, "GETNUMDEVS answered %u", a.result);
        Trace("numdevs");
        return;
    }
    // Messages without a handler read nothing: any parameter is safe.
    UINT msg = kIdle[b % 16];
    Trace("idle message %u", msg);
    kit::MessageAnswer a = Send(msg, p1, ~p1);
    EXPECT(a.wroteResult && a.result == 0, "message %u answered %d/%u", msg, a.wroteResult, a.result);
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
        Write(b % kHeaders, (b & 0x70) == 0x70 ? MemFrom(b >> 3) : Mem::Good,
              (op & 0x80) ? MemFrom(in.U8()) : Mem::Good, (b & 0x78) == 0x68 ? MemFrom(b >> 7) : Mem::Good);
        break;
    }
    case 4:
    case 5: Prepare(in); break;
    case 6: Simple(WODM_PAUSE); break;
    case 7: Simple(WODM_RESTART); break;
    case 8: Reset(); break;
    case 9: Simple(WODM_BREAKLOOP); break;
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
        Open(kFlags[b % 8], (b & 0x38) == 0x38 ? MemFrom(c) : Mem::Good,
             (b & 0xC0) == 0xC0 ? MemFrom(c >> 3) : Mem::Good, !(c & 0x40), !(c & 0x80) || (b & 0x20));
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
    for (size_t i = 0; i < kHeaders; ++i)
        EXPECT(!h_[i].pending, "header %zu never came back", i);
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
    Drain();
    auto c = host::GetCounters();
    EXPECT(c.localAllocs == c.localFrees, "%lu local blocks allocated, %lu freed", c.localAllocs, c.localFrees);
    EXPECT(c.driverMallocs == acceptedPosts_ + c.driverFrees, "%lu packets allocated, %llu posted, %lu freed",
           c.driverMallocs, static_cast<unsigned long long>(acceptedPosts_), c.driverFrees);
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

}  // namespace

void RunInput(const host::DriverModule& driver, const uint8_t* data, size_t size, bool trace)
{
    // The invariants read every packet the driver posts.
    kit::FreshHost();
    Reader in(data, size);
    Session session(driver, trace);
    session.Run(in);
    kit::ClearHost();
}

}  // namespace fuzzing
