// The host's fault table: every way the world around the driver can be
// made to misbehave on demand, in one table.  Each fault is armed as "the next
// `count` occasions after `skip` good ones", optionally with an amount (ms or
// ppm, by fault).  An occasion is one call of the service that checks the
// fault: an allocation, a timer creation, a registry call, a post, a tick.
//
// Checking costs one atomic load while nothing is armed, so services on the
// tick's path (the driver's malloc, the library's post, the timer) check
// freely.  The table's mutex is a leaf: nothing is called while it is held.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace host {

// X(name, spelling on the command line, what an occurrence does (for the
// report), unit of the amount or "" when it has none, default amount, lowest
// and highest amount, help for the player's usage).  Adding a fault is one
// line here and a check where the service decides: the player's --fault, its
// usage and its tests take the faults from this table.
//
// Amounts past the ranges are no longer the fault they name: a post that
// takes more than ten seconds is a hang, a tick a minute late is a stopped
// clock, and a counter 10 % off is no crystal.  Faults without a unit have
// the range 0 to 0.
#define HOST_FAULT_LIST(X)                                                                                        \
    X(LocalAlloc, "localalloc", "LocalAlloc answers 0", "", 0, 0, 0, "LocalAlloc answers 0")                    \
    X(Malloc, "malloc", "the driver's malloc answers null", "", 0, 0, 0, "the driver's malloc answers null")     \
    X(TimerCreate, "timer", "timeSetEvent answers 0", "", 0, 0, 0, "timeSetEvent answers 0")                    \
    X(RegistryOpen, "regopen", "RegOpenKeyExW fails", "", 0, 0, 0, "RegOpenKeyExW fails")                       \
    X(RegistryQuery, "regquery", "RegQueryValueExW fails", "", 0, 0, 0, "RegQueryValueExW fails")               \
    X(RefusePost, "refuse", "the library refuses a post (-1) and the driver frees it", "", 0, 0, 0,             \
      "the library refuses a post")                                                                             \
    X(SlowPost, "slowpost", "a post takes AMOUNT ms, holding the driver's stream lock", "ms", 30, 0, 10000,     \
      "a post takes MS, holding the stream lock (virtual time with --fast)")                                    \
    X(LosePacket, "lose", "the radio loses an accepted packet", "", 0, 0, 0, "the radio loses a packet")        \
    X(LateTick, "late", "a tick of the virtual clock runs AMOUNT ms late", "ms", 30, 0, 60000,                  \
      "a tick of the virtual clock runs MS late")                                                               \
    X(ClockDrift, "drift", "during a tick's period the counter runs AMOUNT ppm fast (negative: slow)", "ppm", 300, \
      -100000, 100000, "the counter runs PPM fast during a tick (negative: slow)")                             \
    X(TimerAccess, "timeraccess", "timeSetEvent and timeKillEvent fault (a memory access) before they do anything", \
      "", 0, 0, 0, "timeSetEvent and timeKillEvent fault a memory access: ends the run as it would end the process")

// Every row has its help, and an amount's range holds its default.
#define HOST_FAULT_CHECK(name, spelling, what, unit, amount, lowest, highest, help)                          \
    static_assert(sizeof(help) > 1, "the fault " spelling " has no help");                                 \
    static_assert(sizeof(unit) == 1 ? (lowest) == 0 && (highest) == 0                                      \
                                    : (lowest) < (highest) && (lowest) <= (amount) && (amount) <= (highest), \
                  "the fault " spelling " has no sound range");
HOST_FAULT_LIST(HOST_FAULT_CHECK)
#undef HOST_FAULT_CHECK

enum class Fault {
#define HOST_FAULT_ENUM(name, spelling, what, unit, amount, lowest, highest, help) name,
    HOST_FAULT_LIST(HOST_FAULT_ENUM)
#undef HOST_FAULT_ENUM
};

constexpr unsigned kFaultCount = 0
#define HOST_FAULT_COUNT(name, spelling, what, unit, amount, lowest, highest, help) +1
    HOST_FAULT_LIST(HOST_FAULT_COUNT)
#undef HOST_FAULT_COUNT
    ;

struct FaultInfo {
    Fault fault;
    const char* spelling;   // as --fault takes it
    const char* what;       // one occurrence, for people
    const char* unit;       // of the amount; "" when it takes none
    int64_t defaultAmount;
    int64_t lowest;         // the amounts it takes; 0 and 0 without a unit
    int64_t highest;
    const char* help;       // for the player's usage: MS or PPM stands for the amount
};
const FaultInfo& Describe(Fault f);
// The fault spelled `spelling`; false when there is none.
bool FaultByName(const std::string& spelling, Fault* out);

// Arms f: the next `count` occasions after `skip` good ones fail, each with
// `amount` (ignored by faults without a unit).  Re-arming replaces the
// previous setting; the fired count is kept.  Any thread.
void Arm(Fault f, unsigned count, unsigned skip, int64_t amount);
// Arms f with its default amount.
void FailNext(Fault f, unsigned count = 1, unsigned skip = 0);
// Disarms every fault and sets the fired counts back to 0.
void ClearFaults();
// Occurrences of f still to come: 0 once all have fired (or none is armed),
// so a test can tell whether the Nth occasion was reached.
unsigned FaultsLeft(Fault f);
// Occurrences of f since the last ClearFaults (or ResetAll).
uint64_t FaultsFired(Fault f);
// True when this occasion should fail; counts the occasion.  *amount (when
// given) receives the armed amount.  For host services, on any thread, with
// any of their own locks held.
bool ShouldFail(Fault f, int64_t* amount = nullptr);

// True while any fault has occurrences to come: one atomic load, for a
// service that checks several faults on a hot path.
bool AnyFaultArmed();

// What was armed and what fired, one entry per fault that was armed since the
// last clear, in the table's order.
struct FaultRecord {
    Fault fault;
    unsigned skip;        // as armed
    unsigned count;       // as armed
    int64_t amount;       // as armed
    uint64_t fired;       // occurrences so far
};
std::vector<FaultRecord> FaultRecords();

}  // namespace host
