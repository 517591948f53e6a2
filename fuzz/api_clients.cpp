// The wave API fuzz target's clients: each waveOut* call a client makes,
// with the answer its own history calls for, and what it judges when its
// callback runs.  The expectations come from what the clients did (which
// headers each prepared and wrote, which device each holds, whether the
// link is up), never from the driver's records.
#include <algorithm>
#include <cstring>
#include <vector>

#include "api_session.h"
#include "check.h"
#include "host/events.h"
#include "kit/records.h"

namespace fuzzing {

using kit::HeaderFlags;

namespace {

// The device's one format, and one only the mapper can play on device 1.
const WAVEFORMATEX kDeviceFormat = {WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
const WAVEFORMATEX kOtherFormat = {WAVE_FORMAT_PCM, 1, 22050, 44100, 2, 16, 0};

// In the program's image, low in the address space: the host's
// IsBadWritePtr reads the process's mappings up to the one that holds the
// record (see operations.cpp's g_mmtime).
MMTIME g_position;

const char* MessageName(UINT msg)
{
    switch (msg) {
    case MM_WOM_OPEN: return "MM_WOM_OPEN";
    case MM_WOM_CLOSE: return "MM_WOM_CLOSE";
    case MM_WOM_DONE: return "MM_WOM_DONE";
    default: return "another message";
    }
}

}  // namespace

bool ApiSession::Held(const ApiClient& c, UINT device) const
{
    for (const ApiClient& o : clients_)
        if (&o != &c && o.open && o.device == device)
            return true;
    return false;
}

// The answer an open must get: the format first (device 1 plays only its
// own; the mapper converts for it where this build can; device 0 plays
// 16-bit PCM of any rate), then whether another client holds the device:
// device 1 and device 0 have one client at a time and refuse a second with
// MMSYSERR_ALLOCATED (the platform's waveOutOpen page: "Specified resource
// is already allocated"), and the mapper answers as its preferred device
// does, with no fallback to another.  0xFFFFFFFF: any answer.
MMRESULT ApiSession::ExpectedOpen(const ApiClient& c, UINT target, bool formatOk) const
{
    if (!formatOk)
        return WAVERR_BADFORMAT;
    if (!Held(c, target))
        return MMSYSERR_NOERROR;
    return second_ == SecondOpen::Any ? 0xFFFFFFFFu : MMRESULT(MMSYSERR_ALLOCATED);
}

void ApiSession::Open(ApiClient& c, uint8_t b)
{
    if (c.open)
        return;
    const bool mapper = b & 0x01;
    const bool event = (b & 0x06) == 0x06;
    const bool other = (b & 0x18) == 0x18;
    const bool query = (b & 0xE0) == 0xE0;
    // The mapper plays on the preferred device: the driver's while the
    // link is up (it makes itself preferred on link-up), device 0 otherwise.
    const UINT target = mapper ? (linkUp_ ? 1u : 0u) : 1u;
    const bool formatOk = !other || target == 0 || (mapper && host::MapperCanConvert());
    if (!query && Held(c, target) && second_ == SecondOpen::Never)
        return;
    const WAVEFORMATEX* format = other ? &kOtherFormat : &kDeviceFormat;
    const UINT id = mapper ? WAVE_MAPPER : 1u;
    Trace("client %d: open %s %s%s, %s", c.id, mapper ? "the mapper" : "device 1", other ? "22050 Hz mono" : "the device's format",
          query ? " (query)" : "", event ? "event" : "function");
    if (query) {
        MMRESULT r = waveOutOpen(nullptr, id, format, 0, 0, WAVE_FORMAT_QUERY);
        EXPECT(r == (formatOk ? MMSYSERR_NOERROR : MMRESULT(WAVERR_BADFORMAT)), "client %d: a query answered %u", c.id, r);
        return;
    }
    const MMRESULT expected = ExpectedOpen(c, target, formatOk);
    if (event && c.eventHandle == nullptr)
        c.eventHandle = host::CreateEvent(false, false);
    c.event = event;
    DWORD_PTR callback = event ? reinterpret_cast<DWORD_PTR>(c.eventHandle) : reinterpret_cast<DWORD_PTR>(&ClientFn);
    HWAVEOUT h = nullptr;
    c.h = nullptr;
    c.opening = true;
    MMRESULT r = waveOutOpen(&h, id, format, callback, reinterpret_cast<DWORD_PTR>(&c),
                             event ? CALLBACK_EVENT : CALLBACK_FUNCTION);
    c.opening = false;
    EXPECT(expected == 0xFFFFFFFFu || r == expected,
           "client %d: open of %s answered %u, not %u (another client holds device %u: %d)", c.id,
           mapper ? "the mapper" : "device 1", r, expected, target, Held(c, target));
    if (r == MMSYSERR_ALLOCATED)
        ++Counts().secondOpensRefused;
    if (r != MMSYSERR_NOERROR)
        return;
    ++Counts().opens;
    host::WaveMapping m;
    EXPECT(host::DescribeWaveMapping(h, &m), "client %d: the API does not know the handle its open gave", c.id);
    // An event is set for MM_WOM_DONE and MM_WOM_CLOSE, never for the open.
    EXPECT(!event || !host::WaitForEvent(c.eventHandle, 0), "client %d: the open set its event", c.id);
    EXPECT(c.h == nullptr || c.h == h, "client %d: MM_WOM_OPEN came with handle %p, the open gave %p", c.id,
           static_cast<void*>(c.h), static_cast<void*>(h));
    EXPECT(m.device == target, "client %d: the stream plays on device %u, not %u", c.id, m.device, target);
    c.h = h;
    c.open = true;
    c.device = m.device;
    c.converted = m.converted;
    c.bytesSinceReset = 0;
    c.loopedSinceReset = false;
    c.inRun = false;
}

// A close with headers outstanding is refused and changes nothing; a close
// that succeeds has nothing of the client's left to lose.  A client with
// nothing outstanding unprepares its headers first, as an application does:
// a preparation belongs to the handle it was made on.
void ApiSession::Close(ApiClient& c)
{
    if (!c.open)
        return;
    if (c.event)
        Look(c);
    const bool outstanding = !c.queue.empty();
    for (size_t i = 0; i < kApiHeaders && !outstanding; ++i)
        if (c.prepared[i])
            Unprepare(c, i);
    Trace("client %d: close (%zu outstanding)", c.id, c.queue.size());
    c.closing = c.stopping = true;
    MMRESULT r = waveOutClose(c.h);
    c.closing = c.stopping = false;
    if (c.event)
        Look(c);
    EXPECT(r == (outstanding ? MMRESULT(WAVERR_STILLPLAYING) : MMSYSERR_NOERROR),
           "client %d: close with %zu headers outstanding answered %u", c.id, c.queue.size(), r);
    EXPECT(r != MMSYSERR_NOERROR || c.queue.empty(), "client %d: closed with header %d never handed back (lost)", c.id,
           c.queue.empty() ? -1 : c.queue.front());
    if (r == WAVERR_STILLPLAYING)
        ++Counts().closesRefused;
    if (r == MMSYSERR_NOERROR) {
        c.open = false;
        c.h = nullptr;
    }
}

// A fresh buffer of one of a few lengths (whole frames, a partial frame,
// none), with loop flags now and then.  A prepared header is unprepared
// first, as an application does before it changes the buffer.
void ApiSession::Prepare(ApiClient& c, Reader& in)
{
    const size_t i = in.U8() % kApiHeaders;
    const uint8_t l = in.U8();
    const uint8_t f = in.U8();
    if (!c.open || std::find(c.queue.begin(), c.queue.end(), static_cast<int>(i)) != c.queue.end())
        return;
    static const DWORD kLengths[] = {1764, 7056, 17640, 4, 3, 0, 2002, 44100};
    static const DWORD kLoops[] = {0, 1, 2, 0xFFFFFFFFu};
    const DWORD length = kLengths[l % 8];
    DWORD flags = 0;
    if ((f & 0x30) == 0x30) flags |= WHDR_BEGINLOOP;
    if ((f & 0xC0) == 0xC0) flags |= WHDR_ENDLOOP;
    const DWORD loops = kLoops[f % 4];
    if (c.prepared[i])
        Unprepare(c, i);
    std::vector<uint8_t> bytes(length);
    for (DWORD k = 0; k < length; ++k)
        bytes[k] = static_cast<uint8_t>(k * 7 + i * 37 + c.id * 101 + 1);
    c.pool.Fill(i, bytes, flags, loops);
    Trace("client %d: prepare %zu length %u flags %#x loops %u", c.id, i, length, flags, loops);
    MMRESULT r = waveOutPrepareHeader(c.h, c.pool[i], sizeof(WAVEHDR));
    EXPECT(r == MMSYSERR_NOERROR, "client %d: prepare of header %zu answered %u", c.id, i, r);
    c.prepared[i] = true;
}

void ApiSession::Unprepare(ApiClient& c, size_t i)
{
    if (!c.open)
        return;
    if (c.event)
        Look(c);
    const bool queued = std::find(c.queue.begin(), c.queue.end(), static_cast<int>(i)) != c.queue.end();
    Trace("client %d: unprepare %zu%s", c.id, i, queued ? " (queued)" : "");
    MMRESULT r = waveOutUnprepareHeader(c.h, c.pool[i], sizeof(WAVEHDR));
    EXPECT(r == (queued ? MMRESULT(WAVERR_STILLPLAYING) : MMSYSERR_NOERROR), "client %d: unprepare of header %zu answered %u",
           c.id, i, r);
    if (!queued)
        c.prepared[i] = false;
}

// The client's own view decides the answer: an unprepared header is
// refused, a header it has written and not had back is refused as in use,
// any other is taken.  The header joins the client's queue before the call,
// since a device may hand it back inside the call.
void ApiSession::Write(ApiClient& c, size_t i)
{
    if (!c.open)
        return;
    if (c.event)
        Look(c);
    if (known_.device0EmptyLoop && c.device == 0 && kit::HeaderLength(c.pool[i]) == 0 &&
        (HeaderFlags(c.pool[i]) & (WHDR_BEGINLOOP | WHDR_ENDLOOP)))
        return;
    const bool queued = std::find(c.queue.begin(), c.queue.end(), static_cast<int>(i)) != c.queue.end();
    const MMRESULT expected =
        queued ? MMRESULT(MMSYSERR_INVALPARAM) : !c.prepared[i] ? MMRESULT(WAVERR_UNPREPARED) : MMSYSERR_NOERROR;
    Trace("client %d: write %zu (%zu outstanding)", c.id, i, c.queue.size());
    if (expected == MMSYSERR_NOERROR) {
        c.queue.push_back(static_cast<int>(i));
        c.bytesSinceReset += kit::HeaderLength(c.pool[i]);
        const DWORD flags = HeaderFlags(c.pool[i]);
        if (flags & (WHDR_BEGINLOOP | WHDR_ENDLOOP))
            c.loopedSinceReset = true;
        if (flags & WHDR_BEGINLOOP)
            c.inRun = !(flags & WHDR_ENDLOOP);
        else if (flags & WHDR_ENDLOOP)
            c.inRun = false;
    }
    MMRESULT r = waveOutWrite(c.h, c.pool[i], sizeof(WAVEHDR));
    EXPECT(r == expected, "client %d: write of header %zu answered %u, not %u", c.id, i, r, expected);
}

// Every header the client wrote is back when its reset returns.
void ApiSession::Reset(ApiClient& c)
{
    if (!c.open)
        return;
    Trace("client %d: reset (%zu outstanding)", c.id, c.queue.size());
    if (!c.queue.empty())
        ++Counts().resetsWithHeaders;
    c.stopping = true;
    MMRESULT r = waveOutReset(c.h);
    c.stopping = false;
    EXPECT(r == MMSYSERR_NOERROR, "client %d: reset answered %u", c.id, r);
    if (c.event)
        Look(c);
    EXPECT(c.queue.empty(), "client %d: header %d (of %zu outstanding) did not come back by the end of its reset (lost)",
           c.id, c.queue.empty() ? -1 : c.queue.front(), c.queue.size());
    // A loop run begun and not closed outlives the reset (the queue's
    // documented rule): what the client writes next still joins it and
    // repeats, so its position may pass what it wrote.
    c.bytesSinceReset = 0;
    c.loopedSinceReset = c.inRun;
}

void ApiSession::Simple(ApiClient& c, UINT which)
{
    if (!c.open)
        return;
    MMRESULT r = MMSYSERR_ERROR;
    switch (which) {
    case WODM_PAUSE: r = waveOutPause(c.h); break;
    case WODM_RESTART: r = waveOutRestart(c.h); break;
    default: r = waveOutBreakLoop(c.h); break;
    }
    Trace("client %d: message %u", c.id, which);
    EXPECT(r == MMSYSERR_NOERROR, "client %d: message %u answered %u", c.id, which, r);
}

// The position in bytes never passes what the client wrote since its open
// or its last reset (loops aside, which replay bytes; and a converted
// stream's position is the mapper's estimate).
void ApiSession::Position(ApiClient& c)
{
    if (!c.open)
        return;
    std::memset(&g_position, 0, sizeof g_position);
    g_position.wType = TIME_BYTES;
    MMRESULT r = waveOutGetPosition(c.h, &g_position, sizeof g_position);
    Trace("client %d: position %u", c.id, g_position.u.cb);
    EXPECT(r == MMSYSERR_NOERROR, "client %d: position answered %u", c.id, r);
    if (c.device == 1 && !c.converted && !c.loopedSinceReset)
        EXPECT(g_position.wType == TIME_BYTES && g_position.u.cb <= c.bytesSinceReset,
               "client %d: position %u bytes (type %u), it wrote %llu since its open or reset", c.id, g_position.u.cb,
               g_position.wType, static_cast<unsigned long long>(c.bytesSinceReset));
}

void CALLBACK ApiSession::ClientFn(HDRVR h, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR)
{
    ApiClient* c = reinterpret_cast<ApiClient*>(instance);
    c->session->OnCallback(*c, h, msg, p1);
}

void ApiSession::OnCallback(ApiClient& c, HDRVR h, UINT msg, DWORD_PTR p1)
{
    Trace("client %d: callback %s %p", c.id, MessageName(msg), reinterpret_cast<void*>(p1));
    switch (msg) {
    case MM_WOM_OPEN:
        EXPECT(c.opening, "client %d: MM_WOM_OPEN outside its own open", c.id);
        c.h = reinterpret_cast<HWAVEOUT>(h);
        break;
    case MM_WOM_CLOSE:
        EXPECT(c.closing && h == reinterpret_cast<HDRVR>(c.h), "client %d: MM_WOM_CLOSE (handle %p) outside its own close",
               c.id, static_cast<void*>(h));
        break;
    case MM_WOM_DONE:
        OnDone(c, h, p1);
        break;
    default:
        EXPECT(false, "client %d: callback with message %u", c.id, msg);
    }
}

// The header is this client's, the first it wrote that is not back yet,
// and done; then, if the client double-buffers, it writes it again.
void ApiSession::OnDone(ApiClient& c, HDRVR h, DWORD_PTR p1)
{
    const void* header = reinterpret_cast<const void*>(p1);
    const int i = c.pool.IndexOf(header);
    if (i < 0) {
        for (const ApiClient& o : clients_)
            EXPECT(o.pool.IndexOf(header) < 0, "client %d got header %d of client %d back", c.id, o.pool.IndexOf(header),
                   o.id);
        EXPECT(false, "client %d got %p back, no client's header", c.id, header);
    }
    EXPECT(c.open && h == reinterpret_cast<HDRVR>(c.h), "client %d got header %d back on handle %p (its own: %p, open %d)",
           c.id, i, static_cast<void*>(h), static_cast<void*>(c.h), c.open);
    EXPECT(!c.queue.empty(), "client %d got header %d back with none outstanding (twice, or never written)", c.id, i);
    EXPECT(c.queue.front() == i, "client %d got header %d back before header %d, written earlier", c.id, i,
           c.queue.front());
    const DWORD flags = HeaderFlags(c.pool[i]);
    EXPECT((flags & WHDR_DONE) && !(flags & WHDR_INQUEUE), "client %d: header %d came back with flags %#x", c.id, i,
           flags);
    c.queue.pop_front();
    ++Counts().headersBack;
    if (c.stopping)
        return;
    ++depth_;
    if (c.rewrites > 0) {
        --c.rewrites;
        Write(c, static_cast<size_t>(i));
    }
    if (c.opensOther >= 0) {
        ApiClient& other = clients_[c.opensOther];
        c.opensOther = -1;
        Open(other, c.opensHow);
    }
    --depth_;
}

// An event client sees its headers come back in their flags (done, and no
// longer in the queue; a header the device has finished but not yet handed
// back is done and still in the queue): those back must be the first it
// wrote, and when any came back its event is set.
void ApiSession::Look(ApiClient& c)
{
    auto back = [&c](size_t k) {
        const DWORD flags = HeaderFlags(c.pool[c.queue[k]]);
        return (flags & WHDR_DONE) && !(flags & WHDR_INQUEUE);
    };
    size_t done = 0;
    while (done < c.queue.size() && back(done))
        ++done;
    for (size_t k = done; k < c.queue.size(); ++k)
        EXPECT(!back(k), "client %d: header %d is back before header %d, written earlier", c.id, c.queue[k],
               c.queue[done]);
    const bool set = host::WaitForEvent(c.eventHandle, 0);
    EXPECT(done == 0 || set, "client %d: %zu headers came back and its event was not set", c.id, done);
    c.queue.erase(c.queue.begin(), c.queue.begin() + static_cast<std::ptrdiff_t>(done));
    Counts().headersBack += done;
}

}  // namespace fuzzing
