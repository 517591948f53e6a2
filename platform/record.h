// Byte-wise little-endian access to records that callers supply.  Such
// records (headers, capability records, MMTIME, formats) may sit at any
// address, so every field is read and written one byte at a time.  A bad
// address faults on the first byte touched, inside whatever guard is active.
#ifndef PLATFORM_RECORD_H
#define PLATFORM_RECORD_H

#include "platform/wintypes.h"

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
