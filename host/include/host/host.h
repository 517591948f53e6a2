// Control side of the host: what tests, tools and the player use to set up,
// observe and disturb the platform services that the driver calls.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/faults.h"
#include "host/platform.h"

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
// The fault registry (host/faults.h): Fault, FailNext, ClearFaults, FaultsLeft, ShouldFail.
// When f should fail now, touches an inaccessible page: a memory-access fault
// on the calling thread, inside the host service that calls this.
void AccessFaultIf(Fault f);

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
