// Field access on the application's records the way the driver must do it:
// byte by byte, at any address.  The one place where the tests, the fuzz
// target and the benchmarks get the record accessors (RecReadU32, REC_GET32
// and the rest) and the wave header's field helpers below.
#pragma once

#include "driver/record.h"
#include "host/platform.h"

namespace kit {

inline DWORD HFlags(const WAVEHDR* h) { return REC_GET32(h, WAVEHDR, dwFlags); }
inline void HSetFlags(WAVEHDR* h, DWORD v) { REC_SET32(h, WAVEHDR, dwFlags, v); }
inline DWORD HLength(const WAVEHDR* h) { return REC_GET32(h, WAVEHDR, dwBufferLength); }
inline DWORD HConsumed(const WAVEHDR* h) { return REC_GET32(h, WAVEHDR, dwBytesRecorded); }
inline void HSetConsumed(WAVEHDR* h, DWORD v) { REC_SET32(h, WAVEHDR, dwBytesRecorded, v); }
inline DWORD HLoops(const WAVEHDR* h) { return REC_GET32(h, WAVEHDR, dwLoops); }
inline void HSetLoops(WAVEHDR* h, DWORD v) { REC_SET32(h, WAVEHDR, dwLoops, v); }
inline WAVEHDR* HNext(const WAVEHDR* h) { return reinterpret_cast<WAVEHDR*>(REC_GETPTR(h, WAVEHDR, lpNext)); }
inline void HSetNext(WAVEHDR* h, const WAVEHDR* n) { REC_SETPTR(h, WAVEHDR, lpNext, reinterpret_cast<DWORD_PTR>(n)); }
inline DWORD_PTR HReserved(const WAVEHDR* h) { return REC_GETPTR(h, WAVEHDR, reserved); }
inline DWORD_PTR HUser(const WAVEHDR* h) { return REC_GETPTR(h, WAVEHDR, dwUser); }

}  // namespace kit
