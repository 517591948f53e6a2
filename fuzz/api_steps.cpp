// The wave API fuzz target's input, from start to end: the setup byte, then
// up to 200 steps, each one client's call or an event of the world (time on
// the virtual clock, a link event, refused posts), followed by the checks
// that hold after any step; then the teardown a device manager makes after
// every application has reset and closed.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "api_session.h"
#include "btlink/lmr.h"
#include "btstandin/btstandin.h"
#include "check.h"
#include "host/clock.h"
#include "host/events.h"
#include "host/host.h"
#include "kit/driver.h"

namespace fuzzing {

namespace {
// At most two seconds of virtual time per input, so that every input runs
// in milliseconds.
constexpr uint64_t kVirtualMs = 2000;
}  // namespace

ApiCounts& Counts()
{
    static ApiCounts counts;
    return counts;
}

void PrintCounts()
{
    const ApiCounts& n = Counts();
    std::fprintf(stderr,
                 "api_fuzz counts: %llu inputs, %llu opens, %llu second opens refused, "
                 "%llu link-ups, %llu link-downs, %llu headers back, %llu resets with headers, %llu closes refused\n",
                 static_cast<unsigned long long>(n.inputs), static_cast<unsigned long long>(n.opens),
                 static_cast<unsigned long long>(n.secondOpensRefused),
                 static_cast<unsigned long long>(n.linkUps), static_cast<unsigned long long>(n.linkDowns),
                 static_cast<unsigned long long>(n.headersBack), static_cast<unsigned long long>(n.resetsWithHeaders),
                 static_cast<unsigned long long>(n.closesRefused));
}

ApiSession::ApiSession(const host::DriverModule& driver, bool trace, SecondOpen second, KnownFaults known)
    : d_(driver), trace_(trace), second_(second), known_(known)
{
    for (int k = 0; k < kApiClients; ++k) {
        clients_[k].session = this;
        clients_[k].id = k;
    }
}

ApiSession::~ApiSession()
{
    for (ApiClient& c : clients_)
        if (c.eventHandle != nullptr)
            host::CloseEvent(c.eventHandle);
}

void ApiSession::Trace(const char* fmt, ...)
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

// The device as the device manager brings it up, registered with the wave
// API as device 1 behind the built-in device 0; the link up or not.
void ApiSession::Setup(uint8_t b)
{
    hDevice_ = d_.Entry().Init(nullptr, nullptr);
    EXPECT(hDevice_ != 0, "WAV_Init failed");
    std::string error;
    wave_ = host::RegisterWaveDriver(d_.Entry(), hDevice_, &error);
    EXPECT(wave_ != 0, "the wave API refused the driver: %s", error.c_str());
    EXPECT(host::WaveDeviceIds(wave_) == std::vector<UINT>{1}, "the driver's device is not device 1");
    Trace("setup %#x", b);
    if (b & 0x01)
        Link(0);
}

void ApiSession::Advance(uint8_t b)
{
    const uint64_t ms = std::min<uint64_t>(1 + b % 128 * 3, kVirtualMs - advancedMs_);
    Trace("advance %llu ms", static_cast<unsigned long long>(ms));
    host::AdvanceVirtualMs(ms);
    advancedMs_ += ms;
}

// Link up makes the driver's device the mapper's preferred one, link down
// device 0 again; an unknown code changes nothing.
void ApiSession::Link(uint8_t b)
{
    static const uint32_t kCodes[] = {BT_EVENT_LINK_UP, BT_EVENT_LINK_DOWN, BT_EVENT_LINK_UP, BT_EVENT_LINK_DOWN, 0x23};
    const uint32_t code = kCodes[b % 5];
    Trace("link event %#x", code);
    btstandin::RaiseEvent(code);
    btstandin::WaitForEvents();
    if (code == BT_EVENT_LINK_UP) {
        linkUp_ = true;
        ++Counts().linkUps;
    } else if (code == BT_EVENT_LINK_DOWN) {
        linkUp_ = false;
        ++Counts().linkDowns;
    }
    EXPECT(host::PreferredWaveDevice() == (linkUp_ ? 1u : 0u), "the preferred device is %u with the link %s",
           host::PreferredWaveDevice(), linkUp_ ? "up" : "down");
}

void ApiSession::Refuse(uint8_t b)
{
    const unsigned n = 1 + b % 8;
    Trace("the stand-in refuses %u posts", n);
    btstandin::RefusePosts(n);
}

void ApiSession::Step(Reader& in)
{
    const uint8_t op = in.U8();
    ApiClient& c = clients_[(op >> 6) % kApiClients];
    switch ((op & 0x3F) % 20) {
    case 0:
    case 1:
    case 2:
    case 19: Write(c, in.U8() % kApiHeaders); break;
    case 3: Prepare(c, in); break;
    case 4: Unprepare(c, in.U8() % kApiHeaders); break;
    case 5:
    case 6: Open(c, in.U8()); break;
    case 7: Close(c); break;
    case 8: Reset(c); break;
    case 9: Simple(c, WODM_PAUSE); break;
    case 10: Simple(c, WODM_RESTART); break;
    case 11: Simple(c, WODM_BREAKLOOP); break;
    case 12: Position(c); break;
    case 13:
    case 14:
    case 18: Advance(in.U8()); break;
    case 15: Link(in.U8()); break;
    case 16: Refuse(in.U8()); break;
    default: {
        // The client double-buffers: the next few headers it gets back it
        // writes again from inside MM_WOM_DONE; or its next MM_WOM_DONE
        // starts another client's stream (a notification sound started
        // from a player's callback).
        const uint8_t b = in.U8();
        if (b & 0x80) {
            c.opensOther = (c.id + 1 + (b >> 5) % 2) % kApiClients;
            c.opensHow = static_cast<uint8_t>(b & 0x1F);
            Trace("client %d: opens client %d from its next callback", c.id, c.opensOther);
        } else {
            c.rewrites = b % 4;
            Trace("client %d: writes the next %u headers again from its callback", c.id, c.rewrites);
        }
        break;
    }
    }
    AfterStep();
}

// An event client's returns are seen in its headers' flags after every step.
void ApiSession::AfterStep()
{
    for (ApiClient& c : clients_)
        if (c.event && c.open)
            Look(c);
}

// Every client resets and closes, as an application ends; then the device
// manager unregisters and deinitialises the driver, and nothing of it may
// remain: no timer, period, context or packet.
void ApiSession::Teardown()
{
    Trace("teardown");
    btstandin::RefusePosts(0);
    for (ApiClient& c : clients_) {
        c.rewrites = 0;
        c.opensOther = -1;
        if (!c.open)
            continue;
        Simple(c, WODM_RESTART);
        Reset(c);
        Close(c);
        EXPECT(!c.open, "client %d could not close after its reset", c.id);
    }
    for (ApiClient& c : clients_)
        EXPECT(c.queue.empty(), "client %d: %zu headers never came back", c.id, c.queue.size());
    EXPECT(host::UnregisterWaveDriver(wave_), "the wave API lost the driver");
    EXPECT(d_.Entry().Deinit(hDevice_) == TRUE, "WAV_Deinit failed");
    EXPECT(host::ActiveTimerCount() == 0 && host::TimerPeriodBalance() == 0, "%d timers, %d periods after deinit",
           host::ActiveTimerCount(), host::TimerPeriodBalance());
    btstandin::Flush();
    const auto counters = host::GetCounters();
    EXPECT(counters.localAllocs == counters.localFrees, "%lu local blocks allocated, %lu freed", counters.localAllocs,
           counters.localFrees);
    EXPECT(btstandin::PacketsInFlight() == 0, "packets still in flight");
}

void ApiSession::Run(Reader& in)
{
    Setup(in.U8());
    for (int n = 0; n < 200 && !in.Done(); ++n)
        Step(in);
    Teardown();
}

void RunApiInput(const host::DriverModule& driver, const uint8_t* data, size_t size, bool trace, SecondOpen second,
                 KnownFaults known)
{
    kit::FreshHost();
    ++Counts().inputs;
    Reader in(data, size);
    {
        ApiSession session(driver, trace, second, known);
        session.Run(in);
    }
    kit::ClearHost();
}

}  // namespace fuzzing
