// Reading a fuzz input: bytes in order, and the addresses a record may have.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kit/driver.h"

namespace fuzzing {

class Reader {
public:
    Reader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    bool Done() const { return i_ >= n_; }
    // Past the end every byte reads as 0, so a cut input still decodes.
    uint8_t U8() { return i_ < n_ ? p_[i_++] : 0; }
    uint16_t U16() { return static_cast<uint16_t>(U8() | (U8() << 8)); }
    uint32_t U32() { return U16() | (static_cast<uint32_t>(U16()) << 16); }

private:
    const uint8_t* p_;
    size_t n_;
    size_t i_ = 0;
};

// Mostly good records, so that sequences get somewhere.
inline kit::Mem MemFrom(uint8_t b)
{
    switch (b % 8) {
    case 0: return kit::Mem::Null;
    case 1: return kit::Mem::Unmapped;
    default: return kit::Mem::Good;
    }
}

}  // namespace fuzzing
