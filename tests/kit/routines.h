// The driver's globals and internal routines, found in a loaded driver by
// their names and typed by their own declarations: a routine whose
// signature changes makes every use of it here fail to compile, instead of
// being called through a stale hand-written type.
#pragma once

#include <string>
#include <type_traits>

#include "btlink/link.h"
#include "driver/driver.h"
#include "host/driverlibrary.h"
#include "pump/pump.h"
#include "queue/queue.h"
#include "stream/stream.h"

namespace kit {

// The symbol `name` of `driver` as a pointer of type P; null when the driver
// does not export it.
template <class P>
P Bind(const host::DriverModule& driver, const char* name)
{
    static_assert(std::is_pointer<P>::value, "bound through a pointer type");
    return driver.Get<typename std::remove_pointer<P>::type>(name);
}

// `symbol` of `driver`, typed as the driver's header declares it.
#define KIT_BIND(driver, symbol) ::kit::Bind<decltype(&(symbol))>((driver), #symbol)

struct Routines {
    // Globals.
    STREAM_CONTEXT* stream = nullptr;   // g_StreamContext[STREAM_OUTPUT]
    BT_AUDIO_PARA* para = nullptr;
    CRITICAL_SECTION* lock = nullptr;
    BOOL* deviceInit = nullptr;
    HANDLE* btAudio = nullptr;

    // The queue.
    decltype(&QueueWaveHeader) queue = nullptr;
    decltype(&ReturnDoneHeaders) returnDone = nullptr;
    decltype(&MarkAllHeadersDone) markAll = nullptr;
    decltype(&ClearLoopMarks) clearMarks = nullptr;
    decltype(&MarkConsumedHeadersDone) markConsumed = nullptr;
    decltype(&ScanPendingBytes) scan = nullptr;

    // The pump.
    decltype(&PostBtAudioData) post = nullptr;
    decltype(&GetBtAudioBytesDue) due = nullptr;
    decltype(&BtAudioTimerProc) tick = nullptr;
    decltype(&StartBtAudio) start = nullptr;
    decltype(&SuspendBtAudio) suspend = nullptr;
    decltype(&ResumeBtAudio) resume = nullptr;
    decltype(&RestartBtAudio) restart = nullptr;
    decltype(&StopBtAudio) stop = nullptr;

    // Binds every member; false with the first missing name in *missing.
    bool BindAll(const host::DriverModule& driver, std::string* missing);
};

}  // namespace kit
