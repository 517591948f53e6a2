// The driver's helpers for the platform's records: a compile-time assertion,
// the layout the driver relies on, and byte-wise little-endian access to
// records that callers supply.  Such records (headers, capability records,
// MMTIME, formats) may sit at any address, so every field is read and written
// one byte at a time.  A bad address faults on the first byte touched, inside
// whatever guard is active.
#ifndef DRIVER_RECORD_H
#define DRIVER_RECORD_H

#include <stddef.h>

#include <windows.h>
#include <mmsystem.h>
#include <mmddk.h>
#include <wavedev.h>

// Compile-time assertion usable in C++03 at namespace scope.
#define DRIVER_CONCAT_(a, b) a##b
#define DRIVER_CONCAT(a, b) DRIVER_CONCAT_(a, b)
#define STATIC_ASSERT(cond) \
    typedef char DRIVER_CONCAT(static_assertion_at_line_, __LINE__)[(cond) ? 1 : -1]

// True when addresses are 32 bits wide, as on the target.  A plain
// expression, so that it needs nothing from <stdint.h>.
#define DRIVER_32BIT (sizeof(void*) == 4)

// Widths of the platform's types, and the fields and offsets the driver uses.
// On the 32-bit target they are exactly the platform's; on a 64-bit host the
// address and handle fields widen (the Win64 shape).
STATIC_ASSERT(sizeof(BYTE) == 1);
STATIC_ASSERT(sizeof(WORD) == 2);
STATIC_ASSERT(sizeof(DWORD) == 4);
STATIC_ASSERT(sizeof(LONG) == 4);
STATIC_ASSERT(sizeof(WCHAR) == 2);
STATIC_ASSERT(sizeof(LARGE_INTEGER) == 8);
STATIC_ASSERT(sizeof(DWORD_PTR) == sizeof(void*));
STATIC_ASSERT(sizeof(WAVEOUTCAPS) == 84);
STATIC_ASSERT(sizeof(WAVEOUTEXTCAPS) == 28);
STATIC_ASSERT(sizeof(MMTIME) == 12);
STATIC_ASSERT(sizeof(WAVEFORMATEX) == 18);
STATIC_ASSERT(offsetof(WAVEOUTCAPS, szPname) == 8);
STATIC_ASSERT(offsetof(WAVEOUTCAPS, dwFormats) == 72);
STATIC_ASSERT(offsetof(WAVEOUTCAPS, wChannels) == 76);
STATIC_ASSERT(offsetof(WAVEOUTCAPS, dwSupport) == 80);
STATIC_ASSERT(offsetof(MMTIME, u) == 4);
STATIC_ASSERT(offsetof(WAVEFORMATEX, nChannels) == 2);
STATIC_ASSERT(offsetof(WAVEFORMATEX, nSamplesPerSec) == 4);
STATIC_ASSERT(offsetof(WAVEFORMATEX, nAvgBytesPerSec) == 8);
STATIC_ASSERT(offsetof(WAVEFORMATEX, wBitsPerSample) == 14);
STATIC_ASSERT(offsetof(MMDRV_MESSAGE_PARAMS, uMsg) == 4);
STATIC_ASSERT(offsetof(MMDRV_MESSAGE_PARAMS, dwParam1) == 8 + sizeof(void*));
STATIC_ASSERT(offsetof(MMDRV_MESSAGE_PARAMS, dwParam2) == 8 + 2 * sizeof(void*));
STATIC_ASSERT(sizeof(MMDRV_MESSAGE_PARAMS) == 8 + 3 * sizeof(void*));
STATIC_ASSERT(sizeof(WAVEHDR) == 16 + 4 * sizeof(void*));
STATIC_ASSERT(offsetof(WAVEHDR, dwBufferLength) == sizeof(void*));
STATIC_ASSERT(offsetof(WAVEHDR, dwBytesRecorded) == sizeof(void*) + 4);
STATIC_ASSERT(offsetof(WAVEHDR, dwFlags) == 8 + 2 * sizeof(void*));
STATIC_ASSERT(offsetof(WAVEHDR, lpNext) == 16 + 2 * sizeof(void*));
STATIC_ASSERT(offsetof(WAVEOPENDESC, lpFormat) == sizeof(void*));
STATIC_ASSERT(offsetof(WAVEOPENDESC, dwCallback) == 2 * sizeof(void*));
STATIC_ASSERT(offsetof(WAVEOPENDESC, dwInstance) == 3 * sizeof(void*));
// The same on the target, spelt out.
STATIC_ASSERT(!DRIVER_32BIT || sizeof(MMDRV_MESSAGE_PARAMS) == 20);
STATIC_ASSERT(!DRIVER_32BIT || sizeof(WAVEHDR) == 32);
STATIC_ASSERT(!DRIVER_32BIT || offsetof(WAVEHDR, dwFlags) == 16);
STATIC_ASSERT(!DRIVER_32BIT || offsetof(WAVEHDR, lpNext) == 24);

inline WORD RecReadU16(const void* p)
{
    const BYTE* b = static_cast<const BYTE*>(p);
    return static_cast<WORD>(b[0] | (b[1] << 8));
}

inline DWORD RecReadU32(const void* p)
{
    const BYTE* b = static_cast<const BYTE*>(p);
    return static_cast<DWORD>(b[0]) | (static_cast<DWORD>(b[1]) << 8) |
           (static_cast<DWORD>(b[2]) << 16) | (static_cast<DWORD>(b[3]) << 24);
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
    b[0] = static_cast<BYTE>(v);
    b[1] = static_cast<BYTE>(v >> 8);
    b[2] = static_cast<BYTE>(v >> 16);
    b[3] = static_cast<BYTE>(v >> 24);
}

// Pointer-sized fields: 4 bytes on the target, 8 on a 64-bit host.
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

// Field access by record type and field name, at the platform's offsets.
#define REC_FIELD(rec, TYPE, FIELD) \
    (static_cast<BYTE*>(const_cast<void*>(static_cast<const void*>(rec))) + offsetof(TYPE, FIELD))
#define REC_GET16(rec, TYPE, FIELD) RecReadU16(REC_FIELD(rec, TYPE, FIELD))
#define REC_GET32(rec, TYPE, FIELD) RecReadU32(REC_FIELD(rec, TYPE, FIELD))
#define REC_GETPTR(rec, TYPE, FIELD) RecReadPtr(REC_FIELD(rec, TYPE, FIELD))
#define REC_SET16(rec, TYPE, FIELD, v) RecWriteU16(REC_FIELD(rec, TYPE, FIELD), (v))
#define REC_SET32(rec, TYPE, FIELD, v) RecWriteU32(REC_FIELD(rec, TYPE, FIELD), (v))
#define REC_SETPTR(rec, TYPE, FIELD, v) RecWritePtr(REC_FIELD(rec, TYPE, FIELD), (v))

#endif
