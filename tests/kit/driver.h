// The test kit: what the test suites, the fuzz target and the benchmarks
// share to drive the driver, with no test framework of its own, so that a
// fuzz target or a benchmark can use it as the suites do.  Every check it
// offers answers with a value or a description; the caller decides how a
// failure is reported.
//
// This part: loading a fresh driver, putting the host around it in the state
// of a fresh process, sending wave messages through WAV_IOControl, and the
// bad addresses a record may have.
//
// Threads: everything here is called on the test's own thread, with no lock
// of the driver's held; SendMessage may run the client's callbacks inside.
#pragma once

#include <memory>
#include <string>

#include "host/driverlibrary.h"
#include "host/platform.h"

namespace kit {

// Loads the driver library at `path` through the host's loader.  Null with
// *error set when it cannot be loaded.
std::unique_ptr<host::DriverModule> LoadDriver(const std::string& path, std::string* error);

// Before a driver is loaded: the host's books, faults, clock and registry and
// the stand-in library as a fresh process has them; the stand-in keeps every
// packet for inspection.
void FreshHost();
// After the driver is gone: the stand-in and the host reset again, so that
// nothing of one test reaches the next.
void ClearHost();

// Where a record handed to the driver lies.
enum class Mem { Good, Null, Unmapped };
// `good` for Mem::Good, otherwise the bad address.
void* Address(Mem m, void* good);
const char* Name(Mem m);
// A page that faults on every access, for bad-address cases.
void* UnmappedPage();

// One wave message's outcome: whether WAV_IOControl returned TRUE and the
// result word, if one was written.
struct MessageAnswer {
    BOOL returned = FALSE;
    bool wroteResult = false;
    DWORD result = 0;
};

// Sends one wave message through WAV_IOControl on open context hOpen.  The
// message record and the result word lie where `record` and `result` say.
MessageAnswer SendMessage(const host::DriverEntryPoints& entry, DWORD_PTR hOpen, UINT uMsg, DWORD_PTR dwParam1 = 0,
                          DWORD_PTR dwParam2 = 0, Mem record = Mem::Good, Mem result = Mem::Good);

// A PCM format (or another tag's) with the block alignment and byte rate
// that follow from it.
WAVEFORMATEX MakeFormat(WORD channels = 2, DWORD rate = 44100, WORD bits = 16, WORD tag = WAVE_FORMAT_PCM);

// The device as the device manager brings it up for one client: WAV_Init,
// then WAV_Open; closed and deinitialised when it goes.  Either handle is 0
// when its call failed.
class OpenedDevice {
public:
    explicit OpenedDevice(const host::DriverModule& driver);
    ~OpenedDevice();
    OpenedDevice(const OpenedDevice&) = delete;
    OpenedDevice& operator=(const OpenedDevice&) = delete;

    DWORD_PTR Device() const { return hDevice_; }
    DWORD_PTR Open() const { return hOpen_; }

private:
    const host::DriverModule& driver_;
    DWORD_PTR hDevice_ = 0;
    DWORD_PTR hOpen_ = 0;
};

}  // namespace kit
