// The operations a fuzz input can make on the driver's exports, each with
// the answer it must get; every change to the header queue goes through the
// oracle as the driver makes it.
#include <cstring>
#include <vector>

#include "btlink/lmr.h"
#include "check.h"
#include "driver/config.h"
#include "btstandin/btstandin.h"
#include "host/clock.h"
#include "host/host.h"
#include "host/registry.h"
#include "kit/records.h"
#include "session_impl.h"

namespace fuzzing {

using kit::Address;
using kit::HeaderFlags;
using kit::Mem;
using kit::Name;
using kit::UnmappedPage;

kit::MessageAnswer Session::Send(UINT uMsg, DWORD_PTR p1, DWORD_PTR p2, Mem rec, Mem out)
{
    kit::MessageAnswer a = kit::SendMessage(d_.Entry(), hOpenOrZero(), uMsg, p1, p2, rec, out);
    oracle_.AfterMessage();
    EXPECT(a.returned == TRUE, "WAV_IOControl answered %d for message %u", a.returned, uMsg);
    if (rec != Mem::Good || out != Mem::Good)
        EXPECT(!a.wroteResult, "a result word went to a record that is not the caller's");
    return a;
}

void Session::Prepare(Reader& in)
{
    size_t i = in.U8() % kHeaders;
    uint8_t f = in.U8();
    uint16_t length = in.U16() % 9000;
    uint8_t l = in.U8();
    if (oracle_.Queued(static_cast<int>(i)))
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
    Mem data = (l & 0x38) == 0x08 ? Mem::Null : (l & 0x38) == 0x10 ? Mem::Unmapped : Mem::Good;
    // Every byte differs from its neighbours and from the other headers' at
    // the same offset, so a packet shows where each of its bytes came from.
    std::vector<uint8_t> bytes(length);
    for (size_t k = 0; k < length; ++k)
        bytes[k] = static_cast<uint8_t>(k * 7 + i * 37 + 1);
    pool_.Fill(i, bytes, flags, loops);
    if (data != Mem::Good)
        pool_.SetData(i, Address(data, nullptr));
    oracle_.Prepared(static_cast<int>(i), length, flags, loops, data != Mem::Good);
    Trace("prepare %zu length %u flags %#x loops %u data %s", i, length, flags, loops, Name(data));
}

void Session::Write(size_t i, Mem rec, Mem out, Mem hdr)
{
    WAVEHDR* h = pool_[i];
    bool opened = ctx_->bOpened != 0;
    DWORD before = HeaderFlags(h);
    Trace("write %zu (record %s, result %s, header %s) flags %#x %s", i, Name(rec), Name(out), Name(hdr), before,
          opened ? "open" : "closed");
    kit::MessageAnswer a = Send(WODM_WRITE, reinterpret_cast<DWORD_PTR>(Address(hdr, h)), sizeof(WAVEHDR), rec, out);
    if (rec != Mem::Good)
        return;   // the record cannot be read: nothing happens
    if (hdr != Mem::Good) {
        // An open stream reads the header: nothing to read is no answer.
        EXPECT(opened ? !a.wroteResult : (out != Mem::Good || (a.wroteResult && a.result == 0)),
               "write of a %s header answered %d/%u", Name(hdr), a.wroteResult, a.result);
        return;
    }
    if (!opened) {
        EXPECT(out != Mem::Good || (a.wroteResult && a.result == 0), "write on a closed stream answered %d/%u",
               a.wroteResult, a.result);
        EXPECT(HeaderFlags(h) == before, "a write on a closed stream changed header %zu's flags %#x to %#x", i, before,
               HeaderFlags(h));
        return;
    }
    // The header was read and the queue's rules applied: the model's answer.
    DWORD expected = oracle_.Write(static_cast<int>(i));
    if (out == Mem::Good)
        EXPECT(a.wroteResult && a.result == expected, "write of header %zu (flags %#x) answered %d/%u, not %u", i,
               before, a.wroteResult, a.result, expected);
}

void Session::Open(DWORD flags, Mem desc, Mem fmt, bool stereo, bool callback)
{
    WAVEFORMATEX* format = stereo ? &format_ : &otherFormat_;
    desc_ = WAVEOPENDESC{};
    desc_.hWave = reinterpret_cast<HWAVE>(static_cast<DWORD_PTR>(0x4857 + opens_.size()));
    desc_.lpFormat = static_cast<LPWAVEFORMATEX>(Address(fmt, format));
    desc_.dwCallback = callback ? reinterpret_cast<DWORD_PTR>(&Session::ClientFn) : 0;
    desc_.dwInstance = reinterpret_cast<DWORD_PTR>(this);
    Trace("open flags %#x desc %s format %s %s callback %d", flags, Name(desc), Name(fmt), stereo ? "stereo" : "mono",
          callback);
    // WAVE_FORMAT_DIRECT changes nothing: the driver never converts.  Query
    // and open test the format alike, and only the device's own passes.
    bool query = flags & WAVE_FORMAT_QUERY;
    bool readable = desc == Mem::Good && fmt == Mem::Good;
    bool real = !query && readable && stereo;
    // The stream has one client: a real open while it is open (also from
    // inside the client's own callbacks) is refused and changes nothing.
    bool taken = real && ctx_->bOpened;
    if (real && !taken) {
        // Set before the call: MM_WOM_OPEN may come, and may send messages.
        callback_ = callback;
        hWave_ = desc_.hWave;
        lastOpenEvent_ = ++events_;
        oracle_.Drop();
    }
    const unsigned myEvent = events_;
    kit::MessageAnswer a = Send(WODM_OPEN, reinterpret_cast<DWORD_PTR>(Address(desc, &desc_)), flags);
    if (!readable) {
        EXPECT(!a.wroteResult, "open (flags %#x) with a %s descriptor and %s format answered %u", flags, Name(desc),
               Name(fmt), a.result);
    } else if (taken) {
        EXPECT(a.wroteResult && a.result == DWORD(MMSYSERR_ALLOCATED), "a second open answered %d/%u", a.wroteResult,
               a.result);
        EXPECT(ctx_->bOpened, "a refused second open closed the stream");
    } else if (query || !stereo) {
        EXPECT(a.wroteResult && a.result == (stereo ? 0u : DWORD(WAVERR_BADFORMAT)), "%s answered %d/%u",
               query ? "query" : "open of mono 8-bit", a.wroteResult, a.result);
    } else {
        EXPECT(a.wroteResult && a.result == 0, "open answered %d/%u", a.wroteResult, a.result);
        bool closedFromCallback = lastCloseEvent_ > myEvent && lastCloseEvent_ > lastOpenEvent_;
        if (closedFromCallback)
            EXPECT(!ctx_->bOpened && ctx_->pfnCallback == nullptr,
                   "a close from inside MM_WOM_OPEN did not leave the stream closed");
        else
            EXPECT(ctx_->bOpened, "the stream is not open after an open");
    }
}

void Session::Close()
{
    bool queued = !oracle_.Empty();
    Trace("close (%s)", queued ? "queued" : "empty");
    if (!queued) {
        // The close resets the stream before its client hears of it.
        oracle_.Drop();
        lastCloseEvent_ = ++events_;
    }
    kit::MessageAnswer a = Send(WODM_CLOSE, 0, 0);
    EXPECT(a.wroteResult && a.result == (queued ? DWORD(WAVERR_STILLPLAYING) : 0u), "close answered %d/%u",
           a.wroteResult, a.result);
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

void Session::BreakLoop()
{
    Simple(WODM_BREAKLOOP);
    oracle_.BreakLoop();
}

// Every queued header comes back during the reset, in queue order, unless
// the client writes one again from a callback; a fault in the client ends
// the reset with the stream closed and the rest of the queue forgotten.
void Session::Reset()
{
    bool outer = !resetting_;
    resetting_ = true;
    clientFaulted_ = false;
    oracle_.FlushBegins();
    Simple(WODM_RESET);
    if (outer)
        resetting_ = false;
    if (clientFaulted_) {
        EXPECT(!ctx_->bOpened && ctx_->pLoopStart == nullptr, "the stream survived a fault in the reset");
        oracle_.Drop();
        lastCloseEvent_ = ++events_;
        return;
    }
    oracle_.WalkEnds();
    oracle_.ZeroPosition();
}

// The MMTIME record lives in the program's own image, low in the address
// space: the host's IsBadWritePtr reads the process's mappings in address
// order and stops at the one that holds it, where a record on the stack
// would make it read all of them.  Only one position request is in flight.
uint8_t g_mmtime[16];

void Session::GetPos(Mem rec, DWORD wType)
{
    uint8_t* mmt = g_mmtime;
    std::memset(mmt, 0xEE, sizeof g_mmtime);
    RecWriteU32(mmt, wType);
    Trace("position %s type %#x", Name(rec), wType);
    kit::MessageAnswer a = Send(WODM_GETPOS, reinterpret_cast<DWORD_PTR>(Address(rec, mmt)), 12);
    if (rec != Mem::Good) {
        EXPECT(a.wroteResult && a.result == MMSYSERR_INVALPARAM, "position into a %s record answered %d/%u", Name(rec),
               a.wroteResult, a.result);
        return;
    }
    EXPECT(a.wroteResult && a.result == 0, "position answered %d/%u", a.wroteResult, a.result);
    for (size_t k = 12; k < sizeof g_mmtime; ++k)
        EXPECT(mmt[k] == 0xEE, "the position wrote past MMTIME");
    if (wType == TIME_BYTES)
        EXPECT(RecReadU32(mmt + 4) == oracle_.Position(), "the position is %u bytes, the model's %u",
               RecReadU32(mmt + 4), oracle_.Position());
}

void Session::Caps(Mem rec, DWORD size, bool extended)
{
    uint8_t caps[100];
    std::memset(caps, 0xEE, sizeof caps);
    Trace("%s %s size %u", extended ? "extcaps" : "caps", Name(rec), size);
    kit::MessageAnswer a = Send(extended ? WODM_GETEXTDEVCAPS : WODM_GETDEVCAPS,
                                reinterpret_cast<DWORD_PTR>(Address(rec, caps)), size);
    if (rec == Mem::Null) {
        if (extended)
            EXPECT(a.wroteResult && a.result == MMSYSERR_INVALPARAM, "null extended caps answered %d/%u",
                   a.wroteResult, a.result);
        else
            EXPECT(!a.wroteResult, "null caps answered %u", a.result);
        return;
    }
    if (rec == Mem::Unmapped)
        return;
    size_t limit;
    if (extended) {
        DWORD expected = size < 28 ? DWORD(MMSYSERR_INVALPARAM) : 0u;
        EXPECT(a.wroteResult && a.result == expected, "extended caps of size %u answered %d/%u", size, a.wroteResult,
               a.result);
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
    bool registered = !btstandin::Registrations().empty();
    BOOL linkBefore = ctx_->bLinkUp;
    // A link coming up while no stream is open brings the queue to rest: a
    // flush, handed back on the library's thread.
    bool flush = registered && code == BT_EVENT_LINK_UP && !ctx_->bLinkUp && !ctx_->bOpened;
    if (flush)
        oracle_.FlushBegins();
    btstandin::RaiseEvent(code);
    btstandin::WaitForEvents();
    oracle_.AfterMessage();
    if (flush)
        oracle_.WalkEnds();
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
    static const UINT kIdle[] = {0, 1, 2, 7, 8, 14, 15, 24, 17, 18, 19, 21, 23, 100, 0xFFFFu, 0xFFFFFFFFu};
    if ((b & 0x60) == 0x60) {
        // No volume control is announced: refused, and the word is never
        // written, wherever it lies.
        uint8_t word[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        Mem where = MemFrom(b);
        kit::MessageAnswer a = Send(WODM_GETVOLUME, reinterpret_cast<DWORD_PTR>(Address(where, word)), p1);
        Trace("getvolume %s", Name(where));
        EXPECT(a.wroteResult && a.result == DWORD(MMSYSERR_NOTSUPPORTED) && RecReadU32(word) == 0xEEEEEEEEu,
               "GETVOLUME into a %s word answered %d/%u, %#x", Name(where), a.wroteResult, a.result,
               RecReadU32(word));
        return;
    }
    if (b & 0x40) {
        kit::MessageAnswer a = Send(WODM_GETNUMDEVS, p1, p1, MemFrom(b >> 3), MemFrom(b));
        if (a.wroteResult)
            EXPECT(a.result == 1, "GETNUMDEVS answered %u", a.result);
        Trace("numdevs");
        return;
    }
    // Messages that read nothing: any parameter is safe.  Preparing is
    // accepted; what the capabilities do not announce (volume included) and
    // what the driver does not know are not supported.
    UINT msg = kIdle[b % 16];
    Trace("idle message %u", msg);
    kit::MessageAnswer a = Send(msg, p1, ~p1);
    DWORD expected = (msg == WODM_PREPARE || msg == WODM_UNPREPARE)
                         ? DWORD(MMSYSERR_NOERROR)
                         : DWORD(MMSYSERR_NOTSUPPORTED);
    EXPECT(a.wroteResult && a.result == expected, "message %u answered %d/%u", msg, a.wroteResult, a.result);
}

}  // namespace fuzzing
