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

// Puts every host service back to its state at process start, in this
// order: active devices taken down (their Deinit runs), the wave API's
// tables, clocks and timers, kernel objects, registry, the fault table,
// then the records (debug output, counters, freed blocks).  The debug echo
// is kept.  Called by a test's or tool's own thread with no driver running
// a message and no lock of the driver held; not from a callback.
void ResetAll();

// ---- Kernel debug output -------------------------------------------------
// Each NKDbgPrintfW call is one entry, formatted and converted to UTF-8.
// Any thread; each call takes the output's own lock, a leaf, briefly.
std::vector<std::string> DebugLines();
void ClearDebug();
// Also hand every entry to fn as it is written (nullptr: stop).  fn runs on
// the thread that printed, right after the entry is stored and with no lock
// of the host held, but often inside the driver: on the timer thread in a
// tick, or on a message's thread, with the driver's lock held.  So fn must not
// block, must not wait for another thread that may need the driver, and
// must not call the driver or the wave API; it should only copy the line.
void SetDebugEcho(std::function<void(const std::string&)> fn);

// Each entry also as a record: the format it was printed with and its
// arguments as the format's conversions read them, so that a reader takes
// the values from the arguments rather than from the text.  An entry printed
// without a format (OutputDebugString, the host's own notes) has an empty
// format, no arguments and its text in `line`.
struct DebugArgument {
    enum Kind { Signed, Unsigned, Character, Text, Pointer } kind = Signed;
    std::string label;     // the word right before the conversion in the format ("" when none)
    int64_t number = 0;    // Signed, Unsigned, Character, Pointer
    std::string text;      // Text, UTF-8
};
struct DebugRecord {
    std::string format;                    // UTF-8
    std::vector<DebugArgument> arguments;  // in the format's order
    std::string line;                      // the entry as DebugLines has it
};
// Hands every entry's record to fn as it is written (nullptr: stop), on the
// printing thread, under the same rules as the echo (it runs after the echo).
void SetDebugRecordObserver(std::function<void(const DebugRecord&)> fn);

// ---- Fault switches --------------------------------------------------------
// The fault table (host/faults.h): Fault, FailNext, ClearFaults, FaultsLeft, ShouldFail.
// When f should fail now, touches an inaccessible page: a memory-access fault
// on the calling thread, inside the host service that calls this.
void AccessFaultIf(Fault f);

// ---- Counters ----------------------------------------------------------------
// Bumped without a lock by the services on any thread; read field by field.
struct Counters {
    unsigned long localAllocs = 0;
    unsigned long localFrees = 0;
    unsigned long driverMallocs = 0;
    unsigned long driverFrees = 0;
    unsigned long disableThreadLibraryCalls = 0;
};
Counters GetCounters();
// Addresses the driver released with free, in order (the latest 65,536).
std::vector<const void*> DriverFreedBlocks();

// ---- The driver's heap -------------------------------------------------------
// The C runtime's free for a block the driver gave away (the library's free
// of a packet it took): a block of the driver's heap goes back to it, any
// other to the C++ heap (tests make packets with malloc).  Any thread; takes
// the heap's lock, a leaf that lends a waiter's priority.  Not counted as the
// driver's free.
void DriverHeapFree(void* p);
struct DriverHeapUse {
    size_t reservedBytes = 0;   // address space reserved (touched only as blocks are carved)
    size_t carvedBytes = 0;     // carved into blocks: the most the heap holds
    size_t liveBytes = 0;       // in blocks handed out and not yet freed
};
DriverHeapUse GetDriverHeapUse();

// ---- Critical sections -------------------------------------------------------
// Levels of cs the calling thread holds.
unsigned HeldLevels(const CRITICAL_SECTION* cs);
// True when no thread holds cs (tried from a helper thread, which this waits
// for: the caller must not hold anything that thread needs).
bool IsFree(CRITICAL_SECTION* cs);

// ---- Wide strings ------------------------------------------------------------
std::u16string Widen(const std::string& utf8);
std::string Narrow(const WCHAR* s);
std::string Narrow(const std::u16string& s);

// ---- Pointer checks ----------------------------------------------------------
// How IsBadWritePtr learns whether a range is writable: by asking the kernel
// to ready the range's pages for writing (the quick way, used whenever it
// passes its self-test) or by reading the process's list of mappings.  The
// answer is the same either way; tests check both.  Any thread.
enum class PointerCheck { Quick, MappingList };
PointerCheck CurrentPointerCheck();
// Chooses the mapping list (true) or goes back to the quick way where it
// works (false).  Returns what is now in use.
PointerCheck UseMappingListForPointerChecks(bool on);

// ---- Fault guard -------------------------------------------------------------
// Installs the signal handlers the guard needs (idempotent; also done by the
// first SehEnterFrame).
void InstallFaultGuard();
// A fault that no guard frame catches ends the process, as on the device.
// A program that must leave a record first sets this hook: it is called on
// the faulting thread, in the signal handler (only async-signal-safe calls),
// with the platform's exception code; when it returns, the fault happens
// again without the guard and ends the process.  nullptr: none.
using UnhandledFaultHook = void (*)(unsigned long code);
void SetUnhandledFaultHook(UnhandledFaultHook hook);

}  // namespace host
