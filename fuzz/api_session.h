// The wave API fuzz target's session: one input played by several
// applications (clients) through the host's wave API (waveOutOpen, Write,
// Pause, Restart, Reset, Close, GetPosition, BreakLoop, PrepareHeader,
// UnprepareHeader) on device 1 and on WAVE_MAPPER, each with its own headers
// and its own callback (a function, or an event), with link events, the
// stand-in's refusals of posts and the virtual clock's time between the
// steps.
//
// The oracle judges each client's buffers from outside, from what that
// client did: every header it wrote comes back done exactly once, to it, in
// the order it wrote them; nothing comes back to a client that did not
// write it; after its reset every header it wrote is back, and a close with
// headers outstanding is refused; each call's answer is the one the client's
// own history calls for (a second client of a device in use is refused).
// A broken rule prints what was seen and aborts (check.h).
//
// Threads: Run is called on the worker's thread.  Callbacks come on that
// thread (inside a call), on the timer service's thread (inside a tick, while
// Run waits in the clock's advance) or on the stand-in's event thread (while
// Run waits for the event), never two at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include "host/driverlibrary.h"
#include "host/platform.h"
#include "host/wave.h"
#include "input.h"
#include "kit/header_pool.h"

namespace fuzzing {

constexpr int kApiClients = 3;
constexpr size_t kApiHeaders = 4;   // per client

// What the session does about an open of a device another client holds
// (BTWAV_API_FUZZ_SECOND_OPEN): expect device 1 to refuse it with
// MMSYSERR_ALLOCATED (refused, the default), accept any answer and let the
// buffers judge (any), or never send one (never).
enum class SecondOpen { Refused, Any, Never };

// Known faults a campaign may filter out (BTWAV_API_FUZZ_KNOWN, names
// separated by commas), each reported with its input in docs/fuzzing.md:
// device0-empty-loop (mended since): no client writes an empty header with loop flags to
// device 0 (an empty loop repeated for ever spins device 0's timer thread
// for good).
struct KnownFaults {
    bool device0EmptyLoop = false;
};

// What the inputs played so far did, counted from outside the driver
// (BTWAV_API_FUZZ_COUNTS=1 prints them when the process ends): evidence of
// which paths a corpus reaches.  Touched by one thread at a time.
struct ApiCounts {
    uint64_t inputs = 0;
    uint64_t opens = 0;               // opens answered 0
    uint64_t secondOpensRefused = 0;  // opens of a device in use answered MMSYSERR_ALLOCATED
    uint64_t linkUps = 0, linkDowns = 0;
    uint64_t headersBack = 0;         // headers judged on their way back
    uint64_t resetsWithHeaders = 0;   // resets that had headers to hand back
    uint64_t closesRefused = 0;       // closes answered WAVERR_STILLPLAYING
};
ApiCounts& Counts();
void PrintCounts();

class ApiSession;

// One application: its handle, headers and what it has written.
struct ApiClient {
    ApiSession* session = nullptr;
    int id = 0;
    kit::HeaderPool pool{kApiHeaders};
    HWAVEOUT h = nullptr;
    bool open = false;
    bool opening = false;    // inside its own waveOutOpen
    bool closing = false;    // inside its own waveOutClose
    bool stopping = false;   // inside its own reset or close: it writes nothing from its callback
    bool event = false;      // CALLBACK_EVENT (else CALLBACK_FUNCTION)
    HANDLE eventHandle = nullptr;
    UINT device = 0;         // where its stream plays
    bool converted = false;  // the mapper converts its format
    bool prepared[kApiHeaders] = {};
    std::deque<int> queue;   // written and accepted, not yet back, in write order
    uint64_t bytesSinceReset = 0;
    bool loopedSinceReset = false;
    bool inRun = false;      // it wrote a WHDR_BEGINLOOP header and not yet its WHDR_ENDLOOP
    unsigned rewrites = 0;   // writes of a returned header from inside MM_WOM_DONE still to make
    int opensOther = -1;     // the client whose open its next MM_WOM_DONE makes (-1: none)
    uint8_t opensHow = 0;    // that open's byte (see Open)
};

class ApiSession {
public:
    ApiSession(const host::DriverModule& driver, bool trace, SecondOpen second, KnownFaults known);
    ~ApiSession();
    void Run(Reader& in);

    // The clients' callback (CALLBACK_FUNCTION); the instance word is the client.
    static void CALLBACK ClientFn(HDRVR h, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2);

private:
    // ---- api_steps.cpp: the setup, the steps, the checks after each, the teardown
    void Setup(uint8_t b);
    void Step(Reader& in);
    void AfterStep();
    void Teardown();
    void Advance(uint8_t b);
    void Link(uint8_t b);
    void Refuse(uint8_t b);
    void Trace(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

    // ---- api_clients.cpp: each client's calls and the answers they must get
    void Open(ApiClient& c, uint8_t b);
    MMRESULT ExpectedOpen(const ApiClient& c, UINT target, bool formatOk) const;
    void Close(ApiClient& c);
    void Prepare(ApiClient& c, Reader& in);
    void Unprepare(ApiClient& c, size_t i);
    void Write(ApiClient& c, size_t i);
    void Reset(ApiClient& c);
    void Simple(ApiClient& c, UINT which);
    void Position(ApiClient& c);
    void OnCallback(ApiClient& c, HDRVR h, UINT msg, DWORD_PTR p1);
    void OnDone(ApiClient& c, HDRVR h, DWORD_PTR p1);
    // An event client's headers that came back, seen in their flags.
    void Look(ApiClient& c);
    // Whether a client other than c holds device `device`.
    bool Held(const ApiClient& c, UINT device) const;

    const host::DriverModule& d_;
    bool trace_;
    SecondOpen second_;
    KnownFaults known_;
    ApiClient clients_[kApiClients];
    DWORD_PTR hDevice_ = 0;
    host::WaveDriverId wave_ = 0;
    bool linkUp_ = false;
    uint64_t advancedMs_ = 0;
    int depth_ = 0;   // callbacks in progress, for the trace's indentation
};

// Plays one input against a driver whose globals are fresh (image.h); resets
// the host around it.
void RunApiInput(const host::DriverModule& driver, const uint8_t* data, size_t size, bool trace, SecondOpen second,
                 KnownFaults known);

}  // namespace fuzzing
