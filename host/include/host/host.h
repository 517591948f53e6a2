// Control side of the host: what tests, tools and the player use to set up,
// observe and disturb the platform services that the driver calls.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace host {

// Puts every host service back to its state at process start: debug output,
// fault switches, counters, registry, clocks and timers, wave API.
void ResetAll();

// ---- Kernel debug output -------------------------------------------------
// Each NKDbgPrintfW call is one entry, formatted and converted to UTF-8.
std::vector<std::string> DebugLines();
void ClearDebug();
// Also hand every entry to fn as it is written (nullptr: stop).
void SetDebugEcho(std::function<void(const std::string&)> fn);

// ---- Fault switches --------------------------------------------------------
enum class Fault {
    LocalAlloc,     // LocalAlloc answers 0
    Malloc,         // the driver's malloc answers null
    TimerCreate,    // timeSetEvent answers 0
    RegistryOpen,   // RegOpenKeyExW fails
    RegistryQuery,  // RegQueryValueExW fails
};
// The next `count` calls after `skip` successful ones fail.
void FailNext(Fault f, unsigned count = 1, unsigned skip = 0);
void ClearFaults();
// Failures of f still to come: 0 once a switch has fired all of them (or
// when none is set), so a test can tell whether the Nth call was reached.
unsigned FaultsLeft(Fault f);
// True when the call should fail now; counts the call.  For host services.
bool ShouldFail(Fault f);

// ---- Counters ----------------------------------------------------------------
struct Counters {
    unsigned long localAllocs = 0;
    unsigned long localFrees = 0;
    unsigned long driverMallocs = 0;
    unsigned long driverFrees = 0;
    unsigned long disableThreadLibraryCalls = 0;
};
Counters GetCounters();
// Addresses the driver released with free, in order.
std::vector<const void*> DriverFreedBlocks();

// ---- Critical sections -------------------------------------------------------
// Levels of cs the calling thread holds.
unsigned HeldLevels(const CRITICAL_SECTION* cs);
// True when no thread holds cs (tried from a helper thread).
bool IsFree(CRITICAL_SECTION* cs);

// ---- Wide strings ------------------------------------------------------------
std::u16string Widen(const std::string& utf8);
std::string Narrow(const WCHAR* s);
std::string Narrow(const std::u16string& s);

// ---- Fault guard -------------------------------------------------------------
// Installs the signal handlers the guard needs (idempotent; also done by the
// first SehEnterFrame).
void InstallFaultGuard();

}  // namespace host
