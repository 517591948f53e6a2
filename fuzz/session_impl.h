// The session behind RunInput, in rooms by role: the client and what it does
// from its callbacks (client.cpp), the operations on the driver's exports
// with the answers each must get (operations.cpp), the decoding of an input
// into operations and the checks after each (steps.cpp), and the queue's
// oracle (oracle.h).  Threads: see session.h; the session's fields are
// touched by one thread at a time.
#pragma once

#include <string>
#include <thread>
#include <vector>

#include "host/driverlibrary.h"
#include "host/platform.h"
#include "host/wave.h"
#include "input.h"
#include "kit/driver.h"
#include "kit/header_pool.h"
#include "oracle.h"
#include "stream/stream.h"

namespace fuzzing {

constexpr size_t kHeaders = kit::kModelHeaders;
constexpr uint64_t kVirtualMsPerInput = 2000;

// What the client does from inside its callback.
// Fault: the callback reads an unmapped page.  Only where a guard catches it
// (MM_WOM_DONE during WODM_RESET, on the thread that sent it); a fault in a
// tick's callback would end the process, as on the platform.
enum class Reaction : uint8_t { WriteSame, WriteOther, Reset, Pause, Restart, BreakLoop, Close, GetPos, Open, Fault, Count };

class Session {
public:
    Session(const host::DriverModule& driver, bool trace);
    ~Session();
    void Run(Reader& in);

private:
    // ---- steps.cpp: decoding and the checks after each step
    void Setup(uint8_t b);
    void Step(Reader& in);
    void Teardown();
    void CheckAfterStep(const char* op);

    // ---- operations.cpp
    void Prepare(Reader& in);
    void Write(size_t i, kit::Mem rec, kit::Mem out, kit::Mem hdr);
    void Open(DWORD flags, kit::Mem desc, kit::Mem fmt, bool stereo, bool callback);
    void Close();
    kit::MessageAnswer Simple(UINT uMsg);
    void Reset();
    void BreakLoop();
    void GetPos(kit::Mem rec, DWORD wType);
    void Caps(kit::Mem rec, DWORD size, bool extended);
    void Link(uint8_t b);
    void Fault(uint8_t kind, uint8_t count, uint8_t skip);
    void Registry(uint8_t which, uint8_t value);
    void EntryPoints(uint8_t b);
    void Raw(Reader& in);
    kit::MessageAnswer Send(UINT uMsg, DWORD_PTR p1, DWORD_PTR p2, kit::Mem rec = kit::Mem::Good,
                            kit::Mem out = kit::Mem::Good);

    // ---- client.cpp
    static void CALLBACK ClientFn(HDRVR h, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2);
    void OnCallback(HDRVR h, UINT msg, DWORD_PTR p1);
    void React(UINT msg, DWORD_PTR p1);
    // Whether headers come back through MM_WOM_DONE: the latest open gave a
    // callback and the stream's record still holds it.
    bool ClientHearsBack() const { return callback_ && ctx_->pfnCallback != nullptr; }
    void Trace(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    DWORD_PTR hOpenOrZero() const { return opens_.empty() ? 0 : opens_.front(); }

    const host::DriverModule& d_;
    bool trace_;
    STREAM_CONTEXT* ctx_ = nullptr;
    CRITICAL_SECTION* lock_ = nullptr;
    BOOL* deviceInit_ = nullptr;

    kit::HeaderPool pool_{kHeaders};
    QueueOracle oracle_;
    WAVEFORMATEX format_ = kit::MakeFormat(2, 44100, 16);
    WAVEFORMATEX otherFormat_ = kit::MakeFormat(1, 22050, 8);
    WAVEOPENDESC desc_{};

    DWORD_PTR hDevice_ = 0;
    std::vector<DWORD_PTR> opens_;   // live WAV_Open handles
    host::WaveDriverId wave_ = 0;
    bool callback_ = false;          // the stream's client has a callback
    HWAVE hWave_ = nullptr;          // the open's handle, as MM_WOM_CLOSE must show it
    // Order of the opens and closes that end in a state the driver must
    // keep: whichever came last decides whether an open that called back
    // leaves the stream open (a close from inside MM_WOM_OPEN wins).
    unsigned events_ = 0;
    unsigned lastOpenEvent_ = 0;
    unsigned lastCloseEvent_ = 0;
    bool timerMayOutliveClose_ = false;
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

}  // namespace fuzzing
