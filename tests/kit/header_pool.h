// Application-side wave headers: headers placed at odd addresses (the driver
// must read them byte by byte), each with its own buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kit/records.h"

namespace kit {

class HeaderPool {
public:
    // `count` headers, each misaligned by a different odd amount.
    explicit HeaderPool(size_t count) : storage_(count * kStride + 8, 0xCD)
    {
        for (size_t i = 0; i < count; ++i)
            headers_.push_back(reinterpret_cast<WAVEHDR*>(storage_.data() + i * kStride + 1 + (i % 4) * 2));
        buffers_.resize(count);
    }

    size_t Size() const { return headers_.size(); }
    WAVEHDR* operator[](size_t i) const { return headers_[i]; }
    // The header's number, or -1 for an address that is none of the pool's.
    int IndexOf(const void* h) const
    {
        for (size_t i = 0; i < headers_.size(); ++i)
            if (headers_[i] == h)
                return static_cast<int>(i);
        return -1;
    }

    // Gives header i a fresh buffer of `length` bytes, byte k being
    // (seed + 7k + 13i) mod 251, and prepares it with the given flags.
    WAVEHDR* Prepare(size_t i, DWORD length, DWORD flags = 0, DWORD loops = 0, uint8_t seed = 0)
    {
        std::vector<uint8_t> bytes(length);
        for (DWORD k = 0; k < length; ++k)
            bytes[k] = static_cast<uint8_t>((seed + 7u * k + 13u * i) % 251u);
        return Fill(i, bytes, flags | WHDR_PREPARED, loops);
    }

    // The same with the buffer's bytes given.
    WAVEHDR* PrepareWith(size_t i, const std::vector<uint8_t>& bytes, DWORD flags = 0, DWORD loops = 0)
    {
        return Fill(i, bytes, flags | WHDR_PREPARED, loops);
    }

    // Header i with exactly these flags and the buffer's bytes given, every
    // other field set to a value the driver must not rely on (dwBytesRecorded
    // 0xEEEEEEEE, lpNext 0x1234, reserved 0x99).
    WAVEHDR* Fill(size_t i, const std::vector<uint8_t>& bytes, DWORD flags, DWORD loops)
    {
        buffers_[i] = bytes;
        WAVEHDR* h = headers_[i];
        REC_SETPTR(h, WAVEHDR, lpData, reinterpret_cast<DWORD_PTR>(buffers_[i].data()));
        REC_SET32(h, WAVEHDR, dwBufferLength, static_cast<DWORD>(bytes.size()));
        REC_SET32(h, WAVEHDR, dwBytesRecorded, 0xEEEEEEEEu);
        REC_SETPTR(h, WAVEHDR, dwUser, 0x5500u + i);
        REC_SET32(h, WAVEHDR, dwFlags, flags);
        REC_SET32(h, WAVEHDR, dwLoops, loops);
        REC_SETPTR(h, WAVEHDR, lpNext, 0x1234u);
        REC_SETPTR(h, WAVEHDR, reserved, 0x99u);
        return h;
    }

    // Points header i's lpData elsewhere (a bad address, for fault cases).
    void SetData(size_t i, void* address)
    {
        REC_SETPTR(headers_[i], WAVEHDR, lpData, reinterpret_cast<DWORD_PTR>(address));
    }

    const std::vector<uint8_t>& Buffer(size_t i) const { return buffers_[i]; }

private:
    static const size_t kStride = sizeof(WAVEHDR) + 8;
    std::vector<uint8_t> storage_;
    std::vector<WAVEHDR*> headers_;
    std::vector<std::vector<uint8_t>> buffers_;
};

}  // namespace kit
