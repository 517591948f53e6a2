// One fuzz input played against the driver: the input's bytes are decoded
// into operations (entry points, wave messages with good, odd, null and
// unmapped records, headers with any flags, loop count and length, a client
// that sends messages from its callbacks, injected allocation, timer,
// registry and post faults, link events, virtual time), and the driver's
// invariants are checked after every operation and once more after the
// device has been closed and deinitialised.  A broken invariant prints what
// was seen and aborts, which the fuzzer records as a crash.
//
// Threads: Run is called on one thread.  Ticks run on the timer service's
// thread and link events on the stand-in's, each while Run waits for them,
// so the session's bookkeeping is never touched by two threads at once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/driverlibrary.h"

namespace fuzzing {

// Plays one input against a driver that is loaded and, as far as its globals
// go, fresh (see image.h); resets the host around it.  `trace` prints each
// operation as it is decoded.
void RunInput(const host::DriverModule& driver, const uint8_t* data, size_t size, bool trace);

}  // namespace fuzzing
