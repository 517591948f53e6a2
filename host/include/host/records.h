// The host's access to the records an application or a driver hands the
// platform: wave headers, MMTIME, formats, packets.  Such records may sit at
// any address, so every field is read and written one byte at a time,
// little-endian, at the platform's offsets; a bad address faults on the
// first byte touched.  The host keeps these helpers of its own rather than
// borrowing the driver's: the platform does not depend on a driver's
// internals.  Tests and tools may use them too.
//
// Any thread; no lock is taken, and nothing here allocates or calls out.
#pragma once

#include <cstddef>

#include "host/platform.h"

namespace host {

inline WORD RecReadU16(const void* p)
{
    const BYTE* b = static_cast<const BYTE*>(p);
    return static_cast<WORD>(b[0] | (b[1] << 8));
}

inline DWORD RecReadU32(const void* p)
{
    const BYTE* b = static_cast<const BYTE*>(p);
    return static_cast<DWORD>(b[0]) | (static_cast<DWORD>(b[1]) << 8) | (static_cast<DWORD>(b[2]) << 16) |
           (static_cast<DWORD>(b[3]) << 24);
}

inline void RecWriteU16(void* p, WORD v)
{
    BYTE* b = static_cast<BYTE*>(p);
    b[0] = static_cast<BYTE>(v);
    b[1] = static_cast<BYTE>(v >> 8);
}

inline void RecWriteU32(void* p, DWORD v)
{
    BYTE* b = static_cast<BYTE*>(p);
    for (int i = 0; i < 4; ++i)
        b[i] = static_cast<BYTE>(v >> (8 * i));
}

// Pointer-sized fields: 4 bytes on the 32-bit target, 8 on a 64-bit host.
inline DWORD_PTR RecReadPtr(const void* p)
{
    const BYTE* b = static_cast<const BYTE*>(p);
    DWORD_PTR v = 0;
    for (unsigned i = sizeof(DWORD_PTR); i > 0; --i)
        v = (v << 8) | b[i - 1];
    return v;
}

inline void RecWritePtr(void* p, DWORD_PTR v)
{
    BYTE* b = static_cast<BYTE*>(p);
    for (unsigned i = 0; i < sizeof(DWORD_PTR); ++i) {
        b[i] = static_cast<BYTE>(v);
        v >>= 8;
    }
}

// The address of a field of a record of any alignment.
inline BYTE* RecField(const void* rec, size_t offset)
{
    return static_cast<BYTE*>(const_cast<void*>(rec)) + offset;
}

// ---- Wave headers --------------------------------------------------------------
inline DWORD HeaderFlags(const WAVEHDR* h) { return RecReadU32(RecField(h, offsetof(WAVEHDR, dwFlags))); }
inline void SetHeaderFlags(WAVEHDR* h, DWORD v) { RecWriteU32(RecField(h, offsetof(WAVEHDR, dwFlags)), v); }
inline DWORD HeaderLength(const WAVEHDR* h) { return RecReadU32(RecField(h, offsetof(WAVEHDR, dwBufferLength))); }
inline void SetHeaderLength(WAVEHDR* h, DWORD v) { RecWriteU32(RecField(h, offsetof(WAVEHDR, dwBufferLength)), v); }
// dwBytesRecorded: for playback, the bytes of the buffer already consumed.
inline DWORD HeaderConsumed(const WAVEHDR* h)
{
    return RecReadU32(RecField(h, offsetof(WAVEHDR, dwBytesRecorded)));
}
inline void SetHeaderConsumed(WAVEHDR* h, DWORD v)
{
    RecWriteU32(RecField(h, offsetof(WAVEHDR, dwBytesRecorded)), v);
}
inline DWORD HeaderLoops(const WAVEHDR* h) { return RecReadU32(RecField(h, offsetof(WAVEHDR, dwLoops))); }
inline void SetHeaderLoops(WAVEHDR* h, DWORD v) { RecWriteU32(RecField(h, offsetof(WAVEHDR, dwLoops)), v); }
inline BYTE* HeaderData(const WAVEHDR* h)
{
    return reinterpret_cast<BYTE*>(RecReadPtr(RecField(h, offsetof(WAVEHDR, lpData))));
}
inline void SetHeaderData(WAVEHDR* h, const void* data)
{
    RecWritePtr(RecField(h, offsetof(WAVEHDR, lpData)), reinterpret_cast<DWORD_PTR>(data));
}
inline WAVEHDR* HeaderNext(const WAVEHDR* h)
{
    return reinterpret_cast<WAVEHDR*>(RecReadPtr(RecField(h, offsetof(WAVEHDR, lpNext))));
}
inline void SetHeaderNext(WAVEHDR* h, const WAVEHDR* next)
{
    RecWritePtr(RecField(h, offsetof(WAVEHDR, lpNext)), reinterpret_cast<DWORD_PTR>(next));
}
inline DWORD_PTR HeaderUser(const WAVEHDR* h) { return RecReadPtr(RecField(h, offsetof(WAVEHDR, dwUser))); }
inline void SetHeaderUser(WAVEHDR* h, DWORD_PTR v) { RecWritePtr(RecField(h, offsetof(WAVEHDR, dwUser)), v); }
inline DWORD_PTR HeaderReserved(const WAVEHDR* h) { return RecReadPtr(RecField(h, offsetof(WAVEHDR, reserved))); }
inline void SetHeaderReserved(WAVEHDR* h, DWORD_PTR v)
{
    RecWritePtr(RecField(h, offsetof(WAVEHDR, reserved)), v);
}

// ---- MMTIME --------------------------------------------------------------------
inline DWORD TimeType(const void* mmt) { return RecReadU32(RecField(mmt, offsetof(MMTIME, wType))); }
inline void SetTimeType(void* mmt, DWORD v) { RecWriteU32(RecField(mmt, offsetof(MMTIME, wType)), v); }
// The first 32 bits of the union: bytes, samples or milliseconds.
inline void SetTimeValue(void* mmt, DWORD v) { RecWriteU32(RecField(mmt, offsetof(MMTIME, u)), v); }

// ---- WAVEFORMATEX ----------------------------------------------------------------
inline WORD FormatTag(const void* f) { return RecReadU16(RecField(f, offsetof(WAVEFORMATEX, wFormatTag))); }
inline WORD FormatChannels(const void* f) { return RecReadU16(RecField(f, offsetof(WAVEFORMATEX, nChannels))); }
inline DWORD FormatRate(const void* f) { return RecReadU32(RecField(f, offsetof(WAVEFORMATEX, nSamplesPerSec))); }
inline DWORD FormatByteRate(const void* f) { return RecReadU32(RecField(f, offsetof(WAVEFORMATEX, nAvgBytesPerSec))); }
inline WORD FormatBlockAlign(const void* f) { return RecReadU16(RecField(f, offsetof(WAVEFORMATEX, nBlockAlign))); }
inline WORD FormatBits(const void* f) { return RecReadU16(RecField(f, offsetof(WAVEFORMATEX, wBitsPerSample))); }
inline WORD FormatExtraSize(const void* f) { return RecReadU16(RecField(f, offsetof(WAVEFORMATEX, cbSize))); }

}  // namespace host
