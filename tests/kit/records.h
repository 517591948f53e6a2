// Field access on the application's records, byte by byte, at any address.
// The one place where the tests, the fuzz target and the benchmarks get the
// driver's record macros (REC_GET32 and the rest, for the driver's own
// records) and the wave header's field helpers below.
#pragma once

#include "driver/record.h"
#include "host/platform.h"
#include "host/records.h"

namespace kit {

// The header helpers are the host's (the platform's own reading of the
// records), under the short names the tests use.
inline DWORD HFlags(const WAVEHDR* h) { return host::HeaderFlags(h); }
inline void HSetFlags(WAVEHDR* h, DWORD v) { host::SetHeaderFlags(h, v); }
inline DWORD HLength(const WAVEHDR* h) { return host::HeaderLength(h); }
inline DWORD HConsumed(const WAVEHDR* h) { return host::HeaderConsumed(h); }
inline void HSetConsumed(WAVEHDR* h, DWORD v) { host::SetHeaderConsumed(h, v); }
inline DWORD HLoops(const WAVEHDR* h) { return host::HeaderLoops(h); }
inline void HSetLoops(WAVEHDR* h, DWORD v) { host::SetHeaderLoops(h, v); }
inline WAVEHDR* HNext(const WAVEHDR* h) { return host::HeaderNext(h); }
inline void HSetNext(WAVEHDR* h, const WAVEHDR* n) { host::SetHeaderNext(h, n); }
inline DWORD_PTR HReserved(const WAVEHDR* h) { return host::HeaderReserved(h); }
inline DWORD_PTR HUser(const WAVEHDR* h) { return host::HeaderUser(h); }

}  // namespace kit
